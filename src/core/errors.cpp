// Message channels: reporting a built message through a function context or a virtual
// table's error slot, and the misuse scalar.
#include "core/api.h"

void vornel0_report(sqlite3_context *ctx, char *msg, const char *fallback) {
  sqlite3_result_error(ctx, msg ? msg : fallback, -1);
  sqlite3_free(msg);
}

int vtab_set_error(sqlite3_vtab *vtab, char *msg) {
  sqlite3_free(vtab->zErrMsg);
  vtab->zErrMsg = msg;
  return msg ? SQLITE_ERROR : SQLITE_NOMEM;
}

int vtab_fail(sqlite3_vtab *vtab, int rc, char *msg) {
  if (msg) return vtab_set_error(vtab, msg);
  return rc == SQLITE_ERROR || rc == SQLITE_NOMEM || rc == SQLITE_OK ? SQLITE_NOMEM : rc;
}

bool vornel0_looks_like_query(const char *text) {
  if (!text) return false;
  while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r')
    text++;
  return sqlite3_strnicmp(text, "select", 6) == 0 || sqlite3_strnicmp(text, "with", 4) == 0;
}

// forecast with two arguments: either a query text given to the aggregate, or a forgotten
// horizon.
void forecast_misuse_func(sqlite3_context *ctx, int, sqlite3_value **argv) {
  const bool query =
      sqlite3_value_type(argv[0]) == SQLITE_TEXT && vornel0_looks_like_query((const char *)sqlite3_value_text(argv[0]));
  sqlite3_result_error(ctx, query ? VORNEL_MSG_FORECAST_MISUSE : VORNEL_MSG_FORECAST_NO_HORIZON, -1);
}
