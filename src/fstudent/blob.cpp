// The forecast student's stored form: the VNFCST02 blob (written and read) and the older
// VNFCST01 blob (read only, no linear block and at least one hidden unit). Header of four
// little-endian 32-bit integers (L, H, E, Q) after the 8-byte magic, then binary32 arrays:
// levels, input centres, input scales, hidden weights and biases, output weights and biases,
// and (version 02 only) the linear block.
#include "fstudent/fstudent.h"

namespace {

constexpr int64_t HEADER_SIZE = 24;

uint32_t read_u32(const unsigned char *p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void write_u32(unsigned char *p, uint32_t v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
  p[2] = (unsigned char)(v >> 16);
  p[3] = (unsigned char)(v >> 24);
}

// Walks the arrays of a blob in order; once the bytes run out every further value reads as 0
// and the reader is marked short.
struct BlobReader {
  const unsigned char *data; // not owned
  int64_t size;
  int64_t pos;
  bool short_blob;
  void floats(float *out, int64_t count) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The stored order is the host's: copy whole arrays.
    if (pos + 4 * count <= size) {
      memcpy(out, data + pos, (size_t)(4 * count));
      pos += 4 * count;
      return;
    }
#endif
    for (int64_t i = 0; i < count; i++) {
      if (pos + 4 <= size) {
        uint32_t bits = read_u32(data + pos);
        memcpy(&out[i], &bits, 4);
        pos += 4;
      } else {
        out[i] = 0.0f;
        short_blob = true;
      }
    }
  }
};

unsigned char *put_floats(unsigned char *p, const float *v, int64_t count) {
  for (int64_t i = 0; i < count; i++) {
    uint32_t bits;
    memcpy(&bits, &v[i], 4);
    write_u32(p, bits);
    p += 4;
  }
  return p;
}

int malformed(fcst_student *student, char **out_msg) {
  fcst_student_free(student);
  *out_msg = sqlite3_mprintf("%s: malformed forecast student blob", VORNEL_ERR_SCHEMA);
  return SQLITE_ERROR;
}

} // namespace

void fcst_student_free(fcst_student *student) {
  if (!student) return;
  mlp_free(&student->net);
  sqlite3_free(student->levels);
  memset(student, 0, sizeof *student);
}

