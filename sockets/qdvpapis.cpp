// Client API sessions: the base source a client feeds through (made per TCP connection, or
// taken for a UDP sender's BGNINP from the table's own base sources or made for it), its joining
// and leaving a table, and its release when the session ends.
//
// A source made for a session is marked Dynamic and its I/O entry ReleaseOnDisconnect. It joins
// the table at BGNINP and leaves it again at offline, so that between sessions it is on no
// table's list; the API server task alone releases it, after its last request to the agent.
// Clients are hostile input: the sessions at once and the sources a table gets are bounded.
#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_request.h"
#include "../include/qdvp_sockets.h"
#include "../include/qdvp_stats.h"
#include "qdvpsock.h"

static TRK1_BLOCK trk = {"qdvpapis"};

int QDVP_AttachAPIsource(DPAB *anchor, SourceEntry *source, TableEntry *table) {
  (void)anchor;
  SourceEntry *model = nullptr;
  {
    OSV1_Guard sources(&table->SourceListLock);
    bool listed = false;
    for (SourceEntry *s = table->pSourceList; s != nullptr; s = s->pNext) {
      if (s == source) listed = true;
      if (model != nullptr || s == source) continue;
      OSV1_Guard attrs(&s->AttrLock);
      if (s->pAttrList != nullptr) model = s;
    }
    OSV1_Guard counts(&table->TableLock);
    if (!listed) {
      if (table->SourceCount >= QDVP_SOCK_MAX_DYNAMIC_SOURCES) {
        QDVP_TRC(trk, TRK1_ERROR, "***** Table %s has %d sources; no further API source",
                 table->TableName, table->SourceCount);
        return 53;
      }
      SourceEntry **link = &table->pSourceList;
      while (*link != nullptr) link = &(*link)->pNext;
      source->pNext = nullptr;
      *link = source;
    }
    table->SourceCount++;
  }
  source->pTable = table;
  bool copy = false;
  if (model != nullptr) {
    OSV1_Guard modelAttrs(&model->AttrLock);
    OSV1_Guard attrs(&source->AttrLock);
    copy = source->pAttrList == nullptr;
    if (copy && model->pDelimiter != nullptr && source->pDelimiter == nullptr) {
      source->pDelimiter = QDV0_StrDup(model->pDelimiter);
    }
  }
  if (copy) {
    QDVP_DuplicateSourceAttrs(model, source);
    if (table->pSMB != nullptr) QDVP_CompleteSummaryTableDefinition(table, 0);
    QDVP_ConstructAttributeOrderLinkList(table->pAppl, table);
  }
  return 0;
}

void QDVP_UnlinkSourceFromTable(SourceEntry *source) {
  TableEntry *table = source->pTable;
  if (table == nullptr) return;
  OSV1_Guard sources(&table->SourceListLock);
  for (SourceEntry **link = &table->pSourceList; *link != nullptr; link = &(*link)->pNext) {
    if (*link != source) continue;
    *link = source->pNext;
    OSV1_Guard counts(&table->TableLock);
    table->SourceCount--;
    break;
  }
  source->pNext = nullptr;
}

void QDVP_DetachAPIsource(SourceEntry *source) {
  if (source->pTable == nullptr) return;
  QDVP_UnlinkSourceFromTable(source);
  {
    OSV1_Guard attrs(&source->AttrLock);
    QDVP_ReleaseAttributeList(source->pAttrList);
    source->pAttrList = source->pOrderList = nullptr;
    QDV0_Free(source->pDelimiter);
  }
  QDVP_ReleaseSourceRecordData(source);
  source->pTable = nullptr;
}

