// The forecast options record, shared by forecast, detect_anomalies and backtest, and the
// three functions' options tables.
#pragma once
#include "core/api.h"

inline constexpr int FORECAST_MAX_LIST = OPTION_MAX_LIST; // most group_cols and candidates
inline constexpr int FORECAST_MAX_FOLDS = 512;
inline constexpr int FORECAST_DEFAULT_FOLDS = 20;

enum interval_method { INTERVAL_RESIDUAL = 0, INTERVAL_CONFORMAL = 1 };
enum series_transform { TRANSFORM_NONE = 0, TRANSFORM_LOG = 1 };

// Filled by options_read with one of the tables below, which sets that function's defaults;
// zero is a valid empty record.
struct forecast_opts {
  char *time_col;                      // owned or null
  char *value_col;                     // owned or null
  char *group_cols[FORECAST_MAX_LIST]; // owned entries
  int group_count;
  double level; // confidence_level or anomaly_prob_threshold
  int32_t context_limit;
  char *model;             // owned or null (null means auto for forecast)
  int32_t interval_method; // interval_method enum
  int32_t folds;           // 0 means FORECAST_DEFAULT_FOLDS
  int32_t gap;
  char *candidates[FORECAST_MAX_LIST]; // owned entries
  int candidate_count;
  int32_t fill;      // ts_fill_rule; TS_FILL_NONE when not given
  int32_t explain;   // forecast: 1 adds the "explain" key to the document
  int32_t transform; // series_transform enum
};

// Frees every owned text and zeroes the lists; accepts null.
void forecast_opts_free(forecast_opts *o);

// The folds to use: the option, or FORECAST_DEFAULT_FOLDS when not given.
inline int forecast_opts_folds(const forecast_opts *o) { return o->folds > 0 ? o->folds : FORECAST_DEFAULT_FOLDS; }

// The log transform's check and mapping: false when a value is not > 0; otherwise out[t] =
// log(y[t]) (out may be y itself).
bool forecast_log_values(const double *y, int64_t n, double *out);
// The way back from the log scale for forecasts and bounds: exp, with the same bits on every
// platform.
double forecast_from_log(double v);
// The message refusing a series with a value <= 0 under transform 'log' (null on OOM).
char *forecast_log_refusal();

extern const OptionTable FORECAST_OPTIONS;
extern const OptionTable ANOMALY_OPTIONS;
extern const OptionTable BACKTEST_OPTIONS;
// Their key lists, for vornel0_options_parse.
extern const char *const *const AGG_FORECAST_OPTION_KEYS;
extern const char *const *const AGG_ANOMALY_OPTION_KEYS;
extern const char *const *const BACKTEST_OPTION_KEYS;
