// Rolling-origin evaluation and what is built on it: the fold layout, fold construction,
// automatic selection among the statistical models, conformal radii, plus the quantile
// routines used for intervals across the extension.
#include "ts/models.h"
#include <math.h>

double vornel0_norm_quantile(double p) {
  // Acklam's inverse normal, published coefficients and break points, no refinement step.
  static const double a1 = -39.69683028665376, a2 = 220.9460984245205, a3 = -275.9285104469687, a4 = 138.357751867269,
                      a5 = -30.66479806614716, a6 = 2.506628277459239;
  static const double b1 = -54.47609879822406, b2 = 161.5858368580409, b3 = -155.6989798598866, b4 = 66.80131188771972,
                      b5 = -13.28068155288572;
  static const double c1 = -0.007784894002430293, c2 = -0.3223964580411365, c3 = -2.400758277161838,
                      c4 = -2.549732539343734, c5 = 4.374664141464968, c6 = 2.938163982698783;
  static const double d1 = 0.007784695709041462, d2 = 0.3224671290700398, d3 = 2.445134137142996,
                      d4 = 3.754408661907416;
  if (isnan(p)) return p;
  // The tails' logarithms have no finite answer at 0 and 1.
  if (p <= 0) return -INFINITY;
  if (p >= 1) return INFINITY;
  auto tail = [&](double q) {
    return (((((c1 * q + c2) * q + c3) * q + c4) * q + c5) * q + c6) / ((((d1 * q + d2) * q + d3) * q + d4) * q + 1);
  };
  if (p < 0.02425) return tail(sqrt(-2 * log(p)));
  if (p <= 0.97575) {
    double q = p - 0.5, r = q * q;
    return (((((a1 * r + a2) * r + a3) * r + a4) * r + a5) * r + a6) * q /
           (((((b1 * r + b2) * r + b3) * r + b4) * r + b5) * r + 1);
  }
  return -tail(sqrt(-2 * log(1 - p)));
}

double vornel0_quantile_at(const float *levels, const double *values, int count, double x) {
  if (count <= 0) return NAN;
  if (count == 1) return values[0];
  const double l0 = levels[0], l1 = levels[1];
  if (x <= l0) return values[0] + (values[1] - values[0]) / (l1 - l0) * (x - l0);
  const double ll = levels[count - 1], lp = levels[count - 2];
  if (x >= ll) return values[count - 1] + (values[count - 1] - values[count - 2]) / (ll - lp) * (x - ll);
  int i = 1;
  while (i < count - 1 && !(x <= (double)levels[i]))
    i++;
  const double lo = levels[i - 1], hi = levels[i];
  return values[i - 1] + (values[i] - values[i - 1]) * (x - lo) / (hi - lo);
}

void ts_residual_bounds(const double *forecast, const double *dev, int h, double level, double *out_lower,
                        double *out_upper) {
  const double z = vornel0_norm_quantile(0.5 + level / 2);
  for (int k = 0; k < h; k++) {
    out_lower[k] = forecast[k] - z * dev[k];
    out_upper[k] = forecast[k] + z * dev[k];
  }
}

int ts_conformal_rank(int k, double level) {
  double r = ceil((double)(k + 1) * level);
  if (!(r >= 1)) return 1;
  if (r > k) return k;
  return (int)r;
}

void ts_sort_ascending(double *v, int n) {
  for (int i = 1; i < n; i++) {
    double x = v[i];
    int j = i;
    while (j > 0 && v[j - 1] > x) {
      v[j] = v[j - 1];
      j--;
    }
    v[j] = x;
  }
}

int ts_fold_count(int64_t n, int64_t h, int64_t g, int F) {
  const int64_t usable = n - h - g;
  if (usable < 8 || F < 1) return 0;
  return usable - 7 < F ? (int)(usable - 7) : F;
}

int64_t ts_fold_cut(int64_t n, int64_t h, int64_t g, int k, int i) { return n - h - g - k + 1 + i; }

double ts_mase_scale(const double *y, int n) {
  if (n < 2) return 0.0;
  double sum = 0;
  for (int t = 1; t < n; t++)
    sum += fabs(y[t] - y[t - 1]);
  return sum / (double)(n - 1);
}

int ts_backtest(ts_model_fn model, const double *y, int n, int h, int g, int F, double *out_actuals,
                double *out_forecasts) {
  const int k = ts_fold_count(n, h, g, F);
  if (k == 0) return 0;
  HostPtr<double> fc(host_calloc<double>((int64_t)h + g));
  if (!fc) return -1;
  for (int i = 0; i < k; i++) {
    const int o = (int)ts_fold_cut(n, h, g, k, i);
    model(y, o, h + g, fc.get(), nullptr);
    for (int j = 0; j < h; j++) {
      out_actuals[(int64_t)i * h + j] = y[o + g + j];
      out_forecasts[(int64_t)i * h + j] = fc[g + j];
    }
  }
  return k;
}

