// The Python class `Graph`: a handle on a store (src/graph/base) and, for a
// subgraph view, the set of node uids it is limited to. Its methods hand out
// queries (src/query) and references (src/query/references).
//
// Caller's thread, interpreter lock held; the bulk setters run their updates
// on the pool, touching no Python object there.
#pragma once

#include "binding/class.hpp"
#include "graph/store.hpp"

namespace velmora::graph {

// A store and, for a subgraph view, the shared set of node uids that limits
// what the view lists and matches. Both fields stay the same for the object's
// life.
struct PyGraph {
  GraphPtr graph;
  NodeUidSetPtr subset;  // null for the whole graph
};

// "builtins.Graph": `Graph(constants=None)`, `subgraph`, `query`, `nodes`,
// `edges`, `set_node_properties`, `set_edge_properties`.
binding::ClassSpec& graph_class();

}  // namespace velmora::graph
