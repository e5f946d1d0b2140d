#include "patterns/node.hpp"

#include "validation.hpp"

namespace velmora::patterns {

Result<NodePattern> NodePattern::create(std::optional<std::string> variable, std::optional<TypeSchema> type_schema,
                                        std::optional<TermSchema> term_schema, std::optional<PropertyMap> properties) {
  if (variable) VM_TRY_CTX(validate_variable_name(*variable), "node pattern - new");
  return NodePattern(std::move(variable), std::move(type_schema), std::move(term_schema), std::move(properties));
}

Status NodePattern::create_in(NodePattern& out, std::optional<std::string>&& variable,
                              std::optional<TypeSchema>&& type_schema, std::optional<TermSchema>&& term_schema,
                              std::optional<PropertyMap>&& properties) {
  if (variable) VM_TRY_CTX(validate_variable_name(*variable), "node pattern - new");
  out.variable_ = std::move(variable);
  out.type_schema_ = std::move(type_schema);
  out.term_schema_ = std::move(term_schema);
  out.properties_ = std::move(properties);
  return {};
}

}  // namespace velmora::patterns
