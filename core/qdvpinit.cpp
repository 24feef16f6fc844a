// Startup initialization: reads the environment and the product specification, builds the
// anchor block with its locks, file names, buffers and time-zone offset, and publishes it.
#include <errno.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"
#include "support/qdv0.h"
#include "support/qdv0chck.h"
#include "support/trk1.h"

static TRK1_BLOCK trk = {"qdvpinit"};

const DSFT RPC_DSFT = {nullptr, nullptr, nullptr, nullptr, nullptr};

char QDVP_ValidateTransportType(const char *value) {
  if (value != nullptr) {
    char c = value[0];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == 'I' || c == 'R') return c;
  }
  return 'I';
}

int QDVP_ComputeTZoffset(const struct tm *gmt, const struct tm *local) {
  // Dates compare by year, then day of the year, so that 31 December and 1 January order
  // correctly across the turn of the year.
  long g = gmt->tm_year * 400L + gmt->tm_yday;
  long l = local->tm_year * 400L + local->tm_yday;
  if (l == g) return local->tm_hour - gmt->tm_hour;
  if (l < g) return local->tm_hour - (gmt->tm_hour + 24);
  return (local->tm_hour + 24) - gmt->tm_hour;
}

void QDVP_SetupMainDPanchor(DPAB *anchor) {
  if (anchor == nullptr) return;
  OSV1_GetLock(&QDVP_MainAnchorMutex);
  Main_DPAB = anchor;
  OSV1_ReleaseLock(&QDVP_MainAnchorMutex);
}

static void InitializeAnchorLocks(DPAB *anchor) {
  OSV1_LOCK *locks[] = {&anchor->ApplListLock,    &anchor->IOEListLock,     &anchor->ApplIOLock[0],
                        &anchor->ApplIOLock[1],   &anchor->ApplIOLock[2],   &anchor->ApplIOLock[3],
                        &anchor->ProcessListLock, &anchor->DCHqueueLock,    &anchor->ActionListLock,
                        &anchor->WorkerListLock,  &anchor->WaitQueueLock,   &anchor->AutoQueueLock,
                        &anchor->SNMPnodeLock,    &anchor->SelectLock,      &anchor->IRBLock,
                        &anchor->OMBLock,         &anchor->StatLock,        &anchor->DPlogQueueLock,
                        &anchor->HTTPupdateLock,  &anchor->ObjectUpdateLock};
  static_assert(sizeof(locks) / sizeof(locks[0]) == 20, "the anchor has twenty locks");
  for (OSV1_LOCK *lock : locks) OSV1_InitializeLock(lock);
  OSV1_InitializeLock(&anchor->StateMutex);
}

// Every environment value with a rule (a number, a port, an address, a word) is checked before
// any is used: a bad one stops the start with a line that names the variable and the value.
static int CheckEnvironmentValues(void) {
  std::vector<std::string> problems;
  if (QDV0_CheckEnvironment(&problems) == 0) return 1;
  for (const std::string &problem : problems) {
    QDV0_OperatorLine(QDV0_PRIORITY_ERROR, "qdvp: %s", problem.c_str());
    QDVP_TRC(trk, TRK1_ERROR, "***** %s", problem.c_str());
  }
  return 0;
}

DPAB *QDVP_StartupInitialization(void) {
  QDVP_TRC_ENTRY(trk);
  if (!CheckEnvironmentValues()) return nullptr;
  const char *initConfigPath = QDV0_GetEnv("QDVP_INIT_CONFIG_PATH", nullptr);
  const char *transport = QDV0_GetEnv("QDVP_DP_TRANSPORT", nullptr);
  const char *actionLog = QDV0_GetEnv("QDVP_ACTION_LOG_FILENAME", "DPACTLOG");
  const char *trapDestination = QDV0_GetEnv("QDVP_TRAP_DESTINATION", nullptr);

  if (!QDV0_InitializeProductSpec()) {
    QDVP_TRC(trk, TRK1_ERROR, "*****Product specification initialization unsuccessful");
    return nullptr;
  }
  const char *initConfigName = QDV0_QueryProductSpec(24);
  const char *metaPath = QDV0_GetEnv("QDVP_META_PATH", "./metafiles");
  QDVP_TRC(trk, TRK1_DETAIL, "Current metafile directory %s", metaPath);

  if (QDV0_WinSockInitialization(1) != 0) {
    QDVP_TRC(trk, TRK1_ERROR, "Failed to initialize the WinSock environment");
    return nullptr;
  }
  auto *anchor = QDV0_New<DPAB>();
  if (anchor == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Unable to acquire DP_Anchor storage, errno %d", errno);
    return nullptr;
  }
  InitializeAnchorLocks(anchor);
  anchor->pStatPE = QDVP_InitializeProcessEntry(anchor);
  anchor->pStatBlock = QDVP_InitializeStatisticBlock();
  anchor->StartTime = QDV0_Time();

  anchor->pActionLogFile = QDV0_QualifyFileName(nullptr, actionLog);

  // The startup configuration is in QDVP_INIT_CONFIG_PATH (else the default directory) unless
  // the product specification names it with its directory.
  char *configDir = QDV0_CheckPathSpec(initConfigPath);
  anchor->pInitConfigFile = QDV0_QualifyFileName(configDir, initConfigName ? initConfigName : "");
  if (configDir != initConfigPath) QDV0_Free(configDir);

  char *metaDir = QDV0_CheckPathSpec(metaPath);
  anchor->pMetaPath = metaDir ? QDV0_StrDup(metaDir) : nullptr;
  if (metaDir == nullptr || anchor->pMetaPath == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Unable to acquire storage for Meta path, errno %d", errno);
  }
  if (metaDir != metaPath) QDV0_Free(metaDir);

  anchor->pAPIudpBuffer = static_cast<char *>(QDV0_GetStorage(QDVP_API_UDP_BUFFER_SIZE));
  if (anchor->pAPIudpBuffer == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** no storage for API UDP buffer. Deferred");
  }

  time_t now = QDV0_Time();
  struct tm gmt, local;
  gmtime_r(&now, &gmt);
  localtime_r(&now, &local);
  anchor->TZoffset = QDVP_ComputeTZoffset(&gmt, &local);
  QDVP_TRC(trk, TRK1_DETAIL, "Time Zone difference from GMT is %d", anchor->TZoffset);

  {
    OSV1_Guard destinations(&QDVP_TrapDestLock);
    anchor->pTrapDest = QDVP_ConstructTrapDestinationArray(trapDestination, &anchor->TrapDestCount);
  }
  // Without the variable, the trap configuration file (when there is one) names them.
  if (trapDestination == nullptr) QDVP_LoadTrapConfiguration(anchor);

  char letter = transport ? transport[0] : 'I';
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter == 'R') {
    anchor->pDSFT = &RPC_DSFT;
  } else {
    if (letter != 'I') {
      QDVP_TRC(trk, TRK1_ERROR, "*** Invalid DCH transport type %c, TCPIP type assumed", letter);
    }
    anchor->pDSFT = &TCPIP_DSFT;
  }
  QDVP_DetermineMaxAttributesPerGroup();
  QDVP_TRC_EXIT(trk, 1);
  return anchor;
}
