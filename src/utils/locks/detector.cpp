#include "utils/locks/detector.hpp"

#include <cxxabi.h>
#include <execinfo.h>
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

namespace velmora::utils::locks {
namespace {

constexpr int kMaxFrames = 64;
// Long enough for a thread that is merely contending to get its lock.
constexpr auto kSettle = std::chrono::milliseconds(20);

std::atomic<std::uint64_t> next_thread_id{1};

// A held-list entry: the lock's address, with the low bit set for an
// exclusive hold (a lock word is 4-byte aligned).
using Entry = std::uintptr_t;
constexpr Entry kExclusive = 1;

Entry entry_of(const void* lock, bool exclusive) {
  return reinterpret_cast<Entry>(lock) | (exclusive ? kExclusive : 0);
}
const void* lock_of(Entry entry) { return reinterpret_cast<const void*>(entry & ~kExclusive); }

// Trivially destructible, so that it is still usable in whatever thread-exit
// destructor releases a lock; the spill-over past kInline (a thread holding
// that many locks at once is rare) is freed as soon as it empties.
struct HeldLocks {
  static constexpr std::size_t kInline = 32;
  std::size_t count = 0;
  Entry inline_entries[kInline] = {};
  std::vector<Entry>* more = nullptr;  // entries kInline, kInline + 1, ...

  Entry& at(std::size_t i) { return i < kInline ? inline_entries[i] : (*more)[i - kInline]; }

  void push(Entry entry) {
    if (count < kInline) {
      inline_entries[count++] = entry;
      return;
    }
    if (!more) more = new std::vector<Entry>;
    more->push_back(entry);
    ++count;
  }

  // Drops the latest hold of `lock`; the order of the others does not matter.
  void remove(const void* lock) {
    for (std::size_t i = count; i-- > 0;) {
      if (lock_of(at(i)) != lock) continue;
      at(i) = at(count - 1);
      if (--count >= kInline) {
        more->pop_back();
        if (more->empty()) {
          delete more;
          more = nullptr;
        }
      }
      return;
    }
  }

  std::vector<Entry> copy() {
    std::vector<Entry> out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) out.push_back(at(i));
    return out;
  }
};
static_assert(std::is_trivially_destructible_v<HeldLocks>);

thread_local HeldLocks held_locks;

struct Wait {
  const void* lock;
  std::uint64_t seq;  // tells one wait of a thread from its next
  std::vector<void*> frames;
  std::vector<Entry> held;  // the thread's held list, fixed while it waits
};

// Leaked so that locks living in static storage may still be used after it
// would have been destroyed at exit.
struct Waits {
  std::mutex mutex;
  std::uint64_t next_seq = 1;
  std::map<std::uint64_t, Wait> by_thread;  // ordered: reports come out stable
};
Waits& waits() {
  static auto* w = new Waits;
  return *w;
}

std::map<std::uint64_t, Wait> snapshot_waits(bool in_full) {
  auto& w = waits();
  std::lock_guard guard(w.mutex);
  if (in_full) return w.by_thread;
  std::map<std::uint64_t, Wait> out;
  for (const auto& [thread, wait] : w.by_thread) out.emplace(thread, Wait{wait.lock, wait.seq, {}, {}});
  return out;
}

// backtrace_symbols gives "binary(mangled+0x1f) [0x...]"; show the demangled
// name where there is one, the raw line otherwise (symbols of an executable
// linked without -rdynamic are not visible to it).
std::string frame_name(std::string_view raw) {
  const auto open = raw.find('(');
  const auto end = raw.find_first_of("+)", open);
  if (open == std::string_view::npos || end == std::string_view::npos || end == open + 1) return std::string(raw);
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
    const bool self_wait = out != edges.end() && std::ranges::find(out->second, v) != out->second.end();
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
  const auto second = snapshot_waits(true);

  // A thread whose wait is the same in both snapshots was blocked all along,
  // holding throughout what its wait record lists. Only such threads can be
  // on a cycle: a holder that is not waiting will release in time.
  std::vector<std::uint64_t> blocked;
  for (const auto& [thread, wait] : second) {
    const auto before = first.find(thread);
    if (before != first.end() && before->second.seq == wait.seq) blocked.push_back(thread);
  }
  std::map<std::uint64_t, std::vector<std::uint64_t>> edges;
  for (const auto waiter : blocked) {
    const void* wanted = second.at(waiter).lock;
    auto& out = edges[waiter];
    for (const auto holder : blocked) {
      const auto& held = second.at(holder).held;
      if (std::ranges::any_of(held, [wanted](Entry e) { return lock_of(e) == wanted; })) out.push_back(holder);
    }
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

void note_acquired(const void* lock, bool exclusive) noexcept { held_locks.push(entry_of(lock, exclusive)); }

void note_released(const void* lock) noexcept { held_locks.remove(lock); }

bool holds_exclusively(const void* lock) noexcept {
  auto& held = held_locks;
  for (std::size_t i = 0; i < held.count; ++i)
    if (held.at(i) == entry_of(lock, true)) return true;
  return false;
}

WaitScope::WaitScope(const void* lock) {
  // Captured before taking the table's mutex: unwinding is the slow part.
  std::vector<void*> frames(kMaxFrames);
  frames.resize(static_cast<std::size_t>(backtrace(frames.data(), kMaxFrames)));
  auto held = held_locks.copy();
  auto& w = waits();
  std::lock_guard guard(w.mutex);
  w.by_thread.insert_or_assign(current_thread_id(), Wait{lock, w.next_seq++, std::move(frames), std::move(held)});
}

WaitScope::~WaitScope() {
  auto& w = waits();
  std::lock_guard guard(w.mutex);
  w.by_thread.erase(current_thread_id());
}

}  // namespace detail
}  // namespace velmora::utils::locks
