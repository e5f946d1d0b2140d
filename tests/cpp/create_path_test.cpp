// Path creation: inference and checks of a path's types and terms, creation of
// its nodes and edges, subgraph sets and creation limits.
//
// Shapes are run through `Graph::create_path` on a store seeded through its own
// interface, from a root match set whose frame holds the given bindings.
// Context lines are compared by their text alone (positions stripped), apart
// from one check of the position format.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <tbb/global_control.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "graph/create.hpp"
#include "store_test_support.hpp"
#include "utils/panic.hpp"

namespace velmora::graph {
namespace {

using patterns::PathPattern;
using patterns::TypeSchema;

// ---- values written as text -----------------------------------------------------

using test_support::ty;
using test_support::uid_of;

// The basic terms the seeds and bindings may name.
const std::map<std::string, std::string, std::less<>> kBasics = {
    {"a", "A"}, {"b", "B"}, {"f", "A -> B"}, {"g", "B -> C"}};

// "f a", "g (f a)": applications of the basic terms above, to the left.
Term term(std::string_view text) {
  std::vector<Term> parts;
  while (!text.empty()) {
    if (text.front() == ' ') {
      text.remove_prefix(1);
    } else if (text.front() == '(') {
      std::size_t depth = 0, end = 0;
      for (; end < text.size(); ++end) {
        if (text[end] == '(') ++depth;
        if (text[end] == ')' && --depth == 0) break;
      }
      parts.push_back(term(text.substr(1, end - 1)));
      text.remove_prefix(end + 1);
    } else {
      const std::size_t end = std::min(text.find_first_of(" ()"), text.size());
      const std::string name(text.substr(0, end));
      TypePtr type = ty(kBasics.at(name));
      parts.emplace_back(typing::BasicTerm{name, std::move(type)});
      text.remove_prefix(end);
    }
  }
  Term out = parts.front();
  for (std::size_t i = 1; i < parts.size(); ++i) out = *out.apply(parts[i]);
  return out;
}

std::vector<Constant> make_constants(const std::vector<std::pair<std::string, std::string>>& list) {
  std::vector<Constant> out;
  for (const auto& [name, schema] : list) out.push_back(*Constant::create(name, schema));
  return out;
}

// "A", "A = a" (a node, with a term), "edge f" (an edge from its term), "term f"
// (a term stored without a node).
void seed(Graph& g, std::string_view text) {
  const CreatedFlag flag = new_created_flag();
  if (text.starts_with("edge ")) {
    ASSERT_TRUE(g.add_edge(term(text.substr(5)), PropertyMap(), flag));
  } else if (text.starts_with("term ")) {
    g.insert_term(term(text.substr(5)));
  } else if (const auto eq = text.find(" = "); eq != std::string_view::npos) {
    ASSERT_TRUE(g.add_node(ty(text.substr(0, eq)), term(text.substr(eq + 3)), PropertyMap(), flag));
  } else {
    ASSERT_TRUE(g.add_node(ty(text), std::nullopt, PropertyMap(), flag));
  }
}

// "x=node:A", "e=edge:A -> B", "t=term:A -> B", "T=type:A".
void bind_var(const MatchPtr& m, std::string_view text) {
  const auto eq = text.find('=');
  const auto colon = text.find(':', eq);
  const std::string_view kind = text.substr(eq + 1, colon - eq - 1);
  const std::string_view value = text.substr(colon + 1);
  MatchElement element = MatchElement::type(uid_of(value));
  if (kind == "node") element = MatchElement::node(uid_of(value));
  if (kind == "term") element = MatchElement::term(uid_of(value));
  if (kind == "edge") {
    const TypePtr type = ty(value);
    const auto* arrow = type->as_arrow();
    element = MatchElement::edge({uid_of(arrow->left), uid_of(arrow->right)});
  }
  ASSERT_TRUE(m->insert(text.substr(0, eq), element));
}

std::string show(const Graph& g, const MatchElement& e) {
  switch (e.kind()) {
    case MatchElement::Kind::Node: return "node:" + *g.type_to_string(e.uid());
    case MatchElement::Kind::Term: return "term:" + *g.term_to_string(e.uid());
    case MatchElement::Kind::Type: return "type:" + *g.type_to_string(e.uid());
    case MatchElement::Kind::Edge:
      return fmt::format("edge:{} -> {}", *g.type_to_string(e.edge_key().first),
                         *g.type_to_string(e.edge_key().second));
  }
  return {};
}

std::string show_uid(const Graph& g, const Uid& uid) { return uid == Uid{} ? "0" : *g.type_to_string(uid); }

std::vector<std::string> node_texts(const Graph& g) {
  std::vector<std::string> out;
  for (const Uid& uid : Inspect::node_uids(g)) out.push_back(*g.node_to_string(uid));
  std::sort(out.begin(), out.end());
  return out;
}
std::vector<std::string> edge_texts(const Graph& g) {
  std::vector<std::string> out;
  for (const EdgeKey& key : Inspect::edge_keys(g)) out.push_back(*g.edge_to_string(key));
  std::sort(out.begin(), out.end());
  return out;
}

// Context lines, oldest first, without their positions.
std::vector<std::string> texts_of(const Report& report) {
  std::vector<std::string> out;
  for (const auto& line : report.lines()) out.push_back(line.substr(0, line.rfind(" [")));
  return out;
}

// "{uid:Q}" in an expected message stands for the hex uid of the type Q.
std::string expand(std::string text) {
  for (auto at = text.find("{uid:"); at != std::string::npos; at = text.find("{uid:")) {
    const auto end = text.find('}', at);
    text.replace(at, end + 1 - at, uid_to_hex(uid_of(text.substr(at + 5, end - at - 5))));
  }
  return text;
}

PathPattern path_of(std::string_view text) {
  auto path = PathPattern::create(std::string(text));
  if (!path) throw std::runtime_error(errors::format_report(path.error()));
  return *path;
}

MatchSet set_of(const std::vector<MatchPtr>& frames) {
  MatchSet set = new_match_set();
  for (std::size_t i = 0; i < frames.size(); ++i) set->insert(i, MatchEntry{Uid{}, frames[i]});
  return set;
}

std::vector<MatchEntry> entries_of(const MatchSet& set) {
  std::vector<MatchEntry> out;
  for (std::uint64_t id = 0; id < set->size(); ++id) {
    auto entry = set->get(id);
    EXPECT_TRUE(entry) << "ids run 0, 1, 2, ...; missing " << id;
    if (entry) out.push_back(*entry);
  }
  return out;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;
const std::pair<std::string, std::string> kArrowConstant{"Arr", "(X:*) -> (Y:*)"};

// ---- shapes: inference and creation for one match -------------------------------

struct Shape {
  std::string label;
  Pairs constants;
  std::vector<std::string> seeds;
  std::vector<std::string> bindings;
  std::string pattern;
  std::vector<std::string> nodes;  // every node of the store afterwards
  std::vector<std::string> edges;
  std::vector<std::string> bound = {};  // "var=kind:text" seen from the result's child
  std::string last = {};                // the result uid's type, "0" for zeros
  std::string error = {};               // set when the call fails
  std::vector<std::string> lines = {};
};

void PrintTo(const Shape& s, std::ostream* os) { *os << s.label; }

class CreateShape : public ::testing::TestWithParam<Shape> {};

TEST_P(CreateShape, YieldsStoreAndBindingsOrError) {
  const Shape& s = GetParam();
  Graph g(make_constants(s.constants));
  for (const auto& text : s.seeds) seed(g, text);
  MatchPtr root = Match::create();
  for (const auto& text : s.bindings) bind_var(root, text);

  auto result = create_path(g, path_of(s.pattern), set_of({root}), nullptr);

  if (!s.error.empty()) {
    ASSERT_FALSE(result) << "created " << result.value()->size() << " entries";
    EXPECT_EQ(result.error().current_context().message(), expand(s.error));
    EXPECT_EQ(texts_of(result.error()), s.lines);
  } else {
    ASSERT_TRUE(result) << errors::format_report(result.error());
    const auto entries = entries_of(*result);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(show_uid(g, entries[0].prev_uid), s.last);
    for (const auto& expected : s.bound) {
      const std::string name = expected.substr(0, expected.find('='));
      const auto element = entries[0].match->get(name);
      ASSERT_TRUE(element) << name;
      EXPECT_EQ(name + "=" + show(g, *element), expected);
    }
  }
  EXPECT_EQ(node_texts(g), s.nodes);
  EXPECT_EQ(edge_texts(g), s.edges);
}

std::string invalid(std::string_view pattern, std::string_view reason) {
  return fmt::format("Invalid Pattern; '{}': {}", pattern, reason);
}
std::string conflict(std::string_view name, std::string_view held, std::string_view asked, std::string_view ctx) {
  return fmt::format("Context Conflict: tried to assign variable '{}' currently holding a '{}' to a '{}' ({})", name,
                     held, asked, ctx);
}

const char* const kCreatePath = "graph - create path";
const char* const kNodeUntyped = "Unable to infer the type of a node contained in the pattern";

INSTANTIATE_TEST_SUITE_P(
    PathInference, CreateShape,
    ::testing::Values(
        Shape{"BoundNodeTakesStoredTypeAndTerm",
              {kArrowConstant},
              {"A = a"},
              {"x=node:A"},
              "(x)-[e]->(y:B)",
              {"Node(A:a {})", "Node(B:(Arr a) {})"},
              {"Edge((A -> B):Arr {})"},
              {"x=node:A", "y=node:B", "e=edge:A -> B"},
              "B"},
        Shape{"BoundNodeWithoutStoredTerm",
              {kArrowConstant},
              {"A"},
              {"x=node:A"},
              "(x)-[e]->(y:B)",
              {"Node(A: {})", "Node(B: {})"},
              {"Edge((A -> B):Arr {})"},
              {"y=node:B"},
              "B"},
        Shape{"BoundNodeToAnonymousNode",
              {kArrowConstant},
              {"A"},
              {"x=node:A"},
              "(x)-[]->(:B)",
              {"Node(A: {})", "Node(B: {})"},
              {"Edge((A -> B):Arr {})"},
              {},
              "B"},
        Shape{"AnonymousNodeFromBoundNode",
              {kArrowConstant},
              {"A", "B"},
              {"x=node:A"},
              "(:B)<-[]-(x)",
              {"Node(A: {})", "Node(B: {})"},
              {"Edge((A -> B):Arr {})"},
              {},
              "B"},
        Shape{"BoundNodeWithTermToAnonymousNode",
              {kArrowConstant},
              {"A = a"},
              {"x=node:A"},
              "(x)-[]->(:B)",
              {"Node(A:a {})", "Node(B:(Arr a) {})"},
              {"Edge((A -> B):Arr {})"},
              {},
              "B"},
        Shape{"BoundNodeToAnonymousNodeWithConstant",
              {kArrowConstant, {"b", "B"}},
              {"A"},
              {"x=node:A"},
              "(x)-[]->(:B)",
              {"Node(A: {})", "Node(B:b {})"},
              {"Edge((A -> B):Arr {})"},
              {},
              "B"},
        Shape{"BoundNodeToNodeOfBoundTypeName",
              {kArrowConstant},
              {"A", "C"},
              {"x=node:A", "B=type:C"},
              "(x)-[]->(:B)",
              {"Node(A: {})", "Node(C: {})"},
              {"Edge((A -> C):Arr {})"},
              {},
              "C"},
        Shape{"BoundNodeToAnonymousNodeWithoutConstant",
              {},
              {"A"},
              {"x=node:A"},
              "(x)-[]->(:B)",
              {"Node(A: {})"},
              {},
              {},
              {},
              invalid("(x)-[]->(:B)", "Unable to infer the term of an edge contained in the pattern")},
        Shape{"BoundNodeNotStoredToAnonymousNode",
              {kArrowConstant},
              {"term a"},
              {"x=node:A"},
              "(x)-[]->(:B)",
              {"Node(B:(Arr a) {})"},
              {},
              {},
              {},
              "Index Corruption: 'start_to_edge_index not initialized for some node already in the graph' (add edge)",
              {kCreatePath}},
        Shape{"EdgeBoundAsNodeToAnonymousNode",
              {kArrowConstant},
              {"A", "B", "edge f"},
              {"x=edge:A -> B"},
              "(x)-[]->(:C)",
              {"Node(A: {})", "Node(B: {})"},
              {"Edge((A -> B):f {})"},
              {},
              {},
              conflict("x", "edge", "node", "create path - node data inference - node already matched"),
              {kCreatePath}},
        Shape{"BoundEdgeGivesItsNodesTypes",
              {},
              {"A = a", "B", "edge f"},
              {"e=edge:A -> B"},
              "(x)-[e]->(y)",
              {"Node(A:a {})", "Node(B:(f a) {})"},
              {"Edge((A -> B):f {})"},
              {"x=node:A", "y=node:B"},
              "B"},
        Shape{"ForwardEdgeAppliesToLeftTerm",
              {{"a", "A"}, {"f", "A -> B"}},
              {},
              {},
              "(x:A)-[e:A -> B]->(y)",
              {"Node(A:a {})", "Node(B:(f a) {})"},
              {"Edge((A -> B):f {})"},
              {"x=node:A", "y=node:B", "e=edge:A -> B"},
              "B"},
        Shape{"ForwardEdgeTermFromNodeTerms",
              {},
              {"A = a", "B = f a"},
              {"x=node:A", "y=node:B"},
              "(x)-[e]->(y)",
              {"Node(A:a {})", "Node(B:(f a) {})"},
              {"Edge((A -> B):f {})"},
              {"e=edge:A -> B"},
              "0"},
        Shape{"BackwardEdgeTermFromNodeTerms",
              {},
              {"A = a", "B = f a"},
              {"y=node:B", "x=node:A"},
              "(y)<-[e]-(x)",
              {"Node(A:a {})", "Node(B:(f a) {})"},
              {"Edge((A -> B):f {})"},
              {"e=edge:A -> B"},
              "0"},
        Shape{"ConstantBeforeLeftEdge",
              {{"a", "A"}, {"f", "A -> B"}, {"b", "B"}},
              {},
              {},
              "(x:A)-[e:A -> B]->(y:B)",
              {"Node(A:a {})", "Node(B:b {})"},
              {"Edge((A -> B):f {})"},
              {},
              "B"},
        Shape{"EdgeTermSchemaBindsOnLaterPass",
              {{"f", "A -> B"}},
              {},
              {},
              "(x:A)-[e:A -> B:t]->(y:B)",
              {"Node(A: {})", "Node(B: {})"},
              {"Edge((A -> B):f {})"},
              {"t=term:f"},
              "B"},
        Shape{"CaptureLetsNeighbourSchemaMatch",
              {{"a", "A"}},
              {"term f"},
              {"g=term:A -> B"},
              "(x:A:t)-[e:A -> B:g]->(y:B:g t)",
              {"Node(A:a {})", "Node(B:(f a) {})"},
              {"Edge((A -> B):f {})"},
              {"t=term:a", "y=node:B"},
              "B"},
        Shape{"WildcardNodeType",
              {},
              {},
              {},
              "(a:*)",
              {},
              {},
              {},
              {},
              "Invalid Pattern; '*': Cannot convert wildcard to type",
              {"graph - type schema to type", kCreatePath}},
        Shape{"WildcardEdgeType",
              {},
              {},
              {},
              "(a:A)-[e:*]->(b:B)",
              {},
              {},
              {},
              {},
              "Invalid Pattern; '*': Cannot convert wildcard to type",
              {"graph - type schema to type", kCreatePath}},
        Shape{"WildcardNodeTerm",
              {},
              {},
              {},
              "(a:A:*)",
              {},
              {},
              {},
              {},
              "Invalid Pattern; '*': Cannot convert wildcard to term",
              {"graph - term schema to term", kCreatePath}},
        Shape{"WildcardEdgeTerm",
              {},
              {},
              {},
              "(a:A)-[e:A -> B:*]->(b:B)",
              {},
              {},
              {},
              {},
              "Invalid Pattern; '*': Cannot convert wildcard to term",
              {"graph - term schema to term", kCreatePath}},
        Shape{"TypeFromVariableTypedEdge",
              {},
              {},
              {},
              "(x:A)-[e:E]->(y)",
              {},
              {},
              {},
              {},
              "Invalid Type: 'edge must have an arrow type'",
              {}},
        Shape{"AnyEdgeNodeNeverTyped",
              {},
              {},
              {},
              "(x:A)-[e]-(y)",
              {},
              {},
              {},
              {},
              invalid("(x:A)-[e]-(y)", kNodeUntyped),
              {}},
        Shape{"UntypableEdgeLoopEnds",
              {},
              {},
              {},
              "(x)-[e]->(y)",
              {},
              {},
              {},
              {},
              invalid("(x)-[e]->(y)", kNodeUntyped),
              {}},
        Shape{"UncheckedConstantTermOfNode",
              {{"a", "A"}},
              {},
              {},
              "(x:A:t)",
              {},
              {},
              {},
              {},
              invalid("(x:A:t)", "Inferred term for node does not match the provided schema"),
              {}},
        Shape{"EdgeWithoutTerm",
              {},
              {},
              {},
              "(x:A)-[e]->(y:B)",
              {},
              {},
              {},
              {},
              invalid("(x:A)-[e]->(y:B)", "Unable to infer the term of an edge contained in the pattern"),
              {}},
        Shape{
            "EdgeTermOfOtherType",
            {},
            {"term g"},
            {"t=term:B -> C"},
            "(x)-[e:A -> B:t]->(y)",
            {},
            {},
            {},
            {},
            invalid("(x)-[e:A -> B:t]->(y)", "Inferred type for edge does not match the type of the term of the edge"),
            {}},
        Shape{"EdgeTermFailsItsSchema",
              {{"f", "A -> B"}},
              {},
              {},
              "(x:A)-[e:A -> B:t u]->(y:B)",
              {},
              {},
              {},
              {},
              invalid("(x:A)-[e:A -> B:t u]->(y:B)", "Inferred term for edge does not match the provided schema"),
              {}},
        Shape{"EdgeTypeDisagreesWithNodes",
              {},
              {},
              {},
              "(x:A)-[e:B -> A]->(y:B)",
              {},
              {},
              {},
              {},
              "Invalid Type: 'inferred type of an edge does not match the actual type of the edge'",
              {}},
        Shape{"NodeConstantWithInvalidName",
              {{"bad name", "A"}},
              {},
              {},
              "(x:A)",
              {},
              {},
              {},
              {},
              "Invalid Identifier 'bad name': Name cannot contain whitespace",
              {"basic term - new", "graph - infer term", kCreatePath}},
        Shape{"EdgeConstantWithInvalidName",
              {{"bad name", "A -> B"}},
              {},
              {},
              "(x:A)-[e]->(y:B)",
              {},
              {},
              {},
              {},
              "Invalid Identifier 'bad name': Name cannot contain whitespace",
              {"basic term - new", "graph - infer term", "graph - create node"}},
        Shape{"NodeBoundToEdge",
              {},
              {"A", "B", "edge f"},
              {"x=edge:A -> B"},
              "(x)",
              {"Node(A: {})", "Node(B: {})"},
              {"Edge((A -> B):f {})"},
              {},
              {},
              conflict("x", "edge", "node", "create path - node data inference - node already matched"),
              {kCreatePath}},
        Shape{"EdgeBoundToNode",
              {},
              {"A"},
              {"e=node:A"},
              "(x:A)-[e]->(y:B)",
              {"Node(A: {})"},
              {},
              {},
              {},
              conflict("e", "node", "edge", "create path - edge data inference - edge already matched"),
              {kCreatePath}},
        Shape{"EdgeBoundWithoutTypeRow",
              {},
              {},
              {"e=edge:P -> Q"},
              "(x:A)-[e]->(y:B)",
              {},
              {},
              {},
              {},
              "Index Corruption: 'Edge exists in EdgeIndex without corresponding entry at EdgeToTypeIndex.' "
              "(create path - edge data inference - edge already matched)",
              {}},
        Shape{"NodeBoundToUnstoredType",
              {},
              {},
              {"x=node:Q"},
              "(x)",
              {},
              {},
              {},
              {},
              "Type with Uid: '{uid:Q}' not found (type from uid)",
              {kCreatePath}}),
    [](const auto& info) { return info.param.label; });

INSTANTIATE_TEST_SUITE_P(
    CreatePath, CreateShape,
    ::testing::Values(
        Shape{"BoundTypeSchemaNodeMissingFromStore",
              {kArrowConstant},
              {"A"},
              {"x=node:A"},
              "(x:C)-[]->(y:D)",
              {"Node(A: {})", "Node(D: {})"},
              {},
              {},
              {},
              "Index Corruption: 'start_to_edge_index not initialized for some node already in the graph' (add edge)",
              {kCreatePath}},
        Shape{"AllNodesBoundGiveZeroUid", {}, {"A = a"}, {"x=node:A"}, "(x)", {"Node(A:a {})"}, {}, {"x=node:A"}, "0"},
        Shape{"SecondUseOfVariableSkipped",
              {kArrowConstant},
              {},
              {},
              "(x:A)-[e]->(x:A)",
              {"Node(A: {})"},
              {"Edge((A -> A):Arr {})"},
              {"x=node:A", "e=edge:A -> A"},
              "A"},
        Shape{"SecondUseOfVariableLeavesEdgeEndMissing",
              {kArrowConstant},
              {},
              {},
              "(x:A)-[e]->(x:B)",
              {"Node(A: {})"},
              {},
              {},
              {},
              "Index Corruption: 'end_to_edge_index not initialized for some node already in the graph' (add edge)",
              {kCreatePath}},
        Shape{"EdgeVariableTakenByNodeIsSkipped",
              {kArrowConstant},
              {},
              {},
              "(x:A)-[x]->(y:B)",
              {"Node(A: {})", "Node(B: {})"},
              {},
              {"x=node:A", "y=node:B"},
              "B"},
        Shape{"ArrowNodeMakesItsEdge",
              {{"h", "A -> B"}},
              {},
              {},
              "(n:A -> B)",
              {"Node((A -> B):h {})", "Node(A: {})", "Node(B: {})"},
              {"Edge((A -> B):h {})"},
              {"n=node:(A -> B)"},
              "(A -> B)"},
        Shape{"NodeTermOfOtherType",
              {},
              {"term b"},
              {"t=term:B"},
              "(x:A:t)",
              {},
              {},
              {},
              {},
              "Invalid Term: 'term provided is of a different type than the type provided'",
              {kCreatePath}}),
    [](const auto& info) { return info.param.label; });

// ---- the direction Any ----------------------------------------------------------

struct AnyCase {
  std::string label;
  Pairs constants;
  std::string pattern;
  std::string fault;
};
void PrintTo(const AnyCase& c, std::ostream* os) { *os << c.label; }

class PathInferenceAny : public ::testing::TestWithParam<AnyCase> {};

TEST_P(PathInferenceAny, FaultsOnceInferenceNeedsTheDirection) {
  const AnyCase& c = GetParam();
  Graph g(make_constants(c.constants));
  MatchPtr root = Match::create();
  bind_var(root, "t=term:A -> B");
  g.insert_term(term("f"));
  try {
    auto result = create_path(g, path_of(c.pattern), set_of({root}), nullptr);
    ADD_FAILURE() << "no fault; " << (result ? "created" : errors::format_report(result.error()));
  } catch (const Panic& fault) {
    EXPECT_STREQ(fault.what(), c.fault.c_str());
  }
  EXPECT_EQ(g.node_count(), 0u);
}

const char* const kNotSupported = "not yet implemented: the 'any' direction is not supported yet";

INSTANTIATE_TEST_SUITE_P(
    PathInference, PathInferenceAny,
    ::testing::Values(AnyCase{"EdgeBetweenTypedNodes", {}, "(x:A)-[e]-(y:B)", kNotSupported},
                      AnyCase{"LeftEdgeType", {}, "(x:A)-[e:A -> B]-(y)", kNotSupported},
                      AnyCase{"RightEdgeType", {}, "(x)-[e:A -> B]-(y:B)", std::string(kNotSupported) + "."},
                      AnyCase{"LeftEdgeTerm",
                              {{"a", "A"}},
                              "(x:A)-[e:A -> B:t]-(y:B)",
                              "not yet implemented: the 'any' direction is not implemented yet."},
                      AnyCase{"RightEdgeTerm",
                              {{"b", "B"}},
                              "(x:A)-[e:A -> B:t]-(y:B)",
                              "not yet implemented: the 'any' direction is not implemented yet."}),
    [](const auto& info) { return info.param.label; });

// ---- the check phase on hand-made records ------------------------------------------

struct CheckCase {
  std::string label;
  std::function<void(PathData&)> spoil;
  std::string error;  // empty: passes
};
void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.label; }

class PathInferenceCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(PathInferenceCheck, JudgesTheRecords) {
  const PathPattern path = path_of("(a)-[e]->(b)");
  PathData data = PathData::create(path, Match::create());
  data.nodes[0].type = ty("A");
  data.nodes[1].type = ty("B");
  data.edges[0].type = ty("A -> B");
  data.edges[0].term = term("f");
  for (auto* flags : {&data.nodes[0], &data.nodes[1]}) flags->type_matches_schema = flags->term_matches_schema = true;
  data.edges[0].type_matches_schema = data.edges[0].term_matches_schema = true;
  GetParam().spoil(data);

