// URL monitoring through the real `qdvp start http` to a live qdvp-dch, against a private nginx
// on loopback serving 200 pages of three objects each.
//
// BM_Http200URLs: 200 URLs at a sample interval of 1 s; measured from the start of the data
// provider to the peer having stored 1,000 Managed_URL rows (five samples of every URL, the
// first with its three object requests and URL_Objects rows: 1,600 requests in all). Counters:
// rows per second, the data provider's CPU seconds per 1,000 rows, its peak resident size. The
// sampling is paced by the interval by design; the figures that count are CPU and memory.
// BM_Http200URLsEvery10s: the same 200 URLs at 10 s, until every URL has four rows; the
// lateness of the samples (how much longer than 10 s lay between two rows of a URL, median and
// 99th percentile) is the figure that counts, with the CPU per row.
// BM_Http200URLsSpin: the same as the first with the agent link's spin before sleeping turned on
// (QDVP_SPIN_WAIT_US=Y).
// References in the same run: the bare loopback request/reply pair, and the same 1,600 GETs
// made one after the other through the HTTP client layer alone (fresh connections, as the data
// provider makes them), in the bench's own process.
//
// Run: build/default/bin/qdvp_bench_http (qdvp and qdvp-dch from the same directory, nginx
// installed by scripts/bootstrap.sh).
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/benchrows.h"
#include "bench/benchsupport.h"
#include "core/support/htq1.h"
#include "tests/support/webserver.h"

