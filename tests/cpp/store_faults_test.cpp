// The store keeps its data and its stack under the inputs that press on them
// most: removals of adjacent nodes racing on the pool, deep chains of
// propagated terms and deep values, terms that would contain themselves, and
// edges that fail half-way.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <set>
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

TypePtr var(const std::string& name) { return make_type(typing::Variable{name}); }
Term basic(const std::string& name, TypePtr type) { return Term(typing::BasicTerm{name, std::move(type)}); }
Term apply(const Term& f, const Term& a) { return *f.apply(a); }
Uid uid_of(const TypePtr& t) { return Graph().insert_type(*t); }
std::string node_name(std::size_t i) { return "N" + std::to_string(i); }

// The message, then each context line without its position, newest first.
std::string report_text(const Report& r) {
  std::string out = r.current_context().message();
  auto lines = r.lines();
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) out += " | " + it->substr(0, it->find(" ["));
  return out;
}

template <class Key>
std::set<Key> set_of(const std::vector<Key>& keys) {
  return std::set(keys.begin(), keys.end());
}

class StoreFaults : public ::testing::Test {
 protected:
  std::unique_ptr<Graph> g = std::make_unique<Graph>();
  CreatedFlag created = new_created_flag();
  Uid node(const TypePtr& t, std::optional<Term> term = std::nullopt) {
    auto r = g->add_node(t, std::move(term), PropertyMap::empty(), created);
    EXPECT_TRUE(r) << report_text(r.error());
    return r ? *r : Uid{};
  }
  EdgeKey edge(const Term& term) {
    auto r = g->add_edge(term, PropertyMap::empty(), created);
    EXPECT_TRUE(r) << report_text(r.error());
    return r ? *r : EdgeKey{};
  }
  // The keys of the edges in a node's list on one side.
  std::set<EdgeKey> listed(const Uid& n, bool leaving) {
    std::set<EdgeKey> out;
    const auto arrows = Inspect::node_edge_ids(*g, n, leaving);
    EXPECT_TRUE(arrows);
    if (arrows)
      for (const TypeId arrow : *arrows) out.insert(g->edge_key(arrow));
    return out;
  }
  // Every table agrees with the expected nodes and edges: the nodes, their
  // lists both ways, the edges and each edge's arrow type.
  void expect_store(const std::set<Uid>& nodes, const std::set<EdgeKey>& edges) {
    EXPECT_EQ(set_of(Inspect::node_uids(*g)), nodes);
    EXPECT_EQ(set_of(Inspect::edge_keys(*g)), edges);
    EXPECT_EQ(g->edge_count(), edges.size());
    for (const EdgeKey& e : edges) EXPECT_EQ(*g->get_edge_type(e), TypeRep::arrow(e.first, e.second).uid());
    for (const Uid& n : nodes) {
      std::set<EdgeKey> out, in;
      for (const EdgeKey& e : edges) {
        if (e.first == n) out.insert(e);
        if (e.second == n) in.insert(e);
      }
      EXPECT_EQ(listed(n, true), out);
      EXPECT_EQ(listed(n, false), in);
    }
  }
};

// ---- removal of any set of nodes and edges at once ----------------------------

