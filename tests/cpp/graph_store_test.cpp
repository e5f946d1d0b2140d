// The store through its C++ interface: uids, rebuilding, insertion with term
// propagation, removal, and their behaviour under concurrency.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <tbb/parallel_for.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "graph/create.hpp"
#include "graph/inspect.hpp"
#include "graph/matches/matching.hpp"
#include "graph/schema.hpp"
#include "graph/store.hpp"
#include "pool_support.hpp"

namespace velmora::graph {
namespace {

using typing::make_arrow;
using typing::make_type;

TypePtr var(const char* name) { return make_type(*typing::Variable::create(name)); }
Term basic(const char* name, TypePtr type) { return Term(*typing::BasicTerm::create(name, std::move(type))); }
Term apply(const Term& f, const Term& a) { return *f.apply(a); }
Uid uid_of(const TypePtr& t) {
  Graph g;
  return g.insert_type(*t);
}
std::string term_text(const Term& t) {
  if (const auto* b = t.as_basic()) return b->name;
  const auto* a = t.as_application();
  return "(" + term_text(*a->function) + " " + term_text(*a->argument) + ")";
}
std::string stored_term(const Graph& g, const TypePtr& t) {
  auto term = g.term_from_uid(uid_of(t));
  return term ? term_text(*term) : "<" + term.error().current_context().message() + ">";
}
// The message, then each context line without its position, newest first.
std::string report_text(const Report& r) {
  std::string out = r.current_context().message();
  auto lines = r.lines();
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) out += " | " + it->substr(0, it->find(" ["));
  return out;
}

TEST(GraphStore, UidsDigestTheStructure) {
  std::uint8_t expected[32];
  SHA256(reinterpret_cast<const unsigned char*>("var:A"), 5, expected);
  const Uid a = uid_of(var("A"));
  EXPECT_EQ(0, std::memcmp(a.data(), expected, 32));

  std::uint8_t bytes[69];
  std::memcpy(bytes, "arr:", 4);
  std::memcpy(bytes + 4, a.data(), 32);
  bytes[36] = ':';
  std::memcpy(bytes + 37, a.data(), 32);
  SHA256(bytes, 69, expected);
  EXPECT_EQ(0, std::memcmp(uid_of(make_arrow(var("A"), var("A"))).data(), expected, 32));
}

TEST(GraphStore, VariableUidsDigestNamesOfEveryLength) {
  // Around the length up to which the name is digested from a local buffer.
  for (const std::size_t length : {1u, 12u, 13u, 119u, 120u, 121u, 124u, 125u, 255u}) {
    std::string name(length, 'n');
    for (std::size_t i = 0; i < length; ++i) name[i] = static_cast<char>('a' + (i * 7) % 26);
    const std::string digested = "var:" + name;
    std::uint8_t expected[32];
    SHA256(reinterpret_cast<const unsigned char*>(digested.data()), digested.size(), expected);
    Graph g;
    const Uid u = g.insert_type(*var(name.c_str()));
    EXPECT_EQ(0, std::memcmp(u.data(), expected, 32)) << length;
    EXPECT_EQ(*g.type_as_var(u), name) << length;
  }
}

TEST(GraphStore, TypesAndTermsRoundTrip) {
  Graph g;
  const auto t = make_arrow(make_arrow(var("A"), var("B")), var("D"));
  const Uid u = g.insert_type(*t);
  g.insert_type(*t);
  EXPECT_EQ(Inspect::type_count(g), 5u);  // A, B, A -> B, D, (A -> B) -> D
  EXPECT_EQ((*g.type_from_uid(u))->to_string(), "((A -> B) -> D)");

  const Term f = basic("f", make_arrow(var("A"), var("B")));
  const Term x = basic("x", var("A"));
  g.insert_term(apply(f, x));
  EXPECT_EQ(stored_term(g, var("B")), "(f x)");
  EXPECT_EQ(stored_term(g, make_arrow(var("A"), var("B"))), "f");
  EXPECT_EQ(stored_term(g, var("A")), "x");
  // Replacing the function's term changes the rebuilt application.
  g.insert_term(basic("h", make_arrow(var("A"), var("B"))));
  EXPECT_EQ(stored_term(g, var("B")), "(h x)");
  g.insert_term(basic("y", var("B")));
  EXPECT_EQ(stored_term(g, var("B")), "y");
}

TEST(GraphStore, LookUpFailures) {
  Graph g;
  const Uid a = g.insert_type(*var("A"));
  const Uid missing = uid_of(var("Zzz"));
  EXPECT_EQ(report_text(g.term_from_uid(a).error()),
            "Term with Uid: '" + uid_to_hex(a) + "' not found (term from uid)");
  EXPECT_EQ(report_text(g.type_from_uid(missing).error()),
            "Type with Uid: '" + uid_to_hex(missing) + "' not found (type from uid)");
  EXPECT_EQ(report_text(g.type_as_var(missing).error()),
            "Type with Uid: '" + uid_to_hex(missing) + "' not found (type as var)");
  EXPECT_EQ(report_text(g.type_as_arrow(missing).error()),
            "Type with Uid: '" + uid_to_hex(missing) + "' not found (type as arrow)");
  EXPECT_EQ(*g.type_as_var(a), "A");
  EXPECT_FALSE(*g.type_as_arrow(a));
  const Uid arrow = g.insert_type(*make_arrow(var("A"), var("A")));
  EXPECT_FALSE(*g.type_as_var(arrow));
  EXPECT_EQ(*g.type_as_arrow(arrow), (std::pair{a, a}));
  auto edge = g.get_edge_type({a, a});
  EXPECT_EQ(report_text(edge.error()),
            "Edge with Uid: '(" + uid_to_hex(a) + ", " + uid_to_hex(a) + ")' not found (graph - get edge type)");
}

// Rows that cannot be rebuilt. A stored arrow's sides are always stored and a
// term lives in its type's row, so a side or a type cannot be missing;
// a side that fails to rebuild still makes its arrow a broken row.
TEST(GraphStore, CorruptRowsAreReported) {
  Graph g;
  const TypePtr not_valid = make_type(typing::Variable{"not valid"});  // built without the check
  const Uid arrow = g.insert_type(*make_arrow(not_valid, var("A")));
  EXPECT_EQ(report_text(g.type_from_uid(arrow).error()),
            "Index Corruption: 'type repr points to a uid that does not belong to the index!' (type from uid)");
  const Uid a = g.insert_term(basic("a", var("A")));
  EXPECT_TRUE(g.type_from_uid(a));
  EXPECT_EQ(term_text(*g.term_from_uid(a)), "a");
  const Uid bad = TypeRep::variable("not valid").uid();
  EXPECT_EQ(report_text(g.type_from_uid(bad).error()),
            "Invalid Identifier 'not valid': Name cannot contain whitespace | graph - type from uid | variable - new");
}

class GraphInsert : public ::testing::Test {
 protected:
  Graph g;
  CreatedFlag created = new_created_flag();
  Uid node(const TypePtr& t, std::optional<Term> term = std::nullopt, PropertyMap map = PropertyMap::empty()) {
    auto r = g.add_node(t, std::move(term), std::move(map), created);
    EXPECT_TRUE(r) << report_text(r.error());
    return r ? *r : Uid{};
  }
  EdgeKey edge(const Term& term) {
    auto r = g.add_edge(term, PropertyMap::empty(), created);
    EXPECT_TRUE(r) << report_text(r.error());
    return r ? *r : EdgeKey{};
  }
};

TEST_F(GraphInsert, ExistingNodeKeepsItsMapAndCreatedStaysFalse) {
  PropertyMap first;
  first.insert("k", Value(std::int64_t{1}));
  const Uid a = node(var("A"), std::nullopt, first);
  EXPECT_TRUE(created->load());
  created = new_created_flag();
  PropertyMap second;
  EXPECT_EQ(node(var("A"), std::nullopt, second), a);
  EXPECT_FALSE(created->load());
  EXPECT_EQ(g.node_properties(a)->size(), 1u);
  EXPECT_TRUE(Inspect::node_edge_ids(g, a, true) && Inspect::node_edge_ids(g, a, false));
}

TEST_F(GraphInsert, SecondTermIsDiscardedWithoutError) {
  node(var("A"), basic("a", var("A")));
  node(var("A"), basic("b", var("A")));
  EXPECT_EQ(stored_term(g, var("A")), "a");
}

TEST_F(GraphInsert, TermOfAnotherTypeIsRefusedButStored) {
  auto r = g.add_node(var("A"), basic("b", var("B")), PropertyMap::empty(), created);
  ASSERT_FALSE(r);
  EXPECT_EQ(report_text(r.error()), "Invalid Term: 'term provided is of a different type than the type provided'");
  EXPECT_EQ(stored_term(g, var("B")), "b");
  EXPECT_TRUE(Inspect::has_type(g, uid_of(var("A"))));
  EXPECT_FALSE(g.has_node(uid_of(var("A"))));
  EXPECT_FALSE(created->load());
}

// A chain (g1 (g2 ... (gd x))) with g_i : V_i -> V_(i-1): the term of V0. With
// `closing`, V_d is V0 itself, the type of the whole term; with `siblings`, the
// innermost argument is ((h y) y) with h : W -> (W -> V_d).
Term nested_term(std::size_t depth, bool closing, bool siblings) {
  const auto v = [&](std::size_t i) { return var(("V" + std::to_string(closing && i == depth ? 0 : i)).c_str()); };
  Term inner = basic("x", v(depth));
  if (siblings) {
    const Term h = basic("h", make_arrow(var("W"), make_arrow(var("W"), v(depth))));
    const Term y = basic("y", var("W"));
    inner = apply(apply(h, y), y);
  }
  for (std::size_t i = depth; i >= 1; --i)
    inner = apply(basic(("g" + std::to_string(i)).c_str(), make_arrow(v(i), v(i - 1))), inner);
  return inner;
}

TEST_F(GraphInsert, TermsContainingTheirOwnTypeAreRefusedAtAnyDepth) {
  // Shallow and deep paths are checked differently: both must agree.
  for (const std::size_t depth : {1u, 3u, 14u, 15u, 16u, 17u, 40u}) {
    for (const bool siblings : {false, true}) {
      Graph fresh;
      CreatedFlag made = new_created_flag();
      auto kept = fresh.add_node(var("V0"), nested_term(depth, false, siblings), PropertyMap::empty(), made);
      ASSERT_TRUE(kept) << depth << ' ' << report_text(kept.error());
      EXPECT_TRUE(fresh.has_term(*kept)) << depth;
      if (siblings) continue;
      Graph other;
      auto closed = other.add_node(var("V0"), nested_term(depth, true, false), PropertyMap::empty(), made);
      ASSERT_FALSE(closed) << depth;
      EXPECT_EQ(report_text(closed.error()),
                "Invalid Term: 'term contains a sub-term of the same type as a term enclosing it'")
          << depth;
      EXPECT_FALSE(other.has_term(uid_of(var("V0")))) << depth;
    }
  }
}

TEST_F(GraphInsert, TermsFlowAlongAChain) {
  node(var("A"));
  node(var("B"));
  node(var("D"));
  edge(basic("f", make_arrow(var("A"), var("B"))));
  edge(basic("g", make_arrow(var("B"), var("D"))));
  node(var("A"), basic("a", var("A")));
  EXPECT_EQ(stored_term(g, var("B")), "(f a)");
  EXPECT_EQ(stored_term(g, var("D")), "(g (f a))");
}

TEST_F(GraphInsert, PropagationStopsAtANodeWithATerm) {
  node(var("A"));
  node(var("B"));
  node(var("D"), basic("d", var("D")));
  edge(basic("f", make_arrow(var("A"), var("B"))));
  edge(basic("g", make_arrow(var("B"), var("D"))));
  node(var("A"), basic("a", var("A")));
  EXPECT_EQ(stored_term(g, var("D")), "d");
}

TEST_F(GraphInsert, ArrowTermMakesEndpointsAndEdge) {
  const auto ab = make_arrow(var("A"), var("B"));
  node(ab, basic("h", ab));
  const EdgeKey key{uid_of(var("A")), uid_of(var("B"))};
  EXPECT_TRUE(g.has_node(key.first));
  EXPECT_TRUE(g.has_node(key.second));
  EXPECT_TRUE(g.has_node(uid_of(ab)));
  EXPECT_EQ(*g.get_edge_type(key), uid_of(ab));
  EXPECT_EQ(g.edge_properties(key)->size(), 0u);
  EXPECT_EQ(stored_term(g, var("B")), "<Term with Uid: '" + uid_to_hex(key.second) + "' not found (term from uid)>");
}

TEST_F(GraphInsert, EdgeGivesTheEndATermOneStepOnly) {
  node(var("A"), basic("a", var("A")));
  node(var("B"));
  node(var("D"));
  edge(basic("g", make_arrow(var("B"), var("D"))));
  edge(basic("f", make_arrow(var("A"), var("B"))));
  EXPECT_EQ(stored_term(g, var("B")), "(f a)");
  EXPECT_EQ(stored_term(g, var("D")).front(), '<');  // nothing flows on from B
}

TEST_F(GraphInsert, ExistingEdgeIsReplacedWithoutCreating) {
  node(var("A"));
  node(var("B"));
  const auto ab = make_arrow(var("A"), var("B"));
  edge(basic("f", ab));
  created = new_created_flag();
  PropertyMap map;
  map.insert("w", Value(std::int64_t{2}));
  ASSERT_TRUE(g.add_edge(basic("h", ab), map, created));
  EXPECT_FALSE(created->load());
  EXPECT_EQ(stored_term(g, ab), "h");
  EXPECT_EQ(g.edge_properties({uid_of(var("A")), uid_of(var("B"))})->size(), 1u);
}

// An edge keeps no map until one is written, whatever way it came by an
// empty one: every handle edge_properties gives still shares the edge's map,
// and a removed edge's handles do not reach the edge added again.
TEST_F(GraphInsert, EdgeHandlesShareTheMapWhetherOrNotItWasEverWritten) {
  const auto ab = make_arrow(var("A"), var("B"));
  node(var("A"));
  node(var("B"));
  const EdgeKey key{uid_of(var("A")), uid_of(var("B"))};
  PropertyMap given;
  given.insert("w", Value(std::int64_t{2}));
  const auto add = [&](PropertyMap map) { ASSERT_TRUE(g.add_edge(basic("f", ab), std::move(map), created)); };
  const auto text = [&] { return *g.edge_to_string(key); };
  const std::vector<std::pair<const char*, std::function<void()>>> ways{
      {"added empty", [&] { add(PropertyMap::empty()); }},
      {"added with a map", [&] { add(given.copy()); }},
      {"replaced by an empty map",
       [&] {
         add(given.copy());
         add(PropertyMap::empty());
       }},
      {"replaced by a map",
       [&] {
         add(PropertyMap::empty());
         add(given.copy());
       }},
      {"merged into",
       [&] {
         add(PropertyMap::empty());
         ASSERT_TRUE(g.set_edge_properties(key, given, false));
       }},
  };
  for (const auto& [way, make] : ways) {
    SCOPED_TRACE(way);
    make();
    PropertyMap first = *g.edge_properties(key);
    PropertyMap second = *g.edge_properties(key);
    first.insert("x", Value(std::int64_t{1}));
    EXPECT_EQ(second.to_string(), first.to_string());
    EXPECT_EQ(g.edge_properties(key)->get("x")->to_string(), "1");
    EXPECT_EQ(*g.with_edge_properties(key, [](const PropertyMap& m) { return m.size(); }), first.size());
    EXPECT_NE(text().find("x: 1"), std::string::npos) << text();

    ASSERT_TRUE(*g.remove_edge(key));
    EXPECT_FALSE(g.with_edge_properties(key, [](const PropertyMap& m) { return m.size(); }));
    add(PropertyMap::empty());
    first.insert("y", Value(std::int64_t{1}));
    EXPECT_EQ(g.edge_properties(key)->to_string(), "{}");
    EXPECT_EQ(text(), "Edge((A -> B):f {})");
    ASSERT_TRUE(*g.remove_edge(key));
  }
}

TEST_F(GraphInsert, EdgeFailures) {
  auto r = g.add_edge(basic("v", var("V")), PropertyMap::empty(), created);
  EXPECT_EQ(report_text(r.error()), "Invalid Term: 'to create an edge you must provide a term of an arrow type'");
  EXPECT_EQ(stored_term(g, var("V")), "v");
  r = g.add_edge(basic("f", make_arrow(var("P"), var("Q"))), PropertyMap::empty(), created);
  EXPECT_EQ(report_text(r.error()),
            "Index Corruption: 'start_to_edge_index not initialized for some node already in the graph' (add edge)");
  node(var("P"));
  r = g.add_edge(basic("f", make_arrow(var("P"), var("Q"))), PropertyMap::empty(), created);
  EXPECT_EQ(report_text(r.error()),
            "Index Corruption: 'end_to_edge_index not initialized for some node already in the graph' (add edge)");
}

TEST_F(GraphInsert, CycleEnds) {
  node(var("A"));
  node(var("B"));
  edge(basic("f", make_arrow(var("A"), var("B"))));
  edge(basic("g", make_arrow(var("B"), var("A"))));
  node(var("A"), basic("a", var("A")));
  EXPECT_EQ(stored_term(g, var("B")), "(f a)");
  EXPECT_EQ(stored_term(g, var("A")), "a");
}

TEST_F(GraphInsert, RemovalOfNodesAndEdges) {
  const Uid a = node(var("A"));
  const Uid n = node(var("N"), basic("n", var("N")));
  const Uid b = node(var("B"));
  edge(basic("f", make_arrow(var("A"), var("N"))));
  edge(basic("g", make_arrow(var("N"), var("B"))));
  edge(basic("s", make_arrow(var("N"), var("N"))));

  EXPECT_FALSE(*g.remove_node(uid_of(var("Nope"))));
  EXPECT_FALSE(*g.remove_edge({a, b}));
  EXPECT_EQ(*g.remove_node(n), n);
  EXPECT_EQ(g.edge_count(), 0u);
  EXPECT_TRUE(Inspect::node_edge_ids(g, a, true)->empty());
  EXPECT_TRUE(Inspect::node_edge_ids(g, b, false)->empty());
  EXPECT_FALSE(Inspect::node_edge_ids(g, n, true));
  EXPECT_EQ(stored_term(g, make_arrow(var("A"), var("N"))), "f");  // terms stay
  node(var("N"));
  EXPECT_EQ(stored_term(g, var("N")), "n");
  EXPECT_TRUE(Inspect::node_edge_ids(g, n, true)->empty());
}

// An edge's arrow type is derived from its row, so the type-edge tables
// cannot disagree: removing a node removes its edge, whose term stays.
TEST_F(GraphInsert, RemovalReportsDisagreeingIndexes) {
  const Uid a = node(var("A"));
  const Uid b = node(var("B"));
  const EdgeKey key = edge(basic("f", make_arrow(var("A"), var("B"))));
  auto r = g.remove_node(a);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, a);
  EXPECT_FALSE(Inspect::has_edge(g, key));
  EXPECT_EQ(report_text(g.get_edge_type(key).error()),
            "Edge with Uid: '(" + uid_to_hex(a) + ", " + uid_to_hex(b) + ")' not found (graph - get edge type)");
  EXPECT_EQ(stored_term(g, make_arrow(var("A"), var("B"))), "f");
  EXPECT_TRUE(Inspect::node_edge_ids(g, b, false)->empty());
}

