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

// The direction an edge pattern is walked in from its right node to its left.
Direction opposite(Direction direction) {
  switch (direction) {
    case Direction::Forward: return Direction::Backward;
    case Direction::Backward: return Direction::Forward;
    case Direction::Any: break;
  }
  return Direction::Any;
}

// Whether the edge `arrow` (key `key`) carries the block: `single` when the
// block is one entry, else `block`. The edge's row stays read-locked while
// its map is compared. EdgeNotFound when the edge is gone.
Result<bool> edge_block_accepts(const Graph& graph, TypeId arrow, const EdgeKey& key, const PropertyMap* block,
                                const std::pair<std::string, Value>* single,
                                const EdgePropertyIndex::Candidates* filter) {
  auto compared = graph.with_edge_properties(arrow, [&](const PropertyMap& stored) -> Result<bool> {
    if (filter && !filter->contains(key)) return false;
    if (single) return entry_matches(*single, stored);
    return properties_match(*block, stored);
  });
  if (!compared)
    return std::unexpected(
        Report(errors::EdgeNotFound{key, "check edge matches properties"}).attach("check edge matches"));
  return with_context(std::move(*compared), "check edge matches");
}

// The edge whose arrow type is `arrow` against `pattern`, the direction
// already checked; `key` is its key. The edge must still be stored. `block`
// (or its one entry `single`) is the pattern's block, null for none.
Result<std::optional<MatchPtr>> check_edge_row(const Graph& graph, TypeId arrow, const EdgeKey& key,
                                               const EdgePattern& pattern, const PropertyMap* block,
                                               const std::pair<std::string, Value>* single, MatchPtr m,
                                               const EdgePropertyIndex::Candidates* filter, bool share = false) {
  if (!graph.is_edge(arrow))
    return fail(errors::IndexCorruption{"missing type for edge in edge_to_type_index", "check edge matches"});
  const bool schemas = pattern.type_schema() || pattern.term_schema();
  const bool has_block = block || single;
  if (!schemas) {
    // Nothing to capture: the block is compared before any frame is made,
    // and a caller that binds nothing can keep the input frame.
    if (has_block && !VM_TRY(edge_block_accepts(graph, arrow, key, block, single, filter))) return std::nullopt;
    return share ? std::move(m) : Match::create(std::move(m));
  }
  const Uid& type = graph.types().uid(arrow);
  MatchPtr frame = Match::create(std::move(m));
  if (const auto& schema = pattern.type_schema()) {
    auto checked =
        VM_TRY_CTX(check_type_matches(graph, type, schema->pattern(), std::move(frame)), "check edge matches");
    if (!checked) return std::nullopt;
    frame = std::move(*checked);
  }
  if (const auto& schema = pattern.term_schema()) {
    auto checked =
        VM_TRY_CTX(check_term_matches(graph, type, schema->pattern(), std::move(frame)), "check edge matches");
    if (!checked) return std::nullopt;
    frame = std::move(*checked);
  }
  if (has_block && !VM_TRY(edge_block_accepts(graph, arrow, key, block, single, filter))) return std::nullopt;
  return frame;
}

const Uid& far_end(const EdgeKey& key, Direction direction) {
  return direction == Direction::Backward ? key.first : key.second;
}

errors::IndexCorruption no_row() {
  return errors::IndexCorruption{
      "prev_uid should be pointing at a valid node, and it dos not have an entry in the StartToEdgeIndex",
      "graph - match edge pattern"};
}

// The node each match of a run reached last, by id, and its edge lists on the
// side the pattern walks; `bound[i]` holds entry i's edge when the pattern's
// variable is bound in its chain already (its list is then not read). A node
// whose uid is not a stored type has no list, as a node without a row.
struct RunLists {
  absl::InlinedVector<std::optional<MatchElement>, 8> bound;
  EdgeLists lists;
};
void read_run(const Graph& graph, const EdgePattern& pattern, Direction walked, MatchSetMap::Table run, RunLists& out) {
  const auto& name = pattern.variable();
  const std::size_t n = run.size();
  absl::InlinedVector<TypeId, 16> ids(n, MatchEntry::kNoId);
  out.bound.assign(n, std::nullopt);
  for (std::size_t i = 0; i < n; ++i) {
    const MatchEntry& entry = run[i].second;
    if (name && (out.bound[i] = entry.match->get(*name))) continue;
    if (entry.prev_id != MatchEntry::kNoId) {
      ids[i] = entry.prev_id;
    } else if (const auto id = graph.type_id(entry.prev_uid)) {
      ids[i] = *id;
    }
  }
  graph.read_edge_lists(ids, walked == Direction::Forward, MatchEntry::kNoId, out.lists);
}

