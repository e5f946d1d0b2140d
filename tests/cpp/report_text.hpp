// The text of a report with the line numbers of its src/properties context
// lines taken out: the tests pin down which lines a report carries, not where
// in the file they stand ("[src/properties:123]" becomes
// "[src/properties:N]").
#pragma once

#include <cctype>
#include <string>
#include <string_view>

#include "errors.hpp"

namespace velmora::test_text {

inline std::string without_lines(std::string text) {
  constexpr std::string_view kPrefix = "[src/properties:";
  for (auto at = text.find(kPrefix); at != std::string::npos; at = text.find(kPrefix, at + 1)) {
    const auto digits = at + kPrefix.size();
    auto end = digits;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end > digits && end < text.size() && text[end] == ']') text.replace(digits, end - digits, "N");
  }
  return text;
}

inline std::string report_text(const Report& report) { return without_lines(errors::format_report(report)); }

}  // namespace velmora::test_text
