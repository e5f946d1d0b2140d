#include "validation.hpp"

#include <gtest/gtest.h>

#include <string>

namespace velmora::utils {
namespace {

constexpr const char* kAccepted = "";
constexpr const char* kLength = "Name must be between 1 and 255 characters";
constexpr const char* kWhiteSpace = "Name cannot contain whitespace";
constexpr const char* kAlphanumeric = "Name can only contain alphanumeric characters and underscores";
constexpr const char* kStart = "Name must start with a letter or underscore";

struct NameCase {
  std::string label;
  std::string name;
  std::string reason;  // empty when the name is accepted
};

class ValidationName : public ::testing::TestWithParam<NameCase> {};

TEST_P(ValidationName, DecidesByTheFirstFailingCheck) {
  const auto& c = GetParam();
  const auto result = validate_variable_name(c.name);
  if (c.reason.empty()) {
    EXPECT_TRUE(result.has_value()) << errors::format_report(result.error());
    return;
  }
  ASSERT_FALSE(result.has_value());
  const auto* error = result.error().current_context().get<errors::InvalidIdentifier>();
  ASSERT_NE(error, nullptr) << result.error().current_context().debug();
  EXPECT_EQ(error->name, c.name);
  EXPECT_EQ(error->reason, c.reason);
  EXPECT_TRUE(result.error().lines().empty());
  EXPECT_EQ(errors::format_report(result.error()),
            "Invalid Identifier '" + c.name + "': " + c.reason);
}

std::string repeat(std::string_view unit, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += unit;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Validation, ValidationName,
    ::testing::Values(
        NameCase{"underscore", "_", kAccepted},
        NameCase{"underscore_digit", "_1", kAccepted},
        NameCase{"lower_true", "true", kAccepted},
        NameCase{"lower_none", "none", kAccepted},
        NameCase{"prefixed_none", "_None", kAccepted},
        NameCase{"reserved_none", "None", "'None' is a reserved name"},
        NameCase{"reserved_true", "True", "'True' is a reserved name"},
        NameCase{"reserved_false", "False", "'False' is a reserved name"},
        NameCase{"empty", "", kLength},
        NameCase{"bytes_255", std::string(255, 'a'), kAccepted},
        NameCase{"bytes_256", std::string(256, 'a'), kLength},
        NameCase{"two_byte_letters_254", repeat("é", 127), kAccepted},
        NameCase{"two_byte_letters_256", repeat("é", 128), kLength},
        NameCase{"long_and_blank", std::string(256, ' '), kLength},
        NameCase{"leading_blank", " a", kWhiteSpace},
        NameCase{"trailing_blank", "a ", kWhiteSpace},
        NameCase{"tab_inside", "a\tb", kWhiteSpace},
        NameCase{"no_break_space_inside", "a\u00a0b", kWhiteSpace},
        NameCase{"ideographic_space", "a\u3000", kWhiteSpace},
        NameCase{"blank_before_reserved", "None ", kWhiteSpace},
        NameCase{"blank_and_dash", "a- b", kWhiteSpace},
        NameCase{"dash", "a-b", kAlphanumeric},
        NameCase{"zero_width_space", "a\u200bb", kAlphanumeric},
        NameCase{"digit_then_dash", "1-", kAlphanumeric},
        NameCase{"leading_digit", "1a", kStart},
        NameCase{"leading_arabic_indic_digit", "\u0663a", kStart},
        NameCase{"greek", "\u03b1", kAccepted},
        NameCase{"cyrillic", "\u0436", kAccepted},
        NameCase{"han", "\u65e5\u672c", kAccepted},
        NameCase{"x_superscript_two", "x\u00b2", kAccepted},
        NameCase{"superscript_two_x", "\u00b2x", kStart},
        NameCase{"roman_numeral_letter_number", "\u216b", kAccepted}),
    [](const auto& info) { return info.param.label; });

struct TrimCase {
  std::string label;
  std::string text;
  std::string trimmed;
};

class ValidationTrim : public ::testing::TestWithParam<TrimCase> {};

TEST_P(ValidationTrim, RemovesWhiteSpaceAtBothEnds) {
  EXPECT_EQ(trim_white_space(GetParam().text), GetParam().trimmed);
}

INSTANTIATE_TEST_SUITE_P(
    Validation, ValidationTrim,
    ::testing::Values(TrimCase{"empty", "", ""},
                      TrimCase{"only_blanks", " \t\r\n ", ""},
                      TrimCase{"untouched", "a b", "a b"},
                      TrimCase{"ascii_ends", "  a b \t\n", "a b"},
                      TrimCase{"unicode_ends", "\u00a0\u2028x\u3000\u0085", "x"},
                      TrimCase{"multibyte_inside", "\u3000\u00e9 \u00e9\u3000", "\u00e9 \u00e9"},
                      TrimCase{"zero_width_kept", "\u200bx\u200b", "\u200bx\u200b"}),
    [](const auto& info) { return info.param.label; });

TEST(ValidationWhiteSpace, FollowsTheUnicodeProperty) {
  for (UChar32 c : {0x20, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x85, 0xa0, 0x1680, 0x2000, 0x2028, 0x2029, 0x3000})
    EXPECT_TRUE(is_white_space(c)) << c;
  for (UChar32 c : {0x41, 0x5f, 0x200b, 0xfeff, 0x00, -1}) EXPECT_FALSE(is_white_space(c)) << c;
}

}  // namespace
}  // namespace velmora::utils
