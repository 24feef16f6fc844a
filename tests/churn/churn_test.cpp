// The churn suite: every kind of source flows while the records it runs through are deleted,
// refreshed and made again, for QDVP_TEST_CHURN_SECONDS seconds (30 unless set), under whatever
// sanitizer the build has. Each case ends with the same checks: the data provider still runs,
// said nothing a sanitizer says and stops within its bound; and the rows at the agent are
// rows that were offered, with every row that was offered either stored or lost with its
// application's deletion (whose DP log message says so).
//   - ASFS: a monitored file, two socket partners and an API client feed four applications;
//     the console REFRESHes, DELETEs and IMPORTs each of them over and over.
//   - SNMP: collections of a real snmpd, with an agent that never answers beside it, start and
//     stop through take actions while their MIBs are deleted, imported and refreshed.
//   - HTTP: URLs of nginx, one behind a slow redirect, are added and removed through
//     configuration requests while their samples are in flight.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "include/qdvp_client.h"
#include "tests/churn/churn_world.h"
#include "tests/support/dchpeer.h"
#include "tests/support/qdvptest.h"
#include "tests/support/webserver.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qdvp_test::WaitFor;
using Strings = std::vector<std::string>;

// How long each case churns.
std::chrono::seconds ChurnTime() {
  const char *text = getenv("QDVP_TEST_CHURN_SECONDS");
  int seconds = text != nullptr ? atoi(text) : 0;
  return std::chrono::seconds(seconds > 0 ? seconds : 30);
}

// What one feeder offered: every record's text, those the data provider confirmed (a socket
// partner's acknowledgement, an API call that came back 0) and those sent on a session the data
// provider ended (their application went).
struct Offered {
  std::mutex mutex;
  std::vector<std::string> sent;
  std::set<std::string> confirmed, atRisk;
  void Sent(const std::string &r) {
    std::lock_guard<std::mutex> lock(mutex);
    sent.push_back(r);
  }
  void Confirm(const std::string &r) {
    std::lock_guard<std::mutex> lock(mutex);
    confirmed.insert(r);
  }
  void Risk(const std::string &r) {
    std::lock_guard<std::mutex> lock(mutex);
    atRisk.insert(r);
  }
};

// The stored values of a table's attribute at the agent.
std::multiset<std::string> Stored(const std::string &db, const std::string &group,
                                  const std::string &attr) {
  std::multiset<std::string> values;
  for (auto &row : dch_test::Query(db, "select json_extract(attrs,'$." + attr +
                                           "') from rows where attribute_group='" + group + "'")) {
    values.insert(row[0]);
  }
  return values;
}

// Every stored row was offered; every confirmed one is stored; every one offered and not stored
// went with a session its application's deletion ended.
void ExpectAccounted(const std::string &what, Offered *offered,
                     const std::multiset<std::string> &stored) {
  SCOPED_TRACE(what);
  std::lock_guard<std::mutex> lock(offered->mutex);
  std::set<std::string> sent(offered->sent.begin(), offered->sent.end());
  int foreign = 0, unconfirmed = 0, unaccounted = 0;
  std::string example;
  for (const std::string &row : stored) {
    if (sent.count(row) == 0 && foreign++ == 0) example += " foreign " + row;
  }
  for (const std::string &row : offered->confirmed) {
    if (stored.count(row) == 0 && unconfirmed++ == 0) example += " confirmed but lost " + row;
  }
  for (const std::string &row : sent) {
    if (stored.count(row) == 0 && offered->atRisk.count(row) == 0 && unaccounted++ == 0) {
      example += " lost without a deletion " + row;
    }
  }
  printf("[ churn    ] %s: %zu offered, %zu confirmed, %zu at risk, %zu stored\n", what.c_str(),
         sent.size(), offered->confirmed.size(), offered->atRisk.size(), stored.size());
  EXPECT_GT(stored.size(), 0u);
  EXPECT_EQ(foreign, 0) << example;
  EXPECT_EQ(unconfirmed, 0) << example;
  EXPECT_EQ(unaccounted, 0) << example;
}

// ---- Files, socket partners and an API client -----------------------------------------------

