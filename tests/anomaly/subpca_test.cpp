// Sub-PCA numerics against independent checks: the eigen-decomposition by its defining
// equations, and the whole scoring against a plain transcription of the method written here.
#include "anomaly/subpca.h"
#include "support/harness.h"
#include <algorithm>
#include <cmath>
#include <random>

namespace {

using Matrix = std::vector<double>;

Matrix random_symmetric(int n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1, 1);
  Matrix a((size_t)n * n);
  for (int i = 0; i < n; i++)
    for (int j = i; j < n; j++)
      a[(size_t)i * n + j] = a[(size_t)j * n + i] = u(gen);
  return a;
}

// The method as written: full matrix, columns then rows then eigenvector columns, the
// eigenvector matrix kept in its natural (column = vector) layout.
int literal_jacobi(Matrix &a, Matrix &v, int n) {
  v.assign((size_t)n * n, 0);
  for (int i = 0; i < n; i++)
    v[(size_t)i * n + i] = 1;
  auto at = [n](Matrix &m, int r, int c) -> double & { return m[(size_t)r * n + c]; };
  int sweeps = 0;
  for (int sweep = 0; sweep < 60; sweep++) {
    double off = 0;
    for (int p = 0; p < n; p++)
      for (int q = p + 1; q < n; q++)
        off += at(a, p, q) * at(a, p, q);
    if (off < 1e-30) break;
    sweeps++;
    for (int p = 0; p < n; p++)
      for (int q = p + 1; q < n; q++) {
        double apq = at(a, p, q);
        if (std::fabs(apq) < 1e-300) continue;
        double theta = 0.5 * std::atan2(2 * apq, at(a, q, q) - at(a, p, p));
        double co = std::cos(theta), si = std::sin(theta);
        for (int i = 0; i < n; i++) {
          double x = at(a, i, p), y = at(a, i, q);
          at(a, i, p) = co * x - si * y;
          at(a, i, q) = si * x + co * y;
        }
        for (int j = 0; j < n; j++) {
          double x = at(a, p, j), y = at(a, q, j);
          at(a, p, j) = co * x - si * y;
          at(a, q, j) = si * x + co * y;
        }
        for (int i = 0; i < n; i++) {
          double x = at(v, i, p), y = at(v, i, q);
          at(v, i, p) = co * x - si * y;
          at(v, i, q) = si * x + co * y;
        }
      }
  }
  return sweeps;
}

// The whole scoring as written, with the literal Jacobi.
std::vector<double> literal_probabilities(const std::vector<double> &v, int L) {
  int n = (int)v.size(), K = n - L + 1;
  std::vector<double> mean(L), spread(L);
  for (int j = 0; j < L; j++) {
    double s = 0, sq = 0;
    for (int i = 0; i < K; i++) {
      s += v[i + j];
      sq += v[i + j] * v[i + j];
    }
    mean[j] = s / K;
    double var = sq / K - mean[j] * mean[j];
    spread[j] = var > 1e-12 ? std::sqrt(var) : 1;
  }
  auto zval = [&](int i, int j) { return (v[i + j] - mean[j]) / spread[j]; };
  Matrix a((size_t)L * L, 0);
  for (int j = 0; j < L; j++)
    for (int k = 0; k < L; k++) {
      double s = 0;
      for (int i = 0; i < K; i++)
        s += zval(i, j) * zval(i, k);
      a[(size_t)j * L + k] = s / (K - 1);
    }
  Matrix vec;
  literal_jacobi(a, vec, L);
  std::vector<int> order(L);
  for (int i = 0; i < L; i++)
    order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](int x, int y) { return a[(size_t)x * L + x] > a[(size_t)y * L + y]; });
  int kept = std::clamp((int)(0.3 * L + 0.5), 1, L);
  std::vector<double> wscore(K);
  for (int i = 0; i < K; i++) {
    double norm = 0, cap = 0;
    for (int j = 0; j < L; j++)
      norm += zval(i, j) * zval(i, j);
    for (int c = 0; c < kept; c++) {
      double d = 0;
      for (int j = 0; j < L; j++)
        d += vec[(size_t)j * L + order[c]] * zval(i, j);
      cap += d * d;
    }
    wscore[i] = norm - cap > 0 ? norm - cap : 0;
  }
  std::vector<std::pair<double, int>> rank(n);
  for (int t = 0; t < n; t++)
    rank[t] = {wscore[std::clamp(t - L / 2, 0, K - 1)], t};
  std::sort(rank.begin(), rank.end());
  std::vector<double> prob(n);
  for (int r = 0; r < n; r++)
    prob[rank[r].second] = n == 1 ? 0 : (double)r / (n - 1);
  return prob;
}

