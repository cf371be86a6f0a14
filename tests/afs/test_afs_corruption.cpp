// Damaged flash: reads that keep failing their check values give 5 and
// change nothing; writes that cannot read the old data leave the old file;
// images with random damage mount or are refused, and never take the
// library outside its buffers.
#include <gtest/gtest.h>

#include <random>

#include "afs_test_util.h"
#include "common/flash_fault.h"
#include "common/status.h"

using namespace afstest;

TEST(AfsCorruption, ReadsThatFailTheirChecksFailTheOperation) {
  Volume v(4);
  ASSERT_EQ(v.create(), 0);
  Files files = {{1, pattern(500, 1)}, {2, pattern(200, 2)}};
  for (auto& kv : files) ASSERT_EQ(v.write(kv.first, 0, kv.second), 0);
  int rc = 0;
  {
    // A few bad reads are retried away.
    kelvra::FlashFaultPlan plan;
    plan.corrupt_reads = 3;
    kelvra::fault::ScopedPlan scoped(plan);
    EXPECT_EQ(v.whole(1, &rc), files[1]);
    EXPECT_EQ(rc, 0);
  }
  {
    // Every read bad: the read fails with 5.
    kelvra::FlashFaultPlan plan;
    plan.corrupt_reads = 1000;
    kelvra::fault::ScopedPlan scoped(plan);
    uint32_t len = 500;
    Bytes buf(500);
    EXPECT_EQ(afs_readfile(&v.ctx, 1, 0, &len, buf.data()), kelvra::ST_IO);
    EXPECT_EQ(len, 500u);
    // A write that must merge old bytes cannot read them: 5, nothing changes.
    EXPECT_EQ(v.write(1, 10, pattern(5, 3)), kelvra::ST_IO);
  }
  EXPECT_EQ(files_of(v), files);
  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(files_of(v), files);
  {
    // A mount whose reads all fail is refused, and the context with it.
    kelvra::FlashFaultPlan plan;
    plan.corrupt_reads = 100000;
    kelvra::fault::ScopedPlan scoped(plan);
    EXPECT_NE(v.mount(), 0);
  }
  uint32_t size = 0;
  EXPECT_EQ(afs_getfilesize(&v.ctx, 1, &size), kelvra::ST_INVAL);
  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(files_of(v), files);
}

TEST(AfsCorruption, RandomDamageIsRefusedOrSurvived) {
  Volume v(4);
  ASSERT_EQ(v.create(), 0);
  for (int id = 0; id < 12; ++id) ASSERT_EQ(v.write(id * 90, 0, pattern(100 + 170 * id, id)), 0);
  const Bytes good = v.flash;
  std::mt19937 rng(77);
  int mounted = 0;
  for (int round = 0; round < 300; ++round) {
    v.flash = good;
    int flips = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < flips; ++i) {
      // Mostly the unit headers and log maps, where one byte matters most.
      size_t unit = rng() % 4;
      size_t off = (rng() % 3 == 0) ? rng() % 8192 : rng() % 300;
      v.flash[unit * 8192 + off] ^= static_cast<uint8_t>(1u << (rng() % 8));
    }
    if (v.mount() != 0) {
      uint32_t size = 0;
      EXPECT_EQ(afs_getfilesize(&v.ctx, 0, &size), kelvra::ST_INVAL);
      continue;
    }
    ++mounted;
    for (int id = 0; id < v.ctx.file_count; id += 45) {
      int rc = 0;
      (void)v.whole(id, &rc);
    }
    (void)v.write(5, 30, pattern(300, static_cast<uint32_t>(round)));
    (void)afs_deletefile(&v.ctx, 90);
    (void)v.truncate(180, 10);
    (void)v.mount();
  }
  EXPECT_GT(mounted, 0);
}

TEST(AfsCorruption, FailedChangesLeaveTheSessionAsItWas) {
  Volume v(4);
  ASSERT_EQ(v.create(), 0);
  Files files = {{1, pattern(500, 1)}, {2, pattern(200, 2)}, {3, Bytes()}};
  for (auto& kv : files) ASSERT_EQ(v.write(kv.first, 0, kv.second), 0);
  {
    // The flash stops taking programs: every change fails with 5.
    kelvra::FlashFaultPlan plan;
    plan.cut_at = 1;
    plan.torn_bytes = 0;
    kelvra::fault::ScopedPlan scoped(plan);
    EXPECT_EQ(v.write(1, 100, pattern(50, 3)), kelvra::ST_IO);
    EXPECT_EQ(v.write(4, 0, pattern(50, 4)), kelvra::ST_IO);
    EXPECT_EQ(v.truncate(2, 0), kelvra::ST_IO);
    EXPECT_EQ(afs_writefile(&v.ctx, 5, 0, 0, nullptr, 0), kelvra::ST_IO);
    EXPECT_EQ(afs_deletefile(&v.ctx, 2), kelvra::ST_IO);
    EXPECT_EQ(afs_deletefile(&v.ctx, 3), kelvra::ST_IO);
    EXPECT_EQ(afs_mark_zombie_file(&v.ctx, 6), kelvra::ST_IO);
    // What the session shows is still the stored volume.
    EXPECT_EQ(files_of(v), files);
  }
  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(files_of(v), files);
  RawVolume raw = read_raw(v.flash);
  ASSERT_TRUE(raw.ok) << raw.error;
  EXPECT_EQ(raw.files, files);
  EXPECT_TRUE(raw.zombies.empty());
}
