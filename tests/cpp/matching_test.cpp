// Node, edge and path matching against a small store: tables over the
// candidates, bindings, directions, subsets, property comparisons and
// failures, then the parallel behaviour on a large store.
#include "graph/matches/matching.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <tbb/global_control.h>
#include <tbb/task_arena.h>
#include <tbb/task_scheduler_observer.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "graph/create.hpp"
#include "graph/inspect.hpp"
#include "graph/matches/matching.hpp"
#include "graph/matches/walk_order.hpp"
#include "graph/schema.hpp"
#include "graph/store.hpp"
#include "pool_support.hpp"
#include "store_test_support.hpp"
#include "utils/panic.hpp"

namespace velmora::graph {
namespace {

using patterns::PathPattern;
using patterns::TypeSchema;

using test_support::basic;
using test_support::ty;
using test_support::uid_of;

// Every type the tables name, so that uids print as their types' texts.
const std::vector<std::string> kTypeTexts = {"A",    "B",     "C",      "D",      "E",      "X",      "P",     "Q",
                                             "Gone", "Ghost", "A -> B", "B -> C", "C -> D", "D -> D", "P -> Q"};
const std::vector<std::string> kVariables = {"T", "a", "b", "c", "e", "e1", "e2", "k", "n", "t", "y"};

std::string name_of(const Uid& uid) {
  static const auto* names = [] {
    auto* map = new std::map<Uid, std::string>;
    for (const auto& text : kTypeTexts) (*map)[uid_of(text)] = text;
    return map;
  }();
  auto it = names->find(uid);
  return it == names->end() ? uid_to_hex(uid) : it->second;
}

// "n=A" binds a node, "e=A>B" an edge, "T=type:A -> B" a type, "t=term:P" a term.
void bind_given(const MatchPtr& m, const std::string& text) {
  const auto eq = text.find('=');
  const std::string name = text.substr(0, eq);
  const std::string value = text.substr(eq + 1);
  Status status;
  if (value.starts_with("type:")) {
    status = m->insert(name, MatchElement::type(uid_of(value.substr(5))));
  } else if (value.starts_with("term:")) {
    status = m->insert(name, MatchElement::term(uid_of(value.substr(5))));
  } else if (const auto arrow = value.find('>'); arrow != std::string::npos) {
    status = m->insert(name, MatchElement::edge({uid_of(value.substr(0, arrow)), uid_of(value.substr(arrow + 1))}));
  } else {
    status = m->insert(name, MatchElement::node(uid_of(value)));
  }
  ASSERT_TRUE(status);
}

std::string show(const MatchElement& e) {
  switch (e.kind()) {
    case MatchElement::Kind::Node: return name_of(e.uid());
    case MatchElement::Kind::Edge: return name_of(e.edge_key().first) + ">" + name_of(e.edge_key().second);
    default: return fmt::format("{}:{}", e.kind_word(), name_of(e.uid()));
  }
}
// "B|a=A b=B e=A>B": prev_uid, then every binding of the chain.
std::string show(const MatchEntry& entry) {
  std::vector<std::string> parts;
  for (const auto& name : kVariables)
    if (auto element = entry.match->get(name)) parts.push_back(name + "=" + show(*element));
  return fmt::format("{}|{}", name_of(entry.prev_uid), fmt::join(parts, " "));
}
std::vector<std::string> rows_of(const MatchSet& set) {
  std::vector<std::string> rows;
  set->for_each_shard([&](const auto& table) {
    for (const auto& [id, entry] : table) rows.push_back(show(entry));
  });
  std::sort(rows.begin(), rows.end());
  return rows;
}

// "{A}" becomes the hex uid of A; positions lose their line numbers.
std::string expand(const std::string& text) {
  static const std::regex kPlaceholder(R"(\{([^}]+)\})");
  std::string out;
  std::size_t last = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), kPlaceholder); it != std::sregex_iterator(); ++it) {
    out += text.substr(last, it->position() - last) + uid_to_hex(uid_of((*it)[1].str()));
    last = it->position() + it->length();
  }
  return out + text.substr(last);
}
std::string drop_line(const std::string& text) { return std::regex_replace(text, std::regex(R"(:[0-9]+\])"), "]"); }
// Context lines, newest first, without their line numbers.
std::vector<std::string> lines_of(const Report& report) {
  std::vector<std::string> out;
  for (const auto& line : report.lines()) out.insert(out.begin(), drop_line(line));
  return out;
}

const std::string kPath = "graph - match path pattern [src/graph/matches/path]";
const std::string kEdge = "graph - match edge pattern [src/graph/matches/edge]";
const std::string kNode = "graph - match node pattern [src/graph/matches/node]";
const std::string kCheckEdge = "check edge matches [src/graph/matches/edge]";
const std::string kCheckNode = "check node matches [src/graph/matches/node]";

struct Failure {
  std::string message;  // with "{T}" placeholders for uids
  std::vector<std::string> lines;
};

struct Case {
  std::string label;
  std::string pattern;
  std::vector<std::string> given = {};
  std::optional<std::vector<std::string>> subset = {};
  std::vector<std::string> rows = {};
  std::optional<Failure> failure = {};
  std::function<void(Graph&)> corrupt = {};
};
Case fails(std::string label, std::string pattern, std::vector<std::string> given, Failure failure,
           std::function<void(Graph&)> corrupt = {}) {
  return {std::move(label), std::move(pattern), std::move(given), {}, {}, std::move(failure), std::move(corrupt)};
}
void PrintTo(const Case& c, std::ostream* os) { *os << c.pattern; }
std::string case_name(const ::testing::TestParamInfo<Case>& info) { return info.param.label; }