TEST_F(GraphInsert, PropertyAccessSharesHandlesAndMerges) {
  PropertyMap a0;
  a0.insert("a", Value(std::int64_t{0}));
  a0.insert("b", Value(std::int64_t{2}));
  const Uid a = node(var("A"), std::nullopt, a0);
  const Uid b = node(var("B"), std::nullopt, a0);
  PropertyMap handle = *g.node_properties(a);
  PropertyMap one;
  one.insert("a", Value(std::int64_t{1}));
  ASSERT_TRUE(g.set_node_properties(a, one, false));
  EXPECT_EQ(handle.to_string(), "{a: 1, b: 2}");  // merged into the shared handle
  ASSERT_TRUE(g.set_node_properties(b, one, true));
  EXPECT_EQ(g.node_properties(b)->to_string(), "{a: 1}");
  ASSERT_TRUE(g.set_node_properties(a, PropertyMap::empty(), false));
  ASSERT_TRUE(g.set_node_properties(a, *g.node_properties(a), false));  // into itself
  EXPECT_EQ(g.node_properties(a)->to_string(), "{a: 1, b: 2}");

  const Uid missing = uid_of(var("Q"));
  for (bool overwrite : {true, false}) {
    auto r = g.set_node_properties(missing, one, overwrite);
    EXPECT_EQ(report_text(r.error()),
              "Node with Uid: '" + uid_to_hex(missing) + "' not found (graph - set node properties)");
    auto e = g.set_edge_properties({a, b}, one, overwrite);
    EXPECT_EQ(report_text(e.error()), "Edge with Uid: '(" + uid_to_hex(a) + ", " + uid_to_hex(b) +
                                          ")' not found (graph - set node properties)");
  }
  EXPECT_FALSE(g.has_node(missing));
  EXPECT_EQ(report_text(g.node_properties(missing).error()),
            "Node with Uid: '" + uid_to_hex(missing) + "' not found (node properties)");
}

