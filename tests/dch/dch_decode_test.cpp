// Decoding of agent link messages by the agent peer: reassembly from a byte stream (several
// messages in one read, one over several reads, length words that break the stream), wire
// bytes to rows, registrations and JSON, and messages the decoder must refuse without reading
// past their end.
#include <gtest/gtest.h>

#include "include/qdvp_agentlink.h"
#include "tests/support/dchpeer.h"
#include "tools/dch/dchdecode.h"
#include "tools/dch/dchframe.h"

using namespace qdvp_dch;
using dch_test::Be16;
using dch_test::Be32;
using dch_test::Msg;
using dch_test::Unhex;

namespace {

TEST(dch_Reassembly, StreamsCutAnywhereGiveTheirMessages) {
  const std::string a = dch_test::DataMsg(1, 0, "Busy", 1), b = dch_test::OfflineMsg(3);
  const std::string largest =
      Be32(QDVP_WIRE_MAX_MESSAGE) + std::string(QDVP_WIRE_MAX_MESSAGE - 4, 'x');
  auto cut = [](const std::string &bytes, size_t piece) {
    std::vector<std::string> pieces;
    for (size_t at = 0; at < bytes.size(); at += piece) pieces.push_back(bytes.substr(at, piece));
    return pieces;
  };
  struct {
    const char *what;
    std::vector<std::string> reads;
    std::vector<std::string> messages;
    int result;  // of the last read
    const char *problem;
    size_t stopAt = 0;  // the callback stops the stream at this message (0: never)
  } const cases[] = {
      {"two in one read", {a + b}, {a, b}, kFrameOk, ""},
      {"split over two reads", {a.substr(0, 7), a.substr(7)}, {a}, kFrameOk, ""},
      {"byte by byte", cut(a + b, 1), {a, b}, kFrameOk, ""},
      {"largest message", cut(largest, 32767), {largest}, kFrameOk, ""},
      {"zero length word", {std::string(8, '\0')}, {}, kFrameBadLength, "length word 0"},
      {"beyond 1 MiB", {Be32(QDVP_WIRE_MAX_MESSAGE + 1) + "abc"}, {}, kFrameBadLength, "length"},
      {"all ones", {Be32(0xFFFFFFFF)}, {}, kFrameBadLength, "length"},
      {"good one before a broken length", {b + Be32(2)}, {b}, kFrameBadLength, "length"},
      {"callback stops", {b.substr(0, 7), b.substr(7) + a}, {b}, kFrameStopped, "", 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    DchReassembler reassembler(QDVP_WIRE_MAX_MESSAGE);
    std::vector<std::string> messages;
    std::string problem;
    int result = kFrameOk;
    for (const std::string &read : c.reads) {
      result = reassembler.Feed(
          reinterpret_cast<const unsigned char *>(read.data()), read.size(),
          [&](const unsigned char *m, size_t n) {
            messages.emplace_back(reinterpret_cast<const char *>(m), n);
            return messages.size() != c.stopAt;
          },
          &problem);
      if (result != kFrameOk) break;
    }
    EXPECT_EQ(result, c.result);
    EXPECT_TRUE(messages == c.messages) << messages.size() << " messages";
    EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    EXPECT_TRUE(result != kFrameOk || !reassembler.Partial());
  }
}

DchMessage Decode(const std::string &bytes, int expected = kDecodeOk) {
  DchMessage m;
  EXPECT_EQ(
      DchDecodeMessage(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), &m),
      expected);
  return m;
}

TEST(dch_DataMessage, ValuesDecodeByTypeLetterAndSize) {
  struct {
    char type;
    const char *hex, *json;  // value bytes, expected JSON
  } const cases[] = {
      {'C', "012C", "300"},
      {'G', "FFFE", "-2"},
      {'G', "FFFFFFFB", "-5"},
      {'A', "01020304", "16909060"},
      {'C', "7FFFFFFF", "2147483647"},
      // Counter, Average and Switch values are never negative: all 32 (or 16) bits count.
      {'C', "EE6B2800", "4000000000"},
      {'C', "FFFF", "65535"},
      {'A', "FFFFFFFF", "4294967295"},
      {'S', "8000", "32768"},
      {'G', "EE6B2800", "-294967296"},
      {'S', "0001", "1"},
      {'%', "00000043", "67"},
      {'#', "FFFFFF9C", "-100"},
      {'?', "0000000A", "10"},
      {'I', "8000", "-32768"},
      {'L', "80000000", "-2147483648"},
      {'D', "68656C6C6F", "\"hello\""},
      {'N', "2D31322E35", "\"-12.5\""},
      {'T', "31323631323035323131333231323030", "\"1261205211321200\""},
      {'G', "332E303030", "\"3.000\""},  // a real formula result is text
      {'G', "313233", "\"123\""},        // so is an integer letter of odd size
      {'D', "", "\"\""},
      {'D', "FFFE007A", "\"\xEF\xBF\xBD\xEF\xBF\xBD\\u0000z\""},  // invalid UTF-8 replaced
      // Texts longer than a word, with what must be escaped past its first eight bytes.
      {'D', "30313233343536373839616263646566", "\"0123456789abcdef\""},
      {'D', "3031323334353637383922", "\"0123456789\\\"\""},
      {'D', "303132333435363738395C", "\"0123456789\\\\\""},
      {'D', "30313233343536373F1F", "\"01234567?\\u001f\""},
      {'D', "303132333435363738397F", "\"0123456789\x7F\""},
      {'D', "7E20212324257B7D", "\"~ !#$%{}\""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(1, c.type) + " " + c.hex);
    DchMessage m = Decode(Msg(QDVP_REQ_DP_DATA)
                              .U32(QDVP_FIELD_DCH_HANDLE, 1)
                              .Value("A", c.type, Unhex(c.hex))
                              .Bytes());
    EXPECT_EQ(DchRowAttrsText(m), std::string("{\"A\":") + c.json + "}");
    EXPECT_EQ(DchJsonText(DchRowAttrsToJson(m)), DchRowAttrsText(m));  // the JSON lines too
    // Decoded in place, the row gives the same text.
    std::string bytes = Msg(QDVP_REQ_DP_DATA)
                            .U32(QDVP_FIELD_DCH_HANDLE, 1)
                            .Value("A", c.type, Unhex(c.hex))
                            .Bytes();
    DchRowView row;
    ASSERT_TRUE(
        DchDecodeRow(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), &row));
    std::string text;
    DchRowAttrsText(row.attributes, &text);
    EXPECT_EQ(text, DchRowAttrsText(m));
  }
}

