// Shared helpers of the EFS tests: FTBL blobs with an EFST section, fresh
// volumes in test-owned buffers, independent check-value routines.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/flash_fault.h"
#include "common/le.h"
#include "efs/EFS.h"

namespace efs_test {

// Bitwise CRCs, written from the polynomials alone (no tables), so the
// library's tables and loops are checked against something independent.
inline uint32_t ref_crc32(const uint8_t* p, size_t n, uint32_t crc = 0) {
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return crc;
}
inline uint16_t ref_crc16(const uint8_t* p, size_t n, uint16_t crc) {
  for (size_t i = 0; i < n; ++i) {
    crc = static_cast<uint16_t>(crc ^ (p[i] << 8));
    for (int b = 0; b < 8; ++b) {
      crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

struct FileRec {
  uint16_t index;
  uint16_t block;
  uint16_t offset;
  uint16_t max_size;
};

struct SkuRec {
  uint32_t sku = 0;
  uint32_t bm = 2;
  uint32_t valid = 7;
  uint32_t spare = 3;
  uint32_t files_num = 16;
  uint32_t threshold = 100;
  uint32_t layout = 0;
  std::vector<FileRec> files;
  // Overrides for malformed records.
  int64_t file_bytes = -1;   // default 60 x count
  int64_t file_offset = -1;  // default: where the builder puts them
  int64_t file_count = -1;   // default files.size()
};

// FTBL blob: header, `ftbl_entries` empty SKU entries, EFST section with the
// records, then every record's file records. Padded to at least `min_size`.
inline std::vector<uint8_t> build_blob(const std::vector<SkuRec>& recs, uint32_t ftbl_entries = 2,
                                       size_t min_size = 1024) {
  using kelvra::le::put16;
  using kelvra::le::put32;
  const size_t efst = (ftbl_entries + 1) * 16;
  size_t files_at = efst + 16 + 40 * recs.size();
  size_t total = files_at;
  for (const auto& r : recs) total += 60 * r.files.size();
  std::vector<uint8_t> blob(total > min_size ? total : min_size, 0);
  put32(blob.data(), 0x4C425446u);
  put32(blob.data() + 12, ftbl_entries);
  put32(blob.data() + efst, 0x54534645u);
  put32(blob.data() + efst + 12, static_cast<uint32_t>(recs.size()));
  for (size_t i = 0; i < recs.size(); ++i) {
    const SkuRec& r = recs[i];
    uint8_t* p = blob.data() + efst + 16 + 40 * i;
    const uint32_t count = r.file_count >= 0 ? static_cast<uint32_t>(r.file_count)
                                             : static_cast<uint32_t>(r.files.size());
    put32(p, r.sku);
    put32(p + 4, r.file_offset >= 0 ? static_cast<uint32_t>(r.file_offset)
                                    : static_cast<uint32_t>(files_at));
    put32(p + 8, count);
    put32(p + 12, r.file_bytes >= 0 ? static_cast<uint32_t>(r.file_bytes) : 60 * count);
    put32(p + 16, r.bm);
    put32(p + 20, r.valid);
    put32(p + 24, r.spare);
    put32(p + 28, r.files_num);
    put32(p + 32, r.threshold);
    put32(p + 36, r.layout);
    for (const FileRec& f : r.files) {
      uint8_t* q = blob.data() + files_at;
      put16(q, f.index);
      std::memset(q + 2, 'n', 48);
      put16(q + 50, f.block);
      put16(q + 52, f.offset);
      put16(q + 54, f.max_size);
      files_at += 60;
    }
  }
  return blob;
}

// The files of the default test volume.
enum : uint32_t {
  kSmall = 0,     // block 0 offset 0, at most 100 bytes
  kShared = 1,    // block 0 offset 200, at most 3000 bytes (shares block 0)
  kMulti = 2,     // block 1 offset 100, up to three blocks
  kHeadOnly = 3,  // block 4 offset 4072: head in block 4, data in 5 and 6
  kProbe = 4,     // block 0 offset 3300, at most 500 bytes
  kUndefined = 5,
};

inline SkuRec default_sku(uint32_t threshold = 100) {
  SkuRec r;
  r.threshold = threshold;
  r.files = {{kSmall, 0, 0, 100},
             {kShared, 0, 200, 3000},
             {kMulti, 1, 100, 12000},
             {kHeadOnly, 4, 4072, 8000},
             {kProbe, 0, 3300, 500}};
  return r;
}

inline std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v[i] = static_cast<uint8_t>(x);
  }
  return v;
}

// Test fixture: default geometry loaded, a fresh volume formatted and moved
// into a buffer the test owns, mounted there.
class EfsVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    kelvra::fault::g_plan = nullptr;
    kelvra::efs::reset_geometry_for_tests();
    Load(default_sku());
    Format();
  }
  void TearDown() override { kelvra::fault::g_plan = nullptr; }

  void Load(const SkuRec& rec) {
    auto blob = build_blob({rec});
    ASSERT_EQ(0, load_autogen_data(blob.data(), rec.sku, static_cast<uint32_t>(blob.size())));
  }
  void Format() {
    ASSERT_EQ(0, EFS_init(1));
    image_.assign(efs_image, efs_image + EFS_get_efs_size());
    ASSERT_EQ(0, Mount());
  }
  int Mount() { return EFS_init_tools(image_.data()); }

  std::vector<uint8_t> Read(uint32_t file, uint32_t offset = 0, uint32_t want = 0x10000,
                            int* rc_out = nullptr) {
    std::vector<uint8_t> buf(want + 1);
    uint32_t len = want;
    int rc = EFS_read(file, offset, &len, buf.data());
    if (rc_out != nullptr) *rc_out = rc;
    buf.resize(rc == 0 ? len : 0);
    return buf;
  }
  int Write(uint32_t file, const std::vector<uint8_t>& data) {
    static const uint8_t none = 0;
    return EFS_write(file, 0, static_cast<uint32_t>(data.size()),
                     data.empty() ? &none : data.data());
  }

  uint8_t* Block(uint32_t physical) { return image_.data() + (g_efs_bm_num + physical) * 4096; }
  uint8_t* BlockMap(uint32_t index) { return image_.data() + index * 4096; }

  std::vector<uint8_t> image_;
};

}  // namespace efs_test
