// See portable_math.h. The build forbids contraction, so no step below is fused on any target.
#include "core/portable_math.h"
#include <math.h>
#include <stdint.h>
#include <string.h>

namespace {

constexpr double LN2_HI = 6.93147180369123816490e-01; // ln 2 with the low 32 bits clear
constexpr double LN2_LO = 1.90821492927058770002e-10; // ln 2 - LN2_HI

uint64_t bits_of(double x) {
  uint64_t b;
  memcpy(&b, &x, sizeof b);
  return b;
}

double from_bits(uint64_t b) {
  double x;
  memcpy(&x, &b, sizeof x);
  return x;
}

// 2^k for -1022 <= k <= 1023.
double power_of_two(int k) { return from_bits((uint64_t)(k + 1023) << 52); }

} // namespace

// exp(x) = 2^k exp(r), x = k ln2 + r with |r| <= ln2 / 2, r carried as hi - lo; exp(r) from
// R(r^2) with c = r - r^2 R and exp(r) = 1 + 2r / (2 - c).
double portable_exp(double x) {
  const double p1 = 1.66666666666666019037e-01, p2 = -2.77777777770155933842e-03, p3 = 6.61375632143793436117e-05,
               p4 = -1.65339022054652515390e-06, p5 = 4.13813679705723846039e-08;
  const double inv_ln2 = 1.44269504088896338700e+00;
  if (isnan(x)) return x;
  if (x > 7.09782712893383973096e+02) return HUGE_VAL;
  if (x < -7.45133219101941108420e+02) return 0.0;
  const double ax = fabs(x);
  if (ax < 0x1p-28) return 1.0 + x;
  int k = 0;
  double hi = x, lo = 0.0;
  if (ax > 0.5 * LN2_HI) {
    if (ax < 1.5 * LN2_HI) {
      k = x < 0 ? -1 : 1;
      hi = x - k * LN2_HI;
      lo = k * LN2_LO;
    } else {
      k = (int)(inv_ln2 * x + (x < 0 ? -0.5 : 0.5));
      const double t = k;
      hi = x - t * LN2_HI; // exact: t * LN2_HI has at most 43 significant bits
      lo = t * LN2_LO;
    }
  }
  const double r = hi - lo;
  const double t = r * r;
  const double c = r - t * (p1 + t * (p2 + t * (p3 + t * (p4 + t * p5))));
  if (k == 0) return 1.0 - ((r * c) / (c - 2.0) - r);
  const double y = 1.0 - ((lo - (r * c) / (2.0 - c)) - hi);
  // Scaled in two steps where 2^k alone would leave the normal range.
  if (k > 1023) return y * 2.0 * power_of_two(1023);
  if (k < -1021) return y * power_of_two(k + 1000) * power_of_two(-1000);
  return y * power_of_two(k);
}

// log(x) = k ln2 + log(1 + f), 1 + f in [sqrt(2)/2, sqrt(2)); log(1 + f) = f - s(f - R(s^2))
// with s = f / (2 + f), or the closer form f - (f^2/2 - s(f^2/2 + R)) where f is large.
double portable_log(double x) {
  const double lg1 = 6.666666666666735130e-01, lg2 = 3.999999999940941908e-01, lg3 = 2.857142874366239149e-01,
               lg4 = 2.222219843214978396e-01, lg5 = 1.818357216161805012e-01, lg6 = 1.531383769920937332e-01,
               lg7 = 1.479819860511658591e-01;
  if (isnan(x) || x < 0) return NAN;
  if (x == 0) return -HUGE_VAL;
  if (isinf(x)) return x;
  int k = 0;
  if (x < 0x1p-1022) { // subnormal: scale into the normal range first
    x *= 0x1p54;
    k = -54;
  }
  uint64_t b = bits_of(x);
  int32_t hx = (int32_t)(b >> 32);
  k += (hx >> 20) - 1023;
  hx &= 0x000fffff;
  // Pick 1 + f in [sqrt(2)/2, sqrt(2)): mantissas above sqrt(2) take the next binade.
  const int32_t up = (hx + 0x95f64) & 0x100000;
  b = ((uint64_t)(uint32_t)(hx | (up ^ 0x3ff00000)) << 32) | (b & 0xffffffffu);
  k += up >> 20;
  const double f = from_bits(b) - 1.0;
  const double dk = k;
  if ((0x000fffff & (2 + hx)) < 3) { // |f| < 2^-20
    if (f == 0) return k == 0 ? 0.0 : dk * LN2_HI + dk * LN2_LO;
    const double R = f * f * (0.5 - 0.33333333333333333 * f);
    return k == 0 ? f - R : dk * LN2_HI - ((R - dk * LN2_LO) - f);
  }
  const double s = f / (2.0 + f);
  const double z = s * s, w = z * z;
  const double t1 = w * (lg2 + w * (lg4 + w * lg6));
  const double t2 = z * (lg1 + w * (lg3 + w * (lg5 + w * lg7)));
  const double R = t2 + t1;
  if (((hx - 0x6147a) | (0x6b851 - hx)) > 0) {
    const double hfsq = 0.5 * f * f;
    return k == 0 ? f - (hfsq - s * (hfsq + R)) : dk * LN2_HI - ((hfsq - (s * (hfsq + R) + dk * LN2_LO)) - f);
  }
  return k == 0 ? f - s * (f - R) : dk * LN2_HI - ((s * (f - R) - dk * LN2_LO) - f);
}
