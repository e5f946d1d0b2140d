#include "typing/term.hpp"

#include <absl/container/inlined_vector.h>

#include <utility>
#include <vector>

#include "utils/release.hpp"
#include "validation.hpp"

namespace velmora::typing {
namespace {

constexpr std::string_view kApplicationCreation = "application creation";

}  // namespace

Result<BasicTerm> BasicTerm::create(std::string name, TypePtr type) {
  VM_TRY_CTX(validate_variable_name(name), "basic term - new");
  return BasicTerm{std::move(name), std::move(type)};
}

bool BasicTerm::operator==(const BasicTerm& other) const { return name == other.name && types_equal(type, other.type); }

Result<Application> Application::create(Term function, Term argument) {
  const auto* arrow = function.type()->as_arrow();
  if (!arrow) return fail(errors::TypeMismatch{"Application Type", "Variable Type", std::string(kApplicationCreation)});
  if (!types_equal(arrow->left, argument.type()))
    return fail(errors::TypeMismatch{arrow->left->to_string(), argument.type()->to_string(),
                                     std::string(kApplicationCreation)});
  // The result shares the arrow's codomain handle rather than a copy of it.
  TypePtr type = arrow->right;
  return Application{std::make_shared<const Term>(std::move(function)),
                     std::make_shared<const Term>(std::move(argument)), std::move(type)};
}

Application::~Application() {
  // A long chain of applications is released in constant stack.
  utils::release_parts<Term>({&function, &argument}, [](const Term& part, auto& take) {
    if (const auto* app = part.as_application()) {
      take(app->function);
      take(app->argument);
    }
  });
}

bool Application::operator==(const Application& other) const {
  return terms_equal(function, other.function) && terms_equal(argument, other.argument);
}

bool Term::operator==(const Term& other) const {
  // Most comparisons are of shallow trees: keep their stack off the heap.
  absl::InlinedVector<std::pair<const Term*, const Term*>, 16> pending{{this, &other}};
  while (!pending.empty()) {
    const auto [a, b] = pending.back();
    pending.pop_back();
    if (a == b) continue;
    if (const auto* ba = a->as_basic()) {
      const auto* bb = b->as_basic();
      if (!bb || !(*ba == *bb)) return false;
      continue;
    }
    const auto* aa = a->as_application();
    const auto* ab = b->as_application();
    if (!ab) return false;
    // The application's own type is not compared.
    pending.emplace_back(aa->argument.get(), ab->argument.get());
    pending.emplace_back(aa->function.get(), ab->function.get());
  }
  return true;
}

const TypePtr& Term::type() const {
  return std::visit([](const auto& term) -> const TypePtr& { return term.type; }, kind_);
}

Result<Term> Term::apply(const Term& argument) const {
  auto application = VM_TRY_CTX(Application::create(*this, argument), "term - apply");
  return Term(std::move(application));
}

}  // namespace velmora::typing
