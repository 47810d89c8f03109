// Exact five-nearest-neighbour search over a blocked training matrix.
//
// Layout and loop order are what make it fast; the arithmetic is the plain one. Training rows
// sit feature-major in blocks of 8, so one block's value of one feature is two 4-wide vectors.
// Four apply rows share every load: each (apply row, lane) pair keeps its own accumulator and
// adds its squared differences in feature order, so every distance has the bits of the scalar
// sum. Training rows are visited in tiles small enough to stay in cache while every apply row
// of the batch passes over them; each apply row still sees training rows in training order.
//
// Partial-distance pruning: the running sum only grows (a rounded sum of non-negative terms
// never falls), and a row enters a list only when its distance is below the list's fifth
// slot, so once every lane of a block is at or above the fifth slot of all four apply rows
// the rest of that block's features cannot change the outcome and are skipped.
#include "tabular/knn.h"
#include <math.h>

// The 4-wide helpers are always inlined; the ABI note about passing them by value is moot.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

typedef double v4d __attribute__((vector_size(32)));
typedef long long v4i __attribute__((vector_size(32)));

constexpr int GROUP = 4;             // apply rows per pass over a tile
constexpr int64_t TILE_BLOCKS = 256; // 2048 training rows per tile
constexpr int PRUNE_STEP = 4;        // features between pruning checks

__attribute__((always_inline)) inline v4d load4(const double *p) {
  v4d v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

// Inserts (d, row) into a sorted list of KNN_K slots: before the first slot whose distance is
// strictly greater; equal distances keep the earlier row first.
inline void list_insert(knn_hit *list, double d, int64_t row) {
  if (!(d < list[KNN_K - 1].distance)) return;
  int s = KNN_K - 1;
  while (s > 0 && list[s - 1].distance > d) {
    list[s] = list[s - 1];
    s--;
  }
  list[s].distance = d;
  list[s].row = row;
}

__attribute__((always_inline)) inline bool any_below(const v4d &a, const v4d &b, double limit) {
  v4d w = {limit, limit, limit, limit};
  v4i m = (a < w) | (b < w);
  return (m[0] | m[1] | m[2] | m[3]) != 0;
}

// One pass of GROUP apply rows (q, row-major) over blocks [b0, b1) of the matrix.
__attribute__((target_clones("avx2", "default"))) void search_group(const double *data, int F, int64_t b0, int64_t b1,
                                                                    const double *q, knn_hit *lists) {
  for (int64_t b = b0; b < b1; b++) {
    const double *block = data + b * F * KNN_LANES;
    v4d acc[GROUP][2];
    for (int a = 0; a < GROUP; a++)
      acc[a][0] = acc[a][1] = (v4d){0, 0, 0, 0};
    bool pruned = false;
    for (int f0 = 0; f0 < F; f0 += PRUNE_STEP) {
      int f1 = f0 + PRUNE_STEP < F ? f0 + PRUNE_STEP : F;
      for (int f = f0; f < f1; f++) {
        v4d t0 = load4(block + f * KNN_LANES), t1 = load4(block + f * KNN_LANES + 4);
        for (int a = 0; a < GROUP; a++) {
          double qv = q[a * F + f];
          v4d qa = {qv, qv, qv, qv};
          v4d d0 = t0 - qa, d1 = t1 - qa;
          acc[a][0] += d0 * d0;
          acc[a][1] += d1 * d1;
        }
      }
      if (f1 < F) {
        bool live = false;
        for (int a = 0; a < GROUP && !live; a++)
          live = any_below(acc[a][0], acc[a][1], lists[a * KNN_K + KNN_K - 1].distance);
        if (!live) {
          pruned = true;
          break;
        }
      }
    }
    if (pruned) continue;
    for (int a = 0; a < GROUP; a++) {
      knn_hit *list = lists + a * KNN_K;
      if (!any_below(acc[a][0], acc[a][1], list[KNN_K - 1].distance)) continue;
      for (int l = 0; l < 4; l++)
        list_insert(list, acc[a][0][l], b * KNN_LANES + l);
      for (int l = 0; l < 4; l++)
        list_insert(list, acc[a][1][l], b * KNN_LANES + 4 + l);
    }
  }
}

} // namespace

void knn_matrix_free(knn_matrix *m) {
  if (!m) return;
  sqlite3_free(m->data);
  m->data = nullptr;
  m->rows = m->capacity = 0;
}

bool knn_matrix_reserve_row(knn_matrix *m, int64_t first_rows) {
  if (m->rows < m->capacity) return true;
  int64_t want = m->capacity ? m->capacity * 2 : first_rows;
  want = (want + KNN_LANES - 1) / KNN_LANES * KNN_LANES;
  int64_t F = m->features > 0 ? m->features : 1;
  if (want <= 0 || (uint64_t)want > (uint64_t)INT64_MAX / sizeof(double) / (uint64_t)F) return false;
  double *grown = (double *)sqlite3_realloc64(m->data, (sqlite3_uint64)(want * F) * sizeof(double));
  if (!grown) return false;
  m->data = grown;
  m->capacity = want;
  return true;
}

void knn_matrix_seal(knn_matrix *m) {
  int64_t end = (m->rows + KNN_LANES - 1) / KNN_LANES * KNN_LANES;
  for (int64_t r = m->rows; r < end; r++)
    for (int32_t f = 0; f < m->features; f++)
      knn_at(m, r, f) = INFINITY;
}

void knn5_search(const knn_matrix *m, const double *apply, int64_t count, knn_hit *out) {
  for (int64_t i = 0; i < count * KNN_K; i++)
    out[i] = knn_hit{KNN_EMPTY, -1};
  const int F = m->features;
  const int64_t blocks = (m->rows + KNN_LANES - 1) / KNN_LANES;
  if (blocks == 0 || count == 0) return;
  // The last partial group runs on copies of its rows padded with its first row; only the
  // lists of real rows are copied back.
  double pad_q[GROUP * 64];
  knn_hit pad_lists[GROUP * KNN_K];
  const int64_t full = count / GROUP * GROUP;
  const int rest = (int)(count - full);
  if (rest) {
    for (int a = 0; a < GROUP; a++)
      for (int f = 0; f < F; f++)
        pad_q[a * F + f] = apply[(full + (a < rest ? a : 0)) * F + f];
    for (int i = 0; i < GROUP * KNN_K; i++)
      pad_lists[i] = knn_hit{KNN_EMPTY, -1};
  }
  for (int64_t b0 = 0; b0 < blocks; b0 += TILE_BLOCKS) {
    int64_t b1 = b0 + TILE_BLOCKS < blocks ? b0 + TILE_BLOCKS : blocks;
    for (int64_t g = 0; g < full; g += GROUP)
      search_group(m->data, F, b0, b1, apply + g * F, out + g * KNN_K);
    if (rest) search_group(m->data, F, b0, b1, pad_q, pad_lists);
  }
  for (int a = 0; a < rest; a++)
    for (int s = 0; s < KNN_K; s++)
      out[(full + a) * KNN_K + s] = pad_lists[a * KNN_K + s];
}
