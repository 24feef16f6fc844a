// The bytes the data provider puts on the agent link, checked without a network: the
// transport is replaced by one that records every send and answers from a script of
// statuses. Registration text, rows with formulas, the small requests and their repeats on
// status 7, stand-alone mode, the character tables, and the decoder's reassembly of what the
// agent sends.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp.h"
#include "include/qdvp_core.h"
#include "include/qdvp_dchcomm.h"
#include "include/qdvp_model.h"
#include "include/qdvp_records.h"
#include "tests/records/records_test_util.h"
#include "tests/support/dchpeer.h"
#include "tests/support/qdvptest.h"

namespace {

using dch_test::Be16;
using dch_test::Be32;
using dch_test::Hex;
using dch_test::Msg;
using records_test::Attr;

// The script: statuses to answer, in order (0 once it runs out), and every message sent.
struct Script {
  std::deque<int32_t> statuses;
  std::vector<std::string> sent;
};
Script *gScript = nullptr;

int FakeSend(DCHcomm *comm, const void *message, int length, int *error) {
  *error = 0;
  gScript->sent.emplace_back(static_cast<const char *>(message), static_cast<size_t>(length));
  comm->Status = gScript->statuses.empty() ? 0 : gScript->statuses.front();
  if (!gScript->statuses.empty()) gScript->statuses.pop_front();
  memset(comm->ReplyHandle, 0, 4);
  comm->ReplyHandle[3] = 9;
  comm->Pending = 0;  // the status is there before anyone waits
  return length;
}
int FakeConnect(DCHcomm *) { return 0; }
int FakeReceive(DCHcomm *, void *, int, int *error) {
  *error = QDVP_DCH_ERR_TIMEOUT;
  return -1;
}
const DSFT kFakeDSFT = {FakeConnect, FakeConnect, FakeReceive, FakeSend};

// The anchor of the metafile tests with the recording transport.
class Wire : public metafile_test::WithAnchor {
 protected:
  void SetUp() override {
    QDVP_InstallRecordServices();
    ASSERT_NO_FATAL_FAILURE(WithAnchor::SetUp());
    anchor_->pDSFT = &kFakeDSFT;
    comm_ = new DCHcomm();
    comm_->pDPAB = anchor_;
    comm_->Socket = 5;
    comm_->ReplyWaitSeconds = 2;
    OSV1_InitializeLock(&comm_->StatusMutex);
    QDV0_InitializeCondVar(&comm_->StatusCond);
    OSV1_InitializeLock(&comm_->LinkLock);
    gScript = &script_;
  }
  void TearDown() override {
    OSV1_DestroyLock(&comm_->StatusMutex);
    pthread_cond_destroy(&comm_->StatusCond);
    OSV1_DestroyLock(&comm_->LinkLock);
    delete comm_;
    WithAnchor::TearDown();
    gScript = nullptr;
  }
  // Reads a metafile in validation mode (no registration) and returns its first source.
  SourceEntry *Load(const std::string &text) {
    ApplEntry *appl = WithAnchor::Load("t.mdl", text);
    return appl ? appl->pTableList->pSourceList : nullptr;
  }
  // The one source of a table of one gauge A.
  SourceEntry *Gauge(const std::string &appl) {
    return Load("//APPL " + appl + "\n//NAME T E\n//ATTRIBUTES\nA G 100000\n");
  }
  static void SetInt(AttrEntry *a, int32_t v) {
    QDVP_WirePut32(reinterpret_cast<unsigned char *>(a->Value), static_cast<uint32_t>(v));
    a->ActualValSize = 4;
  }
  static std::string Node(SourceEntry *s) { return s->pSourceNodeName ? s->pSourceNodeName : ""; }

