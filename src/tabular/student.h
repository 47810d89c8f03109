// Tabular students in memory: a single decision tree, gradient-boosted trees and a
// one-hidden-layer perceptron; their one-row evaluation; and their stored blob layouts
// (VNTREE01, VNGBT01, VNMLP01). The trainers fill these records and call the writers; the
// vornel() runtime reads a blob once per statement and evaluates it row by row. Nothing here
// sees a statement: the cores take plain records and spans so they are testable in isolation.
//
// Ownership: every array and name of a model is a host allocation owned by the model and
// released by its _free function, which also zeroes the record (a second call does nothing).
#pragma once
#include "core/api.h"
#include <stdint.h>

// Task values shared by all three students.
inline constexpr int STUDENT_CLASSIFY = 0;
inline constexpr int STUDENT_REGRESS = 1;

// Limits enforced by the blob readers (header validation happens before any allocation).
inline constexpr int STUDENT_MAX_FEATURES = 64;
inline constexpr int TREE_MAX_NODES = 16777216;   // 2^24 nodes in one VNTREE01 tree
inline constexpr int FOREST_MAX_ROUNDS = 1048576; // 2^20 boosting rounds
inline constexpr int FOREST_MAX_TREE_NODES = 1048576;
inline constexpr int MLP_MAX_WIDTH = 2048; // hidden units, outputs and classes

// One tree node, seven 32-bit fields in blob order. A node with a negative feature index is a
// leaf. An internal node sends a row left when threshold > value (binary32), else right.
struct tree_node {
  int32_t feature;       // split feature index; negative marks a leaf
  float threshold;       // split threshold
  int32_t left;          // child taken when threshold > value
  int32_t right;         // child taken otherwise
  float leaf_value;      // regression output (and boosted-tree output)
  int32_t leaf_class;    // classification output: index into the class labels
  float leaf_confidence; // classification confidence stored by the builder
};
static_assert(sizeof(tree_node) == 28, "tree_node mirrors the 28-byte node layout");

// A single decision tree (VNTREE01).
struct tree_model {
  int32_t task;          // STUDENT_CLASSIFY or STUDENT_REGRESS
  int32_t feature_count; // F, 1..64
  char **feature_names;  // F owned texts, input order; owned (may be null)
  int32_t class_count;   // C
  char **class_labels;   // C owned texts by class index; owned (may be null)
  int32_t node_count;    // N
  tree_node *nodes;      // N nodes, node 0 is the root; owned
};

// Gradient-boosted trees (VNGBT01). Tree r * K + k is round r's tree for output k; its nodes
// are nodes[tree_offsets[t] .. tree_offsets[t + 1] - 1] and its child indexes count from its
// own first node. Only feature, threshold, children and leaf value are used.
struct forest_model {
  int32_t task;          // STUDENT_CLASSIFY or STUDENT_REGRESS
  int32_t feature_count; // F
  char **feature_names;  // F owned texts; owned (may be null)
  int32_t class_count;   // C (0 for regression)
  char **class_labels;   // C owned texts; owned (may be null)
  int32_t output_count;  // K: C for classification, 1 for regression
  int32_t rounds;        // R
  float learning_rate;   // shrinkage applied to every tree's value
  float *initial_scores; // K starting scores; owned
  int32_t tree_count;    // T = R * K
  int32_t *tree_offsets; // T + 1 entries; entry T is the total node count; owned
  tree_node *nodes;      // all trees' nodes; owned
  int32_t node_capacity; // nodes allocated (growth bookkeeping; not stored in the blob)
};

// One-hidden-layer perceptron (VNMLP01, and the network of a forecast student).
// Forward pass: z_i = (x_i - mean_i) / scale_i; h_j = tanh(b_j + sum_i z_i w(j, i));
// o_k = b_k + s * sum_j v(k, j) h_j [+ sum_i z_i skip(k, i)], s = 0.1 with a skip block, else 1.
struct mlp_model {
  int32_t task;          // 0 classification, non-zero regression
  int32_t input_count;   // I
  int32_t hidden_count;  // H (0 allowed in memory: a purely linear network)
  int32_t output_count;  // O
  int32_t class_count;   // C
  char **feature_names;  // I owned texts; owned (may be null)
  char **class_labels;   // C owned texts; owned (may be null)
  float *input_mean;     // I means; owned
  float *input_scale;    // I divisors of the standardisation; owned
  float *hidden_weights; // H x I, unit j's weights at j * I; owned
  float *hidden_bias;    // H; owned
  float *output_weights; // O x H, output k's weights at k * H; owned
  float *output_bias;    // O; owned
  float *skip_weights;   // O x I linear skip block, output k's at k * I; owned, or null
};

