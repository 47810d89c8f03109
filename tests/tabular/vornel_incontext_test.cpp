// vornel() through SQL in in-context mode: the schema and argument rules, every query-rule and
// option message, the documented votes and ties, NULL and unseen categorical values, capacity
// limits, and a cross-check against a brute-force 5-NN written here on random data.
#include "support/harness.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>

namespace {

const char *TRAIN5 = "CREATE TABLE t5(x REAL, y REAL, label TEXT);"
                     "INSERT INTO t5 VALUES (0,0,'a'),(1,0,'a'),(0,1,'a'),(9,9,'b'),(9,8,'c');";

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

std::string knn(const std::string &train, const std::string &apply, const std::string &options) {
  return "SELECT * FROM vornel('" + train + "', '" + apply + "', '" + options + "')";
}

} // namespace

TEST(VornelSql, SchemaHiddenArgumentsAndRowids) {
  KnnDb db;
  db.exec(TRAIN5);
  EXPECT_EQ(db.run("SELECT name, type, hidden FROM pragma_table_xinfo('vornel')").text(),
            "row_ref||0\nprediction|TEXT|0\nconfidence|REAL|0\nstatus|TEXT|0\n"
            "train_query||1\napply_query||1\noptions||1");
  EXPECT_EQ(db.error("SELECT * FROM vornel('SELECT 1')"),
            "VORNEL_ERR_SCHEMA: vornel(train_query, apply_query) requires both arguments");
  EXPECT_EQ(db.error("SELECT * FROM vornel WHERE apply_query = 'SELECT 1'"),
            "VORNEL_ERR_SCHEMA: vornel(train_query, apply_query) requires both arguments");
  // Positions counted from 0; hidden columns read as NULL.
  EXPECT_EQ(db.run("SELECT rowid, row_ref, prediction, confidence, status, train_query IS NULL FROM vornel("
                   "'SELECT x, y, label FROM t5', 'SELECT 10, 0 AS x, 0 AS y UNION ALL SELECT 11, 9, 9', "
                   "'{\"target\":\"label\"}')")
                .text(),
            "0|10|a|0.6|ok|1\n1|11|a|0.6|ok|1");
  // Arguments may come from named columns as well.
  EXPECT_EQ(db.one("SELECT count(*) FROM vornel WHERE train_query = 'SELECT x, y, label FROM t5' AND apply_query = "
                   "'SELECT 1, 1 AS x, 1 AS y' AND options = '{\"target\":\"label\"}'"),
            "1");
}

