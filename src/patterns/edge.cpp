#include "patterns/edge.hpp"

#include "validation.hpp"

namespace velmora::patterns {

std::string_view to_string(Direction direction) {
  switch (direction) {
    case Direction::Forward: return "forward";
    case Direction::Backward: return "backward";
    case Direction::Any: return "any";
  }
  return "any";
}

std::optional<Direction> direction_from_string(std::string_view text) {
  if (text == "forward") return Direction::Forward;
  if (text == "backward") return Direction::Backward;
  if (text == "any") return Direction::Any;
  return std::nullopt;
}

Result<EdgePattern> EdgePattern::create(std::optional<std::string> variable, std::optional<TypeSchema> type_schema,
                                        std::optional<TermSchema> term_schema, std::optional<PropertyMap> properties,
                                        Direction direction) {
  if (variable) VM_TRY_CTX(validate_variable_name(*variable), "edge pattern - new");
  return EdgePattern(std::move(variable), std::move(type_schema), std::move(term_schema), std::move(properties),
                     direction);
}

Status EdgePattern::create_in(EdgePattern& out, std::optional<std::string>&& variable,
                              std::optional<TypeSchema>&& type_schema, std::optional<TermSchema>&& term_schema,
                              std::optional<PropertyMap>&& properties, Direction direction) {
  if (variable) VM_TRY_CTX(validate_variable_name(*variable), "edge pattern - new");
  out.variable_ = std::move(variable);
  out.type_schema_ = std::move(type_schema);
  out.term_schema_ = std::move(term_schema);
  out.properties_ = std::move(properties);
  out.direction_ = direction;
  return {};
}

}  // namespace velmora::patterns
