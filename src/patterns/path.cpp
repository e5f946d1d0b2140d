#include "patterns/path.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "patterns/parsing.hpp"
#include "patterns/trim.hpp"
#include "validation.hpp"

namespace velmora::patterns {
namespace {

Result<PathPattern> parse_general(std::string pattern) {
  if (pattern.empty()) return fail(errors::InvalidPattern{"", "Pattern cannot be empty"});

  const auto tokens = VM_TRY_CTX(tokenize_pattern(pattern), "path pattern - parse");
  std::vector<NodePattern> nodes;
  std::vector<EdgePattern> edges;
  nodes.reserve(tokens.size() / 2 + 1);
  edges.reserve(tokens.size() / 2);
  for (const Token& token : tokens) {
    if (token.kind == Token::Kind::Node) {
      VM_TRY_CTX(parse_node_pattern_into(token.text, nodes.emplace_back()), "path pattern - parse");
    } else {
      VM_TRY_CTX(parse_edge_pattern_into(token.text, edges.emplace_back()), "path pattern - parse");
    }
  }
  if (edges.size() >= nodes.size())
    return fail(errors::InvalidPattern{std::move(pattern), "Invalid pattern: too many edges for the number of nodes"});
  return PathPattern(std::move(pattern), std::move(nodes), std::move(edges));
}

// Most texts come without white space around them and are kept as given.
std::string trimmed(std::string text) {
  const std::string_view t = trim(text);
  return t.size() == text.size() ? std::move(text) : std::string(t);
}

// Most texts are a node or two joined by a plain edge, which one pass reads
// without cutting tokens first; anything else, including every text that
// fails, takes the full parse. `make` receives the trimmed text and its parts.
template <class Make>
auto parse_path(std::string text, Make&& make)
    -> Result<decltype(make(std::string(), std::vector<NodePattern>(), std::vector<EdgePattern>()))> {
  std::string pattern = trimmed(std::move(text));
  std::vector<NodePattern> nodes;
  std::vector<EdgePattern> edges;
  if (parse_simple_path(pattern, nodes, edges)) return make(std::move(pattern), std::move(nodes), std::move(edges));
  auto parsed = PathPattern::create_general(std::move(pattern));
  if (!parsed) return std::unexpected(std::move(parsed).error());
  return make(std::move(*parsed));
}

}  // namespace

Result<PathPattern> PathPattern::create(std::string text) {
  return parse_path(std::move(text), [](auto&&... parts) { return PathPattern(std::move(parts)...); });
}

Result<PathPattern> PathPattern::create_general(std::string text) {
  return with_context(parse_general(trimmed(std::move(text))), "path pattern - new");
}

Result<std::shared_ptr<const PathPattern>> PathPattern::create_shared(std::string text) {
  // Queries built in a loop repeat a handful of texts (a few dozen look-ups
  // by name, say), while a bulk load sends every text once: a table of a few
  // ways per hash keeps the repeated ones at the cost of one hash for the
  // others, and a new text takes the way used longest ago. Patterns hold no
  // Python object, so a thread's table may be freed when the thread ends,
  // interpreter lock or not.
  struct Slot {
    std::string text;
    std::shared_ptr<const PathPattern> pattern;
    std::uint64_t used = 0;
  };
  constexpr std::size_t kSets = 64;
  constexpr std::size_t kWays = 4;
  // A long text (a big property block, say) is not kept: the table would hold
  // its pattern for as long as the thread lives.
  constexpr std::size_t kLongestKept = 1024;
  const auto share = [](auto&&... parts) { return std::make_shared<const PathPattern>(std::move(parts)...); };
  if (text.size() > kLongestKept) return parse_path(std::move(text), share);
  // On the heap: the module's static thread-local block is small.
  struct Table {
    std::array<std::array<Slot, kWays>, kSets> sets;
    std::uint64_t clock = 0;
  };
  thread_local std::unique_ptr<Table> cache;
  if (!cache) cache = std::make_unique<Table>();

  auto& set = cache->sets[std::hash<std::string_view>{}(text) % kSets];
  const std::uint64_t now = ++cache->clock;
  Slot* oldest = &set[0];
  for (Slot& slot : set) {
    if (slot.pattern && slot.text == text) {
      slot.used = now;
      return slot.pattern;
    }
    if (slot.used < oldest->used) oldest = &slot;
  }
  // The key is copied into the slot's own buffer, which a slot reuses from
  // one text to the next; the slot stays empty until the parse succeeds.
  Slot& slot = *oldest;
  slot.pattern.reset();
  slot.text.assign(text);
  slot.used = now;
  auto parsed = parse_path(std::move(text), share);
  if (!parsed) return std::unexpected(std::move(parsed).error());
  slot.pattern = std::move(*parsed);
  return slot.pattern;
}

Status PathPattern::validate() const {
  if (nodes_.size() == edges_.size() + 1) return {};
  return fail(errors::InvalidPattern{pattern_, "the number of nodes should be the number of edges plus 1"});
}

}  // namespace velmora::patterns
