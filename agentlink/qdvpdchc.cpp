// The DCH client task: alone owns the connection to the agent and sends every request.
//
// It serves a queue of sources. Each source's state says what the agent must be told:
// register its application (Register), bring it online (Ready), send its row (Output), send an
// action reply (Reply), take it offline (Inactive) or unregister its application (Unregister).
// The client takes its whole queue at once, so producers never wait for an exchange with the
// agent, handles each source under its entry lock, sets its new state from the agent's status,
// leaves the status on the source (the request's outcome, qdvpdreq.cpp) and wakes the task that
// queued it. A row that is not stored for good is counted on its source and told (DP log 90).
// Statuses that ask for more work (2 on a row, 4 on an online) are followed up in the same pass.
// After every new connection the sources online at the agent ask for actions again
// (RenewActionWaits). While it waits for work with nothing under way, a producer sends its own
// plain row (one row in flight over TCP) without waking it (qdvpdsnd.cpp); the client takes
// such a row back only when its status is not 0 or does not come. At the end it takes the DP log
// report offline and unregisters the applications, then closes the connection.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_actions.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dchcomm.h"
#include "../include/qdvp_stats.h"

static TRK1_BLOCK trk = {"qdvpdchc"};

namespace {

const char kDPlogApplName[] = "OmniVar";

// Gives every source of the application the new state.
void SetApplicationState(ApplEntry *appl, int state) {
  OSV1_Guard tables(&appl->TableListLock);
  for (TableEntry *t = appl->pTableList; t != nullptr; t = t->pNext) {
    OSV1_Guard sources(&t->SourceListLock);
    for (SourceEntry *s = t->pSourceList; s != nullptr; s = s->pNext) {
      QDVP_UpdateSourceEntryState(s, state);
    }
  }
}

struct Pass {
  bool redriveRegister = false;  // a registration asked for by an online's status 4
  bool redriveData = false;      // a row answered 2, to be sent again once online
  bool deferred = false;         // the row was held behind a failed one: recover the window
  bool handedOff = false;        // the row's status is the receive task's to settle
};

// The window field of the last reply, stored by the receive task.
uint32_t ReplyWindow(DCHcomm *comm) {
  OSV1_Guard status(&comm->StatusMutex);
  return comm->ReplyWindow;
}

void Register(DPAB *anchor, SourceEntry *source, DCHcomm *comm) {
  QDVP_TRC(trk, TRK1_DETAIL, ">>> Process DP register");
  QDVP_DoDPregister(source, comm);
  ApplEntry *appl = source->pTable->pAppl;
  int state;
  {
    OSV1_Guard link(&comm->LinkLock);
    int status = comm->Status;
    if (status == 0) {
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>> dp_register completed");
      state = QDVP_Ready;
      // The window the agent allows (none when its reply has no window field).
      comm->Window = static_cast<int>(ReplyWindow(comm));
      if (comm->Window > comm->WantedWindow) comm->Window = comm->WantedWindow;
    } else if (status == QDVP_DCH_STATUS_ALREADY_KNOWN) {
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>> dp_register completed. Application already known to DCH");
      state = QDVP_Register;
    } else if (status == QDVP_DCH_STATUS_TIMED_OUT || status == QDVP_DCH_STATUS_DISCONNECTED) {
      // No answer: the agent did not answer in time, or closed the connection without one
      // (it had no room for it). The periodic scan registers the application again.
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>> dp_register deferred");
      state = QDVP_Pending;
    } else {
      QDVP_TRC(trk, TRK1_ERROR, "*** dp_register failed. status %d", status);
      state = QDVP_Initial;
    }
  }
  if (state == QDVP_Ready && !anchor->StandAlone && comm->ReceiveMode == QDVP_DCH_MODE_UDP) {
    // Registered over UDP: TCP is tried once more; without it the link stays on UDP for good.
    anchor->pDSFT->WaitDCHcomeOnline(comm);
    if (comm->ReceiveMode == QDVP_DCH_MODE_UDP) comm->ReceiveMode = QDVP_DCH_MODE_UDP_KEPT;
  }
  SetApplicationState(appl, state);
  if (state == QDVP_Ready) QDVP_ReleaseApplGroupHelp(appl);
}

// What the agent is told of a source that accepts actions: its node, and which kinds of
// action it takes besides automation (SNMP rules for an SNMP source, rules for a built-in
// source other than the DP log report's).
struct ActionWait {
  std::string node;
  int requestNumber = 0;
  bool snmpRules = false;
  bool rules = false;
};

// An API client's SETSRC replaces the node name under the source's AttrLock: it is copied there.
ActionWait WaitOf(SourceEntry *source) {
  ActionWait wait;
  {
    OSV1_Guard hold(&source->AttrLock);
    wait.node = source->pSourceNodeName ? source->pSourceNodeName : "";
  }
  wait.requestNumber = source->RequestNumber.load();
  wait.snmpRules = source->Kind == 'N';
  wait.rules = source->Kind == 'B' && strncmp(source->pTable->pAppl->ApplName, kDPlogApplName,
                                              strlen(kDPlogApplName)) != 0;
  return wait;
}

// Tells the agent which actions the source accepts; failures are noted and ignored.
void SendWaits(const ActionWait &wait, DCHcomm *comm) {
  const char *node = wait.node.c_str();
  QDVP_DoDPwaitForNode(node, wait.requestNumber, comm, QDVP_WAIT_AUTOMATION);
  if (comm->Status != 0) {
    QDVP_TRC(trk, TRK1_ERROR, "*** Automation unable for subnode %s. DCH API failed", node);
    comm->Status = 0;
  } else {
    QDVP_TRC(trk, TRK1_DETAIL, "Automation enabled for subnode %s", node);
  }
  if (wait.snmpRules) {
    QDVP_DoDPwaitForNode(node, wait.requestNumber, comm, QDVP_WAIT_SNMP_RULE);
    if (comm->Status != 0) {
      QDVP_TRC(trk, TRK1_ERROR, "*** SNMP Rule not enabled for subnode %s. DCH API failed", node);
    } else {
      QDVP_TRC(trk, TRK1_DETAIL, "SNMP Rule enabled for subnode %s", node);
    }
  }
  if (wait.rules) {
    QDVP_DoDPwaitForNode(node, wait.requestNumber, comm, QDVP_WAIT_RULE);
    if (comm->Status != 0) {
      QDVP_TRC(trk, TRK1_ERROR, "*** Rule not enabled for subnode %s. DCH API failed", node);
    } else {
      QDVP_TRC(trk, TRK1_DETAIL, "Rule enabled for subnode %s", node);
    }
  }
}

void WaitForActions(SourceEntry *source, DCHcomm *comm) { SendWaits(WaitOf(source), comm); }

// A source the agent holds online: it asked for actions when it came online.
bool OnlineAtAgent(const SourceEntry *source) {
  int state = source->State;
  return state >= QDVP_Active && state <= QDVP_Inactive;
}

// Returns true when the source is to be processed again in its new state.
bool Online(DPAB *anchor, SourceEntry *source, DCHcomm *comm, Pass *pass) {
  QDVP_TRC(trk, TRK1_DETAIL, ">>> Process DP online");
  if (source->pTable->TTL > 0 && source->pCopyOf == nullptr) {
    SourceEntry *copy = QDVP_TakeWaitQueueCopy(anchor, source);
    if (copy != nullptr) {
      source->pAction = copy->pAction;
      OSV1_DestroyLock(&copy->EntryLock);
      QDV0_Free(copy);
      QDVP_UpdateSourceEntryState(source, QDVP_Active);
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>>dp_online bypassed. Data TTL has not expired");
      return false;
    }
  }
  WaitForActions(source, comm);
  QDVP_DoDPonline(source, comm);
  int status = comm->Status;
  if (status == 0) {
    QDVP_UpdateSourceEntryState(source, QDVP_Active);
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>> dp_online completed");
    if (pass->redriveData) {
      pass->redriveData = false;
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>>redrive dp_data that initiated reconnection");
      QDVP_UpdateSourceEntryState(source, QDVP_Output);
      return true;
    }
  } else if (status == QDVP_DCH_STATUS_REREGISTER) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>>redrive dp_register");
    QDVP_UpdateSourceEntryState(source, QDVP_Register);
    pass->redriveRegister = true;
    return true;
  } else {
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_online failed. status %d", status);
  }
  return false;
}

