// The statistics block: one process-wide set of counts of input and output, kept by the
// sources as they work (files and records, sockets and receives, API calls, posts, receives
// from the agent, traps) and turned into the statistics text with per-minute rates.
//
// The block is made at start-up (QDVP_InitializeStatisticBlock, which also makes it the block
// the counting calls add to) and released with the anchor. Any task may count; every count and
// the text hold the block's lock, so no count is lost between tasks. A count made while no
// block exists is dropped.
#pragma once

#include <stdint.h>
#include <time.h>

#include <string>

#include "osv1.h"
#include "qdvp_anchor.h"

struct StatBlock {
  OSV1_LOCK Lock QDVP_ACQUIRED_AFTER(DPAB::StateMutex);  // a leaf
  // Totals for the life of the data provider.
  uint32_t OpenedFiles QDVP_GUARDED_BY(Lock);
  uint32_t OpenedSockets QDVP_GUARDED_BY(Lock);
  uint32_t Conversations QDVP_GUARDED_BY(Lock);
  // Counts of the current period.
  uint32_t FileIO QDVP_GUARDED_BY(Lock);
  uint32_t SocketIO QDVP_GUARDED_BY(Lock);
  uint32_t APIcalls QDVP_GUARDED_BY(Lock);
  uint32_t APPCio QDVP_GUARDED_BY(Lock);
  uint32_t Posts QDVP_GUARDED_BY(Lock);
  uint32_t DCHio QDVP_GUARDED_BY(Lock);
  uint32_t Traps QDVP_GUARDED_BY(Lock);         // for the life of the data provider
  uint32_t TrapsEmitted QDVP_GUARDED_BY(Lock);  // TRAPEMIT traps sent, for the life as well
  // Per-minute rates, each averaged with the one before at every text.
  double FileIOrate QDVP_GUARDED_BY(Lock);
  double SocketIOrate QDVP_GUARDED_BY(Lock);
  double APIcallRate QDVP_GUARDED_BY(Lock);
  double APPCioRate QDVP_GUARDED_BY(Lock);
  double PostRate QDVP_GUARDED_BY(Lock);
  double DCHioRate QDVP_GUARDED_BY(Lock);
  double CPUseconds QDVP_GUARDED_BY(Lock);  // processor time of the last period
  // Totals that the metrics page shows: they are never reset.
  uint64_t AllFileIO QDVP_GUARDED_BY(Lock);
  uint64_t AllSocketIO QDVP_GUARDED_BY(Lock);
  uint64_t AllAPIcalls QDVP_GUARDED_BY(Lock);
  uint64_t AllPosts QDVP_GUARDED_BY(Lock);
  uint64_t AllDCHio QDVP_GUARDED_BY(Lock);
  time_t BeginPeriodTime QDVP_GUARDED_BY(Lock);
  double TotalCPU QDVP_GUARDED_BY(Lock);
};

void QDVP_UpdateStatLogFileIO(int files, int records);
void QDVP_UpdateStatLogSockIO(int sockets, int receives);
void QDVP_UpdateStatLogAPPCio(int conversations, int receives);
void QDVP_UpdateStatLogAPIcalls(int calls);
void QDVP_UpdateStatLogPost(int posts);
void QDVP_UpdateStatLogDCHio(int receives);
void QDVP_UpdateStatLogTrap(int traps);
void QDVP_UpdateStatLogTrapEmitted(int traps);

// The statistics text of the period that ends now (a new 512-byte block the caller frees), or
// null without storage or block. Starts the next period.
char *QDVP_FormatStatLog(DPAB *anchor);

// The totals of the block at one moment (the metrics page).
struct StatCounts {
  uint32_t OpenedFiles, OpenedSockets, Traps;
  uint64_t TrapsEmitted;
  uint64_t FileIO, SocketIO, APIcalls, Posts, DCHio;
};
// Copies the block's totals under its lock; false without block.
bool QDVP_SnapshotStatistics(StatCounts *copy);

// The metrics page (logs/qdvpmtrc.cpp): the totals as Prometheus text.
std::string QDVP_FormatMetricsPage(DPAB *anchor);

// What the metrics page shows of the agent link and of the data provider as a whole, counted
// by the agent link as it works (logs/qdvpmtrc.cpp). Atomic counts, no lock: any task, at any
// time, before the statistics block exists too.
enum {
  QDVP_LINK_ROWS_SENT = 0,     // data rows sent to the agent the first time
  QDVP_LINK_ROWS_RESENT = 1,   // sent again: a lost connection, a failed row ahead, status 7
  QDVP_LINK_ROWS_REFUSED = 2,  // answered with a status that refuses them for good
};
void QDVP_CountLinkRows(int what, int rows);
// The link's state: connected (a TCP connection, or UDP once the agent has answered on it)
// and whether it runs over UDP. A connection made after the first counts as a reconnect.
void QDVP_SetLinkState(int connected, int udp);
void QDVP_CountLinkConnection(void);
struct LinkCounts {
  uint64_t RowsSent, RowsResent, RowsRefused, Reconnects;
  int Connected, UDP;
};
void QDVP_SnapshotLinkCounts(LinkCounts *copy);
// The data provider takes work (its console runs): 1 from the end of its start until its
// shutdown begins, 0 before and after (qdvp_up).
void QDVP_MarkDataProviderUp(int up);
