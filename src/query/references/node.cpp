// The Python class `Node`.
#include "binding/guard.hpp"
#include "binding/values.hpp"
#include "query/references/base.hpp"

namespace velmora::query::references {
namespace {

NodeBox& self_ref(PyObject* self) { return binding::unbox<NodeBox>(self); }

PyObject* node_uid(PyObject* self, PyObject*) {
  return binding::guard([&] { return detail::uid_text(self_ref(self).uid.get()); });
}

PyObject* node_type(PyObject* self, PyObject*) {
  return binding::guard([&]() -> PyObject* {
    const auto& ref = self_ref(self);
    return new_type(ref.graph, ref.uid);
  });
}

PyObject* node_term(PyObject* self, PyObject*) {
  return binding::guard([&]() -> PyObject* {
    const auto& ref = self_ref(self);
    if (!ref.graph->has_term(ref.uid.get())) Py_RETURN_NONE;
    return new_term(ref.graph, ref.uid);
  });
}

PyObject* node_properties(PyObject* self, PyObject*) {
  return binding::guard([&]() -> PyObject* {
    const auto& ref = self_ref(self);
    auto map = VM_PY_TRY(with_context(ref.graph->node_properties(ref.uid.get(), ref.uid.store_copy()),
                                      "node reference - get properties"));
    return binding::into_ptr(binding::property_map_into_pyobject(map));
  });
}

PyObject* node_str(PyObject* self) {
  return binding::guard([&]() -> PyObject* {
    const auto& ref = self_ref(self);
    auto text = ref.graph->node_to_string(ref.uid.get());
    if (!text) return binding::raise_report(text.error().note("node reference - to string"));
    return binding::into_ptr(binding::utf8_to_str(*text));
  });
}

PyObject* node_richcompare(PyObject* self, PyObject* other, int op) {
  return detail::richcompare<NodeBox>(self, other, op, node_class(), [](const NodeBox& r) { return r.uid.get(); });
}

PyMethodDef kMethods[] = {
    {"uid", node_uid, METH_NOARGS, "uid($self)\n--\n\n"},
    {"properties", node_properties, METH_NOARGS, "properties($self)\n--\n\n"},
    {"type", node_type, METH_NOARGS, "type($self)\n--\n\n"},
    {"term", node_term, METH_NOARGS, "term($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

binding::ClassSpec& node_class() {
  static binding::ClassSpec spec{"builtins.Node",
                                 "",
                                 sizeof(binding::Boxed<NodeBox>),
                                 &binding::dealloc_final_boxed<NodeBox>,
                                 kMethods,
                                 nullptr,
                                 {{Py_tp_str, reinterpret_cast<void*>(&node_str)},
                                  {Py_tp_repr, reinterpret_cast<void*>(&node_str)},
                                  {Py_tp_richcompare, reinterpret_cast<void*>(&node_richcompare)},
                                  {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)}}};
  return spec;
}

}  // namespace velmora::query::references
