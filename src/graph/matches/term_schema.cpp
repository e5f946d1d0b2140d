// Term-schema matching: the term stored for one type against a term pattern,
// and the parallel scan of every stored term for every match of a set.
#include <fmt/format.h>

#include <algorithm>
#include <source_location>
#include <utility>

#include "graph/base.hpp"
#include "graph/matches/schema_scan.hpp"

namespace velmora::graph {

using patterns::TermPattern;
using patterns::TermSchema;

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
  return matches::detail::scan_schema_rows(
      *term_index, matches, [&](const Uid& uid, const MatchPtr& m) { return check_term_matches(uid, schema.pattern(), m); },
      "graph - match term pattern", "graph - match term schema");
}

}  // namespace velmora::graph
