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
// A case is SQL lines followed by the expected rows of its last statement, one per line after
// "> " (columns joined by '|', NULL as NULL, blobs as x'hex'; ">" alone is a row that renders
// empty), or by one "error: " line with the exact message. That last statement starts on a line
// of its own and must leave sqlite3_memory_used() where it found it (statements that change the
// schema excepted, see vt::Db::run). The statements before it, and SQL with nothing after it, are
// setup: they must succeed, and the data they store may stay. Blank lines and comments end a case.
#include "support/harness.h"
#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

struct Case {
  std::vector<std::string> sql; // its lines
  std::string expect;           // rows joined by '\n', or "error: <text>"
  bool checked = false;         // expected output follows the SQL
  int line = 0;                 // first SQL line in the file
};

// Splits a case's lines into setup and the checked last statement: the setup ends at the last
// line, before the final one, where the text so far forms complete statements.
std::pair<std::string, std::string> split_last(const std::vector<std::string> &lines) {
  std::string text, setup;
  for (size_t i = 0; i + 1 < lines.size(); i++) {
    text += lines[i] + "\n";
    if (sqlite3_complete(text.c_str())) setup = text;
  }
  std::string checked;
  for (size_t i = std::count(setup.begin(), setup.end(), '\n'); i < lines.size(); i++)
    checked += lines[i] + "\n";
  return {setup, checked};
}

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
      out.push_back({{}, "", false, n});
      open = true, expecting = false;
    }
    if (!open) continue;
    Case &c = out.back();
    if (!expected) {
      c.sql.push_back(l);
      continue;
    }
    c.expect += (expecting ? "\n" : "") + (is_row(l) ? l.substr(std::min<size_t>(2, l.size())) : l);
    expecting = c.checked = true;
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
    SCOPED_TRACE(path + ":" + std::to_string(c.line));
    std::string setup, checked;
    if (c.checked)
      std::tie(setup, checked) = split_last(c.sql);
    else
      for (const std::string &l : c.sql)
        setup += l + "\n";
    if (!setup.empty()) db.exec(setup);
    if (!c.checked) continue;
    vt::Result r = db.run(checked);
    EXPECT_EQ(r.ok ? r.text() : "error: " + r.error, c.expect) << "in: " << checked;
  }
}

INSTANTIATE_TEST_SUITE_P(Sql, Golden, testing::ValuesIn(test_files()),
                         [](const testing::TestParamInfo<std::string> &p) { return p.param; });

} // namespace
