// Exponential smoothing in the innovations state-space form of Hyndman, Koehler, Ord and
// Snyder (Forecasting with Exponential Smoothing: The State Space Approach, Springer 2008):
// additive or multiplicative errors, no, additive or damped trend, no, additive or
// multiplicative season. Each form's smoothing weights are fitted by likelihood with a
// Nelder-Mead search from fixed starts and a fixed budget; the form with the smallest AICc is
// kept. Initial states come from the book's heuristic (classical decomposition of the first
// seasons, a line through the first deseasonalised values) and are counted as parameters as
// the book counts them. Multiplicative trends are left out, as the book advises for
// forecasting. The recursions of the two error types are the same; only the likelihood differs.
#include "ts/extended.h"
#include <math.h>

namespace {

enum { TREND_N, TREND_A, TREND_D };
enum { SEASON_N, SEASON_A, SEASON_M };

struct ets_form {
  int mult_error, trend, season;
};

// Additive-error forms first, so that on equal AICc the simpler error wins.
constexpr ets_form FORMS[] = {
    {0, TREND_N, SEASON_N}, {0, TREND_A, SEASON_N}, {0, TREND_D, SEASON_N}, {1, TREND_N, SEASON_N},
    {1, TREND_A, SEASON_N}, {1, TREND_D, SEASON_N}, {0, TREND_N, SEASON_A}, {0, TREND_A, SEASON_A},
    {0, TREND_D, SEASON_A}, {1, TREND_N, SEASON_A}, {1, TREND_A, SEASON_A}, {1, TREND_D, SEASON_A},
    {1, TREND_N, SEASON_M}, {1, TREND_A, SEASON_M}, {1, TREND_D, SEASON_M},
};
constexpr int FORM_COUNT = sizeof FORMS / sizeof FORMS[0];

// Smoothing weights. beta and gamma are searched as shares of their bounds (beta <= alpha,
// gamma <= 1 - alpha), so the search region is a box.
struct ets_params {
  double alpha, beta, gamma, phi;
};

struct ets_state {
  double l, b;
  double s[TS_MAX_SEASON]; // s[j]: season of phase j (t mod m)
};

constexpr double PAR_LO = 1e-4, PAR_HI = 0.9999, PHI_LO = 0.8, PHI_HI = 0.98;
constexpr int INIT_SEARCH = 1;

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

// Runs the recursion from st over y[0..n-1], leaving the final states in st. Returns the
// likelihood term n log(sum e^2) (additive errors) or n log(sum (e/mu)^2) + 2 sum log|mu|
// (multiplicative), or INFINITY when a state leaves the region where the form is defined.
// *out_sse gets the sum of squared (relative, for multiplicative errors) one-step errors.
// One instance per error and season type, so that the hot loop carries no form tests.
template <bool MULT_ERROR, int SEASON>
double ets_run_form(const double *y, int n, int m, double phi, const ets_params &p, ets_state *st, double *out_sse) {
  double l = st->l, b = st->b;
  double sse = 0, log_sum = 0, product = 1;
  int in_product = 0, j = 0; // j: the phase t mod m
  for (int t = 0; t < n; t++) {
    const double T = l + phi * b;
    const double sv = SEASON == SEASON_N ? 0.0 : st->s[j];
    double mu = SEASON == SEASON_A ? T + sv : SEASON == SEASON_M ? T * sv : T;
    const double e = y[t] - mu;
    if (MULT_ERROR) {
      if (!(mu > 0)) return INFINITY;
      const double eps = e / mu;
      sse += eps * eps;
      // log of a product of 16 at a time: one logarithm per block instead of per point.
      product = product * mu;
      if (++in_product == 16) {
        log_sum += log(product);
        product = 1;
        in_product = 0;
      }
    } else {
      sse += e * e;
    }
    if (SEASON == SEASON_M) {
      if (!(sv > 0) || !(T > 0)) return INFINITY;
      l = T + p.alpha * e / sv;
      b = phi * b + p.beta * e / sv;
      st->s[j] = sv + p.gamma * e / T;
    } else {
      l = T + p.alpha * e;
      b = phi * b + p.beta * e;
      if (SEASON == SEASON_A) st->s[j] = sv + p.gamma * e;
    }
    if (SEASON != SEASON_N && ++j == m) j = 0;
  }
  if (in_product) log_sum += log(product);
  st->l = l;
  st->b = b;
  *out_sse = sse;
  if (!isfinite(sse) || !isfinite(log_sum)) return INFINITY;
  // A perfect fit: the smallest positive sum keeps the comparison finite.
  const double lik = (double)n * log(sse > 1e-300 ? sse : 1e-300);
  return MULT_ERROR ? lik + 2.0 * log_sum : lik;
}

double ets_run(const double *y, int n, int m, ets_form f, const ets_params &p, ets_state *st, double *out_sse) {
  const double phi = f.trend == TREND_D ? p.phi : 1.0;
  if (f.trend == TREND_N) st->b = 0.0;
  if (f.mult_error) {
    if (f.season == SEASON_M) return ets_run_form<true, SEASON_M>(y, n, m, phi, p, st, out_sse);
    if (f.season == SEASON_A) return ets_run_form<true, SEASON_A>(y, n, m, phi, p, st, out_sse);
    return ets_run_form<true, SEASON_N>(y, n, m, phi, p, st, out_sse);
  }
  if (f.season == SEASON_M) return ets_run_form<false, SEASON_M>(y, n, m, phi, p, st, out_sse);
  if (f.season == SEASON_A) return ets_run_form<false, SEASON_A>(y, n, m, phi, p, st, out_sse);
  return ets_run_form<false, SEASON_N>(y, n, m, phi, p, st, out_sse);
}

// Initial states by the heuristic: seasonal indices from the classical decomposition of the
// first three seasons (two when the series is shorter), then a line (or, without trend, the
// mean) through the first max(10, 2m) deseasonalised values. False when the form cannot start.
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

struct ets_fit {
  ets_form form;
  ets_params par;
  ets_state start; // initial states
  ets_state end;   // states after the last value
  double sigma2;   // variance of the (relative) one-step errors
  double aicc;
  int params; // weights and initial states
};

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

// Up to four evaluations of the recursion at once, one per lane, each lane's arithmetic that
// of ets_run (so the same bits): the weights, the initial states, and the season states the
// run updates.
typedef double v4d __attribute__((vector_size(32)));
typedef long long v4l __attribute__((vector_size(32)));
constexpr int LANES = 4;
struct ets_lanes {
  v4d alpha, beta, gamma, phi, l, b;
  v4d s[TS_MAX_SEASON];
};

template <bool MULT_ERROR, int SEASON>
inline __attribute__((always_inline)) void ets_run_lanes(const double *y, int n, int m, ets_lanes *in, double *lik) {
  const v4d zero = {0, 0, 0, 0}, one = {1, 1, 1, 1};
  v4d l = in->l, b = in->b, sse = zero, product = one;
  v4l dead = {0, 0, 0, 0};
  double log_sum[LANES] = {0, 0, 0, 0};
  int in_product = 0, j = 0;
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
          log_sum[i] += log(product[i]);
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
  for (int i = 0; i < LANES; i++) {
    if (in_product) log_sum[i] += log(product[i]);
    const double q = sse[i];
    if (dead[i] || !isfinite(q) || !isfinite(log_sum[i])) {
      lik[i] = INFINITY;
      continue;
    }
    const double v = (double)n * log(q > 1e-300 ? q : 1e-300);
    lik[i] = MULT_ERROR ? v + 2.0 * log_sum[i] : v;
  }
}

VORNEL_KERNEL void run_lanes(ets_form f, const double *y, int n, int m, ets_lanes *in, double *lik) {
  if (f.mult_error) {
    if (f.season == SEASON_M) return ets_run_lanes<true, SEASON_M>(y, n, m, in, lik);
    if (f.season == SEASON_A) return ets_run_lanes<true, SEASON_A>(y, n, m, in, lik);
    return ets_run_lanes<true, SEASON_N>(y, n, m, in, lik);
  }
  if (f.season == SEASON_A) return ets_run_lanes<false, SEASON_A>(y, n, m, in, lik);
  return ets_run_lanes<false, SEASON_N>(y, n, m, in, lik);
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
// searches take their steps side by side, one vectorised pass valuing a point of each. The
// fits are those of fit_form, form by form; ok[i] as its result.
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
    double lik[LANES];
    run_lanes(FORMS[first], y, n, m, &in, lik);
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

} // namespace

namespace {

// Every admissible form's fit on x = y / max|y| (so every sum stays finite for huge values;
// the forms are scale-free); ok[i] tells whether FORMS[i] fitted. False when none fits, x is
// null or the cancel hook asked to stop.
struct ets_fits {
  ets_fit fit[FORM_COUNT];
  bool ok[FORM_COUNT];
  double scale;
};

bool ets_fit_all(const double *y, int n, int m, double *x, ets_fits *out, Cancel *cancel = nullptr) {
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

// The fitted form with the smallest AICc (the first on ties), among those of trend type
// `trend` when it is not negative; -1 when there is none.
int ets_best(const ets_fits &fs, int trend) {
  int best = -1;
  for (int i = 0; i < FORM_COUNT; i++)
    if (fs.ok[i] && (trend < 0 || FORMS[i].trend == trend) && (best < 0 || fs.fit[i].aicc < fs.fit[best].aicc))
      best = i;
  return best;
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

// Forecasts of ets variant v (TS_ETS_DAMPED, TS_ETS_BEST, TS_ETS_AKAIKE) from the fits fs,
// each run from its initial states over the first n values of x; false when the variant has
// no fit. tmp holds 2 s doubles. The Akaike-weighted combination of every fitted form follows
// Kolassa ("Combining exponential smoothing forecasts using Akaike weights", International
// Journal of Forecasting 27, 2011); its variances are averaged with the same weights.
bool variant_forecast(const ets_fits &fs, int v, const double *x, int n, int m, int s, double *out, double *dev,
                      double *tmp) {
  const int best = ets_best(fs, -1);
  const int only = v == TS_ETS_DAMPED ? ets_best(fs, TREND_D) : v == TS_ETS_BEST ? best : -1;
  if (best < 0 || (v != TS_ETS_AKAIKE && only < 0)) return false;
  double total = 0;
  for (int j = 0; j < s; j++) {
    out[j] = 0;
    if (dev) dev[j] = 0;
  }
  for (int i = 0; i < FORM_COUNT; i++) {
    if (!fs.ok[i] || (only >= 0 && i != only)) continue;
    const double w = only >= 0 ? 1.0 : exp(-0.5 * (fs.fit[i].aicc - fs.fit[best].aicc));
    ets_fit fit = fs.fit[i];
    fit.end = fit.start;
    double sse;
    if (!isfinite(ets_run(x, n, m, fit.form, fit.par, &fit.end, &sse))) continue;
    ets_forecast_scaled(fit, n, m, s, fs.scale, tmp, tmp + s);
    total += w;
    for (int j = 0; j < s; j++) {
      out[j] += w * tmp[j];
      if (dev) dev[j] += w * tmp[s + j] * tmp[s + j];
    }
  }
  if (!(total > 0)) return false;
  for (int j = 0; j < s; j++) {
    out[j] = out[j] / total;
    if (dev) dev[j] = sqrt(dev[j] / total);
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
  for (int r = 0; r < TS_ETS_VARIANTS; r++) {
    for (int i = 0; i < k; i++) {
      double *f = fold_out + ((int64_t)r * k + i) * steps;
      if (!fitted || !variant_forecast(fs, r, x, cuts[i], fm, steps, f, nullptr, tmp))
        naive_fallback(y, cuts[i], steps, f, nullptr);
    }
  }
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
