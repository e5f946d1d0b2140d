// The graph store: nodes, edges, types and terms, the indexes between them and
// the graph's constants.
//
// A node is a type (its uid is the type's uid) carrying a property map; an edge
// is keyed by (start uid, end uid) and carries the term stored for its arrow
// type. Types and terms are stored flat under dense type ids and never
// removed; values handed out are rebuilt on each call. Callers outside the
// store name everything by uid; matching and creation, which walk many rows,
// also use the ids this header hands out, which stay right for the store's
// whole life.
//
// `Graph` owns the tables and keeps them private. Its work is spread over
// files by responsibility:
// - graph/store.cpp: the tables and the read interface, including the one
//   reader of a node's edge lists (`read_edge_lists`);
// - graph/intern.{hpp,cpp}: uids, storing types and terms (`Interner`);
// - graph/read.cpp: rebuilding types and terms, term checks, text forms;
// - graph/write.cpp: insertion with term propagation, linking, removal,
//   property updates, and the order in which the store's locks nest;
// - graph/schema.{hpp,cpp}: schema conversion and term inference, free
//   functions over this class;
// - graph/inspect.hpp: counts, listings and fault injection for tests and
//   benchmarks only.
// Matching (graph/matches/) and creation (graph/create) are free functions
// over this class as well.
//
// Every operation may be called from any thread, the pool's included. Type
// rows (and the term of each type, one atomic word) are read without locks
// once published; node rows and edge maps only under their shard's or
// stripe's lock, held while the row is used. No store lock is held while a
// nested insertion runs, and rebuilding, storing and rendering a value, and
// propagation along a chain of edges, run in constant stack whatever the
// depth. Nothing here touches Python.
#pragma once

#include <tbb/enumerable_thread_specific.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "graph/edge_lists.hpp"
#include "graph/edge_table.hpp"
#include "graph/intern.hpp"
#include "graph/node_table.hpp"
#include "graph/property_index.hpp"
#include "graph/type_table.hpp"
#include "properties.hpp"
#include "typing/term.hpp"
#include "typing/types.hpp"
#include "utils/sharded_map.hpp"
#include "utils/uid.hpp"

namespace velmora {
class Constant;
class ConstantTable;
}  // namespace velmora

namespace velmora::graph {

// Set by every insertion of a new node or edge, nested ones included.
using CreatedFlag = std::shared_ptr<std::atomic<bool>>;
inline CreatedFlag new_created_flag() { return std::make_shared<std::atomic<bool>>(false); }

// A shared set of node uids: a subgraph view.
using NodeUidSet = utils::ShardedSet<Uid, UidHash>;
using NodeUidSetPtr = std::shared_ptr<NodeUidSet>;

class Graph {
 public:
  Graph();
  explicit Graph(const std::vector<Constant>& constants);
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;
  ~Graph();

  // ---- the read interface (graph/store.cpp) -----------------------------------

  // The type rows: read without locks (see TypeTable).
  const TypeTable& types() const { return *types_; }
  const ConstantTable& constants() const { return *constants_; }
  const NodePropertyIndex& node_property_index() const { return node_property_index_; }
  const EdgePropertyIndex& edge_property_index() const { return edge_property_index_; }

  // The id of a stored type; none when it is not stored.
  std::optional<TypeId> type_id(const Uid& uid) const { return types_->find(uid); }
  bool has_node(const Uid& uid) const;
  // Whether the type `id` has a node row, asked under its shard's lock.
  bool has_node(TypeId id) const { return nodes_.contains(id); }
  // found[i] = whether ids[i] has a node row, for every i whose id is not
  // `skip`; each shard is read-locked once for all of them.
  void has_nodes(std::span<const TypeId> ids, TypeId skip, char* found) const;
  // Whether a term is stored for the type `uid`.
  bool has_term(const Uid& uid) const;
  // A walk over the node shards, each under its lock.
  std::size_t node_count() const { return nodes_.size(); }
  std::size_t edge_count() const { return edges_.size(); }
  // The id of the arrow type of the edge `key` (its uid digested from the
  // key); none when there is no such edge.
  std::optional<TypeId> edge_id(const EdgeKey& key) const;
  // Whether the arrow `id` names an edge, read from its type row.
  bool is_edge(TypeId arrow) const { return edges_.contains(arrow); }
  // The key of the edge whose arrow type is `arrow` (a stored arrow's id).
  EdgeKey edge_key(TypeId arrow) const { return {types_->uid(types_->left(arrow)), types_->uid(types_->right(arrow))}; }

