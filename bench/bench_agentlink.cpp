// Rows through the agent link: a data provider's DCH client sends one row at a time to a live
// qdvp-dch on loopback and waits for its status, driven as a server task drives it
// (QDVP_QueueAndWaitDCHstatus). Reference, measured in the same run: a minimal TCP
// request/reply pair on loopback (a client thread writes a message of the same size, a server
// thread reads it and answers 14 bytes). The ratio shows what the thread hand-offs (producer to
// client task to receive task and back) and the peer's storage add to the bare round trip.
//
// Run: build/default/bin/qdvp_bench_agentlink (qdvp-dch is taken from the same directory).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "bench/benchsupport.h"
#include "core/support/qdv0.h"
#include "include/qdvp_core.h"
#include "include/qdvp_dchcomm.h"
#include "include/qdvp_model.h"

namespace {

constexpr size_t kRowBytes = 69;  // a data message with two attributes
constexpr size_t kReplyBytes = 14;

void BM_LoopbackRequestReply(benchmark::State &state) {
  qdvp_bench::LoopbackRequestReply(state, kRowBytes, kReplyBytes);
}

// A running qdvp-dch on an ephemeral port in a temporary directory.
struct Peer {
  qdvp_bench::TempDir temp;
  qdvp_bench::Peer peer{temp.path};
  int port = peer.port();
  std::string dir = temp.path;
};

// The peer alone: a bare client sends the same data request straight to qdvp-dch and reads
// its status; shows how much of a row's round trip the peer's own work takes.
void BM_PeerRowsDirect(benchmark::State &state) {
  Peer peer;
  if (peer.port == 0) {
    state.SkipWithError("qdvp-dch did not start");
    return;
  }
  int c = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(peer.port));
  connect(c, reinterpret_cast<sockaddr *>(&a), sizeof(a));
  unsigned char m[256] = {};
  size_t pos = 4;
  unsigned char word[4];
  QDVP_WirePut16(word, QDVP_REQ_DP_DATA);
  pos += QDVP_WireFormatField(m, sizeof(m), pos, QDVP_FIELD_REQUEST, word, 2, 0);
  QDVP_WirePut32(word, 1);
  pos += QDVP_WireFormatField(m, sizeof(m), pos, QDVP_FIELD_DCH_HANDLE, word, 4, 0);
  QDVP_WirePut16(word, 0);
  pos += QDVP_WireFormatField(m, sizeof(m), pos, QDVP_FIELD_DATA_SEQUENCE, word, 2, 0);
  pos += QDVP_WireFormatField(m, sizeof(m), pos, QDVP_FIELD_ATTR_NAME, "Busy", 4, 0);
  QDVP_WirePut32(word, 42);
  pos += QDVP_WireFormatField(m, sizeof(m), pos, QDVP_FIELD_ATTR_VALUE, word, 4, 'G');
  char reply[kReplyBytes];
  for (auto _ : state) {
    if (write(c, m, pos) != static_cast<ssize_t>(pos)) break;
    qdvp_bench::ReadAll(c, reply, sizeof(reply));
  }
  close(c);
  state.SetItemsProcessed(state.iterations());
}

void BM_AgentLinkRows(benchmark::State &state) {
  Peer peer;
  if (peer.port == 0) {
    state.SkipWithError("qdvp-dch did not start");
    return;
  }
  setenv("QDVA_DCH_PORT", std::to_string(peer.port).c_str(), 1);
  setenv("QDVP_DCH_HOST", "127.0.0.1", 1);
  setenv("QDVP_META_PATH", peer.dir.c_str(), 1);
  {
    std::ofstream(peer.dir + "/b.mdl") << "//APPL Bench\n//NAME Rows E\n//ATTRIBUTES\n"
                                          "Busy G 100000\nName D 8\n";
  }
  DPAB *anchor = QDVP_StartupInitialization();
  ProcessEntry *client = nullptr;
  QDVP_CreateProcess(anchor, QDVP_COMMON_TASK, nullptr, QDVP_DCHclientRoutine, 0, &client);
  while (anchor->pDCHclientPE.load() == nullptr) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ProcessEntry *requester = QDVP_InitializeProcessEntry(anchor);
  ApplEntry *appl = QDVP_ConstructApplDataModel(anchor, "b.mdl", 0, nullptr, nullptr, 0, 1);
  SourceEntry *s = appl ? appl->pTableList->pSourceList : nullptr;
  if (s == nullptr || s->State != QDVP_Ready) {
    state.SkipWithError("registration failed");
    return;
  }
  QDVP_QueueAndWaitDCHstatus(anchor, requester, s);
  AttrEntry *busy = s->pAttrList, *name = busy->pNext;
  int32_t value = 0;
  for (auto _ : state) {
    {
      OSV1_Guard attrs(&s->AttrLock);
      QDVP_WirePut32(reinterpret_cast<unsigned char *>(busy->Value),
                     static_cast<uint32_t>(++value));
      busy->ActualValSize = 4;
      memcpy(name->Value, "benchrow", 8);
      name->ActualValSize = 8;
    }
    QDVP_UpdateSourceEntryState(s, QDVP_Output);
    QDVP_QueueAndWaitDCHstatus(anchor, requester, s);
    if (s->State != QDVP_Active) {
      state.SkipWithError("row refused");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  client->Terminate = 1;
  QDVP_SignalTaskIO(client);
  for (int i = 0; i < 3000; i++) {
    OSV1_GetLock(&anchor->StateMutex);
    int active = anchor->ActiveTasks;
    OSV1_ReleaseLock(&anchor->StateMutex);
    if (active == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  QDVP_ShutdownCleanUp(anchor, 1);
  QDVP_ReleaseGlobalResources(anchor);
}

BENCHMARK(BM_LoopbackRequestReply)->UseRealTime();
BENCHMARK(BM_PeerRowsDirect)->UseRealTime();
BENCHMARK(BM_AgentLinkRows)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
