// The name resolver: host names of partner addresses without a lookup on the caller's thread.
//
// A reverse lookup may take seconds (a resolver that does not answer), and the servers that
// need names are single select loops: one sender whose address resolves slowly would stop every
// other. So callers only read a bounded cache; an address it does not know is queued to a few
// resolver threads and the caller goes on with the dotted address text. The cache holds at most
// QDV0_NAME_CACHE_ENTRIES addresses (the least recently used goes first); an answer is kept
// QDV0_NAME_TTL seconds (QDV0_NO_NAME_TTL for an address without a name) and, once old, is still
// given while it is looked up again. At most QDV0_NAME_QUEUE lookups wait; an address that finds
// the queue full is not queued and is tried again at its next sighting.
//
// A caller that binds a partner may wait a little (QDV0_NAME_WAIT_MS) for the answer, but only
// when the resolver is idle: a wait can therefore only happen once per lookup in progress, and
// a flood of new addresses, each slow to resolve, costs the loop at most one such wait for each
// slow lookup, never one per sender.
//
// Why no answer is lost: a waiter tests its entry under sLock and waits on sDone with it; the
// resolver thread stores the answer under sLock and wakes every waiter (OSV1_WakeAll) before it
// lets go. The lock is a leaf: nothing else is taken while it is held (no trace, no storage).
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "qdv0.h"
#include "trk1.h"

static TRK1_BLOCK trk = {"qdv0rslv"};

