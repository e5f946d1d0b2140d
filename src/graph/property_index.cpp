#include "graph/property_index.hpp"

#include <absl/hash/hash.h>
#include <absl/strings/string_view.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "cmp.hpp"
#include "utils/panic.hpp"
#include "utils/tsan.hpp"

namespace velmora::graph {

namespace {

// The key's length, or a string's, in 7-bit groups, low first: one byte for
// most, so that the term of a short key and a number fits a string's own
// buffer.
void append_length(std::string& out, std::uint64_t n) {
  for (;; n >>= 7) {
    out += static_cast<char>((n & 0x7F) | (n >= 0x80 ? 0x80 : 0));
    if (n < 0x80) break;
  }
}

// Appends a form of `value` that no other exactly compared value shares and
// that tells where it ends, so that a list's items run together without
// mixing; false for a value that is not compared exactly. `compare_values`
// never equates values of different kinds, so the kind comes first: the
// integer 1, true and "1" are three forms.
bool append_exact(std::string& out, const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Int: {
      out += 'i';
      const std::int64_t n = *value.get_if<std::int64_t>();
      char number[sizeof n];
      std::memcpy(number, &n, sizeof n);
      out.append(number, sizeof n);
      return true;
    }
    case Value::Kind::Bool: out += *value.get_if<bool>() ? 'T' : 'F'; return true;
    case Value::Kind::String: {
      const std::string& text = *value.get_if<std::string>();
      out += 's';
      append_length(out, text.size());
      out += text;
      return true;
    }
    case Value::Kind::Array: {
      // Lists are equal item by item; one float anywhere inside compares
      // with a tolerance, and then the whole list stays out.
      const auto& items = *value.get_if<Value::Array>();
      out += 'l';
      append_length(out, items.size());
      for (const Value& item : items)
        if (!append_exact(out, item)) return false;
      return true;
    }
    default: return false;
  }
}

}  // namespace

template <class Row>
std::optional<std::string> PropertyIndex<Row>::term(std::string_view key, const Value& value) {
  std::string out;
  out.reserve(key.size() + 12);
  append_length(out, key.size());
  out += key;
  if (!append_exact(out, value)) return std::nullopt;
  return out;
}

template <class Row>
std::size_t PropertyIndex<Row>::shard_index(const std::string& term) {
  return absl::Hash<std::string>{}(term) % kShards;
}

template <class Row>
typename PropertyIndex<Row>::Shard& PropertyIndex<Row>::shard_of(const std::string& term) const {
  return shards_[shard_index(term)];
}

template <class Row>
bool PropertyIndex<Row>::kept(const std::string& key) const {
  if (!scan_) return true;
  const KeptKeys* kept = kept_.load(std::memory_order_acquire);
  return kept && kept->contains(key);
}

template <class Row>
auto PropertyIndex<Row>::state_of(const std::string& key) const -> KeyState& {
  {
    std::shared_lock lock(keys_mutex_);
    const auto it = keys_.find(key);
    if (it != keys_.end()) return *it->second;
  }
  std::unique_lock lock(keys_mutex_);
  auto& slot = keys_[key];
  if (!slot) slot = std::make_unique<KeyState>();
  return *slot;
}

template <class Row>
void PropertyIndex<Row>::build(const std::string& key, KeyState& state) const {
  if (state.kept.load(std::memory_order_acquire)) return;
  // Look-ups racing for one key wait here for the one that builds it: the key
  // is marked kept only once every row is posted.
  std::lock_guard guard(state.mutex);
  if (state.kept.load(std::memory_order_acquire)) return;
  // Isolated: while it holds the key's lock, this thread must not pick up a
  // task that waits for it.
  tbb::this_task_arena::isolate([&] { fill(key); });
  {
    std::unique_lock lock(keys_mutex_);
    const KeptKeys* before = kept_.load(std::memory_order_relaxed);
    auto now = std::make_unique<KeptKeys>(before ? *before : KeptKeys());
    now->insert(key);
    kept_.store(now.get(), std::memory_order_release);
    kept_sets_.push_back(std::move(now));
  }
  state.kept.store(true, std::memory_order_release);
}

