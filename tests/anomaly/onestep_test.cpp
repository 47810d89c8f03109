// One-step scoring against independent computations: each forecast rebuilt from scratch from
// the points before it, and the spread as a two-pass population variance of earlier residuals.
#include "anomaly/score.h"
#include "support/harness.h"
#include <cmath>
#include <cstring>
#include <random>

namespace {

// Theta rule replayed over v[0..t-1] only.
double theta_oracle(const std::vector<double> &v, int t, int p) {
  double level = v[0];
  std::vector<double> sum(std::max(p, 1), 0), cnt(std::max(p, 1), 0);
  if (p >= 2) sum[0] = v[0], cnt[0] = 1;
  double total = v[0];
  double forecast = v[0];
  for (int u = 1; u <= t; u++) {
    int k = p >= 2 ? u % p : 0;
    double s = p >= 2 && cnt[k] >= 1 ? sum[k] / cnt[k] - total / u : 0;
    forecast = level + s;
    if (u == t) break;
    level += 0.3 * ((v[u] - s) - level);
    if (p >= 2) sum[k] += v[u], cnt[k] += 1;
    total += v[u];
  }
  return forecast;
}

double naive_oracle(const std::vector<double> &v, int t, int p) {
  double d = t >= 2 ? (v[t - 1] - v[0]) / (t - 1) : 0;
  return p < 1 || t < p ? v[t - 1] + d : v[t - p] + p * d;
}

struct Oracle {
  std::vector<double> forecast, sigma;
};

Oracle oracle(const std::vector<double> &v, an_model model, int p) {
  int n = (int)v.size();
  Oracle o{std::vector<double>(n), std::vector<double>(n, NAN)};
  o.forecast[0] = v[0];
  for (int t = 1; t < n; t++)
    o.forecast[t] = model == AN_MODEL_THETA ? theta_oracle(v, t, p) : naive_oracle(v, t, p);
  for (int t = 2; t < n; t++) {
    double mean = 0;
    for (int u = 1; u < t; u++)
      mean += v[u] - o.forecast[u];
    mean /= t - 1;
    double ss = 0;
    for (int u = 1; u < t; u++)
      ss += (v[u] - o.forecast[u] - mean) * (v[u] - o.forecast[u] - mean);
    o.sigma[t] = std::sqrt(ss / (t - 1));
  }
  return o;
}

std::vector<double> noisy_weekly(int n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> noise(0, 1);
  std::vector<double> v(n);
  for (int t = 0; t < n; t++)
    v[t] = 50 + 0.1 * t + 8 * std::sin(2 * M_PI * t / 7) + noise(gen);
  return v;
}

} // namespace

TEST(OneStep, AgreesWithIndependentReplay) {
  const double z = 2.5758293035489;
  for (an_model model : {AN_MODEL_THETA, AN_MODEL_SEASONAL_NAIVE}) {
    for (int p : {0, 7, 12}) {
      std::vector<double> v = noisy_weekly(120, 11 + p);
      v[60] += 25;
      std::vector<an_point> pts(v.size());
      an_score_one_step(v.data(), (int)v.size(), model, p, 0.99, z, pts.data());
      Oracle o = oracle(v, model, p);
      for (int t = 0; t < (int)v.size(); t++) {
        SCOPED_TRACE(testing::Message() << "model " << model << " p " << p << " t " << t);
        EXPECT_NEAR(pts[t].forecast, o.forecast[t], 1e-9 * (1 + std::fabs(o.forecast[t])));
        if (t < 8) {
          EXPECT_EQ(pts[t].scored, 0);
          EXPECT_EQ(pts[t].anomaly_probability, 0);
          continue;
        }
        ASSERT_EQ(pts[t].scored, 1);
        double s = o.sigma[t];
        EXPECT_NEAR(pts[t].upper_bound - pts[t].forecast, z * s, 1e-9 * s);
        EXPECT_NEAR(pts[t].forecast - pts[t].lower_bound, z * s, 1e-9 * s);
        double prob = std::erf(std::fabs(v[t] - o.forecast[t]) / s / std::sqrt(2.0));
        EXPECT_NEAR(pts[t].anomaly_probability, prob, 1e-9);
        EXPECT_EQ(pts[t].is_anomaly, pts[t].anomaly_probability > 0.99);
      }
      EXPECT_EQ(pts[60].is_anomaly, 1);
    }
  }
}

