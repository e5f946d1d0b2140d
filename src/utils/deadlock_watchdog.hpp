// The deadlock watchdog: a background thread that every 5 s asks the lock
// detector (utils/locks/detector.hpp) for deadlocks among the module's locks.
// On finding any it prints them on standard error, reports the fault
// "deadlock detected – aborting" as the thread "deadlock-watchdog", and ends;
// the process goes on, and no further check runs. It touches no other state.
#pragma once

#include <chrono>

namespace velmora::utils {

// Starts the detached watchdog thread and returns at once. Call once, at
// import, on any thread. If the thread cannot be started, panics
// ("watchdog thread spawn failed: ...", see utils/panic.hpp).
void start_deadlock_watchdog();

// As above with another polling period; for tests only.
void start_deadlock_watchdog_every(std::chrono::milliseconds period);

}  // namespace velmora::utils