int fcst_deserialize(const void *blob, int64_t size, fcst_student *student, char **out_msg) {
  memset(student, 0, sizeof *student);
  *out_msg = nullptr;
  const unsigned char *b = (const unsigned char *)blob;
  int version = 0;
  if (b && size >= 8) {
    if (memcmp(b, "VNFCST02", 8) == 0)
      version = 2;
    else if (memcmp(b, "VNFCST01", 8) == 0)
      version = 1;
  }
  if (!version) {
    *out_msg = sqlite3_mprintf("%s: not a forecast student blob", VORNEL_ERR_SCHEMA);
    return SQLITE_ERROR;
  }
  if (size < HEADER_SIZE) return malformed(student, out_msg);
  // Signed reads: a value with the top bit set is negative and fails its range.
  int32_t L = (int32_t)read_u32(b + 8), H = (int32_t)read_u32(b + 12);
  int32_t E = (int32_t)read_u32(b + 16), Q = (int32_t)read_u32(b + 20);
  if (L < 1 || L > FCST_MAX_CONTEXT || H < (version == 1 ? 1 : 0) || H > FCST_MAX_HIDDEN || E < 1 ||
      E > FCST_MAX_HORIZON || Q < 1 || Q > FCST_MAX_LEVELS || (int64_t)E * Q > FCST_MAX_OUTPUTS)
    return malformed(student, out_msg);
  const int64_t O = (int64_t)E * Q;
  const bool linear = version == 2;
  // A blob too short for its own header's arrays is malformed whatever it holds; refusing it
  // here keeps a forged header from making the reader allocate hundreds of megabytes first.
  int64_t values = Q + 2 * (int64_t)L + (int64_t)H * (L + 1) + O * (H + 1) + (linear ? O * L : 0);
  if (size - HEADER_SIZE < 4 * values) return malformed(student, out_msg);

  mlp_model &net = student->net;
  net.task = 1;
  net.input_count = L;
  net.hidden_count = H;
  net.output_count = (int32_t)O;
  net.class_count = 0;
  student->horizon = E;
  student->nquant = Q;
  student->levels = host_calloc<float>(Q);
  net.input_mean = host_calloc<float>(L);
  net.input_scale = host_calloc<float>(L);
  net.output_bias = host_calloc<float>(O);
  bool ok = student->levels && net.input_mean && net.input_scale && net.output_bias;
  if (H > 0) {
    net.hidden_weights = host_calloc<float>((int64_t)H * L);
    net.hidden_bias = host_calloc<float>(H);
    net.output_weights = host_calloc<float>(O * H);
    ok = ok && net.hidden_weights && net.hidden_bias && net.output_weights;
  }
  if (linear) {
    net.skip_weights = host_calloc<float>(O * L);
    ok = ok && net.skip_weights;
  }
  if (!ok) {
    fcst_student_free(student);
    return vornel0_fail_nomem(out_msg);
  }

  BlobReader r{b, size, HEADER_SIZE, false};
  r.floats(student->levels, Q);
  for (int j = 0; j < Q; j++) {
    float x = student->levels[j];
    // Written so that NaN fails too.
    if (!(x > 0.0f && x < 1.0f) || (j > 0 && !(x > student->levels[j - 1]))) return malformed(student, out_msg);
  }
  r.floats(net.input_mean, L);
  r.floats(net.input_scale, L);
  if (H > 0) {
    r.floats(net.hidden_weights, (int64_t)H * L);
    r.floats(net.hidden_bias, H);
    r.floats(net.output_weights, O * H);
  }
  r.floats(net.output_bias, O);
  if (linear) r.floats(net.skip_weights, O * L);
  if (r.short_blob) return malformed(student, out_msg);
  return SQLITE_OK;
}

int fcst_serialize(const fcst_student *student, unsigned char **out_blob, int64_t *out_size) {
  *out_blob = nullptr;
  *out_size = 0;
  const mlp_model &net = student->net;
  const int64_t L = net.input_count, H = net.hidden_count, E = student->horizon, Q = student->nquant, O = E * Q;
  if (L < 1 || H < 0 || E < 1 || Q < 1 || O != net.output_count) return SQLITE_MISUSE;
  // A student without a linear block is exactly the older layout; writing it under the newer
  // magic would give a blob that reads as short. The older layout needs a hidden layer.
  const bool linear = net.skip_weights != nullptr;
  if (!linear && H == 0) return SQLITE_MISUSE;
  int64_t values = Q + 2 * L + H * (L + 1) + O * (H + 1) + (linear ? O * L : 0);
  int64_t size = HEADER_SIZE + 4 * values;
  unsigned char *blob = (unsigned char *)sqlite3_malloc64((sqlite3_uint64)size);
  if (!blob) return SQLITE_NOMEM;
  memcpy(blob, linear ? "VNFCST02" : "VNFCST01", 8);
  write_u32(blob + 8, (uint32_t)L);
  write_u32(blob + 12, (uint32_t)H);
  write_u32(blob + 16, (uint32_t)E);
  write_u32(blob + 20, (uint32_t)Q);
  unsigned char *p = blob + HEADER_SIZE;
  p = put_floats(p, student->levels, Q);
  p = put_floats(p, net.input_mean, L);
  p = put_floats(p, net.input_scale, L);
  if (H > 0) {
    p = put_floats(p, net.hidden_weights, H * L);
    p = put_floats(p, net.hidden_bias, H);
    p = put_floats(p, net.output_weights, O * H);
  }
  p = put_floats(p, net.output_bias, O);
  if (linear) p = put_floats(p, net.skip_weights, O * L);
  *out_blob = blob;
  *out_size = size;
  return SQLITE_OK;
}
