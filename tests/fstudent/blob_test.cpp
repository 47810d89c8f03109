// The VNFCST blob reader and writer: layout, every range and level check, truncation at every
// length, and the round trip.
#include "student_util.h"
#include "support/harness.h"

namespace {

struct Loaded {
  fcst_student st{};
  int rc = 0;
  std::string msg;
  explicit Loaded(const std::vector<unsigned char> &b) : Loaded(b.data(), (int64_t)b.size()) {}
  Loaded(const void *p, int64_t n) {
    char *m = nullptr;
    rc = fcst_deserialize(p, n, &st, &m);
    msg = m ? m : "";
    sqlite3_free(m);
  }
  ~Loaded() { fcst_student_free(&st); }
};

const char *MALFORMED = "VORNEL_ERR_SCHEMA: malformed forecast student blob";
const char *NOT_BLOB = "VORNEL_ERR_SCHEMA: not a forecast student blob";

fst::Spec spec(int L, int H, int E, int Q, bool linear = true) {
  fst::Spec s;
  s.L = L, s.H = H, s.E = E, s.Q = Q, s.linear = linear;
  s.magic = linear ? "VNFCST02" : "VNFCST01";
  s.levels.clear();
  for (int j = 0; j < Q; j++)
    s.levels.push_back((j + 1.0f) / (Q + 1.0f));
  s.fill();
  return s;
}

} // namespace

TEST(FcstBlob, ReadsEveryFieldOfVersion02) {
  fst::Spec s = spec(3, 2, 2, 3);
  auto b = fst::write_blob(s);
  ASSERT_EQ(b.size(), 24 + 4 * (3 + 2 * 3 + 2 * 4 + 6 * 3 + 6 * 3));
  Loaded l(b);
  ASSERT_EQ(l.rc, SQLITE_OK) << l.msg;
  const mlp_model &n = l.st.net;
  EXPECT_EQ(n.task, 1);
  EXPECT_EQ(n.input_count, 3);
  EXPECT_EQ(n.hidden_count, 2);
  EXPECT_EQ(n.output_count, 6);
  EXPECT_EQ(l.st.horizon, 2);
  EXPECT_EQ(l.st.nquant, 3);
  EXPECT_EQ(std::vector<float>(l.st.levels, l.st.levels + 3), s.levels);
  EXPECT_EQ(std::vector<float>(n.input_mean, n.input_mean + 3), s.means);
  EXPECT_EQ(std::vector<float>(n.input_scale, n.input_scale + 3), s.scales);
  EXPECT_EQ(std::vector<float>(n.hidden_weights, n.hidden_weights + 6), s.w1);
  EXPECT_EQ(std::vector<float>(n.hidden_bias, n.hidden_bias + 2), s.b1);
  EXPECT_EQ(std::vector<float>(n.output_weights, n.output_weights + 12), s.w2);
  EXPECT_EQ(std::vector<float>(n.output_bias, n.output_bias + 6), s.b2);
  ASSERT_NE(n.skip_weights, nullptr);
  EXPECT_EQ(std::vector<float>(n.skip_weights, n.skip_weights + 18), s.skip);
}

TEST(FcstBlob, Version01HasNoLinearBlockAndNeedsHiddenUnits) {
  fst::Spec s = spec(4, 3, 2, 1, false);
  Loaded l(fst::write_blob(s));
  ASSERT_EQ(l.rc, SQLITE_OK) << l.msg;
  EXPECT_EQ(l.st.net.skip_weights, nullptr);
  EXPECT_EQ(std::vector<float>(l.st.net.output_bias, l.st.net.output_bias + 2), s.b2);

  fst::Spec z = spec(4, 0, 2, 1, false);
  Loaded l0(fst::write_blob(z));
  EXPECT_EQ(l0.rc, SQLITE_ERROR);
  EXPECT_EQ(l0.msg, MALFORMED);
  EXPECT_EQ(l0.st.levels, nullptr);

  // With the newer magic, no hidden layer is a purely linear student.
  fst::Spec lin = spec(4, 0, 2, 1, true);
  Loaded l2(fst::write_blob(lin));
  ASSERT_EQ(l2.rc, SQLITE_OK) << l2.msg;
  EXPECT_EQ(l2.st.net.hidden_count, 0);
  EXPECT_EQ(l2.st.net.hidden_weights, nullptr);
  EXPECT_EQ(std::vector<float>(l2.st.net.skip_weights, l2.st.net.skip_weights + 8), lin.skip);
}

TEST(FcstBlob, MagicAndMissingBlob) {
  EXPECT_EQ(Loaded(nullptr, 0).msg, NOT_BLOB);
  EXPECT_EQ(Loaded("VNFCST0", 7).msg, NOT_BLOB);
  EXPECT_EQ(Loaded("VNFCST03xxxxxxxxxxxxxxxxxxxxxxxxx", 32).msg, NOT_BLOB);
  EXPECT_EQ(Loaded("VNTREE01xxxxxxxxxxxxxxxxxxxxxxxxx", 32).msg, NOT_BLOB);
  EXPECT_EQ(Loaded("VNFCST02", 8).msg, MALFORMED);
  EXPECT_EQ(Loaded("VNFCST01", 8).rc, SQLITE_ERROR);
}

