// Out-of-memory sweep in the manner of SQLite's own malloc tests. main() wraps the host's
// allocator before the library initialises; each case is then run with allocation N failing,
// for N = 1, 2, ... until a run completes without reaching the failure point, once failing
// that single allocation and once failing it and every later one. Every run must end without
// a leak once the statement is finalised and the connection closed, and give the clean run's
// answer, the clean run's own error, or an out-of-memory error (SQLITE_NOMEM, or a message
// beginning "VORNEL_ERR_RESOURCE: ").
//
// Adding a statement is one line in CASES (setup SQL, statement); adding an internal routine
// is one line with a function instead of a statement.
#include "oom/oom_cases.h"
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The failing allocator: counts every malloc and realloc while armed.
struct Injector {
  sqlite3_mem_methods real{};
  bool armed = false;
  bool persistent = false; // fail every allocation from fail_at on
  long fail_at = 0;
  long count = 0;
  long failed = 0; // allocations refused in this run
};
Injector inj;

bool should_fail() {
  if (!inj.armed) return false;
  inj.count++;
  if (inj.fail_at > 0 && (inj.count == inj.fail_at || (inj.persistent && inj.count > inj.fail_at))) {
    inj.failed++;
    return true;
  }
  return false;
}

void *oom_malloc(int n) { return should_fail() ? nullptr : inj.real.xMalloc(n); }
void oom_free(void *p) { inj.real.xFree(p); }
void *oom_realloc(void *p, int n) { return should_fail() ? nullptr : inj.real.xRealloc(p, n); }
int oom_size(void *p) { return inj.real.xSize(p); }
int oom_roundup(int n) { return inj.real.xRoundup(n); }
int oom_init(void *app) { return inj.real.xInit(app); }
void oom_shutdown(void *app) { inj.real.xShutdown(app); }

void arm(long fail_at, bool persistent) {
  inj.count = 0;
  inj.failed = 0;
  inj.fail_at = fail_at;
  inj.persistent = persistent;
  inj.armed = true; // counts even when nothing is to fail (fail_at 0)
}
void disarm() { inj.armed = false; }

