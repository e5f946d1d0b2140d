// Types, uids and basic terms written as text, for the suites that test the
// store and matching through the C++ interface.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "errors.hpp"
#include "graph/create.hpp"
#include "graph/inspect.hpp"
#include "graph/matches/matching.hpp"
#include "graph/schema.hpp"
#include "graph/store.hpp"
#include "patterns/type_schema.hpp"

namespace velmora::graph::test_support {

// A capture-free type pattern as a type value.
inline TypePtr to_type(const patterns::TypePattern& p) {
  if (const auto* v = p.get<patterns::TypePattern::Variable>()) return typing::make_type(typing::Variable{v->name});
  const auto& a = *p.get<patterns::TypePattern::Arrow>();
  return typing::make_arrow(to_type(*a.left), to_type(*a.right));
}

// "A -> (B -> C)" as a type value (type-schema syntax without captures).
inline TypePtr ty(std::string_view text) {
  auto schema = patterns::TypeSchema::create(std::string(text));
  if (!schema) throw std::runtime_error(errors::format_report(schema.error()));
  return to_type(schema->pattern());
}

// The uid the store gives a type.
inline Uid uid_of(const TypePtr& t) {
  if (const auto* v = t->as_variable()) return TypeRep::variable(v->name).uid();
  return TypeRep::arrow(uid_of(t->as_arrow()->left), uid_of(t->as_arrow()->right)).uid();
}
inline Uid uid_of(std::string_view text) { return uid_of(ty(text)); }

// A basic term named `name` of the type written `type`.
inline Term basic(std::string name, std::string_view type) { return typing::BasicTerm{std::move(name), ty(type)}; }

}  // namespace velmora::graph::test_support
