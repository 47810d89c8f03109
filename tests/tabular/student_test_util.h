// Test helpers for the student blobs: an independent little-endian byte builder (so layouts are
// checked against hand-written bytes, not against the writer), host-string helpers and a leak
// guard over sqlite3_memory_used().
#pragma once
#include "tabular/student.h"
#include <array>
#include <cstring>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <string>
#include <vector>

namespace st {

struct Bytes {
  std::vector<unsigned char> b;
  Bytes &raw(const void *p, size_t n) {
    const unsigned char *c = (const unsigned char *)p;
    b.insert(b.end(), c, c + n);
    return *this;
  }
  Bytes &magic(const char *m) { return raw(m, 8); } // 8 bytes, NUL included where short
  Bytes &i32(int32_t v) {
    uint32_t u = (uint32_t)v;
    for (int i = 0; i < 4; i++)
      b.push_back((unsigned char)(u >> (8 * i)));
    return *this;
  }
  Bytes &f32(float v) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    return i32((int32_t)u);
  }
  Bytes &str(const std::string &s) {
    i32((int32_t)s.size());
    return raw(s.data(), s.size());
  }
  const unsigned char *data() const { return b.data(); }
  int64_t size() const { return (int64_t)b.size(); }
};

// A host copy of a text, as the models own them.
inline char *hs(const char *s) { return sqlite3_mprintf("%s", s); }
inline char **host_names(const std::vector<std::string> &names) {
  char **out = (char **)sqlite3_malloc64(sizeof(char *) * (names.size() ? names.size() : 1));
  for (size_t i = 0; i < names.size(); i++)
    out[i] = hs(names[i].c_str());
  return out;
}
template <class T> T *host_copy(const std::vector<T> &v) {
  T *out = (T *)sqlite3_malloc64(sizeof(T) * (v.size() ? v.size() : 1));
  if (!v.empty()) std::memcpy(out, v.data(), sizeof(T) * v.size());
  return out;
}

// Fails the test when host memory does not return to its level at construction.
struct LeakCheck {
  sqlite3_int64 before = sqlite3_memory_used();
  ~LeakCheck() { EXPECT_EQ(sqlite3_memory_used(), before) << "host memory leaked"; }
};

inline tree_node leaf(float value, int32_t cls = 0, float conf = 0.0f) {
  return tree_node{-1, 0.0f, -1, -1, value, cls, conf};
}
inline tree_node split(int32_t feature, float threshold, int32_t left, int32_t right) {
  return tree_node{feature, threshold, left, right, 0.0f, -1, 0.0f};
}

} // namespace st
