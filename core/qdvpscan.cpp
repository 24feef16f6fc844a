// The periodic scan task, the clock of the data provider. Each cycle it does the work that is
// driven by time rather than by data: it kicks the DCH client, hands the DCH wait queue over,
// wakes file servers waiting for their file, re-drives delayed registrations and online
// requests, sends delayed offline requests whose TTL has passed and asks for the end of
// summaries that are due; then it sleeps for an interval that grows while nothing happens and
// shrinks under activity (include/qdvp_scan.h).
//
// Locks: one list at a time, in the order of include/qdvp_anchor.h, never held while sleeping.
#include <stdlib.h>
#include <string.h>

#include "../include/qdvp_core.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_scan.h"
#include "../include/qdvp_services.h"
#include "support/qdv0.h"
#include "support/trk1.h"

static TRK1_BLOCK trk = {"qdvpscan"};

namespace {

int EnvNumber(const char *name, const char *byDefault) {
  return atoi(QDV0_GetEnv(name, byDefault));
}

struct ScanTask {
  DPAB *anchor;
  ProcessEntry *pe;
  ScanClock clock;
  int snmpTTL;
  int fileWakeups;
  time_t lastRegistration, lastMIBrefresh, lastNoData, lastOutageTest, summaryCheck;
  int summaryEndDelay;
  int noDataInterval;
};

// Step 1: wakes the DCH client when it has work or when the data provider is ending. The
// client's entry is used only while it is still on the process chain (the chain lock keeps it
// from being released meanwhile).
void KickClient(ScanTask *t) {
  DPAB *anchor = t->anchor;
  OSV1_Guard chain(&anchor->ProcessListLock);
  ProcessEntry *client = anchor->pDCHclientPE.load();
  if (client == nullptr) return;
  ProcessEntry *pe = anchor->pProcessList;
  while (pe != nullptr && pe != client) pe = pe->pNext;
  if (pe == nullptr) return;
  bool kick;
  {
    OSV1_Guard queue(&client->WorkQueueLock);
    kick = client->pWorkQueue != nullptr || QDVP_TaskShouldEnd(t->pe);
  }
  if (kick) {
    QDVP_SignalTaskIO(client);
    t->clock.Activity++;
  }
}

// Step 2: hands the sources queued while no client ran to the client.
void HandOverWaitQueue(ScanTask *t) {
  if (QDVP_EnqueueWaitingDCHwork(t->anchor) == 0) return;
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>>Enqueue waiting DCH work requests");
  t->clock.Activity++;
}

// The task that waits for an I/O entry's file: the file server of its source.
ProcessEntry *FileWaiter(const IOEntry *io) QDVP_REQUIRES(io->IOLock) {
  const SourceEntry *source = io->pSource;
  if (source == nullptr || io->FileWaitCount == 0) return nullptr;
  if (source->pFileSpec != nullptr && source->pFileSpec->pPE != nullptr) {
    return source->pFileSpec->pPE;
  }
  return source->pPE;
}

// Step 3: wakes the file servers that wait for their file (or for their source to be Ready).
void WakeFileWaits(ScanTask *t) {
  DPAB *anchor = t->anchor;
  int woken = 0;
  {
    OSV1_Guard list(&anchor->ApplIOLock[QDVP_IOE_FILE - 1]);
    for (IOEntry *io = anchor->pIOEList[QDVP_IOE_FILE]; io != nullptr; io = io->pNextKind) {
      OSV1_Guard wait(&io->IOLock);
      if (io->FileWaitCount != 0) {
        OSV1_Signal(&io->Mutex, &io->Cond);
        // A file server waits on its own process entry's condition; it is still inside its
        // wait (it needs the entry's lock, held here, to leave it), so its entry is there.
        ProcessEntry *server = FileWaiter(io);
        if (server != nullptr) QDVP_SignalTaskIO(server);
        woken++;
      }
    }
  }
  if (woken == 0) {
    t->fileWakeups = 0;
    return;
  }
  t->fileWakeups += woken;
  if (t->fileWakeups > t->clock.DelayCycles) {
    t->fileWakeups = 0;
    t->clock.Activity++;
  }
}

// Step 5: every 60 seconds, queues registrations the DCH deferred and the DP log's online.
void RedriveRegistrations(ScanTask *t, time_t now) {
  if (now - t->lastRegistration <= 60) return;
  DPAB *anchor = t->anchor;
  bool queued = false;
  SourceEntry *log = anchor->pDPlogSource;
  if (log != nullptr) {
    if (log->State == QDVP_Pending) {
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>>Enqueue delayed application registration 1");
      QDVP_RequestDCHnoWait(anchor, log, QDVP_Register);
      queued = true;
    } else if (log->State == QDVP_Register) {
      QDVP_UpdateSourceEntryState(log, QDVP_Ready);
    } else if (log->State == QDVP_Ready) {
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>>Enqueue delayed dp_online");
      QDVP_RequestDCHnoWait(anchor, log, QDVP_Ready);
      queued = true;
    }
  }
  if (!queued) {
    OSV1_Guard list(&anchor->ApplListLock);
    for (ApplEntry *appl = anchor->pApplList; appl != nullptr; appl = appl->pNext) {
      SourceEntry *source = QDVP_FirstSourceOfApplication(appl);
      if (source == nullptr) continue;
      OSV1_Guard entry(&source->EntryLock);
      if (source->State != QDVP_Pending) continue;
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>>Enqueue application registration 2");
      QDVP_RequestDCHnoWait(anchor, source, QDVP_Register);
    }
  }
  t->lastRegistration = now;
}

// Steps 6, 8 and 9: the MIB status refresh and the no-data report (SNMP type; the report's
// interval is settable, QDVP_SNMP_NODATA_INTERVAL), the expiry of silent UDP partners and
// the TCP outage test of the socket data server. A session ended here counts as activity and
// wakes the server, so that it stops waiting on the connection.
void PartnerAndSNMPwork(ScanTask *t, time_t now) {
  DPAB *anchor = t->anchor;
  if (anchor->DPtype == QDVP_TYPE_SNMP) {
    if (now - t->lastMIBrefresh > t->snmpTTL / 2) {
      QDVP_UpdateMIBinteresToDCH(anchor);
      t->lastMIBrefresh = now;
    }
    if (now - t->lastNoData > t->noDataInterval) {
      QDVP_DoNoDataStatusReport(anchor);
      t->lastNoData = now;
    }
  }
  if (anchor->SocketServerMark.load() == 0) return;
  if (QDVP_ExpireUDPpartners(anchor) > 0) {
    t->clock.Activity += t->clock.ActivityDelay;
    QDVP_SendSelectInterrupt(anchor->DPtype, SelectDeleteMsg);
  }
  if (t->clock.OutageWindow > 0 && now - t->lastOutageTest > t->clock.OutageWindow) {
    if (QDVP_TestTCPpartners(anchor) > 0) {
      t->clock.Activity += t->clock.ActivityDelay;
      QDVP_SendSelectInterrupt(anchor->DPtype, SelectDeleteMsg);
    }
    t->lastOutageTest = now;
  }
}

// Step 7: queues the offline of the first delayed offline copy whose TTL has passed.
void DelayedOffline(ScanTask *t) {
  if (QDVP_EnqueueDelayedOffline(t->anchor)) t->clock.Activity++;
}

// Step 10: from the summary check time on, asks for the end of every summary whose interval is
// over, or that holds data and has not been updated for the end delay (QDVP_SUMMARY_END_DELAY,
// 300 seconds, 30 stand-alone), which is also how long after the start the checks begin.
void EndSummaries(ScanTask *t, time_t now) {
  if (now < t->summaryCheck) return;
  DPAB *anchor = t->anchor;
  int idle = t->summaryEndDelay;
  OSV1_Guard list(&anchor->ApplListLock);
  for (ApplEntry *appl = anchor->pApplList; appl != nullptr; appl = appl->pNext) {
    OSV1_Guard tables(&appl->TableListLock);
    for (TableEntry *table = appl->pTableList; table != nullptr; table = table->pNext) {
      OSV1_Guard sources(&table->SourceListLock);
      for (SourceEntry *s = table->pSourceList; s != nullptr; s = s->pNext) {
        SMBlock *b = s->pSMB;
        if (b == nullptr || s->EndBatchSummary) continue;
        {
          // The source's own task adds rows meanwhile, under the block's lock.
          OSV1_Guard block(&b->Lock);
          if (b->LastUpdateTime <= 0) continue;
          long elapsed = static_cast<long>(now - b->LastUpdateTime);
          if (elapsed <= b->Interval && !(b->SlotsUsed > 0 && elapsed >= idle)) continue;
        }
        if (s->State != QDVP_Input && s->State != QDVP_Active) continue;
        s->EndBatchSummary = 1;
        QDVP_TRC(trk, TRK1_DETAIL, ">>>>>Enqueue End Summary request for %s", table->TableName);
        QDVP_RequestDCHnoWait(anchor, s, QDVP_Output);
      }
    }
  }
}

bool ScanShouldLeave(ScanTask *t) {
  if (t->pe->Terminate != 1) return false;
  OSV1_Guard state(&t->anchor->StateMutex);
  return t->anchor->ActiveTasks < 2;
}

}  // namespace

