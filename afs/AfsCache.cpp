#include "afs/AfsCache.h"

#include <cstdint>
#include <cstdlib>

#include "afs/Afs.h"
#include "afs/AfsFtl.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "common/le.h"
#include "common/status.h"

const afs_physical_handler_t afs_physical_spi_handler = {
    afs_physical_ftl_read_page,          afs_physical_ftl_write_page,
    afs_physical_ftl_trim_page,          afs_physical_ftl_force_full_reclaim,
    afs_physical_ftl_force_dirty_erase,
};

namespace {

using kelvra::ST_IMPOSSIBLE;
using kelvra::ST_INVAL;
using kelvra::ST_IO;
using kelvra::ST_NOMEM;
using kelvra::ST_OK;

inline uint16_t link_next(uint16_t link) { return static_cast<uint16_t>(link >> 2); }
inline uint16_t link_flags(uint16_t link) { return static_cast<uint16_t>(link & AFS_CACHE_FLAGS); }
inline uint16_t make_link(uint16_t next, uint16_t flags) {
  return static_cast<uint16_t>((static_cast<uint32_t>(next) << 2) | (flags & AFS_CACHE_FLAGS));
}
inline void set_next(afs_cache_line_t& line, uint16_t next) { line.link = make_link(next, link_flags(line.link)); }

bool have_cache(const afs_context_t* ctx) {
  return ctx->cache_dir != nullptr && ctx->cache_data != nullptr && ctx->cache_lines != 0 &&
         ctx->line_size != 0;
}

uint8_t* line_data(afs_context_t* ctx, uint16_t index) {
  return ctx->cache_data + static_cast<size_t>(index) * ctx->line_size;
}

// Rebuilds the list in index order, keeping every line's flags. Used only
// when a walk meets a link that cannot be part of a sound list.
void relink_all(afs_context_t* ctx) {
  uint16_t n = ctx->cache_lines;
  for (uint16_t i = 0; i < n; ++i) {
    uint16_t next = (i + 1 < n) ? static_cast<uint16_t>(i + 1) : static_cast<uint16_t>(AFS_CACHE_END);
    set_next(ctx->cache_dir[i], next);
  }
  ctx->lru_head = 0;
}

// Walks the list from the head and checks that it visits every line once and
// ends at the end mark; repairs it otherwise.
void ensure_sound_list(afs_context_t* ctx) {
  uint16_t n = ctx->cache_lines;
  uint16_t cur = ctx->lru_head;
  for (uint32_t steps = 0; steps < n; ++steps) {
    if (cur >= n) break;
    uint16_t next = link_next(ctx->cache_dir[cur].link);
    if (next == AFS_CACHE_END) {
      if (steps + 1 == n) return;
      break;
    }
    cur = next;
  }
  relink_all(ctx);
}

// Moves line `index`, whose predecessor in the list is `prev`, to the head.
void move_to_head(afs_context_t* ctx, uint16_t index, uint16_t prev) {
  if (index == ctx->lru_head) return;
  afs_cache_line_t* dir = ctx->cache_dir;
  set_next(dir[prev], link_next(dir[index].link));
  set_next(dir[index], ctx->lru_head);
  ctx->lru_head = index;
}

int store_line(afs_context_t* ctx, uint16_t index) {
  afs_cache_line_t& line = ctx->cache_dir[index];
  uint32_t address = static_cast<uint32_t>(line.page) * ctx->line_size;
  int rc = ctx->ops->write_page(ctx, address, ctx->line_size, line_data(ctx, index), ctx->partition_offset);
  if (rc != ST_OK) return rc;
  line.link = static_cast<uint16_t>(line.link & ~AFS_CACHE_DIRTY);
  return ST_OK;
}

}  // namespace