class ChurnSources : public qdvp_test::ChurnWorld {
 protected:
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_DP_PORT", std::to_string(sockPort_)},
            {"QDVP_API_DPAPI_PORT", std::to_string(apiPort_)},
            {"QDVP_STATE_DIR", File("state")},
            {"QDVP_DP_EVENT", "1"},
            {"QDVP_DP_SAMPLE_FACTOR", "2"},
            {"QDVP_DP_EXPIRE_FACTOR", "1"}};
  }
  int sockPort_ = qdvp_test::FreePort();
  int apiPort_ = qdvp_test::FreePort();
};

// A socket partner: from its own loopback address, one record at a time, each waited for its
// acknowledgement; a connection the data provider ends is made again.
void Partner(int port, const char *from, const std::string &prefix, std::atomic<bool> *stop,
             Offered *offered) {
  for (int n = 0; !*stop;) {
    auto c = dch_test::Client::Open(port, false, from);
    if (!c) {
      std::this_thread::sleep_for(100ms);
      continue;
    }
    while (!*stop) {
      std::string record = prefix + std::to_string(n++);
      offered->Sent(record);
      // A record sent without an acknowledgement back went with the session.
      if (!c->Send(record + "\n") || c->Read(4, 3s).size() != 4) {
        offered->Risk(record);
        break;
      }
      offered->Confirm(record);
      std::this_thread::sleep_for(20ms);
    }
  }
}

// The API client: a session on the application's table, a record at a time. A record is held
// back until the next call decides its row control, so a call that came back 0 confirms the
// record before it; a session that fails puts its last records at risk.
void ApiClient(int port, std::atomic<bool> *stop, Offered *offered) {
  for (int n = 0; !*stop;) {
    qdvpc_session *s = nullptr;
    if (qdvpc_open("127.0.0.1", port, 0, &s) != QDVPC_OK) {
      std::this_thread::sleep_for(100ms);
      continue;
    }
    qdvpc_set_timeout(s, 5000);
    if (qdvpc_begin_input(s, "ChurnApi", "ApiRecs") != QDVPC_OK) {
      qdvpc_close(s);
      std::this_thread::sleep_for(100ms);
      continue;
    }
    std::string previous;
    for (;;) {
      std::string record = "a" + std::to_string(n++);
      offered->Sent(record);
      if (qdvpc_send(s, (record + "\n").c_str()) != QDVPC_OK) {
        offered->Risk(record);
        if (!previous.empty()) offered->Risk(previous);
        break;
      }
      if (!previous.empty()) offered->Confirm(previous);
      previous = record;
      if (*stop) {
        if (qdvpc_end_input(s) == QDVPC_OK) {
          offered->Confirm(previous);
        } else {
          offered->Risk(previous);
        }
        break;
      }
      std::this_thread::sleep_for(20ms);
    }
    qdvpc_close(s);
  }
}