TEST_F(StoreFaults, ParallelRemovalOfAnySetMatchesTheModel) {
  std::mt19937 rng(12);
  for (int round = 0; round < 400; ++round) {
    g = std::make_unique<Graph>();
    const std::size_t n = 2 + rng() % 30;
    std::vector<Uid> uids;
    for (std::size_t i = 0; i < n; ++i) uids.push_back(node(var(node_name(i))));
    std::set<EdgeKey> edges;
    // A chain, so that neighbours share edges, and random extra edges,
    // self-loops among them.
    for (std::size_t i = 0; i + 1 < n; ++i)
      edges.insert(edge(basic("e", make_arrow(var(node_name(i)), var(node_name(i + 1))))));
    for (std::size_t k = rng() % (2 * n); k > 0; --k) {
      const std::size_t a = rng() % n, b = rng() % n;
      edges.insert(edge(basic("e", make_arrow(var(node_name(a)), var(node_name(b))))));
    }

    std::vector<Uid> gone_nodes;
    for (const Uid& u : uids)
      if (rng() % 3 != 0) gone_nodes.push_back(u);
    std::vector<EdgeKey> gone_edges;
    for (const EdgeKey& e : edges)
      if (rng() % 4 == 0) gone_edges.push_back(e);

    std::atomic<int> failures{0};
    const std::size_t tasks = gone_nodes.size() + gone_edges.size();
    test_pool::parallel_for(std::size_t{0}, tasks, [&](std::size_t i) {
      if (i < gone_nodes.size()) {
        auto r = g->remove_node(gone_nodes[i]);
        if (!r) ADD_FAILURE() << report_text(r.error()), ++failures;
      } else {
        auto r = g->remove_edge(gone_edges[i - gone_nodes.size()]);
        if (!r) ADD_FAILURE() << report_text(r.error()), ++failures;
      }
    });
    ASSERT_EQ(failures.load(), 0) << "round " << round;

    const std::set<Uid> removed(gone_nodes.begin(), gone_nodes.end());
    std::set<Uid> nodes;
    for (const Uid& u : uids)
      if (!removed.contains(u)) nodes.insert(u);
    std::set<EdgeKey> left;
    for (const EdgeKey& e : edges)
      if (nodes.contains(e.first) && nodes.contains(e.second) &&
          std::find(gone_edges.begin(), gone_edges.end(), e) == gone_edges.end())
        left.insert(e);
    expect_store(nodes, left);
    if (HasFailure()) return;
  }
}

// A node's edge lists are part of its row: no node stays without them, and
// removing an edge whose end's row is gone is no fault.
TEST_F(StoreFaults, RemovalStillReportsAMissingRowOfANodeThatStays) {
  const Uid a = node(var("A"));
  const Uid b = node(var("B"));
  const EdgeKey key = edge(basic("f", make_arrow(var("A"), var("B"))));
  const EdgeKey back = edge(basic("g", make_arrow(var("B"), var("A"))));
  Inspect::nodes(*g).remove(*g->type_id(b));  // the row alone, the edges kept
  EXPECT_EQ(*g->remove_edge(key), key);
  EXPECT_TRUE(listed(a, true).empty());
  EXPECT_EQ(*g->remove_node(a), a);
  EXPECT_FALSE(Inspect::has_edge(*g, back));
  EXPECT_EQ(g->edge_count(), 0u);
}

// ---- depth ---------------------------------------------------------------------

constexpr std::size_t kChain = 100'000;

TEST_F(StoreFaults, PropagationAlongALongChainAndItsDeepTerm) {
  for (std::size_t i = 0; i <= kChain; ++i) node(var(node_name(i)));
  for (std::size_t i = 0; i < kChain; ++i) edge(basic("f", make_arrow(var(node_name(i)), var(node_name(i + 1)))));
  // N0's new term flows down the whole chain.
  node(var(node_name(0)), basic("a", var(node_name(0))));
  const Uid last = uid_of(var(node_name(kChain)));
  auto deep = g->term_to_string(last);
  ASSERT_TRUE(deep) << report_text(deep.error());
  // "(f " a hundred thousand times, "a", then the closing parentheses.
  EXPECT_EQ(deep->size(), 4 * kChain + 1);
  EXPECT_EQ(deep->find('a'), 3 * kChain);
  EXPECT_EQ(deep->substr(0, 12), "(f (f (f (f ");

  // The rebuilt term: compared, rendered by type and released without recursion.
  {
    auto term = g->term_from_uid(last);
    ASSERT_TRUE(term) << report_text(term.error());
    auto again = g->term_from_uid(last);
    EXPECT_TRUE(*term == *again);
    EXPECT_FALSE(*term == *g->term_from_uid(uid_of(var(node_name(kChain - 1)))));
    EXPECT_EQ((*term->type()).to_string(), node_name(kChain));
  }
  for (std::size_t i = 0; i <= kChain; i += kChain / 4) EXPECT_TRUE(g->remove_node(uid_of(var(node_name(i)))));
}

