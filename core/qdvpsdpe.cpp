// Environment start: the common tasks every data provider runs, in their fixed order, and the
// check that refuses a second data provider of the same type on this host.
#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"
#include "support/qdv0.h"
#include "support/qdv0chck.h"
#include "support/trk1.h"

static TRK1_BLOCK trk = {"qdvpsdpe"};

// A common task: type -1, no parameter, no startup wait. A task that cannot be created is an
// operator error: the line names it (task is how the operator knows it).
static int CreateCommonTask(DPAB *anchor, QDVP_TASK_ROUTINE routine, const char *failMessage,
                            const char *task) {
  if (QDVP_CreateProcess(anchor, QDVP_COMMON_TASK, nullptr, routine, 0, nullptr)) return 1;
  int err = errno;
  QDVP_TRC(trk, TRK1_ERROR, "%s", failMessage);
  QDV0_OperatorLine(QDV0_PRIORITY_ERROR, "qdvp: the %s task could not be started: %s", task,
                    strerror(err));
  return 0;
}

// The directories the operator configured, looked at before anything depends on them: a
// metafile directory that is not there loads nothing, and a state directory that cannot be
// written saves no read position. Each is an error line for the operator; the start goes on
// (a metafile server may supply the metafiles, and monitoring works without saved positions).
// Why a configured directory does not serve: null when it does. writable: it must also take
// new files.
static const char *DirectoryProblem(const char *path, bool writable) {
  struct stat st;
  if (stat(path, &st) != 0) return errno == ENOENT ? "does not exist" : "cannot be looked at";
  if (!S_ISDIR(st.st_mode)) return "is no directory";
  if (access(path, writable ? (R_OK | W_OK | X_OK) : (R_OK | X_OK)) != 0) {
    return writable ? "cannot be written" : "cannot be read";
  }
  return nullptr;
}

static void CheckConfiguredDirectories(DPAB *anchor) {
  bool metafiles = anchor->DPtype != QDVP_TYPE_POST && anchor->DPtype != QDVP_TYPE_HTTP;
  const char *problem = metafiles && anchor->pMetaPath != nullptr
                            ? DirectoryProblem(anchor->pMetaPath, false)
                            : nullptr;
  if (problem != nullptr) {
    bool remote = QDV0_GetEnv("QDVP_META_SERVER", nullptr) != nullptr;
    QDV0_OperatorLine(remote ? QDV0_PRIORITY_WARNING : QDV0_PRIORITY_ERROR,
                      "qdvp: the metafile directory %s (QDVP_META_PATH) %s%s", anchor->pMetaPath,
                      problem, remote ? ": metafiles come from the metafile server only" : "");
  }
  const char *state = QDV0_GetEnv("QDVP_STATE_DIR", nullptr);
  bool fileServers = anchor->DPtype == QDVP_TYPE_FILE || anchor->DPtype == QDVP_TYPE_ASFS;
  problem = fileServers && state != nullptr ? DirectoryProblem(state, true) : nullptr;
  if (problem != nullptr) {
    QDV0_OperatorLine(QDV0_PRIORITY_ERROR,
                      "qdvp: the state directory %s (QDVP_STATE_DIR) %s: read positions of "
                      "monitored files will not be saved",
                      state, problem);
  }
}

static int DebugFlag(const char *variable, const char *traceLine) {
  const char *value = QDV0_GetEnv(variable, "N");
  if (value[0] == 'Y' || value[0] == 'y') {
    QDVP_TRC(trk, TRK1_DETAIL, "%s", traceLine);
    return 1;
  }
  return 0;
}

// Starts the metafile server and waits for its startup signal; a server that reports failure
// is released and start-up goes on without it.
static void StartMetaServer(DPAB *anchor, const char *serverText) {
  ProcessEntry *entry = nullptr;
  if (!QDVP_CreateProcess(anchor, QDVP_COMMON_TASK, const_cast<char *>(serverText),
                          QDVP_MetaServerTask, 1, &entry)) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Metafile server process startup failed");
    return;
  }
  OSV1_LockIsHeld(&entry->TaskIOmutex);
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Main task waits for Meta Server task startup notification");
  int rc = QDV0_ConditionWait(&entry->TaskIOcond, &entry->TaskIOmutex);
  int err = errno;
  int failed = entry->Terminate.load() == 1;
  OSV1_ReleaseLock(&entry->TaskIOmutex);
  if (failed) {
    QDVP_ReleaseProcessResources(anchor, entry);
    QDVP_TRC(trk, TRK1_ERROR, "***** Meta Server task startup failed");
  } else {
    QDVP_TRC(trk, TRK1_DETAIL,
             ">>>>> Main task received Meta Server task initialization signal, rc %d errno %d", rc,
             err);
  }
}

