// The season rule of the extended models: calendar unit first, then the period detector when
// its peak is significant; and the classical decomposition both extended models start from.
#include "ts/calendar.h"
#include "ts/extended.h"
#include <math.h>

int ts_season_calendar(const int64_t *ts, int64_t n) {
  ts_grid g;
  ts_series_grid(ts, n, &g);
  const int unit = ts_grid_unit(&g);
  if (unit > 0) return unit;
  // Years and other multiples of months: a calendar that gives no season.
  return g.kind == TS_GRID_MONTHS ? 1 : 0;
}

const char *ts_season_source_name(ts_season_source source) {
  return source == TS_SEASON_CALENDAR ? "calendar" : source == TS_SEASON_DETECTED ? "detected" : "none";
}

bool ts_season_significant(const double *r, int p, int n) {
  if (p < 2 || n < 1) return false;
  double sum = 0;
  for (int k = 1; k < p; k++)
    sum += r[k] * r[k];
  const double limit = 1.645 * sqrt((1.0 + 2.0 * sum) / (double)n);
  return fabs(r[p]) > limit;
}

namespace {

// The sample autocorrelations r[1..m] of y about its mean; false for a constant series.
bool autocorrelations(const double *y, int n, int m, double *r) {
  double mean = 0;
  for (int t = 0; t < n; t++)
    mean += y[t];
  mean = mean / (double)n;
  double d = 0;
  for (int t = 0; t < n; t++)
    d += (y[t] - mean) * (y[t] - mean);
  if (!(d > 0)) return false;
  for (int k = 1; k <= m; k++) {
    double sum = 0;
    for (int t = k; t < n; t++)
      sum += (y[t] - mean) * (y[t - k] - mean);
    r[k] = sum / d;
  }
  return true;
}

} // namespace

int ts_season_tested(const double *y, int n, int m) {
  if (m < 2 || m > TS_MAX_SEASON || n < 1) return 1;
  double r[TS_MAX_SEASON + 1];
  return autocorrelations(y, n, m, r) && ts_season_significant(r, m, n) ? m : 1;
}

int ts_extended_season(int calendar, const double *y, int n, ts_scratch *sc, ts_season_source *out_source) {
  ts_season_source source = TS_SEASON_NONE;
  int season = 1;
  if (calendar >= 1) {
    source = TS_SEASON_CALENDAR;
    season = calendar;
  } else if (n >= 6) {
    const int p = detect_period_ex(y, n, sc);
    // The detector leaves its autocorrelations in the ACF slot: a found period has them.
    if (p >= 2 && ts_season_significant(sc->buf[TS_SLOT_ACF], p, n)) {
      source = TS_SEASON_DETECTED;
      season = p;
    }
  }
  if (out_source) *out_source = source;
  return season;
}

bool ts_classical_indices(const double *y, int n, int m, bool multiplicative, double *index) {
  if (m < 2 || n < 2 * m) return false;
  const int half = m / 2;
  const bool even = m % 2 == 0;
  double sum[TS_MAX_SEASON], count[TS_MAX_SEASON];
  if (m > TS_MAX_SEASON) return false;
  for (int j = 0; j < m; j++)
    sum[j] = count[j] = 0.0;
  for (int t = half; t + half < n; t++) {
    double ma = 0;
    if (even) {
      ma = 0.5 * y[t - half];
      for (int i = t - half + 1; i < t + half; i++)
        ma += y[i];
      ma += 0.5 * y[t + half];
    } else {
      for (int i = t - half; i <= t + half; i++)
        ma += y[i];
    }
    ma = ma / (double)m;
    if (multiplicative && !(ma > 0)) return false;
    sum[t % m] += multiplicative ? y[t] / ma : y[t] - ma;
    count[t % m] += 1;
  }
  double total = 0;
  for (int j = 0; j < m; j++) {
    if (count[j] < 1) return false;
    index[j] = sum[j] / count[j];
    total += index[j];
  }
  const double mean = total / (double)m;
  for (int j = 0; j < m; j++) {
    if (multiplicative) {
      if (!(mean > 0)) return false;
      index[j] = index[j] / mean;
      if (!(index[j] > 0)) return false;
    } else {
      index[j] = index[j] - mean;
    }
  }
  return true;
}
