// The row road of the file data provider measured the way the reference peers are
// (../shared/peers): the real `qdvp start file` follows an empty file for one event table of
// eight text attributes (bench/rowroad.mdl), sends its rows to a live qdvp-dch on loopback, and
// the input is the peers' own file. Prints one line of key=value figures per run, in the
// harness's form, so that its summarize.py takes ours and theirs alike.
//
//   rowroad burst INPUT [WINDOW] [LINES]
//       the first LINES lines of INPUT (all by default) appended at once (as `cat` appends:
//       writes of 128 KiB one after the other); figures: rows
//       per second from the write and from the first stored row to the last, CPU per row of
//       the data provider and of qdvp-dch (user + system from /proc, from just before the
//       write to the last row), the seconds their threads were runnable but waiting for a
//       core (the run queue, from /proc/PID/task/*/schedstat) and the seconds qdvp-dch, one
//       thread, was neither running nor waiting for a core (asleep in its poll, waiting for
//       rows), the data provider's context switches per row (voluntary and involuntary, of
//       its threads, from /proc/PID/task/*/status), both programs' peak resident size, rows
//       lost and duplicated (by the Sequence attribute). WINDOW 0 is the link of one row in
//       flight.
//   rowroad latency INPUT [RATE] [SECONDS]
//       lines appended one at a time, RATE a second (1000 by default) for SECONDS (10): the
//       time from each line's write to its row being readable in qdvp-dch's database, median,
//       90th and 99th percentile and the longest. The database is looked at whenever its WAL
//       file is written and at least every millisecond while rows are awaited, so a figure is
//       late by at most about a millisecond.
//
// Both start and stop their own peer and data provider in a temporary directory and remove it.
// The environment of the data provider can be extended with QDVP_ROWROAD_ENV="K=V K=V".
#include <fcntl.h>
#include <poll.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bench/benchrows.h"
#include "bench/benchsupport.h"

namespace {

using namespace std::chrono_literals;
using qdvp_bench::Clock;

// The table of the peers' input lines (bench/rowroad.mdl; @DIR@ is the run's directory).
std::string Metafile() {
  std::ifstream in(std::string(QDVP_SOURCE_DIR) + "/bench/rowroad.mdl");
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> ReadLines(const std::string &path, size_t limit) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  std::string line;
  while (lines.size() < limit && std::getline(in, line)) lines.push_back(line + "\n");
  return lines;
}

// Appends in writes of 128 KiB at most, as the harness's `cat SRC >> input` does.
bool Append(const std::string &path, const char *data, size_t size) {
  constexpr size_t kPiece = 128 * 1024;
  int fd = open(path.c_str(), O_WRONLY | O_APPEND);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, std::min(kPiece, size - done));
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done == size;
}

