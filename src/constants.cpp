#include "constants.hpp"

#include <utility>

#include "binding/args.hpp"
#include "binding/class.hpp"
#include "binding/guard.hpp"
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

namespace {

PyObject* constant_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return binding::guard([&]() -> PyObject* {
    static const binding::FunctionDescription kDesc{"Constant", "__new__", {"name", "type_schema"}, 2, false};
    PyObject* params[2] = {nullptr, nullptr};
    VM_PY_TRY(binding::extract_arguments(kDesc, args, kwargs, params));
    auto name = VM_PY_TRY(binding::argument("name", binding::extract_str(params[0])));
    auto text = VM_PY_TRY(binding::argument("type_schema", binding::extract_str(params[1])));
    // The report is raised as it stands: the constructor adds no line of its own.
    auto constant = VM_PY_TRY(Constant::create(std::move(name), std::move(text)));
    return binding::into_ptr(binding::alloc_instance(reinterpret_cast<PyObject*>(subtype), std::move(constant)));
  });
}

PyObject* constant_get_name(PyObject* self, void*) {
  return binding::guard(
      [&]() -> PyObject* { return binding::into_ptr(binding::utf8_to_str(binding::unbox<Constant>(self).name())); });
}

PyGetSetDef constant_getset[] = {
    {"name", &constant_get_name, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

binding::ClassSpec& constant_class() {
  static binding::ClassSpec spec{
      .name = "builtins.Constant",
      .doc = "Constant(name, type_schema)\n--\n\n",
      .basicsize = static_cast<int>(sizeof(binding::Boxed<Constant>)),
      .dealloc = &binding::dealloc_boxed<Constant>,
      .methods = nullptr,
      .getset = constant_getset,
      .slots = {{Py_tp_new, reinterpret_cast<void*>(&constant_new)}},
  };
  return spec;
}

const Constant* constant_from_py(PyObject* obj) {
  if (obj == nullptr || !binding::is_instance(obj, constant_class())) return nullptr;
  return &binding::unbox<Constant>(obj);
}

}  // namespace velmora
