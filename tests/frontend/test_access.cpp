// NVAR access, state queries and the table operations beneath them.
#include <cstring>

#include "fe_fixture.h"
#include "frontend/zebmfs.h"
#include "frontend/zebmfs_internal.h"

using namespace fetest;
using namespace kelvra::fe;
using Lines = std::vector<std::string>;

namespace {

class Access : public FrontEnd {
 protected:
  void SetUp() override {
    FrontEnd::SetUp();
    Standard s = standard();
    s.withMfs = false;
    in_ = build(s);
    KelvraInputTables t = in_.tables();
    ASSERT_TRUE(zebMfsKelvraInit(&t, captureReport));
    g_reports.clear();
  }
  Inputs in_;
};

}  // namespace

TEST_F(Access, GetFromEachTableWithAndWithoutPrefix) {
  uint8_t* data = nullptr;
  uint32_t size = 0;
  bool editable = false;
  uint32_t maxSize = 0;
  ASSERT_TRUE(zebMfsNvarGet("a/plain", &data, &size, FCS_FILE_VARNOK_CFG, &editable, &maxSize));
  EXPECT_EQ(Bytes(data, data + size), text("vendor-plain"));
  EXPECT_TRUE(editable);
  EXPECT_EQ(maxSize, 64u);
  ASSERT_TRUE(zebMfsNvarGet(PLAIN, &data, &size, FCS_FILE_PLIM_CFG, nullptr, nullptr));
  EXPECT_EQ(Bytes(data, data + size), text("oem-plain"));
  // Without a mounted MFS even a secured NVAR is editable.
  ASSERT_TRUE(zebMfsNvarGet(SECURED, &data, &size, FCS_FILE_CURRENT_VALUES, &editable, nullptr));
  EXPECT_TRUE(editable);
  EXPECT_TRUE(g_reports.empty());
}

TEST_F(Access, GetFailures) {
  uint8_t* data = reinterpret_cast<uint8_t*>(this);
  uint32_t size = 5;
  EXPECT_FALSE(zebMfsNvarGet(nullptr, &data, &size, FCS_FILE_VARNOK_CFG, nullptr, nullptr));
  EXPECT_FALSE(zebMfsNvarGet(PLAIN, nullptr, &size, FCS_FILE_VARNOK_CFG, nullptr, nullptr));
  EXPECT_FALSE(zebMfsNvarGet(PLAIN, &data, nullptr, FCS_FILE_VARNOK_CFG, nullptr, nullptr));
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(reportLines(), (Lines{"400:Null NVAR path", "400:Null data", "400:Null data size"}));

  g_reports.clear();
  EXPECT_FALSE(zebMfsNvarGet(PLAIN, &data, &size, FCS_FILE_UNSET, nullptr, nullptr));
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(reportLines(), (Lines{"336:", "38:"}));

  g_reports.clear();
  EXPECT_FALSE(zebMfsNvarGet("/home/a/none", &data, &size, FCS_FILE_VARNOK_CFG, nullptr, nullptr));
  EXPECT_EQ(reportLines(), (Lines{"38:"}));

  // A record without a value and size 0: 348.
  g_reports.clear();
  EXPECT_FALSE(zebMfsNvarGet(NOVALUE, &data, &size, FCS_FILE_VARNOK_CFG, nullptr, nullptr));
  EXPECT_EQ(reportLines(), (Lines{"348:"}));
}

TEST_F(Access, RecordWithoutValueButWithSizeReports322) {
  resetFrontEnd();
  Standard s = standard();
  s.withMfs = false;
  s.vendor.back() = {0x208, 0, text("ignored")};  // flags bit 0 clear, 7 bytes
  Inputs in = build(s);
  KelvraInputTables t = in.tables();
  ASSERT_TRUE(zebMfsKelvraInit(&t, captureReport));
  uint8_t* data = nullptr;
  uint32_t size = 0;
  EXPECT_FALSE(zebMfsNvarGet(NOVALUE, &data, &size, FCS_FILE_VARNOK_CFG, nullptr, nullptr));
  EXPECT_EQ(reportLines(), (Lines{"322:"}));
  const FcsFileEntry* e = zebMfsFindFileEntryInTable(FCS_FILE_VARNOK_CFG, NOVALUE);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->data, nullptr);
  EXPECT_EQ(e->dataSize, 7u);
  EXPECT_EQ(e->hasValue, 0);
}

