// Result documents given to forecast_rows and anomaly_rows, and options documents given to the
// forecast, detect_anomalies and backtest calls (with their candidate and group-column lists).
// Any text must give rows or one of the extension's errors, and leave nothing allocated.
#include "fuzz_support.h"

namespace {

const char *const STATEMENTS[] = {
    "SELECT count(*), sum(step), max(length(forecast_timestamp)) FROM forecast_rows(?1)",
    "SELECT count(*), sum(is_anomaly), max(length(ts)) FROM anomaly_rows(?1)",
    "SELECT forecast(ts, v, 3, ?1) FROM pts",
    "SELECT detect_anomalies(ts, v, ?1) FROM pts",
    "SELECT count(*) FROM backtest('SELECT g, ts, v FROM pts2', 2, ?1)",
};

void run(sqlite3 *db, const char *sql, const char *doc) {
  sqlite3_stmt *st = nullptr;
  FUZZ_CHECK(sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK);
  sqlite3_bind_text(st, 1, doc, -1, SQLITE_STATIC);
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE && rc != SQLITE_NOMEM) {
    const char *msg = sqlite3_errmsg(db);
    FUZZ_CHECK(strncmp(msg, "VORNEL_ERR_", 11) == 0 || strstr(msg, "too big") != nullptr);
  }
  sqlite3_finalize(st);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  char *doc = fuzz_text(data, size);
  sqlite3_int64 baseline;
  sqlite3 *db = fuzz_open(&baseline);
  FUZZ_CHECK(sqlite3_exec(db,
                          "CREATE TABLE pts(ts TEXT, v REAL); CREATE TABLE pts2(g TEXT, ts TEXT, v REAL);"
                          "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i<29) "
                          "INSERT INTO pts SELECT date('2024-01-01','+'||i||' days'), 5+i%7 FROM n;"
                          "INSERT INTO pts2 SELECT 'a', ts, v FROM pts;",
                          nullptr, nullptr, nullptr) == SQLITE_OK);
  for (const char *sql : STATEMENTS)
    run(db, sql, doc);
  fuzz_close(db, baseline);
  free(doc);
  return 0;
}
