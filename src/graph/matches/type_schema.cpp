// Type-schema matching: one stored type against a type pattern, and the
// parallel scan of every stored type for every match of a set. A ground
// schema (names and arrows only) is looked up by uid instead of scanned.
#include <optional>
#include <utility>

#include "graph/intern.hpp"
#include "graph/matches/schema_scan.hpp"
#include "graph/matches/schemas.hpp"

namespace velmora::graph {

using patterns::TypePattern;
using patterns::TypeSchema;

namespace {

using Checked = Result<std::optional<MatchPtr>>;

// The stored type `id` against `pattern`. Type rows never change once
// stored, so the check reads them without locks.
Checked check_type_row(const Graph& g, TypeId id, const TypePattern& pattern, MatchPtr m) {
  const TypeTable& types = g.types();
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
  VM_TRY_CTX(frame->insert(capture.name, MatchElement::stored_type(types.uid(id))), "graph - check type matches");
  return frame;
}

// ground_type_row (see schemas.hpp) over the type rows. Nothing here binds,
// so every name means the same on every row. A variable is found by its
// name, without a digest.
std::optional<std::optional<TypeId>> ground_row(const TypeTable& types, const TypePattern& pattern, const Match& m) {
  if (const auto* variable = pattern.get<TypePattern::Variable>()) {
    const auto bound = m.get(variable->name);
    if (!bound) return types.find_variable(variable->name);
    if (bound->kind() != MatchElement::Kind::Type) return std::nullopt;
    return types.find(bound->uid());
  }
  if (const auto* arrow = pattern.get<TypePattern::Arrow>()) {
    const auto left = ground_row(types, *arrow->left, m);
    if (!left) return std::nullopt;
    const auto right = ground_row(types, *arrow->right, m);
    if (!right) return std::nullopt;
    // An arrow is stored only after its sides.
    if (!*left || !*right) return std::optional<TypeId>();
    return types.find(arrow_uid(types.uid(**left), types.uid(**right)));
  }
  return std::nullopt;
}

// Which rows `pattern` must be checked against for the frame `m`. A ground
// pattern matches the one row of its type, if stored, and fails on none:
// every row that differs in structure differs in uid.
matches::detail::SchemaRows type_rows(const Graph& g, const TypePattern& pattern, const MatchPtr& m) {
  const auto row = ground_row(g.types(), pattern, *m);
  if (!row) return matches::detail::SchemaRows::all();
  return matches::detail::SchemaRows::only(*row);
}

// The one call of the scan, so that both entry points report from the same
// position.
template <class Rows>
Result<MatchSet> scan_type_rows(const Graph& g, const TypeSchema& schema, const MatchSet& matches, Rows&& rows) {
  return matches::detail::scan_schema_rows(
      g.types(), false, matches, std::forward<Rows>(rows),
      [&](TypeId id, const MatchPtr& m) { return check_type_row(g, id, schema.pattern(), m); },
      "graph - match type pattern", "graph - match type schema");
}

}  // namespace

std::optional<std::optional<TypeId>> ground_type_row(const Graph& graph, const TypePattern& pattern, const Match& m) {
  return ground_row(graph.types(), pattern, m);
}

Result<std::optional<MatchPtr>> check_type_matches(const Graph& graph, const Uid& uid, const TypePattern& pattern,
                                                   MatchPtr m) {
  const auto id = graph.type_id(uid);
  if (!id) return fail(errors::TypeNotFound{uid, "check type matches"});
  return check_type_row(graph, *id, pattern, std::move(m));
}

Result<std::optional<MatchPtr>> check_type_matches(const Graph& graph, TypeId id, const TypePattern& pattern,
                                                   MatchPtr m) {
  return check_type_row(graph, id, pattern, std::move(m));
}

Result<MatchSet> match_type_schema(const Graph& graph, const TypeSchema& schema, const MatchSet& matches) {
  return scan_type_rows(graph, schema, matches,
                        [&](const MatchPtr& m) { return type_rows(graph, schema.pattern(), m); });
}

Result<MatchSet> matches::detail::scan_type_schema(const Graph& graph, const TypeSchema& schema,
                                                   const MatchSet& matches) {
  return scan_type_rows(graph, schema, matches, EveryRow{});
}

}  // namespace velmora::graph
