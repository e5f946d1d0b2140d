// Path patterns: parsing whole paths, the shape check, robustness against
// random and deeply nested input.
#include "patterns/path.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pattern_test_support.hpp"
#include "patterns/parsing.hpp"
#include "validation.hpp"

namespace velmora::patterns {
namespace {

using namespace test_support;

const char* kEmpty = "Pattern cannot be empty";
const char* kTooManyEdges = "Invalid pattern: too many edges for the number of nodes";
const char* kShape = "the number of nodes should be the number of edges plus 1";
const char* kBrackets = "Edge pattern must contain brackets";

std::string unexpected_outside(std::string_view c) {
  return fmt::format("Unexpected character '{}' outside of node or edge pattern", c);
}
std::string unexpected_in_edge(std::string_view c) {
  return fmt::format("Unexpected character '{}' in edge pattern", c);
}

class PathPatternCreate : public ::testing::TestWithParam<ParseCase> {};

TEST_P(PathPatternCreate, GivesThePathOrTheExactReport) {
  const auto& c = GetParam();
  const auto result = PathPattern::create(c.input);
  if (!c.shape.empty()) {
    ASSERT_TRUE(result.has_value()) << errors::format_report(result.error());
    EXPECT_EQ(show(*result), c.shape);
    EXPECT_EQ(result->pattern(), trim_white_space(c.input));
    return;
  }
  ASSERT_FALSE(result.has_value()) << show(*result);
  const VelmoraError& error = result.error().current_context();
  EXPECT_EQ(error.message(), c.message);
  EXPECT_EQ(error.python_class(), PyClass::ValueError);
  EXPECT_EQ(context_texts(result.error()), c.lines);
}

const std::vector<std::string> kTokenizer = {kPathParse, kPathNew};

INSTANTIATE_TEST_SUITE_P(
    PathPattern, PathPatternCreate,
    ::testing::Values(
        ok("one_node", "(a)", "Node(var=a) | "),
        ok("forward", "(a)-[r]->(b)", "Node(var=a) Node(var=b) | Edge<forward>(var=r)"),
        ok("spaced_and_trimmed", "\xc2\xa0 ( a ) -[r]-> ( b ) \n", "Node(var=a) Node(var=b) | Edge<forward>(var=r)"),
        ok("example", "(a:Person)-[r:Knows]->(b {age: 30})",
           "Node(var=a, type=Person) Node(var=b, props={age: 30}) | Edge<forward>(var=r, type=Knows)"),
        ok("bare_brackets_any", "(a)[r](b)", "Node(var=a) Node(var=b) | Edge<any>(var=r)"),
        ok("dashes_any", "(a)-[r]-(b)", "Node(var=a) Node(var=b) | Edge<any>(var=r)"),
        ok("backward", "(a)<-[r:T]-(b)", "Node(var=a) Node(var=b) | Edge<backward>(var=r, type=T)"),
        ok("capture_in_edge", "(a)-[r:(x: *) -> Y]->(b)",
           "Node(var=a) Node(var=b) | Edge<forward>(var=r, type=Arrow(Capture(x, *), Y))"),
        ok("three_nodes", "(a)-[r]->(b)<-[s]-(c)",
           "Node(var=a) Node(var=b) Node(var=c) | Edge<forward>(var=r) Edge<backward>(var=s)"),
        ok("anonymous", "()-[]->()", "Node() Node() | Edge<forward>()"),
        ok("adjacent_nodes_pass_create", "(a)(b)", "Node(var=a) Node(var=b) | "),
        ok("edge_first", "-[r]->(a)(b)", "Node(var=a) Node(var=b) | Edge<forward>(var=r)"),
        err("empty", "", pattern_error("", kEmpty), {kPathNew}),
        err("blank", " \t\xe3\x80\x80", pattern_error("", kEmpty), {kPathNew}),
        err("arrow_without_brackets", "(a)-->(b)", pattern_error("-->", kBrackets), kTokenizer),
        err("dash_and_space", "(a)- (b)", pattern_error("-", kBrackets), kTokenizer),
        err("node_right_after_dash", "(a)-(b)", pattern_error("(a)-(b)", unexpected_in_edge("(")), kTokenizer),
        err("letter", "a", pattern_error("a", unexpected_outside("a")), kTokenizer),
        err("letter_after_edge", "(a)-[r]-> x (b)", pattern_error("(a)-[r]-> x (b)", unexpected_in_edge("x")),
            kTokenizer),
        err("inner_no_break_space", "(a)\xc2\xa0(b)", pattern_error("(a)\xc2\xa0(b)", unexpected_outside("\xc2\xa0")),
            kTokenizer),
        err("quoted_parenthesis", "(a {s: ')'})", pattern_error("(a {s: ')'})", unexpected_outside("'")), kTokenizer),
        err("open_node", "(a", pattern_error("(a", "Unmatched parentheses in pattern"), kTokenizer),
        err("open_bracket", "(a)-[r", pattern_error("(a)-[r", "Unmatched brackets in pattern"), kTokenizer),
        err("ends_with_edge", "(a)-[r]->(b)-[s]->",
            pattern_error("(a)-[r]->(b)-[s]->", "Pattern cannot end with an edge"), kTokenizer),
        err("edge_first_alone", "-[r]->(a)", pattern_error("-[r]->(a)", kTooManyEdges), {kPathNew}),
        err("bare_edge_first", "[r](a)", pattern_error("[r](a)", kTooManyEdges), {kPathNew}),
        err("two_edges_one_token", "(a)-[r]->-[s]->(b)", pattern_error("r]->-[s", "Unbalanced brackets in pattern"),
            {kEdgeParse, kPathParse, kPathNew}),
        err("both_heads", "(a)<-[r]->(b)", pattern_error("<-[r]->", "Cannot have both <- and -> in same edge"),
            kTokenizer),
        err("bad_node_variable", "(a b)-[r]->(c)", identifier_error("a b", "Name cannot contain whitespace"),
            {kNodeNew, kPathParse, kPathNew}),
        err("bad_edge_variable", "(a)-[*]->(c)",
            identifier_error("*", "Name can only contain alphanumeric characters and underscores"),
            {kEdgeNew, kPathParse, kPathNew}),
        err("bad_property", "(a {k: x})",
            pattern_error("x", "Invalid property value. Strings must be quoted, e.g., \"value\" or 'value'"),
            {kProperties, kNodeParse, kPathParse, kPathNew}),
        err("bad_type_schema", "(a)-[r:->]->(b)", schema_error("", "Empty pattern"),
            {kTypeRec, kTypeParse, kTypeNew, kEdgeParse, kPathParse, kPathNew}),
        err("first_failing_token_wins", "(a b)-[*]->(c)", identifier_error("a b", "Name cannot contain whitespace"),
            {kNodeNew, kPathParse, kPathNew})),
    case_name);

TEST(PathPatternCreate, ReportNamesThePathModule) {
  const auto result = PathPattern::create("(a)-->(b)");
  ASSERT_FALSE(result.has_value());
  const auto lines = result.error().lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(has_position(lines[0], kPathParse, "src/patterns/path")) << lines[0];
  EXPECT_TRUE(has_position(lines[1], kPathNew, "src/patterns/path")) << lines[1];
  EXPECT_EQ(errors::format_report(result.error()),
            "Invalid Pattern; '-->': Edge pattern must contain brackets\n → " + lines[1] + "\n → " + lines[0]);
}

TEST(PathPatternValidate, AsksForOneNodeMoreThanEdges) {
  for (const char* text : {"(a)", "(a)-[r]->(b)", "-[r]->(a)(b)", "(a)-[r]->(b)<-[s]-(c)"}) {
    const auto path = PathPattern::create(text);
    ASSERT_TRUE(path.has_value()) << text;
    EXPECT_TRUE(path->validate().has_value()) << text;
  }
  for (const char* text : {"(a)(b)", "(a)(b)(c)-[r]->(d)"}) {
    const auto path = PathPattern::create(text);
    ASSERT_TRUE(path.has_value()) << text;
    const auto status = path->validate();
    ASSERT_FALSE(status.has_value()) << text;
    EXPECT_EQ(status.error().current_context().message(), pattern_error(text, kShape));
    EXPECT_TRUE(status.error().lines().empty());
  }
  const PathPattern empty("", {}, {});
  EXPECT_FALSE(empty.validate().has_value());
}

TEST(PathPatternCopy, SharesPropertyMapsAndKeepsEverythingElse) {
  const auto path = PathPattern::create("(a {k: 1})-[r:T {w: 2}]->(b)");
  ASSERT_TRUE(path.has_value());
  PathPattern copy = *path;
  PropertyMap(copy.nodes()[0].properties().value()).insert("n", Value(std::int64_t{3}));
  PropertyMap(copy.edges()[0].properties().value()).insert("w", Value(true));
  EXPECT_EQ(path->nodes()[0].properties()->to_string(), "{k: 1, n: 3}");
  EXPECT_EQ(path->edges()[0].properties()->to_string(), "{w: true}");
  EXPECT_EQ(show(copy), show(*path));
  EXPECT_EQ(copy.pattern(), path->pattern());
  EXPECT_FALSE(copy.nodes()[1].properties().has_value());
}

// ---- deep nesting -----------------------------------------------------------------

std::string repeat(std::string_view piece, std::size_t n) {
  std::string out;
  out.reserve(piece.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += piece;
  return out;
}

constexpr std::size_t kDeep = 10000;

// The text inside the outermost parentheses is a type schema; whether that
// parser accepts such depth or refuses it, the path parser reports a value or
// a parse error with its own lines on top.
void expect_parsed_or_type_error(const Result<PathPattern>& path, std::string_view shape) {
  if (path) {
    EXPECT_EQ(show(*path), shape);
    return;
  }
  const auto lines = context_texts(path.error());
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{kNodeParse, kPathParse, kPathNew}));
  EXPECT_TRUE(path.error().current_context().is<errors::SchemaValidation>()) << errors::format_report(path.error());
}

TEST(PathPatternNesting, TenThousandParenthesesGiveAValueOrAReport) {
  const auto open = PathPattern::create(repeat("(", kDeep));
  ASSERT_FALSE(open.has_value());
  EXPECT_EQ(open.error().current_context().get<errors::InvalidPattern>()->reason, "Unmatched parentheses in pattern");

  const auto wildcard = PathPattern::create(repeat("(", kDeep) + "*" + repeat(")", kDeep));
  expect_parsed_or_type_error(wildcard, "Node(type=*) | ");

  const auto empty_core = PathPattern::create(repeat("(", kDeep) + repeat(")", kDeep));
  ASSERT_FALSE(empty_core.has_value());
  expect_parsed_or_type_error(empty_core, "");
}

TEST(PathPatternNesting, TenThousandBracketsAndBracesFailWithAReport) {
  const auto brackets = PathPattern::create("(a)-" + repeat("[", kDeep) + repeat("]", kDeep) + "->(b)");
  ASSERT_FALSE(brackets.has_value());
  EXPECT_EQ(brackets.error().current_context().get<errors::InvalidIdentifier>()->reason,
            "Name must be between 1 and 255 characters");
  EXPECT_EQ(context_texts(brackets.error()), (std::vector<std::string>{kEdgeNew, kPathParse, kPathNew}));

  const auto braces = PathPattern::create("(" + repeat("{", kDeep) + repeat("}", kDeep) + ")");
  ASSERT_FALSE(braces.has_value());
  EXPECT_EQ(braces.error().current_context().get<errors::InvalidPattern>()->reason,
            "Missing colon in property definition");

  const auto lists = PathPattern::create("(a {k: " + repeat("[", kDeep) + repeat("]", kDeep) + "})");
  ASSERT_FALSE(lists.has_value());
  EXPECT_EQ(lists.error().current_context().get<errors::InvalidPattern>()->reason,
            "Property value is nested too deeply (more than 1000 levels of lists and maps)");
  auto expected = std::vector<std::string>(kMaxLiteralDepth, kListValue);
  expected.insert(expected.end(), {kProperties, kNodeParse, kPathParse, kPathNew});
  EXPECT_EQ(context_texts(lists.error()), expected);
}

TEST(PathPatternNesting, LongEdgesTokenizeInLinearTime) {
  const std::string spaces = "(a)-" + std::string(200000, ' ') + "x(b)";
  const auto result = tokenize_pattern(spaces);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().current_context().get<errors::InvalidPattern>()->reason,
            "Unexpected character 'x' in edge pattern");
  const auto dashes = PathPattern::create("(a)" + repeat("- ", 100000) + "[r]->(b)");
  ASSERT_TRUE(dashes.has_value()) << errors::format_report(dashes.error());
  EXPECT_EQ(dashes->edges()[0].direction(), Direction::Forward);
}

