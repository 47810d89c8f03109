// The virtual-table kit: the callbacks every table-valued function shares. Filter does the
// whole job in the module; everything here only declares, plans, allocates and walks.
#include "core/vtab.h"

namespace {

struct VtabTable {
  sqlite3_vtab base;      // host's record; must come first
  sqlite3 *db;            // the connection the module lives on
  const VtabShape *shape; // the module's shape; not owned
};

int kit_connect(sqlite3 *db, void *aux, int, const char *const *, sqlite3_vtab **out, char **) {
  const VtabShape *shape = (const VtabShape *)aux;
  int rc = sqlite3_declare_vtab(db, shape->schema);
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_vtab_config(db, shape->risk == VTAB_DIRECT_ONLY ? SQLITE_VTAB_DIRECTONLY : SQLITE_VTAB_INNOCUOUS);
  if (rc != SQLITE_OK) return rc;
  VtabTable *tab = host_calloc<VtabTable>(1);
  if (!tab) return SQLITE_NOMEM;
  tab->db = db;
  tab->shape = shape;
  *out = &tab->base;
  return SQLITE_OK;
}

int kit_disconnect(sqlite3_vtab *vtab) {
  sqlite3_free(vtab->zErrMsg);
  sqlite3_free(vtab);
  return SQLITE_OK;
}

int kit_best_index(sqlite3_vtab *vtab, sqlite3_index_info *info) {
  const VtabShape *shape = ((VtabTable *)vtab)->shape;
  int rc = vtab_plan(shape, info);
  if (rc == SQLITE_ERROR) return vtab_set_error(vtab, sqlite3_mprintf("%s", shape->missing_message));
  return rc;
}

int kit_open(sqlite3_vtab *vtab, sqlite3_vtab_cursor **out) {
  VtabTable *tab = (VtabTable *)vtab;
  VtabCursor *cur = (VtabCursor *)host_calloc<char>((int64_t)tab->shape->cursor_size);
  if (!cur) return SQLITE_NOMEM;
  cur->shape = tab->shape;
  cur->db = tab->db;
  *out = &cur->base;
  return SQLITE_OK;
}

int kit_close(sqlite3_vtab_cursor *base) {
  VtabCursor *cur = (VtabCursor *)base;
  cur->shape->clear(cur);
  sqlite3_free(cur);
  return SQLITE_OK;
}

int kit_filter(sqlite3_vtab_cursor *base, int given, const char *, int argc, sqlite3_value **argv) {
  VtabCursor *cur = (VtabCursor *)base;
  cur->shape->clear(cur);
  cur->count = cur->position = 0;
  sqlite3_value *args[VTAB_MAX_ARGS] = {};
  for (int k = 0, next = 0; k < cur->shape->arg_count; k++)
    if ((given & (1 << k)) && next < argc) args[k] = argv[next++];
  return cur->shape->filter(cur, args);
}

int kit_next(sqlite3_vtab_cursor *base) {
  ((VtabCursor *)base)->position++;
  return SQLITE_OK;
}

int kit_eof(sqlite3_vtab_cursor *base) {
  VtabCursor *cur = (VtabCursor *)base;
  return cur->position >= cur->count;
}

int kit_column(sqlite3_vtab_cursor *base, sqlite3_context *ctx, int col) {
  VtabCursor *cur = (VtabCursor *)base;
  if (col < cur->shape->first_arg) cur->shape->column(cur, ctx, col); // the arguments read as NULL
  return SQLITE_OK;
}

int kit_rowid(sqlite3_vtab_cursor *base, sqlite3_int64 *out) {
  VtabCursor *cur = (VtabCursor *)base;
  *out = cur->position + cur->shape->first_rowid;
  return SQLITE_OK;
}

} // namespace

// Each argument takes its first usable equality constraint, even when an unusable one comes
// before it. An argument with only unusable equalities asks the planner for another plan; a
// required argument with none at all is the caller's mistake. Argument k is handed to filter
// at the position after the given arguments before it, and idxNum records which were given,
// so the kit's filter can put each back in its slot.
int vtab_plan(const VtabShape *shape, sqlite3_index_info *info) {
  int chosen[VTAB_MAX_ARGS];
  bool unusable[VTAB_MAX_ARGS];
  for (int k = 0; k < shape->arg_count; k++) {
    chosen[k] = -1;
    unusable[k] = false;
  }
  for (int i = 0; i < info->nConstraint; i++) {
    const auto &c = info->aConstraint[i];
    int k = c.iColumn - shape->first_arg;
    if (k < 0 || k >= shape->arg_count || c.op != SQLITE_INDEX_CONSTRAINT_EQ) continue;
    if (!c.usable)
      unusable[k] = true;
    else if (chosen[k] < 0)
      chosen[k] = i;
  }
  for (int k = 0; k < shape->arg_count; k++)
    if (chosen[k] < 0 && unusable[k]) return SQLITE_CONSTRAINT;
  for (int k = 0; k < shape->required; k++)
    if (chosen[k] < 0) return SQLITE_ERROR;
  int position = 0, given = 0;
  for (int k = 0; k < shape->arg_count; k++) {
    if (chosen[k] < 0) continue;
    info->aConstraintUsage[chosen[k]].argvIndex = ++position;
    info->aConstraintUsage[chosen[k]].omit = 1;
    given |= 1 << k;
  }
  info->idxNum = given;
  info->estimatedCost = shape->cost;
  return SQLITE_OK;
}

bool vtab_arg_text(sqlite3_value *const *args, int k, const char **out) {
  *out = args[k] ? (const char *)sqlite3_value_text(args[k]) : nullptr;
  return *out || !args[k] || sqlite3_value_type(args[k]) == SQLITE_NULL;
}

int vtab_fail(VtabCursor *cur, char *msg) { return vtab_set_error(cur->base.pVtab, msg); }

// Eponymous only: no xCreate, so none of the functions can be made into a named table.
const sqlite3_module VTAB_KIT_MODULE = {
    /* iVersion */ 0,
    /* xCreate */ nullptr,
    /* xConnect */ kit_connect,
    /* xBestIndex */ kit_best_index,
    /* xDisconnect */ kit_disconnect,
    /* xDestroy */ nullptr,
    /* xOpen */ kit_open,
    /* xClose */ kit_close,
    /* xFilter */ kit_filter,
    /* xNext */ kit_next,
    /* xEof */ kit_eof,
    /* xColumn */ kit_column,
    /* xRowid */ kit_rowid,
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
