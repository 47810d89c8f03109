// Databases whose registry was written by someone else: a _vornel_models table made without
// the CHECKs, rows with arbitrary bytes, NULLs where they are not allowed, huge declared
// lengths and blobs of the wrong kind. Every reader must answer with one of the extension's
// errors (or a valid result) and never crash, over-read or leak.
#include "support/harness.h"
#include <random>

namespace {

// A registry table without any constraint, as a hostile or old tool might have made it.
const char *const LOOSE_REGISTRY =
    "CREATE TABLE _vornel_models(model_id TEXT PRIMARY KEY, kind TEXT, runtime TEXT, weights BLOB, "
    "weights_uri TEXT, io_spec TEXT, content_hash TEXT, license TEXT, created_at TEXT);"
    "CREATE TABLE pts(ts TEXT, v REAL);"
    "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i<59) "
    "INSERT INTO pts SELECT date('2024-01-01','+'||i||' days'), 10+i%7 FROM n;"
    "CREATE TABLE rows(row_ref INTEGER, a REAL, b REAL, y TEXT);"
    "INSERT INTO rows VALUES (1,1,2,'x'),(2,3,4,'y'),(3,5,6,'x'),(4,7,8,'y'),(5,9,1,'x'),(6,2,2,'y'),"
    "(7,3,3,'x'),(8,4,4,'y'),(9,5,5,'x'),(10,6,6,'y');";

// The statements that read a registry row named 'm'.
const char *const READERS[] = {
    "SELECT * FROM vornel(NULL, 'SELECT row_ref, a, b FROM rows', '{\"model\":\"m\"}')",
    "SELECT forecast(ts, v, 3, '{\"model\":\"m\"}') FROM pts",
    "SELECT forecast(ts, v, 3, '{\"model\":\"auto\"}') FROM pts",
    "SELECT forecast(ts, v, 3, '{\"model\":\"auto\",\"candidates\":[\"tsb\",\"m\"]}') FROM pts",
    "SELECT * FROM distill_vornel('SELECT row_ref, a, b FROM rows', '{\"teacher\":\"m\",\"student_id\":\"s\"}')",
    "SELECT * FROM distill_vornel('SELECT a, b, y FROM rows', '{\"target\":\"y\",\"student_id\":\"m\"}')",
};

// A result is acceptable when it is a valid answer or one of the extension's own errors.
void expect_handled(vt::Db &db, const std::string &sql, const std::string &what) {
  vt::Result r = db.run(sql);
  if (!r.ok) {
    EXPECT_EQ(r.error.rfind("VORNEL_ERR_", 0), 0u) << what << "\n  " << sql << "\n  -> " << r.error;
  }
}

std::string hex(const std::string &bytes) {
  static const char *H = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += H[c >> 4];
    out += H[c & 15];
  }
  return out;
}

// A little-endian 32-bit value as bytes.
std::string u32(uint32_t v) {
  return std::string{(char)(v & 255), (char)((v >> 8) & 255), (char)((v >> 16) & 255), (char)(v >> 24)};
}

void put_row(vt::Db &db, const std::string &kind, const std::string &runtime, const std::string &weights) {
  db.exec("DELETE FROM _vornel_models; DELETE FROM _vornel_models WHERE model_id = 's';");
  db.exec("INSERT INTO _vornel_models VALUES ('m', " + kind + ", " + runtime + ", " + weights +
          ", NULL, NULL, 'h', 'l', 't')");
  for (const char *sql : READERS)
    db.warm(sql);
}

} // namespace

TEST(HostileRegistry, NullsAndWrongTypesWhereTheSchemaForbidsThem) {
  vt::Db db;
  db.exec(LOOSE_REGISTRY);
  const char *const rows[][3] = {
      {"NULL", "NULL", "NULL"},
      {"'student'", "NULL", "x'00'"},
      {"NULL", "'tree'", "x'00'"},
      {"'student'", "'tree'", "NULL"},
      {"'student'", "'tree'", "'text'"},
      {"'student'", "'tree'", "42"},
      {"'student'", "'tree'", "x''"},
      {"'student'", "'onnx'", "x'00'"},
      {"'ts-fm'", "'remote'", "NULL"},
      {"'bogus'", "'bogus'", "x'0102'"},
      {"7", "8.5", "x'56'"},
      {"'student'", "'tree'", "1e308"},
  };
  for (auto &r : rows) {
    put_row(db, r[0], r[1], r[2]);
    for (const char *sql : READERS)
      expect_handled(db, sql, std::string(r[0]) + "/" + r[1] + "/" + r[2]);
  }
}

TEST(HostileRegistry, HugeDeclaredLengthsAndTruncatedStudents) {
  vt::Db db;
  db.exec(LOOSE_REGISTRY);
  const char *const magics[] = {"VNTREE01", "VNGBT01\0", "VNMLP01\0", "VNFCST01", "VNFCST02"};
  for (const char *magic : magics) {
    std::string m(magic, 8);
    for (uint32_t big : {0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 65536u, 2u}) {
      std::string blob = m;
      for (int i = 0; i < 8; i++)
        blob += u32(big);
      put_row(db, "'student'", "'tree'", "x'" + hex(blob) + "'");
      for (const char *sql : READERS)
        expect_handled(db, sql, m + " " + std::to_string(big));
    }
  }
}

TEST(HostileRegistry, RandomBytesBehindEveryMagic) {
  vt::Db db;
  db.exec(LOOSE_REGISTRY);
  std::mt19937 rng(99);
  const char *const magics[] = {"VNTREE01", "VNGBT01\0", "VNMLP01\0", "VNFCST01", "VNFCST02", "XXXXXXXX"};
  for (int round = 0; round < 60; round++) {
    std::string blob(magics[round % 6], 8);
    int len = (int)(rng() % 200);
    for (int i = 0; i < len; i++) {
      // Mostly small numbers, so that counts and lengths are sometimes plausible.
      uint32_t r = rng();
      blob += (char)(r % 4 == 0 ? r >> 24 : r % 5);
    }
    put_row(db, "'student'", "'tree'", "x'" + hex(blob) + "'");
    for (const char *sql : READERS)
      expect_handled(db, sql, "round " + std::to_string(round));
  }
}
