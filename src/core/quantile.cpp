// The quantile routines that intervals across the extension use: the inverse normal
// distribution function and piecewise-linear interpolation across quantile levels.
#include "core/api.h"
#include <math.h>

double vornel0_norm_quantile(double p) {
  // Acklam's inverse normal, published coefficients and break points, no refinement step.
  static const double a1 = -39.69683028665376, a2 = 220.9460984245205, a3 = -275.9285104469687, a4 = 138.357751867269,
                      a5 = -30.66479806614716, a6 = 2.506628277459239;
  static const double b1 = -54.47609879822406, b2 = 161.5858368580409, b3 = -155.6989798598866, b4 = 66.80131188771972,
                      b5 = -13.28068155288572;
  static const double c1 = -0.007784894002430293, c2 = -0.3223964580411365, c3 = -2.400758277161838,
                      c4 = -2.549732539343734, c5 = 4.374664141464968, c6 = 2.938163982698783;
  static const double d1 = 0.007784695709041462, d2 = 0.3224671290700398, d3 = 2.445134137142996,
                      d4 = 3.754408661907416;
  if (isnan(p)) return p;
  // The tails' logarithms have no finite answer at 0 and 1.
  if (p <= 0) return -INFINITY;
  if (p >= 1) return INFINITY;
  auto tail = [&](double q) {
    return (((((c1 * q + c2) * q + c3) * q + c4) * q + c5) * q + c6) / ((((d1 * q + d2) * q + d3) * q + d4) * q + 1);
  };
  if (p < 0.02425) return tail(sqrt(-2 * log(p)));
  if (p <= 0.97575) {
    double q = p - 0.5, r = q * q;
    return (((((a1 * r + a2) * r + a3) * r + a4) * r + a5) * r + a6) * q /
           (((((b1 * r + b2) * r + b3) * r + b4) * r + b5) * r + 1);
  }
  return -tail(sqrt(-2 * log(1 - p)));
}

double vornel0_quantile_at(const float *levels, const double *values, int count, double x) {
  if (count <= 0) return NAN;
  if (count == 1) return values[0];
  const double l0 = levels[0], l1 = levels[1];
  if (x <= l0) return values[0] + (values[1] - values[0]) / (l1 - l0) * (x - l0);
  const double ll = levels[count - 1], lp = levels[count - 2];
  if (x >= ll) return values[count - 1] + (values[count - 1] - values[count - 2]) / (ll - lp) * (x - ll);
  int i = 1;
  while (i < count - 1 && !(x <= (double)levels[i]))
    i++;
  const double lo = levels[i - 1], hi = levels[i];
  return values[i - 1] + (values[i] - values[i - 1]) * (x - lo) / (hi - lo);
}
