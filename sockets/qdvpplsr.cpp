// Partners of the socket data server: which I/O entry a sender is bound to (a configured
// //SOURCE SOCK host[port] entry, or a partner of the application an association record
// names), the dynamic partners made for such senders, the binding of a UDP datagram, and the
// expiry of UDP sessions that have gone silent.
#include <arpa/inet.h>
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_metafile.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_request.h"
#include "../include/qdvp_sockets.h"
#include "qdvpsock.h"

static TRK1_BLOCK trk = {"qdvpplsr"};

void QDVP_DottedAddress(const struct sockaddr_in *peer, char *text) {
  if (inet_ntop(AF_INET, &peer->sin_addr, text, INET_ADDRSTRLEN) == nullptr) strcpy(text, "?");
}

void QDVP_PartnerNodeName(const struct sockaddr_in *peer, char *name, size_t size) {
  // From the resolver's cache: a new address waits only briefly, and only for an idle resolver
  // (core/support/qdv0rslv.cpp); unresolved, the partner is named by its address.
  char host[256] = "";
  if (QDV0_CachedAddressName(peer, host, sizeof(host), QDV0_NAME_WAIT_MS) == 1) {
    snprintf(name, size, "%s", host);
    return;
  }
  char dotted[INET_ADDRSTRLEN];
  QDVP_DottedAddress(peer, dotted);
  for (char *c = dotted; *c; c++) {
    if (*c == '.') *c = '-';
  }
  snprintf(name, size, "%s", dotted);
}

bool QDVP_AssociationName(const char *record, char *name, size_t size) {
  const char *p = record + 2;
  size_t n = 0;
  while (p[n] != '\0' && p[n] != ' ' && p[n] != '\r' && p[n] != '\n') n++;
  if (n == 0 || n >= size || n > 128 || p[0] == '.') return false;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    if (!isalnum(c) && c != '_' && c != '-' && c != '.') return false;
  }
  memcpy(name, p, n);
  name[n] = '\0';
  return strstr(name, "..") == nullptr;
}

// The application already built from the metafile name (as named, or as its full path in the
// metafile directory); null when none is.
static ApplEntry *LoadedApplication(DPAB *anchor, const char *name) {
  ApplEntry *appl = QDVP_CheckApplicationExistence(anchor, name);
  if (appl != nullptr) return appl;
  char *full = QDVP_MetafileFullName(anchor, name);
  if (full == nullptr) return nullptr;
  appl = QDVP_CheckApplicationExistence(anchor, full);
  QDV0_Free(full);
  return appl;
}

ApplEntry *QDVP_BuildAssociatedApplication(DPAB *anchor, const char *name, bool *built) {
  *built = false;
  ApplEntry *appl = LoadedApplication(anchor, name);
  if (appl != nullptr) return appl;
  int opened = 0, already = 0;
  appl = QDVP_ConstructApplDataModel(anchor, name, 0, &opened, &already, 0, 1);
  *built = appl != nullptr && !already;
  return appl;
}

namespace {

bool SameAddress(const IOEntry *io, const struct sockaddr_in *peer) QDVP_REQUIRES(io->IOLock) {
  return io->PartnerAddr.sin_addr.s_addr == peer->sin_addr.s_addr;
}

// Bound now to a session from the sender's very address and port.
bool Current(const IOEntry *io, const struct sockaddr_in *peer) QDVP_REQUIRES(io->IOLock) {
  return io->Active && io->PartnerAddr.sin_port == peer->sin_port;
}

// Within an application: the partner bound to the sender's session, else the first configured
// partner with the sender's address and configured port, or a free one with the address and
// any port. A partner made for another sender's session is never taken.
IOEntry *LookUpInApplication(ApplEntry *appl, const struct sockaddr_in *peer) {
  OSV1_Guard tables(&appl->TableListLock);
  IOEntry *found = nullptr;
  for (TableEntry *t = appl->pTableList; t != nullptr; t = t->pNext) {
    OSV1_Guard sources(&t->SourceListLock);
    for (SourceEntry *s = t->pSourceList; s != nullptr; s = s->pNext) {
      IOEntry *io = s->pIOE;
      if (s->Kind != 'S' || io == nullptr) continue;
      OSV1_Guard hold(&io->IOLock);
      if (!SameAddress(io, peer)) continue;
      if (Current(io, peer)) return io;
      if (found != nullptr || io->ReleaseOnDisconnect) continue;
      if (io->ConfigPort == peer->sin_port ||
          (io->ConfigPort == 0 && io->Socket < 0 && !io->Active)) {
        found = io;
      }
    }
  }
  return found;
}

// The configured partner of the sender's host (of that application, when given) that is bound
// to a session of its own (a TCP connection, or datagrams from another port): a host's partner
// takes its host's datagrams whatever else it is bound to. Null when none, or more than one.
IOEntry *BusyConfiguredPartner(DPAB *anchor, const struct sockaddr_in *peer, ApplEntry *appl) {
  OSV1_Guard list(&anchor->ApplIOLock[QDVP_IOE_SOCK - 1]);
  IOEntry *found = nullptr;
  int matches = 0;
  for (IOEntry *io = anchor->pIOEList[QDVP_IOE_SOCK]; io != nullptr; io = io->pNextKind) {
    OSV1_Guard hold(&io->IOLock);
    if (!SameAddress(io, peer) || io->ReleaseOnDisconnect || io->Socket < 0) continue;
    if (io->ConfigPort != 0 && io->ConfigPort != peer->sin_port) continue;
    SourceEntry *s = io->pSource;
    if (appl != nullptr && (s == nullptr || s->pTable == nullptr || s->pTable->pAppl != appl)) {
      continue;
    }
    matches++;
    found = io;
  }
  return matches == 1 ? found : nullptr;
}

}  // namespace

