// The store against a simple model: random additions and removals of nodes
// and edges, some batches run in parallel, then every answer the store gives
// about them compared with the model's. Then the shapes that must neither
// recurse once per link nor store a term inside itself: long chains,
// self-loops, terms with a sub-term of their own type.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
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

TypePtr var(const std::string& name) { return make_type(*typing::Variable::create(name)); }
Term basic(const std::string& name, TypePtr type) { return Term(*typing::BasicTerm::create(name, std::move(type))); }
Uid uid_of(const TypePtr& t) {
  if (const auto* v = t->as_variable()) return TypeRep::variable(v->name).uid();
  return TypeRep::arrow(uid_of(t->as_arrow()->left), uid_of(t->as_arrow()->right)).uid();
}
std::string report_text(const Report& r) { return errors::format_report(r); }

constexpr int kTypes = 24;

std::string type_name(int i) { return fmt::format("V{}", i); }
Uid node_uid(int i) { return uid_of(var(type_name(i))); }
TypePtr arrow_of(int i, int j) { return make_arrow(var(type_name(i)), var(type_name(j))); }
// Every edge i -> j carries the same term and map whenever it is added.
Term edge_term(int i, int j) { return basic(fmt::format("f{}_{}", i, j), arrow_of(i, j)); }
PropertyMap edge_map(int i, int j) {
  PropertyMap map;
  map.insert("w", Value(std::int64_t{i * kTypes + j}));
  return map;
}
PropertyMap node_map(int i) {
  PropertyMap map;
  map.insert("k", Value(std::int64_t{i}));
  return map;
}

struct Model {
  std::set<int> nodes;
  std::set<std::pair<int, int>> edges;
  std::map<int, std::string> given;  // the term a node was added with
};

class StoreModel : public ::testing::Test {
 protected:
  Graph g;
  Model model;
  std::mt19937 rng{20261207};

  int pick() { return std::uniform_int_distribution<int>(0, kTypes - 1)(rng); }
  bool coin(int percent) { return std::uniform_int_distribution<int>(0, 99)(rng) < percent; }

  void add_node(int i, bool with_term) {
    std::optional<Term> term;
    if (with_term) term = basic(fmt::format("t{}", i), var(type_name(i)));
    auto r = g.add_node(var(type_name(i)), term, node_map(i), new_created_flag());
    ASSERT_TRUE(r) << report_text(r.error());
    EXPECT_EQ(*r, node_uid(i));
  }

  // The term texts that can be stored for node j: its own, or an edge's term
  // applied to the start's text, for an edge that was ever added.
  bool justified(int j, const std::string& text, const std::set<std::pair<int, int>>& ever, int depth = 0) {
    if (depth > kTypes) return false;
    if (text == fmt::format("t{}", j)) return true;
    for (const auto& [s, e] : ever) {
      if (e != j) continue;
      const std::string prefix = fmt::format("(f{}_{} ", s, e);
      if (!text.starts_with(prefix) || text.back() != ')') continue;
      if (justified(s, text.substr(prefix.size(), text.size() - prefix.size() - 1), ever, depth + 1)) return true;
    }
    return false;
  }

