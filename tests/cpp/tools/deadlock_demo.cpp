// Runs the deadlock watchdog in a process of its own.
//   deadlock_demo deadlock  two threads deadlock on two tracked locks; waits
//                           until the watchdog has ended (at most 15 s)
//   deadlock_demo idle      nothing to find; outlives one polling period
// Either way it then prints "still alive" and exits with status 0.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <latch>
#include <string>
#include <thread>

#include "utils/deadlock_watchdog.hpp"
#include "utils/locks/locks.hpp"

namespace {

using velmora::utils::locks::RwLock;

bool watchdog_running() {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (std::getline(comm, name) && name == "deadlock-watchd") return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode != "deadlock" && mode != "idle") {
    std::fprintf(stderr, "usage: deadlock_demo deadlock|idle\n");
    return 2;
  }
  velmora::utils::start_deadlock_watchdog();
  if (mode == "deadlock") {
    // Leaked: the deadlocked threads use them for ever.
    auto* a = new RwLock;
    auto* b = new RwLock;
    auto* both_hold_one = new std::latch(2);
    auto cross = [both_hold_one](RwLock* first, RwLock* second) {
      first->lock();
      both_hold_one->arrive_and_wait();
      second->lock();
    };
    std::thread(cross, a, b).detach();
    std::thread(cross, b, a).detach();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (watchdog_running() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } else {
    std::this_thread::sleep_for(std::chrono::seconds(6));
  }
  std::printf("still alive\n");
  std::fflush(stdout);
  _exit(0);
}
