// Trimming for the pattern parsers, which trim every piece they cut.
//
// Pure; any thread.
#pragma once

#include <string_view>

#include "validation.hpp"

namespace velmora::patterns {

// `trim_white_space`, answered without decoding when both ends are
// ASCII characters other than white space: such a text is already trimmed
// (a last byte below 0x80 is a whole character), and nearly every piece of a
// pattern is one.
inline std::string_view trim(std::string_view text) {
  if (!text.empty()) {
    const auto first = static_cast<unsigned char>(text.front());
    const auto last = static_cast<unsigned char>(text.back());
    const auto plain = [](unsigned char c) { return c < 0x80 && c != ' ' && !(c >= '\t' && c <= '\r'); };
    if (plain(first) && plain(last)) return text;
  }
  return trim_white_space(text);
}

}  // namespace velmora::patterns
