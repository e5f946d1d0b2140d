// The module's own locks, tracked by the deadlock detector (detector.hpp).
//
// Drop-in replacements for std::shared_mutex, std::mutex and
// std::condition_variable: they meet the standard lock requirements, so
// std::unique_lock / std::shared_lock / std::lock_guard work with them. An
// acquisition that succeeds at once costs one try plus an update of the lock's
// holder record (a small per-lock mutex); one that would block first records
// the wait and the caller's stack trace. Errors are those of the std types
// (std::system_error, e.g. a write lock taken twice by one thread). Not
// copyable or movable; destroying a lock leaves no record behind.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "utils/locks/detector.hpp"

namespace velmora::utils::locks {

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
  std::shared_mutex inner_;
  detail::LockRecord record_;
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
  std::mutex inner_;
  detail::LockRecord record_;
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
  std::cv_status wait_for(std::unique_lock<Mutex>& lock,
                          const std::chrono::duration<Rep, Period>& timeout) {
    return cv_.wait_for(lock, timeout);
  }
  // False if `ready()` is still false when the timeout ends.
  template <class Rep, class Period, class Predicate>
  bool wait_for(std::unique_lock<Mutex>& lock, const std::chrono::duration<Rep, Period>& timeout,
                Predicate ready) {
    return cv_.wait_for(lock, timeout, std::move(ready));
  }
  void notify_one() noexcept { cv_.notify_one(); }
  void notify_all() noexcept { cv_.notify_all(); }

 private:
  // The _any variant unlocks and relocks through Mutex itself, which keeps the
  // holder and wait records right without special cases.
  std::condition_variable_any cv_;
};

}  // namespace velmora::utils::locks
