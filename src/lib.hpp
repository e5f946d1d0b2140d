// The module `velmora`: its one entry point, `PyInit_velmora`, builds the module
// from a static definition, installs the hooks through which opaque property
// values hold their Python objects, starts the deadlock watchdog and registers
// the classes in their fixed order, each appended to `__all__`.
#pragma once

#include <vector>

#include "binding/class.hpp"

namespace velmora {

// The classes, in registration order.
std::vector<binding::ClassSpec*> module_classes();

}  // namespace velmora
