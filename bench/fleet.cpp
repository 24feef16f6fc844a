// The fleet driver: SNMP polling of many simulated agents (some dead) and URL sampling of many
// pages (some on servers that never answer) through the real `qdvp` and `qdvp-dch`, and the
// same agents and URLs through the references a site would run instead: net-snmp's snmpget
// and, when installed, prometheus-snmp-exporter and prometheus-blackbox-exporter, started here
// as black boxes on private ports. Prints one line of key=value figures per run
// (bench/bench_fleet.sh takes the medians).
//
//   fleet snmp v1|v2c [AGENTS] [DEAD] [INTERVAL]
//       one SNMPSTARTGET of a scalar group of three variables at AGENTS agents (1000), every
//       tenth one dead up to DEAD (100), polled every INTERVAL seconds (10; from the end of a
//       cycle to the start of the next). cycle_s: the start of the second cycle less the start
//       of the first less the interval, i.e. how long the first cycle took, dead agents' waits
//       included; alive_s: the first cycle's first row to its last; cpu_us_per_row: the data
//       provider's CPU from the first cycle's last row to the second's, per row; peak RSS
//       (VmHWM) and the most threads seen.
//   fleet snmpget v1|v2c [CALLS]
//       snmpget of the same three variables at one simulated agent, CALLS times (200) one after
//       the other: wall and CPU time per call, the floor of one request by a separate program.
//   fleet snmp-exporter v1|v2c [AGENTS] [DEAD]
//       the same agents probed by prometheus-snmp-exporter (timeout 5 s, no retries), every
//       probe at once as Prometheus scrapes its targets; a warm-up round, then the measured one:
//       cycle_s (all probes answered), CPU per answered probe, peak RSS, threads.
//   fleet url [INTERVAL] [URLS] [HUNG] [SAMPLES]
//       URLS URLs (1000) at INTERVAL seconds (10), HUNG (10) of them on servers that accept
//       nothing, the rest pages of a private nginx; run until every page has SAMPLES (5) rows.
//       Lateness: for each two consecutive rows of a page, how much longer than the interval lay
//       between them (median, 99th percentile, largest); CPU per sample after the first round;
//       peak RSS, threads.
//   fleet blackbox [INTERVAL] [URLS] [HUNG] [ROUNDS]
//       the same URLs probed by prometheus-blackbox-exporter (timeout INTERVAL - 1 s), all at
//       once every INTERVAL seconds for ROUNDS (3) rounds: the probe time of the pages (median,
//       99th percentile), the time until a round's pages were all answered, CPU per probe,
//       peak RSS, threads.
//
// Every run starts its programs in a temporary directory of its own and removes it.
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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

const char kTable[] = "1.3.6.1.4.1.99999.1.1";
// The largest take action parameter the agent peer's data provider accepts.
const size_t kParameterLimit = 16384;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The threads of a process now.
int Threads(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Threads:", 0) == 0) return atoi(line.c_str() + 8);
  }
  return 0;
}

// The value at fraction (0.5: the median) of sorted values, 0 without any.
double At(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1))];
}

// Waits for a TCP port on loopback to accept a connection.
bool PortOpen(int port, std::chrono::milliseconds bound) {
  return WaitFor(
      [port] {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0;
        close(s);
        return ok;
      },
      bound, 50ms);
}

// The kinds of agents: every tenth one dead, up to dead of them.
std::vector<qdvp_test::SimulatedAgents::Kind> Kinds(int agents, int dead) {
  std::vector<qdvp_test::SimulatedAgents::Kind> kinds(static_cast<size_t>(agents),
                                                      qdvp_test::SimulatedAgents::Answers);
  for (int i = 0, n = 0; i < agents && n < dead; i += 10, n++) {
    kinds[static_cast<size_t>(i)] = qdvp_test::SimulatedAgents::Silent;
  }
  return kinds;
}