// The peer's rows read as they come: how many were stored since the last look (cheap: ids
// only, so that looking every 10 ms takes nothing worth counting from the programs measured),
// and the Sequence attribute of each (which builds each row's attributes in the view).
class RowReader {
 public:
  explicit RowReader(const std::string &db) {
    if (sqlite3_open_v2(db.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return;
    sqlite3_busy_timeout(db_, 2000);
  }
  ~RowReader() {
    sqlite3_finalize(next_);
    sqlite3_finalize(count_);
    sqlite3_close(db_);
  }
  // Calls seen(sequence) for every row of the table stored since the last call; false when
  // the database cannot be read (yet).
  template <typename F>
  bool Read(F seen) {
    if (!Prepared(&next_,
                  "SELECT id, json_extract(attrs, '$.Sequence') FROM rows WHERE id > ?1 "
                  "AND attribute_group = 'Lines' ORDER BY id")) {
      return false;
    }
    sqlite3_bind_int64(next_, 1, last_);
    while (sqlite3_step(next_) == SQLITE_ROW) {
      last_ = sqlite3_column_int64(next_, 0);
      const unsigned char *text = sqlite3_column_text(next_, 1);
      seen(text ? atol(reinterpret_cast<const char *>(text)) : -1L);
    }
    sqlite3_reset(next_);
    return true;
  }
  // The rows stored since the last call of Count (ids above counted_), of any table.
  int64_t Count() {
    if (!Prepared(&count_, "SELECT count(*), max(id) FROM rows WHERE id > ?1")) return 0;
    sqlite3_bind_int64(count_, 1, counted_);
    int64_t n = 0;
    if (sqlite3_step(count_) == SQLITE_ROW && sqlite3_column_type(count_, 1) != SQLITE_NULL) {
      n = sqlite3_column_int64(count_, 0);
      counted_ = sqlite3_column_int64(count_, 1);
    }
    sqlite3_reset(count_);
    return n;
  }
  // Counting and reading from now on: what is stored is not counted.
  void Skip() {
    Read([](long) {});
    counted_ = last_;
    Count();
  }

 private:
  bool Prepared(sqlite3_stmt **s, const char *sql) {
    return *s != nullptr || sqlite3_prepare_v2(db_, sql, -1, s, nullptr) == SQLITE_OK;
  }
  sqlite3 *db_ = nullptr;
  sqlite3_stmt *next_ = nullptr, *count_ = nullptr;
  int64_t last_ = 0, counted_ = 0;
};

struct Road {
  qdvp_bench::TempDir dir;
  std::string input = dir.path + "/input.log";
  std::unique_ptr<qdvp_bench::Peer> peer;
  std::unique_ptr<qdvp_bench::Process> qdvp;

  // Starts both programs and waits until a line appended comes back as a row.
  std::string Start(int window) {
    mkdir((dir.path + "/metafiles").c_str(), 0755);
    std::string metafile = Metafile();
    if (metafile.find("@DIR@") == std::string::npos) return "no bench/rowroad.mdl";
    for (size_t at; (at = metafile.find("@DIR@")) != std::string::npos;) {
      metafile.replace(at, 5, dir.path);
    }
    std::ofstream(dir.path + "/metafiles/rowroad.mdl") << metafile;
    std::ofstream(dir.path + "/qdvpinit.cfg") << "rowroad.mdl\n";
    std::ofstream(input) << "2024-05-01T00:00:00.000Z,start,INFO,bench,start,0,-1,start\n";
    peer = std::make_unique<qdvp_bench::Peer>(dir.path);
    if (peer->port() == 0) return "qdvp-dch did not start";
    std::map<std::string, std::string> env = {
        {"QDVA_DCH_PORT", std::to_string(peer->port())},
        {"QDVP_DCH_HOST", "127.0.0.1"},
        {"QDVP_HOME", dir.path},
        {"QDVP_META_PATH", dir.path + "/metafiles"},
        {"QDVP_INIT_CONFIG_PATH", dir.path},
        {"QDVP_DPCONSOLE_PORT", std::to_string(qdvp_bench::FreePort())},
        {"QDVP_DCH_CONNECT_RETRY_WAIT", "1"},
        {"QDVP_DCH_WINDOW", std::to_string(window)},
        {"QDVP_TRACE", "0"}};
    if (const char *extra = getenv("QDVP_ROWROAD_ENV")) {
      std::istringstream words(extra);
      for (std::string w; words >> w;) {
        size_t eq = w.find('=');
        if (eq != std::string::npos) env[w.substr(0, eq)] = w.substr(eq + 1);
      }
    }
    qdvp = std::make_unique<qdvp_bench::Process>(
        std::vector<std::string>{qdvp_bench::BinDir() + "/qdvp", "start", "file"}, env, dir.path,
        "qdvp");
    RowReader rows(peer->db());
    bool back = false;
    // Lines appended before the server took its start position are not sent: try again.
    for (int i = 0; i < 100 && !back && qdvp->Running(); i++) {
      std::string line = "2024-05-01T00:00:00.000Z,start,INFO,bench,start,0,-2,start\n";
      Append(input, line.data(), line.size());
      qdvp_bench::WaitFor(
          [&] {
            rows.Read([&](long) { back = true; });
            return back;
          },
          300ms, 5ms);
    }
    if (!back) {
      std::ifstream err(dir.path + "/qdvp.err");
      return "no row for the first appended line; qdvp said: " +
             std::string((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
    }
    return "";
  }
  void Stop() {
    if (qdvp) qdvp->Stop(30s);
    qdvp.reset();
  }
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

int Burst(const std::string &path, int window, size_t limit) {
  std::vector<std::string> lines = ReadLines(path, limit);
  std::string text;
  for (const auto &l : lines) text += l;
  const long n = static_cast<long>(lines.size());
  Road road;
  std::string failed = road.Start(window);
  if (!failed.empty()) {
    fprintf(stderr, "rowroad: %s\n", failed.c_str());
    return 1;
  }
  RowReader rows(road.peer->db());
  rows.Skip();
  long stored = 0;
  pid_t dp = road.qdvp->pid(), dch = road.peer->pid();
  double dpBefore = qdvp_bench::CpuSeconds(dp), dchBefore = qdvp_bench::CpuSeconds(dch);
  double dpQueuedBefore = qdvp_bench::RunQueueSeconds(dp);
  double dchQueuedBefore = qdvp_bench::RunQueueSeconds(dch);
  long dpSwitchesBefore = qdvp_bench::ContextSwitches(dp);
  auto start = Clock::now();
  if (!Append(road.input, text.data(), text.size())) return 1;
  auto written = Clock::now(), first = start, last = start, progress = start;
  while (stored < n && Clock::now() - progress < 20s) {
    int64_t more = rows.Count();
    auto t = Clock::now();
    if (more > 0) {
      if (stored == 0) first = t;
      stored += static_cast<long>(more);
      last = progress = t;
    }
    if (stored < n) std::this_thread::sleep_for(10ms);
  }
  double dpCpu = qdvp_bench::CpuSeconds(dp) - dpBefore;
  double dchCpu = qdvp_bench::CpuSeconds(dch) - dchBefore;
  double dpQueued = qdvp_bench::RunQueueSeconds(dp) - dpQueuedBefore;
  double dchQueued = qdvp_bench::RunQueueSeconds(dch) - dchQueuedBefore;
  long dpSwitches = qdvp_bench::ContextSwitches(dp) - dpSwitchesBefore;
  long dpPeak = qdvp_bench::PeakRssKiB(dp), dchPeak = qdvp_bench::PeakRssKiB(dch);
  road.Stop();
  // Once the programs are measured: which lines arrived, and how often.
  std::vector<uint8_t> seen(static_cast<size_t>(n), 0);
  long distinct = 0, bad = 0;
  stored = 0;
  rows.Read([&](long sequence) {
    stored++;
    if (sequence < 0 || sequence >= n) {
      bad++;
    } else if (seen[static_cast<size_t>(sequence)]++ == 0) {
      distinct++;
    }
  });
  double e2e = Seconds(last - start), flow = Seconds(last - first);
  double perRow = stored > 0 ? 1e6 / static_cast<double>(stored) : 0;
  printf(
      "peer=qdvp profile=window%d lines=%ld/%ld bad=%ld append_s=%.3f e2e_s=%.3f "
      "e2e_lines_per_s=%.0f first_row_ms=%.1f first_to_last_s=%.3f steady_lines_per_s=%.0f "
      "dp_cpu_us_per_line=%.2f dch_cpu_us_per_line=%.2f cpu_us_per_line=%.2f "
      "dp_runq_s=%.3f dch_runq_s=%.3f dch_asleep_s=%.3f dp_cs_per_line=%.2f "
      "peak_rss_kb=%ld dch_peak_rss_kb=%ld lost=%ld dup=%ld\n",
      window, distinct, n, bad, Seconds(written - start), e2e,
      e2e > 0 ? static_cast<double>(stored) / e2e : 0, Seconds(first - start) * 1e3, flow,
      flow > 0 ? static_cast<double>(stored) / flow : 0, dpCpu * perRow, dchCpu * perRow,
      (dpCpu + dchCpu) * perRow, dpQueued, dchQueued, std::max(0.0, e2e - dchCpu - dchQueued),
      static_cast<double>(dpSwitches) * perRow / 1e6, dpPeak, dchPeak, n - distinct,
      stored - distinct - bad);
  fflush(stdout);
  return distinct == n ? 0 : 1;
}

int Latency(const std::string &path, int rate, int seconds) {
  const size_t n = static_cast<size_t>(rate) * static_cast<size_t>(seconds);
  std::vector<std::string> lines = ReadLines(path, n);
  Road road;
  std::string failed = road.Start(256);
  if (!failed.empty()) {
    fprintf(stderr, "rowroad: %s\n", failed.c_str());
    return 1;
  }
  RowReader rows(road.peer->db());
  rows.Read([](long) {});
  std::vector<Clock::time_point> writtenAt(lines.size()), storedAt(lines.size());
  std::vector<uint8_t> done(lines.size(), 0);
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  inotify_add_watch(watch, (road.peer->db() + "-wal").c_str(), IN_MODIFY);
  std::atomic<size_t> sent{0};
  std::thread writer([&] {
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    long step = 1000000000L / rate;
    for (size_t i = 0; i < lines.size(); i++) {
      next.tv_nsec += step;
      if (next.tv_nsec >= 1000000000L) {
        next.tv_nsec -= 1000000000L;
        next.tv_sec++;
      }
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
      writtenAt[i] = Clock::now();
      sent.store(i + 1, std::memory_order_release);
      if (!Append(road.input, lines[i].data(), lines[i].size())) break;
    }
  });
  size_t count = 0;
  auto progress = Clock::now();
  while (count < lines.size() && Clock::now() - progress < 10s) {
    pollfd p{watch, POLLIN, 0};
    poll(&p, 1, 1);
    char events[4096];
    while (read(watch, events, sizeof events) > 0) {
    }
    auto t = Clock::now();
    size_t limit = sent.load(std::memory_order_acquire);
    rows.Read([&](long sequence) {
      if (sequence < 0 || static_cast<size_t>(sequence) >= limit || done[sequence]) return;
      done[sequence] = 1;
      storedAt[sequence] = t;
      count++;
      progress = t;
    });
  }
  writer.join();
  close(watch);
  road.Stop();
  std::vector<double> ms;
  for (size_t i = 0; i < lines.size(); i++) {
    if (done[i])
      ms.push_back(std::chrono::duration<double, std::milli>(storedAt[i] - writtenAt[i]).count());
  }
  std::sort(ms.begin(), ms.end());
  auto at = [&](double q) {
    return ms.empty() ? 0 : ms[std::min(ms.size() - 1, static_cast<size_t>(q * ms.size()))];
  };
  printf(
      "peer=qdvp profile=latency%d lines=%zu/%zu median_ms=%.2f p90_ms=%.2f p99_ms=%.2f "
      "max_ms=%.2f lost=%zu\n",
      rate, ms.size(), lines.size(), at(0.5), at(0.9), at(0.99), ms.empty() ? 0 : ms.back(),
      lines.size() - ms.size());
  fflush(stdout);
  return ms.size() == lines.size() ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr,
            "usage: rowroad burst INPUT [WINDOW=256] [LINES=all]\n"
            "       rowroad latency INPUT [RATE=1000] [SECONDS=10]\n");
    return 2;
  }
  std::string mode = argv[1], input = argv[2];
  if (mode == "burst") {
    return Burst(input, argc > 3 ? atoi(argv[3]) : 256,
                 argc > 4 ? static_cast<size_t>(atol(argv[4])) : SIZE_MAX);
  }
  if (mode == "latency") {
    return Latency(input, argc > 3 ? atoi(argv[3]) : 1000, argc > 4 ? atoi(argv[4]) : 10);
  }
  fprintf(stderr, "rowroad: unknown mode %s\n", mode.c_str());
  return 2;
}
