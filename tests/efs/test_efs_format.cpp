// Check values, the image layer, and the bytes of a freshly formatted image
// compared with values taken from the format's tables, not from the writer.
#include "efs_test_util.h"

using namespace efs_test;

namespace {

TEST(EfsCrc, CheckValuesAndTables) {
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(0x2DFD2D88u, EFS_crc32(0, digits, 9));  // initial 0, no final XOR
  EXPECT_EQ(0x31C3u, EFS_crc16(0, digits, 9));      // seeded 0: the XMODEM value
  EXPECT_EQ(0x1234u, EFS_crc16(0x1234, digits, 0));
  EXPECT_EQ(0xABCDu, EFS_crc32(0xABCD, digits, 0));
  EXPECT_EQ(0x1EF0, gCrc16_table[0xFF]);
  EXPECT_EQ(0xEDB88320u, gCrc32_table[128]);
  for (uint32_t i = 0; i < 256; ++i) {
    const uint8_t b = static_cast<uint8_t>(i);
    ASSERT_EQ(ref_crc32(&b, 1), gCrc32_table[i]) << i;
    ASSERT_EQ(ref_crc16(&b, 1, 0), gCrc16_table[i]) << i;
  }
  // Continuing over two halves equals one pass.
  auto data = pattern(1000, 3);
  EXPECT_EQ(ref_crc32(data.data(), 1000), EFS_crc32(EFS_crc32(0, data.data(), 400), data.data() + 400, 600));
  EXPECT_EQ(ref_crc16(data.data(), 1000, 7), EFS_crc16(EFS_crc16(7, data.data(), 1), data.data() + 1, 999));
  // The empty record's CRC of each logical block.
  const uint8_t ff[2] = {0xFF, 0xFF};
  EXPECT_EQ(0x1D0F, EFS_crc16(0, ff, 2));
  EXPECT_EQ(0x0D2E, EFS_crc16(1, ff, 2));
  EXPECT_EQ(0x3D4D, EFS_crc16(2, ff, 2));
  for (uint16_t b = 0; b < 256; ++b) {
    ASSERT_EQ(static_cast<uint16_t>(gCrc16_table[b ^ 0xE1] ^ 0xF000), EFS_crc16(b, ff, 2));
  }
  const uint8_t header[12] = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0x9BA54C6Fu, EFS_crc32(0, header, 12));
  std::vector<uint8_t> area(4076, 0xFF);
  EXPECT_EQ(0xD3E8F785u, EFS_crc32(0, area.data(), 4076));
}

class EfsPhysical : public EfsVolume {};

TEST_F(EfsPhysical, RangeChecks) {
  uint8_t buf[32];
  EXPECT_EQ(49152u, efs_size);
  EXPECT_EQ(0, EFS_physical_read(efs_size - 16, 16, buf));
  EXPECT_EQ(22, EFS_physical_read(efs_size - 15, 16, buf));
  EXPECT_EQ(22, EFS_physical_read(0, 0, buf));
  EXPECT_EQ(22, EFS_physical_read(efs_size, 1, buf));
  EXPECT_EQ(22, EFS_physical_read(0xFFFFFFF0u, 32, buf));  // no wrap-around
  EXPECT_EQ(22, EFS_physical_write(efs_size - 1, 2, buf));
  EXPECT_EQ(22, EFS_physical_erase(4096, 4095));  // misaligned: refused, not fatal
  EXPECT_EQ(22, EFS_physical_erase(100, 4096));
  EXPECT_EQ(22, EFS_physical_erase(efs_size, 4096));
  std::vector<uint8_t> before = image_;
  EXPECT_EQ(0, EFS_physical_erase(4096, 4096));
  for (size_t i = 0; i < image_.size(); ++i) {
    ASSERT_EQ(i >= 4096 && i < 8192 ? 0xFF : before[i], image_[i]) << i;
  }
  std::vector<uint8_t> big(4097, 0xFF);
  EXPECT_EQ(22, EFS_write_with_read_check(8192, 4097, big.data(), true));  // over 4096: refused
}