void QDVP_InitializeScanClock(ScanClock *clock) {
  memset(clock, 0, sizeof(*clock));
  clock->Interval = 1;
  clock->DelayCycles = EnvNumber("QDVP_SCAN_DELAY_CYCLES", "30");
  clock->MaxInterval = EnvNumber("QDVP_SCAN_MAX_INTERVAL", "60");
  clock->ActivityDelay = EnvNumber("QDVP_ACTIVITY_DELAY_CYCLES", "3");
  clock->OutageWindow = EnvNumber("QDVP_TCP_OUTAGE_WINDOW", "180");
}

int QDVP_ScanNextInterval(ScanClock *c, int ending) {
  if (c->Activity < c->ActivityDelay && !ending) {
    if (c->IdleCycles >= c->DelayCycles) {
      if (c->Interval < c->MaxInterval) {
        c->Interval *= 2;
        QDVP_TRC(trk, TRK1_DETAIL, "scan interval increased to %d", c->Interval);
      }
      c->Activity = c->IdleCycles = 0;
    }
  } else {
    if (c->Interval > 1) {
      c->Interval /= 2;
      QDVP_TRC(trk, TRK1_DETAIL, "scan interval decreased to %d", c->Interval);
    }
    c->Activity = c->IdleCycles = 0;
  }
  if (c->OutageWindow > 0 && c->Interval > c->OutageWindow) c->Interval = c->OutageWindow;
  return c->Interval;
}

