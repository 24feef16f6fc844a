// Source entries: one feed of a table (FILE, SOCK, APPC, SNMP, ODBC or the BASE default
// source). The builder checks the kind and name, decodes a FILE name into its file
// specification control block (prefix{pattern}suffix.extension), and gives the source its I/O
// entry. Also the source state changes and the lookups of sources by the agent's subnode name.
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpisre"};

extern const char *const QDVP_SourceStateName[13] = {
    "NoState", "Initial", "Connected", "Register", "Pending",  "Ready",     "Active",
    "Input",   "Output",  "Action",    "Reply",    "Inactive", "Unregister"};

static char *CopyRange(const char *begin, size_t length) {
  char *text = static_cast<char *>(QDV0_GetStorage(length + 1));
  if (text != nullptr) memcpy(text, begin, length);
  return text;
}

static void UpperInPlace(char *text) {
  for (; *text; text++) *text = static_cast<char>(toupper(static_cast<unsigned char>(*text)));
}

// network.LU[.mode[.fourth]] -> "NETWORK.LU.MODE.FOURTH" with '*' for missing parts; null
// when the name is not qualified (no '.', or a '.' followed by '*').
static char *QualifiedLUname(const char *name) {
  const char *dot = strchr(name, '.');
  if (dot == nullptr || dot[1] == '*' || dot[1] == '\0') return nullptr;
  char parts[4][128] = {{0}, {0}, {0}, {0}};
  const char *p = name;
  for (int i = 0; i < 4 && p != nullptr; i++) {
    const char *next = strchr(p, '.');
    size_t n = next ? static_cast<size_t>(next - p) : strlen(p);
    if (n >= sizeof(parts[i])) n = sizeof(parts[i]) - 1;
    memcpy(parts[i], p, n);
    p = next ? next + 1 : nullptr;
  }
  for (int i = 2; i < 4; i++) {
    if (parts[i][0] == '\0') strcpy(parts[i], "*");
  }
  char result[600];
  snprintf(result, sizeof(result), "%s.%s.%s.%s", parts[0], parts[1], parts[2], parts[3]);
  UpperInPlace(result);
  return QDV0_StrDup(result);
}

// A source whose construction failed: it was never on a table's list.
static void FreeSource(SourceEntry *source) {
  QDV0_Free(source->pSourceName);
  QDV0_Free(source->pLUname);
  {
    OSV1_Guard attrs(&source->AttrLock);
    QDV0_Free(source->pSourceNodeName);
    QDV0_Free(source->pDelimiter);
  }
  QDVP_ReleaseFileSpecControl(source->pFileSpec);
  OSV1_DestroyLock(&source->SourceLock);
  OSV1_DestroyLock(&source->AttrLock);
  OSV1_DestroyLock(&source->CopyLock);
  OSV1_DestroyLock(&source->EntryLock);
  OSV1_DestroyLock(&source->RequestMutex);
  QDV0_Free(source);
}

// Replaces the source's node name (the builder's and the I/O entry's default, under the
// attribute lock like every change of it).
static void SetNodeName(SourceEntry *source, char *name) {
  OSV1_Guard attrs(&source->AttrLock);
  QDV0_Free(source->pSourceNodeName);
  source->pSourceNodeName = name;
}

void QDVP_ReleaseFileSpecControl(FileSpecCB *block) {
  if (block == nullptr) return;
  QDV0_Free(block->pPathSpec);
  QDV0_Free(block->pPrefix);
  QDV0_Free(block->pPattern);
  QDV0_Free(block->pSuffix);
  QDV0_Free(block->pExtension);
  QDV0_Free(block->pCurrentFileName);
  QDV0_Free(block);
}

