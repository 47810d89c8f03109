// Series of the backtest query: one record per distinct group key in order of first
// appearance, found through an open-addressing hash index (FNV-1a over the key bytes) so that
// many interleaved groups cost no list scans; the order and content equal those of a linear
// search.
#include "backtest/backtest.h"

namespace {

uint32_t key_hash(const char *key, int32_t len) {
  uint32_t h = 2166136261u;
  for (int32_t i = 0; i < len; i++) {
    h ^= (unsigned char)key[i];
    h *= 16777619u;
  }
  return h;
}

bool key_equal(const BtSeries &s, const char *key, int32_t len) {
  return s.key_len == len && (len == 0 || memcmp(s.key, key, (size_t)len) == 0);
}

// Rebuilds the index with room for want slots (a power of two).
bool rehash(BtSeriesList *list, int32_t want) {
  int32_t *slots = host_calloc<int32_t>(want);
  if (!slots) return false;
  for (int32_t i = 0; i < list->count; i++) {
    uint32_t at = key_hash(list->items[i].key, list->items[i].key_len) & (uint32_t)(want - 1);
    while (slots[at])
      at = (at + 1) & (uint32_t)(want - 1);
    slots[at] = i + 1;
  }
  sqlite3_free(list->slots);
  list->slots = slots;
  list->slot_cap = want;
  return true;
}

} // namespace

int bt_series_lookup(BtSeriesList *list, const char *key, int32_t key_len, BtSeries **out) {
  *out = nullptr;
  uint32_t h = key_hash(key, key_len);
  if (list->slot_cap) {
    uint32_t at = h & (uint32_t)(list->slot_cap - 1);
    while (list->slots[at]) {
      BtSeries &s = list->items[list->slots[at] - 1];
      if (key_equal(s, key, key_len)) {
        *out = &s;
        return SQLITE_OK;
      }
      at = (at + 1) & (uint32_t)(list->slot_cap - 1);
    }
  }
  if (!host_grow(&list->items, &list->capacity, (int64_t)list->count + 1, 8, INT32_MAX / 2)) return SQLITE_NOMEM;
  // Keep the index at most half full.
  if ((int64_t)(list->count + 1) * 2 > list->slot_cap && !rehash(list, list->slot_cap ? list->slot_cap * 2 : 16))
    return SQLITE_NOMEM;
  char *copy = (char *)sqlite3_malloc64((sqlite3_uint64)key_len + 1);
  if (!copy) return SQLITE_NOMEM;
  if (key_len) memcpy(copy, key, (size_t)key_len);
  copy[key_len] = 0;
  BtSeries &s = list->items[list->count];
  memset(&s, 0, sizeof s);
  s.key = copy;
  s.key_len = key_len;
  uint32_t at = h & (uint32_t)(list->slot_cap - 1);
  while (list->slots[at])
    at = (at + 1) & (uint32_t)(list->slot_cap - 1);
  list->slots[at] = ++list->count;
  *out = &s;
  return SQLITE_OK;
}

void bt_series_list_free(BtSeriesList *list) {
  if (!list) return;
  for (int32_t i = 0; i < list->count; i++) {
    sqlite3_free(list->items[i].key);
    series_free(&list->items[i].points);
  }
  sqlite3_free(list->items);
  sqlite3_free(list->slots);
  memset(list, 0, sizeof *list);
}
