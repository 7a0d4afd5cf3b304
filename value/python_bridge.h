// The bridge between Value trees and Python 2.7 objects.
//
// Every function here must be called by a thread that holds the Python
// interpreter lock. Only value/python_bridge.cc includes the Python headers;
// this header names PyObject by its forward declaration.
#ifndef VELTO_VALUE_PYTHON_BRIDGE_H_
#define VELTO_VALUE_PYTHON_BRIDGE_H_

#include "value/value.h"

typedef struct _object PyObject;

// Take / drop one reference; null is ignored.
void pyobject_retain(PyObject* object);
void pyobject_release(PyObject* object);

// A new VALUE_PYOBJECT holding a new reference to `object`.
Value* value_new_pyobject(PyObject* object);

// Converts a Python tuple (the caller has checked PyTuple_Check) into a new
// VALUE_TUPLE owned by the caller. Per item, the first matching test wins:
// callable -> VALUE_PYOBJECT; str -> VALUE_STRING (all bytes); long ->
// VALUE_INT64 (-1 when out of range, the error cleared); float -> VALUE_FLOAT;
// int/bool -> VALUE_INT32 (low 32 bits); tuple -> VALUE_TUPLE (recursively);
// anything else -> VALUE_NONE. Leaves no Python error set.
Value* value_from_python_tuple(PyObject* tuple);

// A new reference to the Python object for `v`; null (no error set) for a
// VALUE_PYOBJECT or an unknown kind. Dict keys are converted through a cache of
// interned strings, so repeated keys cost no allocation.
PyObject* value_to_python(const Value* v);

// Releases the reference of every VALUE_PYOBJECT still holding one in `tree`
// (recursively) and empties those nodes. Used by the worker for argument
// trees whose objects no handler kept.
void value_release_pyobjects(Value* tree);

#endif  // VELTO_VALUE_PYTHON_BRIDGE_H_