TEST_F(Access, Resize) {
  uint8_t* buffer = nullptr;
  uint8_t* data = nullptr;
  uint32_t size = 0;
  ASSERT_TRUE(zebMfsNvarGet(PLAIN, &data, &size, FCS_FILE_CURRENT_VALUES, nullptr, nullptr));
  ASSERT_TRUE(zebMfsNvarResize(PLAIN, &buffer, size));
  EXPECT_EQ(buffer, data);  // same size: same buffer, nothing changes

  ASSERT_TRUE(zebMfsNvarResize("a/plain", &buffer, 3));
  EXPECT_EQ(Bytes(buffer, buffer + 3), text("oem"));
  ASSERT_TRUE(zebMfsNvarResize(PLAIN, &buffer, 0));
  EXPECT_EQ(buffer, nullptr);
  ASSERT_TRUE(zebMfsNvarGet(PLAIN, &data, &size, FCS_FILE_CURRENT_VALUES, nullptr, nullptr));
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(size, 0u);
  ASSERT_TRUE(zebMfsNvarResize(PLAIN, &buffer, 6));
  EXPECT_EQ(Bytes(buffer, buffer + 6), Bytes(6, 0));
  // The loaded tables keep their values.
  ASSERT_TRUE(zebMfsNvarGet(PLAIN, &data, &size, FCS_FILE_PLIM_CFG, nullptr, nullptr));
  EXPECT_EQ(Bytes(data, data + size), text("oem-plain"));
  EXPECT_TRUE(g_reports.empty());

  EXPECT_FALSE(zebMfsNvarResize(nullptr, &buffer, 1));
  EXPECT_FALSE(zebMfsNvarResize(PLAIN, nullptr, 1));
  EXPECT_FALSE(zebMfsNvarResize(NOVALUE, &buffer, 1));  // not in the current values
  EXPECT_EQ(reportLines(), (Lines{"400:Null NVAR path", "400:Null New NVAR data", "38:"}));
}

TEST_F(Access, ResizeRefusedAllocationKeepsTheValue) {
  FrontendFaults faults;
  faults.failAllocAt = 1;
  g_frontendFaults = &faults;
  uint8_t* buffer = reinterpret_cast<uint8_t*>(this);
  EXPECT_FALSE(zebMfsNvarResize(PLAIN, &buffer, 5000));
  EXPECT_EQ(buffer, reinterpret_cast<uint8_t*>(this));
  EXPECT_EQ(reportLines(), (Lines{"323:"}));
  g_frontendFaults = nullptr;
  uint8_t* data = nullptr;
  uint32_t size = 0;
  ASSERT_TRUE(zebMfsNvarGet(PLAIN, &data, &size, FCS_FILE_CURRENT_VALUES, nullptr, nullptr));
  EXPECT_EQ(Bytes(data, data + size), text("oem-plain"));
}

TEST_F(Access, ExistsMappingAndQueries) {
  EXPECT_TRUE(zebmfsCheckNvarExists(NOVALUE, FCS_FILE_VARNOK_CFG));
  EXPECT_FALSE(zebmfsCheckNvarExists(NOVALUE, FCS_FILE_CURRENT_VALUES));
  EXPECT_FALSE(zebmfsCheckNvarExists(SECURED, FCS_FILE_PLIM_CFG));
  EXPECT_TRUE(g_reports.empty());
  EXPECT_FALSE(zebmfsCheckNvarExists(nullptr, FCS_FILE_VARNOK_CFG));
  EXPECT_FALSE(zebmfsCheckNvarExists(PLAIN, static_cast<FcsFileName>(0x10000005)));
  EXPECT_EQ(reportLines(), (Lines{"400:Null NVAR path", "336:"}));

  g_reports.clear();
  EXPECT_EQ(zebMfsGetFcsFileNameMapping(0), FCS_FILE_VARNOK_CFG);
  EXPECT_EQ(zebMfsGetFcsFileNameMapping(1), FCS_FILE_PLIM_CFG);
  EXPECT_EQ(zebMfsGetFcsFileNameMapping(2), FCS_FILE_CURRENT_VALUES);
  EXPECT_TRUE(g_reports.empty());
  EXPECT_EQ(zebMfsGetFcsFileNameMapping(3), FCS_FILE_CURRENT_VALUES);
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0].name, 0);
  EXPECT_EQ(g_reports[0].nameText, "");
  EXPECT_EQ(g_reports[0].message, "Invalid fcsFileNameMap value");

  EXPECT_TRUE(zebFcsIsInitialized());
  EXPECT_FALSE(zebMfsIsInitialized());
  EXPECT_FALSE(zebMfsIsVfsDeployed());
  EXPECT_EQ(zebMfsGetEfsSize(), 49152u);
}

TEST_F(Access, BufferGetter) {
  uint8_t* buffer = nullptr;
  uint32_t size = 0;
  ASSERT_TRUE(zebMfsGetBuildPlimCfgFcsBuffer(&buffer, &size));
  // Before any term: the library's copy of the host's OEM table.
  EXPECT_EQ(Bytes(buffer, buffer + size), Bytes(in_.oem.begin() + 16, in_.oem.end()));
  EXPECT_NE(buffer, in_.oem.data() + 16);
  g_reports.clear();
  EXPECT_FALSE(zebMfsGetBuildPlimCfgFcsBuffer(nullptr, &size));
  EXPECT_FALSE(zebMfsGetBuildPlimCfgFcsBuffer(&buffer, nullptr));
  ASSERT_EQ(g_reports.size(), 2u);
  EXPECT_EQ(reportLines()[0], "400:PLIM CFG buffer");
  EXPECT_EQ(g_reports[1].name, 400);
}

