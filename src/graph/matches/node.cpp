// Node-pattern matching: extending a match set by one node pattern, and
// checking one node that an edge step reached.
#include <tbb/collaborative_call_once.h>
#include <tbb/task_group.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "graph/matches/matching.hpp"

namespace velmora::graph::matches {
namespace {

using patterns::NodePattern;

// The parent handle for the many children one frame gets in a scan. Copies
// of one handle made by every thread would all count on that frame's one
// reference count; each thread holds the frame once instead, and its
// children's handles count on that holding. Only for a frame without a parent
// of its own (the root of a query, most often): ~Match unlinks a chain by the
// counts of its handles, which for a shared holding count children, not
// holders of the frame.
class ParentHandles {
 public:
  explicit ParentHandles(const MatchPtr& parent) : parent_(parent), shared_(parent && !parent->parent()) {}

  MatchPtr get() { return local().get(); }

  // This thread's holding, found once for a run of children.
  class Local {
   public:
    MatchPtr get() const { return held_ ? MatchPtr(*held_, (*held_)->get()) : *parent_; }

   private:
    friend class ParentHandles;
    Local(const MatchPtr* parent, const std::shared_ptr<MatchPtr>* held) : parent_(parent), held_(held) {}
    const MatchPtr* parent_;
    const std::shared_ptr<MatchPtr>* held_;
  };
  Local local() {
    if (!shared_) return Local(&parent_, nullptr);
    std::shared_ptr<MatchPtr>& held = held_.local();
    if (!held) held = std::make_shared<MatchPtr>(parent_);
    return Local(&parent_, &held);
  }

 private:
  const MatchPtr& parent_;
  const bool shared_;
  tbb::enumerable_thread_specific<std::shared_ptr<MatchPtr>> held_;
};

// One call of `match_node_pattern`: what its tasks share.
class NodeScan {
 public:
  // `alone`: the matches are extended one after the other on the calling
  // thread, so nothing this scan shares is ever asked for by two at once.
  NodeScan(const Graph& graph, const NodePattern& pattern, NodeUidSetPtr subset, bool alone)
      : graph_(graph), pattern_(pattern), subset_(std::move(subset)), alone_(alone), block_(pattern.properties()) {}

  Status extend(const MatchEntry& entry) {
    if (const auto& name = pattern_.variable()) {
      if (auto element = entry.match->get(*name)) return check_bound(entry, *name, *element);
    }
    return scan_candidates(entry);
  }

  // The step's output set; once every match is extended.
  MatchSet output() {
    MatchSet set = new_match_set();
    sink_.move_into(*set);
    return set;
  }

 private:
  // An id for a single-entry set of this call's own.
  std::uint64_t take_id() { return next_id_.fetch_add(1, std::memory_order_relaxed); }

  // A node bound before: checked in the input frame itself, wherever it is.
  Status check_bound(const MatchEntry& entry, const std::string& name, const MatchElement& element) {
    const Uid uid = VM_TRY_CTX(element.as_node(name, "match node pattern"), "graph - match node pattern");
    MatchPtr frame = entry.match;
    if (const auto& schema = pattern_.type_schema()) {
      auto checked = VM_TRY_CTX(check_type_matches(graph_, uid, schema->pattern(), std::move(frame)),
                                "graph - match node pattern");
      if (!checked) return {};
      frame = std::move(*checked);
    }
    if (const auto& schema = pattern_.term_schema()) {
      auto checked = VM_TRY_CTX(check_term_matches(graph_, uid, schema->pattern(), std::move(frame)),
                                "graph - match node pattern");
      if (!checked) return {};
      frame = std::move(*checked);
    }
    if (!VM_TRY(block_accepts(uid))) return {};
    sink_.add(MatchEntry{uid, std::move(frame)});
    return {};
  }

