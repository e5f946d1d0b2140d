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
// The mutex and condition variable are tracked by the deadlock detector. Any
// thread may call anything here.
#pragma once

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
  explicit CreationCounter(std::uint32_t limit) : available_(limit) {}

  // A unit, or nothing once every unit is spent; may wait (see the waiting rule).
  std::optional<SlotGuard> acquire();

  std::uint32_t available() const;
  std::uint64_t active() const;

 private:
  friend class SlotGuard;
  void release(bool consumed);

  mutable locks::Mutex mutex_;
  locks::Condvar released_;
  std::uint64_t active_ = 0;     // guarded by mutex_
  std::uint32_t available_ = 0;  // guarded by mutex_
};

}  // namespace velmora::utils
