// Counts, listings and fault injection over a store, for the C++ tests and
// benchmarks only: nothing in src/ includes this header.
//
// The counts and listings walk whole tables; call them while no writer runs
// (they take each shard's lock in turn, so they are safe, only not a
// snapshot). The table accessors hand out the store's own tables, so that a
// test can break the store's invariants on purpose (a node row removed
// without its edges, a term word that names a row without a term) and check
// how the store reports it.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <vector>

#include "graph/store.hpp"

namespace velmora::graph {

struct Inspect {
  // The number of stored types (a walk over the rows).
  static std::size_t type_count(const Graph& g) { return g.types_->size(); }
  // The number of types with a stored term (a walk over the rows).
  static std::size_t term_count(const Graph& g) {
    std::atomic<std::size_t> n{0};
    g.types_->for_each_parallel([&](TypeId id) {
      if (!g.types_->term(id).none()) n.fetch_add(1, std::memory_order_relaxed);
    });
    return n.load();
  }
  static bool has_type(const Graph& g, const Uid& uid) { return g.type_id(uid).has_value(); }
  static bool has_edge(const Graph& g, const EdgeKey& key) { return g.edge_id(key).has_value(); }
  // Every node uid and every edge key, in no order.
  static std::vector<Uid> node_uids(const Graph& g) {
    std::vector<Uid> out;
    for (const auto& [uid, id] : g.node_uids_and_ids()) out.push_back(uid);
    return out;
  }
  static std::vector<EdgeKey> edge_keys(const Graph& g) {
    std::vector<EdgeKey> out;
    for (const TypeId arrow : g.edge_arrows([](const EdgeKey&) { return true; })) out.push_back(g.edge_key(arrow));
    return out;
  }
  // The arrow-type ids of the edges that leave (`leaving`) or enter a node;
  // none when it is not a node.
  static std::optional<std::vector<TypeId>> node_edge_ids(const Graph& g, TypeId id, bool leaving) {
    EdgeLists lists;
    g.read_edge_lists(std::span(&id, 1), leaving, kMaxTypeId + 1, lists);
    if (!lists.found(0)) return std::nullopt;
    return std::vector<TypeId>(lists.of(0).begin(), lists.of(0).end());
  }
  static std::optional<std::vector<TypeId>> node_edge_ids(const Graph& g, const Uid& uid, bool leaving) {
    const auto id = g.type_id(uid);
    if (!id) return std::nullopt;
    return node_edge_ids(g, *id, leaving);
  }

  // The tables themselves.
  static TypeTable& types(Graph& g) { return *g.types_; }
  static NodeTable& nodes(Graph& g) { return g.nodes_; }
  static EdgeTable& edges(Graph& g) { return g.edges_; }
};

}  // namespace velmora::graph
