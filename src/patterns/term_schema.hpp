// Term schemas: patterns over terms, written as short texts such as
// "f @K(a, b -> c) x".
//
// Grammar:
//   "*"                    any term (Wildcard)
//   name                   the basic term of that name (Variable)
//   function argument      an application, split at the last space (U+0020)
//                          outside parentheses; it associates to the left
//   "@" name "(" T, ... ")"  a use of a constant, with one type schema per
//                          type parameter (possibly none)
// Parentheses only hide spaces from the application split (so that type
// arguments may hold spaces); they do not group terms.
//
// `TermSchema::create` parses a text once into a `TermPattern` tree. A
// finished schema is an immutable value: it owns its whole tree, copies
// deeply, and may be read from any number of threads at once. Parsing touches
// no shared state.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "errors.hpp"
#include "patterns/type_schema.hpp"

namespace velmora::patterns {

// The parsed tree of a term schema. Every node owns its children.
struct TermPattern {
  // "*": matches any term.
  struct Wildcard {
    bool operator==(const Wildcard&) const = default;
  };
  // A basic term, matched by name.
  struct Variable {
    std::string name;
    bool operator==(const Variable&) const = default;
  };
  // `function argument`.
  struct Application {
    Box<TermPattern> function;
    Box<TermPattern> argument;
    bool operator==(const Application&) const = default;
  };
  // "@name(T1, T2, ...)": the constant `name` with its type parameters given
  // by the schemas, in order. The name is the trimmed text between "@" and
  // the first "("; never empty, not checked as an identifier.
  struct Constant {
    std::string name;
    std::vector<TypeSchema> type_arguments;
    bool operator==(const Constant&) const = default;
  };
  using Node = std::variant<Wildcard, Variable, Application, Constant>;

  Node node;

  static TermPattern wildcard() { return {Wildcard{}}; }
  static TermPattern variable(std::string name) { return {Variable{std::move(name)}}; }
  static TermPattern application(TermPattern function, TermPattern argument) {
    return {Application{Box<TermPattern>(std::move(function)), Box<TermPattern>(std::move(argument))}};
  }
  static TermPattern constant(std::string name, std::vector<TypeSchema> type_arguments) {
    return {Constant{std::move(name), std::move(type_arguments)}};
  }

  template <class K>
  bool is() const {
    return std::holds_alternative<K>(node);
  }
  template <class K>
  const K* get() const {
    return std::get_if<K>(&node);
  }

  bool operator==(const TermPattern&) const = default;
};

// A parsed term schema: the text it was made from and its tree.
class TermSchema {
 public:
  // Parses `text`; `schema()` keeps it exactly as given.
  // Callers pass texts that are not blank; a blank one fails as a bad name.
  // Errors (all raised as Python ValueError):
  //  - InvalidPattern {the constant use's text, reason} for a malformed
  //    constant use: "Constant pattern must have parentheses with type
  //    arguments", "Constant name cannot be empty", "Constant pattern has
  //    unmatched opening parenthesis", "Constant pattern has unexpected content
  //    after closing parenthesis at position {byte offset of its ')'}";
  //  - InvalidIdentifier from `validate_variable_name` for a bad name;
  //  - SchemaValidation or InvalidIdentifier from a type argument, with that
  //    schema's own context lines.
  // Context lines, innermost first: "term pattern - parse constant pattern"
  // for an unmatched "(" or a bad type argument, one "term schema - parse
  // pattern" per level of the tree passed, then "term schema - new".
  static Result<TermSchema> create(std::string text);

  // The text as passed to `create`, untrimmed.
  const std::string& schema() const { return schema_; }
  const TermPattern& pattern() const { return pattern_; }

  bool operator==(const TermSchema&) const = default;

 private:
  TermSchema(std::string schema, TermPattern pattern) : schema_(std::move(schema)), pattern_(std::move(pattern)) {}

  static Result<TermPattern> parse_pattern(std::string_view s);
  // `c` is trimmed and begins with "@".
  static Result<TermPattern> parse_constant_pattern(std::string_view c);

  std::string schema_;
  TermPattern pattern_;
};

}  // namespace velmora::patterns
