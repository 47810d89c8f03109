// tanh across four lanes, giving the bits of the platform's libm (the classic expm1-based
// tanh over the expm1 that libm runs on FMA-capable x86-64) without a call or a branch per
// value. Every step is the scalar routine's own operation in its own order, with a fused
// multiply-add exactly where that expm1 fuses, so each lane is the scalar result to the bit;
// the paths are all computed and the lane's own one selected.
//
// tanh(x), with a = |x|: from a < 1, t = expm1(-2a) and -t / (t + 2); from a >= 1,
// t = expm1(2a) and 1 - 2 / (t + 2); 1 from a >= 22; the sign of x last. The expm1 below
// serves only those arguments: (-2, 0] and [2, 44).
#pragma once
#include <stdint.h>
#include <string.h>

// The helpers are always inlined, so the AVX argument-passing note does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tanh_lanes {

typedef double v4d __attribute__((vector_size(32)));
typedef int64_t v4l __attribute__((vector_size(32)));
typedef uint64_t v4u __attribute__((vector_size(32)));
typedef int32_t v4i __attribute__((vector_size(16)));

[[gnu::always_inline]] inline v4l bits_of(v4d v) {
  v4l b;
  memcpy(&b, &v, sizeof b);
  return b;
}
[[gnu::always_inline]] inline v4d from_bits(v4l b) {
  v4d v;
  memcpy(&v, &b, sizeof v);
  return v;
}
[[gnu::always_inline]] inline v4d splat(double v) { return v4d{v, v, v, v}; }
[[gnu::always_inline]] inline v4d pick(v4l mask, v4d yes, v4d no) { return mask ? yes : no; }
// One rounding per lane: the fused operation, never a multiply and an add.
[[gnu::always_inline]] inline v4d fused(v4d a, v4d b, v4d c) {
  v4d r;
  for (int l = 0; l < 4; l++)
    r[l] = __builtin_fma(a[l], b[l], c[l]);
  return r;
}
// Adds k to the binary exponent of each lane, as the scalar routine adds k << 20 to the high word.
[[gnu::always_inline]] inline v4d add_exponent(v4d y, v4l k) {
  return from_bits((v4l)((v4u)bits_of(y) + ((v4u)k << 52)));
}

[[gnu::always_inline]] inline v4d expm1_of_tanh_argument(v4d x) {
  const double ln2_hi = 0x1.62e42feep-1, ln2_lo = 0x1.a39ef35793c76p-33, invln2 = 0x1.71547652b82fep+0;
  const double q1 = -0x1.11111111110f4p-5, q2 = 0x1.a01a019fe5585p-10, q3 = -0x1.4ce199eaadbb7p-14,
               q4 = 0x1.0cfca86e65239p-18, q5 = -0x1.afdb76e09c32dp-23;
  const v4l high = (bits_of(x) >> 32) & 0x7fffffff;
  const v4l negative = x < splat(0.0);
  const v4l reduced = high > 0x3fd62e42;  // |x| > ln2 / 2
  const v4l general = high >= 0x3ff0a2b2; // |x| >= 3 ln2 / 2
  const v4l tiny = high < 0x3c900000;     // |x| < 2^-54: expm1 is x itself

  // Argument reduction: x = k ln2 + hi - lo, with c the rounding error of hi - lo.
  const v4d kd = pick(negative, splat(-0.5), splat(0.5)) + x * invln2;
  const v4i ki = __builtin_convertvector(kd, v4i); // truncation, as the scalar conversion
  const v4d tk = __builtin_convertvector(ki, v4d);
  const v4d hi_general = fused(-tk, splat(ln2_hi), x), lo_general = tk * ln2_lo;
  const v4d hi_one = pick(negative, x + ln2_hi, x - ln2_hi), lo_one = pick(negative, splat(-ln2_lo), splat(ln2_lo));
  const v4d hi = pick(general, hi_general, hi_one), lo = pick(general, lo_general, lo_one);
  const v4l k_one = negative ? v4l{-1, -1, -1, -1} : v4l{1, 1, 1, 1};
  const v4l k = (general ? __builtin_convertvector(ki, v4l) : k_one) & reduced; // 0 where nothing is reduced
  v4d r = hi - lo;
  const v4d c = (hi - r) - lo;
  r = pick(reduced, r, x);

  // The primary range: a rational approximation in hxs = r * r / 2.
  const v4d hfx = r * 0.5, hxs = r * hfx;
  const v4d p23 = fused(hxs, splat(q3), splat(q2)), p45 = fused(hxs, splat(q5), splat(q4));
  const v4d h2 = hxs * hxs, p01 = fused(hxs, splat(q1), splat(1.0)), h4 = h2 * h2;
  const v4d r1 = fused(h4, p45, fused(h2, p23, p01));
  const v4d t = fused(-r1, hfx, splat(3.0));
  const v4d e = ((r1 - t) / fused(-r, t, splat(6.0))) * hxs;

  const v4d at_zero = r - fused(e, r, -hxs);
  const v4d ek = fused(e - c, r, -c) - hxs;
  const v4d at_minus_one = fused(splat(0.5), r - ek, splat(-0.5));
  // k <= -2 or k > 56: 2^k (1 - (ek - r)) - 1.
  const v4d far = add_exponent(1.0 - (ek - r), k) - 1.0;
  // 2 <= k < 20: 2^k ((1 - 2^-k) - (ek - r)).
  const v4l shift = k < 0 ? 0 : (k > 31 ? 31 : k);
  const v4d low_k = add_exponent(from_bits((0x3ff00000 - (0x200000 >> shift)) << 32) - (ek - r), k);
  // 20 <= k <= 56: 2^k ((r - (ek + 2^-k)) + 1).
  const v4d high_k = add_exponent((r - (ek + from_bits(((0x3ff - k) << 20) << 32))) + 1.0, k);

  v4d y = pick(k < 20, low_k, high_k);
  y = pick((k <= -2) | (k > 56), far, y);
  y = pick(k == -1, at_minus_one, y);
  y = pick(k == 0, at_zero, y);
  return pick(tiny, x, y);
}

[[gnu::always_inline]] inline v4d tanh4(v4d x) {
  const v4d a = from_bits(bits_of(x) & 0x7fffffffffffffffLL), one = splat(1.0), two = splat(2.0);
  const v4l big = a >= one;
  const v4d t = expm1_of_tanh_argument(pick(big, a + a, -2.0 * a));
  const v4d q = pick(big, two, -t) / (t + two);
  v4d z = pick(big, one - q, q);
  z = pick(a >= splat(22.0), one, z);
  z = from_bits((bits_of(z) & 0x7fffffffffffffffLL) | (bits_of(x) & (int64_t)0x8000000000000000ULL));
  return pick(x != x, x, z); // a NaN stays itself
}

} // namespace tanh_lanes
