// The error function for the anomaly probabilities, written out so that every platform gives
// the bits of the reference x86-64 build. The C libraries differ in the last bit: glibc on
// aarch64 fuses the polynomial steps into multiply-adds, the Windows runtime has its own
// routine. This is the classic rational approximation (Sun's fdlibm, in the operation order of
// the GNU C library's double-precision erf), evaluated without fused operations: the build
// forbids contraction, so each line below rounds exactly where it is written.
//
// erf(x) for |x| < 0.84375 is x + x R(x^2); for |x| < 1.25 it is c + P(s)/Q(s) with s = |x| - 1
// and c = 0.84506291151 rounded to single; up to 6 it is 1 - exp(-x^2 - 0.5625 + R/S)/x with
// R/S a rational function of 1/x^2, the square split so that exp sees an exact argument; beyond
// 6 it is 1 to the last bit. The exponential is the platform's: it agrees across the three
// builds to the bit.
#include "anomaly/score.h"
#include <math.h>
#include <stdint.h>
#include <string.h>

namespace {

uint32_t high_word(double x) {
  uint64_t b;
  memcpy(&b, &x, sizeof b);
  return (uint32_t)(b >> 32);
}

double without_low_word(double x) {
  uint64_t b;
  memcpy(&b, &x, sizeof b);
  b &= 0xffffffff00000000ull;
  memcpy(&x, &b, sizeof x);
  return x;
}

// |x| < 0.84375: erf(x) = x + x * r / s.
double erf_small(double x) {
  const double efx = 1.28379167095512586316e-01;
  const double p0 = 1.28379167095512558561e-01, p1 = -3.25042107247001499370e-01, p2 = -2.84817495755985104766e-02,
               p3 = -5.77027029648944159157e-03, p4 = -2.37630166566501626084e-05;
  const double q1 = 3.97917223959155352819e-01, q2 = 6.50222499887672944485e-02, q3 = 5.08130628187576562776e-03,
               q4 = 1.32494738004321644526e-04, q5 = -3.96022827877536812320e-06;
  uint32_t ix = high_word(x) & 0x7fffffff;
  if (ix < 0x3e300000) { // |x| < 2^-28: the cubic term is below half an ulp
    if (ix < 0x00800000) return 0.0625 * (16.0 * x + (16.0 * efx) * x);
    return x + efx * x;
  }
  double z = x * x;
  double r1 = p0 + z * p1, z2 = z * z;
  double r2 = p2 + z * p3, z4 = z2 * z2;
  double s1 = 1.0 + z * q1;
  double s2 = q2 + z * q3;
  double s3 = q4 + z * q5;
  double r = r1 + z2 * r2 + z4 * p4;
  double s = s1 + z2 * s2 + z4 * s3;
  return x + x * (r / s);
}

// 0.84375 <= |x| < 1.25: erf(|x|) = erx + P(s) / Q(s), s = |x| - 1.
double erf_middle(double ax) {
  const double erx = 8.45062911510467529297e-01;
  const double a0 = -2.36211856075265944077e-03, a1 = 4.14856118683748331666e-01, a2 = -3.72207876035701323847e-01,
               a3 = 3.18346619901161753674e-01, a4 = -1.10894694282396677476e-01, a5 = 3.54783043256182359371e-02,
               a6 = -2.16637559486879084300e-03;
  const double b1 = 1.06420880400844228286e-01, b2 = 5.40397917702171048937e-01, b3 = 7.18286544141962662868e-02,
               b4 = 1.26171219808761642112e-01, b5 = 1.36370839120290507362e-02, b6 = 1.19844998467991074170e-02;
  double s = ax - 1.0;
  double p1 = a0 + s * a1, s2 = s * s;
  double q1 = 1.0 + s * b1, s4 = s2 * s2;
  double p2 = a2 + s * a3, s6 = s4 * s2;
  double q2 = b2 + s * b3;
  double p3 = a4 + s * a5;
  double q3 = b4 + s * b5;
  double p = p1 + s2 * p2 + s4 * p3 + s6 * a6;
  double q = q1 + s2 * q2 + s4 * q3 + s6 * b6;
  return erx + p / q;
}

// 1.25 <= |x| < 6: erf(|x|) = 1 - exp(-x^2 - 0.5625 + R/S) / |x|, R/S in s = 1/x^2.
double erf_tail(double ax) {
  double s = 1.0 / (ax * ax);
  double R, S;
  if (high_word(ax) < 0x4006db6e) { // |x| < 1/0.35
    const double r0 = -9.86494403484714822705e-03, r1 = -6.93858572707181764372e-01, r2 = -1.05586262253232909814e+01,
                 r3 = -6.23753324503260060396e+01, r4 = -1.62396669462573470355e+02, r5 = -1.84605092906711035994e+02,
                 r6 = -8.12874355063065934246e+01, r7 = -9.81432934416914548592e+00;
    const double t1 = 1.96512716674392571292e+01, t2 = 1.37657754143519042600e+02, t3 = 4.34565877475229228821e+02,
                 t4 = 6.45387271733267880336e+02, t5 = 4.29008140027567833386e+02, t6 = 1.08635005541779435134e+02,
                 t7 = 6.57024977031928170135e+00, t8 = -6.04244152148580987438e-02;
    double R1 = r0 + s * r1, s2 = s * s;
    double S1 = 1.0 + s * t1, s4 = s2 * s2;
    double R2 = r2 + s * r3, s6 = s4 * s2;
    double S2 = t2 + s * t3, s8 = s4 * s4;
    double R3 = r4 + s * r5;
    double S3 = t4 + s * t5;
    double R4 = r6 + s * r7;
    double S4 = t6 + s * t7;
    R = R1 + s2 * R2 + s4 * R3 + s6 * R4;
    S = S1 + s2 * S2 + s4 * S3 + s6 * S4 + s8 * t8;
  } else {
    const double r0 = -9.86494292470009928597e-03, r1 = -7.99283237680523006574e-01, r2 = -1.77579549177547519889e+01,
                 r3 = -1.60636384855821916062e+02, r4 = -6.37566443368389627722e+02, r5 = -1.02509513161107724954e+03,
                 r6 = -4.83519191608651397019e+02;
    const double t1 = 3.03380607434824582924e+01, t2 = 3.25792512996573918826e+02, t3 = 1.53672958608443695994e+03,
                 t4 = 3.19985821950859553908e+03, t5 = 2.55305040643316442583e+03, t6 = 4.74528541206955367215e+02,
                 t7 = -2.24409524465858183362e+01;
    double R1 = r0 + s * r1, s2 = s * s;
    double S1 = 1.0 + s * t1, s4 = s2 * s2;
    double R2 = r2 + s * r3, s6 = s4 * s2;
    double S2 = t2 + s * t3;
    double R3 = r4 + s * r5;
    double S3 = t4 + s * t5;
    double S4 = t6 + s * t7;
    R = R1 + s2 * R2 + s4 * R3 + s6 * r6;
    S = S1 + s2 * S2 + s4 * S3 + s6 * S4;
  }
  double z = without_low_word(ax); // z * z is exact
  double r = exp(-z * z - 0.5625) * exp((z - ax) * (z + ax) + R / S);
  return 1.0 - r / ax;
}

} // namespace

double an_erf(double x) {
  uint32_t hx = high_word(x), ix = hx & 0x7fffffff;
  if (ix >= 0x7ff00000) return isnan(x) ? x : (hx >> 31 ? -1.0 : 1.0);
  if (ix < 0x3feb0000) return erf_small(x);
  double magnitude;
  if (ix < 0x3ff40000)
    magnitude = erf_middle(fabs(x));
  else if (ix < 0x40180000)
    magnitude = erf_tail(fabs(x));
  else
    magnitude = 1.0; // 1 - 1e-300, rounded
  return hx >> 31 ? -magnitude : magnitude;
}
