// The graph store: nodes, edges, types and terms, the indexes between them and
// the graph's constants.
//
// A node is a type (its uid is the type's uid) carrying a property map; an edge
// is keyed by (start uid, end uid) and carries the term stored for its arrow
// type. Types and terms are stored flat under dense type ids
// (src/graph/store_rows.hpp) and never removed; values handed out are rebuilt
// on each call. Callers name everything by uid; ids stay inside the store.
//
// Every operation may be called from any thread, the pool's included. Type
// rows (and the term of each type, one atomic word) are read without locks
// once published; node rows and edge maps only under their shard's or
// stripe's lock, held while the row is used. Locks nest in one order: node
// shards (several at once in ascending shard order, for an edge's two ends or
// a removed node and its neighbours), then an edge stripe, then an index
// shard of the type table; a property map's own lock comes last. No store lock
// is held while a nested insertion runs, and rebuilding, storing and
// rendering a value, and propagation along a chain of edges, run in constant
// stack whatever the depth. Nothing here touches Python.
#pragma once

#include <absl/container/flat_hash_set.h>
#include <absl/container/inlined_vector.h>
#include <tbb/enumerable_thread_specific.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "constants.hpp"
#include "errors.hpp"
#include "graph/property_index.hpp"
#include "graph/store_rows.hpp"
#include "matches.hpp"
#include "patterns/path.hpp"
#include "patterns/term_schema.hpp"
#include "patterns/type_schema.hpp"
#include "properties.hpp"
#include "typing/term.hpp"
#include "typing/types.hpp"
#include "utils/sharded_map.hpp"
#include "utils/uid.hpp"

namespace velmora::graph {

using typing::Term;
using typing::TypePtr;

// SHA-256 of the concatenated parts. Any thread.
Uid sha256(std::initializer_list<std::span<const std::uint8_t>> parts);

// A type's stored form by uids: its uid is the digest of that form.
struct TypeRep {
  enum class Tag : std::uint8_t { Variable = 0, Arrow = 1 };
  Tag tag;
  std::string name;  // Variable
  Uid left{};        // Arrow
  Uid right{};       // Arrow

  static TypeRep variable(std::string name) { return {Tag::Variable, std::move(name), {}, {}}; }
  static TypeRep arrow(const Uid& left, const Uid& right) { return {Tag::Arrow, {}, left, right}; }
  // SHA-256 of "var:" + name, or of "arr:" + left + ":" + right (raw bytes).
  Uid uid() const;
};

// Set by every insertion of a new node or edge, nested ones included.
using CreatedFlag = std::shared_ptr<std::atomic<bool>>;
inline CreatedFlag new_created_flag() { return std::make_shared<std::atomic<bool>>(false); }

// The ids of the types one creation has stored, by type object. A creation
// hands the same shared type objects from inference to the insertions, and
// finding one here costs less than storing it again. Holds each type, so an
// address stays that type's while it is remembered. Belongs to one task.
class StoredTypes {
 public:
  std::optional<TypeId> find(const typing::Type* type) const {
    for (const auto& [known, id] : known_)
      if (known.get() == type) return id;
    return std::nullopt;
  }
  void add(const TypePtr& type, TypeId id) { known_.emplace_back(type, id); }

 private:
  absl::InlinedVector<std::pair<TypePtr, TypeId>, 8> known_;
};

// A shared set of node uids: a subgraph view.
using NodeUidSet = utils::ShardedSet<Uid, UidHash>;
using NodeUidSetPtr = std::shared_ptr<NodeUidSet>;

class Graph {
 public:
  explicit Graph(const std::vector<Constant>& constants = {});
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  // ---- types and terms -------------------------------------------------------