sqlite3 *open_loaded(std::string *err) {
  sqlite3 *db = nullptr;
  if (sqlite3_open(":memory:", &db) != SQLITE_OK) {
    *err = "open failed";
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 1, nullptr);
  char *msg = nullptr;
  if (sqlite3_load_extension(db, VORNEL_SO_PATH, "sqlite3_vornel_init", &msg) != SQLITE_OK) {
    *err = std::string("load failed: ") + (msg ? msg : "?");
    sqlite3_free(msg);
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

// Runs one statement, rendering every row; a failure gives rc and the error text.
oom::Outcome run_sql(sqlite3 *db, const char *sql) {
  oom::Outcome out;
  sqlite3_stmt *st = nullptr;
  out.rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
  if (out.rc != SQLITE_OK) {
    out.text = sqlite3_errmsg(db);
    sqlite3_finalize(st);
    return out;
  }
  int cols = sqlite3_column_count(st);
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    for (int c = 0; c < cols; c++) {
      if (c) out.text += '|';
      out.text += vt::render(st, c);
    }
    out.text += '\n';
  }
  if (rc != SQLITE_DONE) {
    out.rc = rc;
    out.text = sqlite3_errmsg(db);
  }
  sqlite3_finalize(st);
  return out;
}

struct RunResult {
  oom::Outcome outcome;
  bool reached = false;     // the failure point was reached
  long allocations = 0;     // allocations the statement made while armed
  std::string check;        // the case's check query, run unarmed afterwards
  sqlite3_int64 leaked = 0; // bytes left after close, against the baseline
  std::string setup_error;
};

RunResult run_once(const oom::Case &c, long fail_at, bool persistent, bool skip_statement = false) {
  RunResult r;
  sqlite3_int64 baseline = sqlite3_memory_used();
  {
    sqlite3 *db = open_loaded(&r.setup_error);
    if (!db) return r;
    char *msg = nullptr;
    if (c.setup && sqlite3_exec(db, c.setup, nullptr, nullptr, &msg) != SQLITE_OK) {
      r.setup_error = std::string("setup failed: ") + (msg ? msg : "?");
      sqlite3_free(msg);
      sqlite3_close(db);
      return r;
    }
    if (!skip_statement) {
      arm(fail_at, persistent);
      r.outcome = c.sql ? run_sql(db, c.sql) : c.fn(db);
      r.reached = inj.failed > 0;
      r.allocations = inj.count;
      disarm();
    }
    if (c.check) r.check = run_sql(db, c.check).text;
    if (sqlite3_close(db) != SQLITE_OK) r.setup_error = "connection left unfinalised statements";
  }
  r.leaked = sqlite3_memory_used() - baseline;
  return r;
}

// The shape of a result: its rows, its columns and the objects in its documents, without the
// numbers and names a degraded model changes.
std::string shape_of(const std::string &text) {
  std::string shape;
  for (char ch : text)
    if (ch == '\n' || ch == '|' || ch == '{' || ch == '[') shape += ch;
  return shape;
}

bool is_oom(const oom::Outcome &o) { return o.rc == SQLITE_NOMEM || o.text.rfind("VORNEL_ERR_RESOURCE: ", 0) == 0; }

// The host copies a function's error text after the function returns; when that copy fails it
// reports the same error code with its generic text. The error still stands, only its wording
// is lost, and no extension code runs at that point.
bool is_host_lost_message(const oom::Outcome &o, const oom::Outcome &clean) {
  return clean.rc != SQLITE_OK && o.rc == clean.rc && o.text == sqlite3_errstr(clean.rc);
}

struct SweepTotals {
  long cases = 0;
  long points = 0; // allocation points covered, summed over cases
  long runs = 0;
  long lost_messages = 0; // runs where the host could not keep an error's text
  long degraded = 0;      // successful runs of a numeric model that answered with less
};
SweepTotals totals[2];

// Under the sanitizers every run is several times slower; there the sweep tries every fourth
// allocation point so the suite stays bounded (the normal build tries them all).
#if defined(__SANITIZE_ADDRESS__)
constexpr long STRIDE = 4;
#else
constexpr long STRIDE = 1;
#endif

void sweep(bool persistent) {
  for (int i = 0; i < oom::CASE_COUNT; i++) {
    const oom::Case &c = oom::CASES[i];
    SCOPED_TRACE(c.name);
    RunResult clean = run_once(c, 0, false);
    ASSERT_EQ(clean.setup_error, "") << c.name;
    ASSERT_EQ(clean.leaked, 0) << c.name << ": clean run leaks";
    std::string before = c.check ? run_once(c, 0, false, true).check : "";
    long cap = c.cap > 0 ? c.cap : oom::DEFAULT_CAP;
    long n = 1;
    int bad = 0;
    long degraded = 0;
    for (; n <= cap && bad < 5; n += STRIDE) {
      RunResult r = run_once(c, n, persistent);
      totals[persistent].runs++;
      if (!r.setup_error.empty()) {
        ADD_FAILURE() << c.name << " N=" << n << ": " << r.setup_error;
        bad++;
        continue;
      }
      if (r.leaked != 0) {
        ADD_FAILURE() << c.name << " N=" << n << (persistent ? " (persistent)" : "") << ": leaked " << r.leaked
                      << " bytes";
        bad++;
      }
      bool same = r.outcome.rc == clean.outcome.rc && r.outcome.text == clean.outcome.text;
      if (c.check && r.check != clean.check && (r.check != before || r.outcome.rc == SQLITE_OK)) {
        ADD_FAILURE() << c.name << " N=" << n << (persistent ? " (persistent)" : "") << ": afterwards\n"
                      << r.check << "instead of\n"
                      << clean.check << "or\n"
                      << before;
        bad++;
      }
      if (!r.reached) {
        // Past the last allocation: the run must be the clean one.
        EXPECT_TRUE(same) << c.name << " N=" << n << ": unarmed run differs: " << r.outcome.text;
        break;
      }
      if (!same && c.degrades && r.outcome.rc == SQLITE_OK && clean.outcome.rc == SQLITE_OK &&
          shape_of(r.outcome.text) == shape_of(clean.outcome.text)) {
        totals[persistent].degraded++;
        degraded++;
      } else if (!same && !is_oom(r.outcome) && is_host_lost_message(r.outcome, clean.outcome)) {
        totals[persistent].lost_messages++;
      } else if (!same && !is_oom(r.outcome)) {
        ADD_FAILURE() << c.name << " N=" << n << (persistent ? " (persistent)" : "") << ": rc " << r.outcome.rc << " '"
                      << r.outcome.text << "'; clean rc " << clean.outcome.rc << " '" << clean.outcome.text << "'";
        bad++;
      }
    }
    long points = clean.allocations;
    bool capped = n > cap;
    totals[persistent].cases++;
    totals[persistent].points += points;
    printf("  %-44s %6ld allocation points%s", c.name, points, capped ? " (capped)" : "");
    if (degraded) printf(", %ld degraded answers", degraded);
    printf("\n");
  }
  printf("%s: %ld cases, %ld allocation points, %ld runs (%ld degraded answers, %ld with the error text lost by "
         "the host)\n",
         persistent ? "persistent" : "single", totals[persistent].cases, totals[persistent].points,
         totals[persistent].runs, totals[persistent].degraded, totals[persistent].lost_messages);
}

} // namespace

TEST(Oom, FailOneAllocation) { sweep(false); }
TEST(Oom, FailEveryAllocationFromN) { sweep(true); }

// Loading itself under failing allocations: registration stops at the first failing code and
// leaves nothing behind.
TEST(Oom, LoadingTheExtension) {
  for (long n = 1; n < 10000; n++) {
    sqlite3_int64 baseline = sqlite3_memory_used();
    sqlite3 *db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 1, nullptr);
    arm(n, false);
    char *msg = nullptr;
    int rc = sqlite3_load_extension(db, VORNEL_SO_PATH, "sqlite3_vornel_init", &msg);
    bool reached = inj.failed > 0;
    disarm();
    sqlite3_free(msg);
    if (rc == SQLITE_OK) {
      oom::Outcome o = run_sql(db, "SELECT vornel_ulid('2024-01-01T00:00:00Z')");
      EXPECT_EQ(o.text, "01HK153X000000000000000000\n") << "N=" << n;
    }
    sqlite3_close(db);
    EXPECT_EQ(sqlite3_memory_used(), baseline) << "N=" << n;
    if (!reached) {
      EXPECT_EQ(rc, SQLITE_OK);
      printf("loading: %ld allocation points\n", n - 1);
      break;
    }
  }
}

int main(int argc, char **argv) {
  // The test support's static set-up has already initialised the library; the allocator can
  // only be replaced while it is shut down.
  sqlite3_shutdown();
  if (sqlite3_config(SQLITE_CONFIG_GETMALLOC, &inj.real) != SQLITE_OK) return 2;
  static sqlite3_mem_methods wrapped = {oom_malloc,  oom_free, oom_realloc,  oom_size,
                                        oom_roundup, oom_init, oom_shutdown, nullptr};
  if (sqlite3_config(SQLITE_CONFIG_MALLOC, &wrapped) != SQLITE_OK) return 2;
  // Without lookaside every small allocation reaches the allocator, so every one can fail.
  sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0);
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 1);
  if (sqlite3_initialize() != SQLITE_OK) return 2;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
