#include "matches.hpp"
#include "pool_support.hpp"

#include <gtest/gtest.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <future>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "parallel.hpp"
#include "utils/data_queue.hpp"

namespace velmora {
namespace {

Uid u(std::uint8_t b) {
  Uid x{};
  x[0] = b;
  return x;
}

TEST(Matches, RootFrameBindsNothing) {
  auto m = Match::create();
  EXPECT_FALSE(m->get("a"));
  EXPECT_FALSE(m->contains_key("a"));
  EXPECT_FALSE(m->remove("a"));
}

TEST(Matches, ParentBindingsReachChildrenMadeEarlier) {
  auto parent = Match::create();
  auto child = Match::create(parent);
  auto sibling = Match::create(parent);
  ASSERT_TRUE(parent->insert("a", MatchElement::node(u(1))));
  ASSERT_TRUE(child->insert("b", MatchElement::node(u(2))));
  EXPECT_EQ(child->get("a"), MatchElement::node(u(1)));
  EXPECT_FALSE(parent->get("b"));
  EXPECT_FALSE(sibling->get("b"));
}

TEST(Matches, NearestRootWinsAfterLateParentInsert) {
  auto parent = Match::create();
  auto child = Match::create(parent);
  ASSERT_TRUE(child->insert("x", MatchElement::node(u(2))));
  ASSERT_TRUE(parent->insert("x", MatchElement::node(u(1))));  // the parent's own check allows it
  EXPECT_EQ(child->get("x"), MatchElement::node(u(1)));
}

TEST(Matches, InsertRefusesNamesBoundUpTheChain) {
  auto parent = Match::create();
  auto child = Match::create(parent);
  ASSERT_TRUE(parent->insert("a", MatchElement::type(u(1))));
  for (auto* frame : {child.get(), parent.get()}) {
    auto r = frame->insert("a", MatchElement::type(u(3)));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().current_context().message(), "Variable already exists: 'a' (match insert [src/matches:167])");
    EXPECT_TRUE(r.error().lines().empty());
  }
  EXPECT_EQ(child->get("a"), MatchElement::type(u(1)));
}

TEST(Matches, BindAddsAFreeNameOrAnswersTheBindingNearestTheRoot) {
  auto root = Match::create();
  auto mid = Match::create(root);
  auto leaf = Match::create(mid);
  ASSERT_TRUE(mid->insert("x", MatchElement::node(u(2))));
  ASSERT_TRUE(root->insert("x", MatchElement::node(u(1))));
  EXPECT_EQ(leaf->bind("x", MatchElement::node(u(3))), MatchElement::node(u(1)));
  EXPECT_EQ(leaf->remove("x"), MatchElement::node(u(2)));  // the leaf got nothing
  EXPECT_FALSE(leaf->bind("y", MatchElement::edge({u(4), u(5)})));
  EXPECT_EQ(leaf->get("y"), MatchElement::edge({u(4), u(5)}));
  EXPECT_FALSE(mid->contains_key("y"));
}

TEST(Matches, RemoveTakesOwnBindingFirstThenClimbs) {
  auto parent = Match::create();
  auto a = Match::create(parent);
  auto b = Match::create(parent);
  ASSERT_TRUE(parent->insert("p", MatchElement::node(u(1))));
  EXPECT_EQ(a->remove("p"), MatchElement::node(u(1)));
  EXPECT_FALSE(b->get("p"));
  EXPECT_FALSE(parent->get("p"));

  ASSERT_TRUE(parent->insert("q", MatchElement::node(u(1))));
  auto c = Match::create(parent);
  ASSERT_TRUE(parent->remove("q"));
  ASSERT_TRUE(c->insert("q", MatchElement::node(u(2))));
  ASSERT_TRUE(parent->insert("q", MatchElement::node(u(3))));
  EXPECT_EQ(c->remove("q"), MatchElement::node(u(2)));  // the child's own goes first
  EXPECT_EQ(c->get("q"), MatchElement::node(u(3)));
}

TEST(Matches, ConcurrentRemovesOfASharedBindingHaveOneWinner) {
  auto parent = Match::create();
  ASSERT_TRUE(parent->insert("v", MatchElement::edge({u(1), u(2)})));
  std::vector<MatchPtr> children;
  for (int i = 0; i < 64; ++i) children.push_back(Match::create(parent));
  std::atomic<int> winners{0};
  test_pool::parallel_for(0, 64, [&](int i) {
    if (children[i]->remove("v")) ++winners;
  });
  EXPECT_EQ(winners.load(), 1);
}

struct ConflictCase {
  MatchElement element;
  int asked;  // 0 type, 1 term, 2 node, 3 edge
  Context context;
  std::string message;
};

class MatchesConflict : public ::testing::TestWithParam<ConflictCase> {};

TEST_P(MatchesConflict, NamesBothKinds) {
  const auto& c = GetParam();
  std::optional<Report> error;
  auto keep = [&](auto r) {
    if (!r) error = std::move(r).error();
  };
  switch (c.asked) {
    case 0: keep(c.element.as_type("t", c.context)); break;
    case 1: keep(c.element.as_term("t", c.context)); break;
    case 2: keep(c.element.as_node("t", c.context)); break;
    default: keep(c.element.as_edge("t", c.context)); break;
  }
  if (c.message.empty()) {
    EXPECT_FALSE(error);
  } else {
    ASSERT_TRUE(error);
    EXPECT_EQ(error->current_context().message(), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, MatchesConflict,
    ::testing::Values(
        ConflictCase{MatchElement::term(u(1)), 0, "check type matches",
                     "Context Conflict: tried to assign variable 't' currently holding a 'term' to a 'type' "
                     "(check type matches)"},
        ConflictCase{MatchElement::node(u(1)), 3, std::nullopt,
                     "Context Conflict: tried to assign variable 't' currently holding a 'node' to a 'edge'"},
        ConflictCase{MatchElement::edge({u(1), u(2)}), 2, "c",
                     "Context Conflict: tried to assign variable 't' currently holding a 'edge' to a 'node' (c)"},
        ConflictCase{MatchElement::type(u(1)), 1, std::nullopt,
                     "Context Conflict: tried to assign variable 't' currently holding a 'type' to a 'term'"},
        ConflictCase{MatchElement::edge({u(1), u(2)}), 3, std::nullopt, ""},
        ConflictCase{MatchElement::term(u(1)), 1, std::nullopt, ""}));

TEST(Matches, AsEdgeGivesStartThenEnd) {
  EXPECT_EQ(*MatchElement::edge({u(1), u(2)}).as_edge("e"), (EdgeKey{u(1), u(2)}));
}

TEST(Matches, CounterIsFoundUpTheChainNearestFirst) {
  auto root = Match::create();
  auto r = root->get_counter();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().current_context().message(), "Creation Counter Not Found (match - get counter)");

  auto frame = Match::create(root);
  EXPECT_TRUE(root->set_counter(1));
  EXPECT_FALSE(root->set_counter(5));  // set once
  EXPECT_TRUE(frame->set_counter(0));
  auto child = Match::create(frame);
  EXPECT_FALSE(child->get_counter().value());  // the frame's own counter of 0 is spent
  EXPECT_TRUE(root->get_counter().value());
}

TEST(CreationCounter, UnitsComeBackUnlessConsumed) {
  auto counter = std::make_shared<utils::CreationCounter>(1);
  {
    auto g = counter->acquire();
    ASSERT_TRUE(g);
  }  // added nothing: the unit goes back
  EXPECT_EQ(counter->available(), 1u);
  {
    auto g = counter->acquire();
    ASSERT_TRUE(g);
    g->consume();
  }
  EXPECT_FALSE(counter->acquire());
  EXPECT_FALSE(std::make_shared<utils::CreationCounter>(0)->acquire());
}

// Many matches share one counter of k; creations run nested parallel work while
// they hold their unit. Never more than k consumed, and it always finishes.
TEST(CreationCounter, NestedParallelCreationsNeverExceedTheLimit) {
  for (int round = 0; round < 20; ++round) {
    const std::uint32_t k = 3;
    auto frame = Match::create();
    frame->set_counter(k);
    std::atomic<int> consumed{0};
    test_pool::parallel_for(0, 200, [&](int i) {
      auto child = Match::create(frame);
      auto unit = child->get_counter().value();
      if (!unit) return;
      tbb::this_task_arena::isolate([&] { tbb::parallel_for(0, 8, [](int) {}); });
      if (i % 3 == 0) {
        unit->consume();
        ++consumed;
      }
    });
    EXPECT_LE(consumed.load(), static_cast<int>(k));
  }
}

// Threads that find every unit out wait; each unit given back or spent wakes
// them. Holders mostly give their unit back, so the threads keep waking one
// another until both units are spent: a wake-up lost on the way leaves a
// thread waiting for good, and the watchdog fails the test.
TEST(CreationCounter, WaitersWakeForEveryReleaseUntilSpent) {
  for (int round = 0; round < 20; ++round) {
    auto counter = std::make_shared<utils::CreationCounter>(2);
    std::atomic<int> consumed{0};
    auto done = std::async(std::launch::async, [&] {
      std::vector<std::thread> threads;
      for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
          std::minstd_rand rng(round * 8 + t);
          while (auto unit = counter->acquire()) {
            std::this_thread::yield();
            if (rng() % 64 == 0) {
              unit->consume();
              ++consumed;
            }
          }
        });
      for (auto& thread : threads) thread.join();
    });
    if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      std::fprintf(stderr, "a thread waiting for a unit never woke, round %d\n", round);
      std::abort();
    }
    EXPECT_EQ(consumed.load(), 2);
    EXPECT_TRUE(counter->spent());
    EXPECT_EQ(counter->available(), 0u);
    EXPECT_EQ(counter->active(), 0u);
  }
}

