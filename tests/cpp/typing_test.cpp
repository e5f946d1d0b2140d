#include "typing/term.hpp"
#include "typing/types.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>

namespace velmora::typing {
namespace {

TypePtr var(const std::string& name) { return make_type(Variable{name}); }
TypePtr arr(TypePtr left, TypePtr right) { return make_arrow(std::move(left), std::move(right)); }
Term basic(const std::string& name, TypePtr type) { return BasicTerm{name, std::move(type)}; }

// The only context line of `report`, checked against "text [file:line]".
void expect_single_line(const Report& report, const std::string& text, const std::string& file) {
  const auto lines = report.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(text + " \\[" + file + ":[0-9]+\\]"))) << lines[0];
}

struct TextCase {
  std::string label;
  std::function<TypePtr()> type;
  std::string text;
};

class TypingText : public ::testing::TestWithParam<TextCase> {};

TEST_P(TypingText, ParenthesisesEveryArrow) {
  const auto type = GetParam().type();
  EXPECT_EQ(type->to_string(), GetParam().text);
  EXPECT_EQ(fmt::format("{}", *type), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Typing, TypingText,
    ::testing::Values(TextCase{"variable", [] { return var("A"); }, "A"},
                      TextCase{"arrow", [] { return arr(var("A"), var("B")); }, "(A -> B)"},
                      TextCase{"nested_left", [] { return arr(arr(var("A"), var("B")), var("D")); }, "((A -> B) -> D)"},
                      TextCase{"nested_right", [] { return arr(var("A"), arr(var("B"), var("D"))); },
                               "(A -> (B -> D))"}),
    [](const auto& info) { return info.param.label; });

struct EqualityCase {
  std::string label;
  std::function<TypePtr()> lhs;
  std::function<TypePtr()> rhs;
  bool equal;
};

class TypingTypeEquality : public ::testing::TestWithParam<EqualityCase> {};

TEST_P(TypingTypeEquality, ComparesStructurally) {
  const auto& c = GetParam();
  EXPECT_EQ(*c.lhs() == *c.rhs(), c.equal);
  EXPECT_EQ(types_equal(c.lhs(), c.rhs()), c.equal);
}

INSTANTIATE_TEST_SUITE_P(
    Typing, TypingTypeEquality,
    ::testing::Values(EqualityCase{"same_name", [] { return var("A"); }, [] { return var("A"); }, true},
                      EqualityCase{"other_name", [] { return var("A"); }, [] { return var("a"); }, false},
                      EqualityCase{"variable_and_arrow", [] { return var("A"); },
                                   [] { return arr(var("A"), var("A")); }, false},
                      EqualityCase{"separate_arrows", [] { return arr(arr(var("A"), var("B")), var("D")); },
                                   [] { return arr(arr(var("A"), var("B")), var("D")); }, true},
                      EqualityCase{"other_right", [] { return arr(var("A"), var("B")); },
                                   [] { return arr(var("A"), var("D")); }, false},
                      EqualityCase{"regrouped", [] { return arr(arr(var("A"), var("B")), var("D")); },
                                   [] { return arr(var("A"), arr(var("B"), var("D"))); }, false}),
    [](const auto& info) { return info.param.label; });

TEST(TypingVariable, ChecksItsName) {
  const auto a = Variable::create("A");
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(a->name, "A");

  const auto none = Variable::create("None");
  ASSERT_FALSE(none.has_value());
  const auto* error = none.error().current_context().get<errors::InvalidIdentifier>();
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->name, "None");
  EXPECT_EQ(error->reason, "'None' is a reserved name");
  expect_single_line(none.error(), "variable - new", "src/typing/types");
}

TEST(TypingBasicTerm, ChecksItsName) {
  const auto f = BasicTerm::create("f", var("A"));
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->name, "f");

  const auto bad = BasicTerm::create("1f", var("A"));
  ASSERT_FALSE(bad.has_value());
  const auto* error = bad.error().current_context().get<errors::InvalidIdentifier>();
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->reason, "Name must start with a letter or underscore");
  expect_single_line(bad.error(), "basic term - new", "src/typing/term");
}

struct ApplyCase {
  std::string label;
  std::function<TypePtr()> function_type;
  std::function<TypePtr()> argument_type;
  std::string result_type;  // empty when the application is ill-typed
  std::string expected;
  std::string got;
};

class TypingApplication : public ::testing::TestWithParam<ApplyCase> {};

