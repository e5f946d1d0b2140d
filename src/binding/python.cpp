#include "binding/python.hpp"

namespace velmora::binding {

PyErr PyErr::fetch() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyErr err;
  err.type_ = PyRef::steal(type);
  err.value_ = PyRef::steal(value);
  err.traceback_ = PyRef::steal(traceback);
  if (!err.type_) {
    // Nothing was pending: keep the invariant that a PyErr always has a type.
    err = make(PyExc_SystemError, "error return without exception set");
  }
  return err;
}

PyErr PyErr::make(PyObject* type, std::string_view message) {
  PyErr err;
  err.type_ = PyRef::borrow(type);
  err.value_ = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!err.value_) {
    PyErr_Clear();
    err.value_ = PyRef::borrow(Py_None);
  }
  return err;
}

void PyErr::restore() && { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

bool PyErr::is(PyObject* exc_type) const { return PyErr_GivenExceptionMatches(type_.get(), exc_type) != 0; }

std::optional<std::string> PyErr::value_str() const {
  PyRef s = PyRef::steal(PyObject_Str(value_.get()));
  if (!s) {
    PyErr_Clear();
    return std::nullopt;
  }
  auto text = str_to_utf8(s.get());
  if (!text) return std::nullopt;
  return *text;
}

std::string PyErr::render() const {
  std::string out = type_qualname_of_type(type_.get());
  auto text = value_str();
  out += text ? ": " + *text : ": <exception str() failed>";
  return out;
}

std::string type_qualname_of_type(PyObject* type) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__qualname__"));
  if (name) {
    auto text = str_to_utf8(name.get());
    if (text) return *text;
  } else {
    PyErr_Clear();
  }
  return "<unknown>";
}

std::string type_qualname(PyObject* obj) { return type_qualname_of_type(reinterpret_cast<PyObject*>(Py_TYPE(obj))); }

PyResult<std::string> str_to_utf8(PyObject* str) {
  PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(str));
  if (!bytes) return std::unexpected(PyErr::fetch());
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return std::unexpected(PyErr::fetch());
  return std::string(data, static_cast<std::size_t>(size));
}

PyResult<PyRef> utf8_to_str(std::string_view text) {
  PyRef s = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
  if (!s) return std::unexpected(PyErr::fetch());
  return s;
}

}  // namespace velmora::binding
