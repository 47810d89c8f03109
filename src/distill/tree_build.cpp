// CART builder (Breiman et al.): recursion in pre-order over the rows' sorted orders, each
// node split where tree_split.cpp finds its best split, and the leaves' values.
#include "core/mem.h"
#include "distill/tree_work.h"
#include <algorithm>
#include <math.h>

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
  for (int32_t i = 0; i < n; i++)
    keys[i] = ((uint64_t)float_key(x[(int64_t)rows[i] * m + f]) << 32) | (uint32_t)rows[i];
  std::sort(keys, keys + n);
  for (int32_t i = 0; i < n; i++) {
    int32_t row = (int32_t)(uint32_t)keys[i];
    out[i].row = row;
    out[i].value = x[(int64_t)row * m + f];
  }
}

// Work units reported for sorting n values: about n log2 n comparisons.
inline int64_t sort_work(int32_t n) { return (int64_t)n * 20; }

void work_free(bld_work *w) {
  if (!w) return;
  host_free_all(w->order, w->scratch, w->go_left, w->counts, w->recip, w);
}

// Allocates the working memory for a root call over n rows. Returns null on exhaustion.
bld_work *work_new(tree_builder *s, const int32_t *indexes, int32_t n) {
  bld_work *w = host_calloc<bld_work>(1);
  if (!w) return nullptr;
  w->root = indexes;
  w->n_root = n;
  const int32_t m = s->feature_count;
  int32_t max_row = 0;
  for (int32_t i = 0; i < n; i++)
    max_row = std::max(max_row, indexes[i]);
  bool ok = true;
  w->order = host_calloc<bld_entry>((int64_t)m * std::max(n, 1));
  w->scratch = host_calloc<bld_entry>(std::max(n, 1));
  w->go_left = host_calloc<uint8_t>((int64_t)max_row + 1);
  w->counts = host_calloc<int64_t>(3 * (int64_t)std::max(s->class_count, 1));
  w->recip = host_calloc<double>((int64_t)n + 1);
  if (!w->order || !w->scratch || !w->go_left || !w->counts || !w->recip) ok = false;
  if (ok) {
    for (int32_t k = 1; k <= n; k++)
      w->recip[k] = 1.0 / k;
    w->root_src = w->order;
  }
  if (ok && n > 0) {
    if (s->presort) {
      // Same rows as the presort: the root reads its orders, the first split writes ours.
      w->root_src = s->presort->entries;
    } else {
      uint64_t *keys = host_calloc<uint64_t>(n);
      if (!keys) {
        ok = false;
      } else {
        for (int32_t f = 0; f < m && ok; f++) {
          sort_feature(s->x, m, f, indexes, n, keys, w->order + (int64_t)f * n);
          if (cancel_stop(s->cancel, sort_work(n))) {
            s->stopped = 1;
            ok = false;
          }
        }
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
  if (!host_grow(&s->nodes, &s->node_capacity, (int64_t)s->node_count + 1, 64)) return -1;
  int32_t id = s->node_count++;
  memset(&s->nodes[id], 0, sizeof(tree_node));
  return id;
}

// Moves one feature's segment into the order array with the rows going left first, each side
// keeping its sorted order. src may be the segment itself (then scratch holds the right side).
void stable_split(const bld_entry *src, bld_entry *dst, int32_t n, int32_t n_left, const uint8_t *go_left,
                  bld_entry *scratch) {
  int32_t nl = 0, nr = 0;
  if (src == dst) {
    for (int32_t p = 0; p < n; p++) {
      bld_entry v = src[p];
      int32_t g = go_left[v.row];
      bld_entry *to = g ? &dst[nl] : &scratch[nr];
      *to = v;
      nl += g;
      nr += 1 - g;
    }
    memcpy(dst + nl, scratch, sizeof(bld_entry) * (size_t)nr);
  } else {
    for (int32_t p = 0; p < n; p++) {
      bld_entry v = src[p];
      int32_t g = go_left[v.row];
      bld_entry *to = g ? &dst[nl] : &dst[n_left + nr];
      *to = v;
      nl += g;
      nr += 1 - g;
    }
  }
}

// Whether every row of a classification node has the same label (a node of at most one row is).
bool is_pure(const tree_builder *s, const int32_t *indexes, int32_t n) {
  if (s->regression) return false;
  if (n <= 1) return true;
  const int32_t first = s->labels[indexes[0]];
  for (int32_t i = 1; i < n; i++)
    if (s->labels[indexes[i]] != first) return false;
  return true;
}

// In-place partition of the index array: rows whose feature value is below the threshold stay
// in front. Returns how many went left.
int32_t partition_rows(const tree_builder *s, int32_t *indexes, int32_t n, const bld_split &split) {
  const int32_t m = s->feature_count;
  int32_t i = 0, j = n - 1;
  while (i <= j) {
    if (s->x[(int64_t)indexes[i] * m + split.feature] < split.threshold) {
      i++;
    } else {
      int32_t t = indexes[i];
      indexes[i] = indexes[j];
      indexes[j] = t;
      j--;
    }
  }
  return i;
}

// src is the orders array this node reads: the root's source, or the work order below it.
int32_t build_rec(tree_builder *s, int32_t *indexes, int32_t n, int32_t depth, const bld_entry *src) {
  int32_t node = append_node(s);
  if (node < 0) return -1;
  bld_work *w = s->work;
  const int32_t m = s->feature_count;
  const int32_t depth_limit = s->max_depth ? s->max_depth : 8;
  const int32_t split_min = s->min_split ? s->min_split : 5;
  bld_split best;
  const int64_t off = indexes - w->root;
  if (depth < depth_limit && n >= split_min && !is_pure(s, indexes, n)) {
    if (!bld_best_split(s, indexes, n, src, off, &best)) return -1;
  }
  const int32_t i = best.found ? partition_rows(s, indexes, n, best) : 0;
  if (i <= 0 || i >= n) {
    bld_leaf(s, indexes, n, node);
    return node;
  }
  // The children need sorted orders only if either of them may still split.
  if (depth + 1 < depth_limit && (i >= split_min || n - i >= split_min)) {
    for (int32_t p = 0; p < n; p++)
      w->go_left[indexes[p]] = p < i ? 1 : 0;
    for (int32_t f = 0; f < m; f++) {
      int64_t at = (int64_t)f * w->n_root + off;
      stable_split(src + at, w->order + at, n, i, w->go_left, w->scratch);
    }
  }
  int32_t l = build_rec(s, indexes, i, depth + 1, w->order);
  if (l < 0) return -1;
  int32_t r = build_rec(s, indexes + i, n - i, depth + 1, w->order);
  if (r < 0) return -1;
  tree_node *nd = &s->nodes[node];
  nd->feature = best.feature;
  nd->threshold = best.threshold;
  nd->left = l;
  nd->right = r;
  nd->leaf_class = -1;
  return node;
}

} // namespace

int bld_presort_init(bld_presort *p, const float *x, int32_t m, const int32_t *rows, int32_t n, Cancel *cancel) {
  memset(p, 0, sizeof *p);
  if (n <= 0 || m <= 0) return SQLITE_MISUSE;
  p->entries = host_calloc<bld_entry>((int64_t)m * n);
  uint64_t *keys = host_calloc<uint64_t>(n);
  if (!p->entries || !keys) {
    sqlite3_free(keys);
    bld_presort_free(p);
    return SQLITE_NOMEM;
  }
  for (int32_t f = 0; f < m; f++) {
    sort_feature(x, m, f, rows, n, keys, p->entries + (int64_t)f * n);
    if (cancel_stop(cancel, sort_work(n))) {
      sqlite3_free(keys);
      bld_presort_free(p);
      return SQLITE_INTERRUPT;
    }
  }
  sqlite3_free(keys);
  int32_t max_row = 0;
  for (int32_t i = 0; i < n; i++)
    max_row = std::max(max_row, rows[i]);
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
  if (state->work) return build_rec(state, indexes, n, depth, state->work->order);
  if (state->presort && (state->presort->row_count != n || state->presort->feature_count != state->feature_count))
    return -1;
  state->work = work_new(state, indexes, n);
  if (!state->work) return -1;
  int32_t root = build_rec(state, indexes, n, depth, state->work->root_src);
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
    for (int32_t i = 0; i < n; i++)
      sum += (double)s->targets[indexes[i]];
    if (s->hessians) {
      double hs = 0.0;
      for (int32_t i = 0; i < n; i++)
        hs += (double)s->hessians[indexes[i]];
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
    for (int32_t c = 0; c < K; c++)
      cnt[c] = 0;
    for (int32_t i = 0; i < n; i++)
      cnt[s->labels[indexes[i]]]++;
    for (int32_t c = 0; c < K; c++)
      if (cnt[c] > best) {
        best = cnt[c];
        best_class = c;
      }
  } else {
    for (int32_t c = 0; c < K; c++) {
      int64_t cnt = 0;
      for (int32_t i = 0; i < n; i++)
        cnt += s->labels[indexes[i]] == c;
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