SourceEntry *QDVP_InitializeSourceEntry(DPAB *anchor, TableEntry *table, const char *kindWord,
                                        const char *name, const char *managedSystemName,
                                        int *fileSourceFlag) {
  QDVP_TRC_ENTRY(trk);
  if (kindWord == nullptr || kindWord[0] == '\0') {
    QDVP_TRC(trk, TRK1_ERROR, "***** Invalid SOURCE specification, ignored");
    QDVP_DisplayValidationMessage(37, nullptr);
    return nullptr;
  }
  char kind[16];
  snprintf(kind, sizeof(kind), "%s", kindWord);
  bool base = strlen(kindWord) <= 4 && strncmp("BASE", kindWord, strlen(kindWord)) == 0;
  if (!base) UpperInPlace(kind);
  auto *source = QDV0_New<SourceEntry>();
  if (source == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Unable to obtain storage for SourceEntry");
    return nullptr;
  }
  OSV1_InitializeLock(&source->SourceLock);
  OSV1_InitializeLock(&source->AttrLock);
  OSV1_InitializeLock(&source->CopyLock);
  OSV1_InitializeLock(&source->EntryLock);
  OSV1_InitializeLock(&source->RequestMutex);
  source->pTable = table;
  bool isFile = !base && strcmp(kind, "FILE") == 0;
  bool isAPPC = !base && strcmp(kind, "APPC") == 0;
  if (name != nullptr && name[0] != '\0') {
    if (isFile && name[0] == '"') {
      const char *start = name + 1;
      const char *last = strrchr(start, '"');
      source->pSourceName =
          CopyRange(start, last ? static_cast<size_t>(last - start) : strlen(start));
    } else if (isAPPC) {
      source->pLUname = QualifiedLUname(name);
      if (source->pLUname == nullptr) {
        QDVP_TRC(trk, TRK1_ERROR, "***** APPC source <%s> is not a qualified LU name", name);
        QDVP_DisplayValidationMessage(58, name);
        FreeSource(source);
        return nullptr;
      }
      source->pSourceName = QDV0_StrDup(name);
    } else {
      source->pSourceName = QDV0_StrDup(name);
    }
    if (source->pSourceName == nullptr) {
      FreeSource(source);
      return nullptr;
    }
    source->SourceNameLen = static_cast<int>(strlen(source->pSourceName));
  }
  const char *host = QDV0_LocalHostNameString();
  const char *dot = host ? strchr(host, '.') : nullptr;
  SetNodeName(source, host ? CopyRange(host, dot ? static_cast<size_t>(dot - host) : strlen(host))
                           : QDV0_StrDup(""));

  if (base || strcmp(kind, "BASE") == 0) {
    source->Kind = 'B';
  } else if (strcmp(kind, "SOCK") == 0) {
    source->Kind = 'S';
  } else if (isFile) {
    if (managedSystemName != nullptr && managedSystemName[0] != '\0') {
      SetNodeName(source, QDV0_StrDup(managedSystemName));
    } else if (fileSourceFlag != nullptr && *fileSourceFlag) {
      QDVP_TRC(trk, TRK1_ERROR,
               "***** More than one FILE SOURCE statement found in table <%s>, duplicate "
               "statement ignored",
               table ? table->TableName : "");
      QDVP_DisplayValidationMessage(36, nullptr);
      FreeSource(source);
      return nullptr;
    }
    if (fileSourceFlag != nullptr) *fileSourceFlag = 1;
    source->Kind = 'F';
    if (!QDVP_InitializeFileSpecControl(source)) {
      QDVP_TRC(trk, TRK1_ERROR,
               "***** Unable to initialize File Specification Control Block for table <%s> "
               "source entry @%p",
               table ? table->TableName : "", static_cast<void *>(source));
      FreeSource(source);
      return nullptr;
    }
  } else if (isAPPC) {
    source->Kind = 'A';
  } else if (strcmp(kind, "SNMP") == 0) {
    source->Kind = 'N';
  } else if (strcmp(kind, "ODBC") == 0) {
    source->Kind = 'O';
  } else {
    QDVP_TRC(trk, TRK1_ERROR, "***** Invalid SOURCE statement type <%s>. Ignored", kindWord);
    QDVP_DisplayValidationMessage(37, nullptr);
    FreeSource(source);
    return nullptr;
  }
  source->pIOE = QDVP_InitializeIOEntry(anchor, source, 0);
  if (source->pIOE == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Unable to initialize IO entry for SOURCE statement. Ignored");
    FreeSource(source);
    return nullptr;
  }
  source->State = QDVP_Initial;
  source->CreateTime = QDV0_Time();
  if (table != nullptr) {
    OSV1_Guard sources(&table->SourceListLock);
    SourceEntry **link = &table->pSourceList;
    while (*link != nullptr) link = &(*link)->pNext;
    *link = source;
  }
  QDVP_TRC(trk, TRK1_DETAIL, "Source @%p kind %c <%s> created", static_cast<void *>(source),
           source->Kind, source->pSourceName ? source->pSourceName : "");
  QDVP_TRC_EXIT(trk, 0);
  return source;
}

