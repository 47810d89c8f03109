// Unit tests of the trainers' numeric cores on tiny data derivable by hand, and against a
// brute-force CART written here (one sort per node).
#include "distill/gbt_train.h"
#include "distill/mlp_train.h"
#include "distill/tree_build.h"
#include "support/harness.h"
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

namespace {

struct Tree {
  std::vector<tree_node> nodes;
  int32_t root = -1;
};

Tree build(const std::vector<float> &x, int m, const std::vector<int32_t> &labels, int K,
           const std::vector<float> *targets = nullptr, int depth = 0, int min_split = 0,
           const std::vector<float> *hess = nullptr, float lambda = 0.0f) {
  tree_builder b{};
  b.x = x.data();
  b.feature_count = m;
  b.labels = labels.empty() ? nullptr : labels.data();
  b.class_count = K;
  b.targets = targets ? targets->data() : nullptr;
  b.regression = targets ? 1 : 0;
  b.max_depth = depth;
  b.min_split = min_split;
  b.hessians = hess ? hess->data() : nullptr;
  b.leaf_lambda = lambda;
  int n = (int)(x.size() / m);
  std::vector<int32_t> idx(n);
  std::iota(idx.begin(), idx.end(), 0);
  Tree t;
  t.root = bld_build(&b, idx.data(), n, 0);
  t.nodes.assign(b.nodes, b.nodes + b.node_count);
  sqlite3_free(b.nodes);
  return t;
}

int depth_of(const Tree &t, int node) {
  const tree_node &nd = t.nodes[node];
  if (nd.feature < 0) return 0;
  return 1 + std::max(depth_of(t, nd.left), depth_of(t, nd.right));
}

// Brute-force CART: every node sorts its rows per feature (stable, by value) and scores every
// boundary directly from counts or sums over the two sides.
struct Naive {
  const std::vector<float> &x;
  int m;
  const std::vector<int32_t> &labels;
  int K;
  const std::vector<float> *targets;
  std::vector<tree_node> nodes;
  int grow(std::vector<int32_t> idx, int depth) {
    int id = (int)nodes.size();
    nodes.push_back(tree_node{});
    int n = (int)idx.size();
    bool pure = false;
    if (!targets) {
      pure = n <= 1 || std::all_of(idx.begin(), idx.end(), [&](int r) { return labels[r] == labels[idx[0]]; });
    }
    bool found = false;
    double best = 0;
    int bf = -1;
    float thr = 0;
    if (depth < 8 && !pure && n >= 5) {
      double S = 0, Q = 0;
      if (targets)
        for (int r : idx)
          S += (*targets)[r], Q += (double)(*targets)[r] * (*targets)[r];
      for (int f = 0; f < m; f++) {
        std::vector<int32_t> o = idx;
        std::stable_sort(o.begin(), o.end(), [&](int a, int b) { return x[a * m + f] < x[b * m + f]; });
        for (int i = 1; i < n; i++) {
          float lo = x[o[i - 1] * m + f], hi = x[o[i] * m + f];
          if (lo == hi) continue;
          double score;
          if (targets) {
            double s = 0, q = 0;
            for (int p = 0; p < i; p++)
              s += (*targets)[o[p]], q += (double)(*targets)[o[p]] * (*targets)[o[p]];
            score = -((q - s * s / i) + ((Q - q) - (S - s) * (S - s) / (n - i)));
          } else {
            std::vector<double> cl(K), cr(K);
            for (int p = 0; p < n; p++)
              (p < i ? cl : cr)[labels[o[p]]] += 1;
            double sl = 0, sr = 0;
            for (int k = 0; k < K; k++)
              sl += (cl[k] / i) * (cl[k] / i), sr += (cr[k] / (n - i)) * (cr[k] / (n - i));
            score = -((double)i * (1 - sl) + (double)(n - i) * (1 - sr)) / n;
          }
          if (!found || score > best) found = true, best = score, bf = f, thr = (float)(((double)lo + hi) * 0.5);
        }
      }
    }
    if (found) {
      std::vector<int32_t> l, r;
      for (int row : idx)
        (x[row * m + bf] < thr ? l : r).push_back(row);
      if (!l.empty() && !r.empty()) {
        int li = grow(l, depth + 1);
        int ri = grow(r, depth + 1);
        nodes[id].feature = bf, nodes[id].threshold = thr, nodes[id].left = li, nodes[id].right = ri;
        nodes[id].leaf_class = -1;
        return id;
      }
    }
    nodes[id].feature = nodes[id].left = nodes[id].right = -1;
    if (targets) {
      double s = 0;
      for (int r : idx)
        s += (*targets)[r];
      nodes[id].leaf_value = (float)(s / n);
      nodes[id].leaf_class = -1;
    } else {
      std::vector<int> c(K);
      for (int r : idx)
        c[labels[r]]++;
      int bc = (int)(std::max_element(c.begin(), c.end()) - c.begin());
      nodes[id].leaf_class = bc;
      nodes[id].leaf_confidence = (float)((double)c[bc] / n);
    }
    return id;
  }
};

void expect_same_tree(const std::vector<tree_node> &a, const std::vector<tree_node> &b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); i++) {
    EXPECT_EQ(a[i].feature, b[i].feature) << i;
    EXPECT_EQ(a[i].threshold, b[i].threshold) << i;
    EXPECT_EQ(a[i].left, b[i].left) << i;
    EXPECT_EQ(a[i].right, b[i].right) << i;
    EXPECT_EQ(a[i].leaf_class, b[i].leaf_class) << i;
    EXPECT_FLOAT_EQ(a[i].leaf_confidence, b[i].leaf_confidence) << i;
    // Leaf means may differ in the last bit through summation order.
    EXPECT_NEAR(a[i].leaf_value, b[i].leaf_value, 1e-5 * (1 + std::fabs(b[i].leaf_value))) << i;
  }
}

} // namespace

