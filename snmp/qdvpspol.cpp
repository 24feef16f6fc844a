// The poller of one cycle of a table: every agent's requests in flight at once (up to
// QDVP_SNMP_MAX_IN_FLIGHT agents with work under way), on non-blocking sockets, each request
// with its own deadline, so that a cycle of many agents of which some are dead takes about one
// answer wait, not one per dead agent.
//
// Each agent is walked as one agent alone always was, one request at a time: a scalar group is
// one get per attribute, a table a get-next for the next instance and then a get per attribute
// of that row. A version 2c agent is asked with fewer requests: one get for all the attributes
// of a row (up to 32 bindings; a get of many that the agent refuses, tooBig or any other
// status, turns it back to one binding a request) and a get-bulk of 10 instances at a time for
// the walk. Rows go to the polling task in each agent's own order; after every tenth row the
// agent's next request waits a second, as its breath.
//
// Matching: the agents are polled through one socket per local address that leads to them
// (bound to that address, never to all of them), found by connecting a probe socket to each
// agent. An answer is matched by its request identifier and must come from the agent's address
// and port; it is read whole, up to QDVP_SNMP_MAX_MESSAGE_SIZE (a longer one is refused whole,
// and when it answers the request out, the agent's work ends there: the agent cannot be read).
// A datagram from a polled agent that answers no request of it (an old identifier, a version
// or PDU that does not fit) is stale: it is dropped, and up to three of them per request give
// the agent the longer receive-only wait, but never take the place of the right answer, which
// is taken whenever it comes before the deadline. Datagrams are always read before deadlines
// are looked at, so a poller that was slow to run never calls an answered request late.
//
// A time-out, a send that fails or an error status other than noSuchName end the agent's work
// for the cycle (its row under way is dropped), as they always did.
#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_snmp.h"
#include "qdvpsnmp.h"

static TRK1_BLOCK trk = {"qdvpspol"};

namespace {

const size_t kBindingsPerGet = 32;  // a version 2c get of one row
const int kRepetitions = 10;        // instances of a version 2c get-bulk
const int kStaleWaits = 3;          // stale answers that lengthen one request's wait
const int kRowsPerBreath = 10;
const long kBreathMs = 1000;

long NowMs() { return static_cast<long>(QDV0_MonotonicMs()); }

int32_t NextRequestId() {
  static std::atomic<int32_t> id{0};
  int32_t next = ++id & 0x7fffffff;
  return next != 0 ? next : ++id & 0x7fffffff;
}

// True when the dotted instance a comes after b in OID order (arc by arc, numerically).
bool InstanceAfter(const std::string &a, const std::string &b) {
  const char *p = a.c_str(), *q = b.c_str();
  for (;;) {
    if (*q == '\0') return *p != '\0';
    if (*p == '\0') return false;
    char *pe, *qe;
    unsigned long x = strtoul(p + (*p == '.'), &pe, 10), y = strtoul(q + (*q == '.'), &qe, 10);
    if (x != y) return x > y;
    p = pe;
    q = qe;
  }
}

uint64_t Key(const sockaddr_in &a) {
  return (static_cast<uint64_t>(a.sin_addr.s_addr) << 16) | a.sin_port;
}

std::string Dotted(const sockaddr_in &a) {
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a.sin_addr, text, sizeof(text));
  return text;
}

// One agent's work in the cycle.
struct Work {
  enum Phase { Waiting, Next, Bulk, Fill, Breath, Room, Done };
  Phase phase = Waiting;
  Phase after = Waiting;  // what a breath or a wait for room goes on with
  int fd = -1;
  bool oneByOne = true;            // one binding a request (version 1, or a refused get of many)
  std::string instance;            // the row being filled
  std::vector<std::string> found;  // version 2c: instances of the last get-bulk, not filled yet
  bool walkEnded = false;
  std::vector<std::string> row;
  size_t fill = 0, asked = 0;
  int rows = 0;
  int32_t id = 0;  // the request out, 0: none
  long deadline = 0, readyAt = 0;
  int stale = 0;
  std::vector<unsigned char> message;
  bool unsent = false;  // the socket had no room: sent again at the next turn
};

class Poller {
 public:
  Poller(SNMPcycle *cycle, ProcessEntry *pe)
      : c_(cycle), pe_(pe), works_(cycle->Agents.size()), buffer_(QDVP_SNMPmaxMessageSize() + 1) {}
  ~Poller() {
    for (auto &s : sockets_) close(s.second);
    if (probe_ >= 0) close(probe_);
  }
  void Run();

