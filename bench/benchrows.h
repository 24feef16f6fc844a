// What the end-to-end benchmarks read beside the programs they run: a process's CPU seconds
// and peak resident size from /proc, the peer's database (read-only; it runs in WAL mode, so
// reading does not hold its commits back) and the rows stored in it since the last look.
#pragma once

#include <dirent.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/proccpu.h"

namespace qdvp_bench {

using Clock = std::chrono::steady_clock;

// The attributes of the benchmarks' sample table, as a metafile writes them after //ATTRIBUTES
// ','; a row's data message is 233 bytes.
#define QDVP_BENCH_SAMPLE_ATTRIBUTES                                \
  "Stamp D 26\nHost D 16\nCpu G 100\nReads C\nMemory G 100000000\n" \
  "Connections G 5000\nState D 12\nDevice D 12\n"

// One sample line: time stamp, host, CPU percent, reads, memory, connections, state, device.
inline std::string SampleLine(int i) {
  static const char *const states[] = {"running", "idle", "busy", "draining"};
  static const char *const devices[] = {"eth0", "eth1", "bond0"};
  char line[160];
  snprintf(line, sizeof(line), "2026-12-06T01:%02d:%02d.%06d,dbhost%02d,%d,%d,%d,%d,%s,%s\n",
           (i / 60000) % 60, (i / 1000) % 60, (i % 1000) * 997, i % 17, i % 100, 800000 + i,
           1024000 + (i * 37) % 500000, 20 + i % 60, states[i % 4], devices[i % 3]);
  return line;
}

// User + system CPU seconds of a process so far.
using qdvp_test::CpuSeconds;

// Seconds the threads of a process have been runnable but waiting for a core, summed over its
// threads alive now (the second figure of each /proc/PID/task/TID/schedstat). Beside the CPU
// time it tells a program that waits for the machine from one that waits for its peer.
inline double RunQueueSeconds(pid_t pid) {
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR *tasks = opendir(dir.c_str());
  if (tasks == nullptr) return 0;
  unsigned long long waited = 0;
  while (dirent *e = readdir(tasks)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(dir + "/" + e->d_name + "/schedstat");
    unsigned long long onCpu = 0, queued = 0;
    if (in >> onCpu >> queued) waited += queued;
  }
  closedir(tasks);
  return static_cast<double>(waited) / 1e9;
}

// Context switches of a process so far, voluntary and involuntary, summed over its threads
// alive now (/proc/PID/task/TID/status): the sleeps and wake-ups a row costs on its road.
inline long ContextSwitches(pid_t pid) {
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR *tasks = opendir(dir.c_str());
  if (tasks == nullptr) return 0;
  long switches = 0;
  while (dirent *e = readdir(tasks)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(dir + "/" + e->d_name + "/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
          line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
        switches += std::stol(line.substr(line.find(':') + 1));
      }
    }
  }
  closedir(tasks);
  return switches;
}

// VmHWM of a process in KiB.
inline long PeakRssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

// The peer's database, opened read-only.
class Db {
 public:
  explicit Db(const std::string &path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
      return;
    }
    sqlite3_busy_timeout(db_, 2000);
  }
  ~Db() { sqlite3_close(db_); }
  Db(const Db &) = delete;
  Db &operator=(const Db &) = delete;
  // The first column of the first row of sql with the integers bound in order; fallback when
  // there is no row or the query fails (the peer may not have created its tables yet).
  int64_t Integer(const char *sql, std::initializer_list<int64_t> values, int64_t fallback) {
    if (db_ == nullptr) return fallback;
    sqlite3_stmt *s = nullptr;
    int64_t result = fallback;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) == SQLITE_OK) {
      int i = 1;
      for (int64_t v : values) sqlite3_bind_int64(s, i++, v);
      if (sqlite3_step(s) == SQLITE_ROW && sqlite3_column_type(s, 0) != SQLITE_NULL) {
        result = sqlite3_column_int64(s, 0);
      }
    }
    sqlite3_finalize(s);
    return result;
  }

 private:
  sqlite3 *db_ = nullptr;
};

// Counts the rows of one source as they arrive, reading only the rows stored since the last
// look.
// One source's rows (by its handle), or with a group name every row of that attribute group.
class RowCounter {
 public:
  RowCounter(Db &db, int64_t handle)
      : db_(db),
        handle_(handle),
        sql_("select count(*) from rows where id > ?1 and id <= ?2 and handle = ?3") {}
  RowCounter(Db &db, const std::string &group)
      : db_(db),
        handle_(0),
        sql_("select count(*) from rows where id > ?1 and id <= ?2 and attribute_group = '" +
             group + "'") {}
  int64_t Poll() {
    int64_t last = db_.Integer("select max(id) from rows", {}, lastId_);
    if (last > lastId_) {
      count_ += db_.Integer(sql_.c_str(), {lastId_, last, handle_}, 0);
      lastId_ = last;
    }
    return count_;
  }
  void Restart() {
    Poll();
    count_ = 0;
  }

 private:
  Db &db_;
  int64_t handle_;
  std::string sql_;
  int64_t lastId_ = 0;
  int64_t count_ = 0;
};

template <typename F>
bool WaitFor(F condition, std::chrono::milliseconds bound,
             std::chrono::milliseconds step = std::chrono::milliseconds(20)) {
  auto end = Clock::now() + bound;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(step);
  }
}

}  // namespace qdvp_bench
