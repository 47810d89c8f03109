// The three statistical models behind one routine contract: seasonal naive with drift, the
// classic theta method, and TSB for intermittent demand. Each has a plain routine and a
// variant that takes a known season length and reusable scratch buffers, so rolling-origin
// loops can share one period detection per fold and allocate once per series. Both give the
// same bits. Allocation failures degrade (no season, simpler deviations), never fail.
#include "ts/extended.h"
#include <math.h>

namespace {

// Per-step deviations from replayed sums: sqrt(sum/count) with at least two errors, else the
// fallback, widened by sqrt(k) when asked.
void finish_deviations(const double *sums, const double *counts, int s, double sigma1, bool widen, double *dev) {
  for (int k = 1; k <= s; k++) {
    if (sums && counts[k - 1] >= 2)
      dev[k - 1] = sqrt(sums[k - 1] / counts[k - 1]);
    else
      dev[k - 1] = widen ? sqrt((double)k) * sigma1 : sigma1;
  }
}

// sqrt of the mean squared one-step difference; 0 for fewer than two values.
double one_step_sigma(const double *y, int n) {
  if (n < 2) return 0.0;
  double sum = 0;
  for (int t = 1; t < n; t++) {
    double d = y[t] - y[t - 1];
    sum += d * d;
  }
  return sqrt(sum / (double)(n - 1));
}

int resolve_period(const double *y, int n, int period, ts_scratch *sc) {
  if (n < 6) return 0;
  return period >= 0 ? period : detect_period_ex(y, n, sc);
}

// The 19 smoothing weights of the theta grid, each the previous plus 0.05; a 20th lane pads
// the vectors and is never chosen.
constexpr int GRID = 19;
constexpr int GRID_LANES = 20;
struct alpha_grid {
  double a[GRID_LANES];
  constexpr alpha_grid() : a() {
    double v = 0.05;
    for (int i = 0; i < GRID; i++) {
      a[i] = v;
      v = v + 0.05;
    }
    a[GRID] = 0.5;
  }
};
constexpr alpha_grid ALPHAS;

typedef double v4d __attribute__((vector_size(32)));

// Simple exponential smoothing of z for every grid weight at once; each lane runs the scalar
// recursion, so its sum of squares and level are those of a separate pass.
VORNEL_KERNEL void theta_grid(const double *z, int n, double *out_sse, double *out_level) {
  v4d level[5], sse[5], alpha[5];
  for (int v = 0; v < 5; v++) {
    for (int i = 0; i < 4; i++) {
      level[v][i] = z[0];
      sse[v][i] = 0.0;
      alpha[v][i] = ALPHAS.a[v * 4 + i];
    }
  }
  for (int t = 1; t < n; t++) {
    v4d zt = {z[t], z[t], z[t], z[t]};
    for (int v = 0; v < 5; v++) {
      v4d e = zt - level[v];
      sse[v] += e * e;
      level[v] = level[v] + alpha[v] * e;
    }
  }
  for (int v = 0; v < 5; v++) {
    for (int i = 0; i < 4; i++) {
      out_sse[v * 4 + i] = sse[v][i];
      out_level[v * 4 + i] = level[v][i];
    }
  }
}

} // namespace

bool ts_empty_input(int n, int s, double *out, double *dev) {
  if (n >= 1) return false;
  for (int i = 0; i < s; i++) {
    out[i] = 0.0;
    if (dev) dev[i] = NAN;
  }
  return true;
}

