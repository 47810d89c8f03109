// The chief header: shared result codes, the error catalogue, message helpers, JSON text
// helpers, options documents, timestamps and the exported vornel0_ routines. Every file of
// the extension includes it; calls into the host go through the routine table sqlite3_api.
#pragma once
#include "core/cancel.h"
#include "core/mem.h"
#include "core/options.h"
#include <sqlite3ext.h>
#include <stddef.h>
#include <stdint.h>

#define VORNEL_EXPORT __attribute__((visibility("default")))

// Kernels that gain from AVX2 are cloned and picked at load time; both clones run the same
// per-lane operations, so they give the same bits. ThreadSanitizer builds go without clones:
// their load-time resolvers would run before the sanitizer's runtime is ready.
// The widest kernels get an AVX-512 clone (the same lane operations in fewer instructions,
// with twice the registers) and an AVX2 one that also has the fused multiply-add, for the
// kernels whose arithmetic asks for it explicitly.
// Clones need the x86-64 instruction sets and the loader's indirect functions (ELF ifunc);
// other targets build the portable path alone.
#if defined(VORNEL_NO_CLONES) || !defined(__x86_64__) || !defined(__ELF__)
#define VORNEL_KERNEL
#define VORNEL_KERNEL_WIDE
#else
#define VORNEL_KERNEL __attribute__((target_clones("avx2", "default")))
#define VORNEL_KERNEL_WIDE __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif

// Error codes: the head of every message the extension reports.
inline constexpr const char VORNEL_ERR_SCHEMA[] = "VORNEL_ERR_SCHEMA";
inline constexpr const char VORNEL_ERR_OPTIONS[] = "VORNEL_ERR_OPTIONS";
inline constexpr const char VORNEL_ERR_THRESHOLD[] = "VORNEL_ERR_THRESHOLD";
inline constexpr const char VORNEL_ERR_HORIZON[] = "VORNEL_ERR_HORIZON";
inline constexpr const char VORNEL_ERR_MODEL_NOT_FOUND[] = "VORNEL_ERR_MODEL_NOT_FOUND";
inline constexpr const char VORNEL_ERR_MODEL_EXISTS[] = "VORNEL_ERR_MODEL_EXISTS";
inline constexpr const char VORNEL_ERR_STUDENT_EXISTS[] = "VORNEL_ERR_STUDENT_EXISTS";
inline constexpr const char VORNEL_ERR_TARGET[] = "VORNEL_ERR_TARGET";
inline constexpr const char VORNEL_ERR_TASK[] = "VORNEL_ERR_TASK";
inline constexpr const char VORNEL_ERR_CONTEXT_TOO_LARGE[] = "VORNEL_ERR_CONTEXT_TOO_LARGE";
inline constexpr const char VORNEL_ERR_QUERY_NOT_READONLY[] = "VORNEL_ERR_QUERY_NOT_READONLY";
inline constexpr const char VORNEL_ERR_IO_SPEC[] = "VORNEL_ERR_IO_SPEC";
inline constexpr const char VORNEL_ERR_RUNTIME_UNAVAILABLE[] = "VORNEL_ERR_RUNTIME_UNAVAILABLE";
inline constexpr const char VORNEL_ERR_RESOURCE[] = "VORNEL_ERR_RESOURCE";

// Messages stored whole: they have no variable part.
inline constexpr const char VORNEL_MSG_HORIZON_INTEGER[] = "VORNEL_ERR_HORIZON: horizon must be an integer";
inline constexpr const char VORNEL_MSG_HORIZON_RANGE[] = "VORNEL_ERR_HORIZON: horizon out of range 1..1000";
inline constexpr const char VORNEL_MSG_HORIZON_CONSTANT[] =
    "VORNEL_ERR_HORIZON: horizon must be constant within a group";
inline constexpr const char VORNEL_MSG_OPTIONS_CONSTANT[] =
    "VORNEL_ERR_OPTIONS: options must be constant within a group";
inline constexpr const char VORNEL_MSG_TOO_MANY_ROWS[] = "VORNEL_ERR_RESOURCE: too many input rows";
inline constexpr const char VORNEL_MSG_NOMEM[] = "VORNEL_ERR_RESOURCE: out of memory";
inline constexpr const char VORNEL_MSG_FORECAST_MISUSE[] =
    "VORNEL_ERR_SCHEMA: forecast does not take a query string; it is an aggregate over your rows: "
    "SELECT forecast(ts, value, horizon[, options]) FROM ...";
inline constexpr const char VORNEL_MSG_FORECAST_NO_HORIZON[] =
    "VORNEL_ERR_HORIZON: forecast needs a horizon, the number of future steps: "
    "SELECT forecast(ts, value, horizon[, options]) FROM ...";

// An owned copy of VORNEL_MSG_NOMEM, for paths that hand back built messages; null when even
// that cannot be allocated (callers treat a null message as out of memory).
inline char *vornel0_nomem_msg() { return sqlite3_mprintf("%s", VORNEL_MSG_NOMEM); }