  const Status status = check_path_data(path, data);
  if (GetParam().error.empty()) {
    EXPECT_TRUE(status) << errors::format_report(status.error());
    return;
  }
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().current_context().message(), GetParam().error);
  EXPECT_TRUE(status.error().lines().empty());
}

std::string checked(std::string_view reason) { return invalid("(a)-[e]->(b)", reason); }

INSTANTIATE_TEST_SUITE_P(
    PathInference, PathInferenceCheck,
    ::testing::Values(
        CheckCase{"AllKnown", [](PathData&) {}, ""},
        CheckCase{"NodeWithoutTermPassesUnflagged", [](PathData& d) { d.nodes[1].term_matches_schema = false; }, ""},
        CheckCase{"NodeWithoutType", [](PathData& d) { d.nodes[1].type.reset(); }, checked(kNodeUntyped)},
        CheckCase{"NodeTypeBeforeTermFlag",
                  [](PathData& d) {
                    d.nodes[0].term = term("a");
                    d.nodes[0].type_matches_schema = d.nodes[0].term_matches_schema = false;
                  },
                  checked("Inferred type for node does not match the provided schema")},
        CheckCase{"NodeTermFlag",
                  [](PathData& d) {
                    d.nodes[0].term = term("a");
                    d.nodes[0].term_matches_schema = false;
                  },
                  checked("Inferred term for node does not match the provided schema")},
        CheckCase{"NodesBeforeEdges",
                  [](PathData& d) {
                    d.edges[0].term.reset();
                    d.nodes[1].type.reset();
                  },
                  checked(kNodeUntyped)},
        CheckCase{"EdgeWithoutTerm", [](PathData& d) { d.edges[0].term.reset(); },
                  checked("Unable to infer the term of an edge contained in the pattern")},
        CheckCase{"EdgeWithoutType", [](PathData& d) { d.edges[0].type.reset(); },
                  "FATAL: An infallible error was returned, please contact the developers of the Velmora Library "
                  "as this should not occur."},
        CheckCase{"EdgeTypeOtherArrow", [](PathData& d) { d.edges[0].term = term("g"); },
                  checked("Inferred type for edge does not match the type of the term of the edge")},
        CheckCase{"EdgeTypeVariable", [](PathData& d) { d.edges[0].type = ty("E"); },
                  checked("Inferred type for edge does not match the type of the term of the edge")},
        CheckCase{"EdgeTermFlagBeforeTypeFlag",
                  [](PathData& d) { d.edges[0].type_matches_schema = d.edges[0].term_matches_schema = false; },
                  checked("Inferred term for edge does not match the provided schema")},
        CheckCase{"EdgeTypeFlag", [](PathData& d) { d.edges[0].type_matches_schema = false; },
                  checked("Inferred type for edge does not match the provided schema")}),
    [](const auto& info) { return info.param.label; });

// ---- bounds checks on a state that does not fit its pattern -------------------------

struct BoundsCase {
  std::string label;
  std::string data_pattern;  // the records and queue are made from this one
  std::string pattern;       // and inference is given this one
  std::function<void(PathData&)> spoil;
  std::string error;
};
void PrintTo(const BoundsCase& c, std::ostream* os) { *os << c.label; }

class PathInferenceBounds : public ::testing::TestWithParam<BoundsCase> {};

TEST_P(PathInferenceBounds, FailsWithIndexOutOfRange) {
  const BoundsCase& c = GetParam();
  Graph g;
  PathData data = PathData::create(path_of(c.data_pattern), Match::create());
  c.spoil(data);
  const Status status = infer_path_data(g, path_of(c.pattern), data);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().current_context().message(), c.error);
  EXPECT_TRUE(status.error().lines().empty());
}

