// The rows of the graph store, laid out for size: every stored type has a
// dense 32-bit id, its uid is kept once (in its type row) and everything else
// refers to types by id.
//
// - `TypeTable`: the types, each with the term stored for it, in rows that are
//   appended and never removed or moved; a uid-to-id index; the names of
//   variables and basic terms, each kept once, with a name-to-id index; a
//   name's row also holds the id of the variable of that name once stored.
// - `NodeTable`: node id (its type's id) to `NodeRow`: the property map and
//   the ids of the arrow types of the edges that leave and enter the node.
// - `EdgeTable`: an edge is named by its arrow type (start -> end): its
//   property map sits in a slot of that arrow type's id. The type-to-edge and
//   edge-to-type answers are the arrow type itself.
//
// Threads: any thread may call anything here. A type row is written once,
// before its id is published (in the uid index, or in a row that names it),
// and is read without a lock afterwards; the term of a type is one atomic
// word, replaced whole, and so is the row's edge mark. Index look-ups take
// their shard's lock for the look-up alone; an insertion of a new row holds
// its index shard's write lock while the row is written. Node rows follow
// `utils::ShardedMap`'s rules, edge slots their stripe's lock (see `Graph`
// for the order in which these locks nest).
#pragma once

#include <absl/container/flat_hash_set.h>
#include <absl/hash/hash.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "properties.hpp"
#include "utils/panic.hpp"
#include "utils/sharded_map.hpp"
#include "utils/tsan.hpp"
#include "utils/uid.hpp"

namespace velmora::graph {

using TypeId = std::uint32_t;

// Ids stay below 2^30, so that an application's function id fits a term word
// beside its two tag bits.
inline constexpr TypeId kMaxTypeId = (TypeId{1} << 30) - 1;

// How many keys a look-up of several at once holds their shards for (see
// IdIndex::find_each); a creation looks up at most this many of its names.
inline constexpr std::size_t kKeysAtOnce = 8;

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

// The term stored for a type, one word: 0 for none, a basic term's name id
// under kBasicBit, or an application's function and argument type ids under
// kApplicationBit (function in bits 32..61).
struct TermWord {
  static constexpr std::uint64_t kBasicBit = std::uint64_t{1} << 62;
  static constexpr std::uint64_t kApplicationBit = std::uint64_t{1} << 63;

  std::uint64_t bits = 0;

  bool none() const { return bits == 0; }
  bool is_basic() const { return (bits & (kApplicationBit | kBasicBit)) == kBasicBit; }
  bool is_application() const { return (bits & kApplicationBit) != 0; }
  std::uint32_t name() const { return static_cast<std::uint32_t>(bits); }
  TypeId function() const { return static_cast<TypeId>((bits >> 32) & kMaxTypeId); }
  TypeId argument() const { return static_cast<TypeId>(bits); }

  static TermWord basic(std::uint32_t name) { return {kBasicBit | name}; }
  static TermWord application(TypeId f, TypeId a) {
    return {kApplicationBit | (std::uint64_t{f} << 32) | std::uint64_t{a}};
  }
};

// One stored type. `kind` is written last: 0 while the row is being written,
// then in its low bits kVariable for a variable (whose name id is `left`), else
// right id + 1 for an arrow from `left`. Above them, kEdge is set while the
// arrow names an edge and kNode while the type has a node row (see NodeTable).
struct TypeRow {
  static constexpr std::uint32_t kShape = 0x3FFFFFFFu;
  static constexpr std::uint32_t kVariable = kShape;
  static constexpr std::uint32_t kEdge = 0x80000000u;
  static constexpr std::uint32_t kNode = 0x40000000u;
  // The largest id a row may get: its arrows' right id + 1 stays below kVariable.
  static constexpr TypeId kLastId = kShape - 2;
  Uid uid;
  std::uint32_t left;
  std::uint32_t kind;  // through atomic_ref
  std::uint64_t term;  // through atomic_ref
};
static_assert(sizeof(TypeRow) == 48);

class TypeTable {
 public:
  TypeTable() : index_(this), name_index_(this) {}
  TypeTable(const TypeTable&) = delete;
  TypeTable& operator=(const TypeTable&) = delete;
  ~TypeTable() {
    const std::uint32_t n = name_count_.load(std::memory_order_acquire);
    for (std::uint32_t i = 0; i < n; ++i) {
      const auto& row = names_.at(i);
      if (row.size > rows::NameRow::kInline) delete[] row.heap();
    }
  }

