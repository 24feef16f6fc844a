// The network side of the agent peer: one epoll loop over the TCP listener, its connections,
// the UDP socket and a self-pipe for signals.
//
// A data provider reaches the agent over TCP when it can and over UDP otherwise, on the same
// port number: over UDP it sends each message (in pieces when long) as datagrams from its own
// socket and expects the replies by sendto to the address they came from. Each sender address
// is therefore treated like a connection of its own, with its own reassembly.
#include "tools/dch/dchnet.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "include/qdvp_agentlink.h"
#include "include/qdvp_wire.h"
#include "tools/dch/dchframe.h"

namespace qdvp_dch {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

volatile sig_atomic_t g_signal = 0;
int g_signalPipe[2] = {-1, -1};

void OnSignal(int sig) {
  int saved = errno;
  g_signal = sig;
  if (g_signalPipe[1] >= 0) {
    char c = 1;
    ssize_t ignored = write(g_signalPipe[1], &c, 1);
    (void)ignored;
  }
  errno = saved;
}

// Replies not read by a connection beyond this are a sign of a peer that does not read.
constexpr size_t kMaxUnsent = 8 * 1024 * 1024;
// A UDP sender silent this long is forgotten.
constexpr milliseconds kUdpSenderIdle(10 * 60 * 1000);
constexpr milliseconds kActionPoll(100);
// The data provider receives into 4096-byte buffers and puts a message together from several
// receives; a datagram longer than its buffer would be cut, so longer messages go out in
// datagrams of this size.
constexpr size_t kDatagramPiece = 4096;
// Longest time a line of the message log waits in the buffer.
constexpr milliseconds kLogFlush(50);

struct Pending {
  Clock::time_point due;
  DchSend send;
};

// An endpoint's replies in the order they go out: a vector taken from its head, so that a
// reply queued and sent allocates nothing once the vector has grown (a deque gives back and
// takes a block every few replies).
class PendingQueue {
 public:
  bool empty() const { return head_ == items_.size(); }
  Pending &front() { return items_[head_]; }
  const Pending &front() const { return items_[head_]; }
  Pending &back() { return items_.back(); }
  void push_back(Pending p) { items_.push_back(std::move(p)); }
  void pop_front() {
    if (++head_ == items_.size()) {
      items_.clear();
      head_ = 0;
    } else if (head_ >= 64 && head_ * 2 >= items_.size()) {
      // Replies kept waiting behind a delayed one: the sent ones before them go.
      items_.erase(items_.begin(), items_.begin() + static_cast<long>(head_));
      head_ = 0;
    }
  }
  std::vector<Pending>::iterator begin() { return items_.begin() + static_cast<long>(head_); }
  std::vector<Pending>::iterator end() { return items_.end(); }

 private:
  std::vector<Pending> items_;
  size_t head_ = 0;
};

// A TCP connection or a UDP sender.
struct Endpoint {
  DchPeer peer;
  DchReassembler reassembler{QDVP_WIRE_MAX_MESSAGE};
  PendingQueue pending;
  std::optional<Clock::time_point> partialSince;
  Clock::time_point lastSeen;
  int fd = -1;          // TCP only
  uint32_t events = 0;  // what epoll watches for on fd (0: not in its set)
  std::string out;
  bool closing = false;
  bool dead = false;
  sockaddr_storage address{};  // UDP only
  socklen_t addressLength = 0;
};

std::string AddressText(const sockaddr *address, socklen_t length) {
  char host[NI_MAXHOST] = "?", port[NI_MAXSERV] = "?";
  getnameinfo(address, length, host, sizeof host, port, sizeof port,
              NI_NUMERICHOST | NI_NUMERICSERV);
  bool v6 = address->sa_family == AF_INET6;
  return (v6 ? "[" : "") + std::string(host) + (v6 ? "]:" : ":") + port;
}

class Loop {
 public:
  Loop(const DchServerOptions &options, DchAgent *agent, DchStore *store, DchJsonl *log)
      : options_(options),
        agent_(agent),
        store_(store),
        log_(log),
        actionFile_(options.actionFile) {}
  ~Loop();
  int Listen();
  void Serve();
  void Stop();

