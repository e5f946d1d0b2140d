// The parsers of the pattern language below type and term schemas: the
// tokenizer of path patterns, the node and edge pattern parsers, and property
// literals.
//
// Every function is pure: it reads only its argument, touches no shared state
// and may run on any thread (in practice the Python caller's, when a query
// operation is recorded). Texts are UTF-8. "Trim" below removes the Unicode
// White_Space characters at both ends (`trim_white_space`).
//
// Every failure is an error report whose current error is `InvalidPattern`
// {pattern, reason} unless said otherwise; the reports of the schema parsers
// and of `validate_variable_name` pass through with the context lines
// named below attached on top of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "patterns/edge.hpp"
#include "patterns/node.hpp"
#include "properties.hpp"

namespace velmora::patterns {

// One lexical unit of a path pattern: a view into the text that was cut, valid
// while that text lives.
struct Token {
  enum class Kind : std::uint8_t {
    Node = 0,  // from a "(" to its matching ")", both included
    Edge = 1,  // from its first character to the one after which a node begins
  };
  Kind kind;
  std::string_view text;

  bool operator==(const Token&) const = default;
};

// Property literals may nest lists and maps this deep; deeper ones fail with
// "Property value is nested too deeply (more than 1000 levels of lists and
// maps)". Python values cannot nest deeper either.
inline constexpr std::size_t kMaxLiteralDepth = 1000;

// Cuts a trimmed path text into node and edge tokens, in text order. Between
// tokens only tab, line feed, carriage return and space are skipped. Inside a
// node only parentheses are counted (quotes are not: a ")" in a quoted
// property value ends the node). An edge may hold any character inside its
// square brackets; outside them only "-", "<", ">", "[", "]" and the four
// white-space characters. An edge ends where, at bracket and parenthesis depth
// 0, the next character other than white space is "(".
// Errors (pattern: `text`, no context line):
//   "Unexpected character '{c}' outside of node or edge pattern",
//   "Unexpected character '{c}' in edge pattern",
//   "Unmatched parentheses in pattern" (a node still open at the end),
//   "Unmatched brackets in pattern", "Pattern cannot end with an edge".
Result<std::vector<Token>> tokenize_pattern(std::string_view text);

// The common shapes of a path in one pass, without tokens: nodes
// "(" [name] [":" name] [block] ")" and edges "-[" ... "]->", "<-[" ... "]-"
// or "-[" ... "]-" with the same head inside, spaces only between them and
// before a block, where a name is an ASCII name that
// `validate_variable_name` accepts and a block "{...}" holds no
// parenthesis, square bracket or non-ASCII byte. `text` has no
// White_Space around it. Fills `nodes` and `edges`, both empty, with exactly
// what `tokenize_pattern` and the token parsers build from `text` and
// returns true; returns false for any other text, and for a block that
// `parse_properties` refuses, leaving both lists unspecified: the caller then
// parses the text in full, which gives every report. Never fails itself.
bool parse_simple_path(std::string_view text, std::vector<NodePattern>& nodes, std::vector<EdgePattern>& edges);

// Parses one node token, "(" head [properties] ")", where head is up to three
// colon-separated parts (`smart_split_colons`): one part is a type schema if
// it contains "->" or "*" or begins with "(", else the variable; two are the
// variable and the type schema; three add the term schema. Empty parts are
// absent. Checks in order: property block, split, type schema, term schema,
// variable. Errors (pattern: the trimmed token):
//   "Node pattern must be enclosed in parentheses" (not a node token);
//   "Node pattern has too many ':' separators. Expected format:
//   (var:TypeSchema:TermSchema)";
//   failures of `parse_properties`, `smart_split_colons` and the schemas with
//   the line "parse node pattern"; a bad variable with "node pattern - new".
Result<NodePattern> parse_node_pattern(std::string_view text);

// Parses one edge token, prefix "[" head [properties] "]" suffix. The
// direction is backward when the prefix holds "<", else forward when the
// suffix holds ">", else any. One part is always the variable; two are the
// variable and the type schema; three add the term schema. Errors (pattern:
// the trimmed token): "Edge pattern must contain brackets", "Brackets are
// mismatched" (no "]" after the first "["), "Cannot have both <- and -> in
// same edge", "Edge pattern has too many ':' separators. Expected format:
// [var:TypeSchema:TermSchema]"; failures of the parts with the line
// "parse edge pattern"; a bad variable with "edge pattern - new".
Result<EdgePattern> parse_edge_pattern(std::string_view text);

// `parse_node_pattern` and `parse_edge_pattern` building into `out`, a
// pattern with no parts, with the same errors; on failure `out` is left in
// an unspecified state.
Status parse_node_pattern_into(std::string_view text, NodePattern& out);
Status parse_edge_pattern_into(std::string_view text, EdgePattern& out);

// Splits the head of a node or edge pattern at the colons that stand outside
// parentheses, square brackets and braces, trimming every part (empty parts
// kept). Errors (pattern: `text`): "Unbalanced parentheses in pattern",
// "Unbalanced brackets in pattern" or "Unbalanced braces in pattern", at once
// for a closing character without its opening one, else at the end for the
// first kind left open.
Result<std::vector<std::string>> smart_split_colons(std::string_view text);

// Parses a property block "{key: value, ...}" into a new map. Keys are the
// trimmed texts before the colons, taken as written (quotes stay); a repeated
// key keeps its last value; a trailing comma is accepted. Errors (pattern:
// the trimmed text): "Properties must be enclosed in braces {}", "Unexpected
// colon in property value", "Empty property key", "Missing colon in property
// definition"; a value's failure with the line "parse properties".
Result<PropertyMap> parse_properties(std::string_view text);

// Parses one value literal: a quoted string ('...' or "...", with the escapes
// of `unescape_string`), true, false, null or None (the empty value), a map
// literal {k: v, ...} (quoted keys unquoted), a list literal [v, ...], a
// 64-bit integer, or a finite float (an integer literal that overflows is
// read as a float). Errors: "Empty property value" (empty pattern field);
// "Unclosed string literal (expected closing {q})", "Invalid numeric value
// (NaN or Infinity not supported)", "Invalid property value. Strings must be
// quoted, e.g., \"value\" or 'value'" and the nesting limit (pattern: the
// trimmed text); nested failures with the line "parse property value" (a
// string's escapes), "parse list value" (a list item) or "parse dict value" (a
// map value).
Result<Value> parse_property_value(std::string_view text);

// The key of a map literal: the trimmed text, unquoted and unescaped when it
// is quoted at both ends with the same quote character. Errors: "Empty
// dictionary key" (empty pattern field); escapes with the line
// "extract dict key".
Result<std::string> extract_dict_key(std::string_view text);

// Resolves the backslash escapes \" \' \\ \n \r \t \0; a backslash before any
// other character stays with it. Error (pattern: `text`): "String ends with
// incomplete escape sequence" for a final lone backslash.
Result<std::string> unescape_string(std::string_view text);

}  // namespace velmora::patterns
