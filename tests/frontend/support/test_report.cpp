// Status reporting: what reaches the host's callback, and silence without one.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "frontend/report.h"

namespace {

struct Report {
  int32_t level;
  int32_t name;
  std::string nameText;
  std::string message;
};

std::vector<Report> g_reports;

void record(ErrorLevel level, ImageToolsErrorName name, const char* nameText, const char* message) {
  // The strings must be valid, NUL-terminated, for the call.
  ASSERT_NE(nameText, nullptr);
  ASSERT_NE(message, nullptr);
  g_reports.push_back({level, name, std::string(nameText, std::strlen(nameText)),
                       std::string(message, std::strlen(message))});
}

int g_otherCalls = 0;
void other(ErrorLevel, ImageToolsErrorName, const char*, const char*) { ++g_otherCalls; }

class Reporting : public ::testing::Test {
 protected:
  void SetUp() override {
    PlimErrors::init();
    g_reports.clear();
    g_otherCalls = 0;
    zebMfsSetStatusCallback(record);
  }
  void TearDown() override { zebMfsSetStatusCallback(nullptr); }
};

}  // namespace

TEST(ReportingSilent, NothingIsReportedWithoutACallback) {
  PlimErrors::init();
  g_reports.clear();
  zebMfsSetStatusCallback(nullptr);
  EXPECT_EQ(zebMfsGetStatusCallback(), nullptr);
  zebMfsLogMessage(ERROR_LEVEL_ERROR, PLIM_ERR_MFS_INIT, "message");
  setLibError(PLIM_ERR_FCS_FLUSH, 5);
  zebMfsAssert("Invalid FCS handle or fileEntry pointer");
  zebMfsAssert(nullptr);
  EXPECT_TRUE(g_reports.empty());
}

TEST_F(Reporting, LogMessageCarriesNameTextAndMessage) {
  zebMfsLogMessage(ERROR_LEVEL_ERROR, PLIM_ERR_NVAR_ACCESS, "Null NVAR path");
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0].level, 4);
  EXPECT_EQ(g_reports[0].name, 348);
  EXPECT_EQ(g_reports[0].nameText, "NVAR Access error.");
  EXPECT_EQ(g_reports[0].message, "Null NVAR path");
}

TEST_F(Reporting, EmptyMessageLeavesTheNameTextAsTheWholeReport) {
  zebMfsLogMessage(ERROR_LEVEL_ERROR, PLIM_ERR_PLIM_CFG_CREATE, "");
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0].nameText, "Failed to create new Plim.cfg table.");
  EXPECT_EQ(g_reports[0].message, "");
}

TEST_F(Reporting, LevelIsAlwaysFour) {
  zebMfsLogMessage(ERROR_LEVEL_DEBUG, PLIM_ERR_FILE_NOT_FOUND, "x");
  zebMfsLogMessage(static_cast<ErrorLevel>(-7), PLIM_ERR_FILE_NOT_FOUND, "y");
  ASSERT_EQ(g_reports.size(), 2u);
  EXPECT_EQ(g_reports[0].level, 4);
  EXPECT_EQ(g_reports[1].level, 4);
}

TEST_F(Reporting, NameZeroCarriesAnEmptyNameText) {
  zebMfsLogMessage(ERROR_LEVEL_ERROR, PLIM_ERR_NO_ERROR, "index out of range");
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0].name, 0);
  EXPECT_EQ(g_reports[0].nameText, "");
  EXPECT_EQ(g_reports[0].message, "index out of range");
}

TEST_F(Reporting, NameWithoutEntryCarriesGeneralError) {
  zebMfsLogMessage(ERROR_LEVEL_ERROR, static_cast<ImageToolsErrorName>(49), "a");
  zebMfsLogMessage(ERROR_LEVEL_ERROR, static_cast<ImageToolsErrorName>(414), "b");
  zebMfsLogMessage(ERROR_LEVEL_ERROR, static_cast<ImageToolsErrorName>(-2), "c");
  ASSERT_EQ(g_reports.size(), 3u);
  for (const Report& r : g_reports) {
    EXPECT_EQ(r.nameText, "General Error");
  }
  EXPECT_EQ(g_reports[2].name, -2);
}

TEST_F(Reporting, EmptyCatalogueCarriesGeneralErrorButNameZeroStaysEmpty) {
  PlimErrors::s_imageToolsErrorNameStringMap.clear();
  zebMfsLogMessage(ERROR_LEVEL_ERROR, PLIM_ERR_MFS_INIT, "");
  zebMfsLogMessage(ERROR_LEVEL_ERROR, PLIM_ERR_NO_ERROR, "");
  PlimErrors::init();
  ASSERT_EQ(g_reports.size(), 2u);
  EXPECT_EQ(g_reports[0].nameText, "General Error");
  EXPECT_EQ(g_reports[1].nameText, "");
}

TEST_F(Reporting, LibErrorMessageForm) {
  const struct {
    int32_t status;
    const char* message;
  } rows[] = {
      {5, " Library status code: 5"},
      {0, " Library status code: 0"},
      {-1, " Library status code: -1"},
      {38807, " Library status code: 38807"},
      {INT32_MAX, " Library status code: 2147483647"},
      {INT32_MIN, " Library status code: -2147483648"},
  };
  for (const auto& row : rows) {
    setLibError(PLIM_ERR_INITIALIZE, row.status);
  }
  ASSERT_EQ(g_reports.size(), sizeof(rows) / sizeof(rows[0]));
  for (size_t i = 0; i < g_reports.size(); ++i) {
    EXPECT_EQ(g_reports[i].level, 4);
    EXPECT_EQ(g_reports[i].name, 1);
    EXPECT_EQ(g_reports[i].nameText, "Initialize Error");
    EXPECT_EQ(g_reports[i].message, rows[i].message);
  }
}

TEST_F(Reporting, AssertReportsNameZeroWithEmptyNameText) {
  zebMfsAssert("Invalid FCS handle or fileEntry pointer");
  zebMfsAssert(nullptr);
  ASSERT_EQ(g_reports.size(), 2u);
  EXPECT_EQ(g_reports[0].level, 4);
  EXPECT_EQ(g_reports[0].name, 0);
  EXPECT_EQ(g_reports[0].nameText, "");
  EXPECT_EQ(g_reports[0].message, "Invalid FCS handle or fileEntry pointer");
  EXPECT_EQ(g_reports[1].message, "");
}

TEST_F(Reporting, ReportsArriveInOrderAtTheLatestCallback) {
  setLibError(PLIM_ERR_FCS_FLUSH, 5);
  zebMfsLogMessage(ERROR_LEVEL_ERROR, PLIM_ERR_PLIM_CFG_CREATE, "");
  ASSERT_EQ(g_reports.size(), 2u);
  EXPECT_EQ(g_reports[0].name, 335);
  EXPECT_EQ(g_reports[1].name, 347);

  zebMfsSetStatusCallback(other);
  EXPECT_EQ(zebMfsGetStatusCallback(), &other);
  zebMfsLogMessage(ERROR_LEVEL_ERROR, PLIM_ERR_FCS_NOT_INITIALIZED, "");
  EXPECT_EQ(g_otherCalls, 1);
  EXPECT_EQ(g_reports.size(), 2u);
}
