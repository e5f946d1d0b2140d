// Ground schemas are answered by one look-up instead of the scan of every
// row. Random stores, schemas and frames: the answer of `match_type_schema`
// and `match_term_schema` must be the forced scan's (same matches, same frames
// and bindings, same errors), and both must agree with a sequential model
// that checks every row one by one.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "graph/create.hpp"
#include "graph/inspect.hpp"
#include "graph/matches/matching.hpp"
#include "graph/matches/schema_scan.hpp"
#include "graph/schema.hpp"
#include "graph/store.hpp"
#include "store_test_support.hpp"

namespace velmora::graph {
namespace {

using patterns::TermSchema;
using patterns::TypeSchema;
using test_support::uid_of;

const std::vector<std::string> kTypeNames = {"A", "B", "C", "D"};
const std::vector<std::string> kTermNames = {"a", "b", "f", "g", "h"};

class Random {
 public:
  explicit Random(std::uint32_t seed) : engine_(seed) {}
  std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(engine_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(engine_); }
  template <class T>
  const T& pick(const std::vector<T>& items) {
    return items[below(items.size())];
  }

 private:
  std::mt19937 engine_;
};

// A type over kTypeNames, written as a capture-free type schema.
std::string random_type(Random& r, int depth) {
  if (depth == 0 || r.chance(0.45)) return r.pick(kTypeNames);
  return fmt::format("({} -> {})", random_type(r, depth - 1), random_type(r, depth - 1));
}

// A term of the type `type` (text): a basic term, or an application of a
// function of some L -> type to an argument of L.
Term random_term(Random& r, const std::string& type, int depth) {
  if (depth == 0 || r.chance(0.4)) return test_support::basic(r.pick(kTermNames), type);
  const std::string left = random_type(r, 1);
  const Term function = random_term(r, fmt::format("({} -> {})", left, type), depth - 1);
  const Term argument = random_term(r, left, depth - 1);
  return *function.apply(argument);
}

// A store of random types and terms; the terms overwrite each other by type.
struct RandomStore {
  Graph g;
  std::vector<Uid> types;  // every stored type
  std::vector<Uid> terms;  // every type with a term

