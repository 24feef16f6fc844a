// The parts of file monitoring that need no running data provider: assembling records from a
// monitored file (one line each, several lines per record, an end-of-input text, NEW and END
// record-set rules, lines longer than the record, binary bytes, a stop position) and the
// decoding of record-set rule texts; what the opener makes of a FIFO, a directory or a link
// under a monitored name; choosing the file of a name pattern (newest by date,
// number and characters; every file in process-all mode; extensions), the first-line identity
// checksum, the scan frequency, and the reader of the saved positions' state file against
// garbled text.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp_dplog.h"
#include "include/qdvp_filemon.h"
#include "tests/support/qdvptest.h"

namespace {

using qdvp_test::EnvGuard;
using qdvp_test::TempDir;
using Strings = std::vector<std::string>;

TEST(RecordReader, AssemblesTheExpectedRecords) {
  // A record is one line, its fields delimited by a blank, unless a case says otherwise.
  const struct {
    const char *what;
    std::string text;
    Strings records;
    const char *delimiter = " ";
    int lines = 1;
    const char *endText = nullptr, *rule = nullptr;
    int size = 256, stopAt = -1;
  } cases[] = {
      {"one line each", "a b\r\n\nc d\n", {"a b", "c d"}},
      {"two lines per record", "a\nb\nc\nd\n", {"a,b", "c,d"}, ",", 2},
      {"join keeps an existing delimiter", "a,\nb\n", {"a,b"}, ",", 2},
      {"begin/end pair join", "[a]\nb]\n", {"[a][b]"}, "[]", 2},
      {"end-of-input text", "a\nb\n--\nc\n--\n", {"a b", "c"}, " ", 1, "--"},
      {"NEW rule starts a record", "BEGIN 1\nx\ny\nBEGIN 2\nz\n", {"BEGIN 1 x y", "BEGIN 2 z"},
       " ", 99, nullptr, "NEW(0,==,BEGIN"},
      {"END rule ends a record", "a\nb END\nc\nd END\n", {"a b END", "c d END"}, " ", 99, nullptr,
       "END(2,==,END)"},
      {"not-equal operator", "#1\nx\n#2\n", {"#1 x", "#2"}, " ", 99, nullptr, "NEW(0,!=,x"},
      {"last line without line end", "a\nb", {"a", "b"}},
      {"line longer than the record is cut and the next line still read",
       std::string(100, 'x') + "\nshort\n", {std::string(31, 'x'), "short"}, " ", 1, nullptr,
       nullptr, 32},
      {"binary bytes do not stop the reader", std::string("a\0b\n\x01\xff\x7f\nc\n", 10),
       {"a", "\x01\xff\x7f", "c"}},
      {"a stop position leaves a partial line waiting", "a\nb\npart", {"a", "b"}, " ", 1, nullptr,
       nullptr, 256, 4},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    qdvp_test::TempDir dir;
    FILE *f = fopen(dir.Write("f.log", c.text).c_str(), "rb");
    std::vector<char> line(static_cast<size_t>(c.size)), record(line.size());
    MonitorReadControl control{};
    control.pReadBuffer = line.data();
    control.ReadSize = c.size;
    control.pDelimiter = c.delimiter;
    control.LinesPerRecord = c.lines;
    control.pEndText = c.endText;
    control.EndTextLength = c.endText ? static_cast<int>(strlen(c.endText)) : 0;
    control.StopAt = c.stopAt;
    control.pRule = c.rule ? QDVP_FormatRecordSetRule(c.rule) : nullptr;
    Strings records;
    int lines = 0;
    while (char *r = ReadMonitorFileRecord(f, record.data(), c.size, &lines, &control))
      if (r[0] != '\0') records.emplace_back(r);
    fclose(f);
    QDVP_ReleaseRecordSetRule(control.pRule);
    EXPECT_EQ(records, c.records);
  }
}

TEST(RecordSetRule, TextIsDecoded) {
  const struct {
    const char *text;
    bool valid;
    int type, offset, op;
    const char *compare;
  } cases[] = {
      {"NEW(0,==,BEGIN", true, 1, 0, 1, "BEGIN"}, {"new(12,!=,x y)", true, 1, 12, 2, "x y"},
      {"END(3,==,;", true, 2, 3, 1, ";"},         {"OLD(0,==,x", false, 0, 0, 0, ""},
      {"NEW(a,==,x", false, 0, 0, 0, ""},         {"NEW(0,<>,x", false, 0, 0, 0, ""},
      {"NEW(0,==,", false, 0, 0, 0, ""},          {"NEW 0,==,x", false, 0, 0, 0, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    RecordSetCompareRule *rule = QDVP_FormatRecordSetRule(c.text);
    ASSERT_EQ(rule != nullptr, c.valid);
    if (rule == nullptr) continue;
    EXPECT_EQ(rule->RuleType, c.type);
    EXPECT_EQ(rule->Offset, c.offset);
    EXPECT_EQ(rule->Operator, c.op);
    EXPECT_STREQ(rule->pCompareText, c.compare);
    QDVP_ReleaseRecordSetRule(rule);
  }
}

std::string Last(const std::string &path) { return path.substr(path.find_last_of('/') + 1); }

// What the opener makes of each thing that may stand under a monitored name, on its own: only
// regular files are opened (a FIFO without a writer is not even tried), links as the setting
// says, a link to nothing is a missing file.
TEST(MonitorFileOpen, OnlyRegularFilesAreOpenedAndLinksAsTheSettingAllows) {
  qdvp_test::TempDir dir, elsewhere;
  dir.Write("plain.log", "x\n");
  elsewhere.Write("out.log", "y\n");
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0755), 0);
  dir.Write("sub/deeper.log", "z\n");
  const std::pair<const char *, std::string> links[] = {
      {"in.lnk", dir.File("plain.log")},
      {"deep.lnk", "sub/deeper.log"},
      {"out.lnk", elsewhere.File("out.log")},
      {"up.lnk", "../" + Last(elsewhere.path()) + "/out.log"},
      {"dangling.lnk", dir.File("none")}};
  for (const auto &[name, target] : links) {
    ASSERT_EQ(symlink(target.c_str(), dir.File(name).c_str()), 0);
  }
  const struct {
    const char *name, *follow;
    int status, link;
  } cases[] = {
      {"plain.log", nullptr, QDVP_OPEN_OK, 0},
      {"missing", nullptr, QDVP_OPEN_MISSING, 0},
      {"fifo", nullptr, QDVP_OPEN_NOT_REGULAR, 0},
      {"sub", nullptr, QDVP_OPEN_ERROR, 0},
      {"in.lnk", nullptr, QDVP_OPEN_OK, 1},
      {"deep.lnk", "DIR", QDVP_OPEN_OK, 1},
      {"out.lnk", nullptr, QDVP_OPEN_LINK_REFUSED, 1},
      {"up.lnk", nullptr, QDVP_OPEN_LINK_REFUSED, 1},
      {"out.lnk", "yes", QDVP_OPEN_OK, 1},
      {"in.lnk", "no", QDVP_OPEN_LINK_REFUSED, 1},
      {"dangling.lnk", nullptr, QDVP_OPEN_MISSING, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + (c.follow ? c.follow : "(default)"));
    qdvp_test::EnvGuard env;
    env.Set("QDVP_FOLLOW_SYMLINKS", c.follow ? std::optional<std::string>(c.follow) : std::nullopt);
    MonitorFileOpen open;
    EXPECT_EQ(QDVP_OpenMonitorFile(dir.File(c.name).c_str(), 0, &open), c.status);
    EXPECT_EQ(open.Link, c.link);
    EXPECT_EQ(open.File != nullptr, c.status == QDVP_OPEN_OK);
    if (open.File != nullptr) fclose(open.File);
  }
}

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
  // Chooses the file as a file server does and returns its name ("" when none).
  std::string Choose(int processAll = 0) {
    QDVP_DetermineCurrentMonitorFileName(block(), processAll);
    const char *n = block()->pCurrentFileName;
    return n ? n : "";
  }

 private:
  SourceEntry source_{};
  bool ok_ = false;
};

