// Reassembly of agent link messages from a byte stream: several messages in one read, one
// message over several reads, and length words that break the stream.
#include <gtest/gtest.h>

#include "include/qdvp_agentlink.h"
#include "tests/support/dchpeer.h"
#include "tools/dch/dchframe.h"

using namespace qdvp_dch;

namespace {

class Collector {
 public:
  DchReassembler reassembler{QDVP_WIRE_MAX_MESSAGE};
  std::vector<std::string> messages;
  int Feed(const std::string &bytes, std::string *problem = nullptr) {
    std::string ignored;
    return reassembler.Feed(
        reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(),
        [this](const unsigned char *m, size_t n) {
          messages.emplace_back(reinterpret_cast<const char *>(m), n);
          return true;
        },
        problem ? problem : &ignored);
  }
};

TEST(dch_Reassembly, TwoMessagesInOneReadAreBothDelivered) {
  Collector c;
  std::string a = dch_test::OnlineMsg("A", "T", "s"), b = dch_test::OfflineMsg(3);
  EXPECT_EQ(c.Feed(a + b), kFrameOk);
  ASSERT_EQ(c.messages.size(), 2u);
  EXPECT_EQ(c.messages[0], a);
  EXPECT_EQ(c.messages[1], b);
  EXPECT_FALSE(c.reassembler.Partial());
}

TEST(dch_Reassembly, MessageSplitOverTwoReadsIsDeliveredOnceComplete) {
  Collector c;
  std::string a = dch_test::DataMsg(1, 0, "Busy", 300);
  EXPECT_EQ(c.Feed(a.substr(0, 7)), kFrameOk);
  EXPECT_TRUE(c.messages.empty());
  EXPECT_TRUE(c.reassembler.Partial());
  EXPECT_EQ(c.Feed(a.substr(7)), kFrameOk);
  ASSERT_EQ(c.messages.size(), 1u);
  EXPECT_EQ(c.messages[0], a);
  EXPECT_FALSE(c.reassembler.Partial());
}

TEST(dch_Reassembly, ByteByByteAndTailOfNextMessage) {
  Collector c;
  std::string a = dch_test::DataMsg(1, 0, "Busy", 1), b = dch_test::DataMsg(1, 16, "Busy", 2);
  std::string all = a + b;
  for (size_t i = 0; i + 3 < all.size(); i++) EXPECT_EQ(c.Feed(all.substr(i, 1)), kFrameOk);
  EXPECT_EQ(c.messages.size(), 1u);
  EXPECT_EQ(c.Feed(all.substr(all.size() - 3)), kFrameOk);
  ASSERT_EQ(c.messages.size(), 2u);
  EXPECT_EQ(c.messages[1], b);
}

TEST(dch_Reassembly, ZeroLengthWordBreaksTheStream) {
  Collector c;
  std::string problem;
  EXPECT_EQ(c.Feed(std::string(8, '\0'), &problem), kFrameBadLength);
  EXPECT_NE(problem.find("length word 0"), std::string::npos);
}

TEST(dch_Reassembly, LengthBeyondOneMebibyteBreaksTheStreamWithoutBuffering) {
  Collector c;
  std::string problem;
  EXPECT_EQ(c.Feed(dch_test::Be32(QDVP_WIRE_MAX_MESSAGE + 1) + "abc", &problem), kFrameBadLength);
  EXPECT_EQ(c.Feed(dch_test::Be32(0xFFFFFFFF)), kFrameBadLength);
  EXPECT_TRUE(c.messages.empty());
}

TEST(dch_Reassembly, GoodMessageBeforeABrokenLengthIsStillDelivered) {
  Collector c;
  std::string a = dch_test::OfflineMsg(1);
  EXPECT_EQ(c.Feed(a + dch_test::Be32(2)), kFrameBadLength);
  EXPECT_EQ(c.messages.size(), 1u);
}

TEST(dch_Reassembly, LargestMessageIsAccepted) {
  Collector c;
  std::string big =
      dch_test::Be32(QDVP_WIRE_MAX_MESSAGE) + std::string(QDVP_WIRE_MAX_MESSAGE - 4, 'x');
  for (size_t at = 0; at < big.size(); at += 32767)
    EXPECT_EQ(c.Feed(big.substr(at, 32767)), kFrameOk);
  ASSERT_EQ(c.messages.size(), 1u);
  EXPECT_EQ(c.messages[0].size(), static_cast<size_t>(QDVP_WIRE_MAX_MESSAGE));
}

TEST(dch_Reassembly, CallbackCanStopTheStream) {
  DchReassembler r(QDVP_WIRE_MAX_MESSAGE);
  std::string two = dch_test::OfflineMsg(1) + dch_test::OfflineMsg(2);
  int calls = 0;
  std::string problem;
  EXPECT_EQ(r.Feed(
                reinterpret_cast<const unsigned char *>(two.data()), two.size(),
                [&](const unsigned char *, size_t) { return ++calls < 1; }, &problem),
            kFrameStopped);
  EXPECT_EQ(calls, 1);
}

}  // namespace
