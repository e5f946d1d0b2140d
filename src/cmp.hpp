// Equality of property values, as property matching uses it.
//
// Pure and lock-free: any thread may call it, pool threads included, without
// the interpreter lock. It touches no Python object (opaque values compare by
// address) and never fails.
#pragma once

#include <optional>

#include "properties.hpp"

namespace velmora {

// Whether the pattern's value `a` equals the stored value `b`. No conversion
// between kinds (1 is not 1.0, true is not 1); the first matching rule decides:
//   - opaque values: the same Python object;
//   - integers: equal numbers;
//   - floats: |a - b| < 2^-52 (absolute), so NaN and infinities equal nothing;
//   - booleans, strings (byte-exact): equal;
//   - maps: the same number of entries and, in a's key order, each key of a
//     present in b with an equal value (a's value first);
//   - arrays: the same length and equal items position by position;
//   - anything else, the empty value included: not equal.
bool compare_values(const Value& a, const Value& b);

// `compare_values(a, b)` for a stored value `b` read in place (see
// PropertyMap::peek), without copying it; none when the read carries no value
// to compare (a float, the empty value), and the caller reads `b` itself.
std::optional<bool> compare_in_place(const Value& a, const PropertyMap::Peek& b);

}  // namespace velmora
