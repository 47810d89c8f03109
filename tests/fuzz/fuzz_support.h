// Shared set-up for the libFuzzer targets: the pinned host is linked in directly, the
// extension's objects beside it. A target calls fuzz_open() for a fresh connection with the
// extension registered and fuzz_close() to close it and check that every byte came back.
// This header talks to the host through sqlite3.h, never through the extension's routine table.
#pragma once
#include <sqlite3.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

extern "C" {
int sqlite3_vornel_init(sqlite3 *db, char **pzErrMsg, const sqlite3_api_routines *api);
typedef int (*vornel0_option_cb)(void *record, const char *key, sqlite3_value *value, char **out_msg);
int vornel0_options_parse(sqlite3 *db, const char *doc, const char *const *keys, vornel0_option_cb cb, void *record,
                          char **out_msg);
int vornel0_parse_timestamp(const char *text, int64_t *out_ms);
int vornel0_format_timestamp(int64_t ms, char *buf, size_t size);
char *vornel0_ulid_min(int64_t ms, char *buf);
}
int parse_str_array(sqlite3 *db, const char *json, char ***out_items, int *out_count, char **out_msg);
void str_array_free(char **items, int count);

// Fails the run: libFuzzer records the input that got here.
#define FUZZ_CHECK(cond)                                                                                               \
  do {                                                                                                                 \
    if (!(cond)) __builtin_trap();                                                                                     \
  } while (0)

// A NUL-terminated copy of the input, freed by the caller with free().
inline char *fuzz_text(const uint8_t *data, size_t size) {
  char *s = (char *)malloc(size + 1);
  memcpy(s, data, size);
  s[size] = 0;
  return s;
}

// Opens a :memory: connection with the extension registered (its routine table is set on the
// first open). *baseline receives the host's memory use before the open.
inline sqlite3 *fuzz_open(sqlite3_int64 *baseline) {
  static bool registered = false;
  if (!registered) {
    sqlite3_auto_extension((void (*)(void))sqlite3_vornel_init);
    registered = true;
  }
  *baseline = sqlite3_memory_used();
  sqlite3 *db = nullptr;
  FUZZ_CHECK(sqlite3_open(":memory:", &db) == SQLITE_OK);
  return db;
}

// Closes the connection; every statement must be finalised and all memory returned.
inline void fuzz_close(sqlite3 *db, sqlite3_int64 baseline) {
  FUZZ_CHECK(sqlite3_close(db) == SQLITE_OK);
  FUZZ_CHECK(sqlite3_memory_used() == baseline);
}
