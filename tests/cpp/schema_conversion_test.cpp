// Schema conversion into types and terms under a match frame, constant uses,
// and term inference from the graph's constants.
//
// Context lines are compared by their text alone (the part before " ["), and
// positions inside messages are dropped: only the texts are the contract here.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "graph/create.hpp"
#include "graph/inspect.hpp"
#include "graph/matches/matching.hpp"
#include "graph/schema.hpp"
#include "graph/store.hpp"
#include "store_test_support.hpp"

namespace velmora::graph {
namespace {

using patterns::TermSchema;
using patterns::TypeSchema;

using test_support::basic;
using test_support::ty;
using test_support::uid_of;

// "f", "(f p)": the term's structure without types.
std::string term_shape(const Term& t) {
  if (const auto* b = t.as_basic()) return b->name;
  const auto& app = *t.as_application();
  return fmt::format("({} {})", term_shape(*app.function), term_shape(*app.argument));
}
// "(f p):Q"
std::string show(const Term& t) { return term_shape(t) + ":" + t.type()->to_string(); }

// Drops the bracketed source positions of this store from a message.
std::string drop_positions(const std::string& text) {
  static const std::regex kPosition(R"( \[src/graph/[a-z_/]+:[0-9]+\])");
  return std::regex_replace(text, kPosition, "");
}
// Context lines, oldest first, by their text alone.
std::vector<std::string> texts_of(const Report& report) {
  std::vector<std::string> out;
  for (const auto& line : report.lines()) out.push_back(line.substr(0, line.rfind(" [")));
  return out;
}

std::string rebind(std::string_view name) {
  return fmt::format("Variable already exists: '{}' (match insert [src/matches:167])", name);
}
std::string conflict(std::string_view name, std::string_view held, std::string_view asked, std::string_view ctx) {
  return fmt::format("Context Conflict: tried to assign variable '{}' currently holding a '{}' to a '{}' ({})", name,
                     held, asked, ctx);
}

const char* const kToType = "graph - type schema to type";
const char* const kTypeRec = "graph - pattern to type recursive";
const char* const kToTerm = "graph - term schema to term";
const char* const kTermRec = "graph - pattern to term recursive";
const char* const kUse = "pattern to term recursive";
const char* const kConstantType = "get constant type";

std::vector<Constant> make_constants(const std::vector<std::pair<std::string, std::string>>& list) {
  std::vector<Constant> out;
  for (const auto& [name, schema] : list) {
    auto c = Constant::create(name, schema);
    if (!c) throw std::runtime_error(errors::format_report(c.error()));
    out.push_back(*c);
  }
  return out;
}

// Terms f : P -> Q, p : P, d : D, g : (P -> P) -> R, and constants of every
// shape the conversion distinguishes.
class SchemaConversionStore : public ::testing::Test {
 protected:
  SchemaConversionStore()
      : g(make_constants({{"K0", "A -> B"},
                          {"K1", "(X:*) -> X"},
                          {"K2", "(X:*) -> Y"},
                          {"K3", "* -> (X:*)"},
                          {"Dup", "(a:*) -> (a:*)"},
                          {"K-1", "A"}})) {
    for (auto [name, type] : std::vector<std::pair<std::string, std::string>>{
             {"f", "P -> Q"}, {"p", "P"}, {"d", "D"}, {"g", "(P -> P) -> R"}})
      g.insert_term(basic(name, type));
  }

  MatchPtr frame_with(const std::vector<std::string>& bindings) {
    MatchPtr m = Match::create();
    for (std::string_view text : bindings) {
      // "T=type:(P -> Q)"
      const auto eq = text.find('=');
      const auto colon = text.find(':', eq);
      const std::string_view kind = text.substr(eq + 1, colon - eq - 1);
      const Uid uid = uid_of(text.substr(colon + 1));
      const MatchElement element = kind == "type"   ? MatchElement::type(uid)
                                   : kind == "term" ? MatchElement::term(uid)
                                                    : MatchElement::node(uid);
      EXPECT_TRUE(m->insert(text.substr(0, eq), element));
    }
    return m;
  }