  // ---- types ----

  std::optional<TypeId> find(const Uid& uid) const { return index_.find(uid); }
  // Starts the loads of a look-up of `uid` (see IdIndex::prefetch).
  void prefetch(const Uid& uid) const { index_.prefetch(uid); }
  // The id of the variable `name` (uid given), storing it when new. For a
  // variable that find_variable has just missed: most often both its name
  // and its uid are new, and they are added without a look-up first.
  TypeId add_variable(const Uid& uid, std::string_view name) {
    const std::uint32_t name_id = name_index_.add(name, [&] { return write_name(name); }).first;
    const TypeId id = index_.add(uid, [&] { return write_row(uid, name_id, TypeRow::kVariable); }).first;
    // Only now, with the row published: the name then answers for it.
    std::atomic_ref<std::uint32_t>(names_.at(name_id).variable).store(id + 1, std::memory_order_release);
    return id;
  }
  // The id of the variable `name` when it is stored, found by its name: a
  // look-up of the name costs less than a digest and a look-up by uid. A
  // variable being stored by another thread may not be found yet.
  std::optional<TypeId> find_variable(std::string_view name) const {
    const auto name_id = name_index_.find(name);
    if (!name_id) return std::nullopt;
    return variable_named(*name_id);
  }
  // The ids of the variables `names` that are stored, looked up together
  // (see IdIndex::find_each): out[i] for names[i]. As find_variable each.
  void find_variables(std::span<const std::string_view> names, std::optional<TypeId>* out) const {
    name_index_.find_each(names, out);
    for (std::size_t i = 0; i < names.size(); ++i)
      if (out[i]) out[i] = variable_named(*out[i]);
  }
  // Starts loading the row of `id` (handed out), ahead of a read of its uid.
  void prefetch_row(TypeId id) const { __builtin_prefetch(&rows_.at(id)); }
  // The id of the arrow left -> right (uid given), storing it when new.
  // `likely_new`: the look-up under the read lock is skipped, and the write
  // lock taken at once.
  TypeId add_arrow(const Uid& uid, TypeId left, TypeId right, bool likely_new = false) {
    const auto make = [&] { return write_row(uid, left, right + 1); };
    return (likely_new ? index_.add(uid, make) : index_.find_or_add(uid, make)).first;
  }

  const Uid& uid(TypeId id) const { return rows_.at(id).uid; }
  bool is_variable(TypeId id) const { return (kind(id) & TypeRow::kShape) == TypeRow::kVariable; }
  std::string_view variable_name(TypeId id) const { return name(rows_.at(id).left); }
  TypeId left(TypeId id) const { return rows_.at(id).left; }
  TypeId right(TypeId id) const { return (kind(id) & TypeRow::kShape) - 1; }
  // Whether the arrow `id` names an edge (see EdgeTable).
  bool is_edge(TypeId id) const {
    const std::uint32_t k = kind(id);
    return (k & TypeRow::kShape) != TypeRow::kVariable && (k & TypeRow::kEdge) != 0;
  }
  void set_edge(TypeId id, bool edge) { set_mark(id, TypeRow::kEdge, edge); }
  // Whether the type `id` has a node row: set once the row is in the node
  // table, cleared before it leaves, both under the row's shard lock. Read
  // without that lock it answers as a look-up in the table would, at some
  // moment of the call; it costs no look-up, only the type's own row.
  bool has_node(TypeId id) const { return (kind(id) & TypeRow::kNode) != 0; }
  void set_node(TypeId id, bool node) { set_mark(id, TypeRow::kNode, node); }

