// Reclaim: copies the live pages of one unit into the spare (or, for a log
// unit, into the current or next log unit), commits the swap through the
// two-step header protocol and retires the source as the new spare. Also the
// choice of the unit with its wear-levelling rule and the idle reclaim.
#include <cstdlib>
#include <cstring>

#include "afs/AfsCrc.h"
#include "afs/AfsFtl.h"
#include "afs/AfsFtlInternal.h"
#include "common/le.h"
#include "common/status.h"

using namespace kelvra;
using namespace kelvra::afs::ftl;

namespace {

uint16_t chain_key(uint16_t prev) {
  uint8_t two[2];
  le::put16(two, prev);
  return crc14(two, 2);
}

// Reads `count` slots from `offset` of `unit` into `buf` and checks every
// page against its own lpn, up to 7 times.
int read_run(const afs_context_t* ctx, uint32_t unit, uint32_t offset, uint32_t count, const uint16_t* lpns,
             uint32_t first_lpn, uint8_t* buf) {
  for (uint32_t attempt = 0; attempt < AFS_FTL_ATTEMPTS; ++attempt) {
    if (read_unit(ctx, unit, offset, AFS_SLOT_SIZE * count, buf) != ST_OK) return ST_IO;
    bool good = true;
    for (uint32_t j = 0; j < count && good; ++j)
      good = slot_ok(buf + AFS_SLOT_SIZE * j, lpns != nullptr ? lpns[j] : first_lpn + j);
    if (good) return ST_OK;
  }
  return ST_IO;
}

int reclaim_data(afs_context_t* ctx, uint32_t source, uint32_t target, uint8_t* work) {
  afs_ftl_state_t* st = ctx->ftl;
  uint32_t base = 0;
  if (!unit_base(ctx, source, &base)) return ST_IO;
  afs_eu_record_t& src = st->eu_records[source];
  afs_eu_record_t& tgt = st->eu_records[target];
  const uint32_t usable = usable_slots(ctx, base);

  st->alloc_retry = 0;
  if (erase_unit(ctx, target) != ST_OK) return ST_IO;
  tgt.not_live = static_cast<uint8_t>(usable);
  tgt.free_count = static_cast<uint8_t>(usable);

  const bool move = st->alloc_next == FTL_NO_WINDOW || st->alloc_next >= st->alloc_end;
  if (move) {
    st->alloc_next = FTL_NO_WINDOW;
    st->alloc_end = base + usable;
  }

  const uint32_t source_offset = source * AFS_EU_SIZE;
  const uint32_t target_offset = target * AFS_EU_SIZE;
  uint32_t run = 0;  // live slots gathered from the current slot upwards
  for (int32_t k = AFS_DATA_SLOTS - 1; k >= 0; --k) {
    const uint32_t slot = static_cast<uint32_t>(k);
    const uint32_t c = base + slot;
    if (bitmap_test(ctx, c)) {
      tgt.not_live = dec8(tgt.not_live);
      ++run;
      if (run == AFS_RUN_MAX || slot == 0) {
        int r = ftl_copy_pages(ctx, source_offset, target_offset, slot, run, work, work + AFS_EU_HALF,
                               src.first_page + slot);
        if (r != ST_OK) return r;
        run = 0;
      }
    } else {
      if (run != 0) {
        int r = ftl_copy_pages(ctx, source_offset, target_offset, slot + 1, run, work, work + AFS_EU_HALF,
                               src.first_page + slot + 1);
        if (r != ST_OK) return r;
        run = 0;
      }
      if (move && c < ctx->cluster_count) st->alloc_next = c;
    }
  }
  int r = reclaim_eu_write_eu_header(ctx, target, source, target_offset, source_offset);
  if (r != ST_OK) return r;
  return (move && st->alloc_next == FTL_NO_WINDOW) ? FTL_NOTHING_RECLAIMED : ST_OK;
}

int reclaim_log(afs_context_t* ctx, uint32_t source, uint32_t target, uint8_t* work) {
  afs_ftl_state_t* st = ctx->ftl;
  afs_eu_record_t* recs = st->eu_records;

  // Where logging goes once the current log unit is full or is the source:
  // the lowest-sequence empty log unit, else the target.
  uint32_t alt = FTL_NO_UNIT;
  for (uint32_t u = 0; u < st->eu_count; ++u) {
    if (u == st->spare_eu || u == st->log_eu || u == source) continue;
    if (recs[u].first_page != 0 || recs[u].free_count == 0) continue;
    if (alt == FTL_NO_UNIT || recs[u].seq < recs[alt].seq) alt = u;
  }
  const uint32_t next = alt != FTL_NO_UNIT ? alt : target;

  // Erase the target; it becomes an empty log unit.
  if (erase_unit(ctx, target) != ST_OK) return ST_IO;
  recs[target].not_live = AFS_LOG_SLOTS;
  recs[target].free_count = 1;
  const uint32_t dead = recs[source].not_live;

  bool moved_to_next = false;
  if (st->log_eu >= st->eu_count || st->log_slot >= AFS_LOG_SLOTS || st->log_eu == source) {
    st->log_eu = next;
    st->log_slot = 0;
    st->prev_lpn = 0;
    moved_to_next = true;
  }

  // The lpn held by each live slot of the source.
  uint16_t at_slot[AFS_LOG_SLOTS];
  for (uint32_t s = 0; s < AFS_LOG_SLOTS; ++s) at_slot[s] = FTL_PAGE_UNMAPPED;
  for (uint32_t lpn = 0; lpn < st->page_map_entries; ++lpn) {
    const afs_page_map_entry_t m = st->page_map[lpn];
    if (m.unit == source && m.slot < AFS_LOG_SLOTS) at_slot[m.slot] = static_cast<uint16_t>(lpn);
  }

  // Copy runs of consecutive live slots to the log position.
  const uint32_t expected = dead < AFS_LOG_SLOTS ? AFS_LOG_SLOTS - dead : 0;
  uint32_t copied = 0;
  uint32_t run = 0, run_first = 0;
  bool done = false;
  const uint8_t commit = AFS_LOG_COMMIT_BYTE;
  auto write_run = [&]() -> int {
    const uint32_t unit = st->log_eu;
    if (unit >= st->eu_count) return ST_IO;
    const uint32_t at = st->log_slot;
    if (read_run(ctx, source, AFS_LOG_SLOT_OFFSET + AFS_SLOT_SIZE * run_first, run, at_slot + run_first, 0, work) !=
        ST_OK)
      return ST_IO;
    if (verified_write(ctx, unit, AFS_LOG_SLOT_OFFSET + AFS_SLOT_SIZE * at, AFS_SLOT_SIZE * run, work) != ST_OK)
      return ST_IO;
    uint8_t entries[2 * AFS_RUN_MAX];
    uint16_t chain = st->prev_lpn;
    for (uint32_t j = 0; j < run; ++j) {
      const uint16_t lpn = at_slot[run_first + j];
      le::put16(entries + 2 * j, static_cast<uint16_t>(lpn ^ chain_key(chain)));
      chain = lpn;
    }
    if (verified_write(ctx, unit, AFS_LOG_MAP_OFFSET + 2 * at, 2 * run, entries) != ST_OK) return ST_IO;
    // The run is on flash: remap its pages.
    for (uint32_t j = 0; j < run; ++j) {
      afs_page_map_entry_t& m = st->page_map[at_slot[run_first + j]];
      m.unit = static_cast<uint8_t>(unit);
      m.slot = static_cast<uint8_t>(at + j);
    }
    st->prev_lpn = chain;
    recs[unit].free_count = 0;
    st->log_slot = at + run;
    recs[unit].not_live = dec8(recs[unit].not_live, run);
    copied += run;
    run = 0;
    if (copied >= expected) {
      done = true;
      return ST_OK;
    }
    if (st->log_slot >= AFS_LOG_SLOTS) {
      if (verified_write(ctx, unit, AFS_LOG_MAP_OFFSET + 2 * AFS_LOG_SLOTS + 1, 1, &commit) != ST_OK) return ST_IO;
      // The next unit can be filled only once.
      if (moved_to_next) return ST_IO;
      st->log_eu = next;
      st->log_slot = 0;
      st->prev_lpn = 0;
      moved_to_next = true;
    }
    return ST_OK;
  };

  for (uint32_t s = 0; s < AFS_LOG_SLOTS && !done; ++s) {
    if (at_slot[s] != FTL_PAGE_UNMAPPED) {
      if (run == 0) run_first = s;
      ++run;
      if (run == AFS_RUN_MAX || s == AFS_LOG_SLOTS - 1 || st->log_slot + run >= AFS_LOG_SLOTS) {
        int r = write_run();
        if (r != ST_OK) return r;
      }
    } else if (run != 0) {
      int r = write_run();
      if (r != ST_OK) return r;
    }
  }

  // Commit the last copied entry (each earlier one is committed by the
  // entry after it).
  if (copied != 0 && st->log_slot != 0 && st->log_eu < st->eu_count) {
    if (verified_write(ctx, st->log_eu, AFS_LOG_MAP_OFFSET + 2 * st->log_slot + 1, 1, &commit) != ST_OK) return ST_IO;
  }

  int r = reclaim_eu_write_eu_header(ctx, target, source, target * AFS_EU_SIZE, source * AFS_EU_SIZE);
  if (r != ST_OK) return r;
  return dead == 0 ? FTL_NOTHING_RECLAIMED : ST_OK;
}

}  // namespace

