// The metafile server's wire: how a request is split and which names are refused, and how the
// client's reader puts a reply together whatever pieces it arrives in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "metaserver/qdvpmswr.h"

namespace {

using Strings = std::vector<std::string>;

TEST(MetaRequest, IsSplitAtBlanksAndRefusesNamesThatCouldLeaveTheDirectory) {
  struct Case {
    std::string request;
    MetaRequestKind kind;
    std::string name;
  } cases[] = {
      {"GETMETA app.mdl", QDVP_MSRV_REQ_GETMETA, "app.mdl"},
      {"  GETMETA\tapp.mdl  extra\n", QDVP_MSRV_REQ_GETMETA, "app.mdl"},
      {"GETMETA", QDVP_MSRV_REQ_NO_NAME, ""},
      {"GETMETA   ", QDVP_MSRV_REQ_NO_NAME, ""},
      {"getmeta app", QDVP_MSRV_REQ_INVALID, ""},
      {"", QDVP_MSRV_REQ_INVALID, ""},
      {"GETMETAX app", QDVP_MSRV_REQ_INVALID, ""},
      {"GETMETA ../app", QDVP_MSRV_REQ_REFUSED, "../app"},
      {"GETMETA a..b", QDVP_MSRV_REQ_REFUSED, "a..b"},
      {"GETMETA /etc/passwd", QDVP_MSRV_REQ_REFUSED, "/etc/passwd"},
      {"GETMETA sub/app", QDVP_MSRV_REQ_REFUSED, "sub/app"},
      {"GETMETA sub\\app", QDVP_MSRV_REQ_REFUSED, "sub\\app"},
      {"GETMETA .hidden", QDVP_MSRV_REQ_REFUSED, ".hidden"},
      {"GETMETA &memory", QDVP_MSRV_REQ_REFUSED, "&memory"},
      {"GETMETA a\x01" "b", QDVP_MSRV_REQ_REFUSED, "a\x01" "b"},
      {std::string("GETMETA ab\0/../x", 16), QDVP_MSRV_REQ_REFUSED, "ab"},
      {"GETMETA " + std::string(201, 'a'), QDVP_MSRV_REQ_REFUSED, std::string(200, 'a')},
      {"GETMETA " + std::string(248, 'a'), QDVP_MSRV_REQ_REFUSED, std::string(200, 'a')},
      {"GETMETA " + std::string(200, 'a'), QDVP_MSRV_REQ_GETMETA, std::string(200, 'a')},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.request.substr(0, 40));
    std::string name;
    const char *why = nullptr;
    EXPECT_EQ(QDVP_ParseMetaRequest(c.request.data(), c.request.size(), &name, &why), c.kind);
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(c.kind == QDVP_MSRV_REQ_REFUSED, why != nullptr && why[0] != '\0');
  }
}

// A reply as its pieces arrive, complete or not; every case is fed whole, byte by byte and in
// pieces of seven bytes, with the same outcome.
TEST(MetaReplyReader, PutsAReplyTogetherByItsRecordCount) {
  struct Case {
    std::string reply;
    MetaReplyReader::State state;
    int status;
    Strings records;
  } cases[] = {
      {"0 \n2 \n//APPL A\nx D 8\n", MetaReplyReader::kComplete, 0, {"//APPL A", "x D 8"}},
      {"0 \n2 \n//APPL A\nx D 8\nextra", MetaReplyReader::kComplete, 0, {"//APPL A", "x D 8"}},
      {"0 \n2 \n\n\n", MetaReplyReader::kComplete, 0, {"", ""}},
      {"0 \n2 \n//APPL A\nx D 8", MetaReplyReader::kIncomplete, 0, {}},
      {"0 \n2 \n//APPL A\n", MetaReplyReader::kIncomplete, 0, {}},
      {"0 \n", MetaReplyReader::kIncomplete, 0, {}},
      {"", MetaReplyReader::kIncomplete, 0, {}},
      {"1 \n", MetaReplyReader::kComplete, 1, {}},
      {"1 \n0 \nrest", MetaReplyReader::kComplete, 1, {}},
      {"-7\n", MetaReplyReader::kComplete, -7, {}},
      {"0 \n0 \n", MetaReplyReader::kMalformed, 0, {}},
      {"0 \n-1 \n", MetaReplyReader::kMalformed, 0, {}},
      {"0 \n\n", MetaReplyReader::kMalformed, 0, {}},
      {"0 \n2x\n", MetaReplyReader::kMalformed, 0, {}},
      {"0 \n9999999999 \n", MetaReplyReader::kMalformed, 0, {}},
      {"0 \n999999 \n", MetaReplyReader::kMalformed, 0, {}},
      {"ok\n", MetaReplyReader::kMalformed, 0, {}},
      {" \n", MetaReplyReader::kMalformed, 0, {}},
      {std::string(40, '0'), MetaReplyReader::kMalformed, 0, {}},
  };
  for (const Case &c : cases) {
    for (size_t piece : {c.reply.size() + 1, size_t{1}, size_t{7}}) {
      SCOPED_TRACE(c.reply.substr(0, 30) + " in pieces of " + std::to_string(piece));
      MetaReplyReader reader;
      for (size_t at = 0; at < c.reply.size(); at += piece) {
        reader.Feed(c.reply.data() + at, std::min(piece, c.reply.size() - at));
      }
      EXPECT_EQ(reader.state(), c.state);
      if (c.state != MetaReplyReader::kComplete) continue;
      EXPECT_EQ(reader.status(), c.status);
      EXPECT_EQ(reader.records(), c.records);
    }
  }
}

// A reply is held to QDVP_MSRV_REPLY_MAX bytes, whatever its count line promises.
TEST(MetaReplyReader, RefusesAReplyLongerThanItsBound) {
  MetaReplyReader reader;
  std::string header = "0 \n100000 \n", line(4096, 'x');
  line.back() = '\n';
  reader.Feed(header.data(), header.size());
  size_t fed = header.size();
  while (reader.state() == MetaReplyReader::kIncomplete && fed < 2 * QDVP_MSRV_REPLY_MAX) {
    reader.Feed(line.data(), line.size());
    fed += line.size();
  }
  EXPECT_EQ(reader.state(), MetaReplyReader::kMalformed);
  EXPECT_LE(fed, QDVP_MSRV_REPLY_MAX + line.size());
  EXPECT_TRUE(reader.records().empty());
}

}  // namespace
