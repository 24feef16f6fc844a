// SNMP collection through the real `qdvp start snmp` to a live qdvp-dch, against simulated
// agents on loopback (one thread answering on one UDP socket per agent).
//
// BM_SnmpScalar200Agents: one SNMPSTARTGET for a scalar group of three variables at 200
// agents; measured from the append of the action to the peer having stored the first cycle's
// 200 rows (600 gets and answers). BM_SnmpWalk: one agent's table of 200 rows of four columns
// walked with get-next (1,000 requests); the walk pauses a second after every tenth row, so its
// rate is bounded by the pauses by design and the figure that counts is the CPU per row.
// Counters: rows per second, the data provider's CPU seconds per 1,000 rows, its peak resident
// size. Reference, in the same run: the bare loopback request/reply pair.
//
// Run: build/default/bin/qdvp_bench_snmp (qdvp and qdvp-dch from the same directory).
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/benchrows.h"
#include "bench/benchsupport.h"
#include "tests/support/snmpagent.h"

namespace {

using namespace std::chrono_literals;
using qdvp_bench::Clock;
using qdvp_bench::CpuSeconds;
using qdvp_bench::Db;
using qdvp_bench::PeakRssKiB;
using qdvp_bench::WaitFor;

void BM_LoopbackRequestReply(benchmark::State &state) {
  qdvp_bench::LoopbackRequestReply(state, 60, 70);
}

struct Run {
  qdvp_bench::TempDir dir;
  std::unique_ptr<qdvp_bench::Peer> peer;
  std::unique_ptr<qdvp_bench::Process> qdvp;
  int consoleBase = qdvp_bench::FreePort() - 5;

  std::string Start() {
    if (dir.path.empty()) return "no temporary directory";
    mkdir((dir.path + "/metafiles").c_str(), 0755);
    std::ofstream(dir.path + "/metafiles/benchsnmp.mdl")
        << "//SNMP TEXT\n//APPL BenchMib enterprise 1.3.6.1.4.1.99999\n//NAME Sys P 300\n"
           "//ATTRIBUTES\nAgent_Info D 64 1.3.6.1.2.1.1.1\nAgent_Name D 64 1.3.6.1.2.1.1.5\n"
           "Descr D 128 1.3.6.1.2.1.1.1.0\nContact D 64 1.3.6.1.2.1.1.4.0\n"
           "Name D 64 1.3.6.1.2.1.1.5.0\n"
           "//NAME Tab P 300\n//ATTRIBUTES\nAgent_Info D 64 1.3.6.1.4.1.99999.1.1.1\n"
           "Agent_Name D 64 1.3.6.1.2.1.1.5\nIndex G 1.3.6.1.4.1.99999.1.1.1\n"
           "InOctets C 1.3.6.1.4.1.99999.1.1.2\nOutOctets C 1.3.6.1.4.1.99999.1.1.3\n"
           "Errors C 1.3.6.1.4.1.99999.1.1.4\n";
    peer = std::make_unique<qdvp_bench::Peer>(
        dir.path, std::vector<std::string>{"--action-file", dir.path + "/actions.jsonl"});
    if (peer->port() == 0) return "qdvp-dch did not start";
    std::map<std::string, std::string> env = {{"QDVA_DCH_PORT", std::to_string(peer->port())},
                                              {"QDVP_DCH_HOST", "127.0.0.1"},
                                              {"QDVP_HOME", dir.path},
                                              {"QDVP_META_PATH", dir.path + "/metafiles"},
                                              {"QDVP_DPCONSOLE_PORT", std::to_string(consoleBase)},
                                              {"QDVP_SNMP_NET_COMMUNITY", "public"},
                                              {"QDVP_TRACE", "0"}};
    qdvp = std::make_unique<qdvp_bench::Process>(
        std::vector<std::string>{qdvp_bench::BinDir() + "/qdvp", "start", "snmp"}, env, dir.path,
        "qdvp");
    Db db(peer->db());
    bool up = WaitFor(
        [&] {
          return db.Integer("select count(*) from sources where attribute_group = 'DPLOG'", {}, 0) >
                     0 ||
                 !qdvp->Running();
        },
        30s);
    if (!up || !qdvp->Running()) return "the data provider did not come up";
    // IMPORT needs the console key, which the data provider wrote beside its configuration.
    std::string import = "QDVP_CONSOLE_KEY_FILE=" + dir.path + "/qdvpcons.key " +
                         qdvp_bench::BinDir() + "/qdvp console --port " +
                         std::to_string(consoleBase + 5) + " IMPORT benchsnmp.mdl > /dev/null";
    if (system(import.c_str()) != 0) return "the MIB was not imported";
    return "";
  }
  void Start(const std::string &table, const std::string &agents) {
    std::ofstream(dir.path + "/actions.jsonl")
        << "{\"id\":1,\"type\":3,\"node\":\"snmp\",\"name\":\"SNMPSTARTGET\",\"owner\":\"Bench\","
           "\"parameter\":\"APPLNAME=BenchMib ATTRGROUP="
        << table << " AGENTINFO=" << agents << "\"}\n";
  }
};

void Measure(benchmark::State &state, const char *table, int agents, int rows, int expected) {
  for (auto _ : state) {
    qdvp_test::SimulatedAgents simulated(agents, rows, "1.3.6.1.4.1.99999.1.1");
    Run run;
    std::string failed = run.Start();
    if (!failed.empty()) {
      state.SkipWithError(failed.c_str());
      break;
    }
    Db db(run.peer->db());
    pid_t dp = run.qdvp->pid();
    double before = CpuSeconds(dp);
    auto start = Clock::now();
    run.Start(table, simulated.List());
    int64_t stored = 0;
    std::string sql =
        std::string("select count(*) from rows where attribute_group = '") + table + "'";
    WaitFor([&] { return (stored = db.Integer(sql.c_str(), {}, 0)) >= expected; }, 120s, 5ms);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    qdvp_bench::ReportRun(state, "rows_per_s", seconds, stored, expected, CpuSeconds(dp) - before,
                          PeakRssKiB(dp));
    run.qdvp->Stop(30s);
  }
}

void BM_SnmpScalar200Agents(benchmark::State &state) { Measure(state, "Sys", 200, 0, 200); }
void BM_SnmpWalk(benchmark::State &state) { Measure(state, "Tab", 1, 200, 200); }

}  // namespace

BENCHMARK(BM_LoopbackRequestReply)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SnmpScalar200Agents)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SnmpWalk)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
