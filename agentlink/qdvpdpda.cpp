// The data request: one row of a source, sent as attribute name and value pairs.
//
// Before the row goes out, the attributes that are computed from two others and did not get a
// value while the record was parsed get one (formulas, joins, derive functions); record
// processing installs that as a service (DCHservices), so the agent link depends on nothing
// above it. The row is built in the source's own output buffer, sized once from the attribute
// definitions, under the source's attribute lock so that parsing cannot change the row while
// it is sent. A value is consumed by sending it (its size goes back to 0), except
// for the DP log report, whose constant attributes stay.
#include <stdio.h>
#include <string.h>

#include <atomic>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_dchcomm.h"
#include "../include/qdvp_stats.h"

static TRK1_BLOCK trk = {"qdvpdpda"};

namespace {

const DCHservices kNoServices = {nullptr, nullptr, nullptr, nullptr};
std::atomic<const DCHservices *> sServices{&kNoServices};

// The attributes of a source in the order they are sent.
template <typename Fn>
void ForEachInOrder(SourceEntry *s, Fn fn) QDVP_REQUIRES(s->AttrLock) {
  bool ordered = s->pOrderList != nullptr;
  for (AttrEntry *a = ordered ? s->pOrderList : s->pAttrList; a != nullptr;
       a = ordered ? a->pOrderNext : a->pNext) {
    fn(a);
  }
}

}  // namespace

void QDVP_SetDCHservices(const DCHservices *services) {
  sServices.store(services != nullptr ? services : &kNoServices);
}

const DCHservices *QDVP_GetDCHservices() { return sServices.load(); }

int QDVP_ComputeDCHbufferSize(SourceEntry *source) {
  int size = 32;
  for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
    size += a->MaxValSize + static_cast<int>(strlen(a->Name)) + 12;
  }
  return size;
}

void QDVP_DoDPdata(SourceEntry *source, DCHcomm *comm) {
  OSV1_Guard attrs(&source->AttrLock);
  QDVP_SendDataRowLocked(source, comm);
}

bool QDVP_DoDPdataOrHandOff(SourceEntry *source, DCHcomm *comm) {
  OSV1_Guard attrs(&source->AttrLock);
  return QDVP_SendDataRowLocked(source, comm, true);
}

// Builds the source's row in its output buffer; returns the message length, or 0 when there is
// nothing to send (*status says why: 0 for a row without values or a stand-alone run, -1
// without storage). Touches nothing of the connection, so a producer may build its own row.
static size_t BuildDataRowLocked(SourceEntry *source, DPAB *anchor, int32_t *status)
    QDVP_REQUIRES(source->AttrLock) {
  const DCHservices *services = sServices.load();
  if (source->pOutputBuffer == nullptr) {
    int size = QDVP_ComputeDCHbufferSize(source);
    if (size <= 0) size = 1024;
    // Room for the two special attributes' values beyond their declared sizes, and for the row
    // sequence of a link with a window.
    size += 64 + QDVP_WIRE_FIELD_HEADER + 8 +
            (source->pSourceNodeName ? static_cast<int>(strlen(source->pSourceNodeName)) : 0);
    source->pOutputBuffer =
        static_cast<unsigned char *>(QDV0_GetStorage(static_cast<size_t>(size)));
    if (source->pOutputBuffer == nullptr) {
      *status = QDVP_DCH_STATUS_LOCAL_FAILURE;
      QDVP_TRC(trk, TRK1_ERROR, "*** unable to obtain storage for output buffer");
      return 0;
    }
    source->OutputBufferSize = size;
  }
  unsigned char *m = source->pOutputBuffer;
  size_t cap = static_cast<size_t>(source->OutputBufferSize);
  memset(m, 0, QDVP_WIRE_LENGTH_WORD);
  unsigned char word[2];
  QDVP_WirePut16(word, QDVP_REQ_DP_DATA);
  size_t pos = QDVP_WIRE_LENGTH_WORD;
  pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_REQUEST, word, 2, 0);
  pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_DCH_HANDLE, source->DCHhandle, 4, 0);
  QDVP_WirePut16(word, static_cast<uint16_t>(source->DataSequence));
  pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_DATA_SEQUENCE, word, 2, 0);

  if (services->EvaluateDerived != nullptr) services->EvaluateDerived(source);
  *status = 0;
  if (anchor->StandAlone) {
    if (services->BatchOutput != nullptr) services->BatchOutput(source);
    return 0;
  }
  int sent = 0;
  const char *node = source->pSourceNodeName ? source->pSourceNodeName : "";
  ForEachInOrder(source, [&](AttrEntry *a) {
    if (!a->Sent || a->Type == 'K') return;
    if (a->ActualValSize > 0) {
      pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_ATTR_NAME, a->Name, strlen(a->Name), 0);
      pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_ATTR_VALUE, a->Value,
                                  static_cast<size_t>(a->ActualValSize), a->Type);
      sent++;
      return;
    }
    if (sent == 0) return;
    if (strcmp(a->Name, "_DataSourceName") == 0) {
      pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_ATTR_NAME, a->Name, strlen(a->Name), 0);
      pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_ATTR_VALUE, node, strlen(node), a->Type);
      sent++;
    } else if (strcmp(a->Name, "_LocalTimeStamp") == 0) {
      char stamp[QDV0_CORVID_TIME_LEN + 1];
      QDV0_GetCorvidTime(stamp);
      pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_ATTR_NAME, a->Name, strlen(a->Name), 0);
      pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_ATTR_VALUE, stamp, QDV0_CORVID_TIME_LEN,
                                  a->Type);
      sent++;
    }
  });
  if (sent == 0 && source->DataSequence != QDVP_SEQ_LAST) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>>dp_data bypassed. No attribute loaded to transfer");
    return 0;
  }
  return QDVP_WireGet32(m);
}

