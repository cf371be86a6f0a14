// EFS image layer: the host's EFS buffer (or one the library allocated)
// treated as flash. Writes replace bytes; an erase fills whole 4096-byte
// blocks with 0xFF. Every access is range-checked against `efs_size`.
#pragma once

#include <cstdint>

#include "common/export.h"

// The image buffer and its length, efs_image and efs_size, are exported data
// declared with the host's interface.

// Recomputes `efs_size` from the geometry. With `allocate` 0: 1 when there is
// no image, else 0. With `allocate` set: replaces the image by a new one of
// `efs_size` bytes filled with 0xFF (12 when that fails); a host buffer is
// never released, only one the library allocated itself.
KELVRA_EXTERN_C KELVRA_API int EFS_physical_init(uint8_t allocate);
// 22 for an empty or out-of-range access (or no image), else 0.
KELVRA_EXTERN_C KELVRA_API int EFS_physical_read(uint32_t offset, uint32_t length, uint8_t* out);
KELVRA_EXTERN_C KELVRA_API int EFS_physical_write(uint32_t offset, uint32_t length,
                                                  const uint8_t* data);
// As above; offset and length must both be multiples of 4096 (else 22).
KELVRA_EXTERN_C KELVRA_API int EFS_physical_erase(uint32_t offset, uint32_t length);

namespace kelvra {
namespace efs {

constexpr uint32_t EFS_BLOCK_SIZE = 4096;

// Points the layer at a buffer the host owns (never released by the layer)
// that holds at least `capacity` bytes.
void use_host_image(uint8_t* image, uint32_t capacity);

// Test hook: the next image allocations fail (counted down).
extern uint32_t g_fail_image_allocs;

}  // namespace efs
}  // namespace kelvra