// GETs all urls (http://127.0.0.1:PORT/path) at once over HTTP/1.0 on non-blocking sockets,
// each bounded by timeoutMs; for each, the seconds it took and whether it was answered 200 with
// a body containing expect.
struct Probe {
  std::string url, body;
  double seconds = 0;
  bool ok = false;
};
std::vector<Probe> ProbeAll(const std::vector<std::string> &urls, long timeoutMs,
                            const std::string &expect) {
  std::vector<Probe> probes(urls.size());
  struct Connection {
    int fd = -1;
    std::string request;
    size_t sent = 0;
  };
  std::vector<Connection> connections(urls.size());
  auto start = Clock::now();
  auto finish = [&](size_t i) {
    Probe &p = probes[i];
    p.seconds = Seconds(Clock::now() - start);
    p.ok = p.body.compare(0, 9, "HTTP/1.1 ") == 0 || p.body.compare(0, 9, "HTTP/1.0 ") == 0;
    p.ok = p.ok && p.body.compare(9, 3, "200") == 0 && p.body.find(expect) != std::string::npos;
    close(connections[i].fd);
    connections[i].fd = -1;
  };
  for (size_t i = 0; i < urls.size(); i++) {
    probes[i].url = urls[i];
    const std::string prefix = "http://127.0.0.1:";
    size_t slash = urls[i].find('/', prefix.size());
    int port = atoi(urls[i].c_str() + prefix.size());
    std::string path = slash == std::string::npos ? "/" : urls[i].substr(slash);
    Connection &c = connections[i];
    c.request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(c.fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 && errno != EINPROGRESS) {
      finish(i);
    }
  }
  auto deadline = start + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<size_t> which;
    for (size_t i = 0; i < connections.size(); i++) {
      Connection &c = connections[i];
      if (c.fd < 0) continue;
      fds.push_back({c.fd, static_cast<short>(c.sent < c.request.size() ? POLLOUT : POLLIN), 0});
      which.push_back(i);
    }
    if (fds.empty()) break;
    if (Clock::now() >= deadline) {
      for (size_t i : which) finish(i);
      break;
    }
    if (poll(fds.data(), fds.size(), 100) <= 0) continue;
    for (size_t k = 0; k < fds.size(); k++) {
      if (fds[k].revents == 0) continue;
      size_t i = which[k];
      Connection &c = connections[i];
      if (c.sent < c.request.size()) {
        ssize_t n = send(c.fd, c.request.data() + c.sent, c.request.size() - c.sent, MSG_NOSIGNAL);
        if (n > 0)
          c.sent += static_cast<size_t>(n);
        else if (errno != EAGAIN)
          finish(i);
        continue;
      }
      char buffer[16384];
      ssize_t n = read(c.fd, buffer, sizeof(buffer));
      if (n > 0)
        probes[i].body.append(buffer, static_cast<size_t>(n));
      else if (n == 0 || errno != EAGAIN)
        finish(i);
    }
  }
  return probes;
}

// The peer and a data provider of one kind in a fresh directory.
struct World {
  qdvp_bench::TempDir dir;
  std::unique_ptr<qdvp_bench::Peer> peer;
  std::unique_ptr<qdvp_bench::Process> qdvp;
  int consoleBase = qdvp_bench::FreePort() - 5;

  std::string Start(const char *kind, std::map<std::string, std::string> env) {
    peer = std::make_unique<qdvp_bench::Peer>(
        dir.path, std::vector<std::string>{"--action-file", dir.path + "/actions.jsonl"});
    if (peer->port() == 0) return "qdvp-dch did not start";
    env.insert({{"QDVA_DCH_PORT", std::to_string(peer->port())},
                {"QDVP_DCH_HOST", "127.0.0.1"},
                {"QDVP_HOME", dir.path},
                {"QDVP_META_PATH", dir.path + "/metafiles"},
                {"QDVP_DPCONSOLE_PORT", std::to_string(consoleBase)},
                {"QDVP_TRACE", "0"}});
    qdvp = std::make_unique<qdvp_bench::Process>(
        std::vector<std::string>{qdvp_bench::BinDir() + "/qdvp", "start", kind}, env, dir.path,
        "qdvp");
    Db db(peer->db());
    bool up = WaitFor(
        [&] {
          return db.Integer("select count(*) from sources where attribute_group = 'DPLOG'", {}, 0) >
                     0 ||
                 !qdvp->Running();
        },
        60s);
    if (!up || !qdvp->Running()) return "the data provider did not come up";
    return "";
  }
};

