// Term-schema matching: the term stored for one type against a term pattern,
// and the parallel scan of every stored term for every match of a set.
#include <fmt/format.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <source_location>
#include <utility>

#include "graph/base.hpp"
#include "utils/parallel.hpp"

namespace velmora::graph {

using patterns::TermPattern;
using patterns::TermSchema;

namespace {

}  // namespace

Result<std::optional<MatchPtr>> Graph::check_term_matches(const Uid& uid, const TermPattern& pattern,
                                                          MatchPtr m) const {
  using Checked = Result<std::optional<MatchPtr>>;
  // The row stays read-locked for the whole check, nested checks included (see
  // check_type_matches for why nested read holds are safe).
  auto checked = term_index->with_read(uid, [&](const TermRep& rep) -> Checked {
    if (pattern.is<TermPattern::Wildcard>()) return m;

    if (const auto* variable = pattern.get<TermPattern::Variable>()) {
      if (auto bound = m->get(variable->name)) {
        const Uid bound_uid =
            VM_TRY_CTX(bound->as_term(variable->name, "check term matches"), "graph - check term matches");
        if (bound_uid == uid) return m;
        return std::nullopt;
      }
      // Unlike a type variable, a term variable binds the term it meets.
      MatchPtr frame = Match::create(std::move(m));
      VM_TRY_CTX(frame->insert(variable->name, MatchElement::term(uid)), "graph - match term pattern");
      return frame;
    }

    if (const auto* application = pattern.get<TermPattern::Application>()) {
      if (rep.tag != TermRep::Tag::Application) return std::nullopt;
      auto function = VM_TRY_CTX(check_term_matches(rep.function, *application->function, std::move(m)),
                                 "graph - match term pattern");
      if (!function) return std::nullopt;
      return with_context(check_term_matches(rep.argument, *application->argument, std::move(*function)),
                          "graph - match term pattern");
    }

    const auto& use = *pattern.get<TermPattern::Constant>();
    // A copy, so that the constants row is unlocked before the nested checks.
    const std::optional<Constant> constant = constants->get(use.name);
    if (!constant) return fail(errors::ConstantNotFound{use.name, positioned("check term matches")});
    if (rep.tag != TermRep::Tag::Basic || rep.name != use.name) return std::nullopt;

    // The constant's own captures go into a private scratch chain, apart from
    // the caller's bindings; only the type arguments' captures reach the caller.
    auto scratch = check_type_matches(uid, constant->type_schema().pattern(), Match::create());
    if (!scratch) return std::unexpected(std::move(scratch).error().attach("check term matches"));
    if (!*scratch) return std::nullopt;
    const MatchPtr& parameters = **scratch;

    MatchPtr chain = Match::create(std::move(m));
    const auto& names = constant->free_variables();
    const std::size_t n = std::min(use.type_arguments.size(), names.size());
    for (std::size_t i = 0; i < n; ++i) {
      const auto parameter = parameters->get(names[i]);
      if (!parameter) continue;
      const Uid type = VM_TRY(parameter->as_type(names[i], positioned("check term matches")));
      auto next = VM_TRY_CTX(check_type_matches(type, use.type_arguments[i].pattern(), std::move(chain)),
                             "check term matches");
      if (!next) return std::nullopt;
      chain = std::move(*next);
    }
    return chain;
  });
  if (!checked) return fail(errors::TermNotFound{uid, "check term matches"});
  return std::move(*checked);
}

Result<MatchSet> Graph::match_term_schema(const TermSchema& schema, const MatchSet& matches) const {
  MatchSet result = new_match_set();
  std::atomic<std::uint64_t> next_id{0};
  tbb::task_group_context ctx;
  utils::FirstError first;
  // The group binds the nested loops to ctx, so the first error cancels them all.
  tbb::task_group group(ctx);
  utils::tsan::Join join;
  group.run_and_wait(utils::tsan::body([&] {
    matches->for_each_shard_parallel([&](const MatchSetMap::Table& entries) {
      for (const auto& [id, entry] : entries) {
        if (ctx.is_group_execution_cancelled()) return;
        // This thread holds the input shard's read lock while it waits for the
        // rows: it must only run tasks of this entry meanwhile.
        tbb::this_task_arena::isolate([&] {
          term_index->for_each_shard_parallel([&](const auto& rows) {
            for (const auto& [uid, rep] : rows) {
              if (ctx.is_group_execution_cancelled()) return;
              auto checked = check_term_matches(uid, schema.pattern(), entry.match);
              if (!checked) {
                first.set(std::move(checked).error().attach("graph - match term pattern"), ctx);
                return;
              }
              if (*checked)
                result->insert(next_id.fetch_add(1, std::memory_order_relaxed),
                               MatchEntry{uid, std::move(**checked)});
            }
          });
        });
      }
    });
  }, join));
  join.joined();
  if (auto status = first.take(); !status) {
    Report report = std::move(status).error();
    report.attach("graph - match term pattern");
    report.attach("graph - match term schema");
    return std::unexpected(std::move(report));
  }
  return result;
}

}  // namespace velmora::graph
