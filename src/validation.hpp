// Names of type variables, basic terms, pattern variables and schema captures,
// plus the Unicode white-space helpers that the pattern parsers trim with.
//
// Inputs are UTF-8 (they come from Python str or from our own parsers). All
// functions are pure: any thread may call them, nothing locks.
#pragma once

#include <string_view>

#include <unicode/umachine.h>

#include "errors.hpp"

namespace velmora {

// The longest accepted name, in UTF-8 bytes.
inline constexpr std::size_t kMaxNameLength = 255;

// Accepts `name` or fails with `InvalidIdentifier{name, reason}`; the first
// failing check decides:
//   1. byte length 0 or above 255: "Name must be between 1 and 255 characters"
//   2. any Unicode White_Space character: "Name cannot contain whitespace"
//   3. a character neither Alphabetic, nor of category Nd/Nl/No, nor "_":
//      "Name can only contain alphanumeric characters and underscores"
//   4. a first character neither Alphabetic nor "_":
//      "Name must start with a letter or underscore"
//   5. exactly "True", "False" or "None": "'None' is a reserved name" (etc.)
// The report carries no context line; callers attach theirs.
Status validate_variable_name(std::string_view name);

// Whether `name` holds only ASCII letters, digits and "_" and passes
// `validate_variable_name`: the parsers' common case, told without a report.
bool is_plain_ascii_name(std::string_view name);

// Whether `c` has the Unicode White_Space property.
bool is_white_space(UChar32 c);

// `text` without the White_Space characters at either end (a view into it).
std::string_view trim_white_space(std::string_view text);

}  // namespace velmora