// One line of figures.
void Print(const std::string &what, const std::vector<std::pair<std::string, double>> &figures) {
  printf("%s", what.c_str());
  for (const auto &[k, v] : figures) printf(" %s=%.6g", k.c_str(), v);
  printf("\n");
  fflush(stdout);
}

int Snmp(bool v2c, int agents, int dead, int interval) {
  qdvp_test::SimulatedAgents simulated(Kinds(agents, dead), 0, kTable);
  World w;
  if (w.dir.path.empty()) return 1;
  mkdir((w.dir.path + "/metafiles").c_str(), 0755);
  std::ofstream(w.dir.path + "/metafiles/fleet.mdl")
      << "//SNMP TEXT\n//APPL FleetMib enterprise 1.3.6.1.4.1.99999\n//NAME Sys P 300\n"
         "//ATTRIBUTES\nAgent_Info D 64 1.3.6.1.2.1.1.1\nAgent_Name D 64 1.3.6.1.2.1.1.5\n"
         "Descr D 128 1.3.6.1.2.1.1.1.0\nContact D 64 1.3.6.1.2.1.1.4.0\n"
         "Name D 64 1.3.6.1.2.1.1.5.0\n";
  // One line for the loopback address names the version of all the agents on it.
  std::ofstream(w.dir.path + "/qdvpcomm.cfg") << "127.0.0.1 public" << (v2c ? " v2c" : "") << "\n";
  std::string failed =
      w.Start("snmp", {{"QDVP_SNMP_NET_COMMUNITY", "public"},
                       {"QDVP_SNMP_CUSTOM_MIBGET_INTERVAL", std::to_string(interval)}});
  if (!failed.empty()) {
    fprintf(stderr, "fleet snmp: %s\n", failed.c_str());
    return 1;
  }
  std::string import = "QDVP_CONSOLE_KEY_FILE=" + w.dir.path + "/qdvpcons.key " +
                       qdvp_bench::BinDir() + "/qdvp console --port " +
                       std::to_string(w.consoleBase + 5) + " IMPORT fleet.mdl > /dev/null";
  if (system(import.c_str()) != 0) {
    fprintf(stderr, "fleet snmp: the MIB was not imported\n");
    return 1;
  }
  std::string parameter = "APPLNAME=FleetMib ATTRGROUP=Sys AGENTINFO=" + simulated.List();
  if (parameter.size() > kParameterLimit) {
    fprintf(stderr, "fleet snmp: the agent list (%zu bytes) does not fit one action\n",
            parameter.size());
    return 1;
  }
  Db db(w.peer->db());
  pid_t dp = w.qdvp->pid();
  int alive = agents - std::min(dead, (agents + 9) / 10);
  int threads = 0;
  int64_t rows = 0;
  auto count = [&] {
    threads = std::max(threads, Threads(dp));
    rows = db.Integer("select count(*) from rows where attribute_group = 'Sys'", {}, 0);
    return rows;
  };
  std::ofstream(w.dir.path + "/actions.jsonl")
      << "{\"id\":1,\"type\":3,\"node\":\"snmp\",\"name\":\"SNMPSTARTGET\",\"owner\":\"Fleet\","
         "\"parameter\":\""
      << parameter << "\"}\n";
  auto sent = Clock::now();
  bool ok = WaitFor([&] { return count() >= 1; }, 60s, 2ms);
  auto first = Clock::now();
  ok = ok && WaitFor([&] { return count() >= alive; }, 120s, 2ms);
  auto firstDone = Clock::now();
  double cpu1 = CpuSeconds(dp);
  ok = ok && WaitFor([&] { return count() > alive; }, std::chrono::seconds(120 + interval), 2ms);
  auto second = Clock::now();
  ok = ok && WaitFor([&] { return count() >= 2 * alive; }, 120s, 2ms);
  double cpu2 = CpuSeconds(dp);
  Print("what=snmp-qdvp", {{"v2c", v2c},
                           {"agents", agents},
                           {"dead", agents - alive},
                           {"ok", ok},
                           {"start_s", Seconds(first - sent)},
                           {"alive_s", Seconds(firstDone - first)},
                           {"cycle_s", Seconds(second - first) - interval},
                           {"cpu_us_per_row", (cpu2 - cpu1) * 1e6 / alive},
                           {"peak_rss_MiB", PeakRssKiB(dp) / 1024.0},
                           {"threads", threads},
                           {"rows", static_cast<double>(rows)}});
  w.qdvp->Stop(30s);
  return ok ? 0 : 1;
}

