// The training set of distill_vornel and the steps that build it and train on it, shared by
// the three files of the job: train_set.cpp reads the rows and the labels, train_students.cpp
// dispatches to the trainers, distill_train.cpp scores, stores and runs the whole job.
#pragma once
#include "core/intern.h"
#include "distill/distill.h"
#include "tabular/student.h"

namespace vornel_distill {

constexpr int DIST_MAX_FEATURES = STUDENT_MAX_FEATURES; // a student reads no more
constexpr int DIST_MIN_ROWS = 8;
constexpr int64_t DIST_FIRST_ROWS = 256;

// Index of label in the vocabulary, appending it when new (capacity starts at 8); index holds
// the same texts in the same order for the look-up. Returns -1 when memory runs out.
int32_t intern_label(HostTexts *vocab, TextVocab *index, const char *label);

// The training set; freed by the destructor.
struct TrainSet {
  HostTexts names;                             // feature names, query column order
  int feature_col[DIST_MAX_FEATURES + 1] = {}; // each feature's column in train_query
  int m = 0;                                   // feature count
  int target_col = -1;                         // target column in train_query
  HostArray<float> x;                          // n x m features
  HostArray<double> truth_value;               // regression ground truth per row
  HostTexts truth_text;                        // classification ground truth per row
  HostArray<float> label_value;                // regression training labels
  HostArray<int32_t> label_class;              // classification training labels
  HostArray<float> soft;                       // n x K distributions (soft distillation)
  HostTexts vocab;                             // label vocabulary
  TextVocab vocab_index;                       // the hard labels' vocabulary again, for look-ups
  int32_t n = 0;                               // rows read
  char **proba = nullptr;                      // parsed proba names; owned
  int proba_count = 0;
  char **classes = nullptr; // parsed classes; owned
  int classes_count = 0;
  int proba_col[DIST_MAX_FEATURES + 1] = {}; // proba columns in train_query, proba order
  ~TrainSet() {
    str_array_free(proba, proba_count);
    str_array_free(classes, classes_count);
  }
};

// Drops trailing blanks and semicolons so the query can be wrapped in a subquery.
char *trim_query(const char *q);
// Sorts the prepared query's columns into the target and up to 64 features.
int walk_columns(sqlite3_stmt *st, const char *target, TrainSet *ts, char **out_msg);
// Checks proba and classes against the task, the student kind and each other, and takes the
// proba columns out of the features.
int check_soft(sqlite3 *db, const distill_options *o, bool regress, TrainSet *ts, char **out_msg);
// Reads every row: features as binary32 and the ground truth.
int read_rows(sqlite3 *db, const char *query, bool regress, TrainSet *ts, char **out_msg);
// The three label sources; exactly one runs.
int read_soft(sqlite3 *db, const char *query, TrainSet *ts, char **out_msg);
int read_teacher(sqlite3 *db, const char *query, const distill_options *o, bool regress, TrainSet *ts, char **out_msg);
int target_labels(bool regress, TrainSet *ts);

enum StudentKind { KIND_TREE, KIND_GBT, KIND_MLP };

// The trained student of one kind; freed by the destructor.
struct Student {
  StudentKind kind = KIND_TREE;
  tree_model tree{};
  forest_model forest{};
  mlp_model mlp{};
  ~Student() {
    tree_free(&tree);
    forest_free(&forest);
    mlp_free(&mlp);
  }
};

// Trains the chosen kind on the first t rows and attaches names and labels to the student.
int train_student(const TrainSet &ts, HostTexts *vocab, bool regress, int32_t t, Student *s, Cancel *cancel,
                  char **out_msg);

} // namespace vornel_distill
