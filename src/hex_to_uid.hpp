// The way back in for uid text: 64 hexadecimal digits, either case, no prefix,
// separator or blanks. The way out is `uid_to_hex` (utils/uid.hpp).
//
// Pure function: any thread may call it, nothing locks.
#pragma once

#include <string_view>

#include "errors.hpp"
#include "utils/uid.hpp"

namespace velmora {

// Decodes `text` into a uid. Fails with `HexConversionError`, context
// "hex str to uid", and one of the reasons
//   "Invalid hex string: {text} - 'Odd number of digits'"
//   "Invalid hex string: {text} - 'Invalid character {c} at position {i}'"
//     (c: the first non-digit byte, as a code point 0..255, single-quoted with
//      backslash escapes, e.g. 'z', '\n', '\u{80}', 'Ã'; i: its byte offset)
//   "Uid must be 32 bytes, got {n}" (n: the decoded byte count)
// An odd length is reported before any digit is looked at. No context line.
Result<Uid> hex_str_to_uid(std::string_view text);

}  // namespace velmora
