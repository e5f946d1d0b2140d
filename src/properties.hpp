// Property values and property maps: the dynamic values that nodes, edges and
// pattern property blocks carry, the shared locked map that holds them, and
// their text forms. Their conversions to and from Python objects belong to the
// binding layer (src/binding/values).
//
// Threads:
// - `Value`, `PyOpaque` and `PropertyMap` may be copied, compared, rendered and
//   dropped on any thread, pool threads included, without the interpreter
//   lock: an opaque Python value is an atomically counted handle whose final
//   release only hands the object's reference to the release hook, which
//   queues it; the binding layer drops it at the end of the Python call, or
//   at once when the last holder is freed outside any call.
// - Making a `PyOpaque` runs on the Python caller's thread with the
//   interpreter lock held (it takes a reference through the hooks).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "errors.hpp"
#include "utils/locks/locks.hpp"

// The value types name Python objects by address only: what needs the
// interpreter reaches them through `OpaqueHooks`.
struct _object;
typedef struct _object PyObject;

namespace velmora {

// What an opaque value needs of the interpreter: taking a reference when it is
// made and giving it back when its last copy goes. The binding layer installs
// its hooks once, when it is set up, before any Python object can reach the
// store (src/binding/values); identity, copies and comparisons need no hook.
struct OpaqueHooks {
  // Takes a new strong reference to `obj`. Caller's thread, interpreter lock
  // held.
  void (*retain)(PyObject* obj);
  // Gives back the reference `retain` took. Any thread, no interpreter lock,
  // maybe while locks of ours are held: it may only queue the release.
  void (*release)(PyObject* obj) noexcept;
};

// Installs `hooks` (which must live as long as the process) for every opaque
// value made afterwards. The first installation wins; later calls change
// nothing. Any thread.
void set_opaque_hooks(const OpaqueHooks& hooks) noexcept;

// An opaque Python value: a strong reference to any Python object that has no
// property-value form of its own (None, tuples, sets, float subclasses, ...).
// Copies share one counted handle and refer to the same object; the object
// stays alive while any copy lives. Never empty.
class PyOpaque {
 public:
  // Takes a new strong reference to `obj` (not null) through the installed
  // hooks; the last copy gives it back through them. Caller's thread,
  // interpreter lock held. Without hooks (a program without the binding
  // layer, which has no Python object to give) the value holds the address
  // alone, takes and gives back nothing, and any thread may make one.
  explicit PyOpaque(PyObject* obj);

  // The object, borrowed, valid while this value or a copy of it lives. Any
  // thread may read the address; only the caller's thread holding the
  // interpreter lock may use the object.
  PyObject* get() const noexcept;

  // Identity: both refer to the same object. No lock, no Python call.
  friend bool operator==(const PyOpaque& a, const PyOpaque& b) noexcept { return a.get() == b.get(); }

 private:
  struct Holder;
  std::shared_ptr<const Holder> holder_;
};

// A property value: empty, boolean, 64-bit integer, 64-bit float, string
// (UTF-8), array, nested map (keys in byte order of their UTF-8 text) or opaque
// Python value. Copies are deep for arrays and maps; an opaque value's copy
// refers to the same object. Values have no `==`: matching compares them with
// `compare_values`.
class Value {
 public:
  using Array = std::vector<Value>;
  // std::string orders by unsigned bytes, which is UTF-8 code point order.
  using Map = std::map<std::string, Value, std::less<>>;
  using Storage = std::variant<std::monostate, bool, std::int64_t, double, std::string, Array, Map, PyOpaque>;
  enum class Kind { Empty, Bool, Int, Float, String, Array, Map, Opaque };

  // The empty value (a pattern literal's null).
  Value() = default;
  Value(bool b) : v_(b) {}  // NOLINT: implicit by design, like the other kinds
  template <class I>
  requires(std::is_integral_v<I> && !std::is_same_v<I, bool>) Value(I i)
      : v_(static_cast<std::int64_t>(i)) {}          // NOLINT
  Value(double d) : v_(d) {}                         // NOLINT
  Value(std::string s) : v_(std::move(s)) {}         // NOLINT
  Value(std::string_view s) : v_(std::string(s)) {}  // NOLINT
  Value(const char* s) : v_(std::string(s)) {}       // NOLINT
  Value(Array a) : v_(std::move(a)) {}               // NOLINT
  Value(Map m) : v_(std::move(m)) {}                 // NOLINT
  Value(PyOpaque o) : v_(std::move(o)) {}            // NOLINT

  Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }
  bool is_empty() const noexcept { return v_.index() == 0; }
  // The content of kind T (bool, std::int64_t, double, std::string, Array,
  // Map or PyOpaque), or null when the value is of another kind.
  template <class T>
  const T* get_if() const noexcept {
    return std::get_if<T>(&v_);
  }
  template <class T>
  T* get_if() noexcept {
    return std::get_if<T>(&v_);
  }
  const Storage& storage() const noexcept { return v_; }

  // The text of the value, as it appears in the text of a map: "()", true,
  // -3, 1.5, 1e16, NaN, "quoted \"text\"", [1, 2], #{"k": 1} or
  // velmora::properties::PyOpaque.
  std::string to_string() const;

 private:
  Storage v_;
};

// The map type of a property map's entries and of a nested map value.
using PropertyEntries = Value::Map;

