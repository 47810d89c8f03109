// Student blob readers and the models' free functions. Integers are 32-bit
// two's complement and reals binary32, both little-endian, with no padding; a string is a
// 32-bit length and its bytes.
// Readers walk a bounded cursor (every read checks what remains), validate each header
// before allocating anything sized by it, validate every node as it is read, and free
// everything on failure. The writers are in student_write.cpp.
#include "tabular/student.h"
#include "tabular/student_magic.h"
#include <string.h>

namespace {

// A bounded cursor over a blob. Any read past the end sets broken and yields zero.
struct BlobReader {
  const unsigned char *p; // next unread byte
  int64_t left;           // bytes remaining
  bool broken;            // a read ran past the end or a string length was impossible
};

uint32_t get_u32(BlobReader *r) {
  if (r->broken || r->left < 4) {
    r->broken = true;
    return 0;
  }
  uint32_t v = (uint32_t)r->p[0] | ((uint32_t)r->p[1] << 8) | ((uint32_t)r->p[2] << 16) | ((uint32_t)r->p[3] << 24);
  r->p += 4;
  r->left -= 4;
  return v;
}
int32_t get_i32(BlobReader *r) { return (int32_t)get_u32(r); }
float get_f32(BlobReader *r) {
  uint32_t bits = get_u32(r);
  float v;
  memcpy(&v, &bits, 4);
  return v;
}
// Reads count floats into out (already allocated).
void get_f32s(BlobReader *r, float *out, int64_t count) {
  for (int64_t i = 0; i < count && !r->broken; i++)
    out[i] = get_f32(r);
}

// Result of a reader step: OK, the layout is broken, or memory ran out.
enum ReadResult { READ_OK = 0, READ_BROKEN, READ_NOMEM };

// Reads one string into a NUL-terminated host copy. A negative length or one larger than what
// remains marks the blob broken.
ReadResult get_str(BlobReader *r, char **out) {
  *out = nullptr;
  int32_t n = get_i32(r);
  if (r->broken || n < 0 || (int64_t)n > r->left) {
    r->broken = true;
    return READ_BROKEN;
  }
  char *s = (char *)sqlite3_malloc64((sqlite3_uint64)n + 1);
  if (!s) return READ_NOMEM;
  if (n) memcpy(s, r->p, (size_t)n);
  s[n] = '\0';
  r->p += n;
  r->left -= n;
  *out = s;
  return READ_OK;
}

// Reads count strings into a fresh array (*out owned by the caller even on failure).
ReadResult get_names(BlobReader *r, int32_t count, char ***out) {
  *out = nullptr;
  if (count == 0) return READ_OK;
  // Every string takes at least its 4-byte length: a larger count cannot fit.
  if ((int64_t)count > r->left / 4) {
    r->broken = true;
    return READ_BROKEN;
  }
  char **names = host_calloc<char *>(count);
  if (!names) return READ_NOMEM;
  *out = names;
  for (int32_t i = 0; i < count; i++) {
    ReadResult rr = get_str(r, &names[i]);
    if (rr != READ_OK) return rr;
  }
  return READ_OK;
}

// Builds the reader's failure: the layout's message for a broken blob, or out of memory.
int read_failure(ReadResult rr, const char *layout_text, char **out_msg) {
  if (rr == READ_NOMEM) return vornel0_fail_nomem(out_msg);
  return vornel0_fail(out_msg, sqlite3_mprintf("%s: %s", VORNEL_ERR_SCHEMA, layout_text));
}

int not_a_student(char **out_msg) {
  return vornel0_fail(out_msg, sqlite3_mprintf("%s: not a tree student blob", VORNEL_ERR_SCHEMA));
}

bool has_magic(const unsigned char *blob, int64_t len, const char magic[8]) {
  return blob && len >= 8 && memcmp(blob, magic, 8) == 0;
}

const char TREE_CORRUPT[] = "corrupt tree student blob";
const char GBT_CORRUPT[] = "corrupt gbt student blob";
const char MLP_MALFORMED[] = "malformed mlp student blob";

// The body of the VNTREE01 reader; on failure the caller frees the partly filled model.
ReadResult read_tree(BlobReader *r, tree_model *m) {
  m->task = get_i32(r);
  m->feature_count = get_i32(r);
  m->class_count = get_i32(r);
  m->node_count = get_i32(r);
  if (r->broken) return READ_BROKEN;
  if ((m->task != STUDENT_CLASSIFY && m->task != STUDENT_REGRESS) || m->feature_count < 1 ||
      m->feature_count > STUDENT_MAX_FEATURES || m->class_count < 0 || m->node_count < 1 ||
      m->node_count > TREE_MAX_NODES)
    return READ_BROKEN;
  // Counts are kept only once their arrays exist, so a free of the partial model is exact.
  int32_t features = m->feature_count, classes = m->class_count, nodes = m->node_count;
  m->feature_count = m->class_count = m->node_count = 0;
  ReadResult rr = get_names(r, features, &m->feature_names);
  if (m->feature_names) m->feature_count = features;
  if (rr != READ_OK) return rr;
  rr = get_names(r, classes, &m->class_labels);
  if (m->class_labels) m->class_count = classes;
  if (rr != READ_OK) return rr;
  m->class_count = classes;
  if ((int64_t)nodes * 28 > r->left) return READ_BROKEN;
  m->nodes = host_calloc<tree_node>(nodes);
  if (!m->nodes) return READ_NOMEM;
  m->node_count = nodes;
  for (int32_t i = 0; i < nodes; i++) {
    tree_node &n = m->nodes[i];
    n.feature = get_i32(r);
    n.threshold = get_f32(r);
    n.left = get_i32(r);
    n.right = get_i32(r);
    n.leaf_value = get_f32(r);
    n.leaf_class = get_i32(r);
    n.leaf_confidence = get_f32(r);
    if (r->broken) return READ_BROKEN;
    if (n.feature >= 0) {
      if (n.feature >= features || n.left < 0 || n.left >= nodes || n.right < 0 || n.right >= nodes) return READ_BROKEN;
    } else if (m->task == STUDENT_CLASSIFY && (n.leaf_class < 0 || n.leaf_class >= classes)) {
      return READ_BROKEN;
    }
  }
  return READ_OK;
}

// The body of the VNGBT01 reader; on failure the caller frees the partly filled model.
ReadResult read_forest(BlobReader *r, forest_model *m) {
  m->task = get_i32(r);
  int32_t features = get_i32(r);
  int32_t classes = get_i32(r);
  int32_t outputs = get_i32(r);
  m->rounds = get_i32(r);
  m->learning_rate = get_f32(r);
  if (r->broken) return READ_BROKEN;
  if ((m->task != STUDENT_CLASSIFY && m->task != STUDENT_REGRESS) || features < 1 || features > STUDENT_MAX_FEATURES ||
      classes < 0 || outputs < 1 || m->rounds < 1 || m->rounds > FOREST_MAX_ROUNDS ||
      (m->task == STUDENT_CLASSIFY && outputs != classes) || (m->task == STUDENT_REGRESS && outputs != 1))
    return READ_BROKEN;
  if ((int64_t)outputs * 4 > r->left) return READ_BROKEN;
  m->initial_scores = host_calloc<float>(outputs);
  if (!m->initial_scores) return READ_NOMEM;
  m->output_count = outputs;
  get_f32s(r, m->initial_scores, outputs);
  if (r->broken) return READ_BROKEN;
  ReadResult rr = get_names(r, features, &m->feature_names);
  if (m->feature_names) m->feature_count = features;
  if (rr != READ_OK) return rr;
  m->feature_count = features;
  rr = get_names(r, classes, &m->class_labels);
  if (m->class_labels) m->class_count = classes;
  if (rr != READ_OK) return rr;
  m->class_count = classes;
  int32_t trees = get_i32(r);
  if (r->broken || (int64_t)trees != (int64_t)m->rounds * outputs) return READ_BROKEN;
  // Each tree takes at least its count and one node.
  if ((int64_t)trees > r->left / 24) return READ_BROKEN;
  m->tree_offsets = host_calloc<int32_t>((int64_t)trees + 1);
  if (!m->tree_offsets) return READ_NOMEM;
  m->tree_count = trees;
  int64_t total = 0;
  for (int32_t t = 0; t < trees; t++) {
    int32_t n = get_i32(r);
    if (r->broken || n < 1 || n > FOREST_MAX_TREE_NODES || (int64_t)n * 20 > r->left) return READ_BROKEN;
    int64_t need = total + n;
    if (need > 0x7FFFFFFF) return READ_BROKEN;
    if (!host_grow(&m->nodes, &m->node_capacity, need, need)) return READ_NOMEM;
    for (int32_t i = 0; i < n; i++) {
      tree_node &node = m->nodes[total + i];
      node.feature = get_i32(r);
      node.threshold = get_f32(r);
      node.left = get_i32(r);
      node.right = get_i32(r);
      node.leaf_value = get_f32(r);
      node.leaf_class = -1;
      node.leaf_confidence = 0.0f;
      if (r->broken) return READ_BROKEN;
      if (node.feature >= 0 &&
          (node.feature >= features || node.left < 0 || node.left >= n || node.right < 0 || node.right >= n))
        return READ_BROKEN;
    }
    total = need;
    m->tree_offsets[t + 1] = (int32_t)total;
  }
  return READ_OK;
}

// The body of the VNMLP01 reader; on failure the caller frees the partly filled model.
ReadResult read_mlp(BlobReader *r, mlp_model *m) {
  m->task = get_i32(r);
  int32_t inputs = get_i32(r);
  int32_t hidden = get_i32(r);
  int32_t outputs = get_i32(r);
  int32_t classes = get_i32(r);
  if (r->broken) return READ_BROKEN;
  if ((m->task != STUDENT_CLASSIFY && m->task != STUDENT_REGRESS) || inputs < 1 || inputs > STUDENT_MAX_FEATURES ||
      hidden < 1 || hidden > MLP_MAX_WIDTH || outputs < 1 || outputs > MLP_MAX_WIDTH || classes < 0 ||
      classes > MLP_MAX_WIDTH || (m->task == STUDENT_CLASSIFY && classes != outputs) ||
      (m->task == STUDENT_REGRESS && outputs != 1))
    return READ_BROKEN;
  int64_t I = inputs, H = hidden, O = outputs;
  int64_t weight_bytes = 4 * (2 * I + H * I + H + O * H + O);
  if (weight_bytes > r->left) return READ_BROKEN;
  m->input_mean = host_calloc<float>(I);
  m->input_scale = host_calloc<float>(I);
  m->hidden_weights = host_calloc<float>(H * I);
  m->hidden_bias = host_calloc<float>(H);
  m->output_weights = host_calloc<float>(O * H);
  m->output_bias = host_calloc<float>(O);
  if (!m->input_mean || !m->input_scale || !m->hidden_weights || !m->hidden_bias || !m->output_weights ||
      !m->output_bias)
    return READ_NOMEM;
  m->input_count = inputs;
  m->hidden_count = hidden;
  m->output_count = outputs;
  get_f32s(r, m->input_mean, I);
  get_f32s(r, m->input_scale, I);
  get_f32s(r, m->hidden_weights, H * I);
  get_f32s(r, m->hidden_bias, H);
  get_f32s(r, m->output_weights, O * H);
  get_f32s(r, m->output_bias, O);
  if (r->broken) return READ_BROKEN;
  ReadResult rr = get_names(r, inputs, &m->feature_names);
  if (rr != READ_OK) return rr;
  rr = get_names(r, classes, &m->class_labels);
  if (m->class_labels) m->class_count = classes;
  if (rr != READ_OK) return rr;
  m->class_count = classes;
  return READ_OK;
}

} // namespace

