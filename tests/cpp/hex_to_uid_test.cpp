#include "hex_to_uid.hpp"

#include <gtest/gtest.h>

#include <string>

namespace velmora::utils {
namespace {

const std::string kLower = "00112233445566778899aabbccddeeff0123456789abcdef0f1e2d3c4b5a6978";

std::string invalid_hex(const std::string& text, const std::string& detail) {
  return "Invalid hex string: " + text + " - '" + detail + "'";
}

struct FailureCase {
  std::string label;
  std::string text;
  std::string reason;
};

class HexToUidFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(HexToUidFailure, ReportsTheReason) {
  const auto& c = GetParam();
  const auto result = hex_str_to_uid(c.text);
  ASSERT_FALSE(result.has_value());
  const auto* error = result.error().current_context().get<errors::HexConversionError>();
  ASSERT_NE(error, nullptr) << result.error().current_context().debug();
  EXPECT_EQ(error->reason, c.reason);
  EXPECT_EQ(error->context, "hex str to uid");
  EXPECT_TRUE(result.error().lines().empty());
  EXPECT_EQ(errors::format_report(result.error()), "Hex Conversion Error: '" + c.reason + "' (hex str to uid)");
}

FailureCase bad_char(std::string label, std::string text, std::string quoted, int position) {
  auto reason = invalid_hex(text, "Invalid character " + quoted + " at position " + std::to_string(position));
  return {std::move(label), std::move(text), std::move(reason)};
}

INSTANTIATE_TEST_SUITE_P(
    HexToUid, HexToUidFailure,
    ::testing::Values(
        FailureCase{"empty", "", "Uid must be 32 bytes, got 0"},
        FailureCase{"four_digits", "abcd", "Uid must be 32 bytes, got 2"},
        FailureCase{"sixty_six_digits", kLower + "00", "Uid must be 32 bytes, got 33"},
        FailureCase{"odd_length", kLower.substr(1), invalid_hex(kLower.substr(1), "Odd number of digits")},
        FailureCase{"odd_length_before_bad_digit", "z" + kLower.substr(2),
                    invalid_hex("z" + kLower.substr(2), "Odd number of digits")},
        FailureCase{"prefixed", "0x" + kLower, invalid_hex("0x" + kLower, "Invalid character 'x' at position 1")},
        bad_char("zz", "zz", "'z'", 0), bad_char("second_digit", "0g", "'g'", 1),
        bad_char("bad_digit_beats_length", "00zz", "'z'", 2), bad_char("space", "0 ", "' '", 1),
        bad_char("double_quote", "\"0", "'\"'", 0), bad_char("single_quote", "'0", R"('\'')", 0),
        bad_char("backslash", "\\0", R"('\\')", 0), bad_char("line_feed", "0\n", R"('\n')", 1),
        bad_char("tab", "\t0", R"('\t')", 0), bad_char("carriage_return", "\r0", R"('\r')", 0),
        bad_char("nul", std::string("0\0", 2), R"('\0')", 1),
        bad_char("control",
                 "\x01"
                 "0",
                 R"('\u{1}')", 0),
        bad_char("delete",
                 "\x7f"
                 "0",
                 R"('\u{7f}')", 0),
        bad_char("c1_control",
                 "\x80"
                 "0",
                 R"('\u{80}')", 0),
        bad_char("no_break_space_byte",
                 "\xa0"
                 "0",
                 R"('\u{a0}')", 0),
        bad_char("soft_hyphen_byte",
                 "\xad"
                 "0",
                 R"('\u{ad}')", 0),
        bad_char("latin1_letter_byte",
                 "\xe9"
                 "0",
                 "'\u00e9'", 0),
        bad_char("y_diaeresis_byte", "0\xff", "'\u00ff'", 1), bad_char("utf8_lead_byte", "\u00e9", "'\u00c3'", 0)),
    [](const auto& info) { return info.param.label; });

TEST(HexToUidDecode, AcceptsEitherCase) {
  std::string upper = kLower;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const auto lower = hex_str_to_uid(kLower);
  const auto from_upper = hex_str_to_uid(upper);
  ASSERT_TRUE(lower.has_value());
  ASSERT_TRUE(from_upper.has_value());
  EXPECT_EQ(*lower, *from_upper);
  EXPECT_EQ((*lower)[0], 0x00);
  EXPECT_EQ((*lower)[1], 0x11);
  EXPECT_EQ((*lower)[31], 0x78);
}

TEST(HexToUidDecode, ReadsBackTheShownText) {
  Uid uid;
  for (std::size_t i = 0; i < uid.size(); ++i) uid[i] = static_cast<std::uint8_t>(i * 37 + 5);
  const auto back = hex_str_to_uid(uid_to_hex(uid));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, uid);
}

}  // namespace
}  // namespace velmora::utils
