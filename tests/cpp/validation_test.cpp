#include "validation.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

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
  EXPECT_EQ(errors::format_report(result.error()), "Invalid Identifier '" + c.name + "': " + c.reason);
}

std::string repeat(std::string_view unit, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += unit;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Validation, ValidationName,
    ::testing::Values(
        NameCase{"underscore", "_", kAccepted}, NameCase{"underscore_digit", "_1", kAccepted},
        NameCase{"lower_true", "true", kAccepted}, NameCase{"lower_none", "none", kAccepted},
        NameCase{"prefixed_none", "_None", kAccepted}, NameCase{"reserved_none", "None", "'None' is a reserved name"},
        NameCase{"reserved_true", "True", "'True' is a reserved name"},
        NameCase{"reserved_false", "False", "'False' is a reserved name"}, NameCase{"empty", "", kLength},
        NameCase{"bytes_255", std::string(255, 'a'), kAccepted}, NameCase{"bytes_256", std::string(256, 'a'), kLength},
        NameCase{"two_byte_letters_254", repeat("é", 127), kAccepted},
        NameCase{"two_byte_letters_256", repeat("é", 128), kLength},
        NameCase{"long_and_blank", std::string(256, ' '), kLength}, NameCase{"leading_blank", " a", kWhiteSpace},
        NameCase{"trailing_blank", "a ", kWhiteSpace}, NameCase{"tab_inside", "a\tb", kWhiteSpace},
        NameCase{"no_break_space_inside", "a\u00a0b", kWhiteSpace},
        NameCase{"ideographic_space", "a\u3000", kWhiteSpace}, NameCase{"blank_before_reserved", "None ", kWhiteSpace},
        NameCase{"blank_and_dash", "a- b", kWhiteSpace}, NameCase{"dash", "a-b", kAlphanumeric},
        NameCase{"zero_width_space", "a\u200bb", kAlphanumeric}, NameCase{"digit_then_dash", "1-", kAlphanumeric},
        NameCase{"leading_digit", "1a", kStart}, NameCase{"leading_arabic_indic_digit", "\u0663a", kStart},
        NameCase{"greek", "\u03b1", kAccepted}, NameCase{"cyrillic", "\u0436", kAccepted},
        NameCase{"han", "\u65e5\u672c", kAccepted}, NameCase{"x_superscript_two", "x\u00b2", kAccepted},
        NameCase{"superscript_two_x", "\u00b2x", kStart}, NameCase{"roman_numeral_letter_number", "\u216b", kAccepted}),
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

INSTANTIATE_TEST_SUITE_P(Validation, ValidationTrim,
                         ::testing::Values(TrimCase{"empty", "", ""}, TrimCase{"only_blanks", " \t\r\n ", ""},
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

// The rules of validate_variable_name asked of ICU for every code point, with
// no shortcut: the model the validator must agree with on any input.
std::vector<UChar32> code_points(std::string_view text) {
  std::vector<UChar32> out;
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  for (std::int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    out.push_back(c);
  }
  return out;
}

std::string model_reason(std::string_view name) {
  const auto alphabetic = [](UChar32 c) { return c >= 0 && u_hasBinaryProperty(c, UCHAR_ALPHABETIC); };
  const auto numeric = [](UChar32 c) {
    if (c < 0) return false;
    const auto category = u_charType(c);
    return category == U_DECIMAL_DIGIT_NUMBER || category == U_LETTER_NUMBER || category == U_OTHER_NUMBER;
  };
  if (name.empty() || name.size() > kMaxNameLength) return kLength;
  const auto points = code_points(name);
  for (UChar32 c : points)
    if (c >= 0 && u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)) return kWhiteSpace;
  for (UChar32 c : points)
    if (c != '_' && !alphabetic(c) && !numeric(c)) return kAlphanumeric;
  if (points.front() != '_' && !alphabetic(points.front())) return kStart;
  if (name == "True" || name == "False" || name == "None") return fmt::format("'{}' is a reserved name", name);
  return kAccepted;
}

std::string reason_of(std::string_view name) {
  const auto result = validate_variable_name(name);
  if (result) return kAccepted;
  const auto* error = result.error().current_context().get<errors::InvalidIdentifier>();
  return error ? error->reason : "not an InvalidIdentifier";
}

std::string model_trim(std::string_view text) {
  const auto points = code_points(text);
  std::size_t begin = 0, end = points.size();
  const auto blank = [](UChar32 c) { return c >= 0 && u_hasBinaryProperty(c, UCHAR_WHITE_SPACE); };
  while (begin < end && blank(points[begin])) ++begin;
  while (end > begin && blank(points[end - 1])) --end;
  // Back to bytes: valid UTF-8 only reaches here.
  std::string out;
  for (std::size_t i = begin; i < end; ++i) {
    char buffer[4];
    std::int32_t n = 0;
    U8_APPEND_UNSAFE(reinterpret_cast<std::uint8_t*>(buffer), n, points[i]);
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

std::string utf8(UChar32 c) {
  char buffer[4];
  std::int32_t n = 0;
  U8_APPEND_UNSAFE(reinterpret_cast<std::uint8_t*>(buffer), n, c);
  return std::string(buffer, static_cast<std::size_t>(n));
}

TEST(ValidationModel, WhiteSpaceAgreesWithIcuOnEveryCodePoint) {
  for (UChar32 c = -1; c <= 0x10ffff; ++c)
    ASSERT_EQ(is_white_space(c), c >= 0 && u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)) << c;
}

TEST(ValidationModel, AgreesWithIcuOnEveryAsciiNameOfUpToTwoBytes) {
  for (int a = 0; a < 0x80; ++a) {
    const std::string one(1, static_cast<char>(a));
    ASSERT_EQ(reason_of(one), model_reason(one)) << a;
    ASSERT_EQ(trim_white_space(one), model_trim(one)) << a;
    for (int b = 0; b < 0x80; ++b) {
      const std::string two = one + static_cast<char>(b);
      ASSERT_EQ(reason_of(two), model_reason(two)) << a << ' ' << b;
      ASSERT_EQ(trim_white_space(two), model_trim(two)) << a << ' ' << b;
    }
  }
}

TEST(ValidationModel, AgreesWithIcuOnEveryCodePointAloneAndAfterALetter) {
  for (UChar32 c = 0; c <= 0x10ffff; ++c) {
    if (c >= 0xd800 && c <= 0xdfff) continue;
    const std::string alone = utf8(c);
    ASSERT_EQ(reason_of(alone), model_reason(alone)) << c;
    ASSERT_EQ(reason_of("a" + alone), model_reason("a" + alone)) << c;
  }
}

TEST(ValidationModel, AgreesWithIcuOnRandomMixedText) {
  // ASCII with a few non-ASCII letters, digits and blanks, and stray bytes
  // that make the text malformed UTF-8.
  const std::vector<std::string> pieces = {"a",      "Z",      "_",      "0",      "9",      " ",      "\t",
                                           "\n",     "\x0b",   "\x1f",   "-",      "{",      "\x7f",   "\u00e9",
                                           "\u00b2", "\u0663", "\u00a0", "\u3000", "\u200b", "\u216b", "\u65e5",
                                           "\x80",   "\xc3",   "\xff",   "None",   "True"};
  std::mt19937 random(20261207);
  for (int round = 0; round < 100000; ++round) {
    std::string text;
    const int count = static_cast<int>(random() % 6) + (round % 50 == 0 ? 60 : 0);
    for (int i = 0; i < count; ++i) text += pieces[random() % pieces.size()];
    ASSERT_EQ(reason_of(text), model_reason(text)) << text;
    // The model's trim rebuilds bytes from code points: valid UTF-8 only.
    if (text.find_first_of("\x80\xc3\xff") == std::string::npos) {
      ASSERT_EQ(trim_white_space(text), model_trim(text)) << text;
    }
  }
}

}  // namespace
}  // namespace velmora::utils