// ---- random input ----------------------------------------------------------------

bool is_parse_error(const Report& report) {
  const VelmoraError& e = report.current_context();
  return e.is<errors::InvalidPattern>() || e.is<errors::InvalidIdentifier>() || e.is<errors::SchemaValidation>();
}

// Runs every parser on `text`; each must return a value or a parse error.
void check_all_parsers(const std::string& text, int& paths_parsed) {
  SCOPED_TRACE(text);
  const auto path = PathPattern::create(text);
  if (path) {
    ++paths_parsed;
    EXPECT_GE(path->nodes().size(), 1u);
    EXPECT_LT(path->edges().size(), path->nodes().size());
    EXPECT_EQ(path->pattern(), trim_white_space(text));
    (void)path->validate();
  } else {
    EXPECT_TRUE(is_parse_error(path.error())) << errors::format_report(path.error());
    EXPECT_FALSE(errors::format_report(path.error()).empty());
  }
  const auto expect_parse_error = [](const auto& result) {
    if (!result) {
      EXPECT_TRUE(is_parse_error(result.error())) << errors::format_report(result.error());
    }
  };
  expect_parse_error(tokenize_pattern(text));
  expect_parse_error(parse_node_pattern(text));
  expect_parse_error(parse_edge_pattern(text));
  expect_parse_error(smart_split_colons(text));
  expect_parse_error(parse_properties(text));
  expect_parse_error(parse_property_value(text));
  expect_parse_error(extract_dict_key(text));
  expect_parse_error(unescape_string(text));
}