// A row the agent link could not deliver for good (refused by the agent, or lost without a
// status where nothing sends it again): counted on its source, for the producer that went on
// meanwhile, and told to the operator in DP log 90 (not for the DP log report's own rows, whose
// message would be another such row).
void RowNotTaken(DPAB *anchor, SourceEntry *source, int status) {
  source->RowsNotTaken.fetch_add(1);
  if (source == anchor->pDPlogSource || source->pTable == nullptr) return;
  std::string node = QDVP_SourceNodeName(source);
  if (node.empty() && source->pSourceName != nullptr) node = source->pSourceName;
  const char *appl = source->pTable->pAppl ? source->pTable->pAppl->ApplName : "";
  char code[16];
  snprintf(code, sizeof(code), "%d", status);
  QDVP_SendDPlogMessage(anchor, 90, appl, source->pTable->TableName,
                        node.empty() ? "?" : node.c_str(), code);
}

bool Data(DPAB *anchor, SourceEntry *source, DCHcomm *comm, Pass *pass) {
  QDVP_TRC(trk, TRK1_DETAIL, ">>> Process DP data");
  const DCHservices *services = QDVP_GetDCHservices();
  if (QDVP_WindowedSource(comm, source)) {
    // In the window: the row goes out and the source is free for its next one; the row's
    // status is settled later, and a failed row is sent again by the window's recovery.
    // Behind a failed row in flight, this one is built now, while its values are there, and
    // held behind every row in flight, to go out with them once the window is recovered (which
    // takes other sources' locks, so the client does it after letting this one go).
    bool held = !QDVP_WindowRoom(comm);
    if (held) {
      QDVP_DrainWindow(comm);
      pass->deferred = true;
    }
    QDVP_SendDataRowInWindow(source, comm, held);
    source->RowPosted = 1;
  } else if (source->pSMB != nullptr && services->SummaryOutput != nullptr) {
    services->SummaryOutput(source, comm);
  } else if (QDVP_DoDPdataOrHandOff(source, comm)) {
    // The receive task settles the row for its requester (or hands it back): the source is
    // no longer the client's to touch.
    pass->handedOff = true;
    return false;
  }
  int status = comm->Status;
  source->LastDataStatus = status;
  if (status == 0) {
    QDVP_UpdateSourceEntryState(source, QDVP_Active);
    QDVP_TRC(trk, TRK1_DETAIL, "dp_data completed");
    if (source->pTable->TTL > 0) source->TTLexpiry = QDV0_Time() + source->pTable->TTL;
  } else if (status == QDVP_DCH_STATUS_TIMED_OUT) {
    QDVP_UpdateSourceEntryState(source, QDVP_Inactive);
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_data failed. DCH request timed out");
    RowNotTaken(anchor, source, status);
  } else if (status == QDVP_DCH_STATUS_SYNC_REQUIRED) {
    QDVP_UpdateSourceEntryState(source, QDVP_Ready);
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_data failed. DCH synchronization required");
    pass->redriveData = true;
    return true;
  } else {
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_data failed. status %d", status);
    RowNotTaken(anchor, source, status);
  }
  return false;
}