  // Stores a type and its sub-types; returns its uid. Cannot fail.
  Uid insert_type(const typing::Type& type);
  // The same, returning the id, with the types `stored` already knows
  // skipped and the ones stored here added to it.
  TypeId insert_type(const TypePtr& type, StoredTypes& stored);
  // Stores a term, its sub-terms and all their types, each replacing the term
  // stored for its type; returns the uid of the term's type. A term with a
  // sub-term of the same type as a term enclosing it would be stored as a
  // term that contains itself (the store keeps one term per type): of such a
  // term only the types are stored.
  Uid insert_term(const Term& term);
  // Errors: TypeNotFound; IndexCorruption for an arrow with a side that fails
  // to rebuild; a stored name that fails validation ("graph - type from
  // uid"). Any depth.
  Result<TypePtr> type_from_uid(const Uid& uid) const;
  // Errors: TermNotFound; IndexCorruption for a row that contains itself,
  // which only a store written around insert_term can hold; those of
  // type_from_uid and of the term constructors. Any depth.
  Result<Term> term_from_uid(const Uid& uid) const;
  // The name of a stored variable type; none for an arrow. TypeNotFound.
  Result<std::optional<std::string>> type_as_var(const Uid& uid) const;
  // The sides of a stored arrow type; none for a variable. TypeNotFound.
  Result<std::optional<std::pair<Uid, Uid>>> type_as_arrow(const Uid& uid) const;
  // The uid of an edge's arrow type. EdgeNotFound.
  Result<Uid> get_edge_type(const EdgeKey& key) const;

  // ---- look-ups by uid for matching, creation and the references ------------

  bool has_type(const Uid& uid) const { return types->find(uid).has_value(); }
  bool has_node(const Uid& uid) const;
  bool has_edge(const EdgeKey& key) const { return edge_id(key).has_value(); }
  // Whether a term is stored for the type `uid`.
  bool has_term(const Uid& uid) const;
  std::size_t type_count() const { return types->size(); }
  // The number of types with a stored term (a walk over the types).
  std::size_t term_count() const;
  std::size_t node_count() const { return nodes->size(); }
  std::size_t edge_count() const { return edges->size(); }
  // The id of a stored type; none when it is not stored.
  std::optional<TypeId> type_id(const Uid& uid) const { return types->find(uid); }
  // The id of the arrow type of the edge `key` (its uid digested from the
  // key); none when there is no such edge.
  std::optional<TypeId> edge_id(const EdgeKey& key) const;
  // The key of the edge whose arrow type is `arrow` (a stored arrow's id).
  EdgeKey edge_key(TypeId arrow) const { return {types->uid(types->left(arrow)), types->uid(types->right(arrow))}; }
  // fn(const PropertyMap&) under the node's (edge's) row lock, read; none
  // when there is no such node (edge). An edge whose map was never written
  // may be shown as an empty map of no row (see EdgeTable): a handle that
  // shares the edge's map comes from edge_properties.
  template <class Fn>
  auto with_node_properties(const Uid& uid, Fn&& fn) const
      -> std::optional<std::invoke_result_t<Fn, const PropertyMap&>> {
    const auto id = types->find(uid);
    if (!id) return std::nullopt;
    return nodes->with_read(*id, [&](const NodeRow& row) { return fn(row.properties); });
  }
  template <class Fn>
  auto with_edge_properties(const EdgeKey& key, Fn&& fn) const
      -> std::optional<std::invoke_result_t<Fn, const PropertyMap&>> {
    const auto id = edge_id(key);
    if (!id) return std::nullopt;
    return edges->with_read(*id, fn);
  }
  // The arrow-type ids of the edges that leave (`leaving`) or enter a node,
  // copied under its row's read lock; none when `uid` is not a node.
  std::optional<std::vector<TypeId>> node_edge_ids(const Uid& uid, bool leaving) const;
  // The same for the node whose type id is `id`.
  std::optional<std::vector<TypeId>> node_edge_ids(TypeId id, bool leaving) const;
  // Every node uid and every edge key, collected shard by shard on the pool;
  // `keep` filters the edges.
  std::vector<Uid> node_uids() const;
  // The same with each node's type id.
  std::vector<std::pair<Uid, TypeId>> node_uids_and_ids() const;
  std::vector<EdgeKey> edge_keys() const {
    std::vector<EdgeKey> out;
    for (const TypeId arrow : edge_arrows([](const EdgeKey&) { return true; })) out.push_back(edge_key(arrow));
    return out;
  }
  // The arrow-type ids of the edges whose keys `keep` accepts.
  template <class Keep>
  std::vector<TypeId> edge_arrows(Keep keep) const;