// One map given with overwrite to several rows: each row gets a map of its
// own, so a later merge into one changes that row alone, and the given map
// stays as it was whatever happens to the rows, and the rows whatever happens
// to it.
TEST_F(GraphInsert, OverwriteGivesEachRowItsOwnMap) {
  node(var("A"));
  node(var("B"));
  node(var("C"));
  edge(basic("f", make_arrow(var("A"), var("B"))));
  edge(basic("g", make_arrow(var("A"), var("C"))));
  const Uid a = uid_of(var("A")), b = uid_of(var("B")), c = uid_of(var("C"));
  struct Rows {
    const char* what;
    std::function<Status(int, const PropertyMap&, bool)> set;
    std::function<PropertyMap(int)> get;
  };
  const Uid nodes[2] = {a, b};
  const EdgeKey edges[2] = {{a, b}, {a, c}};
  const Rows kinds[] = {
      {"nodes", [&](int i, const PropertyMap& m, bool o) { return g.set_node_properties(nodes[i], m, o); },
       [&](int i) { return *g.node_properties(nodes[i]); }},
      {"edges", [&](int i, const PropertyMap& m, bool o) { return g.set_edge_properties(edges[i], m, o); },
       [&](int i) { return *g.edge_properties(edges[i]); }},
  };
  for (const auto& rows : kinds) {
    SCOPED_TRACE(rows.what);
    for (const bool given_empty : {false, true}) {
      PropertyMap given;
      if (!given_empty) given.insert("z", Value(Value::Array{Value(std::int64_t{0})}));
      const std::string given_text = given.to_string();
      ASSERT_TRUE(rows.set(0, given, true));
      ASSERT_TRUE(rows.set(1, given, true));
      PropertyMap merged;
      merged.insert("only_first", Value(true));
      ASSERT_TRUE(rows.set(0, merged, false));
      EXPECT_EQ(rows.get(0).size(), given.size() + 1);
      EXPECT_EQ(rows.get(1).to_string(), given_text);
      EXPECT_EQ(given.to_string(), given_text);
      given.insert("later", Value(std::int64_t{1}));
      EXPECT_EQ(rows.get(1).to_string(), given_text);
      EXPECT_FALSE(rows.get(0).get("later"));
    }
  }
}

