// Timestamps against C++20 calendar arithmetic, and the grammar's edge cases.
#include "core/api.h"
#include <chrono>
#include <gtest/gtest.h>
#include <random>

namespace {

int64_t parse(const char *s) {
  int64_t ms = -1;
  return vornel0_parse_timestamp(s, &ms) == 0 ? ms : INT64_MIN;
}

std::string fmt(int64_t ms) {
  char buf[21];
  EXPECT_EQ(vornel0_format_timestamp(ms, buf, sizeof buf), 20);
  return buf;
}

int64_t chrono_ms(int y, unsigned m, unsigned d, int hh = 0, int mm = 0, int ss = 0) {
  using namespace std::chrono;
  sys_days days = year{y} / month{m} / day{d};
  return duration_cast<milliseconds>(days.time_since_epoch() + hours{hh} + minutes{mm} + seconds{ss}).count();
}

} // namespace

TEST(Timestamp, EdgeCases) {
  EXPECT_EQ(parse("1970-01-01"), 0);
  EXPECT_EQ(parse("1970-01-01T00:00:01Z"), 1000);
  EXPECT_EQ(parse("2024-02-29"), chrono_ms(2024, 2, 29));
  EXPECT_EQ(parse("2024-1-5 7:3"), parse("2024-01-05T07:03:00Z"));
  EXPECT_EQ(parse("2024-01-01T23:59:59.123456789Z"), parse("2024-01-01T23:59:59Z"));
  EXPECT_EQ(parse("12-3-4"), chrono_ms(12, 3, 4));
  EXPECT_EQ(parse("2024-01-01Z"), chrono_ms(2024, 1, 1));
  for (const char *bad : {"2023-02-29",
                          "2024-13-01",
                          "2024-00-10",
                          "2024-01-00",
                          "2024-01-32",
                          "2024-01-01T24:00",
                          "2024-01-01T23:60",
                          "2024-01-01T23:59:60",
                          "2024-01-01T23:59:59.1234567890",
                          "2024-01-01T10:00.5",
                          "2024-01-01T10",
                          "2024-01-01z",
                          "2024-01-01+01:00",
                          " 2024-01-01",
                          "2024-01-01 ",
                          "0000-01-01",
                          "20240-01-01",
                          "2024-001-01",
                          "",
                          "-2024-01-01",
                          "2024-01-01T",
                          "2024-01-01T10:",
                          "2024-01-01T10:00:",
                          "2024-01-01T10:00:00.",
                          "1900-02-29"})
    EXPECT_EQ(parse(bad), INT64_MIN) << bad;
  int64_t unused;
  EXPECT_EQ(vornel0_parse_timestamp(nullptr, &unused), 1);
}

TEST(Timestamp, FormatAndClamp) {
  EXPECT_EQ(fmt(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(fmt(-1000), "1969-12-31T23:59:59Z");
  EXPECT_EQ(fmt(-1), "1970-01-01T00:00:00Z"); // truncated toward zero before the day split
  EXPECT_EQ(fmt(1700000000999), "2023-11-14T22:13:20Z");
  EXPECT_EQ(fmt(INT64_MAX), "9999-12-31T23:59:59Z");
  EXPECT_EQ(fmt(INT64_MIN), "0001-01-01T00:00:00Z");
  char small[8];
  EXPECT_EQ(vornel0_format_timestamp(0, small, sizeof small), 20);
  EXPECT_STREQ(small, "1970-01");
}

// Every day of a long random sample round-trips, and agrees with std::chrono both ways.
TEST(Timestamp, AgreesWithChronoCalendar) {
  std::mt19937_64 rng(7);
  using namespace std::chrono;
  for (int i = 0; i < 200000; i++) {
    int y = 1 + (int)(rng() % 9999);
    unsigned m = 1 + rng() % 12;
    unsigned month_len = (unsigned)(year_month_day_last{year{y}, month_day_last{month{m}}}.day());
    unsigned d = 1 + rng() % month_len;
    int hh = (int)(rng() % 24), mm = (int)(rng() % 60), ss = (int)(rng() % 60);
    char text[48];
    snprintf(text, sizeof text, "%d-%u-%uT%d:%d:%dZ", y, m, d, hh, mm, ss);
    int64_t expect = chrono_ms(y, m, d, hh, mm, ss);
    ASSERT_EQ(parse(text), expect) << text;
    char canon[32];
    snprintf(canon, sizeof canon, "%04d-%02u-%02uT%02d:%02d:%02dZ", y, m, d, hh, mm, ss);
    // Sub-second parts are dropped toward zero, as whole seconds are truncated before the day split.
    int64_t frac = (int64_t)(rng() % 1000);
    ASSERT_EQ(fmt(expect >= 0 ? expect + frac : expect - frac), canon);
    // One past the month's last day never parses.
    snprintf(text, sizeof text, "%04d-%02u-%02u", y, m, month_len + 1);
    ASSERT_EQ(parse(text), INT64_MIN) << text;
  }
}
