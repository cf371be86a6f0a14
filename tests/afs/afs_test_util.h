// Shared helpers of the AFS volume tests: a volume over an in-memory image,
// and an independent reader that decodes an image straight from its bytes
// (erase-unit headers, log-unit page maps, data-unit slots, volume header and
// cluster table) without calling the library.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "afs/Afs.h"
#include "afs/AfsCache.h"
#include "afs/AfsTypes.h"

namespace afstest {

// The front end's mount flags, and creation (create + format with erase).
constexpr uint32_t kMountFlags = 0x20025;
constexpr uint32_t kCreateFlags = AFS_INIT_SIZE_TABLE | AFS_INIT_FTL | AFS_INIT_START_FTL | AFS_INIT_SET_FLASH |
                                  AFS_INIT_CREATE | AFS_INIT_FORMAT_ERASE;

using Bytes = std::vector<uint8_t>;
using Files = std::map<int, Bytes>;

inline Bytes pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b[i] = static_cast<uint8_t>(x >> 8);
  }
  return b;
}

// A volume over an image of `units` erase units.
class Volume {
 public:
  explicit Volume(uint32_t units) : flash(static_cast<size_t>(units) * 8192, 0xFF), staging(4096, 0) {}
  explicit Volume(Bytes image) : flash(std::move(image)), staging(4096, 0) {}
  ~Volume() { afs_free_context(&ctx); }
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  int init(uint32_t flags, uint32_t files = 1024, uint32_t lines = 10) {
    afs_free_context(&ctx);
    ctx = afs_context_t{};
    ctx.staging_buffer = staging.data();
    return afs_init(&ctx, flash.data(), 64, lines, files, 0, static_cast<uint32_t>(flash.size()), flags, 0, 0);
  }
  int create(uint32_t files = 1024) { return init(kCreateFlags, files); }
  int mount() { return init(kMountFlags); }

  int write(int id, uint32_t offset, const Bytes& data, uint32_t flags = 0) {
    return afs_writefile(&ctx, id, offset, static_cast<uint32_t>(data.size()), data.data(), flags);
  }
  int truncate(int id, uint32_t offset) { return afs_writefile(&ctx, id, offset, 0, nullptr, AFS_WRITE_TRUNCATE); }
  // Reads `length` bytes at `offset`; *rc gets the status.
  Bytes read(int id, uint32_t offset, uint32_t length, int* rc) {
    Bytes out(length + 1, 0xEE);
    uint32_t n = length;
    *rc = afs_readfile(&ctx, id, offset, &n, out.data());
    if (*rc != 0) return {};
    EXPECT_EQ(out[length], 0xEE) << "read wrote past the delivered bytes";
    out.resize(n);
    return out;
  }
  // The whole file, or an empty vector with *rc set.
  Bytes whole(int id, int* rc) {
    uint32_t size = 0;
    *rc = afs_getfilesize(&ctx, id, &size);
    if (*rc != 0) return {};
    Bytes b = read(id, 0, size, rc);
    if (*rc == 0) {
      EXPECT_EQ(b.size(), size) << "file " << id;
    }
    return b;
  }

  Bytes flash;
  Bytes staging;
  afs_context_t ctx{};
};

// ---- Independent reader ----------------------------------------------------------

