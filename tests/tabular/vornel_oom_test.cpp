// Out-of-memory sweep over vornel(): with allocation N failing (alone, and with every later
// one), for N = 1, 2, ... until a run no longer reaches the failure point, every statement must
// end without a crash or a leak and give the clean answer, its clean error, or an out-of-memory
// error (SQLITE_NOMEM or a "VORNEL_ERR_RESOURCE: " message).
#include "registry/registry.h"
#include "student_test_util.h"
#include "support/failing_alloc.h"
#include "support/harness.h"
#include <string>

namespace {

std::string hex(const unsigned char *p, int64_t n) {
  static const char *d = "0123456789abcdef";
  std::string s;
  for (int64_t i = 0; i < n; i++) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

std::string digest(const unsigned char *p, int64_t n) {
  char h[VORNEL_HASH_HEX_SIZE];
  vornel0_hash_bytes(p, n, h);
  return h;
}

struct Outcome {
  int rc = SQLITE_OK;
  std::string text;
};

// One run on a fresh connection: setup unarmed, then the statement armed at fail_at.
Outcome run_once(const std::string &setup, const std::string &sql, long fail_at, bool persistent, bool *reached,
                 sqlite3_int64 *leaked) {
  Outcome out;
  sqlite3_int64 baseline = sqlite3_memory_used();
  sqlite3 *db = nullptr;
  sqlite3_open(":memory:", &db);
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 1, nullptr);
  EXPECT_EQ(sqlite3_load_extension(db, VORNEL_SO_PATH, "sqlite3_vornel_init", nullptr), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  vt::arm_failures(fail_at, persistent);
  sqlite3_stmt *st = nullptr;
  out.rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
  if (out.rc == SQLITE_OK) {
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW)
      for (int c = 0; c < sqlite3_column_count(st); c++)
        out.text += vt::render(st, c) + (c + 1 < sqlite3_column_count(st) ? "|" : "\n");
    if (rc != SQLITE_DONE) {
      out.rc = rc;
      out.text = sqlite3_errmsg(db);
    }
  } else {
    out.text = sqlite3_errmsg(db);
  }
  sqlite3_finalize(st);
  vt::fail_plan.armed = false;
  *reached = vt::fail_plan.failed > 0;
  EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
  *leaked = sqlite3_memory_used() - baseline;
  return out;
}

void sweep(const std::string &setup, const std::string &sql) {
  bool reached = false;
  sqlite3_int64 leaked = 0;
  Outcome clean = run_once(setup, sql, 0, false, &reached, &leaked);
  ASSERT_EQ(leaked, 0) << sql;
  for (bool persistent : {false, true}) {
    for (long n = 1; n < 20000; n++) {
      Outcome o = run_once(setup, sql, n, persistent, &reached, &leaked);
      ASSERT_EQ(leaked, 0) << "leak at allocation " << n << (persistent ? " (persistent): " : ": ") << sql;
      if (!reached) {
        EXPECT_EQ(o.text, clean.text);
        break;
      }
      bool same = o.rc == clean.rc && o.text == clean.text;
      bool oom = o.rc == SQLITE_NOMEM || o.text.rfind("VORNEL_ERR_RESOURCE: ", 0) == 0 || o.text == "out of memory";
      ASSERT_TRUE(same || oom) << "allocation " << n << (persistent ? " (persistent)" : "") << " gave rc " << o.rc
                               << ": " << o.text << "\n  for: " << sql;
    }
  }
}

const char *TRAIN = "CREATE TABLE t(a REAL, c TEXT, label TEXT, v REAL);"
                    "INSERT INTO t VALUES (1,'r','x',1),(2,'g','y',2),(3,'r','x',3),(NULL,'b','y',4),(5,'g','x',5),"
                    "(6,'r','z',6),(7,NULL,'x',7);";

} // namespace