namespace {

// One thread's rows of one key, grouped by the key's value. A group's term is
// made when the thread first meets its value, not once a row, and the group
// is filed under the term's index shard.
class ByValue {
 public:
  using RowId = std::uint32_t;
  using ShardOf = std::size_t (*)(const std::string& term);
  struct Group {
    std::string term;
    std::vector<RowId> rows;
  };

  // `prefix`: the key's part of every term.
  ByValue(std::string prefix, ShardOf shard_of) : prefix_(std::move(prefix)), shard_of_(shard_of) {}

  void add(RowId row, const PropertyMap::Peek& peek) {
    switch (peek.kind) {
      case Value::Kind::Int: {
        const auto [it, fresh] = numbers_.try_emplace(peek.number, 0);
        if (fresh) it->second = open(term_of(Value(peek.number)));
        groups_[it->second].rows.push_back(row);
        return;
      }
      case Value::Kind::Bool: {
        std::uint32_t& group = truths_[peek.number != 0];
        if (group == kNone) group = open(term_of(Value(peek.number != 0)));
        groups_[group].rows.push_back(row);
        return;
      }
      case Value::Kind::String: {
        auto it = texts_.find(absl::string_view(peek.text.data(), peek.text.size()));
        if (it == texts_.end()) it = texts_.try_emplace(std::string(peek.text), open(text_term(peek.text))).first;
        groups_[it->second].rows.push_back(row);
        return;
      }
      case Value::Kind::Array: {
        // The term is made in a buffer the thread keeps: most lists' terms
        // are too long for a string's own buffer.
        scratch_.assign(prefix_);
        if (!append_exact(scratch_, *peek.boxed)) return;
        auto it = lists_.find(scratch_);
        if (it == lists_.end()) it = lists_.try_emplace(scratch_, open(scratch_)).first;
        groups_[it->second].rows.push_back(row);
        return;
      }
      default: return;  // not compared exactly
    }
  }

  // The groups filed under `shard`, each by its number.
  const std::vector<std::uint32_t>& in_shard(std::size_t shard) const { return by_shard_[shard]; }
  Group& group(std::uint32_t number) { return groups_[number]; }

 private:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  std::string term_of(const Value& value) const {
    std::string term = prefix_;
    append_exact(term, value);
    return term;
  }
  std::string text_term(std::string_view text) const {
    std::string term;
    term.reserve(prefix_.size() + text.size() + 4);
    term += prefix_;
    term += 's';
    append_length(term, text.size());
    term += text;
    return term;
  }
  std::uint32_t open(std::string term) {
    const auto number = static_cast<std::uint32_t>(groups_.size());
    by_shard_[shard_of_(term)].push_back(number);
    groups_.push_back(Group{std::move(term), {}});
    return number;
  }

  std::string prefix_;
  ShardOf shard_of_;
  std::vector<Group> groups_;
  std::array<std::vector<std::uint32_t>, utils::kShardCount> by_shard_;
  absl::flat_hash_map<std::int64_t, std::uint32_t> numbers_;
  std::array<std::uint32_t, 2> truths_{kNone, kNone};
  absl::flat_hash_map<std::string, std::uint32_t> texts_;
  absl::flat_hash_map<std::string, std::uint32_t> lists_;  // by term
  std::string scratch_;
};

// fn(row, map) for each of `rows` in turn. A walk over every map misses the
// cache twice a row (the map's body, then its entries): the loads of the rows
// ahead are started early, so that the misses overlap.
template <class RowRef, class Fn>
void read_ahead(std::span<const RowRef> rows, const Fn& fn) {
  constexpr std::size_t kBodyAhead = 16;
  constexpr std::size_t kEntriesAhead = 8;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i + kBodyAhead < rows.size()) rows[i + kBodyAhead].second->prefetch_body();
    if (i + kEntriesAhead < rows.size()) rows[i + kEntriesAhead].second->prefetch_entries();
    fn(rows[i].first, *rows[i].second);
  }
}

