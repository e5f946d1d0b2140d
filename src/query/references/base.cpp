#include "query/references/base.hpp"

namespace velmora::query::references {
namespace {

// The handle made last while it lives (borrowed: its dealloc clears this), so
// that references made one at a time share one. Lock held.
PyObject* last_handle = nullptr;

void store_handle_dealloc(PyObject* self) {
  if (last_handle == self) last_handle = nullptr;
  binding::dealloc_boxed<graph::GraphPtr>(self);
}

// Never handed to Python code: only references hold it.
binding::ClassSpec& store_handle_class() {
  static binding::ClassSpec spec{"builtins.StoreHandle", "", sizeof(binding::Boxed<graph::GraphPtr>),
                                 &store_handle_dealloc};
  return spec;
}

}  // namespace

HeldUid HeldUid::find(const graph::Graph& graph, const Uid& uid) {
  if (const auto id = graph.type_id(uid)) return in_store(graph.types().uid(*id));
  return HeldUid(own_copy(uid));
}

binding::PyResult<StoreHandle> StoreHandle::of(const graph::GraphPtr& graph) {
  if (last_handle && binding::unbox<graph::GraphPtr>(last_handle) == graph) {
    Py_INCREF(last_handle);
    return StoreHandle(last_handle);
  }
  auto obj = binding::new_instance(store_handle_class(), graph::GraphPtr(graph));
  if (!obj) return std::unexpected(std::move(obj).error());
  last_handle = obj->get();
  return StoreHandle(obj->release());
}

namespace detail {

PyObject* uid_text(const Uid& uid) {
  const std::string hex = uid_to_hex(uid);
  return PyUnicode_FromStringAndSize(hex.data(), static_cast<Py_ssize_t>(hex.size()));
}

}  // namespace detail
}  // namespace velmora::query::references
