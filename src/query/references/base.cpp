#include "query/references/base.hpp"

namespace velmora::query::references {

Reference reference_from_element(const graph::GraphPtr& graph, const MatchElement& element) {
  switch (element.kind()) {
    case MatchElement::Kind::Type: return TypeRef{graph, element.uid()};
    case MatchElement::Kind::Term: return TermRef{graph, element.uid()};
    case MatchElement::Kind::Node: return NodeRef{graph, element.uid()};
    case MatchElement::Kind::Edge: break;
  }
  return EdgeRef{graph, element.edge_key()};
}

binding::PyResult<binding::PyRef> reference_to_py(Reference reference) {
  return std::visit(
      [](auto&& ref) -> binding::PyResult<binding::PyRef> {
        using R = std::decay_t<decltype(ref)>;
        if constexpr (std::is_same_v<R, EdgeRef>)
          return binding::new_instance(edge_class(), std::move(ref));
        else if constexpr (std::is_same_v<R, NodeRef>)
          return binding::new_instance(node_class(), std::move(ref));
        else if constexpr (std::is_same_v<R, TermRef>)
          return binding::new_instance(term_class(), std::move(ref));
        else
          return binding::new_instance(type_class(), std::move(ref));
      },
      std::move(reference));
}

namespace detail {

PyObject* uid_text(const Uid& uid) {
  const std::string hex = uid_to_hex(uid);
  return PyUnicode_FromStringAndSize(hex.data(), static_cast<Py_ssize_t>(hex.size()));
}

}  // namespace detail
}  // namespace velmora::query::references
