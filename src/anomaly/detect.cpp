// The detect_anomalies aggregate: the shared series step, and the final that parses the
// options, resolves the model, prepares the series, scores every point (one-step models in
// onestep.cpp, sub-PCA in subpca.cpp) and writes the anomaly document.
#include "anomaly/anomaly.h"
#include "anomaly/score.h"
#include "anomaly/subpca.h"
#include "ts/ts.h"
#include <math.h>

namespace {

// The range the time stamp formatter prints without clamping (0001-01-01 to 9999-12-31).
constexpr int64_t MIN_STAMP_MS = -62135596800000LL;
constexpr int64_t MAX_STAMP_MS = 253402300799999LL;
constexpr int MIN_POINTS = 8;

const char STATUS_OK[] = "ok";
const char STATUS_TRUNCATED[] = "truncated";
const char STATUS_INSUFFICIENT[] = "insufficient_history";
const char STATUS_NON_NUMERIC[] = "non_numeric";

// Releases the options record and the series record on every exit of the final.
struct FinalGuard {
  series *s;
  forecast_opts *opts;
  ~FinalGuard() {
    forecast_opts_free(opts);
    series_free(s);
  }
};

// Resolves the model option by the shared name rule; the one-step rules stand for theta-classic
// and stub-seasonal-naive. Returns 0 with the model and the name the document shows, or
// non-zero with a built message in *out_msg (null when it could not be built).
int resolve_model(const char *text, an_model *out_model, const char **out_name, char **out_msg) {
  *out_msg = nullptr;
  if (text && strcmp(text, "sub-pca") == 0) {
    *out_model = AN_MODEL_SUBPCA;
    *out_name = "sub-pca";
    return SQLITE_OK;
  }
  const ts_model *m = text ? ts_model_named(text).model : &TS_MODELS[TS_MODEL_THETA];
  if (m == &TS_MODELS[TS_MODEL_THETA]) {
    *out_model = AN_MODEL_THETA;
  } else if (m == &TS_MODELS[TS_MODEL_SEASONAL_NAIVE]) {
    *out_model = AN_MODEL_SEASONAL_NAIVE;
  } else if (m == &TS_MODELS[TS_MODEL_TSB]) {
    *out_msg = sqlite3_mprintf("%s: model not supported for detect_anomalies (use theta-classic, "
                               "stub-seasonal-naive, or sub-pca): %s",
                               VORNEL_ERR_OPTIONS, text);
    return SQLITE_ERROR;
  } else {
    *out_msg = sqlite3_mprintf("%s: no such model: %s", VORNEL_ERR_MODEL_NOT_FOUND, text);
    return SQLITE_ERROR;
  }
  *out_name = m->name;
  return SQLITE_OK;
}

// Writes a number as the JSON helpers do ("%.17g", null when not finite); returns the end.
char *put_number(char *w, double x) {
  if (!isfinite(x)) {
    memcpy(w, "null", 4);
    return w + 4;
  }
  return w + vornel0_format_double(x, w);
}

char *put_literal(char *w, const char *text, size_t len) {
  memcpy(w, text, len);
  return w + len;
}
#define PUT(w, lit) put_literal(w, lit, sizeof(lit) - 1)

// Writes the time stamp text of ms ("YYYY-MM-DDTHH:MM:SSZ"). stamp keeps the last formatted
// text and *day its day number, so only the time of day is rewritten within the same day.
char *put_stamp(char *w, int64_t ms, char *stamp, int64_t *day) {
  constexpr int64_t DAY_MS = 86400000;
  constexpr int STAMP_LEN = 20;
  int64_t d = ms / DAY_MS - (ms % DAY_MS < 0);
  if (d != *day || ms < MIN_STAMP_MS || ms > MAX_STAMP_MS) {
    vornel0_format_timestamp(ms, stamp, 24);
    *day = ms < MIN_STAMP_MS || ms > MAX_STAMP_MS ? INT64_MIN : d;
  } else {
    int64_t sod = (ms - d * DAY_MS) / 1000;
    auto two = [stamp](int at, int64_t v) {
      stamp[at] = (char)('0' + v / 10);
      stamp[at + 1] = (char)('0' + v % 10);
    };
    two(11, sod / 3600);
    two(14, sod / 60 % 60);
    two(17, sod % 60);
  }
  return put_literal(w, stamp, STAMP_LEN);
}

// Appends the anomaly document. points is null for a status-only document. Returns false when
// cancel asked to stop (the text is then incomplete).
bool write_document(sqlite3_str *out, const char *model_name, const char *status, const int64_t *ts,
                    const double *values, const an_point *points, int n, Cancel *cancel) {
  sqlite3_str_appendall(out, "{\"model\":");
  agg_json_str(out, model_name);
  sqlite3_str_appendf(out, ",\"status\":\"%s\",\"rows\":[", status);
  // One row at a time into a local buffer: five numbers of at most 24 bytes, a 20-byte time
  // stamp and the fixed keys fit well within it.
  char row[512];
  // Consecutive points often share a day: the date part is formatted once per day.
  char stamp[24];
  int64_t stamp_day = INT64_MIN;
  for (int t = 0; points && t < n; t++) {
    if (cancel_stop(cancel, (int64_t)sizeof row)) return false;
    const an_point &p = points[t];
    char *w = row;
    if (t) *w++ = ',';
    w = PUT(w, "{\"ts\":\"");
    w = put_stamp(w, ts[t], stamp, &stamp_day);
    w = PUT(w, "\",\"value\":");
    w = put_number(w, values[t]);
    w = PUT(w, ",\"forecast\":");
    w = p.scored ? put_number(w, p.forecast) : PUT(w, "null");
    w = PUT(w, ",\"lower_bound\":");
    w = p.scored ? put_number(w, p.lower_bound) : PUT(w, "null");
    w = PUT(w, ",\"upper_bound\":");
    w = p.scored ? put_number(w, p.upper_bound) : PUT(w, "null");
    w = p.is_anomaly ? PUT(w, ",\"is_anomaly\":1,\"anomaly_probability\":")
                     : PUT(w, ",\"is_anomaly\":0,\"anomaly_probability\":");
    w = put_number(w, p.anomaly_probability);
    *w++ = '}';
    sqlite3_str_append(out, row, (int)(w - row));
  }
  sqlite3_str_appendall(out, "]}");
  return true;
}

// Sub-PCA over the kept values: every point gets its rank probability, no forecast or band.
// Returns SQLITE_OK; SQLITE_NOMEM when the probability array cannot be had (the host's
// out-of-memory error); SQLITE_INTERRUPT when cancel asked to stop; or SQLITE_ERROR with a
// built message in *out_msg, which is null when the computation itself ran out of memory
// ("VORNEL_ERR_RESOURCE: out of memory").
int score_subpca(const double *v, int n, double threshold, an_point *points, Cancel *cancel, char **out_msg) {
  *out_msg = nullptr;
  int period = n >= 6 ? detect_period(v, n) : 0;
  int window = subpca_window_length(n, period);
  HostPtr<double> prob(host_calloc<double>(n));
  if (!prob) return SQLITE_NOMEM;
  int rc = subpca_probabilities(v, n, window, prob.get(), cancel);
  if (rc == SUBPCA_STOPPED) return SQLITE_INTERRUPT;
  if (rc == SUBPCA_TOO_SHORT) {
    *out_msg = sqlite3_mprintf("%s: series too short for sub-pca (need > %d)", VORNEL_ERR_SCHEMA, 2 * window);
    return SQLITE_ERROR;
  }
  if (rc != SUBPCA_OK) return SQLITE_ERROR; // no message: reported as the resource error
  for (int t = 0; t < n; t++) {
    points[t] = an_point{};
    points[t].anomaly_probability = prob[t];
    points[t].is_anomaly = prob[t] > threshold ? 1 : 0;
  }
  return SQLITE_OK;
}

// What the final scored: the kept part of the sorted series and its points.
struct an_scored {
  const char *status = STATUS_OK;
  HostPtr<an_point> points; // n points, or null for a status-only document
  const int64_t *ts = nullptr;
  const double *values = nullptr;
  int n = 0;
};

// Reports a failure through ctx: out of memory and interrupts by their codes, anything else by
// msg (the resource error when there is none). Returns rc.
int report_failure(sqlite3_context *ctx, int rc, char *msg = nullptr) {
  if (rc == SQLITE_NOMEM)
    sqlite3_result_error_nomem(ctx);
  else if (rc == SQLITE_INTERRUPT)
    sqlite3_result_error_code(ctx, rc);
  else
    vornel0_report(ctx, msg);
  return rc;
}

// Scores the n values (under transform 'log' their logarithms, with forecasts and bounds
// mapped back) into points. Returns SQLITE_OK, or a code after reporting through ctx.
int score_points(sqlite3_context *ctx, const double *values, int n, const forecast_opts &opts, an_model model,
                 an_point *points, Cancel *cancel) {
  const double threshold = opts.level;
  const double z = vornel0_norm_quantile(0.5 * threshold + 0.5);
  HostPtr<double> logs;
  const double *scored = values;
  if (opts.transform == TRANSFORM_LOG) {
    logs.reset(host_calloc<double>(n));
    if (!logs) return report_failure(ctx, SQLITE_NOMEM);
    if (!forecast_log_values(values, n, logs.get())) return report_failure(ctx, SQLITE_ERROR, forecast_log_refusal());
    scored = logs.get();
  }
  int rc = SQLITE_OK;
  char *msg = nullptr;
  if (model == AN_MODEL_SUBPCA) {
    rc = score_subpca(scored, n, threshold, points, cancel, &msg);
  } else {
    int period = n >= 6 ? detect_period(scored, n) : 0;
    if (!an_score_one_step(scored, n, model, period, threshold, z, points, cancel)) rc = SQLITE_INTERRUPT;
  }
  if (rc != SQLITE_OK) return report_failure(ctx, rc, msg);
  for (int t = 0; logs && t < n; t++) {
    an_point &p = points[t];
    p.forecast = forecast_from_log(p.forecast);
    p.lower_bound = forecast_from_log(p.lower_bound);
    p.upper_bound = forecast_from_log(p.upper_bound);
  }
  return SQLITE_OK;
}

// Prepares the series (sort, fill, cut to context_limit) and scores it, or sets a status.
// Returns SQLITE_OK, or a code after reporting through ctx.
int score_series(sqlite3_context *ctx, series *s, const forecast_opts &opts, an_model model, Cancel *cancel,
                 an_scored *out) {
  if (s->rejected) {
    out->status = STATUS_NON_NUMERIC;
    return SQLITE_OK;
  }
  if (s->count < MIN_POINTS) {
    out->status = STATUS_INSUFFICIENT;
    return SQLITE_OK;
  }
  series_sort(s);
  if (opts.fill && !series_fill_or_report(ctx, s, opts.fill)) return SQLITE_ERROR;
  int first = 0;
  out->n = s->count;
  if (opts.context_limit > 0 && opts.context_limit < out->n) {
    first = out->n - opts.context_limit;
    out->n = opts.context_limit;
    out->status = STATUS_TRUNCATED;
  }
  out->ts = s->ts + first;
  out->values = s->values + first;
  out->points.reset(host_calloc<an_point>(out->n));
  if (!out->points) return report_failure(ctx, SQLITE_NOMEM);
  return score_points(ctx, out->values, out->n, opts, model, out->points.get(), cancel);
}

} // namespace

