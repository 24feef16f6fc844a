// Rows per second into the agent peer's stores, in the same run: SQLite (one database file per
// peer) and PostgreSQL (one database for all peers, each under its own host identity; rows by
// multi-row INSERTs, and by COPY), with one and with four qdvp-dch peers. Each peer is fed by
// one client that keeps 256 rows in flight, as a data provider with a window does: it writes 256
// data requests with row sequences in one go and reads their 256 statuses, again and again.
// Reference, in the same run: the loopback pair with 256 requests of the same size in flight.
//
// The PostgreSQL server is a private cluster started for the run (initdb, pg_ctl, a Unix socket
// in a temporary directory; fsync off, synchronous_commit on: a commit waits for the server's
// WAL write, not for the disk, as the SQLite store's synchronous=NORMAL does not either).
//
// Run: build/default/bin/qdvp_bench_dchstore --benchmark_repetitions=5
//        --benchmark_report_aggregates_only=true   (qdvp-dch from the same directory)
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bench/benchsupport.h"
#include "tests/support/pgcluster.h"

namespace {

using qdvp_bench::Be16;
using qdvp_bench::Be32;
using qdvp_bench::Field;

constexpr int kWindow = 256;
constexpr int kRowsPerPeer = 160 * kWindow;

std::string Message(const std::string &fields) {
  return Be32(static_cast<uint32_t>(fields.size() + 4)) + fields;
}
std::string Request(uint16_t code) { return Field(0x0010, Be16(code)); }

std::string RowMessage(uint32_t handle, uint32_t stream, uint32_t number) {
  return Message(Request(0x1030) + Field(0x0080, Be32(handle)) + Field(0x0070, Be16(0)) +
                 Field(0x0050, "Busy") + Field(0x0051, "G" + Be32(number % 1000)) +
                 Field(0x0050, "Name") + Field(0x0051, "Dsample") +
                 Field(0x0171, Be32(stream) + Be32(number)));
}
const size_t kRowBytes = RowMessage(1, 1, 1).size();

// Reads one whole message; empty on end of stream.
std::string ReadMessage(int fd) {
  char word[4];
  if (!qdvp_bench::ReadAll(fd, word, 4)) return "";
  uint32_t n = ntohl(*reinterpret_cast<uint32_t *>(word));
  std::string m(word, 4);
  m.resize(n);
  if (n < 4 || !qdvp_bench::ReadAll(fd, m.data() + 4, n - 4)) return "";
  return m;
}

// The handle field of an online reply, 0 without one.
uint32_t HandleOf(const std::string &reply) {
  for (size_t at = 4; at + 6 <= reply.size();) {
    uint16_t code = static_cast<uint16_t>((static_cast<unsigned char>(reply[at]) << 8) |
                                          static_cast<unsigned char>(reply[at + 1]));
    uint32_t length = ntohl(*reinterpret_cast<const uint32_t *>(reply.data() + at + 2));
    if (code == 0x0080 && length == 4) {
      return ntohl(*reinterpret_cast<const uint32_t *>(reply.data() + at + 6));
    }
    at += 6 + length;
  }
  return 0;
}

// One client: registers, brings a source online and sends kRowsPerPeer rows, kWindow at a
// time. Returns the rows answered 0.
int Feed(int port, uint32_t stream) {
  int c = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return 0;
  std::string reg =
      Message(Request(0x1010) + Field(0x0020, "App") + Field(0x0090, "h") + Field(0x0022, "T") +
              Field(0x0090, "t") + Field(0x0030, "E") + Field(0x0040, Be32(300)) +
              Field(0x0060, "@$Busy,G,4, , ;Name,D,16, , ;"));
  std::string online = Message(Request(0x1015) + Field(0x0020, "App") + Field(0x0022, "T") +
                               Field(0x0021, "s" + std::to_string(stream)));
  if (write(c, reg.data(), reg.size()) != static_cast<ssize_t>(reg.size())) return 0;
  ReadMessage(c);
  if (write(c, online.data(), online.size()) != static_cast<ssize_t>(online.size())) return 0;
  uint32_t handle = HandleOf(ReadMessage(c));
  int ok = 0;
  std::string burst;
  for (uint32_t sent = 0; sent < kRowsPerPeer; sent += kWindow) {
    burst.clear();
    for (int i = 1; i <= kWindow; i++) burst += RowMessage(handle, stream, sent + i);
    if (write(c, burst.data(), burst.size()) != static_cast<ssize_t>(burst.size())) break;
    for (int i = 0; i < kWindow; i++) {
      std::string reply = ReadMessage(c);
      if (reply.size() >= 14 && reply.compare(10, 4, std::string(4, '\0')) == 0) ok++;
    }
  }
  close(c);
  return ok;
}

dch_test::PgCluster *Cluster() {
  static dch_test::PgCluster cluster;
  return &cluster;
}

// Arguments: the store (0 SQLite, 1 PostgreSQL with INSERTs, 2 PostgreSQL with COPY) and the
// number of peers. One iteration: every peer's rows, fed at once.
void BM_StoreRows(benchmark::State &state) {
  const int store = static_cast<int>(state.range(0));
  const int peers = static_cast<int>(state.range(1));
  static int run = 0;
  std::string pg;
  if (store > 0) {
    if (!Cluster()->Ready()) {
      state.SkipWithError(("no PostgreSQL: " + Cluster()->Error()).c_str());
      return;
    }
    pg = Cluster()->NewDatabase("bench" + std::to_string(++run));
  }
  int64_t rows = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<std::unique_ptr<qdvp_bench::TempDir>> dirs;
    std::vector<std::unique_ptr<qdvp_bench::Peer>> running;
    for (int p = 0; p < peers; p++) {
      dirs.push_back(std::make_unique<qdvp_bench::TempDir>());
      std::vector<std::string> options;
      if (store > 0) {
        options = {"--pg", pg, "--host-id", "host" + std::to_string(++run)};
        options.insert(options.end(), {"--pg-rows", store == 1 ? "insert" : "copy"});
      }
      running.push_back(std::make_unique<qdvp_bench::Peer>(dirs.back()->path, options));
      if (running.back()->port() == 0) {
        state.SkipWithError("qdvp-dch did not start");
        return;
      }
    }
    state.ResumeTiming();
    std::atomic<int> ok{0};
    std::vector<std::thread> feeders;
    for (int p = 0; p < peers; p++) {
      feeders.emplace_back([&, p] { ok += Feed(running[p]->port(), 1000 + p); });
    }
    for (auto &f : feeders) f.join();
    rows += ok;
    state.PauseTiming();
    running.clear();
    state.ResumeTiming();
  }
  state.counters["rows_per_s"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
  state.counters["lost"] =
      static_cast<double>(static_cast<int64_t>(state.iterations()) * peers * kRowsPerPeer - rows);
}
BENCHMARK(BM_StoreRows)
    ->ArgNames({"store", "peers"})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({2, 1})
    ->Args({0, 4})
    ->Args({1, 4})
    ->Args({2, 4})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The reference: the loopback pair with the same window of requests in flight.
void BM_LoopbackWindow(benchmark::State &state) {
  qdvp_bench::LoopbackPipelined(state, kRowBytes, 14, kWindow);
}
BENCHMARK(BM_LoopbackWindow);

}  // namespace

BENCHMARK_MAIN();
