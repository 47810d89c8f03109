// The four-lane tanh against the platform's libm, bit for bit: random arguments over every
// range of the expm1 beneath it, a thousand neighbours of each range boundary, and the special
// values. Built once for the baseline instruction set and once for AVX2 with FMA.
#include "distill/tanh_lanes.h"
#include <gtest/gtest.h>
#include <math.h>
#include <vector>

namespace {

using tanh_lanes::v4d;

[[gnu::always_inline]] inline void tanh_all(const double *x, double *out, size_t n) {
  for (size_t i = 0; i + 4 <= n; i += 4) {
    v4d v;
    memcpy(&v, x + i, sizeof v);
    v = tanh_lanes::tanh4(v);
    memcpy(out + i, &v, sizeof v);
  }
}

void tanh_baseline(const double *x, double *out, size_t n) { tanh_all(x, out, n); }

__attribute__((target("arch=x86-64-v3"))) void tanh_wide(const double *x, double *out, size_t n) {
  tanh_all(x, out, n);
}

std::vector<double> arguments() {
  std::vector<double> x;
  uint64_t s = 88172645463325252ull;
  for (int i = 0; i < 600000; i++) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    const double u = (double)(s >> 11) / 9007199254740992.0;
    double v = i % 3 == 0 ? u * 60 - 30 : i % 3 == 1 ? u * 4 - 2 : ldexp(u, -(int)(s % 1100));
    x.push_back(s >> 63 ? -v : v);
  }
  // Where expm1 changes path (|2x| = ln2 / 2, 3 ln2 / 2, 56 ln2, k = 20, k = 57), where tanh
  // does (1, 22, 2^-55), and the ends of the range.
  const double edges[] = {0.0,
                          0.17328679513998632,
                          0.5198603854199589,
                          1.0,
                          6.758185010459466,
                          19.408121055678468,
                          19.581407850818454,
                          22.0,
                          0x1p-55,
                          0x1p-1074,
                          0x1p-1022,
                          1e308};
  for (double e : edges) {
    double up = e, down = e;
    for (int k = 0; k < 1000; k++) {
      x.push_back(up);
      x.push_back(-down);
      up = nextafter(up, INFINITY);
      down = nextafter(down, 0.0);
    }
  }
  for (double v : {-0.0, (double)INFINITY, (double)-INFINITY, (double)NAN, (double)-NAN})
    x.push_back(v);
  while (x.size() % 4)
    x.push_back(0.5);
  return x;
}

void expect_libm_bits(const std::vector<double> &x, const std::vector<double> &got, const char *build) {
  int differ = 0;
  for (size_t i = 0; i < x.size(); i++) {
    const double want = tanh(x[i]);
    if (isnan(want) && isnan(got[i])) continue;
    if (memcmp(&want, &got[i], sizeof want) != 0 && differ++ < 5)
      ADD_FAILURE() << build << ": tanh(" << std::hexfloat << x[i] << ") = " << got[i] << ", libm " << want;
  }
  EXPECT_EQ(differ, 0) << build;
}

} // namespace

TEST(TanhLanes, GivesTheBitsOfLibmOnEveryRange) {
  // libm runs its fused expm1 only where the processor has FMA; elsewhere its bits differ.
  if (!__builtin_cpu_supports("fma") || !__builtin_cpu_supports("avx2"))
    GTEST_SKIP() << "libm uses its expm1 without FMA on this processor";
  const std::vector<double> x = arguments();
  std::vector<double> got(x.size());
  tanh_baseline(x.data(), got.data(), x.size());
  expect_libm_bits(x, got, "baseline");
  tanh_wide(x.data(), got.data(), x.size());
  expect_libm_bits(x, got, "avx2+fma");
}
