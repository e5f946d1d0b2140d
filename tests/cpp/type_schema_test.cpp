#include "patterns/type_schema.hpp"
#include "patterns/term_schema.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "pattern_test_support.hpp"

namespace velmora::patterns {
namespace {

using test_support::context_lines;
using test_support::err;
using test_support::identifier_error;
using test_support::ok;
using test_support::ParseCase;
using test_support::schema_error;
using test_support::show;

const std::string kRec = "type schema - parse pattern recursive [src/patterns/type_schema]";
const std::string kParse = "type schema - parse pattern [src/patterns/type_schema]";
const std::string kNew = "type schema - new [src/patterns/type_schema]";

const std::string kEmpty = schema_error("", "Empty pattern");
const char* kClosing = "Unbalanced parentheses: too many closing parentheses";
const char* kOpening = "Unbalanced parentheses: too many opening parentheses";
const char* kWhiteSpace = "Name cannot contain whitespace";
const char* kAlphanumeric = "Name can only contain alphanumeric characters and underscores";
const char* kStart = "Name must start with a letter or underscore";

class TypeSchemaParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(TypeSchemaParse, GivesTheTreeOrTheExactReport) {
  test_support::expect_schema_case<TypeSchema>(GetParam(), [](const auto& p) { return show(p); });
}

INSTANTIATE_TEST_SUITE_P(
    TypeSchema, TypeSchemaParse,
    ::testing::Values(
        err("empty", "", kEmpty, {kParse, kNew}), err("blank", "   ", kEmpty, {kParse, kNew}),
        ok("wildcard_untrimmed", " * ", "*"), ok("wildcard_grouped", "(*)", "*"), ok("name", "a", "a"),
        ok("name_trimmed_unicode_blanks",
           "\t\xc2\xa0"
           "a\n\xe2\x80\x83",
           "a"),
        err("closing_first", ")(", schema_error(")(", kClosing), {kParse, kNew}),
        err("opening_left", "((a)", schema_error("((a)", kOpening), {kParse, kNew}),
        err("unbalanced_field_is_trimmed", "  ((a)  ", schema_error("((a)", kOpening), {kParse, kNew}),
        err("closing_after_balanced", "(a))(", schema_error("(a))(", kClosing), {kParse, kNew}),
        err("closing_alone", "a)", schema_error("a)", kClosing), {kParse, kNew}),
        err("arrow_alone", "->", kEmpty, {kRec, kParse, kNew}),
        err("arrow_without_right", "a ->", kEmpty, {kRec, kParse, kNew}),
        err("arrow_without_left", "-> a", kEmpty, {kRec, kParse, kNew}),
        err("arrow_twice", "a -> -> b", kEmpty, {kRec, kRec, kParse, kNew}), ok("arrow_tight", "a->b", "Arrow(a, b)"),
        ok("arrow_of_wildcards", "* -> *", "Arrow(*, *)"),
        err("broken_arrow", "a - > b", identifier_error("a - > b", kWhiteSpace), {kRec, kParse, kNew}),
        err("arrow_then_angle", "a ->> b", identifier_error("> b", kWhiteSpace), {kRec, kRec, kParse, kNew}),
        ok("arrows_right_associative", "a -> b -> c", "Arrow(a, Arrow(b, c))"),
        ok("arrow_grouped_left", "(a -> b) -> c", "Arrow(Arrow(a, b), c)"),
        ok("arrow_in_group", "(a -> b)", "Arrow(a, b)"), ok("arrow_between_groups", "(a) -> (b)", "Arrow(a, b)"),
        ok("capture", "(x: *)", "Capture(x, *)"), ok("capture_name_trimmed", "( x : a )", "Capture(x, a)"),
        ok("capture_of_arrow", "(f: a -> b)", "Capture(f, Arrow(a, b))"),
        ok("nested_captures", "(f: (a: *) -> (a: *))", "Capture(f, Arrow(Capture(a, *), Capture(a, *)))"),
        ok("empty_capture_name", "(: a)", "a"), err("capture_of_nothing", "(x:)", kEmpty, {kRec, kParse, kNew}),
        err("colon_alone", "(:)", kEmpty, {kRec, kParse, kNew}), err("empty_group", "()", kEmpty, {kRec, kParse, kNew}),
        err("capture_name_digit", "(1x: a)", identifier_error("1x", kStart), {kRec, kParse, kNew}),
        err("rest_before_name", "(1x: )", kEmpty, {kRec, kParse, kNew}),
        err("capture_name_reserved", "(None: a)", identifier_error("None", "'None' is a reserved name"),
            {kRec, kParse, kNew}),
        err("second_colon", "(x: a: b)", identifier_error("a: b", kWhiteSpace), {kRec, kRec, kParse, kNew}),
        err("two_groups", "(a)(b)", identifier_error("a)(b", kAlphanumeric), {kRec, kRec, kParse, kNew}),
        err("reserved", "True", identifier_error("True", "'True' is a reserved name"), {kRec, kParse, kNew}),
        err("dash_in_name", "a-b", identifier_error("a-b", kAlphanumeric), {kRec, kParse, kNew}),
        err("capture_without_group", "x: a", identifier_error("x: a", kWhiteSpace), {kRec, kParse, kNew}),
        ok("non_ascii_names", "\xc3\xa9 -> b", "Arrow(\xc3\xa9, b)"),
        ok("non_ascii_before_arrow", "(\xce\xbb: \xd0\x96)->b", "Arrow(Capture(\xce\xbb, \xd0\x96), b)"),
        ok("superscript_name", "x\xc2\xb2", "x\xc2\xb2"),
        err("deep_empty_side", "a -> (b -> (c -> ))", kEmpty, {kRec, kRec, kRec, kRec, kRec, kParse, kNew}),
        err("deep_bad_name", "((((a b))))", identifier_error("a b", kWhiteSpace),
            {kRec, kRec, kRec, kRec, kRec, kParse, kNew})),
    [](const auto& info) { return info.param.label; });

struct FreeCase {
  std::string label;
  std::string input;
  std::vector<std::string> free;
};

class TypeSchemaFreeVariables : public ::testing::TestWithParam<FreeCase> {};

TEST_P(TypeSchemaFreeVariables, ListsCapturesPostOrderWithDuplicates) {
  const auto& c = GetParam();
  const auto schema = TypeSchema::create(c.input);
  ASSERT_TRUE(schema.has_value()) << errors::format_report(schema.error());
  EXPECT_EQ(TypeSchema::get_pattern_free_variables_recursive(schema->pattern()), c.free);
}

INSTANTIATE_TEST_SUITE_P(TypeSchema, TypeSchemaFreeVariables,
                         ::testing::Values(FreeCase{"two_captures", "(a: *) -> (b: *)", {"a", "b"}},
                                           FreeCase{"inner_first", "(f: (a: *) -> (a: *))", {"a", "a", "f"}},
                                           FreeCase{"plain_arrow", "a -> b", {}}, FreeCase{"wildcard", "*", {}},
                                           FreeCase{"nested_then_right", "(x: (y: a)) -> (z: *)", {"y", "x", "z"}},
                                           FreeCase{"unnamed_capture", "(: (t: a))", {"t"}}),
                         [](const auto& info) { return info.param.label; });

TEST(TypeSchemaCopy, IsDeepAndOutlivesTheOriginal) {
  std::optional<TypeSchema> original = *TypeSchema::create(" (f: (a: *) -> b) ");
  const TypeSchema copy = *original;
  original.reset();
  EXPECT_EQ(copy.schema(), " (f: (a: *) -> b) ");
  EXPECT_EQ(show(copy.pattern()), "Capture(f, Arrow(Capture(a, *), b))");
  EXPECT_EQ(copy.pattern(),
            TypePattern::capture("f", TypePattern::arrow(TypePattern::capture("a", TypePattern::wildcard()),
                                                         TypePattern::variable("b"))));
}

TEST(TypeSchemaFuzz, RandomTextsParseOrFailWithAReport) {
  static const std::vector<std::string_view> kAlphabet = {
      "(",  ")", "[", "]", "{", "}", "<", ">", "-",  ":",        "*",        "@",        ",",        "'",  "\"",  " ",
      "\\", "a", "b", "x", "K", "_", "1", "2", "\t", "\xc2\xa0", "\xc3\xa9", "\xce\xbb", "\xd0\x96", "->", "(x: "};
  std::mt19937 rng(1704);
  std::uniform_int_distribution<std::size_t> length(0, 16);
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  int parsed = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (std::size_t n = length(rng); n > 0; --n) text += kAlphabet[pick(rng)];
    const auto result = TypeSchema::create(text);
    if (result) {
      ++parsed;
      EXPECT_EQ(result->schema(), text);
      continue;
    }
    const VelmoraError& error = result.error().current_context();
    EXPECT_TRUE(error.is<errors::SchemaValidation>() || error.is<errors::InvalidIdentifier>()) << text;
    const auto lines = context_lines(result.error());
    ASSERT_GE(lines.size(), 2u) << text;
    EXPECT_EQ(lines.back(), kNew) << text;
    EXPECT_EQ(lines[lines.size() - 2], kParse) << text;
  }
  // The alphabet is rich enough that some texts parse.
  EXPECT_GT(parsed, 100);
}

}  // namespace
}  // namespace velmora::patterns

