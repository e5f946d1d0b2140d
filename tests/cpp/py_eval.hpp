// Test helper: evaluates a Python expression in the embedded interpreter.
#pragma once

#include "binding/python.hpp"

namespace velmora::testing {

// The value of `expr`, or null (with the error printed) when it raises.
inline binding::PyRef py_eval(const char* expr) {
  using binding::PyRef;
  // No Python frame is running here, so eval needs explicit globals.
  PyRef globals = PyRef::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  PyObject* builtin_eval = PyDict_GetItemString(PyEval_GetBuiltins(), "eval");
  PyRef r = PyRef::steal(PyObject_CallFunction(builtin_eval, "sO", expr, globals.get()));
  if (!r) PyErr_Print();
  return r;
}

}  // namespace velmora::testing