int SnmpGet(bool v2c, int calls) {
  qdvp_test::SimulatedAgents simulated(1, 0, kTable);
  std::string command = std::string("snmpget -v ") + (v2c ? "2c" : "1") +
                        " -c public -r 0 -t 5 -On -Oq " + simulated.Address(0) +
                        " 1.3.6.1.2.1.1.1.0 1.3.6.1.2.1.1.4.0 1.3.6.1.2.1.1.5.0 > /dev/null";
  rusage before, after;
  getrusage(RUSAGE_CHILDREN, &before);
  auto start = Clock::now();
  int failed = 0;
  for (int i = 0; i < calls; i++) failed += system(command.c_str()) != 0;
  double wall = Seconds(Clock::now() - start);
  getrusage(RUSAGE_CHILDREN, &after);
  auto cpu = [](const rusage &u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  Print("what=snmpget", {{"v2c", v2c},
                         {"calls", calls},
                         {"failed", failed},
                         {"ms_per_call", wall * 1e3 / calls},
                         {"cpu_ms_per_call", (cpu(after) - cpu(before)) * 1e3 / calls}});
  return failed == 0 ? 0 : 1;
}

int SnmpExporter(bool v2c, int agents, int dead) {
  const char *program = "/usr/bin/prometheus-snmp-exporter";
  if (access(program, X_OK) != 0) {
    fprintf(stderr, "fleet: %s is not installed\n", program);
    return 2;
  }
  qdvp_test::SimulatedAgents simulated(Kinds(agents, dead), 0, kTable);
  qdvp_bench::TempDir dir;
  std::ofstream(dir.path + "/snmp.yml")
      << "fleet:\n  version: " << (v2c ? 2 : 1)
      << "\n  auth:\n    community: public\n  timeout: 5s\n  retries: 0\n"
         "  get:\n  - 1.3.6.1.2.1.1.1.0\n  - 1.3.6.1.2.1.1.4.0\n  - 1.3.6.1.2.1.1.5.0\n"
         "  metrics:\n"
         "  - {name: sysDescr, oid: 1.3.6.1.2.1.1.1, type: DisplayString, help: descr}\n"
         "  - {name: sysContact, oid: 1.3.6.1.2.1.1.4, type: DisplayString, help: contact}\n"
         "  - {name: sysName, oid: 1.3.6.1.2.1.1.5, type: DisplayString, help: name}\n";
  int port = qdvp_bench::FreePort();
  qdvp_bench::Process exporter({program, "--config.file=" + dir.path + "/snmp.yml",
                                "--web.listen-address=127.0.0.1:" + std::to_string(port)},
                               {}, dir.path, "snmp-exporter");
  if (!PortOpen(port, 20s)) {
    fprintf(stderr, "fleet: the snmp exporter did not come up (%s/snmp-exporter.err)\n",
            dir.path.c_str());
    return 1;
  }
  std::vector<std::string> urls;
  for (int i = 0; i < agents; i++) {
    urls.push_back("http://127.0.0.1:" + std::to_string(port) +
                   "/snmp?module=fleet&target=" + simulated.Address(static_cast<size_t>(i)));
  }
  int threads = 0;
  std::vector<Probe> probes;
  double cpu = 0, cycle = 0;
  for (int round = 0; round < 2; round++) {
    std::thread watch;
    bool done = false;
    watch = std::thread([&] {
      while (!done) {
        threads = std::max(threads, Threads(exporter.pid()));
        std::this_thread::sleep_for(20ms);
      }
    });
    double before = CpuSeconds(exporter.pid());
    auto start = Clock::now();
    probes = ProbeAll(urls, 30000, "sysDescr{");
    cycle = Seconds(Clock::now() - start);
    cpu = CpuSeconds(exporter.pid()) - before;
    done = true;
    watch.join();
  }
  int answered = 0;
  for (const Probe &p : probes) answered += p.ok;
  Print("what=snmp-exporter", {{"v2c", v2c},
                               {"agents", agents},
                               {"dead", dead},
                               {"answered", answered},
                               {"cycle_s", cycle},
                               {"cpu_us_per_row", answered > 0 ? cpu * 1e6 / answered : 0},
                               {"peak_rss_MiB", PeakRssKiB(exporter.pid()) / 1024.0},
                               {"threads", threads}});
  exporter.Stop(10s);
  return answered > 0 ? 0 : 1;
}

// A private nginx serving pages /pN.html (a title, 2 KB), with connections enough for all.
class Web {
 public:
  explicit Web(int pages) {
    std::string d = dir_.path;
    mkdir((d + "/www").c_str(), 0755);
    for (int i = 0; i < pages; i++) {
      std::ofstream(d + "/www/p" + std::to_string(i) + ".html")
          << "<html><head><title>Page " << i << "</title></head><body>" << std::string(2000, ' ')
          << "</body></html>";
    }
    port_ = qdvp_bench::FreePort();
    std::string c = "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    c += "pid " + d + "/nginx.pid;\nerror_log " + d + "/error.log;\n";
    c += "events { worker_connections 8192; }\nhttp {\n  access_log off;\n";
    for (const char *kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
      c += "  " + std::string(kind) + "_temp_path " + d + "/" + kind + "_temp;\n";
    }
    c += "  types { text/html html; }\n  server {\n    listen 127.0.0.1:" + std::to_string(port_) +
         " backlog=4096;\n    root " + d + "/www;\n  }\n}\n";
    std::ofstream(d + "/nginx.conf") << c;
    nginx_ = std::make_unique<qdvp_bench::Process>(
        std::vector<std::string>{"/usr/sbin/nginx", "-p", d, "-c", d + "/nginx.conf"},
        std::map<std::string, std::string>{}, d, "nginx");
    up_ = PortOpen(port_, 10s);
  }
  ~Web() { nginx_->Stop(10s); }
  bool Up() const { return up_; }
  std::string Url(int i) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/p" + std::to_string(i) + ".html";
  }
  std::string Prefix() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  qdvp_bench::TempDir dir_;
  int port_ = 0;
  bool up_ = false;
  std::unique_ptr<qdvp_bench::Process> nginx_;
};

