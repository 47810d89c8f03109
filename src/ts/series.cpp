// Series accumulation: the step routine shared by forecast and detect_anomalies, and the sort.
// The step checks the group's constant arguments on every row, collects conforming rows and
// marks the series once a row does not conform; the finals do everything else.
#include "ts/series.h"

namespace {

constexpr int64_t MAX_SECONDS = 99999999999LL; // larger integers are milliseconds
constexpr int64_t MAX_MS = 253402300799999LL;  // 9999-12-31T23:59:59.999Z
constexpr int32_t FIRST_CAPACITY = 64;

int64_t floor_to_second(int64_t ms) {
  int64_t rem = ms % 1000;
  if (rem < 0) rem += 1000;
  return ms - rem;
}

// The options argument as text, or null when it is absent, NULL or empty. Sets *nomem when
// the host could not produce the text.
const char *options_text(sqlite3_value *v, bool *nomem) {
  *nomem = false;
  if (!v || sqlite3_value_type(v) == SQLITE_NULL) return nullptr;
  const char *text = (const char *)sqlite3_value_text(v);
  if (!text) {
    *nomem = true;
    return nullptr;
  }
  return *text ? text : nullptr;
}

void fail(sqlite3_context *ctx, series *s, const char *msg) {
  s->failed = 1;
  sqlite3_result_error(ctx, msg, -1);
}

void fail_nomem(sqlite3_context *ctx, series *s) {
  s->failed = 1;
  sqlite3_result_error_nomem(ctx);
}

} // namespace

series_time_status series_time_parse(sqlite3_value *v, int64_t *out_ms) {
  switch (sqlite3_value_type(v)) {
  case SQLITE_INTEGER: {
    const series_time_status status = series_time_from_integer(sqlite3_value_int64(v), out_ms);
    if (status == SERIES_TIME_OK) *out_ms = floor_to_second(*out_ms);
    return status;
  }
  case SQLITE_TEXT: {
    const char *text = (const char *)sqlite3_value_text(v);
    int64_t ms = 0;
    if (!text || vornel0_parse_timestamp(text, &ms) != 0) return SERIES_TIME_UNPARSEABLE;
    *out_ms = floor_to_second(ms);
    return SERIES_TIME_OK;
  }
  case SQLITE_FLOAT:
    return SERIES_TIME_REAL;
  case SQLITE_BLOB:
    return SERIES_TIME_BLOB;
  default:
    return SERIES_TIME_NULL;
  }
}

series_time_status series_time_from_integer(int64_t t, int64_t *out_ms) {
  if (t < 0) return SERIES_TIME_NEGATIVE;
  if (t > MAX_MS) return SERIES_TIME_TOO_LATE;
  *out_ms = t <= MAX_SECONDS ? t * 1000 : t;
  return SERIES_TIME_OK;
}

bool series_time_ms(sqlite3_value *v, int64_t *out_ms) { return series_time_parse(v, out_ms) == SERIES_TIME_OK; }

int series_append(series *s, int64_t ms, double value) {
  if (s->count > SERIES_MAX_ROWS - 1) return SQLITE_TOOBIG;
  if (s->count == s->capacity) {
    // Both arrays grow by the one rule, to the same capacity.
    int32_t ts_cap = s->capacity, values_cap = s->capacity;
    if (!host_grow(&s->ts, &ts_cap, s->count + 1, FIRST_CAPACITY, SERIES_MAX_ROWS) ||
        !host_grow(&s->values, &values_cap, s->count + 1, FIRST_CAPACITY, SERIES_MAX_ROWS)) {
      sqlite3_free(s->ts);
      sqlite3_free(s->values);
      s->ts = nullptr;
      s->values = nullptr;
      s->count = s->capacity = 0;
      return SQLITE_NOMEM;
    }
    s->capacity = ts_cap;
  }
  s->ts[s->count] = ms;
  s->values[s->count] = value;
  s->count++;
  return SQLITE_OK;
}

