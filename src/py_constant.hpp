// The Python class `Constant`: a constant declaration (src/constants) boxed in
// a Python object, made from a name and the text of a type schema.
//
// Caller's thread, interpreter lock held.
#pragma once

#include "binding/class.hpp"
#include "constants.hpp"

namespace velmora {

// The Python class "builtins.Constant": constructor `Constant(name,
// type_schema)` (both required, by position or keyword) and the read-only
// attribute `name`. Argument errors raise TypeError ("argument 'name': ..."),
// schema errors the ValueError of their report. Registered by the module
// init; the type object is made on first use and kept for the process.
binding::ClassSpec& constant_class();

// The declaration inside a Python `Constant` (or subclass) instance, or null
// when `obj` is anything else (no Python exception is left set). The pointer
// lives as long as `obj`; callers keep a copy.
const Constant* constant_from_py(PyObject* obj);

}  // namespace velmora