TEST(DataQueue, OrderAndPops) {
  utils::DataQueue one(1);
  EXPECT_EQ(one.items(), (std::vector<utils::DataItem>{{0, true}}));
  utils::DataQueue three(3);
  EXPECT_EQ(three.items(), (std::vector<utils::DataItem>{{0, true}, {0, false}, {1, true}, {1, false}, {2, true}}));
  EXPECT_EQ(three.pop(), (utils::DataItem{2, true}));
  three.push({7, false});
  EXPECT_EQ(three.pop(), (utils::DataItem{7, false}));
}

// ---- frames read while others bind and remove --------------------------------------

// Readers walking shared frames see a binding whole or not at all while
// other tasks add bindings to their own frames and race to remove shared ones.
TEST(Matches, LockFreeReadersSeeWholeBindingsDuringRemovals) {
  auto root = Match::create();
  ASSERT_TRUE(root->insert("r", MatchElement::node(u(1))));
  auto mid = Match::create(root);
  ASSERT_TRUE(mid->insert("m", MatchElement::edge({u(2), u(3)})));
  std::vector<MatchPtr> leaves;
  for (int i = 0; i < 256; ++i) leaves.push_back(Match::create(mid));
  std::atomic<int> removed_m{0}, bad{0};
  test_pool::parallel_for(0, 256, [&](int i) {
    const auto& leaf = leaves[i];
    ASSERT_TRUE(leaf->insert("own", MatchElement::type(u(static_cast<std::uint8_t>(i)))));
    if (i % 16 == 0 && leaf->remove("m")) ++removed_m;
    for (int k = 0; k < 50; ++k) {
      auto r = leaf->get("r");
      if (!r || *r != MatchElement::node(u(1))) ++bad;
      auto m = leaf->get("m");
      if (m && *m != MatchElement::edge({u(2), u(3)})) ++bad;
      auto own = leaf->get("own");
      if (!own || *own != MatchElement::type(u(static_cast<std::uint8_t>(i)))) ++bad;
    }
  });
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(removed_m.load(), 1);
  EXPECT_FALSE(leaves[1]->get("m"));
}

