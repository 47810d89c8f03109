// Student blob layouts: writer bytes against hand-built layouts, round trips, every header and
// node validation, truncation at every length, and hostile string lengths.
#include "student_test_util.h"
#include <memory>

using st::Bytes;

namespace {

const std::string TREE_CORRUPT = "VORNEL_ERR_SCHEMA: corrupt tree student blob";
const std::string GBT_CORRUPT = "VORNEL_ERR_SCHEMA: corrupt gbt student blob";
const std::string MLP_MALFORMED = "VORNEL_ERR_SCHEMA: malformed mlp student blob";
const std::string NOT_STUDENT = "VORNEL_ERR_SCHEMA: not a tree student blob";

// Reads a blob of any layout and returns "" on success or the message, freeing everything.
std::string read_msg(const unsigned char *p, int64_t n, int *rc_out = nullptr) {
  student_model m;
  char *msg = nullptr;
  int rc = student_read(p, n, &m, &msg);
  if (rc_out) *rc_out = rc;
  std::string out = msg ? msg : "";
  sqlite3_free(msg);
  student_free(&m);
  if (rc == SQLITE_OK) {
    EXPECT_TRUE(out.empty());
  }
  return out;
}
std::string read_msg(const Bytes &b) { return read_msg(b.data(), b.size()); }

// A classification tree: x1 < 2.5 ? "no" : (x0 < -1 ? "yes" : "no").
void make_tree(tree_model *t) {
  memset(t, 0, sizeof *t);
  t->task = STUDENT_CLASSIFY;
  t->feature_count = 2;
  t->feature_names = st::host_names({"age", "spend"});
  t->class_count = 2;
  t->class_labels = st::host_names({"no", "yes"});
  t->node_count = 5;
  t->nodes = st::host_copy<tree_node>({st::split(1, 2.5f, 1, 2), st::leaf(0, 0, 0.75f), st::split(0, -1.0f, 3, 4),
                                       st::leaf(0, 1, 1.0f), st::leaf(0, 0, 0.5f)});
}

// The same tree written by hand, byte for byte in the documented order.
Bytes tree_bytes(int32_t task = 0, int32_t F = 2, int32_t C = 2, int32_t N = 5) {
  Bytes b;
  b.magic("VNTREE01").i32(task).i32(F).i32(C).i32(N).str("age").str("spend").str("no").str("yes");
  b.i32(1).f32(2.5f).i32(1).i32(2).f32(0).i32(-1).f32(0);
  b.i32(-1).f32(0).i32(-1).i32(-1).f32(0).i32(0).f32(0.75f);
  b.i32(0).f32(-1.0f).i32(3).i32(4).f32(0).i32(-1).f32(0);
  b.i32(-1).f32(0).i32(-1).i32(-1).f32(0).i32(1).f32(1.0f);
  b.i32(-1).f32(0).i32(-1).i32(-1).f32(0).i32(0).f32(0.5f);
  return b;
}

// Two classes, two rounds, stumps on feature 0.
void make_forest(forest_model *f) {
  memset(f, 0, sizeof *f);
  f->task = STUDENT_CLASSIFY;
  f->feature_count = 1;
  f->feature_names = st::host_names({"x"});
  f->class_count = 2;
  f->class_labels = st::host_names({"a", "b"});
  f->output_count = 2;
  f->rounds = 2;
  f->learning_rate = 0.1f;
  f->initial_scores = st::host_copy<float>({-0.5f, 0.25f});
  f->tree_count = 4;
  f->tree_offsets = st::host_copy<int32_t>({0, 3, 4, 7, 8});
  f->nodes = st::host_copy<tree_node>({st::split(0, 1.0f, 1, 2), st::leaf(1.5f, -1), st::leaf(-1.5f, -1),
                                       st::leaf(0.25f, -1), st::split(0, 3.0f, 2, 1), st::leaf(2.0f, -1),
                                       st::leaf(-2.0f, -1), st::leaf(-0.125f, -1)});
  f->node_capacity = 8;
}

Bytes forest_bytes(int32_t task, int32_t F, int32_t C, int32_t K, int32_t R, int32_t T) {
  Bytes b;
  b.magic("VNGBT01").i32(task).i32(F).i32(C).i32(K).i32(R).f32(0.1f);
  for (int k = 0; k < K; k++)
    b.f32(0.5f * k);
  for (int i = 0; i < F; i++)
    b.str("f" + std::to_string(i));
  for (int c = 0; c < C; c++)
    b.str("c" + std::to_string(c));
  b.i32(T);
  for (int t = 0; t < T; t++)
    b.i32(1).i32(-1).f32(0).i32(7).i32(-9).f32(0.25f * t); // leaves point anywhere
  return b;
}

void make_mlp(mlp_model *m, bool classify) {
  memset(m, 0, sizeof *m);
  m->task = classify ? 0 : 1;
  m->input_count = 2;
  m->hidden_count = 3;
  m->output_count = classify ? 2 : 1;
  m->class_count = classify ? 2 : 0;
  m->feature_names = st::host_names({"u", "v"});
  m->class_labels = classify ? st::host_names({"lo", "hi"}) : nullptr;
  m->input_mean = st::host_copy<float>({1.0f, -2.0f});
  m->input_scale = st::host_copy<float>({2.0f, 0.5f});
  m->hidden_weights = st::host_copy<float>({0.1f, 0.2f, -0.3f, 0.4f, 0.5f, -0.6f});
  m->hidden_bias = st::host_copy<float>({0.01f, -0.02f, 0.03f});
  std::vector<float> ow;
  for (int i = 0; i < 3 * m->output_count; i++)
    ow.push_back(0.7f - 0.2f * i);
  m->output_weights = st::host_copy<float>(ow);
  m->output_bias = classify ? st::host_copy<float>({0.5f, -0.5f}) : st::host_copy<float>({3.0f});
}

Bytes mlp_header(int32_t task, int32_t I, int32_t H, int32_t O, int32_t C, bool body = true) {
  Bytes b;
  b.magic("VNMLP01").i32(task).i32(I).i32(H).i32(O).i32(C);
  if (!body) return b;
  for (int64_t i = 0; i < 2 * I + (int64_t)H * I + H + (int64_t)O * H + O; i++)
    b.f32(1.0f);
  for (int i = 0; i < I; i++)
    b.str("in" + std::to_string(i));
  for (int c = 0; c < C; c++)
    b.str("k" + std::to_string(c));
  return b;
}

void expect_truncations_fail(const unsigned char *blob, int64_t len, const std::string &layout_msg) {
  st::LeakCheck leak;
  for (int64_t n = 0; n < len; n++) {
    int rc = 0;
    std::string msg = read_msg(blob, n, &rc);
    std::string want = n == 0 ? "VORNEL_ERR_SCHEMA: tree student has no weights" : n < 8 ? NOT_STUDENT : layout_msg;
    ASSERT_EQ(msg, want) << "truncated to " << n << " of " << len;
    ASSERT_EQ(rc, SQLITE_ERROR);
  }
}

} // namespace

