// Property values and maps: text forms, map operations and the parallel
// comparison. Conversions to and from Python objects, and opaque values, are
// tested with the binding layer (binding_values_test.cpp).
#include "properties.hpp"

#include <gtest/gtest.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <atomic>
#include <barrier>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>
#include <latch>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cmp.hpp"
#include "pool_support.hpp"
#include "report_text.hpp"
#include "utils/locks/detector.hpp"

namespace velmora {
namespace {

using Array = Value::Array;
using Map = Value::Map;

using test_text::report_text;
using test_text::without_lines;

// ---------------------------------------------------------------- text forms

struct TextCase {
  std::string label;
  Value value;
  std::string text;
};

class PropertiesValueText : public ::testing::TestWithParam<TextCase> {};

TEST_P(PropertiesValueText, RendersExactly) { EXPECT_EQ(GetParam().value.to_string(), GetParam().text); }

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Scalars, PropertiesValueText,
    ::testing::Values(TextCase{"Empty", Value(), "()"}, TextCase{"True", true, "true"},
                      TextCase{"False", false, "false"}, TextCase{"Negative", -42, "-42"},
                      TextCase{"IntMin", std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
                      TextCase{"One", 1.0, "1.0"}, TextCase{"Quarter", 0.25, "0.25"},
                      TextCase{"MinusThreeHalf", -3.5, "-3.5"}, TextCase{"Zero", 0.0, "0.0"},
                      TextCase{"NegativeZero", -0.0, "-0.0"}, TextCase{"Hundred", 100.0, "100.0"},
                      TextCase{"Tenth", 0.1, "0.1"}, TextCase{"SumOfTenths", 0.1 + 0.2, "0.30000000000000004"},
                      TextCase{"Mixed", 123456.789, "123456.789"}, TextCase{"E15", 1e15, "1000000000000000.0"},
                      TextCase{"LargestPlain", 9999999999999998.0, "9999999999999998.0"},
                      TextCase{"SmallFractionPlain", 0.000123, "0.000123"},
                      TextCase{"SmallestExponentAbove", 1e16, "1e16"}, TextCase{"NegativeE16", -1e16, "-1e16"},
                      TextCase{"ManyDigitsAbove", 1.2345678e20, "1.2345678e20"},
                      TextCase{"SmallestPlain", 1e-4, "0.0001"}, TextCase{"JustBelowPlain", 9.9e-5, "9.9e-5"},
                      TextCase{"SmallFraction", 1.5e-5, "1.5e-5"}, TextCase{"NegativeSmall", -1.25e-7, "-1.25e-7"},
                      TextCase{"Denormal", 5e-324, "5e-324"},
                      TextCase{"Max", std::numeric_limits<double>::max(), "1.7976931348623157e308"},
                      TextCase{"NaN", std::numeric_limits<double>::quiet_NaN(), "NaN"}, TextCase{"Inf", kInf, "inf"},
                      TextCase{"MinusInf", -kInf, "-inf"}),
    [](const auto& info) { return info.param.label; });

INSTANTIATE_TEST_SUITE_P(
    Strings, PropertiesValueText,
    ::testing::Values(
        TextCase{"Plain", "plain text", "\"plain text\""}, TextCase{"EmptyString", "", "\"\""},
        TextCase{"Quote", "a\"b", "\"a\\\"b\""}, TextCase{"Apostrophe", "it's", "\"it's\""},
        TextCase{"Backslash", "a\\b", "\"a\\\\b\""}, TextCase{"TabNewlineReturn", "\t\n\r", "\"\\t\\n\\r\""},
        TextCase{"Nul", std::string("a\0b", 3), "\"a\\0b\""},
        TextCase{"Controls", "\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
        TextCase{"C1Control", "\xc2\x85", "\"\\u{85}\""},
        TextCase{"NonAscii", "\xc3\xa9\xf0\x9f\x98\x80", "\"\xc3\xa9\xf0\x9f\x98\x80\""},
        TextCase{"Combining", "e\xcc\x81", "\"e\\u{301}\""}, TextCase{"CombiningFirst", "\xcc\x81x", "\"\\u{301}x\""},
        TextCase{"NoBreakSpace",
                 "a\xc2\xa0"
                 "b",
                 "\"a\\u{a0}b\""},
        TextCase{"IdeographicSpace", "\xe3\x80\x80", "\"\\u{3000}\""},
        TextCase{"ZeroWidthSpace", "\xe2\x80\x8b", "\"\\u{200b}\""},
        TextCase{"LineSeparator", "\xe2\x80\xa8", "\"\\u{2028}\""},
        TextCase{"PrivateUse", "\xee\x80\x80", "\"\\u{e000}\""}, TextCase{"Unassigned", "\xcd\xb8", "\"\\u{378}\""},
        TextCase{"InvalidByte", "\xff", "\"\xef\xbf\xbd\""}),
    [](const auto& info) { return info.param.label; });

INSTANTIATE_TEST_SUITE_P(
    Containers, PropertiesValueText,
    ::testing::Values(TextCase{"Array", Array{"x", "y"}, "[\"x\", \"y\"]"}, TextCase{"EmptyArray", Array{}, "[]"},
                      TextCase{"MixedArray", Array{Value(), 1, 1.5, true, Array{}}, "[(), 1, 1.5, true, []]"},
                      TextCase{"EmptyMap", Map{}, "#{}"}, TextCase{"Map", Map{{"k", 1}}, "#{\"k\": 1}"},
                      TextCase{"MapByteOrder", Map{{"b", 1}, {"B", 2}}, "#{\"B\": 2, \"b\": 1}"},
                      TextCase{"MapEscapedKey", Map{{"a\"b\n", Array{Value(), "\t"}}},
                               "#{\"a\\\"b\\n\": [(), \"\\t\"]}"},
                      TextCase{"MapInArray", Array{Map{{"m", Map{}}}}, "[#{\"m\": #{}}]"}),
    [](const auto& info) { return info.param.label; });

struct MapTextCase {
  std::string label;
  PropertyEntries entries;
  std::string text;
};

class PropertiesMapText : public ::testing::TestWithParam<MapTextCase> {};

TEST_P(PropertiesMapText, RendersExactly) { EXPECT_EQ(PropertyMap(GetParam().entries).to_string(), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Maps, PropertiesMapText,
    ::testing::Values(MapTextCase{"Empty", {}, "{}"},
                      MapTextCase{
                          "AgeAndTags", {{"age", 3}, {"tags", Array{"x", "y"}}}, "{age: 3, tags: [\"x\", \"y\"]}"},
                      MapTextCase{"NestedAndEmpty", {{"m", Map{{"k", 1}}}, {"z", Value()}}, "{m: #{\"k\": 1}, z: ()}"},
                      MapTextCase{"ByteOrder", {{"a", 2}, {"B", 1}}, "{B: 1, a: 2}"},
                      MapTextCase{"NonAsciiAfterAscii", {{"\xc3\xa9", 2}, {"z", 1}}, "{z: 1, \xc3\xa9: 2}"},
                      MapTextCase{"KeysBare", {{"a \"b\"", "x"}}, "{a \"b\": \"x\"}"}),
    [](const auto& info) { return info.param.label; });

// ---------------------------------------------------------------- map operations

std::vector<std::string> keys_of(const PropertyMap& map) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : map.iter()) keys.push_back(key);
  return keys;
}

TEST(PropertiesMap, InsertReplacesAndKeepsKeyOrder) {
  PropertyMap map = PropertyMap::empty();
  map.insert("b", 1);
  map.insert("a", 2);
  map.insert("B", 3);
  map.insert("a", "x");
  EXPECT_EQ(map.size(), 3u);
  EXPECT_EQ(keys_of(map), (std::vector<std::string>{"B", "a", "b"}));
  EXPECT_EQ(map.to_string(), "{B: 3, a: \"x\", b: 1}");
}

TEST(PropertiesMap, CopiesShareOneMapAndDefaultsDoNot) {
  PropertyMap map;
  PropertyMap copy = map;
  copy.insert("k", 1);
  ASSERT_TRUE(map.get("k"));
  EXPECT_EQ(map.get("k")->to_string(), "1");
  EXPECT_EQ(PropertyMap::empty().size(), 0u);
  EXPECT_EQ(PropertyMap().size(), 0u);
}

TEST(PropertiesMap, GetIsByteExactAndReturnsADeepCopy) {
  PropertyMap map({{"arr", Array{1}}, {"a", 1}});
  EXPECT_FALSE(map.get("A"));
  EXPECT_FALSE(map.get("arr "));
  auto value = map.get("arr");
  ASSERT_TRUE(value);
  value->get_if<Array>()->push_back(2);
  EXPECT_EQ(map.to_string(), "{a: 1, arr: [1]}");
}

TEST(PropertiesMap, IterIsASnapshot) {
  PropertyMap map({{"a", 1}});
  auto snapshot = map.iter();
  map.insert("z", 2);
  map.insert("a", 3);
  ASSERT_EQ(snapshot.size(), 1u);
  EXPECT_EQ(snapshot[0].second.to_string(), "1");
}

// A one-entry map with a short key and a boolean, number or short text is
// kept in place, any other map in a sorted list; random inserts move maps
// back and forth across that line, and every read must agree with an ordered
// map of the same entries: kinds, exact bits of floats, key order, copies.
TEST(PropertiesMap, RandomInsertsAgreeWithAnOrderedMap) {
  const std::vector<std::string> keys{"",
                                      "k",
                                      "b",
                                      "B",
                                      "name",
                                      std::string(13, 'k'),
                                      std::string(14, 'k'),
                                      std::string(21, 'z'),
                                      std::string(22, 'z'),
                                      std::string(23, 'z'),
                                      std::string("\xc3\xa9", 2),
                                      std::string("a\0b", 3)};
  const std::vector<Value> values{Value(true),
                                  Value(false),
                                  Value(0),
                                  Value(std::numeric_limits<std::int64_t>::min()),
                                  Value(-3),
                                  Value(0.0),
                                  Value(-0.0),
                                  Value(kInf),
                                  Value(std::numeric_limits<double>::quiet_NaN()),
                                  Value(1.5),
                                  Value(""),
                                  Value("x"),
                                  Value(std::string(8, 's')),
                                  Value(std::string(21, 's')),
                                  Value(std::string(22, 's')),
                                  Value(std::string("\0\1", 2)),
                                  Value(Array{1, "a"}),
                                  Value(Map{{"n", 1}}),
                                  Value()};
  const auto same = [](const Value& a, const Value& b) {
    if (a.kind() != b.kind()) return false;
    if (const double* x = a.get_if<double>()) return std::memcmp(x, b.get_if<double>(), sizeof *x) == 0;
    return a.to_string() == b.to_string();
  };
  const auto expect_agrees = [&](const PropertyMap& map, const Map& model) {
    ASSERT_EQ(map.size(), model.size());
    const auto entries = map.iter();
    ASSERT_EQ(entries.size(), model.size());
    auto it = model.begin();
    for (const auto& [key, value] : entries) {
      EXPECT_EQ(key, it->first);
      EXPECT_TRUE(same(value, it->second)) << key << ": " << value.to_string() << " vs " << it->second.to_string();
      ++it;
    }
    for (const auto& key : keys) {
      const auto got = map.get(key);
      const auto want = model.find(key);
      ASSERT_EQ(got.has_value(), want != model.end()) << key;
      if (got) {
        EXPECT_TRUE(same(*got, want->second)) << key;
      }
    }
    std::string text = "{";
    for (const auto& [key, value] : model) text += (text.size() > 1 ? ", " : "") + key + ": " + value.to_string();
    EXPECT_EQ(map.to_string(), text + "}");
    EXPECT_TRUE(*map.try_par_compare([&](const std::string& key, const Value& value) -> Result<bool> {
      const auto want = model.find(key);
      return want != model.end() && same(value, want->second);
    }));
  };
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    Map model;
    // Half the rounds start from a map made whole, half from an empty one.
    if (round % 2) {
      for (int i = rng() % 3; i > 0; --i)
        model.insert_or_assign(keys[rng() % keys.size()], values[rng() % values.size()]);
    }
    PropertyMap map(model);
    expect_agrees(map, model);
    for (int step = 0; step < 6; ++step) {
      // Few keys, so that most inserts replace.
      const std::string& key = keys[rng() % (step % 2 ? 3 : keys.size())];
      const Value& value = values[rng() % values.size()];
      map.insert(key, value);
      model.insert_or_assign(key, value);
      expect_agrees(map, model);
      const PropertyMap copy = map.copy();
      expect_agrees(copy, model);
      // A shared copy reads as the map; written, or through a handle copied
      // from it, it is a map of its own, and equal shared copies stay apart.
      PropertyMap shared = map.copy_shared();
      PropertyMap twin = map.copy_shared();
      expect_agrees(shared, model);
      const PropertyMap snapshot = shared.copy();
      PropertyMap handle = shared;
      Map written = model;
      written.insert_or_assign(key, Value("w"));
      handle.insert(key, Value("w"));
      expect_agrees(shared, written);
      expect_agrees(handle, written);
      expect_agrees(twin, model);
      expect_agrees(snapshot, model);
      expect_agrees(map, model);
      twin.insert("k", Value(2));
      expect_agrees(shared, written);
      expect_agrees(map.copy_shared(), model);
    }
  }
}

// Map bodies are recycled per thread: threads that make maps, free maps
// made by others and end (handing their recycled bodies back) must never
// give one body to two live maps.
TEST(PropertiesMap, BodiesMadeAndFreedOnManyThreadsStayDistinct) {
  constexpr int kThreads = 8, kMaps = 3000;
  std::vector<std::vector<PropertyMap>> made(kThreads), old(kThreads);
  for (int round = 0; round < 4; ++round) {
    old.swap(made);
    made.assign(kThreads, {});
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        old[(t + 1) % kThreads].clear();  // the neighbour's maps of the round before
        std::vector<PropertyMap> mine;
        for (int i = 0; i < kMaps; ++i) {
          PropertyMap map;
          map.insert("t", Value(t));
          map.insert("i", Value(i + round));
          mine.push_back(std::move(map));
          if (i % 3 == 0) mine.back().copy();  // made and freed at once
        }
        made[t] = std::move(mine);
      });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
      ASSERT_EQ(made[t].size(), static_cast<std::size_t>(kMaps));
      for (int i = 0; i < kMaps; ++i)
        ASSERT_EQ(made[t][i].to_string(), "{i: " + std::to_string(i + round) + ", t: " + std::to_string(t) + "}");
    }
  }
  std::thread([&] { made.clear(); }).join();
}