std::vector<double> seasonal_series(int n, int period, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> noise(0, 0.3);
  std::vector<double> v(n);
  for (int t = 0; t < n; t++)
    v[t] = 5 + std::sin(2 * M_PI * t / period) + 0.002 * t + noise(gen);
  return v;
}

} // namespace

TEST(SubpcaJacobi, EigenpairsOfRandomSymmetricMatrices) {
  for (int n : {2, 3, 7, 24, 64, 125, 303}) {
    Matrix a = random_symmetric(n, 1000 + n), work = a, vt((size_t)n * n);
    int sweeps = subpca_jacobi(work.data(), vt.data(), n);
    EXPECT_GT(sweeps, 0);
    EXPECT_LT(sweeps, 60) << "n=" << n;
    double worst_residual = 0, worst_ortho = 0;
    for (int k = 0; k < n; k++) {
      const double *u = &vt[(size_t)k * n];
      double lambda = work[(size_t)k * n + k];
      for (int i = 0; i < n; i++) {
        double av = 0;
        for (int j = 0; j < n; j++)
          av += a[(size_t)i * n + j] * u[j];
        worst_residual = std::max(worst_residual, std::fabs(av - lambda * u[i]));
      }
      for (int m = k; m < n; m++) {
        double dot = 0;
        for (int j = 0; j < n; j++)
          dot += u[j] * vt[(size_t)m * n + j];
        worst_ortho = std::max(worst_ortho, std::fabs(dot - (m == k ? 1.0 : 0.0)));
      }
    }
    EXPECT_LT(worst_residual, 1e-10) << "n=" << n;
    EXPECT_LT(worst_ortho, 1e-10) << "n=" << n;
    // The trace is kept by similarity transforms.
    double trace = 0, eig_sum = 0;
    for (int i = 0; i < n; i++)
      trace += a[(size_t)i * n + i], eig_sum += work[(size_t)i * n + i];
    EXPECT_NEAR(trace, eig_sum, 1e-9 * n);
  }
}

TEST(SubpcaJacobi, SameBitsAsTheLiteralMethod) {
  for (int n : {5, 40, 130}) {
    Matrix a = random_symmetric(n, 7 + n), ref = a, vref, vt((size_t)n * n);
    int sweeps = subpca_jacobi(a.data(), vt.data(), n);
    EXPECT_EQ(sweeps, literal_jacobi(ref, vref, n));
    int mismatches = 0;
    for (int i = 0; i < n; i++)
      for (int j = 0; j < n; j++) {
        mismatches += a[(size_t)i * n + j] != ref[(size_t)i * n + j];
        mismatches += vt[(size_t)j * n + i] != vref[(size_t)i * n + j];
      }
    EXPECT_EQ(mismatches, 0) << "n=" << n;
  }
}

TEST(SubpcaJacobi, DiagonalAndTinyEntries) {
  // Already diagonal: no sweep, identity eigenvectors.
  Matrix a = {3, 0, 0, 0, 1, 0, 0, 0, 2}, vt(9);
  EXPECT_EQ(subpca_jacobi(a.data(), vt.data(), 3), 0);
  EXPECT_EQ(vt, (Matrix{1, 0, 0, 0, 1, 0, 0, 0, 1}));
  // Off-diagonal entries whose squares sum below the stop limit end the iteration at once.
  Matrix b = {1, 1e-301, 1e-301, 2}, vb(4);
  EXPECT_EQ(subpca_jacobi(b.data(), vb.data(), 2), 0);
  EXPECT_EQ(b[1], 1e-301);
  // A 2x2 matrix is diagonalised by one rotation: eigenvalues 1 and 3 of [[2,1],[1,2]].
  Matrix c = {2, 1, 1, 2}, vc(4);
  EXPECT_EQ(subpca_jacobi(c.data(), vc.data(), 2), 1);
  EXPECT_NEAR(std::min(c[0], c[3]), 1, 1e-15);
  EXPECT_NEAR(std::max(c[0], c[3]), 3, 1e-15);
  EXPECT_NEAR(std::fabs(vc[0]), std::sqrt(0.5), 1e-15);
}

