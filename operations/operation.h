// The common shape of every operation handler, and what a request hands a
// handler besides its arguments.
//
// A handler runs on the worker thread without the interpreter lock and never
// touches a Python object: it borrows the request's argument tuple and
// returns a new result tuple (status first) that the worker takes over. A
// handler that keeps a Python object from its arguments takes it out with
// value_take_pyobject(); the worker releases every VALUE_PYOBJECT left in the
// argument tree once the request is done.
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
