#include "properties.hpp"

#include <fmt/format.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <span>
#include <variant>
#include <vector>

#include "property_slots.hpp"
#include "utils/tsan.hpp"

namespace velmora {

// ---------------------------------------------------------------- PyOpaque

namespace {

// Set once, while the binding layer is set up; read by every value made.
constinit std::atomic<const OpaqueHooks*> opaque_hooks{nullptr};

}  // namespace

void set_opaque_hooks(const OpaqueHooks& hooks) noexcept {
  const OpaqueHooks* none = nullptr;
  opaque_hooks.compare_exchange_strong(none, &hooks, std::memory_order_acq_rel);
}

struct PyOpaque::Holder {
  using Release = void (*)(PyObject*) noexcept;
  Holder(PyObject* o, Release r) : obj(o), release(r) {}
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  PyObject* const obj;
  // The hook that gives back the reference taken when the value was made, or
  // null when none was taken: the value owns what it took, whatever is
  // installed later.
  const Release release;
  // The last copy may die on a pool thread, or on the caller's thread while
  // one of our locks is held; a release can run arbitrary Python code, so the
  // hook only queues it.
  ~Holder() {
    if (release) release(obj);
  }
};

PyOpaque::PyOpaque(PyObject* obj) {
  const OpaqueHooks* hooks = opaque_hooks.load(std::memory_order_acquire);
  // The handle first: when it cannot be made, no reference has been taken.
  holder_ = std::make_shared<const Holder>(obj, hooks ? hooks->release : nullptr);
  if (hooks) hooks->retain(obj);
}

PyObject* PyOpaque::get() const noexcept { return holder_->obj; }

// ---------------------------------------------------------------- text forms

namespace {

constexpr std::string_view kOpaqueTypeName = "velmora::properties::PyOpaque";

// Characters written as themselves inside quotes: everything but separators,
// controls, format characters, surrogates, private use and unassigned code
// points (the space excepted).
bool is_printable(UChar32 c) {
  if (c < 0x20) return false;
  if (c < 0x7f) return true;
  switch (u_charType(c)) {
    case U_SPACE_SEPARATOR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED: return false;
    default: return true;
  }
}

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t start = i;
    UChar32 c;
    U8_NEXT(text.data(), i, text.size(), c);
    // Our strings come from Python str or from the pattern parser and are
    // valid UTF-8; a stray byte shows as the replacement character.
    if (c < 0) {
      out += "\xef\xbf\xbd";
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND) || !is_printable(c)) {
      fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<std::uint32_t>(c));
    } else {
      out.append(text.substr(start, i - start));
    }
  }
  out += '"';
}

// Shortest digits that read back as the same double, laid out plain between
// 1e-4 and 1e16 and with an exponent outside that range.
void append_float(std::string& out, double x) {
  if (std::isnan(x)) {
    out += "NaN";
    return;
  }
  if (std::isinf(x)) {
    out += x < 0 ? "-inf" : "inf";
    return;
  }
  if (x == 0) {
    out += std::signbit(x) ? "-0.0" : "0.0";
    return;
  }
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const auto e = sci.find('e');
  std::string digits;
  for (char ch : sci.substr(0, e)) {
    if (ch != '.') digits += ch;
  }
  std::string_view exp_text = sci.substr(e + 1);
  const bool exp_negative = exp_text.front() == '-';
  if (exp_text.front() == '-' || exp_text.front() == '+') exp_text.remove_prefix(1);
  int exp = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp);
  if (exp_negative) exp = -exp;

  const double magnitude = std::fabs(x);
  if (magnitude >= 1e-4 && magnitude < 1e16) {
    if (exp >= 0) {
      const auto int_len = static_cast<std::size_t>(exp) + 1;
      if (digits.size() <= int_len) {
        out += digits;
        out.append(int_len - digits.size(), '0');
        out += ".0";
      } else {
        out.append(digits, 0, int_len);
        out += '.';
        out.append(digits, int_len);
      }
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-exp - 1), '0');
      out += digits;
    }
  } else {
    out += digits.front();
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    fmt::format_to(std::back_inserter(out), "e{}", exp);
  }
}