TEST_F(StoreFaults, DeepTypesRoundTrip) {
  // A -> (A -> (A -> ... B)), built, stored, rebuilt, compared and released.
  TypePtr t = var("B");
  for (std::size_t i = 0; i < kChain; ++i) t = make_arrow(var("A"), std::move(t));
  const Uid u = g->insert_type(*t);
  auto rebuilt = g->type_from_uid(u);
  ASSERT_TRUE(rebuilt) << report_text(rebuilt.error());
  EXPECT_TRUE(**rebuilt == *t);
  EXPECT_FALSE(*make_arrow(var("A"), *rebuilt) == *t);
  const std::string text = t->to_string();
  EXPECT_EQ(text.size(), 6 * kChain + 1 + kChain);
  EXPECT_EQ(text.substr(0, 12), "(A -> (A -> ");
  auto stored = g->type_to_string(u);
  ASSERT_TRUE(stored);
  EXPECT_EQ(*stored, text);
  t.reset();
  rebuilt->reset();
}

TEST_F(StoreFaults, DeepFailuresKeepOneContextLinePerLevel) {
  // A name that fails validation on the third edge of the chain: the
  // propagation rebuilds and fails there, three levels down.
  for (std::size_t i = 0; i <= 4; ++i) node(var(node_name(i)));
  edge(basic("f", make_arrow(var(node_name(0)), var(node_name(1)))));
  edge(basic("f", make_arrow(var(node_name(1)), var(node_name(2)))));
  edge(basic("not valid", make_arrow(var(node_name(2)), var(node_name(3)))));
  edge(basic("f", make_arrow(var(node_name(3)), var(node_name(4)))));
  auto r = g->add_node(var(node_name(0)), basic("a", var(node_name(0))), PropertyMap::empty(), created);
  ASSERT_FALSE(r);
  EXPECT_EQ(report_text(r.error()),
            "Invalid Identifier 'not valid': Name cannot contain whitespace | graph - add node | graph - add node | "
            "graph - add node | basic term - new");
  auto missing = g->term_to_string(uid_of(var(node_name(3))));
  EXPECT_FALSE(missing);
  // Text forms: a missing part two levels down reports two lines. A stored
  // arrow always has its sides, so only rows written around insertion can
  // miss a part: a term (h (k gone)) whose innermost row has no term.
  const Uid gone = g->insert_type(*var("Gone"));
  const Uid k = g->insert_term(basic("k", make_arrow(var("Gone"), var("K"))));
  const Uid h = g->insert_term(basic("h", make_arrow(var("K"), var("H"))));
  const TypeId kh = *g->type_id(g->insert_type(*var("K")));
  const TypeId hh = *g->type_id(g->insert_type(*var("H")));
  Inspect::types(*g).set_term(kh, TermWord::application(*g->type_id(k), *g->type_id(gone)));
  Inspect::types(*g).set_term(hh, TermWord::application(*g->type_id(h), kh));
  EXPECT_EQ(report_text(g->term_to_string(uid_of(var("H"))).error()),
            "Term with Uid: '" + uid_to_hex(gone) +
                "' not found (term to string) | graph - term to string | graph - term to string");
}

// ---- terms that would contain themselves ----------------------------------------