// Returns the copy to destroy after notification, or null.
SourceEntry *Offline(DPAB *anchor, ProcessEntry *entry, SourceEntry *source, DCHcomm *comm) {
  QDVP_TRC(trk, TRK1_DETAIL, ">>> Process DP offline");
  bool now = source->OfflineNow || source->Kind == 'F' || entry->Terminate ||
             source->pTable->TTL <= 0 || source->TTLexpiry <= QDV0_Time();
  if (now) {
    QDVP_DoDPoffline(source, comm);
    QDVP_UpdateSourceEntryState(source, QDVP_Ready);
    source->OfflineNow = 0;
    QDVP_TRC(trk, TRK1_DETAIL, "dp_offline completed");
    if (source->pCopyOf != nullptr) {
      QDVP_RemoveSourceFromWaitQueue(anchor, source);
      return source;
    }
    SourceEntry *copy = QDVP_TakeWaitQueueCopy(anchor, source);
    if (copy != nullptr) {
      OSV1_DestroyLock(&copy->EntryLock);
      QDV0_Free(copy);
    }
    return nullptr;
  }
  auto *copy = QDV0_New<SourceEntry>();
  QDVP_TRC(trk, TRK1_STORAGE, "Allocated source entry @%p for length %d", (void *)copy,
           static_cast<int>(sizeof(SourceEntry)));
  if (copy != nullptr) {
    OSV1_Guard queue(&anchor->WaitQueueLock);
    SourceEntry **tail = &anchor->pWaitQueue;
    bool present = false;
    for (; *tail; tail = &(*tail)->pWaitNext) {
      if ((*tail)->pCopyOf == source) present = true;
    }
    if (present) {
      QDVP_TRC(trk, TRK1_DETAIL, ">>>Source entry @%p already on delay offline queue",
               (void *)source);
      QDV0_Free(copy);
    } else {
      // Only the fields the offline needs are carried; the copy owns no storage of its own.
      copy->pTable = source->pTable;
      copy->pSourceName = nullptr;
      copy->Kind = source->Kind;
      copy->pAction = source->pAction;
      copy->TTLexpiry = source->TTLexpiry;
      copy->RequestNumber = source->RequestNumber.load();
      memcpy(copy->DCHhandle, source->DCHhandle, 4);
      copy->pCopyOf = source;
      OSV1_InitializeLock(&copy->EntryLock);
      QDVP_TRC(trk, TRK1_DETAIL, "Initializing EntryLock for TempSE @%p, copied from currSEptr @%p",
               (void *)copy, (void *)source);
      copy->State = QDVP_Ready;
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>>dp_offline postponed until TTL expiration");
      QDVP_TRC(trk, TRK1_DETAIL,
               anchor->pWaitQueue == nullptr ? "Source entry @%p enqueued to top of offline queue"
                                             : "Source entry @%p enqueued to offline queue",
               (void *)copy);
      *tail = copy;
    }
  }
  QDVP_UpdateSourceEntryState(source, QDVP_Ready);
  return nullptr;
}

