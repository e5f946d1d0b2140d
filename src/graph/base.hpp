// The graph store: nodes, edges, types and terms, the indexes between them and
// the graph's constants.
//
// A node is a type (its uid is the type's uid) carrying a property map; an edge
// is keyed by (start uid, end uid) and carries the term stored for its arrow
// type. Types and terms are stored flat (`TypeRep`, `TermRep`) under type uids
// and never removed; values handed out are rebuilt on each call.
//
// Every operation may be called from any thread, the pool's included, and
// touches the tables only through their shard locks: a read holds a row's
// shard read lock while it copies that row (rebuilding a value copies its rows
// one by one, so that a value of any depth holds one lock at a time), an
// insertion holds the write lock for that insertion alone, and no store lock
// is held while a nested insertion runs. Rebuilding, storing and rendering a
// value, and propagation along a chain of edges, run in constant stack
// whatever the depth. Nothing here touches Python.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "binding/class.hpp"
#include "constants.hpp"
#include "errors.hpp"
#include "graph/property_index.hpp"
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

// The stored form of a type.
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

// The stored form of a term; sub-terms are named by the uids of their types.
struct TermRep {
  enum class Tag : std::uint8_t { Basic = 0, Application = 1 };
  Tag tag;
  std::string name;  // Basic
  Uid function{};    // Application
  Uid argument{};    // Application

  static TermRep basic(std::string name) { return {Tag::Basic, std::move(name), {}, {}}; }
  static TermRep application(const Uid& f, const Uid& a) { return {Tag::Application, {}, f, a}; }
};

// Set by every insertion of a new node or edge, nested ones included.
using CreatedFlag = std::shared_ptr<std::atomic<bool>>;
inline CreatedFlag new_created_flag() { return std::make_shared<std::atomic<bool>>(false); }

