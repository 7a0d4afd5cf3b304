// Internal to value/: the block every Value node lives in, the heap pool and
// arena primitives behind it, and the node constructors the tree and the
// arena share. Not for use outside value/.
#ifndef VELTO_VALUE_VALUE_BLOCK_H_
#define VELTO_VALUE_VALUE_BLOCK_H_

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "value/value.h"

namespace value_internal {

// Header in front of every block. 8 bytes keep the node 8-byte aligned.
struct BlockHeader {
  uint32_t size_class;  // a pool size class or kLargeClass (heap); an arena class
  uint32_t magic;       // kLiveMagic while in use, kFreeMagic once freed; kArenaMagic
};
static_assert(sizeof(BlockHeader) == 8, "header must keep 8-byte alignment");

constexpr uint32_t kLiveMagic = 0x56414c55u;  // "VALU"
constexpr uint32_t kFreeMagic = 0x64656164u;  // "dead"
constexpr uint32_t kLargeClass = 0xffffffffu;

// Stops the process with a message: a broken invariant (a node freed twice)
// or a fixed-size node that cannot be allocated.
[[noreturn]] void value_fatal(const char* what);

// ---- Heap blocks (value_pool.cc); any thread ----------------------------
//
// The pool's fast paths are inline here, for the fixed sizes of the node
// constructors; its slow paths and central lists are in value_pool.cc.

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
extern thread_local ThreadCache t_cache;

// Blocks each class's list may hold (a table: no division on the free path).
struct CapacityTable {
  uint32_t of[kClassCount];
  constexpr CapacityTable() : of() {
    for (int c = 0; c < kClassCount; ++c)
      of[c] = static_cast<uint32_t>(kCacheBytesPerClass / kClassSizes[c]);
  }
};
constexpr CapacityTable kCacheCapacity;

// Blocks move between a thread's list and the central lists in batches of this
// many.
constexpr uint32_t kBatchBlocks = 32;

// Moves a batch from a full thread list to the central list / refills an
// empty thread list from it (false when it has none); starts this thread's
// cache. value_pool.cc.
void hand_batch(ClassList& list, int size_class);
bool take_batch(ClassList& list, int size_class);
void cache_start();

// A zero-filled body of `size` bytes, or null when memory is exhausted.
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
  if (header->magic != kLiveMagic) value_fatal("value_free of a node that is not a live Value");
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
// Takes / gives back the mutex of every size class's central list.
void lock_central_lists();
void unlock_central_lists();

// ---- Arena blocks (value_arena.cc); the arena's one thread -------------
//
// An arena block is a BlockHeader (kArenaClass, kArenaMagic) and the body,
// rounded up to 8 bytes, cut from the arena's current buffer. The header lets
// value_free recognise arena nodes and leave them alone.
constexpr uint32_t kArenaClass = 0xfffffffeu;
// An arena VALUE_STRING whose bytes are static text it refers to.
constexpr uint32_t kArenaStaticTextClass = 0xfffffffdu;
constexpr uint32_t kArenaMagic = 0x4e455241u;  // "AREN"
// An arena VALUE_TUPLE whose items are all VALUE_FLOAT (value_arena_float_tuple).
constexpr uint32_t kArenaFloatTupleClass = 0xfffffffcu;

inline bool is_arena_node(const Value* v) {
  return (reinterpret_cast<const BlockHeader*>(v) - 1)->magic == kArenaMagic;
}

// Whether `v` (a VALUE_TUPLE) is an arena tuple of floats only.
inline bool is_float_tuple(const Value* v) {
  const BlockHeader* header = reinterpret_cast<const BlockHeader*>(v) - 1;
  return header->magic == kArenaMagic && header->size_class == kArenaFloatTupleClass;
}

// Makes room for at least `total` bytes in a new heap chunk of the arena.
bool arena_grow(ValueArena* arena, size_t total);

// A shared key node of a constant key table (value_arena_dict_static_keys): a
// static text node with a word in front of its header for the Python bridge.
struct SharedKeyNode {
  void* bridge_slot;
  BlockHeader header;
  Value value;
};
static_assert(offsetof(SharedKeyNode, value) - offsetof(SharedKeyNode, header) ==
                  sizeof(BlockHeader),
              "a shared key node's header must sit right before it");

// The bridge's word beside a shared key node, or null for any other node.
inline void** shared_key_slot(const Value* v) {
  const BlockHeader* header = reinterpret_cast<const BlockHeader*>(v) - 1;
  if (v->kind != VALUE_STRING || header->magic != kArenaMagic ||
      header->size_class != kArenaStaticTextClass)
    return nullptr;
  auto* node = reinterpret_cast<SharedKeyNode*>(
      const_cast<char*>(reinterpret_cast<const char*>(v)) - offsetof(SharedKeyNode, value));
  return &node->bridge_slot;
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

// ---- Node constructors (value_tree.cc) ---------------------------------

// A node of `kind`, or null when memory runs out; on the heap when `arena`
// is null.
Value* new_node(ValueArena* arena, int32_t kind);
// A node whose slot array of `slots` pointers lives in the same block.
Value* new_with_slots(ValueArena* arena, int32_t kind, int64_t count, size_t slots);
// A VALUE_STRING copy of `length` bytes (null bytes: the empty string); null
// only when the block cannot be allocated.
Value* new_string(ValueArena* arena, const char* bytes, uint64_t length);

}  // namespace value_internal

#endif  // VELTO_VALUE_VALUE_BLOCK_H_