TEST(VornelSql, QueryRules) {
  KnnDb db;
  db.exec(TRAIN5);
  const std::string opts = "{\"target\":\"label\"}";
  const std::string apply = "SELECT 1, 0 AS x, 0 AS y";
  auto with_train = [&](const std::string &train_expr) {
    return db.error("SELECT * FROM vornel(" + train_expr + ", '" + apply + "', '" + opts + "')");
  };
  EXPECT_EQ(with_train("'SELEC x'"), "VORNEL_ERR_SCHEMA: query does not parse: near \"SELEC\": syntax error");
  EXPECT_EQ(with_train("''"), "VORNEL_ERR_SCHEMA: query does not parse: not an error");
  EXPECT_EQ(with_train("'SELECT x, y, label FROM nowhere'"),
            "VORNEL_ERR_SCHEMA: query does not parse: no such table: nowhere");
  EXPECT_EQ(with_train("'SELECT x, y, label FROM t5; SELECT 1'"),
            "VORNEL_ERR_SCHEMA: query must be a single statement");
  EXPECT_EQ(with_train("'SELECT x, y, label FROM t5;' || char(13)"),
            "VORNEL_ERR_SCHEMA: query must be a single statement");
  EXPECT_EQ(with_train("'SELECT x, y, label FROM t5 -- note' || char(10) || ';x'"),
            "VORNEL_ERR_SCHEMA: query must be a single statement");
  EXPECT_EQ(with_train("'DELETE FROM t5'"), "VORNEL_ERR_QUERY_NOT_READONLY: query must be a read-only SELECT");
  EXPECT_EQ(with_train("NULL"), "VORNEL_ERR_SCHEMA: train_query is required for in-context models");
  // Accepted tails: ";", blanks, tabs and line feeds; and a carriage return with no semicolon
  // (the host's tokenizer takes it as part of the one statement).
  for (std::string tail : {"';' || char(10) || '  ;'", "char(9) || ';;' || char(10)", "char(13)"})
    EXPECT_EQ(db.one("SELECT prediction FROM vornel('SELECT x, y, label FROM t5' || " + tail + ", '" + apply + "', '" +
                     opts + "')"),
              "a")
        << tail;
  // The apply query follows the same rules.
  EXPECT_EQ(db.error("SELECT * FROM vornel('SELECT x, y, label FROM t5', NULL, '" + opts + "')"),
            "VORNEL_ERR_SCHEMA: query must be text");
  EXPECT_EQ(db.error("SELECT * FROM vornel('SELECT x, y, label FROM t5', 'SELECT 1, 2 AS x, 3 AS y; SELECT 2', '" +
                     opts + "')"),
            "VORNEL_ERR_SCHEMA: query must be a single statement");
  EXPECT_EQ(db.error("SELECT * FROM vornel('SELECT x, y, label FROM t5', 'UPDATE t5 SET x = 1', '" + opts + "')"),
            "VORNEL_ERR_QUERY_NOT_READONLY: query must be a read-only SELECT");
}

TEST(VornelSql, OptionMessages) {
  KnnDb db;
  db.exec(TRAIN5);
  auto run = [&](const std::string &options) {
    return db.one("SELECT prediction FROM vornel('SELECT x, y, label FROM t5', 'SELECT 1, 0 AS x, 0 AS y', '" +
                  options + "')");
  };
  EXPECT_EQ(run("{\"target\":3}"), "Error: VORNEL_ERR_OPTIONS: wrong type for option 'target'");
  EXPECT_EQ(run("{\"target\":\"label\",\"task\":[\"x\"]}"), "Error: VORNEL_ERR_OPTIONS: wrong type for option 'task'");
  EXPECT_EQ(run("{\"model\":{\"a\":1}}"), "Error: VORNEL_ERR_OPTIONS: wrong type for option 'model'");
  EXPECT_EQ(run("{\"target\":true}"), "Error: VORNEL_ERR_OPTIONS: wrong type for option 'target'");
  EXPECT_EQ(run("{\"Target\":\"label\"}"), "Error: VORNEL_ERR_OPTIONS: unknown option 'Target'");
  EXPECT_EQ(run("[1]"), "Error: VORNEL_ERR_OPTIONS: options must be a JSON object");
  EXPECT_EQ(run("{"), "Error: VORNEL_ERR_OPTIONS: options is not valid JSON");
  EXPECT_EQ(run("{}"), "Error: VORNEL_ERR_TARGET: target option is required");
  EXPECT_EQ(run("{\"target\":null}"), "Error: VORNEL_ERR_TARGET: target option is required");
  EXPECT_EQ(run("{\"target\":\"nope\",\"target\":\"label\"}"), "a"); // a later key wins
  EXPECT_EQ(run("{\"target\":\"label\",\"task\":\"cluster\"}"),
            "Error: VORNEL_ERR_TASK: task must be classify|regress: cluster");
  EXPECT_EQ(run("{\"target\":\"nope\"}"), "Error: VORNEL_ERR_TARGET: no such target column: nope");
  EXPECT_EQ(run("{\"target\":\"label\",\"device\":\"cpu\"}"),
            "Error: VORNEL_ERR_OPTIONS: option 'device' needs a model runtime that is not in this build");
  EXPECT_EQ(run("{\"target\":\"label\",\"precision\":\"fp16\",\"model\":\"knn5-incontext\"}"),
            "Error: VORNEL_ERR_OPTIONS: option 'precision' needs a model runtime that is not in this build");
  // device is refused before anything else is looked at.
  EXPECT_EQ(run("{\"device\":\"cpu\"}"),
            "Error: VORNEL_ERR_OPTIONS: option 'device' needs a model runtime that is not in this build");
  EXPECT_EQ(run("{\"target\":\"label\",\"model\":\"default-tabular\"}"), "a");
  EXPECT_EQ(db.one("SELECT prediction FROM vornel('SELECT x, y, label FROM t5', 'SELECT 1, 0 AS x, 0 AS y', NULL)"),
            "Error: VORNEL_ERR_TARGET: target option is required");
}