// Servers that take connections into their backlog and never accept nor answer.
class Hung {
 public:
  explicit Hung(int count) {
    for (int i = 0; i < count; i++) {
      sockaddr_in a;
      int s = qdvp_bench::BoundLoopbackSocket(&a);
      listen(s, 4096);
      sockets_.push_back(s);
      ports_.push_back(ntohs(a.sin_port));
    }
  }
  ~Hung() {
    for (int s : sockets_) close(s);
  }
  std::string Url(int i) const {
    return "http://127.0.0.1:" + std::to_string(ports_[static_cast<size_t>(i)]) + "/";
  }

 private:
  std::vector<int> sockets_, ports_;
};

// The URLs in order: a hung one every URLS/HUNG, pages elsewhere.
std::vector<std::string> FleetURLs(const Web &web, const Hung &hung, int urls, int hungCount) {
  std::vector<std::string> list;
  int step = hungCount > 0 ? urls / hungCount : urls + 1, h = 0, p = 0;
  for (int i = 0; i < urls; i++) {
    list.push_back(i % step == step / 2 && h < hungCount ? hung.Url(h++) : web.Url(p++));
  }
  return list;
}

int Url(int interval, int urls, int hungCount, int samples) {
  Web web(urls - hungCount);
  Hung hung(hungCount);
  if (!web.Up()) {
    fprintf(stderr, "fleet url: nginx did not come up\n");
    return 1;
  }
  World w;
  {
    std::ofstream config(w.dir.path + "/qdvpurls.cfg");
    for (const std::string &u : FleetURLs(web, hung, urls, hungCount)) {
      config << u << " INTERVAL=" << interval << " USER=fleet\n";
    }
  }
  std::string failed = w.Start("http", {{"QDVP_URL_MIN_SAMPLE_INTERVAL", "1"}});
  if (!failed.empty()) {
    fprintf(stderr, "fleet url: %s\n", failed.c_str());
    return 1;
  }
  Db db(w.peer->db());
  pid_t dp = w.qdvp->pid();
  int pages = urls - hungCount;
  std::string good = "attribute_group = 'Managed_URL' and json_extract(attrs, '$.URL') like '" +
                     web.Prefix() + "%'";
  std::string fewest = "select case when count(*) < " + std::to_string(pages) +
                       " then 0 else min(n) end from (select count(*) n from rows where " + good +
                       " group by json_extract(attrs, '$.URL'))";
  std::string all = "select count(*) from rows where " + good;
  int threads = 0;
  auto least = [&] {
    threads = std::max(threads, Threads(dp));
    return db.Integer(fewest.c_str(), {}, 0);
  };
  bool ok = WaitFor([&] { return least() >= 1; }, std::chrono::seconds(60 + 4 * interval), 200ms);
  double cpu1 = CpuSeconds(dp);
  int64_t rows1 = db.Integer(all.c_str(), {}, 0);
  ok = ok && WaitFor([&] { return least() >= samples; },
                     std::chrono::seconds(60 + 3 * interval * samples), 200ms);
  double cpu2 = CpuSeconds(dp);
  int64_t rows2 = db.Integer(all.c_str(), {}, 0);
  // The lateness of each two consecutive rows of a page.
  std::string gaps =
      "with g as (select julianday(received_at) * 86400000.0 - lag(julianday(received_at) * "
      "86400000.0) over (partition by json_extract(attrs, '$.URL') order by id) - " +
      std::to_string(interval * 1000) + " as late from rows where " + good + ") ";
  int64_t pairs =
      db.Integer((gaps + "select count(*) from g where late is not null").c_str(), {}, 0);
  auto late = [&](double fraction) {
    std::string at = gaps +
                     "select cast(late as integer) from g where late is not null order "
                     "by late limit 1 offset ?";
    return static_cast<double>(db.Integer(
               at.c_str(), {static_cast<int64_t>(fraction * static_cast<double>(pairs - 1))}, 0)) /
           1000.0;
  };
  Print("what=url-qdvp",
        {{"interval", interval},
         {"urls", urls},
         {"hung", hungCount},
         {"ok", ok},
         {"pairs", static_cast<double>(pairs)},
         {"late_s_median", late(0.5)},
         {"late_s_p99", late(0.99)},
         {"late_s_max", late(1.0)},
         {"cpu_us_per_sample", rows2 > rows1 ? (cpu2 - cpu1) * 1e6 / (rows2 - rows1) : 0},
         {"peak_rss_MiB", PeakRssKiB(dp) / 1024.0},
         {"threads", threads}});
  w.qdvp->Stop(60s);
  return ok ? 0 : 1;
}

