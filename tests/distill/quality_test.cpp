// Quality sanity on the classic iris, wine and breast-cancer measurements (CSV fixtures under
// tests/distill/data). Rows are shuffled once with a fixed seed so the holdout fifth holds
// every class; each student kind must reach a sane holdout accuracy.
#include "support/harness.h"
#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Loads a CSV fixture (header of column names, label last) into table name, rows shuffled.
int load(vt::Db &db, const std::string &file, const std::string &name) {
  std::ifstream in(std::string(VORNEL_SOURCE_DIR) + "/tests/distill/data/" + file);
  std::string header, line;
  std::getline(in, header);
  std::vector<std::string> cols;
  std::stringstream hs(header);
  for (std::string c; std::getline(hs, c, ',');)
    cols.push_back(c);
  std::string ddl = "CREATE TABLE " + name + "(";
  for (size_t i = 0; i < cols.size(); i++)
    ddl += (i ? ", " : "") + cols[i] + (i + 1 < cols.size() ? " REAL" : " TEXT");
  db.exec(ddl + ")");
  std::vector<std::string> rows;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::string label = line.substr(line.rfind(',') + 1);
    rows.push_back(line.substr(0, line.rfind(',') + 1) + "'" + label + "'");
  }
  std::mt19937 rng(20240601);
  std::shuffle(rows.begin(), rows.end(), rng);
  db.exec("BEGIN");
  for (const std::string &r : rows)
    db.exec("INSERT INTO " + name + " VALUES(" + r + ")");
  db.exec("COMMIT");
  return (int)rows.size();
}

double holdout(vt::Db &db, const std::string &table, const std::string &kind) {
  sqlite3_stmt *st = nullptr;
  std::string sql = "SELECT holdout_metric FROM distill_vornel('SELECT * FROM " + table +
                    "', '{\"target\":\"label\",\"student_id\":\"" + table + "-" + kind + "\",\"student_kind\":\"" +
                    kind + "\"}')";
  EXPECT_EQ(sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &st, nullptr), SQLITE_OK);
  double v = -1;
  if (sqlite3_step(st) == SQLITE_ROW)
    v = sqlite3_column_double(st, 0);
  else
    ADD_FAILURE() << sqlite3_errmsg(db.handle());
  sqlite3_finalize(st);
  return v;
}

} // namespace

TEST(DistillQuality, ClassicDataSets) {
  vt::Db db;
  struct Case {
    const char *file, *table;
    int rows;
    double floor;
  } cases[] = {
      {"iris.csv", "iris", 150, 0.85}, {"wine.csv", "wine", 178, 0.85}, {"breast_cancer.csv", "cancer", 569, 0.88}};
  for (const Case &c : cases) {
    ASSERT_EQ(load(db, c.file, c.table), c.rows);
    for (const char *kind : {"tree", "gbt", "mlp"}) {
      double acc = holdout(db, c.table, kind);
      std::printf("holdout accuracy %-7s %-5s %.4f\n", c.table, kind, acc);
      EXPECT_GE(acc, c.floor) << c.table << " " << kind;
      EXPECT_LE(acc, 1.0);
    }
  }
}
