// The series record: one group's rows as the forecast and detect_anomalies aggregates collect
// them, and the step routine both aggregates share.
#pragma once
#include "core/api.h"

// Per-group aggregate state. The host hands it out zero-filled; every field is valid as zero.
struct series {
  int64_t *ts;      // times in ms since the epoch, whole seconds; owned, freed by series_free
  double *values;   // values, same index as ts; owned, freed by series_free
  int32_t count;    // collected rows
  int32_t capacity; // allocated entries of both arrays
  int32_t rejected; // a row did not conform; nothing more is collected
  char *options;    // copy of the first row's options text, or null; owned, freed by series_free
  int32_t options_seen;
  int64_t horizon; // the first row's horizon (forecast only)
  int32_t horizon_seen;
  int32_t initialised; // the first row has been processed
  int32_t failed;      // an error was reported during a step; the final only cleans up
};

// Which aggregate a step serves: it decides the argument positions and the message texts.
enum series_family {
  SERIES_FORECAST, // (ts, value, horizon[, options])
  SERIES_ANOMALY,  // (ts, value[, options])
};

// Most rows collected per group.
inline constexpr int32_t SERIES_MAX_ROWS = 2097152;

// Largest magnitude of a usable value. The models square differences and sum them over up to
// SERIES_MAX_ROWS points; below this bound that never overflows, so a forecast or a score of
// finite input is finite. A value that is larger, infinite or NaN does not conform.
inline constexpr double SERIES_MAX_MAGNITUDE = 1e100;
inline bool series_value_usable(double v) { return v >= -SERIES_MAX_MAGNITUDE && v <= SERIES_MAX_MAGNITUDE; }

// One row of either aggregate: checks the constant arguments, collects the row or marks the
// series rejected, and reports errors through ctx (setting `failed`).
void series_step(sqlite3_context *ctx, int argc, sqlite3_value **argv, series_family family);

// Frees the arrays and the options text and zeroes their fields; accepts null.
void series_free(series *s);

// Stable insertion sort of the rows by time ascending (equal times keep arrival order).
void series_sort(series *s);
// The same over bare arrays, for callers that keep their own records.
void series_sort_arrays(int64_t *ts, double *values, int64_t count);

// Time normalisation of the step: an INTEGER or TEXT time becomes whole-second milliseconds.
// Returns false when the value does not conform (the row is rejected).
bool series_time_ms(sqlite3_value *v, int64_t *out_ms);
// The same, saying why a time does not conform.
enum series_time_status {
  SERIES_TIME_OK,
  SERIES_TIME_NEGATIVE,    // an INTEGER below 0
  SERIES_TIME_TOO_LATE,    // an INTEGER after 9999-12-31T23:59:59.999Z in milliseconds
  SERIES_TIME_UNPARSEABLE, // a TEXT the timestamp parser refuses
  SERIES_TIME_REAL,
  SERIES_TIME_BLOB,
  SERIES_TIME_NULL,
};
series_time_status series_time_parse(sqlite3_value *v, int64_t *out_ms);
// The integer time rule: 0 to 99,999,999,999 are seconds, larger values up to
// 9999-12-31T23:59:59.999Z milliseconds, kept as given (the aggregates floor them to a whole
// second, backtest keeps them whole). SERIES_TIME_OK, _NEGATIVE or _TOO_LATE.
series_time_status series_time_from_integer(int64_t t, int64_t *out_ms);

// Appends one row (64, then doubling). Returns SQLITE_OK; SQLITE_TOOBIG at SERIES_MAX_ROWS;
// SQLITE_NOMEM after freeing both arrays and zeroing count and capacity. backtest keeps its
// series in this record too (rejected marking a series with an unusable row).
int series_append(series *s, int64_t ms, double value);