  Graph g;
};

struct ConversionCase {
  std::string label;
  std::string schema;
  std::vector<std::string> given = {};
  std::string value = {};    // the type text or "term:type"; empty when it fails
  std::string message = {};  // positions of this store dropped
  PyClass py = PyClass::ValueError;
  std::vector<std::string> lines = {};
  std::vector<std::string> stored = {};  // types the conversion leaves in the store
};

ConversionCase gives(std::string label, std::string schema, std::string value, std::vector<std::string> given = {},
                     std::vector<std::string> stored = {}) {
  return {std::move(label), std::move(schema), std::move(given), std::move(value), {}, PyClass::ValueError, {},
          std::move(stored)};
}
ConversionCase fails(std::string label, std::string schema, std::vector<std::string> given, std::string message,
                     PyClass py, std::vector<std::string> lines) {
  return {std::move(label), std::move(schema), std::move(given), {}, std::move(message), py, std::move(lines)};
}

std::string case_name(const ::testing::TestParamInfo<ConversionCase>& info) { return info.param.label; }
void PrintTo(const ConversionCase& c, std::ostream* os) { *os << c.label; }

class SchemaConversionCheck : public SchemaConversionStore, public ::testing::WithParamInterface<ConversionCase> {
 protected:
  template <class T, class Show>
  void verify(const Result<T>& result, Show&& show_value) {
    const ConversionCase& c = GetParam();
    if (c.value.empty()) {
      ASSERT_FALSE(result.has_value()) << show_value(*result);
      const VelmoraError& error = result.error().current_context();
      EXPECT_EQ(drop_positions(error.message()), c.message);
      EXPECT_EQ(error.python_class(), c.py);
      EXPECT_EQ(texts_of(result.error()), c.lines);
      return;
    }
    ASSERT_TRUE(result.has_value()) << errors::format_report(result.error());
    EXPECT_EQ(show_value(*result), c.value);
    for (const auto& type : c.stored) EXPECT_TRUE(Inspect::has_type(g, uid_of(type))) << type;
  }
};

class SchemaConversionType : public SchemaConversionCheck {};

TEST_P(SchemaConversionType, ConvertsOrFails) {
  const auto schema = TypeSchema::create(GetParam().schema);
  ASSERT_TRUE(schema) << errors::format_report(schema.error());
  verify(type_schema_to_type(g, *schema, frame_with(GetParam().given)),
         [](const TypePtr& t) { return t->to_string(); });
}

INSTANTIATE_TEST_SUITE_P(
    SchemaConversion, SchemaConversionType,
    ::testing::Values(
        gives("arrow_of_free_names", "A -> B", "(A -> B)"),
        gives("bound_name_reads_binding", "A -> B", "((P -> Q) -> B)", {"A=type:(P -> Q)"}),
        gives("capture_unbound_is_its_name", "(T:*)", "T"), gives("capture_ignores_inner_pattern", "(T: X -> Y)", "T"),
        gives("capture_bound_reads_binding", "(T: X -> Y)", "(P -> Q)", {"T=type:(P -> Q)"}),
        gives("capture_and_name_share_binding", "(T:*) -> T", "(P -> P)", {"T=type:P"}),
        fails("wildcard", "*", {}, "Invalid Pattern; '*': Cannot convert wildcard to type", PyClass::ValueError,
              {kToType}),
        fails("wildcard_named_by_whole_text", " * -> A ", {},
              "Invalid Pattern; ' * -> A ': Cannot convert wildcard to type", PyClass::ValueError, {kTypeRec, kToType}),
        fails("wildcard_deep", "(A -> *) -> B", {}, "Invalid Pattern; '(A -> *) -> B': Cannot convert wildcard to type",
              PyClass::ValueError, {kTypeRec, kTypeRec, kToType}),
        fails("name_bound_to_node", "T", {"T=node:P"}, conflict("T", "node", "type", "pattern to type recursive"),
              PyClass::ValueError, {kTypeRec, kToType}),
        fails("capture_bound_to_term", "(T:*)", {"T=term:P"},
              conflict("T", "term", "type", "pattern to type recursive"), PyClass::ValueError, {kTypeRec, kToType}),
        fails("binding_not_stored", "T", {"T=type:Gone"},
              fmt::format("Type with Uid: '{}' not found (type from uid)", uid_to_hex(uid_of("Gone"))),
              PyClass::KeyError, {kToType}),
        fails("binding_not_stored_in_arrow", "A -> T", {"T=type:Gone"},
              fmt::format("Type with Uid: '{}' not found (type from uid)", uid_to_hex(uid_of("Gone"))),
              PyClass::KeyError, {kTypeRec, kToType})),
    case_name);

class SchemaConversionTerm : public SchemaConversionCheck {};

TEST_P(SchemaConversionTerm, ConvertsOrFails) {
  const auto schema = TermSchema::create(GetParam().schema);
  ASSERT_TRUE(schema) << errors::format_report(schema.error());
  verify(term_schema_to_term(g, *schema, frame_with(GetParam().given)), [](const Term& t) { return show(t); });
}

INSTANTIATE_TEST_SUITE_P(
    SchemaConversion, SchemaConversionTerm,
    ::testing::Values(
        gives("bound_variable_rebuilt", "x", "p:P", {"x=term:P"}),
        fails("unbound_variable", "x", {}, "Variable not found: 'x' (pattern to term recursive)", PyClass::KeyError,
              {kToTerm}),
        fails("variable_bound_to_node", "x", {"x=node:P"}, conflict("x", "node", "term", "pattern to term recursive"),
              PyClass::ValueError, {kTermRec, kToTerm}),
        gives("application", "h y", "(f p):Q", {"h=term:(P -> Q)", "y=term:P"}),
        fails("ill_typed_application", "h y", {"h=term:(P -> Q)", "y=term:D"},
              "Type Mismatch: expected P, got D (application creation)", PyClass::TypeError, {kToTerm}),
        fails("application_side_unbound", "h y", {"h=term:(P -> Q)"},
              "Variable not found: 'y' (pattern to term recursive)", PyClass::KeyError, {kTermRec, kToTerm}),
        fails("wildcard", "*", {}, "Invalid Pattern; '*': Cannot convert wildcard to term", PyClass::ValueError,
              {kToTerm}),
        fails("wildcard_argument", "h *", {"h=term:(P -> Q)"},
              "Invalid Pattern; 'h *': Cannot convert wildcard to term", PyClass::ValueError, {kTermRec, kToTerm}),
        gives("constant_without_parameters", "@K0()", "K0:(A -> B)"),
        gives("constant_name_not_validated", "@K-1()", "K-1:A"),
        fails("constant_missing_argument", "@K1()", {},
              "Invalid Number of Arguments: expected 1, got 0 (get constant type)", PyClass::ValueError,
              {kUse, kToTerm}),
        fails("constant_surplus_argument", "@K0(A)", {},
              "Invalid Number of Arguments: expected 0, got 1 (get constant type)", PyClass::ValueError,
              {kUse, kToTerm}),
        gives("constant_parameter_fills_capture_and_name", "@K1(Int)", "K1:(Int -> Int)", {}, {"Int"}),
        gives("constant_keeps_free_name", "@K2(Int)", "K2:(Int -> Y)", {}, {"Int"}),
        gives("constant_argument_reads_use_frame", "@K1(T)", "K1:((P -> Q) -> (P -> Q))", {"T=type:(P -> Q)"},
              {"P -> Q"}),
        gives("constant_argument_capture_unbound", "@K1((T: A -> B))", "K1:(T -> T)", {}, {"T"}),
        gives("constant_inside_application", "h @K1(P)", "(g K1):R", {"h=term:((P -> P) -> R)"}),
        fails("constant_missing", "@Missing()", {}, "Constant Not Found: 'Missing' (pattern to term recursive)",
              PyClass::KeyError, {kToTerm}),
        fails("constant_repeated_parameters", "@Dup(A, B)", {}, rebind("a"), PyClass::KeyError,
              {kConstantType, kUse, kToTerm}),
        fails("constant_wildcard_argument", "@K1(*)", {}, "Invalid Pattern; '@K1(*)': Cannot convert wildcard to type",
              PyClass::ValueError, {kToType, kConstantType, kUse, kToTerm}),
        fails("constant_wildcard_in_schema", "@K3(A)", {}, "Invalid Pattern; '@K3(A)': Cannot convert wildcard to type",
              PyClass::ValueError, {kTypeRec, kToType, kConstantType, kUse, kToTerm}),
        fails("constant_argument_bound_to_node", "@K1(T)", {"T=node:P"},
              conflict("T", "node", "type", "pattern to type recursive"), PyClass::ValueError,
              {kTypeRec, kToType, kConstantType, kUse, kToTerm})),
    case_name);

TEST_F(SchemaConversionStore, ConstantArgumentsKeepTheirOrderAcrossThePool) {
  std::string schema;
  std::vector<TypeSchema> args;
  for (int i = 0; i < 12; ++i) {
    schema += fmt::format("{}(x{}:*)", i ? " -> " : "", i);
    args.push_back(*TypeSchema::create(fmt::format("T{}", i)));
  }
  std::string expected = "T11";
  for (int i = 10; i >= 0; --i) expected = fmt::format("(T{} -> {})", i, expected);
  const Constant c = *Constant::create("Many", schema);
  auto type = get_constant_type(g, c, args, Match::create());
  ASSERT_TRUE(type) << errors::format_report(type.error());
  EXPECT_EQ((*type)->to_string(), expected);
}

TEST_F(SchemaConversionStore, ConstantUseLeavesItsFrameUnbound) {
  const MatchPtr m = Match::create();
  auto term = term_schema_to_term(g, *TermSchema::create("@K1((T:*))"), m);
  ASSERT_TRUE(term) << errors::format_report(term.error());
  EXPECT_FALSE(m->contains_key("T"));
  EXPECT_FALSE(m->contains_key("X"));
}

// ---- term inference ----------------------------------------------------------

struct InferCase {
  std::string label;
  std::vector<std::pair<std::string, std::string>> constants;
  std::string target;
  bool store_target = true;
  std::optional<std::string> term = std::nullopt;  // "name:type"; none when no constant fits
  std::string message = {};                        // non-empty when inference fails
  std::vector<std::string> lines = {};
};

void PrintTo(const InferCase& c, std::ostream* os) { *os << c.label; }

class SchemaConversionInfer : public ::testing::TestWithParam<InferCase> {};

TEST_P(SchemaConversionInfer, FindsTheFittingConstant) {
  const InferCase& c = GetParam();
  Graph g(make_constants(c.constants));
  if (c.store_target) g.insert_type(*ty(c.target));
  auto inferred = infer_term(g, uid_of(c.target));
  if (!c.message.empty()) {
    ASSERT_FALSE(inferred);
    EXPECT_EQ(drop_positions(inferred.error().current_context().message()), c.message);
    EXPECT_EQ(texts_of(inferred.error()), c.lines);
    return;
  }
  ASSERT_TRUE(inferred) << errors::format_report(inferred.error());
  ASSERT_EQ(inferred->has_value(), c.term.has_value());
  if (c.term) {
    EXPECT_TRUE((*inferred)->is_basic());
    EXPECT_EQ(show(**inferred), *c.term);
  }
}

INSTANTIATE_TEST_SUITE_P(
    SchemaConversion, SchemaConversionInfer,
    ::testing::Values(InferCase{"no_constants_never_looks", {}, "Nowhere", false},
                      InferCase{"fitting_constant", {{"Z", "Zt"}}, "Zt", true, "Z:Zt"},
                      InferCase{"no_fitting_constant", {{"Z", "Zt"}}, "A"},
                      InferCase{"capture_schema_fits", {{"Id", "(X:*) -> X"}}, "A -> A", true, "Id:(A -> A)"},
                      InferCase{"capture_schema_does_not_fit", {{"Id", "(X:*) -> X"}}, "A -> B"},
                      InferCase{"invalid_constant_name",
                                {{"bad name", "*"}},
                                "A",
                                true,
                                std::nullopt,
                                "Invalid Identifier 'bad name': Name cannot contain whitespace",
                                {"basic term - new", "graph - infer term"}},
                      InferCase{"target_not_stored",
                                {{"Z", "Zt"}},
                                "Nowhere",
                                false,
                                std::nullopt,
                                fmt::format("Type with Uid: '{}' not found (check type matches)",
                                            uid_to_hex(uid_of("Nowhere"))),
                                {"graph - infer term"}},
                      InferCase{"schema_check_fails",
                                {{"Dup", "(a:*) -> (a:*)"}},
                                "A -> A",
                                true,
                                std::nullopt,
                                rebind("a"),
                                {"graph - check type matches", "graph - check type matches", "graph - infer term"}}),
    [](const ::testing::TestParamInfo<InferCase>& info) { return info.param.label; });

// What one inference gives, by text: "none", the term, or the failure's
// message and context lines.
std::string outcome(const Result<std::optional<Term>>& inferred) {
  if (!inferred) {
    std::string text = "error: " + drop_positions(inferred.error().current_context().message());
    for (const auto& line : texts_of(inferred.error())) text += " | " + line;
    return text;
  }
  return *inferred ? show(**inferred) : "none";
}

// Creation asks by stored row and remembers answers per thread; asked again
// and again, that route must keep giving what the route by uid gives.
TEST_P(SchemaConversionInfer, TheRouteByRowAgrees) {
  const InferCase& c = GetParam();
  if (!c.store_target) return;
  Graph g(make_constants(c.constants));
  const TypePtr type = ty(c.target);
  g.insert_type(*type);
  const auto id = g.types().find(uid_of(c.target));
  ASSERT_TRUE(id);
  const std::string expected = outcome(infer_term(g, uid_of(c.target)));
  for (int round = 0; round < 3; ++round) EXPECT_EQ(outcome(infer_term(g, *id, type)), expected) << round;
}

// Stores with different constants hold the same types under the same row
// ids; answers remembered for one store must never show in another, and the
// names of the terms stored in one must not leak into the other's rows.
TEST(SchemaConversionInferMany, StoresNeverShareRememberedAnswers) {
  const std::vector<std::vector<std::pair<std::string, std::string>>> tables = {
      {{"f", "* -> *"}}, {{"g", "A -> *"}, {"h", "*"}}, {{"bad name", "*"}}, {}, {{"Id", "(X:*) -> X"}, {"k", "B"}},
  };
  const std::vector<std::string> shapes = {"A", "B", "C", "A -> B", "A -> A", "B -> A", "(A -> B) -> A"};
  const std::vector<std::string> names = {"f", "g", "h", "Id", "k", "p", "q", "long_term_name_beyond_sixteen"};
  std::mt19937 random(7);
  std::vector<std::unique_ptr<Graph>> graphs;
  for (const auto& table : tables) {
    graphs.push_back(std::make_unique<Graph>(make_constants(table)));
    // Every other store in its own order, so that a row id means another
    // type there.
    std::vector<std::string> order = shapes;
    if (graphs.size() % 2 == 0) std::shuffle(order.begin(), order.end(), random);
    for (const auto& shape : order) graphs.back()->insert_type(*ty(shape));
  }
  std::set<std::pair<TypeId, TypeId>> rows;  // the rows of "A" and "B -> A" per store
  for (const auto& g : graphs) rows.emplace(*g->types().find(uid_of("A")), *g->types().find(uid_of("B -> A")));
  ASSERT_GT(rows.size(), 1u);
  // Per store, the name last stored as the term of each shape.
  std::vector<std::vector<std::string>> named(graphs.size(), std::vector<std::string>(shapes.size()));
  for (int step = 0; step < 2000; ++step) {
    const std::size_t k = random() % graphs.size();
    const std::size_t s = random() % shapes.size();
    Graph& g = *graphs[k];
    const TypePtr type = ty(shapes[s]);
    if (random() % 3 == 0) {
      const std::string& name = names[random() % names.size()];
      g.insert_term(basic(name, shapes[s]));
      named[k][s] = name;
    }
    EXPECT_EQ(g.insert_type(*type), uid_of(shapes[s])) << k << " " << shapes[s];
    const auto id = g.types().find(uid_of(shapes[s]));
    ASSERT_TRUE(id);
    EXPECT_EQ(outcome(infer_term(g, *id, type)), outcome(infer_term(g, uid_of(shapes[s])))) << k << " " << shapes[s];
    if (!named[k][s].empty()) {
      auto term = g.term_from_uid(uid_of(shapes[s]));
      ASSERT_TRUE(term) << errors::format_report(term.error());
      EXPECT_EQ(show(*term), named[k][s] + ":" + ty(shapes[s])->to_string());
    }
  }
}

TEST(SchemaConversionInferMany, AnyFittingConstantMayWin) {
  Graph g(make_constants({{"One", "*"}, {"Two", "A"}, {"Three", "B"}}));
  const Uid a = g.insert_type(*ty("A"));
  auto inferred = infer_term(g, a);
  ASSERT_TRUE(inferred && *inferred) << (inferred ? "none" : errors::format_report(inferred.error()));
  const std::string term = show(**inferred);
  EXPECT_TRUE(term == "One:A" || term == "Two:A") << term;
}

}  // namespace
}  // namespace velmora::graph