  void check(const std::set<std::pair<int, int>>& ever) {
    std::vector<Uid> uids = Inspect::node_uids(g);
    std::sort(uids.begin(), uids.end());
    std::vector<Uid> expected_nodes;
    for (int i : model.nodes) expected_nodes.push_back(node_uid(i));
    std::sort(expected_nodes.begin(), expected_nodes.end());
    ASSERT_EQ(uids, expected_nodes);

    std::vector<EdgeKey> keys = Inspect::edge_keys(g);
    std::sort(keys.begin(), keys.end());
    std::vector<EdgeKey> expected_edges;
    for (const auto& [s, e] : model.edges) expected_edges.emplace_back(node_uid(s), node_uid(e));
    std::sort(expected_edges.begin(), expected_edges.end());
    ASSERT_EQ(keys, expected_edges);
    EXPECT_EQ(g.edge_count(), model.edges.size());

    for (int i = 0; i < kTypes; ++i) {
      const Uid u = node_uid(i);
      if (!model.nodes.contains(i)) {
        EXPECT_FALSE(g.has_node(u));
        EXPECT_FALSE(Inspect::node_edge_ids(g, u, true));
        EXPECT_EQ(g.node_to_string(u).error().current_context().python_class(), PyClass::KeyError);
        continue;
      }
      for (const bool leaving : {true, false}) {
        std::vector<EdgeKey> listed;
        const auto arrows = Inspect::node_edge_ids(g, u, leaving);
        ASSERT_TRUE(arrows);
        for (const TypeId arrow : *arrows) listed.push_back(g.edge_key(arrow));
        std::sort(listed.begin(), listed.end());
        std::vector<EdgeKey> wanted;
        for (const auto& [s, e] : model.edges)
          if ((leaving ? s : e) == i) wanted.emplace_back(node_uid(s), node_uid(e));
        std::sort(wanted.begin(), wanted.end());
        EXPECT_EQ(listed, wanted) << type_name(i) << (leaving ? " leaving" : " entering");
      }
      const std::string text = *g.node_to_string(u);
      auto term = g.term_to_string(u);
      const std::string term_text = term ? *term : "";
      EXPECT_EQ(text, fmt::format("Node({}:{} {{k: {}}})", type_name(i), term_text, i));
      if (term) {
        EXPECT_TRUE(justified(i, *term, ever)) << type_name(i) << " has " << *term;
        auto rebuilt = g.term_from_uid(u);
        ASSERT_TRUE(rebuilt) << report_text(rebuilt.error());
        EXPECT_TRUE(typing::types_equal(rebuilt->type(), var(type_name(i))));
      }
    }
    for (int s = 0; s < kTypes; ++s) {
      for (int e = 0; e < kTypes; ++e) {
        const EdgeKey key{node_uid(s), node_uid(e)};
        if (model.edges.contains({s, e})) {
          EXPECT_EQ(*g.get_edge_type(key), uid_of(arrow_of(s, e)));
          EXPECT_EQ(*g.edge_to_string(key),
                    fmt::format("Edge(({} -> {}):f{}_{} {{w: {}}})", type_name(s), type_name(e), s, e, s * kTypes + e));
          EXPECT_EQ(g.edge_properties(key)->to_string(), fmt::format("{{w: {}}}", s * kTypes + e));
        } else {
          EXPECT_FALSE(Inspect::has_edge(g, key));
          EXPECT_EQ(g.get_edge_type(key).error().current_context().python_class(), PyClass::KeyError);
          EXPECT_EQ(g.edge_to_string(key).error().current_context().python_class(), PyClass::KeyError);
        }
      }
    }
    check_edge_lists();
  }

  // The one reader of edge lists, on a short run (node by node) and a long
  // one (shard by shard), with ids to skip, types that are not nodes and
  // nodes met more than once; and the far ends of what it read.
  void check_edge_lists() {
    constexpr TypeId kSkip = kMaxTypeId + 1;
    for (const std::size_t length : {std::size_t{5}, std::size_t{300}}) {
      std::vector<TypeId> ids;
      std::vector<int> who;  // -1: no node asked for
      for (std::size_t k = 0; k < length; ++k) {
        const int i = pick();
        const auto id = g.type_id(node_uid(i));
        if (coin(10) || !id) {
          ids.push_back(kSkip);
          who.push_back(-1);
          continue;
        }
        ids.push_back(*id);
        who.push_back(i);
      }
      for (const bool leaving : {true, false}) {
        EdgeLists lists;
        g.read_edge_lists(ids, leaving, kSkip, lists);
        ASSERT_EQ(lists.nodes(), ids.size());
        std::vector<TypeId> joined;
        FarEnds fars(g.types(), lists.all(), leaving);
        for (std::size_t k = 0; k < ids.size(); ++k) {
          const auto side = lists.of(k);
          ASSERT_EQ(lists.first(k), joined.size());
          joined.insert(joined.end(), side.begin(), side.end());
          if (who[k] < 0 || !model.nodes.contains(who[k])) {
            EXPECT_FALSE(lists.found(k)) << k;
            continue;
          }
          ASSERT_TRUE(lists.found(k)) << k;
          std::vector<EdgeKey> listed, wanted;
          for (std::size_t j = 0; j < side.size(); ++j) {
            const EdgeKey key = g.edge_key(side[j]);
            listed.push_back(key);
            EXPECT_EQ(g.types().uid(fars.at(lists.first(k) + j)), leaving ? key.second : key.first);
          }
          for (const auto& [s, e] : model.edges)
            if ((leaving ? s : e) == who[k]) wanted.emplace_back(node_uid(s), node_uid(e));
          std::sort(listed.begin(), listed.end());
          std::sort(wanted.begin(), wanted.end());
          EXPECT_EQ(listed, wanted) << type_name(who[k]) << (leaving ? " leaving" : " entering");
        }
        EXPECT_TRUE(std::equal(joined.begin(), joined.end(), lists.all().begin(), lists.all().end()));
      }
    }
  }
};