namespace {

using namespace std::chrono_literals;
using qdvp_bench::Clock;
using qdvp_bench::CpuSeconds;
using qdvp_bench::Db;
using qdvp_bench::PeakRssKiB;
using qdvp_bench::WaitFor;

const int kURLs = 200;
const int kSamples = 5;

void BM_LoopbackRequestReply(benchmark::State &state) {
  qdvp_bench::LoopbackRequestReply(state, 60, 70);
}

// nginx with the bench's pages: /pN.html, each naming /a.gif, /b.jpg and /c.js.
bool Pages(qdvp_test::Nginx &web) {
  for (int i = 0; i < kURLs; i++) {
    web.WriteFile("p" + std::to_string(i) + ".html",
                  "<html><head><title>Page " + std::to_string(i) +
                      "</title></head><body><img src=\"a.gif\"><img src=\"b.jpg\">"
                      "<script src=\"c.js\"></script>" +
                      std::string(2000, ' ') + "</body></html>");
  }
  web.WriteFile("a.gif", std::string(1000, 'g'));
  web.WriteFile("b.jpg", std::string(5000, 'j'));
  web.WriteFile("c.js", std::string(300, 's'));
  return web.Start();
}

void BM_HttpClientLayer1600GETs(benchmark::State &state) {
  qdvp_test::Nginx web;
  if (!Pages(web)) {
    state.SkipWithError(web.Problem().c_str());
    return;
  }
  HTQ1_Initialize();
  HTQ1_CLIENT *client = nullptr;
  HTQ1_NewClient(&client, HTQ1_HTTP11, 0, 0);
  // What the data provider fetches: every page five times, the objects once per page.
  std::vector<std::string> urls;
  for (int round = 0; round < kSamples; round++) {
    for (int i = 0; i < kURLs; i++) urls.push_back(web.Url("/p" + std::to_string(i) + ".html"));
  }
  for (int i = 0; i < kURLs; i++) {
    for (const char *object : {"/a.gif", "/b.jpg", "/c.js"}) urls.push_back(web.Url(object));
  }
  std::vector<char> buffer(1 << 16);
  for (auto _ : state) {
    double before = CpuSeconds(getpid());
    auto start = Clock::now();
    int ok = 0;
    for (const std::string &u : urls) {
      HTQ1_ACTIVITY *a = nullptr;
      if (HTQ1_NewActivity(client, &a, u.c_str(), static_cast<int>(u.size()), 0, 0, nullptr) != 0) {
        continue;
      }
      if (HTQ1_RequestActivity(a, 0) == 0) {
        long size = static_cast<long>(buffer.size());
        ok += HTQ1_Get(a, buffer.data(), &size, nullptr) == 0;
      }
      HTQ1_DeleteActivity(a);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    state.counters["gets_per_s"] = ok / seconds;
    state.counters["cpu_s_per_1k"] = (CpuSeconds(getpid()) - before) * 1000.0 / (ok > 0 ? ok : 1);
    state.counters["failed"] = static_cast<double>(urls.size()) - ok;
  }
  HTQ1_DeleteClient(client, 0);
}

// The lateness of samples in milliseconds: for each pair of consecutive rows of a URL, how much
// longer than the interval lay between them; the value at the given fraction of them (0.5: the
// median), or -1 without pairs.
int64_t Lateness(Db &db, int intervalMs, double fraction) {
  const char *gaps =
      "with g as (select julianday(received_at) * 86400000.0 - lag(julianday(received_at) * "
      "86400000.0) over (partition by json_extract(attrs, '$.URL') order by id) - ? as late "
      "from rows where attribute_group = 'Managed_URL') ";
  std::string count = std::string(gaps) + "select count(*) from g where late is not null";
  int64_t n = db.Integer(count.c_str(), {intervalMs}, 0);
  if (n == 0) return -1;
  std::string at = std::string(gaps) +
                   "select cast(late as integer) from g where late is not null order by late "
                   "limit 1 offset ?";
  return db.Integer(at.c_str(), {intervalMs, static_cast<int64_t>(fraction * (n - 1))}, -1);
}

// spin: the agent link's spin before it sleeps (QDVP_SPIN_WAIT_US); "" leaves the default.
// interval: the URLs' sample interval in seconds; samples: the rows of each URL waited for.
void Http200URLs(benchmark::State &state, const char *spin, int interval = 1,
                 int samples = kSamples) {
  qdvp_test::Nginx web;
  if (!Pages(web)) {
    state.SkipWithError(web.Problem().c_str());
    return;
  }
  for (auto _ : state) {
    qdvp_bench::TempDir dir;
    {
      std::ofstream config(dir.path + "/qdvpurls.cfg");
      for (int i = 0; i < kURLs; i++) {
        config << web.Url("/p" + std::to_string(i) + ".html") << " INTERVAL=" << interval
               << " USER=bench\n";
      }
    }
    qdvp_bench::Peer peer(dir.path, {});
    if (peer.port() == 0) {
      state.SkipWithError("qdvp-dch did not start");
      break;
    }
    std::map<std::string, std::string> env = {
        {"QDVA_DCH_PORT", std::to_string(peer.port())},
        {"QDVP_DCH_HOST", "127.0.0.1"},
        {"QDVP_HOME", dir.path},
        {"QDVP_DPCONSOLE_PORT", std::to_string(qdvp_bench::FreePort())},
        {"QDVP_URL_MIN_SAMPLE_INTERVAL", "1"},
        {"QDVP_URL_DATASET_PERIOD", std::to_string(3 * std::max(interval, 2))},
        {"QDVP_URL_DATASET_MIN_SAMPLES", "3"},
        {"QDVP_TRACE", "0"},
        {"QDVP_SPIN_WAIT_US", spin}};
    auto start = Clock::now();
    qdvp_bench::Process qdvp({qdvp_bench::BinDir() + "/qdvp", "start", "http"}, env, dir.path,
                             "qdvp");
    Db db(peer.db());
    int64_t stored = 0;
    const int expected = kURLs * samples;
    WaitFor(
        [&] {
          stored =
              db.Integer("select count(*) from rows where attribute_group = 'Managed_URL'", {}, 0);
          return stored >= expected || !qdvp.Running();
        },
        std::chrono::seconds(60 + interval * samples * 2), 20ms);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    pid_t dp = qdvp.pid();
    qdvp_bench::ReportRun(state, "rows_per_s", seconds, stored, expected, CpuSeconds(dp),
                          PeakRssKiB(dp));
    state.counters["object_rows"] = static_cast<double>(
        db.Integer("select count(*) from rows where attribute_group = 'URL_Objects'", {}, 0));
    state.counters["late_ms_median"] = static_cast<double>(Lateness(db, interval * 1000, 0.5));
    state.counters["late_ms_p99"] = static_cast<double>(Lateness(db, interval * 1000, 0.99));
    qdvp.Stop(30s);
  }
}

void BM_Http200URLs(benchmark::State &state) { Http200URLs(state, ""); }
void BM_Http200URLsSpin(benchmark::State &state) { Http200URLs(state, "Y"); }
void BM_Http200URLsEvery10s(benchmark::State &state) { Http200URLs(state, "", 10, 4); }

}  // namespace

BENCHMARK(BM_LoopbackRequestReply)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HttpClientLayer1600GETs)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Http200URLs)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Http200URLsSpin)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Http200URLsEvery10s)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
