// The forecast options tables. One record serves forecast, detect_anomalies and backtest; each
// function's table decides which keys it takes, with which defaults.
#include "ts/options.h"
#include "core/portable_math.h"
#include "ts/fill.h"
#include <math.h>
#include <stddef.h>

namespace {

constexpr const char *const INTERVAL_METHODS[] = {"residual", "conformal", nullptr};
constexpr const char *const FILL_RULES[] = {"linear", "previous", "zero", nullptr}; // from TS_FILL_LINEAR on
constexpr const char *const TRANSFORMS[] = {"none", "log", nullptr};

// Field builders: a field with its default, then its range, its choices or its count.
constexpr OptionField field(const char *key, OptionType type, size_t offset, double fallback, const char *description) {
  return {key, type, offset, 0, fallback, 0, 0, false, false, nullptr, nullptr, nullptr, description};
}
constexpr OptionField ranged(OptionField f, double min, double max, const char *range, bool open = false,
                             const char *code = nullptr) {
  f.min = min;
  f.max = max;
  f.min_open = f.max_open = open;
  f.range = range;
  f.code = code;
  return f;
}
constexpr OptionField choice(OptionField f, int first, const char *const *choices) {
  f.min = first;
  f.choices = choices;
  return f;
}
constexpr OptionField list(OptionField f, size_t count_offset) {
  f.count_offset = count_offset;
  return f;
}

// Every option of the three functions, once; a table takes the ones it accepts.
constexpr OptionField TIME_COL = option_text("time_col", OPT_TEXT, offsetof(forecast_opts, time_col),
                                             "name of the time column; inferred when absent");
constexpr OptionField VALUE_COL = option_text("value_col", OPT_TEXT, offsetof(forecast_opts, value_col),
                                              "name of the value column; inferred when absent");
constexpr OptionField GROUP_COLS = list(field("group_cols", OPT_LIST, offsetof(forecast_opts, group_cols), 0,
                                              "columns whose values name a series: a JSON array or one name"),
                                        offsetof(forecast_opts, group_count));
constexpr OptionField CONFIDENCE_LEVEL = ranged(
    field("confidence_level", OPT_NUMBER, offsetof(forecast_opts, level), 0.95, "coverage of the forecast interval"), 0,
    1, "in (0,1)", true);
constexpr OptionField ANOMALY_PROB_THRESHOLD =
    ranged(field("anomaly_prob_threshold", OPT_NUMBER, offsetof(forecast_opts, level), 0.99,
                 "probability above which a point is an anomaly"),
           0, 1, "in (0,1)", true, VORNEL_ERR_THRESHOLD);
constexpr OptionField CONTEXT_LIMIT = ranged(
    field("context_limit", OPT_INT, offsetof(forecast_opts, context_limit), 4096, "most recent points kept per series"),
    1, OPTION_UNBOUNDED, ">= 1");
constexpr OptionField MODEL = option_text("model", OPT_TEXT, offsetof(forecast_opts, model),
                                          "model name, auto, or a registered forecast student");
constexpr OptionField INTERVAL_METHOD =
    choice(field("interval_method", OPT_CHOICE, offsetof(forecast_opts, interval_method), INTERVAL_RESIDUAL,
                 "how the interval is made: residual or conformal"),
           0, INTERVAL_METHODS);
constexpr OptionField FOLDS =
    ranged(field("folds", OPT_INT, offsetof(forecast_opts, folds), 0, "most rolling-origin folds (default 20)"), 1,
           FORECAST_MAX_FOLDS, "in 1..512");
constexpr OptionField GAP = ranged(
    field("gap", OPT_INT, offsetof(forecast_opts, gap), 0, "steps skipped between a cut-off and the scored window"), 0,
    OPTION_UNBOUNDED, ">= 0");
constexpr OptionField CANDIDATES = list(field("candidates", OPT_LIST, offsetof(forecast_opts, candidates), 0,
                                              "models that auto selection scores: a JSON array or one name"),
                                        offsetof(forecast_opts, candidate_count));
constexpr OptionField FILL = choice(field("fill", OPT_CHOICE, offsetof(forecast_opts, fill), TS_FILL_NONE,
                                          "fill the missing points of the time grid: linear, previous or zero"),
                                    TS_FILL_LINEAR, FILL_RULES);
constexpr OptionField EXPLAIN = field("explain", OPT_BOOL, offsetof(forecast_opts, explain), 0,
                                      "true adds how the model was chosen to the document");
constexpr OptionField TRANSFORM = choice(field("transform", OPT_CHOICE, offsetof(forecast_opts, transform),
                                               TRANSFORM_NONE, "none, or log: model the logarithm of the values"),
                                         TRANSFORM_NONE, TRANSFORMS);
static_assert(FORECAST_MAX_FOLDS == 512, "the folds range text says 512");
static_assert(FORECAST_MAX_LIST == OPTION_MAX_LIST, "lists hold what the reader allows");

constexpr OptionField FORECAST_FIELDS[] = {CONFIDENCE_LEVEL, CONTEXT_LIMIT, MODEL,   INTERVAL_METHOD, FOLDS, GAP,
                                           CANDIDATES,       FILL,          EXPLAIN, TRANSFORM};
// The whole series by default: 0 means no limit here.
constexpr OptionField ANOMALY_FIELDS[] = {ANOMALY_PROB_THRESHOLD, option_default(CONTEXT_LIMIT, 0), MODEL, FILL,
                                          TRANSFORM};
constexpr OptionField BACKTEST_FIELDS[] = {TIME_COL,      VALUE_COL, GROUP_COLS, CONFIDENCE_LEVEL,
                                           CONTEXT_LIMIT, FOLDS,     GAP,        INTERVAL_METHOD,
                                           MODEL,         FILL,      TRANSFORM};

constexpr auto FORECAST_KEYS = option_keys(FORECAST_FIELDS);
constexpr auto ANOMALY_KEYS = option_keys(ANOMALY_FIELDS);
constexpr auto BACKTEST_KEYS = option_keys(BACKTEST_FIELDS);

// Every text field of the record, for freeing whatever a table stored.
constexpr OptionField OWNED_FIELDS[] = {TIME_COL, VALUE_COL, GROUP_COLS, MODEL, CANDIDATES};
constexpr auto OWNED_KEYS = option_keys(OWNED_FIELDS);
constexpr OptionTable OWNED = option_table("", OWNED_FIELDS, OWNED_KEYS);

} // namespace

