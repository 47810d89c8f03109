// One-step-ahead scoring for detect_anomalies: each point is compared with a forecast built only
// from the points before it, and with the spread of the earlier forecast errors.
//
// theta-classic here is exponential smoothing (alpha 0.3) of the deseasonalised level with a
// running per-phase seasonal profile; stub-seasonal-naive repeats the value one season back plus
// the average drift so far.
#include "anomaly/score.h"
#include "core/mem.h"
#include <math.h>

namespace {

constexpr double SMOOTHING = 0.3;
constexpr double SQRT2 = 1.4142135623730951;

// F[t] for the theta rule, written to out[t].forecast.
void theta_forecasts(const double *v, int n, int period, an_point *out) {
  HostPtr<double> sum, count;
  bool season = period >= 2;
  if (season) {
    sum.reset(host_calloc<double>(period));
    count.reset(host_calloc<double>(period));
    season = sum && count; // without room for the profile the rule runs without season
  }
  double level = v[0], total = v[0];
  if (season) {
    sum[0] = v[0];
    count[0] = 1;
  }
  out[0].forecast = v[0];
  for (int t = 1; t < n; t++) {
    int k = season ? t % period : 0;
    double s = season && count[k] >= 1 ? sum[k] / count[k] - total / t : 0;
    out[t].forecast = level + s;
    level = level + SMOOTHING * ((v[t] - s) - level);
    if (season) {
      sum[k] = sum[k] + v[t];
      count[k] = count[k] + 1;
    }
    total = total + v[t];
  }
}

// F[t] for seasonal naive with drift, written to out[t].forecast.
void seasonal_naive_forecasts(const double *v, int n, int period, an_point *out) {
  out[0].forecast = v[0];
  for (int t = 1; t < n; t++) {
    double d = t >= 2 ? (v[t - 1] - v[0]) / (t - 1) : 0;
    out[t].forecast = period < 1 || t < period ? v[t - 1] + d : v[t - period] + period * d;
  }
}

} // namespace

bool an_score_one_step(const double *v, int n, an_model model, int period, double threshold, double z, an_point *out,
                       Cancel *cancel) {
  if (n < 1) return true;
  for (int t = 0; t < n; t++)
    out[t] = an_point{};
  if (model == AN_MODEL_SEASONAL_NAIVE) {
    seasonal_naive_forecasts(v, n, period, out);
  } else {
    theta_forecasts(v, n, period, out);
  }
  // Welford's running mean and sum of squared deviations of the residuals r[1..t-1].
  double mean = 0, m2 = 0;
  constexpr int POLL_POINTS = 4096; // points scored between two reports to the hook
  for (int t = 1; t < n; t++) {
    if (t % POLL_POINTS == 0 && cancel_stop(cancel, 64 * POLL_POINTS)) return false;
    double f = out[t].forecast;
    double r = v[t] - f;
    if (t >= AN_FIRST_SCORED) {
      double sigma = sqrt(m2 / (t - 1));
      if (sigma > 0) {
        an_point &p = out[t];
        p.scored = 1;
        p.lower_bound = f - z * sigma;
        p.upper_bound = f + z * sigma;
        p.anomaly_probability = an_erf(fabs(v[t] - f) / sigma / SQRT2);
        p.is_anomaly = p.anomaly_probability > threshold ? 1 : 0;
      }
    }
    double delta = r - mean;
    mean = mean + delta / t;
    m2 = m2 + delta * (r - mean);
  }
  return true;
}
