#include "hex_to_uid.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <optional>

namespace velmora {
namespace {

constexpr std::string_view kContext = "hex str to uid";

std::optional<std::uint8_t> digit_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

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
    std::uint8_t value = 0;
    for (std::size_t j = i; j < i + 2; ++j) {
      const auto digit = digit_value(text[j]);
      if (!digit) {
        const auto detail =
            fmt::format("Invalid character {} at position {}", quoted_char(static_cast<std::uint8_t>(text[j])), j);
        return hex_error(fmt::format("Invalid hex string: {} - '{}'", text, detail));
      }
      value = static_cast<std::uint8_t>(value << 4 | *digit);
    }
    if (i / 2 < uid.size()) uid[i / 2] = value;
  }
  if (text.size() / 2 != uid.size()) return hex_error(fmt::format("Uid must be 32 bytes, got {}", text.size() / 2));
  return uid;
}

}  // namespace velmora
