#include "efs/EFS_phy_win32.h"

#include <cstring>
#include <new>

#include "common/flash_fault.h"
#include "common/le.h"
#include "common/status.h"
#include "efs/efs_tools_utils.h"

extern "C" {
KELVRA_API uint8_t* efs_image = nullptr;
KELVRA_API uint32_t efs_size = 0;
}

namespace kelvra {
namespace efs {

uint32_t g_fail_image_allocs = 0;

namespace {

// The buffer the layer allocated itself, if any. Only this one is ever
// released; the host's buffer stays the host's.
uint8_t* s_owned_image = nullptr;
// Bytes known to exist behind `efs_image`: the allocation's length, or the
// image length the host was told to provide when it handed its buffer over.
// A later, larger geometry never takes an access past it.
uint64_t s_capacity = 0;

// True when [offset, offset + length) is a non-empty range inside the image.
bool access_ok(uint32_t offset, uint32_t length) {
  if (efs_image == nullptr || length == 0 || offset >= efs_size) return false;
  return range_fits(offset, length, efs_size) && range_fits(offset, length, s_capacity);
}

}  // namespace

void use_host_image(uint8_t* image, uint32_t capacity) {
  efs_image = image;
  s_capacity = capacity;
}

}  // namespace efs
}  // namespace kelvra

using namespace kelvra::efs;

int EFS_physical_init(uint8_t allocate) {
  // The stored geometry is 32-bit; the sum is taken as such.
  efs_size = (g_efs_valid_block_num + g_efs_bm_num + g_efs_non_valid_block_num) * EFS_BLOCK_SIZE;
  if (allocate == 0) return efs_image == nullptr ? kelvra::ST_NOT_MOUNTED : kelvra::ST_OK;

  if (s_owned_image != nullptr) {
    if (efs_image == s_owned_image) efs_image = nullptr;
    delete[] s_owned_image;
    s_owned_image = nullptr;
  }
  efs_image = nullptr;
  s_capacity = 0;
  if (g_fail_image_allocs > 0) {
    --g_fail_image_allocs;
    return kelvra::ST_NOMEM;
  }
  uint8_t* image = new (std::nothrow) uint8_t[efs_size == 0 ? 1 : efs_size];
  if (image == nullptr) return kelvra::ST_NOMEM;
  std::memset(image, 0xFF, efs_size);
  s_owned_image = image;
  efs_image = image;
  s_capacity = efs_size;
  return kelvra::ST_OK;
}

int EFS_physical_read(uint32_t offset, uint32_t length, uint8_t* out) {
  if (out == nullptr || !access_ok(offset, length)) return kelvra::ST_INVAL;
  std::memcpy(out, efs_image + offset, length);
  kelvra::fault::after_read(out, length);
  return kelvra::ST_OK;
}

int EFS_physical_write(uint32_t offset, uint32_t length, const uint8_t* data) {
  if (data == nullptr || !access_ok(offset, length)) return kelvra::ST_INVAL;
  // With the fault seam armed only part of the write may reach the flash.
  const uint32_t n = kelvra::fault::program_bytes(length);
  std::memmove(efs_image + offset, data, n);
  return kelvra::ST_OK;
}

int EFS_physical_erase(uint32_t offset, uint32_t length) {
  if (!access_ok(offset, length)) return kelvra::ST_INVAL;
  if (offset % EFS_BLOCK_SIZE != 0 || length % EFS_BLOCK_SIZE != 0) return kelvra::ST_INVAL;
  const uint32_t n = kelvra::fault::erase_bytes(length);
  std::memset(efs_image + offset, 0xFF, n);
  return kelvra::ST_OK;
}