void Unregister(DPAB *anchor, SourceEntry *source, DCHcomm *comm) {
  QDVP_TRC(trk, TRK1_DETAIL, ">>> Process DP unregister");
  ApplEntry *appl = source->pTable->pAppl;
  for (;;) {
    SourceEntry *copy = nullptr;
    {
      OSV1_Guard queue(&anchor->WaitQueueLock);
      for (SourceEntry **link = &anchor->pWaitQueue; *link; link = &(*link)->pWaitNext) {
        // A copy already queued for its offline is the client's to finish.
        if ((*link)->pTable->pAppl == appl && (*link)->State != QDVP_Inactive) {
          copy = *link;
          *link = copy->pWaitNext;
          break;
        }
      }
    }
    if (copy == nullptr) break;
    QDVP_DoDPoffline(copy, comm);
    QDVP_TRC(trk, TRK1_STORAGE, "Freeing Source entry @%p", (void *)copy);
    OSV1_DestroyLock(&copy->EntryLock);
    QDV0_Free(copy);
  }
  QDVP_DoDPunregister(source, comm);
  QDVP_UpdateSourceEntryState(source, QDVP_Initial);
  QDVP_TRC(trk, TRK1_DETAIL, "dp_unregister completed");
}

// Acts on one source by its state; returns the copy to destroy afterwards, or null. *handedOff
// says that the request is the receive task's to end (its row was handed off).
SourceEntry *Process(ProcessEntry *entry, SourceEntry *source, DCHcomm *comm, bool *deferred,
                     bool *handedOff) {
  DPAB *anchor = entry->pDPAB;
  Pass pass;
  SourceEntry *destroy = nullptr;
  // What this request ends with, for its requester (QDVP_Request): a step that sends nothing
  // (an online bypassed within the time to live) ends with 0.
  comm->Status = 0;
  source->RowPosted = 0;
  for (int round = 0; round < 8; round++) {
    bool again = false;
    int state = source->State;
    switch (state) {
      case QDVP_Initial:
      case QDVP_Active:
      case QDVP_Input:
      case QDVP_Action:
        QDVP_TRC(trk, TRK1_ERROR, "*** Logic error. Source in %s state, ignored",
                 QDVP_SourceStateName[state]);
        break;
      case QDVP_Register:
        Register(anchor, source, comm);
        if (pass.redriveRegister && source->State == QDVP_Ready) {
          pass.redriveRegister = false;
          again = true;
        }
        break;
      case QDVP_Ready:
        again = Online(anchor, source, comm, &pass);
        break;
      case QDVP_Output:
        again = Data(anchor, source, comm, &pass);
        break;
      case QDVP_Reply:
        QDVP_TRC(trk, TRK1_DETAIL, ">>> Process DP activity reply");
        QDVP_SendActionReply(comm, source);
        QDVP_UpdateSourceEntryState(source, QDVP_Action);
        break;
      case QDVP_Inactive:
        destroy = Offline(anchor, entry, source, comm);
        break;
      case QDVP_Unregister:
        Unregister(anchor, source, comm);
        break;
      default:
        QDVP_TRC(trk, TRK1_ERROR, "*** Invalid source state %d, ignored", state);
        break;
    }
    if (!again) break;
  }
  *handedOff = pass.handedOff;
  if (!pass.handedOff) source->LastRequestStatus = comm->Status;
  *deferred = pass.deferred;
  return destroy;
}

