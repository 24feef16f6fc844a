// The small requests: online, offline, unregister and wait for action.
//
// Each is built in the connection block's 512-byte request buffer and sent again for as long
// as the agent answers 7. In stand-alone mode nothing is sent and every request succeeds.
// Online stores the handle the agent gave; offline forgets it and drops the source's row state.
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
             source->RequestNumber);
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
  } else {
    size_t position = Begin(comm, QDVP_REQ_DP_OFFLINE);
    QDV0_FormatDataField(comm->RequestBuffer, QDVP_DCH_REQUEST_BUFFER, position,
                         QDVP_FIELD_DCH_HANDLE, source->DCHhandle, 4, 0);
    QDVP_TRC(trk, TRK1_DETAIL, "Sending dp_offline request %d for SourceEntry object @%p",
             source->RequestNumber, (void *)source);
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
  SendRequest(source->RequestNumber, comm, "dp_unregister");
  QDVP_TRC_EXIT(trk, comm->Status);
}

void QDVP_DoDPwaitForAction(SourceEntry *source, DCHcomm *comm, int waitCode) {
  QDVP_DoDPwaitForNode(SourceNodeName(source).c_str(), source->RequestNumber, comm, waitCode);
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