int ftl_copy_pages(afs_context_t* ctx, uint32_t source_offset, uint32_t target_offset, uint32_t first_slot,
                   uint32_t count, uint8_t* work, uint8_t* readback, uint32_t lpn) {
  (void)readback;  // the verified write reads back into its own buffer
  if (count == 0) return ST_OK;
  if (first_slot >= AFS_DATA_SLOTS || count > AFS_RUN_MAX || count > AFS_DATA_SLOTS - first_slot) return ST_IO;
  const uint32_t source = source_offset / AFS_EU_SIZE;
  const uint32_t target = target_offset / AFS_EU_SIZE;
  const uint32_t offset = AFS_DATA_SLOT_OFFSET + AFS_SLOT_SIZE * first_slot;
  if (read_run(ctx, source, offset, count, nullptr, lpn, work) != ST_OK) return ST_IO;
  if (verified_write(ctx, target, offset, AFS_SLOT_SIZE * count, work) != ST_OK) return ST_IO;
  uint8_t zeros[AFS_RUN_MAX];
  std::memset(zeros, AFS_STATUS_WRITTEN, sizeof zeros);
  if (verified_write(ctx, target, AFS_DATA_STATUS_OFFSET + first_slot, count, zeros) != ST_OK) return ST_IO;
  afs_eu_record_t& tgt = ctx->ftl->eu_records[target];
  tgt.free_count = dec8(tgt.free_count, count);
  return ST_OK;
}

