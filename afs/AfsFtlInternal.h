// Helpers shared by the translation layer's source files: flash access at a
// unit offset, verified writes, header encoding and validity, the cluster
// bitmap and the location of data blocks. Not exported.
#pragma once

#include <cstdint>

#include "afs/AfsTypes.h"

namespace kelvra {
namespace afs {
namespace ftl {

// Decoded erase-unit header.
struct Header {
  uint32_t magic = 0;
  uint32_t sequence = 0;
  uint32_t erase_count = 0;
  uint16_t spare = 0;
  uint16_t first_page = 0;
  uint8_t check = 0;
  uint8_t state = 0;
};

Header decode_header(const uint8_t* bytes);
// Writes the 18 header bytes; `check` is recomputed over bytes 0..15 with the
// live magic in place, then the stored magic is put in.
void encode_header(const Header& h, uint8_t* bytes);
uint8_t header_check(const uint8_t* bytes, uint32_t magic_for_check);
bool header_valid(const uint8_t* bytes);

// Metadata pages of the context's geometry (data_start / 64).
inline uint32_t meta_pages(const afs_context_t* ctx) { return ctx->data_start / AFS_PAGE_SIZE; }

// Flash access inside unit `unit` at byte `offset` of the unit. The caller
// keeps unit below eu_count and offset + length within the unit.
int read_unit(const afs_context_t* ctx, uint32_t unit, uint32_t offset, uint32_t length, void* dst);
// Written once, then read back and compared up to 7 times.
int verified_write(const afs_context_t* ctx, uint32_t unit, uint32_t offset, uint32_t length, const void* src);
// Erases both 4096-byte blocks of the unit, the first one first.
int erase_unit(const afs_context_t* ctx, uint32_t unit);

// Slot image: 64 data bytes followed by crc16(data, lpn) little-endian.
void build_slot(const uint8_t* data, uint32_t lpn, uint8_t* slot);
bool slot_ok(const uint8_t* slot, uint32_t lpn);
// Reads one 66-byte slot at `offset` of `unit` and checks it, up to 7 times.
int read_checked_slot(const afs_context_t* ctx, uint32_t unit, uint32_t offset, uint32_t lpn, uint8_t* data64);

// Cluster bitmap, bounded by cluster_count and tolerant of a missing bitmap.
bool bitmap_test(const afs_context_t* ctx, uint32_t c);
void bitmap_set(afs_context_t* ctx, uint32_t c);
void bitmap_clear(afs_context_t* ctx, uint32_t c);

// The data unit holding block `block` (first page data_start/64 + 122 x
// block), or FTL_NO_UNIT.
uint32_t locate_block(const afs_context_t* ctx, uint32_t block);
// Data cluster index of slot 0 of data unit `unit`; false when the unit's
// first page does not start a block of this geometry.
bool unit_base(const afs_context_t* ctx, uint32_t unit, uint32_t* base);
// Slots of a block starting at `base` whose clusters the volume can hold.
uint32_t usable_slots(const afs_context_t* ctx, uint32_t base);

inline uint8_t inc8(uint8_t v, uint32_t by = 1) {
  uint32_t r = v + by;
  return static_cast<uint8_t>(r > 255 ? 255 : r);
}
inline uint8_t dec8(uint8_t v, uint32_t by = 1) { return static_cast<uint8_t>(v > by ? v - by : 0); }

}  // namespace ftl
}  // namespace afs
}  // namespace kelvra
