// FTBL selection and the file-table lookups.

#include <memory>

#include "fcs_test_util.h"

using namespace fcstest;

namespace {

class FileTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kelvra::fcs::reset_file_table_for_tests();
    kelvra::efs::reset_geometry_for_tests();
  }
  void TearDown() override {
    kelvra::fcs::reset_file_table_for_tests();
    kelvra::efs::reset_geometry_for_tests();
  }
  // A blob with SKU 7's table of two files at 512 and an EFST record for 7.
  static Ftbl good_blob() {
    Ftbl b;
    b.sku_count(1);
    b.table(0, 7, 512, {{"/home/one", 0x11, 0x3, 10}, {"/home/two", 0x12, 0x4, 20}});
    b.efst(1, 7, 9, false);
    return b;
  }
  static void expect_nothing_selected() {
    EXPECT_EQ(g_table_num_files, 0);
    EXPECT_EQ(g_dfs_sku, 0xFFFFFFFFu);
    EXPECT_EQ(get_file_entry_by_file_name("/home/one"), nullptr);
    EXPECT_EQ(g_efs_autogen_data_loaded, 0);
    EXPECT_EQ(g_efs_layout_id, 0);
  }
};

TEST_F(FileTableTest, AcceptedBlobSelectsTableAndLoadsEfst) {
  Ftbl b = good_blob();
  ASSERT_EQ(b.load(7), 0);
  EXPECT_EQ(g_table_num_files, 2);
  EXPECT_EQ(g_dfs_sku, 7u);
  EXPECT_EQ(g_efs_autogen_data_loaded, 1);
  EXPECT_EQ(g_efs_layout_id, 9);
  const file_table_entry_t* e = get_file_entry_by_file_name("/home/two");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->fileno, 0x12u);
  EXPECT_EQ(e->attributes, 0x4);
  EXPECT_EQ(e->max_size, 20u);
}

TEST_F(FileTableTest, RefusalsChangeNothing) {
  // Each refused blob carries a valid table and EFST record for SKU 7, so a
  // refusal that touched anything would show.
  {
    Ftbl b = good_blob();
    EXPECT_EQ(load_file_table(b.bytes.data(), 7, 1023), 1);  // short
  }
  {
    Ftbl b = good_blob();
    b.bytes[3] = 'X';  // magic
    EXPECT_EQ(b.load(7), 1);
  }
  {
    Ftbl b = good_blob();
    b.sku_count(11);
    EXPECT_EQ(b.load(7), 1);
  }
  {
    Ftbl b = good_blob();
    b.sku(0, 7, 4096 - 68 * 2 + 1, 2);  // table ends one byte past the blob
    EXPECT_EQ(b.load(7), 1);
  }
  {
    Ftbl b = good_blob();
    b.sku(0, 7, 0xFFFFFFF0u, 1);  // offset + size wraps 32 bits
    EXPECT_EQ(b.load(7), 1);
  }
  {
    Ftbl b = good_blob();
    b.sku(0, 7, 512, 0x04000000u);  // 68 x count overflows 32 bits
    EXPECT_EQ(b.load(7), 1);
  }
  EXPECT_EQ(load_file_table(nullptr, 7, 4096), 1);
  expect_nothing_selected();

  // With a selection in force, a refusal keeps it.
  Ftbl good = good_blob();
  ASSERT_EQ(good.load(7), 0);
  Ftbl bad = good_blob();
  bad.sku(0, 7, 4000, 2);
  EXPECT_EQ(bad.load(7), 1);
  EXPECT_EQ(g_table_num_files, 2);
  EXPECT_NE(get_file_entry_by_file_name("/home/one"), nullptr);
}