int reclaim_eu_write_eu_header(afs_context_t* ctx, uint32_t target, uint32_t source, uint32_t target_offset,
                               uint32_t source_offset) {
  (void)target_offset;
  (void)source_offset;
  afs_ftl_state_t* st = ctx->ftl;
  if (target >= st->eu_count || source >= st->eu_count) return ST_IO;
  afs_eu_record_t& tgt = st->eu_records[target];
  afs_eu_record_t& src = st->eu_records[source];
  st->sequence += 1;
  tgt.erase_count += 1;
  Header h;
  h.magic = AFS_EU_MAGIC;
  h.sequence = st->sequence;
  h.erase_count = tgt.erase_count;
  h.spare = static_cast<uint16_t>(source);
  h.first_page = src.first_page;
  h.state = AFS_EU_STATE_UNCOMMITTED;
  uint8_t bytes[AFS_EU_HEADER_SIZE];
  encode_header(h, bytes);
  if (verified_write(ctx, target, 0, AFS_EU_STATE_OFFSET, bytes) != ST_OK) return ST_IO;
  const uint8_t zero4[4] = {0, 0, 0, 0};
  if (verified_write(ctx, source, 0, 4, zero4) != ST_OK) return ST_IO;
  src.seq = 0;
  const uint8_t committed = AFS_EU_STATE_COMMITTED;
  if (verified_write(ctx, target, AFS_EU_STATE_OFFSET, 1, &committed) != ST_OK) return ST_IO;
  st->spare_eu = static_cast<uint16_t>(source);
  tgt.first_page = src.first_page;
  tgt.seq = st->sequence;
  src.not_live = 0;
  src.first_page = 0;
  return ST_OK;
}

