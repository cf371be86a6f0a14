// Power cut during the write-back of a term, at every flash mutation: the
// frozen MFS and EFS images mount again, every NVAR file holds its old or its
// new value whole, secured files and the deploy marker are untouched, and the
// library initialises and terminates over the images once more.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/flash_fault.h"
#include "efs/EFS.h"
#include "fe_fixture.h"
#include "frontend/dfs.h"
#include "frontend/zebmfs.h"

using namespace fetest;

namespace {

class PowerLoss : public FrontEnd {};

void setValue(const char* path, const Bytes& value) {
  uint8_t* buffer = nullptr;
  ASSERT_TRUE(zebMfsNvarResize(path, &buffer, static_cast<uint32_t>(value.size())));
  if (!value.empty()) std::memcpy(buffer, value.data(), value.size());
}

constexpr int ROUNDS = 6;

Bytes plainValue(int round) { return text(round % 2 ? "short" : "a-much-longer-value-than-the-file"); }
Bytes nopullValue(int round) { return pattern(20 + 7 * round, static_cast<uint8_t>(0x21 + round)); }
Bytes efsValue(int round) { return pattern(4 + 9 * round, static_cast<uint8_t>(0x61 + round)); }

// Init over the inputs, then several terms with keep = true, each writing
// changed values back (one file grows and shrinks, one grows, one lives in
// EFS), and a last term with keep = false.
void workload(Inputs& in, kelvra::FlashFaultPlan* plan) {
  KelvraInputTables t = in.tables();
  ASSERT_TRUE(zebMfsKelvraInit(&t, nullptr));
  kelvra::fault::ScopedPlan scoped(*plan);
  for (int r = 0; r < ROUNDS; ++r) {
    setValue(PLAIN, plainValue(r));
    setValue(NOPULL, nopullValue(r));
    setValue(EFSVAR, efsValue(r));
    if (!zebMfsNvarTerm(true)) return;
  }
  zebMfsNvarTerm(false);
}

template <typename F>
bool oneOf(const Bytes& v, const Bytes& original, F value) {
  if (v == original) return true;
  for (int r = 0; r < ROUNDS; ++r) {
    if (v == value(r)) return true;
  }
  return false;
}

}  // namespace

TEST_F(PowerLoss, TermWriteBackAtEveryCutPoint) {
  const Inputs pristine = build(standard());

  // Count the mutations of an uninterrupted term.
  Inputs counted = pristine;
  kelvra::FlashFaultPlan count;
  workload(counted, &count);
  ASSERT_FALSE(zebFcsIsInitialized());
  const uint64_t mutations = count.mutations;
  ASSERT_GT(mutations, 3u);
  std::printf("term write-back: %llu cut points\n", static_cast<unsigned long long>(mutations));

  // A smaller sweep when asked for (slow emulators).
  uint64_t step = 1;
  if (const char* quick = std::getenv("KELVRA_QUICK_SWEEP")) step = std::max<uint64_t>(1, std::strtoull(quick, nullptr, 10));

  for (uint64_t k = 1; k <= mutations; k += step) {
    resetFrontEnd();
    Inputs in = pristine;
    kelvra::FlashFaultPlan plan;
    plan.cut_at = k;
    workload(in, &plan);
    ASSERT_TRUE(plan.powered_off) << "cut " << k;

    // Remount the frozen MFS image and look at the files.
    resetFrontEnd();
    ASSERT_EQ(dfs_init(in.mfs.data(), static_cast<uint32_t>(in.mfs.size())), 0) << "cut " << k;
    int rc = 0;
    const Bytes plain = readFile(PLAIN, &rc);
    ASSERT_EQ(rc, 0) << "cut " << k;
    EXPECT_TRUE(oneOf(plain, text("mfs-plain-value"), plainValue)) << "cut " << k;
    const Bytes nopull = readFile(NOPULL, &rc);
    ASSERT_EQ(rc, 0) << "cut " << k;
    EXPECT_TRUE(oneOf(nopull, text("np-mfs"), nopullValue)) << "cut " << k;
    EXPECT_EQ(readFile(SECURED), pattern(100, 0x10)) << "cut " << k;
    EXPECT_EQ(readFile(DEPLOY), text("1")) << "cut " << k;

    // The frozen EFS image.
    ASSERT_EQ(EFS_init_tools(in.efs.data()), 0) << "cut " << k;
    const Bytes efs = readFile(EFSVAR, &rc);
    ASSERT_EQ(rc, 0) << "cut " << k;
    EXPECT_TRUE(oneOf(efs, text("efs!"), efsValue)) << "cut " << k;

    // The library works over the images again and its writes stick.
    resetFrontEnd();
    KelvraInputTables t = in.tables();
    ASSERT_TRUE(zebMfsKelvraInit(&t, nullptr)) << "cut " << k;
    setValue(PLAIN, text("after"));
    ASSERT_TRUE(zebMfsNvarTerm(false)) << "cut " << k;
    resetFrontEnd();
    ASSERT_EQ(dfs_init(in.mfs.data(), static_cast<uint32_t>(in.mfs.size())), 0);
    EXPECT_EQ(readFile(PLAIN), text("after")) << "cut " << k;
  }
}

TEST_F(PowerLoss, CorruptedReadsAtInitNeverGiveWrongValues) {
  // The first N reads of the images come back with one byte flipped. The
  // layers below retry and check; the init either succeeds with the exact
  // values or fails with its reports, never with a wrong value, and the
  // images are left as they were: a clean init afterwards sees every value.
  const Inputs pristine = build(standard());
  auto expectValues = [](uint32_t n) {
    uint8_t* data = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(zebMfsNvarGet(PLAIN, &data, &size, FCS_FILE_CURRENT_VALUES, nullptr, nullptr)) << n;
    EXPECT_EQ(Bytes(data, data + size), text("mfs-plain-value")) << n;
    const Bytes secured = pattern(100, 0x10);
    ASSERT_TRUE(zebMfsNvarGet(SECURED, &data, &size, FCS_FILE_CURRENT_VALUES, nullptr, nullptr)) << n;
    EXPECT_EQ(Bytes(data, data + size), Bytes(secured.begin(), secured.begin() + 60)) << n;
    ASSERT_TRUE(zebMfsNvarGet(EFSVAR, &data, &size, FCS_FILE_CURRENT_VALUES, nullptr, nullptr)) << n;
    EXPECT_EQ(Bytes(data, data + size), text("efs!")) << n;
  };
  int succeeded = 0;
  for (uint32_t n = 1; n <= 24; ++n) {
    resetFrontEnd();
    Inputs in = pristine;
    kelvra::FlashFaultPlan plan;
    plan.corrupt_reads = n;
    plan.rng = 0x9E3779B9u ^ n;
    bool ok = false;
    {
      kelvra::fault::ScopedPlan scoped(plan);
      KelvraInputTables t = in.tables();
      ok = zebMfsKelvraInit(&t, captureReport);
    }
    if (ok) {
      ++succeeded;
      expectValues(n);
    } else {
      ASSERT_FALSE(g_reports.empty()) << n;
    }
    zebMfsNvarTerm(false);
    resetFrontEnd();
    KelvraInputTables t = in.tables();
    ASSERT_TRUE(zebMfsKelvraInit(&t, captureReport)) << n << " " << ::testing::PrintToString(reportLines());
    expectValues(n);
    EXPECT_TRUE(zebMfsNvarTerm(false));
  }
  std::printf("corrupted reads: %d of 24 inits succeeded with exact values\n", succeeded);
}