TEST(TreeBuilder, SmallNodesAndDegenerateSplitsBecomeLeaves) {
  // Four rows with different labels: below the split minimum, majority with ties to class 0.
  Tree t = build({1, 2, 3, 4}, 1, {2, 0, 2, 0}, 3);
  ASSERT_EQ(t.nodes.size(), 1u);
  EXPECT_EQ(t.nodes[0].feature, -1);
  EXPECT_EQ(t.nodes[0].leaf_class, 0);
  EXPECT_FLOAT_EQ(t.nodes[0].leaf_confidence, 0.5f);
  EXPECT_EQ(t.nodes[0].left, -1);
  EXPECT_EQ(t.nodes[0].right, -1);

  // Identical feature values: no candidate.
  t = build({7, 7, 7, 7, 7, 7}, 1, {0, 1, 0, 1, 1, 0}, 2);
  ASSERT_EQ(t.nodes.size(), 1u);
  EXPECT_EQ(t.nodes[0].leaf_class, 0);

  // Adjacent binary32 values: the midpoint rounds onto the lower value, every row goes right.
  float lo = 1.0f, hi = std::nextafter(1.0f, 2.0f);
  t = build({lo, lo, lo, hi, hi, hi}, 1, {0, 0, 0, 1, 1, 1}, 2);
  ASSERT_EQ(t.nodes.size(), 1u);
  EXPECT_EQ(t.nodes[0].feature, -1);
  EXPECT_FLOAT_EQ(t.nodes[0].leaf_confidence, 0.5f);
}