  // Every published id, in parallel blocks: fn(TypeId). Rows still being
  // written are skipped, as a row inserted after the walk would be.
  template <class Fn>
  void for_each_parallel(Fn&& fn) const {
    const std::uint32_t n = count_.load(std::memory_order_acquire);
    utils::tsan::Join join;
    tbb::parallel_for(tbb::blocked_range<std::uint32_t>(0, n, 256),
                      utils::tsan::body(
                          [&](const tbb::blocked_range<std::uint32_t>& range) {
                            for (std::uint32_t id = range.begin(); id != range.end(); ++id)
                              if (published(id)) fn(id);
                          },
                          join));
    join.joined();
  }
  // The number of ids handed out: an upper bound of the published rows,
  // read without a walk.
  std::uint32_t allocated() const { return count_.load(std::memory_order_acquire); }
  // The number of published rows (a walk over them all).
  std::size_t size() const {
    const std::uint32_t n = count_.load(std::memory_order_acquire);
    std::size_t published = 0;
    for (std::uint32_t id = 0; id < n; ++id) published += this->published(id);
    return published;
  }

  // Whether the row of a handed-out id is complete (a walk may meet an id
  // whose writer has not finished, or not even made its chunk).
  bool published(TypeId id) const {
    TypeRow* row = rows_.find(id);
    return row && std::atomic_ref<std::uint32_t>(row->kind).load(std::memory_order_acquire) != 0;
  }

  // ---- terms ----

  TermWord term(TypeId id) const {
    return {std::atomic_ref<std::uint64_t>(rows_.at(id).term).load(std::memory_order_acquire)};
  }
  void set_term(TypeId id, TermWord word) {
    std::atomic_ref<std::uint64_t>(rows_.at(id).term).store(word.bits, std::memory_order_release);
  }
  // Stores `word` only where the type has no term yet; true when it did.
  bool set_term_if_none(TypeId id, TermWord word) {
    std::uint64_t none = 0;
    return std::atomic_ref<std::uint64_t>(rows_.at(id).term)
        .compare_exchange_strong(none, word.bits, std::memory_order_acq_rel);
  }

  // ---- names ----

  std::uint32_t add_name(std::string_view text) {
    return name_index_.find_or_add(text, [&] { return write_name(text); }).first;
  }
  std::string_view name(std::uint32_t id) const { return names_.at(id).view(); }

  // The keys the two indexes read from the rows.
  struct UidKeys {
    static std::size_t hash(const Uid& uid) { return UidHash{}(uid); }
    static const Uid& key(const TypeTable& t, std::uint32_t id) { return t.rows_.at(id).uid; }
    static void prefetch(const TypeTable& t, std::uint32_t id) { t.prefetch_row(id); }
    // Four words compared in line: a call to memcmp costs more than the compare.
    static bool equal(const Uid& a, const Uid& b) {
      std::uint64_t x[4], y[4];
      std::memcpy(x, a.data(), sizeof x);
      std::memcpy(y, b.data(), sizeof y);
      return ((x[0] ^ y[0]) | (x[1] ^ y[1]) | (x[2] ^ y[2]) | (x[3] ^ y[3])) == 0;
    }
  };
  struct NameKeys {
    static std::size_t hash(std::string_view text) { return absl::Hash<std::string_view>{}(text); }
    static std::string_view key(const TypeTable& t, std::uint32_t id) { return t.name(id); }
    static void prefetch(const TypeTable& t, std::uint32_t id) { __builtin_prefetch(&t.names_.at(id)); }
    static bool equal(std::string_view a, std::string_view b) { return a == b; }
  };

