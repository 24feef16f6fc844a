// Tasks and their process entries: creation, the chain under the anchor, the lookup of the
// calling task's own entry, work queues, TaskIO waits and release.
//
// A task is a detached thread described by a process entry chained to the anchor. The entry is
// both the task's identity (shutdown walks the chain) and its mailbox (producers queue work
// under WorkQueueLock and signal TaskIOcond).
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "../include/qdvp_core.h"
#include "support/qdv0.h"
#include "support/trk1.h"

static TRK1_BLOCK trk = {"qdvptask"};

ProcessEntry *QDVP_InitializeProcessEntry(DPAB *anchor) {
  auto *entry = QDV0_New<ProcessEntry>();
  if (entry == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Unable to obtain storage for process entry");
    return nullptr;
  }
  entry->pDPAB = anchor;
  OSV1_InitializeLock(&entry->TaskIOmutex);
  OSV1_InitializeLock(&entry->WorkQueueLock);
  OSV1_InitializeLock(&entry->RequestLock);
  OSV1_InitializeLock(&entry->UnchainLock);
  QDVP_TRC(trk, TRK1_STORAGE, "Allocated process entry @%p for length %d", (void *)entry,
           (int)sizeof(ProcessEntry));
  return entry;
}

void QDVP_FreeProcessEntry(ProcessEntry *entry) {
  {
    OSV1_Guard wake(&entry->TaskIOmutex);
    if (entry->WakeFd >= 0) close(entry->WakeFd);
  }
  OSV1_DestroyLock(&entry->TaskIOmutex);
  OSV1_DestroyLock(&entry->WorkQueueLock);
  OSV1_DestroyLock(&entry->RequestLock);
  OSV1_DestroyLock(&entry->UnchainLock);
  QDVP_TRC(trk, TRK1_STORAGE, "Freeing process entry @%p", (void *)entry);
  QDV0_Free(entry);
}

// The thread start routine: runs the entry's routine with the entry.
static void *Task(void *argument) {
  auto *entry = static_cast<ProcessEntry *>(argument);
  entry->pRoutine(entry);
  return nullptr;
}

int QDVP_CreateProcess(DPAB *anchor, int type, void *parameter, QDVP_TASK_ROUTINE routine,
                       int waitStartup, ProcessEntry **pEntry) QDVP_NO_THREAD_SAFETY_ANALYSIS {
  QDVP_TRC_ENTRY(trk);
  ProcessEntry *entry = QDVP_InitializeProcessEntry(anchor);
  if (entry == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Unable to obtain storage for process entry");
    if (pEntry) *pEntry = nullptr;
    return 0;
  }
  entry->DPtype = type;
  entry->pRoutine = routine;
  entry->pParm = parameter;
  {
    OSV1_Guard chain(&anchor->ProcessListLock);
    ProcessEntry **tail = &anchor->pProcessList;
    while (*tail) tail = &(*tail)->pNext;
    *tail = entry;
    // Counted before the thread runs, so that a task that ends at once never takes the
    // count below zero.
    OSV1_GetLock(&anchor->StateMutex);
    anchor->ActiveTasks++;
    OSV1_ReleaseLock(&anchor->StateMutex);
  }
  if (waitStartup) OSV1_GetLock(&entry->TaskIOmutex);
  unsigned long threadId = 0;
  if (QDV0_CreateThread(Task, entry, 64, &threadId) != 0) {
    int err = errno;
    if (waitStartup) OSV1_ReleaseLock(&entry->TaskIOmutex);
    QDVP_ReleaseProcessResources(anchor, entry);
    QDVP_TRC(trk, TRK1_ERROR, "***** unable to create process, errno: %d", err);
    if (pEntry) *pEntry = nullptr;
    QDVP_TRC_EXIT(trk, 0);
    return 0;
  }
  if (pEntry) *pEntry = entry;
  QDVP_TRC_EXIT(trk, 1);
  return 1;
}

ProcessEntry *QDVP_LocateOwnProcessEntry(DPAB *anchor) {
  uint32_t self = OSV1_ThreadID();
  OSV1_Guard chain(&anchor->ProcessListLock);
  for (ProcessEntry *pe = anchor->pProcessList; pe; pe = pe->pNext) {
    if (pe->ThreadID.load() == self) return pe;
  }
  return nullptr;
}

