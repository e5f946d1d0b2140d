#include "property_slots.hpp"

#include <absl/container/flat_hash_map.h>
#include <absl/hash/hash.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "utils/panic.hpp"
#include "utils/source_position.hpp"

// The entries belong to the property maps' module, whose path their faults
// print.
VELMORA_MODULE("src/properties");

namespace velmora::detail {

// ---------------------------------------------------------------- KeyTable

namespace {

// Texts by id in chunks that never move, so that a reader needs no lock: a
// chunk is published before any id in it is handed out.
// Chunks are large and zero-filled by calloc, and the list of chunks short:
// a process that uses a few keys touches a page or two of either.
constexpr unsigned kChunkBits = 18;
constexpr std::size_t kChunk = std::size_t{1} << kChunkBits;
constexpr std::size_t kChunks = std::size_t{1} << 10;
constexpr std::size_t kKeyShards = 16;

struct KeyShard {
  alignas(64) std::shared_mutex mutex;
  absl::flat_hash_map<std::string_view, std::uint32_t> ids;  // guarded by mutex; views of texts in chunks
};

struct Keys {
  std::array<KeyShard, kKeyShards> shards;
  std::mutex grow_mutex;
  std::uint32_t next = 0;  // guarded by grow_mutex
  std::array<std::atomic<const std::string**>, kChunks> chunks{};

  // Gives `text` (never freed) the next id and publishes it.
  std::uint32_t publish(const std::string* text) {
    std::lock_guard guard(grow_mutex);
    if (next >= kChunk * kChunks) panic("property keys: more than 2^28 distinct keys");
    const std::uint32_t id = next++;
    const std::string** chunk = chunks[id >> kChunkBits].load(std::memory_order_relaxed);
    if (!chunk) {
      chunk = static_cast<const std::string**>(std::calloc(kChunk, sizeof(const std::string*)));
      if (!chunk) throw std::bad_alloc();
      chunks[id >> kChunkBits].store(chunk, std::memory_order_release);
    }
    chunk[id & (kChunk - 1)] = text;
    return id;
  }
};

// Made once and never destroyed: maps may outlive static destruction.
Keys& keys() {
  static Keys* const instance = new Keys;
  return *instance;
}

// The ids this thread used last, by hash: most maps repeat a few keys, and a
// hit takes no lock at all. An id never changes, so a stale entry is only a
// miss.
struct CachedKey {
  const std::string* text = nullptr;
  std::uint32_t id = 0;
};
constexpr std::size_t kCached = 64;

}  // namespace

std::uint32_t KeyTable::intern(std::string_view key) {
  const std::size_t hash = absl::Hash<std::string_view>{}(key);
  // On the heap: the module's static thread-local block is small, and a
  // library that takes much of it may fail to load after others.
  thread_local std::unique_ptr<std::array<CachedKey, kCached>> cache;
  if (!cache) cache = std::make_unique<std::array<CachedKey, kCached>>();
  CachedKey& cached = (*cache)[hash % kCached];
  if (cached.text && *cached.text == key) return cached.id;

  Keys& table = keys();
  KeyShard& shard = table.shards[(hash >> 40) % kKeyShards];
  std::uint32_t id;
  {
    std::shared_lock lock(shard.mutex);
    const auto it = shard.ids.find(key);
    if (it != shard.ids.end())
      id = it->second;
    else
      id = UINT32_MAX;
  }
  if (id == UINT32_MAX) {
    std::unique_lock lock(shard.mutex);
    const auto it = shard.ids.find(key);
    if (it != shard.ids.end()) {
      id = it->second;
    } else {
      const auto* text = new std::string(key);
      id = table.publish(text);
      shard.ids.emplace(std::string_view(*text), id);
    }
  }
  cached.text = table.chunks[id >> kChunkBits].load(std::memory_order_acquire)[id & (kChunk - 1)];
  cached.id = id;
  return id;
}

std::string_view KeyTable::text(std::uint32_t id) noexcept {
  return *keys().chunks[id >> kChunkBits].load(std::memory_order_acquire)[id & (kChunk - 1)];
}

// ---------------------------------------------------------------- slots

namespace {

// A long text: its length, then its bytes, in one allocation.
struct LongText {
  std::size_t size;
  char bytes[1];

