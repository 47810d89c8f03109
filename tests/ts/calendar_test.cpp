// Calendar grids against the C++20 calendar: month arithmetic with clamping and month ends,
// weekday steps, grid detection on random month grids with missing months, the missing-step
// count and the season unit.
#include "support/harness.h"
#include "ts/ts.h"
#include <chrono>
#include <random>
#include <vector>

namespace {

using namespace std::chrono;
constexpr int64_t DAY = 86400000;

int64_t ms_of(const year_month_day &d, int64_t tod = 0) {
  return (int64_t)sys_days(d).time_since_epoch().count() * DAY + tod;
}

year_month_day ymd_of(int64_t ms) { return year_month_day(sys_days(days(civil_floor_div(ms, DAY)))); }

// t plus k months as the C++ calendar says, the day clamped to the month (or the month's last
// day for month-end series).
int64_t add_months(int64_t t, int64_t k, bool month_end) {
  const int64_t tod = t - civil_floor_div(t, DAY) * DAY;
  year_month_day d = ymd_of(t);
  year_month ym = year_month(d.year(), d.month()) + months(k);
  year_month_day last{year_month_day_last(ym.year(), month_day_last(ym.month()))};
  year_month_day same{ym.year(), ym.month(), d.day()};
  return ms_of(month_end || !same.ok() ? last : same, tod);
}

} // namespace

TEST(Calendar, MonthArithmeticMatchesTheCxxCalendar) {
  std::mt19937_64 rng(20240229);
  for (int trial = 0; trial < 20000; trial++) {
    const int y = 1601 + (int)(rng() % 800);
    const unsigned m = 1 + (unsigned)(rng() % 12), dd = 1 + (unsigned)(rng() % 31);
    year_month_day d{year(y), month(m), day(dd)};
    if (!d.ok()) d = year_month_day_last(year(y), month_day_last(month(m)));
    const int64_t t = ms_of(d, (int64_t)(rng() % 86400) * 1000);
    ts_grid g = {};
    g.kind = TS_GRID_MONTHS;
    g.months = 1 + (int32_t)(rng() % 24);
    g.month_end = (int)(rng() % 2);
    const int64_t k = (int64_t)(rng() % 40);
    ASSERT_EQ(ts_grid_advance(&g, t, k), add_months(t, k * g.months, g.month_end))
        << y << "-" << m << "-" << dd << " + " << k << " x " << g.months;
  }
}

// Random month grids (start, step m, month ends or a day up to 28, time of day), with random
// months left out: detected as m months, and the future stamps equal the C++ calendar's.
TEST(Calendar, RandomMonthGridsAreDetected) {
  std::mt19937_64 rng(7);
  for (int trial = 0; trial < 3000; trial++) {
    const int32_t m = std::vector<int32_t>{1, 2, 3, 4, 6, 12, 5, 7}[rng() % 8];
    const bool month_end = rng() % 3 == 0;
    const int y = 1850 + (int)(rng() % 300);
    const unsigned mo = 1 + (unsigned)(rng() % 12);
    year_month_day start = month_end ? year_month_day(year_month_day_last(year(y), month_day_last(month(mo))))
                                     : year_month_day(year(y), month(mo), day(1 + (unsigned)(rng() % 28)));
    const int64_t t0 = ms_of(start, (int64_t)(rng() % 24) * 3600000);
    const int n = 3 + (int)(rng() % 40);
    std::vector<int64_t> ts;
    for (int i = 0; i < n; i++) {
      // Keep the first two so that the smallest distance is m; drop a third of the rest.
      if (i >= 2 && rng() % 3 == 0) continue;
      ts.push_back(add_months(t0, (int64_t)i * m, month_end));
      if (rng() % 9 == 0) ts.push_back(ts.back()); // a duplicate changes nothing
    }
    ts_grid g;
    ts_calendar_grid(ts.data(), (int64_t)ts.size(), &g);
    ASSERT_EQ(g.kind, TS_GRID_MONTHS) << "trial " << trial;
    EXPECT_EQ(g.months, m);
    // Month ends are read as such once a point lies past the 28th (February 28ths alone are
    // that day).
    bool past_28 = false;
    for (int64_t t : ts)
      past_28 = past_28 || (unsigned)ymd_of(t).day() > 28;
    const bool end = month_end && past_28;
    EXPECT_EQ(g.month_end != 0, end);
    for (int k = 1; k <= 5; k++)
      EXPECT_EQ(ts_future_stamp(&g, ts.back(), 1, k), add_months(ts.back(), (int64_t)k * m, end));
    // Missing steps: every grid month between the first and the last that is not present.
    int64_t present = 1;
    for (size_t i = 1; i < ts.size(); i++)
      present += ts[i] != ts[i - 1];
    const int64_t span = (int64_t)((year_month(ymd_of(ts.back()).year(), ymd_of(ts.back()).month()) -
                                    year_month(ymd_of(ts.front()).year(), ymd_of(ts.front()).month()))
                                       .count());
    EXPECT_EQ(ts_grid_missing(&g, ts.data(), (int64_t)ts.size(), INT64_MAX / 2), span / m + 1 - present);
  }
}

