// Edge-pattern matching: extending a match set by one edge from the node each
// match reached last, and checking one edge against an edge pattern.
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

// Larger edge sets are spread over the pool; smaller ones are not worth a task.
constexpr std::size_t kInlineEdges = 32;

// fn(const EdgeKey&) -> Status for every key of one node's edge set; first
// error wins. The set has a single shard: a small one is walked under its
// read lock, a large one is copied under it and then split over the pool.
template <class Fn>
Status for_each_edge_key(const EdgeSet& edges, Fn&& fn) {
  std::vector<EdgeKey> large;
  Status status;
  edges.for_each_shard([&](const EdgeSet::Table& keys) {
    if (keys.size() > kInlineEdges) {
      large.assign(keys.begin(), keys.end());
      return;
    }
    for (const auto& key : keys) {
      status = fn(key);
      if (!status) return;
    }
  });
  if (!status || large.empty()) return status;
  return utils::try_for_each(std::span<const EdgeKey>(large), fn);
}

const Uid& far_end(const EdgeKey& key, Direction direction) {
  return direction == Direction::Backward ? key.first : key.second;
}

}  // namespace

Result<MatchSet> match_edge_pattern(const Graph& graph, const EdgePattern& pattern, MatchSet matches,
                                    NodeUidSetPtr subset) {
  detail::MatchSink sink;
  std::atomic<std::uint64_t> next_id{0};
  const auto store = [&](const EdgeKey& key, MatchPtr frame) {
    sink.add(next_id.fetch_add(1, std::memory_order_relaxed),
             MatchEntry{far_end(key, pattern.direction()), std::move(frame)});
  };
  const auto& name = pattern.variable();
  detail::BlockCopies block(pattern.properties());
  // The index's candidates for the block: every other edge fails it without a
  // look at its map. Only taken while they are few for the edges walked.
  std::optional<EdgePropertyIndex::Candidates> indexed;
  if (const auto& properties = pattern.properties())
    indexed = graph.edge_property_index->candidates(*properties, 16 * matches->size() + 1024);
  const EdgePropertyIndex::Candidates* filter = indexed ? &*indexed : nullptr;

  VM_TRY(detail::for_each_match(*matches, [&](const MatchEntry& entry) -> Status {
    if (name) {
      if (auto element = detail::bound_element(*entry.match, *name)) {
        // An edge bound before is only checked, whether or not it is in the subset.
        const EdgeKey key = VM_TRY_CTX(element->as_edge(*name), "graph - match edge pattern");
        auto checked = VM_TRY_CTX(
            detail::check_edge_matches(graph, entry.prev_uid, key, pattern, block.local(), entry.match, filter),
            "graph - match edge pattern");
        if (checked) store(key, std::move(*checked));
        return {};
      }
    }

    const Direction direction = pattern.direction();
    if (direction == Direction::Any) panic(kAnyDirection);
    const auto& index = direction == Direction::Forward ? graph.start_to_edge_index : graph.end_to_edge_index;
    // A share of the row's set, so the row itself is unlocked before the walk.
    const std::optional<EdgeSetPtr> edges = index->get(entry.prev_uid);
    if (!edges)
      return fail(errors::IndexCorruption{
          "prev_uid should be pointing at a valid node, and it dos not have an entry in the StartToEdgeIndex",
          "graph - match edge pattern"});
    if (!*edges) return {};  // no edge on that side yet

    return for_each_edge_key(**edges, [&](const EdgeKey& key) -> Status {
      if (subset && !(subset->contains(key.first) && subset->contains(key.second))) return {};
      auto checked = VM_TRY_CTX(
          detail::check_edge_matches(graph, entry.prev_uid, key, pattern, block.local(), entry.match, filter),
          "graph - match edge pattern");
      if (!checked) return {};
      // The frame is this key's own, so no other task binds in it.
      if (name) VM_TRY_CTX((*checked)->insert(*name, MatchElement::edge(key)), "graph - match edge pattern");
      store(key, std::move(*checked));
      return {};
    });
  }));
  MatchSet output = new_match_set();
  sink.move_into(*output);
  return output;
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
    case Direction::Any:
      panic(kAnyDirection);
  }

  const std::optional<Uid> type = graph.edge_to_type_index->get(key);
  if (!type) return fail(errors::IndexCorruption{"missing type for edge in edge_to_type_index", "check edge matches"});

  MatchPtr frame = Match::create(std::move(m));
  if (const auto& schema = pattern.type_schema()) {
    auto checked =
        VM_TRY_CTX(graph.check_type_matches(*type, schema->pattern(), std::move(frame)), "check edge matches");
    if (!checked) return std::nullopt;
    frame = std::move(*checked);
  }
  if (const auto& schema = pattern.term_schema()) {
    auto checked =
        VM_TRY_CTX(graph.check_term_matches(*type, schema->pattern(), std::move(frame)), "check edge matches");
    if (!checked) return std::nullopt;
    frame = std::move(*checked);
  }
  if (block) {
    // The edge's row stays read-locked while its map is compared.
    auto compared = graph.edge_index->with_read(key, [&](const PropertyMap& stored) -> Result<bool> {
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

}  // namespace velmora::graph::matches
