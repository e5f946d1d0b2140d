// The failures that the store's own units (graph/read.cpp, graph/write.cpp)
// share. Not for use outside the store. Any thread.
#pragma once

#include <cstddef>
#include <source_location>
#include <string>

#include "errors.hpp"
#include "graph/rows.hpp"

namespace velmora::graph::failures {

// No row has this id: a watch that nothing reaches.
inline constexpr TypeId kNoRow = kMaxTypeId + 1;

inline errors::IndexCorruption corruption(const char* message, const char* context) {
  return errors::IndexCorruption{message, std::string(context)};
}

// A term row that names itself, directly or through others: never stored by
// insertion, but rebuilding and rendering must end even if such rows met.
inline errors::IndexCorruption self_containing_row(const char* context) {
  return corruption("term repr contains itself", context);
}

inline errors::InvalidTerm self_containing_term() {
  return errors::InvalidTerm{"term contains a sub-term of the same type as a term enclosing it"};
}

// Attaches `line` `times` times at the caller's position: one line per level
// of propagation that a failure passed through.
inline Report attach_times(Report report, const char* line, std::size_t times,
                           std::source_location where = std::source_location::current()) {
  for (std::size_t i = 0; i < times; ++i) report.attach(line, where);
  return report;
}

}  // namespace velmora::graph::failures