// ---------------------------------------------------------------- try_par_compare

TEST(PropertiesCompare, EmptyMapIsTrueWithoutCallingTheCheck) {
  std::atomic<int> calls{0};
  auto r = PropertyMap().try_par_compare([&](const std::string&, const Value&) -> Result<bool> {
    ++calls;
    return false;
  });
  ASSERT_TRUE(r);
  EXPECT_TRUE(*r);
  EXPECT_EQ(calls, 0);
}

PropertyMap numbered(int n) {
  PropertyEntries entries;
  for (int i = 0; i < n; ++i) entries.emplace(std::to_string(i), i);
  return PropertyMap(std::move(entries));
}

TEST(PropertiesCompare, AllTrueVisitsEveryEntry) {
  std::atomic<int> calls{0};
  auto r = numbered(500).try_par_compare([&](const std::string& key, const Value& value) -> Result<bool> {
    ++calls;
    return std::to_string(*value.get_if<std::int64_t>()) == key;
  });
  ASSERT_TRUE(r);
  EXPECT_TRUE(*r);
  EXPECT_EQ(calls, 500);
}

TEST(PropertiesCompare, MismatchesStopEarlyAndAreNeverErrors) {
  constexpr int kEntries = 20000;
  std::atomic<int> calls{0};
  auto r = numbered(kEntries).try_par_compare([&](const std::string&, const Value&) -> Result<bool> {
    ++calls;
    return false;
  });
  ASSERT_TRUE(r);
  EXPECT_FALSE(*r);
  EXPECT_LT(calls, kEntries);
}

