// Mount on hand-built block maps: choice of the current block map, the
// newest entry, and recovery from updates cut short.
#include "efs_test_util.h"

using namespace efs_test;
using kelvra::le::get32;
using kelvra::le::put32;

namespace {

constexpr uint32_t E = 22;  // default geometry: 7 + 3 + 12

class EfsMount : public EfsVolume {
 protected:
  void ExpectEmptyFile() {
    uint32_t size = 0;
    EXPECT_EQ(2, EFS_get_file_size(kSmall, &size));
  }
  void SetUp() override {
    EfsVolume::SetUp();
    // Start from two erased block maps; the data blocks stay formatted.
    std::memset(image_.data(), 0xFF, 8192);
  }
  void PutHeader(uint32_t bm, uint32_t seq, uint8_t spare_count = 3, uint8_t layout = 0) {
    uint8_t* h = BlockMap(bm);
    const uint8_t bytes[12] = {1, 0, 0, 0, 0, 0, 0, 0, 2, 7, spare_count, layout};
    std::memcpy(h, bytes, 12);
    put32(h + 4, seq);
    put32(h + 12, ref_crc32(h, 12));
  }
  // Entry `slot` of block map `bm`; `maps` holds valid map then spare map.
  void PutEntry(uint32_t bm, uint32_t slot, std::vector<uint8_t> maps = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}) {
    uint8_t* p = BlockMap(bm) + 16 + slot * E;
    std::memcpy(p, maps.data(), 10);
    std::memset(p + 10, 0, 8);
    put32(p + 18, ref_crc32(p, 18));
  }
};

TEST_F(EfsMount, GreatestSequenceWins) {
  struct Case {
    uint32_t s0, s1;
    int rc;
    uint32_t chosen;
  } cases[] = {{6, 5, 0, 0}, {5, 5, 0, 0}, {5, 6, 0, 1}, {0, 0, 41, 0}, {0, 1, 0, 1}};
  for (const Case& c : cases) {
    std::memset(image_.data(), 0xFF, 8192);
    PutHeader(0, c.s0);
    PutHeader(1, c.s1);
    PutEntry(0, 0);
    PutEntry(1, 0);
    ASSERT_EQ(c.rc, Mount()) << c.s0 << "/" << c.s1;
    if (c.rc == 0) {
      EXPECT_EQ(c.chosen, +efs_ctx.cur_bm);
      EXPECT_EQ(c.chosen == 0 ? c.s0 : c.s1, +efs_ctx.bm_seq);
      EXPECT_EQ(16u, +efs_ctx.bme_off);
      EXPECT_EQ(1, EFS_is_initialized());
    } else {
      EXPECT_EQ(0, EFS_is_initialized());
    }
  }
}

TEST_F(EfsMount, ErasedAndZeroedHeadersAreSkipped) {
  EXPECT_EQ(41, Mount());  // both all 0xFF
  std::memset(BlockMap(0), 0x00, 16);
  PutHeader(1, 4);
  PutEntry(1, 0);
  ASSERT_EQ(0, Mount());
  EXPECT_EQ(1u, +efs_ctx.cur_bm);
  std::memset(BlockMap(1), 0x00, 16);
  EXPECT_EQ(41, Mount());  // both all 0x00
  PutHeader(1, 4);
  BlockMap(1)[3] ^= 0x10;  // CRC no longer matches: skipped after the re-reads
  EXPECT_EQ(41, Mount());
}

TEST_F(EfsMount, ForeignGeometryFailsEvenBesideAGoodHeader) {
  PutHeader(0, 9);
  PutEntry(0, 0);
  PutHeader(1, 2, /*spare_count=*/4);
  EXPECT_EQ(41, Mount());
  PutHeader(1, 2, 3, /*layout=*/1);
  EXPECT_EQ(41, Mount());
  PutHeader(1, 2);
  ASSERT_EQ(0, Mount());
  EXPECT_EQ(0u, +efs_ctx.cur_bm);
}

