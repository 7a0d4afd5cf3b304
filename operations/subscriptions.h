// subscribe_to and unsubscribe_from over the subscription registry and the
// library's stream calls. Worker thread (operation.h).
#ifndef VELTO_OPERATIONS_SUBSCRIPTIONS_H_
#define VELTO_OPERATIONS_SUBSCRIPTIONS_H_

#include "operations/operation.h"

Value* op_subscribe_to(Value* args, RequestContext* request);
Value* op_unsubscribe_from(Value* args, RequestContext* request);

#endif  // VELTO_OPERATIONS_SUBSCRIPTIONS_H_
