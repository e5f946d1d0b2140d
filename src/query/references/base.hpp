// References handed to Python: `Node`, `Edge`, `Type` and `Term` objects.
//
// A reference holds only the shared store and a uid (an edge's pair of uids),
// kept as the address of the store's own copy where it has one (a type row
// never moves and lives as long as the store); everything else is looked up
// in the store at each call, so a reference shows
// the store's current state and fails with the store's not-found error once
// the thing it names is gone. References keep the store alive, not the thing
// they name.
//
// Python-facing functions, `StoreHandle`, `HeldUid` and the `new_*` makers
// run on the caller's thread with the interpreter lock held.
#pragma once

#include <cstdint>
#include <utility>

#include "binding/class.hpp"
#include "binding/guard.hpp"
#include "graph/store.hpp"

namespace velmora::query::references {

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

// The uid a reference object names, in one word: the address of the store's
// copy in its type row (kept alive by the object's store handle), or of a
// copy of its own on the heap when the store has none.
class HeldUid {
 public:
  static HeldUid in_store(const Uid& row) noexcept { return HeldUid(reinterpret_cast<std::uintptr_t>(&row)); }
  // The store's copy when it holds the uid, else a copy of its own.
  static HeldUid find(const graph::Graph& graph, const Uid& uid);
  // `*row` when given, else as `find`.
  static HeldUid of(const graph::Graph& graph, const Uid& uid, const Uid* row) {
    return row ? in_store(*row) : find(graph, uid);
  }

  HeldUid(HeldUid&& other) noexcept : bits_(std::exchange(other.bits_, 0)) {}
  HeldUid(const HeldUid& other) : bits_(other.owned() ? own_copy(other.get()) : other.bits_) {}
  HeldUid& operator=(const HeldUid&) = delete;
  ~HeldUid() {
    if (owned()) delete address();
  }

  const Uid& get() const noexcept { return *address(); }
  // The store's copy, or null when the object holds a copy of its own.
  const Uid* store_copy() const noexcept { return owned() ? nullptr : address(); }

 private:
  // The low bit marks a copy of its own (rows and heap blocks are aligned).
  static constexpr std::uintptr_t kOwned = 1;
  explicit HeldUid(std::uintptr_t bits) noexcept : bits_(bits) {}
  static std::uintptr_t own_copy(const Uid& uid) { return reinterpret_cast<std::uintptr_t>(new Uid(uid)) | kOwned; }
  bool owned() const noexcept { return (bits_ & kOwned) != 0; }
  const Uid* address() const noexcept { return reinterpret_cast<const Uid*>(bits_ & ~kOwned); }

  std::uintptr_t bits_;
};

// What the reference objects box.
struct NodeBox {
  StoreHandle graph;
  HeldUid uid;
};
struct EdgeBox {
  StoreHandle graph;
  HeldUid start;
  HeldUid end;
  EdgeKey key() const { return {start.get(), end.get()}; }
};
struct TypeBox {
  StoreHandle graph;
  HeldUid uid;
};
struct TermBox {
  StoreHandle graph;
  HeldUid uid;
};

binding::ClassSpec& edge_class();
binding::ClassSpec& node_class();
binding::ClassSpec& term_class();
binding::ClassSpec& type_class();

// New reference objects, or null with the Python error set.
inline PyObject* new_node(StoreHandle graph, HeldUid uid) {
  return binding::new_final_boxed(node_class(), NodeBox{std::move(graph), std::move(uid)});
}
inline PyObject* new_edge(StoreHandle graph, HeldUid start, HeldUid end) {
  return binding::new_final_boxed(edge_class(), EdgeBox{std::move(graph), std::move(start), std::move(end)});
}
inline PyObject* new_type(StoreHandle graph, HeldUid uid) {
  return binding::new_final_boxed(type_class(), TypeBox{std::move(graph), std::move(uid)});
}
inline PyObject* new_term(StoreHandle graph, HeldUid uid) {
  return binding::new_final_boxed(term_class(), TermBox{std::move(graph), std::move(uid)});
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