// The keys of the edges that leave (or enter) one node. A node's row holds
// no set until its first edge on that side arrives: most nodes of a large
// graph never get one, and an empty set costs an allocation.
using EdgeSet = utils::ShardedSet<EdgeKey, UidHash, 1>;
using EdgeSetPtr = std::shared_ptr<EdgeSet>;
// The keys in a row's set; none for a row without a set.
inline std::vector<EdgeKey> edge_keys(const EdgeSetPtr& set) { return set ? set->keys() : std::vector<EdgeKey>(); }

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
  // Stores a term, its sub-terms and all their types, each replacing the term
  // stored for its type; returns the uid of the term's type. A term with a
  // sub-term of the same type as a term enclosing it would be stored as a
  // term that contains itself (the store keeps one term per type): of such a
  // term only the types are stored.
  Uid insert_term(const Term& term);
  // Errors: TypeNotFound; IndexCorruption for a broken arrow; a stored name
  // that fails validation ("graph - type from uid"). Any depth.
  Result<TypePtr> type_from_uid(const Uid& uid) const;
  // Errors: TermNotFound; IndexCorruption (also for a row that contains
  // itself, which only a store written around insert_term can hold); those
  // of type_from_uid and of the term constructors. Any depth.
  Result<Term> term_from_uid(const Uid& uid) const;
  // The name of a stored variable type; none for an arrow. TypeNotFound.
  Result<std::optional<std::string>> type_as_var(const Uid& uid) const;
  // The sides of a stored arrow type; none for a variable. TypeNotFound.
  Result<std::optional<std::pair<Uid, Uid>>> type_as_arrow(const Uid& uid) const;
  // The uid of an edge's arrow type. EdgeNotFound.
  Result<Uid> get_edge_type(const EdgeKey& key) const;

  // ---- insertion and removal -------------------------------------------------

  // Adds the node of `type` (keeping an existing node's map), stores `term`
  // when its type has none yet and propagates it along outgoing edges (a
  // chain of any length) and, for arrow-typed terms, into an edge. Returns
  // the node's uid. A term to store with a sub-term of the same type as a
  // term enclosing it fails with InvalidTerm before anything is stored but
  // types.
  Result<Uid> add_node(const TypePtr& type, std::optional<Term> term, PropertyMap properties,
                       const CreatedFlag& created);
  // Adds (or replaces) the edge named by the arrow type of `term`; both ends
  // must be nodes, which is checked before any row of the edge is written.
  // Returns the edge key. The same InvalidTerm as add_node for its term.
  Result<EdgeKey> add_edge(const Term& term, PropertyMap properties, const CreatedFlag& created);
  // The uid if the node was there and is now removed, none if absent.
  Result<std::optional<Uid>> remove_node(const Uid& uid);
  // The key if the edge was there and is now removed, none if absent. An end
  // whose edge-set row is missing is no fault when that node is removed (or
  // being removed) too, so any set of nodes and edges can be removed at once.
  Result<std::optional<EdgeKey>> remove_edge(const EdgeKey& key);

  // ---- properties ------------------------------------------------------------

  // The stored handle itself (not a copy). NodeNotFound / EdgeNotFound.
  Result<PropertyMap> node_properties(const Uid& uid) const;
  Result<PropertyMap> edge_properties(const EdgeKey& key) const;
  // Overwrite: the row takes a copy of the given map, a map of its own. Merge:
  // the given map's entries are inserted into the stored map. Both under the
  // row's shard write lock, which also keeps the property index in step.
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

  // ---- schema matching (src/graph/matches/type_schema, term_schema) ----------

  // The frame holding the check's bindings (m itself when it bound nothing),
  // or none when the stored type does not fit.
  Result<std::optional<MatchPtr>> check_type_matches(const Uid& uid, const patterns::TypePattern& pattern,
                                                     MatchPtr m) const;
  // The same for the term stored under the type uid `uid`.
  Result<std::optional<MatchPtr>> check_term_matches(const Uid& uid, const patterns::TermPattern& pattern,
                                                     MatchPtr m) const;
  Result<MatchSet> match_type_schema(const patterns::TypeSchema& schema, const MatchSet& matches) const;
  Result<MatchSet> match_term_schema(const patterns::TermSchema& schema, const MatchSet& matches) const;

  // ---- path matching and creation (src/graph/matches/..., src/graph/create) ----

  // Extends every match of `matches` along the whole path; within `subset`
  // when there is one.
  Result<MatchSet> match_path_pattern(const patterns::PathPattern& path, MatchSet matches,
                                      NodeUidSetPtr subset) const;
  // Creates the path's missing nodes and edges for every match (within the
  // creation counters of `limit`), adding the nodes it hands to the store to
  // `subset` when there is one.
  Result<MatchSet> create_path(const patterns::PathPattern& path, MatchSet matches, NodeUidSetPtr subset);

  // ---- the tables ------------------------------------------------------------
  // Each a shared handle so that views and references can hold parts of the
  // store; laid out (and destroyed) in this order.

  std::shared_ptr<utils::ShardedMap<Uid, PropertyMap, UidHash>> node_index;
  std::shared_ptr<utils::ShardedMap<EdgeKey, PropertyMap, UidHash>> edge_index;
  std::shared_ptr<utils::ShardedMap<Uid, TypeRep, UidHash>> type_index;
  std::shared_ptr<utils::ShardedMap<Uid, TermRep, UidHash>> term_index;
  std::shared_ptr<utils::ShardedMap<Uid, EdgeKey, UidHash>> type_to_edge_index;
  std::shared_ptr<utils::ShardedMap<EdgeKey, Uid, UidHash>> edge_to_type_index;
  std::shared_ptr<utils::ShardedMap<Uid, EdgeSetPtr, UidHash>> start_to_edge_index;
  std::shared_ptr<utils::ShardedMap<Uid, EdgeSetPtr, UidHash>> end_to_edge_index;
  std::shared_ptr<utils::ShardedMap<std::string, Constant>> constants;
  // Equality indexes over the node and edge maps; the operations above keep
  // them right under the row's shard write lock.
  std::shared_ptr<NodePropertyIndex> node_property_index = std::make_shared<NodePropertyIndex>();
  std::shared_ptr<EdgePropertyIndex> edge_property_index = std::make_shared<EdgePropertyIndex>();

 private:
  // The rows that inserting a term writes, in order (none when the term
  // contains a sub-term of the same type as a term enclosing it); its types
  // are stored on the way.
  struct TermRows {
    Uid uid{};
    std::vector<std::pair<Uid, TermRep>> rows;
    bool self_containing = false;
    bool unchecked_names = false;
  };
  TermRows plan_term(const Term& term);
  void write_term_rows(TermRows& plan);
  // insert_term, failing with InvalidTerm where it would store no term.
  Result<Uid> store_term(const Term& term);
  // add_node without the propagation: the uid and whether the term was newly
  // stored.
  Result<std::pair<Uid, bool>> add_node_rows(const TypePtr& type, std::optional<Term> term, PropertyMap properties,
                                             const CreatedFlag& created);
  // The three rows of a node that is not there yet.
  void add_node_row(const Uid& uid, PropertyMap properties, const CreatedFlag& created);
  // Propagates the term just stored for `uid` along outgoing edges, onward
  // from every node that gets a term on the way.
  Status propagate_from(const Uid& uid, const CreatedFlag& created);
  // One edge of the propagation: the keys to walk next when its end got a term.
  Result<std::vector<EdgeKey>> propagation_step(const EdgeKey& edge, const CreatedFlag& created);
  // Takes `key` out of `node`'s set in `index`; false for a broken store.
  bool erase_from_row(utils::ShardedMap<Uid, EdgeSetPtr, UidHash>& index, const Uid& node, const EdgeKey& key);
  // Adds the endpoint nodes of an arrow-typed term (with inferred terms) and
  // the edge it makes.
  Status add_arrow_term_edge(const Term& term, const CreatedFlag& created);
  Result<TypePtr> bound_type(const std::string& name, const MatchElement& element);

  // Set once a stored type or term name fails validation (a constant may be
  // declared under any name). Until then rebuilding a stored term cannot fail,
  // and insertion may name terms by their uids instead of rebuilding them.
  std::atomic<bool> unchecked_names_{false};
};

using GraphPtr = std::shared_ptr<Graph>;

// The Python class `Graph`: a store and, for a subgraph view, the shared set
// of node uids that limits what the view lists and matches. Both fields stay
// the same for the object's life.
struct PyGraph {
  GraphPtr graph;
  NodeUidSetPtr subset;  // null for the whole graph
};

// "builtins.Graph": `Graph(constants=None)`, `subgraph`, `query`, `nodes`,
// `edges`, `set_node_properties`, `set_edge_properties`.
binding::ClassSpec& graph_class();

}  // namespace velmora::graph
