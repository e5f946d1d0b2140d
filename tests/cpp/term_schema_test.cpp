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

// "*", "f", "App(f, x)", "@K['a'=a, 'b -> c'=Arrow(b, c)]": each type argument
// with its schema text and its tree.
std::string show(const TermPattern& p) {
  if (p.is<TermPattern::Wildcard>()) return "*";
  if (const auto* v = p.get<TermPattern::Variable>()) return v->name;
  if (const auto* a = p.get<TermPattern::Application>())
    return fmt::format("App({}, {})", show(*a->function), show(*a->argument));
  const auto& c = *p.get<TermPattern::Constant>();
  std::string args;
  for (const TypeSchema& schema : c.type_arguments) {
    if (!args.empty()) args += ", ";
    args += fmt::format("'{}'={}", schema.schema(), test_support::show(schema.pattern()));
  }
  return fmt::format("@{}[{}]", c.name, args);
}

using test_support::context_lines;
using test_support::err;
using test_support::identifier_error;
using test_support::ok;
using test_support::ParseCase;
using test_support::pattern_error;

const std::string kParse = "term schema - parse pattern [src/patterns/term_schema]";
const std::string kNew = "term schema - new [src/patterns/term_schema]";
const std::string kConstant = "term pattern - parse constant pattern [src/patterns/term_schema]";
const std::string kTypeRec = "type schema - parse pattern recursive [src/patterns/type_schema]";
const std::string kTypeParse = "type schema - parse pattern [src/patterns/type_schema]";
const std::string kTypeNew = "type schema - new [src/patterns/type_schema]";

std::string after_close(int position) {
  return fmt::format("Constant pattern has unexpected content after closing parenthesis at position {}", position);
}

const char* kNoParens = "Constant pattern must have parentheses with type arguments";
const char* kNoName = "Constant name cannot be empty";
const char* kUnmatched = "Constant pattern has unmatched opening parenthesis";
const char* kWhiteSpace = "Name cannot contain whitespace";

class TermSchemaParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(TermSchemaParse, GivesTheTreeOrTheExactReport) {
  test_support::expect_schema_case<TermSchema>(GetParam(), [](const auto& p) { return show(p); });
}

