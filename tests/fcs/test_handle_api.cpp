// The FCS handle API: handles, walk, data and attributes, addNewFile's
// decisions, deleteFile.

#include "fcs_test_util.h"

using namespace fcstest;

namespace {

using HandleApi = FcsFixture;

TEST_F(HandleApi, CreateCloseAndNullArguments) {
  EXPECT_EQ(createHandle(nullptr), 1);
  void* stale = reinterpret_cast<void*>(0x1234);  // old value is not looked at
  ASSERT_EQ(createHandle(&stale), 0);
  EXPECT_NE(stale, reinterpret_cast<void*>(0x1234));
  EXPECT_EQ(closeHandle(&stale), 0);
  EXPECT_EQ(stale, nullptr);
  EXPECT_EQ(closeHandle(&stale), 6);
  EXPECT_EQ(closeHandle(nullptr), 1);

  kelvra::fcs::g_fail_handle_creations = 1;
  void* slot = reinterpret_cast<void*>(0x99);
  EXPECT_EQ(createHandle(&slot), 9);
  EXPECT_EQ(slot, reinterpret_cast<void*>(0x99));

  char name[64] = "unchanged";
  uint32_t room = 0;
  uint8_t out[4];
  file_attribute_record_t attr;
  std::vector<uint8_t> r = record(0x101, {});
  EXPECT_EQ(getFirstFileInRoot(nullptr, name), 6);
  EXPECT_EQ(getNextFile(nullptr, name), 6);
  EXPECT_EQ(getFileData(nullptr, "/home/a", out, &room), 6);
  EXPECT_EQ(getFileAttributes(nullptr, "/home/a", &attr), 6);
  EXPECT_EQ(addNewFile(nullptr, "", "/home/a", r.data(), 12, false), 6);
  EXPECT_EQ(deleteFile(nullptr, "/home/a"), 6);
  EXPECT_EQ(flush(nullptr, out, &room), 6);

  ASSERT_EQ(createHandle(&handle), 0);
  EXPECT_EQ(getFirstFileInRoot(handle, nullptr), 1);
  EXPECT_EQ(getNextFile(handle, nullptr), 1);
  EXPECT_EQ(getFileData(handle, "/home/a", nullptr, &room), 1);
  EXPECT_EQ(getFileData(handle, "/home/a", out, nullptr), 1);
  EXPECT_EQ(getFileAttributes(handle, "/home/a", nullptr), 1);
  EXPECT_EQ(flush(handle, out, nullptr), 1);
  EXPECT_TRUE(validateAttributs(reinterpret_cast<_cfg_file_entry_t*>(r.data())));
  EXPECT_FALSE(validateAttributs(nullptr));
}

TEST_F(HandleApi, WalkInNameOrderAndEmptyHandle) {
  ASSERT_EQ(createHandle(&handle), 0);
  char name[64] = "unchanged";
  EXPECT_EQ(getFirstFileInRoot(handle, name), 3);
  EXPECT_EQ(getNextFile(handle, name), 3);  // nothing at the position
  EXPECT_STREQ(name, "unchanged");

  // Names of the caller's choosing (no leading "/", so deleteFile reaches them).
  ASSERT_EQ(add("b", 0x102, {1}), 0);
  ASSERT_EQ(add("a", 0x101, {2}), 0);
  ASSERT_EQ(add("c", 0x103, {}), 0);
  EXPECT_EQ(walk(handle), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(getNextFile(handle, name), 3);

  // An add or delete rewinds: the next getNextFile yields the second file.
  ASSERT_EQ(getFirstFileInRoot(handle, name), 0);
  ASSERT_EQ(getNextFile(handle, name), 0);
  ASSERT_EQ(getNextFile(handle, name), 0);
  EXPECT_STREQ(name, "c");
  ASSERT_EQ(deleteFile(handle, "c"), 0);
  ASSERT_EQ(getNextFile(handle, name), 0);
  EXPECT_STREQ(name, "b");
  ASSERT_EQ(add("0", 0x104, {}), 0);
  ASSERT_EQ(getNextFile(handle, name), 0);
  EXPECT_STREQ(name, "a");
  ASSERT_EQ(deleteFile(handle, "0"), 0);

  // Delete everything while standing on the last file.
  ASSERT_EQ(deleteFile(handle, "a"), 0);
  ASSERT_EQ(deleteFile(handle, "b"), 0);
  EXPECT_EQ(getNextFile(handle, name), 3);
  EXPECT_EQ(getFirstFileInRoot(handle, name), 3);
}

TEST_F(HandleApi, DeleteFileResults) {
  ASSERT_EQ(createHandle(&handle), 0);
  ASSERT_EQ(add("/home/a", 0x101, {}), 0);
  ASSERT_EQ(add("/home/b", 0x102, {}), 0);
  char name[64];
  ASSERT_EQ(getFirstFileInRoot(handle, name), 0);
  ASSERT_EQ(getNextFile(handle, name), 0);
  EXPECT_EQ(deleteFile(handle, "/home/zzz"), 4);
  // A path that begins with "/" has an empty first part: nothing removed.
  EXPECT_EQ(deleteFile(handle, "/home/a"), 4);
  EXPECT_EQ(getNextFile(handle, name), 3);  // position unchanged by a refusal
  EXPECT_EQ(walk(handle).size(), 2u);

  // Names without a leading "/" are removed, also with a "/" behind them.
  ASSERT_EQ(add("rel", 0x105, {}), 0);
  EXPECT_EQ(deleteFile(handle, "rel/"), 0);
  EXPECT_EQ(walk(handle), (std::vector<std::string>{"/home/a", "/home/b"}));
}

TEST_F(HandleApi, GetFileDataRoomProtocol) {
  ASSERT_EQ(createHandle(&handle), 0);
  std::vector<uint8_t> rec = record(0x102, bytes_of(30, 9), 0x0001);
  ASSERT_EQ(addNewFile(handle, "", "/home/b", rec.data(), uint32_t(rec.size()), false), 0);

  uint8_t dummy = 0x5A;
  uint32_t room = 0;
  EXPECT_EQ(getFileData(handle, "/home/b", &dummy, &room), 5);
  EXPECT_EQ(room, 42u);
  EXPECT_EQ(dummy, 0x5A);
  room = 41;
  std::vector<uint8_t> out(64, 0xEE);
  EXPECT_EQ(getFileData(handle, "/home/b", out.data(), &room), 5);
  EXPECT_EQ(room, 42u);
  EXPECT_EQ(out[0], 0xEE);
  room = 64;
  EXPECT_EQ(getFileData(handle, "/home/b", out.data(), &room), 0);
  EXPECT_EQ(room, 42u);
  EXPECT_EQ(out[42], 0xEE);  // nothing past the record
  // The stored record: input header with the real payload size.
  EXPECT_EQ(r32(&out[0]), 0x102u);
  EXPECT_EQ(r32(&out[4]), 0xDEADBEEFu);
  EXPECT_EQ(r16(&out[8]), 30);
  EXPECT_EQ(r16(&out[10]), 0x0001);
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 12, out.begin() + 42), bytes_of(30, 9));

