// The metrics page: the statistics block's totals as Prometheus text, GET /metrics on
// QDVP_METRICS_PORT (no page unless it is set), bound to 127.0.0.1 unless QDVP_BIND_ADDRESS,
// so that the data provider can be watched by the tools operators already run.
//
// One task serves one request at a time and closes each connection after its answer; a client
// has 2 seconds to send its request line, so a client that says nothing holds the page up for
// no longer than that. Only the request line is looked at.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"
#include "../include/qdvp_stats.h"

static TRK1_BLOCK trk = {"qdvpmtrc"};

namespace {

void Metric(std::string *page, const char *name, const char *type, const char *help,
            unsigned long long value) {
  char line[256];
  snprintf(line, sizeof(line), "# HELP %s %s\n# TYPE %s %s\n%s %llu\n", name, help, name, type,
           name, value);
  *page += line;
}

}  // namespace

std::string QDVP_FormatMetricsPage(DPAB *anchor) {
  StatCounts c{};
  QDVP_SnapshotStatistics(&c);
  int tasks = 0;
  if (anchor != nullptr) {
    OSV1_Guard state(&anchor->StateMutex);
    tasks = anchor->ActiveTasks;
  }
  std::string page;
  Metric(&page, "qdvp_up", "gauge", "1 while the data provider runs.", 1);
  Metric(&page, "qdvp_files_opened_total", "counter", "Files opened for monitoring.",
         c.OpenedFiles);
  Metric(&page, "qdvp_file_records_total", "counter", "Records read from monitored files.",
         c.FileIO);
  Metric(&page, "qdvp_sockets_opened_total", "counter", "Partner sockets opened.",
         c.OpenedSockets);
  Metric(&page, "qdvp_socket_receives_total", "counter", "Receives from socket partners.",
         c.SocketIO);
  Metric(&page, "qdvp_api_calls_total", "counter", "Client API calls.", c.APIcalls);
  Metric(&page, "qdvp_posts_total", "counter", "Messages posted.", c.Posts);
  Metric(&page, "qdvp_agent_receives_total", "counter", "Answers received from the agent.",
         c.DCHio);
  Metric(&page, "qdvp_traps_total", "counter", "SNMP traps received.", c.Traps);
  Metric(&page, "qdvp_traps_emitted_total", "counter", "SNMP traps emitted for take actions.",
         c.TrapsEmitted);
  Metric(&page, "qdvp_tasks", "gauge", "Tasks running.",
         static_cast<unsigned long long>(tasks));
  return page;
}

namespace {

void Answer(DPAB *anchor, int s) {
  std::string request;
  char buffer[512];
  while (request.find('\n') == std::string::npos && request.size() < 2048) {
    struct pollfd p = {s, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1) return;
    ssize_t n = recv(s, buffer, sizeof(buffer), 0);
    if (n <= 0) return;
    request.append(buffer, static_cast<size_t>(n));
  }
  bool metrics = request.rfind("GET /metrics ", 0) == 0 || request.rfind("GET /metrics\r", 0) == 0;
  std::string body = metrics ? QDVP_FormatMetricsPage(anchor) : "not found\n";
  char head[160];
  snprintf(head, sizeof(head),
           "HTTP/1.0 %s\r\nContent-Type: text/plain; version=0.0.4\r\nContent-Length: %zu\r\n"
           "Connection: close\r\n\r\n",
           metrics ? "200 OK" : "404 Not Found", body.size());
  std::string answer = head + body;
  send(s, answer.data(), answer.size(), MSG_NOSIGNAL);
}

}  // namespace

void QDVP_MetricsServer(ProcessEntry *entry) {
  entry->ThreadID = OSV1_ThreadID();
  DPAB *anchor = entry->pDPAB;
  int port = atoi(QDV0_GetEnv("QDVP_METRICS_PORT", "0"));
  int listener = QDV0_OpenLocalSocket(2, htons(static_cast<uint16_t>(port)), nullptr, 1);
  if (listener < 0) {
    QDV0_ReportBindFailure("metrics", port, errno);
  } else if (listen(listener, 8) != 0) {
    QDV0_CloseTheSocket(listener);
    listener = -1;
  }
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Metrics page on port %d. Thread: %X", port,
           entry->ThreadID.load());
  while (!QDVP_TaskShouldEnd(entry)) {
    if (listener < 0) {
      QDVP_WaitTaskIO(entry, 0, nullptr, nullptr);
      continue;
    }
    // Looked at every second, so that the task sees that it is to end.
    struct pollfd p = {listener, POLLIN, 0};
    if (poll(&p, 1, 1000) != 1) continue;
    int s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (s < 0) continue;
    Answer(anchor, s);
    close(s);
  }
  QDV0_CloseTheSocket(listener);
  QDVP_EndTask(anchor, entry);
}
