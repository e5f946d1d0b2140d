#include "utils/locks/locks.hpp"

namespace velmora::utils::locks {
namespace {

// Try first so that the uncontended path never touches the wait table; the
// wait record is cleared (scope end) before the holder record is added, so no
// snapshot shows a thread waiting for a lock it already got.
template <class Try, class Block>
void acquire(detail::LockRecord& record, Try try_acquire, Block block) {
  if (!try_acquire()) {
    detail::WaitScope wait(record);
    block();
  }
  record.add_holder();
}

}  // namespace

void RwLock::lock() {
  acquire(record_, [this] { return inner_.try_lock(); }, [this] { inner_.lock(); });
}

bool RwLock::try_lock() {
  if (!inner_.try_lock()) return false;
  record_.add_holder();
  return true;
}

void RwLock::unlock() {
  record_.remove_holder();
  inner_.unlock();
}

void RwLock::lock_shared() {
  acquire(record_, [this] { return inner_.try_lock_shared(); }, [this] { inner_.lock_shared(); });
}

bool RwLock::try_lock_shared() {
  if (!inner_.try_lock_shared()) return false;
  record_.add_holder();
  return true;
}

void RwLock::unlock_shared() {
  record_.remove_holder();
  inner_.unlock_shared();
}

void Mutex::lock() {
  acquire(record_, [this] { return inner_.try_lock(); }, [this] { inner_.lock(); });
}

bool Mutex::try_lock() {
  if (!inner_.try_lock()) return false;
  record_.add_holder();
  return true;
}

void Mutex::unlock() {
  record_.remove_holder();
  inner_.unlock();
}

}  // namespace velmora::utils::locks
