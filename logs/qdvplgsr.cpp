// The data provider log server task and the DP log report application.
//
// The report is a built-in application, OmniVar, with two tables: DPLOG, one row per operator
// message, and ACTION, one row per take action. It is registered and brought online through
// the agent link like any metafile application, on behalf of a process entry of its own. The
// server task takes queued messages one by one and delivers them (logs/qdvplmsg.cpp); while
// the data provider ends it keeps delivering slowly until only a few tasks are left.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_agentlink.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dchcomm.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_request.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvplgsr"};

namespace {

const char kApplName[] = "OmniVar";
const char kLogTable[] = "DPLOG";
const char kActionTable[] = "ACTION";
const char kVersion[] = "QDV350";
const char kApplHelp[] = "Data provider log and take action report of the QDV data provider.";
const char kLogHelp[] = "One row for each data provider log message.";
const char kActionHelp[] = "One row for each take action the data provider carried out.";

using Attribute = BuiltInAttribute;
const Attribute kLogAttrs[] = {
    {"DP_Time", "D", "24", "Time the message was reported"},
    {"DP_Name", "D", "32", "Name of the data provider"},
    {"DP_Type", "D", "4", "Type of the data provider"},
    {"DP_Log_Category", "D", "8", "Category of the message"},
    {"DP_Log_Text", "D", "256", "Text of the message"},
    {"DP_Version", "D", "8", "Version of the data provider"},
};
const Attribute kActionAttrs[] = {
    {"Action_Type", "D", "16", "Type of the action"},
    {"Action_Owner", "D", "64", "Owner of the action"},
    {"Action_Node", "D", "32", "Node the action ran for"},
    {"Action_Name", "D", "256", "Name of the action"},
    {"Action_Parms", "D", "1024", "Parameters of the action"},
    {"Action_Status", "D", "64", "Status of the action"},
    {"Action_Result", "D", "256", "Result of the action"},
    {"Action_ID", "C", "2147483647", "Identifier of the action"},
};

// The requester of the report's requests, per anchor (one data provider per process).
OSV1_LOCK sRequesterMutex QDVP_ACQUIRED_AFTER(DPAB::StateMutex) = OSV1_LOCK_INITIALIZER;  // a leaf
struct {
  DPAB *anchor;
  ProcessEntry *entry;
} sRequester QDVP_GUARDED_BY(sRequesterMutex) = {nullptr, nullptr};

void SetText(SourceEntry *source, const char *name, const char *value) {
  OSV1_Guard attrs(&source->AttrLock);
  for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
    if (strcmp(a->Name, name) != 0) continue;
    size_t n = strnlen(value, static_cast<size_t>(a->MaxValSize));
    memcpy(a->Value, value, n);
    a->ActualValSize = static_cast<int>(n);
  }
}

}  // namespace

ProcessEntry *QDVP_DPlogRequester(DPAB *anchor) {
  OSV1_GetLock(&sRequesterMutex);
  ProcessEntry *entry = sRequester.anchor == anchor ? sRequester.entry : nullptr;
  OSV1_ReleaseLock(&sRequesterMutex);
  return entry;
}

// Frees the report's requester (the DCH client's ending, or a failed definition).
void QDVP_ReleaseDPlogRequester(DPAB *anchor) {
  OSV1_GetLock(&sRequesterMutex);
  ProcessEntry *entry = nullptr;
  if (sRequester.anchor == anchor) {
    entry = sRequester.entry;
    sRequester = {nullptr, nullptr};
  }
  OSV1_ReleaseLock(&sRequesterMutex);
  if (entry != nullptr) QDVP_FreeProcessEntry(entry);
}

