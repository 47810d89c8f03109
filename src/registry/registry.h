// Model registry and content identity: the _vornel_models table (creation, migration, the
// built-in rows, lookup of one model, the existence probe), the SHA-256 content hashes and the
// vornel_register SQL function. Writers (vornel_register, the distillation functions) call
// vornel0_registry_ensure before they write; readers only look up and never create the table.
#pragma once
#include "core/api.h"

// Streaming SHA-256 state (FIPS 180-4). The caller owns the storage, normally on its stack;
// nothing in it is allocated and nothing needs freeing.
struct sha256_state {
  uint32_t h[8];           // chaining words
  uint64_t bits;           // message bits fed so far
  unsigned char block[64]; // pending bytes of the current block
  uint32_t pending;        // bytes in use in block
};

// One registry row in memory. Every pointer is owned by the row and released by
// vornel0_model_row_free; texts are NUL-terminated host copies.
struct vornel0_model_row {
  char *runtime;          // never null after a successful lookup
  char *kind;             // never null after a successful lookup
  char *weights_uri;      // may be null
  char *io_spec;          // may be null
  char *license;          // never null after a successful lookup
  char *content_hash;     // never null after a successful lookup
  unsigned char *weights; // inline weights (student blobs); may be null
  int32_t weights_len;    // byte count of weights; 0 when weights is null
};

// Length of a hex digest buffer: 64 digits and a NUL.
inline constexpr int VORNEL_HASH_HEX_SIZE = 65;

extern "C" {
// The SHA-256 core. An update with a zero length does nothing.
VORNEL_EXPORT void sha256_init(sha256_state *st);
VORNEL_EXPORT void sha256_update(sha256_state *st, const void *data, size_t len);
VORNEL_EXPORT void sha256_final(sha256_state *st, unsigned char out[32]);

// Canonical row hashing: init, per row one value call per column then row_end, then hex.
// Values are a tag byte, a payload and 0x1F; rows end with 0x1E.
VORNEL_EXPORT sha256_state *vornel0_hash_init(sha256_state *st);
VORNEL_EXPORT void vornel0_hash_null(sha256_state *st);
VORNEL_EXPORT void vornel0_hash_int(sha256_state *st, int64_t value);
VORNEL_EXPORT void vornel0_hash_real(sha256_state *st, double value);
VORNEL_EXPORT void vornel0_hash_text(sha256_state *st, const char *text); // null == ""
VORNEL_EXPORT void vornel0_hash_row_end(sha256_state *st);
// Finishes the digest into out (65 bytes: 64 lower-case hex digits and a NUL). The state is
// consumed; initialise it again before reuse.
VORNEL_EXPORT void vornel0_hash_hex(sha256_state *st, char *out);
// Hashes a whole file through a fixed 64 KiB buffer. Returns 0 with the digest in out, or 1
// with a host-allocated message in *out_msg (the caller frees it; null if it could not be built).
VORNEL_EXPORT int vornel0_hash_file(const char *path, char *out, char **out_msg);

// Creates _vornel_models if needed, migrates older tables and offers the built-in rows.
// Returns 0, or a host code with a host-allocated message in *out_msg (may be null when even
// the message could not be built).
VORNEL_EXPORT int vornel0_registry_ensure(sqlite3 *db, char **out_msg);
// Fills *row from the registry. Returns 0 found; 1 unknown id or no registry table; 11 the
// stored row lacks a required value; 7 out of memory (a text or the weights could not be
// copied); any other host code from preparing or stepping. On every non-zero result the row
// is zeroed. The caller frees the row with vornel0_model_row_free on every path.
VORNEL_EXPORT int vornel0_registry_lookup(sqlite3 *db, const char *model_id, vornel0_model_row *row);
// Frees every owned field and zeroes the row; a null row is ignored, a second call is harmless.
VORNEL_EXPORT void vornel0_model_row_free(vornel0_model_row *row);
// The existence probe: a host-allocated copy of the stored content_hash of model_id, or null
// when there is no such row or no registry. out_rc (optional) receives SQLITE_OK when the
// answer is known, else the code that left it open (SQLITE_NOMEM, a step error), so a caller
// can tell "free id" from "could not look".
VORNEL_EXPORT char *vornel0_registry_model_hash(sqlite3 *db, const char *model_id, int *out_rc = nullptr);
}

