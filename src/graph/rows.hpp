// The containers the store's rows live in: append-only chunked arrays whose
// slots never move, and sharded hash sets of row ids that hash and compare
// keys read from the rows themselves (so that a key is kept once, in its row).
//
// Threads: a `Chunked` slot is written by the thread that was handed its id
// and read by others once that id is published; an `IdIndex` takes its
// shard's read lock for a look-up and its write lock for an addition, which
// writes the new row while it holds that lock.
#pragma once

#include <absl/container/flat_hash_set.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace velmora::graph {

using TypeId = std::uint32_t;

// Ids stay below 2^30, so that an application's function id fits a term word
// beside its two tag bits.
inline constexpr TypeId kMaxTypeId = (TypeId{1} << 30) - 1;

// How many keys a look-up of several at once holds their shards for (see
// IdIndex::find_each); a creation looks up at most this many of its names.
inline constexpr std::size_t kKeysAtOnce = 8;

// Spreads ids over shards and stripes: consecutive ids land far apart.
struct TypeIdHash {
  std::size_t operator()(TypeId id) const noexcept { return (std::uint64_t{id} + 1) * 0x9E3779B97F4A7C15ull; }
};

namespace rows {

// An append-only array of trivially copyable rows whose addresses never
// change: chunk k holds 1024 << k rows. Chunks are zero-filled when made; a
// slot is written by the thread that was handed its id.
template <class T>
class Chunked {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
  static constexpr unsigned kBaseBits = 10;
  static constexpr unsigned kChunks = 32 - kBaseBits;

 public:
  Chunked() = default;
  Chunked(const Chunked&) = delete;
  Chunked& operator=(const Chunked&) = delete;
  ~Chunked() {
    for (auto& chunk : chunks_) std::free(chunk.load(std::memory_order_relaxed));
  }

  // The slot of `id`, making its chunk when it is the first of it.
  T& slot(std::uint32_t id) {
    const auto [k, offset] = locate(id);
    T* chunk = chunks_[k].load(std::memory_order_acquire);
    if (!chunk) {
      // calloc: a fresh chunk costs no resident memory until rows are written.
      T* made = static_cast<T*>(std::calloc(std::size_t{1} << (kBaseBits + k), sizeof(T)));
      if (!made) throw std::bad_alloc();
      if (chunks_[k].compare_exchange_strong(chunk, made, std::memory_order_acq_rel)) {
        chunk = made;
      } else {
        std::free(made);
      }
    }
    return chunk[offset];
  }
  // The slot of `id` when its chunk exists, else null.
  T* find(std::uint32_t id) const {
    const auto [k, offset] = locate(id);
    T* chunk = chunks_[k].load(std::memory_order_acquire);
    return chunk ? chunk + offset : nullptr;
  }
  // The slot of an id already handed out (its chunk exists).
  T& at(std::uint32_t id) const {
    const auto [k, offset] = locate(id);
    return chunks_[k].load(std::memory_order_acquire)[offset];
  }
  // The id of the slot at `address`, when it is the start of one of this
  // array's slots; else none. A few comparisons per chunk made.
  std::optional<std::uint32_t> id_at(const void* address) const {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    for (unsigned k = 0; k < kChunks; ++k) {
      const T* chunk = chunks_[k].load(std::memory_order_acquire);
      if (!chunk) continue;
      const auto first = reinterpret_cast<std::uintptr_t>(chunk);
      const std::uint64_t rows = std::uint64_t{1} << (kBaseBits + k);
      if (at < first || at >= first + rows * sizeof(T)) continue;
      if ((at - first) % sizeof(T) != 0) return std::nullopt;
      return static_cast<std::uint32_t>(rows - (std::uint64_t{1} << kBaseBits) + (at - first) / sizeof(T));
    }
    return std::nullopt;
  }

 private:
  static std::pair<unsigned, std::uint64_t> locate(std::uint32_t id) {
    const std::uint64_t index = std::uint64_t{id} + (std::uint64_t{1} << kBaseBits);
    const unsigned top = static_cast<unsigned>(std::bit_width(index)) - 1;
    return {top - kBaseBits, index - (std::uint64_t{1} << top)};
  }

