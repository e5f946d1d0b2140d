#include "binding/guard.hpp"

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

namespace velmora::binding {
namespace {

std::mutex deferred_mutex;
std::vector<PyObject*> deferred;  // guarded by deferred_mutex
// Whether `deferred` may hold something: written under the mutex, read without
// it so that the common empty drain (every call's end, every dealloc outside a
// call) costs no lock. A push on this thread is seen by program order; one on
// a pool thread by the join that ended the pool's part of the call.
std::atomic<bool> maybe_deferred{false};
// Set while this thread drains; nested drains leave the work to it, so a chain
// of finalisers is released by a loop rather than by recursion.
thread_local bool draining = false;

PyObject* exception_class(PyClass cls) {
  switch (cls) {
    case PyClass::TypeError: return PyExc_TypeError;
    case PyClass::ValueError: return PyExc_ValueError;
    case PyClass::RuntimeError: return PyExc_RuntimeError;
    case PyClass::KeyError: return PyExc_KeyError;
    case PyClass::IndexError: return PyExc_IndexError;
    case PyClass::SystemError: return PyExc_SystemError;
  }
  return PyExc_SystemError;
}

}  // namespace

PyObject* panic_exception_type() {
  static PyObject* type = [] {
    // The module-qualified name is part of the interface.
    PyObject* t = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException",
                                            "\nThe exception raised when an unrecoverable internal fault occurs.\n\n"
                                            "Like SystemExit, this exception is derived from BaseException so that\n"
                                            "it will typically propagate all the way through the stack and cause the\n"
                                            "Python interpreter to exit.\n",
                                            PyExc_BaseException, nullptr);
    if (!t) PyErr_Clear();
    return t;
  }();
  return type;
}

void raise_panic(std::string_view message) {
  PyObject* type = panic_exception_type();
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) PyErr_Clear();
  PyErr_SetObject(type ? type : PyExc_SystemError, text ? text.get() : Py_None);
}

void defer_decref(PyObject* obj) noexcept {
  if (!obj) return;
  try {
    std::lock_guard lock(deferred_mutex);
    deferred.push_back(obj);
    maybe_deferred.store(true, std::memory_order_release);
  } catch (...) {
    // Out of memory while queueing: leaking one reference beats touching the
    // interpreter without its lock.
  }
}

void drain_deferred() noexcept {
  if (!maybe_deferred.load(std::memory_order_acquire) || draining) return;
  draining = true;
  for (;;) {
    std::vector<PyObject*> batch;
    {
      std::lock_guard lock(deferred_mutex);
      if (deferred.empty()) {
        maybe_deferred.store(false, std::memory_order_relaxed);
        break;
      }
      batch.swap(deferred);
    }
    // A release may run Python code that queues more; loop until empty. The
    // pending exception, if any, must survive finalisers that run here.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    for (PyObject* obj : batch) Py_DECREF(obj);
    PyErr_Restore(type, value, traceback);
  }
  draining = false;
}

void release_after_dealloc() noexcept {
  // The flag first: it is a plain load, the depth a thread-local look-up.
  if (maybe_deferred.load(std::memory_order_acquire) && detail::CallScope::depth == 0) drain_deferred();
}

PyErr report_to_pyerr(const Report& report) {
  return PyErr::make(exception_class(report.current_context().python_class()), errors::format_report(report));
}

PyObject* raise_report(const Report& report) {
  report_to_pyerr(report).restore();
  return nullptr;
}

VelmoraError from_python_error(PyErr&& err) { return errors::PythonError{err.render(), std::nullopt}; }

VelmoraError from_pending_python_error() { return from_python_error(PyErr::fetch()); }

namespace detail {

void raise_current_cxx_exception() noexcept {
  try {
    throw;
  } catch (const Panic& p) {
    raise_panic(p.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    // Not raised through `panic`, so nothing has reported it yet.
    report_panic(e.what());
    raise_panic(e.what());
  } catch (...) {
    report_panic("unknown C++ exception");
    raise_panic("unknown C++ exception");
  }
}

}  // namespace detail
}  // namespace velmora::binding
