// The inference and check phases of path creation: the types and terms of
// a path's nodes and edges for one match, worked out from its bindings,
// schemas, the constants and the neighbours, then confirmed against the
// pattern.
#include <algorithm>
#include <cstddef>
#include <utility>

#include "graph/create.hpp"
#include "graph/matches/schemas.hpp"
#include "graph/schema.hpp"
#include "utils/panic.hpp"
#include "utils/source_position.hpp"

// Part of path creation: its context lines print that module's path.
VELMORA_MODULE("src/graph/create");

namespace velmora::graph {

using patterns::Direction;
using patterns::PathPattern;
using utils::DataItem;

namespace {

constexpr const char* kCreatePath = "graph - create path";
constexpr const char* kCreateNode = "graph - create node";
constexpr const char* kNodeMatched = "create path - node data inference - node already matched";
constexpr const char* kEdgeMatched = "create path - edge data inference - edge already matched";

// The faults of the direction Any. Their texts differ slightly from site to
// site, and callers see them as they are.
constexpr const char* kAnyNotSupported = "not yet implemented: the 'any' direction is not supported yet";
constexpr const char* kAnyNotSupportedRight = "not yet implemented: the 'any' direction is not supported yet.";
constexpr const char* kAnyNotImplemented = "not yet implemented: the 'any' direction is not implemented yet.";

errors::IndexOutOfRange out_of_range(std::size_t index, std::size_t max_len, const char* context) {
  return errors::IndexOutOfRange{index, max_len, std::string(context)};
}

void push_unless_queued(utils::DataQueue& queue, DataItem item) {
  const auto& items = queue.items();
  if (std::find(items.begin(), items.end(), item) == items.end()) queue.push(item);
}

enum class SchemaKind { Type, Term };

template <class Record>
bool flag_of(const Record& record, SchemaKind kind) {
  return kind == SchemaKind::Type ? record.type_matches_schema : record.term_matches_schema;
}

// A successful check may have bound captures that let other elements' schemas
// convert or match now, so every element still waiting on a schema of that
// kind goes back on the queue, the one being checked included.
void requeue_after_check(PathData& data, SchemaKind kind) {
  for (std::size_t i = 0; i < data.nodes.size(); ++i)
    if (!flag_of(data.nodes[i], kind)) push_unless_queued(data.queue, {i, true});
  for (std::size_t j = 0; j < data.edges.size(); ++j)
    if (!flag_of(data.edges[j], kind)) push_unless_queued(data.queue, {j, false});
}

// What one pass has found so far, before its commit.
struct Candidates {
  // Written out: an implicit constructor zeroes the whole record first.
  Candidates() noexcept : type(), term() {}

  std::optional<TypePtr> type;
  std::optional<Term> term;
  bool type_matches_schema = false;  // to be set at commit
  bool term_matches_schema = false;
};

// The end of a schema step that checked a recorded value: on a match, the
// captures the check bound become the child frame and `matched` is set.
Status settle_check(Result<std::optional<MatchPtr>> checked, PathData& data, SchemaKind kind, bool& matched) {
  auto frame = VM_TRY_CTX(std::move(checked), kCreatePath);
  if (!frame) return {};
  requeue_after_check(data, kind);
  data.child = std::move(*frame);
  matched = true;
  return {};
}

// The schema steps, shared by the node and the edge pass. They look at the
// record's recorded values only, never at the candidates.
template <class Record, class Pattern>
Status type_schema_step(Graph& graph, const Pattern& pattern, const Record& record, PathData& data, Candidates& found) {
  if (record.type_matches_schema) return {};
  if (!pattern.type_schema()) {
    found.type_matches_schema = true;
    return {};
  }
  if (!record.type) {
    found.type = VM_TRY_CTX(type_schema_to_type(graph, *pattern.type_schema(), data.child), kCreatePath);
    found.type_matches_schema = true;
    return {};
  }
  const Uid uid = graph.insert_type(**record.type);
  return settle_check(check_type_matches(graph, uid, pattern.type_schema()->pattern(), data.child), data,
                      SchemaKind::Type, found.type_matches_schema);
}

template <class Record, class Pattern>
Status term_schema_step(Graph& graph, const Pattern& pattern, const Record& record, PathData& data, Candidates& found) {
  if (record.term_matches_schema) return {};
  if (!pattern.term_schema()) {
    found.term_matches_schema = true;
    return {};
  }
  if (!record.term) {
    auto term = term_schema_to_term(graph, *pattern.term_schema(), data.child);
    if (!term) {
      // A variable of the schema is not bound yet; a later capture may bind it.
      if (term.error().current_context().template is<errors::VariableNotFound>()) {
        found.term.reset();
        return {};
      }
      return std::unexpected(std::move(term).error().attach(kCreatePath));
    }
    found.term = std::move(*term);
    found.term_matches_schema = true;
    return {};
  }
  const Uid uid = graph.insert_term(*record.term);
  return settle_check(check_term_matches(graph, uid, pattern.term_schema()->pattern(), data.child), data,
                      SchemaKind::Term, found.term_matches_schema);
}

// The constants step of one match's inference. An element whose term is
// still missing asks again on every pass; the answer for a type cannot change
// (the constants are fixed once the store is built, and storing a type again
// changes nothing), so each type is stored and looked up once per inference.
class ConstantTerms {
 public:
  explicit ConstantTerms(StoredTypes& stored) : stored_(stored) {}

