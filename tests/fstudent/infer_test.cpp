// Forecast student inference against a double-precision reference: standardisation, padding
// of short series, quantile ordering and interpolation, and the single-level in-sample spread.
#include "fstudent/kernel.h"
#include "student_util.h"
#include "support/harness.h"
#include <algorithm>

namespace {

struct Student {
  fst::Spec spec;
  fcst_student st{};
  explicit Student(const fst::Spec &s) : spec(s) {
    auto b = fst::write_blob(s);
    char *m = nullptr;
    EXPECT_EQ(fcst_deserialize(b.data(), (int64_t)b.size(), &st, &m), SQLITE_OK) << (m ? m : "");
    sqlite3_free(m);
  }
  ~Student() { fcst_student_free(&st); }
};

// The interpolation rule of the quantile helper, written out independently.
double interp(const std::vector<float> &L, const std::vector<double> &V, double x) {
  size_t n = L.size();
  if (n == 1) return V[0];
  if (x <= L[0]) return V[0] + (V[1] - V[0]) / (L[1] - L[0]) * (x - L[0]);
  if (x >= L[n - 1]) return V[n - 1] + (V[n - 1] - V[n - 2]) / (L[n - 1] - L[n - 2]) * (x - L[n - 1]);
  size_t i = 1;
  while (x > L[i])
    i++;
  return V[i - 1] + (V[i] - V[i - 1]) * (x - L[i - 1]) / (L[i] - L[i - 1]);
}

std::vector<double> series(int n) {
  std::vector<double> v(n);
  for (int i = 0; i < n; i++)
    v[i] = 100 + 10 * std::sin(i * 0.7) + 0.5 * i + (i % 3);
  return v;
}

} // namespace

TEST(FcstInfer, StandardisesTheContextAndEvaluatesTheNetwork) {
  fst::Spec s;
  s.L = 5, s.H = 4, s.E = 3, s.Q = 2, s.levels = {0.25f, 0.75f};
  s.fill(11);
  Student st(s);
  std::vector<double> ctx{10, 12, 9, 15, 14};
  std::vector<float> in(5), hid(4), out(6);
  double mu, sd;
  fcst_infer(&st.st, ctx.data(), in.data(), hid.data(), out.data(), &mu, &sd);
  double rmu, rsd;
  std::vector<double> x;
  fst::ref_standardise(ctx, rmu, rsd, x);
  EXPECT_DOUBLE_EQ(mu, 12.0);
  EXPECT_NEAR(sd, std::sqrt((4 + 0 + 9 + 9 + 4) / 5.0), 1e-12);
  for (int i = 0; i < 5; i++)
    EXPECT_EQ(in[i], (float)x[i]);
  auto ref = fst::ref_forward(s, x);
  for (int k = 0; k < 6; k++)
    EXPECT_NEAR(out[k], ref[k], 1e-5) << k;
}

TEST(FcstInfer, ConstantContextUsesTheDeviationFloor) {
  fst::Spec s;
  s.L = 4, s.H = 0, s.E = 2, s.Q = 1, s.levels = {0.5f};
  s.fill(3);
  Student st(s);
  std::vector<double> ctx(4, 42.0);
  std::vector<float> in(4), out(2);
  float hid[1];
  double mu, sd;
  fcst_infer(&st.st, ctx.data(), in.data(), hid, out.data(), &mu, &sd);
  EXPECT_EQ(mu, 42.0);
  EXPECT_EQ(sd, 1e-9);
  for (float v : in)
    EXPECT_EQ(v, 0.0f);
  std::vector<double> c(4), u(4), l(4);
  ASSERT_EQ(fcst_run(2, 0.9, c.data(), l.data(), u.data(), &st.st, 4, ctx.data()), SQLITE_OK);
  auto ref = fst::ref_forward(s, std::vector<double>(4, 0.0));
  for (int k = 0; k < 2; k++)
    EXPECT_NEAR(c[k], 42.0 + ref[k] * 1e-9, 1e-12);
}

