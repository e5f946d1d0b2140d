// The boundary between CPython and the system: every Python entry point runs
// its body through `guard`, which turns reports into Python exceptions and any
// escaping C++ exception or internal fault into the panic exception, so that
// nothing C++ ever unwinds into the interpreter. On the way out it drains the
// queue of deferred releases.
//
// All of this runs on the caller's thread with the interpreter lock held,
// except `defer_decref`, which any thread may call.
#pragma once

#include <exception>
#include <string_view>

#include "binding/python.hpp"
#include "errors.hpp"
#include "utils/panic.hpp"

namespace velmora::binding {

// `pyo3_runtime.PanicException`, a BaseException subclass; made on first use
// and kept for the life of the process. Null only if it could not be made.
PyObject* panic_exception_type();
// Sets PanicException(message) as the pending exception.
void raise_panic(std::string_view message);

// Queues the release of one strong reference. Any thread, no interpreter lock
// needed; the reference is released by the next `drain_deferred`.
void defer_decref(PyObject* obj) noexcept;
// Releases every queued reference. Lock held, none of the system's own locks.
void drain_deferred() noexcept;

// The exception a report becomes: the class of its current error's kind with
// the text of `format_report` as its one argument.
PyErr report_to_pyerr(const Report& report);
// Sets that exception as pending; returns null for the caller to pass on.
PyObject* raise_report(const Report& report);

// `VelmoraError::from`: a Python exception as `PythonError`, whose message is
// "TypeQualName: str(exc)" and which has no context. Consumes the exception.
VelmoraError from_python_error(PyErr&& err);
// The same for the pending exception.
VelmoraError from_pending_python_error();

namespace detail {
void raise_current_cxx_exception() noexcept;
}

// Runs `body`, which returns a new reference or null with an exception set.
template <class F>
PyObject* guard(F&& body) noexcept {
  PyObject* result = nullptr;
  try {
    result = body();
  } catch (...) {
    detail::raise_current_cxx_exception();
    result = nullptr;
  }
  drain_deferred();
  return result;
}

// The same for slots that report failure as -1.
template <class F>
int guard_int(F&& body) noexcept {
  int result = -1;
  try {
    result = body();
  } catch (...) {
    detail::raise_current_cxx_exception();
    result = -1;
  }
  drain_deferred();
  return result;
}

// Unwraps a result inside a guarded body: the value, or raises its report.
// Use as: auto v = VM_PY_TRY(expr);
#define VM_PY_TRY(expr)                                                   \
  ({                                                                      \
    auto vm_py_result_ = (expr);                                          \
    if (!vm_py_result_) return ::velmora::binding::raise_report(vm_py_result_.error()); \
    std::move(vm_py_result_).value();                                     \
  })

}  // namespace velmora::binding
