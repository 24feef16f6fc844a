// SNMP collection end to end: net-snmp's snmpd on loopback as the polled agent, `qdvp start
// snmp` with the example MIB metafiles, qdvp-dch sending SNMPSTARTGET and SNMPSTOPGET take
// actions from its action file; rows, action answers and no-data rows read from the peer.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/dpworld.h"
#include "tests/support/snmpagent.h"

namespace {

using namespace std::chrono_literals;
using qdvp_test::WaitFor;

class SnmpCollection : public qdvp_test::DataProviderWorld {
 protected:
  Strings PeerArgs() const override { return {"--action-file", File("actions.jsonl")}; }
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_SNMP_CUSTOM_MIBGET_INTERVAL", "1"},
            {"QDVP_SNMP_NET_COMMUNITY", "qdvptest"},
            {"QDVP_SNMP_RESPONSE_WAIT", "1"},
            {"QDVP_SNMP_NODATA_INTERVAL", "2"},
            {"QDVP_DPCONSOLE_PORT", std::to_string(consoleBase_)},
            {"MIBS", ""}};
  }
  void SetUp() override {
    if (access("/usr/sbin/snmpd", X_OK) != 0) GTEST_SKIP() << "snmpd is not installed";
    DataProviderWorld::SetUp();
    // One snmpd answers on three loopback addresses; each address is an agent of its own.
    agentPort_ = qdvp_test::FreePort();
    std::string p = std::to_string(agentPort_);
    dir_.Write("snmpd.conf", "agentaddress udp:127.0.0.1:" + p + ",udp:127.0.0.3:" + p +
                                 ",udp:127.0.0.4:" + p +
                                 "\nrocommunity qdvptest\nsysDescr qdvp test agent\n"
                                 "sysLocation lab\nsysContact ops@example.org\n");
    snmpd_ = std::make_unique<qdvp_test::Child>(
        Strings{"/usr/sbin/snmpd", "-f", "-C", "-c", File("snmpd.conf"), "-I", "-smux", "-Lf",
                File("snmpd.log"), "-p", File("snmpd.pid")},
        std::map<std::string, std::string>{{"SNMP_PERSISTENT_DIR", dir_.path()}, {"MIBS", ""}},
        dir_.path());
    ASSERT_TRUE(WaitFor([&] { return SnmpGet("127.0.0.1", "1.3.6.1.2.1.1.5.0") != ""; }, 10s))
        << qdvp_test::ReadFile(File("snmpd.log"));
    for (const char *name : {"snmp-system", "snmp-ifTable"}) {
      Metafile(name,
               qdvp_test::ReadFile(qdvp_test::SourceDir() + "/examples/metafiles/" + name + ".mdl"),
               false);
    }
    Start();
  }
  // An SNMP data provider reads no startup configuration: its MIBs are imported.
  void Start() {
    Launch("snmp");
    ASSERT_TRUE(WaitLogged("DP automation server active")) << Trace();
    for (const char *name : {"snmp-system.mdl", "snmp-ifTable.mdl"}) {
      std::string reply = Console("IMPORT", name);
      ASSERT_NE(reply.find("result 0:"), std::string::npos) << reply << Trace();
    }
    ASSERT_TRUE(WaitFor([&] { return OnlineSources("Interfaces") == 1; }, 20s)) << Trace();
  }
  std::string Console(const std::string &command, const std::string &operand = "") const {
    std::string reply;
    Strings argv = {qdvp_test::BinDir() + "/qdvp", "console", "--port",
                    std::to_string(consoleBase_ + 5), command};
    if (!operand.empty()) argv.push_back(operand);
    qdvp_test::Run(argv, {}, &reply);
    return reply;
  }
  void TearDown() override {
    DataProviderWorld::TearDown();
    snmpd_.reset();
  }
  std::string Agent(const char *address) const {
    return std::string(address) + ":" + std::to_string(agentPort_);
  }
  // What snmpget prints as the value, "" without an answer.
  std::string SnmpGet(const char *address, const std::string &oid) const {
    std::string out;
    qdvp_test::Run({"/usr/bin/snmpget", "-v1", "-c", "qdvptest", "-t", "1", "-r", "0", "-Oqvn",
                    Agent(address), oid},
                   {{"MIBS", ""}}, &out);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    if (out.size() >= 2 && out.front() == '"') out = out.substr(1, out.size() - 2);
    return out.find("Timeout") != std::string::npos ? "" : out;
  }
  // Appends a take action of the SNMP type to the file the peer follows.
  void Send(int id, const std::string &name, const std::string &parameter) {
    std::ofstream(File("actions.jsonl"), std::ios::app)
        << "{\"id\":" << id << ",\"type\":3,\"node\":\"snmp\",\"name\":\"" << name
        << "\",\"owner\":\"Sit1\",\"parameter\":\"" << parameter << "\"}\n";
  }
  std::string Outcome(int id) const {
    auto rows = dch_test::Query(peer_->Db(), "select status, result from actions where id=" +
                                                 std::to_string(id) + " and status is not null");
    return rows.empty() ? "none" : rows[0][0] + "|" + rows[0][1];
  }
  int RowsOf(const std::string &group, const std::string &agent) const {
    return std::stoi("0" + dch_test::QueryOne(peer_->Db(),
                                              "select count(*) from rows where attribute_group='" +
                                                  group + "' and json_extract(attrs,"
                                                  "'$.Agent_Name')='" + agent + "'"));
  }
  std::unique_ptr<qdvp_test::Child> snmpd_;
  int agentPort_ = 0;
  int consoleBase_ = qdvp_test::FreePort() - 5;
  int mark_ = 0;  // no-data rows up to this one are of earlier reports
};