std::string out_of_range(std::size_t index, std::size_t len, std::string_view context) {
  return fmt::format("Index Out of Range: tried to access index {} from an iterable of length {} ({})", index, len,
                     context);
}

INSTANTIATE_TEST_SUITE_P(
    PathInference, PathInferenceBounds,
    ::testing::Values(BoundsCase{"NodeFromQueue", "(a)", "(a)",
                                 [](PathData& d) {
                                   d.queue.push({2, true});
                                 },
                                 out_of_range(2, 1, "create path - node data inference")},
                      BoundsCase{"NodePattern", "(a)-[e]->(b)", "(a)", [](PathData&) {},
                                 out_of_range(1, 1, "create path - node data inference - match pattern")},
                      BoundsCase{"LeftEdge", "(a)(b)", "(a)(b)", [](PathData&) {},
                                 out_of_range(0, 0, "create path - node data inference - left edge")},
                      BoundsCase{"EdgeFromQueue", "(a)", "(a)",
                                 [](PathData& d) {
                                   d.queue.push({0, false});
                                 },
                                 out_of_range(0, 0, "create path - edge data inference")},
                      BoundsCase{"EdgePattern", "(a)-[e]->(b)", "(a)(b)", [](PathData&) {},
                                 out_of_range(0, 0, "create path - edge data inference - match pattern")},
                      BoundsCase{"EdgeRightNode", "(a)", "(a)-[e]->(b)",
                                 [](PathData& d) {
                                   d.edges.push_back(EdgeData::create("e", patterns::Direction::Forward, std::nullopt));
                                   d.queue.push({0, false});
                                 },
                                 out_of_range(1, 1, "create path - edge data inference - right node")}),
    [](const auto& info) { return info.param.label; });

