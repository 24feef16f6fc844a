// The data provider's entry point: the type table, the start of a data provider of one type,
// the program-start mark and the immediate shutdown request a host may make at any time.
#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <string.h>

#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"
#include "support/qdv0.h"
#include "support/qdv0chck.h"
#include "support/trk1.h"

static TRK1_BLOCK trk = {"qdvpstrt"};

DPAB *Main_DPAB = nullptr;
int DPpgmStart = 0;
int QDVP_ThreadRC = 0;
char *QDV_Agent_Geographic_Location = nullptr;
int QDVP_DEBUG_MIBMGR = 0;
int QDVP_DEBUG_MIBIO = 0;
int QDVP_DEBUG_Network = 0;
const char QDVP_RELEASE_ID[] = "QDV350 (SR1-14114611) 02-08-2002";

const char *const DPtypeString[13] = {"APIS", "FILE", "SOCK", "ASFS", "POST", "SNMP", "APPC",
                                      "ODBC", "HTTP", "CICS", "IMSX", "MQSR", "USER"};

static const char *const TypeEntryLine[QDVP_TYPE_MAX + 1] = {
    "Input DP Type is API",  "Input DP Type is FILE", "Input DP Type is SOCK",
    "Input DP Type is ASFS", "Input DP Type is POST", "Input DP Type is SNMP",
    "Input DP Type is APPC", "Input DP Type is ODBC", "Input DP Type is HTTP"};

void Dummy_Function(ProcessEntry *) {}

// Starts one server task of the type; traces failMessage, tells the operator and returns 0
// when it cannot.
static int StartServer(DPAB *anchor, QDVP_TASK_ROUTINE routine, const char *failMessage) {
  if (QDVP_CreateProcess(anchor, anchor->DPtype, nullptr, routine, 0, nullptr)) return 1;
  int err = errno;
  QDVP_TRC(trk, TRK1_ERROR, "%s", failMessage);
  QDV0_OperatorLine(QDV0_PRIORITY_ERROR,
                    "qdvp: a server task of the %s data provider could not "
                    "be started: %s",
                    DPtypeString[anchor->DPtype], strerror(err));
  return 0;
}

// Starts the servers of the anchor's type, in the type table's order. Types without servers
// of their own (SNMP, APPC, ODBC) run only the common tasks and the console: SNMP collection
// is started through take actions, and the console lets an operator see and stop them.
static int StartTypeServers(DPAB *anchor) {
  static const char *const sockFail = "***** Socket Appl API server process startup failed.";
  switch (anchor->DPtype) {
    case QDVP_TYPE_APIS:
      return StartServer(anchor, QDVP_SOCKpgmAPIServer, sockFail);
    case QDVP_TYPE_FILE:
      return QDVP_CheckAndStartFileServer(anchor, QDVP_FileServer);
    case QDVP_TYPE_SOCK:
      return StartServer(anchor, QDVP_SocketServer, sockFail);
    case QDVP_TYPE_ASFS:
      return StartServer(anchor, QDVP_SOCKpgmAPIServer, sockFail) &&
             QDVP_CheckAndStartFileServer(anchor, QDVP_FileServer) &&
             StartServer(anchor, QDVP_SocketServer, sockFail);
    case QDVP_TYPE_POST:
      return StartServer(anchor, QDVP_PostServer, "***** Post server process startup failed.");
    case QDVP_TYPE_HTTP:
      QDVP_InitializeUMB(anchor);
      return StartServer(anchor, QDVP_HTTPmanagerTask, "***** HTTP client process startup failed.");
    default:
      QDVP_TRC(trk, TRK1_DETAIL, "DP type %s runs the common tasks and the console only",
               DPtypeString[anchor->DPtype]);
      return 1;
  }
}

int QDVP_StartDataProvider(int *pType) {
  QDVP_TRC_ENTRY(trk);
  int type = pType ? *pType : -1;
  if (type < 0 || type > QDVP_TYPE_MAX) {
    QDVP_TRC(trk, TRK1_ERROR, "*****Invalid input DP type %d, Exit!", type);
    QDVP_TRC_EXIT(trk, 0);
    return 0;
  }
  QDVP_TRC(trk, TRK1_DETAIL, "%s", TypeEntryLine[type]);
  DPAB *anchor = QDVP_StartupInitialization();
  if (anchor == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "QDVP_StartupInitialization failed");
    QDVP_TRC_EXIT(trk, 0);
    return 0;
  }
  QDVP_SetupMainDPanchor(anchor);
  anchor->DPtype = type;
  if (QDVP_StartDataProviderEnvironment(anchor) && StartTypeServers(anchor)) {
    QDVP_ThreadRC = 0;
    bool hasFileServer = type == QDVP_TYPE_FILE || type == QDVP_TYPE_ASFS;
    QDVP_ConsoleService(anchor, hasFileServer ? QDVP_FileServer : Dummy_Function);
  } else {
    // Tasks that did start must end before their anchor goes away. The thread's result word
    // tells the host that the data provider did not get past start-up.
    QDVP_ThreadRC = 1;
    QDVP_ShutdownCleanUp(anchor, 1);
  }
  QDVP_ReleaseGlobalResources(anchor);
  QDVP_TRC_EXIT(trk, 1);
  pthread_exit(&QDVP_ThreadRC);
}

void QDVP_SetDPprogramStart(void) {
  DPpgmStart = 1;
  QDV0_SetDPstartMode(DPpgmStart);
}

int QDVP_IsIndependentDPenvironment(void) { return DPpgmStart; }

void QDVP_SignalProcessTermination(DPAB *anchor) {
  OSV1_Guard chain(&anchor->ProcessListLock);
  for (ProcessEntry *pe = anchor->pProcessList; pe; pe = pe->pNext) {
    QDVP_TRC(trk, TRK1_DETAIL, "Signal process termination. Thread: %X", pe->ThreadID.load());
    pe->Terminate = 1;
    QDVP_SignalTaskIO(pe);
  }
}

OSV1_LOCK QDVP_MainAnchorMutex = OSV1_LOCK_INITIALIZER;

void QDVP_ImmediateDPshutdown(void) {
  // Held throughout, so that the anchor cannot be released under a host thread's request.
  OSV1_GetLock(&QDVP_MainAnchorMutex);
  DPAB *anchor = Main_DPAB;
  if (anchor == nullptr) {
    OSV1_ReleaseLock(&QDVP_MainAnchorMutex);
    return;
  }
  QDVP_SignalProcessTermination(anchor);
  QDVP_SetAnchorFlag(anchor, &anchor->ShutdownRequested);
  OSV1_ReleaseLock(&QDVP_MainAnchorMutex);
}
