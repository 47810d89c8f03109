// The student runtime behind vornel() in student mode: read the registry blob once, map the
// apply query's columns onto the student's inputs by name, and evaluate every row. Per row
// nothing is allocated but the row_ref copy and the output text.
#include "registry/registry.h"
#include "tabular/vornel_internal.h"
#include <string.h>

namespace {

constexpr int64_t FOREST_BATCH = 64; // apply rows scored together by a boosted student

// The student's inputs as one view over the three kinds.
struct StudentInputs {
  int32_t count;      // F
  char *const *names; // F names (entries may be null in a hand-built model)
};

StudentInputs inputs_of(const student_model &s) {
  switch (s.kind) {
  case STUDENT_KIND_TREE:
    return {s.tree.feature_count, s.tree.feature_names};
  case STUDENT_KIND_FOREST:
    return {s.forest.feature_count, s.forest.feature_names};
  default:
    return {s.mlp.input_count, s.mlp.feature_names};
  }
}

// Evaluation scratch, sized once per statement.
struct Scratch {
  HostPtr<float> hidden;  // H floats (perceptron)
  HostPtr<float> outputs; // O floats (perceptron)
  HostPtr<double> scores; // K doubles (boosted trees)
};

bool scratch_alloc(const student_model &s, Scratch *sc) {
  if (s.kind == STUDENT_KIND_MLP) {
    sc->hidden.reset(host_calloc<float>(s.mlp.hidden_count > 0 ? s.mlp.hidden_count : 1));
    sc->outputs.reset(host_calloc<float>(s.mlp.output_count));
    return sc->hidden && sc->outputs;
  }
  if (s.kind == STUDENT_KIND_FOREST) {
    sc->scores.reset(host_calloc<double>(s.forest.output_count));
    return (bool)sc->scores;
  }
  return true;
}

// About how many multiply-adds scoring one apply row takes: the interrupt poll's unit of work.
int64_t row_work(const student_model &s) {
  switch (s.kind) {
  case STUDENT_KIND_TREE:
    return 32;
  case STUDENT_KIND_FOREST:
    return 8 * (int64_t)s.forest.tree_count + s.forest.feature_count;
  default:
    return ((int64_t)s.mlp.input_count + s.mlp.output_count + 1) * (s.mlp.hidden_count + 1);
  }
}

// Maps the apply query's columns onto the student's inputs by name: position[c] is the input
// that apply column c + 1 fills. Returns SQLITE_OK, or a failure with *out_msg.
int map_apply_columns(sqlite3_stmt *stmt, const StudentInputs &in, int32_t *position, char **out_msg) {
  const int columns = sqlite3_column_count(stmt);
  if (columns != in.count + 1)
    return vornel0_fail(out_msg, sqlite3_mprintf("%s: apply features (%d) must match the student's (%d)",
                                                 VORNEL_ERR_SCHEMA, columns - 1, in.count));
  bool filled[STUDENT_MAX_FEATURES] = {};
  for (int c = 1; c < columns; c++) {
    const char *name = sqlite3_column_name(stmt, c);
    if (!name) return vornel0_fail_nomem(out_msg);
    int32_t match = -1;
    for (int32_t f = 0; f < in.count; f++) // the last match wins
      if (strcmp(in.names && in.names[f] ? in.names[f] : "", name) == 0) match = f;
    if (match < 0)
      return vornel0_fail(out_msg, sqlite3_mprintf("%s: apply column '%s' is not a student feature", VORNEL_ERR_SCHEMA,
                                                   *name ? name : "?"));
    position[c - 1] = match;
    filled[match] = true;
  }
  // A column named twice leaves some input unfilled, which would be read undefined.
  for (int32_t f = 0; f < in.count; f++)
    if (!filled[f])
      return vornel0_fail(
          out_msg, sqlite3_mprintf("%s: apply features must match the student's features exactly", VORNEL_ERR_SCHEMA));
  return SQLITE_OK;
}

// Reads the current row's features into inputs; false when one is not a number.
bool read_inputs(sqlite3_stmt *stmt, int columns, const int32_t *position, float *inputs) {
  for (int c = 1; c < columns; c++) {
    switch (sqlite3_column_type(stmt, c)) {
    case SQLITE_INTEGER:
      inputs[position[c - 1]] = (float)sqlite3_column_int64(stmt, c);
      break;
    case SQLITE_FLOAT:
      inputs[position[c - 1]] = (float)sqlite3_column_double(stmt, c);
      break;
    default:
      return false;
    }
  }
  return true;
}

// Scores one row with a tree or perceptron student (or a boosted one unbatched).
int score_row(const student_model &s, Scratch &scratch, const float *inputs, vornel0_result *row, char **out_msg) {
  double confidence = 0.0;
  int has_confidence = 0;
  int erc;
  switch (s.kind) {
  case STUDENT_KIND_TREE:
    erc = tree_eval_row(&s.tree, inputs, &row->prediction, &confidence, &has_confidence);
    if (erc == SQLITE_ERROR)
      return vornel0_fail(out_msg, sqlite3_mprintf("%s: malformed tree traversal", VORNEL_ERR_SCHEMA));
    break;
  case STUDENT_KIND_FOREST:
    erc = forest_eval_row(&s.forest, inputs, scratch.scores.get(), &row->prediction, &confidence, &has_confidence);
    break;
  default:
    erc = mlp_eval_row(&s.mlp, inputs, scratch.hidden.get(), scratch.outputs.get(), &row->prediction, &confidence,
                       &has_confidence);
    break;
  }
  if (erc != SQLITE_OK) return vornel0_fail_nomem(out_msg);
  row->confidence = confidence;
  row->has_confidence = has_confidence;
  return SQLITE_OK;
}

// Boosted trees are evaluated a batch of rows at a time (one tree over all of them), with the
// same sums per row.
struct ForestBatch {
  const forest_model *forest = nullptr;
  int32_t width = 1;      // scores per row
  HostPtr<float> inputs;  // FOREST_BATCH x STUDENT_MAX_FEATURES
  HostPtr<double> scores; // FOREST_BATCH x width
  HostPtr<int64_t> rows;  // result row of each pending input
  int64_t pending = 0;