TEST(Calendar, WeekdaysStepOverWeekends) {
  std::mt19937_64 rng(11);
  for (int trial = 0; trial < 500; trial++) {
    const sys_days first = sys_days(year(2020) / January / 1) + days(rng() % 2000);
    const int64_t tod = (int64_t)(rng() % 86400) * 1000;
    std::vector<int64_t> ts;
    for (sys_days d = first; d < first + days(15 + rng() % 40); d += days(1)) {
      const unsigned wd = weekday(d).iso_encoding(); // 1 Monday .. 7 Sunday
      if (wd >= 6 || (ts.size() >= 2 && rng() % 5 == 0)) continue;
      ts.push_back((int64_t)d.time_since_epoch().count() * DAY + tod);
    }
    ts_grid g;
    ts_calendar_grid(ts.data(), (int64_t)ts.size(), &g);
    ASSERT_EQ(g.kind, TS_GRID_WEEKDAYS) << "trial " << trial;
    sys_days d = sys_days(days(civil_floor_div(ts.back(), DAY)));
    for (int k = 1; k <= 12; k++) {
      do
        d += days(1);
      while (weekday(d).iso_encoding() >= 6);
      EXPECT_EQ(ts_future_stamp(&g, ts.back(), DAY, k), (int64_t)d.time_since_epoch().count() * DAY + tod);
    }
  }
}

TEST(Calendar, OtherSeriesKeepTheAverageStep) {
  // Daily data (Saturdays included), weekly Mondays, hourly, and weekdays that never cross a
  // weekend are no calendar grid; their future stamps are last + k x the average step.
  const int64_t monday = ms_of(year(2024) / January / 1);
  for (int64_t step : {DAY, 7 * DAY, (int64_t)3600000}) {
    std::vector<int64_t> ts;
    for (int i = 0; i < 30; i++)
      ts.push_back(monday + i * step);
    ts_grid g;
    ts_calendar_grid(ts.data(), 30, &g);
    EXPECT_EQ(g.kind, TS_GRID_NONE) << step;
    EXPECT_EQ(ts_future_stamp(&g, ts.back(), step, 3), ts.back() + 3 * step);
  }
  const int64_t week[] = {monday, monday + DAY, monday + 2 * DAY, monday + 4 * DAY};
  ts_grid g;
  ts_calendar_grid(week, 4, &g);
  EXPECT_EQ(g.kind, TS_GRID_NONE);
  // Month-like but on different days, or at different times of day.
  const int64_t drift[] = {ms_of(year(2024) / 1 / 5), ms_of(year(2024) / 2 / 6), ms_of(year(2024) / 3 / 5)};
  ts_calendar_grid(drift, 3, &g);
  EXPECT_EQ(g.kind, TS_GRID_NONE);
  const int64_t hours[] = {ms_of(year(2024) / 1 / 5), ms_of(year(2024) / 2 / 5, 3600000)};
  ts_calendar_grid(hours, 2, &g);
  EXPECT_EQ(g.kind, TS_GRID_NONE);
  ts_calendar_grid(drift, 1, &g);
  EXPECT_EQ(g.kind, TS_GRID_NONE);
}

TEST(Calendar, SeasonUnitAndStepText) {
  auto series = [](int64_t first, auto next, int n) {
    std::vector<int64_t> ts{first};
    while ((int)ts.size() < n)
      ts.push_back(next(ts.back()));
    return ts;
  };
  const int64_t jan1 = ms_of(year(2020) / 1 / 1);
  struct Case {
    std::vector<int64_t> ts;
    int unit;
    const char *text; // null for a fixed step
  } cases[] = {
      {series(
           jan1, [](int64_t t) { return add_months(t, 1, false); }, 30),
       12, "1 month"},
      {series(
           jan1, [](int64_t t) { return add_months(t, 3, false); }, 30),
       4, "3 months"},
      {series(
           jan1, [](int64_t t) { return add_months(t, 6, false); }, 30),
       2, "6 months"},
      {series(
           jan1, [](int64_t t) { return add_months(t, 12, false); }, 30),
       0, "1 year"},
      {series(
           jan1, [](int64_t t) { return add_months(t, 24, false); }, 30),
       0, "2 years"},
      {series(
           jan1, [](int64_t t) { return t + DAY; }, 30),
       7, nullptr},
      {series(
           jan1, [](int64_t t) { return t + 3600000; }, 30),
       24, nullptr},
      {series(
           jan1, [](int64_t t) { return t + 7 * DAY; }, 30),
       52, nullptr},
      {series(
           jan1, [](int64_t t) { return t + 60000; }, 30),
       0, nullptr},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(ts_calendar_unit(c.ts.data(), (int64_t)c.ts.size()), c.unit) << (c.text ? c.text : "fixed");
    ts_grid g;
    ts_series_grid(c.ts.data(), (int64_t)c.ts.size(), &g);
    char buf[32] = "";
    EXPECT_EQ(ts_grid_step_text(&g, buf, sizeof buf), c.text != nullptr);
    if (c.text) {
      EXPECT_STREQ(buf, c.text);
    }
  }
  // Weekdays: a five-day week.
  std::vector<int64_t> wd;
  for (int i = 0; i < 30; i++)
    if (i % 7 < 5) wd.push_back(ms_of(year(2024) / 1 / 1) + i * DAY); // 2024-01-01 is a Monday
  EXPECT_EQ(ts_calendar_unit(wd.data(), (int64_t)wd.size()), 5);
  // The most common step wins over an average distorted by one long gap; ties take the smaller.
  const int64_t gapped[] = {0, DAY, 2 * DAY, 3 * DAY, 40 * DAY};
  ts_grid g;
  ts_series_grid(gapped, 5, &g);
  EXPECT_EQ(g.step_ms, DAY);
  EXPECT_EQ(ts_grid_missing(&g, gapped, 5, INT64_MAX / 2), 36);
  const int64_t tie[] = {0, 2 * DAY, 3 * DAY, 5 * DAY, 6 * DAY};
  ts_series_grid(tie, 5, &g);
  EXPECT_EQ(g.step_ms, DAY);
}
