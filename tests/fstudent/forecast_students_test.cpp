// Forecast students inside the forecast aggregate, through SQL: a named student, explicit
// candidate lists, registered students in automatic mode, the fold scoring (a student whose
// forecasts equal a statistical model's ties with it), and every message.
#include "student_util.h"
#include <algorithm>
#include <cstdio>

namespace {

void put_row(vt::Db &db, const std::string &id, const std::vector<unsigned char> &blob, const char *runtime = "tree",
             const char *kind = "student") {
  sqlite3_stmt *st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db.handle(),
                               "INSERT INTO _vornel_models (model_id, kind, runtime, weights, content_hash, license) "
                               "VALUES (?1, ?2, ?3, ?4, ?5, 'unspecified')",
                               -1, &st, nullptr),
            SQLITE_OK);
  char hash[VORNEL_HASH_HEX_SIZE];
  vornel0_hash_bytes(blob.data(), (int64_t)blob.size(), hash);
  sqlite3_bind_text(st, 5, hash, -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 1, id.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 2, kind, -1, SQLITE_STATIC);
  sqlite3_bind_text(st, 3, runtime, -1, SQLITE_STATIC);
  sqlite3_bind_blob(st, 4, blob.data(), (int)blob.size(), SQLITE_TRANSIENT);
  EXPECT_EQ(sqlite3_step(st), SQLITE_DONE) << sqlite3_errmsg(db.handle());
  sqlite3_finalize(st);
}

void put_student(vt::Db &db, const std::string &id, const fst::Spec &s) { put_row(db, id, fst::write_blob(s)); }

// A small student of horizon E with levels 0.1, 0.5, 0.9 (or the median alone).
fst::Spec small(int E, int Q = 3, uint32_t seed = 5) {
  fst::Spec s;
  s.L = 4, s.H = 3, s.E = E, s.Q = Q;
  s.levels = Q == 3 ? std::vector<float>{0.1f, 0.5f, 0.9f} : std::vector<float>{0.5f};
  s.fill(seed);
  return s;
}

// A linear student that extrapolates the quadratic through its last three context values
// (Lagrange weights on the standardised inputs, which carry over to the values because the
// weights of each step sum to one); exact on y = t * t.
fst::Spec quadratic(int E) {
  fst::Spec s;
  s.L = 3, s.H = 0, s.E = E, s.Q = 1, s.levels = {0.5f};
  s.means = {0, 0, 0};
  s.scales = {1, 1, 1};
  s.b2.assign(E, 0.0f);
  for (int k = 1; k <= E; k++) {
    double t = 2 + k;
    s.skip.push_back((float)((t - 1) * (t - 2) / 2));
    s.skip.push_back((float)(-t * (t - 2)));
    s.skip.push_back((float)(t * (t - 1) / 2));
  }
  return s;
}

// A student of context 1 with zero outputs: its forecasts are exactly the last value seen.
fst::Spec last_value(int E) {
  fst::Spec s;
  s.L = 1, s.H = 0, s.E = E, s.Q = 1, s.levels = {0.5f};
  s.means = {0};
  s.scales = {1};
  s.b2.assign(E, 0.0f);
  s.skip.assign(E, 0.25f); // its input is always 0
  return s;
}

void series(vt::Db &db, const char *table, const std::vector<double> &v) {
  db.exec(std::string("CREATE TABLE ") + table + "(t TEXT, v REAL)");
  for (size_t i = 0; i < v.size(); i++) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "INSERT INTO %s VALUES (date('2024-01-01', '+%d days'), %.17g)", table, (int)i,
                  v[i]);
    db.exec(buf);
  }
}

std::vector<double> wavy(int n) {
  std::vector<double> v(n);
  for (int i = 0; i < n; i++)
    v[i] = 20 + 5 * std::sin(i * 0.9) + 0.3 * (i % 4);
  return v;
}

struct Fixture {
  vt::Db db;
  Fixture() {
    fst::connect_module(db);
    fst::ensure_registry(db);
    series(db, "s", wavy(40));
  }
  std::string fc(int h, const std::string &opts) {
    return fst::one(db, "SELECT forecast(t, v, " + std::to_string(h) + ", '" + opts + "') FROM s");
  }
  std::string model(int h, const std::string &opts) {
    return fst::one(db,
                    "SELECT json_extract(forecast(t, v, " + std::to_string(h) + ", '" + opts + "'), '$.model') FROM s");
  }
};