 private:
  const SNMPpollAgent &Agent(size_t i) const { return c_->Agents[i]; }
  bool Ending() const { return c_->Stop.load() || QDVP_TaskShouldEnd(pe_); }
  int SocketFor(const sockaddr_in &agent);
  void Start(size_t i);
  void Issue(size_t i);
  void Send(size_t i);
  void Drain(int fd);
  void Datagram(int fd, size_t n, const sockaddr_in &from);
  void Answer(size_t i, size_t list, int status);
  void StartRow(size_t i);
  void RowDone(size_t i);
  void GoOn(size_t i, Work::Phase next);
  void End(size_t i);
  bool Room();
  void Push(SNMPpollItem &&item);

  SNMPcycle *c_;
  ProcessEntry *pe_;
  std::vector<Work> works_;
  std::vector<size_t> active_;  // agents with work under way
  std::unordered_map<int32_t, size_t> byId_;
  std::unordered_map<uint64_t, size_t> byAddress_;  // of the agents under way
  std::map<uint32_t, int> sockets_;                 // by local address
  int probe_ = -1;
  std::vector<unsigned char> buffer_;
  size_t length_ = 0;  // of the datagram in buffer_
  size_t next_ = 0;
};

int Poller::SocketFor(const sockaddr_in &agent) {
  if (probe_ < 0) probe_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  socklen_t n = sizeof(local);
  if (probe_ < 0 ||
      connect(probe_, reinterpret_cast<const sockaddr *>(&agent), sizeof(agent)) != 0 ||
      getsockname(probe_, reinterpret_cast<sockaddr *>(&local), &n) != 0) {
    return -1;
  }
  auto known = sockets_.find(local.sin_addr.s_addr);
  if (known != sockets_.end()) return known->second;
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  local.sin_port = 0;
  if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&local), sizeof(local)) != 0) {
    if (s >= 0) close(s);
    return -1;
  }
  // Room for the answers of every agent in flight while the poller is busy with others.
  int bytes = 4 << 20;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
  sockets_[local.sin_addr.s_addr] = s;
  return s;
}

bool Poller::Room() {
  OSV1_Guard lock(&c_->Lock);
  if (c_->Items.size() < c_->MaxQueued) return true;
  c_->Throttled = true;
  return false;
}

void Poller::Push(SNMPpollItem &&item) {
  OSV1_Guard lock(&c_->Lock);
  c_->Items.push_back(std::move(item));
  OSV1_WakeAll(&c_->Cond, &c_->Lock);
}

void Poller::Start(size_t i) {
  Work &w = works_[i];
  const SNMPpollAgent &a = Agent(i);
  active_.push_back(i);
  byAddress_[Key(a.Address)] = i;
  w.fd = SocketFor(a.Address);
  if (w.fd < 0) {
    QDVP_TRC(trk, TRK1_ERROR, "***** %s SNMP request transmission failed, errno %d", a.Host.c_str(),
             errno);
    End(i);
    return;
  }
  w.oneByOne = a.Version != QDVP_SNMP_V2C;
  if (c_->Scalar) {
    StartRow(i);
  } else {
    w.phase = a.Version == QDVP_SNMP_V2C ? Work::Bulk : Work::Next;
    Issue(i);
  }
}

void Poller::Issue(size_t i) {
  Work &w = works_[i];
  const SNMPpollAgent &a = Agent(i);
  std::vector<std::string> oids;
  int pdu = QDVP_SNMP_GET, repetitions = 0;
  if (w.phase == Work::Next || w.phase == Work::Bulk) {
    oids.push_back(c_->OIDs[0] + w.instance);
    if (w.phase == Work::Next) {
      pdu = QDVP_SNMP_GETNEXT;
    } else {
      pdu = QDVP_SNMP_GETBULK;
      repetitions = std::min(kRepetitions, c_->MaxRows - w.rows);
    }
  } else {
    w.asked = w.oneByOne ? 1 : std::min(kBindingsPerGet, c_->OIDs.size() - w.fill);
    for (size_t k = 0; k < w.asked; k++) oids.push_back(c_->OIDs[w.fill + k] + w.instance);
  }
  w.id = NextRequestId();
  if (!QDVP_SNMPbuildRequest(&w.message, a.Version, a.Community, pdu, w.id, oids, 0, repetitions)) {
    QDVP_TRC(trk, TRK1_ERROR, "*****%s: no OID in <%s>, agent's work ended", a.Host.c_str(),
             oids[0].c_str());
    w.id = 0;
    End(i);
    return;
  }
  byId_[w.id] = i;
  Send(i);
}

