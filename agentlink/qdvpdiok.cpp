// The TCP/IP transport's four operations. Until the agent link is built, the DCH is never
// reachable: waiting and receiving fail, and sends are refused.
#include "../include/qdvp_anchor.h"

namespace {
int WaitDCHcomeOnline(DPAB *) { return -1; }
int HandleDCHdisconnect(DPAB *) { return -1; }
int DCHreceive(DPAB *, void *, int) { return -1; }
int DCHsend(DPAB *, const void *, int) { return -1; }
}  // namespace

extern "C" const DSFT TCPIP_DSFT = {WaitDCHcomeOnline, HandleDCHdisconnect, DCHreceive, DCHsend};
