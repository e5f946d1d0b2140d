#include "patterns/parsing.hpp"

#include <absl/container/inlined_vector.h>
#include <fmt/format.h>

#include <locale.h>
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <utility>

#include "patterns/trim.hpp"
#include "validation.hpp"

namespace velmora::patterns {
namespace {

// All delimiters of the language are ASCII, and no byte of a multi-byte UTF-8
// sequence is ASCII, so the scanners below walk bytes and still split only at
// character boundaries. Only messages that quote a character need its length.

errors::InvalidPattern invalid(std::string_view pattern, std::string reason) {
  return errors::InvalidPattern{std::string(pattern), std::move(reason)};
}

bool is_quote(char c) { return c == '"' || c == '\''; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The byte length of the character at `i`; 1 for a malformed sequence, so a
// scan always moves on and never runs past the text.
std::size_t char_length(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t n = 1;
  if ((lead & 0xE0) == 0xC0) {
    n = 2;
  } else if ((lead & 0xF0) == 0xE0) {
    n = 3;
  } else if ((lead & 0xF8) == 0xF0) {
    n = 4;
  }
  if (n == 1 || i + n > text.size()) return 1;
  for (std::size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 1;
  return n;
}

// The tokenizer's white space is narrower than White_Space on purpose.
bool is_path_space(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

// Finds the first non-space byte at or after a position. Every character of a
// run of spaces inside an edge asks the same question, so the last answer is
// kept: without it a long run would be scanned once per character.
class SpaceSkipper {
 public:
  explicit SpaceSkipper(std::string_view text) : text_(text) {}

  std::size_t next_non_space(std::size_t from) {
    if (from >= from_ && from <= to_) return to_;
    std::size_t k = from;
    while (k < text_.size() && is_path_space(text_[k])) ++k;
    from_ = from;
    to_ = k;
    return k;
  }

 private:
  std::string_view text_;
  std::size_t from_ = 1;  // an empty range until the first question
  std::size_t to_ = 0;
};

struct HeadAndBlock {
  std::string_view head;
  std::optional<std::string_view> block;
};

// The property block starts at the first "{" outside parentheses and square
// brackets; type and term schemas never hold braces, so anything before it is
// the head.
HeadAndBlock split_property_block(std::string_view inner) {
  long parens = 0;
  long brackets = 0;
  for (std::size_t i = 0; i < inner.size(); ++i) {
    switch (inner[i]) {
      case '(': ++parens; break;
      case ')': --parens; break;
      case '[': ++brackets; break;
      case ']': --brackets; break;
      case '{':
        if (parens == 0 && brackets == 0) return {inner.substr(0, i), inner.substr(i)};
        break;
      default: break;
    }
  }
  return {inner, std::nullopt};
}

// The scan of `smart_split_colons`, handing each trimmed part to `part` as a
// view into `text` instead of a string of its own.
template <class F>
Status split_colons(std::string_view text, F&& part) {
  long parens = 0;
  long brackets = 0;
  long braces = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    switch (text[i]) {
      case '(': ++parens; break;
      case '[': ++brackets; break;
      case '{': ++braces; break;
      case ')':
        if (--parens < 0) return fail(invalid(text, "Unbalanced parentheses in pattern"));
        break;
      case ']':
        if (--brackets < 0) return fail(invalid(text, "Unbalanced brackets in pattern"));
        break;
      case '}':
        if (--braces < 0) return fail(invalid(text, "Unbalanced braces in pattern"));
        break;
      case ':':
        if (parens == 0 && brackets == 0 && braces == 0) {
          part(trim(text.substr(start, i - start)));
          start = i + 1;
        }
        break;
      default: break;
    }
  }
  part(trim(text.substr(start)));
  if (parens != 0) return fail(invalid(text, "Unbalanced parentheses in pattern"));
  if (brackets != 0) return fail(invalid(text, "Unbalanced brackets in pattern"));
  if (braces != 0) return fail(invalid(text, "Unbalanced braces in pattern"));
  return {};
}

std::optional<std::string> present(std::string_view part) {
  if (part.empty()) return std::nullopt;
  return std::string(part);
}

struct Parts {
  std::optional<std::string> variable;
  std::optional<TypeSchema> type_schema;
  std::optional<TermSchema> term_schema;
  std::optional<PropertyMap> properties;
};

// Node and edge heads differ only in their context line, their
// too-many-parts message and the reading of a lone part.
enum class Owner { Node, Edge };

// The block, the split, the type schema and the term schema of a node's or an
// edge's inner text, in that order; the record checks the variable last.
// The parts are views into `inner` until each becomes a part of its own.
Status parse_parts(std::string_view t, std::string_view inner, Owner owner, Parts& parts) {
  const std::string_view context = owner == Owner::Node ? "parse node pattern" : "parse edge pattern";
  const auto [head, block] = split_property_block(inner);
  if (block) parts.properties = VM_TRY_CTX(parse_properties(*block), context);

  std::array<std::string_view, 3> texts;
  std::size_t count = 0;
  VM_TRY_CTX(split_colons(head,
                          [&](std::string_view part) {
                            if (count < texts.size()) texts[count] = part;
                            ++count;
                          }),
             context);
  if (count > 3) {
    return fail(invalid(t, owner == Owner::Node ? "Node pattern has too many ':' separators. Expected format: "
                                                  "(var:TypeSchema:TermSchema)"
                                                : "Edge pattern has too many ':' separators. Expected format: "
                                                  "[var:TypeSchema:TermSchema]"));
  }
  std::string_view type_text;
  std::string_view term_text;
  if (count == 1) {
    // A lone "*" or arrow is far more likely a type than a name, so nodes
    // read it as one; edges always take a lone part as their variable.
    const std::string_view only = texts[0];
    const bool looks_like_type =
        only.find("->") != std::string_view::npos || only.find('*') != std::string_view::npos || only.starts_with('(');
    if (owner == Owner::Node && looks_like_type) {
      type_text = only;
    } else {
      parts.variable = present(only);
    }
  } else {
    parts.variable = present(texts[0]);
    type_text = texts[1];
    if (count == 3) term_text = texts[2];
  }
  if (!type_text.empty()) VM_TRY_CTX(TypeSchema::create_in(parts.type_schema, type_text), context);
  if (!term_text.empty()) parts.term_schema.emplace(VM_TRY_CTX(TermSchema::create(std::string(term_text)), context));
  return {};
}

// ---- property values -------------------------------------------------------

std::optional<std::int64_t> parse_integer(std::string_view t) {
  std::string_view digits = t;
  if (digits.starts_with('+') || digits.starts_with('-')) digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  for (const char c : digits)
    if (!is_digit(c)) return std::nullopt;
  // from_chars takes a minus sign but no plus sign.
  const std::string_view number = t.starts_with('+') ? digits : t;
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec != std::errc{} || end != number.data() + number.size()) return std::nullopt;
  return value;
}

locale_t c_locale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

// The decimal notation of a float, or the words inf, infinity and nan in any
// case, each with an optional sign. Returns nothing for any other text; the
// value may be infinite or NaN, which the caller refuses.
std::optional<double> parse_float(std::string_view t) {
  std::string_view body = t;
  const bool negative = body.starts_with('-');
  if (negative || body.starts_with('+')) body.remove_prefix(1);

  std::string lower(body);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (lower == "inf" || lower == "infinity")
    return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  if (lower == "nan") return std::numeric_limits<double>::quiet_NaN();

  std::size_t i = 0;
  std::size_t digits = 0;
  while (i < body.size() && is_digit(body[i])) ++i, ++digits;
  if (i < body.size() && body[i] == '.') {
    ++i;
    while (i < body.size() && is_digit(body[i])) ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < body.size() && is_digit(body[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return std::nullopt;
  }
  if (i != body.size()) return std::nullopt;
  // Only plain decimal text reaches strtod, so none of its extensions (hex,
  // nan(...), leading blanks) apply; the C locale fixes the decimal point
  // whatever locale the host process set. Overflow gives an infinity and
  // underflow a zero, as reading a decimal float should.
  const std::string text(t);
  const locale_t locale = c_locale();
  return locale != static_cast<locale_t>(nullptr) ? strtod_l(text.c_str(), nullptr, locale)
                                                  : std::strtod(text.c_str(), nullptr);
}

Result<Value> parse_value(std::string_view text, std::size_t depth);

// Whether a `PairSplitter` counts parentheses as brackets: a map literal
// does, a property block takes them as plain text.
enum class Parens { Nest, Plain };

// The scan shared by map literals and property blocks: walks a text and stops
// at each ":" and "," that stands outside quotes and brackets, in text order.
// A quote, at any depth, runs to the next byte equal to it (a backslash does
// not escape it) and hides everything in between. Only depth 0 splits; a
// closing bracket without its opening one takes the depth below zero.
// The text is handed to every call rather than kept, and the calls are
// inlined: a map literal's frame, one per level of nesting, stays as small as
// with a loop of its own.
class PairSplitter {
 public:
  explicit PairSplitter(Parens parens) : nest_parens_(parens == Parens::Nest) {}

  // The offset of the next ":" or "," of `text` (the same text at every
  // call), or npos at its end.
  [[gnu::always_inline]] std::size_t next(std::string_view text) {
    while (i_ < text.size()) {
      const std::size_t i = i_++;
      const char c = text[i];
      if (quote_ != 0) {
        if (c == quote_) quote_ = 0;
      } else if (is_quote(c)) {
        quote_ = c;
      } else if (c == '[' || c == '{' || (nest_parens_ && c == '(')) {
        ++nesting_;
      } else if (c == ']' || c == '}' || (nest_parens_ && c == ')')) {
        --nesting_;
      } else if ((c == ':' || c == ',') && nesting_ == 0) {
        return i;
      }
    }
    return std::string_view::npos;
  }

 private:
  bool nest_parens_;
  std::size_t i_ = 0;
  char quote_ = 0;
  long nesting_ = 0;
};

[[gnu::noinline]] Status check_depth(std::string_view t, std::size_t depth) {
  if (depth < kMaxLiteralDepth) return {};
  return fail(invalid(t, fmt::format("Property value is nested too deeply (more than {} levels of "
                                     "lists and maps)",
                                     kMaxLiteralDepth)));
}

Result<Value> parse_list_literal(std::string_view t, std::size_t depth) {
  VM_TRY(check_depth(t, depth));
  const std::string_view inner = trim(t.substr(1, t.size() - 2));
  Value::Array items;
  if (inner.empty()) return Value(std::move(items));

  auto add_item = [&](std::string_view piece) -> Status {
    piece = trim(piece);
    if (piece.empty()) return {};
    items.push_back(VM_TRY_CTX(parse_value(piece, depth + 1), "parse list value"));
    return {};
  };
  // Not a `PairSplitter`: here a quote opens only at depth 0, so inside a
  // nested literal quotes are plain text until that literal is parsed in turn.
  long nesting = 0;
  char quote = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < inner.size(); ++i) {
    const char c = inner[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (nesting == 0 && is_quote(c)) {
      quote = c;
    } else if (c == '(' || c == '[' || c == '{') {
      ++nesting;
    } else if (c == ')' || c == ']' || c == '}') {
      --nesting;
    } else if (c == ',' && nesting == 0) {
      VM_TRY(add_item(inner.substr(start, i - start)));
      start = i + 1;
    }
  }
  VM_TRY(add_item(inner.substr(start)));
  return Value(std::move(items));
}

Result<Value> parse_map_literal(std::string_view t, std::size_t depth) {
  VM_TRY(check_depth(t, depth));
  const std::string_view inner = trim(t.substr(1, t.size() - 2));
  Value::Map map;
  if (inner.empty()) return Value(std::move(map));

  // Only a pair's first colon and the separating commas are left out of the
  // keys and values, so each is one slice of the text; a pair without a
  // colon is all key and has an empty value.
  std::size_t start = 0;
  std::size_t colon = std::string_view::npos;
  const auto key = [&](std::size_t end) {
    return inner.substr(start, (colon == std::string_view::npos ? end : colon) - start);
  };
  auto add_pair = [&](std::size_t end) -> Status {
    const std::string_view value =
        colon == std::string_view::npos ? std::string_view() : inner.substr(colon + 1, end - colon - 1);
    std::string k = VM_TRY(extract_dict_key(trim(key(end))));
    Value v = VM_TRY_CTX(parse_value(trim(value), depth + 1), "parse dict value");
    map.insert_or_assign(std::move(k), std::move(v));
    return {};
  };
  PairSplitter splitter(Parens::Nest);
  for (std::size_t i = splitter.next(inner); i != std::string_view::npos; i = splitter.next(inner)) {
    if (inner[i] == ':') {
      if (colon == std::string_view::npos) colon = i;
    } else {
      VM_TRY(add_pair(i));
      start = i + 1;
      colon = std::string_view::npos;
    }
  }
  // A last pair without a key is dropped, so "{a: 1,}" reads as "{a: 1}".
  if (trim(key(inner.size())).empty()) return Value(std::move(map));
  VM_TRY(add_pair(inner.size()));
  return Value(std::move(map));
}

// Everything but lists and maps; kept out of line so that the frames of the
// list and map recursion stay small.
[[gnu::noinline]] Result<Value> parse_scalar(std::string_view t) {
  const char first = t.front();
  if (is_quote(first)) {
    if (t.size() == 1 || t.back() != first)
      return fail(invalid(t, fmt::format("Unclosed string literal (expected closing {})", first)));
    return Value(VM_TRY_CTX(unescape_string(t.substr(1, t.size() - 2)), "parse property value"));
  }
  if (t == "true") return Value(true);
  if (t == "false") return Value(false);
  if (t == "null" || t == "None") return Value();
  if (const auto integer = parse_integer(t)) return Value(*integer);
  if (const auto number = parse_float(t)) {
    if (!std::isfinite(*number)) return fail(invalid(t, "Invalid numeric value (NaN or Infinity not supported)"));
    return Value(*number);
  }
  return fail(invalid(t, "Invalid property value. Strings must be quoted, e.g., \"value\" or 'value'"));
}

[[gnu::noinline]] Result<Value> empty_value() { return fail(invalid("", "Empty property value")); }

// A text that starts with a quote, a letter, a digit or a sign cannot start
// with "{" or "[", so sending those two to the literal parsers first keeps the
// order of the value forms.
Result<Value> parse_value(std::string_view text, std::size_t depth) {
  const std::string_view t = trim(text);
  if (t.empty()) return empty_value();
  if (t.front() == '{' && t.back() == '}') return parse_map_literal(t, depth);
  if (t.front() == '[' && t.back() == ']') return parse_list_literal(t, depth);
  return parse_scalar(t);
}

}  // namespace

// ---- path tokens -------------------------------------------------------------

Result<std::vector<Token>> tokenize_pattern(std::string_view text) {
  enum class State { Between, InNode, InEdge };
  State state = State::Between;
  long node_depth = 0;
  long bracket_depth = 0;
  long paren_count = 0;
  // A token is every character from its opening one to its closing one: a
  // slice of the text, taken when it ends.
  std::size_t start = 0;
  std::vector<Token> tokens;
  tokens.reserve(3);
  SpaceSkipper skipper(text);

  // Bytes, not characters: a multi-byte character's other bytes are never a
  // delimiter and fail or pass wherever its first byte did, so only a message
  // needs the whole character.
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const std::size_t next = i + 1;
    const auto character = [&] { return text.substr(i, char_length(text, i)); };
    switch (state) {
      case State::Between:
        if (is_path_space(c)) break;
        if (c == '(') {
          start = i;
          node_depth = 1;
          state = State::InNode;
        } else if (c == '-' || c == '<' || c == '>') {
          start = i;
          state = State::InEdge;
        } else if (c == '[') {
          start = i;
          bracket_depth = 1;
          state = State::InEdge;
        } else {
          return fail(
              invalid(text, fmt::format("Unexpected character '{}' outside of node or edge pattern", character())));
        }
        break;
      case State::InNode:
        if (c == '(') {
          ++node_depth;
        } else if (c == ')' && --node_depth == 0) {
          tokens.push_back({Token::Kind::Node, text.substr(start, next - start)});
          state = State::Between;
        }
        break;
      case State::InEdge: {
        bool end_test = true;
        if (c == '[') {
          ++bracket_depth;
        } else if (c == ']') {
          --bracket_depth;
        } else if (!(is_path_space(c) || c == '-' || c == '<' || c == '>')) {
          end_test = false;
          if (bracket_depth < 1)
            return fail(invalid(text, fmt::format("Unexpected character '{}' in edge pattern", character())));
          if (c == '(') ++paren_count;
          if (c == ')') --paren_count;
        }
        if (end_test && bracket_depth == 0 && paren_count == 0) {
          const std::size_t k = skipper.next_non_space(next);
          if (k < text.size() && text[k] == '(') {
            tokens.push_back({Token::Kind::Edge, text.substr(start, next - start)});
            bracket_depth = 0;
            paren_count = 0;
            state = State::Between;
          }
        }
        break;
      }
    }
    i = next;
  }

  if (state == State::InNode) return fail(invalid(text, "Unmatched parentheses in pattern"));
  if (bracket_depth != 0) return fail(invalid(text, "Unmatched brackets in pattern"));
  if (state == State::InEdge) return fail(invalid(text, "Pattern cannot end with an edge"));
  return tokens;
}

// ---- the common shapes in one pass -------------------------------------------

namespace {

bool is_name_char(char c) { return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c); }

// The parts of a simple head: views into the text, empty when absent.
struct SimpleHead {
  std::string_view variable;
  std::string_view type;
  std::optional<PropertyMap> properties;
};

constexpr std::size_t kOutside = std::string_view::npos;

// `t[from, to)` and whether `t` holds `s` at `i`, without the bounds checks
// of `substr`: the callers' offsets are in range.
std::string_view slice(std::string_view t, std::size_t from, std::size_t to) { return {t.data() + from, to - from}; }
bool holds_at(std::string_view t, std::size_t i, std::string_view s) {
  return t.size() - i >= s.size() && slice(t, i, i + s.size()) == s;
}

// Reads [name] [":" name] [" "... "{" block "}"] from `i` up to the closing
// `close`, whose offset it returns; `kOutside` for anything else, and for a
// block that `parse_properties` refuses. The block holds no parenthesis,
// square bracket or non-ASCII byte, so the tokenizer and the token parsers
// would cut it exactly here: neither reads quotes, which only
// `parse_properties` does, on the same block.
std::size_t read_simple_head(std::string_view t, std::size_t i, char close, SimpleHead& head) {
  std::size_t k = i;
  while (k < t.size() && is_name_char(t[k])) ++k;
  head.variable = slice(t, i, k);
  if (!head.variable.empty() && !is_plain_ascii_name(head.variable)) return kOutside;
  if (k < t.size() && t[k] == ':') {
    const std::size_t start = ++k;
    while (k < t.size() && is_name_char(t[k])) ++k;
    head.type = slice(t, start, k);
    if (!is_plain_ascii_name(head.type)) return kOutside;
  }
  if (k < t.size() && t[k] == ' ') {
    if (k == i) return kOutside;
    while (k < t.size() && t[k] == ' ') ++k;
    if (k == t.size() || t[k] != '{') return kOutside;
  }
  if (k < t.size() && t[k] == '{') {
    const std::size_t open = k;
    for (; k < t.size() && t[k] != close; ++k) {
      const char c = t[k];
      if (static_cast<unsigned char>(c) >= 0x80 || c == '(' || c == ')' || c == '[' || c == ']') return kOutside;
    }
    if (k == t.size() || t[k - 1] != '}') return kOutside;
    auto properties = parse_properties(slice(t, open, k));
    if (!properties) return kOutside;
    head.properties.emplace(std::move(*properties));
  }
  if (k == t.size() || t[k] != close) return kOutside;
  return k;
}

}  // namespace

// Fills a pattern with no parts from a head read above.
struct SimplePathReader {
  template <class P>
  static void fill(P& out, SimpleHead& head) {
    if (!head.variable.empty()) out.variable_.emplace(head.variable);
    if (!head.type.empty()) TypeSchema::create_name_in(out.type_schema_, head.type);
    if (head.properties) out.properties_.emplace(std::move(*head.properties));
  }
};

bool parse_simple_path(std::string_view text, std::vector<NodePattern>& nodes, std::vector<EdgePattern>& edges) {
  // Nodes and edges hold no parenthesis here, so a path in the subset has
  // one node per ")". A text outside it may hold any number of them, so
  // longer paths grow their lists instead.
  constexpr std::size_t kMostReserved = 16;
  const auto count = std::min(static_cast<std::size_t>(std::count(text.begin(), text.end(), ')')), kMostReserved);
  if (count == 0) return false;
  nodes.reserve(count);
  if (count > 1) edges.reserve(count - 1);
  std::size_t i = 0;
  for (;;) {
    if (i == text.size() || text[i] != '(') return false;
    SimpleHead head;
    const std::size_t end = read_simple_head(text, i + 1, ')', head);
    if (end == kOutside) return false;
    SimplePathReader::fill(nodes.emplace_back(), head);
    i = end + 1;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i == text.size()) return true;

    // "-[" head "]->", "<-[" head "]-" or "-[" head "]-".
    bool backward = false;
    if (holds_at(text, i, "<-[")) {
      backward = true;
      i += 3;
    } else if (holds_at(text, i, "-[")) {
      i += 2;
    } else {
      return false;
    }
    SimpleHead edge_head;
    const std::size_t close = read_simple_head(text, i, ']', edge_head);
    if (close == kOutside) return false;
    i = close + 1;
    Direction direction = backward ? Direction::Backward : Direction::Any;
    if (holds_at(text, i, "->")) {
      if (backward) return false;
      direction = Direction::Forward;
      i += 2;
    } else if (i < text.size() && text[i] == '-') {
      ++i;
    } else {
      return false;
    }
    SimplePathReader::fill(edges.emplace_back(direction), edge_head);
    while (i < text.size() && text[i] == ' ') ++i;
  }
}

// ---- node and edge patterns --------------------------------------------------

Status parse_node_pattern_into(std::string_view text, NodePattern& out) {
  const std::string_view t = trim(text);
  // The tokenizer only hands over "(...)"; other callers get an error, not a
  // read outside the text.
  if (t.size() < 2 || t.front() != '(' || t.back() != ')')
    return fail(invalid(t, "Node pattern must be enclosed in parentheses"));
  const std::string_view inner = trim(t.substr(1, t.size() - 2));
  if (inner.empty()) return {};

  Parts parts;
  VM_TRY(parse_parts(t, inner, Owner::Node, parts));
  return NodePattern::create_in(out, std::move(parts.variable), std::move(parts.type_schema),
                                std::move(parts.term_schema), std::move(parts.properties));
}

Result<NodePattern> parse_node_pattern(std::string_view text) {
  NodePattern node;
  VM_TRY(parse_node_pattern_into(text, node));
  return node;
}

Status parse_edge_pattern_into(std::string_view text, EdgePattern& out) {
  const std::string_view t = trim(text);
  const std::size_t open = t.find('[');
  if (open == std::string_view::npos) return fail(invalid(t, "Edge pattern must contain brackets"));
  const std::size_t close = t.rfind(']');
  if (close == std::string_view::npos || close < open) return fail(invalid(t, "Brackets are mismatched"));

  const std::string_view prefix = t.substr(0, open);
  const std::string_view suffix = t.substr(close + 1);
  if (prefix.find("<-") != std::string_view::npos && suffix.find("->") != std::string_view::npos)
    return fail(invalid(t, "Cannot have both <- and -> in same edge"));
  // A "<" on the left wins over any head on the right, so "<[e]>" is backward.
  Direction direction = Direction::Any;
  if (prefix.find('<') != std::string_view::npos) {
    direction = Direction::Backward;
  } else if (suffix.find('>') != std::string_view::npos) {
    direction = Direction::Forward;
  }

  const std::string_view inner = trim(t.substr(open + 1, close - open - 1));
  if (inner.empty()) {
    out = EdgePattern(direction);
    return {};
  }

  Parts parts;
  VM_TRY(parse_parts(t, inner, Owner::Edge, parts));
  return EdgePattern::create_in(out, std::move(parts.variable), std::move(parts.type_schema),
                                std::move(parts.term_schema), std::move(parts.properties), direction);
}

Result<EdgePattern> parse_edge_pattern(std::string_view text) {
  EdgePattern edge;
  VM_TRY(parse_edge_pattern_into(text, edge));
  return edge;
}

Result<std::vector<std::string>> smart_split_colons(std::string_view text) {
  std::vector<std::string> parts;
  parts.reserve(3);  // a head has at most three parts
  VM_TRY(split_colons(text, [&](std::string_view part) { parts.emplace_back(part); }));
  return parts;
}

// ---- property blocks -----------------------------------------------------------

Result<PropertyMap> parse_properties(std::string_view text) {
  const std::string_view t = trim(text);
  if (t.empty() || !(t.starts_with('{') && t.ends_with('}')))
    return fail(invalid(t, "Properties must be enclosed in braces {}"));
  const std::string_view inner = trim(t.substr(1, t.size() - 2));
  if (inner.empty()) return PropertyMap();
  // The map is made once every pair is read: a block is a few pairs.
  absl::InlinedVector<std::pair<std::string_view, Value>, 8> pairs;

  // Only the separating colons and commas are left out of the keys and
  // values, so each is one slice of the text: a pair starts after a comma
  // and its value after its colon.
  std::size_t start = 0;
  std::size_t colon = std::string_view::npos;
  auto add_pair = [&](std::size_t end) -> Status {
    Value v = VM_TRY_CTX(parse_value(trim(inner.substr(colon + 1, end - colon - 1)), 0), "parse properties");
    pairs.emplace_back(trim(inner.substr(start, colon - start)), std::move(v));
    return {};
  };
  PairSplitter splitter(Parens::Plain);
  for (std::size_t i = splitter.next(inner); i != std::string_view::npos; i = splitter.next(inner)) {
    if (inner[i] == ':') {
      if (colon != std::string_view::npos) return fail(invalid(t, "Unexpected colon in property value"));
      if (trim(inner.substr(start, i - start)).empty()) return fail(invalid(t, "Empty property key"));
      colon = i;
    } else {
      if (colon == std::string_view::npos) return fail(invalid(t, "Missing colon in property definition"));
      VM_TRY(add_pair(i));
      start = i + 1;
      colon = std::string_view::npos;
    }
  }
  // A trailing comma leaves an empty key behind, which ends the block.
  if (start != inner.size()) {
    if (colon == std::string_view::npos) return fail(invalid(t, "Missing colon in property definition"));
    VM_TRY(add_pair(inner.size()));
  }
  return PropertyMap::from_entries(pairs);
}

Result<Value> parse_property_value(std::string_view text) { return parse_value(text, 0); }

Result<std::string> extract_dict_key(std::string_view text) {
  const std::string_view k = trim(text);
  if (k.empty()) return fail(invalid("", "Empty dictionary key"));
  if (k.size() >= 2 && is_quote(k.front()) && k.back() == k.front())
    return VM_TRY_CTX(unescape_string(k.substr(1, k.size() - 2)), "extract dict key");
  return std::string(k);
}

Result<std::string> unescape_string(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\') {
      out += c;
      continue;
    }
    if (i + 1 == text.size()) return fail(invalid(text, "String ends with incomplete escape sequence"));
    const char escaped = text[++i];
    switch (escaped) {
      case '"': out += '"'; break;
      case '\'': out += '\''; break;
      case '\\': out += '\\'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '0': out += '\0'; break;
      default:
        out += '\\';
        out += escaped;
        break;
    }
  }
  return out;
}

}  // namespace velmora::patterns
