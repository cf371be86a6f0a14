// End to end through the host stand-in: the library is loaded by path and
// every call goes through an entry point resolved by name.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/support/kelvra_host.h"

using namespace kelvra_host;
using Bytes = std::vector<uint8_t>;

namespace {

struct Report {
  int32_t name;
  std::string message;
};
std::vector<Report> g_reports;
void onStatus(int32_t, int32_t name, const char*, const char* message) { g_reports.push_back({name, message}); }

const Library& library() {
  static Library lib;
  static bool opened = false;
  if (!opened) {
    std::string error;
    opened = lib.open(KELVRA_LIBRARY_PATH, &error);
    EXPECT_TRUE(opened) << error;
  }
  return lib;
}
const Api& api() { return library().api(); }

Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }
Bytes pattern(size_t n, uint8_t first) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
  return v;
}
Bytes u32le(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

Bytes get(const char* path, FcsFileName table, bool* ok = nullptr) {
  uint8_t* data = nullptr;
  uint32_t size = 0;
  const bool got = api().zebMfsNvarGet(path, &data, &size, table, nullptr, nullptr);
  if (ok != nullptr) *ok = got;
  return got ? Bytes(data, data + size) : Bytes();
}

bool set(const char* path, const Bytes& value) {
  uint8_t* buffer = nullptr;
  if (!api().zebMfsNvarResize(path, &buffer, static_cast<uint32_t>(value.size()))) return false;
  if (!value.empty()) std::memcpy(buffer, value.data(), value.size());
  return true;
}

// One record of an expected FCS buffer, laid out by hand: u32 count, then
// 12-byte headers (file number, payload offset, u16 size, u16 flags), then the
// payloads back to back in the same order.
struct Rec {
  uint32_t fileno;
  uint16_t flags;
  Bytes payload;
};
Bytes expectedFcs(const std::vector<Rec>& recs) {
  Bytes out;
  auto p32 = [&out](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  auto p16 = [&out](uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
  };
  p32(static_cast<uint32_t>(recs.size()));
  uint32_t offset = static_cast<uint32_t>(4 + 12 * recs.size());
  for (const Rec& r : recs) {
    p32(r.fileno);
    p32(offset);
    p16(static_cast<uint16_t>(r.payload.size()));
    p16(r.flags);
    offset += static_cast<uint32_t>(r.payload.size());
  }
  for (const Rec& r : recs) out.insert(out.end(), r.payload.begin(), r.payload.end());
  return out;
}

class Host : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(api().zebMfsKelvraInit, nullptr);
    // Start from a released library whatever an earlier test left.
    if (api().zebFcsIsInitialized()) api().zebMfsNvarTerm(false);
    g_reports.clear();
    std::string what;
    ASSERT_EQ(build_demo_samples(api(), &s_, &what), 0) << what;
  }
  void TearDown() override {
    if (api().zebFcsIsInitialized()) api().zebMfsNvarTerm(false);
  }
  bool init() {
    tables_ = input_tables(s_);
    return api().zebMfsKelvraInit(&tables_, onStatus);
  }
  // Mounts the MFS image on its own (the library must not hold it) and reads a file.
  Bytes mfsFile(const char* path) {
    EXPECT_EQ(api().dfs_init(s_.mfs.data(), static_cast<uint32_t>(s_.mfs.size())), 0);
    int rc = 0;
    Bytes b = read_file(api(), path, &rc);
    EXPECT_EQ(rc, 0) << path;
    return b;
  }
  SampleSet s_;
  KelvraInputTables tables_;
};

}  // namespace

TEST(HostBoundary, InputRecordLayout) {
  EXPECT_EQ(sizeof(KelvraInputTables), sizeof(void*) == 8 ? 64u : 44u);
  EXPECT_EQ(offsetof(KelvraInputTables, fileTable), 3 * (sizeof(void*) + 4));
  EXPECT_EQ(offsetof(KelvraInputTables, skuId), 4 * (sizeof(void*) + 4));
}

