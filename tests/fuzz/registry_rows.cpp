// Registry rows of any content: a table made without the constraints holds one row whose seven
// columns take any type and bytes the input chooses. The lookup must answer 0, 1, 7 or 11,
// leave the row zeroed on failure, copy blobs whole and never over-read; the existence probe
// must agree with it; nothing may stay allocated.
#define SQLITE_CORE 1 // the host is called directly here, not through the routine table
#include "fuzz_support.h"
#include "registry/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  uint32_t types = (uint32_t)data[0] | (uint32_t)data[1] << 8 | (uint32_t)data[2] << 16;
  data += 3;
  size -= 3;
  sqlite3_int64 baseline;
  sqlite3 *db = fuzz_open(&baseline);
  FUZZ_CHECK(
      sqlite3_exec(db,
                   "CREATE TABLE _vornel_models (model_id TEXT PRIMARY KEY, runtime, kind, weights_uri, io_spec, "
                   "license, content_hash, weights)",
                   nullptr, nullptr, nullptr) == SQLITE_OK);
  sqlite3_stmt *ins = nullptr;
  FUZZ_CHECK(sqlite3_prepare_v2(db, "INSERT INTO _vornel_models VALUES ('m', ?, ?, ?, ?, ?, ?, ?)", -1, &ins,
                                nullptr) == SQLITE_OK);
  // Columns take consecutive slices of the input, cut at 0xFF bytes.
  size_t pos = 0;
  int blob_len = -1;
  for (int col = 0; col < 7; col++) {
    size_t start = pos;
    while (pos < size && data[pos] != 0xFF)
      pos++;
    const uint8_t *bytes = data + start;
    int len = (int)(pos - start);
    if (pos < size) pos++;
    switch ((types >> (3 * col)) % 5) {
    case 0:
      sqlite3_bind_null(ins, col + 1);
      break;
    case 1:
      sqlite3_bind_int64(ins, col + 1, len ? (int64_t)bytes[0] * 1000003 - 7 : 0);
      break;
    case 2:
      sqlite3_bind_double(ins, col + 1, len ? bytes[0] / 7.0 : -0.0);
      break;
    case 3:
      sqlite3_bind_text(ins, col + 1, (const char *)bytes, len, SQLITE_TRANSIENT);
      break;
    default:
      sqlite3_bind_blob(ins, col + 1, bytes, len, SQLITE_TRANSIENT);
      if (col == 6) blob_len = len;
      break;
    }
  }
  FUZZ_CHECK(sqlite3_step(ins) == SQLITE_DONE);
  sqlite3_finalize(ins);

  vornel0_model_row row;
  int rc = vornel0_registry_lookup(db, "m", &row);
  FUZZ_CHECK(rc == SQLITE_OK || rc == SQLITE_CORRUPT || rc == SQLITE_NOMEM);
  if (rc == SQLITE_OK) {
    FUZZ_CHECK(row.runtime && row.kind && row.license && row.content_hash);
    // Touching every byte lets the sanitizer catch a short copy.
    size_t total = strlen(row.runtime) + strlen(row.kind) + strlen(row.license) + strlen(row.content_hash);
    if (row.weights_uri) total += strlen(row.weights_uri);
    if (row.io_spec) total += strlen(row.io_spec);
    (void)total;
    if (blob_len > 0) {
      FUZZ_CHECK(row.weights_len == blob_len && row.weights != nullptr);
      unsigned sum = 0;
      for (int i = 0; i < row.weights_len; i++)
        sum += row.weights[i];
      (void)sum;
    } else {
      FUZZ_CHECK(row.weights_len == 0 && row.weights == nullptr);
    }
  } else {
    FUZZ_CHECK(!row.runtime && !row.kind && !row.license && !row.content_hash && !row.weights && row.weights_len == 0);
  }
  vornel0_model_row_free(&row);
  vornel0_model_row_free(&row);
  FUZZ_CHECK(vornel0_registry_lookup(db, "other", &row) == SQLITE_ERROR);

  int probe_rc = -1;
  char *hash = vornel0_registry_model_hash(db, "m", &probe_rc);
  FUZZ_CHECK(probe_rc == SQLITE_OK);
  FUZZ_CHECK((hash != nullptr) == (((types >> 15) % 5) != 0)); // content_hash is the sixth bound column
  sqlite3_free(hash);

  fuzz_close(db, baseline);
  return 0;
}
