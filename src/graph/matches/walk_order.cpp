// Where a path is walked from: the checks that let it start elsewhere than
// at its first node, and the choice of the start.
#include "graph/matches/walk_order.hpp"

#include <absl/container/inlined_vector.h>

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace velmora::graph::matches {
namespace {

using patterns::Direction;
using patterns::TypePattern;
using Names = absl::InlinedVector<std::string_view, 8>;

// The count of a node pattern that only a scan of every node answers.
constexpr std::size_t kEvery = SIZE_MAX;

// The names of a type schema's variables, into `out`; false when it has a
// capture (which binds, so that its check depends on what was bound before
// it). `ground` turns false at a wildcard: the schema then names more than
// one type.
bool collect_names(const TypePattern& pattern, Names& out, bool& ground) {
  if (pattern.is<TypePattern::Wildcard>()) {
    ground = false;
    return true;
  }
  if (const auto* variable = pattern.get<TypePattern::Variable>()) {
    out.push_back(variable->name);
    return true;
  }
  if (const auto* arrow = pattern.get<TypePattern::Arrow>())
    return collect_names(*arrow->left, out, ground) && collect_names(*arrow->right, out, ground);
  return false;
}

// Whether the binding of `name` in `m`, if any, is of the kind `kind`.
bool bound_as(const Match& m, std::string_view name, MatchElement::Kind kind) {
  const StoredElement* bound = m.find(name);
  return !bound || bound->kind() == kind;
}

}  // namespace

WalkOrder::WalkOrder(const Graph& graph, const patterns::PathPattern& path, const NodeUidSetPtr& subset)
    : graph_(graph), path_(path) {
  const auto& nodes = path.nodes();
  const auto& edges = path.edges();
  if (subset || nodes.size() < 2 || edges.size() + 1 != nodes.size()) return;
  absl::InlinedVector<std::string_view, 8> variables, schema_names;
  edges_indexed_.assign(edges.size(), std::nullopt);
  for (std::size_t j = 0; j < edges.size(); ++j) {
    const auto& edge = edges[j];
    if (edge.direction() == Direction::Any || edge.type_schema() || edge.term_schema()) return;
    if (edge.variable()) variables.push_back(*edge.variable());
    if (edge.properties()) edges_indexed_[j] = graph.edge_property_index().count(*edge.properties());
  }
  indexed_.assign(nodes.size(), std::nullopt);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const auto& node = nodes[i];
    if (node.term_schema()) return;
    bool ground = true;
    if (node.type_schema() && !collect_names(node.type_schema()->pattern(), schema_names, ground)) return;
    if (node.variable()) variables.push_back(*node.variable());
    if (node.properties()) indexed_[i] = graph.node_property_index().count(*node.properties());
  }
  std::sort(variables.begin(), variables.end());
  if (std::adjacent_find(variables.begin(), variables.end()) != variables.end()) return;
  for (const std::string_view name : schema_names)
    if (std::binary_search(variables.begin(), variables.end(), name)) return;
  free_ = true;
}

std::optional<std::size_t> WalkOrder::candidates(std::size_t i, const Match& m) const {
  const auto& node = path_.nodes()[i];
  std::size_t count = kEvery;
  if (const auto& name = node.variable()) {
    if (const StoredElement* bound = m.find(*name)) {
      // A node removed since it was bound is checked only where an edge
      // reaches it, which none does.
      if (bound->kind() != MatchElement::Kind::Node || !graph_.has_node(bound->uid())) return std::nullopt;
      return 1;
    }
  }
  if (const auto& schema = node.type_schema()) {
    Names names;
    bool ground = true;
    collect_names(schema->pattern(), names, ground);
    for (const std::string_view name : names)
      if (!bound_as(m, name, MatchElement::Kind::Type)) return std::nullopt;
    if (ground) count = 1;
  }
  if (indexed_[i]) count = std::min(count, *indexed_[i]);
  return count;
}

WalkOrder::Start WalkOrder::start(const Match& m) const {
  if (!free_) return {};
  // An edge bound before is checked where the walk reaches it, and one
  // removed since fails that check: the written order decides whether a
  // walk gets there.
  for (const auto& edge : path_.edges()) {
    if (!edge.variable()) continue;
    if (const StoredElement* bound = m.find(*edge.variable())) {
      if (bound->kind() != MatchElement::Kind::Edge || !graph_.edge_id(bound->edge_key())) return {};
    }
  }
  const auto first = candidates(0, m);
  // No node can have fewer candidates than one.
  if (!first || *first <= 1) return {};
  Start best;
  std::size_t fewest = *first;
  for (std::size_t i = 1; i < path_.nodes().size(); ++i) {
    const auto count = candidates(i, m);
    if (!count) return {};
    if (*count < fewest) {
      best = {i, false};
      fewest = *count;
    }
  }
  // A scan of every node is as long as the store's node list.
  if (fewest == kEvery) fewest = graph_.node_count();
  for (std::size_t j = 0; j < edges_indexed_.size(); ++j) {
    if (edges_indexed_[j] && *edges_indexed_[j] < fewest) {
      best = {j, true};
      fewest = *edges_indexed_[j];
    }
  }
  return best;
}

}  // namespace velmora::graph::matches
