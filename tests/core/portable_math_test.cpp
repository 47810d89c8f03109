// The portable exp and log against the long-double library routines (within one ulp, over
// random arguments across the whole range) and at the edges where the scaling changes.
#include "core/portable_math.h"
#include <cmath>
#include <gtest/gtest.h>
#include <random>

namespace {

// Distance in units in the last place between got and the long-double reference.
double ulps(double got, long double want) {
  double w = (double)want;
  double ulp = std::nextafter(std::fabs(w), INFINITY) - std::fabs(w);
  return (double)(std::fabs((long double)got - want) / ulp);
}

TEST(PortableMath, ExpWithinOneUlp) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> wide(-745.0, 709.7), narrow(-1.0, 1.0);
  for (int i = 0; i < 1000000; i++) {
    double x = i % 2 ? wide(rng) : narrow(rng) * std::ldexp(1.0, -(i % 40));
    double got = portable_exp(x);
    if (got < 0x1p-1022) continue; // subnormal results have coarser steps
    ASSERT_LT(ulps(got, std::exp((long double)x)), 1.0) << x;
  }
  EXPECT_EQ(portable_exp(0.0), 1.0);
  EXPECT_EQ(portable_exp(710.0), INFINITY);
  EXPECT_EQ(portable_exp(-746.0), 0.0);
  EXPECT_EQ(portable_exp(-INFINITY), 0.0);
  EXPECT_TRUE(std::isnan(portable_exp(NAN)));
  EXPECT_GT(portable_exp(709.78), 1e308);
  EXPECT_GT(portable_exp(-740.0), 0.0);
}

TEST(PortableMath, LogWithinOneUlp) {
  std::mt19937_64 rng(12);
  std::uniform_real_distribution<double> mantissa(0.5, 2.0);
  std::uniform_int_distribution<int> exponent(-1070, 1020);
  for (int i = 0; i < 1000000; i++) {
    double x = i % 3 ? std::ldexp(mantissa(rng), exponent(rng)) : 1.0 + (mantissa(rng) - 1.25) * 1e-7;
    ASSERT_LT(ulps(portable_log(x), std::log((long double)x)), 1.0) << x;
  }
  EXPECT_EQ(portable_log(1.0), 0.0);
  EXPECT_EQ(portable_log(0.0), -INFINITY);
  EXPECT_EQ(portable_log(INFINITY), INFINITY);
  EXPECT_TRUE(std::isnan(portable_log(-1.0)));
  for (double x : {0.5, 2.0, 10.0, 1e-300, 5e-324, 1.7976931348623157e308})
    EXPECT_LT(ulps(portable_log(x), std::log((long double)x)), 1.0) << x;
  // exp undoes log where both are exact to the ulp.
  EXPECT_EQ(portable_exp(portable_log(8.0) / 3.0), 2.0);
}

} // namespace
