// Byte-exact images: a format, the first metadata and data writes, and an
// image assembled by hand from the stored layout and then mounted.
#include "ftl_support.h"

using namespace ftltest;

namespace {

// The image a format with erase must give: every unit erased, then its
// header; the last unit is the spare with a zero magic.
std::vector<uint8_t> formatted_image(uint32_t units, uint32_t first_data, uint32_t data_start) {
  std::vector<uint8_t> img(static_cast<size_t>(units) * 8192, 0xFF);
  for (uint32_t i = 0; i < units; ++i) {
    uint16_t fp = 0;
    if (i >= first_data && i + 1 < units) fp = static_cast<uint16_t>(data_start / 64 + 122 * (i - first_data));
    put_header(img.data() + 8192 * i, i + 1 == units ? 0u : 0xAA557887u, i + 1, 1, static_cast<uint16_t>(i + 1), fp,
               0x00);
  }
  return img;
}

}  // namespace

TEST(FtlGolden, FormatOfFourUnitsWithoutDataUnits) {
  Vol v(4, 1024, 0);
  std::memset(v.flash.data(), 0x5A, v.flash.size());
  ASSERT_EQ(v.format(true), 0);
  EXPECT_EQ(v.flash, formatted_image(4, 3, 1024));
  // Spot-check the literal bytes of unit 0 and of the spare.
  const uint8_t unit0[17] = {0x87, 0x78, 0x55, 0xAA, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(v.flash.data(), unit0, 16));
  EXPECT_EQ(v.flash[16], crc8(unit0, 16));
  EXPECT_EQ(v.flash[17], 0x00);
  const uint8_t* spare = v.unit_ptr(3);
  EXPECT_EQ(kelvra::le::get32(spare), 0u);
  EXPECT_EQ(kelvra::le::get32(spare + 4), 4u);

  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(v.st()->log_eu, 0u);
  EXPECT_EQ(v.st()->log_slot, 0u);
  EXPECT_EQ(v.st()->spare_eu, 3);
  EXPECT_EQ(v.st()->sequence, 3u);
  EXPECT_EQ(v.rec(3).erase_count, 1u);  // kept from the retired-style header
  for (uint32_t u = 0; u < 3; ++u) {
    EXPECT_EQ(v.rec(u).not_live, 120);
    EXPECT_EQ(v.rec(u).free_count, 1);
  }
  EXPECT_EQ(v.st()->alloc_next, FTL_NO_WINDOW);
}

TEST(FtlGolden, FormatOfSixteenUnitsWithDataUnits) {
  Vol v(16, 2048, 10);
  ASSERT_EQ(v.format(true), 0);
  EXPECT_EQ(v.flash, formatted_image(16, 5, 2048));
  EXPECT_EQ(kelvra::le::get16(v.unit_ptr(5) + 14), 32u);
  EXPECT_EQ(kelvra::le::get16(v.unit_ptr(14) + 14), 32u + 9 * 122);
  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(v.st()->first_data_eu, 5);
  EXPECT_EQ(v.st()->spare_eu, 15);
  // The window opens in the data unit with the highest sequence (block 9).
  EXPECT_EQ(v.st()->alloc_next, 9u * 122);
  EXPECT_EQ(v.st()->alloc_end, 10u * 122);
  EXPECT_EQ(v.rec(14).free_count, 122);
}

TEST(FtlGolden, FormatWithoutEraseWritesOnlyTheHeaders) {
  Vol v(4, 1024, 0);
  std::memset(v.flash.data(), 0x33, v.flash.size());
  ASSERT_EQ(v.format(false), 0);
  for (uint32_t u = 0; u < 4; ++u)
    for (uint32_t b = 18; b < 8192; ++b) ASSERT_EQ(v.unit_ptr(u)[b], 0x33) << u << ":" << b;
  std::vector<uint8_t> img = formatted_image(4, 3, 1024);
  for (uint32_t u = 0; u < 4; ++u) EXPECT_EQ(0, std::memcmp(v.unit_ptr(u), img.data() + 8192 * u, 18));
}

TEST(FtlGolden, FirstMetadataAndDataWritesLandWhereTheLayoutSays) {
  Vol v(16, 2048, 10);
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  const Page a = pattern(1), b = pattern(2), c = pattern(3), d = pattern(4);
  ASSERT_EQ(v.write_meta(3, a), 0);
  ASSERT_EQ(v.write_meta(0, b), 0);
  ASSERT_EQ(v.write_meta(3, c), 0);
  uint32_t cl = 0;
  ASSERT_EQ(v.allocate(cl), 0);
  EXPECT_EQ(cl, 9u * 122);
  ASSERT_EQ(v.write_data(cl, d), 0);

  std::vector<uint8_t> img = formatted_image(16, 5, 2048);
  LogBuilder log(img.data());
  log.put(3, a);
  log.put(0, b);
  log.put(3, c);
  put_data_slot(img.data() + 14 * 8192, 0, 32 + 9 * 122, d);
  EXPECT_EQ(v.flash, img);

  // Literal values: the first entry of a unit is keyed with crc14 of two zero
  // bytes (0x0B5B); the commit of entry 2 is the byte 0x7F at 18 + 2*3 + 1.
  EXPECT_EQ(kelvra::le::get16(v.flash.data() + 18), 3 ^ 0x0B5B);
  EXPECT_EQ(v.flash[25], 0x7F);
  EXPECT_EQ(v.flash[24], 0xFF);
  EXPECT_EQ(v.unit_ptr(14)[18], 0x00);
  EXPECT_EQ(v.unit_ptr(14)[19], 0xFF);

  // In memory: the first copy of page 3 is dead, the map points at slot 2.
  EXPECT_EQ(v.st()->page_map[3].unit, 0);
  EXPECT_EQ(v.st()->page_map[3].slot, 2);
  EXPECT_EQ(v.rec(0).not_live, 118);
  EXPECT_EQ(v.st()->log_slot, 3u);
  EXPECT_EQ(v.rec(14).free_count, 121);
}

