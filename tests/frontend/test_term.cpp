// Termination: write-back into the MFS and EFS, the new OEM table, and every
// failure row with its report sequence and the state it leaves.
#include <cstring>

#include "afs/Afs.h"
#include "afs/AfsPhysicalWin32Spi.h"
#include "efs/EFS.h"
#include "fe_fixture.h"
#include "frontend/dfs.h"
#include "frontend/miniVfs.h"
#include "frontend/zebmfs.h"
#include "frontend/zebmfs_internal.h"

using namespace fetest;
using kelvra::fe::FrontendFaults;
using kelvra::fe::g_frontendFaults;
using Lines = std::vector<std::string>;

namespace {

class Term : public FrontEnd {
 protected:
  bool init(Inputs& in) {
    KelvraInputTables t = in.tables();
    return zebMfsKelvraInit(&t, captureReport);
  }
  void set(const char* path, const Bytes& value) {
    uint8_t* buffer = nullptr;
    ASSERT_TRUE(zebMfsNvarResize(path, &buffer, static_cast<uint32_t>(value.size())));
    if (!value.empty()) std::memcpy(buffer, value.data(), value.size());
  }
  Bytes get(const char* path, FcsFileName table) {
    uint8_t* data = nullptr;
    uint32_t size = 0;
    EXPECT_TRUE(zebMfsNvarGet(path, &data, &size, table, nullptr, nullptr)) << path;
    return Bytes(data, data + size);
  }
  // Remounts the MFS image on its own and reads a file.
  Bytes mfsFile(Inputs& in, const char* path) {
    EXPECT_EQ(dfs_init(in.mfs.data(), static_cast<uint32_t>(in.mfs.size())), 0);
    int rc = 0;
    Bytes b = readFile(path, &rc);
    EXPECT_EQ(rc, 0) << path;
    return b;
  }
  void expectReleased() {
    EXPECT_FALSE(zebFcsIsInitialized());
    EXPECT_FALSE(zebMfsIsInitialized());
    using namespace kelvra::fe;
    for (const FcsTable* t : {&s_varnokCfgTable, &s_plimCfgTable, &s_currentValuesTable, &s_builtPlimCfgTable}) {
      EXPECT_EQ(t->handle, nullptr);
      EXPECT_EQ(t->buffer, nullptr);
      EXPECT_EQ(t->firstEntry, nullptr);
      EXPECT_EQ(t->entryCount, 0u);
    }
  }
};

}  // namespace

TEST_F(Term, RefusedWhileNotReady) {
  EXPECT_FALSE(zebMfsNvarTerm(true));
  zebMfsSetStatusCallback(captureReport);
  EXPECT_FALSE(zebMfsNvarTerm(false));
  EXPECT_EQ(reportLines(), (Lines{"326:"}));
}

TEST_F(Term, KeepTrueWritesBackAndServesTheNewTable) {
  Inputs in = build(standard());
  ASSERT_TRUE(init(in));
  set(PLAIN, text("new"));                // shorter than its 15-byte file: truncated
  set(SECURED, Bytes(60, 0x55));          // secured: table only
  set(NOPULL, text("np-changed-value"));  // not pulled, but written back
  set(EFSVAR, text("EFS-written"));
  ASSERT_TRUE(zebMfsNvarTerm(true)) << ::testing::PrintToString(reportLines());
  EXPECT_TRUE(g_reports.empty());
  EXPECT_TRUE(zebFcsIsInitialized());
  EXPECT_TRUE(zebMfsIsInitialized());

  // The OEM table is the new one; the current values were rebuilt from it.
  EXPECT_EQ(get(PLAIN, FCS_FILE_PLIM_CFG), text("new"));
  EXPECT_EQ(get(SECURED, FCS_FILE_PLIM_CFG), Bytes(60, 0x55));
  EXPECT_EQ(get(PLAIN, FCS_FILE_CURRENT_VALUES), text("new"));
  EXPECT_EQ(get(PLAIN, FCS_FILE_VARNOK_CFG), text("vendor-plain"));
  EXPECT_EQ(kelvra::fe::s_plimCfgTable.handle, nullptr);
  EXPECT_EQ(kelvra::fe::s_builtPlimCfgTable.firstEntry, nullptr);

  // The serialised table: one record per current value, payload sizes set.
  uint8_t* buffer = nullptr;
  uint32_t size = 0;
  ASSERT_TRUE(zebMfsGetBuildPlimCfgFcsBuffer(&buffer, &size));
  const Bytes table(buffer, buffer + size);
  ASSERT_GE(table.size(), 4u);
  EXPECT_EQ(get32(table, 0), 5u);

  // MFS and EFS files.
  EXPECT_EQ(readFile(EFSVAR), text("EFS-written"));
  EXPECT_TRUE(zebMfsNvarTerm(false));
  EXPECT_EQ(mfsFile(in, PLAIN), text("new"));
  EXPECT_EQ(mfsFile(in, SECURED), pattern(100, 0x10));  // untouched, block included
  EXPECT_EQ(mfsFile(in, NOPULL), text("np-changed-value"));
}

