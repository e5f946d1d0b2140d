// The scan shared by `Graph::match_type_schema` and `Graph::match_term_schema`:
// every row of one store index against every match of a set, or, when the
// schema names its one possible row ahead (a ground schema), that row alone.
#pragma once

#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <source_location>
#include <string_view>
#include <utility>

#include "errors.hpp"
#include "graph/matches/matching.hpp"
#include "graph/type_table.hpp"
#include "matches.hpp"
#include "parallel.hpp"
#include "utils/tsan.hpp"

namespace velmora::graph::matches::detail {

// The rows a schema has to be checked against for one match frame. `every`:
// all of them. Otherwise only `row` (none: no row at all) can match, and no
// other row could make the check fail either, so skipping them changes
// neither the matches nor the errors.
struct SchemaRows {
  bool every = true;
  std::optional<TypeId> row;

  static SchemaRows all() { return {}; }
  static SchemaRows only(std::optional<TypeId> row) { return {false, row}; }
};

// The rows for a schema that no shortcut applies to.
struct EveryRow {
  SchemaRows operator()(const MatchPtr&) const { return SchemaRows::all(); }
};

// For every match of `matches` and every stored type (with `with_term`, every
// type that has a term) that rows(match frame) -> SchemaRows leaves, in
// parallel, check(type id, match frame) -> Result<std::optional<MatchPtr>>;
// each accepted row becomes an entry {the type's uid, returned frame} of the
// new set. `rows` must not fail and is called once per match, before that
// match's checks. The first failing check stops the scan and cancels every
// nested loop; its report gets `row_line`, then `row_line` and `scan_line`
// again on the way out, each at `where` (the caller's position by default).
template <class Rows, class Check>
Result<MatchSet> scan_schema_rows(const TypeTable& types, bool with_term, const MatchSet& matches, Rows&& rows,
                                  Check&& check, std::string_view row_line, std::string_view scan_line,
                                  std::source_location where = std::source_location::current()) {
  MatchSink sink;
  std::atomic<std::uint64_t> next_id{0};
  tbb::task_group_context ctx;
  FirstError first;
  // The checks of one match. `grouped`: the caller runs in a task group bound
  // to ctx, which the nested loop over every row then joins; otherwise that
  // loop gets a group of its own, so that the first error cancels it too.
  const auto scan_entry = [&](const MatchEntry& entry, MatchSink::Writer& out, bool grouped) {
    const auto visit = [&](TypeId id, MatchSink::Writer* writer) {
      if (ctx.is_group_execution_cancelled()) return;
      if (with_term && types.term(id).none()) return;
      auto checked = check(id, entry.match);
      if (!checked) {
        first.set(std::move(checked).error().attach(row_line, where), ctx);
        return;
      }
      if (!*checked) return;
      MatchEntry made{types.uid(id), std::move(**checked)};
      const std::uint64_t made_id = next_id.fetch_add(1, std::memory_order_relaxed);
      if (writer) {
        writer->add(made_id, std::move(made));
      } else {
        sink.add(made_id, std::move(made));
      }
    };
    const SchemaRows chosen = rows(entry.match);
    if (!chosen.every) {
      // One row at most: no task is worth its start.
      if (chosen.row) visit(*chosen.row, &out);
      return;
    }
    // The rows' tasks must not pick up other matches' work while this one waits.
    const auto every_row = [&] {
      tbb::this_task_arena::isolate([&] { types.for_each_parallel([&](TypeId id) { visit(id, nullptr); }); });
    };
    if (grouped) {
      every_row();
      return;
    }
    tbb::task_group group(ctx);
    utils::tsan::Join join;
    group.run_and_wait(utils::tsan::body(every_row, join));
    join.joined();
  };
  if (matches->size() <= MatchSetMap::kInlineWalk) {
    // A few matches run on the calling thread, in the set's order.
    MatchSink::Writer out = sink.writer();
    matches->for_each_shard([&](const MatchSetMap::Table& entries) {
      for (const auto& [id, entry] : entries) {
        if (ctx.is_group_execution_cancelled()) return;
        scan_entry(entry, out, false);
      }
    });
  } else {
    // The group binds the nested loops to ctx, so the first error cancels them all.
    tbb::task_group group(ctx);
    utils::tsan::Join join;
    group.run_and_wait(utils::tsan::body(
        [&] {
          matches->for_each_shard_parallel([&](const MatchSetMap::Table& entries) {
            MatchSink::Writer out = sink.writer();
            for (const auto& [id, entry] : entries) {
              if (ctx.is_group_execution_cancelled()) return;
              scan_entry(entry, out, true);
            }
          });
        },
        join));
    join.joined();
  }
  if (auto status = first.take(); !status) {
    Report report = std::move(status).error();
    report.attach(row_line, where);
    report.attach(scan_line, where);
    return std::unexpected(std::move(report));
  }
  MatchSet result = new_match_set();
  sink.move_into(*result);
  return result;
}

// `Graph::match_type_schema` and `Graph::match_term_schema` without the
// shortcut for ground schemas: every row is checked. Same results and errors;
// kept for comparing the two.
Result<MatchSet> scan_type_schema(const Graph& graph, const patterns::TypeSchema& schema, const MatchSet& matches);
Result<MatchSet> scan_term_schema(const Graph& graph, const patterns::TermSchema& schema, const MatchSet& matches);

}  // namespace velmora::graph::matches::detail
