// The DP log messages of refused senders, at most one per sender address and message number
// every QDVP_SOCK_REFUSAL_LOG_SECONDS, and at most 64 in all in that time. A sender that is refused
// and tries again at once (a partner whose application is being imported anew, or a hostile one)
// could otherwise send the agent a row of the DP log for every connection or datagram, and the rows
// the agent has to take before the next registration or row would hold up every other source. What
// is not reported is counted and traced with the next message that is.
#include <arpa/inet.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "qdvpsock.h"

static TRK1_BLOCK trk = {"qdvpsrfl"};

namespace {

struct Refusal {
  uint32_t address = 0;
  int number = 0;
  time_t last = 0;
  long quiet = 0;  // messages not reported since the last one that was
};

// Senders remembered, and refusal messages reported in one period from all senders together
// (many senders each refused once cannot flood the DP log either).
enum { kRefusals = 256, kRefusalsPerPeriod = 64 };

OSV1_LOCK sLock = OSV1_LOCK_INITIALIZER;
Refusal sRefusals[kRefusals] QDVP_GUARDED_BY(sLock);
time_t sPeriodStart QDVP_GUARDED_BY(sLock) = 0;
int sReported QDVP_GUARDED_BY(sLock) = 0;  // in the period that began at sPeriodStart

}  // namespace

bool QDVP_RefusalLogDue(int number, const struct sockaddr_in *peer) {
  uint32_t address = peer->sin_addr.s_addr;
  time_t now = QDV0_Time();
  long quiet = -1;
  {
    OSV1_Guard hold(&sLock);
    Refusal *slot = nullptr, *oldest = &sRefusals[0];
    for (Refusal &r : sRefusals) {
      if (r.number == number && r.address == address) {
        slot = &r;
        break;
      }
      if (r.last < oldest->last) oldest = &r;
    }
    if (slot == nullptr) {
      slot = oldest;
      *slot = Refusal();
      slot->address = address;
      slot->number = number;
      slot->last = now - QDVP_SOCK_REFUSAL_LOG_SECONDS;
    }
    if (now - sPeriodStart >= QDVP_SOCK_REFUSAL_LOG_SECONDS) {
      sPeriodStart = now;
      sReported = 0;
    }
    if (now - slot->last < QDVP_SOCK_REFUSAL_LOG_SECONDS || sReported >= kRefusalsPerPeriod) {
      slot->quiet++;
      return false;
    }
    sReported++;
    quiet = slot->quiet;
    slot->last = now;
    slot->quiet = 0;
  }
  if (quiet > 0) {
    char dotted[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer->sin_addr, dotted, sizeof(dotted));
    QDVP_TRC(trk, TRK1_DETAIL, "%ld DP log message(s) %d for %s not reported", quiet, number,
             dotted);
  }
  return true;
}
