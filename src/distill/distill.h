// Distillation of tabular students: distill_vornel and its tree, boosted-tree and perceptron
// trainers. distill_vtab.cpp holds the eponymous table (options, checks, the registry writer);
// train_set.cpp reads rows and labels, train_students.cpp trains, distill_train.cpp scores,
// serialises and stores.
#pragma once
#include "core/api.h"
#include "core/vtab.h"

extern const VtabShape DISTILL_SHAPE;
extern const OptionTable DIST_OPTIONS;
struct vornel0_registry_writer;

// Options of distill_vornel; every field is an owned host text or null, freed by dist_opts_free.
struct distill_options {
  char *target;       // label column of train_query (required)
  char *task;         // "classify" or "regress"; null means classify
  char *student_id;   // registry id of the new student (required)
  char *teacher;      // teacher model id passed to vornel() as its model
  char *student_kind; // "tree", "gbt" or "mlp"
  char *proba;        // JSON array text: class-probability columns
  char *classes;      // JSON array text: the class label of each proba column
};

void dist_opts_free(distill_options *opts);

// The one output row; model_id is owned (sqlite3_free) and set only on success.
struct distill_result_row {
  char *model_id;        // the stored student id; owned
  char content_hash[65]; // hex SHA-256 of the stored blob
  int32_t train_rows;    // rows read from train_query
  double holdout_metric; // accuracy (classification) or RMSE (regression) on the holdout
};

// Everything after option validation: reads the rows, obtains labels, trains, scores the
// holdout fifth, serialises, hashes and inserts. Returns 0 with *row filled, or a host code
// with an owned message in *out_msg (null only when the message itself ran out of memory).
// Everything it allocates is freed before it returns, except row->model_id on success.
// The student is stored through writer, opened by the caller before any row is read.
int distill_train(sqlite3 *db, vornel0_registry_writer *writer, const char *train_query, const distill_options *opts,
                  distill_result_row *row, char **out_msg);
