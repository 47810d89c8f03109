// distill_vornel through SQL, where the stored blob or a numeric bound is checked: the tree and
// holdout error of a regression, determinism of the content hash, the students' shapes, soft
// priors, and that failing calls hold no memory. Messages and plain rows are in
// tests/sql/distill.test.
#include "registry/registry.h"
#include "support/harness.h"
#include "tabular/student.h"
#include <cmath>
#include <string>

namespace {

// Rows 1..n of (x, y): x = i, y given by label(i).
template <class F> void make_table(vt::Db &db, const char *name, int n, F label) {
  db.exec(std::string("CREATE TABLE ") + name + "(x REAL, z REAL, y)");
  for (int i = 1; i <= n; i++)
    db.exec(std::string("INSERT INTO ") + name + " VALUES(" + std::to_string(i) + "," + std::to_string(i % 3) + "," +
            label(i) + ")");
}

std::string call(const std::string &query, const std::string &opts) {
  return "SELECT model_id, train_rows, holdout_metric FROM distill_vornel('" + query + "', '" + opts + "')";
}

// Runs a statement that writes a student. The page cache grows with every stored blob, so
// the harness's per-statement memory balance cannot apply; leaks on these paths are checked
// by LeakFreeAcrossRepeatedRuns instead.
vt::Result write(vt::Db &db, const std::string &sql) {
  vt::Result r;
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    r.ok = false;
    r.error = sqlite3_errmsg(db.handle());
    return r;
  }
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    std::string row;
    for (int c = 0; c < sqlite3_column_count(st); c++)
      row += (c ? "|" : "") + vt::render(st, c);
    r.rows.push_back(row);
  }
  if (rc != SQLITE_DONE) {
    r.ok = false;
    r.error = sqlite3_errmsg(db.handle());
  }
  sqlite3_finalize(st);
  return r;
}

std::string first(const vt::Result &r) {
  if (!r.ok) return "Error: " + r.error;
  return r.rows.empty() ? "<no rows>" : r.rows[0].substr(0, r.rows[0].find('|'));
}

// The stored blob of a student, read back into a student record.
student_model read_student(vt::Db &db, const std::string &id) {
  sqlite3_stmt *st = nullptr;
  sqlite3_prepare_v2(db.handle(), ("SELECT weights FROM _vornel_models WHERE model_id='" + id + "'").c_str(), -1, &st,
                     nullptr);
  student_model m{};
  if (sqlite3_step(st) == SQLITE_ROW) {
    char *msg = nullptr;
    EXPECT_EQ(student_read((const unsigned char *)sqlite3_column_blob(st, 0), sqlite3_column_bytes(st, 0), &m, &msg),
              SQLITE_OK);
    sqlite3_free(msg);
  }
  sqlite3_finalize(st);
  return m;
}

} // namespace

TEST(DistillSql, RegressionHoldoutAndTree) {
  vt::Db db;
  // Regression: train y = 0 (x <= 4), 10 (x 5..8); holdout x = 9 (10) and x = 10 (13).
  make_table(db, "r", 10, [](int i) { return std::to_string(i <= 4 ? 0 : i == 10 ? 13 : 10); });
  vt::Result r = write(db, "SELECT holdout_metric FROM distill_vornel('SELECT x, y FROM r', "
                           "'{\"target\":\"y\",\"task\":\"regress\",\"student_id\":\"r1\"}')");
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_NEAR(std::stod(r.rows[0]), std::sqrt(9.0 / 2), 1e-12);
  student_model m = read_student(db, "r1");
  ASSERT_EQ(m.kind, STUDENT_KIND_TREE);
  EXPECT_EQ(m.tree.node_count, 3);
  EXPECT_FLOAT_EQ(m.tree.nodes[0].threshold, 4.5f);
  EXPECT_STREQ(m.tree.feature_names[0], "x");
  student_free(&m);
}

TEST(DistillSql, DeterministicHashOfTheStoredBlob) {
  vt::Db db;
  make_table(db, "t", 60, [](int i) { return i % 3 == 0 ? "'p'" : i % 3 == 1 ? "'q'" : "'r'"; });
  for (const char *kind : {"tree", "gbt", "mlp"}) {
    std::string q = std::string("SELECT content_hash FROM distill_vornel('SELECT x, z, y FROM t', "
                                "'{\"target\":\"y\",\"student_id\":\"d\",\"student_kind\":\"") +
                    kind + "\"}')";
    std::string h1 = first(write(db, q));
    ASSERT_EQ(h1.size(), 64u) << h1;
    // The hash is the SHA-256 of the stored weights.
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db.handle(), "SELECT weights, content_hash FROM _vornel_models WHERE model_id='d'", -1, &st,
                       nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    sha256_state hs;
    vornel0_hash_init(&hs);
    sha256_update(&hs, sqlite3_column_blob(st, 0), (size_t)sqlite3_column_bytes(st, 0));
    char hex[65];
    vornel0_hash_hex(&hs, hex);
    EXPECT_EQ(hex, h1);
    EXPECT_EQ((const char *)sqlite3_column_text(st, 1), h1);
    sqlite3_finalize(st);
    db.exec("DELETE FROM _vornel_models WHERE model_id='d'");
    EXPECT_EQ(first(write(db, q)), h1) << kind;
    db.exec("DELETE FROM _vornel_models WHERE model_id='d'");
  }
  EXPECT_EQ(
      first(write(
          db,
          "SELECT kind || runtime || license || (io_spec IS NULL) FROM _vornel_models WHERE model_id="
          "(SELECT model_id FROM distill_vornel('SELECT x, y FROM t', '{\"target\":\"y\",\"student_id\":\"k\"}'))")),
      "studenttreeunspecified1");
}

