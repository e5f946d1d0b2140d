// Deadlock detection for the module's own locks.
//
// Every thread keeps the list of tracked locks (see locks.hpp) that it holds in
// a record of its own, which only it touches. A thread about to block on a
// tracked lock publishes a wait record: the lock, its stack trace and a copy of
// its held list, which cannot change while it waits. `check_deadlock` reads
// the wait records and finds cycles in the wait-for graph. Locks outside this
// scheme (plain std locks, the interpreter lock) are invisible to it.
#pragma once

#include <cstdint>
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
// takes only the wait table's mutex, twice.
std::vector<Deadlock> check_deadlock();

namespace detail {

// The calling thread's held list. A lock is named by its address, which stays
// its own for its life; a thread appears once per hold, so a reader holding
// twice is listed twice. No lock, no atomic operation: only the owning thread
// reads or writes its list, except through the copy in a wait record.
// Call after acquiring / before releasing, on the holding thread.
void note_acquired(const void* lock, bool exclusive) noexcept;
void note_released(const void* lock) noexcept;
// Whether the calling thread holds `lock` in exclusive mode.
bool holds_exclusively(const void* lock) noexcept;

// "This thread is about to block on `lock`" for the scope's life: captures the
// stack trace and the held list and records the wait; the destructor clears
// it. Only for the slow path (takes the wait table's mutex).
class WaitScope {
 public:
  explicit WaitScope(const void* lock);
  ~WaitScope();
  WaitScope(const WaitScope&) = delete;
  WaitScope& operator=(const WaitScope&) = delete;
};

}  // namespace detail
}  // namespace velmora::utils::locks
