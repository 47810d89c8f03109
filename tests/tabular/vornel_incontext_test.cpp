// vornel() in in-context mode against a brute-force 5-NN written here on random data (the SQL
// behaviour cases are in tests/sql/tabular.test).
#include "support/harness.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>

namespace {

// The first use of vornel() on a connection connects its eponymous table, which stays with the
// connection; a warmed-up connection lets every checked statement balance its memory.
struct KnnDb : vt::Db {
  KnnDb() {
    exec("SELECT * FROM vornel('SELECT 1 AS x, 1 AS l UNION ALL SELECT 2, 2 UNION ALL SELECT 3, 3 UNION ALL "
         "SELECT 4, 4 UNION ALL SELECT 5, 5', 'SELECT 1, 1 AS x', '{\"target\":\"l\"}')");
    // A nested prepare that fails replaces the connection's error text with a fresh
    // allocation; let the first one happen here, outside any measured statement.
    sqlite3_exec(handle(), "SELECT * FROM vornel('SELEC', 'SELEC', '{\"target\":\"l\"}')", nullptr, nullptr, nullptr);
  }
};

} // namespace

// A brute-force 5-NN written from the documented rules, against vornel() on random data with
// numeric, categorical and NULL values.
TEST(VornelSql, MatchesBruteForceOnRandomData) {
  KnnDb db;
  std::mt19937 rng(2024);
  std::normal_distribution<double> g(0, 1);
  const int n_train = 600, n_apply = 150;
  const char *colors[] = {"red", "green", "blue", "teal"};
  struct Row {
    double a, b;
    bool b_null;
    std::string color, label;
    double target;
  };
  std::vector<Row> train, apply;
  auto make = [&](int i) {
    Row r;
    r.a = std::round(g(rng) * 4) / 4; // coarse values force distance ties
    r.b = g(rng) * 10;
    r.b_null = i % 17 == 3;
    r.color = colors[rng() % 3 + (i % 50 == 7 ? 1 : 0)];
    r.label = std::string(1, "pqrs"[rng() % 4]);
    r.target = std::round(g(rng) * 1000) / 8;
    return r;
  };
  db.exec("CREATE TABLE tr(a REAL, b REAL, color TEXT, label TEXT, target REAL);"
          "CREATE TABLE ap(id INTEGER, a REAL, b REAL, color TEXT);");
  char sql[256];
  for (int i = 0; i < n_train; i++) {
    Row r = make(i);
    if (r.color == "teal") r.color = "red";
    train.push_back(r);
    snprintf(sql, sizeof sql, "INSERT INTO tr VALUES (%.17g, %s, '%s', '%s', %.17g)", r.a,
             r.b_null ? "NULL" : std::to_string(r.b).c_str(), r.color.c_str(), r.label.c_str(), r.target);
    db.exec(sql);
    if (!r.b_null) train.back().b = std::stod(std::to_string(r.b));
  }
  for (int i = 0; i < n_apply; i++) {
    Row r = make(i + 1);
    r.b_null = false;
    r.b = std::stod(std::to_string(r.b));
    apply.push_back(r);
    snprintf(sql, sizeof sql, "INSERT INTO ap VALUES (%d, %.17g, %.17g, '%s')", i, r.a, r.b, r.color.c_str());
    db.exec(sql);
  }
  // Oracle: codes in first-seen order (unseen apply values appended in apply order).
  std::map<std::string, int> codes;
  for (auto &r : train)
    if (!codes.count(r.color)) codes[r.color] = (int)codes.size();
  auto feat = [&](const Row &r, int f) -> double {
    if (f == 0) return r.a;
    if (f == 1) return r.b_null ? 0.0 : r.b;
    if (!codes.count(r.color)) codes[r.color] = (int)codes.size();
    return codes[r.color];
  };
  double mean[3], dev[3];
  for (int f = 0; f < 3; f++) {
    double s = 0;
    for (auto &r : train)
      s += feat(r, f);
    mean[f] = s / n_train;
    double q = 0;
    for (auto &r : train)
      q += (feat(r, f) - mean[f]) * (feat(r, f) - mean[f]);
    dev[f] = std::sqrt(q / n_train);
    if (dev[f] == 0) dev[f] = 1.0;
  }
  std::vector<std::string> want_class, want_reg;
  for (int i = 0; i < n_apply; i++) {
    double q[3];
    for (int f = 0; f < 3; f++)
      q[f] = (feat(apply[i], f) - mean[f]) / dev[f];
    std::vector<std::pair<double, int>> slots(5, {1e300, -1});
    for (int r = 0; r < n_train; r++) {
      double d = 0;
      for (int f = 0; f < 3; f++) {
        double t = (feat(train[r], f) - mean[f]) / dev[f];
        d += (q[f] - t) * (q[f] - t);
      }
      for (int s = 0; s < 5; s++)
        if (slots[s].first > d) {
          slots.insert(slots.begin() + s, {d, r});
          slots.pop_back();
          break;
        }
    }
    std::map<std::string, int> votes;
    double sum = 0;
    for (auto &s : slots) {
      votes[train[s.second].label]++;
      sum += train[s.second].target;
    }
    auto best = votes.begin(); // std::map iterates labels in byte order: the first max wins ties
    for (auto it = votes.begin(); it != votes.end(); ++it)
      if (it->second > best->second) best = it;
    want_class.push_back(std::to_string(i) + "|" + best->first + "|" + std::to_string(best->second));
    char buf[64];
    snprintf(buf, sizeof buf, "%.17g", sum / 5.0);
    want_reg.push_back(std::to_string(i) + "|" + buf);
  }
  vt::Result cls = db.run("SELECT row_ref, prediction, CAST(round(confidence * 5) AS INTEGER) FROM vornel("
                          "'SELECT a, b, color, label FROM tr', 'SELECT id, color, b, a FROM ap ORDER BY id', "
                          "'{\"target\":\"label\"}')");
  ASSERT_TRUE(cls.ok) << cls.error;
  EXPECT_EQ(cls.rows, want_class);
  vt::Result reg =
      db.run("SELECT row_ref, prediction FROM vornel('SELECT a, b, color, target FROM tr', "
             "'SELECT id, a, b, color FROM ap ORDER BY id', '{\"target\":\"target\",\"task\":\"regress\"}')");
  ASSERT_TRUE(reg.ok) << reg.error;
  EXPECT_EQ(reg.rows, want_reg);
}

