// The flash driver over a host buffer: plain overwrites, 4096-byte erases at
// the address as given, no state beyond the buffer pointer.
#include <gtest/gtest.h>

#include <vector>

#include "afs/AfsPhysicalWin32Spi.h"

TEST(FlashDriver, WritesOverwriteAndEraseFillsOneBlock) {
  std::vector<uint8_t> flash(3 * 4096, 0xAA);
  ASSERT_EQ(SpiFlashDrvInitialize(flash.data()), 0);
  EXPECT_EQ(gpBuffer, flash.data());

  const uint8_t zero = 0x00, ones = 0xFF;
  EXPECT_EQ(SpiDrvWrite(10, 1, &zero), 0);
  EXPECT_EQ(flash[10], 0x00);
  EXPECT_EQ(SpiDrvWrite(10, 1, &ones), 0);  // not AND-programming: 0 becomes 1
  EXPECT_EQ(flash[10], 0xFF);

  // Unaligned erase: exactly A .. A+4095.
  EXPECT_EQ(SpiDrvEraseBlock(100), 0);
  EXPECT_EQ(flash[99], 0xAA);
  for (size_t i = 100; i < 100 + 4096; ++i) ASSERT_EQ(flash[i], 0xFF) << i;
  EXPECT_EQ(flash[100 + 4096], 0xAA);

  uint8_t out[4] = {1, 2, 3, 4};
  EXPECT_EQ(SpiDrvRead(99, 2, out), 0);
  EXPECT_EQ(out[0], 0xAA);
  EXPECT_EQ(out[1], 0xFF);
  EXPECT_EQ(out[2], 3);

  // Zero lengths change nothing.
  std::vector<uint8_t> before = flash;
  EXPECT_EQ(SpiDrvWrite(0, 0, out), 0);
  EXPECT_EQ(SpiDrvRead(0, 0, out), 0);
  EXPECT_EQ(flash, before);

  SpiFlashDrvDeinitialize();
  EXPECT_EQ(gpBuffer, flash.data());
}

TEST(FlashDriver, CopyFunctionsAddOffsetToBase) {
  std::vector<uint8_t> mem(64, 0);
  const uint8_t src[3] = {7, 8, 9};
  EXPECT_EQ(mg_copyto(nullptr, mem.data(), 5, src, 0, 3), 0);
  EXPECT_EQ(mem[5], 7);
  EXPECT_EQ(mem[7], 9);
  uint8_t dst[3] = {};
  EXPECT_EQ(mg_copyfrom(nullptr, mem.data(), 6, dst, 0, 2), 0);
  EXPECT_EQ(dst[0], 8);
  EXPECT_EQ(dst[1], 9);
  EXPECT_EQ(dst[2], 0);
}
