// The page cache over a recording operation table: hits, eviction order,
// write-back order, invalidation, failures, and the re-sizing entry point
// over a real volume.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "afs/AfsPhysicalWin32Spi.h"
#include "afs_test_util.h"
#include "common/status.h"

using namespace afstest;

namespace {

// A page store behind the cache that records every call.
struct Store {
  std::map<uint32_t, Bytes> pages;  // address -> 64 bytes
  std::vector<uint32_t> reads, writes;
  int fail_writes = 0;  // the next n writes fail with 5
  int fail_reads = 0;
};
Store* g_store = nullptr;

int fake_read(afs_context_t*, uint32_t address, uint32_t, uint8_t* dst, uint32_t) {
  g_store->reads.push_back(address);
  if (g_store->fail_reads > 0) {
    --g_store->fail_reads;
    return kelvra::ST_IO;
  }
  auto it = g_store->pages.find(address);
  if (it == g_store->pages.end()) {
    std::memset(dst, 0, 64);
  } else {
    std::memcpy(dst, it->second.data(), 64);
  }
  return 0;
}
int fake_write(afs_context_t*, uint32_t address, uint32_t, const uint8_t* src, uint32_t) {
  if (g_store->fail_writes > 0) {
    --g_store->fail_writes;
    return kelvra::ST_IO;
  }
  g_store->writes.push_back(address);
  g_store->pages[address] = Bytes(src, src + 64);
  return 0;
}
int fake_trim(afs_context_t*, uint32_t, uint32_t, uint32_t) { return 0; }
int fake_step(afs_context_t*) { return 0; }
const afs_physical_handler_t kFake = {fake_read, fake_write, fake_trim, fake_step, fake_step};

class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_store = &store;
    ctx.ops = &kFake;
    ctx.line_size = 64;
    ASSERT_EQ(cache_init(&ctx, 64, 4), 0);
  }
  void TearDown() override {
    std::free(ctx.cache_dir);
    std::free(ctx.cache_data);
    g_store = nullptr;
  }
  uint8_t* get(uint16_t page) {
    uint8_t* p = nullptr;
    EXPECT_EQ(cache_ptr(&ctx, page, &p), 0);
    return p;
  }
  void dirty(uint16_t page, uint8_t value) {
    uint8_t* p = get(page);
    p[5] = value;
    cache_line_written(&ctx, p + 5);
  }
  Store store;
  afs_context_t ctx{};
};

}  // namespace

TEST_F(CacheTest, HitsReturnTheSameLineWithoutFlashAccess) {
  store.pages[3 * 64] = Bytes(64, 0x33);
  uint8_t* a = get(3);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a[0], 0x33);
  get(4);
  store.reads.clear();
  EXPECT_EQ(get(3), a);
  EXPECT_TRUE(store.reads.empty());
  EXPECT_EQ(ctx.lru_head, static_cast<uint16_t>((a - ctx.cache_data) / 64));
  // With two lines or more, the pointer of one lookup survives the next.
  uint8_t* b = get(9);
  EXPECT_EQ(a[0], 0x33);
  EXPECT_NE(a, b);
}

TEST_F(CacheTest, EvictionTakesTheLeastRecentlyUsedAndStoresItFirst) {
  dirty(1, 0x11);
  get(2);
  get(3);
  get(4);
  EXPECT_TRUE(store.writes.empty());
  // The fifth distinct page evicts page 1, which is dirty: stored, then reused.
  store.reads.clear();
  get(5);
  ASSERT_EQ(store.writes, std::vector<uint32_t>{64});
  EXPECT_EQ(store.pages[64][5], 0x11);
  EXPECT_EQ(store.reads, std::vector<uint32_t>{5 * 64});
  // Page 1 comes back from the store.
  EXPECT_EQ(get(1)[5], 0x11);
  // Lines now hold, most recent first: 1, 5, 4, 3. Touching 3 makes 4 the
  // victim of the next miss.
  store.reads.clear();
  get(3);
  EXPECT_TRUE(store.reads.empty()) << "page 3 still resident";
  get(6);
  get(3);
  get(5);
  get(1);
  EXPECT_EQ(store.reads, std::vector<uint32_t>{6 * 64});
  get(4);
  EXPECT_EQ(store.reads, (std::vector<uint32_t>{6 * 64, 4 * 64}));
}

