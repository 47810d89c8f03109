// The backtest(query, horizon[, options]) eponymous table-valued function. bt_filter does the
// whole job: it checks the arguments and options, runs the user's read-only query on the
// caller's connection, groups its rows into series and evaluates every series into the
// cursor's row array; the kit's callbacks only walk that array.
#include "backtest/backtest.h"

namespace {

// Columns in the order of the declared schema.
enum BtColumn {
  BT_COL_SERIES_KEY,
  BT_COL_FOLD,
  BT_COL_CUTOFF,
  BT_COL_MODEL,
  BT_COL_N,
  BT_COL_MAE,
  BT_COL_RMSE,
  BT_COL_MASE,
  BT_COL_SMAPE,
  BT_COL_COVERAGE,
  BT_COL_WIDTH,
  BT_COL_STATUS,
  BT_COL_QUERY,   // argument 1
  BT_COL_HORIZON, // argument 2
  BT_COL_OPTIONS, // argument 3
};

constexpr const char BT_SCHEMA[] =
    "CREATE TABLE x(series_key TEXT, fold INTEGER, cutoff_timestamp TEXT, model TEXT, n INTEGER, mae REAL, "
    "rmse REAL, mase REAL, smape REAL, coverage REAL, mean_interval_width REAL, status TEXT, query HIDDEN, "
    "horizon HIDDEN, options HIDDEN)";

constexpr int64_t BT_MAX_ROWS = 2097152;
constexpr const char BT_MODEL_HINT[] =
    "backtest() supports the statistical models (theta-classic, stub-seasonal-naive, tsb) or auto: ";

struct BtCursor {
  VtabCursor kit;    // kit's part: count is the rows in use, position the current row
  BtRow *rows;       // result rows (owned)
  char **keys;       // series keys, indexed by BtRow::series (owned, each owned)
  int32_t *key_lens; // byte length of each key (owned)
  int32_t key_count; // entries of keys
};

void bt_clear(VtabCursor *base) {
  BtCursor *cur = (BtCursor *)base;
  sqlite3_free(cur->rows);
  for (int32_t i = 0; i < cur->key_count; i++)
    sqlite3_free(cur->keys[i]);
  sqlite3_free(cur->keys);
  sqlite3_free(cur->key_lens);
  cur->rows = nullptr;
  cur->keys = nullptr;
  cur->key_lens = nullptr;
  cur->kit.count = 0;
  cur->key_count = 0;
  cur->kit.position = 0;
}

// Builds "code: text suffix" into the table's error slot; returns SQLITE_ERROR (SQLITE_NOMEM
// when the message cannot be built).
int fail(sqlite3_vtab *vtab, const char *code, const char *text, const char *suffix = "") {
  return vtab_set_error(vtab, sqlite3_mprintf("%s: %s%s", code, text, suffix));
}

// Owns what one filter call gathers, so every exit path releases it.
struct FilterState {
  forecast_opts opts;
  BtSeriesList series;
  BtWork work;
  HostArray<BtRow> rows;
  FilterState() {
    memset(&opts, 0, sizeof opts);
    memset(&series, 0, sizeof series);
    memset(&work, 0, sizeof work);
  }
  ~FilterState() {
    forecast_opts_free(&opts);
    bt_series_list_free(&series);
    bt_work_free(&work);
  }
};

// Whether the first-row value of a column can serve as a time: 1 yes, 0 no, -1 out of memory.
int looks_like_time(sqlite3_stmt *st, int col) {
  int type = sqlite3_column_type(st, col);
  if (type == SQLITE_INTEGER) return 1;
  if (type != SQLITE_TEXT) return 0;
  const char *text = (const char *)sqlite3_column_text(st, col);
  if (!text) return -1;
  int64_t ms;
  return vornel0_parse_timestamp(text, &ms) == 0;
}

// Reads the query's rows into series. Column indexes: time_idx, value_idx (-1 to infer on the
// first row) and group_idx[0..group_count-1].
int read_rows(sqlite3_vtab *vtab, sqlite3_stmt *st, int time_idx, int value_idx, const int *group_idx, int group_count,
              BtSeriesList *list) {
  const int ncols = sqlite3_column_count(st);
  HostArray<char> key;
  int64_t read = 0;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    if (read == BT_MAX_ROWS) return fail(vtab, VORNEL_ERR_RESOURCE, "too many input rows");
    if (read++ == 0 && (time_idx < 0 || value_idx < 0)) {
      // A column bound to a group or to the value is never taken for the time.
      for (int c = 0; time_idx < 0 && c < ncols; c++) {
        bool taken = c == value_idx;
        for (int g = 0; g < group_count; g++)
          taken = taken || c == group_idx[g];
        int is_time = taken ? 0 : looks_like_time(st, c);
        if (is_time < 0) return SQLITE_NOMEM;
        if (is_time) time_idx = c;
      }
      for (int c = 0; value_idx < 0 && c < ncols; c++) {
        bool taken = c == time_idx;
        for (int g = 0; g < group_count; g++)
          taken = taken || c == group_idx[g];
        int type = sqlite3_column_type(st, c);
        if (!taken && (type == SQLITE_INTEGER || type == SQLITE_FLOAT)) value_idx = c;
      }
      if (time_idx < 0 || value_idx < 0) return fail(vtab, VORNEL_ERR_SCHEMA, "could not infer time/value columns");
    }
    // Read the time and value before the key texts: turning a column into text would change
    // the type a later read sees when one column serves twice.
    int64_t ms = 0;
    bool ok;
    switch (sqlite3_column_type(st, time_idx)) {
    case SQLITE_INTEGER:
      // Milliseconds are kept whole here, where the aggregates floor them to a second.
      ok = series_time_from_integer(sqlite3_column_int64(st, time_idx), &ms) == SERIES_TIME_OK;
      break;
    case SQLITE_TEXT: {
      const char *text = (const char *)sqlite3_column_text(st, time_idx);
      if (!text) return SQLITE_NOMEM;
      ok = vornel0_parse_timestamp(text, &ms) == 0;
      break;
    }
    default:
      ok = false;
    }
    const int vtype = sqlite3_column_type(st, value_idx);
    ok = ok && (vtype == SQLITE_INTEGER || vtype == SQLITE_FLOAT);
    const double value = ok ? sqlite3_column_double(st, value_idx) : 0;
    ok = ok && series_value_usable(value);

    key.clear();
    for (int g = 0; g < group_count; g++) {
      if (g > 0 && !key.push('\x1f')) return SQLITE_NOMEM;
      const int gtype = sqlite3_column_type(st, group_idx[g]);
      const char *text = (const char *)sqlite3_column_text(st, group_idx[g]);
      int len = sqlite3_column_bytes(st, group_idx[g]);
      if (!text && gtype != SQLITE_NULL) return SQLITE_NOMEM;
      if (len > 0 && !key.reserve(key.len + len + 1)) return SQLITE_NOMEM;
      if (len > 0) {
        memcpy(key.data + key.len, text, (size_t)len);
        key.len += len;
      }
    }
    BtSeries *item;
    if (bt_series_lookup(list, key.len ? key.data : "", (int32_t)key.len, &item) != SQLITE_OK) return SQLITE_NOMEM;
    if (item->points.rejected) continue;
    if (!ok) {
      item->points.rejected = 1;
      continue;
    }
    // At most BT_MAX_ROWS rows in all, so no series reaches the record's limit.
    if (series_append(&item->points, ms, value) != SQLITE_OK) return SQLITE_NOMEM;
  }
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc != SQLITE_DONE)
    return fail(vtab, VORNEL_ERR_RESOURCE, "query execution failed: ", sqlite3_errmsg(sqlite3_db_handle(st)));
  return SQLITE_OK;
}

