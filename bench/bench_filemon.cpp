// A burst through the file data provider: the real `qdvp start file` follows a file (the
// default tail mode) for one event table of eight attributes and sends its rows to a live
// qdvp-dch on loopback. Lines like a performance sample (time stamp, host and six numbers and
// words) are appended in one go, 200,000 for the link of one row in flight (window 0 or 1) and
// 1,000,000 with a window of 16, 256 or 1024 rows in flight, and the time until the peer has
// stored all their rows is measured. Counters: rows per second (from the write, and from the
// first stored row), the data provider's CPU seconds (user + system, from /proc) per 100,000
// rows spent during the burst, the same for the peer, the data provider's peak resident size,
// the time to the first row, and lines lost (rows missing after a bounded wait). References,
// in the same run: the bare loopback request/reply pair, with a request of the size of one
// row's data message, and the same pair with 64 requests in flight, each with its CPU per row.
//
// Run: build/default/bin/qdvp_bench_filemon (qdvp and qdvp-dch are taken from the same
// directory). Each repetition starts and stops its own peer and data provider in a temporary
// directory, and removes the directory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>
#include <thread>

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

// Lines of a burst: one row at a time is slower, so its burst is shorter.
constexpr int kLinesOneAtATime = 200000;
constexpr int kLinesWindowed = 1000000;
// The data message of one row of the table below, as qdvp-dch logs its length, and the
// status reply.
constexpr size_t kRowBytes = 233;
constexpr size_t kReplyBytes = 14;

const char kMetafile[] =
    "* The benchmark's table: one row per appended sample line.\n"
    "//APPL FileBench\n"
    "//NAME Samples E\n"
    "//SOURCE FILE @DIR@/samples.log\n"
    "//ATTRIBUTES ','\n" QDVP_BENCH_SAMPLE_ATTRIBUTES;

void BM_LoopbackRequestReply(benchmark::State &state) {
  qdvp_bench::LoopbackRequestReply(state, kRowBytes, kReplyBytes);
}

// The windowed reference: 64 rows in flight.
void BM_LoopbackPipelined(benchmark::State &state) {
  qdvp_bench::LoopbackPipelined(state, kRowBytes, kReplyBytes, 64);
}

bool Append(const std::string &path, const std::string &text) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done == text.size();
}

// One burst, from the start of the peer to the stop of both programs.
struct Burst {
  qdvp_bench::TempDir dir;
  std::string data = dir.path + "/samples.log";
  std::unique_ptr<qdvp_bench::Peer> peer;
  std::unique_ptr<qdvp_bench::Process> qdvp;
  int64_t handle = 0;
  int window = 0;  // QDVP_DCH_WINDOW: 0 and 1 are the one-row-at-a-time link

  std::map<std::string, std::string> Env(int consolePort) const {
    return {{"QDVA_DCH_PORT", std::to_string(peer->port())},
            {"QDVP_DCH_HOST", "127.0.0.1"},
            {"QDVP_HOME", dir.path},
            {"QDVP_META_PATH", dir.path + "/metafiles"},
            {"QDVP_INIT_CONFIG_PATH", dir.path},
            {"QDVP_DPCONSOLE_PORT", std::to_string(consolePort)},
            {"QDVP_DP_EVENT", "1"},
            {"QDVP_DCH_CONNECT_RETRY_WAIT", "1"},
            {"QDVP_DCH_WINDOW", std::to_string(window)},
            {"QDVP_TRACE", "0"}};
  }

  // Starts the peer and the data provider and waits until the source is online at the peer.
  // A data provider whose start-up did not bring the source online is stopped and started
  // again.
  std::string Start() {
    if (dir.path.empty()) return "no temporary directory";
    mkdir((dir.path + "/metafiles").c_str(), 0755);
    std::string metafile = kMetafile;
    metafile.replace(metafile.find("@DIR@"), 5, dir.path);
    std::ofstream(dir.path + "/metafiles/filebench.mdl") << metafile;
    std::ofstream(dir.path + "/qdvpinit.cfg") << "* the benchmark's table\nfilebench.mdl\n";
    // The file holds a line at start: what it holds then is not sent, what is appended is.
    std::ofstream(data) << SampleLine(0);
    peer = std::make_unique<qdvp_bench::Peer>(dir.path, std::vector<std::string>{});
    if (peer->port() == 0) return "qdvp-dch did not start";
    Db db(peer->db());
    for (int attempt = 0; attempt < 3 && handle == 0; attempt++) {
      qdvp = std::make_unique<qdvp_bench::Process>(
          std::vector<std::string>{qdvp_bench::BinDir() + "/qdvp", "start", "file"},
          Env(qdvp_bench::FreePort()), dir.path, "qdvp");
      WaitFor(
          [&] {
            handle = db.Integer(
                "select handle from sources where attribute_group = 'Samples' and "
                "offline_at is null",
                {}, 0);
            return handle != 0 || !qdvp->Running();
          },
          30s);
      if (handle == 0) Stop();
    }
    if (handle == 0) return "the source did not come online";
    // The server takes its start position right after the online: a line appended once that
    // is done comes back as a row. Lines appended before are skipped, so try again.
    RowCounter rows(db, handle);
    for (int i = 0; i < 10; i++) {
      if (!Append(data, SampleLine(i + 1))) return "cannot append to the file";
      if (WaitFor([&] { return rows.Poll() > 0; }, 3s)) return "";
    }
    return "no row for the first appended line";
  }

