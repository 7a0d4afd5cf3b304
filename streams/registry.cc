// The subscription registry and the delivery of stream dicts. Which thread
// takes which lock, and in what order: docs/design-locking.md.
#include "streams/registry.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "value/mutex.h"
#include "value/python_bridge.h"

namespace {

// The user-data word: the slot index in the low 24 bits, the serial above.
// 40 bits of serial outlast any process (a million subscriptions a second for
// twelve days); 24 bits of slot allow 16 777 214 live subscriptions, far past
// what any device library serves.
static_assert(sizeof(void*) >= 8, "the user-data word carries a slot and a serial");
constexpr int kSlotBits = 24;
constexpr uint64_t kSlotMask = (uint64_t{1} << kSlotBits) - 1;
// The slot of kNoSubscription is never a valid one.
constexpr uint64_t kMaxCapacity = kSlotMask;

uint64_t word_of(uint64_t slot, uint64_t serial) { return (serial << kSlotBits) | slot; }
uint64_t slot_of(uint64_t word) { return word & kSlotMask; }
uint64_t serial_of(uint64_t word) { return word >> kSlotBits; }

// One registry entry. A slot whose callable is null is empty.
struct Subscription {
  int32_t stream_type;
  int64_t device;
  PyObject* callable;  // one reference, owned by the registry
  uint64_t serial;
};

constexpr uint64_t kRegistryGrowth = 10;

Mutex g_mutex;
// A plain heap array: no destructor runs at process exit while a library
// thread might still be looking at it.
Subscription* g_slots GUARDED_BY(g_mutex) PT_GUARDED_BY(g_mutex) = nullptr;
uint64_t g_capacity GUARDED_BY(g_mutex) = 0;
uint64_t g_next_serial GUARDED_BY(g_mutex) = 1;
// Changed only under g_mutex; read lock-free.
std::atomic<uint64_t> g_epoch{0};
// Every serial below this one belongs to a subscription a teardown ended.
std::atomic<uint64_t> g_stale_below{0};

std::atomic<uint64_t> g_log{kNoSubscription};

// The lowest empty slot, growing the array by 10 slots (indices of existing
// subscriptions unchanged) when none is empty; kMaxCapacity when the array
// cannot grow.
uint64_t free_slot_locked() REQUIRES(g_mutex) {
  for (uint64_t i = 0; i < g_capacity; ++i) {
    if (g_slots[i].callable == nullptr) return i;
  }
  const uint64_t old_capacity = g_capacity;
  if (old_capacity + kRegistryGrowth > kMaxCapacity) return kMaxCapacity;
  auto* grown =
      static_cast<Subscription*>(std::calloc(old_capacity + kRegistryGrowth, sizeof(Subscription)));
  if (grown == nullptr) std::abort();  // out of memory: nothing sensible left to do
  if (old_capacity != 0) std::memcpy(grown, g_slots, old_capacity * sizeof(Subscription));
  std::free(g_slots);
  g_slots = grown;
  g_capacity = old_capacity + kRegistryGrowth;
  return old_capacity;
}

}  // namespace

// Each takes g_mutex itself, for one step; no caller may hold it.
bool registry_insert(int32_t stream_type, int64_t device, PyObject* callable, uint64_t epoch,
                     uint64_t* user_data) EXCLUDES(g_mutex);
void registry_remove(int32_t stream_type, int64_t device, std::vector<PyObject*>* removed)
    EXCLUDES(g_mutex);
void registry_teardown() EXCLUDES(g_mutex);
void stream_deliver(uint64_t user_data, int32_t stream_type, const Value* dict) EXCLUDES(g_mutex);

uint64_t registry_epoch() { return g_epoch.load(); }

bool registry_insert(int32_t stream_type, int64_t device, PyObject* callable, uint64_t epoch,
                     uint64_t* user_data) {
  MutexLock hold(&g_mutex);
  // A teardown since the request was accepted: cleanup() has promised that
  // nothing stays subscribed, so this subscription is not made at all.
  if (g_epoch.load() != epoch) return false;
  const uint64_t slot = free_slot_locked();
  if (slot == kMaxCapacity) return false;
  const uint64_t serial = g_next_serial++;
  g_slots[slot] = Subscription{stream_type, device, callable, serial};
  *user_data = word_of(slot, serial);
  return true;
}

void registry_remove(int32_t stream_type, int64_t device, std::vector<PyObject*>* removed) {
  MutexLock hold(&g_mutex);
  for (uint64_t i = 0; i < g_capacity; ++i) {
    Subscription& s = g_slots[i];
    if (s.callable != nullptr && s.stream_type == stream_type && s.device == device) {
      removed->push_back(s.callable);
      s = Subscription{};
    }
  }
}

void registry_set_log(uint64_t user_data) { g_log.store(user_data); }

uint64_t registry_log() { return g_log.load(); }

void registry_teardown() {
  Subscription* slots;
  uint64_t capacity;
  {
    MutexLock hold(&g_mutex);
    slots = g_slots;
    capacity = g_capacity;
    g_slots = nullptr;
    g_capacity = 0;
    g_stale_below.store(g_next_serial);
    g_epoch.fetch_add(1);
  }
  // The registry is already empty: a __del__ run by a release below sees
  // (and may change) only the new registry.
  for (uint64_t i = 0; i < capacity; ++i) pyobject_release(slots[i].callable);
  std::free(slots);
}

bool registry_is_stale(uint64_t user_data) {
  return serial_of(user_data) < g_stale_below.load(std::memory_order_relaxed);
}

void stream_deliver(uint64_t user_data, int32_t stream_type, const Value* dict) {
  // Device-library threads deliver thousands of records a second: each keeps
  // a Python thread state for its life, so a record costs a switch of the
  // interpreter lock rather than the creation of a thread state, and asks the
  // main thread to hand the lock over rather than wait for it.
  PythonLockGuard python(PythonEntry::kStreamRecord);
  if (!python.held()) return;  // interpreter exiting: drop the record
  PyObject* callable = nullptr;
  {
    MutexLock hold(&g_mutex);
    const uint64_t slot = slot_of(user_data);
    if (slot < g_capacity) {
      const Subscription& s = g_slots[slot];
      if (s.callable != nullptr && s.serial == serial_of(user_data) &&
          s.stream_type == stream_type) {
        callable = s.callable;
        pyobject_retain(callable);  // keeps it alive if the slot is emptied during the call
      }
    }
  }
  if (callable == nullptr) return;
  python_call_with_value(callable, dict);
  pyobject_release(callable);
}

// fork(): the forking thread holds the mutex across the fork (see
// module/fork.cc); taken in one hook and given back in another, which the
// analysis cannot follow.
void registry_fork_prepare() NO_THREAD_SAFETY_ANALYSIS { g_mutex.Lock(); }
void registry_fork_parent() NO_THREAD_SAFETY_ANALYSIS { g_mutex.Unlock(); }
void registry_fork_child() NO_THREAD_SAFETY_ANALYSIS { g_mutex.Unlock(); }
