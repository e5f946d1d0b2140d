// The tokenizer of path patterns, the node and edge pattern parsers and the
// colon splitter.
#include "patterns/parsing.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "pattern_test_support.hpp"
#include "patterns/trim.hpp"
#include "validation.hpp"

namespace velmora::patterns {
namespace {

using namespace test_support;

const char* kWhiteSpace = "Name cannot contain whitespace";
const char* kAlphanumeric = "Name can only contain alphanumeric characters and underscores";
const char* kStart = "Name must start with a letter or underscore";
const char* kNodeColons = "Node pattern has too many ':' separators. Expected format: (var:TypeSchema:TermSchema)";
const char* kEdgeColons = "Edge pattern has too many ':' separators. Expected format: [var:TypeSchema:TermSchema]";
const char* kBraces = "Properties must be enclosed in braces {}";
const char* kUnbalancedParens = "Unbalanced parentheses in pattern";
const char* kUnbalancedBrackets = "Unbalanced brackets in pattern";
const char* kUnbalancedBraces = "Unbalanced braces in pattern";

// ---- tokenizer ----------------------------------------------------------------

std::string show_tokens(const std::vector<Token>& tokens) {
  std::vector<std::string> out;
  for (const Token& t : tokens) out.push_back(fmt::format("{}:{}", t.kind == Token::Kind::Node ? "N" : "E", t.text));
  return fmt::format("{}", fmt::join(out, " | "));
}

class PatternParsingTokenize : public ::testing::TestWithParam<ParseCase> {};

TEST_P(PatternParsingTokenize, GivesTheTokensOrTheExactError) {
  const auto& c = GetParam();
  expect_case(c, tokenize_pattern(c.input), show_tokens);
}

std::string unexpected_outside(std::string_view c) {
  return fmt::format("Unexpected character '{}' outside of node or edge pattern", c);
}
std::string unexpected_in_edge(std::string_view c) {
  return fmt::format("Unexpected character '{}' in edge pattern", c);
}

INSTANTIATE_TEST_SUITE_P(
    PatternParsing, PatternParsingTokenize,
    ::testing::Values(
        ok("one_node", "(a)", "N:(a)"), ok("nested_parentheses", "((a))", "N:((a))"),
        ok("forward_path", "(a)-[r]->(b)", "N:(a) | E:-[r]-> | N:(b)"),
        ok("spaces_stay_out_of_edges", "( a ) -[r]-> ( b )", "N:( a ) | E:-[r]-> | N:( b )"),
        ok("tab_line_feed_return", "(a)\t-[r]->\r\n(b)", "N:(a) | E:-[r]-> | N:(b)"),
        ok("spaces_inside_brackets", "(a)-[ r ] -> (b)", "N:(a) | E:-[ r ] -> | N:(b)"),
        ok("bare_brackets", "(a)[r](b)", "N:(a) | E:[r] | N:(b)"),
        ok("dash_space_edge", "(a)- (b)", "N:(a) | E:-  | N:(b)"),
        ok("arrow_without_brackets", "(a)-->(b)", "N:(a) | E:--> | N:(b)"),
        ok("parentheses_inside_brackets", "(a)-[r:(x: *) -> Y]->(b)", "N:(a) | E:-[r:(x: *) -> Y]-> | N:(b)"),
        ok("two_edges_one_token", "(a)-[r]->-[s]->(b)", "N:(a) | E:-[r]->-[s]-> | N:(b)"),
        ok("edge_first", "-[r]->(a)(b)", "E:-[r]-> | N:(a) | N:(b)"), ok("adjacent_nodes", "(a)(b)", "N:(a) | N:(b)"),
        ok("backward", "(a)<-[r]-(b)", "N:(a) | E:<-[r]- | N:(b)"),
        ok("non_ascii_inside", "(\xc3\xa9)-[\xce\xbb]->(\xd0\x96)", "N:(\xc3\xa9) | E:-[\xce\xbb]-> | N:(\xd0\x96)"),
        ok("node_holds_brackets_and_braces", "(a {k: [1]})", "N:(a {k: [1]})"),
        err("letter_outside", "a", pattern_error("a", unexpected_outside("a"))),
        err("non_ascii_outside", "(a)\xc3\xa9", pattern_error("(a)\xc3\xa9", unexpected_outside("\xc3\xa9"))),
        err("no_break_space_outside", "(a)\xc2\xa0(b)",
            pattern_error("(a)\xc2\xa0(b)", unexpected_outside("\xc2\xa0"))),
        err("quoted_parenthesis_ends_node", "(a {s: ')'})", pattern_error("(a {s: ')'})", unexpected_outside("'"))),
        err("closing_bracket_outside", "(a)](b)", pattern_error("(a)](b)", unexpected_outside("]"))),
        err("node_right_after_dash", "(a)-(b)", pattern_error("(a)-(b)", unexpected_in_edge("("))),
        err("letter_after_edge", "(a)-[r]-> x (b)", pattern_error("(a)-[r]-> x (b)", unexpected_in_edge("x"))),
        err("non_ascii_after_edge", "(a)-[r]->\xce\xbb(b)",
            pattern_error("(a)-[r]->\xce\xbb(b)", unexpected_in_edge("\xce\xbb"))),
        err("unbalanced_parenthesis_in_brackets", "(a)-[(]->(b)",
            pattern_error("(a)-[(]->(b)", unexpected_in_edge("("))),
        err("open_node", "(a", pattern_error("(a", "Unmatched parentheses in pattern")),
        err("open_node_after_edge", "(a)-[r]->(b", pattern_error("(a)-[r]->(b", "Unmatched parentheses in pattern")),
        err("open_bracket", "(a)-[r", pattern_error("(a)-[r", "Unmatched brackets in pattern")),
        err("closed_bracket_too_often", "(a)-]", pattern_error("(a)-]", "Unmatched brackets in pattern")),
        err("ends_with_edge", "(a)-[r]->", pattern_error("(a)-[r]->", "Pattern cannot end with an edge"))),
    case_name);

// ---- node patterns --------------------------------------------------------------

class PatternParsingNode : public ::testing::TestWithParam<ParseCase> {};

TEST_P(PatternParsingNode, GivesThePatternOrTheExactReport) {
  const auto& c = GetParam();
  expect_case(c, parse_node_pattern(c.input), [](const NodePattern& n) { return show(n); });
}

INSTANTIATE_TEST_SUITE_P(
    PatternParsing, PatternParsingNode,
    ::testing::Values(
        ok("empty", "()", "Node()"), ok("blank", "( )", "Node()"), ok("blank_unicode", "(\xe2\x80\x83)", "Node()"),
        ok("variable", "(a)", "Node(var=a)"), ok("variable_trimmed", " ( a\xc2\xa0) ", "Node(var=a)"),
        ok("variable_non_ascii", "(\xc3\xa9\xce\xbb)", "Node(var=\xc3\xa9\xce\xbb)"),
        ok("lone_wildcard_is_type", "(*)", "Node(type=*)"),
        ok("lone_arrow_is_type", "(A -> B)", "Node(type=Arrow(A, B))"),
        ok("lone_parenthesis_is_type", "((x: *))", "Node(type=Capture(x, *))"),
        ok("variable_and_empty_type", "(a:)", "Node(var=a)"), ok("type_alone", "(:A)", "Node(type=A)"),
        ok("term_alone", "(::f x)", "Node(term=App(f, x))"),
        ok("all_three", "(a:A:f x)", "Node(var=a, type=A, term=App(f, x))"),
        ok("parts_trimmed", "( a : A -> B : f )", "Node(var=a, type=Arrow(A, B), term=f)"),
        ok("all_empty_parts", "(::)", "Node()"),
        ok("capture_colon_not_split", "(a:(x: *) -> (y: *))", "Node(var=a, type=Arrow(Capture(x, *), Capture(y, *)))"),
        ok("constant_term", "(a:*:@K(x, y -> z) w)", "Node(var=a, type=*, term=App(@K[x, Arrow(y, z)], w))"),
        ok("variable_and_block", "(a {k: 1})", "Node(var=a, props={k: 1})"),
        ok("block_alone", "({k: 1})", "Node(props={k: 1})"), ok("empty_block", "(a {})", "Node(var=a, props={})"),
        ok("block_after_three_parts", "(a:A:f {k: 'v', n: [1, 2.5]})",
           "Node(var=a, type=A, term=f, props={k: \"v\", n: [1, 2.5]})"),
        ok("block_without_space", "(a:A{k: 1})", "Node(var=a, type=A, props={k: 1})"),
        err("variable_with_space", "(a b)", identifier_error("a b", kWhiteSpace), {kNodeNew}),
        err("variable_reserved", "(None)", identifier_error("None", "'None' is a reserved name"), {kNodeNew}),
        err("variable_bad_start", "(1a: *)", identifier_error("1a", kStart), {kNodeNew}),
        err("type_checked_before_variable", "(1a: ->)", schema_error("", "Empty pattern"),
            {kTypeRec, kTypeParse, kTypeNew, kNodeParse}),
        err("term_checked_before_variable", "(1a: A: (f x))", identifier_error("(f x)", kWhiteSpace),
            {kTermParse, kTermNew, kNodeParse}),
        err("lone_starred_name_is_type", "(f*)", identifier_error("f*", kAlphanumeric),
            {kTypeRec, kTypeParse, kTypeNew, kNodeParse}),
        err("too_many_parts", "(a:b:c:d)", pattern_error("(a:b:c:d)", kNodeColons)),
        err("too_many_empty_parts", "(:::)", pattern_error("(:::)", kNodeColons)),
        err("text_after_block", "(a {k: 1} b)", pattern_error("{k: 1} b", kBraces), {kNodeParse}),
        err("block_checked_before_split", "(a:b:c:d {k: })", pattern_error("", "Empty property value"),
            {kProperties, kNodeParse}),
        err("brace_inside_parentheses_is_no_block", "(a: ({))", pattern_error("a: ({)", kUnbalancedBraces),
            {kNodeParse}),
        err("closing_brace", "(a: })", pattern_error("a: }", kUnbalancedBraces), {kNodeParse}),
        err("closing_bracket_at_once", "(a: x])", pattern_error("a: x]", kUnbalancedBrackets), {kNodeParse}),
        err("opening_bracket_at_end", "(a: [x)", pattern_error("a: [x", kUnbalancedBrackets), {kNodeParse}),
        err("opening_parenthesis_at_end", "(a: ( )", pattern_error("a: (", kUnbalancedParens), {kNodeParse}),
        err("head_keeps_its_trailing_space", "(a: } {k: 1})", pattern_error("a: } ", kUnbalancedBraces), {kNodeParse}),
        err("bracket_hides_block", "(a: x] {k: 1})", pattern_error("a: x] {k: 1}", kUnbalancedBrackets), {kNodeParse}),
        err("not_a_node_token", "a", pattern_error("a", "Node pattern must be enclosed in parentheses")),
        err("lone_parenthesis", "(", pattern_error("(", "Node pattern must be enclosed in parentheses")),
        err("blank_token", " ", pattern_error("", "Node pattern must be enclosed in parentheses"))),
    case_name);

// ---- edge patterns ----------------------------------------------------------------

class PatternParsingEdge : public ::testing::TestWithParam<ParseCase> {};

TEST_P(PatternParsingEdge, GivesThePatternOrTheExactReport) {
  const auto& c = GetParam();
  expect_case(c, parse_edge_pattern(c.input), [](const EdgePattern& e) { return show(e); });
}

INSTANTIATE_TEST_SUITE_P(
    PatternParsing, PatternParsingEdge,
    ::testing::Values(
        ok("forward", "-[e]->", "Edge<forward>(var=e)"), ok("forward_short_head", "-[e]>", "Edge<forward>(var=e)"),
        ok("forward_bare_head", "[e]>", "Edge<forward>(var=e)"), ok("backward", "<-[e]-", "Edge<backward>(var=e)"),
        ok("backward_short_head", "<[e]-", "Edge<backward>(var=e)"),
        ok("backward_beats_short_forward", "<[e]>", "Edge<backward>(var=e)"),
        ok("backward_beats_short_forward_long_left", "<-[e]>", "Edge<backward>(var=e)"),
        ok("backward_beats_long_forward_short_left", "<[e]->", "Edge<backward>(var=e)"),
        ok("any", "-[e]-", "Edge<any>(var=e)"), ok("any_bare", "[e]", "Edge<any>(var=e)"),
        ok("any_with_spaces", "- [e] -", "Edge<any>(var=e)"), ok("no_parts", "-[]->", "Edge<forward>()"),
        ok("blank_parts", "-[ \xc2\xa0 ]->", "Edge<forward>()"),
        ok("type_needs_two_parts", "-[:*]->", "Edge<forward>(type=*)"),
        ok("all_parts", "-[e:A -> B:f x {w: 2}]->",
           "Edge<forward>(var=e, type=Arrow(A, B), term=App(f, x), props={w: 2})"),
        ok("block_alone", "<-[{w: 'x'}]-", "Edge<backward>(props={w: \"x\"})"),
        ok("capture_type", "-[r:(x: *) -> Y]->", "Edge<forward>(var=r, type=Arrow(Capture(x, *), Y))"),
        err("both_heads", "<-[e]->", pattern_error("<-[e]->", "Cannot have both <- and -> in same edge")),
        err("both_heads_checked_first", "<-[e:a:b:c]->",
            pattern_error("<-[e:a:b:c]->", "Cannot have both <- and -> in same edge")),
        err("lone_wildcard_is_variable", "-[*]->", identifier_error("*", kAlphanumeric), {kEdgeNew}),
        err("lone_arrow_is_variable", "-[a->b]->", identifier_error("a->b", kAlphanumeric), {kEdgeNew}),
        err("variable_with_space", "-[a b]->", identifier_error("a b", kWhiteSpace), {kEdgeNew}),
        err("no_brackets", "-->", pattern_error("-->", "Edge pattern must contain brackets")),
        err("no_brackets_trimmed", " - ", pattern_error("-", "Edge pattern must contain brackets")),
        err("mismatched", "-]e[->", pattern_error("-]e[->", "Brackets are mismatched")),
        err("no_closing_bracket", "-[e", pattern_error("-[e", "Brackets are mismatched")),
        err("too_many_parts", "-[e:a:b:c]->", pattern_error("-[e:a:b:c]->", kEdgeColons)),
        err("two_edges", "-[r]->-[s]->", pattern_error("r]->-[s", kUnbalancedBrackets), {kEdgeParse}),
        err("open_parenthesis", "-[e:(]->", pattern_error("e:(", kUnbalancedParens), {kEdgeParse}),
        err("empty_value", "-[e {k: }]->", pattern_error("", "Empty property value"), {kProperties, kEdgeParse}),
        err("bad_type", "-[e:a - > b]->", identifier_error("a - > b", kWhiteSpace),
            {kTypeRec, kTypeParse, kTypeNew, kEdgeParse}),
        err("bad_term", "-[e:A:@(a)]->", pattern_error("@(a)", "Constant name cannot be empty"),
            {kTermParse, kTermNew, kEdgeParse})),
    case_name);

// ---- colon splitting ------------------------------------------------------------------

class PatternParsingSplit : public ::testing::TestWithParam<ParseCase> {};

TEST_P(PatternParsingSplit, GivesThePartsOrTheExactError) {
  const auto& c = GetParam();
  expect_case(c, smart_split_colons(c.input),
              [](const std::vector<std::string>& parts) { return fmt::format("[{}]", fmt::join(parts, "|")); });
}

INSTANTIATE_TEST_SUITE_P(
    PatternParsing, PatternParsingSplit,
    ::testing::Values(ok("three", "a:b:c", "[a|b|c]"), ok("empty_parts_kept", "a::", "[a||]"),
                      ok("empty_text", "", "[]"),
                      ok("trimmed",
                         " a :\xc2\xa0"
                         "b ",
                         "[a|b]"),
                      ok("nesting_hides_colons", "(x: *):[k:v]:{k:v}", "[(x: *)|[k:v]|{k:v}]"),
                      ok("four_parts", "a:b:c:d", "[a|b|c|d]"),
                      err("closing_parenthesis_at_once", "x)(", pattern_error("x)(", kUnbalancedParens)),
                      err("closing_bracket_at_once", "a:]:(", pattern_error("a:]:(", kUnbalancedBrackets)),
                      err("closing_brace_at_once", "}", pattern_error("}", kUnbalancedBraces)),
                      err("parentheses_reported_first", "[(", pattern_error("[(", kUnbalancedParens)),
                      err("brackets_before_braces", "{[", pattern_error("{[", kUnbalancedBrackets)),
                      err("open_brace", "{:", pattern_error("{:", kUnbalancedBraces))),
    case_name);

// ---- positions and sharing --------------------------------------------------------

TEST(PatternParsingPositions, ContextLinesNameTheirSourceFiles) {
  const auto node = parse_node_pattern("(a {k: x})");
  ASSERT_FALSE(node.has_value());
  const auto lines = node.error().lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(has_position(lines[0], "parse properties", "src/patterns/parsing")) << lines[0];
  EXPECT_TRUE(has_position(lines[1], "parse node pattern", "src/patterns/parsing")) << lines[1];

  const auto bad_variable = parse_edge_pattern("-[a b]->");
  ASSERT_FALSE(bad_variable.has_value());
  EXPECT_TRUE(has_position(bad_variable.error().lines().at(0), "edge pattern - new", "src/patterns/edge"));
  const auto bad_node_variable = parse_node_pattern("(a b)");
  ASSERT_FALSE(bad_node_variable.has_value());
  EXPECT_TRUE(has_position(bad_node_variable.error().lines().at(0), "node pattern - new", "src/patterns/node"));
}

TEST(PatternParsingCopy, CopiesShareThePropertyMap) {
  const auto node = parse_node_pattern("(a:A {k: 1})");
  ASSERT_TRUE(node.has_value());
  const NodePattern copy = *node;
  PropertyMap(copy.properties().value()).insert("added", Value(std::int64_t{2}));
  EXPECT_EQ(node->properties()->to_string(), "{added: 2, k: 1}");
  EXPECT_EQ(copy.type_schema()->schema(), "A");

  const auto edge = parse_edge_pattern("-[e {k: 1}]->");
  ASSERT_TRUE(edge.has_value());
  const EdgePattern edge_copy = *edge;
  PropertyMap(edge_copy.properties().value()).insert("k", Value("v"));
  EXPECT_EQ(edge->properties()->to_string(), "{k: \"v\"}");
}

TEST(PatternParsingSchemas, KeepThePartTextAsTheirSchema) {
  const auto node = parse_node_pattern("(a : (x: *) -> B : f  x )");
  ASSERT_TRUE(node.has_value());
  EXPECT_EQ(node->type_schema()->schema(), "(x: *) -> B");
  EXPECT_EQ(node->term_schema()->schema(), "f  x");
}

TEST(PatternParsingDirection, TextsRoundTrip) {
  for (const Direction d : {Direction::Forward, Direction::Backward, Direction::Any})
    EXPECT_EQ(direction_from_string(to_string(d)), d);
  EXPECT_EQ(to_string(Direction::Backward), "backward");
  EXPECT_EQ(direction_from_string("Forward"), std::nullopt);
  EXPECT_EQ(static_cast<int>(Direction::Any), 2);
}

// The parsers' trim answers as the Unicode one on every text, its shortcut
// for plain ASCII ends included.
TEST(PatternTrim, AgreesWithTheUnicodeTrim) {
  const std::vector<std::string> pieces = {
      "a",    "(",       ")",  "-",        "*",        "\x1c",         "\x7f",         " ",        "\t",       "\n",
      "\v",   "\f",      "\r", "\xc2\x85", "\xc2\xa0", "\xe3\x80\x80", "\xe2\x80\xa8", "\xc3\xa9", "\xce\xbb", "\x80",
      "\xc2", "\xe3\x80"};
  std::mt19937 rng(5);
  std::uniform_int_distribution<std::size_t> length(0, 6);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (std::size_t n = length(rng); n > 0; --n) text += pieces[pick(rng)];
    const std::string_view fast = trim(text);
    const std::string_view full = trim_white_space(text);
    ASSERT_EQ(fast.data(), full.data()) << text;
    ASSERT_EQ(fast.size(), full.size()) << text;
  }
}

}  // namespace
}  // namespace velmora::patterns
