// The _vornel_models table: creation and migration with the built-in rows (ensure), the lookup
// of one model into a vornel0_model_row, and the existence probe used before a student is
// stored. Only writers ensure; readers treat a missing table like an unknown id.
#include "registry/registry.h"

namespace {

const char CREATE_SQL[] =
    "CREATE TABLE IF NOT EXISTS _vornel_models ("
    "model_id TEXT PRIMARY KEY, "
    "kind TEXT NOT NULL CHECK (kind IN ('ts-fm','ts-stat','tabular-fm','tabular-stat','student')), "
    "runtime TEXT NOT NULL CHECK (runtime IN ('onnx','ggml','tree','remote','bundled')), "
    "weights BLOB, "
    "weights_uri TEXT, "
    "io_spec TEXT, "
    "content_hash TEXT NOT NULL, "
    "license TEXT NOT NULL, "
    "created_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ','now')), "
    "CHECK (CASE WHEN runtime IN ('remote','bundled') THEN weights IS NULL AND weights_uri IS NULL "
    "ELSE (weights IS NULL) <> (weights_uri IS NULL) END))";

// Columns added after the first schema; on a current table these fail and are ignored.
const char *const MIGRATIONS[] = {
    "ALTER TABLE _vornel_models ADD COLUMN weights_uri TEXT",
    "ALTER TABLE _vornel_models ADD COLUMN io_spec TEXT",
};

struct BuiltIn {
  const char *model_id;
  const char *kind;
};

const BuiltIn BUILT_INS[] = {
    {"theta-classic", "ts-stat"}, {"stub-seasonal-naive", "ts-stat"}, {"sub-pca", "ts-stat"}, {"tsb", "ts-stat"},
    {"auto", "ts-stat"},          {"knn5-incontext", "tabular-stat"},
};

// The version whose text goes into the built-in digests; it names the model rows, not the build.
const char BUILT_IN_VERSION[] = "v0.0.1-alpha.6";

// Copies column col of the current row as text into *out (null for SQL NULL). Returns false
// when the text or its copy could not be allocated.
bool copy_text_column(sqlite3_stmt *stmt, int col, char **out) {
  *out = nullptr;
  if (sqlite3_column_type(stmt, col) == SQLITE_NULL) return true;
  const char *text = (const char *)sqlite3_column_text(stmt, col);
  if (!text) return false;
  *out = sqlite3_mprintf("%s", text);
  return *out != nullptr;
}

// Creation, migration and the built-in rows, inside the caller's savepoint (or statement).
int ensure_in_savepoint(sqlite3 *db, char **out_msg) {
  char *host_err = nullptr;
  int rc = sqlite3_exec(db, CREATE_SQL, nullptr, nullptr, &host_err);
  if (rc != SQLITE_OK) {
    *out_msg = sqlite3_mprintf("%s: cannot create the model registry (%s)", VORNEL_ERR_RESOURCE,
                               host_err ? host_err : "unknown");
    sqlite3_free(host_err);
    return rc;
  }
  // Nothing is written into a _vornel_models that is not the registry table.
  rc = vornel0_registry_check_shape(db, false, out_msg);
  if (rc != SQLITE_OK) return rc;
  // Only the columns a table lacks are added: a failing ALTER on a current table would leave
  // its error text on the connection after a call that succeeded.
  static const char *const HAS_COLUMN[2] = {
      "SELECT count(*) FROM pragma_table_info('_vornel_models') WHERE name = 'weights_uri'",
      "SELECT count(*) FROM pragma_table_info('_vornel_models') WHERE name = 'io_spec'"};
  for (int i = 0; i < 2; i++) {
    if (vornel0_registry_ask(db, HAS_COLUMN[i], &rc) > 0) continue;
    if (rc == SQLITE_NOMEM) return vornel0_fail_nomem(out_msg);
    // Other failures are ignored as before; running out of memory is not, as it would leave an
    // old table unmigrated behind a success.
    rc = sqlite3_exec(db, MIGRATIONS[i], nullptr, nullptr, nullptr);
    if (rc == SQLITE_NOMEM) return vornel0_fail_nomem(out_msg);
  }
  rc = vornel0_registry_check_shape(db, true, out_msg);
  if (rc != SQLITE_OK) return rc;
  // When every built-in row is present the inserts would change nothing; skipping them keeps a
  // reader from taking the write lock, which concurrent writers on the file would contend for.
  // A read-only database still runs them, so that it reports the built-ins it cannot offer.
  if (sqlite3_db_readonly(db, "main") == 0) {
    int64_t present = vornel0_registry_ask(db,
                                           "SELECT count(*) FROM _vornel_models WHERE model_id IN ('theta-classic', "
                                           "'stub-seasonal-naive', 'sub-pca', 'tsb', 'auto', 'knn5-incontext')",
                                           &rc);
    if (rc == SQLITE_OK && present == (int64_t)(sizeof BUILT_INS / sizeof BUILT_INS[0])) return SQLITE_OK;
    if (rc == SQLITE_NOMEM) return vornel0_fail_nomem(out_msg);
  }
  for (const BuiltIn &b : BUILT_INS) {
    char seed[64];
    sqlite3_snprintf((int)sizeof seed, seed, "bundled:%s:%s", b.model_id, BUILT_IN_VERSION);
    char hex[VORNEL_HASH_HEX_SIZE];
    vornel0_hash_bytes(seed, (int64_t)strlen(seed), hex);
    HostStr sql(sqlite3_mprintf("INSERT INTO _vornel_models (model_id, kind, runtime, weights, content_hash, license) "
                                "VALUES (%Q, %Q, 'bundled', NULL, %Q, 'MIT OR Apache-2.0') "
                                "ON CONFLICT(model_id) DO NOTHING",
                                b.model_id, b.kind, hex));
    rc = sql ? sqlite3_exec(db, sql.get(), nullptr, nullptr, nullptr) : SQLITE_NOMEM;
    if (rc != SQLITE_OK) {
      *out_msg = sqlite3_mprintf("%s: cannot register bundled models", VORNEL_ERR_RESOURCE);
      return rc;
    }
  }
  return SQLITE_OK;
}

} // namespace

