// Failure paths: missing units, a reclaim that fails part-way, runs over free
// clusters, more data slots than clusters, and damaged pages.
#include "common/flash_fault.h"
#include "ftl_support.h"

using namespace ftltest;

TEST(FtlFaults, NoLogUnitRefusesMetadataWrites) {
  Vol v(4, 512, 3);  // every unit but the spare is a data unit
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(v.st()->log_eu, FTL_NO_UNIT);
  const std::vector<uint8_t> before = v.flash;
  EXPECT_EQ(v.write_meta(1, pattern(1)), 5);
  EXPECT_EQ(v.flash, before);
  bool copy = true;
  EXPECT_EQ(choose_eu_to_reclaim(&v.ctx, FTL_KIND_LOG, true, &copy, false), FTL_NO_UNIT);
  EXPECT_EQ(reclaim_eu_wrapper(&v.ctx, FTL_KIND_LOG), 28);
  // Data still works.
  uint32_t c = 0;
  ASSERT_EQ(v.allocate(c), 0);
  ASSERT_EQ(v.write_data(c, pattern(2)), 0);
}

TEST(FtlFaults, NoDataUnitGivesNoSpaceNotUnitZero) {
  Vol v(4, 512, 0, 100);  // clusters claimed, but no data unit holds them
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  bool copy = true;
  EXPECT_EQ(choose_eu_to_reclaim(&v.ctx, FTL_KIND_DATA, true, &copy, false), FTL_NO_UNIT);
  uint16_t number = 0;
  EXPECT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &number), FTL_RETRY_AFTER_FLUSH);
  const std::vector<uint8_t> before = v.flash;
  EXPECT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &number), 28);
  EXPECT_EQ(v.flash, before);
  EXPECT_EQ(v.write_data(5, pattern(1)), 5);  // no unit holds the block
}

TEST(FtlFaults, FullDataAreaGivesNoSpaceAndKeepsData) {
  Vol v(4, 512, 1);
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  std::vector<uint32_t> live;
  for (uint32_t i = 0; i < 122; ++i) {
    uint32_t c = 0;
    ASSERT_EQ(v.allocate(c), 0) << i;
    ASSERT_EQ(v.write_data(c, pattern(i)), 0);
    live.push_back(c);
  }
  uint32_t c = 0;
  EXPECT_EQ(v.allocate(c), 28);
  ASSERT_EQ(v.mount(live), 0);
  Page out;
  for (uint32_t i = 0; i < 122; ++i) {
    ASSERT_EQ(v.read_data(live[i], out), 0);
    ASSERT_EQ(out, pattern(i));
  }
  // Freeing one cluster makes room again (through a reclaim).
  v.trim_data(live[7]);
  ASSERT_EQ(v.allocate(c), 0);
  EXPECT_EQ(c, live[7]);
  ASSERT_EQ(v.write_data(c, pattern(500)), 0);
}

namespace {

// Fills the log units of a 5-unit volume (log units 0 and 1) so that the
// next metadata write needs a copying log reclaim.
void fill_logs(Vol& v) {
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  for (uint32_t i = 0; i < 240; ++i) ASSERT_EQ(v.write_meta(i % 8, pattern(i)), 0);
  ASSERT_EQ(v.st()->log_slot, 120u);
}

}  // namespace

TEST(FtlFaults, FailedLogReclaimRefusesLaterWritesUntilRemount) {
  Vol v(5, 512, 2);
  fill_logs(v);
  {
    // Every read fails its check: the reclaim's copy cannot read its runs.
    kelvra::FlashFaultPlan plan;
    plan.corrupt_reads = 1000000;
    kelvra::fault::ScopedPlan scoped(plan);
    EXPECT_EQ(v.write_meta(3, pattern(1000)), 5);
  }
  EXPECT_EQ(v.st()->write_failed, 1);
  // Without the refusal this write would land in the target whose header
  // was never written and be lost at the next mount.
  EXPECT_EQ(v.write_meta(4, pattern(1001)), 5);
  uint16_t number = 0;
  EXPECT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &number), 5);
  EXPECT_EQ(afs_physical_ftl_idle_reclaim(&v.ctx), 5);
  Page out;
  ASSERT_EQ(v.mount(), 0);
  for (uint32_t lpn = 0; lpn < 8; ++lpn) {
    ASSERT_EQ(v.read_meta(lpn, out), 0);
    EXPECT_EQ(out, pattern(232 + lpn));
  }
  ASSERT_EQ(v.write_meta(4, pattern(1002)), 0);
  ASSERT_EQ(v.mount(), 0);
  ASSERT_EQ(v.read_meta(4, out), 0);
  EXPECT_EQ(out, pattern(1002));
}

