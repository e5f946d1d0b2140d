#include "binding/args.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace velmora::binding {
namespace {

// 'a', 'a' and 'b', or 'a', 'b', and 'c'.
std::string parameter_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) out += ',';
      out += i == names.size() - 1 ? " and " : " ";
    }
    out += fmt::format("'{}'", names[i]);
  }
  return out;
}

PyErr type_error(const std::string& message) { return PyErr::make(PyExc_TypeError, message); }

}  // namespace

std::string FunctionDescription::full_name() const {
  return cls_name.empty() ? fmt::format("{}()", func_name) : fmt::format("{}.{}()", cls_name, func_name);
}

PyResult<void> extract_arguments(const FunctionDescription& desc, PyObject* args, PyObject* kwargs,
                                 std::span<PyObject*> out, PyRef* varargs) {
  std::fill(out.begin(), out.end(), nullptr);
  const std::size_t nparams = desc.params.size();
  const Py_ssize_t nargs_signed = args ? PyTuple_Size(args) : 0;
  if (nargs_signed < 0) return std::unexpected(PyErr::fetch());
  const auto nargs = static_cast<std::size_t>(nargs_signed);

  if (nargs > nparams && !desc.varargs) {
    const char* was = nargs == 1 ? "was" : "were";
    if (desc.required != nparams)
      return std::unexpected(type_error(fmt::format("{} takes from {} to {} positional arguments but {} {} given",
                                                    desc.full_name(), desc.required, nparams, nargs, was)));
    return std::unexpected(type_error(
        fmt::format("{} takes {} positional arguments but {} {} given", desc.full_name(), nparams, nargs, was)));
  }
  const std::size_t npositional = std::min(nargs, nparams);
  for (std::size_t i = 0; i < npositional; ++i) out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  if (desc.varargs && varargs) {
    *varargs =
        PyRef::steal(args ? PyTuple_GetSlice(args, static_cast<Py_ssize_t>(npositional), static_cast<Py_ssize_t>(nargs))
                          : PyTuple_New(0));
    if (!*varargs) return std::unexpected(PyErr::fetch());
  }

  if (kwargs) {
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key))
        return std::unexpected(type_error(fmt::format("{} keywords must be strings", desc.full_name())));
      auto name = str_to_utf8(key);
      if (!name) return std::unexpected(std::move(name).error());
      const auto it = std::find(desc.params.begin(), desc.params.end(), *name);
      if (it == desc.params.end())
        return std::unexpected(
            type_error(fmt::format("{} got an unexpected keyword argument '{}'", desc.full_name(), *name)));
      auto& slot = out[static_cast<std::size_t>(it - desc.params.begin())];
      if (slot)
        return std::unexpected(
            type_error(fmt::format("{} got multiple values for argument '{}'", desc.full_name(), *name)));
      slot = value;
    }
  }

  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < desc.required; ++i)
    if (!out[i]) missing.push_back(desc.params[i]);
  if (!missing.empty())
    return std::unexpected(
        type_error(fmt::format("{} missing {} required positional {}: {}", desc.full_name(), missing.size(),
                               missing.size() == 1 ? "argument" : "arguments", parameter_list(missing))));
  return {};
}

PyErr argument_error(std::string_view name, PyErr&& err) {
  if (err.type() != PyExc_TypeError) return std::move(err);
  auto text = err.value_str();
  return type_error(fmt::format("argument '{}': {}", name, text ? *text : std::string()));
}

PyErr cast_error(PyObject* obj, std::string_view target) {
  return type_error(fmt::format("'{}' object cannot be cast as '{}'", type_qualname(obj), target));
}

PyResult<std::string> extract_str(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return std::unexpected(cast_error(obj, "str"));
  return str_to_utf8(obj);
}

PyResult<bool> extract_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  // numpy's boolean scalar (numpy.bool_, named numpy.bool from numpy 2 on).
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  if (!module) PyErr_Clear();
  if (module && PyUnicode_Check(module.get())) {
    auto mod = str_to_utf8(module.get());
    const auto name = type_qualname_of_type(type);
    if (mod && *mod == "numpy" && (name == "bool_" || name == "bool")) {
      const int truth = PyObject_IsTrue(obj);
      if (truth < 0) return std::unexpected(PyErr::fetch());
      return truth != 0;
    }
  }
  return std::unexpected(cast_error(obj, "bool"));
}

PyResult<void> extract_sequence(PyObject* obj, const std::function<PyResult<void>(PyObject*)>& item) {
  if (PyUnicode_Check(obj)) return std::unexpected(type_error("Can't extract `str` to `Vec`"));
  if (!PySequence_Check(obj)) return std::unexpected(cast_error(obj, "Sequence"));
  // A tuple (the rest of a call's arguments, most often) is read in place.
  if (PyTuple_CheckExact(obj)) {
    const Py_ssize_t size = PyTuple_Size(obj);
    for (Py_ssize_t i = 0; i < size; ++i) {
      auto r = item(PyTuple_GetItem(obj, i));
      if (!r) return r;
    }
    return {};
  }
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return std::unexpected(PyErr::fetch());
  while (PyRef next = PyRef::steal(PyIter_Next(iter.get()))) {
    auto r = item(next.get());
    if (!r) return r;
  }
  if (PyErr_Occurred()) return std::unexpected(PyErr::fetch());
  return {};
}

PyResult<std::vector<std::string>> extract_str_vec(PyObject* obj) {
  std::vector<std::string> out;
  auto r = extract_sequence(obj, [&](PyObject* item) -> PyResult<void> {
    auto s = extract_str(item);
    if (!s) return std::unexpected(std::move(s).error());
    out.push_back(std::move(*s));
    return {};
  });
  if (!r) return std::unexpected(std::move(r).error());
  return out;
}

}  // namespace velmora::binding