TEST_F(GraphInsert, TextForms) {
  const Uid a = node(var("A"), basic("a", var("A")));
  const Uid b = node(var("B"));
  const EdgeKey key = edge(basic("f", make_arrow(var("A"), var("B"))));
  EXPECT_EQ(*g.node_to_string(a), "Node(A:a {})");
  EXPECT_EQ(*g.node_to_string(b), "Node(B:(f a) {})");
  EXPECT_EQ(*g.edge_to_string(key), "Edge((A -> B):f {})");
  const Uid nested = g.insert_type(*make_arrow(var("A"), make_arrow(var("B"), var("A"))));
  EXPECT_EQ(*g.type_to_string(nested), "(A -> (B -> A))");
  EXPECT_EQ(report_text(g.node_to_string(nested).error()),
            "Node with Uid: '" + uid_to_hex(nested) + "' not found (node to string)");
  const Uid c = node(var("C"));
  EXPECT_EQ(*g.node_to_string(c), "Node(C: {})");

  // An arrow is stored with its sides, so only the outer uid can be missing.
  const Uid ghost = uid_of(make_arrow(var("A"), make_arrow(var("Ghost"), var("A"))));
  EXPECT_EQ(report_text(g.type_to_string(ghost).error()),
            "Type with Uid: '" + uid_to_hex(ghost) + "' not found (type to string)");
  EXPECT_FALSE(Inspect::has_type(g, uid_of(var("Ghost"))));
}