TEST(TreeBlob, WriterMatchesLayoutAndRoundTrips) {
  st::LeakCheck leak;
  tree_model t;
  make_tree(&t);
  unsigned char *blob = nullptr;
  int64_t len = 0;
  ASSERT_EQ(tree_serialize(&t, &blob, &len), SQLITE_OK);
  Bytes want = tree_bytes();
  // 24 + strings (4+3, 4+5, 4+2, 4+3) + 28 x 5
  ASSERT_EQ(len, 24 + 29 + 140);
  ASSERT_EQ(std::vector<unsigned char>(blob, blob + len), want.b);

  tree_model back;
  char *msg = nullptr;
  ASSERT_EQ(tree_deserialize(blob, len, &back, &msg), SQLITE_OK);
  EXPECT_EQ(back.task, 0);
  EXPECT_EQ(back.feature_count, 2);
  EXPECT_STREQ(back.feature_names[1], "spend");
  EXPECT_STREQ(back.class_labels[0], "no");
  EXPECT_STREQ(back.class_labels[1], "yes");
  ASSERT_EQ(back.node_count, 5);
  EXPECT_EQ(memcmp(back.nodes, t.nodes, sizeof(tree_node) * 5), 0);
  tree_free(&back);
  tree_free(&back); // a second free does nothing
  tree_free(nullptr);
  expect_truncations_fail(blob, len, TREE_CORRUPT);
  sqlite3_free(blob);
  tree_free(&t);
}

