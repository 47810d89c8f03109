// Time-series forecasting: the series record, the forecast aggregate, statistical models, intervals and automatic
// selection, the calendar grids of a series, gap filling and describe_series.
#pragma once
#include "core/api.h"
#include "ts/calendar.h"
#include "ts/fill.h"
#include "ts/models.h"
#include "ts/options.h"
#include "ts/series.h"

void agg_fc_step(sqlite3_context *ctx, int argc, sqlite3_value **argv);
void agg_fc_final(sqlite3_context *ctx);
void agg_ds_step(sqlite3_context *ctx, int argc, sqlite3_value **argv);
void agg_ds_final(sqlite3_context *ctx);

// Fills a collected series in place by opts->fill (see ts_fill_arrays) and reports an error
// through ctx when it cannot; returns false after reporting.
bool series_fill_or_report(sqlite3_context *ctx, series *s, int rule);
