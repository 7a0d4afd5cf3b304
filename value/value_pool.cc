// The heap pool behind Value nodes.
//
// Memory layout. Every node is one zero-filled block: a string node carries its
// bytes right after the node, a container its slot array, so a node costs one
// allocation whatever its kind. payload.s / payload.items point into the
// node's own block and are never released separately.
//
// Allocation. Blocks up to kMaxSmallBlock bytes come from per-thread free lists
// in a handful of size classes; block_free returns them to the list of the
// thread that frees. Each block is an individual calloc() and carries its size
// class in an 8-byte header, so a block may be freed by any thread (argument
// trees are built on a Python thread and freed on the worker): it simply
// joins the freeing thread's list. Each list is capped (kCacheBytesPerClass); a
// full list hands a batch of blocks to a central list per class, where a
// thread whose list is empty takes them (see CentralList), so a thread that
// only frees never hoards memory and one that only allocates rarely calls
// calloc(). A thread's lists are drained when the thread exits. Larger blocks
// (eye images, long strings) go straight to calloc()/free(). Against plain
// calloc()/free() the pool saves about a fifth of a request's round trip
// (scripts/bench.sh: 413 against 512 ns).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "value/mutex.h"
#include "value/value_block.h"

namespace value_internal {
namespace {

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
constexpr size_t kCentralBytesPerClass = 512 * 1024;
constexpr size_t kCentralBatches = kCentralBytesPerClass / (kBatchBlocks * 32);  // smallest class
struct CentralList {
  Mutex mutex;
  FreeBlock* batches[kCentralBatches] GUARDED_BY(mutex);  // chains of kBatchBlocks blocks
  size_t count GUARDED_BY(mutex);
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





}  // namespace

thread_local ThreadCache t_cache;

// Moves kBatchBlocks blocks from the head of a full list to the central list.
void hand_batch(ClassList& list, int size_class) {
  FreeBlock* batch = list.head;
  FreeBlock* last = batch;
  for (uint32_t k = 1; k < kBatchBlocks; ++k) last = last->next;
  list.head = last->next;
  last->next = nullptr;
  list.count -= kBatchBlocks;
  CentralList& central = g_central[size_class];
  {
    MutexLock hold(&central.mutex);
    if (central.count < kCentralCapacity.of[size_class]) {
      central.batches[central.count++] = batch;
      return;
    }
  }
  free_chain(batch);
}

// Refills an empty list with a batch from the central list; false when the
// central list has none.
bool take_batch(ClassList& list, int size_class) {
  CentralList& central = g_central[size_class];
  MutexLock hold(&central.mutex);
  if (central.count == 0) return false;
  list.head = central.batches[--central.count];
  list.count = kBatchBlocks;
  return true;
}

void cache_start() {
  // Touching the reaper constructs it and registers its destructor for this
  // thread's exit.
  CacheReaper* volatile reaper = &t_reaper;
  (void)reaper;
  t_cache.state = kCacheLive;
}

[[noreturn]] void value_fatal(const char* what) {
  fprintf(stderr, "velto value tree: %s\n", what);
  abort();
}

// Taken in one fork hook and given back in another, which the analysis cannot follow.
void lock_central_lists() NO_THREAD_SAFETY_ANALYSIS {
  for (CentralList& central : g_central) central.mutex.Lock();
}

void unlock_central_lists() NO_THREAD_SAFETY_ANALYSIS {
  for (CentralList& central : g_central) central.mutex.Unlock();
}

}  // namespace value_internal

// fork(): the forking thread takes every central list's mutex before the fork
// and gives them back in both processes after it, so the child never inherits
// one held by a thread that does not exist there (its next allocation would
// wait forever). A holder keeps a mutex for one batch move only.
void value_pool_fork_prepare() { value_internal::lock_central_lists(); }
void value_pool_fork_parent() { value_internal::unlock_central_lists(); }
void value_pool_fork_child() { value_internal::unlock_central_lists(); }
