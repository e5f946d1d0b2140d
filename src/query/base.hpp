// Queries: the Python class `Query`, its recorded operations and their
// execution.
//
// Builders (`create`, `match`, `set`, `remove`, `limit`) parse and convert
// their arguments at once, append the operation to the receiver and return a
// new query holding a copy of the list. Lists are immutable and share their
// common start, so that copy costs one handle, not one copy per operation;
// once built, the two lists part as separate lists do. `execute` and
// `return_` run every operation in order from a fresh root match set; there
// is no rollback.
//
// Everything Python-facing runs on the caller's thread with the interpreter
// lock held; the steps over matches run on the pool and touch no Python object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "binding/class.hpp"
#include "graph/create.hpp"
#include "graph/store.hpp"
#include "patterns/path.hpp"
#include "properties.hpp"

namespace velmora::query {

// Parsed patterns are immutable: operations recorded from the same text may
// share one.
struct CreateOperation {
  std::shared_ptr<const patterns::PathPattern> pattern;  // never null
  graph::PathVariables known;                            // found when recorded
};
struct MatchOperation {
  std::shared_ptr<const patterns::PathPattern> pattern;  // never null
};
struct RemoveOperation {
  std::vector<std::string> variables;
};
struct SetOperation {
  bool overwrite;
  PropertyMap properties;  // shared with every copy of the operation
  std::string variable;
};
struct LimitOperation {
  std::uint32_t limit;
};

using QueryOperation = std::variant<CreateOperation, MatchOperation, RemoveOperation, SetOperation, LimitOperation>;

// "CREATE (a)", "SET a += {k: 1}", "REMOVE a, b", "LIMIT 3", ...
std::string operation_text(const QueryOperation& operation);

// A recorded operation list: a value whose copies share every node. `push`
// leaves the list it is called on as it was. Nodes never change once made,
// so lists may be read from any thread; a list object itself is written by
// one thread at a time (the query's borrow).
class OperationList {
 public:
  OperationList() = default;

  // This list followed by `op`.
  OperationList push(QueryOperation op) const;
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The operations, first recorded first; valid while the list lives.
  std::vector<const QueryOperation*> in_order() const;
  // The same in `room` when they fit there, else in `spill`.
  std::span<const QueryOperation* const> in_order(std::span<const QueryOperation*> room,
                                                  std::vector<const QueryOperation*>& spill) const;

 private:
  struct Node;
  std::shared_ptr<const Node> last_;
  std::size_t size_ = 0;
};

struct Query {
  graph::GraphPtr graph;
  OperationList operations;
  graph::NodeUidSetPtr subset;  // the view's set, shared; null for a whole graph
  bool borrowed = false;        // set while a method holds the receiver

  // Every operation's text followed by "\n".
  std::string text() const;
  // Runs every operation from a fresh root match set; returns the final set,
  // or, when `keep_matches` is false, a set the caller must not read (null
  // when the store made a lone create's path without one).
  Result<MatchSet> execute_operations(bool keep_matches = true) const;
};

binding::ClassSpec& query_class();

// A new Python `Query` with no operations on `graph` (and `subset`).
binding::PyResult<binding::PyRef> new_query(graph::GraphPtr graph, graph::NodeUidSetPtr subset);

}  // namespace velmora::query
