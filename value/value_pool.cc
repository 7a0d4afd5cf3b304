// The heap pool behind Value nodes: per-thread free lists per size class,
// batches through central lists (docs/design-values.md).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "value/mutex.h"
#include "value/value_block.h"

namespace value_internal {
namespace {

// Central lists: a full thread list hands a batch here, an empty one takes
// one. No destructor work, so threads exiting late still find them usable.
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
