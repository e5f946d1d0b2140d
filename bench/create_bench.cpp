// Path creation throughput: one create step of "(a:i {k: 1})-[e]->(b:j)" over
// 100,000 input matches, each binding i and j to types of its own, under a
// constant that gives every arrow type a term. Every match adds two nodes and
// an edge. Measured in an arena of one thread and in one of all threads;
// "creations/s" counts matches created per second of wall time.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <tbb/info.h>
#include <tbb/task_arena.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "graph/create.hpp"
#include "graph/inspect.hpp"
#include "graph/matches/matching.hpp"
#include "graph/schema.hpp"
#include "graph/store.hpp"

namespace velmora::graph {
namespace {

constexpr int kMatches = 100'000;

struct Input {
  std::unique_ptr<Graph> graph;
  MatchSet matches;
};

Input prepare() {
  auto constant = Constant::create("c", "(X:*) -> (Y:*)");
  Input in{std::make_unique<Graph>(std::vector<Constant>{*constant}), new_match_set()};
  MatchPtr root = Match::create();
  for (int i = 0; i < kMatches; ++i) {
    const Uid start = in.graph->insert_type(typing::Variable{fmt::format("S{}", i)});
    const Uid end = in.graph->insert_type(typing::Variable{fmt::format("T{}", i)});
    MatchPtr frame = Match::create(root);
    (void)frame->insert("i", MatchElement::type(start));
    (void)frame->insert("j", MatchElement::type(end));
    in.matches->insert(static_cast<std::uint64_t>(i), MatchEntry{Uid{}, std::move(frame)});
  }
  return in;
}

const patterns::PathPattern& pattern() {
  static const patterns::PathPattern path = [] {
    auto parsed = patterns::PathPattern::create("(a:i {k: 1})-[e]->(b:j)");
    if (!parsed) {
      std::fputs(errors::format_report(parsed.error()).c_str(), stderr);
      std::abort();
    }
    return *parsed;
  }();
  return path;
}

// state.range(0): threads of the arena, 0 for all.
void BM_CreatePath(benchmark::State& state) {
  const int threads = state.range(0) > 0 ? static_cast<int>(state.range(0)) : tbb::info::default_concurrency();
  tbb::task_arena arena(threads);
  for (auto _ : state) {
    state.PauseTiming();
    Input in = prepare();
    state.ResumeTiming();
    auto created = arena.execute([&] { return create_path(*in.graph, pattern(), in.matches, nullptr); });
    state.PauseTiming();
    if (!created || (*created)->size() != static_cast<std::size_t>(kMatches)) {
      state.SkipWithError("creation failed");
      break;
    }
    in = Input{};
    state.ResumeTiming();
  }
  state.counters["threads"] = threads;
  state.counters["creations/s"] =
      benchmark::Counter(static_cast<double>(kMatches), benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_CreatePath)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
}  // namespace velmora::graph

BENCHMARK_MAIN();