extern "C" {

int vornel0_registry_ensure(sqlite3 *db, char **out_msg) {
  *out_msg = nullptr;
  // One savepoint makes the whole of it one commit: a crash or a failure part-way leaves the
  // database as it was, never a table with only some of the built-in rows. Inside a statement
  // that writes (CREATE TABLE ... AS SELECT ... FROM distill_vornel(...)) the host opens no
  // savepoint and answers busy; there nothing commits before that statement does, so the
  // work is one commit already.
  char *host_err = nullptr;
  int rc = sqlite3_exec(db, "SAVEPOINT vornel_registry_ensure", nullptr, nullptr, &host_err);
  if (rc == SQLITE_BUSY) {
    sqlite3_free(host_err);
    return ensure_in_savepoint(db, out_msg);
  }
  if (rc != SQLITE_OK) {
    *out_msg = sqlite3_mprintf("%s: cannot create the model registry (%s)", VORNEL_ERR_RESOURCE,
                               host_err ? host_err : "unknown");
    sqlite3_free(host_err);
    return rc;
  }
  rc = ensure_in_savepoint(db, out_msg);
  if (rc == SQLITE_OK) {
    rc = sqlite3_exec(db, "RELEASE vornel_registry_ensure", nullptr, nullptr, &host_err);
    if (rc == SQLITE_OK) return SQLITE_OK;
    *out_msg = sqlite3_mprintf("%s: cannot create the model registry (%s)", VORNEL_ERR_RESOURCE,
                               host_err ? host_err : "unknown");
    sqlite3_free(host_err);
  }
  sqlite3_exec(db, "ROLLBACK TO vornel_registry_ensure; RELEASE vornel_registry_ensure", nullptr, nullptr, nullptr);
  return rc;
}

void vornel0_model_row_free(vornel0_model_row *row) {
  if (!row) return;
  host_free_all(row->runtime, row->kind, row->weights_uri, row->io_spec, row->license, row->content_hash, row->weights);
  memset(row, 0, sizeof *row);
}

int vornel0_registry_lookup(sqlite3 *db, const char *model_id, vornel0_model_row *row) {
  memset(row, 0, sizeof *row);
  StmtGuard stmt;
  int rc = sqlite3_prepare_v2(db,
                              "SELECT runtime, kind, weights_uri, io_spec, license, content_hash, weights "
                              "FROM _vornel_models WHERE model_id = ?",
                              -1, stmt.out(), nullptr);
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_bind_text(stmt, 1, model_id, -1, SQLITE_STATIC);
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_step(stmt);
  if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? SQLITE_ERROR : rc;
  char **fields[6] = {&row->runtime, &row->kind, &row->weights_uri, &row->io_spec, &row->license, &row->content_hash};
  for (int i = 0; i < 6; i++) {
    // A copy that fails for lack of memory must not pass for a stored NULL.
    if (!copy_text_column(stmt, i, fields[i])) {
      vornel0_model_row_free(row);
      return SQLITE_NOMEM;
    }
  }
  if (sqlite3_column_type(stmt, 6) == SQLITE_BLOB) {
    int len = sqlite3_column_bytes(stmt, 6);
    const void *blob = len > 0 ? sqlite3_column_blob(stmt, 6) : nullptr;
    if (len > 0) {
      // Without its weights the row would read as "no weights" or an unknown model.
      row->weights = blob ? (unsigned char *)sqlite3_malloc64((sqlite3_uint64)len) : nullptr;
      if (!row->weights) {
        vornel0_model_row_free(row);
        return SQLITE_NOMEM;
      }
      memcpy(row->weights, blob, (size_t)len);
      row->weights_len = len;
    }
  }
  if (!row->runtime || !row->kind || !row->license || !row->content_hash) {
    vornel0_model_row_free(row);
    return SQLITE_CORRUPT;
  }
  return SQLITE_OK;
}

char *vornel0_registry_model_hash(sqlite3 *db, const char *model_id, int *out_rc) {
  if (out_rc) *out_rc = SQLITE_OK;
  StmtGuard stmt;
  int rc =
      sqlite3_prepare_v2(db, "SELECT content_hash FROM _vornel_models WHERE model_id = ?", -1, stmt.out(), nullptr);
  if (rc != SQLITE_OK) {
    // No table means no such model; only a lack of memory leaves the answer open.
    if (rc == SQLITE_NOMEM && out_rc) *out_rc = rc;
    return nullptr;
  }
  rc = sqlite3_bind_text(stmt, 1, model_id, -1, SQLITE_STATIC);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  char *copy = nullptr;
  if (rc == SQLITE_ROW)
    rc = copy_text_column(stmt, 0, &copy) ? SQLITE_OK : SQLITE_NOMEM;
  else if (rc == SQLITE_DONE)
    rc = SQLITE_OK;
  if (out_rc) *out_rc = rc;
  return copy;
}

} // extern "C"
