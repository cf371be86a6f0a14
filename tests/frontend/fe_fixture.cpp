#include "fe_fixture.h"

#include <algorithm>
#include <cstring>

#include "afs/Afs.h"
#include "efs/EFS.h"
#include "fcs/FileTable.h"
#include "frontend/dfs.h"
#include "frontend/miniVfs.h"
#include "frontend/report.h"
#include "frontend/zebmfs_internal.h"

namespace fetest {

std::vector<Report> g_reports;

void put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t get16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
uint32_t get32(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }
Bytes pattern(size_t n, uint8_t first) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
  return v;
}

Bytes ftbl(uint32_t sku, const std::vector<Entry>& entries, const std::vector<EfsFile>* efsFiles) {
  // Header (16), one SKU entry (16), the EFST section (16 + one 40-byte SKU
  // record), its 60-byte file records, then the 68-byte file-table entries.
  const size_t efst = 32;
  const size_t efstSize = efsFiles != nullptr ? 56 : 0;
  const size_t files = efst + efstSize;
  const size_t filesSize = efsFiles != nullptr ? 60 * efsFiles->size() : 0;
  const size_t table = files + filesSize;
  Bytes b(std::max<size_t>(1024, table + 68 * entries.size()), 0);
  std::memcpy(b.data(), "FTBL", 4);
  put32(b, 12, 1);
  put32(b, 16, sku);
  put32(b, 20, static_cast<uint32_t>(table));
  put32(b, 24, static_cast<uint32_t>(entries.size()));
  if (efsFiles != nullptr) {
    std::memcpy(b.data() + efst, "EFST", 4);
    put32(b, efst + 12, 1);
    const size_t r = efst + 16;
    put32(b, r, sku);
    put32(b, r + 4, static_cast<uint32_t>(files));
    put32(b, r + 8, static_cast<uint32_t>(efsFiles->size()));
    put32(b, r + 12, static_cast<uint32_t>(filesSize));
    put32(b, r + 16, 2);    // block maps
    put32(b, r + 20, 7);    // valid blocks
    put32(b, r + 24, 3);    // spare blocks
    put32(b, r + 28, 16);   // files
    put32(b, r + 32, 100);  // wear-levelling threshold
    put32(b, r + 36, 0);    // layout id
    for (size_t i = 0; i < efsFiles->size(); ++i) {
      const size_t f = files + 60 * i;
      put16(b, f, (*efsFiles)[i].index);
      put16(b, f + 50, (*efsFiles)[i].block);
      put16(b, f + 52, (*efsFiles)[i].offset);
      put16(b, f + 54, (*efsFiles)[i].maxSize);
    }
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t e = table + 68 * i;
    std::memcpy(b.data() + e, entries[i].name.data(), std::min<size_t>(48, entries[i].name.size()));
    put32(b, e + 0x30, entries[i].fileno);
    put16(b, e + 0x34, entries[i].attributes);
    put16(b, e + 0x3A, entries[i].fileId);
    b[e + 0x3F] = entries[i].fsType;
    put32(b, e + 0x40, entries[i].maxSize);
  }
  return b;
}

Bytes fcs(const std::vector<Record>& records) {
  size_t payload = 0;
  for (const auto& r : records) payload += r.payload.size();
  Bytes b(4 + 12 * records.size() + payload, 0);
  put32(b, 0, static_cast<uint32_t>(records.size()));
  size_t at = 4 + 12 * records.size();
  for (size_t i = 0; i < records.size(); ++i) {
    const size_t h = 4 + 12 * i;
    put32(b, h, records[i].fileno);
    put32(b, h + 4, static_cast<uint32_t>(at));
    put16(b, h + 8,
          records[i].sizeField == 0xFFFF ? static_cast<uint16_t>(records[i].payload.size()) : records[i].sizeField);
    put16(b, h + 10, records[i].flags);
    std::copy(records[i].payload.begin(), records[i].payload.end(), b.begin() + static_cast<long>(at));
    at += records[i].payload.size();
  }
  return b;
}

Bytes plimPartition(const Bytes& table) {
  Bytes b(16 + table.size(), 0xA5);
  put32(b, 8, static_cast<uint32_t>(table.size()));
  std::copy(table.begin(), table.end(), b.begin() + 16);
  return b;
}

void captureReport(ErrorLevel level, ImageToolsErrorName name, const char* nameText, const char* message) {
  g_reports.push_back({level, name, nameText, message});
}

std::vector<std::string> reportLines() {
  std::vector<std::string> out;
  for (const auto& r : g_reports) out.push_back(std::to_string(r.name) + ":" + r.message);
  return out;
}

std::string status(int code) { return " Library status code: " + std::to_string(code); }

Bytes createMfs(uint32_t units) {
  Bytes image(static_cast<size_t>(units) * 8192, 0xFF);
  afs_context_t ctx;
  std::memset(&ctx, 0, sizeof(ctx));
  // Size table, translation-layer mode, create, start, zero the context,
  // hand over the image, format with erase when the start fails.
  const uint32_t flags = 0x1 | 0x4 | 0x10 | 0x20 | 0x40 | 0x20000 | 0x80000;
  EXPECT_EQ(afs_init(&ctx, image.data(), 64, 10, 1024, 0, static_cast<uint32_t>(image.size()), flags, 0, 0), 0);
  afs_free_context(&ctx);
  return image;
}

