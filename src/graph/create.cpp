// Path creation: a path's nodes and edges added for every match, under the
// creation counters, and the shortcuts for plain paths.
#include "graph/create.hpp"

#include <tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "constants.hpp"
#include "graph/schema.hpp"
#include "parallel.hpp"

namespace velmora::graph {

using patterns::Direction;
using patterns::PathPattern;

namespace {

constexpr const char* kCreatePath = "graph - create path";

// The name a node pattern's type schema is, when it is one name that `m`
// (if any) leaves unbound and the node has no variable and no term schema;
// else null.
const std::string* plain_type_name(const patterns::NodePattern& node, const Match* m) {
  if (node.variable() || node.term_schema() || !node.type_schema()) return nullptr;
  const auto* variable = node.type_schema()->pattern().get<patterns::TypePattern::Variable>();
  if (!variable || (m && m->contains_key(variable->name))) return nullptr;
  return &variable->name;
}

// Whether an edge pattern takes its type and term from its nodes alone: no
// variable, no schema, and a direction.
bool plain_edge(const patterns::EdgePattern& edge) {
  return !edge.variable() && !edge.type_schema() && !edge.term_schema() && edge.direction() != Direction::Any;
}

// The constant term of a node's type `name` (stored here, as the queue would
// store it), or nothing when the queue must decide: the look-up failed.
Result<std::optional<Term>> plain_node_term(Graph& graph, const std::string& name, TypePtr& type, StoredTypes& stored) {
  type = typing::make_type(typing::Variable{name});
  return infer_term(graph, graph.insert_type(type, stored), type);
}

// What the inference of a plain path finds: the nodes' types and terms, and
// for an edge its arrow and term.
struct PlainPath {
  std::array<TypePtr, 2> types;
  std::array<std::optional<Term>, 2> terms;
  TypePtr arrow;
  std::optional<Term> edge_term;
};

// The inference of a plain path, without the queue: one node, or two nodes
// and the edge between them, each node typed by a schema that is one unbound
// name (see plain_type_name), the edge with no variable and no schema,
// running forward or backward. On such a path the queue takes the last
// node's constant, then the first's, then the edge's arrow and its constant;
// when neither node of an edge has a constant term, nothing more is learned.
// Those steps are taken here in that order. False where the path is not plain
// or a step found anything else (a node of an edge with a term, an edge with
// none or with one of another type, a failure): the queue then starts over,
// and it stores again only what is stored already and meets the same answers.
bool infer_plain(Graph& graph, const PathPattern& path, const Match* bound, StoredTypes& stored, PlainPath& out) {
  const std::size_t n = path.nodes().size();
  if (n > 2) return false;
  std::array<const std::string*, 2> names{};
  for (std::size_t i = 0; i < n; ++i)
    if (!(names[i] = plain_type_name(path.nodes()[i], bound))) return false;
  for (std::size_t k = n; k-- > 0;) {
    auto term = plain_node_term(graph, *names[k], out.types[k], stored);
    if (!term || (n == 2 && *term)) return false;
    out.terms[k] = std::move(*term);
  }
  if (n < 2) return true;
  const auto& edge = path.edges()[0];
  if (!plain_edge(edge)) return false;
  const bool forward = edge.direction() == Direction::Forward;
  out.arrow = typing::make_arrow(out.types[forward ? 0 : 1], out.types[forward ? 1 : 0]);
  auto term = infer_term(graph, graph.insert_type(out.arrow, stored), out.arrow);
  if (!term || !*term || !typing::types_equal(out.arrow, (*term)->type())) return false;
  out.edge_term = std::move(**term);
  return true;
}

// The records of a plain path, filled from its inference (see infer_plain);
// false, with no record touched, where infer_plain is.
bool infer_plain_path(Graph& graph, const PathPattern& path, PathData& data) {
  const std::size_t n = path.nodes().size();
  if (data.nodes.size() != n || data.edges.size() + 1 != n) return false;
  PlainPath plain;
  if (!infer_plain(graph, path, data.child.get(), data.stored, plain)) return false;
  if (n == 2) {
    EdgeData& record = data.edges[0];
    record.type = std::move(plain.arrow);
    record.term = std::move(plain.edge_term);
    record.type_matches_schema = record.term_matches_schema = true;
  }
  for (std::size_t i = 0; i < n; ++i) {
    NodeData& record = data.nodes[i];
    record.type = std::move(plain.types[i]);
    record.term = std::move(plain.terms[i]);
    record.type_matches_schema = record.term_matches_schema = true;
  }
  return true;
}

// The names of the type variables that the path's nodes are given, at most
// as many as `names` holds.
std::size_t path_variables(const PathPattern& path, std::span<std::string_view, kKeysAtOnce> names) {
  std::size_t count = 0;
  for (const auto& node : path.nodes())
    if (const auto& schema = node.type_schema())
      if (const auto* variable = schema->pattern().get<patterns::TypePattern::Variable>())
        if (count < names.size()) names[count++] = variable->name;
  return count;
}

// Starts the look-ups of the arrows the path's edges will most likely take:
// an edge with no type schema joins its nodes' types, here the stored
// variables `ids` (node i's at i). Only a guess: nothing is stored.
void prefetch_arrows(Graph& graph, const PathPattern& path, std::span<const std::optional<TypeId>> ids) {
  const auto& edges = path.edges();
  for (std::size_t j = 0; j < edges.size() && j + 1 < ids.size(); ++j) {
    const auto& edge = edges[j];
    if (edge.type_schema() || edge.direction() == Direction::Any || !ids[j] || !ids[j + 1]) continue;
    const bool forward = edge.direction() == Direction::Forward;
    graph.interner().prefetch_arrow(forward ? *ids[j] : *ids[j + 1], forward ? *ids[j + 1] : *ids[j]);
  }
}

// Looks the path's named types up together, so that their misses overlap,
// and takes the digests of the arrows its edges will most likely store. True
// when every node is named by a type variable: ids[i] is then node i's.
bool look_up_path(Graph& graph, const PathPattern& path, std::array<std::optional<TypeId>, kKeysAtOnce>& ids) {
  std::array<std::string_view, kKeysAtOnce> names;
  const std::size_t count = path_variables(path, names);
  graph.interner().look_up_variables(std::span(names.data(), count), ids.data());
  if (count != path.nodes().size()) return false;
  prefetch_arrows(graph, path, std::span(ids.data(), count));
  return true;
}

// An edge between a node that the match binds and a plain node, worked out
// on the store's rows: the bound node's row and the other node's and the
// arrow's ids, and the constant that gives the edge its term.
struct BoundEdge {
  std::size_t bound = 0;  // the bound node's place in the path
  std::array<TypeId, 2> nodes{};
  TypeId arrow = 0;
  std::size_t constant = 0;
};

// The row of the node that `node` (a pattern with a variable and no schema)
// is bound to in `m`, when that node is stored under a variable type without
// a term; else none. Only reads.
std::optional<TypeId> bound_variable_row(const Graph& graph, const patterns::NodePattern& node, const Match& m) {
  if (!node.variable() || node.type_schema() || node.term_schema()) return std::nullopt;
  const StoredElement* element = m.find(*node.variable());
  if (!element || element->kind() != MatchElement::Kind::Node) return std::nullopt;
  const auto id = graph.types().find(element->uid());
  if (!id || !graph.types().is_variable(*id) || !graph.types().has_node(*id) || !graph.types().term(*id).none())
    return std::nullopt;
  return id;
}

// Whether the path is, as a pattern, an edge that infer_bound_edge may work
// out: a node given by its variable alone, and a node named by one type
// variable.
bool bound_edge_pattern(const PathPattern& path) {
  if (path.nodes().size() != 2 || !plain_edge(path.edges()[0])) return false;
  const auto& nodes = path.nodes();
  for (std::size_t i = 0; i < 2; ++i)
    if (nodes[i].variable() && !nodes[i].type_schema() && !nodes[i].term_schema() &&
        plain_type_name(nodes[1 - i], nullptr))
      return true;
  return false;
}

// The inference of a path of two nodes, one bound by `m` (see
// bound_variable_row) and one plain (see plain_type_name), joined by a plain
// edge: the queue then takes the plain node's type and its constant (there
// must be none), the bound node's type and its constant (none either), and
// the arrow between them and its constant, which gives the edge its term.
// These steps are taken here on the rows, with the same stores in the same
// order. None where the path is not of this shape or a step finds anything
// else: the queue then starts over and stores nothing new before it meets
// the same answers.
std::optional<BoundEdge> infer_bound_edge(Graph& graph, const PathPattern& path, const Match& m) {
  if (path.nodes().size() != 2 || !plain_edge(path.edges()[0])) return std::nullopt;
  BoundEdge out;
  std::array<std::optional<TypeId>, 2> rows;
  for (std::size_t i = 0; i < 2; ++i) rows[i] = bound_variable_row(graph, path.nodes()[i], m);
  if (rows[0].has_value() == rows[1].has_value()) return std::nullopt;
  out.bound = rows[0] ? 0 : 1;
  const std::size_t free = 1 - out.bound;
  const std::string* name = plain_type_name(path.nodes()[free], &m);
  if (!name) return std::nullopt;
  out.nodes[out.bound] = *rows[out.bound];
  // The queue's order: the last node, then the first.
  for (std::size_t k = 2; k-- > 0;) {
    if (k == free) out.nodes[k] = graph.interner().variable_id(*name);
    const auto fits = fitting_constant(graph, out.nodes[k], true);
    if (!fits || *fits) return std::nullopt;
  }
  const bool forward = path.edges()[0].direction() == Direction::Forward;
  out.arrow = graph.interner().arrow_id(out.nodes[forward ? 0 : 1], out.nodes[forward ? 1 : 0]);
  const auto fits = fitting_constant(graph, out.arrow, false);
  if (!fits || !*fits || !graph.constants().has_valid_name(**fits)) return std::nullopt;
  out.constant = **fits;
  return out;
}

// The unit for one match's creation from its nearest counter (none:
// unlimited), drawn once its inference succeeded; may wait while every
// remaining unit is out. False when the count is spent: the match then drops
// out.
bool draw_unit(utils::CreationCounter* counter, std::optional<utils::SlotGuard>& unit) {
  if (!counter) return true;
  auto drawn = counter->acquire();
  if (!drawn) return false;
  unit.emplace(std::move(*drawn));
  return true;
}

// The end of one match's creation: its entry, and the unit released. A spent
// unit is released before the entry is recorded, an unspent one only after
// it, so no other creation takes the unit over before this match's entry
// exists.
void record_match(std::optional<utils::SlotGuard>& unit, bool created, MatchEntry entry, MatchSetMap& result,
                  std::atomic<std::uint64_t>& next_id) {
  if (unit && created) {
    unit->consume();
    unit.reset();
  }
  result.insert(next_id.fetch_add(1, std::memory_order_relaxed), std::move(entry));
  unit.reset();
}

// One match's creation of a path that infer_bound_edge worked out: the plain
// node (its map copied only when its row is new) and the edge, on the rows.
Status create_bound_edge(Graph& graph, const PathPattern& path, const BoundEdge& edge, const MatchPtr& input,
                         utils::CreationCounter* counter, const NodeUidSetPtr& subset, MatchSetMap& result,
                         std::atomic<std::uint64_t>& next_id) {
  std::optional<utils::SlotGuard> unit;
  if (!draw_unit(counter, unit)) return {};
  // Neither insertion runs nested work or keeps the flag past its call.
  std::atomic<bool> flag{false};
  const CreatedFlag created(std::shared_ptr<void>(), &flag);
  const std::size_t free = 1 - edge.bound;
  const TypeId node = edge.nodes[free];
  graph.ensure_node_copying(node, path.nodes()[free].properties(), created);
  const Uid& uid = graph.types().uid(node);
  if (subset) subset->insert(uid);
  VM_TRY_CTX(graph.add_constant_edge(edge.arrow, edge.constant, edge_copy(path.edges()[0].properties()), created),
             kCreatePath);
  record_match(unit, flag.load(), MatchEntry{uid, Match::create(input)}, result, next_id);
  return {};
}

// One match's creation. The unit, if any, is held only while the nodes and
// edges are written, and released on every way out: spent when something new
// was added, given back otherwise (and on failure).
Status create_for_match(Graph& graph, const PathPattern& path, const MatchPtr& input, const NodeUidSetPtr& subset,
                        MatchSetMap& result, std::atomic<std::uint64_t>& next_id) {
  // Counters are set by steps that ran before this one: the answer holds for
  // the whole creation. The count guard only looks: a spent count is final,
  // and a match that meets one creates nothing.
  utils::CreationCounter* const counter = input->nearest_counter();
  if (counter && counter->spent()) return {};
  if (const auto edge = infer_bound_edge(graph, path, *input))
    return create_bound_edge(graph, path, *edge, input, counter, subset, result, next_id);

  // The path's names were looked up when it was recorded; a run much later,
  // or on another thread, finds them again here.
  PathData data = PathData::create(path, input);
  std::array<std::optional<TypeId>, kKeysAtOnce> ids;
  look_up_path(graph, path, ids);
  if (!infer_plain_path(graph, path, data)) VM_TRY(infer_path_data(graph, path, data));
  VM_TRY(check_path_data(path, data));

  std::optional<utils::SlotGuard> unit;
  if (!draw_unit(counter, unit)) return {};

  const CreatedFlag created = new_created_flag();
  Uid last_node{};
  // Waiting rule: no thread may wait for a unit while it, or a task suspended
  // below it on its stack, holds a unit of the same counter. The insertions
  // below run nested parallel work (term propagation) while this thread holds
  // its unit; were the thread free to pick up unrelated tasks while it waits
  // for that work, it could start another creation that blocks in `acquire`
  // for the very unit held further down its own stack. Inside `isolate` the
  // thread runs only tasks spawned by these insertions (and tasks stolen from
  // them stay isolated too), so it finishes and releases its unit however
  // many other threads are blocked waiting for one.
  Status stored = tbb::this_task_arena::isolate([&]() -> Status {
    for (NodeData& node : data.nodes) {
      if (node.variable && data.child->contains_key(*node.variable)) continue;
      const Uid uid = VM_TRY_CTX(
          graph.add_node(*node.type, std::move(node.term), std::move(node.properties), created, &data.stored),
          kCreatePath);
      if (subset) subset->insert(uid);
      last_node = uid;
      if (node.variable) VM_TRY_CTX(data.child->insert(*node.variable, MatchElement::node(uid)), kCreatePath);
    }
    for (EdgeData& edge : data.edges) {
      if (edge.variable && data.child->contains_key(*edge.variable)) continue;
      const EdgeKey key =
          VM_TRY_CTX(graph.add_edge(*edge.term, std::move(edge.properties), created, &data.stored), kCreatePath);
      if (edge.variable) VM_TRY_CTX(data.child->insert(*edge.variable, MatchElement::edge(key)), kCreatePath);
    }
    return {};
  });
  if (!stored) return stored;
  record_match(unit, created->load(), MatchEntry{last_node, data.child}, result, next_id);
  return {};
}

}  // namespace

PathVariables prefetch_path_variables(Graph& graph, const PathPattern& path) {
  std::array<std::optional<TypeId>, kKeysAtOnce> ids;
  const bool all_named = look_up_path(graph, path, ids);
  PathVariables found;
  if (all_named && path.nodes().size() <= found.size()) std::copy_n(ids.begin(), path.nodes().size(), found.begin());
  // An edge's ends get its arrow in their lists: those are asked for too.
  if (path.edges().empty()) return found;
  for (const auto& id : ids)
    if (id) graph.prefetch_edge_lists(*id);
  return found;
}

Result<MatchSet> create_root_path(Graph& graph, const PathPattern& path, NodeUidSetPtr subset,
                                  const PathVariables& known) {
  const std::size_t n = path.nodes().size();
  if (n > 2 || !path.validate()) return create_path(graph, path, root_match_set(), std::move(subset));
  // The names that were found when the path was recorded need no look-up:
  // the others are looked up here, as a run long after the recording, or on
  // another thread, finds them.
  if (!std::all_of(known.begin(), known.begin() + n, [](const auto& id) { return id.has_value(); })) {
    std::array<std::optional<TypeId>, kKeysAtOnce> ids;
    look_up_path(graph, path, ids);
  }
  // Node k's type: the id found at recording, else its variable's id (stored
  // when new).
  const auto node_type = [&](std::size_t k, const std::string& name) {
    return known[k] ? *known[k] : graph.interner().variable_id(name);
  };
  // The root match has no counter: nothing reads the flag, and nothing
  // keeps it past these calls.
  std::atomic<bool> flag{false};
  const CreatedFlag created(std::shared_ptr<void>(), &flag);

  if (n == 2) {
    // An edge between two plain nodes needs no type or term object: the
    // steps of infer_plain are taken on the rows, with the same stores in the
    // same order, and the insertions are those add_node and add_edge make of
    // their results (nodes without terms, the edge's constant as its term).
    const std::array<const std::string*, 2> node_names{plain_type_name(path.nodes()[0], nullptr),
                                                       plain_type_name(path.nodes()[1], nullptr)};
    const auto& edge = path.edges()[0];
    std::array<TypeId, 2> node{};
    bool plain = node_names[0] && node_names[1];
    for (std::size_t k = 2; plain && k-- > 0;) {
      node[k] = node_type(k, *node_names[k]);
      const auto fits = fitting_constant(graph, node[k], true);
      plain = fits && !*fits;
    }
    plain = plain && plain_edge(edge);
    std::optional<std::size_t> constant;
    TypeId arrow = 0;
    if (plain) {
      const bool forward = edge.direction() == Direction::Forward;
      arrow = graph.interner().arrow_id(node[forward ? 0 : 1], node[forward ? 1 : 0]);
      const auto fits = fitting_constant(graph, arrow, false);
      if (fits && *fits && graph.constants().has_valid_name(**fits)) constant = **fits;
    }
    if (!constant) return create_path(graph, path, root_match_set(), std::move(subset));
    // A node's block is copied only for a node that is new.
    for (std::size_t i = 0; i < n; ++i) {
      graph.ensure_node_copying(node[i], path.nodes()[i].properties(), created);
      if (subset) subset->insert(graph.types().uid(node[i]));
    }
    VM_TRY_CTX(graph.add_constant_edge(arrow, *constant, edge_copy(edge.properties()), created), kCreatePath);
    return MatchSet();
  }

  // A lone node: on the rows too, unless a constant fits its type (the node
  // then gets that constant's term, made as infer_plain makes it).
  if (const std::string* name = plain_type_name(path.nodes()[0], nullptr)) {
    const TypeId node = node_type(0, *name);
    const auto fits = fitting_constant(graph, node, true);
    if (fits && !*fits) {
      graph.ensure_node_copying(node, path.nodes()[0].properties(), created);
      if (subset) subset->insert(graph.types().uid(node));
      return MatchSet();
    }
  }
  StoredTypes stored;
  PlainPath plain;
  if (!infer_plain(graph, path, nullptr, stored, plain))
    return create_path(graph, path, root_match_set(), std::move(subset));
  const Uid uid = VM_TRY_CTX(graph.add_node(plain.types[0], std::move(plain.terms[0]),
                                            detached_copy(path.nodes()[0].properties()), created, &stored),
                             kCreatePath);
  if (subset) subset->insert(uid);
  return MatchSet();
}

Result<MatchSet> create_path(Graph& graph, const PathPattern& path, MatchSet matches, NodeUidSetPtr subset) {
  MatchSet result = new_match_set();
  VM_TRY_CTX(path.validate(), kCreatePath);
  std::atomic<std::uint64_t> next_id{0};
  // Every creation of such a path links its edge into the lists of one node,
  // the named one (unless matches bind its name), under that node's shard
  // lock: the creations cannot overlap, and spread over the pool they would
  // only wait for one another. They run on the calling thread, in the set's
  // order, up to the first error.
  if (bound_edge_pattern(path)) {
    Status status;
    matches->for_each_shard([&](const MatchSetMap::Table& table) {
      for (const auto& [id, entry] : table) {
        if (!status) return;
        status = create_for_match(graph, path, entry.match, subset, *result, next_id);
      }
    });
    VM_TRY(status);
    return result;
  }
  VM_TRY(try_for_each_entry(*matches, [&](const std::uint64_t&, const MatchEntry& entry) -> Status {
    return create_for_match(graph, path, entry.match, subset, *result, next_id);
  }));
  return result;
}

}  // namespace velmora::graph
