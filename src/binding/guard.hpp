// The boundary between CPython and the system: every Python entry point runs
// its body through `guard`, which turns reports into Python exceptions and any
// escaping C++ exception or internal fault into the panic exception, so that
// nothing C++ ever unwinds into the interpreter. On the way out it drains the
// queue of deferred releases.
//
// Releases are deferred because the last holder of a Python reference may die
// on a pool thread, or on the caller's thread while one of the system's locks
// is held, and a release can run arbitrary Python code (`__del__`, weakref
// callbacks) that calls back into the system. Outside any call nothing of ours
// is held: a class's tp_dealloc that runs there (`release_after_dealloc`)
// drains the queue at once, so dropping the last Python object that holds a
// value releases it before the statement that dropped it completes.
//
// All of this runs on the caller's thread with the interpreter lock held,
// except `defer_decref`, which any thread may call.
#pragma once

#include <exception>
#include <string_view>
#include <utility>

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
// A release that queues more (a finaliser dropping a graph) is taken up by the
// same drain; a drain reached from inside one on the same thread returns at
// once and leaves the work to the outer one.
void drain_deferred() noexcept;
// For a class's tp_dealloc, after the boxed value is destroyed: drains the
// queue when this thread is not inside a call of the system (a dealloc inside a
// call may run under the call's locks; the call's own drain takes over).
void release_after_dealloc() noexcept;

// The exception a report becomes: the class of its current error's kind with
// the text of `format_report` as its one argument.
PyErr report_to_pyerr(const Report& report);
// Sets that exception as pending; returns null for the caller to pass on.
PyObject* raise_report(const Report& report);

// A Python exception as `PythonError`, whose message is
// "TypeQualName: str(exc)" and which has no context. Consumes the exception.
VelmoraError from_python_error(PyErr&& err);
// The same for the pending exception.
VelmoraError from_pending_python_error();

namespace detail {
void raise_current_cxx_exception() noexcept;

// Counts the guarded bodies running on this thread, for `release_after_dealloc`.
struct CallScope {
  static inline thread_local int depth = 0;
  CallScope() noexcept { ++depth; }
  ~CallScope() { --depth; }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
};
}  // namespace detail

// Runs `body`, which returns a new reference or null with an exception set.
template <class F>
PyObject* guard(F&& body) noexcept {
  PyObject* result = nullptr;
  {
    detail::CallScope scope;
    try {
      result = body();
    } catch (...) {
      detail::raise_current_cxx_exception();
      result = nullptr;
    }
  }
  drain_deferred();
  return result;
}

// Sets a failure as the pending exception and returns null for the caller to
// pass on: a report becomes its exception (`raise_report`), a Python exception
// is set again as it was fetched.
inline PyObject* raise_error(const Report& report) { return raise_report(report); }
inline PyObject* raise_error(PyErr&& err) {
  std::move(err).restore();
  return nullptr;
}

// Unwraps a `Result` or a `PyResult` inside a guarded body that returns a
// PyObject*: the value, or returns null with the failure raised.
// Use as: auto v = VM_PY_TRY(expr);
#define VM_PY_TRY(expr)                                                                           \
  ({                                                                                              \
    auto vm_py_result_ = (expr);                                                                  \
    if (!vm_py_result_) return ::velmora::binding::raise_error(std::move(vm_py_result_).error()); \
    std::move(vm_py_result_).value();                                                             \
  })

// Exclusive use of an object for one call, through a flag the object carries:
// the flag is set while the guard lives. Move-only. Caller's thread.
class Borrowed {
 public:
  Borrowed(Borrowed&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  Borrowed(const Borrowed&) = delete;
  Borrowed& operator=(const Borrowed&) = delete;
  Borrowed& operator=(Borrowed&&) = delete;
  ~Borrowed() {
    if (flag_) *flag_ = false;
  }

 private:
  friend PyResult<Borrowed> borrow(bool& flag);
  explicit Borrowed(bool& flag) : flag_(&flag) { flag = true; }
  bool* flag_;
};

// Takes `flag` for the guard's life; RuntimeError "Already borrowed" when it
// is already taken (a call re-entered from Python code it ran).
inline PyResult<Borrowed> borrow(bool& flag) {
  if (flag) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return std::unexpected(PyErr::fetch());
  }
  return Borrowed(flag);
}

}  // namespace velmora::binding
