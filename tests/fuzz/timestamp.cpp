// Timestamps: parsing any text must not over-read; a parsed time formats to a text that parses
// back to the same millisecond; formatting any time stays inside its buffer and terminates it.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  char *text = fuzz_text(data, size);
  int64_t ms = 0;
  int rc = vornel0_parse_timestamp(text, &ms);
  if (rc == 0) {
    char buf[64];
    // Parsed times are whole seconds within years 1..9999, so the text form round-trips.
    FUZZ_CHECK(vornel0_format_timestamp(ms, buf, sizeof buf) == 20 && strlen(buf) == 20);
    int64_t again = -1;
    FUZZ_CHECK(vornel0_parse_timestamp(buf, &again) == 0);
    FUZZ_CHECK(again == ms);
    char ulid[27];
    FUZZ_CHECK(vornel0_ulid_min(ms, ulid) == ulid && strlen(ulid) == 26);
  }
  // Any 64-bit time into buffers of every small size.
  if (size >= 8) {
    int64_t any;
    memcpy(&any, data, 8);
    char small[32];
    for (size_t cap = 0; cap <= sizeof small; cap += 7) {
      memset(small, 'x', sizeof small);
      FUZZ_CHECK(vornel0_format_timestamp(any, small, cap) == 20);
      if (cap > 0) FUZZ_CHECK(memchr(small, 0, cap) != nullptr);
      if (cap < sizeof small) FUZZ_CHECK(small[cap] == 'x'); // nothing written past the buffer
    }
  }
  free(text);
  return 0;
}
