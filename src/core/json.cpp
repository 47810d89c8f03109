// JSON text helpers: string literals and numbers for every result document.
#include "core/api.h"
#include <charconv>
#include <math.h>

void agg_json_str(sqlite3_str *out, const char *text) {
  static const char HEX[] = "0123456789abcdef";
  sqlite3_str_appendchar(out, 1, '"');
  const unsigned char *s = (const unsigned char *)text;
  const unsigned char *run = s; // start of the bytes copied unchanged
  for (; *s; s++) {
    unsigned char c = *s;
    if (c != '"' && c != '\\' && c >= 0x20) continue;
    if (s > run) sqlite3_str_append(out, (const char *)run, (int)(s - run));
    if (c == '"' || c == '\\') {
      char esc[2] = {'\\', (char)c};
      sqlite3_str_append(out, esc, 2);
    } else {
      char esc[6] = {'\\', 'u', '0', '0', HEX[c >> 4], HEX[c & 15]};
      sqlite3_str_append(out, esc, 6);
    }
    run = s + 1;
  }
  if (s > run) sqlite3_str_append(out, (const char *)run, (int)(s - run));
  sqlite3_str_appendchar(out, 1, '"');
}

// std::to_chars in general format with precision 17 writes exactly what "%.17g" writes,
// several times faster.
int vornel0_format_double(double value, char *buf) {
  std::to_chars_result r = std::to_chars(buf, buf + 39, value, std::chars_format::general, 17);
  *r.ptr = 0;
  return (int)(r.ptr - buf);
}

void json_append_number(sqlite3_str *out, double value) {
  if (!isfinite(value)) {
    sqlite3_str_append(out, "null", 4);
    return;
  }
  char buf[40];
  int n = vornel0_format_double(value, buf);
  sqlite3_str_append(out, buf, n);
}
