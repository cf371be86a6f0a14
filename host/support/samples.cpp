// Sample inputs for the host stand-in: file table, FCS tables, OEM partition,
// and MFS and EFS images made with the library's own volume code.
#include <algorithm>
#include <cstring>

#include "kelvra_host.h"

namespace kelvra_host {
namespace {

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

constexpr size_t FTBL_MIN_SIZE = 1024;
constexpr size_t FTBL_ENTRY = 68;
constexpr size_t EFST_RECORD = 40;
constexpr size_t EFST_FILE = 60;

// The MFS image: 16 erase units of 8192 bytes.
constexpr size_t MFS_SIZE = 16 * 8192;
// Volume creation: size table, translation-layer mode, create the header,
// start the translation layer, zero the context, hand it the image, and
// format (erasing) when the start fails.
constexpr uint32_t AFS_CREATE_FLAGS = 0x1 | 0x4 | 0x10 | 0x20 | 0x40 | 0x20000 | 0x80000;
// Room for the AFS context of the creation mount, which the library zeroes.
constexpr size_t CONTEXT_ROOM = 4096;

}  // namespace

std::vector<uint8_t> build_ftbl(uint32_t sku, const std::vector<FtblEntry>& entries, const EfstGeometry* efs) {
  const size_t efstAt = 32;  // directly after the one SKU entry
  const size_t efstSize = efs != nullptr ? 16 + EFST_RECORD : 0;
  const size_t efsFilesAt = efstAt + efstSize;
  const size_t efsFilesSize = efs != nullptr ? EFST_FILE * efs->files.size() : 0;
  const size_t tableAt = efsFilesAt + efsFilesSize;
  const size_t size = std::max(FTBL_MIN_SIZE, tableAt + FTBL_ENTRY * entries.size());
  std::vector<uint8_t> b(size, 0);
  std::memcpy(b.data(), "FTBL", 4);
  put32(b, 12, 1);
  put32(b, 16, sku);
  put32(b, 20, static_cast<uint32_t>(tableAt));
  put32(b, 24, static_cast<uint32_t>(entries.size()));
  if (efs != nullptr) {
    std::memcpy(b.data() + efstAt, "EFST", 4);
    put32(b, efstAt + 12, 1);
    const size_t r = efstAt + 16;
    put32(b, r + 0, sku);
    put32(b, r + 4, static_cast<uint32_t>(efsFilesAt));
    put32(b, r + 8, static_cast<uint32_t>(efs->files.size()));
    put32(b, r + 12, static_cast<uint32_t>(efsFilesSize));
    put32(b, r + 16, efs->blockMaps);
    put32(b, r + 20, efs->validBlocks);
    put32(b, r + 24, efs->spareBlocks);
    put32(b, r + 28, efs->fileCount);
    put32(b, r + 32, efs->wearThreshold);
    put32(b, r + 36, efs->layoutId);
    for (size_t i = 0; i < efs->files.size(); ++i) {
      const size_t f = efsFilesAt + EFST_FILE * i;
      put16(b, f + 0, efs->files[i].index);
      put16(b, f + 50, efs->files[i].block);
      put16(b, f + 52, efs->files[i].offset);
      put16(b, f + 54, efs->files[i].maxSize);
    }
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t e = tableAt + FTBL_ENTRY * i;
    const FtblEntry& x = entries[i];
    std::memcpy(b.data() + e, x.name.data(), std::min<size_t>(x.name.size(), 48));
    put32(b, e + 0x30, x.fileno);
    put16(b, e + 0x34, x.attributes);
    put16(b, e + 0x3A, x.fileId);
    b[e + 0x3F] = x.fsType;
    put32(b, e + 0x40, x.maxSize);
  }
  return b;
}

std::vector<uint8_t> build_fcs(const std::vector<FcsRecord>& records) {
  size_t payload = 0;
  for (const auto& r : records) payload += r.payload.size();
  const size_t headers = 4 + 12 * records.size();
  std::vector<uint8_t> b(headers + payload, 0);
  put32(b, 0, static_cast<uint32_t>(records.size()));
  size_t at = headers;
  for (size_t i = 0; i < records.size(); ++i) {
    const size_t h = 4 + 12 * i;
    put32(b, h, records[i].fileno);
    put32(b, h + 4, static_cast<uint32_t>(at));
    put16(b, h + 8, static_cast<uint16_t>(records[i].payload.size()));
    put16(b, h + 10, records[i].flags);
    std::copy(records[i].payload.begin(), records[i].payload.end(), b.begin() + static_cast<long>(at));
    at += records[i].payload.size();
  }
  return b;
}

std::vector<uint8_t> build_plim_partition(const std::vector<uint8_t>& fcs) {
  std::vector<uint8_t> b(16 + fcs.size(), 0);
  std::memcpy(b.data(), "PLIMCFG", 7);
  put32(b, 8, static_cast<uint32_t>(fcs.size()));
  std::copy(fcs.begin(), fcs.end(), b.begin() + 16);
  return b;
}

int create_mfs_volume(const Api& api, std::vector<uint8_t>& image) {
  image.assign(MFS_SIZE, 0xFF);
  // The host does not know the context's layout; it hands over zeroed room
  // that is larger than the context and lets the library zero it again.
  std::vector<uint64_t> context(CONTEXT_ROOM / sizeof(uint64_t), 0);
  const int rc = api.afs_init(context.data(), image.data(), 64, 10, 1024, 0, static_cast<uint32_t>(image.size()),
                              AFS_CREATE_FLAGS, 0, 0);
  api.afs_free_context(context.data());
  return rc;
}

int write_files(const Api& api, std::vector<uint8_t>& image,
                const std::vector<std::pair<std::string, std::vector<uint8_t>>>& files) {
  int rc = api.dfs_init(image.data(), static_cast<uint32_t>(image.size()));
  if (rc != 0) return rc;
  for (const auto& f : files) {
    uint32_t number = 0;
    rc = api.pathToFileNumber(f.first.c_str(), &number);
    if (rc != 0) return rc;
    static const uint8_t kNone[1] = {0};
    rc = api.dfs_write(number, 0, static_cast<uint32_t>(f.second.size()),
                       f.second.empty() ? kNone : f.second.data(), 1);
    if (rc != 0) return rc;
  }
  return 0;
}

int format_efs_volume(const Api& api, std::vector<uint8_t>& image) {
  image.assign(api.EFS_get_efs_size(), 0xFF);
  // The erased image does not mount, but EFS now works over it: format it
  // and start again.
  api.EFS_init_tools(image.data());
  int rc = api.EFS_do_format();
  if (rc != 0) return rc;
  return api.EFS_init_tools(image.data());
}

std::vector<uint8_t> read_file(const Api& api, const std::string& path, int* status) {
  uint32_t number = 0;
  int rc = api.pathToFileNumber(path.c_str(), &number);
  uint32_t size = 0;
  if (rc == 0) rc = api.dfs_getsize(number, &size);
  std::vector<uint8_t> bytes(size);
  if (rc == 0 && size != 0) {
    uint32_t length = size;
    rc = api.dfs_read(number, 0, &length, bytes.data());
    if (rc == 0 && length != size) rc = -2;
  }
  if (status != nullptr) *status = rc;
  if (rc != 0) bytes.clear();
  return bytes;
}

namespace {

std::vector<uint8_t> text(const char* s) { return std::vector<uint8_t>(s, s + std::strlen(s)); }
std::vector<uint8_t> u16le(uint16_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }
std::vector<uint8_t> u32le(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}
std::vector<uint8_t> pattern(size_t n, uint8_t first) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
  return v;
}
std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

int build_demo_samples(const Api& api, SampleSet* out, std::string* what) {
  using namespace demo;
  SampleSet s;
  s.sku = SKU;
  s.entries = {
      {DEPLOY, 0x101, 0x0000, 1, 0, 16},
      {HOSTNAME, 0xA0000102, 0x0000, 2, 0, 64},  // the top bits of the number ride along
      {MTU, 0x103, 0x0000, 3, 0, 8},
      {KEY40, 0x104, 0x0001, 4, 0, 32},
      {KEY56, 0x105, 0x0041, 5, 0, 32},
      {FACTORY, 0x106, 0x0002, 6, 0, 32},
      {BOOTCOUNT, 0x107, 0x0000, 0, 2, 16},
      {UNSET, 0x108, 0x0000, 7, 0, 16},
  };
  EfstGeometry geometry;
  geometry.files = {{0, 0, 0, 64}, {1, 0, 128, 64}};
  s.ftbl = build_ftbl(SKU, s.entries, &geometry);

  s.vendor = build_fcs({
      {0xA0000102, 1, text("kelvra-default")},
      {0x103, 1, u16le(1500)},
      {0x104, 1, std::vector<uint8_t>(16, 0)},
      {0x105, 1, std::vector<uint8_t>(20, 0)},
      {0x106, 1, text("factory-A")},
      {0x107, 1, u32le(0)},
      {0x108, 0, {}},
  });
  s.oemPartition = build_plim_partition(build_fcs({{0x103, 1, u16le(9000)}}));

  // The file table must be selected for names to become file numbers.
  int rc = api.load_file_table(s.ftbl.data(), SKU, static_cast<uint32_t>(s.ftbl.size()));
  if (rc != 0) {
    *what = "load_file_table";
    return rc;
  }
  rc = create_mfs_volume(api, s.mfs);
  if (rc != 0) {
    *what = "MFS volume creation";
    return rc;
  }
  s.mfsFiles = {
      {DEPLOY, text("1")},
      {HOSTNAME, text("unit-0042.lab")},
      {MTU, u16le(1492)},
      {KEY40, concat(pattern(16, 0x40), std::vector<uint8_t>(40, 0xEE))},
      {KEY56, concat(pattern(20, 0x60), std::vector<uint8_t>(56, 0xDD))},
      {FACTORY, text("factory-from-mfs")},
  };
  rc = write_files(api, s.mfs, s.mfsFiles);
  if (rc != 0) {
    *what = "writing the MFS files";
    return rc;
  }
  rc = format_efs_volume(api, s.efs);
  if (rc != 0) {
    *what = "EFS format";
    return rc;
  }
  const std::vector<std::pair<std::string, std::vector<uint8_t>>> efsFiles = {{BOOTCOUNT, u32le(5)}};
  for (const auto& f : efsFiles) {
    uint32_t number = 0;
    rc = api.pathToFileNumber(f.first.c_str(), &number);
    if (rc == 0) rc = api.dfs_write(number, 0, static_cast<uint32_t>(f.second.size()), f.second.data(), 0);
    if (rc != 0) {
      *what = "writing the EFS file";
      return rc;
    }
  }
  *out = std::move(s);
  return 0;
}

KelvraInputTables input_tables(SampleSet& s) {
  KelvraInputTables t;
  std::memset(&t, 0, sizeof(t));
  t.varnokCfg = {s.vendor.data(), static_cast<uint32_t>(s.vendor.size())};
  t.plimCfgPartition = {s.oemPartition.empty() ? nullptr : s.oemPartition.data(),
                        static_cast<uint32_t>(s.oemPartition.size())};
  t.mfsImage = {s.mfs.empty() ? nullptr : s.mfs.data(), static_cast<uint32_t>(s.mfs.size())};
  t.fileTable = {s.ftbl.data(), static_cast<uint32_t>(s.ftbl.size())};
  t.skuId = s.sku;
  t.efsImage = {s.efs.empty() ? nullptr : s.efs.data(), static_cast<uint32_t>(s.efs.size())};
  return t;
}

}  // namespace kelvra_host