void Poller::Send(size_t i) {
  Work &w = works_[i];
  const SNMPpollAgent &a = Agent(i);
  ssize_t sent = sendto(w.fd, w.message.data(), w.message.size(), 0,
                        reinterpret_cast<const sockaddr *>(&a.Address), sizeof(a.Address));
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
    w.unsent = true;
    w.deadline = NowMs() + QDVP_SNMPagentWaitMs(*a.pWait, false);
    return;
  }
  w.unsent = false;
  QDVP_SNMPcountSent(a.pWait);
  if (sent < static_cast<ssize_t>(w.message.size())) {
    QDVP_TRC(trk, TRK1_ERROR, "*****sendto %s(%d) failed. rc %d errno %d",
             Dotted(a.Address).c_str(), ntohs(a.Address.sin_port), static_cast<int>(sent), errno);
    QDVP_TRC(trk, TRK1_ERROR, "***** %s SNMP request transmission failed", a.Host.c_str());
    End(i);
    return;
  }
  w.deadline = NowMs() + QDVP_SNMPagentWaitMs(*a.pWait, false);
  w.stale = 0;
}

void Poller::StartRow(size_t i) {
  Work &w = works_[i];
  w.row.assign(c_->OIDs.size(), std::string());
  w.fill = 0;
  w.phase = Work::Fill;
  Issue(i);
}

// The agent goes on with next: at once, after its breath, or once the queue has room.
void Poller::GoOn(size_t i, Work::Phase next) {
  Work &w = works_[i];
  if (w.rows % kRowsPerBreath == 0) {
    QDVP_TRC(trk, TRK1_DETAIL, "10 row pause");
    w.after = next;
    w.phase = Work::Breath;
    w.readyAt = NowMs() + kBreathMs;
    return;
  }
  if (!Room()) {
    w.after = next;
    w.phase = Work::Room;
    return;
  }
  if (next == Work::Fill) {
    w.instance = w.found.front();
    w.found.erase(w.found.begin());
    StartRow(i);
  } else {
    w.phase = next;
    Issue(i);
  }
}

void Poller::RowDone(size_t i) {
  Work &w = works_[i];
  SNMPpollItem item;
  item.Type = SNMPpollItem::Row;
  item.Agent = i;
  item.Instance = c_->Scalar ? std::string() : w.instance;
  item.Bindings = std::move(w.row);
  Push(std::move(item));
  w.rows++;
  if (c_->Scalar || w.rows >= c_->MaxRows) {
    End(i);
    return;
  }
  if (!w.found.empty()) {
    GoOn(i, Work::Fill);
  } else if (w.oneByOne && Agent(i).Version != QDVP_SNMP_V2C) {
    GoOn(i, Work::Next);
  } else if (w.walkEnded) {
    End(i);
  } else {
    GoOn(i, Work::Bulk);
  }
}

void Poller::End(size_t i) {
  Work &w = works_[i];
  if (w.id != 0) byId_.erase(w.id);
  w.id = 0;
  w.phase = Work::Done;
  byAddress_.erase(Key(Agent(i).Address));
  active_.erase(std::find(active_.begin(), active_.end(), i));
  SNMPpollItem item;
  item.Type = SNMPpollItem::AgentEnd;
  item.Agent = i;
  Push(std::move(item));
}