  // ---- insertion and removal -------------------------------------------------

  // Adds the node of `type` (keeping an existing node's map), stores `term`
  // when its type has none yet and propagates it along outgoing edges (a
  // chain of any length) and, for arrow-typed terms, into an edge. Returns
  // the node's uid. A term to store with a sub-term of the same type as a
  // term enclosing it fails with InvalidTerm before anything is stored but
  // types.
  Result<Uid> add_node(const TypePtr& type, std::optional<Term> term, PropertyMap properties,
                       const CreatedFlag& created, StoredTypes* stored = nullptr);
  // Adds (or replaces) the edge named by the arrow type of `term`; both ends
  // must be nodes, which is checked (under their shards' locks) before any
  // row of the edge is written. Returns the edge key. The same InvalidTerm as
  // add_node for its term.
  // Both insertions skip storing the types `stored` (if given) knows.
  Result<EdgeKey> add_edge(const Term& term, PropertyMap properties, const CreatedFlag& created,
                           StoredTypes* stored = nullptr);
  // The uid if the node was there and is now removed, none if absent. The
  // node, its edges and their entries in its neighbours' lists go in one
  // step, so any set of nodes and edges can be removed at once. Never fails.
  Result<std::optional<Uid>> remove_node(const Uid& uid);
  // The key if the edge was there and is now removed, none if absent. Never
  // fails.
  Result<std::optional<EdgeKey>> remove_edge(const EdgeKey& key);

  // ---- properties ------------------------------------------------------------

  // The stored handle itself (not a copy). NodeNotFound / EdgeNotFound.
  Result<PropertyMap> node_properties(const Uid& uid) const;
  Result<PropertyMap> edge_properties(const EdgeKey& key) const;
  // Overwrite: the row takes a copy of the given map, a map of its own. Merge:
  // the given map's entries are inserted into the stored map. Both under the
  // row's lock, which also keeps the property index in step.
  Status set_node_properties(const Uid& uid, const PropertyMap& map, bool overwrite);
  Status set_edge_properties(const EdgeKey& key, const PropertyMap& map, bool overwrite);

  // ---- text forms --------------------------------------------------------------

  // "A", "(A -> (B -> A))".
  Result<std::string> type_to_string(const Uid& uid) const;
  // The term stored for the type `uid`: "f", "((f x) y)".
  Result<std::string> term_to_string(const Uid& uid) const;
  // "Node(A:a {})", "Node(A: {})" for a node without a term.
  Result<std::string> node_to_string(const Uid& uid) const;
  // "Edge((A -> B):f {})".
  Result<std::string> edge_to_string(const EdgeKey& key) const;

  // ---- schema conversion and term inference ---------------------------------

  Result<TypePtr> type_schema_to_type(const patterns::TypeSchema& schema, const MatchPtr& m);
  Result<Term> term_schema_to_term(const patterns::TermSchema& schema, const MatchPtr& m);
  Result<TypePtr> pattern_to_type_recursive(const patterns::TypePattern& p, const MatchPtr& m);
  Result<Term> pattern_to_term_recursive(const patterns::TermPattern& p, const MatchPtr& m);
  Result<TypePtr> get_constant_type(const Constant& c, const std::vector<patterns::TypeSchema>& args,
                                    const MatchPtr& m);
  // A basic term named after a constant whose schema matches the stored type
  // `uid`; none when no constant fits.
  Result<std::optional<Term>> infer_term(const Uid& uid) const;
  // The same when the caller holds the stored type itself (`type` is the type
  // stored as row `id`), which saves rebuilding it from its rows.
  Result<std::optional<Term>> infer_term(TypeId id, const TypePtr& type) const;