void series_step(sqlite3_context *ctx, int argc, sqlite3_value **argv, series_family family) {
  series *s = (series *)sqlite3_aggregate_context(ctx, (int)sizeof(series));
  if (!s) {
    sqlite3_result_error_nomem(ctx);
    return;
  }
  if (s->failed) return;
  const bool is_forecast = family == SERIES_FORECAST;
  const char *name = is_forecast ? "forecast" : "detect_anomalies";
  const int options_arg = is_forecast ? 3 : 2;
  sqlite3_value *options = argc > options_arg ? argv[options_arg] : nullptr;
  bool nomem = false;
  const char *opt_text = options_text(options, &nomem);
  if (nomem) return fail_nomem(ctx, s);

  if (!s->initialised) {
    s->initialised = 1;
    if (sqlite3_value_type(argv[0]) == SQLITE_TEXT &&
        vornel0_looks_like_query((const char *)sqlite3_value_text(argv[0]))) {
      char *msg = sqlite3_mprintf(
          "%s: %s does not take a query string; it is an aggregate over your rows: SELECT %s(ts, value%s[, "
          "options]) FROM ...",
          VORNEL_ERR_SCHEMA, name, name, is_forecast ? ", horizon" : "");
      s->failed = 1;
      vornel0_report(ctx, msg, VORNEL_ERR_SCHEMA);
      return;
    }
    if (is_forecast) {
      if (sqlite3_value_type(argv[2]) != SQLITE_INTEGER) return fail(ctx, s, VORNEL_MSG_HORIZON_INTEGER);
      int64_t h = sqlite3_value_int64(argv[2]);
      if (h < 1 || h > 1000) return fail(ctx, s, VORNEL_MSG_HORIZON_RANGE);
      s->horizon = h;
      s->horizon_seen = 1;
    }
    if (opt_text) {
      s->options = sqlite3_mprintf("%s", opt_text);
      if (!s->options) return fail_nomem(ctx, s);
    }
    s->options_seen = 1;
  } else {
    if (is_forecast && (sqlite3_value_type(argv[2]) != SQLITE_INTEGER || sqlite3_value_int64(argv[2]) != s->horizon))
      return fail(ctx, s, VORNEL_MSG_HORIZON_CONSTANT);
    bool same = opt_text ? (s->options && strcmp(s->options, opt_text) == 0) : !s->options;
    if (!same) return fail(ctx, s, VORNEL_MSG_OPTIONS_CONSTANT);
  }
  if (s->rejected) return;

  int64_t ms = 0;
  if (!series_time_ms(argv[0], &ms)) {
    s->rejected = 1;
    return;
  }
  int vtype = sqlite3_value_type(argv[1]);
  if (vtype != SQLITE_INTEGER && vtype != SQLITE_FLOAT) {
    s->rejected = 1;
    return;
  }
  const double value = vtype == SQLITE_INTEGER ? (double)sqlite3_value_int64(argv[1]) : sqlite3_value_double(argv[1]);
  if (!series_value_usable(value)) {
    s->rejected = 1;
    return;
  }
  int rc = series_append(s, ms, value);
  if (rc == SQLITE_TOOBIG) return fail(ctx, s, VORNEL_MSG_TOO_MANY_ROWS);
  if (rc != SQLITE_OK) return fail_nomem(ctx, s);
}

void series_free(series *s) {
  if (!s) return;
  sqlite3_free(s->ts);
  sqlite3_free(s->values);
  sqlite3_free(s->options);
  s->ts = nullptr;
  s->values = nullptr;
  s->options = nullptr;
  s->count = s->capacity = 0;
}

namespace {

void insertion_sort(int64_t *ts, double *values, int64_t count) {
  for (int64_t i = 1; i < count; i++) {
    int64_t t = ts[i];
    if (ts[i - 1] <= t) continue; // already in place: the common case of ordered input
    double v = values[i];
    int64_t j = i;
    while (j > 0 && ts[j - 1] > t) {
      ts[j] = ts[j - 1];
      values[j] = values[j - 1];
      j--;
    }
    ts[j] = t;
    values[j] = v;
  }
}

// Merges the sorted runs [lo, mid) and [mid, hi) of (ts, values) into (ot, ov), left run first
// on equal times, so the merge is stable.
void merge_runs(const int64_t *ts, const double *values, int64_t lo, int64_t mid, int64_t hi, int64_t *ot, double *ov) {
  int64_t i = lo, j = mid, k = lo;
  while (i < mid && j < hi) {
    if (ts[j] < ts[i])
      ot[k] = ts[j], ov[k++] = values[j++];
    else
      ot[k] = ts[i], ov[k++] = values[i++];
  }
  while (i < mid)
    ot[k] = ts[i], ov[k++] = values[i++];
  while (j < hi)
    ot[k] = ts[j], ov[k++] = values[j++];
}

} // namespace

// A stable sort by time. Short runs are insertion-sorted; longer inputs are merged bottom-up
// so that badly ordered large groups stay O(n log n). Any stable sort yields the same order,
// and without memory for the merge buffers the insertion sort alone still gives it.
void series_sort_arrays(int64_t *ts, double *values, int64_t count) {
  if (count < 2) return;
  constexpr int64_t RUN = 32;
  int64_t inversions = 0;
  for (int64_t i = 1; i < count; i++)
    inversions += ts[i - 1] > ts[i];
  if (inversions == 0) return;
  if (count <= RUN * 4 || inversions < 16) return insertion_sort(ts, values, count);
  HostPtr<int64_t> tbuf((int64_t *)sqlite3_malloc64((sqlite3_uint64)count * sizeof(int64_t)));
  HostPtr<double> vbuf((double *)sqlite3_malloc64((sqlite3_uint64)count * sizeof(double)));
  if (!tbuf || !vbuf) return insertion_sort(ts, values, count);
  for (int64_t lo = 0; lo < count; lo += RUN)
    insertion_sort(ts + lo, values + lo, lo + RUN < count ? RUN : count - lo);
  int64_t *src_t = ts, *dst_t = tbuf.get();
  double *src_v = values, *dst_v = vbuf.get();
  for (int64_t width = RUN; width < count; width *= 2) {
    for (int64_t lo = 0; lo < count; lo += 2 * width) {
      int64_t mid = lo + width < count ? lo + width : count;
      int64_t hi = lo + 2 * width < count ? lo + 2 * width : count;
      merge_runs(src_t, src_v, lo, mid, hi, dst_t, dst_v);
    }
    int64_t *tt = src_t;
    src_t = dst_t;
    dst_t = tt;
    double *tv = src_v;
    src_v = dst_v;
    dst_v = tv;
  }
  if (src_t != ts) {
    memcpy(ts, src_t, (size_t)count * sizeof(int64_t));
    memcpy(values, src_v, (size_t)count * sizeof(double));
  }
}

void series_sort(series *s) {
  if (!s || !s->ts || !s->values) return;
  series_sort_arrays(s->ts, s->values, s->count);
}