TEST(PathPatternFuzz, RandomCharactersNeverCrash) {
  const std::vector<std::string> alphabet = {"(", ")", "[", "]", "{",  "}", "<",        ">",        "-",        ":",
                                             "*", "@", ",", "'", "\"", " ", "\\",       "a",        "b",        "x",
                                             "K", "0", "1", "9", ".",  "e", "\xc3\xa9", "\xce\xbb", "\xd0\x96", "\t"};
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<std::size_t> length(0, 24);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  int parsed = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (std::size_t n = length(rng); n > 0; --n) text += alphabet[pick(rng)];
    check_all_parsers(text, parsed);
    if (::testing::Test::HasFailure()) return;
  }
}

TEST(PathPatternFuzz, RandomFragmentsNeverCrash) {
  const std::vector<std::string> fragments = {
      "(",  ")",   "(a)",  "(:A)", "(b:A -> B)", "(*)",   "-[",     "]->", "<-[",  "]-",       "[r]",      "-",
      ">",  "<",   "{k: ", "}",    "'x'",        "\"y\"", "[1, ",   "]",   "{a: ", ":",        " ",        "*",
      "->", "@K(", "f x",  ",",    "null",       "1e3",   "(x: *)", "\\",  "'",    "\xc3\xa9", "\xce\xbb", "\xd0\x96"};
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> length(1, 12);
  std::uniform_int_distribution<std::size_t> pick(0, fragments.size() - 1);
  int parsed = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (std::size_t n = length(rng); n > 0; --n) text += fragments[pick(rng)];
    check_all_parsers(text, parsed);
    if (::testing::Test::HasFailure()) return;
  }
  // The fragments reach the success paths too, not only the errors.
  EXPECT_GT(parsed, 100);
}

