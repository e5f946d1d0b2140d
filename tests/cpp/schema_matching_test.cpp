// Type- and term-schema matching against a small store: single checks as
// tables over their edge cases, then the parallel scans.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
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

// "T=type:(A -> B)": a binding of T to the type element of A -> B.
std::pair<std::string, MatchElement> parse_binding(std::string_view text) {
  const auto eq = text.find('=');
  const auto colon = text.find(':', eq);
  const std::string name(text.substr(0, eq));
  const std::string_view kind = text.substr(eq + 1, colon - eq - 1);
  const Uid uid = uid_of(text.substr(colon + 1));
  if (kind == "type") return {name, MatchElement::type(uid)};
  if (kind == "term") return {name, MatchElement::term(uid)};
  if (kind == "node") return {name, MatchElement::node(uid)};
  return {name, MatchElement::edge({uid, uid})};
}

std::string show_binding(const Graph& g, const std::string& name, const MatchElement& e) {
  auto type = g.type_from_uid(e.uid());
  return fmt::format("{}={}:{}", name, e.kind_word(), type ? (*type)->to_string() : "?");
}

std::string not_found(std::string_view what, std::string_view type, std::string_view context) {
  return fmt::format("{} with Uid: '{}' not found ({})", what, uid_to_hex(uid_of(type)), context);
}

// Line numbers dropped: "text [src/file:12]" becomes "text [src/file]".
std::string drop_line(const std::string& text) {
  static const std::regex kLine(R"((\[src/graph/[a-z_/]+):[0-9]+\])");
  return std::regex_replace(text, kLine, "$1]");
}
std::vector<std::string> lines_of(const Report& report) {
  std::vector<std::string> out;
  for (const auto& line : report.lines()) out.push_back(drop_line(line));
  return out;
}

const std::string kTypeCheck = "graph - check type matches [src/graph/matches/type_schema]";
const std::string kTermCheck = "graph - check term matches [src/graph/matches/term_schema]";
const std::string kTermPattern = "graph - match term pattern [src/graph/matches/term_schema]";
const std::string kConstantCheck = "check term matches [src/graph/matches/term_schema]";
const std::string kTypePattern = "graph - match type pattern [src/graph/matches/type_schema]";
const std::string kTypeScan = "graph - match type schema [src/graph/matches/type_schema]";
const std::string kTermScan = "graph - match term schema [src/graph/matches/term_schema]";

std::vector<Constant> fixture_constants() {
  std::vector<Constant> out;
  for (auto [name, schema] : std::vector<std::pair<std::string, std::string>>{
           {"K", "(X:*) -> (Y:*)"}, {"Z", "Zt"}, {"Dup", "(a:*) -> (a:*)"}})
    out.push_back(*Constant::create(name, schema));
  return out;
}

// Terms a : A, f : A -> B, (f a) : B, K : P -> Q, Z : Zt, Z : W, Dup : D -> D;
// types without a term: T, T -> T, A -> A, B -> A, C. An arrow is stored with
// its sides, so A -> Gone (whose right side is not stored) is not stored either.
class SchemaMatchingStore : public ::testing::Test {
 protected:
  SchemaMatchingStore() : g(fixture_constants()) {
    const Term a = basic("a", "A");
    const Term f = basic("f", "A -> B");
    g.insert_term(*f.apply(a));
    for (auto [name, type] :
         std::vector<std::pair<std::string, std::string>>{{"K", "P -> Q"}, {"Z", "Zt"}, {"Z", "W"}, {"Dup", "D -> D"}})
      g.insert_term(basic(name, type));
    for (const char* type : {"T -> T", "A -> A", "B -> A", "C"}) g.insert_type(*ty(type));
  }

  MatchPtr frame_with(const std::vector<std::string>& bindings) {
    MatchPtr m = Match::create();
    for (const auto& text : bindings) {
      auto [name, element] = parse_binding(text);
      EXPECT_TRUE(m->insert(name, element));
    }
    return m;
  }

  Graph g;
};

enum class Outcome { Same, NoMatch, NewFrame, Error };

