// The Value tree: constructors, builders, parser, recursive free.
//
// Memory layout. Every node is one zero-filled block: a string node carries its
// bytes right after the node, a container its slot array, so a node costs one
// allocation whatever its kind (a gaze dict of ~60 nodes is ~60 blocks, not
// ~100). payload.s / payload.items point into the node's own block and are
// never released separately.
//
// Allocation. Blocks up to kMaxSmallBlock bytes come from per-thread free lists
// in a handful of size classes; value_free returns them to the list of the
// thread that frees (the stream callbacks build and free their dicts on one
// thread, so they reuse the same blocks sample after sample). Each block is an
// individual calloc() and carries its size class in an 8-byte header, so a
// block may be freed by any thread (argument trees are built on a Python
// thread and freed on the worker): it simply joins the freeing thread's list.
// Each list is capped (kCacheBytesPerClass); a full list hands a batch of
// blocks to a central list per class, where a thread whose list is empty
// takes them (see CentralList), so a thread that only frees never hoards
// memory and one that only allocates rarely calls calloc(). A thread's lists are
// drained when the thread exits. Larger blocks (eye images, long strings) go
// straight to calloc()/free().
//
// Arenas. A stream callback builds one dict per record, converts it and drops
// it, thousands of times a second per tracker. Built in a ValueArena (see
// value.h) its ~60 nodes are cut from one buffer on the callback's stack with
// a pointer bump each and dropped together, instead of ~60 pool allocations
// and a recursive free. Arena blocks carry the same 8-byte header with their
// own magic, which value_free recognises and skips.
#include "value/value.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