TEST(TreeBuilder, SeparatingSplitsAndTies) {
  // Perfect separation: one split at the midpoint, two pure leaves in pre-order.
  Tree t = build({1, 2, 3, 10, 11, 12}, 1, {0, 0, 0, 1, 1, 1}, 2);
  ASSERT_EQ(t.nodes.size(), 3u);
  EXPECT_EQ(t.nodes[0].feature, 0);
  EXPECT_FLOAT_EQ(t.nodes[0].threshold, 6.5f);
  EXPECT_EQ(t.nodes[0].left, 1);
  EXPECT_EQ(t.nodes[0].right, 2);
  EXPECT_EQ(t.nodes[0].leaf_class, -1);
  EXPECT_EQ(t.nodes[1].leaf_class, 0);
  EXPECT_EQ(t.nodes[2].leaf_class, 1);
  EXPECT_FLOAT_EQ(t.nodes[1].leaf_confidence, 1.0f);
  EXPECT_FLOAT_EQ(t.nodes[2].leaf_confidence, 1.0f);

  // Features 0 and 2 separate equally well (feature 1 is noise): feature 0 wins.
  t = build({1, 5, 100, 2, 3, 200, 3, 1, 300, 10, 4, 1000, 11, 2, 1100, 12, 5, 1200}, 3, {0, 0, 0, 1, 1, 1}, 2);
  EXPECT_EQ(t.nodes[0].feature, 0);

  // Regression on 1,1,1,5,5,5: threshold between the groups, leaves 1 and 5.
  std::vector<float> y = {1, 1, 1, 5, 5, 5};
  t = build({0, 1, 2, 3, 4, 5}, 1, {}, 0, &y);
  ASSERT_EQ(t.nodes.size(), 3u);
  EXPECT_FLOAT_EQ(t.nodes[0].threshold, 2.5f);
  EXPECT_FLOAT_EQ(t.nodes[1].leaf_value, 1.0f);
  EXPECT_FLOAT_EQ(t.nodes[2].leaf_value, 5.0f);
  EXPECT_EQ(t.nodes[1].leaf_class, -1);

  // Newton leaves: sum of targets over (sum of hessians + lambda).
  std::vector<float> h = {0.5f, 0.5f, 0.5f, 0.25f, 0.25f, 0.25f};
  t = build({0, 1, 2, 3, 4, 5}, 1, {}, 0, &y, 3, 5, &h, 1.0f);
  EXPECT_NEAR(t.nodes[1].leaf_value, 3.0 / 2.5, 1e-6);
  EXPECT_NEAR(t.nodes[2].leaf_value, 15.0 / 1.75, 1e-6);
}

TEST(TreeBuilder, MatchesBruteForceAndBoundsDepth) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 6; trial++) {
    const int n = 300, m = 4, K = 3;
    std::vector<float> x(n * m);
    std::vector<int32_t> lab(n);
    std::vector<float> y(n);
    for (int i = 0; i < n; i++) {
      for (int f = 0; f < m; f++)
        x[i * m + f] = (float)(rng() % (trial < 3 ? 1000 : 9)) / 7.0f; // ties when coarse
      lab[i] = (x[i * m] + x[i * m + 1] > 90.0f / 7 * (trial < 3 ? 15 : 0.12)) ? (int)(rng() % 2) : 2;
      y[i] = (float)(x[i * m + 2] * 0.5 + (rng() % 100) / 10.0);
    }
    Tree t = build(x, m, lab, K);
    Naive nv{x, m, lab, K, nullptr, {}};
    std::vector<int32_t> all(n);
    std::iota(all.begin(), all.end(), 0);
    nv.grow(all, 0);
    expect_same_tree(t.nodes, nv.nodes);
    EXPECT_LE(depth_of(t, 0), 8);
    Tree r = build(x, m, {}, 0, &y);
    Naive nr{x, m, lab, K, &y, {}};
    nr.grow(all, 0);
    expect_same_tree(r.nodes, nr.nodes);
    EXPECT_LE(depth_of(r, 0), 8);
    EXPECT_GT(r.nodes.size(), 100u); // regression rows are never pure: deep trees
  }
}

TEST(Boosting, InitialScoresAndTreeCounts) {
  // Two balanced classes: both priors (t/2 + 1) / (t + 2); 400 trees.
  const int t = 10;
  std::vector<float> x(t);
  std::vector<int32_t> lab(t);
  for (int i = 0; i < t; i++)
    x[i] = (float)i, lab[i] = i < 5 ? 0 : 1;
  gbt_input in{x.data(), 1, t, 0, 2, lab.data(), nullptr, nullptr, nullptr};
  forest_model f{};
  ASSERT_EQ(gbt_train(&in, &f), SQLITE_OK);
  EXPECT_EQ(f.tree_count, 400);
  EXPECT_EQ(f.rounds, 200);
  EXPECT_EQ(f.output_count, 2);
  EXPECT_FLOAT_EQ(f.initial_scores[0], (float)std::log(6.0 / 12.0));
  EXPECT_FLOAT_EQ(f.initial_scores[1], (float)std::log(6.0 / 12.0));
  EXPECT_EQ(f.tree_offsets[0], 0);
  EXPECT_EQ(f.tree_offsets[400], f.tree_offsets[f.tree_count]);
  // Raw scores separate the classes after training.
  for (int i = 0; i < t; i++) {
    double s[2] = {f.initial_scores[0], f.initial_scores[1]};
    for (int j = 0; j < f.tree_count; j++)
      s[j % 2] += (double)f.learning_rate *
                  reg_tree_value(f.nodes + f.tree_offsets[j], f.tree_offsets[j + 1] - f.tree_offsets[j], &x[i]);
    EXPECT_EQ(s[1] > s[0], lab[i] == 1) << i;
  }
  forest_free(&f);

  // Three classes, one of which has no training rows: ln(1 / (t + K)), 600 trees.
  in.class_count = 3;
  ASSERT_EQ(gbt_train(&in, &f), SQLITE_OK);
  EXPECT_EQ(f.tree_count, 600);
  EXPECT_FLOAT_EQ(f.initial_scores[2], (float)std::log(1.0 / 13.0));
  EXPECT_FLOAT_EQ(f.initial_scores[0], (float)std::log(6.0 / 13.0));
  forest_free(&f);
}

