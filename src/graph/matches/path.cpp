// Path matching: the first node, then each edge and the node behind it, for
// every match of the input set; or the same from a more selective node, back
// to the first and on to the last (see walk_order.hpp).

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "graph/matches/matching.hpp"
#include "graph/matches/walk_order.hpp"

namespace velmora::graph {
namespace {

using patterns::NodePattern;

// Drops a step's set once the next step has read it; a large set nobody else
// holds is emptied on the pool (the path waits: a free running beside the next
// step would compete with it for the pool and the allocator).
void release(MatchSet&& set) {
  if (set.use_count() == 1) set->clear_parallel();
  set.reset();
}

// How a step's tasks compare a node pattern's block: this thread's copy of
// it (null for no block), its one entry when it has one, and the index's
// candidates for it when they are few.
struct NodeBlock {
  const PropertyMap* copy = nullptr;
  const std::pair<std::string, Value>* single = nullptr;
  const NodePropertyIndex::Candidates* filter = nullptr;

  NodeBlock(matches::detail::BlockCopies& block, const NodePropertyIndex::Candidates* candidates)
      : copy(block.local()), single(block.single()), filter(candidates) {}
  bool given() const { return copy != nullptr; }
};

class PathScan {
 public:
  explicit PathScan(const Graph& graph) : graph_(graph) {}

  // `n` consecutive ids of the result set, unique within it.
  std::uint64_t take_id(std::uint64_t n = 1) { return next_match_id_.fetch_add(n, std::memory_order_relaxed); }

  // node_step for every entry of the set an edge step reached, first error
  // wins. A long run of entries has its nodes looked up shard by shard (see
  // Graph::has_nodes), each shard's lock taken once for the run rather than
  // once an entry: the threads of a step would otherwise all take turns on
  // the same few lock words.
  Status node_steps(const MatchSetMap& reached, const NodePattern& pattern, matches::detail::BlockCopies& block,
                    const NodePropertyIndex::Candidates* filter, matches::detail::MatchSink& into) {
    tbb::task_group_context ctx;
    FirstError first;
    reached.for_each_shard_parallel(
        [&](MatchSetMap::Table run) {
          if (ctx.is_group_execution_cancelled()) return;
          auto out = into.writer();
          const auto found = stored(run);
          const NodeBlock mine(block, filter);
          for (std::size_t i = 0; i < run.size(); ++i) {
            if (ctx.is_group_execution_cancelled()) return;
            if (auto status = node_step(run[i].second, found[i] != 0, pattern, mine, out); !status) {
              first.set(std::move(status).error(), ctx);
              return;
            }
          }
        },
        ctx);
    return first.take();
  }

  // A plain edge step and the node step behind it in one pass over `cur`:
  // the edges each run reaches go straight to their node's check, without a
  // set in between. Errors as the two steps', each run's edge errors first.
  // With `owned` (nobody else holds `cur`, and it is dropped once read), a
  // frame's last child takes over the entry's handle of it: an increment now
  // and a decrement at the drop saved for every entry, and the drop touches
  // no frame for them.
  Status plain_steps(const MatchSetMap& cur, const patterns::EdgePattern& edge, bool reversed,
                     const NodePattern& pattern, const NodeUidSetPtr& subset, matches::detail::BlockCopies& block,
                     const NodePropertyIndex::Candidates* filter, matches::detail::MatchSink& into, bool owned) {
    std::optional<matches::detail::StoredNodes> snapshot;
    if (cur.size() >= matches::detail::StoredNodes::kMinMatches &&
        cur.size() * matches::detail::StoredNodes::kPerNode >= graph_.node_count())
      snapshot.emplace(graph_);
    const matches::detail::StoredNodes* known = snapshot ? &*snapshot : nullptr;
    tbb::task_group_context ctx;
    FirstError first;
    cur.for_each_shard_parallel(
        [&](MatchSetMap::Table run) {
          if (ctx.is_group_execution_cancelled()) return;
          matches::detail::Reaches reached;
          if (auto status = matches::detail::plain_edge_run(graph_, edge, reversed, run, subset, reached); !status) {
            first.set(std::move(status).error(), ctx);
            return;
          }
          const auto found = stored(reached, known);
          // `take`: this task alone reads the run's entries.
          const auto steps = [&](std::size_t begin, std::size_t end, bool take) {
            auto out = into.writer();
            const NodeBlock mine(block, filter);
            constexpr std::size_t kAhead = kEdgesAhead;  // far ends' rows asked for ahead of their turn
            for (std::size_t k = begin; k != std::min(begin + kAhead, end); ++k)
              graph_.types().prefetch_row(reached[k].far);
            for (std::size_t k = begin; k != end; ++k) {
              if (ctx.is_group_execution_cancelled()) return;
              if (k + kAhead < end) graph_.types().prefetch_row(reached[k + kAhead].far);
              const MatchEntry& from = run[reached[k].entry].second;
              const TypeId far = reached[k].far;
              const bool last = take && (k + 1 == end || reached[k + 1].entry != reached[k].entry);
              if (auto status =
                      node_step(graph_.types().uid(far), far, from.match, found[k] != 0, pattern, mine, out, last);
                  !status) {
                first.set(std::move(status).error(), ctx);
                return;
              }
            }
          };
          // A node of very many edges shares its nodes' checks with the pool.
          constexpr std::size_t kPiece = MatchSetMap::kWalkGrain;
          if (reached.size() <= 8 * kPiece) {
            steps(0, reached.size(), owned);
            return;
          }
          utils::tsan::Join join;
          tbb::parallel_for(
              tbb::blocked_range<std::size_t>(0, reached.size(), kPiece),
              utils::tsan::body(
                  [&](const tbb::blocked_range<std::size_t>& range) { steps(range.begin(), range.end(), false); },
                  join),
              tbb::simple_partitioner(), ctx);
          join.joined();
        },
        ctx);
    return first.take();
  }

