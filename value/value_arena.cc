// Arena trees: nodes cut from one buffer with a pointer bump each and
// dropped together (see value.h).
//
// A stream callback builds one dict per record, converts it and drops it,
// thousands of times a second per tracker. Built in a ValueArena its ~60
// nodes come from one buffer on the callback's stack instead of ~60 pool
// allocations and a recursive free. Heap chunks, taken when the buffer is
// full, carry an ArenaChunk link in front and are freed by value_arena_release.
#include <stdlib.h>
#include <string.h>

#include "value/value_block.h"

using namespace value_internal;

namespace {

constexpr size_t kArenaChunkBytes = 16 * 1024;

struct ArenaChunk {
  ArenaChunk* next;
  uint64_t reserved;  // keeps the chunk's bytes 16-byte aligned
};

// A key text that can be referred to instead of copied: NUL-terminated at
// its length, as a string literal of a key table is.
inline bool is_static_key(const ValueKey& key) {
  return key.text != nullptr && key.text[key.length] == '\0';
}

}  // namespace

bool value_internal::arena_grow(ValueArena* arena, size_t total) {
  if (total > SIZE_MAX - sizeof(ArenaChunk)) return false;
  size_t bytes = total + sizeof(ArenaChunk);
  if (bytes < kArenaChunkBytes) bytes = kArenaChunkBytes;
  ArenaChunk* chunk = static_cast<ArenaChunk*>(malloc(bytes));
  if (!chunk) return false;
  chunk->next = static_cast<ArenaChunk*>(arena->chunks);
  arena->chunks = chunk;
  arena->cursor = reinterpret_cast<char*>(chunk + 1);
  arena->end = reinterpret_cast<char*>(chunk) + bytes;
  return true;
}

void value_arena_init(ValueArena* arena, void* buffer, size_t size) {
  arena->chunks = nullptr;
  if (!buffer) size = 0;
  // The first block starts at the first 8-byte boundary of the buffer.
  const uintptr_t start = (reinterpret_cast<uintptr_t>(buffer) + 7) & ~uintptr_t{7};
  const uintptr_t stop = reinterpret_cast<uintptr_t>(buffer) + size;
  arena->cursor = reinterpret_cast<char*>(start);
  arena->end = reinterpret_cast<char*>(stop > start ? stop : start);
}

void value_arena_release(ValueArena* arena) {
  ArenaChunk* chunk = static_cast<ArenaChunk*>(arena->chunks);
  while (chunk) {
    ArenaChunk* next = chunk->next;
    free(chunk);
    chunk = next;
  }
  arena->chunks = nullptr;
  arena->cursor = nullptr;
  arena->end = nullptr;
}

// A negative count is taken as 0; a kind other than the three containers is
// taken as VALUE_TUPLE.
Value* value_arena_container(ValueArena* arena, int32_t kind, int32_t count) {
  if (count < 0) count = 0;
  const size_t n = static_cast<size_t>(count);
  if (kind == VALUE_DICT) return new_with_slots(arena, VALUE_DICT, count, 2 * n + 1);
  if (kind != VALUE_LIST) kind = VALUE_TUPLE;
  return new_with_slots(arena, kind, count, n + 1);
}

