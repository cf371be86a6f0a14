// Page I/O details, reclaim choices, wear levelling, idle reclaim and the
// maintenance operations.
#include <algorithm>

#include "ftl_support.h"

using namespace ftltest;

TEST(FtlIo, DataCapacity) {
  afs_context_t ctx{};
  const std::pair<uint32_t, uint32_t> cases[] = {{0, 0},      {1, 0},      {2, 0},       {4, 15616},
                                                 {11, 70272}, {12, 78080}, {16, 109312}, {255, 1819264}};
  for (auto [units, bytes] : cases) {
    ctx.partition_size = units * 8192;
    EXPECT_EQ(afs_physical_ftl_get_data_vas(&ctx, 0), bytes) << units;
  }
}

TEST(FtlIo, RewritesLogReclaimAndRetry) {
  Vol v(5, 512, 2);
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  ASSERT_EQ(v.write_meta(1, pattern(1)), 0);
  const uint8_t nl = v.rec(0).not_live;
  ASSERT_EQ(v.write_meta(1, pattern(2)), 0);
  EXPECT_EQ(v.rec(0).not_live, nl);  // one slot used, one slot dead
  Page out;
  ASSERT_EQ(v.read_meta(1, out), 0);
  EXPECT_EQ(out, pattern(2));
  ASSERT_EQ(v.read_meta(6, out), 0);
  EXPECT_EQ(out, Page(64, 0));
  // Fill unit 0; the 121st write moves to the empty log unit 1.
  for (uint32_t i = 2; i < 120; ++i) ASSERT_EQ(v.write_meta(i % 8, pattern(i + 1)), 0);
  EXPECT_EQ(v.st()->log_eu, 0u);
  EXPECT_EQ(v.st()->log_slot, 120u);
  ASSERT_EQ(v.write_meta(0, pattern(777)), 0);
  EXPECT_EQ(v.st()->log_eu, 1u);
  EXPECT_EQ(kelvra::le::get16(v.unit_ptr(1) + 18), 0 ^ 0x0B5B);  // chained from 0

  // The allocator: the first exhausted window asks for a flush.
  uint16_t n = 0;
  for (uint32_t i = 0; i < 122; ++i) {
    int r = afs_physical_ftl_allocate_page(&v.ctx, &n);
    ASSERT_EQ(r, 0);
    ASSERT_EQ(v.write_data(n - 65, pattern(i)), 0);
  }
  EXPECT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &n), FTL_RETRY_AFTER_FLUSH);
  EXPECT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &n), 0);  // moved to block 0 without a copy
  EXPECT_LT(n - 65u, 122u);
}

TEST(FtlIo, RunAcrossABlockBoundary) {
  Vol v(5, 512, 2);
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  // Write clusters 118..125 directly (the test sets the window).
  v.st()->alloc_next = 0;
  for (uint32_t c = 118; c < 126; ++c) ASSERT_EQ(v.write_data(c, pattern(c)), 0);
  std::vector<uint8_t> buf(66 * 8, 0xEE);
  ASSERT_EQ(afs_physical_ftl_read_data_pages(&v.ctx, buf.data(), v.data_addr(118), 8), 0);
  for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(0, std::memcmp(buf.data() + 64 * i, pattern(118 + i).data(), 64)) << i;
  // A second boundary is refused rather than read past the destination.
  std::vector<uint8_t> big(66 * 250);
  EXPECT_EQ(afs_physical_ftl_read_data_pages(&v.ctx, big.data(), v.data_addr(118), 250), 5);
}

TEST(FtlReclaim, SpareAllLiveAndNoDeadCases) {
  Vol v(5, 512, 2);
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  const std::vector<uint8_t> before = v.flash;
  EXPECT_EQ(reclaim_eu(&v.ctx, 4, true), 28);  // the spare
  EXPECT_EQ(v.flash, before);

  // A log unit with 120 live pages: swapped, nothing gained.
  Vol w(5, 120 * 64, 1);
  ASSERT_EQ(w.format(true), 0);
  ASSERT_EQ(w.mount(), 0);
  for (uint32_t i = 0; i < 120; ++i) ASSERT_EQ(w.write_meta(i, pattern(i)), 0);
  const uint32_t spare = w.st()->spare_eu;
  EXPECT_EQ(reclaim_eu(&w.ctx, 0, true), FTL_NOTHING_RECLAIMED);
  EXPECT_EQ(w.st()->spare_eu, 0);
  // The retired header: magic 0, the other bytes as they were.
  EXPECT_EQ(kelvra::le::get32(w.unit_ptr(0)), 0u);
  std::vector<uint8_t> img(18);
  put_header(img.data(), 0, 1, 1, 1, 0, 0);
  EXPECT_EQ(0, std::memcmp(img.data(), w.unit_ptr(0), 18));
  // Logging went to the empty log unit 1; the target is an empty log unit.
  EXPECT_EQ(w.st()->log_eu, 1u);
  EXPECT_EQ(w.rec(spare).free_count, 1);
  ASSERT_EQ(w.mount(), 0);
  Page out;
  for (uint32_t i = 0; i < 120; ++i) {
    ASSERT_EQ(w.read_meta(i, out), 0);
    ASSERT_EQ(out, pattern(i));
  }
}

