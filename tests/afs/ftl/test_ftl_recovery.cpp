// Mount and recovery over images assembled by hand: interrupted reclaims in
// each of their states, damaged headers and page maps, corrupt geometry.
#include "ftl_support.h"

using namespace ftltest;

namespace {

// 6 units, 8 metadata pages, 2 data units: log units 0..2, data units 3
// (block 0, first page 8) and 4 (block 1, first page 130), spare 5. Headers
// as a format writes them.
void base_headers(Vol& v) {
  for (uint32_t i = 0; i < 6; ++i) {
    uint16_t fp = i == 3 ? 8 : i == 4 ? 130 : 0;
    put_header(v.unit_ptr(i), i == 5 ? 0u : 0xAA557887u, i + 1, 1, static_cast<uint16_t>(i + 1), fp, 0);
  }
}

struct Six : Vol {
  Six() : Vol(6, 8 * 64, 2) { base_headers(*this); }
};

}  // namespace

TEST(FtlRecovery, TargetWrittenSourceNotRetiredBecomesTheSpare) {
  Six v;
  LogBuilder src(v.unit_ptr(0));
  src.put(1, pattern(1));
  src.put(2, pattern(2));
  // A reclaim of unit 0 into the spare stopped after the target's header:
  // the target holds copies (here with other content, to see which is read).
  std::memset(v.unit_ptr(5), 0xFF, 8192);
  put_header(v.unit_ptr(5), 0xAA557887u, 7, 2, 0, 0, 0xFF);
  LogBuilder tgt(v.unit_ptr(5));
  tgt.put(1, pattern(91));
  tgt.put(2, pattern(92));
  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(v.st()->spare_eu, 5);
  EXPECT_EQ(v.rec(5).first_page, 0);
  EXPECT_EQ(v.st()->log_eu, 0u);
  Page out;
  ASSERT_EQ(v.read_meta(1, out), 0);
  EXPECT_EQ(out, pattern(1));
  ASSERT_EQ(v.read_meta(2, out), 0);
  EXPECT_EQ(out, pattern(2));
  // The target is the spare: the next copying reclaim erases and reuses it.
  ASSERT_EQ(reclaim_eu(&v.ctx, 0, true), 0);
  EXPECT_EQ(v.st()->spare_eu, 0);
  ASSERT_EQ(v.mount(), 0);
  ASSERT_EQ(v.read_meta(2, out), 0);
  EXPECT_EQ(out, pattern(2));
}

TEST(FtlRecovery, RetiredSourceAcceptsTheLogTargetAndCommitsIt) {
  Six v;
  // Unit 1 holds an older chain; unit 0 was copied into the spare (unit 5)
  // and retired, the commit byte of unit 5 is missing.
  LogBuilder other(v.unit_ptr(1));
  other.put(4, pattern(40));
  other.put(6, pattern(41));
  LogBuilder src(v.unit_ptr(0));
  src.put(1, pattern(1));
  src.put(2, pattern(2));
  std::memset(v.unit_ptr(0), 0, 4);  // retired source
  std::memset(v.unit_ptr(5), 0xFF, 8192);
  put_header(v.unit_ptr(5), 0xAA557887u, 7, 2, 0, 0, 0xFF);
  LogBuilder tgt(v.unit_ptr(5));
  tgt.put(1, pattern(1));
  tgt.put(2, pattern(2));

  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(v.st()->spare_eu, 0);
  EXPECT_EQ(v.st()->sequence, 7u);
  EXPECT_EQ(v.st()->log_eu, 5u);
  EXPECT_EQ(v.st()->log_slot, 2u);
  EXPECT_EQ(v.st()->prev_lpn, 2);
  EXPECT_EQ(v.unit_ptr(5)[17], 0x00);  // committed on flash by the mount
  Page out;
  ASSERT_EQ(v.read_meta(6, out), 0);
  EXPECT_EQ(out, pattern(41));

  // Logging continues in the target; later reclaims keep the volume
  // mountable (an uncommitted target would now name a unit that is no longer
  // the spare).
  ASSERT_EQ(v.write_meta(3, pattern(3)), 0);
  EXPECT_EQ(kelvra::le::get16(v.unit_ptr(5) + 18 + 4), 3 ^ key14(2));
  ASSERT_EQ(reclaim_eu(&v.ctx, 1, true), 0);
  ASSERT_EQ(v.mount(), 0);
  for (auto [lpn, seed] : {std::pair<uint32_t, uint32_t>{1, 1}, {2, 2}, {3, 3}, {4, 40}, {6, 41}}) {
    ASSERT_EQ(v.read_meta(lpn, out), 0) << lpn;
    EXPECT_EQ(out, pattern(seed)) << lpn;
  }
}

