// Forecast students: the quantile perceptron that imitates a forecaster, its VNFCST blob,
// its inference, and the distill_forecast table-valued function that trains and stores one.
// The numeric cores (blob reader and writer, fcst_infer, fcst_run) take plain records and
// never see a database; fd_* callbacks and fdistill_train are the SQL layer.
#pragma once
#include "core/api.h"
#include "core/vtab.h"
#include "fstudent/deps.h"

extern const VtabShape DISTILL_FORECAST_SHAPE;
extern const OptionTable FCST_DIST_OPTIONS;
struct vornel0_registry_writer;

// Largest sizes a stored student may have (the blob reader refuses anything larger).
inline constexpr int FCST_MAX_CONTEXT = 4096;
inline constexpr int FCST_MAX_HIDDEN = 2048;
inline constexpr int FCST_MAX_HORIZON = 2048;
inline constexpr int FCST_MAX_LEVELS = 64;
inline constexpr int FCST_MAX_OUTPUTS = 8192;

// A forecast student: from the last L values of a series it emits, for each of E steps, Q
// quantiles of the value at that step (output s * Q + j is step s, level j). The network works
// on the context standardised by its own mean and deviation.
struct fcst_student {
  mlp_model net;   // regression network: inputs L, outputs E * Q; owned, freed by fcst_student_free
  int32_t horizon; // E, steps the student was trained for
  int32_t nquant;  // Q, number of quantile levels
  float *levels;   // Q levels, strictly increasing in (0,1); owned
};

// Reads a VNFCST02 or VNFCST01 blob into *student. Returns 0, SQLITE_ERROR or SQLITE_NOMEM;
// on failure *out_msg holds a built message (caller frees) and the student is released.
int fcst_deserialize(const void *blob, int64_t size, fcst_student *student, char **out_msg);
// Writes the student as a VNFCST02 blob into *out_blob (host memory, caller frees) and its
// length into *out_size. Returns 0, SQLITE_NOMEM, or SQLITE_MISUSE for a record that no blob
// version can hold.
int fcst_serialize(const fcst_student *student, unsigned char **out_blob, int64_t *out_size);
// One evaluation on the L context values: standardises them by their mean and population
// deviation (floored at 1e-9) into inputs (L floats), runs the network with hidden (H floats)
// and outputs (E * Q floats) as scratch, and returns the mean and deviation used. An output o
// stands for the value o * scale + centre.
void fcst_infer(const fcst_student *student, const double *context, float *inputs, float *hidden, float *outputs,
                double *out_centre, double *out_scale);
// Forecasts steps (1..E) values after the n values of a series at confidence level
// confidence: point forecasts (the 0.5 quantile) and interval bounds. Returns 0 or
// SQLITE_NOMEM (no outputs written).
int fcst_run(int steps, double confidence, double *out_centre, double *out_lower, double *out_upper,
             const fcst_student *student, int64_t n, const double *values);
// Frees the levels and the network and zeroes the record; a null record is ignored.
void fcst_student_free(fcst_student *student);

struct fcst_kernel;

// A loaded student with the scratch its evaluations reuse, so running it over many folds
// allocates nothing.
struct fcst_runner {
  fcst_student st;     // the student (owned)
  fcst_kernel *kernel; // fast layout of st's network, null when there was no memory for it; owned
  double *context;     // L values of the current window; owned
  double *values;      // Q values of one step, sorted; owned
  float *inputs;       // L; owned
  float *hidden;       // max(H, 1); owned
  float *outputs;      // E * Q; owned
};
// Allocates the scratch for runner->st, already read, and the fast layout when memory allows
// (it only saves time: both give the same bits). Returns 0 or SQLITE_NOMEM.
int fcst_runner_init(fcst_runner *runner);
// Frees the scratch, the layout and the student, and zeroes the record.
void fcst_runner_free(fcst_runner *runner);
// The student's 0.5-quantile forecasts of steps 1..steps (at most E) after the first `end`
// values of y, from the window of its L values ending there (positions before the series
// take y[0]).
void fcst_runner_median(fcst_runner *runner, const double *y, int64_t end, int steps, double *out);

// Trains a forecast student from the windows of train_query (L context columns followed by
// E * Q teacher quantiles), stores it through writer under student_id and reports its
// content hash (65 bytes) and held-out error. Returns 0, or a result code with *out_msg set.
int fdistill_train(sqlite3 *db, vornel0_registry_writer *writer, const char *train_query, int context, int horizon,
                   int nquant, const float *levels, const char *student_id, int hidden, int epochs, float lr,
                   int *out_rows, double *out_rmse, char *out_hash, char **out_msg);
