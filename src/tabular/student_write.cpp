// Student blob writers, one per layout. Integers are 32-bit
// two's complement and reals binary32, both little-endian, with no padding; a string is a
// 32-bit length and its bytes.
// Writers size the blob exactly and allocate once; the readers are in student_format.cpp.
#include "tabular/student.h"
#include "tabular/student_magic.h"
#include <string.h>

namespace {

struct BlobWriter {
  unsigned char *p; // next byte to write (inside a buffer sized exactly by the caller)
};

void put_u32(BlobWriter *w, uint32_t v) {
  w->p[0] = (unsigned char)(v & 0xFF);
  w->p[1] = (unsigned char)((v >> 8) & 0xFF);
  w->p[2] = (unsigned char)((v >> 16) & 0xFF);
  w->p[3] = (unsigned char)((v >> 24) & 0xFF);
  w->p += 4;
}
void put_i32(BlobWriter *w, int32_t v) { put_u32(w, (uint32_t)v); }
void put_f32(BlobWriter *w, float v) {
  uint32_t bits;
  memcpy(&bits, &v, 4);
  put_u32(w, bits);
}
void put_bytes(BlobWriter *w, const void *data, size_t n) {
  if (n) memcpy(w->p, data, n);
  w->p += n;
}
// Writes count floats, or zeros when the array is absent.
void put_f32s(BlobWriter *w, const float *v, int64_t count) {
  for (int64_t i = 0; i < count; i++)
    put_f32(w, v ? v[i] : 0.0f);
}
void put_str(BlobWriter *w, const char *s) {
  size_t n = s ? strlen(s) : 0;
  put_u32(w, (uint32_t)n);
  put_bytes(w, s, n);
}
// Bytes taken by count strings of a name list (null list or entries count as empty).
int64_t names_size(char *const *names, int64_t count) {
  int64_t total = 0;
  for (int64_t i = 0; i < count; i++)
    total += 4 + (int64_t)(names && names[i] ? strlen(names[i]) : 0);
  return total;
}
void put_names(BlobWriter *w, char *const *names, int64_t count) {
  for (int64_t i = 0; i < count; i++)
    put_str(w, names ? names[i] : nullptr);
}
void put_tree_node(BlobWriter *w, const tree_node &n) {
  put_i32(w, n.feature);
  put_f32(w, n.threshold);
  put_i32(w, n.left);
  put_i32(w, n.right);
  put_f32(w, n.leaf_value);
  put_i32(w, n.leaf_class);
  put_f32(w, n.leaf_confidence);
}

int64_t nonneg(int32_t v) { return v > 0 ? v : 0; }

// Allocates the exact buffer; null when the size is not representable or memory is short.
unsigned char *blob_alloc(int64_t size) {
  if (size <= 0 || size > (int64_t)0x7FFFFFFF00000000LL) return nullptr;
  return (unsigned char *)sqlite3_malloc64((sqlite3_uint64)size);
}

} // namespace

int tree_serialize(const tree_model *m, unsigned char **out_blob, int64_t *out_len) {
  *out_blob = nullptr;
  *out_len = 0;
  int64_t F = nonneg(m->feature_count), C = nonneg(m->class_count), N = nonneg(m->node_count);
  int64_t size = 24 + names_size(m->feature_names, F) + names_size(m->class_labels, C) + 28 * N;
  unsigned char *blob = blob_alloc(size);
  if (!blob) return SQLITE_NOMEM;
  BlobWriter w{blob};
  put_bytes(&w, TREE_MAGIC, 8);
  put_i32(&w, m->task);
  put_i32(&w, m->feature_count);
  put_i32(&w, m->class_count);
  put_i32(&w, m->node_count);
  put_names(&w, m->feature_names, F);
  put_names(&w, m->class_labels, C);
  for (int64_t i = 0; i < N; i++)
    put_tree_node(&w, m->nodes[i]);
  *out_blob = blob;
  *out_len = size;
  return SQLITE_OK;
}

int forest_serialize(const forest_model *m, unsigned char **out_blob, int64_t *out_len) {
  *out_blob = nullptr;
  *out_len = 0;
  int64_t F = nonneg(m->feature_count), C = nonneg(m->class_count), K = nonneg(m->output_count);
  int64_t T = nonneg(m->tree_count);
  int64_t size = 32 + 4 * K + names_size(m->feature_names, F) + names_size(m->class_labels, C) + 4;
  for (int64_t t = 0; t < T; t++)
    size += 4 + 20 * (int64_t)(m->tree_offsets[t + 1] - m->tree_offsets[t]);
  unsigned char *blob = blob_alloc(size);
  if (!blob) return SQLITE_NOMEM;
  BlobWriter w{blob};
  put_bytes(&w, GBT_MAGIC, 8);
  put_i32(&w, m->task);
  put_i32(&w, m->feature_count);
  put_i32(&w, m->class_count);
  put_i32(&w, m->output_count);
  put_i32(&w, m->rounds);
  put_f32(&w, m->learning_rate);
  put_f32s(&w, m->initial_scores, K);
  put_names(&w, m->feature_names, F);
  put_names(&w, m->class_labels, C);
  put_i32(&w, m->tree_count);
  for (int64_t t = 0; t < T; t++) {
    int32_t first = m->tree_offsets[t], n = m->tree_offsets[t + 1] - first;
    put_i32(&w, n);
    for (int32_t i = 0; i < n; i++) {
      const tree_node &node = m->nodes[first + i];
      put_i32(&w, node.feature);
      put_f32(&w, node.threshold);
      put_i32(&w, node.left);
      put_i32(&w, node.right);
      put_f32(&w, node.leaf_value);
    }
  }
  *out_blob = blob;
  *out_len = size;
  return SQLITE_OK;
}

int mlp_serialize(const mlp_model *m, unsigned char **out_blob, int64_t *out_len) {
  *out_blob = nullptr;
  *out_len = 0;
  int64_t I = nonneg(m->input_count), H = nonneg(m->hidden_count), O = nonneg(m->output_count);
  int64_t C = nonneg(m->class_count);
  int64_t size =
      28 + 8 * I + 4 * (H * I + H + O * H + O) + names_size(m->feature_names, I) + names_size(m->class_labels, C);
  unsigned char *blob = blob_alloc(size);
  if (!blob) return SQLITE_NOMEM;
  BlobWriter w{blob};
  put_bytes(&w, MLP_MAGIC, 8);
  put_i32(&w, m->task);
  put_i32(&w, m->input_count);
  put_i32(&w, m->hidden_count);
  put_i32(&w, m->output_count);
  put_i32(&w, m->class_count);
  put_f32s(&w, m->input_mean, I);
  put_f32s(&w, m->input_scale, I);
  put_f32s(&w, m->hidden_weights, H * I);
  put_f32s(&w, m->hidden_bias, H);
  put_f32s(&w, m->output_weights, O * H);
  put_f32s(&w, m->output_bias, O);
  put_names(&w, m->feature_names, I);
  put_names(&w, m->class_labels, C);
  *out_blob = blob;
  *out_len = size;
  return SQLITE_OK;
}
