#include "patterns/term_schema.hpp"

#include <fmt/format.h>

#include <cstddef>

#include "patterns/nesting.hpp"
#include "patterns/trim.hpp"
#include "validation.hpp"

namespace velmora::patterns {
namespace {

constexpr std::size_t kNotFound = std::string_view::npos;

// Byte scans are enough below: every character looked for is ASCII, and no
// byte of a multi-byte UTF-8 sequence equals one, so the offsets are byte
// offsets on character boundaries.

// The last space outside parentheses. Only U+0020 separates: a tab between
// two names leaves one name, which the name check then refuses.
std::size_t find_last_top_level_space(std::string_view t) {
  int depth = 0;
  std::size_t found = kNotFound;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '(') {
      ++depth;
    } else if (t[i] == ')') {
      --depth;
    } else if (t[i] == ' ' && depth == 0) {
      found = i;
    }
  }
  return found;
}

// The ")" that closes the "(" at `open`.
std::size_t find_matching_close(std::string_view c, std::size_t open) {
  int depth = 0;
  for (std::size_t i = open; i < c.size(); ++i) {
    if (c[i] == '(') {
      ++depth;
    } else if (c[i] == ')') {
      if (depth == 1) return i;
      --depth;
    }
  }
  return kNotFound;
}

// The pieces between top-level commas, trimmed, empty ones dropped: "a,,b"
// and "," are as good as "a, b" and "".
std::vector<std::string_view> split_type_arguments(std::string_view args) {
  std::vector<std::string_view> pieces;
  int depth = 0;
  std::size_t start = 0;
  auto take = [&](std::size_t end) {
    const std::string_view piece = trim(args.substr(start, end - start));
    if (!piece.empty()) pieces.push_back(piece);
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == '(') {
      ++depth;
    } else if (args[i] == ')') {
      --depth;
    } else if (args[i] == ',' && depth == 0) {
      take(i);
      start = i + 1;
    }
  }
  take(args.size());
  return pieces;
}

}  // namespace

Result<TermSchema> TermSchema::create(std::string text) {
  auto pattern = parse_pattern(text);
  if (!pattern) return std::unexpected(std::move(pattern).error().attach("term schema - new"));
  return TermSchema(std::move(text), std::move(*pattern));
}

Result<TermPattern> TermSchema::parse_pattern(std::string_view s) {
  const std::string_view t = trim(s);
  const NestingGuard nesting;
  if (nesting.too_deep()) return fail(errors::InvalidPattern{std::string(t), kTooDeep});
  if (t == "*") return TermPattern::wildcard();

  // The last split wins so that "f x y" reads as "(f x) y". Neither side can
  // be empty: t is trimmed, so it neither begins nor ends with the space.
  if (const std::size_t space = find_last_top_level_space(t); space != kNotFound) {
    auto function = VM_TRY_CTX(parse_pattern(t.substr(0, space)), "term schema - parse pattern");
    auto argument = VM_TRY_CTX(parse_pattern(t.substr(space + 1)), "term schema - parse pattern");
    return TermPattern::application(std::move(function), std::move(argument));
  }

  if (t.starts_with('@')) return VM_TRY_CTX(parse_constant_pattern(t), "term schema - parse pattern");

  VM_TRY_CTX(validate_variable_name(t), "term schema - parse pattern");
  return TermPattern::variable(std::string(t));
}

Result<TermPattern> TermSchema::parse_constant_pattern(std::string_view c) {
  auto invalid = [c](std::string reason) { return errors::InvalidPattern{std::string(c), std::move(reason)}; };

  const std::size_t open = c.find('(');
  if (open == kNotFound) return fail(invalid("Constant pattern must have parentheses with type arguments"));

  const std::string_view name = trim(c.substr(1, open - 1));
  if (name.empty()) return fail(invalid("Constant name cannot be empty"));

  const std::size_t close = find_matching_close(c, open);
  if (close == kNotFound)
    return std::unexpected(Report(invalid("Constant pattern has unmatched opening parenthesis"))
                               .attach("term pattern - parse constant pattern"));
  if (close != c.size() - 1)
    return fail(invalid(
        fmt::format("Constant pattern has unexpected content after closing parenthesis at position {}", close)));

  std::vector<TypeSchema> type_arguments;
  const std::string_view args = trim(c.substr(open + 1, close - open - 1));
  if (!args.empty()) {
    for (const std::string_view piece : split_type_arguments(args)) {
      type_arguments.push_back(
          VM_TRY_CTX(TypeSchema::create(std::string(piece)), "term pattern - parse constant pattern"));
    }
  }
  return TermPattern::constant(std::string(name), std::move(type_arguments));
}

}  // namespace velmora::patterns
