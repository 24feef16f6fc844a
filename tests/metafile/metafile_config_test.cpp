// The startup configuration file (read at startup, appended to, rewritten by a removal), the
// automatic load of the metafile directory, the existence check and the end of applications.
#include <gtest/gtest.h>

#include <string>

#include "core/support/qdv0.h"
#include "include/qdvp_anchor.h"
#include "tests/metafile/metafile_testing.h"

namespace {

using metafile_test::Stdout;
using qdvp_test::ReadFile;

std::string Metafile(const std::string &appl) {
  return "//APPL " + appl + "\n//NAME T E\n//ATTRIBUTES\nA D 8\n";
}

class StartupConfig : public metafile_test::WithAnchor {
 protected:
  // The agent link (stand-alone) accepts every registration, as the data provider's client
  // would.
  void SetUp() override {
    WithAnchor::SetUp();
    path_ = anchor_->pInitConfigFile;
    LinkStandAlone();
  }
  void WriteConfig(const std::string &text) {
    dir_.Write(path_.substr(dir_.path().size() + 1), text);
  }
  int Process() {
    int count = 0;
    out_ = Stdout([&] { count = QDVP_ProcessStartUpConfig(anchor_); });
    return count;
  }
  std::vector<std::string> Applications() {
    std::vector<std::string> names;
    for (ApplEntry *a = anchor_->pApplList; a; a = a->pNext) names.push_back(a->ApplName);
    return names;
  }
  std::string path_;
};

// A missing file gives 0, one of comments only -1, else the count of names on every line.
TEST_F(StartupConfig, EveryNameOnEveryLineIsLoaded) {
  EXPECT_EQ(Process(), 0);
  WriteConfig("* nothing here\n");
  EXPECT_EQ(Process(), -1);
  for (const char *name : {"One", "Two", "Three"})
    dir_.Write(std::string(name) + ".mdl", Metafile(name));
  WriteConfig("* comment One.mdl\n   One.mdl Two.mdl  Three.mdl\r\n\nmissing.mdl\n");
  EXPECT_EQ(Process(), 4);
  EXPECT_EQ(Applications().size(), 3u);
  EXPECT_EQ(anchor_->StartupConfigMark, 1);
}

TEST_F(StartupConfig, AppendBeforeTheFileWasReadWritesNothing) {
  EXPECT_EQ(QDVP_AppendMetafileToStartUpConfig(anchor_, "x.mdl"), 1);
  EXPECT_EQ(ReadFile(path_), "");
  WriteConfig("* config\n");
  Process();
  EXPECT_EQ(QDVP_AppendMetafileToStartUpConfig(anchor_, "x.mdl"), 1);
  EXPECT_EQ(ReadFile(path_), "* config\nx.mdl\n");
}

// A removal names a metafile by its full name (as the application records it) and drops
// whole names only, with or without the default extension.
TEST_F(StartupConfig, RemovalDropsWholeNamesAndKeepsComments) {
  const std::string config = "* keep me\napp.mdl other.mdl\napp2.mdl\napple.mdl APP\n";
  struct {
    std::string removal, left;
  } const cases[] = {
      {dir_.path() + "/APP.MDL", "* keep me\nother.mdl\napp2.mdl\napple.mdl\n"},
      {dir_.path() + "/app", "* keep me\nother.mdl\napp2.mdl\napple.mdl\n"},
      {dir_.path() + "/other.mdl", "* keep me\napp.mdl\napp2.mdl\napple.mdl\nAPP\n"},
      {"OTHER.MDL", "* keep me\napp.mdl\nother.mdl\napp2.mdl\napple.mdl\nAPP\n"},  // not full
  };
  WriteConfig(config);
  Process();
  for (const auto &c : cases) {
    SCOPED_TRACE(c.removal);
    WriteConfig(config);
    EXPECT_EQ(QDVP_RemoveMetafileFromStartUpConfig(anchor_, c.removal.c_str()), 1);
    EXPECT_EQ(ReadFile(path_), c.left);
  }
  EXPECT_EQ(QDVP_RemoveMetafileFromStartUpConfig(anchor_, ""), 0);
  WriteConfig("only.mdl\n");
  EXPECT_EQ(QDVP_RemoveMetafileFromStartUpConfig(anchor_, (dir_.path() + "/only.mdl").c_str()), 1);
  EXPECT_EQ(ReadFile(path_), "* Omnivar Configuration file\n");
}

// What the console's IMPORT and DELETE do: a name imported without its extension is removed
// again by the application's full name, and nothing else goes with it.
TEST_F(StartupConfig, ImportThenDeleteLeavesTheFileAsItWas) {
  dir_.Write("app.mdl", Metafile("AppOne"));
  dir_.Write("app2.mdl", Metafile("AppTwo"));
  WriteConfig("* config\napp2.mdl\n");
  Process();
  ApplEntry *appl = Load("app", "", 0);
  ASSERT_NE(appl, nullptr) << out_;
  EXPECT_EQ(QDVP_AppendMetafileToStartUpConfig(anchor_, "app"), 1);
  std::string fullName = appl->pMetafileFullName;
  QDVP_ReleaseApplResources(anchor_, appl, 1);
  EXPECT_EQ(QDVP_RemoveMetafileFromStartUpConfig(anchor_, fullName.c_str()), 1);
  EXPECT_EQ(ReadFile(path_), "* config\napp2.mdl\n");
}

// Only metafiles are loaded, in name order, not what validation and unpack write beside them.
TEST_F(StartupConfig, AutoLoadReadsTheMetafilesOfTheMetafileDirectory) {
  dir_.Write("b.mdl", Metafile("AutoB"));
  dir_.Write("a.MDL", Metafile("AutoA"));
  dir_.Write("c.txt", Metafile("AutoC"));
  dir_.Write("b.txt", Metafile("AutoB"));
  dir_.Write("a.rpt", "\n\nApplication Name: AutoA; Definition Metafile Name: A.MDL\n");
  dir_.Write("plain", Metafile("NoExtension"));
  dir_.Write("broken.mdl", "//APPL\n");
  std::string out = Stdout([&] { QDVP_DoApplicationAutoLoad(anchor_); });
  EXPECT_EQ(Applications(), (std::vector<std::string>{"AutoA", "AutoB"}));
  EXPECT_EQ(out.find(".rpt"), std::string::npos) << out;
}

TEST_F(StartupConfig, ExistenceByMetafileNameShortNameAndApplicationName) {
  ApplEntry *appl = Load("exist.mdl", Metafile("Existing"), 0);
  ASSERT_NE(appl, nullptr);
  EXPECT_EQ(QDVP_CheckApplicationExistence(anchor_, (dir_.path() + "/exist.mdl").c_str()), appl);
  EXPECT_EQ(QDVP_CheckApplicationExistence(anchor_, "existing"), appl);
  EXPECT_EQ(QDVP_CheckApplicationExistence(anchor_, "nothing"), nullptr);
  // Loading the same metafile again finds the application; a new metafile with the same
  // application name is refused.
  int opened = -1, already = -1;
  std::string out = Stdout([&] {
    EXPECT_EQ(QDVP_ConstructApplDataModel(anchor_, "exist.mdl", 0, &opened, &already, 0, 0), appl);
  });
  EXPECT_EQ(opened, 0);
  EXPECT_EQ(already, 1);
  EXPECT_EQ(Load("copy.mdl", Metafile("Existing")), nullptr);
  EXPECT_EQ(out.substr(0, 8) + " " + out_.substr(out_.find("QDVPV78E"), 8), "QDVPV35W QDVPV78E");
  EXPECT_NE(out.find("Metafile already defined - exist.mdl\n"), std::string::npos) << out;
  EXPECT_NE(out_.find("Duplicate application. Existing\n"), std::string::npos) << out_;
}

TEST_F(StartupConfig, DeleteAndGroupHelpRelease) {
  ApplEntry *appl = Load(
      "del.mdl", "//APPL Deleted @app help\n//NAME T E @table help\n//ATTRIBUTES\nA D 8 @a\n", 0);
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

// Outside validation runs an SNMP metafile is not for a data provider of another type (and the
// reverse): it is passed over without a message.
TEST_F(StartupConfig, SnmpMetafileIsPassedOverInOtherDataProviders) {
  anchor_->DPtype = QDVP_TYPE_FILE;
  dir_.Write("mib.mdl",
             "//SNMP TEXT\n//APPL MibApp\n//NAME T P 60\n//ATTRIBUTES\nAgent_Info D 8 1.3.6.1.1\n"
             "Agent_Name D 8 1.3.6.1.2\n");
  dir_.Write("plain.mdl", Metafile("PlainApp"));
  qdvp_test::TraceCapture trace;
  std::string out = Stdout([&] {
    EXPECT_EQ(QDVP_ConstructApplDataModel(anchor_, "mib.mdl", 0, nullptr, nullptr, 0, 0), nullptr);
    EXPECT_NE(QDVP_ConstructApplDataModel(anchor_, "mib.mdl", 1, nullptr, nullptr, 0, 1), nullptr);
    anchor_->DPtype = QDVP_TYPE_SNMP;
    EXPECT_EQ(QDVP_ConstructApplDataModel(anchor_, "plain.mdl", 0, nullptr, nullptr, 0, 0),
              nullptr);
  });
  EXPECT_EQ(out, "QDVPV25I Processing input metafile " + dir_.path() + "/mib.mdl\n");
  EXPECT_TRUE(trace.Contains("SNMP metafile mib.mdl bypassed for non-SNMP DP"));
  EXPECT_TRUE(trace.Contains("Non-SNMP metafile plain.mdl bypassed for SNMP DP"));
  EXPECT_FALSE(trace.Contains("DP log message 5"));
}

}  // namespace
