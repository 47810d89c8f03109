// Gap filling of a sorted series: one pass counts duplicates and the grid's missing steps, so
// the common case (nothing to do) costs a grid check and a scan; otherwise the series is
// rebuilt once into new arrays of the final length.
#include "ts/ts.h"

int ts_fill_rule_from_text(const char *text) {
  if (!text) return TS_FILL_NONE;
  if (strcmp(text, "linear") == 0) return TS_FILL_LINEAR;
  if (strcmp(text, "previous") == 0) return TS_FILL_PREVIOUS;
  if (strcmp(text, "zero") == 0) return TS_FILL_ZERO;
  return TS_FILL_NONE;
}

namespace {

// The value of the j-th of `gaps` points inserted between a and b.
double filled_value(int rule, double a, double b, int64_t j, int64_t gaps) {
  switch (rule) {
  case TS_FILL_LINEAR:
    return a + (b - a) * ((double)j / (double)(gaps + 1));
  case TS_FILL_PREVIOUS:
    return a;
  default:
    return 0.0;
  }
}

} // namespace

int ts_fill_arrays(int64_t **ts, double **values, int32_t *count, int32_t *capacity, int rule, int64_t max_points,
                   int64_t *out_needed) {
  const int64_t n = *count;
  const int64_t *t = *ts;
  const double *v = *values;
  *out_needed = n;
  if (rule == TS_FILL_NONE || n < 2) return SQLITE_OK;
  int64_t distinct = 1;
  for (int64_t i = 1; i < n; i++)
    distinct += t[i] > t[i - 1];
  ts_grid grid;
  ts_series_grid(t, n, &grid);
  const int64_t missing = ts_grid_missing(&grid, t, n, max_points);
  *out_needed = distinct + missing;
  if (distinct == n && missing == 0) return SQLITE_OK;
  if (*out_needed > max_points) return SQLITE_TOOBIG;

  const int64_t m = *out_needed;
  HostPtr<int64_t> out_t(host_calloc<int64_t>(m));
  HostPtr<double> out_v(host_calloc<double>(m));
  if (!out_t || !out_v) return SQLITE_NOMEM;
  int64_t w = 0;
  for (int64_t i = 0; i < n;) {
    // The mean of the rows sharing this time, added in arrival order.
    int64_t j = i + 1;
    double sum = v[i];
    while (j < n && t[j] == t[i])
      sum += v[j++];
    const double mean = j - i == 1 ? v[i] : sum / (double)(j - i);
    if (w > 0) {
      const int64_t prev_t = out_t[w - 1];
      const double prev_v = out_v[w - 1];
      const int64_t gaps = ts_grid_between(&grid, prev_t, t[i]);
      for (int64_t k = 1; k <= gaps; k++) {
        out_t[w] = ts_grid_advance(&grid, prev_t, k);
        out_v[w++] = filled_value(rule, prev_v, mean, k, gaps);
      }
    }
    out_t[w] = t[i];
    out_v[w++] = mean;
    i = j;
  }
  sqlite3_free(*ts);
  sqlite3_free(*values);
  *ts = out_t.release();
  *values = out_v.release();
  *count = (int32_t)m;
  *capacity = (int32_t)m;
  return SQLITE_OK;
}

bool series_fill_or_report(sqlite3_context *ctx, series *s, int rule) {
  int64_t needed = 0;
  int rc = ts_fill_arrays(&s->ts, &s->values, &s->count, &s->capacity, rule, SERIES_MAX_ROWS, &needed);
  if (rc == SQLITE_OK) return true;
  if (rc == SQLITE_NOMEM) {
    sqlite3_result_error_nomem(ctx);
    return false;
  }
  vornel0_report(ctx, sqlite3_mprintf("%s: fill would make %lld points (max %d); check the time column, or sum the "
                                      "rows to a coarser step first",
                                      VORNEL_ERR_RESOURCE, (long long)needed, SERIES_MAX_ROWS));
  return false;
}
