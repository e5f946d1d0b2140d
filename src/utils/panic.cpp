#include "utils/panic.hpp"

#include <fmt/format.h>
#include <pthread.h>

#include <cstdio>

#include "utils/source_position.hpp"

namespace velmora {

void report_panic(const std::string& message, std::source_location where) {
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0')
    std::snprintf(name, sizeof name, "<unnamed>");
  // The report's wording is part of the interface.
  const std::string text = fmt::format("thread '{}' panicked at {}:\n{}\n", name, source_position(where), message);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void panic(const std::string& message, std::source_location where) {
  report_panic(message, where);
  throw Panic(message);
}

}  // namespace velmora