TEST(FtlRecovery, AcceptedTargetWithNothingCommittedKeepsItsOwnChain) {
  Six v;
  // The current log unit (1) ends its chain on page 5. The accepted target
  // holds only a torn first entry, so its replay counts nothing live.
  LogBuilder cur(v.unit_ptr(1));
  cur.put(5, pattern(50));
  LogBuilder src(v.unit_ptr(0));
  src.put(7, pattern(70));
  std::memset(v.unit_ptr(0), 0, 4);
  std::memset(v.unit_ptr(5), 0xFF, 8192);
  put_header(v.unit_ptr(5), 0xAA557887u, 7, 2, 0, 0, 0xFF);
  LogBuilder tgt(v.unit_ptr(5));
  tgt.put(7, pattern(70), false);

  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(v.st()->log_eu, 5u);
  EXPECT_EQ(v.st()->log_slot, 2u);
  EXPECT_EQ(v.st()->prev_lpn, 0);
  EXPECT_EQ(v.rec(5).not_live, 120);
  ASSERT_EQ(v.write_meta(3, pattern(33)), 0);
  ASSERT_EQ(v.mount(), 0);
  Page out;
  ASSERT_EQ(v.read_meta(3, out), 0);
  EXPECT_EQ(out, pattern(33));
  ASSERT_EQ(v.read_meta(5, out), 0);
  EXPECT_EQ(out, pattern(50));
}

TEST(FtlRecovery, RetiredDataSourceAcceptsTheDataTarget) {
  Six v;
  put_data_slot(v.unit_ptr(3), 0, 8, pattern(100));
  put_data_slot(v.unit_ptr(3), 1, 9, pattern(101));  // dead
  put_data_slot(v.unit_ptr(3), 2, 10, pattern(102));
  std::memset(v.unit_ptr(3), 0, 4);
  std::memset(v.unit_ptr(5), 0xFF, 8192);
  put_header(v.unit_ptr(5), 0xAA557887u, 7, 2, 3, 8, 0xFF);
  put_data_slot(v.unit_ptr(5), 0, 8, pattern(100));
  put_data_slot(v.unit_ptr(5), 2, 10, pattern(102));
  ASSERT_EQ(v.mount({0, 2}), 0);
  EXPECT_EQ(v.st()->spare_eu, 3);
  EXPECT_EQ(v.unit_ptr(5)[17], 0x00);
  Page out;
  ASSERT_EQ(v.read_data(2, out), 0);
  EXPECT_EQ(out, pattern(102));
  EXPECT_EQ(v.rec(5).free_count, 120);
  // Two more reclaims, and the volume still mounts with its data.
  ASSERT_EQ(reclaim_eu(&v.ctx, 5, true), 0);
  ASSERT_EQ(reclaim_eu(&v.ctx, 4, true), 0);  // the window stays in block 0
  ASSERT_EQ(v.mount({0, 2}), 0);
  ASSERT_EQ(v.read_data(0, out), 0);
  EXPECT_EQ(out, pattern(100));
}