IOEntry *QDVP_LookUpPartnerByAddr(DPAB *anchor, const struct sockaddr_in *peer,
                                  ApplEntry *application) {
  if (application != nullptr) return LookUpInApplication(application, peer);
  OSV1_Guard list(&anchor->ApplIOLock[QDVP_IOE_SOCK - 1]);
  IOEntry *exact = nullptr, *free = nullptr;
  int matches = 0;
  for (IOEntry *io = anchor->pIOEList[QDVP_IOE_SOCK]; io != nullptr; io = io->pNextKind) {
    OSV1_Guard hold(&io->IOLock);
    if (!SameAddress(io, peer)) continue;
    bool current = Current(io, peer);
    // A partner made for one sender's session serves that session only: once it has ended,
    // the partner is on its way out and never a free entry for the next sender.
    if (io->ReleaseOnDisconnect && !current) continue;
    if ((io->ConfigPort != 0 && io->ConfigPort == peer->sin_port) || current) {
      matches++;
      exact = io;
    } else if (free == nullptr && io->ConfigPort == 0 && io->Socket < 0 && !io->Active) {
      free = io;
    }
  }
  if (matches > 1) {
    QDVP_TRC(trk, TRK1_ERROR, "***** More than one IO Entry found for exact address %d[%d]",
             static_cast<int>(ntohl(peer->sin_addr.s_addr)), ntohs(peer->sin_port));
    return nullptr;
  }
  return matches == 1 ? exact : free;
}

IOEntry *QDVP_CreateDynamicPartner(DPAB *anchor, ApplEntry *application,
                                   const struct sockaddr_in *peer, int translate) {
  TableEntry *table = nullptr;
  if (application->TableCount == 1) {
    OSV1_Guard tables(&application->TableListLock);
    table = application->pTableList;
  }
  if (table == nullptr) return nullptr;
  SourceEntry *model = nullptr;
  {
    OSV1_Guard sources(&table->SourceListLock);
    {
      OSV1_Guard counts(&table->TableLock);
      if (table->SourceCount >= QDVP_SOCK_MAX_DYNAMIC_SOURCES) {
        QDVP_TRC(trk, TRK1_ERROR, "***** Table %s has %d sources; no further partner source",
                 table->TableName, table->SourceCount);
        return nullptr;
      }
    }
    for (SourceEntry *s = table->pSourceList; s != nullptr && model == nullptr; s = s->pNext) {
      OSV1_Guard attrs(&s->AttrLock);
      if (s->pAttrList != nullptr) model = s;
    }
  }
  char dotted[INET_ADDRSTRLEN];
  QDVP_DottedAddress(peer, dotted);
  // Marked as made for this session before it is on the table's list.
  SourceEntry *source =
      QDVP_InitializeSourceEntry(anchor, nullptr, "SOCK", dotted, nullptr, nullptr);
  if (source == nullptr) return nullptr;
  source->Dynamic = 1;
  source->pTable = table;
  {
    OSV1_Guard hold(&source->pIOE->IOLock);
    source->pIOE->ReleaseOnDisconnect = 1;
  }
  {
    OSV1_Guard sources(&table->SourceListLock);
    SourceEntry **link = &table->pSourceList;
    while (*link != nullptr) link = &(*link)->pNext;
    *link = source;
    OSV1_Guard counts(&table->TableLock);
    table->SourceCount++;
  }
  if (model != nullptr) {
    {
      OSV1_Guard modelAttrs(&model->AttrLock);
      OSV1_Guard attrs(&source->AttrLock);
      if (model->pDelimiter != nullptr) source->pDelimiter = QDV0_StrDup(model->pDelimiter);
    }
    QDVP_DuplicateSourceAttrs(model, source);
  }
  if (table->pSMB != nullptr) QDVP_CompleteSummaryTableDefinition(table, 0);
  QDVP_ConstructAttributeOrderLinkList(application, table);
  source->CodeConversion = translate;
  QDVP_UpdateSourceEntryState(source, QDVP_Ready);
  return source->pIOE;
}

