// The metrics page: what an operator alerts on, as Prometheus text at /metrics on
// QDVP_METRICS_PORT (no page unless it is set), bound to 127.0.0.1 unless QDVP_BIND_ADDRESS.
// The statistics block's totals (records, receives, posts, traps), the agent link's rows sent,
// resent and refused, its state (connected, over UDP) and reconnects, and qdvp_up. The page is
// served from the start, before the agent has answered anything, so that a data provider that
// waits for its agent can be watched: qdvp_up is 0 and qdvp_agent_connected 0 then.
//
// One task serves one request at a time and closes each connection after its answer; a client
// has 2 seconds to send its request line, so a client that says nothing holds the page up for
// no longer than that. Only the request line is looked at: GET and HEAD of /metrics, with or
// without a query string (which is ignored).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"
#include "../include/qdvp_stats.h"

static TRK1_BLOCK trk = {"qdvpmtrc"};

namespace {

std::atomic<uint64_t> g_rows[3];
std::atomic<uint64_t> g_connections{0};
std::atomic<int> g_connected{0}, g_udp{0}, g_up{0};

void Metric(std::string *page, const char *name, const char *type, const char *help,
            unsigned long long value) {
  char line[256];
  snprintf(line, sizeof(line), "# HELP %s %s\n# TYPE %s %s\n%s %llu\n", name, help, name, type,
           name, value);
  *page += line;
}

}  // namespace

void QDVP_CountLinkRows(int what, int rows) {
  if (what >= 0 && what < 3 && rows > 0) g_rows[what] += static_cast<uint64_t>(rows);
}

void QDVP_SetLinkState(int connected, int udp) {
  g_connected = connected ? 1 : 0;
  g_udp = udp ? 1 : 0;
}

void QDVP_CountLinkConnection(void) { g_connections++; }

void QDVP_SnapshotLinkCounts(LinkCounts *copy) {
  copy->RowsSent = g_rows[QDVP_LINK_ROWS_SENT];
  copy->RowsResent = g_rows[QDVP_LINK_ROWS_RESENT];
  copy->RowsRefused = g_rows[QDVP_LINK_ROWS_REFUSED];
  uint64_t connections = g_connections;
  copy->Reconnects = connections > 0 ? connections - 1 : 0;
  copy->Connected = g_connected;
  copy->UDP = g_udp;
}

void QDVP_MarkDataProviderUp(int up) { g_up = up ? 1 : 0; }

std::string QDVP_FormatMetricsPage(DPAB *anchor) {
  StatCounts c{};
  QDVP_SnapshotStatistics(&c);
  LinkCounts link{};
  QDVP_SnapshotLinkCounts(&link);
  int tasks = 0;
  bool ending = true;
  if (anchor != nullptr) {
    OSV1_Guard state(&anchor->StateMutex);
    tasks = anchor->ActiveTasks;
    ending = anchor->ShutdownRequested.load() != 0;
  }
  std::string page;
  Metric(&page, "qdvp_up", "gauge",
         "1 while the data provider takes work: from the end of its start to its shutdown.",
         g_up.load() && !ending ? 1 : 0);
  Metric(&page, "qdvp_agent_connected", "gauge",
         "1 while the agent link is up (a TCP connection, or UDP with the agent answering).",
         static_cast<unsigned long long>(link.Connected));
  Metric(&page, "qdvp_agent_udp", "gauge", "1 while the agent link runs over UDP.",
         static_cast<unsigned long long>(link.UDP));
  Metric(&page, "qdvp_agent_reconnects_total", "counter",
         "Connections to the agent made after the first.", link.Reconnects);
  Metric(&page, "qdvp_rows_sent_total", "counter", "Data rows sent to the agent.", link.RowsSent);
  Metric(&page, "qdvp_rows_resent_total", "counter",
         "Data rows sent to the agent again (a lost connection, a failed row before them).",
         link.RowsResent);
  Metric(&page, "qdvp_rows_refused_total", "counter",
         "Data rows the agent refused (a status other than 0 that is not a request to resend).",
         link.RowsRefused);
  Metric(&page, "qdvp_files_opened_total", "counter", "Files opened for monitoring.",
         c.OpenedFiles);
  Metric(&page, "qdvp_file_records_total", "counter", "Records read from monitored files.",
         c.FileIO);
  Metric(&page, "qdvp_sockets_opened_total", "counter", "Partner sockets opened.", c.OpenedSockets);
  Metric(&page, "qdvp_socket_receives_total", "counter", "Receives from socket partners.",
         c.SocketIO);
  Metric(&page, "qdvp_api_calls_total", "counter", "Client API calls.", c.APIcalls);
  Metric(&page, "qdvp_posts_total", "counter", "Messages posted.", c.Posts);
  Metric(&page, "qdvp_agent_receives_total", "counter", "Answers received from the agent.",
         c.DCHio);
  Metric(&page, "qdvp_traps_total", "counter", "SNMP traps received.", c.Traps);
  Metric(&page, "qdvp_traps_emitted_total", "counter", "SNMP traps emitted for take actions.",
         c.TrapsEmitted);
  Metric(&page, "qdvp_tasks", "gauge", "Tasks running.", static_cast<unsigned long long>(tasks));
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
  // The method, and the path up to its query string.
  size_t blank = request.find(' ');
  std::string method = request.substr(0, blank);
  size_t end = blank == std::string::npos ? blank : request.find_first_of(" ?\r\n", blank + 1);
  std::string path = blank == std::string::npos ? "" : request.substr(blank + 1, end - blank - 1);
  bool head = method == "HEAD";
  bool metrics = (method == "GET" || head) && path == "/metrics";
  std::string body = metrics ? QDVP_FormatMetricsPage(anchor) : "not found\n";
  char header[160];
  snprintf(header, sizeof(header),
           "HTTP/1.0 %s\r\nContent-Type: text/plain; version=0.0.4\r\nContent-Length: %zu\r\n"
           "Connection: close\r\n\r\n",
           metrics ? "200 OK" : "404 Not Found", body.size());
  std::string answer = header + (head ? std::string() : body);
  send(s, answer.data(), answer.size(), MSG_NOSIGNAL);
}

}  // namespace

void QDVP_MetricsServer(ProcessEntry *entry) {
  entry->ThreadID = OSV1_ThreadID();
  QDVP_MarkDataProviderUp(0);  // this data provider's start has not ended yet
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
