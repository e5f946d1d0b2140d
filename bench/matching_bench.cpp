// Path matching throughput on a seeded random store of 200,000 nodes with
// out-degree 4: a one-hop match filtered by a property, and a scan of every
// edge, each on one thread and on every hardware thread. The items-processed
// counter is the number of matches found.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "graph/create.hpp"
#include "graph/inspect.hpp"
#include "graph/matches/matching.hpp"
#include "graph/schema.hpp"
#include "graph/store.hpp"

namespace {

using velmora::Match;
using velmora::MatchEntry;
using velmora::MatchSet;
using velmora::PropertyEntries;
using velmora::PropertyMap;
using velmora::Uid;
using velmora::graph::Graph;
using velmora::patterns::PathPattern;
namespace typing = velmora::typing;

constexpr int kNodes = 200'000;
constexpr int kOutDegree = 4;

// Nodes T0..T199999 with {k: i % 10}; every node has four edges to distinct
// random nodes, each edge a basic term of its arrow type. No constants, no
// node terms, so nothing propagates.
const Graph& store() {
  static const Graph* const graph = [] {
    auto* g = new Graph();
    std::vector<typing::TypePtr> types(kNodes);
    for (int i = 0; i < kNodes; ++i) types[i] = typing::make_type(typing::Variable{fmt::format("T{}", i)});
    std::vector<int> targets(static_cast<std::size_t>(kNodes) * kOutDegree);
    std::mt19937_64 random(20240601);
    std::uniform_int_distribution<int> pick(0, kNodes - 1);
    for (int i = 0; i < kNodes; ++i) {
      int* row = &targets[static_cast<std::size_t>(i) * kOutDegree];
      for (int j = 0; j < kOutDegree; ++j) {
        do row[j] = pick(random);
        while (std::find(row, row + j, row[j]) != row + j);
      }
    }
    const auto created = velmora::graph::new_created_flag();
    tbb::parallel_for(0, kNodes, [&](int i) {
      (void)g->add_node(types[i], std::nullopt, PropertyMap(PropertyEntries{{"k", i % 10}}), created);
    });
    tbb::parallel_for(0, kNodes, [&](int i) {
      for (int j = 0; j < kOutDegree; ++j) {
        const int t = targets[static_cast<std::size_t>(i) * kOutDegree + j];
        const typing::Term edge =
            typing::BasicTerm{fmt::format("e{}_{}", i, j), typing::make_arrow(types[i], types[t])};
        (void)g->add_edge(edge, PropertyMap(), created);
      }
    });
    return g;
  }();
  return *graph;
}

MatchSet root() {
  MatchSet set = velmora::new_match_set();
  set->insert(0, MatchEntry{Uid{}, Match::create()});
  return set;
}

void run_match(benchmark::State& state, const char* text) {
  const Graph& graph = store();
  const PathPattern path = *PathPattern::create(text);
  tbb::task_arena arena(static_cast<int>(state.range(0)));
  std::int64_t found = 0;
  for (auto _ : state) {
    auto result = arena.execute([&] { return match_path_pattern(graph, path, root(), nullptr); });
    if (!result) {
      state.SkipWithError("matching failed");
      break;
    }
    found += static_cast<std::int64_t>((*result)->size());
    state.PauseTiming();
    result->reset();  // frees the frames outside the timed region
    state.ResumeTiming();
  }
  state.SetItemsProcessed(found);
  state.counters["matches"] = static_cast<double>(found) / static_cast<double>(state.iterations());
}

void one_hop(benchmark::State& state) { run_match(state, "(a {k: 7})-[e]->(b)"); }
void full_edge_scan(benchmark::State& state) { run_match(state, "(a)-[e]->(b)"); }

void thread_counts(benchmark::internal::Benchmark* bench) {
  bench->Arg(1);
  const int all = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  if (all > 1) bench->Arg(all);
}

BENCHMARK(one_hop)->Apply(thread_counts)->ArgName("threads")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(full_edge_scan)->Apply(thread_counts)->ArgName("threads")->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
