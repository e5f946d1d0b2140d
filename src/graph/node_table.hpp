// The node table: node id (its type's id) to `NodeRow`, the node's property
// map and the ids of the arrow types of the edges that leave and enter it.
//
// Threads: rows follow `utils::ShardedMap`'s rules: a row is read or written
// under its shard's lock, held while the row is used. The order in which the
// store takes these locks, with the others, is written beside the code that
// takes them (graph/write.cpp).
#pragma once

#include <absl/container/flat_hash_set.h>
#include <absl/hash/hash.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "graph/rows.hpp"
#include "properties.hpp"
#include "utils/sharded_map.hpp"

namespace velmora::graph {

// The places of the ids of one large Adjacency block, found by id. An entry
// is a place, hashed and compared by the id the block holds there, so that
// an id is kept once, in its list. A leaving id's place counts from the
// block's front, an entering id's from its back (under kEntering), so that no
// entry changes when the ids move to a block of another size.
//
// Threads: as the node row that owns it (its shard's write lock).
class Positions {
 public:
  Positions(const TypeId* ids, std::uint32_t capacity)
      : ids_(ids), capacity_(capacity), places_(0, Hash{this}, Eq{this}) {}
  Positions(const Positions&) = delete;
  Positions& operator=(const Positions&) = delete;

  // The ids now live in this block (whose places match the old one's).
  void rebase(const TypeId* ids, std::uint32_t capacity) {
    ids_ = ids;
    capacity_ = capacity;
  }
  // Place k of a side has just been given its id.
  void add(bool leaving, std::uint32_t k) { places_.insert(Entry{leaving ? k : k | kEntering}); }
  // The place of `id` on a side, forgotten; none when it is not there.
  std::optional<std::uint32_t> take(bool leaving, TypeId id) {
    const auto it = places_.find(Key{id, leaving});
    if (it == places_.end()) return std::nullopt;
    const std::uint32_t k = it->place & ~kEntering;
    places_.erase(it);
    return k;
  }
  // `id`, listed on a side, is about to move to place k of that side; the
  // caller writes it there next, with nothing in between.
  void move(bool leaving, TypeId id, std::uint32_t k) {
    // The entry keeps its hash, which is its id's: it is rewritten in place.
    places_.find(Key{id, leaving})->place = leaving ? k : k | kEntering;
  }

 private:
  static constexpr std::uint32_t kEntering = std::uint32_t{1} << 31;
  struct Entry {
    mutable std::uint32_t place;
  };
  struct Key {
    TypeId id;
    bool leaving;
  };
  static std::size_t mix(TypeId id, bool leaving) { return absl::HashOf(id, leaving); }
  bool leaving(Entry e) const { return (e.place & kEntering) == 0; }
  TypeId id(Entry e) const { return leaving(e) ? ids_[e.place] : ids_[capacity_ - 1 - (e.place & ~kEntering)]; }
  struct Hash {
    using is_transparent = void;
    const Positions* owner;
    std::size_t operator()(Entry e) const { return mix(owner->id(e), owner->leaving(e)); }
    std::size_t operator()(Key key) const { return mix(key.id, key.leaving); }
  };
  struct Eq {
    using is_transparent = void;
    const Positions* owner;
    bool operator()(Entry a, Entry b) const { return a.place == b.place; }
    bool operator()(Entry a, Key b) const { return owner->leaving(a) == b.leaving && owner->id(a) == b.id; }
    bool operator()(Key a, Entry b) const { return (*this)(b, a); }
  };

  const TypeId* ids_;
  std::uint32_t capacity_;
  absl::flat_hash_set<Entry, Hash, Eq> places_;
};

// The arrow-type ids of the edges that leave and enter one node, in one heap
// block: leaving ids from the front, entering ids from the back. A node with
// at most kInPlace ids keeps them in place, in the room of the block's
// address, and has no block: most nodes have an edge or two. The order of
// the ids is not kept: a removed id's place goes to the last id of its side,
// so that a removal moves one id.
//
// Finding the place of the id to remove is a scan of its side while the
// block is small. A block of at least kPositionsFrom places also carries the
// places of all its ids (`Positions`): on a hub, removing one neighbour is a
// look-up and a move, whatever its degree. Only such blocks pay for it.
class Adjacency {
 public:
  // Below this capacity a side is scanned: a scan of a few dozen ids costs
  // less than a look-up, and most nodes never have that many edges.
  static constexpr std::uint32_t kPositionsFrom = 64;
  // The ids held in place, before the first block.
  static constexpr std::uint32_t kInPlace = 2;

