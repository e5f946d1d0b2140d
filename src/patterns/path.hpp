// Path patterns: the text of a query's match or create operation, such as
// "(a:Person)-[r:Knows]->(b {age: 30})", parsed into its node and edge
// patterns.
//
// A path is node 0, edge 0, node 1, edge 1, ..., node n: edge i joins node i
// and node i + 1. The nodes and the edges are kept in two lists in text order;
// how they alternated in the text is neither kept nor checked, only their
// numbers (`create` refuses as many edges as nodes or more, `validate` asks for
// exactly one node more than edges).
//
// A finished pattern is immutable and may be read by any number of threads at
// once. Copies share the property maps of their node and edge patterns.
// Parsing touches no shared state.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "patterns/edge.hpp"
#include "patterns/node.hpp"

namespace velmora::patterns {

class PathPattern {
 public:
  // A pattern from parts already parsed; `validate` checks their numbers.
  PathPattern(std::string pattern, std::vector<NodePattern> nodes, std::vector<EdgePattern> edges)
      : pattern_(std::move(pattern)), nodes_(std::move(nodes)), edges_(std::move(edges)) {}

  // Parses a path: trims `text` of White_Space, cuts it into tokens
  // (`tokenize_pattern`) and parses each with `parse_node_pattern` or
  // `parse_edge_pattern`. Errors, all with the context line
  // "path pattern - new" on top:
  //  - InvalidPattern {"", "Pattern cannot be empty"} for a blank text;
  //  - the tokenizer's or a token parser's report, with "path pattern - parse"
  //    below "path pattern - new";
  //  - InvalidPattern {trimmed text, "Invalid pattern: too many edges for the
  //    number of nodes"} when there are at least as many edges as nodes.
  // On success there is at least one node.
  static Result<PathPattern> create(std::string text);

  // `create` with every text cut into tokens first, without the one-pass
  // reading of the common shapes (`parse_simple_path`): the same pattern or
  // the same report, for comparing the two.
  static Result<PathPattern> create_general(std::string text);

  // `create` for a text that is likely to come again: a successful parse is
  // kept in a small cache of the calling thread, keyed by the exact text, and
  // the same text then gives the same shared pattern without being parsed
  // (texts over 1 KiB are not kept).
  // A failing text is parsed (and fails, with the same report) every time.
  // Any thread may call it; each thread has its own cache, touched by no
  // other thread.
  static Result<std::shared_ptr<const PathPattern>> create_shared(std::string text);

  // Succeeds when there is exactly one node more than there are edges, and
  // fails otherwise with InvalidPattern {pattern(), "the number of nodes
  // should be the number of edges plus 1"} and no context line.
  Status validate() const;

  // The text with the surrounding White_Space trimmed.
  const std::string& pattern() const { return pattern_; }
  const std::vector<NodePattern>& nodes() const { return nodes_; }
  const std::vector<EdgePattern>& edges() const { return edges_; }

 private:
  std::string pattern_;
  std::vector<NodePattern> nodes_;
  std::vector<EdgePattern> edges_;
};

}  // namespace velmora::patterns