TEST(PropertiesCompare, ErrorGetsTheClosureLine) {
  auto r = numbered(100).try_par_compare([](const std::string& key, const Value&) -> Result<bool> {
    if (key == "42") return fail(errors::RuntimeError{"boom", std::nullopt});
    return true;
  });
  ASSERT_FALSE(r);
  EXPECT_EQ(report_text(r.error()),
            "Something went wrong: 'boom'\n → property map - try par compare - closure [src/properties:N]");
}

TEST(PropertiesCompare, ErrorAndMismatchGiveOneOfTheTwo) {
  for (int round = 0; round < 20; ++round) {
    auto r = numbered(64).try_par_compare([](const std::string& key, const Value&) -> Result<bool> {
      if (key == "7") return fail(errors::RuntimeError{"boom", std::nullopt});
      return key != "50";
    });
    if (r) {
      EXPECT_FALSE(*r);
    } else {
      EXPECT_EQ(report_text(r.error()),
                "Something went wrong: 'boom'\n → property map - try par compare - closure [src/properties:N]");
    }
  }
}

// The matchers' use: pattern entries looked up in a stored map (whose read
// lock pool threads take while the caller holds the pattern's).
TEST(PropertiesCompare, PatternAgainstStoredMap) {
  const PropertyMap stored({{"a", 1}, {"b", "x"}, {"c", Array{1, 2}}});
  auto matches = [&](PropertyEntries pattern) {
    auto r = PropertyMap(std::move(pattern))
                 .try_par_compare([&](const std::string& key, const Value& value) -> Result<bool> {
                   auto other = stored.get(key);
                   return other && compare_values(value, *other);
                 });
    return r && *r;
  };
  EXPECT_TRUE(matches({{"a", 1}, {"c", Array{1, 2}}}));
  EXPECT_TRUE(matches({}));
  EXPECT_FALSE(matches({{"a", 1.0}}));
  EXPECT_FALSE(matches({{"z", 1}}));
  EXPECT_FALSE(matches({{"b", "X"}}));
}

