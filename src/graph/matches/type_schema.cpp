// Type-schema matching: one stored type against a type pattern, and the
// parallel scan of every stored type for every match of a set.
#include <utility>

#include "graph/base.hpp"
#include "graph/matches/schema_scan.hpp"

namespace velmora::graph {

using patterns::TypePattern;
using patterns::TypeSchema;

namespace {

using Checked = Result<std::optional<MatchPtr>>;

// The stored type `id` against `pattern`. Type rows never change once
// stored, so the check reads them without locks.
Checked check_type_row(const Graph& g, TypeId id, const TypePattern& pattern, MatchPtr m) {
  const TypeTable& types = *g.types;
  if (pattern.is<TypePattern::Wildcard>()) return m;

  if (const auto* variable = pattern.get<TypePattern::Variable>()) {
    if (auto bound = m->get(variable->name)) {
      const Uid bound_uid =
          VM_TRY_CTX(bound->as_type(variable->name, "check type matches"), "graph - check type matches");
      if (bound_uid == types.uid(id)) return m;
      return std::nullopt;
    }
    // An unbound variable of a type schema names a type variable; it never binds.
    if (types.is_variable(id) && types.variable_name(id) == variable->name) return m;
    return std::nullopt;
  }

  if (const auto* arrow = pattern.get<TypePattern::Arrow>()) {
    if (types.is_variable(id)) return std::nullopt;
    auto left = VM_TRY_CTX(check_type_row(g, types.left(id), *arrow->left, std::move(m)), "graph - check type matches");
    if (!left) return std::nullopt;
    // The right side sees the bindings the left side made.
    return with_context(check_type_row(g, types.right(id), *arrow->right, std::move(*left)),
                        "graph - check type matches");
  }

  const auto& capture = *pattern.get<TypePattern::Capture>();
  auto inner = VM_TRY_CTX(check_type_row(g, id, *capture.pattern, std::move(m)), "graph - check type matches");
  if (!inner) return std::nullopt;
  MatchPtr frame = Match::create(std::move(*inner));
  VM_TRY_CTX(frame->insert(capture.name, MatchElement::type(types.uid(id))), "graph - check type matches");
  return frame;
}

}  // namespace

Result<std::optional<MatchPtr>> Graph::check_type_matches(const Uid& uid, const TypePattern& pattern,
                                                          MatchPtr m) const {
  const auto id = types->find(uid);
  if (!id) return fail(errors::TypeNotFound{uid, "check type matches"});
  return check_type_row(*this, *id, pattern, std::move(m));
}

Result<MatchSet> Graph::match_type_schema(const TypeSchema& schema, const MatchSet& matches) const {
  return matches::detail::scan_schema_rows(
      *types, false, matches,
      [&](TypeId id, const MatchPtr& m) { return check_type_row(*this, id, schema.pattern(), m); },
      "graph - match type pattern", "graph - match type schema");
}

}  // namespace velmora::graph