 private:
  // Whether each reached node is stored; a long list has its shards
  // read-locked once each.
  absl::InlinedVector<char, 32> stored(const matches::detail::Reaches& reached,
                                       const matches::detail::StoredNodes* known) const {
    absl::InlinedVector<char, 32> found(reached.size(), 0);
    absl::InlinedVector<TypeId, 32> ids(reached.size(), MatchEntry::kNoId);
    for (std::size_t k = 0; k < reached.size(); ++k) {
      if (known && (found[k] = known->contains(reached[k].far))) continue;
      ids[k] = reached[k].far;
    }
    graph_.has_nodes(ids, MatchEntry::kNoId, found.data());
    return found;
  }

  bool stored(const MatchEntry& reached) const {
    return reached.prev_id != MatchEntry::kNoId ? graph_.has_node(reached.prev_id) : graph_.has_node(reached.prev_uid);
  }

  // Whether each entry's node is stored; a long run has its shards
  // read-locked once each.
  absl::InlinedVector<char, 32> stored(MatchSetMap::Table run) const {
    absl::InlinedVector<char, 32> found(run.size(), 0);
    absl::InlinedVector<TypeId, 32> ids(run.size(), MatchEntry::kNoId);
    for (std::size_t i = 0; i < run.size(); ++i) {
      if (run[i].second.prev_id == MatchEntry::kNoId) {
        found[i] = graph_.has_node(run[i].second.prev_uid);
      } else {
        ids[i] = run[i].second.prev_id;
      }
    }
    graph_.has_nodes(ids, MatchEntry::kNoId, found.data());
    return found;
  }

  // Checks the node an edge step reached against `pattern` and binds its
  // variable, or drops the match when a binding names another node.
  Status node_step(const MatchEntry& reached, bool stored, const NodePattern& pattern, const NodeBlock& block,
                   matches::detail::MatchSink::Writer& into) {
    return node_step(reached.prev_uid, reached.prev_id, reached.match, stored, pattern, block, into);
  }