  static LongText* make(std::string_view text) {
    auto* out = static_cast<LongText*>(std::malloc(offsetof(LongText, bytes) + text.size()));
    if (!out) throw std::bad_alloc();
    out->size = text.size();
    std::memcpy(out->bytes, text.data(), text.size());
    return out;
  }
  std::string_view view() const { return {bytes, size}; }
};

// Numbers and pointers sit at offset 8 of the slot, on their natural boundary.
constexpr std::size_t kWordAt = 4;

template <class T>
T* pointer_of(const Slot& slot) {
  T* p;
  std::memcpy(&p, slot.data + kWordAt, sizeof p);
  return p;
}
template <class T>
void set_pointer(Slot& slot, T* p) {
  std::memcpy(slot.data + kWordAt, &p, sizeof p);
}

void set_head(Slot& slot, std::uint32_t key, Slot::Tag tag, std::size_t size = 0) {
  slot.head[0] = static_cast<std::uint8_t>(key);
  slot.head[1] = static_cast<std::uint8_t>(key >> 8);
  slot.head[2] = static_cast<std::uint8_t>(key >> 16);
  slot.head[3] = static_cast<std::uint8_t>(tag | size << 3);
}

// An entry whose key's id does not fit the slot's three bytes.
struct WideEntry {
  std::uint32_t key;
  Slot slot;  // the value, its key bytes unused
};

Slot make_slot(std::uint32_t key, Value&& value) {
  Slot out{};
  if (key >= Slot::kWideKey) {
    auto* wide = new WideEntry{key, make_slot(0, std::move(value))};
    set_head(out, Slot::kWideKey, Slot::kWide);
    set_pointer(out, wide);
    return out;
  }
  switch (value.kind()) {
    case Value::Kind::Empty: set_head(out, key, Slot::kEmpty); break;
    case Value::Kind::Bool:
      set_head(out, key, Slot::kBool);
      out.data[0] = *value.get_if<bool>() ? 1 : 0;
      break;
    case Value::Kind::Int:
      set_head(out, key, Slot::kInt);
      std::memcpy(out.data + kWordAt, value.get_if<std::int64_t>(), 8);
      break;
    case Value::Kind::Float:
      set_head(out, key, Slot::kFloat);
      std::memcpy(out.data + kWordAt, value.get_if<double>(), 8);
      break;
    case Value::Kind::String: {
      const std::string& text = *value.get_if<std::string>();
      if (text.size() <= Slot::kInline) {
        set_head(out, key, Slot::kShort, text.size());
        std::memcpy(out.data, text.data(), text.size());
      } else {
        set_head(out, key, Slot::kLong);
        set_pointer(out, LongText::make(text));
      }
      break;
    }
    default:
      set_head(out, key, Slot::kBoxed);
      set_pointer(out, new Value(std::move(value)));
      break;
  }
  return out;
}

void free_slot(const Slot& slot) noexcept {
  switch (slot.tag()) {
    case Slot::kLong: std::free(pointer_of<LongText>(slot)); break;
    case Slot::kBoxed: delete pointer_of<Value>(slot); break;
    case Slot::kWide: {
      WideEntry* wide = pointer_of<WideEntry>(slot);
      free_slot(wide->slot);
      delete wide;
      break;
    }
    default: break;
  }
}

Slot clone_slot(const Slot& slot) {
  Slot out = slot;
  switch (slot.tag()) {
    case Slot::kLong: set_pointer(out, LongText::make(pointer_of<LongText>(slot)->view())); break;
    case Slot::kBoxed: set_pointer(out, new Value(*pointer_of<Value>(slot))); break;
    case Slot::kWide: {
      const WideEntry* wide = pointer_of<WideEntry>(slot);
      set_pointer(out, new WideEntry{wide->key, clone_slot(wide->slot)});
      break;
    }
    default: break;
  }
  return out;
}

}  // namespace

std::uint32_t Slot::key() const noexcept {
  const std::uint32_t id = head[0] | std::uint32_t{head[1]} << 8 | std::uint32_t{head[2]} << 16;
  if (id == kWideKey) return pointer_of<WideEntry>(*this)->key;
  return id;
}

Value Slot::value() const {
  switch (tag()) {
    case kEmpty: return Value();
    case kBool: return Value(data[0] != 0);
    case kInt: {
      std::int64_t n;
      std::memcpy(&n, data + kWordAt, 8);
      return Value(n);
    }
    case kFloat: {
      double d;
      std::memcpy(&d, data + kWordAt, 8);
      return Value(d);
    }
    case kShort: return Value(std::string_view(data, size()));
    case kLong: return Value(pointer_of<LongText>(*this)->view());
    case kBoxed: return *pointer_of<Value>(*this);
    case kWide: break;
  }
  return pointer_of<WideEntry>(*this)->slot.value();
}

PropertyMap::Peek Slot::peek() const noexcept {
  PropertyMap::Peek out;
  switch (tag()) {
    case kEmpty: break;
    case kBool:
      out.kind = Value::Kind::Bool;
      out.number = data[0] != 0;
      break;
    case kInt:
      out.kind = Value::Kind::Int;
      std::memcpy(&out.number, data + kWordAt, 8);
      break;
    case kFloat: out.kind = Value::Kind::Float; break;
    case kShort:
      out.kind = Value::Kind::String;
      out.text = std::string_view(data, size());
      break;
    case kLong:
      out.kind = Value::Kind::String;
      out.text = pointer_of<LongText>(*this)->view();
      break;
    case kBoxed:
      out.boxed = pointer_of<Value>(*this);
      out.kind = out.boxed->kind();
      break;
    case kWide: return pointer_of<WideEntry>(*this)->slot.peek();
  }
  return out;
}

// ---------------------------------------------------------------- SlotEntries

namespace {

// Room for a map of a few entries comes from pools of two sizes: most
// stored elements repeat a few keys, and their slots stay as long as they do.
using TwoSlots = SlabPool<2 * sizeof(Slot)>;
using FourSlots = SlabPool<4 * sizeof(Slot)>;

// Room for at least `n` (> 1) slots; `capacity` is set to how many it holds.
Slot* allocate_slots(std::size_t n, std::uint32_t& capacity) {
  void* room;
  if (n <= 2) {
    room = TwoSlots::allocate();
    capacity = 2;
  } else if (n <= 4) {
    room = FourSlots::allocate();
    capacity = 4;
  } else {
    room = std::malloc(n * sizeof(Slot));
    if (!room) throw std::bad_alloc();
    capacity = static_cast<std::uint32_t>(n);
  }
  return static_cast<Slot*>(room);
}

// Gives back room of `capacity` slots that allocate_slots made.
void free_slots(Slot* slots, std::uint32_t capacity) noexcept {
  if (capacity == 2) {
    TwoSlots::release(slots);
  } else if (capacity == 4) {
    FourSlots::release(slots);
  } else {
    std::free(slots);
  }
}

}  // namespace

// Both fill a made object, so that its destructor frees what was filled when
// an allocation fails halfway.
SlotEntries::SlotEntries(PropertyEntries entries) : SlotEntries() {
  const std::size_t n = entries.size();
  if (n > 1) many_ = allocate_slots(n, capacity_);
  Slot* out = slots();
  for (auto& [key, value] : entries) {
    out[count_] = make_slot(KeyTable::intern(key), std::move(value));
    ++count_;
  }
}

SlotEntries::SlotEntries(PropertyMap::EntryViews entries) : SlotEntries() {
  // Stable: of equal keys, the last given stays last, and is the one kept. A
  // few entries are sorted in place, without the buffer of a stable sort.
  const auto before = [](const auto& a, const auto& b) { return a.first < b.first; };
  constexpr std::size_t kSortedInPlace = 16;
  if (entries.size() > kSortedInPlace) {
    std::stable_sort(entries.begin(), entries.end(), before);
  } else {
    for (std::size_t i = 1; i < entries.size(); ++i)
      for (std::size_t j = i; j > 0 && before(entries[j], entries[j - 1]); --j) std::swap(entries[j], entries[j - 1]);
  }
  std::size_t n = 0;
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (i + 1 == entries.size() || entries[i].first != entries[i + 1].first) ++n;
  if (n > 1) many_ = allocate_slots(n, capacity_);
  Slot* out = slots();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i + 1 < entries.size() && entries[i].first == entries[i + 1].first) continue;
    out[count_] = make_slot(KeyTable::intern(entries[i].first), std::move(entries[i].second));
    ++count_;
  }
}

