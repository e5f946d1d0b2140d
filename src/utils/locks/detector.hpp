// Deadlock detection for the module's own locks.
//
// Every tracked lock (see locks.hpp) keeps a record of the threads holding it,
// and a thread about to block on a tracked lock leaves a wait record with its
// stack trace. `check_deadlock` reads these records and finds cycles in the
// wait-for graph. Locks outside this scheme (plain std locks, the interpreter
// lock) are invisible to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace velmora::utils::locks {

// The calling thread's number: stable for the thread's life, assigned on first
// use from 1 upwards. Any thread may call it; takes no lock.
std::uint64_t current_thread_id() noexcept;

// "ThreadId(7)".
std::string thread_id_text(std::uint64_t id);

struct DeadlockedThread {
  std::string thread_id;  // "ThreadId(n)"
  std::string backtrace;  // where the thread blocked, one frame a line
};
using Deadlock = std::vector<DeadlockedThread>;

// The deadlocks among tracked locks right now: each is a set of threads every
// one of which waits for a lock held by another of the set (a thread waiting
// for a lock it holds itself is a deadlock of one). Each deadlock is listed
// once, each of its threads once. A thread counts as waiting only if it waited
// for the same acquisition across two snapshots taken ~20 ms apart, so a check
// that finds any waiting thread takes that long. Any thread may call it; it
// takes the lock registry's mutex, each lock's record mutex in turn, and the
// wait table's mutex, never two of them at once except registry + one record.
std::vector<Deadlock> check_deadlock();

namespace detail {

// Bookkeeping of one tracked lock: its holders (a thread appears once per hold,
// so a reader holding twice appears twice). Registered with the detector for
// its whole life; destroying it unregisters it. Thread-safe.
class LockRecord {
 public:
  LockRecord();
  ~LockRecord();
  LockRecord(const LockRecord&) = delete;
  LockRecord& operator=(const LockRecord&) = delete;

  // Call after acquiring / before releasing, on the holding thread.
  void add_holder() noexcept;
  void remove_holder() noexcept;

  std::uint64_t id() const noexcept { return id_; }
  std::vector<std::uint64_t> holders() const;
  // Makes the lock known to the detector; done the first time a thread has to
  // wait for it, so uncontended locks never touch the global registry.
  void ensure_registered() const;

 private:
  const std::uint64_t id_;
  mutable std::atomic<bool> registered_{false};
  mutable std::mutex mutex_;
  std::vector<std::uint64_t> holders_;
};

// "This thread is about to block on `lock`" for the scope's life: captures the
// stack trace and records the wait; the destructor clears it. Only for the
// slow path (takes the wait table's mutex).
class WaitScope {
 public:
  explicit WaitScope(const LockRecord& lock);
  ~WaitScope();
  WaitScope(const WaitScope&) = delete;
  WaitScope& operator=(const WaitScope&) = delete;
};

}  // namespace detail
}  // namespace velmora::utils::locks
