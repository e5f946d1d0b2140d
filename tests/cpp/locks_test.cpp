// Tracked locks: they behave as the std locks they wrap, and the detector finds
// deadlocks among them and nothing else. Tests that deadlock threads on purpose
// leak both the threads and the locks (nothing can free them), so every check
// here looks only at the threads of its own test.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "utils/locks/detector.hpp"
#include "utils/locks/locks.hpp"

namespace velmora::utils::locks {
namespace {

using namespace std::chrono_literals;

std::set<std::string> names_of(const Deadlock& deadlock) {
  std::set<std::string> out;
  for (const auto& thread : deadlock) out.insert(thread.thread_id);
  return out;
}

// Polls until a deadlock made of exactly `threads` shows up (at most 5 s).
std::optional<Deadlock> await_deadlock(const std::set<std::string>& threads) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    for (auto& deadlock : check_deadlock())
      if (names_of(deadlock) == threads) return deadlock;
    std::this_thread::sleep_for(10ms);
  }
  return std::nullopt;
}

bool mentions_any(const std::vector<Deadlock>& deadlocks, const std::set<std::string>& threads) {
  for (const auto& deadlock : deadlocks)
    for (const auto& thread : deadlock)
      if (threads.contains(thread.thread_id)) return true;
  return false;
}

TEST(LocksRwLock, WriterExcludesEveryoneReadersExcludeWriters) {
  RwLock lock;
  auto from_other_thread = [&](auto attempt) {
    bool got = false;
    std::thread([&] { got = attempt(); }).join();
    return got;
  };
  {
    std::unique_lock write(lock);
    EXPECT_FALSE(from_other_thread([&] { return lock.try_lock_shared(); }));
    EXPECT_FALSE(from_other_thread([&] { return lock.try_lock(); }));
  }
  {
    std::shared_lock read(lock);
    EXPECT_FALSE(from_other_thread([&] { return lock.try_lock(); }));
    EXPECT_TRUE(from_other_thread([&] {
      if (!lock.try_lock_shared()) return false;
      lock.unlock_shared();
      return true;
    }));
  }
  EXPECT_TRUE(lock.try_lock());
  lock.unlock();
}

TEST(LocksRwLock, WritersSerialise) {
  RwLock lock;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        std::unique_lock write(lock);
        ++counter;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 8 * 20000);
}

TEST(LocksRwLock, OneThreadMayHoldTheReadLockTwice) {
  RwLock lock;
  lock.lock_shared();
  lock.lock_shared();
  EXPECT_FALSE(mentions_any(check_deadlock(), {thread_id_text(current_thread_id())}));
  lock.unlock_shared();
  bool writer_got_it = true;
  std::thread([&] { writer_got_it = lock.try_lock(); }).join();
  EXPECT_FALSE(writer_got_it);  // still held once
  lock.unlock_shared();
  EXPECT_TRUE(lock.try_lock());
  lock.unlock();
}

TEST(LocksCondvar, WaitReturnsOnceNotified) {
  Mutex mutex;
  Condvar ready_changed;
  bool ready = false;
  std::thread notifier([&] {
    std::this_thread::sleep_for(20ms);
    {
      std::lock_guard guard(mutex);
      ready = true;
    }
    ready_changed.notify_all();
  });
  std::unique_lock lock(mutex);
  ready_changed.wait(lock, [&] { return ready; });
  EXPECT_TRUE(ready);
  EXPECT_TRUE(lock.owns_lock());
  lock.unlock();
  notifier.join();
}

TEST(LocksCondvar, WaitForTimesOutAndReleasesTheMutexMeanwhile) {
  Mutex mutex;
  Condvar never;
  std::unique_lock lock(mutex);
  std::atomic<bool> other_got_mutex = false;
  std::thread other([&] {
    std::lock_guard guard(mutex);  // only possible while we wait
    other_got_mutex = true;
  });
  EXPECT_FALSE(never.wait_for(lock, 200ms, [] { return false; }));
  EXPECT_TRUE(lock.owns_lock());
  EXPECT_TRUE(other_got_mutex);
  EXPECT_EQ(never.wait_for(lock, 10ms), std::cv_status::timeout);
  lock.unlock();
  other.join();
}

TEST(LocksDetector, ContentionInConsistentOrderIsNoDeadlock) {
  RwLock a, b;
  Mutex c;
  constexpr int kThreads = 12;
  std::vector<std::string> ids(kThreads);
  std::latch started(kThreads + 1);
  std::atomic<bool> stop = false;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      ids[t] = thread_id_text(current_thread_id());
      started.arrive_and_wait();
      for (int i = 0; !stop; ++i) {
        // Same order everywhere: a, then b, then c; readers and writers mixed.
        if ((i + t) % 3 == 0) {
          std::shared_lock ra(a);
          std::unique_lock wb(b);
          std::lock_guard gc(c);
        } else if ((i + t) % 3 == 1) {
          std::unique_lock wa(a);
          std::shared_lock rb(b);
          std::shared_lock rb_again(b);
        } else {
          std::shared_lock rb(b);
          std::lock_guard gc(c);
          RwLock short_lived;  // locks come and go while the detector runs
          std::unique_lock ws(short_lived);
        }
      }
    });
  started.arrive_and_wait();
  const std::set<std::string> workers(ids.begin(), ids.end());
  const auto until = std::chrono::steady_clock::now() + 1500ms;
  int checks = 0;
  while (std::chrono::steady_clock::now() < until) {
    EXPECT_FALSE(mentions_any(check_deadlock(), workers));
    ++checks;
  }
  stop = true;
  for (auto& thread : threads) thread.join();
  EXPECT_GT(checks, 10);
}

