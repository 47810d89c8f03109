// Options tables: each function declares its options once, as a list of fields (key, type,
// where the value goes in its record, default, accepted range, description). The reader sets
// the defaults, walks the document with vornel0_options_parse and stores every member by its
// field, so parsing, defaults, range checks and messages come from the table, and adding an
// option is one more entry. The docs test reads the same tables.
#pragma once
#include <sqlite3ext.h>
#include <stddef.h>
#include <stdint.h>

enum OptionType {
  OPT_TEXT,   // a text: a JSON string, or an array or object as its JSON text (char *, owned)
  OPT_STRING, // a JSON string only (char *, owned)
  OPT_INT,    // a JSON integer (true and false count as 1 and 0), clamped to 32 bits (int32_t)
  OPT_INT64,  // a JSON integer, kept whole (int64_t)
  OPT_NUMBER, // a JSON number (double)
  OPT_BOOL,   // a JSON true or false (any integer), stored as 1 or 0 (int32_t)
  OPT_CHOICE, // a JSON string out of `choices`, stored as `min` plus its index (int32_t)
  OPT_LIST,   // a JSON array of names, or one name (char *[OPTION_MAX_LIST] and an int count)
};

inline constexpr int OPTION_MAX_LIST = 8;                   // most entries of a list option
inline constexpr double OPTION_UNBOUNDED = 1e300;           // a range end that no value reaches
inline constexpr size_t OPTION_READ_BY_CALLER = (size_t)-1; // offset of a field its function reads itself

struct OptionField {
  const char *key;            // the option's name in the document
  OptionType type;            // what the value must be and how it is stored
  size_t offset;              // where the value lives in the caller's record
  size_t count_offset;        // OPT_LIST: where the entry count lives
  double fallback;            // default of a number, integer or choice (texts default to null)
  double min, max;            // accepted range of a number or integer, both ends included
  bool min_open, max_open;    // the end itself is excluded
  const char *range;          // the range as the message words it ("in (0,1)", ">= 1"); null: none
  const char *code;           // code of the range message; null means VORNEL_ERR_OPTIONS
  const char *const *choices; // OPT_CHOICE: the accepted texts, null-terminated
  const char *description;    // one line for the docs
};

// A function's fields and the null-terminated key list vornel0_options_parse walks.
struct OptionTable {
  const char *function; // the SQL function the table belongs to
  const OptionField *fields;
  int count;
  const char *const *keys; // the fields' keys in order, then null
};

// The key list of a field array, made at compile time so that names are written once.
template <size_t N> struct OptionKeys { const char *keys[N + 1]; };
template <size_t N> constexpr OptionKeys<N> option_keys(const OptionField (&fields)[N]) {
  OptionKeys<N> out{};
  for (size_t i = 0; i < N; i++)
    out.keys[i] = fields[i].key;
  out.keys[N] = nullptr;
  return out;
}

// The table of a field array and its key list.
template <size_t N>
constexpr OptionTable option_table(const char *function, const OptionField (&fields)[N], const OptionKeys<N> &keys) {
  return {function, fields, (int)N, keys.keys};
}

// A text or string field without range or default, the most common kind.
constexpr OptionField option_text(const char *key, OptionType type, size_t offset, const char *description) {
  return {key, type, offset, 0, 0, 0, 0, false, false, nullptr, nullptr, nullptr, description};
}

// A field with another default, for a function that shares the option but not its default.
constexpr OptionField option_default(OptionField field, double fallback) {
  field.fallback = fallback;
  return field;
}

// Sets every field of the record to its default (texts and lists are left as they are).
void options_defaults(const OptionTable *table, void *record);
// Sets the defaults, then reads doc into the record by the table; each member is stored before
// its range is checked, and a later member of the same key replaces an earlier one. Returns SQLITE_OK,
// SQLITE_ERROR with a built *out_msg, or SQLITE_NOMEM (possibly without a message).
int options_read(sqlite3 *db, const char *doc, const OptionTable *table, void *record, char **out_msg);
// The one list reader: a JSON array of texts, through the host's JSON functions (the
// parse_str_array contract; entries holding a NUL character are refused, naming `what`).
int options_read_list(sqlite3 *db, const char *json, const char *what, char ***out_items, int *out_count,
                      char **out_msg);
// Copies a TEXT value into the field's text slot (replacing what was there), refusing a text
// that holds a NUL character. Returns 0, or non-zero with *out_msg (null for out of memory).
int option_store_text(const OptionField *field, void *record, sqlite3_value *value, char **out_msg);
// Checks a stored number or integer against its field's range. Returns 0, or non-zero with
// *out_msg (null for out of memory).
int option_check_range(const OptionField *field, double value, char **out_msg);
// Frees the texts and lists the table's fields own in the record and nulls them.
void options_free(const OptionTable *table, void *record);
// The field of a key, or null.
const OptionField *option_field(const OptionTable *table, const char *key);
