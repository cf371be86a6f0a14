// DFS layer: one file-number space over AFS (the mounted MFS image) and EFS.
//
// DFS file number: bits 0..10 file id, bits 11..12 file-system type (0 AFS,
// 2 EFS; 1 and 3 are refused), bits 28..31 carried from the file table's
// file number without a meaning.
#pragma once

#include <cstdint>

#include "afs/AfsTypes.h"
#include "include/KelvraStorageLib.h"

// dfs_context, dfs_reset_needed and the dfs_ functions are declared with the
// host's interface.

namespace kelvra {
namespace dfs {

constexpr uint32_t TYPE_SHIFT = 11;
constexpr uint32_t TYPE_MASK = 3;
constexpr uint32_t TYPE_AFS = 0;
constexpr uint32_t TYPE_EFS = 2;
// Bits 11, 12 and 28..31 cleared: the id handed to AFS or EFS.
constexpr uint32_t ID_MASK = 0x0FFFE7FFu;
constexpr uint32_t TYPE_BITS = 0x1800u;
// The library's mount: 64-byte cache lines, 10 lines, 1024 file slots,
// size table, translation-layer mode, start it, hand it the image.
constexpr uint32_t MOUNT_LINE_SIZE = 64;
constexpr uint32_t MOUNT_CACHE_LINES = 10;
constexpr uint32_t MOUNT_FILE_SLOTS = 1024;
constexpr uint32_t MOUNT_FLAGS = 0x20025u;
constexpr uint32_t STAGING_SIZE = 4096;

// True while AFS counts dfs_context as mounted.
bool context_ready();

// Unmounts the volume of dfs_context: AFS no longer counts it as mounted and
// releases what the mount allocated, and neither the context nor the flash
// driver keeps the image's address, so the host may release the image.
// Every DFS operation then answers as for a volume that is not mounted. The
// context itself stays in dfs_context until the next dfs_init.
void unmount();

// Tests only: releases the context and returns to the state at load.
void reset_for_tests();

}  // namespace dfs
}  // namespace kelvra