// Checks the query and horizon arguments and reads the options into state.opts.
int read_arguments(sqlite3_vtab *vtab, sqlite3 *db, sqlite3_value *const *args, const char **query, int32_t *horizon,
                   forecast_opts *opts) {
  if (!vtab_arg_text(args, 0, query)) return SQLITE_NOMEM;
  if (!*query) return fail(vtab, VORNEL_ERR_SCHEMA, "query must be text");
  if (sqlite3_value_type(args[1]) != SQLITE_INTEGER)
    return fail(vtab, VORNEL_ERR_HORIZON, "horizon must be an integer");
  sqlite3_int64 h = sqlite3_value_int64(args[1]);
  if (h < 1 || h > 1000) return fail(vtab, VORNEL_ERR_HORIZON, "horizon out of range 1..1000");
  *horizon = (int32_t)h;
  const char *doc;
  if (!vtab_arg_text(args, 2, &doc)) return SQLITE_NOMEM;
  char *msg = nullptr;
  int rc = options_read(db, doc, &BACKTEST_OPTIONS, opts, &msg);
  if (rc == SQLITE_NOMEM) {
    sqlite3_free(msg);
    return SQLITE_NOMEM;
  }
  return rc == SQLITE_OK ? SQLITE_OK : vtab_set_error(vtab, msg);
}