TEST_F(ChurnSources, FileSocketsAndApiClientFlowWhileTheirApplicationsComeAndGo) {
  mkdir(File("state").c_str(), 0755);
  std::string log = dir_.Write("feed.log", "");
  const struct {
    const char *metafile, *text;
  } applications[] = {
      {"churnfile",
       "//APPL ChurnFile\n//NAME FileLines E\n//SOURCE FILE @DIR@/feed.log\n"
       "//ATTRIBUTES ' '\nLine D 16\n"},
      {"churnsocka",
       "//APPL ChurnSockA\n//NAME SockA E\n//SOURCE SOCK 127.0.0.6\n//CONFIRM SEQ\n"
       "//ATTRIBUTES ','\nLine D 16\n"},
      {"churnsockb",
       "//APPL ChurnSockB\n//NAME SockB E\n//SOURCE SOCK 127.0.0.7\n//CONFIRM SEQ\n"
       "//ATTRIBUTES ','\nLine D 16\n"},
      {"churnapi", "//APPL ChurnApi\n//NAME ApiRecs E\n//ATTRIBUTES ','\nLine D 16\n"},
  };
  for (const auto &a : applications) Metafile(a.metafile, a.text);
  Launch("asfs");
  ASSERT_TRUE(WaitLogged("DP automation server active")) << Trace();
  // The file's first line brings its source online; lines before that are not sent (a file
  // followed from its end), so counting starts after it.
  Offered file, sockA, sockB, api;
  ASSERT_TRUE(WaitFor(
      [&] {
        FILE *f = fopen(log.c_str(), "a");
        fputs("start\n", f);
        fclose(f);
        file.Sent("start");
        file.Risk("start");
        std::this_thread::sleep_for(100ms);
        return OnlineSources("FileLines") == 1;
      },
      30s))
      << Trace();

  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int n = 0; !stop; n++) {
      std::string line = "f" + std::to_string(n);
      FILE *f = fopen(log.c_str(), "a");
      fprintf(f, "%s\n", line.c_str());
      fclose(f);
      file.Sent(line);
      std::this_thread::sleep_for(10ms);
    }
  });
  std::thread partnerA(Partner, sockPort_, "127.0.0.6", "sa", &stop, &sockA);
  std::thread partnerB(Partner, sockPort_, "127.0.0.7", "sb", &stop, &sockB);
  std::thread client(ApiClient, apiPort_, &stop, &api);

  // The operator's churn: each application in turn refreshed, or deleted and imported again.
  int rounds = 0;
  for (auto end = Clock::now() + ChurnTime(); Clock::now() < end; rounds++) {
    const char *metafile = applications[rounds % 4].metafile;
    std::string name = std::string(metafile) + ".mdl";
    if (rounds % 3 == 2) {
      std::string reply = Console("asfs", "REFRESH", name);
      EXPECT_NE(reply.find("result 0:"), std::string::npos) << name << ": " << reply;
    } else {
      std::string reply = Console("asfs", "DELETE", name);
      EXPECT_NE(reply.find("result 0:"), std::string::npos) << name << ": " << reply;
      std::this_thread::sleep_for(200ms);
      reply = Console("asfs", "IMPORT", name);
      EXPECT_NE(reply.find("result 0:"), std::string::npos) << name << ": " << reply;
    }
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(qdvp_->Running()) << qdvp_->Stderr();
  }
  stop = true;
  for (std::thread *t : {&writer, &partnerA, &partnerB, &client}) t->join();

  // Every line of the file reaches the agent: the server of a refreshed or re-imported
  // application goes on from the position its predecessor saved.
  std::set<std::string> lines(file.sent.begin(), file.sent.end());
  lines.erase("start");
  ASSERT_TRUE(WaitFor(
      [&] {
        auto stored = Stored(peer_->Db(), "FileLines", "Line");
        return std::all_of(lines.begin(), lines.end(),
                           [&](const std::string &l) { return stored.count(l) != 0; });
      },
      60s))
      << rounds << " rounds, " << lines.size() << " lines, missing:" << [&] {
           auto stored = Stored(peer_->Db(), "FileLines", "Line");
           std::string missing;
           for (const std::string &l : file.sent) {
             if (stored.count(l) == 0 && missing.size() < 400) missing += " " + l;
           }
           return missing;
         }();
  ExpectAccounted("file", &file, Stored(peer_->Db(), "FileLines", "Line"));
  ExpectAccounted("partner A", &sockA, Stored(peer_->Db(), "SockA", "Line"));
  ExpectAccounted("partner B", &sockB, Stored(peer_->Db(), "SockB", "Line"));
  ExpectAccounted("API client", &api, Stored(peer_->Db(), "ApiRecs", "Line"));
  EXPECT_GE(Logged("Existing application ChurnSockA deleted"), 1);
  ExpectCleanEnd();
}

// ---- SNMP collections -------------------------------------------------------------------

class ChurnSnmpCollections : public qdvp_test::ChurnWorld {
 protected:
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_SNMP_CUSTOM_MIBGET_INTERVAL", "1"},
            {"QDVP_SNMP_NET_COMMUNITY", "qdvptest"},
            {"QDVP_SNMP_RESPONSE_WAIT", "1"},
            {"QDVP_SNMP_NODATA_INTERVAL", "1"},
            {"QDVP_DPCONSOLE_PORT", std::to_string(consoleBase_)},
            {"MIBS", ""}};
  }
  int consoleBase_ = qdvp_test::FreePort() - 5;
};