int cache_init(afs_context_t* ctx, uint32_t line_size, uint16_t lines) {
  if (ctx == nullptr) return ST_INVAL;
  bool has_dir = ctx->cache_dir != nullptr;
  bool has_data = ctx->cache_data != nullptr;
  if (has_dir != has_data) return ST_IMPOSSIBLE;
  // A line index must stay below the end mark, and a line must hold bytes.
  if (line_size == 0 || line_size > 0xFFFFu || lines == 0 || lines >= AFS_CACHE_END) return ST_INVAL;

  // Allocate first: a failure leaves the old cache as it was.
  auto* dir = static_cast<afs_cache_line_t*>(std::calloc(lines, sizeof(afs_cache_line_t)));
  auto* data = static_cast<uint8_t*>(std::calloc(lines, line_size));
  if (dir == nullptr || data == nullptr) {
    std::free(dir);
    std::free(data);
    return ST_NOMEM;
  }
  if (has_dir) {
    int rc = cache_flush(ctx);
    if (rc != ST_OK) {
      std::free(dir);
      std::free(data);
      return rc;
    }
    std::free(ctx->cache_dir);
    std::free(ctx->cache_data);
  }
  ctx->cache_dir = dir;
  ctx->cache_data = data;
  ctx->cache_lines = lines;
  for (uint16_t i = 0; i < lines; ++i) {
    uint16_t next = (i + 1 < lines) ? static_cast<uint16_t>(i + 1) : static_cast<uint16_t>(AFS_CACHE_END);
    dir[i].link = make_link(next, 0);
    dir[i].page = 0;
  }
  ctx->lru_head = 0;
  return ST_OK;
}

int cache_ptr(afs_context_t* ctx, uint16_t page, uint8_t** out) {
  if (ctx == nullptr || out == nullptr) return ST_INVAL;
  if (!have_cache(ctx) || ctx->ops == nullptr) return ST_IMPOSSIBLE;
  ensure_sound_list(ctx);

  afs_cache_line_t* dir = ctx->cache_dir;
  uint16_t prev = AFS_CACHE_END;
  uint16_t cur = ctx->lru_head;
  bool hit = false;
  for (;;) {
    uint16_t link = dir[cur].link;
    if ((link & AFS_CACHE_VALID) != 0 && dir[cur].page == page) {
      hit = true;
      break;
    }
    uint16_t next = link_next(link);
    if (next == AFS_CACHE_END) break;  // the least recently used line: the victim
    prev = cur;
    cur = next;
  }
  move_to_head(ctx, cur, prev);

  uint8_t* data = line_data(ctx, cur);
  if (!hit) {
    afs_cache_line_t& line = dir[cur];
    if ((line.link & (AFS_CACHE_VALID | AFS_CACHE_DIRTY)) == (AFS_CACHE_VALID | AFS_CACHE_DIRTY)) {
      int rc = store_line(ctx, cur);
      if (rc != ST_OK) return rc;
    }
    uint32_t address = static_cast<uint32_t>(page) * ctx->line_size;
    int rc = ctx->ops->read_page(ctx, address, ctx->line_size, data, ctx->partition_offset);
    if (rc != ST_OK) {
      // The line is clean at this point (stored above or never dirty); since
      // a failed read may have left part of its bytes behind, it no longer
      // counts as holding its page.
      line.link = static_cast<uint16_t>(line.link & ~(AFS_CACHE_VALID | AFS_CACHE_DIRTY));
      return rc;
    }
    line.page = page;
    line.link = make_link(link_next(line.link), AFS_CACHE_VALID);
  }
  *out = data;
  return ST_OK;
}

void cache_line_written(afs_context_t* ctx, const uint8_t* pointer) {
  if (ctx == nullptr || pointer == nullptr || !have_cache(ctx)) return;
  uintptr_t base = reinterpret_cast<uintptr_t>(ctx->cache_data);
  uintptr_t p = reinterpret_cast<uintptr_t>(pointer);
  uint64_t span = static_cast<uint64_t>(ctx->cache_lines) * ctx->line_size;
  if (p < base || static_cast<uint64_t>(p - base) >= span) return;
  uint16_t index = static_cast<uint16_t>((p - base) / ctx->line_size);
  ensure_sound_list(ctx);

  afs_cache_line_t* dir = ctx->cache_dir;
  if (index != ctx->lru_head) {
    uint16_t prev = ctx->lru_head;
    for (uint32_t steps = 0; steps < ctx->cache_lines; ++steps) {
      uint16_t next = link_next(dir[prev].link);
      if (next == index) {
        move_to_head(ctx, index, prev);
        break;
      }
      if (next == AFS_CACHE_END) break;
      prev = next;
    }
  }
  dir[index].link = static_cast<uint16_t>(dir[index].link | AFS_CACHE_DIRTY);
}

