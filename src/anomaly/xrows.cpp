// forecast_rows(doc) and anomaly_rows(doc): two table shapes over one filter and one column
// callback (the shape's datum says which document kind), expanding a result document into rows.
// The document is read with the host's own JSON functions through statements prepared on the
// caller's connection; filter computes every row into an array the cursor owns, and the kit's
// callbacks only walk that array.
#include "anomaly/anomaly.h"
#include "core/vtab.h"

namespace {

enum XrKind { XR_FORECAST = 0, XR_ANOMALY = 1 };

// Column numbers of the two declared schemas.
constexpr int XF_STEP = 0, XF_TIMESTAMP = 1, XF_FORECAST = 2, XF_LOWER = 3, XF_UPPER = 4, XF_STATUS = 5, XF_DOC = 6;
constexpr int XA_TS = 0, XA_VALUE = 1, XA_FORECAST = 2, XA_LOWER = 3, XA_UPPER = 4, XA_IS_ANOMALY = 5, XA_PROB = 6,
              XA_STATUS = 7, XA_DOC = 8;

const char XR_FORECAST_SCHEMA[] = "CREATE TABLE x(step INTEGER, forecast_timestamp TEXT, forecast REAL, "
                                  "lower_bound REAL, upper_bound REAL, status TEXT, doc HIDDEN)";
const char XR_ANOMALY_SCHEMA[] = "CREATE TABLE x(ts TEXT, value REAL, forecast REAL, lower_bound REAL, "
                                 "upper_bound REAL, is_anomaly INTEGER, anomaly_probability REAL, status TEXT, "
                                 "doc HIDDEN)";

const char XR_HEAD_SQL[] = "SELECT json_type(?1), json_type(?1,'$.rows'), json_extract(?1,'$.status')";
const char XR_ANOMALY_ROWS_SQL[] =
    "SELECT json_extract(j.value,'$.ts'), json_extract(j.value,'$.value'), json_extract(j.value,'$.forecast'), "
    "json_extract(j.value,'$.lower_bound'), json_extract(j.value,'$.upper_bound'), "
    "json_extract(j.value,'$.is_anomaly'), json_extract(j.value,'$.anomaly_probability') "
    "FROM json_each(?1,'$.rows') j ORDER BY j.key";
const char XR_FORECAST_ROWS_SQL[] =
    "SELECT json_extract(j.value,'$.step'), json_extract(j.value,'$.forecast_timestamp'), "
    "json_extract(j.value,'$.forecast'), json_extract(j.value,'$.lower_bound'), "
    "json_extract(j.value,'$.upper_bound') FROM json_each(?1,'$.rows') j ORDER BY j.key";

constexpr int XR_MAX_REALS = 5;
constexpr int64_t XR_FIRST_CAPACITY = 32;

// One expanded row. Real slots follow the document's field order: forecast, lower, upper for a
// forecast document; value, forecast, lower, upper, probability for an anomaly document.
struct XrRow {
  char *text;                 // owned: forecast_timestamp or ts, null when absent or not a string
  int64_t integer;            // step or is_anomaly
  int has_integer;            // integer holds a value
  double reals[XR_MAX_REALS]; // real fields
  int has_real[XR_MAX_REALS]; // reals[i] holds a value
};

struct XrCursor {
  VtabCursor kit;   // kit's part: count is the rows in use, position the current row
  XrRow *rows;      // owned row array, each row's text owned too
  int64_t capacity; // rows allocated
  char *status;     // owned copy of the document's status
};

int xr_kind(const XrCursor *cur) { return (int)cur->kit.shape->aux; }

void xr_clear(VtabCursor *base) {
  XrCursor *cur = (XrCursor *)base;
  for (int64_t i = 0; i < cur->kit.count; i++)
    sqlite3_free(cur->rows[i].text);
  sqlite3_free(cur->rows);
  sqlite3_free(cur->status);
  cur->rows = nullptr;
  cur->status = nullptr;
  cur->kit.count = cur->capacity = cur->kit.position = 0;
}

// Appends a row with every field absent; returns it, or null when the array cannot grow.
XrRow *xr_append(XrCursor *cur) {
  if (!host_grow(&cur->rows, &cur->capacity, cur->kit.count + 1, XR_FIRST_CAPACITY, INT64_MAX)) return nullptr;
  XrRow *row = &cur->rows[cur->kit.count++];
  memset(row, 0, sizeof *row);
  return row;
}

// Copies a TEXT column into an owned text; *out stays null for other types. Returns false on
// out-of-memory.
bool xr_copy_text(sqlite3_stmt *st, int col, char **out) {
  *out = nullptr;
  if (sqlite3_column_type(st, col) != SQLITE_TEXT) return true;
  const char *text = (const char *)sqlite3_column_text(st, col);
  if (!text) return false;
  int n = sqlite3_column_bytes(st, col);
  char *copy = (char *)sqlite3_malloc64((sqlite3_uint64)n + 1);
  if (!copy) return false;
  memcpy(copy, text, (size_t)n);
  copy[n] = 0;
  *out = copy;
  return true;
}

int xr_error(XrCursor *cur, const char *detail) {
  return vtab_fail(&cur->kit, sqlite3_mprintf("%s: %s", VORNEL_ERR_SCHEMA, detail));
}

// Reads the document's head: it must be an object whose rows member is an array and whose
// status member is a string. Copies the status into the cursor.
int xr_read_head(XrCursor *cur, sqlite3 *db, const char *doc, int doc_bytes) {
  StmtGuard st;
  int rc = sqlite3_prepare_v2(db, XR_HEAD_SQL, -1, st.out(), nullptr);
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc != SQLITE_OK) return xr_error(cur, "could not parse document");
  sqlite3_bind_text(st, 1, doc, doc_bytes, SQLITE_STATIC);
  rc = sqlite3_step(st);
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc == SQLITE_ROW) {
    const char *type = (const char *)sqlite3_column_text(st, 0);
    const char *rows_type = (const char *)sqlite3_column_text(st, 1);
    if (type && rows_type && strcmp(type, "object") == 0 && strcmp(rows_type, "array") == 0 &&
        sqlite3_column_type(st, 2) == SQLITE_TEXT) {
      if (!xr_copy_text(st, 2, &cur->status)) return SQLITE_NOMEM;
      return SQLITE_OK;
    }
  }
  return xr_error(cur, "not an aggregate-form result document");
}