TEST(FtlFaults, ReclaimInterruptedAtEveryStepThenPowerComesBack) {
  // The flash stops taking writes at the K-th mutation of a log reclaim and
  // takes them again afterwards: nothing may be reported as written until a
  // remount, and the remount finds every page.
  Vol probe(5, 512, 2);
  fill_logs(probe);
  const std::vector<uint8_t> image = probe.flash;
  uint64_t total = 0;
  {
    kelvra::FlashFaultPlan plan;
    kelvra::fault::ScopedPlan scoped(plan);
    ASSERT_EQ(probe.write_meta(3, pattern(1000)), 0);
    total = plan.mutations;
  }
  ASSERT_GT(total, 5u);
  for (uint64_t k = 1; k <= total; ++k) {
    Vol v(5, 512, 2);
    v.flash = image;
    v.ctx.flash_base = v.flash.data();
    ASSERT_EQ(v.mount(), 0);
    int r = 0;
    {
      kelvra::FlashFaultPlan plan;
      plan.cut_at = k;
      kelvra::fault::ScopedPlan scoped(plan);
      r = v.write_meta(3, pattern(1000));
    }
    Page out;
    int later = v.write_meta(5, pattern(2000));
    ASSERT_EQ(v.mount(), 0) << k;
    ASSERT_EQ(v.read_meta(3, out), 0);
    if (r == 0) {
      EXPECT_EQ(out, pattern(1000)) << k;
    } else {
      EXPECT_TRUE(out == pattern(1000) || out == pattern(235)) << k;
    }
    ASSERT_EQ(v.read_meta(5, out), 0);
    if (later == 0) {
      EXPECT_EQ(out, pattern(2000)) << "write after the failure was lost, cut " << k;
    } else {
      EXPECT_EQ(out, pattern(237)) << k;
    }
  }
}

TEST(FtlFaults, RunWithFreeFirstClusterReadsAllZeros) {
  Vol v(5, 512, 2);
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  std::vector<uint32_t> cl;
  for (uint32_t i = 0; i < 4; ++i) {
    uint32_t c = 0;
    ASSERT_EQ(v.allocate(c), 0);
    ASSERT_EQ(v.write_data(c, pattern(i)), 0);
    cl.push_back(c);
  }
  v.trim_data(cl[0]);
  std::vector<uint8_t> buf(66 * 4, 0xEE);
  ASSERT_EQ(afs_physical_ftl_read_data_pages(&v.ctx, buf.data(), v.data_addr(cl[0]), 4), 0);
  for (uint32_t i = 0; i < 64 * 4; ++i) ASSERT_EQ(buf[i], 0) << i;
  // With the first cluster in use the run is read and compacted.
  ASSERT_EQ(afs_physical_ftl_read_data_pages(&v.ctx, buf.data(), v.data_addr(cl[1]), 3), 0);
  for (uint32_t i = 0; i < 3; ++i)
    EXPECT_EQ(0, std::memcmp(buf.data() + 64 * i, pattern(i + 1).data(), 64)) << i;
}