TEST(FtlReclaim, LogReclaimWithoutAlternativeMovesIntoTheTarget) {
  Vol v(4, 512, 1);  // log units 0 and 1, data unit 2, spare 3
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  for (uint32_t i = 0; i < 240; ++i) ASSERT_EQ(v.write_meta(i % 8, pattern(i)), 0);
  EXPECT_EQ(v.st()->log_eu, 1u);
  ASSERT_EQ(v.write_meta(0, pattern(5000)), 0);
  // Unit 0 (all dead) was reclaimed into unit 3, which took over logging.
  EXPECT_EQ(v.st()->spare_eu, 0);
  EXPECT_EQ(v.st()->log_eu, 3u);
  EXPECT_EQ(v.st()->log_slot, 1u);
  EXPECT_EQ(kelvra::le::get16(v.unit_ptr(3) + 18), 0 ^ 0x0B5B);
  ASSERT_EQ(v.mount(), 0);
  Page out;
  ASSERT_EQ(v.read_meta(0, out), 0);
  EXPECT_EQ(out, pattern(5000));
}

TEST(FtlReclaim, WearLevellingRule) {
  Vol v(8, 512, 4);  // log 0..2, data 3..6, spare 7
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  auto set = [&](uint32_t least, uint32_t most, uint32_t high) {
    for (uint32_t u = 3; u <= 6; ++u) {
      v.rec(u).erase_count = 60;
      v.rec(u).not_live = 0;
      v.rec(u).free_count = 0;
    }
    v.rec(least).erase_count = 30;
    v.rec(most).not_live = 50;
    v.rec(6).erase_count = high;
  };
  bool copy = false;
  set(4, 5, 140);
  EXPECT_EQ(choose_eu_to_reclaim(&v.ctx, FTL_KIND_DATA, true, &copy, false), 4u);
  EXPECT_TRUE(copy);
  EXPECT_EQ(choose_eu_to_reclaim(&v.ctx, FTL_KIND_DATA, false, &copy, false), 5u);
  set(4, 5, 141);  // highest not a multiple of 10
  EXPECT_EQ(choose_eu_to_reclaim(&v.ctx, FTL_KIND_DATA, true, &copy, false), 5u);
  set(4, 5, 140);
  v.rec(4).erase_count = 40;  // spread of 100
  EXPECT_EQ(choose_eu_to_reclaim(&v.ctx, FTL_KIND_DATA, true, &copy, false), 5u);
  // Ties on dead slots go to the lower erase count, then the earlier unit.
  set(4, 5, 60);
  v.rec(6).not_live = 50;
  v.rec(6).erase_count = 59;
  EXPECT_EQ(choose_eu_to_reclaim(&v.ctx, FTL_KIND_DATA, true, &copy, false), 6u);
  // An empty data unit is taken without a copy.
  v.rec(5).free_count = 3;
  EXPECT_EQ(choose_eu_to_reclaim(&v.ctx, FTL_KIND_DATA, true, &copy, false), 5u);
  EXPECT_FALSE(copy);
}

TEST(FtlReclaim, IdleReclaimDecisions) {
  Vol v(6, 512, 2);  // log 0..2, data 3 and 4, spare 5
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  uint32_t unit = 77, kind = 77;
  EXPECT_FALSE(afs_physical_ftl_idle_reclaim_needed(&v.ctx, &unit, &kind));
  EXPECT_EQ(unit, 77u);
  EXPECT_EQ(afs_physical_ftl_idle_reclaim(&v.ctx), 0);

  // A fully dead data unit is reclaimed in idle time even with space left.
  std::vector<uint32_t> cl;
  for (uint32_t i = 0; i < 122; ++i) {
    uint32_t c = 0;
    ASSERT_EQ(v.allocate(c), 0);
    ASSERT_EQ(v.write_data(c, pattern(i)), 0);
    cl.push_back(c);
  }
  for (uint32_t c : cl) v.trim_data(c);
  ASSERT_TRUE(afs_physical_ftl_idle_reclaim_needed(&v.ctx, &unit, &kind));
  EXPECT_EQ(kind, 1u);
  EXPECT_EQ(v.rec(unit).first_page, 130);
  EXPECT_EQ(afs_physical_ftl_idle_reclaim(&v.ctx), 0);
  EXPECT_EQ(v.st()->spare_eu, unit);

  // Fewer than 30 free log slots: a log reclaim.
  for (uint32_t i = 0; i < 331; ++i) ASSERT_EQ(v.write_meta(i % 8, pattern(i)), 0);
  ASSERT_TRUE(afs_physical_ftl_idle_reclaim_needed(&v.ctx, &unit, &kind));
  EXPECT_EQ(kind, 0u);
  EXPECT_EQ(unit, FTL_NO_UNIT);
  EXPECT_EQ(afs_physical_ftl_idle_reclaim(&v.ctx), 0);
  ASSERT_EQ(v.mount(), 0);
  Page out;
  ASSERT_EQ(v.read_meta(2, out), 0);
  EXPECT_EQ(out, pattern(330));
}

