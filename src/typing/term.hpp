// Terms of the graph's type theory: a basic term (a name with a type) or the
// application of a function term to an argument term.
//
// A term is held by value; only the two parts of an application are shared
// handles (`TermPtr`, atomic count), and every term shares its type handle.
// Copying a term copies its name and shares its handles. Terms are immutable
// once built: building, copying and comparing are free on any thread, and
// nothing here locks.
#pragma once

#include <memory>
#include <string>
#include <variant>

#include "errors.hpp"
#include "typing/types.hpp"

namespace velmora::typing {

class Term;
using TermPtr = std::shared_ptr<const Term>;

// A named term of the given type. The aggregate builds one without a check;
// `create` is the checked constructor.
struct BasicTerm {
  std::string name;
  TypePtr type;

  // Checks `name` with `validate_variable_name`; on failure passes its
  // `InvalidIdentifier` report on with the context line "basic term - new".
  static Result<BasicTerm> create(std::string name, TypePtr type);

  // Equal names byte for byte and equal types (same-handle shortcut).
  bool operator==(const BasicTerm& other) const;
};

// `function` applied to `argument`; `type` is the very right-hand handle of
// the function's arrow type.
struct Application {
  // Mutable only so that the destructor can take apart parts it alone holds.
  mutable TermPtr function;
  mutable TermPtr argument;
  TypePtr type;

  Application(TermPtr f, TermPtr a, TypePtr t) : function(std::move(f)), argument(std::move(a)), type(std::move(t)) {}
  Application(const Application&) = default;
  Application(Application&&) noexcept = default;
  Application& operator=(const Application&) = default;
  Application& operator=(Application&&) noexcept = default;
  // Releases the parts without recursing once per level: a term may be
  // arbitrarily deep.
  ~Application();

  // Succeeds when the function's type is an arrow whose left side equals the
  // argument's type; wraps each term in a new handle. Otherwise fails with
  // `TypeMismatch`, context "application creation", and no context line:
  //   expected "Application Type", got "Variable Type" for a variable type;
  //   expected the text of the arrow's left side, got the text of the
  //   argument's type for a mismatch.
  static Result<Application> create(Term function, Term argument);

  // Equal functions and equal arguments (same-handle shortcut on each); the
  // type is not compared.
  bool operator==(const Application& other) const;
};

class Term {
 public:
  using Kind = std::variant<BasicTerm, Application>;

  Term(BasicTerm term) : kind_(std::move(term)) {}    // NOLINT: a basic term is a term
  Term(Application term) : kind_(std::move(term)) {}  // NOLINT: an application is a term

  const Kind& kind() const { return kind_; }
  bool is_basic() const { return std::holds_alternative<BasicTerm>(kind_); }
  bool is_application() const { return std::holds_alternative<Application>(kind_); }
  // Null when the term is of the other case.
  const BasicTerm* as_basic() const { return std::get_if<BasicTerm>(&kind_); }
  const Application* as_application() const { return std::get_if<Application>(&kind_); }

  const TypePtr& type() const;

  // This term applied to a copy of `argument`; both stay unchanged. Failures
  // of `Application::create` come back with the context line "term - apply".
  Result<Term> apply(const Term& argument) const;

  // A basic term never equals an application. Walks without recursion,
  // whatever the depth.
  bool operator==(const Term& other) const;

 private:
  Kind kind_;
};

// Equality of two handles: the same handle is equal at once.
inline bool terms_equal(const TermPtr& a, const TermPtr& b) { return a == b || *a == *b; }

}  // namespace velmora::typing
