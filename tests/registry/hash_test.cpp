// SHA-256 against the published FIPS 180-4 vectors, chunked updates against whole ones, the
// canonical value encoding byte for byte, and the file hasher.
#include "registry/registry.h"
#include "support/harness.h"
#include <fstream>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string hex_of(const void *data, size_t len) {
  sha256_state st;
  char hex[VORNEL_HASH_HEX_SIZE];
  vornel0_hash_init(&st);
  sha256_update(&st, data, len);
  vornel0_hash_hex(&st, hex);
  return hex;
}

std::string hex_of(const std::string &s) { return hex_of(s.data(), s.size()); }

// Records every byte fed to a state by running the encoder on a fresh state and comparing with
// the digest of an explicit byte string: equal digests mean equal bytes.
std::string bytes_digest(void (*feed)(sha256_state *)) {
  sha256_state st;
  char hex[VORNEL_HASH_HEX_SIZE];
  vornel0_hash_init(&st);
  feed(&st);
  vornel0_hash_hex(&st, hex);
  return hex;
}

} // namespace

TEST(Sha256, PublishedVectors) {
  EXPECT_EQ(hex_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  std::string million(1000000, 'a');
  EXPECT_EQ(hex_of(million), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // The 896-bit two-block vector.
  EXPECT_EQ(hex_of("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmno"
                   "pqrstnopqrstu"),
            "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
}

TEST(Sha256, RawDigestMatchesHex) {
  sha256_state st;
  unsigned char raw[32];
  sha256_init(&st);
  sha256_update(&st, "abc", 3);
  sha256_final(&st, raw);
  EXPECT_EQ(raw[0], 0xba);
  EXPECT_EQ(raw[31], 0xad);
}

TEST(Sha256, ChunkedUpdatesMatchWholeUpdate) {
  std::mt19937 rng(12345);
  for (size_t len = 0; len <= 300; len++) {
    std::string data(len, '\0');
    for (auto &c : data)
      c = (char)(rng() & 0xFF);
    std::string whole = hex_of(data);
    for (int trial = 0; trial < 8; trial++) {
      sha256_state st;
      sha256_init(&st);
      size_t pos = 0;
      while (pos < len) {
        size_t take = rng() % (len - pos + 1); // zero-length updates included
        sha256_update(&st, data.data() + pos, take);
        pos += take;
      }
      sha256_update(&st, data.data(), 0);
      char hex[VORNEL_HASH_HEX_SIZE];
      vornel0_hash_hex(&st, hex);
      ASSERT_EQ(whole, hex) << "length " << len << " trial " << trial;
    }
  }
}

// Long runs of whole blocks may take the processor's SHA instructions; fed a byte at a time,
// the same data goes through the portable compression only.
TEST(Sha256, LongRunsMatchBytewiseFeeding) {
  std::mt19937 rng(777);
  for (size_t len = 512; len <= 4200; len += 37) {
    std::string data(len, '\0');
    for (auto &c : data)
      c = (char)(rng() & 0xFF);
    sha256_state st;
    sha256_init(&st);
    for (char c : data)
      sha256_update(&st, &c, 1);
    char hex[VORNEL_HASH_HEX_SIZE];
    vornel0_hash_hex(&st, hex);
    ASSERT_EQ(hex_of(data), hex) << "length " << len;
  }
}

TEST(CanonicalEncoding, ValuesByteForByte) {
  EXPECT_EQ(bytes_digest([](sha256_state *s) { vornel0_hash_int(s, 0); }), hex_of(std::string("i0\x1f")));
  EXPECT_EQ(bytes_digest([](sha256_state *s) { vornel0_hash_int(s, -42); }), hex_of(std::string("i-42\x1f")));
  EXPECT_EQ(bytes_digest([](sha256_state *s) { vornel0_hash_int(s, INT64_MIN); }),
            hex_of(std::string("i-9223372036854775808\x1f")));
  EXPECT_EQ(bytes_digest([](sha256_state *s) { vornel0_hash_int(s, INT64_MAX); }),
            hex_of(std::string("i9223372036854775807\x1f")));
  const unsigned char one[] = {'r', 0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x1F};
  EXPECT_EQ(bytes_digest([](sha256_state *s) { vornel0_hash_real(s, 1.0); }), hex_of(one, sizeof one));
  const unsigned char neg_zero[] = {'r', 0x80, 0, 0, 0, 0, 0, 0, 0, 0x1F};
  EXPECT_EQ(bytes_digest([](sha256_state *s) { vornel0_hash_real(s, -0.0); }), hex_of(neg_zero, sizeof neg_zero));
  EXPECT_EQ(bytes_digest([](sha256_state *s) { vornel0_hash_null(s); }), hex_of(std::string("n\x1f")));
  EXPECT_EQ(bytes_digest([](sha256_state *s) { vornel0_hash_text(s, nullptr); }), hex_of(std::string("t\x1f")));
  EXPECT_EQ(bytes_digest([](sha256_state *s) { vornel0_hash_text(s, ""); }), hex_of(std::string("t\x1f")));
  EXPECT_EQ(bytes_digest([](sha256_state *s) { vornel0_hash_text(s, "h\xc3\xa9"); }),
            hex_of(std::string("th\xc3\xa9\x1f")));
  EXPECT_EQ(bytes_digest([](sha256_state *s) { vornel0_hash_row_end(s); }), hex_of(std::string("\x1e")));
}

TEST(CanonicalEncoding, RowsConcatenate) {
  std::string expect = std::string("i1\x1f") + "t\x1f" + "n\x1f" + "\x1e" + "\x1e";
  EXPECT_EQ(bytes_digest([](sha256_state *s) {
              vornel0_hash_int(s, 1);
              vornel0_hash_text(s, "");
              vornel0_hash_null(s);
              vornel0_hash_row_end(s);
              vornel0_hash_row_end(s); // a row of zero columns
            }),
            hex_of(expect));
}

TEST(HashFile, FilesOfEveryShape) {
  vt::TempFile empty("hash_empty.bin"), big("hash_big.bin");
  std::ofstream(empty.path, std::ios::binary).close();
  std::string content;
  for (int i = 0; i < 200000; i++)
    content += (char)(i * 7 + (i >> 9)); // crosses the 64 KiB buffer
  std::ofstream(big.path, std::ios::binary) << content;
  char hex[VORNEL_HASH_HEX_SIZE];
  char *msg = nullptr;
  ASSERT_EQ(vornel0_hash_file(empty.path.c_str(), hex, &msg), 0);
  EXPECT_EQ(msg, nullptr);
  EXPECT_STREQ(hex, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  ASSERT_EQ(vornel0_hash_file(big.path.c_str(), hex, &msg), 0);
  EXPECT_EQ(hex_of(content), hex);

  std::string missing = big.path + ".missing";
  EXPECT_EQ(vornel0_hash_file(missing.c_str(), hex, &msg), 1);
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(std::string(msg), "VORNEL_ERR_RESOURCE: cannot open weights file: " + missing);
  sqlite3_free(msg);

  // A directory opens but is no file to hash; the digest buffer is left as it was.
  std::string dir = std::string(VORNEL_BINARY_DIR) + "/hash_dir.d";
  mkdir(dir.c_str(), 0700);
  strcpy(hex, "untouched");
  EXPECT_EQ(vornel0_hash_file(dir.c_str(), hex, &msg), 1);
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(std::string(msg), "VORNEL_ERR_RESOURCE: weights file is not a regular file: " + dir);
  EXPECT_STREQ(hex, "untouched");
  sqlite3_free(msg);
  rmdir(dir.c_str());

  // Devices and pipes are refused at once instead of being read until they end, or forever.
  EXPECT_EQ(vornel0_hash_file("/dev/zero", hex, &msg), 1);
  ASSERT_NE(msg, nullptr);
  EXPECT_STREQ(msg, "VORNEL_ERR_RESOURCE: weights file is not a regular file: /dev/zero");
  sqlite3_free(msg);
  std::string fifo = std::string(VORNEL_BINARY_DIR) + "/hash_fifo";
  unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(vornel0_hash_file(fifo.c_str(), hex, &msg), 1); // no writer: must not block
  ASSERT_NE(msg, nullptr);
  EXPECT_EQ(std::string(msg), "VORNEL_ERR_RESOURCE: weights file is not a regular file: " + fifo);
  sqlite3_free(msg);
  unlink(fifo.c_str());
}
