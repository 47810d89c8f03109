// Options documents and JSON string arrays: any text must give SQLITE_OK, an error with a
// message, or out-of-memory, and leave nothing allocated.
#include "fuzz_support.h"

namespace {

const char *const KEYS[] = {"model", "level", "folds", "candidates", "time_column", "", nullptr};

int read_value(void *record, const char *key, sqlite3_value *value, char **out_msg) {
  int *count = (int *)record;
  (*count)++;
  FUZZ_CHECK(key != nullptr);
  // Touch the value the ways option callbacks do.
  const unsigned char *text = sqlite3_value_text(value);
  if (text) FUZZ_CHECK(strlen((const char *)text) <= (size_t)sqlite3_value_bytes(value));
  (void)sqlite3_value_double(value);
  (void)sqlite3_value_int64(value);
  if (sqlite3_value_type(value) == SQLITE_TEXT && text && text[0] == '!') {
    *out_msg = sqlite3_mprintf("refused '%s'", key);
    return 1;
  }
  return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  char *doc = fuzz_text(data, size);
  sqlite3_int64 baseline;
  sqlite3 *db = fuzz_open(&baseline);

  int count = 0;
  char *msg = nullptr;
  int rc = vornel0_options_parse(db, doc, KEYS, read_value, &count, &msg);
  FUZZ_CHECK(rc == SQLITE_OK || rc == SQLITE_ERROR || rc == SQLITE_NOMEM);
  FUZZ_CHECK(rc != SQLITE_ERROR || msg != nullptr);
  FUZZ_CHECK(rc != SQLITE_OK || msg == nullptr);
  sqlite3_free(msg);

  char **items = nullptr;
  int n = 0;
  msg = nullptr;
  rc = parse_str_array(db, doc, &items, &n, &msg);
  FUZZ_CHECK(rc == SQLITE_OK || rc == SQLITE_ERROR || rc == SQLITE_NOMEM);
  FUZZ_CHECK(n >= 0 && (n == 0 || items != nullptr));
  for (int i = 0; i < n; i++)
    FUZZ_CHECK(items[i] != nullptr);
  str_array_free(items, n);
  sqlite3_free(msg);

  fuzz_close(db, baseline);
  free(doc);
  return 0;
}