void append_value(std::string& out, const Value& value) {
  std::visit(
      [&out](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          out += "()";
        } else if constexpr (std::is_same_v<T, bool>) {
          out += v ? "true" : "false";
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          fmt::format_to(std::back_inserter(out), "{}", v);
        } else if constexpr (std::is_same_v<T, double>) {
          append_float(out, v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          append_quoted(out, v);
        } else if constexpr (std::is_same_v<T, Value::Array>) {
          out += '[';
          for (std::size_t i = 0; i < v.size(); ++i) {
            if (i) out += ", ";
            append_value(out, v[i]);
          }
          out += ']';
        } else if constexpr (std::is_same_v<T, Value::Map>) {
          out += "#{";
          bool first = true;
          for (const auto& [key, item] : v) {
            if (!first) out += ", ";
            first = false;
            append_quoted(out, key);
            out += ": ";
            append_value(out, item);
          }
          out += '}';
        } else {
          static_assert(std::is_same_v<T, PyOpaque>);
          out += kOpaqueTypeName;
        }
      },
      value.storage());
}

}  // namespace

std::string Value::to_string() const {
  std::string out;
  append_value(out, *this);
  return out;
}

// ---------------------------------------------------------------- PropertyMap

namespace {

// The bodies of property maps come from slabs of their own. A stored map's
// body lives as long as its row; taken from the common heap, each would land
// in the block a query's short-lived match set had just freed, so that the
// next match set no longer fits there and the heap grows by a match set per
// query. Freed bodies go to the freeing thread's list, which trades batches
// with a shared list; slabs are kept for reuse, never given back.
class BodyPool {
 public:
  static constexpr std::size_t kSlot = 48;

  static void* allocate() {
    if (thread_gone) {
      Local none;
      refill(none, 1);
      none.count = 0;
      return none.head;
    }
    Local& local = local_list();
    if (!local.head) refill(local, kBatch);
    FreeSlot* slot = local.head;
    local.head = slot->next;
    --local.count;
    return slot;
  }
  static void release(void* p) noexcept {
    auto* slot = static_cast<FreeSlot*>(p);
    if (thread_gone) {
      Local one{slot, 1};
      slot->next = nullptr;
      give_back(one, 1);
      return;
    }
    Local& local = local_list();
    slot->next = local.head;
    local.head = slot;
    if (++local.count >= 2 * kBatch) give_back(local, kBatch);
  }

 private:
  struct FreeSlot {
    FreeSlot* next;
  };
  static constexpr std::size_t kBatch = 64;
  static constexpr std::size_t kSlabSlots = 1024;

  struct Shared {
    std::mutex mutex;
    FreeSlot* head = nullptr;  // guarded by mutex
    std::vector<void*> slabs;  // guarded by mutex; keeps every slab reachable
  };
  struct Local {
    FreeSlot* head = nullptr;
    std::size_t count = 0;
  };
  // The thread's list, handed back when the thread ends. A body made or
  // freed later in the thread's exit (by another thread-local object's
  // destructor) goes straight to the shared list.
  struct OwnedLocal : Local {
    ~OwnedLocal() {
      give_back(*this, count);
      thread_gone = true;
    }
  };
  static inline thread_local bool thread_gone = false;

  // Made once and never destroyed, so that it outlives every thread's list.
  static Shared& shared() {
    static Shared* const instance = new Shared;
    return *instance;
  }
  static Local& local_list() {
    thread_local OwnedLocal local;
    return local;
  }