  EXPECT_EQ(getFileData(handle, "/home/b/", out.data(), &room), 4);
  EXPECT_EQ(getFileData(handle, "/home/a", out.data(), &room), 4);
}

TEST_F(HandleApi, GetFileAttributes) {
  ASSERT_EQ(createHandle(&handle), 0);
  std::vector<uint8_t> rec = record(0x102, bytes_of(3, 1), 0x0001);
  ASSERT_EQ(addNewFile(handle, "", "/home/b", rec.data(), uint32_t(rec.size()), false), 0);
  // Stored under a name the table lacks (as the front end does, with "/").
  std::vector<uint8_t> rec2 = record(0x101, bytes_of(2, 1), 0x0001);
  ASSERT_EQ(addNewFile(handle, "", "/home/a/", rec2.data(), uint32_t(rec2.size()), false), 0);

  uint8_t raw[20];
  std::memset(raw, 0xCD, sizeof raw);
  auto* out = reinterpret_cast<file_attribute_record_t*>(raw);
  EXPECT_EQ(getFileAttributes(handle, "/home/b", out), 0);
  EXPECT_EQ(r32(raw), 0x102u);
  EXPECT_EQ(r16(raw + 8), 3);
  EXPECT_EQ(r16(raw + 10), 1);
  EXPECT_EQ(r16(raw + 12), 0x0041);
  EXPECT_EQ(r32(raw + 14), 100u);
  EXPECT_EQ(raw[18], 0xCD);

  std::memset(raw, 0xCD, sizeof raw);
  EXPECT_EQ(getFileAttributes(handle, "/home/a/", out), 8);
  EXPECT_EQ(r32(raw), 0x101u);  // header already written
  EXPECT_EQ(r16(raw + 12), 0xCDCD);
  EXPECT_EQ(r32(raw + 14), 0xCDCDCDCDu);
  EXPECT_EQ(getFileAttributes(handle, "/home/c", out), 4);
}

