// Fold metrics of backtest: point errors (mae, rmse, mase, smape), band statistics (coverage,
// mean width) and the leave-one-fold-out conformal radii. Plain arrays in, plain numbers out;
// every sum runs in step order and is divided by the horizon last.
#include "backtest/backtest.h"
#include <math.h>

double bt_mase_scale(const double *v, int32_t n) {
  if (n < 2) return 0;
  double sum = 0;
  for (int32_t i = 1; i < n; i++)
    sum += fabs(v[i] - v[i - 1]);
  return sum / (n - 1);
}

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

namespace {

// Ascending insertion sort; with NaN among the values its order is the one the plain
// algorithm gives, which the fast path below cannot reproduce.
void insertion_sort(double *a, int32_t n) {
  for (int32_t i = 1; i < n; i++) {
    double key = a[i];
    int32_t j = i - 1;
    while (j >= 0 && a[j] > key) {
      a[j + 1] = a[j];
      j--;
    }
    a[j + 1] = key;
  }
}

int cmp_double(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return (x > y) - (x < y);
}

} // namespace

void bt_conformal_radii(const double *abs_err, int32_t folds, int32_t h, double level, double *radius, double *work) {
  int32_t m = folds - 1;
  int64_t q = (int64_t)ceil((m + 1) * level);
  if (q > m) q = m;
  if (q < 1) q = 1;
  double *all = work, *others = work + folds;
  for (int32_t k = 0; k < h; k++) {
    bool has_nan = false;
    for (int32_t f = 0; f < folds; f++) {
      all[f] = abs_err[(int64_t)f * h + k];
      if (isnan(all[f])) has_nan = true;
    }
    if (has_nan) {
      for (int32_t fold = 0; fold < folds; fold++) {
        int32_t c = 0;
        for (int32_t f = 0; f < folds; f++)
          if (f != fold) others[c++] = all[f];
        insertion_sort(others, m);
        radius[(int64_t)fold * h + k] = others[q - 1];
      }
      continue;
    }
    // Without NaN the order is total: sort the step's errors once and drop each fold's own
    // error by rank. Removing any copy of an equal value leaves the same multiset.
    memcpy(others, all, (size_t)folds * sizeof(double));
    qsort(others, (size_t)folds, sizeof(double), cmp_double);
    for (int32_t fold = 0; fold < folds; fold++) {
      double own = all[fold];
      int32_t lo = 0, hi = folds; // first position holding own
      while (lo < hi) {
        int32_t mid = (lo + hi) / 2;
        if (others[mid] < own)
          lo = mid + 1;
        else
          hi = mid;
      }
      radius[(int64_t)fold * h + k] = lo <= q - 1 ? others[q] : others[q - 1];
    }
  }
}