TEST(Boosting, RegressionSoftTargetsAndSmallSets) {
  // Constant labels: zero gradients, every leaf 0, the initial score is the mean.
  const int t = 12;
  std::vector<float> x(t), v(t, 3.25f);
  for (int i = 0; i < t; i++)
    x[i] = (float)(i % 4);
  gbt_input in{x.data(), 1, t, 1, 0, nullptr, v.data(), nullptr, nullptr};
  forest_model f{};
  ASSERT_EQ(gbt_train(&in, &f), SQLITE_OK);
  EXPECT_EQ(f.tree_count, 200);
  EXPECT_EQ(f.task, 1);
  EXPECT_FLOAT_EQ(f.initial_scores[0], 3.25f);
  for (int i = 0; i < f.tree_offsets[f.tree_count]; i++)
    if (f.nodes[i].feature < 0) {
      EXPECT_EQ(f.nodes[i].leaf_value, 0.0f);
    }
  forest_free(&f);

  // Soft targets where class 2 never has mass: its prior is floored at 1e-6.
  std::vector<float> soft;
  std::vector<int32_t> lab(t, 0);
  for (int i = 0; i < t; i++)
    soft.insert(soft.end(), {i < 6 ? 0.8f : 0.3f, i < 6 ? 0.2f : 0.7f, 0.0f});
  gbt_input sin{x.data(), 1, t, 0, 3, lab.data(), nullptr, soft.data(), nullptr};
  ASSERT_EQ(gbt_train(&sin, &f), SQLITE_OK);
  EXPECT_FLOAT_EQ(f.initial_scores[2], (float)std::log(1e-6));
  EXPECT_FLOAT_EQ(f.initial_scores[0], (float)std::log(0.55));
  forest_free(&f);

  // Seven training rows: the root may split, its children (< 5 rows) are leaves.
  std::vector<float> x7 = {0, 1, 2, 3, 4, 5, 6};
  std::vector<int32_t> l7 = {0, 0, 0, 1, 1, 1, 1};
  gbt_input in7{x7.data(), 1, 7, 0, 2, l7.data(), nullptr, nullptr, nullptr};
  ASSERT_EQ(gbt_train(&in7, &f), SQLITE_OK);
  EXPECT_EQ(f.tree_offsets[1] - f.tree_offsets[0], 3);
  for (int j = 0; j < f.tree_count; j++)
    EXPECT_LE(f.tree_offsets[j + 1] - f.tree_offsets[j], 3);
  forest_free(&f);
}

TEST(Perceptron, GeneratorAndAdamStep) {
  uint32_t state = 0x243F6A88u;
  double u = mlp_draw(&state);
  EXPECT_EQ(state, 0xE4AFC9DFu);
  EXPECT_DOUBLE_EQ(u, 3836725727.0 / 2147483648.0 - 1.0);
  uint32_t zero = 0;
  mlp_draw(&zero);
  EXPECT_NE(zero, 0u); // a zero state restarts from 1

  // One Adam step by hand: grad = 2 * 0.5 + 1e-4 * 0.5.
  float w = 0.5f;
  double g = 2.0, m = 0.0, v = 0.0;
  mlp_adam(&w, &g, &m, &v, 1, 0.02f, 0.5, 1.0 - 0.9, 1.0 - 0.999);
  double grad = 1.0 + 1e-4 * 0.5;
  double em = 0.09999999999999998 * grad, ev = 0.0010000000000000009 * grad * grad;
  EXPECT_DOUBLE_EQ(m, em);
  EXPECT_DOUBLE_EQ(v, ev);
  EXPECT_EQ(g, 0.0);
  EXPECT_FLOAT_EQ(w, (float)(0.5 - (double)0.02f * (em / 0.1) / (std::sqrt(ev / (1.0 - 0.999)) + 1e-8)));
  EXPECT_NEAR(w, 0.48f, 1e-5);
}

