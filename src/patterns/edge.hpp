// Edge patterns: the parsed form of one "-[var:TypeSchema:TermSchema {props}]->"
// of a path pattern, with the direction its arrow heads give.
//
// Edge i of a path joins node i (left) and node i + 1 (right). Every part is
// optional; an absent part constrains nothing. A finished pattern is
// immutable. Copying it copies the variable and the schemas, while the
// property map is a handle (`PropertyMap`), so copies of one pattern share its
// map. Any thread may read a pattern concurrently; building one touches no
// shared state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "errors.hpp"
#include "patterns/term_schema.hpp"
#include "patterns/type_schema.hpp"
#include "properties.hpp"

namespace velmora::patterns {

enum class Direction : std::uint8_t {
  Forward = 0,   // from the left node to the right node
  Backward = 1,  // from the right node to the left node
  Any = 2,       // no arrow head; parses, but matching and creation refuse it
};

// "forward", "backward" or "any".
std::string_view to_string(Direction direction);
// The direction a text names ("forward", "backward", "any"), or nothing.
std::optional<Direction> direction_from_string(std::string_view text);

class EdgePattern {
 public:
  // The pattern with no parts and the given direction, as "-[]->" parses.
  explicit EdgePattern(Direction direction = Direction::Any) : direction_(direction) {}

  // Builds a pattern from its parts. A present variable must pass
  // `validate_variable_name`; its `InvalidIdentifier` is returned with the
  // context line "edge pattern - new".
  static Result<EdgePattern> create(std::optional<std::string> variable, std::optional<TypeSchema> type_schema,
                                    std::optional<TermSchema> term_schema, std::optional<PropertyMap> properties,
                                    Direction direction);

  // `create` building into `out`, a pattern with no parts, with every part
  // moved in once (a path's parser fills its list in place). On failure
  // `out` is left in an unspecified state.
  static Status create_in(EdgePattern& out, std::optional<std::string>&& variable,
                          std::optional<TypeSchema>&& type_schema, std::optional<TermSchema>&& term_schema,
                          std::optional<PropertyMap>&& properties, Direction direction);

  // The name a match binds the edge to.
  const std::optional<std::string>& variable() const { return variable_; }
  const std::optional<TypeSchema>& type_schema() const { return type_schema_; }
  const std::optional<TermSchema>& term_schema() const { return term_schema_; }
  // The property block, present when the pattern had one (even "{}").
  const std::optional<PropertyMap>& properties() const { return properties_; }
  Direction direction() const { return direction_; }

 private:
  EdgePattern(std::optional<std::string> variable, std::optional<TypeSchema> type_schema,
              std::optional<TermSchema> term_schema, std::optional<PropertyMap> properties, Direction direction)
      : variable_(std::move(variable)),
        type_schema_(std::move(type_schema)),
        term_schema_(std::move(term_schema)),
        properties_(std::move(properties)),
        direction_(direction) {}

  // The one-pass reader of the common path shapes fills patterns in place
  // from names it has checked itself.
  friend struct SimplePathReader;

  std::optional<std::string> variable_;
  std::optional<TypeSchema> type_schema_;
  std::optional<TermSchema> term_schema_;
  std::optional<PropertyMap> properties_;
  Direction direction_;
};

}  // namespace velmora::patterns
