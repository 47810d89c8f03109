// Runs the golden SQL files tests/sql/*.test, each in one fresh connection with the extension
// loaded, top to bottom. A file is a list of records separated by blank lines:
//
//   # a comment line (only between records)
//   statement            setup (DDL, inserts): must succeed; its memory is not balanced
//   CREATE TABLE t(x);
//
//   query                a checked statement: it must leave sqlite3_memory_used() where it
//   SELECT x, 'a|b'      found it, and give exactly the rows below the ---- line, one per line,
//   FROM t               columns joined by '|' (NULL as NULL, blobs as x'hex'); no rows below
//   ----                 the line means none. A row that renders empty cannot be written:
//   1|a|b                select quote(x) instead.
//
//   query
//   SELECT forecast(1)
//   ----
//   error: the exact error text
#include "support/harness.h"
#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

struct Record {
  std::string kind; // "statement" or "query"
  std::string sql;
  std::string expect; // rows joined by '\n', or "error: <text>"
  int line = 0;       // line of the record's header in its file
};

// Parses one file; a malformed record is reported as a failure and skipped.
std::vector<Record> read_records(const std::string &path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  std::vector<Record> out;
  size_t i = 0;
  while (i < lines.size()) {
    if (lines[i].empty() || lines[i][0] == '#') {
      i++;
      continue;
    }
    Record r;
    r.kind = lines[i];
    r.line = (int)i + 1;
    bool query = r.kind == "query";
    if (!query && r.kind != "statement") ADD_FAILURE() << path << ":" << r.line << ": unknown record '" << r.kind << "'";
    bool rows = false;
    for (i++; i < lines.size() && !lines[i].empty(); i++) {
      if (query && !rows && lines[i] == "----") {
        rows = true;
        continue;
      }
      std::string &dst = rows ? r.expect : r.sql;
      dst += (dst.empty() ? "" : "\n") + lines[i];
    }
    if (query && !rows) ADD_FAILURE() << path << ":" << r.line << ": query without a ---- line";
    else if (r.kind == "statement" || query) out.push_back(r);
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
  std::vector<Record> records = read_records(path);
  ASSERT_FALSE(records.empty()) << path;
  vt::Db db;
  for (const Record &r : records) {
    SCOPED_TRACE(path + ":" + std::to_string(r.line));
    if (r.kind == "statement") {
      db.exec(r.sql);
      continue;
    }
    vt::Result res = db.run(r.sql);
    EXPECT_EQ(res.ok ? res.text() : "error: " + res.error, r.expect) << "in: " << r.sql;
  }
}

INSTANTIATE_TEST_SUITE_P(Sql, Golden, testing::ValuesIn(test_files()),
                         [](const testing::TestParamInfo<std::string> &p) { return p.param; });

} // namespace