// Sorts row numbers a byte at a time, low byte first. The rows come in the
// order of the store's hash tables, and a comparison sort of such a list
// mispredicts about every other branch.
void sort_rows(std::vector<std::uint32_t>& rows, std::vector<std::uint32_t>& scratch) {
  constexpr std::size_t kCompared = 64;  // below this, comparisons cost less
  if (rows.size() < kCompared) {
    std::sort(rows.begin(), rows.end());
    return;
  }
  std::uint32_t bits = 0;
  for (const std::uint32_t row : rows) bits |= row;
  scratch.resize(rows.size());
  for (unsigned shift = 0; shift < 32 && (bits >> shift) != 0; shift += 8) {
    std::array<std::uint32_t, 257> starts{};
    for (const std::uint32_t row : rows) ++starts[((row >> shift) & 0xFF) + 1];
    for (std::size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
    for (const std::uint32_t row : rows) scratch[starts[(row >> shift) & 0xFF]++] = row;
    rows.swap(scratch);
  }
}

}  // namespace

template <class Row>
void PropertyIndex<Row>::fill(const std::string& key) const {
  // Each thread groups its rows by value, and then one task per shard writes
  // that shard's postings: posting from the scan would have every thread
  // queue on the shard of a value most rows share, and a set filled in row
  // order only ever appends.
  static_assert(kShards == utils::kShardCount);
  const std::uint32_t id = PropertyMap::key_id(key);
  std::string prefix;
  append_length(prefix, key.size());
  prefix += key;
  tbb::enumerable_thread_specific<ByValue> parts(prefix, &PropertyIndex::shard_index);
  scan_([&](std::span<const RowRef> rows) {
    ByValue& mine = parts.local();
    read_ahead(rows, [&](RowId row, const PropertyMap& map) {
      if (const auto peek = map.peek(id)) mine.add(row, *peek);
    });
  });
  utils::tsan::Join posted;
  tbb::parallel_for(std::size_t{0}, kShards,
                    utils::tsan::body(
                        [&](std::size_t i) {
                          absl::flat_hash_map<std::string, std::vector<RowId>> merged;
                          for (ByValue& part : parts) {
                            for (const std::uint32_t number : part.in_shard(i)) {
                              auto& [t, rows] = part.group(number);
                              auto [at, fresh] = merged.try_emplace(std::move(t));
                              if (fresh)
                                at->second = std::move(rows);
                              else
                                at->second.insert(at->second.end(), rows.begin(), rows.end());
                            }
                          }
                          std::vector<RowId> scratch;
                          std::unique_lock lock(shards_[i].mutex);
                          for (auto& [t, rows] : merged) {
                            sort_rows(rows, scratch);
                            post_sorted(shards_[i], t, rows);
                          }
                        },
                        posted));
  posted.joined();
}

template <class Row>
void PropertyIndex<Row>::post_sorted(Shard& shard, const std::string& term, const std::vector<RowId>& rows) const {
  auto& set = shard.postings[term];
  for (const RowId row : rows) set.insert(set.end(), row);
}

template <class Row>
void PropertyIndex<Row>::post(RowId row, std::string term) const {
  Shard& s = shard_of(term);
  std::unique_lock lock(s.mutex);
  s.postings[std::move(term)].insert(row);
}

template <class Row>
void PropertyIndex<Row>::unpost(RowId row, std::string term) {
  Shard& s = shard_of(term);
  std::unique_lock lock(s.mutex);
  const auto it = s.postings.find(term);
  if (it == s.postings.end()) return;
  it->second.erase(row);
  if (it->second.empty()) s.postings.erase(it);
}

template <class Row>
void PropertyIndex<Row>::post_all(RowId row, const PropertyMap& map) {
  if (scan_ && !kept_.load(std::memory_order_acquire)) return;
  for (const auto& [key, value] : map.iter())
    if (kept(key))
      if (auto t = term(key, value)) post(row, std::move(*t));
}