std::string num(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

} // namespace

TEST(ForecastStudents, NamedStudentRunsWithItsQuantileIntervals) {
  Fixture f;
  fst::Spec s = small(5);
  put_student(f.db, "fs", s);
  auto doc = f.fc(3, "{\"model\":\"fs\",\"confidence_level\":0.8}");
  // The same forecast computed directly from the blob.
  auto blob = fst::write_blob(s);
  fcst_student st{};
  char *m = nullptr;
  ASSERT_EQ(fcst_deserialize(blob.data(), (int64_t)blob.size(), &st, &m), SQLITE_OK);
  auto y = wavy(40);
  std::vector<double> c(3), lo(3), hi(3);
  ASSERT_EQ(fcst_run(3, 0.8, c.data(), lo.data(), hi.data(), &st, 40, y.data()), SQLITE_OK);
  fcst_student_free(&st);
  std::string want = "{\"model\":\"fs\",\"status\":\"ok\",\"rows\":[";
  for (int k = 0; k < 3; k++) {
    char ts[32];
    std::snprintf(ts, sizeof ts, "2024-02-%02dT00:00:00Z", 10 + k);
    want += std::string(k ? "," : "") + "{\"step\":" + std::to_string(k + 1) + ",\"forecast_timestamp\":\"" + ts +
            "\",\"forecast\":" + num(c[k]) + ",\"lower_bound\":" + num(lo[k]) + ",\"upper_bound\":" + num(hi[k]) + "}";
  }
  EXPECT_EQ(doc, want + "]}");
  EXPECT_EQ(f.model(2, "{\"model\":\"fs\",\"context_limit\":10}"), "fs");
  EXPECT_EQ(fst::one(f.db, "SELECT json_extract(forecast(t, v, 2, '{\"model\":\"fs\",\"context_limit\":10}'), "
                           "'$.status') FROM s"),
            "truncated");
}

TEST(ForecastStudents, UnknownAndUnusableIds) {
  {
    // No registry at all. (Not through the memory-balance runner: the lookup's failed prepare
    // makes the host reset its schema cache, which frees memory that is not the statement's.)
    vt::Db bare;
    series(bare, "s", wavy(20));
    auto error_of = [&](const char *sql) {
      sqlite3_stmt *st = nullptr;
      EXPECT_EQ(sqlite3_prepare_v2(bare.handle(), sql, -1, &st, nullptr), SQLITE_OK);
      EXPECT_EQ(sqlite3_step(st), SQLITE_ERROR);
      std::string e = sqlite3_errmsg(bare.handle());
      sqlite3_finalize(st);
      return e;
    };
    EXPECT_EQ(error_of("SELECT forecast(t, v, 2, '{\"model\":\"zz\"}') FROM s"),
              "VORNEL_ERR_MODEL_NOT_FOUND: no such model: zz");
    EXPECT_EQ(error_of("SELECT forecast(t, v, 2, '{\"candidates\":[\"tsb\",\"zz\"]}') FROM s"),
              "VORNEL_ERR_MODEL_NOT_FOUND: candidate must be a statistical model or a distilled forecast student: zz");
  }
  Fixture f;
  put_row(f.db, "tab", {'V', 'N', 'M', 'L', 'P', '0', '1', 0, 0, 0, 0});
  put_row(f.db, "short", {'V', 'N', 'F', 'C', 'S'});
  auto bad = fst::write_blob(small(5));
  bad[24] = 0;        // first level becomes tiny but positive: still valid; break the second instead
  bad[28 + 3] = 0x7f; // second level far above 1
  put_row(f.db, "bad", bad);
  f.db.exec("INSERT INTO _vornel_models (model_id, kind, runtime, weights_uri, content_hash, license) "
            "VALUES ('big', 'ts-fm', 'onnx', '/models/big.onnx', 'x', 'unspecified')");
  EXPECT_EQ(f.fc(2, "{\"model\":\"zz\"}"), "Error: VORNEL_ERR_MODEL_NOT_FOUND: no such model: zz");
  EXPECT_EQ(f.fc(2, "{\"model\":\"tab\"}"), "Error: VORNEL_ERR_MODEL_NOT_FOUND: no such model: tab");
  EXPECT_EQ(f.fc(2, "{\"model\":\"short\"}"), "Error: VORNEL_ERR_MODEL_NOT_FOUND: no such model: short");
  EXPECT_EQ(f.fc(2, "{\"model\":\"knn5-incontext\"}"),
            "Error: VORNEL_ERR_MODEL_NOT_FOUND: no such model: knn5-incontext");
  EXPECT_EQ(f.fc(2, "{\"model\":\"big\"}"),
            "Error: VORNEL_ERR_RUNTIME_UNAVAILABLE: onnx runtime is not in this build: big");
  EXPECT_EQ(f.fc(2, "{\"model\":\"bad\"}"), "Error: VORNEL_ERR_SCHEMA: invalid forecast student: bad");
  const char *CAND = "Error: VORNEL_ERR_MODEL_NOT_FOUND: candidate must be a statistical model or a distilled "
                     "forecast student: ";
  EXPECT_EQ(f.fc(2, "{\"candidates\":[\"tsb\",\"big\"]}"), std::string(CAND) + "big");
  EXPECT_EQ(f.fc(2, "{\"candidates\":[\"tab\"]}"), std::string(CAND) + "tab");
  EXPECT_EQ(f.fc(2, "{\"candidates\":[\"auto\"]}"), std::string(CAND) + "auto");
  EXPECT_EQ(f.fc(2, "{\"candidates\":[\"theta-classic\",\"bad\"]}"),
            "Error: VORNEL_ERR_SCHEMA: invalid forecast student: bad");
  // Automatic mode enumerates the registry: tabular rows are skipped, a broken student is not.
  EXPECT_EQ(f.fc(2, "{}"), "Error: VORNEL_ERR_SCHEMA: invalid forecast student in the registry: bad");
  // Conformal automatic mode never looks at the registry.
  EXPECT_EQ(f.model(2, "{\"interval_method\":\"conformal\"}").substr(0, 5) == "Error", false);
  f.db.exec("DELETE FROM _vornel_models WHERE model_id = 'bad'");
  EXPECT_EQ(f.model(2, "{}").substr(0, 5) == "Error", false);
}