TEST(dch_DataMessage, WireBytesGiveHandleSequenceAndRowInTheirOrder) {
  // request 0x1030, handle 1, data sequence 0, Cnt = C 300
  std::string bytes = Unhex(
      "00000030 0010 00000002 1030 0080 00000004 00000001 0070 00000002 0000"
      " 0050 00000003 436E74 0051 00000003 43 012C");
  DchMessage m = Decode(bytes);
  ASSERT_TRUE(m.request);
  EXPECT_EQ(*m.request, QDVP_REQ_DP_DATA);
  EXPECT_EQ(m.handle.value_or(0), 1u);
  EXPECT_EQ(m.dataSequence.value_or(-1), 0);
  EXPECT_EQ(DchRowAttrsText(m), "{\"Cnt\":300}");
  // A negative data sequence; several attributes keep their order.
  bytes = Msg(QDVP_REQ_DP_DATA)
              .U32(QDVP_FIELD_DCH_HANDLE, 0x01020304)
              .U16(QDVP_FIELD_DATA_SEQUENCE, 0xFFFF)
              .Value("Zeta", 'D', "z")
              .Value("Alpha", 'G', Be16(0xFF38))
              .Bytes();
  m = Decode(bytes);
  EXPECT_EQ(m.handle.value_or(0), 0x01020304u);
  EXPECT_EQ(m.dataSequence.value_or(0), -1);
  EXPECT_EQ(DchRowAttrsText(m), "{\"Zeta\":\"z\",\"Alpha\":-200}");
  m = Decode(Msg(QDVP_REQ_DP_DATA).U32(QDVP_FIELD_DCH_HANDLE, 9).Bytes());
  EXPECT_EQ(DchRowAttrsText(m), "{}");
  // A name that comes again replaces the first value in its place; a name is escaped.
  m = Decode(Msg(QDVP_REQ_DP_DATA)
                 .U32(QDVP_FIELD_DCH_HANDLE, 9)
                 .Value("A", 'D', "1")
                 .Value("B\"", 'D', "2")
                 .Value("A", 'D', "3")
                 .Bytes());
  EXPECT_EQ(DchRowAttrsText(m), "{\"A\":\"3\",\"B\\\"\":\"2\"}");
}

