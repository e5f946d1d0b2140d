// The printed form of a source position, shared by context lines and fault
// reports. Pure; any thread.
#pragma once

#include <source_location>
#include <string>

namespace velmora {

// "src/graph/base:956" for a call made at line 956 of src/graph/base.cpp.
std::string source_position(const std::source_location& where);

}  // namespace velmora