TEST_F(FileTableTest, NoMatchingSkuKeepsSelectionAndOwnsIt) {
  // A selection made from a blob that the caller then frees stays usable:
  // the library holds its own copy.
  {
    auto b = std::make_unique<Ftbl>(good_blob());
    ASSERT_EQ(b->load(7), 0);
    std::fill(b->bytes.begin(), b->bytes.end(), 0xCC);
  }
  Ftbl other;
  other.sku_count(1);
  other.table(0, 8, 512, {{"/home/other", 0x99}});
  EXPECT_EQ(other.load(7), 0);  // no entry for 7: result of the EFST loader
  EXPECT_EQ(g_dfs_sku, 7u);
  other.bytes.assign(other.bytes.size(), 0);
  const file_table_entry_t* e = get_file_entry_by_file_name("/home/one");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->fileno, 0x11u);
  EXPECT_EQ(get_file_entry_by_file_name("/home/other"), nullptr);

  Ftbl none;  // sku_count 0
  EXPECT_EQ(none.load(7), 0);
  EXPECT_EQ(g_table_num_files, 2);
}

TEST_F(FileTableTest, FirstMatchingSkuWinsAndLaterEntriesAreIgnored) {
  Ftbl b;
  b.sku_count(2);
  b.table(0, 5, 512, {{"/home/first", 1}});
  b.table(1, 5, 1024, {{"/home/second", 2}});
  b.table(2, 6, 2048, {{"/home/beyond", 3}});  // beyond sku_count
  ASSERT_EQ(b.load(5), 0);
  EXPECT_NE(get_file_entry_by_file_name("/home/first"), nullptr);
  EXPECT_EQ(get_file_entry_by_file_name("/home/second"), nullptr);
  EXPECT_EQ(b.load(6), 0);
  EXPECT_EQ(g_dfs_sku, 5u);  // entry 2 never looked at
}

TEST_F(FileTableTest, EmptyTableAtEndOfBlob) {
  Ftbl b(1024);
  b.sku_count(1);
  b.sku(0, 3, 1024, 0);
  ASSERT_EQ(b.load(3), 0);
  EXPECT_EQ(g_table_num_files, 0);
  EXPECT_EQ(g_dfs_sku, 3u);
  EXPECT_NE(g_table_buf, nullptr);
  EXPECT_EQ(get_file_entry_by_file_name(""), nullptr);
  fileno_t n = 0;
  EXPECT_EQ(get_file_entry_by_fileno(&n), nullptr);
}

TEST_F(FileTableTest, EfstFailureKeepsNewSelection) {
  Ftbl b;
  b.sku_count(1);
  b.table(0, 7, 512, {{"/home/one", 0x11}});
  b.efst(1, 7, 4, true);
  EXPECT_EQ(b.load(7), 1);
  EXPECT_EQ(g_table_num_files, 1);
  EXPECT_NE(get_file_entry_by_file_name("/home/one"), nullptr);
  EXPECT_EQ(g_efs_autogen_data_loaded, 0);
}

TEST_F(FileTableTest, FailedCopyKeepsOldSelection) {
  Ftbl b = good_blob();
  ASSERT_EQ(b.load(7), 0);
  Ftbl c;
  c.sku_count(1);
  c.table(0, 7, 512, {{"/home/new", 0x77}});
  kelvra::fcs::g_fail_table_copies = 1;
  EXPECT_EQ(c.load(7), 1);
  EXPECT_NE(get_file_entry_by_file_name("/home/one"), nullptr);
  EXPECT_EQ(get_file_entry_by_file_name("/home/new"), nullptr);
}