TEST(FcstRun, QuantilePathSortsAndInterpolates) {
  fst::Spec s;
  s.L = 6, s.H = 3, s.E = 4, s.Q = 3, s.levels = {0.1f, 0.5f, 0.9f};
  s.fill(5);
  Student st(s);
  auto v = series(20);
  const int steps = 3;
  std::vector<double> c(steps), lo(steps), hi(steps);
  ASSERT_EQ(fcst_run(steps, 0.8, c.data(), lo.data(), hi.data(), &st.st, 20, v.data()), SQLITE_OK);
  std::vector<double> ctx(v.end() - 6, v.end()), x;
  double mu, sd;
  fst::ref_standardise(ctx, mu, sd, x);
  auto o = fst::ref_forward(s, x);
  for (int k = 0; k < steps; k++) {
    std::vector<double> q{o[k * 3] * sd + mu, o[k * 3 + 1] * sd + mu, o[k * 3 + 2] * sd + mu};
    std::sort(q.begin(), q.end());
    double tol = 1e-4 * sd;
    EXPECT_NEAR(c[k], interp(s.levels, q, 0.5), tol);
    EXPECT_NEAR(lo[k], interp(s.levels, q, 0.1), tol);
    EXPECT_NEAR(hi[k], interp(s.levels, q, 0.9), tol);
    EXPECT_LE(lo[k], c[k]);
    EXPECT_LE(c[k], hi[k]);
  }
  // Levels 0.1/0.9 at confidence 0.95 extrapolate beyond the outer quantiles.
  std::vector<double> c2(1), lo2(1), hi2(1);
  ASSERT_EQ(fcst_run(1, 0.95, c2.data(), lo2.data(), hi2.data(), &st.st, 20, v.data()), SQLITE_OK);
  EXPECT_LE(lo2[0], lo[0]);
  EXPECT_GE(hi2[0], hi[0]);
}

TEST(FcstRun, ShortSeriesIsPaddedWithItsFirstValue) {
  fst::Spec s;
  s.L = 8, s.H = 2, s.E = 2, s.Q = 2, s.levels = {0.3f, 0.7f};
  s.fill(9);
  Student st(s);
  std::vector<double> v{5, 7, 6};
  std::vector<double> padded{5, 5, 5, 5, 5, 5, 7, 6};
  std::vector<double> c(2), lo(2), hi(2), c2(2), lo2(2), hi2(2);
  ASSERT_EQ(fcst_run(2, 0.5, c.data(), lo.data(), hi.data(), &st.st, 3, v.data()), SQLITE_OK);
  ASSERT_EQ(fcst_run(2, 0.5, c2.data(), lo2.data(), hi2.data(), &st.st, 8, padded.data()), SQLITE_OK);
  EXPECT_EQ(c, c2);
  EXPECT_EQ(lo, lo2);
  EXPECT_EQ(hi, hi2);
}

