// Metafile input: finding metafiles by name and extension, in-memory texts, missing files,
// names that try to leave the metafile directory, oversized records (binary ones are in the
// golden corpus), a file that grows while read, the record buffers for the metafile server, a
// file that is no metafile (refused without its lines echoed), the validation messages and
// entry, the validation report, and the enciphered round trip through encipher, validate and
// unpack (also through bin/qdvp). And the golden corpus: every metafile under
// tests/metafile/corpus is validated in process, and its standard output (and validation
// report, when one is written) must equal the files under tests/metafile/golden byte for byte.
// The temporary metafile directory is written as "$META" in the golden files. Set
// QDVP_UPDATE_GOLDEN=1 to rewrite them after a deliberate change, then review the difference.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp.h"
#include "include/qdvp_metafile.h"
#include "include/qdvp_model.h"
#include "tests/metafile/metafile_testing.h"

namespace {

namespace fs = std::filesystem;
using metafile_test::Stdout;
using qdvp_test::EnvGuard;
using qdvp_test::ReadFile;
using qdvp_test::SourceDir;
using qdvp_test::TempDir;

const char kSmall[] = "//APPL Small\n//NAME T1 E\n//ATTRIBUTES\nA D 8\n";

class MetafileInput : public metafile_test::WithAnchor {
 protected:
  // Opens name, calls opened, reads every record and returns them joined, or "<none>".
  std::string ReadAll(const std::string &name, int validate = 0,
                      const std::function<void()> &opened = {}) {
    void *handle = QDVP_OpenMetaFile(anchor_, name.c_str(), validate);
    if (handle == nullptr) return "<none>";
    if (opened) opened();
    std::string all;
    char buffer[256];
    while (QDVP_ReadMetaFile(anchor_, handle, buffer, sizeof(buffer)) != nullptr)
      all += buffer, all += "|";
    QDVP_CloseMetaFile(anchor_, handle);
    return all;
  }
};

// $D in an expected output stands for the metafile directory. In-memory texts build
// applications too; a file that grows while read ends where it was when opened.
TEST_F(MetafileInput, NamesFindTheirFileAndTheTextAsItWasWhenOpened) {
  TempDir outside;
  std::string absolute = outside.Write("abs.mdl", "abs\n");
  outside.Write("secret", "outside\n");
  dir_.Write("app", "app\n");
  dir_.Write("secret", "inside\n");
  dir_.Write("lower.mdl", "lower\n");
  dir_.Write("upper.MDL", "upper\n");
  std::string climb = "../" + fs::path(outside.path()).filename().string() + "/secret";
  struct {
    std::string name;
    int validate;
    std::string records, out;
  } const cases[] = {
      {"app", 0, "app\n|", ""},
      {"./app", 0, "app\n|", ""},
      {".app", 0, "app\n|", ""},
      {"../secret", 0, "inside\n|", ""},
      {climb, 0, "<none>", "QDVPV01E Definition Error: File not found " + climb + "\n"},
      {absolute, 0, "abs\n|", ""},
      {"lower", 1, "lower\n|",
       "QDVPV24I Metafile with default extension assumed - $D/lower.mdl\n"
       "QDVPV25I Processing input metafile $D/lower.mdl\n"},
      {"upper", 1, "upper\n|",
       "QDVPV24I Metafile with default extension assumed - $D/upper.MDL\n"
       "QDVPV25I Processing input metafile $D/upper.MDL\n"},
      {"nosuch", 0, "<none>", "QDVPV01E Definition Error: File not found nosuch\n"},
      {"QDVmissing", 0, "<none>", ""},
      {"qdvmissing", 0, "<none>", ""},
      {"&MEM\n//APPL Mem\nrecord two\n&\nafter end", 0, "//APPL Mem|record two|", ""},
      {"&MEM\nonly\nlines", 0, "only|lines|", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::string records;
    std::string out = Stdout([&] { records = ReadAll(c.name, c.validate); });
    EXPECT_EQ(records, c.records);
    std::string expected = c.out;
    for (size_t at; (at = expected.find("$D")) != std::string::npos;)
      expected.replace(at, 2, dir_.path());
    EXPECT_EQ(out, expected);
  }
  EXPECT_EQ(anchor_->pMemMetafile, nullptr);  // a block made for a text goes at close
  // An in-memory text builds an application.
  ApplEntry *appl = Load(std::string("&INMEM\n") + kSmall + "&\n", "");
  ASSERT_NE(appl, nullptr) << out_;
  EXPECT_STREQ(appl->ApplName, "Small");
  EXPECT_EQ(out_, "");
  // A file that grows while read ends where it was when opened.
  std::string path = dir_.Write("grow.log", "line one\nline two\n");
  EXPECT_EQ(ReadAll("grow.log", 0,
                    [&] { std::ofstream(path, std::ios::app) << "appended after the open\n"; }),
            "line one\n|line two\n|");
}

TEST_F(MetafileInput, LongRecordsAreReadInPiecesWithoutOverrun) {
  env_.Set("QDVP_META_MAX_RECORD_SIZE", "64");
  ApplEntry *appl =
      Load("long.mdl",
           "//APPL Longs\n//NAME T1 E\n//ATTRIBUTES\n" + std::string(500, 'x') + " D 8\nA D 8\n", 1,
           true);
  ASSERT_NE(appl, nullptr) << out_;
  // Each 63-byte piece is a record of its own.
  EXPECT_NE(out_.find("0004 -> " + std::string(63, 'x') + "\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("0011 -> " + std::string(500 - 7 * 63, 'x') + " D 8\n"), std::string::npos);
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

// A file that does not begin as a metafile is refused before any of its records reaches a
// message: loading /etc/shadow (or any file an operator names by mistake) must not print its
// lines. A metafile that opens with comments and blank lines still has them echoed.
TEST_F(MetafileInput, AFileThatDoesNotBeginAsAMetafileIsRefusedWithoutEchoingIt) {
  struct {
    const char *text;
    bool metafile;
  } const cases[] = {
      {"root:$y$j9T$secretsecret:19000:0:99999:7:::\n//APPL Shop\n", false},
      {"* a comment\n\n//NAME T E\n//APPL Shop\n", false},
      {"   \n#secret=hunter2\n//APPL Shop\n", false},
      {"* header comment\n\n  //appl Shop\n//NAME T E\n//ATTRIBUTES\nA D 8\n", true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    ApplEntry *appl = Load("f.mdl", c.text, 1, true);
    if (c.metafile) {
      EXPECT_NE(out_.find("0001 -> "), std::string::npos) << out_;
      EXPECT_EQ(out_.find("QDVPV03E"), std::string::npos) << out_;
    } else {
      EXPECT_EQ(appl, nullptr);
      EXPECT_NE(out_.find("QDVPV03E"), std::string::npos) << out_;
      for (const char *secret : {"secret", "comment", "NAME"}) {
        EXPECT_EQ(out_.find(secret), std::string::npos) << out_;
      }
    }
    if (appl) QDVP_ReleaseApplResources(anchor_, appl, 1);
  }
}

TEST(ValidationMessage, InsertReplacesEverythingFromTheMarkAndWithoutANameOrAFileValidationFails) {
  EXPECT_EQ(Stdout([] {
              QDVP_DisplayValidationMessage(33, "//FOO");
              QDVP_DisplayValidationMessage(33, nullptr);
              QDVP_DisplayValidationMessage(0, "ignored");
              QDVP_DisplayValidationMessage(150, nullptr);
            }),
            "QDVPV33E Specification Error: Statement bypassed until next NAME statement - //FOO\n"
            "QDVPV33E Specification Error: Statement bypassed until next NAME statement - #\n"
            "QDVPV00I Validation completed successfully\n"
            "QDVPVxx  Internal processing error\n");
  TempDir dir;
  EnvGuard env({{"QDVP_META_PATH", dir.path()}});
  struct {
    const char *name;
    int result;
    const char *out;
  } const cases[] = {
      {nullptr, -1, "QDVPV22E Metafile name input parameter required\n"},
      {"", -1, "QDVPV22E Metafile name input parameter required\n"},
      {"absent", 0,
       "QDVPV01E Definition Error: File not found absent\nQDVPV88E Validation unsuccessful\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name ? c.name : "(null)");
    int result = 1;
    EXPECT_EQ(Stdout([&] { result = QDVP_ValidateMetaFile(c.name); }), c.out);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(QDVP_LastValidationSucceeded(), 0);
  }
}

// The report takes the metafile's name with the extension rpt (out for a metafile whose
// extension is rpt, .rpt appended without extension), beside the metafile, whether the
// metafile directory is given as an absolute or a relative name.
TEST(ValidationReport, IsWrittenBesideTheMetafile) {
  TempDir dir;
  dir.Write("metafiles/app.rpt", kSmall);
  dir.Write("metafiles/plain", kSmall);
  dir.Write("metafiles/x.mdl", kSmall);
  dir.Write("metafiles/sub.dir/x.mdl", kSmall);
  std::string meta = dir.File("metafiles");
  struct {
    std::string metaPath, name, report;
  } const cases[] = {
      {meta, "app.rpt", "app.out"},
      {meta, "plain", "plain.rpt"},
      {meta, meta + "/sub.dir/x.mdl", "sub.dir/x.rpt"},
      {"./metafiles", "x", "x.rpt"},
      {"metafiles", "x.mdl", "x.rpt"},
      {"./metafiles/", "./x", "x.rpt"},
  };
  struct InDirectory {  // relative metafile directories are taken from the working directory
    fs::path previous = fs::current_path();
    explicit InDirectory(const std::string &d) { fs::current_path(d); }
    ~InDirectory() { fs::current_path(previous); }
  } in(dir.path());
  for (const auto &c : cases) {
    SCOPED_TRACE(c.metaPath + " " + c.name);
    EnvGuard env({{"QDVP_META_PATH", c.metaPath}});
    std::string out = Stdout([&] { QDVP_ValidateMetaFile(c.name.c_str()); });
    EXPECT_TRUE(fs::remove("metafiles/" + c.report)) << out;
    EXPECT_NE(out.find("QDVPV90I"), std::string::npos) << out;
  }
  // A report that cannot be written is said so, and no saved message follows.
  fs::create_directory("metafiles/x.rpt");
  EnvGuard env({{"QDVP_META_PATH", std::string("metafiles")}});
  std::string out = Stdout([] { QDVP_ValidateMetaFile("x.mdl"); });
  EXPECT_NE(out.find("*****Unable to open report file metafiles/x.rpt"), std::string::npos) << out;
  EXPECT_EQ(out.find("QDVPV90I"), std::string::npos) << out;
}

TEST(Cipher, UnpackOfSnmpMetafileInsertsTextAndOfAPlainOneFails) {
  TempDir dir;
  EnvGuard env({{"QDVP_META_PATH", dir.path()}});
  dir.Write("s.txt", "* one\n* two\n* three\n//SNMP\n//APPL Snmp\n");
  ASSERT_EQ(QDVP_EncipherMetafileToFile(dir.File("s.txt").c_str(), dir.File("s.mdl").c_str()), 0);
  Stdout([] { EXPECT_EQ(QDVP_UnpackMetafileToText("s.mdl"), 0); });
  EXPECT_EQ(ReadFile(dir.File("s.txt")), "//SNMP TEXT\n//APPL Snmp\n");
  dir.Write("p.mdl", kSmall);
  std::string out = Stdout([] { EXPECT_EQ(QDVP_UnpackMetafileToText("p.mdl"), -1); });
  EXPECT_NE(out.find("QDVPV95E Metafile unpack failed.\n"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(dir.File("p.txt")));
}

// Through bin/qdvp: the exit status follows the outcome; encipher keeps the leading comment
// plain and hides the rest, the enciphered metafile validates with its records shown as text
// and unpacks to its text.
TEST(HostProgram, EncipherValidateAndUnpackWithTheirExitStatus) {
  TempDir dir;
  const std::string text = std::string(kSmall) + "B C\n";
  dir.Write("good.mdl", "* comment stays plain\n" + text);
  dir.Write("bad.mdl", "//APPL Bad\n");
  struct {
    std::vector<std::string> arguments;
    int status;
    std::string shows;
  } const cases[] = {
      {{"validate", "good.mdl"}, 0, "QDVPV00I"},
      {{"validate", "bad.mdl"}, 1, "QDVPV88E"},
      {{"encipher", dir.File("good.mdl"), dir.File("enc.mdl")}, 0, ""},
      {{"validate", "enc.mdl"}, 0, "0004 -> //NAME T1 E\n"},
      {{"validate", "enc.mdl"}, 0, "QDVPV00I"},
      {{"unpack", "enc.mdl"},
       0,
       "QDVPV94I Metafile unpack successful to output file " + dir.File("enc.txt")},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.arguments[0] + " " + c.arguments[1]);
    std::vector<std::string> argv{qdvp_test::BinDir() + "/qdvp"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    std::string out;
    EXPECT_EQ(qdvp_test::Run(argv, {{"QDVP_META_PATH", dir.path()}}, &out), c.status) << out;
    EXPECT_NE(out.find(c.shows), std::string::npos) << out;
  }
  std::string enciphered = ReadFile(dir.File("enc.mdl"));
  EXPECT_EQ(enciphered.rfind("* comment stays plain\n//CORVID\n", 0), 0u) << enciphered;
  EXPECT_EQ(enciphered.find("//APPL Small"), std::string::npos);
  EXPECT_EQ(ReadFile(dir.File("enc.txt")), "//CORVID\n" + text);
}

std::string CorpusDir() { return SourceDir() + "/tests/metafile/corpus"; }
std::string GoldenDir() { return SourceDir() + "/tests/metafile/golden"; }

std::vector<std::string> CorpusNames() {
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(CorpusDir())) {
    if (entry.path().extension() == ".mdl") names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// text with the temporary directory (as written, and upper-cased as the report writes the
// metafile name) replaced by $META.
std::string Normalize(std::string text, const std::string &directory) {
  std::string upper = directory;
  for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  for (const std::string &from : {directory, upper}) {
    for (size_t at; (at = text.find(from)) != std::string::npos;)
      text.replace(at, from.size(), "$META");
  }
  return text;
}

// Runs a validation of name in directory and returns its standard output with the directory
// replaced by $META.
std::string Validate(const std::string &directory, const std::string &name) {
  EnvGuard env({{"QDVP_META_PATH", directory}, {"QDVP_INIT_CONFIG_PATH", directory}});
  QDVP_ResetMaxAttributesPerGroup();
  return Normalize(metafile_test::Stdout([&] { QDVP_ValidateMetaFile(name.c_str()); }), directory);
}

void CompareWithGolden(const std::string &goldenName, const std::string &actual) {
  std::string path = GoldenDir() + "/" + goldenName;
  const char *update = getenv("QDVP_UPDATE_GOLDEN");
  if (update != nullptr && update[0] == '1') {
    std::ofstream(path, std::ios::binary) << actual;
    return;
  }
  ASSERT_TRUE(fs::exists(path)) << "no golden file " << path;
  EXPECT_EQ(ReadFile(path), actual) << "golden " << goldenName;
}

class GoldenCorpus : public testing::TestWithParam<std::string> {};

TEST_P(GoldenCorpus, OutputAndReportMatchGolden) {
  TempDir dir;
  std::string name = GetParam() + ".mdl";
  fs::copy_file(CorpusDir() + "/" + name, dir.File(name));
  std::string output = Validate(dir.path(), name);
  CompareWithGolden(GetParam() + ".out", output);
  std::string report = dir.File(GetParam() + ".rpt");
  bool succeeded = output.find("QDVPV00I") != std::string::npos;
  EXPECT_EQ(succeeded, fs::exists(report));
  if (fs::exists(report))
    CompareWithGolden(GetParam() + ".rpt", Normalize(ReadFile(report), dir.path()));
  EXPECT_EQ(succeeded, QDVP_LastValidationSucceeded() == 1);
}

INSTANTIATE_TEST_SUITE_P(Corpus, GoldenCorpus, testing::ValuesIn(CorpusNames()),
                         [](const testing::TestParamInfo<std::string> &info) {
                           return info.param;
                         });

// The messages the corpus must show between them: every number these statements can
// produce in a validation run. A message dropped from the corpus by accident fails here.
TEST(GoldenCorpusCoverage, EveryValidationMessageAppears) {
  std::string all;
  for (const auto &entry : fs::directory_iterator(GoldenDir()))
    all += ReadFile(entry.path().string());
  const int expected[] = {0,  2,  3,  4,  5,  7,  15, 16, 17, 18, 19, 25, 26, 27, 28,
                          29, 30, 31, 32, 33, 34, 36, 37, 38, 40, 41, 42, 43, 44, 45,
                          46, 47, 48, 49, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62,
                          63, 64, 65, 66, 68, 69, 70, 71, 72, 74, 75, 76, 77, 79, 80,
                          81, 82, 83, 84, 85, 88, 90, 91, 92, 93, 96, 97, 98};
  for (int n : expected) {
    char code[16];
    snprintf(code, sizeof(code), "QDVPV%02d", n);
    EXPECT_NE(all.find(code), std::string::npos) << code << " is not covered by the corpus";
  }
}

// The example metafiles shipped for operators validate without a single warning.
TEST(ExampleMetafiles, EveryExampleValidatesCleanly) {
  std::string examples = SourceDir() + "/examples/metafiles";
  int count = 0;
  for (const auto &entry : fs::directory_iterator(examples)) {
    if (entry.path().extension() != ".mdl") continue;
    count++;
    TempDir dir;
    std::string name = entry.path().filename().string();
    fs::copy_file(entry.path(), dir.File(name));
    std::istringstream lines(Validate(dir.path(), name));
    std::string rest;
    for (std::string line; std::getline(lines, line);) {
      std::string code = line.substr(0, 8);
      if (code != "QDVPV25I" && code != "QDVPV26I" && code != "QDVPV90I") rest += line + "\n";
    }
    EXPECT_EQ(rest, "QDVPV00I Validation completed successfully\n") << name;
  }
  EXPECT_GE(count, 5);
}

}  // namespace