  Status scan_candidates(const MatchEntry& entry) {
    const std::uint64_t single_id = take_id();
    if (const auto& schema = pattern_.type_schema()) {
      // A schema that names one type is a look-up: its check of that row
      // passes without binding, and no other row can pass or fail it.
      if (const auto row = ground_type_row(graph_, schema->pattern(), *entry.match)) {
        if (!*row) return {};
        return type_candidate(MatchEntry{graph_.types().uid(**row), entry.match, **row});
      }
      MatchSet types =
          VM_TRY_CTX(match_type_schema(graph_, *schema, single_set(single_id, entry)), "graph - match node pattern");
      return detail::for_each_match(*types, [&](const MatchEntry& type) { return type_candidate(type); });
    }
    if (const auto& schema = pattern_.term_schema()) {
      MatchSet terms =
          VM_TRY_CTX(match_term_schema(graph_, *schema, single_set(single_id, entry)), "graph - match node pattern");
      return detail::for_each_match(*terms, [&](const MatchEntry& term) -> Status {
        if (!is_candidate(term.prev_uid)) return {};
        if (!VM_TRY(block_accepts(term.prev_uid))) return {};
        return store_child(term.prev_uid, term.match);
      });
    }
    const auto visit = [&](const Uid& uid) -> Status {
      if (!VM_TRY(block_accepts(uid))) return {};
      return store_child(uid, entry.match);
    };
    if (const auto* indexed = indexed_candidates()) {
      // A node the index leaves out cannot match the block, so skipping it
      // changes nothing; a subset member that is no node still reaches the
      // block's NodeNotFound.
      if (subset_) {
        return try_for_each_entry(*subset_, [&](const Uid& uid) -> Status {
          if (!indexed->contains(uid) && graph_.has_node(uid)) return {};
          return visit(uid);
        });
      }
      const std::vector<Uid>& rows = indexed->rows();
      const std::vector<TypeId>& ids = indexed->ids();
      const auto candidate = [&](std::size_t i, const auto& parent) -> Status {
        // A row a removal left behind in the index has no node row.
        auto accepted = graph_.with_node_properties(ids[i], [&](const PropertyMap& stored) { return accepts(stored); });
        if (!accepted) return {};
        if (!VM_TRY_CTX(std::move(*accepted), "graph - match node pattern")) return {};
        return store_child(rows[i], parent(), ids[i]);
      };
      // A few candidates (a selective block) are not worth the pool's
      // start-up, nor a holding of the parent per thread.
      if (rows.size() <= kInlineLightItems) {
        const auto held = [&] { return entry.match; };
        for (std::size_t i = 0; i < rows.size(); ++i) VM_TRY(candidate(i, held));
        return {};
      }
      ParentHandles parent(entry.match);
      return try_for_each_light(std::span<const Uid>(rows), [&](const Uid& uid) {
        return candidate(static_cast<std::size_t>(&uid - rows.data()), [&] { return parent.get(); });
      });
    }
    if (subset_) return try_for_each_entry(*subset_, visit);
    if (const std::vector<TypeId>* ids = node_ids()) {
      // In id order, which is the order the store made them in: neighbours
      // in it have their rows, and most often their edges' rows, side by side.
      ParentHandles parent(entry.match);
      return try_for_each_light_with(
          std::span<const TypeId>(*ids), [&] { return Piece(*this, parent); },
          [&](Piece& piece, TypeId id) -> Status {
            const Uid& uid = graph_.types().uid(id);
            if (!VM_TRY(block_accepts_row(id, uid))) return {};
            return store_child(uid, piece.parent.get(), id, piece.out);
          });
    }
    // Every node: their rows are found by id, without the uid index.
    const std::vector<std::pair<Uid, TypeId>>& nodes = all_nodes();
    ParentHandles parent(entry.match);
    return try_for_each_light_with(
        std::span<const std::pair<Uid, TypeId>>(nodes), [&] { return Piece(*this, parent); },
        [&](Piece& piece, const std::pair<Uid, TypeId>& node) -> Status {
          if (!VM_TRY(block_accepts_row(node.second, node.first))) return {};
          return store_child(node.first, piece.parent.get(), node.second, piece.out);
        });
  }

  // What one piece of a scan over every node finds once: the thread's
  // holding of the parent and its part of the output.
  struct Piece {
    Piece(NodeScan& scan, ParentHandles& handles) : parent(handles.local()), out(scan.sink_.writer()) {}
    ParentHandles::Local parent;
    detail::MatchSink::Writer out;
  };

  static MatchSet single_set(std::uint64_t id, const MatchEntry& entry) {
    MatchSet set = new_match_set();
    set->insert(id, entry);
    return set;
  }

