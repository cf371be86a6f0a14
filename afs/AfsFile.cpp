// AFS file operations: size, read, copy-on-write write, delete, zombie mark,
// cluster allocation and release, and the reclaim controls.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "afs/Afs.h"
#include "afs/AfsCache.h"
#include "afs/AfsFtl.h"
#include "afs/AfsInternal.h"
#include "common/le.h"
#include "common/status.h"

using kelvra::ST_IMPOSSIBLE;
using kelvra::ST_INVAL;
using kelvra::ST_IO;
using kelvra::ST_NOENT;
using kelvra::ST_NOMEM;
using kelvra::ST_OK;

namespace {

constexpr uint32_t kNoCluster = 0xFFFFFFFFu;
// Staging room that a run of data pages needs per page (page and check value).
constexpr uint32_t kStagedPageBytes = AFS_SLOT_SIZE;
// A run read at once: at most 62 pages, so it spans at most one block boundary.
constexpr uint32_t kMaxRun = AFS_RUN_MAX;
// Attempts of an allocation that the translation layer answers with
// flush-and-retry; it reclaims on the second call, so two suffice.
constexpr int kAllocAttempts = 4;

bool usable_id(const afs_context_t* ctx, int64_t id) { return id >= 0 && id < ctx->file_count; }

bool bit_set(const afs_context_t* ctx, uint32_t cluster) {
  if (ctx->no_bitmap != 0 || ctx->cluster_bitmap == nullptr) return true;
  uint32_t k = cluster - ctx->file_count;
  return (ctx->cluster_bitmap[k / 32] >> (k % 32)) & 1u;
}

uint32_t cluster_address(const afs_context_t* ctx, uint32_t cluster) {
  return ctx->data_start + (cluster - ctx->file_count) * AFS_CLUSTER_SIZE;
}

uint16_t cluster_page(const afs_context_t* ctx, uint32_t cluster) {
  return static_cast<uint16_t>(cluster_address(ctx, cluster) / ctx->line_size);
}

// Stores pending table changes; on failure they are discarded so the cache
// never holds changes that did not reach the flash.
int flush_or_discard(afs_context_t* ctx) {
  int rc = cache_flush(ctx);
  if (rc != ST_OK) cache_invalidate(ctx);
  return rc;
}

int allocate_with_retry(afs_context_t* ctx, uint16_t* cluster) {
  for (int attempt = 0; attempt < kAllocAttempts; ++attempt) {
    int rc = afs_allocate_chunk(ctx, cluster);
    if (rc != FTL_RETRY_AFTER_FLUSH) return rc;
    // The window ran out: store what is pending so the translation layer
    // sees every cluster in use before it reclaims.
    rc = cache_flush(ctx);
    if (rc != ST_OK) return rc;
  }
  return ST_IO;
}

}  // namespace

// ---- Allocation and release --------------------------------------------------

int afs_allocate_chunk(afs_context_t* ctx, uint16_t* cluster) {
  if (ctx->allocator_ready == 0 || ctx->cluster_bitmap == nullptr) return ST_IMPOSSIBLE;
  uint16_t c = 0;
  int rc = afs_physical_ftl_allocate_page(ctx, &c);
  if (rc != ST_OK) return rc;
  if (!afs_is_cluster(ctx, c) || bit_set(ctx, c)) return ST_IO;  // not a free cluster of this volume
  *cluster = c;
  return ST_OK;
}

int afs_release_resources(afs_context_t* ctx, uint16_t first, uint32_t count, const uint16_t* list,
                          uint32_t invalidate) {
  if (invalidate != 0) cache_invalidate(ctx);
  // Each release walk counts its own steps: it must not inherit the count of
  // the write's walk of the same file.
  kelvra::afs::chunk_cntr = 0;
  if (count != 0 && afs_is_cluster(ctx, first)) {
    uint32_t c = first;
    for (uint32_t i = 0;;) {
      int rc = ctx->ops->trim_page(ctx, cluster_address(ctx, c), ctx->line_size, ctx->partition_offset);
      if (rc != ST_OK) return rc;
      uint32_t next = kNoCluster;
      if (list != nullptr) {
        if (i + 1 < count) next = list[i];
      } else {
        uint16_t v = 0;
        rc = afs_get_next_cid(ctx, static_cast<uint16_t>(c), &v);
        if (rc != ST_OK) return rc;
        next = v;
      }
      afs_trim_fat_page_if_needed(ctx, static_cast<uint16_t>(c - ctx->file_count));
      ++i;
      if (i >= count || !afs_is_cluster(ctx, next)) break;
      c = next;
    }
  }
  afs_trim_fat_page_if_needed(ctx, ctx->cluster_count);
  return ST_OK;
}