namespace {
struct Blobs {
  std::vector<float> x;
  std::vector<int32_t> lab;
  int n = 0, m = 3;
};
Blobs blobs(int n) {
  Blobs b;
  b.n = n;
  std::mt19937 rng(11);
  std::normal_distribution<float> N(0, 1);
  for (int i = 0; i < n; i++) {
    int c = i % 3;
    b.x.push_back(N(rng) + (c == 1 ? 4.0f : 0.0f));
    b.x.push_back(N(rng) + (c == 2 ? 4.0f : 0.0f));
    b.x.push_back(5.0f); // constant column
    b.lab.push_back(c);
  }
  return b;
}
std::vector<float> all(const mlp_params &p) {
  std::vector<float> v;
  auto add = [&](const float *a, size_t k) {
    if (a) v.insert(v.end(), a, a + k);
  };
  size_t I = p.input_count, H = p.hidden, O = p.output_count;
  add(p.means, I), add(p.scales, I), add(p.w1, H * I), add(p.b1, H), add(p.w2, O * H), add(p.b2, O);
  add(p.skip, O * I);
  return v;
}
} // namespace

TEST(Perceptron, DeterministicStandardisedAndLearns) {
  Blobs b = blobs(90);
  mlp_params a{}, c{};
  ASSERT_EQ(mlp_train_params(b.x.data(), b.n, 3, 3, b.lab.data(), nullptr, 0, 8, 60, 0.02f, 0, &a), SQLITE_OK);
  ASSERT_EQ(mlp_train_params(b.x.data(), b.n, 3, 3, b.lab.data(), nullptr, 0, 8, 60, 0.02f, 0, &c), SQLITE_OK);
  std::vector<float> va = all(a), vc = all(c);
  ASSERT_EQ(va.size(), vc.size());
  EXPECT_EQ(0, std::memcmp(va.data(), vc.data(), va.size() * 4));
  EXPECT_EQ(a.scales[2], 1e-6f);
  EXPECT_EQ(a.means[2], 5.0f);

  // Soft targets equal to the one-hot labels train exactly like hard labels.
  std::vector<float> onehot(b.n * 3, 0.0f);
  for (int i = 0; i < b.n; i++)
    onehot[i * 3 + b.lab[i]] = 1.0f;
  mlp_params s{};
  ASSERT_EQ(mlp_train_params(b.x.data(), b.n, 3, 3, nullptr, onehot.data(), 0, 8, 60, 0.02f, 0, &s), SQLITE_OK);
  std::vector<float> vs = all(s);
  EXPECT_EQ(0, std::memcmp(va.data(), vs.data(), va.size() * 4));

  // Training accuracy on three separated blobs, evaluated here by an independent forward pass.
  int correct = 0;
  for (int i = 0; i < b.n; i++) {
    double o[3];
    std::vector<double> hdn(a.hidden);
    for (int h = 0; h < a.hidden; h++) {
      double acc = a.b1[h];
      for (int j = 0; j < 3; j++)
        acc += (double)a.w1[h * 3 + j] * ((b.x[i * 3 + j] - a.means[j]) / a.scales[j]);
      hdn[h] = std::tanh(acc);
    }
    for (int k = 0; k < 3; k++) {
      double acc = 0;
      for (int h = 0; h < a.hidden; h++)
        acc += (double)a.w2[k * a.hidden + h] * hdn[h];
      o[k] = a.b2[k] + acc;
    }
    correct += (int)(std::max_element(o, o + 3) - o) == b.lab[i];
  }
  EXPECT_GE(correct, 84);
  mlp_params_free(&a);
  mlp_params_free(&c);
  mlp_params_free(&s);
  mlp_params_free(&a); // harmless twice
}