namespace {

struct NameEntry {
  std::string name;       // the host name when named, else empty
  bool named = false;     // an answer with a name was stored
  bool answered = false;  // some answer (name or none) was stored
  bool pending = false;   // queued or being looked up
  time_t expires = 0;     // when the answer is old
  uint64_t lastUse = 0;   // for the choice of the entry that makes room
};

// The resolver's state, made once and never freed: its threads live as long as the process.
struct Resolver {
  OSV1_LOCK lock = OSV1_LOCK_INITIALIZER;
  OSV1_COND work;  // a lookup was queued
  OSV1_COND done;  // an answer was stored
  std::unordered_map<uint32_t, NameEntry> cache QDVP_GUARDED_BY(lock);
  std::deque<uint32_t> queue QDVP_GUARDED_BY(lock);
  int running QDVP_GUARDED_BY(lock) = 0;          // lookups in progress
  int threads QDVP_GUARDED_BY(lock) = 0;          // resolver threads started
  uint64_t uses QDVP_GUARDED_BY(lock) = 0;        // use counter for lastUse
  uint64_t generation QDVP_GUARDED_BY(lock) = 0;  // answers of an older one are dropped
  long lookups QDVP_GUARDED_BY(lock) = 0;
  long dropped QDVP_GUARDED_BY(lock) = 0;
};

Resolver &R() {
  static Resolver *r = new Resolver();
  return *r;
}

std::atomic<QDV0_NAME_LOOKUP> sLookup{nullptr};

// QDVP_TEST_SLOW_LOOKUP=FIRST[-LAST]:MS[,...]: lookups of those addresses take MS milliseconds
// and find no name (a resolver that does not answer, for the end-to-end tests).
struct SlowRange {
  uint32_t first = 1, last = 0;
  long ms = 0;
};

SlowRange ReadSlowRange(const std::string &value) {
  SlowRange range;
  size_t colon = value.rfind(':');
  if (colon == std::string::npos) return range;
  std::string addresses = value.substr(0, colon);
  size_t dash = addresses.find('-');
  std::string from = addresses.substr(0, dash);
  std::string to = dash == std::string::npos ? from : addresses.substr(dash + 1);
  struct in_addr a, b;
  if (inet_pton(AF_INET, from.c_str(), &a) != 1 || inet_pton(AF_INET, to.c_str(), &b) != 1) {
    return range;
  }
  long ms = strtol(value.c_str() + colon + 1, nullptr, 10);
  if (ms <= 0) return range;
  range.first = ntohl(a.s_addr);
  range.last = ntohl(b.s_addr);
  range.ms = ms > 60000 ? 60000 : ms;
  return range;
}

std::vector<SlowRange> ReadSlowRanges() {
  std::vector<SlowRange> ranges;
  const char *text = QDV0_GetEnv("QDVP_TEST_SLOW_LOOKUP", nullptr);
  std::string value = text != nullptr ? text : "";
  for (size_t at = 0; at < value.size() && ranges.size() < 16;) {
    size_t comma = value.find(',', at);
    SlowRange range =
        ReadSlowRange(value.substr(at, comma == std::string::npos ? comma : comma - at));
    if (range.ms > 0) ranges.push_back(range);
    at = comma == std::string::npos ? value.size() : comma + 1;
  }
  return ranges;
}

// The time a lookup of host (host byte order) is made to take, 0 for none.
long SlowLookupMs(uint32_t host) {
  static const std::vector<SlowRange> ranges = ReadSlowRanges();
  for (const SlowRange &r : ranges) {
    if (host >= r.first && host <= r.last) return r.ms;
  }
  return 0;
}

void CopyOut(const char *text, char *name, size_t size) { snprintf(name, size, "%s", text); }

bool Dotted(uint32_t key, char *name, size_t size) {
  struct in_addr a;
  a.s_addr = key;
  char text[INET_ADDRSTRLEN];
  if (inet_ntop(AF_INET, &a, text, sizeof(text)) == nullptr) return false;
  CopyOut(text, name, size);
  return true;
}

// Room for one more entry: an expired one goes, else the least recently used that is not being
// looked up (lookups in progress are far fewer than the entries).
void MakeRoom(Resolver &r) QDVP_REQUIRES(r.lock) {
  if (r.cache.size() < QDV0_NAME_CACHE_ENTRIES) return;
  time_t now = QDV0_Time();
  auto victim = r.cache.end();
  for (auto it = r.cache.begin(); it != r.cache.end(); ++it) {
    if (it->second.pending) continue;
    if (it->second.expires <= now) {
      victim = it;
      break;
    }
    if (victim == r.cache.end() || it->second.lastUse < victim->second.lastUse) victim = it;
  }
  if (victim != r.cache.end()) r.cache.erase(victim);
}

void *ResolverThread(void *) {
  Resolver &r = R();
  for (;;) {
    uint32_t key;
    uint64_t generation;
    {
      OSV1_Guard hold(&r.lock);
      while (r.queue.empty()) QDV0_ConditionWait(&r.work, &r.lock);
      key = r.queue.front();
      r.queue.pop_front();
      r.running++;
      generation = r.generation;
    }
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = key;
    char host[NI_MAXHOST] = "";
    bool named = QDV0_ConvertAddrToName(&address, host, sizeof(host)) == 0 && host[0] != '\0';
    OSV1_Guard hold(&r.lock);
    r.running--;
    r.lookups++;
    if (generation == r.generation) {
      auto it = r.cache.find(key);
      if (it == r.cache.end()) {
        MakeRoom(r);
        it = r.cache.emplace(key, NameEntry()).first;
      }
      NameEntry &e = it->second;
      e.pending = false;
      e.answered = true;
      e.named = named;
      e.name = named ? host : "";
      e.expires = QDV0_Time() + (named ? QDV0_NAME_TTL : QDV0_NO_NAME_TTL);
    }
    OSV1_WakeAll(&r.done, &r.lock);
  }
  return nullptr;
}

}  // namespace

int QDV0_ConvertAddrToName(const struct sockaddr_in *address, char *name, size_t size) {
  if (address == nullptr || name == nullptr || size == 0) return -1;
  QDV0_NAME_LOOKUP fn = sLookup.load();
  if (fn != nullptr) return fn(address, name, size);
  long ms = SlowLookupMs(ntohl(address->sin_addr.s_addr));
  if (ms > 0) {
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    return -1;
  }
  return getnameinfo(reinterpret_cast<const struct sockaddr *>(address), sizeof(*address), name,
                     static_cast<socklen_t>(size), nullptr, 0, NI_NAMEREQD) == 0
             ? 0
             : -1;
}

