// Anomaly detection and result expansion: detect_anomalies, sub-PCA, forecast_rows and anomaly_rows.
#pragma once
#include "core/api.h"
#include "core/vtab.h"

void agg_an_step(sqlite3_context *ctx, int argc, sqlite3_value **argv);
void agg_an_final(sqlite3_context *ctx);
extern const VtabShape FORECAST_ROWS_SHAPE;
extern const VtabShape ANOMALY_ROWS_SHAPE;