// ---- Size ------------------------------------------------------------------------

int afs_getfilesize(afs_context_t* ctx, int id, uint32_t* size) {
  if (ctx == nullptr || size == nullptr || !afs_context_mounted(ctx) || !usable_id(ctx, id)) return ST_INVAL;
  if (ctx->file_size_table != nullptr) {
    uint32_t v = ctx->file_size_table[id];
    if (v == AFS_NO_SIZE) return ST_NOENT;
    *size = v;
    return ST_OK;
  }
  uint16_t slot = 0;
  int rc = afs_get_next_cid(ctx, static_cast<uint16_t>(id), &slot);
  if (rc != ST_OK) return rc;
  if (slot == AFS_SLOT_ABSENT || slot == AFS_SLOT_ZOMBIE) return ST_NOENT;
  if (slot == AFS_SLOT_EMPTY) {
    *size = 0;
    return ST_OK;
  }
  uint32_t total = 0;
  uint16_t c = slot;
  for (;;) {
    uint16_t next = 0;
    rc = afs_get_next_cid(ctx, c, &next);
    if (rc != ST_OK) return rc;
    if (!afs_is_cluster(ctx, next)) {
      total += next;
      break;
    }
    total += AFS_CLUSTER_SIZE;
    c = next;
  }
  *size = total;
  return ST_OK;
}

// ---- Read ----------------------------------------------------------------------------
// File data is read past the cache in runs of consecutive clusters, staged in
// the context's staging buffer (66 bytes per page while a run is checked,
// 64 after) and copied out to the caller in file order.

int afs_readfile(afs_context_t* ctx, int id, uint32_t offset, uint32_t* length, uint8_t* buffer) {
  if (ctx == nullptr || length == nullptr || !afs_context_mounted(ctx) || !usable_id(ctx, id)) return ST_INVAL;
  const uint32_t requested = *length;
  if (requested >= 0x80000000u) return ST_INVAL;
  if (buffer == nullptr && requested != 0) return ST_INVAL;
  uint8_t* staging = ctx->staging_buffer;
  if (staging == nullptr) return ST_INVAL;

  uint16_t slot = 0;
  int rc = afs_get_next_cid(ctx, static_cast<uint16_t>(id), &slot);
  if (rc != ST_OK) return rc;
  if (slot == AFS_SLOT_ABSENT || slot == AFS_SLOT_ZOMBIE) return ST_NOENT;
  if (slot == AFS_SLOT_EMPTY || requested == 0) {
    *length = 0;
    return ST_OK;
  }

  // Step over the clusters that end at or before the offset.
  uint64_t pos = 0;  // file offset of cluster c
  uint32_t c = slot;
  uint16_t next = 0;
  for (;;) {
    rc = afs_get_next_cid(ctx, static_cast<uint16_t>(c), &next);
    if (rc != ST_OK) return rc;
    uint32_t bytes = afs_is_cluster(ctx, next) ? AFS_CLUSTER_SIZE : next;
    if (pos + bytes > offset) break;
    if (!afs_is_cluster(ctx, next)) {
      *length = 0;  // the offset lies at or beyond the end of the file
      return ST_OK;
    }
    pos += AFS_CLUSTER_SIZE;
    c = next;
  }

  uint32_t skip = static_cast<uint32_t>(offset - pos);  // only in the first cluster read
  uint32_t remaining = requested;
  uint32_t delivered = 0;
  uint32_t fill = 0;         // staging bytes taken since the last copy-out
  uint32_t stage_start = 0;  // first useful staged byte
  uint32_t staged = 0;       // useful staged bytes
  for (;;) {
    // Gather a run starting at c while the next cluster follows on directly.
    uint32_t run_first = c;
    uint32_t run = 1;
    uint32_t run_bytes = (afs_is_cluster(ctx, next) ? AFS_CLUSTER_SIZE : next) - skip;
    while (afs_is_cluster(ctx, next) && next == c + 1 && bit_set(ctx, c) && bit_set(ctx, next) &&
           run < kMaxRun && fill + (run + 1) * kStagedPageBytes <= AFS_STAGING_SIZE && run_bytes < remaining) {
      c = next;
      rc = afs_get_next_cid(ctx, static_cast<uint16_t>(c), &next);
      if (rc != ST_OK) return rc;
      run_bytes += afs_is_cluster(ctx, next) ? AFS_CLUSTER_SIZE : next;
      ++run;
    }
    rc = afs_physical_ftl_read_data_pages(ctx, staging + fill, cluster_address(ctx, run_first), run);
    if (rc != ST_OK) return rc;
    if (staged == 0) stage_start = fill + skip;
    skip = 0;
    uint32_t useful = std::min(run_bytes, remaining);
    staged += useful;
    remaining -= useful;
    fill += run * AFS_CLUSTER_SIZE;

    bool chain_ends = !afs_is_cluster(ctx, next);
    if (remaining == 0 || chain_ends || fill + kStagedPageBytes > AFS_STAGING_SIZE) {
      std::memmove(buffer + delivered, staging + stage_start, staged);
      delivered += staged;
      fill = 0;
      staged = 0;
    }
    if (remaining == 0 || chain_ends) break;
    c = next;
    rc = afs_get_next_cid(ctx, static_cast<uint16_t>(c), &next);
    if (rc != ST_OK) return rc;
  }
  *length = delivered;
  return ST_OK;
}