template <class Row>
void PropertyIndex<Row>::unpost_all(RowId row, const PropertyMap& map) {
  if (scan_ && !kept_.load(std::memory_order_acquire)) return;
  for (const auto& [key, value] : map.iter())
    if (kept(key))
      if (auto t = term(key, value)) unpost(row, std::move(*t));
}

template <class Row>
void PropertyIndex<Row>::add(RowId row, const PropertyMap& map) {
  post_all(row, map);
}

template <class Row>
void PropertyIndex<Row>::overwrite(RowId row, const PropertyMap& old, const PropertyMap& replacement) {
  unpost_all(row, old);
  post_all(row, replacement);
}

template <class Row>
void PropertyIndex<Row>::merge(RowId row, const PropertyMap& stored, Entries entries) {
  if (scan_ && !kept_.load(std::memory_order_acquire)) return;
  for (const auto& [key, value] : entries) {
    if (!kept(key)) continue;
    auto now = term(key, value);
    if (const auto old = stored.get(key)) {
      auto before = term(key, *old);
      if (before && before == now) continue;  // a repeated set leaves the entry as it is
      if (before) unpost(row, std::move(*before));
    }
    if (now) post(row, std::move(*now));
  }
}

template <class Row>
void PropertyIndex<Row>::remove(RowId row, const PropertyMap& stored) {
  unpost_all(row, stored);
}

template <class Row>
auto PropertyIndex<Row>::exact_entries(const PropertyMap& block) const -> Exacts {
  Exacts out;
  for (auto& [key, value] : block.iter()) {
    auto t = term(key, value);
    if (!t) continue;
    // A kept key is found in the published set, without a lock.
    KeyState* const state = kept(key) ? nullptr : &state_of(key);
    out.push_back(Exact{std::move(key), std::move(value), std::move(*t), state});
  }
  return out;
}

template <class Row>
auto PropertyIndex<Row>::rarest(const Exacts& exact) const -> std::optional<std::pair<std::size_t, std::size_t>> {
  // Every row that matches the block carries each of its exact entries, so the
  // smallest of their row sets is enough.
  std::optional<std::pair<std::size_t, std::size_t>> chosen;
  for (std::size_t i = 0; i < exact.size(); ++i) {
    if (exact[i].state) build(exact[i].key, *exact[i].state);
    const Shard& s = shard_of(exact[i].term);
    std::shared_lock lock(s.mutex);
    const auto it = s.postings.find(exact[i].term);
    const std::size_t size = it == s.postings.end() ? 0 : it->second.size();
    if (chosen && size >= chosen->second) continue;
    chosen.emplace(i, size);
  }
  return chosen;
}

template <class Row>
std::optional<std::size_t> PropertyIndex<Row>::count(const PropertyMap& block) const {
  const auto chosen = rarest(exact_entries(block));
  if (!chosen) return std::nullopt;
  return chosen->second;
}

namespace {

// An exact entry a scan looks for: the key's number and the value.
struct Wanted {
  std::uint32_t key;
  Value value;

  // The wanted value is exact, so the read always carries what to compare.
  bool accepts(const PropertyMap::Peek& peek) const { return compare_in_place(value, peek).value_or(false); }
};

}  // namespace