// One call of `match_edge_pattern`: what its tasks share.
class EdgeStep {
 public:
  using Writer = detail::MatchSink::Writer;

  EdgeStep(const Graph& graph, const EdgePattern& pattern, Direction walked, std::size_t matches, NodeUidSetPtr subset,
           bool share_frames)
      : graph_(graph),
        pattern_(pattern),
        subset_(std::move(subset)),
        share_frames_(share_frames && !pattern.variable()),
        walked_(walked),
        forward_(walked == Direction::Forward),
        block_(pattern.properties()) {
    // The index's candidates for the block: every other edge fails it without
    // a look at its map. Only taken while they are few for the edges walked.
    if (const auto& properties = pattern.properties())
      indexed_ = graph.edge_property_index().candidates(*properties, 16 * matches + 1024);
  }

  // Extends a run of matches, in the run's order: an edge bound before is
  // only checked; otherwise every edge of the node reached is visited.
  Status extend(Writer& out, MatchSetMap::Table run) {
    RunLists read;
    read_run(graph_, pattern_, walked_, run, read);
    const EdgeLists& lists = read.lists;
    FarEnds fars(graph_.types(), lists.all(), forward_);
    for (std::size_t i = 0; i < run.size(); ++i) {
      const MatchEntry& entry = run[i].second;
      if (read.bound[i]) {
        VM_TRY(check_bound(out, entry, *read.bound[i]));
        continue;
      }
      if (walked_ == Direction::Any) panic(kAnyDirection);
      if (!lists.found(i)) return fail(no_row());
      const auto arrows = lists.of(i);
      // Only a very long edge list is worth the pool.
      if (arrows.size() > kInlineLightItems) {
        VM_TRY(visit_on_pool(entry, arrows));
        continue;
      }
      for (std::size_t k = 0; k < arrows.size(); ++k) VM_TRY(visit(out, entry, arrows[k], fars.at(lists.first(i) + k)));
    }
    return {};
  }

  detail::MatchSink& sink() { return sink_; }

 private:
  // An edge bound before is only checked, whether or not it is in the subset.
  Status check_bound(Writer& out, const MatchEntry& entry, const MatchElement& element) {
    const std::string& name = *pattern_.variable();
    const EdgeKey key = VM_TRY_CTX(element.as_edge(name), "graph - match edge pattern");
    auto checked = VM_TRY_CTX(detail::check_edge_matches(graph_, entry.prev_uid, key, pattern_, walked_, block_.local(),
                                                         entry.match, filter()),
                              "graph - match edge pattern");
    if (checked) out.add(MatchEntry{far_end(key, walked_), std::move(*checked)});
    return {};
  }

  // The edges of a hub's list, in pieces on the pool.
  Status visit_on_pool(const MatchEntry& entry, std::span<const TypeId> arrows) {
    const TypeTable& types = graph_.types();
    // Each piece adds to its thread's own part of the output.
    return try_for_each_light_with(
        arrows, [&] { return sink_.writer(); },
        [&](Writer& mine, TypeId arrow) {
          return visit(mine, entry, arrow, forward_ ? types.right(arrow) : types.left(arrow));
        });
  }

  // One edge of the node `entry` reached, `far` its far end's id. The near
  // end is the node walked from, whose uid the entry holds: of the edge's
  // rows only the arrow's and the far end's are read.
  Status visit(Writer& out, const MatchEntry& entry, TypeId arrow, TypeId far) {
    const TypeTable& types = graph_.types();
    const Uid& far_uid = types.uid(far);
    const EdgeKey key = forward_ ? EdgeKey{entry.prev_uid, far_uid} : EdgeKey{far_uid, entry.prev_uid};
    if (subset_ && !(subset_->contains(key.first) && subset_->contains(key.second))) return {};
    const auto* single = block_.single();
    auto checked = VM_TRY_CTX(check_edge_row(graph_, arrow, key, pattern_, single ? nullptr : block_.local(), single,
                                             entry.match, filter(), share_frames_),
                              "graph - match edge pattern");
    if (!checked) return {};
    // The frame is this key's own, so no other task binds in it. The arrow's
    // sides are the key's ends: the binding keeps the store's uids.
    if (const auto& name = pattern_.variable())
      VM_TRY_CTX((*checked)->insert(
                     *name, MatchElement::stored_edge(types.uid(types.left(arrow)), types.uid(types.right(arrow)))),
                 "graph - match edge pattern");
    out.add(MatchEntry{far_uid, std::move(*checked), far});
    return {};
  }