TEST_F(Term, KeepFalseReleasesEverythingAndInitWorksAgain) {
  Inputs in = build(standard());
  ASSERT_TRUE(init(in));
  set(PLAIN, text("persisted"));
  ASSERT_TRUE(zebMfsNvarTerm(false));
  expectReleased();
  uint8_t* buffer = nullptr;
  uint32_t size = 0;
  EXPECT_FALSE(zebMfsGetBuildPlimCfgFcsBuffer(&buffer, &size));
  EXPECT_FALSE(zebMfsNvarTerm(false));
  EXPECT_EQ(reportLines(), (Lines{"326:"}));
  g_reports.clear();
  ASSERT_TRUE(init(in));
  EXPECT_EQ(get(PLAIN, FCS_FILE_CURRENT_VALUES), text("persisted"));
}

TEST_F(Term, ZeroLengthValues) {
  Inputs in = build(standard());
  ASSERT_TRUE(init(in));
  set(PLAIN, Bytes());  // over a 15-byte file: written as 0 bytes with truncation
  ASSERT_TRUE(zebMfsNvarTerm(true));
  EXPECT_EQ(readFile(PLAIN), Bytes());
  uint32_t number = 0;
  ASSERT_EQ(pathToFileNumber(PLAIN, &number), 0);
  uint32_t fileSize = 99;
  ASSERT_EQ(dfs_getsize(number, &fileSize), 0);
  EXPECT_EQ(fileSize, 0u);
  // Both empty now: nothing is written, and the term still succeeds.
  ASSERT_TRUE(zebMfsNvarTerm(true));
  bool present = false;
  uint8_t* data = nullptr;
  uint32_t size = 1;
  present = zebMfsNvarGet(PLAIN, &data, &size, FCS_FILE_PLIM_CFG, nullptr, nullptr);
  EXPECT_TRUE(present);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(data, nullptr);
}

TEST_F(Term, WithoutDeployedMfsNothingIsWritten) {
  Standard s = standard();
  s.mfsFiles.erase(s.mfsFiles.begin());  // not deployed
  Inputs in = build(s);
  const Bytes before = in.mfs;
  ASSERT_TRUE(init(in));
  set(PLAIN, text("not-written"));
  ASSERT_TRUE(zebMfsNvarTerm(false));
  EXPECT_EQ(in.mfs, before);
}

TEST_F(Term, BuiltHandleFailureGivesUp) {
  Inputs in = build(standard());
  ASSERT_TRUE(init(in));
  FrontendFaults faults;
  faults.failCreateHandleAt = 1;
  g_frontendFaults = &faults;
  EXPECT_FALSE(zebMfsNvarTerm(true));
  EXPECT_EQ(reportLines(), (Lines{"330:" + status(9), "347:"}));
  expectReleased();
}

TEST_F(Term, NvarWithoutFileNumberGivesUp) {
  Standard s = standard();
  s.entries.push_back({"/home/a/nonumber", 0x209, 0, 0, 0, 64});
  s.vendor.push_back({0x209, 1, text("x")});
  Inputs in = build(s);
  ASSERT_TRUE(init(in));  // the pull skips it
  EXPECT_FALSE(zebMfsNvarTerm(true));
  EXPECT_EQ(reportLines(), (Lines{"101:" + status(0), "347:"}));
  expectReleased();
}