int QDV0_CachedAddressName(const struct sockaddr_in *address, char *name, size_t size,
                           long waitMs) {
  if (address == nullptr || name == nullptr || size == 0) return -1;
  uint32_t key = address->sin_addr.s_addr;
  // Not an address a sender can have: the text, and never a lookup.
  if (key == htonl(INADDR_ANY) || key == htonl(INADDR_BROADCAST)) {
    return Dotted(key, name, size) ? 0 : -1;
  }
  Resolver &r = R();
  bool full = false;
  int failed = 0;
  int result = -1;
  {
    OSV1_Guard hold(&r.lock);
    time_t now = QDV0_Time();
    auto it = r.cache.find(key);
    bool known = it != r.cache.end();
    if (known) it->second.lastUse = ++r.uses;
    bool fresh = known && it->second.answered && now < it->second.expires;
    bool queue = !known || (!fresh && !it->second.pending);
    if (queue && r.queue.size() >= QDV0_NAME_QUEUE) {
      full = true;
      r.dropped++;
      queue = false;
    }
    if (queue) {
      bool idle = r.queue.empty() && r.running == 0;
      if (!known) {
        MakeRoom(r);
        it = r.cache.emplace(key, NameEntry()).first;
        it->second.lastUse = ++r.uses;
      }
      it->second.pending = true;
      r.queue.push_back(key);
      // Threads start as lookups need them; pthread_create takes no lock of ours.
      if (r.threads < QDV0_NAME_THREADS &&
          r.threads < static_cast<int>(r.queue.size()) + r.running) {
        unsigned long id = 0;
        if (QDV0_CreateThread(ResolverThread, nullptr, 0, &id) == 0) {
          r.threads++;
        } else {
          failed = errno;
        }
      }
      OSV1_WakeOne(&r.work, &r.lock);
      // Only a new address waits, and only for an idle resolver; an old answer is given at once.
      if (waitMs > 0 && idle && !known && r.threads > 0) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
          auto found = r.cache.find(key);
          if (found == r.cache.end() || !found->second.pending) break;
          auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
          if (left <= 0) break;
          QDV0_ConditionWaitForTask(&r.done, &r.lock, left);
        }
        it = r.cache.find(key);
      }
    }
    if (it != r.cache.end() && it->second.named) {
      CopyOut(it->second.name.c_str(), name, size);
      result = 1;
    }
  }
  if (failed != 0)
    QDVP_TRC(trk, TRK1_ERROR, "***** name resolver thread not started errno %d", failed);
  if (full) QDVP_TRC(trk, TRK1_DETAIL, "name resolver queue full; address not looked up");
  if (result == 1) return 1;
  return Dotted(key, name, size) ? 0 : -1;
}

const char *QDV0_ResolveAddressToName(const struct sockaddr_in *address) {
  thread_local char name[NI_MAXHOST];
  if (address == nullptr) return nullptr;
  return QDV0_CachedAddressName(address, name, sizeof(name), 0) >= 0 ? name : nullptr;
}

void TEST_QDV0_SetNameLookup(QDV0_NAME_LOOKUP fn) {
  sLookup.store(fn);
  Resolver &r = R();
  OSV1_Guard hold(&r.lock);
  r.generation++;
  r.cache.clear();
  r.queue.clear();
  r.lookups = 0;
  r.dropped = 0;
  OSV1_WakeAll(&r.done, &r.lock);
}

QDV0_ResolverCounts TEST_QDV0_GetResolverCounts(void) {
  Resolver &r = R();
  OSV1_Guard hold(&r.lock);
  QDV0_ResolverCounts counts;
  counts.lookups = r.lookups;
  counts.dropped = r.dropped;
  counts.cached = static_cast<int>(r.cache.size());
  counts.queued = static_cast<int>(r.queue.size());
  counts.running = r.running;
  return counts;
}
