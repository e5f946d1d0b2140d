#include "utils/creation_counter.hpp"

#include <mutex>

namespace velmora::utils {

SlotGuard::~SlotGuard() {
  if (counter_) counter_->release(consumed_);
}

std::optional<SlotGuard> CreationCounter::acquire() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (available_ > 0) {
      --available_;
      ++active_;
      return SlotGuard(shared_from_this());
    }
    if (active_ == 0) return std::nullopt;
    released_.wait(lock);
  }
}

void CreationCounter::release(bool consumed) {
  {
    std::lock_guard lock(mutex_);
    if (!consumed) ++available_;
    --active_;
  }
  released_.notify_all();
}

std::uint32_t CreationCounter::available() const {
  std::lock_guard lock(mutex_);
  return available_;
}

std::uint64_t CreationCounter::active() const {
  std::lock_guard lock(mutex_);
  return active_;
}

}  // namespace velmora::utils
