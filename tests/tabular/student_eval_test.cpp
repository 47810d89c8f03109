// One-row student evaluation: tree walks with their strict comparison and cycle limits, boosted
// scores with ties and softmax confidence, and the perceptron against a long-double oracle.
#include "student_test_util.h"
#include <cmath>
#include <random>

namespace {

struct RowOut {
  int rc;
  std::string text;
  double confidence;
  int has;
};

RowOut eval_tree(const tree_model &t, std::vector<float> x) {
  char *text = nullptr;
  RowOut r{};
  r.rc = tree_eval_row(&t, x.data(), &text, &r.confidence, &r.has);
  r.text = text ? text : "<null>";
  sqlite3_free(text);
  return r;
}

RowOut eval_forest(const forest_model &f, std::vector<float> x) {
  std::vector<double> scores(f.output_count);
  char *text = nullptr;
  RowOut r{};
  r.rc = forest_eval_row(&f, x.data(), scores.data(), &text, &r.confidence, &r.has);
  r.text = text ? text : "<null>";
  sqlite3_free(text);
  return r;
}

RowOut eval_mlp(const mlp_model &m, std::vector<float> x) {
  std::vector<float> h(m.hidden_count + 1), o(m.output_count);
  char *text = nullptr;
  RowOut r{};
  r.rc = mlp_eval_row(&m, x.data(), h.data(), o.data(), &text, &r.confidence, &r.has);
  r.text = text ? text : "<null>";
  sqlite3_free(text);
  return r;
}

} // namespace

TEST(TreeEval, LeafOutputsAndStrictThreshold) {
  st::LeakCheck leak;
  tree_model t{};
  t.task = STUDENT_CLASSIFY;
  t.feature_count = 2;
  t.class_count = 2;
  t.class_labels = st::host_names({"no", "yes"});
  t.node_count = 3;
  t.nodes = st::host_copy<tree_node>({st::split(1, 2.5f, 1, 2), st::leaf(0, 1, 0.8125f), st::leaf(0, 0, 0.3f)});
  RowOut r = eval_tree(t, {0.0f, 2.4f});
  EXPECT_EQ(r.text, "yes");
  EXPECT_EQ(r.confidence, (double)0.8125f);
  EXPECT_EQ(r.has, 1);
  r = eval_tree(t, {0.0f, 2.5f}); // equal to the threshold: right
  EXPECT_EQ(r.text, "no");
  EXPECT_EQ(r.confidence, (double)0.3f); // the stored binary32 confidence, widened
  // 2.5000001 as a double rounds to 2.5 in binary32, so it also goes right.
  EXPECT_EQ(eval_tree(t, {0.0f, (float)2.5000001}).text, "no");
  tree_free(&t);

  tree_model reg{};
  reg.task = STUDENT_REGRESS;
  reg.feature_count = 1;
  reg.node_count = 1;
  reg.nodes = st::host_copy<tree_node>({st::leaf(2.5f, 777)});
  r = eval_tree(reg, {-1e30f});
  EXPECT_EQ(r.text, "2.5");
  EXPECT_EQ(r.has, 0);
  reg.nodes[0].leaf_value = 0.1f;
  EXPECT_EQ(eval_tree(reg, {0}).text, "0.10000000149011612");
  tree_free(&reg);
}

TEST(TreeEval, CyclesEndTheWalk) {
  st::LeakCheck leak;
  tree_model t{};
  t.task = STUDENT_REGRESS;
  t.feature_count = 1;
  t.node_count = 3;
  // 0 -> 1 -> 0 for small values; 0 -> 2 (leaf) otherwise.
  t.nodes = st::host_copy<tree_node>({st::split(0, 0.0f, 1, 2), st::split(0, 5.0f, 0, 0), st::leaf(4.0f)});
  EXPECT_EQ(tree_walk(&t, std::vector<float>{1.0f}.data()), 2);
  EXPECT_EQ(tree_walk(&t, std::vector<float>{-1.0f}.data()), -1);
  RowOut r = eval_tree(t, {-1.0f});
  EXPECT_EQ(r.rc, SQLITE_ERROR);
  EXPECT_EQ(r.text, "<null>");
  // The same nodes as a boosted tree contribute 0.0.
  EXPECT_EQ(reg_tree_value(t.nodes, 3, std::vector<float>{-1.0f}.data()), 0.0f);
  EXPECT_EQ(reg_tree_value(t.nodes, 3, std::vector<float>{1.0f}.data()), 4.0f);
  tree_free(&t);
}

