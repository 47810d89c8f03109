// Exponential smoothing in the innovations state-space form of Hyndman, Koehler, Ord and
// Snyder (Forecasting with Exponential Smoothing: The State Space Approach, Springer 2008):
// additive or multiplicative errors, no, additive or damped trend, no, additive or
// multiplicative season. Each form's smoothing weights are fitted by likelihood with a
// Nelder-Mead search from fixed starts and a fixed budget; the form with the smallest AICc is
// kept. Initial states come from the book's heuristic (classical decomposition of the first
// seasons, a line through the first deseasonalised values) and are counted as parameters as
// the book counts them. Multiplicative trends are left out, as the book advises for
// forecasting. The recursions of the two error types are the same; only the likelihood differs.
#include "core/portable_math.h"
#include "ts/ets_form.h"
#include <math.h>

using namespace ets_impl;

namespace {

double trend_sum(int trend, double phi, int k) {
  if (trend == TREND_N) return 0.0;
  if (trend == TREND_A) return (double)k;
  double sum = 0, p = 1;
  for (int i = 1; i <= k; i++) {
    p = p * phi;
    sum += p;
  }
  return sum;
}

// Point forecasts and deviations of a fitted form, on the fitting scale.
void ets_forecast(const ets_fit &fit, int n, int m, int s, double *out, double *dev) {
  const ets_form f = fit.form;
  const double phi = f.trend == TREND_D ? fit.par.phi : 1.0;
  double csum = 0; // sum of c_j^2 for j < k
  for (int k = 1; k <= s; k++) {
    const double T = fit.end.l + trend_sum(f.trend, phi, k) * fit.end.b;
    const double sv = f.season == SEASON_N ? 0.0 : fit.end.s[(n + k - 1) % m];
    const double mu = f.season == SEASON_A ? T + sv : f.season == SEASON_M ? T * sv : T;
    out[k - 1] = mu;
    if (!dev) continue;
    // Linear models' h-step variance: sigma^2 (1 + sum c_j^2), c_j = alpha + beta phi_j + gamma
    // at whole seasons; multiplicative errors scale it by the forecast (the book's first-order
    // approximation).
    const double v = fit.sigma2 * (1.0 + csum);
    dev[k - 1] = f.mult_error ? fabs(mu) * sqrt(v) : sqrt(v);
    double c = fit.par.alpha + fit.par.beta * trend_sum(f.trend, phi, k);
    if (f.season != SEASON_N && k % m == 0) c += fit.par.gamma;
    csum += c * c;
  }
}

// Without a usable form: the last value, widening like a random walk.
void naive_fallback(const double *y, int n, int s, double *out, double *dev) {
  double sum = 0;
  for (int t = 1; t < n; t++)
    sum += (y[t] - y[t - 1]) * (y[t] - y[t - 1]);
  const double sigma = n >= 2 ? sqrt(sum / (double)(n - 1)) : 0.0;
  for (int k = 1; k <= s; k++) {
    out[k - 1] = y[n - 1];
    if (dev) dev[k - 1] = sqrt((double)k) * sigma;
  }
}

bool ets_select(const double *y, int n, int m, double *x, double *out_scale, ets_fit *best) {
  ets_fits fs;
  if (!ets_fit_all(y, n, m, x, &fs)) return false;
  *best = fs.fit[ets_best(fs, -1)];
  *out_scale = fs.scale;
  return true;
}

// Forecasts of a fit on the scaled values, in the units of y.
void ets_forecast_scaled(const ets_fit &fit, int n, int m, int s, double scale, double *out, double *dev) {
  ets_forecast(fit, n, m, s, out, dev);
  for (int k = 0; k < s; k++) {
    out[k] = out[k] * scale;
    if (dev) dev[k] = dev[k] * scale;
  }
}

int ets_season(const double *y, int n, int period, ts_scratch *sc) {
  const int m = period >= 1 ? period : ts_extended_season(sc->calendar, y, n, sc, nullptr);
  return m > TS_MAX_SEASON ? 1 : m;
}

} // namespace

