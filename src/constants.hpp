// Constant declarations and the table of a graph's constants. The Python
// class `Constant(name, type_schema)` that wraps a declaration is
// src/py_constant.
//
// A constant names a family of basic terms: every type that its type schema
// matches has the term named after the constant. The schema's captures, in
// post-order with duplicates, are the constant's type parameters; the i-th
// type argument of a use "@Name(T1, ...)" in a term schema fills the i-th.
//
// `Constant` is an immutable value: copies are deep, and any number of
// threads may read one at once.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <absl/container/flat_hash_map.h>

#include "errors.hpp"
#include "patterns/type_schema.hpp"

namespace velmora {

class Constant {
 public:
  // Takes the name as it is (not trimmed, not validated: "" is a valid name)
  // and computes the free variables from the schema.
  Constant(std::string name, patterns::TypeSchema type_schema);

  // Parses `type_schema` with `patterns::TypeSchema::create` and fails with
  // its report unchanged (no context line of its own), as the Python
  // constructor does.
  static Result<Constant> create(std::string name, std::string type_schema);

  const std::string& name() const { return name_; }
  const patterns::TypeSchema& type_schema() const { return type_schema_; }
  // The schema's capture names, post-order, duplicates kept.
  const std::vector<std::string>& free_variables() const { return free_variables_; }

  bool operator==(const Constant&) const = default;

 private:
  std::string name_;
  patterns::TypeSchema type_schema_;
  std::vector<std::string> free_variables_;
};

// The constants of one graph, fixed when the graph is made. Inference walks
// them for every element it types, so they sit in a plain list (no locks, no
// shards); a name finds its constant through a side index. When several
// declarations share a name the last one wins, at the place of the first.
// Immutable once built: any number of threads may read it at once.
class ConstantTable {
 public:
  explicit ConstantTable(const std::vector<Constant>& declared = {});

  const std::vector<Constant>& list() const { return list_; }
  // Whether the name of list()[index] is a valid term name: inference makes
  // basic terms named after constants, and a fixed name need not be checked
  // again for every term.
  bool has_valid_name(std::size_t index) const { return valid_names_[index] != 0; }
  // The constant named `name`, or null; the pointer lives as long as the table.
  const Constant* find(std::string_view name) const;

 private:
  std::vector<Constant> list_;
  std::vector<char> valid_names_;  // beside list_
  absl::flat_hash_map<std::string, std::size_t> by_name_;
};

}  // namespace velmora
