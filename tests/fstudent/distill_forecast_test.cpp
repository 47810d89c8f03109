// distill_forecast through SQL: the stored row and its blob, determinism of the content hash and
// the held-out error against an independent evaluation.
#include "registry/registry.h"
#include "student_util.h"
#include "support/harness.h"
#include <cstdio>

namespace {

// Windows of a noisy sine: context values then, per step, the teacher's levels (the next
// value shifted by -1, 0, +1 for three levels, or the next value alone for one).
void make_windows(vt::Db &db, const char *table, int rows, int L, int E, int Q, bool registry = true) {
  fst::connect_module(db);
  if (registry) fst::ensure_registry(db);
  std::string cols;
  for (int i = 0; i < L + E * Q; i++)
    cols += (i ? ",c" : "c") + std::to_string(i);
  db.exec(std::string("CREATE TABLE ") + table + "(" + cols + ")");
  for (int r = 0; r < rows; r++) {
    std::string vals;
    auto y = [&](int t) { return 50 + 10 * std::sin((r + t) * 0.45) + ((r * 7 + t * 3) % 5) * 0.3; };
    for (int i = 0; i < L; i++)
      vals += (i ? "," : "") + std::to_string(y(i));
    for (int s = 0; s < E; s++)
      for (int q = 0; q < Q; q++)
        vals += "," + std::to_string(y(L + s) + (Q == 1 ? 0 : q - 1));
    db.exec(std::string("INSERT INTO ") + table + " VALUES (" + vals + ")");
  }
}

std::string opts(const std::string &extra) { return "'{\"context\":4,\"horizon\":2," + extra + "}'"; }

std::string distill(const std::string &query, const std::string &options) {
  return "SELECT model_id, train_rows FROM distill_forecast('" + query + "', " + options + ")";
}

std::vector<unsigned char> stored_blob(vt::Db &db, const std::string &id) {
  sqlite3_stmt *st = nullptr;
  sqlite3_prepare_v2(db.handle(), "SELECT weights FROM _vornel_models WHERE model_id = ?", -1, &st, nullptr);
  sqlite3_bind_text(st, 1, id.c_str(), -1, SQLITE_TRANSIENT);
  std::vector<unsigned char> out;
  if (sqlite3_step(st) == SQLITE_ROW) {
    auto *p = (const unsigned char *)sqlite3_column_blob(st, 0);
    out.assign(p, p + sqlite3_column_bytes(st, 0));
  }
  sqlite3_finalize(st);
  return out;
}

} // namespace

TEST(DistillForecast, StoresAStudentRowAndReturnsItsDescription) {
  vt::Db db;
  make_windows(db, "w", 12, 4, 2, 3);
  auto r = fst::run(db, "SELECT model_id, length(content_hash), train_rows, typeof(train_rmse) FROM distill_forecast("
                        "'SELECT * FROM w', '{\"context\":4,\"horizon\":2,\"student_id\":\"fs\",\"hidden\":3,"
                        "\"epochs\":20,\"quantiles\":[0.9,0.1,0.5]}')");
  EXPECT_EQ(r.text(), "fs|64|12|real");
  EXPECT_EQ(fst::run(db, "SELECT kind, runtime, license, io_spec IS NULL, weights_uri IS NULL FROM _vornel_models "
                         "WHERE model_id = 'fs'")
                .text(),
            "student|tree|unspecified|1|1");
  EXPECT_EQ(fst::one(db, "SELECT count(*) FROM _vornel_models"), "7"); // six built-in rows and the student
  auto blob = stored_blob(db, "fs");
  // Header L=4, H=3, E=2, Q=3 and the levels sorted ascending.
  ASSERT_EQ(blob.size(), 24u + 4 * (3 + 8 + 3 * 5 + 6 * 4 + 6 * 4));
  EXPECT_EQ(std::string(blob.begin(), blob.begin() + 8), "VNFCST02");
  EXPECT_EQ(fst::one(db, "SELECT hex(substr(weights, 9, 28)) FROM _vornel_models WHERE model_id = 'fs'"),
            "04000000030000000200000003000000CDCCCC3D0000003F6666663F");
  // The content hash is the SHA-256 of the blob.
  sha256_state hs;
  char hex[VORNEL_HASH_HEX_SIZE];
  vornel0_hash_init(&hs);
  sha256_update(&hs, blob.data(), blob.size());
  vornel0_hash_hex(&hs, hex);
  EXPECT_EQ(fst::one(db, "SELECT content_hash FROM _vornel_models WHERE model_id = 'fs'"), hex);
}

