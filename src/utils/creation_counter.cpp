#include "utils/creation_counter.hpp"

#include <mutex>

namespace velmora::utils {

SlotGuard::~SlotGuard() {
  if (counter_) counter_->release(consumed_);
}

CreationCounter::~CreationCounter() { delete waiters_.load(std::memory_order_acquire); }

CreationCounter::Waiters& CreationCounter::waiters() {
  if (Waiters* known = waiters_.load(std::memory_order_acquire)) return *known;
  auto* fresh = new Waiters();
  Waiters* expected = nullptr;
  if (waiters_.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *expected;
}

std::optional<SlotGuard> CreationCounter::acquire() {
  for (;;) {
    std::uint64_t counts = counts_.load(std::memory_order_acquire);
    while (static_cast<std::uint32_t>(counts) > 0) {
      if (counts_.compare_exchange_weak(counts, counts - 1 + kActiveUnit, std::memory_order_acq_rel))
        return SlotGuard(shared_from_this());
    }
    if (counts == 0) return std::nullopt;
    // Every remaining unit is out: wait for one to come back or be spent.
    Waiters& w = waiters();
    std::unique_lock lock(w.mutex);
    waiting_.fetch_add(1, std::memory_order_seq_cst);
    const std::uint64_t now = counts_.load(std::memory_order_seq_cst);
    if (static_cast<std::uint32_t>(now) > 0 || now >> 32 == 0) {
      waiting_.fetch_sub(1, std::memory_order_relaxed);
      continue;
    }
    w.released.wait(lock);
    waiting_.fetch_sub(1, std::memory_order_relaxed);
  }
}

void CreationCounter::release(bool consumed) {
  counts_.fetch_add(consumed ? -kActiveUnit : 1 - kActiveUnit, std::memory_order_seq_cst);
  if (waiting_.load(std::memory_order_seq_cst) == 0) return;
  // The waiter holds the mutex from its last look until it sleeps: taking it
  // here puts the wake-up after that.
  Waiters& w = waiters();
  { std::lock_guard lock(w.mutex); }
  w.released.notify_all();
}

std::uint32_t CreationCounter::available() const {
  return static_cast<std::uint32_t>(counts_.load(std::memory_order_acquire));
}

std::uint64_t CreationCounter::active() const { return counts_.load(std::memory_order_acquire) >> 32; }

}  // namespace velmora::utils