TEST(FileNames, TheNewestMatchingFileIsChosenByTheNumericValueOfItsDate) {
  const struct {
    const char *what, *pattern;  // below the directory
    Strings files;
    const char *chosen;  // "" when none
  } cases[] = {
      {"two-digit years across the century",
       "app{YYMMDD}.log",
       {"app991231.log", "app000101.log"},
       "app000101.log"},
      {"four-digit years",
       "app{YYYYMMDD}.log",
       {"app20240201.log", "app20240131.log"},
       "app20240201.log"},
      {"plain numbers",
       "trace{###}.txt",
       {"trace009.txt", "trace010.txt", "trace002.txt"},
       "trace010.txt"},
      {"characters decide on equal dates",
       "x{YYMMDD?}.log",
       {"x261205a.log", "x261205c.log", "x261205b.log"},
       "x261205c.log"},
      {"non-digits under the numeric field do not match",
       "a{##}.log",
       {"a1x.log", "a07.log"},
       "a07.log"},
      {"extension required by the pattern", "a{##}.log", {"a99", "a98.log"}, "a98.log"},
      {"no extension in the pattern", "a{##}", {"a99.log", "a12"}, "a12"},
      {"any extension", "a{##}.*", {"a01.txt", "a02.csv"}, "a02.csv"},
      {"suffix", "a{##}_x.log", {"a10_y.log", "a05_x.log"}, "a05_x.log"},
      {"nothing after the variable part without suffix",
       "a{##}.log",
       {"a10b.log", "a04.log"},
       "a04.log"},
      {"no matching file", "a{##}.log", {"b01.log"}, ""},
  };
  EnvGuard env;
  env.Set("QDVP_DP_FILE_SWITCH_CHECK_INTERVAL", "1");
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    for (const std::string &f : c.files) dir.Write(f, "line\n");
    PatternBlock fileSpec(dir.path() + "/" + c.pattern);
    ASSERT_TRUE(fileSpec.ok());
    QDV0_UseManualClock(1000);  // the wait when nothing matches only moves the manual clock
    std::string chosen = fileSpec.Choose();
    QDV0_UseSystemClock();
    EXPECT_EQ(chosen, c.chosen[0] ? dir.File(c.chosen) : "");
  }
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
  Strings seen;
  for (int i = 0; i < 4; i++) seen.push_back(fileSpec.Choose(1));
  EXPECT_EQ(seen, (Strings{dir.File("d01.log"), dir.File("d02.log"), dir.File("d03.log"), ""}));
}