  DCHcomm *comm_ = nullptr;
  Script script_;
};

TEST_F(Wire, RegistrationDescribesKeyAtomicGaugeAndSkipsInvisibleTables) {
  SourceEntry *s = Load(
      "//APPL Shop @shop help\n//NAME Load E 300 @load help\n//ATTRIBUTES\n"
      "Busy G 100000\nNote D 8 @a note\n"
      "//NAME ~Hidden E\n//ATTRIBUTES\nX D 4\n");
  ASSERT_NE(s, nullptr);
  AttrEntry *busy = Attr(s, "Busy");
  ASSERT_EQ(busy->MaxValSize, 4);
  busy->AttrKey = 1;
  busy->AttrAtomic = 1;
  unsigned char *message = QDVP_ConstructRegistrationBuffer(s->pTable->pAppl);
  ASSERT_NE(message, nullptr);
  std::string bytes(reinterpret_cast<char *>(message), QDVP_WireGet32(message));
  QDV0_FreeStorage(&message);
  EXPECT_EQ(Hex(bytes), Hex(Msg(0x1010)
                                .Text(0x0020, "Shop")
                                .Text(0x0090, "shop help")
                                .Text(0x0022, "Load")
                                .Text(0x0090, "load help")
                                .Text(0x0030, "E")
                                .U32(0x0040, 300)
                                .Text(0x0060, "@$Busy,G,4, , ;Note,D,8, ,a note;")
                                .Bytes()));
}

// Percentages round half up (a division by zero gives 0); a row carries each formula's result
// in its own size.
TEST_F(Wire, FormulasRoundPercentagesAndTheRowCarriesTheirResults) {
  SourceEntry *s = Load(
      "//APPL Calc\n//NAME T E\n//ATTRIBUTES\nA G 100000\nB G 100000\nSum (A + B)\nPct (A % B)\n");
  ASSERT_NE(s, nullptr);
  AttrEntry *a = Attr(s, "A"), *b = Attr(s, "B"), *sum = Attr(s, "Sum"), *pct = Attr(s, "Pct");
  ASSERT_EQ(a->MaxValSize, 4);
  ASSERT_EQ(pct->MaxValSize, 4);
  const int32_t cases[][3] = {{1, 3, 33}, {2, 3, 67}, {5, 0, 0}, {3, 3, 100}, {1, 8, 13}};
  for (const auto &c : cases) {
    SetInt(a, c[0]);
    SetInt(b, c[1]);
    pct->ActualValSize = sum->ActualValSize = 0;
    QDVP_EvaluateFormulas(s);
    ASSERT_EQ(pct->ActualValSize, 4);
    EXPECT_EQ(static_cast<int32_t>(QDVP_WireGet32(reinterpret_cast<unsigned char *>(pct->Value))),
              c[2])
        << c[0] << " % " << c[1];
  }
  pct->ActualValSize = sum->ActualValSize = 0;
  sum->MaxValSize = 2;  // a 2-byte result
  SetInt(a, 200);
  SetInt(b, 100);
  s->DCHhandle[3] = 7;
  s->DataSequence = 0;
  QDVP_DoDPdata(s, comm_);
  ASSERT_EQ(script_.sent.size(), 1u);
  EXPECT_EQ(Hex(script_.sent[0]), Hex(Msg(0x1030)
                                          .U32(0x0080, 7)
                                          .U16(0x0070, 0)
                                          .Value("A", 'G', Be32(200))
                                          .Value("B", 'G', Be32(100))
                                          .Value("Sum", 'G', Be16(300))
                                          .Value("Pct", 'G', Be32(200))
                                          .Bytes()));
  EXPECT_EQ(a->ActualValSize, 0);  // the values were consumed by the send
}

// A row without values is not sent unless it is the last of a set; in stand-alone mode nothing
// is sent and every request succeeds.
TEST_F(Wire, NothingIsSentForARowWithoutValuesNorInStandAloneMode) {
  SourceEntry *s = Gauge("Empty");
  ASSERT_NE(s, nullptr);
  comm_->Status = -1;
  QDVP_DoDPdata(s, comm_);
  EXPECT_EQ(comm_->Status.load(), 0);
  EXPECT_TRUE(script_.sent.empty());
  s->DataSequence = QDVP_SEQ_LAST;
  QDVP_DoDPdata(s, comm_);
  EXPECT_EQ(script_.sent.size(), 1u);
  anchor_->StandAlone = 1;
  comm_->Status = -1;
  QDVP_DoDPonline(s, comm_);
  EXPECT_EQ(comm_->Status.load(), 0);
  SetInt(Attr(s, "A"), 1);
  QDVP_DoDPdata(s, comm_);
  QDVP_DoDPoffline(s, comm_);
  QDVP_DoDPunregister(s, comm_);
  EXPECT_EQ(comm_->Status.load(), 0);
  EXPECT_EQ(script_.sent.size(), 1u);
}

// Online (sent again while the agent answers 7), offline, unregister and wait for action.
TEST_F(Wire, RequestsHaveTheirFieldsInOrderAndStatusSevenSendsThemAgain) {
  SourceEntry *s = Gauge("Small");
  ASSERT_NE(s, nullptr);
  script_.statuses = {7, 7, 0};
  QDVP_DoDPonline(s, comm_);
  ASSERT_EQ(script_.sent.size(), 3u);
  EXPECT_EQ(script_.sent[0], script_.sent[1]);
  EXPECT_EQ(script_.sent[1], script_.sent[2]);
  EXPECT_EQ(comm_->Status.load(), 0);
  EXPECT_EQ(s->DCHhandle[3], 9);  // the reply handle became the source's handle
  s->DCHhandle[3] = 3;
  QDVP_DoDPoffline(s, comm_);
  EXPECT_EQ(s->DCHhandle[3], 0);  // forgotten after a successful offline
  QDVP_DoDPunregister(s, comm_);
  QDVP_DoDPwaitForAction(s, comm_, 0x10001);
  const std::string expected[] = {
      Msg(0x1015).Text(0x0020, "Small").Text(0x0022, "T").Text(0x0021, Node(s)).Bytes(),
      Msg(0x1025).U32(0x0080, 3).Bytes(), Msg(0x1020).Text(0x0020, "Small").Bytes(),
      Msg(0x1040).U16(0x0100, 1).Text(0x0021, Node(s)).Bytes()};
  ASSERT_EQ(script_.sent.size(), 6u);
  for (size_t i = 0; i < 4; i++) EXPECT_EQ(Hex(script_.sent[i + 2]), Hex(expected[i]));
}

TEST(CharacterTables, RoundTripOfPrintableAsciiAndTheMovedBrackets) {
  for (int c = 0x20; c < 0x7F; c++) EXPECT_EQ(ebcdic_to_ascii[ascii_to_ebcdic[c]], c) << c;
  char text[] = "Abc [1]^\x80";
  QDVP_ConvertBufferToNetwork(text, 9);
  EXPECT_EQ(Hex(std::string(text, 9)), "c1828340adf1bd5f6f");
  QDVP_ConvertBufferToLocal(text, 8, 0);
  EXPECT_EQ(std::string(text, 8), "Abc [1]^");
}

TEST_F(Wire, ExportedServiceBuildsTheRegistrationOfAMetafile) {
  std::string name = dir_.Write("x.mdl", "//APPL Exported\n//NAME T E\n//ATTRIBUTES\nA D 8\n");
  unsigned char *message = nullptr;
  int word;
  {
    qdvp_test::StreamCapture quiet(1);
    word = QDVP_ConstructDPregisterBuffer(name.c_str(), &message);
  }
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(memcmp(&word, message, 4), 0);  // the length word as stored
  std::string bytes(reinterpret_cast<char *>(message), QDVP_WireGet32(message));
  EXPECT_NE(bytes.find("Exported"), std::string::npos);
  EXPECT_NE(bytes.find("A,D,8, , ;"), std::string::npos);
  EXPECT_EQ(QDVP_WireGet16(message + 10), 0x1010);
  free(message);
  EXPECT_EQ(QDVP_ConstructDPregisterBuffer(dir_.File("missing.mdl").c_str(), &message), 0);
  EXPECT_EQ(message, nullptr);
}

// ---- Decoder ------------------------------------------------------------------------------

using Seen = std::vector<DCHdecoded>;
void Collect(const DCHdecoded *m, void *seen) { static_cast<Seen *>(seen)->push_back(*m); }
int Decode(DCHstream *stream, const std::string &bytes, Seen *seen) {
  return QDVP_DecodeDCHstream(stream, reinterpret_cast<const unsigned char *>(bytes.data()),
                              bytes.size(), Collect, seen);
}

TEST(Decoder, TwoMessagesInOneReceiveAndOneSplitOverTwo) {
  std::string a = Msg::Status(0).Raw(0x0080, Be32(0x11223344)).Bytes();
  Seen seen;
  DCHstream stream = {nullptr, 0, 0};
  ASSERT_EQ(Decode(&stream, a + Msg::Status(7).Bytes(), &seen), 0);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].Status, 0);
  EXPECT_TRUE(seen[0].HasHandle);
  EXPECT_EQ(QDVP_WireGet32(seen[0].Handle), 0x11223344u);
  EXPECT_EQ(seen[1].Status, 7);
  EXPECT_FALSE(seen[1].HasHandle);
  for (size_t cut = 1; cut < a.size(); cut++) {  // nothing until the second part arrives
    seen.clear();
    ASSERT_EQ(Decode(&stream, a.substr(0, cut), &seen), 0);
    EXPECT_TRUE(seen.empty());
    ASSERT_EQ(Decode(&stream, a.substr(cut), &seen), 0);
    ASSERT_EQ(seen.size(), 1u) << cut;
    EXPECT_EQ(stream.ResidualLength, 0u);
  }
  QDVP_ResetDCHstream(&stream);
}