 private:
  void Accept();
  bool EvictIdle();
  void Watch(int fd, uint32_t events, void *tag);
  void Interest(Endpoint &ep);
  void SetReading(bool reading);
  void Due(Clock::time_point t) { due_ = std::min(due_, t); }
  int WaitMs() const;
  void AfterRound();
  void ReadConnection(Endpoint &ep);
  void ReadDatagrams();
  void Feed(Endpoint &ep, const unsigned char *bytes, size_t n);
  void Schedule(Endpoint &ep, std::vector<DchSend> &sends);
  void Release(Endpoint &ep, Clock::time_point now);
  void CommitHeld();
  void Settle(uint64_t transaction, bool committed, std::vector<DchSend> *unscheduled);
  void FlushOut(Endpoint &ep);
  void Drop(Endpoint &ep, const std::string &why);
  void Close(Endpoint &ep, const char *event);
  void PollActions();
  void OfferActions();
  void Housekeeping(Clock::time_point now);
  std::vector<const DchPeer *> Peers() const;

  DchServerOptions options_;
  DchAgent *agent_;
  DchStore *store_;
  DchJsonl *log_;
  DchActionFile actionFile_;
  int tcp_ = -1, udp_ = -1, port_ = 0;
  int epoll_ = -1;
  // What epoll's events point at for the sockets that are not connections.
  char signalTag_ = 0, tcpTag_ = 0, udpTag_ = 0;
  // Whether requests are read (not while the database is away), and what the UDP socket is
  // watched for.
  bool reading_ = false;
  uint32_t udpEvents_ = 0;
  // The round's time, read once when epoll returns, and the earliest time timed work is due
  // (Housekeeping runs then; max: nothing is, and the loop sleeps until a socket wakes it).
  Clock::time_point now_;
  Clock::time_point due_ = Clock::time_point::max();
  // A connection was closed this round: the list drops it once the round's events are handled.
  bool reap_ = false;
  // The sends of the message being read, kept from one read to the next.
  std::vector<DchSend> sends_;
  std::vector<std::unique_ptr<Endpoint>> connections_;
  std::map<std::string, std::unique_ptr<Endpoint>> senders_;
  std::optional<Clock::time_point> transactionSince_;
  // The rows stored by the turns committed so far, and the turns that stored rows.
  uint64_t rowsCommitted_ = 0;
  int64_t rowTurns_ = 0;
  Clock::time_point nextActionPoll_;
  Clock::time_point lastFlush_;
};

Loop::~Loop() {
  for (auto &c : connections_) {
    if (c->fd >= 0) close(c->fd);
  }
  if (tcp_ >= 0) close(tcp_);
  if (udp_ >= 0) close(udp_);
  if (epoll_ >= 0) close(epoll_);
}

// Binds the TCP listener and the UDP socket to the same port. With port 0 the TCP listener
// picks an ephemeral port and the UDP socket follows it; when that UDP port is taken, both are
// tried again on another.
int Loop::Listen() {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
  hints.ai_family = AF_UNSPEC;
  addrinfo *found = nullptr;
  int rc = getaddrinfo(options_.listen.c_str(), nullptr, &hints, &found);
  if (rc != 0 || !found) {
    fprintf(stderr, "qdvp-dch: bad listen address %s: %s\n", options_.listen.c_str(),
            gai_strerror(rc));
    return 2;
  }
  sockaddr_storage address{};
  socklen_t length = found->ai_addrlen;
  memcpy(&address, found->ai_addr, length);
  int family = found->ai_family;
  freeaddrinfo(found);
  auto setPort = [&](int port) {
    if (family == AF_INET6) {
      reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port = htons(static_cast<uint16_t>(port));
    } else {
      reinterpret_cast<sockaddr_in *>(&address)->sin_port = htons(static_cast<uint16_t>(port));
    }
  };
  auto *sa = reinterpret_cast<sockaddr *>(&address);
  for (int attempt = 0; attempt < 20; attempt++) {
    int port = options_.port;
    setPort(port);
    if (!options_.udpOnly) {
      tcp_ = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      int one = 1;
      setsockopt(tcp_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      if (tcp_ < 0 || bind(tcp_, sa, length) != 0 || listen(tcp_, 128) != 0) {
        fprintf(stderr, "qdvp-dch: cannot listen on TCP %s port %d: %s\n", options_.listen.c_str(),
                port, strerror(errno));
        return 2;
      }
      sockaddr_storage bound{};
      socklen_t boundLength = sizeof bound;
      getsockname(tcp_, reinterpret_cast<sockaddr *>(&bound), &boundLength);
      port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                                      : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
      setPort(port);
    }
    udp_ = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (udp_ >= 0 && bind(udp_, sa, length) == 0) {
      sockaddr_storage bound{};
      socklen_t boundLength = sizeof bound;
      getsockname(udp_, reinterpret_cast<sockaddr *>(&bound), &boundLength);
      port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                                       : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
      int size = 4 * 1024 * 1024;
      setsockopt(udp_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
      return 0;
    }
    int error = errno;
    if (udp_ >= 0) close(udp_);
    udp_ = -1;
    if (options_.port != 0 || options_.udpOnly) {
      fprintf(stderr, "qdvp-dch: cannot bind UDP %s port %d: %s\n", options_.listen.c_str(), port,
              strerror(error));
      return 2;
    }
    close(tcp_);
    tcp_ = -1;
  }
  fprintf(stderr, "qdvp-dch: found no port free for both TCP and UDP\n");
  return 2;
}

std::vector<const DchPeer *> Loop::Peers() const {
  std::vector<const DchPeer *> peers;
  for (const auto &c : connections_) {
    if (!c->dead) peers.push_back(&c->peer);
  }
  for (const auto &[key, s] : senders_) peers.push_back(&s->peer);
  return peers;
}

void Loop::Close(Endpoint &ep, const char *event) {
  if (ep.dead) return;
  ep.dead = true;
  if (ep.fd >= 0) close(ep.fd);  // which takes it out of epoll's set as well
  ep.fd = -1;
  ep.events = 0;
  reap_ = true;
  agent_->LogEvent(ep.peer, event, std::string());
}

void Loop::Watch(int fd, uint32_t events, void *tag) {
  epoll_event event{};
  event.events = events;
  event.data.ptr = tag;
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
    fprintf(stderr, "qdvp-dch: epoll_ctl failed: %s\n", strerror(errno));
  }
}

// Brings what epoll watches on a connection in line with what it needs: its requests while
// they are read, and room to send only while replies wait to go out. Nothing is watched on a
// connection that is neither read nor written to: a hang-up is reported whatever is asked, and
// would wake every round.
void Loop::Interest(Endpoint &ep) {
  if (ep.dead || ep.fd < 0) return;
  uint32_t wanted =
      (reading_ ? uint32_t{EPOLLIN} : 0u) | (ep.out.empty() ? 0u : uint32_t{EPOLLOUT});
  if (wanted == ep.events) return;
  epoll_event event{};
  event.events = wanted;
  event.data.ptr = &ep;
  int op = ep.events == 0 ? EPOLL_CTL_ADD : wanted == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
  if (epoll_ctl(epoll_, op, ep.fd, &event) != 0) {
    fprintf(stderr, "qdvp-dch: %s: epoll_ctl failed: %s\n", ep.peer.label.c_str(), strerror(errno));
    return;
  }
  ep.events = wanted;
}

// While the database is away no request is read: the data providers wait for their replies
// (and over UDP the datagrams wait in the socket's buffer).
void Loop::SetReading(bool reading) {
  reading_ = reading;
  if (udp_ >= 0 && reading != (udpEvents_ != 0)) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = &udpTag_;
    if (epoll_ctl(epoll_, reading ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, udp_, &event) == 0) {
      udpEvents_ = reading ? uint32_t{EPOLLIN} : 0u;
    }
  }
  for (auto &c : connections_) Interest(*c);
}

void Loop::Drop(Endpoint &ep, const std::string &why) {
  fprintf(stderr, "qdvp-dch: %s: dropped: %s\n", ep.peer.label.c_str(), why.c_str());
  agent_->LogEvent(ep.peer, "dropped", why);
  if (ep.peer.stream) {
    Close(ep, "closed");
  } else {
    ep.reassembler.Clear();
    ep.partialSince.reset();
  }
}

// Makes room for a new connection when every slot is taken: the connection silent longest
// is closed when it has been silent for the idle limit. Connections that stay open without
// a word cannot keep a data provider out for longer than that. A data provider's connection
// (one that has registered or carried sources) is never the one closed while an anonymous
// connection is open: only when every slot serves a data provider does the one silent longest
// among them give way. Returns true when a slot was freed.
bool Loop::EvictIdle() {
  Endpoint *oldest = nullptr, *oldestAnonymous = nullptr;
  int open = 0;
  for (auto &c : connections_) {
    if (c->dead) continue;
    open++;
    if (!oldest || c->lastSeen < oldest->lastSeen) oldest = c.get();
    if (!c->peer.hasSources && (!oldestAnonymous || c->lastSeen < oldestAnonymous->lastSeen)) {
      oldestAnonymous = c.get();
    }
  }
  if (open < options_.maxConnections) return true;  // a closed one is about to be removed
  Endpoint *chosen = oldestAnonymous ? oldestAnonymous : oldest;
  Clock::time_point now = now_;
  if (!chosen || now - chosen->lastSeen < milliseconds(options_.idleLimitMs)) return false;
  fprintf(stderr, "qdvp-dch: %s: closed, silent for %lld ms and its slot is needed\n",
          chosen->peer.label.c_str(),
          static_cast<long long>(
              std::chrono::duration_cast<milliseconds>(now - chosen->lastSeen).count()));
  // Removed from the list at the end of the round: its events may still name it.
  Close(*chosen, "closed");
  return true;
}

void Loop::Accept() {
  for (;;) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    int fd = accept4(tcp_, reinterpret_cast<sockaddr *>(&address), &length,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
        fprintf(stderr, "qdvp-dch: accept failed: %s\n", strerror(errno));
      }
      return;
    }
    std::string label = "tcp " + AddressText(reinterpret_cast<sockaddr *>(&address), length);
    if (static_cast<int>(connections_.size()) >= options_.maxConnections && !EvictIdle()) {
      fprintf(stderr, "qdvp-dch: %s: refused, %zu connections open\n", label.c_str(),
              connections_.size());
      close(fd);
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto ep = std::make_unique<Endpoint>();
    ep->fd = fd;
    ep->peer.label = label;
    ep->peer.stream = true;
    ep->lastSeen = now_;
    fprintf(stderr, "qdvp-dch: %s: connected\n", label.c_str());
    agent_->LogEvent(ep->peer, "connected", std::string());
    Interest(*ep);
    connections_.push_back(std::move(ep));
  }
}