  static void refill(Local& local, std::size_t n) {
    Shared& s = shared();
    std::lock_guard guard(s.mutex);
    if (!s.head) {
      s.slabs.reserve(s.slabs.size() + 1);
      auto* slab = static_cast<unsigned char*>(std::malloc(kSlot * kSlabSlots));
      if (!slab) throw std::bad_alloc();
      s.slabs.push_back(slab);
      for (std::size_t i = kSlabSlots; i-- > 0;) {
        auto* slot = reinterpret_cast<FreeSlot*>(slab + i * kSlot);
        slot->next = s.head;
        s.head = slot;
      }
    }
    for (std::size_t i = 0; i < n && s.head; ++i) {
      FreeSlot* slot = s.head;
      s.head = slot->next;
      slot->next = local.head;
      local.head = slot;
      ++local.count;
    }
  }
  static void give_back(Local& local, std::size_t n) noexcept {
    if (n == 0) return;
    Shared& s = shared();
    std::lock_guard guard(s.mutex);
    for (; n > 0 && local.head; --n) {
      FreeSlot* slot = local.head;
      local.head = slot->next;
      --local.count;
      slot->next = s.head;
      s.head = slot;
    }
  }
};

}  // namespace

struct PropertyMap::Inner {
  static void* operator new(std::size_t) {
    static_assert(sizeof(Inner) <= BodyPool::kSlot && alignof(Inner) <= 16);
    return BodyPool::allocate();
  }
  static void operator delete(void* p) noexcept { BodyPool::release(p); }
  Inner() = default;
  explicit Inner(detail::SlotEntries e) : entries(std::move(e)) {}
  std::atomic<std::uint32_t> refs{1};  // handles sharing this body
  mutable utils::locks::RwLock lock;   // tracked by the deadlock detector
  detail::SlotEntries entries;         // guarded by lock
};

namespace {

// Why a parallel comparison stopped.
struct BreakReason {
  struct Mismatch {};
  struct Error {
    Report report;
  };
  std::variant<Mismatch, Error> why;
};

}  // namespace

PropertyMap::PropertyMap(PropertyEntries entries)
    : inner_(entries.empty() ? nullptr : new Inner(detail::SlotEntries(std::move(entries)))) {}

PropertyMap::PropertyMap(const PropertyMap& other) : inner_(other.body()) {
  inner_.load(std::memory_order_relaxed)->refs.fetch_add(1, std::memory_order_relaxed);
}

PropertyMap& PropertyMap::operator=(const PropertyMap& other) {
  if (this == &other) return *this;
  Inner* shared = other.body();
  shared->refs.fetch_add(1, std::memory_order_relaxed);
  Inner* old = inner_.load(std::memory_order_relaxed);
  inner_.store(shared, std::memory_order_relaxed);
  release(old);
  return *this;
}

PropertyMap& PropertyMap::operator=(PropertyMap&& other) noexcept {
  if (this == &other) return *this;
  Inner* old = inner_.load(std::memory_order_relaxed);
  inner_.store(other.take(), std::memory_order_relaxed);
  release(old);
  return *this;
}

PropertyMap::Inner* PropertyMap::body() const {
  Inner* current = inner_.load(std::memory_order_acquire);
  if (current) return current;
  // Two threads may race to make the body of one handle: one installs its
  // own, the other drops its and takes the winner's.
  auto* fresh = new Inner();
  if (inner_.compare_exchange_strong(current, fresh, std::memory_order_acq_rel, std::memory_order_acquire))
    return fresh;
  delete fresh;
  return current;
}