void Poller::Answer(size_t i, size_t list, int status) {
  Work &w = works_[i];
  const SNMPpollAgent &a = Agent(i);
  std::vector<SNMPbinding> bindings;
  if (status == 0 && !QDVP_SNMPreadBindings(buffer_.data(), length_, list, &bindings)) {
    QDVP_TRC(trk, TRK1_ERROR, "*****unexpected PDU response format - VarBind from %s",
             a.Host.c_str());
  }
  const std::string &first = c_->OIDs[0];
  if (w.phase == Work::Next || w.phase == Work::Bulk) {
    std::string last = w.instance;
    for (const SNMPbinding &b : bindings) {
      if (b.Tag == QDVP_SNMP_ENDOFMIBVIEW ||
          b.OID.compare(0, first.size() + 1, first + ".") != 0) {  // left the column
        w.walkEnded = true;
        break;
      }
      std::string after = b.OID.substr(first.size());
      if (!last.empty() && !InstanceAfter(after, last)) {
        // An agent that answers with an instance not after the one asked would walk forever.
        QDVP_TRC(trk, TRK1_ERROR, "*****%s returned instance %s after %s, table walk ended",
                 a.Host.c_str(), after.c_str(), last.c_str());
        w.walkEnded = true;
        break;
      }
      w.found.push_back(after);
      last = after;
      if (w.phase == Work::Next) break;
    }
    if (w.found.empty()) {
      if (w.rows == 0) QDVP_TRC(trk, TRK1_DETAIL, "Unable to retrieve current MIB instance");
      End(i);
      return;
    }
    w.instance = w.found.front();
    w.found.erase(w.found.begin());
    StartRow(i);
    return;
  }
  if (status != 0 && !w.oneByOne) {
    QDVP_TRC(trk, TRK1_DETAIL, "%s refused a get of %d bindings (status %d): one a request now",
             a.Host.c_str(), static_cast<int>(w.asked), status);
    w.oneByOne = true;
    Issue(i);
    return;
  }
  if (status != 0) {
    const char *name = c_->Names[w.fill].c_str();
    if (status >= 0 && status <= 5) {
      QDVP_TRC(trk, TRK1_ERROR, "*****SNMP response error status received - %s %s MIB attribute %s",
               SNMPerrorStatusText[status], a.Host.c_str(), name);
    } else {
      QDVP_TRC(trk, TRK1_ERROR, "*****SNMP response error status received - %s %d MIB attribute %s",
               a.Host.c_str(), status, name);
    }
    if (status != 2) {
      End(i);
      return;
    }
  }
  for (size_t k = 0; k < w.asked && k < bindings.size(); k++) {
    w.row[w.fill + k] = std::move(bindings[k].Bytes);
  }
  w.fill += w.asked;
  if (w.fill < c_->OIDs.size()) {
    Issue(i);
  } else {
    RowDone(i);
  }
}

void Poller::Datagram(int fd, size_t n, const sockaddr_in &from) {
  const unsigned char *m = buffer_.data();
  size_t limit = buffer_.size() - 1;
  int32_t id = 0;
  bool hasId = QDVP_SNMPpeekRequestID(m, std::min(n, limit), &id);
  auto asked = hasId ? byId_.find(id) : byId_.end();
  bool answers = asked != byId_.end() && works_[asked->second].fd == fd &&
                 Key(Agent(asked->second).Address) == Key(from);
  if (n > limit) {
    QDVP_TRC(trk, TRK1_ERROR,
             "*****SNMP answer of %d bytes from %s(%d) longer than QDVP_SNMP_MAX_MESSAGE_SIZE %d, "
             "refused",
             static_cast<int>(n), Dotted(from).c_str(), ntohs(from.sin_port),
             static_cast<int>(limit));
    if (answers) End(asked->second);  // its answer cannot be read: nothing more comes of it
    return;
  }
  length_ = n;
  if (answers) {
    size_t i = asked->second;
    const SNMPpollAgent &a = Agent(i);
    int status = 0;
    size_t list = QDVP_SNMPverifyResponsePDU(m, n, id, &status, nullptr, a.Version);
    if (list != 0 || status != 0) {
      byId_.erase(asked);
      works_[i].id = 0;
      QDVP_SNMPcountAnswer(a.pWait);
      Answer(i, list, status);
      return;
    }
  }
  auto polled = byAddress_.find(Key(from));
  if (polled == byAddress_.end()) {
    QDVP_TRC(trk, TRK1_DETAIL, "Unexpected agent response ignored");
    return;
  }
  QDVP_TRC(trk, TRK1_DETAIL, "Duplicate or out-of-sync PDU discarded");
  Work &w = works_[polled->second];
  if (w.id != 0 && w.stale++ < kStaleWaits) {
    w.deadline =
        std::max(w.deadline, NowMs() + QDVP_SNMPagentWaitMs(*Agent(polled->second).pWait, true));
  }
}

void Poller::Drain(int fd) {
  for (;;) {
    sockaddr_in from{};
    socklen_t length = sizeof(from);
    // MSG_TRUNC: the datagram's whole length, so that one longer than the bound is known.
    ssize_t n = recvfrom(fd, buffer_.data(), buffer_.size(), MSG_TRUNC | MSG_DONTWAIT,
                         reinterpret_cast<sockaddr *>(&from), &length);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        QDVP_TRC(trk, TRK1_ERROR, "*****recvfrom failed. rc %d errno %d %s", static_cast<int>(n),
                 errno, strerror(errno));
      }
      return;
    }
    Datagram(fd, static_cast<size_t>(n), from);
  }
}

