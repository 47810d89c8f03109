// The derivative-free minimiser of the extended models: Nelder and Mead's simplex method ("A
// simplex method for function minimization", Computer Journal 7, 1965) with the standard
// coefficients, a fixed starting simplex and a fixed evaluation budget, so every machine walks
// the same points.
#include "ts/extended.h"
#include <math.h>

void ts_nelder_mead(double (*f)(const void *ctx, const double *x), const void *ctx, int d, double *x0,
                    const double *step, int max_evals) {
  double v[TS_NM_MAX_DIM + 1][TS_NM_MAX_DIM], fv[TS_NM_MAX_DIM + 1];
  for (int i = 0; i <= d; i++) {
    for (int k = 0; k < d; k++)
      v[i][k] = x0[k];
    if (i > 0) v[i][i - 1] += step[i - 1];
    fv[i] = f(ctx, v[i]);
  }
  int evals = d + 1;
  while (evals < max_evals) {
    // Order: best first (a stable insertion sort keeps ties in vertex order).
    for (int i = 1; i <= d; i++) {
      for (int j = i; j > 0 && fv[j] < fv[j - 1]; j--) {
        double tf = fv[j];
        fv[j] = fv[j - 1];
        fv[j - 1] = tf;
        for (int k = 0; k < d; k++) {
          double tx = v[j][k];
          v[j][k] = v[j - 1][k];
          v[j - 1][k] = tx;
        }
      }
    }
    if (isfinite(fv[d]) && fv[d] - fv[0] <= 1e-6) break;
    double c[TS_NM_MAX_DIM], xr[TS_NM_MAX_DIM], xe[TS_NM_MAX_DIM], xc[TS_NM_MAX_DIM];
    for (int k = 0; k < d; k++) {
      double sum = 0;
      for (int i = 0; i < d; i++)
        sum += v[i][k];
      c[k] = sum / (double)d;
      xr[k] = c[k] + (c[k] - v[d][k]);
    }
    const double fr = f(ctx, xr);
    evals++;
    if (fr < fv[0]) {
      for (int k = 0; k < d; k++)
        xe[k] = c[k] + 2.0 * (c[k] - v[d][k]);
      const double fe = f(ctx, xe);
      evals++;
      const bool expand = fe < fr;
      for (int k = 0; k < d; k++)
        v[d][k] = expand ? xe[k] : xr[k];
      fv[d] = expand ? fe : fr;
      continue;
    }
    if (fr < fv[d - 1]) {
      for (int k = 0; k < d; k++)
        v[d][k] = xr[k];
      fv[d] = fr;
      continue;
    }
    const bool outside = fr < fv[d];
    for (int k = 0; k < d; k++)
      xc[k] = outside ? c[k] + 0.5 * (xr[k] - c[k]) : c[k] + 0.5 * (v[d][k] - c[k]);
    const double fc = f(ctx, xc);
    evals++;
    if (fc < (outside ? fr : fv[d])) {
      for (int k = 0; k < d; k++)
        v[d][k] = xc[k];
      fv[d] = fc;
      continue;
    }
    for (int i = 1; i <= d; i++) {
      for (int k = 0; k < d; k++)
        v[i][k] = v[0][k] + 0.5 * (v[i][k] - v[0][k]);
      fv[i] = f(ctx, v[i]);
    }
    evals += d;
  }
  int best = 0;
  for (int i = 1; i <= d; i++)
    if (fv[i] < fv[best]) best = i;
  for (int k = 0; k < d; k++)
    x0[k] = v[best][k];
}