// Finds the named time, value and group columns among the query's result columns (the last
// of several with the name wins); -1 where a name was not given.
int bind_columns(sqlite3_vtab *vtab, sqlite3_stmt *st, const forecast_opts &opts, int *time_idx, int *value_idx,
                 int *group_idx) {
  *time_idx = *value_idx = -1;
  for (int g = 0; g < opts.group_count; g++)
    group_idx[g] = -1;
  for (int c = 0; c < sqlite3_column_count(st); c++) {
    const char *name = sqlite3_column_name(st, c);
    if (!name) return SQLITE_NOMEM;
    if (opts.time_col && strcmp(name, opts.time_col) == 0) *time_idx = c;
    if (opts.value_col && strcmp(name, opts.value_col) == 0) *value_idx = c;
    for (int g = 0; g < opts.group_count; g++)
      if (strcmp(name, opts.group_cols[g]) == 0) group_idx[g] = c;
  }
  if (opts.time_col && *time_idx < 0)
    return vtab_set_error(vtab, sqlite3_mprintf("%s: no such time_col: %s", VORNEL_ERR_SCHEMA, opts.time_col));
  if (opts.value_col && *value_idx < 0)
    return vtab_set_error(vtab, sqlite3_mprintf("%s: no such value_col: %s", VORNEL_ERR_SCHEMA, opts.value_col));
  for (int g = 0; g < opts.group_count; g++)
    if (group_idx[g] < 0)
      return vtab_set_error(vtab, sqlite3_mprintf("%s: no such group col: %s", VORNEL_ERR_SCHEMA, opts.group_cols[g]));
  return SQLITE_OK;
}

// Evaluates every series into state->rows, freeing each series' points once done with.
int evaluate_all(sqlite3_vtab *vtab, sqlite3 *db, const BtConfig *cfg, FilterState *state) {
  Cancel cancel = vornel0_cancel(db);
  state->work.models.cancel = &cancel;
  for (int32_t i = 0; i < state->series.count; i++) {
    int rc = bt_evaluate_series(&state->series.items[i], i, cfg, &state->work, &state->rows);
    if (rc == SQLITE_RANGE) return vtab_set_error(vtab, forecast_log_refusal());
    if (rc == SQLITE_TOOBIG)
      return vtab_set_error(vtab, sqlite3_mprintf("%s: fill would make more than %d points in one series; check the "
                                                  "time column, or sum the rows to a coarser step first",
                                                  VORNEL_ERR_RESOURCE, SERIES_MAX_ROWS));
    if (rc != SQLITE_OK) return rc;
    // The points are no longer needed; release them early on large inputs.
    series_free(&state->series.items[i].points);
  }
  state->work.models.cancel = nullptr;
  return SQLITE_OK;
}

// Hands the series keys and the rows to the cursor.
int hand_over(BtCursor *cur, FilterState *state) {
  const int32_t count = state->series.count;
  if (count > 0) {
    cur->keys = host_calloc<char *>(count);
    cur->key_lens = host_calloc<int32_t>(count);
    if (!cur->keys || !cur->key_lens) {
      bt_clear(&cur->kit);
      return SQLITE_NOMEM;
    }
    for (int32_t i = 0; i < count; i++) {
      cur->keys[i] = state->series.items[i].key;
      cur->key_lens[i] = state->series.items[i].key_len;
      state->series.items[i].key = nullptr;
    }
    cur->key_count = count;
  }
  cur->kit.count = state->rows.len;
  cur->rows = state->rows.release();
  return SQLITE_OK;
}

