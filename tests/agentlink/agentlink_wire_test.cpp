// The bytes the data provider puts on the agent link, checked without a network: the
// transport is replaced by one that records every send and answers from a script of
// statuses. Registration text, rows with formulas, repeats on status 7, stand-alone mode,
// and the decoder's reassembly of what the agent sends.
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
#include "tests/support/dchpeer.h"
#include "tests/support/qdvptest.h"

namespace {

using dch_test::Be16;
using dch_test::Be32;
using dch_test::Hex;
using qdvp_test::EnvGuard;
using qdvp_test::TempDir;

// The script: statuses to answer, in order (0 once it runs out), and every message sent.
struct Script {
  std::deque<int32_t> statuses;
  std::vector<std::string> sent;
};
Script *gScript = nullptr;

int FakeSend(DCHcomm *comm, const void *message, int length, int *error) {
  *error = 0;
  gScript->sent.emplace_back(static_cast<const char *>(message), static_cast<size_t>(length));
  int32_t status = 0;
  if (!gScript->statuses.empty()) {
    status = gScript->statuses.front();
    gScript->statuses.pop_front();
  }
  comm->Status = status;
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

class Wire : public testing::Test {
 protected:
  void SetUp() override {
    env_.Set("QDVP_META_PATH", dir_.path());
    env_.Set("QDVP_PRODUCT_SPEC", std::nullopt);
    QDVP_InstallRecordServices();
    anchor_ = QDVP_StartupInitialization();
    ASSERT_NE(anchor_, nullptr);
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
    QDVP_ShutdownCleanUp(anchor_, 1);
    QDVP_ReleaseGlobalResources(anchor_);
    gScript = nullptr;
  }
  // Reads a metafile in validation mode (no registration) and returns its application.
  ApplEntry *Load(const std::string &text) {
    dir_.Write("t.mdl", text);
    testing::internal::CaptureStdout();
    ApplEntry *appl = QDVP_ConstructApplDataModel(anchor_, "t.mdl", 1, nullptr, nullptr, 0, 1);
    testing::internal::GetCapturedStdout();
    return appl;
  }
  static AttrEntry *Attr(SourceEntry *s, const char *name) {
    for (AttrEntry *a = s->pAttrList; a; a = a->pNext) {
      if (strcmp(a->Name, name) == 0) return a;
    }
    return nullptr;
  }
  static void SetInt(AttrEntry *a, int32_t v, int size) {
    auto *p = reinterpret_cast<unsigned char *>(a->Value);
    if (size == 4) {
      QDVP_WirePut32(p, static_cast<uint32_t>(v));
    } else {
      QDVP_WirePut16(p, static_cast<uint16_t>(v));
    }
    a->ActualValSize = size;
  }
  static void SetText(AttrEntry *a, const std::string &v) {
    memcpy(a->Value, v.data(), v.size());
    a->ActualValSize = static_cast<int>(v.size());
  }
  static std::string Field(uint16_t code, const std::string &data) {
    return Be16(code) + Be32(static_cast<uint32_t>(data.size())) + data;
  }
  static std::string Message(const std::string &fields) {
    return Be32(static_cast<uint32_t>(fields.size() + 4)) + fields;
  }

  TempDir dir_;
  EnvGuard env_;
  DPAB *anchor_ = nullptr;
  DCHcomm *comm_ = nullptr;
  Script script_;
};

TEST_F(Wire, RegistrationDescribesKeyAtomicGaugeAndSkipsInvisibleTables) {
  ApplEntry *appl = Load(
      "//APPL Shop @shop help\n//NAME Load E 300 @load help\n//ATTRIBUTES\n"
      "Busy G 100000\nNote D 8 @a note\n"
      "//NAME ~Hidden E\n//ATTRIBUTES\nX D 4\n");
  ASSERT_NE(appl, nullptr);
  AttrEntry *busy = Attr(appl->pTableList->pSourceList, "Busy");
  ASSERT_NE(busy, nullptr);
  ASSERT_EQ(busy->MaxValSize, 4);
  busy->AttrKey = 1;
  busy->AttrAtomic = 1;
  unsigned char *message = QDVP_ConstructRegistrationBuffer(appl);
  ASSERT_NE(message, nullptr);
  std::string bytes(reinterpret_cast<char *>(message), QDVP_WireGet32(message));
  QDV0_FreeStorage(&message);
  std::string expected =
      Message(Field(0x0010, Be16(0x1010)) + Field(0x0020, "Shop") + Field(0x0090, "shop help") +
              Field(0x0022, "Load") + Field(0x0090, "load help") + Field(0x0030, "E") +
              Field(0x0040, Be32(300)) + Field(0x0060, "@$Busy,G,4, , ;Note,D,8, ,a note;"));
  EXPECT_EQ(Hex(bytes), Hex(expected));
}

TEST_F(Wire, FormulaRowCarriesTwoByteResultAndRoundedPercentage) {
  ApplEntry *appl = Load(
      "//APPL Calc\n//NAME T E\n//ATTRIBUTES\nA G 100000\nB G 100000\nSum (A + B)\nPct (A % B)\n");
  ASSERT_NE(appl, nullptr);
  SourceEntry *s = appl->pTableList->pSourceList;
  AttrEntry *sum = Attr(s, "Sum");
  ASSERT_NE(sum, nullptr);
  ASSERT_EQ(Attr(s, "A")->MaxValSize, 4);
  sum->MaxValSize = 2;  // a 2-byte result
  SetInt(Attr(s, "A"), 200, 4);
  SetInt(Attr(s, "B"), 100, 4);
  s->DCHhandle[3] = 7;
  s->DataSequence = 0;
  QDVP_DoDPdata(s, comm_);
  ASSERT_EQ(script_.sent.size(), 1u);
  std::string expected =
      Message(Field(0x0010, Be16(0x1030)) + Field(0x0080, Be32(7)) + Field(0x0070, Be16(0)) +
              Field(0x0050, "A") + Field(0x0051, "G" + Be32(200)) + Field(0x0050, "B") +
              Field(0x0051, "G" + Be32(100)) + Field(0x0050, "Sum") +
              Field(0x0051, std::string("G\x01\x2C", 3)) + Field(0x0050, "Pct") +
              Field(0x0051, "G" + Be32(200)));
  EXPECT_EQ(Hex(script_.sent[0]), Hex(expected));
  // The values were consumed by the send.
  EXPECT_EQ(Attr(s, "A")->ActualValSize, 0);
}

struct PercentCase {
  int32_t a, b, expected;
};

TEST_F(Wire, PercentageRoundsHalfUpAndDivisionByZeroIsZero) {
  ApplEntry *appl =
      Load("//APPL Pct\n//NAME T E\n//ATTRIBUTES\nA G 100000\nB G 100000\nP (A % B)\nQ (A / B)\n");
  ASSERT_NE(appl, nullptr);
  SourceEntry *s = appl->pTableList->pSourceList;
  const PercentCase cases[] = {{1, 3, 33}, {2, 3, 67}, {5, 0, 0}, {3, 3, 100}, {1, 8, 13}};
  for (const auto &c : cases) {
    SetInt(Attr(s, "A"), c.a, 4);
    SetInt(Attr(s, "B"), c.b, 4);
    Attr(s, "P")->ActualValSize = 0;
    Attr(s, "Q")->ActualValSize = 0;
    QDVP_EvaluateFormulas(s);
    AttrEntry *p = Attr(s, "P");
    ASSERT_EQ(p->ActualValSize, p->MaxValSize);
    int32_t value = static_cast<int32_t>(
        p->MaxValSize == 4 ? QDVP_WireGet32(reinterpret_cast<unsigned char *>(p->Value))
                           : QDVP_WireGet16(reinterpret_cast<unsigned char *>(p->Value)));
    EXPECT_EQ(value, c.expected) << c.a << " % " << c.b;
  }
}

TEST_F(Wire, RowWithoutValuesIsNotSentUnlessItIsTheLastOfASet) {
  ApplEntry *appl = Load("//APPL Empty\n//NAME T E\n//ATTRIBUTES\nA G 100000\n");
  ASSERT_NE(appl, nullptr);
  SourceEntry *s = appl->pTableList->pSourceList;
  comm_->Status = -1;
  QDVP_DoDPdata(s, comm_);
  EXPECT_EQ(comm_->Status.load(), 0);
  EXPECT_TRUE(script_.sent.empty());
  s->DataSequence = QDVP_SEQ_LAST;
  QDVP_DoDPdata(s, comm_);
  EXPECT_EQ(script_.sent.size(), 1u);
}

TEST_F(Wire, StatusSevenSendsTheSameRequestAgain) {
  ApplEntry *appl = Load("//APPL Again\n//NAME T E\n//ATTRIBUTES\nA G 100000\n");
  ASSERT_NE(appl, nullptr);
  SourceEntry *s = appl->pTableList->pSourceList;
  script_.statuses = {7, 7, 0};
  QDVP_DoDPonline(s, comm_);
  ASSERT_EQ(script_.sent.size(), 3u);
  EXPECT_EQ(script_.sent[0], script_.sent[1]);
  EXPECT_EQ(script_.sent[1], script_.sent[2]);
  EXPECT_EQ(comm_->Status.load(), 0);
  EXPECT_EQ(s->DCHhandle[3], 9);  // the reply handle became the source's handle
  std::string source = s->pSourceNodeName ? s->pSourceNodeName : "";
  EXPECT_EQ(Hex(script_.sent[0]), Hex(Message(Field(0x0010, Be16(0x1015)) + Field(0x0020, "Again") +
                                              Field(0x0022, "T") + Field(0x0021, source))));
}

TEST_F(Wire, SmallRequestsHaveTheirFieldsInOrder) {
  ApplEntry *appl = Load("//APPL Small\n//NAME T E\n//ATTRIBUTES\nA G 100000\n");
  ASSERT_NE(appl, nullptr);
  SourceEntry *s = appl->pTableList->pSourceList;
  s->DCHhandle[3] = 3;
  QDVP_DoDPoffline(s, comm_);
  QDVP_DoDPunregister(s, comm_);
  QDVP_DoDPwaitForAction(s, comm_, 0x10001);
  ASSERT_EQ(script_.sent.size(), 3u);
  EXPECT_EQ(Hex(script_.sent[0]),
            Hex(Message(Field(0x0010, Be16(0x1025)) + Field(0x0080, Be32(3)))));
  EXPECT_EQ(s->DCHhandle[3], 0);  // forgotten after a successful offline
  EXPECT_EQ(Hex(script_.sent[1]),
            Hex(Message(Field(0x0010, Be16(0x1020)) + Field(0x0020, "Small"))));
  std::string source = s->pSourceNodeName ? s->pSourceNodeName : "";
  EXPECT_EQ(Hex(script_.sent[2]), Hex(Message(Field(0x0010, Be16(0x1040)) + Field(0x0100, Be16(1)) +
                                              Field(0x0021, source))));
}

TEST_F(Wire, StandAloneSendsNothingAndSucceeds) {
  ApplEntry *appl = Load("//APPL Alone\n//NAME T E\n//ATTRIBUTES\nA G 100000\n");
  ASSERT_NE(appl, nullptr);
  SourceEntry *s = appl->pTableList->pSourceList;
  anchor_->StandAlone = 1;
  comm_->Status = -1;
  QDVP_DoDPonline(s, comm_);
  EXPECT_EQ(comm_->Status.load(), 0);
  SetInt(Attr(s, "A"), 1, 4);
  QDVP_DoDPdata(s, comm_);
  QDVP_DoDPoffline(s, comm_);
  QDVP_DoDPunregister(s, comm_);
  EXPECT_EQ(comm_->Status.load(), 0);
  EXPECT_TRUE(script_.sent.empty());
}

TEST(CharacterTables, RoundTripOfPrintableAsciiAndTheMovedBrackets) {
  EXPECT_EQ(ascii_to_ebcdic[static_cast<unsigned char>('[')], 0xAD);
  EXPECT_EQ(ascii_to_ebcdic[static_cast<unsigned char>(']')], 0xBD);
  EXPECT_EQ(ascii_to_ebcdic[static_cast<unsigned char>('^')], 0x5F);
  for (int c = 0x20; c < 0x7F; c++) {
    EXPECT_EQ(ebcdic_to_ascii[ascii_to_ebcdic[c]], c) << c;
  }
  char text[] = "Abc [1]\x80";
  QDVP_ConvertBufferToNetwork(text, 8);
  EXPECT_EQ(static_cast<unsigned char>(text[0]), 0xC1);
  EXPECT_EQ(static_cast<unsigned char>(text[7]), 0x6F);
  QDVP_ConvertBufferToLocal(text, 7, 0);
  EXPECT_EQ(std::string(text, 7), "Abc [1]");
}

TEST(RegisterBuffer, ExportedServiceBuildsTheRegistrationOfAMetafile) {
  TempDir dir;
  EnvGuard env({{"QDVP_META_PATH", dir.path()}, {"QDVP_PRODUCT_SPEC", std::nullopt}});
  std::string name = dir.Write("x.mdl", "//APPL Exported\n//NAME T E\n//ATTRIBUTES\nA D 8\n");
  unsigned char *message = nullptr;
  testing::internal::CaptureStdout();
  int word = QDVP_ConstructDPregisterBuffer(name.c_str(), &message);
  testing::internal::GetCapturedStdout();
  ASSERT_NE(message, nullptr);
  uint32_t length = QDVP_WireGet32(message);
  EXPECT_EQ(memcmp(&word, message, 4), 0);  // the length word as stored
  std::string bytes(reinterpret_cast<char *>(message), length);
  EXPECT_NE(bytes.find("Exported"), std::string::npos);
  EXPECT_NE(bytes.find("A,D,8, , ;"), std::string::npos);
  EXPECT_EQ(QDVP_WireGet16(message + 10), 0x1010);
  free(message);
  EXPECT_EQ(QDVP_ConstructDPregisterBuffer(dir.File("missing.mdl").c_str(), &message), 0);
  EXPECT_EQ(message, nullptr);
}

// ---- Decoder ------------------------------------------------------------------------------

struct Seen {
  std::vector<DCHdecoded> messages;
};
void Collect(const DCHdecoded *m, void *context) {
  static_cast<Seen *>(context)->messages.push_back(*m);
}

TEST(Decoder, TwoMessagesInOneReceiveAndOneSplitOverTwo) {
  std::string a = dch_test::Msg::Status(0).Raw(0x0080, Be32(0x11223344)).Bytes();
  std::string b = dch_test::Msg::Status(7).Bytes();
  Seen seen;
  DCHstream stream = {nullptr, 0, 0};
  std::string both = a + b;
  ASSERT_EQ(QDVP_DecodeDCHstream(&stream, reinterpret_cast<const unsigned char *>(both.data()),
                                 both.size(), Collect, &seen),
            0);
  ASSERT_EQ(seen.messages.size(), 2u);
  EXPECT_EQ(seen.messages[0].Status, 0);
  EXPECT_TRUE(seen.messages[0].HasHandle);
  EXPECT_EQ(QDVP_WireGet32(seen.messages[0].Handle), 0x11223344u);
  EXPECT_EQ(seen.messages[1].Status, 7);
  EXPECT_FALSE(seen.messages[1].HasHandle);
  // Split: nothing until the second part arrives.
  for (size_t cut = 1; cut < a.size(); cut++) {
    seen.messages.clear();
    auto *p = reinterpret_cast<const unsigned char *>(a.data());
    ASSERT_EQ(QDVP_DecodeDCHstream(&stream, p, cut, Collect, &seen), 0);
    EXPECT_TRUE(seen.messages.empty());
    ASSERT_EQ(QDVP_DecodeDCHstream(&stream, p + cut, a.size() - cut, Collect, &seen), 0);
    ASSERT_EQ(seen.messages.size(), 1u) << cut;
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
      {dch_test::Msg(0x1099).Bytes(), 0},              // unsupported request: ignored
      {Be32(14) + Be16(0x0011) + Be32(99) + "ab", 0},  // field longer than the message
  };
  for (const auto &c : cases) {
    Seen seen;
    DCHstream stream = {nullptr, 0, 0};
    EXPECT_EQ(QDVP_DecodeDCHstream(&stream, reinterpret_cast<const unsigned char *>(c.bytes.data()),
                                   c.bytes.size(), Collect, &seen),
              c.rc)
        << Hex(c.bytes);
    for (const auto &m : seen.messages) EXPECT_NE(m.Kind, 1);
    QDVP_ResetDCHstream(&stream);
  }
}

TEST(Decoder, ProvideActionFieldsAreCountedAndUnknownFieldsIgnored) {
  std::string m = dch_test::Msg(0x1060)
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