// Brings a source online again for the window's recovery, registering its application again
// when the agent asks for it (status 4). True when the source is Active.
bool BringOnline(DPAB *anchor, SourceEntry *source, DCHcomm *comm) {
  for (int round = 0; round < 3 && source->State != QDVP_Active; round++) {
    Pass pass;
    if (source->State == QDVP_Register) {
      Register(anchor, source, comm);
      if (source->State != QDVP_Ready) return false;
    }
    if (source->State != QDVP_Active) {
      QDVP_UpdateSourceEntryState(source, QDVP_Ready);
      Online(anchor, source, comm, &pass);
    }
  }
  return source->State == QDVP_Active;
}

// Sends a row of the window that failed again, one at a time, after the recovery its status
// asks for: online again (2), registration and online (4), a new connection (lost, no answer),
// or as it is (7). The agent stores each row once by its stream and number, so a row that it
// did take before its connection was lost is not stored twice. While the agent does not answer
// (it is away), the row is sent again every reply wait, on a new connection when the old one
// is gone, until it does. Rows the agent refused for good are dropped with a trace, as a
// refused row always was; at shutdown, the rest are dropped.
void ResendRow(ProcessEntry *entry, DCHinFlight *row, DCHcomm *comm) {
  DPAB *anchor = entry->pDPAB;
  SourceEntry *source = row->source;
  for (int attempt = 0;; attempt++) {
    int32_t status = row->status;
    if (status == 0) {
      source->LastDataStatus = 0;
      source->AckedRowNumber.store(row->number);
      return;
    }
    if (attempt > 0 && (anchor->ShutdownRequested || entry->Terminate)) {
      QDVP_TRC(trk, TRK1_ERROR, "*** row in flight dropped at shutdown, status %d", status);
      return;
    }

    if (status > 0 && status != QDVP_DCH_STATUS_SYNC_REQUIRED &&
        status != QDVP_DCH_STATUS_REREGISTER && status != QDVP_DCH_STATUS_SEND_AGAIN) {
      QDVP_TRC(trk, TRK1_ERROR, "*** dp_data failed. status %d", status);
      source->LastDataStatus = status;
      QDVP_CountLinkRows(QDVP_LINK_ROWS_REFUSED, 1);
      RowNotTaken(anchor, source, status);
      return;
    }
    if (comm->Socket <= 0) anchor->pDSFT->WaitDCHcomeOnline(comm);
    if (status == QDVP_DCH_STATUS_SYNC_REQUIRED || status == QDVP_DCH_STATUS_REREGISTER) {
      QDVP_TRC(trk, TRK1_ERROR, "*** dp_data failed. DCH synchronization required");
      if (status == QDVP_DCH_STATUS_REREGISTER)
        QDVP_UpdateSourceEntryState(source, QDVP_Register);
      else
        QDVP_UpdateSourceEntryState(source, QDVP_Ready);
      if (!BringOnline(anchor, source, comm)) {
        row->status = comm->Status.load() != 0 ? comm->Status.load() : QDVP_DCH_STATUS_SEND_AGAIN;
        continue;
      }
    }
    if (row->bytes.size() >= kDataHandleOffset + 4) {
      memcpy(&row->bytes[kDataHandleOffset], source->DCHhandle, 4);
    }
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>>redrive dp_data in flight, status %d", status);
    QDVP_CountLinkRows(QDVP_LINK_ROWS_RESENT, 1);
    QDVP_DCHsendAndReceive(static_cast<int>(row->bytes.size()),
                           reinterpret_cast<unsigned char *>(&row->bytes[0]), comm, 0);
    row->status = comm->Status;
  }
}

// Settles every row of the window: waits for the statuses of those in flight, then sends the
// failed ones again in their order. Called with no source's entry lock held, since it takes
// the lock of each failed row's source in turn.
void RecoverWindow(ProcessEntry *entry, DCHcomm *comm) {
  if (QDVP_DrainWindow(comm) == 0) return;
  DCHinFlight row;
  while (QDVP_WindowFront(comm, &row)) {
    if (row.status != 0 && row.source != nullptr) {
      OSV1_Guard entryLock(&row.source->EntryLock);
      if (QDVP_WindowFront(comm, &row) && row.source != nullptr) {
        // The source's requester may have asked for its next row meanwhile: that request is
        // kept, whatever state bringing the source online again left.
        SourceEntry *source = row.source;
        int requested = source->State;
        ResendRow(entry, &row, comm);
        if (requested == QDVP_Output) QDVP_UpdateSourceEntryState(source, QDVP_Output);
      }
    }
    QDVP_PopWindowFront(comm);
    QDVP_OutboxRowSettled(entry->pDPAB);
  }
}