int QDVP_InitializeFileSpecControl(SourceEntry *source) {
  if (source == nullptr) return 0;
  const char *name = source->pSourceName ? source->pSourceName : "";
  auto *block = QDV0_New<FileSpecCB>();
  if (block == nullptr) return 0;
  block->SwitchCheckInterval = 600;
  const char *interval = QDV0_GetEnv("QDVP_DP_FILE_SWITCH_CHECK_INTERVAL", nullptr);
  if (interval != nullptr && isdigit(static_cast<unsigned char>(interval[0]))) {
    block->SwitchCheckInterval = atoi(interval);
    QDVP_TRC(trk, TRK1_DETAIL, "Default file switch check interval overridden to %d seconds",
             block->SwitchCheckInterval);
  }
  const char *open = strchr(name, '{');
  const char *close = strchr(name, '}');
  if (open == nullptr && close == nullptr) {
    block->pCurrentFileName = QDV0_StrDup(name);
    source->pFileSpec = block;
    return 1;
  }
  if (open == nullptr || close == nullptr || close < open) {
    QDVP_TRC(trk, TRK1_ERROR, "*****Invalid file pattern syntax <%s>", open ? open : name);
    QDVP_DisplayValidationMessage(79, open ? open : name);
    QDVP_ReleaseFileSpecControl(block);
    return 0;
  }
  block->PatternLen = static_cast<int>(close - open - 1);
  block->pPattern = CopyRange(open + 1, static_cast<size_t>(block->PatternLen));
  const char *after = close + 1;
  const char *period = strchr(after, '.');
  if (*after == '\0' || period == nullptr) {
    QDVP_TRC(trk, TRK1_DETAIL, "No file name extension defined");
    if (*after != '\0') {
      block->SuffixLen = static_cast<int>(strlen(after));
      block->pSuffix = QDV0_StrDup(after);
    }
  } else {
    if (period != after) {
      block->SuffixLen = static_cast<int>(period - after);
      block->pSuffix = CopyRange(after, static_cast<size_t>(block->SuffixLen));
    }
    const char *extension = period + 1;
    size_t n = strcspn(extension, " ");
    block->pExtension = CopyRange(extension, n);
    bool bad = (n > 1 && memchr(extension, '*', n) != nullptr) ||
               memchr(extension, '#', n) != nullptr || memchr(extension, '?', n) != nullptr;
    if (bad) {
      QDVP_DisplayValidationMessage(80, block->pExtension);
      QDVP_ReleaseFileSpecControl(block);
      return 0;
    }
    block->ExtensionLen = extension[0] == '*' ? 0 : static_cast<int>(n);
  }
  if (open != name) {
    const char *slash = nullptr;
    for (const char *p = name; p < open; p++) {
      if (*p == '/') slash = p;
    }
    if (slash != nullptr) {
      block->pPathSpec = CopyRange(name, static_cast<size_t>(slash - name));
      if (slash + 1 < open) {
        block->PrefixLen = static_cast<int>(open - slash - 1);
        block->pPrefix = CopyRange(slash + 1, static_cast<size_t>(block->PrefixLen));
      }
    } else {
      block->PrefixLen = static_cast<int>(open - name);
      block->pPrefix = CopyRange(name, static_cast<size_t>(block->PrefixLen));
    }
  }
  const char *pattern = block->pPattern ? block->pPattern : "";
  int numericOffset = -1, charOffset = -1;
  for (int i = 0; pattern[i]; i++) {
    char c = pattern[i];
    if (c == '#' || c == 'Y' || c == 'M' || c == 'D') {
      if (numericOffset < 0) numericOffset = i;
      block->NumericLen++;
    } else if (c == '?') {
      if (charOffset < 0) charOffset = i;
      block->CharLen++;
    } else {
      QDVP_TRC(trk, TRK1_ERROR, "*****File pattern contains invalid specification <%s>", pattern);
      QDVP_DisplayValidationMessage(81, pattern);
      QDVP_ReleaseFileSpecControl(block);
      return 0;
    }
  }
  block->NumericOffset = numericOffset < 0 ? 0 : numericOffset;
  block->CharOffset = charOffset < 0 ? 0 : charOffset;
  block->TotalNameLen = block->PrefixLen + block->PatternLen + block->SuffixLen;
  block->PatternFlag = 1;
  source->pFileSpec = block;
  return 1;
}

// The caller holds or owns the source (a freed one cannot reach here: see the model's
// Lifetimes), so only a null one is refused.
void QDVP_UpdateSourceEntryState(SourceEntry *source, int state) {
  if (source == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "*****Input source entry invalid @%p", static_cast<void *>(source));
    return;
  }
  if (state < 0 || state > QDVP_Unregister) return;
  int old = source->State;
  source->State = state;
  QDVP_TRC(trk, TRK1_DETAIL, "Source @%p Old state %s, New state %s", static_cast<void *>(source),
           old >= 0 && old <= QDVP_Unregister ? QDVP_SourceStateName[old] : "?",
           QDVP_SourceStateName[state]);
}