bool QDVP_DynamicPartner(IOEntry *partner) {
  OSV1_Guard hold(&partner->IOLock);
  return partner->ReleaseOnDisconnect != 0;
}

// The source leaves its table's list first, so that no lookup finds it; then every holder
// (the DCH client with a request of it, a worker with an action naming it) has let go before
// it is freed, by the one lifetime rule.
bool QDVP_ReleaseDynamicPartner(DPAB *anchor, ProcessEntry *pe, IOEntry *partner) {
  if (partner == nullptr || !QDVP_DynamicPartner(partner)) return false;
  {
    OSV1_Guard hold(&partner->IOLock);
    if (partner->Active || partner->TCPsocket >= 0) return false;
  }
  SourceEntry *source = partner->pSource;
  QDVP_TRC(trk, TRK1_DETAIL, "Partner source @%p <%s> made for a session released",
           static_cast<void *>(source), source->pSourceName ? source->pSourceName : "");
  OSV1_CloseHolds(&source->Holds);
  QDVP_WaitForDCHrequestRelease(anchor, pe, source);
  QDVP_UnlinkSourceFromTable(source);
  QDVP_ReleaseSourceEntry(anchor, source);
  return true;
}

void QDVP_BindPartner(IOEntry *partner, ProcessEntry *pe, int socket, int tcp,
                      const struct sockaddr_in *peer, int translate) {
  char node[256];
  QDVP_PartnerNodeName(peer, node, sizeof(node));
  {
    OSV1_Guard hold(&partner->IOLock);
    partner->Socket = socket;
    partner->TCPsocket = tcp;
    partner->Active = 1;
    partner->PartnerAddr.sin_family = AF_INET;
    partner->PartnerAddr.sin_port = peer->sin_port;
    partner->PartnerAddr.sin_addr = peer->sin_addr;
    partner->AckSequence = 0;
    partner->ExpiryTime = 0;
    partner->PendingLength = 0;
    QDV0_Free(partner->pPending);
  }
  SourceEntry *source = partner->pSource;
  {
    OSV1_Guard hold(&source->SourceLock);
    source->pPE.store(pe);
    source->CodeConversion = translate;
  }
  OSV1_Guard attrs(&source->AttrLock);
  QDV0_Free(source->pSourceNodeName);
  source->pSourceNodeName = QDV0_StrDup(node);
}

IOEntry *QDVP_CheckExistUDPpartner(DPAB *anchor, ProcessEntry *pe, const struct sockaddr_in *peer,
                                   int socket, char *buffer, int length) {
  bool mark = length >= 2 && memcmp(buffer, ExplicitMarkASCII, 2) == 0;
  bool foreign = length >= 2 && memcmp(buffer, ExplicitMarkEBCDIC, 2) == 0;
  bool end = length >= 14 && memcmp(buffer, SockTransEndMsg, 14) == 0;
  char name[160] = "";
  ApplEntry *named = nullptr;
  if (length > 2 && mark && !end && QDVP_AssociationName(buffer, name, sizeof(name))) {
    QDVP_TRC(trk, TRK1_DETAIL, "Received explicit application association record for metafile <%s>",
             name);
    named = LoadedApplication(anchor, name);
  }
  IOEntry *partner = QDVP_LookUpPartnerByAddr(anchor, peer, named);
  if (partner != nullptr) {
    // A configured partner, or the partner of this sender's session; a datagram that carries
    // the association record again is a session's datagram all the same, its record skipped.
    OSV1_Guard hold(&partner->IOLock);
    bool current = Current(partner, peer) && partner->TCPsocket < 0;
    if (!partner->ReleaseOnDisconnect || current) {
      if (mark && !end && current) partner->NewSession = 1;
      return partner;
    }
  }
  // A datagram that names an application not loaded yet is that application's, never the
  // busy partner's.
  bool names = (mark || foreign) && !end;
  if (!names || named != nullptr) {
    partner = BusyConfiguredPartner(anchor, peer, named);
    if (partner != nullptr) return partner;
  }

  const char *host = QDV0_ResolveAddressToName(peer);
  if ((!mark && !foreign) || end) {
    if (QDVP_RefusalLogDue(56, peer)) QDVP_SendDPlogMessage(anchor, 56, "UDP", host);
    return nullptr;
  }
  int translate = foreign ? 1 : 0;
  if (foreign) {
    QDV0_ConvertEBCDICtoASCII(buffer, static_cast<size_t>(length));
    if (length >= 14 && memcmp(buffer, SockTransEndMsg, 14) == 0) return nullptr;
  }
  size_t cut = strcspn(buffer, "\r\n");
  std::string record(buffer, cut);
  bool built = false;
  ApplEntry *appl = nullptr;
  if (QDVP_AssociationName(buffer, name, sizeof(name))) {
    appl = QDVP_BuildAssociatedApplication(anchor, name, &built);
  }
  if (appl == nullptr) {
    if (QDVP_RefusalLogDue(30, peer)) {
      QDVP_SendDPlogMessage(anchor, 30, "UDP", host, record.c_str());
    }
    QDVP_TRC(trk, TRK1_ERROR, "*** Invalid data definition file name %s", record.c_str());
    return nullptr;
  }
  partner = QDVP_LookUpPartnerByAddr(anchor, peer, appl);
  if (partner == nullptr) partner = QDVP_CreateDynamicPartner(anchor, appl, peer, translate);
  if (partner == nullptr) {
    char origin[INET_ADDRSTRLEN];
    QDVP_DottedAddress(peer, origin);
    QDVP_SendDPlogMessage(anchor, 29, host, appl->ApplName, origin);
    if (built) QDVP_DeleteExistingApplication(anchor, appl);
    return nullptr;
  }
  QDVP_BindPartner(partner, pe, socket, -1, peer, translate);
  char port[16];
  snprintf(port, sizeof(port), "%d", ntohs(peer->sin_port));
  char dotted[INET_ADDRSTRLEN];
  QDVP_DottedAddress(peer, dotted);
  SourceEntry *source = partner->pSource;
  QDVP_SendDPlogMessage(anchor, 31, host, dotted, port, appl->ApplName,
                        source->pTable ? source->pTable->TableName : "");
  return partner;
}