TEST(FtlGolden, HandBuiltImageMountsAndReads) {
  // 8 units: log units 0..3, data units 4..6 for blocks 0..2, spare 7. The
  // image went through one reclaim: unit 7's old role was taken by unit 2,
  // and the retired unit 7 is the spare.
  const uint32_t ds = 1024;  // 16 metadata pages
  Vol v(8, ds, 3);
  std::vector<uint8_t>& img = v.flash;
  put_header(v.unit_ptr(0), 0xAA557887u, 1, 1, 1, 0, 0);
  put_header(v.unit_ptr(1), 0xAA557887u, 2, 1, 2, 0, 0);
  put_header(v.unit_ptr(2), 0xAA557887u, 8, 2, 7, 0, 0);  // newest: names the spare
  put_header(v.unit_ptr(3), 0xAA557887u, 4, 1, 4, 0, 0);
  put_header(v.unit_ptr(4), 0xAA557887u, 5, 1, 5, 16, 0);
  put_header(v.unit_ptr(5), 0xAA557887u, 6, 1, 6, 16 + 122, 0);
  put_header(v.unit_ptr(6), 0xAA557887u, 7, 1, 7, 16 + 244, 0);
  put_header(v.unit_ptr(7), 0, 3, 1, 3, 0, 0);  // retired
  (void)img;

  // Unit 0 (older): pages 1, 2, 1. Unit 2 (newer): page 2 again, page 5,
  // the last entry torn.
  LogBuilder l0(v.unit_ptr(0));
  l0.put(1, pattern(10));
  l0.put(2, pattern(11));
  l0.put(1, pattern(12));
  LogBuilder l2(v.unit_ptr(2));
  l2.put(2, pattern(13));
  l2.put(5, pattern(14));
  l2.put(7, pattern(15), false);
  // Data: block 1 slot 3 live, slot 4 written and dead, slot 5 torn.
  put_data_slot(v.unit_ptr(5), 3, 16 + 122 + 3, pattern(20));
  put_data_slot(v.unit_ptr(5), 4, 16 + 122 + 4, pattern(21));
  put_data_slot(v.unit_ptr(5), 5, 16 + 122 + 5, pattern(22), 0x7F);

  ASSERT_EQ(v.mount({122 + 3}), 0);
  afs_ftl_state_t* st = v.st();
  EXPECT_EQ(st->spare_eu, 7);
  EXPECT_EQ(st->sequence, 8u);
  EXPECT_EQ(st->log_eu, 2u);
  EXPECT_EQ(st->log_slot, 4u);  // torn entry 2: slots 2 and 3 dead
  EXPECT_EQ(st->prev_lpn, 5);
  EXPECT_EQ(v.rec(0).not_live, 120 - 1);  // page 1's second copy is live
  EXPECT_EQ(v.rec(2).not_live, 120 - 2);
  EXPECT_EQ(v.rec(7).erase_count, 1u);

  Page out;
  ASSERT_EQ(v.read_meta(1, out), 0);
  EXPECT_EQ(out, pattern(12));
  ASSERT_EQ(v.read_meta(2, out), 0);
  EXPECT_EQ(out, pattern(13));
  ASSERT_EQ(v.read_meta(5, out), 0);
  EXPECT_EQ(out, pattern(14));
  ASSERT_EQ(v.read_meta(7, out), 0);
  EXPECT_EQ(out, Page(64, 0));  // never committed
  ASSERT_EQ(v.read_data(122 + 3, out), 0);
  EXPECT_EQ(out, pattern(20));
  ASSERT_EQ(v.read_data(122 + 4, out), 0);
  EXPECT_EQ(out, Page(64, 0));  // not in use

  // Block 1: slot 3 live, slots 4 and 5 dead, the rest free.
  EXPECT_EQ(v.rec(5).free_count, 119);
  EXPECT_EQ(v.rec(5).not_live, 121);
  // The window is in the data unit with the highest sequence (unit 6).
  EXPECT_EQ(st->alloc_next, 244u);

  // Writing resumes at slot 4 of unit 2, chained from page 5.
  ASSERT_EQ(v.write_meta(9, pattern(30)), 0);
  EXPECT_EQ(kelvra::le::get16(v.unit_ptr(2) + 18 + 8), 9 ^ key14(5));
  ASSERT_EQ(v.mount({122 + 3}), 0);
  ASSERT_EQ(v.read_meta(9, out), 0);
  EXPECT_EQ(out, pattern(30));
}