  // The answer already found for `type`, or null. Passes mostly ask about
  // the very handle they asked about before, so handles are compared first;
  // no two entries are equal types, so the order of the scans cannot matter.
  const std::optional<Term>* find(const TypePtr& type) const {
    for (const auto& [known, term] : seen_)
      if (known == type) return &term;
    for (const auto& [known, term] : seen_)
      if (*known == *type) return &term;
    return nullptr;
  }

  // The answer for a type that find() does not know.
  Result<std::optional<Term>> get(Graph& graph, const TypePtr& type) {
    const TypeId id = graph.insert_type(type, stored_);
    auto term = infer_term(graph, id, type);
    if (term) seen_.emplace_back(type, *term);
    return term;
  }

 private:
  StoredTypes& stored_;
  absl::InlinedVector<std::pair<TypePtr, std::optional<Term>>, 3> seen_;
};

// The constants step: an element with no term yet takes the constant term of
// its type, where the graph has one.
template <class Record>
Status constants_step(Graph& graph, ConstantTerms& constants, const Record& record, Candidates& found,
                      const char* context) {
  if (record.term || found.term) return {};
  const auto& type = record.type ? record.type : found.type;
  if (!type) return {};
  if (const auto* known = constants.find(*type)) {
    found.term = *known;
    return {};
  }
  found.term = VM_TRY_CTX(constants.get(graph, *type), context);
  return {};
}

// The argument of `term` when `term` applies `function`.
std::optional<Term> argument_when_applying(const Term& term, const Term& function) {
  const auto* app = term.as_application();
  if (app && *app->function == function) return *app->argument;
  return std::nullopt;
}

// The function of `term` when `term` applies it to `argument`.
std::optional<Term> function_when_applied_to(const Term& term, const Term& argument) {
  const auto* app = term.as_application();
  if (app && *app->argument == argument) return *app->function;
  return std::nullopt;
}

const typing::Arrow* edge_arrow(const EdgeData& edge) { return (*edge.type)->as_arrow(); }

// Whether `edge` runs from its left node to its right one. The direction Any
// is a fault, reported with the text of the site that asks.
bool runs_forward(const EdgeData& edge, const char* any_fault) {
  switch (edge.direction) {
    case Direction::Forward: return true;
    case Direction::Backward: return false;
    case Direction::Any: break;
  }
  panic(any_fault);
}

// The nodes of `edge`: the one it leaves, then the one it points at.
std::pair<const NodeData*, const NodeData*> tail_and_head(const EdgeData& edge, const NodeData& left,
                                                          const NodeData& right) {
  if (runs_forward(edge, kAnyNotSupported)) return {&left, &right};
  return {&right, &left};
}

enum class Side { Left, Right };

// The neighbour step of node i: what the edge on `side` of it, and the node
// beyond that edge, tell about it. Its type is the end of the edge's arrow on
// its own side; its term is the edge's term applied to the neighbour's when the
// edge points at node i, and otherwise the argument to which the neighbour's
// term applies the edge's term. A node at that end of the path has no
// neighbour there.
Status neighbour_step(const PathData& data, std::size_t i, Side side, Candidates& found) {
  const bool left = side == Side::Left;
  const std::size_t n = data.nodes.size();
  if (left ? i == 0 : i + 1 >= n) return {};
  const std::size_t e = left ? i - 1 : i;
  const std::size_t k = left ? i - 1 : i + 1;
  if (e >= data.edges.size())
    return fail(out_of_range(
        e, data.edges.size(),
        left ? "create path - node data inference - left edge" : "create path - node data inference - right edge"));
  if (k >= n)
    return fail(out_of_range(
        k, n,
        left ? "create path - node data inference - left node" : "create path - node data inference - right node"));
  const NodeData& node = data.nodes[i];
  const EdgeData& edge = data.edges[e];
  const NodeData& neighbour = data.nodes[k];
  if (!node.type && !found.type && edge.type) {
    const auto* arrow = edge_arrow(edge);
    if (!arrow) return fail(errors::InvalidType{"edge must have an arrow type"});
    const bool points_at_node = runs_forward(edge, left ? kAnyNotSupported : kAnyNotSupportedRight) == left;
    found.type = points_at_node ? arrow->right : arrow->left;
  }
  if (!node.term && !found.term && edge.term && neighbour.term) {
    if (runs_forward(edge, kAnyNotImplemented) == left) {
      found.term = VM_TRY_CTX(edge.term->apply(*neighbour.term), kCreatePath);
    } else {
      found.term = argument_when_applying(*neighbour.term, *edge.term);
    }
  }
  return {};
}

// The commit of a pass: moves the candidates into `record` and says whether
// it changed. A recorded value is never replaced, and candidates that
// disagree with it are dropped unseen: the check phase judges what was
// recorded. With `missing_is_change`, a value still missing counts as a
// change, so that an edge keeps asking its nodes until they can give it one.
template <class Record>
bool commit(Record& record, Candidates& found, bool missing_is_change) {
  bool changed = false;
  if (!record.type && (found.type || missing_is_change)) {
    record.type = std::move(found.type);
    changed = true;
  }
  if (!record.term && (found.term || missing_is_change)) {
    record.term = std::move(found.term);
    changed = true;
  }
  if (found.type_matches_schema) record.type_matches_schema = true;
  if (found.term_matches_schema) record.term_matches_schema = true;
  if (!record.type && record.term) {
    record.type = record.term->type();
    changed = true;
  }
  return changed;
}

void requeue_node_neighbours(PathData& data, std::size_t i) {
  const std::size_t n = data.nodes.size();
  if (i > 0) {
    push_unless_queued(data.queue, {i - 1, false});
    push_unless_queued(data.queue, {i - 1, true});
  }
  if (i + 1 < n) {
    push_unless_queued(data.queue, {i, false});
    push_unless_queued(data.queue, {i + 1, true});
  }
}

void requeue_edge_nodes(PathData& data, std::size_t j) {
  push_unless_queued(data.queue, {j, true});
  push_unless_queued(data.queue, {j + 1, true});
}

Status node_pass(Graph& graph, const PathPattern& path, PathData& data, ConstantTerms& constants, std::size_t i) {
  const std::size_t n = data.nodes.size();
  if (i >= n) return fail(out_of_range(i, n, "create path - node data inference"));
  const NodeData& node = data.nodes[i];
  Candidates found;

  if (node.variable) {
    if (auto element = data.child->get(*node.variable)) {
      const Uid uid = VM_TRY_CTX(element->as_node(*node.variable, kNodeMatched), kCreatePath);
      found.type = VM_TRY_CTX(graph.type_from_uid(uid), kCreatePath);
      auto term = graph.term_from_uid(uid);
      if (term) {
        found.term = std::move(*term);
      } else if (!term.error().current_context().is<errors::TermNotFound>()) {
        return std::unexpected(std::move(term).error().attach(kCreatePath));
      }
    }
  }

  if (i >= path.nodes().size())
    return fail(out_of_range(i, path.nodes().size(), "create path - node data inference - match pattern"));
  const auto& pattern = path.nodes()[i];
  VM_TRY(type_schema_step(graph, pattern, node, data, found));
  VM_TRY(term_schema_step(graph, pattern, node, data, found));

  // Constants come before the neighbours: a typed node takes its constant's
  // term even where an edge would give it an application.
  VM_TRY(constants_step(graph, constants, node, found, kCreatePath));
  VM_TRY(neighbour_step(data, i, Side::Left, found));
  VM_TRY(neighbour_step(data, i, Side::Right, found));

  if (i >= data.nodes.size())
    return fail(out_of_range(i, data.nodes.size(), "create path - node data inference - mutating node data"));
  if (commit(data.nodes[i], found, false)) requeue_node_neighbours(data, i);
  return {};
}

Status edge_pass(Graph& graph, const PathPattern& path, PathData& data, ConstantTerms& constants, std::size_t j) {
  const std::size_t m = data.edges.size();
  if (j >= m) return fail(out_of_range(j, m, "create path - edge data inference"));
  const EdgeData& edge = data.edges[j];
  Candidates found;

  if (edge.variable) {
    if (auto element = data.child->get(*edge.variable)) {
      const EdgeKey key = VM_TRY_CTX(element->as_edge(*edge.variable, kEdgeMatched), kCreatePath);
      const auto arrow = graph.edge_id(key);
      if (!arrow)
        return fail(errors::IndexCorruption{"Edge exists in EdgeIndex without corresponding entry at EdgeToTypeIndex.",
                                            kEdgeMatched});
      const Uid arrow_uid = graph.types().uid(*arrow);
      found.type = VM_TRY_CTX(graph.type_from_uid(arrow_uid), kCreatePath);
      found.term = VM_TRY_CTX(graph.term_from_uid(arrow_uid), kCreatePath);
    }
  }

  if (j >= path.edges().size())
    return fail(out_of_range(j, path.edges().size(), "create path - edge data inference - match pattern"));
  const auto& pattern = path.edges()[j];
  VM_TRY(type_schema_step(graph, pattern, edge, data, found));
  VM_TRY(term_schema_step(graph, pattern, edge, data, found));

  const std::size_t n = data.nodes.size();
  if (j >= n) return fail(out_of_range(j, n, "create path - edge data inference - left node"));
  if (j + 1 >= n) return fail(out_of_range(j + 1, n, "create path - edge data inference - right node"));
  const NodeData& left = data.nodes[j];
  const NodeData& right = data.nodes[j + 1];

  if (left.type && right.type) {
    const auto [tail, head] = tail_and_head(edge, left, right);
    TypePtr inferred = typing::make_arrow(*tail->type, *head->type);
    if (!edge.type && !found.type) {
      found.type = std::move(inferred);
    } else {
      const TypePtr& known = edge.type ? *edge.type : *found.type;
      const auto* arrow = known->as_arrow();
      if (!arrow || !(*arrow == *inferred->as_arrow()))
        return fail(errors::InvalidType{"inferred type of an edge does not match the actual type of the edge"});
    }
  }

  if (!edge.term && !found.term && left.term && right.term) {
    const auto [tail, head] = tail_and_head(edge, left, right);
    found.term = function_when_applied_to(*head->term, *tail->term);
  }

  VM_TRY(constants_step(graph, constants, edge, found, kCreateNode));

  if (j >= data.edges.size())
    return fail(out_of_range(j, data.edges.size(), "create path - edge data inference - mutating edge data"));
  if (commit(data.edges[j], found, true)) requeue_edge_nodes(data, j);
  return {};
}

Status invalid(const PathPattern& path, const char* reason) {
  return fail(errors::InvalidPattern{path.pattern(), reason});
}

}  // namespace

// Created elements must not share the pattern's map: a later merge into one of
// them would otherwise show in every other element made from the pattern, and
// in the recorded pattern itself. Values copy without the interpreter (an
// opaque value's copy shares its handle), so this is safe on pool threads.
PropertyMap detached_copy(const std::optional<PropertyMap>& map) {
  if (!map) return PropertyMap();
  return map->copy();
}

PropertyMap edge_copy(const std::optional<PropertyMap>& map) {
  if (!map) return PropertyMap();
  return map->copy_shared();
}

NodeData NodeData::create(std::optional<std::string> variable, const std::optional<PropertyMap>& properties) {
  NodeData data{std::move(variable), std::nullopt, std::nullopt, detached_copy(properties)};
  return data;
}

EdgeData EdgeData::create(std::optional<std::string> variable, Direction direction,
                          const std::optional<PropertyMap>& properties) {
  EdgeData data{std::move(variable), std::nullopt, std::nullopt, edge_copy(properties)};
  data.direction = direction;
  return data;
}

PathData PathData::create(const PathPattern& path, MatchPtr parent) {
  PathData data{{}, {}, utils::DataQueue(path.nodes().size()), Match::create(std::move(parent)), {}};
  data.nodes.reserve(path.nodes().size());
  for (const auto& node : path.nodes()) data.nodes.push_back(NodeData::create(node.variable(), node.properties()));
  data.edges.reserve(path.edges().size());
  for (const auto& edge : path.edges())
    data.edges.push_back(EdgeData::create(edge.variable(), edge.direction(), edge.properties()));
  return data;
}

Status infer_path_data(Graph& graph, const PathPattern& path, PathData& data) {
  ConstantTerms constants(data.stored);
  while (auto item = data.queue.pop()) {
    if (item->is_node) {
      VM_TRY(node_pass(graph, path, data, constants, item->index));
    } else {
      VM_TRY(edge_pass(graph, path, data, constants, item->index));
    }
  }
  return {};
}

Status check_path_data(const PathPattern& path, const PathData& data) {
  for (const NodeData& node : data.nodes) {
    if (!node.type) return invalid(path, "Unable to infer the type of a node contained in the pattern");
    if (!node.type_matches_schema) return invalid(path, "Inferred type for node does not match the provided schema");
    if (node.term && !node.term_matches_schema)
      return invalid(path, "Inferred term for node does not match the provided schema");
  }
  for (const EdgeData& edge : data.edges) {
    if (!edge.term) return invalid(path, "Unable to infer the term of an edge contained in the pattern");
    if (!edge.type) return fail(errors::Infallible{});
    if (!typing::types_equal(*edge.type, edge.term->type()))
      return invalid(path, "Inferred type for edge does not match the type of the term of the edge");
    if (!edge.term_matches_schema) return invalid(path, "Inferred term for edge does not match the provided schema");
    if (!edge.type_matches_schema) return invalid(path, "Inferred type for edge does not match the provided schema");
  }
  return {};
}

}  // namespace velmora::graph
