// Registration: the message that tells the agent about an application and its tables, the
// register request, and the exported service that builds the message for a metafile.
//
// The message is grown table by table. Each table contributes its name, help, data type, time
// to live and one text that describes its registered attributes, one entry per attribute:
//   [@][$]name,type,size,enum-or-blank,help-or-blank;
// Tables whose name starts with "~" and the small tables of SNMP applications stay private.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dchcomm.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpcrbf"};

namespace {

// The type letter an attribute registers with: text types as D, rates as G.
char RegistrationType(char type) {
  if (type == 'N' || type == 'R' || type == 'Z') return 'D';
  if (type == '?' || type == '#' || type == '%') return 'G';
  return type;
}

bool Registered(const AttrEntry *a) { return a->Sent && a->Type != 'K'; }

// Appends one attribute's description at out; returns the bytes written.
size_t DescribeAttribute(const AttrEntry *a, char *out) {
  char *p = out;
  if (a->AttrKey) *p++ = '@';
  if (a->AttrAtomic) *p++ = '$';
  p += sprintf(p, "%s,%c,%d,", a->Name, RegistrationType(a->Type), a->MaxValSize);
  const char *e = a->pEnum && a->pEnum[0] ? a->pEnum : " ";
  const char *h = a->pHelp && a->pHelp[0] ? a->pHelp : " ";
  p += sprintf(p, "%s,%s;", e, h);
  return static_cast<size_t>(p - out);
}

// Upper bound of the descriptions of a table's source.
size_t DescriptionsBound(SourceEntry *s) {
  if (s == nullptr) return 0;
  OSV1_Guard attrs(&s->AttrLock);
  size_t n = 0;
  for (const AttrEntry *a = s->pAttrList; a; a = a->pNext) {
    n += strlen(a->Name) + 32 + (a->pEnum ? strlen(a->pEnum) : 1) +
         (a->pHelp ? strlen(a->pHelp) : 1);
  }
  return n;
}

size_t PutText(unsigned char *m, size_t cap, size_t pos, int code, const char *text) {
  return QDV0_FormatDataField(m, cap, pos, code, text ? text : "", text ? strlen(text) : 0, 0);
}

}  // namespace

unsigned char *QDVP_ConstructRegistrationBuffer(ApplEntry *appl) {
  QDVP_TRC_ENTRY(trk);
  unsigned char *message = nullptr;
  size_t capacity = 0;
  OSV1_Guard name(&appl->NameLock);
  OSV1_Guard tables(&appl->TableListLock);
  for (TableEntry *t = appl->pTableList; t != nullptr; t = t->pNext) {
    int sentCount, attrCount;
    {
      OSV1_Guard counts(&t->TableLock);
      sentCount = t->AttrSentCount;
      attrCount = t->AttrCount;
    }
    if (appl->SNMPappl && sentCount <= 2) {
      QDVP_TRC(trk, TRK1_DETAIL, "Table %s registration bypassed", t->TableName);
      continue;
    }
    if (t->TableName[0] == '~') {
      QDVP_TRC(trk, TRK1_DETAIL, "Invisible table %s registration bypassed", t->TableName);
      continue;
    }
    SourceEntry *source;
    {
      OSV1_Guard sources(&t->SourceListLock);
      source = t->pSourceList;
    }
    size_t used = message ? QDVP_WireGet32(message) : 0;
    size_t estimate = static_cast<size_t>(attrCount) * 640 + 320;
    size_t bound = DescriptionsBound(source) + 2 * QDVP_HELP_SLOT + 128;
    size_t grown = used + (estimate > bound ? estimate : bound) + (message ? 0 : 512);
    auto *bigger = static_cast<unsigned char *>(QDV0_GetStorage(grown));
    if (bigger == nullptr) {
      QDVP_TRC(trk, TRK1_ERROR, "*** unable to obtain storage for registration string");
      QDV0_Free(message);
      return nullptr;
    }
    if (message) memcpy(bigger, message, used);
    QDV0_Free(message);
    message = bigger;
    capacity = grown;
    size_t pos = QDVP_WIRE_LENGTH_WORD;
    if (used == 0) {
      unsigned char code[2];
      QDVP_WirePut16(code, QDVP_REQ_DP_REGISTER);
      pos += QDV0_FormatDataField(message, capacity, pos, QDVP_FIELD_REQUEST, code, 2, 0);
      pos += PutText(message, capacity, pos, QDVP_FIELD_APPL_NAME, appl->ApplName);
      pos += PutText(message, capacity, pos, QDVP_FIELD_HELP, appl->pApplHelp);
    } else {
      pos = used;
    }
    pos += PutText(message, capacity, pos, QDVP_FIELD_TABLE_NAME, t->TableName);
    pos += PutText(message, capacity, pos, QDVP_FIELD_HELP, t->pTableHelp);
    char type[2] = {appl->SNMPappl && t->SNMPattrCount > 0 ? 'N' : t->Type, 0};
    if (type[0] == 0) type[0] = 'P';
    pos += PutText(message, capacity, pos, QDVP_FIELD_DATA_TYPE, type);
    unsigned char ttl[4];
    QDVP_WirePut32(ttl, static_cast<uint32_t>(t->TTL));
    pos += QDV0_FormatDataField(message, capacity, pos, QDVP_FIELD_TTL, ttl, 4, 0);
    // The descriptions are written 8 bytes further on and then moved into their field.
    char *text = reinterpret_cast<char *>(message + pos + 8);
    size_t length = 0;
    if (source != nullptr) {
      OSV1_Guard attrs(&source->AttrLock);
      bool ordered = source->pOrderList != nullptr;
      for (AttrEntry *a = ordered ? source->pOrderList : source->pAttrList; a != nullptr;
           a = ordered ? a->pOrderNext : a->pNext) {
        if (!Registered(a)) continue;
        length += DescribeAttribute(a, text + length);
      }
    }
    pos +=
        QDV0_FormatDataField(message, capacity, pos, QDVP_FIELD_ATTR_DESCRIPTIONS, text, length, 0);
    QDVP_TRC(trk, TRK1_DETAIL, "Attribute Group <%s> Registration buffer size %d", t->TableName,
             static_cast<int>(pos));
  }
  QDVP_TRC_EXIT(trk, message != nullptr);
  return message;
}

