// Edge-pattern matching: extending a match set by one edge from the node each
// match reached last, and checking one edge against an edge pattern.
#include <absl/container/inlined_vector.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "graph/matches/matching.hpp"
#include "utils/panic.hpp"

namespace velmora::graph::matches {
namespace {

using patterns::Direction;
using patterns::EdgePattern;

constexpr const char* kAnyDirection = "not yet implemented: any direction not supported yet";

// The edge whose arrow type is `arrow` against `pattern`, the direction
// already checked; `key` is its key. The edge must still be stored.
Result<std::optional<MatchPtr>> check_edge_row(const Graph& graph, TypeId arrow, const EdgeKey& key,
                                               const EdgePattern& pattern, const PropertyMap* block, MatchPtr m,
                                               const EdgePropertyIndex::Candidates* filter, bool share = false) {
  if (!graph.edges->contains(arrow))
    return fail(errors::IndexCorruption{"missing type for edge in edge_to_type_index", "check edge matches"});
  const bool schemas = pattern.type_schema() || pattern.term_schema();
  if (!schemas && !block) return share ? std::move(m) : Match::create(std::move(m));
  const Uid& type = graph.types->uid(arrow);

  // Schemas may capture into the frame; without them a caller that binds
  // nothing can keep the input frame.
  MatchPtr frame = share && !schemas ? std::move(m) : Match::create(std::move(m));
  if (const auto& schema = pattern.type_schema()) {
    auto checked =
        VM_TRY_CTX(graph.check_type_matches(type, schema->pattern(), std::move(frame)), "check edge matches");
    if (!checked) return std::nullopt;
    frame = std::move(*checked);
  }
  if (const auto& schema = pattern.term_schema()) {
    auto checked =
        VM_TRY_CTX(graph.check_term_matches(type, schema->pattern(), std::move(frame)), "check edge matches");
    if (!checked) return std::nullopt;
    frame = std::move(*checked);
  }
  if (block) {
    // The edge's row stays read-locked while its map is compared.
    auto compared = graph.edges->with_read(arrow, [&](const PropertyMap& stored) -> Result<bool> {
      if (filter && !filter->contains(key)) return false;
      return properties_match(*block, stored);
    });
    if (!compared)
      return std::unexpected(
          Report(errors::EdgeNotFound{key, "check edge matches properties"}).attach("check edge matches"));
    if (!VM_TRY_CTX(std::move(*compared), "check edge matches")) return std::nullopt;
  }
  return frame;
}

const Uid& far_end(const EdgeKey& key, Direction direction) {
  return direction == Direction::Backward ? key.first : key.second;
}

// A node's edge ids on one side, copied under its row's read lock so that the
// walk runs unlocked; most nodes have few edges, kept without a heap block.
using EdgeIds = absl::InlinedVector<TypeId, 16>;

bool copy_edge_ids(const Graph& graph, TypeId node, bool leaving, EdgeIds& out) {
  return graph.nodes
      ->with_read(node,
                  [&](const NodeRow& row) {
                    const auto side = row.edges.side(leaving);
                    out.assign(side.begin(), side.end());
                    return true;
                  })
      .has_value();
}

// The count of an entry whose node has no row.
constexpr std::uint32_t kNoList = 0xFFFFFFFFu;

// The lists of a long run's nodes, copied shard by shard under one read
// lock a shard: near[i]'s list becomes lists[first[i], first[i] + count[i]).
// The entries of a node without a row are left as they are. Each shard's
// slots for the run are asked for all at once, then their lists' blocks.
template <class Ids, class Offsets, class Lists>
void copy_lists_by_shard(const Graph& graph, const Ids& near, bool forward, Offsets& first, Offsets& count,
                         Lists& lists) {
  const std::size_t n = near.size();
  const auto [starts, order] = detail::group_by_shard(n, [&](std::size_t i) { return near[i]; });
  std::vector<const NodeRow*> rows(n, nullptr);
  std::size_t shard = 0;
  graph.nodes->for_each_shard([&](const NodeTable::Table& table) {
    for (std::uint32_t k = starts[shard]; k != starts[shard + 1]; ++k) table.prefetch(near[order[k]]);
    for (std::uint32_t k = starts[shard]; k != starts[shard + 1]; ++k) {
      const std::uint32_t i = order[k];
      const auto row = table.find(near[i]);
      if (row == table.end()) continue;
      rows[i] = &row->second;
      const auto side = row->second.edges.side(forward);
      if (!side.empty()) __builtin_prefetch(side.data());
    }
    for (std::uint32_t k = starts[shard]; k != starts[shard + 1]; ++k) {
      const std::uint32_t i = order[k];
      if (!rows[i]) continue;
      const auto side = rows[i]->edges.side(forward);
      first[i] = static_cast<std::uint32_t>(lists.size());
      count[i] = static_cast<std::uint32_t>(side.size());
      lists.insert(lists.end(), side.begin(), side.end());
    }
    ++shard;
  });
}

}  // namespace

Result<MatchSet> match_edge_pattern(const Graph& graph, const EdgePattern& pattern, MatchSet matches,
                                    NodeUidSetPtr subset) {
  return detail::match_edge_pattern(graph, pattern, std::move(matches), std::move(subset), false);
}

Result<MatchSet> detail::match_edge_pattern(const Graph& graph, const EdgePattern& pattern, MatchSet matches,
                                            NodeUidSetPtr subset, bool share_frames) {
  detail::MatchSink sink;
  // `far` is the far end's id when known.
  using Writer = detail::MatchSink::Writer;
  const auto store = [&](Writer& out, const EdgeKey& key, MatchPtr frame) {
    out.add(MatchEntry{far_end(key, pattern.direction()), std::move(frame)});
  };
  const auto& name = pattern.variable();
  detail::BlockCopies block(pattern.properties());
  // The index's candidates for the block: every other edge fails it without a
  // look at its map. Only taken while they are few for the edges walked.
  std::optional<EdgePropertyIndex::Candidates> indexed;
  if (const auto& properties = pattern.properties())
    indexed = graph.edge_property_index->candidates(*properties, 16 * matches->size() + 1024);
  const EdgePropertyIndex::Candidates* filter = indexed ? &*indexed : nullptr;

  const Direction direction = pattern.direction();
  const bool forward = direction == Direction::Forward;
  const auto far_of = [&](TypeId arrow) { return forward ? graph.types->right(arrow) : graph.types->left(arrow); };
  // One edge of the node `entry` reached, `far` its far end's id.
  const auto visit = [&](Writer& out, const MatchEntry& entry, TypeId arrow, TypeId far) -> Status {
    // The near end is the node walked from, whose uid the entry holds: of
    // the edge's rows only the arrow's and the far end's are read.
    const Uid& far_uid = graph.types->uid(far);
    const EdgeKey key = forward ? EdgeKey{entry.prev_uid, far_uid} : EdgeKey{far_uid, entry.prev_uid};
    if (subset && !(subset->contains(key.first) && subset->contains(key.second))) return {};
    auto checked = VM_TRY_CTX(
        check_edge_row(graph, arrow, key, pattern, block.local(), entry.match, filter, share_frames && !name),
        "graph - match edge pattern");
    if (!checked) return {};
    // The frame is this key's own, so no other task binds in it.
    // The arrow's sides are the key's ends: the binding keeps the store's uids.
    if (name)
      VM_TRY_CTX((*checked)->insert(*name, MatchElement::stored_edge(graph.types->uid(graph.types->left(arrow)),
                                                                     graph.types->uid(graph.types->right(arrow)))),
                 "graph - match edge pattern");
    out.add(MatchEntry{far_uid, std::move(*checked), far});
    return {};
  };
  const auto no_row = [] {
    return fail(errors::IndexCorruption{
        "prev_uid should be pointing at a valid node, and it dos not have an entry in the StartToEdgeIndex",
        "graph - match edge pattern"});
  };

  const auto extend = [&](Writer& out, const MatchEntry& entry) -> Status {
    if (name) {
      if (auto element = entry.match->get(*name)) {
        // An edge bound before is only checked, whether or not it is in the subset.
        const EdgeKey key = VM_TRY_CTX(element->as_edge(*name), "graph - match edge pattern");
        auto checked = VM_TRY_CTX(
            detail::check_edge_matches(graph, entry.prev_uid, key, pattern, block.local(), entry.match, filter),
            "graph - match edge pattern");
        if (checked) store(out, key, std::move(*checked));
        return {};
      }
    }

    if (direction == Direction::Any) panic(kAnyDirection);
    // A copy of the node's list, so its row is unlocked before the walk.
    EdgeIds arrows;
    std::optional<TypeId> near = entry.prev_id;
    if (entry.prev_id == MatchEntry::kNoId) near = graph.type_id(entry.prev_uid);
    if (!near || !copy_edge_ids(graph, *near, forward, arrows)) return no_row();

    const std::span<const TypeId> walked(arrows.data(), arrows.size());
    // Only a very long edge list is worth the pool.
    if (walked.size() > kInlineLightItems)
      return try_for_each_light(walked, [&](TypeId arrow) {
        Writer mine = sink.writer();  // the pool's threads each add to their own part
        return visit(mine, entry, arrow, far_of(arrow));
      });
    // The rows lie scattered over the table: every arrow's row is asked for
    // at once, then every far end's, so their reads overlap instead of
    // following one another.
    for (TypeId arrow : walked) __builtin_prefetch(&graph.types->uid(arrow));
    EdgeIds fars;
    for (TypeId arrow : walked) {
      fars.push_back(far_of(arrow));
      __builtin_prefetch(&graph.types->uid(fars.back()));
    }
    for (std::size_t i = 0; i < walked.size(); ++i) VM_TRY(visit(out, entry, walked[i], fars[i]));
    return {};
  };

  // A long run of matches whose edge is not named has its nodes' lists
  // copied shard by shard (one lock a shard for the run), and its edges'
  // rows asked for a few edges ahead of their turn, across the run's nodes.
  const auto extend_run = [&](Writer& out, MatchSetMap::Table run) -> Status {
    if (direction == Direction::Any) panic(kAnyDirection);
    const std::size_t n = run.size();
    // Each entry's list: lists[first[i], first[i] + count[i]); kNoList for a
    // node without a row.
    std::vector<std::uint32_t> first(n, 0), count(n, kNoList);
    std::vector<TypeId> near(n, MatchEntry::kNoId);
    for (std::size_t i = 0; i < n; ++i) {
      const MatchEntry& entry = run[i].second;
      std::optional<TypeId> id = entry.prev_id;
      if (entry.prev_id == MatchEntry::kNoId) id = graph.type_id(entry.prev_uid);
      if (id) near[i] = *id;
    }
    std::vector<TypeId> lists;
    lists.reserve(4 * n);
    copy_lists_by_shard(graph, near, forward, first, count, lists);

    // The edges in the run's order, each with its far end once known.
    std::vector<std::pair<std::uint32_t, TypeId>> walk;  // (entry, arrow)
    walk.reserve(lists.size());
    for (std::size_t i = 0; i < n; ++i) {
      if (count[i] == kNoList || count[i] > kInlineLightItems) continue;
      for (std::uint32_t k = 0; k < count[i]; ++k)
        walk.emplace_back(static_cast<std::uint32_t>(i), lists[first[i] + k]);
    }
    constexpr std::size_t kAhead = 8;
    std::vector<TypeId> fars(walk.size());
    for (std::size_t j = 0; j < std::min(2 * kAhead, walk.size()); ++j)
      __builtin_prefetch(&graph.types->uid(walk[j].second));
    for (std::size_t j = 0; j < std::min(kAhead, walk.size()); ++j) {
      fars[j] = far_of(walk[j].second);
      __builtin_prefetch(&graph.types->uid(fars[j]));
    }
    std::size_t j = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const MatchEntry& entry = run[i].second;
      if (count[i] == kNoList) return no_row();
      // A very long list goes to the pool on its own.
      if (count[i] > kInlineLightItems) {
        VM_TRY(extend(out, entry));
        continue;
      }
      for (; j < walk.size() && walk[j].first == i; ++j) {
        if (j + 2 * kAhead < walk.size()) __builtin_prefetch(&graph.types->uid(walk[j + 2 * kAhead].second));
        if (j + kAhead < walk.size()) {
          fars[j + kAhead] = far_of(walk[j + kAhead].second);
          __builtin_prefetch(&graph.types->uid(fars[j + kAhead]));
        }
        VM_TRY(visit(out, entry, walk[j].second, fars[j]));
      }
    }
    return {};
  };

