// Content hashing: the SHA-256 core (FIPS 180-4), the canonical encoding of SQL values and row
// boundaries, the hex finisher and the streaming file hasher. Nothing here allocates except
// the file hasher's error message.
#include "registry/registry.h"
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

const uint32_t K[64] = {0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
                        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
                        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
                        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
                        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
                        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
                        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
                        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

const uint32_t H0[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// One compression of a 64-byte block into the chaining words.
void compress(uint32_t h[8], const unsigned char *p) {
  uint32_t w[64];
  for (int i = 0; i < 16; i++)
    w[i] = (uint32_t)p[4 * i] << 24 | (uint32_t)p[4 * i + 1] << 16 | (uint32_t)p[4 * i + 2] << 8 | p[4 * i + 3];
  for (int i = 16; i < 64; i++) {
    uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
  for (int i = 0; i < 64; i++) {
    uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
    uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    hh = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
  h[5] += f;
  h[6] += g;
  h[7] += hh;
}

#if defined(__x86_64__)
// The same compression with the processor's SHA instructions, several times faster: students are
// hashed again on every load. The state is kept as the instructions want it (ABEF and CDGH).
__attribute__((target("sha,sse4.1,ssse3"))) void compress_sha_ni(uint32_t h[8], const unsigned char *p, size_t blocks) {
  const __m128i BYTE_SWAP = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128((const __m128i *)&h[0]), 0xB1);
  __m128i hgfe = _mm_shuffle_epi32(_mm_loadu_si128((const __m128i *)&h[4]), 0x1B);
  __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);
  __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);
  for (; blocks > 0; blocks--, p += 64) {
    const __m128i abef_in = abef, cdgh_in = cdgh;
    __m128i w[4]; // at round group i, w[i % 4] holds the words of group i - 4 until replaced
    for (int i = 0; i < 4; i++)
      w[i] = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(p + 16 * i)), BYTE_SWAP);
    for (int i = 0; i < 16; i++) {
      if (i >= 4) {
        __m128i partial = _mm_add_epi32(_mm_sha256msg1_epu32(w[i & 3], w[(i + 1) & 3]),
                                        _mm_alignr_epi8(w[(i + 3) & 3], w[(i + 2) & 3], 4));
        w[i & 3] = _mm_sha256msg2_epu32(partial, w[(i + 3) & 3]);
      }
      __m128i msg = _mm_add_epi32(w[i & 3], _mm_loadu_si128((const __m128i *)&K[4 * i]));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(msg, 0x0E));
    }
    abef = _mm_add_epi32(abef, abef_in);
    cdgh = _mm_add_epi32(cdgh, cdgh_in);
  }
  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128((__m128i *)&h[0], _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128((__m128i *)&h[4], _mm_alignr_epi8(dchg, feba, 8));
}

// Whether this processor has the SHA extensions (with SSSE3 and SSE4.1, which they assume).
bool has_sha_ni() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSSE3) || !(c & bit_SSE4_1)) return false;
  return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_SHA);
}
#endif

// Compresses whole blocks; long runs go to the SHA instructions when there are any (asking the
// processor costs about as much as a block, so short runs stay here).
void compress_blocks(uint32_t h[8], const unsigned char *p, size_t blocks) {
#if defined(__x86_64__)
  if (blocks >= 8 && has_sha_ni()) {
    compress_sha_ni(h, p, blocks);
    return;
  }
#endif
  for (; blocks > 0; blocks--, p += 64)
    compress(h, p);
}

const unsigned char UNIT_SEP = 0x1F;
const unsigned char RECORD_SEP = 0x1E;

} // namespace

