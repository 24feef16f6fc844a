// The startup configuration file (read at startup, appended to, rewritten by a removal), the
// automatic load of the metafile directory, the existence check and the end of applications.
#include <gtest/gtest.h>

#include <string>

#include "core/support/qdv0.h"
#include "include/qdvp_anchor.h"
#include "include/qdvp_core.h"
#include "include/qdvp_model.h"
#include "include/qdvp_services.h"
#include "tests/support/linkclient.h"
#include "tests/support/qdvptest.h"

namespace {

using qdvp_test::EnvGuard;
using qdvp_test::ReadFile;
using qdvp_test::TempDir;

std::string Metafile(const std::string &appl) {
  return "//APPL " + appl + "\n//NAME T E\n//ATTRIBUTES\nA D 8\n";
}

class StartupConfig : public testing::Test {
 protected:
  void SetUp() override {
    env_.Set("QDVP_META_PATH", meta_.path());
    env_.Set("QDVP_INIT_CONFIG_PATH", config_.path());
    env_.Set("QDVP_PRODUCT_SPEC", std::nullopt);
    QDVP_ResetStartUpConfigState();
    anchor_ = QDVP_StartupInitialization();
    ASSERT_NE(anchor_, nullptr);
    path_ = anchor_->pInitConfigFile;
  }
  void TearDown() override {
    QDVP_ShutdownCleanUp(anchor_, 1);
    QDVP_ReleaseGlobalResources(anchor_);
    QDVP_ResetStartUpConfigState();
  }
  int Process() {
    testing::internal::CaptureStdout();
    int count = QDVP_ProcessStartUpConfig(anchor_);
    out_ = testing::internal::GetCapturedStdout();
    return count;
  }
  int ApplCount() {
    int n = 0;
    for (ApplEntry *a = anchor_->pApplList; a; a = a->pNext) n++;
    return n;
  }
  TempDir meta_, config_;
  EnvGuard env_;
  DPAB *anchor_ = nullptr;
  std::string path_, out_;
};

TEST_F(StartupConfig, EveryNameOnEveryLineIsLoaded) {
  meta_.Write("one.mdl", Metafile("One"));
  meta_.Write("two.mdl", Metafile("Two"));
  meta_.Write("three.mdl", Metafile("Three"));
  config_.Write(path_.substr(config_.path().size() + 1),
                "* comment one.mdl\n   one.mdl two.mdl  three.mdl\r\n\nmissing.mdl\n");
  EXPECT_EQ(Process(), 4);
  EXPECT_EQ(ApplCount(), 3);
  EXPECT_EQ(anchor_->StartupConfigMark, 1);
}

TEST_F(StartupConfig, OnlyCommentsGivesMinusOneAndMissingFileZero) {
  EXPECT_EQ(Process(), 0);
  config_.Write(path_.substr(config_.path().size() + 1), "* nothing here\n");
  EXPECT_EQ(Process(), -1);
}

TEST_F(StartupConfig, AppendBeforeTheFileWasReadWritesNothing) {
  EXPECT_EQ(QDVP_AppendMetafileToStartUpConfig(anchor_, "x.mdl"), 1);
  EXPECT_EQ(ReadFile(path_), "");
  config_.Write(path_.substr(config_.path().size() + 1), "* config\n");
  Process();
  EXPECT_EQ(QDVP_AppendMetafileToStartUpConfig(anchor_, "x.mdl"), 1);
  EXPECT_EQ(ReadFile(path_), "* config\nx.mdl\n");
}

TEST_F(StartupConfig, RemovalRewritesOneNamePerLineAndKeepsComments) {
  meta_.Write("app.mdl", Metafile("AppOne"));
  meta_.Write("other.mdl", Metafile("Other"));
  config_.Write(path_.substr(config_.path().size() + 1), "* keep me\napp.mdl other.mdl\n");
  Process();
  std::string full = meta_.path() + "/APP.MDL";
  EXPECT_EQ(QDVP_RemoveMetafileFromStartUpConfig(anchor_, full.c_str()), 1);
  EXPECT_EQ(ReadFile(path_), "* keep me\nother.mdl\n");
  EXPECT_EQ(QDVP_RemoveMetafileFromStartUpConfig(anchor_, "OTHER.MDL"), 1);  // not the full name
  EXPECT_EQ(ReadFile(path_), "* keep me\nother.mdl\n");
  std::string otherFull = meta_.path() + "/other.mdl";
  EXPECT_EQ(QDVP_RemoveMetafileFromStartUpConfig(anchor_, otherFull.c_str()), 1);
  EXPECT_EQ(ReadFile(path_), "* keep me\n");
  EXPECT_EQ(QDVP_RemoveMetafileFromStartUpConfig(anchor_, ""), 0);
}

TEST_F(StartupConfig, RemovingTheLastNameLeavesTheCommentLine) {
  config_.Write(path_.substr(config_.path().size() + 1), "only.mdl\n");
  Process();
  std::string full = meta_.path() + "/only.mdl";
  EXPECT_EQ(QDVP_RemoveMetafileFromStartUpConfig(anchor_, full.c_str()), 1);
  EXPECT_EQ(ReadFile(path_), "* Omnivar Configuration file\n");
}

TEST_F(StartupConfig, AutoLoadReadsTheMetafileDirectory) {
  meta_.Write("a.mdl", Metafile("AutoA"));
  meta_.Write("b.mdl", Metafile("AutoB"));
  meta_.Write("broken.mdl", "//APPL\n");
  qdvp_test::LinkClient link(anchor_, true);  // the agent link accepts every registration
  testing::internal::CaptureStdout();
  QDVP_DoApplicationAutoLoad(anchor_);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(ApplCount(), 2);
}

TEST_F(StartupConfig, ExistenceByMetafileNameShortNameAndApplicationName) {
  meta_.Write("exist.mdl", Metafile("Existing"));
  testing::internal::CaptureStdout();
  ApplEntry *appl = QDVP_ConstructApplDataModel(anchor_, "exist.mdl", 0, nullptr, nullptr, 0, 0);
  testing::internal::GetCapturedStdout();
  ASSERT_NE(appl, nullptr);
  std::string full = meta_.path() + "/exist.mdl";
  EXPECT_EQ(QDVP_CheckApplicationExistence(anchor_, full.c_str()), appl);
  EXPECT_EQ(QDVP_CheckApplicationExistence(anchor_, "existing"), appl);
  EXPECT_EQ(QDVP_CheckApplicationExistence(anchor_, "nothing"), nullptr);

  // Loading the same metafile again finds the application; a new metafile with the same
  // application name is refused.
  int opened = -1, already = -1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(QDVP_ConstructApplDataModel(anchor_, "exist.mdl", 0, &opened, &already, 0, 0), appl);
  meta_.Write("copy.mdl", Metafile("Existing"));
  EXPECT_EQ(QDVP_ConstructApplDataModel(anchor_, "copy.mdl", 1, nullptr, nullptr, 0, 1), nullptr);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(opened, 0);
  EXPECT_EQ(already, 1);
  EXPECT_EQ(
      out,
      "QDVPV35W Processing Warning: Existing application specification assumed. Metafile "
      "already defined - exist.mdl\n"
      "QDVPV25I Processing input metafile " +
          meta_.path() +
          "/copy.mdl\n"
          "QDVPV78E Specification Error: Same APPL name already defined in another metafile. "
          "Request ignored. Duplicate application. Existing\n"
          "QDVPV03E Specification Error: Valid APPL statement not found in metafile copy.mdl\n");
}

TEST_F(StartupConfig, DeleteAndGroupHelpRelease) {
  meta_.Write("del.mdl",
              "//APPL Deleted @app help\n//NAME T E @table help\n//ATTRIBUTES\nA D 8 @a\n");
  qdvp_test::LinkClient link(anchor_, true);  // the agent link accepts every registration
  testing::internal::CaptureStdout();
  ApplEntry *appl = QDVP_ConstructApplDataModel(anchor_, "del.mdl", 0, nullptr, nullptr, 0, 0);
  testing::internal::GetCapturedStdout();
  ASSERT_NE(appl, nullptr);
  // A registered application no longer needs its help texts: the registration released them.
  EXPECT_EQ(appl->pTableList->pTableHelp, nullptr);
  QDVP_ReleaseApplGroupHelp(appl);
  EXPECT_EQ(appl->pTableList->pGroupHelp, nullptr);
  EXPECT_EQ(appl->pTableList->pSourceList->pAttrList->pHelp, nullptr);
  EXPECT_EQ(appl->pApplHelp, nullptr);
  QDVP_DeleteExistingApplication(anchor_, appl);
  EXPECT_EQ(anchor_->pApplList, nullptr);
  EXPECT_EQ(anchor_->pIOEList[0], nullptr);
}

}  // namespace

