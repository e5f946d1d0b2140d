// The store's tables and its read interface: look-ups by uid and id, the
// walks over every node, and the one reader of node edge lists.
#include "graph/store.hpp"

#include <tbb/task_group.h>

#include <array>
#include <mutex>

#include "constants.hpp"

namespace velmora::graph {
namespace {

// Runs of at least this many nodes are read shard by shard.
constexpr std::size_t kBatchedRun = 2 * NodeTable::shard_count();

// The positions of `ids` grouped by the node table's shard of their id (a
// counting sort): shard s holds order[starts[s], starts[s + 1]). Positions
// whose id is `skip` are left out.
struct ShardOrder {
  std::array<std::uint32_t, NodeTable::shard_count() + 1> starts{};
  std::vector<std::uint32_t> order;
};
ShardOrder group_by_shard(std::span<const TypeId> ids, TypeId skip) {
  constexpr std::size_t kShards = NodeTable::shard_count();
  ShardOrder grouped;
  auto& starts = grouped.starts;
  for (const TypeId id : ids)
    if (id != skip) ++starts[NodeTable::shard_of(id) + 1];
  for (std::size_t s = 0; s < kShards; ++s) starts[s + 1] += starts[s];
  grouped.order.resize(starts[kShards]);
  std::array<std::uint32_t, kShards> next{};
  std::copy(starts.begin(), starts.end() - 1, next.begin());
  for (std::size_t i = 0; i < ids.size(); ++i)
    if (ids[i] != skip) grouped.order[next[NodeTable::shard_of(ids[i])]++] = static_cast<std::uint32_t>(i);
  return grouped;
}

}  // namespace

Graph::Graph() : Graph(std::vector<Constant>{}) {}

Graph::Graph(const std::vector<Constant>& list)
    : types_(std::make_shared<TypeTable>()),
      interner_(types_, nodes_),
      edges_(types_),
      constants_(std::make_shared<const ConstantTable>(list)),
      node_property_index_(types_,
                           [this](const NodePropertyIndex::RowVisit& visit) {
                             // A shard's rows in one run, under the shard's read lock.
                             nodes_.for_each_shard_parallel([&](const NodeTable::Table& table) {
                               std::vector<NodePropertyIndex::RowRef> rows;
                               rows.reserve(table.size());
                               for (const auto& [id, row] : table) rows.emplace_back(id, &row.properties);
                               visit(rows);
                             });
                           }),
      edge_property_index_(types_, [this](const EdgePropertyIndex::RowVisit& visit) {
        edges_.for_each_parallel([&](TypeId arrow) {
          edges_.with_read(arrow, [&](const PropertyMap& map) {
            const EdgePropertyIndex::RowRef row{arrow, &map};
            visit(std::span(&row, 1));
            return true;
          });
        });
      }) {}

Graph::~Graph() = default;

Uid Graph::insert_type(const typing::Type& type) { return types_->uid(interner_.store_type(type)); }

TypeId Graph::insert_type(const TypePtr& type, StoredTypes& stored) {
  return interner_.store_type(*type, &stored, &type);
}

Uid Graph::insert_term(const Term& term) { return types_->uid(interner_.store_term(term).first); }

bool Graph::has_node(const Uid& uid) const {
  const auto id = types_->find(uid);
  return id && nodes_.contains(*id);
}

bool Graph::has_term(const Uid& uid) const {
  const auto id = types_->find(uid);
  return id && !types_->term(*id).none();
}

std::optional<TypeId> Graph::edge_id(const EdgeKey& key) const {
  const auto id = types_->find(arrow_uid(key.first, key.second));
  if (!id || !edges_.contains(*id)) return std::nullopt;
  return id;
}

void Graph::has_nodes(std::span<const TypeId> ids, TypeId skip, char* found) const {
  if (ids.size() < kBatchedRun) {
    for (std::size_t i = 0; i < ids.size(); ++i)
      if (ids[i] != skip) found[i] = nodes_.contains(ids[i]);
    return;
  }
  const auto [starts, order] = group_by_shard(ids, skip);
  std::size_t shard = 0;
  nodes_.for_each_shard([&](const NodeTable::Table& table) {
    for (std::uint32_t k = starts[shard]; k != starts[shard + 1]; ++k) table.prefetch(ids[order[k]]);
    for (std::uint32_t k = starts[shard]; k != starts[shard + 1]; ++k) found[order[k]] = table.contains(ids[order[k]]);
    ++shard;
  });
}

void Graph::read_edge_lists(std::span<const TypeId> ids, bool leaving, TypeId skip, EdgeLists& out) const {
  const std::size_t n = ids.size();
  out.clear(n);
  if (n < kBatchedRun) {
    for (std::size_t i = 0; i < n; ++i) {
      out.first_[i] = static_cast<std::uint32_t>(out.ids_.size());
      if (ids[i] == skip) continue;
      nodes_.with_read(ids[i], [&](const NodeRow& row) {
        const auto side = row.edges.side(leaving);
        out.count_[i] = static_cast<std::uint32_t>(side.size());
        out.ids_.insert(out.ids_.end(), side.begin(), side.end());
        return true;
      });
    }
    return;
  }
  // Shard by shard: each shard's slots for the run are asked for at once,
  // then their lists' blocks, and the lists are copied in shard order; they
  // are put in the run's order afterwards, a copy that costs less than the
  // misses it lets overlap.
  const auto [starts, order] = group_by_shard(ids, skip);
  std::vector<const NodeRow*> rows(n, nullptr);
  std::vector<TypeId> gathered;
  gathered.reserve(4 * n);
  std::vector<std::uint32_t> at(n, 0);
  std::size_t shard = 0;
  nodes_.for_each_shard([&](const NodeTable::Table& table) {
    for (std::uint32_t k = starts[shard]; k != starts[shard + 1]; ++k) table.prefetch(ids[order[k]]);
    for (std::uint32_t k = starts[shard]; k != starts[shard + 1]; ++k) {
      const std::uint32_t i = order[k];
      const auto row = table.find(ids[i]);
      if (row == table.end()) continue;
      rows[i] = &row->second;
      const auto side = row->second.edges.side(leaving);
      if (!side.empty()) __builtin_prefetch(side.data());
    }
    for (std::uint32_t k = starts[shard]; k != starts[shard + 1]; ++k) {
      const std::uint32_t i = order[k];
      if (!rows[i]) continue;
      const auto side = rows[i]->edges.side(leaving);
      at[i] = static_cast<std::uint32_t>(gathered.size());
      out.count_[i] = static_cast<std::uint32_t>(side.size());
      gathered.insert(gathered.end(), side.begin(), side.end());
    }
    ++shard;
  });
  out.ids_.resize(gathered.size());
  std::size_t next = 0;
  for (std::size_t i = 0; i < n; ++i) {
    out.first_[i] = static_cast<std::uint32_t>(next);
    if (!out.found(i)) continue;
    std::copy_n(gathered.begin() + at[i], out.count_[i], out.ids_.begin() + next);
    next += out.count_[i];
  }
}

void Graph::prefetch_edge_lists(TypeId id) const {
  nodes_.with_read(id, [](const NodeRow& row) { return row.edges.prefetch(), true; });
}

std::vector<std::pair<Uid, TypeId>> Graph::node_uids_and_ids() const {
  std::mutex mutex;
  std::vector<std::pair<Uid, TypeId>> out;
  // Its own context: a walk started inside a cancelled group must still
  // collect every node.
  tbb::task_group_context own(tbb::task_group_context::isolated);
  nodes_.for_each_shard_parallel(
      [&](const NodeTable::Table& table) {
        std::vector<std::pair<Uid, TypeId>> part;
        part.reserve(table.size());
        for (const auto& entry : table) part.emplace_back(types_->uid(entry.first), entry.first);
        std::lock_guard lock(mutex);
        out.insert(out.end(), part.begin(), part.end());
      },
      own);
  return out;
}

std::unique_ptr<std::uint64_t[]> Graph::node_bits(TypeId limit) const {
  // The shards scatter neighbouring ids, so every word of a shared map would
  // take bits from every thread of the walk, its cache line passed from core
  // to core on each: each thread marks a map of its own, and the maps are
  // merged at the end.
  const std::size_t words = limit / 64 + 1;
  tbb::enumerable_thread_specific<std::unique_ptr<std::uint64_t[]>> parts;
  // Its own context: a walk started inside a cancelled group must still read
  // every node.
  tbb::task_group_context own(tbb::task_group_context::isolated);
  nodes_.for_each_shard_parallel(
      [&](const NodeTable::Table& table) {
        std::unique_ptr<std::uint64_t[]>& part = parts.local();
        if (!part) part = std::make_unique<std::uint64_t[]>(words);
        std::uint64_t* bits = part.get();
        for (const auto& entry : table) {
          const TypeId id = entry.first;
          if (id >= limit) continue;
          bits[id / 64] |= std::uint64_t{1} << (id % 64);
        }
      },
      own);
  std::unique_ptr<std::uint64_t[]> out;
  for (auto& part : parts) {
    if (!part) continue;
    if (!out) {
      out = std::move(part);
      continue;
    }
    for (std::size_t w = 0; w < words; ++w) out[w] |= part[w];
  }
  if (!out) out = std::make_unique<std::uint64_t[]>(words);
  return out;
}

}  // namespace velmora::graph