  std::array<std::atomic<T*>, kChunks> chunks_{};
};

// A set of row ids hashed and compared by a key read from the rows, sharded
// like the store's maps. `Policy::hash(key)` hashes a key,
// `Policy::key(owner, id)` reads the key of a row and
// `Policy::prefetch(owner, id)` starts loading it.
template <class Key, class Owner, class Policy>
class IdIndex {
  // A key with its hash, taken once for the shard and the set alike.
  struct Hashed {
    const Key* key;
    std::size_t hash;
    explicit Hashed(const Key& k) : key(&k), hash(Policy::hash(k)) {}
  };
  // A key whose look-up compares with no row: every row it would compare
  // with is asked for instead (see find_each).
  struct Probe {
    Hashed hashed;
  };
  struct Hash {
    using is_transparent = void;
    const Owner* owner = nullptr;
    std::size_t operator()(std::uint32_t id) const { return Policy::hash(Policy::key(*owner, id)); }
    std::size_t operator()(const Hashed& key) const { return key.hash; }
    std::size_t operator()(const Probe& probe) const { return probe.hashed.hash; }
  };
  struct Eq {
    using is_transparent = void;
    const Owner* owner = nullptr;
    bool operator()(std::uint32_t a, std::uint32_t b) const { return a == b; }
    bool operator()(std::uint32_t a, const Hashed& b) const { return Policy::equal(Policy::key(*owner, a), *b.key); }
    bool operator()(const Hashed& a, std::uint32_t b) const { return Policy::equal(*a.key, Policy::key(*owner, b)); }
    bool operator()(const Probe&, std::uint32_t b) const { return Policy::prefetch(*owner, b), false; }
    bool operator()(std::uint32_t a, const Probe&) const { return Policy::prefetch(*owner, a), false; }
  };
  using Set = absl::flat_hash_set<std::uint32_t, Hash, Eq>;

 public:
  explicit IdIndex(const Owner* owner) : owner_(owner) {
    for (auto& s : shards_) s.set = Set(0, Hash{owner}, Eq{owner});
  }

  std::optional<std::uint32_t> find(const Key& key) const { return find(Hashed(key)); }
  std::optional<std::uint32_t> find(const Hashed& key) const {
    const auto& s = shard(key);
    std::shared_lock lock(s.mutex);
    auto it = s.set.find(key);
    if (it == s.set.end()) return std::nullopt;
    return *it;
  }

  // Starts the loads a look-up of `key` begins with, so that the look-ups
  // of several keys wait for memory together rather than in turn.
  void prefetch(const Key& key) const {
    const Hashed hashed(key);
    const auto& s = shard(hashed);
    std::shared_lock lock(s.mutex);
    s.set.prefetch(hashed);
  }

  // The ids of several keys at once: out[i] for keys[i]. Their shards are
  // held together (shared, in index order) while all of them are looked up,
  // so that the misses of the look-ups overlap: a lock between two look-ups
  // would make the second wait for the first. Every key's slots, then every
  // row a look-up compares with, are asked for before the first comparison.
  void find_each(std::span<const Key> keys, std::optional<std::uint32_t>* out) const {
    constexpr std::size_t kMost = kKeysAtOnce;
    if (keys.size() > kMost) {
      for (std::size_t i = 0; i < keys.size(); ++i) out[i] = find(keys[i]);
      return;
    }
    std::array<std::optional<Hashed>, kMost> hashed;
    std::array<std::size_t, kMost> held{};
    std::size_t count = 0;
    for (const Key& key : keys) {
      hashed[count].emplace(key);
      held[count] = index(*hashed[count]);
      ++count;
    }
    std::sort(held.begin(), held.begin() + count);
    count = static_cast<std::size_t>(std::unique(held.begin(), held.begin() + count) - held.begin());
    std::array<std::shared_lock<std::shared_mutex>, kMost> locks;
    for (std::size_t i = 0; i < count; ++i) locks[i] = std::shared_lock(shards_[held[i]].mutex);
    if (keys.size() > 1) {
      for (std::size_t i = 0; i < keys.size(); ++i) shard(*hashed[i]).set.prefetch(*hashed[i]);
      for (std::size_t i = 0; i < keys.size(); ++i) shard(*hashed[i]).set.find(Probe{*hashed[i]});
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
      const Set& set = shard(*hashed[i]).set;
      const auto it = set.find(*hashed[i]);
      out[i] = it == set.end() ? std::nullopt : std::optional<std::uint32_t>(*it);
    }
  }

