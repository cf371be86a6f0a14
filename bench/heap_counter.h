// Peak heap bytes over a stretch of the run, counted by the allocation
// functions that heap_counter.cpp puts in front of the C library's. Counting
// is off outside such a stretch, so timed runs pay nothing for it.
#pragma once

#include <cstdint>

namespace kelvra_bench {

// Starts counting from zero live bytes.
void heap_count_start();
// Stops counting; the highest live byte count since the start (blocks
// allocated before the start and released during it count negatively).
int64_t heap_count_stop();

}  // namespace kelvra_bench
