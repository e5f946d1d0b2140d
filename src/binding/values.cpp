#include "binding/values.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <source_location>
#include <string>
#include <utility>

#include "binding/args.hpp"
#include "binding/guard.hpp"
#include "utils/source_position.hpp"

// The conversions belong to the property values' module, whose path their
// context lines print.
VELMORA_MODULE("src/properties");

namespace velmora::binding {

// ---------------------------------------------------------------- opaque values

namespace {

void retain_opaque(PyObject* obj) { Py_INCREF(obj); }

constexpr OpaqueHooks kOpaqueHooks{&retain_opaque, &defer_decref};

}  // namespace

void install_opaque_hooks() { set_opaque_hooks(kOpaqueHooks); }

// ---------------------------------------------------------------- conversions

namespace {

// Deep enough for any real property tree, shallow enough that neither this
// conversion nor the recursive copies, comparisons and text forms of the
// result can exhaust a thread's stack (a list that contains itself ends here).
constexpr int kMaxDepth = 1000;

static_assert(sizeof(long) == sizeof(std::int64_t), "PyLong_AsLong reads 64-bit integers");

Result<Value> convert_from_py(PyObject* obj, int depth);

Result<Value> convert_list(PyObject* list, int depth) {
  Value::Array items;
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    // Held strongly: an allocation below may collect garbage and run code
    // that shrinks the list.
    PyRef item = PyRef::borrow(PyList_GetItem(list, i));
    if (!item) return fail(from_pending_python_error());
    items.push_back(VM_TRY_CTX(convert_from_py(item.get(), depth + 1), "py to rhai - list"));
  }
  return Value(std::move(items));
}

Result<Value> convert_dict(PyObject* dict, int depth) {
  Value::Map map;
  Py_ssize_t pos = 0;
  PyObject* key_borrowed = nullptr;
  PyObject* value_borrowed = nullptr;
  while (PyDict_Next(dict, &pos, &key_borrowed, &value_borrowed)) {
    const PyRef key = PyRef::borrow(key_borrowed);
    const PyRef value = PyRef::borrow(value_borrowed);
    auto text = extract_str(key.get());
    if (!text) return fail(from_python_error(std::move(text).error()));
    Value item = VM_TRY_CTX(convert_from_py(value.get(), depth + 1), "py to rhai - dict");
    map.insert_or_assign(std::move(*text), std::move(item));
  }
  return Value(std::move(map));
}

Result<Value> convert_from_py(PyObject* obj, int depth) {
  if (Py_TYPE(obj) == &PyBool_Type) return Value(obj == Py_True);
  if (PyLong_Check(obj)) {
    const long n = PyLong_AsLong(obj);
    if (n == -1 && PyErr_Occurred()) {
      return std::unexpected(Report(from_pending_python_error()).attach("py to rhai - int"));
    }
    return Value(static_cast<std::int64_t>(n));
  }
  if (PyFloat_CheckExact(obj)) return Value(PyFloat_AsDouble(obj));
  if (PyUnicode_Check(obj)) {
    auto text = str_to_utf8(obj);
    if (!text) {
      return std::unexpected(Report(from_python_error(std::move(text).error())).attach("py to rhai - string"));
    }
    return Value(std::move(*text));
  }
  const bool list = PyList_Check(obj);
  if (list || PyDict_Check(obj)) {
    if (depth >= kMaxDepth) {
      return fail(errors::PythonError{
          "RecursionError: maximum recursion depth exceeded while converting a Python object", std::nullopt});
    }
    return list ? convert_list(obj, depth) : convert_dict(obj, depth);
  }
  return Value(PyOpaque(obj));
}

Result<PyRef> new_ref(PyObject* obj) {
  if (!obj) return fail(from_pending_python_error());
  return PyRef::steal(obj);
}

}  // namespace

Result<Value> py_to_rhai(PyObject* obj) { return convert_from_py(obj, 0); }

Result<PyRef> rhai_to_py(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Opaque: return PyRef::borrow(value.get_if<PyOpaque>()->get());
    case Value::Kind::Int: return new_ref(PyLong_FromLongLong(*value.get_if<std::int64_t>()));
    case Value::Kind::Float: return new_ref(PyFloat_FromDouble(*value.get_if<double>()));
    case Value::Kind::Bool: return new_ref(PyBool_FromLong(*value.get_if<bool>()));
    case Value::Kind::String: {
      auto text = utf8_to_str(*value.get_if<std::string>());
      if (!text) return fail(from_python_error(std::move(text).error()));
      return std::move(*text);
    }
    case Value::Kind::Map: {
      PyRef dict = VM_TRY(new_ref(PyDict_New()));
      for (const auto& [key, item] : *value.get_if<Value::Map>()) {
        PyRef obj = VM_TRY_CTX(rhai_to_py(item), "rhai to py - dict");
        auto key_obj = utf8_to_str(key);
        if (!key_obj) {
          return std::unexpected(Report(from_python_error(std::move(key_obj).error())).attach("rhai to py - dict"));
        }
        if (PyDict_SetItem(dict.get(), key_obj->get(), obj.get()) < 0) {
          return std::unexpected(Report(from_pending_python_error()).attach("rhai to py - dict"));
        }
      }
      return dict;
    }
    case Value::Kind::Array: {
      PyRef list = VM_TRY(new_ref(PyList_New(0)));
      for (const auto& item : *value.get_if<Value::Array>()) {
        PyRef obj = VM_TRY_CTX(rhai_to_py(item), "rhai to py - list");
        if (PyList_Append(list.get(), obj.get()) < 0) {
          return std::unexpected(Report(from_pending_python_error()).attach("rhai to py - list"));
        }
      }
      return list;
    }
    case Value::Kind::Empty: break;
  }
  return PyRef::borrow(Py_None);
}

// ---------------------------------------------------------------- property maps

Result<PropertyMap> property_map_from_py(PyObject* obj) {
  Value value = VM_TRY_CTX(py_to_rhai(obj), "property map - new");
  if (auto* map = value.get_if<Value::Map>()) return PropertyMap(std::move(*map));
  // Message and context (naming its own source position) are part of the interface.
  return fail(
      errors::PythonError{"Root of PropertyMap should be a Dict",
                          fmt::format("property map new [{}]", source_position(std::source_location::current()))});
}

PyResult<PyRef> property_map_into_pyobject(const PropertyMap& map) {
  // Converting allocates Python objects, and a collection may run finalisers
  // that write to this very map: convert a snapshot, with the lock released.
  const auto entries = map.iter();
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return std::unexpected(PyErr::fetch());
  for (const auto& [key, value] : entries) {
    auto item = rhai_to_py(value);
    if (!item) {
      Report report = std::move(item).error();
      report.attach("property map - into py object");
      return std::unexpected(report_to_pyerr(report));
    }
    auto key_obj = utf8_to_str(key);
    if (!key_obj) return std::unexpected(std::move(key_obj).error());
    if (PyDict_SetItem(dict.get(), key_obj->get(), item->get()) < 0) return std::unexpected(PyErr::fetch());
  }
  return dict;
}

}  // namespace velmora::binding