  // ---- schema matching (src/graph/matches/type_schema, term_schema) ----------

  // The frame holding the check's bindings (m itself when it bound nothing),
  // or none when the stored type does not fit.
  Result<std::optional<MatchPtr>> check_type_matches(const Uid& uid, const patterns::TypePattern& pattern,
                                                     MatchPtr m) const;
  // The same for the stored row `id`, which must exist.
  Result<std::optional<MatchPtr>> check_type_matches(TypeId id, const patterns::TypePattern& pattern, MatchPtr m) const;
  // The same for the term stored under the type uid `uid`.
  Result<std::optional<MatchPtr>> check_term_matches(const Uid& uid, const patterns::TermPattern& pattern,
                                                     MatchPtr m) const;
  Result<MatchSet> match_type_schema(const patterns::TypeSchema& schema, const MatchSet& matches) const;
  Result<MatchSet> match_term_schema(const patterns::TermSchema& schema, const MatchSet& matches) const;

  // ---- path matching and creation (src/graph/matches/..., src/graph/create) ----

  // Extends every match of `matches` along the whole path; within `subset`
  // when there is one.
  Result<MatchSet> match_path_pattern(const patterns::PathPattern& path, MatchSet matches, NodeUidSetPtr subset) const;
  // The ids of the stored type variables that name the nodes of a path of
  // one or two nodes, node i's at i; empty where none was stored, and all
  // empty unless every node is named by one. A type's row is never removed,
  // so an id found stays right for as long as the graph lives.
  using PathVariables = std::array<std::optional<TypeId>, 2>;
  // Creates the path's missing nodes and edges for every match (within the
  // creation counters of `limit`), adding the nodes it hands to the store to
  // `subset` when there is one.
  Result<MatchSet> create_path(const patterns::PathPattern& path, MatchSet matches, NodeUidSetPtr subset);
  // The same for the root match alone, when nothing reads the matches made
  // (a query of one create, run for its effects): a plain path (see
  // graph/create.hpp) is then made without match frames, and the set
  // returned is null; any other path goes through create_path.
  // `known`: what prefetch_path_variables found for the path, if it ran.
  Result<MatchSet> create_root_path(const patterns::PathPattern& path, NodeUidSetPtr subset,
                                    const PathVariables& known = {});
  // Looks the stored variables among `names` up together and starts loading
  // their rows, so that variable_id answers them next without a look-up of
  // its own. At most the first kKeysAtOnce; a name not stored is remembered
  // as missed, so that variable_id adds it without looking it up again.
  // ids[i] is the id of names[i] when it is stored.
  void look_up_variables(std::span<const std::string_view> names, std::optional<TypeId>* ids);
  // Starts the look-up of the arrow tail -> head (both stored) for a storing
  // of it to come: its digest is taken now, and kept for that storing, and its
  // index slots are asked for. Changes nothing.
  void prefetch_arrow(TypeId tail, TypeId head);
  // Looks up the stored type variables that the path's nodes are given, and
  // takes the digests of the arrows between them, for a creation of the path
  // to come: their rows are asked for, and this thread keeps what it found
  // for that creation. Stores nothing. Returns the ids found (see
  // PathVariables).
  PathVariables prefetch_path_variables(const patterns::PathPattern& path);

  // ---- the tables ------------------------------------------------------------
  // Each a shared handle so that views and references can hold parts of the
  // store. Types are the rows everything else names by id: nodes by their
  // type's id, edges by their arrow type's id (whose sides are the edge's
  // ends), terms inside their type's row.

