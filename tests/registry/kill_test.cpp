// kill -9 in the middle of a registry write, with a rollback journal and with WAL. A child
// process runs the writer and stops at a known point (a statement of the registry's creation
// starting, a student's row just inserted but not committed, a call just finished); the parent
// kills it there and reopens the file. The database must be intact, the registry all or
// nothing with its six built-in rows, and every student row whole, with a matching hash.
#include "registry/registry.h"
#include "support/harness.h"
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int g_signal_fd = -1;  // the child's end of the pipe to the parent
std::string g_stop_at; // the child stops when a statement beginning with this starts

[[noreturn]] void stop_here() {
  ssize_t n = write(g_signal_fd, "s", 1);
  (void)n;
  for (;;)
    pause();
}

int on_statement(unsigned, void *, void *, void *x) {
  const char *sql = (const char *)x;
  if (strncmp(sql, "-- ", 3) == 0) sql += 3; // the host marks statements run inside another so
  if (!g_stop_at.empty() && strncmp(sql, g_stop_at.c_str(), g_stop_at.size()) == 0) stop_here();
  return 0;
}

void stop_func(sqlite3_context *, int, sqlite3_value **) { stop_here(); }

// The child: small page cache (dirty pages spill to the file before the commit), the stopping
// hooks, then the writer. It only returns through the parent's kill.
[[noreturn]] void run_child(const std::string &path, const std::string &setup, const std::string &job) {
  sqlite3 *db = nullptr;
  char *err = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 1, nullptr);
  sqlite3_create_function(db, "stop_here", 0, SQLITE_UTF8, nullptr, stop_func, nullptr, nullptr);
  sqlite3_trace_v2(db, SQLITE_TRACE_STMT, on_statement, nullptr);
  if (sqlite3_load_extension(db, VORNEL_SO_PATH, "sqlite3_vornel_init", &err) != SQLITE_OK ||
      sqlite3_exec(db, ("PRAGMA cache_size = 2;" + setup + job).c_str(), nullptr, nullptr, &err) != SQLITE_OK)
    fprintf(stderr, "child: %s\n", err ? err : "?");
  _exit(3); // the writer finished without reaching its stop
}

// Runs the job in a child until it stops, then kills it. Returns false if it never stopped.
bool kill_at(const std::string &path, const std::string &stop_at, const std::string &setup, const std::string &job) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    g_signal_fd = fds[1];
    g_stop_at = stop_at;
    run_child(path, setup, job);
  }
  close(fds[1]);
  pollfd p{fds[0], POLLIN, 0};
  char c = 0;
  bool stopped = poll(&p, 1, 120000) == 1 && read(fds[0], &c, 1) == 1;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  close(fds[0]);
  return stopped;
}

// The first column of the first row. The page cache fills as the file is read, so the
// harness's memory balance does not apply.
std::string first(sqlite3 *db, const char *sql) {
  sqlite3_stmt *st = nullptr;
  std::string out = "<error>";
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
    out = (const char *)sqlite3_column_text(st, 0);
  sqlite3_finalize(st);
  return out;
}

// The file after the kill: intact, a registry with all six built-ins or none, and every
// stored blob under its own hash. Returns the non-built-in ids.
std::string check_after_kill(const std::string &path) {
  vt::Db db(path);
  EXPECT_EQ(first(db.handle(), "PRAGMA integrity_check"), "ok");
  if (first(db.handle(), "SELECT count(*) FROM sqlite_schema WHERE name = '_vornel_models'") == "0")
    return "<no registry>";
  EXPECT_EQ(first(db.handle(), "SELECT count(*) FROM _vornel_models WHERE runtime = 'bundled'"), "6");
  sqlite3_stmt *st = nullptr;
  sqlite3_prepare_v2(db.handle(),
                     "SELECT model_id, weights, content_hash FROM _vornel_models WHERE runtime <> 'bundled' "
                     "ORDER BY model_id",
                     -1, &st, nullptr);
  std::string ids;
  while (sqlite3_step(st) == SQLITE_ROW) {
    std::string id = (const char *)sqlite3_column_text(st, 0);
    ids += (ids.empty() ? "" : ",") + id;
    if (sqlite3_column_type(st, 1) != SQLITE_BLOB) continue;
    char hex[VORNEL_HASH_HEX_SIZE];
    vornel0_hash_bytes(sqlite3_column_blob(st, 1), sqlite3_column_bytes(st, 1), hex);
    EXPECT_STREQ(hex, (const char *)sqlite3_column_text(st, 2)) << id;
  }
  sqlite3_finalize(st);
  return ids;
}

