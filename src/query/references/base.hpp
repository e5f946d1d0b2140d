// References handed to Python: `Node`, `Edge`, `Type` and `Term` objects.
//
// A reference holds only the shared store and a uid (an edge's pair of uids);
// everything else is looked up in the store at each call, so a reference shows
// the store's current state and fails with the store's not-found error once
// the thing it names is gone. References keep the store alive, not the thing
// they name.
//
// Python-facing functions, `StoreHandle` and the `new_*` makers run on the
// caller's thread with the interpreter lock held; `Reference` values
// themselves are plain data, built on any thread.
#pragma once

#include <utility>
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

// The store as reference objects hold it: a Python object owning one
// `GraphPtr`, which the references share through the interpreter's reference
// count (a plain increment under the lock) rather than each copying the shared
// pointer (an atomic increment, and an atomic decrement when freed). Lock held.
class StoreHandle {
 public:
  // A handle on `graph`'s store: the one made last, while it lives and is on
  // the same store, so that references made apart still share one; else a
  // new one.
  static binding::PyResult<StoreHandle> of(const graph::GraphPtr& graph);

  StoreHandle(const StoreHandle& other) noexcept : obj_(other.obj_) { Py_INCREF(obj_); }
  StoreHandle(StoreHandle&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  StoreHandle& operator=(const StoreHandle&) = delete;
  ~StoreHandle() { Py_XDECREF(obj_); }

  const graph::GraphPtr& ptr() const noexcept { return binding::unbox<graph::GraphPtr>(obj_); }
  graph::Graph* operator->() const noexcept { return ptr().get(); }

 private:
  explicit StoreHandle(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_;
};

// What the reference objects box.
struct NodeBox {
  StoreHandle graph;
  Uid uid;
};
struct EdgeBox {
  StoreHandle graph;
  EdgeKey key;
};
struct TypeBox {
  StoreHandle graph;
  Uid uid;
};
struct TermBox {
  StoreHandle graph;
  Uid uid;
};

binding::ClassSpec& edge_class();
binding::ClassSpec& node_class();
binding::ClassSpec& term_class();
binding::ClassSpec& type_class();

// New reference objects, or null with the Python error set.
inline PyObject* new_node(StoreHandle graph, const Uid& uid) {
  return binding::new_final_boxed(node_class(), NodeBox{std::move(graph), uid});
}
inline PyObject* new_edge(StoreHandle graph, const EdgeKey& key) {
  return binding::new_final_boxed(edge_class(), EdgeBox{std::move(graph), key});
}
inline PyObject* new_type(StoreHandle graph, const Uid& uid) {
  return binding::new_final_boxed(type_class(), TypeBox{std::move(graph), uid});
}
inline PyObject* new_term(StoreHandle graph, const Uid& uid) {
  return binding::new_final_boxed(term_class(), TermBox{std::move(graph), uid});
}

namespace detail {

// A new str holding the uid's hexadecimal text.
PyObject* uid_text(const Uid& uid);

// `==` and `!=` between references of one class compare `key(box)`; any
// other comparison, or another class, gives NotImplemented (so `!=` across
// classes is the negation of the interpreter's `==`, and ordering raises).
template <class Box, class Key>
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
    return PyBool_FromLong(key(binding::unbox<Box>(self)) == key(binding::unbox<Box>(other)));
  });
}

}  // namespace detail
}  // namespace velmora::query::references