TEST_F(StoreModel, RandomOperationsAgreeWithTheModel) {
  std::set<std::pair<int, int>> ever;
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    // Nodes, some with terms, one at a time: propagation reaches the same
    // node from several sides only in the parallel edge batch.
    for (int n = 0; n < 4; ++n) {
      const int i = pick();
      const bool with_term = coin(25);
      add_node(i, with_term);
      model.nodes.insert(i);
    }

    // Edges between present nodes, in parallel, some of them twice.
    std::vector<std::pair<int, int>> batch;
    const std::vector<int> present(model.nodes.begin(), model.nodes.end());
    for (int n = 0; n < 12 && !present.empty(); ++n) {
      const int s = present[std::uniform_int_distribution<std::size_t>(0, present.size() - 1)(rng)];
      const int e = coin(10) ? s : present[std::uniform_int_distribution<std::size_t>(0, present.size() - 1)(rng)];
      batch.emplace_back(s, e);
      if (coin(20)) batch.emplace_back(s, e);
    }
    test_pool::parallel_for(std::size_t{0}, batch.size(), [&](std::size_t k) {
      const auto [s, e] = batch[k];
      auto r = g.add_edge(edge_term(s, e), edge_map(s, e), new_created_flag());
      ASSERT_TRUE(r) << report_text(r.error());
    });
    for (const auto& edge : batch) {
      model.edges.insert(edge);
      ever.insert(edge);
    }

    // An edge to a missing node fails and leaves nothing behind.
    const int absent = pick();
    if (!model.nodes.contains(absent) && !present.empty()) {
      const int s = present.front();
      for (const auto& [from, to] : {std::pair{s, absent}, std::pair{absent, s}}) {
        auto r = g.add_edge(edge_term(from, to), edge_map(from, to), new_created_flag());
        ASSERT_FALSE(r);
        EXPECT_TRUE(r.error().current_context().is<errors::IndexCorruption>());
      }
    }
    ASSERT_NO_FATAL_FAILURE(check(ever));

    // Removals of nodes and edges, neighbours among them, all in parallel.
    std::vector<int> gone_nodes;
    std::vector<std::pair<int, int>> gone_edges;
    for (int n = 0; n < 3; ++n) gone_nodes.push_back(pick());
    for (const auto& edge : model.edges)
      if (coin(15)) gone_edges.push_back(edge);
    const std::size_t total = gone_nodes.size() + gone_edges.size();
    test_pool::parallel_for(std::size_t{0}, total, [&](std::size_t k) {
      if (k < gone_nodes.size()) {
        ASSERT_TRUE(g.remove_node(node_uid(gone_nodes[k])));
      } else {
        const auto [s, e] = gone_edges[k - gone_nodes.size()];
        ASSERT_TRUE(g.remove_edge({node_uid(s), node_uid(e)}));
      }
    });
    for (const int i : gone_nodes) {
      model.nodes.erase(i);
      std::erase_if(model.edges, [&](const auto& edge) { return edge.first == i || edge.second == i; });
    }
    for (const auto& edge : gone_edges) model.edges.erase(edge);
    ASSERT_NO_FATAL_FAILURE(check(ever));
  }
}

// Removing every node of a chain at once, as one query's parallel remove
// step does: neighbours share an edge, and each removal must take it exactly
// once, whatever the interleaving.
TEST(StoreRemoval, AdjacentNodesRemovedInParallel) {
  for (int round = 0; round < 20; ++round) {
    Graph g;
    constexpr int kChain = 200;
    for (int i = 0; i < kChain; ++i)
      ASSERT_TRUE(g.add_node(var(type_name(i)), std::nullopt, PropertyMap::empty(), new_created_flag()));
    for (int i = 0; i + 1 < kChain; ++i)
      ASSERT_TRUE(g.add_edge(edge_term(i, i + 1), PropertyMap::empty(), new_created_flag()));
    std::atomic<int> removed{0};
    test_pool::parallel_for(0, kChain, [&](int i) {
      auto r = g.remove_node(node_uid(i));
      ASSERT_TRUE(r) << report_text(r.error());
      if (*r) ++removed;
    });
    EXPECT_EQ(removed.load(), kChain);
    EXPECT_EQ(g.node_count(), 0u);
    EXPECT_EQ(g.edge_count(), 0u);
  }
}

