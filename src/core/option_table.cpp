// The table-driven options reader: defaults, type checks, storage, range checks and their
// messages for every field a function declares (core/options.h).
#include "core/api.h"

namespace {

// One walk: the table, the caller's record and the connection the list reader runs on.
struct Walk {
  const OptionTable *table;
  void *record;
  sqlite3 *db;
};

template <class T> T *slot(const OptionField *f, void *record) { return (T *)((char *)record + f->offset); }

int wrong_type(const OptionField *f, char **out_msg) {
  *out_msg = sqlite3_mprintf("%s: wrong type for option '%s'", VORNEL_ERR_OPTIONS, f->key);
  return SQLITE_ERROR;
}

int has_nul(const OptionField *f, char **out_msg) {
  *out_msg = sqlite3_mprintf("%s: option '%s' must not contain NUL characters", VORNEL_ERR_OPTIONS, f->key);
  return SQLITE_ERROR;
}

// An integer option stored in 32 bits: values beyond the range are clamped, so a huge limit
// stays huge instead of wrapping into a small or negative one.
int32_t clamp32(int64_t v) { return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : (int32_t)v; }

void free_list(const OptionField *f, void *record) {
  char **items = slot<char *>(f, record);
  int *count = (int *)((char *)record + f->count_offset);
  for (int i = 0; i < *count; i++) {
    sqlite3_free(items[i]);
    items[i] = nullptr;
  }
  *count = 0;
}

// "'a' or 'b'", "'a', 'b' or 'c'": the choices as the message lists them.
int wrong_choice(const OptionField *f, char **out_msg) {
  sqlite3_str *out = sqlite3_str_new(nullptr);
  sqlite3_str_appendf(out, "%s: %s must be ", VORNEL_ERR_OPTIONS, f->key);
  for (int i = 0; f->choices[i]; i++) {
    const char *sep = i == 0 ? "" : f->choices[i + 1] ? ", " : " or ";
    sqlite3_str_appendf(out, "%s'%s'", sep, f->choices[i]);
  }
  *out_msg = sqlite3_str_finish(out);
  return SQLITE_ERROR;
}

// A list is a JSON array of names read by the host's JSON functions, or one name taken whole.
int store_list(const OptionField *f, void *record, sqlite3 *db, sqlite3_value *value, const char *text,
               char **out_msg) {
  free_list(f, record);
  char **items = slot<char *>(f, record);
  int *count = (int *)((char *)record + f->count_offset);
  if (text[0] != '[') {
    if (strlen(text) != (size_t)sqlite3_value_bytes(value)) return has_nul(f, out_msg);
    items[0] = sqlite3_mprintf("%s", text);
    if (!items[0]) return SQLITE_NOMEM;
    *count = 1;
    return 0;
  }
  char **read = nullptr;
  int n = 0;
  int rc = options_read_list(db, text, f->key, &read, &n, out_msg);
  if (rc == SQLITE_OK && n == 0) {
    *out_msg = sqlite3_mprintf("%s: %s must not be empty", VORNEL_ERR_OPTIONS, f->key);
    rc = SQLITE_ERROR;
  } else if (rc == SQLITE_OK && n > OPTION_MAX_LIST) {
    *out_msg = sqlite3_mprintf("%s: too many %s (max %d)", VORNEL_ERR_OPTIONS, f->key, OPTION_MAX_LIST);
    rc = SQLITE_ERROR;
  }
  if (rc != SQLITE_OK) {
    str_array_free(read, n);
    return rc;
  }
  for (int i = 0; i < n; i++)
    items[i] = read[i];
  *count = n;
  sqlite3_free(read);
  return 0;
}

int store(const OptionField *f, void *record, sqlite3 *db, sqlite3_value *value, char **out_msg) {
  *out_msg = nullptr;
  if (f->offset == OPTION_READ_BY_CALLER) return 0;
  const int type = sqlite3_value_type(value);
  const char *text = type == SQLITE_TEXT ? (const char *)sqlite3_value_text(value) : nullptr;
  if (type == SQLITE_TEXT && !text) return SQLITE_NOMEM;
  switch (f->type) {
  case OPT_TEXT:
  case OPT_STRING: {
    // json_each hands a JSON string over as TEXT; arrays and objects arrive as TEXT too but
    // carry the JSON subtype.
    if (!text || (f->type == OPT_STRING && sqlite3_value_subtype(value) == 'J')) return wrong_type(f, out_msg);
    return option_store_text(f, record, value, out_msg);
  }
  case OPT_INT64:
    if (type != SQLITE_INTEGER) return wrong_type(f, out_msg);
    *slot<int64_t>(f, record) = sqlite3_value_int64(value);
    return option_check_range(f, (double)*slot<int64_t>(f, record), out_msg);
  case OPT_INT: {
    if (type != SQLITE_INTEGER) return wrong_type(f, out_msg);
    const int64_t v = sqlite3_value_int64(value);
    *slot<int32_t>(f, record) = clamp32(v);
    return option_check_range(f, (double)v, out_msg);
  }
  case OPT_BOOL:
    if (type != SQLITE_INTEGER) return wrong_type(f, out_msg);
    *slot<int32_t>(f, record) = sqlite3_value_int64(value) != 0;
    return 0;
  case OPT_NUMBER: {
    if (type != SQLITE_INTEGER && type != SQLITE_FLOAT) return wrong_type(f, out_msg);
    const double v = sqlite3_value_double(value);
    *slot<double>(f, record) = v;
    return option_check_range(f, v, out_msg);
  }
  case OPT_CHOICE:
    if (!text) return wrong_type(f, out_msg);
    for (int i = 0; f->choices[i]; i++) {
      if (strcmp(text, f->choices[i]) == 0) {
        *slot<int32_t>(f, record) = (int32_t)f->min + i;
        return 0;
      }
    }
    return wrong_choice(f, out_msg);
  case OPT_LIST:
    if (!text) return wrong_type(f, out_msg);
    return store_list(f, record, db, value, text, out_msg);
  }
  return wrong_type(f, out_msg);
}

int table_cb(void *walk, const char *key, sqlite3_value *value, char **out_msg) {
  const Walk *w = (const Walk *)walk;
  const OptionField *f = option_field(w->table, key);
  if (!f) { // the walk only hands over the table's keys
    *out_msg = sqlite3_mprintf("%s: unknown option '%s'", VORNEL_ERR_OPTIONS, key);
    return SQLITE_ERROR;
  }
  return store(f, w->record, w->db, value, out_msg);
}

} // namespace