TEST_F(FileTableTest, LookupsByNameAndNumber) {
  fileno_t out = 0;
  file_attributes_t attr = 0xAAAA;
  unsigned int max = 0xBBBB;
  char name[49];
  fileno_t n12 = 0x12;
  // Before any selection everything finds nothing.
  EXPECT_EQ(get_fileno_by_file_name("/home/one", &out), -1);
  EXPECT_EQ(get_file_entry_by_fileno(&n12), nullptr);
  EXPECT_EQ(get_file_name_by_fileno(&n12, name), -1);
  EXPECT_EQ(get_file_attributes_by_file_name("/home/one", &attr, &max), -1);

  const std::string long48(48, 'q');
  Ftbl b;
  b.sku_count(1);
  b.table(0, 1, 512,
          {{"/home/one", 0x11, 0x3, 10},
           {long48, 0x48, 0x5, 50},
           {"/home/one", 0x13, 0x6, 60},  // same name: the first wins
           {"/home/dup", 0x11, 0x7, 70}});  // same number: the first wins
  ASSERT_EQ(b.load(1), 0);

  EXPECT_EQ(get_fileno_by_file_name("/home/one", &out), 0);
  EXPECT_EQ(out, 0x11u);
  EXPECT_EQ(get_fileno_by_file_name("/home/on", &out), -1);
  EXPECT_EQ(get_fileno_by_file_name("/home/one/", &out), -1);
  EXPECT_EQ(get_fileno_by_file_name("/HOME/one", &out), -1);

  // The 48-character name has no terminator in the table.
  EXPECT_EQ(get_fileno_by_file_name(long48.c_str(), &out), 0);
  EXPECT_EQ(out, 0x48u);
  EXPECT_EQ(get_fileno_by_file_name((long48 + "tail").c_str(), &out), 0);
  EXPECT_EQ(get_fileno_by_file_name(long48.substr(0, 47).c_str(), &out), -1);
  fileno_t n48 = 0x48;
  std::memset(name, '#', sizeof name);
  EXPECT_EQ(get_file_name_by_fileno(&n48, name), 0);
  EXPECT_EQ(std::string(name, 48), long48);
  EXPECT_EQ(name[48], '#');  // no terminator added

  fileno_t n11 = 0x11;
  const file_table_entry_t* e = get_file_entry_by_fileno(&n11);
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->name, "/home/one");
  fileno_t none = 0x999;
  EXPECT_EQ(get_file_entry_by_fileno(&none), nullptr);
  EXPECT_EQ(get_file_name_by_fileno(&none, name), -1);

  EXPECT_EQ(get_file_attributes_by_file_name("/home/one", &attr, &max), 0);
  EXPECT_EQ(attr, 0x3);
  EXPECT_EQ(max, 10u);
  attr = 0xAAAA;
  EXPECT_EQ(get_file_attributes_by_file_name("/home/one", &attr, nullptr), -1);
  EXPECT_EQ(attr, 0xAAAA);
  EXPECT_EQ(get_file_attributes_by_file_name("/home/nope", &attr, &max), -1);
}

TEST_F(FileTableTest, EntryFieldsDecodedFromStoredBytes) {
  Ftbl b;
  b.sku_count(1);
  b.sku(0, 1, 600, 1);
  // Byte by byte from the stored layout of one 68-byte entry.
  std::vector<uint8_t>& m = b.bytes;
  std::memcpy(&m[600], "n", 1);
  m[600 + 0x30] = 0x78; m[600 + 0x31] = 0x56; m[600 + 0x32] = 0x34; m[600 + 0x33] = 0xF2;
  m[600 + 0x34] = 0x41; m[600 + 0x35] = 0x00;
  m[600 + 0x3A] = 0xFF; m[600 + 0x3B] = 0x07;
  m[600 + 0x3F] = 0x02;
  m[600 + 0x40] = 0x10; m[600 + 0x41] = 0x27; m[600 + 0x42] = 0; m[600 + 0x43] = 0;
  ASSERT_EQ(b.load(1), 0);
  const file_table_entry_t* e = get_file_entry_by_file_name("n");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->fileno, 0xF2345678u);
  EXPECT_EQ(e->attributes, 0x41);
  EXPECT_EQ(e->file_id, 0x7FF);
  EXPECT_EQ(e->fs_type, 2);
  EXPECT_EQ(e->max_size, 10000u);
}

}  // namespace