TEST(FcstRun, SingleLevelSpreadFromInSampleWindows) {
  fst::Spec s;
  s.L = 4, s.H = 3, s.E = 5, s.Q = 1, s.levels = {0.5f};
  s.fill(21);
  Student st(s);
  const int n = 23;
  auto v = series(n);
  std::vector<double> c(5), lo(5), hi(5);
  ASSERT_EQ(fcst_run(5, 0.9, c.data(), lo.data(), hi.data(), &st.st, n, v.data()), SQLITE_OK);
  // Brute force: windows start at 0, 2, 4, ... (stride E/2 = 2) while w + L + E <= n.
  std::vector<double> sum(5, 0.0);
  int count = 0;
  for (int w = 0; w + 4 + 5 <= n; w += 2) {
    std::vector<double> ctx(v.begin() + w, v.begin() + w + 4), x;
    double mu, sd;
    fst::ref_standardise(ctx, mu, sd, x);
    auto o = fst::ref_forward(s, x);
    for (int k = 0; k < 5; k++)
      sum[k] += std::pow(v[w + 4 + k] - (o[k] * sd + mu), 2);
    count++;
  }
  EXPECT_EQ(count, 8);
  std::vector<double> ctx(v.end() - 4, v.end()), x;
  double mu, sd;
  fst::ref_standardise(ctx, mu, sd, x);
  auto o = fst::ref_forward(s, x);
  const double z = 1.6448536269514722;
  for (int k = 0; k < 5; k++) {
    double centre = o[k] * sd + mu, spread = std::sqrt(sum[k] / count);
    EXPECT_NEAR(c[k], centre, 1e-4);
    EXPECT_NEAR(hi[k] - c[k], z * spread, 1e-4 * (1 + spread));
    EXPECT_NEAR(c[k] - lo[k], z * spread, 1e-4 * (1 + spread));
  }
}

TEST(FcstRun, SingleLevelWithoutWindowsUsesTheContextDeviation) {
  fst::Spec s;
  s.L = 4, s.H = 2, s.E = 5, s.Q = 1, s.levels = {0.5f};
  s.fill(2);
  Student st(s);
  auto v = series(8); // n < L + E: no window
  std::vector<double> c(3), lo(3), hi(3);
  ASSERT_EQ(fcst_run(3, 0.95, c.data(), lo.data(), hi.data(), &st.st, 8, v.data()), SQLITE_OK);
  std::vector<double> ctx(v.end() - 4, v.end()), x;
  double mu, sd;
  fst::ref_standardise(ctx, mu, sd, x);
  for (int k = 0; k < 3; k++)
    EXPECT_NEAR(hi[k] - c[k], 1.959963984540054 * sd, 1e-6 * sd);
}

TEST(FcstKernel, SameBitsAsTheForwardPass) {
  struct Shape {
    int L, H, E, Q;
    bool linear;
  };
  const Shape shapes[] = {{1, 0, 1, 1, true},  {3, 1, 2, 1, true},    {5, 7, 3, 2, false}, {64, 256, 14, 3, true},
                          {9, 17, 5, 3, true}, {70, 33, 1, 5, false}, {4, 0, 7, 3, true}};
  for (const Shape &sh : shapes) {
    fst::Spec s;
    s.L = sh.L, s.H = sh.H, s.E = sh.E, s.Q = sh.Q, s.linear = sh.linear;
    s.magic = sh.linear ? "VNFCST02" : "VNFCST01";
    s.levels.clear();
    for (int j = 0; j < sh.Q; j++)
      s.levels.push_back((j + 1.0f) / (sh.Q + 1.0f));
    s.fill(sh.L * 31 + sh.H);
    if (sh.H == 0 && !sh.linear) continue;
    Student st(s);
    fcst_kernel k;
    ASSERT_EQ(fcst_kernel_init(&k, &st.st.net), SQLITE_OK);
    const int O = sh.E * sh.Q;
    std::vector<float> x(sh.L), h1(sh.H + 1), h2(sh.H + 1), o1(O), o2(O);
    for (int trial = 0; trial < 5; trial++) {
      for (int i = 0; i < sh.L; i++)
        x[i] = (float)std::sin(i * 1.7 + trial) * (trial == 4 ? 1e30f : 2.0f);
      mlp_forward(&st.st.net, x.data(), h1.data(), o1.data());
      fcst_kernel_forward(&k, &st.st.net, x.data(), h2.data(), o2.data());
      ASSERT_EQ(0, std::memcmp(o1.data(), o2.data(), sizeof(float) * O)) << sh.L << "x" << sh.H << "x" << O;
      ASSERT_EQ(0, std::memcmp(h1.data(), h2.data(), sizeof(float) * sh.H));
    }
    fcst_kernel_free(&k);
  }
}