TEST(DistillSql, StudentKindsAndVocabulary) {
  vt::Db db;
  // Class 'late' appears only among the holdout rows: it still gets an output.
  make_table(db, "t", 40, [](int i) { return i > 38 ? "'late'" : i % 2 ? "'odd'" : "'even'"; });
  const std::string q = "SELECT x, z, y FROM t";
  ASSERT_EQ(first(write(db, call(q, "{\"target\":\"y\",\"student_id\":\"g\",\"student_kind\":\"gbt\"}"))), "g");
  student_model g = read_student(db, "g");
  ASSERT_EQ(g.kind, STUDENT_KIND_FOREST);
  EXPECT_EQ(g.forest.output_count, 3);
  EXPECT_EQ(g.forest.tree_count, 600);
  EXPECT_STREQ(g.forest.class_labels[2], "late");
  EXPECT_FLOAT_EQ(g.forest.initial_scores[2], (float)std::log(1.0 / (32 + 3)));
  student_free(&g);
  ASSERT_EQ(first(write(db, call(q, "{\"target\":\"y\",\"student_id\":\"m\",\"student_kind\":\"mlp\"}"))), "m");
  student_model m = read_student(db, "m");
  ASSERT_EQ(m.kind, STUDENT_KIND_MLP);
  EXPECT_EQ(m.mlp.hidden_count, 48);
  EXPECT_EQ(m.mlp.output_count, 3);
  EXPECT_EQ(m.mlp.input_count, 2);
  EXPECT_STREQ(m.mlp.feature_names[1], "z");
  student_free(&m);
  // Regression boosted trees store one output and no labels.
  ASSERT_EQ(first(write(db, call("SELECT z, x FROM t", "{\"target\":\"x\",\"task\":\"regress\",\"student_id\":\"gr\","
                                                       "\"student_kind\":\"gbt\"}"))),
            "gr");
  student_model r = read_student(db, "gr");
  EXPECT_EQ(r.forest.task, STUDENT_REGRESS);
  EXPECT_EQ(r.forest.output_count, 1);
  EXPECT_EQ(r.forest.tree_count, 200);
  student_free(&r);
}

// The priors of soft students (their messages and rows are in tests/sql/distill.test).
TEST(DistillSql, SoftDistillationPriors) {
  vt::Db db;
  db.exec("CREATE TABLE s(x REAL, pa REAL, pb REAL, y TEXT)");
  for (int i = 1; i <= 30; i++)
    db.exec("INSERT INTO s VALUES(" + std::to_string(i) + "," + (i <= 15 ? "0.9,0.1" : "0.2,0.8") + "," +
            (i <= 15 ? "'A'" : "'B'") + ")");
  const std::string classes = ",\"classes\":\"[\\\"A\\\",\\\"B\\\"]\"}";
  // Features exclude the proba columns; the priors are the mean probabilities of the train rows.
  ASSERT_EQ(
      first(write(db, call("SELECT x, pa, pb, y FROM s",
                           "{\"target\":\"y\",\"student_id\":\"p\",\"proba\":\"[\\\"pa\\\",\\\"pb\\\"]\"" + classes))),
      "p");
  student_model g = read_student(db, "p");
  ASSERT_EQ(g.kind, STUDENT_KIND_FOREST);
  EXPECT_EQ(g.forest.feature_count, 1);
  EXPECT_FLOAT_EQ(g.forest.initial_scores[0], (float)std::log((15 * 0.9 + 9 * 0.2) / 24));
  student_free(&g);
  // All-zero or negative probabilities train on the uniform distribution: equal priors.
  ASSERT_EQ(
      first(write(db, call("SELECT x, -pa AS na, 0 AS nb, y FROM s",
                           "{\"target\":\"y\",\"student_id\":\"u\",\"proba\":\"[\\\"na\\\",\\\"nb\\\"]\"" + classes))),
      "u");
  student_model u = read_student(db, "u");
  EXPECT_FLOAT_EQ(u.forest.initial_scores[0], (float)std::log(0.5));
  EXPECT_FLOAT_EQ(u.forest.initial_scores[1], (float)std::log(0.5));
  student_free(&u);
}