TEST(Perceptron, RegressionWithSkipBlockAndNoHiddenLayer) {
  // y = 2 x0 - x1 + 1 is linear: the skip block and output bias fit it.
  std::vector<float> x, y;
  for (int i = 0; i < 64; i++) {
    float a = (float)(i % 8), c = (float)(i / 8);
    x.push_back(a), x.push_back(c), y.push_back(2 * a - c + 1);
  }
  mlp_params p{};
  ASSERT_EQ(mlp_train_params(x.data(), 64, 2, 1, nullptr, y.data(), 1, 0, 3000, 0.05f, 1, &p), SQLITE_OK);
  EXPECT_EQ(p.w1, nullptr);
  ASSERT_NE(p.skip, nullptr);
  double se = 0;
  for (int i = 0; i < 64; i++) {
    double o = p.b2[0];
    for (int j = 0; j < 2; j++)
      o += (double)p.skip[j] * ((x[i * 2 + j] - p.means[j]) / p.scales[j]);
    se += (o - y[i]) * (o - y[i]);
  }
  EXPECT_LT(std::sqrt(se / 64), 0.1);
  mlp_params_free(&p);

  // The first weight drawn is the first layer's, after one generator step, times its limit.
  ASSERT_EQ(mlp_train_params(x.data(), 64, 2, 1, nullptr, y.data(), 1, 4, 0, 0.05f, 0, &p), SQLITE_OK);
  EXPECT_EQ(p.w1[0], (float)((3836725727.0 / 2147483648.0 - 1.0) * std::sqrt(6.0 / (4 + 2))));
  EXPECT_EQ(p.b1[0], 0.0f);
  EXPECT_EQ(p.b2[0], 0.0f);
  mlp_params_free(&p);
}

namespace {
// The perceptron trainer written plainly, one row at a time, straight from its definition:
// the oracle for the blocked, vectorised trainer (which must give the same bits).
mlp_params naive_mlp(const std::vector<float> &x, int n, int I, int O, const std::vector<int32_t> *cls,
                     const std::vector<float> *tgt, int task, int H, int epochs, float lr, bool skip) {
  std::vector<float> mean(I), scale(I), w1(H * I), b1(H), w2(O * H), b2(O), L(skip ? O * I : 0);
  for (int j = 0; j < I; j++) {
    double s = 0, q = 0;
    for (int i = 0; i < n; i++)
      s += x[i * I + j];
    double m = s / n;
    for (int i = 0; i < n; i++)
      q += (x[i * I + j] - m) * (x[i * I + j] - m);
    mean[j] = (float)m;
    scale[j] = (float)std::sqrt(q / n);
    if (!(scale[j] > 1e-6f)) scale[j] = 1e-6f;
  }
  uint32_t st = 0x243F6A88u;
  auto draw = [&]() {
    st ^= st << 13, st ^= st >> 17, st ^= st << 5;
    return (double)st / 2147483648.0 - 1.0;
  };
  double hf = H > 0 ? H : 1;
  for (auto &v : w1)
    v = (float)(draw() * std::sqrt(6.0 / (hf + I)));
  for (auto &v : w2)
    v = (float)(draw() * std::sqrt(6.0 / (hf + O)));
  for (auto &v : L)
    v = (float)(draw() * std::sqrt(6.0 / ((double)O + I)));
  const double sf = skip ? 0.1 : 1.0;
  struct Group {
    std::vector<float> *w;
    std::vector<double> g, m, v;
  };
  std::vector<Group> groups = {
      {&w1, {}, {}, {}}, {&b1, {}, {}, {}}, {&w2, {}, {}, {}}, {&L, {}, {}, {}}, {&b2, {}, {}, {}}};
  for (auto &gr : groups)
    gr.g.assign(gr.w->size(), 0), gr.m = gr.g, gr.v = gr.g;
  double p1 = 1, p2 = 1;
  std::vector<double> z(I), a(H), o(O);
  for (int e = 1; e <= epochs; e++) {
    p1 *= 0.9, p2 *= 0.999;
    for (int i = 0; i < n; i++) {
      for (int j = 0; j < I; j++)
        z[j] = ((double)x[i * I + j] - mean[j]) / scale[j];
      for (int h = 0; h < H; h++) {
        double acc = b1[h];
        for (int j = 0; j < I; j++)
          acc += (double)w1[h * I + j] * z[j];
        a[h] = std::tanh(acc);
      }
      for (int k = 0; k < O; k++) {
        double acc = 0;
        for (int h = 0; h < H; h++)
          acc += (double)w2[k * H + h] * a[h];
        o[k] = b2[k] + sf * acc;
        if (skip) {
          double al = 0;
          for (int j = 0; j < I; j++)
            al += (double)L[k * I + j] * z[j];
          o[k] += al;
        }
      }
      if (task == 0) {
        double mx = *std::max_element(o.begin(), o.end()), sum = 0;
        for (auto &v : o)
          v = std::exp(v - mx), sum += v;
        for (int k = 0; k < O; k++)
          o[k] = o[k] / sum - (tgt ? (double)(*tgt)[i * O + k] : ((*cls)[i] == k ? 1.0 : 0.0));
      } else {
        for (int k = 0; k < O; k++)
          o[k] -= (*tgt)[i * O + k];
      }
      for (int k = 0; k < O; k++) {
        groups[4].g[k] += o[k];
        for (int h = 0; h < H; h++)
          groups[2].g[k * H + h] += a[h] * (o[k] * sf);
        for (int j = 0; j < I; j++)
          if (skip) groups[3].g[k * I + j] += z[j] * o[k];
      }
      for (int h = 0; h < H; h++) {
        double d = 0;
        for (int k = 0; k < O; k++)
          d += (o[k] * sf) * (double)w2[k * H + h];
        d = (1.0 - a[h] * a[h]) * d;
        groups[1].g[h] += d;
        for (int j = 0; j < I; j++)
          groups[0].g[h * I + j] += d * z[j];
      }
    }
    for (auto &gr : groups)
      if (!gr.w->empty())
        mlp_adam(gr.w->data(), gr.g.data(), gr.m.data(), gr.v.data(), (int64_t)gr.w->size(), lr, 1.0 / n, 1.0 - p1,
                 1.0 - p2);
  }
  mlp_params p{};
  auto dup = [](const std::vector<float> &v) {
    float *d = (float *)sqlite3_malloc64(v.size() * 4 + 4);
    if (!v.empty()) std::memcpy(d, v.data(), v.size() * 4);
    return d;
  };
  p.task = task, p.input_count = I, p.hidden = H, p.output_count = O;
  p.means = dup(mean), p.scales = dup(scale), p.w1 = dup(w1), p.b1 = dup(b1), p.w2 = dup(w2), p.b2 = dup(b2);
  p.skip = skip ? dup(L) : nullptr;
  return p;
}
} // namespace