TEST(TreeBlob, HeaderAndNodeValidation) {
  st::LeakCheck leak;
  EXPECT_EQ(read_msg(tree_bytes()), "");
  EXPECT_EQ(read_msg(tree_bytes(2)), TREE_CORRUPT); // task
  EXPECT_EQ(read_msg(tree_bytes(-1)), TREE_CORRUPT);
  EXPECT_EQ(read_msg(tree_bytes(0, 0)), TREE_CORRUPT);     // F = 0
  EXPECT_EQ(read_msg(tree_bytes(0, 65)), TREE_CORRUPT);    // F = 65
  EXPECT_EQ(read_msg(tree_bytes(0, 2, -1)), TREE_CORRUPT); // C < 0
  EXPECT_EQ(read_msg(tree_bytes(0, 2, 2, 0)), TREE_CORRUPT);
  EXPECT_EQ(read_msg(tree_bytes(0, 2, 2, 16777217)), TREE_CORRUPT);
  // N = 2^24 is inside the limit; the blob is simply too short for it.
  EXPECT_EQ(read_msg(tree_bytes(0, 2, 2, 16777216)), TREE_CORRUPT);

  // Node faults, patched into the hand-built blob. Node i starts at 24 + 29 + 28 i.
  auto patched = [](int node, int field, int32_t v) {
    Bytes b = tree_bytes();
    size_t at = 24 + 29 + 28 * node + 4 * field;
    for (int i = 0; i < 4; i++)
      b.b[at + i] = (unsigned char)((uint32_t)v >> (8 * i));
    return b;
  };
  EXPECT_EQ(read_msg(patched(0, 2, 5)), TREE_CORRUPT);  // left child == N
  EXPECT_EQ(read_msg(patched(0, 3, 5)), TREE_CORRUPT);  // right child == N
  EXPECT_EQ(read_msg(patched(2, 2, -1)), TREE_CORRUPT); // negative child
  EXPECT_EQ(read_msg(patched(0, 2, 4)), "");            // any in-range child is fine
  EXPECT_EQ(read_msg(patched(0, 0, 2)), TREE_CORRUPT);  // feature == F
  EXPECT_EQ(read_msg(patched(1, 5, 2)), TREE_CORRUPT);  // class index == C
  EXPECT_EQ(read_msg(patched(1, 5, -1)), TREE_CORRUPT); // negative class index
  EXPECT_EQ(read_msg(patched(1, 0, -7)), "");           // any negative feature is a leaf

  // A regression tree's leaves are not checked further.
  Bytes reg;
  reg.magic("VNTREE01")
      .i32(1)
      .i32(1)
      .i32(0)
      .i32(1)
      .str("x")
      .i32(-1)
      .f32(0)
      .i32(99)
      .i32(-99)
      .f32(2.5f)
      .i32(12345)
      .f32(0);
  EXPECT_EQ(read_msg(reg), "");
}

TEST(TreeBlob, HostileStringLengths) {
  st::LeakCheck leak;
  Bytes neg;
  neg.magic("VNTREE01").i32(0).i32(1).i32(1).i32(1).i32(-1);
  EXPECT_EQ(read_msg(neg), TREE_CORRUPT);
  Bytes big;
  big.magic("VNTREE01").i32(0).i32(1).i32(1).i32(1).i32(4).raw("abc", 3); // claims 4, holds 3
  EXPECT_EQ(read_msg(big), TREE_CORRUPT);
  Bytes huge;
  huge.magic("VNTREE01").i32(0).i32(1).i32(0x7FFFFFFF).i32(1).str("x"); // huge class count
  EXPECT_EQ(read_msg(huge), TREE_CORRUPT);
}