// Hands an owned message out through *out_msg: SQLITE_ERROR, or SQLITE_NOMEM when the message
// could not be built (msg null). The out-parameter twin of vtab_set_error.
inline int vornel0_fail(char **out_msg, char *msg) {
  *out_msg = msg;
  return msg ? SQLITE_ERROR : SQLITE_NOMEM;
}
// SQLITE_NOMEM with an owned copy of the out-of-memory message in *out_msg (null when even that
// could not be built).
inline int vornel0_fail_nomem(char **out_msg) {
  *out_msg = vornel0_nomem_msg();
  return SQLITE_NOMEM;
}

// Reports an owned message through a scalar or aggregate context and frees it; a null message
// (its building ran out of memory) reports the fallback text instead.
void vornel0_report(sqlite3_context *ctx, char *msg, const char *fallback = VORNEL_MSG_NOMEM);

// Places an owned message in a virtual table's error slot (freeing the old one). Returns
// SQLITE_ERROR, or SQLITE_NOMEM when the message could not be built.
int vtab_set_error(sqlite3_vtab *vtab, char *msg);
// A filter's failure with the code and owned message (may be null) of the work it ran: a message
// goes to the error slot (SQLITE_ERROR). Without one, an error or out-of-memory is out of memory
// (a bare error would read as "SQL logic error"), and any other code, an interrupt above all,
// speaks for itself.
int vtab_fail(sqlite3_vtab *vtab, int rc, char *msg);

// Prepares SQL text handed over as an argument: it must parse and be read-only, and when
// single is set be one statement (only blanks, tabs, line feeds and ';' may follow). `what`
// names it in the messages ("query", "apply query"). Returns SQLITE_OK with *out (the caller
// finalises), SQLITE_NOMEM (no message), or SQLITE_ERROR with a built *out_msg.
int vornel0_prepare_query(sqlite3 *db, const char *sql, const char *what, bool single, sqlite3_stmt **out,
                          char **out_msg);

// Acklam's inverse normal distribution function, without refinement.
double vornel0_norm_quantile(double p);
// Piecewise-linear value at level x over ascending levels (extrapolating past both ends).
double vornel0_quantile_at(const float *levels, const double *values, int count, double x);

// JSON text helpers shared by every result document.
void agg_json_str(sqlite3_str *out, const char *text);
void json_append_number(sqlite3_str *out, double value);
// Writes value as "%.17g" would, into buf (at least 40 bytes); returns the length.
// Non-finite values are the caller's business (json_append_number prints them as null).
int vornel0_format_double(double value, char *buf);

// A hook that stops long work once the host interrupts the connection (sqlite3_interrupt);
// it never stops on a host too old to tell. Work that stops returns SQLITE_INTERRUPT, keeps
// nothing and stores nothing.
Cancel vornel0_cancel(sqlite3 *db);

// Options documents: the callback receives each non-null member and returns 0 to accept it,
// or stores a built message in *out_msg and returns non-zero.
typedef int (*vornel0_option_cb)(void *record, const char *key, sqlite3_value *value, char **out_msg);

extern "C" {
VORNEL_EXPORT int vornel0_options_parse(sqlite3 *db, const char *doc, const char *const *keys, vornel0_option_cb cb,
                                        void *record, char **out_msg);
VORNEL_EXPORT int vornel0_parse_timestamp(const char *text, int64_t *out_ms);
VORNEL_EXPORT int vornel0_format_timestamp(int64_t ms, char *buf, size_t size);
VORNEL_EXPORT char *vornel0_ulid_min(int64_t ms, char *buf);
VORNEL_EXPORT char *vornel0_ulid_new(int64_t ms, char *buf);
VORNEL_EXPORT int sqlite3_vornel_init(sqlite3 *db, char **pzErrMsg, const sqlite3_api_routines *api);
VORNEL_EXPORT int vornel0_forecast_init(sqlite3 *db);
VORNEL_EXPORT int vornel0_tabular_init(sqlite3 *db);
VORNEL_EXPORT int vornel0_distill_init(sqlite3 *db);
}

// The proleptic Gregorian calendar of the timestamps (days counted from 1970-01-01).
int civil_month_days(int64_t year, int month);
int64_t civil_floor_div(int64_t a, int64_t b);
int64_t civil_days_from_date(int64_t year, int64_t month, int64_t day);
void civil_date_from_days(int64_t days, int64_t *out_year, int *out_month, int *out_day);

// Reads a JSON array of strings into a host array of host texts (caller frees every entry and
// the array). Returns SQLITE_OK, SQLITE_ERROR with *out_msg, or SQLITE_NOMEM.
int parse_str_array(sqlite3 *db, const char *json, char ***out_items, int *out_count, char **out_msg);
// Frees an array returned by parse_str_array.
void str_array_free(char **items, int count);

// Scalar callbacks of the core.
void vornel_version_func(sqlite3_context *ctx, int argc, sqlite3_value **argv);
void vornel_debug_func(sqlite3_context *ctx, int argc, sqlite3_value **argv);
void vornel_ulid_func(sqlite3_context *ctx, int argc, sqlite3_value **argv);
void forecast_misuse_func(sqlite3_context *ctx, int argc, sqlite3_value **argv);
// The text begins, after blanks, tabs and line ends and ignoring case, with "select" or "with".
bool vornel0_looks_like_query(const char *text);