  // The id under `key`; when there is none, make() -> id (which writes the
  // row) runs under the shard's write lock and its id is added. Second: true
  // when this call added it.
  template <class Make>
  std::pair<std::uint32_t, bool> find_or_add(const Key& key, Make&& make) {
    const Hashed hashed(key);
    if (auto found = find(hashed)) return {*found, false};
    return add_locked(hashed, make);
  }
  // As find_or_add, for a key that a look-up has just missed: it takes the
  // write lock at once, without looking under the read lock first.
  template <class Make>
  std::pair<std::uint32_t, bool> add(const Key& key, Make&& make) {
    return add_locked(Hashed(key), make);
  }

 private:
  // Under the shard's write lock, one probe finds the key or the slot where
  // its id goes; the new row's key is not read back to hash it again.
  template <class Make>
  std::pair<std::uint32_t, bool> add_locked(const Hashed& hashed, Make& make) {
    auto& s = shard(hashed);
    std::unique_lock lock(s.mutex);
    // Grown ahead, so that the insertion below never makes the set rehash
    // itself (see grow).
    if (s.set.size() >= growth(s.set.capacity())) grow(s.set);
    constexpr std::uint32_t kUnmade = ~std::uint32_t{0};
    bool added = false;
    std::exception_ptr failure;
    const auto it = s.set.lazy_emplace(hashed, [&](const auto& construct) {
      added = true;
      // The slot is already taken: should make() throw, it holds kUnmade
      // until it is cleared below, before the lock is let go.
      std::uint32_t id = kUnmade;
      try {
        id = make();
      } catch (...) {
        failure = std::current_exception();
      }
      construct(id);
    });
    if (failure) {
      s.set.erase(it);
      std::rethrow_exception(failure);
    }
    return {*it, added};
  }

  // How many ids a set of `capacity` slots takes before it grows (the hash
  // set's own rule; an id is erased only when its row failed to be made, so
  // tombstones are rare, and the set rehashes itself should they fill it).
  static std::size_t growth(std::size_t capacity) { return capacity == 7 ? 6 : capacity - capacity / 8; }
  // Moves a full set into one twice as large. The set would do that itself,
  // but it reads every row's key in slot order, one miss after another: here
  // the rows are asked for a few ids ahead, so that their misses overlap.
  void grow(Set& set) const {
    constexpr std::size_t kAhead = 8;
    std::vector<std::uint32_t> ids(set.begin(), set.end());
    Set bigger(0, set.hash_function(), set.key_eq());
    bigger.reserve(growth(set.capacity() * 2 + 1));
    const std::size_t n = ids.size();
    for (std::size_t i = 0; i < std::min(n, kAhead); ++i) Policy::prefetch(*owner_, ids[i]);
    for (std::size_t i = 0; i < n; ++i) {
      if (i + kAhead < n) Policy::prefetch(*owner_, ids[i + kAhead]);
      bigger.insert(ids[i]);
    }
    set = std::move(bigger);
  }

  struct alignas(64) Shard {
    mutable std::shared_mutex mutex;
    Set set;  // guarded by mutex
  };
  const Shard& shard(const Hashed& key) const { return shards_[index(key)]; }
  Shard& shard(const Hashed& key) { return shards_[index(key)]; }
  static std::size_t index(const Hashed& key) {
    const std::uint64_t h = key.hash * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h >> (64 - 6));
  }
  const Owner* owner_;
  std::array<Shard, 64> shards_;
};

// A name: up to 12 bytes inline, longer ones on the heap (freed with the
// table), the pointer kept in the last 8 bytes. `variable` is the id + 1 of
// the variable type of that name once it is stored, else 0 (through
// atomic_ref; see TypeTable::find_variable).
struct NameRow {
  static constexpr std::size_t kInline = 12;
  std::uint32_t size;
  char bytes[kInline];
  std::uint32_t variable;

  const char* heap() const {
    const char* p;
    std::memcpy(&p, bytes + 4, sizeof p);
    return p;
  }
  void set_heap(const char* p) { std::memcpy(bytes + 4, &p, sizeof p); }
  std::string_view view() const {
    return size <= kInline ? std::string_view(bytes, size) : std::string_view(heap(), size);
  }
};
static_assert(sizeof(NameRow) == 20);

}  // namespace rows

}  // namespace velmora::graph
