// The module's own locks, tracked by the deadlock detector (detector.hpp).
//
// Drop-in replacements for std::shared_mutex, std::mutex and
// std::condition_variable: they meet the standard lock requirements, so
// std::unique_lock / std::shared_lock / std::lock_guard work with them. A lock
// is one 32-bit word, so that every property map can afford its own. An
// acquisition that succeeds at once costs one atomic update of the word plus
// an entry in the calling thread's own held list; one that still fails after
// a short spin first records the wait and the caller's stack trace, then
// sleeps on the word (futex). A reader is let in whenever no writer holds the
// lock, even while writers wait, so a thread may take a read lock again while
// it holds it. Errors are those of the std types: taking an RwLock's write
// (or read) lock while the same thread holds its write lock throws
// std::system_error (resource_deadlock_would_occur). Not copyable or movable;
// destroying a lock (never while held or awaited) leaves no record behind.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "utils/locks/detector.hpp"

namespace velmora::utils::locks {

namespace detail {

// The word: a writer bit, a "someone sleeps on the word" bit and the number
// of readers. Untracked; RwLock and Mutex add the bookkeeping.
class LockWord {
 public:
  bool try_lock() noexcept;
  bool try_lock_shared() noexcept;
  // Block until acquired; call after a failed try.
  void lock_slow() noexcept;
  void lock_shared_slow() noexcept;
  void unlock() noexcept;
  void unlock_shared() noexcept;

 private:
  std::atomic<std::uint32_t> word_{0};
};

}  // namespace detail

// Reader-writer lock. A thread may hold the read lock more than once.
class RwLock {
 public:
  RwLock() = default;
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock();
  bool try_lock();
  void unlock();
  void lock_shared();
  bool try_lock_shared();
  void unlock_shared();

 private:
  detail::LockWord word_;
};

class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock();
  bool try_lock();
  void unlock();

 private:
  detail::LockWord word_;
};

// Condition variable over a tracked Mutex. While waiting, the thread holds the
// mutex no more and is not waiting for a lock; on wake-up it re-acquires the
// mutex like any other `lock()`, and is recorded as waiting if that blocks.
class Condvar {
 public:
  Condvar() = default;
  Condvar(const Condvar&) = delete;
  Condvar& operator=(const Condvar&) = delete;

  void wait(std::unique_lock<Mutex>& lock) { cv_.wait(lock); }
  template <class Predicate>
  void wait(std::unique_lock<Mutex>& lock, Predicate ready) {
    cv_.wait(lock, std::move(ready));
  }
  template <class Rep, class Period>
  std::cv_status wait_for(std::unique_lock<Mutex>& lock, const std::chrono::duration<Rep, Period>& timeout) {
    return cv_.wait_for(lock, timeout);
  }
  // False if `ready()` is still false when the timeout ends.
  template <class Rep, class Period, class Predicate>
  bool wait_for(std::unique_lock<Mutex>& lock, const std::chrono::duration<Rep, Period>& timeout, Predicate ready) {
    return cv_.wait_for(lock, timeout, std::move(ready));
  }
  void notify_all() noexcept { cv_.notify_all(); }

 private:
  // The _any variant unlocks and relocks through Mutex itself, which keeps the
  // holder and wait records right without special cases.
  std::condition_variable_any cv_;
};

}  // namespace velmora::utils::locks
