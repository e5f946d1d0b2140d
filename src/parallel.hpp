// Parallel loops that stop at the first error.
//
// `try_for_each` runs fn on every item on the pool; the first failing item's
// report wins, no item starts after it, and that report is returned. Faults
// (exceptions) thrown by fn are rethrown on the calling thread by the pool.
// Any thread may call it; the caller waits for the loop.
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <algorithm>

#include <cstddef>
#include <mutex>
#include <optional>
#include <span>

#include "errors.hpp"
#include "utils/tsan.hpp"

namespace velmora {

// Holds the first report of a parallel step.
class FirstError {
 public:
  // Records `report` unless one is there already; cancels `ctx`.
  void set(Report&& report, tbb::task_group_context& ctx) {
    {
      std::lock_guard lock(mutex_);
      if (!report_) report_.emplace(std::move(report));
    }
    ctx.cancel_group_execution();
  }
  bool has() const {
    std::lock_guard lock(mutex_);
    return report_.has_value();
  }
  // The recorded report as a failed status, or success.
  Status take() {
    std::lock_guard lock(mutex_);
    if (report_) return std::unexpected(std::move(*report_));
    return {};
  }

 private:
  mutable std::mutex mutex_;
  std::optional<Report> report_;  // guarded by mutex_
};

// fn(std::size_t i) -> Status, for every index below n, in parallel; first error wins.
template <class Fn>
Status try_for_each_index(std::size_t n, Fn&& fn) {
  if (n == 0) return {};
  if (n == 1) return fn(std::size_t{0});
  tbb::task_group_context ctx;
  FirstError first;
  utils::tsan::Join join;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n),
                    utils::tsan::body(
                        [&](const tbb::blocked_range<std::size_t>& range) {
                          for (std::size_t i = range.begin(); i != range.end(); ++i) {
                            if (ctx.is_group_execution_cancelled()) return;
                            auto status = fn(i);
                            if (!status) {
                              first.set(std::move(status).error(), ctx);
                              return;
                            }
                          }
                        },
                        join),
                    ctx);
  join.joined();
  return first.take();
}

// fn(const T&) -> Status, for every item, in parallel; first error wins.
template <class T, class Fn>
Status try_for_each(std::span<const T> items, Fn&& fn) {
  return try_for_each_index(items.size(), [&](std::size_t i) { return fn(items[i]); });
}

// Below this many light items (a fraction of a microsecond each, a few
// cache misses at most) a loop is cheaper on the calling thread than on the
// pool. Above it the pool gets pieces of `light_grain(n)` items: up to
// kLightGrain, so that its start-up and stealing stay small beside the work,
// but small enough that a loop of a few thousand still reaches every thread.
inline constexpr std::size_t kInlineLightItems = 512;
inline constexpr std::size_t kLightGrain = 1024;

inline std::size_t light_grain(std::size_t n) {
  const std::size_t threads = static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
  return std::clamp<std::size_t>(n / (4 * threads), 64, kLightGrain);
}

// try_for_each_light (below) where each piece first makes a state of its own with
// `open()` (once for the whole loop on the calling thread), and every item of
// the piece gets it: fn(state&, const T&) -> Status. For what a per-item call
// would otherwise look up on every item, such as a thread's part of an output.
// The items are visited in the same pieces and order as try_for_each_light's.
template <class T, class Open, class Fn>
Status try_for_each_light_with(std::span<const T> items, Open&& open, Fn&& fn) {
  if (items.size() <= kInlineLightItems) {
    if (items.empty()) return {};
    auto state = open();
    for (const T& item : items) VM_TRY(fn(state, item));
    return {};
  }
  tbb::task_group_context ctx;
  FirstError first;
  utils::tsan::Join join;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, items.size(), light_grain(items.size())),
                    utils::tsan::body(
                        [&](const tbb::blocked_range<std::size_t>& range) {
                          if (ctx.is_group_execution_cancelled()) return;
                          auto state = open();
                          for (std::size_t i = range.begin(); i != range.end(); ++i) {
                            if (ctx.is_group_execution_cancelled()) return;
                            auto status = fn(state, items[i]);
                            if (!status) {
                              first.set(std::move(status).error(), ctx);
                              return;
                            }
                          }
                        },
                        join),
                    tbb::simple_partitioner(), ctx);
  join.joined();
  return first.take();
}

// try_for_each for light items: in order on the calling thread up to
// kInlineLightItems (stopping at the first error), else in pieces of
// kLightGrain on the pool; first error wins.
template <class T, class Fn>
Status try_for_each_light(std::span<const T> items, Fn&& fn) {
  return try_for_each_light_with(
      items, [] { return 0; }, [&](int, const T& item) { return fn(item); });
}

// fn(key, value) -> Status for every entry of a sharded map (or fn(key) for a
// set), one task per shard under its read lock; first error wins.
template <class Map, class Fn>
Status try_for_each_entry(const Map& map, Fn&& fn) {
  const auto call = [&](const auto& entry) -> Status {
    if constexpr (requires { entry.second; }) {
      return fn(entry.first, entry.second);
    } else {
      return fn(entry);
    }
  };
  // A map that walks a small size on the calling thread, in its order, needs
  // no context to cancel: the loop stops at its first error.
  if constexpr (requires { map.walks_on_caller(); }) {
    if (map.walks_on_caller()) {
      Status out;
      map.for_each_shard([&](const auto& table) {
        if (!out) return;
        for (const auto& entry : table) {
          out = call(entry);
          if (!out) return;
        }
      });
      return out;
    }
  }
  tbb::task_group_context ctx;
  FirstError first;
  map.for_each_shard_parallel(
      [&](const auto& table) {
        for (const auto& entry : table) {
          if (ctx.is_group_execution_cancelled()) return;
          Status status = call(entry);
          if (!status) {
            first.set(std::move(status).error(), ctx);
            return;
          }
        }
      },
      ctx);
  return first.take();
}

}  // namespace velmora
