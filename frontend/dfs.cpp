// DFS layer: routes a DFS file number to AFS or EFS and folds their status
// codes into the few that the front end acts on.
#include "frontend/dfs.h"

#include <cstdlib>

#include "afs/Afs.h"
#include "afs/AfsCache.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "common/status.h"
#include "efs/EFS.h"

extern "C" {
KELVRA_API afs_context_t* dfs_context = nullptr;
KELVRA_API uint8_t dfs_reset_needed = 0;
}

namespace kelvra {
namespace dfs {
namespace {

uint32_t type_of(uint32_t number) { return (number >> TYPE_SHIFT) & TYPE_MASK; }

// Size queries, reads and deletes pass 0, 2 and 22; everything else is 5.
int32_t fold_read(int rc) { return (rc == ST_OK || rc == ST_NOENT || rc == ST_INVAL) ? rc : ST_IO; }

// Writes pass 0, 22, 27 and 28; everything else (2 included) is 5.
int32_t fold_write(int rc) {
  return (rc == ST_OK || rc == ST_INVAL || rc == ST_FBIG || rc == ST_NOSPC) ? rc : ST_IO;
}

}  // namespace


// AFS keeps the record of which contexts are mounted: a context whose mount
// failed, or that was unmounted, is refused, and a context that the host
// mounted itself with afs_init is served like one that dfs_init mounted.
bool context_ready() { return afs_context_mounted(dfs_context); }

void unmount() {
  afs_context_t* ctx = dfs_context;
  if (ctx == nullptr) return;
  // The driver forgets the image only when it is this volume's, so that a
  // volume the host mounted over another buffer keeps working.
  if (gpBuffer != nullptr && gpBuffer == ctx->flash_base) gpBuffer = nullptr;
  afs_free_context(ctx);
  ctx->flash_base = nullptr;
}

void release_context() {
  if (dfs_context == nullptr) return;
  afs_context_t* old = dfs_context;
  dfs_context = nullptr;
  afs_free_context(old);
  std::free(old->staging_buffer);
  std::free(old);
}

void reset_for_tests() { release_context(); }

}  // namespace dfs
}  // namespace kelvra

using namespace kelvra;
using namespace kelvra::dfs;

extern "C" {

KELVRA_API int32_t dfs_init(uint8_t* image, uint32_t size) {
  // The earlier context is no longer used by anything: release it with what
  // its mount allocated, so that repeated mounts do not pile up memory.
  release_context();
  auto* ctx = static_cast<afs_context_t*>(std::calloc(1, sizeof(afs_context_t)));
  auto* staging = static_cast<uint8_t*>(std::calloc(1, STAGING_SIZE));
  if (ctx == nullptr || staging == nullptr) {
    std::free(ctx);
    std::free(staging);
    dfs_context = nullptr;
    return -1;
  }
  ctx->staging_buffer = staging;
  dfs_context = ctx;
  return afs_init(ctx, image, MOUNT_LINE_SIZE, MOUNT_CACHE_LINES, MOUNT_FILE_SLOTS, 0, size, MOUNT_FLAGS, 0, 0);
}

KELVRA_API int32_t dfs_terminate(void) { return 0; }

KELVRA_API int32_t dfs_is_fs_erased(void) { return 0; }

KELVRA_API int32_t dfs_getsize(uint32_t number, uint32_t* size) {
  // Only the absence of any context is answered here; a context whose mount
  // failed is AFS's to refuse (22), and EFS numbers still go to EFS.
  if (dfs_context == nullptr) return ST_NOENT;
  const uint32_t type = type_of(number);
  if (type != TYPE_AFS && type != TYPE_EFS) return ST_INVAL;
  if (size == nullptr) return ST_INVAL;
  const uint32_t id = number & ID_MASK;
  const int rc = type == TYPE_AFS ? afs_getfilesize(dfs_context, static_cast<int>(id), size)
                                  : EFS_get_file_size(id, size);
  return fold_read(rc);
}

KELVRA_API int32_t dfs_read(uint32_t number, uint32_t offset, uint32_t* len, uint8_t* buffer) {
  const uint32_t type = type_of(number);
  if (type != TYPE_AFS && type != TYPE_EFS) return ST_INVAL;
  if (len == nullptr) return ST_INVAL;
  const uint32_t id = number & ID_MASK;
  if (type == TYPE_EFS) {
    if (!EFS_is_initialized()) return ST_NOENT;
    return fold_read(EFS_read(id, offset, len, buffer));
  }
  // Without a mounted volume AFS would see no context: its refusal is 22.
  if (!context_ready()) return ST_INVAL;
  return fold_read(afs_readfile(dfs_context, static_cast<int>(id), offset, len, buffer));
}

KELVRA_API int32_t dfs_write(uint32_t number, uint32_t offset, uint32_t len, const uint8_t* data,
                             uint32_t truncate) {
  const uint32_t type = type_of(number);
  if (type != TYPE_AFS && type != TYPE_EFS) return ST_INVAL;
  const uint32_t id = number & ID_MASK;
  if (type == TYPE_EFS) return fold_write(EFS_write(id, offset, len, data));
  if (!context_ready()) return ST_INVAL;
  return fold_write(afs_writefile(dfs_context, static_cast<int>(id), offset, len, data, truncate));
}

KELVRA_API int32_t dfs_delete_file(uint32_t number) {
  if (number & TYPE_BITS) return ST_INVAL;
  if (dfs_context == nullptr) return ST_NOENT;
  // AFS refuses a context whose mount failed with 22.
  return fold_read(afs_deletefile(dfs_context, static_cast<int>(number & ~TYPE_BITS)));
}

KELVRA_API int32_t dfs_mark_zombie_file(uint32_t number) {
  if (!context_ready()) return ST_INVAL;
  return afs_mark_zombie_file(dfs_context, number);
}

KELVRA_API int32_t dfs_set_page_size(uint32_t pageSize) {
  // A page size of 0 would divide by zero; AFS would refuse the geometry of
  // any size above 4096 anyway.
  if (pageSize == 0 || !context_ready()) return ST_INVAL;
  return afs_setcache(dfs_context, static_cast<int>(pageSize), static_cast<int>(8192u / pageSize));
}

KELVRA_API int32_t dfs_force_full_reclaim(void) {
  if (!context_ready()) return ST_INVAL;
  return afs_force_full_reclaim(dfs_context);
}

KELVRA_API int32_t dfs_force_dirty_erase(void) {
  if (!context_ready()) return ST_INVAL;
  return afs_force_dirty_erase(dfs_context);
}

KELVRA_API bool dfs_get_idle_reclaim_enabled(void) {
  if (!context_ready()) return false;
  return afs_get_idle_reclaim_enabled(dfs_context) != 0;
}

KELVRA_API void dfs_set_idle_reclaim_enabled(void) {
  if (!context_ready()) return;
  afs_set_idle_reclaim_enabled(dfs_context);
}

KELVRA_API int32_t dfs_idle_reclaim(void) {
  if (!context_ready()) return ST_INVAL;
  return afs_idle_reclaim(dfs_context);
}

KELVRA_API bool dfs_idle_reclaim_needed(void) {
  if (!context_ready()) return false;
  return afs_idle_reclaim_needed(dfs_context) != 0;
}

}  // extern "C"
