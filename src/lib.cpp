#include "lib.hpp"

#include "binding/guard.hpp"
#include "binding/values.hpp"
#include "py_constant.hpp"
#include "py_graph.hpp"
#include "query/base.hpp"
#include "query/references/base.hpp"
#include "utils/deadlock_watchdog.hpp"
#include "utils/pool.hpp"

namespace velmora {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora",
    "",  // no docstring: __doc__ reads ""
    0,
    nullptr,
};

// Set once the module has been created successfully; a later initialisation
// in the same process is refused.
PyObject* created_module = nullptr;

binding::PyResult<void> init_module(PyObject* module) {
  binding::install_opaque_hooks();
  utils::start_deadlock_watchdog();
  for (binding::ClassSpec* spec : module_classes()) {
    VM_TRY(binding::add_class(module, *spec));
  }
  return {};
}

}  // namespace

std::vector<binding::ClassSpec*> module_classes() {
  namespace refs = query::references;
  return {&graph::graph_class(), &query::query_class(), &refs::edge_class(), &refs::node_class(),
          &refs::term_class(),   &refs::type_class(),   &constant_class()};
}

}  // namespace velmora

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_velmora() {
  using namespace velmora;
  return binding::guard([]() -> PyObject* {
    if (created_module) {
      PyErr_SetString(PyExc_ImportError,
                      "PyO3 modules compiled for CPython 3.8 or older may only be initialized "
                      "once per interpreter process");
      return nullptr;
    }
    utils::configure_pool_from_env();
    binding::PyRef module = binding::PyRef::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    VM_PY_TRY(init_module(module.get()));
    created_module = binding::PyRef(module).release();
    return module.release();
  });
}
