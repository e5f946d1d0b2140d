// An equality index over the property maps of the store's nodes (or edges):
// for every (key, value) of a stored map whose value compares exactly (an
// integer, a boolean, a string, or a list of such values and such lists), the
// rows that carry it.
//
// Rows are kept by number, four bytes each: in a graph's index a node by its
// type id and an edge by its arrow type's id, turned back into uids (edge
// keys) only for the candidates handed out. An index made on its own numbers
// the rows it is given itself.
//
// Matching asks it for the candidates of a pattern's property block and still
// compares every candidate against the whole block, so an index-served match
// returns what a scan returns; the index only has to name a superset of the
// rows that can match. It cannot answer for a block without an exactly
// comparable entry (floats compare with a tolerance, so neither a float nor a
// list holding one anywhere is indexed; maps, empty and opaque values are
// not either): the matcher then scans.
//
// Built per key, once look-ups come back to it. A graph's index holds
// postings only for the keys look-ups (`candidates`, `count`) have asked
// about more than once, or that a `count` asked about: a `candidates` whose
// exact entries all name keys never asked about before is answered from one
// walk over every row's map through the scan the store gave, and keeps
// nothing, for a key asked about once (a bounded creation on a fresh graph)
// does not pay for its postings. A later look-up builds the key: it walks
// every row's map, posts that key's entries, and only then marks the key as
// kept, so a look-up racing it waits for the whole build. From then on the
// hooks keep the key's postings up to date; until then they skip it. An index
// made on its own has no scan and keeps every key from the start.
//
// Keeping it right. The store calls the hooks below while it holds the row's
// shard write lock, around each change of a row's map: taking a new map over,
// overwriting, merging, removing. Every row holds a map of its own (an
// overwrite stores a copy, creation hands over fresh maps, the maps handed out
// are read, never written), so a stored map's content only changes through a
// merge into the row holding it and the hooks see every change.
// Entries of rows removed in between may linger; they only make a candidate
// that the comparison then rejects.
//
// Threads: any thread, hooks concurrently for different rows, look-ups
// concurrently with one another. The store must not change while a candidate
// set is taken and used, nor while a key is built (a match step runs with no
// writer, as every call holds the interpreter lock). A build takes the store's
// row locks for reading through the scan, after the key's own build lock,
// which no hook ever takes.
#pragma once

#include <absl/container/btree_set.h>
#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>
#include <absl/container/inlined_vector.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "graph/type_table.hpp"
#include "properties.hpp"
#include "utils/sharded_map.hpp"
#include "utils/uid.hpp"

namespace velmora::graph {

// Row is `Uid` (nodes) or `EdgeKey` (edges).
template <class Row>
class PropertyIndex {
 public:
  using Entries = std::span<const std::pair<std::string, Value>>;
  // A row's number: its type id (arrow type id for an edge) in a graph's index.
  using RowId = std::uint32_t;

  // A superset of the rows that may match one block. Read-only once made.
  class Candidates {
   public:
    bool contains(const Row& row) const {
      if (rows_.size() <= kFew) return std::find(rows_.begin(), rows_.end(), row) != rows_.end();
      return set_.contains(row);
    }
    const std::vector<Row>& rows() const { return rows_; }
    // The numbers of `rows()`, in their order: in a graph's index the type ids
    // a store reads the rows by, without looking their uids up again.
    const std::vector<RowId>& ids() const { return ids_; }

   private:
    friend class PropertyIndex;
    // Up to this many rows are searched in place: no set is made for them.
    static constexpr std::size_t kFew = 8;
    absl::flat_hash_set<Row, UidHash> set_;  // empty for kFew rows or fewer
    std::vector<Row> rows_;
    std::vector<RowId> ids_;
  };

  // Calls visit(rows) on runs that together hold every row of the store and
  // its map, maybe from several pool threads at once, each run under its
  // rows' read locks: no map of a run is written while visit reads it.
  using RowRef = std::pair<RowId, const PropertyMap*>;
  using RowVisit = std::function<void(std::span<const RowRef>)>;
  using RowScan = std::function<void(const RowVisit&)>;

  // An index that numbers the rows given to its hooks by value itself, and
  // keeps every key from the start.
  PropertyIndex() = default;
  // A graph's index: rows are named by ids of `types`, whose rows are never
  // removed, so an entry left by a removed row still names a uid. A key is
  // built from `scan` when a look-up first asks about it.
  PropertyIndex(std::shared_ptr<const TypeTable> types, RowScan scan)
      : types_(std::move(types)), scan_(std::move(scan)) {}
  PropertyIndex(const PropertyIndex&) = delete;
  PropertyIndex& operator=(const PropertyIndex&) = delete;

  // The row has just taken `map` over (no other holder writes it).
  void add(RowId row, const PropertyMap& map);
  // The row's map `old` is being replaced by `replacement`, the row's own.
  void overwrite(RowId row, const PropertyMap& old, const PropertyMap& replacement);
  // `entries` are about to be inserted into the row's map `stored`.
  void merge(RowId row, const PropertyMap& stored, Entries entries);
  // The row holding `stored` is about to be removed.
  void remove(RowId row, const PropertyMap& stored);