TEST_F(Access, AfterTermNothingIsFound) {
  ASSERT_TRUE(zebMfsNvarTerm(false));
  uint8_t* data = nullptr;
  uint32_t size = 0;
  EXPECT_FALSE(zebMfsNvarGet(PLAIN, &data, &size, FCS_FILE_VARNOK_CFG, nullptr, nullptr));
  EXPECT_FALSE(zebMfsNvarResize(PLAIN, &data, 1));
  EXPECT_FALSE(zebmfsCheckNvarExists(PLAIN, FCS_FILE_VARNOK_CFG));
  EXPECT_EQ(reportLines(), (Lines{"38:", "38:"}));
  EXPECT_FALSE(zebFcsIsInitialized());
}

TEST_F(Access, AddRefusalsLeaveTheTableUnchanged) {
  const FcsFileEntry* plain = zebMfsFindFileEntryInTable(FCS_FILE_CURRENT_VALUES, PLAIN);
  ASSERT_NE(plain, nullptr);
  const uint32_t before = s_currentValuesTable.entryCount;

  // Already linked elsewhere.
  FcsFileEntry* copy = copyFileEntry(plain);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->inTable, 0);
  copy->inTable = 1;
  EXPECT_FALSE(zebMfsAddNewFileFcs(s_currentValuesTable, copy, false));
  copy->inTable = 0;
  // A path that the table already has.
  EXPECT_FALSE(zebMfsAddNewFileFcs(s_currentValuesTable, copy, false));
  EXPECT_EQ(reportLines(), (Lines{"329:", "328:"}));
  EXPECT_EQ(s_currentValuesTable.entryCount, before);

  // Refused by the tree (larger than the file's maximum with the check on):
  // no report of its own, the caller keeps the entry.
  g_reports.clear();
  FcsTable scratch = {nullptr, FCS_FILE_UNSET, 0, nullptr, 0, nullptr, nullptr};
  ASSERT_EQ(createHandle(&scratch.handle), 0);
  std::free(copy->data);
  copy->data = static_cast<uint8_t*>(std::calloc(1, 65));
  copy->dataSize = 65;
  int code = 0;
  EXPECT_FALSE(zebMfsAddNewFileFcs(scratch, copy, true, &code));
  EXPECT_EQ(code, 12);
  EXPECT_TRUE(g_reports.empty());
  EXPECT_EQ(copy->inTable, 0);
  copy->dataSize = 64;
  EXPECT_TRUE(zebMfsAddNewFileFcs(scratch, copy, true, &code));
  EXPECT_EQ(scratch.firstEntry, copy);
  EXPECT_EQ(copy->inTable, 1);

  // No handle, or no entry: the assertion report.
  FcsTable none = {nullptr, FCS_FILE_UNSET, 0, nullptr, 0, nullptr, nullptr};
  EXPECT_FALSE(zebMfsAddNewFileFcs(none, nullptr, false));
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0].name, 0);
  EXPECT_EQ(g_reports[0].message, "Invalid FCS handle or fileEntry pointer");
  zebMfsFreeFcsTable(scratch);
}

TEST_F(Access, AddOfAnEntryWithoutValueBytesStoresZeros) {
  // An entry whose value bytes are missing but whose size is not 0: the
  // record's payload must be zeros, never heap contents.
  FcsTable scratch = {nullptr, FCS_FILE_UNSET, 0, nullptr, 0, nullptr, nullptr};
  ASSERT_EQ(createHandle(&scratch.handle), 0);
  FcsFileEntry* e = static_cast<FcsFileEntry*>(std::calloc(1, sizeof(FcsFileEntry)));
  std::strcpy(e->name, NOPULL);
  e->header.fileno = 0x205;
  e->header.flags = 1;
  e->dataSize = 24;
  ASSERT_TRUE(zebMfsAddNewFileFcs(scratch, e, false));
  ASSERT_TRUE(zebMfsSerializeFcsTable(scratch));
  const Bytes out(scratch.buffer, scratch.buffer + scratch.bufferSize);
  ASSERT_EQ(out.size(), 4u + 12u + 24u);
  EXPECT_EQ(get32(out, 0), 1u);
  EXPECT_EQ(get32(out, 4), 0x205u);
  EXPECT_EQ(get32(out, 8), 16u);
  EXPECT_EQ(get16(out, 12), 24u);
  EXPECT_EQ(get16(out, 14), 1u);
  EXPECT_EQ(Bytes(out.begin() + 16, out.end()), Bytes(24, 0));
  zebMfsFreeFcsTable(scratch);
}

TEST_F(Access, MemCpyFailureReports) {
  uint8_t dst[4];
  const uint8_t src[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(zebMfsMemCpy(dst, sizeof(dst), src, 0), 0);
  EXPECT_TRUE(g_reports.empty());
  EXPECT_EQ(zebMfsMemCpy(dst, sizeof(dst), src, 5), 40);
  EXPECT_EQ(reportLines(), (Lines{"323:Memory copy failed with error 40"}));
}
