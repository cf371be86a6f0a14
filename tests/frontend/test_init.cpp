// Initialisation: every failure row with its exact report sequence and the
// state it leaves, and the NVAR pull from a deployed MFS.
#include <cstring>

#include "efs/EFS.h"
#include "fe_fixture.h"
#include "fcs/FCS.h"
#include "frontend/dfs.h"
#include "frontend/miniVfs.h"
#include "frontend/zebmfs.h"
#include "frontend/zebmfs_internal.h"

using namespace fetest;
using kelvra::fe::FrontendFaults;
using kelvra::fe::g_frontendFaults;
using Lines = std::vector<std::string>;

namespace {

class Init : public FrontEnd {
 protected:
  bool init(Inputs& in) {
    KelvraInputTables t = in.tables();
    return zebMfsKelvraInit(&t, captureReport);
  }
  Bytes current(const char* path, bool* ok = nullptr) {
    uint8_t* data = nullptr;
    uint32_t size = 0;
    const bool got = zebMfsNvarGet(path, &data, &size, FCS_FILE_CURRENT_VALUES, nullptr, nullptr);
    if (ok != nullptr) *ok = got;
    return got ? Bytes(data, data + size) : Bytes();
  }
};

Bytes slice(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<long>(n)); }

}  // namespace

TEST_F(Init, DeployedMfsPullsValuesAndStripsSecurityBlocks) {
  Inputs in = build(standard());
  ASSERT_TRUE(init(in)) << ::testing::PrintToString(reportLines());
  EXPECT_TRUE(g_reports.empty());
  EXPECT_TRUE(zebFcsIsInitialized());
  EXPECT_TRUE(zebMfsIsInitialized());
  EXPECT_TRUE(zebMfsIsVfsDeployed());
  EXPECT_EQ(current(PLAIN), text("mfs-plain-value"));
  EXPECT_EQ(current(SECURED), slice(pattern(100, 0x10), 60));    // 100 - 40
  EXPECT_EQ(current(SECURED56), slice(pattern(100, 0x80), 44));  // 100 - 56
  EXPECT_EQ(current(NOPULL), text("np-vendor"));                 // bit 1: not taken from the MFS
  EXPECT_EQ(current(EFSVAR), text("efs!"));                      // EFS-resident
  // The loaded tables keep what they were loaded with.
  uint8_t* data = nullptr;
  uint32_t size = 0;
  ASSERT_TRUE(zebMfsNvarGet(PLAIN, &data, &size, FCS_FILE_VARNOK_CFG, nullptr, nullptr));
  EXPECT_EQ(Bytes(data, data + size), text("vendor-plain"));
  ASSERT_TRUE(zebMfsNvarGet("a/plain", &data, &size, FCS_FILE_PLIM_CFG, nullptr, nullptr));
  EXPECT_EQ(Bytes(data, data + size), text("oem-plain"));
  // The vendor record without a value is not in the current values.
  EXPECT_TRUE(zebmfsCheckNvarExists(NOVALUE, FCS_FILE_VARNOK_CFG));
  EXPECT_FALSE(zebmfsCheckNvarExists(NOVALUE, FCS_FILE_CURRENT_VALUES));
  EXPECT_TRUE(g_reports.empty());
}

TEST_F(Init, WithoutMfsNothingIsPulledAndOemOverridesVendor) {
  Standard s = standard();
  s.withMfs = false;
  Inputs in = build(s);
  ASSERT_TRUE(init(in));
  EXPECT_FALSE(zebMfsIsInitialized());
  EXPECT_FALSE(zebMfsIsVfsDeployed());
  EXPECT_EQ(current(PLAIN), text("oem-plain"));
  EXPECT_EQ(current(SECURED), Bytes(16, 0));
  EXPECT_EQ(current(NOPULL), text("np-vendor"));
}

TEST_F(Init, WithoutOemPartitionCurrentValuesAreTheVendorValues) {
  Standard s = standard();
  s.withOem = false;
  s.withMfs = false;
  Inputs in = build(s);
  ASSERT_TRUE(init(in));
  EXPECT_EQ(current(PLAIN), text("vendor-plain"));
  uint8_t* buffer = nullptr;
  uint32_t size = 0;
  EXPECT_FALSE(zebMfsGetBuildPlimCfgFcsBuffer(&buffer, &size));
  EXPECT_TRUE(g_reports.empty());
}

