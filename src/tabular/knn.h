// The numeric core of the in-context five-nearest-neighbour model: a training matrix held
// feature-major in blocks of KNN_LANES rows, and the exact search over it. No statement is
// seen here, so the core is tested against a brute-force search directly.
//
// Search contract (for every apply row independently): five (distance, row) slots sorted by
// distance start at 1e300 with no row; each training row, in training order, is inserted
// before the first slot whose distance is strictly greater, the last slot falling off. The
// distance is the squared Euclidean distance sum_f (a_f - t_f)^2 accumulated in feature order
// in binary64. A distance that does not compare below a slot (NaN, infinity, >= 1e300) never
// enters, so a list may keep empty slots (row -1).
#pragma once
#include "core/api.h"

inline constexpr int KNN_K = 5;
inline constexpr int KNN_MAX_FEATURES = 64;
inline constexpr int KNN_LANES = 8;        // training rows per block
inline constexpr double KNN_EMPTY = 1e300; // distance of an empty slot

// Training matrix: value (row r, feature f) at data[((r / LANES) * features + f) * LANES + r % LANES].
// Lanes past the last row hold +infinity, so they never enter a neighbour list.
struct knn_matrix {
  int32_t features;         // F
  int64_t rows;             // rows in use
  HostArray<double> values; // room for a multiple of KNN_LANES rows of F values
};

// One neighbour slot.
struct knn_hit {
  double distance; // squared distance, KNN_EMPTY when empty
  int64_t row;     // training row, -1 when empty
};

void knn_matrix_free(knn_matrix *m);
// Makes room for one more row (capacity grows from first_rows by doubling). Returns false
// when memory runs out (the matrix is unchanged).
bool knn_matrix_reserve_row(knn_matrix *m, int64_t first_rows);
inline double &knn_at(const knn_matrix *m, int64_t row, int32_t feature) {
  return m->values.data[((row / KNN_LANES) * m->features + feature) * KNN_LANES + row % KNN_LANES];
}
// Marks the lanes after the last row of the final block as never-nearest.
void knn_matrix_seal(knn_matrix *m);

// Fills out[q * KNN_K .. q * KNN_K + 4] for each of count apply rows (row-major, F values
// each, already standardised) with the five nearest training rows in slot order. Returns
// false, with out incomplete, when cancel (may be null) asked to stop.
bool knn5_search(const knn_matrix *m, const double *apply, int64_t count, knn_hit *out, Cancel *cancel = nullptr);