  // fn(const PropertyMap&) under the node's (edge's) row lock, read; none
  // when there is no such node (edge). An edge whose map was never written
  // may be shown as an empty map of no row (see EdgeTable): a handle that
  // shares the edge's map comes from edge_properties.
  template <class Fn>
  auto with_node_properties(const Uid& uid, Fn&& fn) const
      -> std::optional<std::invoke_result_t<Fn, const PropertyMap&>> {
    const auto id = types_->find(uid);
    if (!id) return std::nullopt;
    return with_node_properties(*id, fn);
  }
  template <class Fn>
  auto with_node_properties(TypeId id, Fn&& fn) const -> std::optional<std::invoke_result_t<Fn, const PropertyMap&>> {
    return nodes_.with_read(id, [&](const NodeRow& row) { return fn(row.properties); });
  }
  template <class Fn>
  auto with_edge_properties(const EdgeKey& key, Fn&& fn) const
      -> std::optional<std::invoke_result_t<Fn, const PropertyMap&>> {
    const auto id = edge_id(key);
    if (!id) return std::nullopt;
    return with_edge_properties(*id, fn);
  }
  template <class Fn>
  auto with_edge_properties(TypeId arrow, Fn&& fn) const
      -> std::optional<std::invoke_result_t<Fn, const PropertyMap&>> {
    return edges_.with_read(arrow, fn);
  }

  // The edge lists of the nodes `ids` on one side (`leaving`: the edges that
  // leave them), copied out under their rows' read locks into `out`, in the
  // order of `ids`; a node without a row, or whose id is `skip`, has none
  // (`found` false). A long run is read shard by shard, one lock a shard for
  // all of its nodes in that shard, each shard's rows and then their lists
  // asked for together; a short one node by node. Never two locks at once.
  void read_edge_lists(std::span<const TypeId> ids, bool leaving, TypeId skip, EdgeLists& out) const;
  // Starts loading the edge lists of the node `id`, ahead of an insertion
  // that writes them.
  void prefetch_edge_lists(TypeId id) const;

  // Every node's uid and id, collected shard by shard on the pool.
  std::vector<std::pair<Uid, TypeId>> node_uids_and_ids() const;
  // One bit per id below `limit` (words of 64, low bit first), set for every
  // stored node: a snapshot taken shard by shard on the pool.
  std::unique_ptr<std::uint64_t[]> node_bits(TypeId limit) const;
  // The arrow-type ids of the edges whose keys `keep` accepts.
  template <class Keep>
  std::vector<TypeId> edge_arrows(Keep keep) const;

  // ---- types and terms (graph/intern.cpp, graph/read.cpp) ---------------------

  // Storing, and the ids of stored variables and arrows.
  Interner& interner() { return interner_; }
  // Stores a type and its sub-types; returns its uid. Cannot fail.
  Uid insert_type(const typing::Type& type);
  // The same, returning the id, with the types `stored` already knows
  // skipped and the ones stored here added to it.
  TypeId insert_type(const TypePtr& type, StoredTypes& stored);
  // Stores a term, its sub-terms and all their types (see Interner::store_term);
  // returns the uid of the term's type.
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

  // ---- text forms (graph/read.cpp) --------------------------------------------

  // "A", "(A -> (B -> A))".
  Result<std::string> type_to_string(const Uid& uid) const;
  // The term stored for the type `uid`: "f", "((f x) y)".
  Result<std::string> term_to_string(const Uid& uid) const;
  // "Node(A:a {})", "Node(A: {})" for a node without a term.
  Result<std::string> node_to_string(const Uid& uid) const;
  // "Edge((A -> B):f {})".
  Result<std::string> edge_to_string(const EdgeKey& key) const;