void writeMfsFiles(Bytes& image, const std::vector<std::pair<std::string, Bytes>>& files) {
  ASSERT_EQ(dfs_init(image.data(), static_cast<uint32_t>(image.size())), 0);
  for (const auto& f : files) {
    uint32_t number = 0;
    ASSERT_EQ(pathToFileNumber(f.first.c_str(), &number), 0) << f.first;
    static const uint8_t none[1] = {0};
    ASSERT_EQ(dfs_write(number, 0, static_cast<uint32_t>(f.second.size()), f.second.empty() ? none : f.second.data(), 1),
              0)
        << f.first;
  }
}

Bytes formatEfs() {
  Bytes image(EFS_get_efs_size(), 0xFF);
  EFS_init_tools(image.data());
  EXPECT_EQ(EFS_do_format(), 0);
  EXPECT_EQ(EFS_init_tools(image.data()), 0);
  return image;
}

Bytes readFile(const std::string& path, int* rc) {
  uint32_t number = 0;
  int r = pathToFileNumber(path.c_str(), &number);
  uint32_t size = 0;
  if (r == 0) r = dfs_getsize(number, &size);
  Bytes out(size);
  if (r == 0 && size != 0) {
    uint32_t len = size;
    r = dfs_read(number, 0, &len, out.data());
    if (r == 0) out.resize(len);
  }
  if (rc != nullptr) *rc = r;
  if (r != 0) out.clear();
  return out;
}

void resetFrontEnd() {
  using namespace kelvra::fe;
  zebMfsFreeFcsTable(s_builtPlimCfgTable);
  zebMfsFreeFcsTable(s_plimCfgTable);
  zebMfsFreeFcsTable(s_varnokCfgTable);
  zebMfsFreeFcsTable(s_currentValuesTable);
  s_fcsInitialized = false;
  s_mfsInitialized = false;
  g_frontendFaults = nullptr;
  kelvra::dfs::reset_for_tests();
  kelvra::efs::stop();
  zebMfsSetStatusCallback(nullptr);
  g_reports.clear();
}

KelvraInputTables Inputs::tables() {
  KelvraInputTables t;
  std::memset(&t, 0, sizeof(t));
  t.varnokCfg = {vendor.empty() ? nullptr : vendor.data(), static_cast<uint32_t>(vendor.size())};
  t.plimCfgPartition = {oem.empty() ? nullptr : oem.data(), static_cast<uint32_t>(oem.size())};
  t.mfsImage = {mfs.empty() ? nullptr : mfs.data(), static_cast<uint32_t>(mfs.size())};
  t.fileTable = {ftblBlob.empty() ? nullptr : ftblBlob.data(), static_cast<uint32_t>(ftblBlob.size())};
  t.skuId = sku;
  t.efsImage = {efs.empty() ? nullptr : efs.data(), static_cast<uint32_t>(efs.size())};
  return t;
}

Standard standard() {
  Standard s;
  s.entries = {
      {DEPLOY, 0x201, 0x0000, 1, 0, 16},   {PLAIN, 0x202, 0x0000, 2, 0, 64},
      {SECURED, 0x203, 0x0001, 3, 0, 64},  {SECURED56, 0x204, 0x0041, 4, 0, 64},
      {NOPULL, 0x205, 0x0002, 5, 0, 64},   {EFSVAR, 0x206, 0x0000, 0, 2, 64},
      {NOVALUE, 0x208, 0x0000, 8, 0, 64},
  };
  s.vendor = {
      {0x202, 1, text("vendor-plain")}, {0x203, 1, Bytes(16, 0)},      {0x204, 1, Bytes(20, 0)},
      {0x205, 1, text("np-vendor")},    {0x206, 1, {1, 0, 0, 0}},      {0x208, 0, {}},
  };
  s.oem = {{0x202, 1, text("oem-plain")}};
  s.mfsFiles = {
      {DEPLOY, text("1")},
      {PLAIN, text("mfs-plain-value")},
      {SECURED, pattern(100, 0x10)},
      {SECURED56, pattern(100, 0x80)},
      {NOPULL, text("np-mfs")},
  };
  s.efsFiles = {{EFSVAR, text("efs!")}};
  return s;
}

Inputs build(const Standard& s) {
  Inputs in;
  const std::vector<EfsFile> efsFiles = {{0, 0, 0, 64}, {1, 0, 200, 64}};
  in.entries = s.entries;
  in.ftblBlob = ftbl(in.sku, s.entries, &efsFiles);
  in.vendor = fcs(s.vendor);
  if (s.withOem) in.oem = plimPartition(fcs(s.oem));
  EXPECT_EQ(load_file_table(in.ftblBlob.data(), in.sku, static_cast<uint32_t>(in.ftblBlob.size())), 0);
  if (s.withMfs) {
    in.mfs = createMfs();
    writeMfsFiles(in.mfs, s.mfsFiles);
  }
  if (s.withEfs) {
    in.efs = formatEfs();
    for (const auto& f : s.efsFiles) {
      uint32_t number = 0;
      EXPECT_EQ(pathToFileNumber(f.first.c_str(), &number), 0);
      EXPECT_EQ(dfs_write(number, 0, static_cast<uint32_t>(f.second.size()), f.second.data(), 0), 0);
    }
  }
  // The front end starts from its state at load.
  kelvra::dfs::reset_for_tests();
  kelvra::efs::stop();
  return in;
}

void FrontEnd::SetUp() { resetFrontEnd(); }
void FrontEnd::TearDown() { resetFrontEnd(); }

}  // namespace fetest
