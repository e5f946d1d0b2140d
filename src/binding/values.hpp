// Property values (src/properties) to and from Python objects: a Python object
// as a value, a value as a new Python object, and a whole property map both
// ways. These are the conversions of the property values' module: their
// context lines print "src/properties".
//
// Also the interpreter's side of opaque values: the hooks through which a
// `PyOpaque` takes a reference when it is made and queues its release
// (`defer_decref`) when its last copy goes.
//
// Caller's thread with the interpreter lock held, and never while the caller
// holds a lock of its own that Python code could ask for.
#pragma once

#include "binding/python.hpp"
#include "errors.hpp"
#include "properties.hpp"

namespace velmora::binding {

// Installs the opaque values' hooks (`set_opaque_hooks`): Py_INCREF when a
// value is made, `defer_decref` when its last copy goes. Called when the
// binding layer is set up (the module's initialisation, or a test program
// that embeds the interpreter), before any conversion; later calls change
// nothing.
void install_opaque_hooks();

// A Python object as a property value, tried in this order: exactly bool; int
// or subclass (64-bit, else the interpreter's OverflowError as PythonError
// with the line "py to rhai - int"); exactly float; str or subclass (a text
// that cannot be encoded as UTF-8 gives PythonError with the line
// "py to rhai - string"); list or subclass (an item's failure gets
// "py to rhai - list"); dict or subclass (a key that is not a str fails with
// PythonError "TypeError: '<type>' object cannot be cast as 'str'" and no
// line, a value's failure gets "py to rhai - dict", a repeated key text
// replaces the earlier entry); anything else becomes an opaque value.
// Nesting deeper than 1000 lists and dicts fails with PythonError
// "RecursionError: maximum recursion depth exceeded while converting a Python
// object".
Result<Value> py_to_rhai(PyObject* obj);

// A property value as a new Python object: the opaque value's own object, a
// new int, float, bool, str, dict (keys in order; failures get
// "rhai to py - dict") or list (failures get "rhai to py - list"); the empty
// value gives None. Interpreter failures (e.g. a string that is not valid
// UTF-8) become PythonError.
Result<PyRef> rhai_to_py(const Value& value);

// A new property map converted from `obj` with `py_to_rhai`. Errors: the
// conversion's report with the line "property map - new" attached; a root
// that is not a dict (or subclass) fails with PythonError "Root of
// PropertyMap should be a Dict" whose context is
// "property map new [src/properties:N]".
Result<PropertyMap> property_map_from_py(PyObject* obj);

// A new detached dict of the map's entries, keys in order, converted with
// `rhai_to_py`. A conversion's report gets the line
// "property map - into py object" and becomes its Python exception; a failure
// to store an entry is the interpreter's own exception. Takes a snapshot under
// the map's read lock and converts after releasing it.
PyResult<PyRef> property_map_into_pyobject(const PropertyMap& map);

}  // namespace velmora::binding
