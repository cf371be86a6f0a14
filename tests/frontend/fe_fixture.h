// Shared helpers of the front-end tests: input builders written from the
// stored formats (independently of the library's writers), report capture,
// sample volumes and a reset of the front end's process-wide state.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "include/KelvraStorageLib.h"
#include "frontend/report.h"

namespace fetest {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, size_t at, uint16_t v);
void put32(Bytes& b, size_t at, uint32_t v);
uint16_t get16(const Bytes& b, size_t at);
uint32_t get32(const Bytes& b, size_t at);
Bytes text(const char* s);
Bytes pattern(size_t n, uint8_t first);

struct Entry {
  std::string name;
  uint32_t fileno = 0;
  uint16_t attributes = 0;
  uint16_t fileId = 0;
  uint8_t fsType = 0;
  uint32_t maxSize = 64;
};

struct EfsFile {
  uint16_t index = 0;
  uint16_t block = 0;
  uint16_t offset = 0;
  uint16_t maxSize = 64;
};

// FTBL blob with one SKU and, when efsFiles is given, an EFST section with the
// default geometry.
Bytes ftbl(uint32_t sku, const std::vector<Entry>& entries, const std::vector<EfsFile>* efsFiles = nullptr);

struct Record {
  uint32_t fileno = 0;
  uint16_t flags = 1;
  Bytes payload;
  uint16_t sizeField = 0xFFFF;  // 0xFFFF: the payload's length
};
Bytes fcs(const std::vector<Record>& records);
Bytes plimPartition(const Bytes& table);

// One captured report.
struct Report {
  int32_t level;
  int32_t name;
  std::string nameText;
  std::string message;
};
extern std::vector<Report> g_reports;
void captureReport(ErrorLevel level, ImageToolsErrorName name, const char* nameText, const char* message);
// The names and messages of the captured reports, as "name:message" lines.
std::vector<std::string> reportLines();
std::string status(int code);  // " Library status code: <code>"

// An empty AFS volume of `units` erase units, made by the volume creation.
Bytes createMfs(uint32_t units = 16);
// Mounts `image` through the DFS layer and writes the files. Asserts success.
void writeMfsFiles(Bytes& image, const std::vector<std::pair<std::string, Bytes>>& files);
// Formats an EFS image (the file table with its EFST section must be loaded).
Bytes formatEfs();
// Reads a whole file of the mounted volume through the DFS layer.
Bytes readFile(const std::string& path, int* rc = nullptr);

// Back to the state at load as far as the tests need it: tables released,
// flags clear, DFS context released, EFS stopped, no callback.
void resetFrontEnd();

// The set of inputs most tests start from.
struct Inputs {
  uint32_t sku = 3;
  std::vector<Entry> entries;
  Bytes ftblBlob;
  Bytes vendor;
  Bytes oem;  // partition
  Bytes mfs;
  Bytes efs;
  KelvraInputTables tables();
};

// Paths of the standard inputs.
constexpr const char* DEPLOY = "/home/mca/deploy";
constexpr const char* PLAIN = "/home/a/plain";          // pulled, written back
constexpr const char* SECURED = "/home/a/secured";      // 40-byte security block
constexpr const char* SECURED56 = "/home/a/secured56";  // 56-byte security block
constexpr const char* NOPULL = "/home/a/nopull";        // attribute bit 1
constexpr const char* EFSVAR = "/home/a/efsvar";        // EFS file 0
constexpr const char* NOVALUE = "/home/a/novalue";      // vendor record without a value

// The standard inputs: file table with EFST section, vendor and OEM tables,
// an MFS image holding the NVAR files and the deploy marker, a formatted EFS
// image holding the EFS-resident NVAR. `mutate` may change the entries and
// files before the images are built.
struct Standard {
  std::vector<Entry> entries;
  std::vector<Record> vendor;
  std::vector<Record> oem;
  bool withOem = true;
  std::vector<std::pair<std::string, Bytes>> mfsFiles;
  std::vector<std::pair<std::string, Bytes>> efsFiles;
  bool withMfs = true;
  bool withEfs = true;
};
Standard standard();
Inputs build(const Standard& s);

class FrontEnd : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

}  // namespace fetest
