#include "utils/source_position.hpp"

#include <fmt/format.h>

#include <string_view>

namespace velmora {

std::string source_position(const std::source_location& where) {
  std::string_view path = where.file_name();
  const auto slash = path.rfind('/');
  const auto dot = path.rfind('.');
  if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash)) path = path.substr(0, dot);
  return fmt::format("{}:{}", path, where.line());
}

}  // namespace velmora
