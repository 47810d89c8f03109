// Utility SQL functions: vornel_version, vornel_debug and vornel_ulid, and the ULID
// encoders (Crockford's base-32 over a 48-bit millisecond time and 80 random bits).
#include "core/api.h"

namespace {

const char B32[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
const char SPEC_LEVEL[] = "0005-draft";

// Encodes the 48-bit time and 10 random bytes as 26 characters and a NUL.
char *ulid_encode(int64_t ms, const unsigned char rnd[10], char *buf) {
  unsigned char bytes[16];
  uint64_t t = (uint64_t)ms & 0xFFFFFFFFFFFFULL;
  for (int i = 0; i < 6; i++)
    bytes[i] = (unsigned char)(t >> (8 * (5 - i)));
  memcpy(bytes + 6, rnd, 10);
  // 130 bits with two leading zero bits, cut into 26 groups from the top.
  for (int g = 0; g < 26; g++) {
    int bit = g * 5 - 2; // position of the group's first bit within the 128 bits
    int v = 0;
    for (int b = 0; b < 5; b++) {
      int pos = bit + b;
      int on = pos >= 0 && ((bytes[pos >> 3] >> (7 - (pos & 7))) & 1);
      v = (v << 1) | on;
    }
    buf[g] = B32[v];
  }
  buf[26] = 0;
  return buf;
}

} // namespace

char *vornel0_ulid_min(int64_t ms, char *buf) {
  static const unsigned char ZERO[10] = {0};
  return ulid_encode(ms, ZERO, buf);
}

char *vornel0_ulid_new(int64_t ms, char *buf) {
  unsigned char rnd[10];
  sqlite3_randomness(10, rnd);
  return ulid_encode(ms, rnd, buf);
}

void vornel_version_func(sqlite3_context *ctx, int, sqlite3_value **) {
  char *text = sqlite3_mprintf("{\"extension\":\"%s\",\"spec\":\"%s\",\"runtimes\":[\"stat\",\"tree\"],\"models\":[]}",
                               VORNEL_VERSION, SPEC_LEVEL);
  if (!text) {
    sqlite3_result_error_nomem(ctx);
    return;
  }
  sqlite3_result_text(ctx, text, -1, sqlite3_free);
  sqlite3_result_subtype(ctx, 'J');
}

void vornel_debug_func(sqlite3_context *ctx, int, sqlite3_value **) {
  char *text = sqlite3_mprintf("Version: %s\nDate: %s\nCommit: %s", VORNEL_VERSION, VORNEL_BUILD_DATE, VORNEL_COMMIT);
  if (!text) {
    sqlite3_result_error_nomem(ctx);
    return;
  }
  sqlite3_result_text(ctx, text, -1, sqlite3_free);
}

void vornel_ulid_func(sqlite3_context *ctx, int, sqlite3_value **argv) {
  const char *text = (const char *)sqlite3_value_text(argv[0]);
  int64_t ms;
  if (!text && sqlite3_value_type(argv[0]) != SQLITE_NULL) {
    sqlite3_result_error_nomem(ctx);
    return;
  }
  if (vornel0_parse_timestamp(text, &ms) != 0) {
    vornel0_report(ctx, sqlite3_mprintf("%s: unparseable timestamp '%s'", VORNEL_ERR_SCHEMA, text ? text : "(null)"));
    return;
  }
  // The 48 time bits hold no sign: an earlier time would wrap and sort after today.
  if (ms < 0) {
    vornel0_report(ctx, sqlite3_mprintf("%s: timestamp '%s' is before 1970-01-01, which a ULID cannot hold",
                                        VORNEL_ERR_SCHEMA, text));
    return;
  }
  char buf[27];
  sqlite3_result_text(ctx, vornel0_ulid_min(ms, buf), 26, SQLITE_TRANSIENT);
}
