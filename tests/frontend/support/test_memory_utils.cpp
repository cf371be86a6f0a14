// Memory utilities: every ByteCopy result, the bounded copy underneath it,
// and the exported memory functions.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "frontend/memory_utils.h"

namespace {

using kelvra::memory_testing::BoundedCopyFn;
using kelvra::memory_testing::set_bounded_copy;

struct CopyCall {
  int calls = 0;
  void* destination = nullptr;
  size_t destinationSize = 0;
  const void* source = nullptr;
  size_t count = 0;
};
CopyCall g_call;

int failing_copy(void* destination, size_t destinationSize, const void* source, size_t count) {
  g_call.calls++;
  g_call.destination = destination;
  g_call.destinationSize = destinationSize;
  g_call.source = source;
  g_call.count = count;
  return ERANGE;
}

// Restores the default bounded copy however a test ends.
struct CopyOverride {
  explicit CopyOverride(BoundedCopyFn fn) : previous(set_bounded_copy(fn)) {}
  ~CopyOverride() { set_bounded_copy(nullptr); }
  BoundedCopyFn previous;
};

const uint8_t kSource[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

}  // namespace

TEST(ByteCopy, CopiesExactlyCountBytes) {
  uint8_t dst[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(ByteCopy(dst, sizeof(dst), kSource, 3), BYTECOPY_OK);
  const uint8_t expected[6] = {0x11, 0x22, 0x33, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(std::memcmp(dst, expected, sizeof(dst)), 0);
}

TEST(ByteCopy, CountEqualToDestinationSizeFits) {
  uint8_t dst[4] = {};
  EXPECT_EQ(ByteCopy(dst, 4, kSource, 4), BYTECOPY_OK);
  EXPECT_EQ(std::memcmp(dst, kSource, 4), 0);
}

TEST(ByteCopy, ZeroCountWritesNothing) {
  uint8_t dst[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(ByteCopy(dst, sizeof(dst), kSource, 0), BYTECOPY_OK);
  EXPECT_EQ(ByteCopy(dst, 0, kSource, 0), BYTECOPY_OK);
  for (uint8_t b : dst) EXPECT_EQ(b, 0xEE);
}

TEST(ByteCopy, NullPointersComeFirst) {
  uint8_t dst[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(ByteCopy(nullptr, 4, kSource, 4), BYTECOPY_NULL_POINTER);
  // Null is tested before the size, so an oversized count still gives 3.
  EXPECT_EQ(ByteCopy(nullptr, 4, kSource, 5), BYTECOPY_NULL_POINTER);
  EXPECT_EQ(ByteCopy(dst, 4, nullptr, 4), BYTECOPY_NULL_POINTER);
  EXPECT_EQ(ByteCopy(dst, 4, nullptr, 0), BYTECOPY_NULL_POINTER);
  EXPECT_EQ(ByteCopy(nullptr, 0, nullptr, 0), BYTECOPY_NULL_POINTER);
  for (uint8_t b : dst) EXPECT_EQ(b, 0xEE);
}

TEST(ByteCopy, CountBeyondDestinationLeavesItUnchanged) {
  uint8_t dst[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(ByteCopy(dst, 4, kSource, 5), BYTECOPY_TOO_LARGE);
  EXPECT_EQ(ByteCopy(dst, 0, kSource, 1), BYTECOPY_TOO_LARGE);
  EXPECT_EQ(ByteCopy(dst, 4, kSource, SIZE_MAX), BYTECOPY_TOO_LARGE);
  for (uint8_t b : dst) EXPECT_EQ(b, 0xEE);
}

TEST(ByteCopy, LargeDestinationSizeIsNotTrustedForTheCopy) {
  // Only `count` bytes are touched, however large the stated size.
  uint8_t dst[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(ByteCopy(dst, SIZE_MAX, kSource, 2), BYTECOPY_OK);
  EXPECT_EQ(dst[1], 0x22);
  EXPECT_EQ(dst[2], 0xEE);
}

TEST(ByteCopy, FailedBoundedCopyGives43) {
  uint8_t dst[4] = {};
  g_call = CopyCall();
  {
    CopyOverride override(failing_copy);
    EXPECT_EQ(ByteCopy(dst, sizeof(dst), kSource, 3), BYTECOPY_COPY_FAILED);
  }
  // The bounded copy receives the destination, its size, the source and the
  // count as given.
  EXPECT_EQ(g_call.calls, 1);
  EXPECT_EQ(g_call.destination, dst);
  EXPECT_EQ(g_call.destinationSize, sizeof(dst));
  EXPECT_EQ(g_call.source, kSource);
  EXPECT_EQ(g_call.count, 3u);
  // Earlier checks still win over the bounded copy, and it is not called.
  {
    CopyOverride override(failing_copy);
    EXPECT_EQ(ByteCopy(dst, 4, kSource, 5), BYTECOPY_TOO_LARGE);
    EXPECT_EQ(ByteCopy(nullptr, 4, kSource, 1), BYTECOPY_NULL_POINTER);
  }
  EXPECT_EQ(g_call.calls, 1);
  // Restored: copies succeed again.
  EXPECT_EQ(ByteCopy(dst, sizeof(dst), kSource, 4), BYTECOPY_OK);
}

TEST(BoundedCopy, DefaultFollowsTheRuntimeRules) {
  const BoundedCopyFn fn = set_bounded_copy(nullptr);
  ASSERT_NE(fn, nullptr);
  uint8_t dst[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(fn(nullptr, 4, kSource, 1), EINVAL);
  EXPECT_EQ(fn(dst, 4, nullptr, 1), EINVAL);
  for (uint8_t b : dst) EXPECT_EQ(b, 0);  // cleared on a refused copy
  std::memset(dst, 0xEE, sizeof(dst));
  EXPECT_EQ(fn(dst, 4, kSource, 5), ERANGE);
  for (uint8_t b : dst) EXPECT_EQ(b, 0);
  EXPECT_EQ(fn(dst, 4, kSource, 4), 0);
  EXPECT_EQ(std::memcmp(dst, kSource, 4), 0);
  EXPECT_EQ(fn(dst, 4, kSource, 0), 0);
}

TEST(LtMemory, CompareOrdersAsUnsignedBytes) {
  const uint8_t a[4] = {1, 2, 3, 4};
  const uint8_t b[4] = {1, 2, 3, 4};
  EXPECT_EQ(LtCompareMemory(a, b, 4), 0);
  const uint8_t lo[3] = {9, 0x01, 0xFF};
  const uint8_t hi[3] = {9, 0x02, 0x00};
  EXPECT_LT(LtCompareMemory(lo, hi, 3), 0);  // the first difference decides
  EXPECT_GT(LtCompareMemory(hi, lo, 3), 0);
  const uint8_t x80[1] = {0x80};
  const uint8_t x7f[1] = {0x7F};
  EXPECT_GT(LtCompareMemory(x80, x7f, 1), 0);  // 0x80 is not negative
  EXPECT_EQ(LtCompareMemory(lo, hi, 1), 0);    // only count bytes are compared
  EXPECT_EQ(LtCompareMemory(lo, hi, 0), 0);
}

TEST(LtMemory, CompareWithNullNeverClaimsEquality) {
  const uint8_t a[2] = {0, 0};
  EXPECT_LT(LtCompareMemory(nullptr, a, 2), 0);
  EXPECT_GT(LtCompareMemory(a, nullptr, 2), 0);
  EXPECT_EQ(LtCompareMemory(nullptr, nullptr, 2), 0);
  EXPECT_EQ(LtCompareMemory(nullptr, a, 0), 0);
}

TEST(LtMemory, SetReturnsDestinationAndTouchesOnlyCount) {
  uint8_t buf[8] = {};
  EXPECT_EQ(LtSetMemory(buf + 2, 0xA5, 4), buf + 2);
  const uint8_t expected[8] = {0, 0, 0xA5, 0xA5, 0xA5, 0xA5, 0, 0};
  EXPECT_EQ(std::memcmp(buf, expected, 8), 0);
  EXPECT_EQ(LtSetMemory(buf, 0x11, 0), buf);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(LtSetMemory(nullptr, 0x11, 4), nullptr);
}

TEST(LtMemory, AllocationsAndRelease) {
  uint8_t* p = static_cast<uint8_t*>(LtAllocateMemory(64));
  ASSERT_NE(p, nullptr);
  std::memset(p, 0x5A, 64);  // the whole block is usable
  LtFreeMemory(p);

  const std::vector<uint8_t> zeros(100, 0);
  uint8_t* z = static_cast<uint8_t*>(LtAllocateZeroMemory(100));
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(std::memcmp(z, zeros.data(), 100), 0);
  LtFreeMemory(z);
  LtFreeMemory(nullptr);
#if !defined(__SANITIZE_ADDRESS__)
  // Running out of memory gives null rather than failing otherwise.
  EXPECT_EQ(LtAllocateMemory(SIZE_MAX), nullptr);
  EXPECT_EQ(LtAllocateZeroMemory(SIZE_MAX), nullptr);
#endif
}