// One hub with thousands of neighbours, as one query's parallel remove step
// meets it: many of its neighbours, and many of its edges, removed at once
// while other edges of the hub are added, each removal taking one id out of
// the hub's long lists. The hub's lists grow past the size that carries
// positions, shrink below it and grow again; after every batch both of its
// lists, and every neighbour's, hold exactly the model's edges.
TEST(StoreRemoval, NeighboursOfAHubRemovedInParallel) {
  constexpr int kLeaves = 3000;
  std::mt19937 rng(4242);
  Graph g;
  std::set<std::pair<int, int>> edges;
  std::set<int> nodes;
  const auto add_edges = [&](const std::vector<std::pair<int, int>>& batch) {
    test_pool::parallel_for(std::size_t{0}, batch.size(), [&](std::size_t k) {
      const auto [s, e] = batch[k];
      ASSERT_TRUE(g.add_edge(edge_term(s, e), PropertyMap::empty(), new_created_flag()));
    });
    edges.insert(batch.begin(), batch.end());
  };
  const auto lists_agree = [&](int node) {
    for (const bool leaving : {true, false}) {
      const auto arrows = Inspect::node_edge_ids(g, node_uid(node), leaving);
      ASSERT_EQ(arrows.has_value(), nodes.contains(node)) << node;
      if (!arrows) continue;
      std::vector<EdgeKey> listed, wanted;
      for (const TypeId arrow : *arrows) listed.push_back(g.edge_key(arrow));
      for (const auto& [s, e] : edges)
        if ((leaving ? s : e) == node) wanted.emplace_back(node_uid(s), node_uid(e));
      std::sort(listed.begin(), listed.end());
      std::sort(wanted.begin(), wanted.end());
      ASSERT_EQ(listed, wanted) << type_name(node) << (leaving ? " leaving" : " entering");
    }
  };
  const auto check = [&] {
    ASSERT_EQ(g.edge_count(), edges.size());
    ASSERT_EQ(g.node_count(), nodes.size());
    for (int i = 0; i <= kLeaves; ++i) ASSERT_NO_FATAL_FAILURE(lists_agree(i));
  };

  for (int i = 0; i <= kLeaves; ++i) {
    ASSERT_TRUE(g.add_node(var(type_name(i)), std::nullopt, PropertyMap::empty(), new_created_flag()));
    nodes.insert(i);
  }
  // The hub is V0: an edge to every leaf, one from every third, and a loop.
  std::vector<std::pair<int, int>> batch{{0, 0}};
  for (int i = 1; i <= kLeaves; ++i) {
    batch.emplace_back(0, i);
    if (i % 3 == 0) batch.emplace_back(i, 0);
  }
  add_edges(batch);
  ASSERT_NO_FATAL_FAILURE(check());

  // Each round removes leaves and hub edges, and adds edges to leaves that
  // are left, all in one parallel batch; the last rounds leave the hub only a
  // few edges, and the next one gives it many again.
  for (const int percent : {30, 40, 90, 95, 0, 60}) {
    SCOPED_TRACE(percent);
    std::vector<int> gone_nodes;
    std::vector<std::pair<int, int>> gone_edges, added;
    for (const int i : nodes)
      if (i != 0 && static_cast<int>(rng() % 100) < percent / 2) gone_nodes.push_back(i);
    const std::set<int> going(gone_nodes.begin(), gone_nodes.end());
    for (const auto& [s, e] : edges)
      if (!going.contains(s) && !going.contains(e) && static_cast<int>(rng() % 100) < percent)
        gone_edges.emplace_back(s, e);
    for (const int i : nodes)
      if (i != 0 && !going.contains(i) && !edges.contains({0, i}) && rng() % 3 == 0) added.emplace_back(0, i);
    const std::size_t total = gone_nodes.size() + gone_edges.size() + added.size();
    test_pool::parallel_for(std::size_t{0}, total, [&](std::size_t k) {
      if (k < gone_nodes.size()) {
        auto r = g.remove_node(node_uid(gone_nodes[k]));
        ASSERT_TRUE(r && *r);
        return;
      }
      k -= gone_nodes.size();
      if (k < gone_edges.size()) {
        const auto [s, e] = gone_edges[k];
        auto r = g.remove_edge({node_uid(s), node_uid(e)});
        ASSERT_TRUE(r && *r);
        return;
      }
      const auto [s, e] = added[k - gone_edges.size()];
      ASSERT_TRUE(g.add_edge(edge_term(s, e), PropertyMap::empty(), new_created_flag()));
    });
    for (const int i : gone_nodes) {
      nodes.erase(i);
      std::erase_if(edges, [&](const auto& edge) { return edge.first == i || edge.second == i; });
    }
    for (const auto& edge : gone_edges) edges.erase(edge);
    edges.insert(added.begin(), added.end());
    ASSERT_NO_FATAL_FAILURE(check());
  }
}