void Loop::Feed(Endpoint &ep, const unsigned char *bytes, size_t n) {
  std::string problem;
  std::vector<DchSend> &sends = sends_;
  sends.clear();
  int status = ep.reassembler.Feed(
      bytes, n,
      [&](const unsigned char *message, size_t length) {
        agent_->OnMessage(&ep.peer, message, length, &sends);
        if (uint64_t lost = store_->TakeLost()) Settle(lost, false, &sends);
        bool closing =
            std::any_of(sends.begin(), sends.end(), [](const DchSend &s) { return s.closeAfter; });
        return !closing;
      },
      &problem);
  if (status == kFrameStopped) {
    // Only a connection closing after --drop-after stops: nothing after that row is read.
    ep.reassembler.Clear();
    ep.closing = true;
  }
  Schedule(ep, sends);
  if (agent_->HasQueuedActions()) {
    agent_->TakeActions(&ep.peer, Peers(), &sends);
    if (uint64_t lost = store_->TakeLost()) Settle(lost, false, &sends);
    Schedule(ep, sends);
  }
  if (status == kFrameBadLength) {
    Drop(ep, problem);
    return;
  }
  if (!ep.reassembler.Partial()) {
    ep.partialSince.reset();
  } else if (!ep.partialSince) {
    ep.partialSince = now_;
    Due(now_ + milliseconds(options_.partialTimeoutMs));
  }
}