// ---- Write ---------------------------------------------------------------------------

namespace {

// Writes the empty-file marker into a slot and stores it.
int make_empty(afs_context_t* ctx, int id, uint16_t slot) {
  if (slot == AFS_SLOT_EMPTY) return ST_OK;
  int rc = afs_put_entry(ctx, static_cast<uint16_t>(id), AFS_SLOT_EMPTY);
  if (rc != ST_OK) {
    cache_invalidate(ctx);
    return rc;
  }
  return flush_or_discard(ctx);
}

}  // namespace

int afs_writefile(afs_context_t* ctx, int id, uint32_t offset, uint32_t length, const uint8_t* data,
                  uint32_t flags) {
  if (ctx == nullptr || !afs_context_mounted(ctx) || !usable_id(ctx, id)) return ST_INVAL;
  if (data == nullptr && length != 0) return ST_INVAL;
  const bool truncate = (flags & AFS_WRITE_TRUNCATE) != 0;
  const uint64_t end = static_cast<uint64_t>(offset) + length;
  if (offset > AFS_MAX_FILE_EXTENT || length > AFS_MAX_FILE_EXTENT || end > AFS_MAX_FILE_EXTENT) {
    if (length != 0 || truncate) return kelvra::ST_FBIG;
  }
  // Allocation and release need the cluster bitmap.
  if (ctx->no_bitmap != 0 || ctx->allocator_ready == 0) return ST_IMPOSSIBLE;

  uint16_t slot = 0;
  int rc = afs_get_next_cid(ctx, static_cast<uint16_t>(id), &slot);
  if (rc != ST_OK) return rc;
  const bool has_chain = afs_is_cluster(ctx, slot);
  uint32_t* sizes = ctx->file_size_table;

  if (length == 0 && !truncate) {
    // Creates an empty file when there is none; a file with data keeps it.
    if (has_chain) return ST_OK;
    rc = make_empty(ctx, id, slot);
    if (rc != ST_OK) return rc;
    if (sizes != nullptr) sizes[id] = 0;
    return ST_OK;
  }
  if (length == 0 && offset == 0) {
    // Truncation to nothing: the slot marks an empty file, the chain goes.
    rc = make_empty(ctx, id, slot);
    if (rc != ST_OK) return rc;
    if (sizes != nullptr) sizes[id] = 0;
    if (!has_chain) return ST_OK;
    return afs_release_resources(ctx, slot, 0xFFFFFFFFu, nullptr, 0);
  }

  // Positions are 64-byte ranges of the file; the write covers positions up
  // to the one holding its last byte (for a truncation, the byte before the
  // new end).
  const uint32_t last_pos = static_cast<uint32_t>((end - 1) / AFS_CLUSTER_SIZE);

  // Keep the leading clusters that the write does not touch: those that have
  // a successor and end at or before the offset, and a full last cluster
  // that ends exactly at the offset. The last kept one holds the head link.
  uint32_t holder = static_cast<uint32_t>(id);
  uint32_t pos = 0;
  uint32_t cur = has_chain ? slot : kNoCluster;  // old cluster at `pos`
  uint16_t cur_entry = 0;                        // its table entry
  while (cur != kNoCluster) {
    rc = afs_get_next_cid(ctx, static_cast<uint16_t>(cur), &cur_entry);
    if (rc != ST_OK) return rc;
    bool link = afs_is_cluster(ctx, cur_entry);
    uint64_t cluster_end = static_cast<uint64_t>(pos + 1) * AFS_CLUSTER_SIZE;
    bool keep = (link && cluster_end <= offset) || (!link && cur_entry == AFS_CLUSTER_SIZE && cluster_end == offset);
    if (!keep) break;
    holder = cur;
    ++pos;
    cur = link ? cur_entry : kNoCluster;
  }
  const uint32_t first_touched = pos;
  const uint32_t first_replaced = cur;

  if (first_touched > last_pos) {
    // A zero-length truncation at a cluster boundary: the kept cluster that
    // ends there becomes the last one.
    if (first_replaced == kNoCluster) {
      if (sizes != nullptr) sizes[id] = offset;
      return ST_OK;  // the file already ends there
    }
    rc = afs_put_entry(ctx, static_cast<uint16_t>(holder), AFS_CLUSTER_SIZE);
    if (rc != ST_OK) {
      cache_invalidate(ctx);
      return rc;
    }
    rc = flush_or_discard(ctx);
    if (rc != ST_OK) return rc;
    if (sizes != nullptr) sizes[id] = offset;
    return afs_release_resources(ctx, static_cast<uint16_t>(first_replaced), 0xFFFFFFFFu, nullptr, 0);
  }

  // Chain list: the head link holder, the new clusters in file order, then
  // the value that ends the new chain.
  const uint32_t touched = last_pos - first_touched + 1;
  auto* chain = static_cast<uint16_t*>(std::malloc(sizeof(uint16_t) * (touched + 2)));
  if (chain == nullptr) return ST_NOMEM;
  chain[0] = static_cast<uint16_t>(holder);
  uint32_t allocated = 0;
  bool old_here = false;  // whether the last touched position had an old cluster
  uint16_t old_entry = 0;

  for (uint32_t p = first_touched; p <= last_pos; ++p) {
    uint8_t bytes[AFS_CLUSTER_SIZE];
    std::memset(bytes, 0, sizeof(bytes));
    old_here = cur != kNoCluster;
    if (old_here) {
      old_entry = cur_entry;
      uint32_t old_count = afs_is_cluster(ctx, cur_entry) ? AFS_CLUSTER_SIZE : cur_entry;
      if (old_count != 0) {
        uint8_t* old_line = nullptr;
        rc = cache_ptr(ctx, cluster_page(ctx, cur), &old_line);
        if (rc != ST_OK) break;
        std::memcpy(bytes, old_line, old_count);
      }
    }
    // The caller's bytes that fall into this position.
    uint64_t lo = std::max<uint64_t>(offset, static_cast<uint64_t>(p) * AFS_CLUSTER_SIZE);
    uint64_t hi = std::min<uint64_t>(end, static_cast<uint64_t>(p + 1) * AFS_CLUSTER_SIZE);
    if (hi > lo) {
      std::memcpy(bytes + (lo - static_cast<uint64_t>(p) * AFS_CLUSTER_SIZE), data + (lo - offset),
                  static_cast<size_t>(hi - lo));
    }

    uint16_t fresh = 0;
    rc = allocate_with_retry(ctx, &fresh);
    if (rc != ST_OK) break;
    chain[1 + allocated] = fresh;
    ++allocated;
    uint8_t* line = nullptr;
    rc = cache_ptr(ctx, cluster_page(ctx, fresh), &line);
    if (rc != ST_OK) break;
    std::memcpy(line, bytes, AFS_CLUSTER_SIZE);
    cache_line_written(ctx, line);

    // Move along the old chain, keeping the last touched position's entry.
    if (p < last_pos && cur != kNoCluster) {
      if (afs_is_cluster(ctx, cur_entry)) {
        cur = cur_entry;
        rc = afs_get_next_cid(ctx, static_cast<uint16_t>(cur), &cur_entry);
        if (rc != ST_OK) break;
      } else {
        cur = kNoCluster;
      }
    }
  }

  if (rc == ST_OK) {
    uint16_t end_value = static_cast<uint16_t>(end % AFS_CLUSTER_SIZE == 0 ? AFS_CLUSTER_SIZE : end % AFS_CLUSTER_SIZE);
    uint16_t tail = end_value;
    if (!truncate && old_here) {
      // Without truncation the file keeps whatever followed the write.
      tail = afs_is_cluster(ctx, old_entry) ? old_entry : std::max(end_value, old_entry);
    }
    chain[touched + 1] = tail;
    // Link from the tail towards the head: the head link is marked written
    // last, so the flush stores it after everything it makes reachable.
    for (uint32_t i = touched + 1; i >= 1 && rc == ST_OK; --i) {
      rc = afs_put_entry(ctx, chain[i - 1], chain[i]);
    }
    if (rc == ST_OK) rc = cache_flush(ctx);
  }
  if (rc != ST_OK) {
    // The old file is untouched on the flash: drop every pending change and
    // give the new clusters back.
    if (allocated != 0) {
      (void)afs_release_resources(ctx, chain[1], allocated, chain + 2, 1);
    } else {
      cache_invalidate(ctx);
    }
    std::free(chain);
    return rc;
  }
  std::free(chain);

  if (sizes != nullptr) {
    if (truncate) {
      sizes[id] = static_cast<uint32_t>(end);
    } else {
      uint32_t old = sizes[id] == AFS_NO_SIZE ? 0 : sizes[id];
      sizes[id] = std::max<uint32_t>(old, static_cast<uint32_t>(end));
    }
  }
  if (first_replaced == kNoCluster) return ST_OK;
  // Release what the new chain replaced: with truncation the whole old chain
  // from the first replaced cluster, else as many clusters as were written.
  return afs_release_resources(ctx, static_cast<uint16_t>(first_replaced), truncate ? 0xFFFFFFFFu : touched,
                               nullptr, 0);
}