TEST(SubpcaOrder, DescendingWithStableTies) {
  double eig[6] = {1, 5, 3, 5, -2, 3};
  int32_t order[6];
  subpca_component_order(eig, 6, order);
  EXPECT_EQ(std::vector<int32_t>(order, order + 6), (std::vector<int32_t>{1, 3, 2, 5, 0, 4}));
}

TEST(SubpcaRank, ScoreThenIndex) {
  SubpcaRank a{1.0, 4}, b{1.0, 2}, c{0.5, 9}, d{NAN, 1};
  EXPECT_LT(subpca_rank_cmp(&c, &a), 0);
  EXPECT_GT(subpca_rank_cmp(&a, &c), 0);
  EXPECT_GT(subpca_rank_cmp(&a, &b), 0);
  EXPECT_LT(subpca_rank_cmp(&b, &a), 0);
  EXPECT_EQ(subpca_rank_cmp(&a, &a), 0);
  // Incomparable scores fall back to the index.
  EXPECT_LT(subpca_rank_cmp(&d, &a), 0);
  EXPECT_GT(subpca_rank_cmp(&a, &d), 0);
}

TEST(SubpcaWindow, PeriodRule) {
  EXPECT_EQ(subpca_window_length(4096, 0), 125);
  EXPECT_EQ(subpca_window_length(4096, 5), 125);
  EXPECT_EQ(subpca_window_length(4096, 6), 6);
  EXPECT_EQ(subpca_window_length(4096, 303), 303);
  EXPECT_EQ(subpca_window_length(4096, 304), 125);
  EXPECT_EQ(subpca_window_length(100, 0), 50);
  EXPECT_EQ(subpca_window_length(8, 0), 4);
  EXPECT_EQ(subpca_window_length(3, 0), 1);
}

TEST(SubpcaProbabilities, MatchesTheLiteralMethod) {
  struct Case {
    int n, period, L;
  } cases[] = {{8, 0, 4}, {60, 12, 12}, {300, 24, 24}, {400, 0, 125}, {700, 50, 50}};
  for (const Case &c : cases) {
    std::vector<double> v = c.period ? seasonal_series(c.n, c.period, c.n) : seasonal_series(c.n, 37, c.n);
    if (c.n > 300) v[c.n / 3] += 6; // a spike
    std::vector<double> got(c.n);
    ASSERT_EQ(subpca_probabilities(v.data(), c.n, c.L, got.data()), SUBPCA_OK);
    std::vector<double> want = literal_probabilities(v, c.L);
    EXPECT_EQ(got, want) << "n=" << c.n << " L=" << c.L;
  }
}

TEST(SubpcaProbabilities, RanksAndEdgeCases) {
  std::vector<double> v = seasonal_series(200, 24, 3);
  v[120] += 8;
  std::vector<double> prob(200);
  ASSERT_EQ(subpca_probabilities(v.data(), 200, 24, prob.data()), SUBPCA_OK);
  // Every rank 0..n-1 appears once; the spike's neighbourhood ranks highest.
  std::vector<double> sorted = prob;
  std::sort(sorted.begin(), sorted.end());
  for (int r = 0; r < 200; r++)
    EXPECT_EQ(sorted[r], r / 199.0);
  int top = (int)(std::max_element(prob.begin(), prob.end()) - prob.begin());
  EXPECT_GE(top, 120 - 12);
  EXPECT_LE(top, 120 + 12);
  // Equal scores: a constant series scores 0 everywhere, so ranks follow the index.
  std::vector<double> flat(10, 4.0), fp(10);
  ASSERT_EQ(subpca_probabilities(flat.data(), 10, 5, fp.data()), SUBPCA_OK);
  for (int t = 0; t < 10; t++)
    EXPECT_EQ(fp[t], t / 9.0);
  // Too short: a window below 2.
  EXPECT_EQ(subpca_probabilities(flat.data(), 3, 1, fp.data()), SUBPCA_TOO_SHORT);
  EXPECT_EQ(subpca_probabilities(flat.data(), 1, 0, fp.data()), SUBPCA_TOO_SHORT);
}