TEST_F(Init, MfsWithoutDeployMarkerIsNotPulled) {
  Standard s = standard();
  s.mfsFiles.erase(s.mfsFiles.begin());  // no deploy file
  Inputs in = build(s);
  ASSERT_TRUE(init(in));
  EXPECT_TRUE(zebMfsIsInitialized());
  EXPECT_FALSE(zebMfsIsVfsDeployed());
  EXPECT_EQ(current(PLAIN), text("oem-plain"));

  // An empty deploy file does not count either.
  s = standard();
  s.mfsFiles[0].second.clear();
  Inputs in2 = build(s);
  ASSERT_TRUE(init(in2));
  EXPECT_FALSE(zebMfsIsVfsDeployed());

  // Nor does a file table without the marker.
  s = standard();
  s.entries.erase(s.entries.begin());
  s.mfsFiles.erase(s.mfsFiles.begin());
  Inputs in3 = build(s);
  ASSERT_TRUE(init(in3));
  EXPECT_TRUE(zebMfsIsInitialized());
  EXPECT_FALSE(zebMfsIsVfsDeployed());
}

TEST_F(Init, NvarWithoutFileNumberIsSkippedByThePull) {
  Standard s = standard();
  s.entries.push_back({"/home/a/nonumber", 0x209, 0, 0, 1, 64});  // id 0, type 1: number 0
  s.vendor.push_back({0x209, 1, text("keep-me")});
  Inputs in = build(s);
  ASSERT_TRUE(init(in)) << ::testing::PrintToString(reportLines());
  EXPECT_EQ(current("/home/a/nonumber"), text("keep-me"));
}

TEST_F(Init, SecuredFileShorterThanItsBlockFailsThePull) {
  Standard s = standard();
  s.mfsFiles[2].second = pattern(39, 0);  // SECURED: 39 bytes < 40
  Inputs in = build(s);
  EXPECT_FALSE(init(in));
  EXPECT_EQ(reportLines(), (Lines{"341:"}));
  EXPECT_FALSE(zebMfsIsInitialized());
  EXPECT_TRUE(zebFcsIsInitialized());  // the tables stay loaded and ready

  // Exactly 40 bytes gives an empty value.
  resetFrontEnd();
  s.mfsFiles[2].second = pattern(40, 0);
  Inputs in2 = build(s);
  ASSERT_TRUE(init(in2));
  bool ok = false;
  EXPECT_EQ(current(SECURED, &ok), Bytes());
  EXPECT_TRUE(ok);
}

TEST_F(Init, PullOfAnNvarWhoseFileIsMissingFails) {
  Standard s = standard();
  s.mfsFiles.erase(s.mfsFiles.begin() + 1);  // no file for PLAIN
  Inputs in = build(s);
  EXPECT_FALSE(init(in));
  EXPECT_EQ(reportLines(), (Lines{"341:"}));
  EXPECT_FALSE(zebMfsIsInitialized());
}

TEST_F(Init, OemEntryWithoutValueMakesThePullFail) {
  Standard s = standard();
  s.oem = {{0x202, 0, {}}};  // PLAIN without a value in the OEM table
  Inputs in = build(s);
  EXPECT_FALSE(init(in));
  EXPECT_EQ(reportLines(), (Lines{"348:", "341:"}));
}

TEST_F(Init, RefusedInputsReportInOrder) {
  Inputs in = build(standard());
  struct Case {
    const char* what;
    void (*mutate)(KelvraInputTables&);
    Lines expected;
  };
  const std::string suffix = ". The table is loaded but data is empty.";
  const Case cases[] = {
      {"no vendor table", [](KelvraInputTables& t) { t.varnokCfg.size = 0; },
       {"343:Varnok.cfg table is mandatory for loading by KELVRA."}},
      {"vendor without data", [](KelvraInputTables& t) { t.varnokCfg.data = nullptr; },
       {"341:Invalid table Varnok.cfg table" + suffix}},
      {"OEM without data", [](KelvraInputTables& t) { t.plimCfgPartition.data = nullptr; },
       {"341:Invalid table plimc.cfg" + suffix}},
      {"file table without data", [](KelvraInputTables& t) { t.fileTable.data = nullptr; },
       {"341:Invalid table ftbl.bin" + suffix}},
      {"MFS without data", [](KelvraInputTables& t) { t.mfsImage.data = nullptr; },
       {"341:Invalid table MFS" + suffix}},
      {"EFS without data", [](KelvraInputTables& t) { t.efsImage.data = nullptr; },
       {"341:Invalid table EFS" + suffix}},
      {"no file table", [](KelvraInputTables& t) { t.fileTable.size = 0; },
       {"403:ftbl data must be defined for flat VFS, but not load by KELVRA."}},
  };
  for (const Case& c : cases) {
    resetFrontEnd();
    KelvraInputTables t = in.tables();
    c.mutate(t);
    EXPECT_FALSE(zebMfsKelvraInit(&t, captureReport)) << c.what;
    EXPECT_EQ(reportLines(), c.expected) << c.what;
    EXPECT_FALSE(zebFcsIsInitialized()) << c.what;
    EXPECT_FALSE(zebMfsIsInitialized()) << c.what;
    EXPECT_FALSE(zebMfsNvarTerm(false));
  }
  // A null record is refused as well.
  g_reports.clear();
  EXPECT_FALSE(zebMfsKelvraInit(nullptr, captureReport));
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0].name, 400);
}

