// Randomised checks of the front end's per-table entry lookups against a walk
// along the list (first match over at most 255 characters), through adds,
// lists changed from outside, and the vendor-by-OEM merge of the current
// values.
#include <cstdlib>
#include <cstring>
#include <random>

#include "fcs/FileTable.h"
#include "fe_fixture.h"
#include "frontend/zebmfs_internal.h"

using namespace fetest;
using namespace kelvra::fe;

namespace {

constexpr uint32_t FILES = 64;  // file numbers 1..64 in the file table

FcsFileEntry* entry(const std::string& name, uint32_t fileno, uint8_t fill, bool hasValue = true) {
  auto* e = static_cast<FcsFileEntry*>(std::calloc(1, sizeof(FcsFileEntry)));
  std::strncpy(e->name, name.c_str(), sizeof(e->name) - 1);
  e->header.fileno = fileno;
  e->header.flags = hasValue ? 1 : 0;
  e->hasValue = hasValue ? 1 : 0;
  e->dataSize = 1 + fill % 7;
  e->data = static_cast<uint8_t*>(std::malloc(e->dataSize));
  std::memset(e->data, fill, e->dataSize);
  return e;
}

// Links without the table operations, as a list changed from outside would.
void append(FcsTable& t, FcsFileEntry* e) {
  e->inTable = 1;
  e->prev = t.lastEntry;
  (t.lastEntry != nullptr ? t.lastEntry->next : t.firstEntry) = e;
  t.lastEntry = e;
  t.entryCount++;
}

const FcsFileEntry* walk(const FcsTable& t, const std::string& path) {
  const std::string key = path.compare(0, 6, "/home/") == 0 ? path : "/home/" + path;
  for (const FcsFileEntry* e = t.firstEntry; e != nullptr; e = e->next)
    if (std::strncmp(e->name, key.c_str(), 255) == 0) return e;
  return nullptr;
}

// Paths under "/home/": long shared prefixes, some differing only after 200
// characters, bytes above 0x7F, a few cut at 254 characters by the entry.
std::string random_path(std::mt19937& rng) {
  static const char alphabet[] = {'a', 'q', '/', '\x80', '\xE9', '\xFF', 'Z'};
  std::string p = "/home/";
  if (rng() % 3 == 0) p += std::string(rng() % 2 ? 40 : 230, 's');
  const size_t tail = rng() % 6;
  for (size_t i = 0; i < tail; ++i) p += alphabet[rng() % sizeof alphabet];
  if (rng() % 8 == 0) p += std::string(60, 't');
  return p;
}

class TableIndex : public FrontEnd {
 protected:
  void SetUp() override {
    FrontEnd::SetUp();
    std::vector<Entry> entries;
    for (uint32_t i = 1; i <= FILES; ++i) entries.push_back({"/home/f" + std::to_string(i), i, 0, uint16_t(i), 0, 64});
    blob_ = ftbl(3, entries);
    ASSERT_EQ(load_file_table(blob_.data(), 3, static_cast<uint32_t>(blob_.size())), 0);
    zebMfsSetStatusCallback(captureReport);
    s_fcsInitialized = true;
  }
  void expectLookups(const FcsTable& t, FcsFileName kind, const std::vector<std::string>& paths) {
    for (const std::string& p : paths) {
      ASSERT_EQ(zebMfsFindFileEntryInTable(kind, p.c_str()), walk(t, p)) << p;
      if (p.size() > 6) {
        ASSERT_EQ(zebMfsFindFileEntryInTable(kind, p.c_str() + 6), walk(t, p)) << p;
      }
    }
  }
  Bytes blob_;
};

TEST_F(TableIndex, LookupsAndAddsMatchAWalkAlongTheList) {
  std::mt19937 rng(7);
  FcsTable& t = s_plimCfgTable;  // a table with a list and, later, a handle
  std::vector<std::string> asked;
  // A list built from outside, with repeated names: indexed at the first lookup.
  for (int i = 0; i < 120; ++i) {
    asked.push_back(random_path(rng));
    append(t, entry(asked.back(), 1 + rng() % FILES, uint8_t(i)));
  }
  expectLookups(t, FCS_FILE_PLIM_CFG, asked);
  // One more from outside: the index notices the longer list.
  append(t, entry("/home/late", 5, 1));
  expectLookups(t, FCS_FILE_PLIM_CFG, {"/home/late", asked[3]});

  // Adds through the table operation: a path the list already has is
  // refused with 328, any other is linked and found from then on.
  ASSERT_EQ(createHandle(&t.handle), 0);
  for (int i = 0; i < 150; ++i) {
    g_reports.clear();
    const bool again = rng() % 3 == 0;
    const std::string path = again ? asked[rng() % asked.size()] : "/home/n" + std::to_string(i) + random_path(rng);
    FcsFileEntry* e = entry(path, 1 + rng() % FILES, uint8_t(i));
    const bool known = walk(t, path) != nullptr;
    const uint32_t before = t.entryCount;
    if (zebMfsAddNewFileFcs(t, e, false)) {
      EXPECT_FALSE(known) << path;
      EXPECT_EQ(t.lastEntry, e);
      EXPECT_EQ(t.entryCount, before + 1);
      asked.push_back(path);
    } else {
      EXPECT_TRUE(known) << path;  // every new path is unique in the tree as well
      EXPECT_EQ(reportLines(), std::vector<std::string>{"328:"});
      zebMfsFreeFileEntry(e);
    }
    expectLookups(t, FCS_FILE_PLIM_CFG, {path, asked[rng() % asked.size()], random_path(rng)});
  }
  zebMfsFreeFcsTable(t);
  EXPECT_EQ(zebMfsFindFileEntryInTable(FCS_FILE_PLIM_CFG, asked[0].c_str()), nullptr);
}

TEST_F(TableIndex, CurrentValuesTakeTheFirstOemEntryOfEachVendorPath) {
  std::mt19937 rng(11);
  FcsTable vendor = {nullptr, 0, 0, nullptr, 0, nullptr, nullptr};
  FcsTable oem = {nullptr, 0, 0, nullptr, 0, nullptr, nullptr};
  std::vector<std::string> paths;
  for (int i = 0; i < 200; ++i) {
    // Unique within their first 47 characters: the tree names them by path + "/".
    paths.push_back("/home/v" + std::to_string(i) + random_path(rng).substr(5));
    append(vendor, entry(paths.back(), 1 + rng() % FILES, uint8_t(i), rng() % 5 != 0));
  }
  for (int i = 0; i < 300; ++i) {  // OEM paths repeat, with other values each time
    const std::string p = rng() % 4 == 0 ? random_path(rng) : paths[rng() % paths.size()];
    append(oem, entry(p, 1 + rng() % FILES, uint8_t(100 + i), rng() % 2 == 0));
  }
  ASSERT_TRUE(zebMfsGenerateFcsCurrentsTable(s_currentValuesTable, vendor, oem));

  const FcsFileEntry* c = s_currentValuesTable.firstEntry;
  for (const FcsFileEntry* v = vendor.firstEntry; v != nullptr; v = v->next) {
    if (!v->hasValue) continue;
    const FcsFileEntry* source = walk(oem, v->name);
    if (source == nullptr) source = v;
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->name, source->name);
    EXPECT_EQ(c->header.fileno, source->header.fileno);
    EXPECT_EQ(c->hasValue, source->hasValue);
    EXPECT_EQ(Bytes(c->data, c->data + c->dataSize), Bytes(source->data, source->data + source->dataSize));
    c = c->next;
  }
  EXPECT_EQ(c, nullptr);
  expectLookups(s_currentValuesTable, FCS_FILE_CURRENT_VALUES, paths);
  zebMfsFreeFcsTable(vendor);
  zebMfsFreeFcsTable(oem);
}

}  // namespace