int reclaim_eu(afs_context_t* ctx, uint32_t unit, bool copy) {
  if (ctx == nullptr || ctx->ftl == nullptr || ctx->ftl->eu_records == nullptr) return ST_IO;
  afs_ftl_state_t* st = ctx->ftl;
  if (unit >= st->eu_count) return ST_IO;
  if (unit == st->spare_eu) return ST_NOSPC;
  afs_eu_record_t& rec = st->eu_records[unit];
  // Only an empty log unit can take over logging without a copy.
  if (!copy && rec.first_page == 0 && rec.free_count == 0) copy = true;
  if (!copy) {
    if (rec.first_page == 0) {
      st->log_eu = unit;
      st->log_slot = 0;
      st->prev_lpn = 0;
      return ST_OK;
    }
    uint32_t base = 0;
    if (!unit_base(ctx, unit, &base)) return ST_IO;
    st->alloc_retry = 0;
    st->alloc_next = base;
    st->alloc_end = base + usable_slots(ctx, base);
    // The block may hold written slots whose clusters are free.
    st->check_status = 1;
    return ST_OK;
  }
  if (st->spare_eu >= st->eu_count) return ST_IO;
  // Which data slots are live is known only from the cluster bitmap; without
  // it a copy would drop live data.
  if (rec.first_page != 0 && ctx->cluster_bitmap == nullptr) return ST_INVAL;
  uint8_t* work = static_cast<uint8_t*>(std::malloc(AFS_EU_SIZE));
  if (work == nullptr) return ST_NOMEM;
  const uint32_t target = st->spare_eu;
  int r = rec.first_page != 0 ? reclaim_data(ctx, unit, target, work) : reclaim_log(ctx, unit, target, work);
  std::free(work);
  // A reclaim that stopped part-way leaves memory ahead of the flash: refuse
  // further writes until the next mount rebuilds the state.
  if (r == ST_IO) st->write_failed = 1;
  return r;
}

uint32_t choose_eu_to_reclaim(afs_context_t* ctx, uint32_t kind, bool wear_levelling, bool* copy, bool idle) {
  bool dummy = false;
  if (copy == nullptr) copy = &dummy;
  *copy = false;
  if (ctx == nullptr || ctx->ftl == nullptr || ctx->ftl->eu_records == nullptr) return FTL_NO_UNIT;
  afs_ftl_state_t* st = ctx->ftl;
  const afs_eu_record_t* recs = st->eu_records;
  uint32_t hint = FTL_NO_UNIT;

  if (idle) {
    uint32_t preferred = FTL_NO_UNIT, idle_kind = kind;
    if (!afs_physical_ftl_idle_reclaim_needed(ctx, &preferred, &idle_kind)) return FTL_NO_UNIT;
    kind = idle_kind;
    hint = preferred;
  } else if (kind == FTL_KIND_LOG || kind == FTL_KIND_DATA) {
    uint32_t pick = FTL_NO_UNIT;
    for (uint32_t u = 0; u < st->eu_count; ++u) {
      if (u == st->spare_eu || recs[u].free_count == 0) continue;
      if ((kind == FTL_KIND_LOG) != (recs[u].first_page == 0)) continue;
      if (pick == FTL_NO_UNIT || recs[u].seq < recs[pick].seq) pick = u;
    }
    if (pick != FTL_NO_UNIT) return pick;
  }

  uint32_t most = FTL_NO_UNIT, least = FTL_NO_UNIT;
  uint32_t most_dead = 0, most_ec = 0xFFFFFFFFu, low_ec = 0, high_ec = 0;
  for (uint32_t u = 0; u < st->eu_count; ++u) {
    if (u == st->spare_eu) continue;
    if (kind == FTL_KIND_LOG && recs[u].first_page != 0) continue;
    if (kind == FTL_KIND_DATA && recs[u].first_page == 0) continue;
    const uint32_t ec = recs[u].erase_count;
    if (most == FTL_NO_UNIT || recs[u].not_live > most_dead || (recs[u].not_live == most_dead && ec < most_ec)) {
      most = u;
      most_dead = recs[u].not_live;
      most_ec = ec;
    }
    if (least == FTL_NO_UNIT || ec < low_ec) {
      least = u;
      low_ec = ec;
    }
    if (ec > high_ec) high_ec = ec;
  }
  if (most == FTL_NO_UNIT) return FTL_NO_UNIT;  // no candidate at all
  *copy = true;
  if (wear_levelling && high_ec - low_ec >= 101 && high_ec % 10 == 0) return least;
  if (hint != FTL_NO_UNIT && hint < st->eu_count) return hint;
  return most;
}

