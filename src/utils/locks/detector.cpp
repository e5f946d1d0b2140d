#include "utils/locks/detector.hpp"

#include <cxxabi.h>
#include <execinfo.h>
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <set>
#include <string_view>
#include <thread>
#include <unordered_set>

namespace velmora::utils::locks {
namespace {

constexpr int kMaxFrames = 64;
// Long enough for a thread that is merely contending to get its lock.
constexpr auto kSettle = std::chrono::milliseconds(20);

std::atomic<std::uint64_t> next_thread_id{1};
std::atomic<std::uint64_t> next_lock_id{1};

struct Wait {
  std::uint64_t lock;
  std::uint64_t seq;  // tells one wait of a thread from its next
  std::vector<void*> frames;
};

// Both tables are leaked so that locks living in static storage may still be
// destroyed after them at exit.
struct Registry {
  std::mutex mutex;
  std::unordered_set<const detail::LockRecord*> locks;
};
Registry& registry() {
  static auto* r = new Registry;
  return *r;
}

struct Waits {
  std::mutex mutex;
  std::uint64_t next_seq = 1;
  std::map<std::uint64_t, Wait> by_thread;  // ordered: reports come out stable
};
Waits& waits() {
  static auto* w = new Waits;
  return *w;
}

std::map<std::uint64_t, Wait> snapshot_waits(bool with_frames) {
  auto& w = waits();
  std::lock_guard guard(w.mutex);
  if (with_frames) return w.by_thread;
  std::map<std::uint64_t, Wait> out;
  for (const auto& [thread, wait] : w.by_thread) out.emplace(thread, Wait{wait.lock, wait.seq, {}});
  return out;
}

std::map<std::uint64_t, std::vector<std::uint64_t>> snapshot_holders() {
  auto& r = registry();
  std::lock_guard guard(r.mutex);
  std::map<std::uint64_t, std::vector<std::uint64_t>> out;
  for (const auto* lock : r.locks) out.emplace(lock->id(), lock->holders());
  return out;
}

// backtrace_symbols gives "binary(mangled+0x1f) [0x...]"; show the demangled
// name where there is one, the raw line otherwise (symbols of an executable
// linked without -rdynamic are not visible to it).
std::string frame_name(std::string_view raw) {
  const auto open = raw.find('(');
  const auto end = raw.find_first_of("+)", open);
  if (open == std::string_view::npos || end == std::string_view::npos || end == open + 1)
    return std::string(raw);
  const std::string mangled(raw.substr(open + 1, end - open - 1));
  int status = 0;
  char* plain = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
  std::string out = status == 0 && plain ? plain : mangled;
  std::free(plain);
  return out;
}

std::string symbolise(const std::vector<void*>& frames) {
  char** names = backtrace_symbols(frames.data(), static_cast<int>(frames.size()));
  std::string out;
  for (std::size_t i = 0; i < frames.size(); ++i)
    out += fmt::format("{:>4}: {}\n", i, names ? frame_name(names[i]) : fmt::format("{}", fmt::ptr(frames[i])));
  std::free(names);
  return out;
}

// Tarjan's strongly connected components over the wait-for graph; a component
// is a deadlock if it has two threads or more, or one waiting on itself.
struct Cycles {
  const std::map<std::uint64_t, std::vector<std::uint64_t>>& edges;
  std::map<std::uint64_t, int> index, low;
  std::vector<std::uint64_t> stack;
  std::set<std::uint64_t> on_stack;
  std::vector<std::vector<std::uint64_t>> found;