void Loop::ReadConnection(Endpoint &ep) {
  unsigned char buffer[65536];
  ssize_t n = recv(ep.fd, buffer, sizeof buffer, 0);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    fprintf(stderr, "qdvp-dch: %s: receive failed: %s\n", ep.peer.label.c_str(), strerror(errno));
    Close(ep, "closed");
    return;
  }
  if (n == 0) {
    if (ep.reassembler.Partial()) {
      fprintf(stderr, "qdvp-dch: %s: closed with %zu bytes of an incomplete message\n",
              ep.peer.label.c_str(), ep.reassembler.Buffered());
    } else {
      fprintf(stderr, "qdvp-dch: %s: closed by peer\n", ep.peer.label.c_str());
    }
    Close(ep, "closed");
    return;
  }
  ep.lastSeen = now_;
  if (ep.closing) return;  // closing after --drop-after: what follows is not read
  Feed(ep, buffer, static_cast<size_t>(n));
}

void Loop::ReadDatagrams() {
  unsigned char buffer[65536];
  for (int i = 0; i < 64; i++) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ssize_t n =
        recvfrom(udp_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&address), &length);
    if (n < 0) return;
    std::string key = AddressText(reinterpret_cast<sockaddr *>(&address), length);
    auto it = senders_.find(key);
    if (it == senders_.end()) {
      if (static_cast<int>(senders_.size()) >= options_.maxConnections) {
        // Forget the sender heard from least recently.
        auto oldest = std::min_element(senders_.begin(), senders_.end(), [](auto &a, auto &b) {
          return a.second->lastSeen < b.second->lastSeen;
        });
        fprintf(stderr, "qdvp-dch: %s: forgotten, %zu UDP senders known\n",
                oldest->second->peer.label.c_str(), senders_.size());
        senders_.erase(oldest);
      }
      auto ep = std::make_unique<Endpoint>();
      ep->peer.label = "udp " + key;
      ep->peer.stream = false;
      ep->address = address;
      ep->addressLength = length;
      agent_->LogEvent(ep->peer, "new_sender", std::string());
      it = senders_.emplace(key, std::move(ep)).first;
    }
    it->second->lastSeen = now_;
    Feed(*it->second, buffer, static_cast<size_t>(n));
  }
}

