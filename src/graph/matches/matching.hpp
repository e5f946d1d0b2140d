// Matching of node, edge and path patterns against the store.
//
// `match_path_pattern` extends every match of a match set along a whole
// path: the first node through
// `match_node_pattern`, then each edge through `match_edge_pattern` and the
// node behind it through `check_node_matches`; an edge that binds and checks
// nothing (`is_plain`) goes with its node in one pass (`plain_edge_run`). The
// functions here are its steps; they only read the store and write nothing
// but new match frames and new match sets. The input set and its frames are
// never changed: every binding goes into a new child frame made for that one
// candidate.
//
// Threads: any thread may call these, the Python caller's and the pool's, as
// long as the interpreter lock is never needed (nothing here touches Python;
// opaque property values compare by address). A step runs its input matches,
// candidates and edges on the calling thread while they are few (see
// `try_for_each_light`), and on the global pool in pieces beyond that;
// a one-entry property block is compared without the pool; the calling thread
// waits. A step stops at its first error and returns it, dropping its partial
// output. A fault (`Panic`, the any-direction refusal) unwinds through the
// pool to the caller untouched.
//
// Locks: a walk over a match set takes none (a set is not written while it is
// read); a walk over a subset holds the read lock of the shard it walks while
// that shard's entries are processed. Edge lists come from the store's one
// reader (`Graph::read_edge_lists`), copied under their rows' read locks and
// walked unlocked; a long run of matches has its nodes looked up one shard
// read lock at a time, never two at once. Type rows and terms are read
// without locks. Other store rows are read-locked for their look-up only,
// except a node's row or an edge's map, which stays read-locked while its
// property map is compared. Writes go only into sets that no task reads in
// that phase: each thread gathers the new entries of a step in chunks of its
// own, and once the step is done the chunks become the output set.
#pragma once

#include <absl/container/inlined_vector.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "graph/matches/schemas.hpp"
#include "graph/store.hpp"
#include "matches.hpp"
#include "parallel.hpp"
#include "patterns/edge.hpp"
#include "patterns/node.hpp"
#include "patterns/path.hpp"
#include "properties.hpp"
#include "utils/uid.hpp"

namespace velmora::graph {

// Extends every match of `matches` along the whole path; within `subset`
// when there is one. Errors: InvalidPattern when the path is not a chain of
// nodes and edges, and those of the steps below, each with the line
// "graph - match path pattern".
Result<MatchSet> match_path_pattern(const Graph& graph, const patterns::PathPattern& path, MatchSet matches,
                                    NodeUidSetPtr subset);

}  // namespace velmora::graph

