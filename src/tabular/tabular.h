// Tabular inference: the vornel table-valued function, the student runtime and blob formats.
// The students themselves (models, evaluation, blob layouts) are declared in student.h.
#pragma once
#include "core/api.h"
#include "core/vtab.h"
#include "tabular/student.h"

extern const VtabShape VORNEL_SHAPE;
extern const OptionTable VORNEL_OPTIONS;

// Status texts of a result row (static, never freed).
inline constexpr const char VORNEL_STATUS_OK[] = "ok";
inline constexpr const char VORNEL_STATUS_NON_NUMERIC[] = "non_numeric";

// One output row of vornel(), owned by the cursor.
struct vornel0_result {
  int32_t ref_type;       // storage class of row_ref: SQLITE_INTEGER, _FLOAT, _TEXT, _BLOB or _NULL
  int64_t ref_int;        // row_ref when an integer
  double ref_real;        // row_ref when a real
  char *ref_text;         // row_ref text (text and blob values); owned, or null
  char *prediction;       // label or "%.17g" value; owned, or null for non_numeric rows
  double confidence;      // share of the vote / student confidence
  int32_t has_confidence; // confidence is NULL when 0
  const char *status;     // VORNEL_STATUS_OK or VORNEL_STATUS_NON_NUMERIC; not owned
};

// Frees the row_ref and prediction texts of count rows, then the array; null is ignored.
void vornel0_results_free(vornel0_result *rows, int64_t count);

struct vornel0_model_row;

// Runs a stored student (registry runtime 'tree') over every row of apply_sql. device and
// precision are the options record's values (refused when set). Returns 0 with *out_rows and
// *out_count (owned by the caller, vornel0_results_free), or 1 / 7 with an owned *out_msg.
int vornel0_tree_run(sqlite3 *db, const char *model_id, const char *apply_sql, const vornel0_model_row *row,
                     const char *device, const char *precision, vornel0_result **out_rows, int64_t *out_count,
                     char **out_msg);
