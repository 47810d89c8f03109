// The numeric pieces of backtest, called directly: fold metrics against hand computations,
// conformal radii against a brute-force sort of the earlier folds, the point sort against a stable sort,
// the integer time rule and the series index.
#include "backtest/backtest.h"
#include "support/harness.h"
#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

TEST(BacktestMetrics, PointMetricsByHand) {
  // errors -1, 0, 0, -2; the third step has both values zero and adds no smape term.
  const double actual[] = {1, 2, 0, -1}, forecast[] = {2, 2, 0, 1};
  BtMetrics m{};
  bt_point_metrics(actual, forecast, 4, 0.5, &m);
  EXPECT_DOUBLE_EQ(m.mae, 0.75);
  EXPECT_DOUBLE_EQ(m.rmse, std::sqrt(1.25));
  EXPECT_DOUBLE_EQ(m.mase, 1.5);
  EXPECT_NEAR(m.smape, (2.0 / 3 + 0 + 0 + 2) / 4, 1e-15);
  bt_point_metrics(actual, forecast, 4, 0, &m);
  EXPECT_EQ(m.mase, 0);
}

TEST(BacktestMetrics, ConstantSeriesScoresZero) {
  const double v[] = {4, 4, 4, 4, 4};
  EXPECT_EQ(ts_mase_scale(v, 5), 0);
  EXPECT_EQ(ts_mase_scale(v, 1), 0);
  const double w[] = {1, 3, 2, 6};
  EXPECT_DOUBLE_EQ(ts_mase_scale(w, 4), (2 + 1 + 4) / 3.0);
  const double zeros[] = {0, 0, 0};
  BtMetrics m{};
  bt_point_metrics(zeros, zeros, 3, 0, &m);
  EXPECT_EQ(m.smape, 0);
  EXPECT_EQ(m.mae, 0);
}

TEST(BacktestMetrics, BandCoverageAndWidth) {
  const double actual[] = {1, 2, 3}, lower[] = {0, 2.5, 3}, upper[] = {1, 3, 4};
  BtMetrics m{};
  bt_band_metrics(actual, lower, upper, 3, &m);
  EXPECT_DOUBLE_EQ(m.coverage, 2.0 / 3);
  EXPECT_DOUBLE_EQ(m.width, 2.5 / 3);
  // A NaN band (a model without deviations) covers nothing and has no width.
  const double nan_band[] = {NAN, NAN, NAN};
  bt_band_metrics(actual, nan_band, nan_band, 3, &m);
  EXPECT_EQ(m.coverage, 0);
  EXPECT_TRUE(std::isnan(m.width));
}

TEST(BacktestMetrics, ConformalRadiiUseOnlyEarlierFolds) {
  std::mt19937 rng(7);
  for (int folds : {2, 3, 4, 7, 19, 20, 33}) {
    for (double level : {0.5, 0.8, 0.95, 0.999}) {
      const int h = 3;
      std::vector<double> err(folds * h);
      // Few distinct values, so ties are common.
      for (double &e : err)
        e = (double)(rng() % 6) * 0.5;
      std::vector<double> radius(folds * h, -1), work(2 * folds);
      bt_conformal_radii(err.data(), folds, h, level, radius.data(), work.data());
      for (int f = 0; f < folds; f++) {
        for (int k = 0; k < h; k++) {
          if (f < 3) {
            EXPECT_EQ(radius[f * h + k], -1) << "fold " << f << " has too few earlier folds";
            continue;
          }
          std::vector<double> at_step;
          for (int o = 0; o < f; o++)
            at_step.push_back(err[o * h + k]);
          std::sort(at_step.begin(), at_step.end());
          int q = std::max(std::min((int)std::ceil((f + 1) * level), f), 1);
          EXPECT_EQ(radius[f * h + k], at_step[q - 1]) << folds << " folds, level " << level;
        }
      }
    }
  }
}

TEST(BacktestMetrics, ConformalRadiiWithNaNFollowInsertionSort) {
  // Step errors 1, NaN, 2, 3, 0 at level 0.5. Fold 3 sees 1, NaN, 2 (an insertion sort leaves
  // the NaN where it fell) and takes the second; fold 4 sees 1, NaN, 2, 3 and takes the third.
  const double err[] = {1, NAN, 2, 3, 0};
  double radius[5], work[10];
  bt_conformal_radii(err, 5, 1, 0.5, radius, work);
  EXPECT_TRUE(std::isnan(radius[3]));
  EXPECT_EQ(radius[4], 2);
}

TEST(BacktestSeries, IntegerTimes) {
  int64_t ms = -7;
  EXPECT_EQ(series_time_from_integer(0, &ms), SERIES_TIME_OK);
  EXPECT_EQ(ms, 0);
  EXPECT_EQ(series_time_from_integer(1700000000, &ms), SERIES_TIME_OK);
  EXPECT_EQ(ms, 1700000000000);
  EXPECT_EQ(series_time_from_integer(99999999999, &ms), SERIES_TIME_OK);
  EXPECT_EQ(ms, 99999999999000);
  EXPECT_EQ(series_time_from_integer(100000000000, &ms), SERIES_TIME_OK);
  EXPECT_EQ(ms, 100000000000);
  EXPECT_EQ(series_time_from_integer(253402300799999, &ms), SERIES_TIME_OK);
  EXPECT_EQ(ms, 253402300799999);
  EXPECT_EQ(series_time_from_integer(253402300800000, &ms), SERIES_TIME_TOO_LATE);
  EXPECT_EQ(series_time_from_integer(-1, &ms), SERIES_TIME_NEGATIVE);
}

TEST(BacktestSeries, KeysInOrderOfFirstAppearance) {
  vt::Db db; // the host allocator
  BtSeriesList list{};
  std::vector<std::string> keys;
  for (int i = 0; i < 500; i++)
    keys.push_back("k" + std::to_string((i * 7919) % 500));
  keys.push_back(std::string("a\0b", 3));
  keys.push_back("a");
  keys.push_back("");
  for (int round = 0; round < 3; round++) {
    for (const auto &k : keys) {
      BtSeries *s = nullptr;
      ASSERT_EQ(bt_series_lookup(&list, k.data(), (int32_t)k.size(), &s), SQLITE_OK);
      ASSERT_EQ(series_append(&s->points, round, round), SQLITE_OK);
    }
  }
  ASSERT_EQ(list.count, (int)keys.size());
  for (size_t i = 0; i < keys.size(); i++) {
    EXPECT_EQ(std::string(list.items[i].key, list.items[i].key_len), keys[i]);
    EXPECT_EQ(list.items[i].points.count, 3);
  }
  bt_series_list_free(&list);
  EXPECT_EQ(list.items, nullptr);
}