TEST(TreeEval, LongestChainIsReached) {
  // A chain of N nodes needs N visits; the limit is N + 1.
  st::LeakCheck leak;
  const int N = 50;
  tree_model t{};
  t.task = STUDENT_REGRESS;
  t.feature_count = 1;
  t.node_count = N;
  std::vector<tree_node> nodes;
  for (int i = 0; i < N - 1; i++)
    nodes.push_back(st::split(0, -1.0f, 0, i + 1));
  nodes.push_back(st::leaf(7.0f));
  t.nodes = st::host_copy(nodes);
  EXPECT_EQ(tree_walk(&t, std::vector<float>{0.0f}.data()), N - 1);
  EXPECT_EQ(reg_tree_value(t.nodes, N, std::vector<float>{0.0f}.data()), 7.0f);
  tree_free(&t);
}

TEST(ForestEval, TiesConfidenceAndRegressionSum) {
  st::LeakCheck leak;
  // Three outputs, one round of single-leaf trees: scores 1, 0, 1 tie between 0 and 2.
  forest_model f{};
  f.task = STUDENT_CLASSIFY;
  f.feature_count = 1;
  f.class_count = 3;
  f.class_labels = st::host_names({"a", "b", "c"});
  f.output_count = 3;
  f.rounds = 1;
  f.learning_rate = 0.5f;
  f.initial_scores = st::host_copy<float>({0.0f, 0.0f, 0.0f});
  f.tree_count = 3;
  f.tree_offsets = st::host_copy<int32_t>({0, 1, 2, 3});
  f.nodes = st::host_copy<tree_node>({st::leaf(2.0f), st::leaf(0.0f), st::leaf(2.0f)});
  RowOut r = eval_forest(f, {0});
  EXPECT_EQ(r.text, "a");
  EXPECT_EQ(r.has, 1);
  EXPECT_NEAR(r.confidence, 1.0 / (2.0 + std::exp(-1.0)), 1e-15);
  // All outputs equal: confidence 1 / K.
  f.nodes[0].leaf_value = f.nodes[1].leaf_value = f.nodes[2].leaf_value = 0.0f;
  r = eval_forest(f, {0});
  EXPECT_EQ(r.text, "a");
  EXPECT_NEAR(r.confidence, 1.0 / 3.0, 1e-15);
  forest_free(&f);
  forest_free(&f);

  // Regression: initial 1.5 plus 0.25 x each tree's leaf; a stump on x.
  forest_model g{};
  g.task = STUDENT_REGRESS;
  g.feature_count = 1;
  g.output_count = 1;
  g.rounds = 2;
  g.learning_rate = 0.25f;
  g.initial_scores = st::host_copy<float>({1.5f});
  g.tree_count = 2;
  g.tree_offsets = st::host_copy<int32_t>({0, 3, 4});
  g.nodes = st::host_copy<tree_node>({st::split(0, 10.0f, 1, 2), st::leaf(4.0f), st::leaf(-8.0f), st::leaf(2.0f)});
  r = eval_forest(g, {3.0f});
  EXPECT_EQ(r.text, "3");
  EXPECT_EQ(r.has, 0);
  EXPECT_EQ(eval_forest(g, {10.0f}).text, "0");
  forest_free(&g);
}

