// Pins the perceptron trainer's exact output: FNV-1a over every trained binary32 of a few
// fixed networks, captured from a known-good build. Any change to the training arithmetic
// (order of additions, contraction, a different tanh) changes these digests.
#include "distill/mlp_train.h"
#include "support/harness.h"
#include <cstring>
#include <vector>

namespace {

uint64_t fnv(uint64_t h, const float *p, int64_t count) {
  const unsigned char *b = (const unsigned char *)p;
  for (int64_t i = 0; i < count * 4; i++)
    h = (h ^ b[i]) * 1099511628211ull;
  return h;
}

uint64_t digest(const mlp_params &p) {
  const int64_t I = p.input_count, H = p.hidden, O = p.output_count;
  uint64_t h = 14695981039346656037ull;
  h = fnv(h, p.means, I);
  h = fnv(h, p.scales, I);
  if (H > 0) {
    h = fnv(h, p.w1, H * I);
    h = fnv(h, p.b1, H);
    h = fnv(h, p.w2, O * H);
  }
  h = fnv(h, p.b2, O);
  if (p.skip) h = fnv(h, p.skip, O * I);
  return h;
}

// Deterministic data: an LCG, no library distributions (their output is not portable).
struct Lcg {
  uint32_t s;
  float next() {
    s = s * 1664525u + 1013904223u;
    return (float)((s >> 8) * (1.0 / 16777216.0)) * 4.0f - 2.0f;
  }
};

struct Shape {
  const char *name;
  int n, I, O, task, H, epochs;
  bool skip, soft;
  float lr;
  uint64_t want;
};

uint64_t train_digest(const Shape &c) {
  Lcg g{(uint32_t)(c.n * 131 + c.I * 7 + c.O)};
  std::vector<float> x((size_t)c.n * c.I), t((size_t)c.n * c.O);
  std::vector<int32_t> cls(c.n);
  for (auto &v : x)
    v = g.next();
  for (int i = 0; i < c.n; i++) {
    cls[i] = (int32_t)(i * 7 % c.O);
    if (c.task != 0) {
      for (int k = 0; k < c.O; k++)
        t[(size_t)i * c.O + k] = x[(size_t)i * c.I + k % c.I] * 0.5f + 0.1f * (float)k;
    } else if (c.soft) {
      float sum = 0;
      for (int k = 0; k < c.O; k++)
        sum += (t[(size_t)i * c.O + k] = g.next() + 2.5f);
      for (int k = 0; k < c.O; k++)
        t[(size_t)i * c.O + k] /= sum;
    }
  }
  const float *tp = (c.task != 0 || c.soft) ? t.data() : nullptr;
  mlp_params p{};
  EXPECT_EQ(mlp_train_params(x.data(), c.n, c.I, c.O, cls.data(), tp, c.task, c.H, c.epochs, c.lr, c.skip, &p),
            SQLITE_OK);
  uint64_t d = digest(p);
  mlp_params_free(&p);
  return d;
}

} // namespace

TEST(PerceptronIdentity, TrainedWeightsKeepTheirDigests) {
  const Shape shapes[] = {
      // Forecast-student shape: regression, skip block, many outputs, rows not a multiple of four.
      {"forecast", 39, 64, 42, 1, 22, 6, true, false, 0.01f, 0x89ed8d767f426468ull},
      // Tabular-student shape: hard labels, width 48.
      {"tabular", 53, 16, 3, 0, 48, 12, false, false, 0.02f, 0x3df63b14548608e5ull},
      // Soft targets with a skip block and odd sizes.
      {"soft", 18, 7, 5, 0, 9, 20, true, true, 0.03f, 0xef94123be545cfa0ull},
      // No hidden layer: skip block and biases only.
      {"linear", 11, 13, 6, 1, 0, 30, true, false, 0.05f, 0x9c79d9670f0333aaull},
      // Wide hidden layer, few rows.
      {"wide", 6, 10, 4, 1, 33, 8, true, false, 0.02f, 0xd0f2bad6d9c6b03aull},
  };
  for (const Shape &c : shapes) {
    uint64_t got = train_digest(c);
    EXPECT_EQ(got, c.want) << c.name;
  }
}
