// Test support shared by the C++ tests: an embedded Python interpreter (2.7
// or 3.x, whichever the build chose) for tests that touch the Python bridge,
// the worker or stream delivery, the few calls whose names differ between
// versions, and what the simulated library's call log tells.
#ifndef VELTO_TESTS_TEST_SUPPORT_H_
#define VELTO_TESTS_TEST_SUPPORT_H_

#include <stdint.h>

#include <string>

typedef struct _object PyObject;

// Initialises the interpreter once per process (threads enabled, the exit gate
// open) and leaves the calling thread holding the interpreter lock. Safe to
// call repeatedly.
void python_env_ensure();

// With the interpreter lock held:
// A new Python integer (2.7 int, 3.x int).
PyObject* py_int(long value);
// Whether `object` is exactly the type a VALUE_INT32 becomes.
bool py_is_small_int(PyObject* object);
// The value of a Python integer of either version (-1 with an error otherwise).
long py_int_value(PyObject* object);
// The bytes of a text object (2.7 str, 3.x str as UTF-8).
std::string py_text(PyObject* object);

// The user-data word the simulated library was given by the latest logged
// subscribe call; ~0 when the log holds none.
uint64_t sim_last_user_data();

#endif  // VELTO_TESTS_TEST_SUPPORT_H_
