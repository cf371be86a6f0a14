// Shared by the fuzz targets that damage images: after an overlay, the check
// values are made to match again so that the mutations get past them and
// reach the code behind them. Only whole units and blocks inside the buffer
// are touched.
#pragma once

#include <cstddef>
#include <cstdint>

#include "afs/AfsCrc.h"
#include "afs/AfsTypes.h"
#include "efs/EFS.h"

namespace fuzz_checks {

constexpr size_t kAfsUnit = 8192;

inline uint16_t rd16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

inline void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void set_afs_page_check(uint8_t* slot, uint16_t lpn) {
  const uint8_t two[2] = {static_cast<uint8_t>(lpn), static_cast<uint8_t>(lpn >> 8)};
  const uint16_t c = crc16(slot, AFS_PAGE_SIZE, two);
  slot[64] = static_cast<uint8_t>(c);
  slot[65] = static_cast<uint8_t>(c >> 8);
}

// Recomputes every erase unit's header check byte and every written page's
// check value (log pages from the chained page map, data pages from their
// slot).
inline void fix_afs_checks(uint8_t* image, size_t size) {
  for (size_t u = 0; u < size / kAfsUnit; ++u) {
    uint8_t* e = image + u * kAfsUnit;
    e[16] = crc8(e, 16);
    const uint16_t first = rd16(e + 14);
    if (first != 0) {
      for (uint32_t s = 0; s < AFS_DATA_SLOTS; ++s) {
        if (e[AFS_DATA_STATUS_OFFSET + s] != AFS_STATUS_FREE) {
          set_afs_page_check(e + AFS_DATA_SLOT_OFFSET + AFS_SLOT_SIZE * s, static_cast<uint16_t>(first + s));
        }
      }
      continue;
    }
    uint16_t prev = 0;
    for (uint32_t k = 0; k < AFS_LOG_SLOTS; ++k) {
      const uint16_t entry = rd16(e + AFS_LOG_MAP_OFFSET + 2 * k);
      if (entry == AFS_LOG_ENTRY_ERASED) break;
      const uint8_t two[2] = {static_cast<uint8_t>(prev), static_cast<uint8_t>(prev >> 8)};
      prev = static_cast<uint16_t>(entry ^ crc14(two, 2));
      set_afs_page_check(e + AFS_LOG_SLOT_OFFSET + AFS_SLOT_SIZE * k, prev);
    }
  }
}

inline bool erased(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0xFF) return false;
  }
  return true;
}

// Recomputes the CRCs of every block-map header and entry and of every data
// block's header and data area (erased ones stay erased) of an EFS image with
// `bm` block maps and `blocks` data blocks.
inline void fix_efs_checks(uint8_t* image, size_t size, uint32_t bm, uint32_t blocks) {
  const uint64_t entry = static_cast<uint64_t>(blocks) + 12;
  for (uint64_t i = 0; i < bm && (i + 1) * EFS_PAGE_SIZE <= size; ++i) {
    uint8_t* m = image + i * EFS_PAGE_SIZE;
    if (!erased(m, 16)) put32(m + 12, EFS_crc32(0, m, 12));
    for (uint64_t at = EFS_BM_FIRST_ENTRY; at + entry <= EFS_BM_ENTRY_LIMIT; at += entry) {
      if (!erased(m + at, entry)) {
        put32(m + at + blocks + 8, EFS_crc32(0, m + at, static_cast<uint32_t>(blocks + 8)));
      }
    }
  }
  for (uint64_t p = 0; p < blocks && (bm + p + 1) * EFS_PAGE_SIZE <= size; ++p) {
    uint8_t* b = image + (bm + p) * EFS_PAGE_SIZE;
    if (!erased(b, 16)) put32(b + 12, EFS_crc32(0, b, 12));
    if (!erased(b + 16, EFS_DATA_AREA_SIZE)) {
      put32(b + EFS_FOOTER_OFFSET, EFS_crc32(0, b + EFS_HEADER_SIZE, EFS_DATA_AREA_SIZE));
    }
  }
}

}  // namespace fuzz_checks
