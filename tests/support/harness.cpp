#include "support/harness.h"
#include <cstdio>
#include <unistd.h>

namespace vt {

std::string Result::text() const {
  if (!ok) return "Error: " + error;
  std::string out;
  for (size_t i = 0; i < rows.size(); i++) {
    if (i) out += '\n';
    out += rows[i];
  }
  return out;
}

std::string render(sqlite3_stmt *st, int col) {
  switch (sqlite3_column_type(st, col)) {
  case SQLITE_NULL:
    return "NULL";
  case SQLITE_BLOB: {
    const unsigned char *b = (const unsigned char *)sqlite3_column_blob(st, col);
    int n = sqlite3_column_bytes(st, col);
    std::string s = "x'";
    char hex[3];
    for (int i = 0; i < n; i++) {
      snprintf(hex, sizeof hex, "%02x", b[i]);
      s += hex;
    }
    return s + "'";
  }
  default:
    return std::string((const char *)sqlite3_column_text(st, col), sqlite3_column_bytes(st, col));
  }
}

Db::Db(const std::string &path, bool load) {
  int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr);
  if (rc != SQLITE_OK) {
    ADD_FAILURE() << "cannot open " << path << ": " << sqlite3_errmsg(db_);
    return;
  }
  // Grow the connection's error buffer once, so a later error message does not count as a leak
  // of the statement that set it.
  std::string bogus = "SELECT * FROM " + std::string(4000, 'x');
  sqlite3_stmt *st = nullptr;
  sqlite3_prepare_v2(db_, bogus.c_str(), -1, &st, nullptr);
  sqlite3_finalize(st);
  if (!load) return;
  sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 1, nullptr);
  char *err = nullptr;
  rc = sqlite3_load_extension(db_, VORNEL_SO_PATH, "sqlite3_vornel_init", &err);
  if (rc != SQLITE_OK) ADD_FAILURE() << "cannot load " << VORNEL_SO_PATH << ": " << (err ? err : "?");
  sqlite3_free(err);
  // The host connects its json_each table once per connection and keeps it; options parsing
  // inside a statement would otherwise look like a leak of that statement.
  // Eponymous tables are likewise connected once and kept, so connect every one up front.
  for (const char *warm : {"SELECT * FROM json_each('{}')", "SELECT * FROM forecast_rows(NULL)",
                           "SELECT * FROM anomaly_rows(NULL)", "SELECT * FROM backtest", "SELECT * FROM vornel",
                           "SELECT * FROM distill_vornel", "SELECT * FROM distill_forecast"})
    sqlite3_exec(db_, warm, nullptr, nullptr, nullptr);
}

Db::~Db() {
  if (db_) {
    int rc = sqlite3_close(db_);
    if (rc != SQLITE_OK) ADD_FAILURE() << "connection closed with unfinalised statements";
  }
}

void Db::exec(const std::string &sql) {
  char *err = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    ADD_FAILURE() << "setup failed: " << (err ? err : "?") << "\n  in: " << sql.substr(0, 400);
  }
  sqlite3_free(err);
}

void Db::warm(const std::string &sql) { sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr); }

// The main schema's change counter; -1 if it cannot be read.
static int schema_version(sqlite3 *db) {
  sqlite3_stmt *st = nullptr;
  int v = -1;
  if (sqlite3_prepare_v2(db, "PRAGMA schema_version", -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
    v = sqlite3_column_int(st, 0);
  sqlite3_finalize(st);
  return v;
}

// Reloads the schema cache, which a failed statement may have dropped; it is the connection's
// memory, not the statement's.
static void settle(sqlite3 *db) {
  sqlite3_stmt *st = nullptr;
  sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_schema LIMIT 0", -1, &st, nullptr);
  sqlite3_finalize(st);
}

Result Db::run(const std::string &sql) {
  Result res;
  const char *tail = sql.c_str();
  while (tail && *tail) {
    // Preparing once first lets the connection settle its schema cache, so the balance below
    // measures only the statement's own allocations.
    sqlite3_stmt *warm = nullptr;
    const char *next = nullptr;
    int rc = sqlite3_prepare_v2(db_, tail, -1, &warm, &next);
    sqlite3_finalize(warm);
    if (rc != SQLITE_OK) {
      res.ok = false;
      res.code = rc;
      res.error = sqlite3_errmsg(db_);
      return res;
    }
    if (!warm) { // only blanks or comments remain
      tail = next;
      continue;
    }
    int schema_before = schema_version(db_);
    settle(db_);
    sqlite3_int64 before = sqlite3_memory_used();
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db_, tail, -1, &st, &next);
    int cols = sqlite3_column_count(st);
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      std::string row;
      for (int c = 0; c < cols; c++) {
        if (c) row += '|';
        row += render(st, c);
      }
      res.rows.push_back(row);
    }
    if (rc != SQLITE_DONE) {
      res.ok = false;
      res.code = rc;
      res.error = sqlite3_errmsg(db_);
    }
    sqlite3_finalize(st);
    settle(db_);
    sqlite3_int64 after = sqlite3_memory_used();
    // A statement that creates or alters a table (a writer's first call makes the registry)
    // grows the schema cache, which is the connection's and not a leak; skip its balance.
    if (schema_version(db_) == schema_before)
      EXPECT_EQ(before, after) << "memory not returned by: " << std::string(tail, next - tail);
    if (!res.ok) return res;
    tail = next;
  }
  return res;
}

std::string Db::one(const std::string &sql) {
  Result r = run(sql);
  if (!r.ok) return "Error: " + r.error;
  if (r.rows.empty()) return "<no rows>";
  std::string first = r.rows[0];
  return first.substr(0, first.find('|'));
}

std::string Db::error(const std::string &sql) {
  Result r = run(sql);
  EXPECT_FALSE(r.ok) << "expected an error from: " << sql;
  return r.error;
}

TempFile::TempFile(const std::string &name) {
  path = std::string(VORNEL_BINARY_DIR) + "/tmp-" + std::to_string(getpid()) + "-" + name;
  std::remove(path.c_str());
}

TempFile::~TempFile() {
  for (const char *suffix : {"", "-journal", "-wal", "-shm"})
    std::remove((path + suffix).c_str());
}

} // namespace vt
