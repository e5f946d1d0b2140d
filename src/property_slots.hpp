// The compact body of a property map's entries: keys as process-wide 32-bit
// ids, values in place in a small tagged slot. The map itself, its lock and
// its sharing live in properties.{hpp,cpp}; this unit lays the entries out
// and keeps the pools that their room and the maps' bodies come from, and is
// used by nothing else.
//
// A stored element carries a few properties, mostly short texts and small
// numbers under a handful of keys that every element repeats. An entry is one
// 16-byte slot: the key's id, a tag, and the value itself when it is a
// boolean, a number or a text of up to `Slot::kInline` bytes. A longer text
// is one allocation of its own; a list, a nested map or an opaque value is
// one boxed `Value`.
//
// Threads: `KeyTable` is safe from any thread (reads take no exclusive lock).
// `SlabPool` too. `SlotEntries` is a plain value: its owner guards it (the
// map's lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "properties.hpp"

namespace velmora::detail {

// Every key text any property map has held, each under one 32-bit id for the
// life of the process (texts are never freed: keys are few and repeat).
// Interning is a hash look-up (a per-thread cache first, then a shard's read
// lock); reading a key's text is two loads, with no lock.
class KeyTable {
 public:
  // The id of `key`, made on first use. Any thread. Panics past 2^28 keys.
  static std::uint32_t intern(std::string_view key);
  // The text of an id `intern` returned: valid for the life of the process.
  // Any thread that got the id from `intern`, or from a slot it reads under
  // the lock that guarded the slot's writing.
  static std::string_view text(std::uint32_t id) noexcept;
};

// Blocks of `Size` bytes from slabs of their own, for what a stored element
// keeps as long as its row (a map's body, its slots). Taken from the common
// heap, each would land in the block a query's short-lived match set had
// just freed, so that the next match set no longer fits there and the heap
// grows by a match set per query. Freed blocks go to the freeing thread's
// list, which trades batches with a shared list; slabs are kept for reuse,
// never given back. Any thread; a block may be freed on another thread than
// the one that took it. Slabs start on a cache line, so that a block of 32
// or 64 bytes sits on one line.
template <std::size_t Size>
class SlabPool {
 public:
  static constexpr std::size_t kSlot = Size;
  static constexpr std::size_t kLine = 64;
  static_assert(Size % 16 == 0 && Size >= sizeof(void*));

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
  // The thread's list, handed back when the thread ends. A block taken or
  // freed later in the thread's exit (by another thread-local object's
  // destructor) goes straight to the shared list.
  struct OwnedLocal : Local {
    ~OwnedLocal() {
      give_back(*this, this->count);
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
      auto* slab = static_cast<unsigned char*>(std::aligned_alloc(kLine, kSlot * kSlabSlots));
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

// One entry in 16 bytes: the key's id in three bytes, the value's kind and
// an inline text's length in one, and the value in place in the other
// twelve, or a pointer to it for the kinds kept apart. A key whose id does not
// fit three bytes (past 2^24 - 1 distinct keys) makes the whole entry kept
// apart, with its id beside it.
struct Slot {
  static constexpr std::size_t kInline = 12;
  enum Tag : std::uint8_t { kEmpty, kBool, kInt, kFloat, kShort, kLong, kBoxed, kWide };
  static constexpr std::uint32_t kWideKey = 0xFFFFFF;

  std::uint8_t head[4];  // the key's id, low byte first, then tag | size << 3
  char data[kInline];

  std::uint32_t key() const noexcept;
  Tag tag() const noexcept { return static_cast<Tag>(head[3] & 7); }
  std::size_t size() const noexcept { return head[3] >> 3; }
  std::string_view key_text() const noexcept { return KeyTable::text(key()); }
  // A copy of the value.
  Value value() const;
  // The value in place, valid while the slot is neither written nor freed.
  PropertyMap::Peek peek() const noexcept;
};
static_assert(sizeof(Slot) == 16);

// A map's entries, in byte order of their keys' texts: one slot in place, or
// an array of them. Copies are deep, as `Value` copies are.
class SlotEntries {
 public:
  using Entry = std::pair<std::string, Value>;

  SlotEntries() noexcept : one_{} {}
  // Takes the entries of `entries` (already in key order).
  explicit SlotEntries(PropertyEntries entries);
  // Takes the values of `entries` (in any order; of several under one key,
  // the last), the entries' order changed.
  explicit SlotEntries(PropertyMap::EntryViews entries);
  SlotEntries(const SlotEntries& other);
  SlotEntries(SlotEntries&& other) noexcept;
  SlotEntries& operator=(const SlotEntries&) = delete;
  SlotEntries& operator=(SlotEntries&&) = delete;
  ~SlotEntries();

  std::size_t size() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  const Slot* begin() const noexcept { return slots(); }
  const Slot* end() const noexcept { return slots() + count_; }

  // The slot under `key` (exact bytes), or null.
  const Slot* find(std::string_view key) const;
  // The slot under the key numbered `key` by `KeyTable`, or null.
  const Slot* find(std::uint32_t key) const noexcept;
  // Sets `key` to `value`, replacing any earlier value.
  void insert_or_assign(std::string_view key, Value value);
  // Starts loading the slots when they are not in place.
  void prefetch() const noexcept {
    if (capacity_ != 1) __builtin_prefetch(many_);
  }
  // Every entry in key order, as texts and values.
  std::vector<Entry> entries() const;

 private:
  Slot* slots() noexcept { return capacity_ == 1 ? &one_ : many_; }
  const Slot* slots() const noexcept { return capacity_ == 1 ? &one_ : many_; }
  // The first slot whose key text is not below `key`.
  std::size_t lower_bound(std::string_view key) const;

  std::uint32_t count_ = 0;
  std::uint32_t capacity_ = 1;  // 1: the slot in place
  union {
    Slot one_;
    Slot* many_;
  };
};
static_assert(sizeof(SlotEntries) == 24);

}  // namespace velmora::detail
