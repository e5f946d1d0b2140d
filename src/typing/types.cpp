#include "typing/types.hpp"

#include <utility>
#include <vector>

#include "utils/validation.hpp"

namespace velmora::typing {

Result<Variable> Variable::create(std::string name) {
  VM_TRY_CTX(utils::validate_variable_name(name), "variable - new");
  return Variable{std::move(name)};
}

Arrow::~Arrow() {
  // Sides held by nobody else are taken apart here, level by level, so that
  // releasing a long chain of arrows runs in constant stack. A side shared
  // with another holder only loses one count.
  std::vector<TypePtr> pending;
  const auto take = [&](TypePtr& side) {
    if (side && side.use_count() == 1) pending.push_back(std::move(side));
  };
  take(left);
  take(right);
  while (!pending.empty()) {
    TypePtr last = std::move(pending.back());
    pending.pop_back();
    // The sole holder may empty the sides of what it is about to release.
    if (const auto* arrow = last->as_arrow()) {
      take(arrow->left);
      take(arrow->right);
    }
  }
}

bool Arrow::operator==(const Arrow& other) const {
  return types_equal(left, other.left) && types_equal(right, other.right);
}

bool Type::operator==(const Type& other) const {
  std::vector<std::pair<const Type*, const Type*>> pending{{this, &other}};
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