TEST_F(EfsMount, TornNewestEntryFallsBackAndSwitchesAtNextCommit) {
  PutHeader(0, 1);
  PutEntry(0, 0);
  PutEntry(0, 1, {7, 1, 2, 3, 4, 5, 6, 0, 8, 9});
  std::memset(BlockMap(0) + 16 + E + 11, 0xFF, E - 11);  // second half never written
  ASSERT_EQ(0, Mount());
  EXPECT_EQ(16u, +efs_ctx.bme_off);
  EXPECT_EQ(1, efs_ctx.bm_switch_pending);
  EXPECT_EQ(0, efs_ctx.valid_map[0]);
  auto data = pattern(40, 1);
  ASSERT_EQ(0, Write(kSmall, data));
  EXPECT_EQ(1u, +efs_ctx.cur_bm);
  EXPECT_EQ(2u, +efs_ctx.bm_seq);
  EXPECT_EQ(0, efs_ctx.bm_switch_pending);
  ASSERT_EQ(0, Mount());
  EXPECT_EQ(1u, +efs_ctx.cur_bm);
  EXPECT_EQ(data, Read(kSmall, 0, 100));
}

TEST_F(EfsMount, OnlyEntryBrokenFails) {
  PutHeader(0, 1);
  PutEntry(0, 0);
  BlockMap(0)[16 + 20] ^= 1;
  EXPECT_EQ(41, Mount());
  // A broken newest entry whose predecessor is broken too.
  PutEntry(0, 0);
  PutEntry(0, 1);
  PutEntry(0, 2);
  BlockMap(0)[16 + E + 3] ^= 1;
  BlockMap(0)[16 + 2 * E + 3] ^= 1;
  EXPECT_EQ(41, Mount());
}

TEST_F(EfsMount, InconsistentMapsFail) {
  PutHeader(0, 1);
  PutEntry(0, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 8});  // block 8 twice, 9 never
  EXPECT_EQ(41, Mount());
  PutEntry(0, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 10});  // block beyond the volume
  EXPECT_EQ(41, Mount());
}

TEST_F(EfsMount, FullBlockMapMountsItsLastSlot) {
  PutHeader(0, 3);
  for (uint32_t k = 0; k < 185; ++k) PutEntry(0, k);
  PutEntry(0, 184, {6, 5, 4, 3, 2, 1, 0, 9, 8, 7});
  ASSERT_EQ(0, Mount());
  EXPECT_EQ(16u + 184u * E, +efs_ctx.bme_off);
  EXPECT_EQ(6, efs_ctx.valid_map[0]);
  // The next commit cannot append: it switches.
  ASSERT_EQ(0, Write(kSmall, {1, 2, 3}));
  EXPECT_EQ(1u, +efs_ctx.cur_bm);
  EXPECT_EQ(4u, +efs_ctx.bm_seq);
}

TEST_F(EfsMount, InterruptedSwitchFirstHalf) {
  // The new block map got its first entry but no header yet.
  PutHeader(0, 7);
  PutEntry(0, 0);
  PutEntry(1, 0, {9, 1, 2, 3, 4, 5, 6, 7, 8, 0});
  ASSERT_EQ(0, Mount());
  EXPECT_EQ(0u, +efs_ctx.cur_bm);
  EXPECT_EQ(0, efs_ctx.valid_map[0]);
  // A later switch must erase the half-written block map before use.
  for (uint32_t k = 1; k < 185; ++k) PutEntry(0, k);
  ASSERT_EQ(0, Mount());
  ASSERT_EQ(0, Write(kSmall, {4}));
  EXPECT_EQ(1u, +efs_ctx.cur_bm);
  ASSERT_EQ(0, Mount());
  EXPECT_EQ(1u, +efs_ctx.cur_bm);
  EXPECT_EQ(std::vector<uint8_t>({4}), Read(kSmall, 0, 10));
}

