// Sub-PCA numerics: the window rule, the cyclic Jacobi eigen-decomposition, the component
// order and the per-point rank probabilities of a subsequence PCA. Plain arrays only; the SQL
// side (detect.cpp) turns the probabilities into anomaly records.
#pragma once
#include "core/cancel.h"
#include <stdint.h>

// One entry of the rank table: a point's score and its position in the series.
struct SubpcaRank {
  double score;  // the point's reconstruction error
  int32_t index; // the point's position t
};

// qsort-style order of rank entries: ascending score; equal or incomparable scores by
// ascending index. Returns <0, 0 or >0.
int subpca_rank_cmp(const void *a, const void *b);

// Window length for a series of n points whose detected period is period (0 when none):
// the period when it lies in 6..303, else 125, and never more than n/2.
int subpca_window_length(int n, int period);

// Cyclic Jacobi on the symmetric n-by-n row-major matrix a (overwritten; its diagonal holds
// the eigenvalues afterwards). Eigenvector j is written to row j of vt (n-by-n, row-major), that
// is vt holds the transposed eigenvector matrix. At most 60 sweeps; returns the number of sweeps
// that rotated (0 when a was already diagonal), or -1 when its work space cannot be allocated.
// With a cancel hook it returns SUBPCA_JACOBI_STOPPED when the hook asked to stop.
int subpca_jacobi(double *a, double *vt, int n);
inline constexpr int SUBPCA_JACOBI_STOPPED = -2;
int subpca_jacobi(double *a, double *vt, int n, Cancel *cancel);

// Indices 0..n-1 ordered by descending eigenvalue; equal eigenvalues keep ascending index order.
void subpca_component_order(const double *eigenvalues, int n, int32_t *order);

// Result of subpca_probabilities.
enum SubpcaStatus { SUBPCA_OK = 0, SUBPCA_TOO_SHORT = 1, SUBPCA_NOMEM = 2, SUBPCA_STOPPED = 3 };

// Scores the n values v (oldest first) with window length window (from subpca_window_length)
// and writes each point's anomaly probability, its percentile rank among all points, to
// out_prob[0..n-1]. SUBPCA_TOO_SHORT when window < 2 or there are not more windows than the
// window is long; SUBPCA_NOMEM when a work array cannot be allocated (everything is freed);
// SUBPCA_STOPPED when cancel (null: never) asked to stop.
int subpca_probabilities(const double *v, int n, int window, double *out_prob, Cancel *cancel = nullptr);
