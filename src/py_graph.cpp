// The Python class `Graph`: argument handling and conversions around the store.
#include "py_graph.hpp"

#include <absl/container/flat_hash_map.h>
#include <fmt/format.h>

#include <span>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/guard.hpp"
#include "binding/values.hpp"
#include "constants.hpp"
#include "hex_to_uid.hpp"
#include "parallel.hpp"
#include "py_constant.hpp"
#include "query/base.hpp"
#include "query/references/base.hpp"
#include "utils/source_position.hpp"

// The class belongs to the store's module, whose path its context lines print.
VELMORA_MODULE("src/graph/base");

namespace velmora::graph {

namespace {

using binding::PyErr;
using binding::PyRef;
using binding::PyResult;

PyGraph& py_graph(PyObject* self) { return binding::unbox<PyGraph>(self); }

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return binding::guard([&]() -> PyObject* {
    static const binding::FunctionDescription desc{"Graph", "__new__", {"constants"}, 0, false};
    PyObject* arg[1];
    VM_PY_TRY(binding::extract_arguments(desc, args, kwargs, arg));
    std::vector<Constant> list;
    if (arg[0] && arg[0] != Py_None) {
      auto add = [&](PyObject* item) -> PyResult<void> {
        const Constant* c = constant_from_py(item);
        if (!c) return std::unexpected(binding::cast_error(item, "Constant"));
        list.push_back(*c);
        return {};
      };
      VM_PY_TRY(binding::argument("constants", binding::extract_sequence(arg[0], add)));
    }
    PyGraph value{std::make_shared<Graph>(list), nullptr};
    return binding::into_ptr(binding::alloc_instance(reinterpret_cast<PyObject*>(type), std::move(value)));
  });
}

PyObject* graph_subgraph(PyObject* self, PyObject* args, PyObject* kwargs) {
  return binding::guard([&]() -> PyObject* {
    static const binding::FunctionDescription desc{"Graph", "subgraph", {"nodes"}, 1, false};
    PyObject* arg[1];
    VM_PY_TRY(binding::extract_arguments(desc, args, kwargs, arg));
    const auto texts = VM_PY_TRY(binding::argument("nodes", binding::extract_str_vec(arg[0])));
    auto subset = std::make_shared<NodeUidSet>();
    for (const auto& text : texts) subset->insert(VM_PY_TRY(with_context(hex_str_to_uid(text), "graph - subgraph")));
    // Always a plain Graph, whatever the receiver's class; its own subset is not read.
    return binding::into_ptr(binding::new_instance(graph_class(), PyGraph{py_graph(self).graph, subset}));
  });
}

PyObject* graph_query(PyObject* self, PyObject*) {
  return binding::guard([&]() -> PyObject* {
    const auto& g = py_graph(self);
    return binding::into_ptr(query::new_query(g.graph, g.subset));
  });
}

// Makes the Python list of references after the parallel collection, all on
// one store handle: make(handle, key) gives a new reference or null.
template <class Key, class Make>
PyObject* reference_list(const graph::GraphPtr& graph, const std::vector<Key>& keys, Make make) {
  using query::references::StoreHandle;
  const StoreHandle handle = VM_PY_TRY(StoreHandle::of(graph));
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const Key& key : keys) {
    const PyRef obj = PyRef::steal(make(handle, key));
    if (!obj || PyList_Append(list.get(), obj.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* graph_nodes(PyObject* self, PyObject*) {
  return binding::guard([&]() -> PyObject* {
    using query::references::HeldUid, query::references::StoreHandle;
    const auto& g = py_graph(self);
    if (g.subset) {
      return reference_list(g.graph, g.subset->keys(), [&](const StoreHandle& handle, const Uid& uid) {
        return query::references::new_node(handle, HeldUid::find(*g.graph, uid));
      });
    }
    const graph::TypeTable& types = g.graph->types();
    return reference_list(g.graph, g.graph->node_uids_and_ids(),
                          [&](const StoreHandle& handle, const std::pair<Uid, graph::TypeId>& node) {
                            return query::references::new_node(handle, HeldUid::in_store(types.uid(node.second)));
                          });
  });
}

PyObject* graph_edges(PyObject* self, PyObject*) {
  return binding::guard([&]() -> PyObject* {
    using query::references::HeldUid, query::references::StoreHandle;
    const auto& g = py_graph(self);
    const graph::TypeTable& types = g.graph->types();
    const auto arrows = g.graph->edge_arrows([&](const EdgeKey& key) {
      return !g.subset || (g.subset->contains(key.first) && g.subset->contains(key.second));
    });
    return reference_list(g.graph, arrows, [&](const StoreHandle& handle, graph::TypeId arrow) {
      return query::references::new_edge(handle, HeldUid::in_store(types.uid(types.left(arrow))),
                                         HeldUid::in_store(types.uid(types.right(arrow))));
    });
  });
}

// The shared steps of the two bulk setters: arguments, staging on the caller's
// thread (nothing is written if any entry fails), then the parallel update.
template <class Key, class Decode, class Apply>
PyObject* set_properties_from_py(PyObject* args, PyObject* kwargs, const char* method, Decode decode, Apply apply) {
  const binding::FunctionDescription desc{"Graph", method, {"map", "overwrite"}, 1, false};
  PyObject* arg[2];
  VM_PY_TRY(binding::extract_arguments(desc, args, kwargs, arg));
  bool overwrite = true;
  if (arg[1]) overwrite = VM_PY_TRY(binding::argument("overwrite", binding::extract_bool(arg[1])));
  if (!PyDict_Check(arg[0])) return binding::raise_error(binding::cast_error(arg[0], "dict"));

  absl::flat_hash_map<Key, PropertyMap, UidHash> staged;
  PyObject *key = nullptr, *value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(arg[0], &pos, &key, &value)) {
    auto decoded = VM_PY_TRY(decode(key));
    auto k = VM_PY_TRY(with_context(std::move(decoded), "graph - set node properties"));
    auto map = VM_PY_TRY(with_context(binding::property_map_from_py(value), "graph - set node properties"));
    staged.insert_or_assign(k, std::move(map));
  }
  // Each map is made here for its one row; overwriting stores a copy of it.
  const std::vector<std::pair<Key, PropertyMap>> items(staged.begin(), staged.end());
  VM_PY_TRY(with_context(try_for_each(std::span<const std::pair<Key, PropertyMap>>(items),
                                      [&](const auto& item) { return apply(item.first, item.second, overwrite); }),
                         "graph - set node properties"));
  Py_RETURN_NONE;
}

// A str key as a uid: the cast failure is a Python error, a bad text a report.
PyResult<Result<Uid>> decode_uid_key(PyObject* key) {
  const auto text = VM_TRY(binding::extract_str(key));
  return hex_str_to_uid(text);
}

PyResult<Result<EdgeKey>> decode_edge_key(PyObject* key) {
  if (!PyTuple_Check(key)) return std::unexpected(binding::cast_error(key, "tuple"));
  const Py_ssize_t len = PyTuple_Size(key);
  if (len != 2)
    return std::unexpected(
        PyErr::make(PyExc_ValueError, fmt::format("expected tuple of length 2, but got tuple of length {}", len)));
  const auto start = VM_TRY(binding::extract_str(PyTuple_GetItem(key, 0)));
  const auto end = VM_TRY(binding::extract_str(PyTuple_GetItem(key, 1)));
  auto s = hex_str_to_uid(start);
  if (!s) return Result<EdgeKey>(std::unexpected(std::move(s).error()));
  auto e = hex_str_to_uid(end);
  if (!e) return Result<EdgeKey>(std::unexpected(std::move(e).error()));
  return Result<EdgeKey>(EdgeKey{*s, *e});
}

PyObject* graph_set_node_properties(PyObject* self, PyObject* args, PyObject* kwargs) {
  return binding::guard([&]() -> PyObject* {
    Graph& g = *py_graph(self).graph;
    return set_properties_from_py<Uid>(args, kwargs, "set_node_properties", decode_uid_key,
                                       [&](const Uid& uid, const PropertyMap& map, bool overwrite) {
                                         return g.set_node_properties(uid, map, overwrite);
                                       });
  });
}

PyObject* graph_set_edge_properties(PyObject* self, PyObject* args, PyObject* kwargs) {
  return binding::guard([&]() -> PyObject* {
    Graph& g = *py_graph(self).graph;
    return set_properties_from_py<EdgeKey>(args, kwargs, "set_edge_properties", decode_edge_key,
                                           [&](const EdgeKey& key, const PropertyMap& map, bool overwrite) {
                                             return g.set_edge_properties(key, map, overwrite);
                                           });
  });
}

PyMethodDef kGraphMethods[] = {
    {"subgraph", binding::with_keywords(&graph_subgraph), METH_VARARGS | METH_KEYWORDS,
     "subgraph($self, nodes)\n--\n\n"},
    {"query", graph_query, METH_NOARGS, "query($self)\n--\n\n"},
    {"nodes", graph_nodes, METH_NOARGS, "nodes($self)\n--\n\n"},
    {"edges", graph_edges, METH_NOARGS, "edges($self)\n--\n\n"},
    {"set_node_properties", binding::with_keywords(&graph_set_node_properties), METH_VARARGS | METH_KEYWORDS,
     "set_node_properties($self, map, overwrite=True)\n--\n\n"},
    {"set_edge_properties", binding::with_keywords(&graph_set_edge_properties), METH_VARARGS | METH_KEYWORDS,
     "set_edge_properties($self, map, overwrite=True)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

binding::ClassSpec& graph_class() {
  static binding::ClassSpec spec{"builtins.Graph",
                                 "Graph(constants=None)\n--\n\n",
                                 sizeof(binding::Boxed<PyGraph>),
                                 &binding::dealloc_boxed<PyGraph>,
                                 kGraphMethods,
                                 nullptr,
                                 {{Py_tp_new, reinterpret_cast<void*>(&graph_new)}}};
  return spec;
}

}  // namespace velmora::graph
