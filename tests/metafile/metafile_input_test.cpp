// Metafile input: finding metafiles by name and extension, in-memory texts, missing files,
// names that try to leave the metafile directory, oversized and binary records, the record
// buffers for the metafile server, the validation message mechanism, and the enciphered
// round trip through encipher, validate and unpack (also through bin/qdvp).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/support/qdv0.h"
#include "include/qdvp.h"
#include "include/qdvp_core.h"
#include "include/qdvp_metafile.h"
#include "include/qdvp_model.h"
#include "include/qdvp_services.h"
#include "tests/support/qdvptest.h"

namespace {

namespace fs = std::filesystem;
using qdvp_test::EnvGuard;
using qdvp_test::ReadFile;
using qdvp_test::TempDir;

const char kSmall[] = "//APPL Small\n//NAME T1 E\n//ATTRIBUTES\nA D 8\n";

// An anchor whose metafile directory is a temporary directory.
class MetafileInput : public testing::Test {
 protected:
  void SetUp() override {
    env_.Set("QDVP_META_PATH", dir_.path());
    env_.Set("QDVP_INIT_CONFIG_PATH", dir_.path());
    anchor_ = QDVP_StartupInitialization();
    ASSERT_NE(anchor_, nullptr);
  }
  void TearDown() override {
    QDVP_ShutdownCleanUp(anchor_, 1);
    QDVP_ReleaseGlobalResources(anchor_);
  }
  // Opens name, reads every record and returns them joined, or "<none>".
  std::string ReadAll(const std::string &name, int validate = 0) {
    void *handle = QDVP_OpenMetaFile(anchor_, name.c_str(), validate);
    if (handle == nullptr) return "<none>";
    std::string all;
    char buffer[256];
    while (QDVP_ReadMetaFile(anchor_, handle, buffer, sizeof(buffer)) != nullptr)
      all += buffer, all += "|";
    QDVP_CloseMetaFile(anchor_, handle);
    return all;
  }
  TempDir dir_;
  EnvGuard env_;
  DPAB *anchor_ = nullptr;
};

TEST_F(MetafileInput, DotSlashAndPlainNameOpenTheSameFile) {
  dir_.Write("app", "//APPL X\n");
  EXPECT_EQ(ReadAll("app"), "//APPL X\n|");
  EXPECT_EQ(ReadAll("./app"), "//APPL X\n|");
  EXPECT_EQ(ReadAll(".app"), "//APPL X\n|");
}

TEST_F(MetafileInput, ParentDirectoryNamesStayInTheMetafileDirectory) {
  TempDir outside;
  outside.Write("secret", "//APPL Secret\n");
  dir_.Write("secret", "//APPL Inside\n");
  std::string relative = "../" + fs::path(outside.path()).filename().string() + "/secret";
  testing::internal::CaptureStdout();
  std::string text = ReadAll(relative);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(text.find("Secret"), std::string::npos);
  EXPECT_EQ(ReadAll("../secret"), "//APPL Inside\n|");
}

TEST_F(MetafileInput, AbsolutePathIsOpenedUnchanged) {
  TempDir other;
  std::string path = other.Write("abs.mdl", "//APPL Abs\n");
  EXPECT_EQ(ReadAll(path), "//APPL Abs\n|");
}

TEST_F(MetafileInput, DefaultExtensionsAreTriedInOrder) {
  dir_.Write("lower.mdl", "lower\n");
  dir_.Write("upper.MDL", "upper\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(ReadAll("lower", 1), "lower\n|");
  EXPECT_EQ(ReadAll("upper", 1), "upper\n|");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "QDVPV24I Metafile with default extension assumed - " + dir_.File("lower.mdl") +
                     "\nQDVPV25I Processing input metafile " + dir_.File("lower.mdl") +
                     "\nQDVPV24I Metafile with default extension assumed - " +
                     dir_.File("upper.MDL") + "\nQDVPV25I Processing input metafile " +
                     dir_.File("upper.MDL") + "\n");
}

TEST_F(MetafileInput, MissingFileGivesMessageOneExceptForProductNames) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(ReadAll("nosuch"), "<none>");
  EXPECT_EQ(ReadAll("QDVmissing"), "<none>");
  EXPECT_EQ(ReadAll("qdvmissing"), "<none>");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "QDVPV01E Definition Error: File not found nosuch\n");
}

TEST_F(MetafileInput, InMemoryTextYieldsTheRecordsBetweenNameAndEndMark) {
  EXPECT_EQ(ReadAll("&MEM\n//APPL Mem\nrecord two\n&\nafter end"), "//APPL Mem|record two|");
  EXPECT_EQ(anchor_->pMemMetafile, nullptr);  // a block made for the text goes at close
  EXPECT_EQ(ReadAll("&MEM\nonly\nlines"), "only|lines|");
}

TEST_F(MetafileInput, InMemoryMetafileBuildsAnApplication) {
  std::string text = std::string("&INMEM\n") + kSmall + "&\n";
  testing::internal::CaptureStdout();
  ApplEntry *appl = QDVP_ConstructApplDataModel(anchor_, text.c_str(), 1, nullptr, nullptr, 0, 1);
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_NE(appl, nullptr) << out;
  EXPECT_STREQ(appl->ApplName, "Small");
  EXPECT_EQ(out, "");
}

