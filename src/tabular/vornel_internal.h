// Pieces shared by the vornel() module, its in-context model and the student runtime: the
// options record, the query rules, and the growing result array.
#pragma once
#include "tabular/tabular.h"

// The options of vornel(); every field is an owned copy of a JSON string value, or null.
struct vornel_options {
  char *target;    // label column of train_query (in-context mode); owned
  char *task;      // "classify" or "regress"; owned
  char *model;     // registry id; null, default-tabular or knn5-incontext select in-context mode
  char *device;    // refused: no runtime of this build takes it; owned
  char *precision; // refused like device; owned
};

void vornel_options_free(vornel_options *opts);

// The refusal of device/precision, worded the same for every model. Returns SQLITE_OK when
// neither is set, else SQLITE_ERROR (or SQLITE_NOMEM) with *out_msg.
int vornel_refuse_device(const char *device, const char *precision, char **out_msg);

// Prepares a query argument under the rules of vornel(): text, parses, a single statement
// (only ';', blank, tab or line feed may follow), read-only. Returns 0 with *out set, or an
// error code with *out_msg (SQLITE_NOMEM possibly without one).
int vornel_prepare_query(sqlite3 *db, const char *sql, sqlite3_stmt **out, char **out_msg);

// Most apply rows one call answers: as many as one series may hold. Every result row is
// computed in filter and held until the cursor closes, so the bound is on memory.
inline constexpr int64_t VORNEL_MAX_APPLY_ROWS = 2097152;
// The refusal of the row after the last one allowed. Returns SQLITE_ERROR (SQLITE_NOMEM when the
// message could not be built) with *out_msg.
int vornel_refuse_apply_rows(char **out_msg);

// The cursor's result rows while they are being computed; frees every row's texts unless
// released.
struct ResultRows {
  HostArray<vornel0_result> rows;
  ResultRows() = default;
  ResultRows(const ResultRows &) = delete;
  ResultRows &operator=(const ResultRows &) = delete;
  ~ResultRows() {
    for (int64_t i = 0; i < rows.len; i++) {
      sqlite3_free(rows[i].ref_text);
      sqlite3_free(rows[i].prediction);
    }
  }
  // Appends a zeroed row with status "ok" (arrays start at 256 rows and double); null on OOM.
  vornel0_result *add();
  // Every result row the cursor may hold is taken: the next apply row must be refused.
  bool full() const { return rows.len >= VORNEL_MAX_APPLY_ROWS; }
  // Hands the array and its count to the caller.
  vornel0_result *release(int64_t *out_count) {
    *out_count = rows.len;
    return rows.release();
  }
};

// Copies column 0 of the current row into the row's row_ref fields (a blob is kept as its
// text). Returns false when memory runs out.
bool record_row_ref(sqlite3_stmt *stmt, vornel0_result *row);

// A host copy of n bytes with a terminating NUL; null on OOM.
char *copy_bytes(const char *bytes, int64_t n);

// In-context mode (model absent, default-tabular or knn5-incontext): every step after the
// options are parsed. Returns 0 with the rows, or 1 / 7 with *out_msg (7 may come without).
int vornel_incontext_run(sqlite3 *db, const char *train_sql, const char *apply_sql, const vornel_options *opts,
                         vornel0_result **out_rows, int64_t *out_count, char **out_msg);

// Runs a student blob over the apply query (the body of vornel0_tree_run once the blob is in
// hand). Returns 0 with the rows, 1 / 7 with *out_msg, or SQLITE_INTERRUPT (no message).
int student_run_blob(sqlite3 *db, const char *apply_sql, const unsigned char *weights, int64_t weights_len,
                     const char *device, const char *precision, vornel0_result **out_rows, int64_t *out_count,
                     char **out_msg);
