// Owning guards over host memory and statements. Every byte the extension holds comes from
// the host allocator, so these are the only ways code here keeps memory: a guard frees on
// every exit path, and growth reports failure instead of throwing.
#pragma once
#include <sqlite3ext.h>
#include <stdint.h>
#include <string.h>
#include <type_traits>

extern "C" {
extern const sqlite3_api_routines *sqlite3_api;
}

// Finalises its statement when it goes out of scope.
struct StmtGuard {
  sqlite3_stmt *stmt = nullptr; // owned; finalised by the destructor
  StmtGuard() = default;
  StmtGuard(const StmtGuard &) = delete;
  StmtGuard &operator=(const StmtGuard &) = delete;
  ~StmtGuard() { reset(); }
  void reset() {
    if (stmt) sqlite3_finalize(stmt);
    stmt = nullptr;
  }
  sqlite3_stmt **out() {
    reset();
    return &stmt;
  }
  operator sqlite3_stmt *() const { return stmt; }
};

// Owns one host allocation (a text from sqlite3_mprintf, a malloc'd record).
template <class T> struct HostPtr {
  T *ptr = nullptr; // owned; freed with sqlite3_free
  HostPtr() = default;
  explicit HostPtr(T *p) : ptr(p) {}
  HostPtr(const HostPtr &) = delete;
  HostPtr &operator=(const HostPtr &) = delete;
  ~HostPtr() { sqlite3_free(ptr); }
  void reset(T *p = nullptr) {
    sqlite3_free(ptr);
    ptr = p;
  }
  T *release() {
    T *p = ptr;
    ptr = nullptr;
    return p;
  }
  T *get() const { return ptr; }
  T &operator[](int64_t i) const { return ptr[i]; }
  explicit operator bool() const { return ptr != nullptr; }
};
using HostStr = HostPtr<char>;

// Frees each host allocation in turn (null ones are fine): the body of a record's _free.
template <class... P> void host_free_all(P *...p) {
  (sqlite3_free(const_cast<void *>(static_cast<const void *>(p))), ...);
}

// Frees a record that owns memory through its fields, with its _free function, when the scope
// ends.
template <class T, void (*Free)(T *)> struct FreeGuard {
  T *rec; // borrowed; its fields are freed at the end of the scope
  explicit FreeGuard(T *r) : rec(r) {}
  FreeGuard(const FreeGuard &) = delete;
  FreeGuard &operator=(const FreeGuard &) = delete;
  ~FreeGuard() { Free(rec); }
};

// Allocates n zeroed elements from the host; null on failure or when n is not positive.
template <class T> T *host_calloc(int64_t n) {
  if (n <= 0 || (uint64_t)n > (uint64_t)INT64_MAX / sizeof(T)) return nullptr;
  T *p = (T *)sqlite3_malloc64((sqlite3_uint64)n * sizeof(T));
  if (p) memset((void *)p, 0, (size_t)n * sizeof(T));
  return p;
}

// The one growth rule for arrays held in plain records: makes *data (with *cap elements
// allocated) hold at least need elements, doubling from first_cap and never past max_cap.
// Returns false when need exceeds max_cap or memory runs out; the old array then stays valid.
template <class T, class N>
bool host_grow(T **data, N *cap, int64_t need, int64_t first_cap, int64_t max_cap = INT32_MAX) {
  if (need <= (int64_t)*cap) return true;
  if (need > max_cap || (uint64_t)need > (uint64_t)INT64_MAX / sizeof(T)) return false;
  int64_t want = *cap ? (int64_t)*cap * 2 : first_cap;
  if (want < need) want = need;
  if (want > max_cap || (uint64_t)want > (uint64_t)INT64_MAX / sizeof(T)) want = need;
  T *p = (T *)sqlite3_realloc64(*data, (sqlite3_uint64)want * sizeof(T));
  if (!p) return false;
  *data = p;
  *cap = (N)want;
  return true;
}

// A growable array of trivially copyable elements. Starts at the capacity the caller asks for
// and doubles when full; every growth returns false instead of failing loudly.
template <class T> struct HostArray {
  static_assert(std::is_trivially_copyable_v<T>, "HostArray holds plain records only");
  T *data = nullptr; // owned; freed by the destructor
  int64_t len = 0;   // elements in use
  int64_t cap = 0;   // elements allocated
  HostArray() = default;
  HostArray(const HostArray &) = delete;
  HostArray &operator=(const HostArray &) = delete;
  ~HostArray() { sqlite3_free(data); }
  bool reserve(int64_t want) {
    if (want <= cap) return true;
    if ((uint64_t)want > (uint64_t)INT64_MAX / sizeof(T)) return false;
    T *p = (T *)sqlite3_realloc64(data, (sqlite3_uint64)want * sizeof(T));
    if (!p) return false;
    data = p;
    cap = want;
    return true;
  }
  bool push(const T &v, int64_t first_cap = 16) {
    if (len == cap && !reserve(cap ? cap * 2 : first_cap)) return false;
    data[len++] = v;
    return true;
  }
  T &operator[](int64_t i) const { return data[i]; }
  T *release() {
    T *p = data;
    data = nullptr;
    len = cap = 0;
    return p;
  }
  void clear() { len = 0; }
};

// A growable array of owned host texts; release() hands over the array and its len texts.
struct HostTexts : HostArray<char *> {
  HostTexts() = default;
  ~HostTexts() {
    for (int64_t i = 0; i < len; i++)
      sqlite3_free(data[i]);
  }
  // Appends an owned copy of text (null reads as empty); false when memory runs out.
  bool push_copy(const char *text, int64_t first_cap = 16) {
    char *copy = sqlite3_mprintf("%s", text ? text : "");
    if (copy && push(copy, first_cap)) return true;
    sqlite3_free(copy);
    return false;
  }
};