TEST(FcstBlob, HeaderRanges) {
  struct Case {
    int L, H, E, Q;
    bool ok;
  };
  // Ranges are checked on the header alone; a blob that passes them has its arrays appended.
  const Case cases[] = {{1, 0, 1, 1, true},     {0, 1, 1, 1, false},    {4097, 1, 1, 1, false}, {-1, 1, 1, 1, false},
                        {2, 2049, 1, 1, false}, {2, -1, 1, 1, false},   {2, 1, 0, 1, false},    {2, 1, 2049, 1, false},
                        {2, 1, 1, 0, false},    {2, 1, 1, 65, false},   {1, 0, 128, 64, true},  {1, 0, 129, 64, false},
                        {1, 0, 2048, 4, true},  {1, 0, 2048, 5, false}, {4096, 0, 1, 1, true}};
  for (const Case &c : cases) {
    fst::Spec s;
    s.L = c.L, s.H = c.H, s.E = c.E, s.Q = c.Q;
    s.levels.clear();
    if (c.ok) {
      for (int j = 0; j < c.Q; j++)
        s.levels.push_back((j + 1.0f) / (c.Q + 1.0f));
      s.fill();
    }
    Loaded l(fst::write_blob(s));
    EXPECT_EQ(l.rc, c.ok ? SQLITE_OK : SQLITE_ERROR) << c.L << " " << c.H << " " << c.E << " " << c.Q << l.msg;
    if (!c.ok) {
      EXPECT_EQ(l.msg, MALFORMED);
    }
  }
}

TEST(FcstBlob, LevelsMustBeIncreasingInsideTheUnitInterval) {
  const std::vector<std::vector<float>> bad = {{0.1f, 0.5f, 0.5f}, {0.0f, 0.5f, 0.9f},  {0.1f, 0.5f, 1.0f},
                                               {0.5f, 0.1f, 0.9f}, {-0.1f, 0.5f, 0.9f}, {0.1f, NAN, 0.9f}};
  for (const auto &lv : bad) {
    fst::Spec s = spec(3, 2, 2, 3);
    s.levels = lv;
    Loaded l(fst::write_blob(s));
    EXPECT_EQ(l.msg, MALFORMED) << lv[0] << "," << lv[1] << "," << lv[2];
  }
}

TEST(FcstBlob, TruncationAtEveryLengthAndTrailingBytes) {
  for (bool linear : {true, false}) {
    fst::Spec s = spec(3, 2, 2, 2, linear);
    auto b = fst::write_blob(s);
    for (size_t n = 0; n < b.size(); n++) {
      Loaded l(b.data(), (int64_t)n);
      EXPECT_EQ(l.rc, SQLITE_ERROR) << n;
      EXPECT_EQ(l.msg, n < 8 ? NOT_BLOB : MALFORMED) << n;
      EXPECT_EQ(l.st.levels, nullptr);
    }
    auto longer = b;
    longer.insert(longer.end(), {1, 2, 3, 4, 5});
    EXPECT_EQ(Loaded(longer).rc, SQLITE_OK);
  }
  // A version 02 blob that ends right after its levels.
  fst::Spec s = spec(3, 2, 2, 3);
  auto b = fst::write_blob(s);
  EXPECT_EQ(Loaded(b.data(), 24 + 4 * 3).msg, MALFORMED);
}

TEST(FcstBlob, ForgedHugeHeaderOnATinyBlob) {
  fst::Spec s;
  s.L = 4096, s.H = 2048, s.E = 128, s.Q = 64;
  s.levels.clear();
  for (int j = 0; j < 64; j++)
    s.levels.push_back((j + 1.0f) / 65.0f);
  auto b = fst::write_blob(s); // header and levels only
  sqlite3_int64 base = sqlite3_memory_used();
  sqlite3_memory_highwater(1);
  Loaded l(b);
  EXPECT_EQ(l.msg, MALFORMED);
  EXPECT_LT(sqlite3_memory_highwater(0) - base, 1 << 20);
}

TEST(FcstBlob, RoundTripWritesVersion02ByteForByte) {
  for (int H : {0, 5}) {
    fst::Spec s = spec(6, H, 3, 2);
    auto b = fst::write_blob(s);
    Loaded l(b);
    ASSERT_EQ(l.rc, SQLITE_OK) << l.msg;
    unsigned char *out = nullptr;
    int64_t n = 0;
    ASSERT_EQ(fcst_serialize(&l.st, &out, &n), SQLITE_OK);
    EXPECT_EQ(std::vector<unsigned char>(out, out + n), b);
    sqlite3_free(out);
  }
}

TEST(FcstBlob, StudentWithoutLinearBlockIsWrittenInTheLayoutThatReadsBack) {
  fst::Spec s = spec(4, 3, 2, 2, false);
  auto b = fst::write_blob(s);
  Loaded l(b);
  ASSERT_EQ(l.rc, SQLITE_OK);
  unsigned char *out = nullptr;
  int64_t n = 0;
  ASSERT_EQ(fcst_serialize(&l.st, &out, &n), SQLITE_OK);
  EXPECT_EQ(std::vector<unsigned char>(out, out + n), b);
  Loaded again(out, n);
  EXPECT_EQ(again.rc, SQLITE_OK);
  sqlite3_free(out);
}
