// Where a path is walked from.
//
// A path is written in the order a user thinks of it, `(a)-[]->(b:Known)` as
// readily as `(b:Known)<-[]-(a)`, and walking it from its first node scans
// every node when the known one comes last. A path can be walked from any of
// its nodes instead: from the start node, backward along the edges written
// before it (each edge reversed) to the first node, then forward from it
// along the rest. That walk finds the same paths, with the same bindings.
//
// It must also fail as the written order fails. The written order is kept
// for every path where a step can fail, or bind, in a way that depends on
// what the steps before it did: a variable of the path bound (in the match
// walked from) to an element of another kind or to one removed since, a
// variable named twice in the
// path or named by a type schema, a type schema with a capture, a term
// schema, an edge with a schema or without a direction, and any path matched
// within a subgraph view (whose members need not be nodes). What remains
// checks types by name, property blocks and bindings of the right kind,
// none of which can fail, so that every order gives the same result.
//
// An edge whose block has a rare indexed entry can be fewer still: the walk
// then starts from the node left of it, taking as candidates only the left
// ends of the edges the index names. Every path found runs through one of
// those edges, so no path is lost, and the walk checks each edge in full.
//
// Threads: a `WalkOrder` is made and read on one thread, or read by many
// once made; it reads the store's indexes while it is made and while
// `start` runs.
#pragma once

#include <absl/container/inlined_vector.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "graph/store.hpp"
#include "matches.hpp"
#include "patterns/path.hpp"

namespace velmora::graph::matches {

class WalkOrder {
 public:
  WalkOrder(const Graph& graph, const patterns::PathPattern& path, const NodeUidSetPtr& subset);

  // Where a walk starts: node pattern `node`, and with `by_edge` only at the
  // left ends of the edges the index names for edge pattern `node` (the one
  // right of that node).
  struct Start {
    std::size_t node = 0;
    bool by_edge = false;
  };

  // Where a match with the frame `m` walks the path from: the node pattern
  // with the fewest candidates (a node bound in `m`, a type schema naming one
  // type, a property block by its rarest indexed entry), or the edge pattern
  // whose block's rarest indexed entry names fewer edges still; node 0 in
  // the written order when none has fewer than the first or the written
  // order must hold.
  Start start(const Match& m) const;

 private:
  // The number of nodes that can match node pattern i under the bindings of
  // `m` (SIZE_MAX when only a scan of every node can tell); none when a
  // binding of `m` keeps the written order.
  std::optional<std::size_t> candidates(std::size_t i, const Match& m) const;

  const Graph& graph_;
  const patterns::PathPattern& path_;
  // False: the written order holds for every match.
  bool free_ = false;
  // Per node pattern: the rows of its block's rarest indexed entry, if any.
  absl::InlinedVector<std::optional<std::size_t>, 4> indexed_;
  // The same per edge pattern.
  absl::InlinedVector<std::optional<std::size_t>, 4> edges_indexed_;
};

}  // namespace velmora::graph::matches