// ---- frames against a model of their bindings -----------------------------------------

// Random trees of frames made every way, bound under names of every length
// (short ones fit beside the frame, long ones do not) to elements of every
// kind, with removals; every look-up agrees with a plain model of the
// chains, and the elements `find` handed out keep their values to the end.
TEST(Matches, RandomFramesAgreeWithAModelOfTheirChains) {
  struct Bound {
    std::string name;
    MatchElement element;
    bool removed = false;
  };
  struct Model {
    int parent;                   // -1 for a root
    std::vector<Bound> bindings;  // oldest first
  };
  const std::vector<std::string> names = {
      "", "a", "b", "e1", "node_with_a_longer_name", std::string(40, 'x'), std::string(70, 'y'), std::string(300, 'z')};
  std::mt19937 rng(11);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  // Half the elements come with "the store's" copies of their uids, which
  // outlive every frame here; a frame keeps their addresses, not copies.
  std::deque<Uid> rows;
  const auto element = [&] {
    Uid a{}, b{};
    for (auto& byte : a) byte = static_cast<std::uint8_t>(rng());
    for (auto& byte : b) byte = static_cast<std::uint8_t>(rng());
    if (pick(2) == 0) {
      const Uid& ra = rows.emplace_back(a);
      const Uid& rb = rows.emplace_back(b);
      switch (pick(4)) {
        case 0: return MatchElement::stored_type(ra);
        case 1: return MatchElement::stored_term(ra);
        case 2: return MatchElement::stored_node(ra);
        default: return MatchElement::stored_edge(ra, rb);
      }
    }
    switch (pick(4)) {
      case 0: return MatchElement::type(a);
      case 1: return MatchElement::term(a);
      case 2: return MatchElement::node(a);
      default: return MatchElement::edge({a, b});
    }
  };
  for (int round = 0; round < 20; ++round) {
    std::vector<MatchPtr> frames;
    std::vector<Model> model;
    // The model's answer for `get`: the live binding nearest the root, each
    // frame answering with its newest live one.
    const auto lookup = [&](int f, const std::string& name) -> const Bound* {
      const Bound* found = nullptr;
      for (int at = f; at >= 0; at = model[at].parent) {
        auto& own = model[at].bindings;
        for (auto it = own.rbegin(); it != own.rend(); ++it)
          if (it->name == name && !it->removed) {
            found = &*it;
            break;
          }
      }
      return found;
    };
    std::vector<std::pair<const StoredElement*, MatchElement>> handed;  // what find gave, and its value then
    for (int step = 0; step < 400; ++step) {
      const std::string& name = names[pick(names.size())];
      const MatchElement e = element();
      const int f = frames.empty() ? -1 : static_cast<int>(pick(frames.size()));
      switch (frames.empty() ? 0 : pick(7)) {
        case 0: {  // a new frame, bound or not
          const int parent = f >= 0 && pick(4) != 0 ? f : -1;
          MatchPtr p = parent >= 0 ? frames[parent] : nullptr;
          const int how = static_cast<int>(pick(3));
          if (how == 0) {
            frames.push_back(Match::create(p));
            model.push_back({parent, {}});
          } else if (lookup(parent, name)) {
            auto made = Match::create_with(p, name, e);
            ASSERT_FALSE(made);
            EXPECT_EQ(made.error().current_context().message(),
                      "Variable already exists: '" + name + "' (match insert [src/matches:167])");
          } else {
            frames.push_back(how == 1 ? *Match::create_with(p, name, e) : Match::create_bound(p, name, e));
            model.push_back({parent, {{name, e}}});
          }
          break;
        }
        case 1: {
          auto r = frames[f]->insert(name, e);
          EXPECT_EQ(static_cast<bool>(r), lookup(f, name) == nullptr);
          if (r) model[f].bindings.push_back({name, e});
          break;
        }
        case 2: {
          const Bound* before = lookup(f, name);
          auto r = frames[f]->bind(name, e);
          ASSERT_EQ(r.has_value(), before != nullptr);
          if (before) {
            EXPECT_EQ(*r, before->element);
          } else {
            model[f].bindings.push_back({name, e});
          }
          break;
        }
        case 3: {  // the newest live binding of the nearest frame that has one
          std::optional<MatchElement> expected;
          for (int at = f; at >= 0 && !expected; at = model[at].parent) {
            auto& own = model[at].bindings;
            for (auto it = own.rbegin(); it != own.rend(); ++it)
              if (it->name == name && !it->removed) {
                it->removed = true;
                expected = it->element;
                break;
              }
          }
          EXPECT_EQ(frames[f]->remove(name), expected);
          break;
        }
        default: {
          const Bound* expected = lookup(f, name);
          EXPECT_EQ(frames[f]->contains_key(name), expected != nullptr);
          const StoredElement* found = frames[f]->find(name);
          ASSERT_EQ(found != nullptr, expected != nullptr) << name;
          if (!found) break;
          EXPECT_EQ(found->element(), expected->element);
          EXPECT_EQ(found->kind(), expected->element.kind());
          EXPECT_EQ(found->uid(), expected->element.uid());
          EXPECT_EQ(found->edge_key(), expected->element.edge_key());
          EXPECT_EQ(found->row_uid(), expected->element.row_uid());
          EXPECT_EQ(found->row_end(), expected->element.row_end());
          if (found->row_uid()) EXPECT_EQ(&found->uid(), expected->element.row_uid());
          EXPECT_EQ(frames[f]->get(name), expected->element);
          handed.emplace_back(found, expected->element);
          break;
        }
      }
    }
    for (const auto& [found, value] : handed) EXPECT_EQ(found->element(), value);
  }
}

