// The watchdog runs in a process of its own (tools/deadlock_demo.cpp): it must
// report a deadlock on standard error, end itself and leave the process alive.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct DemoRun {
  int exit_code;
  std::string out, err;
};

fs::path build_dir() {
  if (const char* dir = std::getenv("VELMORA_BUILD_DIR")) return dir;
  return fs::read_symlink("/proc/self/exe").parent_path();
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

DemoRun run_demo(const std::string& mode) {
  const auto dir = fs::temp_directory_path() / ("velmora_watchdog_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const auto out = dir / (mode + ".out"), err = dir / (mode + ".err");
  const std::string command = "'" + (build_dir() / "deadlock_demo").string() + "' " + mode + " >'" + out.string() +
                              "' 2>'" + err.string() + "'";
  const int status = std::system(command.c_str());
  DemoRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
  fs::remove_all(dir);
  return run;
}

// Finds `needle` at or after `from`; returns the position just past it.
std::size_t expect_after(const std::string& text, const std::string& needle, std::size_t from) {
  const auto at = text.find(needle, from);
  EXPECT_NE(at, std::string::npos) << "missing after offset " << from << ": " << needle << "\nin:\n" << text;
  return at == std::string::npos ? from : at + needle.size();
}

TEST(DeadlockWatchdog, ReportsDeadlockAndEndsOnlyItself) {
  const DemoRun run = run_demo("deadlock");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_NE(run.out.find("still alive"), std::string::npos) << run.out;
  std::size_t at = expect_after(run.err, "🔴 1 DEADLOCK(S) DETECTED\n", 0);
  at = expect_after(run.err, "  Deadlock #1\n", at);
  for (int thread = 0; thread < 2; ++thread) {
    at = expect_after(run.err, "    Thread ID ThreadId(", at);
    at = expect_after(run.err, "    Backtrace:\n", at);
  }
  EXPECT_EQ(run.err.find("    Thread ID ", at), std::string::npos) << "a thread listed twice";
  at = expect_after(run.err, "thread 'deadlock-watchdog' panicked at src/utils/deadlock_watchdog:", at);
  const auto line_end = run.err.find(":\n", at);
  ASSERT_NE(line_end, std::string::npos);
  const std::string line = run.err.substr(at, line_end - at);
  EXPECT_FALSE(line.empty());
  EXPECT_EQ(line.find_first_not_of("0123456789"), std::string::npos) << line;
  EXPECT_EQ(run.err.substr(line_end + 2), "deadlock detected – aborting\n");
}

TEST(DeadlockWatchdog, StaysQuietWithoutDeadlock) {
  const DemoRun run = run_demo("idle");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_NE(run.out.find("still alive"), std::string::npos) << run.out;
  EXPECT_EQ(run.err, "");
}

}  // namespace
