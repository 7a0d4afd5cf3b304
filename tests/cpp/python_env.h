// Test support: an embedded Python 2.7 interpreter for C++ tests that touch
// the Python bridge, the worker or stream delivery.
#ifndef VELTO_TESTS_PYTHON_ENV_H_
#define VELTO_TESTS_PYTHON_ENV_H_

// Initialises the interpreter once per process (threads enabled) and leaves
// the calling thread holding the interpreter lock. Safe to call repeatedly.
void python_env_ensure();

#endif  // VELTO_TESTS_PYTHON_ENV_H_
