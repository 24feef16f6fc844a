// The small requests: online, offline, unregister and wait for action.
//
// Each is built in the connection block's 512-byte request buffer and sent again for as long
// as the agent answers 7. In stand-alone mode nothing is sent and every request succeeds.
// Online stores the handle the agent gave; offline forgets it and drops the source's row state.
// Sources of one table with one node name share the agent's handle: the offline is sent only
// for the last of them that holds it online.
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_dchcomm.h"

static TRK1_BLOCK trk = {"qdvpdpon"};

namespace {

// Clears the request buffer and writes the request code; returns the next position.
size_t Begin(DCHcomm *comm, uint16_t request) {
  memset(comm->RequestBuffer, 0, sizeof(comm->RequestBuffer));
  unsigned char code[2];
  QDVP_WirePut16(code, request);
  return QDVP_WIRE_LENGTH_WORD + QDV0_FormatDataField(comm->RequestBuffer, QDVP_DCH_REQUEST_BUFFER,
                                                      QDVP_WIRE_LENGTH_WORD, QDVP_FIELD_REQUEST,
                                                      code, 2, 0);
}

size_t Text(DCHcomm *comm, size_t position, int code, const char *text) {
  size_t n = text ? strlen(text) : 0;
  return position + QDV0_FormatDataField(comm->RequestBuffer, QDVP_DCH_REQUEST_BUFFER, position,
                                         code, text, n, 0);
}

// Sends the request buffer until the status is no longer 7.
void SendRequest(int requestNumber, DCHcomm *comm, const char *what) {
  do {
    int length = static_cast<int>(QDVP_WireGet32(comm->RequestBuffer));
    comm->RequestNumber = requestNumber;
    QDVP_TRC(trk, TRK1_DETAIL, "Sending %s request %d", what, comm->RequestNumber);
    QDVP_DCHsendAndReceive(length, comm->RequestBuffer, comm, 0);
  } while (QDVP_DCHsendAgain(comm));
}

// The name the agent knows the source by: its node name, or its own name without one.
std::string SourceNodeName(SourceEntry *source) {
  {
    OSV1_Guard attrs(&source->AttrLock);
    if (source->pSourceNodeName) return source->pSourceNodeName;
  }
  return source->pSourceName ? source->pSourceName : "";
}

// Whether another source of the same table holds the same agent handle online. The agent
// knows a source by its application, table and node name, and answers a second online for one
// it holds online with the handle it already gave: two partners of one host (both named after
// it), or two API sessions that share a node name, are one source at the agent. The handle is
// the agent's then until the last of them goes offline. Handles are written only by the DCH
// client, which is the caller, so they are read here without a lock; a copy waiting for its
// delayed offline is on no table's list and does not count.
bool HandleHeldByAnother(const SourceEntry *source) {
  static const unsigned char kNone[4] = {0, 0, 0, 0};
  if (memcmp(source->DCHhandle, kNone, 4) == 0 || source->pTable == nullptr) return false;
  TableEntry *table = source->pTable;
  OSV1_Guard sources(&table->SourceListLock);
  for (const SourceEntry *s = table->pSourceList; s != nullptr; s = s->pNext) {
    if (s == source || memcmp(s->DCHhandle, source->DCHhandle, 4) != 0) continue;
    int state = s->State;
    if (state >= QDVP_Active && state <= QDVP_Inactive) return true;
  }
  return false;
}

}  // namespace