namespace velmora::graph::matches {

// Extends every match of `matches` by the node `pattern` names. A match whose chain already binds the
// pattern's variable keeps its frame and is only checked (the subset is not
// consulted); otherwise each candidate node gets a new child frame binding the
// variable. Candidates come from the type schema, else the term schema, else
// every node of the store (or of `subset`), and must be nodes (or `subset`
// members). Each entry's prev_uid is the node matched; ids are unique within
// the returned set. Errors, each with the line "graph - match node pattern":
// ContextConflict when the variable holds no node; errors of the schema checks
// and scans (TermNotFound only for a bound node: a candidate without a term is
// skipped); NodeNotFound for a property block on a uid that is not a node;
// VariableAlreadyExists when a schema capture took the variable's name.
// Without schemas, a block the store's property index answers for takes its
// candidates from the index; every candidate is still compared with the whole
// block, so the matches and errors are those of the scan.
Result<MatchSet> match_node_pattern(const Graph& graph, const patterns::NodePattern& pattern, MatchSet matches,
                                    NodeUidSetPtr subset);

// Checks the node `uid` against `pattern`: its type schema, term schema and property block, in that order, in a new
// child frame of `m`. Returns that frame (or a descendant holding the schemas' bindings), or none when the node does
// not fit. It neither checks that the node exists nor binds the pattern's variable. Errors get the line "check node
// matches"; TermNotFound is an error here.
Result<std::optional<MatchPtr>> check_node_matches(const Graph& graph, const Uid& uid,
                                                   const patterns::NodePattern& pattern, MatchPtr m);

// Whether the node `uid` carries every key of `block` with an equal value.
// Holds the node's row read-locked
// while the block's entries are compared in parallel. NodeNotFound (context
// "check node matches properties", no line) when `uid` is not a node.
Result<bool> check_node_matches_properties(const Graph& graph, const Uid& uid, const PropertyMap& block);

// The per-entry property test over a whole block: every key of `block` is in
// `stored` and `compare_values(block value, stored value)` holds. An
// empty block matches. Compares in parallel and stops at the first mismatch;
// never fails, the result type being the comparison's.
Result<bool> properties_match(const PropertyMap& block, const PropertyMap& stored);
// The same test for one entry of a block. `stored` is a stored element's map,
// read under its row's lock (which shuts out its writers): the entry is
// compared in place, without the map's own lock or a copy of its value.
bool entry_matches(const std::pair<std::string, Value>& entry, const PropertyMap& stored);

// Extends every match by one edge from the node it reached last (its
// prev_uid), in the pattern's direction. A match
// whose chain binds the edge variable keeps that edge if it fits; otherwise
// each edge of the node (with both ends in `subset` when there is one) that
// fits gets a new child frame binding the variable. Each entry's prev_uid is
// the edge's far end: its end going forward, its start going backward.
// Errors: ContextConflict (the variable holds no edge) and the errors of
// `check_edge_matches` and of binding, with the line
// "graph - match edge pattern"; IndexCorruption when prev_uid is no longer a
// node (its row, edge lists included, is gone). Faults: the any direction, as
// soon as a match reaches this step.
Result<MatchSet> match_edge_pattern(const Graph& graph, const patterns::EdgePattern& pattern, MatchSet matches,
                                    NodeUidSetPtr subset);

// Checks the edge `key` against `pattern` from the node `prev_uid`: it must
// leave prev_uid going forward or enter it going backward; then its arrow type against the type schema, the term
// stored for that type against the term schema, and its property block, in a
// new child frame of `m`. Returns that frame (or a descendant), or none. Binds
// no variable. Errors: IndexCorruption for a key that names no stored edge;
// errors of the schema checks, and EdgeNotFound for a property block on an
// edge removed meanwhile, with the line "check edge matches". Faults: the
// any direction.
Result<std::optional<MatchPtr>> check_edge_matches(const Graph& graph, const Uid& prev_uid, const EdgeKey& key,
                                                   const patterns::EdgePattern& pattern, MatchPtr m);

namespace detail {

// The binding of the node `uid`: by the store's own copy of the uid when its
// id is known (kNoId otherwise), so frames and references keep an address.
inline MatchElement node_element(const Graph& graph, const Uid& uid, std::uint32_t id) {
  return id != MatchEntry::kNoId ? MatchElement::stored_node(graph.types().uid(id)) : MatchElement::node(uid);
}

// A pattern's property block as the tasks of one step compare it. Every
// acquisition of a property map's lock updates that lock's holder record, so
// thousands of candidates reading one shared block would queue on it; each
// thread compares against a copy of its own instead, taken once from the
// block under the block's read lock. The copies hold the same keys and values
// (an opaque value's copy refers to the same object). Any thread may call
// `local`; the copies are dropped with this object.
class BlockCopies {
 public:
  // On the step's calling thread: a block of one entry is kept as that entry.
  explicit BlockCopies(const std::optional<PropertyMap>& block) : block_(block) {
    if (!block_) return;
    auto entries = block_->iter();
    if (entries.size() == 1) single_ = std::move(entries.front());
  }

  // The block's only entry, read-only from any thread; null for a block of
  // another size or none.
  const std::pair<std::string, Value>* single() const { return single_ ? &*single_ : nullptr; }

  // This thread's copy of the block; null when the pattern has none.
  const PropertyMap* local() {
    if (!block_) return nullptr;
    std::optional<PropertyMap>& copy = copies_.local();
    if (!copy) {
      auto entries = block_->iter();
      copy.emplace(PropertyEntries(std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end())));
    }
    return &*copy;
  }