TEST_F(Init, OemPartitionBounds) {
  Inputs in = build(standard());
  const Bytes table = fcs({{0x202, 1, text("oem-plain")}});

  Bytes shortPartition(15, 0);
  in.oem = shortPartition;
  EXPECT_FALSE(init(in));
  EXPECT_EQ(reportLines(), (Lines{"115:Invalid PLIMC partition length"}));
  EXPECT_FALSE(zebFcsIsInitialized());

  resetFrontEnd();
  in.oem = plimPartition(table);
  put32(in.oem, 8, static_cast<uint32_t>(table.size() + 1));
  EXPECT_FALSE(init(in));
  EXPECT_EQ(reportLines(), (Lines{"341:Invalid PLIMC partition size."}));

  // A length of exactly the partition size minus 16 is accepted; bytes after
  // the table are not read.
  resetFrontEnd();
  in.oem = plimPartition(table);
  in.oem.push_back(0x77);
  EXPECT_TRUE(init(in)) << ::testing::PrintToString(reportLines());

  // A table length of 0 is an empty buffer that the reader refuses.
  resetFrontEnd();
  in.oem = plimPartition(Bytes());
  EXPECT_FALSE(init(in));
  EXPECT_EQ(reportLines(), (Lines{"330:" + status(10)}));
  EXPECT_FALSE(zebFcsIsInitialized());
}

TEST_F(Init, MalformedVendorTableAndFileTable) {
  Inputs in = build(standard());
  Bytes good = in.vendor;
  in.vendor = Bytes(3, 0);  // shorter than a record count
  EXPECT_FALSE(init(in));
  EXPECT_EQ(reportLines(), (Lines{"330:" + status(10)}));

  resetFrontEnd();
  in.vendor = good;
  in.ftblBlob[0] = 'X';  // not an FTBL blob
  EXPECT_FALSE(init(in));
  EXPECT_EQ(reportLines(), (Lines{"403:" + status(1)}));
  EXPECT_FALSE(zebFcsIsInitialized());
}

TEST_F(Init, EfsFileCountBeyondSixteenBitIndexesIsRefused) {
  Inputs in = build(standard());
  const uint32_t filesNum = 32 + 16 + 28;  // EFS file count of the SKU's EFST record
  ASSERT_EQ(get32(in.ftblBlob, filesNum), 16u);
  put32(in.ftblBlob, filesNum, 0x48484848u);
  EXPECT_FALSE(init(in));
  EXPECT_EQ(reportLines(), (Lines{"403:" + status(1)}));
  EXPECT_FALSE(zebFcsIsInitialized());
}

TEST_F(Init, AllocationAndHandleFailures) {
  Standard s = standard();
  s.withOem = false;
  Inputs in = build(s);
  FrontendFaults faults;

  faults.failAllocAt = 1;  // the vendor table's buffer
  g_frontendFaults = &faults;
  EXPECT_FALSE(init(in));
  EXPECT_EQ(reportLines(), (Lines{"323:"}));
  EXPECT_FALSE(zebFcsIsInitialized());

  resetFrontEnd();
  faults = FrontendFaults();
  faults.failCreateHandleAt = 1;  // the empty OEM table's handle
  g_frontendFaults = &faults;
  EXPECT_FALSE(init(in));
  EXPECT_EQ(reportLines(), (Lines{"330:" + status(9)}));
  EXPECT_FALSE(zebFcsIsInitialized());

  resetFrontEnd();
  faults = FrontendFaults();
  faults.failCreateHandleAt = 2;  // the current values' handle
  g_frontendFaults = &faults;
  EXPECT_FALSE(init(in));
  EXPECT_EQ(reportLines(), (Lines{"330:" + status(9), "345:", "346:"}));
  EXPECT_FALSE(zebFcsIsInitialized());
  EXPECT_TRUE(zebmfsCheckNvarExists(PLAIN, FCS_FILE_VARNOK_CFG) == false);  // not ready: lookups find nothing
}

