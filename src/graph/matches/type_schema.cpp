// Type-schema matching: one stored type against a type pattern, and the
// parallel scan of every stored type for every match of a set.
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include "graph/base.hpp"
#include "utils/parallel.hpp"

namespace velmora::graph {

using patterns::TypePattern;
using patterns::TypeSchema;

Result<std::optional<MatchPtr>> Graph::check_type_matches(const Uid& uid, const TypePattern& pattern,
                                                          MatchPtr m) const {
  using Checked = Result<std::optional<MatchPtr>>;
  // The row stays read-locked for the whole check, nested checks included, so
  // writers of its shard wait until the check is done. Nested read holds of
  // one shard by this thread are safe: the lock admits readers while writers
  // wait.
  auto checked = type_index->with_read(uid, [&](const TypeRep& rep) -> Checked {
    if (pattern.is<TypePattern::Wildcard>()) return m;

    if (const auto* variable = pattern.get<TypePattern::Variable>()) {
      if (auto bound = m->get(variable->name)) {
        const Uid bound_uid =
            VM_TRY_CTX(bound->as_type(variable->name, "check type matches"), "graph - check type matches");
        if (bound_uid == uid) return m;
        return std::nullopt;
      }
      // An unbound variable of a type schema names a type variable; it never binds.
      if (rep.tag == TypeRep::Tag::Variable && rep.name == variable->name) return m;
      return std::nullopt;
    }

    if (const auto* arrow = pattern.get<TypePattern::Arrow>()) {
      if (rep.tag != TypeRep::Tag::Arrow) return std::nullopt;
      auto left = VM_TRY_CTX(check_type_matches(rep.left, *arrow->left, std::move(m)),
                             "graph - check type matches");
      if (!left) return std::nullopt;
      // The right side sees the bindings the left side made.
      return with_context(check_type_matches(rep.right, *arrow->right, std::move(*left)),
                          "graph - check type matches");
    }

    const auto& capture = *pattern.get<TypePattern::Capture>();
    auto inner = VM_TRY_CTX(check_type_matches(uid, *capture.pattern, std::move(m)),
                            "graph - check type matches");
    if (!inner) return std::nullopt;
    MatchPtr frame = Match::create(std::move(*inner));
    VM_TRY_CTX(frame->insert(capture.name, MatchElement::type(uid)), "graph - check type matches");
    return frame;
  });
  if (!checked) return fail(errors::TypeNotFound{uid, "check type matches"});
  return std::move(*checked);
}

Result<MatchSet> Graph::match_type_schema(const TypeSchema& schema, const MatchSet& matches) const {
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
          type_index->for_each_shard_parallel([&](const auto& rows) {
            for (const auto& [uid, rep] : rows) {
              if (ctx.is_group_execution_cancelled()) return;
              auto checked = check_type_matches(uid, schema.pattern(), entry.match);
              if (!checked) {
                first.set(std::move(checked).error().attach("graph - match type pattern"), ctx);
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
    report.attach("graph - match type pattern");
    report.attach("graph - match type schema");
    return std::unexpected(std::move(report));
  }
  return result;
}

}  // namespace velmora::graph
