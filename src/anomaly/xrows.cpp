// forecast_rows(doc) and anomaly_rows(doc): one eponymous module, registered twice (client data
// 0 for forecast documents, 1 for anomaly documents), that expands a result document into rows.
// The document is read with the host's own JSON functions through statements prepared on the
// caller's connection; filter computes every row into an array the cursor owns, and the other
// callbacks only walk that array.
#include "anomaly/anomaly.h"

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

struct XrTable {
  sqlite3_vtab base; // host's base record; must come first
  sqlite3 *db;       // the caller's connection, for the JSON statements
  int kind;          // XR_FORECAST or XR_ANOMALY
};

struct XrCursor {
  sqlite3_vtab_cursor base; // host's base record; must come first
  XrRow *rows;              // owned row array, each row's text owned too
  int64_t count;            // rows in use
  int64_t capacity;         // rows allocated
  int64_t position;         // current row, also the rowid
  char *status;             // owned copy of the document's status
};

const char *xr_name(int kind) { return kind == XR_ANOMALY ? "anomaly_rows" : "forecast_rows"; }
int xr_doc_column(int kind) { return kind == XR_ANOMALY ? XA_DOC : XF_DOC; }

void xr_clear(XrCursor *cur) {
  for (int64_t i = 0; i < cur->count; i++)
    sqlite3_free(cur->rows[i].text);
  sqlite3_free(cur->rows);
  sqlite3_free(cur->status);
  cur->rows = nullptr;
  cur->status = nullptr;
  cur->count = cur->capacity = cur->position = 0;
}

// Appends a row with every field absent; returns it, or null when the array cannot grow.
XrRow *xr_append(XrCursor *cur) {
  if (cur->count == cur->capacity) {
    int64_t want = cur->capacity ? cur->capacity * 2 : XR_FIRST_CAPACITY;
    XrRow *grown = (XrRow *)sqlite3_realloc64(cur->rows, (sqlite3_uint64)want * sizeof(XrRow));
    if (!grown) return nullptr;
    cur->rows = grown;
    cur->capacity = want;
  }
  XrRow *row = &cur->rows[cur->count++];
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
  return vtab_set_error(cur->base.pVtab, sqlite3_mprintf("%s: %s", VORNEL_ERR_SCHEMA, detail));
}

int xr_connect(sqlite3 *db, void *aux, int, const char *const *, sqlite3_vtab **out, char **) {
  int kind = (int)(intptr_t)aux == XR_ANOMALY ? XR_ANOMALY : XR_FORECAST;
  int rc = sqlite3_declare_vtab(db, kind == XR_ANOMALY ? XR_ANOMALY_SCHEMA : XR_FORECAST_SCHEMA);
  if (rc != SQLITE_OK) return rc;
  sqlite3_vtab_config(db, SQLITE_VTAB_INNOCUOUS); // reads only its document argument
  XrTable *tab = host_calloc<XrTable>(1);
  if (!tab) return SQLITE_NOMEM;
  tab->db = db;
  tab->kind = kind;
  *out = &tab->base;
  return SQLITE_OK;
}

int xr_disconnect(sqlite3_vtab *vtab) {
  sqlite3_free(vtab);
  return SQLITE_OK;
}

// The only argument is the hidden doc column: a usable equality constraint on it becomes
// argument 1 of filter. An unusable one asks the planner for another plan; none at all is the
// caller's mistake.
int xr_best_index(sqlite3_vtab *vtab, sqlite3_index_info *info) {
  XrTable *tab = (XrTable *)vtab;
  int doc = xr_doc_column(tab->kind);
  int usable = -1;
  bool unusable = false;
  for (int i = 0; i < info->nConstraint; i++) {
    const sqlite3_index_info::sqlite3_index_constraint &c = info->aConstraint[i];
    if (c.iColumn != doc || c.op != SQLITE_INDEX_CONSTRAINT_EQ) continue;
    if (!c.usable) {
      unusable = true;
    } else if (usable < 0) {
      usable = i;
    }
  }
  if (usable >= 0) {
    info->aConstraintUsage[usable].argvIndex = 1;
    info->aConstraintUsage[usable].omit = 1;
    info->estimatedCost = 1000.0;
    return SQLITE_OK;
  }
  if (unusable) return SQLITE_CONSTRAINT;
  return vtab_set_error(
      vtab, sqlite3_mprintf("%s: %s(doc) requires a document argument", VORNEL_ERR_SCHEMA, xr_name(tab->kind)));
}

int xr_open(sqlite3_vtab *, sqlite3_vtab_cursor **out) {
  XrCursor *cur = host_calloc<XrCursor>(1);
  if (!cur) return SQLITE_NOMEM;
  *out = &cur->base;
  return SQLITE_OK;
}