void QDVP_TaskPeriodical(ProcessEntry *entry) {
  QDV0_WinSockInitialization(1);
  entry->ThreadID = OSV1_ThreadID();
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Background activity periodical process started. Thread: %X",
           entry->ThreadID.load());
  ScanTask t{};
  t.anchor = entry->pDPAB;
  t.pe = entry;
  QDVP_InitializeScanClock(&t.clock);
  t.snmpTTL = EnvNumber("QDVP_SNMP_NETDATA_TTL", "14400");
  t.noDataInterval = QDVP_NoDataReportInterval();
  time_t start = QDV0_Time();
  t.lastRegistration = t.lastMIBrefresh = t.lastNoData = t.lastOutageTest = start;
  t.summaryEndDelay = EnvNumber("QDVP_SUMMARY_END_DELAY", t.anchor->StandAlone ? "30" : "300");
  if (t.summaryEndDelay < 1) t.summaryEndDelay = t.anchor->StandAlone ? 30 : 300;
  t.summaryCheck = start + t.summaryEndDelay;

  for (;;) {
    KickClient(&t);
    HandOverWaitQueue(&t);
    WakeFileWaits(&t);
    bool ending = entry->Terminate == 1;
    if (ending) {
      // The socket and metafile servers are woken out of their wait to see that they end.
      if (t.anchor->SocketServerMark.load()) {
        QDVP_SendSelectInterrupt(t.anchor->DPtype, SelectShutDownMsg);
      }
      if (t.anchor->MetaServerMark.load()) QDVP_SendSelectInterrupt(99, SelectShutDownMsg);
      t.clock.Activity += t.clock.ActivityDelay;
    } else {
      time_t now = QDV0_Time();
      RedriveRegistrations(&t, now);
      DelayedOffline(&t);
      PartnerAndSNMPwork(&t, now);
      EndSummaries(&t, now);
    }
    int interval = QDVP_ScanNextInterval(&t.clock, ending);
    QDVP_TRC(trk, TRK1_DETAIL, "Scan waits on activity - interval %d, delay %d", interval,
             t.clock.IdleCycles);
    if (ScanShouldLeave(&t)) break;
    if (QDVP_TaskShouldEnd(entry)) {
      OSV1_Sleep(interval);  // a task asked to end is not made to wait by its condition
    } else {
      QDVP_WaitTaskIO(entry, interval, nullptr, nullptr);
    }
    t.clock.IdleCycles++;
    if (ScanShouldLeave(&t)) break;
  }
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Background activity periodical process ended. Thread: %X",
           entry->ThreadID.load());
  QDVP_EndTask(t.anchor, entry);
}