// The agent keeps per connection which sources asked for actions: a new connection is told
// nothing of what the one before was, and an agent that closed an idle connection (to make
// room for another) would otherwise never send this data provider an action again. So after
// every new connection each source the agent holds online asks again, before what comes
// next is sent. The names are copied under the model's locks and the requests sent without
// them. *renewed is the connection on which the sources last asked.
void RenewActionWaits(ProcessEntry *entry, DCHcomm *comm, uint32_t *renewed) {
  DPAB *anchor = entry->pDPAB;
  if (anchor->StandAlone) return;
  // A connection lost while they ask is followed by another round, a few at most here; the
  // next pass of the client takes up what is left.
  for (int round = 0; round < 3 && *renewed != comm->Connections && comm->Socket > 0; round++) {
    // Nothing goes out while a row is handed off (its settling may make another connection).
    if (QDVP_AwaitHandOff(comm)) continue;
    *renewed = comm->Connections;
    std::vector<ActionWait> waits;
    {
      OSV1_Guard applications(&anchor->ApplListLock);
      for (ApplEntry *appl = anchor->pApplList; appl != nullptr; appl = appl->pNext) {
        OSV1_Guard tables(&appl->TableListLock);
        for (TableEntry *t = appl->pTableList; t != nullptr; t = t->pNext) {
          OSV1_Guard sources(&t->SourceListLock);
          for (SourceEntry *source = t->pSourceList; source != nullptr; source = source->pNext) {
            if (OnlineAtAgent(source)) waits.push_back(WaitOf(source));
          }
        }
      }
    }
    if (waits.empty()) continue;
    // A status must not be taken for a row's: the window is settled first.
    RecoverWindow(entry, comm);
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>> DCH connection %u: %zu subnode(s) ask for actions again",
             comm->Connections, waits.size());
    for (const ActionWait &wait : waits) SendWaits(wait, comm);
  }
}

// Waits up to seconds (0: for good) for work: a queued request, a row in the outbox, the end.
// Both are looked at under the task's mutex, under which producers signal, so none is missed.
void WaitForWork(ProcessEntry *entry, int seconds) {
  DPAB *anchor = entry->pDPAB;
  OSV1_GetLock(&entry->TaskIOmutex);
  bool pending;
  {
    OSV1_Guard queue(&entry->WorkQueueLock);
    pending = entry->pWorkQueue != nullptr;
  }
  if (!pending && !QDVP_OutboxPending(anchor) && !QDVP_TaskShouldEnd(entry)) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>> DCH Client Task waits on TaskIO notification");
    if (seconds > 0) {
      QDV0_ConditionTimedWait(&entry->TaskIOcond, &entry->TaskIOmutex, seconds);
    } else {
      QDV0_ConditionWait(&entry->TaskIOcond, &entry->TaskIOmutex);
    }
  }
  OSV1_ReleaseLock(&entry->TaskIOmutex);
}

// Tells the source's requester that its request is finished: one store on the source's word
// and a wake-up only when the requester sleeps on it (QDVP_EndDCHrequest). The requester may
// end as soon as it has seen the 0, so nothing of its entry is touched here at all; the source
// is the client's to touch until it lets go of its hold, last.
void Notify(SourceEntry *source) {
  int number = source->RequestNumber;
  bool owned = source->pPE.load() != nullptr;
  QDVP_EndDCHrequest(source);
  OSV1_LetGo(&source->Holds);  // the client's hold: its last touch of the source
  QDVP_TRC(trk, TRK1_DETAIL,
           owned ? ">>>>>Notified the requester of completed DCH request %d"
                 : ">>> DCH work request %d completed, nobody waits for it",
           number);
}

SourceEntry *FromWork(WorkItem *item) {
  return reinterpret_cast<SourceEntry *>(reinterpret_cast<char *>(item) -
                                         offsetof(SourceEntry, DCHwork));
}