// ---- the per-thread cache of create_shared --------------------------------------

// What a caller can observe of a parse: the pattern's shape and text, or the
// whole printed report with its context lines.
std::string outcome(const Result<PathPattern>& r) {
  if (!r) return "error: " + errors::format_report(r.error());
  return "ok: " + show(*r) + " / " + r->pattern();
}
std::string outcome(const Result<std::shared_ptr<const PathPattern>>& r) {
  if (!r) return "error: " + errors::format_report(r.error());
  return "ok: " + show(**r) + " / " + (*r)->pattern();
}

// Texts from fragments, both valid and failing, several times more of them
// than the cache has slots, so that texts share and retake slots.
std::vector<std::string> cache_texts(unsigned seed) {
  const std::vector<std::string> fragments = {"(a)",      "(:A)",  "(b:A -> B)", "(*)",   "-[r]->",
                                              "<-[s:T]-", "-[]->", "(n {k: 1})", "(",     " ",
                                              "-[",       "(x y)", "(:T1)",      "(:T2)", "\xc2\xa0"};
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::size_t> length(1, 5);
  std::uniform_int_distribution<std::size_t> pick(0, fragments.size() - 1);
  std::vector<std::string> texts;
  for (int i = 0; i < 400; ++i) {
    std::string text;
    for (std::size_t n = length(rng); n > 0; --n) text += fragments[pick(rng)];
    texts.push_back(std::move(text));
  }
  std::sort(texts.begin(), texts.end());
  texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
  return texts;
}

