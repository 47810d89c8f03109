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

// Lanes of (a, b) below limit, as a mask vector.
__attribute__((always_inline)) inline v4i below(const v4d &a, const v4d &b, double limit) {
  const v4d w = {limit, limit, limit, limit};
  return (a < w) | (b < w);
}
__attribute__((always_inline)) inline bool any_set(const v4i &m) { return (m[0] | m[1] | m[2] | m[3]) != 0; }

// Squared differences of one feature for four apply rows against the block's 8 lanes; the
// accumulators are named so they stay in registers.
#define KNN_FEATURE_STEP(f)                                                                                            \
  do {                                                                                                                 \
    const v4d t0 = load4(block + (f)*KNN_LANES), t1 = load4(block + (f)*KNN_LANES + 4);                                \
    const double q0 = q[(f)], q1 = q[F + (f)], q2 = q[2 * F + (f)], q3 = q[3 * F + (f)];                               \
    v4d d;                                                                                                             \
    d = t0 - q0;                                                                                                       \
    a00 += d * d;                                                                                                      \
    d = t1 - q0;                                                                                                       \
    a01 += d * d;                                                                                                      \
    d = t0 - q1;                                                                                                       \
    a10 += d * d;                                                                                                      \
    d = t1 - q1;                                                                                                       \
    a11 += d * d;                                                                                                      \
    d = t0 - q2;                                                                                                       \
    a20 += d * d;                                                                                                      \
    d = t1 - q2;                                                                                                       \
    a21 += d * d;                                                                                                      \
    d = t0 - q3;                                                                                                       \
    a30 += d * d;                                                                                                      \
    d = t1 - q3;                                                                                                       \
    a31 += d * d;                                                                                                      \
  } while (0)

// One pass of GROUP apply rows (q, row-major) over blocks [b0, b1) of the matrix.
VORNEL_KERNEL void search_group(const double *data, int F, int64_t b0, int64_t b1, const double *q, knn_hit *lists) {
  static_assert(GROUP == 4, "the step below is written for four apply rows");
  knn_hit *l0 = lists, *l1 = lists + KNN_K, *l2 = lists + 2 * KNN_K, *l3 = lists + 3 * KNN_K;
  for (int64_t b = b0; b < b1; b++) {
    const double *block = data + b * F * KNN_LANES;
    const v4d zero = {0, 0, 0, 0};
    v4d a00 = zero, a01 = zero, a10 = zero, a11 = zero, a20 = zero, a21 = zero, a30 = zero, a31 = zero;
    bool pruned = false;
    for (int f0 = 0; f0 < F; f0 += PRUNE_STEP) {
      const int f1 = f0 + PRUNE_STEP < F ? f0 + PRUNE_STEP : F;
      // One feature per iteration keeps the eight accumulators in registers.
#pragma GCC unroll 1
      for (int f = f0; f < f1; f++)
        KNN_FEATURE_STEP(f);
      if (f1 < F && !any_set(below(a00, a01, l0[KNN_K - 1].distance) | below(a10, a11, l1[KNN_K - 1].distance) |
                             below(a20, a21, l2[KNN_K - 1].distance) | below(a30, a31, l3[KNN_K - 1].distance))) {
        pruned = true;
        break;
      }
    }
    if (pruned) continue;
    const int64_t row0 = b * KNN_LANES;
    const v4d *acc[GROUP][2] = {{&a00, &a01}, {&a10, &a11}, {&a20, &a21}, {&a30, &a31}};
    for (int a = 0; a < GROUP; a++) {
      knn_hit *list = lists + a * KNN_K;
      const v4d &lo = *acc[a][0], &hi = *acc[a][1];
      if (!any_set(below(lo, hi, list[KNN_K - 1].distance))) continue;
      for (int l = 0; l < 4; l++)
        list_insert(list, lo[l], row0 + l);
      for (int l = 0; l < 4; l++)
        list_insert(list, hi[l], row0 + 4 + l);
    }
  }
}
#undef KNN_FEATURE_STEP

} // namespace

void knn_matrix_free(knn_matrix *m) {
  if (!m) return;
  sqlite3_free(m->values.release());
  m->rows = 0;
}

bool knn_matrix_reserve_row(knn_matrix *m, int64_t first_rows) {
  const int64_t F = m->features > 0 ? m->features : 1;
  const int64_t capacity = m->values.cap / F;
  if (m->rows < capacity) return true;
  int64_t want = capacity ? capacity * 2 : first_rows;
  want = (want + KNN_LANES - 1) / KNN_LANES * KNN_LANES;
  return want > 0 && want <= INT64_MAX / F && m->values.reserve(want * F);
}

void knn_matrix_seal(knn_matrix *m) {
  int64_t end = (m->rows + KNN_LANES - 1) / KNN_LANES * KNN_LANES;
  for (int64_t r = m->rows; r < end; r++)
    for (int32_t f = 0; f < m->features; f++)
      knn_at(m, r, f) = INFINITY;
}

bool knn5_search(const knn_matrix *m, const double *apply, int64_t count, knn_hit *out, Cancel *cancel) {
  for (int64_t i = 0; i < count * KNN_K; i++)
    out[i] = knn_hit{KNN_EMPTY, -1};
  const int F = m->features;
  const int64_t blocks = (m->rows + KNN_LANES - 1) / KNN_LANES;
  // The in-context model caps features at KNN_MAX_FEATURES; wider input finds nothing.
  if (blocks == 0 || count == 0 || F < 1 || F > KNN_MAX_FEATURES) return true;
  // The last partial group runs on copies of its rows padded with its first row; only the
  // lists of real rows are copied back.
  double pad_q[GROUP * KNN_MAX_FEATURES];
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
    const int64_t group_work = (b1 - b0) * KNN_LANES * F * GROUP; // distance terms of one group
    for (int64_t g = 0; g < full; g += GROUP) {
      search_group(m->values.data, F, b0, b1, apply + g * F, out + g * KNN_K);
      if (cancel_stop(cancel, group_work)) return false;
    }
    if (rest) search_group(m->values.data, F, b0, b1, pad_q, pad_lists);
  }
  for (int a = 0; a < rest; a++)
    for (int s = 0; s < KNN_K; s++)
      out[(full + a) * KNN_K + s] = pad_lists[a * KNN_K + s];
  return true;
}
