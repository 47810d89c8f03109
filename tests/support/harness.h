// Test harness: a connection on the pinned host with build/vornel.so loaded through the real
// loading path, and statement runners that check sqlite3_memory_used() returns to where it
// was once each statement is finalised.
#pragma once
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <string>
#include <vector>

namespace vt {

// One result: the rows rendered as "col|col|..." (NULL as "NULL", blobs as x'hex'),
// or the error text when the statement failed.
struct Result {
  std::vector<std::string> rows;
  bool ok = true;
  int code = SQLITE_OK;
  std::string error;        // the statement's error text when !ok
  std::string text() const; // rows joined by '\n', or "Error: <message>"
};

class Db {
public:
  explicit Db(const std::string &path = ":memory:", bool load = true);
  ~Db();
  Db(const Db &) = delete;
  Db &operator=(const Db &) = delete;

  // Runs setup statements (DDL, inserts); fails the test on error. No memory check.
  void exec(const std::string &sql);
  // Runs a statement once without checks and ignores its result: for first-use caches that the
  // host keeps for the connection's lifetime (an index's key description, a connected table).
  void warm(const std::string &sql);
  // Runs every statement in sql and collects all rows; checks the memory balance per statement.
  Result run(const std::string &sql);
  // The first column of the first row ("NULL" for SQL NULL), or "Error: <message>".
  std::string one(const std::string &sql);
  // The error text of a statement that must fail (the test fails if it succeeds).
  std::string error(const std::string &sql);
  sqlite3 *handle() const { return db_; }

private:
  sqlite3 *db_ = nullptr;
};

// Renders one column of the current row as the harness does.
std::string render(sqlite3_stmt *st, int col);

// The rows of sql on a loaded connection that a bare connection on the same host lacks, sorted:
// what loading the extension adds to a listing such as pragma_function_list.
std::vector<std::string> added_by_extension(const std::string &sql);

// A scratch file path under the build folder, removed (with journals) by the destructor.
struct TempFile {
  std::string path;
  explicit TempFile(const std::string &name);
  ~TempFile();
};

} // namespace vt
