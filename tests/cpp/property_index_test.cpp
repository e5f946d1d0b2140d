// The property index against the scan it stands in for: after rounds of
// parallel inserts, merges, overwrites with one map handed to many rows,
// removals and re-insertions, a node step and an edge step with a property
// block must return exactly the rows whose maps a direct comparison accepts.
#include "graph/property_index.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <atomic>
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
#include "patterns/path.hpp"
#include "pool_support.hpp"
#include "store_test_support.hpp"

namespace velmora::graph {
namespace {

using patterns::PathPattern;
using test_support::basic;
using test_support::ty;
using test_support::uid_of;

constexpr int kNodes = 120;
const std::vector<std::string> kKeys = {"k", "j", "m"};

// Values and, for those a block can state, their literal: equal integers,
// floats, booleans and strings of one another's look, and values the index
// leaves to the comparison.
struct Literal {
  Value value;
  std::string text;  // empty: not written in blocks
};
const std::vector<Literal>& literals() {
  static const std::vector<Literal> all = {
      {Value(0), "0"},
      {Value(1), "1"},
      {Value(7), "7"},
      {Value(1.0), "1.0"},
      {Value(7.0), "7.0"},
      {Value(true), "true"},
      {Value(false), "false"},
      {Value("1"), "'1'"},
      {Value("x"), "'x'"},
      {Value(""), "''"},
      {Value("a text past twelve bytes"), "'a text past twelve bytes'"},
      {Value(Value::Array{Value(1), Value(2)}), "[1, 2]"},
      {Value(Value::Array{Value(1), Value(2.0)}), "[1, 2.0]"},
      {Value(Value::Array{Value(1), Value(Value::Array{Value("x")})}), "[1, ['x']]"},
      {Value(Value::Array{Value(1), Value(Value::Array{Value(2.0)})}), "[1, [2.0]]"},
      {Value(Value::Array{Value(true), Value("1")}), "[true, '1']"},
      {Value(Value::Array{Value(Value::Array{})}), "[[]]"},
      {Value(Value::Array{}), "[]"},
      {Value(Value::Map{{"c", Value(3)}}), "{c: 3}"},
      {Value(), ""}};
  return all;
}

std::string type_of(int i) { return fmt::format("N{}", i); }

PropertyEntries random_entries(std::mt19937& rng) {
  PropertyEntries out;
  const int count = std::uniform_int_distribution<int>(0, 3)(rng);
  for (int i = 0; i < count; ++i) {
    const auto& key = kKeys[std::uniform_int_distribution<std::size_t>(0, kKeys.size() - 1)(rng)];
    const auto pick = std::uniform_int_distribution<std::size_t>(0, literals().size() - 1)(rng);
    out.insert_or_assign(key, literals()[pick].value);
  }
  // Now and then a map with many more entries than a block asks about.
  if (std::uniform_int_distribution<int>(0, 3)(rng) == 0)
    for (int i = 0; i < 9; ++i) out.insert_or_assign(fmt::format("f{}", i), Value(i));
  return out;
}

std::string random_block(std::mt19937& rng) {
  std::vector<std::string> parts;
  const int count = std::uniform_int_distribution<int>(1, 2)(rng);
  for (int i = 0; i < count; ++i) {
    const auto& literal = literals()[std::uniform_int_distribution<std::size_t>(0, literals().size() - 2)(rng)];
    parts.push_back(fmt::format("{}: {}", kKeys[static_cast<std::size_t>(i)], literal.text));
  }
  return fmt::format("{{{}}}", fmt::join(parts, ", "));
}

class PropertyIndexAgainstScan : public ::testing::TestWithParam<unsigned> {
 protected:
  Graph g;

  void add_node(int i, PropertyEntries entries) {
    ASSERT_TRUE(g.add_node(ty(type_of(i)), std::nullopt, PropertyMap(std::move(entries)), new_created_flag()));
  }

  std::set<Uid> nodes_by_index(const std::string& block) {
    auto path = PathPattern::create(fmt::format("(n {})", block));
    EXPECT_TRUE(path.has_value());
    MatchSet root = new_match_set();
    root->insert(0, MatchEntry{Uid{}, Match::create()});
    auto found = matches::match_node_pattern(g, path->nodes()[0], root, nullptr);
    EXPECT_TRUE(found.has_value());
    std::set<Uid> out;
    for (std::uint64_t id : found->get()->keys()) out.insert(found->get()->get(id)->prev_uid);
    return out;
  }

  std::set<Uid> nodes_by_scan(const std::string& block) {
    auto path = PathPattern::create(fmt::format("(n {})", block));
    const PropertyMap& wanted = *path->nodes()[0].properties();
    std::set<Uid> out;
    for (const Uid& uid : Inspect::node_uids(g))
      if (*matches::check_node_matches_properties(g, uid, wanted)) out.insert(uid);
    return out;
  }