int bt_filter(VtabCursor *base, sqlite3_value *const *args) {
  sqlite3_vtab *vtab = base->base.pVtab;
  sqlite3 *db = base->db;
  FilterState state;
  const char *query;
  BtConfig cfg;
  int rc = read_arguments(vtab, db, args, &query, &cfg.horizon, &state.opts);
  if (rc != SQLITE_OK) return rc;
  const forecast_opts &opts = state.opts;
  if (!bt_resolve_model(opts.model, &cfg)) return fail(vtab, VORNEL_ERR_MODEL_NOT_FOUND, BT_MODEL_HINT, opts.model);

  StmtGuard st;
  char *msg = nullptr;
  rc = vornel0_prepare_query(db, query, "query", true, st.out(), &msg);
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc != SQLITE_OK) return vtab_set_error(vtab, msg);
  if (sqlite3_column_count(st) < 2)
    return fail(vtab, VORNEL_ERR_SCHEMA, "query must yield at least a time and a value column");
  int time_idx, value_idx, group_idx[FORECAST_MAX_LIST];
  rc = bind_columns(vtab, st, opts, &time_idx, &value_idx, group_idx);
  if (rc == SQLITE_OK) rc = read_rows(vtab, st, time_idx, value_idx, group_idx, opts.group_count, &state.series);
  st.reset();
  if (rc != SQLITE_OK) return rc;

  cfg.gap = opts.gap;
  cfg.folds = forecast_opts_folds(&opts);
  cfg.context_limit = opts.context_limit;
  cfg.level = opts.level;
  cfg.z = vornel0_norm_quantile(0.5 * opts.level + 0.5);
  cfg.conformal = opts.interval_method == INTERVAL_CONFORMAL;
  cfg.fill = opts.fill;
  cfg.log_transform = opts.transform == TRANSFORM_LOG;
  rc = evaluate_all(vtab, db, &cfg, &state);
  if (rc != SQLITE_OK) return rc;
  return hand_over((BtCursor *)base, &state);
}

// The REAL columns mae .. mean_interval_width, in schema order.
constexpr double BtRow::*const BT_REAL_FIELDS[] = {&BtRow::mae,   &BtRow::rmse,     &BtRow::mase,
                                                   &BtRow::smape, &BtRow::coverage, &BtRow::width};
static_assert(BT_COL_WIDTH - BT_COL_MAE + 1 == 6, "one field per REAL column");

void bt_column(VtabCursor *base, sqlite3_context *ctx, int col) {
  BtCursor *cur = (BtCursor *)base;
  const BtRow &row = cur->rows[cur->kit.position];
  if (col == BT_COL_SERIES_KEY) {
    if (row.series < cur->key_count && cur->keys[row.series])
      sqlite3_result_text(ctx, cur->keys[row.series], cur->key_lens[row.series], SQLITE_STATIC);
    else
      sqlite3_result_text(ctx, "", 0, SQLITE_STATIC);
    return;
  }
  if (col == BT_COL_STATUS) return sqlite3_result_text(ctx, row.status, -1, SQLITE_STATIC);
  // The interval's columns show with an interval, the others with metrics.
  if (!(col == BT_COL_COVERAGE || col == BT_COL_WIDTH ? row.has_interval : row.has_metrics)) return;
  if (col == BT_COL_FOLD || col == BT_COL_N) {
    sqlite3_result_int(ctx, col == BT_COL_FOLD ? row.fold : row.n);
  } else if (col == BT_COL_CUTOFF) {
    sqlite3_result_text(ctx, row.cutoff, -1, SQLITE_TRANSIENT);
  } else if (col == BT_COL_MODEL) {
    sqlite3_result_text(ctx, row.model, -1, SQLITE_STATIC);
  } else if (col >= BT_COL_MAE && col <= BT_COL_WIDTH) {
    sqlite3_result_double(ctx, row.*BT_REAL_FIELDS[col - BT_COL_MAE]);
  }
}

} // namespace

extern const VtabShape BACKTEST_SHAPE = {BT_SCHEMA,
                                         BT_COL_QUERY,
                                         3,
                                         2,
                                         "VORNEL_ERR_SCHEMA: backtest(query, horizon) requires both arguments",
                                         1000.0,
                                         VTAB_DIRECT_ONLY,
                                         0,
                                         sizeof(BtCursor),
                                         0,
                                         bt_filter,
                                         bt_column,
                                         bt_clear};
