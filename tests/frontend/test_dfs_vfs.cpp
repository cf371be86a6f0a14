// DFS layer (routing, status folding, controls without a volume) and the
// mini VFS (DFS file numbers built from file-table entries).
#include <cstring>

#include "afs/Afs.h"
#include "efs/EFS.h"
#include "fe_fixture.h"
#include "fcs/FileTable.h"
#include "frontend/dfs.h"
#include "frontend/miniVfs.h"

using namespace fetest;

namespace {

class Dfs : public FrontEnd {};

constexpr uint32_t EFS_BITS = 2u << 11;

// A file table whose entries exercise every part of the number.
std::vector<Entry> numberEntries() {
  return {
      {"/t/afs0", 0x00000011, 0, 0x005, 0, 64}, {"/t/afs1", 0x00000012, 0, 0x005, 1, 64},
      {"/t/efs", 0x00000013, 0, 0x003, 2, 64},  {"/t/type3", 0x00000014, 0, 0x003, 3, 64},
      {"/t/type5", 0x00000015, 0, 0x001, 5, 64}, {"/t/wideid", 0x00000016, 0, 0x0FFF, 0, 64},
      {"/t/top", 0xA0000017, 0, 0x007, 0, 64},   {"/t/zero", 0x00000018, 0, 0x000, 1, 64},
  };
}

}  // namespace

TEST_F(Dfs, PathToFileNumberAssemblesTheBits) {
  const Bytes blob = ftbl(9, numberEntries());
  ASSERT_EQ(load_file_table(blob.data(), 9, static_cast<uint32_t>(blob.size())), 0);
  uint32_t n = 0xDEADBEEF;
  ASSERT_EQ(pathToFileNumber("/t/afs0", &n), 0);
  EXPECT_EQ(n, 0x005u);
  ASSERT_EQ(pathToFileNumber("/t/afs1", &n), 0);
  EXPECT_EQ(n, 0x005u);  // type 1 addresses AFS like type 0
  ASSERT_EQ(pathToFileNumber("/t/efs", &n), 0);
  EXPECT_EQ(n, 0x1003u);
  ASSERT_EQ(pathToFileNumber("/t/type3", &n), 0);
  EXPECT_EQ(n, 0x1803u);
  ASSERT_EQ(pathToFileNumber("/t/type5", &n), 0);
  EXPECT_EQ(n, 0x2801u);  // larger types spill above bit 12
  ASSERT_EQ(pathToFileNumber("/t/wideid", &n), 0);
  EXPECT_EQ(n, 0x7FFu);  // bit 11 of the id never reaches the number
  ASSERT_EQ(pathToFileNumber("/t/top", &n), 0);
  EXPECT_EQ(n, 0xA0000007u);
  ASSERT_EQ(pathToFileNumber("/t/zero", &n), 0);
  EXPECT_EQ(n, 0u);

  n = 1234;
  EXPECT_EQ(pathToFileNumber("/t/missing", &n), 2);
  EXPECT_EQ(n, 1234u);
  EXPECT_EQ(pathToFileNumber("/t/missing", nullptr), 1);
  EXPECT_EQ(pathToFileNumber("/t/afs0", nullptr), 1);
  EXPECT_EQ(pathToFileNumber("/t/afs0/", &n), 2);  // "/" behind a name does not match

  uint8_t buf[8];
  EXPECT_EQ(readVfs("/t/missing", 0, buf, sizeof(buf)), 2);
  EXPECT_EQ(readVfs("/t/efs", 0, buf, sizeof(buf)), 6);  // EFS not mounted
}