  bool init(const forest_model *f) {
    forest = f;
    width = f->task == STUDENT_CLASSIFY ? f->output_count : 1;
    inputs.reset(host_calloc<float>(FOREST_BATCH * STUDENT_MAX_FEATURES));
    scores.reset(host_calloc<double>(FOREST_BATCH * (int64_t)width));
    rows.reset(host_calloc<int64_t>(FOREST_BATCH));
    return inputs && scores && rows;
  }
  float *next_inputs() const { return inputs.get() + pending * STUDENT_MAX_FEATURES; }
  // Scores the pending rows into their results; false when memory runs out.
  bool flush(ResultRows &results) {
    forest_score_rows(forest, inputs.get(), STUDENT_MAX_FEATURES, pending, scores.get());
    for (int64_t i = 0; i < pending; i++) {
      vornel0_result &row = results.rows[rows[i]];
      int has = 0;
      if (forest_row_result(forest, scores.get() + i * width, &row.prediction, &row.confidence, &has) != SQLITE_OK)
        return false;
      row.has_confidence = has;
    }
    pending = 0;
    return true;
  }
};

// Scores every row of the apply query into out. Returns SQLITE_OK, SQLITE_INTERRUPT, or a
// failure with *out_msg.
int score_rows(sqlite3 *db, sqlite3_stmt *stmt, const student_model &student, const int32_t *position, ResultRows &out,
               char **out_msg) {
  Scratch scratch;
  if (!scratch_alloc(student, &scratch)) return vornel0_fail_nomem(out_msg);
  ForestBatch batch;
  const bool batched = student.kind == STUDENT_KIND_FOREST;
  if (batched && !batch.init(&student.forest)) return vornel0_fail_nomem(out_msg);
  const int columns = sqlite3_column_count(stmt);
  float single[STUDENT_MAX_FEATURES];
  // Reading a row asks the host too, so an interrupt may reach either; both stop alike.
  Cancel cancel = vornel0_cancel(db);
  const int64_t work = row_work(student);
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    if (cancel.stop(work)) return SQLITE_INTERRUPT;
    float *inputs = batched ? batch.next_inputs() : single;
    if (out.full()) return vornel_refuse_apply_rows(out_msg);
    vornel0_result *row = out.add();
    if (!row || !record_row_ref(stmt, row)) return vornel0_fail_nomem(out_msg);
    if (!read_inputs(stmt, columns, position, inputs)) {
      row->status = VORNEL_STATUS_NON_NUMERIC;
      continue;
    }
    if (batched) {
      batch.rows[batch.pending++] = out.rows.len - 1;
      if (batch.pending == FOREST_BATCH && !batch.flush(out)) return vornel0_fail_nomem(out_msg);
      continue;
    }
    if ((rc = score_row(student, scratch, inputs, row, out_msg)) != SQLITE_OK) return rc;
  }
  if (rc == SQLITE_NOMEM) return vornel0_fail_nomem(out_msg);
  if (rc == SQLITE_INTERRUPT) return rc;
  if (rc != SQLITE_DONE)
    return vornel0_fail(out_msg,
                        sqlite3_mprintf("%s: apply query failed: %s", VORNEL_ERR_RESOURCE, sqlite3_errmsg(db)));
  if (batch.pending && !batch.flush(out)) return vornel0_fail_nomem(out_msg);
  return SQLITE_OK;
}

} // namespace

