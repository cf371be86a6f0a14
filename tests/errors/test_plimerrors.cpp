// Error catalogue: the whole table against a digest computed from the
// published list, the odd entries, lookups outside the range and before the
// first init, and rebuilds.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <set>
#include <string>

#include "errors/plimerrors.h"

namespace {

// Plain bitwise CRC-32 (reflected, polynomial 0xEDB88320), kept apart from
// every table-driven routine of the library.
uint32_t crc32_bitwise(const std::string& s) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : s) {
    crc ^= c;
    for (int i = 0; i < 8; ++i) {
      crc = (crc >> 1) ^ ((crc & 1u) ? 0xEDB88320u : 0u);
    }
  }
  return ~crc;
}

std::string name_text(int32_t name) {
  return PlimErrors::getErrorNameString(static_cast<ImageToolsErrorName>(name));
}

// What the catalogue looked like before anything called init: recorded by a
// global environment, which runs after static initialisation and before the
// first test.
struct FreshState {
  bool recorded = false;
  size_t nameEntries = 99;
  size_t typeEntries = 99;
  std::string text0, text1, text413;
};
FreshState g_fresh;

class FreshStateRecorder : public ::testing::Environment {
 public:
  void SetUp() override {
    g_fresh.recorded = true;
    g_fresh.nameEntries = PlimErrors::s_imageToolsErrorNameStringMap.size();
    g_fresh.typeEntries = PlimErrors::s_imageToolsErrorTypeStringMap.size();
    g_fresh.text0 = name_text(0);
    g_fresh.text1 = name_text(1);
    g_fresh.text413 = name_text(413);
  }
};
::testing::Environment* const g_recorder =
    ::testing::AddGlobalTestEnvironment(new FreshStateRecorder);

class Catalogue : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(PlimErrors::init()); }
};

std::string name_digest_input() {
  std::string all;
  for (const auto& entry : PlimErrors::s_imageToolsErrorNameStringMap) {
    all += std::to_string(static_cast<int32_t>(entry.first)) + "\t" + entry.second + "\n";
  }
  return all;
}

std::string type_digest_input() {
  std::string all;
  for (const auto& entry : PlimErrors::s_imageToolsErrorTypeStringMap) {
    all += std::to_string(static_cast<int32_t>(entry.first)) + "\t" + entry.second + "\n";
  }
  return all;
}

// Expected digests: CRC-32 over "name<TAB>text<LF>" for every entry in
// ascending order, computed separately from the published name and tag
// lists.
constexpr uint32_t kNameDigest = 0x4F817D59u;
constexpr size_t kNameDigestLength = 15806;
constexpr uint32_t kTypeDigest = 0x91D7161Au;
constexpr size_t kTypeDigestLength = 576;

}  // namespace

TEST(CatalogueBeforeInit, EveryNameReadsGeneralErrorUntilInit) {
  ASSERT_TRUE(g_fresh.recorded);
  EXPECT_EQ(g_fresh.nameEntries, 0u);
  EXPECT_EQ(g_fresh.typeEntries, 0u);
  EXPECT_EQ(g_fresh.text0, "General Error");
  EXPECT_EQ(g_fresh.text1, "General Error");
  EXPECT_EQ(g_fresh.text413, "General Error");
}

TEST(CatalogueBeforeInit, EmptiedMapReadsGeneralErrorThenInitRestores) {
  PlimErrors::s_imageToolsErrorNameStringMap.clear();
  EXPECT_EQ(name_text(0), "General Error");
  EXPECT_EQ(name_text(341), "General Error");
  EXPECT_TRUE(PlimErrors::init());
  EXPECT_EQ(name_text(0), "No Error");
  EXPECT_EQ(name_text(341), "Failed to initialize MFS.");
}

TEST_F(Catalogue, WholeNameTableMatchesDigest) {
  EXPECT_EQ(PlimErrors::s_imageToolsErrorNameStringMap.size(), 413u);
  const std::string all = name_digest_input();
  EXPECT_EQ(all.size(), kNameDigestLength);
  EXPECT_EQ(crc32_bitwise(all), kNameDigest);
}

TEST_F(Catalogue, WholeTagTableMatchesDigest) {
  EXPECT_EQ(PlimErrors::s_imageToolsErrorTypeStringMap.size(), 30u);
  const std::string all = type_digest_input();
  EXPECT_EQ(all.size(), kTypeDigestLength);
  EXPECT_EQ(crc32_bitwise(all), kTypeDigest);
}

TEST_F(Catalogue, DigestNoticesASingleChangedCharacter) {
  // The digest check is only worth something if a one-blank difference
  // changes it.
  std::string all = name_digest_input();
  const size_t at = all.find("121\tInvalid region size. \n");
  ASSERT_NE(at, std::string::npos);
  all.erase(at + std::string("121\tInvalid region size.").size(), 1);
  EXPECT_NE(crc32_bitwise(all), kNameDigest);
}

