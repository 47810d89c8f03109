// Rolling-origin evaluation and what is built on it: the fold layout, fold construction,
// automatic selection among the statistical models and conformal radii.
#include "ts/models.h"
#include <math.h>

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
                    double *out_scores, ts_scratch *sc, int32_t *out_periods, ts_fold_forecast_fn other,
                    const void *other_ctx) {
  const int k = ts_fold_count(n, h, g, F);
  if (k == 0 || count <= 0) return 0;
  double *fc = ts_scratch_get(sc, TS_SLOT_FOLD, (int64_t)h + g);
  if (!fc) return -1;
  bool any_period = false;
  for (int m = 0; m < count; m++) {
    out_scores[m] = 0.0;
    any_period = any_period || (models[m] && models[m]->uses_period);
  }
  for (int i = 0; i < k; i++) {
    const int o = (int)ts_fold_cut(n, h, g, k, i);
    // The seasonal models would each detect the same period on this prefix: find it once.
    const int period = any_period ? (o >= 6 ? detect_period_ex(y, o, sc) : 0) : -1;
    if (out_periods) out_periods[i] = period;
    for (int m = 0; m < count; m++) {
      if (ts_fit_stop(sc, o)) return TS_STOPPED;
      if (models[m])
        models[m]->fn_ex(y, o, h + g, fc, nullptr, models[m]->uses_period ? period : -1, sc);
      else if (other(other_ctx, m, y, n, o, h + g, fc) != SQLITE_OK)
        return -2;
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

int ts_best_score(const double *scores, int count) {
  int best = 0;
  for (int m = 1; m < count; m++)
    if (ts_score_better(scores[m], scores[best])) best = m;
  return best;
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
  return ts_best_score(scores, TS_MODEL_COUNT);
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