TEST_F(Init, FailedCopyWhileBuildingCurrentValuesFailsTheBuild) {
  Standard s = standard();
  s.withOem = false;
  s.withMfs = false;
  s.withEfs = false;
  Inputs in = build(s);
  // Count the allocations of a good init, then fail each one in turn: every
  // failure is reported and none is taken for success with a value missing.
  FrontendFaults count;
  count.failAllocAt = 0xFFFFFFFF;
  g_frontendFaults = &count;
  ASSERT_TRUE(init(in));
  const uint32_t total = count.allocCalls;
  ASSERT_GT(total, 5u);
  uint32_t assertions = 0;
  for (uint32_t k = 1; k <= total; ++k) {
    resetFrontEnd();
    FrontendFaults faults;
    faults.failAllocAt = k;
    g_frontendFaults = &faults;
    const bool ok = init(in);
    EXPECT_FALSE(ok) << "allocation " << k;
    ASSERT_FALSE(g_reports.empty()) << "allocation " << k;
    const Lines lines = reportLines();
    if (lines.size() >= 2 && lines[lines.size() - 2] == "345:") {
      // The add failed: either its record could not be allocated (323), or
      // a copy that failed reached it as null (its assertion report).
      ASSERT_GE(lines.size(), 3u);
      const std::string& inner = lines[lines.size() - 3];
      if (inner == "0:Invalid FCS handle or fileEntry pointer") ++assertions;
      EXPECT_TRUE(inner == "323:" || inner == "0:Invalid FCS handle or fileEntry pointer") << inner;
      EXPECT_EQ(lines.back(), "346:");
    }
    if (zebFcsIsInitialized()) {
      // Only a complete current-values table is ever marked ready.
      EXPECT_EQ(kelvra::fe::s_currentValuesTable.entryCount, 5u) << "allocation " << k;
    }
  }
  EXPECT_GT(assertions, 0u);
}

TEST_F(Init, FailedMfsMountPrintsAndReports) {
  Standard s = standard();
  Inputs in = build(s);
  std::fill(in.mfs.begin(), in.mfs.end(), 0xFF);  // no volume
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(init(in));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "dfs_init failed\n");
  EXPECT_EQ(reportLines(), (Lines{"1:" + status(5), "341:"}));
  EXPECT_TRUE(zebFcsIsInitialized());
  EXPECT_FALSE(zebMfsIsInitialized());
  EXPECT_TRUE(zebMfsNvarTerm(false));
}

TEST_F(Init, EfsStartFailures) {
  Inputs in = build(standard());
  Bytes good = in.efs;
  std::fill(in.efs.begin(), in.efs.end(), 0xFF);  // no volume
  EXPECT_FALSE(init(in));
  EXPECT_EQ(reportLines(), (Lines{"342:"}));
  EXPECT_FALSE(zebMfsIsInitialized());
  EXPECT_FALSE(EFS_is_initialized());

  // A buffer shorter than the geometry's length is refused before EFS reads it.
  resetFrontEnd();
  in.efs = good;
  in.efs.resize(good.size() - 1);
  EXPECT_FALSE(init(in));
  EXPECT_EQ(reportLines(), (Lines{"342:"}));
  EXPECT_FALSE(EFS_is_initialized());
  EXPECT_FALSE(zebMfsIsInitialized());
  EXPECT_EQ(zebMfsGetEfsSize(), 49152u);
}

