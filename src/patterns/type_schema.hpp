// Type schemas: patterns over types, written as short texts such as
// "(a: *) -> b".
//
// Grammar, by precedence:
//   "*"                  any type (Wildcard)
//   name                 the type variable of that name (Variable)
//   left -> right        an arrow; arrows associate to the right
//   "(" name ":" p ")"   binds the type that p matches to name (Capture)
//   "(" ":" p ")"        the same as p, nothing bound
//   "(" p ")"            grouping only
// Names and capture names must pass `validate_variable_name`.
//
// `TypeSchema::create` parses a text once into a `TypePattern` tree, which the
// matchers and the schema conversion of the graph store then walk. A finished
// schema is an immutable value: it owns its whole tree, copies deeply, and may
// be read from any number of threads at once. Parsing touches no shared state
// and may run on any thread (it runs on the Python caller's in practice).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "errors.hpp"

namespace velmora::patterns {

// An owned child of a pattern tree: never null once made, copied deeply.
// A moved-from box may only be destroyed or assigned to.
template <class T>
class Box {
 public:
  explicit Box(T value) : ptr_(std::make_unique<T>(std::move(value))) {}
  Box(const Box& other) : ptr_(std::make_unique<T>(*other.ptr_)) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& other) {
    if (this != &other) ptr_ = std::make_unique<T>(*other.ptr_);
    return *this;
  }
  Box& operator=(Box&&) noexcept = default;
  ~Box() = default;

  const T& operator*() const { return *ptr_; }
  const T* operator->() const { return ptr_.get(); }
  const T& get() const { return *ptr_; }

  friend bool operator==(const Box& a, const Box& b) { return *a.ptr_ == *b.ptr_; }

 private:
  std::unique_ptr<T> ptr_;
};

// The parsed tree of a type schema. Every node owns its children.
struct TypePattern {
  // "*": matches any type.
  struct Wildcard {
    bool operator==(const Wildcard&) const = default;
  };
  // A type variable, matched by name.
  struct Variable {
    std::string name;
    bool operator==(const Variable&) const = default;
  };
  // An arrow type `left -> right`.
  struct Arrow {
    Box<TypePattern> left;
    Box<TypePattern> right;
    bool operator==(const Arrow&) const = default;
  };
  // Binds the type that `pattern` matches to `name`.
  struct Capture {
    std::string name;
    Box<TypePattern> pattern;
    bool operator==(const Capture&) const = default;
  };
  using Node = std::variant<Wildcard, Variable, Arrow, Capture>;

  Node node;

  static TypePattern wildcard() { return {Wildcard{}}; }
  static TypePattern variable(std::string name) { return {Variable{std::move(name)}}; }
  static TypePattern arrow(TypePattern left, TypePattern right) {
    return {Arrow{Box<TypePattern>(std::move(left)), Box<TypePattern>(std::move(right))}};
  }
  static TypePattern capture(std::string name, TypePattern pattern) {
    return {Capture{std::move(name), Box<TypePattern>(std::move(pattern))}};
  }

  template <class K>
  bool is() const {
    return std::holds_alternative<K>(node);
  }
  template <class K>
  const K* get() const {
    return std::get_if<K>(&node);
  }

  bool operator==(const TypePattern&) const = default;
};

// A parsed type schema: the text it was made from and its tree.
class TypeSchema {
 public:
  // Parses `text`, trimmed of White_Space for parsing; `schema()` keeps it
  // exactly as given.
  // Errors (all raised as Python ValueError):
  //  - SchemaValidation {trimmed text, "Unbalanced parentheses: too many
  //    closing parentheses" / "... too many opening parentheses"};
  //  - SchemaValidation {"", "Empty pattern"} for an empty part anywhere;
  //  - InvalidIdentifier from `validate_variable_name` for a bad name or
  //    capture name.
  // Context lines, innermost first: one "type schema - parse pattern recursive"
  // per nesting level passed, then "type schema - parse pattern", then
  // "type schema - new".
  static Result<TypeSchema> create(std::string text);

  // `create` into `out`, with the same report on failure (nothing attached);
  // the common schema of one name is built in place, without moves.
  static Status create_in(std::optional<TypeSchema>& out, std::string_view text);

  // What `create_in` builds for `name`, a text without White_Space around it
  // that passes `validate_variable_name`, built without checking it
  // again: the caller has.
  static void create_name_in(std::optional<TypeSchema>& out, std::string_view name) { out.emplace(Key{}, name, name); }

  // The capture names of `pattern` in post-order (a capture's inner names come
  // before its own, left before right), duplicates kept. Names of plain
  // variables are not listed. These are a constant's type parameters.
  static std::vector<std::string> get_pattern_free_variables_recursive(const TypePattern& pattern);

  // The text as passed to `create`, untrimmed.
  const std::string& schema() const { return schema_; }
  const TypePattern& pattern() const { return pattern_; }

  bool operator==(const TypeSchema&) const = default;

 private:
  // Only this class makes keys, so only it reaches the constructor below,
  // which `std::optional::emplace` still may call.
  struct Key {};

 public:
  // The schema `text` of one name, `name`, already checked.
  TypeSchema(Key, std::string_view text, std::string_view name)
      : schema_(text), pattern_{TypePattern::Node(std::in_place_type<TypePattern::Variable>, std::string(name))} {}

 private:
  TypeSchema(std::string schema, TypePattern pattern) : schema_(std::move(schema)), pattern_(std::move(pattern)) {}

  static Result<TypePattern> parse_pattern_recursive(std::string_view s);

  std::string schema_;
  TypePattern pattern_;
};

}  // namespace velmora::patterns