// Appends one record per element of the rows array; a document whose array is empty yields a
// single record with every field absent, so its status still shows.
int xr_read_rows(XrCursor *cur, sqlite3 *db, int kind, const char *doc, int doc_bytes) {
  StmtGuard st;
  int rc =
      sqlite3_prepare_v2(db, kind == XR_ANOMALY ? XR_ANOMALY_ROWS_SQL : XR_FORECAST_ROWS_SQL, -1, st.out(), nullptr);
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc != SQLITE_OK) return xr_error(cur, "could not parse document rows");
  sqlite3_bind_text(st, 1, doc, doc_bytes, SQLITE_STATIC);
  // Result columns of the two row statements: the text field, the integer field, and the reals
  // in slot order.
  const int text_col = kind == XR_ANOMALY ? 0 : 1;
  const int int_col = kind == XR_ANOMALY ? 5 : 0;
  static const int ANOMALY_REALS[XR_MAX_REALS] = {1, 2, 3, 4, 6};
  static const int FORECAST_REALS[XR_MAX_REALS] = {2, 3, 4, -1, -1};
  const int *real_cols = kind == XR_ANOMALY ? ANOMALY_REALS : FORECAST_REALS;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    XrRow *row = xr_append(cur);
    if (!row) return SQLITE_NOMEM;
    if (!xr_copy_text(st, text_col, &row->text)) return SQLITE_NOMEM;
    if (sqlite3_column_type(st, int_col) != SQLITE_NULL) {
      row->integer = sqlite3_column_int64(st, int_col);
      row->has_integer = 1;
    }
    for (int k = 0; k < XR_MAX_REALS; k++) {
      int col = real_cols[k];
      if (col < 0 || sqlite3_column_type(st, col) == SQLITE_NULL) continue;
      row->reals[k] = sqlite3_column_double(st, col);
      row->has_real[k] = 1;
    }
  }
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc != SQLITE_DONE) return xr_error(cur, "document rows are not valid JSON");
  if (cur->kit.count == 0 && !xr_append(cur)) return SQLITE_NOMEM;
  return SQLITE_OK;
}

