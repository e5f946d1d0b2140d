#include "typing/term.hpp"

#include "utils/validation.hpp"

namespace velmora::typing {
namespace {

constexpr std::string_view kApplicationCreation = "application creation";

}  // namespace

Result<BasicTerm> BasicTerm::create(std::string name, TypePtr type) {
  VM_TRY_CTX(utils::validate_variable_name(name), "basic term - new");
  return BasicTerm{std::move(name), std::move(type)};
}

bool BasicTerm::operator==(const BasicTerm& other) const {
  return name == other.name && types_equal(type, other.type);
}

Result<Application> Application::create(Term function, Term argument) {
  const auto* arrow = function.type()->as_arrow();
  if (!arrow)
    return fail(errors::TypeMismatch{"Application Type", "Variable Type",
                                     std::string(kApplicationCreation)});
  if (!types_equal(arrow->left, argument.type()))
    return fail(errors::TypeMismatch{arrow->left->to_string(), argument.type()->to_string(),
                                     std::string(kApplicationCreation)});
  // The result shares the arrow's codomain handle rather than a copy of it.
  TypePtr type = arrow->right;
  return Application{std::make_shared<const Term>(std::move(function)),
                     std::make_shared<const Term>(std::move(argument)), std::move(type)};
}

bool Application::operator==(const Application& other) const {
  return terms_equal(function, other.function) && terms_equal(argument, other.argument);
}

const TypePtr& Term::type() const {
  return std::visit([](const auto& term) -> const TypePtr& { return term.type; }, kind_);
}

Result<Term> Term::apply(const Term& argument) const {
  auto application = VM_TRY_CTX(Application::create(*this, argument), "term - apply");
  return Term(std::move(application));
}

}  // namespace velmora::typing
