// Node patterns: the parsed form of one "(var:TypeSchema:TermSchema {props})"
// of a path pattern.
//
// Every part is optional; an absent part constrains nothing. A finished
// pattern is immutable. Copying it copies the variable and the schemas, while
// the property map is a handle (`PropertyMap`), so copies of one pattern share
// its map. Any thread may read a pattern concurrently; building one touches no
// shared state.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "errors.hpp"
#include "patterns/term_schema.hpp"
#include "patterns/type_schema.hpp"
#include "properties.hpp"

namespace velmora::patterns {

class NodePattern {
 public:
  // The pattern with no parts, as "()" parses. Written out, so that a new
  // pattern in a list only clears its parts' flags rather than all its bytes.
  NodePattern() {}  // NOLINT(modernize-use-equals-default)

  // Builds a pattern from its parts. A present variable must pass
  // `validate_variable_name`; its `InvalidIdentifier` is returned with the
  // context line "node pattern - new".
  static Result<NodePattern> create(std::optional<std::string> variable, std::optional<TypeSchema> type_schema,
                                    std::optional<TermSchema> term_schema, std::optional<PropertyMap> properties);

  // `create` building into `out`, a pattern with no parts, with every part
  // moved in once (a path's parser fills its list in place). On failure
  // `out` is left in an unspecified state.
  static Status create_in(NodePattern& out, std::optional<std::string>&& variable,
                          std::optional<TypeSchema>&& type_schema, std::optional<TermSchema>&& term_schema,
                          std::optional<PropertyMap>&& properties);

  // The name a match binds the node to.
  const std::optional<std::string>& variable() const { return variable_; }
  const std::optional<TypeSchema>& type_schema() const { return type_schema_; }
  const std::optional<TermSchema>& term_schema() const { return term_schema_; }
  // The property block, present when the pattern had one (even "{}").
  const std::optional<PropertyMap>& properties() const { return properties_; }

 private:
  NodePattern(std::optional<std::string> variable, std::optional<TypeSchema> type_schema,
              std::optional<TermSchema> term_schema, std::optional<PropertyMap> properties)
      : variable_(std::move(variable)),
        type_schema_(std::move(type_schema)),
        term_schema_(std::move(term_schema)),
        properties_(std::move(properties)) {}

  // The one-pass reader of the common path shapes fills patterns in place
  // from names it has checked itself.
  friend struct SimplePathReader;

  std::optional<std::string> variable_;
  std::optional<TypeSchema> type_schema_;
  std::optional<TermSchema> term_schema_;
  std::optional<PropertyMap> properties_;
};

}  // namespace velmora::patterns