TEST(VornelOom, InContextAndStudentStatements) {
  // Student blobs, written before the failing allocator is in place.
  std::string blobs;
  {
    tree_model t{};
    t.task = STUDENT_CLASSIFY;
    t.feature_count = 1;
    t.feature_names = st::host_names({"a"});
    t.class_count = 2;
    t.class_labels = st::host_names({"lo", "hi"});
    t.node_count = 3;
    t.nodes = st::host_copy<tree_node>({st::split(0, 3.0f, 1, 2), st::leaf(0, 0, 0.5f), st::leaf(0, 1, 0.75f)});
    unsigned char *b;
    int64_t n;
    ASSERT_EQ(tree_serialize(&t, &b, &n), SQLITE_OK);
    blobs += "INSERT INTO _vornel_models VALUES ('tree','student','tree',x'" + hex(b, n) + "',NULL,NULL,'" +
             digest(b, n) + "','l');";
    sqlite3_free(b);
    tree_free(&t);
    forest_model f{};
    f.task = STUDENT_REGRESS;
    f.feature_count = 1;
    f.feature_names = st::host_names({"a"});
    f.output_count = 1;
    f.rounds = 2;
    f.learning_rate = 0.5f;
    f.initial_scores = st::host_copy<float>({1.0f});
    f.tree_count = 2;
    f.tree_offsets = st::host_copy<int32_t>({0, 3, 4});
    f.nodes = st::host_copy<tree_node>({st::split(0, 3.0f, 1, 2), st::leaf(1.0f), st::leaf(2.0f), st::leaf(4.0f)});
    ASSERT_EQ(forest_serialize(&f, &b, &n), SQLITE_OK);
    blobs += "INSERT INTO _vornel_models VALUES ('gbt','student','tree',x'" + hex(b, n) + "',NULL,NULL,'" +
             digest(b, n) + "','l');";
    sqlite3_free(b);
    forest_free(&f);
    mlp_model m{};
    m.task = STUDENT_CLASSIFY;
    m.input_count = 1;
    m.hidden_count = 2;
    m.output_count = 2;
    m.class_count = 2;
    m.feature_names = st::host_names({"a"});
    m.class_labels = st::host_names({"p", "q"});
    m.input_mean = st::host_copy<float>({0.0f});
    m.input_scale = st::host_copy<float>({1.0f});
    m.hidden_weights = st::host_copy<float>({1.0f, -1.0f});
    m.hidden_bias = st::host_copy<float>({0.0f, 0.5f});
    m.output_weights = st::host_copy<float>({1.0f, 0.0f, 0.0f, 1.0f});
    m.output_bias = st::host_copy<float>({0.0f, 0.0f});
    ASSERT_EQ(mlp_serialize(&m, &b, &n), SQLITE_OK);
    blobs += "INSERT INTO _vornel_models VALUES ('mlp','student','tree',x'" + hex(b, n) + "',NULL,NULL,'" +
             digest(b, n) + "','l');";
    sqlite3_free(b);
    mlp_free(&m);
  }
  const std::string registry = "CREATE TABLE _vornel_models(model_id TEXT PRIMARY KEY, kind, runtime, weights, "
                               "weights_uri, io_spec, content_hash, license);" +
                               blobs;
  const std::string apply = "SELECT 1, 2.5 AS a, ''r'' AS c UNION ALL SELECT 2, NULL, ''g'' UNION ALL "
                            "SELECT 3, 6, ''new'' UNION ALL SELECT ''k'', 4, ''b''";
  vt::FailingAllocator failing;
  sweep(TRAIN, "SELECT * FROM vornel('SELECT a, c, label FROM t', '" + apply + "', '{\"target\":\"label\"}')");
  sweep(TRAIN, "SELECT * FROM vornel('SELECT a, c, v FROM t', '" + apply +
                   "', '{\"target\":\"v\",\"task\":\"regress\",\"model\":\"default-tabular\"}')");
  sweep(TRAIN,
        "SELECT * FROM vornel('SELECT a, c, label FROM t', 'SELECT 1, 2 AS a, 3 AS z', '{\"target\":\"label\"}')");
  const std::string student_apply = "SELECT 1, 2.5 AS a UNION ALL SELECT 2, ''t'' UNION ALL SELECT ''k'', 4";
  for (const char *id : {"tree", "gbt", "mlp"})
    sweep(registry, std::string("SELECT * FROM vornel(NULL, '") + student_apply + "', '{\"model\":\"" + id + "\"}')");
  sweep(registry, "SELECT * FROM vornel(NULL, 'SELECT 1, 2 AS b', '{\"model\":\"tree\"}')");
}
