// Property-block matching: a pattern's block against a stored node's or
// edge's property map.
#include <optional>
#include <string>

#include "cmp.hpp"
#include "graph/matches/matching.hpp"

namespace velmora::graph::matches {

Result<bool> properties_match(const PropertyMap& block, const PropertyMap& stored) {
  // One entry (the usual block) is not worth a parallel loop.
  if (block.size() == 1) {
    const auto entries = block.iter();
    if (entries.size() == 1) return entry_matches(entries.front(), stored);
  }
  // Runs on pool threads while the Python caller holds the interpreter lock:
  // `get` copies an opaque value as a counted handle, and the comparison looks
  // at addresses only, so neither waits for that lock.
  return block.try_par_compare([&stored](const std::string& key, const Value& wanted) -> Result<bool> {
    const std::optional<Value> found = stored.get(key);
    return found && compare_values(wanted, *found);
  });
}

bool entry_matches(const std::pair<std::string, Value>& entry, const PropertyMap& stored) {
  const auto found = stored.peek(PropertyMap::key_id(entry.first));
  if (!found) return false;
  if (const auto equal = compare_in_place(entry.second, *found)) return *equal;
  // A float or the empty value: read as `get` reads it.
  const std::optional<Value> value = stored.get(entry.first);
  return value && compare_values(entry.second, *value);
}

Result<bool> check_node_matches_properties(const Graph& graph, const Uid& uid, const PropertyMap& block) {
  // The row stays read-locked while the entries are compared; the comparison
  // waits for its tasks isolated, so this thread takes on no task that could
  // want this shard's write lock.
  auto compared =
      graph.with_node_properties(uid, [&](const PropertyMap& stored) { return properties_match(block, stored); });
  if (!compared) return fail(errors::NodeNotFound{uid, "check node matches properties"});
  return std::move(*compared);
}

Result<bool> detail::check_node_row_properties(const Graph& graph, TypeId id, const Uid& uid,
                                               const PropertyMap& block) {
  auto compared =
      graph.with_node_properties(id, [&](const PropertyMap& stored) { return properties_match(block, stored); });
  if (!compared) return fail(errors::NodeNotFound{uid, "check node matches properties"});
  return std::move(*compared);
}

}  // namespace velmora::graph::matches