TEST(FileNames, ANewerFileForgetsTheChecksumAndAVanishedDirectoryLeavesNoFile) {
  auto dir = std::make_unique<TempDir>();
  dir->Write("s01.log", "x\n");
  PatternBlock fileSpec(dir->path() + "/s{##}.log");
  ASSERT_EQ(fileSpec.Choose(), dir->File("s01.log"));
  fileSpec.block()->IDcheckSum = 77;
  dir->Write("s02.log", "y\n");
  EXPECT_EQ(fileSpec.Choose(), dir->File("s02.log"));
  EXPECT_EQ(fileSpec.block()->IDcheckSum, 0);
  dir.reset();
  EXPECT_EQ(fileSpec.Choose(), "");
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
  auto sum = [&] { return QDVP_FormatFileIDcheckSum(&io, fileSpec.block()); };
  auto expected = [](const char *line) {
    return static_cast<uint16_t>(QDV0_ComputeCheckSum(line, strlen(line)) & 0xFFFF);
  };
  EXPECT_EQ(sum(), expected("first\n"));
  dir.Write("c.log", "first\nother\n");
  EXPECT_EQ(sum(), expected("first\n")) << "only the first line counts";
  dir.Write("c.log", "\n");
  EXPECT_EQ(sum(), expected("\n"));
  remove(path.c_str());
  EXPECT_EQ(sum(), 0);
}

TEST(ScanFrequency, FollowsTheIntervalAndTheFactor) {
  const struct {
    char type;
    int ttl;
    char mode;
    const char *factor;  // null: unset
    int frequency, testFrequency, testInterval;
  } cases[] = {
      {'P', 60, 'T', nullptr, 12, 0, 0},     {'P', 3000, 'T', nullptr, 300, 300, 30},
      {'P', 3000, 'T', "1", 3000, 3000, 30}, {'P', 500, 'T', "1", 500, 496, 31},
      {'S', 200, 'T', "2", 100, 99, 33},     {'P', 60, 'C', nullptr, 30, 0, 0},
      {'P', 3, 'T', nullptr, 30, 0, 0},      {'P', 60, 'T', "0", 12, 0, 0},
      {'E', 0, 'T', nullptr, 15, 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(1, c.type) + std::to_string(c.ttl) + c.mode +
                 (c.factor ? c.factor : "-"));
    EnvGuard env(
        {{"QDVP_DP_SAMPLE_FACTOR", c.factor ? std::optional<std::string>(c.factor) : std::nullopt},
         {"QDVP_DP_EVENT", std::nullopt}});
    TableEntry table{};
    table.Type = c.type;
    table.TTL = c.ttl;
    int tf = -1, ti = -1;
    {
      qdvp_test::StreamCapture quiet(1);
      EXPECT_EQ(QDVP_ComputeFileFrequency(&table, c.mode, &tf, &ti), c.frequency);
    }
    EXPECT_EQ(tf, c.testFrequency);
    EXPECT_EQ(ti, c.testInterval);
  }
}