void model_seasonal_naive_ex(const double *y, int n, int s, double *out, double *dev, int period, ts_scratch *sc) {
  if (ts_empty_input(n, s, out, dev)) return;
  const int p = resolve_period(y, n, period, sc);
  const double d = n >= 2 ? (y[n - 1] - y[0]) / (double)(n - 1) : 0.0;
  if (p > 0 && p <= n) {
    for (int i = 0; i < s; i++) {
      int src = (i % p) + (n - p);
      out[i] = y[src] + (double)(n + i - src) * d;
    }
  } else {
    for (int i = 0; i < s; i++)
      out[i] = y[n - 1] + (double)(i + 1) * d;
  }
  if (!dev) return;
  const double sigma1 = one_step_sigma(y, n);
  double *sums = ts_scratch_get(sc, TS_SLOT_STEPS, 2 * (int64_t)s);
  if (!sums) return finish_deviations(nullptr, nullptr, s, sigma1, true, dev);
  double *counts = sums + s;
  for (int i = 0; i < 2 * s; i++)
    sums[i] = 0.0;
  int m = p > 1 ? p : 1;
  if (m < n && p <= 1) {
    // One known value: no drift, so step k's error is y[k] - y[0].
    int last = s < n - 1 ? s : n - 1;
    for (int k = 1; k <= last; k++) {
      double e = y[k] - y[0];
      sums[k - 1] += e * e;
      counts[k - 1] += 1;
    }
    m = 2;
  }
  for (; m < n; m++) {
    const double dm = (y[m - 1] - y[0]) / (double)(m - 1);
    const int steps = s < n - m ? s : n - m;
    const bool seasonal = p > 0 && p <= m;
    for (int i = 0; i < steps; i++) {
      double f;
      if (seasonal) {
        int src = (i % p) + (m - p);
        f = y[src] + (double)(m + i - src) * dm;
      } else {
        f = y[m - 1] + (double)(i + 1) * dm;
      }
      double e = y[m + i] - f;
      sums[i] += e * e;
      counts[i] += 1;
    }
  }
  finish_deviations(sums, counts, s, sigma1, true, dev);
}

void model_theta_ex(const double *y, int n, int s, double *out, double *dev, int period, ts_scratch *sc) {
  if (ts_empty_input(n, s, out, dev)) return;
  const int p = resolve_period(y, n, period, sc);
  double *x = ts_scratch_get(sc, TS_SLOT_WORK, n);
  if (!x) return model_seasonal_naive_ex(y, n, s, out, dev, p, sc);
  memcpy(x, y, (size_t)n * sizeof(double));
  double *profile = nullptr;
  if (p >= 2 && n >= 2 * p) profile = ts_scratch_get(sc, TS_SLOT_PROFILE, 2 * (int64_t)p);
  if (profile) {
    double a, b;
    ts_line_fit(y, n, &a, &b);
    double *count = profile + p;
    for (int j = 0; j < 2 * p; j++)
      profile[j] = 0.0;
    for (int t = 0; t < n; t++) {
      profile[t % p] += y[t] - (a + b * (double)t);
      count[t % p] += 1;
    }
    for (int j = 0; j < p; j++)
      profile[j] = profile[j] / count[j];
    for (int t = 0; t < n; t++)
      x[t] = x[t] - profile[t % p];
  }
  double A, B;
  ts_line_fit(x, n, &A, &B);
  for (int t = 0; t < n; t++)
    x[t] = 2.0 * x[t] - (A + B * (double)t); // x now holds the theta line z
  double sse[GRID_LANES], level[GRID_LANES];
  theta_grid(x, n, sse, level);
  int best = 0;
  for (int i = 1; i < GRID; i++)
    if (sse[i] < sse[best]) best = i;
  const double alpha = ALPHAS.a[best], L = level[best];
  for (int k = 1; k <= s; k++) {
    double f = 0.5 * (A + B * (double)(n - 1 + k)) + 0.5 * L;
    if (profile) f = f + profile[(n - 1 + k) % p];
    out[k - 1] = f;
  }
  if (!dev) return;
  const double sigma1 = n >= 2 ? 0.5 * sqrt(sse[best] / (double)(n - 1)) : 0.0;
  double *levels = ts_scratch_get(sc, TS_SLOT_LEVELS, n);
  double *sums = levels ? ts_scratch_get(sc, TS_SLOT_STEPS, 2 * (int64_t)s) : nullptr;
  if (!sums) return finish_deviations(nullptr, nullptr, s, sigma1, true, dev);
  double *counts = sums + s;
  for (int i = 0; i < 2 * s; i++)
    sums[i] = 0.0;
  levels[0] = x[0];
  for (int t = 1; t < n; t++)
    levels[t] = levels[t - 1] + alpha * (x[t] - levels[t - 1]);
  for (int t = 0; t + 1 < n; t++) {
    const int steps = s < n - 1 - t ? s : n - 1 - t;
    for (int j = 1; j <= steps; j++) {
      double f = 0.5 * levels[t] + 0.5 * (A + B * (double)(t + j));
      if (profile) f = f + profile[(t + j) % p];
      double e = y[t + j] - f;
      sums[j - 1] += e * e;
      counts[j - 1] += 1;
    }
  }
  finish_deviations(sums, counts, s, sigma1, true, dev);
}

