// Fold metrics of backtest: point errors (mae, rmse, mase, smape), band statistics (coverage,
// mean width) and the conformal radii that look only at earlier folds. Plain arrays in, plain numbers out;
// every sum runs in step order and is divided by the horizon last.
#include "backtest/backtest.h"
#include <math.h>

void bt_point_metrics(const double *actual, const double *forecast, int32_t h, double scale, BtMetrics *out) {
  double abs_sum = 0, sq_sum = 0, smape_sum = 0;
  for (int32_t k = 0; k < h; k++) {
    double err = actual[k] - forecast[k];
    abs_sum += fabs(err);
    sq_sum += err * err;
    double denom = fabs(forecast[k]) + fabs(actual[k]);
    if (denom > 0) smape_sum += 2 * fabs(err) / denom;
  }
  out->mae = abs_sum / h;
  out->rmse = sqrt(sq_sum / h);
  out->mase = scale > 0 ? out->mae / scale : 0;
  out->smape = smape_sum / h;
}

void bt_band_metrics(const double *actual, const double *lower, const double *upper, int32_t h, BtMetrics *out) {
  int32_t inside = 0;
  double width_sum = 0;
  for (int32_t k = 0; k < h; k++) {
    if (lower[k] <= actual[k] && actual[k] <= upper[k]) inside++;
    width_sum += upper[k] - lower[k];
  }
  out->coverage = (double)inside / h;
  out->width = width_sum / h;
}

void bt_conformal_radii(const double *abs_err, int32_t folds, int32_t h, double level, double *radius, double *work) {
  // Fold j sees the errors of folds 0..j-1 only: each step keeps them sorted, inserting one
  // fold at a time (an insertion sort run in fold order).
  for (int32_t k = 0; k < h; k++) {
    double *sorted = work;
    for (int32_t j = 0; j < folds; j++) {
      if (j >= BT_CONFORMAL_MIN_EARLIER) {
        int64_t q = (int64_t)ceil((j + 1) * level);
        if (q > j) q = j;
        if (q < 1) q = 1;
        radius[(int64_t)j * h + k] = sorted[q - 1];
      }
      const double e = abs_err[(int64_t)j * h + k];
      int32_t at = j - 1;
      while (at >= 0 && sorted[at] > e) {
        sorted[at + 1] = sorted[at];
        at--;
      }
      sorted[at + 1] = e;
    }
  }
}
