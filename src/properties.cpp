#include "properties.hpp"

#include <absl/container/flat_hash_map.h>
#include <absl/hash/hash.h>
#include <fmt/format.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
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

// The bodies of property maps: a stored element pays one per map (the size
// is checked where bodies are made).
using BodyPool = detail::SlabPool<32>;

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

// ---- shared entries (see PropertyMap::copy_shared)

// Read-only entries that equal maps share, tagged in a handle's pointer by
// its lowest bit (bodies and entries are at least 8-byte aligned).
constexpr std::uintptr_t kSharedBit = 1;
constexpr std::size_t kSharedMost = 2;
// Every distinct content costs one entry for the life of the process: past
// this many, maps are copied as by `copy`.
constexpr std::size_t kSharedLimit = 4096;

const detail::SlotEntries* shared_entries(const void* p) noexcept {
  const auto bits = reinterpret_cast<std::uintptr_t>(p);
  return (bits & kSharedBit) ? reinterpret_cast<const detail::SlotEntries*>(bits & ~kSharedBit) : nullptr;
}

// The bytes of up to kSharedMost slots: key ids and values in place, so that
// equal bytes are equal entries.
struct SharedKey {
  std::array<std::uint64_t, 2 * kSharedMost> words{};
  std::size_t count = 0;
  friend bool operator==(const SharedKey&, const SharedKey&) = default;
  template <class H>
  friend H AbslHashValue(H h, const SharedKey& key) {
    return H::combine(std::move(h), key.words, key.count);
  }
};

// The key of `entries`, or none when they may not be shared: too many, or
// a value kept apart from its slot.
std::optional<SharedKey> shared_key(const detail::SlotEntries& entries) {
  if (entries.empty() || entries.size() > kSharedMost) return std::nullopt;
  SharedKey key;
  for (const detail::Slot& slot : entries) {
    switch (slot.tag()) {
      case detail::Slot::kLong:
      case detail::Slot::kBoxed:
      case detail::Slot::kWide: return std::nullopt;
      default: break;
    }
    std::memcpy(key.words.data() + 2 * key.count, &slot, sizeof slot);
    ++key.count;
  }
  return key;
}

// The shared entries of every content handed out, made once and never freed
// (as the key table is), so that a handle may read them while another thread
// gives the same handle a body of its own.
class SharedEntries {
 public:
  // The tagged pointer of entries equal to `entries` (shared_key gave
  // `key`), or null when the table is full.
  static void* find_or_add(const SharedKey& key, const detail::SlotEntries& entries) {
    // The contents this thread met last, by hash: creations on many threads
    // repeat a few blocks, and a hit touches no shared line. Entries are
    // never freed, so a cached one stays right.
    // On the heap: the module's static thread-local block is small.
    const std::size_t hash = absl::Hash<SharedKey>{}(key);
    thread_local std::unique_ptr<std::array<Cached, kCached>> cache;
    if (!cache) cache = std::make_unique<std::array<Cached, kCached>>();
    Cached& cached = (*cache)[hash % kCached];
    if (cached.entries && cached.key == key) return tagged(cached.entries);
    const detail::SlotEntries* found = find_or_add_shared(key, entries);
    if (found) cached = {key, found};
    return found ? tagged(found) : nullptr;
  }

 private:
  struct Cached {
    SharedKey key;
    const detail::SlotEntries* entries = nullptr;
  };
  static constexpr std::size_t kCached = 16;

  static const detail::SlotEntries* find_or_add_shared(const SharedKey& key, const detail::SlotEntries& entries) {
    Table& t = table();
    {
      std::shared_lock lock(t.mutex);
      const auto it = t.map.find(key);
      if (it != t.map.end()) return it->second;
    }
    std::unique_lock lock(t.mutex);
    const auto it = t.map.find(key);
    if (it != t.map.end()) return it->second;
    if (t.map.size() >= kSharedLimit) return nullptr;
    const auto* made = new detail::SlotEntries(entries);
    t.map.emplace(key, made);
    return made;
  }

  struct Table {
    std::shared_mutex mutex;
    absl::flat_hash_map<SharedKey, const detail::SlotEntries*> map;  // guarded by mutex
  };
  static Table& table() {
    static Table* const instance = new Table;
    return *instance;
  }
  static void* tagged(const detail::SlotEntries* entries) {
    static_assert(alignof(detail::SlotEntries) > kSharedBit);
    return reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(entries) | kSharedBit);
  }
};

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

PropertyMap PropertyMap::from_entries(EntryViews entries) {
  PropertyMap out;
  if (!entries.empty()) out.inner_.store(new Inner(detail::SlotEntries(entries)), std::memory_order_relaxed);
  return out;
}

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
  // Two threads may race to make the body of one handle: one installs its
  // own, the other drops its and takes the winner's. A handle of shared
  // entries gets a body holding their copy; the entries stay, for readers
  // that loaded them before.
  while (!current || shared_entries(current)) {
    const detail::SlotEntries* shared = shared_entries(current);
    auto* fresh = shared ? new Inner(detail::SlotEntries(*shared)) : new Inner();
    if (inner_.compare_exchange_strong(current, fresh, std::memory_order_acq_rel, std::memory_order_acquire))
      return fresh;
    delete fresh;
  }
  return current;
}