TEST(FtlRecovery, InconsistentHeadersRefuseTheMount) {
  {
    Six v;  // two units without a valid header
    v.unit_ptr(2)[16] ^= 1;
    EXPECT_EQ(v.mount(), 5);
  }
  {
    Six v;  // two uncommitted targets
    put_header(v.unit_ptr(1), 0xAA557887u, 2, 1, 2, 0, 0xFF);
    put_header(v.unit_ptr(2), 0xAA557887u, 3, 1, 3, 0, 0xFF);
    EXPECT_EQ(v.mount(), 5);
  }
  {
    Six v;  // the newest header names another unit than the spare
    put_header(v.unit_ptr(4), 0xAA557887u, 5, 1, 2, 130, 0);
    EXPECT_EQ(v.mount(), 5);
  }
  {
    Six v;  // an accepted target must name the spare
    std::memset(v.unit_ptr(0), 0, 4);
    std::memset(v.unit_ptr(5), 0xFF, 8192);
    put_header(v.unit_ptr(5), 0xAA557887u, 7, 2, 1, 0, 0xFF);
    EXPECT_EQ(v.mount(), 5);
  }
  {
    Six v;  // a zero erase count makes a header invalid: a second spare
    put_header(v.unit_ptr(1), 0xAA557887u, 2, 0, 2, 0, 0);
    EXPECT_EQ(v.mount(), 5);
  }
}

TEST(FtlRecovery, AlternativeMagicsAreAccepted) {
  Six v;
  // 0x82416801 with the check over the stored bytes; 0xAA050887 with the
  // check computed over the live magic.
  put_header(v.unit_ptr(1), 0x82416801u, 2, 1, 2, 0, 0);
  uint8_t* p = v.unit_ptr(2);
  put_header(p, 0x82416801u, 3, 1, 3, 0, 0);
  p[16] = crc8(p, 16);
  put_header(v.unit_ptr(0), 0xAA050887u, 1, 1, 1, 0, 0);
  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(v.st()->spare_eu, 5);
  // 0xAA050887 with a check over its own bytes is not valid.
  p = v.unit_ptr(0);
  p[16] = crc8(p, 16);
  EXPECT_EQ(v.mount(), 5);
}

TEST(FtlRecovery, ErasedSpareGetsTheAverageEraseCount) {
  Six v;
  for (uint32_t i = 0; i < 5; ++i) {
    uint16_t fp = i == 3 ? 8 : i == 4 ? 130 : 0;
    put_header(v.unit_ptr(i), 0xAA557887u, i + 1, 10 + 3 * i, static_cast<uint16_t>(i + 1), fp, 0);
  }
  std::memset(v.unit_ptr(5), 0xFF, 8192);
  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(v.rec(5).erase_count, (10u + 13 + 16 + 19 + 22) / 5);
}

TEST(FtlRecovery, TornEntryAtTheEndLeavesTheUnitFull) {
  Six v;
  LogBuilder l(v.unit_ptr(0));
  for (uint32_t k = 0; k < 119; ++k) l.put(k % 8, pattern(k));
  l.put(3, pattern(999), false);  // entry 119 torn
  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(v.st()->log_eu, 0u);
  EXPECT_EQ(v.st()->log_slot, 120u);
  // The next write goes to another unit.
  ASSERT_EQ(v.write_meta(3, pattern(1000)), 0);
  EXPECT_NE(v.st()->log_eu, 0u);
  Page out;
  ASSERT_EQ(v.mount(), 0);
  ASSERT_EQ(v.read_meta(3, out), 0);
  EXPECT_EQ(out, pattern(1000));
  ASSERT_EQ(v.read_meta(5, out), 0);
  EXPECT_EQ(out, pattern(117));
}