void model_tsb_ex(const double *y, int n, int s, double *out, double *dev, int, ts_scratch *sc) {
  if (ts_empty_input(n, s, out, dev)) return;
  constexpr double ALPHA_SIZE = 0.1, ALPHA_PROB = 0.1;
  double size_sum = 0;
  int positives = 0;
  for (int t = 0; t < n; t++) {
    if (y[t] > 0) {
      size_sum += y[t];
      positives++;
    }
  }
  double z = positives ? size_sum / (double)positives : 0.0;
  double q = (double)positives / (double)n;
  double *fitted = dev ? ts_scratch_get(sc, TS_SLOT_LEVELS, n) : nullptr;
  for (int t = 0; t < n; t++) {
    if (y[t] > 0) {
      z = z + ALPHA_SIZE * (y[t] - z);
      q = q + ALPHA_PROB * (1 - q);
    } else {
      q = q + ALPHA_PROB * (0 - q);
    }
    if (fitted) fitted[t] = z * q;
  }
  const double f = z * q;
  for (int i = 0; i < s; i++)
    out[i] = f;
  if (!dev) return;
  double *sums = fitted ? ts_scratch_get(sc, TS_SLOT_STEPS, 2 * (int64_t)s) : nullptr;
  if (!sums) {
    double sum = 0, sum2 = 0;
    for (int t = 0; t < n; t++) {
      sum += y[t];
      sum2 += y[t] * y[t];
    }
    double mean = sum / (double)n;
    double v = sum2 / (double)n - mean * mean;
    double sd = v > 0 ? sqrt(v) : 0.0;
    for (int i = 0; i < s; i++)
      dev[i] = sd;
    return;
  }
  double *counts = sums + s;
  for (int i = 0; i < 2 * s; i++)
    sums[i] = 0.0;
  double total = 0;
  for (int t = 1; t < n; t++) {
    const double origin = fitted[t - 1];
    double e1 = y[t] - origin;
    total += e1 * e1;
    const int steps = s < n - t ? s : n - t;
    for (int j = 1; j <= steps; j++) {
      double e = y[t - 1 + j] - origin;
      sums[j - 1] += e * e;
      counts[j - 1] += 1;
    }
  }
  const double sigma1 = n >= 2 ? sqrt(total / (double)(n - 1)) : 0.0;
  finish_deviations(sums, counts, s, sigma1, false, dev);
}

void model_seasonal_naive(const double *y, int n, int s, double *out, double *dev) {
  ts_scratch sc = {};
  model_seasonal_naive_ex(y, n, s, out, dev, -1, &sc);
  ts_scratch_free(&sc);
}

void model_theta(const double *y, int n, int s, double *out, double *dev) {
  ts_scratch sc = {};
  model_theta_ex(y, n, s, out, dev, -1, &sc);
  ts_scratch_free(&sc);
}

void model_tsb(const double *y, int n, int s, double *out, double *dev) {
  ts_scratch sc = {};
  model_tsb_ex(y, n, s, out, dev, -1, &sc);
  ts_scratch_free(&sc);
}

const ts_model TS_MODELS[TS_MODEL_COUNT] = {
    {"stub-seasonal-naive", model_seasonal_naive, model_seasonal_naive_ex, 1},
    {"theta-classic", model_theta, model_theta_ex, 1},
    {"tsb", model_tsb, model_tsb_ex, 0},
};

const ts_model *ts_model_in(const ts_model *table, int count, const char *name) {
  if (!name) return nullptr;
  for (int i = 0; i < count; i++)
    if (strcmp(table[i].name, name) == 0) return &table[i];
  return nullptr;
}

const ts_model *ts_model_find(const char *name) { return ts_model_in(TS_MODELS, TS_MODEL_COUNT, name); }

ts_named_model ts_model_named(const char *name) {
  if (strcmp(name, "auto") == 0) return {TS_NAME_AUTO, nullptr};
  if (strcmp(name, "auto-extended") == 0) return {TS_NAME_AUTO_EXTENDED, nullptr};
  // default-ts is theta-classic under another name.
  const ts_model *m = strcmp(name, "default-ts") == 0 ? &TS_MODELS[TS_MODEL_THETA] : ts_model_find(name);
  if (!m) m = ts_extended_find(name);
  return {m ? TS_NAME_MODEL : TS_NAME_OTHER, m};
}