// ---------------------------------------------------------------- opaque values

// Without the binding layer no hooks are installed: an opaque value is its
// address alone, copied, compared and dropped on any thread, and it takes or
// gives back no reference (the address here is no Python object at all).
TEST(PropertiesOpaque, WithoutHooksAValueIsItsAddressAlone) {
  int first_object = 0;
  int second_object = 0;
  auto* first = reinterpret_cast<PyObject*>(&first_object);
  auto* second = reinterpret_cast<PyObject*>(&second_object);
  const Value shared = PyOpaque(first);
  EXPECT_EQ(shared.get_if<PyOpaque>()->get(), first);
  EXPECT_EQ(shared.to_string(), "velmora::properties::PyOpaque");
  std::atomic<int> mismatches{0};
  test_pool::parallel_for(0, 1000, [&](int i) {
    const Value mine = PyOpaque(i % 2 ? first : second);
    const Value copy = Array{mine, shared};
    if (compare_values(mine, shared) != (i % 2 == 1)) ++mismatches;
    if (!compare_values(copy, Array{PyOpaque(i % 2 ? first : second), PyOpaque(first)})) ++mismatches;
  });
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(first_object, 0);
  EXPECT_EQ(second_object, 0);
}

// ---------------------------------------------------------------- map bodies

// A map has no body until its first write or the first copy of its handle,
// nor has a handle of shared entries (copy_shared). Threads race to be
// first, writing through the handle itself or through a copy of it, while
// others read it: exactly one body is installed, so every write lands in the
// one map, and readers only ever see it grow.
struct FirstUse {
  const char* name;
  int through_copies;  // of kWriters, how many write through a copy
  int readers;
  bool from_shared = false;  // the map starts as shared entries {z: 1}
};

