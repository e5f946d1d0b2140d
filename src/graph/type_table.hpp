// The type table: every stored type under a dense 32-bit id, its uid kept
// once (in its row), the term stored for it, and the names of variables and
// basic terms, each kept once.
//
// Rows are appended and never removed or moved. A uid-to-id index finds a
// type; a name-to-id index finds a name, whose row also holds the id of the
// variable of that name once stored.
//
// Threads: any thread may call anything here. A type row is written once,
// before its id is published (in the uid index, or in a row that names it),
// and is read without a lock afterwards; the term of a type is one atomic
// word, replaced whole, and so are the row's edge and node marks. Index
// look-ups take their shard's lock for the look-up alone; an insertion of a
// new row holds its index shard's write lock while the row is written.
#pragma once

#include <absl/hash/hash.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "graph/rows.hpp"
#include "utils/panic.hpp"
#include "utils/tsan.hpp"
#include "utils/uid.hpp"

namespace velmora::graph {

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
  // The id of the row whose uid `uid(id)` handed out, found by its address
  // (no look-up by uid); none for a uid that is not a row's own copy.
  std::optional<TypeId> id_of_row(const Uid& row_uid) const {
    static_assert(offsetof(TypeRow, uid) == 0);
    return rows_.id_at(&row_uid);
  }
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

}  // namespace velmora::graph
