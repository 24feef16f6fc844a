// Choosing the file of a name pattern (newest by date, number and characters; every file in
// process-all mode; extensions), the first-line identity checksum, and the scan frequency.
#include <gtest/gtest.h>

#include <string>

#include "core/support/qdv0.h"
#include "include/qdvp_filemon.h"
#include "tests/support/qdvptest.h"

namespace {

using qdvp_test::EnvGuard;
using qdvp_test::TempDir;

// A file specification control block built from a FILE source name, as the metafile reader
// builds it.
class PatternBlock {
 public:
  explicit PatternBlock(const std::string &name) {
    source_.pSourceName = QDV0_StrDup(name.c_str());
    ok_ = QDVP_InitializeFileSpecControl(&source_) == 1;
  }
  ~PatternBlock() {
    QDVP_ReleaseSelectedFileList(source_.pFileSpec);
    QDVP_ReleaseFileSpecControl(source_.pFileSpec);
    QDV0_FreeStorage(&source_.pSourceName);
  }
  bool ok() const { return ok_; }
  FileSpecCB *block() { return source_.pFileSpec; }
  std::string Current() {
    const char *n = block()->pCurrentFileName;
    return n ? n : "";
  }

 private:
  SourceEntry source_{};
  bool ok_ = false;
};

struct ChoiceCase {
  const char *name;
  const char *pattern;  // below the directory
  std::vector<const char *> files;
  const char *chosen;  // "" when none
};

class NewestFile : public testing::TestWithParam<ChoiceCase> {};

TEST_P(NewestFile, IsChosen) {
  const ChoiceCase &c = GetParam();
  TempDir dir;
  for (const char *f : c.files) dir.Write(f, "line\n");
  EnvGuard env;
  env.Set("QDVP_DP_FILE_SWITCH_CHECK_INTERVAL", "1");
  PatternBlock fileSpec(dir.path() + "/" + c.pattern);
  ASSERT_TRUE(fileSpec.ok());
  QDV0_UseManualClock(1000);  // the wait when nothing matches only moves the manual clock
  QDVP_DetermineCurrentMonitorFileName(fileSpec.block(), 0);
  QDV0_UseSystemClock();
  std::string expected = c.chosen[0] ? dir.path() + "/" + c.chosen : "";
  EXPECT_EQ(fileSpec.Current(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NewestFile,
    testing::Values(
        ChoiceCase{"TwoDigitYearsAcrossTheCentury", "app{YYMMDD}.log",
                   {"app991231.log", "app000101.log"}, "app000101.log"},
        ChoiceCase{"FourDigitYears", "app{YYYYMMDD}.log",
                   {"app20240201.log", "app20240131.log"}, "app20240201.log"},
        ChoiceCase{"PlainNumbers", "trace{###}.txt", {"trace009.txt", "trace010.txt",
                   "trace002.txt"}, "trace010.txt"},
        ChoiceCase{"CharactersDecideOnEqualDates", "x{YYMMDD?}.log",
                   {"x261205a.log", "x261205c.log", "x261205b.log"}, "x261205c.log"},
        ChoiceCase{"NonDigitsUnderTheNumericFieldDoNotMatch", "a{##}.log",
                   {"a1x.log", "a07.log"}, "a07.log"},
        ChoiceCase{"ExtensionRequiredByThePattern", "a{##}.log", {"a99", "a98.log"},
                   "a98.log"},
        ChoiceCase{"NoExtensionInThePattern", "a{##}", {"a99.log", "a12"}, "a12"},
        ChoiceCase{"AnyExtension", "a{##}.*", {"a01.txt", "a02.csv"}, "a02.csv"},
        ChoiceCase{"Suffix", "a{##}_x.log", {"a10_y.log", "a05_x.log"}, "a05_x.log"},
        ChoiceCase{"NothingAfterTheVariablePartWithoutSuffix", "a{##}.log",
                   {"a10b.log", "a04.log"}, "a04.log"},
        ChoiceCase{"NoMatchingFile", "a{##}.log", {"b01.log"}, ""}),
    [](const testing::TestParamInfo<ChoiceCase> &info) { return std::string(info.param.name); });

TEST(FileNames, NumericValueOfADate) {
  PatternBlock fileSpec("/tmp/p{YYYYMMDD}.log");
  ASSERT_TRUE(fileSpec.ok());
  EXPECT_EQ(QDVP_FileNameNumericValue(fileSpec.block(), "p20240131.log"), 202401031);
  EXPECT_EQ(QDVP_FileNameNumericValue(fileSpec.block(), "p20240201.log"), 202402001);
  EXPECT_EQ(QDVP_FileNameNumericValue(fileSpec.block(), "q20240201.log"), -1);
}

TEST(FileNames, ProcessAllYieldsEveryFileInTurnThenNone) {
  TempDir dir;
  for (const char *f : {"d03.log", "d01.log", "d02.log"}) dir.Write(f, "x\n");
  PatternBlock fileSpec(dir.path() + "/d{##}.log");
  ASSERT_TRUE(fileSpec.ok());
  std::vector<std::string> seen;
  for (int i = 0; i < 4; i++) {
    QDVP_DetermineCurrentMonitorFileName(fileSpec.block(), 1);
    seen.push_back(fileSpec.Current());
  }
  EXPECT_EQ(seen, (std::vector<std::string>{dir.File("d01.log"), dir.File("d02.log"),
                                            dir.File("d03.log"), ""}));
}

TEST(FileNames, SwitchingToANewerFileForgetsTheChecksum) {
  TempDir dir;
  dir.Write("s01.log", "x\n");
  PatternBlock fileSpec(dir.path() + "/s{##}.log");
  QDVP_DetermineCurrentMonitorFileName(fileSpec.block(), 0);
  ASSERT_EQ(fileSpec.Current(), dir.File("s01.log"));
  fileSpec.block()->IDcheckSum = 77;
  dir.Write("s02.log", "y\n");
  QDVP_DetermineCurrentMonitorFileName(fileSpec.block(), 0);
  EXPECT_EQ(fileSpec.Current(), dir.File("s02.log"));
  EXPECT_EQ(fileSpec.block()->IDcheckSum, 0);
}

TEST(FileNames, AVanishedDirectoryLeavesNoFile) {
  auto *dir = new TempDir;
  dir->Write("v01.log", "x\n");
  PatternBlock fileSpec(dir->path() + "/v{##}.log");
  QDVP_DetermineCurrentMonitorFileName(fileSpec.block(), 0);
  ASSERT_FALSE(fileSpec.Current().empty());
  delete dir;
  QDVP_DetermineCurrentMonitorFileName(fileSpec.block(), 0);
  EXPECT_EQ(fileSpec.Current(), "");
}

TEST(IdentityChecksum, CoversTheFirstLineWithItsLineEnd) {
  TempDir dir;
  std::string path = dir.Write("c.log", "first\nsecond\n");
  PatternBlock fileSpec(path);
  IOEntry io{};
  SourceEntry source{};
  source.pSourceName = const_cast<char *>(path.c_str());
  io.pSource = &source;
  io.BufferSize = 64;
  uint16_t sum = QDVP_FormatFileIDcheckSum(&io, fileSpec.block());
  EXPECT_EQ(sum, static_cast<uint16_t>(QDV0_ComputeCheckSum("first\n", 6) & 0xFFFF));
  dir.Write("c.log", "first\nother\n");
  EXPECT_EQ(QDVP_FormatFileIDcheckSum(&io, fileSpec.block()), sum) << "only the first line counts";
  dir.Write("c.log", "\n");
  EXPECT_EQ(QDVP_FormatFileIDcheckSum(&io, fileSpec.block()),
            static_cast<uint16_t>(QDV0_ComputeCheckSum("\n", 1) & 0xFFFF));
  remove(path.c_str());
  EXPECT_EQ(QDVP_FormatFileIDcheckSum(&io, fileSpec.block()), 0);
}

struct FrequencyCase {
  char type;
  int ttl;
  char mode;
  const char *factor;  // null: unset
  int frequency, testFrequency, testInterval;
};

class ScanFrequency : public testing::TestWithParam<FrequencyCase> {};

TEST_P(ScanFrequency, FollowsTheIntervalAndTheFactor) {
  const FrequencyCase &c = GetParam();
  EnvGuard env({{"QDVP_DP_SAMPLE_FACTOR", c.factor ? std::optional<std::string>(c.factor)
                                                   : std::nullopt},
                {"QDVP_DP_EVENT", std::nullopt}});
  TableEntry table{};
  table.Type = c.type;
  table.TTL = c.ttl;
  int tf = -1, ti = -1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(QDVP_ComputeFileFrequency(&table, c.mode, &tf, &ti), c.frequency);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(tf, c.testFrequency);
  EXPECT_EQ(ti, c.testInterval);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScanFrequency,
    testing::Values(FrequencyCase{'P', 60, 'T', nullptr, 12, 0, 0},
                    FrequencyCase{'P', 3000, 'T', nullptr, 300, 300, 30},
                    FrequencyCase{'P', 3000, 'T', "1", 3000, 3000, 30},
                    FrequencyCase{'P', 500, 'T', "1", 500, 496, 31},
                    FrequencyCase{'S', 200, 'T', "2", 100, 99, 33},
                    FrequencyCase{'P', 60, 'C', nullptr, 30, 0, 0},
                    FrequencyCase{'P', 3, 'T', nullptr, 30, 0, 0},
                    FrequencyCase{'P', 60, 'T', "0", 12, 0, 0},
                    FrequencyCase{'E', 0, 'T', nullptr, 15, 0, 0}));

}  // namespace