// The digest of one byte string, as stored for student blobs (out: 65 bytes).
void vornel0_hash_bytes(const void *data, int64_t len, char *out);
// vornel0_hash_file on behalf of a statement on db: gives up with SQLITE_INTERRUPT (and a
// message) when that statement is interrupted. Returns 0, 1 or SQLITE_INTERRUPT.
int vornel0_hash_file_on(sqlite3 *db, const char *path, char *out, char **out_msg);

// The one way into _vornel_models for writing. Opening it does every check that does not
// depend on the job, before the job reads a file or trains: the registry is ensured, the
// main database must be writable with query_only off, _vornel_models must be the ordinary
// table in main with the registry's columns, and the insert is prepared (so an authorizer
// that denies it refuses here). Students and registered files use their own insert text.
enum vornel0_writer_kind { VORNEL0_WRITES_STUDENT, VORNEL0_WRITES_FILE };
struct vornel0_registry_writer {
  sqlite3 *db = nullptr;
  sqlite3_stmt *insert = nullptr; // owned; finalised when the writer goes out of scope
  vornel0_writer_kind kind = VORNEL0_WRITES_STUDENT;
  vornel0_registry_writer() = default;
  vornel0_registry_writer(const vornel0_registry_writer &) = delete;
  vornel0_registry_writer &operator=(const vornel0_registry_writer &) = delete;
  ~vornel0_registry_writer() { sqlite3_finalize(insert); }
};
// Returns 0, or a host code with a message in *out_msg (null only when it could not be built).
int vornel0_registry_writer_open(sqlite3 *db, vornel0_writer_kind kind, vornel0_registry_writer *w, char **out_msg);

// Whether _vornel_models is main's ordinary table, unhidden by a temporary one, and (with
// columns) has the registry's columns with model_id as its key. SQLITE_OK, or a code with
// *out_msg.
int vornel0_registry_check_shape(sqlite3 *db, bool columns, char **out_msg);
// The first column of a one-row query's row as an integer, with *rc SQLITE_OK; -1 with the
// host's code in *rc when it did not give a row.
int64_t vornel0_registry_ask(sqlite3 *db, const char *sql, int *rc);

// One new registry row. Students give their blob; registered files their kind, runtime,
// location, io_spec and license. content_hash is the digest the caller computed.
struct vornel0_new_model {
  const char *model_id;
  const char *content_hash;
  const unsigned char *weights; // student blob
  int64_t weights_len;
  const char *kind, *runtime, *weights_uri, *io_spec, *license; // registered files
};
// Inserts the row. Success means exactly one row was stored; a clash on model_id is the
// writer's "already exists" error and every other failure its "insert failed" error with the
// host's reason. Returns 0, SQLITE_NOMEM, or SQLITE_ERROR with *out_msg.
int vornel0_store_student(vornel0_registry_writer *w, const vornel0_new_model *m, char **out_msg);
// The probe a writer runs before its work: SQLITE_OK when model_id is free, else SQLITE_ERROR
// with "student '<id>' already exists" or SQLITE_NOMEM (with the out-of-memory message).
int vornel0_registry_require_free(sqlite3 *db, const char *model_id, char **out_msg);
// Whether a stored blob still has the digest stored beside it. SQLITE_OK, or SQLITE_ERROR
// with a message naming model_id.
int vornel0_registry_check_weights(const vornel0_model_row *row, const char *model_id, char **out_msg);

// vornel_register(model_id, config): records an external model file; returns its digest.
void vornel_register_func(sqlite3_context *ctx, int argc, sqlite3_value **argv);
