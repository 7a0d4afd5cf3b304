// The common shape of every operation handler in the function table.
//
// A handler runs on the worker thread without the interpreter lock and never
// touches a Python object. It borrows the request's argument tuple and returns
// a new result tuple (status first) that the worker takes over.
//
// A handler that removes Python objects from the module's keeping (the
// callables of ended subscriptions) puts each reference into the out-slot; the
// worker releases every one of them under the interpreter lock after the
// result callback. A handler that keeps a Python object from its arguments
// takes it out with value_take_pyobject(); every VALUE_PYOBJECT left in the
// argument tree is released by the worker once the request is done.
#ifndef VELTO_MODULE_OPERATION_H_
#define VELTO_MODULE_OPERATION_H_

#include <vector>

#include "value/value.h"

// Python references handed back by a handler for release under the lock.
struct OutSlot {
  std::vector<void*> objects;  // PyObject* references, owned
};

// Adds one reference (null is ignored). Worker thread only.
inline void out_slot_put(OutSlot* slot, void* pyobject) {
  if (slot != nullptr && pyobject != nullptr) slot->objects.push_back(pyobject);
}

typedef Value* (*OperationHandler)(Value* args, OutSlot* out);

#endif  // VELTO_MODULE_OPERATION_H_