void QDVP_DefineDPlogReport(DPAB *anchor) {
  QDVP_TRC_ENTRY(trk);
  ApplEntry *appl = QDVP_InitializeApplicationEntry(anchor, kApplName, 1, kApplHelp);
  if (appl == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR,
             "*** Failed to initialize ApplicationEntry control block for Application <%s>",
             kApplName);
    return;
  }
  QDVP_ReleaseDPlogRequester(anchor);
  ProcessEntry *requester = QDVP_InitializeProcessEntry(anchor);
  OSV1_GetLock(&sRequesterMutex);
  sRequester = {anchor, requester};
  OSV1_ReleaseLock(&sRequesterMutex);

  const char *type =
      anchor->DPtype >= 0 && anchor->DPtype <= QDVP_TYPE_MAX ? DPtypeString[anchor->DPtype] : "DP";
  char node[128];
  snprintf(node, sizeof(node), "%s%.4sdp", QDV0_LocalHostNameString(), type);
  SourceEntry *log =
      QDVP_DefineBuiltInTable(anchor, appl, kLogTable, "E", nullptr, kLogHelp, kLogAttrs,
                              sizeof(kLogAttrs) / sizeof(kLogAttrs[0]), node);
  const char *ttl = QDV0_GetEnv("QDVP_ACTIONLOG_TTL", "1800");
  SourceEntry *action =
      QDVP_DefineBuiltInTable(anchor, appl, kActionTable, "K", ttl, kActionHelp, kActionAttrs,
                              sizeof(kActionAttrs) / sizeof(kActionAttrs[0]), node);
  if (log == nullptr || action == nullptr || requester == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_register failed for DP Log Report");
    QDVP_ReleaseApplResources(anchor, appl, 1);
    QDVP_ReleaseDPlogRequester(anchor);
    QDVP_DisplayValidationMessage(86, nullptr);
    return;
  }
  SetText(log, "DP_Name", node);
  char typeName[8];
  snprintf(typeName, sizeof(typeName), "%.4s", type);
  SetText(log, "DP_Type", typeName);
  SetText(log, "DP_Version", kVersion);

  DCHresult reg = QDVP_Request(anchor, log, QDVP_VERB_REGISTER, requester);
  if (reg.outcome == DCHoutcome::Taken) {
    if (reg.status == QDVP_DCH_STATUS_ALREADY_KNOWN) QDVP_ReleaseApplGroupHelp(appl);
    QDVP_UpdateSourceEntryState(log, QDVP_Ready);
  } else if (reg.outcome != DCHoutcome::NoAnswer && reg.outcome != DCHoutcome::LinkLost) {
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_register failed for DP Log Report [%s %d]",
             QDVP_OutcomeName(reg.outcome), reg.status);
    QDVP_ReleaseApplResources(anchor, appl, 1);
    QDVP_ReleaseDPlogRequester(anchor);
    QDVP_DisplayValidationMessage(86, nullptr);
    return;
  }
  // Both sources are the data provider's own reports: take actions never go to a client
  // through them.
  log->InternalReport = action->InternalReport = 1;
  if (reg.outcome == DCHoutcome::Taken) {
    // A source whose online fails stays Ready: the periodic scan brings the report online
    // again, the ACTION table comes online with its first row.
    QDVP_BringRegisteredOnline(anchor, {log, action}, requester);
  } else {
    // Deferred: the periodic scan registers the application again and brings the report online.
    QDVP_TRC(trk, TRK1_DETAIL, ">>> DP Log Report online delayed");
  }
  anchor->pDPlogSource = log;
  anchor->pActionSource = action;
  QDVP_TRC_EXIT(trk, log->State);
}

void QDVP_DPlogServer(ProcessEntry *entry) {
  DPAB *anchor = entry->pDPAB;
  entry->ThreadID = OSV1_ThreadID();
  anchor->pDPlogServer.store(static_cast<void *>(entry));
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> DP Log Server process started. Thread: %X",
           entry->ThreadID.load());
  QDVP_SetAnchorFlag(anchor, &anchor->DPlogReady);
  while (!entry->Terminate) {
    OSV1_GetLock(&entry->TaskIOmutex);
    bool empty;
    {
      OSV1_Guard queue(&anchor->DPlogQueueLock);
      empty = anchor->pDPlogQueueHead == nullptr;
    }
    if (empty && !entry->Terminate) {
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>> DP Log Server Task waits on TaskIO notification");
      QDV0_ConditionWait(&entry->TaskIOcond, &entry->TaskIOmutex);
    }
    OSV1_ReleaseLock(&entry->TaskIOmutex);
    WorkItem *item;
    while (!entry->Terminate && (item = QDVP_GetNextDPlogRequest(anchor)) != nullptr) {
      QDVP_DispatchQueuedDPlogEntry(anchor, item, 1);
    }
  }
  // While the others end: at most one message a second, then the rest is dropped.
  for (;;) {
    OSV1_GetLock(&anchor->StateMutex);
    int active = anchor->ActiveTasks;
    if (active >= 4) QDV0_ConditionTimedWait(&anchor->StateCond, &anchor->StateMutex, 1);
    OSV1_ReleaseLock(&anchor->StateMutex);
    if (active < 4) break;
    WorkItem *item = QDVP_GetNextDPlogRequest(anchor);
    if (item != nullptr) QDVP_DispatchQueuedDPlogEntry(anchor, item, 1);
  }
  for (WorkItem *item; (item = QDVP_GetNextDPlogRequest(anchor)) != nullptr;) {
    QDVP_DispatchQueuedDPlogEntry(anchor, item, 0);
  }
  anchor->pDPlogServer.store(static_cast<void *>(nullptr));
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> DP Log Server process ended. Thread: %X",
           entry->ThreadID.load());
  QDVP_EndTask(anchor, entry);
}