TEST_F(HandleApi, AddNewFileDecisionOrder) {
  ASSERT_EQ(createHandle(&handle), 0);
  // Step order: handle, size, record, number 0, number, max, duplicate.
  EXPECT_EQ(addNewFile(handle, "", "/home/a", nullptr, 11, false), 5);
  EXPECT_EQ(addNewFile(handle, "", "/home/a", nullptr, 12, false), 1);

  std::vector<uint8_t> zero = record(0, bytes_of(4, 0));
  EXPECT_EQ(addNewFile(handle, "", "/home/none", zero.data(), 16, true), 2);
  EXPECT_EQ(r32(zero.data()), 0u);

  std::vector<uint8_t> unknown = record(0x777, bytes_of(4, 0));
  EXPECT_EQ(addNewFile(handle, "", "/home/a", unknown.data(), 16, false), 8);

  // Number 0 takes the table's number by name, written back at once.
  ASSERT_EQ(addNewFile(handle, "", "/home/a", zero.data(), 16, true), 0);
  EXPECT_EQ(r32(zero.data()), 0x101u);
  std::vector<uint8_t> got(16);
  uint32_t room = 16;
  ASSERT_EQ(getFileData(handle, "/home/a", got.data(), &room), 0);
  EXPECT_EQ(r32(got.data()), 0x101u);

  // The write-back survives a refusal (here: already present).
  std::vector<uint8_t> again = record(0, bytes_of(1, 0));
  EXPECT_EQ(addNewFile(handle, "", "/home/a", again.data(), 13, false), 11);
  EXPECT_EQ(r32(again.data()), 0x101u);
  // ... and a refusal for size.
  std::vector<uint8_t> big = record(0, bytes_of(17, 0));
  EXPECT_EQ(addNewFile(handle, "other-dir", "/home/a", big.data(), 29, true), 12);
  EXPECT_EQ(r32(big.data()), 0x101u);

  // The directory argument takes no part in the duplicate test.
  std::vector<uint8_t> dup = record(0x101, {});
  EXPECT_EQ(addNewFile(handle, "somewhere", "/home/a", dup.data(), 12, false), 11);

  // A number of the table under a name of the caller's choosing.
  EXPECT_EQ(addNewFile(handle, "", "/home/a/", dup.data(), 12, false), 0);
  EXPECT_EQ(walk(handle), (std::vector<std::string>{"/home/a", "/home/a/"}));
}

TEST_F(HandleApi, AddNewFileSizeBoundaries) {
  ASSERT_EQ(createHandle(&handle), 0);
  // /home/a has max_size 16: 28 bytes pass the check, 29 do not.
  EXPECT_EQ(add("/home/a", 0x101, bytes_of(17, 0), true), 12);
  EXPECT_EQ(add("/home/a", 0x101, bytes_of(16, 0), true), 0);
  EXPECT_EQ(add("/home/a/", 0x101, bytes_of(17, 0), false), 0);
  // max_size 0xFFFFFFFF: max + 12 computed without overflow.
  EXPECT_EQ(add("/home/zz", 0xF0000107u, bytes_of(40, 0), true), 0);

  // /home/big allows 70000 bytes, but a record holds at most 65535.
  std::vector<uint8_t> r = record(0x108, bytes_of(65536 + 20 - 12, 0));
  EXPECT_EQ(addNewFile(handle, "", "/home/big", r.data(), 65536 + 20, true), 12);
  EXPECT_EQ(addNewFile(handle, "", "/home/big", r.data(), 65536 + 20, false), 12);
  EXPECT_EQ(addNewFile(handle, "", "/home/big", r.data(), 65536 + 5, false), 12);
  EXPECT_EQ(addNewFile(handle, "", "/home/big", r.data(), 65536, false), 12);
  EXPECT_EQ(addNewFile(handle, "", "/home/big", r.data(), 65535, true), 0);
  uint32_t room = 0;
  uint8_t d;
  EXPECT_EQ(getFileData(handle, "/home/big", &d, &room), 5);
  EXPECT_EQ(room, 65535u);
}

TEST_F(HandleApi, AddNewFileNamesAsStored) {
  ASSERT_EQ(createHandle(&handle), 0);
  // An empty name would end every walk early: refused by the root.
  EXPECT_EQ(add("", 0x101, {}), 4);
  EXPECT_EQ(walk(handle).size(), 0u);

  // Two names that store alike (first 48 characters equal) are duplicates.
  const std::string n48(48, 'L');
  EXPECT_EQ(add((n48 + "1").c_str(), 0x104, {1}), 0);
  EXPECT_EQ(add((n48 + "2").c_str(), 0x104, {2}), 11);
  EXPECT_EQ(add(n48.c_str(), 0x104, {3}), 11);
  EXPECT_EQ(walk(handle), (std::vector<std::string>{n48}));

  kelvra::fcs::g_fail_file_creations = 1;
  EXPECT_EQ(add("/home/b", 0x102, {}), 9);
  EXPECT_EQ(walk(handle).size(), 1u);
  EXPECT_EQ(add("/home/b", 0x102, {}), 0);
}

TEST_F(HandleApi, TableChangeAfterAddAffectsOnlyAttributes) {
  ASSERT_EQ(createHandle(&handle), 0);
  ASSERT_EQ(add("/home/a", 0x101, {1, 2}), 0);
  Ftbl other;
  other.sku_count(1);
  other.table(0, 9, 512, {{"/home/q", 0x55}});
  ASSERT_EQ(other.load(9), 0);
  file_attribute_record_t attr;
  EXPECT_EQ(getFileAttributes(handle, "/home/a", &attr), 8);
  EXPECT_EQ(walk(handle), (std::vector<std::string>{"/home/a"}));
  // Numbers are validated against the table selected when adding.
  EXPECT_EQ(add("/home/b", 0x102, {}), 8);
}

}  // namespace