namespace {

// Outside validation runs an SNMP metafile is not for a data provider of another type: it is
// passed over without a message.
TEST(SnmpBypass, SnmpMetafileIsPassedOverInOtherDataProviders) {
  TempDir meta;
  EnvGuard env;
  env.Set("QDVP_META_PATH", meta.path());
  DPAB *anchor = QDVP_StartupInitialization();
  ASSERT_NE(anchor, nullptr);
  anchor->DPtype = QDVP_TYPE_FILE;
  meta.Write("mib.mdl",
             "//SNMP TEXT\n//APPL MibApp\n//NAME T P 60\n//ATTRIBUTES\nAgent_Info D 8 1.3.6.1.1\n"
             "Agent_Name D 8 1.3.6.1.2\n");
  meta.Write("plain.mdl", Metafile("PlainApp"));
  qdvp_test::TraceCapture trace;
  testing::internal::CaptureStdout();
  EXPECT_EQ(QDVP_ConstructApplDataModel(anchor, "mib.mdl", 0, nullptr, nullptr, 0, 0), nullptr);
  EXPECT_NE(QDVP_ConstructApplDataModel(anchor, "mib.mdl", 1, nullptr, nullptr, 0, 1), nullptr);
  anchor->DPtype = QDVP_TYPE_SNMP;
  EXPECT_EQ(QDVP_ConstructApplDataModel(anchor, "plain.mdl", 0, nullptr, nullptr, 0, 0), nullptr);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "QDVPV25I Processing input metafile " + meta.path() + "/mib.mdl\n");
  EXPECT_TRUE(trace.Contains("SNMP metafile mib.mdl bypassed for non-SNMP DP"));
  EXPECT_TRUE(trace.Contains("Non-SNMP metafile plain.mdl bypassed for SNMP DP"));
  EXPECT_FALSE(trace.Contains("DP log message 5"));
  QDVP_ShutdownCleanUp(anchor, 1);
  QDVP_ReleaseGlobalResources(anchor);
}

}  // namespace
