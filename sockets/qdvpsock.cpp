// The socket data server and the client API server. Until they are built each holds its place
// as a server task of its type and waits until it is asked to end.
#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"

void QDVP_SocketServer(ProcessEntry *entry) {
  QDVP_RunIdleTask(entry, ">>>>> Socket data server process started. Thread: %X", nullptr,
                   nullptr);
}

void QDVP_SOCKpgmAPIServer(ProcessEntry *entry) {
  QDVP_RunIdleTask(entry, ">>>>> Client API server process started. Thread: %X", nullptr,
                   nullptr);
}