TEST(ForecastStudents, HorizonAndIntervalRules) {
  Fixture f;
  put_student(f.db, "e7", small(7));
  EXPECT_EQ(f.model(7, "{\"model\":\"e7\"}"), "e7");
  EXPECT_EQ(f.fc(8, "{\"model\":\"e7\"}"),
            "Error: VORNEL_ERR_HORIZON: horizon exceeds the forecast student's trained horizon");
  EXPECT_EQ(f.fc(3, "{\"model\":\"e7\",\"interval_method\":\"conformal\"}"),
            "Error: VORNEL_ERR_OPTIONS: interval_method='conformal' is only supported for the statistical models "
            "(theta-classic, stub-seasonal-naive, auto)");
  EXPECT_EQ(f.fc(3, "{\"candidates\":[\"tsb\",\"e7\"],\"interval_method\":\"conformal\"}"),
            "Error: VORNEL_ERR_OPTIONS: interval_method='conformal' is not supported for a forecast-student "
            "candidate: e7");
  EXPECT_EQ(f.fc(6, "{\"candidates\":[\"e7\"],\"gap\":2}"),
            "Error: VORNEL_ERR_HORIZON: candidate student was trained for a shorter horizon: e7");
  EXPECT_EQ(f.model(5, "{\"candidates\":[\"e7\"],\"gap\":2}"), "e7");
  EXPECT_EQ(f.fc(3, "{\"model\":\"e7\",\"candidates\":[\"tsb\"]}"),
            "Error: VORNEL_ERR_OPTIONS: candidates requires model=\"auto\"");
}