TEST(FtlFaults, AllocatorStaysWithinTheVolumesClusters) {
  // Two data units (244 slots) but a volume of 130 clusters.
  Vol v(5, 512, 2, 130);
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  std::vector<uint32_t> live;
  for (;;) {
    uint32_t c = 0;
    int r = v.allocate(c);
    if (r == 28) break;
    ASSERT_EQ(r, 0);
    ASSERT_LT(c, 130u);
    ASSERT_EQ(v.write_data(c, pattern(c)), 0);
    live.push_back(c);
    ASSERT_LE(live.size(), 130u);
  }
  EXPECT_EQ(live.size(), 130u);
  ASSERT_EQ(v.mount(live), 0);
  // Rewrites through reclaims keep within the volume too.
  for (uint32_t i = 0; i < 300; ++i) {
    v.trim_data(live[i % live.size()]);
    uint32_t c = 0;
    ASSERT_EQ(v.allocate(c), 0) << i;
    ASSERT_LT(c, 130u);
    ASSERT_EQ(v.write_data(c, pattern(1000 + i)), 0);
    live[i % live.size()] = c;
  }
  ASSERT_EQ(v.mount(live), 0);
}

TEST(FtlFaults, DamagedPagesAndRetries) {
  Vol v(5, 512, 2);
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  ASSERT_EQ(v.write_meta(2, pattern(2)), 0);
  uint32_t c = 0;
  ASSERT_EQ(v.allocate(c), 0);
  ASSERT_EQ(v.write_data(c, pattern(3)), 0);
  Page out;
  for (uint32_t bad : {6u, 7u}) {
    kelvra::FlashFaultPlan plan;
    plan.corrupt_reads = bad;
    kelvra::fault::ScopedPlan scoped(plan);
    EXPECT_EQ(v.read_meta(2, out), bad < 7 ? 0 : 5) << bad;
    plan.corrupt_reads = bad;
    EXPECT_EQ(v.read_data(c, out), bad < 7 ? 0 : 5) << bad;
    plan.corrupt_reads = bad;
    std::vector<uint8_t> buf(66);
    EXPECT_EQ(afs_physical_ftl_read_data_pages(&v.ctx, buf.data(), v.data_addr(c), 1), bad < 7 ? 0 : 5);
  }
  // A damaged slot on flash reads with 5 and leaves the destination alone.
  v.unit_ptr(0)[260 + 10] ^= 0x40;
  out.assign(64, 0xAB);
  EXPECT_EQ(afs_physical_ftl_read_page(&v.ctx, 2 * 64, 64, out.data(), 0), 5);
  EXPECT_EQ(out, Page(64, 0xAB));
  // A data write over a written slot fails and changes nothing.
  const std::vector<uint8_t> before = v.flash;
  EXPECT_EQ(v.write_data(c, pattern(9)), 5);
  EXPECT_EQ(v.flash, before);
}

TEST(FtlFaults, WithoutBitmapDataIsNeverCopiedOrScrubbedAway) {
  Vol v(5, 512, 2);
  ASSERT_EQ(v.format(true), 0);
  ASSERT_EQ(v.mount(), 0);
  uint32_t c = 0;
  ASSERT_EQ(v.allocate(c), 0);
  ASSERT_EQ(v.write_data(c, pattern(1)), 0);
  // A volume mounted without a bitmap.
  ASSERT_EQ(afs_physical_ftl_init(&v.ctx, v.ctx.partition_size, FTL_INIT_ALLOCATE), 0);
  v.ctx.cluster_bitmap = nullptr;
  v.ctx.no_bitmap = 1;
  const std::vector<uint8_t> before = v.flash;
  const uint32_t unit = v.st()->eu_count - 2;  // the first window's unit
  EXPECT_EQ(reclaim_eu(&v.ctx, unit, true), 22);
  EXPECT_EQ(afs_physical_ftl_force_dirty_erase(&v.ctx), 22);
  EXPECT_EQ(afs_physical_ftl_force_full_reclaim(&v.ctx), 22);
  EXPECT_EQ(v.flash, before);
  EXPECT_EQ(v.st()->write_failed, 0);
  Page out;
  ASSERT_EQ(v.read_data(c, out), 0);
  EXPECT_EQ(out, pattern(1));
}