INSTANTIATE_TEST_SUITE_P(
    TermSchema, TermSchemaParse,
    ::testing::Values(
        ok("wildcard", "*", "*"), ok("name_untrimmed", "  f  ", "f"), ok("applied_to_wildcard", "f *", "App(f, *)"),
        ok("two_spaces", "f  x", "App(f, x)"), ok("left_associative", "f x y", "App(App(f, x), y)"),
        err("tab_does_not_split", "f\tx", identifier_error("f\tx", kWhiteSpace), {kParse, kNew}),
        err("no_break_space_does_not_split", "f\xc2\xa0x", identifier_error("f\xc2\xa0x", kWhiteSpace), {kParse, kNew}),
        err("parentheses_do_not_group", "(f x)", identifier_error("(f x)", kWhiteSpace), {kParse, kNew}),
        err("parenthesised_argument", "f (g x)", identifier_error("(g x)", kWhiteSpace), {kParse, kParse, kNew}),
        err("reserved", "True", identifier_error("True", "'True' is a reserved name"), {kParse, kNew}),
        err("empty", "", identifier_error("", "Name must be between 1 and 255 characters"), {kParse, kNew}),
        ok("constant_no_arguments", "@K()", "@K[]"), ok("constant_blank_arguments", "@K( )", "@K[]"),
        ok("constant_lone_comma", "@K(,)", "@K[]"),
        ok("constant_arguments", "@K(a, b -> c)", "@K['a'=a, 'b -> c'=Arrow(b, c)]"),
        ok("constant_capture_argument", "@K((x: *), b)", "@K['(x: *)'=Capture(x, *), 'b'=b]"),
        ok("constant_empty_piece_dropped", "@K(a,,b)", "@K['a'=a, 'b'=b]"),
        ok("constant_name_trimmed", "@\tK\xc2\xa0(a)", "@K['a'=a]"),
        ok("constant_name_not_an_identifier", "@K-1(a)", "@K-1['a'=a]"),
        ok("constant_argument", "f @K(a)", "App(f, @K['a'=a])"), ok("constant_applied", "@K(a) x", "App(@K['a'=a], x)"),
        ok("constant_arguments_hide_spaces", "@K(a -> b, (y: c)) @L()",
           "App(@K['a -> b'=Arrow(a, b), '(y: c)'=Capture(y, c)], @L[])"),
        err("content_after_close", "@K(a)b", pattern_error("@K(a)b", after_close(4)), {kParse, kNew}),
        err("position_counts_bytes", "@K\xc3\xa9(a)b", pattern_error("@K\xc3\xa9(a)b", after_close(6)), {kParse, kNew}),
        err("extra_close", "@K(a))", pattern_error("@K(a))", after_close(4)), {kParse, kNew}),
        err("second_group", "@K(a)(b)", pattern_error("@K(a)(b)", after_close(4)), {kParse, kNew}),
        err("no_break_space_after_close", "@K(a)\xc2\xa0x", pattern_error("@K(a)\xc2\xa0x", after_close(4)),
            {kParse, kNew}),
        err("space_before_arguments", "@K (a)", pattern_error("@K", kNoParens), {kParse, kParse, kNew}),
        err("no_parentheses", "@K", pattern_error("@K", kNoParens), {kParse, kNew}),
        err("at_alone", "@", pattern_error("@", kNoParens), {kParse, kNew}),
        err("no_name", "@(a)", pattern_error("@(a)", kNoName), {kParse, kNew}),
        err("unclosed", "@K(a", pattern_error("@K(a", kUnmatched), {kConstant, kParse, kNew}),
        err("unclosed_nested", "@K((a)", pattern_error("@K((a)", kUnmatched), {kConstant, kParse, kNew}),
        err("close_before_open", "@K)(", pattern_error("@K)(", kUnmatched), {kConstant, kParse, kNew}),
        err("bad_argument_in_application", "f @K(a", pattern_error("@K(a", kUnmatched),
            {kConstant, kParse, kParse, kNew}),
        err("empty_type_argument_side", "@K(a -> )", "Schema Validation Failed for '': Empty pattern",
            {kTypeRec, kTypeParse, kTypeNew, kConstant, kParse, kNew}),
        err("type_argument_bad_name", "@K(b, 1a)",
            identifier_error("1a", "Name must start with a letter or underscore"),
            {kTypeRec, kTypeParse, kTypeNew, kConstant, kParse, kNew}),
        err("comma_inside_group", "@K((a, b))", identifier_error("a, b", kWhiteSpace),
            {kTypeRec, kTypeRec, kTypeParse, kTypeNew, kConstant, kParse, kNew}),
        err("close_inside_arguments", "@K(a),b)", pattern_error("@K(a),b)", after_close(4)), {kParse, kNew})),
    [](const auto& info) { return info.param.label; });

TEST(TermSchemaCopy, IsDeep) {
  std::optional<TermSchema> original = *TermSchema::create("f @K((x: *) -> y) z");
  const TermSchema copy = *original;
  original.reset();
  EXPECT_EQ(copy.schema(), "f @K((x: *) -> y) z");
  EXPECT_EQ(show(copy.pattern()), "App(App(f, @K['(x: *) -> y'=Arrow(Capture(x, *), y)]), z)");
}

TEST(TermSchemaFuzz, RandomTextsParseOrFailWithAReport) {
  static const std::vector<std::string_view> kAlphabet = {
      "(",  ")", "[", "]", "{", "}", "<", ">", "-",  ":",        "*",        "@",        ",",        "'",   "\"", " ",
      "\\", "a", "f", "x", "K", "_", "1", "2", "\t", "\xc2\xa0", "\xc3\xa9", "\xce\xbb", "\xd0\x96", "@K(", "->"};
  std::mt19937 rng(2105);
  std::uniform_int_distribution<std::size_t> length(0, 16);
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  int parsed = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (std::size_t n = length(rng); n > 0; --n) text += kAlphabet[pick(rng)];
    const auto result = TermSchema::create(text);
    if (result) {
      ++parsed;
      EXPECT_EQ(result->schema(), text);
      continue;
    }
    const VelmoraError& error = result.error().current_context();
    EXPECT_TRUE(error.is<errors::InvalidPattern>() || error.is<errors::SchemaValidation>() ||
                error.is<errors::InvalidIdentifier>())
        << text;
    const auto lines = context_lines(result.error());
    ASSERT_GE(lines.size(), 2u) << text;
    EXPECT_EQ(lines.back(), kNew) << text;
    EXPECT_EQ(lines[lines.size() - 2], kParse) << text;
  }
  EXPECT_GT(parsed, 100);
}

}  // namespace
}  // namespace velmora::patterns