TEST_F(StoreFaults, TermWithASubTermOfItsOwnTypeIsRefused) {
  const TypePtr x = var("X");
  const Term f = basic("f", make_arrow(x, x));
  const Term twice = apply(f, apply(f, basic("b", x)));
  const auto terms_before = Inspect::term_count(*g);
  auto r = g->add_node(x, twice, PropertyMap::empty(), created);
  ASSERT_FALSE(r);
  EXPECT_EQ(report_text(r.error()), "Invalid Term: 'term contains a sub-term of the same type as a term enclosing it'");
  EXPECT_EQ(Inspect::term_count(*g), terms_before);
  EXPECT_FALSE(g->has_node(uid_of(x)));
  EXPECT_FALSE(created->load());
  // insert_term stores its types only.
  EXPECT_EQ(g->insert_term(twice), uid_of(x));
  EXPECT_EQ(Inspect::term_count(*g), terms_before);
  EXPECT_TRUE(Inspect::has_type(*g, uid_of(make_arrow(x, x))));

  // A repetition deeper down, across two types: (g (h (g y))) with g: Y -> Z, h: Z -> Y.
  const Term gz = basic("g", make_arrow(var("Y"), var("Z")));
  const Term hy = basic("h", make_arrow(var("Z"), var("Y")));
  auto deep =
      g->add_node(var("Z"), apply(gz, apply(hy, apply(gz, basic("y", var("Y"))))), PropertyMap::empty(), created);
  ASSERT_FALSE(deep);
  EXPECT_EQ(Inspect::term_count(*g), terms_before);
  // An edge whose term repeats its own type: (c e) with c: (A -> B) -> (A -> B).
  node(var("A"));
  node(var("B"));
  const TypePtr ab = make_arrow(var("A"), var("B"));
  auto e = g->add_edge(apply(basic("c", make_arrow(ab, ab)), basic("e", ab)), PropertyMap::empty(), created);
  ASSERT_FALSE(e);
  EXPECT_EQ(g->edge_count(), 0u);
  EXPECT_TRUE(listed(uid_of(var("A")), true).empty());

  // The same term with fresh types at each level is stored whole.
  EXPECT_TRUE(g->add_node(var("Z"), apply(gz, basic("y", var("Y"))), PropertyMap::empty(), created));
  EXPECT_EQ(*g->term_to_string(uid_of(var("Z"))), "(g y)");
}

TEST_F(StoreFaults, SelfLoopAndPropagationLeaveEveryTermFinite) {
  // X -> X and B -> X: the end X gets (f b) once, and the self-loop adds nothing.
  const TypePtr x = var("X");
  node(var("B"), basic("b", var("B")));
  node(x);
  edge(basic("f", make_arrow(x, x)));
  edge(basic("f", make_arrow(var("B"), x)));
  EXPECT_EQ(*g->term_to_string(uid_of(x)), "(f b)");
  EXPECT_TRUE(g->term_from_uid(uid_of(x)));
  (void)g->add_node(x, apply(basic("f", make_arrow(x, x)), basic("x", x)), PropertyMap::empty(),
                    created);  // refused or not, X keeps its term
  EXPECT_EQ(*g->term_to_string(uid_of(x)), "(f b)");
}

TEST_F(StoreFaults, ARowThatContainsItselfIsReportedNotFollowed) {
  // Only rows written around the store's own insertion can do this.
  const Uid x = g->insert_type(*var("X"));
  const Uid fx = g->insert_term(basic("f", make_arrow(var("X"), var("X"))));
  Inspect::types(*g).set_term(*g->type_id(x), TermWord::application(*g->type_id(fx), *g->type_id(x)));
  EXPECT_EQ(report_text(g->term_from_uid(x).error()), "Index Corruption: 'term repr contains itself' (term from uid)");
  EXPECT_EQ(report_text(g->term_to_string(x).error()),
            "Index Corruption: 'term repr contains itself' (term to string)");
}

// ---- failed edges ----------------------------------------------------------------

TEST_F(StoreFaults, AnEdgeToAMissingNodeLeavesNoRow) {
  const Uid a = node(var("A"));
  for (const auto& [start, end, message] :
       {std::tuple{"A", "Gone", "end_to_edge_index"}, std::tuple{"Gone", "A", "start_to_edge_index"}}) {
    auto r = g->add_edge(basic("f", make_arrow(var(start), var(end))), PropertyMap::empty(), created);
    ASSERT_FALSE(r);
    EXPECT_EQ(report_text(r.error()), std::string("Index Corruption: '") + message +
                                          " not initialized for some node already in the graph' (add edge)");
    // The term is stored, and nothing of the edge.
    EXPECT_TRUE(g->term_from_uid(uid_of(make_arrow(var(start), var(end)))));
  }
  EXPECT_TRUE(listed(a, true).empty());
  EXPECT_TRUE(listed(a, false).empty());
  EXPECT_EQ(g->edge_count(), 0u);
}

}  // namespace
}  // namespace velmora::graph