  std::shared_ptr<TypeTable> types;
  std::shared_ptr<NodeTable> nodes;
  std::shared_ptr<EdgeTable> edges;  // holds `types` too
  std::shared_ptr<const ConstantTable> constants;
  // Equality indexes over the node and edge maps; the operations above keep
  // them right under the row's lock (a node's shard write lock, an edge's
  // stripe write lock).
  std::shared_ptr<NodePropertyIndex> node_property_index;
  std::shared_ptr<EdgePropertyIndex> edge_property_index;

 private:
  // `handle`, when given, is the shared handle of `type`: with `stored`, the
  // type and its sides are looked up there first and added when new.
  TypeId store_type(const typing::Type& type, StoredTypes* stored = nullptr, const TypePtr* handle = nullptr);
  // The id of the variable type `name`, storing it when new.
  TypeId variable_id(const std::string& name);
  // The id of the arrow left -> right, storing it when new.
  TypeId arrow_id(TypeId left, TypeId right);
  // The id of the term's type, and whether the term was stored.
  std::pair<TypeId, bool> store_term(const Term& term, StoredTypes* stored = nullptr);
  // Gives `node` (a new term's type) the node row it lacks, setting `created`.
  void ensure_node(TypeId node, PropertyMap properties, const CreatedFlag& created);
  // Carries the term just stored for `start` along the edges that leave it,
  // and on from every node that gets a term that way.
  Status propagate(TypeId start, const CreatedFlag& created);
  // Adds the endpoint nodes of an arrow-typed term (with inferred terms) and
  // the edge it makes.
  Status add_arrow_term_edge(const Term& term, const CreatedFlag& created);
  Result<TypePtr> bound_type(const std::string& name, const MatchElement& element);
  Result<TypePtr> rebuild_type(TypeId id) const;
  // The name of the constant fitting the stored type `uid`, if any.
  Result<std::optional<std::string>> fitting_constant(const Uid& uid) const;
  // The same for the stored row `id` (`type` is that type): the index of the
  // fitting constant in the table's list, if any.
  Result<std::optional<std::size_t>> fitting_constant(TypeId id, const typing::Type& type) const {
    return fitting_constant(id, type.as_variable() != nullptr);
  }
  // The same, told only whether the row is a variable.
  Result<std::optional<std::size_t>> fitting_constant(TypeId id, bool variable) const;
  // What add_edge does once the term's type is stored and known to be the
  // arrow `arrow`: the edge between its sides, which must be nodes.
  Result<EdgeKey> link_edge(TypeId arrow, PropertyMap properties, const CreatedFlag& created);
  // add_edge for the term of `arrow` that is the constant `constant` (whose
  // name is valid): that term is stored as the arrow's, then the edge linked.
  Result<EdgeKey> add_constant_edge(TypeId arrow, std::size_t constant, PropertyMap properties,
                                    const CreatedFlag& created);

  // This store among all the stores the process ever made: it names the
  // store in per-thread memos, where an address could be reused.
  const std::uint64_t serial_;
  // The checks `term_from_uid` makes, without building: TermNotFound for the
  // first row without a term, and the failures of the names. Sets `reaches`
  // when the term refers to the row `watch`. Rows in `valid` passed these
  // checks before and are not walked again.
  Status check_term(TypeId id, TypeId watch, bool& reaches, const absl::flat_hash_set<TypeId>* valid = nullptr) const;
};

template <class Keep>
std::vector<TypeId> Graph::edge_arrows(Keep keep) const {
  tbb::enumerable_thread_specific<std::vector<TypeId>> parts;
  edges->for_each_parallel([&](TypeId arrow) {
    if (keep(edge_key(arrow))) parts.local().push_back(arrow);
  });
  std::vector<TypeId> out;
  for (auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

using GraphPtr = std::shared_ptr<Graph>;

}  // namespace velmora::graph