std::vector<Constant> constants() { return {*Constant::create("k", "P -> Q")}; }

// Nodes A {n: 1, s: "x", z: null}, B {n: 2}, C {n: 1.0}, D {} without terms,
// joined by the edges f: A -> B {w: 1}, g: B -> C, h: C -> D {w: 2.5} and the
// loop l: D -> D; X (term x) alone; P (term p) -k-> Q, so Q has the term
// (k p). E is a stored type that is not a node.
class MatchingStore : public ::testing::Test {
 protected:
  MatchingStore() : g(constants()) {
    node("A", {{"n", 1}, {"s", "x"}, {"z", Value()}});
    node("B", {{"n", 2}});
    node("C", {{"n", 1.0}});
    node("D", {});
    edge("g", "B -> C", {});
    edge("h", "C -> D", {{"w", 2.5}});
    edge("l", "D -> D", {});
    edge("f", "A -> B", {{"w", 1}});
    node("X", {}, "x");
    node("P", {}, "p");
    node("Q", {});
    edge("k", "P -> Q", {});
    g.insert_type(*ty("E"));
  }

  void node(const char* type, PropertyEntries props, std::optional<std::string> term = {}) {
    std::optional<Term> t;
    if (term) t = basic(*term, type);
    ASSERT_TRUE(g.add_node(ty(type), t, PropertyMap(std::move(props)), new_created_flag()));
  }
  void edge(const char* name, const char* type, PropertyEntries props) {
    ASSERT_TRUE(g.add_edge(basic(name, type), PropertyMap(std::move(props)), new_created_flag()));
  }

  MatchSet input(const std::vector<std::string>& given) {
    MatchPtr root = Match::create();
    for (const auto& text : given) bind_given(root, text);
    MatchSet set = new_match_set();
    set->insert(0, MatchEntry{Uid{}, root});
    return set;
  }
  static NodeUidSetPtr subset_of(const std::optional<std::vector<std::string>>& names) {
    if (!names) return nullptr;
    auto set = std::make_shared<NodeUidSet>();
    for (const auto& name : *names) set->insert(uid_of(name));
    return set;
  }

  void verify(const Case& c, const Result<MatchSet>& result) {
    if (c.failure) {
      ASSERT_FALSE(result.has_value()) << fmt::format("{}", fmt::join(rows_of(*result), ", "));
      EXPECT_EQ(drop_line(result.error().current_context().message()), expand(c.failure->message));
      EXPECT_EQ(lines_of(result.error()), c.failure->lines);
      return;
    }
    ASSERT_TRUE(result.has_value()) << errors::format_report(result.error());
    std::vector<std::string> expected = c.rows;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(rows_of(*result), expected);
  }

  Graph g;
};

const std::vector<std::string> kAllNodes = {"A|n=A", "B|n=B", "C|n=C", "D|n=D", "P|n=P", "Q|n=Q", "X|n=X"};

// ---- the first node of a path: match_node_pattern ---------------------------

class MatchingNode : public MatchingStore, public ::testing::WithParamInterface<Case> {};

TEST_P(MatchingNode, ExtendsEveryMatch) {
  const Case& c = GetParam();
  auto path = PathPattern::create(c.pattern);
  ASSERT_TRUE(path) << errors::format_report(path.error());
  verify(c, matches::match_node_pattern(g, path->nodes()[0], input(c.given), subset_of(c.subset)));
}