int QDVP_StartDataProviderEnvironment(DPAB *anchor) {
  QDVP_TRC_ENTRY(trk);
  const char *geo = QDV0_GetEnv("QDV_GEO_LOCATION", nullptr);
  QDV_Agent_Geographic_Location = const_cast<char *>(geo);
  if (!QDV0_InitializeProductSpec()) {
    QDVP_TRC(trk, TRK1_ERROR, "*****Product specification initialization unsuccessful");
    return 0;
  }
  const char *product = QDV0_QueryProductSpec(3);
  QDVP_TRC(trk, TRK1_DETAIL, "-----> %s DP build type %s product %s <-----", QDVP_RELEASE_ID,
           DPtypeString[anchor->DPtype], product ? product : "");
  anchor->TransportType = QDVP_ValidateTransportType(QDV0_GetEnv("QDVP_DP_TRANSPORT", nullptr));

  if (anchor->DPtype == QDVP_TYPE_SNMP) {
    QDVP_DEBUG_MIBMGR = DebugFlag("QDVP_SNMP_DEBUG_MIB_MANAGER",
                                  "----------Debug SNMP MIB Manager in effect----------");
    QDVP_DEBUG_MIBIO =
        DebugFlag("QDVP_SNMP_DEBUG_MIB_IO", "----------Debug SNMP MIB IO in effect----------");
    QDVP_DEBUG_Network = DebugFlag("QDVP_SNMP_DEBUG_DISCOVERY_NETWORK",
                                   "----------Debug Network Management in effect----------");
  }
  if (QDVP_CheckDPalreadyActive(anchor)) return 0;

  QDVP_InstallRecordServices();
  if (!CreateCommonTask(anchor, QDVP_DCHclientRoutine, "***** DCH client process startup failed",
                        "agent link (DCH client)"))
    return 0;
  if (!CreateCommonTask(anchor, QDVP_TaskPeriodical,
                        "***** Background activity scan process startup failed", "periodic scan"))
    return 0;
  if (anchor->StandAlone) return 1;
  CheckConfiguredDirectories(anchor);
  // The metrics page is there from the start, before the agent has answered anything: an
  // operator can watch a data provider that waits for its agent.
  if (atoi(QDV0_GetEnv("QDVP_METRICS_PORT", "0")) > 0) {
    CreateCommonTask(anchor, QDVP_MetricsServer, "***** Metrics page process startup failed",
                     "metrics page");
  }

  QDVP_DefineDPlogReport(anchor);
  if (anchor->DPtype == QDVP_TYPE_HTTP) QDVP_DefineHTTPapplication(anchor);
  if (anchor->DPtype == QDVP_TYPE_SNMP) QDVP_DefineNoDataReport(anchor);

  if (QDV0_QueryProductSpec(15) != nullptr) {
    if (!CreateCommonTask(anchor, QDVP_DPlogServer, "***** DP log server process startup failed",
                          "data provider log"))
      return 0;
    while (!QDVP_WaitForAnchorFlag(anchor, &anchor->DPlogReady, 1) && !anchor->ShutdownRequested) {
    }
  }

  const char *metaServer = QDV0_GetEnv("QDVP_META_SERVER", nullptr);
  if (QDV0_QueryProductSpec(0) == nullptr && anchor->DPtype != QDVP_TYPE_POST &&
      metaServer != nullptr) {
    StartMetaServer(anchor, metaServer);
  }

  if (anchor->DPtype != QDVP_TYPE_SNMP && anchor->DPtype != QDVP_TYPE_POST &&
      anchor->DPtype != QDVP_TYPE_HTTP) {
    if (QDVP_ProcessStartUpConfig(anchor) == 0) QDVP_DoApplicationAutoLoad(anchor);
  }

  if (!CreateCommonTask(anchor, QDVP_AutomationServer,
                        "***** Automation Server process startup failed", "automation server"))
    return 0;
  QDVP_TRC_EXIT(trk, 1);
  return 1;
}

int QDVP_ConsolePortOfType(int type) {
  const char *offset = QDV0_QueryProductSpec(23);
  int base = QDVP_BASE_PORT_CONSOLE + (offset ? atoi(offset) : 0);
  const char *consolePort = QDV0_GetEnv("QDVP_DPCONSOLE_PORT", nullptr);
  if (consolePort != nullptr) base = atoi(consolePort);
  return static_cast<uint16_t>(base + type);
}

int QDVP_CheckDPalreadyActive(DPAB *anchor) {
  if (anchor->StandAlone) return 0;
  if (anchor->TransportType == 'R') {
    // The RPC transport has no operations in this build: the start ends here, and says why.
    fprintf(stderr,
            "QDVP QDVP_DP_TRANSPORT=%s: the RPC transport is not available in this build; "
            "leave the variable unset or set it to I (TCP/IP)\n",
            QDV0_GetEnv("QDVP_DP_TRANSPORT", "R"));
    QDVP_TRC(trk, TRK1_ERROR, "***** DCH transport R (RPC) is not available in this build");
    return 1;
  }
  uint16_t port = static_cast<uint16_t>(QDVP_ConsolePortOfType(anchor->DPtype));
  struct sockaddr_in address;
  memset(&address, 0, sizeof(address));
  int s = QDV0_OpenLocalSocket(1, htons(port), &address, 1);
  if (s != -1) {
    QDV0_CloseTheSocket(s);
    return 0;
  }
  // Only a port in use means that the type runs already; any other failure (an address that
  // is not this host's, a port below 1024) is reported as what it is.
  int err = errno;
  if (err != EADDRINUSE) {
    QDV0_ReportBindFailure("console", port, err);
    return 1;
  }
  QDVP_TRC(trk, TRK1_ERROR, "***** Same Type DP <%s> already running on this system.",
           DPtypeString[anchor->DPtype]);
  QDVP_DisplayValidationMessage(89, nullptr);
  // The message says why, not where: the port may be held by another program altogether.
  struct in_addr bound;
  bound.s_addr = QDV0_BindAddress();
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &bound, text, sizeof(text));
  QDV0_OperatorLine(QDV0_PRIORITY_ERROR,
                    "qdvp: the console port %d/udp on %s is in use: a %s data provider, or another "
                    "program, holds it (QDVP_DPCONSOLE_PORT, DP_PORT_OFFSET)",
                    port, text, DPtypeString[anchor->DPtype]);
  return 1;
}
