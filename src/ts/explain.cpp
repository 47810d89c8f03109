// The "explain" key of a forecast document: enough to check the model choice by hand. The
// scores are computed again here, by the same routines the choice used, so documents without
// the option pay nothing for it.
#include "ts/candidates.h"
#include "ts/extended.h"
#include <math.h>

namespace {

// Writes the step: the calendar unit as text, else the average step in seconds.
void append_step(sqlite3_str *doc, const fc_explain_input *in) {
  char unit[32];
  if (ts_grid_step_text(in->calendar, unit, sizeof unit))
    agg_json_str(doc, unit);
  else
    json_append_number(doc, (double)in->step_ms / 1000.0);
}

// The extended models' season on the whole prepared series and its source.
void append_extended_period(sqlite3_str *doc, const fc_explain_input *in) {
  ts_scratch sc = {};
  ts_season_source source;
  const int season = ts_extended_season(in->season_calendar, in->y, in->m, &sc, &source);
  ts_scratch_free(&sc);
  sqlite3_str_appendf(doc, "%d,\"period_source\":\"%s\"", season > 1 ? season : 0, ts_season_source_name(source));
}

bool is_extended(const char *name) { return ts_extended_find(name) || strcmp(name, "auto-extended") == 0; }

// The period the final fit of a model sees on the whole prepared series, or null.
void append_period(sqlite3_str *doc, const ts_model *model, const double *y, int m, int *cached) {
  if (!model || !model->uses_period) {
    sqlite3_str_appendall(doc, "null");
    return;
  }
  if (*cached < 0) *cached = m >= 6 ? detect_period(y, m) : 0;
  sqlite3_str_appendf(doc, "%d", *cached);
}

} // namespace

int fc_explain_append(sqlite3_str *doc, const fc_explain_input *in) {
  sqlite3_str_appendall(doc, ",\"explain\":{\"step\":");
  if (in->m == 0) {
    sqlite3_str_appendall(doc, "null,\"folds\":0,\"candidates\":[]}");
    return SQLITE_OK;
  }
  append_step(doc, in);
  int period = -1;
  if (!in->automatic) {
    sqlite3_str_appendall(doc, ",\"folds\":0,\"candidates\":[{\"model\":");
    agg_json_str(doc, in->ran);
    sqlite3_str_appendall(doc, ",\"period\":");
    if (is_extended(in->ran))
      append_extended_period(doc, in);
    else
      append_period(doc, in->ran_model, in->y, in->m, &period);
    sqlite3_str_appendall(doc, "}]}");
    return SQLITE_OK;
  }
  const int count = in->list ? in->list->count : TS_MODEL_COUNT;
  HostPtr<double> scores(host_calloc<double>(count));
  if (!scores) return SQLITE_NOMEM;
  const int k = ts_fold_count(in->m, in->h, in->gap, in->folds);
  const double scale = ts_mase_scale(in->y, in->m);
  ts_scratch sc = {};
  int rc = 0;
  if (k > 0 && in->list) {
    rc = fc_select_candidates(in->list, in->y, in->m, in->h, in->gap, in->folds, &sc, scores.get());
    // Student lists are chosen by unscaled error; dividing every score by the same scale keeps
    // their order and makes them comparable with the statistical models' scores.
    for (int c = 0; rc >= -1 && scale > 0 && c < count; c++)
      scores[c] = scores[c] / scale;
  } else if (k > 0) {
    const ts_model *models[TS_MODEL_COUNT];
    for (int i = 0; i < TS_MODEL_COUNT; i++)
      models[i] = &TS_MODELS[i];
    rc = ts_score_models(models, TS_MODEL_COUNT, in->y, in->m, in->h, in->gap, in->folds, scale, scores.get(), &sc);
  }
  ts_scratch_free(&sc);
  if (rc < -1) return SQLITE_NOMEM;
  sqlite3_str_appendf(doc, ",\"folds\":%d,\"candidates\":[", k);
  for (int c = 0; c < count; c++) {
    const ts_model *model = in->list ? in->list->items[c].model : &TS_MODELS[c];
    const char *name = in->list ? in->list->items[c].name : TS_MODELS[c].name;
    sqlite3_str_appendall(doc, c ? ",{\"model\":" : "{\"model\":");
    agg_json_str(doc, name);
    sqlite3_str_appendall(doc, ",\"period\":");
    if (is_extended(name))
      append_extended_period(doc, in);
    else
      append_period(doc, model, in->y, in->m, &period);
    sqlite3_str_appendall(doc, ",\"score\":");
    if (k > 0)
      json_append_number(doc, scores[c]);
    else
      sqlite3_str_appendall(doc, "null");
    sqlite3_str_appendchar(doc, 1, '}');
  }
  sqlite3_str_appendall(doc, "]}");
  return SQLITE_OK;
}
