// AFS volume layout and mount: geometry, the checked reading of table
// entries, the trimming of table pages that hold no live entry, the mount
// and the release functions.
#include "afs/Afs.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "afs/AfsCache.h"
#include "afs/AfsFtl.h"
#include "afs/AfsInternal.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "common/le.h"
#include "common/status.h"

namespace kelvra {
namespace afs {

uint32_t chunk_cntr = 0;

namespace {

// Contexts whose last mount succeeded. A context leaves the set when a new
// mount of it starts and when it is released. The set is never destroyed, so
// contexts released during the process's exit still find it.
std::vector<const afs_context_t*>& mounted_contexts() {
  static auto* contexts = new std::vector<const afs_context_t*>();
  return *contexts;
}

void forget_mounted(const afs_context_t* ctx) {
  auto& v = mounted_contexts();
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == ctx) {
      v[i] = v.back();
      v.pop_back();
      return;
    }
  }
}

bool remember_mounted(const afs_context_t* ctx) {
  auto& v = mounted_contexts();
  for (const afs_context_t* c : v) {
    if (c == ctx) return true;
  }
  try {
    v.push_back(ctx);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

uint32_t round_up64(uint32_t v) { return (v + 63u) & ~63u; }

}  // namespace

bool geometry_from_header(uint32_t volume_size, uint32_t file_count, uint32_t partition_size,
                          VolumeGeometry* out) {
  if (file_count < AFS_MIN_FILE_COUNT || file_count > AFS_MAX_FILE_COUNT) return false;
  // The header and the file slots must fit, and the volume must fit the
  // partition that holds it.
  uint64_t table_min = AFS_TABLE_OFFSET + 2ull * file_count;
  if (volume_size < table_min || volume_size > partition_size) return false;
  uint64_t clusters = (volume_size - table_min) / 66u;
  // Cluster numbers must stay below the slot markers 0xFFFE and 0xFFFF.
  if (clusters > 0xFFFFu || file_count + clusters > AFS_SLOT_ZOMBIE) return false;
  uint64_t data_start = (AFS_TABLE_OFFSET + 2ull * (file_count + clusters) + 63u) & ~63ull;
  if (data_start > volume_size) return false;
  out->volume_size = volume_size;
  out->data_start = static_cast<uint32_t>(data_start);
  out->cluster_count = static_cast<uint16_t>(clusters);
  out->file_count = static_cast<uint16_t>(file_count);
  return true;
}

bool geometry_for_creation(uint32_t partition_size, uint32_t data_capacity, uint32_t file_count,
                           VolumeGeometry* out) {
  if (file_count < AFS_MIN_FILE_COUNT || file_count > AFS_MAX_FILE_COUNT) return false;
  uint32_t units = partition_size / AFS_EU_SIZE;
  if (units < 2 || units > AFS_MAX_EU) return false;
  // Start from every data unit the translation layer can hold and give units
  // back to the log while the header and table would crowd the log units:
  // their pages must leave a quarter of the log free for rewriting.
  uint32_t data_units = data_capacity / AFS_DATA_BLOCK_BYTES;
  for (;;) {
    if (data_units + 2 <= units) {
      uint32_t clusters = data_units * AFS_DATA_SLOTS;
      uint32_t data_start = round_up64(AFS_TABLE_OFFSET + 2u * (file_count + clusters));
      uint32_t volume_size = data_start + clusters * AFS_CLUSTER_SIZE;
      uint32_t log_units = units - 1 - data_units;
      uint32_t meta_pages = data_start / AFS_PAGE_SIZE;
      if (volume_size <= partition_size && meta_pages * 4 <= log_units * AFS_LOG_SLOTS * 3) {
        VolumeGeometry g{};
        // The header's values must give back exactly this geometry.
        if (geometry_from_header(volume_size, file_count, partition_size, &g) && g.data_start == data_start &&
            g.cluster_count == clusters) {
          *out = g;
          return true;
        }
      }
    }
    if (data_units == 0) return false;
    --data_units;
  }
}

}  // namespace afs
}  // namespace kelvra

using kelvra::ST_INVAL;
using kelvra::ST_IO;
using kelvra::ST_NOMEM;
using kelvra::ST_OK;
using kelvra::afs::VolumeGeometry;