TEST(ForecastStudents, RegisteredStudentWinsWhenItForecastsBest) {
  vt::Db db;
  fst::connect_module(db);
  fst::ensure_registry(db);
  std::vector<double> sq(40);
  for (int i = 0; i < 40; i++)
    sq[i] = (double)i * i;
  series(db, "s", sq);
  put_student(db, "quad", quadratic(7));
  auto q = [&](const std::string &sql) { return fst::one(db, sql); };
  EXPECT_EQ(q("SELECT json_extract(forecast(t, v, 4), '$.model') FROM s"), "quad");
  // Its forecast continues the square numbers, with the in-sample spread of a single level.
  EXPECT_NEAR(std::stod(q("SELECT json_extract(forecast(t, v, 4), '$.rows[3].forecast') FROM s")), 43.0 * 43.0, 1e-2);
  EXPECT_EQ(q("SELECT json_extract(forecast(t, v, 4), '$.rows[3].lower_bound') < "
              "json_extract(forecast(t, v, 4), '$.rows[3].forecast') FROM s"),
            "1");
  // Too long a horizon (with the gap) leaves it out silently.
  EXPECT_EQ(q("SELECT json_extract(forecast(t, v, 6, '{\"gap\":2}'), '$.model') FROM s") == "quad", false);
  EXPECT_EQ(q("SELECT json_extract(forecast(t, v, 5, '{\"gap\":2}'), '$.model') FROM s"), "quad");
  // Conformal intervals keep automatic mode to the statistical models.
  EXPECT_EQ(q("SELECT json_extract(forecast(t, v, 4, '{\"interval_method\":\"conformal\"}'), '$.model') FROM s") ==
                "quad",
            false);
}

TEST(ForecastStudents, ShortSeriesFallBacks) {
  vt::Db db;
  fst::connect_module(db);
  fst::ensure_registry(db);
  std::vector<double> v(12);
  for (int i = 0; i < 12; i++)
    v[i] = (double)i * i;
  series(db, "s", v);
  put_student(db, "quad", quadratic(7));
  // usable = 12 - 5 = 7: no fold.
  EXPECT_EQ(fst::one(db, "SELECT forecast(t, v, 5, '{\"candidates\":[\"tsb\",\"theta-classic\"]}') FROM s"),
            "{\"model\":\"auto\",\"status\":\"insufficient_history\",\"rows\":[]}");
  EXPECT_EQ(fst::one(db, "SELECT json_extract(forecast(t, v, 5, '{\"candidates\":[\"quad\"]}'), '$.status') FROM s"),
            "insufficient_history");
  EXPECT_EQ(fst::one(db, "SELECT json_extract(forecast(t, v, 5), '$.model') FROM s"), "theta-classic");
  EXPECT_EQ(fst::one(db, "SELECT json_array_length(forecast(t, v, 5), '$.rows') FROM s"), "5");
  // One point more gives one fold, and the student wins it.
  EXPECT_EQ(fst::one(db, "SELECT json_extract(forecast(t, v, 4), '$.model') FROM s"), "quad");
}

TEST(ForecastStudents, NaNScoreIsTheWorst) {
  // A student whose every forecast is not a number scores NaN; listed first it used to keep
  // its place, since nothing compares below NaN. It must lose to any model with a score.
  vt::Db db;
  fst::connect_module(db);
  fst::ensure_registry(db);
  series(db, "s", wavy(40));
  fst::Spec nan_student = last_value(7);
  nan_student.b2.assign(7, NAN);
  put_student(db, "nan", nan_student);
  put_student(db, "last", last_value(7));
  EXPECT_EQ(fst::one(db, "SELECT json_extract(forecast(t, v, 4, '{\"candidates\":[\"nan\",\"tsb\"]}'), '$.model') "
                         "FROM s"),
            "tsb");
  EXPECT_EQ(fst::one(db, "SELECT json_extract(forecast(t, v, 4, '{\"candidates\":[\"nan\",\"last\"]}'), '$.model') "
                         "FROM s"),
            "last");
  // Alone, it is still the only choice.
  EXPECT_EQ(fst::one(db, "SELECT json_extract(forecast(t, v, 4, '{\"candidates\":[\"nan\"]}'), '$.model') FROM s"),
            "nan");
}

