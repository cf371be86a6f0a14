// The EFST loader: geometry and file table from the FTBL blob, and every
// refusal leaving the earlier state in force.
#include "efs_test_util.h"

#include "efs/efs_tools_utils.h"

using namespace efs_test;

namespace {

struct Globals {
  uint32_t bm, valid, spare, files, threshold;
  uint8_t layout, sku, loaded;
  efs_file_entry_t* table;
  uint32_t generation;

  static Globals now() {
    return {g_efs_bm_num, g_efs_valid_block_num, g_efs_non_valid_block_num, g_efs_files_num,
            g_efs_wear_leveling_threshold, g_efs_layout_id, g_efs_sku_id,
            g_efs_autogen_data_loaded, EFS_files, kelvra::efs::geometry_generation()};
  }
  bool operator==(const Globals& o) const {
    return bm == o.bm && valid == o.valid && spare == o.spare && files == o.files &&
           threshold == o.threshold && layout == o.layout && sku == o.sku &&
           loaded == o.loaded && table == o.table && generation == o.generation;
  }
};

class Loader : public ::testing::Test {
 protected:
  void SetUp() override { kelvra::efs::reset_geometry_for_tests(); }
  int Load(const std::vector<uint8_t>& blob, uint32_t sku, int64_t size = -1) {
    return load_autogen_data(blob.data(), sku,
                             size < 0 ? static_cast<uint32_t>(blob.size())
                                      : static_cast<uint32_t>(size));
  }
  // A first good load so every refusal has an earlier state to keep.
  void LoadBaseline() {
    SkuRec r;
    r.sku = 9;
    r.bm = 3;
    r.valid = 5;
    r.spare = 2;
    r.files_num = 4;
    r.threshold = 55;
    r.layout = 0x1234;
    r.files = {{1, 2, 10, 20}};
    ASSERT_EQ(0, Load(build_blob({r}), 9));
  }
};

TEST_F(Loader, DefaultsBeforeAnyLoad) {
  EXPECT_EQ(2u, g_efs_bm_num);
  EXPECT_EQ(7u, g_efs_valid_block_num);
  EXPECT_EQ(3u, g_efs_non_valid_block_num);
  EXPECT_EQ(16u, g_efs_files_num);
  EXPECT_EQ(100u, g_efs_wear_leveling_threshold);
  EXPECT_EQ(0, g_efs_layout_id);
  EXPECT_EQ(0, g_efs_autogen_data_loaded);
  EXPECT_EQ(nullptr, EFS_files);
  EXPECT_EQ(49152u, EFS_get_efs_size());
  EXPECT_EQ(1, EFS_init(0));  // no EFST data: no mount
  EXPECT_EQ(0, EFS_is_initialized());
}

TEST_F(Loader, LoadsRecordForSkuFromHandBuiltBytes) {
  // Built byte by byte: two FTBL SKU entries put the EFST section at 48.
  std::vector<uint8_t> blob(1024, 0);
  const uint8_t head[] = {'F', 'T', 'B', 'L', 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0};
  std::memcpy(blob.data(), head, sizeof head);
  const uint8_t efst[] = {'E', 'F', 'S', 'T', 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0};
  std::memcpy(blob.data() + 48, efst, sizeof efst);
  // Record 0: another SKU (0x104) with a broken geometry that must not win.
  uint8_t* r0 = blob.data() + 64;
  r0[0] = 0x04;
  r0[1] = 0x01;
  r0[16] = 99;
  // Record 1: SKU 0x105, file records at 200, 2 records of 120 bytes.
  const uint8_t r1[40] = {0x05, 0x01, 0, 0, 200, 0, 0, 0, 2, 0, 0, 0, 120, 0, 0, 0,
                          3,    0,    0, 0, 9,   0, 0, 0, 4, 0, 0, 0, 8,   0, 0, 0,
                          77,   0,    0, 0, 0x34, 0x12, 0, 0};
  std::memcpy(blob.data() + 104, r1, sizeof r1);
  // File record: index 6, block 0x0102, offset 300, max 4000.
  uint8_t* f0 = blob.data() + 200;
  f0[0] = 6;
  f0[50] = 0x02;
  f0[51] = 0x01;
  f0[52] = 0x2C;
  f0[53] = 0x01;
  f0[54] = 0xA0;
  f0[55] = 0x0F;
  // Second record for the same index replaces the first one's values.
  uint8_t* f1 = blob.data() + 260;
  f1[0] = 6;
  f1[50] = 3;
  f1[52] = 8;
  f1[54] = 9;

  ASSERT_EQ(0, load_autogen_data(blob.data(), 0x105, 1024));
  EXPECT_EQ(3u, g_efs_bm_num);
  EXPECT_EQ(9u, g_efs_valid_block_num);
  EXPECT_EQ(4u, g_efs_non_valid_block_num);
  EXPECT_EQ(8u, g_efs_files_num);
  EXPECT_EQ(77u, g_efs_wear_leveling_threshold);
  EXPECT_EQ(0x34, g_efs_layout_id);
  EXPECT_EQ(5, g_efs_sku_id);  // low byte of 0x105
  EXPECT_EQ(1, g_efs_autogen_data_loaded);
  ASSERT_NE(nullptr, EFS_files);
  EXPECT_EQ(3, EFS_files[6].block);
  EXPECT_EQ(8, static_cast<int>(EFS_files[6].offset));
  EXPECT_EQ(9, static_cast<int>(EFS_files[6].max_size));
  EXPECT_TRUE(efs_file_is_defined(EFS_files[6]));
  EXPECT_EQ(1, EFS_files[6].flags[0]);
  EXPECT_EQ(0, EFS_files[6].flags[1] | EFS_files[6].flags[2]);
  for (uint32_t i = 0; i < 8; ++i) {
    if (i != 6) {
      EXPECT_FALSE(efs_file_is_defined(EFS_files[i])) << i;
    }
  }
  EXPECT_EQ((3u + 9u + 4u) * 4096u, EFS_get_efs_size());

  // The block field keeps its low byte only.
  f1[50] = 0x02;
  f1[51] = 0x01;
  ASSERT_EQ(0, load_autogen_data(blob.data(), 0x105, 1024));
  EXPECT_EQ(2, EFS_files[6].block);
}

TEST_F(Loader, NothingToLoadChangesNothing) {
  LoadBaseline();
  const Globals before = Globals::now();
  SkuRec other;
  other.sku = 1;
  auto blob = build_blob({other});
  EXPECT_EQ(0, Load(blob, 2));  // no record for the SKU (matched on 32 bits)
  EXPECT_EQ(0, Load(blob, 1 + 0x100));
  auto none = build_blob({});
  EXPECT_EQ(0, Load(none, 1));  // record count 0
  std::vector<uint8_t> no_efst = none;
  no_efst[48] = 'X';
  EXPECT_EQ(0, Load(no_efst, 1));  // no "EFST" magic
  EXPECT_EQ(0, Load(none, 1, 48));  // section does not fit: no section
  EXPECT_TRUE(before == Globals::now());
}

TEST_F(Loader, EveryRefusalLeavesEveryGlobalUnchanged) {
  LoadBaseline();
  const Globals before = Globals::now();
  SkuRec good = default_sku();
  good.sku = 1;
  auto blob = build_blob({good});

  std::vector<uint8_t> bad_magic = blob;
  bad_magic[0] = 'G';
  EXPECT_EQ(1, Load(bad_magic, 1));
  EXPECT_EQ(1, Load(blob, 1, 47));  // EFST would start beyond the size
  std::vector<uint8_t> huge_count = blob;
  kelvra::le::put32(huge_count.data() + 12, 0xFFFFFFFFu);  // no 32-bit wrap
  EXPECT_EQ(1, Load(huge_count, 1));
  EXPECT_EQ(1, Load(blob, 1, 60));  // EFST header cut short
  EXPECT_EQ(1, Load(blob, 1, 64 + 39));  // SKU record cut short

  SkuRec r = good;
  r.file_bytes = 60 * static_cast<int64_t>(r.files.size()) + 1;  // one byte over 60 x count
  EXPECT_EQ(1, Load(build_blob({r}), 1));
  r = good;
  r.file_offset = 5000;  // beyond the blob
  EXPECT_EQ(1, Load(build_blob({r}), 1));
  r = good;
  r.file_count = 50;  // records run past the end of the blob
  r.file_bytes = 0;
  EXPECT_EQ(1, Load(build_blob({r}), 1));
  r = good;
  r.files.push_back({16, 0, 0, 1});  // index not below the file count
  EXPECT_EQ(1, Load(build_blob({r}), 1));
  // A record walk that runs past the blob before finding the SKU.
  std::vector<uint8_t> walk = blob;
  kelvra::le::put32(walk.data() + 48 + 12, 1000);
  EXPECT_EQ(1, Load(walk, 77));

  kelvra::efs::g_fail_table_allocs = 1;
  EXPECT_EQ(12, Load(blob, 1));
  EXPECT_TRUE(before == Globals::now());
  EXPECT_NE(nullptr, EFS_files);  // the loaded flag never stays over a null table
}

TEST_F(Loader, FileCountBeyondSixteenBitIndexesIsRefused) {
  LoadBaseline();
  const Globals before = Globals::now();
  SkuRec r = default_sku();
  r.sku = 1;
  for (uint32_t count : {0x10001u, 0x48484848u, 0xFFFFFFFFu}) {
    r.files_num = count;
    EXPECT_EQ(1, Load(build_blob({r}), 1)) << count;
    EXPECT_TRUE(before == Globals::now()) << count;
  }
  // 65536 files: every 16-bit index names one.
  r.files_num = 0x10000;
  r.files.push_back({0xFFFF, 1, 8, 2});
  ASSERT_EQ(0, Load(build_blob({r}), 1));
  EXPECT_EQ(0x10000u, g_efs_files_num);
  ASSERT_NE(nullptr, EFS_files);
  EXPECT_TRUE(efs_file_is_defined(EFS_files[0xFFFF]));
  const efs_file_entry_t last = EFS_files[0xFFFF];
  EXPECT_EQ(1u, static_cast<uint32_t>(last.block));
  EXPECT_EQ(8u, static_cast<uint32_t>(last.offset));
}

TEST_F(Loader, ExactFileBytesAndEmptyRecordLoad) {
  SkuRec r = default_sku();
  r.file_bytes = 60 * static_cast<int64_t>(r.files.size());
  EXPECT_EQ(0, Load(build_blob({r}), 0));
  SkuRec empty;
  empty.sku = 3;
  empty.files_num = 5;
  const efs_file_entry_t* first = EFS_files;
  EXPECT_EQ(0, Load(build_blob({empty}), 3));
  ASSERT_NE(nullptr, EFS_files);
  EXPECT_NE(first, EFS_files);  // every load allocates its own table
  for (uint32_t i = 0; i < 5; ++i) EXPECT_FALSE(efs_file_is_defined(EFS_files[i]));
  EXPECT_EQ(1, g_efs_autogen_data_loaded);
  EXPECT_EQ(3, g_efs_sku_id);
}

TEST_F(Loader, NewGeometryEndsAnEarlierMount) {
  SkuRec r = default_sku();
  ASSERT_EQ(0, Load(build_blob({r}), 0));
  ASSERT_EQ(0, EFS_init(1));
  ASSERT_EQ(1, EFS_is_initialized());
  // Same geometry, new threshold and table: the mount stays.
  r.threshold = 7;
  ASSERT_EQ(0, Load(build_blob({r}), 0));
  EXPECT_EQ(1, EFS_is_initialized());
  // More spare blocks: the mount's arrays no longer fit, so it ends.
  r.spare = 5;
  ASSERT_EQ(0, Load(build_blob({r}), 0));
  EXPECT_EQ(0, EFS_is_initialized());
  uint32_t size = 0;
  EXPECT_EQ(1, EFS_get_file_size(kSmall, &size));
  std::vector<uint8_t> data(10, 1);
  EXPECT_EQ(1, EFS_write(kSmall, 0, 10, data.data()));
}

}  // namespace