 private:
  // The variable of the name `name_id`, once stored.
  std::optional<TypeId> variable_named(std::uint32_t name_id) const {
    const std::uint32_t variable =
        std::atomic_ref<std::uint32_t>(names_.at(name_id).variable).load(std::memory_order_acquire);
    if (variable == 0) return std::nullopt;
    return variable - 1;
  }
  std::uint32_t kind(TypeId id) const {
    return std::atomic_ref<std::uint32_t>(rows_.at(id).kind).load(std::memory_order_acquire);
  }
  void set_mark(TypeId id, std::uint32_t mark, bool on) {
    std::atomic_ref<std::uint32_t> k(rows_.at(id).kind);
    if (on) {
      k.fetch_or(mark, std::memory_order_release);
    } else {
      k.fetch_and(~mark, std::memory_order_release);
    }
  }
  std::uint32_t write_name(std::string_view text) {
    const std::uint32_t id = name_count_.fetch_add(1, std::memory_order_relaxed);
    if (id > kMaxTypeId) panic("graph store: too many names");
    rows::NameRow& row = names_.slot(id);
    row.size = static_cast<std::uint32_t>(text.size());
    if (text.size() <= rows::NameRow::kInline) {
      std::memcpy(row.bytes, text.data(), text.size());
    } else {
      char* heap = new char[text.size()];
      std::memcpy(heap, text.data(), text.size());
      row.set_heap(heap);
    }
    return id;
  }
  TypeId write_row(const Uid& uid, std::uint32_t left, std::uint32_t kind) {
    const TypeId id = count_.fetch_add(1, std::memory_order_relaxed);
    if (id > TypeRow::kLastId) panic("graph store: too many types");
    TypeRow& row = rows_.slot(id);
    row.uid = uid;
    row.left = left;
    std::atomic_ref<std::uint32_t>(row.kind).store(kind, std::memory_order_release);
    // Rows are written in id order, far apart in time: the next one's lines
    // are asked for now, so that its writer does not wait for them.
    if (const TypeRow* next = rows_.find(id + 1)) {
      __builtin_prefetch(next, 1);
      __builtin_prefetch(reinterpret_cast<const char*>(next) + sizeof(TypeRow) - 1, 1);
    }
    return id;
  }

  rows::Chunked<TypeRow> rows_;
  std::atomic<std::uint32_t> count_{0};
  rows::Chunked<rows::NameRow> names_;
  std::atomic<std::uint32_t> name_count_{0};
  rows::IdIndex<Uid, TypeTable, UidKeys> index_;
  rows::IdIndex<std::string_view, TypeTable, NameKeys> name_index_;
};

// The arrow-type ids of the edges that leave and enter one node, in one heap
// block: leaving ids from the front, entering ids from the back. No block
// until the first edge. The order of the ids is not kept.
class Adjacency {
 public:
  Adjacency() = default;
  Adjacency(const Adjacency&) = delete;
  Adjacency& operator=(const Adjacency&) = delete;
  Adjacency(Adjacency&& other) noexcept
      : block_(std::exchange(other.block_, nullptr)),
        out_(std::exchange(other.out_, 0)),
        in_(std::exchange(other.in_, 0)) {}
  Adjacency& operator=(Adjacency&& other) noexcept {
    if (this != &other) {
      delete[] block_;
      block_ = std::exchange(other.block_, nullptr);
      out_ = std::exchange(other.out_, 0);
      in_ = std::exchange(other.in_, 0);
    }
    return *this;
  }
  ~Adjacency() { delete[] block_; }

  std::span<const TypeId> out() const { return {ids(), out_}; }
  std::span<const TypeId> in() const { return {ids() + capacity() - in_, in_}; }
  std::span<const TypeId> side(bool leaving) const { return leaving ? out() : in(); }

  void add_out(TypeId id) {
    reserve_one();
    ids()[out_++] = id;
  }
  void add_in(TypeId id) {
    reserve_one();
    ++in_;
    ids()[capacity() - in_] = id;
  }
  // Removes one `id` from the side; false when it is not there.
  bool remove_out(TypeId id) {
    TypeId* first = ids();
    for (std::uint32_t i = 0; i < out_; ++i) {
      if (first[i] != id) continue;
      first[i] = first[--out_];
      return true;
    }
    return false;
  }
  bool remove_in(TypeId id) {
    TypeId* first = ids() + capacity() - in_;
    for (std::uint32_t i = 0; i < in_; ++i) {
      if (first[i] != id) continue;
      first[i] = first[0];
      --in_;
      return true;
    }
    return false;
  }

  // Starts loading the block (its capacity, and where each side grows next)
  // ahead of an insertion. Reads nothing itself.
  void prefetch() const {
    if (!block_) return;
    __builtin_prefetch(block_);
    __builtin_prefetch(block_ + 1 + out_);
  }

