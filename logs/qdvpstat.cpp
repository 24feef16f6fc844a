// The statistics block and its text: the counts the sources keep as they work, and the
// one-line report with per-minute rates, each rate averaged with the one before.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_anchor.h"
#include "../include/qdvp_services.h"
#include "../include/qdvp_stats.h"

static TRK1_BLOCK trk = {"qdvpstat"};

namespace {

// A statistics text starts a new period only after this long.
constexpr time_t kShortestPeriodSeconds = 60;

// The block the counting calls add to: the one made last and not yet released.
std::atomic<StatBlock *> SBptr{nullptr};

double ProcessorSeconds() { return static_cast<double>(clock()) / 1000000.0; }

// Every count below takes the block published in SBptr and adds under its lock; a count made
// while there is no block is dropped.

// The new rate of a period's count: the count per minute, averaged with the stored rate once
// there is one.
double Rate(uint32_t count, double minutes, double stored) {
  double now = count / minutes;
  return stored <= 0.0 ? now : (now + stored) / 2.0;
}

}  // namespace

StatBlock *QDVP_InitializeStatisticBlock(void) {
  auto *b = QDV0_New<StatBlock>();
  if (b == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Unable to get storage for Statistic Block");
    return nullptr;
  }
  OSV1_InitializeLock(&b->Lock);
  {
    OSV1_Guard hold(&b->Lock);
    b->BeginPeriodTime = QDV0_Time();
    b->TotalCPU = ProcessorSeconds();
  }
  QDVP_TRC(trk, TRK1_DETAIL, "Allocated StatisticBlock @%p", static_cast<void *>(b));
  SBptr.store(b);
  return b;
}

void QDVP_ReleaseStatisticBlock(StatBlock *block) {
  if (block == nullptr) return;
  StatBlock *expected = block;
  SBptr.compare_exchange_strong(expected, nullptr);
  OSV1_DestroyLock(&block->Lock);
  QDV0_Free(block);
}

void QDVP_UpdateStatLogFileIO(int files, int records) {
  StatBlock *b = SBptr.load();
  if (b == nullptr) return;
  OSV1_Guard hold(&b->Lock);
  b->OpenedFiles += files;
  b->FileIO += records;
  b->AllFileIO += records;
}
void QDVP_UpdateStatLogSockIO(int sockets, int receives) {
  StatBlock *b = SBptr.load();
  if (b == nullptr) return;
  OSV1_Guard hold(&b->Lock);
  b->OpenedSockets += sockets;
  b->SocketIO += receives;
  b->AllSocketIO += receives;
}
void QDVP_UpdateStatLogAPPCio(int conversations, int receives) {
  StatBlock *b = SBptr.load();
  if (b == nullptr) return;
  OSV1_Guard hold(&b->Lock);
  b->Conversations += conversations;
  b->APPCio += receives;
}
void QDVP_UpdateStatLogAPIcalls(int calls) {
  StatBlock *b = SBptr.load();
  if (b == nullptr) return;
  OSV1_Guard hold(&b->Lock);
  b->APIcalls += calls;
  b->AllAPIcalls += calls;
}
void QDVP_UpdateStatLogPost(int posts) {
  StatBlock *b = SBptr.load();
  if (b == nullptr) return;
  OSV1_Guard hold(&b->Lock);
  b->Posts += posts;
  b->AllPosts += posts;
}
void QDVP_UpdateStatLogDCHio(int receives) {
  StatBlock *b = SBptr.load();
  if (b == nullptr) return;
  OSV1_Guard hold(&b->Lock);
  b->DCHio += receives;
  b->AllDCHio += receives;
}
void QDVP_UpdateStatLogTrap(int traps) {
  StatBlock *b = SBptr.load();
  if (b == nullptr) return;
  OSV1_Guard hold(&b->Lock);
  b->Traps += traps;
}
void QDVP_UpdateStatLogTrapEmitted(int traps) {
  StatBlock *b = SBptr.load();
  if (b == nullptr) return;
  OSV1_Guard hold(&b->Lock);
  b->TrapsEmitted += traps;
}