TEST_F(Term, SizeQueryFailureGivesUp) {
  Standard s = standard();
  s.entries[5].attributes = 0x0002;  // EFSVAR: not pulled...
  s.efsFiles.clear();                // ...and its EFS file was never written
  Inputs in = build(s);
  ASSERT_TRUE(init(in)) << ::testing::PrintToString(reportLines());
  EXPECT_FALSE(zebMfsNvarTerm(true));
  EXPECT_EQ(reportLines(), (Lines{"338:" + status(2), "347:"}));
  expectReleased();
}

TEST_F(Term, FailedWriteKeepsEarlierWriteBacks) {
  // Write-back runs in name order; "/home/a/zefs" comes after PLAIN.
  Standard s = standard();
  s.entries.push_back({"/home/a/zefs", 0x20A, 0, 1, 2, 64});  // EFS file 1
  s.vendor.push_back({0x20A, 1, text("zz")});
  s.efsFiles.push_back({"/home/a/zefs", text("zz")});
  Inputs in = build(s);
  ASSERT_TRUE(init(in)) << ::testing::PrintToString(reportLines());
  set(PLAIN, text("before-the-failure"));
  set("/home/a/zefs", Bytes(64, 0x31));  // fits the file table's maximum...
  EFS_files[1].max_size = 8;             // ...but not EFS's file
  EXPECT_FALSE(zebMfsNvarTerm(true));
  EFS_files[1].max_size = 64;
  ASSERT_EQ(g_reports.size(), 2u) << ::testing::PrintToString(reportLines());
  EXPECT_EQ(g_reports[0].name, 101);
  EXPECT_EQ(g_reports[0].message.rfind(" Library status code: ", 0), 0u);
  EXPECT_EQ(g_reports[1].name, 347);
  EXPECT_EQ(g_reports[1].message, "");
  expectReleased();
  EXPECT_EQ(mfsFile(in, PLAIN), text("before-the-failure"));
}

TEST_F(Term, ValueAboveTheFileMaximumGivesUp) {
  Inputs in = build(standard());
  ASSERT_TRUE(init(in));
  set(NOPULL, Bytes(65, 0x20));  // maximum 64
  EXPECT_FALSE(zebMfsNvarTerm(true));
  EXPECT_EQ(reportLines(), (Lines{"347:"}));
  expectReleased();
  // Exactly the maximum passes.
  resetFrontEnd();
  Inputs in2 = build(standard());
  ASSERT_TRUE(init(in2));
  set(NOPULL, Bytes(64, 0x20));
  EXPECT_TRUE(zebMfsNvarTerm(false));
}

TEST_F(Term, ValueTooLargeForARecordIsNotCutShort) {
  Standard s = standard();
  s.entries[4].maxSize = 0x20000;  // NOPULL: the file table allows more than a record holds
  Inputs in = build(s);
  ASSERT_TRUE(init(in));
  set(NOPULL, Bytes(65524, 0x42));
  const Bytes before = in.mfs;
  EXPECT_FALSE(zebMfsNvarTerm(true));
  EXPECT_EQ(reportLines(), (Lines{"347:"}));
  expectReleased();
  EXPECT_EQ(in.mfs, before);  // failed before any write-back

  // 65523 bytes is the largest value that a record holds.
  resetFrontEnd();
  Inputs in2 = build(s);
  ASSERT_TRUE(init(in2));
  set(NOPULL, Bytes(65523, 0x42));
  ASSERT_TRUE(zebMfsNvarTerm(true)) << ::testing::PrintToString(reportLines());
  EXPECT_EQ(get(NOPULL, FCS_FILE_PLIM_CFG).size(), 65523u);
}