int Blackbox(int interval, int urls, int hungCount, int rounds) {
  const char *program = "/usr/bin/prometheus-blackbox-exporter";
  if (access(program, X_OK) != 0) {
    fprintf(stderr, "fleet: %s is not installed\n", program);
    return 2;
  }
  Web web(urls - hungCount);
  Hung hung(hungCount);
  if (!web.Up()) {
    fprintf(stderr, "fleet blackbox: nginx did not come up\n");
    return 1;
  }
  qdvp_bench::TempDir dir;
  std::ofstream(dir.path + "/blackbox.yml")
      << "modules:\n  page:\n    prober: http\n    timeout: " << interval - 1
      << "s\n    http:\n      preferred_ip_protocol: ip4\n";
  int port = qdvp_bench::FreePort();
  qdvp_bench::Process exporter({program, "--config.file=" + dir.path + "/blackbox.yml",
                                "--web.listen-address=127.0.0.1:" + std::to_string(port)},
                               {}, dir.path, "blackbox");
  if (!PortOpen(port, 20s)) {
    fprintf(stderr, "fleet: the blackbox exporter did not come up (%s/blackbox.err)\n",
            dir.path.c_str());
    return 1;
  }
  std::vector<std::string> probeUrls;
  std::vector<bool> isPage;
  for (const std::string &u : FleetURLs(web, hung, urls, hungCount)) {
    probeUrls.push_back("http://127.0.0.1:" + std::to_string(port) +
                        "/probe?module=page&target=" + u);
    isPage.push_back(u.rfind(web.Prefix(), 0) == 0);
  }
  int threads = 0, answered = 0, probed = 0;
  std::vector<double> times, roundTimes;
  double cpu = 0;
  for (int round = 0; round < rounds; round++) {
    auto start = Clock::now();
    bool done = false;
    std::thread watch([&] {
      while (!done) {
        threads = std::max(threads, Threads(exporter.pid()));
        std::this_thread::sleep_for(20ms);
      }
    });
    double before = CpuSeconds(exporter.pid());
    std::vector<Probe> probes = ProbeAll(probeUrls, interval * 1000L + 5000, "probe_success 1");
    cpu += CpuSeconds(exporter.pid()) - before;
    done = true;
    watch.join();
    double last = 0;
    for (size_t i = 0; i < probes.size(); i++) {
      probed++;
      if (!isPage[i]) continue;
      answered += probes[i].ok;
      times.push_back(probes[i].seconds);
      last = std::max(last, probes[i].seconds);
    }
    roundTimes.push_back(last);
    std::this_thread::sleep_until(start + std::chrono::seconds(interval));
  }
  Print("what=url-blackbox", {{"interval", interval},
                              {"urls", urls},
                              {"hung", hungCount},
                              {"answered", answered},
                              {"probe_s_median", At(times, 0.5)},
                              {"probe_s_p99", At(times, 0.99)},
                              {"round_s", At(roundTimes, 0.5)},
                              {"cpu_us_per_sample", cpu * 1e6 / probed},
                              {"peak_rss_MiB", PeakRssKiB(exporter.pid()) / 1024.0},
                              {"threads", threads}});
  exporter.Stop(10s);
  return answered > 0 ? 0 : 1;
}

