// Startup initialization: the transport letter, the time-zone offset, file names and
// directories from the environment, the product specification file, and console ports.
#include <gtest/gtest.h>
#include <time.h>

#include <string>

#include "core/support/qdv0.h"
#include "include/qdvp_core.h"
#include "tests/support/qdvptest.h"

namespace qdvp_test {
namespace {

struct TransportCase {
  const char *value;
  char letter;
};

TEST(TransportType, FirstLetterUpperCasedWhenIorRElseI) {
  const TransportCase cases[] = {{nullptr, 'I'}, {"", 'I'},    {"ip", 'I'},  {"I", 'I'},
                                 {"R", 'R'},     {"rpc", 'R'}, {"x", 'I'},   {"TCP", 'I'}};
  for (const auto &c : cases) {
    EXPECT_EQ(QDVP_ValidateTransportType(c.value), c.letter) << (c.value ? c.value : "(null)");
  }
}

struct TzCase {
  const char *what;
  int gmtYear, gmtYday, gmtHour;
  int localYear, localYday, localHour;
  int offset;
};

TEST(TimeZoneOffset, ComparesDatesNotMonths) {
  const TzCase cases[] = {
      {"same date, 2 ahead", 126, 59, 21, 126, 59, 23, 2},
      {"local date later, 2 ahead", 126, 59, 23, 126, 60, 1, 2},
      {"local date earlier, 5 behind", 126, 60, 2, 126, 59, 21, -5},
      {"new year ahead", 125, 364, 23, 126, 0, 1, 2},
      {"new year behind", 126, 0, 1, 125, 364, 20, -5},
      {"leap year's last day", 124, 365, 23, 125, 0, 9, 10},
      {"no offset", 126, 100, 12, 126, 100, 12, 0},
  };
  for (const auto &c : cases) {
    struct tm gmt {}, local {};
    gmt.tm_year = c.gmtYear, gmt.tm_yday = c.gmtYday, gmt.tm_hour = c.gmtHour;
    local.tm_year = c.localYear, local.tm_yday = c.localYday, local.tm_hour = c.localHour;
    EXPECT_EQ(QDVP_ComputeTZoffset(&gmt, &local), c.offset) << c.what;
  }
}

class InitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QDV0_ResetProductSpec();
    for (const char *name : {"QDVP_INIT_CONFIG_PATH", "QDVP_DP_TRANSPORT", "QDVP_ACTION_LOG_FILENAME",
                             "QDVP_TRAP_DESTINATION", "QDVP_META_PATH", "QDVP_PRODUCT_SPEC",
                             "QDVP_DPCONSOLE_PORT"}) {
      env_.Set(name, std::nullopt);
    }
    env_.Set("QDVP_HOME", dir_.path());
  }
  void TearDown() override {
    if (anchor_) QDVP_ReleaseGlobalResources(anchor_);
    QDV0_UseSystemClock();
    QDV0_ResetProductSpec();
  }
  DPAB *Init() {
    anchor_ = QDVP_StartupInitialization();
    return anchor_;
  }

  TempDir dir_;
  EnvGuard env_;
  DPAB *anchor_ = nullptr;
};

TEST_F(InitTest, UnsetVariablesTakeTheirDefaults) {
  TraceCapture trace;
  ASSERT_NE(Init(), nullptr);
  EXPECT_STREQ(anchor_->pMetaPath, "./metafiles");
  EXPECT_EQ(std::string(anchor_->pActionLogFile), dir_.path() + "/DPACTLOG");
  EXPECT_EQ(std::string(anchor_->pInitConfigFile), dir_.path() + "/qdvpinit.cfg");
  EXPECT_NE(anchor_->pAPIudpBuffer, nullptr);
  EXPECT_NE(anchor_->pStatPE, nullptr);
  EXPECT_NE(anchor_->pStatBlock, nullptr);
  EXPECT_EQ(anchor_->pDSFT, &TCPIP_DSFT);
  EXPECT_EQ(anchor_->pProcessList, nullptr);
  EXPECT_EQ(anchor_->ActiveTasks, 0);
  EXPECT_EQ(anchor_->StandAlone, 0);
  EXPECT_EQ(Main_DPAB, nullptr) << "initialization alone does not publish the anchor";
  EXPECT_TRUE(trace.Contains("Current metafile directory ./metafiles"));
}

TEST_F(InitTest, NamesFromTheEnvironment) {
  env_.Set("QDVP_META_PATH", dir_.path() + "/meta//");
  env_.Set("QDVP_ACTION_LOG_FILENAME", "/var/tmp/actions.log");
  env_.Set("QDVP_INIT_CONFIG_PATH", dir_.path() + "/cfg/");
  ASSERT_NE(Init(), nullptr);
  EXPECT_EQ(std::string(anchor_->pMetaPath), dir_.path() + "/meta");
  EXPECT_STREQ(anchor_->pActionLogFile, "/var/tmp/actions.log");
  EXPECT_EQ(std::string(anchor_->pInitConfigFile), dir_.path() + "/cfg/qdvpinit.cfg");
}