void QDVP_DoDPonline(SourceEntry *source, DCHcomm *comm) {
  QDVP_TRC_ENTRY(trk);
  if (comm->pDPAB->StandAlone) {
    comm->Status = 0;
    return;
  }
  TableEntry *table = source->pTable;
  ApplEntry *appl = table->pAppl;
  size_t position = Begin(comm, QDVP_REQ_DP_ONLINE);
  position = Text(comm, position, QDVP_FIELD_APPL_NAME, appl->ApplName);
  position = Text(comm, position, QDVP_FIELD_TABLE_NAME, table->TableName);
  Text(comm, position, QDVP_FIELD_SOURCE_NAME, SourceNodeName(source).c_str());
  do {
    QDVP_TRC(trk, TRK1_DETAIL,
             "Sending DP online request for appl <%s> table <%s> source <%s> request <%d>",
             appl->ApplName, table->TableName, SourceNodeName(source).c_str(),
             source->RequestNumber.load());
    comm->RequestNumber = source->RequestNumber;
    QDVP_DCHsendAndReceive(static_cast<int>(QDVP_WireGet32(comm->RequestBuffer)),
                           comm->RequestBuffer, comm, 0);
  } while (QDVP_DCHsendAgain(comm));
  OSV1_Guard status(&comm->StatusMutex);
  if (comm->Status == 0) memcpy(source->DCHhandle, comm->ReplyHandle, 4);
  QDVP_TRC_EXIT(trk, comm->Status);
}

void QDVP_DoDPoffline(SourceEntry *source, DCHcomm *comm) {
  QDVP_TRC_ENTRY(trk);
  if (comm->pDPAB->StandAlone) {
    comm->Status = 0;
  } else if (HandleHeldByAnother(source)) {
    // Its offline would end the other's source at the agent as well: this one only lets go.
    QDVP_TRC(trk, TRK1_DETAIL,
             "dp_offline for SourceEntry object @%p not sent: another source of its table holds "
             "its handle online",
             (void *)source);
    comm->Status = 0;
  } else {
    size_t position = Begin(comm, QDVP_REQ_DP_OFFLINE);
    QDV0_FormatDataField(comm->RequestBuffer, QDVP_DCH_REQUEST_BUFFER, position,
                         QDVP_FIELD_DCH_HANDLE, source->DCHhandle, 4, 0);
    QDVP_TRC(trk, TRK1_DETAIL, "Sending dp_offline request %d for SourceEntry object @%p",
             source->RequestNumber.load(), (void *)source);
    SendRequest(source->RequestNumber, comm, "dp_offline");
  }
  if (comm->Status == 0) {
    memset(source->DCHhandle, 0, 4);
  } else {
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_offline failed, status %d", comm->Status.load());
  }
  // The row state of the source goes (per-key rate history, summary progress), so that a
  // source online again starts afresh; record processing owns it.
  const DCHservices *services = QDVP_GetDCHservices();
  if (source->pCopyOf == nullptr && services->DropRowState != nullptr) {
    services->DropRowState(source);
  }
  QDVP_TRC_EXIT(trk, comm->Status);
}

void QDVP_DoDPunregister(SourceEntry *source, DCHcomm *comm) {
  QDVP_TRC_ENTRY(trk);
  if (comm->pDPAB->StandAlone) {
    comm->Status = 0;
    return;
  }
  size_t position = Begin(comm, QDVP_REQ_DP_UNREGISTER);
  Text(comm, position, QDVP_FIELD_APPL_NAME, source->pTable->pAppl->ApplName);
  SendRequest(source->RequestNumber.load(), comm, "dp_unregister");
  QDVP_TRC_EXIT(trk, comm->Status);
}

void QDVP_DoDPwaitForAction(SourceEntry *source, DCHcomm *comm, int waitCode) {
  QDVP_DoDPwaitForNode(SourceNodeName(source).c_str(), source->RequestNumber.load(), comm,
                       waitCode);
}

void QDVP_DoDPwaitForNode(const char *node, int requestNumber, DCHcomm *comm, int waitCode) {
  QDVP_TRC_ENTRY(trk);
  if (comm->pDPAB->StandAlone) {
    comm->Status = 0;
    return;
  }
  size_t position = Begin(comm, QDVP_REQ_DP_WAIT_FOR_ACTION);
  unsigned char code[2];
  QDVP_WirePut16(code, static_cast<uint16_t>(waitCode & 0xFFFF));
  position += QDV0_FormatDataField(comm->RequestBuffer, QDVP_DCH_REQUEST_BUFFER, position,
                                   QDVP_FIELD_WAIT_CODE, code, 2, 0);
  Text(comm, position, QDVP_FIELD_SOURCE_NAME, node);
  SendRequest(requestNumber, comm, "dp_waitForAction");
  QDVP_TRC_EXIT(trk, comm->Status);
}