  // A type the type schema accepted, in the frame holding its captures.
  Status type_candidate(const MatchEntry& type) {
    const Uid& uid = type.prev_uid;
    if (!is_candidate(uid)) return {};
    MatchPtr frame = Match::create(type.match);
    if (const auto& schema = pattern_.term_schema()) {
      auto checked = check_term_matches(graph_, uid, schema->pattern(), std::move(frame));
      if (!checked) {
        // A node without a term is simply not a candidate of a term schema.
        if (checked.error().current_context().is<errors::TermNotFound>()) return {};
        return std::unexpected(std::move(checked).error().attach("graph - match node pattern"));
      }
      if (!*checked) return {};
      frame = std::move(**checked);
    }
    if (!VM_TRY(block_accepts(uid))) return {};
    return bind_and_store(uid, std::move(frame), type.prev_id);
  }

  // Only the row's presence is asked, so its lock is released straight away.
  bool is_candidate(const Uid& uid) const { return subset_ ? subset_->contains(uid) : graph_.has_node(uid); }

  Result<bool> block_accepts(const Uid& uid) {
    if (block_.single()) {
      // A missing row falls through to the full check, for its error.
      if (auto accepted = graph_.with_node_properties(uid, [&](const PropertyMap& stored) { return accepts(stored); }))
        return std::move(*accepted);
    }
    const PropertyMap* block = block_.local();
    if (!block) return true;
    return with_context(check_node_matches_properties(graph_, uid, *block), "graph - match node pattern");
  }

  // block_accepts for the node whose type id is `id`.
  Result<bool> block_accepts_row(TypeId id, const Uid& uid) {
    if (block_.single()) {
      // A missing row falls through to the full check, for its error.
      if (auto accepted = graph_.with_node_properties(id, [&](const PropertyMap& stored) { return accepts(stored); }))
        return std::move(*accepted);
    }
    const PropertyMap* block = block_.local();
    if (!block) return true;
    return with_context(detail::check_node_row_properties(graph_, id, uid, *block), "graph - match node pattern");
  }

  // The block against a stored map: a single entry without the block's lock.
  Result<bool> accepts(const PropertyMap& stored) {
    if (const auto* entry = block_.single()) return entry_matches(*entry, stored);
    return properties_match(*block_.local(), stored);
  }

  // `frame` is new and private to this candidate, so binding in it cannot
  // race with any other task.
  Status bind_and_store(const Uid& uid, MatchPtr frame, std::uint32_t id = MatchEntry::kNoId) {
    if (const auto& name = pattern_.variable())
      VM_TRY_CTX(frame->insert(*name, detail::node_element(graph_, uid, id)), "graph - match node pattern");
    sink_.add(MatchEntry{uid, std::move(frame), id});
    return {};
  }

  // bind_and_store in a new child frame of `parent`, made with its binding.
  Status store_child(const Uid& uid, MatchPtr parent, std::uint32_t id = MatchEntry::kNoId) {
    auto out = sink_.writer();
    return store_child(uid, std::move(parent), id, out);
  }
  // The same through this thread's part of the output.
  Status store_child(const Uid& uid, MatchPtr parent, std::uint32_t id, detail::MatchSink::Writer& out) {
    const auto& name = pattern_.variable();
    if (!name) {
      out.add(MatchEntry{uid, Match::create(std::move(parent)), id});
      return {};
    }
    MatchPtr frame = VM_TRY_CTX(Match::create_with(std::move(parent), *name, detail::node_element(graph_, uid, id)),
                                "graph - match node pattern");
    out.add(MatchEntry{uid, std::move(frame), id});
    return {};
  }

  // The uids of every node, collected once per call by the first match that
  // needs them; matches that need them meanwhile help collect them.
  const std::vector<std::pair<Uid, TypeId>>& all_nodes() {
    once(all_nodes_once_, [this] { all_nodes_ = graph_.node_uids_and_ids(); });
    return all_nodes_;
  }

  // For a large store, the ids of every node in increasing order, collected
  // once per call like all_nodes; null for a small one.
  const std::vector<TypeId>* node_ids() {
    once(node_ids_once_, [this] {
      if (graph_.node_count() >= detail::StoredNodes::kMinMatches) node_ids_ = detail::StoredNodes(graph_).ids();
    });
    return node_ids_.empty() ? nullptr : &node_ids_;
  }

