// JSON text helpers and options documents.
#include "core/api.h"
#include "support/harness.h"
#include <cmath>
#include <random>

namespace {

std::string json_str(const char *s) {
  sqlite3_str *b = sqlite3_str_new(nullptr);
  agg_json_str(b, s);
  char *t = sqlite3_str_finish(b);
  std::string out(t);
  sqlite3_free(t);
  return out;
}

std::string json_num(double v) {
  sqlite3_str *b = sqlite3_str_new(nullptr);
  json_append_number(b, v);
  char *t = sqlite3_str_finish(b);
  std::string out(t);
  sqlite3_free(t);
  return out;
}

// Records every member the walk hands over; a key "reject" is refused.
struct Seen {
  std::vector<std::string> members;
};
int record_cb(void *rec, const char *key, sqlite3_value *v, char **msg) {
  if (strcmp(key, "reject") == 0) {
    *msg = sqlite3_mprintf("%s: rejected", VORNEL_ERR_OPTIONS);
    return 1;
  }
  std::string val = sqlite3_value_type(v) == SQLITE_INTEGER ? "i:"
                    : sqlite3_value_type(v) == SQLITE_FLOAT ? "f:"
                                                            : "t:";
  val += (const char *)sqlite3_value_text(v);
  ((Seen *)rec)->members.push_back(std::string(key) + "=" + val);
  return 0;
}
const char *const KEYS[] = {"model", "context_limit", "reject", nullptr};

std::string walk(sqlite3 *db, const char *doc, Seen &seen) {
  char *msg = nullptr;
  int rc = vornel0_options_parse(db, doc, KEYS, record_cb, &seen, &msg);
  std::string out = rc == SQLITE_OK ? "ok" : std::to_string(rc) + ":" + (msg ? msg : "");
  sqlite3_free(msg);
  return out;
}

} // namespace

TEST(JsonText, StringEscapes) {
  EXPECT_EQ(json_str("a\"b\\c\td\xC3\xA9"), "\"a\\\"b\\\\c\\u0009d\xC3\xA9\"");
  EXPECT_EQ(json_str("\n\x1f\x7f"), "\"\\u000a\\u001f\x7f\"");
  EXPECT_EQ(json_str(""), "\"\"");
}

TEST(JsonText, Numbers) {
  EXPECT_EQ(json_num(0.1), "0.10000000000000001");
  EXPECT_EQ(json_num(-0.0), "-0");
  EXPECT_EQ(json_num(NAN), "null");
  EXPECT_EQ(json_num(INFINITY), "null");
  EXPECT_EQ(json_num(-INFINITY), "null");
  EXPECT_EQ(json_num(1e21), "1e+21");
  EXPECT_EQ(json_num(123456), "123456");
}

// The fast formatter writes exactly what snprintf("%.17g") writes.
TEST(JsonText, FormatterMatchesPrintfOnMillionsOfDoubles) {
  std::mt19937_64 rng(3);
  char a[48], b[48];
  auto check = [&](double v) {
    if (!std::isfinite(v)) return;
    vornel0_format_double(v, a);
    snprintf(b, sizeof b, "%.17g", v);
    ASSERT_STREQ(a, b);
  };
  for (double v : {0.0, -0.0, 1.0, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 1e16, 1e17, 1e-5, 1e-4,
                   123456789012345678.0, 0.30000000000000004})
    check(v);
  for (int i = 0; i < 3000000; i++) {
    uint64_t bits = rng();
    double v;
    memcpy(&v, &bits, sizeof v);
    check(v);
    check((double)(int64_t)(rng() % 2000001) / 1000.0 - 1000.0); // typical decimal data
  }
}

TEST(Options, DocumentsAndMessages) {
  vt::Db db;
  Seen s;
  EXPECT_EQ(walk(db.handle(), nullptr, s), "ok");
  EXPECT_EQ(walk(db.handle(), "", s), "ok");
  EXPECT_EQ(walk(db.handle(), "{}", s), "ok");
  for (const char *notobj : {"[]", "\"x\"", "3"})
    EXPECT_EQ(walk(db.handle(), notobj, s), "1:VORNEL_ERR_OPTIONS: options must be a JSON object") << notobj;
  for (const char *bad : {"{", "abc"})
    EXPECT_EQ(walk(db.handle(), bad, s), "1:VORNEL_ERR_OPTIONS: options is not valid JSON") << bad;
  EXPECT_EQ(walk(db.handle(), "{\"horizon\":3,\"reject\":1}", s), "1:VORNEL_ERR_OPTIONS: unknown option 'horizon'");
  EXPECT_EQ(walk(db.handle(), "{\"Model\":\"x\"}", s), "1:VORNEL_ERR_OPTIONS: unknown option 'Model'");
  EXPECT_EQ(walk(db.handle(), "{\"reject\":1}", s), "1:VORNEL_ERR_OPTIONS: rejected");
  EXPECT_TRUE(s.members.empty());
  EXPECT_EQ(
      walk(db.handle(), "{\"model\":null,\"model\":\"tsb\",\"model\":\"theta-classic\",\"context_limit\":true}", s),
      "ok");
  EXPECT_EQ(s.members, (std::vector<std::string>{"model=t:tsb", "model=t:theta-classic", "context_limit=i:1"}));
  s.members.clear();
  EXPECT_EQ(walk(db.handle(), "{\"model\":null}", s), "ok");
  EXPECT_TRUE(s.members.empty());
  EXPECT_EQ(walk(db.handle(), "{\"model\":[1,2],\"context_limit\":2.5}", s), "ok");
  EXPECT_EQ(s.members, (std::vector<std::string>{"model=t:[1,2]", "context_limit=f:2.5"}));
}

TEST(Options, StringArrays) {
  vt::Db db;
  char **items = nullptr;
  int n = -1;
  char *msg = nullptr;
  ASSERT_EQ(parse_str_array(db.handle(), "[\"a\",2,null,[1]]", &items, &n, &msg), SQLITE_OK);
  ASSERT_EQ(n, 4);
  EXPECT_STREQ(items[0], "a");
  EXPECT_STREQ(items[1], "2");
  EXPECT_STREQ(items[2], "");
  EXPECT_STREQ(items[3], "[1]");
  str_array_free(items, n);
  for (const char *notarray : {"{\"a\":1}", "\"x\"", "[", ""}) {
    ASSERT_EQ(parse_str_array(db.handle(), notarray, &items, &n, &msg), SQLITE_OK) << notarray;
    EXPECT_EQ(n, 0);
    str_array_free(items, n);
  }
}