namespace ets_impl {

bool ets_initial(const double *y, int n, int m, ets_form f, ets_state *st) {
  double idx[TS_MAX_SEASON];
  if (f.season != SEASON_N) {
    const int first = n >= 3 * m ? 3 * m : 2 * m;
    if (!ts_classical_indices(y, first, m, f.season == SEASON_M, idx)) return false;
    for (int j = 0; j < m; j++)
      st->s[j] = idx[j];
  }
  int maxn = 2 * m > 10 ? 2 * m : 10;
  if (maxn > n) maxn = n;
  double sa[2 * TS_MAX_SEASON > 10 ? 2 * TS_MAX_SEASON : 10];
  for (int t = 0; t < maxn; t++) {
    double v = y[t];
    if (f.season == SEASON_A) v = v - idx[t % m];
    if (f.season == SEASON_M) v = v / idx[t % m];
    sa[t] = v;
  }
  if (f.trend == TREND_N) {
    double sum = 0;
    for (int t = 0; t < maxn; t++)
      sum += sa[t];
    st->l = sum / (double)maxn;
    st->b = 0;
  } else {
    double a, slope;
    ts_line_fit(sa, maxn, &a, &slope);
    st->l = a - slope; // the level one step before the first value
    st->b = slope;
  }
  return true;
}

} // namespace ets_impl

void model_ets_ex(const double *y, int n, int s, double *out, double *dev, int period, ts_scratch *sc) {
  if (ts_empty_input(n, s, out, dev)) return;
  const int m = ets_season(y, n, period, sc);
  ets_fit best = {};
  double scale = 1;
  if (!ets_select(y, n, m, ts_scratch_get(sc, TS_SLOT_WORK, n), &scale, &best))
    return naive_fallback(y, n, s, out, dev);
  ets_forecast_scaled(best, n, m, s, scale, out, dev);
}

namespace {

// The weight of fitted form i in ets variant v (TS_ETS_DAMPED, TS_ETS_BEST, TS_ETS_AKAIKE),
// given the best form and the best damped one: 1 for the variant's one form, or the Akaike
// weight of every form (Kolassa, "Combining exponential smoothing forecasts using Akaike
// weights", International Journal of Forecasting 27, 2011); 0 outside the variant.
double variant_weight(const ets_fits &fs, int v, int i, int best, int damped) {
  if (v == TS_ETS_DAMPED) return i == damped ? 1.0 : 0.0;
  if (v == TS_ETS_BEST) return i == best ? 1.0 : 0.0;
  return portable_exp(-0.5 * (fs.fit[i].aicc - fs.fit[best].aicc));
}

// Forecasts of variant v from the fits fs, each form run from its initial states over the
// first n values of x, and their variances, averaged with the weights, in the units of y;
// false when the variant has no fit. tmp holds 2 s doubles.
bool variant_forecast(const ets_fits &fs, int v, const double *x, int n, int m, int s, double *out, double *dev,
                      double *tmp) {
  const int best = ets_best(fs, -1), damped = ets_best(fs, TREND_D);
  if (best < 0) return false;
  double total = 0;
  for (int j = 0; j < s; j++)
    out[j] = dev[j] = 0;
  for (int i = 0; i < FORM_COUNT; i++) {
    const double w = fs.ok[i] ? variant_weight(fs, v, i, best, damped) : 0.0;
    if (!(w > 0)) continue;
    ets_fit fit = fs.fit[i];
    fit.end = fit.start;
    double sse;
    if (!isfinite(ets_run(x, n, m, fit.form, fit.par, &fit.end, &sse))) continue;
    ets_forecast(fit, n, m, s, tmp, tmp + s);
    total += w;
    for (int j = 0; j < s; j++) {
      out[j] += w * tmp[j];
      dev[j] += w * tmp[s + j] * tmp[s + j];
    }
  }
  if (!(total > 0)) return false;
  // Averaged on the fitting scale, where no square overflows, then mapped back.
  for (int j = 0; j < s; j++) {
    out[j] = out[j] / total * fs.scale;
    dev[j] = sqrt(dev[j] / total) * fs.scale;
  }
  return true;
}

// The variants' forecasts after each cut point from the fits fs on x[0..cuts[0]-1]: each
// form runs once up to the last cut, stopping at every cut to add its forecasts to the
// variants it belongs to; a fold that no form reaches gets the last value. False when the
// host could not give the working space.
bool variant_folds(const ets_fits &fs, const double *y, const double *x, int m, const int *cuts, int k, int steps,
                   double *fold_out, double *tmp, ts_scratch *sc) {
  double *totals = ts_scratch_get(sc, TS_SLOT_LEVELS, TS_ETS_VARIANTS * (int64_t)k);
  if (!totals) return false;
  for (int64_t i = 0; i < TS_ETS_VARIANTS * (int64_t)k; i++)
    totals[i] = 0;
  for (int64_t i = 0; i < TS_ETS_VARIANTS * (int64_t)k * steps; i++)
    fold_out[i] = 0;
  const int best = ets_best(fs, -1), damped = ets_best(fs, TREND_D);
  for (int i = 0; i < FORM_COUNT && best >= 0; i++) {
    if (!fs.ok[i]) continue;
    ets_fit fit = fs.fit[i];
    fit.end = fit.start;
    for (int f = 0, pos = 0; f < k; pos = cuts[f++]) {
      double sse;
      if (!isfinite(ets_run(x + pos, cuts[f] - pos, m, fit.form, fit.par, &fit.end, &sse, pos % m))) break;
      ets_forecast_scaled(fit, cuts[f], m, steps, fs.scale, tmp, nullptr);
      for (int v = 0; v < TS_ETS_VARIANTS; v++) {
        const double w = variant_weight(fs, v, i, best, damped);
        if (!(w > 0)) continue;
        double *out = fold_out + ((int64_t)v * k + f) * steps;
        for (int j = 0; j < steps; j++)
          out[j] += w * tmp[j];
        totals[(int64_t)v * k + f] += w;
      }
    }
  }
  for (int v = 0; v < TS_ETS_VARIANTS; v++) {
    for (int f = 0; f < k; f++) {
      double *out = fold_out + ((int64_t)v * k + f) * steps;
      const double total = totals[(int64_t)v * k + f];
      if (!(total > 0)) naive_fallback(y, cuts[f], steps, out, nullptr); // no form ran to this cut
      for (int j = 0; j < steps && total > 0; j++)
        out[j] = out[j] / total;
    }
  }
  return true;
}

} // namespace