struct CheckCase {
  std::string label;
  std::string schema;
  std::string target;  // the type (or the type whose term) is checked
  std::vector<std::string> given = {};
  Outcome outcome = Outcome::Same;
  std::vector<std::string> bound = {};   // visible from a new frame, not from the given one
  std::vector<std::string> hidden = {};  // bound neither by the check nor before it
  std::string message = {};              // line numbers dropped
  PyClass py = PyClass::ValueError;
  std::vector<std::string> lines = {};
};

CheckCase same(std::string label, std::string schema, std::string target, std::vector<std::string> given = {}) {
  return {std::move(label), std::move(schema), std::move(target), std::move(given), Outcome::Same};
}
CheckCase no_match(std::string label, std::string schema, std::string target, std::vector<std::string> given = {}) {
  return {std::move(label), std::move(schema), std::move(target), std::move(given), Outcome::NoMatch};
}
CheckCase binds(std::string label, std::string schema, std::string target, std::vector<std::string> bound,
                std::vector<std::string> given = {}, std::vector<std::string> hidden = {}) {
  return {std::move(label),  std::move(schema), std::move(target), std::move(given),
          Outcome::NewFrame, std::move(bound),  std::move(hidden)};
}
CheckCase fails(std::string label, std::string schema, std::string target, std::vector<std::string> given,
                std::string message, PyClass py, std::vector<std::string> lines) {
  return {std::move(label),
          std::move(schema),
          std::move(target),
          std::move(given),
          Outcome::Error,
          {},
          {},
          std::move(message),
          py,
          std::move(lines)};
}

std::string case_name(const ::testing::TestParamInfo<CheckCase>& info) { return info.param.label; }
void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.label; }

class SchemaMatchingCheck : public SchemaMatchingStore, public ::testing::WithParamInterface<CheckCase> {
 protected:
  void verify(const Result<std::optional<MatchPtr>>& result, const MatchPtr& given) {
    const CheckCase& c = GetParam();
    if (c.outcome == Outcome::Error) {
      ASSERT_FALSE(result.has_value());
      const VelmoraError& error = result.error().current_context();
      EXPECT_EQ(drop_line(error.message()), c.message);
      EXPECT_EQ(error.python_class(), c.py);
      EXPECT_EQ(lines_of(result.error()), c.lines);
      return;
    }
    ASSERT_TRUE(result.has_value()) << errors::format_report(result.error());
    if (c.outcome == Outcome::NoMatch) {
      EXPECT_FALSE(result->has_value());
      return;
    }
    ASSERT_TRUE(result->has_value());
    const MatchPtr& frame = **result;
    if (c.outcome == Outcome::Same) {
      EXPECT_EQ(frame, given);
      return;
    }
    EXPECT_NE(frame, given);
    // The new frames hang below the given one.
    const Match* up = frame.get();
    while (up && up != given.get()) up = up->parent().get();
    EXPECT_EQ(up, given.get());
    for (const auto& text : c.bound) {
      const std::string name = text.substr(0, text.find('='));
      EXPECT_FALSE(given->contains_key(name)) << name;
      const auto element = frame->get(name);
      ASSERT_TRUE(element) << name;
      EXPECT_EQ(show_binding(g, name, *element), text);
    }
    for (const auto& name : c.hidden) EXPECT_FALSE(frame->contains_key(name)) << name;
  }
};

class SchemaMatchingTypeCheck : public SchemaMatchingCheck {};

TEST_P(SchemaMatchingTypeCheck, MatchesBindsOrFails) {
  const CheckCase& c = GetParam();
  const auto schema = TypeSchema::create(c.schema);
  ASSERT_TRUE(schema) << errors::format_report(schema.error());
  const MatchPtr given = frame_with(c.given);
  verify(check_type_matches(g, uid_of(c.target), schema->pattern(), given), given);
}

std::string rebind(std::string_view name) {
  return fmt::format("Variable already exists: '{}' (match insert [src/matches:167])", name);
}