void PropertyMap::release(Inner* inner) noexcept {
  if (!inner || shared_entries(inner)) return;
  // The last reference: no other handle holds the body, so none can take
  // another reference to it meanwhile, and it is freed without a locked
  // decrement (most maps are held by one row alone).
  if (inner->refs.load(std::memory_order_acquire) == 1 || inner->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
    delete inner;
}

PropertyMap PropertyMap::copy() const {
  Inner* inner = inner_.load(std::memory_order_acquire);
  if (!inner) return PropertyMap();
  PropertyMap out;
  // Shared entries are never written: the copy reads them too.
  if (shared_entries(inner)) {
    out.inner_.store(inner, std::memory_order_relaxed);
    return out;
  }
  std::shared_lock lock(inner->lock);
  if (inner->entries.empty()) return PropertyMap();
  out.inner_.store(new Inner(detail::SlotEntries(inner->entries)), std::memory_order_relaxed);
  return out;
}

PropertyMap PropertyMap::copy_shared() const {
  Inner* inner = inner_.load(std::memory_order_acquire);
  if (!inner || shared_entries(inner)) return copy();
  void* found = nullptr;
  {
    std::shared_lock lock(inner->lock);
    if (const auto key = shared_key(inner->entries)) found = SharedEntries::find_or_add(*key, inner->entries);
  }
  if (!found) return copy();
  PropertyMap out;
  out.inner_.store(static_cast<Inner*>(found), std::memory_order_relaxed);
  return out;
}

std::optional<Value> PropertyMap::get(std::string_view key) const {
  const Inner* inner = inner_.load(std::memory_order_acquire);
  if (!inner) return std::nullopt;
  const auto value_of = [&](const detail::SlotEntries& entries) -> std::optional<Value> {
    const detail::Slot* slot = entries.find(key);
    if (!slot) return std::nullopt;
    return slot->value();
  };
  if (const auto* shared = shared_entries(inner)) return value_of(*shared);
  std::shared_lock lock(inner->lock);
  return value_of(inner->entries);
}

void PropertyMap::insert(std::string key, Value value) {
  Inner* inner = body();
  std::unique_lock lock(inner->lock);
  inner->entries.insert_or_assign(std::move(key), std::move(value));
}

std::vector<std::pair<std::string, Value>> PropertyMap::iter() const {
  const Inner* inner = inner_.load(std::memory_order_acquire);
  if (!inner) return {};
  if (const auto* shared = shared_entries(inner)) return shared->entries();
  std::shared_lock lock(inner->lock);
  return inner->entries.entries();
}

std::size_t PropertyMap::size() const {
  const Inner* inner = inner_.load(std::memory_order_acquire);
  if (!inner) return 0;
  if (const auto* shared = shared_entries(inner)) return shared->size();
  std::shared_lock lock(inner->lock);
  return inner->entries.size();
}

Result<bool> PropertyMap::try_par_compare(const CompareCheck& check) const {
  const Inner* inner = inner_.load(std::memory_order_acquire);
  if (!inner) return true;
  // Shared entries are read-only: no lock is held for them (an empty lock).
  const detail::SlotEntries* shared = shared_entries(inner);
  std::shared_lock<utils::locks::RwLock> lock;
  if (!shared) lock = std::shared_lock(inner->lock);
  const detail::SlotEntries& held = shared ? *shared : inner->entries;
  if (held.empty()) return true;
  const auto entries = held.entries();
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
  const Inner* inner = inner_.load(std::memory_order_acquire);
  if (const auto* shared = shared_entries(inner)) {
    __builtin_prefetch(shared);
  } else if (inner) {
    __builtin_prefetch(inner);
  }
}

void PropertyMap::prefetch_entries() const noexcept {
  const Inner* inner = inner_.load(std::memory_order_acquire);
  if (!inner) return;
  if (const auto* shared = shared_entries(inner)) return shared->prefetch();
  inner->entries.prefetch();
}

std::optional<PropertyMap::Peek> PropertyMap::peek(std::uint32_t key) const noexcept {
  const Inner* inner = inner_.load(std::memory_order_acquire);
  if (!inner) return std::nullopt;
  const detail::SlotEntries* shared = shared_entries(inner);
  const detail::Slot* slot = (shared ? *shared : inner->entries).find(key);
  if (!slot) return std::nullopt;
  return slot->peek();
}

std::uint32_t PropertyMap::key_id(std::string_view key) { return detail::KeyTable::intern(key); }

std::string PropertyMap::to_string() const {
  const Inner* inner = inner_.load(std::memory_order_acquire);
  if (!inner) return "{}";
  const detail::SlotEntries* shared = shared_entries(inner);
  std::shared_lock<utils::locks::RwLock> lock;
  if (!shared) lock = std::shared_lock(inner->lock);
  std::string out = "{";
  bool first = true;
  for (const detail::Slot& slot : shared ? *shared : inner->entries) {
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