TEST(LocksDetector, TwoLockCycleIsReported) {
  auto* a = new RwLock;  // leaked: the threads wait on them for ever
  auto* b = new RwLock;
  auto* both_hold_one = new std::latch(2);
  std::string ids[2];
  auto* named = new std::latch(3);  // leaked: detached threads use it
  auto cross = [&, both_hold_one, named](int me, RwLock* first, RwLock* second) {
    ids[me] = thread_id_text(current_thread_id());
    named->arrive_and_wait();
    first->lock();
    both_hold_one->arrive_and_wait();
    second->lock();
  };
  std::thread(cross, 0, a, b).detach();
  std::thread(cross, 1, b, a).detach();
  named->arrive_and_wait();
  const auto deadlock = await_deadlock({ids[0], ids[1]});
  ASSERT_TRUE(deadlock.has_value());
  ASSERT_EQ(deadlock->size(), 2u);
  for (const auto& thread : *deadlock) {
    EXPECT_TRUE(thread.thread_id.starts_with("ThreadId("));
    EXPECT_TRUE(thread.backtrace.starts_with("   0: ")) << thread.backtrace;
  }
  // Reported once.
  int seen = 0;
  for (const auto& found : check_deadlock()) seen += names_of(found) == std::set{ids[0], ids[1]};
  EXPECT_EQ(seen, 1);
}

TEST(LocksDetector, WaitingForALockHeldByOneselfIsACycleOfOne) {
  auto* lock = new RwLock;  // leaked with its thread
  std::string id;
  auto* named = new std::latch(2);  // leaked: the detached thread uses it
  std::thread([&, lock, named] {
    id = thread_id_text(current_thread_id());
    named->arrive_and_wait();
    lock->lock_shared();
    lock->lock();  // blocks for ever on our own read lock
  }).detach();
  named->arrive_and_wait();
  const auto deadlock = await_deadlock({id});
  ASSERT_TRUE(deadlock.has_value());
  EXPECT_EQ(deadlock->size(), 1u);
}

TEST(LocksDetector, PlainStdLocksAreNotReported) {
  auto* a = new std::shared_mutex;  // leaked with their threads
  auto* b = new std::shared_mutex;
  auto* both_hold_one = new std::latch(2);
  std::string ids[2];
  auto* named = new std::latch(3);  // leaked: detached threads use it
  auto cross = [&, both_hold_one, named](int me, std::shared_mutex* first, std::shared_mutex* second) {
    ids[me] = thread_id_text(current_thread_id());
    named->arrive_and_wait();
    first->lock();
    both_hold_one->arrive_and_wait();
    second->lock();
  };
  std::thread(cross, 0, a, b).detach();
  std::thread(cross, 1, b, a).detach();
  named->arrive_and_wait();
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(mentions_any(check_deadlock(), {ids[0], ids[1]}));
}

// Readers and writers on one lock, some of them holding it long enough that
// the others go to sleep: a writer is always alone inside, a reader never sees
// a writer's half-done update, and no wake-up is lost (a lost one hangs here).
TEST(LocksRwLock, ReadersAndWritersWithSleepers) {
  RwLock lock;
  long first = 0, second = 0;  // guarded by lock; equal outside a writer
  std::atomic<int> writers_inside = 0, readers_inside = 0, faults = 0;
  constexpr int kWriters = 4, kReaders = 4, kWrites = 5000, kReads = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kWrites; ++i) {
        std::unique_lock write(lock);
        if (writers_inside++ != 0 || readers_inside != 0) ++faults;
        ++first;
        if ((i + t) % 500 == 0) std::this_thread::sleep_for(200us);
        ++second;
        --writers_inside;
      }
    });
  for (int t = 0; t < kReaders; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kReads; ++i) {
        std::shared_lock read(lock);
        ++readers_inside;
        if (writers_inside != 0 || first != second) ++faults;
        if ((i + t) % 2000 == 0) std::this_thread::sleep_for(200us);
        --readers_inside;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(faults, 0);
  EXPECT_EQ(first, long{kWriters} * kWrites);
  EXPECT_EQ(second, first);
}

TEST(LocksRwLock, TakingItsWriteLockAgainThrows) {
  RwLock lock;
  lock.lock();
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      attempt == 0 ? lock.lock() : lock.lock_shared();
      ADD_FAILURE() << "no exception on attempt " << attempt;
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code(), std::errc::resource_deadlock_would_occur);
    }
  }
  lock.unlock();
  EXPECT_TRUE(lock.try_lock_shared());  // the refusals left nothing behind
  lock.unlock_shared();
  EXPECT_TRUE(lock.try_lock());
  lock.unlock();
}

}  // namespace
}  // namespace velmora::utils::locks
