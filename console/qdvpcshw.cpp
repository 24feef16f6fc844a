// The SHOW reply: an application's definition (metafile, name, tables, sources, attributes)
// as the text the console sends back. The text is cut into parts of about 1000 bytes so that
// each part fits in one datagram; parts are separated by '@' and each starts with its part
// code: 2 the only part, 1 the first of several, 0 a middle part, 3 the last part.
#include <stdio.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_console.h"
#include "../include/qdvp_model.h"

static TRK1_BLOCK trk = {"qdvpcshw"};

namespace {

// The longest value written into one item, so that an item always fits in a fresh part.
constexpr size_t kMaxValue = 600;

struct ShowBuilder {
  char *buffer = nullptr;
  int size = 0;
  size_t used = 0;
  bool grown = false;
  bool failed = false;
};

// Appends one item; starts a new part first when less than the reserve (or less than the
// item) remains.
void Append(ShowBuilder *b, const char *item) {
  if (b->failed) return;
  size_t n = strlen(item);
  size_t room = static_cast<size_t>(b->size) - b->used;
  if (room < QDVP_SHOW_BUFFER_RESERVE || room <= n) {
    int size = GetBiggerBuffer(&b->buffer, b->size);
    if (size == 0) {
      b->failed = true;
      return;
    }
    b->size = size;
    b->used = strlen(b->buffer);
    b->grown = true;
  }
  memcpy(b->buffer + b->used, item, n);
  b->used += n;
  b->buffer[b->used] = '\0';
}

// A value as written into the reply: '@' separates parts, so a value never carries one.
void CleanValue(const char *value, char *out, size_t size) {
  snprintf(out, size, "%s", value != nullptr ? value : "");
  for (char *c = out; *c; c++) {
    if (*c == '@') *c = '_';
  }
}

void AppendItem(ShowBuilder *b, int number, const char *value, const char *tail) {
  char clean[kMaxValue + 1];
  CleanValue(value, clean, sizeof(clean));
  char item[kMaxValue + 128];
  snprintf(item, sizeof(item), "%d;%s;%s", number, clean, tail);
  Append(b, item);
}

const char *TableTypeText(char type) {
  switch (type) {
    case 'E':
      return "Event-Data TTL=";
    case 'S':
      return "Sample Data TTL=";
    case 'K':
      return "Key Data TTL=";
    default:
      return "Poll Data TTL=";
  }
}

const char *SourceKindText(char kind) {
  switch (kind) {
    case 'F':
      return "FILE";
    case 'S':
      return "SOCKET";
    case 'O':
      return "ODBC";
    case 'B':
      return "API";
    case 'N':
      return "SNMP";
    case 'A':
      return "APPC";
    default:
      return "API";
  }
}

// The attribute's type text and key/atomic mark, ending with ';'.
void AttributeTail(const AttrEntry *a, char *out, size_t size) {
  char type[64] = "";
  switch (a->Type) {
    case 'A':
      snprintf(type, sizeof(type), "Average Type");
      break;
    case 'S':
      snprintf(type, sizeof(type), "Switch Type");
      break;
    case 'G':
      snprintf(type, sizeof(type), "Gauge Type");
      break;
    case 'C':
      snprintf(type, sizeof(type), "Counter Type");
      break;
    case 'D':
      snprintf(type, sizeof(type), "Display Type Max Size %d", a->MaxValSize);
      break;
    case 'O':
      snprintf(type, sizeof(type), "Object Type Max Size %d", a->MaxValSize);
      break;
    case 'Z':
      snprintf(type, sizeof(type), "Last Type Max Size %d", a->MaxValSize);
      break;
    case 'T':
      snprintf(type, sizeof(type), "Time Type");
      break;
    default:
      break;
  }
  const char *mark = a->AttrKey && a->AttrAtomic ? " KEY ATOMIC;"
                     : a->AttrKey                ? " KEY;"
                     : a->AttrAtomic             ? " ATOMIC;"
                                                 : ";";
  snprintf(out, size, "%s%s", type, mark);
}

}  // namespace

int GetBiggerBuffer(char **buffer, int size) {
  int bigger = size + QDVP_SHOW_BUFFER_STEP;
  char *grown = static_cast<char *>(QDV0_GetStorage(static_cast<size_t>(bigger)));
  if (grown == nullptr) return 0;
  size_t used = *buffer != nullptr ? strlen(*buffer) : 0;
  if (used > 0) memcpy(grown, *buffer, used);
  memcpy(grown + used, "@0 ", 4);
  QDV0_Free(*buffer);
  *buffer = grown;
  QDVP_TRC(trk, TRK1_DETAIL, "SHOW reply buffer size increased from %d to %d", size, bigger);
  return bigger;
}

char *QDVP_ConstructShowReply(ApplEntry *application) {
  if (application == nullptr) return nullptr;
  ShowBuilder b;
  b.size = QDVP_SHOW_BUFFER_STEP;
  b.buffer = static_cast<char *>(QDV0_GetStorage(static_cast<size_t>(b.size)));
  if (b.buffer == nullptr) return nullptr;
  Append(&b, "2 ");
  char tail[160];
  OSV1_Guard name(&application->NameLock);
  {
    char *upper = QDV0_ConvertStringToUpper(
        const_cast<char *>(application->pMetafileName ? application->pMetafileName : ""), 1);
    AppendItem(&b, 0, upper, "");
    QDV0_Free(upper);
    AppendItem(&b, 1, application->ApplName, "");
  }
  OSV1_Guard tables(&application->TableListLock);
  for (TableEntry *t = application->pTableList; t != nullptr; t = t->pNext) {
    {
      OSV1_Guard table(&t->TableLock);
      snprintf(tail, sizeof(tail), "%s%d;", TableTypeText(t->Type), t->TTL);
      AppendItem(&b, 2, t->TableName, tail);
    }
    OSV1_Guard sources(&t->SourceListLock);
    for (SourceEntry *s = t->pSourceList; s != nullptr; s = s->pNext) {
      const char *sourceName =
          s->pSourceName != nullptr && s->pSourceName[0] != '\0' ? s->pSourceName : "-";
      char item[kMaxValue + 32];
      char clean[kMaxValue + 1];
      CleanValue(sourceName, clean, sizeof(clean));
      snprintf(item, sizeof(item), "3;%s;%s;", SourceKindText(s->Kind), clean);
      Append(&b, item);
      OSV1_Guard attrs(&s->AttrLock);
      for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext) {
        AttributeTail(a, tail, sizeof(tail));
        AppendItem(&b, 4, a->Name, tail);
      }
    }
  }
  if (b.failed) {
    QDV0_Free(b.buffer);
    return nullptr;
  }
  if (b.grown) {
    // First part code 1, last part code 3.
    b.buffer[0] = '1';
    char *last = strrchr(b.buffer, '@');
    if (last != nullptr) last[1] = '3';
  }
  return b.buffer;
}
