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
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/benchrows.h"
#include "bench/benchsupport.h"
#include "core/support/qdv0.h"
#include "include/qdvp_snmp.h"

namespace {

using namespace std::chrono_literals;
using qdvp_bench::Clock;
using qdvp_bench::CpuSeconds;
using qdvp_bench::Db;
using qdvp_bench::PeakRssKiB;
using qdvp_bench::WaitFor;

const char kTable[] = "1.3.6.1.4.1.99999.1.1";  // columns 1 to 4, instances 1 to rows

void BM_LoopbackRequestReply(benchmark::State &state) {
  qdvp_bench::LoopbackRequestReply(state, 60, 70);
}

// Agents on loopback: each answers a get with a value for the OID asked, and a get-next in the
// bench table with the next instance of the column (past the last, the next column's first).
class Agents {
 public:
  Agents(int count, int rows) : rows_(rows) {
    for (int i = 0; i < count; i++) {
      int s = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a));
      socklen_t len = sizeof(a);
      getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
      sockets_.push_back(s);
      ports_.push_back(ntohs(a.sin_port));
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~Agents() {
    stop_ = true;
    thread_.join();
    for (int s : sockets_) close(s);
  }
  std::string List() const {
    std::string list = "(";
    for (size_t i = 0; i < ports_.size(); i++) {
      list += (i ? "," : "") + std::string("127.0.0.1:") + std::to_string(ports_[i]);
    }
    return list + ")";
  }

