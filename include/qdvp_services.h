// The services of the subsystems that the core calls during start-up and shutdown.
//
// Each is defined in its subsystem's folder. Where a subsystem is not yet built, its file holds
// the smallest faithful stand-in (an idle task that ends when asked, a lookup that finds
// nothing), so that the start-up order and the task model are complete from the first day.
#pragma once

#include <netinet/in.h>

#include "qdvp_anchor.h"

struct SourceEntry;

// Agent link client task.
void QDVP_DCHclientRoutine(ProcessEntry *);
// Periodic scan task.
void QDVP_TaskPeriodical(ProcessEntry *);
// Data provider log; its requester entry is freed by the DCH client as it ends.
void QDVP_DefineDPlogReport(DPAB *);
void QDVP_DPlogServer(ProcessEntry *);
void QDVP_ReleaseDPlogRequester(DPAB *);
// The no-data status report of an SNMP data provider (logs/qdvpndsr.cpp): its built-in table,
// defined at start-up; the report the periodic scan sends every QDVP_NoDataReportInterval()
// seconds; the anchor's release. The MIB status rows are resent by the scan too (snmp/).
void QDVP_DefineNoDataReport(DPAB *);
void QDVP_DoNoDataStatusReport(DPAB *);
int QDVP_NoDataReportInterval(void);
void QDVP_ForgetNoDataReport(DPAB *);
void QDVP_UpdateMIBinteresToDCH(DPAB *);
// Statistics block (include/qdvp_stats.h has its counts).
StatBlock *QDVP_InitializeStatisticBlock(void);
void QDVP_ReleaseStatisticBlock(StatBlock *);
// Metafile server task (started with a startup wait; metaserver/).
void QDVP_MetaServerTask(ProcessEntry *);
// Frees the anchor's metafile record block once no task is left to use it (metafile/).
void QDVP_ReleaseMetafileBlock(DPAB *);
// Startup configuration: the count of metafiles named (-1 for a file that names none), plus
// packaged-solution loads; 0 only when there was no file and nothing was loaded, which makes
// the startup run QDVP_DoApplicationAutoLoad.
int QDVP_ProcessStartUpConfig(DPAB *);
void QDVP_DoApplicationAutoLoad(DPAB *);
// Releases an application, which unchains it from pApplList.
void QDVP_ReleaseApplResources(DPAB *, ApplEntry *, int flag);
// True when a task still holds a source of the application (metafile/qdvppcfg.cpp).
bool QDVP_ApplicationHeld(ApplEntry *);
// Releases an I/O entry, which unchains it from its list.
void QDVP_ReleaseIOResources(DPAB *, IOEntry *);
int QDVP_DetermineMaxAttributesPerGroup(void);
// The metrics page task (QDVP_METRICS_PORT), and the page it serves.
void QDVP_MetricsServer(ProcessEntry *);
// Automation server task.
void QDVP_AutomationServer(ProcessEntry *);
// Socket data server (sockets/, include/qdvp_sockets.h): the wake-up datagrams that end its
// wait, and the periodic scan's expiry of silent UDP partners and TCP outage test, each
// returning how many sessions it ended.
extern const char SelectShutDownMsg[];
extern const char SelectDeleteMsg[];
void QDVP_SendSelectInterrupt(int dpType, const char *text);
int QDVP_ExpireUDPpartners(DPAB *);
int QDVP_TestTCPpartners(DPAB *);
// Servers of the data provider types.
void QDVP_SOCKpgmAPIServer(ProcessEntry *);
void QDVP_SocketServer(ProcessEntry *);
void QDVP_PostServer(ProcessEntry *);
void QDVP_FileServer(ProcessEntry *);
int QDVP_CheckAndStartFileServer(DPAB *, QDVP_TASK_ROUTINE fileServer);
int QDVP_InitializeUMB(DPAB *);
void QDVP_HTTPmanagerTask(ProcessEntry *);
void QDVP_DefineHTTPapplication(DPAB *);
// Operator console service; runs in the host thread and returns at shutdown, after the orderly
// shutdown.
void QDVP_ConsoleService(DPAB *, QDVP_TASK_ROUTINE fileServer);
// SNMP trap destinations from QDVP_TRAP_DESTINATION: a comma-separated list of host, address
// or host:port (162 by default). One destination is an IPv4 socket address; an address of
// zero marks an entry that did not resolve.
struct TrapDest {
  sockaddr_in Address;
};
TrapDest *QDVP_ConstructTrapDestinationArray(const char *text, int *count);
void QDVP_ReleaseTrapDestinationArray(TrapDest *);
// Replaces the default trap destinations with those of a comma-separated list.
void QDVP_SetDefaultTrapDestinations(DPAB *anchor, const char *text);
// Reads the trap configuration file (product specification item 25) into the default
// destinations: 0, or QDVP_TRAPCNFG_NOT_FOUND, or QDVP_TRAPCNFG_BAD_LINES (nothing changed).
enum { QDVP_TRAPCNFG_BAD_LINES = 1, QDVP_TRAPCNFG_NOT_FOUND = 11 };
int QDVP_LoadTrapConfiguration(DPAB *anchor);
// Frees every internal routing block and its buffer.
void QDVP_ReleaseRoutingBlocks(DPAB *);
// Batch log.
void QDVP_CloseBatchLog(void);
// Queues a source for the DCH client as it is (the agent link's own queue, under the request
// path and the delayed offline).
void QDVP_EnqueueSourceToDCH(DPAB *, SourceEntry *);
// Periodic scan: a request nobody waits for (a deferred registration or online, an end-of-batch
// summary) on the one request path, QDVP_Request's no-wait policy (include/qdvp_request.h):
// state is the request's verb (QDVP_Register, QDVP_Ready, QDVP_Output). The caller may hold
// the source's entry lock.
void QDVP_RequestDCHnoWait(DPAB *, SourceEntry *, int state);
// Periodic scan: queues the offline of the first expired copy of the delayed offline queue, in
// queue order, one a cycle; returns 1 when it queued one.
int QDVP_EnqueueDelayedOffline(DPAB *);
// Periodic scan: hands the DCH wait queue to the client; returns how many sources it held.
int QDVP_EnqueueWaitingDCHwork(DPAB *);
// Shutdown, once the DCH client has ended: the requests still waiting for a client are dropped
// and the client's holds on their sources let go.
void QDVP_DropWaitingDCHwork(DPAB *);
// The DP log forgets an anchor that is being released.
void QDVP_ForgetDPlogAnchor(DPAB *);
// Writes validation message number to standard output with insert in place of its '#'.
void QDVP_DisplayValidationMessage(int number, const char *insert);

// Record processing's services to the agent link, installed at start-up.
void QDVP_InstallRecordServices();

// The texts of the validation messages, by number (99: internal error).
extern const char *const QDVP_ValidationMessage[100];