 private:
  // block_[0] is the capacity; the ids follow.
  std::uint32_t capacity() const { return block_ ? block_[0] : 0; }
  TypeId* ids() const { return block_ ? block_ + 1 : nullptr; }
  void reserve_one() {
    const std::uint32_t cap = capacity();
    if (out_ + in_ < cap) return;
    // Half as much again: most nodes have a few edges, and a doubled block
    // would mostly stand empty.
    const std::uint32_t grown = cap == 0 ? 3 : cap + cap / 2 + 1;
    auto* block = new std::uint32_t[std::size_t{grown} + 1];
    block[0] = grown;
    if (block_) {
      std::memcpy(block + 1, ids(), std::size_t{out_} * sizeof(TypeId));
      std::memcpy(block + 1 + grown - in_, ids() + cap - in_, std::size_t{in_} * sizeof(TypeId));
      delete[] block_;
    }
    block_ = block;
  }

  std::uint32_t* block_ = nullptr;
  std::uint32_t out_ = 0;
  std::uint32_t in_ = 0;
};
static_assert(sizeof(Adjacency) == 16);

// A node: its property map and its edges.
struct NodeRow {
  PropertyMap properties;
  Adjacency edges;
};

struct TypeIdHash {
  std::size_t operator()(TypeId id) const noexcept { return (std::uint64_t{id} + 1) * 0x9E3779B97F4A7C15ull; }
};

// Node id to node row.
using NodeTable = utils::ShardedMap<TypeId, NodeRow, TypeIdHash>;

// The edges: an edge is named by its arrow type, and its property map sits in
// a slot of that type's id, alive while the arrow's row carries the edge
// mark. Most edges never get a map with entries: such an edge has no slot
// (its slot stays untouched memory) and reads as an empty map of its own; the
// slot is made by the first write, or by `share`. A slot is read and written
// under the lock of its stripe (the ids spread over 64 locks as over a map's
// shards); whether an edge is there can be asked without one.
class EdgeTable {
 public:
  explicit EdgeTable(std::shared_ptr<TypeTable> types) : types_(std::move(types)) {}
  EdgeTable(const EdgeTable&) = delete;
  EdgeTable& operator=(const EdgeTable&) = delete;
  ~EdgeTable() {
    const std::uint32_t n = types_->allocated();
    for (std::uint32_t id = 0; id < n; ++id)
      if (has_slot(id)) std::destroy_at(&map(id));
  }

  bool contains(TypeId arrow) const { return types_->is_edge(arrow); }
  std::size_t size() const { return count_.load(std::memory_order_acquire); }

