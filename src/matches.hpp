// Match frames, their bindings, and match sets.
//
// A match is a chain of frames: each frame holds only the bindings made at its
// step and points to the frame it extends, so sibling matches share their
// ancestors. Look-ups search from the root down; a name bound anywhere in the
// chain cannot be bound again through `insert`. A frame may carry a creation
// counter, set once by a `limit` step.
//
// Frames are read and extended from pool threads. Look-ups take no lock: a
// frame's bindings form a list that only grows at its head, each binding
// complete before it is linked, and a removal marks its binding instead of
// unlinking it; so the many tasks reading one shared ancestor never contend.
// Writers of one frame take turns on a spin flag (a frame is filled only by
// the task that made it, so they hardly ever meet).
//
// Memory: each thread carves the frames it makes from blocks of its own, and
// a block goes back to the heap with the last of its frames, whichever thread
// drops it; so a frame that lives long keeps its block (a few tens of KiB).
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_group.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "parallel.hpp"
#include "utils/creation_counter.hpp"
#include "utils/tsan.hpp"
#include "utils/uid.hpp"

namespace velmora {

// What a variable is bound to.
class MatchElement {
 public:
  enum class Kind : std::uint8_t { Type = 0, Term = 1, Node = 2, Edge = 3 };

  static MatchElement type(const Uid& uid) { return {Kind::Type, uid, {}}; }
  // A term, by the uid of its type (under which it is stored).
  static MatchElement term(const Uid& uid) { return {Kind::Term, uid, {}}; }
  static MatchElement node(const Uid& uid) { return {Kind::Node, uid, {}}; }
  static MatchElement edge(const EdgeKey& key) { return {Kind::Edge, key.first, key.second}; }

  // The same, given the store's own copies of the uids (in its type rows,
  // which stay in place as long as the store lives): a frame then keeps
  // their addresses instead of copies, and a reference made from it too.
  static MatchElement stored_type(const Uid& row) { return {Kind::Type, row, {}, &row}; }
  static MatchElement stored_term(const Uid& row) { return {Kind::Term, row, {}, &row}; }
  static MatchElement stored_node(const Uid& row) { return {Kind::Node, row, {}, &row}; }
  static MatchElement stored_edge(const Uid& start_row, const Uid& end_row) {
    return {Kind::Edge, start_row, end_row, &start_row, &end_row};
  }

  Kind kind() const { return kind_; }
  // "type", "term", "node" or "edge".
  std::string_view kind_word() const;
  const Uid& uid() const { return first_; }
  EdgeKey edge_key() const { return {first_, second_}; }
  // The store's copies of the uid and of an edge's end uid, when the element
  // was made from them; else null.
  const Uid* row_uid() const { return row_first_; }
  const Uid* row_end() const { return row_second_; }

  // The payload if the element is of the asked case; otherwise ContextConflict
  // {name, the element's kind word, the asked kind word, context}.
  Result<Uid> as_type(std::string_view name, Context context = std::nullopt) const;
  Result<Uid> as_term(std::string_view name, Context context = std::nullopt) const;
  Result<Uid> as_node(std::string_view name, Context context = std::nullopt) const;
  Result<EdgeKey> as_edge(std::string_view name, Context context = std::nullopt) const;

  // Elements are equal by kind and uids, wherever their uids are kept.
  bool operator==(const MatchElement& other) const {
    return kind_ == other.kind_ && first_ == other.first_ && second_ == other.second_;
  }

 private:
  MatchElement(Kind kind, const Uid& first, const Uid& second, const Uid* row_first = nullptr,
               const Uid* row_second = nullptr)
      : kind_(kind), first_(first), second_(second), row_first_(row_first), row_second_(row_second) {}
  Result<Uid> as_uid(Kind wanted, std::string_view name, Context&& context) const;

  Kind kind_;
  Uid first_;
  Uid second_;  // the end uid of an edge, zero otherwise
  const Uid* row_first_;
  const Uid* row_second_;
};

// A bound element as its frame keeps it: the addresses of its uid and (for
// an edge) its end uid, either the store's copies or the frame's own.
// `Match::find` hands these out; each lives as long as its frame.
class StoredElement {
 public:
  StoredElement(const StoredElement&) = delete;
  StoredElement& operator=(const StoredElement&) = delete;

