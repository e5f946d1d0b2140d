// Types of the graph's type theory: a type variable or an arrow left -> right.
//
// A `Type` is immutable once built and always travels as a `TypePtr`, a shared
// handle with an atomic count; copying a type copies the handle. Handles are
// never null. Building, copying, comparing and rendering are free on any
// thread; nothing here locks.
#pragma once

#include <fmt/format.h>

#include <memory>
#include <string>
#include <variant>

#include "errors.hpp"

namespace velmora::typing {

class Type;
using TypePtr = std::shared_ptr<const Type>;

// A type variable. The aggregate builds one without a check (for names that
// passed it before); `create` is the checked constructor.
struct Variable {
  std::string name;

  // Checks `name` with `validate_variable_name`; on failure passes its
  // `InvalidIdentifier` report on with the context line "variable - new".
  static Result<Variable> create(std::string name);

  bool operator==(const Variable&) const = default;
};

// The arrow type left -> right (domain, codomain). Built directly from two
// handles, without any check.
struct Arrow {
  // Mutable only so that the destructor can take apart sides it alone holds.
  mutable TypePtr left;
  mutable TypePtr right;

  Arrow(TypePtr l, TypePtr r) : left(std::move(l)), right(std::move(r)) {}
  Arrow(const Arrow&) = default;
  Arrow(Arrow&&) noexcept = default;
  Arrow& operator=(const Arrow&) = default;
  Arrow& operator=(Arrow&&) noexcept = default;
  // Releases the sides without recursing once per level: a type may be
  // arbitrarily deep.
  ~Arrow();

  // Structural, with the same-handle shortcut on each side.
  bool operator==(const Arrow& other) const;
};

class Type {
 public:
  using Kind = std::variant<Variable, Arrow>;

  Type(Variable variable) : kind_(std::move(variable)) {}  // NOLINT: a variable is a type
  Type(Arrow arrow) : kind_(std::move(arrow)) {}           // NOLINT: an arrow is a type

  const Kind& kind() const { return kind_; }
  bool is_variable() const { return std::holds_alternative<Variable>(kind_); }
  bool is_arrow() const { return std::holds_alternative<Arrow>(kind_); }
  // Null when the type is of the other case.
  const Variable* as_variable() const { return std::get_if<Variable>(&kind_); }
  const Arrow* as_arrow() const { return std::get_if<Arrow>(&kind_); }

  // Structural equality: same case, equal names byte for byte, or equal left
  // and right sides. A variable never equals an arrow. Walks without
  // recursion, whatever the depth.
  bool operator==(const Type& other) const;

  // The name of a variable; "(" left " -> " right ")" for an arrow, every
  // arrow parenthesised. Walks without recursion, whatever the depth.
  std::string to_string() const;

 private:
  Kind kind_;
};

// A new handle to a variable or arrow type.
TypePtr make_type(Variable variable);
TypePtr make_arrow(TypePtr left, TypePtr right);

// Equality of two handles: the same handle is equal at once, otherwise the
// types are compared structurally.
inline bool types_equal(const TypePtr& a, const TypePtr& b) { return a == b || *a == *b; }

}  // namespace velmora::typing

template <>
struct fmt::formatter<velmora::typing::Type> : fmt::formatter<std::string_view> {
  auto format(const velmora::typing::Type& type, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(type.to_string(), ctx);
  }
};