TEST(FtlRecovery, PageMapWithoutEndIsNeverWrittenOver) {
  Six v;
  LogBuilder l(v.unit_ptr(0));
  for (uint32_t k = 0; k < 120; ++k) l.put(k % 8, pattern(k));
  v.unit_ptr(0)[18 + 240] = 0x00;  // entry 120: committed, but no end mark
  const std::vector<uint8_t> before(v.unit_ptr(0), v.unit_ptr(0) + 8192);
  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(v.st()->log_slot, 120u);
  ASSERT_EQ(v.write_meta(2, pattern(500)), 0);
  Page out;
  for (uint32_t lpn = 0; lpn < 8; ++lpn) {
    ASSERT_EQ(v.read_meta(lpn, out), 0);
    EXPECT_EQ(out, lpn == 2 ? pattern(500) : pattern(112 + lpn));
  }
  // Nothing was written into unit 0's map or slots.
  EXPECT_EQ(0, std::memcmp(before.data() + 18, v.unit_ptr(0) + 18, 8192 - 18));

  // A map whose end mark is followed by written entries: treated as full.
  Six w;
  LogBuilder m(w.unit_ptr(0));
  m.put(1, pattern(1));
  m.put(2, pattern(2));
  kelvra::le::put16(w.unit_ptr(0) + 18 + 2 * 5, 0x1234);
  ASSERT_EQ(w.mount(), 0);
  EXPECT_EQ(w.st()->log_slot, 120u);
}

TEST(FtlRecovery, CorruptMapsAndGeometryGiveIoErrors) {
  {
    Six v;  // a committed entry that decodes beyond the metadata pages
    LogBuilder l(v.unit_ptr(0));
    l.put(200, pattern(1));
    EXPECT_EQ(v.mount(), 5);
  }
  {
    Six v;  // a data unit whose first page is not the start of a block
    put_header(v.unit_ptr(4), 0xAA557887u, 5, 1, 5, 131, 0);
    EXPECT_EQ(v.mount(), 5);
  }
  {
    Six v;  // a data unit whose first page lies inside the metadata pages
    put_header(v.unit_ptr(4), 0xAA557887u, 5, 1, 5, 4, 0);
    EXPECT_EQ(v.mount(), 5);
  }
  {
    Six v;  // two units holding the same block
    put_header(v.unit_ptr(4), 0xAA557887u, 5, 1, 5, 8, 0);
    EXPECT_EQ(v.mount(), 5);
  }
  {
    Six v;  // a block beyond the volume: mounts, never touches the bitmap
    put_header(v.unit_ptr(4), 0xAA557887u, 5, 1, 5, 8 + 122 * 40, 0);
    ASSERT_EQ(v.mount(), 0);
    Page out;
    EXPECT_EQ(v.read_data(200, out), 0);  // not in use
  }
  {
    Six v;  // a cluster in use whose slot is being written
    put_data_slot(v.unit_ptr(3), 4, 12, pattern(1), 0x7F);
    EXPECT_EQ(v.mount({4}), 5);
  }
  {
    Six v;  // geometry from the caller: more data units than the partition
    v.ctx.volume_size = v.ctx.data_start + 6 * AFS_DATA_BLOCK_BYTES;
    EXPECT_EQ(afs_physical_ftl_init(&v.ctx, v.ctx.partition_size, FTL_INIT_ALLOCATE | FTL_INIT_SET_FLASH), 5);
    v.ctx.volume_size = 100;  // below data_start
    EXPECT_EQ(afs_physical_ftl_init(&v.ctx, v.ctx.partition_size, FTL_INIT_ALLOCATE), 5);
    v.ctx.volume_size = v.ctx.data_start + 2 * AFS_DATA_BLOCK_BYTES;
    v.ctx.data_start += 10;  // not a page boundary
    EXPECT_EQ(afs_physical_ftl_init(&v.ctx, v.ctx.partition_size, FTL_INIT_ALLOCATE), 5);
  }
}

TEST(FtlRecovery, MountWithoutFlashFails) {
  Six v;
  v.ctx.flash_base = nullptr;
  EXPECT_EQ(afs_physical_ftl_init(&v.ctx, v.ctx.partition_size, FTL_INIT_ALLOCATE | FTL_INIT_SET_FLASH), 5);
  v.ctx.flash_base = v.flash.data();
  EXPECT_EQ(v.mount(), 0);
}

