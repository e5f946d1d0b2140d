// The Python class `Edge`.
#include "binding/guard.hpp"
#include "binding/values.hpp"
#include "query/references/base.hpp"

namespace velmora::query::references {
namespace {

EdgeBox& self_ref(PyObject* self) { return binding::unbox<EdgeBox>(self); }

PyObject* edge_uid(PyObject* self, PyObject*) {
  return binding::guard([&]() -> PyObject* {
    const EdgeKey key = self_ref(self).key();
    binding::PyRef start = binding::PyRef::steal(detail::uid_text(key.first));
    binding::PyRef end = binding::PyRef::steal(detail::uid_text(key.second));
    if (!start || !end) return nullptr;
    return PyTuple_Pack(2, start.get(), end.get());
  });
}

// The uid of the edge's arrow type, as `type()` and `term()` both need it.
template <class Make>
PyObject* arrow_reference(PyObject* self, Make make) {
  return binding::guard([&]() -> PyObject* {
    const auto& ref = self_ref(self);
    const Uid arrow = VM_PY_TRY(with_context(ref.graph->get_edge_type(ref.key()), "edge - type"));
    return make(ref.graph, HeldUid::find(*ref.graph.ptr(), arrow));
  });
}

PyObject* edge_type(PyObject* self, PyObject*) {
  return arrow_reference(self, [](const StoreHandle& g, HeldUid u) { return new_type(g, std::move(u)); });
}

PyObject* edge_term(PyObject* self, PyObject*) {
  return arrow_reference(self, [](const StoreHandle& g, HeldUid u) { return new_term(g, std::move(u)); });
}

PyObject* edge_properties(PyObject* self, PyObject*) {
  return binding::guard([&]() -> PyObject* {
    const auto& ref = self_ref(self);
    auto map = VM_PY_TRY(with_context(ref.graph->edge_properties(ref.key()), "edge reference - get properties"));
    return binding::into_ptr(binding::property_map_into_pyobject(map));
  });
}

PyObject* edge_str(PyObject* self) {
  return binding::guard([&]() -> PyObject* {
    const auto& ref = self_ref(self);
    auto text = VM_PY_TRY(with_context(ref.graph->edge_to_string(ref.key()), "edge reference - to string"));
    return binding::into_ptr(binding::utf8_to_str(text));
  });
}

PyObject* edge_richcompare(PyObject* self, PyObject* other, int op) {
  return detail::richcompare<EdgeBox>(self, other, op, edge_class(), [](const EdgeBox& r) { return r.key(); });
}

PyMethodDef kMethods[] = {
    {"uid", edge_uid, METH_NOARGS, "uid($self)\n--\n\n"},
    {"properties", edge_properties, METH_NOARGS, "properties($self)\n--\n\n"},
    {"type", edge_type, METH_NOARGS, "type($self)\n--\n\n"},
    {"term", edge_term, METH_NOARGS, "term($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

binding::ClassSpec& edge_class() {
  static binding::ClassSpec spec{"builtins.Edge",
                                 "",
                                 sizeof(binding::Boxed<EdgeBox>),
                                 &binding::dealloc_final_boxed<EdgeBox>,
                                 kMethods,
                                 nullptr,
                                 {{Py_tp_str, reinterpret_cast<void*>(&edge_str)},
                                  {Py_tp_repr, reinterpret_cast<void*>(&edge_str)},
                                  {Py_tp_richcompare, reinterpret_cast<void*>(&edge_richcompare)},
                                  {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)}}};
  return spec;
}

}  // namespace velmora::query::references