const OptionField *option_field(const OptionTable *table, const char *key) {
  for (int i = 0; i < table->count; i++)
    if (strcmp(table->fields[i].key, key) == 0) return &table->fields[i];
  return nullptr;
}

int option_store_text(const OptionField *f, void *record, sqlite3_value *value, char **out_msg) {
  *out_msg = nullptr;
  const char *text = (const char *)sqlite3_value_text(value);
  if (!text) return SQLITE_NOMEM;
  if (strlen(text) != (size_t)sqlite3_value_bytes(value)) return has_nul(f, out_msg);
  char *copy = sqlite3_mprintf("%s", text);
  if (!copy) return SQLITE_NOMEM;
  sqlite3_free(*slot<char *>(f, record));
  *slot<char *>(f, record) = copy;
  return 0;
}

int option_check_range(const OptionField *f, double v, char **out_msg) {
  *out_msg = nullptr;
  if (!f->range) return 0;
  const bool above = f->min_open ? v > f->min : v >= f->min;
  const bool below = f->max_open ? v < f->max : v <= f->max;
  if (above && below) return 0;
  *out_msg = sqlite3_mprintf("%s: %s must be %s", f->code ? f->code : VORNEL_ERR_OPTIONS, f->key, f->range);
  return SQLITE_ERROR;
}

void options_defaults(const OptionTable *table, void *record) {
  for (int i = 0; i < table->count; i++) {
    const OptionField *f = &table->fields[i];
    if (f->offset == OPTION_READ_BY_CALLER) continue;
    if (f->type == OPT_INT || f->type == OPT_CHOICE || f->type == OPT_BOOL)
      *slot<int32_t>(f, record) = (int32_t)f->fallback;
    if (f->type == OPT_INT64) *slot<int64_t>(f, record) = (int64_t)f->fallback;
    if (f->type == OPT_NUMBER) *slot<double>(f, record) = f->fallback;
  }
}

int options_read(sqlite3 *db, const char *doc, const OptionTable *table, void *record, char **out_msg) {
  options_defaults(table, record);
  Walk walk = {table, record, db};
  int rc = vornel0_options_parse(db, doc, table->keys, table_cb, &walk, out_msg);
  if (rc == SQLITE_OK) return SQLITE_OK;
  return *out_msg ? SQLITE_ERROR : SQLITE_NOMEM;
}

void options_free(const OptionTable *table, void *record) {
  if (!record) return;
  for (int i = 0; i < table->count; i++) {
    const OptionField *f = &table->fields[i];
    if (f->offset == OPTION_READ_BY_CALLER) continue;
    if (f->type == OPT_TEXT || f->type == OPT_STRING) {
      sqlite3_free(*slot<char *>(f, record));
      *slot<char *>(f, record) = nullptr;
    } else if (f->type == OPT_LIST) {
      free_list(f, record);
    }
  }
}
