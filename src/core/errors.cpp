// Message channels: reporting a built message through a function context or a virtual
// table's error slot, the misuse scalar, and the placeholder module connect.
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

void forecast_misuse_func(sqlite3_context *ctx, int, sqlite3_value **) {
  sqlite3_result_error(ctx, VORNEL_MSG_FORECAST_MISUSE, -1);
}

int vornel0_stub_connect(sqlite3 *, void *, int argc, const char *const *argv, sqlite3_vtab **, char **err) {
  *err = sqlite3_mprintf("%s: %s is not in this build", VORNEL_ERR_RUNTIME_UNAVAILABLE, argc > 0 ? argv[0] : "");
  return SQLITE_ERROR;
}
