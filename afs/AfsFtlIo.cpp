// Page I/O of the translation layer: metadata pages out of place into the
// current log unit, data pages into their fixed slot, checked reads, trims and
// the allocation window.
#include <cstring>

#include "afs/AfsCrc.h"
#include "afs/AfsFtl.h"
#include "afs/AfsFtlInternal.h"
#include "common/le.h"
#include "common/status.h"

using namespace kelvra;
using namespace kelvra::afs::ftl;

namespace {

bool ready(const afs_context_t* ctx) {
  return ctx != nullptr && ctx->ftl != nullptr && ctx->ftl->eu_records != nullptr && ctx->ftl->page_map != nullptr;
}

uint16_t chain_key(uint16_t prev) {
  uint8_t two[2];
  le::put16(two, prev);
  return crc14(two, 2);
}

int write_meta(afs_context_t* ctx, uint32_t lpn, const uint8_t* data) {
  afs_ftl_state_t* st = ctx->ftl;
  if (lpn >= st->page_map_entries) return ST_IO;
  if (st->log_eu >= st->eu_count) return ST_IO;  // no log unit at all
  if (st->log_slot >= AFS_LOG_SLOTS) {
    int r = reclaim_eu_wrapper(ctx, FTL_KIND_LOG);
    if (r != ST_OK) return r;
    if (st->log_eu >= st->eu_count || st->log_slot >= AFS_LOG_SLOTS) return ST_IO;
  }
  const uint32_t unit = st->log_eu;
  const uint32_t k = st->log_slot;
  uint8_t entry[2];
  le::put16(entry, static_cast<uint16_t>(lpn ^ chain_key(st->prev_lpn)));
  uint8_t slot[AFS_SLOT_SIZE];
  build_slot(data, lpn, slot);
  st->eu_records[unit].free_count = 0;

  const uint8_t commit = AFS_LOG_COMMIT_BYTE;
  if (verified_write(ctx, unit, AFS_LOG_MAP_OFFSET + 2 * k, 2, entry) != ST_OK ||
      verified_write(ctx, unit, AFS_LOG_SLOT_OFFSET + AFS_SLOT_SIZE * k, AFS_SLOT_SIZE, slot) != ST_OK ||
      verified_write(ctx, unit, AFS_LOG_MAP_OFFSET + 2 * (k + 1) + 1, 1, &commit) != ST_OK) {
    // The log position on flash is no longer known: refuse further writes
    // until the next mount reads it back.
    st->write_failed = 1;
    return ST_IO;
  }

  afs_page_map_entry_t& m = st->page_map[lpn];
  if (m.unit != 0xFF && m.slot != 0xFF && m.unit < st->eu_count)
    st->eu_records[m.unit].not_live = inc8(st->eu_records[m.unit].not_live);
  m.unit = static_cast<uint8_t>(unit);
  m.slot = static_cast<uint8_t>(k);
  st->log_slot = k + 1;
  st->prev_lpn = static_cast<uint16_t>(lpn);
  st->eu_records[unit].not_live = dec8(st->eu_records[unit].not_live);
  return ST_OK;
}

int write_data(afs_context_t* ctx, uint32_t address, const uint8_t* data) {
  afs_ftl_state_t* st = ctx->ftl;
  const uint32_t c = (address - ctx->data_start) / AFS_PAGE_SIZE;
  if (c >= ctx->cluster_count) return ST_IO;
  const uint32_t unit = locate_block(ctx, c / AFS_DATA_SLOTS);
  if (unit == FTL_NO_UNIT) return ST_IO;
  const uint32_t k = c % AFS_DATA_SLOTS;
  const uint32_t lpn = address / AFS_PAGE_SIZE;
  uint8_t slot[AFS_SLOT_SIZE];
  build_slot(data, lpn, slot);

  uint8_t status = 0;
  if (read_unit(ctx, unit, AFS_DATA_STATUS_OFFSET + k, 1, &status) != ST_OK) return ST_IO;
  if (status != AFS_STATUS_FREE) return ST_IO;  // a slot is written once between erasures
  const uint8_t writing = AFS_STATUS_WRITING, written = AFS_STATUS_WRITTEN;
  if (verified_write(ctx, unit, AFS_DATA_STATUS_OFFSET + k, 1, &writing) != ST_OK) return ST_IO;
  afs_eu_record_t& rec = st->eu_records[unit];
  rec.free_count = dec8(rec.free_count);
  if (verified_write(ctx, unit, AFS_DATA_SLOT_OFFSET + AFS_SLOT_SIZE * k, AFS_SLOT_SIZE, slot) != ST_OK) return ST_IO;
  if (verified_write(ctx, unit, AFS_DATA_STATUS_OFFSET + k, 1, &written) != ST_OK) return ST_IO;
  bitmap_set(ctx, c);
  rec.not_live = dec8(rec.not_live);
  return ST_OK;
}

}  // namespace

