// Mount of the translation layer: rebuilds the in-memory state from the unit
// headers and the log units' page maps, recovers an interrupted reclaim, and
// (once the volume's cluster bitmap is known) counts the data units' slots and
// places the allocation window.
#include <cstdlib>
#include <cstring>

#include "afs/AfsCrc.h"
#include "afs/AfsFtl.h"
#include "afs/AfsFtlInternal.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "common/le.h"
#include "common/status.h"

using namespace kelvra;
using namespace kelvra::afs::ftl;

namespace {

// Allocates the state and its tables for `units` units and `entries`
// metadata pages, releasing whatever the context held before.
int allocate_state(afs_context_t* ctx, uint32_t units, uint32_t entries) {
  ftl_free_state(ctx);
  afs_ftl_state_t* st = static_cast<afs_ftl_state_t*>(std::calloc(1, sizeof(afs_ftl_state_t)));
  if (st == nullptr) return ST_NOMEM;
  ctx->ftl = st;
  st->eu_records = static_cast<afs_eu_record_t*>(std::calloc(units ? units : 1, sizeof(afs_eu_record_t)));
  st->page_map = static_cast<afs_page_map_entry_t*>(std::calloc(entries ? entries : 1, sizeof(afs_page_map_entry_t)));
  if (st->eu_records == nullptr || st->page_map == nullptr) return ST_NOMEM;
  st->page_map_entries = entries;
  st->eu_count = static_cast<uint8_t>(units);
  return ST_OK;
}

uint16_t chain_key(uint16_t prev) {
  uint8_t two[2];
  le::put16(two, prev);
  return crc14(two, 2);
}

}  // namespace

