// Value equality as property matching uses it. Opaque values, which need
// Python objects, are compared in binding_values_test.cpp.
#include "cmp.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace velmora::utils {
namespace {

struct CmpCase {
  std::string label;
  Value a;
  Value b;
  bool equal;
};

class CmpValues : public ::testing::TestWithParam<CmpCase> {};

// Every rule is symmetric, so both orders must agree.
TEST_P(CmpValues, EqualInBothOrders) {
  const auto& c = GetParam();
  EXPECT_EQ(compare_values(c.a, c.b), c.equal);
  EXPECT_EQ(compare_values(c.b, c.a), c.equal);
}

using Array = Value::Array;
using Map = Value::Map;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Kinds, CmpValues,
    ::testing::Values(
        CmpCase{"IntEqual", 3, 3, true}, CmpCase{"IntDiffers", 3, 4, false},
        CmpCase{"IntExtremes", std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
                false},
        CmpCase{"IntIsNotFloat", 3, 3.0, false}, CmpCase{"BoolIsNotInt", true, 1, false},
        CmpCase{"FalseIsNotZero", false, 0, false}, CmpCase{"FloatSum", 0.1 + 0.2, 0.3, true},
        CmpCase{"FloatTinyApart", 1e-300, 2e-300, true},
        CmpCase{"FloatExactlyEpsilonApart", 1.0, 1.0000000000000002, false},
        CmpCase{"FloatLargeEqual", 1e300, 1e300, true},
        CmpCase{"FloatLargeNeighbours", 1e20, std::nextafter(1e20, kInf), false}, CmpCase{"NaN", kNaN, kNaN, false},
        CmpCase{"SameInfinity", kInf, kInf, false}, CmpCase{"OppositeInfinities", kInf, -kInf, false},
        CmpCase{"SignedZeros", 0.0, -0.0, true}, CmpCase{"TrueTrue", true, true, true},
        CmpCase{"FalseFalse", false, false, true}, CmpCase{"TrueFalse", true, false, false},
        CmpCase{"EmptyEmpty", Value(), Value(), false}, CmpCase{"EmptyZero", Value(), 0, false},
        CmpCase{"StringEqual", "a", "a", true}, CmpCase{"StringCase", "a", "A", false},
        CmpCase{"StringNotNormalised", "\xc3\xa9", "e\xcc\x81", false},
        CmpCase{"StringEmbeddedNul", std::string("a\0b", 3), std::string("a\0c", 3), false},
        CmpCase{"StringIsNotInt", "1", 1, false}, CmpCase{"ArrayEqual", Array{1, 2}, Array{1, 2}, true},
        CmpCase{"ArrayOrder", Array{1, 2}, Array{2, 1}, false}, CmpCase{"ArrayLength", Array{1}, Array{1, 1}, false},
        CmpCase{"ArrayEmpty", Array{}, Array{}, true}, CmpCase{"ArrayOfEmpty", Array{Value()}, Array{Value()}, false},
        CmpCase{"ArrayItemKinds", Array{1}, Array{1.0}, false}, CmpCase{"ArrayIsNotMap", Array{}, Map{}, false},
        CmpCase{"MapEqual", Map{{"k", 1}}, Map{{"k", 1}}, true},
        CmpCase{"MapExtraKey", Map{{"k", 1}}, Map{{"k", 1}, {"j", 2}}, false},
        CmpCase{"MapOtherKey", Map{{"k", 1}}, Map{{"j", 1}}, false},
        CmpCase{"MapValueKind", Map{{"k", 1}}, Map{{"k", 1.0}}, false}, CmpCase{"MapEmpty", Map{}, Map{}, true},
        CmpCase{"Nested", Map{{"a", Array{Map{{"b", "x"}}, 0.5}}}, Map{{"a", Array{Map{{"b", "x"}}, 0.5 + 1e-17}}},
                true},
        CmpCase{"NestedDiffers", Map{{"a", Array{Map{{"b", "x"}}}}}, Map{{"a", Array{Map{{"b", "y"}}}}}, false}),
    [](const auto& info) { return info.param.label; });

}  // namespace
}  // namespace velmora::utils
