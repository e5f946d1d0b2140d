#include "patterns/node.hpp"

#include "validation.hpp"

namespace velmora::patterns {

Result<NodePattern> NodePattern::create(std::optional<std::string> variable, std::optional<TypeSchema> type_schema,
                                        std::optional<TermSchema> term_schema, std::optional<PropertyMap> properties) {
  if (variable) VM_TRY_CTX(utils::validate_variable_name(*variable), "node pattern - new");
  return NodePattern(std::move(variable), std::move(type_schema), std::move(term_schema), std::move(properties));
}

}  // namespace velmora::patterns