TEST_F(Host, FullSession) {
  using namespace demo;
  ASSERT_TRUE(init());
  EXPECT_TRUE(g_reports.empty());
  EXPECT_TRUE(api().zebFcsIsInitialized());
  EXPECT_TRUE(api().zebMfsIsInitialized());
  EXPECT_TRUE(api().zebMfsIsVfsDeployed());
  EXPECT_EQ(api().zebMfsGetEfsSize(), 49152u);

  // All three tables.
  EXPECT_EQ(get(HOSTNAME, FCS_FILE_VARNOK_CFG), text("kelvra-default"));
  EXPECT_EQ(get(MTU, FCS_FILE_VARNOK_CFG), (Bytes{0xDC, 0x05}));
  EXPECT_EQ(get(MTU, FCS_FILE_PLIM_CFG), (Bytes{0x28, 0x23}));
  EXPECT_FALSE(api().zebmfsCheckNvarExists(HOSTNAME, FCS_FILE_PLIM_CFG));
  EXPECT_EQ(get(HOSTNAME, FCS_FILE_CURRENT_VALUES), text("unit-0042.lab"));
  EXPECT_EQ(get(MTU, FCS_FILE_CURRENT_VALUES), (Bytes{0xD4, 0x05}));  // 1492 from the MFS
  EXPECT_EQ(get(KEY40, FCS_FILE_CURRENT_VALUES), pattern(16, 0x40));
  EXPECT_EQ(get(KEY56, FCS_FILE_CURRENT_VALUES), pattern(20, 0x60));
  EXPECT_EQ(get(FACTORY, FCS_FILE_CURRENT_VALUES), text("factory-A"));
  EXPECT_EQ(get(BOOTCOUNT, FCS_FILE_CURRENT_VALUES), u32le(5));
  bool editable = true;
  uint8_t* data = nullptr;
  uint32_t size = 0;
  ASSERT_TRUE(api().zebMfsNvarGet(KEY40, &data, &size, FCS_FILE_CURRENT_VALUES, &editable, nullptr));
  EXPECT_FALSE(editable);
  EXPECT_TRUE(g_reports.empty());

  // Changes.
  ASSERT_TRUE(set(HOSTNAME, text("renamed")));      // shorter: the file is truncated
  ASSERT_TRUE(set(FACTORY, text("factory-B-long")));  // bit 1: written back all the same
  ASSERT_TRUE(set(KEY40, Bytes(16, 0x99)));         // secured: the table only
  ASSERT_TRUE(set(BOOTCOUNT, u32le(6)));
  ASSERT_TRUE(api().zebMfsNvarTerm(true));
  EXPECT_TRUE(g_reports.empty());

  // The new OEM table, byte for byte: records ordered by path with "/"
  // appended, every current value that has a value.
  uint8_t* buffer = nullptr;
  uint32_t bufferSize = 0;
  ASSERT_TRUE(api().zebMfsGetBuildPlimCfgFcsBuffer(&buffer, &bufferSize));
  const Bytes oem(buffer, buffer + bufferSize);
  const Bytes expected = expectedFcs({
      {0x106, 1, text("factory-B-long")},       // /home/cfg/factory/
      {0x107, 1, u32le(6)},                      // /home/efs/bootcount/
      {0xA0000102, 1, text("renamed")},          // /home/net/hostname/
      {0x103, 1, Bytes{0xD4, 0x05}},             // /home/net/mtu/
      {0x104, 1, Bytes(16, 0x99)},               // /home/sec/key40/
      {0x105, 1, pattern(20, 0x60)},             // /home/sec/key56/
  });
  EXPECT_EQ(oem, expected);
  EXPECT_EQ(get(HOSTNAME, FCS_FILE_PLIM_CFG), text("renamed"));

  // EFS-resident NVAR written back (EFS stays started).
  int rc = 0;
  EXPECT_EQ(read_file(api(), BOOTCOUNT, &rc), u32le(6));
  EXPECT_EQ(rc, 0);

  ASSERT_TRUE(api().zebMfsNvarTerm(false));
  EXPECT_FALSE(api().zebFcsIsInitialized());
  EXPECT_FALSE(api().zebMfsIsInitialized());
  EXPECT_FALSE(api().zebMfsGetBuildPlimCfgFcsBuffer(&buffer, &bufferSize));

  // MFS files, read back through the volume reader.
  EXPECT_EQ(mfsFile(HOSTNAME), text("renamed"));
  EXPECT_EQ(mfsFile(FACTORY), text("factory-B-long"));
  EXPECT_EQ(mfsFile(MTU), (Bytes{0xD4, 0x05}));
  Bytes key40 = pattern(16, 0x40);
  key40.insert(key40.end(), 40, 0xEE);
  EXPECT_EQ(mfsFile(KEY40), key40);
  Bytes key56 = pattern(20, 0x60);
  key56.insert(key56.end(), 56, 0xDD);
  EXPECT_EQ(mfsFile(KEY56), key56);
  EXPECT_EQ(mfsFile(DEPLOY), text("1"));

  // Init again from the changed images and the new OEM table.
  s_.oemPartition = build_plim_partition(oem);
  ASSERT_TRUE(init());
  EXPECT_EQ(get(HOSTNAME, FCS_FILE_CURRENT_VALUES), text("renamed"));
  EXPECT_EQ(get(FACTORY, FCS_FILE_CURRENT_VALUES), text("factory-B-long"));  // from the OEM table
  EXPECT_EQ(get(BOOTCOUNT, FCS_FILE_CURRENT_VALUES), u32le(6));
  EXPECT_EQ(get(KEY40, FCS_FILE_CURRENT_VALUES), pattern(16, 0x40));  // pulled from the MFS again
  EXPECT_EQ(get(KEY40, FCS_FILE_PLIM_CFG), Bytes(16, 0x99));
  EXPECT_TRUE(g_reports.empty());
}