TEST_F(Term, FailedRebuildAfterKeep) {
  Inputs in = build(standard());
  ASSERT_TRUE(init(in));
  FrontendFaults faults;
  faults.failCreateHandleAt = 2;  // the built table's handle is the first
  g_frontendFaults = &faults;
  EXPECT_FALSE(zebMfsNvarTerm(true));
  EXPECT_EQ(reportLines(), (Lines{"330:" + status(9), "345:", "345:"}));
  EXPECT_TRUE(zebFcsIsInitialized());
  EXPECT_TRUE(zebMfsIsInitialized());
  EXPECT_EQ(kelvra::fe::s_currentValuesTable.firstEntry, nullptr);
  uint8_t* buffer = nullptr;
  uint32_t size = 0;
  EXPECT_TRUE(zebMfsGetBuildPlimCfgFcsBuffer(&buffer, &size));
  g_frontendFaults = nullptr;
  EXPECT_TRUE(zebMfsNvarTerm(false));
}

TEST_F(Term, GrownValuesAreZeroFilled) {
  Standard s = standard();
  s.withMfs = false;
  s.entries[1].maxSize = 4000;
  Inputs in = build(s);
  ASSERT_TRUE(init(in));
  uint8_t* buffer = nullptr;
  ASSERT_TRUE(zebMfsNvarResize(PLAIN, &buffer, 4000));
  EXPECT_EQ(Bytes(buffer, buffer + 9), text("oem-plain"));
  EXPECT_EQ(Bytes(buffer + 9, buffer + 4000), Bytes(3991, 0));
  ASSERT_TRUE(zebMfsNvarTerm(true));
  const Bytes v = get(PLAIN, FCS_FILE_PLIM_CFG);
  ASSERT_EQ(v.size(), 4000u);
  EXPECT_EQ(Bytes(v.begin() + 9, v.end()), Bytes(3991, 0));
}

TEST_F(Term, RepeatedTermsKeepBuildingFromTheCurrentValues) {
  Inputs in = build(standard());
  ASSERT_TRUE(init(in));
  for (int round = 0; round < 3; ++round) {
    const Bytes value = text(("round-" + std::to_string(round)).c_str());
    set(PLAIN, value);
    ASSERT_TRUE(zebMfsNvarTerm(true)) << round;
    EXPECT_EQ(get(PLAIN, FCS_FILE_PLIM_CFG), value);
    EXPECT_EQ(readFile(PLAIN), value);
  }
  EXPECT_TRUE(zebMfsNvarTerm(false));
}

TEST_F(Term, OemEntryWithoutValueHidesTheVendorValue) {
  Standard s = standard();
  s.withMfs = false;
  s.oem = {{0x202, 0, {}}};  // PLAIN present in the OEM table without a value
  Inputs in = build(s);
  ASSERT_TRUE(init(in));
  EXPECT_TRUE(zebmfsCheckNvarExists(PLAIN, FCS_FILE_CURRENT_VALUES));
  uint8_t* data = nullptr;
  uint32_t size = 0;
  EXPECT_FALSE(zebMfsNvarGet(PLAIN, &data, &size, FCS_FILE_CURRENT_VALUES, nullptr, nullptr));
  EXPECT_EQ(reportLines(), (Lines{"348:"}));
  ASSERT_TRUE(zebMfsNvarTerm(true));
  uint8_t* buffer = nullptr;
  ASSERT_TRUE(zebMfsGetBuildPlimCfgFcsBuffer(&buffer, &size));
  const Bytes table(buffer, buffer + size);
  EXPECT_EQ(get32(table, 0), 4u);  // the current values that have a value
  for (uint32_t i = 0; i < 4; ++i) EXPECT_NE(get32(table, 4 + 12 * i), 0x202u);
  // The new OEM table lacks the path, so the rebuilt current values take the
  // vendor's value again.
  EXPECT_FALSE(zebmfsCheckNvarExists(PLAIN, FCS_FILE_PLIM_CFG));
  EXPECT_EQ(get(PLAIN, FCS_FILE_CURRENT_VALUES), text("vendor-plain"));
}