// The requests of the end: the DP log report offline, every application unregistered.
void Ending(DPAB *anchor, ProcessEntry *entry, DCHcomm *comm) {
  if (anchor->StandAlone) return;
  QDVP_AwaitHandOff(comm);
  QDVP_FlushOutbox(comm);
  RecoverWindow(entry, comm);
  if (comm->Socket <= 0) return;
  SourceEntry *log = anchor->pDPlogSource;
  if (QDV0_QueryProductSpec(15) != nullptr && log != nullptr && log->State != QDVP_Pending &&
      log->State != QDVP_Initial) {
    QDVP_UpdateSourceEntryState(log, QDVP_Inactive);
    log->OfflineNow = 1;
    Offline(anchor, entry, log, comm);
  }
  OSV1_Guard applications(&anchor->ApplListLock);
  for (ApplEntry *appl = anchor->pApplList; appl != nullptr && comm->Socket > 0;
       appl = appl->pNext) {
    SourceEntry *first = QDVP_FirstSourceOfApplication(appl);
    if (first == nullptr || first == log || first->State == QDVP_Pending ||
        first->State == QDVP_Initial) {
      continue;
    }
    Unregister(anchor, first, comm);
  }
}

}  // namespace

void QDVP_DCHclientRoutine(ProcessEntry *entry) {
  DPAB *anchor = entry->pDPAB;
  entry->ThreadID = OSV1_ThreadID();
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> DCH client process started. Thread: %X",
           entry->ThreadID.load());
  auto *comm = QDV0_New<DCHcomm>();
  if (comm == nullptr) QDVP_EndTask(anchor, entry);
  QDVP_TRC(trk, TRK1_DETAIL, "Initializing locks and mutex for DCHcomm");
  comm->pDPAB = anchor;
  comm->Socket = 0;
  comm->ReplyWaitSeconds = atoi(QDV0_GetEnv("QDVP_DCH_REPLY_WAIT", "30"));
  if (comm->ReplyWaitSeconds <= 0) comm->ReplyWaitSeconds = 30;
  OSV1_InitializeLock(&comm->StatusMutex);
  OSV1_InitializeLock(&comm->ReceiveMutex);
  OSV1_InitializeLock(&comm->LinkLock);
  QDVP_OpenDCHwindow(comm);
  QDVP_OpenDCHoutbox(anchor, comm);
  if (!anchor->StandAlone) anchor->pDSFT->WaitDCHcomeOnline(comm);
  anchor->pDCHcomm = comm;
  QDVP_PublishDCHclient(anchor, entry);
  // No source is online yet: the first connection has nothing to renew.
  uint32_t renewed = comm->Connections;

  for (;;) {
    // Producers leave their rows in the outbox while the link takes a window of them.
    QDVP_SetOutboxWindow(anchor, QDVP_WindowedLink(comm) ? comm->Window : 0);
    if (entry->Terminate || anchor->ShutdownRequested) {
      // A row handed off is settled before the end is looked at.
      QDVP_AwaitHandOff(comm);
      OSV1_GetLock(&anchor->StateMutex);
      int active = anchor->ActiveTasks;
      OSV1_ReleaseLock(&anchor->StateMutex);
      bool empty;
      {
        OSV1_Guard queue(&entry->WorkQueueLock);
        empty = entry->pWorkQueue == nullptr;
      }
      if (active <= 2 && empty) break;
      if (empty) {
        OSV1_GetLock(&entry->TaskIOmutex);
        QDV0_ConditionTimedWaitMs(&entry->TaskIOcond, &entry->TaskIOmutex, 100);
        OSV1_ReleaseLock(&entry->TaskIOmutex);
        continue;
      }
    } else {
      // The pass is done: until the client wakes, a producer may send its own plain row
      // (qdvpdsnd.cpp), and wakes the client only when that row needs it. Not on a window,
      // whose rows the client sends.
      bool idle = comm->Window <= 1;
      if (idle) QDVP_SetClientIdle(comm, true);
      {
        OSV1_Guard second(&entry->RequestLock);
        // A producer that was just told its request is done usually queues the next one at
        // once: look for it a moment before sleeping.
        QDV0_SpinUntil(
            [](const void *e) {
              return static_cast<const ProcessEntry *>(e)->pWorkQueue.load() != nullptr;
            },
            entry, kQueueSpinMicros);
        // With a window, a row in flight may fail while no work comes, and a row handed off
        // may get no status: looked at every second.
        WaitForWork(entry, comm->Window > 1 || QDVP_HandOffOutstanding(comm) ? 1 : 0);
      }
      // Awake: no producer sends from here on, and a row one sent meanwhile is handed off.
      if (idle) QDVP_SetClientIdle(comm, false);
    }
    // What comes next may send: a row handed off (by the client or by its producer) is
    // settled first (usually it is: its requester's next request is what woke the client).
    QDVP_AwaitHandOff(comm);
    QDVP_FlushOutbox(comm);
    if (QDVP_WindowNeedsRecovery(comm)) RecoverWindow(entry, comm);
    RenewActionWaits(entry, comm, &renewed);
    WorkItem *items = QDVP_TakeWorkQueue(entry);
    if (items == nullptr) continue;
    if (!anchor->StandAlone && comm->Socket <= 0) anchor->pDSFT->WaitDCHcomeOnline(comm);
    if (!anchor->StandAlone) QDVP_ReturnToTCP(comm);
    while (items != nullptr) {
      SourceEntry *source = FromWork(items);
      items = items->pNext;
      source->DCHwork.pNext = nullptr;
      SourceEntry *destroy = nullptr;
      // One row in flight: the one handed off before this request is settled first.
      QDVP_AwaitHandOff(comm);
      // The rows producers left before this request go first.
      QDVP_FlushOutbox(comm);
      // Anything but a row in the window waits until the window is settled: its status must
      // not be taken for a row's, and the agent must see the rows before what follows them.
      // The recovery may bring this very source online again: its queued request stays.
      int queued = source->State;
      if (!(queued == QDVP_Output && QDVP_WindowedSource(comm, source))) {
        RecoverWindow(entry, comm);
        QDVP_UpdateSourceEntryState(source, queued);
      }
      bool deferred = false;
      bool handedOff = false;
      {
        OSV1_Guard entryLock(&source->EntryLock);
        ProcessEntry *requester = source->pPE.load();
        if (requester != nullptr) {
          QDVP_TRC(trk, TRK1_DETAIL, ">>>>>Processing request %d from task %X",
                   source->RequestNumber.load(), requester->ThreadID.load());
        } else {
          QDVP_TRC(trk, TRK1_DETAIL, ">>>>>Processing request %d from unknown task",
                   source->RequestNumber.load());
        }
        if (!anchor->StandAlone && comm->Socket <= 0) anchor->pDSFT->WaitDCHcomeOnline(comm);
        destroy = Process(entry, source, comm, &deferred, &handedOff);
      }
      // The row went into the window behind a failed one: the rows go out again, it with
      // them, before the requester hears that its row was taken.
      if (deferred) RecoverWindow(entry, comm);
      if (handedOff) {
        OSV1_LetGo(&source->Holds);  // the client's own hold for its touches since the send
        continue;
      }
      Notify(source);
      if (destroy != nullptr) {
        QDVP_TRC(trk, TRK1_STORAGE, "Releasing resources for source entry @%p", (void *)destroy);
        OSV1_DestroyLock(&destroy->EntryLock);
        QDV0_Free(destroy);
      }
    }
    // The requests of this pass may have made a new connection (a lost one, a late answer).
    RenewActionWaits(entry, comm, &renewed);
  }

  Ending(anchor, entry, comm);
  if (!anchor->StandAlone) {
    // The DP log report makes no more requests.
    anchor->pDPlogSource = nullptr;
    anchor->pActionSource = nullptr;
    QDVP_ReleaseDPlogRequester(anchor);
  }
  anchor->pDCHclientPE.store(static_cast<ProcessEntry *>(nullptr));
  // A request queued after the last look is not carried out: its requester hears so, and the
  // client lets go of its source.
  for (WorkItem *item = QDVP_TakeWorkQueue(entry); item != nullptr;) {
    SourceEntry *source = FromWork(item);
    item = item->pNext;
    source->DCHwork.pNext = nullptr;
    source->LastRequestStatus = QDVP_DCH_STATUS_DISCONNECTED;
    source->RowPosted = 0;
    source->HandBack = 0;
    Notify(source);
  }
  QDVP_DropDCHconnection(comm);
  anchor->pDCHcomm = nullptr;
  QDVP_CloseDCHwindow(comm);
  QDVP_CloseDCHoutbox(anchor);
  OSV1_DestroyLock(&comm->StatusMutex);
  OSV1_DestroyLock(&comm->ReceiveMutex);
  OSV1_DestroyLock(&comm->LinkLock);
  QDV0_Free(comm);
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> DCH client process ended. Thread: %X", OSV1_ThreadID());
  QDVP_EndTask(anchor, entry);
}