void QDVP_ReleaseProcessResources(DPAB *anchor, ProcessEntry *entry) {
  OSV1_GetLock(&anchor->ProcessListLock);
  OSV1_GetLock(&entry->UnchainLock);
  bool chained = false;
  for (ProcessEntry **link = &anchor->pProcessList; *link; link = &(*link)->pNext) {
    if (*link == entry) {
      *link = entry->pNext;
      chained = true;
      break;
    }
  }
  OSV1_ReleaseLock(&entry->UnchainLock);
  QDVP_FreeProcessEntry(entry);
  // The count falls and the shutdown is woken under both locks, and StateMutex, under which the
  // count is read, is the last of the anchor this task touches: once it is released the anchor
  // may be gone (the orderly shutdown frees it when the count reaches 0).
  OSV1_GetLock(&anchor->StateMutex);
  if (chained) anchor->ActiveTasks--;
  OSV1_ReleaseLock(&anchor->ProcessListLock);
  OSV1_WakeAll(&anchor->StateCond, &anchor->StateMutex);
  OSV1_ReleaseLock(&anchor->StateMutex);
}

void QDVP_EndTask(DPAB *anchor, ProcessEntry *entry) {
  QDVP_ReleaseProcessResources(anchor, entry);
  pthread_exit(&QDVP_ThreadRC);
}

// Puts item at the end of the entry's work queue.
static void AppendWorkItem(ProcessEntry *entry, WorkItem *item) {
  item->pNext = nullptr;
  OSV1_Guard queue(&entry->WorkQueueLock);
  WorkItem *last = entry->pWorkQueue.load();
  if (last == nullptr) {
    entry->pWorkQueue.store(item);  // the client may look without the lock
  } else {
    while (last->pNext != nullptr) last = last->pNext;
    last->pNext = item;
  }
}

// Raises the count of a task that waits in QDVP_WaitTaskIOorFD (it polls its eventfd instead
// of the condition); the count is raised under the TaskIO mutex.
static void RaiseWakeCount(ProcessEntry *entry) QDVP_REQUIRES(entry->TaskIOmutex) {
  if (entry->WakeFd >= 0) {
    uint64_t one = 1;
    ssize_t n = write(entry->WakeFd, &one, sizeof(one));
    (void)n;  // a full count already wakes the task
  }
}

void QDVP_QueueWorkItem(ProcessEntry *entry, WorkItem *item) {
  AppendWorkItem(entry, item);
  QDVP_SignalTaskIO(entry);
}

void QDVP_QueueWorkItemWakeAfter(ProcessEntry *entry, WorkItem *item) {
  AppendWorkItem(entry, item);
  {
    // A task between its look at the queue and its wait holds the mutex: once it is taken
    // here, the task waits (or has not looked yet), and the wake-up below reaches it.
    OSV1_Guard wake(&entry->TaskIOmutex);
    RaiseWakeCount(entry);
  }
  OSV1_WakeOneAfter(&entry->TaskIOcond, &entry->TaskIOmutex);
}

// Signals an entry's TaskIO condition. The mutex is taken around the signal so that a task
// between its check for work and its wait cannot miss the wake-up.
// A task waiting in QDVP_WaitTaskIOorFD polls its eventfd instead of the condition: the count
// is raised under the same mutex.
void QDVP_SignalTaskIO(ProcessEntry *entry) {
  OSV1_GetLock(&entry->TaskIOmutex);
  OSV1_WakeOne(&entry->TaskIOcond, &entry->TaskIOmutex);
  RaiseWakeCount(entry);
  OSV1_ReleaseLock(&entry->TaskIOmutex);
}

WorkItem *QDVP_TakeWorkQueue(ProcessEntry *entry) {
  OSV1_Guard queue(&entry->WorkQueueLock);
  return entry->pWorkQueue.exchange(nullptr);
}

int QDVP_TaskShouldEnd(const ProcessEntry *entry) {
  return entry->Terminate || (entry->pDPAB && entry->pDPAB->ShutdownRequested);
}

int QDVP_WaitTaskIO(ProcessEntry *entry, int seconds, const char *waitLine, const char *wakeLine) {
  return QDVP_WaitTaskIOms(entry, seconds > 0 ? seconds * 1000L : 0, waitLine, wakeLine);
}