// Asks for every text several times, in a shuffled order and twice in a row,
// and counts the answers that differ from a fresh parse.
int cache_mismatches(unsigned seed, int& parsed, int& repeats_shared) {
  const auto texts = cache_texts(seed);
  std::vector<std::string> expected;
  for (const auto& text : texts) expected.push_back(outcome(PathPattern::create(text)));
  std::vector<std::size_t> order;
  for (int round = 0; round < 4; ++round)
    for (std::size_t i = 0; i < texts.size(); ++i) order.push_back(i);
  std::shuffle(order.begin(), order.end(), std::mt19937(seed + 1));
  int mismatches = 0;
  for (const std::size_t i : order) {
    const auto first = PathPattern::create_shared(texts[i]);
    const auto again = PathPattern::create_shared(texts[i]);
    if (outcome(first) != expected[i] || outcome(again) != expected[i]) ++mismatches;
    if (first) {
      ++parsed;
      if (again && *first == *again) ++repeats_shared;
    }
  }
  return mismatches;
}

TEST(PathPatternCreateShared, AnswersAsAFreshParseEveryTime) {
  int parsed = 0;
  int repeats_shared = 0;
  EXPECT_EQ(cache_mismatches(11, parsed, repeats_shared), 0);
  EXPECT_GT(parsed, 100);
  // A text asked for right after itself is not parsed again.
  EXPECT_EQ(repeats_shared, parsed);
}

TEST(PathPatternCreateShared, FailingTextFailsEachTimeWithItsReport) {
  for (const char* text : {"(a)-->(b)", "(a b)-[r]->(c)", "", "(a)-[r:->]->(b)"}) {
    const std::string expected = outcome(PathPattern::create(text));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(outcome(PathPattern::create_shared(text)), expected) << text;
  }
  // The failing text took no slot from the one that parsed.
  const auto ok = PathPattern::create_shared("(a)-[r]->(b)");
  ASSERT_TRUE(ok.has_value());
  EXPECT_FALSE(PathPattern::create_shared("(a)-[r]->(b").has_value());
  const auto again = PathPattern::create_shared("(a)-[r]->(b)");
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(outcome(again), outcome(PathPattern::create("(a)-[r]->(b)")));
}

TEST(PathPatternCreateShared, LongTextsAreParsedEachTimeAndNotKept) {
  std::string items;
  for (int i = 0; i < 400; ++i) items += fmt::format("{}, ", i);
  for (const std::string& text : {"(a {k: [" + items + "]})-[r]->(b)", "(a {k: [" + items + "})-[r]->(b)"}) {
    ASSERT_GT(text.size(), 1024u);
    const std::string expected = outcome(PathPattern::create(text));
    const auto first = PathPattern::create_shared(text);
    const auto again = PathPattern::create_shared(text);
    EXPECT_EQ(outcome(first), expected);
    EXPECT_EQ(outcome(again), expected);
    if (first && again) EXPECT_NE(*first, *again);
  }
}

TEST(PathPatternCreateShared, ThreadsEachKeepTheirOwnCache) {
  constexpr int kThreads = 4;
  std::vector<int> mismatches(kThreads), parsed(kThreads), shared(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] { mismatches[t] = cache_mismatches(100 + t % 2, parsed[t], shared[t]); });
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(mismatches[t], 0) << t;
    EXPECT_GT(parsed[t], 100) << t;
    EXPECT_EQ(shared[t], parsed[t]) << t;
  }
}

}  // namespace
}  // namespace velmora::patterns
