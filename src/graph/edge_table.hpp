// The edge table: an edge is named by its arrow type (start -> end), whose
// sides are the edge's ends; its property map sits in a slot of that arrow
// type's id.
//
// Threads: any thread. A slot is read and written under the lock of its
// stripe; whether an edge is there is read from the arrow's type row without
// a lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <type_traits>
#include <utility>

#include "graph/rows.hpp"
#include "graph/type_table.hpp"
#include "properties.hpp"

namespace velmora::graph {

// The edges: an edge is named by its arrow type, and its property map sits in
// a slot of that type's id, alive while the arrow's row carries the edge
// mark. Most edges never get a map with entries: such an edge has no slot
// (its slot stays untouched memory) and reads as an empty map of its own; the
// slot is made by the first write, or by `share`. A slot is read and written
// under the lock of its stripe (the ids spread over 64 locks as over a map's
// shards); whether an edge is there can be asked without one.
class EdgeTable {
 public:
  explicit EdgeTable(std::shared_ptr<TypeTable> types) : types_(std::move(types)) {}
  EdgeTable(const EdgeTable&) = delete;
  EdgeTable& operator=(const EdgeTable&) = delete;
  ~EdgeTable() {
    const std::uint32_t n = types_->allocated();
    for (std::uint32_t id = 0; id < n; ++id)
      if (has_slot(id)) std::destroy_at(&map(id));
  }

  bool contains(TypeId arrow) const { return types_->is_edge(arrow); }
  std::size_t size() const { return count_.load(std::memory_order_acquire); }

  // Inserts or replaces; returns the previous map. Under the stripe's write
  // lock, before the slot changes, hook(previous map or null, `value`).
  template <class Hook>
  std::optional<PropertyMap> insert(TypeId arrow, PropertyMap value, Hook&& hook) {
    std::unique_lock lock(stripe(arrow));
    if (types_->is_edge(arrow)) {
      if (!has_slot(arrow)) {
        const PropertyMap none;
        hook(&none, std::as_const(value));
        if (value.size() != 0) make_slot(arrow, std::move(value));
        return PropertyMap();
      }
      hook(&std::as_const(map(arrow)), std::as_const(value));
      std::optional<PropertyMap> old(std::move(map(arrow)));
      map(arrow) = std::move(value);
      return old;
    }
    hook(static_cast<const PropertyMap*>(nullptr), std::as_const(value));
    // A handle without a body is an empty map no one shares: the edge needs
    // no slot for it.
    if (value.size() != 0) make_slot(arrow, std::move(value));
    types_->set_edge(arrow, true);
    count_.fetch_add(1, std::memory_order_release);
    return std::nullopt;
  }
  std::optional<PropertyMap> insert(TypeId arrow, PropertyMap value) {
    return insert(arrow, std::move(value), [](const PropertyMap*, const PropertyMap&) {});
  }
  // Removes and returns the map of the edge `arrow`; hook(its map) first,
  // under the stripe's write lock.
  template <class Hook>
  std::optional<PropertyMap> remove(TypeId arrow, Hook&& hook) {
    std::unique_lock lock(stripe(arrow));
    if (!types_->is_edge(arrow)) return std::nullopt;
    std::optional<PropertyMap> old;
    if (has_slot(arrow)) {
      hook(std::as_const(map(arrow)));
      old.emplace(std::move(map(arrow)));
      std::destroy_at(&map(arrow));
      slot_bits(arrow).fetch_and(~slot_bit(arrow), std::memory_order_relaxed);
    } else {
      old.emplace();
      hook(std::as_const(*old));
    }
    types_->set_edge(arrow, false);
    count_.fetch_sub(1, std::memory_order_release);
    return old;
  }
  std::optional<PropertyMap> remove(TypeId arrow) {
    return remove(arrow, [](const PropertyMap&) {});
  }
  // fn(const PropertyMap&) under the stripe's read lock; none when absent.
  // An edge without a slot hands fn an empty map that is not the edge's: a
  // handle meant to share the edge's map comes from `share`.
  template <class Fn>
  auto with_read(TypeId arrow, Fn&& fn) const -> std::optional<std::invoke_result_t<Fn, const PropertyMap&>> {
    std::shared_lock lock(stripe(arrow));
    if (!types_->is_edge(arrow)) return std::nullopt;
    if (!has_slot(arrow)) {
      const PropertyMap none;
      return std::invoke(fn, none);
    }
    return std::invoke(fn, std::as_const(map(arrow)));
  }
  // fn(PropertyMap&) under the stripe's write lock, making the edge's slot
  // when it has none; false when absent.
  template <class Fn>
  bool with_write(TypeId arrow, Fn&& fn) {
    std::unique_lock lock(stripe(arrow));
    if (!types_->is_edge(arrow)) return false;
    if (!has_slot(arrow)) make_slot(arrow, PropertyMap());
    std::invoke(fn, map(arrow));
    return true;
  }
  // A handle sharing the edge's map (the stored handle itself); none when
  // absent.
  std::optional<PropertyMap> share(TypeId arrow) {
    std::optional<PropertyMap> out;
    with_write(arrow, [&](const PropertyMap& stored) { out.emplace(stored); });
    return out;
  }
  // fn(arrow id) for every edge, in parallel blocks, without locks.
  template <class Fn>
  void for_each_parallel(Fn&& fn) const {
    types_->for_each_parallel([&](TypeId id) {
      if (types_->is_edge(id)) fn(id);
    });
  }

 private:
  struct Slot {
    alignas(PropertyMap) unsigned char bytes[sizeof(PropertyMap)];
  };
  struct alignas(64) Stripe {
    std::shared_mutex mutex;
  };
  PropertyMap& map(TypeId id) const { return *std::launder(reinterpret_cast<PropertyMap*>(slots_.at(id).bytes)); }
  std::shared_mutex& stripe(TypeId id) const { return stripes_[TypeIdHash{}(id) >> 58].mutex; }

  // Whether the edge's slot holds a map: one bit per id, 64 ids a word. The
  // bit of an id changes only under its stripe's write lock; the other bits
  // of its word belong to other stripes, hence the atomic updates.
  static std::uint64_t slot_bit(TypeId id) { return std::uint64_t{1} << (id & 63); }
  std::atomic_ref<std::uint64_t> slot_bits(TypeId id) {
    return std::atomic_ref<std::uint64_t>(slot_words_.slot(id >> 6));
  }
  bool has_slot(TypeId id) const {
    std::uint64_t* word = slot_words_.find(id >> 6);
    return word && (std::atomic_ref<std::uint64_t>(*word).load(std::memory_order_relaxed) & slot_bit(id)) != 0;
  }
  void make_slot(TypeId id, PropertyMap value) {
    std::construct_at(reinterpret_cast<PropertyMap*>(slots_.slot(id).bytes), std::move(value));
    slot_bits(id).fetch_or(slot_bit(id), std::memory_order_relaxed);
  }

  std::shared_ptr<TypeTable> types_;
  rows::Chunked<Slot> slots_;
  rows::Chunked<std::uint64_t> slot_words_;
  mutable std::array<Stripe, 64> stripes_;
  std::atomic<std::size_t> count_{0};
};

}  // namespace velmora::graph