int reclaim_eu_wrapper(afs_context_t* ctx, uint32_t kind) {
  if (ctx == nullptr || ctx->ftl == nullptr) return ST_IO;
  bool copy = false;
  uint32_t unit = choose_eu_to_reclaim(ctx, kind, true, &copy, false);
  if (unit == FTL_NO_UNIT) return ST_NOSPC;
  int r = reclaim_eu(ctx, unit, copy);
  if (r != FTL_NOTHING_RECLAIMED) return r;
  unit = choose_eu_to_reclaim(ctx, kind, false, &copy, false);
  if (unit == FTL_NO_UNIT) return ST_NOSPC;
  if (ctx->ftl->eu_records[unit].not_live == 0 && copy) return ST_NOSPC;
  r = reclaim_eu(ctx, unit, copy);
  return r == FTL_NOTHING_RECLAIMED ? ST_NOSPC : r;
}

bool afs_physical_ftl_idle_reclaim_needed(afs_context_t* ctx, uint32_t* unit, uint32_t* kind) {
  if (ctx == nullptr || ctx->ftl == nullptr || ctx->ftl->eu_records == nullptr) return false;
  afs_ftl_state_t* st = ctx->ftl;
  if (st->eu_count == 0) {
    if (kind) *kind = FTL_KIND_LOG;
    if (unit) *unit = FTL_NO_UNIT;
    return true;
  }
  uint32_t free_data = 0, dead_data = 0, free_log = 0;
  uint32_t cand = FTL_NO_UNIT;
  for (uint32_t u = 0; u < st->eu_count; ++u) {
    if (u == st->spare_eu) continue;
    const afs_eu_record_t& r = st->eu_records[u];
    bool fully_dead = false;
    if (r.first_page != 0) {
      free_data += r.free_count;
      dead_data += r.not_live;
      uint32_t base = 0;
      const uint32_t usable = unit_base(ctx, u, &base) ? usable_slots(ctx, base) : AFS_DATA_SLOTS;
      fully_dead = usable != 0 && r.not_live >= usable && r.free_count == 0;
    } else if (u == st->log_eu) {
      free_log += st->log_slot < AFS_LOG_SLOTS ? AFS_LOG_SLOTS - st->log_slot : 0;
    } else if (r.free_count != 0) {
      free_log += AFS_LOG_SLOTS;
    } else {
      fully_dead = r.not_live >= AFS_LOG_SLOTS;
    }
    if (fully_dead && (cand == FTL_NO_UNIT || r.erase_count < st->eu_records[cand].erase_count)) cand = u;
  }
  if (free_log <= 29) {
    if (kind) *kind = FTL_KIND_LOG;
    if (unit) *unit = FTL_NO_UNIT;
    return true;
  }
  if (free_data < 64 && dead_data > 96) {
    if (kind) *kind = FTL_KIND_DATA;
    if (unit) *unit = FTL_NO_UNIT;
    return true;
  }
  if (cand != FTL_NO_UNIT) {
    if (kind) *kind = st->eu_records[cand].first_page != 0 ? FTL_KIND_DATA : FTL_KIND_LOG;
    if (unit) *unit = cand;
    return true;
  }
  return false;
}

int afs_physical_ftl_idle_reclaim(afs_context_t* ctx) {
  if (ctx == nullptr || ctx->ftl == nullptr || ctx->ftl->eu_records == nullptr) return ST_IO;
  if (ctx->ftl->write_failed) return ST_IO;
  bool copy = false;
  uint32_t unit = choose_eu_to_reclaim(ctx, FTL_KIND_ANY, true, &copy, true);
  if (unit < ctx->ftl->eu_count && copy) return reclaim_eu(ctx, unit, true);
  return ST_OK;
}