bool QDVP_SnapshotStatistics(StatCounts *copy) {
  StatBlock *b = SBptr.load();
  if (b == nullptr || copy == nullptr) return false;
  OSV1_Guard hold(&b->Lock);
  *copy = {b->OpenedFiles, b->OpenedSockets, b->Traps,    b->TrapsEmitted, b->AllFileIO,
           b->AllSocketIO, b->AllAPIcalls,   b->AllPosts, b->AllDCHio};
  return true;
}

// A period shorter than a minute reports the rates it had, unchanged, rather than dividing by a
// length near zero (two seconds would make 10 records 300/min, and halve a quiet source's
// rate), and goes on: its counts are taken once it has lasted a minute.
char *QDVP_FormatStatLog(DPAB *anchor) {
  StatBlock *b =
      anchor != nullptr && anchor->pStatBlock != nullptr ? anchor->pStatBlock : SBptr.load();
  if (b == nullptr) return nullptr;
  char *text = static_cast<char *>(QDV0_GetStorage(512));
  if (text == nullptr) return nullptr;
  OSV1_Guard hold(&b->Lock);
  time_t now = QDV0_Time();
  double minutes = static_cast<double>(now - b->BeginPeriodTime) / 60.0;
  double cpu = ProcessorSeconds();
  b->CPUseconds = cpu - b->TotalCPU;
  bool periodEnds = now - b->BeginPeriodTime >= kShortestPeriodSeconds;
  if (periodEnds) {
    b->FileIOrate = Rate(b->FileIO, minutes, b->FileIOrate);
    b->SocketIOrate = Rate(b->SocketIO, minutes, b->SocketIOrate);
    b->APIcallRate = Rate(b->APIcalls, minutes, b->APIcallRate);
    b->PostRate = Rate(b->Posts, minutes, b->PostRate);
    b->DCHioRate = Rate(b->DCHio, minutes, b->DCHioRate);
    b->APPCioRate = Rate(b->APPCio, minutes, b->APPCioRate);
    b->FileIO = b->SocketIO = b->APIcalls = b->Posts = b->DCHio = b->APPCio = 0;
  }
  int type = anchor != nullptr ? anchor->DPtype : -1;
  int n = snprintf(text, 512, "Interval %.1f min, ", minutes);
  auto add = [&](const char *format, auto value) {
    if (n < 512) n += snprintf(text + n, static_cast<size_t>(512 - n), format, value);
  };
  bool agentRate = true;
  switch (type) {
    case QDVP_TYPE_FILE:
      add("Total opened files %d, ", static_cast<int>(b->OpenedFiles));
      add("File I/O rate %.1f/min, ", b->FileIOrate);
      break;
    case QDVP_TYPE_SOCK:
      add("Total opened sockets %d, ", static_cast<int>(b->OpenedSockets));
      add("Socket I/O rate %.1f/min, ", b->SocketIOrate);
      break;
    case QDVP_TYPE_APIS:
      add("API call rate %.1f/min, ", b->APIcallRate);
      break;
    case QDVP_TYPE_ASFS:
      add("Total opened files %d, ", static_cast<int>(b->OpenedFiles));
      add("File I/O rate %.1f/min, ", b->FileIOrate);
      add("Socket I/O rate %.1f/min, ", b->SocketIOrate);
      add("API call rate %.1f/min, ", b->APIcallRate);
      break;
    case QDVP_TYPE_POST:
      add("Message post rate %.1f/min, ", b->PostRate);
      break;
    case QDVP_TYPE_SNMP:
      add("Traps received %d, ", static_cast<int>(b->Traps));
      break;
    case QDVP_TYPE_APPC:
      add("Total conversations %d, ", static_cast<int>(b->Conversations));
      add("APPC I/O rate %.1f/min, ", b->APPCioRate);
      break;
    default:
      agentRate = false;
  }
  // Any type may emit traps for its situations; the count shows once there are some.
  if (b->TrapsEmitted > 0) add("Traps emitted %d, ", static_cast<int>(b->TrapsEmitted));
  if (agentRate) add("Output to agent message rate %.1f/min", b->DCHioRate);
  if (periodEnds) {
    b->BeginPeriodTime = now;
    b->TotalCPU = cpu;
  }
  return text;
}
