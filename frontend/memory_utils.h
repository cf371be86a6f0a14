// Memory utilities: the front end's checked copy and the exported memory
// functions that the host may call. All of them hold no state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/KelvraStorageLib.h"

// The Lt functions, ByteCopy and its BYTECOPY_ results are declared with the
// host's interface.

namespace kelvra {
namespace memory_testing {

// The bounded copy that ByteCopy uses: 0 on success, an errno value on
// failure. Tests replace it to make a failing copy reachable; passing null
// restores the default. Returns the one in force before.
using BoundedCopyFn = int (*)(void* destination, size_t destinationSize, const void* source,
                              size_t count);
BoundedCopyFn set_bounded_copy(BoundedCopyFn copy);

}  // namespace memory_testing
}  // namespace kelvra