TEST(FtlRecovery, UnitCountIsKeptInEightBits) {
  {
    Vol v(256, 1024, 0);
    EXPECT_EQ(afs_physical_ftl_init(&v.ctx, v.ctx.partition_size, FTL_INIT_ALLOCATE | FTL_INIT_SET_FLASH), 5);
    EXPECT_EQ(v.st()->eu_count, 0);
  }
  {
    Vol v(255, 1024, 200);
    ASSERT_EQ(v.format(true), 0);
    ASSERT_EQ(v.mount(), 0);
    EXPECT_EQ(v.st()->spare_eu, 254);
    EXPECT_EQ(v.st()->first_data_eu, 54);
    ASSERT_EQ(v.write_meta(1, pattern(1)), 0);
    uint32_t c = 0;
    ASSERT_EQ(v.allocate(c), 0);
    ASSERT_EQ(v.write_data(c, pattern(2)), 0);
    ASSERT_EQ(v.mount({c}), 0);
    Page out;
    ASSERT_EQ(v.read_data(c, out), 0);
    EXPECT_EQ(out, pattern(2));
  }
}

TEST(FtlRecovery, NewerCopyAcrossUnitsWins) {
  Six v;
  put_header(v.unit_ptr(2), 0xAA557887u, 3, 1, 3, 0, 0);
  LogBuilder newer(v.unit_ptr(2));
  newer.put(4, pattern(2));
  LogBuilder older(v.unit_ptr(1));
  older.put(4, pattern(1));
  older.put(5, pattern(5));
  ASSERT_EQ(v.mount(), 0);
  Page out;
  ASSERT_EQ(v.read_meta(4, out), 0);
  EXPECT_EQ(out, pattern(2));
  EXPECT_EQ(v.rec(1).not_live, 119);  // the older copy is dead in its unit
  EXPECT_EQ(v.st()->log_eu, 2u);
}

TEST(FtlRecovery, DamagedImagesNeverReachOutsideTheBuffer) {
  // A used image; then random damage to headers, page maps and status bytes.
  Six base;
  std::memset(base.flash.data(), 0xFF, base.flash.size());
  ASSERT_EQ(base.format(true), 0);
  ASSERT_EQ(base.mount(), 0);
  std::vector<uint32_t> live;
  for (uint32_t i = 0; i < 300; ++i) {
    ASSERT_EQ(base.write_meta(i % 8, pattern(i)), 0);
    if (i % 3 == 0) {
      uint32_t c = 0;
      ASSERT_EQ(base.allocate(c), 0);
      ASSERT_EQ(base.write_data(c, pattern(i)), 0);
      live.push_back(c);
    }
  }
  uint32_t rng = 0x1234567u;
  auto next = [&]() {
    rng ^= rng << 13;
    rng ^= rng >> 17;
    rng ^= rng << 5;
    return rng;
  };
  uint32_t mounted = 0;
  for (uint32_t iter = 0; iter < 400; ++iter) {
    Six v;
    v.flash = base.flash;
    v.ctx.flash_base = v.flash.data();
    for (uint32_t n = 0; n < 1 + next() % 4; ++n) {
      const uint32_t unit = next() % 6;
      const uint32_t off = next() % 260;  // header, map entries, status bytes
      v.unit_ptr(unit)[off] = static_cast<uint8_t>(next());
    }
    if (v.mount(live) != 0) continue;
    ++mounted;
    Page out;
    for (uint32_t lpn = 0; lpn < 8; ++lpn) v.read_meta(lpn, out);
    for (uint32_t c : live) v.read_data(c, out);
    for (uint32_t i = 0; i < 130; ++i) v.write_meta(i % 8, pattern(i));
    uint32_t c = 0;
    if (v.allocate(c) == 0) v.write_data(c, pattern(1));
    afs_physical_ftl_idle_reclaim(&v.ctx);
    afs_physical_ftl_force_full_reclaim(&v.ctx);
  }
  EXPECT_GT(mounted, 50u);
}
