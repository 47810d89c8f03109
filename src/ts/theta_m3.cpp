// The theta method as Assimakopoulos and Nikolopoulos ran it in the M3 competition ("The theta
// model: a decomposition approach to forecasting", International Journal of Forecasting 16,
// 2000): a series whose autocorrelation at the seasonal lag passes the 90 % test is
// deseasonalised by classical multiplicative decomposition; theta line 0 (the least-squares
// line) is extrapolated, theta line 2 (twice the data minus that line) is extrapolated by
// simple exponential smoothing, and the two are averaged with equal weights and
// reseasonalised. The deviations are those of simple exponential smoothing,
// sigma sqrt(1 + alpha^2 (k - 1)), halved as the line averages them, times the seasonal index.
#include "ts/extended.h"
#include <math.h>

namespace {

// Simple exponential smoothing of z from level z[0]: sum of squared one-step errors, and the
// final level in *out_level.
double ses_sse(const double *z, int n, double alpha, double *out_level) {
  double level = z[0], sse = 0;
  for (int t = 1; t < n; t++) {
    const double e = z[t] - level;
    sse += e * e;
    level = level + alpha * e;
  }
  *out_level = level;
  return sse;
}

// The smoothing weight with the smallest sum of squares: the best of a grid of 0.05 steps,
// refined by golden-section search over the neighbouring grid cells (fixed iterations).
double best_alpha(const double *z, int n) {
  constexpr double LO = 1e-4, HI = 0.9999;
  double best = 0.05, best_sse = INFINITY, level;
  for (int i = 1; i <= 19; i++) {
    const double a = 0.05 * (double)i;
    const double sse = ses_sse(z, n, a, &level);
    if (sse < best_sse) best_sse = sse, best = a;
  }
  double lo = best - 0.05 > LO ? best - 0.05 : LO, hi = best + 0.05 < HI ? best + 0.05 : HI;
  const double r = 0.6180339887498949;
  double x1 = hi - r * (hi - lo), x2 = lo + r * (hi - lo);
  double f1 = ses_sse(z, n, x1, &level), f2 = ses_sse(z, n, x2, &level);
  for (int it = 0; it < 24; it++) {
    if (f1 <= f2) {
      hi = x2, x2 = x1, f2 = f1;
      x1 = hi - r * (hi - lo);
      f1 = ses_sse(z, n, x1, &level);
    } else {
      lo = x1, x1 = x2, f1 = f2;
      x2 = lo + r * (hi - lo);
      f2 = ses_sse(z, n, x2, &level);
    }
  }
  const double a = f1 <= f2 ? x1 : x2;
  return (f1 <= f2 ? f1 : f2) < best_sse ? a : best;
}

// Seasonal indices when the series is seasonal by the M3 test and positive; false otherwise.
bool m3_seasonal_indices(const double *y, int n, int m, double *index) {
  if (m < 2 || m > TS_MAX_SEASON || n <= 2 * m) return false;
  for (int t = 0; t < n; t++)
    if (!(y[t] > 0)) return false;
  return ts_season_tested(y, n, m) == m && ts_classical_indices(y, n, m, true, index);
}

} // namespace

void model_theta_m3_ex(const double *y, int n, int s, double *out, double *dev, int period, ts_scratch *sc) {
  if (ts_empty_input(n, s, out, dev)) return;
  const int m = period >= 1 ? period : ts_extended_season(sc->calendar, y, n, sc, nullptr);
  double index[TS_MAX_SEASON];
  const bool seasonal = m3_seasonal_indices(y, n, m, index);
  double *z = ts_scratch_get(sc, TS_SLOT_WORK, n);
  if (!z) return model_seasonal_naive_ex(y, n, s, out, dev, 0, sc);
  for (int t = 0; t < n; t++)
    z[t] = seasonal ? y[t] / index[t % m] : y[t];
  double A, B;
  ts_line_fit(z, n, &A, &B);
  for (int t = 0; t < n; t++)
    z[t] = 2.0 * z[t] - (A + B * (double)t); // theta line 2
  const double alpha = n >= 3 ? best_alpha(z, n) : 0.5;
  double L;
  const double sse = ses_sse(z, n, alpha, &L);
  const double sigma = n >= 2 ? 0.5 * sqrt(sse / (double)(n - 1)) : 0.0;
  for (int k = 1; k <= s; k++) {
    const double season = seasonal ? index[(n - 1 + k) % m] : 1.0;
    out[k - 1] = (0.5 * (A + B * (double)(n - 1 + k)) + 0.5 * L) * season;
    if (dev) dev[k - 1] = sigma * sqrt(1.0 + alpha * alpha * (double)(k - 1)) * season;
  }
}

void model_theta_m3(const double *y, int n, int s, double *out, double *dev) {
  ts_scratch sc = {};
  model_theta_m3_ex(y, n, s, out, dev, -1, &sc);
  ts_scratch_free(&sc);
}
