// SNMP version 1 messages: a request byte for byte, answers that pass or fail the checks, each
// value type into each attribute form, and the wait for the polled agent on loopback (an answer
// from another port is ignored, no answer is a time-out).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp_services.h"
#include "include/qdvp_snmp.h"
#include "tests/support/dchpeer.h"
#include "tests/support/qdvptest.h"
#include "tests/support/snmpagent.h"

namespace {

using dch_test::Hex;
using dch_test::Unhex;

struct Attr {
  explicit Attr(char type, int size) : block(static_cast<char *>(calloc(1, QDVP_AttrEntrySize(size)))) {
    a()->Type = type;
    a()->MaxValSize = size;
    snprintf(a()->Name, sizeof(a()->Name), "Value");
  }
  ~Attr() { free(block); }
  AttrEntry *a() { return reinterpret_cast<AttrEntry *>(block); }
  std::string Text() { return std::string(a()->Value, static_cast<size_t>(a()->ActualValSize)); }
  char *block;
};

// An answer to request 7 whose one binding is sysDescr.0 with the given encoded value.
std::string Answer(const std::string &value, int pdu = QDVP_SNMP_RESPONSE, int32_t id = 7) {
  unsigned char oid[32], out[QDVP_SNMP_MESSAGE_SIZE];
  size_t o = QDV0_FormatOIDfromString("1.3.6.1.2.1.1.1.0", oid, sizeof(oid));
  size_t n = QDVP_SNMPconstructPDUbuffer(out, sizeof(out), pdu, oid, o,
                                         reinterpret_cast<const unsigned char *>(value.data()),
                                         value.size(), id, "public");
  return std::string(reinterpret_cast<char *>(out), n);
}

TEST(SnmpPdu, GetRequestIsTheWellKnownMessage) {
  unsigned char oid[32], out[QDVP_SNMP_MESSAGE_SIZE];
  size_t o = QDV0_FormatOIDfromString("1.3.6.1.2.1.1.1.0", oid, sizeof(oid));
  size_t n = QDVP_SNMPconstructPDUbuffer(out, sizeof(out), QDVP_SNMP_GET, oid, o, nullptr, 0, 1,
                                         "public");
  EXPECT_EQ(Hex(std::string(reinterpret_cast<char *>(out), n)),
            "302602010004067075626c6963a019020101020100020100300e300c06082b060102010101000500");
  EXPECT_EQ(QDVP_SNMPconstructPDUbuffer(out, 20, QDVP_SNMP_GET, oid, o, nullptr, 0, 1, "public"),
            0u);
}

// Each value type into each attribute form; a value that cannot be stored leaves nothing.
TEST(SnmpPdu, ValuesLoadByTypeAndAttributeForm) {
  struct Case {
    std::string value;  // encoded value field, hex
    char type;
    int size;
    int stored;
    std::string want;  // text, or hex of the binary value when the attribute is not D
  } cases[] = {
      {"040768656c6c6f0d0a", 'D', 16, 1, "hello  "},
      {"040300ff41", 'D', 16, 1, "00FF41"},
      {"040300ff41", 'D', 4, 1, "00FF"},
      {"0603 2b0601", 'D', 16, 1, "1.3.6.1"},
      {"40047f000001", 'D', 16, 1, "127.0.0.1"},
      {"0204ffffff9c", 'D', 16, 1, "-100"},
      {"4104fffffff0", 'D', 16, 1, "4294967280"},
      {"410500ffffffff", 'D', 16, 1, "4294967295"},
      {"420480000000", 'D', 16, 1, "-2147483648"},
      {"020500ffffffff", 'D', 16, 0, ""},
      {"430401020304", 'G', 4, 1, "01020304"},
      {"02021234", 'C', 2, 1, "1234"},
      {"4101ff", 'C', 8, 0, ""},
      {"0500", 'D', 16, 0, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.value);
    std::string message = Answer(Unhex(c.value));
    auto *m = reinterpret_cast<const unsigned char *>(message.data());
    int status = -1, index = -1;
    size_t list = QDVP_SNMPverifyResponsePDU(m, message.size(), 7, &status, &index);
    ASSERT_GT(list, 0u);
    EXPECT_EQ(status, 0);
    int tag;
    const unsigned char *contents;
    size_t n;
    ASSERT_NE(QDV0_ExtractBERfield(m, message.size(), list, &tag, &contents, &n), 0u);
    Attr attr(c.type, c.size);
    char oid[128];
    size_t next = 0;
    EXPECT_EQ(QDVP_SNMPloadAttributeFromBER(m, message.size(), contents - m, attr.a(), oid,
                                            sizeof(oid), &next),
              c.stored);
    EXPECT_STREQ(oid, "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(next, message.size());
    std::string got = attr.Text();
    if (c.type != 'D') got = Hex(got);
    EXPECT_EQ(got, c.want);
  }
}

// Answers that fail a check are refused, and every cut of a good answer is refused without a
// read past it.
TEST(SnmpPdu, AnswersThatFailTheChecksAreRefused) {
  std::string good = Answer(Unhex("0500"));
  int status = 0;
  EXPECT_GT(QDVP_SNMPverifyResponsePDU(reinterpret_cast<const unsigned char *>(good.data()),
                                       good.size(), 7, &status, nullptr), 0u);
  std::string v2c = good;
  v2c[4] = 1;  // version 2c
  std::string errorStatus = good;
  errorStatus[good.find(Unhex("020100"), 15) + 2] = 2;  // noSuchName
  struct {
    std::string message;
    int32_t id;
    int status;
  } bad[] = {{v2c, 7, 0},       {Answer(Unhex("0500"), QDVP_SNMP_GET), 7, 0},
             {good, 8, 0},      {errorStatus, 7, 2},
             {"garbage", 7, 0}, {std::string(64 * 1024, '\x30'), 7, 0}};
  for (auto &c : bad) {
    int got = -1;
    EXPECT_EQ(QDVP_SNMPverifyResponsePDU(reinterpret_cast<const unsigned char *>(c.message.data()),
                                         c.message.size(), c.id, &got, nullptr), 0u);
    EXPECT_EQ(got, c.status);
  }
  for (size_t cut = 0; cut < good.size(); cut++) {
    std::unique_ptr<unsigned char[]> copy(new unsigned char[cut + 1]);
    memcpy(copy.get(), good.data(), cut);
    EXPECT_EQ(QDVP_SNMPverifyResponsePDU(copy.get(), cut, 7, nullptr, nullptr), 0u) << cut;
  }
}

// Trap destination lists: the entries are the commas plus the text after the last one; each is
// an address and port (162 unless named), or zero when it does not resolve.
TEST(SnmpPdu, TrapDestinationLists) {
  const struct {
    const char *text;
    std::vector<std::string> expected;  // "address:port", "0.0.0.0" for an unresolved entry
  } cases[] = {
      {"", {}},
      {"   ", {}},
      {"127.0.0.1", {"127.0.0.1:162"}},
      {"  127.0.0.1:1234,127.0.0.2", {"127.0.0.1:1234", "127.0.0.2:162"}},
      {"no.such.host.invalid, 127.0.0.3,", {"0.0.0.0", "127.0.0.3:162"}},
      {",127.0.0.1", {"0.0.0.0", "127.0.0.1:162"}},
      {"127.0.0.1:99999", {"0.0.0.0"}},
  };
  for (const auto &c : cases) {
    int count = -1;
    TrapDest *array = QDVP_ConstructTrapDestinationArray(c.text, &count);
    std::vector<std::string> got;
    for (int i = 0; i < count; i++) {
      char dotted[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &array[i].Address.sin_addr, dotted, sizeof(dotted));
      got.push_back(array[i].Address.sin_addr.s_addr == 0
                        ? std::string(dotted)
                        : std::string(dotted) + ":" + std::to_string(ntohs(array[i].Address.sin_port)));
    }
    EXPECT_EQ(got, c.expected) << c.text;
    EXPECT_EQ(array == nullptr, c.expected.empty()) << c.text;
    QDVP_ReleaseTrapDestinationArray(array);
  }
}

// Answers the next datagram that reaches agent with answer, after a datagram from decoy when
// there is one.
std::thread AnswerOnce(int agent, std::string answer, int decoy = -1) {
  return std::thread([=] {
    char in[2048];
    sockaddr_in from{};
    socklen_t n = sizeof(from);
    recvfrom(agent, in, sizeof(in), 0, reinterpret_cast<sockaddr *>(&from), &n);
    if (decoy >= 0) sendto(decoy, "not the agent", 13, 0, reinterpret_cast<sockaddr *>(&from), n);
    sendto(agent, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr *>(&from), n);
  });
}

// The answer is taken from the polled agent only; an agent that says nothing is a time-out.
// The wait adapts: a time-out once 50 requests went out and fewer than half were answered
// raises SendPDUwait by one second, up to 25, and starts the counts again.
TEST(SnmpPdu, OnlyThePolledAgentIsHeardAndSilenceRaisesTheWait) {
  TEST_QDVP_SetSNMPwaitMs(300, 300);
  sockaddr_in agentAddress, otherAddress, mine;
  int agent = qdvp_test::BoundLoopbackUdp(&agentAddress),
      other = qdvp_test::BoundLoopbackUdp(&otherAddress), me = qdvp_test::BoundLoopbackUdp(&mine);
  std::string answer = Answer(Unhex("0500"));
  std::thread reply = AnswerOnce(agent, answer, other);
  unsigned char buffer[QDVP_SNMP_MESSAGE_SIZE];
  memcpy(buffer, "request", 7);
  EXPECT_EQ(QDVP_SNMPsendAndReceivePDU(me, buffer, 7, sizeof(buffer), &agentAddress, 0),
            static_cast<int>(answer.size()));
  reply.join();
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), answer.size()), answer);
  EXPECT_EQ(QDVP_SNMPsendAndReceivePDU(me, buffer, 7, sizeof(buffer), &agentAddress, 0), 0);

  int wait, sent, received, before;
  QDVP_SNMPwaitCounters(&before, nullptr, nullptr);
  for (int raised = 0; raised < 30; raised++) {
    while (recv(agent, buffer, sizeof(buffer), MSG_DONTWAIT) > 0) {
    }
    // One answered request, then silence until the counts start again.
    reply = AnswerOnce(agent, "answer");
    TEST_QDVP_SetSNMPwaitMs(2000, 2000);
    memcpy(buffer, "request", 7);
    ASSERT_EQ(QDVP_SNMPsendAndReceivePDU(me, buffer, 7, sizeof(buffer), &agentAddress, 0), 6);
    reply.join();
    TEST_QDVP_SetSNMPwaitMs(1, 1);
    for (int i = 0; i < 60; i++) {
      memcpy(buffer, "request", 7);
      EXPECT_EQ(QDVP_SNMPsendAndReceivePDU(me, buffer, 7, sizeof(buffer), &agentAddress, 0), 0);
      QDVP_SNMPwaitCounters(&wait, &sent, &received);
      if (sent == 0) break;
    }
    ASSERT_EQ(sent, 0);
    ASSERT_EQ(received, 0);
    EXPECT_EQ(wait, std::min(25, before + raised + 1));
  }
  TEST_QDVP_SetSNMPwaitMs(-1, -1);
  close(agent), close(other), close(me);
}

