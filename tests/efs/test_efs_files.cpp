// File operations on a mounted volume: round trips through the stored
// records, block-map fill and switch, spares, wear levelling, idle reclaim
// and the refusals.
#include "efs_test_util.h"

using namespace efs_test;
using kelvra::le::get16;
using kelvra::le::get32;

namespace {

class EfsFiles : public EfsVolume {
 protected:
  // Rewrites the header of physical block p with erase count `count`.
  void SetEraseCount(uint32_t p, uint32_t count) {
    uint8_t* b = Block(p);
    kelvra::le::put32(b, count);
    kelvra::le::put32(b + 12, ref_crc32(b, 12));
  }
  void ExpectFile(uint32_t file, const std::vector<uint8_t>& want) {
    uint32_t size = 0;
    ASSERT_EQ(0, EFS_get_file_size(file, &size)) << file;
    ASSERT_EQ(want.size(), size) << file;
    int rc = -1;
    auto got = Read(file, 0, static_cast<uint32_t>(want.size()) + 10, &rc);
    ASSERT_EQ(0, rc) << file;
    ASSERT_EQ(want, got) << file;
  }
  void ExpectEmpty(uint32_t file) {
    uint32_t size = 77;
    EXPECT_EQ(2, EFS_get_file_size(file, &size)) << file;
    EXPECT_EQ(77u, size);
    int rc = -1;
    Read(file, 0, 10, &rc);
    EXPECT_EQ(2, rc) << file;
  }
};

TEST_F(EfsFiles, SmallFilesSharingABlockRoundTrip) {
  ExpectEmpty(kSmall);
  ExpectEmpty(kShared);
  auto a = pattern(50, 1);
  auto b = pattern(3000, 2);
  ASSERT_EQ(0, Write(kSmall, a));
  ASSERT_EQ(0, Write(kShared, b));
  ExpectFile(kSmall, a);
  ExpectFile(kShared, b);
  // The record bytes as stored: length, CRC-16 seeded with the block number.
  const uint8_t* area = Block(efs_ctx.valid_map[0]) + 16;
  EXPECT_EQ(50, get16(area));
  uint16_t crc = ref_crc16(area, 2, 0);
  EXPECT_EQ(ref_crc16(a.data(), 50, crc), get16(area + 2));
  EXPECT_EQ(0, std::memcmp(area + 4, a.data(), 50));
  EXPECT_EQ(3000, get16(area + 200));
  EXPECT_EQ(ref_crc32(area, 4076), get32(area + 4076));
  ASSERT_EQ(0, Mount());
  ExpectFile(kSmall, a);
  ExpectFile(kShared, b);
}

TEST_F(EfsFiles, MultiBlockFileAtRecordOffset100) {
  auto data = pattern(9000, 3);
  ASSERT_EQ(0, Write(kMulti, data));
  ASSERT_EQ(0, Mount());
  ExpectFile(kMulti, data);
  // Continuation block 0 is logical block 2: FF FF, CRC seeded with 2.
  const uint8_t* c0 = Block(efs_ctx.valid_map[2]) + 16;
  EXPECT_EQ(0xFFFF, get16(c0));
  uint16_t crc = ref_crc16(c0, 2, 2);
  EXPECT_EQ(ref_crc16(data.data() + 3972, 4072, crc), get16(c0 + 2));
  const uint8_t* c1 = Block(efs_ctx.valid_map[3]) + 16;
  crc = ref_crc16(c1, 2, 3);
  EXPECT_EQ(ref_crc16(data.data() + 8044, 956, crc), get16(c1 + 2));
  EXPECT_EQ(0, std::memcmp(c1 + 4, data.data() + 8044, 956));

  struct Case {
    uint32_t offset, want, expect;
  } cases[] = {
      {0, 3972, 3972},     {3971, 2, 2},      {3972, 10, 10},  {3900, 200, 200},
      {4000, 100, 100},    {8043, 2, 2},      {8044, 956, 956}, {100, 8000, 8000},
      {8990, 100, 10},     {9000, 10, 0},     {0, 0, 0},
  };
  for (const Case& c : cases) {
    int rc = -1;
    auto got = Read(kMulti, c.offset, c.want, &rc);
    ASSERT_EQ(0, rc) << c.offset;
    ASSERT_EQ(c.expect, got.size()) << c.offset;
    ASSERT_EQ(0, std::memcmp(got.data(), data.data() + c.offset, got.size())) << c.offset;
  }
  int rc = -1;
  Read(kMulti, 9001, 1, &rc);
  EXPECT_EQ(34, rc);
  uint32_t len = 5;
  uint8_t b[8];
  EXPECT_EQ(22, EFS_read(kMulti, 0xFFFFFFFFu, &len, b));  // offset + len beyond 32 bits
  EXPECT_EQ(0u, len);

  // Rewriting with 10 bytes rewrites only the first block.
  std::vector<uint8_t> c2_before(Block(efs_ctx.valid_map[2]), Block(efs_ctx.valid_map[2]) + 4096);
  auto small = pattern(10, 4);
  ASSERT_EQ(0, Write(kMulti, small));
  ExpectFile(kMulti, small);
  EXPECT_EQ(0, std::memcmp(c2_before.data(), Block(efs_ctx.valid_map[2]), 4096));
}

TEST_F(EfsFiles, HeadOnlyFirstBlockAndZeroLength) {
  auto data = pattern(8000, 5);
  ASSERT_EQ(0, Write(kHeadOnly, data));
  ExpectFile(kHeadOnly, data);
  int rc = -1;
  auto tail = Read(kHeadOnly, 4072, 4000, &rc);  // starts in continuation block 1
  ASSERT_EQ(0, rc);
  ASSERT_EQ(3928u, tail.size());
  EXPECT_EQ(0, std::memcmp(tail.data(), data.data() + 4072, 3928));
  ASSERT_EQ(0, Write(kHeadOnly, {}));
  uint32_t size = 9;
  EXPECT_EQ(0, EFS_get_file_size(kHeadOnly, &size));
  EXPECT_EQ(0u, size);
  auto none = Read(kHeadOnly, 0, 10, &rc);
  EXPECT_EQ(0, rc);
  EXPECT_TRUE(none.empty());
  ASSERT_EQ(0, Mount());
  EXPECT_EQ(0, EFS_get_file_size(kHeadOnly, &size));
  EXPECT_EQ(0u, size);
}

TEST_F(EfsFiles, DeleteAndDeleteAgain) {
  auto data = pattern(6000, 6);
  ASSERT_EQ(0, Write(kMulti, data));
  auto small = pattern(20, 7);
  ASSERT_EQ(0, Write(kSmall, small));
  ASSERT_EQ(0, EFS_delete(kMulti));
  ExpectEmpty(kMulti);
  std::vector<uint8_t> maps(efs_ctx.valid_map, efs_ctx.valid_map + 7);
  const uint32_t off = efs_ctx.bme_off;
  EXPECT_EQ(2, EFS_delete(kMulti));  // spare erases may run; no entry is committed
  EXPECT_EQ(off, +efs_ctx.bme_off);
  EXPECT_EQ(maps, std::vector<uint8_t>(efs_ctx.valid_map, efs_ctx.valid_map + 7));
  ASSERT_EQ(0, Mount());
  ExpectEmpty(kMulti);
  ExpectFile(kSmall, small);
  EXPECT_EQ(2, EFS_delete(kShared));  // never written
  ASSERT_EQ(0, Write(kMulti, data));
  ExpectFile(kMulti, data);
}

TEST_F(EfsFiles, Refusals) {
  std::vector<uint8_t> data(101, 1);
  EXPECT_EQ(34, Write(kSmall, data));  // longer than the maximum
  EXPECT_EQ(22, EFS_write(kSmall, 1, 10, data.data()));
  EXPECT_EQ(22, EFS_write(kSmall, 0, 10, nullptr));
  EXPECT_EQ(22, EFS_write(kUndefined, 0, 10, data.data()));
  EXPECT_EQ(22, EFS_write(16, 0, 10, data.data()));
  EXPECT_EQ(22, EFS_delete(kUndefined));
  EXPECT_EQ(22, EFS_delete(1000));
  uint32_t size = 0;
  EXPECT_EQ(22, EFS_get_file_size(kUndefined, &size));
  EXPECT_EQ(22, EFS_get_file_size(kSmall, nullptr));
  uint32_t len = 4;
  uint8_t buf[4];
  EXPECT_EQ(22, EFS_read(kSmall, 0, &len, nullptr));
  EXPECT_EQ(0u, len);
  EXPECT_EQ(22, EFS_read(kSmall, 0, nullptr, buf));
  EXPECT_EQ(22, EFS_select_free_page_for_write(nullptr));
  EXPECT_EQ(22, EFS_bme_swap_and_write_new_block(nullptr, 0, buf));
  EXPECT_EQ(22, EFS_commit_BME(nullptr, 0, 0));
  EXPECT_EQ(22, EFS_switch_BM(nullptr));
  EXPECT_EQ(22, EFS_erase_next_BM(2));
  EXPECT_EQ(22, EFS_check_next_BM_state(2));
}

TEST_F(EfsFiles, LengthThatMeansEmptyIsRefused) {
  SkuRec r = default_sku();
  r.files.push_back({6, 5, 0, 0xFFFF});
  r.files[3].index = 7;  // keep blocks 5 and 6 for file 6 only
  Load(r);
  ASSERT_EQ(1, EFS_is_initialized());  // same geometry: still mounted
  std::vector<uint8_t> data(0xFFFF, 0x5A);
  EXPECT_EQ(34, EFS_write(6, 0, 0xFFFF, data.data()));
  ExpectEmpty(6);
  data.resize(0xFFFE);
  EXPECT_EQ(27, EFS_write(6, 0, 0xFFFE, data.data()));  // needs more spares than exist
  data.resize(8144);
  ASSERT_EQ(0, EFS_write(6, 0, 8144, data.data()));  // two full blocks: three spares
  ExpectFile(6, data);
}

TEST_F(EfsFiles, RecordOffsetPastDataAreaIsRefused) {
  ASSERT_EQ(0, Write(kSmall, pattern(10, 1)));
  SkuRec r = default_sku();
  r.files.push_back({8, 3, 4073, 10});
  r.files.push_back({9, 3, 0xFFFF, 10});
  Load(r);
  ASSERT_EQ(1, EFS_is_initialized());
  for (uint32_t f : {8u, 9u}) {
    uint32_t size = 0;
    uint32_t len = 4;
    uint8_t buf[4] = {};
    EXPECT_EQ(22, EFS_get_file_size(f, &size));
    EXPECT_EQ(22, EFS_read(f, 0, &len, buf));
    EXPECT_EQ(22, EFS_write(f, 0, 4, buf));
    EXPECT_EQ(22, EFS_delete(f));
  }
  ExpectFile(kSmall, pattern(10, 1));
}

TEST_F(EfsFiles, OperationsBeforeAMountReturn1) {
  kelvra::efs::reset_geometry_for_tests();  // a new geometry ends the mount
  EXPECT_EQ(0, EFS_is_initialized());
  uint32_t size = 0, len = 4, slot = 0;
  uint8_t buf[4] = {};
  uint8_t v[7] = {}, s[3] = {};
  efs_bme_t work{v, s, 0, 0, 0};
  EXPECT_EQ(1, EFS_read(0, 0, &len, buf));
  EXPECT_EQ(0u, len);
  EXPECT_EQ(1, EFS_write(0, 0, 4, buf));
  EXPECT_EQ(1, EFS_delete(0));
  EXPECT_EQ(1, EFS_get_file_size(0, &size));
  EXPECT_EQ(1, EFS_wear_leveling(0, 0));
  EXPECT_EQ(1, EFS_idle_reclaim());
  EXPECT_EQ(1, EFS_scan_for_Data_Blocks_status_and_EC());
  EXPECT_EQ(1, EFS_select_free_page_for_write(&slot));
  EXPECT_EQ(1, EFS_erase_dirty_block());
  EXPECT_EQ(1, EFS_bme_swap_and_write_new_block(&work, 0, buf));
  EXPECT_EQ(1, EFS_commit_BME(&work, 0, 0));
  EXPECT_EQ(1, EFS_switch_BM(&work));
  EXPECT_EQ(1, EFS_init(0));  // no EFST data
}

TEST_F(EfsFiles, AllocationFailures) {
  kelvra::efs::g_fail_work_allocs = 1;
  EXPECT_EQ(12, Write(kSmall, {1, 2}));
  kelvra::efs::g_fail_work_allocs = 1;
  EXPECT_EQ(12, EFS_delete(kSmall));
  kelvra::efs::g_fail_work_allocs = 1;
  EXPECT_EQ(12, EFS_wear_leveling(0, 0));
  kelvra::efs::g_fail_array_allocs = 1;
  EXPECT_EQ(12, Mount());
  EXPECT_EQ(0, EFS_is_initialized());
  ASSERT_EQ(0, Mount());
  ASSERT_EQ(0, Write(kSmall, {1, 2}));
  ExpectFile(kSmall, {1, 2});
}

TEST_F(EfsFiles, ContinuationRecordFailingItsCheckIsDamage) {
  auto data = pattern(5000, 8);
  ASSERT_EQ(0, Write(kMulti, data));
  // Damage one data byte of continuation block 0 but keep its footer
  // consistent, so only the record's own CRC notices.
  uint8_t* c0 = Block(efs_ctx.valid_map[2]);
  c0[16 + 4 + 10] ^= 0x40;
  kelvra::le::put32(c0 + 4092, ref_crc32(c0 + 16, 4076));
  int rc = -1;
  Read(kMulti, 0, 5000, &rc);
  EXPECT_EQ(41, rc);
  EXPECT_EQ(3972u, Read(kMulti, 0, 3972).size());  // the first block still reads
  // A first record whose area reads FF FF FF FF in a valid block is empty;
  // the same bytes in a block whose footer fails are damage.
  uint8_t* b0 = Block(efs_ctx.valid_map[0]);
  std::memset(b0 + 16 + 200, 0xFF, 4);
  kelvra::le::put32(b0 + 4092, ref_crc32(b0 + 16, 4076));
  ExpectEmpty(kShared);
  b0[4092] ^= 1;
  uint32_t size = 0;
  EXPECT_EQ(41, EFS_get_file_size(kShared, &size));
}

TEST_F(EfsFiles, FillBlockMapSwitchAndSwitchBack) {
  // 185 entries fit a block map with the default geometry (E = 22).
  std::vector<uint8_t> last;
  for (uint32_t round = 0; round < 2; ++round) {
    for (uint32_t k = 1; k <= 184; ++k) {
      last = pattern(1 + k % 90, k + round * 1000);
      ASSERT_EQ(0, Write(kSmall, last)) << k;
      ASSERT_EQ(16u + 22u * k, +efs_ctx.bme_off);
      if (k % 23 == 0 || k == 184) {
        ASSERT_EQ(0, Mount()) << k;
        ASSERT_EQ(16u + 22u * k, +efs_ctx.bme_off);
        ExpectFile(kSmall, last);
      }
    }
    EXPECT_EQ(round, +efs_ctx.cur_bm);
    last = pattern(33, 77 + round);
    ASSERT_EQ(0, Write(kSmall, last));  // full: the commit switches block maps
    EXPECT_EQ(1 - round, +efs_ctx.cur_bm);
    EXPECT_EQ(16u, +efs_ctx.bme_off);
    EXPECT_EQ(2 + round, +efs_ctx.bm_seq);
    for (uint32_t i = 0; i < 16; ++i) ASSERT_EQ(0, BlockMap(round)[i]) << i;  // old header zeroed
    EXPECT_EQ(2 + round, get32(BlockMap(1 - round) + 4));
    ASSERT_EQ(0, Mount());
    EXPECT_EQ(1 - round, +efs_ctx.cur_bm);
    EXPECT_EQ(2 + round, +efs_ctx.bm_seq);
    ExpectFile(kSmall, last);
  }
}

TEST_F(EfsFiles, SpareChoiceAndFirstWrite) {
  // Three erased spares with equal counts: the lowest slot takes the data.
  ASSERT_EQ(0, Write(kSmall, {1}));
  EXPECT_EQ(7, efs_ctx.valid_map[0]);
  EXPECT_EQ(0, efs_ctx.spare_map[0]);
  EXPECT_EQ(1, efs_ctx.data_status_known);
  EXPECT_EQ(2u, +efs_ctx.free_spares);
  uint32_t slot = 9;
  ASSERT_EQ(0, EFS_select_free_page_for_write(&slot));
  EXPECT_EQ(1u, slot);
  // Slot 0 is dirty now; erasing it raises its count.
  ASSERT_EQ(0, EFS_erase_dirty_block());
  EXPECT_EQ(2u, efs_ctx.ec[0]);
  EXPECT_EQ(2u, get32(Block(0)));
  EXPECT_EQ(28, EFS_erase_dirty_block());  // no dirty spare left
}

TEST_F(EfsFiles, ScanRepairsOneBadSpareWithTheAverageCount) {
  SetEraseCount(0, 10);
  SetEraseCount(1, 12);
  for (uint32_t p = 2; p < 7; ++p) SetEraseCount(p, 11);
  SetEraseCount(7, 14);
  SetEraseCount(8, 9);
  Block(9)[12] ^= 0xFF;  // the spare in slot 2 fails its header check
  ASSERT_EQ(0, Mount());
  ASSERT_EQ(0, EFS_scan_for_Data_Blocks_status_and_EC());
  // (10 + 12 + 5 x 11 + 14 + 9) / 9 = 11
  EXPECT_EQ(11u, efs_ctx.ec[9]);
  EXPECT_EQ(11u, get32(Block(9)));
  EXPECT_EQ(ref_crc32(Block(9), 12), get32(Block(9) + 12));
  EXPECT_EQ(3u, +efs_ctx.free_spares);
  EXPECT_EQ(2, efs_ctx.spare_state[2]);

  Block(8)[12] ^= 0xFF;
  Block(9)[12] ^= 0xFF;
  ASSERT_EQ(0, Mount());
  EXPECT_EQ(41, EFS_scan_for_Data_Blocks_status_and_EC());
  EXPECT_EQ(0, efs_ctx.data_status_known);
  EXPECT_EQ(41, Write(kSmall, {1}));
  Block(8)[12] ^= 0xFF;
  Block(9)[12] ^= 0xFF;
  Block(3)[0] ^= 1;  // a mapped block whose header fails
  ASSERT_EQ(0, Mount());
  EXPECT_EQ(41, EFS_scan_for_Data_Blocks_status_and_EC());
}

TEST_F(EfsFiles, SpareWithStrayBytesIsDirty) {
  Block(8)[100] = 0;
  Block(9)[4095] = 0x7F;
  ASSERT_EQ(0, Mount());
  ASSERT_EQ(0, EFS_scan_for_Data_Blocks_status_and_EC());
  EXPECT_EQ(2, efs_ctx.spare_state[0]);
  EXPECT_EQ(1, efs_ctx.spare_state[1]);
  EXPECT_EQ(1, efs_ctx.spare_state[2]);
  EXPECT_EQ(1u, +efs_ctx.free_spares);
  // A three-block write needs all three spares: both dirty ones are erased.
  auto data = pattern(9000, 1);
  ASSERT_EQ(0, Write(kMulti, data));
  ExpectFile(kMulti, data);
}

class EfsSmallGeometry : public EfsFiles {
 protected:
  void UseGeometry(uint32_t bm, uint32_t valid, uint32_t spare, uint32_t threshold,
                   std::vector<FileRec> files) {
    SkuRec r;
    r.bm = bm;
    r.valid = valid;
    r.spare = spare;
    r.threshold = threshold;
    r.files = std::move(files);
    Load(r);
    Format();
  }
};

TEST_F(EfsSmallGeometry, WearLevellingMovesColdestToHottest) {
  UseGeometry(2, 3, 2, 100, {{0, 0, 0, 100}});
  SetEraseCount(0, 3);
  SetEraseCount(1, 1);
  SetEraseCount(2, 1);
  SetEraseCount(3, 5);
  SetEraseCount(4, 100);
  ASSERT_EQ(0, Mount());
  std::vector<uint8_t> before = image_;
  ASSERT_EQ(0, EFS_wear_leveling(0, 0));  // gap 99: nothing moves
  EXPECT_EQ(before, image_);
  SetEraseCount(4, 105);
  ASSERT_EQ(0, Mount());
  ASSERT_EQ(0, EFS_wear_leveling(0, 0));
  EXPECT_EQ(4, efs_ctx.valid_map[2]);  // last of the equal coldest
  EXPECT_EQ(2, efs_ctx.spare_map[1]);
  EXPECT_EQ(105u, get32(Block(4)));  // the hot block keeps its header
  EXPECT_EQ(0, std::memcmp(Block(4) + 16, Block(2) + 16, 4080));
  ASSERT_EQ(0, Mount());
  EXPECT_EQ(4, efs_ctx.valid_map[2]);
  ASSERT_EQ(0, Write(0, {9, 9}));
  ExpectFile(0, {9, 9});
}

TEST_F(EfsSmallGeometry, OneBlockMapNeverSwitches) {
  UseGeometry(1, 3, 2, 100, {{0, 0, 0, 100}});
  // E = 17: the block map is full once another entry would end past 4095.
  uint32_t k = 0;
  while (efs_ctx.bme_off + 2 * 17 <= 4095) ASSERT_EQ(0, Write(0, pattern(5, ++k))) << k;
  EXPECT_EQ(238u, k);
  std::vector<uint8_t> before(image_.begin(), image_.begin() + 4096);
  EXPECT_EQ(28, Write(0, pattern(5, 999)));  // the switch would erase the live map
  EXPECT_EQ(0, std::memcmp(before.data(), image_.data(), 4096));
  EXPECT_EQ(0, EFS_idle_reclaim());  // no erase ahead of the live map either
  EXPECT_EQ(0, std::memcmp(before.data(), image_.data(), 4096));
  ASSERT_EQ(0, Mount());
  ExpectFile(0, pattern(5, k));
  EXPECT_EQ(22, EFS_erase_next_BM(0));  // the current block map
}

TEST_F(EfsSmallGeometry, SpareShortages) {
  UseGeometry(2, 3, 0, 100, {{0, 0, 0, 100}});
  EXPECT_EQ(27, Write(0, {1}));
  EXPECT_EQ(28, EFS_delete(0));
  UseGeometry(2, 3, 1, 100, {{0, 0, 0, 6000}});
  EXPECT_EQ(27, Write(0, pattern(5000, 1)));  // two blocks, one spare
  ASSERT_EQ(0, Write(0, pattern(4000, 1)));
  ExpectFile(0, pattern(4000, 1));
  ASSERT_EQ(0, EFS_delete(0));
  ExpectEmpty(0);
}

TEST_F(EfsSmallGeometry, SingleDataBlockRepairIsRefused) {
  UseGeometry(2, 0, 1, 100, {});
  Block(0)[12] ^= 0xFF;
  ASSERT_EQ(0, Mount());
  EXPECT_EQ(41, EFS_scan_for_Data_Blocks_status_and_EC());
}

TEST_F(EfsFiles, IdleReclaimErasesAheadPastTheFillLevel) {
  // 128 commits bring the current entry to 16 + 128 x 22 = 2832.
  for (uint32_t k = 1; k <= 128; ++k) ASSERT_EQ(0, Write(kSmall, {static_cast<uint8_t>(k)}));
  ASSERT_EQ(2832u, +efs_ctx.bme_off);
  BlockMap(1)[500] = 0;  // the next block map needs erasing
  ASSERT_EQ(0, Mount());
  ASSERT_EQ(0, EFS_idle_reclaim());
  EXPECT_EQ(2, efs_ctx.next_bm_state);
  EXPECT_EQ(0, BlockMap(1)[500]);  // 2854 <= 2856: maintenance instead
  ASSERT_EQ(0, Write(kSmall, {200}));
  ASSERT_EQ(2854u, +efs_ctx.bme_off);
  ASSERT_EQ(0, EFS_idle_reclaim());
  EXPECT_EQ(1, efs_ctx.next_bm_state);
  for (uint32_t i = 0; i < 4096; ++i) ASSERT_EQ(0xFF, BlockMap(1)[i]) << i;
  // All spares erased, next map erased, nothing due: nothing is written.
  while (efs_ctx.free_spares < 3) ASSERT_EQ(0, EFS_idle_reclaim());
  std::vector<uint8_t> before = image_;
  ASSERT_EQ(0, EFS_idle_reclaim());
  EXPECT_EQ(before, image_);
  ExpectFile(kSmall, {200});
}

TEST_F(EfsFiles, EraseUnmountsAndErasesBlockMapsOnly) {
  ASSERT_EQ(0, Write(kSmall, {5}));
  std::vector<uint8_t> data_before(image_.begin() + 8192, image_.end());
  EXPECT_EQ(22, EFS_erase_next_BM(efs_ctx.cur_bm));  // the live block map
  ASSERT_EQ(0, EFS_erase());
  EXPECT_EQ(0, EFS_is_initialized());
  for (uint32_t i = 0; i < 8192; ++i) ASSERT_EQ(0xFF, image_[i]) << i;
  EXPECT_EQ(0, std::memcmp(data_before.data(), image_.data() + 8192, data_before.size()));
  EXPECT_EQ(41, Mount());
  EXPECT_EQ(0, EFS_erase());  // unmounted: plain erases
}

TEST_F(EfsFiles, FormatWhileMountedEndsTheMount) {
  ASSERT_EQ(0, Write(kSmall, {5}));
  ASSERT_EQ(0, EFS_do_format());
  EXPECT_EQ(0, EFS_is_initialized());
  EXPECT_EQ(1, Write(kSmall, {6}));
  ASSERT_EQ(0, Mount());
  ExpectEmpty(kSmall);
}

TEST_F(EfsFiles, EntryThatBreaksTheMapsIsNeverCommitted) {
  ASSERT_EQ(0, Write(kSmall, {7}));
  const std::vector<uint8_t> before = image_;
  uint8_t valid[7];
  uint8_t spare[3];
  std::memcpy(valid, efs_ctx.valid_map, 7);
  std::memcpy(spare, efs_ctx.spare_map, 3);
  efs_bme_t work{valid, spare, 0, 0, 0};
  spare[0] = valid[0];  // one block named twice, another not at all
  EXPECT_EQ(22, EFS_commit_BME(&work, 0, 0));
  EXPECT_EQ(22, EFS_switch_BM(&work));
  spare[0] = 99;  // no such physical block
  EXPECT_EQ(22, EFS_commit_BME(&work, 0, 0));
  // Sound maps whose CRC does not match them.
  std::memcpy(spare, efs_ctx.spare_map, 3);
  work.crc = efs_ctx.bme_crc ^ 1;
  EXPECT_EQ(22, EFS_switch_BM(&work));
  EXPECT_TRUE(before == image_);
  ASSERT_EQ(0, Mount());
  ExpectFile(kSmall, {7});
}

TEST_F(EfsFiles, GeometryChangedBehindTheMountEndsIt) {
  // The geometry globals are writable from outside: the mount's arrays must
  // never be indexed with counts they were not sized for.
  g_efs_valid_block_num = 200;
  EXPECT_EQ(1, Write(kSmall, {1}));
  EXPECT_EQ(0, EFS_is_initialized());
  g_efs_valid_block_num = 7;
  ASSERT_EQ(0, Mount());
  g_efs_bm_num = 0;
  EXPECT_EQ(1, EFS_idle_reclaim());
  g_efs_bm_num = 2;
  ASSERT_EQ(0, Mount());
  ASSERT_EQ(0, Write(kSmall, {1}));
  ExpectFile(kSmall, {1});
}

}  // namespace

namespace {

TEST_F(EfsFiles, FileCountRaisedBehindTheLoaderNeverReadsPastTheTable) {
  // The file count is writable from outside; entries past the loader's table
  // are refused as undefined instead of being read from beyond it.
  const uint32_t loaded = g_efs_files_num;
  g_efs_files_num = loaded + 1000;
  uint32_t size = 0;
  EXPECT_EQ(22, EFS_get_file_size(loaded + 500, &size));
  EXPECT_EQ(22, EFS_write(loaded + 999, 0, 1, reinterpret_cast<const uint8_t*>("x")));
  g_efs_files_num = loaded;
  ASSERT_EQ(0, Write(kSmall, {3}));
  ExpectFile(kSmall, {3});
}

}  // namespace
