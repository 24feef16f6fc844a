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
// The data model records and their builders: attribute sizes, display order, copies of
// attribute lists, the attribute limit, sources, I/O buffers, the lookups by name, subnode and
// OID, reserved names, routing blocks, and storage failures while building (table types,
// duplicates, filters and most messages are in the golden corpus; what filters, derive
// functions and file name patterns do, in the records and file monitoring tests); the hooks of
// record processing that loading a metafile relies on and the handshake with the metafile
// server client task that fetches a metafile existing nowhere locally. The startup
// configuration file (read at startup, appended to, rewritten by a removal), the automatic load
// of the metafile directory, the existence check and the end of applications.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp.h"
#include "include/qdvp_anchor.h"
#include "include/qdvp_metafile.h"
#include "include/qdvp_model.h"
#include "tests/metafile/metafile_testing.h"

namespace {

namespace fs = std::filesystem;
using metafile_test::Names;
using metafile_test::Stdout;
using qdvp_test::EnvGuard;
using qdvp_test::ReadFile;
using qdvp_test::SourceDir;
using qdvp_test::TempDir;
using Strings = std::vector<std::string>;

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

TEST_F(MetafileInput, LongRecordsAreReadInPiecesAndRecordBuffersSkipBareLineFeeds) {
  env_.Set("QDVP_META_MAX_RECORD_SIZE", "64");
  ApplEntry *appl =
      Load("long.mdl",
           "//APPL Longs\n//NAME T1 E\n//ATTRIBUTES\n" + std::string(500, 'x') + " D 8\nA D 8\n", 1,
           true);
  ASSERT_NE(appl, nullptr) << out_;
  // Each 63-byte piece is a record of its own.
  EXPECT_NE(out_.find("0004 -> " + std::string(63, 'x') + "\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("0011 -> " + std::string(500 - 7 * 63, 'x') + " D 8\n"), std::string::npos);
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

// A message's insert replaces everything from its mark; without a name or a file validation
// fails. The report takes the metafile's name with the extension rpt (out for a metafile whose
// extension is rpt, .rpt appended without extension), beside the metafile, whether the
// metafile directory is given as an absolute or a relative name.
TEST(Validation, MessagesTakeTheirInsertAFileIsNeededAndTheReportIsWrittenBesideIt) {
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

  dir.Write("metafiles/app.rpt", kSmall);
  dir.Write("metafiles/plain", kSmall);
  dir.Write("metafiles/x.mdl", kSmall);
  dir.Write("metafiles/sub.dir/x.mdl", kSmall);
  std::string meta = dir.File("metafiles");
  struct {
    std::string metaPath, name, report;
  } const reports[] = {
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
  for (const auto &c : reports) {
    SCOPED_TRACE(c.metaPath + " " + c.name);
    EnvGuard perCase({{"QDVP_META_PATH", c.metaPath}});
    std::string out = Stdout([&] { QDVP_ValidateMetaFile(c.name.c_str()); });
    EXPECT_TRUE(fs::remove("metafiles/" + c.report)) << out;
    EXPECT_NE(out.find("QDVPV90I"), std::string::npos) << out;
  }
  // A report that cannot be written is said so, and no saved message follows.
  fs::create_directory("metafiles/x.rpt");
  env.Set("QDVP_META_PATH", "metafiles");
  std::string out = Stdout([] { QDVP_ValidateMetaFile("x.mdl"); });
  EXPECT_NE(out.find("*****Unable to open report file metafiles/x.rpt"), std::string::npos) << out;
  EXPECT_EQ(out.find("QDVPV90I"), std::string::npos) << out;
}

// Through bin/qdvp: the exit status follows the outcome; encipher keeps the leading comment
// plain and hides the rest, the enciphered metafile validates with its records shown as text
// and unpacks to its text, an SNMP one with TEXT inserted; a plain metafile does not unpack.
TEST(HostProgram, EncipherValidateAndUnpackWithTheirExitStatus) {
  TempDir dir;
  const std::string text = std::string(kSmall) + "B C\n";
  dir.Write("good.mdl", "* comment stays plain\n" + text);
  dir.Write("bad.mdl", "//APPL Bad\n");
  dir.Write("s.txt", "* one\n* two\n* three\n//SNMP\n//APPL Snmp\n");
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
      {{"encipher", dir.File("s.txt"), dir.File("s.mdl")}, 0, ""},
      {{"unpack", "s.mdl"}, 0, "QDVPV94I"},
      {{"unpack", "bad.mdl"}, 1, "QDVPV95E Metafile unpack failed.\n"},
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
  EXPECT_EQ(ReadFile(dir.File("s.txt")), "//SNMP TEXT\n//APPL Snmp\n");
  EXPECT_FALSE(fs::exists(dir.File("bad.txt")));
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

class Model : public metafile_test::WithAnchor {};

// A name and a type are required; the sizes follow the type.
TEST_F(Model, AttributeSizesFollowTheirType) {
  char none[] = "D";
  EXPECT_EQ(Stdout([&] {
              EXPECT_EQ(
                  QDVP_InitializeAttrEntry(nullptr, nullptr, none, "8", 0, 0, nullptr, nullptr),
                  nullptr);
            }),
            "QDVPV39E Specification Error: Incomplete attribute specification, ignored\n");
  struct {
    const char *type, *size;
    char storedType;
    int valueSize;
    long maximum;
  } const cases[] = {
      {"D", "5", 'D', 8, 5},
      {"D", "5000", 'D', 3800, 5000},
      {"G", "100", 'G', 2, 100},
      {"G", "100000", 'G', 4, 100000},
      {"G", nullptr, 'G', 4, 2147483647},
      {"C", "3000000000", 'C', 4, 2147483647},
      {"I", "2", 'G', 2, 32767},
      {"L", "4", 'G', 4, 2147483647},
      {"T", nullptr, 'T', 16, 0},
      {"S", nullptr, 'S', 2, 1},
      {"?", "9", '?', 4, 9},
      {"R", "7", 'R', 7, 7},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + (c.size ? c.size : "-"));
    char type[4];
    snprintf(type, sizeof(type), "%s", c.type);
    AttrEntry *a = nullptr;
    std::string out = Stdout([&] {
      a = QDVP_InitializeAttrEntry(nullptr, "Attr", type, c.size, 0, 0, nullptr, nullptr);
    });
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->Type, c.storedType);
    EXPECT_EQ(a->MaxValSize, c.valueSize);
    EXPECT_EQ(a->MaxSize, c.maximum);
    EXPECT_EQ(out.find("QDVPV54W") != std::string::npos, c.valueSize == 3800);
    QDV0_FreeStorage(&a);
  }
}

// Every attribute is in the display order exactly once, whatever its SEQ= says. A summary
// table's own attributes come first and last ("<" and ">" in the expected orders).
TEST_F(Model, DisplayOrder) {
  const char *const cases[][3] = {
      // attributes, order, warning
      {"A D 4 SEQ=2 KEY\nB D 4\nC D 4 SEQ=1\n_LocalTimeStamp T\n", "< C A B >", ""},
      {"_Lead D 4 SEQ=1\nA D 4\n_Tail D 4 SEQ=2\n", "< _Lead A _Tail >", ""},
      {"A D 4 SEQ=70\nB D 4 SEQ=-1\nC D 4 SEQ=1\nD D 4 SEQ=1\n", "< C A B D >",
       "Specification Warning: Attribute display sequence SEQ=70 invalid or duplicate, ignored. "
       "A\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c[0]);
    ApplEntry *appl = Load("o.mdl", std::string("//APPL Ordered\n//NAME S S 300\n//SUMMARY 300\n"
                                                "//ATTRIBUTES ','\n") +
                                        c[0]);
    ASSERT_NE(appl, nullptr) << out_;
    std::string order;
    for (const std::string &name : Names(appl->pTableList->pSourceList, true)) order += name + " ";
    std::string expected = std::string("_Interval_Unit _Interval _Occurrences ") + (c[1] + 2);
    expected.replace(expected.size() - 1, 1, "_LocalTimeStamp _Date_Time _Interval_Unit_Name ");
    EXPECT_EQ(order, expected);
    EXPECT_EQ(out_.find("Specification Warning: Attribute display") != std::string::npos,
              *c[2] != 0);
    EXPECT_NE(out_.find(c[2]), std::string::npos) << out_;
    QDVP_ReleaseApplResources(anchor_, appl, 1);
  }
}

TEST_F(Model, AttributeListsAreCopiedWithFormulaReferencesAndLimitedByWTB_MAXCOLS) {
  ApplEntry *appl = Load("c.mdl",
                         "//APPL Copies\n//NAME T E\n//SOURCE FILE /a.log\n"
                         "//SOURCE FILE /b.log ManagedSystemName=hostb\n//ATTRIBUTES ','\n"
                         "Bytes C\nPackets C\nAvg (Bytes / Packets)\n");
  ASSERT_NE(appl, nullptr) << out_;
  SourceEntry *first = appl->pTableList->pSourceList, *second = first->pNext;
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Names(first), Names(second));
  for (SourceEntry *s : {first, second}) {
    AttrEntry *avg = s->pAttrList->pNext->pNext;
    EXPECT_EQ(avg->pOperand1, s->pAttrList);
    EXPECT_EQ(avg->pOperand2, s->pAttrList->pNext);
  }
  // The default limit is in the golden corpus (wide.mdl).
  EnvGuard limit;
  limit.Set("WTB_MAXCOLS", "500");
  QDVP_ResetMaxAttributesPerGroup();
  EXPECT_EQ(QDVP_DetermineMaxAttributesPerGroup(), 127);
  limit.Set("WTB_MAXCOLS", "2");
  EXPECT_EQ(QDVP_DetermineMaxAttributesPerGroup(), 127);  // kept for the life of the process
  QDVP_ResetMaxAttributesPerGroup();
}

// How each kind of SOURCE is read is in the golden corpus (sources.mdl); here, the I/O entry
// lists the sources join and leave, and the refusal of a second FILE source.
TEST_F(Model, SourcesJoinAndLeaveTheIOentryLists) {
  TableEntry *table = nullptr;
  SourceEntry *sock = nullptr, *file = nullptr, *file2 = nullptr;
  int fileFlag = 0;
  Stdout([&] {
    table = QDVP_InitializeTableEntry(nullptr, "T", "E", nullptr, nullptr);
    sock =
        QDVP_InitializeSourceEntry(anchor_, table, "sock", "127.0.0.1[1500]", nullptr, &fileFlag);
    file = QDVP_InitializeSourceEntry(anchor_, table, "FILE", "/x.log", nullptr, &fileFlag);
    file2 = QDVP_InitializeSourceEntry(anchor_, table, "FILE", "/other.log", nullptr, &fileFlag);
  });
  ASSERT_TRUE(sock && file);
  EXPECT_EQ(file2, nullptr);
  EXPECT_EQ(ntohs(sock->pIOE->PartnerAddr.sin_port), 1500);
  EXPECT_EQ(QDVP_CheckSourceState(sock, QDVP_Initial), 1);
  QDVP_UpdateSourceEntryState(sock, QDVP_Active);
  EXPECT_EQ(sock->State, QDVP_Active);
  QDVP_UpdateSourceEntryState(nullptr, QDVP_Ready);  // refused
  EXPECT_EQ(anchor_->pIOEList[QDVP_IOE_SOCK], sock->pIOE);
  EXPECT_EQ(anchor_->pIOEList[QDVP_IOE_FILE], file->pIOE);
  // The sources go with a throw-away application that owns the table.
  ApplEntry *appl = QDVP_InitializeApplicationEntry(anchor_, "Holder", 0, nullptr);
  appl->pTableList = table;
  QDVP_ReleaseApplResources(anchor_, appl, 1);
  EXPECT_EQ(anchor_->pIOEList[QDVP_IOE_ALL], nullptr);
}

TEST_F(Model, IObufferSizeAndNumbers) {
  ApplEntry *appl = Load("b.mdl", "//APPL Buffers\n//NAME T E\n//ATTRIBUTES\nA D 10\nB C\n");
  ASSERT_NE(appl, nullptr) << out_;
  SourceEntry *s = appl->pTableList->pSourceList;
  EXPECT_EQ(QDVP_ComputeIObufferSize(s), 80 + 13 + 11);
  s->pIOE->BufferSize = 5000;
  ASSERT_EQ(QDVP_AllocateIObuffer(s->pIOE), 1);
  ASSERT_EQ(QDVP_AllocateIObuffer(s->pIOE), 1);
  EXPECT_EQ(s->pIOE->pBufferList->Number, 1);
  EXPECT_EQ(s->pIOE->pBufferList->pNext->Number, 2);
}

TEST_F(Model, LookupsByNameSubnodeAndOID) {
  LinkStandAlone();
  ApplEntry *appl = Load("l.mdl", "//APPL Lookup\n//NAME Disk E\n//ATTRIBUTES\nA D 10\n", 0);
  ASSERT_NE(appl, nullptr) << out_;
  EXPECT_EQ(QDVP_LocateApplicationByName(anchor_, "LOOKUP", 6), appl);
  EXPECT_EQ(QDVP_LocateApplicationByName(anchor_, "Lookup", 6), appl);
  EXPECT_EQ(QDVP_LocateApplicationByName(anchor_, "LOOKUPX", 7), nullptr);
  EXPECT_EQ(QDVP_LocateTableByName(appl, "DISK", 4), appl->pTableList);
  EXPECT_EQ(QDVP_LocateTableByName(appl, "NET", 3), nullptr);
  SourceEntry *s = appl->pTableList->pSourceList;
  std::string node = s->pSourceNodeName;
  std::string subnode = node + ":LOOKUPDISK00";
  EXPECT_EQ(QDVP_LocateSourceBySubNode(anchor_, subnode.c_str()), nullptr);  // not active yet
  QDVP_UpdateSourceEntryState(s, QDVP_Active);
  EXPECT_EQ(QDVP_LocateSourceBySubNode(anchor_, subnode.c_str()), s);
  EXPECT_EQ(QDVP_LocatePolicySourceBySubNode(anchor_, subnode.c_str()), s);
  EXPECT_EQ(QDVP_LocateSourceBySubNode(anchor_, "nocolon"), nullptr);
  EXPECT_EQ(QDVP_LocateSourceBySubNode(anchor_, (node + "extra:LOOKUPDISK00").c_str()), nullptr);

  ApplEntry *snmp =
      Load("s.mdl",
           "//SNMP TEXT\n//APPL Mib ent 1.3.6.1.4.1.99\n//NAME If P 60\n//ATTRIBUTES\n"
           "Agent_Info D 8 1.3.6.1.4.1.99.1\nAgent_Name D 8 1.3.6.1.4.1.99.2\n"
           "Speed G 1.3.6.1.4.1.99.3\n");
  ASSERT_NE(snmp, nullptr) << out_;
  EXPECT_STREQ(QDVP_LocateAttributeByOID(anchor_, "1.3.6.1.4.1.99.3"), "Speed");
  EXPECT_STREQ(QDVP_LocateAttributeByOID(anchor_, "1.3.6.1.4.1.99.3.0"), "Speed");
  EXPECT_EQ(QDVP_LocateAttributeByOID(anchor_, "1.3.6.1.4.1.99.4"), nullptr);
  EXPECT_EQ(QDVP_LocateSetAttribute(anchor_, "APPLNAME=MIB ATTR=Speed VALUE=1"),
            snmp->pTableList->pSourceList->pAttrList->pNext->pNext);
  EXPECT_EQ(QDVP_LocateSetAttribute(anchor_, "APPLNAME=Lookup ATTR=A"), nullptr);  // not SNMP
}

TEST_F(Model, ReservedNameIsAcceptedInAPackagedSolutionAndRoutingBlocksGoWithTheOutputTable) {
  ApplEntry *refused = nullptr, *packaged = nullptr;
  Stdout([&] {
    refused = QDVP_InitializeApplicationEntry(anchor_, "Kx1", 0, nullptr);
    packaged = QDVP_InitializeApplicationEntry(anchor_, "Kx1", 1, nullptr);
  });
  EXPECT_EQ(refused, nullptr);
  ASSERT_NE(packaged, nullptr);
  QDVP_ReleaseApplResources(anchor_, packaged, 1);
  EXPECT_EQ(anchor_->pApplList, nullptr);
  ApplEntry *appl =
      Load("r.mdl",
           "//APPL Route\n//NAME Out E\n//INTERNAL OUTPUT merge\n//ATTRIBUTES\nA D 8\n"
           "//NAME In E\n//INTERNAL INPUT MERGE\n//ATTRIBUTES\nA D 8\n");
  ASSERT_NE(appl, nullptr) << out_;
  IRBlock *block = anchor_->pIRBList;
  ASSERT_NE(block, nullptr);
  EXPECT_STREQ(block->pName, "MERGE");
  EXPECT_EQ(block->pOutputTable, appl->pTableList);
  EXPECT_EQ(block->pInputList, appl->pTableList->pNext);
  EXPECT_EQ(block->InputCount, 1);
  QDVP_ReleaseApplResources(anchor_, appl, 1);
  EXPECT_EQ(anchor_->pIRBList, nullptr);
}

TEST_F(Model, StorageFailureWhileBuildingNeverCrashes) {
  dir_.Write("f.mdl",
             "//APPL Failing\n//NAME T E ADDTIMESTAMP\n//SOURCE FILE /a{DD}.log\n//SOURCE FILE "
             "/b.log ManagedSystemName=b\n//SUMMARY 60\n//ATTRIBUTES ','\nA D 8 KEY "
             "+FILTER={SCAN(0,a)}\nB C\nC (B + B)\n");
  for (long n = 0; n < 120; n += 3) {
    QDV0_FailStorageAfter(n, 1);
    ApplEntry *appl = Load("f.mdl", "");
    QDV0_FailStorageAfter(0, 0);
    if (appl != nullptr) QDVP_ReleaseApplResources(anchor_, appl, 1);
  }
  EXPECT_EQ(anchor_->pApplList, nullptr);
}

class Hooks : public metafile_test::WithAnchor {};

TEST(SummaryBlock, IntervalIsFittedToTheHourOrDay) {
  EnvGuard env(
      {{"QDVP_SUMMARY_INTERVAL", std::nullopt}, {"QDVP_SUMMARY_BATCH_MODE", std::nullopt}});
  const int cases[][2] = {{0, 300},       {30, 60},       {60, 60},      {420, 600},
                          {660, 720},     {780, 900},     {1000, 1200},  {1500, 1800},
                          {3600, 3600},   {5000, 43200},  {7200, 7200},  {18000, 21600},
                          {25200, 28800}, {50000, 86400}, {90000, 86400}};
  for (const auto &c : cases) {
    SMBlock *block = QDVP_CreateSummaryManagementBlock(c[0], 0);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->Interval, c[1]) << c[0];
    EXPECT_EQ(block->Batch, 0);
    QDVP_ReleaseSummaryManagementBlock(block);
  }
  env.Set("QDVP_SUMMARY_BATCH_MODE", "Y");
  SMBlock *batch = QDVP_CreateSummaryManagementBlock(300, 0);
  EXPECT_EQ(batch->Batch, 1);
  QDVP_ReleaseSummaryManagementBlock(batch);
}

TEST_F(Hooks, OdbcBlocksAreCheckedQueuedAndReleased) {
  OMBlock *out = nullptr;
  std::string text = Stdout([&] {
    out = QDVP_InitializeOMB(anchor_, "output", "DSN=sales");
    EXPECT_EQ(QDVP_InitializeOMB(anchor_, "input", nullptr), nullptr);
    EXPECT_EQ(QDVP_InitializeOMB(anchor_, "input", "sales"), nullptr);
    EXPECT_EQ(QDVP_InitializeOMB(anchor_, nullptr, "DSN=x"), nullptr);
    EXPECT_EQ(QDVP_InitializeOMB(anchor_, "both", "DSN=x"), nullptr);
  });
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->Type, 'O');
  EXPECT_STREQ(out->pDSN, "sales");
  EXPECT_EQ(anchor_->pOMBList, out);
  EXPECT_EQ(text,
            "QDVPV98E Specification Error: ODBC Data Source Name required.\n"
            "QDVPV98E Specification Error: ODBC Data Source Name required.\n"
            "QDVPV97E Specification Error: Invalid ODBC type or not specified.  \n"
            "QDVPV97E Specification Error: Invalid ODBC type or not specified. both\n");
  QDVP_ReleaseOMB(anchor_, out);
  EXPECT_EQ(anchor_->pOMBList, nullptr);
}

// A stand-in for the metafile server client task: it waits for a request and answers it with
// the records of a small metafile, or with a failure.
TEST_F(Hooks, RemoteMetafileIsFetchedThroughTheRecordBlock) {
  LinkStandAlone();
  auto *block = QDV0_New<MemMetafile>();
  OSV1_InitializeLock(&block->Lock);
  block->Status = 1;
  block->pClientPE = QDVP_InitializeProcessEntry(anchor_);
  anchor_->pMemMetafile = block;
  std::atomic<int> answers{0};
  std::atomic<bool> fail{false}, stop{false};
  std::thread client([&] {
    ProcessEntry *pe = block->pClientPE;
    OSV1_GetLock(&pe->TaskIOmutex);
    while (!stop) {
      if (block->Status == -1 && block->pPE != nullptr) {
        const char *records[] = {"//APPL Remote\n", "//NAME T E\n", "//ATTRIBUTES\n", "A D 8\n"};
        MetaRecordNode **tail = &block->pHead;
        for (const char *r : records) {
          size_t n = strlen(r);
          auto *node =
              static_cast<MetaRecordNode *>(QDV0_GetStorage(sizeof(MetaRecordNode) + n + 1));
          node->pText = reinterpret_cast<char *>(node + 1);
          memcpy(node->pText, r, n);
          node->Length = static_cast<int>(n);
          *tail = node;
          tail = &node->pNext;
          block->RecordCount++;
        }
        ProcessEntry *waiter = block->pPE;
        // The waiting task holds its own mutex while it takes ours: answer without ours.
        OSV1_ReleaseLock(&pe->TaskIOmutex);
        OSV1_GetLock(&waiter->TaskIOmutex);
        block->Status = fail ? 8 : 0;
        OSV1_WakeOne(&waiter->TaskIOcond, &waiter->TaskIOmutex);
        OSV1_ReleaseLock(&waiter->TaskIOmutex);
        answers++;
        OSV1_GetLock(&pe->TaskIOmutex);
      }
      QDV0_ConditionTimedWaitMs(&pe->TaskIOcond, &pe->TaskIOmutex, 20);
    }
    OSV1_ReleaseLock(&pe->TaskIOmutex);
  });
  ApplEntry *appl = nullptr, *failed = nullptr;
  std::string out = Stdout([&] {
    appl = QDVP_ConstructApplDataModel(anchor_, "remote.mdl", 0, nullptr, nullptr, 0, 0);
    fail = true;
    failed = QDVP_ConstructApplDataModel(anchor_, "other.mdl", 0, nullptr, nullptr, 0, 0);
  });
  stop = true;
  client.join();
  ASSERT_NE(appl, nullptr) << out;
  EXPECT_STREQ(appl->ApplName, "Remote");
  EXPECT_EQ(failed, nullptr);
  EXPECT_EQ(answers.load(), 2);
  EXPECT_EQ(out, "");  // neither a found nor a failed remote metafile is a missing file
  EXPECT_EQ(block->RecordCount, 0);
  EXPECT_EQ(block->pHead, nullptr);
  // The block's lock was given back after the last record.
  EXPECT_TRUE(OSV1_TryLock(&block->Lock));
  OSV1_ReleaseLock(&block->Lock);
  QDVP_ReleaseProcessResources(anchor_, block->pClientPE);
  anchor_->pMemMetafile = nullptr;
  OSV1_DestroyLock(&block->Lock);
  QDV0_FreeStorage(&block);
}

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
// again by the application's full name, and nothing else goes with it. An append before the
// file was read writes nothing.
TEST_F(StartupConfig, AppendOnceTheFileWasReadThenDeleteLeavesTheFileAsItWas) {
  EXPECT_EQ(QDVP_AppendMetafileToStartUpConfig(anchor_, "x.mdl"), 1);
  EXPECT_EQ(ReadFile(path_), "");
  dir_.Write("app.mdl", Metafile("AppOne"));
  dir_.Write("app2.mdl", Metafile("AppTwo"));
  WriteConfig("* config\napp2.mdl\n");
  Process();
  ApplEntry *appl = Load("app", "", 0);
  ASSERT_NE(appl, nullptr) << out_;
  EXPECT_EQ(QDVP_AppendMetafileToStartUpConfig(anchor_, "app"), 1);
  EXPECT_EQ(ReadFile(path_), "* config\napp2.mdl\napp\n");
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

// A registered application no longer needs its help texts: the registration released them.
TEST_F(StartupConfig, ExistenceByMetafileNameShortNameAndApplicationNameAndDeleteReleasesAll) {
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
  ApplEntry *help = Load(
      "del.mdl", "//APPL Deleted @app help\n//NAME T E @table help\n//ATTRIBUTES\nA D 8 @a\n", 0);
  ASSERT_NE(help, nullptr);
  EXPECT_EQ(help->pTableList->pTableHelp, nullptr);
  QDVP_ReleaseApplGroupHelp(help);
  EXPECT_EQ(help->pTableList->pGroupHelp, nullptr);
  EXPECT_EQ(help->pTableList->pSourceList->pAttrList->pHelp, nullptr);
  EXPECT_EQ(help->pApplHelp, nullptr);
  QDVP_DeleteExistingApplication(anchor_, help);
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