TEST_F(MetafileInput, LongRecordsAreReadInPiecesWithoutOverrun) {
  EnvGuard size;
  size.Set("QDVP_META_MAX_RECORD_SIZE", "64");
  std::string longName(500, 'x');
  dir_.Write("long.mdl", "//APPL Longs\n//NAME T1 E\n//ATTRIBUTES\n" + longName + " D 8\nA D 8\n");
  testing::internal::CaptureStdout();
  ApplEntry *appl = QDVP_ConstructApplDataModel(anchor_, "long.mdl", 1, nullptr, nullptr, 0, 0);
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_NE(appl, nullptr) << out;
  // Each 63-byte piece is a record of its own.
  EXPECT_NE(out.find("0004 -> " + std::string(63, 'x') + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("0011 -> " + std::string(500 - 7 * 63, 'x') + " D 8\n"), std::string::npos)
      << out;
}

TEST_F(MetafileInput, BinaryBytesDoNotStopTheReader) {
  std::string text = "//APPL Binary\n//NAME T1 E\n//ATTRIBUTES\nA D 8\n";
  text += std::string("\x01\x02\xff\xfe junk \x7f\n", 12);
  text += std::string("B\0 D 4\n", 7);
  text += "C D 4\n";
  dir_.Write("bin.mdl", text);
  testing::internal::CaptureStdout();
  ApplEntry *appl = QDVP_ConstructApplDataModel(anchor_, "bin.mdl", 1, nullptr, nullptr, 0, 1);
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_NE(appl, nullptr) << out;
  int count = 0;
  for (AttrEntry *a = appl->pTableList->pSourceList->pAttrList; a; a = a->pNext) count++;
  EXPECT_GE(count, 2);
}

TEST_F(MetafileInput, FileThatGrowsWhileReadEndsWhereItWasWhenOpened) {
  std::string path = dir_.Write("grow.log", "line one\nline two\n");
  void *handle = QDVP_OpenMetaFile(anchor_, "grow.log", 0);
  ASSERT_NE(handle, nullptr);
  FILE *more = fopen(path.c_str(), "a");
  fputs("appended after the open\n", more);
  fclose(more);
  std::string all;
  char buffer[64];
  while (QDVP_ReadMetaFile(anchor_, handle, buffer, sizeof(buffer)) != nullptr) all += buffer;
  QDVP_CloseMetaFile(anchor_, handle);
  EXPECT_EQ(all, "line one\nline two\n");
}

TEST_F(MetafileInput, RecordBuffersSkipBareLineFeedsButKeepBlankLines) {
  dir_.Write("srv.mdl", "//APPL Srv\n\n   \n//NAME T E\n");
  MetaRecordRequest request{"srv.mdl", -1, nullptr};
  QDVP_ConstructMetaFileRecordBuffers(anchor_, &request);
  ASSERT_EQ(request.RecordCount, 3);
  EXPECT_STREQ(request.pHead->pText, "//APPL Srv\n");
  EXPECT_STREQ(request.pHead->pNext->pText, "   \n");
  EXPECT_EQ(request.pHead->pNext->Length, 4);
  QDVP_FreeMetaRecordList(request.pHead);
  MetaRecordRequest missing{"qdvnothing", -1, nullptr};
  QDVP_ConstructMetaFileRecordBuffers(anchor_, &missing);
  EXPECT_EQ(missing.RecordCount, 0);
  EXPECT_EQ(missing.pHead, nullptr);
}

TEST(ValidationMessage, InsertReplacesEverythingFromTheMark) {
  testing::internal::CaptureStdout();
  QDVP_DisplayValidationMessage(33, "//FOO");
  QDVP_DisplayValidationMessage(33, nullptr);
  QDVP_DisplayValidationMessage(0, "ignored");
  QDVP_DisplayValidationMessage(150, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "QDVPV33E Specification Error: Statement bypassed until next NAME statement - //FOO\n"
            "QDVPV33E Specification Error: Statement bypassed until next NAME statement - #\n"
            "QDVPV00I Validation completed successfully\n"
            "QDVPVxx  Internal processing error\n");
}

TEST(ValidateEntry, NoNameGivesMessage22) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(QDVP_ValidateMetaFile(nullptr), -1);
  EXPECT_EQ(QDVP_ValidateMetaFile(""), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "QDVPV22E Metafile name input parameter required\n"
            "QDVPV22E Metafile name input parameter required\n");
}

