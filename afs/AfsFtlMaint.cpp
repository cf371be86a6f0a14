// Whole-partition operations of the translation layer: format, the forced
// full reclaim, the dirty-erase scrub and the end of reserved-files mode.
#include <cstring>

#include "afs/AfsFtl.h"
#include "afs/AfsFtlInternal.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "common/status.h"

using namespace kelvra;
using namespace kelvra::afs::ftl;

int afs_physical_ftl_format(afs_context_t* ctx, uint8_t erase_first) {
  if (ctx == nullptr) return ST_INVAL;
  const uint32_t units = ctx->partition_size / AFS_EU_SIZE;
  if (units == 0) return ST_OK;
  if (ctx->data_start > ctx->volume_size || ctx->data_start % AFS_PAGE_SIZE != 0) return ST_IO;
  const uint32_t data_units = (ctx->volume_size - ctx->data_start) / AFS_DATA_BLOCK_BYTES;
  if (data_units + 1 > units) return ST_IO;
  const uint32_t first = units - 1 - data_units;
  // The unit count and first data unit of the preceding mount attempt; the
  // geometry's own values when there was none.
  const uint32_t eu_count = ctx->ftl != nullptr ? ctx->ftl->eu_count : (units & 0xFFu);
  const uint32_t first_data = ctx->ftl != nullptr ? ctx->ftl->first_data_eu : (first & 0xFFu);
  if (static_cast<uint64_t>(ctx->partition_offset) + static_cast<uint64_t>(units) * AFS_EU_SIZE > 0x100000000ull)
    return ST_IO;

  for (uint32_t i = 0; i < units; ++i) {
    if (erase_first) {
      // Erase failures are not reported; the header's verified write is.
      if (SpiDrvEraseBlock(ctx->partition_offset + i * AFS_EU_SIZE) == 0)
        SpiDrvEraseBlock(ctx->partition_offset + i * AFS_EU_SIZE + AFS_EU_HALF);
    }
    Header h;
    h.magic = AFS_EU_MAGIC;
    h.sequence = i + 1;
    h.erase_count = 1;
    h.spare = static_cast<uint16_t>(i + 1);
    h.first_page = 0;
    if (first <= i && i + 1 < eu_count && i >= first_data) {
      const uint64_t fp = (static_cast<uint64_t>(i - first_data) * AFS_DATA_BLOCK_BYTES + ctx->data_start) / AFS_PAGE_SIZE;
      if (fp == 0 || fp > 0xFFFFu) return ST_IO;
      h.first_page = static_cast<uint16_t>(fp);
    }
    h.state = AFS_EU_STATE_COMMITTED;
    uint8_t bytes[AFS_EU_HEADER_SIZE];
    encode_header(h, bytes);
    if (i + 1 == units) std::memset(bytes, 0, 4);  // the spare; its check still passes with the live magic
    if (verified_write(ctx, i, 0, AFS_EU_STATE_OFFSET, bytes) != ST_OK) return ST_IO;
    if (verified_write(ctx, i, AFS_EU_STATE_OFFSET, 1, bytes + AFS_EU_STATE_OFFSET) != ST_OK) return ST_IO;
  }
  return ST_OK;
}

int afs_physical_ftl_force_full_reclaim(afs_context_t* ctx) {
  if (ctx == nullptr || ctx->ftl == nullptr || ctx->ftl->eu_records == nullptr) return ST_INVAL;
  afs_ftl_state_t* st = ctx->ftl;
  if (st->write_failed) return ST_IO;
  uint32_t u = st->full_reclaim_cursor;
  while (u < st->eu_count && (st->eu_records[u].first_page == 0 || u == st->spare_eu)) ++u;
  if (u >= st->eu_count) {
    st->full_reclaim_cursor = 0;
    return ST_OK;
  }
  int r = reclaim_eu(ctx, u, true);
  if (r != ST_OK && r != FTL_NOTHING_RECLAIMED) return r;
  st->full_reclaim_cursor = static_cast<uint8_t>(u + 1);
  if (st->full_reclaim_cursor == st->eu_count) {
    st->full_reclaim_cursor = 0;
    return ST_OK;
  }
  return ST_AGAIN;
}

int afs_physical_ftl_force_dirty_erase(afs_context_t* ctx) {
  if (ctx == nullptr || ctx->ftl == nullptr || ctx->ftl->eu_records == nullptr) return ST_INVAL;
  afs_ftl_state_t* st = ctx->ftl;
  if (st->eu_count == 0) return ST_OK;
  // Without the cluster bitmap every written slot would look dead.
  if (ctx->cluster_bitmap == nullptr) return ST_INVAL;
  if (st->write_failed) return ST_IO;
  uint8_t zeros[AFS_SLOT_SIZE];
  std::memset(zeros, 0, sizeof zeros);
  for (uint32_t u = 0; u < st->eu_count; ++u) {
    const bool spare = u == st->spare_eu;
    uint32_t base = 0;
    if (!spare) {
      if (st->eu_records[u].first_page == 0) continue;
      if (!unit_base(ctx, u, &base)) return ST_IO;
    }
    uint8_t status[AFS_DATA_SLOTS];
    if (read_unit(ctx, u, AFS_DATA_STATUS_OFFSET, AFS_DATA_SLOTS, status) != ST_OK) return ST_IO;
    for (uint32_t k = 0; k < AFS_DATA_SLOTS; ++k) {
      if (!spare && (status[k] == AFS_STATUS_FREE || bitmap_test(ctx, base + k))) continue;
      // A scrub: not read back.
      if (SpiDrvWrite(ctx->partition_offset + u * AFS_EU_SIZE + AFS_DATA_SLOT_OFFSET + AFS_SLOT_SIZE * k,
                      AFS_SLOT_SIZE, zeros) != 0)
        return ST_IO;
    }
  }
  return ST_OK;
}

int afs_physical_ftl_end_reserved_files_mode(afs_context_t* ctx) {
  if (ctx == nullptr || ctx->ftl == nullptr || ctx->ftl->eu_records == nullptr) return ST_INVAL;
  afs_ftl_state_t* st = ctx->ftl;
  if (st->write_failed) return ST_IO;
  if (st->spare_eu != 0) {
    int r = reclaim_eu(ctx, 0, true);
    if (r != ST_OK && r != FTL_NOTHING_RECLAIMED) return r;
  }
  int r = reclaim_eu(ctx, 1, true);
  return r == FTL_NOTHING_RECLAIMED ? ST_OK : r;
}
