#include "errors.hpp"

#include <gtest/gtest.h>

#include <string>

namespace velmora {
namespace {

using namespace errors;

Uid uid_ending(std::uint8_t last) {
  Uid u{};
  u[31] = last;
  return u;
}
const std::string kZeros63(63, '0');

struct MessageCase {
  std::string label;
  VelmoraError error;
  std::string message;
  PyClass cls;
};

class ErrorsMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ErrorsMessage, RendersExactly) {
  const auto& c = GetParam();
  EXPECT_EQ(c.error.message(), c.message);
  EXPECT_EQ(c.error.python_class(), c.cls);
  EXPECT_EQ(format_report(Report(c.error)), c.message);
}

const Context kNone = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    AllKinds, ErrorsMessage,
    ::testing::Values(
        MessageCase{"TypeMismatch", TypeMismatch{"Application Type", "Variable Type", "application creation"},
                    "Type Mismatch: expected Application Type, got Variable Type (application creation)",
                    PyClass::TypeError},
        MessageCase{"InvalidPattern", InvalidPattern{"(a", "unclosed"}, "Invalid Pattern; '(a': unclosed",
                    PyClass::ValueError},
        MessageCase{"SchemaValidation", SchemaValidation{"A ->", "r"}, "Schema Validation Failed for 'A ->': r",
                    PyClass::ValueError},
        MessageCase{"InvalidIdentifier", InvalidIdentifier{"None", "'None' is a reserved name"},
                    "Invalid Identifier 'None': 'None' is a reserved name", PyClass::ValueError},
        MessageCase{"PythonError", PythonError{"OverflowError: too big", kNone},
                    "Python Error: 'OverflowError: too big'", PyClass::RuntimeError},
        MessageCase{"InvalidType", InvalidType{"r"}, "Invalid Type: 'r'", PyClass::TypeError},
        MessageCase{"InvalidTerm", InvalidTerm{"r"}, "Invalid Term: 'r'", PyClass::ValueError},
        MessageCase{"LockError", LockError{"read", "poisoned", "c"}, "Failed to acquire read lock: 'poisoned' (c)",
                    PyClass::RuntimeError},
        MessageCase{"RuntimeError", errors::RuntimeError{"m", kNone}, "Something went wrong: 'm'",
                    PyClass::RuntimeError},
        MessageCase{"TypeNotFound", TypeNotFound{uid_ending(1), "get"},
                    "Type with Uid: '" + kZeros63 + "1' not found (get)", PyClass::KeyError},
        MessageCase{"TermNotFound", TermNotFound{uid_ending(0xab), kNone},
                    "Term with Uid: '" + std::string(62, '0') + "ab' not found", PyClass::KeyError},
        MessageCase{"NodeNotFound", NodeNotFound{uid_ending(2), ""}, "Node with Uid: '" + kZeros63 + "2' not found ()",
                    PyClass::KeyError},
        MessageCase{"EdgeNotFound", EdgeNotFound{{uid_ending(1), uid_ending(2)}, "x"},
                    "Edge with Uid: '(" + kZeros63 + "1, " + kZeros63 + "2)' not found (x)", PyClass::KeyError},
        MessageCase{"VariableNotFound", VariableNotFound{"x", kNone}, "Variable not found: 'x'", PyClass::KeyError},
        MessageCase{"VariableNotFoundCtx", VariableNotFound{"x", "execute set"},
                    "Variable not found: 'x' (execute set)", PyClass::KeyError},
        MessageCase{"VariableAlreadyExists", VariableAlreadyExists{"a", "match insert [src/matches:167]"},
                    "Variable already exists: 'a' (match insert [src/matches:167])", PyClass::KeyError},
        MessageCase{"NodeAlreadyExists", NodeAlreadyExists{uid_ending(3), kNone},
                    "Node Already Exists: '" + kZeros63 + "3'", PyClass::KeyError},
        MessageCase{"ContextConflict", ContextConflict{"t", "term", "type", "check type matches"},
                    "Context Conflict: tried to assign variable 't' currently holding a 'term' to a 'type' "
                    "(check type matches)",
                    PyClass::ValueError},
        MessageCase{"IndexCorruption", IndexCorruption{"m", kNone}, "Index Corruption: 'm'", PyClass::IndexError},
        MessageCase{"IndexOutOfRange", IndexOutOfRange{3, 2, "create path - node data inference"},
                    "Index Out of Range: tried to access index 3 from an iterable of length 2 "
                    "(create path - node data inference)",
                    PyClass::KeyError},
        MessageCase{"Infallible", Infallible{},
                    "FATAL: An infallible error was returned, please contact the developers of the Velmora "
                    "Library as this should not occur.",
                    PyClass::SystemError},
        MessageCase{"InvalidQuery", InvalidQuery{"MATCH (a)\n", "r", "execute remove"},
                    "Invalid Query:\nMATCH (a)\n\n\nReason: r\n(execute remove)", PyClass::ValueError},
        MessageCase{"InvalidQueryNoCtx", InvalidQuery{"q", "r", kNone}, "Invalid Query:\nq\n\nReason: r",
                    PyClass::ValueError},
        MessageCase{"InvalidNumberOfArguments", InvalidNumberOfArguments{2, 3, kNone},
                    "Invalid Number of Arguments: expected 2, got 3", PyClass::ValueError},
        MessageCase{"ConstantNotFound", ConstantNotFound{"c", "x"}, "Constant Not Found: 'c' (x)", PyClass::KeyError},
        MessageCase{"HexConversionError", HexConversionError{"Uid must be 32 bytes, got 2", "hex str to uid"},
                    "Hex Conversion Error: 'Uid must be 32 bytes, got 2' (hex str to uid)", PyClass::ValueError},
        MessageCase{"CreationCounterNotFound", CreationCounterNotFound{"match - get counter"},
                    "Creation Counter Not Found (match - get counter)", PyClass::RuntimeError},
        MessageCase{"CreationCounterNotFoundNoCtx", CreationCounterNotFound{kNone}, "Creation Counter Not Found",
                    PyClass::RuntimeError}),
    [](const auto& info) { return info.param.label; });

