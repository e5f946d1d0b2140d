// The printed form of a source position, shared by context lines and fault
// reports, and the module names that files may give their positions.
//
// A position prints its module's path: by default the path of the file that
// holds the call, without its extension. Code kept in a file of its own but
// belonging to another module prints that module's path by naming it once, at
// the top of the file:
//
//   VELMORA_MODULE("src/graph/base");
//
// Names are registered while the program (or the extension module) is being
// loaded, before any call can make a position; afterwards they are only read.
// Any thread.
#pragma once

#include <source_location>
#include <string>

namespace velmora {

// "src/graph/base:956" for a call made at line 956 of src/graph/base.cpp, or
// of a file that names src/graph/base as its module.
std::string source_position(const std::source_location& where);

// The module path that positions in `file` print (a file's path as
// std::source_location gives it).
std::string module_of(const char* file);

// Registers `module` as the module of `file`; what VELMORA_MODULE expands to.
// A file named twice keeps its first name.
class ModuleName {
 public:
  ModuleName(const char* file, const char* module) noexcept;
};

}  // namespace velmora

// Names the module whose path the positions made in this file print.
#define VELMORA_MODULE(path) \
  [[maybe_unused]] static const ::velmora::ModuleName velmora_module_name_ { __FILE__, path }
