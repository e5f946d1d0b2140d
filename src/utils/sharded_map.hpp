// Sharded concurrent hash maps and sets: every table and index of the store
// and the node-uid sets.
//
// A key's hash picks one of a fixed number of shards; each shard is an
// `absl::flat_hash_map` (or set) under its own `std::shared_mutex`. Every
// operation takes exactly one shard lock for its own duration, or, for the
// shard-wise walks, one shard's lock per task. Callbacks run under that lock:
// they must not take a write lock on a shard of the same map that the calling
// thread already holds, and must not wait for nested pool work that could run
// such a task on this thread (wrap that in `tbb::this_task_arena::isolate`).
//
// `N` shards (64 by default; small per-node sets use one). Shard locks are
// deliberately not registered with the deadlock detector.
// Any thread may call anything here.
#pragma once

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "utils/tsan.hpp"

namespace velmora::utils {

inline constexpr std::size_t kShardCount = 64;
// Walks over at most this many entries run on the calling thread, shard by
// shard: handing a handful of entries to the pool costs more than the work.
inline constexpr std::size_t kInlineWalk = 64;

namespace detail {

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// How many times with_shard_write asks again for a held shard before it
// sleeps: about 700 pauses in all, microseconds rather than a time slice.
inline constexpr unsigned kWriteRetries = 16;

template <class Table, class Hash, std::size_t N>
class Sharded {
 public:
  using key_type = typename Table::key_type;

  Sharded() = default;
  Sharded(const Sharded&) = delete;
  Sharded& operator=(const Sharded&) = delete;

  std::size_t size() const {
    std::size_t n = 0;
    for (const auto& s : shards_) {
      std::shared_lock lock(s.mutex);
      n += s.table.size();
    }
    return n;
  }
  bool empty() const { return size() == 0; }

  bool contains(const key_type& key) const {
    const auto& s = shard(key);
    std::shared_lock lock(s.mutex);
    return s.table.contains(key);
  }

  // Starts the loads a look-up of `key` begins with (its slot's control
  // bytes and slot), so that the look-ups of several keys overlap their
  // misses instead of taking them in turn.
  void prefetch(const key_type& key) const {
    const auto& s = shard(key);
    std::shared_lock lock(s.mutex);
    s.table.prefetch(key);
  }

  // Removes `key`; true when it was there.
  bool erase(const key_type& key) {
    auto& s = shard(key);
    std::unique_lock lock(s.mutex);
    return s.table.erase(key) > 0;
  }

  void clear() {
    for (auto& s : shards_) {
      std::unique_lock lock(s.mutex);
      s.table.clear();
    }
  }
  // The same with the shards emptied in parallel: for large maps whose values
  // take long to destroy.
  void clear_parallel() {
    tsan::Join join;
    tbb::parallel_for(std::size_t{0}, N,
                      tsan::body(
                          [&](std::size_t i) {
                            std::unique_lock lock(shards_[i].mutex);
                            shards_[i].table.clear();
                          },
                          join));
    join.joined();
  }

  // Calls fn(table) for every shard in parallel, each under its shard's read
  // lock (in turn on the calling thread for a small map). fn must not write to
  // this map.
  template <class Fn>
  void for_each_shard_parallel(Fn&& fn) const {
    tbb::task_group_context ctx;
    for_each_shard_parallel(std::forward<Fn>(fn), ctx);
  }
  // The same under a task group context, so a caller can cancel the walk.
  template <class Fn>
  void for_each_shard_parallel(Fn&& fn, tbb::task_group_context& ctx) const {
    if (size() <= kInlineWalk) {
      for (const auto& s : shards_) {
        if (ctx.is_group_execution_cancelled()) return;
        std::shared_lock lock(s.mutex);
        fn(s.table);
      }
      return;
    }
    tsan::Join join;
    tbb::parallel_for(std::size_t{0}, N,
                      tsan::body(
                          [&](std::size_t i) {
                            std::shared_lock lock(shards_[i].mutex);
                            fn(shards_[i].table);
                          },
                          join),
                      tbb::auto_partitioner(), ctx);
    join.joined();
  }
  // The number of shards, and the shard a key lives in.
  static constexpr std::size_t shard_count() { return N; }
  static std::size_t shard_of(const key_type& key) { return index(key); }
  // fn(table) under the write lock of shard `i` (below shard_count()): for
  // writers that lock several shards at once. A shard that is held is asked
  // for again, after pauses that grow, before the thread sleeps on it: many
  // such writers may want one shard at a time (every removal of one of a
  // hub's neighbours locks the hub's), each for a short step, and handing the
  // lock over to a sleeping thread costs more than such a step.
  template <class Fn>
  void with_shard_write(std::size_t i, Fn&& fn) {
    std::unique_lock lock(shards_[i].mutex, std::defer_lock);
    for (unsigned round = 0; !lock.try_lock(); ++round) {
      if (round == kWriteRetries) {
        lock.lock();
        break;
      }
      for (unsigned k = 0; k < 1u << std::min(round, 6u); ++k) cpu_relax();
    }
    fn(shards_[i].table);
  }

