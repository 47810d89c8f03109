// What training refuses and where it stops: values not finite in binary32 are refused before
// training (through SQL, for both distillation functions), a student whose parameters are not
// all finite is never stored, a perceptron with more classes than its blob may hold is refused
// before training, and every trainer stops and frees everything when its cancel hook says so.
#include "distill/gbt_train.h"
#include "distill/mlp_train.h"
#include "distill/train_checks.h"
#include "distill/tree_build.h"
#include "support/harness.h"
#include <cmath>
#include <cstring>
#include <vector>

namespace {

std::string error_of(vt::Db &db, const std::string &sql) {
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return sqlite3_errmsg(db.handle());
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
  }
  std::string msg = rc == SQLITE_DONE ? "no error" : sqlite3_errmsg(db.handle());
  sqlite3_finalize(st);
  return msg;
}

// A table t(a, b, y) of n rows, y = 'p' or 'q' (or a number for regression).
void make_table(vt::Db &db, int n, bool regress) {
  db.exec("CREATE TABLE t(a REAL, b REAL, y)");
  for (int i = 0; i < n; i++)
    db.exec("INSERT INTO t VALUES(" + std::to_string(i) + ", " + std::to_string(i % 3) + ", " +
            (regress ? std::to_string(i * 2) : std::string(i % 2 ? "'p'" : "'q'")) + ")");
}

std::string distill(const std::string &opts) {
  return "SELECT * FROM distill_vornel('SELECT a, b, y FROM t', '" + opts + "')";
}

TEST(TrainBounds, UnfitTrainingValuesAreRefusedBeforeTraining) {
  vt::Db db;
  make_table(db, 20, false);
  // 1e300 is finite as a double but not in binary32, where the trainers work.
  db.exec("UPDATE t SET b = 1e300 WHERE a = 6");
  EXPECT_EQ(error_of(db, distill("{\"target\":\"y\",\"student_id\":\"s\",\"student_kind\":\"gbt\"}")),
            "VORNEL_ERR_SCHEMA: train feature 'b' is not finite in binary32 at row 7; filter or rescale it");
  db.exec("UPDATE t SET b = -1e999 WHERE a = 6");
  EXPECT_EQ(error_of(db, distill("{\"target\":\"y\",\"student_id\":\"s\"}")),
            "VORNEL_ERR_SCHEMA: train feature 'b' is not finite in binary32 at row 7; filter or rescale it");
  db.exec("DROP TABLE t");
  make_table(db, 20, true);
  db.exec("UPDATE t SET y = 1e300 WHERE a = 3");
  for (const char *kind : {"tree", "gbt"})
    EXPECT_EQ(error_of(db, distill(std::string("{\"target\":\"y\",\"task\":\"regress\",\"student_id\":\"s\","
                                               "\"student_kind\":\"") +
                                   kind + "\"}")),
              "VORNEL_ERR_TARGET: regress target is not finite in binary32 at row 4; filter or rescale it");
  EXPECT_EQ(db.one("SELECT count(*) FROM _vornel_models WHERE model_id = 's'"), "0");
  // At the edge of binary32 the values are accepted.
  db.exec("UPDATE t SET y = 3.4028234663852886e38 WHERE a = 3");
  EXPECT_EQ(error_of(db, distill("{\"target\":\"y\",\"task\":\"regress\",\"student_id\":\"edge\"}")), "no error");
}

TEST(TrainBounds, ForecastWindowsMustBeFinite) {
  vt::Db db;
  db.exec("CREATE TABLE w(c1 REAL, c2 REAL, c3 REAL, t1 REAL)");
  for (int i = 0; i < 10; i++)
    db.exec("INSERT INTO w VALUES(" + std::to_string(i) + ", " + std::to_string(i + 1) + ", " + std::to_string(i + 2) +
            ", " + std::to_string(i + 3) + ")");
  const std::string sql = "SELECT * FROM distill_forecast('SELECT c1, c2, c3, t1 FROM w', "
                          "'{\"context\":3,\"horizon\":1,\"student_id\":\"f\",\"epochs\":5}')";
  const std::string refused = "VORNEL_ERR_SCHEMA: train_query window 5 is not finite in binary32, as given or "
                              "standardised by its context; filter or rescale it";
  db.exec("UPDATE w SET c2 = 1e300 WHERE c1 = 4");
  EXPECT_EQ(error_of(db, sql), refused);
  // Finite as given, but a constant context standardises a distant target to an infinity.
  db.exec("UPDATE w SET c1 = 1, c2 = 1, c3 = 1, t1 = 1e30 WHERE c1 = 4");
  EXPECT_EQ(error_of(db, sql), refused);
  db.exec("UPDATE w SET t1 = 2 WHERE t1 = 1e30");
  EXPECT_EQ(error_of(db, sql), "no error");
}

