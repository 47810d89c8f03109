// CART builder (Breiman et al.): exhaustive threshold search per feature with Gini impurity
// or squared error, recursion in pre-order. Scores are binary64; a later candidate replaces
// the best only when strictly greater, so ties keep the lowest feature and position.
#include "distill/tree_build.h"
#include "core/mem.h"
#include <algorithm>

// Working memory of one build, allocated once at the root call.
struct bld_work {
  bld_entry *order = nullptr;   // feature_count x n_root; node rows are one segment per feature
  bld_entry *scratch = nullptr; // n_root entries for stable partitions
  uint8_t *go_left = nullptr;   // per row index: 1 when the current split sends it left
  int64_t *counts = nullptr;    // 3 x K class counts: node total, left side, right side
  const int32_t *root = nullptr; // the root call's index array (segment offsets are relative to it)
  int32_t n_root = 0;
};

namespace {

// Sortable key of a binary32: the integer order of keys is the numeric order of the values.
inline uint32_t float_key(float v) {
  uint32_t u;
  memcpy(&u, &v, 4);
  return (u & 0x80000000u) ? ~u : (u | 0x80000000u);
}

// Fills one feature's order for the rows, sorted by value, ties by row.
void sort_feature(const float *x, int32_t m, int32_t f, const int32_t *rows, int32_t n, uint64_t *keys,
                  bld_entry *out) {
  for (int32_t i = 0; i < n; i++) keys[i] = ((uint64_t)float_key(x[(int64_t)rows[i] * m + f]) << 32) | (uint32_t)rows[i];
  std::sort(keys, keys + n);
  for (int32_t i = 0; i < n; i++) {
    int32_t row = (int32_t)(uint32_t)keys[i];
    out[i].row = row;
    out[i].value = x[(int64_t)row * m + f];
  }
}

void work_free(bld_work *w) {
  if (!w) return;
  sqlite3_free(w->order);
  sqlite3_free(w->scratch);
  sqlite3_free(w->go_left);
  sqlite3_free(w->counts);
  sqlite3_free(w);
}

// Allocates the working memory for a root call over n rows. Returns null on exhaustion.
bld_work *work_new(tree_builder *s, const int32_t *indexes, int32_t n) {
  bld_work *w = host_calloc<bld_work>(1);
  if (!w) return nullptr;
  w->root = indexes;
  w->n_root = n;
  const int32_t m = s->feature_count;
  int32_t max_row = 0;
  for (int32_t i = 0; i < n; i++) max_row = std::max(max_row, indexes[i]);
  bool ok = true;
  w->order = host_calloc<bld_entry>((int64_t)m * std::max(n, 1));
  w->scratch = host_calloc<bld_entry>(std::max(n, 1));
  w->go_left = host_calloc<uint8_t>((int64_t)max_row + 1);
  w->counts = host_calloc<int64_t>(3 * (int64_t)std::max(s->class_count, 1));
  if (!w->order || !w->scratch || !w->go_left || !w->counts) ok = false;
  if (ok && n > 0) {
    if (s->presort) {
      // Same rows as the presort: copy its orders.
      memcpy(w->order, s->presort->entries, sizeof(bld_entry) * (size_t)m * (size_t)n);
    } else {
      uint64_t *keys = host_calloc<uint64_t>(n);
      if (!keys) {
        ok = false;
      } else {
        for (int32_t f = 0; f < m; f++) sort_feature(s->x, m, f, indexes, n, keys, w->order + (int64_t)f * n);
        sqlite3_free(keys);
      }
    }
  }
  if (!ok) {
    work_free(w);
    return nullptr;
  }
  return w;
}

// Appends a zeroed node; returns its index or -1 when the array cannot grow.
int32_t append_node(tree_builder *s) {
  if (s->node_count == s->node_capacity) {
    int32_t cap = s->node_capacity ? s->node_capacity * 2 : 64;
    if (cap <= s->node_capacity) return -1;
    tree_node *p = (tree_node *)sqlite3_realloc64(s->nodes, (sqlite3_uint64)cap * sizeof(tree_node));
    if (!p) return -1;
    s->nodes = p;
    s->node_capacity = cap;
  }
  int32_t id = s->node_count++;
  memset(&s->nodes[id], 0, sizeof(tree_node));
  return id;
}

struct Split {
  bool found = false;
  double score = 0.0;
  int32_t feature = -1;
  float threshold = 0.0f;
};

inline void consider(Split &best, double score, int32_t f, float lo, float hi) {
  if (!best.found || score > best.score) {
    best.found = true;
    best.score = score;
    best.feature = f;
    best.threshold = (float)(((double)lo + (double)hi) * 0.5);
  }
}

// Gini sweep over one feature's segment.
void sweep_gini(const bld_entry *e, int32_t n, const int32_t *labels, int32_t K, const int64_t *total,
                int64_t *left, int64_t *right, int32_t f, Split &best) {
  for (int32_t c = 0; c < K; c++) {
    left[c] = 0;
    right[c] = total[c];
  }
  for (int32_t i = 1; i < n; i++) {
    int32_t c = labels[e[i - 1].row];
    left[c]++;
    right[c]--;
    if (e[i - 1].value == e[i].value) continue;
    double sl = 0.0, sr = 0.0;
    for (int32_t k = 0; k < K; k++) {
      double pl = (double)left[k] / i;
      double pr = (double)right[k] / (n - i);
      sl += pl * pl;
      sr += pr * pr;
    }
    double gl = 1.0 - sl, gr = 1.0 - sr;
    double score = -((double)i * gl + (double)(n - i) * gr) / n;
    consider(best, score, f, e[i - 1].value, e[i].value);
  }
}

// Squared-error sweep over one feature's segment; S and Q are the node's sum and sum of squares.
void sweep_sse(const bld_entry *e, int32_t n, const float *targets, double S, double Q, int32_t f, Split &best) {
  double s = 0.0, q = 0.0;
  for (int32_t i = 1; i < n; i++) {
    double t = (double)targets[e[i - 1].row];
    s += t;
    q += t * t;
    if (e[i - 1].value == e[i].value) continue;
    double rs = S - s;
    double score = -((q - s * s / i) + ((Q - q) - rs * rs / (n - i)));
    consider(best, score, f, e[i - 1].value, e[i].value);
  }
}

int32_t build_rec(tree_builder *s, int32_t *indexes, int32_t n, int32_t depth) {
  int32_t node = append_node(s);
  if (node < 0) return -1;
  bld_work *w = s->work;
  const int32_t m = s->feature_count;
  const int32_t K = s->class_count;
  const int32_t depth_limit = s->max_depth ? s->max_depth : 8;
  const int32_t split_min = s->min_split ? s->min_split : 5;
  bool pure = false;
  if (!s->regression) {
    pure = n <= 1;
    if (!pure) {
      pure = true;
      int32_t first = s->labels[indexes[0]];
      for (int32_t i = 1; i < n && pure; i++) pure = s->labels[indexes[i]] == first;
    }
  }
  if (depth < depth_limit && !pure && n >= split_min) {
    const int64_t off = indexes - w->root;
    Split best;
    if (s->regression) {
      double S = 0.0, Q = 0.0;
      for (int32_t i = 0; i < n; i++) {
        double t = (double)s->targets[indexes[i]];
        S += t;
        Q += t * t;
      }
      for (int32_t f = 0; f < m; f++) {
        const bld_entry *e = w->order + (int64_t)f * w->n_root + off;
        if (e[0].value == e[n - 1].value) continue;
        sweep_sse(e, n, s->targets, S, Q, f, best);
      }
    } else {
      int64_t *total = w->counts, *left = w->counts + K, *right = w->counts + 2 * K;
      for (int32_t c = 0; c < K; c++) total[c] = 0;
      for (int32_t i = 0; i < n; i++) total[s->labels[indexes[i]]]++;
      for (int32_t f = 0; f < m; f++) {
        const bld_entry *e = w->order + (int64_t)f * w->n_root + off;
        if (e[0].value == e[n - 1].value) continue;
        sweep_gini(e, n, s->labels, K, total, left, right, f, best);
      }
    }
    if (best.found) {
      // In-place partition of the index array: values below the threshold stay in front.
      const float thr = best.threshold;
      const int32_t bf = best.feature;
      int32_t i = 0, j = n - 1;
      while (i <= j) {
        if (s->x[(int64_t)indexes[i] * m + bf] < thr) {
          i++;
        } else {
          int32_t t = indexes[i];
          indexes[i] = indexes[j];
          indexes[j] = t;
          j--;
        }
      }
      if (i > 0 && i < n) {
        for (int32_t p = 0; p < n; p++) w->go_left[indexes[p]] = p < i ? 1 : 0;
        // Stable partition of every feature's segment, keeping each side sorted.
        for (int32_t f = 0; f < m; f++) {
          bld_entry *e = w->order + (int64_t)f * w->n_root + off;
          int32_t nl = 0, nr = 0;
          for (int32_t p = 0; p < n; p++) {
            if (w->go_left[e[p].row]) e[nl++] = e[p];
            else w->scratch[nr++] = e[p];
          }
          memcpy(e + nl, w->scratch, sizeof(bld_entry) * (size_t)nr);
        }
        int32_t l = build_rec(s, indexes, i, depth + 1);
        if (l < 0) return -1;
        int32_t r = build_rec(s, indexes + i, n - i, depth + 1);
        if (r < 0) return -1;
        tree_node *nd = &s->nodes[node];
        nd->feature = bf;
        nd->threshold = thr;
        nd->left = l;
        nd->right = r;
        nd->leaf_class = -1;
        return node;
      }
    }
  }
  bld_leaf(s, indexes, n, node);
  return node;
}

} // namespace