namespace {

void apply_geometry(afs_context_t* ctx, const VolumeGeometry& g) {
  ctx->volume_size = g.volume_size;
  ctx->data_start = g.data_start;
  ctx->cluster_count = g.cluster_count;
  ctx->file_count = g.file_count;
}

// Starts the translation layer on a fresh state built for the context's
// current geometry.
int restart_ftl(afs_context_t* ctx, uint32_t extra_flags) {
  ftl_free_state(ctx);
  return afs_physical_ftl_init(ctx, ctx->partition_size, FTL_INIT_ALLOCATE | extra_flags);
}

// True when the data units that the translation layer found are exactly the
// blocks of the context's geometry, so a header for that geometry can be
// written without formatting.
bool layout_matches(const afs_context_t* ctx) {
  const afs_ftl_state_t* ftl = ctx->ftl;
  if (ftl == nullptr || ftl->eu_records == nullptr) return false;
  uint32_t data_bytes = ctx->volume_size - ctx->data_start;
  if (data_bytes % AFS_DATA_BLOCK_BYTES != 0) return false;
  uint32_t blocks = data_bytes / AFS_DATA_BLOCK_BYTES;
  uint32_t first_lpn = ctx->data_start / AFS_PAGE_SIZE;
  std::vector<bool> seen;
  try {
    seen.assign(blocks, false);
  } catch (const std::bad_alloc&) {
    return false;
  }
  uint32_t found = 0;
  for (uint32_t u = 0; u < ftl->eu_count; ++u) {
    if (u == ftl->spare_eu) continue;
    uint16_t fp = ftl->eu_records[u].first_page;
    if (fp == 0) continue;
    if (fp < first_lpn || (fp - first_lpn) % AFS_DATA_SLOTS != 0) return false;
    uint32_t b = (fp - first_lpn) / AFS_DATA_SLOTS;
    if (b >= blocks || seen[b]) return false;
    seen[b] = true;
    ++found;
  }
  return found == blocks;
}

// Formats the partition for a new volume of `file_count` slots and starts
// the translation layer on it. The context takes the new volume's geometry.
int format_for_creation(afs_context_t* ctx, uint32_t file_count, bool erase) {
  VolumeGeometry g{};
  uint32_t capacity = afs_physical_ftl_get_data_vas(ctx, 0);
  if (!kelvra::afs::geometry_for_creation(ctx->partition_size, capacity, file_count, &g)) return ST_IO;
  apply_geometry(ctx, g);
  // The format takes the unit count and the first data unit from the state of
  // a start attempt on this geometry; on unformatted flash that start fails,
  // which is expected here.
  int rc = restart_ftl(ctx, 0);
  if (rc == ST_NOMEM) return rc;
  if (ctx->ftl == nullptr) return ST_IO;
  rc = afs_physical_ftl_format(ctx, erase ? 1 : 0);
  if (rc != ST_OK) return rc;
  return afs_physical_ftl_init(ctx, ctx->partition_size, 0);
}

bool bitmap_bit(const afs_context_t* ctx, uint32_t k) {
  return (ctx->cluster_bitmap[k / 32] >> (k % 32)) & 1u;
}

}  // namespace

bool afs_context_mounted(const afs_context_t* ctx) {
  if (ctx == nullptr) return false;
  if (ctx->ops == nullptr || ctx->ftl == nullptr || ctx->cache_dir == nullptr || ctx->cache_data == nullptr) {
    return false;
  }
  if (ctx->file_count < AFS_MIN_FILE_COUNT || ctx->file_count > AFS_MAX_FILE_COUNT) return false;
  if (ctx->no_bitmap == 0 && ctx->cluster_bitmap == nullptr) return false;
  for (const afs_context_t* c : kelvra::afs::mounted_contexts()) {
    if (c == ctx) return true;
  }
  return false;
}

bool afs_is_cluster(const afs_context_t* ctx, uint32_t value) {
  return value >= ctx->file_count && value < static_cast<uint32_t>(ctx->file_count) + ctx->cluster_count;
}

int afs_put_entry(afs_context_t* ctx, uint16_t index, uint16_t value) {
  uint32_t address = AFS_TABLE_OFFSET + 2u * index;
  uint8_t* line = nullptr;
  int rc = cache_ptr(ctx, static_cast<uint16_t>(address / ctx->line_size), &line);
  if (rc != ST_OK) return rc;
  kelvra::le::put16(line + address % ctx->line_size, value);
  cache_line_written(ctx, line);
  return ST_OK;
}