inline uint16_t ref_crc16_step(uint16_t r, uint8_t x) {
  r = static_cast<uint16_t>(r ^ (x << 8));
  for (int i = 0; i < 8; ++i) r = static_cast<uint16_t>((r & 0x8000) ? ((r << 1) ^ 0x1021) : (r << 1));
  return r;
}
inline uint16_t ref_crc16_page(const uint8_t* data, uint16_t lpn) {
  uint16_t r = 0xFFFF;
  for (int i = 0; i < 64; ++i) r = ref_crc16_step(r, data[i]);
  r = ref_crc16_step(r, static_cast<uint8_t>(lpn));
  return ref_crc16_step(r, static_cast<uint8_t>(lpn >> 8));
}
// The 14-bit register is cut after every byte.
inline uint16_t ref_crc14_u16(uint16_t v) {
  uint16_t r = 0x3FFF;
  const uint8_t bytes[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
  for (uint8_t x : bytes) {
    uint16_t t = ref_crc16_step(0, static_cast<uint8_t>((r >> 8) ^ x));
    r = static_cast<uint16_t>((((r << 8) & 0xFFFF) ^ t) & 0x3FFF);
  }
  return r;
}
inline uint32_t rd32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
inline uint16_t rd16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

struct RawVolume {
  bool ok = false;
  std::string error;
  uint32_t volume_size = 0, file_count = 0, cluster_count = 0, data_start = 0;
  uint32_t data_units = 0, log_units = 0;
  Files files;           // slot -> content, for every slot holding a file
  std::vector<int> zombies;
};

// Decodes an image in the formats of the erase units, the volume header and
// the cluster table. Expects a cleanly written image (no interrupted reclaim).
inline RawVolume read_raw(const Bytes& img) {
  RawVolume out;
  const uint32_t units = static_cast<uint32_t>(img.size() / 8192);
  struct Copy {
    uint32_t seq;
    uint32_t unit;
    uint32_t slot;
  };
  std::map<uint32_t, Copy> meta;            // lpn -> newest copy
  std::map<uint32_t, uint32_t> data_unit;  // first page -> unit
  for (uint32_t u = 0; u < units; ++u) {
    const uint8_t* e = img.data() + static_cast<size_t>(u) * 8192;
    uint32_t magic = rd32(e), seq = rd32(e + 4), erases = rd32(e + 8);
    uint16_t first = rd16(e + 14);
    if (magic != 0xAA557887u || seq == 0 || erases == 0) continue;  // the spare
    if (e[17] != 0x00) {
      out.error = "uncommitted unit";
      return out;
    }
    if (first != 0) {
      data_unit[first] = u;
      ++out.data_units;
      continue;
    }
    ++out.log_units;
    uint16_t prev = 0;
    for (uint32_t k = 0; k < 120;) {
      uint16_t entry = rd16(e + 18 + 2 * k), after = rd16(e + 18 + 2 * (k + 1));
      if (after & 0x8000) {  // entry k not committed
        k += (entry == 0xFFFF) ? 1 : 2;
        continue;
      }
      uint16_t lpn = static_cast<uint16_t>(entry ^ ref_crc14_u16(prev));
      prev = lpn;
      auto it = meta.find(lpn);
      if (it == meta.end() || it->second.seq <= seq) meta[lpn] = Copy{seq, u, k};
      if (after == 0x7FFF) break;
      ++k;
    }
  }
  auto meta_page = [&](uint32_t lpn, uint8_t* dst) -> bool {
    auto it = meta.find(lpn);
    if (it == meta.end()) {
      std::memset(dst, 0, 64);
      return true;
    }
    const uint8_t* s = img.data() + static_cast<size_t>(it->second.unit) * 8192 + 260 + 66 * it->second.slot;
    if (ref_crc16_page(s, static_cast<uint16_t>(lpn)) != rd16(s + 64)) return false;
    std::memcpy(dst, s, 64);
    return true;
  };
  auto entry = [&](uint32_t index, uint16_t* v) -> bool {
    uint8_t page[64];
    uint32_t addr = 14 + 2 * index;
    if (!meta_page(addr / 64, page)) return false;
    *v = rd16(page + addr % 64);
    return true;
  };

  uint8_t head[64];
  if (!meta_page(0, head) || rd32(head) != 0x724F6201u) {
    out.error = "no volume header";
    return out;
  }
  out.volume_size = rd32(head + 8);
  out.file_count = rd16(head + 12);
  out.cluster_count = (out.volume_size - 2 * out.file_count - 14) / 66;
  out.data_start = (14 + 2 * (out.file_count + out.cluster_count) + 63) / 64 * 64;
  const uint32_t F = out.file_count, C = out.cluster_count;
  auto cluster_data = [&](uint32_t c, uint8_t* dst) -> bool {
    uint32_t idx = c - F, block = idx / 122, slot = idx % 122;
    auto it = data_unit.find(out.data_start / 64 + 122 * block);
    if (it == data_unit.end()) return false;
    const uint8_t* e = img.data() + static_cast<size_t>(it->second) * 8192;
    if (e[18 + slot] != 0x00) return false;
    const uint8_t* s = e + 140 + 66 * slot;
    if (ref_crc16_page(s, static_cast<uint16_t>(out.data_start / 64 + idx)) != rd16(s + 64)) return false;
    std::memcpy(dst, s, 64);
    return true;
  };
  for (uint32_t id = 0; id < F; ++id) {
    uint16_t v = 0;
    if (!entry(id, &v)) {
      out.error = "bad table page";
      return out;
    }
    if (v == 0) continue;
    if (v == 0xFFFE) {
      out.zombies.push_back(static_cast<int>(id));
      continue;
    }
    Bytes content;
    if (v != 0xFFFF) {
      uint32_t c = v, steps = 0;
      for (;;) {
        if (c < F || c >= F + C || ++steps > C) {
          out.error = "bad chain";
          return out;
        }
        uint8_t data[64];
        uint16_t next = 0;
        if (!cluster_data(c, data) || !entry(c, &next)) {
          out.error = "unreadable cluster";
          return out;
        }
        uint32_t n = (next >= F) ? 64 : next;
        content.insert(content.end(), data, data + n);
        if (next < F) break;
        c = next;
      }
    }
    out.files[static_cast<int>(id)] = content;
  }
  out.ok = true;
  return out;
}

// Every file of a mounted volume, through the library.
inline Files files_of(Volume& v) {
  Files out;
  for (int id = 0; id < v.ctx.file_count; ++id) {
    int rc = 0;
    Bytes b = v.whole(id, &rc);
    if (rc == 0) {
      out[id] = b;
    } else {
      EXPECT_EQ(rc, 2) << "file " << id;
    }
  }
  return out;
}

}  // namespace afstest