SlotEntries::SlotEntries(const SlotEntries& other) : SlotEntries() {
  if (other.count_ > 1) many_ = allocate_slots(other.count_, capacity_);
  Slot* out = slots();
  for (const Slot& slot : other) {
    out[count_] = clone_slot(slot);
    ++count_;
  }
}

SlotEntries::SlotEntries(SlotEntries&& other) noexcept : count_(other.count_), capacity_(other.capacity_), one_{} {
  if (capacity_ == 1)
    one_ = other.one_;
  else
    many_ = other.many_;
  other.count_ = 0;
  other.capacity_ = 1;
}

SlotEntries::~SlotEntries() {
  for (const Slot& slot : *this) free_slot(slot);
  if (capacity_ != 1) free_slots(many_, capacity_);
}

std::size_t SlotEntries::lower_bound(std::string_view key) const {
  const Slot* first = begin();
  return static_cast<std::size_t>(
      std::lower_bound(first, end(), key, [](const Slot& s, std::string_view k) { return s.key_text() < k; }) - first);
}

const Slot* SlotEntries::find(std::string_view key) const {
  const std::size_t at = lower_bound(key);
  if (at == count_ || slots()[at].key_text() != key) return nullptr;
  return slots() + at;
}

const Slot* SlotEntries::find(std::uint32_t key) const noexcept {
  // Keys are ordered by text, not by number: a map's few entries are
  // compared one by one, a large map's are searched by the key's text.
  constexpr std::uint32_t kWalked = 8;
  if (count_ > kWalked) return find(KeyTable::text(key));
  if (key >= Slot::kWideKey) {
    for (const Slot& slot : *this)
      if (slot.key() == key) return &slot;
    return nullptr;
  }
  // A key that fits three bytes is compared in place: a wide entry's three
  // bytes name no such key.
  for (const Slot& slot : *this)
    if ((slot.head[0] | std::uint32_t{slot.head[1]} << 8 | std::uint32_t{slot.head[2]} << 16) == key) return &slot;
  return nullptr;
}