// Frames made on every thread and dropped on others, in another order, while
// new ones are carved: no frame loses its bindings to another's memory.
TEST(Matches, FramesDroppedOnOtherThreadsKeepTheirBindingsToTheEnd) {
  constexpr int kFrames = 20000;
  for (int round = 0; round < 3; ++round) {
    auto root = Match::create();
    std::vector<MatchPtr> frames(kFrames);
    test_pool::parallel_for(0, kFrames, [&](int i) {
      const Uid a = u(static_cast<std::uint8_t>(i)), b = u(static_cast<std::uint8_t>(i / 256));
      frames[i] = i % 3 == 0 ? Match::create_bound(root, "n", MatchElement::node(a))
                             : Match::create_bound(root, std::string(i % 50, 'e'), MatchElement::edge({a, b}));
      if (i % 5 == 0) {
        ASSERT_TRUE(frames[i]->insert(std::string(100 + i % 7, 'l'), MatchElement::term(b)));
      }
    });
    std::vector<int> order(kFrames);
    for (int i = 0; i < kFrames; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(round));
    std::atomic<int> bad{0};
    test_pool::parallel_for(0, kFrames, [&](int k) {
      const int i = order[k];
      const Uid a = u(static_cast<std::uint8_t>(i)), b = u(static_cast<std::uint8_t>(i / 256));
      const auto expected = i % 3 == 0 ? MatchElement::node(a) : MatchElement::edge({a, b});
      if (frames[i]->get(i % 3 == 0 ? "n" : std::string(i % 50, 'e')) != expected) ++bad;
      if (i % 5 == 0 && frames[i]->get(std::string(100 + i % 7, 'l')) != MatchElement::term(b)) ++bad;
      auto fresh = Match::create_bound(frames[i], "f", MatchElement::type(b));  // carved while others are freed
      if (fresh->get("f") != MatchElement::type(b)) ++bad;
      frames[i].reset();
    });
    EXPECT_EQ(bad.load(), 0);
  }
}

