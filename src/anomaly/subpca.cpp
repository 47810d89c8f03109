// Subsequence PCA: every window of L consecutive values is standardised per lag, the windows'
// covariance is diagonalised by the cyclic Jacobi method, and a window's score is its squared
// distance from the subspace of the leading components. Each point takes the score of the
// window centred on it, and its anomaly probability is its percentile rank.
//
// Every sum keeps the order the formulas state (ascending window, ascending lag); the loops are
// vectorised across independent entries only, so the AVX2 and the plain builds give the same bits.
#include "anomaly/subpca.h"
#include "anomaly/vec.h"
#include "core/api.h"
#include "core/mem.h"
#include <algorithm>
#include <math.h>

namespace {

constexpr int DEFAULT_WINDOW = 125;
constexpr int MIN_PERIOD_WINDOW = 6;
constexpr int MAX_PERIOD_WINDOW = 303;
constexpr double LAG_VARIANCE_FLOOR = 1e-12;
constexpr int CHUNK = 16; // windows standardised together

// row[k] += z[w][j] * z[w][k] for k = j..n-1 and the windows w of the chunk in ascending
// order; four windows per pass over the row, each entry still summed window by window.
VORNEL_KERNEL void accumulate_row(double *__restrict row, const double *__restrict z, int windows, int n, int j) {
  int w = 0;
  for (; w + 4 <= windows; w += 4) {
    const double *z0 = z + (int64_t)w * n, *z1 = z0 + n, *z2 = z1 + n, *z3 = z2 + n;
    const double a0 = z0[j], a1 = z1[j], a2 = z2[j], a3 = z3[j];
    const v4d b0 = V4_SPLAT(a0), b1 = V4_SPLAT(a1), b2 = V4_SPLAT(a2), b3 = V4_SPLAT(a3);
    int k = j;
    for (; k + 4 <= n; k += 4) {
      v4d r = V4_LOAD(row + k);
      r = (((r + b0 * V4_LOAD(z0 + k)) + b1 * V4_LOAD(z1 + k)) + b2 * V4_LOAD(z2 + k)) + b3 * V4_LOAD(z3 + k);
      V4_STORE(row + k, r);
    }
    for (; k < n; k++)
      row[k] = (((row[k] + a0 * z0[k]) + a1 * z1[k]) + a2 * z2[k]) + a3 * z3[k];
  }
  for (; w < windows; w++) {
    const double *z0 = z + (int64_t)w * n;
    const double a0 = z0[j];
    const v4d b0 = V4_SPLAT(a0);
    int k = j;
    for (; k + 4 <= n; k += 4)
      V4_STORE(row + k, V4_LOAD(row + k) + b0 * V4_LOAD(z0 + k));
    for (; k < n; k++)
      row[k] = row[k] + a0 * z0[k];
  }
}

// Sums over a chunk of standardised windows stored lag-major (zt[j * CHUNK + w]), one lane per
// window: the squared norms, and the squared projections on the leading components.
VORNEL_KERNEL void chunk_scores(const double *__restrict zt, const double *vt, const int32_t *order, int kept, int n,
                                double *__restrict out) {
  constexpr int VECS = CHUNK / 4;
  v4d norm[VECS] = {}, captured[VECS] = {};
  for (int j = 0; j < n; j++) {
    const double *zj = zt + (int64_t)j * CHUNK;
    for (int l = 0; l < VECS; l++) {
      v4d x = V4_LOAD(zj + 4 * l);
      norm[l] = norm[l] + x * x;
    }
  }
  for (int c = 0; c < kept; c++) {
    const double *u = vt + (int64_t)order[c] * n;
    v4d dot[VECS] = {};
    for (int j = 0; j < n; j++) {
      const double *zj = zt + (int64_t)j * CHUNK;
      const v4d uj = V4_SPLAT(u[j]);
      for (int l = 0; l < VECS; l++)
        dot[l] = dot[l] + uj * V4_LOAD(zj + 4 * l);
    }
    for (int l = 0; l < VECS; l++)
      captured[l] = captured[l] + dot[l] * dot[l];
  }
  for (int l = 0; l < VECS; l++)
    for (int lane = 0; lane < 4; lane++) {
      double d = norm[l][lane] - captured[l][lane];
      out[4 * l + lane] = d > 0 ? d : 0; // also maps NaN to 0
    }
}

// Per-lag sums of x and x*x over the windows, lane by lane across lags.
VORNEL_KERNEL void lag_moments(const double *v, int64_t windows, int n, double *__restrict sum, double *__restrict sq) {
  for (int64_t i = 0; i < windows; i++) {
    const double *x = v + i;
    int j = 0;
    for (; j + 4 <= n; j += 4) {
      v4d a = V4_LOAD(x + j);
      V4_STORE(sum + j, V4_LOAD(sum + j) + a);
      V4_STORE(sq + j, V4_LOAD(sq + j) + a * a);
    }
    for (; j < n; j++) {
      sum[j] += x[j];
      sq[j] += x[j] * x[j];
    }
  }
}

// out[j] = (x[j] - mean[j]) / spread[j]: one window standardised lag by lag.
VORNEL_KERNEL void standardise(const double *__restrict x, const double *mean, const double *spread, int n,
                               double *__restrict out) {
  int j = 0;
  for (; j + 4 <= n; j += 4)
    V4_STORE(out + j, (V4_LOAD(x + j) - V4_LOAD(mean + j)) / V4_LOAD(spread + j));
  for (; j < n; j++)
    out[j] = (x[j] - mean[j]) / spread[j];
}

// out[w] = (x[w] - mean) / spread for w < count: one lag of consecutive windows.
VORNEL_KERNEL void standardise_lag(const double *__restrict x, double mean, double spread, int count,
                                   double *__restrict out) {
  const v4d m = V4_SPLAT(mean), s = V4_SPLAT(spread);
  int w = 0;
  for (; w + 4 <= count; w += 4)
    V4_STORE(out + w, (V4_LOAD(x + w) - m) / s);
  for (; w < count; w++)
    out[w] = (x[w] - mean) / spread;
}

// subpca_rank_cmp as a less-than that the sort can inline.
struct RankLess {
  bool operator()(const SubpcaRank &a, const SubpcaRank &b) const {
    if (a.score < b.score) return true;
    if (a.score > b.score) return false;
    return a.index < b.index;
  }
};

// Covariance (into the zeroed L x L matrix a) of the K windows of v standardised by mean and
// spread: upper triangle summed window by window, a chunk at a time through z, then scaled and
// mirrored. False when cancel asked to stop.
bool covariance(const double *v, int64_t K, int L, const double *mean, const double *spread, double *a, double *z,
                Cancel *cancel) {
  for (int64_t i0 = 0; i0 < K; i0 += CHUNK) {
    int windows = (int)std::min<int64_t>(CHUNK, K - i0);
    if (cancel_stop(cancel, (int64_t)windows * L * (L / 2 + 1))) return false;
    for (int w = 0; w < windows; w++)
      standardise(v + i0 + w, mean, spread, L, z + (int64_t)w * L);
    for (int j = 0; j < L; j++)
      accumulate_row(a + (int64_t)j * L, z, windows, L, j);
  }
  const double scale = (double)(K - 1);
  for (int j = 0; j < L; j++) {
    for (int k = j; k < L; k++) {
      double c = a[(int64_t)j * L + k] / scale;
      a[(int64_t)j * L + k] = c;
      a[(int64_t)k * L + j] = c;
    }
  }
  return true;
}

} // namespace