TEST_F(Init, InitWithoutEfsImageStopsEfs) {
  Inputs in = build(standard());
  ASSERT_TRUE(init(in));
  ASSERT_TRUE(EFS_is_initialized());
  ASSERT_TRUE(zebMfsNvarTerm(false));
  // The last term lets go of the EFS image as well as the MFS image.
  EXPECT_FALSE(EFS_is_initialized());
  in.efs.clear();
  Standard s = standard();
  // Without the EFS image the EFS-resident NVAR cannot be pulled: leave it
  // out of the vendor table.
  s.vendor.erase(s.vendor.begin() + 4);
  in.vendor = fcs(s.vendor);
  ASSERT_TRUE(init(in)) << ::testing::PrintToString(reportLines());
  EXPECT_FALSE(EFS_is_initialized());
}

TEST_F(Init, SecondInitWithoutTermReleasesTheFirst) {
  Inputs in = build(standard());
  ASSERT_TRUE(init(in));
  uint8_t* buffer = nullptr;
  ASSERT_TRUE(zebMfsNvarResize(PLAIN, &buffer, 3));
  // Outside the contract, but nothing of the first init may dangle: the
  // tables are rebuilt from the inputs and the MFS is mounted again.
  ASSERT_TRUE(init(in)) << ::testing::PrintToString(reportLines());
  EXPECT_EQ(current(PLAIN), text("mfs-plain-value"));
  EXPECT_TRUE(zebMfsIsVfsDeployed());
  EXPECT_TRUE(zebMfsNvarTerm(false));
}

TEST_F(Init, CallbackIsStoredAtEveryInit) {
  Inputs in = build(standard());
  KelvraInputTables t = in.tables();
  t.varnokCfg.size = 0;
  EXPECT_FALSE(zebMfsKelvraInit(&t, nullptr));  // silent
  EXPECT_TRUE(g_reports.empty());
  EXPECT_FALSE(zebMfsKelvraInit(&t, captureReport));
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0].level, 4);
  EXPECT_EQ(g_reports[0].nameText, "Failed to load Varnok.cfg table.");
  // A later refused term still reaches the stored callback.
  g_reports.clear();
  EXPECT_FALSE(zebMfsNvarTerm(false));
  EXPECT_EQ(reportLines(), (Lines{"326:"}));
}

TEST_F(Init, SelectionSurvivesABlobWithoutTheSku) {
  Inputs in = build(standard());
  ASSERT_TRUE(init(in));
  ASSERT_TRUE(zebMfsNvarTerm(false));
  // The next init's blob is a different buffer (its copy replaces the
  // library's) and holds no entry for the SKU: the earlier selection stays in
  // force and must not point into the replaced copy.
  Inputs again = in;
  again.sku = 99;
  again.ftblBlob.resize(in.ftblBlob.size() + 4096, 0);
  put32(again.ftblBlob, 16, 98);  // the one SKU entry is another SKU now
  again.efs.clear();
  Standard s = standard();
  s.vendor.erase(s.vendor.begin() + 4);  // no EFS-resident NVAR without EFS
  again.vendor = fcs(s.vendor);
  ASSERT_TRUE(init(again)) << ::testing::PrintToString(reportLines());
  EXPECT_EQ(current(PLAIN), text("mfs-plain-value"));
  uint32_t number = 0;
  EXPECT_EQ(pathToFileNumber(PLAIN, &number), 0);
  EXPECT_EQ(number, 2u);
}

TEST_F(Init, FailedAddWhileBuildingCurrentValuesReportsItsCode) {
  Standard s = standard();
  s.withMfs = false;
  Inputs in = build(s);
  ASSERT_TRUE(init(in));
  g_reports.clear();
  using namespace kelvra::fe;
  // The first add of the build fails inside the handle API (file creation).
  FcsTable scratch = {nullptr, FCS_FILE_UNSET, 0, nullptr, 0, nullptr, nullptr};
  kelvra::fcs::g_fail_file_creations = 1;
  EXPECT_FALSE(zebMfsGenerateFcsCurrentsTable(scratch, s_varnokCfgTable, s_plimCfgTable));
  kelvra::fcs::g_fail_file_creations = 0;
  EXPECT_EQ(reportLines(), (Lines{"345:" + status(9)}));
  // Nothing half-built is left behind.
  EXPECT_EQ(scratch.handle, nullptr);
  EXPECT_EQ(scratch.firstEntry, nullptr);
  EXPECT_EQ(scratch.entryCount, 0u);
  g_reports.clear();
  ASSERT_TRUE(zebMfsGenerateFcsCurrentsTable(scratch, s_varnokCfgTable, s_plimCfgTable));
  EXPECT_EQ(scratch.entryCount, 5u);
  zebMfsFreeFcsTable(scratch);
}
