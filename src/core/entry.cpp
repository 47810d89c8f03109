// Entry point and registration. One table lists every SQL-visible function and module in
// registration order; the entry point and the three vornel0_*_init routines each walk their
// slice of it and stop at the first failing result code.
#include "anomaly/anomaly.h"
#include "backtest/backtest.h"
#include "core/api.h"
#include "distill/distill.h"
#include "fstudent/fstudent.h"
#include "registry/registry.h"
#include "tabular/tabular.h"
#include "ts/ts.h"

extern "C" {
VORNEL_EXPORT const sqlite3_api_routines *sqlite3_api = nullptr;
}

namespace {

enum RegKind { REG_SCALAR, REG_AGGREGATE, REG_MODULE };

struct Registration {
  const char *name;
  RegKind kind;
  int nargs;                                              // scalar and aggregate arity
  int flags;                                              // eTextRep argument of sqlite3_create_function_v2
  void (*func)(sqlite3_context *, int, sqlite3_value **); // scalar body or aggregate step
  void (*final)(sqlite3_context *);                       // aggregate final
  const VtabShape *table;                                 // table-valued functions
};

// Applications load the extension and then run SQL they did not write, or open files other
// people made, whose views and triggers run with the reader's rights. So what writes, reads
// files, or prepares SQL text from its arguments (a view could smuggle a writer through it) is
// direct-only: it runs only when written in a top-level statement. Everything else is
// innocuous, so it keeps working in views, triggers and generated columns with
// trusted_schema off; the pure ones are deterministic too.
constexpr int F_WRITER = SQLITE_UTF8 | SQLITE_DIRECTONLY;
constexpr int F_READER = SQLITE_UTF8 | SQLITE_INNOCUOUS;
constexpr int F_PURE = F_READER | SQLITE_DETERMINISTIC;

const Registration REGISTRATIONS[] = {
    {"vornel_version", REG_SCALAR, 0, F_PURE | SQLITE_RESULT_SUBTYPE, vornel_version_func, nullptr, nullptr},
    {"vornel_debug", REG_SCALAR, 0, F_PURE, vornel_debug_func, nullptr, nullptr},
    {"vornel_ulid", REG_SCALAR, 1, F_PURE, vornel_ulid_func, nullptr, nullptr},
    {"vornel_register", REG_SCALAR, 2, F_WRITER, vornel_register_func, nullptr, nullptr},
    {"backtest", REG_MODULE, 0, 0, nullptr, nullptr, &BACKTEST_SHAPE},
    {"forecast_rows", REG_MODULE, 0, 0, nullptr, nullptr, &FORECAST_ROWS_SHAPE},
    {"anomaly_rows", REG_MODULE, 0, 0, nullptr, nullptr, &ANOMALY_ROWS_SHAPE},
    {"forecast", REG_AGGREGATE, 3, F_READER, agg_fc_step, agg_fc_final, nullptr},
    {"forecast", REG_AGGREGATE, 4, F_READER, agg_fc_step, agg_fc_final, nullptr},
    {"detect_anomalies", REG_AGGREGATE, 2, F_PURE, agg_an_step, agg_an_final, nullptr},
    {"detect_anomalies", REG_AGGREGATE, 3, F_PURE, agg_an_step, agg_an_final, nullptr},
    {"forecast", REG_SCALAR, 2, F_PURE, forecast_misuse_func, nullptr, nullptr},
    {"describe_series", REG_AGGREGATE, 2, F_PURE, agg_ds_step, agg_ds_final, nullptr},
    {"vornel", REG_MODULE, 0, 0, nullptr, nullptr, &VORNEL_SHAPE},
    {"distill_vornel", REG_MODULE, 0, 0, nullptr, nullptr, &DISTILL_SHAPE},
    {"distill_forecast", REG_MODULE, 0, 0, nullptr, nullptr, &DISTILL_FORECAST_SHAPE},
};

// Registers rows first..last (1-based, inclusive) in order; returns the first failing code.
int register_rows(sqlite3 *db, int first, int last) {
  for (int i = first - 1; i < last; i++) {
    const Registration &r = REGISTRATIONS[i];
    int rc;
    switch (r.kind) {
    case REG_SCALAR:
      rc = sqlite3_create_function_v2(db, r.name, r.nargs, r.flags, nullptr, r.func, nullptr, nullptr, nullptr);
      break;
    case REG_AGGREGATE:
      rc = sqlite3_create_function_v2(db, r.name, r.nargs, r.flags, nullptr, nullptr, r.func, r.final, nullptr);
      break;
    default:
      rc = sqlite3_create_module(db, r.name, &VTAB_KIT_MODULE, (void *)r.table);
      break;
    }
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

} // namespace

extern "C" {

int vornel0_forecast_init(sqlite3 *db) { return register_rows(db, 5, 13); }
int vornel0_tabular_init(sqlite3 *db) { return register_rows(db, 14, 14); }
int vornel0_distill_init(sqlite3 *db) { return register_rows(db, 15, 16); }

int sqlite3_vornel_init(sqlite3 *db, char **pzErrMsg, const sqlite3_api_routines *api) {
  (void)pzErrMsg;
  // Every connection hands over the same table, and connections on other threads may be loading
  // at this moment or already calling through it. The host's main mutex orders the one store
  // before every later load's check, so no thread reads the pointer while another writes it.
  // A single-threaded host build has no mutex routines in its table, and no other threads.
  sqlite3_mutex *lock = api->mutex_alloc ? api->mutex_alloc(SQLITE_MUTEX_STATIC_MAIN) : nullptr;
  if (lock) api->mutex_enter(lock);
  if (sqlite3_api != api) sqlite3_api = api;
  if (lock) api->mutex_leave(lock);
  int rc = register_rows(db, 1, 4);
  if (rc == SQLITE_OK) rc = vornel0_forecast_init(db);
  if (rc == SQLITE_OK) rc = vornel0_tabular_init(db);
  if (rc == SQLITE_OK) rc = vornel0_distill_init(db);
  return rc;
}

} // extern "C"