  // The node `uid` (its id `id`, or kNoId) reached from the frame `m`,
  // checked against `pattern` with `block` (this thread's look at the
  // pattern's block). With `last`, this is the input entry's last use of `m`,
  // which the new frame may take over.
  Status node_step(const Uid& uid, std::uint32_t id, const MatchPtr& m, bool stored, const NodePattern& pattern,
                   const NodeBlock& block, matches::detail::MatchSink::Writer& into, bool last = false) {
    // The handle itself, or a copy of it; `m` is not read after.
    const auto parent = [&]() -> MatchPtr { return last ? std::move(const_cast<MatchPtr&>(m)) : m; };
    if (!stored)
      return fail(errors::IndexCorruption{"previously matched node should exist in NodeIndex",
                                          positioned("checking node matches pattern")});
    if (!pattern.type_schema() && !pattern.term_schema()) {
      // Nothing to capture: the block is compared first, and the node's
      // frame is made with its binding in place.
      if (block.given() &&
          !VM_TRY_CTX(matches::detail::node_block_accepts(graph_, uid, id, block.copy, block.single, block.filter),
                      "graph - match path pattern"))
        return {};
      const auto& name = pattern.variable();
      if (!name) {
        into.add(MatchEntry{uid, Match::create(parent()), id});
        return {};
      }
      if (const StoredElement* bound = m->find(*name)) {
        const Uid bound_uid =
            VM_TRY_CTX(bound->element().as_node(*name, "get previously matched element"), "graph - match path pattern");
        if (bound_uid != uid) return {};
        into.add(MatchEntry{uid, Match::create(parent()), id});
        return {};
      }
      into.add(
          MatchEntry{uid, Match::create_bound(parent(), *name, matches::detail::node_element(graph_, uid, id)), id});
      return {};
    }
    auto checked = VM_TRY_CTX(matches::detail::check_node_matches(graph_, uid, pattern, block.copy, parent()),
                              "graph - match path pattern");
    if (!checked) return {};
    MatchPtr frame = std::move(*checked);
    if (const auto& name = pattern.variable()) {
      // The frame is this match's own: binding in it races with no other task.
      if (auto bound = frame->bind(*name, matches::detail::node_element(graph_, uid, id))) {
        const Uid bound_uid =
            VM_TRY_CTX(bound->as_node(*name, "get previously matched element"), "graph - match path pattern");
        if (bound_uid != uid) return {};
      }
    }
    into.add(MatchEntry{uid, std::move(frame), id});
    return {};
  }