TEST_F(InitTest, TransportChoosesTheOperationTable) {
  struct {
    const char *value;
    const DSFT *table;
    bool invalidTraced;
  } cases[] = {{"ip", &TCPIP_DSFT, false}, {"x", &TCPIP_DSFT, true}, {"R", &RPC_DSFT, false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.value);
    env_.Set("QDVP_DP_TRANSPORT", c.value);
    TraceCapture trace;
    DPAB *anchor = QDVP_StartupInitialization();
    ASSERT_NE(anchor, nullptr);
    EXPECT_EQ(anchor->pDSFT, c.table);
    EXPECT_EQ(trace.Contains("*** Invalid DCH transport type X, TCPIP type assumed"), c.invalidTraced);
    QDVP_ReleaseGlobalResources(anchor);
  }
}

TEST_F(InitTest, TimeZoneOffsetFromTheClockAndTheZone) {
  struct {
    const char *zone;
    time_t now;
    int offset;
  } cases[] = {
      // 1 March 2026 21:30 GMT is 23:30 local two hours ahead.
      {"XST-2", 1772400600, 2},
      // 1 March 2026 23:00 GMT is 01:00 on 2 March local.
      {"XST-2", 1772406000, 2},
      // 31 December 2025 23:00 GMT is 1 January 2026 01:00 local.
      {"XST-2", 1767222000, 2},
      // 1 January 2026 01:00 GMT is 31 December 2025 20:00 local five hours behind.
      {"YST5", 1767229200, -5},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.now);
    env_.Set("TZ", c.zone);
    tzset();
    QDV0_UseManualClock(c.now);
    DPAB *anchor = QDVP_StartupInitialization();
    ASSERT_NE(anchor, nullptr);
    EXPECT_EQ(anchor->TZoffset, c.offset);
    EXPECT_EQ(anchor->StartTime, c.now);
    QDVP_ReleaseGlobalResources(anchor);
  }
  env_.Set("TZ", std::nullopt);
  tzset();
}

TEST_F(InitTest, ProductSpecificationFileOverridesDefaultsAndSkipsMalformedLines) {
  std::string productFile = dir_.Write("product.cfg",
                                "# site settings\n"
                                "DP_PORT_OFFSET=5\n"
                                "this line is not an item\n"
                                "UNKNOWN_ITEM=1\n"
                                "  INITCNFG_FILE_NAME = site.cfg  \n"
                                "ENABLE_DPLOG=\n"
                                "0=packaged\n");
  env_.Set("QDVP_PRODUCT_SPEC", productFile);
  testing::internal::CaptureStderr();
  ASSERT_NE(Init(), nullptr);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("line 3 ignored: this line is not an item"), std::string::npos) << err;
  EXPECT_NE(err.find("line 4 ignored: UNKNOWN_ITEM=1"), std::string::npos) << err;
  EXPECT_STREQ(QDV0_QueryProductSpec(23), "5");
  EXPECT_STREQ(QDV0_QueryProductSpec(22), "7900");
  EXPECT_EQ(QDV0_QueryProductSpec(15), nullptr) << "an empty value makes an item absent";
  EXPECT_STREQ(QDV0_QueryProductSpec(0), "packaged");
  EXPECT_EQ(std::string(anchor_->pInitConfigFile), dir_.path() + "/site.cfg");
  // Console ports: base 7700 + offset + type, or the variable's base + type.
  EXPECT_EQ(QDVP_ConsolePortOfType(QDVP_TYPE_FILE), 7706);
  env_.Set("QDVP_DPCONSOLE_PORT", "9000");
  EXPECT_EQ(QDVP_ConsolePortOfType(QDVP_TYPE_FILE), 9001);
}

TEST_F(InitTest, BuiltInProductSpecificationWithoutAFile) {
  ASSERT_NE(Init(), nullptr);
  EXPECT_STREQ(QDV0_QueryProductSpec(22), "7900");
  EXPECT_STREQ(QDV0_QueryProductSpec(23), "0");
  EXPECT_NE(QDV0_QueryProductSpec(15), nullptr);
  EXPECT_STREQ(QDV0_QueryProductSpec(24), "qdvpinit.cfg");
  EXPECT_EQ(QDV0_QueryProductSpec(0), nullptr);
  EXPECT_EQ(QDV0_QueryProductSpec(-1), nullptr);
  EXPECT_EQ(QDV0_QueryProductSpec(34), nullptr);
  EXPECT_EQ(QDVP_ConsolePortOfType(QDVP_TYPE_HTTP), 7708);
}

TEST_F(InitTest, UnreadableProductSpecificationFailsInitialization) {
  env_.Set("QDVP_PRODUCT_SPEC", dir_.File("absent-product.cfg"));
  TraceCapture trace;
  testing::internal::CaptureStderr();
  EXPECT_EQ(Init(), nullptr);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(trace.Contains("*****Product specification initialization unsuccessful"));
}

TEST_F(InitTest, StorageFailureForTheAnchorFailsInitialization) {
  TraceCapture trace;
  QDV0_FailStorageAfter(0, 1);
  EXPECT_EQ(Init(), nullptr);
  QDV0_FailStorageAfter(0, 0);
  EXPECT_TRUE(trace.Contains("***** Unable to acquire DP_Anchor storage"));
}

}  // namespace
}  // namespace qdvp_test