void agg_an_step(sqlite3_context *ctx, int argc, sqlite3_value **argv) { series_step(ctx, argc, argv, SERIES_ANOMALY); }

void agg_an_final(sqlite3_context *ctx) {
  series *s = (series *)sqlite3_aggregate_context(ctx, 0);
  forecast_opts opts = {};
  FinalGuard guard{s, &opts};
  if (!s || !s->initialised) return sqlite3_result_null(ctx);
  if (s->failed) return sqlite3_result_error_code(ctx, SQLITE_ERROR);
  sqlite3 *db = sqlite3_context_db_handle(ctx);
  char *msg = nullptr;
  if (options_read(db, s->options, &ANOMALY_OPTIONS, &opts, &msg) != SQLITE_OK) return vornel0_report(ctx, msg);
  an_model model;
  const char *model_name;
  if (resolve_model(opts.model, &model, &model_name, &msg) != SQLITE_OK) return vornel0_report(ctx, msg);
  Cancel cancel = vornel0_cancel(db);
  an_scored scored;
  if (score_series(ctx, s, opts, model, &cancel, &scored) != SQLITE_OK) return;

  sqlite3_str *out = sqlite3_str_new(db);
  if (!write_document(out, model_name, scored.status, scored.ts, scored.values, scored.points.get(), scored.n,
                      &cancel)) {
    sqlite3_free(sqlite3_str_finish(out));
    return sqlite3_result_error_code(ctx, SQLITE_INTERRUPT);
  }
  int len = sqlite3_str_length(out);
  // A document longer than the connection's length limit is reported as too big, not as a
  // lack of memory.
  bool too_big = sqlite3_str_errcode(out) == SQLITE_TOOBIG;
  char *doc = sqlite3_str_finish(out);
  if (!doc) return too_big ? sqlite3_result_error_toobig(ctx) : sqlite3_result_error_nomem(ctx);
  sqlite3_result_text(ctx, doc, len, sqlite3_free);
}