  void visit(std::uint64_t v) {
    const int n = static_cast<int>(index.size());
    index[v] = low[v] = n;
    stack.push_back(v);
    on_stack.insert(v);
    const auto out = edges.find(v);
    if (out != edges.end()) {
      for (const auto w : out->second) {
        if (!index.contains(w)) {
          visit(w);
          low[v] = std::min(low[v], low[w]);
        } else if (on_stack.contains(w)) {
          low[v] = std::min(low[v], index[w]);
        }
      }
    }
    if (low[v] != index[v]) return;
    std::vector<std::uint64_t> component;
    std::uint64_t w;
    do {
      w = stack.back();
      stack.pop_back();
      on_stack.erase(w);
      component.push_back(w);
    } while (w != v);
    const bool self_wait = out != edges.end() &&
                           std::ranges::find(out->second, v) != out->second.end();
    if (component.size() > 1 || self_wait) {
      std::ranges::sort(component);
      found.push_back(std::move(component));
    }
  }
};

}  // namespace

std::uint64_t current_thread_id() noexcept {
  thread_local const std::uint64_t id = next_thread_id.fetch_add(1, std::memory_order_relaxed);
  return id;
}

std::string thread_id_text(std::uint64_t id) { return fmt::format("ThreadId({})", id); }

std::vector<Deadlock> check_deadlock() {
  const auto first = snapshot_waits(false);
  if (first.empty()) return {};
  std::this_thread::sleep_for(kSettle);
  // The holders are read between the two wait snapshots: a thread whose wait is
  // the same in both was blocked all along, so it held, throughout, whatever
  // the holder snapshot says it holds.
  const auto holders = snapshot_holders();
  const auto second = snapshot_waits(true);

  std::map<std::uint64_t, std::vector<std::uint64_t>> edges;
  for (const auto& [thread, wait] : second) {
    const auto before = first.find(thread);
    const auto held = holders.find(wait.lock);
    if (before == first.end() || before->second.seq != wait.seq || held == holders.end()) continue;
    auto& out = edges[thread];
    out = held->second;
    std::ranges::sort(out);
    out.erase(std::unique(out.begin(), out.end()), out.end());
  }

  Cycles cycles{edges};
  for (const auto& [thread, _] : edges)
    if (!cycles.index.contains(thread)) cycles.visit(thread);

  std::vector<Deadlock> out;
  for (const auto& component : cycles.found) {
    Deadlock& deadlock = out.emplace_back();
    for (const auto thread : component)
      deadlock.push_back({thread_id_text(thread), symbolise(second.at(thread).frames)});
  }
  return out;
}

namespace detail {

LockRecord::LockRecord() : id_(next_lock_id.fetch_add(1, std::memory_order_relaxed)) {}

LockRecord::~LockRecord() {
  if (!registered_.load(std::memory_order_acquire)) return;
  auto& r = registry();
  std::lock_guard guard(r.mutex);
  r.locks.erase(this);
}

void LockRecord::ensure_registered() const {
  if (registered_.load(std::memory_order_acquire)) return;
  auto& r = registry();
  std::lock_guard guard(r.mutex);
  if (registered_.load(std::memory_order_relaxed)) return;
  r.locks.insert(this);
  registered_.store(true, std::memory_order_release);
}

void LockRecord::add_holder() noexcept {
  const auto me = current_thread_id();
  std::lock_guard guard(mutex_);
  holders_.push_back(me);
}

void LockRecord::remove_holder() noexcept {
  const auto me = current_thread_id();
  std::lock_guard guard(mutex_);
  const auto it = std::ranges::find(holders_, me);
  if (it == holders_.end()) return;
  *it = holders_.back();
  holders_.pop_back();
}

std::vector<std::uint64_t> LockRecord::holders() const {
  std::lock_guard guard(mutex_);
  return holders_;
}

WaitScope::WaitScope(const LockRecord& lock) {
  lock.ensure_registered();
  // Captured before taking the table's mutex: unwinding is the slow part.
  std::vector<void*> frames(kMaxFrames);
  frames.resize(static_cast<std::size_t>(backtrace(frames.data(), kMaxFrames)));
  auto& w = waits();
  std::lock_guard guard(w.mutex);
  w.by_thread.insert_or_assign(current_thread_id(), Wait{lock.id(), w.next_seq++, std::move(frames)});
}

WaitScope::~WaitScope() {
  auto& w = waits();
  std::lock_guard guard(w.mutex);
  w.by_thread.erase(current_thread_id());
}

}  // namespace detail
}  // namespace velmora::utils::locks
