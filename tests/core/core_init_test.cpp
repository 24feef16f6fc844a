// Startup initialization: the transport letter, the time-zone offset, file names and
// directories from the environment, the product specification file, and console ports.
#include <gtest/gtest.h>
#include <time.h>

#include <string>

#include "core/support/qdv0.h"
#include "include/qdvp_core.h"
#include "tests/core/core_test_util.h"
#include "tests/support/qdvptest.h"

namespace qdvp_test {
namespace {

class InitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QDV0_ResetProductSpec();
    for (const char *name : {"QDVP_INIT_CONFIG_PATH", "QDVP_DP_TRANSPORT", "QDVP_META_PATH",
                             "QDVP_ACTION_LOG_FILENAME", "QDVP_TRAP_DESTINATION",
                             "QDVP_PRODUCT_SPEC", "QDVP_DPCONSOLE_PORT"}) {
      env_.Set(name, std::nullopt);
    }
    env_.Set("QDVP_HOME", dir_.path());
  }
  void TearDown() override {
    QDV0_UseSystemClock();
    QDV0_ResetProductSpec();
  }
  // A fresh initialization, released when the test ends or the next one is made.
  DPAB *Init() {
    QDV0_ResetProductSpec();
    anchor_.reset(QDVP_StartupInitialization());
    return anchor_.get();
  }

  struct Release {
    void operator()(DPAB *anchor) const { QDVP_ReleaseGlobalResources(anchor); }
  };
  TempDir dir_;
  EnvGuard env_;
  std::unique_ptr<DPAB, Release> anchor_;
};

TEST_F(InitTest, NamesFromTheEnvironmentOrTheirDefaults) {
  const std::string d = dir_.path();
  const struct {
    std::optional<std::string> meta, actionLog, initPath;  // unset when nullopt
    std::string wantMeta, wantActionLog, wantInitConfig;
  } cases[] = {
      {std::nullopt, std::nullopt, std::nullopt, "./metafiles", d + "/DPACTLOG",
       d + "/qdvpinit.cfg"},
      {d + "/meta//", "/var/tmp/actions.log", d + "/cfg/", d + "/meta", "/var/tmp/actions.log",
       d + "/cfg/qdvpinit.cfg"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.wantMeta);
    env_.Set("QDVP_META_PATH", c.meta);
    env_.Set("QDVP_ACTION_LOG_FILENAME", c.actionLog);
    env_.Set("QDVP_INIT_CONFIG_PATH", c.initPath);
    TraceCapture trace;
    ASSERT_NE(Init(), nullptr);
    EXPECT_EQ(std::string(anchor_->pMetaPath), c.wantMeta);
    EXPECT_EQ(std::string(anchor_->pActionLogFile), c.wantActionLog);
    EXPECT_EQ(std::string(anchor_->pInitConfigFile), c.wantInitConfig);
    EXPECT_TRUE(trace.Contains("Current metafile directory " + c.wantMeta));
    EXPECT_EQ(Main_DPAB, nullptr) << "initialization alone does not publish the anchor";
  }
}

// The first letter, upper-cased, when it is I or R, else I; R chooses the RPC operations.
TEST_F(InitTest, TransportLetterChoosesTheOperationTable) {
  const struct {
    const char *value;
    char letter;
    bool invalidTraced;
  } cases[] = {{nullptr, 'I', false}, {"", 'I', false},    {"ip", 'I', false}, {"I", 'I', false},
               {"R", 'R', false},     {"rpc", 'R', false}, {"x", 'I', true},   {"TCP", 'I', false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.value ? c.value : "unset");
    EXPECT_EQ(QDVP_ValidateTransportType(c.value), c.letter);
    env_.Set("QDVP_DP_TRANSPORT", c.value ? std::optional<std::string>(c.value) : std::nullopt);
    TraceCapture trace;
    ASSERT_NE(Init(), nullptr);
    EXPECT_EQ(anchor_->pDSFT, c.letter == 'R' ? &RPC_DSFT : &TCPIP_DSFT);
    EXPECT_EQ(trace.Contains("*** Invalid DCH transport type X, TCPIP type assumed"),
              c.invalidTraced);
  }
}