  MatchElement::Kind kind() const { return kind_; }
  const Uid& uid() const { return *first_; }
  // The edge's key; for another kind, the uid and zero (as MatchElement's).
  EdgeKey edge_key() const;
  MatchElement element() const;
  // The store's copy of the uid, which outlives the frame as long as the
  // store lives; null when the frame keeps the only copy.
  const Uid* row_uid() const { return in_rows_ ? first_ : nullptr; }
  // The store's copy of an edge's end uid, the same way.
  const Uid* row_end() const;

 private:
  friend class Match;
  StoredElement(MatchElement::Kind kind, bool in_rows, const Uid* first, std::uint32_t name_size)
      : kind_(kind), in_rows_(in_rows), name_size_(name_size), first_(first) {}

  MatchElement::Kind kind_;
  bool in_rows_;  // first_ (and an edge's end) point into the store's rows
  // What the frame keeps of the binding beside the element, in its spare
  // bytes: whether it was removed (once) and its name's length.
  std::atomic<bool> removed_{false};
  std::uint32_t name_size_;
  const Uid* first_;
};

class Match;
using MatchPtr = std::shared_ptr<Match>;

class Match {
 public:
  // An empty frame extending `parent` (none for a root).
  static MatchPtr create(MatchPtr parent = nullptr);
  // `create(parent)` then `insert(name, element)`, the binding made before
  // the frame is handed out: VariableAlreadyExists when the chain binds `name`.
  static Result<MatchPtr> create_with(MatchPtr parent, std::string_view name, const MatchElement& element);
  // The same without the look-up, for a caller that has just seen that the
  // chain does not bind `name` (a chain binding it already would keep its
  // binding: the one nearest the root wins).
  static MatchPtr create_bound(MatchPtr parent, std::string_view name, const MatchElement& element);

  Match(const Match&) = delete;
  Match& operator=(const Match&) = delete;
  ~Match();

  // The binding nearest the root, or none.
  std::optional<MatchElement> get(std::string_view name) const;
  // The same in place: the element stays valid while this frame lives (a
  // removal meanwhile does not free it).
  const StoredElement* find(std::string_view name) const;
  bool contains_key(std::string_view name) const;
  // Binds `name` in this frame; VariableAlreadyExists when the chain binds it.
  Status insert(std::string_view name, const MatchElement& element);
  // Binds `name` in this frame unless the chain binds it already, and then
  // returns that binding (the one nearest the root) instead: `get` and
  // `insert` in one walk up the chain.
  std::optional<MatchElement> bind(std::string_view name, const MatchElement& element);
  // Takes the binding out of this frame, or else out of the nearest ancestor
  // that holds it. Of several callers racing for one binding, one gets it.
  std::optional<MatchElement> remove(std::string_view name);

  // A unit of the nearest counter up the chain (nothing when that counter is
  // spent); CreationCounterNotFound when no frame has one. May wait.
  Result<std::optional<utils::SlotGuard>> get_counter() const;
  // The nearest counter up the chain, or null when no frame has one. It
  // lives at least as long as this frame.
  utils::CreationCounter* nearest_counter() const;
  // Gives this frame a counter of `limit` unless it has one; true if this call did.
  bool set_counter(std::uint32_t limit);
  bool has_own_counter() const { return counter_.load(std::memory_order_acquire) != nullptr; }

  const MatchPtr& parent() const { return parent_; }

 private:
  // One binding: its element, then (edges only) the address of the edge's
  // end uid, then the frame's own copies of the uids when the element did
  // not come with the store's, then the name's bytes. Its name and element
  // never change once it is linked into its frame; only `removed` does, once.
  struct Binding {
    Binding(MatchElement::Kind kind, bool in_rows, const Uid* first, std::size_t name_size);
    StoredElement element;    // with the removal mark and the name's length
    Binding* next = nullptr;  // older bindings of the frame; fixed once linked

    std::atomic<bool>& removed() { return element.removed_; }
    bool is_removed() const { return element.removed_.load(std::memory_order_acquire); }
    std::size_t name_size() const { return element.name_size_; }

