// The work-stealing pool (oneTBB) that every parallel step runs on.
#pragma once

namespace velmora::utils {

// Reads RAYON_NUM_THREADS once: a positive integer caps the pool at that many
// threads for the life of the process; anything else leaves oneTBB's own size.
void configure_pool_from_env();

}  // namespace velmora::utils
