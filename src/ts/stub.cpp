// Placeholder until the forecast aggregate is built.
#include "ts/ts.h"
void agg_fc_step(sqlite3_context *ctx, int, sqlite3_value **) {
  sqlite3_result_error(ctx, "VORNEL_ERR_RUNTIME_UNAVAILABLE: forecast is not in this build", -1);
}
void agg_fc_final(sqlite3_context *ctx) { sqlite3_result_error_code(ctx, SQLITE_ERROR); }
