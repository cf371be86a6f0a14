// Fuzz target: mount an EFS image of the default geometry whose bytes are a
// formatted volume with a few files, overlaid with fuzz bytes at fuzz-chosen
// offsets; then read every defined file, write one and mount again. Nothing
// may crash, touch memory outside the image or hang.
//
// Input: byte 0 picks the file that gets written (and, with its top bit,
// that the check values are made to match again after the overlay, so that
// the mount gets past them), byte 1 its length; then records of
// (offset: 2 bytes, length: 1 byte, bytes).

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/le.h"
#include "efs/EFS.h"
#include "efs/efs_tools_utils.h"
#include "image_checks.h"
#include "overlay.h"

namespace {

using kelvra::le::put16;
using kelvra::le::put32;

// FTBL blob with one empty SKU entry and an EFST section of one record:
// 2 block maps, 7 mapped and 3 spare blocks, 16 file slots, five files.
std::vector<uint8_t> file_table_blob() {
  static const uint16_t files[][4] = {
      {0, 0, 0, 100}, {1, 0, 200, 3000}, {2, 1, 100, 12000}, {3, 4, 4072, 8000}, {4, 0, 3300, 500}};
  constexpr uint32_t efst = 32, count = 5, files_at = efst + 16 + 40;
  std::vector<uint8_t> blob(1024, 0);
  put32(blob.data(), 0x4C425446u);  // "FTBL"
  put32(blob.data() + 12, 1);
  put32(blob.data() + efst, 0x54534645u);  // "EFST"
  put32(blob.data() + efst + 12, 1);
  uint8_t* r = blob.data() + efst + 16;
  const uint32_t rec[10] = {0, files_at, count, 60 * count, 2, 7, 3, 16, 100, 0};
  for (int i = 0; i < 10; ++i) put32(r + 4 * i, rec[i]);
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t* q = blob.data() + files_at + 60 * i;
    put16(q, files[i][0]);
    std::memset(q + 2, 'n', 48);
    put16(q + 50, files[i][1]);
    put16(q + 52, files[i][2]);
    put16(q + 54, files[i][3]);
  }
  return blob;
}

// A formatted volume holding data in every file.
const std::vector<uint8_t>& base_image() {
  static std::vector<uint8_t> img;
  if (img.empty()) {
    std::vector<uint8_t> blob = file_table_blob();
    if (load_autogen_data(blob.data(), 0, static_cast<uint32_t>(blob.size())) != 0) std::abort();
    if (EFS_init(1) != 0) std::abort();
    img.assign(efs_image, efs_image + EFS_get_efs_size());
    if (EFS_init_tools(img.data()) != 0) std::abort();
    for (uint32_t f = 0; f < 5; ++f) {
      std::vector<uint8_t> data(EFS_files[f].max_size / 3 + 1, static_cast<uint8_t>(0x41 + f));
      if (EFS_write(f, 0, static_cast<uint32_t>(data.size()), data.data()) != 0) std::abort();
    }
    kelvra::efs::stop();
  }
  return img;
}

void read_files() {
  for (uint32_t f = 0; f < g_efs_files_num; ++f) {
    uint32_t size = 0;
    const int rc = EFS_get_file_size(f, &size);
    if (rc != 0 && efs_file_is_defined(EFS_files[f])) continue;
    // An exactly sized buffer, so that any byte past the requested length
    // lands outside it.
    const uint32_t want = rc == 0 && size < 0x10000 ? size : 64;
    std::vector<uint8_t> buf(want == 0 ? 1 : want);
    uint32_t len = want;
    if (EFS_read(f, 0, &len, buf.data()) == 0 && len > want) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  std::vector<uint8_t> image = base_image();
  apply_overlay(image, data, size, 2);
  if (data[0] & 0x80) {
    fuzz_checks::fix_efs_checks(image.data(), image.size(), g_efs_bm_num,
                                g_efs_valid_block_num + g_efs_non_valid_block_num);
  }

  if (EFS_init_tools(image.data()) == 0) {
    read_files();
    const uint32_t file = (data[0] & 0x7F) % 6;
    std::vector<uint8_t> payload(data[1] * 13u, data[0]);
    EFS_write(file, 0, static_cast<uint32_t>(payload.size()), payload.data());
    if (EFS_init_tools(image.data()) == 0) read_files();
  }
  // The image goes away with this run: the volume must let go of it.
  kelvra::efs::stop();
  return 0;
}
