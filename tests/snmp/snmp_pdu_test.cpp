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

#include "core/support/qdv0.h"
#include "include/qdvp_services.h"
#include "include/qdvp_snmp.h"
#include "tests/support/qdvptest.h"
#include "tests/support/snmpagent.h"

#include <map>
#include <vector>

namespace {

std::string Hex(const unsigned char *p, size_t n) {
  static const char *d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) s += std::string{d[p[i] >> 4], d[p[i] & 15]};
  return s;
}

std::string Bytes(const std::string &hex) {
  std::string b;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) b += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return b;
}

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
  EXPECT_EQ(Hex(out, n),
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
    std::string hex = c.value;
    hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
    std::string message = Answer(Bytes(hex));
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
    if (c.type != 'D') got = Hex(reinterpret_cast<const unsigned char *>(got.data()), got.size());
    EXPECT_EQ(got, c.want);
  }
}

// Answers that fail a check are refused, and every cut of a good answer is refused without a
// read past it.
TEST(SnmpPdu, AnswersThatFailTheChecksAreRefused) {
  std::string good = Answer(Bytes("0500"));
  int status = 0;
  EXPECT_GT(QDVP_SNMPverifyResponsePDU(reinterpret_cast<const unsigned char *>(good.data()),
                                       good.size(), 7, &status, nullptr), 0u);
  std::string v2c = good;
  v2c[4] = 1;  // version 2c
  std::string errorStatus = good;
  errorStatus[good.find(Bytes("020100"), 15) + 2] = 2;  // noSuchName
  struct {
    std::string message;
    int32_t id;
    int status;
  } bad[] = {{v2c, 7, 0}, {Answer(Bytes("0500"), QDVP_SNMP_GET), 7, 0}, {good, 8, 0},
             {errorStatus, 7, 2}, {"garbage", 7, 0}, {std::string(64 * 1024, '\x30'), 7, 0}};
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

// The answer is taken from the polled agent only; an agent that says nothing is a time-out.
TEST(SnmpPdu, OnlyThePolledAgentIsHeard) {
  TEST_QDVP_SetSNMPwaitMs(300, 300);
  sockaddr_in agentAddress, otherAddress, mine;
  int agent = qdvp_test::BoundLoopbackUdp(&agentAddress), other = qdvp_test::BoundLoopbackUdp(&otherAddress), me = qdvp_test::BoundLoopbackUdp(&mine);
  std::string answer = Answer(Bytes("0500"));
  std::thread reply([&] {
    char buffer[2048];
    sockaddr_in from{};
    socklen_t n = sizeof(from);
    recvfrom(agent, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr *>(&from), &n);
    sendto(other, "not the agent", 13, 0, reinterpret_cast<sockaddr *>(&from), n);
    sendto(agent, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr *>(&from), n);
  });
  unsigned char buffer[QDVP_SNMP_MESSAGE_SIZE];
  memcpy(buffer, "request", 7);
  EXPECT_EQ(QDVP_SNMPsendAndReceivePDU(me, buffer, 7, sizeof(buffer), &agentAddress, 0),
            static_cast<int>(answer.size()));
  reply.join();
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), answer.size()), answer);
  EXPECT_EQ(QDVP_SNMPsendAndReceivePDU(me, buffer, 7, sizeof(buffer), &agentAddress, 0), 0);
  TEST_QDVP_SetSNMPwaitMs(-1, -1);
  close(agent), close(other), close(me);
}

// The wait adapts: a time-out once 50 requests went out and fewer than half were answered
// raises SendPDUwait by one second, up to 25, and starts the counts again.
TEST(SnmpPdu, UnansweredRequestsRaiseTheWaitUpToItsCeiling) {
  TEST_QDVP_SetSNMPwaitMs(1, 1);
  sockaddr_in agentAddress, mine;
  int agent = qdvp_test::BoundLoopbackUdp(&agentAddress), me = qdvp_test::BoundLoopbackUdp(&mine);
  unsigned char buffer[QDVP_SNMP_MESSAGE_SIZE];
  int wait, sent, received, before;
  QDVP_SNMPwaitCounters(&before, nullptr, nullptr);
  for (int raised = 0; raised < 30; raised++) {
    // One answered request, then silence until the counts start again.
    std::thread reply([&] {
      char in[64];
      sockaddr_in from{};
      socklen_t n = sizeof(from);
      recvfrom(agent, in, sizeof(in), 0, reinterpret_cast<sockaddr *>(&from), &n);
      sendto(agent, "answer", 6, 0, reinterpret_cast<sockaddr *>(&from), n);
    });
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
    while (recv(agent, buffer, sizeof(buffer), MSG_DONTWAIT) > 0) {
    }
  }
  TEST_QDVP_SetSNMPwaitMs(-1, -1);
  close(agent), close(me);
}

}  // namespace

