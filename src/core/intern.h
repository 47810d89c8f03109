// Interning texts: a vocabulary that gives each distinct text a code in first-seen order, and
// the byte arena it keeps them in. Used for categorical features and class labels.
#pragma once
#include "core/mem.h"

// A span of bytes inside an arena.
struct TextRef {
  int64_t offset; // start in the arena
  int32_t len;    // byte count
};

// Texts in first-seen order, found again through an open-addressing hash table (FNV-1a).
// The code of a text is its index; the destructors free everything.
struct TextVocab {
  HostArray<char> bytes;      // all texts, back to back
  HostArray<TextRef> entries; // one per code, grown from 8 by doubling
  HostPtr<int32_t> slots;     // hash slots holding code + 1 (0 is empty)
  int64_t slot_count = 0;     // a power of two, at least twice the entry count
};

// Appends n bytes to an arena, growing it by doubling from 4 KiB. Returns false when memory
// runs out.
bool arena_append(HostArray<char> *arena, const char *p, int64_t n);

// Sets *out_code to the code of the n bytes at text, appending them when new. Returns false
// when memory runs out.
bool vocab_code(TextVocab *v, const char *text, int32_t n, int64_t *out_code);

// Compares two byte strings as memcmp would, a shorter prefix first; either may be null when
// its length is 0.
int bytes_cmp(const char *a, int32_t na, const char *b, int32_t nb);
