// Reassembly of agent link messages from a byte stream: several messages in one read, one
// message over several reads, and length words that break the stream.
#include <gtest/gtest.h>

#include "include/qdvp_agentlink.h"
#include "tests/support/dchpeer.h"
#include "tools/dch/dchframe.h"

using namespace qdvp_dch;
using dch_test::Be32;

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
  } const cases[] = {
      {"two in one read", {a + b}, {a, b}, kFrameOk, ""},
      {"split over two reads", {a.substr(0, 7), a.substr(7)}, {a}, kFrameOk, ""},
      {"byte by byte", cut(a + b, 1), {a, b}, kFrameOk, ""},
      {"largest message", cut(largest, 32767), {largest}, kFrameOk, ""},
      {"zero length word", {std::string(8, '\0')}, {}, kFrameBadLength, "length word 0"},
      {"beyond 1 MiB", {Be32(QDVP_WIRE_MAX_MESSAGE + 1) + "abc"}, {}, kFrameBadLength, "length"},
      {"all ones", {Be32(0xFFFFFFFF)}, {}, kFrameBadLength, "length"},
      {"good one before a broken length", {b + Be32(2)}, {b}, kFrameBadLength, "length"},
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
            return true;
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

TEST(dch_Reassembly, PartialMessageIsKeptAndTheCallbackCanStopTheStream) {
  DchReassembler r(QDVP_WIRE_MAX_MESSAGE);
  std::string two = dch_test::OfflineMsg(1) + dch_test::OfflineMsg(2), problem;
  int calls = 0;
  auto stopAtFirst = [&](const unsigned char *, size_t) { return ++calls < 1; };
  EXPECT_EQ(r.Feed(reinterpret_cast<const unsigned char *>(two.data()), 7, stopAtFirst, &problem),
            kFrameOk);
  EXPECT_TRUE(r.Partial());
  EXPECT_EQ(r.Feed(reinterpret_cast<const unsigned char *>(two.data()) + 7, two.size() - 7,
                   stopAtFirst, &problem),
            kFrameStopped);
  EXPECT_EQ(calls, 1);
}

}  // namespace
