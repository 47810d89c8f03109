// The rules for SQL text that a function takes as an argument and runs on the caller's
// connection: it must parse, it must be read-only, and where the function says so it must be
// one statement.
#include "core/api.h"

namespace {

// Only blanks, tabs, line feeds and semicolons may follow the prepared statement.
bool tail_is_empty(const char *tail) {
  for (const char *p = tail; p && *p; p++)
    if (*p != ' ' && *p != '\t' && *p != '\n' && *p != ';') return false;
  return true;
}

} // namespace

int vornel0_prepare_query(sqlite3 *db, const char *sql, const char *what, bool single, sqlite3_stmt **out,
                          char **out_msg) {
  *out = nullptr;
  *out_msg = nullptr;
  StmtGuard stmt;
  const char *tail = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, stmt.out(), &tail);
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc != SQLITE_OK || !stmt.stmt)
    return vornel0_fail(out_msg,
                        sqlite3_mprintf("%s: %s does not parse: %s", VORNEL_ERR_SCHEMA, what, sqlite3_errmsg(db)));
  if (single && !tail_is_empty(tail))
    return vornel0_fail(out_msg, sqlite3_mprintf("%s: %s must be a single statement", VORNEL_ERR_SCHEMA, what));
  if (!sqlite3_stmt_readonly(stmt))
    return vornel0_fail(out_msg,
                        sqlite3_mprintf("%s: %s must be a read-only SELECT", VORNEL_ERR_QUERY_NOT_READONLY, what));
  *out = stmt.stmt;
  stmt.stmt = nullptr;
  return SQLITE_OK;
}
