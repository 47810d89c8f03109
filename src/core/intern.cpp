// The text interner and its arena (see intern.h).
#include "core/intern.h"

namespace {

uint32_t text_hash(const char *p, int32_t n) {
  uint32_t h = 2166136261u; // FNV-1a
  for (int32_t i = 0; i < n; i++)
    h = (h ^ (unsigned char)p[i]) * 16777619u;
  return h;
}

bool vocab_rehash(TextVocab *v, int64_t want) {
  int32_t *slots = host_calloc<int32_t>(want);
  if (!slots) return false;
  for (int64_t code = 0; code < v->entries.len; code++) {
    const TextRef &e = v->entries[code];
    uint64_t s = text_hash(v->bytes.data + e.offset, e.len) & (uint64_t)(want - 1);
    while (slots[s])
      s = (s + 1) & (uint64_t)(want - 1);
    slots[s] = (int32_t)code + 1;
  }
  v->slots.reset(slots);
  v->slot_count = want;
  return true;
}

} // namespace

bool arena_append(HostArray<char> *arena, const char *p, int64_t n) {
  if (arena->len + n > arena->cap) {
    int64_t want = arena->cap ? arena->cap * 2 : 4096;
    while (want < arena->len + n)
      want *= 2;
    if (!arena->reserve(want)) return false;
  }
  if (n) memcpy(arena->data + arena->len, p, (size_t)n);
  arena->len += n;
  return true;
}

int bytes_cmp(const char *a, int32_t na, const char *b, int32_t nb) {
  int32_t n = na < nb ? na : nb;
  int c = n ? memcmp(a, b, (size_t)n) : 0; // memcmp on a null pointer is undefined even for 0 bytes
  if (c) return c;
  return na < nb ? -1 : na > nb ? 1 : 0;
}

bool vocab_code(TextVocab *v, const char *text, int32_t n, int64_t *out_code) {
  if ((v->entries.len + 1) * 2 > v->slot_count && !vocab_rehash(v, v->slot_count ? v->slot_count * 2 : 16))
    return false;
  uint64_t mask = (uint64_t)(v->slot_count - 1);
  uint64_t s = text_hash(text, n) & mask;
  while (int32_t code1 = v->slots[s]) {
    const TextRef &e = v->entries[code1 - 1];
    if (e.len == n && bytes_cmp(v->bytes.data + e.offset, e.len, text, n) == 0) {
      *out_code = code1 - 1;
      return true;
    }
    s = (s + 1) & mask;
  }
  TextRef ref{v->bytes.len, n};
  if (!arena_append(&v->bytes, text, n)) return false;
  if (!v->entries.push(ref, 8)) return false;
  v->slots[s] = (int32_t)v->entries.len;
  *out_code = v->entries.len - 1;
  return true;
}
