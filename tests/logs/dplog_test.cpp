// The data provider log: the templates and their completion, the cut of long texts, and the
// DP log report registered with a real qdvp-dch, whose rows carry the completed messages. The
// statistics block and its text: counts from several tasks, per-minute rates averaged with the
// period before, the text of each data provider type, and the metrics page.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp_anchor.h"
#include "include/qdvp_core.h"
#include "include/qdvp_dchcomm.h"
#include "include/qdvp_dplog.h"
#include "include/qdvp_model.h"
#include "include/qdvp_services.h"
#include "include/qdvp_stats.h"
#include "tests/support/dchpeer.h"
#include "tests/support/peerlink.h"
#include "tests/support/qdvptest.h"

namespace {

using dch_test::QueryOne;
using qdvp_test::EnvGuard;
using qdvp_test::TempDir;
using qdvp_test::WaitFor;

std::string Complete(int number, std::vector<const char *> given) {
  const char *parms[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  for (size_t i = 0; i < given.size() && i < 5; i++) parms[i] = given[i];
  char text[QDVP_DPLOG_TEXT_SIZE];
  QDVP_FormatDPlogText(number, parms, text, sizeof(text));
  return text;
}

TEST(DPlogTemplates, HaveTheirCategoryColumnAndParametersFillThePlacesOrShowAQuestionMark) {
  const std::string categories[] = {"SYSTEM",   "INFO",    "WARNING",  "ERROR",
                                    "SOCKCOMM", "APICOMM", "APIINFO",  "METACOMM",
                                    "METAINFO", "ACTINFO", "APPCINFO", "SNMPINFO"};
  for (int n = 0; n < QDVP_DPLOG_MESSAGES; n++) {
    std::string t = DP_Log_Message[n];
    ASSERT_GE(t.size(), 9u) << n;
    std::string word = t.substr(0, t.find(' '));
    EXPECT_NE(std::find(std::begin(categories), std::end(categories), word), std::end(categories))
        << n;
    EXPECT_EQ(t.substr(word.size(), 9 - word.size()), std::string(9 - word.size(), ' ')) << n;
  }
  const struct {
    int number;
    std::vector<const char *> parms;
    const char *text;
  } cases[] = {
      {32,
       {"host1", "7001", "APPL", "TAB"},
       "UDP inactivity time expired. Session disconnect for host1 port 7001. Application APPL "
       "attribute group TAB management ended."},
      {32,
       {"host1"},
       "UDP inactivity time expired. Session disconnect for host1 port ?. Application ? "
       "attribute group ? management ended."},
      {0, {}, "DP ready"},
      {4, {"a.mdl", "A"}, "Metafile a.mdl validation successful. Application A loaded."},
      {67, {"x"}, ""},
      {61, {"1", "2", "3", "4"}, "1 2 automation activity completed, status 3, result [4]"},
  };
  for (const auto &c : cases) EXPECT_EQ(Complete(c.number, c.parms), c.text) << c.number;
  // A completed text is bounded by the buffer; one longer than the attribute is cut with "...".
  std::string big(2000, 'x');
  EXPECT_EQ(Complete(16, {big.c_str(), big.c_str()}).size(),
            static_cast<size_t>(QDVP_DPLOG_TEXT_SIZE - 1));
  char out[QDVP_DPLOG_TEXT_SIZE];
  for (size_t n : {0, 5, 256, 257, 300}) {
    std::string text(n, 'a');
    QDVP_CutDPlogText(text.c_str(), 256, out);
    EXPECT_EQ(std::string(out), n <= 256 ? text : std::string(253, 'a') + "...") << n;
  }
}

TEST(DPlogBatch, StandAloneMessagesGoToTheBatchJobLogOneLineEach) {
  TempDir dir;
  EnvGuard env({{"QDVP_PRODUCT_SPEC", std::nullopt}});
  DPAB *anchor = QDVP_StartupInitialization();
  ASSERT_NE(anchor, nullptr);
  anchor->StandAlone = 1;
  std::string name = dir.File("batch.log");
  QDVP_OpenBatchLog(anchor, name.c_str());
  QDVP_SendDPlogMessage(anchor, 7, "a.mdl");
  QDVP_SendDPlogMessage(anchor, 4, "b.mdl");
  // A name that holds line ends stays on its message's line, escaped.
  QDVP_SendDPlogMessage(anchor, 7, "c.mdl\nMetafile forged.mdl found.\r\x1b[2J\\");
  QDVP_CloseBatchLog();
  EXPECT_EQ(qdvp_test::ReadFile(name),
            "Metafile a.mdl found.\nMetafile b.mdl validation successful. Application ? loaded.\n"
            "Metafile c.mdl\\nMetafile forged.mdl found.\\r\\x1B[2J\\\\ found.\n");
  QDVP_ShutdownCleanUp(anchor, 1);
  QDVP_ReleaseGlobalResources(anchor);
}

// Every message reaches standard error at once, from the task that reports it: one line with
// the syslog priority of its category, here with no agent and no log server to take the row,
// and with the log turned off for the agent (ENABLE_DPLOG). A stand-alone run (a validation)
// writes its messages to its batch job log only.
TEST(DPlogStandardError, EachMessageIsOneLineWithThePriorityOfItsCategory) {
  TempDir dir;
  EnvGuard env({{"QDVP_PRODUCT_SPEC", std::nullopt}});
  DPAB *anchor = QDVP_StartupInitialization();
  ASSERT_NE(anchor, nullptr);
  const struct {
    int number;
    const char *parm;
    const char *line;
  } cases[] = {
      {9, "x.mdl", "<3>ERROR    x.mdl metafile or application not defined.\n"},
      {12, "A", "<4>WARNING  Application A already registered with agent.\n"},
      {0, nullptr, "<6>SYSTEM   DP ready\n"},
      {7, "a.mdl", "<6>INFO     Metafile a.mdl found.\n"},
      {25, "h1", "<6>APICOMM  dp_OpenSession completed from location h1.\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.number);
    qdvp_test::StreamCapture err(STDERR_FILENO);
    QDVP_SendDPlogMessage(anchor, c.number, c.parm);
    EXPECT_EQ(err.Take(), c.line);
  }
  std::string spec = dir.Write("product.cfg", "ENABLE_DPLOG=N\n");
  {
    EnvGuard off({{"QDVP_PRODUCT_SPEC", spec}});
    QDV0_ResetProductSpec();
    ASSERT_TRUE(QDV0_InitializeProductSpec());
    qdvp_test::StreamCapture err(STDERR_FILENO);
    QDVP_SendDPlogMessage(anchor, 12, "B");
    EXPECT_EQ(err.Take(), "<4>WARNING  Application B already registered with agent.\n");
  }
  QDV0_ResetProductSpec();
  anchor->StandAlone = 1;
  std::string batch = dir.File("batch.log");
  QDVP_OpenBatchLog(anchor, batch.c_str());
  {
    qdvp_test::StreamCapture err(STDERR_FILENO);
    QDVP_SendDPlogMessage(anchor, 7, "b.mdl");
    EXPECT_EQ(err.Take(), "");
  }
  QDVP_CloseBatchLog();
  EXPECT_EQ(qdvp_test::ReadFile(batch), "Metafile b.mdl found.\n");
  QDVP_ShutdownCleanUp(anchor, 1);
  QDVP_ReleaseGlobalResources(anchor);
}

class DPlogReport : public qdvp_test::PeerLinkTest {
 protected:
  void SetUp() override { StartPeerLink(); }
  void TearDown() override {
    if (server_ != nullptr) {
      server_->Terminate = 1;
      QDVP_SignalTaskIO(server_);
      WaitFor([&] { return anchor_->pDPlogServer.load() == nullptr; });
    }
    PeerLinkTest::TearDown();
  }
  const std::string lastText_ =
      "SELECT json_extract(attrs, '$.DP_Log_Text') FROM rows WHERE application='OmniVar' "
      "ORDER BY id DESC LIMIT 1";

  ProcessEntry *server_ = nullptr;
};

TEST_F(DPlogReport, ReportIsRegisteredOnlineCarriesMessagesAndTheNoDataStatusPerAgent) {
  QDVP_DefineDPlogReport(anchor_);
  ASSERT_NE(anchor_->pDPlogSource, nullptr);
  EXPECT_EQ(anchor_->pDPlogSource.load()->State, QDVP_Active);
  ExpectDb(
      "SELECT group_concat(name, ',') FROM (SELECT name FROM attribute_groups WHERE "
      "application='OmniVar' ORDER BY name)",
      "ACTION,DPLOG");
  ExpectDb("SELECT type || ttl FROM attribute_groups WHERE name='ACTION'", "K1800");

  // Through the server task: the message is queued and the server delivers it.
  ASSERT_TRUE(
      QDVP_CreateProcess(anchor_, QDVP_COMMON_TASK, nullptr, QDVP_DPlogServer, 0, &server_));
  ASSERT_TRUE(QDVP_WaitForAnchorFlag(anchor_, &anchor_->DPlogReady, 10));
  QDVP_SendDPlogMessage(anchor_, 32, "host1");
  ExpectDb(lastText_,
           "UDP inactivity time expired. Session disconnect for host1 port ?. Application ? "
           "attribute group ? management ended.");
  EXPECT_EQ(QueryOne(peer_->Db(),
                     "SELECT json_extract(attrs, '$.DP_Log_Category') || ' ' || "
                     "json_extract(attrs, '$.DP_Version') FROM rows ORDER BY id DESC LIMIT 1"),
            "SOCKCOMM QDV350");

  // A text longer than the attribute is cut to 253 characters and "...".
  std::string name(300, 'n');
  QDVP_SendDPlogMessage(anchor_, 8, name.c_str());
  ExpectDb(lastText_, ("Application " + name).substr(0, 253) + "...");

  // The no-data report folds the changes of an interval per agent and sends every agent's
  // list, six tables a row, as one sample set; a report without changes sends the lists again.
  QDVP_DefineNoDataReport(anchor_);
  auto report = [&](int rowsBefore) {
    QDVP_DoNoDataStatusReport(anchor_);
    return WaitFor(
        [&] {
          return std::stoi(QueryOne(peer_->Db(),
                                    "SELECT count(*) FROM rows WHERE "
                                    "attribute_group='NODATA'")) > rowsBefore;
        },
        std::chrono::seconds(5));
  };
  const char *tables[] = {"T1", "T2", "T3", "T4", "T5", "T6", "T7", "T8"};
  QDVP_EnqueueNoDataStatus("hostA", "MibA", "A", 0);
  QDVP_EnqueueNoDataStatus("hostA", "MibA", "B", 0);
  QDVP_EnqueueNoDataStatus("hostA", "MibA", "A", 1);
  for (const char *t : tables) QDVP_EnqueueNoDataStatus("hostB", "MibB", t, 0);
  QDVP_EnqueueNoDataStatus("hostB", "MibB", "T8", 0);  // the same change twice counts once
  ASSERT_TRUE(report(0));
  const std::string rows =
      "SELECT group_concat(r, ' | ') FROM (SELECT data_sequence || ' ' || "
      "json_extract(attrs,'$.Agent_Node') || ' ' || json_extract(attrs,'$.Agent_Identification') "
      "|| ' [' || ifnull(json_extract(attrs,'$.No_Data_Tables'),'') || ']' AS r FROM rows WHERE "
      "attribute_group='NODATA' AND id > ";
  ExpectDb(rows + "0 ORDER BY id)",
           "1 hostA MibA [B] | 0 hostB MibB [T1, T2, T3, T4, T5, T6] | 16 hostB MibB [T7, T8]");
  std::string last = QueryOne(peer_->Db(), "SELECT max(id) FROM rows");
  // Nothing changed: the same lists again; then B comes back at hostA.
  ASSERT_TRUE(report(3));
  ExpectDb(rows + last + " ORDER BY id)",
           "1 hostA MibA [B] | 0 hostB MibB [T1, T2, T3, T4, T5, T6] | 16 hostB MibB [T7, T8]");
  last = QueryOne(peer_->Db(), "SELECT max(id) FROM rows");
  QDVP_EnqueueNoDataStatus("hostA", "MibA", "B", 1);
  QDVP_EnqueueNoDataStatus("hostA", "MibA", nullptr, 0);  // incomplete: ignored
  ASSERT_TRUE(report(6));
  ExpectDb(rows + last + " ORDER BY id LIMIT 1)", "1 hostA MibA []");
  QDVP_ForgetNoDataReport(anchor_);
}

class Statistics : public testing::Test {
 protected:
  void SetUp() override {
    QDV0_UseManualClock(1000000);
    anchor_.DPtype = QDVP_TYPE_FILE;
    anchor_.pStatBlock = QDVP_InitializeStatisticBlock();
    ASSERT_NE(anchor_.pStatBlock, nullptr);
  }
  void TearDown() override {
    QDVP_ReleaseStatisticBlock(anchor_.pStatBlock);
    QDV0_UseSystemClock();
  }
  std::string Text() {
    char *text = QDVP_FormatStatLog(&anchor_);
    std::string copy = text != nullptr ? text : "";
    QDV0_FreeStorage(&text);
    return copy;
  }
  DPAB anchor_{};
};

// 600 records in a first period of 10 minutes are 60.0/min; 1200 in the next are averaged with
// it to 90.0; a quiet period halves the rate; counts from several threads are all kept. A
// request less than a minute after the last reports the rates unchanged, and the period goes
// on: its records count when it has lasted a minute.
TEST_F(Statistics, RatesAverageEachPeriodWithTheOneBefore) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([] {
      for (int i = 0; i < 150; i++) QDVP_UpdateStatLogFileIO(0, 1);
    });
  }
  for (auto &t : threads) t.join();
  QDVP_UpdateStatLogFileIO(1, 0);
  QDV0_AdvanceClock(600);
  EXPECT_EQ(Text(),
            "Interval 10.0 min, Total opened files 1, File I/O rate 60.0/min, Output to "
            "agent message rate 0.0/min");
  QDVP_UpdateStatLogFileIO(0, 1200);
  QDV0_AdvanceClock(600);
  EXPECT_NE(Text().find("File I/O rate 90.0/min"), std::string::npos);
  QDV0_AdvanceClock(600);
  EXPECT_NE(Text().find("File I/O rate 45.0/min"), std::string::npos);
  // A second request at once, or two seconds later, reports the same rates instead of dividing
  // by nothing or by a moment.
  EXPECT_NE(Text().find("File I/O rate 45.0/min"), std::string::npos);
  QDVP_UpdateStatLogFileIO(0, 135);
  QDV0_AdvanceClock(2);
  EXPECT_EQ(Text(),
            "Interval 0.0 min, Total opened files 1, File I/O rate 45.0/min, Output to "
            "agent message rate 0.0/min");
  QDV0_AdvanceClock(58);
  EXPECT_NE(Text().find("Interval 1.0 min, Total opened files 1, File I/O rate 90.0/min"),
            std::string::npos);
}

// The metrics page shows totals that the texts never reset.
TEST_F(Statistics, EachTypeReportsItsOwnCountsAndTheMetricsPageTotalsThatNeverReset) {
  QDVP_UpdateStatLogSockIO(2, 120);
  QDVP_UpdateStatLogPost(30);
  QDVP_UpdateStatLogTrap(3);
  QDVP_UpdateStatLogDCHio(60);
  QDV0_AdvanceClock(60);
  struct Case {
    int type;
    const char *text;
  } cases[] = {
      {QDVP_TYPE_SOCK,
       "Interval 1.0 min, Total opened sockets 2, Socket I/O rate 120.0/min, "
       "Output to agent message rate 60.0/min"},
      {QDVP_TYPE_POST,
       "Interval 0.0 min, Message post rate 30.0/min, Output to agent message "
       "rate 60.0/min"},
      {QDVP_TYPE_SNMP,
       "Interval 0.0 min, Traps received 3, Output to agent message rate "
       "60.0/min"},
      {QDVP_TYPE_HTTP, "Interval 0.0 min, "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.type);
    anchor_.DPtype = c.type;
    EXPECT_EQ(Text(), c.text);
  }
  QDVP_UpdateStatLogSockIO(0, 2);
  std::string page = QDVP_FormatMetricsPage(&anchor_);
  EXPECT_NE(
      page.find("# TYPE qdvp_socket_receives_total counter\nqdvp_socket_receives_total 122\n"),
      std::string::npos)
      << page;
  EXPECT_NE(page.find("qdvp_sockets_opened_total 2\n"), std::string::npos);
  // qdvp_up: 1 only between the end of the start and the shutdown request. The agent link's
  // counts and state as the link reports them.
  LinkCounts before{};
  QDVP_SnapshotLinkCounts(&before);
  QDVP_CountLinkRows(QDVP_LINK_ROWS_SENT, 3);
  QDVP_CountLinkRows(QDVP_LINK_ROWS_RESENT, 2);
  QDVP_CountLinkRows(QDVP_LINK_ROWS_REFUSED, 1);
  QDVP_CountLinkConnection();
  QDVP_CountLinkConnection();
  QDVP_SetLinkState(1, 0);
  LinkCounts after{};
  QDVP_SnapshotLinkCounts(&after);
  EXPECT_EQ(after.RowsSent - before.RowsSent, 3u);
  EXPECT_EQ(after.RowsResent - before.RowsResent, 2u);
  EXPECT_EQ(after.RowsRefused - before.RowsRefused, 1u);
  EXPECT_GE(after.Reconnects, 1u);
  const struct {
    int up, ending;
    const char *line;
  } states[] = {{0, 0, "qdvp_up 0\n"}, {1, 0, "qdvp_up 1\n"}, {1, 1, "qdvp_up 0\n"}};
  for (const auto &s : states) {
    QDVP_MarkDataProviderUp(s.up);
    anchor_.ShutdownRequested = s.ending;
    page = QDVP_FormatMetricsPage(&anchor_);
    EXPECT_NE(page.find(s.line), std::string::npos) << s.up << s.ending << page;
    EXPECT_NE(page.find("\nqdvp_agent_connected 1\n# HELP qdvp_agent_udp"), std::string::npos)
        << page;
    EXPECT_NE(page.find("qdvp_rows_sent_total " + std::to_string(after.RowsSent) + "\n"),
              std::string::npos)
        << page;
  }
  QDVP_MarkDataProviderUp(0);
  anchor_.ShutdownRequested = 0;
  QDVP_SetLinkState(0, 0);
}

}  // namespace
