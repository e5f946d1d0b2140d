#include "hex_to_uid.hpp"

#include <fmt/format.h>

#include <array>
#include <cstdint>

namespace velmora {
namespace {

constexpr std::string_view kContext = "hex str to uid";

// Each byte's digit value, or kNotDigit: a uid's 64 digits are read by
// look-up rather than by three comparisons each.
constexpr std::uint8_t kNotDigit = 0xff;
constexpr std::array<std::uint8_t, 256> kDigits = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(kNotDigit);
  for (int c = 0; c < 10; ++c) table['0' + c] = static_cast<std::uint8_t>(c);
  for (int c = 0; c < 6; ++c) {
    table['a' + c] = static_cast<std::uint8_t>(10 + c);
    table['A' + c] = static_cast<std::uint8_t>(10 + c);
  }
  return table;
}();

// A byte taken as the code point 0..255, quoted as reports of uid text quote
// it (part of the interface): single quotes, backslash escapes for the quote,
// the backslash and \0 \t \r \n, and \u{hex} for the other controls, the
// no-break space and the soft hyphen; every other character as itself in UTF-8.
std::string quoted_char(std::uint8_t byte) {
  switch (byte) {
    case '\0': return R"('\0')";
    case '\t': return R"('\t')";
    case '\r': return R"('\r')";
    case '\n': return R"('\n')";
    case '\'': return R"('\'')";
    case '\\': return R"('\\')";
    default: break;
  }
  if (byte < 0x20 || (byte >= 0x7f && byte <= 0xa0) || byte == 0xad) return fmt::format("'\\u{{{:x}}}'", byte);
  if (byte < 0x80) return fmt::format("'{}'", static_cast<char>(byte));
  const char utf8[] = {static_cast<char>(0xc0 | (byte >> 6)), static_cast<char>(0x80 | (byte & 0x3f))};
  return fmt::format("'{}'", std::string_view(utf8, 2));
}

std::unexpected<Report> hex_error(std::string reason) {
  return fail(errors::HexConversionError{std::move(reason), std::string(kContext)});
}

}  // namespace

Result<Uid> hex_str_to_uid(std::string_view text) {
  if (text.size() % 2 != 0)
    return hex_error(fmt::format("Invalid hex string: {} - '{}'", text, "Odd number of digits"));
  // Every digit is checked before the length, so a bad character wins over a
  // wrong count.
  Uid uid{};
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const std::uint8_t high = kDigits[static_cast<unsigned char>(text[i])];
    const std::uint8_t low = kDigits[static_cast<unsigned char>(text[i + 1])];
    if ((high | low) == kNotDigit) [[unlikely]] {
      const std::size_t at = high == kNotDigit ? i : i + 1;
      const auto detail =
          fmt::format("Invalid character {} at position {}", quoted_char(static_cast<std::uint8_t>(text[at])), at);
      return hex_error(fmt::format("Invalid hex string: {} - '{}'", text, detail));
    }
    if (i / 2 < uid.size()) uid[i / 2] = static_cast<std::uint8_t>(high << 4 | low);
  }
  if (text.size() / 2 != uid.size()) return hex_error(fmt::format("Uid must be 32 bytes, got {}", text.size() / 2));
  return uid;
}

}  // namespace velmora