TEST(MlpEval, ForwardMatchesOracle) {
  st::LeakCheck leak;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  const int I = 5, H = 7, O = 3;
  mlp_model m{};
  m.task = STUDENT_CLASSIFY;
  m.input_count = I;
  m.hidden_count = H;
  m.output_count = O;
  m.class_count = O;
  m.class_labels = st::host_names({"x", "y", "z"});
  std::vector<float> mean(I), scale(I), w1(H * I), b1(H), w2(O * H), b2(O);
  for (auto *v : {&mean, &w1, &b1, &w2, &b2})
    for (float &x : *v)
      x = u(rng);
  for (float &x : scale)
    x = 0.5f + std::fabs(u(rng));
  m.input_mean = st::host_copy(mean);
  m.input_scale = st::host_copy(scale);
  m.hidden_weights = st::host_copy(w1);
  m.hidden_bias = st::host_copy(b1);
  m.output_weights = st::host_copy(w2);
  m.output_bias = st::host_copy(b2);

  for (int trial = 0; trial < 20; trial++) {
    std::vector<float> x(I);
    for (float &v : x)
      v = 3.0f * u(rng);
    for (int with_skip = 0; with_skip < 2; with_skip++) {
      std::vector<float> skip(O * I);
      for (float &v : skip)
        v = u(rng);
      sqlite3_free(m.skip_weights);
      m.skip_weights = with_skip ? st::host_copy(skip) : nullptr;
      std::vector<float> h(H), o(O);
      mlp_forward(&m, x.data(), h.data(), o.data());
      long double z[I], hh[H];
      for (int i = 0; i < I; i++)
        z[i] = ((long double)x[i] - mean[i]) / scale[i];
      for (int j = 0; j < H; j++) {
        long double a = b1[j];
        for (int i = 0; i < I; i++)
          a += z[i] * w1[j * I + i];
        hh[j] = std::tanh(a);
        EXPECT_NEAR(h[j], (double)hh[j], 1e-6);
      }
      long double s = with_skip ? 0.1L : 1.0L;
      for (int k = 0; k < O; k++) {
        long double acc = 0;
        for (int j = 0; j < H; j++)
          acc += (long double)w2[k * H + j] * (float)hh[j];
        long double out = b2[k] + s * acc;
        if (with_skip)
          for (int i = 0; i < I; i++)
            out += z[i] * skip[k * I + i];
        EXPECT_NEAR(o[k], (double)out, 1e-5);
      }
    }
  }
  mlp_free(&m);
}

TEST(MlpEval, SkipBlockOfZerosScalesTheHiddenPath) {
  st::LeakCheck leak;
  mlp_model m{};
  m.task = STUDENT_REGRESS;
  m.input_count = 1;
  m.hidden_count = 2;
  m.output_count = 1;
  m.input_mean = st::host_copy<float>({0.0f});
  m.input_scale = st::host_copy<float>({1.0f});
  m.hidden_weights = st::host_copy<float>({1.0f, -1.0f});
  m.hidden_bias = st::host_copy<float>({0.0f, 0.0f});
  m.output_weights = st::host_copy<float>({2.0f, 1.0f});
  m.output_bias = st::host_copy<float>({0.0f});
  // x = 0: hidden units are tanh(0) = 0, output is the bias.
  EXPECT_EQ(eval_mlp(m, {0.0f}).text, "0");
  float h[2], o[1];
  float x = 1.0f;
  mlp_forward(&m, &x, h, o);
  float plain = o[0];
  EXPECT_FLOAT_EQ(plain, (float)(2 * std::tanh(1.0) - std::tanh(1.0)));
  m.skip_weights = st::host_copy<float>({0.0f});
  mlp_forward(&m, &x, h, o);
  EXPECT_FLOAT_EQ(o[0], 0.1f * plain);
  RowOut r = eval_mlp(m, {1.0f});
  EXPECT_EQ(r.has, 0);
  EXPECT_EQ(std::stod(r.text), (double)o[0]);
  mlp_free(&m);
}

TEST(MlpEval, ClassificationWinnerAndConfidence) {
  st::LeakCheck leak;
  // No hidden path influence (zero output weights): outputs are the biases.
  mlp_model m{};
  m.task = STUDENT_CLASSIFY;
  m.input_count = 1;
  m.hidden_count = 1;
  m.output_count = 3;
  m.class_count = 3;
  m.class_labels = st::host_names({"p", "q", "r"});
  m.input_mean = st::host_copy<float>({0.0f});
  m.input_scale = st::host_copy<float>({1.0f});
  m.hidden_weights = st::host_copy<float>({1.0f});
  m.hidden_bias = st::host_copy<float>({0.0f});
  m.output_weights = st::host_copy<float>({0.0f, 0.0f, 0.0f});
  m.output_bias = st::host_copy<float>({1.0f, 3.0f, 3.0f});
  RowOut r = eval_mlp(m, {0.5f});
  EXPECT_EQ(r.text, "q"); // first of the tied maxima
  EXPECT_EQ(r.has, 1);
  EXPECT_NEAR(r.confidence, 1.0 / (2.0 + std::exp(-2.0)), 1e-15);
  mlp_free(&m);
}