  int Stop() {
    int status = qdvp ? qdvp->Stop(30s) : 0;
    qdvp.reset();
    return status;
  }
};

// The burst with the window of the benchmark's argument (0: off, the agent link of one row in
// flight per source).
void BM_FileBurst(benchmark::State &state) {
  const int window = static_cast<int>(state.range(0));
  const int kLines = window > 1 ? kLinesWindowed : kLinesOneAtATime;
  std::string text;
  text.reserve(static_cast<size_t>(kLines) * 80);
  for (int i = 0; i < kLines; i++) text += SampleLine(i + 100);
  for (auto _ : state) {
    Burst burst;
    burst.window = window;
    std::string failed = burst.Start();
    if (!failed.empty()) {
      state.SkipWithError(failed.c_str());
      break;
    }
    Db db(burst.peer->db());
    RowCounter rows(db, burst.handle);
    // Nothing is in flight once the row count has not moved for two scan intervals.
    int64_t seen = -1;
    WaitFor(
        [&] {
          int64_t now = rows.Poll();
          bool still = now == seen;
          seen = now;
          return still;
        },
        30s, 2s);
    rows.Restart();

    pid_t dp = burst.qdvp->pid(), dch = burst.peer->pid();
    double dpBefore = CpuSeconds(dp), dchBefore = CpuSeconds(dch);
    auto start = Clock::now();
    if (!Append(burst.data, text)) {
      state.SkipWithError("cannot append the burst");
      break;
    }
    auto written = Clock::now();
    auto first = start, last = start;
    int64_t stored = 0;
    // Bounded: the wait ends when every row is there, or when none came for 20 seconds.
    auto progress = Clock::now();
    for (;;) {
      int64_t now = rows.Poll();
      auto t = Clock::now();
      if (now > stored) {
        if (stored == 0) first = t;
        stored = now;
        last = progress = t;
      }
      if (stored >= kLines || t - progress > 20s) break;
      std::this_thread::sleep_for(10ms);
    }
    double dpCpu = CpuSeconds(dp) - dpBefore, dchCpu = CpuSeconds(dch) - dchBefore;
    long peakKiB = PeakRssKiB(dp);
    int status = burst.Stop();

    double seconds = std::chrono::duration<double>(last - start).count();
    state.SetIterationTime(seconds);
    double per100k = stored > 0 ? 100000.0 / static_cast<double>(stored) : 0;
    state.counters["rows_per_s"] = stored > 0 ? static_cast<double>(stored) / seconds : 0;
    state.counters["dp_cpu_s_per_100k"] = dpCpu * per100k;
    state.counters["dch_cpu_s_per_100k"] = dchCpu * per100k;
    state.counters["dp_peak_rss_MiB"] = static_cast<double>(peakKiB) / 1024.0;
    state.counters["first_row_s"] = std::chrono::duration<double>(first - start).count();
    // The rate of the rows themselves, from the first stored to the last, without the wait
    // for the file server's next scan that rows_per_s includes.
    double flowing = std::chrono::duration<double>(last - first).count();
    state.counters["flow_rows_per_s"] = flowing > 0 ? static_cast<double>(stored) / flowing : 0;
    state.counters["write_s"] = std::chrono::duration<double>(written - start).count();
    state.counters["lines_lost"] = static_cast<double>(kLines - stored);
    state.counters["dp_exit"] = status;
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}

BENCHMARK(BM_LoopbackRequestReply)->UseRealTime();
BENCHMARK(BM_LoopbackPipelined)->UseRealTime();
BENCHMARK(BM_FileBurst)
    ->ArgName("window")
    ->Arg(0)
    ->Arg(1)
    ->Arg(16)
    ->Arg(256)
    ->Arg(1024)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
