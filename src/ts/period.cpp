// Period detection by autocorrelation of the detrended series, the least-squares line it
// shares with the theta model, and the scratch buffers of the numeric cores.
//
// The autocorrelation sums dominate the cost of automatic selection, so they are computed for
// 32 lags at once: every lane still adds its products in ascending t, starting from 0, so each
// lag's sum has exactly the bits of the plain loop.
#include "ts/models.h"
#include <math.h>

double *ts_scratch_get(ts_scratch *sc, int slot, int64_t n) {
  if (n < 1) n = 1;
  if (n > sc->cap[slot]) {
    if ((uint64_t)n > (uint64_t)INT64_MAX / sizeof(double)) return nullptr;
    sqlite3_free(sc->buf[slot]);
    sc->buf[slot] = (double *)sqlite3_malloc64((sqlite3_uint64)n * sizeof(double));
    sc->cap[slot] = sc->buf[slot] ? n : 0;
  }
  return sc->buf[slot];
}

void ts_scratch_free(ts_scratch *sc) {
  if (!sc) return;
  for (int i = 0; i < TS_SLOT_COUNT; i++) {
    sqlite3_free(sc->buf[i]);
    sc->buf[i] = nullptr;
    sc->cap[i] = 0;
  }
}

void ts_line_fit(const double *y, int n, double *out_intercept, double *out_slope) {
  double st = 0, sy = 0, sty = 0, stt = 0;
  for (int t = 0; t < n; t++) {
    double tt = (double)t;
    st += tt;
    sy += y[t];
    sty += tt * y[t];
    stt += tt * tt;
  }
  double dn = (double)n;
  double den = dn * stt - st * st;
  double slope = den != 0 ? (dn * sty - st * sy) / den : 0.0;
  *out_slope = slope;
  *out_intercept = n > 0 ? (sy - slope * st) / dn : 0.0;
}

namespace {

typedef double v4d __attribute__((vector_size(32)));

// An unaligned load of four doubles (a macro: a function returning a 32-byte vector would
// change its calling convention between the clones).
#define LOAD4(p)                                                                                                       \
  (__extension__({                                                                                                     \
    v4d v_;                                                                                                            \
    memcpy(&v_, (p), sizeof v_);                                                                                       \
    v_;                                                                                                                \
  }))

// Lags per block: eight vectors of four, enough independent sums to hide the latency of the
// additions.
constexpr int LANES = 32;
constexpr int VECS = LANES / 4;

// out[k] = sum over t from k to n-1 of r[t-k] * r[t], for k in [k_first, k_last].
VORNEL_KERNEL void lag_sums(const double *r, int n, int k_first, int k_last, double *out) {
  int k0 = k_first;
  // A block may run past k_last (its extra lanes are dropped) as long as every lane's lag is
  // below n, so that the shared loads stay inside r.
  for (; k0 <= k_last && k0 + LANES - 1 < n; k0 += LANES) {
    // Lane i of the vectors holds lag k0 + LANES - 1 - i, so one unaligned load at
    // r + t - k0 - LANES + 1 gives every lane its r[t - lag]. Each lane first adds its own
    // products for t below the shared start, in ascending t, so its sum keeps the plain order.
    double head[LANES];
    for (int i = 0; i < LANES; i++) {
      int k = k0 + LANES - 1 - i;
      double sum = 0.0;
      for (int t = k; t < k0 + LANES - 1; t++)
        sum += r[t - k] * r[t];
      head[i] = sum;
    }
    v4d a0 = LOAD4(head), a1 = LOAD4(head + 4), a2 = LOAD4(head + 8), a3 = LOAD4(head + 12);
    v4d a4 = LOAD4(head + 16), a5 = LOAD4(head + 20), a6 = LOAD4(head + 24), a7 = LOAD4(head + 28);
    for (int t = k0 + LANES - 1; t < n; t++) {
      const double *base = r + (t - k0 - LANES + 1);
      v4d rt = {r[t], r[t], r[t], r[t]};
      a0 += LOAD4(base) * rt;
      a1 += LOAD4(base + 4) * rt;
      a2 += LOAD4(base + 8) * rt;
      a3 += LOAD4(base + 12) * rt;
      a4 += LOAD4(base + 16) * rt;
      a5 += LOAD4(base + 20) * rt;
      a6 += LOAD4(base + 24) * rt;
      a7 += LOAD4(base + 28) * rt;
    }
    const v4d acc[VECS] = {a0, a1, a2, a3, a4, a5, a6, a7};
    for (int v = 0; v < VECS; v++)
      memcpy(head + 4 * v, &acc[v], sizeof acc[v]);
    for (int i = 0; i < LANES; i++) {
      int k = k0 + LANES - 1 - i;
      if (k <= k_last) out[k] = head[i];
    }
  }
  for (int k = k0; k <= k_last; k++) {
    double sum = 0.0;
    for (int t = k; t < n; t++)
      sum += r[t - k] * r[t];
    out[k] = sum;
  }
}

} // namespace

int detect_period_ex(const double *y, int n, ts_scratch *sc) {
  if (n < 3) return 0;
  const int max_lag = n < 734 ? n / 2 : 366;
  double *r = ts_scratch_get(sc, TS_SLOT_RESIDUALS, n);
  if (!r) return 0;
  double intercept, slope;
  ts_line_fit(y, n, &intercept, &slope);
  double d = 0;
  for (int t = 0; t < n; t++) {
    r[t] = y[t] - (intercept + slope * (double)t);
    d += r[t] * r[t];
  }
  if (!(d > 0)) return 0;
  int k_last = max_lag + 1 < n - 1 ? max_lag + 1 : n - 1;
  double *a = ts_scratch_get(sc, TS_SLOT_ACF, (int64_t)k_last + 1);
  if (!a) return 0;
  lag_sums(r, n, 1, k_last, a);
  for (int k = 1; k <= k_last; k++)
    a[k] = a[k] / d;
  int best_lag = 0;
  double best = 0.3;
  for (int p = 2; p <= max_lag && p + 1 < n; p++) {
    if (a[p - 1] < a[p] && a[p + 1] <= a[p] && a[p] > best) {
      best = a[p];
      best_lag = p;
    }
  }
  return best_lag;
}

int detect_period(const double *y, int n) {
  ts_scratch sc = {};
  int p = detect_period_ex(y, n, &sc);
  ts_scratch_free(&sc);
  return p;
}