// A shared handle to one map from text keys to values, kept in byte order of
// the keys behind its own reader-writer lock (tracked by the deadlock
// detector). Copying the handle shares the map: a change through one copy
// shows through all. The lock is never held while Python code can run.
//
// The handle is one pointer, null while the map is empty and has never been
// shared: the store keeps a map for every node and edge, and most of them
// stay empty. The map's body is made by the first write or the first copy of
// the handle (so that copies still share it), installed once by an atomic
// compare-and-swap; reads of a map without a body answer as an empty map.
// The body keeps each entry in 16 bytes, its key as an id of a process-wide
// key table and a boolean, number or short text in place
// (src/property_slots.hpp): reading an entry builds its `Value`.
// One handle object may be read, copied and written through by several
// threads at once; assigning to it or destroying it needs the only use, as
// with std::shared_ptr. A moved-from handle is an empty map of its own.
class PropertyMap {
 public:
  // Called on each entry by `try_par_compare`, concurrently from pool threads:
  // it must be safe to call at the same time from several threads. It may take
  // other maps' read locks; it must not touch Python objects.
  using CompareCheck = std::function<Result<bool>(const std::string& key, const Value& value)>;

  // A new handle to a new empty map. Allocates nothing.
  PropertyMap() noexcept = default;
  static PropertyMap empty() { return PropertyMap(); }
  // A new handle to a new map holding `entries` (allocates nothing when there
  // are none).
  explicit PropertyMap(PropertyEntries entries);
  // A new handle to a new map holding `entries`, given in any order; of
  // several under one key, the last is kept (as by inserting them in turn).
  // The keys' texts are copied. Allocates nothing when there are none.
  using EntryViews = std::span<std::pair<std::string_view, Value>>;
  static PropertyMap from_entries(EntryViews entries);
  PropertyMap(const PropertyMap& other);
  // A handle that is moved from, or assigned to, is not read by any other
  // thread meanwhile (only const calls may overlap, and those are reads): its
  // pointer moves with plain loads and stores, with no locked instruction.
  PropertyMap(PropertyMap&& other) noexcept : inner_(other.take()) {}
  PropertyMap& operator=(const PropertyMap& other);
  PropertyMap& operator=(PropertyMap&& other) noexcept;
  ~PropertyMap() {
    if (Inner* inner = inner_.load(std::memory_order_acquire)) release(inner);
  }

  // A new map of its own holding a snapshot of this one's entries, taken under
  // the read lock: later changes to either do not show in the other. Values
  // are copied as by `get`, so any thread may call it.
  PropertyMap copy() const;
  // `copy`, for a map many elements repeat (an edge's block): a map of at
  // most two entries whose values are empty, booleans, numbers or short texts
  // is given one read-only body that every equal map made this way shares,
  // and that lives as long as the process (up to a few thousand distinct
  // ones; past them, `copy`). A write through such a handle, or a handle
  // made from it by copying or assignment, first gives it a body of its own
  // holding the same entries, so that it behaves as `copy`'s in every way;
  // reads of the shared entries take no lock. Any thread.
  PropertyMap copy_shared() const;

  // A copy of the value under `key` (exact bytes), or nothing. Read lock.
  std::optional<Value> get(std::string_view key) const;
  // Sets `key` to `value`, replacing any earlier value. Write lock; makes the
  // map's body if it has none.
  void insert(std::string key, Value value);
  // A snapshot of every entry in key order. Read lock, released on return.
  std::vector<std::pair<std::string, Value>> iter() const;
  // The number of entries. Read lock.
  std::size_t size() const;

  // Runs `check` on every entry in parallel on the pool and stops starting
  // entries at the first that returns false or fails. Returns true when every
  // check returned true (an empty map calls nothing), false on a mismatch,
  // or the failing check's report with the line
  // "property map - try par compare - closure" attached. When both happen,
  // whichever stopped the scan first is returned. Holds the read lock until
  // the result is known; waits for the pool inside an isolated region, so this
  // thread runs no unrelated task while it holds the lock. Any thread.
  Result<bool> try_par_compare(const CompareCheck& check) const;

  // "{key: value, ...}": keys bare, values by `Value::to_string`; "{}" when
  // empty. Read lock.
  std::string to_string() const;

  // Start the loads of a read soon after, for a walk over many maps: the
  // body (nothing read from it), then its entries (read from the body, as
  // `peek` reads it: the caller shuts out the map's writers). They take no
  // lock, change nothing and answer nothing. Any thread.
  void prefetch_body() const noexcept;
  void prefetch_entries() const noexcept;

  // One entry's value as `peek` reads it in place: its kind, and a boolean
  // (0 or 1) or an integer in `number`, a text in `text`, a list, a nested
  // map or an opaque value in `boxed`; the empty value and a float carry
  // nothing. The views stay valid while the map is not written.
  struct Peek {
    Value::Kind kind = Value::Kind::Empty;
    std::int64_t number = 0;
    std::string_view text;
    const Value* boxed = nullptr;
  };
  // For a walk over many maps whose writers the caller shuts out by a lock of
  // its own (a stored map is written only under its row's write lock): the
  // entry under the key numbered `key` (by `key_id`), read without the map's
  // lock and without copying it; none when absent. Any thread.
  std::optional<Peek> peek(std::uint32_t key) const noexcept;
  // The number `peek` takes for `key`, the same for the life of the process.
  // Any thread.
  static std::uint32_t key_id(std::string_view key);

 private:
  struct Inner;
  // The body, made and installed first if there is none yet, or if the
  // handle reads shared entries (see copy_shared).
  Inner* body() const;
  // Drops one reference to `inner` (may be null, or shared entries, which are
  // never freed); the last frees it.
  static void release(Inner* inner) noexcept;
  // The body, leaving this handle empty (for a move).
  Inner* take() noexcept {
    Inner* inner = inner_.load(std::memory_order_relaxed);
    inner_.store(nullptr, std::memory_order_relaxed);
    return inner;
  }

  // null: empty, never shared. With its lowest bit set, the pointer is not a
  // body but read-only entries that copy_shared handed out.
  mutable std::atomic<Inner*> inner_{nullptr};
};

}  // namespace velmora