 private:
  const std::optional<PropertyMap>& block_;
  std::optional<std::pair<std::string, Value>> single_;
  tbb::enumerable_thread_specific<std::optional<PropertyMap>> copies_;
};

// `match_edge_pattern`; with `share_frames`, an edge that binds nothing and
// has no schema keeps its input frame instead of a new empty child, for a
// caller whose next step makes the frames the matches keep. With `reversed`,
// the edge is walked from its right node to its left (a path walked from its
// far end): each match's prev_uid is then the pattern's right node, and each
// entry made reaches its left node.
Result<MatchSet> match_edge_pattern(const Graph& graph, const patterns::EdgePattern& pattern, MatchSet matches,
                                    NodeUidSetPtr subset, bool share_frames, bool reversed = false);

// `match_path_pattern` walking every match from the path's first node, the
// written order, whatever node the walk order would choose: for tests that
// hold the two against each other.
Result<MatchSet> match_path_in_written_order(const Graph& graph, const patterns::PathPattern& path, MatchSet matches,
                                             NodeUidSetPtr subset);

// Whether `pattern` binds nothing and checks nothing but its direction (not
// the any direction): its step only walks each node's edge list.
bool is_plain(const patterns::EdgePattern& pattern);

// An edge a plain step found: the position of its match in the run, and its
// far end's id.
struct Reached {
  std::uint32_t entry;
  TypeId far;
};
using Reaches = absl::InlinedVector<Reached, 32>;
// The step of the plain edge `pattern` for a run of matches, in the run's
// order: each edge of each match's node (both ends in `subset` when there is
// one) is appended to `reached`; no frame is made, the match keeps its own.
// Errors as `match_edge_pattern`'s (IndexCorruption for a node without a row
// or an edge without one), stopping at the first. `reversed` as for
// `match_edge_pattern`.
Status plain_edge_run(const Graph& graph, const patterns::EdgePattern& pattern, bool reversed, MatchSetMap::Table run,
                      const NodeUidSetPtr& subset, Reaches& reached);

// `check_node_matches` and `check_edge_matches` comparing `block` (a copy of
// the pattern's block, or null for none) in place of the pattern's own.
Result<std::optional<MatchPtr>> check_node_matches(const Graph& graph, const Uid& uid,
                                                   const patterns::NodePattern& pattern, const PropertyMap* block,
                                                   MatchPtr m);
// `walked`: the direction the edge is walked in from prev_uid (the pattern's,
// or its opposite for a reversed step). `filter`, when given, holds the
// index's candidates for the block: an edge outside it fails the block
// without a comparison.
Result<std::optional<MatchPtr>> check_edge_matches(const Graph& graph, const Uid& prev_uid, const EdgeKey& key,
                                                   const patterns::EdgePattern& pattern, patterns::Direction walked,
                                                   const PropertyMap* block, MatchPtr m,
                                                   const EdgePropertyIndex::Candidates* filter = nullptr);

// The block check of `check_node_matches` on its own, with its error and
// line, for a pattern without schemas: whether the node `uid` (its id `id`,
// or kNoId) carries the block, given as its one entry `single` or else as
// `block`. `filter`, when given, holds the index's candidates for the block:
// a node outside it fails without a look at its map.
Result<bool> node_block_accepts(const Graph& graph, const Uid& uid, std::uint32_t id, const PropertyMap* block,
                                const std::pair<std::string, Value>* single,
                                const NodePropertyIndex::Candidates* filter);

// `check_node_matches_properties` for the node whose type id is `id` (its
// uid `uid`, for the error).
Result<bool> check_node_row_properties(const Graph& graph, TypeId id, const Uid& uid, const PropertyMap& block);

// The entries one step makes for its output set. Tasks add to a chunk of
// their own thread; `move_into` then hands every chunk to the set as it is,
// so the threads of a step never queue on the output set while they match,
// and nothing is copied. Entries not moved (a step that failed) are dropped
// with the sink. `add` from any thread; `move_into` once every `add` is done,
// from one thread.
class MatchSink {
  struct Local;

 public:
  // Adds `entry` under an id unique among this sink's own: each thread draws
  // ids in blocks, so the threads of a step share no counter per entry.
  void add(MatchEntry entry) { add(local(), std::move(entry)); }
  // Adds `entry` under the caller's id (a caller that draws every id of the
  // set itself).
  void add(std::uint64_t id, MatchEntry entry) { push(local(), id, std::move(entry)); }

  // This thread's part of the sink, found once for a whole run of adds (a
  // look-up of the thread's part costs about as much as the add itself).
  // Only for the thread that took it, until `move_into`.
  class Writer {
   public:
    void add(MatchEntry entry) { sink_->add(*local_, std::move(entry)); }
    void add(std::uint64_t id, MatchEntry entry) { push(*local_, id, std::move(entry)); }

   private:
    friend class MatchSink;
    Writer(MatchSink& sink, Local& local) : sink_(&sink), local_(&local) {}
    MatchSink* sink_;
    Local* local_;
  };
  Writer writer() { return Writer(*this, local()); }

  void move_into(MatchSetMap& set) {
    const auto hand_over = [&](Local& local) {
      for (auto& chunk : local.full) set.append_chunk(std::move(chunk));
      set.append_chunk(std::move(local.current));
    };
    hand_over(owner_);
    for (Local& local : locals_) hand_over(local);
  }

 private:
  static constexpr std::uint64_t kIdBlock = 1024;
  struct Local {
    std::vector<MatchSetMap::Chunk> full;
    MatchSetMap::Chunk current;
    std::uint64_t next = 0, end = 0;  // this thread's block of ids
  };