  // ---- insertion and removal (graph/write.cpp) --------------------------------

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
  // add_node for the stored type `node` without a term: its node row, with
  // `properties`, unless it has one.
  void ensure_node(TypeId node, PropertyMap properties, const CreatedFlag& created);
  // ensure_node with a copy of `block` (a pattern's block, or nothing), made
  // only when the node gets its row: a creation that restates an existing
  // node's block copies nothing.
  void ensure_node_copying(TypeId node, const std::optional<PropertyMap>& block, const CreatedFlag& created);
  // add_edge for the term of `arrow` that is the constant `constant` (an
  // index into the constants' list; its name is valid): that term is stored
  // as the arrow's, then the edge linked.
  Result<EdgeKey> add_constant_edge(TypeId arrow, std::size_t constant, PropertyMap properties,
                                    const CreatedFlag& created);
  // The uid if the node was there and is now removed, none if absent. The
  // node, its edges and their entries in its neighbours' lists go in one
  // step, so any set of nodes and edges can be removed at once. Never fails.
  // Taking an edge out of a neighbour's list costs the same however long
  // that list is: removing a hub's neighbour costs the neighbour's degree,
  // not the hub's.
  Result<std::optional<Uid>> remove_node(const Uid& uid);
  // The key if the edge was there and is now removed, none if absent. Never
  // fails. As above, the lengths of its ends' lists do not matter.
  Result<std::optional<EdgeKey>> remove_edge(const EdgeKey& key);

  // ---- properties (graph/write.cpp) -------------------------------------------

  // The stored handle itself (not a copy). NodeNotFound / EdgeNotFound.
  // `row_uid`, when given, is the store's own copy of `uid` (see
  // TypeTable::id_of_row): the row is then found without the uid index.
  Result<PropertyMap> node_properties(const Uid& uid, const Uid* row_uid = nullptr) const;
  Result<PropertyMap> edge_properties(const EdgeKey& key) const;
  // Overwrite: the row takes a copy of the given map, a map of its own. Merge:
  // the given map's entries are inserted into the stored map. Both under the
  // row's lock, which also keeps the property index in step.
  Status set_node_properties(const Uid& uid, const PropertyMap& map, bool overwrite);
  Status set_edge_properties(const EdgeKey& key, const PropertyMap& map, bool overwrite);

  // This store among all the stores the process ever made: it names the
  // store in per-thread memos, where an address could be reused.
  std::uint64_t serial() const { return interner_.serial(); }

 private:
  friend struct Inspect;

  // The checks `term_from_uid` makes, without building: TermNotFound for the
  // first row without a term, and the failures of the names. Sets `reaches`
  // when the term refers to the row `watch`. Rows in `valid` passed these
  // checks before and are not walked again.
  Status check_term(TypeId id, TypeId watch, bool& reaches, const absl::flat_hash_set<TypeId>* valid = nullptr) const;
  // Carries the term just stored for `start` along the edges that leave it,
  // and on from every node that gets a term that way.
  Status propagate(TypeId start, const CreatedFlag& created);
  // Adds the endpoint nodes of an arrow-typed term (with inferred terms) and
  // the edge it makes.
  Status add_arrow_term_edge(const Term& term, const CreatedFlag& created);
  // What add_edge does once the term's type is stored and known to be the
  // arrow `arrow`: the edge between its sides, which must be nodes.
  Result<EdgeKey> link_edge(TypeId arrow, PropertyMap properties, const CreatedFlag& created);
  // The node row of `node` unless it has one, its map taken from `source`
  // (a PropertyMap to move, or a block to copy) only when the row is new.
  template <class Source>
  void insert_node_row(TypeId node, Source&& source, const CreatedFlag& created);

  std::shared_ptr<TypeTable> types_;
  NodeTable nodes_;
  Interner interner_;
  // Handing out a handle that shares an edge's map makes the map's slot.
  mutable EdgeTable edges_;
  std::shared_ptr<const ConstantTable> constants_;
  // Equality indexes over the node and edge maps; the operations above keep
  // them right under the row's lock (a node's shard write lock, an edge's
  // stripe write lock).
  NodePropertyIndex node_property_index_;
  EdgePropertyIndex edge_property_index_;
};

template <class Keep>
std::vector<TypeId> Graph::edge_arrows(Keep keep) const {
  tbb::enumerable_thread_specific<std::vector<TypeId>> parts;
  edges_.for_each_parallel([&](TypeId arrow) {
    if (keep(edge_key(arrow))) parts.local().push_back(arrow);
  });
  std::vector<TypeId> out;
  for (auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

using GraphPtr = std::shared_ptr<Graph>;

}  // namespace velmora::graph
