// Unit tests call the extension's internals from the statically linked copy, whose calls into
// the host go through its own sqlite3_api. Registering that copy's entry point as an automatic
// extension for one throw-away connection hands it the host's routine table.
#include <sqlite3.h>

extern "C" int sqlite3_vornel_init(sqlite3 *, char **, const void *);

namespace {
struct ApiInit {
  ApiInit() {
    sqlite3_auto_extension((void (*)(void))sqlite3_vornel_init);
    sqlite3 *db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_close(db);
    sqlite3_cancel_auto_extension((void (*)(void))sqlite3_vornel_init);
  }
};
ApiInit api_init;
} // namespace
