// The blocked neighbour search against a plain brute-force oracle written here: same slot
// rule (strictly greater distance displaces, earlier rows win ties), random data with ties,
// infinities and every remainder of the lane and group sizes.
#include "tabular/knn.h"
#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

struct Hit {
  double d;
  int64_t row;
};

std::vector<Hit> brute(const std::vector<std::vector<double>> &train, const std::vector<double> &q) {
  std::vector<Hit> slots(5, Hit{1e300, -1});
  for (size_t r = 0; r < train.size(); r++) {
    double d = 0;
    for (size_t f = 0; f < q.size(); f++)
      d += (q[f] - train[r][f]) * (q[f] - train[r][f]);
    for (int s = 0; s < 5; s++) {
      if (slots[s].d > d) {
        slots.insert(slots.begin() + s, Hit{d, (int64_t)r});
        slots.pop_back();
        break;
      }
    }
  }
  return slots;
}

void check(int rows, int features, int queries, unsigned seed, bool coarse, bool with_inf = false) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0, 1);
  std::uniform_int_distribution<int> small(-2, 2);
  auto value = [&] { return coarse ? (double)small(rng) : g(rng); };
  std::vector<std::vector<double>> train(rows, std::vector<double>(features));
  knn_matrix m{};
  m.features = features;
  for (int r = 0; r < rows; r++) {
    ASSERT_TRUE(knn_matrix_reserve_row(&m, 16));
    for (int f = 0; f < features; f++)
      knn_at(&m, r, f) = train[r][f] = value();
    if (with_inf && r % 7 == 3) knn_at(&m, r, 0) = train[r][0] = INFINITY;
    m.rows++;
  }
  knn_matrix_seal(&m);
  std::vector<double> apply(queries * features);
  for (double &v : apply)
    v = value();
  std::vector<knn_hit> out(queries * 5);
  knn5_search(&m, apply.data(), queries, out.data());
  for (int q = 0; q < queries; q++) {
    std::vector<double> qv(apply.begin() + q * features, apply.begin() + (q + 1) * features);
    std::vector<Hit> want = brute(train, qv);
    for (int s = 0; s < 5; s++) {
      ASSERT_EQ(out[q * 5 + s].row, want[s].row) << "rows " << rows << " query " << q << " slot " << s;
      if (want[s].row >= 0) {
        ASSERT_EQ(out[q * 5 + s].distance, want[s].d); // bit-identical sums
      }
    }
  }
  knn_matrix_free(&m);
}

} // namespace

TEST(KnnSearch, MatchesBruteForceOnRandomData) {
  for (int rows : {1, 5, 7, 8, 9, 31, 2100, 5000})
    for (int queries : {1, 3, 4, 5, 9})
      check(rows, 16, queries, 1000u + rows + queries, false);
  for (int features : {1, 2, 3, 4, 5, 8, 13, 64})
    check(700, features, 6, 77u + features, false);
}

TEST(KnnSearch, TiesKeepEarlierRowsAndInfinitiesNeverEnter) {
  // Coarse integer grids give many equal distances.
  for (int rows : {6, 40, 3000})
    check(rows, 3, 11, 5u + rows, true);
  check(300, 4, 9, 99u, true, true);
  check(3000, 2, 9, 98u, false, true);
}

TEST(KnnSearch, TooFewUsableRowsLeaveEmptySlots) {
  knn_matrix m{};
  m.features = 1;
  double values[] = {1.0, NAN, INFINITY, 2.0};
  for (double v : values) {
    ASSERT_TRUE(knn_matrix_reserve_row(&m, 16));
    knn_at(&m, m.rows, 0) = v;
    m.rows++;
  }
  knn_matrix_seal(&m);
  double q = 0.0;
  knn_hit out[5];
  knn5_search(&m, &q, 1, out);
  EXPECT_EQ(out[0].row, 0);
  EXPECT_EQ(out[1].row, 3);
  EXPECT_EQ(out[2].row, -1);
  EXPECT_EQ(out[4].distance, 1e300);
  knn_matrix_free(&m);
}

TEST(KnnSearch, StopsWhenAskedAndOtherwiseAnswersTheSame) {
  struct StopAt {
    int looks = 0, at;
    static int poll(void *self) { return ++((StopAt *)self)->looks >= ((StopAt *)self)->at; }
  };
  const int rows = 5000, F = 16, queries = 400;
  std::mt19937 rng(11);
  std::normal_distribution<double> g(0, 1);
  knn_matrix m{};
  m.features = F;
  for (int r = 0; r < rows; r++) {
    ASSERT_TRUE(knn_matrix_reserve_row(&m, 16));
    for (int f = 0; f < F; f++)
      knn_at(&m, r, f) = g(rng);
    m.rows++;
  }
  knn_matrix_seal(&m);
  std::vector<double> apply(queries * F);
  for (double &v : apply)
    v = g(rng);
  std::vector<knn_hit> plain(queries * 5), hooked(queries * 5);
  EXPECT_TRUE(knn5_search(&m, apply.data(), queries, plain.data()));
  StopAt never{0, 1 << 30};
  Cancel c{StopAt::poll, &never, 0, false};
  EXPECT_TRUE(knn5_search(&m, apply.data(), queries, hooked.data(), &c));
  EXPECT_GT(never.looks, 10); // 41 million distance terms: looked at about every million
  for (int i = 0; i < queries * 5; i++) {
    EXPECT_EQ(hooked[i].row, plain[i].row);
    EXPECT_EQ(hooked[i].distance, plain[i].distance);
  }
  StopAt soon{0, 3};
  c = Cancel{StopAt::poll, &soon, 0, false};
  EXPECT_FALSE(knn5_search(&m, apply.data(), queries, hooked.data(), &c));
  EXPECT_EQ(soon.looks, 3);
  knn_matrix_free(&m);
}