  // The same hooks naming a row by value: only for an index that numbers its
  // rows itself.
  void add(const Row& row, const PropertyMap& map) { add(own_id(row), map); }
  void overwrite(const Row& row, const PropertyMap& old, const PropertyMap& replacement) {
    overwrite(own_id(row), old, replacement);
  }
  void merge(const Row& row, const PropertyMap& stored, Entries entries) { merge(own_id(row), stored, entries); }
  void remove(const Row& row, const PropertyMap& stored) { remove(own_id(row), stored); }

  // The candidates of `block`, or none when the index cannot answer for it
  // or would name more than `limit` rows.
  std::optional<Candidates> candidates(const PropertyMap& block, std::size_t limit) const;
  // How many candidates `block` would have (the rows of its rarest exact
  // entry), or none when the index cannot answer for it.
  std::optional<std::size_t> count(const PropertyMap& block) const;

 private:
  // (key, exact value) as one text: the key's length, the key, the kind and
  // the value's bytes. None for a value that is not compared exactly.
  static std::optional<std::string> term(std::string_view key, const Value& value);
  struct KeyState;
  // One of a block's entries that compares exactly, with its term and its
  // key's state (null for a key that is kept, and in an index made on its
  // own, which keeps every key).
  struct Exact {
    std::string key;
    Value value;
    std::string term;
    KeyState* state;
  };
  using Exacts = absl::InlinedVector<Exact, 2>;
  // The exact entries of `block`, in the order of their keys.
  Exacts exact_entries(const PropertyMap& block) const;
  // The rarest of a block's exact entries (its place in `exact`) and its row
  // count, building the keys they ask about; none when there is none.
  std::optional<std::pair<std::size_t, std::size_t>> rarest(const Exacts& exact) const;

  // Whether the hooks keep `key` (an index made on its own keeps them all).
  bool kept(const std::string& key) const;
  // Builds `key` (whose state is `state`) from the scan unless it is kept
  // already; returns once it is.
  void build(const std::string& key, KeyState& state) const;
  // For a block whose exact entries (`exact`) all name keys no look-up asked
  // about before: the rows of its rarest exact entry, in order, from one scan, the
  // keys then marked as asked about. None otherwise.
  std::optional<std::vector<RowId>> first_look_up(const Exacts& exact) const;
  // Posts every row's entry under `key`, from the scan (the key's build lock
  // held).
  void fill(const std::string& key) const;

  void post(RowId row, std::string term) const;
  void unpost(RowId row, std::string term);
  void post_all(RowId row, const PropertyMap& map);
  void unpost_all(RowId row, const PropertyMap& map);

  RowId own_id(const Row& row);
  // The candidates that are the rows numbered `ids`.
  Candidates candidates_of(std::vector<RowId> ids) const;
  // The rows named by `ids`.
  std::vector<Row> rows_of(const std::vector<RowId>& ids) const;

  struct alignas(64) Shard {
    mutable std::shared_mutex mutex;
    // Ordered sets: rows are mostly posted in the order of their ids, and
    // then each posting only appends to its set's last block.
    absl::flat_hash_map<std::string, absl::btree_set<RowId>> postings;  // guarded by mutex
  };
  static constexpr std::size_t kShards = utils::kShardCount;
  static std::size_t shard_index(const std::string& term);
  Shard& shard_of(const std::string& term) const;
  // Posts `rows` (sorted) under `term`, in the term's shard, whose lock the
  // caller holds.
  void post_sorted(Shard& shard, const std::string& term, const std::vector<RowId>& rows) const;

  // A key some look-up has asked about. `kept` turns true once, after its
  // build has posted every row; the build runs under `mutex`.
  struct KeyState {
    std::mutex mutex;
    std::atomic<bool> kept{false};
    // A look-up has asked about the key: the next one builds it.
    std::atomic<bool> asked{false};
  };
  // The state of `key`, made on first use.
  KeyState& state_of(const std::string& key) const;

  // Postings are written by builds, which run inside const look-ups.
  mutable std::array<Shard, kShards> shards_;
  std::shared_ptr<const TypeTable> types_;  // null: rows numbered below
  RowScan scan_;                            // empty: every key kept
  mutable std::shared_mutex keys_mutex_;
  mutable absl::flat_hash_map<std::string, std::unique_ptr<KeyState>> keys_;  // guarded by keys_mutex_
  // The kept keys, for the hooks to ask without a lock: a build publishes a
  // new set holding one key more. Null while none is kept, and then the hooks
  // have nothing to do.
  using KeptKeys = absl::flat_hash_set<std::string>;
  mutable std::atomic<const KeptKeys*> kept_{nullptr};
  mutable std::vector<std::unique_ptr<const KeptKeys>> kept_sets_;  // guarded by keys_mutex_; all ever published
  mutable std::mutex own_mutex_;
  absl::flat_hash_map<Row, RowId, UidHash> own_ids_;  // guarded by own_mutex_
  std::vector<Row> own_rows_;                         // guarded by own_mutex_
};

extern template class PropertyIndex<Uid>;
extern template class PropertyIndex<EdgeKey>;

using NodePropertyIndex = PropertyIndex<Uid>;
using EdgePropertyIndex = PropertyIndex<EdgeKey>;

}  // namespace velmora::graph