// Queues sends behind those already waiting, so that a delayed reply keeps its place.
void Loop::Schedule(Endpoint &ep, std::vector<DchSend> &sends) {
  Clock::time_point now = now_;
  for (auto &s : sends) {
    Clock::time_point due = now + milliseconds(s.delayMs);
    if (!ep.pending.empty()) due = std::max(due, ep.pending.back().due);
    ep.pending.push_back({due, std::move(s)});
  }
  sends.clear();
  Release(ep, now);
}

// Sends, in order, what has come due and is no longer held for its commit.
void Loop::Release(Endpoint &ep, Clock::time_point now) {
  while (!ep.dead && !ep.pending.empty() && ep.pending.front().due <= now &&
         ep.pending.front().send.transaction == 0) {
    DchSend p = std::move(ep.pending.front().send);
    ep.pending.pop_front();
    if (ep.peer.stream) {
      ep.out += p.bytes;
      if (p.closeAfter) ep.closing = true;
    } else if (!p.bytes.empty()) {
      for (size_t at = 0; at < p.bytes.size(); at += kDatagramPiece) {
        size_t piece = std::min(kDatagramPiece, p.bytes.size() - at);
        if (sendto(udp_, p.bytes.data() + at, piece, 0, reinterpret_cast<sockaddr *>(&ep.address),
                   ep.addressLength) < 0) {
          fprintf(stderr, "qdvp-dch: %s: send failed: %s\n", ep.peer.label.c_str(),
                  strerror(errno));
          break;
        }
      }
    }
  }
  // A reply that waits for its time (--delay) has the loop wake then.
  if (!ep.dead && !ep.pending.empty() && ep.pending.front().send.transaction == 0) {
    Due(ep.pending.front().due);
  }
  if (ep.peer.stream) FlushOut(ep);
}