int ts_backtest_model(const ts_model *model, const double *y, int n, int h, int g, int F, double *out_actuals,
                      double *out_forecasts, ts_scratch *sc) {
  const int k = ts_fold_count(n, h, g, F);
  if (k == 0) return 0;
  double *fc = ts_scratch_get(sc, TS_SLOT_FOLD, (int64_t)h + g);
  if (!fc) return -1;
  for (int i = 0; i < k; i++) {
    const int o = (int)ts_fold_cut(n, h, g, k, i);
    if (ts_fit_stop(sc, o)) return TS_STOPPED;
    model->fn_ex(y, o, h + g, fc, nullptr, -1, sc);
    for (int j = 0; j < h; j++) {
      out_actuals[(int64_t)i * h + j] = y[o + g + j];
      out_forecasts[(int64_t)i * h + j] = fc[g + j];
    }
  }
  return k;
}

int ts_score_models(const ts_model *const *models, int count, const double *y, int n, int h, int g, int F, double scale,
                    double *out_scores, ts_scratch *sc) {
  const int k = ts_fold_count(n, h, g, F);
  if (k == 0 || count <= 0) return 0;
  double *fc = ts_scratch_get(sc, TS_SLOT_FOLD, (int64_t)h + g);
  if (!fc) return -1;
  bool any_period = false;
  for (int m = 0; m < count; m++) {
    out_scores[m] = 0.0;
    any_period = any_period || models[m]->uses_period;
  }
  for (int i = 0; i < k; i++) {
    const int o = (int)ts_fold_cut(n, h, g, k, i);
    // Both seasonal models would detect the same period on this prefix: find it once.
    const int period = any_period ? (o >= 6 ? detect_period_ex(y, o, sc) : 0) : -1;
    for (int m = 0; m < count; m++) {
      if (ts_fit_stop(sc, o)) return TS_STOPPED;
      models[m]->fn_ex(y, o, h + g, fc, nullptr, period, sc);
      double sum = out_scores[m];
      for (int j = 0; j < h; j++)
        sum += fabs(y[o + g + j] - fc[g + j]);
      out_scores[m] = sum;
    }
  }
  const double pairs = (double)k * (double)h;
  for (int m = 0; m < count; m++) {
    out_scores[m] = out_scores[m] / pairs;
    if (scale > 0) out_scores[m] = out_scores[m] / scale;
  }
  return k;
}

int ts_auto_select(const double *y, int n, int h, int g, int F, double scale, double *, double *, Cancel *cancel) {
  const ts_model *models[TS_MODEL_COUNT];
  for (int m = 0; m < TS_MODEL_COUNT; m++)
    models[m] = &TS_MODELS[m];
  double scores[TS_MODEL_COUNT];
  ts_scratch sc = {};
  sc.cancel = cancel;
  const int k = ts_score_models(models, TS_MODEL_COUNT, y, n, h, g, F, scale, scores, &sc);
  ts_scratch_free(&sc);
  if (k == TS_STOPPED) return k;
  if (k < 0) return -2;
  if (k == 0) return -1;
  int best = 0;
  for (int m = 1; m < TS_MODEL_COUNT; m++)
    if (ts_score_better(scores[m], scores[best])) best = m;
  return best;
}

int ts_conformal_radius(const ts_model *model, const double *y, int n, int h, int g, int F, double level,
                        double *out_radius, ts_scratch *sc) {
  const int k = ts_fold_count(n, h, g, F);
  if (k < 3) return k;
  HostPtr<double> act(host_calloc<double>((int64_t)k * h));
  HostPtr<double> fc(host_calloc<double>((int64_t)k * h));
  HostPtr<double> errors(host_calloc<double>(k));
  if (!act || !fc || !errors) return -1;
  const int folds = ts_backtest_model(model, y, n, h, g, F, act.get(), fc.get(), sc);
  if (folds < 0) return folds;
  const int r = ts_conformal_rank(k, level);
  for (int j = 0; j < h; j++) {
    for (int i = 0; i < k; i++)
      errors[i] = fabs(fc[(int64_t)i * h + j] - act[(int64_t)i * h + j]);
    ts_sort_ascending(errors.get(), k);
    out_radius[j] = errors[r - 1];
  }
  return k;
}
