// ULID text encoding against a base-32 encoder written independently here: big-number
// division of the 128-bit value by 32.
#include "core/api.h"
#include "support/harness.h"
#include <random>

namespace {

std::string reference_ulid(uint64_t ms, const unsigned char rnd[10]) {
  static const char B32[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
  unsigned __int128 v = (unsigned __int128)(ms & 0xFFFFFFFFFFFFULL) << 80;
  for (int i = 0; i < 10; i++)
    v |= (unsigned __int128)rnd[i] << (8 * (9 - i));
  std::string out(26, '0');
  for (int i = 25; i >= 0; i--) {
    out[i] = B32[(int)(v % 32)];
    v /= 32;
  }
  return out;
}

} // namespace

TEST(Ulid, MinMatchesReferenceEncoding) {
  std::mt19937_64 rng(11);
  const unsigned char zero[10] = {0};
  char buf[27];
  EXPECT_EQ(std::string(vornel0_ulid_min(1, buf)), "0000000001" + std::string(16, '0'));
  for (int i = 0; i < 20000; i++) {
    int64_t ms = (int64_t)rng();
    ASSERT_EQ(std::string(vornel0_ulid_min(ms, buf)), reference_ulid((uint64_t)ms, zero));
  }
  EXPECT_EQ(std::string(vornel0_ulid_min(-1, buf)), reference_ulid(0xFFFFFFFFFFFFULL, zero));
  EXPECT_EQ(buf[0], '7'); // the first character carries only three bits
}

TEST(Ulid, NewKeepsTimeAndSortsByTime) {
  char a[27], b[27];
  vornel0_ulid_new(1700000000000, a);
  vornel0_ulid_new(1700000000001, b);
  EXPECT_EQ(std::string(a, 10), std::string(vornel0_ulid_min(1700000000000, b), 10));
  vornel0_ulid_new(1700000000001, b);
  EXPECT_LT(std::string(a), std::string(b));
  for (int i = 0; i < 26; i++)
    EXPECT_NE(strchr("0123456789ABCDEFGHJKMNPQRSTVWXYZ", a[i]), nullptr);
}