// The state file of the saved positions is read line by line: a good line gives its entry, a
// garbled one is counted and skipped (its file is then monitored as if new), nothing crashes.
TEST(SavedPositions, GarbledLinesAreCountedAndSkipped) {
  const std::string good = "App Tab 513 1024 /var/log/a%20b.log\n";
  const struct {
    const char *what;
    std::string text;
    int entries, bad, firstBad;
  } cases[] = {
      {"empty", "", 0, 0, 0},
      {"header and a line", "# qdvp file positions 1\n" + good, 1, 0, 0},
      {"cut last line", good + "App Tab 513 10", 1, 1, 2},
      {"line end only", "\n\n", 0, 0, 0},
      {"checksum above 16 bits", "App Tab 65536 1 /f\n" + good, 1, 1, 1},
      {"position beyond a long", "App Tab 1 99999999999999999999 /f\n", 0, 1, 1},
      {"position at a long's limit", "App Tab 1 9223372036854775807 /f\n", 1, 0, 0},
      {"position just past it", "App Tab 1 9223372036854775808 /f\n", 0, 1, 1},
      {"non-numeric", "App Tab x1 5 /f\nApp Tab 1 -5 /f\nApp Tab 1 5x /f\n", 0, 3, 1},
      {"NUL in the line", std::string("App Tab 1 5 /f\0g\n", 17) + good, 1, 1, 1},
      {"escaped NUL", "App Tab 1 5 /f%00\n", 0, 1, 1},
      {"bad escapes", "App Tab 1 5 /f%2\nApp Tab 1 5 /f%zz\nApp Tab 1 5 %\n", 0, 3, 1},
      {"fields missing or extra", "App Tab 1 5\nApp Tab 1 5 /f extra\nApp  Tab 1 5 /f\n", 0, 3,
       1},
      {"binary", std::string("\xff\xfe\x01 \x80\n", 6) + good, 1, 1, 1},
      {"a huge line", std::string(100000, '9') + "\n" + good, 1, 1, 1},
      {"row stream and number", "App Tab 1 5 /f 4294967295 12\n", 1, 0, 0},
      {"row stream beyond 32 bits", "App Tab 1 5 /f 4294967296 12\nApp Tab 1 5 /f 1 2 3\n", 0,
       2, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<FilePositionEntry> entries;
    int firstBad = -1;
    EXPECT_EQ(QDVP_ParseFilePositions(c.text, &entries, &firstBad), c.bad);
    EXPECT_EQ(static_cast<int>(entries.size()), c.entries);
    EXPECT_EQ(firstBad, c.firstBad);
  }
  std::vector<FilePositionEntry> entries;
  QDVP_ParseFilePositions(good, &entries, nullptr);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Application, "App");
  EXPECT_EQ(entries[0].Table, "Tab");
  EXPECT_EQ(entries[0].CheckSum, 513);
  EXPECT_EQ(entries[0].Position, 1024);
  EXPECT_EQ(entries[0].Path, "/var/log/a b.log");
  EXPECT_EQ(entries[0].RowStream, 0u);
  entries.clear();
  QDVP_ParseFilePositions("App Tab 1 5 /f 4294967295 12\n", &entries, nullptr);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].RowStream, 4294967295u);
  EXPECT_EQ(entries[0].RowNumber, 12u);
  // The data provider reports the unreadable lines with message 89.
  const char *parms[5] = {"/s/file.positions", "2", "7", nullptr, nullptr};
  char text[256];
  QDVP_FormatDPlogText(89, parms, text, sizeof(text));
  EXPECT_STREQ(text, "State file /s/file.positions holds 2 unreadable line(s), the first at "
                     "line 7. They are ignored: their files are monitored as if new.");
}

}  // namespace