// A transaction has ended: what was held for it goes out, as it was when it was committed,
// and as "send again" for every status reply when it was lost (the data provider then sends
// those requests again, and nothing it was told is stored is missing). unscheduled holds the
// sends of the message being read, not yet queued to their endpoint.
void Loop::Settle(uint64_t transaction, bool committed, std::vector<DchSend> *unscheduled) {
  auto settle = [&](DchSend &send) {
    if (send.transaction != transaction) return;
    send.transaction = 0;
    if (committed || !send.statusReply) return;
    unsigned char message[QDVP_AGENTLINK_STATUS_REPLY_MAX];
    size_t n = QDVP_AgentLinkBuildStatusReply(message, sizeof message, QDVP_DCH_STATUS_SEND_AGAIN,
                                              nullptr);
    send.bytes.assign(reinterpret_cast<const char *>(message), n);
  };
  if (unscheduled) {
    for (auto &send : *unscheduled) settle(send);
  }
  Clock::time_point now = now_;
  auto settleAll = [&](Endpoint &ep) {
    for (auto &p : ep.pending) settle(p.send);
    Release(ep, now);
  };
  for (auto &c : connections_) settleAll(*c);
  for (auto &[key, sender] : senders_) settleAll(*sender);
}

// Commits the open transaction, then sends the replies that waited for it.
void Loop::CommitHeld() {
  transactionSince_.reset();
  if (!store_->InTransaction()) return;
  uint64_t rows = agent_->Stats().rows;
  if (rows > rowsCommitted_) {
    rowsCommitted_ = rows;
    if (++rowTurns_ == options_.crashBeforeCommit) {
      fprintf(stderr, "qdvp-dch: --crash-before-commit: killed before the commit of turn %lld\n",
              static_cast<long long>(rowTurns_));
      fflush(stderr);
      raise(SIGKILL);
    }
  }
  uint64_t transaction = store_->Transaction();
  int rc = store_->Commit();
  bool committed = rc == 0;
  store_->TakeLost();  // settled here
  if (rc == kCommitUnknown) {
    // Held until the store learns whether it committed (Housekeeping).
    fprintf(stderr,
            "qdvp-dch: connection lost during a commit, its replies wait for the "
            "database\n");
    return;
  }
  if (!committed) {
    fprintf(stderr, "qdvp-dch: commit failed, its requests answered send again: %s\n",
            store_->LastError().c_str());
  }
  Settle(transaction, committed, nullptr);
}

void Loop::FlushOut(Endpoint &ep) {
  while (!ep.dead && !ep.out.empty()) {
    ssize_t n = send(ep.fd, ep.out.data(), ep.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
      fprintf(stderr, "qdvp-dch: %s: send failed: %s\n", ep.peer.label.c_str(), strerror(errno));
      Close(ep, "closed");
      return;
    }
    ep.out.erase(0, static_cast<size_t>(n));
  }
  if (ep.dead) return;
  Interest(ep);
  if (ep.out.size() > kMaxUnsent) {
    Drop(ep, "does not read its replies");
  } else if (ep.closing && ep.out.empty() && ep.pending.empty()) {
    fprintf(stderr, "qdvp-dch: %s: closed after %lld data rows (--drop-after)\n",
            ep.peer.label.c_str(), static_cast<long long>(ep.peer.dataRows));
    Close(ep, "closed");
  }
}

void Loop::PollActions() {
  std::vector<std::string> lines;
  actionFile_.Poll(&lines);
  for (const auto &line : lines) {
    if (line.find_first_not_of(" \t\r") == std::string::npos || line[0] == '#') continue;
    DchAction action;
    std::string error;
    if (!DchParseAction(line, agent_->NextActionId(), &action, &error)) {
      fprintf(stderr, "qdvp-dch: %s: action ignored: %s\n", options_.actionFile.c_str(),
              error.c_str());
      continue;
    }
    agent_->QueueAction(std::move(action));
  }
  if (!lines.empty()) OfferActions();
}

void Loop::OfferActions() {
  if (!agent_->HasQueuedActions()) return;
  std::vector<const DchPeer *> peers = Peers();
  std::vector<DchSend> sends;
  for (auto &c : connections_) {
    if (c->dead) continue;
    agent_->TakeActions(&c->peer, peers, &sends);
    Schedule(*c, sends);
  }
  for (auto &[key, s] : senders_) {
    agent_->TakeActions(&s->peer, peers, &sends);
    Schedule(*s, sends);
  }
}