// The process test reads a registration back from the database; here, what it does not show:
// a time to live of all ones, descriptions and help per table, and every shape of description.
TEST(dch_Register, EachTableKeepsItsOwnFieldsAndDescriptionTextsGiveEntries) {
  DchMessage m = Decode(Msg(QDVP_REQ_DP_REGISTER)
                            .Text(QDVP_FIELD_APPL_NAME, "App")
                            .Text(QDVP_FIELD_TABLE_NAME, "T1")
                            .Text(QDVP_FIELD_HELP, "first table")
                            .U32(QDVP_FIELD_TTL, 0xFFFFFFFF)
                            .Text(QDVP_FIELD_ATTR_DESCRIPTIONS, "@$Busy,G,4, , ;Name,D,32, ,who;")
                            .Text(QDVP_FIELD_TABLE_NAME, "T2")
                            .U32(QDVP_FIELD_TTL, 1800)
                            .Text(QDVP_FIELD_ATTR_DESCRIPTIONS, "Id,C,4, , ;")
                            .Bytes());
  ASSERT_EQ(m.tables.size(), 2u);
  EXPECT_EQ(m.tables[0].help, "first table");
  EXPECT_EQ(m.tables[0].ttl.value_or(0), -1);
  EXPECT_EQ(m.tables[0].attributes.size(), 2u);
  EXPECT_EQ(m.tables[0].attributes[1].position, 1);
  EXPECT_EQ(m.tables[1].ttl.value_or(0), 1800);
  EXPECT_EQ(m.tables[1].attributes[0].name, "Id");
  EXPECT_TRUE(m.problems.empty());
  struct {
    const char *text;
    std::vector<std::string> expected;  // name|type|size|key|atomic|enum|help per entry
    bool problems;
  } const cases[] = {
      {"@$Busy,G,4, , ;", {"Busy|G|4|1|1||"}, false},
      {"State,S,2,ENUM{up=1,down=0},state;", {"State|S|2|0|0|ENUM{up=1,down=0}|state"}, false},
      {"A,D,8, ,one; two, three;B,G,4, , ;", {"A|D|8|0|0||one; two, three", "B|G|4|0|0||"}, false},
      {"$Node,D,32, ,node name;", {"Node|D|32|0|1||node name"}, false},
      {"", {}, false},
      {"X,C,2, , ; \0", {"X|C|2|0|0||"}, false},
      {"nonsense;Y,G,4, , ;", {"Y|G|4|0|0||"}, true},  // garbage entry skipped
      {"Z,G,four, , ;", {}, true},
      {"W,D,8, ,help", {"W|D|8|0|0||help"}, true},  // no closing ;
      {"V,D,8, ;", {"V|D|8|0|0||"}, true},          // no help part
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> problems, got;
    for (const auto &e : DchParseAttributeDescriptions(c.text, &problems)) {
      got.push_back(e.name + "|" + e.type + "|" + std::to_string(e.size) + "|" +
                    (e.key ? "1" : "0") + "|" + (e.atomic ? "1" : "0") + "|" + e.enumText + "|" +
                    e.help);
    }
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(!problems.empty(), c.problems);
  }
}

TEST(dch_Replies, StatusReplyWithAndWithoutHandle) {
  unsigned char reply[QDVP_AGENTLINK_STATUS_REPLY_MAX];
  unsigned char handle[4] = {0, 0, 1, 2};
  size_t n = QDVP_AgentLinkBuildStatusReply(reply, sizeof reply, 0, handle);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(reply), n),
            Unhex("00000018 0011 00000004 00000000 0080 00000004 00000102"));
  n = QDVP_AgentLinkBuildStatusReply(reply, sizeof reply, 7, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(reply), n),
            Unhex("0000000e 0011 00000004 00000007"));
  QDVP_AgentLinkAction action{"host1", QDVP_ACTION_SITUATION, "echo", 5, nullptr, "Sit1"};
  EXPECT_EQ(QDVP_AgentLinkBuildProvideAction(reply, 10, &action), 0u);  // does not fit
}

TEST(dch_BrokenMessages, AreRefusedWithoutReadingPastTheirEndOrHaveWhatIsUnknownNoted) {
  Decode("", kDecodeTooShort);
  Decode(Unhex("000000"), kDecodeTooShort);
  Decode(Unhex("00000008 00100000"), kDecodeBadField);               // header cut short
  Decode(Unhex("0000000C 0010 00000005 1030"), kDecodeBadField);     // data runs past the end
  Decode(Unhex("00000009 0010 00000002 10"), kDecodeTooShort);       // length word disagrees
  Decode(Unhex("00000004"), kDecodeNoRequest);                       // no fields at all
  Decode(Unhex("0000000D 0020 00000003 414243"), kDecodeNoRequest);  // first field a name
  Decode(Unhex("0000000B 0010 00000001 10"), kDecodeNoRequest);      // request code of 1 byte
  Decode(Unhex("00000012 0010 00000002 1030 0050 FFFFFFFF"), kDecodeBadField);
  // Unknown fields and wrong sizes are noted and skipped.
  std::string bytes = Msg(QDVP_REQ_DP_DATA)
                          .Raw(0x7777, "xyz")
                          .Raw(QDVP_FIELD_DCH_HANDLE, "12")
                          .Raw(QDVP_FIELD_ATTR_VALUE, "G1234")
                          .Text(QDVP_FIELD_ATTR_NAME, "Dangling")
                          .Bytes();
  DchMessage m = Decode(bytes);
  ASSERT_EQ(m.unknown.size(), 1u);
  EXPECT_EQ(m.unknown[0].code, 0x7777);
  EXPECT_EQ(m.unknown[0].length, 3u);
  EXPECT_FALSE(m.handle);
  EXPECT_TRUE(m.attributes.empty());
  EXPECT_EQ(m.problems.size(), 3u);
  std::string json = DchJsonText(DchMessageToJson(m));
  EXPECT_NE(json.find("\"unknown_fields\":[{\"code\":\"0x7777\",\"length\":3}]"),
            std::string::npos);
}

}  // namespace