TEST(VornelSql, TrainingShapeMessages) {
  KnnDb db;
  db.exec(TRAIN5);
  const std::string opts = "{\"target\":\"label\"}";
  auto err = [&](const std::string &train, const std::string &apply = "SELECT 1, 0 AS x") {
    return db.error(knn(train, apply, opts));
  };
  EXPECT_EQ(err("SELECT label FROM t5"), "VORNEL_ERR_SCHEMA: train_query needs feature columns");
  EXPECT_EQ(err("SELECT x, label FROM t5 LIMIT 4"), "VORNEL_ERR_SCHEMA: train set smaller than k=5");
  std::string cols;
  for (int i = 0; i < 65; i++)
    cols += "x AS f" + std::to_string(i) + ", ";
  EXPECT_EQ(err("SELECT " + cols + "label FROM t5"), "VORNEL_ERR_SCHEMA: too many feature columns (max 64)");
  // 64 features are fine.
  std::string cols64, apply64 = "SELECT 1";
  for (int i = 0; i < 64; i++) {
    cols64 += "x AS f" + std::to_string(i) + ", ";
    apply64 += ", 0 AS f" + std::to_string(i);
  }
  EXPECT_EQ(db.one(knn("SELECT " + cols64 + "label FROM t5", apply64, opts).replace(7, 1, "prediction")), "a");
  EXPECT_EQ(err("SELECT x, y, label FROM t5", "SELECT 1"),
            "VORNEL_ERR_SCHEMA: apply_query needs a row_ref column plus features");
  EXPECT_EQ(err("SELECT x, y, label FROM t5", "SELECT 1, 0 AS x, 0 AS z"),
            "VORNEL_ERR_SCHEMA: apply feature not in train_query: z");
  EXPECT_EQ(err("SELECT x, y, label FROM t5", "SELECT 1, 0 AS x"),
            "VORNEL_ERR_SCHEMA: apply features must match train features exactly");
  EXPECT_EQ(err("SELECT x, y, label FROM t5", "SELECT 1, 0 AS x, 0 AS y, 0 AS x"),
            "VORNEL_ERR_SCHEMA: apply features must match train features exactly");
  EXPECT_EQ(err("SELECT x, y, label FROM t5", "SELECT 1, 0 AS x, 0 AS x"),
            "VORNEL_ERR_SCHEMA: apply features must match train features exactly");
  std::string long_name(200, 'n');
  EXPECT_EQ(err("SELECT x, y, label FROM t5", "SELECT 1, 0 AS x, 0 AS " + long_name),
            "VORNEL_ERR_SCHEMA: apply feature not in train_query: " + long_name.substr(0, 127));
  // The label column is the last column named like the target; others of that name are
  // not features either.
  EXPECT_EQ(db.one(knn("SELECT x AS label, y, label FROM t5", "SELECT 1, 0 AS y", opts).replace(7, 1, "prediction")),
            "a");
  // Features may come in any order.
  EXPECT_EQ(db.run(knn("SELECT x, y, label FROM t5", "SELECT 1, 9 AS y, 8.5 AS x", opts)).text(), "1|a|0.6|ok");
}