int afs_physical_ftl_init(afs_context_t* ctx, uint32_t size, uint32_t flags) {
  if (ctx == nullptr) return ST_INVAL;
  // Geometry. The unit count is kept in 8 bits: 256 units read as 0.
  const uint8_t units = static_cast<uint8_t>(size / AFS_EU_SIZE);
  const bool geometry_ok = ctx->data_start % AFS_PAGE_SIZE == 0 && ctx->data_start <= ctx->volume_size;
  const uint32_t entries = geometry_ok ? ctx->data_start / AFS_PAGE_SIZE : 0;
  const uint32_t data_units = geometry_ok ? (ctx->volume_size - ctx->data_start) / AFS_DATA_BLOCK_BYTES : 0;
  const uint8_t first_data = static_cast<uint8_t>(units - 1u - data_units);

  afs_ftl_state_t* st = ctx->ftl;
  if ((flags & FTL_INIT_ALLOCATE) != 0 || st == nullptr || st->eu_records == nullptr || st->page_map == nullptr ||
      st->eu_count != units || st->page_map_entries != entries) {
    int r = allocate_state(ctx, units, entries);
    if (r != ST_OK) return r;
    st = ctx->ftl;
  }

  // Reset.
  std::memset(st->page_map, 0xFF, sizeof(afs_page_map_entry_t) * (entries ? entries : 1));
  std::memset(st->eu_records, 0, sizeof(afs_eu_record_t) * (units ? units : 1));
  st->sequence = units ? units - 1u : 0u;
  st->log_eu = FTL_NO_UNIT;
  st->log_slot = 0;
  st->alloc_next = 0;
  st->alloc_end = 0;
  st->spare_eu = FTL_NO_SPARE;
  st->prev_lpn = 0;
  st->check_status = 0;
  st->alloc_retry = 0;
  st->eu_count = units;
  st->first_data_eu = first_data;
  st->full_reclaim_cursor = 0;
  st->write_failed = 0;
  st->page_map_entries = entries;

  if ((flags & FTL_INIT_SET_FLASH) != 0) SpiFlashDrvInitialize(ctx->flash_base);

  if (units == 0) return ST_IO;
  if (gpBuffer == nullptr) return ST_IO;  // no flash to read
  // The geometry must fit the partition and the 16-bit page numbers: a
  // metadata lpn below 0x8000 (map entries keep bit 15 clear), every data
  // block's first page within 16 bits, and at least the spare beside the
  // data units.
  if (!geometry_ok || entries > 0x8000u || data_units + 1u > units) return ST_IO;
  if (static_cast<uint64_t>(entries) + static_cast<uint64_t>(data_units) * AFS_DATA_SLOTS > 0xFFFFu) return ST_IO;
  if (static_cast<uint64_t>(ctx->partition_offset) + static_cast<uint64_t>(units) * AFS_EU_SIZE > 0x100000000ull)
    return ST_IO;

  bool spare_needs_count = false;
  uint32_t target = FTL_NO_UNIT;
  uint16_t target_spare = 0;
  uint16_t target_entry0 = 0;
  uint32_t named_spare = 0;
  uint16_t current_chain = 0;

  for (uint32_t i = 0; i < units; ++i) {
    uint8_t head[20];
    if (read_unit(ctx, i, 0, sizeof head, head) != ST_OK) return ST_IO;
    Header h = decode_header(head);
    afs_eu_record_t& rec = st->eu_records[i];
    rec.seq = h.sequence;
    rec.erase_count = h.erase_count;
    const uint16_t entry0 = le::get16(head + 18);

    if (!header_valid(head)) {
      if (st->spare_eu != FTL_NO_SPARE) return ST_IO;
      st->spare_eu = static_cast<uint16_t>(i);
      // A retired unit keeps its erase count; erased or damaged flash does not.
      bool keeps = h.magic == 0 &&
                   (header_check(head, AFS_EU_MAGIC) == h.check || header_check(head, AFS_EU_MAGIC_ALT1) == h.check);
      spare_needs_count = !keeps;
      continue;
    }
    rec.first_page = h.first_page;
    if (h.state == AFS_EU_STATE_UNCOMMITTED) {
      if (target != FTL_NO_UNIT) return ST_IO;
      target = i;
      target_spare = h.spare;
      target_entry0 = entry0;
      continue;
    }
    if (h.sequence >= st->sequence) {
      st->sequence = h.sequence;
      named_spare = h.spare;
    }
    if (h.first_page != 0) continue;  // a data unit
    if (entry0 == AFS_LOG_ENTRY_ERASED) {
      rec.not_live = AFS_LOG_SLOTS;
      rec.free_count = 1;
      continue;
    }
    if (st->log_eu == FTL_NO_UNIT || st->eu_records[st->log_eu].seq <= h.sequence) {
      st->log_eu = i;
      if (ftl_process_pages(ctx, i, 1) != ST_OK) return ST_IO;
      current_chain = st->prev_lpn;
    } else {
      if (ftl_process_pages(ctx, i, 0) != ST_OK) return ST_IO;
    }
  }
  st->prev_lpn = current_chain;

  // Recovery of an interrupted reclaim.
  if (target == FTL_NO_UNIT) {
    if (st->spare_eu == FTL_NO_SPARE || st->spare_eu != named_spare) return ST_IO;
  } else if (st->spare_eu == FTL_NO_SPARE) {
    // The source was never retired: it still holds everything. The target
    // becomes the spare.
    st->spare_eu = static_cast<uint16_t>(target);
    st->eu_records[target].first_page = 0;
  } else {
    // The source was retired but the commit byte is missing: the copy is
    // complete. Commit it on flash now, so that the next reclaim (which
    // retires another unit) does not leave a second uncommitted header.
    if (target_spare != st->spare_eu) return ST_IO;
    afs_eu_record_t& rec = st->eu_records[target];
    st->sequence = rec.seq;
    const uint8_t committed = AFS_EU_STATE_COMMITTED;
    if (verified_write(ctx, target, AFS_EU_STATE_OFFSET, 1, &committed) != ST_OK) return ST_IO;
    if (rec.first_page == 0) {
      if (target_entry0 == AFS_LOG_ENTRY_ERASED) {
        rec.not_live = AFS_LOG_SLOTS;
        rec.free_count = 1;
      } else {
        // Logging continues in the target on its own chain.
        st->log_eu = target;
        if (ftl_process_pages(ctx, target, 1) != ST_OK) return ST_IO;
      }
    }
  }

  if (st->log_eu == FTL_NO_UNIT) {
    for (uint32_t i = 0; i < units; ++i) {
      if (i == st->spare_eu || st->eu_records[i].first_page != 0) continue;
      if (st->log_eu == FTL_NO_UNIT || st->eu_records[i].seq < st->eu_records[st->log_eu].seq) st->log_eu = i;
    }
  }

  if (spare_needs_count) {
    uint64_t sum = 0;
    for (uint32_t i = 0; i < units; ++i)
      if (i != st->spare_eu) sum += st->eu_records[i].erase_count;
    st->eu_records[st->spare_eu].erase_count = units > 1 ? static_cast<uint32_t>(sum / (units - 1u)) : 0u;
  }
  return ST_OK;
}