  void add(Local& local, MatchEntry&& entry) {
    if (local.next == local.end) {
      local.next = next_block_.fetch_add(kIdBlock, std::memory_order_relaxed);
      local.end = local.next + kIdBlock;
    }
    push(local, local.next++, std::move(entry));
  }

  static void push(Local& local, std::uint64_t id, MatchEntry&& entry) {
    // Chunks of a fixed capacity: growing one would copy every entry so far.
    if (local.current.size() == MatchSetMap::kChunkCapacity) local.full.push_back(std::move(local.current));
    if (local.current.capacity() == 0) local.current.reserve(local.full.empty() ? 64 : MatchSetMap::kChunkCapacity);
    local.current.emplace_back(id, std::move(entry));
  }

  // The thread that made the sink adds to a part held here, without a
  // look-up (a small step never leaves that thread); the others to parts of
  // their own.
  Local& local() { return std::this_thread::get_id() == owner_thread_ ? owner_ : locals_.local(); }

  const std::thread::id owner_thread_ = std::this_thread::get_id();
  Local owner_;
  tbb::enumerable_thread_specific<Local> locals_;
  std::atomic<std::uint64_t> next_block_{0};
};

// fn(const MatchEntry&) -> Status for every entry of `set`, first error wins:
// on the calling thread for a small set, else in pieces on the pool.
template <class Fn>
Status for_each_match(const MatchSetMap& set, Fn&& fn) {
  return try_for_each_entry(set, [&](std::uint64_t, const MatchEntry& entry) -> Status { return fn(entry); });
}

// Which nodes the store held when a long step began, read from the node table
// in one walk: such a step reaches every node several times over, and a
// table probe for each would cost a cache miss or two. A node not among them
// (stored since, or beyond the ids handed out then) is still looked up in the
// table; a node removed since reads as stored, as it was when the step began.
class StoredNodes {
 public:
  // Worth its walk for a step starting from at least this many matches, and
  // from at least one for every kPerNode stored nodes.
  static constexpr std::size_t kMinMatches = 4096;
  static constexpr std::size_t kPerNode = 8;

  explicit StoredNodes(const Graph& graph) : limit_(graph.types().allocated()), bits_(graph.node_bits(limit_)) {}

  bool contains(TypeId id) const { return id < limit_ && ((bits_[id / 64] >> (id % 64)) & 1) != 0; }

  // The ids of the nodes, in increasing order. A long map is read in
  // pieces on the pool: each piece's count first, then its ids at their
  // place.
  std::vector<TypeId> ids() const {
    const std::size_t words = limit_ / 64 + 1;
    const auto fill = [&](std::size_t begin, std::size_t end, TypeId* out) {
      for (std::size_t w = begin; w != end; ++w)
        for (std::uint64_t word = bits_[w]; word != 0; word &= word - 1)
          *out++ = static_cast<TypeId>(w * 64 + static_cast<std::size_t>(std::countr_zero(word)));
    };
    const auto count = [&](std::size_t begin, std::size_t end) {
      std::size_t n = 0;
      for (std::size_t w = begin; w != end; ++w) n += static_cast<std::size_t>(std::popcount(bits_[w]));
      return n;
    };
    constexpr std::size_t kPiece = 64;  // words
    const std::size_t pieces = (words + kPiece - 1) / kPiece;
    std::vector<TypeId> out;
    if (pieces <= 1) {
      out.resize(count(0, words));
      fill(0, words, out.data());
      return out;
    }
    std::vector<std::size_t> starts(pieces + 1, 0);
    const auto each_piece = [&](auto&& fn) {
      // Its own context, as the walk's: every piece must be read.
      tbb::task_group_context own(tbb::task_group_context::isolated);
      utils::tsan::Join join;
      tbb::parallel_for(std::size_t{0}, pieces, utils::tsan::body([&](std::size_t p) { fn(p); }, join),
                        tbb::auto_partitioner(), own);
      join.joined();
    };
    each_piece([&](std::size_t p) { starts[p + 1] = count(p * kPiece, std::min(words, (p + 1) * kPiece)); });
    for (std::size_t p = 0; p < pieces; ++p) starts[p + 1] += starts[p];
    out.resize(starts[pieces]);
    each_piece([&](std::size_t p) { fill(p * kPiece, std::min(words, (p + 1) * kPiece), out.data() + starts[p]); });
    return out;
  }

 private:
  const TypeId limit_;
  const std::unique_ptr<std::uint64_t[]> bits_;
};

}  // namespace detail

}  // namespace velmora::graph::matches