TEST(VornelSql, DocumentedVotesAndMeans) {
  KnnDb db;
  db.exec(TRAIN5);
  // Exactly 5 rows: the whole set votes, three "a" of five.
  EXPECT_EQ(db.run(knn("SELECT x, y, label FROM t5", "SELECT 1, 100 AS x, 100 AS y", "{\"target\":\"label\"}")).text(),
            "1|a|0.6|ok");
  // A 2-2-1 vote between "b", "a" and "c" picks "a", the smaller label.
  db.exec("CREATE TABLE tie(x REAL, label TEXT); INSERT INTO tie VALUES (1,'b'),(2,'b'),(3,'a'),(4,'a'),(5,'c'),"
          "(50,'c'),(60,'c');");
  EXPECT_EQ(db.run(knn("SELECT x, label FROM tie", "SELECT 7, 3 AS x", "{\"target\":\"label\"}")).text(), "7|a|0.4|ok");
  // Regression: labels 1..5 average to 3.
  db.exec("CREATE TABLE r(x REAL, v); INSERT INTO r VALUES (1,1),(2,2.0),(3,3),(4,4),(5,5);");
  EXPECT_EQ(db.run(knn("SELECT x, v FROM r", "SELECT 1, 2 AS x", "{\"target\":\"v\",\"task\":\"regress\"}")).text(),
            "1|3|NULL|ok");
  db.exec("INSERT INTO r VALUES (6, 0.1);");
  EXPECT_EQ(db.one(knn("SELECT x, v FROM r", "SELECT 1, 100 AS x", "{\"target\":\"v\",\"task\":\"regress\"}")
                       .replace(7, 1, "prediction")),
            "2.8199999999999998"); // (0.1 + 5 + 4 + 3 + 2) / 5 printed with %.17g
  db.exec("INSERT INTO r VALUES (7, 'x');");
  EXPECT_EQ(db.error(knn("SELECT x, v FROM r", "SELECT 1, 2 AS x", "{\"target\":\"v\",\"task\":\"regress\"}")),
            "VORNEL_ERR_TARGET: regress target must be numeric");
  db.exec("UPDATE r SET v = NULL WHERE x = 7;");
  EXPECT_EQ(db.error(knn("SELECT x, v FROM r", "SELECT 1, 2 AS x", "{\"target\":\"v\",\"task\":\"regress\"}")),
            "VORNEL_ERR_TARGET: regress target must be numeric");
  // Classification keeps any label as text; NULL becomes the empty label.
  db.exec("CREATE TABLE n(x REAL, label); INSERT INTO n VALUES (1,NULL),(2,NULL),(3,NULL),(4,7),(5,7);");
  EXPECT_EQ(db.run(knn("SELECT x, label FROM n", "SELECT 1, 2 AS x", "{\"target\":\"label\"}")).text(), "1||0.6|ok");
  EXPECT_EQ(db.one("SELECT typeof(prediction) FROM vornel('SELECT x, label FROM n', 'SELECT 1, 5 AS x', "
                   "'{\"target\":\"label\"}')"),
            "text");
}