  // The index's candidates for the pattern's block, taken once per call by the
  // first match that scans; null when there is no block or the index cannot
  // answer for it.
  const NodePropertyIndex::Candidates* indexed_candidates() {
    const auto& block = pattern_.properties();
    if (!block) return nullptr;
    once(indexed_once_, [&] {
      // Against a subset the candidates only filter its members: not worth
      // gathering many more rows than it holds.
      const std::size_t limit = subset_ ? 4 * subset_->size() + 1024 : SIZE_MAX;
      indexed_ = graph_.node_property_index().candidates(*block, limit);
    });
    return indexed_ ? &*indexed_ : nullptr;
  }

  // fn() for the first match that asks, once per call; the matches that
  // ask meanwhile help with it. Alone, a flag of its own is enough: waiting
  // and helping cost more than the look-ups of a small query.
  struct Once {
    tbb::collaborative_once_flag flag;
    bool done = false;  // alone only
  };
  template <class Fn>
  void once(Once& once, Fn&& fn) {
    if (!alone_) {
      tbb::collaborative_call_once(once.flag, fn);
      return;
    }
    if (once.done) return;
    fn();
    once.done = true;
  }

  const Graph& graph_;
  const NodePattern& pattern_;
  const NodeUidSetPtr subset_;
  const bool alone_;
  detail::BlockCopies block_;
  detail::MatchSink sink_;
  std::atomic<std::uint64_t> next_id_{0};
  Once all_nodes_once_;
  std::vector<std::pair<Uid, TypeId>> all_nodes_;  // written only inside all_nodes_once_
  Once node_ids_once_;
  std::vector<TypeId> node_ids_;  // written only inside node_ids_once_
  Once indexed_once_;
  std::optional<NodePropertyIndex::Candidates> indexed_;  // written only inside indexed_once_
};

}  // namespace

Result<MatchSet> match_node_pattern(const Graph& graph, const NodePattern& pattern, MatchSet matches,
                                    NodeUidSetPtr subset) {
  NodeScan scan(graph, pattern, std::move(subset), matches->walks_on_caller());
  VM_TRY(detail::for_each_match(*matches, [&](const MatchEntry& entry) { return scan.extend(entry); }));
  return scan.output();
}

Result<std::optional<MatchPtr>> check_node_matches(const Graph& graph, const Uid& uid, const NodePattern& pattern,
                                                   MatchPtr m) {
  const auto& block = pattern.properties();
  return detail::check_node_matches(graph, uid, pattern, block ? &*block : nullptr, std::move(m));
}

Result<bool> detail::node_block_accepts(const Graph& graph, const Uid& uid, std::uint32_t id, const PropertyMap* block,
                                        const std::pair<std::string, Value>* single,
                                        const NodePropertyIndex::Candidates* filter) {
  if (filter && !filter->contains(uid)) return false;
  if (single) {
    // A missing row falls through to the full check, for its error.
    const auto accepts = [&](const PropertyMap& stored) { return entry_matches(*single, stored); };
    auto accepted =
        id != MatchEntry::kNoId ? graph.with_node_properties(id, accepts) : graph.with_node_properties(uid, accepts);
    if (accepted) return *accepted;
    const PropertyMap lone(PropertyEntries{*single});
    return with_context(check_node_matches_properties(graph, uid, lone), "check node matches");
  }
  return with_context(check_node_matches_properties(graph, uid, *block), "check node matches");
}

Result<std::optional<MatchPtr>> detail::check_node_matches(const Graph& graph, const Uid& uid,
                                                           const NodePattern& pattern, const PropertyMap* block,
                                                           MatchPtr m) {
  MatchPtr frame = Match::create(std::move(m));
  if (const auto& schema = pattern.type_schema()) {
    auto checked =
        VM_TRY_CTX(check_type_matches(graph, uid, schema->pattern(), std::move(frame)), "check node matches");
    if (!checked) return std::nullopt;
    frame = std::move(*checked);
  }
  if (const auto& schema = pattern.term_schema()) {
    auto checked =
        VM_TRY_CTX(check_term_matches(graph, uid, schema->pattern(), std::move(frame)), "check node matches");
    if (!checked) return std::nullopt;
    frame = std::move(*checked);
  }
  if (block) {
    if (!VM_TRY_CTX(check_node_matches_properties(graph, uid, *block), "check node matches")) return std::nullopt;
  }
  return frame;
}

}  // namespace velmora::graph::matches