// ---- whole calls ------------------------------------------------------------------

TEST(CreatePath, InvalidPatternFailsEvenWithoutMatches) {
  Graph g;
  auto result = create_path(g, path_of("(a)(b)"), new_match_set(), nullptr);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().current_context().message(),
            invalid("(a)(b)", "the number of nodes should be the number of edges plus 1"));
  ASSERT_EQ(result.error().lines().size(), 1u);
  const std::string line = result.error().lines()[0];
  const std::string prefix = "graph - create path [src/graph/create:";
  ASSERT_TRUE(line.starts_with(prefix) && line.ends_with("]")) << line;
  const std::string number = line.substr(prefix.size(), line.size() - prefix.size() - 1);
  EXPECT_TRUE(!number.empty() && std::all_of(number.begin(), number.end(), ::isdigit)) << line;
}

TEST(CreatePath, EmptyInputGivesEmptyResult) {
  Graph g;
  auto result = create_path(g, path_of("(a:A)"), new_match_set(), nullptr);
  ASSERT_TRUE(result);
  EXPECT_TRUE((*result)->empty());
  EXPECT_EQ(g.node_count(), 0u);
}

TEST(CreatePath, AnonymousNodeOncePerMatch) {
  Graph g;
  const std::vector<MatchPtr> frames{Match::create(), Match::create(), Match::create()};
  auto result = create_path(g, path_of("(:A)"), set_of(frames), nullptr);
  ASSERT_TRUE(result) << errors::format_report(result.error());
  const auto entries = entries_of(*result);
  ASSERT_EQ(entries.size(), 3u);
  std::set<const Match*> parents;
  for (const auto& entry : entries) {
    EXPECT_EQ(entry.prev_uid, uid_of("A"));
    parents.insert(entry.match->parent().get());
  }
  EXPECT_EQ(parents, (std::set<const Match*>{frames[0].get(), frames[1].get(), frames[2].get()}));
  EXPECT_EQ(node_texts(g), std::vector<std::string>{"Node(A: {})"});
}

