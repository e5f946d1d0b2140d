// Argument extraction for Python methods: positional-or-keyword parameters,
// defaults and `*args`, with the binding layer's error texts, plus the
// conversions methods use to read their arguments.
//
// A method declares its parameters once in a `FunctionDescription`; failures
// are `TypeError`s naming the function ("Graph.set_node_properties()"). Caller's
// thread, interpreter lock held.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/python.hpp"

namespace velmora::binding {

struct FunctionDescription {
  std::string_view cls_name;  // empty for a free function
  std::string_view func_name;
  std::vector<std::string_view> params;  // positional-or-keyword, in order
  std::size_t required = 0;              // how many leading params have no default
  bool varargs = false;                  // collects further positionals

  // "Graph.subgraph()" or "subgraph()".
  std::string full_name() const;
};

// Matches `args`/`kwargs` against `desc`. `out` (one slot a parameter) receives
// borrowed references, null for an absent optional parameter; with varargs,
// `*varargs` receives a new tuple of the extra positionals.
// Checks, in this order: too many positionals, each keyword (unknown, given
// twice), missing required parameters.
PyResult<void> extract_arguments(const FunctionDescription& desc, PyObject* args, PyObject* kwargs,
                                 std::span<PyObject*> out, PyRef* varargs = nullptr);

// Renames a conversion failure of argument `name`: a TypeError becomes
// TypeError "argument '<name>': <message>"; other exceptions pass unchanged.
PyErr argument_error(std::string_view name, PyErr&& err);

// A conversion of argument `name`, its failure renamed by `argument_error`:
//   auto text = VM_PY_TRY(argument("pattern", extract_str(obj)));
template <class T>
PyResult<T> argument(std::string_view name, PyResult<T>&& converted) {
  if (!converted) return std::unexpected(argument_error(name, std::move(converted).error()));
  return std::move(converted);
}

// TypeError "'<type qualname of obj>' object cannot be cast as '<target>'".
PyErr cast_error(PyObject* obj, std::string_view target);

// A str (or subclass) as UTF-8 text.
PyResult<std::string> extract_str(PyObject* obj);
// Exactly a bool (or numpy's boolean scalar).
PyResult<bool> extract_bool(PyObject* obj);
// Any object passing the sequence check except str, item by item in order;
// the first failing item stops the walk.
PyResult<void> extract_sequence(PyObject* obj, const std::function<PyResult<void>(PyObject*)>& item);
// A list of str from a sequence.
PyResult<std::vector<std::string>> extract_str_vec(PyObject* obj);

}  // namespace velmora::binding
