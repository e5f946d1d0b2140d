// tbb::parallel_for for the tests' own concurrent loops, with the pool's
// fork/join edges stated for ThreadSanitizer builds (see utils/tsan.hpp); in
// any other build it is plain tbb::parallel_for.
#pragma once

#include <tbb/parallel_for.h>

#include <utility>

#include "utils/tsan.hpp"

namespace velmora::test_pool {

template <class Index, class Fn>
void parallel_for(Index first, Index last, Fn&& fn) {
  utils::tsan::Join join;
  tbb::parallel_for(first, last, utils::tsan::body(std::forward<Fn>(fn), join));
}

template <class Range, class Fn>
void parallel_for(const Range& range, Fn&& fn) {
  utils::tsan::Join join;
  tbb::parallel_for(range, utils::tsan::body(std::forward<Fn>(fn), join));
}

}  // namespace velmora::test_pool