TEST(FtlMaintenance, ForcedFullReclaimPass) {
  Vol v(8, 512, 4);  // data units 3..6
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  std::vector<uint32_t> live;
  for (uint32_t i = 0; i < 50; ++i) {
    uint32_t c = 0;
    ASSERT_EQ(v.allocate(c), 0);
    ASSERT_EQ(v.write_data(c, pattern(i)), 0);
    live.push_back(c);
  }
  int r = 0, calls = 0;
  while ((r = afs_physical_ftl_force_full_reclaim(&v.ctx)) == 11) ++calls;
  EXPECT_EQ(r, 0);
  EXPECT_GE(calls, 3);
  EXPECT_EQ(v.st()->full_reclaim_cursor, 0);
  ASSERT_EQ(v.mount(live), 0);
  Page out;
  for (uint32_t i = 0; i < 50; ++i) {
    ASSERT_EQ(v.read_data(live[i], out), 0);
    ASSERT_EQ(out, pattern(i));
  }
  Vol w(4, 512, 0);
  ASSERT_EQ(w.format(true), 0);
  ASSERT_EQ(w.mount(), 0);
  EXPECT_EQ(afs_physical_ftl_force_full_reclaim(&w.ctx), 0);
}

TEST(FtlMaintenance, DirtyEraseScrubsDeadSlotsAndTheSpare) {
  Vol v(5, 512, 2);
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  std::vector<uint32_t> cl;
  for (uint32_t i = 0; i < 10; ++i) {
    uint32_t c = 0;
    ASSERT_EQ(v.allocate(c), 0);
    ASSERT_EQ(v.write_data(c, pattern(i)), 0);
    cl.push_back(c);
  }
  for (uint32_t i = 0; i < 10; i += 2) v.trim_data(cl[i]);
  ASSERT_EQ(afs_physical_ftl_force_dirty_erase(&v.ctx), 0);
  for (uint32_t u = 0; u < 5; ++u) {
    const uint8_t* p = v.unit_ptr(u);
    if (u == v.st()->spare_eu) {
      for (uint32_t b = 140; b < 8192; ++b) ASSERT_EQ(p[b], 0) << b;
      continue;
    }
    if (v.rec(u).first_page == 0) continue;
    const uint32_t base = v.rec(u).first_page - 8;
    for (uint32_t k = 0; k < 122; ++k) {
      const uint8_t* s = p + 140 + 66 * k;
      const bool erased = p[18 + k] == 0xFF && std::all_of(s, s + 66, [](uint8_t b) { return b == 0xFF; });
      const bool zero = std::all_of(s, s + 66, [](uint8_t b) { return b == 0; });
      const auto it = std::find(cl.begin(), cl.end(), base + k);
      const bool live = it != cl.end() && (it - cl.begin()) % 2 == 1;
      EXPECT_TRUE(erased || zero || live) << u << ":" << k;
      if (live) {
        EXPECT_FALSE(zero);
      }
    }
  }
  Page out;
  ASSERT_EQ(v.read_data(cl[1], out), 0);
  EXPECT_EQ(out, pattern(1));
  afs_context_t empty{};
  EXPECT_EQ(afs_physical_ftl_force_dirty_erase(&empty), 22);
}

TEST(FtlMaintenance, EndOfReservedFilesMode) {
  Vol v(5, 512, 2);
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  ASSERT_EQ(v.write_meta(1, pattern(1)), 0);
  ASSERT_EQ(afs_physical_ftl_end_reserved_files_mode(&v.ctx), 0);
  // Unit 0 went into the spare (unit 4), unit 1 into unit 0: now the spare
  // is unit 1.
  EXPECT_EQ(v.st()->spare_eu, 1);
  ASSERT_EQ(v.mount(), 0);
  Page out;
  ASSERT_EQ(v.read_meta(1, out), 0);
  EXPECT_EQ(out, pattern(1));
  // With the spare at unit 0 only unit 1 is reclaimed.
  Vol w(5, 512, 2);
  ASSERT_EQ(w.format(true), 0);
  ASSERT_EQ(w.mount(), 0);
  ASSERT_EQ(reclaim_eu(&w.ctx, 0, true), 0);  // empty unit 0 into the spare
  ASSERT_EQ(w.st()->spare_eu, 0);
  const uint32_t seq = w.st()->sequence;
  ASSERT_EQ(afs_physical_ftl_end_reserved_files_mode(&w.ctx), 0);
  EXPECT_EQ(w.st()->sequence, seq + 1);
  EXPECT_EQ(w.st()->spare_eu, 1);
}