// In an arena: one reservation for the dict and its slots, one per key node
// (with the copy of a key that is not NUL-terminated text).
Value* value_arena_dict_static_keys(ValueArena* arena, int32_t pairs, const ValueKey* keys) {
  if (pairs < 0) pairs = 0;
  const size_t n = static_cast<size_t>(pairs);
  if (!arena) {
    Value* dict = new_with_slots(nullptr, VALUE_DICT, pairs, 2 * n + 1);
    if (!dict) return nullptr;
    for (size_t k = 0; k < n; ++k) {
      Value* key = new_string(nullptr, keys[k].text, keys[k].length);
      if (!key) {
        // Free the keys made so far (value_free would stop at the first
        // empty value slot).
        for (size_t done = 0; done < k; ++done) value_free(dict->payload.items[2 * done]);
        for (size_t slot = 0; slot < 2 * n; ++slot) dict->payload.items[slot] = nullptr;
        value_free(dict);
        return nullptr;
      }
      dict->payload.items[2 * k] = key;
    }
    return dict;
  }
  constexpr size_t kNodeBytes = sizeof(BlockHeader) + sizeof(Value);
  char* bytes = arena_reserve(arena, kNodeBytes + (2 * n + 1) * sizeof(Value*));
  if (!bytes) return nullptr;
  arena_header(bytes);
  Value* dict = reinterpret_cast<Value*>(bytes + sizeof(BlockHeader));
  memset(dict, 0, sizeof(Value));
  dict->kind = VALUE_DICT;
  dict->count = pairs;
  dict->payload.items = reinterpret_cast<Value**>(dict + 1);
  memset(dict->payload.items, 0, (2 * n + 1) * sizeof(Value*));
  for (size_t k = 0; k < n; ++k) {
    const bool is_static = is_static_key(keys[k]);
    // A copied key carries its bytes and the NUL, rounded up to 8. A null key
    // text is taken as the empty string.
    const size_t length = keys[k].text ? keys[k].length : 0;
    const size_t block = is_static ? kNodeBytes : (kNodeBytes + length + 1 + 7) & ~size_t{7};
    char* at = arena_reserve(arena, block);
    // Out of memory: nothing to free, the arena's release takes it all.
    if (!at) return nullptr;
    BlockHeader* header = reinterpret_cast<BlockHeader*>(at);
    header->size_class = is_static ? kArenaStaticTextClass : kArenaClass;
    header->magic = kArenaMagic;
    Value* key = reinterpret_cast<Value*>(at + sizeof(BlockHeader));
    memset(key, 0, sizeof(Value));
    key->kind = VALUE_STRING;
    key->count = static_cast<int64_t>(length);
    if (is_static) {
      key->payload.s = const_cast<char*>(keys[k].text);
    } else {
      memset(at + block - 8, 0, 8);  // the NUL and the padding after the bytes
      key->payload.s = reinterpret_cast<char*>(key + 1);
      if (length) memcpy(key->payload.s, keys[k].text, length);
    }
    dict->payload.items[2 * k] = key;
  }
  return dict;
}

bool value_string_is_static(const Value* v) {
  if (!v || v->kind != VALUE_STRING) return false;
  const BlockHeader* header = reinterpret_cast<const BlockHeader*>(v) - 1;
  return header->magic == kArenaMagic && header->size_class == kArenaStaticTextClass;
}

// One reservation for the tuple and all its items: the tuple block, then one
// block per VALUE_FLOAT, each with its arena header.
Value* value_arena_float_tuple(ValueArena* arena, int32_t count, const double* values) {
  if (count < 0) count = 0;
  const size_t n = static_cast<size_t>(count);
  if (!arena) {
    Value* tuple = new_with_slots(nullptr, VALUE_TUPLE, count, n + 1);
    if (!tuple) return nullptr;
    for (size_t k = 0; k < n; ++k) {
      Value* item = new_node(nullptr, VALUE_FLOAT);
      if (!item) {
        value_free(tuple);
        return nullptr;
      }
      memcpy(&item->payload.f, &values[k], sizeof(double));  // bit for bit (NaN markers)
      tuple->payload.items[k] = item;
    }
    return tuple;
  }
  constexpr size_t kItemBytes = sizeof(BlockHeader) + sizeof(Value);
  const size_t tuple_bytes = sizeof(BlockHeader) + sizeof(Value) + (n + 1) * sizeof(Value*);
  char* bytes = arena_reserve(arena, tuple_bytes + n * kItemBytes);
  if (!bytes) return nullptr;
  arena_header(bytes);
  Value* tuple = reinterpret_cast<Value*>(bytes + sizeof(BlockHeader));
  memset(tuple, 0, sizeof(Value));
  tuple->kind = VALUE_TUPLE;
  tuple->count = count;
  tuple->payload.items = reinterpret_cast<Value**>(tuple + 1);
  char* at = bytes + tuple_bytes;
  for (size_t k = 0; k < n; ++k, at += kItemBytes) {
    arena_header(at);
    Value* item = reinterpret_cast<Value*>(at + sizeof(BlockHeader));
    memset(item, 0, sizeof(Value));
    item->kind = VALUE_FLOAT;
    memcpy(&item->payload.f, &values[k], sizeof(double));
    tuple->payload.items[k] = item;
  }
  tuple->payload.items[n] = nullptr;
  return tuple;
}