const char *const *const AGG_FORECAST_OPTION_KEYS = FORECAST_KEYS.keys;
const char *const *const AGG_ANOMALY_OPTION_KEYS = ANOMALY_KEYS.keys;
const char *const *const BACKTEST_OPTION_KEYS = BACKTEST_KEYS.keys;

const OptionTable FORECAST_OPTIONS = option_table("forecast", FORECAST_FIELDS, FORECAST_KEYS);
const OptionTable ANOMALY_OPTIONS = option_table("detect_anomalies", ANOMALY_FIELDS, ANOMALY_KEYS);
const OptionTable BACKTEST_OPTIONS = option_table("backtest", BACKTEST_FIELDS, BACKTEST_KEYS);

void forecast_opts_free(forecast_opts *o) { options_free(&OWNED, o); }

bool forecast_log_values(const double *y, int64_t n, double *out) {
  for (int64_t t = 0; t < n; t++)
    if (!(y[t] > 0)) return false;
  for (int64_t t = 0; t < n; t++)
    out[t] = portable_log(y[t]);
  return true;
}

double forecast_from_log(double v) { return portable_exp(v); }

char *forecast_log_refusal() {
  return sqlite3_mprintf("%s: transform 'log' needs every value > 0; this series has a value <= 0 (drop the "
                         "transform option or shift the values)",
                         VORNEL_ERR_OPTIONS);
}
