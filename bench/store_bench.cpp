// The store's hot paths: node and edge insertion, rebuilding types and terms,
// and the sharded map they rest on. Run: build/bench_store.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

#include "graph/create.hpp"
#include "graph/inspect.hpp"
#include "graph/matches/matching.hpp"
#include "graph/schema.hpp"
#include "graph/store.hpp"

namespace velmora::graph {
namespace {

TypePtr var(const std::string& name) { return typing::make_type(*typing::Variable::create(name)); }

std::vector<TypePtr> variables(std::size_t n) {
  std::vector<TypePtr> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(var("T" + std::to_string(i)));
  return out;
}

// The floor that node insertion is measured against: one SHA-256 digest and
// one sharded-map insert per node. Every benchmark here times insertion only;
// tearing the tables down is not.
template <class Digest>
void raw_digest_and_insert(benchmark::State& state, Digest digest) {
  const auto n = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    auto map = std::make_unique<utils::ShardedMap<Uid, int, UidHash>>();
    for (std::size_t i = 0; i < n; ++i) map->insert(digest("var:T" + std::to_string(i)), 0);
    benchmark::DoNotOptimize(map->size());
    state.PauseTiming();
    map.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Through the digest the store uses.
void BM_RawDigestAndInsert(benchmark::State& state) {
  raw_digest_and_insert(state, [](const std::string& text) {
    return sha256({std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())});
  });
}
BENCHMARK(BM_RawDigestAndInsert)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(1);

// Through OpenSSL's one-shot digest (EVP_Digest with EVP_sha256()), which
// looks the algorithm up on every call.
void BM_RawOneShotDigestAndInsert(benchmark::State& state) {
  raw_digest_and_insert(state, [](const std::string& text) {
    Uid uid{};
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), uid.data(), &len, EVP_sha256(), nullptr);
    return uid;
  });
}
BENCHMARK(BM_RawOneShotDigestAndInsert)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_AddNodes(benchmark::State& state) {
  const auto types = variables(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto g = std::make_unique<Graph>();
    auto created = new_created_flag();
    for (const auto& t : types) benchmark::DoNotOptimize(g->add_node(t, std::nullopt, PropertyMap::empty(), created));
    state.PauseTiming();
    g.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AddNodes)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_AddEdges(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const std::size_t nodes = 1000;
  const auto types = variables(nodes);
  std::vector<typing::Term> terms;
  terms.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    auto arrow = typing::make_arrow(types[i % nodes], types[(i / nodes) % nodes]);
    terms.emplace_back(*typing::BasicTerm::create("f" + std::to_string(i), arrow));
  }
  for (auto _ : state) {
    state.PauseTiming();
    auto g = std::make_unique<Graph>();
    auto created = new_created_flag();
    for (const auto& t : types) (void)g->add_node(t, std::nullopt, PropertyMap::empty(), created);
    state.ResumeTiming();
    for (const auto& term : terms) benchmark::DoNotOptimize(g->add_edge(term, PropertyMap::empty(), created));
    state.PauseTiming();
    g.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AddEdges)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->Iterations(1);

// A right-nested arrow of the given depth, stored with a term.
void BM_RebuildNested(benchmark::State& state) {
  Graph g;
  TypePtr t = var("A");
  for (int i = 0; i < state.range(0); ++i) t = typing::make_arrow(var("B" + std::to_string(i)), t);
  const Uid uid = g.insert_type(*t);
  g.insert_term(typing::Term(*typing::BasicTerm::create("c", t)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(g.type_from_uid(uid));
    benchmark::DoNotOptimize(g.term_from_uid(uid));
  }
}
BENCHMARK(BM_RebuildNested)->Arg(4)->Arg(32);

}  // namespace
}  // namespace velmora::graph

BENCHMARK_MAIN();