TEST(VornelSql, FeatureValuesNullsCategoriesAndConstants) {
  KnnDb db;
  // A constant feature is divided by 1.0: it stays 0 and adds (v - c)^2 for apply value v.
  db.exec("CREATE TABLE c(k REAL, x REAL, label TEXT); INSERT INTO c VALUES (7,0,'a'),(7,1,'a'),(7,2,'b'),"
          "(7,3,'b'),(7,4,'b'),(7,5,'c');");
  EXPECT_EQ(db.run(knn("SELECT k, x, label FROM c", "SELECT 1, 7 AS k, 4 AS x UNION ALL SELECT 2, 1e6, 4",
                       "{\"target\":\"label\"}"))
                .text(),
            "1|b|0.6|ok\n2|b|0.6|ok");
  // A NULL apply feature marks only its row non_numeric; text in a numeric feature too.
  EXPECT_EQ(db.run(knn("SELECT k, x, label FROM c",
                       "SELECT 1, 7 AS k, NULL AS x UNION ALL SELECT 2, 7, 0 UNION ALL SELECT 3, ''q'', 0 "
                       "UNION ALL SELECT 4, x''00'', 0",
                       "{\"target\":\"label\"}"))
                .text(),
            "1|NULL|NULL|non_numeric\n2|b|0.6|ok\n3|NULL|NULL|non_numeric\n4|NULL|NULL|non_numeric");
  // Categorical features: first-seen codes 0, 1, 2 (red, green, blue), standardised. An unseen
  // value gets code 3, past blue, so its neighbours are the blue rows.
  db.exec("CREATE TABLE cat(color TEXT, label TEXT); INSERT INTO cat VALUES ('red','r'),('red','r'),"
          "('green','g'),('green','g'),('blue','b'),('blue','b'),('blue','b'),('red','r');");
  EXPECT_EQ(db.run(knn("SELECT color, label FROM cat",
                       "SELECT 1, ''violet'' AS color UNION ALL SELECT 2, ''red'' UNION ALL SELECT 3, 5 "
                       "UNION ALL SELECT 4, ''violet''",
                       "{\"target\":\"label\"}"))
                .text(),
            "1|b|0.6|ok\n2|r|0.6|ok\n3|NULL|NULL|non_numeric\n4|b|0.6|ok");
  // NULL training values read as 0.0, and a number after a text fixes nothing: it is coded
  // by its text.
  db.exec("CREATE TABLE mix(m, label TEXT); INSERT INTO mix VALUES (NULL,'z'),('1','o'),(1,'o'),(2,'t'),"
          "(NULL,'z'),(NULL,'z');");
  EXPECT_EQ(db.run(knn("SELECT m, label FROM mix", "SELECT 1, ''1'' AS m UNION ALL SELECT 2, ''2''",
                       "{\"target\":\"label\"}"))
                .text(),
            "1|z|0.6|ok\n2|o|0.4|ok");
}

TEST(VornelSql, RowRefKeepsItsStorageClass) {
  KnnDb db;
  db.exec(TRAIN5);
  EXPECT_EQ(db.run("SELECT typeof(row_ref), row_ref FROM vornel('SELECT x, y, label FROM t5', "
                   "'SELECT 5, 0 AS x, 0 AS y UNION ALL SELECT 2.5, 0, 0 UNION ALL SELECT ''k'', 0, 0 "
                   "UNION ALL SELECT NULL, 0, 0 UNION ALL SELECT x''6869'', 0, 0', '{\"target\":\"label\"}')")
                .text(),
            "integer|5\nreal|2.5\ntext|k\nnull|NULL\ntext|hi");
}

TEST(VornelSql, NoUsableNeighbour) {
  KnnDb db;
  // An infinite training value makes every standardised value of that feature NaN: no training
  // row is at a comparable distance, so no slot is filled and no slot is read.
  db.exec("CREATE TABLE inf(x REAL, label TEXT); INSERT INTO inf VALUES (1,'a'),(2,'a'),(3,'b'),(4,'b'),(1e999,'c');");
  EXPECT_EQ(db.run(knn("SELECT x, label FROM inf", "SELECT 1, 2 AS x", "{\"target\":\"label\"}")).text(),
            "1|NULL|NULL|non_numeric");
  // Fewer usable rows than five: the vote and the mean use the filled slots only. Feature y
  // is infinite on three rows, so those rows are never at a comparable distance.
  db.exec("CREATE TABLE part(x REAL, y REAL, v REAL); INSERT INTO part VALUES (1,0,10),(2,0,20),(3,1e999,30),"
          "(4,1e999,40),(5,1e999,50);");
  EXPECT_EQ(db.run(knn("SELECT x, v FROM part", "SELECT 1, 1 AS x", "{\"target\":\"v\",\"task\":\"regress\"}")).text(),
            "1|30|NULL|ok");
}

