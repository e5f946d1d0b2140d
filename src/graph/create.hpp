// Path creation: the store's side of a query's create operation.
//
// For one match, creation first works out a type for every node pattern and a
// type and a term for every edge pattern of a path (the inference phase), then
// confirms them against the pattern (the check phase), and only then adds the
// nodes and edges to the store (`create_path`).
//
// The inference phase draws on four sources, in this order for each element:
// the element's binding in the match, its type and term schemas, the graph's
// constants, and its neighbours along the path; it repeats over a work queue
// until nothing more can be learned. A plain path (one node, or an edge
// between two nodes typed by their names alone) is worked out without the
// queue, to the same records and with the same stores; for the root match of
// a query that reads no match (`create_root_path`), it is then made
// without a match frame or working records, and an edge between two such
// nodes without type or term objects, on the store's rows alone. An edge
// between a node that the match binds (stored under a variable, without a
// term) and a node typed by its name alone is worked out and made on the rows
// too, for any match. The phase
// adds no node and no edge, but it does store types and terms (schema checks
// and constant look-ups store what they look at), and those stay even when
// the match later fails.
//
// Errors of the phases: those of the store operations they call, with the
// context line "graph - create path" (or "graph - create node" for the term
// inference of an edge); InvalidType for an edge that cannot join its nodes;
// IndexCorruption for a bound edge without its type row; IndexOutOfRange for a
// working state that does not fit the pattern; InvalidPattern or Infallible
// from the check phase. An edge of direction Any is an unrecoverable fault
// (`velmora::Panic`) as soon as inference needs its direction.
//
// Threads: a `PathData` belongs to the one task that made it. The phases may
// run on any thread, pool threads included; they take only the store's shard
// locks, through the store's operations, and never touch Python.
#pragma once

#include <absl/container/inlined_vector.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "errors.hpp"
#include "graph/store.hpp"
#include "matches.hpp"
#include "patterns/edge.hpp"
#include "patterns/path.hpp"
#include "properties.hpp"
#include "typing/term.hpp"
#include "typing/types.hpp"
#include "utils/data_queue.hpp"

namespace velmora::graph {

// Creates the path's missing nodes and edges for every match (within the
// creation counters of `limit`), adding the nodes it hands to the store to
// `subset` when there is one. Returns the set of the matches made.
Result<MatchSet> create_path(Graph& graph, const patterns::PathPattern& path, MatchSet matches, NodeUidSetPtr subset);

// The ids of the stored type variables that name the nodes of a path of one
// or two nodes, node i's at i; empty where none was stored, and all empty
// unless every node is named by one. A type's row is never removed, so an id
// found stays right for as long as the graph lives.
using PathVariables = std::array<std::optional<TypeId>, 2>;

// create_path for the root match alone, when nothing reads the matches made
// (a query of one create, run for its effects): a plain path is then made
// without match frames, and the set returned is null; any other path goes
// through create_path. `known`: what prefetch_path_variables found for the
// path, if it ran.
Result<MatchSet> create_root_path(Graph& graph, const patterns::PathPattern& path, NodeUidSetPtr subset,
                                  const PathVariables& known = {});

// Looks up the stored type variables that the path's nodes are given, and
// takes the digests of the arrows between them, for a creation of the path
// to come: their rows are asked for, and this thread keeps what it found for
// that creation. Stores nothing. Returns the ids found (see PathVariables).
PathVariables prefetch_path_variables(Graph& graph, const patterns::PathPattern& path);

// A map of its own for an element that a pattern creates, holding a copy of
// the pattern's block (or nothing). Any thread.
PropertyMap detached_copy(const std::optional<PropertyMap>& map);
// detached_copy for an edge's block, which many edges repeat: a small block's
// entries are shared until written (see PropertyMap::copy_shared).
PropertyMap edge_copy(const std::optional<PropertyMap>& map);

// The working record of one node pattern.
struct NodeData {
  std::optional<std::string> variable;
  std::optional<TypePtr> type;
  std::optional<Term> term;
  // The map the created node receives: a copy of the pattern's property block
  // made for this match, or a new empty map.
  PropertyMap properties;
  // True once the type (term) is known to satisfy the pattern's type (term)
  // schema, or when the pattern has none.
  bool type_matches_schema = false;
  bool term_matches_schema = false;

  // The record of a node pattern with `variable` and the block
  // `properties`: no type, no term, both flags false.
  static NodeData create(std::optional<std::string> variable, const std::optional<PropertyMap>& properties);
};

// The working record of one edge pattern: the node record's fields plus the
// pattern's direction.
struct EdgeData {
  std::optional<std::string> variable;
  std::optional<TypePtr> type;
  std::optional<Term> term;
  PropertyMap properties;
  bool type_matches_schema = false;
  bool term_matches_schema = false;
  patterns::Direction direction = patterns::Direction::Any;

  // The same for an edge pattern, with its direction.
  static EdgeData create(std::optional<std::string> variable, patterns::Direction direction,
                         const std::optional<PropertyMap>& properties);
};

// Everything one match's creation works on: one record per node pattern and
// per edge pattern in path order (edge j lies between node j and node j + 1),
// the work queue, and the child match that collects schema captures and,
// later, the created elements' bindings.
struct PathData {
  // Most paths are a node or an edge between two nodes: held in place.
  absl::InlinedVector<NodeData, 2> nodes;
  absl::InlinedVector<EdgeData, 1> edges;
  utils::DataQueue queue;
  MatchPtr child;
  // The types this match's creation has stored so far, from inference to
  // the insertions, each stored once.
  StoredTypes stored;

  // The records of `path`'s patterns, the queue (0, node), (0, edge), ...,
  // (n - 1, node), and a new child frame of `parent`. `path` must have at
  // least one node.
  static PathData create(const patterns::PathPattern& path, MatchPtr parent);
};

// The inference phase: takes items from the end of `data.queue` and runs the
// node or edge pass for each until the queue is empty. Records gain values
// but never lose or change them; `data.child` may be replaced by a frame below
// it that holds schema captures. The first error ends the phase; what was
// recorded and stored until then stays.
Status infer_path_data(Graph& graph, const patterns::PathPattern& path, PathData& data);

// The check phase: every node needs a type that satisfies its schema and a
// term (if any) that satisfies its schema; every edge a term, a type equal to
// that term's type, and both schemas satisfied. Nodes are checked first, each
// in path order; the first failure is InvalidPattern {path text, reason} (or
// Infallible for an edge with a term but no type), with no context line.
Status check_path_data(const patterns::PathPattern& path, const PathData& data);

}  // namespace velmora::graph
