// SHA-256 streaming: any split of any input into updates gives the digest of one update, and
// the canonical value encoders accept every value.
#include "registry/registry.h"
#include <stdlib.h>

#define FUZZ_CHECK(cond)                                                                                               \
  do {                                                                                                                 \
    if (!(cond)) __builtin_trap();                                                                                     \
  } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  char whole[VORNEL_HASH_HEX_SIZE], split[VORNEL_HASH_HEX_SIZE];
  sha256_state st;
  vornel0_hash_init(&st);
  sha256_update(&st, data, size);
  vornel0_hash_hex(&st, whole);

  // The first bytes choose the chunk sizes.
  vornel0_hash_init(&st);
  size_t pos = 0, k = 0;
  while (pos < size) {
    size_t take = size ? (size_t)data[k++ % size] % 97 : 0;
    if (take > size - pos) take = size - pos;
    sha256_update(&st, data + pos, take);
    pos += take;
    if (take == 0 && k > size + 8) { // only zero sizes left: finish in one piece
      sha256_update(&st, data + pos, size - pos);
      pos = size;
    }
  }
  vornel0_hash_hex(&st, split);
  FUZZ_CHECK(memcmp(whole, split, VORNEL_HASH_HEX_SIZE) == 0);
  for (int i = 0; i < 64; i++)
    FUZZ_CHECK((whole[i] >= '0' && whole[i] <= '9') || (whole[i] >= 'a' && whole[i] <= 'f'));

  vornel0_hash_init(&st);
  if (size >= 8) {
    int64_t iv;
    double dv;
    memcpy(&iv, data, 8);
    memcpy(&dv, data, 8);
    vornel0_hash_int(&st, iv);
    vornel0_hash_real(&st, dv);
  }
  char *text = (char *)malloc(size + 1);
  memcpy(text, data, size);
  text[size] = 0;
  vornel0_hash_text(&st, text);
  vornel0_hash_null(&st);
  vornel0_hash_row_end(&st);
  vornel0_hash_hex(&st, split);
  free(text);
  return 0;
}