// ---- match sets: every entry once, whatever the size and path of the walk ---------

class MatchSetWalk : public ::testing::TestWithParam<std::size_t> {};

TEST_P(MatchSetWalk, EveryWalkMeetsEveryEntryOnceAndRunsKnowTheirPlace) {
  const std::size_t n = GetParam();
  MatchSet set = new_match_set();
  auto frame = Match::create();
  // Chunks of uneven sizes, with single inserts in between.
  std::size_t next = 0, step = 1;
  while (next < n) {
    if (step % 3 == 0) {
      set->insert(next, MatchEntry{Uid{}, frame});
      ++next;
    } else {
      MatchSetMap::Chunk chunk;
      for (std::size_t i = 0; i < (step * 37) % 1500 + 1 && next < n; ++i, ++next)
        chunk.emplace_back(next, MatchEntry{Uid{}, frame});
      set->append_chunk(std::move(chunk));
    }
    ++step;
  }
  ASSERT_EQ(set->size(), n);

  std::vector<int> serial(n, 0);
  set->for_each_shard([&](const MatchSetMap::Table& run) {
    for (const auto& [id, entry] : run) ++serial.at(id);
  });
  EXPECT_EQ(std::count(serial.begin(), serial.end(), 1), static_cast<long>(n));

  std::vector<std::atomic<int>> parallel(n);
  set->for_each_shard_parallel([&](const MatchSetMap::Table& run) {
    for (const auto& [id, entry] : run) parallel.at(id).fetch_add(1);
  });
  for (std::size_t id = 0; id < n; ++id) ASSERT_EQ(parallel[id].load(), 1) << id;

  const std::vector<std::uint64_t> order = set->keys();
  ASSERT_EQ(order.size(), n);
  std::atomic<int> misplaced{0};
  std::atomic<std::size_t> seen{0};
  tbb::task_group_context ctx;
  set->for_each_run_parallel(
      [&](std::size_t offset, MatchSetMap::Table run) {
        for (std::size_t i = 0; i < run.size(); ++i)
          if (order.at(offset + i) != run[i].first) ++misplaced;
        seen += run.size();
      },
      ctx);
  EXPECT_EQ(misplaced.load(), 0);
  EXPECT_EQ(seen.load(), n);

  if (n > 0) {
    EXPECT_TRUE(set->get(n - 1));
  }
  EXPECT_FALSE(set->get(n));
  std::size_t taken = 0;
  for (const auto& chunk : set->take_chunks()) taken += chunk.size();
  EXPECT_EQ(taken, n);
  EXPECT_TRUE(set->empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, MatchSetWalk, ::testing::Values(0, 1, 511, 512, 513, 3000, 70000));

// The set's order: single inserts in turn, then the chunks as appended,
// however the two kinds of writes interleave. Every reader agrees on it.
TEST(MatchSetOrder, SingleInsertsComeFirstThenChunksForEveryReader) {
  std::mt19937 rng(7);
  auto frame = Match::create();
  for (int round = 0; round < 200; ++round) {
    MatchSet set = new_match_set();
    std::vector<std::uint64_t> singles, appended;
    std::uint64_t next = 0;
    const int writes = static_cast<int>(rng() % 6);
    for (int w = 0; w < writes; ++w) {
      if (rng() % 2 == 0) {
        singles.push_back(next);
        set->insert(next++, MatchEntry{Uid{}, frame});
      } else {
        MatchSetMap::Chunk chunk;
        for (std::size_t i = rng() % 4; i > 0; --i) {
          appended.push_back(next);
          chunk.emplace_back(next++, MatchEntry{Uid{}, frame});
        }
        set->append_chunk(std::move(chunk));
      }
    }
    std::vector<std::uint64_t> expected = singles;
    expected.insert(expected.end(), appended.begin(), appended.end());
    ASSERT_EQ(set->keys(), expected) << round;
    std::vector<std::uint64_t> walked;
    set->for_each_shard([&](const MatchSetMap::Table& run) {
      for (const auto& entry : run) walked.push_back(entry.first);
    });
    EXPECT_EQ(walked, expected) << round;
    walked.clear();
    set->for_each_shard_parallel([&](const MatchSetMap::Table& run) {
      for (const auto& entry : run) walked.push_back(entry.first);  // a small set walks on this thread
    });
    EXPECT_EQ(walked, expected) << round;
    for (std::uint64_t id : expected) EXPECT_TRUE(set->get(id)) << round;
    walked.clear();
    for (const auto& chunk : set->take_chunks())
      for (const auto& entry : chunk) walked.push_back(entry.first);
    EXPECT_EQ(walked, expected) << round;
    EXPECT_TRUE(set->empty());
    EXPECT_TRUE(set->keys().empty());
  }
}

// try_for_each_entry over a set: a set walked on the calling thread stops at
// its first failing entry in the set's order; a set walked on the pool
// returns the report of a failing entry, the only one when one entry fails.
class MatchSetTryWalk : public ::testing::TestWithParam<std::size_t> {};

TEST_P(MatchSetTryWalk, ReturnsTheFirstError) {
  const std::size_t n = GetParam();
  MatchSet set = new_match_set();
  auto frame = Match::create();
  set->insert(0, MatchEntry{Uid{}, frame});
  MatchSetMap::Chunk chunk;
  for (std::uint64_t id = 1; id < n; ++id) chunk.emplace_back(id, MatchEntry{Uid{}, frame});
  set->append_chunk(std::move(chunk));
  ASSERT_EQ(set->size(), n);
  const std::vector<std::uint64_t> order = set->keys();

  EXPECT_TRUE(try_for_each_entry(*set, [](std::uint64_t, const MatchEntry&) -> Status { return {}; }));
  for (std::size_t failing : {std::size_t{0}, n / 2, n - 1}) {
    std::atomic<std::size_t> visited{0};
    auto status = try_for_each_entry(*set, [&](std::uint64_t id, const MatchEntry&) -> Status {
      ++visited;
      if (id == order[failing]) return fail(errors::VariableNotFound{std::to_string(id), std::nullopt});
      if (set->walks_on_caller() && id == order[n - 1]) return fail(errors::VariableNotFound{"later", std::nullopt});
      return {};
    });
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().current_context().message(),
              "Variable not found: '" + std::to_string(order[failing]) + "'");
    if (set->walks_on_caller()) {
      EXPECT_EQ(visited.load(), failing + 1);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, MatchSetTryWalk, ::testing::Values(1, 2, 512, 513, 20000));

// A large set freed on the pool takes its frames with it; the caller's
// frame handle is the only one left afterwards.
TEST(MatchSetRelease, BackgroundReleaseDropsEveryFrame) {
  auto frame = Match::create();
  std::weak_ptr<Match> watch = frame;
  {
    MatchSet set = new_match_set();
    MatchSetMap::Chunk chunk;
    for (std::uint64_t i = 0; i < 10000; ++i) chunk.emplace_back(i, MatchEntry{Uid{}, Match::create(frame)});
    set->append_chunk(std::move(chunk));
    release_in_background(std::move(set));
    EXPECT_FALSE(set);
  }
  // Waiting on the pool lets the enqueued release run.
  for (int i = 0; i < 5000 && frame.use_count() > 1; ++i) {
    test_pool::parallel_for(0, 64, [](int) {});
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(frame.use_count(), 1);
  frame.reset();
  EXPECT_TRUE(watch.expired());
}

// Frames outlive the thread that made them and are freed on others, in any
// order: each keeps its bindings and its chain until its own last handle goes,
// whichever thread made or drops the frames around it.
TEST(MatchFrames, FramesOutliveTheirMakerAndDieOnOtherThreads) {
  constexpr int kMakers = 4;
  constexpr int kPerMaker = 5000;  // several blocks' worth of frames a thread
  auto root = Match::create();
  ASSERT_TRUE(root->insert("root", MatchElement::node(u(1))));
  std::vector<std::vector<MatchPtr>> made(kMakers);
  {
    std::vector<std::thread> makers;
    for (int t = 0; t < kMakers; ++t)
      makers.emplace_back([&, t] {
        for (int i = 0; i < kPerMaker; ++i) {
          // A chain of two: the child's parent lives in the same blocks.
          auto parent = Match::create(root);
          EXPECT_TRUE(parent->insert("p", MatchElement::node(u(static_cast<std::uint8_t>(t)))));
          auto child = Match::create(std::move(parent));
          EXPECT_TRUE(child->insert("c", MatchElement::type(u(static_cast<std::uint8_t>(i % 251)))));
          EXPECT_TRUE(child->insert("second", MatchElement::term(u(7))));  // a binding off the frame
          made[t].push_back(std::move(child));
        }
      });
    for (auto& maker : makers) maker.join();  // the makers' threads end before their frames
  }
  // Drop every other frame now, on the pool, the rest after checking them.
  std::vector<MatchPtr> kept;
  for (int t = 0; t < kMakers; ++t)
    for (int i = 0; i < kPerMaker; ++i)
      if (i % 2 == 1) kept.push_back(made[t][i]);
  test_pool::parallel_for(0, kMakers, [&](int t) {
    for (int i = 0; i < kPerMaker; i += 2) made[t][i].reset();
  });
  for (std::size_t k = 0; k < kept.size(); ++k) {
    const int t = static_cast<int>(k / (kPerMaker / 2)), i = 2 * static_cast<int>(k % (kPerMaker / 2)) + 1;
    ASSERT_EQ(kept[k]->get("c"), MatchElement::type(u(static_cast<std::uint8_t>(i % 251))));
    ASSERT_EQ(kept[k]->get("p"), MatchElement::node(u(static_cast<std::uint8_t>(t))));
    ASSERT_EQ(kept[k]->get("second"), MatchElement::term(u(7)));
    ASSERT_EQ(kept[k]->get("root"), MatchElement::node(u(1)));
  }
  made.clear();
  std::weak_ptr<Match> watch = root;
  test_pool::parallel_for(0, static_cast<int>(kept.size()), [&](int k) { kept[k].reset(); });
  kept.clear();
  EXPECT_EQ(root.use_count(), 1);
  root.reset();
  EXPECT_TRUE(watch.expired());
}

// ---- light loops: inline when small, pieces on the pool when large ----------------

class LightLoop : public ::testing::TestWithParam<std::size_t> {};

TEST_P(LightLoop, VisitsEveryItemOnceOrReturnsAFailingItemsReport) {
  const std::size_t n = GetParam();
  std::vector<std::size_t> items(n);
  for (std::size_t i = 0; i < n; ++i) items[i] = i;
  std::vector<std::atomic<int>> hits(n);
  auto ok = try_for_each_light(std::span<const std::size_t>(items), [&](std::size_t i) -> Status {
    hits[i].fetch_add(1);
    return {};
  });
  ASSERT_TRUE(ok);
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << i;

  // Items 5 and n-1 fail: a small loop stops at the first in order; any loop
  // returns one of the two reports.
  if (n < 6) return;
  std::atomic<std::size_t> after_first{0};
  auto failed = try_for_each_light(std::span<const std::size_t>(items), [&](std::size_t i) -> Status {
    if (i == 5 || i == n - 1) return fail(errors::VariableNotFound{std::to_string(i), "light loop"});
    if (i > 5) ++after_first;
    return {};
  });
  ASSERT_FALSE(failed);
  const std::string message = failed.error().current_context().message();
  const bool known =
      message.find("'5'") != std::string::npos || message.find("'" + std::to_string(n - 1) + "'") != std::string::npos;
  EXPECT_TRUE(known) << message;
  if (n <= kInlineLightItems) {
    EXPECT_NE(message.find("'5'"), std::string::npos) << message;
    EXPECT_EQ(after_first.load(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, LightLoop, ::testing::Values(0, 1, 10, 512, 513, 5000, 100000));

}  // namespace
}  // namespace velmora