TEST_F(ChurnSnmpCollections, CollectionsStartAndStopWhileTheirMibsComeAndGo) {
  if (access("/usr/sbin/snmpd", X_OK) != 0) GTEST_SKIP() << "snmpd is not installed";
  int agentPort = qdvp_test::FreePort();
  std::string p = std::to_string(agentPort);
  dir_.Write("snmpd.conf", "agentaddress udp:127.0.0.1:" + p +
                               "\nrocommunity qdvptest\nsysDescr qdvp churn agent\n");
  qdvp_test::Child snmpd(Strings{"/usr/sbin/snmpd", "-f", "-C", "-c", File("snmpd.conf"), "-I",
                                 "-smux", "-Lf", File("snmpd.log"), "-p", File("snmpd.pid")},
                         {{"SNMP_PERSISTENT_DIR", dir_.path()}, {"MIBS", ""}}, dir_.path());
  for (const char *name : {"snmp-system", "snmp-ifTable"}) {
    Metafile(name,
             qdvp_test::ReadFile(qdvp_test::SourceDir() + "/examples/metafiles/" + name + ".mdl"),
             false);
  }
  Launch("snmp");
  ASSERT_TRUE(WaitLogged("DP automation server active")) << Trace();
  for (const char *name : {"snmp-system.mdl", "snmp-ifTable.mdl"}) {
    ASSERT_NE(Console("snmp", "IMPORT", name).find("result 0:"), std::string::npos) << Trace();
  }
  std::string live = "127.0.0.1:" + p, dead = "127.0.0.2:" + std::to_string(qdvp_test::FreePort());
  const std::string system =
                        "APPLNAME=MibSystem ATTRGROUP=System AGENTINFO=(" + live + "," + dead + ")",
                    interfaces = "APPLNAME=MibInterfaces AGENTINFO=(" + live + ")";
  int id = 0;
  std::vector<int> sent;
  auto act = [&](const std::string &name, const std::string &parameter) {
    Action(++id, 3, name, "snmp", parameter);
    sent.push_back(id);
  };
  act("SNMPSTARTGET", system);
  act("SNMPSTARTGET", interfaces);
  ASSERT_TRUE(WaitRows("System", 1, 30s)) << Trace();
  int rounds = 0;
  for (auto end = Clock::now() + ChurnTime(); Clock::now() < end; rounds++) {
    switch (rounds % 6) {
      case 0:
        EXPECT_NE(Console("snmp", "DELETE", "snmp-ifTable.mdl").find("result 0:"),
                  std::string::npos);
        break;
      case 1:
        EXPECT_NE(Console("snmp", "IMPORT", "snmp-ifTable.mdl").find("result 0:"),
                  std::string::npos);
        act("SNMPSTARTGET", interfaces);
        break;
      case 2:
        act("SNMPSTOPGET", "APPLNAME=MibSystem ATTRGROUP=System AGENTINFO=(*)");
        break;
      case 3:
        EXPECT_NE(Console("snmp", "REFRESH", "snmp-system.mdl").find("result 0:"),
                  std::string::npos);
        act("SNMPSTARTGET", system);
        break;
      case 4:
        EXPECT_NE(Console("snmp", "REFRESH", "snmp-ifTable.mdl").find("result 0:"),
                  std::string::npos);
        break;
      case 5:
        EXPECT_NE(Console("snmp", "DELETE", "snmp-system.mdl").find("result 0:"),
                  std::string::npos);
        EXPECT_NE(Console("snmp", "IMPORT", "snmp-system.mdl").find("result 0:"),
                  std::string::npos);
        act("SNMPSTARTGET", system);
        break;
    }
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(qdvp_->Running()) << qdvp_->Stderr();
  }
  // Every action is answered, a collection started at the end brings rows, and every row and
  // every collection's start and end name the live agent and a table that was asked for.
  act("SNMPSTARTGET", system);
  for (int each : sent) EXPECT_NE(AwaitOutcome(each, 60s), "") << "action " << each;
  printf("[ churn    ] %d rounds, %d actions\n", rounds, id);
  int rows = Count("System");
  ASSERT_TRUE(WaitRows("System", rows + 1, 30s)) << Trace();
  for (const char *group : {"System", "Interfaces"}) {
    EXPECT_EQ(dch_test::QueryOne(peer_->Db(), std::string("select count(*) from rows where "
                                                          "attribute_group='") +
                                                  group +
                                                  "' and json_extract(attrs,'$.Agent_Name')"
                                                  " <> '" +
                                                  live + "'"),
              "0")
        << group;
  }
  std::string trace = Trace();
  int named = 0;
  for (size_t at = 0;
       (at = trace.find("SNMP management for MIB enterprise ", at)) != std::string::npos;
       at++, named++) {
    std::string line = trace.substr(at, trace.find('\n', at) - at);
    EXPECT_TRUE(line.find("MibSystem attribute group System") != std::string::npos ||
                line.find("MibInterfaces attribute group Interfaces") != std::string::npos)
        << line;
  }
  EXPECT_GT(named, rounds / 3);
  ExpectCleanEnd();
}

