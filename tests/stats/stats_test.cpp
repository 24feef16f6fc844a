// The statistics block and its text: counts from several tasks, per-minute rates averaged with
// the period before, the text of each data provider type, and the metrics page.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp_anchor.h"
#include "include/qdvp_services.h"
#include "include/qdvp_stats.h"

namespace {

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
// it to 90.0; a quiet period halves the rate; counts from several threads are all kept.
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
  EXPECT_EQ(Text(), "Interval 10.0 min, Total opened files 1, File I/O rate 60.0/min, Output to "
                    "agent message rate 0.0/min");
  QDVP_UpdateStatLogFileIO(0, 1200);
  QDV0_AdvanceClock(600);
  EXPECT_NE(Text().find("File I/O rate 90.0/min"), std::string::npos);
  QDV0_AdvanceClock(600);
  EXPECT_NE(Text().find("File I/O rate 45.0/min"), std::string::npos);
  // A second request at once reports the same rates instead of dividing by nothing.
  EXPECT_NE(Text().find("File I/O rate 45.0/min"), std::string::npos);
}

TEST_F(Statistics, EachTypeReportsItsOwnCounts) {
  QDVP_UpdateStatLogSockIO(2, 120);
  QDVP_UpdateStatLogPost(30);
  QDVP_UpdateStatLogTrap(3);
  QDVP_UpdateStatLogDCHio(60);
  QDV0_AdvanceClock(60);
  struct Case {
    int type;
    const char *text;
  } cases[] = {
      {QDVP_TYPE_SOCK, "Interval 1.0 min, Total opened sockets 2, Socket I/O rate 120.0/min, "
                       "Output to agent message rate 60.0/min"},
      {QDVP_TYPE_POST, "Interval 0.0 min, Message post rate 30.0/min, Output to agent message "
                       "rate 60.0/min"},
      {QDVP_TYPE_SNMP, "Interval 0.0 min, Traps received 3, Output to agent message rate "
                       "60.0/min"},
      {QDVP_TYPE_HTTP, "Interval 0.0 min, "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.type);
    anchor_.DPtype = c.type;
    EXPECT_EQ(Text(), c.text);
  }
}

TEST_F(Statistics, TheMetricsPageShowsTotalsThatNeverReset) {
  QDVP_UpdateStatLogSockIO(1, 5);
  QDV0_AdvanceClock(60);
  Text();
  QDVP_UpdateStatLogSockIO(0, 2);
  std::string page = QDVP_FormatMetricsPage(&anchor_);
  EXPECT_NE(page.find("# TYPE qdvp_socket_receives_total counter\nqdvp_socket_receives_total 7\n"),
            std::string::npos)
      << page;
  EXPECT_NE(page.find("qdvp_sockets_opened_total 1\n"), std::string::npos);
  EXPECT_NE(page.find("qdvp_up 1\n"), std::string::npos);
}

}  // namespace
