#include "validation.hpp"

#include <fmt/format.h>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>

namespace velmora {
namespace {

Status invalid(std::string_view name, std::string reason) {
  return fail(errors::InvalidIdentifier{std::string(name), std::move(reason)});
}

// Code points of valid UTF-8; a malformed sequence yields a negative value,
// which no property below accepts.
template <class F>
bool all_code_points(std::string_view text, F&& pred) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  for (std::int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (!pred(c)) return false;
  }
  return true;
}

UChar32 first_code_point(std::string_view text) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  std::int32_t i = 0;
  UChar32 c;
  U8_NEXT(s, i, static_cast<std::int32_t>(text.size()), c);
  return c;
}

// ICU's answers for ASCII, which nearly every name and pattern is made of;
// the property lookups cost more than the rest of a validation. Outside ASCII
// ICU decides.
constexpr bool is_ascii(UChar32 c) { return c >= 0 && c < 0x80; }
constexpr bool ascii_letter(UChar32 c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool ascii_digit(UChar32 c) { return c >= '0' && c <= '9'; }

bool is_alphabetic(UChar32 c) {
  if (is_ascii(c)) return ascii_letter(c);
  return c >= 0 && u_hasBinaryProperty(c, UCHAR_ALPHABETIC);
}

bool is_alphanumeric(UChar32 c) {
  if (is_ascii(c)) return ascii_letter(c) || ascii_digit(c);
  if (is_alphabetic(c)) return true;
  if (c < 0) return false;
  const auto category = u_charType(c);
  return category == U_DECIMAL_DIGIT_NUMBER || category == U_LETTER_NUMBER || category == U_OTHER_NUMBER;
}

// The white-space and character checks in one pass while the name is ASCII.
// White space anywhere decides before any other character does, so it ends
// the pass at once; a non-ASCII byte leaves the name to the full checks.
enum class Verdict { NotAscii, WhiteSpace, Other, Fine };

Verdict ascii_verdict(std::string_view name) {
  Verdict verdict = Verdict::Fine;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == ' ' || (c >= '\t' && c <= '\r')) return Verdict::WhiteSpace;
    if (c >= 0x80) return Verdict::NotAscii;
    if (c != '_' && !ascii_letter(c) && !ascii_digit(c)) verdict = Verdict::Other;
  }
  return verdict;
}

bool reserved(std::string_view name) { return name == "True" || name == "False" || name == "None"; }

}  // namespace

bool is_white_space(UChar32 c) {
  if (is_ascii(c)) return c == ' ' || (c >= '\t' && c <= '\r');
  return c >= 0 && u_hasBinaryProperty(c, UCHAR_WHITE_SPACE);
}

std::string_view trim_white_space(std::string_view text) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t begin = 0;
  while (begin < length) {
    std::int32_t next = begin;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (!is_white_space(c)) break;
    begin = next;
  }
  std::int32_t end = length;
  while (end > begin) {
    std::int32_t previous = end;
    UChar32 c;
    U8_PREV(s, begin, previous, c);
    if (!is_white_space(c)) break;
    end = previous;
  }
  return text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

Status validate_variable_name(std::string_view name) {
  // The limit counts bytes although the message speaks of characters.
  if (name.empty() || name.size() > kMaxNameLength)
    return invalid(name, fmt::format("Name must be between 1 and {} characters", kMaxNameLength));
  const Verdict verdict = ascii_verdict(name);
  if (verdict == Verdict::WhiteSpace ||
      (verdict == Verdict::NotAscii && !all_code_points(name, [](UChar32 c) { return !is_white_space(c); })))
    return invalid(name, "Name cannot contain whitespace");
  if (verdict == Verdict::Other || (verdict == Verdict::NotAscii &&
                                    !all_code_points(name, [](UChar32 c) { return c == '_' || is_alphanumeric(c); })))
    return invalid(name, "Name can only contain alphanumeric characters and underscores");
  if (const UChar32 first = first_code_point(name); first != '_' && !is_alphabetic(first))
    return invalid(name, "Name must start with a letter or underscore");
  if (reserved(name)) return invalid(name, fmt::format("'{}' is a reserved name", name));
  return {};
}

bool is_plain_ascii_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength || ascii_verdict(name) != Verdict::Fine) return false;
  const auto first = static_cast<unsigned char>(name.front());
  return (first == '_' || ascii_letter(first)) && !reserved(name);
}

}  // namespace velmora
