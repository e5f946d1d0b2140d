// Term-schema matching: the term stored for one type against a term pattern,
// and the parallel scan of every stored term for every match of a set. A
// ground schema (bound names and applications only) is looked up instead of
// scanned.
#include <fmt/format.h>

#include <algorithm>
#include <source_location>
#include <utility>

#include "constants.hpp"
#include "graph/matches/schema_scan.hpp"
#include "graph/matches/schemas.hpp"

namespace velmora::graph {

using patterns::TermPattern;
using patterns::TermSchema;

namespace {

using Checked = Result<std::optional<MatchPtr>>;

// The term stored for the type `id` against `pattern`. The term is read once,
// as one word: a term replaced meanwhile is checked as it was.
Checked check_term_row(const Graph& g, TypeId id, const TermPattern& pattern, MatchPtr m) {
  const TypeTable& types = g.types();
  const Uid& uid = types.uid(id);
  const TermWord word = types.term(id);
  if (word.none()) return fail(errors::TermNotFound{uid, "check term matches"});
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
    VM_TRY_CTX(frame->insert(variable->name, MatchElement::stored_term(uid)), "graph - match term pattern");
    return frame;
  }

  if (const auto* application = pattern.get<TermPattern::Application>()) {
    if (!word.is_application()) return std::nullopt;
    auto function = VM_TRY_CTX(check_term_row(g, word.function(), *application->function, std::move(m)),
                               "graph - match term pattern");
    if (!function) return std::nullopt;
    return with_context(check_term_row(g, word.argument(), *application->argument, std::move(*function)),
                        "graph - match term pattern");
  }

  const auto& use = *pattern.get<TermPattern::Constant>();
  const Constant* constant = g.constants().find(use.name);
  if (!constant) return fail(errors::ConstantNotFound{use.name, positioned("check term matches")});
  if (!word.is_basic() || types.name(word.name()) != use.name) return std::nullopt;

  // The constant's own captures go into a private scratch chain, apart from
  // the caller's bindings; only the type arguments' captures reach the caller.
  auto scratch = check_type_matches(g, uid, constant->type_schema().pattern(), Match::create());
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
    auto next = VM_TRY_CTX(check_type_matches(g, type, use.type_arguments[i].pattern(), std::move(chain)),
                           "check term matches");
    if (!next) return std::nullopt;
    chain = std::move(*next);
  }
  return chain;
}

using matches::detail::SchemaRows;

// Which rows `pattern` must be checked against for the frame `m`. A pattern
// whose names are all bound to terms matches one term at most, which is
// found without the scan: a name's term is stored under the bound uid, and
// an application's under the right side of its function's arrow type. Its
// check fails on no row (nothing is bound, no name holds a non-term), so the
// other rows can be skipped. Any other pattern needs every row: a wildcard,
// an unbound name (it binds whatever term it meets), a name bound to a
// non-term (its check fails on some rows only) and a constant use.
SchemaRows term_rows(const Graph& g, const TermPattern& pattern, const Match& m) {
  if (const auto* variable = pattern.get<TermPattern::Variable>()) {
    const auto bound = m.get(variable->name);
    if (!bound || bound->kind() != MatchElement::Kind::Term) return SchemaRows::all();
    return SchemaRows::only(g.types().find(bound->uid()));
  }
  if (const auto* application = pattern.get<TermPattern::Application>()) {
    const SchemaRows function = term_rows(g, *application->function, m);
    if (function.every) return function;
    const SchemaRows argument = term_rows(g, *application->argument, m);
    if (argument.every) return argument;
    if (!function.row || !argument.row || g.types().is_variable(*function.row)) return SchemaRows::only(std::nullopt);
    return SchemaRows::only(g.types().right(*function.row));
  }
  return SchemaRows::all();
}

// The one call of the scan, so that both entry points report from the same
// position.
template <class Rows>
Result<MatchSet> scan_term_rows(const Graph& g, const TermSchema& schema, const MatchSet& matches, Rows&& rows) {
  return matches::detail::scan_schema_rows(
      g.types(), true, matches, std::forward<Rows>(rows),
      [&](TypeId id, const MatchPtr& m) { return check_term_row(g, id, schema.pattern(), m); },
      "graph - match term pattern", "graph - match term schema");
}

}  // namespace

Result<std::optional<MatchPtr>> check_term_matches(const Graph& graph, const Uid& uid, const TermPattern& pattern,
                                                   MatchPtr m) {
  const auto id = graph.type_id(uid);
  if (!id) return fail(errors::TermNotFound{uid, "check term matches"});
  return check_term_row(graph, *id, pattern, std::move(m));
}

Result<MatchSet> match_term_schema(const Graph& graph, const TermSchema& schema, const MatchSet& matches) {
  return scan_term_rows(graph, schema, matches,
                        [&](const MatchPtr& m) { return term_rows(graph, schema.pattern(), *m); });
}

Result<MatchSet> matches::detail::scan_term_schema(const Graph& graph, const TermSchema& schema,
                                                   const MatchSet& matches) {
  return scan_term_rows(graph, schema, matches, EveryRow{});
}

}  // namespace velmora::graph
