#include "graph/store_rows.hpp"

#include <sys/mman.h>

#include <new>

namespace velmora::graph::rows {

namespace {

// From this size on a chunk is mapped on its own and asked to be backed by
// huge pages: the store's rows are read at random, and with small pages
// nearly every such read also misses the address cache.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

void* allocate_chunk(std::size_t bytes) {
  if (bytes < kHugePage) {
    void* made = std::calloc(bytes, 1);
    if (!made) throw std::bad_alloc();
    return made;
  }
  void* made = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (made == MAP_FAILED) throw std::bad_alloc();
  madvise(made, bytes, MADV_HUGEPAGE);
  return made;
}

void free_chunk(void* chunk, std::size_t bytes) {
  if (bytes < kHugePage) {
    std::free(chunk);
  } else {
    munmap(chunk, bytes);
  }
}

}  // namespace velmora::graph::rows
