// vornel() in student mode through SQL: registry rows carrying hand-made blobs of the three
// layouts, row statuses, and hostile weights. The apply-query rules and the dispatch messages
// per runtime are in tests/sql/vornel_student.test.
#include "registry/registry.h"
#include "student_test_util.h"
#include "support/harness.h"
#include <cmath>

namespace {

// A nested prepare that fails replaces the connection's error text with a fresh allocation;
// let the first one happen outside any measured statement.
void warm_up(sqlite3 *db, const std::string &id) {
  sqlite3_exec(db, ("SELECT * FROM vornel(NULL, 'SELEC', '{\"model\":\"" + id + "\"}')").c_str(), nullptr, nullptr,
               nullptr);
}

// A connection with the registry in place and the module warmed up (see KnnDb in the
// in-context tests for why).
struct StudentDb : vt::Db {
  StudentDb() {
    char *msg = nullptr;
    EXPECT_EQ(vornel0_registry_ensure(handle(), &msg), SQLITE_OK);
    sqlite3_free(msg);
    put("warm", st::Bytes()
                    .magic("VNTREE01")
                    .i32(1)
                    .i32(1)
                    .i32(0)
                    .i32(1)
                    .str("x")
                    .i32(-1)
                    .f32(0)
                    .i32(0)
                    .i32(0)
                    .f32(0)
                    .i32(0)
                    .f32(0)
                    .b);
    warm_up(handle(), "warm");
  }
  // Stores weights under id as a tree-runtime student.
  void put(const std::string &id, const std::vector<unsigned char> &blob) {
    sqlite3_stmt *st = nullptr;
    ASSERT_EQ(
        sqlite3_prepare_v2(handle(),
                           "INSERT OR REPLACE INTO _vornel_models (model_id, kind, runtime, weights, content_hash, "
                           "license) VALUES (?, 'student', 'tree', ?, ?, 'MIT')",
                           -1, &st, nullptr),
        SQLITE_OK);
    char hash[VORNEL_HASH_HEX_SIZE];
    vornel0_hash_bytes(blob.data(), (int64_t)blob.size(), hash);
    sqlite3_bind_text(st, 1, id.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(st, 2, blob.data(), (int)blob.size(), SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 3, hash, -1, SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(st), SQLITE_DONE) << sqlite3_errmsg(handle());
    sqlite3_finalize(st);
  }
  void put_tree(const std::string &id, tree_model *t) {
    unsigned char *blob = nullptr;
    int64_t len = 0;
    ASSERT_EQ(tree_serialize(t, &blob, &len), SQLITE_OK);
    put(id, std::vector<unsigned char>(blob, blob + len));
    sqlite3_free(blob);
    tree_free(t);
  }
};

std::string student(const std::string &id, const std::string &apply, const std::string &extra = "") {
  return "SELECT * FROM vornel(NULL, '" + apply + "', '{\"model\":\"" + id + "\"" + extra + "}')";
}

// Regression tree: a ("a") < 1 ? 2.5 : (b ("b") < 10 ? -1 : 100).
void reg_tree(tree_model *t) {
  *t = tree_model{};
  t->task = STUDENT_REGRESS;
  t->feature_count = 2;
  t->feature_names = st::host_names({"a", "b"});
  t->node_count = 5;
  t->nodes = st::host_copy<tree_node>(
      {st::split(0, 1.0f, 1, 2), st::leaf(2.5f), st::split(1, 10.0f, 3, 4), st::leaf(-1.0f), st::leaf(100.0f)});
}

} // namespace

TEST(VornelStudent, RegressionTree) {
  StudentDb db;
  tree_model t;
  reg_tree(&t);
  db.put_tree("reg", &t);
  EXPECT_EQ(db.run(student("reg", "SELECT 1, 0 AS a, 0 AS b UNION ALL SELECT 2, 5, 3 UNION ALL SELECT 3, 5, 10 "
                                  "UNION ALL SELECT 4, 1, 99.5"))
                .text(),
            "1|2.5|NULL|ok\n2|-1|NULL|ok\n3|100|NULL|ok\n4|100|NULL|ok");
  // Same results with the inputs in another order; extra text after the first statement is
  // ignored; target and task play no part.
  EXPECT_EQ(db.run(student("reg", "SELECT 1, 0 AS b, 0 AS a UNION ALL SELECT 2, 3, 5; this is ignored",
                           ",\"target\":\"zzz\",\"task\":\"cluster\""))
                .text(),
            "1|2.5|NULL|ok\n2|-1|NULL|ok");
  // A text, NULL or blob input marks its row non_numeric; the others are evaluated.
  EXPECT_EQ(db.run(student("reg", "SELECT ''k'', ''x'' AS a, 0 AS b UNION ALL SELECT 2.5, 0, 0 UNION ALL SELECT "
                                  "NULL, 0, NULL UNION ALL SELECT x''01'', x''02'', 1"))
                .text(),
            "k|NULL|NULL|non_numeric\n2.5|2.5|NULL|ok\nNULL|NULL|NULL|non_numeric\n\x01|NULL|NULL|non_numeric");
  // Integers are converted to binary32: 16777217 becomes 16777216.
  tree_model big;
  reg_tree(&big);
  big.nodes[0].threshold = 16777217.0f; // stored as 16777216
  db.put_tree("big", &big);
  EXPECT_EQ(db.run(student("big", "SELECT 1, 16777217 AS a, 0 AS b UNION ALL SELECT 2, 16777215, 0")).text(),
            "1|-1|NULL|ok\n2|2.5|NULL|ok");
  // An apply query with no rows gives an empty table.
  EXPECT_EQ(db.run(student("reg", "SELECT 1, 0 AS a, 0 AS b WHERE 0")).text(), "");
}

TEST(VornelStudent, ClassificationTreeConfidenceAndCycles) {
  StudentDb db;
  tree_model t{};
  t.task = STUDENT_CLASSIFY;
  t.feature_count = 1;
  t.feature_names = st::host_names({"x"});
  t.class_count = 2;
  t.class_labels = st::host_names({"no", "yes"});
  t.node_count = 3;
  t.nodes = st::host_copy<tree_node>({st::split(0, 0.5f, 1, 2), st::leaf(0, 1, 0.8125f), st::leaf(0, 0, 0.7f)});
  db.put_tree("cls", &t);
  EXPECT_EQ(db.run("SELECT row_ref, prediction, confidence = CAST(0.7 AS REAL), confidence FROM vornel(NULL, "
                   "'SELECT 1, 0 AS x UNION ALL SELECT 2, 0.5', '{\"model\":\"cls\"}')")
                .text(),
            "1|yes|0|0.8125\n2|no|0|0.69999998807907105");
  // A cycle through internal nodes fails the whole call.
  tree_model c{};
  c.task = STUDENT_REGRESS;
  c.feature_count = 1;
  c.feature_names = st::host_names({"x"});
  c.node_count = 3;
  c.nodes = st::host_copy<tree_node>({st::split(0, 0.0f, 1, 2), st::split(0, 9.0f, 0, 2), st::leaf(1.0f)});
  db.put_tree("cyc", &c);
  EXPECT_EQ(db.run(student("cyc", "SELECT 1, 5 AS x")).text(), "1|1|NULL|ok");
  EXPECT_EQ(db.error(student("cyc", "SELECT 1, 5 AS x UNION ALL SELECT 2, -5")),
            "VORNEL_ERR_SCHEMA: malformed tree traversal");
}

TEST(VornelStudent, HostileWeights) {
  StudentDb db;
  struct Case {
    std::vector<unsigned char> blob;
    std::string message;
  };
  std::vector<Case> cases = {
      {{0x00}, "VORNEL_ERR_SCHEMA: not a tree student blob"},
      {std::vector<unsigned char>{'V', 'N', 'G', 'B', 'T', '0', '1'}, "VORNEL_ERR_SCHEMA: not a tree student blob"},
      {st::Bytes().magic("VNTREE01").i32(0).i32(1).i32(0).b, "VORNEL_ERR_SCHEMA: corrupt tree student blob"},
      {st::Bytes().magic("VNTREE01").i32(1).i32(1).i32(0).i32(1).i32(-5).b,
       "VORNEL_ERR_SCHEMA: corrupt tree student blob"},
      {st::Bytes().magic("VNGBT01").i32(1).i32(1).i32(0).i32(1).i32(1).f32(0.1f).f32(0).str("x").i32(2).b,
       "VORNEL_ERR_SCHEMA: corrupt gbt student blob"},
      {st::Bytes().magic("VNMLP01").i32(1).i32(1).i32(1).i32(2).i32(0).b,
       "VORNEL_ERR_SCHEMA: malformed mlp student blob"},
      {st::Bytes().magic("VNFCST02").i32(1).b, "VORNEL_ERR_SCHEMA: not a tree student blob"},
  };
  for (size_t i = 0; i < cases.size(); i++) {
    db.put("bad", cases[i].blob);
    EXPECT_EQ(db.error(student("bad", "SELECT 1, 2 AS x")), cases[i].message) << "case " << i;
  }
}

TEST(VornelStudent, BoostedTreesAndPerceptron) {
  StudentDb db;
  // Two-class forest, one round: output 0 always 1.0, output 1 is 2.0 for x >= 0 and -2.0 below.
  forest_model f{};
  f.task = STUDENT_CLASSIFY;
  f.feature_count = 1;
  f.feature_names = st::host_names({"x"});
  f.class_count = 2;
  f.class_labels = st::host_names({"neg", "pos"});
  f.output_count = 2;
  f.rounds = 1;
  f.learning_rate = 0.5f;
  f.initial_scores = st::host_copy<float>({0.0f, 0.0f});
  f.tree_count = 2;
  f.tree_offsets = st::host_copy<int32_t>({0, 1, 4});
  f.nodes = st::host_copy<tree_node>({st::leaf(2.0f), st::split(0, 0.0f, 1, 2), st::leaf(-4.0f), st::leaf(4.0f)});
  unsigned char *blob = nullptr;
  int64_t len = 0;
  ASSERT_EQ(forest_serialize(&f, &blob, &len), SQLITE_OK);
  db.put("gbt", std::vector<unsigned char>(blob, blob + len));
  sqlite3_free(blob);
  forest_free(&f);
  // Scores (1, -2): neg with 1 / (1 + e^-3); scores (1, 2): pos with 1 / (1 + e^-1).
  EXPECT_EQ(db.run("SELECT row_ref, prediction, abs(confidence - 1 / (1 + exp(-3))) < 1e-15, "
                   "abs(confidence - 1 / (1 + exp(-1))) < 1e-15 FROM vornel(NULL, 'SELECT 1, -1 AS x UNION ALL "
                   "SELECT 2, 0', '{\"model\":\"gbt\"}')")
                .text(),
            "1|neg|1|0\n2|pos|0|1");

  // Rows are scored in batches: many rows, with non-numeric ones between, keep their answers.
  EXPECT_EQ(
      db.run("SELECT count(*), sum(prediction = CASE WHEN row_ref % 2 = 0 THEN 'neg' ELSE 'pos' END), "
             "sum(status = 'non_numeric'), min(row_ref), max(row_ref) FROM vornel(NULL, "
             "'WITH RECURSIVE s(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM s WHERE i < 199) SELECT i, "
             "CASE WHEN i % 7 = 3 THEN ''t'' WHEN i % 2 = 0 THEN -1 ELSE 1 END AS x FROM s', '{\"model\":\"gbt\"}')")
          .text(),
      "200|171|29|0|199");
  // Perceptron regression: one input, one hidden unit with weight 0 (tanh(bias)), output
  // bias 1 + 2 * tanh(0.5).
  mlp_model m{};
  m.task = STUDENT_REGRESS;
  m.input_count = 1;
  m.hidden_count = 1;
  m.output_count = 1;
  m.feature_names = st::host_names({"v"});
  m.input_mean = st::host_copy<float>({0.0f});
  m.input_scale = st::host_copy<float>({1.0f});
  m.hidden_weights = st::host_copy<float>({0.0f});
  m.hidden_bias = st::host_copy<float>({0.5f});
  m.output_weights = st::host_copy<float>({2.0f});
  m.output_bias = st::host_copy<float>({1.0f});
  ASSERT_EQ(mlp_serialize(&m, &blob, &len), SQLITE_OK);
  db.put("mlp", std::vector<unsigned char>(blob, blob + len));
  sqlite3_free(blob);
  mlp_free(&m);
  char want[64];
  snprintf(want, sizeof want, "%.17g", (double)(float)(1.0 + 2.0 * (double)(float)std::tanh(0.5)));
  EXPECT_EQ(db.run(student("mlp", "SELECT 7, 123 AS v")).text(), std::string("7|") + want + "|NULL|ok");
}