int afs_physical_ftl_write_page(afs_context_t* ctx, uint32_t address, uint32_t, const uint8_t* source, uint32_t) {
  if (!ready(ctx) || source == nullptr) return ST_IO;
  if (ctx->ftl->write_failed) return ST_IO;
  if (address < ctx->data_start) return write_meta(ctx, address / AFS_PAGE_SIZE, source);
  return write_data(ctx, address, source);
}

int afs_physical_ftl_read_page(afs_context_t* ctx, uint32_t address, uint32_t, uint8_t* destination, uint32_t) {
  if (!ready(ctx) || destination == nullptr) return ST_IO;
  afs_ftl_state_t* st = ctx->ftl;
  const uint32_t lpn = address / AFS_PAGE_SIZE;
  if (address < ctx->data_start) {
    if (lpn >= st->page_map_entries) return ST_IO;
    const afs_page_map_entry_t m = st->page_map[lpn];
    if (m.unit == 0xFF || m.slot == 0xFF) {
      std::memset(destination, 0, AFS_PAGE_SIZE);
      return ST_OK;
    }
    if (m.unit >= st->eu_count || m.slot >= AFS_LOG_SLOTS) return ST_IO;
    return read_checked_slot(ctx, m.unit, AFS_LOG_SLOT_OFFSET + AFS_SLOT_SIZE * m.slot, lpn, destination);
  }
  const uint32_t c = (address - ctx->data_start) / AFS_PAGE_SIZE;
  if (!ctx->no_bitmap && ctx->cluster_bitmap != nullptr && !bitmap_test(ctx, c)) {
    std::memset(destination, 0, AFS_PAGE_SIZE);
    return ST_OK;
  }
  const uint32_t unit = locate_block(ctx, c / AFS_DATA_SLOTS);
  if (unit == FTL_NO_UNIT) return ST_IO;
  return read_checked_slot(ctx, unit, AFS_DATA_SLOT_OFFSET + AFS_SLOT_SIZE * (c % AFS_DATA_SLOTS), lpn, destination);
}

int read_ftl_data_pages(afs_context_t* ctx, uint32_t unit, uint32_t slot, uint32_t count, uint32_t lpn,
                        uint8_t* destination) {
  if (count == 0) return ST_OK;
  if (!ready(ctx) || unit >= ctx->ftl->eu_count || slot >= AFS_DATA_SLOTS || count > AFS_DATA_SLOTS - slot)
    return ST_IO;
  const uint32_t length = AFS_SLOT_SIZE * count;
  for (uint32_t attempt = 0; attempt < AFS_FTL_ATTEMPTS; ++attempt) {
    if (read_unit(ctx, unit, AFS_DATA_SLOT_OFFSET + AFS_SLOT_SIZE * slot, length, destination) != ST_OK) return ST_IO;
    bool good = true;
    for (uint32_t j = 0; j < count; ++j) {
      // Page j's raw slot lies at 66 j; the pages before it have been moved
      // down to 64 i, which never reaches 66 j.
      if (!slot_ok(destination + AFS_SLOT_SIZE * j, lpn + j)) {
        good = false;
        break;
      }
      std::memmove(destination + AFS_PAGE_SIZE * j, destination + AFS_SLOT_SIZE * j, AFS_PAGE_SIZE);
    }
    if (good) return ST_OK;
  }
  return ST_IO;
}

int afs_physical_ftl_read_data_pages(afs_context_t* ctx, uint8_t* destination, uint32_t address, uint32_t count) {
  if (!ready(ctx) || destination == nullptr) return ST_IO;
  if (count == 0) return ST_OK;
  if (address < ctx->data_start) return ST_IO;
  const uint32_t c = (address - ctx->data_start) / AFS_PAGE_SIZE;
  const uint32_t lpn = address / AFS_PAGE_SIZE;
  const uint32_t block = c / AFS_DATA_SLOTS;
  const uint32_t slot = c % AFS_DATA_SLOTS;
  // At most one block boundary.
  if (count > 2 * AFS_DATA_SLOTS - slot) return ST_IO;
  if (!ctx->no_bitmap && ctx->cluster_bitmap != nullptr && !bitmap_test(ctx, c)) {
    // A free first cluster: the whole run reads as zeros.
    std::memset(destination, 0, static_cast<size_t>(AFS_PAGE_SIZE) * count);
    return ST_OK;
  }
  const uint32_t unit = locate_block(ctx, block);
  if (unit == FTL_NO_UNIT) return ST_IO;
  if (slot + count <= AFS_DATA_SLOTS) return read_ftl_data_pages(ctx, unit, slot, count, lpn, destination);
  const uint32_t first = AFS_DATA_SLOTS - slot;
  if (read_ftl_data_pages(ctx, unit, slot, first, lpn, destination) != ST_OK) return ST_IO;
  const uint32_t next = locate_block(ctx, block + 1);
  if (next == FTL_NO_UNIT) return ST_IO;
  return read_ftl_data_pages(ctx, next, 0, count - first, lpn + first, destination + AFS_PAGE_SIZE * first);
}

