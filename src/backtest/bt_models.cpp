// backtest's side of the forecasting subsystem: the model names it
// accepts, and per-series automatic selection that keeps each fold prefix's season length for
// the refits that follow (ts_auto_select finds the same lengths but does not hand them out).
#include "backtest/backtest.h"
#include <math.h>

int bt_model_index(const char *name) {
  if (!name || strcmp(name, "default-ts") == 0 || strcmp(name, "theta-classic") == 0) return TS_MODEL_THETA;
  if (strcmp(name, "stub-seasonal-naive") == 0) return TS_MODEL_SEASONAL_NAIVE;
  if (strcmp(name, "tsb") == 0) return TS_MODEL_TSB;
  if (strcmp(name, "auto") == 0) return -1;
  return -2;
}

int bt_select_model(const double *y, int32_t n, int32_t h, int32_t gap, int32_t folds, double scale, int32_t *periods,
                    double *step_fc, ts_scratch *sc) {
  const int k = ts_fold_count(n, h, gap, folds);
  if (k == 0) return -1;
  double scores[TS_MODEL_COUNT] = {0, 0, 0};
  for (int i = 0; i < k; i++) {
    const int o = (int)ts_fold_cut(n, h, gap, k, i);
    const int period = o >= 6 ? detect_period_ex(y, o, sc) : 0;
    periods[i] = period;
    for (int m = 0; m < TS_MODEL_COUNT; m++) {
      if (ts_fit_stop(sc, o)) return TS_STOPPED;
      TS_MODELS[m].fn_ex(y, o, h + gap, step_fc, nullptr, period, sc);
      double sum = scores[m];
      for (int j = 0; j < h; j++)
        sum += fabs(y[o + gap + j] - step_fc[gap + j]);
      scores[m] = sum;
    }
  }
  const double pairs = (double)k * (double)h;
  int best = 0;
  for (int m = 0; m < TS_MODEL_COUNT; m++) {
    scores[m] = scores[m] / pairs;
    if (scale > 0) scores[m] = scores[m] / scale;
    if (m > 0 && ts_score_better(scores[m], scores[best])) best = m;
  }
  return best;
}