TEST(OneStep, HandComputedSeasonalNaive) {
  // Period 3, values with a clean repeating pattern plus drift: F[t] = v[t-3] + 3 d.
  std::vector<double> v = {1, 5, 3, 2, 6, 4, 3, 7, 5, 4};
  std::vector<an_point> pts(v.size());
  an_score_one_step(v.data(), 10, AN_MODEL_SEASONAL_NAIVE, 3, 0.99, 2, pts.data());
  EXPECT_EQ(pts[1].forecast, 1);           // v[0] + 0
  EXPECT_EQ(pts[2].forecast, 5 + 4.0);     // t < p: v[1] + (v[1] - v[0]) / 1
  EXPECT_EQ(pts[3].forecast, 1 + 3 * 1.0); // v[0] + 3 * (3 - 1) / 2
  EXPECT_EQ(pts[9].forecast, 3 + 3 * 0.5); // v[6] + 3 * (5 - 1) / 8
}

TEST(OneStep, ThetaWithoutSeasonIsSimpleSmoothing) {
  std::vector<double> v = {10, 20, 10, 20};
  std::vector<an_point> pts(4);
  an_score_one_step(v.data(), 4, AN_MODEL_THETA, 0, 0.99, 2, pts.data());
  EXPECT_EQ(pts[1].forecast, 10);
  EXPECT_DOUBLE_EQ(pts[2].forecast, 13);   // 10 + 0.3 * 10
  EXPECT_DOUBLE_EQ(pts[3].forecast, 12.1); // 13 + 0.3 * (10 - 13)
}

TEST(OneStep, ConstantSeriesIsNeverScored) {
  std::vector<double> v(30, 7.5);
  for (an_model model : {AN_MODEL_THETA, AN_MODEL_SEASONAL_NAIVE}) {
    std::vector<an_point> pts(30);
    an_score_one_step(v.data(), 30, model, 0, 0.99, 2.5, pts.data());
    for (const an_point &p : pts) {
      EXPECT_EQ(p.scored, 0);
      EXPECT_EQ(p.is_anomaly, 0);
      EXPECT_EQ(p.anomaly_probability, 0);
    }
  }
}

TEST(OneStep, NonFiniteValues) {
  // An infinite value makes its residual infinite: the spread after it is NaN, so nothing after
  // it is scored, and nothing crashes.
  std::vector<double> v = noisy_weekly(40, 5);
  v[20] = INFINITY;
  std::vector<an_point> pts(40);
  an_score_one_step(v.data(), 40, AN_MODEL_THETA, 0, 0.99, 2.5, pts.data());
  EXPECT_EQ(pts[19].scored, 1);
  EXPECT_EQ(pts[20].scored, 1);
  EXPECT_TRUE(std::isnan(pts[20].anomaly_probability) || pts[20].anomaly_probability == 1);
  for (int t = 21; t < 40; t++)
    EXPECT_EQ(pts[t].scored, 0) << t;
}

TEST(OneStep, ErfMatchesReference) {
  // Against the long-double error function everywhere, and bit for bit against the C library
  // whose operation order it follows, where this host has that library (x86-64 glibc before its
  // correctly rounded erf).
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> span(-7.0, 7.0);
  int mismatches = 0, checked = 0;
  for (int i = 0; i < 2000000; i++) {
    double x = i < 1000000 ? span(rng) : std::ldexp(span(rng), -(i % 60));
    double got = an_erf(x);
    ASSERT_NEAR(got, (double)std::erf((long double)x), 2e-16 * std::max(1.0, std::fabs(got))) << x;
#if defined(__x86_64__) && defined(__GLIBC__) && __GLIBC__ == 2 && __GLIBC_MINOR__ < 41
    checked++;
    if (got != std::erf(x)) mismatches++;
#endif
  }
  EXPECT_EQ(mismatches, 0) << "of " << checked;
  EXPECT_EQ(an_erf(0.0), 0.0);
  EXPECT_EQ(an_erf(6.0), 1.0);
  EXPECT_EQ(an_erf(-INFINITY), -1.0);
  EXPECT_TRUE(std::isnan(an_erf(NAN)));
}

// A hook asked at the first report stops the scoring of a long series; one that never asks to
// stop leaves every point as scored without a hook.
TEST(OneStep, StopsWhenCancelAsks) {
  std::vector<double> v = noisy_weekly(20000, 3);
  std::vector<an_point> plain(v.size()), hooked(v.size());
  Cancel stop{[](void *) { return 1; }};
  EXPECT_FALSE(an_score_one_step(v.data(), (int)v.size(), AN_MODEL_THETA, 7, 0.99, 2.5, hooked.data(), &stop));
  Cancel never{[](void *) { return 0; }};
  EXPECT_TRUE(an_score_one_step(v.data(), (int)v.size(), AN_MODEL_THETA, 7, 0.99, 2.5, hooked.data(), &never));
  EXPECT_TRUE(an_score_one_step(v.data(), (int)v.size(), AN_MODEL_THETA, 7, 0.99, 2.5, plain.data()));
  EXPECT_EQ(memcmp(plain.data(), hooked.data(), plain.size() * sizeof(an_point)), 0);
}
