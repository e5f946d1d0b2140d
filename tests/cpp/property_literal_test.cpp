// Property blocks and value literals of node and edge patterns.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "pattern_test_support.hpp"
#include "patterns/parsing.hpp"

namespace velmora::patterns {
namespace {

using namespace test_support;

const char* kBraces = "Properties must be enclosed in braces {}";
const char* kMissingColon = "Missing colon in property definition";
const char* kInvalidValue = "Invalid property value. Strings must be quoted, e.g., \"value\" or 'value'";
const char* kNotFinite = "Invalid numeric value (NaN or Infinity not supported)";
const char* kIncomplete = "String ends with incomplete escape sequence";
const std::string kEmptyValue = pattern_error("", "Empty property value");

std::string unclosed(char quote) { return fmt::format("Unclosed string literal (expected closing {})", quote); }

// ---- blocks -----------------------------------------------------------------

class PropertyLiteralBlock : public ::testing::TestWithParam<ParseCase> {};

TEST_P(PropertyLiteralBlock, GivesTheMapOrTheExactReport) {
  const auto& c = GetParam();
  expect_case(c, parse_properties(c.input), [](const PropertyMap& m) { return m.to_string(); });
}

INSTANTIATE_TEST_SUITE_P(
    PropertyLiteral, PropertyLiteralBlock,
    ::testing::Values(
        ok("empty", "{}", "{}"), ok("blank", "{   }", "{}"), ok("trailing_comma", "{a: 1,}", "{a: 1}"),
        ok("trailing_comma_and_space", " {a: 1, }\xc2\xa0", "{a: 1}"),
        ok("keys_trimmed_and_ordered_by_bytes", "{ b : 1 , B : 2, a: 3}", "{B: 2, a: 3, b: 1}"),
        ok("repeated_key_keeps_last", "{a: 1, a: 2}", "{a: 2}"),
        ok("repeated_keys_out_of_order_keep_their_last",
           "{b: 1, a: 'x', c: 2, b: 3, a: [1], d: 4, a: 5, e: 6, f: 7, g: 8, h: 9, i: 10, j: 11, k: 12, l: 13, m: 14, "
           "n: 15, o: 16, b: 17}",
           "{a: 5, b: 17, c: 2, d: 4, e: 6, f: 7, g: 8, h: 9, i: 10, j: 11, k: 12, l: 13, m: 14, n: 15, o: 16}"),
        ok("repeated_keys_few", "{c: 1, b: 2, c: 3, a: 4}", "{a: 4, b: 2, c: 3}"),
        ok("quoted_comma", "{a: 'x, y'}", "{a: \"x, y\"}"),
        ok("list_and_map", "{a: [1, 2], b: {c: 3}}", "{a: [1, 2], b: #{\"c\": 3}}"),
        ok("nested_commas", "{a: {b: 1, c: [2, 3]}, d: 4}", "{a: #{\"b\": 1, \"c\": [2, 3]}, d: 4}"),
        ok("quoted_key_keeps_quotes", "{'a': 1}", "{'a': 1}"),
        ok("escaped_quote_still_pairs", R"({a: 'x\'y'})", "{a: \"x'y\"}"),
        ok("other_quote_is_text", R"({a: "it's", b: 'say "hi"'})", R"({a: "it's", b: "say \"hi\""})"),
        ok("colon_in_quotes", "{a: 'k: v'}", "{a: \"k: v\"}"),
        ok("colon_in_nesting", "{a: {k: 1}}", "{a: #{\"k\": 1}}"),
        ok("all_kinds", "{e: null, n: None, t: true, f: false, i: -7, x: 2.5}",
           "{e: (), f: false, i: -7, n: (), t: true, x: 2.5}"),
        ok("non_ascii", "{\xc3\xa9: '\xce\xbb'}", "{\xc3\xa9: \"\xce\xbb\"}"),
        err("lone_comma", "{,}", pattern_error("{,}", kMissingColon)),
        err("empty_pair", "{a: 1, ,}", pattern_error("{a: 1, ,}", kMissingColon)),
        err("no_braces", "a: 1", pattern_error("a: 1", kBraces)), err("empty_text", "", pattern_error("", kBraces)),
        err("lone_brace", " { ", pattern_error("{", kBraces)),
        err("text_after_block", "{k: 1} b", pattern_error("{k: 1} b", kBraces)),
        err("empty_key", "{: 1}", pattern_error("{: 1}", "Empty property key")),
        err("blank_key", "{a: 1,  : 2}", pattern_error("{a: 1,  : 2}", "Empty property key")),
        err("second_colon", "{a: 1: 2}", pattern_error("{a: 1: 2}", "Unexpected colon in property value")),
        err("no_colon", "{a}", pattern_error("{a}", kMissingColon)),
        err("no_colon_after_pair", "{a: 1, b}", pattern_error("{a: 1, b}", kMissingColon)),
        err("empty_value", "{a: }", kEmptyValue, {kProperties}),
        err("empty_value_before_comma", "{a: , b: 1}", kEmptyValue, {kProperties}),
        err("unquoted_string", "{a: hello}", pattern_error("hello", kInvalidValue), {kProperties}),
        err("first_bad_value_wins", "{a: x, : 1}", pattern_error("x", kInvalidValue), {kProperties}),
        err("parentheses_do_not_nest", "{a: (1, 2)}", pattern_error("(1", kInvalidValue), {kProperties}),
        err("open_list", "{a: [1, 2}", pattern_error("[1, 2", kInvalidValue), {kProperties}),
        err("comma_after_escaped_quote_splits", R"({a: 'x\', y'})", pattern_error(R"(x\)", kIncomplete),
            {kPropertyValue, kProperties}),
        err("nested_failure", "{a: [1, {b: x}]}", pattern_error("x", kInvalidValue),
            {kDictValue, kListValue, kProperties})),
    case_name);

// ---- values -------------------------------------------------------------------

class PropertyLiteralValue : public ::testing::TestWithParam<ParseCase> {};

TEST_P(PropertyLiteralValue, GivesTheValueOrTheExactReport) {
  const auto& c = GetParam();
  expect_case(c, parse_property_value(c.input), [](const Value& v) { return v.to_string(); });
}

INSTANTIATE_TEST_SUITE_P(
    PropertyLiteral, PropertyLiteralValue,
    ::testing::Values(
        ok("integer", "42", "42"), ok("plus_integer", "+42", "42"), ok("minus_zero_integer", "-0", "0"),
        ok("leading_zeros", "007", "7"), ok("largest_integer", "9223372036854775807", "9223372036854775807"),
        ok("smallest_integer", "-9223372036854775808", "-9223372036854775808"),
        ok("overflow_is_float", "9223372036854775808", "9.223372036854776e18"),
        ok("negative_overflow_is_float", "-9223372036854775809", "-9.223372036854776e18"),
        ok("exponent", "1e3", "1000.0"), ok("leading_point", ".5", "0.5"), ok("trailing_point", "1.", "1.0"),
        ok("signed_float", "-2.5E+2", "-250.0"), ok("plus_float", "+.25", "0.25"),
        ok("tiny_underflows_to_zero", "1e-400", "0.0"), ok("trimmed", "\xe2\x80\x83 12 \t", "12"),
        ok("true", "true", "true"), ok("false", "false", "false"), ok("null", "null", "()"), ok("none", "None", "()"),
        ok("single_quoted", "'abc'", "\"abc\""), ok("double_quoted", "\"abc\"", "\"abc\""),
        ok("empty_string", "''", "\"\""), ok("unknown_escape_kept", R"('a\qb')", R"("a\\qb")"),
        ok("escaped_backslash", R"('a\\')", R"("a\\")"), ok("escapes", R"('\"\'\n\r\t\0')", R"("\"'\n\r\t\0")"),
        ok("backslash_before_non_ascii", "'\\\xc3\xa9'", "\"\\\\\xc3\xa9\""), ok("empty_list", "[]", "[]"),
        ok("blank_list", "[ ]", "[]"), ok("lone_comma_list", "[,]", "[]"),
        ok("empty_items_dropped", "[1,,2]", "[1, 2]"), ok("trailing_comma_list", "[1,]", "[1]"),
        ok("nested_list", "[[1, 2], 3]", "[[1, 2], 3]"),
        ok("quoted_commas_in_list", "['a, b', \"c\"]", "[\"a, b\", \"c\"]"),
        ok("quote_is_text_inside_nesting", "[[',', 1]]", "[[\",\", 1]]"), ok("empty_map", "{}", "#{}"),
        ok("blank_map", "{ }", "#{}"), ok("map", "{b: 1, a: [true]}", "#{\"a\": [true], \"b\": 1}"),
        ok("quoted_map_key", "{'a': 1}", "#{\"a\": 1}"), ok("escaped_map_key", R"({'a\tb': 1})", "#{\"a\\tb\": 1}"),
        ok("map_trailing_comma", "{a: 1,}", "#{\"a\": 1}"),
        ok("map_keyless_last_pair_dropped", "{a: 1, : 2}", "#{\"a\": 1}"),
        ok("map_repeated_key", "{a: 1, a: 2}", "#{\"a\": 2}"),
        err("map_parentheses_nest", "{a: (1, 2), b: 1}", pattern_error("(1, 2)", kInvalidValue), {kDictValue}),
        err("empty", "", kEmptyValue), err("blank", " \xc2\xa0", kEmptyValue),
        err("minus", "-", pattern_error("-", kInvalidValue)), err("plus", "+", pattern_error("+", kInvalidValue)),
        err("double_sign", "+-5", pattern_error("+-5", kInvalidValue)),
        err("exponent_without_digits", "1e", pattern_error("1e", kInvalidValue)),
        err("exponent_alone", "e5", pattern_error("e5", kInvalidValue)),
        err("lone_point", ".", pattern_error(".", kInvalidValue)),
        err("hex", "0x10", pattern_error("0x10", kInvalidValue)),
        err("underscores", "1_000", pattern_error("1_000", kInvalidValue)),
        err("non_ascii_digit", "\xd9\xa3", pattern_error("\xd9\xa3", kInvalidValue)),
        err("inner_space", "1 2", pattern_error("1 2", kInvalidValue)),
        err("nan", "nan", pattern_error("nan", kNotFinite)),
        err("nan_mixed_case", "NaN", pattern_error("NaN", kNotFinite)),
        err("signed_nan", "+nan", pattern_error("+nan", kNotFinite)),
        err("inf", "inf", pattern_error("inf", kNotFinite)),
        err("minus_infinity", "-Infinity", pattern_error("-Infinity", kNotFinite)),
        err("overflow", "1e400", pattern_error("1e400", kNotFinite)),
        err("huge_exponent", "1e99999999999999999999", pattern_error("1e99999999999999999999", kNotFinite)),
        err("capitalised_true", "True", pattern_error("True", kInvalidValue)),
        err("upper_case_null", "NULL", pattern_error("NULL", kInvalidValue)),
        err("unquoted", "hello", pattern_error("hello", kInvalidValue)),
        err("open_map", "{a: 1", pattern_error("{a: 1", kInvalidValue)),
        err("open_list", "[1", pattern_error("[1", kInvalidValue)),
        err("unclosed_string", "'abc", pattern_error("'abc", unclosed('\''))),
        err("lone_quote", "'", pattern_error("'", unclosed('\''))),
        err("mixed_quotes", "\"abc'", pattern_error("\"abc'", unclosed('"'))),
        err("incomplete_escape", R"('a\')", pattern_error(R"(a\)", kIncomplete), {kPropertyValue}),
        err("bad_list_item", "[1, x]", pattern_error("x", kInvalidValue), {kListValue}),
        err("parentheses_in_list", "[(1, 2)]", pattern_error("(1, 2)", kInvalidValue), {kListValue}),
        err("bad_nested_item", "[[1, [x]]]", pattern_error("x", kInvalidValue), {kListValue, kListValue, kListValue}),
        err("lone_quote_map", "{\"}", kEmptyValue, {kDictValue}),
        err("map_empty_first_key", "{: 2, a: 1}", pattern_error("", "Empty dictionary key")),
        err("map_second_colon_is_value_text", "{a: b: c}", pattern_error("b: c", kInvalidValue), {kDictValue}),
        err("map_pair_without_colon", "{a}", kEmptyValue, {kDictValue}),
        err("map_key_escape", R"({'a\': 1})", pattern_error(R"(a\)", kIncomplete), {kDictKey}),
        err("map_in_map", "{a: {b: x}}", pattern_error("x", kInvalidValue), {kDictValue, kDictValue})),
    case_name);

// ---- keys and escapes -----------------------------------------------------------

TEST(PropertyLiteralKey, UnquotesOnlyMatchingQuotes) {
  EXPECT_EQ(extract_dict_key(" 'a' ").value(), "a");
  EXPECT_EQ(extract_dict_key("\"a'").value(), "\"a'");
  EXPECT_EQ(extract_dict_key("\"").value(), "\"");
  EXPECT_EQ(extract_dict_key("''").value(), "");
  EXPECT_EQ(extract_dict_key("a b").value(), "a b");
  const auto empty = extract_dict_key("\xc2\xa0");
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().current_context().message(), pattern_error("", "Empty dictionary key"));
  EXPECT_TRUE(empty.error().lines().empty());
}

