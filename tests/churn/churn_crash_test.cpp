// Records deleted while a task works on them, one case at a time, each with the timing that
// used to kill the data provider:
//   - a monitored URL removed while its page request is in flight behind a slow redirect: the
//     client task stops waiting for the answer, and the page buffer it had lent must stay the
//     request's, not the task's;
//   - an SNMP MIB deleted while its collection waits on an agent that never answers: DELETE
//     must not free the application under the polling task, whose last words name the table.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/churn/churn_world.h"
#include "tests/support/dchpeer.h"
#include "tests/support/qdvptest.h"
#include "tests/support/webserver.h"

namespace {

using namespace std::chrono_literals;
using qdvp_test::WaitFor;

class ChurnHttp : public qdvp_test::ChurnWorld {
 protected:
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_URL_MIN_SAMPLE_INTERVAL", "1"},
            {"QDVP_URL_DATASET_PERIOD", "6"},
            {"QDVP_URL_DATASET_MIN_SAMPLES", "3"},
            {"QDVP_URL_PAGE_OBJECTS_REPORT", "N"},
            // The client task waits 4 s for a page; the request gives up each hop after 3 s.
            {"QDVP_URL_MAX_REPLY_WAIT", "4"}};
  }
  // The subnode of the Managed_URL table, which take actions on URLs are sent to.
  std::string Node() const { return Subnode("Managed_URL", ":INTERNETMANAGED_URL00"); }
  // Managed_URL rows of a URL so far.
  int RowsOf(const std::string &url) const {
    return std::stoi("0" + dch_test::QueryOne(peer_->Db(),
                                              "select count(*) from rows where attribute_group="
                                              "'Managed_URL' and json_extract(attrs,'$.URL')='" +
                                                  url + "'"));
  }
};

// The slow URL's page takes two hops of 2.5 s each, longer than the client task waits; it is
// removed 1 s into its request. The page of nginx, sampled every second by the same client
// task, goes on being sampled and reported, and the data provider ends cleanly.
TEST_F(ChurnHttp, UrlRemovedWhileItsRequestIsInFlightLeavesTheClientTaskABufferOfItsOwn) {
  qdvp_test::Nginx web;
  ASSERT_TRUE(web.Start()) << web.Problem();
  qdvp_test::SlowServer slow;
  slow.Route("/redirect", 2500ms, slow.Url("/target"));
  slow.Route("/target", 2500ms, "", "<title>late</title>");
  std::string page = web.Url("/index.html"), late = slow.Url("/redirect");
  dir_.Write("qdvpurls.cfg", page + " INTERVAL=1 USER=ops\n");
  Launch("http");
  ASSERT_TRUE(WaitFor([&] { return RowsOf(page) >= 2; }, 30s)) << Trace();

  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    int id = 10 * round;
    int asked = slow.Received("/redirect");
    Action(id + 1, 1, "DP_CONFIG", Node(), "URLADD URL=" + late + " USER=ops INTERVAL=1", "admin");
    ASSERT_EQ(AwaitOutcome(id + 1), "0|") << Trace();
    ASSERT_TRUE(WaitFor([&] { return slow.Received("/redirect") > asked; }, 20s)) << Trace();
    std::this_thread::sleep_for(1s);  // into the request's first hop
    Action(id + 2, 1, "DP_CONFIG", Node(), "URLREMOVE URL=" + late + " USER=ops", "admin");
    ASSERT_EQ(AwaitOutcome(id + 2), "0|") << Trace();
    // Past the client task's wait and the request's own end, the other URL is sampled on.
    int rows = RowsOf(page);
    ASSERT_TRUE(WaitFor([&] { return RowsOf(page) >= rows + 6 || !qdvp_->Running(); }, 30s))
        << Trace();
    ASSERT_TRUE(qdvp_->Running()) << qdvp_->Stderr();
  }
  ExpectCleanEnd();
}

class ChurnSnmp : public qdvp_test::ChurnWorld {
 protected:
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_SNMP_CUSTOM_MIBGET_INTERVAL", "1"},
            {"QDVP_SNMP_RESPONSE_WAIT", "3"},
            {"QDVP_SNMP_NODATA_INTERVAL", "1"},
            {"QDVP_DPCONSOLE_PORT", std::to_string(consoleBase_)},
            {"MIBS", ""}};
  }
  int consoleBase_ = qdvp_test::FreePort() - 5;
};

// A collection of one agent that never answers (each poll waits 3 s) is deleted with its MIB
// 1.5 s into a poll, twice. DELETE answers only once the collection has ended, and the
// collection's end and every no-data report name the table that was deleted.
TEST_F(ChurnSnmp, DeleteWhileTheCollectionWaitsOnADeadAgentEndsTheCollectionFirst) {
  Metafile("snmp-system",
           qdvp_test::ReadFile(qdvp_test::SourceDir() + "/examples/metafiles/snmp-system.mdl"),
           false);
  Launch("snmp");
  ASSERT_TRUE(WaitLogged("DP automation server active")) << Trace();
  std::string dead = "127.0.0.2:" + std::to_string(qdvp_test::FreePort());
  const std::string ended = "enterprise MibSystem attribute group System ended";
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_NE(Console("snmp", "IMPORT", "snmp-system.mdl").find("result 0:"), std::string::npos)
        << Trace();
    int started = Logged("enterprise MibSystem attribute group System started");
    Action(round + 1, 3, "SNMPSTARTGET", "snmp",
           "APPLNAME=MibSystem ATTRGROUP=System AGENTINFO=(" + dead + ")");
    ASSERT_TRUE(WaitLogged("enterprise MibSystem attribute group System started", started + 1))
        << Trace();
    std::this_thread::sleep_for(1500ms);
    int before = Logged(ended);
    std::string reply = Console("snmp", "DELETE", "snmp-system.mdl");
    EXPECT_NE(reply.find("result 0:"), std::string::npos) << reply;
    // The collection had ended when DELETE answered.
    EXPECT_EQ(Logged(ended), before + 1) << Trace();
  }
  // Two more polls' time: nothing of the deleted MIB is reported any more, and what was
  // reported of it named it.
  std::this_thread::sleep_for(4s);
  EXPECT_EQ(Logged(ended), 2);
  std::string trace = Trace();
  for (size_t at = 0;
       (at = trace.find("SNMP management for MIB enterprise ", at)) != std::string::npos; at++) {
    std::string line = trace.substr(at, trace.find('\n', at) - at);
    EXPECT_NE(line.find("MibSystem attribute group System"), std::string::npos) << line;
  }
  ExpectCleanEnd();
}

}  // namespace