namespace {

void Refuse(DPAB *anchor, int socket, const struct sockaddr_in *peer, int rc, const char *why) {
  QDVP_TRC(trk, TRK1_ERROR, "%s", why);
  QDVP_SendAPIreply(anchor, socket, peer, rc, nullptr, 0);
}

// The partner bound to a UDP sender's session, if any.
IOEntry *BoundUDPpartner(DPAB *anchor, const struct sockaddr_in *peer, int socket) {
  OSV1_Guard list(&anchor->ApplIOLock[QDVP_IOE_BASE - 1]);
  for (IOEntry *io = anchor->pIOEList[QDVP_IOE_BASE]; io != nullptr; io = io->pNextKind) {
    OSV1_Guard hold(&io->IOLock);
    if (io->Active && io->Socket == socket && io->TCPsocket < 0 &&
        io->PartnerAddr.sin_addr.s_addr == peer->sin_addr.s_addr &&
        io->PartnerAddr.sin_port == peer->sin_port) {
      return io;
    }
  }
  return nullptr;
}

// The table's first base source of its own that is free for a session.
SourceEntry *FreeBaseSource(TableEntry *table) {
  OSV1_Guard sources(&table->SourceListLock);
  for (SourceEntry *s = table->pSourceList; s != nullptr; s = s->pNext) {
    int state = s->State;
    if (s->Kind != 'B' || s->Dynamic || s->pIOE == nullptr || s->InternalReport) continue;
    if (state != QDVP_Initial && state != QDVP_Ready) continue;
    OSV1_Guard hold(&s->pIOE->IOLock);
    if (s->pIOE->Socket < 0 && !s->pIOE->Active) return s;
  }
  return nullptr;
}

// A source made for one session, on no table yet.
SourceEntry *NewSessionSource(DPAB *anchor) {
  SourceEntry *source =
      QDVP_InitializeSourceEntry(anchor, nullptr, "BASE", "BASE", nullptr, nullptr);
  if (source == nullptr) return nullptr;
  source->Dynamic = 1;
  OSV1_Guard hold(&source->pIOE->IOLock);
  source->pIOE->ReleaseOnDisconnect = 1;
  source->pIOE->BufferSize = QDVP_SOCK_BUFFER_SIZE;
  return source;
}

void Release(DPAB *anchor, ProcessEntry *pe, SourceEntry *source) {
  QDVP_WaitForDCHrequestRelease(anchor, pe, source);
  QDVP_DetachAPIsource(source);
  QDVP_ReleaseSourceEntry(anchor, source);
}

}  // namespace

IOEntry *QDVP_CheckExistAPIpartner(DPAB *anchor, ProcessEntry *pe, const struct sockaddr_in *peer,
                                   int socket, char *buffer, int length) {
  IOEntry *bound = BoundUDPpartner(anchor, peer, socket);
  if (bound != nullptr) return bound;
  if (length < QDVP_API_NAME_AT || !QDVP_ValidateAPIversion(buffer)) {
    Refuse(anchor, socket, peer, 90, "*** API request rejected, incorrect version");
    return nullptr;
  }
  int at = 0;
  if (!QDVP_ValidateAPIrequest("BGNINP", buffer, &at)) {
    Refuse(anchor, socket, peer, 13, "*** API request rejected, sequence error");
    return nullptr;
  }
  char appl[QDVP_SOCK_BUFFER_SIZE], name[QDVP_SOCK_BUFFER_SIZE];
  appl[0] = name[0] = '\0';
  sscanf(buffer + at, "%4095s %4095s", appl, name);
  ApplEntry *application =
      QDVP_LocateApplicationByName(anchor, appl, static_cast<int>(strlen(appl)));
  if (application == nullptr) {
    Refuse(anchor, socket, peer, 51, "*** API BGNINP: application not found");
    return nullptr;
  }
  TableEntry *table = QDVP_LocateTableByName(application, name, static_cast<int>(strlen(name)));
  if (table == nullptr || name[0] == '\0') {
    Refuse(anchor, socket, peer, 52, "*** API BGNINP: table not found");
    return nullptr;
  }
  SourceEntry *source = FreeBaseSource(table);
  bool made = source == nullptr;
  if (made) source = NewSessionSource(anchor);
  if (source == nullptr || (made && QDVP_AttachAPIsource(anchor, source, table) != 0)) {
    if (source != nullptr) QDVP_ReleaseSourceEntry(anchor, source);
    Refuse(anchor, socket, peer, 53, "*** API BGNINP: no source entry for the table");
    return nullptr;
  }
  QDVP_UpdateSourceEntryState(source, QDVP_Ready);
  QDVP_BindPartner(source->pIOE, pe, socket, -1, peer, 0);
  QDVP_UpdateStatLogSockIO(1, 0);
  return source->pIOE;
}