    // The bytes a binding of `element` under a name of `name_size` bytes takes.
    static std::size_t size_for(const MatchElement& element, std::size_t name_size);
    std::size_t size() const;
    const Uid* end_uid() const;   // edges only
    std::size_t name_at() const;  // the offset of the name's bytes
    std::string_view name() const;
  };
  friend class StoredElement;
  template <std::size_t Room>
  struct Made;  // a frame with `Room` bytes for bindings, and its count, in one block

  Match(MatchPtr parent, std::uint16_t room) : parent_(std::move(parent)), room_size_(room) {}
  // A frame whose room fits a first binding of `need` bytes.
  static MatchPtr make(MatchPtr parent, std::size_t need);
  // The frame's room for bindings, right behind it in its block.
  unsigned char* room() { return reinterpret_cast<unsigned char*>(this) + sizeof(Match); }
  // Makes the binding in this frame's room, or beside it when it does not
  // fit; not linked yet. Only its writer may call it.
  Binding* place(std::string_view name, const MatchElement& element);
  // Links the binding into this frame (writers of one frame take turns).
  void append(std::string_view name, const MatchElement& element);
  // This frame's own live binding of `name`.
  const Binding* own(std::string_view name) const;

  MatchPtr parent_;
  // Newest binding first. Readers follow the list without a lock: a binding
  // is complete before the release store that links it, and is freed only
  // with the frame. A removal marks the binding instead of unlinking it.
  std::atomic<Binding*> head_{nullptr};
  // Published once; owned by this frame (a heap-held handle so guards can keep
  // the counter alive past the frame).
  std::atomic<std::shared_ptr<utils::CreationCounter>*> counter_{nullptr};
  std::atomic<bool> writing_{false};  // a spin flag serializing writers of this frame
  // Most frames get exactly one binding, made in the room behind the frame:
  // one allocation per frame, and a look-up finds it beside the frame.
  const std::uint16_t room_size_;
  std::uint16_t room_used_ = 0;  // written by writers under writing_
  // Whether a binding went beside the frame (written under writing_): a frame
  // without one frees nothing else, and is freed without a walk of its list.
  bool spilled_ = false;
};

struct MatchEntry {
  static constexpr std::uint32_t kNoId = 0xFFFFFFFFu;
  Uid prev_uid;  // the element last matched (or created) for this match
  MatchPtr match;
  // The store's id for prev_uid's node when the step that made the entry
  // knew it (kNoId otherwise): the next step then finds the node's row
  // without looking the uid up.
  std::uint32_t prev_id = kNoId;
};

// Match id to (prev_uid, frame): a list of chunks of entries. Ids are unique
// within one set, drawn from a counter local to the step that builds it; the
// set neither checks nor indexes them. Entries come in through `insert` (any
// thread, one at a time, under the set's lock) or whole chunks at once
// through `append_chunk` (a step's per-thread output); no order is promised.
// Most sets of a small query hold one entry: the first single insert is kept
// in the set itself, ahead of every chunk, so such a set is one allocation.
//
// A set is written by one phase and read by the next, never both at once:
// the walks take no lock. A walk of at most kInlineWalk entries runs on the
// calling thread; a larger one hands the pool pieces of at most kWalkGrain
// entries, smaller for a set of a few thousand so every thread gets some.
class MatchSetMap {
 public:
  using value_type = std::pair<std::uint64_t, MatchEntry>;
  using Chunk = std::vector<value_type>;
  // What a walk hands its function: a run of entries.
  using Table = std::span<const value_type>;

  static constexpr std::size_t kInlineWalk = 512;
  static constexpr std::size_t kWalkGrain = 1024;
  // The capacity of a step's output chunks.
  static constexpr std::size_t kChunkCapacity = 1024;

  MatchSetMap() = default;
  MatchSetMap(const MatchSetMap&) = delete;
  MatchSetMap& operator=(const MatchSetMap&) = delete;
  ~MatchSetMap();

  std::size_t size() const { return size_.load(std::memory_order_acquire); }
  bool empty() const { return size() == 0; }
  // Whether the parallel walks run on the calling thread, in the set's order.
  bool walks_on_caller() const { return size() <= kInlineWalk; }