template <class Row>
auto PropertyIndex<Row>::first_look_up(const Exacts& exact) const -> std::optional<std::vector<RowId>> {
  // Only when every exact entry's key is asked about for the first time: a
  // block with a key some look-up asked about before takes the index, and
  // builds the keys it lacks.
  std::vector<Wanted> wanted;
  std::vector<KeyState*> states;
  for (const Exact& entry : exact) {
    if (!entry.state) return std::nullopt;  // kept
    KeyState& state = *entry.state;
    if (state.kept.load(std::memory_order_acquire) || state.asked.load(std::memory_order_acquire)) return std::nullopt;
    states.push_back(&state);
    wanted.push_back(Wanted{PropertyMap::key_id(entry.key), entry.value});
  }
  if (wanted.empty()) return std::nullopt;
  // Look-ups racing for one key: one scans, the others build.
  bool first = true;
  for (KeyState* state : states) first = !state->asked.exchange(true, std::memory_order_acq_rel) && first;
  if (!first) return std::nullopt;
  // The rows of each entry: the answer is the rarest entry's, the rows the
  // postings would name, so that the matcher compares the same candidates.
  using PerEntry = std::vector<std::vector<RowId>>;
  tbb::enumerable_thread_specific<PerEntry> parts(wanted.size());
  scan_([&](std::span<const RowRef> rows) {
    PerEntry& mine = parts.local();
    read_ahead(rows, [&](RowId row, const PropertyMap& map) {
      for (std::size_t w = 0; w < wanted.size(); ++w) {
        const auto peek = map.peek(wanted[w].key);
        if (peek && wanted[w].accepts(*peek)) mine[w].push_back(row);
      }
    });
  });
  std::size_t rarest = 0;
  std::vector<std::size_t> sizes(wanted.size(), 0);
  for (const PerEntry& part : parts)
    for (std::size_t w = 0; w < wanted.size(); ++w) sizes[w] += part[w].size();
  for (std::size_t w = 1; w < wanted.size(); ++w)
    if (sizes[w] < sizes[rarest]) rarest = w;
  std::vector<RowId> out;
  out.reserve(sizes[rarest]);
  for (const PerEntry& part : parts) out.insert(out.end(), part[rarest].begin(), part[rarest].end());
  std::vector<RowId> scratch;
  sort_rows(out, scratch);
  return out;
}

template <class Row>
auto PropertyIndex<Row>::candidates(const PropertyMap& block, std::size_t limit) const -> std::optional<Candidates> {
  const auto exact = exact_entries(block);
  if (scan_) {
    if (auto found = first_look_up(exact)) {
      if (found->size() > limit) return std::nullopt;
      return candidates_of(std::move(*found));
    }
  }
  const auto chosen = rarest(exact);
  if (!chosen || chosen->second > limit) return std::nullopt;
  std::vector<RowId> ids;
  ids.reserve(chosen->second);
  {
    const std::string& term = exact[chosen->first].term;
    const Shard& s = shard_of(term);
    std::shared_lock lock(s.mutex);
    const auto it = s.postings.find(term);
    if (it != s.postings.end()) ids.assign(it->second.begin(), it->second.end());
  }
  return candidates_of(std::move(ids));
}

template <class Row>
auto PropertyIndex<Row>::candidates_of(std::vector<RowId> ids) const -> Candidates {
  Candidates out;
  out.rows_ = rows_of(ids);
  out.ids_ = std::move(ids);
  if (out.rows_.size() > Candidates::kFew) {
    out.set_.reserve(out.rows_.size());
    out.set_.insert(out.rows_.begin(), out.rows_.end());
  }
  return out;
}

template <class Row>
auto PropertyIndex<Row>::own_id(const Row& row) -> RowId {
  if (types_) panic("property index: a graph's index names its rows by id");
  std::lock_guard lock(own_mutex_);
  const auto [it, added] = own_ids_.try_emplace(row, static_cast<RowId>(own_rows_.size()));
  if (added) own_rows_.push_back(row);
  return it->second;
}

template <class Row>
std::vector<Row> PropertyIndex<Row>::rows_of(const std::vector<RowId>& ids) const {
  std::vector<Row> rows;
  rows.reserve(ids.size());
  if (!types_) {
    std::lock_guard lock(own_mutex_);
    for (const RowId id : ids) rows.push_back(own_rows_[id]);
    return rows;
  }
  for (const RowId id : ids) {
    if constexpr (std::is_same_v<Row, EdgeKey>) {
      rows.emplace_back(types_->uid(types_->left(id)), types_->uid(types_->right(id)));
    } else {
      rows.push_back(types_->uid(id));
    }
  }
  return rows;
}

template class PropertyIndex<Uid>;
template class PropertyIndex<EdgeKey>;

}  // namespace velmora::graph
