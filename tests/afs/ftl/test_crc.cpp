// Check values of the translation layer against the published examples and
// against plain bitwise implementations over random inputs.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "afs/AfsCrc.h"

namespace {

uint16_t bitwise_crc16(const std::vector<uint8_t>& data) {
  uint16_t r = 0xFFFF;
  for (uint8_t b : data) {
    r ^= static_cast<uint16_t>(b << 8);
    for (int i = 0; i < 8; ++i) r = (r & 0x8000) ? static_cast<uint16_t>((r << 1) ^ 0x1021) : static_cast<uint16_t>(r << 1);
  }
  return r;
}

uint16_t bitwise_crc14(const std::vector<uint8_t>& data) {
  uint16_t r = 0x3FFF;
  for (uint8_t b : data) {
    r ^= static_cast<uint16_t>(b << 8);
    for (int i = 0; i < 8; ++i) r = (r & 0x8000) ? static_cast<uint16_t>((r << 1) ^ 0x1021) : static_cast<uint16_t>(r << 1);
    r &= 0x3FFF;
  }
  return r;
}

uint8_t bitwise_crc8(const std::vector<uint8_t>& data) {
  uint8_t r = 0x01;
  for (uint8_t b : data) {
    r ^= b;
    for (int i = 0; i < 8; ++i) r = (r & 0x80) ? static_cast<uint8_t>((r << 1) ^ 0x07) : static_cast<uint8_t>(r << 1);
  }
  return r;
}

const uint8_t* bytes(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

}  // namespace

TEST(AfsCrc, PublishedValues) {
  EXPECT_EQ(crc16(bytes("1234567"), 7, bytes("89")), 0x29B1);
  const uint8_t zero2[2] = {0, 0};
  EXPECT_EQ(crc16(nullptr, 0, zero2), 0x1D0F);
  EXPECT_EQ(crc16(bytes("abc"), -5, zero2), 0x1D0F);  // negative length: only the two bytes
  const uint8_t page1[2] = {1, 0};
  EXPECT_EQ(crc16(bytes("abc"), 3, zero2), 0xD400);
  EXPECT_EQ(crc16(bytes("abc"), 3, page1), 0xE731);

  EXPECT_EQ(crc14(bytes("abc"), 3), 0x3A71);
  EXPECT_EQ(crc14(zero2, 2), 0x0B5B);
  EXPECT_EQ(crc14(zero2, 0), 0x3FFF);
  EXPECT_EQ(crc14(zero2, -1), 0x3FFF);

  EXPECT_EQ(crc8(bytes("abc"), 3), 0x34);
  EXPECT_EQ(crc8(nullptr, 0), 0x01);
}

TEST(AfsCrc, MatchesBitwiseOverRandomInputs) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> data(rng() % 80);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    uint8_t two[2] = {static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())};
    std::vector<uint8_t> joined = data;
    joined.push_back(two[0]);
    joined.push_back(two[1]);
    const int32_t n = static_cast<int32_t>(data.size());
    ASSERT_EQ(crc16(data.data(), n, two), bitwise_crc16(joined));
    uint16_t c14 = crc14(data.data(), n);
    ASSERT_LT(c14, 0x4000);
    ASSERT_EQ(c14, bitwise_crc14(data));
    ASSERT_EQ(crc8(data.data(), static_cast<uint32_t>(n)), bitwise_crc8(data));
  }
}

TEST(AfsCrc, Crc14DiffersFromMaskedCrc16) {
  // Cutting after every byte is not the same as masking at the end.
  std::vector<uint8_t> abc = {'a', 'b', 'c'};
  EXPECT_NE(crc14(abc.data(), 3), bitwise_crc16(abc) & 0x3FFF);
}
