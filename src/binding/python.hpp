// Owned Python references and fetched Python exceptions, over the limited API.
//
// Everything in the binding layer runs on the Python caller's thread with the
// interpreter lock held; nothing here may be used on a pool thread.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace velmora::binding {

// An owned (strong) reference; releases it when destroyed.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null).
  static PyRef steal(PyObject* obj) { return PyRef(obj); }
  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }
  PyRef(const PyRef& other) : obj_(other.obj_) { Py_XINCREF(obj_); }
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  // Hands the reference over to the caller.
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// A Python exception taken out of the interpreter's error indicator.
class PyErr {
 public:
  // Takes the pending exception (one must be set).
  static PyErr fetch();
  // Builds an exception of `type` with the message `message`, not yet raised.
  static PyErr make(PyObject* type, std::string_view message);

  // Sets it as the pending exception again; consumes it.
  void restore() &&;
  PyObject* type() const { return type_.get(); }
  bool is(PyObject* exc_type) const;
  // str() of the exception value, or std::nullopt when str() itself fails.
  std::optional<std::string> value_str() const;
  // "TypeQualName: str(exc)", the way exceptions are shown inside messages.
  std::string render() const;

 private:
  PyRef type_, value_, traceback_;
};

template <class T>
using PyResult = std::expected<T, PyErr>;

// The text of a str object (UTF-8); fails like the interpreter does for text
// that cannot be encoded (lone surrogates).
PyResult<std::string> str_to_utf8(PyObject* str);
// A new str from UTF-8 text.
PyResult<PyRef> utf8_to_str(std::string_view text);
// The qualified name of an object's type, e.g. "int" or "Outer.Inner".
std::string type_qualname(PyObject* obj);
// The qualified name of a type object.
std::string type_qualname_of_type(PyObject* type);

}  // namespace velmora::binding