INSTANTIATE_TEST_SUITE_P(
    Matching, MatchingNode,
    ::testing::Values(
        Case{"BoundNode", "(n)", {"n=A"}, {}, {"A|n=A"}},
        Case{"BoundNodeOutsideSubset", "(n)", {"n=A"}, {{"B"}}, {"A|n=A"}},
        Case{"BoundNodeNoLongerStored", "(n)", {"n=Gone"}, {}, {"Gone|n=Gone"}},
        Case{"BoundNodeFailsTypeSchema", "(n:B)", {"n=A"}},
        Case{"BoundNodePassesTypeSchema", "(n:A)", {"n=A"}, {}, {"A|n=A"}},
        Case{"BoundNodeFailsBlock", "(n {n: 2})", {"n=A"}},
        Case{"BoundNodeTermCheckBindsInChild", "(n::t)", {"n=Q"}, {}, {"Q|n=Q t=term:Q"}},
        fails("BoundToEdge", "(n)", {"n=A>B"},
              {"Context Conflict: tried to assign variable 'n' currently holding a 'edge' to a 'node' "
               "(match node pattern)",
               {kNode}}),
        fails("BoundNodeWithoutTerm", "(n:*:*)", {"n=A"},
              {"Term with Uid: '{A}' not found (check term matches)", {kNode}}),
        Case{"TypeSchemaYieldsNodesOnly", "(n:*)", {}, {}, kAllNodes},
        Case{"TypeSchemaWithinSubset", "(n:*)", {}, {{"A", "X", "E", "Ghost"}}, {"A|n=A", "E|n=E", "X|n=X"}},
        Case{"TypeSchemaCapture", "(n:(T:P))", {}, {}, {"P|T=type:P n=P"}},
        Case{"TermSchemaSkipsNodesWithoutTerm", "(n:*:*)", {}, {}, {"P|n=P", "Q|n=Q", "X|n=X"}},
        Case{"TermSchemaAlone", "(n::*)", {}, {}, {"P|n=P", "Q|n=Q", "X|n=X"}},
        Case{"TermSchemaBindsTerms", "(n::k y)", {}, {}, {"Q|k=term:P -> Q n=Q y=term:P"}},
        Case{"TermSchemaWithinSubset", "(n::*)", {}, {{"Q", "A"}}, {"Q|n=Q"}},
        Case{"EveryNode", "(n)", {}, {}, kAllNodes},
        Case{"NoVariable", "()", {}, {}, {"A|", "B|", "C|", "D|", "P|", "Q|", "X|"}},
        Case{"SubsetMembersAreTheCandidates", "(n)", {}, {{"A", "Ghost"}}, {"A|n=A", "Ghost|n=Ghost"}},
        Case{"SubsetMemberNotANodeWithBlock",
             "(n {})",
             {},
             {{"A", "Ghost"}},
             {},
             Failure{"Node with Uid: '{Ghost}' not found (check node matches properties)", {kNode}}},
        Case{"EmptyBlockAcceptsEveryNode", "(n {})", {}, {}, kAllNodes}, Case{"MissingKeyIsNoMatch", "(n {w: 1})"},
        Case{"IntegerIsNotFloat", "(n {n: 1})", {}, {}, {"A|n=A"}},
        Case{"FloatIsNotInteger", "(n {n: 1.0})", {}, {}, {"C|n=C"}},
        Case{"FloatTolerance", "(n {n: 0.9999999999999999})", {}, {}, {"C|n=C"}},
        Case{"FloatToleranceIsStrict", "(n {n: 1.0000000000000002})"}, Case{"BooleanIsNotInteger", "(n {n: true})"},
        Case{"StringsCompareBytes", "(n {s: 'x'})", {}, {}, {"A|n=A"}}, Case{"StringsKeepCase", "(n {s: 'X'})"},
        Case{"EmptyValueEqualsNothing", "(n {z: null})"},
        Case{"EveryKeyMustMatch", "(n {n: 1, s: 'x'})", {}, {}, {"A|n=A"}},
        Case{"OneUnequalKeyFails", "(n {n: 2, s: 'x'})"},
        fails("CaptureNamedLikeVariable", "(n:(n:P))", {},
              {"Variable already exists: 'n' (match insert [src/matches])", {kNode}}),
        fails("CandidateTermCheckFails", "(n:*:@Missing())", {},
              {"Constant Not Found: 'Missing' (check term matches [src/graph/matches/term_schema])", {kNode}}),
        fails("TypeScanFails", "(n:(T:*) -> (T:*))", {},
              {"Variable already exists: 'T' (match insert [src/matches])",
               {kNode, "graph - match type schema [src/graph/matches/type_schema]",
                "graph - match type pattern [src/graph/matches/type_schema]",
                "graph - match type pattern [src/graph/matches/type_schema]",
                "graph - check type matches [src/graph/matches/type_schema]",
                "graph - check type matches [src/graph/matches/type_schema]"}})),
    case_name);

TEST_F(MatchingStore, MatchingNodeBoundKeepsInputFrameAndNewBindingsStayOutOfIt) {
  MatchSet given = input({"n=A"});
  const MatchPtr frame = given->get(0)->match;
  auto bound = matches::match_node_pattern(g, PathPattern::create("(n)")->nodes()[0], given, nullptr);
  ASSERT_TRUE(bound);
  ASSERT_EQ((*bound)->size(), 1u);
  (*bound)->for_each_shard([&](const auto& t) {
    for (const auto& [id, entry] : t) EXPECT_EQ(entry.match, frame);
  });

  MatchSet root = input({});
  auto fresh = matches::match_node_pattern(g, PathPattern::create("(n::*)")->nodes()[0], root, nullptr);
  ASSERT_TRUE(fresh);
  std::set<const Match*> frames;
  (*fresh)->for_each_shard([&](const auto& t) {
    for (const auto& [id, entry] : t) {
      frames.insert(entry.match.get());
      EXPECT_EQ(entry.match->parent(), root->get(0)->match);
    }
  });
  EXPECT_EQ(frames.size(), 3u);
  EXPECT_FALSE(root->get(0)->match->contains_key("n"));
}

TEST_F(MatchingStore, MatchingNodeTwoInputsGetDistinctIds) {
  MatchSet two = input({"n=A"});
  two->insert(1, MatchEntry{Uid{}, Match::create()});
  auto result = matches::match_node_pattern(g, PathPattern::create("(n)")->nodes()[0], two, nullptr);
  ASSERT_TRUE(result);
  EXPECT_EQ((*result)->size(), 8u);  // A from the bound input, every node from the other
  const auto rows = rows_of(*result);
  EXPECT_EQ(std::count(rows.begin(), rows.end(), "A|n=A"), 2);

  auto empty = matches::match_node_pattern(g, PathPattern::create("(n)")->nodes()[0], new_match_set(), nullptr);
  ASSERT_TRUE(empty);
  EXPECT_TRUE((*empty)->empty());
}

// ---- whole paths: match_path_pattern -----------------------------------------