// A scalar group gives one row per agent and cycle with the values snmpget reads; a table
// started without ATTRGROUP is walked, one row per interface with its instance; a stop with
// "*" ends one collection and leaves the other running; stopping what never started says so.
TEST_F(SnmpCollection, ScalarAndTabularRowsUntilStopped) {
  Send(1, "SNMPSTARTGET", "APPLNAME=MibSystem ATTRGROUP=System AGENTINFO=(" +
                              Agent("127.0.0.1") + ")");
  Send(2, "SNMPSTARTGET", "APPLNAME=MibInterfaces AGENTINFO=(" + Agent("127.0.0.1") + ")");
  std::string agent = Agent("127.0.0.1");
  ASSERT_TRUE(WaitFor([&] { return RowsOf("System", agent) >= 2; }, 30s)) << Trace();
  EXPECT_EQ(Outcome(1), "0|MIB monitor started");
  EXPECT_EQ(Outcome(2), "0|MIB monitor started");
  auto row = dch_test::Query(peer_->Db(),
                             "select json_extract(attrs,'$.Agent_Info'), "
                             "json_extract(attrs,'$.Descr'), json_extract(attrs,'$.Location'), "
                             "json_extract(attrs,'$.Contact'), json_extract(attrs,'$.Name'), "
                             "json_extract(attrs,'$.ObjectID'), json_extract(attrs,'$.UpTime') "
                             "from rows where attribute_group='System' order by id limit 1");
  ASSERT_EQ(row.size(), 1u);
  EXPECT_EQ(row[0][0], "Input Only");
  EXPECT_EQ(row[0][1], "qdvp test agent");
  EXPECT_EQ(row[0][2], "lab");
  EXPECT_EQ(row[0][3], "ops@example.org");
  EXPECT_EQ(row[0][4], SnmpGet("127.0.0.1", "1.3.6.1.2.1.1.5.0"));
  EXPECT_EQ("." + row[0][5], SnmpGet("127.0.0.1", "1.3.6.1.2.1.1.2.0"));
  EXPECT_GT(std::stoll(row[0][6]), 0);

  // Every interface of the agent, once per cycle, with the description snmpget reads.
  std::string walk;
  qdvp_test::Run({"/usr/bin/snmpwalk", "-v1", "-c", "qdvptest", "-Oqv", agent,
                  "1.3.6.1.2.1.2.2.1.1"},
                 {{"MIBS", ""}}, &walk);
  std::set<std::string> indexes;
  std::istringstream lines(walk);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) indexes.insert(line);
  }
  ASSERT_FALSE(indexes.empty()) << walk;
  ASSERT_TRUE(WaitRows("Interfaces", 2 * static_cast<int>(indexes.size()), 30s)) << Trace();
  std::set<std::string> seen;
  for (const std::string &index : Values("Interfaces", "Index")) seen.insert(index);
  EXPECT_EQ(seen, indexes);
  // The generated instance attribute carries each row's instance, here its ifIndex.
  EXPECT_EQ(dch_test::QueryOne(peer_->Db(), "select count(*) from rows where "
                                            "attribute_group='Interfaces' and json_extract(attrs,"
                                            "'$._ObjectInstance') <> cast(json_extract(attrs,"
                                            "'$.Index') as text)"),
            "0");
  EXPECT_EQ(dch_test::QueryOne(peer_->Db(), "select json_extract(attrs,'$._ObjectInstance') "
                                            "from rows where attribute_group='Interfaces' "
                                            "order by id limit 1"),
            *indexes.begin());
  std::string first = *indexes.begin();
  EXPECT_EQ(dch_test::QueryOne(peer_->Db(), "select json_extract(attrs,'$.Descr') from rows "
                                            "where attribute_group='Interfaces' and "
                                            "json_extract(attrs,'$.Index')=" + first +
                                            " limit 1"),
            SnmpGet("127.0.0.1", "1.3.6.1.2.1.2.2.1.2." + first));

  Send(3, "SNMPSTOPGET", "APPLNAME=MibSystem ATTRGROUP=System AGENTINFO=(*)");
  ASSERT_TRUE(WaitFor([&] { return Outcome(3) != "none"; }, 20s)) << Trace();
  EXPECT_EQ(Outcome(3), "0|MIB monitor stopped for requested nodes");
  ASSERT_TRUE(WaitLogged("enterprise MibSystem attribute group System ended")) << Trace();
  int stopped = Count("System"), interfaces = Count("Interfaces");
  ASSERT_TRUE(WaitRows("Interfaces", interfaces + 2 * static_cast<int>(indexes.size()), 30s));
  EXPECT_EQ(Count("System"), stopped);

  Send(4, "SNMPSTOPGET", "APPLNAME=MibSystem ATTRGROUP=System AGENTINFO=(*)");
  Send(5, "SNMPSTARTGET", "APPLNAME=NoSuchMib AGENTINFO=(127.0.0.1)");
  ASSERT_TRUE(WaitFor([&] { return Outcome(5) != "none"; }, 20s)) << Trace();
  EXPECT_EQ(Outcome(4), "0|Monitoring never started");
  EXPECT_EQ(Outcome(5).substr(0, 2), "9|");
  // Each answered SNMP action has its ACTION row.
  ASSERT_TRUE(WaitRows("ACTION", 5)) << Trace();
  EXPECT_EQ(dch_test::QueryOne(peer_->Db(), "select json_extract(attrs,'$.Action_Result') from "
                                            "rows where attribute_group='ACTION' and "
                                            "json_extract(attrs,'$.Action_ID')=3"),
            "MIB monitor stopped for requested nodes");

  // A symbolic network name stands for the network's nodes of the managed node list.
  dir_.Write("nodes.cfg", "* lab nodes\n127.0.0.4\n127.0.0.1 first\n10.9.9.9\n");
  dir_.Write("qdvpname.cfg", "127.0.0 lab\n");
  EXPECT_NE(Console("LOADLIST", "nodes.cfg").find("result 0:"), std::string::npos);
  EXPECT_NE(Console("LOADNAME").find("result 0:"), std::string::npos);
  Send(6, "SNMPSTARTGET", "APPLNAME=MibSystem ATTRGROUP=System AGENTINFO=(lab:" +
                              std::to_string(agentPort_) + ")");
  ASSERT_TRUE(WaitFor([&] { return RowsOf("System", Agent("127.0.0.4")) > 0; }, 30s)) << Trace();
  ASSERT_TRUE(WaitFor([&] { return RowsOf("System", agent) > stopped; }, 30s)) << Trace();
  EXPECT_EQ(dch_test::QueryOne(peer_->Db(), "select count(distinct json_extract(attrs,"
                                            "'$.Agent_Name')) from rows where "
                                            "attribute_group='System'"),
            "2");

  // Deleting a MIB that is being polled ends its collection first.
  EXPECT_NE(Console("DELETE", "snmp-ifTable.mdl").find("result 0:"), std::string::npos);
  EXPECT_TRUE(WaitLogged("enterprise MibInterfaces attribute group Interfaces ended")) << Trace();
  EXPECT_EQ(OnlineSources("Interfaces"), 0);
}