// Propagation, rebuilding and the text forms along a chain far longer than a
// recursion per link could take on a pool thread's stack.
TEST(StoreDepth, LongChainPropagatesWithoutRecursion) {
  Graph g;
  constexpr int kChain = 4000;
  auto created = new_created_flag();
  for (int i = 0; i < kChain; ++i)
    ASSERT_TRUE(g.add_node(var(type_name(i)), std::nullopt, PropertyMap::empty(), created));
  for (int i = 0; i + 1 < kChain; ++i) ASSERT_TRUE(g.add_edge(edge_term(i, i + 1), PropertyMap::empty(), created));
  auto r = g.add_node(var(type_name(0)), basic("t0", var(type_name(0))), PropertyMap::empty(), created);
  ASSERT_TRUE(r) << report_text(r.error());
  const Uid last = node_uid(kChain - 1);
  auto text = g.term_to_string(last);
  ASSERT_TRUE(text) << report_text(text.error());
  EXPECT_TRUE(text->starts_with(fmt::format("(f{}_{} (f{}_{} ", kChain - 2, kChain - 1, kChain - 3, kChain - 2)));
  EXPECT_TRUE(text->ends_with("(f0_1 t0)" + std::string(kChain - 2, ')')));
  auto term = g.term_from_uid(last);
  ASSERT_TRUE(term) << report_text(term.error());
  EXPECT_TRUE(typing::types_equal(term->type(), var(type_name(kChain - 1))));
  EXPECT_TRUE(g.node_to_string(last)->starts_with(fmt::format("Node(V{}:(f", kChain - 1)));

  // A type nested as deep, stored, rebuilt and written out.
  TypePtr deep = var("Z");
  for (int i = 0; i < kChain; ++i) deep = make_arrow(var("Y"), deep);
  const Uid deep_uid = g.insert_type(*deep);
  EXPECT_EQ(deep_uid, uid_of(deep));
  auto rebuilt = g.type_from_uid(deep_uid);
  ASSERT_TRUE(rebuilt);
  EXPECT_TRUE(typing::types_equal(*rebuilt, deep));
  EXPECT_EQ(g.type_to_string(deep_uid)->size(), deep->to_string().size());
}

// Terms whose application would be stored under the row of its own argument.
TEST(StoreCycles, NoStoredTermContainsItself) {
  const auto a = var("A");
  const auto aa = make_arrow(a, a);
  {
    // A self-loop: the node's own term stays, nothing is applied to it.
    Graph g;
    auto created = new_created_flag();
    ASSERT_TRUE(g.add_node(a, std::nullopt, PropertyMap::empty(), created));
    ASSERT_TRUE(g.add_edge(basic("f", aa), PropertyMap::empty(), created));
    ASSERT_TRUE(g.add_node(a, basic("x", a), PropertyMap::empty(), created));
    EXPECT_EQ(*g.term_to_string(uid_of(a)), "x");
    EXPECT_EQ(*g.node_to_string(uid_of(a)), "Node(A:x {})");
  }
  {
    // (f x) with f : A -> A and x : A is refused whole: no partial rows, no node.
    Graph g;
    const Term fx = *basic("f", aa).apply(basic("x", a));
    EXPECT_EQ(g.insert_term(fx), uid_of(a));
    EXPECT_FALSE(g.has_term(uid_of(a)));
    EXPECT_FALSE(g.has_term(uid_of(aa)));
    EXPECT_TRUE(Inspect::has_type(g, uid_of(aa)));
    auto created = new_created_flag();
    auto r = g.add_node(a, fx, PropertyMap::empty(), created);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().current_context().message(),
              "Invalid Term: 'term contains a sub-term of the same type as a term enclosing it'");
    EXPECT_FALSE(g.has_node(uid_of(a)));
    EXPECT_FALSE(created->load());
    // Deeper: (g (f t)) with f : A -> B and g : B -> A repeats A on its path.
    const auto b = var("B");
    const Term gft = *basic("g", make_arrow(b, a)).apply(*basic("f", make_arrow(a, b)).apply(basic("t", a)));
    g.insert_term(gft);
    EXPECT_FALSE(g.has_term(uid_of(a)));
    EXPECT_FALSE(g.has_term(uid_of(b)));
    // Without a repeat the same parts are stored.
    g.insert_term(*basic("f", make_arrow(a, b)).apply(basic("t", a)));
    EXPECT_EQ(*g.term_to_string(uid_of(b)), "(f t)");
  }
}

}  // namespace
}  // namespace velmora::graph