class MatchingPath : public MatchingStore, public ::testing::WithParamInterface<Case> {};

TEST_P(MatchingPath, MatchesWholePaths) {
  const Case& c = GetParam();
  if (c.corrupt) c.corrupt(g);
  auto path = PathPattern::create(c.pattern);
  ASSERT_TRUE(path) << errors::format_report(path.error());
  verify(c, match_path_pattern(g, *path, input(c.given), subset_of(c.subset)));
}

INSTANTIATE_TEST_SUITE_P(
    Matching, MatchingPath,
    ::testing::Values(
        Case{"OneNode", "(n:*:*)", {}, {}, {"P|n=P", "Q|n=Q", "X|n=X"}},
        Case{"Forward", "(a:A)-[e]->(b)", {}, {}, {"B|a=A b=B e=A>B"}},
        Case{"Backward", "(b:B)<-[e]-(a)", {}, {}, {"A|a=A b=B e=A>B"}}, Case{"NoOutgoingEdge", "(a:X)-[e]->(b)"},
        Case{"SameVariableBothSidesIsSelfLoop", "(a)-[e]->(a)", {}, {}, {"D|a=D e=D>D"}},
        Case{"EveryEdge",
             "(a)-[e]->(b)",
             {},
             {},
             {"B|a=A b=B e=A>B", "C|a=B b=C e=B>C", "D|a=C b=D e=C>D", "D|a=D b=D e=D>D", "Q|a=P b=Q e=P>Q"}},
        Case{"TwoHops", "(a:A)-[e1]->(b)-[e2]->(c)", {}, {}, {"C|a=A b=B c=C e1=A>B e2=B>C"}},
        Case{"BoundEdgeLeavingNode", "(a:A)-[e]->(b)", {"e=A>B"}, {}, {"B|a=A b=B e=A>B"}},
        Case{"BoundEdgeNotLeavingNode", "(a:B)-[e]->(b)", {"e=A>B"}},
        Case{"BoundEdgeEnteringNode", "(b:B)<-[e]-(a)", {"e=A>B"}, {}, {"A|a=A b=B e=A>B"}},
        Case{"BoundEdgeIgnoresSubset", "(a)-[e]->(b)", {"a=A", "e=A>B"}, {{"C"}}, {"B|a=A b=B e=A>B"}},
        Case{"SubsetNeedsBothEnds", "(a)-[e]->(b)", {}, {{"A", "B", "C"}}, {"B|a=A b=B e=A>B", "C|a=B b=C e=B>C"}},
        // An unnamed edge without schemas or block: the edge and the node behind it in one pass.
        Case{"PlainSubsetNeedsBothEnds", "(a)-[]->(b)", {}, {{"A", "B", "C"}}, {"B|a=A b=B", "C|a=B b=C"}},
        Case{"PlainBackwardSubset", "(b)<-[]-(a)", {}, {{"A", "B"}}, {"A|a=A b=B"}},
        Case{"PlainTwoHops", "(a:A)-[]->(b)-[]->(c)", {}, {}, {"C|a=A b=B c=C"}},
        Case{"PlainNodeBoundToOtherNode", "(a:A)-[]->(b)", {"b=C"}},
        Case{"PlainNodeBoundToThatNode", "(a:A)-[]->(b)", {"b=B"}, {}, {"B|a=A b=B"}},
        Case{"PlainNodeFailsSchema", "(a:A)-[]->(b:C)"},
        Case{"EdgeTypeSchema", "(a)-[e:A -> B]->(b)", {}, {}, {"B|a=A b=B e=A>B"}},
        Case{"EdgeTypeCapture", "(a)-[e:(T:*)]->(b:Q)", {}, {}, {"Q|T=type:P -> Q a=P b=Q e=P>Q"}},
        Case{"EdgeTermConstant", "(a)-[e::@k()]->(b)", {}, {}, {"Q|a=P b=Q e=P>Q"}},
        Case{"EdgeTermVariable", "(a)-[e::t]->(b:B)", {}, {}, {"B|a=A b=B e=A>B t=term:A -> B"}},
        Case{"EdgeTermVariableBoundElsewhere",
             "(a)-[e::t]->(b)",
             {"t=term:P -> Q"},
             {},
             {"Q|a=P b=Q e=P>Q t=term:P -> Q"}},
        Case{"EdgeBlockInteger", "(a)-[e {w: 1}]->(b)", {}, {}, {"B|a=A b=B e=A>B"}},
        Case{"EdgeBlockFloat", "(a)-[e {w: 2.5}]->(b)", {}, {}, {"D|a=C b=D e=C>D"}},
        Case{"EdgeBlockKindsDiffer", "(a)-[e {w: 1.0}]->(b)"}, Case{"NodeBehindEdgeFailsSchema", "(a:A)-[e]->(b:C)"},
        Case{"NodeVariableBoundToOtherNode", "(a:A)-[e]->(b)", {"b=C"}},
        Case{"NodeVariableBoundToThatNode", "(a:A)-[e]->(b)", {"b=B"}, {}, {"B|a=A b=B e=A>B"}},
        Case{"NodeBehindEdgeTermSchema", "(a:P)-[e]->(b::k y)", {}, {}, {"Q|a=P b=Q e=P>Q k=term:P -> Q y=term:P"}},
        fails("NodeBehindEdgeWithoutTerm", "(a:A)-[e]->(b::*)", {},
              {"Term with Uid: '{B}' not found (check term matches)", {kPath, kPath, kCheckNode}}),
        fails("EdgeVariableBoundToNode", "(a:A)-[e]->(b)", {"e=B"},
              {"Context Conflict: tried to assign variable 'e' currently holding a 'node' to a 'edge'",
               {kPath, kEdge}}),
        fails("LaterNodeVariableBoundToEdge", "(a:A)-[e]->(b)", {"b=C>D"},
              {"Context Conflict: tried to assign variable 'b' currently holding a 'edge' to a 'node' "
               "(get previously matched element)",
               {kPath, kPath}}),
        fails("NodeBehindEdgeCapturesItsOwnName", "(a:A)-[e]->(b:(b:*))", {},
              {"Context Conflict: tried to assign variable 'b' currently holding a 'type' to a 'node' "
               "(get previously matched element)",
               {kPath, kPath}}),
        fails("FirstNodeFails", "(n)-[e]->(b)", {"n=A>B"},
              {"Context Conflict: tried to assign variable 'n' currently holding a 'edge' to a 'node' "
               "(match node pattern)",
               {kPath, kNode}}),
        fails("EdgeCaptureNamedLikeVariable", "(a:A)-[e:(e:*)]->(b)", {},
              {"Variable already exists: 'e' (match insert [src/matches])", {kPath, kEdge}}),
        fails("EdgeConstantMissing", "(a:A)-[e::@Missing()]->(b)", {},
              {"Constant Not Found: 'Missing' (check term matches [src/graph/matches/term_schema])",
               {kPath, kEdge, kCheckEdge}}),
        fails("NodeCountNotEdgesPlusOne", "(a)(b)", {},
              {"Invalid Pattern; '(a)(b)': the number of nodes should be the number of edges plus 1", {kPath}}),
        fails("EdgeWithoutTypeRow", "(a:A)-[e]->(b)", {},
              {"Index Corruption: 'missing type for edge in edge_to_type_index' (check edge matches)", {kPath, kEdge}},
              [](Graph& g) {
                // The edge's row alone, its place in the nodes' lists kept.
                Inspect::edges(g).remove(*g.edge_id({uid_of("A"), uid_of("B")}));
              }),
        // An edge's type and its map are one row: without it, the edge has no type.
        fails("EdgeBlockWithoutEdgeRow", "(a:A)-[e {w: 1}]->(b)", {},
              {"Index Corruption: 'missing type for edge in edge_to_type_index' (check edge matches)", {kPath, kEdge}},
              [](Graph& g) {
                Inspect::edges(g).remove(*g.edge_id({uid_of("A"), uid_of("B")}));
              }),
        // A bound node is not looked up: its row, edge lists included, may be gone.
        fails("ForwardWithoutStartRow", "(a)-[e]->(b)", {"a=A"},
              {"Index Corruption: 'prev_uid should be pointing at a valid node, and it dos not have an entry in "
               "the StartToEdgeIndex' (graph - match edge pattern)",
               {kPath}},
              [](Graph& g) { Inspect::nodes(g).remove(*g.type_id(uid_of("A"))); }),
        fails("BackwardWithoutEndRow", "(b)<-[e]-(a)", {"b=B"},
              {"Index Corruption: 'prev_uid should be pointing at a valid node, and it dos not have an entry in "
               "the StartToEdgeIndex' (graph - match edge pattern)",
               {kPath}},
              [](Graph& g) { Inspect::nodes(g).remove(*g.type_id(uid_of("B"))); }),
        fails("ReachedNodeNotStored", "(a:A)-[e]->(b)", {},
              {"Index Corruption: 'previously matched node should exist in NodeIndex' "
               "(checking node matches pattern [src/graph/matches/path])",
               {kPath}},
              [](Graph& g) { Inspect::nodes(g).remove(*g.type_id(uid_of("B"))); })),
    case_name);

