// Printers of parsed patterns and helpers for the pattern parsing suites.
#pragma once

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "patterns/edge.hpp"
#include "patterns/node.hpp"
#include "patterns/path.hpp"
#include "patterns/term_schema.hpp"
#include "patterns/type_schema.hpp"

namespace velmora::patterns::test_support {

// "*", "a", "Arrow(a, b)", "Capture(x, *)".
inline std::string show(const TypePattern& p) {
  if (p.is<TypePattern::Wildcard>()) return "*";
  if (const auto* v = p.get<TypePattern::Variable>()) return v->name;
  if (const auto* a = p.get<TypePattern::Arrow>()) return fmt::format("Arrow({}, {})", show(*a->left), show(*a->right));
  const auto& c = *p.get<TypePattern::Capture>();
  return fmt::format("Capture({}, {})", c.name, show(*c.pattern));
}

// "*", "f", "App(f, x)", "@K[a, Arrow(b, c)]".
inline std::string show(const TermPattern& p) {
  if (p.is<TermPattern::Wildcard>()) return "*";
  if (const auto* v = p.get<TermPattern::Variable>()) return v->name;
  if (const auto* a = p.get<TermPattern::Application>())
    return fmt::format("App({}, {})", show(*a->function), show(*a->argument));
  const auto& c = *p.get<TermPattern::Constant>();
  std::vector<std::string> args;
  for (const TypeSchema& schema : c.type_arguments) args.push_back(show(schema.pattern()));
  return fmt::format("@{}[{}]", c.name, fmt::join(args, ", "));
}

// "var=a, type=A, term=App(f, x), props={k: 1}", absent parts left out.
template <class P>
std::string show_parts(const P& p) {
  std::vector<std::string> parts;
  if (p.variable()) parts.push_back("var=" + *p.variable());
  if (p.type_schema()) parts.push_back("type=" + show(p.type_schema()->pattern()));
  if (p.term_schema()) parts.push_back("term=" + show(p.term_schema()->pattern()));
  if (p.properties()) parts.push_back("props=" + p.properties()->to_string());
  return fmt::format("{}", fmt::join(parts, ", "));
}

// "Node(var=a)", "Node()".
inline std::string show(const NodePattern& n) { return fmt::format("Node({})", show_parts(n)); }

// "Edge<forward>(var=r)".
inline std::string show(const EdgePattern& e) {
  return fmt::format("Edge<{}>({})", to_string(e.direction()), show_parts(e));
}

// "Node(var=a) Node(var=b) | Edge<forward>(var=r)": the nodes, then the edges.
inline std::string show(const PathPattern& path) {
  std::vector<std::string> nodes;
  for (const NodePattern& n : path.nodes()) nodes.push_back(show(n));
  std::vector<std::string> edges;
  for (const EdgePattern& e : path.edges()) edges.push_back(show(e));
  return fmt::format("{} | {}", fmt::join(nodes, " "), fmt::join(edges, " "));
}

// Context lines innermost first, without their " [src/...:N]" positions.
inline std::vector<std::string> context_texts(const Report& report) {
  std::vector<std::string> out;
  for (const std::string& line : report.lines()) out.push_back(line.substr(0, line.rfind(" [")));
  return out;
}

// Context lines innermost first, as "text [src/file]" (line numbers dropped).
inline std::vector<std::string> context_lines(const Report& report) {
  std::vector<std::string> out;
  for (const std::string& line : report.lines()) {
    const std::size_t colon = line.rfind(':');
    out.push_back(colon == std::string::npos ? line : line.substr(0, colon) + "]");
  }
  return out;
}

// Whether `line` is "text [path:N]" with a decimal line number N.
inline bool has_position(std::string_view line, std::string_view text, std::string_view path) {
  const std::string prefix = fmt::format("{} [{}:", text, path);
  if (!line.starts_with(prefix) || !line.ends_with(']')) return false;
  const std::string_view number = line.substr(prefix.size(), line.size() - prefix.size() - 1);
  return !number.empty() && number.find_first_not_of("0123456789") == std::string_view::npos;
}

inline std::string pattern_error(std::string_view pattern, std::string_view reason) {
  return fmt::format("Invalid Pattern; '{}': {}", pattern, reason);
}
inline std::string identifier_error(std::string_view name, std::string_view reason) {
  return fmt::format("Invalid Identifier '{}': {}", name, reason);
}
inline std::string schema_error(std::string_view schema, std::string_view reason) {
  return fmt::format("Schema Validation Failed for '{}': {}", schema, reason);
}

// One row of a parser table: the input and either the printed result or the
// exact message with the context lines (texts only, innermost first).
struct ParseCase {
  std::string label;
  std::string input;
  std::string shape;  // empty when parsing fails
  std::string message;
  std::vector<std::string> lines = {};
};

inline ParseCase ok(std::string label, std::string input, std::string shape) {
  return {std::move(label), std::move(input), std::move(shape), ""};
}
inline ParseCase err(std::string label, std::string input, std::string message, std::vector<std::string> lines = {}) {
  return {std::move(label), std::move(input), "", std::move(message), std::move(lines)};
}

inline std::string case_name(const ::testing::TestParamInfo<ParseCase>& info) { return info.param.label; }

// Checks a parser's result against its table row: the printed value, or a
// ValueError with the row's message and context-line texts.
template <class T, class Show>
void expect_case(const ParseCase& c, const Result<T>& result, Show&& show_value) {
  if (!c.shape.empty()) {
    ASSERT_TRUE(result.has_value()) << errors::format_report(result.error());
    EXPECT_EQ(show_value(*result), c.shape);
    return;
  }
  ASSERT_FALSE(result.has_value()) << show_value(*result);
  const VelmoraError& error = result.error().current_context();
  EXPECT_EQ(error.message(), c.message);
  EXPECT_EQ(error.python_class(), PyClass::ValueError);
  EXPECT_EQ(context_texts(result.error()), c.lines);
}

// Checks a schema parser (TypeSchema or TermSchema) against its table row:
// the printed tree with the schema text kept as given, or a ValueError with
// the row's message and context lines as "text [src/file]".
template <class Schema, class Show>
void expect_schema_case(const ParseCase& c, Show&& show_pattern) {
  const auto result = Schema::create(c.input);
  if (!c.shape.empty()) {
    ASSERT_TRUE(result.has_value()) << errors::format_report(result.error());
    EXPECT_EQ(show_pattern(result->pattern()), c.shape);
    EXPECT_EQ(result->schema(), c.input);
    return;
  }
  ASSERT_FALSE(result.has_value()) << show_pattern(result->pattern());
  const VelmoraError& error = result.error().current_context();
  EXPECT_EQ(error.message(), c.message);
  EXPECT_EQ(error.python_class(), PyClass::ValueError);
  EXPECT_EQ(context_lines(result.error()), c.lines);
}

// Texts of the context lines that recur in the tables.
inline const std::string kPathParse = "path pattern - parse";
inline const std::string kPathNew = "path pattern - new";
inline const std::string kNodeParse = "parse node pattern";
inline const std::string kEdgeParse = "parse edge pattern";
inline const std::string kNodeNew = "node pattern - new";
inline const std::string kEdgeNew = "edge pattern - new";
inline const std::string kProperties = "parse properties";
inline const std::string kPropertyValue = "parse property value";
inline const std::string kListValue = "parse list value";
inline const std::string kDictValue = "parse dict value";
inline const std::string kDictKey = "extract dict key";
inline const std::string kTypeRec = "type schema - parse pattern recursive";
inline const std::string kTypeParse = "type schema - parse pattern";
inline const std::string kTypeNew = "type schema - new";
inline const std::string kTermParse = "term schema - parse pattern";
inline const std::string kTermNew = "term schema - new";

}  // namespace velmora::patterns::test_support
