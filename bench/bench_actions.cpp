// Take actions and the client API through the real programs on loopback.
//
// BM_ActionRoundTrip: qdvp-dch sends 1,000 take actions at once from its action file to
// `qdvp start file`, each running the command `true` for the data provider's own DP log report;
// measured from the append of the actions to the peer having stored the last status and result
// (each action: agent -> receive task -> automation server -> worker -> shell -> ACTION row ->
// status and result -> agent). BM_ApiRowsOneClient: one client of the client library sends
// 20,000 records, one SNDDTA request each, waiting for each reply, to `qdvp start apis`;
// measured from the first request to the peer having stored the last row. Counters: items per
// second, the data provider's CPU seconds per 1,000 items, its peak resident size. Reference,
// in the same run: the bare loopback request/reply pair.
//
// Run: build/default/bin/qdvp_bench_actions (qdvp and qdvp-dch from the same directory).
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
#include "include/qdvp_client.h"

namespace {

using namespace std::chrono_literals;
using qdvp_bench::Clock;
using qdvp_bench::CpuSeconds;
using qdvp_bench::Db;
using qdvp_bench::PeakRssKiB;
using qdvp_bench::WaitFor;

constexpr int kActions = 1000;
constexpr int kRecords = 20000;

void BM_LoopbackRequestReply(benchmark::State &state) {
  qdvp_bench::LoopbackRequestReply(state, 120, 14);
}

// The programs of one measurement.
struct Run {
  qdvp_bench::TempDir dir;
  std::unique_ptr<qdvp_bench::Peer> peer;
  std::unique_ptr<qdvp_bench::Process> qdvp;
  int apiPort = qdvp_bench::FreePort();

  std::string Start(const std::string &type) {
    if (dir.path.empty()) return "no temporary directory";
    mkdir((dir.path + "/metafiles").c_str(), 0755);
    std::ofstream(dir.path + "/metafiles/feed.mdl")
        << "//APPL Feed\n//NAME Lines E\n//SOURCE SOCK 127.0.0.1\n//ATTRIBUTES ','\n"
           "Host D 16\nStatus D 4\nTime D 8\n";
    std::ofstream(dir.path + "/qdvpinit.cfg") << (type == "apis" ? "feed.mdl\n" : "");
    peer = std::make_unique<qdvp_bench::Peer>(
        dir.path, std::vector<std::string>{"--action-file", dir.path + "/actions.jsonl"});
    if (peer->port() == 0) return "qdvp-dch did not start";
    std::map<std::string, std::string> env = {
        {"QDVA_DCH_PORT", std::to_string(peer->port())},
        {"QDVP_DCH_HOST", "127.0.0.1"},
        {"QDVP_HOME", dir.path},
        {"QDVP_META_PATH", dir.path + "/metafiles"},
        {"QDVP_INIT_CONFIG_PATH", dir.path},
        {"QDVP_DPCONSOLE_PORT", std::to_string(qdvp_bench::FreePort())},
        {"QDVP_API_DPAPI_PORT", std::to_string(apiPort)},
        {"QDVP_TRACE", "0"}};
    qdvp = std::make_unique<qdvp_bench::Process>(
        std::vector<std::string>{qdvp_bench::BinDir() + "/qdvp", "start", type}, env, dir.path,
        "qdvp");
    Db db(peer->db());
    const char *ready = type == "apis"
                            ? "select count(*) from attribute_groups where name = 'Lines'"
                            : "select count(*) from sources where attribute_group = 'DPLOG'";
    bool up = WaitFor([&] { return db.Integer(ready, {}, 0) > 0 || !qdvp->Running(); }, 30s);
    return up && qdvp->Running() ? "" : "the data provider did not come up";
  }
};

void BM_ActionRoundTrip(benchmark::State &state) {
  char host[256] = "localhost";
  gethostname(host, sizeof(host));
  std::string node = std::string(host) + "FILEdp:OMNIVARDPLOG00";
  std::string lines;
  for (int id = 1; id <= kActions; id++) {
    lines += "{\"id\":" + std::to_string(id) + ",\"node\":\"" + node +
             "\",\"name\":\"true\",\"owner\":\"Bench\"}\n";
  }
  for (auto _ : state) {
    Run run;
    std::string failed = run.Start("file");
    if (!failed.empty()) {
      state.SkipWithError(failed.c_str());
      break;
    }
    Db db(run.peer->db());
    pid_t dp = run.qdvp->pid();
    double before = CpuSeconds(dp);
    auto start = Clock::now();
    std::ofstream(run.dir.path + "/actions.jsonl") << lines;
    int64_t answered = 0;
    const char *sql = "select count(*) from actions where status is not null";
    WaitFor([&] { return (answered = db.Integer(sql, {}, 0)) >= kActions; }, 120s, 5ms);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    qdvp_bench::ReportRun(state, "per_s", seconds, answered, kActions, CpuSeconds(dp) - before,
                          PeakRssKiB(dp));
    run.qdvp->Stop(30s);
  }
}

void BM_ApiRowsOneClient(benchmark::State &state) {
  for (auto _ : state) {
    Run run;
    std::string failed = run.Start("apis");
    qdvpc_session *session = nullptr;
    if (failed.empty() && (qdvpc_open("127.0.0.1", run.apiPort, 0, &session) != QDVPC_OK ||
                           qdvpc_begin_input(session, "Feed", "Lines") != QDVPC_OK)) {
      failed = "the client session did not begin";
    }
    if (!failed.empty()) {
      state.SkipWithError(failed.c_str());
      qdvpc_close(session);
      break;
    }
    Db db(run.peer->db());
    pid_t dp = run.qdvp->pid();
    double before = CpuSeconds(dp);
    auto start = Clock::now();
    for (int i = 0; i < kRecords; i++) {
      qdvpc_send(session,
                 ("host" + std::to_string(i % 100) + ",ok," + std::to_string(i) + "\n").c_str());
    }
    qdvpc_end_input(session);
    int64_t stored = 0;
    const char *sql = "select count(*) from rows where attribute_group = 'Lines'";
    WaitFor([&] { return (stored = db.Integer(sql, {}, 0)) >= kRecords; }, 120s, 5ms);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    qdvp_bench::ReportRun(state, "per_s", seconds, stored, kRecords, CpuSeconds(dp) - before,
                          PeakRssKiB(dp));
    qdvpc_close(session);
    run.qdvp->Stop(30s);
  }
}

BENCHMARK(BM_LoopbackRequestReply)->UseRealTime();
BENCHMARK(BM_ActionRoundTrip)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_ApiRowsOneClient)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
