#include "python_env.h"

#include <Python.h>

#include "module/python_lock.h"

void python_env_ensure() {
  if (Py_IsInitialized()) return;
  Py_InitializeEx(0);
  PyEval_InitThreads();
  python_gate_open();
}
