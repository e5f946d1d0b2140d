// Releasing a tree of shared nodes in constant stack.
//
// The default destructor of a node that holds its children by shared pointer
// recurses once per level, so a long chain overflows the thread's stack. A
// node's destructor calls `release_parts` on its own child pointers instead:
// children held by nobody else are taken apart here, level by level, each
// losing its own children before it is freed; a child shared with another
// holder only loses one count. Any thread; no locks.
#pragma once

#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

namespace velmora::utils {

// `parts` are the dying node's child pointers; `children(node, take)` calls
// `take` on each child pointer of a node (and does nothing for a leaf).
template <class T, class Children>
void release_parts(std::initializer_list<std::shared_ptr<const T>*> parts, Children children) {
  std::vector<std::shared_ptr<const T>> pending;
  const auto take = [&](std::shared_ptr<const T>& part) {
    if (part && part.use_count() == 1) pending.push_back(std::move(part));
  };
  for (auto* part : parts) take(*part);
  while (!pending.empty()) {
    std::shared_ptr<const T> last = std::move(pending.back());
    pending.pop_back();
    // The sole holder may empty the parts of what it is about to release.
    children(*last, take);
  }
}

}  // namespace velmora::utils