TEST(PropertyLiteralUnescape, ResolvesTheSevenEscapes) {
  EXPECT_EQ(unescape_string(R"(\"\'\\\n\r\t\0)").value(), std::string("\"'\\\n\r\t\0", 7));
  EXPECT_EQ(unescape_string(R"(\x\\\q)").value(), R"(\x\\q)");
  EXPECT_EQ(unescape_string("").value(), "");
  const auto trailing = unescape_string(R"(ab\\\)");
  ASSERT_FALSE(trailing.has_value());
  EXPECT_EQ(trailing.error().current_context().message(), pattern_error(R"(ab\\\)", kIncomplete));
}

TEST(PropertyLiteralValueKinds, NumbersKeepTheirKinds) {
  const auto big = parse_property_value("9223372036854775808");
  ASSERT_TRUE(big.has_value());
  ASSERT_NE(big->get_if<double>(), nullptr);
  EXPECT_EQ(*big->get_if<double>(), 9223372036854775808.0);
  const auto smallest = parse_property_value("-9223372036854775808");
  ASSERT_NE(smallest->get_if<std::int64_t>(), nullptr);
  EXPECT_EQ(*smallest->get_if<std::int64_t>(), std::numeric_limits<std::int64_t>::min());
  const auto negative_zero = parse_property_value("-0.0");
  ASSERT_NE(negative_zero->get_if<double>(), nullptr);
  EXPECT_TRUE(std::signbit(*negative_zero->get_if<double>()));
  const auto nul = parse_property_value(R"('a\0b')");
  EXPECT_EQ(*nul->get_if<std::string>(), std::string("a\0b", 3));
  EXPECT_TRUE(parse_property_value("None")->is_empty());
}