TEST_F(Host, OrderingUsesTheAppendedSlash) {
  // "x-z/" < "x.y/" < "x/" although "x" < "x-z" < "x.y" without the slash.
  s_.entries = {{"/home/mca/deploy", 1, 0, 1, 0, 8},
                {"/home/o/x", 0x31, 0, 2, 0, 8},
                {"/home/o/x.y", 0x32, 0, 3, 0, 8},
                {"/home/o/x-z", 0x33, 0, 4, 0, 8}};
  s_.ftbl = build_ftbl(s_.sku, s_.entries, nullptr);
  s_.vendor = build_fcs({{0x31, 1, text("A")}, {0x32, 1, text("BB")}, {0x33, 1, text("CCC")}});
  s_.oemPartition.clear();
  s_.mfs.clear();
  s_.efs.clear();
  ASSERT_TRUE(init()) << g_reports.size();
  ASSERT_TRUE(api().zebMfsNvarTerm(true));
  uint8_t* buffer = nullptr;
  uint32_t size = 0;
  ASSERT_TRUE(api().zebMfsGetBuildPlimCfgFcsBuffer(&buffer, &size));
  EXPECT_EQ(Bytes(buffer, buffer + size),
            expectedFcs({{0x33, 1, text("CCC")}, {0x32, 1, text("BB")}, {0x31, 1, text("A")}}));
}

TEST_F(Host, FailureReportsReachTheHost) {
  ASSERT_TRUE(init());
  ASSERT_TRUE(set(demo::FACTORY, Bytes(33, 0x41)));  // maximum 32
  EXPECT_FALSE(api().zebMfsNvarTerm(true));
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0].name, 347);
  EXPECT_FALSE(api().zebFcsIsInitialized());
  g_reports.clear();
  EXPECT_FALSE(api().zebMfsNvarTerm(false));
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0].name, 326);
  EXPECT_EQ(api().zebMfsGetFcsFileNameMapping(7), FCS_FILE_CURRENT_VALUES);
  EXPECT_FALSE(api().zebMfsKelvraInit(nullptr, onStatus));
}

TEST_F(Host, RepeatedInitTermCycles) {
  // Under the sanitizer build the process must end without leaks although
  // every cycle mounts the MFS and starts EFS again.
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(init()) << "cycle " << i;
    ASSERT_TRUE(set(demo::HOSTNAME, text(("cycle-" + std::to_string(i)).c_str())));
    ASSERT_TRUE(api().zebMfsNvarTerm(i % 3 == 0));
    if (i % 3 == 0) {
      ASSERT_TRUE(api().zebMfsNvarTerm(false));
    }
    ASSERT_FALSE(api().zebFcsIsInitialized());
  }
  ASSERT_TRUE(init());
  EXPECT_EQ(get(demo::HOSTNAME, FCS_FILE_CURRENT_VALUES), text("cycle-11"));
}

#ifdef _WIN32
// A host built with the platform's own compiler finds the one C++ entry
// point by that compiler's decorated name: it is the same function.
TEST(HostLoad, PlatformDecoratedNameIsTheSameFunction) {
  const void* itanium = library().address_of("_Z19zebMfsIsVfsDeployedv");
  ASSERT_NE(itanium, nullptr);
  EXPECT_EQ(library().address_of("?zebMfsIsVfsDeployed@@YA_NXZ"), itanium);
}
#endif
