// Python classes from tables.
//
// A class is a `ClassSpec`: its name ("builtins.<Class>", so that `__module__`
// reads "builtins"), its docstring (a constructor's text signature, or empty),
// a method table whose docstrings carry text signatures ("name($self, ...)\n--\n\n"),
// getters and further slots. Instances box one C++ value (`Boxed<T>`), built by
// `new_instance` or by the class's own `tp_new`, and destroyed with the object;
// outside a call, the Python values the box was the last to hold are released
// before the dealloc returns.
// A class given no `tp_new` cannot be instantiated from Python: calling it
// raises TypeError "cannot create 'builtins.<Class>' instances".
//
// Caller's thread, interpreter lock held.
#pragma once

#include <algorithm>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "binding/guard.hpp"
#include "binding/python.hpp"

namespace velmora::binding {

struct ClassSpec {
  const char* name;                  // "builtins.Graph"
  const char* doc;                   // class docstring, "" for none
  int basicsize;                     // sizeof(Boxed<T>)
  destructor dealloc;                // &dealloc_boxed<T>
  PyMethodDef* methods = nullptr;    // null-terminated, or null
  PyGetSetDef* getset = nullptr;     // null-terminated, or null
  std::vector<PyType_Slot> slots{};  // tp_new, tp_str, tp_repr, tp_richcompare, ...
  PyObject* type = nullptr;          // made once, kept for the life of the process
};

// The class's type object (borrowed; lives as long as the process).
PyResult<PyObject*> type_object(ClassSpec& spec);

// Registers the class on `module`: appends its name to `__all__` (made when
// missing) and binds the class under its name.
PyResult<void> add_class(PyObject* module, ClassSpec& spec);

template <class T>
struct Boxed {
  PyObject_HEAD T value;
};

template <class T>
T& unbox(PyObject* self) {
  return reinterpret_cast<Boxed<T>*>(self)->value;
}

template <class T>
void dealloc_boxed(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&unbox<T>(self));
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
  release_after_dealloc();
}

// The pair for a class that cannot be subclassed and whose objects are made
// only through `new_final_boxed` (its spec's dealloc is
// `dealloc_final_boxed<T>`): the object is taken from the object allocator
// and its box built in place, without the generic allocator's zeroing or a
// slot look-up per object. `new_final_boxed` gives a new reference, or null
// with the Python error set.
//
// An object takes a block of at least kSmallestFinalBlock bytes: the object
// allocator's 32-byte blocks are those of every int and float, whose holes lie
// all over a running program's heap, so that objects made by the thousand
// among them each cost a cache miss; blocks of 48 are far less crowded.
inline constexpr std::size_t kSmallestFinalBlock = 48;

template <class T>
PyObject* new_final_boxed(ClassSpec& spec, T&& value) {
  PyObject* type = spec.type;
  if (!type) {
    auto made = type_object(spec);
    if (!made) {
      std::move(made).error().restore();
      return nullptr;
    }
    type = *made;
  }
  PyObject* obj =
      static_cast<PyObject*>(PyObject_Malloc(std::max(sizeof(Boxed<std::decay_t<T>>), kSmallestFinalBlock)));
  if (!obj) return PyErr_NoMemory();
  PyObject_Init(obj, reinterpret_cast<PyTypeObject*>(type));
  std::construct_at(&unbox<std::decay_t<T>>(obj), std::forward<T>(value));
  return obj;
}

template <class T>
void dealloc_final_boxed(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&unbox<T>(self));
  PyObject_Free(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
  release_after_dealloc();
}

// Allocates an instance of `type` (the class or a subclass) holding `value`.
template <class T>
PyResult<PyRef> alloc_instance(PyObject* type, T&& value) {
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyRef obj = PyRef::steal(alloc(tp, 0));
  if (!obj) return std::unexpected(PyErr::fetch());
  std::construct_at(&unbox<std::decay_t<T>>(obj.get()), std::forward<T>(value));
  return obj;
}

// A new instance of the class of `spec` holding `value`.
template <class T>
PyResult<PyRef> new_instance(ClassSpec& spec, T&& value) {
  auto type = type_object(spec);
  if (!type) return std::unexpected(std::move(type).error());
  return alloc_instance(*type, std::forward<T>(value));
}

// A METH_VARARGS | METH_KEYWORDS method as the method table's function type.
inline PyCFunction with_keywords(PyObject* (*f)(PyObject*, PyObject*, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Hands a result's new reference to the interpreter, or sets its exception
// and returns null.
inline PyObject* into_ptr(PyResult<PyRef>&& result) {
  if (!result) {
    std::move(result).error().restore();
    return nullptr;
  }
  return result->release();
}

// Whether `obj` is an instance of the class of `spec` (or of a subclass).
bool is_instance(PyObject* obj, ClassSpec& spec);

}  // namespace velmora::binding
