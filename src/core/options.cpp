// Options documents and JSON string arrays, walked with the host's own JSON functions, and
// the table-driven reader that stores each member by its declared field.
#include "core/api.h"

int vornel0_options_parse(sqlite3 *db, const char *doc, const char *const *keys, vornel0_option_cb cb, void *record,
                          char **out_msg) {
  *out_msg = nullptr;
  if (!doc || !*doc) return SQLITE_OK;
  StmtGuard st;
  int rc = sqlite3_prepare_v2(db, "SELECT key, value FROM json_each(?) WHERE json_type(?) = 'object'", -1, st.out(),
                              nullptr);
  if (rc != SQLITE_OK) {
    if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
    return vornel0_fail(
        out_msg, sqlite3_mprintf("%s: options parsing unavailable (%s)", VORNEL_ERR_OPTIONS, sqlite3_errmsg(db)));
  }
  sqlite3_bind_text(st, 1, doc, -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 2, doc, -1, SQLITE_STATIC);
  bool seen = false;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    const char *key = (const char *)sqlite3_column_text(st, 0);
    if (!key && sqlite3_errcode(db) == SQLITE_NOMEM) return SQLITE_NOMEM;
    if (!key) key = "";
    const char *const *k = keys;
    while (*k && strcmp(*k, key) != 0)
      k++;
    if (!*k) return vornel0_fail(out_msg, sqlite3_mprintf("%s: unknown option '%s'", VORNEL_ERR_OPTIONS, key));
    seen = true;
    sqlite3_value *v = sqlite3_column_value(st, 1);
    if (sqlite3_value_type(v) == SQLITE_NULL) continue;
    if (cb(record, key, v, out_msg) != 0) return *out_msg ? SQLITE_ERROR : SQLITE_NOMEM;
  }
  if (rc != SQLITE_DONE) {
    // Out of memory is not malformed JSON.
    if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
    return vornel0_fail(out_msg, sqlite3_mprintf("%s: options is not valid JSON", VORNEL_ERR_OPTIONS));
  }
  if (seen) return SQLITE_OK;
  rc = sqlite3_prepare_v2(db, "SELECT json_type(?)", -1, st.out(), nullptr);
  if (rc != SQLITE_OK) return rc == SQLITE_NOMEM ? SQLITE_NOMEM : SQLITE_ERROR;
  sqlite3_bind_text(st, 1, doc, -1, SQLITE_STATIC);
  rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) {
    const char *type = (const char *)sqlite3_column_text(st, 0);
    if (type && strcmp(type, "object") == 0) return SQLITE_OK;
  } else if (rc == SQLITE_NOMEM) {
    return SQLITE_NOMEM;
  }
  return vornel0_fail(out_msg, sqlite3_mprintf("%s: options must be a JSON object", VORNEL_ERR_OPTIONS));
}

void str_array_free(char **items, int count) {
  if (!items) return;
  for (int i = 0; i < count; i++)
    sqlite3_free(items[i]);
  sqlite3_free(items);
}

namespace {

// Reads a JSON array into host texts; entries that hold a NUL character are refused, naming
// what the array is. The contract is parse_str_array's, except that nothing is handed out on
// failure.
int read_texts(sqlite3 *db, const char *json, const char *what, HostTexts *items, char **out_msg) {
  StmtGuard st;
  int rc = sqlite3_prepare_v2(db, "SELECT value FROM json_each(?) WHERE json_type(?) = 'array'", -1, st.out(), nullptr);
  if (rc != SQLITE_OK) {
    if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
    return vornel0_fail(out_msg, sqlite3_mprintf("%s: cannot parse option array", VORNEL_ERR_OPTIONS));
  }
  sqlite3_bind_text(st, 1, json, -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 2, json, -1, SQLITE_STATIC);
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    const char *text = (const char *)sqlite3_column_text(st, 0);
    if (!text && sqlite3_column_type(st, 0) != SQLITE_NULL) return SQLITE_NOMEM;
    if (text && strlen(text) != (size_t)sqlite3_column_bytes(st, 0))
      return vornel0_fail(out_msg,
                          sqlite3_mprintf("%s: %s entries must not contain NUL characters", VORNEL_ERR_OPTIONS, what));
    if (!items->push_copy(text, 8)) return SQLITE_NOMEM;
  }
  // A text that is not an array stops the walk at once and yields an empty array; running out
  // of memory while walking must not pass for a shorter array.
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc != SQLITE_DONE && items->len > 0)
    return vornel0_fail(out_msg, sqlite3_mprintf("%s: cannot parse option array", VORNEL_ERR_OPTIONS));
  return SQLITE_OK;
}

int read_str_array(sqlite3 *db, const char *json, const char *what, char ***out_items, int *out_count, char **out_msg) {
  *out_items = nullptr;
  *out_count = 0;
  *out_msg = nullptr;
  HostTexts items;
  int rc = read_texts(db, json, what, &items, out_msg);
  if (rc != SQLITE_OK) return rc;
  *out_count = (int)items.len;
  *out_items = items.release();
  return SQLITE_OK;
}

} // namespace

int options_read_list(sqlite3 *db, const char *json, const char *what, char ***out_items, int *out_count,
                      char **out_msg) {
  return read_str_array(db, json, what, out_items, out_count, out_msg);
}

int parse_str_array(sqlite3 *db, const char *json, char ***out_items, int *out_count, char **out_msg) {
  return read_str_array(db, json, "option array", out_items, out_count, out_msg);
}
