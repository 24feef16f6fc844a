// I/O entries: what a server task needs to read one source (partner address, open file,
// file mode, input buffers, the wait between the server and its feeders). Built with the
// source, chained to the anchor's list of all entries and to the list of its kind, and
// released with its buffers, socket and file.
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpiioe"};

// The anchor list of a kind letter, or -1 for kinds kept on the list of all entries only.
static int KindList(char kind) {
  switch (kind) {
    case 'A':
      return QDVP_IOE_APPC;
    case 'B':
      return QDVP_IOE_BASE;
    case 'F':
      return QDVP_IOE_FILE;
    case 'S':
      return QDVP_IOE_SOCK;
    default:
      return -1;
  }
}

static void DestroyIOEntry(IOEntry *io) {
  OSV1_DestroyLock(&io->Mutex);
  OSV1_DestroyLock(&io->IOLock);
  QDV0_Free(io->pLUname);
  QDV0_Free(io);
}

IOEntry *QDVP_InitializeIOEntry(DPAB *anchor, SourceEntry *source, int kind) {
  char letter = source ? source->Kind : static_cast<char>(kind);
  const char *name = source && source->pSourceName ? source->pSourceName : "";
  if (letter == 'S' && name[0] == '\0') {
    QDVP_TRC(trk, TRK1_ERROR, "***** Incomplete SOURCE SOCK statement, ignored");
    QDVP_DisplayValidationMessage(42, nullptr);
    return nullptr;
  }
  auto *io = QDV0_New<IOEntry>();
  if (io == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Unable to obtain storage for IO entry");
    return nullptr;
  }
  io->FileMode = 'T';
  io->Kind = letter;
  io->pSource = source;
  OSV1_InitializeLock(&io->Mutex);
  OSV1_InitializeLock(&io->IOLock);
  {
    OSV1_Guard hold(&io->IOLock);
    io->Socket = -1;
    io->TCPsocket = -1;
    io->NewSession = 1;
  }
  if (source != nullptr && source->pLUname != nullptr) io->pLUname = QDV0_StrDup(source->pLUname);

  if (letter == 'S' && source != nullptr) {
    // host[port]: the host is resolved; the '[' stays in the source's name.
    char *bracket = strchr(source->pSourceName, '[');
    int port = 0;
    if (bracket != nullptr) {
      port = atoi(bracket + 1);
      *bracket = '\0';
    }
    int rc = QDV0_ConvertNameToAddr(source->pSourceName, port, &io->PartnerAddr);
    if (rc != 0) {
      QDVP_TRC(trk, TRK1_ERROR, "Source hostname <%s> cannot be resolved to an IP address.",
               source->pSourceName);
      QDVP_DisplayValidationMessage(56, source->pSourceName);
      if (bracket != nullptr) *bracket = '[';
      DestroyIOEntry(io);
      return nullptr;
    }
    {
      OSV1_Guard hold(&io->IOLock);
      io->PartnerAddr.sin_port = htons(static_cast<uint16_t>(port));
      io->ConfigPort = io->PartnerAddr.sin_port;
    }
    {
      OSV1_Guard attrs(&source->AttrLock);
      QDV0_Free(source->pSourceNodeName);
      source->pSourceNodeName = QDV0_StrDup(source->pSourceName);
    }
    if (bracket != nullptr) *bracket = '[';
  }

  if (anchor != nullptr) {
    {
      OSV1_Guard list(&anchor->IOEListLock);
      IOEntry **link = &anchor->pIOEList[QDVP_IOE_ALL];
      while (*link != nullptr) link = &(*link)->pNext;
      *link = io;
    }
    int k = KindList(letter);
    if (k > 0) {
      // Only the list changes: the new entry's own lock guards nothing yet, and is not taken
      // (a file server holds it while it asks the agent link, which takes a source's lock).
      OSV1_Guard list(&anchor->ApplIOLock[k - 1]);
      IOEntry **link = &anchor->pIOEList[k];
      while (*link != nullptr) link = &(*link)->pNextKind;
      *link = io;
    }
  }
  return io;
}

int QDVP_AllocateIObuffer(IOEntry *ioEntry) {
  if (ioEntry == nullptr) return 0;
  size_t size = static_cast<size_t>(ioEntry->BufferSize) + sizeof(IObuffer);
  if (size < QDVP_IOBUFFER_MIN) size = QDVP_IOBUFFER_MIN;
  auto *buffer = static_cast<IObuffer *>(QDV0_GetStorage(size));
  if (buffer == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "****Error: unable to obtain I/O buffer.");
    return 0;
  }
  buffer->Number = 1;
  buffer->State = QDVP_NotInUse;
  IObuffer **link = &ioEntry->pBufferList;
  while (*link != nullptr) {
    buffer->Number = static_cast<uint16_t>((*link)->Number + 1);
    link = &(*link)->pNext;
  }
  *link = buffer;
  if (buffer->Number > 1) {
    QDVP_TRC(trk, TRK1_DETAIL, "Allocated second I/O buffer @%p", static_cast<void *>(buffer));
  }
  return 1;
}

int QDVP_ComputeIObufferSize(SourceEntry *source) {
  int size = 80;
  if (source == nullptr) return size;
  OSV1_Guard attrs(&source->AttrLock);
  for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
    size += 1;
    if (strchr("DNRKZT", a->Type) != nullptr && a->Type != '\0') {
      size += a->MaxValSize;
    } else if (a->MaxValSize == 2) {
      size += 5;
    } else if (a->MaxValSize == 4) {
      size += 10;
    } else if (a->MaxValSize == 8) {
      size += 20;
    } else {
      QDVP_TRC(trk, TRK1_ERROR, "*** Logic error. Invalid attribute type. Size of 10 assumed");
      size += 10;
    }
  }
  return size;
}

void QDVP_ReleaseIOResources(DPAB *anchor, IOEntry *io) {
  if (io == nullptr) {
    QDVP_TRC(trk, TRK1_DETAIL, "Received NULL IO pointer. Exiting...");
    return;
  }
  if (anchor != nullptr) {
    {
      OSV1_Guard list(&anchor->IOEListLock);
      for (IOEntry **link = &anchor->pIOEList[QDVP_IOE_ALL]; *link; link = &(*link)->pNext) {
        if (*link == io) {
          *link = io->pNext;
          break;
        }
      }
    }
    for (int k = QDVP_IOE_APPC; k <= QDVP_IOE_SOCK; k++) {
      OSV1_Guard list(&anchor->ApplIOLock[k - 1]);
      for (IOEntry **link = &anchor->pIOEList[k]; *link; link = &(*link)->pNextKind) {
        if (*link == io) {
          *link = io->pNextKind;
          break;
        }
      }
    }
  }
  while (io->pBufferList != nullptr) {
    IObuffer *next = io->pBufferList->pNext;
    QDV0_Free(io->pBufferList);
    io->pBufferList = next;
  }
  {
    // A UDP partner's socket is the server's own; only an accepted connection is the entry's.
    OSV1_Guard hold(&io->IOLock);
    if (io->TCPsocket >= 0) QDV0_CloseTheSocket(io->TCPsocket);
    QDV0_Free(io->pPending);
  }
  if (io->pFile != nullptr) fclose(io->pFile);
  if (io->pSource != nullptr && io->pSource->pIOE == io) io->pSource->pIOE = nullptr;
  DestroyIOEntry(io);
}