int xr_close(sqlite3_vtab_cursor *base) {
  XrCursor *cur = (XrCursor *)base;
  xr_clear(cur);
  sqlite3_free(cur);
  return SQLITE_OK;
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
  if (cur->count == 0 && !xr_append(cur)) return SQLITE_NOMEM;
  return SQLITE_OK;
}

int xr_filter(sqlite3_vtab_cursor *base, int, const char *, int argc, sqlite3_value **argv) {
  XrCursor *cur = (XrCursor *)base;
  XrTable *tab = (XrTable *)base->pVtab;
  xr_clear(cur);
  if (argc < 1 || sqlite3_value_type(argv[0]) == SQLITE_NULL) return SQLITE_OK;
  const char *doc = (const char *)sqlite3_value_text(argv[0]);
  if (!doc) return xr_error(cur, "document must be text");
  int doc_bytes = sqlite3_value_bytes(argv[0]);
  int rc = xr_read_head(cur, tab->db, doc, doc_bytes);
  if (rc == SQLITE_OK) rc = xr_read_rows(cur, tab->db, tab->kind, doc, doc_bytes);
  cur->position = 0;
  return rc;
}

int xr_next(sqlite3_vtab_cursor *base) {
  ((XrCursor *)base)->position++;
  return SQLITE_OK;
}

int xr_eof(sqlite3_vtab_cursor *base) {
  XrCursor *cur = (XrCursor *)base;
  return cur->position >= cur->count;
}

void xr_result_real(sqlite3_context *ctx, const XrRow &row, int slot) {
  if (row.has_real[slot]) sqlite3_result_double(ctx, row.reals[slot]);
}

int xr_column(sqlite3_vtab_cursor *base, sqlite3_context *ctx, int col) {
  XrCursor *cur = (XrCursor *)base;
  int kind = ((XrTable *)base->pVtab)->kind;
  const XrRow &row = cur->rows[cur->position];
  int status_col = kind == XR_ANOMALY ? XA_STATUS : XF_STATUS;
  int text_col = kind == XR_ANOMALY ? XA_TS : XF_TIMESTAMP;
  int int_col = kind == XR_ANOMALY ? XA_IS_ANOMALY : XF_STEP;
  if (col == status_col) {
    if (cur->status) sqlite3_result_text(ctx, cur->status, -1, SQLITE_TRANSIENT);
  } else if (col == text_col) {
    if (row.text) sqlite3_result_text(ctx, row.text, -1, SQLITE_TRANSIENT);
  } else if (col == int_col) {
    if (row.has_integer) sqlite3_result_int64(ctx, row.integer);
  } else if (kind == XR_ANOMALY) {
    switch (col) {
    case XA_VALUE:
      xr_result_real(ctx, row, 0);
      break;
    case XA_FORECAST:
      xr_result_real(ctx, row, 1);
      break;
    case XA_LOWER:
      xr_result_real(ctx, row, 2);
      break;
    case XA_UPPER:
      xr_result_real(ctx, row, 3);
      break;
    case XA_PROB:
      xr_result_real(ctx, row, 4);
      break;
    default:
      break; // doc reads as NULL
    }
  } else {
    switch (col) {
    case XF_FORECAST:
      xr_result_real(ctx, row, 0);
      break;
    case XF_LOWER:
      xr_result_real(ctx, row, 1);
      break;
    case XF_UPPER:
      xr_result_real(ctx, row, 2);
      break;
    default:
      break;
    }
  }
  return SQLITE_OK;
}

int xr_rowid(sqlite3_vtab_cursor *base, sqlite3_int64 *out) {
  *out = ((XrCursor *)base)->position;
  return SQLITE_OK;
}

} // namespace

// Eponymous only: no xCreate, so the functions cannot be made into named virtual tables.
extern const sqlite3_module xrowsModule = {
    /* iVersion */ 0,
    /* xCreate */ nullptr,
    /* xConnect */ xr_connect,
    /* xBestIndex */ xr_best_index,
    /* xDisconnect */ xr_disconnect,
    /* xDestroy */ nullptr,
    /* xOpen */ xr_open,
    /* xClose */ xr_close,
    /* xFilter */ xr_filter,
    /* xNext */ xr_next,
    /* xEof */ xr_eof,
    /* xColumn */ xr_column,
    /* xRowid */ xr_rowid,
    /* xUpdate */ nullptr,
    /* xBegin */ nullptr,
    /* xSync */ nullptr,
    /* xCommit */ nullptr,
    /* xRollback */ nullptr,
    /* xFindFunction */ nullptr,
    /* xRename */ nullptr,
    /* xSavepoint */ nullptr,
    /* xRelease */ nullptr,
    /* xRollbackTo */ nullptr,
    /* xShadowName */ nullptr,
    /* xIntegrity */ nullptr,
};
