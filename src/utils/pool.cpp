#include "utils/pool.hpp"

#include <tbb/global_control.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

namespace velmora::utils {

void configure_pool_from_env() {
  static std::once_flag once;
  std::call_once(once, [] {
    const char* text = std::getenv("RAYON_NUM_THREADS");
    if (!text) return;
    char* end = nullptr;
    const unsigned long n = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || n == 0 || text[0] == '-') return;
    // Kept alive for the life of the process, as the cap lasts only while it exists.
    static auto* control = new tbb::global_control(tbb::global_control::max_allowed_parallelism, n);
    (void)control;
  });
}

}  // namespace velmora::utils
