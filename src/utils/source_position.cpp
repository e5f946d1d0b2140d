#include "utils/source_position.hpp"

#include <fmt/format.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace velmora {
namespace {

struct Named {
  const char* file;
  const char* module;
};

// Written only while the program loads (static initialisation runs on one
// thread); the count is published last, so a reader sees whole entries.
constexpr std::size_t kMostNamed = 64;
constinit std::array<Named, kMostNamed> named{};
constinit std::atomic<std::size_t> named_count{0};

const char* named_module(const char* file) {
  const std::size_t n = named_count.load(std::memory_order_acquire);
  for (std::size_t i = 0; i < n; ++i)
    if (std::strcmp(named[i].file, file) == 0) return named[i].module;
  return nullptr;
}

}  // namespace

ModuleName::ModuleName(const char* file, const char* module) noexcept {
  if (named_module(file)) return;
  const std::size_t n = named_count.load(std::memory_order_relaxed);
  // A fixed table: a file that does not fit would print its own path, which
  // a test of the printed paths would catch; an abort says so at once.
  if (n == kMostNamed) std::abort();
  named[n] = {file, module};
  named_count.store(n + 1, std::memory_order_release);
}

std::string module_of(const char* file) {
  if (const char* module = named_module(file)) return module;
  std::string_view path = file;
  const auto slash = path.rfind('/');
  const auto dot = path.rfind('.');
  if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash)) path = path.substr(0, dot);
  return std::string(path);
}

std::string source_position(const std::source_location& where) {
  return fmt::format("{}:{}", module_of(where.file_name()), where.line());
}

}  // namespace velmora
