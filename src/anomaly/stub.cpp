// Placeholder until anomaly detection is built.
#include "anomaly/anomaly.h"
void agg_an_step(sqlite3_context *ctx, int, sqlite3_value **) {
  sqlite3_result_error(ctx, "VORNEL_ERR_RUNTIME_UNAVAILABLE: detect_anomalies is not in this build", -1);
}
void agg_an_final(sqlite3_context *ctx) { sqlite3_result_error_code(ctx, SQLITE_ERROR); }
