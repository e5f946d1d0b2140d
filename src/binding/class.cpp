#include "binding/class.hpp"

#include <fmt/format.h>

#include <cstring>

namespace velmora::binding {
namespace {

// tp_new of the classes without a constructor.
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  auto attr = [&](const char* name) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), name));
    if (!value) {
      PyErr_Clear();
      return std::string("?");
    }
    auto text = str_to_utf8(value.get());
    return text ? *text : std::string("?");
  };
  const auto message = fmt::format("cannot create '{}.{}' instances", attr("__module__"), attr("__qualname__"));
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return nullptr;
}

}  // namespace

PyResult<PyObject*> type_object(ClassSpec& spec) {
  if (spec.type) return spec.type;
  std::vector<PyType_Slot> slots;
  bool has_new = false;
  for (const auto& slot : spec.slots) {
    if (slot.slot == 0) break;
    has_new |= slot.slot == Py_tp_new;
    slots.push_back(slot);
  }
  if (!has_new) slots.push_back({Py_tp_new, reinterpret_cast<void*>(&no_constructor)});
  if (spec.doc && spec.doc[0] != '\0') slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  if (spec.methods) slots.push_back({Py_tp_methods, spec.methods});
  if (spec.getset) slots.push_back({Py_tp_getset, spec.getset});
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)});
  slots.push_back({0, nullptr});

  PyType_Spec type_spec{spec.name, spec.basicsize, 0, Py_TPFLAGS_DEFAULT, slots.data()};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (!type) return std::unexpected(PyErr::fetch());
  spec.type = type;
  return type;
}

PyResult<void> add_class(PyObject* module, ClassSpec& spec) {
  auto type = type_object(spec);
  if (!type) return std::unexpected(std::move(type).error());
  const char* dot = std::strrchr(spec.name, '.');
  const char* short_name = dot ? dot + 1 : spec.name;

  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::unexpected(PyErr::fetch());
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return std::unexpected(PyErr::fetch());
  }
  if (!PyList_Check(all.get())) return std::unexpected(PyErr::make(PyExc_TypeError, "`__all__` must be a list"));
  PyRef name = PyRef::steal(PyUnicode_FromString(short_name));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return std::unexpected(PyErr::fetch());
  if (PyObject_SetAttrString(module, short_name, *type) < 0) return std::unexpected(PyErr::fetch());
  return {};
}

bool is_instance(PyObject* obj, ClassSpec& spec) {
  auto type = type_object(spec);
  if (!type) return false;  // a class that cannot be made has no instances
  const int r = PyObject_IsInstance(obj, *type);
  if (r < 0) PyErr_Clear();
  return r > 0;
}

}  // namespace velmora::binding