TEST(StudentBlob, MagicAndEmptyWeights) {
  st::LeakCheck leak;
  EXPECT_EQ(read_msg(nullptr, 0), "VORNEL_ERR_SCHEMA: tree student has no weights");
  EXPECT_EQ(read_msg((const unsigned char *)"VNTREE0", 7), NOT_STUDENT);
  EXPECT_EQ(read_msg((const unsigned char *)"VNTREE02xxxxxxxxxxxxxxxx", 24), NOT_STUDENT);
  EXPECT_EQ(read_msg((const unsigned char *)"VNGBT01x", 8), NOT_STUDENT); // no NUL
  EXPECT_EQ(read_msg((const unsigned char *)"VNFCST02", 8), NOT_STUDENT);
  EXPECT_EQ(read_msg((const unsigned char *)"VNTREE01", 8), TREE_CORRUPT);
  EXPECT_EQ(read_msg((const unsigned char *)"VNGBT01\0", 8), GBT_CORRUPT);
  EXPECT_EQ(read_msg((const unsigned char *)"VNMLP01\0", 8), MLP_MALFORMED);
}

TEST(ForestBlob, WriterMatchesLayoutAndRoundTrips) {
  st::LeakCheck leak;
  forest_model f;
  make_forest(&f);
  unsigned char *blob = nullptr;
  int64_t len = 0;
  ASSERT_EQ(forest_serialize(&f, &blob, &len), SQLITE_OK);
  // 32 + 4K + strings (5 + 5 + 5) + 4 + sum(4 + 20 n) over n = 3, 1, 3, 1
  ASSERT_EQ(len, 32 + 8 + 15 + 4 + (64 + 24 + 64 + 24));
  Bytes want;
  want.magic("VNGBT01").i32(0).i32(1).i32(2).i32(2).i32(2).f32(0.1f).f32(-0.5f).f32(0.25f);
  want.str("x").str("a").str("b").i32(4);
  want.i32(3).i32(0).f32(1.0f).i32(1).i32(2).f32(0).i32(-1).f32(0).i32(-1).i32(-1).f32(1.5f);
  want.i32(-1).f32(0).i32(-1).i32(-1).f32(-1.5f);
  want.i32(1).i32(-1).f32(0).i32(-1).i32(-1).f32(0.25f);
  want.i32(3).i32(0).f32(3.0f).i32(2).i32(1).f32(0).i32(-1).f32(0).i32(-1).i32(-1).f32(2.0f);
  want.i32(-1).f32(0).i32(-1).i32(-1).f32(-2.0f);
  want.i32(1).i32(-1).f32(0).i32(-1).i32(-1).f32(-0.125f);
  ASSERT_EQ(std::vector<unsigned char>(blob, blob + len), want.b);

  forest_model back;
  char *msg = nullptr;
  ASSERT_EQ(forest_deserialize(blob, len, &back, &msg), SQLITE_OK);
  EXPECT_EQ(back.task, 0);
  EXPECT_EQ(back.output_count, 2);
  EXPECT_EQ(back.rounds, 2);
  EXPECT_EQ(back.learning_rate, 0.1f);
  EXPECT_EQ(back.initial_scores[1], 0.25f);
  EXPECT_STREQ(back.feature_names[0], "x");
  EXPECT_STREQ(back.class_labels[1], "b");
  ASSERT_EQ(back.tree_count, 4);
  for (int t = 0; t <= 4; t++)
    EXPECT_EQ(back.tree_offsets[t], f.tree_offsets[t]);
  for (int i = 0; i < 8; i++) {
    EXPECT_EQ(back.nodes[i].feature, f.nodes[i].feature);
    EXPECT_EQ(back.nodes[i].threshold, f.nodes[i].threshold);
    EXPECT_EQ(back.nodes[i].left, f.nodes[i].left);
    EXPECT_EQ(back.nodes[i].right, f.nodes[i].right);
    EXPECT_EQ(back.nodes[i].leaf_value, f.nodes[i].leaf_value);
    EXPECT_EQ(back.nodes[i].leaf_class, -1);
    EXPECT_EQ(back.nodes[i].leaf_confidence, 0.0f);
  }
  forest_free(&back);
  forest_free(&back);
  forest_free(nullptr);
  expect_truncations_fail(blob, len, GBT_CORRUPT);
  sqlite3_free(blob);
  forest_free(&f);
}

