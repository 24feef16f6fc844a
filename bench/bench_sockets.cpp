// Rows through the socket data server: the real `qdvp start sock` takes the benchmark's sample
// lines from TCP partners and sends their rows to a live qdvp-dch on loopback. Each partner
// names the benchmark's metafile in its first line (a dynamic partner, a source of its own).
// BM_SocketOnePartner streams 200,000 lines over one connection; BM_SocketFiftyPartners
// streams 4,000 lines over each of 50 connections at once. Measured: the time from the first
// byte sent to the peer having stored the last row. Counters as the file burst's: rows per
// second, the data provider's and the peer's CPU seconds per 100,000 rows, the data provider's
// peak resident size, rows lost. Reference, in the same run: the bare loopback request/reply
// pair with a request of the size of one row's data message.
//
// Run: build/default/bin/qdvp_bench_sockets (qdvp and qdvp-dch from the same directory).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
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

namespace {

using namespace std::chrono_literals;
using qdvp_bench::Clock;
using qdvp_bench::CpuSeconds;
using qdvp_bench::Db;
using qdvp_bench::PeakRssKiB;
using qdvp_bench::RowCounter;
using qdvp_bench::SampleLine;
using qdvp_bench::WaitFor;

constexpr int kLines = 200000;
constexpr size_t kRowBytes = 233;
constexpr size_t kReplyBytes = 14;

const char kMetafile[] =
    "* The benchmark's table: one row per sample line of a partner.\n"
    "//APPL SockBench\n"
    "//NAME Samples E\n"
    "//ATTRIBUTES ','\n" QDVP_BENCH_SAMPLE_ATTRIBUTES;

void BM_LoopbackRequestReply(benchmark::State &state) {
  qdvp_bench::LoopbackRequestReply(state, kRowBytes, kReplyBytes);
}

int Connect(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr *>(&to), sizeof(to)) != 0) {
    close(s);
    return -1;
  }
  return s;
}

bool SendAll(int s, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = send(s, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The programs of one measurement, from the start of the peer to the stop of both.
struct Run {
  qdvp_bench::TempDir dir;
  std::unique_ptr<qdvp_bench::Peer> peer;
  std::unique_ptr<qdvp_bench::Process> qdvp;
  int port = qdvp_bench::FreePort();

  std::string Start() {
    if (dir.path.empty()) return "no temporary directory";
    mkdir((dir.path + "/metafiles").c_str(), 0755);
    std::ofstream(dir.path + "/metafiles/sockbench.mdl") << kMetafile;
    std::ofstream(dir.path + "/qdvpinit.cfg") << "* the benchmark's table\nsockbench.mdl\n";
    peer = std::make_unique<qdvp_bench::Peer>(dir.path, std::vector<std::string>{});
    if (peer->port() == 0) return "qdvp-dch did not start";
    std::map<std::string, std::string> env = {
        {"QDVA_DCH_PORT", std::to_string(peer->port())},
        {"QDVP_DCH_HOST", "127.0.0.1"},
        {"QDVP_HOME", dir.path},
        {"QDVP_META_PATH", dir.path + "/metafiles"},
        {"QDVP_INIT_CONFIG_PATH", dir.path},
        {"QDVP_DPCONSOLE_PORT", std::to_string(qdvp_bench::FreePort())},
        {"QDVP_DP_PORT", std::to_string(port)},
        {"QDVP_TRACE", "0"}};
    qdvp = std::make_unique<qdvp_bench::Process>(
        std::vector<std::string>{qdvp_bench::BinDir() + "/qdvp", "start", "sock"}, env, dir.path,
        "qdvp");
    Db db(peer->db());
    bool registered = WaitFor(
        [&] {
          return db.Integer("select count(*) from attribute_groups where name = 'Samples'", {}, 0) >
                     0 ||
                 !qdvp->Running();
        },
        30s);
    return registered && qdvp->Running() ? "" : "the application was not registered";
  }
  int Stop() {
    int status = qdvp ? qdvp->Stop(30s) : 0;
    qdvp.reset();
    return status;
  }
};

// partners connections, each sending its share of kLines after its association record.
void Stream(benchmark::State &state, int partners) {
  std::vector<std::string> texts(static_cast<size_t>(partners));
  for (int p = 0; p < partners; p++) {
    texts[static_cast<size_t>(p)] = "//sockbench\n";
    for (int i = p; i < kLines; i += partners) texts[static_cast<size_t>(p)] += SampleLine(i);
  }
  for (auto _ : state) {
    Run run;
    std::string failed = run.Start();
    if (!failed.empty()) {
      state.SkipWithError(failed.c_str());
      break;
    }
    std::vector<int> sockets;
    for (int p = 0; p < partners; p++) sockets.push_back(Connect(run.port));
    Db db(run.peer->db());
    RowCounter rows(db, std::string("Samples"));
    pid_t dp = run.qdvp->pid(), dch = run.peer->pid();
    double dpBefore = CpuSeconds(dp), dchBefore = CpuSeconds(dch);
    auto start = Clock::now();
    std::vector<std::thread> senders;
    for (int p = 0; p < partners; p++) {
      senders.emplace_back(
          [&, p] { SendAll(sockets[static_cast<size_t>(p)], texts[static_cast<size_t>(p)]); });
    }
    auto last = start, progress = start;
    int64_t stored = 0;
    for (;;) {
      int64_t now = rows.Poll();
      auto t = Clock::now();
      if (now > stored) {
        stored = now;
        last = progress = t;
      }
      if (stored >= kLines || t - progress > 20s) break;
      std::this_thread::sleep_for(10ms);
    }
    for (auto &s : senders) s.join();
    double dpCpu = CpuSeconds(dp) - dpBefore, dchCpu = CpuSeconds(dch) - dchBefore;
    long peakKiB = PeakRssKiB(dp);
    for (int s : sockets) close(s);
    int status = run.Stop();
    double seconds = std::chrono::duration<double>(last - start).count();
    state.SetIterationTime(seconds);
    double per100k = stored > 0 ? 100000.0 / static_cast<double>(stored) : 0;
    state.counters["rows_per_s"] = stored > 0 ? static_cast<double>(stored) / seconds : 0;
    state.counters["dp_cpu_s_per_100k"] = dpCpu * per100k;
    state.counters["dch_cpu_s_per_100k"] = dchCpu * per100k;
    state.counters["dp_peak_rss_MiB"] = static_cast<double>(peakKiB) / 1024.0;
    state.counters["rows_lost"] = static_cast<double>(kLines - stored);
    state.counters["dp_exit"] = status;
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}

void BM_SocketOnePartner(benchmark::State &state) { Stream(state, 1); }
void BM_SocketFiftyPartners(benchmark::State &state) { Stream(state, 50); }

BENCHMARK(BM_LoopbackRequestReply)->UseRealTime();
BENCHMARK(BM_SocketOnePartner)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_SocketFiftyPartners)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