INSTANTIATE_TEST_SUITE_P(
    SchemaMatching, SchemaMatchingTypeCheck,
    ::testing::Values(
        same("wildcard_variable", "*", "A"), same("wildcard_arrow", "*", "A -> B"),
        same("name_matches_its_variable", "T", "T"), no_match("name_against_other_variable", "T", "A"),
        no_match("name_against_arrow", "T", "T -> T"),
        same("bound_name_matches_its_type", "T", "A -> B", {"T=type:(A -> B)"}),
        no_match("bound_name_ignores_own_name", "T", "T", {"T=type:(A -> B)"}),
        fails("bound_name_to_node", "T", "A", {"T=node:A"},
              "Context Conflict: tried to assign variable 'T' currently holding a 'node' to a 'type' "
              "(check type matches)",
              PyClass::ValueError, {kTypeCheck}),
        fails("bound_name_to_term", "T", "A", {"T=term:A"},
              "Context Conflict: tried to assign variable 'T' currently holding a 'term' to a 'type' "
              "(check type matches)",
              PyClass::ValueError, {kTypeCheck}),
        binds("capture_binds_variable", "(T:*)", "A", {"T=type:A"}),
        binds("capture_binds_arrow", "(F: A -> *)", "A -> B", {"F=type:(A -> B)"}),
        no_match("capture_inner_fails", "(F: B -> *)", "A -> B"),
        fails("capture_already_bound", "(T:*)", "A", {"T=type:A"}, rebind("T"), PyClass::KeyError, {kTypeCheck}),
        fails("capture_twice_on_arrow", "(T:*) -> (T:*)", "A -> A", {}, rebind("T"), PyClass::KeyError,
              {kTypeCheck, kTypeCheck}),
        no_match("capture_twice_on_variable", "(T:*) -> (T:*)", "A"), same("arrow_of_names", "A -> B", "A -> B"),
        no_match("arrow_of_names_swapped", "A -> B", "B -> A"), no_match("arrow_against_variable", "A -> B", "A"),
        binds("arrow_of_captures", "(X: A) -> (Y:*)", "A -> B", {"X=type:A", "Y=type:B"}),
        no_match("arrow_left_fails_first", "(X: B) -> (Y:*)", "A -> B"),
        binds("right_sees_left_binding", "(T:*) -> T", "A -> A", {"T=type:A"}),
        no_match("right_compares_left_binding", "(T:*) -> T", "A -> B"),
        binds("unbound_left_then_capture", "T -> (T:*)", "T -> T", {"T=type:T"}),
        same("bound_side_of_arrow", "T -> B", "A -> B", {"T=type:A"}),
        fails("missing_type", "*", "Nowhere", {}, not_found("Type", "Nowhere", "check type matches"), PyClass::KeyError,
              {}),
        fails("broken_arrow_side", "A -> *", "A -> Gone", {}, not_found("Type", "A -> Gone", "check type matches"),
              PyClass::KeyError, {})),
    case_name);

class SchemaMatchingTermCheck : public SchemaMatchingCheck {};

TEST_P(SchemaMatchingTermCheck, MatchesBindsOrFails) {
  const CheckCase& c = GetParam();
  const auto schema = TermSchema::create(c.schema);
  ASSERT_TRUE(schema) << errors::format_report(schema.error());
  const MatchPtr given = frame_with(c.given);
  verify(check_term_matches(g, uid_of(c.target), schema->pattern(), given), given);
}

