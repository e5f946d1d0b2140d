#include "utils/locks/locks.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <system_error>

namespace velmora::utils::locks {
namespace detail {
namespace {

constexpr std::uint32_t kWriter = 1u << 31;
constexpr std::uint32_t kSleepers = 1u << 30;
constexpr std::uint32_t kReaders = kSleepers - 1;

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

std::uint32_t* address(std::atomic<std::uint32_t>& word) { return reinterpret_cast<std::uint32_t*>(&word); }

// Sleeps unless the word has left `seen` already; spurious returns are fine,
// callers loop.
void sleep_on(std::atomic<std::uint32_t>& word, std::uint32_t seen) {
  syscall(SYS_futex, address(word), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
}

void wake_all(std::atomic<std::uint32_t>& word) {
  syscall(SYS_futex, address(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// Blocks until `can_take(word)`, then applies `take`. Sleepers set the bit
// before sleeping; whoever next frees the lock clears it and wakes them all,
// and those that lose the race set it again.
template <class CanTake, class Take>
void block(std::atomic<std::uint32_t>& word, CanTake can_take, Take take) {
  std::uint32_t seen = word.load(std::memory_order_relaxed);
  for (;;) {
    if (can_take(seen)) {
      if (word.compare_exchange_weak(seen, take(seen), std::memory_order_acquire, std::memory_order_relaxed)) return;
      continue;
    }
    if (!(seen & kSleepers) && !word.compare_exchange_weak(seen, seen | kSleepers, std::memory_order_relaxed)) continue;
    sleep_on(word, seen | kSleepers);
    seen = word.load(std::memory_order_relaxed);
  }
}

bool writer_may_take(std::uint32_t w) { return (w & ~kSleepers) == 0; }
bool reader_may_take(std::uint32_t w) { return !(w & kWriter); }

}  // namespace

bool LockWord::try_lock() noexcept {
  std::uint32_t seen = word_.load(std::memory_order_relaxed);
  while (writer_may_take(seen)) {
    if (word_.compare_exchange_weak(seen, seen | kWriter, std::memory_order_acquire, std::memory_order_relaxed))
      return true;
  }
  return false;
}

bool LockWord::try_lock_shared() noexcept {
  // One unconditional add rather than a compare-and-swap loop: many readers
  // of one map (a pattern's block checked against every node) would keep
  // failing each other's swaps. A reader that finds a writer takes its count
  // back, as a release would.
  if (reader_may_take(word_.fetch_add(1, std::memory_order_acquire))) return true;
  unlock_shared();
  return false;
}

void LockWord::lock_slow() noexcept {
  block(word_, writer_may_take, [](std::uint32_t w) { return w | kWriter; });
}

void LockWord::lock_shared_slow() noexcept {
  block(word_, reader_may_take, [](std::uint32_t w) { return w + 1; });
}

void LockWord::unlock() noexcept {
  // Keeps the counts of readers that are only passing through (see
  // try_lock_shared).
  if (word_.fetch_and(~(kWriter | kSleepers), std::memory_order_release) & kSleepers) wake_all(word_);
}

void LockWord::unlock_shared() noexcept {
  const std::uint32_t before = word_.fetch_sub(1, std::memory_order_release);
  if ((before & kReaders) != 1 || !(before & kSleepers)) return;
  // The last reader out wakes the sleepers, unless someone took the lock in
  // the meantime: that holder's release will.
  std::uint32_t expected = kSleepers;
  if (word_.compare_exchange_strong(expected, 0, std::memory_order_relaxed)) wake_all(word_);
}

}  // namespace detail

namespace {

// Long enough to ride out a holder's short critical section, short enough not
// to matter when the wait is real.
constexpr int kSpins = 64;

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Try first, and spin a little, so that short contention never touches the
// wait table; the wait record is cleared (scope end) before the holder entry
// is added, so no snapshot shows a thread waiting for a lock it already got.
template <class Try, class Block>
void acquire(const void* lock, bool exclusive, Try try_acquire, Block block) {
  bool got = try_acquire();
  for (int i = 0; !got && i < kSpins; ++i) {
    cpu_relax();
    got = try_acquire();
  }
  if (!got) {
    detail::WaitScope wait(lock);
    block();
  }
  detail::note_acquired(lock, exclusive);
}

// A thread asking again for a write lock it holds would wait for itself.
void refuse_if_held_exclusively(const void* lock) {
  if (detail::holds_exclusively(lock))
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
}

}  // namespace

void RwLock::lock() {
  if (word_.try_lock()) {
    detail::note_acquired(this, true);
    return;
  }
  refuse_if_held_exclusively(this);
  acquire(
      this, true, [this] { return word_.try_lock(); }, [this] { word_.lock_slow(); });
}

bool RwLock::try_lock() {
  if (!word_.try_lock()) return false;
  detail::note_acquired(this, true);
  return true;
}

void RwLock::unlock() {
  detail::note_released(this);
  word_.unlock();
}

void RwLock::lock_shared() {
  if (word_.try_lock_shared()) {
    detail::note_acquired(this, false);
    return;
  }
  refuse_if_held_exclusively(this);
  acquire(
      this, false, [this] { return word_.try_lock_shared(); }, [this] { word_.lock_shared_slow(); });
}

bool RwLock::try_lock_shared() {
  if (!word_.try_lock_shared()) return false;
  detail::note_acquired(this, false);
  return true;
}

void RwLock::unlock_shared() {
  detail::note_released(this);
  word_.unlock_shared();
}

void Mutex::lock() {
  acquire(
      this, true, [this] { return word_.try_lock(); }, [this] { word_.lock_slow(); });
}

bool Mutex::try_lock() {
  if (!word_.try_lock()) return false;
  detail::note_acquired(this, true);
  return true;
}

void Mutex::unlock() {
  detail::note_released(this);
  word_.unlock();
}

}  // namespace velmora::utils::locks