TEST_F(CacheTest, FlushStoresInOrderOfLastUse) {
  dirty(10, 1);
  dirty(11, 2);
  dirty(12, 3);
  ASSERT_EQ(cache_flush(&ctx), 0);
  EXPECT_EQ(store.writes, (std::vector<uint32_t>{640, 704, 768}));
  // Nothing dirty remains.
  store.writes.clear();
  ASSERT_EQ(cache_flush(&ctx), 0);
  EXPECT_TRUE(store.writes.empty());

  // A hit on a line that is not the head, then marked written, goes last.
  dirty(10, 4);
  dirty(11, 5);
  dirty(12, 6);
  uint8_t* p = get(10);
  get(13);
  p[0] = 9;
  cache_line_written(&ctx, p + 63);
  ASSERT_EQ(cache_flush(&ctx), 0);
  EXPECT_EQ(store.writes, (std::vector<uint32_t>{704, 768, 640}));
}

TEST_F(CacheTest, InvalidateDiscardsPendingChanges) {
  store.pages[64] = Bytes(64, 0xAB);
  dirty(1, 0x01);
  cache_invalidate(&ctx);
  ASSERT_EQ(cache_flush(&ctx), 0);
  EXPECT_TRUE(store.writes.empty());
  store.reads.clear();
  EXPECT_EQ(get(1)[5], 0xAB);
  EXPECT_EQ(store.reads, std::vector<uint32_t>{64});
}

TEST_F(CacheTest, FailedStoresKeepLinesDirtyAndFailedReadsLoseNothing) {
  dirty(1, 1);
  dirty(2, 2);
  dirty(3, 3);
  store.fail_writes = 1;
  EXPECT_EQ(cache_flush(&ctx), kelvra::ST_IO);
  EXPECT_TRUE(store.writes.empty());
  ASSERT_EQ(cache_flush(&ctx), 0);
  EXPECT_EQ(store.writes, (std::vector<uint32_t>{64, 128, 192}));

  // An eviction whose write-back fails returns the code; the line is kept.
  store.writes.clear();
  dirty(4, 4);
  get(5);
  get(6);
  get(7);
  store.fail_writes = 1;
  uint8_t* p = nullptr;
  EXPECT_EQ(cache_ptr(&ctx, 8, &p), kelvra::ST_IO);
  ASSERT_EQ(cache_flush(&ctx), 0);
  EXPECT_EQ(store.writes, std::vector<uint32_t>{256});
  EXPECT_EQ(store.pages[256][5], 4);

  // A failed read hands out nothing; the next lookup reads again.
  store.fail_reads = 1;
  EXPECT_EQ(cache_ptr(&ctx, 20, &p), kelvra::ST_IO);
  store.pages[20 * 64] = Bytes(64, 0x77);
  EXPECT_EQ(get(20)[0], 0x77);
}

TEST_F(CacheTest, MissingOrInconsistentBuffersAreRefused) {
  uint8_t* p = nullptr;
  EXPECT_EQ(cache_ptr(nullptr, 0, &p), kelvra::ST_INVAL);
  EXPECT_EQ(cache_init(nullptr, 64, 4), kelvra::ST_INVAL);
  EXPECT_EQ(cache_init(&ctx, 64, 0), kelvra::ST_INVAL);
  EXPECT_EQ(cache_init(&ctx, 0, 4), kelvra::ST_INVAL);
  // A directory without a data area: 99, and lookups refuse.
  uint8_t* data = ctx.cache_data;
  ctx.cache_data = nullptr;
  EXPECT_EQ(cache_init(&ctx, 64, 4), kelvra::ST_IMPOSSIBLE);
  EXPECT_EQ(cache_ptr(&ctx, 0, &p), kelvra::ST_IMPOSSIBLE);
  EXPECT_EQ(cache_flush(&ctx), 0);
  cache_line_written(&ctx, data);  // ignored
  ctx.cache_data = data;

  // Re-creating writes back first; a failed write-back keeps the old cache.
  dirty(2, 0x22);
  afs_cache_line_t* old_dir = ctx.cache_dir;
  store.fail_writes = 1;
  EXPECT_EQ(cache_init(&ctx, 64, 6), kelvra::ST_IO);
  EXPECT_EQ(ctx.cache_dir, old_dir);
  EXPECT_EQ(ctx.cache_lines, 4);
  ASSERT_EQ(cache_init(&ctx, 64, 6), 0);
  EXPECT_EQ(store.pages[128][5], 0x22);
  EXPECT_EQ(ctx.cache_lines, 6);
  // A pointer outside the data area marks nothing.
  uint8_t outside[64];
  cache_line_written(&ctx, outside);
  store.writes.clear();
  ASSERT_EQ(cache_flush(&ctx), 0);
  EXPECT_TRUE(store.writes.empty());
}

