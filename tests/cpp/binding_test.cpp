// The binding layer against an embedded interpreter (see main.cpp).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "binding/args.hpp"
#include "binding/class.hpp"
#include "binding/guard.hpp"
#include "binding/python.hpp"
#include "py_eval.hpp"

namespace velmora::binding {
namespace {

PyRef eval(const char* expr) { return velmora::testing::py_eval(expr); }

std::string str_of(PyObject* o) {
  PyRef s = PyRef::steal(PyObject_Str(o));
  return *str_to_utf8(s.get());
}

// The message of a failed extraction, with its type checked.
std::string type_error_text(PyErr err) {
  EXPECT_EQ(err.type(), PyExc_TypeError);
  return *err.value_str();
}

struct ArgsCase {
  std::string label;
  const char* args;    // a tuple expression
  const char* kwargs;  // a dict expression or nullptr
  std::string error;   // empty: extraction succeeds
};

const FunctionDescription kSetter{"Graph", "set_node_properties", {"map", "overwrite"}, 1, false};
const FunctionDescription kThree{"Query", "set", {"variable", "properties", "overwrite"}, 2, false};
const FunctionDescription kAll{"", "f", {"a", "b", "c"}, 3, false};
const FunctionDescription kVarargs{"Query", "remove", {}, 0, true};

class BindingArgs : public ::testing::TestWithParam<std::pair<const FunctionDescription*, ArgsCase>> {};

TEST_P(BindingArgs, MatchesOrRaisesTheBindingText) {
  const auto& [desc, c] = GetParam();
  PyRef args = eval(c.args);
  PyRef kwargs = c.kwargs ? eval(c.kwargs) : PyRef();
  std::vector<PyObject*> out(desc->params.size());
  PyRef rest;
  auto r = extract_arguments(*desc, args.get(), kwargs.get(), out, &rest);
  if (c.error.empty()) {
    EXPECT_TRUE(r.has_value());
  } else {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(type_error_text(std::move(r).error()), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BindingArgs,
    ::testing::Values(
        std::pair{&kSetter, ArgsCase{"Ok", "({},)", nullptr, ""}},
        std::pair{&kSetter, ArgsCase{"OkKeyword", "()", "{'map': {}, 'overwrite': False}", ""}},
        std::pair{&kSetter, ArgsCase{"MissingOne", "()", nullptr,
                                     "Graph.set_node_properties() missing 1 required positional argument: 'map'"}},
        std::pair{&kThree,
                  ArgsCase{"MissingTwo", "()", "{'overwrite': True}",
                           "Query.set() missing 2 required positional arguments: 'variable' and 'properties'"}},
        std::pair{&kAll, ArgsCase{"MissingThree", "()", nullptr,
                                  "f() missing 3 required positional arguments: 'a', 'b', and 'c'"}},
        std::pair{&kAll, ArgsCase{"TooManyExact", "(1, 2, 3, 4)", nullptr,
                                  "f() takes 3 positional arguments but 4 were given"}},
        std::pair{&kSetter,
                  ArgsCase{"TooManyRange", "(1, 2, 3)", nullptr,
                           "Graph.set_node_properties() takes from 1 to 2 positional arguments but 3 were given"}},
        std::pair{&kSetter,
                  ArgsCase{"TooManyBeforeKeywords", "(1, 2, 3)", "{'zzz': 1}",
                           "Graph.set_node_properties() takes from 1 to 2 positional arguments but 3 were given"}},
        std::pair{&kSetter, ArgsCase{"UnexpectedKeyword", "({},)", "{'mapp': 1}",
                                     "Graph.set_node_properties() got an unexpected keyword argument 'mapp'"}},
        std::pair{&kSetter, ArgsCase{"MultipleValues", "({},)", "{'map': 1}",
                                     "Graph.set_node_properties() got multiple values for argument 'map'"}},
        std::pair{&kSetter, ArgsCase{"KeywordBeforeMissing", "()", "{'x': 1}",
                                     "Graph.set_node_properties() got an unexpected keyword argument 'x'"}},
        std::pair{&kVarargs, ArgsCase{"VarargsAnyCount", "('a', 'b', 'c')", nullptr, ""}},
        std::pair{&kVarargs, ArgsCase{"VarargsNoKeywords", "()", "{'variables': 1}",
                                      "Query.remove() got an unexpected keyword argument 'variables'"}}),
    [](const auto& info) { return info.param.second.label; });

TEST(BindingArgs, WasForOneArgument) {
  const FunctionDescription none{"Graph", "query", {}, 0, false};
  std::vector<PyObject*> out;
  auto r = extract_arguments(none, eval("(1,)").get(), nullptr, out);
  ASSERT_FALSE(r);
  EXPECT_EQ(type_error_text(std::move(r).error()), "Graph.query() takes 0 positional arguments but 1 was given");
}

TEST(BindingArgs, VarargsCollectsTheRest) {
  std::vector<PyObject*> out;
  PyRef rest;
  ASSERT_TRUE(extract_arguments(kVarargs, eval("('a', 'b')").get(), nullptr, out, &rest));
  EXPECT_EQ(str_of(rest.get()), "('a', 'b')");
}

struct ConvCase {
  std::string label;
  const char* value;
  std::string error;  // after the argument prefix
};

class BindingConvert : public ::testing::TestWithParam<ConvCase> {};

TEST_P(BindingConvert, CastTextsWithArgumentPrefix) {
  const auto& c = GetParam();
  PyRef v = eval(c.value);
  std::string text;
  if (c.label.starts_with("Str")) {
    auto r = extract_str(v.get());
    ASSERT_FALSE(r);
    text = type_error_text(argument_error("pattern", std::move(r).error()));
  } else if (c.label.starts_with("Bool")) {
    auto r = extract_bool(v.get());
    ASSERT_FALSE(r);
    text = type_error_text(argument_error("overwrite", std::move(r).error()));
  } else {
    auto r = extract_str_vec(v.get());
    ASSERT_FALSE(r);
    text = type_error_text(argument_error("nodes", std::move(r).error()));
  }
  EXPECT_EQ(text, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BindingConvert,
    ::testing::Values(ConvCase{"StrFromInt", "5", "argument 'pattern': 'int' object cannot be cast as 'str'"},
                      ConvCase{"StrFromNone", "None", "argument 'pattern': 'NoneType' object cannot be cast as 'str'"},
                      ConvCase{"BoolFromInt", "1", "argument 'overwrite': 'int' object cannot be cast as 'bool'"},
                      ConvCase{"BoolFromNone", "None",
                               "argument 'overwrite': 'NoneType' object cannot be cast as 'bool'"},
                      ConvCase{"VecFromStr", "'abc'", "argument 'nodes': Can't extract `str` to `Vec`"},
                      ConvCase{"VecFromInt", "3", "argument 'nodes': 'int' object cannot be cast as 'Sequence'"},
                      ConvCase{"VecFromSet", "{'a'}", "argument 'nodes': 'set' object cannot be cast as 'Sequence'"},
                      ConvCase{"VecItemNotStr", "['a', 2]", "argument 'nodes': 'int' object cannot be cast as 'str'"}),
    [](const auto& info) { return info.param.label; });

TEST(BindingConvert, AcceptedValues) {
  EXPECT_EQ(*extract_str(eval("'h\\u00e9'").get()), "h\xc3\xa9");
  EXPECT_TRUE(*extract_bool(eval("True").get()));
  EXPECT_FALSE(*extract_bool(eval("False").get()));
  EXPECT_EQ(*extract_str_vec(eval("('a', 'b')").get()), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(extract_str_vec(eval("[]").get())->empty());
}

TEST(BindingConvert, OnlyTypeErrorsGetThePrefix) {
  PyErr err = argument_error("limit", PyErr::make(PyExc_OverflowError, "too big"));
  EXPECT_EQ(err.type(), PyExc_OverflowError);
  EXPECT_EQ(*err.value_str(), "too big");
}

TEST(BindingReport, KindChoosesClassAndKeyErrorKeepsText) {
  Report r(errors::VariableNotFound{"x", std::nullopt});
  r.attach("ctx");
  PyErr err = report_to_pyerr(r);
  EXPECT_EQ(err.type(), PyExc_KeyError);
  std::move(err).restore();
  PyErr again = PyErr::fetch();
  const std::string text = errors::format_report(r);
  EXPECT_EQ(again.render().rfind("KeyError: ", 0), 0u);
  // str() of a KeyError quotes its text, args[0] is the text itself.
  EXPECT_NE(*again.value_str(), text);
}

TEST(BindingReport, PythonExceptionBecomesPythonError) {
  PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
  VelmoraError e = from_pending_python_error();
  EXPECT_EQ(e.message(), "Python Error: 'OverflowError: Python int too large to convert to C long'");
  EXPECT_EQ(e.python_class(), PyClass::RuntimeError);
  EXPECT_FALSE(PyErr_Occurred());
}

TEST(BindingGuard, FaultsBecomePanicException) {
  PyObject* r = guard([]() -> PyObject* { panic("not yet implemented: any direction not supported yet"); });
  EXPECT_EQ(r, nullptr);
  PyErr err = PyErr::fetch();
  EXPECT_TRUE(err.is(panic_exception_type()));
  EXPECT_TRUE(err.is(PyExc_BaseException));
  EXPECT_FALSE(err.is(PyExc_Exception));
  EXPECT_EQ(err.render(), "PanicException: not yet implemented: any direction not supported yet");

  r = guard([]() -> PyObject* { throw std::out_of_range("boom"); });
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(PyErr::fetch().render(), "PanicException: boom");
}

TEST(BindingGuard, DeferredReleasesHappenAtTheBoundary) {
  PyRef obj = eval("object()");
  const auto before = Py_REFCNT(obj.get());
  Py_INCREF(obj.get());
  defer_decref(obj.get());
  EXPECT_EQ(Py_REFCNT(obj.get()), before + 1);
  guard([]() -> PyObject* { Py_RETURN_NONE; });
  EXPECT_EQ(Py_REFCNT(obj.get()), before);
}

// A box whose value queues its reference on destruction, like an opaque
// property value's last handle.
struct QueuesOnDestroy {
  std::shared_ptr<PyObject> held;
};

ClassSpec& queueing_class() {
  static ClassSpec spec{"builtins.QueuesOnDestroy", "", sizeof(Boxed<QueuesOnDestroy>),
                        &dealloc_boxed<QueuesOnDestroy>};
  return spec;
}

PyRef box_holding(PyObject* obj) {
  Py_INCREF(obj);
  auto box = new_instance(queueing_class(), QueuesOnDestroy{std::shared_ptr<PyObject>(obj, defer_decref)});
  EXPECT_TRUE(box);
  return box ? std::move(*box) : PyRef();
}

// Freed outside a call, a box releases what it held before its dealloc
// returns; freed inside one (where the call's locks may be held), at the end
// of the call.
TEST(BindingGuard, FreedBoxesReleaseAtOnceOutsideACallOnly) {
  PyRef obj = eval("object()");
  const auto before = Py_REFCNT(obj.get());

  PyRef box = box_holding(obj.get());
  EXPECT_EQ(Py_REFCNT(obj.get()), before + 1);
  box = PyRef();
  EXPECT_EQ(Py_REFCNT(obj.get()), before);

  box = box_holding(obj.get());
  guard([&]() -> PyObject* {
    box = PyRef();
    EXPECT_EQ(Py_REFCNT(obj.get()), before + 1);
    // A nested call drains at its own end, as the outer one does.
    PyRef inner = box_holding(obj.get());
    guard([&]() -> PyObject* {
      inner = PyRef();
      EXPECT_EQ(Py_REFCNT(obj.get()), before + 2);
      Py_RETURN_NONE;
    });
    EXPECT_EQ(Py_REFCNT(obj.get()), before);
    Py_RETURN_NONE;
  });
  EXPECT_EQ(Py_REFCNT(obj.get()), before);
}

}  // namespace
}  // namespace velmora::binding