TEST(CreatePath, CreatedElementsGetTheirOwnMaps) {
  Graph g;
  const PathPattern path = path_of("(:A {k: 1})");
  ASSERT_TRUE(create_path(g, path, set_of({Match::create()}), nullptr));
  PropertyMap stored = *g.node_properties(uid_of("A"));
  stored.insert("z", 2);
  EXPECT_EQ(stored.to_string(), "{k: 1, z: 2}");
  EXPECT_EQ(path.nodes()[0].properties()->to_string(), "{k: 1}");
}

TEST(CreatePath, SubsetGainsHandedNodesOnly) {
  Graph g(make_constants({{"a", "A"}, {"h", "C -> D"}}));
  for (const char* text : {"A", "B", "edge f", "E"}) seed(g, text);
  MatchPtr root = Match::create();
  bind_var(root, "x=node:E");
  auto subset = std::make_shared<NodeUidSet>();
  // A, already stored, takes its constant's term, which propagates to B.
  ASSERT_TRUE(create_path(g, path_of("(:A)"), set_of({root}), subset));
  // A bound node is not handed to the store.
  ASSERT_TRUE(create_path(g, path_of("(x)"), set_of({root}), subset));
  // The arrow term h adds C, D and their edge on its way.
  ASSERT_TRUE(create_path(g, path_of("(:C -> D)"), set_of({root}), subset));

  std::vector<std::string> members;
  for (const Uid& uid : subset->keys()) members.push_back(*g.type_to_string(uid));
  std::sort(members.begin(), members.end());
  EXPECT_EQ(members, (std::vector<std::string>{"(C -> D)", "A"}));
  EXPECT_EQ(node_texts(g), (std::vector<std::string>{"Node((C -> D):h {})", "Node(A:a {})", "Node(B:(f a) {})",
                                                     "Node(C: {})", "Node(D: {})", "Node(E: {})"}));
  EXPECT_EQ(edge_texts(g), (std::vector<std::string>{"Edge((A -> B):f {})", "Edge((C -> D):h {})"}));
}