 private:
  void Serve() {
    std::vector<pollfd> fds;
    for (int s : sockets_) fds.push_back({s, POLLIN, 0});
    while (!stop_) {
      if (poll(fds.data(), fds.size(), 100) <= 0) continue;
      for (pollfd &f : fds) {
        if (f.revents & POLLIN) Answer(f.fd);
      }
    }
  }
  // The request's PDU type, identifier and first OID (dotted); false for anything else.
  static bool Parse(const unsigned char *b, size_t n, int *pdu, long *id, std::string *oid) {
    int tag;
    const unsigned char *c;
    size_t cl;
    if (QDV0_ExtractBERfield(b, n, 0, &tag, &c, &cl) == 0) return false;
    size_t at = static_cast<size_t>(c - b);
    at = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl);                    // version
    if (at != 0) at = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl);       // community
    if (at == 0 || QDV0_ExtractBERfield(b, n, at, pdu, &c, &cl) == 0) return false;
    at = static_cast<size_t>(c - b);
    if ((at = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl)) == 0) return false;
    QDV0_ExtractBERinteger(c, cl, id);
    at = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl);                    // error status
    if (at != 0) at = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl);       // error index
    if (at == 0 || QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl) == 0) return false;  // list
    if (QDV0_ExtractBERfield(b, n, static_cast<size_t>(c - b), &tag, &c, &cl) == 0) return false;
    if (QDV0_ExtractBERfield(b, n, static_cast<size_t>(c - b), &tag, &c, &cl) == 0) return false;
    char text[256];
    if (tag != QDV0_BER_OID || QDV0_DecodeOIDfromBER(c, cl, text, sizeof(text)) != 0) return false;
    *oid = text;
    return true;
  }
  void Answer(int s) {
    unsigned char in[QDVP_SNMP_MESSAGE_SIZE], out[QDVP_SNMP_MESSAGE_SIZE], oid[128], value[128];
    sockaddr_in from{};
    socklen_t len = sizeof(from);
    ssize_t n = recvfrom(s, in, sizeof(in), 0, reinterpret_cast<sockaddr *>(&from), &len);
    int pdu;
    long id;
    std::string name;
    if (n <= 0 || !Parse(in, static_cast<size_t>(n), &pdu, &id, &name)) return;
    std::string table = kTable;
    size_t v;
    if (pdu == QDVP_SNMP_GETNEXT && name.compare(0, table.size(), table) == 0) {
      // kTable.C or kTable.C.I -> kTable.C.(I+1), past the last row kTable.(C+1).1
      std::string rest = name.substr(table.size() + 1);
      int column = atoi(rest.c_str()), instance = 0;
      size_t dot = rest.find('.');
      if (dot != std::string::npos) instance = atoi(rest.c_str() + dot + 1);
      if (++instance > rows_) column++, instance = 1;
      name = table + "." + std::to_string(column) + "." + std::to_string(instance);
      v = QDV0_FormatBERintegerType(QDV0_BER_INTEGER, instance, value, sizeof(value));
    } else if (name.compare(0, table.size(), table) == 0) {
      v = QDV0_FormatBERintegerType(QDVP_SNMP_COUNTER, static_cast<long>(name.size()) * 1000,
                                    value, sizeof(value));
    } else {
      std::string text = "simulated agent " + name;
      v = QDV0_FormatBERoctetstringType(QDV0_BER_OCTETSTRING, text.data(), text.size(), value,
                                        sizeof(value));
    }
    size_t o = QDV0_FormatOIDfromString(name.c_str(), oid, sizeof(oid));
    size_t m = QDVP_SNMPconstructPDUbuffer(out, sizeof(out), QDVP_SNMP_RESPONSE, oid, o, value, v,
                                           static_cast<int32_t>(id), "public");
    sendto(s, out, m, 0, reinterpret_cast<sockaddr *>(&from), len);
  }

  int rows_;
  std::vector<int> sockets_;
  std::vector<int> ports_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

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
        dir.path, std::vector<std::string>{"--commit-ms", "20", "--action-file",
                                           dir.path + "/actions.jsonl"});
    if (peer->port() == 0) return "qdvp-dch did not start";
    std::map<std::string, std::string> env = {
        {"QDVA_DCH_PORT", std::to_string(peer->port())}, {"QDVP_DCH_HOST", "127.0.0.1"},
        {"QDVP_HOME", dir.path}, {"QDVP_META_PATH", dir.path + "/metafiles"},
        {"QDVP_DPCONSOLE_PORT", std::to_string(consoleBase)},
        {"QDVP_SNMP_NET_COMMUNITY", "public"}, {"QDVP_TRACE", "0"}};
    qdvp = std::make_unique<qdvp_bench::Process>(
        std::vector<std::string>{qdvp_bench::BinDir() + "/qdvp", "start", "snmp"}, env, dir.path,
        "qdvp");
    Db db(peer->db());
    bool up = WaitFor([&] {
      return db.Integer("select count(*) from sources where attribute_group = 'DPLOG'", {}, 0) >
                 0 ||
             !qdvp->Running();
    }, 30s);
    if (!up || !qdvp->Running()) return "the data provider did not come up";
    std::string import = qdvp_bench::BinDir() + "/qdvp console --port " +
                         std::to_string(consoleBase + 5) + " IMPORT benchsnmp.mdl > /dev/null";
    if (system(import.c_str()) != 0) return "the MIB was not imported";
    return "";
  }
  void Start(const std::string &table, const std::string &agents) {
    std::ofstream(dir.path + "/actions.jsonl")
        << "{\"id\":1,\"type\":3,\"node\":\"snmp\",\"name\":\"SNMPSTARTGET\",\"owner\":\"Bench\","
           "\"parameter\":\"APPLNAME=BenchMib ATTRGROUP=" << table << " AGENTINFO=" << agents
        << "\"}\n";
  }
};

void Measure(benchmark::State &state, const char *table, int agents, int rows, int expected) {
  for (auto _ : state) {
    Agents simulated(agents, rows);
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
    std::string sql = std::string("select count(*) from rows where attribute_group = '") + table +
                      "'";
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
BENCHMARK(BM_SnmpScalar200Agents)->UseManualTime()->Iterations(1)->Repetitions(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SnmpWalk)->UseManualTime()->Iterations(1)->Repetitions(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