TEST_F(MatchingStore, MatchingPathContextKeepsItsPosition) {
  Inspect::nodes(g).remove(*g.type_id(uid_of("B")));  // the row alone, the edge A -> B kept
  auto result = match_path_pattern(g, *PathPattern::create("(a:A)-[e]->(b)"), input({}), nullptr);
  ASSERT_FALSE(result);
  const auto* error = result.error().current_context().get<errors::IndexCorruption>();
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(std::regex_match(*error->context,
                               std::regex(R"(checking node matches pattern \[src/graph/matches/path:[0-9]+\])")))
      << *error->context;
  EXPECT_TRUE(std::regex_match(result.error().lines().back(),
                               std::regex(R"(graph - match path pattern \[src/graph/matches/path:[0-9]+\])")));
}

TEST_F(MatchingStore, MatchingPathEachInputGoesItsOwnWay) {
  MatchSet two = input({"a=A"});
  MatchPtr other = Match::create();
  bind_given(other, "a=B");
  two->insert(7, MatchEntry{Uid{}, other});
  auto result = match_path_pattern(g, *PathPattern::create("(a)-[e]->(b)"), two, nullptr);
  ASSERT_TRUE(result) << errors::format_report(result.error());
  EXPECT_EQ(rows_of(*result), (std::vector<std::string>{"B|a=A b=B e=A>B", "C|a=B b=C e=B>C"}));
  EXPECT_EQ((*result)->size(), 2u);  // distinct ids
  EXPECT_EQ(two->size(), 2u);        // the input is left as it was
  EXPECT_FALSE(other->contains_key("b"));
}