TEST_F(Catalogue, KeysCoverZeroTo413Except49) {
  int32_t expected = 0;
  for (const auto& entry : PlimErrors::s_imageToolsErrorNameStringMap) {
    if (expected == 49) {
      ++expected;
    }
    EXPECT_EQ(static_cast<int32_t>(entry.first), expected);
    ++expected;
  }
  EXPECT_EQ(expected, 414);
  EXPECT_EQ(PlimErrors::s_imageToolsErrorNameStringMap.count(static_cast<ImageToolsErrorName>(49)), 0u);
}

TEST_F(Catalogue, TextsArePrintableAscii) {
  for (const auto& entry : PlimErrors::s_imageToolsErrorNameStringMap) {
    EXPECT_FALSE(entry.second.empty()) << entry.first;
    for (unsigned char c : entry.second) {
      EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "name " << entry.first;
    }
  }
}

TEST_F(Catalogue, BoundsAndMissingNames) {
  EXPECT_EQ(name_text(0), "No Error");
  EXPECT_EQ(name_text(413), "Invalid KELVRA metadata.");
  EXPECT_EQ(name_text(49), "General Error");
  EXPECT_EQ(name_text(414), "General Error");
  EXPECT_EQ(name_text(-1), "General Error");
  EXPECT_EQ(name_text(INT32_MIN), "General Error");
  EXPECT_EQ(name_text(INT32_MAX), "General Error");
  // "General Error" is not the text of 253, which has one of its own.
  EXPECT_EQ(name_text(253), "General error.");
  EXPECT_EQ(name_text(48), "Failed to populate known good VSCC database in memory!");
  EXPECT_EQ(name_text(50), "Failed to launch GUI as requested.");
}

TEST_F(Catalogue, ReportedNamesHaveTheirTexts) {
  const struct {
    ImageToolsErrorName name;
    const char* text;
  } rows[] = {
      {PLIM_ERR_NO_ERROR, "No Error"},
      {PLIM_ERR_INITIALIZE, "Initialize Error"},
      {PLIM_ERR_FILE_NOT_FOUND, "File not found."},
      {PLIM_ERR_WRITING_FILE, "Error writing to file."},
      {PLIM_ERR_BUFFER_PARSING, "Detected error in buffer parsing operation."},
      {PLIM_ERR_INVALID_DATA_POINTER, "Invalid data pointer."},
      {PLIM_ERR_OUT_OF_MEMORY, "Out of memory."},
      {PLIM_ERR_FCS_NOT_INITIALIZED, "FCS was not initialized."},
      {PLIM_ERR_FCS_PROCESS_ENTRIES, "Failed to process FCS entries."},
      {PLIM_ERR_DUPLICATE_SPECIAL_LABEL, "Detected duplicate special file label."},
      {PLIM_ERR_FILE_ENTRY_IN_USE, "FileEntry already being used by another FCS table."},
      {PLIM_ERR_FCS_CREATE_HANDLE, "Failed to create FCS handle."},
      {PLIM_ERR_FCS_GET_FILE, "Failed to get file from FCS."},
      {PLIM_ERR_FCS_GET_ATTRIBUTES, "Failed to get file file attributes from FCS."},
      {PLIM_ERR_FCS_FLUSH, "Failed to flush FCS buffer into memory."},
      {PLIM_ERR_INVALID_FCS_FILE, "Invalid FCS file"},
      {PLIM_ERR_MFS_GET_FILE_SIZE, "Failed to get file size from MFS."},
      {PLIM_ERR_MFS_INIT, "Failed to initialize MFS."},
      {PLIM_ERR_EFS_INIT, "Failed to initialize EFS."},
      {PLIM_ERR_VARNOK_LOAD, "Failed to load Varnok.cfg table."},
      {PLIM_ERR_CURRENTS_CREATE, "Failed to create the current values table."},
      {PLIM_ERR_CURRENTS_GENERATE, "Failed to generate the current values table."},
      {PLIM_ERR_PLIM_CFG_CREATE, "Failed to create new Plim.cfg table."},
      {PLIM_ERR_NVAR_ACCESS, "NVAR Access error."},
      {PLIM_ERR_CORRUPTED_BUFFER, "Corrupted Buffer Detected."},
      {PLIM_ERR_FTBL_LOAD, "Failed to load ftbl file."},
      {PLIM_ERR_INVALID_KELVRA_METADATA, "Invalid KELVRA metadata."},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(PlimErrors::getErrorNameString(row.name), row.text) << row.name;
  }
}