  // The entry under `id`, found by a walk over the whole set (for checks and
  // tests, not for steps).
  std::optional<MatchEntry> get(std::uint64_t id) const;
  // Every id, in the set's order.
  std::vector<std::uint64_t> keys() const;

  // Adds one entry; any thread.
  void insert(std::uint64_t id, MatchEntry entry);
  // Adds a whole chunk of entries; any thread.
  void append_chunk(Chunk&& chunk);

  // fn(Table) for every run of entries, in turn on the calling thread.
  template <class Fn>
  void for_each_shard(Fn&& fn) const {
    if (first_) fn(Table(&*first_, 1));
    for (const Chunk& chunk : chunks_)
      if (!chunk.empty()) fn(Table(chunk));
  }
  // fn(offset, Table) for runs of entries, where offset is
  // the position of the run's first entry in the set's order; in parallel on
  // the pool (in turn on the calling thread for a small set).
  template <class Fn>
  void for_each_run_parallel(Fn&& fn, tbb::task_group_context& ctx) const {
    std::vector<std::pair<std::size_t, Table>> runs;
    std::size_t offset = 0;
    for (const Table& piece : split()) {
      runs.emplace_back(offset, piece);
      offset += piece.size();
    }
    if (size() <= kInlineWalk) {
      for (const auto& [first, piece] : runs) {
        if (ctx.is_group_execution_cancelled()) return;
        fn(first, piece);
      }
      return;
    }
    utils::tsan::Join join;
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, runs.size(), 1),
                      utils::tsan::body(
                          [&](const tbb::blocked_range<std::size_t>& range) {
                            for (std::size_t i = range.begin(); i != range.end(); ++i)
                              fn(runs[i].first, runs[i].second);
                          },
                          join),
                      tbb::simple_partitioner(), ctx);
    join.joined();
  }

  // fn(Table) for runs of entries, in parallel on the pool
  // (in turn on the calling thread for a small set).
  template <class Fn>
  void for_each_shard_parallel(Fn&& fn) const {
    tbb::task_group_context ctx;
    for_each_shard_parallel(std::forward<Fn>(fn), ctx);
  }
  // The same under a task group context, so a caller can cancel the walk.
  template <class Fn>
  void for_each_shard_parallel(Fn&& fn, tbb::task_group_context& ctx) const {
    if (walks_on_caller()) {
      if (first_) fn(Table(&*first_, 1));
      for (const Chunk& chunk : chunks_) {
        if (ctx.is_group_execution_cancelled()) return;
        if (!chunk.empty()) fn(Table(chunk));
      }
      return;
    }
    const std::vector<Table> pieces = split();
    utils::tsan::Join join;
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, pieces.size(), 1),
                      utils::tsan::body(
                          [&](const tbb::blocked_range<std::size_t>& range) {
                            for (std::size_t i = range.begin(); i != range.end(); ++i) fn(pieces[i]);
                          },
                          join),
                      tbb::simple_partitioner(), ctx);
    join.joined();
  }

  // Empties the set, handing its chunks to the caller (who must be the only
  // one holding the set).
  std::vector<Chunk> take_chunks();

  // Drops every entry; a large set is emptied on the pool, as its entries
  // release their frames one by one.
  void clear_parallel();

 private:
  // The entries cut into runs of at most `light_grain(size())`.
  std::vector<Table> split() const;

  std::mutex mutex_;                 // taken by writers only
  std::optional<value_type> first_;  // the first single insert; written under mutex_
  std::vector<Chunk> chunks_;        // written under mutex_; chunks_[0] takes later single inserts
  std::atomic<std::size_t> size_{0};
};

using MatchSet = std::shared_ptr<MatchSetMap>;

inline MatchSet new_match_set() { return std::make_shared<MatchSetMap>(); }

// A set of one entry: a new root match, with no binding and no counter.
MatchSet root_match_set();

// Drops `set` on the pool when it is large and this is its last holder, so
// the caller does not wait for its frames to be freed.
void release_in_background(MatchSet&& set);

}  // namespace velmora
