// Property values to and from Python objects (src/binding/values), and opaque
// values held by Python objects: their identity, and their releases on pool
// threads. The interpreter is embedded by main.cpp; this thread holds its lock
// throughout.
#include "binding/values.hpp"

#include <gtest/gtest.h>
#include <tbb/blocked_range.h>

#include <atomic>
#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "binding/guard.hpp"
#include "cmp.hpp"
#include "pool_support.hpp"
#include "py_eval.hpp"
#include "report_text.hpp"

namespace velmora::binding {
namespace {

using Array = Value::Array;
using Map = Value::Map;

PyRef eval(const char* expr) { return velmora::testing::py_eval(expr); }

std::string repr_of(PyObject* obj) {
  PyRef r = PyRef::steal(PyObject_Repr(obj));
  return *str_to_utf8(r.get());
}

using test_text::report_text;
using test_text::without_lines;

// ---------------------------------------------------------------- text forms

TEST(PropertiesText, OpaqueShowsItsTypeName) {
  PyRef f = eval("type('F', (float,), {})(1.5)");
  auto value = py_to_rhai(f.get());
  ASSERT_TRUE(value);
  EXPECT_EQ(value->to_string(), "velmora::properties::PyOpaque");
  EXPECT_EQ(PropertyMap({{"o", *value}, {"l", Array{*value}}}).to_string(),
            "{l: [velmora::properties::PyOpaque], o: velmora::properties::PyOpaque}");
}

// ---------------------------------------------------------------- Python conversion

// How the converted value comes back from rhai_to_py.
enum class Back { Same, NewObject, Immutable };

struct ToRhaiCase {
  std::string label;
  const char* expr;
  std::string text;  // Value::to_string of the conversion
  Back back;
  std::string back_repr;  // repr of what comes back
  std::string back_type;  // its exact type's name
};

class PropertiesToRhai : public ::testing::TestWithParam<ToRhaiCase> {};

TEST_P(PropertiesToRhai, ConvertsAndComesBack) {
  const auto& c = GetParam();
  PyRef obj = eval(c.expr);
  ASSERT_TRUE(obj);
  auto value = py_to_rhai(obj.get());
  ASSERT_TRUE(value) << errors::format_report(value.error());
  EXPECT_EQ(value->to_string(), c.text);
  auto back = rhai_to_py(*value);
  ASSERT_TRUE(back) << errors::format_report(back.error());
  if (c.back == Back::Same) {
    EXPECT_EQ(back->get(), obj.get());
  } else if (c.back == Back::NewObject) {
    EXPECT_NE(back->get(), obj.get());
  }
  EXPECT_EQ(repr_of(back->get()), c.back_repr);
  EXPECT_EQ(type_qualname(back->get()), c.back_type);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PropertiesToRhai,
    ::testing::Values(
        ToRhaiCase{"True", "True", "true", Back::Same, "True", "bool"},
        ToRhaiCase{"False", "False", "false", Back::Same, "False", "bool"},
        ToRhaiCase{"Int", "1", "1", Back::Immutable, "1", "int"},
        ToRhaiCase{"IntMin", "-2**63", "-9223372036854775808", Back::NewObject, "-9223372036854775808", "int"},
        ToRhaiCase{"IntMax", "2**63-1", "9223372036854775807", Back::NewObject, "9223372036854775807", "int"},
        ToRhaiCase{"IntEnum", "__import__('enum').IntEnum('E', 'A B').B", "2", Back::NewObject, "2", "int"},
        ToRhaiCase{"Float", "1.5", "1.5", Back::NewObject, "1.5", "float"},
        ToRhaiCase{"NegativeZero", "-0.0", "-0.0", Back::NewObject, "-0.0", "float"},
        ToRhaiCase{"Str", "'h\\xe9llo'", "\"h\xc3\xa9llo\"", Back::NewObject, "'h\xc3\xa9llo'", "str"},
        ToRhaiCase{"StrSubclass", "type('S', (str,), {})('x')", "\"x\"", Back::NewObject, "'x'", "str"},
        ToRhaiCase{"List", "[1, 'a', [True, None]]", "[1, \"a\", [true, velmora::properties::PyOpaque]]",
                   Back::NewObject, "[1, 'a', [True, None]]", "list"},
        ToRhaiCase{"ListSubclass", "type('L', (list,), {})([1])", "[1]", Back::NewObject, "[1]", "list"},
        ToRhaiCase{"DictInKeyOrder", "{'b': 1, 'a': {'y': 2.5, 'B': []}}",
                   "#{\"a\": #{\"B\": [], \"y\": 2.5}, \"b\": 1}", Back::NewObject,
                   "{'a': {'B': [], 'y': 2.5}, 'b': 1}", "dict"},
        ToRhaiCase{"DictSubclass", "__import__('collections').OrderedDict([('z', 1)])", "#{\"z\": 1}", Back::NewObject,
                   "{'z': 1}", "dict"},
        ToRhaiCase{"RepeatedKeyText", "{type('S', (str,), {'__hash__': lambda s: 1})('k'): 1, 'k': 2}", "#{\"k\": 2}",
                   Back::NewObject, "{'k': 2}", "dict"},
        ToRhaiCase{"None", "None", "velmora::properties::PyOpaque", Back::Same, "None", "NoneType"},
        ToRhaiCase{"Tuple", "(1, 2)", "velmora::properties::PyOpaque", Back::Same, "(1, 2)", "tuple"},
        ToRhaiCase{"FloatSubclass", "type('F', (float,), {})(1.5)", "velmora::properties::PyOpaque", Back::Same, "1.5",
                   "F"},
        ToRhaiCase{"Bytes", "b'x'", "velmora::properties::PyOpaque", Back::Same, "b'x'", "bytes"},
        ToRhaiCase{"Set", "{1}", "velmora::properties::PyOpaque", Back::Same, "{1}", "set"}),
    [](const auto& info) { return info.param.label; });

struct ToRhaiFailureCase {
  std::string label;
  const char* expr;
  bool via_map;        // through property_map_from_py rather than py_to_rhai
  std::string report;  // context lines newest (outermost) first
};

class PropertiesToRhaiFailure : public ::testing::TestWithParam<ToRhaiFailureCase> {};

TEST_P(PropertiesToRhaiFailure, FailsWithTheExactReport) {
  const auto& c = GetParam();
  PyRef obj = eval(c.expr);
  ASSERT_TRUE(obj);
  std::optional<Report> report;
  if (c.via_map) {
    auto map = property_map_from_py(obj.get());
    if (!map) report = std::move(map).error();
  } else {
    auto value = py_to_rhai(obj.get());
    if (!value) report = std::move(value).error();
  }
  ASSERT_TRUE(report);
  EXPECT_EQ(report_text(*report), c.report);
  EXPECT_TRUE(report->current_context().is<errors::PythonError>());
  EXPECT_EQ(report->current_context().python_class(), PyClass::RuntimeError);
  EXPECT_FALSE(PyErr_Occurred());
}

const std::string kOverflow = "Python Error: 'OverflowError: Python int too large to convert to C long'";
const std::string kIntLine = "\n → py to rhai - int [src/properties:N]";
const std::string kListLine = "\n → py to rhai - list [src/properties:N]";
const std::string kDictLine = "\n → py to rhai - dict [src/properties:N]";
const std::string kNewLine = "\n → property map - new [src/properties:N]";
const std::string kNotDict =
    "Python Error: 'Root of PropertyMap should be a Dict' (property map new [src/properties:N])";
const std::string kIntKey = "Python Error: 'TypeError: 'int' object cannot be cast as 'str''";

INSTANTIATE_TEST_SUITE_P(
    Failures, PropertiesToRhaiFailure,
    ::testing::Values(
        ToRhaiFailureCase{"IntTooLarge", "2**63", false, kOverflow + kIntLine},
        ToRhaiFailureCase{"IntTooSmall", "-2**63-1", false, kOverflow + kIntLine},
        ToRhaiFailureCase{"LoneSurrogate", "'\\ud800'", false,
                          "Python Error: 'UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in "
                          "position 0: surrogates not allowed'\n → py to rhai - string [src/properties:N]"},
        ToRhaiFailureCase{"InNestedList", "[1, [2**64]]", false, kOverflow + kListLine + kListLine + kIntLine},
        ToRhaiFailureCase{"IntKey", "{2: 1}", false, kIntKey},
        ToRhaiFailureCase{"TupleKeyAfterGoodEntry", "{'a': 1, (1,): 2}", false,
                          "Python Error: 'TypeError: 'tuple' object cannot be cast as 'str''"},
        ToRhaiFailureCase{
            "NestedKeyInList", "[{'a': {None: 1}}]", false,
            "Python Error: 'TypeError: 'NoneType' object cannot be cast as 'str''" + kListLine + kDictLine},
        ToRhaiFailureCase{"InNestedDicts", "{'a': {'b': 2**70}}", false, kOverflow + kDictLine + kDictLine + kIntLine},
        ToRhaiFailureCase{"MixedNesting", "{'a': [{'b': '\\udc80'}]}", false,
                          "Python Error: 'UnicodeEncodeError: 'utf-8' codec can't encode character '\\udc80' in "
                          "position 0: surrogates not allowed'" +
                              kDictLine + kListLine + kDictLine + "\n → py to rhai - string [src/properties:N]"},
        ToRhaiFailureCase{"MapNestedDicts", "{'a': {'b': 2**70}}", true,
                          kOverflow + kNewLine + kDictLine + kDictLine + kIntLine},
        ToRhaiFailureCase{"MapIntKey", "{2: 1}", true, kIntKey + kNewLine},
        ToRhaiFailureCase{"MapRootList", "[]", true, kNotDict}, ToRhaiFailureCase{"MapRootInt", "1", true, kNotDict},
        ToRhaiFailureCase{"MapRootNone", "None", true, kNotDict},
        ToRhaiFailureCase{"MapRootTooLargeInt", "2**64", true, kOverflow + kNewLine + kIntLine}),
    [](const auto& info) { return info.param.label; });

TEST(PropertiesFromPy, BuildsMapsInKeyOrder) {
  PyRef empty = eval("{}");
  auto map = property_map_from_py(empty.get());
  ASSERT_TRUE(map);
  EXPECT_EQ(map->to_string(), "{}");
  PyRef dict = eval("{'b': 1, 'B': [None], 'a': {'x': 1.0}}");
  map = property_map_from_py(dict.get());
  ASSERT_TRUE(map);
  EXPECT_EQ(map->to_string(), "{B: [velmora::properties::PyOpaque], a: #{\"x\": 1.0}, b: 1}");
}

TEST(PropertiesFromPy, SelfContainingListStopsAtTheDepthLimit) {
  PyRef list = eval("(lambda l: (l.append(l), l)[1])([])");
  ASSERT_TRUE(list);
  auto value = py_to_rhai(list.get());
  ASSERT_FALSE(value);
  const auto* error = value.error().current_context().get<errors::PythonError>();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, "RecursionError: maximum recursion depth exceeded while converting a Python object");
  EXPECT_EQ(value.error().lines().size(), 1000u);
  PyRef cycle_breaker = PyRef::steal(PyObject_CallMethod(list.get(), "clear", nullptr));
}

TEST(PropertiesIntoPy, RoundTripsIntoADetachedDict) {
  PyRef dict = eval("{'b': [1, {'x': None}], 'a': 1.5, 'B': True}");
  auto map = property_map_from_py(dict.get());
  ASSERT_TRUE(map);
  map->insert("n", Value());
  auto back = property_map_into_pyobject(*map);
  ASSERT_TRUE(back);
  EXPECT_EQ(repr_of(back->get()), "{'B': True, 'a': 1.5, 'b': [1, {'x': None}], 'n': None}");
  EXPECT_NE(back->get(), dict.get());
  ASSERT_EQ(PyDict_SetItemString(back->get(), "a", Py_None), 0);
  EXPECT_EQ(map->to_string(), "{B: true, a: 1.5, b: [1, #{\"x\": velmora::properties::PyOpaque}], n: ()}");
}

struct IntoPyFailureCase {
  std::string label;
  PropertyEntries entries;
  std::string exc_type;
  std::string message;
};

class PropertiesIntoPyFailure : public ::testing::TestWithParam<IntoPyFailureCase> {};

TEST_P(PropertiesIntoPyFailure, RaisesTheExactException) {
  const auto& c = GetParam();
  auto back = property_map_into_pyobject(PropertyMap(c.entries));
  ASSERT_FALSE(back);
  EXPECT_EQ(type_qualname_of_type(back.error().type()), c.exc_type);
  EXPECT_EQ(without_lines(*back.error().value_str()), c.message);
  EXPECT_FALSE(PyErr_Occurred());
}

const std::string kBadByte =
    "UnicodeDecodeError: 'utf-8' codec can't decode byte 0xff in position 0: invalid start byte";
const std::string kIntoLine = "\n → property map - into py object [src/properties:N]";

// Only text that is not UTF-8 can make the way back fail.
INSTANTIATE_TEST_SUITE_P(
    Failures, PropertiesIntoPyFailure,
    ::testing::Values(
        IntoPyFailureCase{
            "TopLevelString", {{"k", "\xff"}}, "RuntimeError", "Python Error: '" + kBadByte + "'" + kIntoLine},
        IntoPyFailureCase{"StringInList",
                          {{"k", Array{1, "\xff"}}},
                          "RuntimeError",
                          "Python Error: '" + kBadByte + "'" + kIntoLine + "\n → rhai to py - list [src/properties:N]"},
        IntoPyFailureCase{"NestedMapKey",
                          {{"k", Array{Map{{"\xff", 1}}}}},
                          "RuntimeError",
                          "Python Error: '" + kBadByte + "'" + kIntoLine + "\n → rhai to py - list [src/properties:N]" +
                              "\n → rhai to py - dict [src/properties:N]"},
        IntoPyFailureCase{"TopLevelKey",
                          {{"\xff", 1}},
                          "UnicodeDecodeError",
                          "'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"}),
    [](const auto& info) { return info.param.label; });

// ---------------------------------------------------------------- opaque values on pool threads

// Pool threads copy, compare and drop opaque values while this thread holds
// the interpreter lock and waits for them. No reference may be released in
// place (the count stays up until the drain) and none may be lost or leaked.
TEST(PropertiesOpaque, PoolThreadsCopyAndDropWithoutTheInterpreter) {
  drain_deferred();
  PyRef obj = eval("object()");
  ASSERT_TRUE(obj);
  const Py_ssize_t base = Py_REFCNT(obj.get());
  constexpr std::size_t kValues = 4000;
  constexpr int kCopies = 8;
  {
    const Value shared = PyOpaque(obj.get());
    std::vector<Value> values;
    values.reserve(kValues);
    for (std::size_t i = 0; i < kValues; ++i) {
      values.emplace_back(Array{PyOpaque(obj.get()), Map{{"o", PyOpaque(obj.get())}}});
    }
    const Py_ssize_t held = base + 1 + 2 * static_cast<Py_ssize_t>(kValues);
    ASSERT_EQ(Py_REFCNT(obj.get()), held);

    std::atomic<std::size_t> equal{0};
    test_pool::parallel_for(tbb::blocked_range<std::size_t>(0, kValues), [&](const auto& range) {
      for (std::size_t i = range.begin(); i != range.end(); ++i) {
        // The last handle of each value dies here, on whichever thread runs it.
        const Value mine = std::move(values[i]);
        for (int k = 0; k < kCopies; ++k) {
          const Value copy = mine;
          const Value from_shared = shared;
          const auto& inner = *copy.get_if<Array>()->front().get_if<PyOpaque>();
          if (compare_values(copy, mine) && inner == *from_shared.get_if<PyOpaque>()) ++equal;
        }
      }
    });
    EXPECT_EQ(equal, kValues * kCopies);
    EXPECT_EQ(Py_REFCNT(obj.get()), held);
  }
  EXPECT_EQ(Py_REFCNT(obj.get()), base + 1 + 2 * static_cast<Py_ssize_t>(kValues));
  drain_deferred();
  EXPECT_EQ(Py_REFCNT(obj.get()), base);
}

// ---------------------------------------------------------------- identity

TEST(CmpOpaque, ComparesByIdentityOnly) {
  const PyRef t1 = eval("(1, 2)");
  const PyRef t2 = eval("(1, 2)");
  ASSERT_TRUE(t1 && t2);
  ASSERT_NE(t1.get(), t2.get());
  const Value none_a{PyOpaque(Py_None)};
  const Value none_b{PyOpaque(Py_None)};
  const Value copy = none_a;

  EXPECT_TRUE(compare_values(none_a, none_b));
  EXPECT_TRUE(compare_values(copy, none_a));
  EXPECT_FALSE(compare_values(Value(PyOpaque(t1.get())), Value(PyOpaque(t2.get()))));
  EXPECT_TRUE(compare_values(Value(PyOpaque(t1.get())), Value(PyOpaque(t1.get()))));
  EXPECT_FALSE(compare_values(none_a, Value()));
  EXPECT_FALSE(compare_values(Value(), none_a));
  EXPECT_FALSE(compare_values(none_a, false));
  EXPECT_TRUE(
      compare_values(Array{none_a, Map{{"t", PyOpaque(t1.get())}}}, Array{none_b, Map{{"t", PyOpaque(t1.get())}}}));
  EXPECT_FALSE(compare_values(Array{Map{{"t", PyOpaque(t1.get())}}}, Array{Map{{"t", PyOpaque(t2.get())}}}));
}

}  // namespace
}  // namespace velmora::binding