// ---- creation counters ------------------------------------------------------------

std::size_t created_count(const Graph& g, const std::vector<std::string>& types) {
  return std::count_if(types.begin(), types.end(), [&](const auto& t) { return g.has_node(uid_of(t)); });
}

TEST(CreatePathLimits, ExistingNodeKeepsItsMapAndGivesItsUnitBack) {
  Graph g;
  seed(g, "A");
  ASSERT_TRUE(g.set_node_properties(uid_of("A"), PropertyMap(PropertyEntries{{"k", Value(1)}}), true));
  MatchPtr root = Match::create();
  root->set_counter(1);
  auto subset = std::make_shared<NodeUidSet>();

  auto result = create_path(g, path_of("(:A {k: 2})"), set_of({root}), subset);
  ASSERT_TRUE(result) << errors::format_report(result.error());
  const auto entries = entries_of(*result);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].prev_uid, uid_of("A"));
  EXPECT_TRUE(subset->contains(uid_of("A")));
  EXPECT_EQ(node_texts(g), std::vector<std::string>{"Node(A: {k: 1})"});

  // The unit came back: one more creation fits, then none.
  EXPECT_EQ((*create_path(g, path_of("(:B)"), set_of({root}), nullptr))->size(), 1u);
  EXPECT_EQ((*create_path(g, path_of("(:C)"), set_of({root}), nullptr))->size(), 0u);
  EXPECT_EQ(created_count(g, {"B", "C"}), 1u);
}