  // Inserts or replaces; returns the previous map. Under the stripe's write
  // lock, before the slot changes, hook(previous map or null, `value`).
  template <class Hook>
  std::optional<PropertyMap> insert(TypeId arrow, PropertyMap value, Hook&& hook) {
    std::unique_lock lock(stripe(arrow));
    if (types_->is_edge(arrow)) {
      if (!has_slot(arrow)) {
        const PropertyMap none;
        hook(&none, std::as_const(value));
        if (value.size() != 0) make_slot(arrow, std::move(value));
        return PropertyMap();
      }
      hook(&std::as_const(map(arrow)), std::as_const(value));
      std::optional<PropertyMap> old(std::move(map(arrow)));
      map(arrow) = std::move(value);
      return old;
    }
    hook(static_cast<const PropertyMap*>(nullptr), std::as_const(value));
    // A handle without a body is an empty map no one shares: the edge needs
    // no slot for it.
    if (value.size() != 0) make_slot(arrow, std::move(value));
    types_->set_edge(arrow, true);
    count_.fetch_add(1, std::memory_order_release);
    return std::nullopt;
  }
  std::optional<PropertyMap> insert(TypeId arrow, PropertyMap value) {
    return insert(arrow, std::move(value), [](const PropertyMap*, const PropertyMap&) {});
  }
  // Removes and returns the map of the edge `arrow`; hook(its map) first,
  // under the stripe's write lock.
  template <class Hook>
  std::optional<PropertyMap> remove(TypeId arrow, Hook&& hook) {
    std::unique_lock lock(stripe(arrow));
    if (!types_->is_edge(arrow)) return std::nullopt;
    std::optional<PropertyMap> old;
    if (has_slot(arrow)) {
      hook(std::as_const(map(arrow)));
      old.emplace(std::move(map(arrow)));
      std::destroy_at(&map(arrow));
      slot_bits(arrow).fetch_and(~slot_bit(arrow), std::memory_order_relaxed);
    } else {
      old.emplace();
      hook(std::as_const(*old));
    }
    types_->set_edge(arrow, false);
    count_.fetch_sub(1, std::memory_order_release);
    return old;
  }
  std::optional<PropertyMap> remove(TypeId arrow) {
    return remove(arrow, [](const PropertyMap&) {});
  }
  // fn(const PropertyMap&) under the stripe's read lock; none when absent.
  // An edge without a slot hands fn an empty map that is not the edge's: a
  // handle meant to share the edge's map comes from `share`.
  template <class Fn>
  auto with_read(TypeId arrow, Fn&& fn) const -> std::optional<std::invoke_result_t<Fn, const PropertyMap&>> {
    std::shared_lock lock(stripe(arrow));
    if (!types_->is_edge(arrow)) return std::nullopt;
    if (!has_slot(arrow)) {
      const PropertyMap none;
      return std::invoke(fn, none);
    }
    return std::invoke(fn, std::as_const(map(arrow)));
  }
  // fn(PropertyMap&) under the stripe's write lock, making the edge's slot
  // when it has none; false when absent.
  template <class Fn>
  bool with_write(TypeId arrow, Fn&& fn) {
    std::unique_lock lock(stripe(arrow));
    if (!types_->is_edge(arrow)) return false;
    if (!has_slot(arrow)) make_slot(arrow, PropertyMap());
    std::invoke(fn, map(arrow));
    return true;
  }
  // A handle sharing the edge's map (the stored handle itself); none when
  // absent.
  std::optional<PropertyMap> share(TypeId arrow) {
    std::optional<PropertyMap> out;
    with_write(arrow, [&](const PropertyMap& stored) { out.emplace(stored); });
    return out;
  }
  // fn(arrow id) for every edge, in parallel blocks, without locks.
  template <class Fn>
  void for_each_parallel(Fn&& fn) const {
    types_->for_each_parallel([&](TypeId id) {
      if (types_->is_edge(id)) fn(id);
    });
  }

 private:
  struct Slot {
    alignas(PropertyMap) unsigned char bytes[sizeof(PropertyMap)];
  };
  struct alignas(64) Stripe {
    std::shared_mutex mutex;
  };
  PropertyMap& map(TypeId id) const { return *std::launder(reinterpret_cast<PropertyMap*>(slots_.at(id).bytes)); }
  std::shared_mutex& stripe(TypeId id) const { return stripes_[TypeIdHash{}(id) >> 58].mutex; }

  // Whether the edge's slot holds a map: one bit per id, 64 ids a word. The
  // bit of an id changes only under its stripe's write lock; the other bits
  // of its word belong to other stripes, hence the atomic updates.
  static std::uint64_t slot_bit(TypeId id) { return std::uint64_t{1} << (id & 63); }
  std::atomic_ref<std::uint64_t> slot_bits(TypeId id) {
    return std::atomic_ref<std::uint64_t>(slot_words_.slot(id >> 6));
  }
  bool has_slot(TypeId id) const {
    std::uint64_t* word = slot_words_.find(id >> 6);
    return word && (std::atomic_ref<std::uint64_t>(*word).load(std::memory_order_relaxed) & slot_bit(id)) != 0;
  }
  void make_slot(TypeId id, PropertyMap value) {
    std::construct_at(reinterpret_cast<PropertyMap*>(slots_.slot(id).bytes), std::move(value));
    slot_bits(id).fetch_or(slot_bit(id), std::memory_order_relaxed);
  }

  std::shared_ptr<TypeTable> types_;
  rows::Chunked<Slot> slots_;
  rows::Chunked<std::uint64_t> slot_words_;
  mutable std::array<Stripe, 64> stripes_;
  std::atomic<std::size_t> count_{0};
};

}  // namespace velmora::graph