int Arg(int argc, char **argv, int i, int fallback) { return argc > i ? atoi(argv[i]) : fallback; }

}  // namespace

int main(int argc, char **argv) {
  // A thousand agents' sockets and as many connections in flight.
  rlimit files;
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  signal(SIGPIPE, SIG_IGN);
  std::string mode = argc > 1 ? argv[1] : "";
  bool v2c = argc > 2 && std::string(argv[2]) == "v2c";
  if (mode == "snmp") {
    return Snmp(v2c, Arg(argc, argv, 3, 1000), Arg(argc, argv, 4, 100), Arg(argc, argv, 5, 10));
  }
  if (mode == "snmpget") return SnmpGet(v2c, Arg(argc, argv, 3, 200));
  if (mode == "snmp-exporter") {
    return SnmpExporter(v2c, Arg(argc, argv, 3, 1000), Arg(argc, argv, 4, 100));
  }
  if (mode == "url") {
    return Url(Arg(argc, argv, 2, 10), Arg(argc, argv, 3, 1000), Arg(argc, argv, 4, 10),
               Arg(argc, argv, 5, 5));
  }
  if (mode == "blackbox") {
    return Blackbox(Arg(argc, argv, 2, 10), Arg(argc, argv, 3, 1000), Arg(argc, argv, 4, 10),
                    Arg(argc, argv, 5, 3));
  }
  fprintf(stderr,
          "usage: fleet snmp v1|v2c [AGENTS] [DEAD] [INTERVAL] | snmpget v1|v2c [CALLS] |\n"
          "       snmp-exporter v1|v2c [AGENTS] [DEAD] | url [INTERVAL] [URLS] [HUNG] [SAMPLES] |\n"
          "       blackbox [INTERVAL] [URLS] [HUNG] [ROUNDS]\n");
  return 2;
}