int afs_get_next_cid(afs_context_t* ctx, uint16_t index, uint16_t* value) {
  using kelvra::afs::chunk_cntr;
  bool slot = index < ctx->file_count;
  if (slot) {
    chunk_cntr = 0;
  } else {
    ++chunk_cntr;
  }
  if (!slot && !afs_is_cluster(ctx, index)) return ST_IO;  // beyond the table

  uint32_t address = AFS_TABLE_OFFSET + 2u * index;
  uint8_t* line = nullptr;
  int rc = cache_ptr(ctx, static_cast<uint16_t>(address / ctx->line_size), &line);
  if (rc != ST_OK) return rc;
  uint16_t v = kelvra::le::get16(line + address % ctx->line_size);
  *value = v;

  bool ok;
  if (slot) {
    ok = v == AFS_SLOT_ABSENT || v == AFS_SLOT_ZOMBIE || v == AFS_SLOT_EMPTY || afs_is_cluster(ctx, v);
  } else {
    ok = v <= AFS_CLUSTER_SIZE || afs_is_cluster(ctx, v);
  }
  if (!ok) return ST_IO;
  // A chain cannot hold as many clusters as the volume: a longer walk is a
  // loop or a damaged table.
  if (!slot && chunk_cntr >= ctx->cluster_count) return ST_IO;
  return ST_OK;
}

void afs_trim_fat_page_if_needed(afs_context_t* ctx, uint16_t k) {
  if (ctx->no_bitmap != 0 || ctx->cluster_bitmap == nullptr) return;
  if (k > ctx->cluster_count) return;
  uint32_t line = ctx->line_size;
  uint32_t table_clusters = AFS_TABLE_OFFSET + 2u * ctx->file_count;  // address of the first cluster entry
  uint32_t page = (table_clusters + 2u * k) / line * line;
  if (page == ctx->last_fat_page) return;
  uint32_t last = ctx->last_fat_page;
  // Only pages wholly made of cluster entries, before the table's last page.
  if (last >= table_clusters && static_cast<uint64_t>(last) + line < ctx->data_start) {
    uint32_t k0 = (last - table_clusters) / 2;
    bool in_use = false;
    for (uint32_t i = 0; i < line / 2 && !in_use; ++i) {
      uint32_t kk = k0 + i;
      if (kk > ctx->cluster_count) break;
      in_use = bitmap_bit(ctx, kk);
    }
    if (!in_use) ctx->ops->trim_page(ctx, last, line, ctx->partition_offset);
  }
  ctx->last_fat_page = page;
}

void afs_free_file_size_table(afs_context_t* ctx) {
  if (ctx == nullptr || ctx->file_size_table == nullptr) return;
  std::free(ctx->file_size_table);
  ctx->file_size_table = nullptr;
}

void afs_free_context(afs_context_t* ctx) {
  if (ctx == nullptr) return;
  kelvra::afs::forget_mounted(ctx);
  std::free(ctx->cluster_bitmap);
  ctx->cluster_bitmap = nullptr;
  std::free(ctx->file_size_table);
  ctx->file_size_table = nullptr;
  std::free(ctx->cache_dir);
  ctx->cache_dir = nullptr;
  std::free(ctx->cache_data);
  ctx->cache_data = nullptr;
  ftl_free_state(ctx);
}

namespace {

// Steps 12 and 13 of the mount: walks every slot, fills the size table and
// the bitmap, hands the bitmap to the translation layer and trims the table
// pages whose clusters are all free.
int walk_volume(afs_context_t* ctx) {
  uint32_t* sizes = ctx->file_size_table;
  bool bitmap = ctx->no_bitmap == 0;
  for (uint32_t id = 0; id < ctx->file_count; ++id) {
    uint16_t v = 0;
    int rc = afs_get_next_cid(ctx, static_cast<uint16_t>(id), &v);
    if (rc != ST_OK) return rc;
    if (v == AFS_SLOT_ABSENT) continue;
    if (v == AFS_SLOT_ZOMBIE) {
      // A zombie left by an earlier session becomes absent; the change is
      // stored by the next operation that flushes.
      rc = afs_put_entry(ctx, static_cast<uint16_t>(id), AFS_SLOT_ABSENT);
      if (rc != ST_OK) return rc;
      continue;
    }
    if (v == AFS_SLOT_EMPTY) {
      if (sizes != nullptr) sizes[id] = 0;
      continue;
    }
    uint32_t size = 0;
    uint16_t c = v;
    for (;;) {
      if (bitmap) {
        uint32_t k = c - ctx->file_count;
        // Two chains sharing a cluster: the table is corrupt, and writing
        // either file would release clusters of the other.
        if (bitmap_bit(ctx, k)) return ST_IO;
        ctx->cluster_bitmap[k / 32] |= 1u << (k % 32);
      }
      uint16_t next = 0;
      rc = afs_get_next_cid(ctx, c, &next);
      if (rc != ST_OK) return rc;
      if (afs_is_cluster(ctx, next)) {
        size += AFS_CLUSTER_SIZE;
        c = next;
        continue;
      }
      size += next;
      break;
    }
    if (sizes != nullptr) sizes[id] = size;
  }
  if (!bitmap) return ST_OK;

  ctx->allocator_ready = 1;
  int rc = afs_physical_ftl_set_allocation_map(ctx);
  if (rc != ST_OK) return rc;
  // Bit cluster_count is never set, so the sweep ends on it and settles the
  // last page it visited.
  for (uint32_t k = 0; k <= ctx->cluster_count; ++k) {
    if (!bitmap_bit(ctx, k)) afs_trim_fat_page_if_needed(ctx, static_cast<uint16_t>(k));
  }
  return ST_OK;
}

}  // namespace

