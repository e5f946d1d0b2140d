#include "constants.hpp"

#include <utility>

#include "validation.hpp"

namespace velmora {

Constant::Constant(std::string name, patterns::TypeSchema type_schema)
    : name_(std::move(name)),
      type_schema_(std::move(type_schema)),
      free_variables_(patterns::TypeSchema::get_pattern_free_variables_recursive(type_schema_.pattern())) {}

Result<Constant> Constant::create(std::string name, std::string type_schema) {
  auto schema = VM_TRY(patterns::TypeSchema::create(std::move(type_schema)));
  return Constant(std::move(name), std::move(schema));
}

ConstantTable::ConstantTable(const std::vector<Constant>& declared) {
  list_.reserve(declared.size());
  for (const auto& c : declared) {
    auto [it, fresh] = by_name_.try_emplace(c.name(), list_.size());
    if (fresh) {
      list_.push_back(c);
    } else {
      list_[it->second] = c;
    }
  }
  valid_names_.reserve(list_.size());
  for (const auto& c : list_) valid_names_.push_back(validate_variable_name(c.name()).has_value() ? 1 : 0);
}

const Constant* ConstantTable::find(std::string_view name) const {
  auto it = by_name_.find(absl::string_view(name.data(), name.size()));
  return it == by_name_.end() ? nullptr : &list_[it->second];
}

}  // namespace velmora
