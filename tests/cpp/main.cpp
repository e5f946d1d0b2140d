// Test entry: the suites that convert Python values need an interpreter, so
// one is embedded for the whole run (this thread keeps the interpreter lock).
#include <Python.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  Py_InitializeEx(0);
  const int rc = RUN_ALL_TESTS();
  // Worker threads of the pool may still exist; skip the interpreter's teardown.
  std::fflush(stdout);
  return rc;
}
