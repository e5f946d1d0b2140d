// The row-id index of the type table, against a plain map: with a hash that
// spreads keys and with one that gives most keys the same hash, so that
// entries agree on their kept hash bits and only the rows tell them apart.
// A row's id from its address in the chunked rows.
// A node's edge lists against two sets, through growth past the size that
// carries positions and shrinking back below it.
#include <absl/hash/hash.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "graph/edge_table.hpp"
#include "graph/node_table.hpp"
#include "graph/rows.hpp"
#include "graph/type_table.hpp"
#include "pool_support.hpp"

namespace velmora::graph {
namespace {

// The rows: written once by the caller that was handed their id.
struct Rows {
  explicit Rows(std::size_t capacity) : keys(capacity) {}
  std::vector<std::string> keys;
  std::atomic<std::uint32_t> count{0};

  std::uint32_t add(const std::string& key) {
    const std::uint32_t id = count.fetch_add(1);
    keys[id] = key;
    return id;
  }
};

struct Spread {
  static std::size_t hash(const std::string& key) { return absl::Hash<std::string>{}(key); }
  static const std::string& key(const Rows& rows, std::uint32_t id) { return rows.keys[id]; }
  static bool equal(const std::string& a, const std::string& b) { return a == b; }
  static void prefetch(const Rows& rows, std::uint32_t id) { __builtin_prefetch(&rows.keys[id]); }
};
// Three hashes for every key there is.
struct Crowded : Spread {
  static std::size_t hash(const std::string& key) { return key.size() % 3; }
};

template <class Policy>
void compare_with_model(std::size_t keys, std::size_t draws) {
  Rows rows(keys);
  rows::IdIndex<std::string, Rows, Policy> index(&rows);
  std::map<std::string, std::uint32_t> model;
  std::mt19937 random(7);
  const auto key_of = [&](std::size_t i) { return "k" + std::to_string(i * 2654435761u % 1000003u); };
  for (std::size_t draw = 0; draw < draws; ++draw) {
    const std::string key = key_of(random() % keys);
    if (random() % 3 == 0) {
      const auto found = index.find(key);
      const auto it = model.find(key);
      ASSERT_EQ(found.has_value(), it != model.end()) << key;
      if (found) {
        ASSERT_EQ(*found, it->second) << key;
      }
      continue;
    }
    // A row that fails to be made leaves no trace of its key.
    if (random() % 8 == 0) {
      bool asked = false;
      const auto fail = [&]() -> std::uint32_t {
        asked = true;
        throw std::runtime_error("no row");
      };
      try {
        const auto [id, added] = random() % 2 ? index.find_or_add(key, fail) : index.add(key, fail);
        ASSERT_FALSE(added) << key;
        ASSERT_EQ(id, model.at(key)) << key;
      } catch (const std::runtime_error&) {
        ASSERT_TRUE(asked && !model.contains(key)) << key;
      }
    }
    // Looking first under the read lock or not, an addition answers the same.
    bool made = false;
    const auto make = [&] {
      made = true;
      return rows.add(key);
    };
    const auto [id, added] = random() % 2 ? index.find_or_add(key, make) : index.add(key, make);
    const auto [it, fresh] = model.try_emplace(key, id);
    ASSERT_EQ(added, fresh) << key;
    ASSERT_EQ(made, fresh) << key;
    ASSERT_EQ(id, it->second) << key;
    ASSERT_EQ(rows.keys[id], key);
  }
  // Everything added is still found after all the growth.
  for (const auto& [key, id] : model) ASSERT_EQ(index.find(key), std::optional<std::uint32_t>(id)) << key;
  EXPECT_FALSE(index.find("absent"));
  // Keys looked up together, present or not, repeated, in batches of every
  // size up to past the largest that is held at once, answer as one by one.
  for (std::size_t size = 0; size <= 10; ++size) {
    std::vector<std::string> batch;
    for (std::size_t i = 0; i < size; ++i)
      batch.push_back(random() % 4 == 0 && !batch.empty() ? batch.front() : key_of(random() % (keys + keys / 4)));
    // Asking for a look-up's slots ahead changes no answer.
    for (const auto& key : batch) index.prefetch(key);
    std::vector<std::optional<std::uint32_t>> out(size, std::uint32_t{999999});
    index.find_each(batch, out.data());
    for (std::size_t i = 0; i < size; ++i) ASSERT_EQ(out[i], index.find(batch[i])) << batch[i];
  }
}

TEST(RowIndex, AgreesWithAMapWhenHashesSpread) { compare_with_model<Spread>(40000, 120000); }

TEST(RowIndex, AgreesWithAMapWhenHashesCollide) { compare_with_model<Crowded>(1500, 6000); }

TEST(RowIndex, ConcurrentAddsOfTheSameKeysGiveOneIdEach) {
  constexpr std::size_t kKeys = 2000, kThreads = 8;
  Rows rows(kKeys * kThreads);
  rows::IdIndex<std::string, Rows, Spread> index(&rows);
  std::vector<std::atomic<std::uint32_t>> seen(kKeys);
  for (auto& s : seen) s.store(0xFFFFFFFFu);
  std::atomic<std::size_t> mismatches{0}, made{0};
  test_pool::parallel_for(std::size_t{0}, kKeys * kThreads, [&](std::size_t i) {
    const std::size_t k = i % kKeys;
    const std::string key = "n" + std::to_string(k);
    const auto [id, added] = index.find_or_add(key, [&] {
      made.fetch_add(1);
      return rows.add(key);
    });
    std::uint32_t expected = 0xFFFFFFFFu;
    if (!seen[k].compare_exchange_strong(expected, id) && expected != id) mismatches.fetch_add(1);
  });
  EXPECT_EQ(mismatches.load(), 0u);
  EXPECT_EQ(made.load(), kKeys);
  for (std::size_t k = 0; k < kKeys; ++k) EXPECT_EQ(index.find("n" + std::to_string(k)), seen[k].load());
}

// A slot's address gives back its id in every chunk, the first and last of
// each; an address inside a slot, or outside every chunk, gives none.
TEST(ChunkedRows, AnAddressGivesBackItsId) {
  rows::Chunked<TypeRow> rows;
  constexpr std::uint32_t kRows = 20000;  // chunks of 1024, 2048, ..., 16384 rows
  for (std::uint32_t id = 0; id < kRows; ++id) rows.slot(id).left = id;
  for (std::uint32_t id = 0; id < kRows; ++id) ASSERT_EQ(rows.id_at(&rows.at(id)), id);
  const auto* inside = reinterpret_cast<const unsigned char*>(&rows.at(1500)) + sizeof(Uid);
  EXPECT_EQ(rows.id_at(inside), std::nullopt);
  const TypeRow elsewhere{};
  EXPECT_EQ(rows.id_at(&elsewhere), std::nullopt);
}

// Random additions and removals on both sides of one list, ids shared by
// the two sides as a loop's arrow is: the sides always hold what the model
// holds, whether the block is scanned or carries positions, and a removal of
// an id that is not on the side (though maybe on the other) changes nothing.
TEST(EdgeList, AgreesWithTwoSetsThroughGrowthAndShrinking) {
  std::mt19937 random(11);
  Adjacency list;
  std::set<TypeId> out, in;
  const auto check = [&] {
    const auto listed_out = list.out();
    const auto listed_in = list.in();
    ASSERT_EQ(std::set<TypeId>(listed_out.begin(), listed_out.end()), out);
    ASSERT_EQ(std::set<TypeId>(listed_in.begin(), listed_in.end()), in);
    ASSERT_EQ(listed_out.size(), out.size());
    ASSERT_EQ(listed_in.size(), in.size());
  };
  // Phases that aim at a size: up to a hub's, down to a few, up again.
  for (const std::size_t target :
       {std::size_t{40}, std::size_t{3000}, std::size_t{5}, std::size_t{900}, std::size_t{0}, std::size_t{200}}) {
    for (int step = 0; step < 6000; ++step) {
      const bool leaving = random() % 2 == 0;
      auto& model = leaving ? out : in;
      const bool grow = out.size() + in.size() < target ? random() % 4 != 0 : random() % 4 == 0;
      if (grow) {
        const TypeId id = random() % 5000;
        if (model.contains(id)) continue;
        leaving ? list.add_out(id) : list.add_in(id);
        model.insert(id);
      } else {
        // Mostly ids on the side, sometimes one only on the other side or on none.
        TypeId id = random() % 5000;
        if (!model.empty() && random() % 8 != 0) {
          auto it = model.lower_bound(id);
          if (it == model.end()) it = model.begin();
          id = *it;
        }
        const bool there = model.contains(id);
        ASSERT_EQ(leaving ? list.remove_out(id) : list.remove_in(id), there) << id;
        model.erase(id);
      }
      if (step % 97 == 0) ASSERT_NO_FATAL_FAILURE(check());
    }
    ASSERT_NO_FATAL_FAILURE(check());
  }
  // A moved list keeps its ids (and positions); the list it left is empty.
  Adjacency moved(std::move(list));
  list = std::move(moved);
  ASSERT_NO_FATAL_FAILURE(check());
  for (const TypeId id : std::vector<TypeId>(out.begin(), out.end())) ASSERT_TRUE(list.remove_out(id));
  for (const TypeId id : std::vector<TypeId>(in.begin(), in.end())) ASSERT_TRUE(list.remove_in(id));
  EXPECT_TRUE(list.out().empty() && list.in().empty());
}

// Lists of a few ids keep them in place until they outgrow it: moved at any
// size, a list keeps its ids and the one it left is empty; a removal from a
// small list leaves the rest.
TEST(EdgeList, SmallListsKeepTheirIdsThroughMoves) {
  std::mt19937 random(5);
  const auto same = [](std::span<const TypeId> listed, const std::vector<TypeId>& model) {
    return std::multiset<TypeId>(listed.begin(), listed.end()) == std::multiset<TypeId>(model.begin(), model.end());
  };
  for (int round = 0; round < 2000; ++round) {
    Adjacency list;
    std::vector<TypeId> out, in;
    const int adds = static_cast<int>(random() % 6);
    for (int i = 0; i < adds; ++i) {
      // A loop's arrow is on both sides: ids repeat across them.
      const TypeId id = 100 + static_cast<TypeId>(random() % 3) + 10 * static_cast<TypeId>(i);
      if (random() % 2) {
        list.add_out(id);
        out.push_back(id);
      } else {
        list.add_in(id);
        in.push_back(id);
      }
      Adjacency moved(std::move(list));
      ASSERT_TRUE(list.out().empty() && list.in().empty());
      list = std::move(moved);
      ASSERT_TRUE(same(list.out(), out) && same(list.in(), in)) << round << " " << i;
    }
    auto& side = random() % 2 ? out : in;
    if (side.empty()) continue;
    const TypeId gone = side[random() % side.size()];
    ASSERT_TRUE(&side == &out ? list.remove_out(gone) : list.remove_in(gone));
    side.erase(std::find(side.begin(), side.end(), gone));
    ASSERT_TRUE(same(list.out(), out) && same(list.in(), in)) << round;
  }
}

}  // namespace
}  // namespace velmora::graph