void PropertyMap::release(Inner* inner) noexcept {
  if (!inner) return;
  // The last reference: no other handle holds the body, so none can take
  // another reference to it meanwhile, and it is freed without a locked
  // decrement (most maps are held by one row alone).
  if (inner->refs.load(std::memory_order_acquire) == 1 || inner->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
    delete inner;
}

PropertyMap PropertyMap::copy() const {
  const Inner* inner = inner_.load(std::memory_order_acquire);
  if (!inner) return PropertyMap();
  std::shared_lock lock(inner->lock);
  if (inner->entries.empty()) return PropertyMap();
  PropertyMap out;
  out.inner_.store(new Inner(detail::SlotEntries(inner->entries)), std::memory_order_relaxed);
  return out;
}

std::optional<Value> PropertyMap::get(std::string_view key) const {
  const Inner* inner = inner_.load(std::memory_order_acquire);
  if (!inner) return std::nullopt;
  std::shared_lock lock(inner->lock);
  const detail::Slot* slot = inner->entries.find(key);
  if (!slot) return std::nullopt;
  return slot->value();
}

void PropertyMap::insert(std::string key, Value value) {
  Inner* inner = body();
  std::unique_lock lock(inner->lock);
  inner->entries.insert_or_assign(std::move(key), std::move(value));
}

std::vector<std::pair<std::string, Value>> PropertyMap::iter() const {
  const Inner* inner = inner_.load(std::memory_order_acquire);
  if (!inner) return {};
  std::shared_lock lock(inner->lock);
  return inner->entries.entries();
}

std::size_t PropertyMap::size() const {
  const Inner* inner = inner_.load(std::memory_order_acquire);
  if (!inner) return 0;
  std::shared_lock lock(inner->lock);
  return inner->entries.size();
}

Result<bool> PropertyMap::try_par_compare(const CompareCheck& check) const {
  const Inner* inner = inner_.load(std::memory_order_acquire);
  if (!inner) return true;
  std::shared_lock lock(inner->lock);
  if (inner->entries.empty()) return true;
  const auto entries = inner->entries.entries();
  std::vector<const detail::SlotEntries::Entry*> list;
  list.reserve(entries.size());
  for (const auto& entry : entries) list.push_back(&entry);

  std::atomic<bool> stopped{false};
  std::mutex stop_mutex;
  std::optional<BreakReason> stop;  // guarded by stop_mutex; the first stop wins
  // Not bound to an enclosing task's group: a cancellation from outside must
  // not cut the scan short and pass for "every entry matched".
  tbb::task_group_context group(tbb::task_group_context::isolated);
  // Isolated: while this thread holds the read lock and waits, it must not
  // steal a task that wants this map's write lock.
  utils::tsan::Join join;
  tbb::this_task_arena::isolate([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, list.size()),
                      utils::tsan::body(
                          [&](const tbb::blocked_range<std::size_t>& range) {
                            for (std::size_t i = range.begin(); i != range.end(); ++i) {
                              if (stopped.load(std::memory_order_relaxed)) return;
                              auto result = check(list[i]->first, list[i]->second);
                              if (result && *result) continue;
                              BreakReason reason =
                                  result ? BreakReason{BreakReason::Mismatch{}}
                                         : BreakReason{BreakReason::Error{std::move(result).error().attach(
                                               "property map - try par compare - closure")}};
                              {
                                std::lock_guard guard(stop_mutex);
                                if (!stop) stop = std::move(reason);
                              }
                              stopped.store(true, std::memory_order_relaxed);
                              group.cancel_group_execution();
                              return;
                            }
                          },
                          join),
                      group);
  });
  join.joined();
  if (!stop) return true;
  if (auto* error = std::get_if<BreakReason::Error>(&stop->why)) return std::unexpected(std::move(error->report));
  return false;
}

void PropertyMap::prefetch_body() const noexcept {
  if (const Inner* inner = inner_.load(std::memory_order_acquire)) __builtin_prefetch(inner);
}

void PropertyMap::prefetch_entries() const noexcept {
  if (const Inner* inner = inner_.load(std::memory_order_acquire)) inner->entries.prefetch();
}

std::optional<PropertyMap::Peek> PropertyMap::peek(std::uint32_t key) const noexcept {
  const Inner* inner = inner_.load(std::memory_order_acquire);
  if (!inner) return std::nullopt;
  const detail::Slot* slot = inner->entries.find(key);
  if (!slot) return std::nullopt;
  return slot->peek();
}

std::uint32_t PropertyMap::key_id(std::string_view key) { return detail::KeyTable::intern(key); }

std::string PropertyMap::to_string() const {
  const Inner* inner = inner_.load(std::memory_order_acquire);
  if (!inner) return "{}";
  std::shared_lock lock(inner->lock);
  std::string out = "{";
  bool first = true;
  for (const detail::Slot& slot : inner->entries) {
    if (!first) out += ", ";
    first = false;
    out += slot.key_text();
    out += ": ";
    append_value(out, slot.value());
  }
  out += '}';
  return out;
}

}  // namespace velmora