  const EdgePropertyIndex::Candidates* filter() const { return indexed_ ? &*indexed_ : nullptr; }

  const Graph& graph_;
  const EdgePattern& pattern_;
  const NodeUidSetPtr subset_;
  const bool share_frames_;
  const Direction walked_;
  const bool forward_;
  detail::BlockCopies block_;
  std::optional<EdgePropertyIndex::Candidates> indexed_;
  detail::MatchSink sink_;
};

}  // namespace

Result<MatchSet> match_edge_pattern(const Graph& graph, const EdgePattern& pattern, MatchSet matches,
                                    NodeUidSetPtr subset) {
  return detail::match_edge_pattern(graph, pattern, std::move(matches), std::move(subset), false);
}

Result<MatchSet> detail::match_edge_pattern(const Graph& graph, const EdgePattern& pattern, MatchSet matches,
                                            NodeUidSetPtr subset, bool share_frames, bool reversed) {
  EdgeStep step(graph, pattern, reversed ? opposite(pattern.direction()) : pattern.direction(), matches->size(),
                std::move(subset), share_frames);
  tbb::task_group_context ctx;
  FirstError first_error;
  matches->for_each_shard_parallel(
      [&](MatchSetMap::Table run) {
        if (ctx.is_group_execution_cancelled()) return;
        MatchSink::Writer out = step.sink().writer();
        if (auto status = step.extend(out, run); !status) first_error.set(std::move(status).error(), ctx);
      },
      ctx);
  VM_TRY(first_error.take());
  MatchSet output = new_match_set();
  step.sink().move_into(*output);
  return output;
}

bool detail::is_plain(const EdgePattern& pattern) {
  return !pattern.variable() && !pattern.type_schema() && !pattern.term_schema() && !pattern.properties() &&
         pattern.direction() != Direction::Any;
}

Status detail::plain_edge_run(const Graph& graph, const EdgePattern& pattern, bool reversed, MatchSetMap::Table run,
                              const NodeUidSetPtr& subset, Reaches& reached) {
  const Direction walked = reversed ? opposite(pattern.direction()) : pattern.direction();
  const bool forward = walked == Direction::Forward;
  RunLists read;
  read_run(graph, pattern, walked, run, read);
  const EdgeLists& lists = read.lists;
  FarEnds fars(graph.types(), lists.all(), forward);
  reached.reserve(reached.size() + lists.all().size());
  for (std::size_t i = 0; i < run.size(); ++i) {
    if (!lists.found(i)) return fail(no_row());
    const Uid& near_uid = run[i].second.prev_uid;
    const auto arrows = lists.of(i);
    for (std::size_t k = 0; k < arrows.size(); ++k) {
      const TypeId far = fars.at(lists.first(i) + k);
      if (subset) {
        const Uid& far_uid = graph.types().uid(far);
        const Uid& start = forward ? near_uid : far_uid;
        const Uid& end = forward ? far_uid : near_uid;
        if (!(subset->contains(start) && subset->contains(end))) continue;
      }
      if (!graph.is_edge(arrows[k]))
        return std::unexpected(
            Report(errors::IndexCorruption{"missing type for edge in edge_to_type_index", "check edge matches"})
                .attach("graph - match edge pattern"));
      reached.push_back({static_cast<std::uint32_t>(i), far});
    }
  }
  return {};
}

Result<std::optional<MatchPtr>> check_edge_matches(const Graph& graph, const Uid& prev_uid, const EdgeKey& key,
                                                   const EdgePattern& pattern, MatchPtr m) {
  const auto& block = pattern.properties();
  return detail::check_edge_matches(graph, prev_uid, key, pattern, pattern.direction(), block ? &*block : nullptr,
                                    std::move(m));
}

Result<std::optional<MatchPtr>> detail::check_edge_matches(const Graph& graph, const Uid& prev_uid, const EdgeKey& key,
                                                           const EdgePattern& pattern, Direction walked,
                                                           const PropertyMap* block, MatchPtr m,
                                                           const EdgePropertyIndex::Candidates* filter) {
  switch (walked) {
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
  return check_edge_row(graph, *arrow, key, pattern, block, nullptr, std::move(m), filter);
}

}  // namespace velmora::graph::matches