namespace velmora::patterns {
namespace {

// Deep input is refused with a report instead of exhausting the stack.
TEST(TypeSchemaNesting, DeepInputIsRefusedNotCrashed) {
  const std::string parens = std::string(10000, '(') + "A" + std::string(10000, ')');
  auto deep = TypeSchema::create(parens);
  ASSERT_FALSE(deep);
  EXPECT_EQ(deep.error().current_context().message().substr(0, 24), "Schema Validation Failed");
  EXPECT_NE(deep.error().current_context().message().find("Pattern is nested too deeply"), std::string::npos);

  std::string arrows = "A";
  for (int i = 0; i < 10000; ++i) arrows += " -> A";
  EXPECT_FALSE(TypeSchema::create(arrows));
  std::string fine = "A";
  for (int i = 0; i < 100; ++i) fine = "(" + fine + " -> A)";
  EXPECT_TRUE(TypeSchema::create(fine));
}

TEST(TermSchemaNesting, LongApplicationChainsAreRefusedNotCrashed) {
  std::string chain = "f";
  for (int i = 0; i < 10000; ++i) chain += " x";
  auto deep = TermSchema::create(chain);
  ASSERT_FALSE(deep);
  EXPECT_NE(deep.error().current_context().message().find("Pattern is nested too deeply"), std::string::npos);
  EXPECT_TRUE(TermSchema::create("f x y z"));
}

}  // namespace
}  // namespace velmora::patterns