TEST(TrainBounds, DivergedStudentIsNotStored) {
  // Rows that cannot be told apart, with targets at both ends of binary32: the boosting
  // gradient of the lone high row overflows binary32, so the leaves are not finite.
  vt::Db db;
  db.exec("CREATE TABLE t(a REAL, y REAL)");
  for (int i = 0; i < 10; i++)
    db.exec(std::string("INSERT INTO t VALUES(1, ") + (i < 2 ? "3e38" : "-3e38") + ")");
  EXPECT_EQ(error_of(db, "SELECT * FROM distill_vornel('SELECT a, y FROM t', "
                         "'{\"target\":\"y\",\"task\":\"regress\",\"student_id\":\"s\",\"student_kind\":\"gbt\"}')"),
            "VORNEL_ERR_RESOURCE: training diverged: the student's parameters are not all finite, so nothing was "
            "stored; rescale the features or targets");
  EXPECT_EQ(db.one("SELECT count(*) FROM _vornel_models WHERE model_id = 's'"), "0");
}

TEST(TrainBounds, PerceptronClassLimitIsCheckedBeforeTraining) {
  vt::Db db;
  db.exec("CREATE TABLE t(a REAL, y TEXT)");
  db.exec("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 2199) "
          "INSERT INTO t SELECT i, 'c' || (i % 2049) FROM n");
  EXPECT_EQ(error_of(db, "SELECT * FROM distill_vornel('SELECT a, y FROM t', "
                         "'{\"target\":\"y\",\"student_id\":\"s\",\"student_kind\":\"mlp\"}')"),
            "VORNEL_ERR_OPTIONS: an mlp student holds at most 2048 classes, the labels have 2049; use student_kind "
            "'tree' or 'gbt'");
  EXPECT_EQ(dist_check_mlp_classes(2048, nullptr), SQLITE_OK);
}

// A hook that asks to stop at its n-th look.
struct StopAt {
  int looks = 0, at;
  static int poll(void *self) {
    StopAt *s = (StopAt *)self;
    return ++s->looks >= s->at;
  }
  Cancel cancel() { return Cancel{poll, this, 0, false}; }
};

TEST(TrainBounds, TrainersStopWhenAskedAndHoldNothing) {
  const int n = 20000, m = 8;
  std::vector<float> x((size_t)n * m), v(n);
  std::vector<int32_t> cls(n), idx(n);
  for (int i = 0; i < n; i++) {
    for (int f = 0; f < m; f++)
      x[(size_t)i * m + f] = (float)std::sin(i * (f + 1) * 0.37);
    cls[i] = (i * 7) % 3;
    v[i] = (float)(i % 11);
  }
  const int64_t before = sqlite3_memory_used();
  for (int at : {1, 2, 5}) {
    StopAt stop{0, at};
    Cancel c = stop.cancel();
    tree_builder b{};
    b.x = x.data(), b.feature_count = m, b.labels = cls.data(), b.class_count = 3, b.cancel = &c;
    for (int i = 0; i < n; i++)
      idx[i] = i;
    EXPECT_LT(bld_build(&b, idx.data(), n, 0), 0);
    EXPECT_EQ(b.stopped, 1);
    sqlite3_free(b.nodes);

    stop = StopAt{0, at};
    c = stop.cancel();
    forest_model forest{};
    gbt_input in{x.data(), m, n, 1, 0, nullptr, v.data(), nullptr, &c};
    EXPECT_EQ(gbt_train(&in, &forest), SQLITE_INTERRUPT);
    EXPECT_EQ(forest.nodes, nullptr);

    stop = StopAt{0, at};
    c = stop.cancel();
    mlp_params p{};
    EXPECT_EQ(mlp_train_params(x.data(), n, m, 3, cls.data(), nullptr, 0, 48, 400, 0.02f, 0, &p, &c), SQLITE_INTERRUPT);
    EXPECT_EQ(p.w1, nullptr);
  }
  EXPECT_EQ(sqlite3_memory_used(), before);
  // Never asked to stop, the same hook changes nothing: the weights of a run without it.
  StopAt never{0, 1 << 30};
  Cancel c = never.cancel();
  mlp_params a{}, b{};
  ASSERT_EQ(mlp_train_params(x.data(), n, m, 3, cls.data(), nullptr, 0, 48, 3, 0.02f, 0, &a, &c), SQLITE_OK);
  ASSERT_EQ(mlp_train_params(x.data(), n, m, 3, cls.data(), nullptr, 0, 48, 3, 0.02f, 0, &b), SQLITE_OK);
  EXPECT_EQ(std::memcmp(a.w1, b.w1, sizeof(float) * 48 * m), 0);
  EXPECT_EQ(std::memcmp(a.w2, b.w2, sizeof(float) * 48 * 3), 0);
  EXPECT_GE(never.looks, 3); // at least once in every epoch of 20,000 rows
  mlp_params_free(&a);
  mlp_params_free(&b);
}

} // namespace