int xr_filter(VtabCursor *base, sqlite3_value *const *args) {
  XrCursor *cur = (XrCursor *)base;
  if (sqlite3_value_type(args[0]) == SQLITE_NULL) return SQLITE_OK;
  const char *doc = (const char *)sqlite3_value_text(args[0]);
  if (!doc) return xr_error(cur, "document must be text");
  int doc_bytes = sqlite3_value_bytes(args[0]);
  int rc = xr_read_head(cur, cur->kit.db, doc, doc_bytes);
  if (rc == SQLITE_OK) rc = xr_read_rows(cur, cur->kit.db, xr_kind(cur), doc, doc_bytes);
  return rc;
}

// Real slot of each column of the two schemas, -1 for a column that is not a real field.
constexpr int ANOMALY_REAL_SLOT[] = {-1, 0, 1, 2, 3, -1, 4, -1, -1};
constexpr int FORECAST_REAL_SLOT[] = {-1, -1, 0, 1, 2, -1, -1};
static_assert(XA_PROB == 6 && XA_DOC == 8 && XF_UPPER == 4 && XF_DOC == 6, "slot tables follow the schemas");

void xr_column(VtabCursor *base, sqlite3_context *ctx, int col) {
  XrCursor *cur = (XrCursor *)base;
  int kind = xr_kind(cur);
  const XrRow &row = cur->rows[cur->kit.position];
  int status_col = kind == XR_ANOMALY ? XA_STATUS : XF_STATUS;
  int text_col = kind == XR_ANOMALY ? XA_TS : XF_TIMESTAMP;
  int int_col = kind == XR_ANOMALY ? XA_IS_ANOMALY : XF_STEP;
  if (col == status_col) {
    if (cur->status) sqlite3_result_text(ctx, cur->status, -1, SQLITE_TRANSIENT);
  } else if (col == text_col) {
    if (row.text) sqlite3_result_text(ctx, row.text, -1, SQLITE_TRANSIENT);
  } else if (col == int_col) {
    if (row.has_integer) sqlite3_result_int64(ctx, row.integer);
  } else {
    const int slot = kind == XR_ANOMALY ? ANOMALY_REAL_SLOT[col] : FORECAST_REAL_SLOT[col];
    if (slot >= 0 && row.has_real[slot]) sqlite3_result_double(ctx, row.reals[slot]);
  }
}

} // namespace

// One module, two shapes: the client datum says which document kind the table expands.
extern const VtabShape FORECAST_ROWS_SHAPE = {XR_FORECAST_SCHEMA,
                                              XF_DOC,
                                              1,
                                              1,
                                              "VORNEL_ERR_SCHEMA: forecast_rows(doc) requires a document argument",
                                              1000.0,
                                              VTAB_INNOCUOUS,
                                              0,
                                              sizeof(XrCursor),
                                              XR_FORECAST,
                                              xr_filter,
                                              xr_column,
                                              xr_clear};
extern const VtabShape ANOMALY_ROWS_SHAPE = {XR_ANOMALY_SCHEMA,
                                             XA_DOC,
                                             1,
                                             1,
                                             "VORNEL_ERR_SCHEMA: anomaly_rows(doc) requires a document argument",
                                             1000.0,
                                             VTAB_INNOCUOUS,
                                             0,
                                             sizeof(XrCursor),
                                             XR_ANOMALY,
                                             xr_filter,
                                             xr_column,
                                             xr_clear};