TEST(ForestBlob, HeaderAndNodeValidation) {
  st::LeakCheck leak;
  EXPECT_EQ(read_msg(forest_bytes(0, 2, 3, 3, 2, 6)), "");
  EXPECT_EQ(read_msg(forest_bytes(1, 2, 0, 1, 4, 4)), "");
  EXPECT_EQ(read_msg(forest_bytes(0, 2, 3, 3, 2, 5)), GBT_CORRUPT); // T != R x K
  EXPECT_EQ(read_msg(forest_bytes(0, 2, 3, 3, 2, 7)), GBT_CORRUPT);
  EXPECT_EQ(read_msg(forest_bytes(0, 2, 3, 2, 2, 4)), GBT_CORRUPT); // K != C for classification
  EXPECT_EQ(read_msg(forest_bytes(1, 2, 0, 2, 2, 4)), GBT_CORRUPT); // K != 1 for regression
  EXPECT_EQ(read_msg(forest_bytes(2, 2, 0, 1, 1, 1)), GBT_CORRUPT); // task
  EXPECT_EQ(read_msg(forest_bytes(1, 0, 0, 1, 1, 1)), GBT_CORRUPT); // F = 0
  EXPECT_EQ(read_msg(forest_bytes(1, 65, 0, 1, 1, 1)), GBT_CORRUPT);
  EXPECT_EQ(read_msg(forest_bytes(1, 1, -1, 1, 1, 1)), GBT_CORRUPT); // C < 0
  EXPECT_EQ(read_msg(forest_bytes(0, 1, 0, 0, 1, 0)), GBT_CORRUPT);  // K = 0
  EXPECT_EQ(read_msg(forest_bytes(1, 1, 0, 1, 0, 0)), GBT_CORRUPT);  // R = 0
  EXPECT_EQ(read_msg(forest_bytes(1, 1, 0, 1, 1048577, 1048577)), GBT_CORRUPT);
  // R = 2^20 passes the header and fails only for lack of trees.
  EXPECT_EQ(read_msg(forest_bytes(1, 1, 0, 1, 1048576, 1)), GBT_CORRUPT);

  auto one_tree = [](int32_t n, std::vector<std::array<int32_t, 3>> nodes) {
    Bytes b;
    b.magic("VNGBT01").i32(1).i32(2).i32(0).i32(1).i32(1).f32(0.1f).f32(0).str("a").str("b").i32(1).i32(n);
    for (auto &nd : nodes)
      b.i32(nd[0]).f32(0.5f).i32(nd[1]).i32(nd[2]).f32(1.0f);
    return b;
  };
  EXPECT_EQ(read_msg(one_tree(3, {{1, 1, 2}, {-1, 0, 0}, {-1, 0, 0}})), "");
  EXPECT_EQ(read_msg(one_tree(3, {{1, 1, 3}, {-1, 0, 0}, {-1, 0, 0}})), GBT_CORRUPT); // child == n
  EXPECT_EQ(read_msg(one_tree(3, {{1, -1, 2}, {-1, 0, 0}, {-1, 0, 0}})), GBT_CORRUPT);
  EXPECT_EQ(read_msg(one_tree(3, {{2, 1, 2}, {-1, 0, 0}, {-1, 0, 0}})), GBT_CORRUPT); // feature == F
  EXPECT_EQ(read_msg(one_tree(0, {})), GBT_CORRUPT);                                  // n = 0
  EXPECT_EQ(read_msg(one_tree(1048577, {{-1, 0, 0}})), GBT_CORRUPT);
  EXPECT_EQ(read_msg(one_tree(2, {{-1, 0, 0}})), GBT_CORRUPT); // fewer nodes than counted
}

