// The operations subscribe_to and unsubscribe_from over the subscription
// registry (streams/registry.h) and the device library's stream calls
// (streams/stream_types.h).
//
// Both run on the worker thread without the interpreter lock (see
// operations/operation.h).
#ifndef VELTO_OPERATIONS_SUBSCRIPTIONS_H_
#define VELTO_OPERATIONS_SUBSCRIPTIONS_H_

#include "operations/operation.h"

Value* op_subscribe_to(Value* args, RequestContext* request);
Value* op_unsubscribe_from(Value* args, RequestContext* request);

#endif  // VELTO_OPERATIONS_SUBSCRIPTIONS_H_
