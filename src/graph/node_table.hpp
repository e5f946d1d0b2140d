// The node table: node id (its type's id) to `NodeRow`, the node's property
// map and the ids of the arrow types of the edges that leave and enter it.
//
// Threads: rows follow `utils::ShardedMap`'s rules: a row is read or written
// under its shard's lock, held while the row is used. The order in which the
// store takes these locks, with the others, is written beside the code that
// takes them (graph/write.cpp).
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "graph/rows.hpp"
#include "properties.hpp"
#include "utils/sharded_map.hpp"

namespace velmora::graph {

// The arrow-type ids of the edges that leave and enter one node, in one heap
// block: leaving ids from the front, entering ids from the back. No block
// until the first edge. The order of the ids is not kept.
class Adjacency {
 public:
  Adjacency() = default;
  Adjacency(const Adjacency&) = delete;
  Adjacency& operator=(const Adjacency&) = delete;
  Adjacency(Adjacency&& other) noexcept
      : block_(std::exchange(other.block_, nullptr)),
        out_(std::exchange(other.out_, 0)),
        in_(std::exchange(other.in_, 0)) {}
  Adjacency& operator=(Adjacency&& other) noexcept {
    if (this != &other) {
      delete[] block_;
      block_ = std::exchange(other.block_, nullptr);
      out_ = std::exchange(other.out_, 0);
      in_ = std::exchange(other.in_, 0);
    }
    return *this;
  }
  ~Adjacency() { delete[] block_; }

  std::span<const TypeId> out() const { return {ids(), out_}; }
  std::span<const TypeId> in() const { return {ids() + capacity() - in_, in_}; }
  std::span<const TypeId> side(bool leaving) const { return leaving ? out() : in(); }

  void add_out(TypeId id) {
    reserve_one();
    ids()[out_++] = id;
  }
  void add_in(TypeId id) {
    reserve_one();
    ++in_;
    ids()[capacity() - in_] = id;
  }
  // Removes one `id` from the side; false when it is not there.
  bool remove_out(TypeId id) {
    TypeId* first = ids();
    for (std::uint32_t i = 0; i < out_; ++i) {
      if (first[i] != id) continue;
      first[i] = first[--out_];
      return true;
    }
    return false;
  }
  bool remove_in(TypeId id) {
    TypeId* first = ids() + capacity() - in_;
    for (std::uint32_t i = 0; i < in_; ++i) {
      if (first[i] != id) continue;
      first[i] = first[0];
      --in_;
      return true;
    }
    return false;
  }

  // Starts loading the block (its capacity, and where each side grows next)
  // ahead of an insertion. Reads nothing itself.
  void prefetch() const {
    if (!block_) return;
    __builtin_prefetch(block_);
    __builtin_prefetch(block_ + 1 + out_);
  }

 private:
  // block_[0] is the capacity; the ids follow.
  std::uint32_t capacity() const { return block_ ? block_[0] : 0; }
  TypeId* ids() const { return block_ ? block_ + 1 : nullptr; }
  void reserve_one() {
    const std::uint32_t cap = capacity();
    if (out_ + in_ < cap) return;
    // Half as much again: most nodes have a few edges, and a doubled block
    // would mostly stand empty.
    const std::uint32_t grown = cap == 0 ? 3 : cap + cap / 2 + 1;
    auto* block = new std::uint32_t[std::size_t{grown} + 1];
    block[0] = grown;
    if (block_) {
      std::memcpy(block + 1, ids(), std::size_t{out_} * sizeof(TypeId));
      std::memcpy(block + 1 + grown - in_, ids() + cap - in_, std::size_t{in_} * sizeof(TypeId));
      delete[] block_;
    }
    block_ = block;
  }

  std::uint32_t* block_ = nullptr;
  std::uint32_t out_ = 0;
  std::uint32_t in_ = 0;
};
static_assert(sizeof(Adjacency) == 16);

// A node: its property map and its edges.
struct NodeRow {
  PropertyMap properties;
  Adjacency edges;
};

// Node id to node row.
using NodeTable = utils::ShardedMap<TypeId, NodeRow, TypeIdHash>;

}  // namespace velmora::graph