void QDVP_EndAPIdatagramSession(DPAB *anchor, ProcessEntry *pe, IOEntry *partner) {
  SourceEntry *source = partner->pSource;
  bool over;
  {
    OSV1_Guard hold(&partner->IOLock);
    over = partner->CallType == QDVP_API_ENDINP || !partner->Active;
    if (over) QDVP_ResetPartner(partner);
  }
  if (!over) return;
  if (source->Dynamic && source->State != QDVP_Input) Release(anchor, pe, source);
}

IOEntry *QDVP_OpenAPIsession(DPAB *anchor, ProcessEntry *pe, int socket,
                             const struct sockaddr_in *peer) {
  int sessions = 0;
  {
    OSV1_Guard list(&anchor->ApplIOLock[QDVP_IOE_BASE - 1]);
    for (IOEntry *io = anchor->pIOEList[QDVP_IOE_BASE]; io != nullptr; io = io->pNextKind) {
      OSV1_Guard hold(&io->IOLock);
      sessions += io->TCPsocket >= 0;
    }
  }
  if (sessions >= QDVP_API_MAX_SESSIONS) {
    QDVP_TRC(trk, TRK1_ERROR, "***** %d API sessions open; connection closed", sessions);
    QDV0_CloseTheSocket(socket);
    return nullptr;
  }
  SourceEntry *source = NewSessionSource(anchor);
  if (source == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_OpenSession failed. SourceEntry initialization error");
    QDV0_CloseTheSocket(socket);
    return nullptr;
  }
  QDVP_BindPartner(source->pIOE, pe, socket, socket, peer, 0);
  QDVP_UpdateStatLogSockIO(1, 0);
  QDVP_SendDPlogMessage(anchor, 25, QDV0_ResolveAddressToName(peer));
  QDVP_UpdateSourceEntryState(source, QDVP_Connected);
  return source->pIOE;
}

void QDVP_CloseAPIsession(DPAB *anchor, ProcessEntry *pe, IOEntry *partner, int err) {
  SourceEntry *source = partner->pSource;
  bool release;
  {
    OSV1_Guard hold(&partner->IOLock);
    QDVP_TRC(trk, TRK1_DETAIL, "TCP connection terminated for sock %d, errno %d",
             partner->TCPsocket, err);
    QDVP_SendDPlogMessage(anchor, 26, QDV0_ResolveAddressToName(&partner->PartnerAddr));
    QDV0_CloseTheSocket(partner->TCPsocket);
    QDVP_ResetPartner(partner);
    release = partner->ReleaseOnDisconnect;
  }
  int state = source->State;
  if (state == QDVP_Input || state == QDVP_Active || state == QDVP_Output) {
    QDVP_UpdateSourceEntryState(source, QDVP_Inactive);
    QDVP_ProcessSockRequestByState(anchor, pe, partner, 0, nullptr);
  }
  if (release) Release(anchor, pe, source);
}

void QDVP_ReleaseAPIsessionSource(DPAB *anchor, ProcessEntry *pe, IOEntry *partner) {
  bool release;
  {
    OSV1_Guard hold(&partner->IOLock);
    release = partner->ReleaseOnDisconnect || partner->pSource->Dynamic;
  }
  if (release) Release(anchor, pe, partner->pSource);
}
