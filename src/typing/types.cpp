#include "typing/types.hpp"

#include <absl/container/inlined_vector.h>

#include <utility>
#include <vector>

#include "utils/release.hpp"
#include "validation.hpp"

namespace velmora::typing {

Result<Variable> Variable::create(std::string name) {
  VM_TRY_CTX(validate_variable_name(name), "variable - new");
  return Variable{std::move(name)};
}

Arrow::~Arrow() {
  // A long chain of arrows is released in constant stack.
  utils::release_parts<Type>({&left, &right}, [](const Type& side, auto& take) {
    if (const auto* arrow = side.as_arrow()) {
      take(arrow->left);
      take(arrow->right);
    }
  });
}

bool Arrow::operator==(const Arrow& other) const {
  return types_equal(left, other.left) && types_equal(right, other.right);
}

bool Type::operator==(const Type& other) const {
  // Most comparisons are of shallow trees: keep their stack off the heap.
  absl::InlinedVector<std::pair<const Type*, const Type*>, 16> pending{{this, &other}};
  while (!pending.empty()) {
    const auto [a, b] = pending.back();
    pending.pop_back();
    if (a == b) continue;
    if (const auto* va = a->as_variable()) {
      const auto* vb = b->as_variable();
      if (!vb || va->name != vb->name) return false;
      continue;
    }
    const auto* aa = a->as_arrow();
    const auto* ab = b->as_arrow();
    if (!ab) return false;
    pending.emplace_back(aa->right.get(), ab->right.get());
    pending.emplace_back(aa->left.get(), ab->left.get());
  }
  return true;
}

std::string Type::to_string() const {
  // Each entry is a type still to write, or (null) the text that closes the
  // arrow opened below it: " -> " then its right side, or ")".
  struct Step {
    const Type* type;
    const char* text;
  };
  std::string out;
  std::vector<Step> pending{{this, nullptr}};
  while (!pending.empty()) {
    const Step step = pending.back();
    pending.pop_back();
    if (!step.type) {
      out += step.text;
      continue;
    }
    if (const auto* variable = step.type->as_variable()) {
      out += variable->name;
      continue;
    }
    const auto& arrow = *step.type->as_arrow();
    out += '(';
    pending.push_back({nullptr, ")"});
    pending.push_back({arrow.right.get(), nullptr});
    pending.push_back({nullptr, " -> "});
    pending.push_back({arrow.left.get(), nullptr});
  }
  return out;
}

TypePtr make_type(Variable variable) { return std::make_shared<const Type>(std::move(variable)); }

TypePtr make_arrow(TypePtr left, TypePtr right) {
  return std::make_shared<const Type>(Arrow{std::move(left), std::move(right)});
}

}  // namespace velmora::typing