TEST(ValidateEntry, MissingMetafileEndsWithMessage88) {
  TempDir dir;
  EnvGuard env({{"QDVP_META_PATH", dir.path()}});
  testing::internal::CaptureStdout();
  EXPECT_EQ(QDVP_ValidateMetaFile("absent"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "QDVPV01E Definition Error: File not found absent\nQDVPV88E Validation unsuccessful\n");
  EXPECT_EQ(QDVP_LastValidationSucceeded(), 0);
}

TEST(Cipher, EncipheredMetafileValidatesAndUnpacksToItsText) {
  TempDir dir;
  EnvGuard env({{"QDVP_META_PATH", dir.path()}});
  std::string plain = std::string("* comment stays plain\n") + kSmall + "B C\n";
  dir.Write("plain.mdl", plain);
  ASSERT_EQ(
      QDVP_EncipherMetafileToFile(dir.File("plain.mdl").c_str(), dir.File("secret.mdl").c_str()),
      0);
  std::string enciphered = ReadFile(dir.File("secret.mdl"));
  EXPECT_EQ(enciphered.rfind("* comment stays plain\n//CORVID\n", 0), 0u) << enciphered;
  EXPECT_EQ(enciphered.find("//APPL Small"), std::string::npos);

  testing::internal::CaptureStdout();
  EXPECT_EQ(QDVP_ValidateMetaFile("secret.mdl"), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(QDVP_LastValidationSucceeded(), 1) << out;
  EXPECT_NE(out.find("0004 -> //NAME T1 E\n"), std::string::npos) << out;

  testing::internal::CaptureStdout();
  EXPECT_EQ(QDVP_UnpackMetafileToText("secret.mdl"), 0);
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(
      out.find("QDVPV94I Metafile unpack successful to output file " + dir.File("secret.txt")),
      std::string::npos)
      << out;
  EXPECT_EQ(ReadFile(dir.File("secret.txt")), std::string("//CORVID\n") + kSmall + "B C\n");
}

TEST(Cipher, UnpackOfSnmpMetafileInsertsText) {
  TempDir dir;
  EnvGuard env({{"QDVP_META_PATH", dir.path()}});
  dir.Write("s.txt", "* one\n* two\n* three\n//SNMP\n//APPL Snmp\n");
  ASSERT_EQ(QDVP_EncipherMetafileToFile(dir.File("s.txt").c_str(), dir.File("s.mdl").c_str()), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(QDVP_UnpackMetafileToText("s.mdl"), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadFile(dir.File("s.txt")), "//SNMP TEXT\n//APPL Snmp\n");
}

TEST(Cipher, UnpackOfPlainMetafileFails) {
  TempDir dir;
  EnvGuard env({{"QDVP_META_PATH", dir.path()}});
  dir.Write("p.mdl", kSmall);
  testing::internal::CaptureStdout();
  EXPECT_EQ(QDVP_UnpackMetafileToText("p.mdl"), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("QDVPV95E Metafile unpack failed.\n"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(dir.File("p.txt")));
}

TEST(HostProgram, ValidateExitStatusFollowsTheOutcome) {
  TempDir dir;
  dir.Write("good.mdl", kSmall);
  dir.Write("bad.mdl", "//APPL Bad\n");
  std::map<std::string, std::string> env{{"QDVP_META_PATH", dir.path()}};
  std::string out;
  EXPECT_EQ(qdvp_test::Run({qdvp_test::BinDir() + "/qdvp", "validate", "good.mdl"}, env, &out), 0);
  EXPECT_NE(out.find("QDVPV00I"), std::string::npos);
  EXPECT_EQ(qdvp_test::Run({qdvp_test::BinDir() + "/qdvp", "validate", "bad.mdl"}, env, &out), 1);
  EXPECT_NE(out.find("QDVPV88E"), std::string::npos);
  EXPECT_EQ(qdvp_test::Run({qdvp_test::BinDir() + "/qdvp", "encipher", dir.File("good.mdl"),
                            dir.File("enc.mdl")},
                           env, &out),
            0);
  EXPECT_EQ(qdvp_test::Run({qdvp_test::BinDir() + "/qdvp", "validate", "enc.mdl"}, env, &out), 0)
      << out;
  EXPECT_EQ(qdvp_test::Run({qdvp_test::BinDir() + "/qdvp", "unpack", "enc.mdl"}, env, &out), 0)
      << out;
  EXPECT_EQ(ReadFile(dir.File("enc.txt")), std::string("//CORVID\n") + kSmall);
}

}  // namespace

namespace {

// The report takes the metafile's name with the extension rpt; a metafile whose extension is
// already rpt gets out, one without extension gets .rpt appended.
TEST(ValidationReport, NameFollowsTheMetafileName) {
  TempDir dir;
  EnvGuard env;
  env.Set("QDVP_META_PATH", dir.path());
  dir.Write("app.rpt", kSmall);
  dir.Write("plain", kSmall);
  dir.Write("sub.dir/x.mdl", kSmall);
  testing::internal::CaptureStdout();
  QDVP_ValidateMetaFile("app.rpt");
  QDVP_ValidateMetaFile("plain");
  QDVP_ValidateMetaFile((dir.path() + "/sub.dir/x.mdl").c_str());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(fs::exists(dir.File("app.out"))) << out;
  EXPECT_TRUE(fs::exists(dir.File("plain.rpt"))) << out;
  EXPECT_TRUE(fs::exists(dir.File("sub.dir/x.rpt"))) << out;
  EXPECT_NE(out.find("QDVPV90I Application metafile validation report saved in file " +
                     dir.File("plain.rpt") + "\n"),
            std::string::npos);
}

}  // namespace
