#include "patterns/path.hpp"

#include "patterns/parsing.hpp"
#include "validation.hpp"

namespace velmora::patterns {
namespace {

Result<PathPattern> parse_path(std::string pattern) {
  if (pattern.empty()) return fail(errors::InvalidPattern{"", "Pattern cannot be empty"});

  const auto tokens = VM_TRY_CTX(tokenize_pattern(pattern), "path pattern - parse");
  std::vector<NodePattern> nodes;
  std::vector<EdgePattern> edges;
  nodes.reserve(tokens.size() / 2 + 1);
  edges.reserve(tokens.size() / 2);
  for (const Token& token : tokens) {
    if (token.kind == Token::Kind::Node) {
      nodes.push_back(VM_TRY_CTX(parse_node_pattern(token.text), "path pattern - parse"));
    } else {
      edges.push_back(VM_TRY_CTX(parse_edge_pattern(token.text), "path pattern - parse"));
    }
  }
  if (edges.size() >= nodes.size())
    return fail(errors::InvalidPattern{std::move(pattern), "Invalid pattern: too many edges for the number of nodes"});
  return PathPattern(std::move(pattern), std::move(nodes), std::move(edges));
}

}  // namespace

Result<PathPattern> PathPattern::create(std::string text) {
  // Most texts come without white space around them and are kept as given.
  const std::string_view trimmed = utils::trim_white_space(text);
  std::string pattern = trimmed.size() == text.size() ? std::move(text) : std::string(trimmed);
  return with_context(parse_path(std::move(pattern)), "path pattern - new");
}

Status PathPattern::validate() const {
  if (nodes_.size() == edges_.size() + 1) return {};
  return fail(errors::InvalidPattern{pattern_, "the number of nodes should be the number of edges plus 1"});
}

}  // namespace velmora::patterns