// The timed work of the loop, run when the earliest of it is due (due_), never every round:
// sends what has come due, drops messages that stayed incomplete too long, forgets silent UDP
// senders, looks at the action file, reconnects the store, commits the batch and flushes the
// message log when their time has come; then sets due_ to when the next of these is.
void Loop::Housekeeping(Clock::time_point now) {
  due_ = Clock::time_point::max();
  milliseconds partialLimit(options_.partialTimeoutMs);
  auto timed = [&](Endpoint &ep) {
    Release(ep, now);  // and due_ learns of a reply still waiting for its time
    if (!ep.dead && ep.partialSince) {
      if (now - *ep.partialSince >= partialLimit) {
        std::string why =
            "message incomplete for " + std::to_string(options_.partialTimeoutMs) + " ms";
        if (ep.peer.stream) why += " (" + std::to_string(ep.reassembler.Buffered()) + " bytes)";
        Drop(ep, why);
      } else {
        Due(*ep.partialSince + partialLimit);
      }
    }
  };
  for (auto &c : connections_) timed(*c);
  for (auto it = senders_.begin(); it != senders_.end();) {
    Endpoint &s = *it->second;
    timed(s);
    if (s.pending.empty() && now - s.lastSeen >= kUdpSenderIdle) {
      it = senders_.erase(it);
    } else {
      ++it;
    }
  }
  // A sender is forgotten within a second of its time.
  if (!senders_.empty()) Due(now + milliseconds(1000));
  if (!options_.actionFile.empty()) {
    if (now >= nextActionPoll_) {
      PollActions();
      nextActionPoll_ = now + kActionPoll;
    }
    Due(nextActionPoll_);
  }
  if (!store_->Available()) {
    // The database is away: requests are not read until it is back; a commit whose outcome
    // was unknown is answered as it turned out.
    store_->Maintain(now);
    auto [transaction, committed] = store_->TakeResolved();
    if (transaction) {
      fprintf(stderr, "qdvp-dch: the commit whose answer was lost %s\n",
              committed ? "had committed: its replies go out" : "had not: answered send again");
      Settle(transaction, committed, nullptr);
    }
  }
  if (store_->InTransaction()) {
    if (!transactionSince_) transactionSince_ = now;
    if (now - *transactionSince_ >= milliseconds(options_.commitMs)) CommitHeld();
  } else {
    transactionSince_.reset();
  }
  if (log_->Pending() && now - lastFlush_ >= kLogFlush) {
    log_->Flush();
    lastFlush_ = now;
  }
  AfterRound();
}

// What a round (of reads, or of timed work) leaves for later: the commit it left open when
// commits wait (--commit-ms), the store's next attempt to connect, the message log's flush;
// and the connections it closed leave the list.
void Loop::AfterRound() {
  if (store_->InTransaction()) {
    if (!transactionSince_) transactionSince_ = now_;
    Due(*transactionSince_ + milliseconds(options_.commitMs));
  }
  if (!store_->Available()) Due(store_->NextAttempt());
  if (log_->Pending()) Due(lastFlush_ + kLogFlush);
  if (reap_) {
    reap_ = false;
    connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                      [](const auto &c) { return c->dead; }),
                       connections_.end());
  }
}

// Milliseconds until due_ (rounded up, so that the loop wakes when it has come), or -1 (no
// timer) when nothing timed is waiting.
int Loop::WaitMs() const {
  if (due_ == Clock::time_point::max()) return -1;
  auto ms = std::chrono::ceil<milliseconds>(due_ - now_).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
}

