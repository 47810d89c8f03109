// Candidate lists of the forecast final: their records and their scoring by rolling-origin
// error. A list holds statistical models and, once loaded by the student hooks, students.
#include "ts/candidates.h"
#include <math.h>

namespace {
constexpr int FIRST_CANDIDATES = 11;
}

void fc_candidate_free(fc_candidate *c) {
  if (!c) return;
  sqlite3_free(c->owned_name);
  if (c->student) fc_student_free(c->student);
  c->owned_name = nullptr;
  c->student = nullptr;
}

bool fc_list_push(fc_candidate_list *list, const fc_candidate &c) {
  if (!host_grow(&list->items, &list->cap, (int64_t)list->count + 1, FIRST_CANDIDATES)) {
    fc_candidate lost = c;
    fc_candidate_free(&lost);
    return false;
  }
  list->items[list->count++] = c;
  return true;
}

void fc_models_free(fc_candidate_list *list) {
  if (!list) return;
  for (int i = 0; i < list->count; i++)
    fc_candidate_free(&list->items[i]);
  sqlite3_free(list->items);
  list->items = nullptr;
  list->count = list->cap = 0;
}

namespace {

int student_fold_forecast(const void *ctx, int c, const double *y, int n, int o, int steps, double *out) {
  const fc_candidate_list *list = (const fc_candidate_list *)ctx;
  return fc_student_fold_forecast(&list->items[c], y, n, o, steps, out);
}

} // namespace

int fc_select_candidates(const fc_candidate_list *list, const double *y, int n, int h, int g, int F, ts_scratch *sc,
                         double *out_scores) {
  if (list->count == 0) return -1;
  HostPtr<const ts_model *> models(host_calloc<const ts_model *>(list->count));
  HostPtr<double> scores(host_calloc<double>(list->count));
  if (!models || !scores) return -2;
  for (int c = 0; c < list->count; c++)
    models[c] = list->items[c].model;
  const int k = ts_score_models(models.get(), list->count, y, n, h, g, F, 0, scores.get(), sc, nullptr,
                                student_fold_forecast, list);
  if (k == TS_STOPPED) return k;
  if (k < 0) return -2;
  if (k == 0) return -1;
  if (out_scores) memcpy(out_scores, scores.get(), (size_t)list->count * sizeof(double));
  return ts_best_score(scores.get(), list->count);
}