  const Graph& graph_;
  std::atomic<std::uint64_t> next_match_id_{0};
};

// The steps of one input match along edges [first, last) of `path`, each edge
// and the node behind it: forward, edge i then node i + 1 for i from first
// up; reversed, edge i walked from its right node, then node i, for i from
// last - 1 down.
Status walk_edges(const Graph& graph, PathScan& scan, const patterns::PathPattern& path, MatchSet& cur,
                  std::size_t first, std::size_t last, bool reversed, const NodeUidSetPtr& subset) {
  const auto& nodes = path.nodes();
  const auto& edges = path.edges();
  for (std::size_t k = first; k < last; ++k) {
    const std::size_t i = reversed ? last - 1 - (k - first) : k;
    const NodePattern& behind = nodes[reversed ? i : i + 1];
    matches::detail::MatchSink reached_nodes;
    matches::detail::BlockCopies block(behind.properties());
    // The index's candidates for the block of a node without schemas, when
    // they are few for the matches walked from: every other node reached
    // fails the block without a look at its map.
    std::optional<NodePropertyIndex::Candidates> candidates;
    if (behind.properties() && !behind.type_schema() && !behind.term_schema())
      candidates = graph.node_property_index().candidates(*behind.properties(), 16 * cur->size() + 1024);
    const NodePropertyIndex::Candidates* filter = candidates ? &*candidates : nullptr;
    if (matches::detail::is_plain(edges[i])) {
      VM_TRY_CTX(scan.plain_steps(*cur, edges[i], reversed, behind, subset, block, filter, reached_nodes,
                                  cur.use_count() == 1),
                 "graph - match path pattern");
    } else {
      MatchSet reached = VM_TRY_CTX(matches::detail::match_edge_pattern(graph, edges[i], cur, subset, true, reversed),
                                    "graph - match path pattern");
      release(std::move(cur));
      cur = std::move(reached);
      VM_TRY_CTX(scan.node_steps(*cur, behind, block, filter, reached_nodes), "graph - match path pattern");
    }
    release(std::move(cur));
    cur = new_match_set();
    reached_nodes.move_into(*cur);
  }
  return {};
}

// Moves the entries of `from` into `into` under fresh ids; `each` may change
// an entry on the way. The chunks of a set nobody else holds move over whole.
template <class Each>
void move_entries(MatchSet&& from, MatchSetMap& into, PathScan& scan, Each&& each) {
  if (from.use_count() != 1) {
    from->for_each_shard([&](MatchSetMap::Table run) {
      for (const auto& [id, entry] : run) {
        MatchEntry copy = entry;
        each(copy);
        into.insert(scan.take_id(), std::move(copy));
      }
    });
    return;
  }
  for (auto& chunk : from->take_chunks()) {
    std::uint64_t id = scan.take_id(chunk.size());
    for (auto& moved : chunk) {
      moved.first = id++;
      each(moved.second);
    }
    into.append_chunk(std::move(chunk));
  }
}

// The candidates of node `start` for the match `entry`, each in a new
// child frame; the start of every walk, in whichever order.
Result<MatchSet> start_node(const Graph& graph, PathScan& scan, const patterns::PathPattern& path,
                            const MatchEntry& entry, std::size_t start, const NodeUidSetPtr& subset) {
  MatchSet single = new_match_set();
  single->insert(scan.take_id(), entry);
  return with_context(matches::match_node_pattern(graph, path.nodes()[start], std::move(single), subset),
                      "graph - match path pattern");
}

// The left ends of the edges the index names for edge pattern `edge`'s
// block, those still stored; null (every node) when the index cannot tell.
NodeUidSetPtr left_ends(const Graph& graph, const patterns::EdgePattern& edge) {
  const auto named = graph.edge_property_index().candidates(*edge.properties(), SIZE_MAX);
  if (!named) return nullptr;
  auto ends = std::make_shared<NodeUidSet>();
  const bool forward = edge.direction() == patterns::Direction::Forward;
  for (const EdgeKey& key : named->rows()) {
    // An edge removed since it was indexed may have left its ends behind.
    const Uid& end = forward ? key.first : key.second;
    if (graph.has_node(end)) ends->insert(end);
  }
  return ends;
}

// The walk of the path from node `start` (above 0), whose candidates are
// `starts`: each goes backward to the first node, then every path found
// forward from the start node to the last. Into `out`, the entries' prev_uid
// the last node's, as in the written order.
Status walk_from(const Graph& graph, PathScan& scan, const patterns::PathPattern& path, const MatchSet& starts,
                 std::size_t start, const NodeUidSetPtr& subset, MatchSetMap& out) {
  const std::size_t last = path.nodes().size() - 1;
  return matches::detail::for_each_match(*starts, [&](const MatchEntry& from) -> Status {
    MatchSet cur = new_match_set();
    cur->insert(scan.take_id(), from);
    VM_TRY(walk_edges(graph, scan, path, cur, 0, start, true, subset));
    const auto from_start = [&](MatchEntry& done) {
      done.prev_uid = from.prev_uid;
      done.prev_id = from.prev_id;
    };
    if (start == last) {
      move_entries(std::move(cur), out, scan, from_start);
      return {};
    }
    MatchSet onward = new_match_set();
    move_entries(std::move(cur), *onward, scan, from_start);
    VM_TRY(walk_edges(graph, scan, path, onward, start, last, false, subset));
    move_entries(std::move(onward), out, scan, [](MatchEntry&) {});
    return {};
  });
}

// match_path_pattern, from where `order` says (null: the written order).
Result<MatchSet> match_path(const Graph& graph, const patterns::PathPattern& path, const MatchSet& matches,
                            const NodeUidSetPtr& subset, const matches::WalkOrder* order) {
  MatchSet result = new_match_set();
  PathScan scan(graph);
  const std::size_t steps = std::min(path.edges().size(), path.nodes().size() - 1);
  // With a single input match its last set can be the result itself: its ids
  // are unique already, so copying it under new ids would change nothing.
  const bool single_input = matches->size() == 1;

  // Each input match goes down the whole path on its own; the sets it builds
  // on the way are written by one phase and read by the next, never both.
  VM_TRY(matches::detail::for_each_match(*matches, [&](const MatchEntry& entry) -> Status {
    const auto [start, by_edge] = order ? order->start(*entry.match) : matches::WalkOrder::Start{};
    // A start by an edge takes as its nodes' candidates those the edges'
    // left ends name; the order never starts elsewhere within a subset.
    NodeUidSetPtr ends = by_edge ? left_ends(graph, path.edges()[start]) : nullptr;
    MatchSet cur = VM_TRY(start_node(graph, scan, path, entry, start, ends ? ends : subset));
    if (start != 0) return walk_from(graph, scan, path, cur, start, subset, *result);
    VM_TRY(walk_edges(graph, scan, path, cur, 0, steps, false, subset));
    if (single_input) {
      result = std::move(cur);
      return {};
    }
    move_entries(std::move(cur), *result, scan, [](MatchEntry&) {});
    return {};
  }));
  return result;
}

}  // namespace

Result<MatchSet> match_path_pattern(const Graph& graph, const patterns::PathPattern& path, MatchSet matches,
                                    NodeUidSetPtr subset) {
  VM_TRY_CTX(path.validate(), "graph - match path pattern");
  const matches::WalkOrder order(graph, path, subset);
  return match_path(graph, path, matches, subset, &order);
}

Result<MatchSet> matches::detail::match_path_in_written_order(const Graph& graph, const patterns::PathPattern& path,
                                                              MatchSet matches, NodeUidSetPtr subset) {
  VM_TRY_CTX(path.validate(), "graph - match path pattern");
  return match_path(graph, path, matches, subset, nullptr);
}

}  // namespace velmora::graph