// A case's label is its kind's name, with or without a context; the developer
// form leads with the name.
TEST_P(ErrorsMessage, NamesItsKind) {
  const auto& c = GetParam();
  const std::string name(c.error.name());
  EXPECT_TRUE(c.label == name || c.label == name + "Ctx" || c.label == name + "NoCtx") << name;
  EXPECT_TRUE(c.error.debug().starts_with(c.error.name()));
}

TEST(ErrorsMessage, InfallibleHasFixedLength) { EXPECT_EQ(VelmoraError(Infallible{}).message().size(), 119u); }

TEST(ErrorsMessage, DebugNamesKindAndFields) {
  EXPECT_EQ(VelmoraError(Infallible{}).debug(), "Infallible");
  const auto text = VelmoraError(VariableNotFound{"x", kNone}).debug();
  EXPECT_NE(text.find("VariableNotFound"), std::string::npos);
  EXPECT_LT(text.find("name"), text.find("context"));
}

TEST(ErrorsReport, NoLinesIsMessageAlone) {
  EXPECT_EQ(format_report(Report(VariableNotFound{"x", kNone})), "Variable not found: 'x'");
}

TEST(ErrorsReport, LinesNewestFirstWithPositions) {
  Report r(VariableNotFound{"x", kNone});
  const int line_a = __LINE__ + 1;
  r.attach("A");
  const int line_b = __LINE__ + 1;
  r.attach("B");
  const std::string here = "tests/cpp/errors_test:";
  EXPECT_EQ(format_report(r), "Variable not found: 'x'\n \u2192 B [" + here + std::to_string(line_b) +
                                  "]\n \u2192 A [" + here + std::to_string(line_a) + "]");
}

TEST(ErrorsReport, ChangeOfCurrentErrorKeepsAllLines) {
  Report r(VariableNotFound{"x", kNone});
  r.attach("before");
  r.change_context(TypeNotFound{uid_ending(1), kNone});
  r.attach("after");
  const auto text = format_report(r);
  EXPECT_EQ(text.find("Variable not found"), std::string::npos);
  EXPECT_EQ(text.rfind("Type with Uid", 0), 0u);
  EXPECT_LT(text.find("after ["), text.find("before ["));
  EXPECT_EQ(r.current_context().python_class(), PyClass::KeyError);
}

TEST(ErrorsReport, SilentNotesNeverPrint) {
  Report r(NodeNotFound{uid_ending(1), kNone});
  r.attach("inner");
  r.note("node reference - to string");
  r.attach("outer");
  const auto text = format_report(r);
  EXPECT_EQ(text.find("node reference - to string"), std::string::npos);
  EXPECT_NE(text.find("\n \u2192 outer ["), std::string::npos);
  EXPECT_NE(text.find("\n \u2192 inner ["), std::string::npos);
}

Result<int> fails_with_line() { return fail(VariableNotFound{"v", kNone}); }
Result<int> passes_on() {
  int v = VM_TRY_CTX(fails_with_line(), "outer step");
  return v + 1;
}
Result<int> passes_bare() { return VM_TRY(fails_with_line()); }

TEST(ErrorsReport, TryMacrosAttachOrPassBare) {
  auto r = passes_on();
  ASSERT_FALSE(r);
  ASSERT_EQ(r.error().lines().size(), 1u);
  EXPECT_EQ(r.error().lines()[0].rfind("outer step [tests/cpp/errors_test:", 0), 0u);
  auto bare = passes_bare();
  ASSERT_FALSE(bare);
  EXPECT_TRUE(bare.error().lines().empty());
  EXPECT_EQ(with_context(Result<int>(5), "unused").value(), 5);
}

}  // namespace
}  // namespace velmora
