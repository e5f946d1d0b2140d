// Type-schema matching: one stored type against a type pattern, and the
// parallel scan of every stored type for every match of a set.
#include <utility>

#include "graph/base.hpp"
#include "graph/matches/schema_scan.hpp"

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
  return matches::detail::scan_schema_rows(
      *type_index, matches, [&](const Uid& uid, const MatchPtr& m) { return check_type_matches(uid, schema.pattern(), m); },
      "graph - match type pattern", "graph - match type schema");
}

}  // namespace velmora::graph
