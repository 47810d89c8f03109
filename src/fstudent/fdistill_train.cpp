// Training a forecast student from a user's windows: each row of the train query is one
// window, its first L columns the context and the next E * Q columns a teacher's quantiles
// (step after step, levels ascending within a step). Every window is standardised by its own
// context's mean and deviation; the last fifth is held out to report the error; the student
// is stored in the registry under its content hash.
#include "distill/train_checks.h"
#include "fstudent/fstudent.h"
#include "registry/registry.h"
#include <math.h>

namespace {

constexpr int64_t FIRST_ROW_CAPACITY = 256;

// The training windows: inputs (rows x L) and targets (rows x E * Q), standardised, binary32.
struct Windows {
  HostArray<float> inputs;
  HostArray<float> targets;
  int64_t rows = 0;
  int64_t capacity = 0; // rows allocated in both matrices
  bool grow(int L, int O) {
    if (rows < capacity) return true;
    int64_t want = capacity ? capacity * 2 : FIRST_ROW_CAPACITY;
    if (!inputs.reserve(want * L) || !targets.reserve(want * O)) return false;
    capacity = want;
    return true;
  }
};

// Reads every row of the prepared train query into w. Returns SQLITE_OK, or an error code
// with *out_msg set.
int read_windows(sqlite3 *db, sqlite3_stmt *st, int L, int O, Windows *w, char **out_msg) {
  HostPtr<double> row(host_calloc<double>(L + O));
  if (!row) {
    *out_msg = vornel0_nomem_msg();
    return SQLITE_ERROR;
  }
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    if (w->rows >= INT32_MAX || !w->grow(L, O)) {
      *out_msg = vornel0_nomem_msg();
      return SQLITE_ERROR;
    }
    for (int c = 0; c < L + O; c++)
      row[c] = sqlite3_column_double(st, c); // NULL reads as 0
    double sum = 0.0;
    for (int i = 0; i < L; i++)
      sum += row[i];
    double mu = sum / L, ss = 0.0;
    for (int i = 0; i < L; i++)
      ss += (row[i] - mu) * (row[i] - mu);
    double sigma = sqrt(ss / L);
    if (sigma < 1e-9) sigma = 1e-9;
    float *in = w->inputs.data + w->rows * L;
    float *tg = w->targets.data + w->rows * O;
    for (int i = 0; i < L; i++)
      in[i] = (float)((row[i] - mu) / sigma);
    for (int j = 0; j < O; j++)
      tg[j] = (float)((row[L + j] - mu) / sigma);
    // A window the trainer cannot represent would train a student of infinities.
    if (first_unfit_double(row.get(), L + O) >= 0 || first_unfit_float(in, L) >= 0 || first_unfit_float(tg, O) >= 0) {
      *out_msg = sqlite3_mprintf("%s: train_query window %lld is not finite in binary32, as given or standardised by "
                                 "its context; filter or rescale it",
                                 VORNEL_ERR_SCHEMA, (long long)w->rows + 1);
      return SQLITE_ERROR;
    }
    w->rows++;
  }
  // Stopping at an error would train on whatever came before it and report success.
  if (rc != SQLITE_DONE) {
    *out_msg = sqlite3_mprintf("%s: train_query failed: %s", VORNEL_ERR_RESOURCE, sqlite3_errmsg(db));
    return SQLITE_ERROR;
  }
  return SQLITE_OK;
}

// Root mean squared error of the network over rows first..first+count-1, in standardised units.
// Returns a negative value when its scratch cannot be allocated.
double holdout_rmse(const mlp_model *net, const Windows &w, int64_t first, int64_t count, int L, int O) {
  HostPtr<float> hidden(host_calloc<float>(net->hidden_count > 0 ? net->hidden_count : 1));
  HostPtr<float> out(host_calloc<float>(O));
  if (!hidden || !out) return -1.0;
  double ss = 0.0;
  for (int64_t r = first; r < first + count; r++) {
    mlp_forward(net, w.inputs.data + r * L, hidden.get(), out.get());
    const float *tg = w.targets.data + r * O;
    for (int j = 0; j < O; j++) {
      double d = (double)out[j] - (double)tg[j];
      ss += d * d;
    }
  }
  return sqrt(ss / ((double)count * O));
}

} // namespace

