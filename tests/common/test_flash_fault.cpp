// The fault seam: counting, power cuts with a torn mutation, and corrupted
// reads, exercised through the flash driver.
#include <gtest/gtest.h>

#include <vector>

#include "afs/AfsPhysicalWin32Spi.h"
#include "common/flash_fault.h"

using kelvra::FlashFaultPlan;
using kelvra::fault::ScopedPlan;

TEST(FlashFault, CountsWithoutChangingBehaviour) {
  std::vector<uint8_t> flash(8192, 0);
  SpiFlashDrvInitialize(flash.data());
  FlashFaultPlan plan;
  {
    ScopedPlan scope(plan);
    uint8_t b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    SpiDrvWrite(0, 8, b);
    SpiDrvEraseBlock(4096);
    SpiDrvRead(0, 8, b);
    EXPECT_EQ(b[7], 8);
  }
  EXPECT_EQ(plan.programs, 1u);
  EXPECT_EQ(plan.erases, 1u);
  EXPECT_EQ(plan.reads, 1u);
  EXPECT_EQ(plan.mutations, 2u);
  EXPECT_FALSE(plan.powered_off);
  EXPECT_EQ(flash[4096], 0xFF);
  EXPECT_EQ(kelvra::fault::g_plan, nullptr);
}

TEST(FlashFault, CutAtKLeavesFirstKMinusOneAndATornKth) {
  // Workload: six 16-byte programs at distinct places, with an erase in the
  // middle. For every K, the image must hold mutations 1..K-1 whole, the K-th
  // torn to its first torn_bytes bytes, and nothing after it.
  for (uint64_t k = 1; k <= 7; ++k) {
    std::vector<uint8_t> flash(8192, 0x00);
    SpiFlashDrvInitialize(flash.data());
    FlashFaultPlan plan;
    plan.cut_at = k;
    plan.torn_bytes = 5;
    {
      ScopedPlan scope(plan);
      uint8_t data[16];
      for (int m = 1; m <= 7; ++m) {
        if (m == 4) {
          SpiDrvEraseBlock(4096);
          continue;
        }
        for (int i = 0; i < 16; ++i) data[i] = static_cast<uint8_t>(m * 16 + i);
        SpiDrvWrite(static_cast<uint32_t>(m * 32), 16, data);
      }
    }
    EXPECT_TRUE(plan.powered_off);
    EXPECT_EQ(plan.mutations, 7u);
    for (int m = 1; m <= 7; ++m) {
      if (m == 4) {
        size_t erased = m < static_cast<int>(k) ? 4096 : (m == static_cast<int>(k) ? 5 : 0);
        for (size_t i = 0; i < 4096; ++i)
          ASSERT_EQ(flash[4096 + i], i < erased ? 0xFF : 0x00) << "k=" << k << " i=" << i;
        continue;
      }
      int whole = m < static_cast<int>(k) ? 16 : (m == static_cast<int>(k) ? 5 : 0);
      for (int i = 0; i < 16; ++i) {
        uint8_t want = i < whole ? static_cast<uint8_t>(m * 16 + i) : 0x00;
        ASSERT_EQ(flash[static_cast<size_t>(m * 32 + i)], want) << "k=" << k << " m=" << m;
      }
    }
  }
}

TEST(FlashFault, CorruptsExactlyTheNextNReads) {
  std::vector<uint8_t> flash(4096, 0x5A);
  SpiFlashDrvInitialize(flash.data());
  FlashFaultPlan plan;
  plan.corrupt_reads = 2;
  ScopedPlan scope(plan);
  int differing = 0;
  for (int i = 0; i < 5; ++i) {
    uint8_t b[32];
    SpiDrvRead(0, 32, b);
    int bad = 0;
    for (uint8_t x : b) bad += x != 0x5A;
    EXPECT_LE(bad, 1);
    differing += bad;
  }
  EXPECT_EQ(differing, 2);
  EXPECT_EQ(plan.corrupted, 2u);
  // The flash itself is untouched.
  for (uint8_t x : flash) ASSERT_EQ(x, 0x5A);
}
