// One skeleton for the eponymous table-valued functions. A module is a VtabShape: its declared
// schema with the hidden argument columns last, how many of those arguments are required, what
// the planner should estimate, and the three callbacks that are its own (filter, column, clear).
// The kit supplies connect, best-index, open, next, eof, rowid, close and disconnect, and the
// one host module record every shape is registered with (the shape travels as client data).
//
// Argument slots: best-index hands the usable equality constraint of hidden argument k
// (0-based, in schema order) to filter, and the kit's filter passes the module an array of
// arg_count values, args[k] being that argument or null when it was not given.
#pragma once
#include "core/api.h"

// What a function may do to the database it is called on, and so where it may be used.
enum VtabRisk {
  VTAB_DIRECT_ONLY, // runs SQL text from its arguments or writes: refused in views and triggers
  VTAB_INNOCUOUS,   // reads only its arguments: allowed where the schema is not trusted
};

inline constexpr int VTAB_MAX_ARGS = 4;

struct VtabShape;

// The part of every cursor the kit looks after; a module's cursor begins with it.
struct VtabCursor {
  sqlite3_vtab_cursor base; // host's record; must come first
  const VtabShape *shape;   // the module's shape; not owned
  sqlite3 *db;              // the connection the function was called on
  int64_t count;            // rows the last filter produced (set by the module's filter)
  int64_t position;         // current row, 0-based
};

struct VtabShape {
  const char *schema;          // handed to sqlite3_declare_vtab as written; arguments last
  int first_arg;               // column number of the first hidden argument
  int arg_count;               // hidden argument columns (at most VTAB_MAX_ARGS)
  int required;                // the leading arguments that must be given
  const char *missing_message; // the whole message when a required argument is missing
  double cost;                 // estimated cost of a usable plan
  VtabRisk risk;               // where the function may be used
  int64_t first_rowid;         // rowid of row 0 (1 for the one-row results)
  size_t cursor_size;          // bytes of the module's cursor record
  intptr_t aux;                // the module's own datum (which document kind, for instance)
  // Computes every row: fills the module's part of the cursor and sets cur->count. Returns
  // SQLITE_OK, or an error code with the table's error slot set (vtab_set_error).
  int (*filter)(VtabCursor *cur, sqlite3_value *const *args);
  // Reports a visible column of row cur->position (the kit answers NULL for the arguments).
  void (*column)(VtabCursor *cur, sqlite3_context *ctx, int col);
  // Frees what filter stored and zeroes it; runs before every filter and at close.
  void (*clear)(VtabCursor *cur);
};

// The host module record shared by every shape; register with the shape as client data.
extern const sqlite3_module VTAB_KIT_MODULE;

// The planning rule of best-index, without the table: assigns argument positions and the cost
// in info. Returns SQLITE_OK, SQLITE_CONSTRAINT (try another plan) or SQLITE_ERROR (a
// required argument is missing; the caller reports shape->missing_message).
int vtab_plan(const VtabShape *shape, sqlite3_index_info *info);

// Places a message built as "code: text" in the cursor's table error slot. Returns
// SQLITE_ERROR, or SQLITE_NOMEM when the message could not be built.
int vtab_fail(VtabCursor *cur, char *msg);

// The text of argument k (args as filter receives them) in *out: null when the argument was not
// given or is NULL, and for any other value its text. Returns false when the host could not
// produce the text (out of memory).
bool vtab_arg_text(sqlite3_value *const *args, int k, const char **out);