  Adjacency() = default;
  Adjacency(const Adjacency&) = delete;
  Adjacency& operator=(const Adjacency&) = delete;
  Adjacency(Adjacency&& other) noexcept { take(other); }
  Adjacency& operator=(Adjacency&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ~Adjacency() { release(); }

  std::span<const TypeId> out() const { return {ids(), out_}; }
  std::span<const TypeId> in() const { return {ids() + capacity() - in_, in_}; }
  std::span<const TypeId> side(bool leaving) const { return leaving ? out() : in(); }

  // Adds `id` to a side that does not list it (an edge is listed once on
  // each side it is on).
  void add_out(TypeId id) { add(true, id); }
  void add_in(TypeId id) { add(false, id); }
  // Removes `id` from the side; false when it is not there. The ids after
  // it may change places.
  bool remove_out(TypeId id) { return remove(true, id); }
  bool remove_in(TypeId id) { return remove(false, id); }

  // Starts loading the block (its capacity, and where each side grows next)
  // ahead of an insertion. Reads nothing itself.
  void prefetch() const {
    const std::uint32_t* b = block();
    if (!b) return;
    __builtin_prefetch(b);
    __builtin_prefetch(b + 1 + out_);
  }

 private:
  // The block, or null while the ids are in place. block[0] is the
  // capacity; the ids follow. A block of kPositionsFrom places or more (an
  // odd number of them) ends with the address of its Positions (two words).
  std::uint32_t* block() const {
    if (!has_block_) return nullptr;
    std::uint32_t* found;
    std::memcpy(&found, room_, sizeof found);
    return found;
  }
  void set_block(std::uint32_t* made) {
    std::memcpy(room_, &made, sizeof made);
    has_block_ = 1;
  }
  std::uint32_t capacity() const { return has_block_ ? block()[0] : kInPlace; }
  TypeId* ids() const { return has_block_ ? block() + 1 : const_cast<TypeId*>(room_); }
  Positions* positions() const {
    const std::uint32_t cap = capacity();
    if (cap < kPositionsFrom) return nullptr;
    Positions* found;
    std::memcpy(&found, block() + 1 + cap, sizeof found);
    return found;
  }
  // The place k of a side: a leaving id's from the front, an entering id's
  // from the back (Positions counts them alike).
  TypeId& at(bool leaving, std::uint32_t k) const { return leaving ? ids()[k] : ids()[capacity() - 1 - k]; }

  void add(bool leaving, TypeId id) {
    if (out_ + in_ == capacity()) {
      // Half as much again: most nodes have a few edges, and a doubled block
      // would mostly stand empty.
      const std::uint32_t cap = capacity();
      resize(cap + cap / 2 + 1);
    }
    const std::uint32_t count = leaving ? out_ : in_;
    at(leaving, count) = id;
    if (Positions* places = positions()) places->add(leaving, count);
    if (leaving) {
      ++out_;
    } else {
      ++in_;
    }
  }

  bool remove(bool leaving, TypeId id) {
    const std::uint32_t count = leaving ? out_ : in_;
    if (count == 0) return false;
    const std::uint32_t last = count - 1;
    std::uint32_t k = 0;
    if (Positions* places = positions()) {
      const auto found = places->take(leaving, id);
      if (!found) return false;
      k = *found;
      if (k != last) places->move(leaving, at(leaving, last), k);
    } else {
      const std::span<const TypeId> listed = side(leaving);
      const auto it = std::find(listed.begin(), listed.end(), id);
      if (it == listed.end()) return false;
      // The entering side's span starts at its last place.
      const auto offset = static_cast<std::uint32_t>(it - listed.begin());
      k = leaving ? offset : last - offset;
    }
    at(leaving, k) = at(leaving, last);
    if (leaving) {
      --out_;
    } else {
      --in_;
    }
    // A block a quarter full shrinks, so that a hub that lost most of its
    // edges gives back their memory; half as much room again as ids is left,
    // so that growing and shrinking cannot follow each other closely.
    const std::uint32_t held = out_ + in_;
    if (capacity() >= kShrinkFrom && held < capacity() / 4) resize(held + held / 2 + 1);
    return true;
  }

  // Moves the ids to a block of `grown` places (at least out_ + in_, and at
  // least one; one more to make it odd when it carries positions), with
  // positions if it is that large. Nothing changes if an allocation fails.
  void resize(std::uint32_t grown) {
    const std::uint32_t cap = capacity();
    const bool placed = grown >= kPositionsFrom;
    // An odd capacity puts the address of the Positions on an 8-byte
    // boundary, where a leak checker's scan of the block finds it.
    if (placed) grown |= 1;
    std::unique_ptr<std::uint32_t[]> made_block(
        new std::uint32_t[std::size_t{grown} + 1 + (placed ? kPointerWords : 0)]);
    made_block[0] = grown;
    TypeId* const moved = made_block.get() + 1;
    std::memcpy(moved, ids(), std::size_t{out_} * sizeof(TypeId));
    std::memcpy(moved + grown - in_, ids() + cap - in_, std::size_t{in_} * sizeof(TypeId));
    Positions* places = positions();
    std::unique_ptr<Positions> made;
    if (placed && !places) {
      made = std::make_unique<Positions>(moved, grown);
      for (std::uint32_t k = 0; k < out_; ++k) made->add(true, k);
      for (std::uint32_t k = 0; k < in_; ++k) made->add(false, k);
    }
    if (!placed) {
      delete places;
      places = nullptr;
    } else if (made) {
      places = made.release();
    } else {
      // Places count from either end of the block, so none changes.
      places->rebase(moved, grown);
    }
    if (places) std::memcpy(moved + grown, &places, sizeof places);
    delete[] block();
    set_block(made_block.release());
  }

  // Takes `other`'s ids (in place, or its block), leaving it empty.
  void take(Adjacency& other) noexcept {
    std::memcpy(room_, other.room_, sizeof room_);
    has_block_ = other.has_block_;
    out_ = other.out_;
    in_ = other.in_;
    other.has_block_ = 0;
    other.out_ = 0;
    other.in_ = 0;
  }

  void release() {
    if (!has_block_) return;
    delete positions();
    delete[] block();
    has_block_ = 0;
  }

  static constexpr std::size_t kPointerWords = sizeof(Positions*) / sizeof(std::uint32_t);
  static_assert(__STDCPP_DEFAULT_NEW_ALIGNMENT__ >= alignof(Positions*));
  // Smaller blocks keep their capacity: shrinking them would save little.
  static constexpr std::uint32_t kShrinkFrom = 16;

  // The ids in place, or the block's address. On an 8-byte boundary, where a
  // leak checker's scan of the row finds the address.
  alignas(8) TypeId room_[kInPlace] = {};
  std::uint32_t out_ : 31 = 0;
  std::uint32_t has_block_ : 1 = 0;
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