void Poller::Run() {
  size_t count = c_->Agents.size();
  std::vector<pollfd> fds;
  while (!Ending()) {
    while (active_.size() < static_cast<size_t>(c_->MaxInFlight) && next_ < count && Room()) {
      Start(next_++);
    }
    if (active_.empty() && next_ >= count) break;
    long now = NowMs(), wait = 1000;
    bool roomWanted = false;
    for (size_t i : active_) {
      const Work &w = works_[i];
      if (w.unsent) wait = std::min(wait, 5L);
      if (w.id != 0) wait = std::min(wait, w.deadline - now);
      if (w.phase == Work::Breath) wait = std::min(wait, w.readyAt - now);
      if (w.phase == Work::Room) roomWanted = true;
    }
    fds.clear();
    for (auto &s : sockets_) fds.push_back({s.second, POLLIN, 0});
    fds.push_back({c_->WakeFd, POLLIN, 0});
    if (wait > 0) poll(fds.data(), fds.size(), static_cast<int>(wait));
    uint64_t wakes;
    while (read(c_->WakeFd, &wakes, sizeof(wakes)) > 0) {
    }
    // Every answer that came is read before any deadline is looked at.
    for (auto &s : sockets_) Drain(s.second);
    now = NowMs();
    bool room = roomWanted && Room();
    std::vector<size_t> turn = active_;
    for (size_t i : turn) {
      Work &w = works_[i];
      if (w.phase == Work::Done) continue;
      if (w.unsent) {
        Send(i);
      } else if (w.id != 0 && now >= w.deadline) {
        const SNMPpollAgent &a = Agent(i);
        QDVP_TRC(trk, TRK1_ERROR, "%s Agent request timed out", Dotted(a.Address).c_str());
        QDVP_SNMPcountTimeOut(a.pWait, a.Host.c_str());
        End(i);
      } else if (w.phase == Work::Breath && now >= w.readyAt) {
        w.phase = Work::Room;
        room = Room();
      }
      if (w.phase == Work::Room && room) {
        Work::Phase next = w.after;
        if (next == Work::Fill) {
          w.instance = w.found.front();
          w.found.erase(w.found.begin());
          StartRow(i);
        } else {
          w.phase = next;
          Issue(i);
        }
      }
    }
  }
}

void PollerTask(ProcessEntry *pe) {
  pe->ThreadID = OSV1_ThreadID();
  auto *cycle = static_cast<SNMPcycle *>(pe->pParm);
  {
    Poller poller(cycle, pe);
    poller.Run();
  }
  // The cycle's end is the last touch of the cycle: the polling task may free it from now on.
  SNMPpollItem end;
  end.Type = SNMPpollItem::CycleEnd;
  {
    OSV1_Guard lock(&cycle->Lock);
    cycle->Items.push_back(std::move(end));
    OSV1_WakeAll(&cycle->Cond, &cycle->Lock);
  }
  QDVP_EndTask(pe->pDPAB, pe);
}

}  // namespace

int QDVP_SNMPmaxInFlight() {
  static const int most = [] {
    int n = atoi(QDV0_GetEnv("QDVP_SNMP_MAX_IN_FLIGHT", "256"));
    return n > 0 ? n : 256;
  }();
  return most;
}

bool QDVP_SNMPstartPoller(DPAB *anchor, SNMPcycle *cycle) {
  return QDVP_CreateProcess(anchor, QDVP_COMMON_TASK, cycle, PollerTask, 0, nullptr) != 0;
}

bool QDVP_SNMPtakePollItem(SNMPcycle *cycle, SNMPpollItem *item, int waitMs) {
  bool wake = false;
  {
    OSV1_Guard lock(&cycle->Lock);
    if (cycle->Items.empty()) QDV0_ConditionTimedWaitMs(&cycle->Cond, &cycle->Lock, waitMs);
    if (cycle->Items.empty()) return false;
    *item = std::move(cycle->Items.front());
    cycle->Items.pop_front();
    if (cycle->Throttled && cycle->Items.size() <= cycle->MaxQueued / 2) {
      cycle->Throttled = false;
      wake = true;
    }
  }
  if (wake) {
    uint64_t one = 1;
    if (write(cycle->WakeFd, &one, sizeof(one)) < 0) {
      QDVP_TRC(trk, TRK1_ERROR, "*****SNMP poller wake-up failed, errno %d", errno);
    }
  }
  return true;
}

void QDVP_SNMPstopPoller(SNMPcycle *cycle) {
  if (cycle->Stop.exchange(true)) return;
  uint64_t one = 1;
  if (write(cycle->WakeFd, &one, sizeof(one)) < 0) {
    QDVP_TRC(trk, TRK1_ERROR, "*****SNMP poller wake-up failed, errno %d", errno);
  }
}
