// The search behind exponential smoothing's fits: each form's smoothing weights (and, without
// a season, its initial level and trend) minimise the likelihood term under Nelder-Mead from
// fixed starts with a fixed budget. The three forms of one error and season type search side
// by side, their recursions run in the lanes of one vectorised pass: the recursion is
// latency-bound, so three runs cost about as much as one.
#include "core/portable_math.h"
#include "ts/ets_form.h"
#include <math.h>

using namespace ets_impl;

namespace {

constexpr double PAR_LO = 1e-4, PAR_HI = 0.9999, PHI_LO = 0.8, PHI_HI = 0.98;
constexpr int INIT_SEARCH = 1;

// The recursion of ets_run for up to four sets of weights and initial states at once, one per
// lane; each lane's arithmetic is that of a run on its own, so the bits are the same. The
// season states are updated in place, the final level and trend left in l and b.
typedef double v4d __attribute__((vector_size(32)));
typedef decltype(v4d{} > v4d{}) v4m; // a comparison's lane masks
constexpr int LANES = 4;
struct ets_lanes {
  v4d alpha, beta, gamma, phi, l, b;
  v4d s[TS_MAX_SEASON];
};

template <bool MULT_ERROR, int SEASON>
inline __attribute__((always_inline)) void ets_run_lanes(const double *y, int n, int m, int phase, ets_lanes *in,
                                                         double *lik, double *out_sse) {
  const v4d zero = {0, 0, 0, 0}, one = {1, 1, 1, 1};
  v4d l = in->l, b = in->b, sse = zero, product = one;
  v4m dead = {0, 0, 0, 0};
  double log_sum[LANES] = {0, 0, 0, 0};
  int in_product = 0, j = SEASON == SEASON_N ? 0 : phase;
  for (int t = 0; t < n; t++) {
    const v4d yt = {y[t], y[t], y[t], y[t]};
    const v4d T = l + in->phi * b;
    const v4d sv = SEASON == SEASON_N ? zero : in->s[j];
    const v4d mu = SEASON == SEASON_A ? T + sv : SEASON == SEASON_M ? T * sv : T;
    const v4d e = yt - mu;
    if (MULT_ERROR) {
      dead |= ~(mu > zero);
      const v4d eps = e / mu;
      sse += eps * eps;
      product = product * mu;
      if (++in_product == 16) {
        for (int i = 0; i < LANES; i++)
          log_sum[i] += portable_log(product[i]);
        product = one;
        in_product = 0;
      }
    } else {
      sse += e * e;
    }
    if (SEASON == SEASON_M) {
      dead |= ~(sv > zero) | ~(T > zero);
      l = T + in->alpha * e / sv;
      b = in->phi * b + in->beta * e / sv;
      in->s[j] = sv + in->gamma * e / T;
    } else {
      l = T + in->alpha * e;
      b = in->phi * b + in->beta * e;
      if (SEASON == SEASON_A) in->s[j] = sv + in->gamma * e;
    }
    if (SEASON != SEASON_N && ++j == m) j = 0;
  }
  in->l = l;
  in->b = b;
  for (int i = 0; i < LANES; i++) {
    if (in_product) log_sum[i] += portable_log(product[i]);
    const double q = sse[i];
    out_sse[i] = q;
    if (dead[i] || !isfinite(q) || !isfinite(log_sum[i])) {
      lik[i] = INFINITY;
      continue;
    }
    const double v = (double)n * portable_log(q > 1e-300 ? q : 1e-300);
    lik[i] = MULT_ERROR ? v + 2.0 * log_sum[i] : v;
  }
}

VORNEL_KERNEL void run_lanes(ets_form f, const double *y, int n, int m, int phase, ets_lanes *in, double *lik,
                             double *sse) {
  if (f.mult_error) {
    if (f.season == SEASON_M) return ets_run_lanes<true, SEASON_M>(y, n, m, phase, in, lik, sse);
    if (f.season == SEASON_A) return ets_run_lanes<true, SEASON_A>(y, n, m, phase, in, lik, sse);
    return ets_run_lanes<true, SEASON_N>(y, n, m, phase, in, lik, sse);
  }
  if (f.season == SEASON_M) return ets_run_lanes<false, SEASON_M>(y, n, m, phase, in, lik, sse);
  if (f.season == SEASON_A) return ets_run_lanes<false, SEASON_A>(y, n, m, phase, in, lik, sse);
  return ets_run_lanes<false, SEASON_N>(y, n, m, phase, in, lik, sse);
}

struct fit_problem {
  const double *y;
  int n, m;
  ets_form form;
  ets_state start;
  int weights;   // search coordinates that are weights; the level and trend follow when searched
  int init_dims; // 0, or the initial level (and trend) searched too
};

// Search coordinates to weights; INFINITY-valued (false) outside the box.
bool to_params(const fit_problem &pb, const double *x, ets_params *p) {
  int i = 0;
  p->alpha = x[i++];
  if (!(p->alpha >= PAR_LO && p->alpha <= PAR_HI)) return false;
  p->beta = p->gamma = 0;
  p->phi = 1;
  if (pb.form.trend != TREND_N) {
    const double share = x[i++];
    if (!(share >= PAR_LO && share <= 1.0)) return false;
    p->beta = share * p->alpha;
  }
  if (pb.form.season != SEASON_N) {
    const double share = x[i++];
    if (!(share >= PAR_LO && share <= 1.0)) return false;
    p->gamma = share * (1.0 - p->alpha);
  }
  if (pb.form.trend == TREND_D) {
    p->phi = x[i++];
    if (!(p->phi >= PHI_LO && p->phi <= PHI_HI)) return false;
  }
  return true;
}

// A form's search: the problem, the starting point and steps of its coordinates, their
// count and the parameter count k. False when the form cannot start or k is too large for n.
struct fit_search {
  fit_problem pb;
  double x[TS_NM_MAX_DIM], step[TS_NM_MAX_DIM];
  int d, k;
};

bool fit_setup(const double *y, int n, int m, ets_form f, fit_search *fs) {
  fit_problem &pb = fs->pb;
  pb = {y, n, m, f, {}, 0, 0};
  if (!ets_initial(y, n, m, f, &pb.start)) return false;
  int d = 0;
  double *x = fs->x, *step = fs->step;
  // Starting weights as the book's software sets them: a small alpha for long seasons.
  const double season = f.season == SEASON_N ? 1.0 : (double)m;
  x[d] = PAR_LO + 0.2 * (PAR_HI - PAR_LO) / season;
  step[d++] = 0.1;
  if (f.trend != TREND_N) x[d] = 0.1, step[d++] = 0.1;
  if (f.season != SEASON_N) x[d] = 0.05, step[d++] = 0.1;
  if (f.trend == TREND_D) x[d] = 0.97, step[d++] = -0.05;
  pb.weights = d;
  if (f.season == SEASON_N && INIT_SEARCH) {
    x[d] = pb.start.l, step[d++] = 0.05;
    pb.init_dims = 1;
    if (f.trend != TREND_N) x[d] = pb.start.b, step[d++] = 0.01, pb.init_dims = 2;
  }
  const int states = 1 + (f.trend != TREND_N) + (f.season != SEASON_N ? m - 1 : 0);
  fs->d = d;
  fs->k = pb.weights + states + 1; // and the error variance
  return n - fs->k - 1 > 0;
}

int fit_budget(int d) { return 30 + 20 * d; }

// The fit at the search's result x: weights, initial states, final states and AICc.
bool fit_finish(fit_search *fs, const double *x, ets_fit *out) {
  fit_problem &pb = fs->pb;
  const int n = pb.n, k = fs->k;
  out->form = pb.form;
  if (!to_params(pb, x, &out->par)) return false;
  if (pb.init_dims) {
    pb.start.l = x[pb.weights];
    if (pb.init_dims > 1) pb.start.b = x[pb.weights + 1];
  }
  out->start = out->end = pb.start;
  double sse;
  const double lik = ets_run(pb.y, n, pb.m, pb.form, out->par, &out->end, &sse);
  if (!isfinite(lik)) return false;
  out->params = k;
  out->sigma2 = sse / (double)(n - k > 1 ? n - k : 1);
  out->aicc = lik + 2.0 * k + 2.0 * k * (k + 1) / (double)(n - k - 1);
  return true;
}

// Puts the objective's point x of search fs into lane i; false when x is outside the box.
bool load_lane(const fit_search &fs, const double *x, int i, ets_lanes *in) {
  const fit_problem &pb = fs.pb;
  ets_params p;
  if (!to_params(pb, x, &p)) return false;
  in->alpha[i] = p.alpha;
  in->beta[i] = p.beta;
  in->gamma[i] = p.gamma;
  in->phi[i] = pb.form.trend == TREND_D ? p.phi : 1.0;
  in->l[i] = pb.init_dims ? x[pb.weights] : pb.start.l;
  in->b[i] = pb.init_dims > 1 ? x[pb.weights + 1] : pb.start.b;
  if (pb.form.trend == TREND_N) in->b[i] = 0.0;
  if (pb.form.season != SEASON_N)
    for (int j = 0; j < pb.m; j++)
      in->s[j][i] = pb.start.s[j];
  return true;
}

// Fits the `count` <= LANES forms FORMS[first..] of one error and season type together: their
// searches take their steps side by side, one vectorised pass valuing a point of each (the
// same points and values as one search after the other). ok[i]: form first + i fitted.
void fit_forms_together(const double *y, int n, int m, int first, int count, ets_fit *out, bool *ok) {
  fit_search fs[LANES];
  ts_nm nm[LANES];
  bool running[LANES];
  for (int i = 0; i < count; i++) {
    ok[i] = fit_setup(y, n, m, FORMS[first + i], &fs[i]);
    running[i] = ok[i];
    if (ok[i]) ts_nm_start(&nm[i], fs[i].d, fs[i].x, fs[i].step, fit_budget(fs[i].d));
  }
  ets_lanes in;
  for (;;) {
    int pending = -1;
    for (int i = 0; i < count; i++) {
      // Points outside the box are worth INFINITY without a run, as in the objective.
      while (running[i] && !load_lane(fs[i], nm[i].x, i, &in))
        running[i] = ts_nm_tell(&nm[i], INFINITY);
      if (running[i]) pending = i;
    }
    if (pending < 0) break;
    for (int i = 0; i < LANES; i++) // idle lanes repeat a pending one
      if (i >= count || !running[i]) load_lane(fs[pending], nm[pending].x, i, &in);
    double lik[LANES], sse[LANES];
    run_lanes(FORMS[first], y, n, m, 0, &in, lik, sse);
    for (int i = 0; i < count; i++)
      if (running[i]) running[i] = ts_nm_tell(&nm[i], lik[i]);
  }
  for (int i = 0; i < count; i++) {
    if (!ok[i]) continue;
    double x[TS_NM_MAX_DIM];
    ts_nm_best(&nm[i], x);
    ok[i] = fit_finish(&fs[i], x, &out[i]);
  }
}

} // namespace

