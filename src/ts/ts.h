// Time-series forecasting: the series record, the forecast aggregate, statistical models, intervals and automatic
// selection.
#pragma once
#include "core/api.h"
#include "ts/models.h"
#include "ts/options.h"
#include "ts/series.h"

void agg_fc_step(sqlite3_context *ctx, int argc, sqlite3_value **argv);
void agg_fc_final(sqlite3_context *ctx);