TEST_F(Dfs, WithoutAnyMount) {
  uint32_t size = 77;
  uint32_t len = 4;
  uint8_t buf[4] = {};
  EXPECT_EQ(dfs_getsize(5, &size), 2);
  EXPECT_EQ(dfs_getsize(5 | EFS_BITS, &size), 2);  // also for EFS numbers
  EXPECT_EQ(dfs_read(5, 0, &len, buf), 22);
  EXPECT_EQ(dfs_write(5, 0, 4, buf, 0), 22);
  EXPECT_EQ(dfs_delete_file(5), 2);
  EXPECT_EQ(dfs_mark_zombie_file(5), 22);
  EXPECT_EQ(dfs_set_page_size(64), 22);
  EXPECT_EQ(dfs_set_page_size(0), 22);
  EXPECT_EQ(dfs_force_full_reclaim(), 22);
  EXPECT_EQ(dfs_force_dirty_erase(), 22);
  EXPECT_EQ(dfs_idle_reclaim(), 22);
  EXPECT_FALSE(dfs_idle_reclaim_needed());
  EXPECT_FALSE(dfs_get_idle_reclaim_enabled());
  dfs_set_idle_reclaim_enabled();
  EXPECT_FALSE(dfs_get_idle_reclaim_enabled());
  EXPECT_EQ(dfs_terminate(), 0);
  EXPECT_EQ(dfs_is_fs_erased(), 0);
  // Types 1 and 3 are refused before anything else is looked at.
  EXPECT_EQ(dfs_read(5 | (1u << 11), 0, &len, buf), 22);
  EXPECT_EQ(dfs_write(5 | (3u << 11), 0, 4, buf, 0), 22);
  EXPECT_EQ(dfs_delete_file(5 | (1u << 11)), 22);
}

TEST_F(Dfs, FailedMountLeavesNothingToUse) {
  Bytes image(16 * 8192, 0xFF);  // no volume
  EXPECT_EQ(dfs_init(image.data(), static_cast<uint32_t>(image.size())), 5);
  EXPECT_NE(dfs_context, nullptr);
  uint32_t size = 0;
  uint32_t len = 4;
  uint8_t buf[4] = {};
  // A context exists, so AFS refuses the unmounted volume (22) and EFS
  // numbers go to EFS (not started: its 1, folded).
  EXPECT_EQ(dfs_getsize(1, &size), 22);
  EXPECT_EQ(dfs_getsize(1 | EFS_BITS, &size), 5);
  EXPECT_EQ(dfs_read(1, 0, &len, buf), 22);
  EXPECT_EQ(dfs_write(1, 0, 4, buf, 0), 22);
  EXPECT_EQ(dfs_delete_file(1), 22);
  EXPECT_EQ(dfs_mark_zombie_file(1), 22);
  EXPECT_EQ(dfs_set_page_size(64), 22);
  EXPECT_EQ(dfs_force_full_reclaim(), 22);
  EXPECT_EQ(dfs_force_dirty_erase(), 22);
  EXPECT_EQ(dfs_idle_reclaim(), 22);
  EXPECT_FALSE(dfs_idle_reclaim_needed());
  // Sizes outside AFS's limits.
  Bytes small(0x8000 - 1, 0xFF);
  EXPECT_EQ(dfs_init(small.data(), static_cast<uint32_t>(small.size())), 22);
}

