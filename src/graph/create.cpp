// Path creation: inference and checks of a path's types and terms for one
// match, then the creation of its nodes and edges under the creation counters.
#include "graph/create.hpp"

#include <tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "constants.hpp"
#include "graph/matches/schemas.hpp"
#include "graph/schema.hpp"
#include "parallel.hpp"
#include "utils/panic.hpp"

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

// Created elements must not share the pattern's map: a later merge into one of
// them would otherwise show in every other element made from the pattern, and
// in the recorded pattern itself. Values copy without the interpreter (an
// opaque value's copy shares its handle), so this is safe on pool threads.
PropertyMap detached_copy(const std::optional<PropertyMap>& map) {
  if (!map) return PropertyMap();
  return map->copy();
}

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

Status invalid(const PathPattern& path, const char* reason) {
  return fail(errors::InvalidPattern{path.pattern(), reason});
}

// The count guard. A frame exposes no read-only view of its nearest counter,
// so the guard asks that counter for a unit and gives it straight back: a
// counter with a free unit hands one out at once and gets it back unspent, a
// spent counter answers nothing at once, and only while every remaining unit
// is held by other creations does the guard wait, as the later draw would.
// The waiting is safe here: this task holds no unit, and no unit holder sits
// below it on this thread's stack (holders are isolated, see create_for_match).
bool count_spent(const Match& input) {
  auto probe = input.get_counter();
  return probe && !*probe;
}

// Whether a frame of the chain has a counter: without one, asking for a unit
// would only build the report of its absence.
bool chain_has_counter(const Match& input) {
  for (const Match* frame = &input; frame; frame = frame->parent().get())
    if (frame->has_own_counter()) return true;
  return false;
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

// One match's creation. The unit, if any, is held only while the nodes and
// edges are written, and released on every way out: spent when something new
// was added, given back otherwise (and on failure).
Status create_for_match(Graph& graph, const PathPattern& path, const MatchPtr& input, const NodeUidSetPtr& subset,
                        MatchSetMap& result, std::atomic<std::uint64_t>& next_id) {
  // Counters are set by steps that ran before this one: the answer holds for
  // the whole creation.
  const bool counted = chain_has_counter(*input);
  if (counted && count_spent(*input)) return {};

  // The path's names were looked up when it was recorded; a run much later,
  // or on another thread, finds them again here.
  PathData data = PathData::create(path, input);
  std::array<std::optional<TypeId>, kKeysAtOnce> ids;
  look_up_path(graph, path, ids);
  if (!infer_plain_path(graph, path, data)) VM_TRY(infer_path_data(graph, path, data));
  VM_TRY(check_path_data(path, data));

  std::optional<utils::SlotGuard> unit;
  if (counted) {
    auto drawn = input->get_counter();
    if (drawn) {
      if (!*drawn) return {};
      unit.emplace(std::move(**drawn));
    } else if (!drawn.error().current_context().is<errors::CreationCounterNotFound>()) {
      return std::unexpected(std::move(drawn).error().attach(kCreatePath));
    }
  }

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

  // A spent unit is released before the entry is recorded, an unspent one only
  // after it, so no other creation takes the unit over before this match's
  // entry exists.
  if (unit && created->load()) {
    unit->consume();
    unit.reset();
  }
  result.insert(next_id.fetch_add(1, std::memory_order_relaxed), MatchEntry{last_node, data.child});
  unit.reset();
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

NodeData NodeData::create(std::optional<std::string> variable, const std::optional<PropertyMap>& properties) {
  NodeData data{std::move(variable), std::nullopt, std::nullopt, detached_copy(properties)};
  return data;
}

EdgeData EdgeData::create(std::optional<std::string> variable, Direction direction,
                          const std::optional<PropertyMap>& properties) {
  EdgeData data{std::move(variable), std::nullopt, std::nullopt, detached_copy(properties)};
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

Result<MatchSet> create_root_path(Graph& graph, const PathPattern& path, NodeUidSetPtr subset,
                                  const PathVariables& known) {
  const std::size_t n = path.nodes().size();
  if (n > 2 || !path.validate()) return create_path(graph, path, root_match_set(), std::move(subset));
  // As in create_for_match.
  std::array<PropertyMap, 2> maps;
  for (std::size_t i = 0; i < n; ++i) maps[i] = detached_copy(path.nodes()[i].properties());
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
    for (std::size_t i = 0; i < n; ++i) {
      graph.ensure_node(node[i], std::move(maps[i]), created);
      if (subset) subset->insert(graph.types().uid(node[i]));
    }
    VM_TRY_CTX(graph.add_constant_edge(arrow, *constant, detached_copy(edge.properties()), created), kCreatePath);
    return MatchSet();
  }

  // A lone node: on the rows too, unless a constant fits its type (the node
  // then gets that constant's term, made as infer_plain makes it).
  if (const std::string* name = plain_type_name(path.nodes()[0], nullptr)) {
    const TypeId node = node_type(0, *name);
    const auto fits = fitting_constant(graph, node, true);
    if (fits && !*fits) {
      graph.ensure_node(node, std::move(maps[0]), created);
      if (subset) subset->insert(graph.types().uid(node));
      return MatchSet();
    }
  }
  StoredTypes stored;
  PlainPath plain;
  if (!infer_plain(graph, path, nullptr, stored, plain))
    return create_path(graph, path, root_match_set(), std::move(subset));
  const Uid uid = VM_TRY_CTX(
      graph.add_node(plain.types[0], std::move(plain.terms[0]), std::move(maps[0]), created, &stored),
                             kCreatePath);
  if (subset) subset->insert(uid);
  return MatchSet();
}

Result<MatchSet> create_path(Graph& graph, const PathPattern& path, MatchSet matches, NodeUidSetPtr subset) {
  MatchSet result = new_match_set();
  VM_TRY_CTX(path.validate(), kCreatePath);
  std::atomic<std::uint64_t> next_id{0};
  VM_TRY(try_for_each_entry(*matches, [&](const std::uint64_t&, const MatchEntry& entry) -> Status {
    return create_for_match(graph, path, entry.match, subset, *result, next_id);
  }));
  return result;
}

}  // namespace velmora::graph