namespace ets_impl {

double ets_run(const double *y, int n, int m, ets_form f, const ets_params &p, ets_state *st, double *out_sse,
               int phase) {
  // One run in every lane: the lanes' arithmetic is that of a single run.
  ets_lanes in;
  for (int i = 0; i < LANES; i++) {
    in.alpha[i] = p.alpha;
    in.beta[i] = p.beta;
    in.gamma[i] = p.gamma;
    in.phi[i] = f.trend == TREND_D ? p.phi : 1.0;
    in.l[i] = st->l;
    in.b[i] = f.trend == TREND_N ? 0.0 : st->b;
    for (int j = 0; f.season != SEASON_N && j < m; j++)
      in.s[j][i] = st->s[j];
  }
  double lik[LANES], sse[LANES];
  run_lanes(f, y, n, m, phase, &in, lik, sse);
  st->l = in.l[0];
  st->b = in.b[0];
  for (int j = 0; f.season != SEASON_N && j < m; j++)
    st->s[j] = in.s[j][0];
  *out_sse = sse[0];
  return lik[0];
}

bool ets_fit_all(const double *y, int n, int m, double *x, ets_fits *out, Cancel *cancel) {
  double scale = 0;
  bool positive = true;
  for (int t = 0; t < n; t++) {
    if (fabs(y[t]) > scale) scale = fabs(y[t]);
    positive = positive && y[t] > 0;
  }
  bool found = false;
  for (int i = 0; i < FORM_COUNT; i++)
    out->ok[i] = false;
  if (!x || !(scale > 0) || !isfinite(scale)) return false;
  for (int t = 0; t < n; t++)
    x[t] = y[t] / scale;
  out->scale = scale;
  // Forms come in threes of one error and season type (no, additive, damped trend).
  for (int i = 0; i < FORM_COUNT; i += 3) {
    const ets_form f = FORMS[i];
    if (f.season != SEASON_N && (m < 2 || n < 2 * m)) continue;
    if ((f.mult_error || f.season == SEASON_M) && !positive) continue;
    // A search runs the recursion (about 10 operations a value) up to 150 times.
    if (cancel_stop(cancel, (int64_t)n * 1500)) return false;
    fit_forms_together(x, n, m, i, 3, out->fit + i, out->ok + i);
    found = found || out->ok[i] || out->ok[i + 1] || out->ok[i + 2];
  }
  return found;
}

int ets_best(const ets_fits &fs, int trend) {
  int best = -1;
  for (int i = 0; i < FORM_COUNT; i++)
    if (fs.ok[i] && (trend < 0 || FORMS[i].trend == trend) && (best < 0 || fs.fit[i].aicc < fs.fit[best].aicc))
      best = i;
  return best;
}

} // namespace ets_impl
