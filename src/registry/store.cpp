// Writing _vornel_models: the writer's checks before any work, the one insert every writer
// goes through with its outcome rules, the probe for a free id, and the check that a stored
// blob still matches its content hash.
#include "registry/registry.h"

namespace {

const char STUDENT_INSERT_SQL[] =
    "INSERT INTO _vornel_models (model_id, kind, runtime, weights, io_spec, content_hash, "
    "license) VALUES (?1,'student','tree',?2, NULL,?3,'unspecified')";
const char FILE_INSERT_SQL[] =
    "INSERT INTO _vornel_models (model_id, kind, runtime, weights_uri, io_spec, content_hash,  "
    "license) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)";

// The columns every writer and reader relies on.
const char *const REGISTRY_COLUMNS[] = {"model_id", "kind",         "runtime", "weights",   "weights_uri",
                                        "io_spec",  "content_hash", "license", "created_at"};

int refuse(char **out_msg, const char *why) {
  return vornel0_fail(out_msg, sqlite3_mprintf("%s: cannot write the model registry: %s", VORNEL_ERR_RESOURCE, why));
}

// The statement's single integer answer, or -1 when it could not be had (*rc says why).
} // namespace

int64_t vornel0_registry_ask(sqlite3 *db, const char *sql, int *rc) {
  StmtGuard st;
  *rc = sqlite3_prepare_v2(db, sql, -1, st.out(), nullptr);
  if (*rc == SQLITE_OK) *rc = sqlite3_step(st);
  if (*rc != SQLITE_ROW) return -1;
  *rc = SQLITE_OK;
  return sqlite3_column_int64(st, 0);
}