int ftl_process_pages(afs_context_t* ctx, uint32_t unit, int current) {
  afs_ftl_state_t* st = ctx->ftl;
  if (st == nullptr || unit >= st->eu_count) return ST_IO;
  afs_eu_record_t& rec = st->eu_records[unit];
  st->prev_lpn = 0;
  uint8_t raw[AFS_LOG_MAP_ENTRIES * 2];
  if (read_unit(ctx, unit, AFS_LOG_MAP_OFFSET, sizeof raw, raw) != ST_OK) return ST_IO;
  uint16_t entry[AFS_LOG_MAP_ENTRIES];
  for (uint32_t k = 0; k < AFS_LOG_MAP_ENTRIES; ++k) entry[k] = le::get16(raw + 2 * k);

  // Where writing resumes; a map that never ends leaves the unit full.
  uint32_t resume = AFS_LOG_SLOTS;
  uint32_t k = 0;
  while (k < AFS_LOG_SLOTS) {
    const uint16_t e = entry[k];
    const uint16_t next = entry[k + 1];
    if ((next & 0x8000u) != 0) {
      // Entry k never got its commit.
      rec.not_live = inc8(rec.not_live);
      if (e == AFS_LOG_ENTRY_ERASED) {
        ++k;
        continue;
      }
      // Torn: the writer went on two slots further.
      resume = k + 1;
      if (k + 1 == AFS_LOG_SLOTS) break;
      rec.not_live = inc8(rec.not_live);
      k += 2;
      resume = k;
      continue;
    }
    // A committed entry: unless an end mark follows, the unit is full from
    // here on (a later torn entry or end mark moves the resume point).
    resume = AFS_LOG_SLOTS;
    const uint32_t lpn = static_cast<uint16_t>(e ^ chain_key(st->prev_lpn));
    st->prev_lpn = static_cast<uint16_t>(lpn);
    if (lpn >= st->page_map_entries) return ST_IO;
    afs_page_map_entry_t& m = st->page_map[lpn];
    const bool mapped = m.unit != 0xFF && m.slot != 0xFF && m.unit < st->eu_count;
    if (mapped && st->eu_records[m.unit].seq > rec.seq) {
      rec.not_live = inc8(rec.not_live);  // an older copy
    } else {
      if (mapped) st->eu_records[m.unit].not_live = inc8(st->eu_records[m.unit].not_live);
      m.unit = static_cast<uint8_t>(unit);
      m.slot = static_cast<uint8_t>(k);
    }
    if (next == AFS_LOG_ENTRY_END) {
      resume = k + 1;
      rec.not_live = inc8(rec.not_live, AFS_LOG_SLOTS - 1 - k);
      break;
    }
    ++k;
  }

  if (current) {
    // Never write past the last erased slot: every entry from the resume
    // point on must still be erased (the one at the resume point may carry
    // the commit of its predecessor). Otherwise treat the unit as full.
    bool erased = true;
    if (resume < AFS_LOG_SLOTS) {
      if (entry[resume] != AFS_LOG_ENTRY_ERASED && entry[resume] != AFS_LOG_ENTRY_END) erased = false;
      for (uint32_t j = resume + 1; j < AFS_LOG_MAP_ENTRIES; ++j)
        if (entry[j] != AFS_LOG_ENTRY_ERASED) erased = false;
    }
    st->log_slot = erased ? resume : AFS_LOG_SLOTS;
  }
  return ST_OK;
}

int afs_physical_ftl_set_allocation_map(afs_context_t* ctx) {
  if (ctx == nullptr || ctx->ftl == nullptr || ctx->cluster_bitmap == nullptr) return ST_IO;
  afs_ftl_state_t* st = ctx->ftl;
  st->alloc_retry = 0;
  st->alloc_next = FTL_NO_WINDOW;
  uint32_t best = 0;
  for (uint32_t u = 0; u < st->eu_count; ++u) {
    afs_eu_record_t& rec = st->eu_records[u];
    if (rec.first_page == 0 || u == st->spare_eu) continue;
    uint32_t base = 0;
    if (!unit_base(ctx, u, &base)) return ST_IO;
    for (uint32_t v = 0; v < u; ++v)
      if (v != st->spare_eu && st->eu_records[v].first_page == rec.first_page) return ST_IO;
    const uint32_t usable = usable_slots(ctx, base);
    rec.not_live = static_cast<uint8_t>(usable);
    rec.free_count = 0;
    uint8_t status[AFS_DATA_SLOTS];
    if (read_unit(ctx, u, AFS_DATA_STATUS_OFFSET, AFS_DATA_SLOTS, status) != ST_OK) return ST_IO;
    int32_t first_free = -1;
    for (uint32_t k = 0; k < AFS_DATA_SLOTS; ++k) {
      const uint32_t c = base + k;
      if (bitmap_test(ctx, c)) {
        if (status[k] != AFS_STATUS_WRITTEN) return ST_IO;
        rec.not_live = dec8(rec.not_live);
      } else if (status[k] == AFS_STATUS_FREE && k < usable) {
        rec.free_count = inc8(rec.free_count);
        if (rec.seq > best && first_free < 0) first_free = static_cast<int32_t>(k);
      }
    }
    if (rec.free_count != 0 && rec.seq > best) {
      best = rec.seq;
      if (first_free >= 0) {
        st->alloc_next = base + static_cast<uint32_t>(first_free);
        st->alloc_end = base + usable;
      }
    }
  }
  st->check_status = 1;
  return ST_OK;
}
