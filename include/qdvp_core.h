// The data provider core: entry, startup, environment start, tasks and shutdown.
//
// The host thread runs QDVP_StartDataProvider; everything else runs in tasks created with
// QDVP_CreateProcess. Functions here may be called from any task unless noted.
#pragma once

#include "qdvp.h"
#include "qdvp_anchor.h"

// Guards Main_DPAB against release while a host thread asks for a shutdown.
extern OSV1_LOCK QDVP_MainAnchorMutex QDVP_ACQUIRED_BEFORE(DPAB::SelectLock);

// Startup (qdvpinit).
DPAB *QDVP_StartupInitialization(void);
void QDVP_SetupMainDPanchor(DPAB *anchor);
char QDVP_ValidateTransportType(const char *value);
// Local hour minus GMT hour, comparing the two broken-down dates as dates.
int QDVP_ComputeTZoffset(const struct tm *gmt, const struct tm *local);

// Environment start and the same-type check (qdvpsdpe).
int QDVP_StartDataProviderEnvironment(DPAB *anchor);
int QDVP_CheckDPalreadyActive(DPAB *anchor);
// The console port of a data provider type: base 7700 + offset (or QDVP_DPCONSOLE_PORT) + type.
int QDVP_ConsolePortOfType(int type);

// Shutdown (qdvpstop) and release (qdvpexit).
void QDVP_SignalProcessTermination(DPAB *anchor);
void QDVP_ShutdownCleanUp(DPAB *anchor, int flag);
void QDVP_ReleaseGlobalResources(DPAB *anchor);
void Dummy_Function(ProcessEntry *);

// Tasks (qdvptask).
ProcessEntry *QDVP_InitializeProcessEntry(DPAB *anchor);
// Destroys an unchained entry's mutex, condition and locks and frees it.
void QDVP_FreeProcessEntry(ProcessEntry *entry);
// Creates a task running routine with a new process entry (*pEntry). With waitStartup set, it
// returns 1 with the entry's TaskIOmutex held, so that the caller's wait for the task's start
// signal cannot miss it. The analysis is off for it because whether it returns with the lock
// depends on waitStartup and the outcome; a caller that asked for it says so with
// OSV1_LockIsHeld before its wait.
int QDVP_CreateProcess(DPAB *anchor, int type, void *parameter, QDVP_TASK_ROUTINE routine,
                       int waitStartup, ProcessEntry **pEntry) QDVP_NO_THREAD_SAFETY_ANALYSIS;
ProcessEntry *QDVP_LocateOwnProcessEntry(DPAB *anchor);
void QDVP_ReleaseProcessResources(DPAB *anchor, ProcessEntry *entry);
// Ends the calling task: releases its entry and ends its thread. Does not return.
[[noreturn]] void QDVP_EndTask(DPAB *anchor, ProcessEntry *entry);
// Appends an item to a task's work queue and wakes the task.
void QDVP_QueueWorkItem(ProcessEntry *entry, WorkItem *item);
// The same for a task whose entry outlives every producer that queues to it (the DCH client):
// the wake-up is given after the entry's mutex is let go, so that the task, woken on the other
// core, does not sleep once more on the mutex the producer still holds.
void QDVP_QueueWorkItemWakeAfter(ProcessEntry *entry, WorkItem *item);
// Wakes a task waiting for TaskIO notification.
void QDVP_SignalTaskIO(ProcessEntry *entry);
// Takes the whole work queue of an entry, oldest first.
WorkItem *QDVP_TakeWorkQueue(ProcessEntry *entry);
// Waits for TaskIO notification for at most seconds (forever when seconds <= 0); returns the
// wait's result. Traces waitLine before and wakeLine ("... rc %d errno %d") after.
int QDVP_WaitTaskIO(ProcessEntry *entry, int seconds, const char *waitLine, const char *wakeLine);
// The same with a bound in milliseconds (forever when ms <= 0).
int QDVP_WaitTaskIOms(ProcessEntry *entry, long ms, const char *waitLine, const char *wakeLine);
// Like QDVP_WaitTaskIO, but also ends when fd becomes readable (a notification descriptor the
// task watches besides its condition). Returns 1 when fd is readable, 0 otherwise.
int QDVP_WaitTaskIOorFD(ProcessEntry *entry, int seconds, int fd);
// True when the task is asked to end, by its own flag or the anchor's shutdown request.
int QDVP_TaskShouldEnd(const ProcessEntry *entry);
// Waits up to seconds for a task to end; used by the orderly shutdown between its checks.
void QDVP_WaitForTaskEnd(DPAB *anchor, int seconds);

// Sets an anchor flag (DPlogReady, ShutdownRequested, ...) and wakes whoever waits for one.
void QDVP_SetAnchorFlag(DPAB *anchor, std::atomic<int> *flag);
// Waits up to seconds for the flag to be set; returns its value.
int QDVP_WaitForAnchorFlag(DPAB *anchor, std::atomic<int> *flag, int seconds);
// The body of a task that has nothing to do but wait until it is asked to end: it records its
// thread, traces its start line and its TaskIO waits, and ends itself.
[[noreturn]] void QDVP_RunIdleTask(ProcessEntry *entry, const char *startLine, const char *waitLine,
                                   const char *wakeLine);

// A block that a file server waits on for its file: a lock, a mutex and a condition.
struct QDVP_SignalBlock {
  OSV1_LOCK Lock QDVP_ACQUIRED_AFTER(DPAB::StateMutex);  // leaves
  OSV1_LOCK Mutex QDVP_ACQUIRED_AFTER(Lock);
  OSV1_COND Cond;
};
void QDVP_WaitForSignal(QDVP_SignalBlock *block) QDVP_REQUIRES(block->Lock);