INSTANTIATE_TEST_SUITE_P(
    SchemaMatching, SchemaMatchingTermCheck,
    ::testing::Values(
        same("wildcard", "*", "A"), binds("variable_binds_term", "x", "A", {"x=term:A"}),
        same("variable_bound_to_this_term", "x", "A", {"x=term:A"}),
        no_match("variable_bound_to_other_term", "x", "A", {"x=term:B"}),
        fails("variable_bound_to_type", "x", "A", {"x=type:A"},
              "Context Conflict: tried to assign variable 'x' currently holding a 'type' to a 'term' "
              "(check term matches)",
              PyClass::ValueError, {kTermCheck}),
        binds("application_binds_both", "f a", "B", {"f=term:(A -> B)", "a=term:A"}),
        binds("application_with_bound_function", "f a", "B", {"a=term:A"}, {"f=term:(A -> B)"}),
        no_match("application_against_basic", "f a", "A"), no_match("argument_sees_function_binding", "f f", "B"),
        fails("application_side_fails", "f x", "B", {"x=node:A"},
              "Context Conflict: tried to assign variable 'x' currently holding a 'node' to a 'term' "
              "(check term matches)",
              PyClass::ValueError, {kTermCheck, kTermPattern}),
        binds("constant_without_arguments", "@Z()", "Zt", {}), no_match("constant_schema_does_not_fit", "@Z()", "W"),
        no_match("constant_name_differs", "@Z()", "A"),
        binds("constant_checks_first_parameter", "@K(P)", "P -> Q", {}, {}, {"X", "Y"}),
        no_match("constant_first_parameter_differs", "@K(A)", "P -> Q"),
        no_match("constant_second_parameter_differs", "@K(*, A)", "P -> Q"),
        binds("constant_arguments_capture", "@K((T:*), (U:*))", "P -> Q", {"T=type:P", "U=type:Q"}, {}, {"X", "Y"}),
        binds("constant_argument_captures_parameter_name", "@K((X:*))", "P -> Q", {"X=type:P"}, {}, {"Y"}),
        binds("constant_surplus_arguments", "@K(P, Q, R)", "P -> Q", {}),
        binds("constant_ignores_caller_bindings", "@K(P)", "P -> Q", {}, {"X=node:A"}),
        fails("constant_argument_capture_bound", "@K((T:*))", "P -> Q", {"T=type:A"}, rebind("T"), PyClass::KeyError,
              {kTypeCheck, kConstantCheck}),
        fails("constant_schema_check_fails", "@Dup(*, *)", "D -> D", {}, rebind("a"), PyClass::KeyError,
              {kTypeCheck, kTypeCheck, kConstantCheck}),
        fails("constant_missing", "@Missing()", "B", {},
              "Constant Not Found: 'Missing' (check term matches [src/graph/matches/term_schema])", PyClass::KeyError,
              {}),
        fails("constant_missing_without_term", "@Missing()", "C", {}, not_found("Term", "C", "check term matches"),
              PyClass::KeyError, {}),
        fails("variable_without_term", "x", "C", {}, not_found("Term", "C", "check term matches"), PyClass::KeyError,
              {})),
    case_name);

// ---- scans ---------------------------------------------------------------------

MatchSet set_of(const std::vector<MatchPtr>& frames) {
  MatchSet set = new_match_set();
  for (std::size_t i = 0; i < frames.size(); ++i) set->insert(i, MatchEntry{Uid{}, frames[i]});
  return set;
}

std::vector<std::pair<std::uint64_t, MatchEntry>> entries_of(const MatchSet& set) {
  std::vector<std::pair<std::uint64_t, MatchEntry>> out;
  set->for_each_shard([&](const auto& table) {
    for (const auto& [id, entry] : table) out.emplace_back(id, entry);
  });
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

// Ids run from 0 without gaps, and every (frame, uid) pair appears once.
void expect_pairs(const MatchSet& set, const std::vector<MatchPtr>& inputs, const std::vector<Uid>& uids,
                  bool new_frames) {
  const auto entries = entries_of(set);
  ASSERT_EQ(entries.size(), inputs.size() * uids.size());
  std::set<std::pair<const Match*, Uid>> seen;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].first, i);
    const MatchEntry& entry = entries[i].second;
    const Match* input = new_frames ? entry.match->parent().get() : entry.match.get();
    EXPECT_TRUE(seen.emplace(input, entry.prev_uid).second);
  }
  for (const auto& m : inputs)
    for (const auto& uid : uids) EXPECT_TRUE(seen.contains({m.get(), uid}));
}