  tbb::task_group_context ctx;
  FirstError first_error;
  matches->for_each_shard_parallel(
      [&](MatchSetMap::Table run) {
        if (ctx.is_group_execution_cancelled()) return;
        Writer out = sink.writer();
        if (!name && run.size() >= detail::kBatchedRun) {
          if (auto status = extend_run(out, run); !status) first_error.set(std::move(status).error(), ctx);
          return;
        }
        for (const auto& [id, entry] : run) {
          if (ctx.is_group_execution_cancelled()) return;
          if (auto status = extend(out, entry); !status) {
            first_error.set(std::move(status).error(), ctx);
            return;
          }
        }
      },
      ctx);
  VM_TRY(first_error.take());
  MatchSet output = new_match_set();
  sink.move_into(*output);
  return output;
}

bool detail::is_plain(const EdgePattern& pattern) {
  return !pattern.variable() && !pattern.type_schema() && !pattern.term_schema() && !pattern.properties() &&
         pattern.direction() != Direction::Any;
}

Status detail::plain_edge_run(const Graph& graph, const EdgePattern& pattern, MatchSetMap::Table run,
                              const NodeUidSetPtr& subset, Reaches& reached) {
  const bool forward = pattern.direction() == Direction::Forward;
  const auto far_of = [&](TypeId arrow) { return forward ? graph.types->right(arrow) : graph.types->left(arrow); };
  const auto no_row = [] {
    return fail(errors::IndexCorruption{
        "prev_uid should be pointing at a valid node, and it dos not have an entry in the StartToEdgeIndex",
        "graph - match edge pattern"});
  };
  const auto edge_stored = [&](TypeId arrow) -> Status {
    if (graph.edges->contains(arrow)) return {};
    return fail(errors::IndexCorruption{"missing type for edge in edge_to_type_index", "check edge matches"});
  };
  const std::size_t n = run.size();
  // A short run (the most common: one match) keeps its lists off the heap.
  absl::InlinedVector<TypeId, 16> near(n, MatchEntry::kNoId);
  for (std::size_t i = 0; i < n; ++i) {
    const MatchEntry& entry = run[i].second;
    std::optional<TypeId> id = entry.prev_id;
    if (entry.prev_id == MatchEntry::kNoId) id = graph.type_id(entry.prev_uid);
    if (id) near[i] = *id;
  }
  // Each entry's list: lists[first[i], first[i] + count[i]); kNoList for a
  // node without a row. A long run copies its lists shard by shard, one lock
  // a shard for the run.
  absl::InlinedVector<std::uint32_t, 16> first(n, 0), count(n, kNoList);
  absl::InlinedVector<TypeId, 64> lists;
  if (n >= detail::kBatchedRun) {
    lists.reserve(4 * n);
    copy_lists_by_shard(graph, near, forward, first, count, lists);
  } else {
    EdgeIds arrows;
    for (std::size_t i = 0; i < n; ++i) {
      if (near[i] == MatchEntry::kNoId || !copy_edge_ids(graph, near[i], forward, arrows)) continue;
      first[i] = static_cast<std::uint32_t>(lists.size());
      count[i] = static_cast<std::uint32_t>(arrows.size());
      lists.insert(lists.end(), arrows.begin(), arrows.end());
    }
  }

  // The arrows' rows lie scattered over the table: each is asked for a few
  // edges ahead of its turn (the lists lie in shard order, not the run's).
  constexpr std::size_t kAhead = 16;
  const std::size_t total = lists.size();
  absl::InlinedVector<TypeId, 64> fars(total);
  for (std::size_t j = 0; j < std::min(kAhead, total); ++j) __builtin_prefetch(&graph.types->uid(lists[j]));
  for (std::size_t j = 0; j < total; ++j) {
    if (j + kAhead < total) __builtin_prefetch(&graph.types->uid(lists[j + kAhead]));
    fars[j] = far_of(lists[j]);
  }
  reached.reserve(reached.size() + total);
  for (std::size_t i = 0; i < n; ++i) {
    if (count[i] == kNoList) return no_row();
    const Uid& near_uid = run[i].second.prev_uid;
    for (std::size_t j = first[i]; j != first[i] + count[i]; ++j) {
      if (subset) {
        const Uid& far_uid = graph.types->uid(fars[j]);
        const Uid& start = forward ? near_uid : far_uid;
        const Uid& end = forward ? far_uid : near_uid;
        if (!(subset->contains(start) && subset->contains(end))) continue;
      }
      VM_TRY_CTX(edge_stored(lists[j]), "graph - match edge pattern");
      reached.push_back({static_cast<std::uint32_t>(i), fars[j]});
    }
  }
  return {};
}

Result<std::optional<MatchPtr>> check_edge_matches(const Graph& graph, const Uid& prev_uid, const EdgeKey& key,
                                                   const EdgePattern& pattern, MatchPtr m) {
  const auto& block = pattern.properties();
  return detail::check_edge_matches(graph, prev_uid, key, pattern, block ? &*block : nullptr, std::move(m));
}

Result<std::optional<MatchPtr>> detail::check_edge_matches(const Graph& graph, const Uid& prev_uid, const EdgeKey& key,
                                                           const EdgePattern& pattern, const PropertyMap* block,
                                                           MatchPtr m, const EdgePropertyIndex::Candidates* filter) {
  switch (pattern.direction()) {
    case Direction::Forward:
      if (key.first != prev_uid) return std::nullopt;
      break;
    case Direction::Backward:
      if (key.second != prev_uid) return std::nullopt;
      break;
    case Direction::Any: panic(kAnyDirection);
  }

  const std::optional<TypeId> arrow = graph.edge_id(key);
  if (!arrow) return fail(errors::IndexCorruption{"missing type for edge in edge_to_type_index", "check edge matches"});
  return check_edge_row(graph, *arrow, key, pattern, block, std::move(m), filter);
}

}  // namespace velmora::graph::matches