TEST_F(Catalogue, TrailingBlanksArePartOfTheText) {
  const std::set<int32_t> withBlank = {7,   121, 156, 158, 159, 192, 193, 194, 299, 305, 318,
                                       319, 354, 355, 356, 357, 358, 359, 360, 361, 399};
  for (const auto& entry : PlimErrors::s_imageToolsErrorNameStringMap) {
    const bool endsInBlank = entry.second.back() == ' ';
    EXPECT_EQ(endsInBlank, withBlank.count(entry.first) == 1) << "name " << entry.first;
  }
  EXPECT_EQ(name_text(121), "Invalid region size. ");
  EXPECT_EQ(name_text(175), "Invalid region size.");
  EXPECT_EQ(name_text(7), "Decompose Error. ");
  EXPECT_EQ(name_text(194),
            "The provided value of SHA1 is invalid as it is no longer supported. Hash: ");
  EXPECT_EQ(name_text(399), "Missing UFS size definition for project. ");
}

TEST_F(Catalogue, RepeatedTexts) {
  EXPECT_EQ(name_text(124), "Buffer overflow detected.");
  EXPECT_EQ(name_text(125), "Buffer overflow detected.");
  EXPECT_EQ(name_text(373), "Buffer overflow detected.");
  EXPECT_EQ(name_text(123), "Invalid action parameters.");
  EXPECT_EQ(name_text(259), "Invalid action parameters.");
  EXPECT_EQ(name_text(156), "Make Module Failed. ");
  EXPECT_EQ(name_text(158), "Make Module Failed. ");
  EXPECT_EQ(name_text(178), "Unable to update region data target.");
  EXPECT_EQ(name_text(231), "Unable to update region data target.");
  EXPECT_EQ(name_text(308), "Detected duplicate special file label.");
  EXPECT_EQ(name_text(328), "Detected duplicate special file label.");
}

TEST_F(Catalogue, ModuleTags) {
  const auto& tags = PlimErrors::s_imageToolsErrorTypeStringMap;
  ASSERT_EQ(tags.size(), 30u);
  int32_t expected = 0;
  for (const auto& entry : tags) {
    EXPECT_EQ(static_cast<int32_t>(entry.first), expected++);
    if (entry.first == PLIM_MOD_NO_ERROR) {
      EXPECT_EQ(entry.second, "No Error");
      continue;
    }
    // "[Category] ": brackets round a non-empty name, then one blank.
    const std::string& t = entry.second;
    ASSERT_GE(t.size(), 4u) << entry.first;
    EXPECT_EQ(t.front(), '[') << entry.first;
    EXPECT_EQ(t.substr(t.size() - 2), "] ") << entry.first;
    EXPECT_EQ(t.find(']'), t.size() - 2) << entry.first;
  }
  EXPECT_EQ(tags.at(PLIM_MOD_ACTION_PROCESSOR), "[Action Processor] ");
  EXPECT_EQ(tags.at(PLIM_MOD_PLIM_FILE_IO), "[Plim File I/O] ");
  EXPECT_EQ(tags.at(PLIM_MOD_ZEB_MFS), "[ZEB MFS] ");
  EXPECT_EQ(tags.at(PLIM_MOD_KELVRA_METADATA), "[KELVRA Metadata] ");
  EXPECT_EQ(tags.count(static_cast<ImageToolsErrorType>(30)), 0u);
}

TEST_F(Catalogue, InitTwiceLeavesOneCopyOfEveryEntry) {
  const std::string before = name_digest_input();
  const std::string tagsBefore = type_digest_input();
  EXPECT_TRUE(PlimErrors::init());
  EXPECT_TRUE(PlimErrors::init());
  EXPECT_EQ(PlimErrors::s_imageToolsErrorNameStringMap.size(), 413u);
  EXPECT_EQ(PlimErrors::s_imageToolsErrorTypeStringMap.size(), 30u);
  EXPECT_EQ(name_digest_input(), before);
  EXPECT_EQ(type_digest_input(), tagsBefore);
}

TEST_F(Catalogue, InitDiscardsChangesMadeToTheMaps) {
  // The maps are exported, so the host may have changed them; a rebuild
  // restores exactly the fixed entries.
  auto& names = PlimErrors::s_imageToolsErrorNameStringMap;
  auto& tags = PlimErrors::s_imageToolsErrorTypeStringMap;
  names[static_cast<ImageToolsErrorName>(49)] = "extra";
  names[static_cast<ImageToolsErrorName>(1000)] = "extra";
  names[PLIM_ERR_MFS_INIT] = "changed";
  names.erase(PLIM_ERR_NO_ERROR);
  tags[static_cast<ImageToolsErrorType>(-3)] = "extra";
  tags.erase(PLIM_MOD_ZEB_MFS);
  EXPECT_EQ(name_text(49), "extra");
  PlimErrors::initStringMaps();
  EXPECT_EQ(crc32_bitwise(name_digest_input()), kNameDigest);
  EXPECT_EQ(crc32_bitwise(type_digest_input()), kTypeDigest);
  EXPECT_EQ(name_text(49), "General Error");
}

TEST_F(Catalogue, LookupReturnsACopy) {
  std::string text = PlimErrors::getErrorNameString(PLIM_ERR_OUT_OF_MEMORY);
  text[0] = 'X';
  EXPECT_EQ(name_text(323), "Out of memory.");
}
