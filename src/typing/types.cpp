#include "typing/types.hpp"

#include "utils/validation.hpp"

namespace velmora::typing {
namespace {

void append_text(const Type& type, std::string& out) {
  if (const auto* variable = type.as_variable()) {
    out += variable->name;
    return;
  }
  const auto& arrow = *type.as_arrow();
  out += '(';
  append_text(*arrow.left, out);
  out += " -> ";
  append_text(*arrow.right, out);
  out += ')';
}

}  // namespace

Result<Variable> Variable::create(std::string name) {
  VM_TRY_CTX(utils::validate_variable_name(name), "variable - new");
  return Variable{std::move(name)};
}

bool Arrow::operator==(const Arrow& other) const {
  return types_equal(left, other.left) && types_equal(right, other.right);
}

std::string Type::to_string() const {
  std::string out;
  append_text(*this, out);
  return out;
}

TypePtr make_type(Variable variable) { return std::make_shared<const Type>(std::move(variable)); }

TypePtr make_arrow(TypePtr left, TypePtr right) {
  return std::make_shared<const Type>(Arrow{std::move(left), std::move(right)});
}

}  // namespace velmora::typing