TEST_F(EfsPhysical, CheckedWriteNeedsErasedTarget) {
  // Block map 0 slot 2 is erased; put one non-0xFF byte at its end.
  const uint32_t at = 16 + 2 * 22;
  image_[at + 21] = 0x00;
  std::vector<uint8_t> entry(22, 0x11);
  EXPECT_EQ(41, EFS_write_with_read_check(at, 22, entry.data(), true));
  EXPECT_EQ(0xFF, image_[at]);  // nothing written
  EXPECT_EQ(0, EFS_write_with_read_check(at, 22, entry.data(), false));
  EXPECT_EQ(0x11, image_[at + 21]);
}

TEST_F(EfsPhysical, ReadBackMismatchGives41) {
  kelvra::FlashFaultPlan plan;
  plan.corrupt_reads = 100;  // every read-back differs
  kelvra::fault::ScopedPlan scoped(plan);
  uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_EQ(41, EFS_write_with_read_check(8192 + 100, 4, data, false));
}

TEST_F(EfsPhysical, LibraryImageAndHostImageOwnership) {
  // The host's buffer is in use; an allocating init must leave it alone
  // (ASan would report a free of a buffer the library does not own).
  std::vector<uint8_t> host = image_;
  ASSERT_EQ(0, EFS_init_tools(host.data()));
  ASSERT_EQ(0, EFS_physical_init(1));
  EXPECT_NE(host.data(), efs_image);
  EXPECT_EQ(0xFF, efs_image[0]);
  EXPECT_EQ(host, image_);
  EXPECT_EQ(0, EFS_physical_init(0));
  ASSERT_EQ(0, EFS_physical_init(1));  // releases only its own earlier image
  kelvra::efs::g_fail_image_allocs = 1;
  EXPECT_EQ(12, EFS_physical_init(1));
  EXPECT_EQ(nullptr, efs_image);
  EXPECT_EQ(1, EFS_physical_init(0));
  uint8_t b;
  EXPECT_EQ(22, EFS_physical_read(0, 1, &b));
  EXPECT_EQ(1, EFS_write_RTFD_marker());
  EXPECT_EQ(1, EFS_erase());
  EXPECT_EQ(1, EFS_do_format());
  EXPECT_EQ(22, EFS_init_tools(nullptr));
}

class EfsGolden : public EfsVolume {
 protected:
  void SetUp() override {
    kelvra::fault::g_plan = nullptr;
    kelvra::efs::reset_geometry_for_tests();
    SkuRec r;  // default geometry, one file at block 0 offset 0
    r.files = {{0, 0, 0, 100}};
    Load(r);
    Format();
  }
};

TEST_F(EfsGolden, FreshDefaultImageByteForByte) {
  ASSERT_EQ(49152u, image_.size());
  std::vector<uint8_t> want(49152, 0xFF);
  // Block map 0 header and its first entry.
  const uint8_t header[16] = {0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                              0x02, 0x07, 0x03, 0x00, 0x3C, 0xC1, 0x64, 0xD3};
  const uint8_t entry[22] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 0, 0, 0, 0, 0,
                             0x9D, 0xFE, 0x8A, 0x6C};
  std::memcpy(want.data(), header, 16);
  std::memcpy(want.data() + 16, entry, 22);
  // Block map 1 erased. Every data block: erase count 1 and its CRC.
  const uint8_t block_header[16] = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x6F, 0x4C, 0xA5, 0x9B};
  for (uint32_t p = 0; p < 10; ++p) {
    uint8_t* b = want.data() + (2 + p) * 4096;
    std::memcpy(b, block_header, 16);
    if (p < 7) {
      // Mapped blocks carry a data area and its footer.
      const uint8_t empty_footer[4] = {0x85, 0xF7, 0xE8, 0xD3};
      std::memcpy(b + 4092, empty_footer, 4);
    }
  }
  uint8_t* b0 = want.data() + 2 * 4096;
  const uint8_t record[4] = {0xFF, 0xFF, 0x0F, 0x1D};
  std::memcpy(b0 + 16, record, 4);
  const uint32_t footer0 = ref_crc32(b0 + 16, 4076);
  kelvra::le::put32(b0 + 4092, footer0);
  for (size_t i = 0; i < want.size(); ++i) {
    ASSERT_EQ(want[i], image_[i]) << "offset " << i;
  }
  EXPECT_EQ(0u, +efs_ctx.cur_bm);
  EXPECT_EQ(1u, +efs_ctx.bm_seq);
  EXPECT_EQ(16u, +efs_ctx.bme_off);
  EXPECT_EQ(7u, +efs_ctx.retries);
  EXPECT_EQ(0, +efs_ctx.next_bm_state);
  EXPECT_EQ(0, +efs_ctx.data_status_known);
  uint32_t size = 1;
  EXPECT_EQ(2, EFS_get_file_size(0, &size));  // the file is empty
}