TEST(DistillForecast, SameInputsGiveTheSameBlobAndHash) {
  std::string h1, h2;
  std::vector<unsigned char> b1, b2;
  for (int pass = 0; pass < 2; pass++) {
    vt::Db db;
    make_windows(db, "w", 10, 4, 2, 1);
    std::string id = pass ? "b" : "a";
    std::string h = fst::one(db, "SELECT content_hash FROM distill_forecast('SELECT * FROM w', '{\"context\":4,"
                                 "\"horizon\":2,\"student_id\":\"" +
                                     id + "\",\"hidden\":4,\"epochs\":30}')");
    (pass ? h2 : h1) = h;
    (pass ? b2 : b1) = stored_blob(db, id);
  }
  EXPECT_EQ(h1.size(), 64u);
  EXPECT_EQ(h1, h2);
  EXPECT_EQ(b1, b2);
}

TEST(DistillForecast, HeldOutErrorIsOverTheLastFifth) {
  for (int rows : {4, 10, 13}) {
    vt::Db db;
    make_windows(db, "w", rows, 4, 2, 1);
    auto r = fst::run(db, "SELECT train_rows, train_rmse FROM distill_forecast('SELECT * FROM w', "
                          "'{\"context\":4,\"horizon\":2,\"student_id\":\"s\",\"hidden\":2,\"epochs\":15}')");
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.rows.size(), 1u);
    double rmse = std::stod(r.rows[0].substr(r.rows[0].find('|') + 1));
    EXPECT_EQ(r.rows[0].substr(0, r.rows[0].find('|')), std::to_string(rows));
    // Independent evaluation of the stored network on the held-out windows.
    auto blob = stored_blob(db, "s");
    fcst_student st{};
    char *m = nullptr;
    ASSERT_EQ(fcst_deserialize(blob.data(), (int64_t)blob.size(), &st, &m), SQLITE_OK);
    fst::Spec sp;
    sp.L = 4, sp.H = 2, sp.E = 2, sp.Q = 1, sp.linear = true;
    sp.means.assign(st.net.input_mean, st.net.input_mean + 4);
    sp.scales.assign(st.net.input_scale, st.net.input_scale + 4);
    sp.w1.assign(st.net.hidden_weights, st.net.hidden_weights + 8);
    sp.b1.assign(st.net.hidden_bias, st.net.hidden_bias + 2);
    sp.w2.assign(st.net.output_weights, st.net.output_weights + 4);
    sp.b2.assign(st.net.output_bias, st.net.output_bias + 2);
    sp.skip.assign(st.net.skip_weights, st.net.skip_weights + 8);
    fcst_student_free(&st);
    int held = rows < 5 ? 1 : rows / 5;
    sqlite3_stmt *q = nullptr;
    sqlite3_prepare_v2(db.handle(), "SELECT * FROM w", -1, &q, nullptr);
    double ss = 0;
    for (int i = 0; sqlite3_step(q) == SQLITE_ROW; i++) {
      if (i < rows - held) continue;
      std::vector<double> ctx, x;
      for (int c = 0; c < 4; c++)
        ctx.push_back(sqlite3_column_double(q, c));
      double mu, sd;
      fst::ref_standardise(ctx, mu, sd, x);
      for (auto &v : x)
        v = (float)v;
      auto o = fst::ref_forward(sp, x);
      for (int k = 0; k < 2; k++) {
        double t = (float)((sqlite3_column_double(q, 4 + k) - mu) / sd);
        ss += (o[k] - t) * (o[k] - t);
      }
    }
    sqlite3_finalize(q);
    EXPECT_NEAR(rmse, std::sqrt(ss / (held * 2)), 1e-5) << rows;
  }
}

TEST(DistillForecast, LinearStudentAndSingleLevelDefault) {
  vt::Db db;
  make_windows(db, "w", 6, 4, 2, 1);
  EXPECT_EQ(fst::one(db, distill("SELECT * FROM w", opts("\"student_id\":\"lin\",\"hidden\":0,\"epochs\":5"))), "lin");
  EXPECT_EQ(fst::one(db, "SELECT hex(substr(weights, 1, 28)) FROM _vornel_models WHERE model_id = 'lin'"),
            "564E46435354303204000000000000000200000001000000"
            "0000003F");
  EXPECT_EQ(fst::one(db, "SELECT length(weights) FROM _vornel_models WHERE model_id = 'lin'"),
            std::to_string(24 + 4 * (1 + 8 + 0 + 2 * 1 + 2 * 4)));
}

// Messages, plain rows and check order are in tests/sql/distill_forecast.test.
TEST(DistillForecast, EponymousOnly) {
  vt::Db db;
  char *err = nullptr;
  EXPECT_NE(sqlite3_exec(db.handle(), "CREATE VIRTUAL TABLE t USING distill_forecast", nullptr, nullptr, &err),
            SQLITE_OK);
  sqlite3_free(err);
}