int QDVP_WaitTaskIOms(ProcessEntry *entry, long ms, const char *waitLine, const char *wakeLine) {
  OSV1_GetLock(&entry->TaskIOmutex);
  int rc = 0;
  // Work or a termination request that arrived before the lock is not waited for again:
  // producers queue and set the flag before they signal, and signal under the mutex.
  bool pending;
  {
    OSV1_Guard queue(&entry->WorkQueueLock);
    pending = entry->pWorkQueue != nullptr;
  }
  if (!pending && !QDVP_TaskShouldEnd(entry)) {
    if (waitLine) QDVP_TRC(trk, TRK1_DETAIL, "%s", waitLine);
    if (ms > 0) {
      rc = QDV0_ConditionTimedWaitMs(&entry->TaskIOcond, &entry->TaskIOmutex, ms);
    } else {
      rc = QDV0_ConditionWait(&entry->TaskIOcond, &entry->TaskIOmutex);
    }
  }
  int err = errno;
  OSV1_ReleaseLock(&entry->TaskIOmutex);
  if (wakeLine) QDVP_TRC(trk, TRK1_DETAIL, wakeLine, rc, err);
  return rc;
}

// The wake-up cannot be lost: the eventfd is emptied and the reasons to wake (work, a request
// to end) are looked at under TaskIOmutex; a signal after that raises the eventfd's count,
// which poll sees however late it starts.
int QDVP_WaitTaskIOorFD(ProcessEntry *entry, int seconds, int fd) {
  OSV1_GetLock(&entry->TaskIOmutex);
  if (entry->WakeFd < 0) entry->WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  int wake = entry->WakeFd;
  if (wake >= 0) {
    uint64_t count;
    while (read(wake, &count, sizeof(count)) > 0) {
    }
  }
  bool pending;
  {
    OSV1_Guard queue(&entry->WorkQueueLock);
    pending = entry->pWorkQueue != nullptr;
  }
  pending = pending || QDVP_TaskShouldEnd(entry);
  OSV1_ReleaseLock(&entry->TaskIOmutex);
  if (pending) return 0;
  if (wake < 0 || fd < 0) {
    QDVP_WaitTaskIO(entry, seconds, nullptr, nullptr);
    return 0;
  }
  struct pollfd fds[2] = {{wake, POLLIN, 0}, {fd, POLLIN, 0}};
  int rc = poll(fds, 2, seconds > 0 ? seconds * 1000 : -1);
  return rc > 0 && (fds[1].revents & POLLIN) != 0 ? 1 : 0;
}

void QDVP_WaitForTaskEnd(DPAB *anchor, int seconds) {
  // ActiveTasks changes only under StateMutex as well as the chain lock, so reading it here
  // under StateMutex alone cannot miss the broadcast of the last release.
  OSV1_GetLock(&anchor->StateMutex);
  if (anchor->ActiveTasks > 0) {
    QDV0_ConditionTimedWait(&anchor->StateCond, &anchor->StateMutex, seconds);
  }
  OSV1_ReleaseLock(&anchor->StateMutex);
}

void QDVP_SetAnchorFlag(DPAB *anchor, std::atomic<int> *flag) {
  OSV1_GetLock(&anchor->StateMutex);
  *flag = 1;
  OSV1_WakeAll(&anchor->StateCond, &anchor->StateMutex);
  OSV1_ReleaseLock(&anchor->StateMutex);
}

int QDVP_WaitForAnchorFlag(DPAB *anchor, std::atomic<int> *flag, int seconds) {
  OSV1_GetLock(&anchor->StateMutex);
  if (!*flag) QDV0_ConditionTimedWait(&anchor->StateCond, &anchor->StateMutex, seconds);
  int value = flag->load();
  OSV1_ReleaseLock(&anchor->StateMutex);
  return value;
}

void QDVP_RunIdleTask(ProcessEntry *entry, const char *startLine, const char *waitLine,
                      const char *wakeLine) {
  entry->ThreadID = OSV1_ThreadID();
  DPAB *anchor = entry->pDPAB;
  QDVP_TRC(trk, TRK1_DETAIL, startLine, entry->ThreadID.load());
  while (!QDVP_TaskShouldEnd(entry)) QDVP_WaitTaskIO(entry, 0, waitLine, wakeLine);
  QDVP_EndTask(anchor, entry);
}

void QDVP_WaitForSignal(QDVP_SignalBlock *block) {
  OSV1_ReleaseLock(&block->Lock);
  OSV1_GetLock(&block->Mutex);
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Wait for file to become available");
  int rc = QDV0_ConditionWait(&block->Cond, &block->Mutex);
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Check file signal received. rc %d errno %d", rc, errno);
  OSV1_ReleaseLock(&block->Mutex);
  OSV1_GetLock(&block->Lock);
}