TEST(Decoder, BrokenLengthWordsAreRefusedAndUnknownMessagesSkipped) {
  const struct {
    std::string bytes;
    int rc;
  } cases[] = {
      {Be32(0), -1},                                   // zero length word
      {Be32(3), -1},                                   // shorter than the word itself
      {Be32(QDVP_WIRE_MAX_MESSAGE + 1) + "xxxx", -1},  // beyond 1 MiB
      {Be32(4), 0},                                    // empty message: ignored
      {Msg(0x1099).Bytes(), 0},                        // unsupported request: ignored
      {Be32(14) + Be16(0x0011) + Be32(99) + "ab", 0},  // field longer than the message
  };
  for (const auto &c : cases) {
    Seen seen;
    DCHstream stream = {nullptr, 0, 0};
    EXPECT_EQ(Decode(&stream, c.bytes, &seen), c.rc) << Hex(c.bytes);
    for (const auto &m : seen) EXPECT_NE(m.Kind, 1);
    QDVP_ResetDCHstream(&stream);
  }
}

TEST(Decoder, ProvideActionFieldsAreCountedAndUnknownFieldsIgnored) {
  std::string m = Msg(0x1060)
                      .Text(0x0021, "node1")
                      .U32(0x0100, 1)
                      .Text(0x0110, "restart")
                      .U32(0x0120, 42)
                      .Text(0x0130, "-f")
                      .Text(0x0999, "odd")
                      .Bytes();
  DCHdecoded d;
  QDVP_DecodeDCHmessage(reinterpret_cast<const unsigned char *>(m.data()), m.size(), &d);
  EXPECT_EQ(d.Kind, 2);
  EXPECT_EQ(d.ActionId, 42u);
  EXPECT_EQ(d.ActionType, 1u);
  EXPECT_EQ(d.ActionFieldCount, 4);  // the parameter is not counted
  EXPECT_EQ(d.UnknownFields, 1);
}

}  // namespace