// Dates compare by year and day of the year, not month, across the turn of a (leap) year.
TEST_F(InitTest, TimeZoneOffsetFromTheClockAndTheZone) {
  const struct {
    const char *zone;
    time_t now;
    int offset;
  } cases[] = {
      {"XST-2", 1772400600, 2},  // 1 March 2026 21:30 GMT is 23:30 local two hours ahead
      {"XST-2", 1772406000, 2},  // 1 March 23:00 GMT is 01:00 on 2 March local
      {"XST-2", 1767222000, 2},  // 31 December 2025 23:00 GMT is 1 January 01:00 local
      {"YST5", 1767229200, -5},  // 1 January 2026 01:00 GMT is 31 December 20:00 local
      {"YST5", 1772416800, -5},  // 2 March 02:00 GMT is 1 March 21:00 local
      {"ZST-10", 1735686000, 10},  // 31 December 2024 (day 366) 23:00 GMT is 1 January 09:00
      {"UTC0", 1772400600, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.now);
    env_.Set("TZ", c.zone);
    tzset();
    QDV0_UseManualClock(c.now);
    ASSERT_NE(Init(), nullptr);
    EXPECT_EQ(anchor_->TZoffset, c.offset);
    EXPECT_EQ(anchor_->StartTime, c.now);
  }
  env_.Set("TZ", std::nullopt);
  tzset();
}

// Items by the file's lines, or built in without a file. Flags are set only by a value that
// begins with Y or y; an empty value makes any item absent.
TEST_F(InitTest, ProductSpecificationItems) {
  const struct {
    const char *file;  // null: no file
    int item;
    const char *value;  // null: absent
  } cases[] = {
      {nullptr, 22, "7900"}, {nullptr, 23, "0"},     {nullptr, 15, "Y"},
      {nullptr, 16, "Y"},    {nullptr, 24, "qdvpinit.cfg"}, {nullptr, 0, nullptr},
      {nullptr, -1, nullptr}, {nullptr, 34, nullptr},
      {"# site settings\nDP_PORT_OFFSET=5\n", 23, "5"},
      {"  INITCNFG_FILE_NAME = site.cfg  \n", 24, "site.cfg"},
      {"0=packaged\n", 0, "packaged"},
      {"DP_PORT_OFFSET=5\n", 22, "7900"},
      {"ENABLE_DPLOG=\n", 15, nullptr},
      {"ENABLE_DPLOG=N\n", 15, nullptr},
      {"ENABLE_DPLOG=no\n", 15, nullptr},
      {"ENABLE_METAFILE_COMMANDS=0\n", 16, nullptr},
      {"ENABLE_DPLOG=yes\n", 15, "yes"},
      {"ENABLE_SNMP_TRAP=Y\n", 10, "Y"},
      {"ENABLE_SNMP_TRAP=n\n", 10, nullptr},
      {"NODE_TYPE=N\n", 2, "N"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.file ? c.file : "no file");
    env_.Set("QDVP_PRODUCT_SPEC", c.file ? std::optional<std::string>(dir_.Write("p.cfg", c.file))
                                         : std::nullopt);
    ASSERT_NE(Init(), nullptr);
    EXPECT_STREQ(QDV0_QueryProductSpec(c.item), c.value) << "item " << c.item;
  }
}

// Malformed lines of the product file are reported and skipped; a product file that cannot be
// read, or no storage for the anchor, fails the initialization.
TEST_F(InitTest, MalformedProductLinesAreSkippedAndAnUnreadableProductFileFails) {
  TraceCapture trace;
  env_.Set("QDVP_PRODUCT_SPEC",
           dir_.Write("product.cfg", "DP_PORT_OFFSET=5\nthis line is not an item\nUNKNOWN_ITEM=1\n"));
  StreamCapture err(STDERR_FILENO);
  ASSERT_NE(Init(), nullptr);
  std::string text = err.Take();
  EXPECT_NE(text.find("line 2 ignored: this line is not an item"), std::string::npos) << text;
  EXPECT_NE(text.find("line 3 ignored: UNKNOWN_ITEM=1"), std::string::npos) << text;
  EXPECT_EQ(std::string(anchor_->pInitConfigFile), dir_.path() + "/qdvpinit.cfg");
  // Console ports: base 7700 + offset + type, or the variable's base + type.
  EXPECT_EQ(QDVP_ConsolePortOfType(QDVP_TYPE_FILE), 7706);
  env_.Set("QDVP_DPCONSOLE_PORT", "9000");
  EXPECT_EQ(QDVP_ConsolePortOfType(QDVP_TYPE_FILE), 9001);

  env_.Set("QDVP_PRODUCT_SPEC", dir_.File("absent-product.cfg"));
  StreamCapture absent(STDERR_FILENO);
  EXPECT_EQ(Init(), nullptr);
  EXPECT_NE(absent.Take().find("cannot be read"), std::string::npos);
  EXPECT_TRUE(trace.Contains("*****Product specification initialization unsuccessful"));
  env_.Set("QDVP_PRODUCT_SPEC", std::nullopt);
  QDV0_FailStorageAfter(0, 1);
  EXPECT_EQ(Init(), nullptr);
  QDV0_FailStorageAfter(0, 0);
  EXPECT_TRUE(trace.Contains("***** Unable to acquire DP_Anchor storage"));
}

}  // namespace
}  // namespace qdvp_test