TEST(VornelSql, TrainingCapacity) {
  KnnDb db;
  db.exec("CREATE TABLE big(x REAL, label TEXT);"
          "WITH RECURSIVE s(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM s WHERE i < 99999) "
          "INSERT INTO big SELECT i, CASE WHEN i < 3 THEN 'low' ELSE 'high' END FROM s;");
  EXPECT_EQ(
      db.run(knn("SELECT x, label FROM big", "SELECT 1, 0 AS x UNION ALL SELECT 2, 99999", "{\"target\":\"label\"}"))
          .text(),
      "1|low|0.6|ok\n2|high|1.0|ok");
  db.exec("INSERT INTO big VALUES (100000, 'high');");
  EXPECT_EQ(db.error(knn("SELECT x, label FROM big", "SELECT 1, 0 AS x", "{\"target\":\"label\"}")),
            "VORNEL_ERR_CONTEXT_TOO_LARGE: train set exceeds knn5-incontext capacity");
}

TEST(VornelSql, RepeatedFilterAndFailuresRelease) {
  KnnDb db;
  db.exec(TRAIN5);
  db.exec("CREATE TABLE q(apply TEXT); INSERT INTO q VALUES ('SELECT 1, 0 AS x, 0 AS y'), "
          "('SELECT 2, 9 AS x, 9 AS y UNION ALL SELECT 3, 9, 8'), ('SELECT 4, 0 AS x, 0 AS nope');");
  // A correlated argument filters the same cursor again for every outer row; the third fails.
  EXPECT_EQ(db.run("SELECT v.row_ref, v.prediction FROM q, vornel('SELECT x, y, label FROM t5', q.apply, "
                   "'{\"target\":\"label\"}') v LIMIT 3")
                .text(),
            "1|a\n2|a\n3|a");
  EXPECT_EQ(db.error("SELECT v.row_ref FROM q, vornel('SELECT x, y, label FROM t5', q.apply, "
                     "'{\"target\":\"label\"}') v"),
            "VORNEL_ERR_SCHEMA: apply feature not in train_query: nope");
  // The train query may read the table that the outer statement reads.
  EXPECT_EQ(db.one("SELECT count(*) FROM t5, vornel('SELECT x, y, label FROM t5', 'SELECT rowid, x, y FROM t5', "
                   "'{\"target\":\"label\"}')"),
            "25");
}

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

TEST(VornelSql, EmptyTextsCompareWithoutBytes) {
  KnnDb db;
  // Empty categories seen twice and labels that are all empty (or NULL): the vocabularies then
  // hold only zero-length texts and nothing has ever been stored in their byte arenas.
  db.exec("CREATE TABLE e(c TEXT, label TEXT); INSERT INTO e VALUES ('',''),('',NULL),('',''),('',''),('','');");
  EXPECT_EQ(db.run(knn("SELECT c, label FROM e", "SELECT 1, '''' AS c UNION ALL SELECT 2, ''x''",
                       "{\"target\":\"label\"}"))
                .text(),
            "1||1.0|ok\n2||1.0|ok");
}

TEST(VornelSql, ApplyRowsAreBounded) {
  KnnDb db;
  db.exec(TRAIN5);
  // One row past the bound, all of them non_numeric so the search costs nothing.
  EXPECT_EQ(db.error("SELECT count(*) FROM vornel('SELECT x, y, label FROM t5', 'WITH RECURSIVE n(i) AS "
                     "(SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2097153) SELECT i, NULL AS x, NULL AS y "
                     "FROM n', '{\"target\":\"label\"}')"),
            "VORNEL_ERR_RESOURCE: too many apply rows (max 2097152); split apply_query, for example with LIMIT and "
            "OFFSET");
}