int cache_flush(afs_context_t* ctx) {
  if (ctx == nullptr) return ST_INVAL;
  if (!have_cache(ctx)) return ST_OK;  // nothing can be pending
  if (ctx->lru_head == AFS_CACHE_END) return ST_OK;
  if (ctx->ops == nullptr) return ST_IMPOSSIBLE;
  ensure_sound_list(ctx);

  const uint16_t wanted = AFS_CACHE_VALID | AFS_CACHE_DIRTY;
  for (;;) {
    // The least recently used line that is valid and dirty.
    uint16_t victim = AFS_CACHE_END;
    uint16_t cur = ctx->lru_head;
    for (uint32_t steps = 0; steps < ctx->cache_lines && cur < ctx->cache_lines; ++steps) {
      if ((ctx->cache_dir[cur].link & wanted) == wanted) victim = cur;
      cur = link_next(ctx->cache_dir[cur].link);
    }
    if (victim == AFS_CACHE_END) return ST_OK;
    int rc = store_line(ctx, victim);
    if (rc != ST_OK) return rc;
  }
}

void cache_invalidate(afs_context_t* ctx) {
  if (ctx == nullptr || ctx->cache_dir == nullptr) return;
  for (uint16_t i = 0; i < ctx->cache_lines; ++i) {
    ctx->cache_dir[i].link = static_cast<uint16_t>(ctx->cache_dir[i].link & ~AFS_CACHE_VALID);
  }
}

int afs_setcache(afs_context_t* ctx, int line_size, int lines) {
  if (ctx == nullptr) return ST_INVAL;
  if (line_size < 64 || line_size > 65535 || line_size % 64 != 0) return ST_INVAL;
  if (lines < static_cast<int>(AFS_CACHE_MIN_LINES) || lines > static_cast<int>(AFS_CACHE_MAX_LINES)) {
    return ST_INVAL;
  }
  // The translation layer moves exactly one 64-byte page per call: any other
  // line size would leave the rest of every line unread and unstored.
  if (line_size != static_cast<int>(AFS_CACHE_LINE_SIZE)) return ST_INVAL;
  if (!afs_context_mounted(ctx)) return ST_INVAL;
  int rc = cache_init(ctx, static_cast<uint32_t>(line_size), static_cast<uint16_t>(lines));
  if (rc != ST_OK) return rc;
  ctx->line_size = static_cast<uint16_t>(line_size);
  return ST_OK;
}

// ---- Raw partition operations ----------------------------------------------
// They map a logical address straight onto the partition; every access is
// kept inside the partition the context was mounted on.

namespace {
bool raw_range_ok(const afs_context_t* ctx, uint32_t address, uint32_t length) {
  return kelvra::range_fits(address, length, ctx->partition_size) &&
         static_cast<uint64_t>(ctx->partition_offset) + ctx->partition_size <= 0x100000000ull;
}
}  // namespace

int afs_sub_pt_read(afs_context_t* ctx, uint32_t address, uint32_t length, uint8_t* destination, uint32_t) {
  if (ctx == nullptr || (destination == nullptr && length != 0)) return ST_INVAL;
  if (!raw_range_ok(ctx, address, length)) return ST_INVAL;
  if (gpBuffer == nullptr) return ST_IO;
  return SpiDrvRead(ctx->partition_offset + address, length, destination);
}

int afs_sub_pt_write(afs_context_t* ctx, uint32_t address, uint32_t length, const uint8_t* source, uint32_t) {
  if (ctx == nullptr || (source == nullptr && length != 0)) return ST_INVAL;
  if (!raw_range_ok(ctx, address, length)) return ST_INVAL;
  if (gpBuffer == nullptr) return ST_IO;
  return SpiDrvWrite(ctx->partition_offset + address, length, source);
}

int afs_sub_pt_trim(afs_context_t*, uint32_t, uint32_t, uint32_t) { return ST_OK; }