TEST(GraphConcurrency, SameNewNodeFromManyThreadsIsCreatedOnce) {
  for (int round = 0; round < 20; ++round) {
    Graph g;
    std::atomic<int> created_count{0};
    test_pool::parallel_for(0, 64, [&](int) {
      auto created = new_created_flag();
      ASSERT_TRUE(g.add_node(var("Same"), std::nullopt, PropertyMap::empty(), created));
      if (created->load()) ++created_count;
    });
    EXPECT_EQ(created_count.load(), 1);
    EXPECT_EQ(g.node_count(), 1u);
    EXPECT_TRUE(Inspect::node_edge_ids(g, uid_of(var("Same")), true));
  }
}

TEST(GraphConcurrency, WideFanOutPropagationGivesEveryEndATerm) {
  Graph g;
  auto created = new_created_flag();
  ASSERT_TRUE(g.add_node(var("Root"), std::nullopt, PropertyMap::empty(), created));
  constexpr int kFan = 300;
  std::vector<TypePtr> ends;
  for (int i = 0; i < kFan; ++i) {
    const std::string name = "E" + std::to_string(i);
    ends.push_back(var(name.c_str()));
    ASSERT_TRUE(g.add_node(ends.back(), std::nullopt, PropertyMap::empty(), created));
    ASSERT_TRUE(g.add_edge(basic(("f" + std::to_string(i)).c_str(), make_arrow(var("Root"), ends.back())),
                           PropertyMap::empty(), created));
  }
  ASSERT_TRUE(g.add_node(var("Root"), basic("r", var("Root")), PropertyMap::empty(), created));
  for (int i = 0; i < kFan; ++i) {
    auto t = g.term_from_uid(uid_of(ends[i]));
    ASSERT_TRUE(t);
    EXPECT_EQ(term_text(*t), "(f" + std::to_string(i) + " r)");
    EXPECT_TRUE(typing::types_equal(t->type(), ends[i]));
  }
}