int subpca_rank_cmp(const void *pa, const void *pb) {
  const SubpcaRank *a = (const SubpcaRank *)pa, *b = (const SubpcaRank *)pb;
  if (a->score < b->score) return -1;
  if (a->score > b->score) return 1;
  return (a->index > b->index) - (a->index < b->index);
}

int subpca_window_length(int n, int period) {
  int window = DEFAULT_WINDOW;
  if (period >= MIN_PERIOD_WINDOW && period <= MAX_PERIOD_WINDOW) window = period;
  return std::min(window, n / 2);
}

void subpca_component_order(const double *eigenvalues, int n, int32_t *order) {
  for (int i = 0; i < n; i++)
    order[i] = i;
  for (int i = 1; i < n; i++) {
    int32_t idx = order[i];
    int j = i;
    while (j > 0 && eigenvalues[order[j - 1]] < eigenvalues[idx]) {
      order[j] = order[j - 1];
      j--;
    }
    order[j] = idx;
  }
}

int subpca_probabilities(const double *v, int n, int window, double *out_prob, Cancel *cancel) {
  const int L = window;
  const int64_t K = (int64_t)n - L + 1;
  if (L < 2 || L >= K) return SUBPCA_TOO_SHORT;

  HostPtr<double> mean(host_calloc<double>(L));                   // per-lag mean
  HostPtr<double> spread(host_calloc<double>(L));                 // per-lag standard deviation, or 1
  HostPtr<double> cov(host_calloc<double>((int64_t)L * L));       // covariance, then Jacobi's work matrix
  HostPtr<double> vt(host_calloc<double>((int64_t)L * L));        // eigenvectors, one per row
  HostPtr<double> eig(host_calloc<double>(L));                    // eigenvalues
  HostPtr<int32_t> order(host_calloc<int32_t>(L));                // components by descending eigenvalue
  HostPtr<double> chunk(host_calloc<double>((int64_t)CHUNK * L)); // a chunk of standardised windows
  HostPtr<double> window_score(host_calloc<double>(K + CHUNK));   // padded to whole chunks
  HostPtr<SubpcaRank> rank(host_calloc<SubpcaRank>(n));
  if (!mean || !spread || !cov || !vt || !eig || !order || !chunk || !window_score || !rank) return SUBPCA_NOMEM;

  // Per-lag standardisation over the K windows.
  double *mu = mean.get(), *sd = spread.get();
  lag_moments(v, K, L, mu, sd);
  for (int j = 0; j < L; j++) {
    double m = mu[j] / (double)K;
    double var = sd[j] / (double)K - m * m;
    mu[j] = m;
    sd[j] = var > LAG_VARIANCE_FLOOR ? sqrt(var) : 1.0;
  }

  double *a = cov.get(), *z = chunk.get();
  if (!covariance(v, K, L, mu, sd, a, z, cancel)) return SUBPCA_STOPPED;

  const int sweeps = subpca_jacobi(a, vt.get(), L, cancel);
  if (sweeps == SUBPCA_JACOBI_STOPPED) return SUBPCA_STOPPED;
  if (sweeps < 0) return SUBPCA_NOMEM;
  for (int j = 0; j < L; j++)
    eig[j] = a[(int64_t)j * L + j];
  subpca_component_order(eig.get(), L, order.get());
  int kept = (int)(0.3 * L + 0.5);
  kept = std::max(1, std::min(kept, L));

  // Window scores, a chunk of windows at a time, lag-major so that each window is one lane.
  for (int64_t i0 = 0; i0 < K; i0 += CHUNK) {
    int windows = (int)std::min<int64_t>(CHUNK, K - i0);
    if (cancel_stop(cancel, (int64_t)CHUNK * L * (kept + 1))) return SUBPCA_STOPPED;
    for (int j = 0; j < L; j++) {
      double *zj = z + (int64_t)j * CHUNK;
      standardise_lag(v + i0 + j, mu[j], sd[j], windows, zj);
      for (int w = windows; w < CHUNK; w++)
        zj[w] = 0;
    }
    chunk_scores(z, vt.get(), order.get(), kept, L, window_score.get() + i0);
  }

  // Point scores from the window centred on each point, then percentile ranks.
  const int64_t half = L / 2;
  for (int t = 0; t < n; t++) {
    int64_t w = std::min(std::max<int64_t>(t - half, 0), K - 1);
    rank[t].score = window_score[w];
    rank[t].index = t;
  }
  std::sort(rank.get(), rank.get() + n, RankLess());
  for (int r = 0; r < n; r++)
    out_prob[rank[r].index] = n == 1 ? 0.0 : (double)r / (double)(n - 1);
  return SUBPCA_OK;
}