TEST_F(EfsGolden, RecordsOfSeveralFilesAndTheRtfdMarker) {
  SkuRec r;
  r.files = {{0, 2, 4072, 100}, {1, 2, 10, 100}, {2, 9, 0, 100}};  // block 9: no record
  Load(r);
  Format();
  uint8_t* area = Block(2) + 16;
  const uint8_t rec2[4] = {0xFF, 0xFF, 0x4D, 0x3D};
  EXPECT_EQ(0, std::memcmp(area + 4072, rec2, 4));
  EXPECT_EQ(0, std::memcmp(area + 10, rec2, 4));
  EXPECT_EQ(ref_crc32(area, 4076), kelvra::le::get32(Block(2) + 4092));
  ASSERT_EQ(0, EFS_write_RTFD_marker());
  EXPECT_EQ(0, std::memcmp(image_.data(), "RDFS", 4));
  EXPECT_EQ(1, EFS_is_initialized());
  // The marker overwrites block map 0's version and SKU only; a remount
  // does not check them, but the header CRC covers them.
  EXPECT_EQ(41, Mount());
}

TEST_F(EfsGolden, FormatRefusesOffsetBeyondDataArea) {
  SkuRec r;
  r.files = {{0, 1, 4073, 100}};
  Load(r);
  EXPECT_EQ(99, EFS_init(1));
  EXPECT_EQ(0, EFS_is_initialized());
  // Block maps were erased; no header was written.
  for (uint32_t i = 0; i < 8192; ++i) ASSERT_EQ(0xFF, efs_image[i]) << i;
}

TEST_F(EfsGolden, EraseDataBlockAndFooter) {
  ASSERT_EQ(0, EFS_erase_data_block(8, 5));
  uint8_t* b = Block(8);
  EXPECT_EQ(6u, kelvra::le::get32(b));
  EXPECT_EQ(ref_crc32(b, 12), kelvra::le::get32(b + 12));
  for (uint32_t i = 16; i < 4096; ++i) ASSERT_EQ(0xFF, b[i]);
  ASSERT_EQ(0, EFS_erase_data_block(9, 0xFFFFFFFFu));
  EXPECT_EQ(0u, kelvra::le::get32(Block(9)));
  std::vector<uint8_t> area(4076, 0xFF);
  ASSERT_EQ(0, EFS_write_data_footer(8, area.data()));
  EXPECT_EQ(0xD3E8F785u, kelvra::le::get32(b + 4092));
  EXPECT_EQ(41, EFS_write_data_footer(8, area.data()));  // footer no longer erased
  auto data = pattern(4076, 9);
  ASSERT_EQ(0, EFS_write_data_block(9, data.data()));
  EXPECT_EQ(0, std::memcmp(Block(9) + 16, data.data(), 4076));
  EXPECT_EQ(ref_crc32(data.data(), 4076), kelvra::le::get32(Block(9) + 4092));
  EXPECT_EQ(22, EFS_erase_data_block(10, 0));  // past the last data block
}

}  // namespace