TEST(CreatePathLimits, DerivedMatchesShareTheirFramesCount) {
  Graph g;
  MatchPtr limited = Match::create();
  limited->set_counter(2);
  std::vector<MatchPtr> frames;
  std::vector<std::string> types;
  for (int i = 0; i < 4; ++i) {
    types.push_back(fmt::format("N{}", i));
    g.insert_type(*ty(types.back()));
    frames.push_back(Match::create(Match::create(limited)));
    bind_var(frames.back(), "T=type:" + types.back());
  }
  auto result = create_path(g, path_of("(n:T)"), set_of(frames), nullptr);
  ASSERT_TRUE(result) << errors::format_report(result.error());
  EXPECT_EQ(entries_of(*result).size(), 2u);
  EXPECT_EQ(created_count(g, types), 2u);
}

TEST(CreatePathLimits, CreationsAddingNothingStillYield) {
  Graph g;
  seed(g, "E");
  MatchPtr limited = Match::create();
  limited->set_counter(1);
  std::vector<MatchPtr> frames;
  for (const char* type : {"E", "E", "N0", "N1"}) {
    g.insert_type(*ty(type));
    frames.push_back(Match::create(limited));
    bind_var(frames.back(), fmt::format("T=type:{}", type));
  }
  auto result = create_path(g, path_of("(n:T)"), set_of(frames), nullptr);
  ASSERT_TRUE(result) << errors::format_report(result.error());
  const auto entries = entries_of(*result);
  // The new node spends the only unit; the two that add nothing yield an entry
  // unless they met the spent count.
  std::size_t fresh = 0;
  for (const auto& entry : entries) fresh += entry.prev_uid != uid_of("E");
  EXPECT_EQ(fresh, 1u);
  EXPECT_GE(entries.size(), 1u);
  EXPECT_LE(entries.size(), 3u);
  EXPECT_EQ(created_count(g, {"N0", "N1"}), 1u);
}

// Edges from bound nodes to one anonymous node: under a count of their own,
// each match spends its unit on its edge, and a second creation finds the
// count spent; under one shared count, only that many edges are made.
TEST(CreatePathLimits, EdgesFromBoundNodesSpendTheirCounts) {
  Graph g(make_constants({kArrowConstant}));
  MatchPtr shared = Match::create();
  shared->set_counter(2);
  std::vector<MatchPtr> own, sharing;
  for (int i = 0; i < 4; ++i) {
    seed(g, fmt::format("N{}", i));
    own.push_back(Match::create());
    own.back()->set_counter(1);
    bind_var(own.back(), fmt::format("x=node:N{}", i));
    sharing.push_back(Match::create(shared));
    bind_var(sharing.back(), fmt::format("x=node:N{}", i));
  }
  auto made = create_path(g, path_of("(x)-[]->(:P)"), set_of(own), nullptr);
  ASSERT_TRUE(made) << errors::format_report(made.error());
  ASSERT_EQ(entries_of(*made).size(), 4u);
  for (const auto& entry : entries_of(*made)) {
    EXPECT_EQ(entry.prev_uid, uid_of("P"));
    EXPECT_FALSE(entry.match->contains_key("P"));
  }
  auto again = create_path(g, path_of("(x)-[]->(:Q)"), *made, nullptr);
  ASSERT_TRUE(again) << errors::format_report(again.error());
  EXPECT_TRUE((*again)->empty());
  EXPECT_FALSE(g.has_node(uid_of("Q")));

  auto pooled = create_path(g, path_of("(:R)<-[]-(x)"), set_of(sharing), nullptr);
  ASSERT_TRUE(pooled) << errors::format_report(pooled.error());
  EXPECT_EQ((*pooled)->size(), 2u);
  const auto edges = edge_texts(g);
  EXPECT_EQ(std::count_if(edges.begin(), edges.end(), [](const auto& e) { return e.find("-> P)") != e.npos; }), 4);
  EXPECT_EQ(std::count_if(edges.begin(), edges.end(), [](const auto& e) { return e.find("-> R)") != e.npos; }), 2);
  // An edge that is there already adds nothing and gives its unit back.
  MatchPtr once = Match::create();
  once->set_counter(1);
  bind_var(once, "x=node:N0");
  auto stale = create_path(g, path_of("(x)-[]->(:P)"), set_of({once}), nullptr);
  ASSERT_TRUE(stale && (*stale)->size() == 1u);
  EXPECT_EQ((*create_path(g, path_of("(x)-[]->(:S)"), set_of({once}), nullptr))->size(), 1u);
  EXPECT_EQ((*create_path(g, path_of("(x)-[]->(:T)"), set_of({once}), nullptr))->size(), 0u);
}

