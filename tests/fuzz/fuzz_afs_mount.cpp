// Fuzz target: mount an AFS image of 4 to 8 erase units whose bytes are a
// created volume with a few files, overlaid with fuzz bytes at fuzz-chosen
// offsets; then query and read files, write one and mount again. Nothing may
// crash, touch memory outside the image or hang.
//
// Input: byte 0 picks the unit count (and, with its top bit, that the check
// values are made to match again after the overlay, so that the mount gets
// past them), byte 1 the file that gets written; then records of
// (offset: 2 bytes, length: 1 byte, bytes).

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "afs/Afs.h"
#include "afs/AfsTypes.h"
#include "image_checks.h"
#include "overlay.h"

namespace {

constexpr uint32_t kUnit = 8192;
constexpr uint32_t kMountFlags = 0x20025;  // the front end's mount
constexpr uint32_t kCreateFlags = AFS_INIT_SIZE_TABLE | AFS_INIT_FTL | AFS_INIT_START_FTL | AFS_INIT_SET_FLASH |
                                  AFS_INIT_CREATE | AFS_INIT_FORMAT_ERASE;
constexpr int kIds[] = {0, 1, 2, 3, 5, 64, 1023};

struct Volume {
  std::vector<uint8_t> staging = std::vector<uint8_t>(AFS_STAGING_SIZE, 0);
  afs_context_t ctx{};
  ~Volume() { afs_free_context(&ctx); }
  int init(std::vector<uint8_t>& image, uint32_t flags) {
    afs_free_context(&ctx);
    ctx = afs_context_t{};
    ctx.staging_buffer = staging.data();
    return afs_init(&ctx, image.data(), 64, 10, 1024, 0, static_cast<uint32_t>(image.size()), flags, 0, 0);
  }
};

// A created volume of `units` erase units holding a few files.
const std::vector<uint8_t>& base_image(uint32_t units) {
  static std::vector<uint8_t> images[9];
  std::vector<uint8_t>& img = images[units];
  if (img.empty()) {
    img.assign(units * kUnit, 0xFF);
    Volume v;
    if (v.init(img, kCreateFlags) != 0) std::abort();
    for (int i = 0; i < 4; ++i) {
      std::vector<uint8_t> data(static_cast<size_t>(1 + 97 * i), static_cast<uint8_t>(0x30 + i));
      if (afs_writefile(&v.ctx, kIds[i], 0, static_cast<uint32_t>(data.size()), data.data(), 0) != 0) std::abort();
    }
  }
  return img;
}

void read_files(Volume& v) {
  for (int id : kIds) {
    uint32_t size = 0;
    if (afs_getfilesize(&v.ctx, id, &size) != 0) continue;
    // An exactly sized buffer, so that any byte past the delivered length
    // lands outside it.
    uint32_t want = size > 4096 ? 4096 : size;
    std::vector<uint8_t> buf(want == 0 ? 1 : want);
    uint32_t len = want;
    if (afs_readfile(&v.ctx, id, 0, &len, buf.data()) == 0 && len > want) std::abort();
    len = 8;
    uint8_t tail[8];
    if (afs_readfile(&v.ctx, id, size > 3 ? size - 3 : 0, &len, tail) == 0 && len > 8) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t units = 4 + data[0] % 5;
  const int write_id = kIds[data[1] % 7];
  std::vector<uint8_t> image = base_image(units);
  apply_overlay(image, data, size, 2);
  if (data[0] & 0x80) fuzz_checks::fix_afs_checks(image.data(), image.size());

  Volume v;
  if (v.init(image, kMountFlags) != 0) return 0;
  read_files(v);
  const uint8_t payload[40] = {1, 2, 3, 4, 5};
  afs_writefile(&v.ctx, write_id, data[1] & 0x1F, sizeof payload, payload, data[1] & 0x80 ? AFS_WRITE_TRUNCATE : 0);
  if (v.init(image, kMountFlags) == 0) read_files(v);
  return 0;
}