namespace {

// The first partner of a kind's list that holds a UDP session whose source is online (in any
// state from Active to Inactive: a row the agent did not take must not keep a session from
// ending) and whose expiry time has come; its expiry time is cleared.
IOEntry *DuePartner(DPAB *anchor, int kind, time_t now) {
  OSV1_Guard list(&anchor->ApplIOLock[kind - 1]);
  for (IOEntry *io = anchor->pIOEList[kind]; io != nullptr; io = io->pNextKind) {
    OSV1_Guard hold(&io->IOLock);
    int state = io->pSource != nullptr ? io->pSource->State.load() : QDVP_NoState;
    if (io->Active && io->TCPsocket < 0 && io->Socket >= 0 && state >= QDVP_Active &&
        state <= QDVP_Inactive && io->ExpiryTime > 0 && now >= io->ExpiryTime) {
      io->ExpiryTime = 0;
      return io;
    }
  }
  return nullptr;
}

}  // namespace

// A partner expires when it holds a UDP session whose source is online and whose expiry time
// has come: a socket data partner, or an API client's UDP session (which would otherwise keep
// its source online for good when the client vanished without ENDINP). Its source goes offline
// without the partner's lock.
int QDVP_ExpireUDPpartners(DPAB *anchor) {
  // The server task is in its wait meanwhile, so the two never act on one source at once.
  OSV1_Guard select(&anchor->SelectLock);
  int expired = 0;
  time_t now = QDV0_Time();
  for (;;) {
    IOEntry *due = DuePartner(anchor, QDVP_IOE_SOCK, now);
    if (due == nullptr) due = DuePartner(anchor, QDVP_IOE_BASE, now);
    if (due == nullptr) break;
    struct sockaddr_in address;
    {
      OSV1_Guard hold(&due->IOLock);
      address = due->PartnerAddr;
    }
    char dotted[INET_ADDRSTRLEN];
    QDVP_DottedAddress(&address, dotted);
    QDVP_TRC(trk, TRK1_DETAIL, "UDP contact expired for %s[%d]", dotted, ntohs(address.sin_port));
    SourceEntry *source = due->pSource;
    // Names first: an API session's source leaves its table when it goes offline.
    std::string appl =
        source->pTable && source->pTable->pAppl ? source->pTable->pAppl->ApplName : "";
    std::string table = source->pTable ? source->pTable->TableName : "";
    QDVP_UpdateSourceEntryState(source, QDVP_Inactive);
    QDVP_ProcessSockRequestByState(anchor, nullptr, due, 0, nullptr);
    char port[16];
    snprintf(port, sizeof(port), "%d", ntohs(address.sin_port));
    QDVP_SendDPlogMessage(anchor, 32, QDV0_ResolveAddressToName(&address), port, appl.c_str(),
                          table.c_str());
    if (due->Kind == 'B') {
      QDVP_EndAPIdatagramSession(anchor, nullptr, due);  // resets it, releases a made source
    } else {
      {
        OSV1_Guard hold(&due->IOLock);
        QDVP_ResetPartner(due);
      }
      QDVP_ReleaseDynamicPartner(anchor, nullptr, due);
    }
    expired++;
  }
  return expired;
}
