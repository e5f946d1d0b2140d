#include "py_constant.hpp"

#include <utility>

#include "binding/args.hpp"
#include "binding/guard.hpp"
#include "utils/source_position.hpp"

// The class belongs to the constants' module, whose path any context line it
// prints names.
VELMORA_MODULE("src/constants");

namespace velmora {
namespace {

PyObject* constant_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return binding::guard([&]() -> PyObject* {
    static const binding::FunctionDescription kDesc{"Constant", "__new__", {"name", "type_schema"}, 2, false};
    PyObject* params[2] = {nullptr, nullptr};
    VM_PY_TRY(binding::extract_arguments(kDesc, args, kwargs, params));
    auto name = VM_PY_TRY(binding::argument("name", binding::extract_str(params[0])));
    auto text = VM_PY_TRY(binding::argument("type_schema", binding::extract_str(params[1])));
    // The report is raised as it stands: the constructor adds no line of its own.
    auto constant = VM_PY_TRY(Constant::create(std::move(name), std::move(text)));
    return binding::into_ptr(binding::alloc_instance(reinterpret_cast<PyObject*>(subtype), std::move(constant)));
  });
}

PyObject* constant_get_name(PyObject* self, void*) {
  return binding::guard(
      [&]() -> PyObject* { return binding::into_ptr(binding::utf8_to_str(binding::unbox<Constant>(self).name())); });
}

PyGetSetDef constant_getset[] = {
    {"name", &constant_get_name, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

binding::ClassSpec& constant_class() {
  static binding::ClassSpec spec{
      .name = "builtins.Constant",
      .doc = "Constant(name, type_schema)\n--\n\n",
      .basicsize = static_cast<int>(sizeof(binding::Boxed<Constant>)),
      .dealloc = &binding::dealloc_boxed<Constant>,
      .methods = nullptr,
      .getset = constant_getset,
      .slots = {{Py_tp_new, reinterpret_cast<void*>(&constant_new)}},
  };
  return spec;
}

const Constant* constant_from_py(PyObject* obj) {
  if (obj == nullptr || !binding::is_instance(obj, constant_class())) return nullptr;
  return &binding::unbox<Constant>(obj);
}

}  // namespace velmora