// ---- URLs -----------------------------------------------------------------------------------

class ChurnUrls : public qdvp_test::ChurnWorld {
 protected:
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_URL_MIN_SAMPLE_INTERVAL", "1"},
            {"QDVP_URL_DATASET_PERIOD", "6"},
            {"QDVP_URL_DATASET_MIN_SAMPLES", "3"},
            {"QDVP_URL_MAX_REPLY_WAIT", "2"}};
  }
  std::string Node() const { return Subnode("Managed_URL", ":INTERNETMANAGED_URL00"); }
};

TEST_F(ChurnUrls, UrlsComeAndGoWhileTheirSamplesAreInFlight) {
  qdvp_test::Nginx web;
  web.WriteFile("index.html", "<html><title>churn</title><img src=\"a.gif\"></html>");
  web.WriteFile("a.gif", std::string(500, 'g'));
  ASSERT_TRUE(web.Start()) << web.Problem();
  qdvp_test::SlowServer slow;
  slow.Route("/redirect", 1500ms, web.Url("/index.html"));
  slow.Route("/late", 2500ms, "", "<title>late</title>");
  std::string page = web.Url("/index.html");
  const Strings urls = {slow.Url("/redirect"), slow.Url("/late"), web.Url("/missing"), page};
  dir_.Write("qdvpurls.cfg", page + " INTERVAL=1 USER=ops\n");
  Launch("http");
  ASSERT_TRUE(WaitFor([&] { return !Node().empty(); }, 30s)) << Trace();
  int id = 0, rounds = 0;
  std::string node = Node();
  for (auto end = Clock::now() + ChurnTime(); Clock::now() < end; rounds++) {
    const std::string &url = urls[rounds % 3];
    Action(++id, 1, "DP_CONFIG", node, "URLADD URL=" + url + " USER=churn INTERVAL=1", "admin");
    EXPECT_EQ(AwaitOutcome(id), "0|") << url << Trace();
    // Removed at a different point of its sample each time.
    std::this_thread::sleep_for(std::chrono::milliseconds(300 + 400 * (rounds % 5)));
    Action(++id, 1, "DP_CONFIG", node, "URLREMOVE URL=" + url + " USER=churn", "admin");
    EXPECT_EQ(AwaitOutcome(id), "0|") << url << Trace();
    ASSERT_TRUE(qdvp_->Running()) << qdvp_->Stderr();
  }
  // The URL of the configuration file was sampled all along and still is; every row names a
  // URL that was monitored.
  int rows = Count("Managed_URL");
  ASSERT_TRUE(WaitRows("Managed_URL", rows + 2, 30s)) << Trace();
  std::string in = "'" + page + "'";
  for (const std::string &u : urls) in += ",'" + u + "'";
  EXPECT_EQ(dch_test::QueryOne(peer_->Db(),
                               "select count(*) from rows where attribute_group="
                               "'Managed_URL' and json_extract(attrs,'$.URL') "
                               "not in (" +
                                   in + ")"),
            "0");
  EXPECT_GT(rounds, 3);
  ExpectCleanEnd();
}

}  // namespace