int QDVP_CheckSourceState(SourceEntry *source, int state) {
  return source != nullptr && source->State == state ? 1 : 0;
}

// Compares the node part of a subnode name with a source's node name.
static bool NodeMatches(const char *node, size_t nodeLength, const char *nodeName, bool policy) {
  if (nodeName == nullptr) return false;
  size_t n = strlen(nodeName);
  if (nodeLength == n) return strncmp(node, nodeName, n) == 0;
  if (nodeLength > n) {
    if (policy) {
      QDVP_TRC(trk, TRK1_DETAIL, "NodeName size %d greater than SourceName length %d",
               static_cast<int>(nodeLength), static_cast<int>(n));
    }
    return false;
  }
  const char *dot = strchr(nodeName, '.');
  if (dot != nullptr && static_cast<size_t>(dot - nodeName) <= nodeLength) {
    return strncmp(node, nodeName, nodeLength) == 0;
  }
  return strncmp(node, nodeName + (n - nodeLength), nodeLength) == 0;
}

// The shared walk of both subnode lookups: the first match, or with policy set every match of
// the first matching application chained through pNextMatch. With hold, the first match is
// held for the caller (a source being deleted does not match).
static SourceEntry *LocateBySubNode(DPAB *anchor, const char *subnode, bool policy,
                                    bool hold = false) {
  if (anchor == nullptr || subnode == nullptr) return nullptr;
  const char *colon = strchr(subnode, ':');
  if (colon == nullptr) return nullptr;
  size_t nodeLength = static_cast<size_t>(colon - subnode);
  const char *rest = colon + 1;
  SourceEntry *first = nullptr, **tail = &first;
  int count = 0;
  OSV1_Guard list(&anchor->ApplListLock);
  for (ApplEntry *appl = anchor->pApplList; appl != nullptr && first == nullptr;
       appl = appl->pNext) {
    char upper[QDVP_APPL_NAME_MAX + 1];
    snprintf(upper, sizeof(upper), "%s", appl->ApplName);
    UpperInPlace(upper);
    size_t an = strlen(upper);
    if (an == 0 || strncmp(rest, upper, an) != 0) continue;
    const char *tableText = rest + an;
    size_t tn = strlen(tableText);
    tn = tn >= 2 ? tn - 2 : 0;
    if (tn > QDVP_TABLE_NAME_MAX) tn = QDVP_TABLE_NAME_MAX;
    OSV1_Guard tables(&appl->TableListLock);
    for (TableEntry *t = appl->pTableList; t != nullptr; t = t->pNext) {
      char tableUpper[QDVP_TABLE_NAME_MAX + 1];
      snprintf(tableUpper, sizeof(tableUpper), "%s", t->TableName);
      UpperInPlace(tableUpper);
      if (!policy && strncmp(tableUpper, tableText, tn) != 0) continue;
      OSV1_Guard sources(&t->SourceListLock);
      for (SourceEntry *s = t->pSourceList; s != nullptr; s = s->pNext) {
        if (s->State != QDVP_Active && s->State != QDVP_Input && s->State != QDVP_Output) continue;
        bool matches;
        {
          // A socket partner's binding replaces the node name under this lock.
          OSV1_Guard attrs(&s->AttrLock);
          matches = NodeMatches(subnode, nodeLength, s->pSourceNodeName, policy);
        }
        if (!matches) continue;
        if (hold && first == nullptr && !OSV1_TakeHold(&s->Holds)) continue;
        if (!policy) return s;
        s->pNextMatch = nullptr;
        *tail = s;
        tail = &s->pNextMatch;
        count++;
      }
    }
  }
  if (policy) QDVP_TRC(trk, TRK1_DETAIL, "%d matching SourceEntry object(s) found", count);
  return first;
}

SourceEntry *QDVP_LocateSourceBySubNode(DPAB *anchor, const char *subnodeName) {
  return LocateBySubNode(anchor, subnodeName, false);
}

SourceEntry *QDVP_LocatePolicySourceBySubNode(DPAB *anchor, const char *subnodeName) {
  return LocateBySubNode(anchor, subnodeName, true);
}

SourceEntry *QDVP_HoldSourceBySubNode(DPAB *anchor, const char *subnodeName, bool policy) {
  return LocateBySubNode(anchor, subnodeName, policy, true);
}
