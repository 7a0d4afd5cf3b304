// Subscriptions: the operations subscribe_to and unsubscribe_from, the
// subscription registry, the log slot, the delivery of stream dicts to Python
// callables and the registry teardown.
//
// Threads: the two handlers run on the worker thread without the interpreter
// lock; stream_deliver runs on the device library's threads; registry_teardown
// runs on the Python thread calling cleanup(), with the interpreter lock held.
//
// Thread safety: one private registry mutex guards the slot array, its
// capacity and the subscription records. The handlers hold it only for one
// insert or removal (never across a device-library call, never while taking
// the interpreter lock). stream_deliver takes the interpreter lock first and
// then the registry mutex for the lookup only; registry_teardown (interpreter
// lock held) empties the registry under the mutex and releases the callables
// after unlocking. The order is always interpreter lock -> registry mutex, so
// there is no cycle. The log slot is an atomic word read without any lock.
#ifndef VELTO_STREAMS_SUBSCRIPTIONS_H_
#define VELTO_STREAMS_SUBSCRIPTIONS_H_

#include <stdint.h>

#include "module/operation.h"

// Stream type codes.
enum StreamType : int32_t {
  STREAM_LOG = 0,
  STREAM_GAZE_DATA = 1,
  STREAM_EXTERNAL_SIGNAL = 2,
  STREAM_TIME_SYNCHRONIZATION = 3,
  STREAM_STREAM_ERRORS = 4,
  STREAM_NOTIFICATIONS = 5,
  STREAM_EYE_IMAGES = 6,
};

Value* op_subscribe_to(Value* args, OutSlot* out);
Value* op_unsubscribe_from(Value* args, OutSlot* out);

// Delivers `dict` (still the caller's) to the callable in `slot`, if that
// slot holds a subscription of `stream_type`: takes the interpreter lock,
// converts, calls, gives the lock back. Does nothing when the slot is empty,
// out of range, holds another stream's subscription, or Python is finalizing.
void stream_deliver(uint64_t slot, int32_t stream_type, const Value* dict);

// The slot index of the log subscription, -1 when there is none. Any thread.
int64_t log_slot_current();

// Releases every registered callable and empties the registry. The log slot
// keeps its value and the device library is not called. Interpreter lock held.
void registry_teardown();

#endif  // VELTO_STREAMS_SUBSCRIPTIONS_H_
