// What the store's one reader of node edge lists hands out
// (`Graph::read_edge_lists`), and the cursor that walks them.
//
// A node's edge list names its edges by their arrow types; an edge's far end
// is a side of its arrow. Walking a list reads, for every edge, the arrow's
// type row and then the far end's: rows that lie scattered over the type
// table. `FarEnds` asks for both a few edges ahead of their turn, so that
// their misses overlap instead of following one another.
//
// Threads: both belong to the task that made them. The lists are copies,
// read without a lock; type rows never change once published.
#pragma once

#include <absl/container/inlined_vector.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "graph/rows.hpp"
#include "graph/type_table.hpp"

namespace velmora::graph {

// How far ahead of an edge's visit `FarEnds` resolves its far end and asks
// for that end's row; its arrow's row is asked for twice as far ahead.
inline constexpr std::size_t kEdgesAhead = 8;

// The edge lists of a run of nodes on one side, in the run's order: node i's
// list is `of(i)`, and all of them together, one after the other, `all()`.
// Most runs are one node with a few edges, held without a heap block.
class EdgeLists {
 public:
  static constexpr std::uint32_t kNoList = 0xFFFFFFFFu;

  std::size_t nodes() const { return count_.size(); }
  // Whether node i had a row when its list was read.
  bool found(std::size_t i) const { return count_[i] != kNoList; }
  // Node i's list (empty for a node without a row), and where it starts in
  // `all()` (where it would, for a node without one).
  std::span<const TypeId> of(std::size_t i) const { return found(i) ? all().subspan(first_[i], count_[i]) : none(); }
  std::size_t first(std::size_t i) const { return first_[i]; }
  std::span<const TypeId> all() const { return {ids_.data(), ids_.size()}; }

 private:
  friend class Graph;
  static std::span<const TypeId> none() { return {}; }
  void clear(std::size_t nodes) {
    first_.assign(nodes, 0);
    count_.assign(nodes, kNoList);
    ids_.clear();
  }

  absl::InlinedVector<std::uint32_t, 8> first_;
  absl::InlinedVector<std::uint32_t, 8> count_;
  absl::InlinedVector<TypeId, 32> ids_;
};

// The far ends of a sequence of edges (arrow ids), resolved in order: `at(j)`
// for increasing j. Each call resolves the edges up to kEdgesAhead beyond j and
// asks for their far ends' rows, and for the arrow rows of the edges up to
// 2 * kEdgesAhead beyond j; a caller that skips a stretch of edges only loses
// the loads asked for them.
class FarEnds {
 public:
  FarEnds(const TypeTable& types, std::span<const TypeId> arrows, bool forward)
      : types_(types), arrows_(arrows), forward_(forward), fars_(arrows.size()) {
    for (std::size_t j = 0; j < std::min(2 * kEdgesAhead, arrows.size()); ++j) types_.prefetch_row(arrows[j]);
  }

  TypeId at(std::size_t j) {
    const std::size_t n = arrows_.size();
    for (; resolved_ < n && resolved_ <= j + kEdgesAhead; ++resolved_) {
      if (resolved_ + 2 * kEdgesAhead < n) types_.prefetch_row(arrows_[resolved_ + 2 * kEdgesAhead]);
      const TypeId arrow = arrows_[resolved_];
      fars_[resolved_] = forward_ ? types_.right(arrow) : types_.left(arrow);
      types_.prefetch_row(fars_[resolved_]);
    }
    return fars_[j];
  }

 private:
  const TypeTable& types_;
  const std::span<const TypeId> arrows_;
  const bool forward_;
  absl::InlinedVector<TypeId, 32> fars_;
  std::size_t resolved_ = 0;
};

}  // namespace velmora::graph
