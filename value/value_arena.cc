// Arena trees: nodes cut from one buffer with a pointer bump each and
// dropped together (docs/design-values.md).
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

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

namespace {

// The key nodes of one constant key table (SharedKeyNode, value_block.h),
// made on first use and kept for the life of the process, shared by every
// arena dict built from that table: a dict costs no key nodes at all.
struct SharedKeys {
  const ValueKey* table;
  int32_t pairs;
  SharedKeys* next;
  SharedKeyNode* nodes;
};

// Lock-free list: readers walk it; a writer pushes with a compare-and-swap
// (two threads making the same table at once keep one, the other is freed).
std::atomic<SharedKeys*> g_shared_keys{nullptr};

SharedKeys* find_shared(SharedKeys* list, const ValueKey* keys, int32_t pairs) {
  for (SharedKeys* s = list; s != nullptr; s = s->next)
    if (s->table == keys && s->pairs == pairs) return s;
  return nullptr;
}

void free_shared(SharedKeys* shared) {
  for (int32_t k = 0; k < shared->pairs; ++k) {
    const ValueKey& key = shared->table[k];
    if (shared->nodes[k].value.payload.s != key.text) free(shared->nodes[k].value.payload.s);
  }
  free(shared->nodes);
  free(shared);
}

// The shared nodes of `keys`, or null when memory runs out.
const SharedKeyNode* shared_key_nodes(const ValueKey* keys, int32_t pairs) {
  SharedKeys* head = g_shared_keys.load(std::memory_order_acquire);
  if (SharedKeys* found = find_shared(head, keys, pairs)) return found->nodes;
  auto* made = static_cast<SharedKeys*>(calloc(1, sizeof(SharedKeys)));
  auto* nodes = static_cast<SharedKeyNode*>(calloc(pairs > 0 ? pairs : 1, sizeof(SharedKeyNode)));
  if (!made || !nodes) {
    free(made);
    free(nodes);
    return nullptr;
  }
  made->table = keys;
  made->pairs = pairs;
  made->nodes = nodes;
  for (int32_t k = 0; k < pairs; ++k) {
    const size_t length = keys[k].text ? keys[k].length : 0;
    char* text = const_cast<char*>(keys[k].text);
    if (!is_static_key(keys[k])) {
      // Not NUL-terminated at its length: a copy of its own, kept as long.
      text = static_cast<char*>(calloc(1, length + 1));
      if (!text) {
        made->pairs = k;
        free_shared(made);
        return nullptr;
      }
      if (length) memcpy(text, keys[k].text, length);
    }
    nodes[k].header.size_class = kArenaStaticTextClass;
    nodes[k].header.magic = kArenaMagic;
    nodes[k].value.kind = VALUE_STRING;
    nodes[k].value.count = static_cast<int64_t>(length);
    nodes[k].value.payload.s = text;
  }
  for (;;) {
    made->next = head;
    if (g_shared_keys.compare_exchange_weak(head, made, std::memory_order_acq_rel)) return nodes;
    if (SharedKeys* found = find_shared(head, keys, pairs)) {
      free_shared(made);
      return found->nodes;
    }
  }
}

}  // namespace

// In an arena: one reservation for the dict and its slots; the keys are the
// table's shared nodes. On the heap every key is a copy.
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
  const SharedKeyNode* shared = shared_key_nodes(keys, pairs);
  if (!shared) return nullptr;
  constexpr size_t kNodeBytes = sizeof(BlockHeader) + sizeof(Value);
  char* bytes = arena_reserve(arena, kNodeBytes + (2 * n + 1) * sizeof(Value*));
  if (!bytes) return nullptr;
  arena_header(bytes);
  Value* dict = reinterpret_cast<Value*>(bytes + sizeof(BlockHeader));
  dict->kind = VALUE_DICT;
  dict->count = pairs;
  Value** items = reinterpret_cast<Value**>(dict + 1);
  dict->payload.items = items;
  for (size_t k = 0; k < n; ++k) {
    items[2 * k] = const_cast<Value*>(&shared[k].value);
    items[2 * k + 1] = nullptr;
  }
  items[2 * n] = nullptr;
  return dict;
}

void** value_static_key_slot(const Value* v) { return v ? shared_key_slot(v) : nullptr; }

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
  // Marked as floats only, so the Python bridge converts it without looking
  // at each item's kind.
  reinterpret_cast<BlockHeader*>(bytes)->size_class = kArenaFloatTupleClass;
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
