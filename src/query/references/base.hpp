// References handed to Python: `Node`, `Edge`, `Type` and `Term` objects.
//
// A reference holds only the shared store and a uid (an edge's pair of uids);
// everything else is looked up in the store at each call, so a reference shows
// the store's current state and fails with the store's not-found error once
// the thing it names is gone. References keep the store alive, not the thing
// they name.
//
// Python-facing functions run on the caller's thread with the interpreter
// lock held; `Reference` values themselves are plain data, built on any thread.
#pragma once

#include <variant>

#include "binding/class.hpp"
#include "binding/guard.hpp"
#include "graph/base.hpp"

namespace velmora::query::references {

struct NodeRef {
  graph::GraphPtr graph;
  Uid uid;
};
struct EdgeRef {
  graph::GraphPtr graph;
  EdgeKey key;
};
struct TypeRef {
  graph::GraphPtr graph;
  Uid uid;
};
// A term, by the uid of its type (under which the store keeps it).
struct TermRef {
  graph::GraphPtr graph;
  Uid uid;
};

using Reference = std::variant<EdgeRef, NodeRef, TermRef, TypeRef>;

// The reference for a binding of a match.
Reference reference_from_element(const graph::GraphPtr& graph, const MatchElement& element);
// A new Python object of the reference's class.
binding::PyResult<binding::PyRef> reference_to_py(Reference reference);

binding::ClassSpec& edge_class();
binding::ClassSpec& node_class();
binding::ClassSpec& term_class();
binding::ClassSpec& type_class();

namespace detail {

// A new str holding the uid's hexadecimal text.
PyObject* uid_text(const Uid& uid);

// `==` and `!=` between references of one class compare `key(record)`; any
// other comparison, or another class, gives NotImplemented (so `!=` across
// classes is the negation of the interpreter's `==`, and ordering raises).
template <class R, class Key>
PyObject* richcompare(PyObject* self, PyObject* other, int op, binding::ClassSpec& spec, Key key) {
  return binding::guard([&]() -> PyObject* {
    if (op == Py_NE) {
      PyObject* eq = PyObject_RichCompare(self, other, Py_EQ);
      if (!eq) return nullptr;
      const int truth = PyObject_IsTrue(eq);
      Py_DECREF(eq);
      if (truth < 0) return nullptr;
      return PyBool_FromLong(!truth);
    }
    if (op != Py_EQ || !binding::is_instance(other, spec)) Py_RETURN_NOTIMPLEMENTED;
    return PyBool_FromLong(key(binding::unbox<R>(self)) == key(binding::unbox<R>(other)));
  });
}

}  // namespace detail
}  // namespace velmora::query::references