// A real agent: net-snmp's snmpd on a private loopback port. Our get requests are answered
// with the values snmpget reports; a wrong community gets no answer at all.
class RealAgent : public testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/sbin/snmpd", X_OK) != 0) GTEST_SKIP() << "snmpd is not installed";
    port_ = qdvp_test::FreePort();
    dir_.Write("snmpd.conf", "agentaddress udp:127.0.0.1:" + std::to_string(port_) +
                                 "\nrocommunity qdvptest 127.0.0.1\n"
                                 "sysDescr qdvp test agent\nsysLocation lab\n");
    agent_ = std::make_unique<qdvp_test::Child>(
        std::vector<std::string>{"/usr/sbin/snmpd", "-f", "-C", "-c", dir_.File("snmpd.conf"),
                                 "-I", "-smux", "-Lf", dir_.File("snmpd.log"), "-p",
                                 dir_.File("snmpd.pid")},
        std::map<std::string, std::string>{{"SNMP_PERSISTENT_DIR", dir_.path()}, {"MIBS", ""}},
        dir_.path());
    address_ = qdvp_test::Loopback(port_);
    socket_ = qdvp_test::BoundLoopbackUdp(&mine_);
    TEST_QDVP_SetSNMPwaitMs(200, 200);
    ASSERT_TRUE(qdvp_test::WaitFor([&] { return Get("1.3.6.1.2.1.1.5.0", "qdvptest") != "-"; },
                                   std::chrono::seconds(10)))
        << qdvp_test::ReadFile(dir_.File("snmpd.log"));
  }
  void TearDown() override {
    TEST_QDVP_SetSNMPwaitMs(-1, -1);
    if (socket_ >= 0) close(socket_);
  }
  // The value of one variable as a display attribute, or "-" for no answer.
  std::string Get(const std::string &oidText, const char *community) {
    unsigned char oid[64], buffer[QDVP_SNMP_MESSAGE_SIZE];
    size_t o = QDV0_FormatOIDfromString(oidText.c_str(), oid, sizeof(oid));
    int32_t id = ++id_;
    size_t n = QDVP_SNMPconstructPDUbuffer(buffer, sizeof(buffer), QDVP_SNMP_GET, oid, o, nullptr,
                                           0, id, community);
    int got = QDVP_SNMPsendAndReceivePDU(socket_, buffer, n, sizeof(buffer), &address_, 0);
    if (got <= 0) return "-";
    size_t list = QDVP_SNMPverifyResponsePDU(buffer, static_cast<size_t>(got), id, nullptr,
                                             nullptr);
    int tag;
    const unsigned char *contents;
    size_t length;
    if (list == 0 ||
        QDV0_ExtractBERfield(buffer, static_cast<size_t>(got), list, &tag, &contents, &length) == 0)
      return "bad";
    Attr attr('D', 128);
    char name[128];
    size_t next;
    QDVP_SNMPloadAttributeFromBER(buffer, static_cast<size_t>(got), contents - buffer, attr.a(),
                                  name, sizeof(name), &next);
    return attr.Text();
  }
  // What snmpget prints as the value (-Oqv).
  std::string SnmpGet(const std::string &oid) {
    std::string out;
    qdvp_test::Run({"/usr/bin/snmpget", "-v1", "-c", "qdvptest", "-Oqvn", "-On",
                    "127.0.0.1:" + std::to_string(port_), oid},
                   {{"MIBS", ""}}, &out);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    if (out.size() >= 2 && out.front() == '"') out = out.substr(1, out.size() - 2);
    return out;
  }
  qdvp_test::TempDir dir_;
  std::unique_ptr<qdvp_test::Child> agent_;
  sockaddr_in address_{}, mine_{};
  int port_ = 0, socket_ = -1;
  int32_t id_ = 100;
};

TEST_F(RealAgent, AnswersMatchSnmpget) {
  EXPECT_EQ(Get("1.3.6.1.2.1.1.1.0", "qdvptest"), "qdvp test agent");
  EXPECT_EQ(Get("1.3.6.1.2.1.1.6.0", "qdvptest"), SnmpGet("1.3.6.1.2.1.1.6.0"));
  EXPECT_EQ(Get("1.3.6.1.2.1.1.2.0", "qdvptest"), SnmpGet("1.3.6.1.2.1.1.2.0").substr(1));
  EXPECT_EQ(Get("1.3.6.1.2.1.1.1.0", "wrong"), "-");  // no answer at all
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