namespace {

// Every call a host may still make after the last term, over an MFS and an
// EFS image that the host has released: each answers as for a volume that is
// not mounted (under AddressSanitizer any touch of the released images
// fails the test).
void expectNothingReachesTheImages() {
  uint32_t plain = 0;
  uint32_t efs = 0;
  ASSERT_EQ(pathToFileNumber(PLAIN, &plain), 0);
  ASSERT_EQ(pathToFileNumber(EFSVAR, &efs), 0);
  uint8_t buf[64] = {};
  uint32_t size = 0;
  uint32_t len = sizeof(buf);
  EXPECT_EQ(readVfs(PLAIN, 0, buf, sizeof(buf)), 6);
  EXPECT_EQ(readVfs(EFSVAR, 0, buf, sizeof(buf)), 6);
  EXPECT_EQ(readVfs(DEPLOY, 0, buf, 1), 6);
  EXPECT_EQ(dfs_read(plain, 0, &len, buf), 22);
  EXPECT_EQ(dfs_read(efs, 0, &len, buf), 2);
  EXPECT_EQ(dfs_getsize(plain, &size), 22);
  EXPECT_EQ(dfs_getsize(efs, &size), 5);  // EFS's 1, folded
  EXPECT_EQ(dfs_write(plain, 0, 4, buf, 1), 22);
  EXPECT_EQ(dfs_write(efs, 0, 4, buf, 0), 5);
  EXPECT_EQ(dfs_delete_file(plain), 22);
  EXPECT_EQ(dfs_mark_zombie_file(9), 22);
  EXPECT_EQ(dfs_set_page_size(64), 22);
  EXPECT_EQ(dfs_force_full_reclaim(), 22);
  EXPECT_EQ(dfs_force_dirty_erase(), 22);
  EXPECT_EQ(dfs_idle_reclaim(), 22);
  EXPECT_FALSE(dfs_idle_reclaim_needed());
  dfs_set_idle_reclaim_enabled();
  EXPECT_FALSE(dfs_get_idle_reclaim_enabled());
  EXPECT_EQ(gpBuffer, nullptr);
  EXPECT_EQ(EFS_is_initialized(), 0);
  len = sizeof(buf);
  EXPECT_EQ(EFS_read(0, 0, &len, buf), 1);
  EXPECT_EQ(EFS_write(0, 0, 4, buf), 1);
  EXPECT_EQ(EFS_get_file_size(0, &size), 1);
  EXPECT_EQ(EFS_delete(0), 1);
  EXPECT_EQ(EFS_idle_reclaim(), 1);
  EXPECT_EQ(EFS_erase(), 1);
  EXPECT_EQ(EFS_write_RTFD_marker(), 1);
  EXPECT_EQ(EFS_init(0), 1);
  EXPECT_FALSE(zebMfsIsVfsDeployed());
}

}  // namespace

TEST_F(Term, NothingReachesTheImagesAfterTheLastTerm) {
  Inputs in = build(standard());
  ASSERT_TRUE(init(in));
  // A term with keep = true leaves both volumes in service.
  set(PLAIN, text("kept"));
  ASSERT_TRUE(zebMfsNvarTerm(true));
  EXPECT_TRUE(EFS_is_initialized());
  uint8_t buf[8] = {};
  EXPECT_EQ(readVfs(PLAIN, 0, buf, 4), 0);
  EXPECT_EQ(Bytes(buf, buf + 4), text("kept"));
  EXPECT_EQ(readVfs(EFSVAR, 0, buf, 4), 0);

  ASSERT_TRUE(zebMfsNvarTerm(false));
  const Bytes mfs = in.mfs;
  const Bytes efs = in.efs;
  Bytes().swap(in.mfs);  // the host releases its images
  Bytes().swap(in.efs);
  expectNothingReachesTheImages();

  // The next init mounts and starts both again.
  in.mfs = mfs;
  in.efs = efs;
  g_reports.clear();
  ASSERT_TRUE(init(in)) << ::testing::PrintToString(reportLines());
  EXPECT_TRUE(EFS_is_initialized());
  EXPECT_TRUE(zebMfsIsVfsDeployed());
  EXPECT_EQ(get(PLAIN, FCS_FILE_CURRENT_VALUES), text("kept"));
  EXPECT_EQ(get(EFSVAR, FCS_FILE_CURRENT_VALUES), text("efs!"));

  // A term that gives up ends the session as well.
  set(NOPULL, Bytes(65, 0x20));  // above the file's maximum
  EXPECT_FALSE(zebMfsNvarTerm(true));
  Bytes().swap(in.mfs);
  Bytes().swap(in.efs);
  expectNothingReachesTheImages();
}
