// Checks that keep a student the loader or the arithmetic could not honour from being trained
// or stored: training values that are not finite in binary32, trained parameters that are not
// all finite, and a perceptron with more classes than a VNMLP01 blob may hold. Each returns
// SQLITE_OK, or SQLITE_ERROR (SQLITE_NOMEM when the message could not be built) with *out_msg.
#pragma once
#include "distill/student_types.h"
#include <stdint.h>

// Index of the first value of v[0..count-1] that is not finite once rounded to binary32, or -1.
int64_t first_unfit_float(const float *v, int64_t count);
int64_t first_unfit_double(const double *v, int64_t count);

// The training set of distill_vornel before any training: features (n x m, names by column),
// regression targets (truth, binary64, and labels, binary32; null for classification) and the
// soft class distributions (n x K, or null). Rows are named 1-based, in query order.
int dist_check_train_set(const float *x, int32_t n, int32_t m, char *const *names, const double *truth,
                         const float *labels, const float *soft, int32_t K, char **out_msg);

// A perceptron student stores one output per class, at most MLP_MAX_WIDTH of them.
int dist_check_mlp_classes(int64_t class_count, char **out_msg);

// Every parameter of a trained student (any of the three may be null or empty) is finite.
int dist_check_trained(const tree_model *tree, const forest_model *forest, const mlp_model *mlp, char **out_msg);
