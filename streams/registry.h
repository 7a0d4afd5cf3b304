// The subscription registry: which Python callable receives the records of
// which library subscription, and the delivery of stream dicts to it. One
// private Mutex guards it (docs/design-locking.md, docs/design-requests.md).
#ifndef VELTO_STREAMS_REGISTRY_H_
#define VELTO_STREAMS_REGISTRY_H_

#include <stdint.h>

#include <vector>

#include "value/value.h"

typedef struct _object PyObject;

// The user-data word that names no subscription (the log word when there is
// no log subscription).
constexpr uint64_t kNoSubscription = ~uint64_t{0};

// The registry's epoch: it changes with every teardown. Any thread.
uint64_t registry_epoch();

// Puts a subscription of (stream type, device) with `callable` (its reference
// taken over) into the lowest empty slot and writes its user-data word.
// Refuses, taking nothing, when the registry was torn down since `epoch` was
// read (a subscribe_to accepted before a cleanup()). Worker thread.
bool registry_insert(int32_t stream_type, int64_t device, PyObject* callable, uint64_t epoch,
                     uint64_t* user_data);
// Removes every subscription of (stream type, device) and appends the
// reference of each callable to `removed`, for release under the interpreter
// lock. Worker thread.
void registry_remove(int32_t stream_type, int64_t device, std::vector<PyObject*>* removed);

// The log stream's subscription (log_callback has no user data): set after
// the library accepted the log subscription, kNoSubscription after every
// unsubscribe of the log stream; kept by the teardown. Any thread.
void registry_set_log(uint64_t user_data);
uint64_t registry_log();

// Releases every registered callable and empties the registry; the log word
// is kept and the device library is not called. Interpreter lock held
// (cleanup()).
void registry_teardown();

// Whether a record for `user_data` is sure to come from a subscription that a
// teardown ended, so that its dict need not even be built. Lock-free; false
// does not promise that the subscription is live. Any thread.
bool registry_is_stale(uint64_t user_data);

// Delivers `dict` (still the caller's) to the callable of the subscription
// `user_data` names if that subscription is still registered and of
// `stream_type`; otherwise, or when the interpreter is exiting, drops it.
// Takes the interpreter lock itself. Device-library threads.
void stream_deliver(uint64_t user_data, int32_t stream_type, const Value* dict);

// The registry's part of the module's fork routine: prepare takes its mutex
// before fork(), parent and child give it back after it.
void registry_fork_prepare();
void registry_fork_parent();
void registry_fork_child();

#endif  // VELTO_STREAMS_REGISTRY_H_