// Which student a blob held.
enum student_kind { STUDENT_KIND_NONE = 0, STUDENT_KIND_TREE, STUDENT_KIND_FOREST, STUDENT_KIND_MLP };

// A student read from a registry blob: exactly one of the three models is filled.
struct student_model {
  int32_t kind;        // a student_kind
  tree_model tree;     // filled when kind is STUDENT_KIND_TREE
  forest_model forest; // filled when kind is STUDENT_KIND_FOREST
  mlp_model mlp;       // filled when kind is STUDENT_KIND_MLP
};

// Free every owned field and zero the record; null arrays and null name lists are fine, a
// null model pointer is ignored.
void tree_free(tree_model *model);
void forest_free(forest_model *model);
void mlp_free(mlp_model *model);
void student_free(student_model *model);
// Frees count host texts and the array itself (entries may be null; a null array is ignored).
void student_names_free(char **names, int64_t count);

// Writers: compute the exact size, allocate once with the host allocator and fill the buffer.
// The caller owns *out_blob (sqlite3_free). Return 0, or SQLITE_NOMEM (7) with *out_blob null.
// Null names are written as empty strings.
int tree_serialize(const tree_model *model, unsigned char **out_blob, int64_t *out_len);
int forest_serialize(const forest_model *model, unsigned char **out_blob, int64_t *out_len);
int mlp_serialize(const mlp_model *model, unsigned char **out_blob, int64_t *out_len);

// Bounded readers of one layout (the magic is checked again). Return 0 with the model filled;
// SQLITE_ERROR with "VORNEL_ERR_SCHEMA: corrupt tree student blob" (".. corrupt gbt ..",
// ".. malformed mlp ..") for any layout fault; SQLITE_NOMEM with "VORNEL_ERR_RESOURCE: out of
// memory". On failure the model is zeroed and *out_msg is an owned message (null only when
// even the message could not be built).
int tree_deserialize(const unsigned char *blob, int64_t len, tree_model *out, char **out_msg);
int forest_deserialize(const unsigned char *blob, int64_t len, forest_model *out, char **out_msg);
int mlp_deserialize(const unsigned char *blob, int64_t len, mlp_model *out, char **out_msg);
// Reads a registry weights blob of any of the three layouts: a null or empty blob gives
// "tree student has no weights", fewer than 8 bytes or an unknown magic "not a tree student
// blob" (both VORNEL_ERR_SCHEMA, SQLITE_ERROR); otherwise as the layout's reader.
int student_read(const unsigned char *blob, int64_t len, student_model *out, char **out_msg);

// Index of the leaf reached from the root, or -1 when no leaf is reached within N + 1 node
// visits (a cycle) or a child index leaves the tree.
int32_t tree_walk(const tree_model *tree, const float *inputs);
// Leaf value of one boosted tree of n nodes starting at first, or 0.0 when no leaf is reached
// within n + 1 visits.
float reg_tree_value(const tree_node *first, int32_t n, const float *inputs);
// Fills hidden (H floats) and outputs (O floats) from I binary32 inputs. Sums run in binary64
// in index order; hidden values and outputs are rounded to binary32.
void mlp_forward(const mlp_model *net, const float *inputs, float *hidden, float *outputs);

// One-row evaluation of a single tree: the leaf's class label and stored confidence, or its
// value printed with "%.17g" (no confidence). Returns 0; SQLITE_ERROR when no leaf is reached
// (*out_text null: the caller reports the malformed traversal); SQLITE_NOMEM without text.
int tree_eval_row(const tree_model *tree, const float *inputs, char **out_text, double *out_confidence,
                  int *out_has_confidence);
// One-row evaluation into an owned text (*out_text, sqlite3_free) and a confidence with its
// flag (regression has none). Return 0, or SQLITE_NOMEM when the text cannot be allocated.
// forest_eval_row needs a scratch of K doubles; mlp_eval_row hidden (H) and output (O) floats.
int forest_eval_row(const forest_model *forest, const float *inputs, double *scores, char **out_text,
                    double *out_confidence, int *out_has_confidence);
// The boosted scores of count rows at once (inputs row-major, stride floats apart) into scores
// (count x K for classification, count x 1 running sums for regression), with the bits of
// forest_eval_row; forest_row_result then turns one row's scores into its text and confidence.
void forest_score_rows(const forest_model *forest, const float *inputs, int64_t stride, int64_t count, double *scores);
int forest_row_result(const forest_model *forest, const double *scores, char **out_text, double *out_confidence,
                      int *out_has_confidence);
int mlp_eval_row(const mlp_model *net, const float *inputs, float *hidden, float *outputs, char **out_text,
                 double *out_confidence, int *out_has_confidence);