int student_run_blob(sqlite3 *db, const char *apply_sql, const unsigned char *weights, int64_t weights_len,
                     const char *device, const char *precision, vornel0_result **out_rows, int64_t *out_count,
                     char **out_msg) {
  *out_rows = nullptr;
  *out_count = 0;
  *out_msg = nullptr;
  int rc = vornel_refuse_device(device, precision, out_msg);
  if (rc != SQLITE_OK) return rc;
  student_model student;
  rc = student_read(weights, weights_len, &student, out_msg);
  if (rc != SQLITE_OK) return rc;
  FreeGuard<student_model, student_free> student_guard(&student);
  StmtGuard stmt;
  if (!apply_sql)
    return vornel0_fail(out_msg,
                        sqlite3_mprintf("%s: apply query does not parse: %s", VORNEL_ERR_SCHEMA, sqlite3_errmsg(db)));
  // A stored student's apply query may hold more than one statement; only the first runs.
  rc = vornel0_prepare_query(db, apply_sql, "apply query", false, stmt.out(), out_msg);
  if (rc == SQLITE_NOMEM) return vornel0_fail_nomem(out_msg);
  if (rc != SQLITE_OK) return rc;
  int32_t position[STUDENT_MAX_FEATURES];
  if ((rc = map_apply_columns(stmt, inputs_of(student), position, out_msg)) != SQLITE_OK) return rc;
  ResultRows rows;
  if ((rc = score_rows(db, stmt, student, position, rows, out_msg)) != SQLITE_OK) return rc;
  *out_rows = rows.release(out_count);
  return SQLITE_OK;
}

int vornel0_tree_run(sqlite3 *db, const char *model_id, const char *apply_sql, const vornel0_model_row *row,
                     const char *device, const char *precision, vornel0_result **out_rows, int64_t *out_count,
                     char **out_msg) {
  (void)model_id; // the runtime's messages do not name the model
  return student_run_blob(db, apply_sql, row ? row->weights : nullptr, row ? row->weights_len : 0, device, precision,
                          out_rows, out_count, out_msg);
}