int bld_presort_init(bld_presort *p, const float *x, int32_t m, const int32_t *rows, int32_t n) {
  memset(p, 0, sizeof *p);
  if (n <= 0 || m <= 0) return SQLITE_MISUSE;
  p->entries = host_calloc<bld_entry>((int64_t)m * n);
  uint64_t *keys = host_calloc<uint64_t>(n);
  if (!p->entries || !keys) {
    sqlite3_free(keys);
    bld_presort_free(p);
    return SQLITE_NOMEM;
  }
  for (int32_t f = 0; f < m; f++) sort_feature(x, m, f, rows, n, keys, p->entries + (int64_t)f * n);
  sqlite3_free(keys);
  int32_t max_row = 0;
  for (int32_t i = 0; i < n; i++) max_row = std::max(max_row, rows[i]);
  p->feature_count = m;
  p->row_count = n;
  p->max_row = max_row;
  return SQLITE_OK;
}

void bld_presort_free(bld_presort *p) {
  if (!p) return;
  sqlite3_free(p->entries);
  memset(p, 0, sizeof *p);
}

int32_t bld_build(tree_builder *state, int32_t *indexes, int32_t n, int32_t depth) {
  if (state->work) return build_rec(state, indexes, n, depth);
  if (state->presort &&
      (state->presort->row_count != n || state->presort->feature_count != state->feature_count))
    return -1;
  state->work = work_new(state, indexes, n);
  if (!state->work) return -1;
  int32_t root = build_rec(state, indexes, n, depth);
  work_free(state->work);
  state->work = nullptr;
  return root;
}

