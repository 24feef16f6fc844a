// SNMP collection end to end: net-snmp's snmpd on loopback as the polled agent, `qdvp start
// snmp` with the example MIB metafiles, qdvp-dch sending SNMPSTARTGET and SNMPSTOPGET take
// actions from its action file; rows, action answers and no-data rows read from the peer. And
// SNMP version 1 messages: a request byte for byte, answers that pass or fail the checks, each
// value type into each attribute form, and the wait for the polled agent on loopback (an answer
// from another port is ignored, no answer is a time-out).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp_services.h"
#include "include/qdvp_snmp.h"
#include "tests/support/dchpeer.h"
#include "tests/support/dpworld.h"
#include "tests/support/qdvptest.h"
#include "tests/support/snmpagent.h"

namespace {

using namespace std::chrono_literals;
using dch_test::Hex;
using dch_test::Unhex;
using qdvp_test::WaitFor;

// The operands of a start or stop of the scalar System group for the agents that follow.
const std::string kSystem = "APPLNAME=MibSystem ATTRGROUP=System AGENTINFO=";

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
                                 "\nrocommunity qdvptest\nrwcommunity qdvpwrite\n"
                                 "sysDescr qdvp test agent\n"
                                 "sysLocation lab\nsysContact ops@example.org\n"
                                 "pass .1.3.6.1.4.1.99998 /bin/sh " +
                                 File("wide.sh") + "\n");
    // Two 64-bit counters, one beyond what a signed 64-bit number holds, one just past 2^32.
    dir_.Write(
        "wide.sh",
        "[ \"$1\" = -g ] || exit 0\ncase \"$2\" in\n"
        ".1.3.6.1.4.1.99998.1.0) printf '%s\\ncounter64\\n18446744073709551610\\n' \"$2\";;\n"
        ".1.3.6.1.4.1.99998.2.0) printf '%s\\ncounter64\\n4294967301\\n' \"$2\";;\n"
        "esac\n");
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
    std::string reply, err;
    int rc = RunConsole("snmp", operand.empty() ? Strings{command} : Strings{command, operand},
                        &reply, &err);
    // What the console program said when it could not deliver the command belongs to the reply.
    if (rc != 0) reply += "[qdvp console exit " + std::to_string(rc) + "] " + err;
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
  void Send(int id, const std::string &name, const std::string &parameter, int type = 3,
            const std::string &node = "snmp") {
    AppendActions({"{\"id\":" + std::to_string(id) + ",\"type\":" + std::to_string(type) +
                   ",\"node\":\"" + node + "\",\"name\":\"" + name +
                   "\",\"owner\":\"Sit1\",\"parameter\":\"" + parameter + "\"}"});
  }
  // Sends the action and waits for its answer.
  std::string Answer(int id, const std::string &name, const std::string &parameter, int type = 3,
                     const std::string &node = "snmp") {
    Send(id, name, parameter, type, node);
    WaitFor([&] { return !Outcome(id, name).empty(); }, 30s);
    return Outcome(id, name);
  }
  // An attribute of the first row of a table for which the condition holds.
  std::string First(const std::string &group, const std::string &attr,
                    const std::string &condition = "1") const {
    return dch_test::QueryOne(peer_->Db(), "select json_extract(attrs,'$." + attr +
                                               "') from rows where attribute_group='" + group +
                                               "' and " + condition + " order by id limit 1");
  }
  int RowsOf(const std::string &group, const std::string &agent) const {
    return std::stoi("0" +
                     dch_test::QueryOne(
                         peer_->Db(), "select count(*) from rows where attribute_group='" + group +
                                          "' and json_extract(attrs,"
                                          "'$.Agent_Name')='" +
                                          agent + "'"));
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
  std::string agent = Agent("127.0.0.1");
  Send(1, "SNMPSTARTGET", kSystem + "(" + agent + ")");
  Send(2, "SNMPSTARTGET", "APPLNAME=MibInterfaces AGENTINFO=(" + agent + ")");
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
  EXPECT_GT(std::stoll(row[0].back()), 0);  // UpTime
  row[0].pop_back();
  EXPECT_EQ(row[0], (Strings{"Input Only", "qdvp test agent", "lab", "ops@example.org",
                             SnmpGet("127.0.0.1", "1.3.6.1.2.1.1.5.0"),
                             SnmpGet("127.0.0.1", "1.3.6.1.2.1.1.2.0").substr(1)}));

  // Every interface of the agent, once per cycle, with the description snmpget reads.
  std::string walk;
  qdvp_test::Run(
      {"/usr/bin/snmpwalk", "-v1", "-c", "qdvptest", "-Oqv", agent, "1.3.6.1.2.1.2.2.1.1"},
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
  EXPECT_EQ(First("Interfaces", "Index",
                  "json_extract(attrs,'$._ObjectInstance') <> "
                  "cast(json_extract(attrs,'$.Index') as text)"),
            "");  // no row where they differ
  std::string first = *indexes.begin();
  EXPECT_EQ(First("Interfaces", "_ObjectInstance"), first);
  EXPECT_EQ(First("Interfaces", "Descr", "json_extract(attrs,'$.Index')=" + first),
            SnmpGet("127.0.0.1", "1.3.6.1.2.1.2.2.1.2." + first));

  EXPECT_EQ(Answer(3, "SNMPSTOPGET", kSystem + "(*)"), "0|MIB monitor stopped for requested nodes")
      << Trace();
  ASSERT_TRUE(WaitLogged("enterprise MibSystem attribute group System ended")) << Trace();
  int stopped = Count("System"), interfaces = Count("Interfaces");
  ASSERT_TRUE(WaitRows("Interfaces", interfaces + 2 * static_cast<int>(indexes.size()), 30s));
  EXPECT_EQ(Count("System"), stopped);

  Send(4, "SNMPSTOPGET", kSystem + "(*)");
  Send(5, "SNMPSTARTGET", "APPLNAME=NoSuchMib AGENTINFO=(127.0.0.1)");
  // Two workers carry them out: either may answer first.
  ASSERT_TRUE(WaitFor([&] { return !Outcome(4).empty() && !Outcome(5).empty(); }, 20s)) << Trace();
  EXPECT_EQ(Outcome(4), "0|Monitoring never started");
  EXPECT_EQ(Outcome(5).substr(0, 2), "9|");
  // Each answered SNMP action has its ACTION row.
  ASSERT_TRUE(WaitRows("ACTION", 5)) << Trace();
  EXPECT_EQ(First("ACTION", "Action_Result", "json_extract(attrs,'$.Action_ID')=3"),
            "MIB monitor stopped for requested nodes");

  // A symbolic network name stands for the network's nodes of the managed node list.
  dir_.Write("nodes.cfg", "* lab nodes\n127.0.0.4\n127.0.0.1 first\n10.9.9.9\n");
  dir_.Write("qdvpname.cfg", "127.0.0 lab\n");
  EXPECT_NE(Console("LOADLIST", "nodes.cfg").find("result 0:"), std::string::npos);
  EXPECT_NE(Console("LOADNAME").find("result 0:"), std::string::npos);
  Send(6, "SNMPSTARTGET", kSystem + "(lab:" + std::to_string(agentPort_) + ")");
  ASSERT_TRUE(WaitFor([&] { return RowsOf("System", Agent("127.0.0.4")) > 0; }, 30s)) << Trace();
  ASSERT_TRUE(WaitFor([&] { return RowsOf("System", agent) > stopped; }, 30s)) << Trace();
  EXPECT_EQ(dch_test::QueryOne(peer_->Db(),
                               "select count(distinct json_extract(attrs,"
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
// every cycle, and the silent ones are reported as rows of the no-data table. The community
// file is read at its first use: the agent it names is polled with its community from the
// start. A reloaded file that names a wrong community silences that agent too. Then, on the
// same data provider, traps of TRAPEMIT actions reach net-snmp's snmptrapd field by field;
// destinations of the action, the variable and the trap configuration file that TRAPCNFG
// reloads. Every UDP socket the data provider sends from is bound to loopback or connected to
// its one peer.
TEST_F(SnmpCollection, SilentAgentsAreReportedAndLiveOnesPolledAndTrapsReachTheReceiver) {
  extraEnv_["QDVP_SNMP_NET_COMMUNITY"] = "vesper";
  extraEnv_["QDVP_TRAP_EMIT_COMMUNITY"] = "qdvptrap";
  Stop();
  dir_.Write("qdvpcomm.cfg", "127.0.0.4 qdvptest\n");
  Start();
  std::string dead = Agent("127.0.0.2"), wrong = Agent("127.0.0.3"), filed = Agent("127.0.0.4"),
              live = Agent("127.0.0.1");
  Send(1, "SNMPSTARTGET",
       kSystem + "(" + dead + ",{" + wrong + " notthis}, " + filed + ",{" + live + " qdvptest})");
  ASSERT_TRUE(WaitFor([&] { return RowsOf("System", live) >= 2; }, 30s)) << Trace();
  auto silent = [&] {
    std::set<std::string> agents;
    for (auto &r : dch_test::Query(peer_->Db(),
                                   "select json_extract(attrs,'$.Agent_Node'), "
                                   "json_extract(attrs,'$.No_Data_Tables') from rows where "
                                   "attribute_group='NODATA' and id > " +
                                       std::to_string(mark_))) {
      if (r[1] == "System") agents.insert(r[0]);
    }
    return agents;
  };
  std::set<std::string> expected = {dead, wrong};
  ASSERT_TRUE(WaitFor([&] { return silent() == expected; }, 30s)) << Trace();
  ASSERT_TRUE(WaitFor([&] { return RowsOf("System", filed) >= 1; }, 30s)) << Trace();
  EXPECT_EQ(RowsOf("System", dead) + RowsOf("System", wrong), 0);

  dir_.Write("qdvpcomm.cfg", "127.0.0.4 notthat\n");
  std::string reply = Console("LOADCOMM");
  EXPECT_NE(reply.find("result 0:"), std::string::npos) << reply;
  mark_ = std::stoi(dch_test::QueryOne(peer_->Db(), "select max(id) from rows"));
  expected.insert(filed);
  ASSERT_TRUE(WaitFor([&] { return silent() == expected; }, 30s)) << Trace();
  // Each report is one sample set: its first row starts it, its last ends it (the last
  // report may still be arriving); three agents make one row between them.
  auto marks = [&] {
    std::string text;
    for (auto &r : dch_test::Query(peer_->Db(),
                                   "select data_sequence from rows where "
                                   "attribute_group='NODATA' order by id")) {
      text += r[0] + ",";
    }
    return text;
  };
  EXPECT_TRUE(WaitFor([&] { return marks().find("1,0,16,") != std::string::npos; }, 20s))
      << marks();
  EXPECT_TRUE(std::regex_match(marks(), std::regex("((1,(0,)*16,)|17,)*(1,(0,)*)?"))) << marks();

  // The receiver of the traps.
  int port = qdvp_test::FreePort();
  dir_.Write("trapd.conf", "authCommunity log qdvptrap\n");
  qdvp_test::Child trapd(
      {"/usr/sbin/snmptrapd", "-f", "-C", "-c", File("trapd.conf"), "-On", "-Lf", File("traps.log"),
       "-p", File("trapd.pid"), "-F", "TRAP1 ent=%N gen=%w specific=%q up=%T agent=%A vars=%V~%v\n",
       "udp:127.0.0.1:" + std::to_string(port)},
      {{"SNMP_PERSISTENT_DIR", dir_.path()}, {"MIBS", ""}}, dir_.path());
  ASSERT_TRUE(WaitFor(
      [&] { return qdvp_test::ReadFile(File("traps.log")).find("NET-SNMP") != std::string::npos; },
      10s));
  std::string receiver = "127.0.0.1:" + std::to_string(port);
  // The subnode of the data provider's own DP log report, whose actions it carries out itself.
  std::string node = Subnode("DPLOG", ":OMNIVARDPLOG00");
  auto traps = [&] {
    std::vector<std::string> lines;
    for (const std::string &line : dch_test::Lines(File("traps.log"))) {
      if (line.rfind("TRAP1 ", 0) == 0) lines.push_back(line);
    }
    return lines;
  };
  const std::string e = ".1.3.6.1.4.1.32473";
  // No destination anywhere yet: nothing is sent.
  EXPECT_EQ(Answer(11, "TRAPEMIT", "SIT(CpuHigh)", 1, node), "14|No SNMP trap destination defined");
  EXPECT_NE(Console("TRAPCNFG").find("result 11"), std::string::npos);

  dir_.Write("qdvptrap.cfg", "# receivers\nDESTINATION=" + receiver + "\n");
  EXPECT_NE(Console("TRAPCNFG").find("result 0:"), std::string::npos);
  EXPECT_EQ(Answer(12, "TRAPEMIT",
                   "SIT(CpuHigh) NODE(web1) TIME(1261207120000000) SEV(Critical) "
                   "CAT(Status_Events) PRED(*VALUE CPU *GT 90) LIST(a=1;b=2) DEST(_DEFAULT)",
                   1, node),
            "0|SNMP trap emitted to agents: 127.0.0.1");
  ASSERT_TRUE(WaitFor([&] { return traps().size() == 1; }, 10s));
  std::string trap = traps()[0];
  std::smatch m;
  ASSERT_TRUE(std::regex_match(trap, m,
                               std::regex("TRAP1 ent=(\\S+) gen=6 specific=\\.?8 "
                                          "up=(\\d+) agent=(\\S+) vars=(.*)")))
      << trap;
  EXPECT_EQ(m[1], e + ".1.3");
  EXPECT_LT(std::stoi(m[2]), 120);  // seconds since the data provider started
  EXPECT_EQ(m[4], e + ".1.2.1.1.1.1 = STRING: \"CpuHigh\"~" + e +
                      ".1.2.1.1.1.2 = STRING: \"web1\"~" + e +
                      ".1.2.1.1.1.3 = STRING: \"1261207120000000\"~" + e +
                      ".1.2.1.1.1.6 = INTEGER: 4~" + e + ".1.2.1.4.0 = INTEGER: 3~" + e +
                      ".1.2.1.1.1.5 = STRING: \"*VALUE CPU *GT 90\"~" + e +
                      ".1.2.1.5.0 = STRING: \"a=1,b=2\"");

  // Without operands: NULL texts, severity 2 (a name not matched exactly), category 0. An
  // unresolvable destination is skipped, a trailing comma adds none.
  EXPECT_EQ(Answer(13, "TRAPEMIT", "SEV(critical) DEST(no.such.host.invalid, " + receiver + ",)", 1,
                   node),
            "0|SNMP trap emitted to agents: 127.0.0.1");
  ASSERT_TRUE(WaitFor([&] { return traps().size() == 2; }, 10s));
  EXPECT_NE(traps()[1].find("vars=" + e + ".1.2.1.1.1.1 = NULL~" + e + ".1.2.1.1.1.2 = NULL~" + e +
                            ".1.2.1.1.1.3 = NULL~" + e + ".1.2.1.1.1.6 = INTEGER: 2~" + e +
                            ".1.2.1.4.0 = INTEGER: 0"),
            std::string::npos)
      << traps()[1];
  EXPECT_EQ(Answer(14, "TRAPEMIT", "DEST(no.such.host.invalid)", 1, node),
            "14|No SNMP trap destination resolved");
  // A configuration with a line not understood changes nothing.
  dir_.Write("qdvptrap.cfg", "DESTINATION=127.0.0.9\nSEND EVERYTHING\n");
  EXPECT_NE(Console("TRAPCNFG").find("result 1:"), std::string::npos);
  EXPECT_EQ(Answer(15, "TRAPEMIT", "SIT(Again)", 1, node),
            "0|SNMP trap emitted to agents: 127.0.0.1");
  ASSERT_TRUE(WaitFor([&] { return traps().size() == 3; }, 10s));
  EXPECT_NE(Console("STATS").find("Traps emitted 3"), std::string::npos);
  // The polling, the trap and the console sockets: none takes datagrams from anyone on any
  // address.
  auto sockets = qdvp_test::UdpSocketsOf(qdvp_->pid());
  EXPECT_GE(sockets.size(), 3u);
  for (const auto &socket : sockets) {
    SCOPED_TRACE(socket.Text());
    EXPECT_TRUE(socket.Connected() || socket.local.sin_addr.s_addr == htonl(INADDR_LOOPBACK));
    EXPECT_NE(socket.local.sin_addr.s_addr, htonl(INADDR_ANY));
  }
  trapd.Signal(SIGTERM);
  EXPECT_EQ(trapd.Wait(), 0);
}

// Simulated agents' tables. SNMP rows take the road of every row: the table's filter keeps some
// instances, a derived attribute is computed from two polled counters. An agent whose get-next
// keeps answering with the same instance would be walked forever (ten rows a second up to the
// row limit, every cycle): the walk ends at the first instance that does not come after the one
// asked.
TEST_F(SnmpCollection, FiltersApplyAWalkInCirclesEndsAndTheSnmpControlCommands) {
  qdvp_test::SimulatedAgents bench(1, 5, "1.3.6.1.4.1.99999.1.1");
  qdvp_test::SimulatedAgents circular(1, 5, "1.3.6.1.2.1.2.2.1", true);
  Metafile("bench",
           "//SNMP TEXT\n//APPL BenchMib enterprise 1.3.6.1.4.1.99999\n//NAME Tab P 300\n"
           "//ATTRIBUTES\nAgent_Info D 64 1.3.6.1.4.1.99999.1.1.1\n"
           "Agent_Name D 64 1.3.6.1.2.1.1.5\n"
           "Index G 1.3.6.1.4.1.99999.1.1.1 +FILTER={NUMBER>(0,2)}\n"
           "In C 1.3.6.1.4.1.99999.1.1.2\nOut C 1.3.6.1.4.1.99999.1.1.3\n"
           "Total (In + Out)\n",
           false);
  ASSERT_NE(Console("IMPORT", "bench.mdl").find("result 0:"), std::string::npos) << Trace();
  Send(1, "SNMPSTARTGET", "APPLNAME=BenchMib ATTRGROUP=Tab AGENTINFO=" + bench.List());
  Send(2, "SNMPSTARTGET", "APPLNAME=MibInterfaces AGENTINFO=" + circular.List());
  ASSERT_TRUE(WaitRows("Tab", 6)) << Trace();
  std::set<std::string> indexes;
  for (const std::string &i : Values("Tab", "Index")) indexes.insert(i);
  EXPECT_EQ(indexes, (std::set<std::string>{"3", "4", "5"}));
  for (const std::string &total : Values("Tab", "Total")) EXPECT_EQ(total, "50000");
  for (const std::string &in : Values("Tab", "In")) EXPECT_EQ(in, "25000");

  std::string walked = circular.List().substr(1, circular.List().size() - 2);
  const std::string ended = "returned instance .1 after .1, table walk ended";
  ASSERT_TRUE(WaitFor([&] { return qdvp_test::Occurrences(Trace(), ended) >= 3; }, 30s)) << Trace();
  EXPECT_LE(RowsOf("Interfaces", walked), qdvp_test::Occurrences(Trace(), ended) + 1);
  EXPECT_GE(RowsOf("Interfaces", walked), 2);

  // The operator's SNMP Control commands: set requests (checked before anything is sent, the
  // agent's error status mapped to its text), monitor start and stop, network management, and
  // commands that cannot be taken apart.
  std::string agent = Agent("127.0.0.1");
  std::string set = "SET NETADDR=" + agent + " APPLNAME=MibSystem ";
  struct Case {
    std::string parameter, outcome;
  } cases[] = {
      {set + "COMMUNITY=qdvpwrite ATTR=Name VALUE=renamed", "0|SET OK"},
      // sysLocation is fixed by snmpd's configuration: not writable.
      {set + "COMMUNITY=qdvpwrite ATTR=Location VALUE=elsewhere", "2|SET no such attribute"},
      {set + "ATTR=Name VALUE=readonly", "2|SET no such attribute"},  // the read-only community
      {set + "ATTR=UpTime VALUE=12x", "9|Numeric SET value expected"},
      {set + "ATTR=UpTime VALUE=99999999999", "9|Set value invalid"},
      {set + "ATTR=Name VALUE=" + std::string(65, 'n'), "9|Set value invalid"},
      {set + "ATTR=Name", "9|Set value not specified"},
      {set + "ATTR=NoSuch VALUE=1", "9|MIB attribute not found"},
      {set + "ATTR=Agent_Name VALUE=x", "9|MIB attribute not scalar type"},
      {"SET NETADDR=no.such.host.invalid APPLNAME=MibSystem ATTR=Name VALUE=x",
       "9|Agent address invalid or unresolvable"},
      {"SET NETADDR=" + Agent("127.0.0.2") + " APPLNAME=MibSystem ATTR=Name VALUE=x",
       "2|SET agent no response or comm error"},
      {"MANAGE NETADDR=127.0 POLL=60 OPTION=START",
       "0|Monitoring scheduled for requested resources"},
      {"MANAGE NETADDR=127.0 POLL=60 OPTION=EXCLUDE",
       "0|Monitoring stopped for requested resources"},
      {"MANAGE NETADDR=127.0 OPTION=SOMETIMES", "9|Request syntax error"},
      {"MANAGE NETADDR=nowhere OPTION=START", "9|Request syntax error"},
      {"MONITOR", "9|Request syntax error"},
      {"MONITOR PAUSE APPLNAME=MibSystem", "9|Request syntax error"},
      {"REBOOT everything", "9|Request syntax error"},
      {"MONITOR START " + kSystem + "(" + agent + ")", "0|MIB monitor started"},
  };
  int id = 1;
  for (const Case &c : cases) {
    EXPECT_EQ(Answer(id++, "SNMP Control", c.parameter), c.outcome) << c.parameter;
  }
  EXPECT_EQ(SnmpGet("127.0.0.1", "1.3.6.1.2.1.1.5.0"), "renamed");
  EXPECT_EQ(SnmpGet("127.0.0.1", "1.3.6.1.2.1.1.6.0"), "lab");
  ASSERT_TRUE(WaitFor([&] { return RowsOf("System", agent) >= 1; }, 30s)) << Trace();
  EXPECT_TRUE(WaitLogged("MIB data collection starting for agent: (" + agent + ")")) << Trace();
  EXPECT_TRUE(WaitLogged("SNMP management of network 127.0.0.0 started")) << Trace();
  // A second start joins; a stop without APPLNAME= ends that start alone (by its identifier
  // and owner): its agent goes, the first start's agent stays.
  std::string three = Agent("127.0.0.3");
  EXPECT_EQ(Answer(40, "SNMPSTARTGET", kSystem + "(" + three + ")"), "0|MIB monitor started");
  ASSERT_TRUE(WaitFor([&] { return RowsOf("System", three) >= 1; }, 30s)) << Trace();
  EXPECT_EQ(Answer(40, "SNMPSTOPGET", ""), "0|MIB monitor stopped for requested nodes");
  EXPECT_EQ(Answer(41, "SNMPSTOPGET", ""), "0|Monitoring never started");
  int threeRows = RowsOf("System", three), oneRows = RowsOf("System", agent);
  ASSERT_TRUE(WaitFor([&] { return RowsOf("System", agent) >= oneRows + 2; }, 30s)) << Trace();
  EXPECT_LE(RowsOf("System", three), threeRows + 1);  // a cycle under way may end
  EXPECT_EQ(Answer(id++, "SNMP Control", "MONITOR STOP " + kSystem + "(*)"),
            "0|MIB monitor stopped for requested nodes");
}

// The agents of a cycle are polled side by side, each with its own wait: a cycle of agents of
// which a third never answer takes about one answer wait, so every live agent is polled every
// interval, in its rows' own order. An agent that sends three answers with other request
// identifiers before the right one is read, and so is one whose answers are 3,000 bytes long.
// An agent polled with version 2c is walked with get-bulk, and its Counter64 values reach the
// peer whole, beyond what a signed 64-bit number holds, while the version 1 agents give the
// same attribute no value.
TEST_F(SnmpCollection, DeadAgentsCostOnlyTheirOwnWaitAndEveryAnswerIsRead) {
  using Kind = qdvp_test::SimulatedAgents::Kind;
  std::vector<Kind> kinds(24, Kind::Answers);
  kinds.insert(kinds.end(), 12, Kind::Silent);
  kinds.push_back(Kind::StaleFirst);
  kinds.push_back(Kind::Large);
  qdvp_test::SimulatedAgents fleet(kinds, 2, "1.3.6.1.4.1.99999.1.1");
  qdvp_test::SimulatedAgents wide(1, 12, "1.3.6.1.4.1.99999.1.1");
  Metafile("fleet",
           "//SNMP TEXT\n//APPL FleetMib enterprise 1.3.6.1.4.1.99999\n//NAME Tab P 300\n"
           "//ATTRIBUTES\nAgent_Info D 64 1.3.6.1.4.1.99999.1.1.1\n"
           "Agent_Name D 64 1.3.6.1.2.1.1.5\nIndex G 1.3.6.1.4.1.99999.1.1.1\n"
           "In C 1.3.6.1.4.1.99999.1.1.2\nText D 32 1.3.6.1.4.1.99999.1.1.5\n"
           "Big C 18446744073709551615 1.3.6.1.4.1.99999.1.1.6\n",
           false);
  ASSERT_NE(Console("IMPORT", "fleet.mdl").find("result 0:"), std::string::npos) << Trace();
  auto started = std::chrono::steady_clock::now();
  Send(1, "SNMPSTARTGET", "APPLNAME=FleetMib ATTRGROUP=Tab AGENTINFO=" + fleet.List());
  Send(2, "SNMPSTARTGET",
       "APPLNAME=FleetMib ATTRGROUP=Tab AGENTINFO=" + wide.List(0, 1, "public", "v2c"));
  // Three cycles of every live agent: with one wait per dead agent a cycle alone would take 12.
  auto allPolled = [&](int rows) {
    for (size_t i = 0; i < kinds.size(); i++) {
      if (kinds[i] != Kind::Silent && RowsOf("Tab", fleet.Address(i)) < rows) return false;
    }
    return true;
  };
  ASSERT_TRUE(WaitFor([&] { return allPolled(6); }, 15s))
      << "rows of a live agent " << RowsOf("Tab", fleet.Address(0)) << ", of the stale one "
      << RowsOf("Tab", fleet.Address(24 + 12)) << ", of the large one "
      << RowsOf("Tab", fleet.Address(24 + 12 + 1)) << " after "
      << std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                          started)
             .count()
      << " s\n"
      << Trace();
  for (size_t i = 0; i < kinds.size(); i++) {
    SCOPED_TRACE(fleet.Address(i));
    if (kinds[i] == Kind::Silent) {
      EXPECT_GE(fleet.Requests(i), 3);  // asked every cycle all the same
      EXPECT_EQ(RowsOf("Tab", fleet.Address(i)), 0);
      continue;
    }
    auto rows =
        dch_test::Query(peer_->Db(),
                        "select json_extract(attrs,'$.Index'), json_extract(attrs,'$.Text'), "
                        "json_extract(attrs,'$.In'), json_extract(attrs,'$.Big') from rows "
                        "where attribute_group='Tab' and json_extract(attrs,'$.Agent_Name')='" +
                            fleet.Address(i) + "' order by id limit 4");
    ASSERT_EQ(rows.size(), 4u);
    for (size_t r = 0; r < rows.size(); r++) {
      std::string index = std::to_string(r % 2 + 1);
      EXPECT_EQ(rows[r][0], index);
      EXPECT_EQ(rows[r][1], kinds[i] == Kind::Large
                                ? ("row " + index + " " + std::string(32, 'x')).substr(0, 32)
                                : "row " + index);
      EXPECT_EQ(rows[r][2], "25000");
      EXPECT_EQ(rows[r][3], "0");  // a version 1 agent has no Counter64: nothing stored
    }
  }
  // The version 2c agent's twelve rows, walked with two get-bulks, each counter exact.
  ASSERT_TRUE(WaitFor([&] { return RowsOf("Tab", wide.Address(0)) >= 12; }, 15s)) << Trace();
  auto rows = dch_test::Query(peer_->Db(),
                              "select attrs from rows where attribute_group='Tab' and "
                              "json_extract(attrs,'$.Agent_Name')='" +
                                  wide.Address(0) + "' order by id limit 12");
  ASSERT_EQ(rows.size(), 12u);
  for (size_t r = 0; r < rows.size(); r++) {
    SCOPED_TRACE(rows[r][0]);
    EXPECT_NE(rows[r][0].find("\"Index\":" + std::to_string(r + 1) + ","), std::string::npos);
    // Beyond a signed 64-bit number the peer keeps the digits as text (SQLite has no such integer).
    EXPECT_NE(rows[r][0].find("\"Big\":\"" + std::to_string(~0ULL - (r + 1)) + "\""),
              std::string::npos);
  }
  // Two get-bulks and one get a row, per cycle: the requests so far against the cycles whose
  // rows are stored (read after the count, plus the cycle that may be in flight).
  int requests = wide.Requests(0);
  int cycles = RowsOf("Tab", wide.Address(0)) / 12;
  EXPECT_LE(requests, (cycles + 1) * (2 + 12));
}

// net-snmp's snmpd polled with version 2c, opted into by the start request and by the
// community file's third word: Counter64 values beyond 2^32 and beyond 2^63 reach the peer
// exactly, a narrower counter gets the low 32 bits, an instance the agent does not have
// (noSuchInstance) stores nothing, so the attribute keeps the 0 of a row begun. The same agent
// polled with version 1 refuses the Counter64 (noSuchName) and gives the rest of the row.
TEST_F(SnmpCollection, Counter64ValuesOfAVersion2cAgentReachThePeerWhole) {
  Metafile("wide",
           "//SNMP TEXT\n//APPL WideMib enterprise 1.3.6.1.4.1.99998\n//NAME Wide P 300\n"
           "//ATTRIBUTES\nAgent_Info D 64 1.3.6.1.2.1.1.1\nAgent_Name D 64 1.3.6.1.2.1.1.5\n"
           "Big C 18446744073709551615 1.3.6.1.4.1.99998.1.0\n"
           "Over C 18446744073709551615 1.3.6.1.4.1.99998.2.0\n"
           "Narrow C 1.3.6.1.4.1.99998.2.0\nMissing C 18446744073709551615 1.3.6.1.4.1.99998.3.0\n"
           "Descr D 128 1.3.6.1.2.1.1.1.0\n",
           false);
  ASSERT_NE(Console("IMPORT", "wide.mdl").find("result 0:"), std::string::npos) << Trace();
  // 127.0.0.4 takes version 2c from the community file.
  dir_.Write("qdvpcomm.cfg", "127.0.0.4 qdvptest v2c\n");
  ASSERT_NE(Console("LOADCOMM").find("result 0:"), std::string::npos) << Trace();
  std::string v1 = Agent("127.0.0.1"), v2 = Agent("127.0.0.3"), filed = Agent("127.0.0.4");
  Send(1, "SNMPSTARTGET",
       "APPLNAME=WideMib ATTRGROUP=Wide AGENTINFO=(" + v1 + ",{" + v2 + " qdvptest v2c}," + filed +
           ")");
  ASSERT_TRUE(WaitFor(
      [&] {
        return RowsOf("Wide", v1) >= 1 && RowsOf("Wide", v2) >= 1 && RowsOf("Wide", filed) >= 1;
      },
      30s))
      << Trace();
  for (const std::string &agent : {v2, filed}) {
    SCOPED_TRACE(agent);
    std::string attrs = dch_test::QueryOne(peer_->Db(),
                                           "select attrs from rows where "
                                           "json_extract(attrs,'$.Agent_Name')='" +
                                               agent + "' order by id limit 1");
    EXPECT_NE(attrs.find("\"Big\":\"18446744073709551610\","), std::string::npos) << attrs;
    EXPECT_NE(attrs.find("\"Over\":4294967301,"), std::string::npos) << attrs;
    EXPECT_NE(attrs.find("\"Narrow\":5,"), std::string::npos) << attrs;
    EXPECT_EQ(First("Wide", "Descr", "json_extract(attrs,'$.Agent_Name')='" + agent + "'"),
              "qdvp test agent");
    EXPECT_EQ(First("Wide", "Missing", "json_extract(attrs,'$.Agent_Name')='" + agent + "'"), "0");
  }
  std::string condition = "json_extract(attrs,'$.Agent_Name')='" + v1 + "'";
  EXPECT_EQ(First("Wide", "Big", condition), "0");
  EXPECT_EQ(First("Wide", "Descr", condition), "qdvp test agent");
}

// Running collections are written to the MIB interest file and reported as MIBSTATUS rows (the
// interval a number, as the row's text is parsed like any table's); a data provider killed and
// started again polls them again once their MIBs are imported. Lines that are no records are
// dropped at the next rewrite, records of MIBs not loaded are kept. An agent named twice in
// one start is one agent of the collection.
TEST_F(SnmpCollection, CollectionsOutliveTheProcess) {
  std::string one = Agent("127.0.0.1"), three = Agent("127.0.0.3");
  Send(1, "SNMPSTARTGET", kSystem + "(" + one + ",{" + three + " qdvptest})");
  Send(2, "SNMPSTARTGET", "APPLNAME=MibInterfaces AGENTINFO=(" + one + "," + one + ")");
  std::string file = File("qdvpmibi.cfg");
  const std::string system = "AGENTINFO=( " + one + ",{" + three +
                             " qdvptest} ) INTERVAL=1 APPLNAME=MIBSYSTEM ATTRGROUP=SYSTEM\n",
                    interfaces = "AGENTINFO=( " + one +
                                 " ) INTERVAL=1 APPLNAME=MIBINTERFACES ATTRGROUP=INTERFACES\n";
  auto has = [&](const std::string &record) {
    return qdvp_test::ReadFile(file).find(record) != std::string::npos;
  };
  ASSERT_TRUE(WaitFor([&] { return has(system) && has(interfaces); }, 30s))
      << qdvp_test::ReadFile(file) << Trace();
  auto status = [&](const std::string &group) {
    auto rows = dch_test::Query(peer_->Db(),
                                "select json_extract(attrs,'$.Enterprise'), "
                                "json_extract(attrs,'$.Monitor_Agent_Info'), "
                                "json_type(attrs,'$.Monitor_Interval') || ' ' || "
                                "json_extract(attrs,'$.Monitor_Interval'), "
                                "json_extract(attrs,'$.Last_Sample_TimeStamp') from rows where "
                                "attribute_group='MIBSTATUS' and json_extract(attrs,"
                                "'$.Attribute_Group')='" +
                                    group + "' order by id desc limit 1");
    return rows.empty() ? std::string("none")
                        : rows[0][0] + "|" + rows[0][1] + "|" + rows[0][2] + "|" +
                              std::to_string(rows[0][3].size());
  };
  EXPECT_TRUE(WaitFor(
      [&] {
        return status("System") == "MibSystem|" + one + " {" + three + " qdvptest}|integer 1|19";
      },
      20s))
      << status("System");

  // Killed: nothing is written on the way out. Lines that are no records are added, and a
  // record of a MIB that is never imported here.
  qdvp_->Signal(SIGKILL);
  qdvp_->Wait();
  qdvp_.reset();
  std::ofstream(file, std::ios::app)
      << "GARBAGE LINE\nAGENTINFO=( 127.0.0.1 ) INTERVAL=300 APPLNAME=OTHERMIB ATTRGROUP=T\n"
         "AGENTINFO=( 127.0.";
  int before = std::stoi(dch_test::QueryOne(peer_->Db(), "select max(id) from rows"));
  Start();
  auto rowsSince = [&](const std::string &group) {
    return std::stoi(dch_test::QueryOne(peer_->Db(),
                                        "select count(*) from rows where "
                                        "attribute_group='" +
                                            group + "' and id > " + std::to_string(before)));
  };
  ASSERT_TRUE(
      WaitFor([&] { return rowsSince("System") >= 2 && rowsSince("Interfaces") >= 1; }, 30s))
      << Trace();
  EXPECT_TRUE(WaitFor([&] { return rowsSince("MIBSTATUS") >= 2; }, 20s));
  EXPECT_TRUE(WaitFor(
      [&] { return status("Interfaces") == "MibInterfaces|" + one + "|integer 30|19"; }, 20s))
      << status("Interfaces");
  // Refused restarts (the records read before the MIBs were imported, OTHERMIB, the lines that
  // are no records) have their ACTION rows.
  EXPECT_GE(std::stoi(dch_test::QueryOne(peer_->Db(),
                                         "select count(*) from rows where "
                                         "attribute_group='ACTION' and json_extract("
                                         "attrs,'$.Action_Owner')='SNMPAUTOINIT'")),
            4);

  // A change rewrites the file: the restarted collections (their interval raised to the least
  // a request may ask), the record of the MIB not loaded; not the lines that are no records.
  Send(3, "SNMPSTOPGET", kSystem + "(" + three + ")");
  const std::string rewritten =
      "AGENTINFO=( " + one + " ) INTERVAL=30 APPLNAME=MIBSYSTEM ATTRGROUP=SYSTEM\n";
  ASSERT_TRUE(WaitFor([&] { return has(rewritten); }, 60s)) << qdvp_test::ReadFile(file);
  std::string text = qdvp_test::ReadFile(file);
  EXPECT_NE(text.find("APPLNAME=MIBINTERFACES ATTRGROUP=INTERFACES\n"), std::string::npos);
  EXPECT_NE(text.find("APPLNAME=OTHERMIB ATTRGROUP=T\n"), std::string::npos);
  EXPECT_EQ(text.find("GARBAGE"), std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
  EXPECT_NE(qdvp_test::ReadFile(File("qdvpmibi.cfX")).find("MIBSYSTEM"), std::string::npos);

  // Deleting a MIB takes its records out.
  EXPECT_NE(Console("DELETE", "snmp-ifTable.mdl").find("result 0:"), std::string::npos);
  EXPECT_TRUE(WaitFor([&] { return !has("MIBINTERFACES"); }, 20s)) << qdvp_test::ReadFile(file);
  EXPECT_TRUE(has(rewritten));
  // A collection stopped for good has its row with interval 0.
  Send(4, "SNMPSTOPGET", kSystem + "(*)");
  EXPECT_TRUE(
      WaitFor([&] { return status("System").find("|integer 0|") != std::string::npos; }, 20s))
      << status("System");
}

// A collection of 23 agents is written as records of 10, 10 and 3 agents; the agents of a
// network are written once, as the network was named.
TEST_F(SnmpCollection, InterestRecordsHoldTenAgentsAndNetworksOnce) {
  qdvp_test::SimulatedAgents many(23, 1, "1.3.6.1.2.1.2.2.1");
  Send(1, "SNMPSTARTGET", "APPLNAME=MibInterfaces AGENTINFO=" + many.List());
  dir_.Write("nodes.cfg", "127.0.0.1\n127.0.0.3\n");
  dir_.Write("qdvpname.cfg", "127.0.0 lab\n");
  EXPECT_NE(Console("LOADLIST", "nodes.cfg").find("result 0:"), std::string::npos);
  EXPECT_NE(Console("LOADNAME").find("result 0:"), std::string::npos);
  std::string p = std::to_string(agentPort_);
  Send(2, "SNMPSTARTGET", kSystem + "({lab:" + p + " qdvptest},127.0.0.4:" + p + ")");
  const std::string system = "AGENTINFO=( {lab:" + p + " qdvptest},127.0.0.4:" + p +
                             " ) INTERVAL=1 APPLNAME=MIBSYSTEM ATTRGROUP=SYSTEM\n";
  auto records = [&] {
    std::vector<int> agents;
    for (const std::string &line : dch_test::Lines(File("qdvpmibi.cfg"))) {
      if (line.find("ATTRGROUP=INTERFACES") != std::string::npos) {
        agents.push_back(1 + static_cast<int>(std::count(line.begin(), line.end(), ',')));
      }
    }
    return agents;
  };
  ASSERT_TRUE(WaitFor(
      [&] {
        return records() == std::vector<int>{10, 10, 3} &&
               qdvp_test::ReadFile(File("qdvpmibi.cfg")).find(system) != std::string::npos;
      },
      60s))
      << qdvp_test::ReadFile(File("qdvpmibi.cfg"));
}

struct Attr {
  explicit Attr(char type, int size)
      : block(static_cast<char *>(calloc(1, QDVP_AttrEntrySize(size)))) {
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

TEST(SnmpPdu, GetRequestIsTheWellKnownMessageAndAnswersThatFailTheChecksAreRefused) {
  unsigned char oid[32], out[QDVP_SNMP_MESSAGE_SIZE];
  size_t o = QDV0_FormatOIDfromString("1.3.6.1.2.1.1.1.0", oid, sizeof(oid));
  size_t n =
      QDVP_SNMPconstructPDUbuffer(out, sizeof(out), QDVP_SNMP_GET, oid, o, nullptr, 0, 1, "public");
  EXPECT_EQ(Hex(std::string(reinterpret_cast<char *>(out), n)),
            "302602010004067075626c6963a019020101020100020100300e300c06082b060102010101000500");
  EXPECT_EQ(QDVP_SNMPconstructPDUbuffer(out, 20, QDVP_SNMP_GET, oid, o, nullptr, 0, 1, "public"),
            0u);
  // Answers that fail a check are refused, and every cut of a good answer is refused without a
  // read past it.
  std::string good = Answer(Unhex("0500"));
  int status = 0;
  EXPECT_GT(QDVP_SNMPverifyResponsePDU(reinterpret_cast<const unsigned char *>(good.data()),
                                       good.size(), 7, &status, nullptr),
            0u);
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
                                         c.message.size(), c.id, &got, nullptr),
              0u);
    EXPECT_EQ(got, c.status);
  }
  for (size_t cut = 0; cut < good.size(); cut++) {
    std::unique_ptr<unsigned char[]> copy(new unsigned char[cut + 1]);
    memcpy(copy.get(), good.data(), cut);
    EXPECT_EQ(QDVP_SNMPverifyResponsePDU(copy.get(), cut, 7, nullptr, nullptr), 0u) << cut;
  }
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
      {"4101ff", 'C', 3, 0, ""},
      {"0500", 'D', 16, 0, ""},
      // A Counter64 whole into an 8-byte counter or as text, its low bytes into a narrower
      // one; a 32-bit Counter into an 8-byte one; the version 2c exceptions store nothing.
      {"46090080000000000000ff", 'C', 8, 1, "80000000000000ff"},
      {"46050100000005", 'D', 24, 1, "4294967301"},
      {"4609 00ffffffffffffffff", 'D', 24, 1, "18446744073709551615"},
      {"46050100000005", 'C', 4, 1, "00000005"},
      {"4101ff", 'C', 8, 1, "00000000000000ff"},
      {"460a01000000000000000000", 'C', 8, 0, ""},
      {"8000", 'C', 8, 0, ""},
      {"8100", 'D', 16, 0, ""},
      {"8200", 'C', 4, 0, ""},
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
                        : std::string(dotted) + ":" +
                              std::to_string(ntohs(array[i].Address.sin_port)));
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

// The community and network name files, read at their first use: comments, lines without a
// second word, the first line of a node winning, networks completed to four parts, a missing
// file keeping what was loaded.
TEST(SnmpFiles, CommunitiesAndNetworkNames) {
  qdvp_test::TempDir dir;
  qdvp_test::EnvGuard env;
  env.Set("QDVP_HOME", dir.path());
  env.Set("QDVP_PRODUCT_SPEC", std::nullopt);
  QDV0_InitializeProductSpec();
  dir.Write("qdvpcomm.cfg",
            "* a comment\n127.0.0.2 second\n127.0.0.1   first extra words\n127.0.0.1 later\n"
            "127.0.0.3\n  *127.0.0.4 notacomment\nno.such.host.invalid x\n10.0.0.1 ten\n");
  dir.Write("qdvpname.cfg", "10.1 lab\n192.168.7.0 office\n300.1 bad\n10.2.3.4.5 bad\n");
  // Both files are read at their first use, then again when told to.
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
  EXPECT_EQ(QDVP_LoadSNMPcommunityName(), 4);
  char *lab = QDVP_LocateNetworkBySymbolicName("lab");
  EXPECT_STREQ(lab, "10.1.0.0");
  QDV0_Free(lab);
  EXPECT_EQ(QDVP_LoadSNMPNetworkName(), 2);
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