class PropertiesFirstUse : public ::testing::TestWithParam<FirstUse> {};

TEST_P(PropertiesFirstUse, EveryRacingWriteLandsInOneMap) {
  constexpr int kWriters = 6;
  constexpr int kRounds = 150;
  const FirstUse c = GetParam();
  PropertyMap map;
  std::atomic<int> writes_done{0};
  std::atomic<int> reader_faults{0};
  std::barrier sync(kWriters + c.readers + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        sync.arrive_and_wait();  // the map is fresh
        if (t < c.through_copies) {
          PropertyMap copy = map;
          copy.insert("w" + std::to_string(t), Value(t));
        } else {
          map.insert("w" + std::to_string(t), Value(t));
        }
        ++writes_done;
        sync.arrive_and_wait();  // the round is checked
      }
    });
  for (int r = 0; r < c.readers; ++r)
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        sync.arrive_and_wait();
        std::size_t seen = 0;
        while (writes_done.load() < kWriters) {
          const std::size_t now = map.size();
          const std::size_t listed = map.iter().size();
          if (now < seen || listed < now || now > kWriters + (c.from_shared ? 1 : 0)) ++reader_faults;
          seen = listed;
          if (map.to_string().front() != '{') ++reader_faults;
          if (auto w = map.get("w0"); w && w->to_string() != "0") ++reader_faults;
        }
        sync.arrive_and_wait();
      }
    });
  int lost_writes = 0;
  const PropertyMap seed({{"z", 1}});
  for (int round = 0; round < kRounds; ++round) {
    map = c.from_shared ? seed.copy_shared() : PropertyMap();
    writes_done = 0;
    sync.arrive_and_wait();
    sync.arrive_and_wait();
    for (int t = 0; t < kWriters; ++t) {
      const auto value = map.get("w" + std::to_string(t));
      if (!value || value->to_string() != std::to_string(t)) ++lost_writes;
    }
    if (c.from_shared && map.size() != kWriters + 1) ++lost_writes;
  }
  EXPECT_EQ(seed.to_string(), "{z: 1}");
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(lost_writes, 0);
  EXPECT_EQ(reader_faults.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Races, PropertiesFirstUse,
                         ::testing::Values(FirstUse{"Writes", 0, 0}, FirstUse{"Copies", 6, 0}, FirstUse{"Mixed", 3, 0},
                                           FirstUse{"MixedWithReaders", 3, 2}, FirstUse{"WritesWithReaders", 0, 2},
                                           FirstUse{"SharedMixedWithReaders", 3, 2, true},
                                           FirstUse{"SharedCopiesWithReaders", 6, 2, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Copies of a handle share one map whichever of them is written first, also
// when the map was empty when copied; `copy()` makes a map of its own; a
// moved-from handle is an empty map of its own.
TEST(PropertiesMap, SharingAndDetachedCopies) {
  for (const bool start_empty : {true, false}) {
    SCOPED_TRACE(start_empty ? "empty" : "one entry");
    PropertyMap map = start_empty ? PropertyMap() : PropertyMap({{"a", Array{1}}});
    const std::string at_start = map.to_string();
    const PropertyMap own = map.copy();
    PropertyMap shared = map;
    PropertyMap shared_later;
    shared_later = map;
    shared.insert("s", 1);
    EXPECT_TRUE(map.get("s"));
    EXPECT_TRUE(shared_later.get("s"));
    EXPECT_EQ(own.to_string(), at_start);
    PropertyMap own_written = map.copy();
    own_written.insert("o", 1);
    EXPECT_FALSE(map.get("o"));
    if (!start_empty) {
      EXPECT_EQ(own.get("a")->to_string(), "[1]");
    }

    PropertyMap moved_to = std::move(shared);
    shared.insert("after_move", 1);  // NOLINT: a moved-from handle is an empty map
    EXPECT_EQ(shared.to_string(), "{after_move: 1}");
    EXPECT_FALSE(map.get("after_move"));
    EXPECT_TRUE(moved_to.get("s"));
  }
}

// A comparison holds its map's read lock while its checks run; two of them,
// each checking by writing into the other's map, deadlock on the two maps'
// locks, and the detector names both threads. Each runs alone in an arena of
// its own, so its checks run on the thread that holds the lock.
TEST(PropertiesMap, DeadlockBetweenTwoMapsIsReported) {
  // Leaked: the threads wait on them for ever.
  auto* first = new PropertyMap({{"k", 1}});
  auto* second = new PropertyMap({{"k", 1}});
  auto* both_hold_one = new std::latch(2);
  auto* named = new std::latch(3);
  std::string ids[2];
  auto cross = [&ids, both_hold_one, named](int me, PropertyMap* mine, PropertyMap* other) {
    ids[me] = utils::locks::thread_id_text(utils::locks::current_thread_id());
    named->arrive_and_wait();
    tbb::task_arena alone(1);
    alone.execute([&] {
      (void)mine->try_par_compare([&](const std::string&, const Value&) -> Result<bool> {
        both_hold_one->arrive_and_wait();
        other->insert("x", 1);
        return true;
      });
    });
  };
  std::thread(cross, 0, first, second).detach();
  std::thread(cross, 1, second, first).detach();
  named->arrive_and_wait();
  const std::set<std::string> wanted{ids[0], ids[1]};
  bool found = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!found && std::chrono::steady_clock::now() < deadline) {
    for (const auto& deadlock : utils::locks::check_deadlock()) {
      std::set<std::string> threads;
      for (const auto& thread : deadlock) threads.insert(thread.thread_id);
      found = found || threads == wanted;
    }
  }
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace velmora
