// The common shape of every operation handler: worker thread, no interpreter
// lock, no Python object touched; borrows its arguments and returns a new
// result tuple, status first (docs/design-requests.md).
#ifndef VELTO_OPERATIONS_OPERATION_H_
#define VELTO_OPERATIONS_OPERATION_H_

#include <stdint.h>

#include <vector>

#include "value/value.h"

typedef struct _object PyObject;

// One request as its handler sees it. Owned by the worker for the request.
struct RequestContext {
  // The out-slot: references to Python objects the handler removes from the
  // module's keeping (the callables of ended subscriptions); the worker
  // releases each under the interpreter lock after the result callback.
  std::vector<PyObject*> released;
  // The subscription registry's epoch when call_function accepted the request
  // (registry_epoch()): subscribe_to refuses once a cleanup() has ended it.
  uint64_t registry_epoch = 0;
};

typedef Value* (*OperationHandler)(Value* args, RequestContext* request);

#endif  // VELTO_OPERATIONS_OPERATION_H_
