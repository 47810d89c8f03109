// The forecast options callback and key tables. One record and one callback serve forecast,
// detect_anomalies and backtest; each user's key table decides which keys reach it.
#include "ts/options.h"
#include "ts/fill.h"
#include <math.h>

const char *const AGG_FORECAST_OPTION_KEYS[] = {
    "confidence_level", "context_limit", "model",   "interval_method", "folds", "gap",
    "candidates",       "fill",          "explain", "transform",       nullptr};
const char *const AGG_ANOMALY_OPTION_KEYS[] = {
    "anomaly_prob_threshold", "context_limit", "model", "fill", "transform", nullptr};
const char *const BACKTEST_OPTION_KEYS[] = {"time_col",      "value_col", "group_cols", "confidence_level",
                                            "context_limit", "folds",     "gap",        "interval_method",
                                            "model",         "fill",      "transform",  nullptr};

namespace {

void free_list(char **items, int *count) {
  for (int i = 0; i < *count; i++) {
    sqlite3_free(items[i]);
    items[i] = nullptr;
  }
  *count = 0;
}

// Replaces *slot with a copy of text; returns false on out of memory.
bool copy_text(char **slot, const char *text) {
  char *copy = sqlite3_mprintf("%s", text);
  if (!copy) return false;
  sqlite3_free(*slot);
  *slot = copy;
  return true;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Reads a list option: a text not beginning with '[' is one entry; otherwise a small reader
// takes every run of characters between quotes, commas and the closing bracket. Returns 0,
// or non-zero with *out_msg set (null for out of memory).
int read_list(const char *text, char **items, int *count, const char *what, char **out_msg) {
  free_list(items, count);
  if (text[0] != '[') {
    items[0] = sqlite3_mprintf("%s", text);
    if (!items[0]) return SQLITE_NOMEM;
    *count = 1;
    return 0;
  }
  const char *p = text + 1;
  for (;;) {
    while (is_blank(*p) || *p == '"' || *p == ',')
      p++;
    if (*p == ']' || *p == 0) break;
    const char *start = p;
    while (*p && *p != '"' && *p != ',' && *p != ']')
      p++;
    if (*count == FORECAST_MAX_LIST) {
      *out_msg = sqlite3_mprintf("%s: too many %s (max %d)", VORNEL_ERR_OPTIONS, what, FORECAST_MAX_LIST);
      return SQLITE_ERROR;
    }
    char *entry = sqlite3_mprintf("%.*s", (int)(p - start), start);
    if (!entry) return SQLITE_NOMEM;
    items[(*count)++] = entry;
  }
  if (*count == 0) {
    *out_msg = sqlite3_mprintf("%s: %s must not be empty", VORNEL_ERR_OPTIONS, what);
    return SQLITE_ERROR;
  }
  return 0;
}

bool is_number(int type) { return type == SQLITE_INTEGER || type == SQLITE_FLOAT; }

// An integer option stored in 32 bits: values beyond the range are clamped, so a huge limit
// stays huge instead of wrapping into a small or negative one.
int32_t clamp32(int64_t v) { return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : (int32_t)v; }

} // namespace

void forecast_opts_free(forecast_opts *o) {
  if (!o) return;
  sqlite3_free(o->time_col);
  sqlite3_free(o->value_col);
  sqlite3_free(o->model);
  o->time_col = o->value_col = o->model = nullptr;
  free_list(o->group_cols, &o->group_count);
  free_list(o->candidates, &o->candidate_count);
}

int forecast_opt_cb(void *record, const char *key, sqlite3_value *value, char **out_msg) {
  forecast_opts *o = (forecast_opts *)record;
  *out_msg = nullptr;
  const int type = sqlite3_value_type(value);
  const char *text = type == SQLITE_TEXT ? (const char *)sqlite3_value_text(value) : nullptr;
  if (type == SQLITE_TEXT && !text) return SQLITE_NOMEM;
  char **slot = nullptr;
  if (strcmp(key, "time_col") == 0)
    slot = &o->time_col;
  else if (strcmp(key, "value_col") == 0)
    slot = &o->value_col;
  else if (strcmp(key, "model") == 0)
    slot = &o->model;
  if (slot) {
    if (!text) goto wrong_type;
    return copy_text(slot, text) ? 0 : SQLITE_NOMEM;
  }
  if (strcmp(key, "confidence_level") == 0 || strcmp(key, "anomaly_prob_threshold") == 0) {
    if (!is_number(type)) goto wrong_type;
    o->level = sqlite3_value_double(value);
    if (o->level > 0 && o->level < 1) return 0;
    const char *code = key[0] == 'a' ? VORNEL_ERR_THRESHOLD : VORNEL_ERR_OPTIONS;
    *out_msg = sqlite3_mprintf("%s: %s must be in (0,1)", code, key);
    return SQLITE_ERROR;
  }
  if (strcmp(key, "context_limit") == 0 || strcmp(key, "folds") == 0 || strcmp(key, "gap") == 0) {
    if (type != SQLITE_INTEGER) goto wrong_type;
    int64_t v = sqlite3_value_int64(value);
    if (key[0] == 'c') {
      o->context_limit = clamp32(v);
      if (v >= 1) return 0;
      *out_msg = sqlite3_mprintf("%s: context_limit must be >= 1", VORNEL_ERR_OPTIONS);
    } else if (key[0] == 'f') {
      o->folds = clamp32(v);
      if (v >= 1 && v <= FORECAST_MAX_FOLDS) return 0;
      *out_msg = sqlite3_mprintf("%s: folds must be in 1..%d", VORNEL_ERR_OPTIONS, FORECAST_MAX_FOLDS);
    } else {
      o->gap = clamp32(v);
      if (v >= 0) return 0;
      *out_msg = sqlite3_mprintf("%s: gap must be >= 0", VORNEL_ERR_OPTIONS);
    }
    return SQLITE_ERROR;
  }
  if (strcmp(key, "interval_method") == 0) {
    if (!text) goto wrong_type;
    if (strcmp(text, "residual") == 0)
      o->interval_method = INTERVAL_RESIDUAL;
    else if (strcmp(text, "conformal") == 0)
      o->interval_method = INTERVAL_CONFORMAL;
    else {
      *out_msg = sqlite3_mprintf("%s: interval_method must be 'residual' or 'conformal'", VORNEL_ERR_OPTIONS);
      return SQLITE_ERROR;
    }
    return 0;
  }
  if (strcmp(key, "fill") == 0) {
    if (!text) goto wrong_type;
    o->fill = ts_fill_rule_from_text(text);
    if (o->fill != TS_FILL_NONE) return 0;
    *out_msg = sqlite3_mprintf("%s: fill must be 'linear', 'previous' or 'zero'", VORNEL_ERR_OPTIONS);
    return SQLITE_ERROR;
  }
  if (strcmp(key, "explain") == 0) {
    // JSON true and false arrive as the integers 1 and 0.
    if (type != SQLITE_INTEGER) goto wrong_type;
    o->explain = sqlite3_value_int64(value) != 0;
    return 0;
  }
  if (strcmp(key, "transform") == 0) {
    if (!text) goto wrong_type;
    if (strcmp(text, "none") == 0)
      o->transform = TRANSFORM_NONE;
    else if (strcmp(text, "log") == 0)
      o->transform = TRANSFORM_LOG;
    else {
      *out_msg = sqlite3_mprintf("%s: transform must be 'none' or 'log'", VORNEL_ERR_OPTIONS);
      return SQLITE_ERROR;
    }
    return 0;
  }
  if (strcmp(key, "group_cols") == 0) {
    if (!text) goto wrong_type;
    return read_list(text, o->group_cols, &o->group_count, "group_cols", out_msg);
  }
  if (strcmp(key, "candidates") == 0) {
    if (!text) goto wrong_type;
    return read_list(text, o->candidates, &o->candidate_count, "candidates", out_msg);
  }
wrong_type:
  *out_msg = sqlite3_mprintf("%s: wrong type for option '%s'", VORNEL_ERR_OPTIONS, key);
  return SQLITE_ERROR;
}

bool forecast_log_values(const double *y, int64_t n, double *out) {
  for (int64_t t = 0; t < n; t++)
    if (!(y[t] > 0)) return false;
  for (int64_t t = 0; t < n; t++)
    out[t] = log(y[t]);
  return true;
}

char *forecast_log_refusal() {
  return sqlite3_mprintf("%s: transform 'log' needs every value > 0; this series has a value <= 0 (drop the "
                         "transform option or shift the values)",
                         VORNEL_ERR_OPTIONS);
}