namespace {

// Header in front of every block. 8 bytes keep the node 8-byte aligned.
struct BlockHeader {
  uint32_t size_class;  // index into kClassSizes, or kLargeClass
  uint32_t magic;       // kLiveMagic while in use, kFreeMagic once freed
};
static_assert(sizeof(BlockHeader) == 8, "header must keep 8-byte alignment");

constexpr uint32_t kLiveMagic = 0x56414c55u;  // "VALU"
constexpr uint32_t kFreeMagic = 0x64656164u;  // "dead"
constexpr uint32_t kLargeClass = 0xffffffffu;

// Block sizes including the header. A scalar node is 32, a short string
// (dict keys) 48..96, a 2-/3-tuple 64, an 18-pair dict 328 bytes.
constexpr uint32_t kClassSizes[] = {32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024};
constexpr int kClassCount = sizeof(kClassSizes) / sizeof(kClassSizes[0]);
constexpr size_t kMaxSmallBlock = 1024;
// Under AddressSanitizer every block goes straight back to free(), so the
// sanitizer sees each use-after-free, double free and leak of a node. GCC
// announces it with __SANITIZE_ADDRESS__, clang only through __has_feature.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELTO_VALUE_NO_BLOCK_CACHE 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(VELTO_VALUE_NO_BLOCK_CACHE)
constexpr size_t kCacheBytesPerClass = 0;
#else
constexpr size_t kCacheBytesPerClass = 64 * 1024;
#endif

// Size class of a total block size (<= kMaxSmallBlock), by 16-byte steps.
struct ClassTable {
  uint8_t of[kMaxSmallBlock / 16 + 1];
  constexpr ClassTable() : of() {
    for (size_t step = 0; step <= kMaxSmallBlock / 16; ++step) {
      int c = 0;
      while (kClassSizes[c] < step * 16) ++c;
      of[step] = static_cast<uint8_t>(c);
    }
  }
};
constexpr ClassTable kClassOf;

struct FreeBlock {
  FreeBlock* next;
};
struct ClassList {
  FreeBlock* head;  // bodies of cached blocks (just after their header)
  uint32_t count;
};

enum CacheState : int { kCacheUnused = 0, kCacheLive = 1, kCacheGone = 2 };

// Trivially constructible and destructible, so access needs no TLS guard.
struct ThreadCache {
  ClassList lists[kClassCount];
  int state;
};
thread_local ThreadCache t_cache;

// Central lists: blocks move between threads in batches. A thread whose list
// of a class is full hands a batch of kBatchBlocks blocks to that class's
// central list (instead of free()ing each block), and a thread whose list is
// empty takes a batch from there (instead of calloc()ing each block). This
// serves the module's cross-thread pattern, argument trees built on a Python
// thread and freed on the worker, at one lock per batch, and keeps the blocks
// of a burst of queued requests for the next burst instead of giving the
// memory back to the system and faulting it in again. The central list of a
// class holds at most kCentralBytesPerClass; a batch beyond that is freed.
// Plain arrays and a mutex with no destructor work, so a thread exiting after
// the process's static destructors still finds them usable.
constexpr uint32_t kBatchBlocks = 32;
constexpr size_t kCentralBytesPerClass = 512 * 1024;
constexpr size_t kCentralBatches = kCentralBytesPerClass / (kBatchBlocks * 32);  // smallest class
struct CentralList {
  std::mutex mutex;
  FreeBlock* batches[kCentralBatches];  // each a chain of kBatchBlocks blocks
  size_t count;
};
CentralList g_central[kClassCount];

// Batches the central list of each class may hold (a table, as for the lists).
struct CentralCapacityTable {
  size_t of[kClassCount];
  constexpr CentralCapacityTable() : of() {
    for (int c = 0; c < kClassCount; ++c)
      of[c] = kCentralBytesPerClass / (static_cast<size_t>(kBatchBlocks) * kClassSizes[c]);
  }
};
constexpr CentralCapacityTable kCentralCapacity;

void free_chain(FreeBlock* chain) {
  while (chain) {
    FreeBlock* next = chain->next;
    free(reinterpret_cast<char*>(chain) - sizeof(BlockHeader));
    chain = next;
  }
}

// Moves kBatchBlocks blocks from the head of a full list to the central list.
__attribute__((noinline)) void hand_batch(ClassList& list, int size_class) {
  FreeBlock* batch = list.head;
  FreeBlock* last = batch;
  for (uint32_t k = 1; k < kBatchBlocks; ++k) last = last->next;
  list.head = last->next;
  last->next = nullptr;
  list.count -= kBatchBlocks;
  CentralList& central = g_central[size_class];
  {
    std::lock_guard<std::mutex> lock(central.mutex);
    if (central.count < kCentralCapacity.of[size_class]) {
      central.batches[central.count++] = batch;
      return;
    }
  }
  free_chain(batch);
}

// Refills an empty list with a batch from the central list; false when the
// central list has none.
__attribute__((noinline)) bool take_batch(ClassList& list, int size_class) {
  CentralList& central = g_central[size_class];
  std::lock_guard<std::mutex> lock(central.mutex);
  if (central.count == 0) return false;
  list.head = central.batches[--central.count];
  list.count = kBatchBlocks;
  return true;
}

void cache_drain(ThreadCache* cache) {
  for (ClassList& list : cache->lists) {
    while (list.head) {
      FreeBlock* body = list.head;
      list.head = body->next;
      free(reinterpret_cast<char*>(body) - sizeof(BlockHeader));
    }
    list.count = 0;
  }
}

// Drains the cache when its thread exits. Frees that arrive later in the
// thread's exit (another thread-local destructor freeing a tree) bypass the
// cache because the state is then kCacheGone.
struct CacheReaper {
  ~CacheReaper() {
    t_cache.state = kCacheGone;
    cache_drain(&t_cache);
  }
};
thread_local CacheReaper t_reaper;

__attribute__((noinline)) void cache_start() {
  // Touching the reaper constructs it and registers its destructor for this
  // thread's exit.
  CacheReaper* volatile reaper = &t_reaper;
  (void)reaper;
  t_cache.state = kCacheLive;
}

// Blocks each class's list may hold (a table: no division on the free path).
struct CapacityTable {
  uint32_t of[kClassCount];
  constexpr CapacityTable() : of() {
    for (int c = 0; c < kClassCount; ++c)
      of[c] = static_cast<uint32_t>(kCacheBytesPerClass / kClassSizes[c]);
  }
};
constexpr CapacityTable kCacheCapacity;

[[noreturn]] void fatal(const char* what) {
  fprintf(stderr, "velto value tree: %s\n", what);
  abort();
}

// A zero-filled body of `size` bytes, or null when memory is exhausted.
// Inlined so that the fixed node size makes the zero fill a few stores.
inline __attribute__((always_inline)) void* block_alloc(size_t size) {
  if (size > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
  size_t total = size + sizeof(BlockHeader);
  BlockHeader* header;
  if (total <= kMaxSmallBlock) {
    int size_class = kClassOf.of[(total + 15) / 16];
    ThreadCache* cache = &t_cache;
    if (cache->state == kCacheUnused) cache_start();
    ClassList& list = cache->lists[size_class];
    if (cache->state == kCacheLive && !list.head && kCacheBytesPerClass != 0)
      take_batch(list, size_class);
    if (cache->state == kCacheLive && list.head) {
      FreeBlock* body = list.head;
      list.head = body->next;
      --list.count;
      header = reinterpret_cast<BlockHeader*>(reinterpret_cast<char*>(body) - sizeof(BlockHeader));
      header->magic = kLiveMagic;
      memset(body, 0, size);
      return body;
    }
    header = static_cast<BlockHeader*>(calloc(1, kClassSizes[size_class]));
    if (!header) return nullptr;
    header->size_class = static_cast<uint32_t>(size_class);
  } else {
    header = static_cast<BlockHeader*>(calloc(1, total));
    if (!header) return nullptr;
    header->size_class = kLargeClass;
  }
  header->magic = kLiveMagic;
  return header + 1;
}

inline __attribute__((always_inline)) void block_free(void* body) {
  BlockHeader* header = static_cast<BlockHeader*>(body) - 1;
  // A node freed twice or not made here would corrupt the heap silently;
  // stop loudly instead.
  if (header->magic != kLiveMagic) fatal("value_free of a node that is not a live Value");
  header->magic = kFreeMagic;
  uint32_t size_class = header->size_class;
  if (size_class < static_cast<uint32_t>(kClassCount)) {
    ThreadCache* cache = &t_cache;
    if (cache->state == kCacheUnused) cache_start();
    ClassList& list = cache->lists[size_class];
    if (cache->state == kCacheLive && list.count >= kCacheCapacity.of[size_class] &&
        list.count >= kBatchBlocks)
      hand_batch(list, size_class);
    if (cache->state == kCacheLive && list.count < kCacheCapacity.of[size_class]) {
      FreeBlock* block = static_cast<FreeBlock*>(body);
      block->next = list.head;
      list.head = block;
      ++list.count;
      return;
    }
  }
  free(header);
}

// ---- Arenas ----------------------------------------------------------------
//
// An arena block is a BlockHeader (kArenaClass, kArenaMagic) and the body,
// rounded up to 8 bytes, cut from the arena's current buffer. The header lets
// value_free recognise arena nodes and leave them alone. Heap chunks carry an
// ArenaChunk link in front and are freed by value_arena_release.
constexpr uint32_t kArenaClass = 0xfffffffeu;
// An arena VALUE_STRING whose bytes are static text it refers to.
constexpr uint32_t kArenaStaticTextClass = 0xfffffffdu;
constexpr uint32_t kArenaMagic = 0x4e455241u;  // "AREN"
constexpr size_t kArenaChunkBytes = 16 * 1024;

struct ArenaChunk {
  ArenaChunk* next;
  uint64_t reserved;  // keeps the chunk's bytes 16-byte aligned
};

inline bool is_arena_node(const Value* v) {
  return (reinterpret_cast<const BlockHeader*>(v) - 1)->magic == kArenaMagic;
}

// Makes room for at least `total` bytes in a new heap chunk.
__attribute__((noinline)) bool arena_grow(ValueArena* arena, size_t total) {
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

// `total` raw bytes (a multiple of 8) from the arena, or null when no memory
// is left.
inline __attribute__((always_inline)) char* arena_reserve(ValueArena* arena, size_t total) {
  if (static_cast<size_t>(arena->end - arena->cursor) < total && !arena_grow(arena, total))
    return nullptr;
  char* bytes = arena->cursor;
  arena->cursor += total;
  return bytes;
}

inline void arena_header(void* at) {
  BlockHeader* header = static_cast<BlockHeader*>(at);
  header->size_class = kArenaClass;
  header->magic = kArenaMagic;
}

// An arena block with a body of `size` bytes (its last 8-byte word zeroed,
// the rest left as it was), or null when no memory is left.
inline __attribute__((always_inline)) void* arena_take(ValueArena* arena, size_t size) {
  if (size > SIZE_MAX - 2 * sizeof(BlockHeader)) return nullptr;
  const size_t total = (size + sizeof(BlockHeader) + 7) & ~size_t{7};
  BlockHeader* header = reinterpret_cast<BlockHeader*>(arena_reserve(arena, total));
  if (!header) return nullptr;
  arena_header(header);
  // Zeroes the padding after an odd-sized body (a string's NUL and beyond).
  memset(reinterpret_cast<char*>(header) + total - 8, 0, 8);
  return header + 1;
}

// A zero-filled body of `size` bytes from `arena`, or from the heap when the
// arena is null. Inlined, so a fixed size makes the zero fill a few stores.
inline __attribute__((always_inline)) void* node_alloc(ValueArena* arena, size_t size) {
  if (!arena) return block_alloc(size);
  void* body = arena_take(arena, size);
  if (body) memset(body, 0, size);
  return body;
}

// Allocation failure: a fixed-size node that cannot be had means the process
// is out of memory; a tree with holes would reach Python as a partial object
// or crash later somewhere less obvious, so stop here. Only strings and
// containers, whose size can come from Python input, fail softly (null).
Value* must(Value* v) {
  if (!v) fatal("out of memory");
  return v;
}

inline Value* new_node(ValueArena* arena, int32_t kind) {
  Value* v = static_cast<Value*>(node_alloc(arena, sizeof(Value)));
  if (!v) return nullptr;
  v->kind = kind;
  return v;
}

// A node whose slot array of `slots` pointers lives in the same block.
Value* new_with_slots(ValueArena* arena, int32_t kind, int64_t count, size_t slots) {
  if (slots > (SIZE_MAX - sizeof(Value)) / sizeof(Value*)) return nullptr;
  Value* v = static_cast<Value*>(node_alloc(arena, sizeof(Value) + slots * sizeof(Value*)));
  if (!v) return nullptr;
  v->kind = kind;
  v->count = count;
  v->payload.items = reinterpret_cast<Value**>(v + 1);
  return v;
}

// Null bytes are taken as the empty string (there is nothing to copy).
// Returns null only when a buffer of `length` + 1 bytes cannot be allocated.
Value* new_string(ValueArena* arena, const char* bytes, uint64_t length) {
  if (!bytes) length = 0;
  if (length > SIZE_MAX - sizeof(Value) - 64) return nullptr;
  const size_t size = sizeof(Value) + length + 1;
  Value* v;
  if (arena) {
    // Only the node and the final word need zeroing: the bytes are copied over.
    v = static_cast<Value*>(arena_take(arena, size));
    if (!v) return nullptr;
  } else {
    v = static_cast<Value*>(block_alloc(size));
    if (!v) return nullptr;
  }
  v->kind = VALUE_STRING;
  v->count = static_cast<int64_t>(length);
  v->payload.s = reinterpret_cast<char*>(v + 1);
  if (length) memcpy(v->payload.s, bytes, length);
  v->payload.s[length] = '\0';
  return v;
}

Value* new_float(ValueArena* arena, double d) {
  Value* v = must(new_node(arena, VALUE_FLOAT));
  v->payload.f = d;
  return v;
}

// The bit pattern is copied, not produced by arithmetic: the sign of a
// computed NaN is not guaranteed.
Value* new_nan(ValueArena* arena) {
  Value* v = must(new_node(arena, VALUE_FLOAT));
  memcpy(&v->payload.f, &kValueNanBits, sizeof(double));
  return v;
}

Value* new_int64(ValueArena* arena, int64_t i) {
  Value* v = must(new_node(arena, VALUE_INT64));
  v->payload.i64 = i;
  return v;
}

Value* new_int32(ValueArena* arena, int32_t i) {
  Value* v = must(new_node(arena, VALUE_INT32));
  v->payload.i32 = i;
  return v;
}

Value* new_none(ValueArena* arena) { return must(new_node(arena, VALUE_NONE)); }

// A node given to an arena container must come from an arena: the arena
// frees only its own nodes, so a heap node would leak unseen.
Value* adopt(ValueArena* arena, Value* node) {
  if (arena && !is_arena_node(node)) fatal("a heap node given to an arena tree");
  return node;
}

// A letter outside the six yields a VALUE_NONE item and consumes no argument.
// A null "O" node or "s" string becomes VALUE_NONE / the empty string, so the
// tuple never holds a null slot before its end (value_free would stop there
// and leak the items after it).
Value* build(ValueArena* arena, const char* format, va_list args) {
  if (!format) format = "";
  size_t letters = strlen(format);
  if (letters > INT32_MAX) letters = INT32_MAX;
  Value* tuple =
      must(new_with_slots(arena, VALUE_TUPLE, static_cast<int64_t>(letters), letters + 1));
  for (size_t k = 0; k < letters; ++k) {
    Value* item;
    switch (format[k]) {
      case 'f':
        item = new_float(arena, va_arg(args, double));
        break;
      case 's': {
        const char* text = va_arg(args, const char*);
        item = must(new_string(arena, text, text ? strlen(text) : 0));
        break;
      }
      case 'L':
        item = new_int64(arena, va_arg(args, int64_t));
        break;
      case 'i':
        item = new_int32(arena, va_arg(args, int32_t));
        break;
      case 'n':
        item = new_nan(arena);
        break;
      case 'O':
        item = va_arg(args, Value*);
        item = item ? adopt(arena, item) : new_none(arena);
        break;
      default:
        item = new_none(arena);
        break;
    }
    tuple->payload.items[k] = item;
  }
  return tuple;
}

// A negative pair count is taken as 0. A null key becomes the empty string and
// a null value VALUE_NONE, for the same reason as in build().
Value* build_dict(ValueArena* arena, int32_t pairs, va_list args) {
  if (pairs < 0) pairs = 0;
  size_t n = static_cast<size_t>(pairs);
  Value* dict = must(new_with_slots(arena, VALUE_DICT, pairs, 2 * n + 1));
  for (size_t k = 0; k < n; ++k) {
    const char* key = va_arg(args, const char*);
    Value* value = va_arg(args, Value*);
    dict->payload.items[2 * k] = must(new_string(arena, key, key ? strlen(key) : 0));
    dict->payload.items[2 * k + 1] = value ? adopt(arena, value) : new_none(arena);
  }
  return dict;
}

}  // namespace

Value* value_new_float(double d) { return new_float(nullptr, d); }
Value* value_new_nan() { return new_nan(nullptr); }
Value* value_new_string(const char* bytes, uint64_t length) {
  return new_string(nullptr, bytes, length);
}
Value* value_new_bytes(const char* bytes, uint64_t length) {
  Value* v = new_string(nullptr, bytes, length);
  if (v) v->kind = VALUE_BYTES;
  return v;
}
Value* value_new_int64(int64_t i) { return new_int64(nullptr, i); }
Value* value_new_int32(int32_t i) { return new_int32(nullptr, i); }
Value* value_new_none() { return new_none(nullptr); }

// A negative count is taken as 0. Returns null only when the slot array cannot
// be allocated (a count that came from a huge Python tuple).
Value* value_new_container(int32_t kind, int32_t count) {
  if (count < 0) count = 0;
  return new_with_slots(nullptr, kind, count, static_cast<size_t>(count) + 1);
}

Value* value_build(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Value* tuple = build(nullptr, format, args);
  va_end(args);
  return tuple;
}

Value* value_build_dict(int32_t pairs, ...) {
  va_list args;
  va_start(args, pairs);
  Value* dict = build_dict(nullptr, pairs, args);
  va_end(args);
  return dict;
}

// An arena node (and everything under it) belongs to its arena and is
// released with it, not here.
void value_free(Value* v) {
  if (!v || is_arena_node(v)) return;
  if (v->kind == VALUE_TUPLE || v->kind == VALUE_LIST || v->kind == VALUE_DICT) {
    Value** items = v->payload.items;
    if (items) {
      for (size_t k = 0; items[k]; ++k) value_free(items[k]);
    }
  }
  // String bytes and slot arrays live in the node's own block.
  block_free(v);
}

// ---- Arena trees -------------------------------------------------------------

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

Value* value_arena_float(ValueArena* arena, double v) { return new_float(arena, v); }
Value* value_arena_nan(ValueArena* arena) { return new_nan(arena); }
Value* value_arena_string(ValueArena* arena, const char* bytes, uint64_t length) {
  return new_string(arena, bytes, length);
}
Value* value_arena_int64(ValueArena* arena, int64_t v) { return new_int64(arena, v); }
Value* value_arena_int32(ValueArena* arena, int32_t v) { return new_int32(arena, v); }
Value* value_arena_none(ValueArena* arena) { return new_none(arena); }

// A negative count is taken as 0; a kind other than the three containers is
// taken as VALUE_TUPLE.
Value* value_arena_container(ValueArena* arena, int32_t kind, int32_t count) {
  if (count < 0) count = 0;
  const size_t n = static_cast<size_t>(count);
  if (kind == VALUE_DICT) return new_with_slots(arena, VALUE_DICT, count, 2 * n + 1);
  if (kind != VALUE_LIST) kind = VALUE_TUPLE;
  return new_with_slots(arena, kind, count, n + 1);
}

// A key text that can be referred to instead of copied: NUL-terminated at
// its length, as a string literal of a key table is.
inline bool is_static_key(const ValueKey& key) {
  return key.text != nullptr && key.text[key.length] == '\0';
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

Value* value_arena_build(ValueArena* arena, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Value* tuple = build(arena, format, args);
  va_end(args);
  return tuple;
}

Value* value_arena_build_dict(ValueArena* arena, int32_t pairs, ...) {
  va_list args;
  va_start(args, pairs);
  Value* dict = build_dict(arena, pairs, args);
  va_end(args);
  return dict;
}

int32_t value_parse(const Value* tuple, const char* format, ...) {
  if (!tuple || tuple->kind != VALUE_TUPLE || !format) return 0;
  Value** items = tuple->payload.items;
  int32_t matched = 1;
  va_list args;
  va_start(args, format);
  for (size_t k = 0; format[k]; ++k) {
    // Slots beyond count are never read, whatever they hold.
    const Value* item =
        (items && static_cast<int64_t>(k) < tuple->count) ? items[k] : nullptr;
    if (!item) {
      matched = 0;
      break;
    }
    bool ok = false;
    switch (format[k]) {
      case 's':
        if (item->kind == VALUE_STRING && item->payload.s) {
          *va_arg(args, const char**) = item->payload.s;
          ok = true;
        }
        break;
      case 'f':
        if (item->kind == VALUE_FLOAT) {
          *va_arg(args, float*) = static_cast<float>(item->payload.f);
          ok = true;
        }
        break;
      case 'O':
        *va_arg(args, Value**) = const_cast<Value*>(item);
        ok = true;
        break;
      case 'i':
        if (item->kind == VALUE_INT32) {
          *va_arg(args, int32_t*) = item->payload.i32;
          ok = true;
        } else if (item->kind == VALUE_INT64) {
          *va_arg(args, int32_t*) =
              static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(item->payload.i64)));
          ok = true;
        }
        break;
      case 'L':
        if (item->kind == VALUE_INT32) {
          *va_arg(args, int64_t*) = item->payload.i32;
          ok = true;
        } else if (item->kind == VALUE_INT64) {
          *va_arg(args, int64_t*) = item->payload.i64;
          ok = true;
        }
        break;
      default:
        break;
    }
    if (!ok) {
      matched = 0;
      break;
    }
  }
  va_end(args);
  return matched;
}

Value* status_result(int32_t status) { return value_build("i", status); }

// Rounds through decimal text on purpose: "%f" gives six decimals and reading
// the text back gives the double nearest to that decimal, which is what Python
// users see for settings such as 59.94 Hz (59.939999, not 59.939998626708984).
double round_float(float f) {
  char text[256];
  snprintf(text, sizeof text, "%f", static_cast<double>(f));
  double d = 0.0;
  if (sscanf(text, "%lf", &d) != 1) return static_cast<double>(f);  // unreadable text: keep the value
  return d;
}

void* value_take_pyobject(Value* node) {
  if (!node || node->kind != VALUE_PYOBJECT) return nullptr;
  void* object = node->payload.pyobject;
  node->payload.pyobject = nullptr;
  return object;
}