TEST_P(TypingApplication, ChecksTheArgumentType) {
  const auto& c = GetParam();
  const Term function = basic("f", c.function_type());
  const Term argument = basic("x", c.argument_type());

  const auto direct = Application::create(function, argument);
  const auto applied = function.apply(argument);
  if (c.result_type.empty()) {
    ASSERT_FALSE(direct.has_value());
    ASSERT_FALSE(applied.has_value());
    const auto* error = direct.error().current_context().get<errors::TypeMismatch>();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->expected, c.expected);
    EXPECT_EQ(error->got, c.got);
    EXPECT_EQ(error->context, "application creation");
    EXPECT_TRUE(direct.error().lines().empty());

    const auto message = "Type Mismatch: expected " + c.expected + ", got " + c.got + " (application creation)";
    EXPECT_EQ(applied.error().current_context().message(), message);
    expect_single_line(applied.error(), "term - apply", "src/typing/term");
    EXPECT_TRUE(errors::format_report(applied.error()).starts_with(message + "\n \u2192 term - apply ["));
    return;
  }
  ASSERT_TRUE(direct.has_value()) << errors::format_report(direct.error());
  ASSERT_TRUE(applied.has_value()) << errors::format_report(applied.error());
  EXPECT_EQ(direct->type->to_string(), c.result_type);
  // The result's type is the very codomain handle of the function's arrow.
  EXPECT_EQ(direct->type, function.type()->as_arrow()->right);
  EXPECT_EQ(applied->type(), function.type()->as_arrow()->right);
  EXPECT_EQ(*direct->function, function);
  EXPECT_EQ(*direct->argument, argument);
  EXPECT_EQ(*applied, Term(*direct));
}

INSTANTIATE_TEST_SUITE_P(
    Typing, TypingApplication,
    ::testing::Values(
        ApplyCase{"arrow_to_its_domain", [] { return arr(var("A"), var("B")); }, [] { return var("A"); }, "B"},
        ApplyCase{"variable_function", [] { return var("A"); }, [] { return var("A"); }, "", "Application Type",
                  "Variable Type"},
        ApplyCase{"variable_function_arrow_argument", [] { return var("A"); }, [] { return arr(var("A"), var("B")); },
                  "", "Application Type", "Variable Type"},
        ApplyCase{"other_variable", [] { return arr(var("A"), var("B")); }, [] { return var("D"); }, "", "A", "D"},
        ApplyCase{"arrow_argument", [] { return arr(var("A"), var("B")); }, [] { return arr(var("D"), var("E")); }, "",
                  "A", "(D -> E)"},
        ApplyCase{"separately_built_domain", [] { return arr(arr(var("A"), var("B")), var("D")); },
                  [] { return arr(var("A"), var("B")); }, "D"},
        ApplyCase{"arrow_domain_mismatch", [] { return arr(arr(var("A"), var("B")), var("D")); },
                  [] { return arr(var("B"), var("A")); }, "", "(A -> B)", "(B -> A)"}),
    [](const auto& info) { return info.param.label; });

TEST(TypingApply, LeavesItsInputsUnchanged) {
  const auto a = var("A");
  const Term f = basic("f", arr(a, var("B")));
  const Term x = basic("x", a);
  const Term f_before = f;
  const Term x_before = x;
  const auto fx = f.apply(x);
  ASSERT_TRUE(fx.has_value());
  EXPECT_EQ(f, f_before);
  EXPECT_EQ(x, x_before);
  EXPECT_EQ(f.as_basic()->name, "f");
  EXPECT_EQ(x.as_basic()->type, a);
}

TEST(TypingTermCopy, SharesHandles) {
  const Term x = basic("x", var("A"));
  const Term copy_x = x;
  EXPECT_EQ(copy_x.type(), x.type());

  const auto fx = basic("f", arr(var("A"), var("B"))).apply(x);
  ASSERT_TRUE(fx.has_value());
  const Term copy_fx = *fx;
  EXPECT_EQ(copy_fx.as_application()->function, fx->as_application()->function);
  EXPECT_EQ(copy_fx.as_application()->argument, fx->as_application()->argument);
  EXPECT_EQ(copy_fx.type(), fx->type());
}

TEST(TypingTermEquality, FollowsNamesTypesAndParts) {
  const auto f_a = basic("f", var("A"));
  EXPECT_EQ(f_a, basic("f", var("A")));
  EXPECT_NE(f_a, basic("f", var("B")));
  EXPECT_NE(f_a, basic("g", var("A")));

  const Term f = basic("f", arr(var("A"), var("B")));
  const Term x = basic("x", var("A"));
  const auto fx = f.apply(x);
  ASSERT_TRUE(fx.has_value());
  // Same parts under a different type handle: the type is not compared.
  const Term retyped = Application{std::make_shared<const Term>(f), std::make_shared<const Term>(x), var("Z")};
  EXPECT_EQ(*fx, retyped);
  EXPECT_NE(*fx, basic("f", var("B")));
  EXPECT_NE(basic("f", var("B")), *fx);

  const Term other_argument =
      Application{std::make_shared<const Term>(f), std::make_shared<const Term>(basic("y", var("A"))), var("B")};
  EXPECT_NE(*fx, other_argument);
}

}  // namespace
}  // namespace velmora::typing