TEST_F(CacheTest, DamagedListIsRepairedNotFollowed) {
  get(1);
  get(2);
  // Make line links form a cycle without an end mark.
  for (uint16_t i = 0; i < ctx.cache_lines; ++i) {
    ctx.cache_dir[i].link = static_cast<uint16_t>((ctx.cache_dir[i].link & 3) | (((i + 1) % ctx.cache_lines) << 2));
  }
  uint8_t* p = nullptr;
  EXPECT_EQ(cache_ptr(&ctx, 7, &p), 0);
  EXPECT_EQ(cache_flush(&ctx), 0);
}

TEST(AfsSetCache, ResultsOverAMountedVolume) {
  Volume v(4);
  ASSERT_EQ(v.create(), 0);
  EXPECT_EQ(afs_setcache(nullptr, 64, 10), kelvra::ST_INVAL);
  EXPECT_EQ(afs_setcache(&v.ctx, 64, 1), kelvra::ST_INVAL);
  EXPECT_EQ(afs_setcache(&v.ctx, 64, 1001), kelvra::ST_INVAL);
  EXPECT_EQ(afs_setcache(&v.ctx, 63, 10), kelvra::ST_INVAL);
  EXPECT_EQ(afs_setcache(&v.ctx, 65536, 10), kelvra::ST_INVAL);
  // Multiples of 64 other than 64 cannot work over the translation layer.
  EXPECT_EQ(afs_setcache(&v.ctx, 128, 10), kelvra::ST_INVAL);
  EXPECT_EQ(afs_setcache(&v.ctx, 192, 10), kelvra::ST_INVAL);
  EXPECT_EQ(v.ctx.cache_lines, 10);

  // A pending change is stored before the cache is re-created.
  ASSERT_EQ(v.write(1, 0, pattern(100, 1)), 0);
  uint8_t* p = nullptr;
  ASSERT_EQ(cache_ptr(&v.ctx, 0, &p), 0);
  p[4] = 0x5C;  // header byte 4
  cache_line_written(&v.ctx, p);
  ASSERT_EQ(afs_setcache(&v.ctx, 64, 128), 0);
  EXPECT_EQ(v.ctx.cache_lines, 128);
  EXPECT_EQ(v.ctx.line_size, 64);
  int rc = 0;
  EXPECT_EQ(v.whole(1, &rc), pattern(100, 1));
  ASSERT_EQ(v.mount(), 0);
  EXPECT_EQ(v.ctx.header_info & 0xFF, 0x5Cu);

  // A context that is not mounted is refused.
  afs_context_t fresh{};
  EXPECT_EQ(afs_setcache(&fresh, 64, 10), kelvra::ST_INVAL);
}

TEST(AfsRawPartition, MapsAddressesStraightAndStaysInside) {
  Bytes flash(3 * 8192, 0xFF);
  ASSERT_EQ(SpiFlashDrvInitialize(flash.data()), 0);
  afs_context_t c{};
  c.partition_offset = 8192;
  c.partition_size = 8192;
  const uint8_t data[3] = {1, 2, 3};
  ASSERT_EQ(afs_sub_pt_write(&c, 100, 3, data, 0), 0);
  EXPECT_EQ(flash[8192 + 100], 1);
  EXPECT_EQ(flash[8192 + 102], 3);
  uint8_t back[3] = {};
  ASSERT_EQ(afs_sub_pt_read(&c, 100, 3, back, 0), 0);
  EXPECT_EQ(Bytes(back, back + 3), Bytes(data, data + 3));
  EXPECT_EQ(afs_sub_pt_trim(&c, 0, 64, 0), 0);
  // Nothing outside the partition is touched.
  EXPECT_EQ(afs_sub_pt_write(&c, 8190, 3, data, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_sub_pt_read(&c, 0xFFFFFFFFu, 2, back, 0), kelvra::ST_INVAL);
  EXPECT_EQ(afs_sub_pt_read(nullptr, 0, 2, back, 0), kelvra::ST_INVAL);
  EXPECT_EQ(flash[8192 + 8191], 0xFF);
  EXPECT_EQ(flash[2 * 8192], 0xFF);
}
