// Unrecoverable internal faults.
//
// A fault ends the call in which it happens: `panic` prints the standard fault
// report on standard error and throws `Panic`, which unwinds to the binding
// layer's call guard (through pool tasks, whose exceptions the pool rethrows on
// the waiting thread) and is raised there as the panic exception. Faults are for
// impossibilities and unsupported features, never for bad user input.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace velmora {

class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& message) : std::runtime_error(message) {}
};

// Writes "thread '<name>' panicked at <src/path:line>:\n<message>\n" to
// standard error, as the fault report of the calling thread.
void report_panic(const std::string& message, std::source_location where = std::source_location::current());

// Reports the fault and throws `Panic`.
[[noreturn]] void panic(const std::string& message, std::source_location where = std::source_location::current());

}  // namespace velmora
