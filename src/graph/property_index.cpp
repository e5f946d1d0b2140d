#include "graph/property_index.hpp"

#include <absl/hash/hash.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "utils/panic.hpp"

namespace velmora::graph {

template <class Row>
std::optional<std::string> PropertyIndex<Row>::term(const std::string& key, const Value& value) {
  // `compare_values` never equates values of different kinds, so the kind is
  // part of the term: the integer 1, true and "1" are three terms.
  char kind;
  std::string_view bytes;
  char number[sizeof(std::int64_t)];
  switch (value.kind()) {
    case Value::Kind::Int: {
      kind = 'i';
      const std::int64_t n = *value.get_if<std::int64_t>();
      std::memcpy(number, &n, sizeof n);
      bytes = std::string_view(number, sizeof number);
      break;
    }
    case Value::Kind::Bool: kind = *value.get_if<bool>() ? 'T' : 'F'; break;
    case Value::Kind::String:
      kind = 's';
      bytes = *value.get_if<std::string>();
      break;
    default: return std::nullopt;
  }
  // The key's length in 7-bit groups, low first: one byte for most keys, so
  // that the term of a short key and a number fits a string's own buffer.
  char length[10];
  std::size_t used = 0;
  for (std::uint64_t n = key.size();; n >>= 7) {
    length[used++] = static_cast<char>((n & 0x7F) | (n >= 0x80 ? 0x80 : 0));
    if (n < 0x80) break;
  }
  std::string out;
  out.reserve(used + key.size() + 1 + bytes.size());
  out.append(length, used);
  out += key;
  out += kind;
  out += bytes;
  return out;
}

template <class Row>
typename PropertyIndex<Row>::Shard& PropertyIndex<Row>::shard_of(const std::string& term) {
  return shards_[absl::Hash<std::string>{}(term) % kShards];
}

template <class Row>
const typename PropertyIndex<Row>::Shard& PropertyIndex<Row>::shard_of(const std::string& term) const {
  return shards_[absl::Hash<std::string>{}(term) % kShards];
}

template <class Row>
void PropertyIndex<Row>::post(RowId row, std::string term) {
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
  for (const auto& [key, value] : map.iter())
    if (auto t = term(key, value)) post(row, std::move(*t));
}

template <class Row>
void PropertyIndex<Row>::unpost_all(RowId row, const PropertyMap& map) {
  for (const auto& [key, value] : map.iter())
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
  for (const auto& [key, value] : entries) {
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
auto PropertyIndex<Row>::rarest(const PropertyMap& block) const -> std::optional<std::pair<std::string, std::size_t>> {
  // Every row that matches the block carries each of its exact entries, so the
  // smallest of their row sets is enough.
  std::optional<std::pair<std::string, std::size_t>> chosen;
  for (const auto& [key, value] : block.iter()) {
    auto t = term(key, value);
    if (!t) continue;
    const Shard& s = shard_of(*t);
    std::shared_lock lock(s.mutex);
    const auto it = s.postings.find(*t);
    const std::size_t size = it == s.postings.end() ? 0 : it->second.size();
    if (chosen && size >= chosen->second) continue;
    chosen.emplace(std::move(*t), size);
  }
  return chosen;
}

template <class Row>
std::optional<std::size_t> PropertyIndex<Row>::count(const PropertyMap& block) const {
  const auto chosen = rarest(block);
  if (!chosen) return std::nullopt;
  return chosen->second;
}

template <class Row>
auto PropertyIndex<Row>::candidates(const PropertyMap& block, std::size_t limit) const -> std::optional<Candidates> {
  const auto chosen = rarest(block);
  if (!chosen || chosen->second > limit) return std::nullopt;
  std::vector<RowId> ids;
  ids.reserve(chosen->second);
  {
    const Shard& s = shard_of(chosen->first);
    std::shared_lock lock(s.mutex);
    const auto it = s.postings.find(chosen->first);
    if (it != s.postings.end()) ids.assign(it->second.begin(), it->second.end());
  }
  Candidates out;
  out.rows_ = rows_of(ids);
  out.set_.reserve(out.rows_.size());
  out.set_.insert(out.rows_.begin(), out.rows_.end());
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
