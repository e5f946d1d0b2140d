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
  if (const auto id = graph.type_id(uid)) return in_store(graph.types->uid(*id));
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

Reference reference_from_element(const graph::GraphPtr& graph, const MatchElement& element) {
  switch (element.kind()) {
    case MatchElement::Kind::Type: return TypeRef{graph, element.uid(), element.row_uid()};
    case MatchElement::Kind::Term: return TermRef{graph, element.uid(), element.row_uid()};
    case MatchElement::Kind::Node: return NodeRef{graph, element.uid(), element.row_uid()};
    case MatchElement::Kind::Edge: break;
  }
  return EdgeRef{graph, element.edge_key(), element.row_uid(), element.row_end()};
}

binding::PyResult<binding::PyRef> reference_to_py(Reference reference) {
  return std::visit(
      [](const auto& ref) -> binding::PyResult<binding::PyRef> {
        using R = std::decay_t<decltype(ref)>;
        auto handle = StoreHandle::of(ref.graph);
        if (!handle) return std::unexpected(std::move(handle).error());
        PyObject* obj;
        const graph::Graph& store = *ref.graph;
        if constexpr (std::is_same_v<R, EdgeRef>) {
          HeldUid start = HeldUid::of(store, ref.key.first, ref.start_row);
          obj = new_edge(std::move(*handle), std::move(start), HeldUid::of(store, ref.key.second, ref.end_row));
        } else if constexpr (std::is_same_v<R, NodeRef>) {
          obj = new_node(std::move(*handle), HeldUid::of(store, ref.uid, ref.row));
        } else if constexpr (std::is_same_v<R, TermRef>) {
          obj = new_term(std::move(*handle), HeldUid::of(store, ref.uid, ref.row));
        } else {
          obj = new_type(std::move(*handle), HeldUid::of(store, ref.uid, ref.row));
        }
        if (!obj) return std::unexpected(binding::PyErr::fetch());
        return binding::PyRef::steal(obj);
      },
      reference);
}

namespace detail {

PyObject* uid_text(const Uid& uid) {
  const std::string hex = uid_to_hex(uid);
  return PyUnicode_FromStringAndSize(hex.data(), static_cast<Py_ssize_t>(hex.size()));
}

}  // namespace detail
}  // namespace velmora::query::references
