// Runs the golden SQL files tests/sql/*.test, each top to bottom in one fresh connection with the
// extension loaded. A file reads like a session transcript:
//
//   # A comment line.
//   CREATE TABLE t(x); INSERT INTO t VALUES (1), (NULL);
//   SELECT x, 'a|b' FROM t
//     ORDER BY x
//   > NULL|a|b
//   > 1|a|b
//   SELECT forecast(1)
//   error: the exact error text
//
// A case is one or more SQL lines followed by its expected rows, one per line after "> "
// (columns joined by '|', NULL as NULL, blobs as x'hex'; ">" alone is a row that renders empty),
// or by one "error: " line with the exact message. SQL with nothing after it must succeed with no
// rows. Blank lines and comments end a case. Every statement must leave sqlite3_memory_used()
// where it found it, except those that change the schema (see vt::Db::run).
#include "support/harness.h"
#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

struct Case {
  std::string sql;
  std::string expect; // rows joined by '\n', or "error: <text>"
  int line = 0;       // first SQL line in the file
};

bool is_row(const std::string &l) { return l == ">" || l.rfind("> ", 0) == 0; }
bool is_error(const std::string &l) { return l.rfind("error: ", 0) == 0; }

std::vector<Case> read_cases(const std::string &path) {
  std::ifstream in(path);
  std::vector<Case> out;
  bool open = false, expecting = false; // a case is being read; its expected part has begun
  int n = 0;
  for (std::string l; std::getline(in, l);) {
    n++;
    if (l.empty() || l[0] == '#') {
      open = false;
      continue;
    }
    bool expected = is_row(l) || is_error(l);
    if (expected && !open) ADD_FAILURE() << path << ":" << n << ": expected output without a statement";
    if (!expected && (!open || expecting)) { // SQL after expected output starts the next case
      out.push_back({"", "", n});
      open = true, expecting = false;
    }
    if (!open) continue;
    Case &c = out.back();
    std::string &dst = expected ? c.expect : c.sql;
    if (expected) expecting = true;
    dst += (dst.empty() ? "" : "\n") + (is_row(l) ? l.substr(std::min<size_t>(2, l.size())) : l);
  }
  return out;
}

std::vector<std::string> test_files() {
  std::vector<std::string> out;
  for (auto &e : std::filesystem::directory_iterator(std::string(VORNEL_SOURCE_DIR) + "/tests/sql"))
    if (e.path().extension() == ".test") out.push_back(e.path().stem().string());
  std::sort(out.begin(), out.end());
  return out;
}

class Golden : public testing::TestWithParam<std::string> {};

TEST_P(Golden, File) {
  std::string path = std::string(VORNEL_SOURCE_DIR) + "/tests/sql/" + GetParam() + ".test";
  std::vector<Case> cases = read_cases(path);
  ASSERT_FALSE(cases.empty()) << path;
  vt::Db db;
  for (const Case &c : cases) {
    vt::Result r = db.run(c.sql);
    EXPECT_EQ(r.ok ? r.text() : "error: " + r.error, c.expect) << path << ":" << c.line << ": " << c.sql;
  }
}

INSTANTIATE_TEST_SUITE_P(Sql, Golden, testing::ValuesIn(test_files()),
                         [](const testing::TestParamInfo<std::string> &p) { return p.param; });

} // namespace