// ---- Delete and zombie mark ------------------------------------------------------

int afs_deletefile(afs_context_t* ctx, int id) {
  if (ctx == nullptr || !afs_context_mounted(ctx) || !usable_id(ctx, id)) return ST_INVAL;
  // Releasing clusters needs the cluster bitmap.
  if (ctx->no_bitmap != 0 || ctx->allocator_ready == 0) return ST_IMPOSSIBLE;
  uint16_t slot = 0;
  int rc = afs_get_next_cid(ctx, static_cast<uint16_t>(id), &slot);
  if (rc != ST_OK) return rc;
  if (slot == AFS_SLOT_ABSENT) return ST_NOENT;
  rc = afs_put_entry(ctx, static_cast<uint16_t>(id), AFS_SLOT_ABSENT);
  if (rc != ST_OK) {
    cache_invalidate(ctx);
    return rc;
  }
  rc = flush_or_discard(ctx);
  if (rc != ST_OK) return rc;
  if (afs_is_cluster(ctx, slot)) rc = afs_release_resources(ctx, slot, 0x7FFFFFFFu, nullptr, 0);
  if (ctx->file_size_table != nullptr) ctx->file_size_table[id] = AFS_NO_SIZE;
  return rc;
}

int afs_mark_zombie_file(afs_context_t* ctx, uint32_t id) {
  if (ctx == nullptr || !afs_context_mounted(ctx)) return ST_INVAL;
  if (static_cast<int32_t>(id) < 0 || id >= ctx->file_count) return ST_INVAL;
  uint16_t slot = 0;
  int rc = afs_get_next_cid(ctx, static_cast<uint16_t>(id), &slot);
  if (rc != ST_OK) return rc;
  if (slot != AFS_SLOT_ABSENT) return ST_IMPOSSIBLE;
  rc = afs_put_entry(ctx, static_cast<uint16_t>(id), AFS_SLOT_ZOMBIE);
  if (rc != ST_OK) {
    cache_invalidate(ctx);
    return rc;
  }
  return flush_or_discard(ctx);
}