TEST(ForestBlob, ManyTreesGrowTheNodeArray) {
  st::LeakCheck leak;
  Bytes b = forest_bytes(0, 3, 4, 4, 300, 1200);
  student_model m;
  char *msg = nullptr;
  ASSERT_EQ(student_read(b.data(), b.size(), &m, &msg), SQLITE_OK);
  ASSERT_EQ(m.kind, STUDENT_KIND_FOREST);
  EXPECT_EQ(m.forest.tree_offsets[1200], 1200);
  EXPECT_GE(m.forest.node_capacity, 1200);
  EXPECT_EQ(m.forest.nodes[1199].leaf_value, 0.25f * 1199);
  student_free(&m);
}

TEST(MlpBlob, WriterMatchesLayoutAndRoundTrips) {
  st::LeakCheck leak;
  for (bool classify : {true, false}) {
    mlp_model m;
    make_mlp(&m, classify);
    unsigned char *blob = nullptr;
    int64_t len = 0;
    ASSERT_EQ(mlp_serialize(&m, &blob, &len), SQLITE_OK);
    int O = m.output_count;
    ASSERT_EQ(len, 28 + 8 * 2 + 4 * (6 + 3 + O * 3 + O) + 10 + (classify ? 12 : 0));
    Bytes want;
    want.magic("VNMLP01").i32(classify ? 0 : 1).i32(2).i32(3).i32(O).i32(classify ? 2 : 0);
    want.f32(1.0f).f32(-2.0f).f32(2.0f).f32(0.5f);
    for (float w : {0.1f, 0.2f, -0.3f, 0.4f, 0.5f, -0.6f})
      want.f32(w);
    want.f32(0.01f).f32(-0.02f).f32(0.03f);
    for (int i = 0; i < 3 * O; i++)
      want.f32(0.7f - 0.2f * i);
    if (classify)
      want.f32(0.5f).f32(-0.5f).str("u").str("v").str("lo").str("hi");
    else
      want.f32(3.0f).str("u").str("v");
    ASSERT_EQ(std::vector<unsigned char>(blob, blob + len), want.b);

    mlp_model back;
    char *msg = nullptr;
    ASSERT_EQ(mlp_deserialize(blob, len, &back, &msg), SQLITE_OK);
    EXPECT_EQ(back.task, m.task);
    EXPECT_EQ(back.class_count, m.class_count);
    EXPECT_EQ(memcmp(back.hidden_weights, m.hidden_weights, 6 * 4), 0);
    EXPECT_EQ(memcmp(back.output_weights, m.output_weights, 3 * O * 4), 0);
    EXPECT_EQ(back.output_bias[O - 1], m.output_bias[O - 1]);
    EXPECT_EQ(back.input_scale[1], 0.5f);
    EXPECT_STREQ(back.feature_names[1], "v");
    if (classify) {
      EXPECT_STREQ(back.class_labels[1], "hi");
    }
    EXPECT_EQ(back.skip_weights, nullptr);
    mlp_free(&back);
    mlp_free(&back);
    expect_truncations_fail(blob, len, MLP_MALFORMED);
    sqlite3_free(blob);
    mlp_free(&m);
  }
}

TEST(MlpBlob, HeaderValidation) {
  st::LeakCheck leak;
  EXPECT_EQ(read_msg(mlp_header(0, 2, 3, 2, 2)), "");
  EXPECT_EQ(read_msg(mlp_header(1, 2, 3, 1, 0)), "");
  EXPECT_EQ(read_msg(mlp_header(1, 2, 3, 1, 4)), "");            // labels on a regression network are read
  EXPECT_EQ(read_msg(mlp_header(0, 2, 3, 2, 3)), MLP_MALFORMED); // C != O
  EXPECT_EQ(read_msg(mlp_header(1, 2, 3, 2, 0)), MLP_MALFORMED); // regression with O = 2
  EXPECT_EQ(read_msg(mlp_header(2, 2, 3, 1, 0)), MLP_MALFORMED);
  EXPECT_EQ(read_msg(mlp_header(1, 0, 3, 1, 0)), MLP_MALFORMED);
  EXPECT_EQ(read_msg(mlp_header(1, 65, 3, 1, 0)), MLP_MALFORMED);
  EXPECT_EQ(read_msg(mlp_header(1, 2, 0, 1, 0)), MLP_MALFORMED);
  EXPECT_EQ(read_msg(mlp_header(1, 2, 2049, 1, 0, false)), MLP_MALFORMED);
  EXPECT_EQ(read_msg(mlp_header(0, 2, 3, 2049, 2049, false)), MLP_MALFORMED);
  EXPECT_EQ(read_msg(mlp_header(1, 2, 3, 1, 2049, false)), MLP_MALFORMED);
  EXPECT_EQ(read_msg(mlp_header(1, 2, 3, 1, -1)), MLP_MALFORMED);
  // The widest legal header with no body is short, not an allocation of 2048 x 2048 floats.
  EXPECT_EQ(read_msg(mlp_header(0, 64, 2048, 2048, 2048, false)), MLP_MALFORMED);
  // Bytes after the last item are not examined.
  Bytes extra = mlp_header(1, 2, 3, 1, 0);
  extra.raw("trailing", 8);
  EXPECT_EQ(read_msg(extra), "");
}