// Agents that do not answer — nobody listening, a wrong community of its own, the default
// community the agent refuses — cost only their own rows: the live agent beside them is polled
// every cycle, and the silent ones are reported as rows of the no-data table. A reloaded
// community file gives the third its right community, and its rows and data-again follow.
TEST_F(SnmpCollection, SilentAgentsAreReportedAndLiveOnesPolled) {
  extraEnv_["QDVP_SNMP_NET_COMMUNITY"] = "vesper";
  Stop();
  Start();
  std::string dead = Agent("127.0.0.2"), wrong = Agent("127.0.0.3"), filed = Agent("127.0.0.4"),
              live = Agent("127.0.0.1");
  Send(1, "SNMPSTARTGET", "APPLNAME=MibSystem ATTRGROUP=System AGENTINFO=(" + dead + ",{" +
                              wrong + " notthis}, " + filed + ",{" + live + " qdvptest})");
  ASSERT_TRUE(WaitFor([&] { return RowsOf("System", live) >= 2; }, 30s)) << Trace();
  auto silent = [&] {
    std::set<std::string> agents;
    for (auto &r : dch_test::Query(peer_->Db(),
                                   "select json_extract(attrs,'$.Agent_Node'), "
                                   "json_extract(attrs,'$.No_Data_Tables') from rows where "
                                   "attribute_group='NODATA' and id > " + std::to_string(mark_))) {
      if (r[1] == "System") agents.insert(r[0]);
    }
    return agents;
  };
  std::set<std::string> expected = {dead, wrong, filed};
  ASSERT_TRUE(WaitFor([&] { return silent() == expected; }, 30s)) << Trace();
  // Each report is one sample set: its first row starts it, its last ends it (the last
  // report may still be arriving).
  std::string marks;
  for (auto &r : dch_test::Query(peer_->Db(), "select data_sequence from rows where "
                                              "attribute_group='NODATA' order by id")) {
    marks += r[0] + ",";
  }
  EXPECT_TRUE(std::regex_match(marks, std::regex("((1,(0,)*16,)|17,)*(1,(0,)*)?"))) << marks;
  EXPECT_NE(marks.find("1,0,16,"), std::string::npos) << marks;
  EXPECT_EQ(RowsOf("System", dead) + RowsOf("System", wrong) + RowsOf("System", filed), 0);

  dir_.Write("qdvpcomm.cfg", "127.0.0.4 qdvptest\n");
  std::string reply = Console("LOADCOMM");
  EXPECT_NE(reply.find("result 0:"), std::string::npos) << reply;
  ASSERT_TRUE(WaitFor([&] { return RowsOf("System", filed) >= 1; }, 30s)) << Trace();
  mark_ = std::stoi(dch_test::QueryOne(peer_->Db(), "select max(id) from rows"));
  expected.erase(filed);
  ASSERT_TRUE(WaitFor([&] { return silent() == expected; }, 30s)) << Trace();
}