int afs_physical_ftl_trim_page(afs_context_t* ctx, uint32_t address, uint32_t, uint32_t) {
  if (!ready(ctx)) return ST_OK;
  afs_ftl_state_t* st = ctx->ftl;
  if (address < ctx->data_start) {
    const uint32_t lpn = address / AFS_PAGE_SIZE;
    if (lpn >= st->page_map_entries) return ST_OK;
    afs_page_map_entry_t& m = st->page_map[lpn];
    if (m.unit != 0xFF && m.slot != 0xFF) {
      if (m.unit < st->eu_count) st->eu_records[m.unit].not_live = inc8(st->eu_records[m.unit].not_live);
      m.unit = 0xFF;
      m.slot = 0xFF;
    }
    return ST_OK;
  }
  const uint32_t c = (address - ctx->data_start) / AFS_PAGE_SIZE;
  const uint32_t unit = locate_block(ctx, c / AFS_DATA_SLOTS);
  if (st->alloc_next != FTL_NO_WINDOW && st->alloc_next / AFS_DATA_SLOTS == c / AFS_DATA_SLOTS) st->check_status = 1;
  if (bitmap_test(ctx, c)) {
    bitmap_clear(ctx, c);
    if (unit != FTL_NO_UNIT) st->eu_records[unit].not_live = inc8(st->eu_records[unit].not_live);
  }
  return ST_OK;
}

int afs_physical_ftl_allocate_page(afs_context_t* ctx, uint16_t* cluster) {
  if (!ready(ctx) || cluster == nullptr) return ST_IO;
  afs_ftl_state_t* st = ctx->ftl;
  if (st->write_failed) return ST_IO;
  if (st->alloc_next == FTL_NO_WINDOW) {
    if (st->alloc_retry == 0) {
      st->alloc_retry = 1;
      return FTL_RETRY_AFTER_FLUSH;
    }
    int r = reclaim_eu_wrapper(ctx, FTL_KIND_DATA);
    if (r != ST_OK) return r;
    if (st->alloc_next == FTL_NO_WINDOW) return ST_NOSPC;
  }
  if (ctx->cluster_count == 0) return ST_NOSPC;
  uint32_t tries = 0;
  for (;;) {
    if (st->alloc_next >= st->alloc_end) {
      if (st->alloc_retry == 0) {
        st->alloc_retry = 1;
        return FTL_RETRY_AFTER_FLUSH;
      }
      int r = reclaim_eu_wrapper(ctx, FTL_KIND_DATA);
      if (r != ST_OK) return r;
      if (st->alloc_next == FTL_NO_WINDOW || st->alloc_next >= st->alloc_end) return ST_NOSPC;
      continue;
    }
    const uint32_t c = st->alloc_next;
    bool skip = false;
    if (c >= ctx->cluster_count || bitmap_test(ctx, c)) {
      skip = true;
    } else if (st->check_status == 1) {
      const uint32_t unit = locate_block(ctx, c / AFS_DATA_SLOTS);
      if (unit == FTL_NO_UNIT) {
        skip = true;
      } else {
        uint8_t status = 0;
        if (read_unit(ctx, unit, AFS_DATA_STATUS_OFFSET + c % AFS_DATA_SLOTS, 1, &status) != ST_OK) return ST_IO;
        skip = status != AFS_STATUS_FREE;
      }
    }
    if (!skip) {
      const uint32_t number = c + ctx->file_count;
      if (number > 0xFFFFu) return ST_NOSPC;
      *cluster = static_cast<uint16_t>(number);
      ++st->alloc_next;
      return ST_OK;
    }
    ++st->alloc_next;
    if (++tries >= ctx->cluster_count) return ST_NOSPC;
  }
}

uint32_t afs_physical_ftl_get_data_vas(afs_context_t* ctx, uint32_t) {
  if (ctx == nullptr) return 0;
  const uint32_t n = ctx->partition_size / AFS_EU_SIZE;
  if (n / 12 + 1 > n) return 0;
  const uint32_t spares = (n >= 2 && n <= 11) ? 2 : 1 + n / 12;
  return (n - spares) * AFS_DATA_BLOCK_BYTES;
}
