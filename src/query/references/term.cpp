// The Python class `Term`.
#include "binding/guard.hpp"
#include "query/references/base.hpp"

namespace velmora::query::references {
namespace {

TermBox& self_ref(PyObject* self) { return binding::unbox<TermBox>(self); }

PyObject* term_uid(PyObject* self, PyObject*) {
  return binding::guard([&] { return detail::uid_text(self_ref(self).uid.get()); });
}

PyObject* term_str(PyObject* self) {
  return binding::guard([&]() -> PyObject* {
    const auto& ref = self_ref(self);
    auto text = VM_PY_TRY(with_context(ref.graph->term_to_string(ref.uid.get()), "term reference - to string"));
    return binding::into_ptr(binding::utf8_to_str(text));
  });
}

PyObject* term_richcompare(PyObject* self, PyObject* other, int op) {
  return detail::richcompare<TermBox>(self, other, op, term_class(), [](const TermBox& r) { return r.uid.get(); });
}

PyMethodDef kMethods[] = {
    {"uid", term_uid, METH_NOARGS, "uid($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

binding::ClassSpec& term_class() {
  static binding::ClassSpec spec{"builtins.Term",
                                 "",
                                 sizeof(binding::Boxed<TermBox>),
                                 &binding::dealloc_final_boxed<TermBox>,
                                 kMethods,
                                 nullptr,
                                 {{Py_tp_str, reinterpret_cast<void*>(&term_str)},
                                  {Py_tp_repr, reinterpret_cast<void*>(&term_str)},
                                  {Py_tp_richcompare, reinterpret_cast<void*>(&term_richcompare)},
                                  {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)}}};
  return spec;
}

}  // namespace velmora::query::references