// ---- free functions ----------------------------------------------------------------------

void student_names_free(char **names, int64_t count) {
  if (!names) return;
  for (int64_t i = 0; i < count; i++)
    sqlite3_free(names[i]);
  sqlite3_free(names);
}

void tree_free(tree_model *model) {
  if (!model) return;
  student_names_free(model->feature_names, model->feature_count);
  student_names_free(model->class_labels, model->class_count);
  sqlite3_free(model->nodes);
  memset(model, 0, sizeof *model);
}

void forest_free(forest_model *model) {
  if (!model) return;
  student_names_free(model->feature_names, model->feature_count);
  student_names_free(model->class_labels, model->class_count);
  sqlite3_free(model->initial_scores);
  sqlite3_free(model->tree_offsets);
  sqlite3_free(model->nodes);
  memset(model, 0, sizeof *model);
}

void mlp_free(mlp_model *model) {
  if (!model) return;
  student_names_free(model->feature_names, model->input_count);
  student_names_free(model->class_labels, model->class_count);
  host_free_all(model->input_mean, model->input_scale, model->hidden_weights, model->hidden_bias, model->output_weights,
                model->output_bias, model->skip_weights);
  memset(model, 0, sizeof *model);
}

void student_free(student_model *model) {
  if (!model) return;
  tree_free(&model->tree);
  forest_free(&model->forest);
  mlp_free(&model->mlp);
  model->kind = STUDENT_KIND_NONE;
}