// The any direction is refused with a fault once a match reaches that edge.
TEST_F(MatchingStore, MatchingPathAnyDirection) {
  const auto run = [&](const char* pattern, MatchSet given) {
    return match_path_pattern(g, *PathPattern::create(pattern), std::move(given), nullptr);
  };
  for (const auto& [pattern, given] : std::vector<std::pair<const char*, std::vector<std::string>>>{
           {"(a:A)-[e]-(b)", {}}, {"(a:A)-[e]-(b)", {"e=A>B"}}, {"(a:A)[e](b)", {}}}) {
    try {
      (void)run(pattern, input(given));
      ADD_FAILURE() << pattern << " did not fault";
    } catch (const Panic& fault) {
      EXPECT_STREQ(fault.what(), "not yet implemented: any direction not supported yet");
    }
  }
  // No match reaches the edge: no fault.
  auto none = run("(a:Ghost)-[e]-(b)", input({}));
  ASSERT_TRUE(none);
  EXPECT_TRUE((*none)->empty());
  auto empty = run("(a)-[e]-(b)", new_match_set());
  ASSERT_TRUE(empty);
  EXPECT_TRUE((*empty)->empty());
  // An edge variable holding a node fails before the direction is looked at.
  auto conflict = run("(a:A)-[e]-(b)", input({"e=B"}));
  ASSERT_FALSE(conflict);
  EXPECT_TRUE(conflict.error().current_context().is<errors::ContextConflict>());
}

// ---- parallel behaviour -------------------------------------------------------

class ThreadsSeen : public tbb::task_scheduler_observer {
 public:
  // The pool calls on_scheduler_entry from its own threads; the tsan calls state
  // the edges its observer list makes (see utils/tsan.hpp).
  explicit ThreadsSeen(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) {
    utils::tsan::release(this);
    observe(true);
  }
  ~ThreadsSeen() override {
    observe(false);
    utils::tsan::acquire(this);
  }
  void on_scheduler_entry(bool) override {
    utils::tsan::acquire(this);
    {
      std::lock_guard lock(mutex_);
      ids_.insert(std::this_thread::get_id());
    }
    utils::tsan::release(this);
  }
  std::size_t count() {
    std::lock_guard lock(mutex_);
    return ids_.size();
  }

 private:
  std::mutex mutex_;
  std::set<std::thread::id> ids_;
};

TEST(MatchingParallel, LargeScanUsesThePoolAndAgreesWithOneThread) {
  constexpr int kNodes = 100'000;
  Graph g;
  const auto created = new_created_flag();
  std::vector<TypePtr> types;
  for (int i = 0; i < kNodes; ++i) {
    types.push_back(typing::make_type(typing::Variable{fmt::format("T{}", i)}));
    ASSERT_TRUE(g.add_node(types.back(), std::nullopt, PropertyMap(PropertyEntries{{"k", i % 10}}), created));
  }
  for (int i = 0; i < kNodes; ++i) {
    const Term edge = typing::BasicTerm{fmt::format("e{}", i), typing::make_arrow(types[i], types[(i + 1) % kNodes])};
    ASSERT_TRUE(g.add_edge(edge, PropertyMap(), created));
  }
  const auto path = *PathPattern::create("(a {k: 7})-[e]->(b)");
  const auto run = [&] {
    MatchSet root = new_match_set();
    root->insert(0, MatchEntry{Uid{}, Match::create()});
    auto result = match_path_pattern(g, path, root, nullptr);
    EXPECT_TRUE(result);
    std::vector<std::string> rows;
    (*result)->for_each_shard([&](const auto& t) {
      for (const auto& [id, entry] : t)
        rows.push_back(fmt::format("{} {} {} {}", uid_to_hex(entry.prev_uid), uid_to_hex(entry.match->get("a")->uid()),
                                   uid_to_hex(entry.match->get("e")->edge_key().first),
                                   uid_to_hex(entry.match->get("b")->uid())));
    });
    std::sort(rows.begin(), rows.end());
    return rows;
  };

  const int threads = static_cast<int>(
      std::min<std::size_t>(std::thread::hardware_concurrency(),
                            tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism)));
  tbb::task_arena many(std::max(threads, 1));
  many.initialize();
  ThreadsSeen seen(many);
  const auto parallel = many.execute(run);
  tbb::task_arena one(1);
  const auto serial = one.execute(run);

  EXPECT_EQ(parallel.size(), static_cast<std::size_t>(kNodes / 10));
  EXPECT_EQ(parallel, serial);
  if (threads < 2) GTEST_SKIP() << "a single hardware thread";
  EXPECT_GT(seen.count(), 1u);
}

