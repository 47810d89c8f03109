// describe_series(ts, value): an aggregate that never rejects a row and says, per group, how
// the forecasting functions would see the series: its points and span, its grid step, the
// steps missing from that grid, rows sharing a time, the rows that would make the series
// non_numeric (with the first one's reason) and the season the period detector finds.
#include "ts/ts.h"
#include <stdio.h>

namespace {

constexpr int TEXT_SHOWN = 40; // characters of a bad time or value quoted in the reason

// Per-group state; valid as the zeroed memory the host hands out.
struct ds_state {
  series rows;      // the usable rows (arrays owned, freed by series_free)
  int64_t seen;     // rows stepped
  int64_t rejected; // rows that would make the series non_numeric
  char *reason;     // the first rejected row's reason; owned
  int failed;       // an error was reported; the final only cleans up
};

void ds_free(ds_state *d) {
  if (!d) return;
  series_free(&d->rows);
  sqlite3_free(d->reason);
  d->reason = nullptr;
}

// Why a time does not conform, as the user reads it.
char *time_reason(int64_t row, sqlite3_value *v, series_time_status status) {
  const char *text = (const char *)sqlite3_value_text(v);
  if (!text) text = "";
  switch (status) {
  case SERIES_TIME_NEGATIVE:
    return sqlite3_mprintf("row %lld, time '%s': negative epoch", (long long)row, text);
  case SERIES_TIME_TOO_LATE:
    return sqlite3_mprintf("row %lld, time '%s': epoch after the year 9999", (long long)row, text);
  case SERIES_TIME_UNPARSEABLE:
    return sqlite3_mprintf("row %lld: unparseable time '%.*s'", (long long)row, TEXT_SHOWN, text);
  case SERIES_TIME_REAL:
    return sqlite3_mprintf("row %lld, time '%s': REAL time", (long long)row, text);
  case SERIES_TIME_BLOB:
    return sqlite3_mprintf("row %lld: BLOB time", (long long)row);
  default:
    return sqlite3_mprintf("row %lld: NULL time", (long long)row);
  }
}

// Why a value does not conform; the row's time locates it.
char *value_reason(int64_t row, int64_t ms, sqlite3_value *v) {
  char stamp[24];
  vornel0_format_timestamp(ms, stamp, sizeof stamp);
  switch (sqlite3_value_type(v)) {
  case SQLITE_TEXT: {
    const char *text = (const char *)sqlite3_value_text(v);
    return sqlite3_mprintf("row %lld, time '%s', value '%.*s': TEXT value", (long long)row, stamp, TEXT_SHOWN,
                           text ? text : "");
  }
  case SQLITE_BLOB:
    return sqlite3_mprintf("row %lld, time '%s': BLOB value", (long long)row, stamp);
  case SQLITE_FLOAT:
    return sqlite3_mprintf("row %lld, time '%s': value %.17g is infinite or beyond 1e100", (long long)row, stamp,
                           sqlite3_value_double(v));
  default:
    return sqlite3_mprintf("row %lld, time '%s': NULL value", (long long)row, stamp);
  }
}

// Counts a rejected row and keeps the first reason. False when the reason could not be built.
bool reject(ds_state *d, char *reason) {
  d->rejected++;
  if (d->reason) {
    sqlite3_free(reason);
    return true;
  }
  d->reason = reason;
  return reason != nullptr;
}

// Writes the document of a sorted series.
void write_document(sqlite3_str *doc, const ds_state *d) {
  const series &s = d->rows;
  const int64_t n = s.count;
  sqlite3_str_appendf(doc, "{\"points\":%lld,\"first\":", (long long)n);
  char stamp[24];
  if (n > 0) {
    vornel0_format_timestamp(s.ts[0], stamp, sizeof stamp);
    sqlite3_str_appendf(doc, "\"%s\",\"last\":", stamp);
    vornel0_format_timestamp(s.ts[n - 1], stamp, sizeof stamp);
    sqlite3_str_appendf(doc, "\"%s\"", stamp);
  } else {
    sqlite3_str_appendall(doc, "null,\"last\":null");
  }
  ts_grid grid;
  ts_series_grid(s.ts, n, &grid);
  char unit[32];
  sqlite3_str_appendall(doc, ",\"step\":");
  if (ts_grid_step_text(&grid, unit, sizeof unit))
    agg_json_str(doc, unit);
  else if (grid.kind == TS_GRID_FIXED)
    sqlite3_str_appendf(doc, "%lld", (long long)(grid.step_ms / 1000));
  else
    sqlite3_str_appendall(doc, "null");
  int64_t duplicates = 0;
  for (int64_t i = 1; i < n; i++)
    duplicates += s.ts[i] == s.ts[i - 1];
  sqlite3_str_appendf(doc, ",\"missing\":%lld,\"duplicates\":%lld,\"rejected\":%lld,\"reason\":",
                      (long long)ts_grid_missing(&grid, s.ts, n, INT64_MAX / 2), (long long)duplicates,
                      (long long)d->rejected);
  if (d->reason)
    agg_json_str(doc, d->reason);
  else
    sqlite3_str_appendall(doc, "null");
  sqlite3_str_appendf(doc, ",\"period\":%d}", n >= 6 ? detect_period(s.values, (int)n) : 0);
}

} // namespace

void agg_ds_step(sqlite3_context *ctx, int, sqlite3_value **argv) {
  ds_state *d = (ds_state *)sqlite3_aggregate_context(ctx, (int)sizeof(ds_state));
  if (!d) return sqlite3_result_error_nomem(ctx);
  if (d->failed) return;
  const int64_t row = ++d->seen;
  int64_t ms = 0;
  const series_time_status status = series_time_parse(argv[0], &ms);
  const int vtype = sqlite3_value_type(argv[1]);
  bool ok = true;
  if (status != SERIES_TIME_OK)
    ok = reject(d, d->reason ? nullptr : time_reason(row, argv[0], status));
  else if ((vtype != SQLITE_INTEGER && vtype != SQLITE_FLOAT) || !series_value_usable(sqlite3_value_double(argv[1])))
    ok = reject(d, d->reason ? nullptr : value_reason(row, ms, argv[1]));
  else {
    const double value = vtype == SQLITE_INTEGER ? (double)sqlite3_value_int64(argv[1]) : sqlite3_value_double(argv[1]);
    int rc = series_append(&d->rows, ms, value);
    if (rc == SQLITE_TOOBIG) {
      d->failed = 1;
      return sqlite3_result_error(ctx, VORNEL_MSG_TOO_MANY_ROWS, -1);
    }
    ok = rc == SQLITE_OK;
  }
  if (!ok) {
    d->failed = 1;
    sqlite3_result_error_nomem(ctx);
  }
}

void agg_ds_final(sqlite3_context *ctx) {
  ds_state *d = (ds_state *)sqlite3_aggregate_context(ctx, 0);
  struct guard {
    ds_state *d;
    ~guard() { ds_free(d); }
  } release{d};
  if (!d || d->seen == 0) return sqlite3_result_null(ctx);
  if (d->failed) return sqlite3_result_error_code(ctx, SQLITE_ERROR);
  series_sort(&d->rows);
  sqlite3_str *doc = sqlite3_str_new(nullptr);
  write_document(doc, d);
  if (sqlite3_str_errcode(doc) != SQLITE_OK) {
    sqlite3_free(sqlite3_str_finish(doc));
    return sqlite3_result_error_nomem(ctx);
  }
  sqlite3_result_text(ctx, sqlite3_str_finish(doc), -1, sqlite3_free);
}