TEST(MlpBlob, SkipBlockIsNotStored) {
  st::LeakCheck leak;
  mlp_model m;
  make_mlp(&m, false);
  unsigned char *plain = nullptr, *skipped = nullptr;
  int64_t n1 = 0, n2 = 0;
  ASSERT_EQ(mlp_serialize(&m, &plain, &n1), SQLITE_OK);
  m.skip_weights = st::host_copy<float>({9.0f, 9.0f});
  ASSERT_EQ(mlp_serialize(&m, &skipped, &n2), SQLITE_OK);
  ASSERT_EQ(n1, n2);
  EXPECT_EQ(memcmp(plain, skipped, n1), 0);
  sqlite3_free(plain);
  sqlite3_free(skipped);
  mlp_free(&m);
  EXPECT_EQ(m.skip_weights, nullptr);
}

// Random corruption of valid blobs of every layout: each read either succeeds or reports its
// layout's message, never over-reads (checked under the sanitizer build) and never leaks.
TEST(StudentBlob, RandomCorruptionIsRefusedCleanly) {
  st::LeakCheck leak;
  std::vector<std::vector<unsigned char>> seeds;
  {
    tree_model t;
    make_tree(&t);
    unsigned char *b;
    int64_t n;
    ASSERT_EQ(tree_serialize(&t, &b, &n), SQLITE_OK);
    seeds.emplace_back(b, b + n);
    sqlite3_free(b);
    tree_free(&t);
    forest_model f;
    make_forest(&f);
    ASSERT_EQ(forest_serialize(&f, &b, &n), SQLITE_OK);
    seeds.emplace_back(b, b + n);
    sqlite3_free(b);
    forest_free(&f);
    mlp_model m;
    make_mlp(&m, true);
    ASSERT_EQ(mlp_serialize(&m, &b, &n), SQLITE_OK);
    seeds.emplace_back(b, b + n);
    sqlite3_free(b);
    mlp_free(&m);
  }
  const std::string allowed[] = {"", TREE_CORRUPT, GBT_CORRUPT, MLP_MALFORMED, NOT_STUDENT};
  uint32_t state = 12345;
  auto next = [&] { return state = state * 1664525u + 1013904223u; };
  for (int trial = 0; trial < 3000; trial++) {
    std::vector<unsigned char> blob = seeds[trial % 3];
    int flips = 1 + next() % 4;
    for (int i = 0; i < flips; i++) {
      size_t at = 8 + next() % (blob.size() - 8); // keep the magic so the layout reader runs
      blob[at] = (unsigned char)(next() >> 24);
    }
    if (next() % 4 == 0) blob.resize(8 + next() % (blob.size() - 8));
    // Heap copy of exact size so any over-read is caught by the sanitizer.
    std::unique_ptr<unsigned char[]> exact(new unsigned char[blob.size()]);
    memcpy(exact.get(), blob.data(), blob.size());
    std::string msg = read_msg(exact.get(), (int64_t)blob.size());
    bool ok = false;
    for (const std::string &a : allowed)
      ok = ok || msg == a;
    ASSERT_TRUE(ok) << msg;
  }
}
