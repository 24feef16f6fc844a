// Assembling records from a monitored file: one line each, several lines per record, an
// end-of-input text, NEW and END record-set rules, lines longer than the record, binary bytes;
// and the decoding of record-set rule texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "include/qdvp_filemon.h"
#include "tests/support/qdvptest.h"

namespace {

using qdvp_test::TempDir;

struct Reader {
  std::vector<char> line;  // the read buffer, one line of at most the record size
  MonitorReadControl c{};
  RecordSetCompareRule *rule = nullptr;
  Reader(const char *delimiter, int lines, const char *endText, const char *ruleText,
         int size = 256)
      : line(static_cast<size_t>(size)) {
    c.pReadBuffer = line.data();
    c.ReadSize = size;
    c.pDelimiter = delimiter;
    c.LinesPerRecord = lines;
    c.pEndText = endText;
    c.EndTextLength = endText ? static_cast<int>(strlen(endText)) : 0;
    c.StopAt = -1;
    if (ruleText) rule = QDVP_FormatRecordSetRule(ruleText);
    c.pRule = rule;
  }
  ~Reader() { QDVP_ReleaseRecordSetRule(rule); }
  std::vector<std::string> ReadAll(const std::string &path, int size = 256) {
    FILE *f = fopen(path.c_str(), "rb");
    std::vector<std::string> records;
    std::vector<char> record(static_cast<size_t>(size));
    int lines = 0;
    while (char *r = ReadMonitorFileRecord(f, record.data(), size, &lines, &c)) {
      if (r[0] != '\0') records.emplace_back(r);
    }
    fclose(f);
    return records;
  }
};

struct ReaderCase {
  const char *name;
  const char *text;
  const char *delimiter;
  int lines;
  const char *endText;
  const char *rule;
  std::vector<std::string> records;
};

class RecordAssembly : public testing::TestWithParam<ReaderCase> {};

TEST_P(RecordAssembly, GivesTheExpectedRecords) {
  const ReaderCase &c = GetParam();
  TempDir dir;
  std::string path = dir.Write("f.log", c.text);
  Reader reader(c.delimiter, c.lines, c.endText, c.rule);
  EXPECT_EQ(reader.ReadAll(path), c.records);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordAssembly,
    testing::Values(
        ReaderCase{"OneLineEach", "a b\r\n\nc d\n", " ", 1, nullptr, nullptr, {"a b", "c d"}},
        ReaderCase{"TwoLinesPerRecord", "a\nb\nc\nd\n", ",", 2, nullptr, nullptr,
                   {"a,b", "c,d"}},
        ReaderCase{"JoinKeepsAnExistingDelimiter", "a,\nb\n", ",", 2, nullptr, nullptr,
                   {"a,b"}},
        ReaderCase{"BeginEndPairJoin", "[a]\nb]\n", "[]", 2, nullptr, nullptr, {"[a][b]"}},
        ReaderCase{"EndOfInputText", "a\nb\n--\nc\n--\n", " ", 1, "--", nullptr,
                   {"a b", "c"}},
        ReaderCase{"NewRuleStartsARecord", "BEGIN 1\nx\ny\nBEGIN 2\nz\n", " ", 99, nullptr,
                   "NEW(0,==,BEGIN", {"BEGIN 1 x y", "BEGIN 2 z"}},
        ReaderCase{"EndRuleEndsARecord", "a\nb END\nc\nd END\n", " ", 99, nullptr,
                   "END(2,==,END)", {"a b END", "c d END"}},
        ReaderCase{"NotEqualOperator", "#1\nx\n#2\n", " ", 99, nullptr, "NEW(0,!=,x",
                   {"#1 x", "#2"}},
        ReaderCase{"LastLineWithoutLineEnd", "a\nb", " ", 1, nullptr, nullptr, {"a", "b"}}),
    [](const testing::TestParamInfo<ReaderCase> &info) { return std::string(info.param.name); });

TEST(RecordReader, LineLongerThanTheRecordIsCutAndTheRestOfTheFileDropped) {
  TempDir dir;
  std::string path = dir.Write("f.log", std::string(100, 'x') + "\nshort\n");
  Reader reader(" ", 1, nullptr, nullptr, 32);
  std::vector<std::string> records = reader.ReadAll(path, 32);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0], std::string(31, 'x'));
}

TEST(RecordReader, BinaryBytesDoNotStopTheReader) {
  TempDir dir;
  std::string text = std::string("a\0b\n", 4) + "\x01\xff\x7f\n" + "c\n";
  std::string path = dir.Write("f.log", text);
  Reader reader(" ", 1, nullptr, nullptr);
  std::vector<std::string> records = reader.ReadAll(path);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], "a");
  EXPECT_EQ(records[2], "c");
}

TEST(RecordReader, StopsBeforeAPositionSoThatAPartialLineWaits) {
  TempDir dir;
  std::string path = dir.Write("f.log", "a\nb\npart");
  Reader reader(" ", 1, nullptr, nullptr);
  reader.c.StopAt = 4;
  EXPECT_EQ(reader.ReadAll(path), (std::vector<std::string>{"a", "b"}));
}

struct RuleCase {
  const char *text;
  bool valid;
  int type, offset, op;
  const char *compare;
};

class RuleText : public testing::TestWithParam<RuleCase> {};

TEST_P(RuleText, IsDecoded) {
  const RuleCase &c = GetParam();
  RecordSetCompareRule *rule = QDVP_FormatRecordSetRule(c.text);
  ASSERT_EQ(rule != nullptr, c.valid) << c.text;
  if (rule == nullptr) return;
  EXPECT_EQ(rule->RuleType, c.type);
  EXPECT_EQ(rule->Offset, c.offset);
  EXPECT_EQ(rule->Operator, c.op);
  EXPECT_STREQ(rule->pCompareText, c.compare);
  QDVP_ReleaseRecordSetRule(rule);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RuleText,
    testing::Values(RuleCase{"NEW(0,==,BEGIN", true, 1, 0, 1, "BEGIN"},
                    RuleCase{"new(12,!=,x y)", true, 1, 12, 2, "x y"},
                    RuleCase{"END(3,==,;", true, 2, 3, 1, ";"},
                    RuleCase{"OLD(0,==,x", false, 0, 0, 0, ""},
                    RuleCase{"NEW(a,==,x", false, 0, 0, 0, ""},
                    RuleCase{"NEW(0,<>,x", false, 0, 0, 0, ""},
                    RuleCase{"NEW(0,==,", false, 0, 0, 0, ""},
                    RuleCase{"NEW 0,==,x", false, 0, 0, 0, ""}));

}  // namespace
