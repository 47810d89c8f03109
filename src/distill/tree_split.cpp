// The CART split search (Breiman et al.): exhaustive threshold search per feature with Gini
// impurity or squared error, scored in binary64. A later candidate replaces the best only when
// strictly greater, so ties keep the lowest feature and position.
#include "distill/tree_work.h"
#include <math.h>
#include <string.h>

namespace {

inline void consider(bld_split &best, double score, int32_t f, float lo, float hi) {
  if (!best.found || score > best.score) {
    best.found = true;
    best.score = score;
    best.feature = f;
    best.threshold = (float)(((double)lo + (double)hi) * 0.5);
  }
}

// The sweeps below keep the exact scores of the split rule but avoid its divisions where they
// cannot matter: a cheap estimate from reciprocals (recip[k] = 1/k) bounds each candidate's
// exact score within a margin far wider than the rounding of either formula, and only a
// candidate whose bound reaches the best score so far is scored exactly. The chosen split
// and its score are therefore those of the plain exhaustive sweep.
constexpr double GINI_MARGIN = 1e-9;     // scores lie in [-1, 0]; rounding is ~1e-15
constexpr double SSE_MARGIN_REL = 1e-12; // relative to the magnitudes of the terms

// Gini sweep over one feature's segment. sl and sr track the sums of squared class counts.
void sweep_gini(const bld_entry *e, int32_t n, const int32_t *labels, int32_t K, const int64_t *total, int64_t *left,
                int64_t *right, const double *recip, int32_t f, bld_split &best) {
  int64_t sl = 0, sr = 0;
  for (int32_t c = 0; c < K; c++) {
    left[c] = 0;
    right[c] = total[c];
    sr += total[c] * total[c];
  }
  const double inv_n = recip[n];
  for (int32_t i = 1; i < n; i++) {
    int32_t c = labels[e[i - 1].row];
    sl += 2 * left[c] + 1;
    sr -= 2 * right[c] - 1;
    left[c]++;
    right[c]--;
    if (e[i - 1].value == e[i].value) continue;
    if (best.found) {
      double estimate = -((double)n - (double)sl * recip[i] - (double)sr * recip[n - i]) * inv_n;
      if (!(estimate + GINI_MARGIN >= best.score)) continue;
    }
    double pl_sum = 0.0, pr_sum = 0.0;
    for (int32_t k = 0; k < K; k++) {
      double pl = (double)left[k] / i;
      double pr = (double)right[k] / (n - i);
      pl_sum += pl * pl;
      pr_sum += pr * pr;
    }
    double gl = 1.0 - pl_sum, gr = 1.0 - pr_sum;
    double score = -((double)i * gl + (double)(n - i) * gr) / n;
    consider(best, score, f, e[i - 1].value, e[i].value);
  }
}

// Squared-error sweep over G features' segments at once (their running sums are independent
// chains, so interleaving them hides the latency of each); S and Q are the node's sum and sum
// of squares. Each feature keeps its own best, first found and replaced only when strictly
// greater; the caller merges them in feature order.
template <int G>
void sweep_sse(const bld_entry *const *seg, int32_t n, const float *targets, double S, double Q, const double *recip,
               const int32_t *features, bld_split *best) {
  double s[G], q[G];
  for (int g = 0; g < G; g++)
    s[g] = q[g] = 0.0;
  // Every term (q, s^2/i, Q - q, rs^2/(n-i)) is at most about Q (s^2 <= i q), so one margin
  // per node covers the rounding of both formulas; a NaN estimate is always scored exactly.
  const double margin = SSE_MARGIN_REL * 8.0 * fabs(Q);
  for (int32_t i = 1; i < n; i++) {
    const double ri = recip[i], rni = recip[n - i];
    for (int g = 0; g < G; g++) {
      const bld_entry *e = seg[g];
      double t = (double)targets[e[i - 1].row];
      s[g] += t;
      q[g] += t * t;
      double rs = S - s[g];
      double estimate = s[g] * s[g] * ri + rs * rs * rni - Q;
      bool open = !best[g].found || estimate + margin >= best[g].score || !(estimate == estimate);
      if (e[i - 1].value != e[i].value && open) {
        double score = -((q[g] - s[g] * s[g] / i) + ((Q - q[g]) - rs * rs / (n - i)));
        consider(best[g], score, features[g], e[i - 1].value, e[i].value);
      }
    }
  }
}

// Merges a feature's best into the node's: strictly greater wins, so the lower feature keeps ties.
inline void merge_best(bld_split &into, const bld_split &cand) {
  if (cand.found && (!into.found || cand.score > into.score)) into = cand;
}

// A search that reads a large segment is polled once per feature (group).
bool poll_stop(tree_builder *s, int64_t work) {
  if (!cancel_stop(s->cancel, work)) return false;
  s->stopped = 1;
  return true;
}

// Squared error: features with more than one value, swept four at a time in feature order.
bool best_sse_split(tree_builder *s, const int32_t *indexes, int32_t n, const bld_entry *src, int64_t off,
                    bld_split *best) {
  const bld_work *w = s->work;
  const int32_t m = s->feature_count;
  double S = 0.0, Q = 0.0;
  for (int32_t i = 0; i < n; i++) {
    double t = (double)s->targets[indexes[i]];
    S += t;
    Q += t * t;
  }
  const bld_entry *seg[4];
  int32_t feats[4];
  int g = 0;
  for (int32_t f = 0; f <= m; f++) {
    if (f < m) {
      const bld_entry *e = src + (int64_t)f * w->n_root + off;
      if (e[0].value == e[n - 1].value) continue;
      seg[g] = e;
      feats[g++] = f;
      if (g < 4) continue;
    }
    bld_split part[4];
    if (g == 4)
      sweep_sse<4>(seg, n, s->targets, S, Q, w->recip, feats, part);
    else if (g == 3)
      sweep_sse<3>(seg, n, s->targets, S, Q, w->recip, feats, part);
    else if (g == 2)
      sweep_sse<2>(seg, n, s->targets, S, Q, w->recip, feats, part);
    else if (g == 1)
      sweep_sse<1>(seg, n, s->targets, S, Q, w->recip, feats, part);
    for (int k = 0; k < g; k++)
      merge_best(*best, part[k]);
    if (poll_stop(s, (int64_t)n * g)) return false;
    g = 0;
  }
  return true;
}

// Gini impurity, feature by feature.
bool best_gini_split(tree_builder *s, const int32_t *indexes, int32_t n, const bld_entry *src, int64_t off,
                     bld_split *best) {
  const bld_work *w = s->work;
  const int32_t m = s->feature_count, K = s->class_count;
  int64_t *total = w->counts, *left = w->counts + K, *right = w->counts + 2 * K;
  for (int32_t c = 0; c < K; c++)
    total[c] = 0;
  for (int32_t i = 0; i < n; i++)
    total[s->labels[indexes[i]]]++;
  for (int32_t f = 0; f < m; f++) {
    const bld_entry *e = src + (int64_t)f * w->n_root + off;
    if (e[0].value == e[n - 1].value) continue;
    sweep_gini(e, n, s->labels, K, total, left, right, w->recip, f, *best);
    if (poll_stop(s, (int64_t)n * K)) return false;
  }
  return true;
}

} // namespace

bool bld_best_split(tree_builder *s, const int32_t *indexes, int32_t n, const bld_entry *src, int64_t off,
                    bld_split *best) {
  return s->regression ? best_sse_split(s, indexes, n, src, off, best) : best_gini_split(s, indexes, n, src, off, best);
}