// An agent whose get-next keeps answering with the same instance would be walked forever (ten
// rows a second up to the row limit, every cycle): the walk ends at the first instance that
// does not come after the one asked.
TEST_F(SnmpCollection, AWalkInCirclesEnds) {
  qdvp_test::SimulatedAgents circular(1, 5, "1.3.6.1.2.1.2.2.1", true);
  Send(1, "SNMPSTARTGET", "APPLNAME=MibInterfaces AGENTINFO=" + circular.List());
  std::string agent = circular.List().substr(1, circular.List().size() - 2);
  const std::string ended = "returned instance .1 after .1, table walk ended";
  ASSERT_TRUE(WaitFor([&] { return qdvp_test::Occurrences(Trace(), ended) >= 3; }, 30s))
      << Trace();
  EXPECT_LE(RowsOf("Interfaces", agent), qdvp_test::Occurrences(Trace(), ended) + 1);
  EXPECT_GE(RowsOf("Interfaces", agent), 2);
}

// SNMP rows take the road of every row: the table's filter keeps some instances, a derived
// attribute is computed from two polled counters.
TEST_F(SnmpCollection, FiltersAndDerivedAttributesApply) {
  qdvp_test::SimulatedAgents agent(1, 5, "1.3.6.1.4.1.99999.1.1");
  Metafile("bench", "//SNMP TEXT\n//APPL BenchMib enterprise 1.3.6.1.4.1.99999\n//NAME Tab P 300\n"
                    "//ATTRIBUTES\nAgent_Info D 64 1.3.6.1.4.1.99999.1.1.1\n"
                    "Agent_Name D 64 1.3.6.1.2.1.1.5\n"
                    "Index G 1.3.6.1.4.1.99999.1.1.1 +FILTER={NUMBER>(0,2)}\n"
                    "In C 1.3.6.1.4.1.99999.1.1.2\nOut C 1.3.6.1.4.1.99999.1.1.3\n"
                    "Total (In + Out)\n",
           false);
  ASSERT_NE(Console("IMPORT", "bench.mdl").find("result 0:"), std::string::npos) << Trace();
  Send(1, "SNMPSTARTGET", "APPLNAME=BenchMib ATTRGROUP=Tab AGENTINFO=" + agent.List());
  ASSERT_TRUE(WaitRows("Tab", 6)) << Trace();
  std::set<std::string> indexes;
  for (const std::string &i : Values("Tab", "Index")) indexes.insert(i);
  EXPECT_EQ(indexes, (std::set<std::string>{"3", "4", "5"}));
  for (const std::string &total : Values("Tab", "Total")) EXPECT_EQ(total, "50000");
  for (const std::string &in : Values("Tab", "In")) EXPECT_EQ(in, "25000");
}

}  // namespace