// Unnamed edges over a random store, against a model of its edge lists:
// long runs of matches walk their nodes' lists in batches, a hub's list goes
// to the pool, both directions and two steps; and a reached node whose row
// is gone still fails with its error.
TEST(MatchingParallel, UnnamedEdgeStepsAgreeWithAModelOfTheEdges) {
  constexpr int kNodes = 20000;  // enough for runs of several hundred matches
  Graph g;
  const auto created = new_created_flag();
  std::vector<TypePtr> types;
  std::vector<Uid> uids;
  for (int i = 0; i < kNodes; ++i) {
    types.push_back(typing::make_type(typing::Variable{fmt::format("N{}", i)}));
    auto uid = g.add_node(types.back(), std::nullopt, PropertyMap(PropertyEntries{{"k", i % 7}}), created);
    ASSERT_TRUE(uid);
    uids.push_back(*uid);
  }
  std::mt19937 rng(7);
  std::set<std::pair<int, int>> edges;
  while (edges.size() < 4 * kNodes) edges.emplace(rng() % kNodes, rng() % kNodes);  // self-loops included
  for (int i = 1; i < 700; ++i) edges.emplace(0, i);  // node 0: a list longer than a light loop's
  for (const auto& [a, b] : edges) {
    const Term edge = typing::BasicTerm{"f", typing::make_arrow(types[a], types[b])};
    ASSERT_TRUE(g.add_edge(edge, PropertyMap(), created));
  }
  const auto hex = [&](int i) { return uid_to_hex(uids[i]); };
  const auto rows = [&](const char* pattern, std::vector<std::string> names) {
    MatchSet root = new_match_set();
    root->insert(0, MatchEntry{Uid{}, Match::create()});
    auto result = match_path_pattern(g, *PathPattern::create(pattern), root, nullptr);
    EXPECT_TRUE(result) << pattern;
    std::vector<std::string> out;
    if (!result) return out;
    (*result)->for_each_shard([&](const auto& t) {
      for (const auto& [id, entry] : t) {
        std::string row = uid_to_hex(entry.prev_uid);
        for (const auto& name : names) row += " " + uid_to_hex(entry.match->get(name)->uid());
        out.push_back(row);
      }
    });
    std::sort(out.begin(), out.end());
    return out;
  };
  std::vector<std::string> forward, backward, two_steps;
  for (const auto& [a, b] : edges) {
    forward.push_back(hex(b) + " " + hex(a) + " " + hex(b));
    backward.push_back(hex(a) + " " + hex(b) + " " + hex(a));
    if (a % 7 == 3)
      for (auto it = edges.lower_bound({b, 0}); it != edges.end() && it->first == b; ++it)
        two_steps.push_back(hex(it->second) + " " + hex(a) + " " + hex(b) + " " + hex(it->second));
  }
  for (auto* model : {&forward, &backward, &two_steps}) std::sort(model->begin(), model->end());
  EXPECT_EQ(rows("(a)-[]->(b)", {"a", "b"}), forward);
  EXPECT_EQ(rows("(b)<-[]-(a)", {"b", "a"}), backward);
  EXPECT_EQ(rows("(a {k: 3})-[]->(b)-[]->(c)", {"a", "b", "c"}), two_steps);

  Inspect::nodes(g).remove(*g.type_id(uids[kNodes - 1]));  // the row alone, its edges kept in the lists
  MatchSet root = new_match_set();
  root->insert(0, MatchEntry{Uid{}, Match::create()});
  auto broken = match_path_pattern(g, *PathPattern::create("(a)-[]->(b)"), root, nullptr);
  ASSERT_FALSE(broken);
  EXPECT_EQ(lines_of(broken.error()), std::vector<std::string>{kPath});
  const auto* error = broken.error().current_context().get<errors::IndexCorruption>();
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(drop_line(*error->context), "checking node matches pattern [src/graph/matches/path]");
}

// A step's sink, filled from many threads at once, hands over every entry
// once, each under an id of its own.
TEST(MatchSink, EntriesFromEveryThreadArriveOnceUnderDistinctIds) {
  for (const int n : {0, 1, 700, 40000}) {
    matches::detail::MatchSink sink;
    auto frame = Match::create();
    test_pool::parallel_for(0, n, [&](int i) {
      Uid uid{};
      uid[0] = static_cast<std::uint8_t>(i);
      uid[1] = static_cast<std::uint8_t>(i >> 8);
      uid[2] = static_cast<std::uint8_t>(i >> 16);
      sink.add(MatchEntry{uid, frame});
    });
    MatchSetMap set;
    sink.move_into(set);
    ASSERT_EQ(set.size(), static_cast<std::size_t>(n));
    std::set<std::uint64_t> ids;
    std::set<int> items;
    set.for_each_shard([&](const MatchSetMap::Table& run) {
      for (const auto& [id, entry] : run) {
        ids.insert(id);
        items.insert(entry.prev_uid[0] | entry.prev_uid[1] << 8 | entry.prev_uid[2] << 16);
      }
    });
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(n));
    EXPECT_EQ(items.size(), static_cast<std::size_t>(n));
  }
}