// A node's edge sets appear with its first edges; many first edges racing on
// one fresh node must all land in the one set each side gets.
TEST(GraphConcurrency, FirstEdgesOfAFreshNodeAllLand) {
  for (int round = 0; round < 10; ++round) {
    Graph g;
    auto created = new_created_flag();
    ASSERT_TRUE(g.add_node(var("Hub"), std::nullopt, PropertyMap::empty(), created));
    EXPECT_TRUE(Inspect::node_edge_ids(g, uid_of(var("Hub")), true)->empty());
    constexpr int kEdges = 64;
    std::vector<TypePtr> ends;
    for (int i = 0; i < kEdges; ++i) {
      ends.push_back(var(("X" + std::to_string(i)).c_str()));
      ASSERT_TRUE(g.add_node(ends.back(), std::nullopt, PropertyMap::empty(), created));
    }
    test_pool::parallel_for(0, kEdges, [&](int i) {
      auto c = new_created_flag();
      const auto name = "f" + std::to_string(i);
      ASSERT_TRUE(g.add_edge(basic(name.c_str(), make_arrow(var("Hub"), ends[i])), PropertyMap::empty(), c));
      ASSERT_TRUE(g.add_edge(basic(("g" + name).c_str(), make_arrow(ends[i], var("Hub"))), PropertyMap::empty(), c));
    });
    EXPECT_EQ(Inspect::node_edge_ids(g, uid_of(var("Hub")), true)->size(), std::size_t{kEdges});
    EXPECT_EQ(Inspect::node_edge_ids(g, uid_of(var("Hub")), false)->size(), std::size_t{kEdges});
  }
}

