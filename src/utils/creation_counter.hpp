// Creation counters: the units that a query's `limit` hands to the creations
// of the matches below one frame.
//
// A counter starts with `available` = limit and `active` = 0. `acquire` hands
// out a unit (`SlotGuard`); releasing the guard either spends the unit (the
// creation added a new node or edge: `consume()` was called) or gives it back.
// When no unit is available but some are out, `acquire` waits for one of them
// to come back; it returns nothing only once every unit is spent.
//
// Waiting rule: a thread must never wait in `acquire` while it, or a task
// suspended below it on its stack, holds a unit of the same counter. Holders
// therefore run any nested parallel work inside `tbb::this_task_arena::isolate`,
// so a thread holding a unit only ever picks up tasks of its own nested work,
// never another creation that could block on the same counter; other threads
// may block, and the holder finishes without them.
//
// The counts live in one atomic word, so drawing and giving back a unit take
// no lock. Only a thread that must wait takes the mutex and the condition
// variable (tracked by the deadlock detector), which the counter makes the
// first time one does; a release wakes them only while some thread waits.
// Any thread may call anything here.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "utils/locks/locks.hpp"

namespace velmora::utils {

class CreationCounter;

// One unit held by one creation; released exactly once, when destroyed.
class SlotGuard {
 public:
  SlotGuard(SlotGuard&& other) noexcept : counter_(std::move(other.counter_)), consumed_(other.consumed_) {}
  SlotGuard& operator=(SlotGuard&&) = delete;
  SlotGuard(const SlotGuard&) = delete;
  ~SlotGuard();

  // Marks the unit spent: the creation added something new.
  void consume() { consumed_ = true; }
  bool consumed() const { return consumed_; }

 private:
  friend class CreationCounter;
  explicit SlotGuard(std::shared_ptr<CreationCounter> counter) : counter_(std::move(counter)) {}

  std::shared_ptr<CreationCounter> counter_;
  bool consumed_ = false;
};

class CreationCounter : public std::enable_shared_from_this<CreationCounter> {
 public:
  explicit CreationCounter(std::uint32_t limit) : counts_(limit) {}
  CreationCounter(const CreationCounter&) = delete;
  CreationCounter& operator=(const CreationCounter&) = delete;
  ~CreationCounter();

  // A unit, or nothing once every unit is spent; may wait (see the waiting rule).
  std::optional<SlotGuard> acquire();
  // Whether every unit is spent (none available, none out): final. Never waits.
  bool spent() const { return counts_.load(std::memory_order_acquire) == 0; }

  std::uint32_t available() const;
  std::uint64_t active() const;

 private:
  friend class SlotGuard;
  void release(bool consumed);

  // What a waiting thread sleeps on.
  struct Waiters {
    locks::Mutex mutex;
    locks::Condvar released;
  };
  // The waiters' record, made by the first thread that needs it.
  Waiters& waiters();

  // `available` in the low 32 bits, `active` in the high ones: their sum
  // never exceeds the limit, so neither count spills into the other.
  static constexpr std::uint64_t kActiveUnit = std::uint64_t{1} << 32;
  std::atomic<std::uint64_t> counts_;
  // The threads between their last look at the counts and their wake-up; a
  // release reads it after its own change, a waiter raises it before its
  // last look (both sequentially consistent), so no wake-up is missed.
  std::atomic<std::uint32_t> waiting_{0};
  std::atomic<Waiters*> waiters_{nullptr};
};

}  // namespace velmora::utils