  // fn(table) for every shard in turn, each under its read lock (for callers
  // already on a pool thread with little work).
  template <class Fn>
  void for_each_shard(Fn&& fn) const {
    for (const auto& s : shards_) {
      std::shared_lock lock(s.mutex);
      fn(s.table);
    }
  }

 protected:
  // Shards of a map sit on cache lines of their own; a one-shard set stays small.
  struct alignas(N == 1 ? alignof(std::max_align_t) : 64) Shard {
    mutable std::shared_mutex mutex;
    Table table;  // guarded by mutex
  };

  Shard& shard(const key_type& key) { return shards_[index(key)]; }
  const Shard& shard(const key_type& key) const { return shards_[index(key)]; }
  static std::size_t index(const key_type& key) {
    if constexpr (N == 1) {
      return 0;
    } else {
      // Mix the hash so shard choice and in-table slots use different bits.
      const std::size_t h = Hash{}(key)*0x9E3779B97F4A7C15ull;
      return static_cast<std::size_t>(((h >> 32) * N) >> 32);
    }
  }

  std::array<Shard, N> shards_;
};

}  // namespace detail

template <class K, class V, class Hash = absl::Hash<K>, std::size_t N = kShardCount>
class ShardedMap : public detail::Sharded<absl::flat_hash_map<K, V, Hash>, Hash, N> {
 public:
  using Table = absl::flat_hash_map<K, V, Hash>;

  // A copy of the value under `key`.
  std::optional<V> get(const K& key) const {
    const auto& s = this->shard(key);
    std::shared_lock lock(s.mutex);
    auto it = s.table.find(key);
    if (it == s.table.end()) return std::nullopt;
    return it->second;
  }

  // fn(const V&) under the shard's read lock; nullopt when absent.
  template <class Fn>
  auto with_read(const K& key, Fn&& fn) const -> std::optional<std::invoke_result_t<Fn, const V&>> {
    const auto& s = this->shard(key);
    std::shared_lock lock(s.mutex);
    auto it = s.table.find(key);
    if (it == s.table.end()) return std::nullopt;
    return std::invoke(fn, it->second);
  }

  // fn(V&) under the shard's write lock; false when absent.
  template <class Fn>
  bool with_write(const K& key, Fn&& fn) {
    auto& s = this->shard(key);
    std::unique_lock lock(s.mutex);
    auto it = s.table.find(key);
    if (it == s.table.end()) return false;
    std::invoke(fn, it->second);
    return true;
  }

  // fn(V&, bool inserted) under the write lock, inserting make() when absent.
  template <class Make, class Fn>
  void upsert(const K& key, Make&& make, Fn&& fn) {
    auto& s = this->shard(key);
    std::unique_lock lock(s.mutex);
    auto [it, inserted] = s.table.try_emplace(key);
    if (inserted) it->second = make();
    fn(it->second, inserted);
  }

  // Inserts or replaces; returns the previous value.
  std::optional<V> insert(const K& key, V value) {
    auto& s = this->shard(key);
    std::unique_lock lock(s.mutex);
    auto [it, inserted] = s.table.try_emplace(key, std::move(value));
    if (inserted) return std::nullopt;
    std::optional<V> old(std::move(it->second));
    it->second = std::move(value);
    return old;
  }

  // Inserts only when absent; true when it inserted.
  bool insert_if_absent(const K& key, V value) {
    auto& s = this->shard(key);
    std::unique_lock lock(s.mutex);
    return s.table.try_emplace(key, std::move(value)).second;
  }

  // Removes and returns the value under `key`.
  std::optional<V> remove(const K& key) {
    auto& s = this->shard(key);
    std::unique_lock lock(s.mutex);
    auto it = s.table.find(key);
    if (it == s.table.end()) return std::nullopt;
    std::optional<V> old(std::move(it->second));
    s.table.erase(it);
    return old;
  }

  // Every key, in no particular order.
  std::vector<K> keys() const {
    std::vector<K> out;
    this->for_each_shard([&](const Table& t) {
      for (const auto& [k, v] : t) out.push_back(k);
    });
    return out;
  }
};

template <class K, class Hash = absl::Hash<K>, std::size_t N = kShardCount>
class ShardedSet : public detail::Sharded<absl::flat_hash_set<K, Hash>, Hash, N> {
 public:
  using Table = absl::flat_hash_set<K, Hash>;

  // True when `key` was not there.
  bool insert(const K& key) {
    auto& s = this->shard(key);
    std::unique_lock lock(s.mutex);
    return s.table.insert(key).second;
  }

  std::vector<K> keys() const {
    std::vector<K> out;
    this->for_each_shard([&](const Table& t) { out.insert(out.end(), t.begin(), t.end()); });
    return out;
  }
};

}  // namespace velmora::utils
