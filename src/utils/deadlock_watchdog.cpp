#include "utils/deadlock_watchdog.hpp"

#include <fmt/format.h>
#include <pthread.h>

#include <cstdio>
#include <source_location>
#include <string>
#include <system_error>
#include <thread>

#include "utils/locks/detector.hpp"
#include "utils/panic.hpp"
#include "utils/source_position.hpp"

namespace velmora::utils {
namespace {

constexpr const char* kThreadName = "deadlock-watchdog";
// The kernel keeps 15 characters of a thread name.
constexpr const char* kOsThreadName = "deadlock-watchd";

// Each line group goes out in one write so that other threads' output cannot
// split it.
void say(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

// The standard fault report (see report_panic), with the thread's full name:
// report_panic asks the OS for the name and would get the truncated one.
void report_fault(const std::string& message, std::source_location where = std::source_location::current()) {
  say(fmt::format("thread '{}' panicked at {}:\n{}\n", kThreadName, source_position(where), message));
}

void watch(std::chrono::milliseconds period) noexcept {
  try {
    for (;;) {
      std::this_thread::sleep_for(period);
      const auto deadlocks = locks::check_deadlock();
      if (deadlocks.empty()) continue;
      say(fmt::format("🔴 {} DEADLOCK(S) DETECTED\n", deadlocks.size()));
      for (std::size_t i = 0; i < deadlocks.size(); ++i) {
        say(fmt::format("  Deadlock #{}\n", i + 1));
        for (const auto& thread : deadlocks[i]) {
          say(fmt::format("    Thread ID {}\n", thread.thread_id));
          say("    Backtrace:\n");
          say(thread.backtrace);
          say("\n");
        }
      }
      report_fault("deadlock detected – aborting");
      return;
    }
  } catch (...) {
    // An exception escaping a std::thread ends the process; the watchdog only
    // ever ends itself.
  }
}

}  // namespace

void start_deadlock_watchdog() { start_deadlock_watchdog_every(std::chrono::seconds(5)); }

void start_deadlock_watchdog_every(std::chrono::milliseconds period) {
  try {
    std::thread thread(watch, period);
    pthread_setname_np(thread.native_handle(), kOsThreadName);
    thread.detach();
  } catch (const std::system_error& e) {
    panic(std::string("watchdog thread spawn failed: ") + e.what());
  }
}

}  // namespace velmora::utils