TEST(VornelSql, ApplyRowsAreBounded) {
  KnnDb db;
  db.exec("CREATE TABLE t5(x REAL, y REAL, label TEXT);"
          "INSERT INTO t5 VALUES (0,0,'a'),(1,0,'a'),(0,1,'a'),(9,9,'b'),(9,8,'c');");
  // One row past the bound, all of them non_numeric so the search costs nothing.
  EXPECT_EQ(db.error("SELECT count(*) FROM vornel('SELECT x, y, label FROM t5', 'WITH RECURSIVE n(i) AS "
                     "(SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2097153) SELECT i, NULL AS x, NULL AS y "
                     "FROM n', '{\"target\":\"label\"}')"),
            "VORNEL_ERR_RESOURCE: too many apply rows (max 2097152); split apply_query, for example with LIMIT and "
            "OFFSET");
}

// A query that fails while it runs keeps the host's own reason in the message.
TEST(VornelIncontext, NestedQueryFailureKeepsTheHostMessage) {
  vt::Db db;
  db.exec("CREATE TABLE t(a REAL, y TEXT); INSERT INTO t VALUES (1,'p'),(2,'q'),(3,'p'),(4,'q'),(5,'p'),(6,'q');");
  EXPECT_EQ(db.error("SELECT * FROM vornel('SELECT a, y FROM t UNION ALL SELECT abs(-9223372036854775807 - 1), ''p''', "
                     "'SELECT 1, 2.0 AS a', '{\"target\":\"y\"}')"),
            "VORNEL_ERR_RESOURCE: train query failed: integer overflow");
  EXPECT_EQ(db.error("SELECT * FROM vornel('SELECT a, y FROM t', "
                     "'SELECT 1, abs(-9223372036854775807 - 1) AS a', '{\"target\":\"y\"}')"),
            "VORNEL_ERR_RESOURCE: apply query failed: integer overflow");
}