TEST(ForecastStudents, FoldScoringTiesWithTheStatisticalPath) {
  Fixture f;
  // Level up to the cuts (19..38 for horizon 2), so the seasonal naive model has no season and
  // no drift at any cut and forecasts the last value, exactly as the student does; the last two
  // points move, so the folds have errors to add up.
  std::vector<double> v(40, 7.25);
  v[38] = 10.5;
  v[39] = 3.125;
  series(f.db, "flat", v);
  put_student(f.db, "last", last_value(3));
  put_student(f.db, "twin-a", small(3, 3, 9));
  put_student(f.db, "twin-b", small(3, 3, 9));
  auto chosen = [&](const std::string &c) {
    return fst::one(f.db, "SELECT json_extract(forecast(t, v, 2, '{\"candidates\":" + c + "}'), '$.model') FROM flat");
  };
  EXPECT_EQ(chosen("[\"stub-seasonal-naive\",\"last\"]"), "stub-seasonal-naive");
  EXPECT_EQ(chosen("[\"last\",\"stub-seasonal-naive\"]"), "last");
  EXPECT_EQ(chosen("[\"twin-b\",\"twin-a\"]"), "twin-b");
  EXPECT_EQ(chosen("[\"twin-a\",\"twin-b\"]"), "twin-a");
  // The last-value student forecasts the final value of the series.
  EXPECT_EQ(fst::one(f.db, "SELECT json_extract(forecast(t, v, 2, '{\"model\":\"last\"}'), '$.rows[1].forecast') "
                           "FROM flat"),
            num(v[39]));
}

TEST(ForecastStudents, HostileBlobsNeverCrash) {
  Fixture f;
  auto good = fst::write_blob(small(4));
  uint32_t seed = 12345;
  auto rnd = [&]() { return seed = seed * 1664525u + 1013904223u; };
  for (int trial = 0; trial < 150; trial++) {
    auto b = good;
    if (trial % 3 == 0) b.resize(rnd() % b.size());
    int flips = 1 + rnd() % 4;
    for (int k = 0; k < flips && !b.empty(); k++)
      b[rnd() % b.size()] ^= (unsigned char)(1 + rnd() % 255);
    if (trial % 5 == 0 && b.size() >= 24) b[8 + 4 * (rnd() % 4) + 3] = 0x80 | (rnd() & 0x7f); // negative field
    f.db.exec("DELETE FROM _vornel_models WHERE model_id = 'h'");
    put_row(f.db, "h", b);
    std::string named = f.fc(3, "{\"model\":\"h\"}");
    std::string autom = f.fc(3, "{}");
    bool loaded = named.rfind("{\"model\":\"h\"", 0) == 0;
    if (!loaded) {
      EXPECT_TRUE(named == "Error: VORNEL_ERR_SCHEMA: invalid forecast student: h" ||
                  named == "Error: VORNEL_ERR_MODEL_NOT_FOUND: no such model: h" ||
                  named == "Error: VORNEL_ERR_HORIZON: horizon exceeds the forecast student's trained horizon")
          << named;
    }
    EXPECT_TRUE(autom.rfind("{\"model\":", 0) == 0 ||
                autom == "Error: VORNEL_ERR_SCHEMA: invalid forecast student in the registry: h")
        << autom;
  }
}

TEST(ForecastStudents, OlderBlobsRunToo) {
  Fixture f;
  fst::Spec s = small(3);
  s.magic = "VNFCST01";
  s.linear = false;
  s.fill(17);
  put_student(f.db, "old", s);
  auto y = wavy(40);
  std::vector<double> ctx(y.end() - 4, y.end()), x;
  double mu, sd;
  fst::ref_standardise(ctx, mu, sd, x);
  for (auto &v : x)
    v = (float)v;
  auto o = fst::ref_forward(s, x); // hidden path at full weight: no linear block
  std::vector<double> q{o[0] * sd + mu, o[1] * sd + mu, o[2] * sd + mu};
  std::sort(q.begin(), q.end());
  EXPECT_NEAR(std::stod(fst::one(f.db, "SELECT json_extract(forecast(t, v, 1, '{\"model\":\"old\"}'), "
                                       "'$.rows[0].forecast') FROM s")),
              q[1], 1e-4);
}

TEST(ForecastStudents, RegistryInAnAttachedDatabase) {
  vt::TempFile other("fstudent-attached.db");
  {
    vt::Db reg(other.path);
    fst::ensure_registry(reg);
    put_student(reg, "far", small(3));
  }
  vt::Db db;
  series(db, "s", wavy(30));
  db.exec("ATTACH '" + other.path + "' AS other");
  fst::connect_module(db);
  sqlite3_free(vornel0_registry_model_hash(db.handle(), "warm-up")); // the host's first-use caches
  EXPECT_EQ(db.one("SELECT json_extract(forecast(t, v, 2, '{\"model\":\"far\"}'), '$.model') FROM s"), "far");
  EXPECT_EQ(db.one("SELECT json_extract(forecast(t, v, 2, '{\"candidates\":[\"far\"]}'), '$.model') FROM s"), "far");
}