// ---- Reclaim controls ------------------------------------------------------------
// Reclaiming data units reads the cluster bitmap, so a volume mounted
// without one is refused.

int afs_idle_reclaim(afs_context_t* ctx) {
  if (!afs_context_mounted(ctx)) return ST_INVAL;
  if (ctx->no_bitmap != 0) return ST_IMPOSSIBLE;
  return afs_physical_ftl_idle_reclaim(ctx);
}

bool afs_idle_reclaim_needed(afs_context_t* ctx) {
  if (!afs_context_mounted(ctx) || ctx->no_bitmap != 0) return false;
  uint32_t unit = 0;
  uint32_t kind = 0;
  return afs_physical_ftl_idle_reclaim_needed(ctx, &unit, &kind);
}

bool afs_get_idle_reclaim_enabled(afs_context_t* ctx) { return ctx != nullptr && ctx->idle_reclaim_enabled != 0; }

void afs_set_idle_reclaim_enabled(afs_context_t* ctx) {
  if (ctx != nullptr) ctx->idle_reclaim_enabled = 1;
}

int afs_force_full_reclaim(afs_context_t* ctx) {
  if (!afs_context_mounted(ctx)) return ST_INVAL;
  if (ctx->no_bitmap != 0) return ST_IMPOSSIBLE;
  return ctx->ops->force_full_reclaim(ctx);
}

int afs_force_dirty_erase(afs_context_t* ctx) {
  if (!afs_context_mounted(ctx)) return ST_INVAL;
  if (ctx->no_bitmap != 0) return ST_IMPOSSIBLE;
  return ctx->ops->force_dirty_erase(ctx);
}