// A path walked from its most selective node, against the same path walked
// from its first node, over random paths on a random store: both give the
// same matches (the same bindings) or the same failure. The paths mix what
// lets the walk start elsewhere (bound nodes, one-type schemas, indexed
// node and edge blocks) with what keeps the written order (captures, term schemas, names
// used twice, bindings of another kind or to removed nodes, no direction).
TEST(MatchingWalkOrder, EveryStartAgreesWithTheWrittenOrder) {
  constexpr int kNodes = 40;
  Graph g;
  const auto created = new_created_flag();
  std::mt19937 rng(20261208);
  const auto pick = [&](std::size_t n) { return static_cast<int>(rng() % n); };
  const auto type_of = [](int i) { return typing::make_type(typing::Variable{fmt::format("N{}", i)}); };
  for (int i = 0; i < kNodes; ++i) {
    std::optional<Term> term;
    if (i % 3 == 0) term = Term(typing::BasicTerm{fmt::format("t{}", i), type_of(i)});
    ASSERT_TRUE(g.add_node(type_of(i), term, PropertyMap(PropertyEntries{{"k", i % 5}}), created));
  }
  std::set<std::pair<int, int>> pairs;
  while (pairs.size() < 160) pairs.emplace(pick(kNodes), pick(kNodes));
  for (const auto& [a, b] : pairs) {
    const Term edge = typing::BasicTerm{fmt::format("f{}_{}", a, b), typing::make_arrow(type_of(a), type_of(b))};
    ASSERT_TRUE(g.add_edge(edge, PropertyMap(PropertyEntries{{"r", (a + b) % 3}, {"s", (7 * a + b) % 20}}), created));
  }
  const Uid removed = *g.add_node(type_of(kNodes), std::nullopt, PropertyMap(), created);
  ASSERT_TRUE(g.remove_node(removed));

  const std::vector<std::string> names = {"a", "b", "c", "e", "x", "X", "t"};
  const auto node_text = [&] {
    std::string parts;
    if (pick(2) == 0) parts += names[pick(3)];
    const int schema = pick(20);
    std::string type;
    if (schema < 8) type = fmt::format("N{}", pick(kNodes));
    if (schema == 8) type = "(X:*)";
    if (schema == 9) type = "*";
    if (schema == 10) type = names[pick(names.size())];
    const std::string term = pick(20) == 0 ? (pick(2) == 0 ? "t" : "*") : "";
    if (!term.empty() && type.empty()) type = "*";
    if (!type.empty()) parts += ":" + type;
    if (!term.empty()) parts += ":" + term;
    if (pick(3) == 0) parts += fmt::format(" {{k: {}}}", pick(5));
    return "(" + parts + ")";
  };
  const auto edge_text = [&] {
    std::string parts = pick(4) == 0 ? names[3 + pick(2)] : "";
    if (pick(25) == 0) parts += ":(* -> *)";
    switch (pick(6)) {
      case 0: parts += fmt::format(" {{r: {}}}", pick(3)); break;
      case 1: parts += fmt::format(" {{s: {}}}", pick(20)); break;
      case 2: parts += fmt::format(" {{r: {}, s: {}}}", pick(3), pick(20)); break;
      default: break;
    }
    const int direction = pick(21);
    if (direction == 0) return "-[" + parts + "]-";
    return direction % 2 ? "-[" + parts + "]->" : "<-[" + parts + "]-";
  };
  const auto frame = [&]() -> MatchPtr {
    MatchPtr m = Match::create();
    if (pick(3) != 0) return m;
    const std::string name = names[pick(names.size())];
    const Uid node = uid_of(fmt::format("N{}", pick(kNodes)));
    const auto [a, b] = *std::next(pairs.begin(), pick(pairs.size()));
    switch (pick(5)) {
      case 0: EXPECT_TRUE(m->insert(name, MatchElement::node(node))); break;
      case 1: EXPECT_TRUE(m->insert(name, MatchElement::node(removed))); break;
      case 2:
        EXPECT_TRUE(
            m->insert(name, MatchElement::edge({uid_of(fmt::format("N{}", a)), uid_of(fmt::format("N{}", b))})));
        break;
      case 3: EXPECT_TRUE(m->insert(name, MatchElement::type(node))); break;
      default: EXPECT_TRUE(m->insert(name, MatchElement::term(uid_of(fmt::format("N{}", 3 * pick(kNodes / 3))))));
    }
    return m;
  };
  const auto outcome = [&](const PathPattern& path, const MatchPtr& m, bool written) -> std::string {
    MatchSet input = new_match_set();
    input->insert(0, MatchEntry{Uid{}, m});
    try {
      auto result = written ? matches::detail::match_path_in_written_order(g, path, input, nullptr)
                            : match_path_pattern(g, path, input, nullptr);
      if (!result) return errors::format_report(result.error());
      std::vector<std::string> rows;
      (*result)->for_each_shard([&](MatchSetMap::Table run) {
        for (const auto& [id, entry] : run) {
          std::string row = name_of(entry.prev_uid);
          for (const auto& name : names)
            if (const auto bound = entry.match->get(name)) row += " " + name + "=" + show(*bound);
          rows.push_back(row);
        }
      });
      std::sort(rows.begin(), rows.end());
      return fmt::format("{} rows\n{}", rows.size(), fmt::join(rows, "\n"));
    } catch (const Panic& fault) {
      return std::string("fault: ") + fault.what();
    }
  };

  int reordered = 0;
  int by_edge = 0;
  for (int round = 0; round < 1500; ++round) {
    std::string text = node_text();
    for (int edges = 1 + pick(3); edges > 0; --edges) text += edge_text() + node_text();
    const auto path = PathPattern::create(text);
    if (!path) continue;
    const MatchPtr m = frame();
    if (path->validate()) {
      const auto start = matches::WalkOrder(g, *path, nullptr).start(*m);
      if (start.node != 0 || start.by_edge) ++reordered;
      if (start.by_edge) ++by_edge;
    }
    EXPECT_EQ(outcome(*path, m, false), outcome(*path, m, true)) << text;
  }
  EXPECT_GT(reordered, 150);
  EXPECT_GT(by_edge, 20);
}

}  // namespace
}  // namespace velmora::graph
