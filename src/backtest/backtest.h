// Back-testing: the backtest table-valued function. The SQL layer (bt_vtab.cpp) runs the
// user's query and groups its rows into series (bt_series.cpp); every series is then replayed
// fold by fold (bt_eval.cpp) and each fold is scored by the plain numeric routines of
// bt_metrics.cpp, which never see a host type.
#pragma once
#include "core/api.h"
#include "core/vtab.h"
#include "ts/ts.h"

extern const VtabShape BACKTEST_SHAPE;

// One series of the query's rows: the rows sharing one group key, in arrival order, in the
// series record of the aggregates (points.rejected: a row of this series had an unusable time
// or value, and nothing more is kept).
struct BtSeries {
  char *key;       // group key (owned, NUL-terminated; the empty text without group columns)
  int32_t key_len; // bytes of key without the terminator (a key may hold NUL bytes)
  series points;   // times in milliseconds since the epoch and values (owned)
};

// The series of one query in order of first appearance, with a hash index over the keys so
// that finding a row's series does not scan the list.
struct BtSeriesList {
  BtSeries *items;  // series records (owned, each freed by bt_series_list_free)
  int32_t count;    // series in use
  int32_t capacity; // records allocated (8, then doubling)
  int32_t *slots;   // open-addressing table of item index + 1, 0 for empty (owned)
  int32_t slot_cap; // slots allocated (a power of two, or 0)
};

// Finds the series of a key or appends a new one; *out points into list->items until the next
// call. Returns SQLITE_OK or SQLITE_NOMEM.
int bt_series_lookup(BtSeriesList *list, const char *key, int32_t key_len, BtSeries **out);
// Frees every series and the list's own arrays, and zeroes the list.
void bt_series_list_free(BtSeriesList *list);

// Error and interval figures of one fold.
struct BtMetrics {
  double mae;      // mean absolute error
  double rmse;     // root mean squared error
  double mase;     // mae over the series' mean absolute one-step change, ts_mase_scale (0 when that is 0)
  double smape;    // symmetric mean absolute percentage error, as a fraction in [0, 2]
  double coverage; // share of actuals inside the band
  double width;    // mean band width
};

// Fills mae, rmse, mase and smape of h pairs.
void bt_point_metrics(const double *actual, const double *forecast, int32_t h, double scale, BtMetrics *out);
// Fills coverage and width of the band lower..upper over h actuals.
void bt_band_metrics(const double *actual, const double *lower, const double *upper, int32_t h, BtMetrics *out);
// Conformal radii that use only the past. abs_err holds |actual - forecast| of folds x h steps,
// fold after fold; radius (same layout) gets for fold j >= BT_CONFORMAL_MIN_EARLIER and each
// step the q-th smallest error at that step among folds 0..j-1, q = ceil((j + 1) * level)
// limited to 1..j. Earlier folds get no radius. work needs folds doubles.
inline constexpr int32_t BT_CONFORMAL_MIN_EARLIER = 3;
void bt_conformal_radii(const double *abs_err, int32_t folds, int32_t h, double level, double *radius, double *work);

// Settings of one call, after the options were parsed and the model resolved.
struct BtConfig {
  int32_t horizon;       // steps compared per fold
  int32_t gap;           // forecast steps skipped between the cut-off and the compared window
  int32_t folds;         // most folds per series
  int32_t context_limit; // most recent points kept per series
  double level;          // confidence level of the band
  double z;              // normal quantile of 0.5 + level / 2
  int conformal;         // 1 for leave-one-fold-out conformal bands, 0 for residual bands
  const ts_model *model; // the model refitted at every cut-off, or null for auto and auto-extended
  int auto_extended;     // with no model: run auto-extended at every cut-off instead of auto
  int uses_calendar;     // the model takes its season from the calendar of the fold's times
  int fill;              // ts_fill_rule applied to each sorted series, TS_FILL_NONE for none
  int log_transform;     // models run on the logarithms (every value is > 0)
};

// One result row; the cursor owns the array.
struct BtRow {
  int32_t series;    // index of the series (its key lives in the cursor)
  int32_t fold;      // 0 for the oldest cut-off
  char cutoff[24];   // cut-off time text
  const char *model; // static model name
  int32_t n;         // the horizon
  double mae, rmse, mase, smape, coverage, width;
  int has_metrics;    // fold .. smape are set
  int has_interval;   // coverage and width are set
  const char *status; // static: ok, truncated, insufficient_history, non_numeric
};

// Buffers reused by every series of one call; each group grows when a series needs more
// (all owned; freed by bt_work_free).
struct BtWork {
  double *step_fc;    // forecasts of one fit (horizon + gap)
  double *step_sd;    // deviations of one fit (horizon + gap)
  int64_t step_cap;   // entries of step_fc and step_sd
  double *actual;     // folds x horizon
  double *forecast;   // folds x horizon
  double *spread;     // folds x horizon
  double *abs_err;    // folds x horizon
  double *radius;     // folds x horizon
  int64_t fold_cap;   // entries of each folds x horizon array above
  double *lower;      // horizon
  double *upper;      // horizon
  double *conf_work;  // 2 x folds
  int64_t small_cap;  // entries of lower, upper and conf_work
  int32_t *periods;   // season length of each fold's training prefix
  int64_t period_cap; // entries of periods
  ts_scratch models;  // the model routines' own working buffers
};
void bt_work_free(BtWork *work);

// Evaluates one series (sorting, filling and cutting it in place) and appends its rows.
// Returns SQLITE_OK, SQLITE_NOMEM, SQLITE_TOOBIG when filling would pass the row limit,
// SQLITE_RANGE when the log transform meets a value <= 0, or SQLITE_INTERRUPT when
// work->models.cancel asked to stop.
int bt_evaluate_series(BtSeries *item, int32_t series_index, const BtConfig *cfg, BtWork *work, HostArray<BtRow> *rows);

// Resolves the model option (null: theta-classic) into cfg->model and cfg->auto_extended by
// the names forecast takes; false for a name backtest does not run (a forecast student's id).
bool bt_resolve_model(const char *name, BtConfig *cfg);