// The community and network name files: comments, lines without a second word, the first line
// of a node winning, networks completed to four parts, a missing file keeping what was loaded.
TEST(SnmpFiles, CommunitiesAndNetworkNames) {
  qdvp_test::TempDir dir;
  qdvp_test::EnvGuard env;
  env.Set("QDVP_HOME", dir.path());
  env.Set("QDVP_PRODUCT_SPEC", std::nullopt);
  QDV0_InitializeProductSpec();
  dir.Write("qdvpcomm.cfg",
            "* a comment\n127.0.0.2 second\n127.0.0.1   first extra words\n127.0.0.1 later\n"
            "127.0.0.3\n  *127.0.0.4 notacomment\nno.such.host.invalid x\n10.0.0.1 ten\n");
  EXPECT_EQ(QDVP_LoadSNMPcommunityName(), 4);
  auto community = [](const char *dotted) {
    in_addr a;
    inet_pton(AF_INET, dotted, &a);
    char *c = QDVP_LocateSNMPnodeCommunityName(&a);
    std::string text = c ? c : "-";
    QDV0_Free(c);
    return text;
  };
  EXPECT_EQ(community("127.0.0.1"), "first");
  EXPECT_EQ(community("127.0.0.2"), "second");
  EXPECT_EQ(community("127.0.0.3"), "-");
  EXPECT_EQ(community("10.0.0.1"), "ten");
  dir.Write("qdvpname.cfg", "10.1 lab\n192.168.7.0 office\n300.1 bad\n10.2.3.4.5 bad\n");
  EXPECT_EQ(QDVP_LoadSNMPNetworkName(), 2);
  char *lab = QDVP_LocateNetworkBySymbolicName("lab");
  EXPECT_STREQ(lab, "10.1.0.0");
  QDV0_Free(lab);
  in_addr office;
  inet_pton(AF_INET, "192.168.7.0", &office);
  char *name = QDVP_LocateSNMPnetworkSymbolicName(&office);
  EXPECT_STREQ(name, "office");
  QDV0_Free(name);
  unlink(dir.File("qdvpcomm.cfg").c_str());
  EXPECT_EQ(QDVP_LoadSNMPcommunityName(), -1);
  EXPECT_EQ(community("127.0.0.1"), "first");
  QDVP_FreeSNMPcommunityNameList();
  QDVP_FreeSNMPNetworkNameList();
  EXPECT_EQ(community("127.0.0.1"), "-");
}

}  // namespace
