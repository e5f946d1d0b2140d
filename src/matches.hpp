// Match frames, their bindings, and match sets.
//
// A match is a chain of frames: each frame holds only the bindings made at its
// step and points to the frame it extends, so sibling matches share their
// ancestors. Look-ups search from the root down; a name bound anywhere in the
// chain cannot be bound again through `insert`. A frame may carry a creation
// counter, set once by a `limit` step.
//
// Frames are read and extended from pool threads: every access to a frame's
// own bindings takes that frame's lock (not tracked by the deadlock detector)
// for the look-up or update alone, except that a look-up in a frame with no
// bindings answers from an atomic count without the lock, so the many tasks
// reading one shared ancestor (the root, most often) do not contend on it. A
// frame is filled only by the task that made it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "utils/creation_counter.hpp"
#include "utils/sharded_map.hpp"
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

  Kind kind() const { return kind_; }
  // "type", "term", "node" or "edge".
  std::string_view kind_word() const;
  const Uid& uid() const { return first_; }
  EdgeKey edge_key() const { return {first_, second_}; }

  // The payload if the element is of the asked case; otherwise ContextConflict
  // {name, the element's kind word, the asked kind word, context}.
  Result<Uid> as_type(std::string_view name, Context context = std::nullopt) const;
  Result<Uid> as_term(std::string_view name, Context context = std::nullopt) const;
  Result<Uid> as_node(std::string_view name, Context context = std::nullopt) const;
  Result<EdgeKey> as_edge(std::string_view name, Context context = std::nullopt) const;

  bool operator==(const MatchElement&) const = default;

 private:
  MatchElement(Kind kind, const Uid& first, const Uid& second)
      : kind_(kind), first_(first), second_(second) {}
  Result<Uid> as_uid(Kind wanted, std::string_view name, Context&& context) const;

  Kind kind_;
  Uid first_;
  Uid second_;  // the end uid of an edge, zero otherwise
};

class Match;
using MatchPtr = std::shared_ptr<Match>;

class Match {
 public:
  // `Match::new`: an empty frame extending `parent` (none for a root).
  static MatchPtr create(MatchPtr parent = nullptr);

  Match(const Match&) = delete;
  Match& operator=(const Match&) = delete;
  ~Match();

  // The binding nearest the root, or none.
  std::optional<MatchElement> get(std::string_view name) const;
  bool contains_key(std::string_view name) const;
  // Binds `name` in this frame; VariableAlreadyExists when the chain binds it.
  Status insert(std::string_view name, const MatchElement& element);
  // Binds `name` in this frame unless the chain binds it already, and then
  // returns that binding (the one nearest the root) instead: `get` and
  // `insert` in one walk up the chain.
  std::optional<MatchElement> bind(std::string_view name, const MatchElement& element);
  // Takes the binding out of this frame, or else out of the nearest ancestor
  // that holds it.
  std::optional<MatchElement> remove(std::string_view name);

  // A unit of the nearest counter up the chain (nothing when that counter is
  // spent); CreationCounterNotFound when no frame has one. May wait.
  Result<std::optional<utils::SlotGuard>> get_counter() const;
  // Gives this frame a counter of `limit` unless it has one; true if this call did.
  bool set_counter(std::uint32_t limit);
  bool has_own_counter() const { return counter_.load(std::memory_order_acquire) != nullptr; }

  const MatchPtr& parent() const { return parent_; }

 private:
  explicit Match(MatchPtr parent) : parent_(std::move(parent)) {}
  struct Made;  // lets `create` allocate frame and count in one block
  // Adds the binding to this frame, under its lock.
  void append(std::string_view name, const MatchElement& element);
  // This frame's own binding of `name`.
  std::optional<MatchElement> own(std::string_view name) const;

  MatchPtr parent_;
  mutable std::shared_mutex mutex_;
  std::vector<std::pair<std::string, MatchElement>> elements_;  // guarded by mutex_
  std::atomic<std::size_t> bound_{0};  // elements_.size(), written under mutex_
  // Published once; owned by this frame (a heap-held handle so guards can keep
  // the counter alive past the frame).
  std::atomic<std::shared_ptr<utils::CreationCounter>*> counter_{nullptr};
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

// Match id to (prev_uid, frame). Ids are unique within one set, drawn from a
// counter local to the step that builds it.
using MatchSetMap = utils::ShardedMap<std::uint64_t, MatchEntry>;
using MatchSet = std::shared_ptr<MatchSetMap>;

inline MatchSet new_match_set() { return std::make_shared<MatchSetMap>(); }

}  // namespace velmora