void bld_leaf(tree_builder *s, const int32_t *indexes, int32_t n, int32_t node) {
  tree_node *nd = &s->nodes[node];
  nd->feature = -1;
  nd->left = -1;
  nd->right = -1;
  nd->threshold = 0.0f;
  if (s->regression) {
    double sum = 0.0;
    for (int32_t i = 0; i < n; i++) sum += (double)s->targets[indexes[i]];
    if (s->hessians) {
      double hs = 0.0;
      for (int32_t i = 0; i < n; i++) hs += (double)s->hessians[indexes[i]];
      nd->leaf_value = (float)(sum / (hs + (double)s->leaf_lambda));
    } else {
      nd->leaf_value = n > 0 ? (float)(sum / n) : 0.0f;
    }
    nd->leaf_class = -1;
    nd->leaf_confidence = 0.0f;
    return;
  }
  // Majority class, lowest index on ties. With the build's count buffer one pass counts every
  // class; without it each class is counted in its own pass, so a leaf never allocates.
  const int32_t K = s->class_count;
  int64_t best = -1;
  int32_t best_class = 0;
  if (s->work && s->work->counts) {
    int64_t *cnt = s->work->counts;
    for (int32_t c = 0; c < K; c++) cnt[c] = 0;
    for (int32_t i = 0; i < n; i++) cnt[s->labels[indexes[i]]]++;
    for (int32_t c = 0; c < K; c++)
      if (cnt[c] > best) {
        best = cnt[c];
        best_class = c;
      }
  } else {
    for (int32_t c = 0; c < K; c++) {
      int64_t cnt = 0;
      for (int32_t i = 0; i < n; i++) cnt += s->labels[indexes[i]] == c;
      if (cnt > best) {
        best = cnt;
        best_class = c;
      }
    }
  }
  nd->leaf_class = best_class;
  nd->leaf_value = 0.0f;
  nd->leaf_confidence = n > 0 ? (float)((double)(best < 0 ? 0 : best) / n) : 0.0f;
}
