// Student blobs of every layout: the first input byte picks a magic (VNTREE01, VNGBT01,
// VNMLP01, VNFCST01, VNFCST02) and the rest follows it. A blob either loads or is refused with
// a message; a loaded student is evaluated once on zero inputs, and nothing may stay allocated.
#include "fuzz_support.h"
// After fuzz_support.h: the extension's headers route host calls through its routine table,
// which the first fuzz_open() sets.
#include "fstudent/fstudent.h"
#include "tabular/student.h"

namespace {

const char MAGICS[5][9] = {"VNTREE01", "VNGBT01", "VNMLP01", "VNFCST01", "VNFCST02"};

void run_tabular(const unsigned char *blob, int64_t len) {
  student_model model = {};
  char *msg = nullptr;
  int rc = student_read(blob, len, &model, &msg);
  FUZZ_CHECK(rc == SQLITE_OK || rc == SQLITE_ERROR || rc == SQLITE_NOMEM);
  FUZZ_CHECK(rc == SQLITE_OK || msg != nullptr || rc == SQLITE_NOMEM);
  sqlite3_free(msg);
  if (rc != SQLITE_OK) return;
  float inputs[64] = {0};
  char *text = nullptr;
  double confidence = 0;
  int has_confidence = 0;
  if (model.kind == STUDENT_KIND_TREE) {
    tree_eval_row(&model.tree, inputs, &text, &confidence, &has_confidence);
  } else if (model.kind == STUDENT_KIND_FOREST) {
    double *scores = (double *)sqlite3_malloc64(sizeof(double) * (size_t)(model.forest.output_count + 1));
    if (scores) forest_eval_row(&model.forest, inputs, scores, &text, &confidence, &has_confidence);
    sqlite3_free(scores);
  } else if (model.kind == STUDENT_KIND_MLP) {
    float *hidden = (float *)sqlite3_malloc64(sizeof(float) * (size_t)(model.mlp.hidden_count + 1));
    float *outputs = (float *)sqlite3_malloc64(sizeof(float) * (size_t)(model.mlp.output_count + 1));
    if (hidden && outputs) mlp_eval_row(&model.mlp, inputs, hidden, outputs, &text, &confidence, &has_confidence);
    sqlite3_free(hidden);
    sqlite3_free(outputs);
  }
  sqlite3_free(text);
  student_free(&model);
}

void run_forecast(const unsigned char *blob, int64_t len) {
  fcst_student student = {};
  char *msg = nullptr;
  int rc = fcst_deserialize(blob, len, &student, &msg);
  FUZZ_CHECK(rc == SQLITE_OK || rc == SQLITE_ERROR || rc == SQLITE_NOMEM);
  sqlite3_free(msg);
  if (rc != SQLITE_OK) return;
  double values[40];
  for (int i = 0; i < 40; i++)
    values[i] = 10 + i % 7;
  double centre[4], lower[4], upper[4];
  int steps = student.horizon < 4 ? student.horizon : 4;
  if (steps > 0) fcst_run(steps, 0.9, centre, lower, upper, &student, 40, values);
  fcst_student_free(&student);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  sqlite3_int64 baseline;
  sqlite3 *db = fuzz_open(&baseline);
  int which = data[0] % 5;
  unsigned char *blob = (unsigned char *)malloc(size + 8);
  memcpy(blob, MAGICS[which], 8);
  memcpy(blob + 8, data + 1, size - 1);
  int64_t len = (int64_t)size + 7;
  if (which < 3)
    run_tabular(blob, len);
  else
    run_forecast(blob, len);
  free(blob);
  fuzz_close(db, baseline);
  return 0;
}