int fdistill_train(sqlite3 *db, vornel0_registry_writer *writer, const char *train_query, int L, int E, int Q,
                   const float *levels, const char *student_id, int H, int epochs, float lr, int *out_rows,
                   double *out_rmse, char *out_hash, char **out_msg) {
  *out_msg = nullptr;
  const int O = E * Q;
  Windows w;
  {
    StmtGuard st;
    if (sqlite3_prepare_v2(db, train_query, -1, st.out(), nullptr) != SQLITE_OK) {
      *out_msg = sqlite3_mprintf("%s: cannot prepare train_query: %s", VORNEL_ERR_SCHEMA, sqlite3_errmsg(db));
      return SQLITE_ERROR;
    }
    // The query is stepped here, inside the caller's statement: a write must not run.
    if (!sqlite3_stmt_readonly(st)) {
      *out_msg = sqlite3_mprintf("%s: train_query must be a read-only SELECT", VORNEL_ERR_QUERY_NOT_READONLY);
      return SQLITE_ERROR;
    }
    int cols = sqlite3_column_count(st);
    if (cols != L + O) {
      *out_msg = sqlite3_mprintf("%s: train_query must return context + horizon*nquant = %d columns, got %d",
                                 VORNEL_ERR_SCHEMA, L + O, cols);
      return SQLITE_ERROR;
    }
    int rc = read_windows(db, st, L, O, &w, out_msg);
    if (rc != SQLITE_OK) return rc;
  }
  const int N = (int)w.rows;
  if (N < 2) {
    *out_msg = sqlite3_mprintf("%s: need at least 2 training windows, got %d", VORNEL_ERR_SCHEMA, N);
    return SQLITE_ERROR;
  }
  const int held = N < 5 ? 1 : N / 5;

  fcst_student student{};
  Cancel cancel = vornel0_cancel(db);
  int rc = train_mlp(w.inputs.data, N - held, L, O, nullptr, w.targets.data, 1, H, epochs, lr, 1, &student.net, out_msg,
                     &cancel);
  if (rc == SQLITE_OK && (rc = dist_check_trained(nullptr, nullptr, &student.net, out_msg)) != SQLITE_OK)
    fcst_student_free(&student);
  if (rc != SQLITE_OK) return rc;
  double rmse = holdout_rmse(&student.net, w, N - held, held, L, O);
  student.horizon = E;
  student.nquant = Q;
  student.levels = host_calloc<float>(Q);
  if (rmse < 0 || !student.levels) {
    fcst_student_free(&student);
    *out_msg = vornel0_nomem_msg();
    return SQLITE_ERROR;
  }
  memcpy(student.levels, levels, sizeof(float) * Q);

  unsigned char *raw = nullptr;
  int64_t size = 0;
  rc = fcst_serialize(&student, &raw, &size);
  fcst_student_free(&student);
  HostPtr<unsigned char> blob(raw);
  if (rc != SQLITE_OK) {
    *out_msg = sqlite3_mprintf("%s: student serialize failed", VORNEL_ERR_RESOURCE);
    return SQLITE_ERROR;
  }
  vornel0_hash_bytes(blob.get(), size, out_hash);
  vornel0_new_model m{};
  m.model_id = student_id;
  m.content_hash = out_hash;
  m.weights = blob.get();
  m.weights_len = size;
  rc = vornel0_store_student(writer, &m, out_msg);
  if (rc == SQLITE_NOMEM && !*out_msg) *out_msg = sqlite3_mprintf("%s", VORNEL_MSG_NOMEM);
  if (rc != SQLITE_OK) return rc;
  *out_rows = N;
  *out_rmse = rmse;
  return SQLITE_OK;
}