void Loop::Serve() {
  const char *kind = options_.udpOnly ? "udp" : "tcp+udp";
  bool v6 = options_.listen.find(':') != std::string::npos;
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) {
    fprintf(stderr, "qdvp-dch: epoll_create1 failed: %s\n", strerror(errno));
    return;
  }
  fprintf(stderr, "qdvp-dch listening on %s%s%s:%d (%s)\n", v6 ? "[" : "", options_.listen.c_str(),
          v6 ? "]" : "", port_, kind);
  fflush(stderr);
  if (!options_.readyFile.empty()) {
    std::string temporary = options_.readyFile + ".tmp";
    FILE *f = fopen(temporary.c_str(), "we");
    if (f) {
      fprintf(f, "%d\n", port_);
      fclose(f);
      rename(temporary.c_str(), options_.readyFile.c_str());
    } else {
      fprintf(stderr, "qdvp-dch: cannot write %s: %s\n", options_.readyFile.c_str(),
              strerror(errno));
    }
  }
  // The set epoll watches persists from round to round: a connection is added when accepted
  // and changed only when what it waits for changes (Interest).
  Watch(g_signalPipe[0], EPOLLIN, &signalTag_);
  if (tcp_ >= 0) Watch(tcp_, EPOLLIN, &tcpTag_);
  now_ = Clock::now();
  SetReading(store_->Available());
  Due(now_);
  constexpr int kEvents = 64;
  epoll_event events[kEvents];
  while (!g_signal) {
    if (reading_ != store_->Available()) SetReading(!reading_);
    if (now_ >= due_) Housekeeping(now_);
    int ready = epoll_wait(epoll_, events, kEvents, WaitMs());
    now_ = Clock::now();
    if (ready < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "qdvp-dch: epoll_wait failed: %s\n", strerror(errno));
      break;
    }
    if (ready == 0) continue;
    // The rows of one round are stamped with the time it began.
    agent_->SetRoundTime(DchNowMs());
    for (int i = 0; i < ready; i++) {
      void *tag = events[i].data.ptr;
      uint32_t got = events[i].events;
      if (tag == &signalTag_) continue;  // the loop ends at its test of g_signal
      if (tag == &tcpTag_) {
        Accept();
        continue;
      }
      if (tag == &udpTag_) {
        if (reading_) ReadDatagrams();
        continue;
      }
      Endpoint *ep = static_cast<Endpoint *>(tag);
      if (ep->dead) continue;  // closed earlier in this round
      // A hang-up or an error while replies wait: the send says which, and closes.
      if ((got & (EPOLLOUT | EPOLLHUP | EPOLLERR)) && !ep->out.empty()) FlushOut(*ep);
      if (!ep->dead && reading_ && (got & (EPOLLIN | EPOLLHUP | EPOLLERR))) ReadConnection(*ep);
    }
    // Everything this round of reads stored is committed together, then answered.
    if (options_.commitMs <= 0) CommitHeld();
    agent_->SetRoundTime(0);
    AfterRound();
  }
}

void Loop::Stop() {
  if (g_signal) fprintf(stderr, "qdvp-dch: signal %d, stopping\n", static_cast<int>(g_signal));
  CommitHeld();
  for (auto &c : connections_) {
    FlushOut(*c);
    Close(*c, "closed");
  }
}

}  // namespace

int DchServer::Run() {
  if (pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
    fprintf(stderr, "qdvp-dch: pipe failed: %s\n", strerror(errno));
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  int status;
  {
    Loop loop(options_, agent_, store_, log_);
    status = loop.Listen();
    if (status == 0) {
      loop.Serve();
      loop.Stop();
    }
  }
  int rc = store_->Close();
  if (rc != 0) {
    fprintf(stderr, "qdvp-dch: final commit failed: %s\n", store_->LastError().c_str());
    if (status == 0) status = 1;
  }
  log_->Close();
  const DchAgentStats &stats = agent_->Stats();
  if (status == 0) {
    fprintf(stderr,
            "qdvp-dch stopped: %llu messages, %llu rows, %llu replies, %llu actions, %llu "
            "ignored\n",
            static_cast<unsigned long long>(stats.messages),
            static_cast<unsigned long long>(stats.rows),
            static_cast<unsigned long long>(stats.replies),
            static_cast<unsigned long long>(stats.actions),
            static_cast<unsigned long long>(stats.badMessages));
  }
  close(g_signalPipe[0]);
  close(g_signalPipe[1]);
  g_signalPipe[0] = g_signalPipe[1] = -1;
  return status;
}

}  // namespace qdvp_dch