TEST(Perceptron, BlockedTrainerMatchesPlainDefinitionBitForBit) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> U(-2, 2);
  const int n = 23, I = 5, O = 3; // n not a multiple of the block size
  std::vector<float> x(n * I), soft(n * O), reg(n * O);
  std::vector<int32_t> cls(n);
  for (auto &v : x)
    v = U(rng);
  for (int i = 0; i < n; i++) {
    cls[i] = i % O;
    float a = std::fabs(U(rng)), b = std::fabs(U(rng)), c = std::fabs(U(rng)), s = a + b + c;
    soft[i * O] = a / s, soft[i * O + 1] = b / s, soft[i * O + 2] = c / s;
    for (int k = 0; k < O; k++)
      reg[i * O + k] = x[i * I + k] * 0.5f - x[i * I + 4];
  }
  struct Case {
    int task, H;
    bool skip;
    const std::vector<float> *tgt;
  } cases[] = {
      {0, 7, false, nullptr}, {0, 9, false, &soft}, {1, 6, true, &reg}, {1, 0, true, &reg}, {0, 4, true, nullptr}};
  for (const Case &c : cases) {
    mlp_params got{};
    ASSERT_EQ(mlp_train_params(x.data(), n, I, O, cls.data(), c.tgt ? c.tgt->data() : nullptr, c.task, c.H, 25, 0.03f,
                               c.skip, &got),
              SQLITE_OK);
    mlp_params want = naive_mlp(x, n, I, O, &cls, c.tgt, c.task, c.H, 25, 0.03f, c.skip);
    std::vector<float> a = all(got), b = all(want);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * 4)) << "task " << c.task << " H " << c.H;
    mlp_params_free(&got);
    mlp_params_free(&want);
  }
}
