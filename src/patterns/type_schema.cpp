#include "patterns/type_schema.hpp"

#include <cstddef>

#include "patterns/nesting.hpp"
#include "patterns/trim.hpp"
#include "validation.hpp"

namespace velmora::patterns {
namespace {

constexpr std::size_t kNotFound = std::string_view::npos;

// Byte scans are enough below: "(", ")", "-", ">" and ":" are ASCII, and no
// byte of a multi-byte UTF-8 sequence equals an ASCII character, so every
// split lands on a character boundary.

// The offset of the first `token` ("->" or ":") outside parentheses.
// Unmatched closing parentheses take the depth below zero, which hides what
// follows them.
std::size_t find_top_level(std::string_view t, std::string_view token) {
  // Most texts hold no token at all, which one library search tells.
  if (t.find(token) == std::string_view::npos) return kNotFound;
  int depth = 0;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '(') {
      ++depth;
    } else if (t[i] == ')') {
      --depth;
    } else if (depth == 0 && t.substr(i).starts_with(token)) {
      return i;
    }
  }
  return kNotFound;
}

// Only the whole text is checked for balance; inner parts may be unbalanced
// on their own (as in "a)(b"), and the grammar then refuses them as names.
Status check_balance(std::string_view t) {
  long depth = 0;
  for (const char c : t) {
    if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (--depth < 0)
        return fail(errors::SchemaValidation{std::string(t), "Unbalanced parentheses: too many closing parentheses"});
    }
  }
  if (depth > 0)
    return fail(errors::SchemaValidation{std::string(t), "Unbalanced parentheses: too many opening parentheses"});
  return {};
}

// Whether `t` can only be a name: the grammar's other forms all need one of
// "(", ")", "-", "*" or ":", none of which a valid name holds.
bool plain_name(std::string_view t) {
  if (t.empty()) return false;
  for (const char ch : t) {
    const auto c = static_cast<unsigned char>(ch);
    const bool word =
        c >= 0x80 || c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!word) return false;
  }
  return validate_variable_name(t).has_value();
}

}  // namespace

Result<TypeSchema> TypeSchema::create(std::string text) {
  const std::string_view t = trim(text);
  // Most schemas are one type's name, which the full parse would only check
  // and copy; a text that fails takes the full parse for its report.
  if (plain_name(t)) return TypeSchema(Key{}, text, t);
  auto pattern = [&]() -> Result<TypePattern> {
    VM_TRY_CTX(check_balance(t), "type schema - parse pattern");
    return VM_TRY_CTX(parse_pattern_recursive(t), "type schema - parse pattern");
  }();
  if (!pattern) return std::unexpected(std::move(pattern).error().attach("type schema - new"));
  return TypeSchema(std::move(text), std::move(*pattern));
}

Status TypeSchema::create_in(std::optional<TypeSchema>& out, std::string_view text) {
  if (const std::string_view t = trim(text); plain_name(t)) {
    out.emplace(Key{}, text, t);
    return {};
  }
  out.emplace(VM_TRY(create(std::string(text))));
  return {};
}

Result<TypePattern> TypeSchema::parse_pattern_recursive(std::string_view s) {
  const std::string_view t = trim(s);
  const NestingGuard nesting;
  if (nesting.too_deep()) return fail(errors::SchemaValidation{std::string(t), kTooDeep});
  // The field stays empty even when an enclosing text holds the empty side.
  if (t.empty()) return fail(errors::SchemaValidation{"", "Empty pattern"});
  if (t == "*") return TypePattern::wildcard();

  if (const std::size_t arrow = find_top_level(t, "->"); arrow != kNotFound) {
    auto left = VM_TRY_CTX(parse_pattern_recursive(t.substr(0, arrow)), "type schema - parse pattern recursive");
    auto right = VM_TRY_CTX(parse_pattern_recursive(t.substr(arrow + 2)), "type schema - parse pattern recursive");
    return TypePattern::arrow(std::move(left), std::move(right));
  }

  if (!(t.starts_with('(') && t.ends_with(')'))) {
    VM_TRY_CTX(validate_variable_name(t), "type schema - parse pattern recursive");
    return TypePattern::variable(std::string(t));
  }

  const std::string_view inner = t.substr(1, t.size() - 2);
  const std::size_t colon = find_top_level(inner, ":");
  if (colon == kNotFound) return VM_TRY_CTX(parse_pattern_recursive(inner), "type schema - parse pattern recursive");

  // The rest is parsed before the name is looked at, so "(1x: )" reports the
  // empty rest rather than the bad name.
  auto rest = VM_TRY_CTX(parse_pattern_recursive(inner.substr(colon + 1)), "type schema - parse pattern recursive");
  const std::string_view name = trim(inner.substr(0, colon));
  if (name.empty()) return rest;
  VM_TRY_CTX(validate_variable_name(name), "type schema - parse pattern recursive");
  return TypePattern::capture(std::string(name), std::move(rest));
}

std::vector<std::string> TypeSchema::get_pattern_free_variables_recursive(const TypePattern& pattern) {
  std::vector<std::string> out;
  // Explicit recursion through a helper keeps one output vector for the walk.
  auto walk = [&out](const TypePattern& p, auto& self) -> void {
    if (const auto* arrow = p.get<TypePattern::Arrow>()) {
      self(*arrow->left, self);
      self(*arrow->right, self);
    } else if (const auto* capture = p.get<TypePattern::Capture>()) {
      self(*capture->pattern, self);
      out.push_back(capture->name);
    }
  };
  walk(pattern, walk);
  return out;
}

}  // namespace velmora::patterns