TEST(DistillSql, LeakFreeAcrossRepeatedRuns) {
  // Once the page cache holds a student of each size, storing it again under the same id
  // (after deleting it) must leave the connection's memory exactly where it was.
  vt::Db db;
  make_table(db, "t", 50, [](int i) { return i % 3 ? "'u'" : "'v'"; });
  for (const char *kind : {"tree", "gbt", "mlp"}) {
    std::string q = std::string("SELECT model_id FROM distill_vornel('SELECT x, z, y FROM t', "
                                "'{\"target\":\"y\",\"student_id\":\"L\",\"student_kind\":\"") +
                    kind + "\"}')";
    sqlite3_int64 mem[3];
    for (int round = 0; round < 3; round++) {
      ASSERT_EQ(first(write(db, q)), "L");
      db.exec("DELETE FROM _vornel_models WHERE model_id='L'");
      mem[round] = sqlite3_memory_used();
    }
    EXPECT_EQ(mem[1], mem[2]) << kind;
  }
  // A teacher that cannot run fails without leaving anything behind.
  std::string msg = first(write(db, "SELECT * FROM distill_vornel('SELECT x, y FROM t', "
                                    "'{\"target\":\"y\",\"student_id\":\"T\",\"teacher\":\"no-such-model\"}')"));
  EXPECT_EQ(msg.rfind("Error: VORNEL_ERR_", 0), 0u) << msg;
  EXPECT_EQ(db.one("SELECT count(*) FROM _vornel_models WHERE model_id='T'"), "0");
}

// Teacher failures carry the teacher's own message; a regression teacher labels every row.
// The exact messages and rows are in tests/sql/distill.test.
TEST(DistillSql, TeacherLabels) {
  vt::Db db;
  make_table(db, "t", 20, [](int i) { return i == 7 ? "'b'" : "'a'"; });
  std::string msg =
      db.error(call("SELECT x, z, y FROM t", "{\"target\":\"y\",\"student_id\":\"s\",\"teacher\":\"nope\"}"));
  EXPECT_EQ(msg.rfind("VORNEL_ERR_RESOURCE: teacher produced 0 labels for 20 rows (VORNEL_ERR_MODEL_NOT_FOUND", 0), 0u)
      << msg;
  vt::Result r = write(db, "SELECT train_rows, holdout_metric FROM distill_vornel('SELECT x, x * 2 AS w FROM t', "
                           "'{\"target\":\"w\",\"student_id\":\"k3\",\"teacher\":\"knn5-incontext\","
                           "\"task\":\"regress\",\"student_kind\":\"gbt\"}')");
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.rows[0].substr(0, 3), "20|");
}

TEST(DistillSql, OutOfMemoryAnywhereFailsCleanly) {
  // A hard heap limit a little above the current use makes some allocation fail: reading rows,
  // interning labels, training, serialising or inserting. Every such call must fail with an
  // out-of-memory error, store nothing and give back every byte.
  vt::Db db;
  make_table(db, "t", 60, [](int i) { return i % 3 ? "'u'" : "'v'"; });
  ASSERT_EQ(first(write(db, call("SELECT x, z, y FROM t", "{\"target\":\"y\",\"student_id\":\"warm\"}"))), "warm");
  db.exec("DELETE FROM _vornel_models WHERE model_id = 'warm'");
  int failures = 0;
  for (const char *kind : {"tree", "gbt", "mlp"}) {
    const std::string q = call("SELECT x, z, y FROM t", std::string("{\"target\":\"y\",\"student_id\":\"oom\","
                                                                    "\"student_kind\":\"") +
                                                            kind + "\"}");
    for (sqlite3_int64 extra = 2048; extra < (sqlite3_int64)1 << 21; extra = extra * 3 / 2) {
      sqlite3_int64 before = sqlite3_memory_used();
      sqlite3_hard_heap_limit64(before + extra);
      vt::Result r = write(db, q);
      sqlite3_hard_heap_limit64(0);
      if (r.ok) {
        db.exec("DELETE FROM _vornel_models WHERE model_id = 'oom'");
        continue;
      }
      failures++;
      // Ours say "out of memory"; the registry's own helpers report theirs under the same code.
      EXPECT_TRUE(r.error == "VORNEL_ERR_RESOURCE: out of memory" || r.error == "out of memory" ||
                  r.error == "VORNEL_ERR_RESOURCE: student insert failed: out of memory" ||
                  r.error.rfind("VORNEL_ERR_RESOURCE: cannot ", 0) == 0)
          << kind << " " << extra << ": " << r.error;
      EXPECT_EQ(db.one("SELECT count(*) FROM _vornel_models WHERE model_id = 'oom'"), "0");
      EXPECT_EQ(sqlite3_memory_used(), before) << kind << " " << extra;
    }
  }
  EXPECT_GT(failures, 10);
}
