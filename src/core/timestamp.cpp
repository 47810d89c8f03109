// Timestamps: the strict ISO-8601-like parser and the fixed "YYYY-MM-DDTHH:MM:SSZ" formatter,
// both over signed 64-bit milliseconds since the epoch in the proleptic Gregorian calendar.
// Civil-date conversion uses Howard Hinnant's days-from-civil rule in 400-year eras.
#include "core/api.h"

namespace {

bool is_leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Reads between 1 and max_digits decimal digits; returns false when none is there.
bool read_digits(const char *&p, int max_digits, int64_t *out) {
  int n = 0;
  int64_t v = 0;
  while (n < max_digits && *p >= '0' && *p <= '9') {
    v = v * 10 + (*p - '0');
    p++;
    n++;
  }
  *out = v;
  return n > 0;
}

} // namespace

int civil_month_days(int64_t y, int m) {
  static const int DAYS[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : DAYS[m - 1];
}

int64_t civil_floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

int64_t civil_days_from_date(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = civil_floor_div(y, 400);
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m <= 2 ? m + 9 : m - 3) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civil_date_from_days(int64_t z, int64_t *y, int *m, int *d) {
  z += 719468;
  int64_t era = civil_floor_div(z, 146097);
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  *d = (int)(doy - (153 * mp + 2) / 5 + 1);
  *m = (int)(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

int vornel0_parse_timestamp(const char *text, int64_t *out_ms) {
  if (!text) return 1;
  const char *p = text;
  int64_t year, month, day, hour = 0, minute = 0, second = 0, unused;
  if (!read_digits(p, 4, &year) || year == 0 || *p++ != '-') return 1;
  if (!read_digits(p, 2, &month) || month < 1 || month > 12 || *p++ != '-') return 1;
  if (!read_digits(p, 2, &day) || day < 1 || day > civil_month_days(year, (int)month)) return 1;
  if (*p == 'T' || *p == ' ') {
    p++;
    if (!read_digits(p, 2, &hour) || hour >= 24 || *p++ != ':') return 1;
    if (!read_digits(p, 2, &minute) || minute >= 60) return 1;
    if (*p == ':') {
      p++;
      if (!read_digits(p, 2, &second) || second >= 60) return 1;
      if (*p == '.') {
        p++;
        if (!read_digits(p, 9, &unused)) return 1; // a fraction is checked, then ignored
      }
    }
  }
  if (*p == 'Z') p++;
  if (*p != 0) return 1;
  int64_t days = civil_days_from_date(year, month, day);
  *out_ms = ((days * 24 + hour) * 60 + minute) * 60000 + second * 1000;
  return 0;
}

int vornel0_format_timestamp(int64_t ms, char *buf, size_t size) {
  const int64_t lo = -62135596800000LL, hi = 253402300799999LL;
  if (ms < lo) ms = lo;
  if (ms > hi) ms = hi;
  int64_t secs = ms / 1000;
  int64_t day_number = civil_floor_div(secs, 86400);
  int64_t sod = secs - day_number * 86400;
  int64_t y;
  int m, d;
  civil_date_from_days(day_number, &y, &m, &d);
  // Clamping keeps the year within 1..9999, so every field has a fixed width.
  char tmp[21];
  auto put = [&tmp](int at, int64_t v, int width) {
    for (int i = width - 1; i >= 0; i--, v /= 10)
      tmp[at + i] = (char)('0' + v % 10);
  };
  put(0, y, 4), put(5, m, 2), put(8, d, 2), put(11, sod / 3600, 2), put(14, sod / 60 % 60, 2), put(17, sod % 60, 2);
  tmp[4] = tmp[7] = '-', tmp[10] = 'T', tmp[13] = tmp[16] = ':', tmp[19] = 'Z', tmp[20] = 0;
  const int len = 20;
  if (size > 0) {
    size_t n = (size_t)len < size - 1 ? (size_t)len : size - 1;
    memcpy(buf, tmp, n);
    buf[n] = 0;
  }
  return len;
}
