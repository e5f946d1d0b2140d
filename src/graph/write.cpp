// Writing the store: insertion with term propagation, linking an edge to its
// ends, removal, and property updates.
//
// Lock order. The store's locks nest in one order, and only the code in this
// file takes more than one at a time: node shards first (several at once in
// ascending shard order, for an edge's two ends or a removed node and its
// neighbours), then an edge stripe, then an index shard of the type table or
// of a property index; a property map's own lock comes last. No store lock
// is held while a nested insertion or propagation runs: propagation reads a
// level's edge lists, lets go, and only then writes the next level.
#include <absl/container/flat_hash_set.h>
#include <absl/container/inlined_vector.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "constants.hpp"
#include "graph/failures.hpp"
#include "graph/schema.hpp"
#include "graph/store.hpp"
#include "parallel.hpp"
#include "utils/source_position.hpp"

// Part of the store: its context lines print the store's module.
VELMORA_MODULE("src/graph/base");

namespace velmora::graph {
namespace {

using failures::attach_times;
using failures::corruption;
using failures::kNoRow;
using failures::self_containing_term;

// fn(tables) with the write locks of the node shards `shards` (ascending,
// without repeats) held, taken in that order; tables[i] is shard i's table.
using NodeTables = std::array<NodeTable::Table*, NodeTable::shard_count()>;
template <class Fn>
void with_node_shards(NodeTable& nodes, std::span<const std::size_t> shards, NodeTables& tables, Fn&& fn) {
  if (shards.empty()) {
    fn(tables);
    return;
  }
  nodes.with_shard_write(shards.front(), [&](NodeTable::Table& table) {
    tables[shards.front()] = &table;
    with_node_shards(nodes, shards.subspan(1), tables, fn);
  });
}

// A set of node shards, one bit each: however many edges a removed node has,
// the shards to lock are gathered without sorting or allocating, and each is
// asked about with one test.
using ShardSet = std::uint64_t;
static_assert(NodeTable::shard_count() <= 64);
ShardSet shard_bit(TypeId id) { return ShardSet{1} << NodeTable::shard_of(id); }
bool has_shard(ShardSet set, TypeId id) { return (set & shard_bit(id)) != 0; }
// The shards of `set` in ascending order, written to `room`.
std::span<const std::size_t> ascending(ShardSet set, std::array<std::size_t, 64>& room) {
  std::size_t count = 0;
  for (; set != 0; set &= set - 1) room[count++] = static_cast<std::size_t>(std::countr_zero(set));
  return std::span<const std::size_t>(room.data(), count);
}

NodeRow* find_row(NodeTables& tables, TypeId id) {
  auto& table = *tables[NodeTable::shard_of(id)];
  auto it = table.find(id);
  return it == table.end() ? nullptr : &it->second;
}

}  // namespace

// ---- insertion -----------------------------------------------------------------

Status Graph::add_arrow_term_edge(const Term& term, const CreatedFlag& created) {
  const auto* arrow = term.type()->as_arrow();
  for (const TypePtr& side : {arrow->left, arrow->right}) {
    const TypeId id = interner_.store_type(*side);
    if (!nodes_.contains(id)) {
      auto inferred = VM_TRY(infer_term(*this, types_->uid(id)));
      VM_TRY(add_node(side, std::move(inferred), PropertyMap::empty(), created));
    }
  }
  VM_TRY(add_edge(term, PropertyMap::empty(), created));
  return {};
}

namespace {

// A new node's map: the one given, or a copy of a pattern's block.
PropertyMap node_map(PropertyMap& given) { return std::move(given); }
PropertyMap node_map(const std::optional<PropertyMap>& block) { return block ? block->copy() : PropertyMap(); }

}  // namespace

template <class Source>
void Graph::insert_node_row(TypeId node, Source&& source, const CreatedFlag& created) {
  // The row carries the node's edge lists, so a node appears with them; its
  // map is indexed under the same write lock. Whether it is there already is
  // read from the type's row: an existing node is most often an edge's end,
  // whose row is looked up next, together with the other end's, by add_edge.
  if (types_->has_node(node)) return;
  bool inserted = false;
  nodes_.upsert(
      node,
      // Under the shard's write lock: a block's copy takes the block's read
      // lock, which comes after every store lock.
      [&] {
        return NodeRow{node_map(source), {}};
      },
      [&](NodeRow& row, bool fresh) {
        if (!fresh) return;
        node_property_index_.add(node, row.properties);
        types_->set_node(node, true);
        inserted = true;
      });
  if (inserted) created->store(true);
}

void Graph::ensure_node(TypeId node, PropertyMap properties, const CreatedFlag& created) {
  insert_node_row(node, properties, created);
}

void Graph::ensure_node_copying(TypeId node, const std::optional<PropertyMap>& block, const CreatedFlag& created) {
  insert_node_row(node, block, created);
}

Result<Uid> Graph::add_node(const TypePtr& type, std::optional<Term> term, PropertyMap properties,
                            const CreatedFlag& created, StoredTypes* known) {
  const TypeId id = interner_.store_type(*type, known, &type);
  bool newly_stored = false;
  if (term && types_->term(id).none()) {
    const auto [stored_id, stored] = interner_.store_term(*term, known);
    if (!stored) return fail(self_containing_term());
    if (stored_id != id)
      return fail(errors::InvalidTerm{"term provided is of a different type than the type provided"});
    if (term->type()->is_arrow()) VM_TRY(add_arrow_term_edge(*term, created));
    newly_stored = true;
  }
  ensure_node(id, std::move(properties), created);
  if (newly_stored) VM_TRY(propagate(id, created));
  return types_->uid(id);
}

Status Graph::propagate(TypeId start, const CreatedFlag& created) {
  // Level by level rather than node by node, so that a long chain costs no
  // stack: each level's edges run in parallel, and every end that gets a term
  // joins the next level. A failure carries one "graph - add node" line per
  // level it came through, as if each level were a nested call.
  std::vector<TypeId> level{start};
  // The rows whose terms this walk checked or stored from checked parts: a
  // chain's terms are checked once each, not once per link behind them. Read
  // by a level's tasks, written between levels.
  absl::flat_hash_set<TypeId> valid;
  for (std::size_t depth = 0; !level.empty(); ++depth) {
    EdgeLists leaving;
    read_edge_lists(level, true, kNoRow, leaving);
    std::vector<std::pair<TypeId, TypeId>> steps;  // (start, arrow)
    for (std::size_t i = 0; i < level.size(); ++i) {
      if (!leaving.found(i))
        return std::unexpected(
            attach_times(Report(corruption("node exists without row in the StartToEdgeIndex", "graph - add node")),
                         "graph - add node", depth));
      for (const TypeId arrow : leaving.of(i)) steps.emplace_back(level[i], arrow);
    }
    std::mutex mutex;
    std::vector<TypeId> next;
    Status status = try_for_each(
        std::span<const std::pair<TypeId, TypeId>>(steps), [&](const std::pair<TypeId, TypeId>& step) -> Status {
          const auto [from, arrow] = step;
          const TypeId end = types_->right(arrow);
          if (!types_->term(end).none()) return {};
          bool reaches = false;
          VM_TRY_CTX(check_term(from, end, reaches, &valid), "graph - add node");
          if (!edges_.contains(arrow))
            return fail(
                corruption("edge exists in EdgeIndex without appearing in EdgeToTypeIndex", "graph - add node"));
          VM_TRY_CTX(check_term(arrow, end, reaches, &valid), "graph - add node");
          // The end's term would contain itself, or another propagation was first.
          if (reaches || !types_->set_term_if_none(end, TermWord::application(arrow, from))) return {};
          if (!types_->is_variable(end)) {
            Term applied = VM_TRY_CTX(term_from_uid(types_->uid(end)), "graph - add node");
            VM_TRY_CTX(add_arrow_term_edge(applied, created), "graph - add node");
          }
          ensure_node(end, PropertyMap::empty(), created);
          std::lock_guard lock(mutex);
          next.push_back(end);
          return {};
        });
    if (!status) return std::unexpected(attach_times(std::move(status).error(), "graph - add node", depth));
    valid.insert(level.begin(), level.end());
    valid.insert(next.begin(), next.end());
    level = std::move(next);
  }
  return {};
}

Result<EdgeKey> Graph::add_edge(const Term& term, PropertyMap properties, const CreatedFlag& created,
                                StoredTypes* known) {
  const auto [arrow, stored] = interner_.store_term(term, known);
  if (!stored) return fail(self_containing_term());
  if (types_->is_variable(arrow))
    return fail(errors::InvalidTerm{"to create an edge you must provide a term of an arrow type"});
  return link_edge(arrow, std::move(properties), created);
}

Result<EdgeKey> Graph::add_constant_edge(TypeId arrow, std::size_t constant, PropertyMap properties,
                                         const CreatedFlag& created) {
  // As Interner::store_term stores a basic term: its word, over any the row had.
  types_->set_term(arrow, TermWord::basic(interner_.name_id(constants_->list()[constant].name())));
  return link_edge(arrow, std::move(properties), created);
}

Result<EdgeKey> Graph::link_edge(TypeId arrow, PropertyMap properties, const CreatedFlag& created) {
  const TypeId s = types_->left(arrow), e = types_->right(arrow);

  // Both ends are checked and the edge written under their shards' locks, so
  // an edge never outlives an end removed at the same time, and a failure
  // leaves nothing behind.
  const std::size_t start_shard = NodeTable::shard_of(s), end_shard = NodeTable::shard_of(e);
  const std::array<std::size_t, 2> shards{std::min(start_shard, end_shard), std::max(start_shard, end_shard)};
  const std::size_t shard_count = start_shard == end_shard ? 1 : 2;
  NodeTables tables{};
  const char* missing = nullptr;
  with_node_shards(nodes_, std::span(shards.data(), shard_count), tables, [&](NodeTables& locked) {
    NodeRow* start = find_row(locked, s);
    if (!start) {
      missing = "start_to_edge_index not initialized for some node already in the graph";
      return;
    }
    NodeRow* end = find_row(locked, e);
    if (!end) {
      missing = "end_to_edge_index not initialized for some node already in the graph";
      return;
    }
    // Both lists are written below, after the edge's own lock: their blocks
    // are asked for together now.
    start->edges.prefetch();
    end->edges.prefetch();
    // The edge takes the map over; an existing edge's map is replaced.
    const bool replaced = edges_
                              .insert(arrow, std::move(properties),
                                      [&](const PropertyMap* old, const PropertyMap& map) {
                                        if (old) {
                                          edge_property_index_.overwrite(arrow, *old, map);
                                        } else {
                                          edge_property_index_.add(arrow, map);
                                        }
                                      })
                              .has_value();
    if (replaced) return;
    start->edges.add_out(arrow);
    end->edges.add_in(arrow);
    created->store(true);
  });
  if (missing) return fail(corruption(missing, "add edge"));

  // One step only: the end node's term is stored directly, without
  // propagating along its own outgoing edges.
  if (!types_->term(s).none() && types_->term(e).none()) {
    bool reaches = false;
    VM_TRY(check_term(s, e, reaches));
    if (!reaches && types_->set_term_if_none(e, TermWord::application(arrow, s)) && !edges_.contains(e)) {
      if (types_->is_variable(e)) {
        VM_TRY(check_term(e, kNoRow, reaches));
      } else {
        auto rebuilt = VM_TRY(term_from_uid(types_->uid(e)));
        VM_TRY(add_arrow_term_edge(rebuilt, created));
      }
    }
  }
  return EdgeKey{types_->uid(s), types_->uid(e)};
}

// ---- removal ---------------------------------------------------------------------

Result<std::optional<EdgeKey>> Graph::remove_edge(const EdgeKey& key) {
  const auto arrow = types_->find(arrow_uid(key.first, key.second));
  if (!arrow) return std::optional<EdgeKey>();
  const TypeId s = types_->left(*arrow), e = types_->right(*arrow);
  std::array<std::size_t, 64> room;
  NodeTables tables{};
  // The edge's map is let go of after the locks: a hub's shard is waited for
  // by every removal of one of its edges.
  std::optional<PropertyMap> removed;
  with_node_shards(nodes_, ascending(shard_bit(s) | shard_bit(e), room), tables, [&](NodeTables& locked) {
    removed = edges_.remove(*arrow, [&](const PropertyMap& stored) { edge_property_index_.remove(*arrow, stored); });
    if (!removed) return;
    if (NodeRow* start = find_row(locked, s)) start->edges.remove_out(*arrow);
    if (NodeRow* end = find_row(locked, e)) end->edges.remove_in(*arrow);
  });
  if (!removed) return std::optional<EdgeKey>();
  return std::optional<EdgeKey>(key);
}

Result<std::optional<Uid>> Graph::remove_node(const Uid& uid) {
  const auto id = types_->find(uid);
  if (!id) return std::optional<Uid>();
  // The node, its edges and their places in the neighbours' lists go in one
  // step, under the locks of the node's shard and of every neighbour's shard:
  // removals of neighbouring nodes, or of their shared edges, may run at once.
  // The shards are read first; an edge added meanwhile to a shard not locked
  // makes the step start again.
  const auto other_end = [&](TypeId arrow, bool leaving) {
    return leaving ? types_->right(arrow) : types_->left(arrow);
  };
  // What the step takes out is let go of after the locks: the row with its
  // map and lists, and the edges' maps. Those locks include every neighbour's
  // shard, which a hub's other removals wait for.
  std::optional<NodeRow> row;
  absl::InlinedVector<PropertyMap, 4> maps;
  for (;;) {
    ShardSet shards = shard_bit(*id);
    for (const bool leaving : {true, false}) {
      EdgeLists side;
      read_edge_lists(std::span(&*id, 1), leaving, kNoRow, side);
      if (!side.found(0)) return std::optional<Uid>();
      for (const TypeId arrow : side.of(0)) shards |= shard_bit(other_end(arrow, leaving));
    }

    enum class Outcome { Removed, Absent, Retry } outcome = Outcome::Absent;
    std::array<std::size_t, 64> room;
    NodeTables tables{};
    with_node_shards(nodes_, ascending(shards, room), tables, [&](NodeTables& locked) {
      auto& table = *locked[NodeTable::shard_of(*id)];
      auto it = table.find(*id);
      if (it == table.end()) return;
      for (const bool leaving : {true, false})
        for (const TypeId arrow : it->second.edges.side(leaving))
          if (!has_shard(shards, other_end(arrow, leaving))) {
            outcome = Outcome::Retry;
            return;
          }
      row.emplace(std::move(it->second));
      types_->set_node(*id, false);
      table.erase(it);
      node_property_index_.remove(*id, row->properties);
      const auto unindex = [&](TypeId arrow) {
        return [&, arrow](const PropertyMap& stored) { edge_property_index_.remove(arrow, stored); };
      };
      const auto drop = [&](TypeId arrow) {
        if (auto map = edges_.remove(arrow, unindex(arrow)); map && map->size() != 0) maps.push_back(std::move(*map));
      };
      for (const TypeId arrow : row->edges.out()) {
        drop(arrow);
        const TypeId end = types_->right(arrow);
        if (end == *id) continue;
        if (NodeRow* other = find_row(locked, end)) other->edges.remove_in(arrow);
      }
      for (const TypeId arrow : row->edges.in()) {
        const TypeId start = types_->left(arrow);
        if (start == *id) continue;  // a loop, gone with the leaving edges
        drop(arrow);
        if (NodeRow* other = find_row(locked, start)) other->edges.remove_out(arrow);
      }
      outcome = Outcome::Removed;
    });
    if (outcome == Outcome::Retry) continue;
    if (outcome == Outcome::Absent) return std::optional<Uid>();
    return std::optional<Uid>(uid);
  }
}

// ---- properties -----------------------------------------------------------------

Result<PropertyMap> Graph::node_properties(const Uid& uid, const Uid* row_uid) const {
  const auto share = [](const PropertyMap& stored) { return stored; };
  const auto id = row_uid ? types_->id_of_row(*row_uid) : std::nullopt;
  auto map = id ? with_node_properties(*id, share) : with_node_properties(uid, share);
  if (!map) return fail(errors::NodeNotFound{uid, "node properties"});
  return std::move(*map);
}

Result<PropertyMap> Graph::edge_properties(const EdgeKey& key) const {
  const auto id = edge_id(key);
  auto map = id ? edges_.share(*id) : std::nullopt;
  if (!map) return fail(errors::EdgeNotFound{key, "edge properties"});
  return std::move(*map);
}

namespace {

// Overwrite replaces the row's map; a merge inserts a snapshot of the given
// entries into the stored map while the row stays write-locked. Copies of
// opaque values only share the object's handle, so this is safe on pool
// threads. The property index follows each change under the same lock.
template <class Row, class PropertyIndex>
void set_properties(PropertyMap& stored, PropertyIndex& property_index, const Row& row, const PropertyMap& map,
                    bool overwrite) {
  if (overwrite) {
    property_index.overwrite(row, stored, map);
    stored = map;
    return;
  }
  auto entries = map.iter();
  property_index.merge(row, stored, entries);
  for (auto& [k, v] : entries) stored.insert(std::move(k), std::move(v));
}

}  // namespace

Status Graph::set_node_properties(const Uid& uid, const PropertyMap& map, bool overwrite) {
  // Overwrite stores a map of the row's own: one set operation gives its map
  // to every match, and a later merge into one of them must not show in the
  // others, nor in the caller's map.
  const PropertyMap given = overwrite ? map.copy() : map;
  const auto id = types_->find(uid);
  if (!id || !nodes_.with_write(*id, [&](NodeRow& row) {
        set_properties(row.properties, node_property_index_, *id, given, overwrite);
      }))
    return fail(errors::NodeNotFound{uid, "graph - set node properties"});
  return {};
}

Status Graph::set_edge_properties(const EdgeKey& key, const PropertyMap& map, bool overwrite) {
  // A copy of its own, as for nodes.
  const PropertyMap given = overwrite ? map.copy() : map;
  const auto id = edge_id(key);
  if (!id || !edges_.with_write(*id, [&](PropertyMap& stored) {
        set_properties(stored, edge_property_index_, *id, given, overwrite);
      }))
    return fail(errors::EdgeNotFound{key, "graph - set node properties"});
  return {};
}
}  // namespace velmora::graph
