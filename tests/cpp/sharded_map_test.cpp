#include "utils/sharded_map.hpp"
#include "pool_support.hpp"

#include <gtest/gtest.h>
#include <tbb/parallel_for.h>

#include <atomic>
#include <memory>
#include <string>

#include "parallel.hpp"

namespace velmora::utils {
namespace {

TEST(ShardedMap, InsertGetReplaceRemove) {
  ShardedMap<std::string, int> map;
  EXPECT_TRUE(map.empty());
  EXPECT_FALSE(map.insert("a", 1));
  EXPECT_EQ(map.insert("a", 2), 1);  // returns what it replaced
  EXPECT_FALSE(map.insert_if_absent("a", 3));
  EXPECT_EQ(map.get("a"), 2);
  EXPECT_EQ(map.with_read("a", [](const int& v) { return v * 10; }), 20);
  EXPECT_FALSE(map.with_read("zz", [](const int& v) { return v; }));
  EXPECT_TRUE(map.with_write("a", [](int& v) { v = 7; }));
  EXPECT_FALSE(map.with_write("zz", [](int&) {}));
  EXPECT_EQ(map.remove("a"), 7);
  EXPECT_FALSE(map.remove("a"));
  EXPECT_EQ(map.size(), 0u);
}

// Bulk writes by shard, and emptying on the pool, release what they held.
TEST(ShardedMap, ShardWritesAndParallelClear) {
  ShardedMap<int, std::shared_ptr<int>> map;
  auto shared = std::make_shared<int>(0);
  for (int i = 0; i < 1000; ++i)
    map.with_shard_write(map.shard_of(i), [&](auto& table) { table.try_emplace(i, shared); });
  EXPECT_EQ(map.size(), 1000u);
  EXPECT_EQ(map.get(999), shared);
  map.clear_parallel();
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(shared.use_count(), 1);
}

TEST(ShardedMap, ConcurrentInsertIfAbsentHasOneWinnerPerKey) {
  ShardedMap<int, int> map;
  std::atomic<int> wins{0};
  test_pool::parallel_for(0, 64000, [&](int i) {
    if (map.insert_if_absent(i % 1000, i)) ++wins;
  });
  EXPECT_EQ(wins.load(), 1000);
  EXPECT_EQ(map.size(), 1000u);
  EXPECT_EQ(map.keys().size(), 1000u);
}

TEST(ShardedMap, ConcurrentRemoveReturnsEachValueOnce) {
  ShardedMap<int, int> map;
  for (int i = 0; i < 5000; ++i) map.insert(i, i);
  std::atomic<long> sum{0};
  test_pool::parallel_for(0, 20000, [&](int i) {
    if (auto v = map.remove(i % 5000)) sum += *v;
  });
  EXPECT_EQ(sum.load(), 5000L * 4999 / 2);
  EXPECT_TRUE(map.empty());
}

TEST(ShardedMap, UpsertSeesInsertedFlag) {
  ShardedMap<int, int> map;
  int inserted = 0;
  for (int i = 0; i < 3; ++i)
    map.upsert(
        1, [] { return 10; },
        [&](int& v, bool fresh) {
          inserted += fresh;
          ++v;
        });
  EXPECT_EQ(inserted, 1);
  EXPECT_EQ(map.get(1), 13);
}

TEST(ShardedSet, ShardWiseWalksSeeEveryEntryOnce) {
  ShardedSet<int> set;
  for (int i = 0; i < 10000; ++i) EXPECT_TRUE(set.insert(i));
  EXPECT_FALSE(set.insert(5));
  std::atomic<long> sum{0};
  set.for_each_shard_parallel([&](const auto& table) {
    for (int v : table) sum += v;
  });
  EXPECT_EQ(sum.load(), 10000L * 9999 / 2);
  EXPECT_TRUE(set.erase(5));
  EXPECT_FALSE(set.contains(5));
}

TEST(ShardedSet, OneShardSetsWork) {
  ShardedSet<int, absl::Hash<int>, 1> set;
  test_pool::parallel_for(0, 1000, [&](int i) { set.insert(i % 100); });
  EXPECT_EQ(set.size(), 100u);
}

TEST(ShardedMap, TryForEachEntryStopsAtTheFirstError) {
  ShardedMap<int, int> map;
  for (int i = 0; i < 10000; ++i) map.insert(i, i);
  std::atomic<int> visited{0};
  auto status = try_for_each_entry(map, [&](int key, int) -> Status {
    ++visited;
    if (key == 1234) return fail(errors::VariableNotFound{"k", std::nullopt});
    return {};
  });
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().current_context().message(), "Variable not found: 'k'");
  EXPECT_LE(visited.load(), 10000);
  EXPECT_TRUE(try_for_each_entry(map, [](int, int) -> Status { return {}; }));
}

}  // namespace
}  // namespace velmora::utils