// The values of a row are consumed once it is sent: the next record's parse fills them again.
static void ConsumeValues(SourceEntry *source) QDVP_REQUIRES(source->AttrLock) {
  ForEachInOrder(source, [](AttrEntry *a) {
    if (a->Sent && a->Type != 'K') a->ActualValSize = 0;
  });
}

bool QDVP_SendDataRowLocked(SourceEntry *source, DCHcomm *comm, bool mayHandOff) {
  QDVP_TRC_ENTRY(trk);
  bool keep = source == comm->pDPAB->pDPlogSource;
  unsigned char *m = source->pOutputBuffer;
  int sends = 0;
  if (source->HandBack) {
    // The row went before (handed off) and its status came back to the client: the row is
    // still in the output buffer, its values still in the attributes.
    source->HandBack = 0;
    comm->Status = source->HandBackStatus;
    sends = 1;
  } else {
    int32_t built = 0;
    size_t length = BuildDataRowLocked(source, comm->pDPAB, &built);
    comm->Status = built;
    if (length == 0) {
      QDVP_TRC_EXIT(trk, comm->Status);
      return false;
    }
    m = source->pOutputBuffer;
    QDVP_TRC(trk, TRK1_DETAIL, "Sending dp_data request %d for SourceEntry object @%p",
             source->RequestNumber.load(), (void *)source);
    comm->RequestNumber = source->RequestNumber;
    QDVP_CountLinkRows(QDVP_LINK_ROWS_SENT, 1);
    sends = 1;
    // The DP log report's constant attributes stay: its rows are settled by the client.
    if (mayHandOff && !keep) {
      if (QDVP_DCHsendHandOff(static_cast<int>(QDVP_WireGet32(m)), m, comm, source)) return true;
    } else {
      QDVP_DCHsendAndReceive(static_cast<int>(QDVP_WireGet32(m)), m, comm, 0);
    }
  }
  while (QDVP_DCHsendAgain(comm)) {
    QDVP_TRC(trk, TRK1_DETAIL, "Sending dp_data request %d again for SourceEntry object @%p",
             source->RequestNumber.load(), (void *)source);
    comm->RequestNumber = source->RequestNumber;
    QDVP_CountLinkRows(sends++ == 0 ? QDVP_LINK_ROWS_SENT : QDVP_LINK_ROWS_RESENT, 1);
    QDVP_DCHsendAndReceive(static_cast<int>(QDVP_WireGet32(m)), m, comm, 0);
  }
  int status = comm->Status;
  if (status > 0 && status != QDVP_DCH_STATUS_SYNC_REQUIRED &&
      status != QDVP_DCH_STATUS_REREGISTER && status != QDVP_DCH_STATUS_SEND_AGAIN) {
    QDVP_CountLinkRows(QDVP_LINK_ROWS_REFUSED, 1);
  }
  // A row the agent asks to see again after the source is back online (status 2) keeps its
  // values so that the client can resend it, and so does a row the agent never answered (a
  // lost link, no reply): its sender may send it again once the link is back. The next
  // record's parse clears them in any case.
  if (!keep && comm->Status >= 0 && comm->Status != QDVP_DCH_STATUS_SYNC_REQUIRED) {
    ConsumeValues(source);
  }
  QDVP_TRC_EXIT(trk, comm->Status);
  return false;
}