// ---- readers -----------------------------------------------------------------------------

int tree_deserialize(const unsigned char *blob, int64_t len, tree_model *out, char **out_msg) {
  memset(out, 0, sizeof *out);
  *out_msg = nullptr;
  if (!has_magic(blob, len, TREE_MAGIC)) return not_a_student(out_msg);
  BlobReader r{blob + 8, len - 8, false};
  ReadResult rr = read_tree(&r, out);
  if (rr == READ_OK) return SQLITE_OK;
  tree_free(out);
  return read_failure(rr, TREE_CORRUPT, out_msg);
}

int forest_deserialize(const unsigned char *blob, int64_t len, forest_model *out, char **out_msg) {
  memset(out, 0, sizeof *out);
  *out_msg = nullptr;
  if (!has_magic(blob, len, GBT_MAGIC)) return not_a_student(out_msg);
  BlobReader r{blob + 8, len - 8, false};
  ReadResult rr = read_forest(&r, out);
  if (rr == READ_OK) return SQLITE_OK;
  forest_free(out);
  return read_failure(rr, GBT_CORRUPT, out_msg);
}

int mlp_deserialize(const unsigned char *blob, int64_t len, mlp_model *out, char **out_msg) {
  memset(out, 0, sizeof *out);
  *out_msg = nullptr;
  if (!has_magic(blob, len, MLP_MAGIC)) return not_a_student(out_msg);
  BlobReader r{blob + 8, len - 8, false};
  ReadResult rr = read_mlp(&r, out);
  if (rr == READ_OK) return SQLITE_OK;
  mlp_free(out);
  return read_failure(rr, MLP_MALFORMED, out_msg);
}

int student_read(const unsigned char *blob, int64_t len, student_model *out, char **out_msg) {
  memset(out, 0, sizeof *out);
  *out_msg = nullptr;
  if (!blob || len < 1)
    return vornel0_fail(out_msg, sqlite3_mprintf("%s: tree student has no weights", VORNEL_ERR_SCHEMA));
  if (len < 8) return not_a_student(out_msg);
  int rc;
  if (memcmp(blob, GBT_MAGIC, 8) == 0) {
    rc = forest_deserialize(blob, len, &out->forest, out_msg);
    if (rc == SQLITE_OK) out->kind = STUDENT_KIND_FOREST;
  } else if (memcmp(blob, MLP_MAGIC, 8) == 0) {
    rc = mlp_deserialize(blob, len, &out->mlp, out_msg);
    if (rc == SQLITE_OK) out->kind = STUDENT_KIND_MLP;
  } else {
    rc = tree_deserialize(blob, len, &out->tree, out_msg);
    if (rc == SQLITE_OK) out->kind = STUDENT_KIND_TREE;
  }
  return rc;
}