// Writes must land in main's ordinary table: a temporary object of that name would take the
// unqualified insert, a view's INSTEAD OF trigger could swallow it, and a virtual table could
// do anything with it.
int vornel0_registry_check_shape(sqlite3 *db, bool columns, char **out_msg) {
  int rc;
  int64_t temp = vornel0_registry_ask(db, "SELECT count(*) FROM temp.sqlite_schema WHERE name = '_vornel_models'", &rc);
  if (rc == SQLITE_OK && temp != 0) return refuse(out_msg, "a temporary _vornel_models hides the one in main");
  int64_t plain = -1;
  if (rc == SQLITE_OK)
    plain =
        vornel0_registry_ask(db,
                             "SELECT count(*) FROM main.sqlite_schema WHERE type = 'table' AND name = '_vornel_models' "
                             "AND sql NOT LIKE 'CREATE VIRTUAL%'",
                             &rc);
  if (rc == SQLITE_OK && plain != 1) return refuse(out_msg, "_vornel_models in main is not an ordinary table");
  for (int i = 0; columns && rc == SQLITE_OK && i < (int)(sizeof REGISTRY_COLUMNS / sizeof *REGISTRY_COLUMNS); i++) {
    const char *col = REGISTRY_COLUMNS[i];
    HostStr sql(sqlite3_mprintf("SELECT count(*) FROM pragma_table_info('_vornel_models', 'main') WHERE name = %Q%s",
                                col, strcmp(col, "model_id") == 0 ? " AND pk = 1" : ""));
    if (!sql) return SQLITE_NOMEM;
    int64_t found = vornel0_registry_ask(db, sql.get(), &rc);
    if (rc != SQLITE_OK) break;
    if (found != 1) {
      HostStr why(sqlite3_mprintf("_vornel_models lacks the column %s%s", col,
                                  strcmp(col, "model_id") == 0 ? " as its primary key" : ""));
      return why ? refuse(out_msg, why.get()) : SQLITE_NOMEM;
    }
  }
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc != SQLITE_OK) {
    *out_msg =
        sqlite3_mprintf("%s: cannot read the model registry's schema: %s", VORNEL_ERR_RESOURCE, sqlite3_errmsg(db));
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

int vornel0_registry_writer_open(sqlite3 *db, vornel0_writer_kind kind, vornel0_registry_writer *w, char **out_msg) {
  w->db = db;
  w->kind = kind;
  *out_msg = nullptr;
  int rc = vornel0_registry_ensure(db, out_msg);
  if (rc != SQLITE_OK) return rc;
  // Checked after the ensure (which also checks the table's shape), as it already refuses a
  // read-only database that lacks the registry or a built-in row; this catches the rest
  // before any file is read or any training.
  if (sqlite3_db_readonly(db, "main") != 0) return refuse(out_msg, "the main database is read-only");
  int64_t query_only = vornel0_registry_ask(db, "PRAGMA query_only", &rc);
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc != SQLITE_OK) return refuse(out_msg, "PRAGMA query_only cannot be read");
  if (query_only != 0) return refuse(out_msg, "PRAGMA query_only is on");
  rc = sqlite3_prepare_v2(db, kind == VORNEL0_WRITES_FILE ? FILE_INSERT_SQL : STUDENT_INSERT_SQL, -1, &w->insert,
                          nullptr);
  if (rc == SQLITE_NOMEM) return rc;
  if (rc != SQLITE_OK) {
    *out_msg = sqlite3_mprintf("%s: cannot prepare %s insert", VORNEL_ERR_RESOURCE,
                               kind == VORNEL0_WRITES_FILE ? "registry" : "student");
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

int vornel0_store_student(vornel0_registry_writer *w, const vornel0_new_model *m, char **out_msg) {
  *out_msg = nullptr;
  sqlite3_stmt *st = w->insert;
  int rc = sqlite3_reset(st);
  if (rc == SQLITE_OK) rc = sqlite3_bind_text(st, 1, m->model_id, -1, SQLITE_STATIC);
  if (w->kind == VORNEL0_WRITES_FILE) {
    const char *values[6] = {m->kind, m->runtime, m->weights_uri, m->io_spec, m->content_hash, m->license};
    for (int i = 0; i < 6 && rc == SQLITE_OK; i++)
      rc = sqlite3_bind_text(st, i + 2, values[i], -1, SQLITE_STATIC);
  } else {
    if (rc == SQLITE_OK) rc = sqlite3_bind_blob64(st, 2, m->weights, (sqlite3_uint64)m->weights_len, SQLITE_STATIC);
    if (rc == SQLITE_OK) rc = sqlite3_bind_text(st, 3, m->content_hash, -1, SQLITE_STATIC);
  }
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  const int ext = sqlite3_extended_errcode(w->db);
  const bool file = w->kind == VORNEL0_WRITES_FILE;
  // A trigger's RAISE(IGNORE) ends the insert with "done" and no row: that is no success.
  if (rc == SQLITE_DONE && sqlite3_changes(w->db) == 1) return SQLITE_OK;
  if (rc == SQLITE_NOMEM) return SQLITE_NOMEM;
  if (rc == SQLITE_DONE) {
    *out_msg = sqlite3_mprintf("%s: %s insert failed: no row was stored (a trigger on _vornel_models ignored it)",
                               VORNEL_ERR_RESOURCE, file ? "registry" : "student");
  } else if (ext == SQLITE_CONSTRAINT_PRIMARYKEY) {
    // Only a clash on the id means it is taken; a CHECK, NOT NULL or trigger refusal is an
    // insert failure with the host's reason.
    *out_msg = file ? sqlite3_mprintf("%s: model '%s' is already registered (or fails the weight-source rule)",
                                      VORNEL_ERR_MODEL_EXISTS, m->model_id)
                    : sqlite3_mprintf("%s: student '%s' already exists", VORNEL_ERR_STUDENT_EXISTS, m->model_id);
  } else {
    *out_msg = sqlite3_mprintf("%s: %s insert failed: %s", VORNEL_ERR_RESOURCE, file ? "registry" : "student",
                               sqlite3_errmsg(w->db));
  }
  sqlite3_reset(st);
  return *out_msg ? SQLITE_ERROR : SQLITE_NOMEM;
}

int vornel0_registry_require_free(sqlite3 *db, const char *model_id, char **out_msg) {
  *out_msg = nullptr;
  int rc = SQLITE_OK;
  HostStr existing(vornel0_registry_model_hash(db, model_id, &rc));
  if (existing)
    return vornel0_fail(out_msg,
                        sqlite3_mprintf("%s: student '%s' already exists", VORNEL_ERR_STUDENT_EXISTS, model_id));
  if (rc == SQLITE_NOMEM) {
    *out_msg = sqlite3_mprintf("%s", VORNEL_MSG_NOMEM);
    return SQLITE_NOMEM;
  }
  return SQLITE_OK;
}

int vornel0_registry_check_weights(const vornel0_model_row *row, const char *model_id, char **out_msg) {
  *out_msg = nullptr;
  char hex[VORNEL_HASH_HEX_SIZE];
  vornel0_hash_bytes(row->weights, row->weights_len, hex);
  if (row->content_hash && strcmp(hex, row->content_hash) == 0) return SQLITE_OK;
  *out_msg = sqlite3_mprintf("%s: model '%s' does not match its content_hash: its weights were changed after it was "
                             "stored; distill or register it again",
                             VORNEL_ERR_SCHEMA, model_id);
  return SQLITE_ERROR;
}