TEST_F(Dfs, RoutingAndFoldingOverAMountedVolume) {
  Bytes image = createMfs();
  ASSERT_EQ(dfs_init(image.data(), static_cast<uint32_t>(image.size())), 0);
  const Bytes data = pattern(200, 1);
  EXPECT_EQ(dfs_write(7, 0, 200, data.data(), 0), 0);
  uint32_t size = 0;
  EXPECT_EQ(dfs_getsize(7, &size), 0);
  EXPECT_EQ(size, 200u);
  // Bits 28..31 ride along without a meaning.
  EXPECT_EQ(dfs_getsize(0xB0000007u, &size), 0);
  EXPECT_EQ(size, 200u);
  Bytes back(300, 0);
  uint32_t len = 300;
  EXPECT_EQ(dfs_read(0x70000007u, 0, &len, back.data()), 0);
  EXPECT_EQ(len, 200u);
  EXPECT_EQ(Bytes(back.begin(), back.begin() + 200), data);
  EXPECT_EQ(dfs_write(0x10000007u, 0, 10, data.data(), 1), 0);
  EXPECT_EQ(dfs_getsize(7, &size), 0);
  EXPECT_EQ(size, 10u);
  // ...but delete and zombie marking see them.
  EXPECT_EQ(dfs_delete_file(0x10000007u), 22);
  EXPECT_EQ(dfs_mark_zombie_file(0x10000008u), 22);

  // A missing file: 2 for size, read and delete.
  len = 4;
  EXPECT_EQ(dfs_getsize(9, &size), 2);
  EXPECT_EQ(dfs_read(9, 0, &len, back.data()), 2);
  EXPECT_EQ(dfs_delete_file(9), 2);
  // AFS's own refusals pass: beyond the file extent (27), ids beyond the slots (22).
  EXPECT_EQ(dfs_write(7, 0x40000, 1, data.data(), 0), 27);
  EXPECT_EQ(dfs_getsize(1024, &size), 22);
  // Zombie marking and delete.
  EXPECT_EQ(dfs_mark_zombie_file(9), 0);
  EXPECT_EQ(dfs_getsize(9, &size), 2);
  EXPECT_EQ(dfs_mark_zombie_file(7), 99);  // a slot in use
  EXPECT_EQ(dfs_delete_file(7), 0);
  EXPECT_EQ(dfs_getsize(7, &size), 2);

  // EFS numbers while EFS is not mounted.
  kelvra::efs::stop();
  len = 4;
  EXPECT_EQ(dfs_read(1 | EFS_BITS, 0, &len, back.data()), 2);
  EXPECT_EQ(dfs_getsize(1 | EFS_BITS, &size), 5);  // EFS's 1, folded
  EXPECT_EQ(dfs_write(1 | EFS_BITS, 0, 4, data.data(), 0), 5);
  EXPECT_EQ(dfs_delete_file(1 | EFS_BITS), 22);

  // Page size: multiples of 64 up to 4096.
  EXPECT_EQ(dfs_set_page_size(64), 0);
  EXPECT_EQ(dfs_set_page_size(8192), 22);
  EXPECT_EQ(dfs_set_page_size(0), 22);
  EXPECT_EQ(dfs_set_page_size(100), 22);
  EXPECT_EQ(dfs_write(3, 0, 5, data.data(), 0), 0);

  // Idle-reclaim switch.
  EXPECT_FALSE(dfs_get_idle_reclaim_enabled());
  dfs_set_idle_reclaim_enabled();
  EXPECT_TRUE(dfs_get_idle_reclaim_enabled());

  // Terminate ends nothing.
  EXPECT_EQ(dfs_terminate(), 0);
  EXPECT_EQ(dfs_getsize(3, &size), 0);
  EXPECT_EQ(size, 5u);

  // A second mount makes everything use the new volume.
  Bytes other = createMfs(8);
  ASSERT_EQ(dfs_init(other.data(), static_cast<uint32_t>(other.size())), 0);
  EXPECT_EQ(dfs_getsize(3, &size), 2);
  EXPECT_FALSE(dfs_get_idle_reclaim_enabled());
  // And a remount of the first image finds what was written.
  ASSERT_EQ(mini_vfs_init(image.data(), static_cast<uint32_t>(image.size())), 0);
  EXPECT_EQ(dfs_getsize(3, &size), 0);
  EXPECT_EQ(size, 5u);
  Bytes bad(16 * 8192, 0xFF);
  EXPECT_EQ(mini_vfs_init(bad.data(), static_cast<uint32_t>(bad.size())), 1);
}

TEST_F(Dfs, WriteFoldsNoSpace) {
  Bytes image = createMfs(4);  // the smallest volume
  ASSERT_EQ(dfs_init(image.data(), static_cast<uint32_t>(image.size())), 0);
  const Bytes chunk(0x3000, 0x5A);
  int rc = 0;
  int id = 0;
  for (; id < 64 && rc == 0; ++id) rc = dfs_write(static_cast<uint32_t>(id), 0, static_cast<uint32_t>(chunk.size()),
                                                 chunk.data(), 0);
  EXPECT_EQ(rc, 28);
  // The files written before still read back.
  uint32_t size = 0;
  EXPECT_EQ(dfs_getsize(0, &size), 0);
  EXPECT_EQ(size, chunk.size());
}