TEST(CreatePathLimits, WithoutCounterEveryMatchCreates) {
  Graph g;
  std::vector<MatchPtr> frames;
  std::vector<std::string> types;
  for (int i = 0; i < 4; ++i) {
    types.push_back(fmt::format("N{}", i));
    g.insert_type(*ty(types.back()));
    frames.push_back(Match::create());
    bind_var(frames.back(), "T=type:" + types.back());
  }
  auto result = create_path(g, path_of("(n:T)"), set_of(frames), nullptr);
  ASSERT_TRUE(result) << errors::format_report(result.error());
  EXPECT_EQ(entries_of(*result).size(), 4u);
  EXPECT_EQ(created_count(g, types), 4u);
}

TEST(CreatePathLimits, FailedCreationKeepsNodesAndGivesItsUnitBack) {
  Graph g(make_constants({kArrowConstant}));
  MatchPtr root = Match::create();
  root->set_counter(1);
  auto failed = create_path(g, path_of("(x:A)-[e]->(x:B)"), set_of({root}), nullptr);
  ASSERT_FALSE(failed);
  EXPECT_EQ(texts_of(failed.error()), std::vector<std::string>{kCreatePath});
  EXPECT_EQ(node_texts(g), std::vector<std::string>{"Node(A: {})"});

  EXPECT_EQ((*create_path(g, path_of("(:C)"), set_of({root}), nullptr))->size(), 1u);
  EXPECT_EQ((*create_path(g, path_of("(:D)"), set_of({root}), nullptr))->size(), 0u);
  // Once the count is spent, a match is dropped before inference could fail.
  auto skipped = create_path(g, path_of("(a:*)"), set_of({root}), nullptr);
  ASSERT_TRUE(skipped) << errors::format_report(skipped.error());
  EXPECT_TRUE((*skipped)->empty());
}

// Creations whose nodes' terms propagate through many stored edges, on more
// threads than units: holders wait for nested work while others block for a
// unit. Matches 0..kFresh-1 add new nodes; the rest find everything stored.
struct StressOutcome {
  std::size_t entries = 0;
  std::size_t fresh_entries = 0;
  std::size_t fresh_nodes = 0;
  std::size_t propagated = 0;
};

constexpr int kFresh = 20;
constexpr int kStale = 6;
constexpr unsigned kLimit = 3;

StressOutcome stress_once() {
  Graph g(make_constants({{"tc", "(X:*)"}}));
  const CreatedFlag flag = new_created_flag();
  auto basic = [](std::string name, TypePtr type) { return Term(typing::BasicTerm{std::move(name), std::move(type)}); };
  MatchPtr limited = Match::create();
  limited->set_counter(kLimit);
  std::vector<MatchPtr> frames;
  for (int i = 0; i < kFresh + kStale; ++i) {
    const TypePtr s = ty(fmt::format("S{}", i)), n = ty(fmt::format("N{}", i));
    g.insert_type(*n);
    (void)g.add_node(s, std::nullopt, PropertyMap(), flag);
    for (int j = 0; j < 12; ++j) {
      const TypePtr u = ty(fmt::format("U{}x{}", i, j));
      (void)g.add_node(u, std::nullopt, PropertyMap(), flag);
      (void)g.add_edge(basic(fmt::format("f{}x{}", i, j), typing::make_arrow(s, u)), PropertyMap(), flag);
      for (int k = 0; k < 3; ++k) {
        const TypePtr v = ty(fmt::format("V{}x{}x{}", i, j, k));
        (void)g.add_node(v, std::nullopt, PropertyMap(), flag);
        (void)g.add_edge(basic(fmt::format("g{}x{}x{}", i, j, k), typing::make_arrow(u, v)), PropertyMap(), flag);
      }
    }
    if (i >= kFresh) {
      (void)g.add_node(s, basic("tc", s), PropertyMap(), flag);
      (void)g.add_node(n, std::nullopt, PropertyMap(), flag);
      (void)g.add_edge(basic("tc", typing::make_arrow(s, n)), PropertyMap(), flag);
    }
    frames.push_back(Match::create(limited));
    (void)frames.back()->insert("s", MatchElement::type(uid_of(s)));
    (void)frames.back()->insert("t", MatchElement::type(uid_of(n)));
  }

  auto result = create_path(g, path_of("(a:s)-[e]->(b:t)"), set_of(frames), nullptr);
  StressOutcome out;
  if (!result) {
    ADD_FAILURE() << errors::format_report(result.error());
    return out;
  }
  for (const auto& entry : entries_of(*result)) {
    ++out.entries;
    const std::string made = *g.type_to_string(entry.prev_uid);
    const int i = std::stoi(made.substr(1));
    if (i < kFresh) {
      ++out.fresh_entries;
      out.propagated += g.has_term(uid_of(fmt::format("V{}x11x2", i)));
    }
  }
  for (int i = 0; i < kFresh; ++i) out.fresh_nodes += g.has_node(uid_of(fmt::format("N{}", i)));
  return out;
}

TEST(CreatePathLimits, ManyThreadsNeverExceedTheCount) {
  tbb::global_control parallelism(tbb::global_control::max_allowed_parallelism, 16);
  tbb::task_arena arena(16);
  for (int run = 0; run < 200; ++run) {
    auto done = std::async(std::launch::async, [&] { return arena.execute([] { return stress_once(); }); });
    if (done.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
      std::fprintf(stderr, "path creation under a limit hung in run %d\n", run);
      std::abort();
    }
    const StressOutcome out = done.get();
    ASSERT_EQ(out.fresh_entries, kLimit) << "run " << run;
    ASSERT_EQ(out.fresh_nodes, kLimit) << "run " << run;
    ASSERT_EQ(out.propagated, kLimit) << "run " << run;
    ASSERT_GE(out.entries, kLimit) << "run " << run;
    ASSERT_LE(out.entries, kLimit + kStale) << "run " << run;
  }
}

}  // namespace
}  // namespace velmora::graph