int afs_init(afs_context_t* ctx, uint8_t* flash_base, uint32_t line_size, uint32_t cache_lines,
             uint32_t file_count, uint32_t partition_offset, uint32_t partition_size, uint32_t flags,
             uint8_t header_byte4, uint32_t header_bits12) {
  // 1. Arguments; nothing is stored before they pass.
  if (ctx == nullptr) return ST_INVAL;
  if (line_size < 64 || line_size > 65535 || line_size % 64 != 0) return ST_INVAL;
  // The translation layer moves exactly one 64-byte page per call, and every
  // volume lives over it: other line sizes cannot work.
  if (line_size != AFS_CACHE_LINE_SIZE) return ST_INVAL;
  if (cache_lines < AFS_CACHE_MIN_LINES || cache_lines > AFS_CACHE_MAX_LINES) return ST_INVAL;
  if (file_count < AFS_MIN_FILE_COUNT || file_count > AFS_MAX_FILE_COUNT) return ST_INVAL;
  if (partition_size < AFS_MIN_PARTITION || partition_size > AFS_MAX_PARTITION) return ST_INVAL;
  if (static_cast<uint64_t>(partition_offset) + partition_size > 0x100000000ull) return ST_INVAL;
  if ((flags & AFS_INIT_SET_FLASH) != 0 && flash_base == nullptr) return ST_INVAL;

  kelvra::afs::forget_mounted(ctx);

  // 2. Context basics, then the mode bits.
  if ((flags & AFS_INIT_ZERO_CONTEXT) != 0) std::memset(ctx, 0, sizeof(*ctx));
  ctx->line_size = static_cast<uint16_t>(line_size);
  ctx->ops = &afs_physical_spi_handler;
  ctx->allocator_ready = 0;
  ctx->no_bitmap = 0;
  ctx->flash_base = flash_base;
  if ((flags & AFS_INIT_MODE_MASK) != AFS_INIT_FTL) return ST_INVAL;

  // 3.
  ctx->no_bitmap = (flags & AFS_INIT_NO_BITMAP) != 0 ? 1 : 0;
  ctx->partition_offset = partition_offset;
  ctx->partition_size = partition_size;
  // Changes still pending from an earlier mount of this context belong to
  // that mount's volume; they are dropped, not stored into this one.
  cache_invalidate(ctx);
  ctx->last_fat_page = 0;

  // 4. Provisional geometry: every logical page counts as metadata. A tail
  // of the partition shorter than a page cannot hold one.
  ctx->volume_size = partition_size & ~63u;
  ctx->data_start = partition_size & ~63u;
  ctx->cluster_count = static_cast<uint16_t>(partition_size / 64u);

  const bool format_allowed = (flags & (AFS_INIT_FORMAT | AFS_INIT_FORMAT_ERASE)) != 0;
  const bool erase = (flags & AFS_INIT_FORMAT_ERASE) != 0;
  const bool may_create = (flags & (AFS_INIT_CREATE | AFS_INIT_FORCE_FORMAT)) != 0;
  bool formatted = false;
  VolumeGeometry created{};

  // 5. Start the translation layer, formatting on request.
  if ((flags & AFS_INIT_START_FTL) != 0) {
    if ((flags & AFS_INIT_SET_FLASH) == 0 && gpBuffer == nullptr) return ST_IO;
    int rc = restart_ftl(ctx, (flags & AFS_INIT_SET_FLASH) != 0 ? FTL_INIT_SET_FLASH : 0);
    if (rc == ST_NOMEM) return rc;
    if (rc != ST_OK || (flags & AFS_INIT_FORCE_FORMAT) != 0) {
      if (!format_allowed) return ST_IO;
      rc = format_for_creation(ctx, file_count, erase);
      if (rc != ST_OK) return rc;
      formatted = true;
      created = {ctx->volume_size, ctx->data_start, ctx->cluster_count, ctx->file_count};
    }
  } else if (ctx->ftl == nullptr || gpBuffer == nullptr) {
    return ST_IO;
  }

  // 6. The cache.
  int rc = cache_init(ctx, line_size, static_cast<uint16_t>(cache_lines));
  if (rc != ST_OK) return rc;

  // 7. The volume header.
  uint8_t* line = nullptr;
  rc = cache_ptr(ctx, 0, &line);
  if (rc != ST_OK) return rc;
  uint8_t header[AFS_VOLUME_HEADER_SIZE];
  std::memcpy(header, line, sizeof(header));

  bool found = kelvra::le::get32(header) == AFS_VOLUME_MAGIC;
  VolumeGeometry g{};
  if (found) {
    if (!kelvra::afs::geometry_from_header(kelvra::le::get32(header + 8), kelvra::le::get16(header + 12),
                                           partition_size, &g)) {
      return ST_IO;
    }
    // A format without erasing can leave an older header readable; it
    // describes units that the format has just replaced.
    if (formatted && (g.volume_size != created.volume_size || g.file_count != created.file_count)) found = false;
  }

  if (found) {
    // 8. Restart the translation layer with the real data start.
    apply_geometry(ctx, g);
    rc = restart_ftl(ctx, 0);
    if (rc != ST_OK) return rc;
  } else {
    // 9. Create the header.
    if (!may_create) return ST_IO;
    if (!formatted) {
      if (!kelvra::afs::geometry_for_creation(partition_size, afs_physical_ftl_get_data_vas(ctx, 0), file_count,
                                              &g)) {
        return ST_IO;
      }
      apply_geometry(ctx, g);
      rc = restart_ftl(ctx, 0);
      if (rc == ST_NOMEM) return rc;
      if (rc != ST_OK || !layout_matches(ctx)) {
        // The partition's units are laid out for another volume: a header
        // can be written only after a format.
        if (!format_allowed) return ST_IO;
        rc = format_for_creation(ctx, file_count, erase);
        if (rc != ST_OK) return rc;
      }
    }
    // Lines read so far came through an earlier state of the layer.
    cache_invalidate(ctx);
    rc = cache_ptr(ctx, 0, &line);
    if (rc != ST_OK) return rc;
    std::memset(line, 0, ctx->line_size);
    kelvra::le::put32(header, AFS_VOLUME_MAGIC);
    header[4] = header_byte4;
    kelvra::le::put16(header + 5, static_cast<uint16_t>(header_bits12 & 0xFFFu));
    header[7] = 0;
    kelvra::le::put32(header + 8, ctx->volume_size);
    kelvra::le::put16(header + 12, ctx->file_count);
    std::memcpy(line, header, sizeof(header));
    cache_line_written(ctx, line);
    rc = cache_flush(ctx);
    if (rc != ST_OK) {
      cache_invalidate(ctx);
      return rc;
    }
  }

  // 10.
  ctx->file_count = kelvra::le::get16(header + 12);
  ctx->header_info = kelvra::le::get32(header + 4);

  // 11. Size table and bitmap, fresh for this mount.
  afs_free_file_size_table(ctx);
  std::free(ctx->cluster_bitmap);
  ctx->cluster_bitmap = nullptr;
  if ((flags & AFS_INIT_SIZE_TABLE) != 0) {
    ctx->file_size_table = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t) * ctx->file_count));
    if (ctx->file_size_table == nullptr) return ST_NOMEM;
    for (uint32_t i = 0; i < ctx->file_count; ++i) ctx->file_size_table[i] = AFS_NO_SIZE;
  }
  if (ctx->no_bitmap == 0) {
    size_t words = (static_cast<size_t>(ctx->cluster_count) + 1 + 31) / 32;
    ctx->cluster_bitmap = static_cast<uint32_t*>(std::calloc(words, sizeof(uint32_t)));
    if (ctx->cluster_bitmap == nullptr) return ST_NOMEM;
  }

  // 12, 13. Walk the chains.
  if (ctx->file_size_table != nullptr || ctx->no_bitmap == 0) {
    rc = walk_volume(ctx);
    if (rc != ST_OK) return rc;
  }

  // 14. Prefetch, inside the volume.
  if ((flags & AFS_INIT_PREFETCH) != 0) {
    uint32_t pages = ctx->volume_size / ctx->line_size;
    for (uint32_t p = 0; p < cache_lines && p < pages; ++p) {
      uint8_t* ignored = nullptr;
      (void)cache_ptr(ctx, static_cast<uint16_t>(p), &ignored);
    }
  }

  // 15.
  if (!kelvra::afs::remember_mounted(ctx)) return ST_NOMEM;
  return ST_OK;
}