TEST(MlpEval, LinearNetworkWithoutHiddenUnits) {
  // The forecast students may have H = 0: only biases and the skip block remain.
  st::LeakCheck leak;
  mlp_model m{};
  m.task = STUDENT_REGRESS;
  m.input_count = 2;
  m.output_count = 1;
  m.input_mean = st::host_copy<float>({1.0f, 1.0f});
  m.input_scale = st::host_copy<float>({2.0f, 4.0f});
  m.output_bias = st::host_copy<float>({0.5f});
  m.skip_weights = st::host_copy<float>({1.0f, 2.0f});
  float x[2] = {3.0f, 5.0f}, o[1];
  mlp_forward(&m, x, nullptr, o);
  EXPECT_EQ(o[0], 0.5f + 1.0f + 2.0f);
  mlp_free(&m);
}

// Many trees of mixed depth (walked several at a time) against the sequential definition: the
// running sum of learning rate x reg_tree_value in tree order; a cyclic tree adds 0.
TEST(ForestEval, ManyMixedTreesMatchTheSequentialSum) {
  st::LeakCheck leak;
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (int task : {STUDENT_CLASSIFY, STUDENT_REGRESS}) {
    const int K = task == STUDENT_CLASSIFY ? 3 : 1, R = 7, F = 4;
    forest_model f{};
    f.task = task;
    f.feature_count = F;
    f.class_count = task == STUDENT_CLASSIFY ? 3 : 0;
    f.class_labels = task == STUDENT_CLASSIFY ? st::host_names({"a", "b", "c"}) : nullptr;
    f.output_count = K;
    f.rounds = R;
    f.learning_rate = 0.3f;
    f.initial_scores = st::host_copy<float>(std::vector<float>(K, 0.25f));
    f.tree_count = R * K;
    std::vector<int32_t> offsets{0};
    std::vector<tree_node> nodes;
    for (int t = 0; t < R * K; t++) {
      std::vector<tree_node> tree;
      if (t % 5 == 0) {
        tree = {st::leaf(u(rng))};
      } else if (t % 7 == 3) { // a cycle on the left branch
        tree = {st::split(0, 0.0f, 1, 2), st::split(1, 0.0f, 0, 0), st::leaf(u(rng))};
      } else {
        tree = {st::split(t % F, u(rng), 1, 4), st::split((t + 1) % F, u(rng), 2, 3), st::leaf(u(rng)),
                st::leaf(u(rng)), st::leaf(u(rng))};
      }
      nodes.insert(nodes.end(), tree.begin(), tree.end());
      offsets.push_back((int32_t)nodes.size());
    }
    f.tree_offsets = st::host_copy(offsets);
    f.nodes = st::host_copy(nodes);
    // The batched scorer gives the same texts and confidences as the row-at-a-time one.
    {
      const int rows = 37;
      std::vector<float> xs(rows * 6);
      for (float &v : xs)
        v = u(rng);
      std::vector<double> scores(rows * K);
      forest_score_rows(&f, xs.data(), 6, rows, scores.data());
      for (int r = 0; r < rows; r++) {
        char *text = nullptr;
        double conf = 0;
        int has = 0;
        ASSERT_EQ(forest_row_result(&f, scores.data() + r * K, &text, &conf, &has), SQLITE_OK);
        RowOut one = eval_forest(f, std::vector<float>(xs.begin() + r * 6, xs.begin() + r * 6 + F));
        EXPECT_EQ(text, one.text);
        EXPECT_EQ(conf, one.confidence);
        EXPECT_EQ(has, one.has);
        sqlite3_free(text);
      }
    }
    for (int trial = 0; trial < 50; trial++) {
      std::vector<float> x(F);
      for (float &v : x)
        v = u(rng);
      std::vector<double> want(K, 0.25f);
      for (int t = 0; t < R * K; t++)
        want[t % K] +=
            (double)0.3f * (double)reg_tree_value(f.nodes + offsets[t], offsets[t + 1] - offsets[t], x.data());
      RowOut r = eval_forest(f, x);
      if (task == STUDENT_REGRESS) {
        char buf[64];
        snprintf(buf, sizeof buf, "%.17g", want[0]);
        EXPECT_EQ(r.text, buf);
      } else {
        int best = 0;
        for (int k = 1; k < K; k++)
          if (want[k] > want[best]) best = k;
        double denom = 0;
        for (int k = 0; k < K; k++)
          denom += std::exp(want[k] - want[best]);
        EXPECT_EQ(r.text, std::string(1, "abc"[best]));
        EXPECT_EQ(r.confidence, 1.0 / denom);
      }
    }
    forest_free(&f);
  }
}