const std::string WEIGHTS = std::string(VORNEL_SOURCE_DIR) + "/tests/registry/data/example-weights.bin";
const std::string REGISTER =
    "SELECT vornel_register('ext', '{\"weights_uri\":\"" + WEIGHTS + "\",\"io_spec\":\"x\"}');";

// Windows of context 8 and horizon 2 for a forecast student of some pages (hidden 512).
const std::string WINDOWS = "CREATE TABLE w AS WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c "
                            "WHERE i < 40) SELECT i AS c1, i + 1 AS c2, i % 3 AS c3, i % 5 AS c4, i % 7 AS c5, "
                            "i * 2 AS c6, i AS c7, i % 2 AS c8, i + 3 AS t1, i + 4 AS t2 FROM c;";
std::string distill(const char *id) {
  return std::string("SELECT * FROM distill_forecast('SELECT * FROM w', '{\"context\":8,\"horizon\":2,\"hidden\":512,"
                     "\"epochs\":2,\"student_id\":\"") +
         id + "\"}');";
}
// The insert of one built-in row.
std::string built_in(const char *id) {
  return std::string("INSERT INTO _vornel_models (model_id, kind, runtime, weights, content_hash, license) VALUES ('") +
         id + "'";
}

const char *STOP_AFTER_STUDENT = "CREATE TEMP TRIGGER stop AFTER INSERT ON main._vornel_models "
                                 "WHEN NEW.kind = 'student' BEGIN SELECT stop_here(); END;";

} // namespace

TEST(KillTest, DuringRegistryCreation) {
  for (const char *mode : {"DELETE", "WAL"}) {
    for (const std::string &stop : {built_in("theta-classic"), built_in("sub-pca"), built_in("knn5-incontext"),
                                    std::string("RELEASE vornel_registry_ensure"), std::string("SELECT stop_here()")}) {
      SCOPED_TRACE(std::string(mode) + " stopped at " + stop);
      vt::TempFile file("kill_create.db");
      { vt::Db(file.path).exec(std::string("PRAGMA journal_mode = ") + mode + "; CREATE TABLE keep(x);"); }
      ASSERT_TRUE(kill_at(file.path, stop, "", REGISTER + "SELECT stop_here();"));
      std::string ids = check_after_kill(file.path);
      // Stopped once the call had returned, the registered row is there in full.
      if (stop == "SELECT stop_here()")
        EXPECT_EQ(ids, "ext");
      else
        EXPECT_EQ(ids, "<no registry>");
    }
  }
}

TEST(KillTest, DuringDistillation) {
  for (const char *mode : {"DELETE", "WAL"}) {
    // While reading the windows, as the insert starts, with the row inserted but not committed,
    // and after the call.
    for (const char *stop : {"SELECT * FROM w", "INSERT INTO _vornel_models (model_id, kind, runtime, weights, io_spec",
                             "stop-in-trigger", "SELECT stop_here()"}) {
      SCOPED_TRACE(std::string(mode) + " stopped at " + stop);
      vt::TempFile file("kill_distill.db");
      {
        vt::Db db(file.path);
        db.exec(std::string("PRAGMA journal_mode = ") + mode + ";" + WINDOWS);
        db.exec(distill("before"));
      }
      bool in_trigger = strcmp(stop, "stop-in-trigger") == 0;
      ASSERT_TRUE(kill_at(file.path, in_trigger ? "" : stop, in_trigger ? STOP_AFTER_STUDENT : "",
                          distill("killed") + "SELECT stop_here();"));
      std::string ids = check_after_kill(file.path);
      EXPECT_EQ(ids, strcmp(stop, "SELECT stop_here()") == 0 ? "before,killed" : "before");
    }
  }
}