TEST_F(EfsMount, InterruptedSwitchSecondHalf) {
  // New header written and verified, old header not yet zeroed.
  PutHeader(0, 7);
  PutEntry(0, 0);
  PutHeader(1, 8);
  PutEntry(1, 0, {0, 1, 2, 3, 4, 5, 6, 9, 8, 7});
  ASSERT_EQ(0, Mount());
  EXPECT_EQ(1u, +efs_ctx.cur_bm);
  EXPECT_EQ(8u, +efs_ctx.bm_seq);
  EXPECT_EQ(9, efs_ctx.spare_map[0]);
}

TEST_F(EfsMount, TransientReadCorruptionIsRetried) {
  PutHeader(0, 1);
  PutEntry(0, 0);
  kelvra::FlashFaultPlan plan;
  plan.corrupt_reads = 2;
  {
    kelvra::fault::ScopedPlan scoped(plan);
    ASSERT_EQ(0, Mount());
  }
  EXPECT_EQ(2u, plan.corrupted);
  EXPECT_EQ(0u, +efs_ctx.cur_bm);
}

TEST_F(EfsMount, BadSpareIsRepairedByTheFirstUpdate) {
  PutHeader(0, 1);
  PutEntry(0, 0);
  Block(8)[2] ^= 0x55;  // header CRC of the spare in slot 1 fails
  ASSERT_EQ(0, Mount());
  ASSERT_EQ(0, Write(kSmall, {1}));
  EXPECT_EQ(ref_crc32(Block(8), 12), get32(Block(8) + 12));
  EXPECT_EQ(1u, get32(Block(8)));  // average of the other blocks' counts
  ASSERT_EQ(0, Mount());
  EXPECT_EQ(std::vector<uint8_t>({1}), Read(kSmall, 0, 10));
}

TEST_F(EfsMount, FailedSwitchKeepsTheOldBlockMap) {
  PutHeader(0, 5);
  for (uint32_t k = 0; k < 185; ++k) PutEntry(0, k);
  BlockMap(1)[20] = 0x00;  // inside the first entry's slot
  ASSERT_EQ(0, Mount());
  efs_ctx.next_bm_state = 1;  // wrongly believed erased
  EXPECT_EQ(41, Write(kSmall, {1}));
  EXPECT_EQ(0u, +efs_ctx.cur_bm);
  EXPECT_EQ(0, efs_ctx.next_bm_state);
  ExpectEmptyFile();
  ASSERT_EQ(0, Mount());
  EXPECT_EQ(0u, +efs_ctx.cur_bm);
  ExpectEmptyFile();
  ASSERT_EQ(0, Write(kSmall, {2}));  // state unknown now: the target is erased first
  EXPECT_EQ(1u, +efs_ctx.cur_bm);
  ASSERT_EQ(0, Mount());
  EXPECT_EQ(std::vector<uint8_t>({2}), Read(kSmall, 0, 10));
}

TEST_F(EfsMount, ExhaustedSequenceRefusesTheSwitch) {
  PutHeader(0, 0xFFFFFFFFu);
  for (uint32_t k = 0; k < 185; ++k) PutEntry(0, k);
  ASSERT_EQ(0, Mount());
  std::vector<uint8_t> before(image_.begin(), image_.begin() + 8192);
  EXPECT_EQ(5, Write(kSmall, {1}));
  EXPECT_EQ(0, std::memcmp(before.data(), image_.data(), 8192));
  ExpectEmptyFile();
}

TEST_F(EfsMount, LargerGeometryNeverReachesPastTheHostBuffer) {
  PutHeader(0, 1);
  PutEntry(0, 0);
  // The host's buffer holds exactly the length it was told.
  std::vector<uint8_t> host(image_);
  ASSERT_EQ(0, EFS_init_tools(host.data()));
  SkuRec r = default_sku();
  r.bm = 20;  // a later load asks for a much longer image
  Load(r);
  EXPECT_EQ(0, EFS_is_initialized());
  EXPECT_EQ(22, EFS_erase());  // block map 12 onwards lies past the buffer
  uint8_t b = 0;
  EXPECT_EQ(22, EFS_physical_read(49152, 1, &b));
}

}  // namespace
