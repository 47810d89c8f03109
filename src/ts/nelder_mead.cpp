// The derivative-free minimiser of the extended models: Nelder and Mead's simplex method ("A
// simplex method for function minimization", Computer Journal 7, 1965) with the standard
// coefficients, a fixed starting simplex and a fixed evaluation budget, so every machine walks
// the same points. It is written as a machine that asks for one point at a time, so that
// several searches can share the passes of a vectorised objective.
#include "ts/extended.h"
#include <math.h>

namespace {

enum { NM_INIT, NM_REFLECT, NM_EXPAND, NM_CONTRACT, NM_SHRINK, NM_DONE };

void set_point(ts_nm *nm, const double *p) {
  for (int k = 0; k < nm->d; k++)
    nm->x[k] = p[k];
}

// The head of an iteration: stops on the budget or a flat simplex, else asks for the
// reflection of the worst vertex.
void iterate(ts_nm *nm) {
  const int d = nm->d;
  if (nm->evals >= nm->max_evals) {
    nm->phase = NM_DONE;
    return;
  }
  // Order: best first (a stable insertion sort keeps ties in vertex order).
  for (int i = 1; i <= d; i++) {
    for (int j = i; j > 0 && nm->fv[j] < nm->fv[j - 1]; j--) {
      double tf = nm->fv[j];
      nm->fv[j] = nm->fv[j - 1];
      nm->fv[j - 1] = tf;
      for (int k = 0; k < d; k++) {
        double tx = nm->v[j][k];
        nm->v[j][k] = nm->v[j - 1][k];
        nm->v[j - 1][k] = tx;
      }
    }
  }
  if (isfinite(nm->fv[d]) && nm->fv[d] - nm->fv[0] <= 1e-6) {
    nm->phase = NM_DONE;
    return;
  }
  for (int k = 0; k < d; k++) {
    double sum = 0;
    for (int i = 0; i < d; i++)
      sum += nm->v[i][k];
    nm->c[k] = sum / (double)d;
    nm->xr[k] = nm->c[k] + (nm->c[k] - nm->v[d][k]);
  }
  nm->phase = NM_REFLECT;
  set_point(nm, nm->xr);
}

void replace_worst(ts_nm *nm, const double *p, double fp) {
  for (int k = 0; k < nm->d; k++)
    nm->v[nm->d][k] = p[k];
  nm->fv[nm->d] = fp;
  iterate(nm);
}

// The value of the reflected point decides between expansion, acceptance and contraction.
void after_reflection(ts_nm *nm, double fr) {
  const int d = nm->d;
  nm->fr = fr;
  nm->evals++;
  if (fr < nm->fv[0]) {
    for (int k = 0; k < d; k++)
      nm->x[k] = nm->c[k] + 2.0 * (nm->c[k] - nm->v[d][k]);
    nm->phase = NM_EXPAND;
    return;
  }
  if (fr < nm->fv[d - 1]) return replace_worst(nm, nm->xr, fr);
  nm->outside = fr < nm->fv[d];
  for (int k = 0; k < d; k++)
    nm->x[k] = nm->outside ? nm->c[k] + 0.5 * (nm->xr[k] - nm->c[k]) : nm->c[k] + 0.5 * (nm->v[d][k] - nm->c[k]);
  nm->phase = NM_CONTRACT;
}

// Shrinks vertex i towards the best and asks for its value.
void shrink(ts_nm *nm, int i) {
  for (int k = 0; k < nm->d; k++)
    nm->v[i][k] = nm->v[0][k] + 0.5 * (nm->v[i][k] - nm->v[0][k]);
  nm->i = i;
  nm->phase = NM_SHRINK;
  set_point(nm, nm->v[i]);
}

} // namespace

void ts_nm_start(ts_nm *nm, int d, const double *x0, const double *step, int max_evals) {
  nm->d = d;
  nm->max_evals = max_evals;
  nm->evals = 0;
  for (int i = 0; i <= d; i++) {
    for (int k = 0; k < d; k++)
      nm->v[i][k] = x0[k];
    if (i > 0) nm->v[i][i - 1] += step[i - 1];
  }
  nm->i = 0;
  nm->phase = NM_INIT;
  set_point(nm, nm->v[0]);
}

bool ts_nm_tell(ts_nm *nm, double fx) {
  const int d = nm->d;
  switch (nm->phase) {
  case NM_INIT:
    nm->fv[nm->i] = fx;
    if (nm->i < d) {
      nm->i++;
      set_point(nm, nm->v[nm->i]);
    } else {
      nm->evals = d + 1;
      iterate(nm);
    }
    break;
  case NM_REFLECT:
    after_reflection(nm, fx);
    break;
  case NM_EXPAND:
    nm->evals++;
    if (fx < nm->fr)
      replace_worst(nm, nm->x, fx);
    else
      replace_worst(nm, nm->xr, nm->fr);
    break;
  case NM_CONTRACT:
    nm->evals++;
    if (fx < (nm->outside ? nm->fr : nm->fv[d]))
      replace_worst(nm, nm->x, fx);
    else
      shrink(nm, 1);
    break;
  case NM_SHRINK:
    nm->fv[nm->i] = fx;
    if (nm->i < d) {
      shrink(nm, nm->i + 1);
    } else {
      nm->evals += d;
      iterate(nm);
    }
    break;
  default:
    break;
  }
  return nm->phase != NM_DONE;
}

void ts_nm_best(const ts_nm *nm, double *x0) {
  int best = 0;
  for (int i = 1; i <= nm->d; i++)
    if (nm->fv[i] < nm->fv[best]) best = i;
  for (int k = 0; k < nm->d; k++)
    x0[k] = nm->v[best][k];
}