extern "C" {

void sha256_init(sha256_state *st) {
  memcpy(st->h, H0, sizeof H0);
  st->bits = 0;
  st->pending = 0;
}

void sha256_update(sha256_state *st, const void *data, size_t len) {
  const unsigned char *p = (const unsigned char *)data;
  st->bits += (uint64_t)len * 8;
  if (st->pending) {
    size_t take = 64 - st->pending;
    if (take > len) take = len;
    memcpy(st->block + st->pending, p, take);
    st->pending += (uint32_t)take;
    p += take;
    len -= take;
    if (st->pending < 64) return;
    compress(st->h, st->block);
    st->pending = 0;
  }
  compress_blocks(st->h, p, len / 64);
  p += len / 64 * 64;
  len %= 64;
  if (len) {
    memcpy(st->block, p, len);
    st->pending = (uint32_t)len;
  }
}

void sha256_final(sha256_state *st, unsigned char out[32]) {
  uint64_t bits = st->bits;
  unsigned char pad[72] = {0x80};
  // Pad to 56 bytes mod 64, then the bit count big-endian.
  size_t padlen = st->pending < 56 ? 56 - st->pending : 120 - st->pending;
  for (int i = 0; i < 8; i++)
    pad[padlen + i] = (unsigned char)(bits >> (56 - 8 * i));
  sha256_update(st, pad, padlen + 8);
  for (int i = 0; i < 8; i++) {
    out[4 * i] = (unsigned char)(st->h[i] >> 24);
    out[4 * i + 1] = (unsigned char)(st->h[i] >> 16);
    out[4 * i + 2] = (unsigned char)(st->h[i] >> 8);
    out[4 * i + 3] = (unsigned char)st->h[i];
  }
}

sha256_state *vornel0_hash_init(sha256_state *st) {
  sha256_init(st);
  return st;
}

void vornel0_hash_null(sha256_state *st) {
  const unsigned char bytes[2] = {'n', UNIT_SEP};
  sha256_update(st, bytes, 2);
}

void vornel0_hash_int(sha256_state *st, int64_t value) {
  // "i%lld" written by hand: the tag, a sign for negatives, the digits of |value|.
  char buf[24];
  char digits[20];
  int n = 0;
  uint64_t mag = value < 0 ? 0 - (uint64_t)value : (uint64_t)value;
  do {
    digits[n++] = (char)('0' + mag % 10);
    mag /= 10;
  } while (mag);
  int len = 0;
  buf[len++] = 'i';
  if (value < 0) buf[len++] = '-';
  while (n)
    buf[len++] = digits[--n];
  buf[len++] = (char)UNIT_SEP;
  sha256_update(st, buf, (size_t)len);
}

void vornel0_hash_real(sha256_state *st, double value) {
  uint64_t bits;
  memcpy(&bits, &value, 8);
  unsigned char bytes[10];
  bytes[0] = 'r';
  for (int i = 0; i < 8; i++)
    bytes[1 + i] = (unsigned char)(bits >> (56 - 8 * i));
  bytes[9] = UNIT_SEP;
  sha256_update(st, bytes, 10);
}

void vornel0_hash_text(sha256_state *st, const char *text) {
  sha256_update(st, "t", 1);
  if (text) sha256_update(st, text, strlen(text));
  sha256_update(st, &UNIT_SEP, 1);
}

void vornel0_hash_row_end(sha256_state *st) { sha256_update(st, &RECORD_SEP, 1); }

void vornel0_hash_hex(sha256_state *st, char *out) {
  static const char HEX[] = "0123456789abcdef";
  unsigned char digest[32];
  sha256_final(st, digest);
  for (int i = 0; i < 32; i++) {
    out[2 * i] = HEX[digest[i] >> 4];
    out[2 * i + 1] = HEX[digest[i] & 15];
  }
  out[64] = 0;
}

int vornel0_hash_file(const char *path, char *out, char **out_msg) {
  return vornel0_hash_file_on(nullptr, path, out, out_msg);
}

} // extern "C"

void vornel0_hash_bytes(const void *data, int64_t len, char *out) {
  sha256_state st;
  vornel0_hash_init(&st);
  sha256_update(&st, data, (size_t)len);
  vornel0_hash_hex(&st, out);
}

int vornel0_hash_file_on(sqlite3 *db, const char *path, char *out, char **out_msg) {
  *out_msg = nullptr;
  // Plain descriptors rather than stdio: the C library would allocate the stream's buffer
  // outside the host's accounting.
  // Non-blocking so that a FIFO cannot stall the open; only regular files are read, since a
  // device or pipe may never end (/dev/zero would be hashed forever).
#ifdef _WIN32
  // Windows has neither flag (a pipe cannot be opened by path there); binary mode reads the
  // bytes as they are on disk.
  int fd = open(path, O_RDONLY | O_BINARY);
#else
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
#endif
  if (fd < 0) {
    *out_msg = sqlite3_mprintf("%s: cannot open weights file: %s", VORNEL_ERR_RESOURCE, path);
    return 1;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    *out_msg = sqlite3_mprintf("%s: weights file is not a regular file: %s", VORNEL_ERR_RESOURCE, path);
    return 1;
  }
  sha256_state st;
  sha256_init(&st);
  unsigned char buf[65536];
  int rc = 0;
  // A byte counts as one unit of work: a few milliseconds of hashing between two looks.
  Cancel cancel = vornel0_cancel(db);
  for (;;) {
    ssize_t got = read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      rc = 1;
      break;
    }
    if (got == 0) break;
    if (cancel.stop(got)) {
      rc = SQLITE_INTERRUPT;
      break;
    }
    sha256_update(&st, buf, (size_t)got);
  }
  close(fd);
  if (rc == SQLITE_INTERRUPT) {
    *out_msg = sqlite3_mprintf("%s: hashing the weights file was interrupted: %s", VORNEL_ERR_RESOURCE, path);
    return rc;
  }
  if (rc != 0) {
    *out_msg = sqlite3_mprintf("%s: read error on weights file: %s", VORNEL_ERR_RESOURCE, path);
    return 1;
  }
  vornel0_hash_hex(&st, out);
  return 0;
}