TEST_F(Dfs, EfsFilesThroughTheDfsLayer) {
  const std::vector<EfsFile> files = {{0, 0, 0, 64}, {1, 0, 100, 16}};
  const Bytes blob = ftbl(4, {{"/e/zero", 1, 0, 0, 2, 64}, {"/e/one", 2, 0, 1, 2, 16}}, &files);
  ASSERT_EQ(load_file_table(blob.data(), 4, static_cast<uint32_t>(blob.size())), 0);
  Bytes efs = formatEfs();
  ASSERT_TRUE(EFS_is_initialized());
  uint32_t size = 0;
  // Size queries need an AFS context, even for EFS numbers.
  EXPECT_EQ(dfs_getsize(EFS_BITS, &size), 2);
  Bytes mfs = createMfs(4);
  ASSERT_EQ(dfs_init(mfs.data(), static_cast<uint32_t>(mfs.size())), 0);
  EXPECT_EQ(dfs_getsize(EFS_BITS, &size), 2);  // never written: empty
  const Bytes v = text("hello efs");
  EXPECT_EQ(dfs_write(EFS_BITS, 0, static_cast<uint32_t>(v.size()), v.data(), 0), 0);
  EXPECT_EQ(dfs_getsize(EFS_BITS, &size), 0);
  EXPECT_EQ(size, v.size());
  uint8_t out[32] = {};
  EXPECT_EQ(readVfs("/e/zero", 0, out, sizeof(out)), 0);  // shorter than asked: fine
  EXPECT_EQ(Bytes(out, out + v.size()), v);
  // EFS refuses a write beyond its file's maximum; the refusal is folded.
  const Bytes big(17, 1);
  const int rc = dfs_write(1 | EFS_BITS, 0, static_cast<uint32_t>(big.size()), big.data(), 0);
  EXPECT_NE(rc, 0);
  EXPECT_TRUE(rc == 5 || rc == 22 || rc == 27 || rc == 28) << rc;
}

TEST_F(Dfs, ContextMountedByTheHostIsServedAndItsUnmountShowsEverywhere) {
  Bytes bad(16 * 8192, 0xFF);
  ASSERT_EQ(dfs_init(bad.data(), static_cast<uint32_t>(bad.size())), 5);
  // The host mounts the exported context itself, with the library's flags.
  Bytes image = createMfs();
  ASSERT_EQ(afs_init(dfs_context, image.data(), 64, 10, 1024, 0, static_cast<uint32_t>(image.size()), 0x20025, 0, 0),
            0);
  const Bytes data = pattern(150, 3);
  EXPECT_EQ(dfs_write(7, 0, 150, data.data(), 0), 0);
  uint32_t size = 0;
  EXPECT_EQ(dfs_getsize(7, &size), 0);
  EXPECT_EQ(size, 150u);
  Bytes back(150, 0);
  uint32_t len = 150;
  EXPECT_EQ(dfs_read(7, 0, &len, back.data()), 0);
  EXPECT_EQ(back, data);
  EXPECT_EQ(dfs_set_page_size(64), 0);
  dfs_set_idle_reclaim_enabled();
  EXPECT_TRUE(dfs_get_idle_reclaim_enabled());
  EXPECT_EQ(dfs_force_dirty_erase(), 0);
  const int full = dfs_force_full_reclaim();
  EXPECT_TRUE(full == 0 || full == 11) << full;
  EXPECT_NE(dfs_idle_reclaim(), 22);
  EXPECT_EQ(dfs_mark_zombie_file(9), 0);
  EXPECT_EQ(dfs_delete_file(7), 0);
  EXPECT_EQ(dfs_write(7, 0, 150, data.data(), 0), 0);

  // After the unmount every operation refuses alike and the image is left
  // as it is.
  kelvra::dfs::unmount();
  const Bytes before = image;
  len = 150;
  EXPECT_EQ(dfs_getsize(7, &size), 22);
  EXPECT_EQ(dfs_read(7, 0, &len, back.data()), 22);
  EXPECT_EQ(dfs_write(7, 0, 1, data.data(), 0), 22);
  EXPECT_EQ(dfs_delete_file(7), 22);
  EXPECT_EQ(dfs_mark_zombie_file(9), 22);
  EXPECT_EQ(dfs_set_page_size(64), 22);
  EXPECT_EQ(dfs_force_dirty_erase(), 22);
  EXPECT_EQ(dfs_force_full_reclaim(), 22);
  EXPECT_EQ(dfs_idle_reclaim(), 22);
  EXPECT_FALSE(dfs_get_idle_reclaim_enabled());
  EXPECT_FALSE(dfs_idle_reclaim_needed());
  EXPECT_EQ(image, before);
  // Mounting again finds what was written.
  ASSERT_EQ(dfs_init(image.data(), static_cast<uint32_t>(image.size())), 0);
  EXPECT_EQ(dfs_getsize(7, &size), 0);
  EXPECT_EQ(size, 150u);
}