// ---- nesting limit --------------------------------------------------------------

std::string nested_lists(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::string nested_maps(std::size_t depth) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += "{a: ";
  return text + "1" + std::string(depth, '}');
}

const std::string kTooDeep = "Property value is nested too deeply (more than 1000 levels of lists and maps)";

TEST(PropertyLiteralNesting, AcceptsAThousandLevels) {
  EXPECT_TRUE(parse_property_value(nested_lists(kMaxLiteralDepth)).has_value());
  EXPECT_TRUE(parse_property_value(nested_maps(kMaxLiteralDepth)).has_value());
}

TEST(PropertyLiteralNesting, RefusesDeeperListsWithAReport) {
  for (const std::size_t depth : {kMaxLiteralDepth + 1, std::size_t{10000}}) {
    const std::string text = nested_lists(depth);
    const auto result = parse_property_value(text);
    ASSERT_FALSE(result.has_value());
    const auto* error = result.error().current_context().get<errors::InvalidPattern>();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->reason, kTooDeep);
    EXPECT_EQ(error->pattern, nested_lists(depth - kMaxLiteralDepth));
    EXPECT_EQ(context_texts(result.error()), std::vector<std::string>(kMaxLiteralDepth, kListValue));
  }
}

TEST(PropertyLiteralNesting, RefusesDeeperMapsInABlock) {
  const auto result = parse_properties("{k: " + nested_maps(10000) + "}");
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().current_context().get<errors::InvalidPattern>()->reason, kTooDeep);
  auto expected = std::vector<std::string>(kMaxLiteralDepth, kDictValue);
  expected.push_back(kProperties);
  EXPECT_EQ(context_texts(result.error()), expected);
}

TEST(PropertyLiteralNesting, DeepBracesAndBracketsWithoutValuesScanFlat) {
  // Brackets inside a key or a string are plain text: no recursion, no limit.
  const std::string brackets = "{k: '" + std::string(10000, '[') + "'}";
  EXPECT_TRUE(parse_properties(brackets).has_value());
  const auto braces = parse_properties(std::string(10000, '{') + std::string(10000, '}'));
  ASSERT_FALSE(braces.has_value());
  EXPECT_EQ(braces.error().current_context().get<errors::InvalidPattern>()->reason, kMissingColon);
}

}  // namespace
}  // namespace velmora::patterns