int ts_ets_variants_rolling(const double *y, int n, int s, double *out, double *dev, int period, const int *cuts, int k,
                            int steps, double *fold_out, ts_scratch *sc) {
  if (n < 1 || k < 1 || cuts[0] < 1) return 0;
  const int m = ets_season(y, n, period, sc);
  ets_fits fs;
  double *x = ts_scratch_get(sc, TS_SLOT_WORK, n);
  double *tmp = ts_scratch_get(sc, TS_SLOT_FOLD, 2 * (int64_t)(s > steps ? s : steps));
  if (!tmp) return 0;
  if (!ets_fit_all(y, n, m, x, &fs, sc->cancel)) return sc->cancel && sc->cancel->stopped ? TS_STOPPED : 0;
  int mask = 0;
  for (int r = 0; r < TS_ETS_VARIANTS; r++)
    if (variant_forecast(fs, r, x, n, m, s, out + (int64_t)r * s, dev + (int64_t)r * s, tmp)) mask |= 1 << r;
  // One fit on the values before the first cut point, so that no fold's holdout shapes the
  // weights, the form or the initial states it is scored with.
  const int first = cuts[0], last = cuts[k - 1];
  const int fm = ets_season(y, first, -1, sc);
  x = ts_scratch_get(sc, TS_SLOT_WORK, last);
  const bool fitted = ets_fit_all(y, first, fm, x, &fs, sc->cancel);
  if (sc->cancel && sc->cancel->stopped) return TS_STOPPED;
  for (int t = first; fitted && t < last; t++)
    x[t] = y[t] / fs.scale;
  if (!fitted || !variant_folds(fs, y, x, fm, cuts, k, steps, fold_out, tmp, sc))
    for (int r = 0; r < TS_ETS_VARIANTS; r++)
      for (int i = 0; i < k; i++)
        naive_fallback(y, cuts[i], steps, fold_out + ((int64_t)r * k + i) * steps, nullptr);
  return mask;
}

void model_ets(const double *y, int n, int s, double *out, double *dev) {
  ts_scratch sc = {};
  model_ets_ex(y, n, s, out, dev, -1, &sc);
  ts_scratch_free(&sc);
}

bool ts_ets_choose(const double *y, int n, int period, ts_scratch *sc, ts_ets_choice *out) {
  if (n < 1) return false;
  const int m = ets_season(y, n, period, sc);
  ets_fit best = {};
  double scale = 1;
  if (!ets_select(y, n, m, ts_scratch_get(sc, TS_SLOT_WORK, n), &scale, &best)) return false;
  *out = ts_ets_choice{};
  out->error = best.form.mult_error;
  out->trend = best.form.trend;
  out->season = best.form.season;
  out->m = m;
  out->alpha = best.par.alpha;
  out->beta = best.par.beta;
  out->gamma = best.par.gamma;
  out->phi = best.par.phi;
  out->l0 = best.start.l;
  out->b0 = best.start.b;
  for (int j = 0; j < TS_MAX_SEASON; j++)
    out->s0[j] = best.start.s[j];
  out->aicc = best.aicc;
  out->scale = scale;
  out->params = best.params;
  return true;
}
