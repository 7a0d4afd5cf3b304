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
// Each list is capped (kCacheBytesPerClass), beyond which blocks go back to
// free(), so a thread that only frees never hoards memory. A thread's lists are
// drained when the thread exits. Larger blocks (eye images, long strings) go
// straight to calloc()/free().
#include "value/value.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
// sanitizer sees each use-after-free, double free and leak of a node.
#if defined(__SANITIZE_ADDRESS__)
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

// Allocation failure: a fixed-size node that cannot be had means the process
// is out of memory; a tree with holes would reach Python as a partial object
// or crash later somewhere less obvious, so stop here. Only strings and
// containers, whose size can come from Python input, fail softly (null).
Value* must(Value* v) {
  if (!v) fatal("out of memory");
  return v;
}

Value* new_node(int32_t kind) {
  Value* v = static_cast<Value*>(block_alloc(sizeof(Value)));
  if (!v) return nullptr;
  v->kind = kind;
  return v;
}

// A node whose slot array of `slots` pointers lives in the same block.
Value* new_with_slots(int32_t kind, int64_t count, size_t slots) {
  if (slots > (SIZE_MAX - sizeof(Value)) / sizeof(Value*)) return nullptr;
  Value* v = static_cast<Value*>(block_alloc(sizeof(Value) + slots * sizeof(Value*)));
  if (!v) return nullptr;
  v->kind = kind;
  v->count = count;
  v->payload.items = reinterpret_cast<Value**>(v + 1);
  return v;
}

Value* new_nan_node() {
  Value* v = new_node(VALUE_FLOAT);
  if (v) memcpy(&v->payload.f, &kValueNanBits, sizeof(double));
  return v;
}

}  // namespace

Value* value_new_float(double d) {
  Value* v = must(new_node(VALUE_FLOAT));
  v->payload.f = d;
  return v;
}

// The bit pattern is copied, not produced by arithmetic: the sign of a
// computed NaN is not guaranteed.
Value* value_new_nan() { return must(new_nan_node()); }

// Null bytes are taken as the empty string (there is nothing to copy).
// Returns null only when a buffer of `length` + 1 bytes cannot be allocated.
Value* value_new_string(const char* bytes, uint64_t length) {
  if (!bytes) length = 0;
  if (length > SIZE_MAX - sizeof(Value) - 1) return nullptr;
  Value* v = static_cast<Value*>(block_alloc(sizeof(Value) + length + 1));
  if (!v) return nullptr;
  v->kind = VALUE_STRING;
  v->count = static_cast<int64_t>(length);
  v->payload.s = reinterpret_cast<char*>(v + 1);
  if (length) memcpy(v->payload.s, bytes, length);  // the NUL after it is from the zero fill
  return v;
}

Value* value_new_int64(int64_t i) {
  Value* v = must(new_node(VALUE_INT64));
  v->payload.i64 = i;
  return v;
}

Value* value_new_int32(int32_t i) {
  Value* v = must(new_node(VALUE_INT32));
  v->payload.i32 = i;
  return v;
}

Value* value_new_none() { return must(new_node(VALUE_NONE)); }

// A negative count is taken as 0. Returns null only when the slot array cannot
// be allocated (a count that came from a huge Python tuple).
Value* value_new_container(int32_t kind, int32_t count) {
  if (count < 0) count = 0;
  return new_with_slots(kind, count, static_cast<size_t>(count) + 1);
}

// A letter outside the six yields a VALUE_NONE item and consumes no argument.
// A null "O" node or "s" string becomes VALUE_NONE / the empty string, so the
// tuple never holds a null slot before its end (value_free would stop there
// and leak the items after it).
Value* value_build(const char* format, ...) {
  if (!format) format = "";
  size_t letters = strlen(format);
  if (letters > INT32_MAX) letters = INT32_MAX;
  Value* tuple = must(new_with_slots(VALUE_TUPLE, static_cast<int64_t>(letters), letters + 1));
  va_list args;
  va_start(args, format);
  for (size_t k = 0; k < letters; ++k) {
    Value* item;
    switch (format[k]) {
      case 'f':
        item = value_new_float(va_arg(args, double));
        break;
      case 's': {
        const char* text = va_arg(args, const char*);
        item = must(value_new_string(text, text ? strlen(text) : 0));
        break;
      }
      case 'L':
        item = value_new_int64(va_arg(args, int64_t));
        break;
      case 'i':
        item = value_new_int32(va_arg(args, int32_t));
        break;
      case 'n':
        item = value_new_nan();
        break;
      case 'O':
        item = va_arg(args, Value*);
        if (!item) item = value_new_none();
        break;
      default:
        item = value_new_none();
        break;
    }
    tuple->payload.items[k] = item;
  }
  va_end(args);
  return tuple;
}

// A negative pair count is taken as 0. A null key becomes the empty string and
// a null value VALUE_NONE, for the same reason as in value_build.
Value* value_build_dict(int32_t pairs, ...) {
  if (pairs < 0) pairs = 0;
  size_t n = static_cast<size_t>(pairs);
  Value* dict = must(new_with_slots(VALUE_DICT, pairs, 2 * n + 1));
  va_list args;
  va_start(args, pairs);
  for (size_t k = 0; k < n; ++k) {
    const char* key = va_arg(args, const char*);
    Value* value = va_arg(args, Value*);
    dict->payload.items[2 * k] = must(value_new_string(key, key ? strlen(key) : 0));
    dict->payload.items[2 * k + 1] = value ? value : value_new_none();
  }
  va_end(args);
  return dict;
}

void value_free(Value* v) {
  if (!v) return;
  if (v->kind == VALUE_TUPLE || v->kind == VALUE_LIST || v->kind == VALUE_DICT) {
    Value** items = v->payload.items;
    if (items) {
      for (size_t k = 0; items[k]; ++k) value_free(items[k]);
    }
  }
  // String bytes and slot arrays live in the node's own block.
  block_free(v);
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