  explicit RandomStore(Random& r) : g(std::vector<Constant>{*Constant::create("K", "(X:*) -> *")}) {
    const std::size_t n_types = r.below(12);
    for (std::size_t i = 0; i < n_types; ++i) g.insert_type(*test_support::ty(random_type(r, 3)));
    const std::size_t n_terms = r.below(10);
    for (std::size_t i = 0; i < n_terms; ++i) g.insert_term(random_term(r, random_type(r, 2), 3));
    g.types().for_each_parallel([&, mutex = std::make_shared<std::mutex>()](TypeId id) {
      std::lock_guard lock(*mutex);
      types.push_back(g.types().uid(id));
      if (!g.types().term(id).none()) terms.push_back(g.types().uid(id));
    });
    std::sort(types.begin(), types.end());
    std::sort(terms.begin(), terms.end());
  }
};

// A type schema: mostly names and arrows, now and then a wildcard or a capture
// (which the look-up leaves to the scan).
std::string random_type_schema(Random& r, int depth) {
  const std::size_t roll = r.below(20);
  if (roll == 0) return "*";
  if (roll == 1) return fmt::format("({}: {})", r.pick(kTypeNames), random_type_schema(r, depth));
  if (depth == 0 || roll < 10) return r.pick(kTypeNames);
  return fmt::format("({} -> {})", random_type_schema(r, depth - 1), random_type_schema(r, depth - 1));
}

// A term schema: names and applications, now and then a wildcard or a use of
// a constant (present or not).
std::string random_term_schema(Random& r, int depth) {
  const std::size_t roll = r.below(24);
  if (roll == 0) return "*";
  if (roll == 1) return "@K(*)";
  if (roll == 2) return "@Missing()";
  if (depth == 0 || roll < 12) return r.pick(kTermNames);
  // Parentheses do not group terms, so the argument stays a single name.
  return fmt::format("{} {}", random_term_schema(r, depth - 1), r.pick(kTermNames));
}

// A uid that no store here holds.
Uid stray_uid() { return uid_of("Nowhere"); }

// A random binding: half the time of the kind the schema asks for (a stored
// type or term: the likeliest way to a match), else of any kind, stored or
// not (a node or edge conflicts wherever the name is checked).
MatchElement random_element(Random& r, const RandomStore& s, MatchElement::Kind wanted) {
  const auto some = [&](const std::vector<Uid>& uids) { return uids.empty() ? stray_uid() : r.pick(uids); };
  if (r.chance(0.5))
    return wanted == MatchElement::Kind::Type ? MatchElement::type(some(s.types)) : MatchElement::term(some(s.terms));
  switch (r.below(7)) {
    case 0: return MatchElement::type(some(s.types));
    case 1: return MatchElement::type(r.chance(0.5) ? stray_uid() : uid_of(random_type(r, 2)));
    case 2: return MatchElement::term(some(s.terms));
    case 3: return MatchElement::term(some(s.types));
    case 4: return MatchElement::node(some(s.types));
    case 5: return MatchElement::edge({some(s.types), some(s.types)});
    default: return MatchElement::term(stray_uid());
  }
}

// A frame binding some of `names` (each left unbound with chance `unbound`),
// over a parent frame that binds others, so that look-ups walk a chain.
MatchPtr random_frame(Random& r, const RandomStore& s, const std::vector<std::string>& names, MatchElement::Kind wanted,
                      double unbound) {
  MatchPtr parent = Match::create();
  MatchPtr m = Match::create(parent);
  for (const auto& name : names) {
    if (r.chance(unbound)) continue;
    EXPECT_TRUE((r.chance(0.5) ? parent : m)->insert(name, random_element(r, s, wanted)));
  }
  return m;
}

// One entry of a result set, as comparable data: which input it grew from,
// the row matched, and the names each new frame between it and its input
// binds, newest frame first (an empty list: the input frame itself).
using Binding = std::tuple<std::string, MatchElement::Kind, Uid, Uid>;
using Frames = std::vector<std::vector<Binding>>;
using Outcome = std::tuple<std::size_t, Uid, Frames>;

// A frame binds a name when its chain does and its parent's does not: a name
// is bound once at most along a chain.
Frames new_frames(const MatchPtr& frame, const Match* input, const std::vector<std::string>& names) {
  Frames out;
  for (const Match* f = frame.get(); f && f != input; f = f->parent().get()) {
    auto& own = out.emplace_back();
    for (const auto& name : names) {
      const auto element = f->get(name);
      if (element && !(f->parent() && f->parent()->contains_key(name)))
        own.emplace_back(name, element->kind(), element->edge_key().first, element->edge_key().second);
    }
  }
  return out;
}

std::size_t input_of(const MatchPtr& frame, const std::vector<MatchPtr>& inputs) {
  for (const Match* f = frame.get(); f; f = f->parent().get())
    for (std::size_t i = 0; i < inputs.size(); ++i)
      if (inputs[i].get() == f) return i;
  return inputs.size();
}

// The sorted outcomes of a result set; also checks that its ids run from 0
// without gaps and that every frame hangs below an input.
std::vector<Outcome> outcomes(const MatchSet& set, const std::vector<MatchPtr>& inputs,
                              const std::vector<std::string>& names) {
  std::vector<std::uint64_t> ids;
  std::vector<Outcome> out;
  set->for_each_shard([&](const auto& table) {
    for (const auto& [id, entry] : table) {
      ids.push_back(id);
      const std::size_t input = input_of(entry.match, inputs);
      EXPECT_LT(input, inputs.size()) << "a frame outside every input's chain";
      if (input == inputs.size()) continue;
      out.emplace_back(input, entry.prev_uid, new_frames(entry.match, inputs[input].get(), names));
    }
  });
  std::sort(ids.begin(), ids.end());
  for (std::size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(ids[i], i);
  std::sort(out.begin(), out.end());
  return out;
}

// A failure as comparable data: message, Python class, context lines.
using Failure = std::tuple<std::string, PyClass, std::vector<std::string>>;

Failure failure_of(const Report& report, std::size_t drop_last = 0) {
  const VelmoraError& error = report.current_context();
  std::vector<std::string> lines = report.lines();
  lines.resize(lines.size() >= drop_last ? lines.size() - drop_last : 0);
  return {error.message(), error.python_class(), std::move(lines)};
}

struct Tally {
  int cases = 0;
  int ground = 0;   // cases the look-up answers for every input
  int matched = 0;  // ground cases with a match
  int failed = 0;
};

// One case: the real entry point and the forced scan against a model that
// checks every row of `rows` for every input, one by one.
template <class Real, class Scan, class Check>
void compare(const std::vector<Uid>& rows, const std::vector<MatchPtr>& inputs, const std::vector<std::string>& names,
             bool ground, Real&& real, Scan&& scan, Check&& check, Tally& tally) {
  MatchSet input_set = new_match_set();
  for (std::size_t i = 0; i < inputs.size(); ++i) input_set->insert(i * 7 + 3, MatchEntry{stray_uid(), inputs[i]});

  std::vector<Outcome> expected;
  std::set<Failure> failures;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    for (const Uid& uid : rows) {
      auto checked = check(uid, inputs[i]);
      if (!checked) {
        failures.insert(failure_of(checked.error()));
      } else if (*checked) {
        expected.emplace_back(i, uid, new_frames(**checked, inputs[i].get(), names));
      }
    }
  }
  std::sort(expected.begin(), expected.end());

  const Result<MatchSet> fast = real(input_set);
  const Result<MatchSet> slow = scan(input_set);
  ++tally.cases;
  tally.ground += ground;
  if (!failures.empty()) {
    ++tally.failed;
    EXPECT_FALSE(ground) << "a ground case fails";
    ASSERT_FALSE(fast) << "the model fails with " << std::get<0>(*failures.begin());
    ASSERT_FALSE(slow);
    // A scan reports the first failing row it meets: any of the model's, once
    // the scan's own three lines are taken off. Both report those lines from
    // the same place.
    EXPECT_TRUE(failures.contains(failure_of(fast.error(), 3))) << errors::format_report(fast.error());
    EXPECT_TRUE(failures.contains(failure_of(slow.error(), 3))) << errors::format_report(slow.error());
    const auto& fast_lines = fast.error().lines();
    const auto& slow_lines = slow.error().lines();
    ASSERT_GE(fast_lines.size(), 3u);
    ASSERT_GE(slow_lines.size(), 3u);
    EXPECT_TRUE(std::equal(fast_lines.end() - 3, fast_lines.end(), slow_lines.end() - 3, slow_lines.end()));
    if (failures.size() == 1) {
      EXPECT_EQ(failure_of(fast.error()), failure_of(slow.error()));
    }
    return;
  }
  ASSERT_TRUE(fast) << errors::format_report(fast.error());
  ASSERT_TRUE(slow) << errors::format_report(slow.error());
  EXPECT_EQ(outcomes(*fast, inputs, names), expected);
  EXPECT_EQ(outcomes(*slow, inputs, names), expected);
  tally.matched += ground && !expected.empty();
}

// Whether the look-up answers a type pattern under `m`: names and arrows
// only, each name unbound or bound to a type.
bool ground_type(const patterns::TypePattern& p, const Match& m) {
  using patterns::TypePattern;
  if (const auto* v = p.get<TypePattern::Variable>()) {
    const auto bound = m.get(v->name);
    return !bound || bound->kind() == MatchElement::Kind::Type;
  }
  if (const auto* a = p.get<TypePattern::Arrow>()) return ground_type(*a->left, m) && ground_type(*a->right, m);
  return false;
}

// The same for a term pattern: names bound to terms and applications only.
bool ground_term(const patterns::TermPattern& p, const Match& m) {
  using patterns::TermPattern;
  if (const auto* v = p.get<TermPattern::Variable>()) {
    const auto bound = m.get(v->name);
    return bound && bound->kind() == MatchElement::Kind::Term;
  }
  if (const auto* a = p.get<TermPattern::Application>())
    return ground_term(*a->function, m) && ground_term(*a->argument, m);
  return false;
}

std::vector<MatchPtr> random_inputs(Random& r, const RandomStore& s, const std::vector<std::string>& names,
                                    MatchElement::Kind wanted, double unbound) {
  std::vector<MatchPtr> inputs;
  const std::size_t n = 1 + r.below(3);
  for (std::size_t i = 0; i < n; ++i) inputs.push_back(random_frame(r, s, names, wanted, unbound));
  return inputs;
}

// A ground application schema spelling a stored term, with the frame that
// binds its names to the term's parts: the function spine of the term stored
// under a random row, down to a basic term or the names running out. Now and
// then one name is bound to another part, which must miss. None when no
// stored term is an application.
std::optional<std::pair<std::string, MatchPtr>> spelled_term(Random& r, const RandomStore& s) {
  std::vector<TypeId> applications;
  for (const Uid& uid : s.terms)
    if (const auto id = s.g.type_id(uid); s.g.types().term(*id).is_application()) applications.push_back(*id);
  if (applications.empty()) return std::nullopt;
  MatchPtr m = Match::create();
  std::vector<std::string> arguments;
  TypeId row = r.pick(applications);
  std::size_t next = 0;
  while (next + 1 < kTermNames.size() && s.g.types().term(row).is_application()) {
    const TermWord word = s.g.types().term(row);
    const TypeId argument = r.chance(0.1) ? r.pick(applications) : word.argument();
    EXPECT_TRUE(m->insert(kTermNames[next], MatchElement::term(s.g.types().uid(argument))));
    arguments.push_back(kTermNames[next++]);
    row = word.function();
    if (r.chance(0.3)) break;
  }
  EXPECT_TRUE(m->insert(kTermNames[next], MatchElement::term(s.g.types().uid(row))));
  std::string text = kTermNames[next];
  for (auto it = arguments.rbegin(); it != arguments.rend(); ++it) text += " " + *it;
  return std::pair{text, m};
}

constexpr int kStores = 60;
constexpr int kSchemasPerStore = 40;

TEST(GroundSchema, TypeLookUpAnswersAsTheScan) {
  Tally tally;
  for (int seed = 0; seed < kStores; ++seed) {
    Random r(seed);
    const RandomStore s(r);
    for (int i = 0; i < kSchemasPerStore; ++i) {
      const auto schema = TypeSchema::create(random_type_schema(r, 3));
      ASSERT_TRUE(schema) << errors::format_report(schema.error());
      const auto inputs = random_inputs(r, s, kTypeNames, MatchElement::Kind::Type, 0.6);
      const bool ground =
          std::ranges::all_of(inputs, [&](const MatchPtr& m) { return ground_type(schema->pattern(), *m); });
      SCOPED_TRACE(fmt::format("store {} schema {}", seed, schema->schema()));
      compare(
          s.types, inputs, kTypeNames, ground,
          [&](const MatchSet& set) { return match_type_schema(s.g, *schema, set); },
          [&](const MatchSet& set) { return matches::detail::scan_type_schema(s.g, *schema, set); },
          [&](const Uid& uid, const MatchPtr& m) { return check_type_matches(s.g, uid, schema->pattern(), m); }, tally);
    }
  }
  // The draws must reach every kind of case.
  EXPECT_GT(tally.ground, tally.cases / 4);
  EXPECT_GT(tally.matched, 50);
  EXPECT_GT(tally.failed, 50);
}

TEST(GroundSchema, TermLookUpAnswersAsTheScan) {
  Tally tally;
  for (int seed = 0; seed < kStores; ++seed) {
    Random r(1000 + seed);
    const RandomStore s(r);
    for (int i = 0; i < kSchemasPerStore; ++i) {
      auto spelled = r.chance(0.3) ? spelled_term(r, s) : std::nullopt;
      const auto schema = TermSchema::create(spelled ? spelled->first : random_term_schema(r, 3));
      ASSERT_TRUE(schema) << errors::format_report(schema.error());
      auto inputs = random_inputs(r, s, kTermNames, MatchElement::Kind::Term, 0.2);
      if (spelled) {
        // Mostly alone, so that the look-up answers; else beside random frames.
        if (r.chance(0.7)) inputs.clear();
        inputs.push_back(spelled->second);
      }
      const bool ground =
          std::ranges::all_of(inputs, [&](const MatchPtr& m) { return ground_term(schema->pattern(), *m); });
      SCOPED_TRACE(fmt::format("store {} schema {}", seed, schema->schema()));
      compare(
          s.terms, inputs, kTermNames, ground,
          [&](const MatchSet& set) { return match_term_schema(s.g, *schema, set); },
          [&](const MatchSet& set) { return matches::detail::scan_term_schema(s.g, *schema, set); },
          [&](const Uid& uid, const MatchPtr& m) { return check_term_matches(s.g, uid, schema->pattern(), m); }, tally);
    }
  }
  EXPECT_GT(tally.ground, tally.cases / 10);
  EXPECT_GT(tally.matched, 30);
  EXPECT_GT(tally.failed, 50);
}

}  // namespace
}  // namespace velmora::graph