// A variable is found by its name once stored, and a name may be stored first
// as a basic term's. Threads racing to store the same names either way, and
// to remove and re-add their nodes, must leave one row per variable, each
// reached by its name and its uid alike.
TEST(GraphConcurrency, NamesStoredAsTermsAndVariablesAtOnceGiveOneRowEach) {
  constexpr int kNames = 40;
  const auto name_of = [](int j) { return "N" + std::to_string(j); };
  for (int round = 0; round < 10; ++round) {
    Graph g;
    test_pool::parallel_for(0, 48, [&](int task) {
      for (int step = 0; step < kNames; ++step) {
        const int j = (step * 7 + task * 13) % kNames;
        const std::string name = name_of(j);
        auto created = new_created_flag();
        switch ((task + step + round) % 4) {
          case 0:  // the name as a basic term's, of another type
            g.insert_term(basic(name.c_str(), var("Z")));
            break;
          case 1: {
            auto uid = g.add_node(var(name.c_str()), std::nullopt, PropertyMap::empty(), created);
            ASSERT_TRUE(uid);
            EXPECT_EQ(*uid, uid_of(var(name.c_str()))) << name;
            break;
          }
          case 2: EXPECT_EQ(g.insert_type(*var(name.c_str())), uid_of(var(name.c_str()))) << name; break;
          default: ASSERT_TRUE(g.remove_node(uid_of(var(name.c_str())))); break;
        }
      }
    });
    for (int j = 0; j < kNames; ++j) {
      const std::string name = name_of(j);
      const Uid uid = uid_of(var(name.c_str()));
      auto as_var = g.type_as_var(uid);
      ASSERT_TRUE(as_var) << name;
      EXPECT_EQ(*as_var, std::optional<std::string>(name));
      auto created = new_created_flag();
      ASSERT_TRUE(g.remove_node(uid));
      auto again = g.add_node(var(name.c_str()), std::nullopt, PropertyMap::empty(), created);
      ASSERT_TRUE(again);
      EXPECT_EQ(*again, uid);
      EXPECT_TRUE(created->load()) << name;
    }
    // Z and the kNames variables, none stored twice.
    EXPECT_EQ(Inspect::type_count(g), std::size_t{kNames} + 1);
    EXPECT_EQ(g.node_count(), std::size_t{kNames});
  }
}

TEST(GraphConcurrency, ConcurrentRemovalsHaveOneWinner) {
  Graph g;
  auto created = new_created_flag();
  ASSERT_TRUE(g.add_node(var("A"), std::nullopt, PropertyMap::empty(), created));
  ASSERT_TRUE(g.add_node(var("B"), std::nullopt, PropertyMap::empty(), created));
  auto key = g.add_edge(basic("f", make_arrow(var("A"), var("B"))), PropertyMap::empty(), created);
  ASSERT_TRUE(key);
  std::atomic<int> edge_wins{0}, node_wins{0};
  test_pool::parallel_for(0, 32, [&](int) {
    auto e = g.remove_edge(*key);
    ASSERT_TRUE(e);
    if (*e) ++edge_wins;
    auto n = g.remove_node(key->first);
    ASSERT_TRUE(n);
    if (*n) ++node_wins;
  });
  EXPECT_EQ(edge_wins.load(), 1);
  EXPECT_EQ(node_wins.load(), 1);
}

}  // namespace
}  // namespace velmora::graph