void QDVP_DoDPregister(SourceEntry *source, DCHcomm *comm) {
  QDVP_TRC_ENTRY(trk);
  if (comm->pDPAB->StandAlone) return;
  comm->Status = QDVP_DCH_STATUS_LOCAL_FAILURE;
  ApplEntry *appl = source->pTable->pAppl;
  unsigned char *message = QDVP_ConstructRegistrationBuffer(appl);
  if (message == nullptr) {
    if (appl->SNMPappl) comm->Status = 0;
    return;
  }
  // Our addition: the rows each source would keep in flight. An agent that does not know the
  // field skips it and answers without one: no window.
  size_t length = QDVP_WireGet32(message);
  QDV0_Scratch<unsigned char> asking(static_cast<unsigned char *>(nullptr));
  if (comm->WantedWindow > 1) {
    asking = QDV0_Scratch<unsigned char>(length + QDVP_WIRE_FIELD_HEADER + 4);
  }
  if (asking) {
    memcpy(asking.get(), message, length);
    unsigned char window[4];
    QDVP_WirePut32(window, static_cast<uint32_t>(comm->WantedWindow));
    QDVP_WireFormatField(asking.get(), length + QDVP_WIRE_FIELD_HEADER + 4, length,
                         QDVP_FIELD_WINDOW, window, 4, 0);
  }
  unsigned char *sent = asking ? asking.get() : message;
  do {
    comm->RequestNumber = source->RequestNumber.load();
    QDVP_DCHsendAndReceive(static_cast<int>(QDVP_WireGet32(sent)), sent, comm, 0);
  } while (QDVP_DCHsendAgain(comm));
  QDV0_Free(message);
  QDVP_TRC_EXIT(trk, comm->Status);
}

// Builds the registration message of a metafile's application with a temporary anchor.
int QDVP_ConstructDPregisterBuffer(const char *metafileName, unsigned char **message) {
  if (message) *message = nullptr;
  if (metafileName == nullptr || message == nullptr) return 0;
  DPAB *anchor = QDVP_StartupInitialization();
  if (anchor == nullptr) return 0;
  int word = 0;
  ApplEntry *appl = QDVP_ConstructApplDataModel(anchor, metafileName, 1, nullptr, nullptr, 0, 1);
  if (appl != nullptr) {
    unsigned char *built = QDVP_ConstructRegistrationBuffer(appl);
    if (built != nullptr) {
      // Handed to the caller in storage of its own (the caller frees it with free()).
      uint32_t length = QDVP_WireGet32(built);
      auto *copy = static_cast<unsigned char *>(malloc(length));
      if (copy != nullptr) {
        memcpy(copy, built, length);
        *message = copy;
        memcpy(&word, built, 4);
      }
      QDV0_Free(built);
    }
  }
  QDVP_ShutdownCleanUp(anchor, 1);
  QDVP_ReleaseGlobalResources(anchor);
  return word;
}