TEST(SchemaMatchingScan, WildcardPairsEveryMatchWithEveryTypeInItsOwnFrame) {
  Graph g;
  g.insert_type(*ty("A -> B"));
  for (int i = 0; i < 500; ++i) g.insert_type(*ty(fmt::format("V{}", i)));
  std::vector<Uid> uids;
  g.types().for_each_parallel([&, mutex = std::make_shared<std::mutex>()](TypeId id) {
    std::lock_guard lock(*mutex);
    uids.push_back(g.types().uid(id));
  });
  ASSERT_EQ(uids.size(), 503u);
  std::vector<MatchPtr> inputs;
  for (int i = 0; i < 60; ++i) inputs.push_back(Match::create());
  auto result = match_type_schema(g, *TypeSchema::create("*"), set_of(inputs));
  ASSERT_TRUE(result) << errors::format_report(result.error());
  expect_pairs(*result, inputs, uids, false);
}

TEST(SchemaMatchingScan, CaptureBindsEachTypeInAChildOfItsInput) {
  Graph g;
  const std::vector<Uid> uids = {g.insert_type(*ty("A")), g.insert_type(*ty("A -> A"))};
  const std::vector<MatchPtr> inputs = {Match::create(), Match::create(), Match::create()};
  auto result = match_type_schema(g, *TypeSchema::create("(T:*)"), set_of(inputs));
  ASSERT_TRUE(result) << errors::format_report(result.error());
  expect_pairs(*result, inputs, uids, true);
  for (const auto& [id, entry] : entries_of(*result))
    EXPECT_EQ(entry.match->get("T"), MatchElement::type(entry.prev_uid));
}

TEST(SchemaMatchingScan, EmptyInputsOrEmptyStoreGiveEmptySets) {
  Graph empty;
  auto none = match_type_schema(empty, *TypeSchema::create("*"), set_of({Match::create()}));
  ASSERT_TRUE(none);
  EXPECT_TRUE((*none)->empty());
  auto no_terms = match_term_schema(empty, *TermSchema::create("*"), set_of({Match::create()}));
  ASSERT_TRUE(no_terms);
  EXPECT_TRUE((*no_terms)->empty());

  Graph g;
  g.insert_term(basic("a", "A"));
  auto no_inputs = match_term_schema(g, *TermSchema::create("*"), new_match_set());
  ASSERT_TRUE(no_inputs);
  EXPECT_TRUE((*no_inputs)->empty());
}

TEST(SchemaMatchingScan, TermVariableBindsEveryStoredTermUnderItsTypeUid) {
  Graph g;
  const Uid b = g.insert_term(*basic("f", "A -> B").apply(basic("a", "A")));
  const std::vector<Uid> uids = {b, uid_of("A -> B"), uid_of("A")};
  const std::vector<MatchPtr> inputs = {Match::create(), Match::create()};
  auto result = match_term_schema(g, *TermSchema::create("x"), set_of(inputs));
  ASSERT_TRUE(result) << errors::format_report(result.error());
  expect_pairs(*result, inputs, uids, true);
  for (const auto& [id, entry] : entries_of(*result))
    EXPECT_EQ(entry.match->get("x"), MatchElement::term(entry.prev_uid));
}

TEST(SchemaMatchingScan, TypeScanFailureCarriesBothScanLines) {
  Graph g;
  for (int i = 0; i < 200; ++i) g.insert_type(*ty(fmt::format("V{}", i)));
  std::vector<MatchPtr> inputs;
  for (int i = 0; i < 40; ++i) inputs.push_back(Match::create());
  ASSERT_TRUE(inputs[17]->insert("T", MatchElement::node(Uid{})));
  auto result = match_type_schema(g, *TypeSchema::create("(T:*)"), set_of(inputs));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().current_context().message(), rebind("T"));
  EXPECT_EQ(lines_of(result.error()), (std::vector<std::string>{kTypeCheck, kTypePattern, kTypePattern, kTypeScan}));
}

TEST(SchemaMatchingScan, TermScanFailureCarriesBothScanLines) {
  Graph g;
  g.insert_term(basic("a", "A"));
  auto result = match_term_schema(g, *TermSchema::create("@Missing()"), set_of({Match::create()}));
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().current_context().is<errors::ConstantNotFound>());
  EXPECT_EQ(lines_of(result.error()), (std::vector<std::string>{kTermPattern, kTermPattern, kTermScan}));
}

}  // namespace
}  // namespace velmora::graph
