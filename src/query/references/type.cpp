// The Python class `Type`.
#include "binding/guard.hpp"
#include "query/references/base.hpp"

namespace velmora::query::references {
namespace {

TypeBox& self_ref(PyObject* self) { return binding::unbox<TypeBox>(self); }

PyObject* type_uid(PyObject* self, PyObject*) {
  return binding::guard([&] { return detail::uid_text(self_ref(self).uid.get()); });
}

PyObject* type_as_var(PyObject* self, PyObject*) {
  return binding::guard([&]() -> PyObject* {
    const auto& ref = self_ref(self);
    auto name = VM_PY_TRY(with_context(ref.graph->type_as_var(ref.uid.get()), "type reference - type as var"));
    if (!name) Py_RETURN_NONE;
    return binding::into_ptr(binding::utf8_to_str(*name));
  });
}

PyObject* type_as_arrow(PyObject* self, PyObject*) {
  return binding::guard([&]() -> PyObject* {
    const auto& ref = self_ref(self);
    auto sides = VM_PY_TRY(with_context(ref.graph->type_as_arrow(ref.uid.get()), "type reference - type as arrow"));
    if (!sides) Py_RETURN_NONE;
    const auto left = binding::PyRef::steal(new_type(ref.graph, HeldUid::find(*ref.graph.ptr(), sides->first)));
    if (!left) return nullptr;
    const auto right = binding::PyRef::steal(new_type(ref.graph, HeldUid::find(*ref.graph.ptr(), sides->second)));
    if (!right) return nullptr;
    return PyTuple_Pack(2, left.get(), right.get());
  });
}

PyObject* type_str(PyObject* self) {
  return binding::guard([&]() -> PyObject* {
    const auto& ref = self_ref(self);
    auto text = VM_PY_TRY(with_context(ref.graph->type_to_string(ref.uid.get()), "type reference - to string"));
    return binding::into_ptr(binding::utf8_to_str(text));
  });
}

PyObject* type_richcompare(PyObject* self, PyObject* other, int op) {
  return detail::richcompare<TypeBox>(self, other, op, type_class(), [](const TypeBox& r) { return r.uid.get(); });
}

PyMethodDef kMethods[] = {
    {"uid", type_uid, METH_NOARGS, "uid($self)\n--\n\n"},
    {"as_var", type_as_var, METH_NOARGS, "as_var($self)\n--\n\n"},
    {"as_arrow", type_as_arrow, METH_NOARGS, "as_arrow($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

binding::ClassSpec& type_class() {
  static binding::ClassSpec spec{"builtins.Type",
                                 "",
                                 sizeof(binding::Boxed<TypeBox>),
                                 &binding::dealloc_final_boxed<TypeBox>,
                                 kMethods,
                                 nullptr,
                                 {{Py_tp_str, reinterpret_cast<void*>(&type_str)},
                                  {Py_tp_repr, reinterpret_cast<void*>(&type_str)},
                                  {Py_tp_richcompare, reinterpret_cast<void*>(&type_richcompare)},
                                  {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)}}};
  return spec;
}

}  // namespace velmora::query::references
