// Cyclic Jacobi eigen-decomposition of a symmetric matrix, arranged for the cache.
//
// Each rotation (p, q) turns columns p and q of the full matrix, then rows p and q, then the
// eigenvectors p and q, exactly as the plain method does; only where the numbers live changes,
// never which operations an entry sees or in what order:
//  - While the pairs of row p are visited, column p is kept in a contiguous scratch copy, so only
//    column q is read with a stride. Its two entries in rows p and q are copied into the matrix
//    for the row rotation and back after it.
//  - The eigenvectors are kept as rows (the transposed eigenvector matrix), so their rotation
//    runs over contiguous memory like the row rotation.
// The rotations work four lanes at a time across independent entries.
#include "anomaly/subpca.h"
#include "anomaly/vec.h"
#include "core/api.h"
#include "core/mem.h"
#include <math.h>

namespace {

constexpr int MAX_SWEEPS = 60;
constexpr double STOP = 1e-30;  // sum of squared off-diagonal entries that ends the sweeps
constexpr double SKIP = 1e-300; // an entry this small is left alone

// x, y <- co*x - si*y, si*x + co*y, entry by entry.
VORNEL_KERNEL void rotate_rows(double *__restrict x, double *__restrict y, int n, double co, double si) {
  const v4d c = V4_SPLAT(co), s = V4_SPLAT(si);
  int j = 0;
  for (; j + 4 <= n; j += 4) {
    v4d a = V4_LOAD(x + j), b = V4_LOAD(y + j);
    V4_STORE(x + j, c * a - s * b);
    V4_STORE(y + j, s * a + c * b);
  }
  for (; j < n; j++) {
    double a = x[j], b = y[j];
    x[j] = co * a - si * b;
    y[j] = si * a + co * b;
  }
}

// The same rotation of column p (held contiguously in cp) with column q (every n-th entry from
// col_q) of an n-by-n matrix.
VORNEL_KERNEL void rotate_columns(double *__restrict cp, double *__restrict col_q, int n, double co, double si) {
  const v4d c = V4_SPLAT(co), s = V4_SPLAT(si);
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    double *y0 = col_q + (int64_t)i * n, *y1 = y0 + n, *y2 = y1 + n, *y3 = y2 + n;
    v4d a = V4_LOAD(cp + i), b = {*y0, *y1, *y2, *y3};
    V4_STORE(cp + i, c * a - s * b);
    v4d r = s * a + c * b;
    *y0 = r[0], *y1 = r[1], *y2 = r[2], *y3 = r[3];
  }
  for (; i < n; i++) {
    double *y = col_q + (int64_t)i * n;
    double a = cp[i], b = *y;
    cp[i] = co * a - si * b;
    *y = si * a + co * b;
  }
}

} // namespace

int subpca_jacobi(double *a, double *vt, int n) { return subpca_jacobi(a, vt, n, nullptr); }

int subpca_jacobi(double *a, double *vt, int n, Cancel *cancel) {
  if (n < 1) return 0;
  HostPtr<double> colp(host_calloc<double>(n)); // column p of a while row p's pairs are visited
  if (!colp) return -1;
  double *cp = colp.get();
  for (int i = 0; i < n; i++)
    for (int j = 0; j < n; j++)
      vt[(int64_t)i * n + j] = i == j ? 1.0 : 0.0;

  int sweeps = 0;
  for (int sweep = 0; sweep < MAX_SWEEPS; sweep++) {
    double off = 0;
    for (int p = 0; p < n; p++)
      for (int q = p + 1; q < n; q++)
        off += a[(int64_t)p * n + q] * a[(int64_t)p * n + q];
    if (off < STOP) break;
    sweeps++;
    for (int p = 0; p + 1 < n; p++) {
      // Row p's pairs rotate three rows of n entries each.
      if (cancel_stop(cancel, (int64_t)(n - p) * 3 * n)) return SUBPCA_JACOBI_STOPPED;
      double *row_p = a + (int64_t)p * n;
      for (int i = 0; i < n; i++)
        cp[i] = a[(int64_t)i * n + p];
      for (int q = p + 1; q < n; q++) {
        double *row_q = a + (int64_t)q * n;
        const double apq = row_p[q];
        if (fabs(apq) < SKIP) continue;
        const double theta = 0.5 * atan2(2 * apq, row_q[q] - cp[p]);
        const double co = cos(theta), si = sin(theta);
        rotate_columns(cp, a + q, n, co, si);
        row_p[p] = cp[p];
        row_q[p] = cp[q];
        rotate_rows(row_p, row_q, n, co, si);
        cp[p] = row_p[p];
        cp[q] = row_q[p];
        rotate_rows(vt + (int64_t)p * n, vt + (int64_t)q * n, n, co, si);
      }
      for (int i = 0; i < n; i++)
        a[(int64_t)i * n + p] = cp[i];
    }
  }
  return sweeps;
}