void SlotEntries::insert_or_assign(std::string_view key, Value value) {
  const std::size_t at = lower_bound(key);
  if (at < count_ && slots()[at].key_text() == key) {
    Slot& slot = slots()[at];
    const Slot fresh = make_slot(slot.key(), std::move(value));
    free_slot(slot);
    slot = fresh;
    return;
  }
  const Slot fresh = make_slot(KeyTable::intern(key), std::move(value));
  if (count_ == capacity_) {
    std::uint32_t capacity = 0;
    Slot* grown;
    try {
      grown = allocate_slots(std::max<std::uint32_t>(2, capacity_ * 2), capacity);
    } catch (...) {
      free_slot(fresh);
      throw;
    }
    std::memcpy(grown, slots(), count_ * sizeof(Slot));
    if (capacity_ != 1) free_slots(many_, capacity_);
    many_ = grown;
    capacity_ = capacity;
  }
  Slot* all = slots();
  std::memmove(all + at + 1, all + at, (count_ - at) * sizeof(Slot));
  all[at] = fresh;
  ++count_;
}

std::vector<SlotEntries::Entry> SlotEntries::entries() const {
  std::vector<Entry> out;
  out.reserve(count_);
  for (const Slot& slot : *this) out.emplace_back(std::string(slot.key_text()), slot.value());
  return out;
}

}  // namespace velmora::detail
