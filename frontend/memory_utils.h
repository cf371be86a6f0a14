// Memory utilities: the front end's checked copy and the exported memory
// functions that the host may call. All of them hold no state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/export.h"

// Results of ByteCopy.
enum : int32_t {
  BYTECOPY_OK = 0,             // copied
  BYTECOPY_NULL_POINTER = 3,   // destination or source is null
  BYTECOPY_TOO_LARGE = 40,     // count larger than the destination size
  BYTECOPY_COPY_FAILED = 43,   // the bounded copy reported a failure
};

extern "C" {

// Allocates `size` bytes, not initialised; null when memory runs out.
KELVRA_API void* LtAllocateMemory(size_t size);
// Allocates `count` bytes filled with zeros; null when memory runs out.
KELVRA_API void* LtAllocateZeroMemory(size_t count);
// Releases a block of the two functions above; null is allowed.
KELVRA_API void LtFreeMemory(void* block);
// Sets `count` bytes to `value`; returns `destination`.
KELVRA_API void* LtSetMemory(void* destination, uint8_t value, size_t count);
// Compares `count` bytes as unsigned bytes: negative, 0 or positive, the first
// difference deciding.
KELVRA_API int64_t LtCompareMemory(const void* first, const void* second, size_t count);
// Copies `count` bytes from `source` into `destination`, which holds
// `destinationSize` bytes. Returns one of the BYTECOPY_ codes; nothing is
// written unless the result is BYTECOPY_OK (or the bounded copy failed).
KELVRA_API int32_t ByteCopy(uint8_t* destination, size_t destinationSize, const void* source,
                            size_t count);

}  // extern "C"

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