  std::set<EdgeKey> edges_by_index(const std::string& block) {
    auto path = PathPattern::create(fmt::format("(a)-[e {}]->(b)", block));
    EXPECT_TRUE(path.has_value());
    MatchSet root = new_match_set();
    root->insert(0, MatchEntry{Uid{}, Match::create()});
    auto found = match_path_pattern(g, *path, root, nullptr);
    EXPECT_TRUE(found.has_value());
    std::set<EdgeKey> out;
    for (std::uint64_t id : found->get()->keys()) out.insert(found->get()->get(id)->match->get("e")->edge_key());
    return out;
  }

  std::set<EdgeKey> edges_by_scan(const std::string& block) {
    auto path = PathPattern::create(fmt::format("(a)-[e {}]->(b)", block));
    const PropertyMap& wanted = *path->edges()[0].properties();
    std::set<EdgeKey> out;
    for (const EdgeKey& key : Inspect::edge_keys(g))
      if (*matches::properties_match(wanted, *g.edge_properties(key))) out.insert(key);
    return out;
  }
};

TEST_P(PropertyIndexAgainstScan, NodeAndEdgeStepsReturnWhatTheScanReturns) {
  std::mt19937 rng(GetParam());
  // A few maps that set steps hand to many rows at once.
  std::vector<PropertyMap> shared;
  for (int i = 0; i < 4; ++i) shared.emplace_back(random_entries(rng));

  test_pool::parallel_for(0, kNodes, [&](int i) {
    std::mt19937 local(GetParam() * 1000 + static_cast<unsigned>(i));
    add_node(i, random_entries(local));
  });

  for (unsigned round = 0; round < 6; ++round) {
    test_pool::parallel_for(0, kNodes, [&](int i) {
      std::mt19937 local(GetParam() * 7919 + round * 131 + static_cast<unsigned>(i));
      const Uid uid = uid_of(type_of(i));
      const int j = std::uniform_int_distribution<int>(0, kNodes - 1)(local);
      switch (std::uniform_int_distribution<int>(0, 7)(local)) {
        case 0: (void)g.set_node_properties(uid, PropertyMap(random_entries(local)), true); break;
        case 1: (void)g.set_node_properties(uid, shared[static_cast<std::size_t>(j % 4)], true); break;
        case 2:
        case 3:
          // Into a map of its own, or into a copy of one handed to other rows.
          (void)g.set_node_properties(uid, PropertyMap(random_entries(local)), false);
          break;
        case 4:
          // Only odd nodes go, and edges join even ones: a removal never
          // races with an edge that needs the node.
          if (i % 2 == 1) (void)g.remove_node(uid);
          break;
        case 5:
          // An existing node keeps its map; a removed one comes back with this one.
          add_node(i, random_entries(local));
          break;
        default:
          if (i != j && i % 2 == 0 && j % 2 == 0) {
            const auto term = basic(fmt::format("f{}_{}", i, j), fmt::format("{} -> {}", type_of(i), type_of(j)));
            (void)g.add_edge(term, PropertyMap(random_entries(local)), new_created_flag());
            const EdgeKey key{uid, uid_of(type_of(j))};
            (void)g.set_edge_properties(key, shared[static_cast<std::size_t>(i % 4)], local() % 2 == 0);
            (void)g.set_edge_properties(key, PropertyMap(random_entries(local)), false);
          }
          break;
      }
    });
    for (int b = 0; b < 12; ++b) {
      const std::string block = random_block(rng);
      EXPECT_EQ(nodes_by_index(block), nodes_by_scan(block)) << "round " << round << ", block " << block;
      EXPECT_EQ(edges_by_index(block), edges_by_scan(block)) << "round " << round << ", block " << block;
    }
  }
}

// A look-up of keys never asked about is answered by a walk of its own, and
// the next one by the postings it builds: both return what the comparison
// accepts, whatever the kinds of the values beside the one asked for.
TEST_P(PropertyIndexAgainstScan, FirstAndLaterLookUpsReturnWhatTheScanReturns) {
  const auto& all = literals();
  const std::size_t blocks = all.size() - 1;  // the last is not written in blocks
  test_pool::parallel_for(0, kNodes, [&](int i) {
    std::mt19937 local(GetParam() * 104729 + static_cast<unsigned>(i));
    const auto pick = [&](std::size_t likely) -> const Value& {
      return local() % 3 == 0 ? all[likely].value : all[local() % all.size()].value;
    };
    PropertyEntries entries;
    for (std::size_t b = 0; b < blocks; ++b) {
      if (local() % 4 == 0) continue;
      entries.emplace(fmt::format("p{}", b), pick(b));
      entries.emplace(fmt::format("q{}", b), pick(b));
      entries.emplace(fmt::format("r{}", b), pick((b + 1) % blocks));
    }
    add_node(i, std::move(entries));
  });
  for (std::size_t b = 0; b < blocks; ++b) {
    const std::string one = fmt::format("{{p{}: {}}}", b, all[b].text);
    const std::string two = fmt::format("{{q{}: {}, r{}: {}}}", b, all[b].text, b, all[(b + 1) % blocks].text);
    for (int ask = 0; ask < 2; ++ask) {
      EXPECT_EQ(nodes_by_index(one), nodes_by_scan(one)) << "block " << one << ", ask " << ask;
      EXPECT_EQ(nodes_by_index(two), nodes_by_scan(two)) << "block " << two << ", ask " << ask;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, PropertyIndexAgainstScan, ::testing::Range(1u, 9u));

// A graph's index builds a key when a look-up first asks about it: look-ups
// racing that first build, for keys never asked about before, each see every
// row, and rows written after the build are kept.
TEST(PropertyIndex, LookUpsRacingTheFirstBuildSeeEveryRow) {
  Graph g;
  constexpr int kRows = 3000;
  test_pool::parallel_for(0, kRows, [&](int i) {
    PropertyEntries entries{{"a", Value(i % 3)}, {"b", Value(Value::Array{Value(i % 2), Value("x")})}};
    ASSERT_TRUE(g.add_node(ty(type_of(i)), std::nullopt, PropertyMap(std::move(entries)), new_created_flag()));
  });
  const PropertyMap by_a(PropertyEntries{{"a", Value(1)}});
  const PropertyMap by_b(PropertyEntries{{"b", Value(Value::Array{Value(0), Value("x")})}});
  std::atomic<int> wrong{0};
  test_pool::parallel_for(0, 64, [&](int i) {
    const PropertyMap& block = i % 2 == 0 ? by_a : by_b;
    const std::size_t expected = i % 2 == 0 ? kRows / 3 : kRows / 2;
    const auto found = g.node_property_index().candidates(block, SIZE_MAX);
    if (!found || found->rows().size() != expected) wrong.fetch_add(1);
    if (g.node_property_index().count(block) != expected) wrong.fetch_add(1);
  });
  EXPECT_EQ(wrong.load(), 0);
  // Groups this large are put in order in bulk: every row is named, once.
  std::set<Uid> expected;
  for (int i = 1; i < kRows; i += 3) expected.insert(uid_of(type_of(i)));
  const auto found = g.node_property_index().candidates(by_a, SIZE_MAX);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(std::set<Uid>(found->rows().begin(), found->rows().end()), expected);
  ASSERT_TRUE(g.add_node(ty("Late"), std::nullopt, PropertyMap(PropertyEntries{{"a", Value(1)}}), new_created_flag()));
  EXPECT_EQ(g.node_property_index().count(by_a), std::optional<std::size_t>(kRows / 3 + 1));
}

// Blocks the index cannot answer for leave the matcher to scan.
TEST(PropertyIndex, AnswersOnlyForExactEntries) {
  NodePropertyIndex index;
  const Uid a = uid_of("A");
  index.add(a, PropertyMap(PropertyEntries{{"k", Value(7)}, {"x", Value(1.0)}}));
  const auto block = [](PropertyEntries e) { return PropertyMap(std::move(e)); };
  EXPECT_FALSE(index.candidates(block({{"x", Value(1.0)}}), SIZE_MAX).has_value());
  // A float anywhere in a list makes the list compare with a tolerance.
  EXPECT_FALSE(
      index.candidates(block({{"x", Value(Value::Array{Value(1), Value(Value::Array{Value(1.0)})})}}), SIZE_MAX)
          .has_value());
  EXPECT_FALSE(index.candidates(block({{"x", Value(Value::Map{})}}), SIZE_MAX).has_value());
  EXPECT_FALSE(index.candidates(block({{"x", Value()}}), SIZE_MAX).has_value());
  EXPECT_FALSE(index.candidates(block({}), SIZE_MAX).has_value());
  const auto found = index.candidates(block({{"k", Value(7)}, {"x", Value(1.0)}}), SIZE_MAX);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->rows(), std::vector<Uid>{a});
  // Equal-looking values of other kinds are other entries.
  for (const Value& other : {Value("7"), Value(true), Value(8)}) {
    const auto none = index.candidates(block({{"k", other}}), SIZE_MAX);
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->rows().empty());
  }
  EXPECT_FALSE(index.candidates(block({{"k", Value(7)}}), 0).has_value());
}

// Entries whose key and value texts run together the same way, and keys
// around the lengths where the key's length takes another byte, are each
// their own entry.
TEST(PropertyIndex, KeepsEntriesApartWhateverTheirKeysLengths) {
  NodePropertyIndex index;
  std::vector<std::pair<std::string, Value>> entries = {{"a", Value("bc")}, {"ab", Value("c")}, {"", Value("abc")},
                                                        {"abc", Value("")}, {"a", Value(1)},    {"a", Value(true)}};
  for (const std::size_t length : {127, 128, 129, 16383, 16384}) {
    entries.emplace_back(std::string(length, 'k'), Value(7));
    entries.emplace_back(std::string(length - 1, 'k'), Value("k"));
  }
  for (std::size_t i = 0; i < entries.size(); ++i)
    index.add(uid_of(fmt::format("N{}", i)), PropertyMap(PropertyEntries{{entries[i].first, entries[i].second}}));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto found = index.candidates(PropertyMap(PropertyEntries{{entries[i].first, entries[i].second}}), SIZE_MAX);
    ASSERT_TRUE(found.has_value()) << i;
    EXPECT_EQ(found->rows(), std::vector<Uid>{uid_of(fmt::format("N{}", i))}) << i;
  }
}

}  // namespace
}  // namespace velmora::graph