void QDVP_FinishHandedOffRow(SourceEntry *source) {
  {
    OSV1_Guard attrs(&source->AttrLock);
    ConsumeValues(source);
  }
  // As the client's Data and Process leave a row taken at once (qdvpdchc.cpp).
  source->LastDataStatus = 0;
  QDVP_UpdateSourceEntryState(source, QDVP_Active);
  if (source->pTable != nullptr && source->pTable->TTL > 0) {
    source->TTLexpiry = QDV0_Time() + source->pTable->TTL;
  }
  source->LastRequestStatus = 0;
  QDVP_TRC(trk, TRK1_DETAIL, "dp_data request %d completed by the receive task",
           source->RequestNumber.load());
  QDVP_EndDCHrequest(source);
  OSV1_LetGo(&source->Holds);  // the client's hold, handed over with the row
}

bool QDVP_SendOwnRow(DPAB *anchor, SourceEntry *source) {
  DCHcomm *comm = anchor->pDCHcomm.load();
  // A summary's rows, the DP log report's (whose constant attributes stay) and a row of a
  // source without a table go through the client, as do all rows while the link is not free.
  if (comm == nullptr || source->pSMB != nullptr || source == anchor->pDPlogSource ||
      source->pTable == nullptr || !QDVP_LinkFreeForOwnRow(comm)) {
    return false;
  }
  // As the client acts on a source: under its entry lock, the row built and sent under its
  // attribute lock. The values stay until the row is settled (QDVP_FinishHandedOffRow), so
  // that a row handed back can be sent again.
  OSV1_Guard entry(&source->EntryLock);
  if (source->State != QDVP_Output) return false;
  OSV1_Guard attrs(&source->AttrLock);
  int32_t built = 0;
  size_t length = BuildDataRowLocked(source, anchor, &built);
  // Nothing to send (no values, no storage): the client ends the request as it always has.
  if (length == 0) return false;
  source->RowPosted = 0;
  switch (QDVP_DCHsendOwnRow(comm, source, source->pOutputBuffer, static_cast<int>(length))) {
    case OwnRowSend::NotSent:
      return false;
    case OwnRowSend::HandedOff:
      QDVP_CountLinkRows(QDVP_LINK_ROWS_SENT, 1);
      QDVP_TRC(trk, TRK1_DETAIL, "dp_data request %d sent by its requester",
               source->RequestNumber.load());
      return true;
    case OwnRowSend::Broken:
      QDVP_CountLinkRows(QDVP_LINK_ROWS_SENT, 1);
      QDVP_HandBackRow(anchor, source, QDVP_DCH_STATUS_DISCONNECTED);
      return true;
  }
  return false;
}

// Gives the row built last its place in the source's row stream, by which the agent stores it
// once; returns the message's new length.
static size_t StampRow(SourceEntry *source, size_t length) {
  while (source->RowStream == 0) {
    source->RowStream = QDV0_RandomWord();
  }
  unsigned char sequence[8];
  QDVP_WirePut32(sequence, source->RowStream);
  QDVP_WirePut32(sequence + 4, ++source->RowNumber);
  return length + QDV0_FormatDataField(source->pOutputBuffer,
                                       static_cast<size_t>(source->OutputBufferSize), length,
                                       QDVP_FIELD_ROW_SEQUENCE, sequence, 8, 0);
}

void QDVP_SendDataRowInWindow(SourceEntry *source, DCHcomm *comm, bool held) {
  OSV1_Guard attrs(&source->AttrLock);
  int32_t built = 0;
  size_t length = BuildDataRowLocked(source, comm->pDPAB, &built);
  comm->Status = built;
  if (length == 0) return;
  length = StampRow(source, length);
  unsigned char *m = source->pOutputBuffer;
  QDVP_TRC(trk, TRK1_DETAIL, "Sending dp_data request %d in the window, row %u",
           source->RequestNumber.load(), source->RowNumber);
  if (held) {
    QDVP_HoldWindowRow(source, comm, m, length);
  } else {
    QDVP_SendWindowRow(source, comm, m, length);
  }
  ConsumeValues(source);
}

bool QDVP_BuildStampedRow(SourceEntry *source, DPAB *anchor, DCHinFlight *row) {
  OSV1_Guard attrs(&source->AttrLock);
  int32_t built = 0;
  size_t length = BuildDataRowLocked(source, anchor, &built);
  if (length == 0) return false;
  length = StampRow(source, length);
  row->source = source;
  row->bytes.assign(reinterpret_cast<const char *>(source->pOutputBuffer), length);
  row->status = 0;
  row->number = source->RowNumber;
  ConsumeValues(source);
  return true;
}

void QDVP_ReleaseSourceLinkState(DPAB *anchor, SourceEntry *source) {
  if (source == nullptr) return;
  // The outbox first: the client moves its rows into the window, never back.
  QDVP_ForgetOutboxSource(anchor, source);
  if (anchor != nullptr) QDVP_ForgetWindowSource(anchor->pDCHcomm, source);
  QDV0_Free(source->pOutputBuffer);
  source->OutputBufferSize = 0;
}
