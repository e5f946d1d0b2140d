// Entry of the suites that convert Python objects (velmora_py_tests): an
// interpreter is embedded for the whole run (this thread keeps the interpreter
// lock), and the binding layer is set up on it as the module's initialisation
// would.
#include <gtest/gtest.h>

#include <cstdio>

#include "binding/values.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  Py_InitializeEx(0);
  velmora::binding::install_opaque_hooks();
  const int rc = RUN_ALL_TESTS();
  // Worker threads of the pool may still exist; skip the interpreter's teardown.
  std::fflush(stdout);
  return rc;
}
