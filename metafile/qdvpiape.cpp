// Application entries: the builder that checks an application name (length, reserved
// prefixes, characters) and chains the entry to the anchor, and the lookups that start at the
// application list: by name, by SNMP OID, and the attribute named by an SNMP set request.
#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpiape"};

// The names whose first three letters no customer application may use: the data provider log
// application and the SNMP manager application.
static const char kDPlogApplName[] = "OmniVar";
static const char kSNMPmanagerName[] = "SNMP-Manager";

static bool SamePrefix3(const char *name, const char *reserved) {
  for (int i = 0; i < 3; i++) {
    if (name[i] == '\0') return false;
    if (toupper(static_cast<unsigned char>(name[i])) !=
        toupper(static_cast<unsigned char>(reserved[i])))
      return false;
  }
  return true;
}

static void CopyUpper(char *target, const char *source, size_t size) {
  size_t i = 0;
  for (; i + 1 < size && source[i]; i++) {
    target[i] = static_cast<char>(toupper(static_cast<unsigned char>(source[i])));
  }
  target[i] = '\0';
}

ApplEntry *QDVP_InitializeApplicationEntry(DPAB *anchor, const char *name, int packagedSolution,
                                           const char *help) {
  QDVP_TRC_ENTRY(trk);
  if (name == nullptr || name[0] == '\0') {
    QDVP_TRC(trk, TRK1_ERROR, "***** No application name provided");
    QDVP_DisplayValidationMessage(38, name);
    return nullptr;
  }
  if (strlen(name) < static_cast<size_t>(QDVP_APPL_NAME_MIN)) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Application name less than minimum length");
    QDVP_DisplayValidationMessage(30, name);
    return nullptr;
  }
  if (!packagedSolution) {
    if (name[0] == 'K' || name[0] == 'k') {
      QDVP_TRC(trk, TRK1_ERROR, "***** Application name <%s> begins with reserved K", name);
      QDVP_DisplayValidationMessage(53, name);
      return nullptr;
    }
    if (SamePrefix3(name, kDPlogApplName) || SamePrefix3(name, kSNMPmanagerName)) {
      QDVP_TRC(trk, TRK1_ERROR,
               "***** Application name <%s> can not start with Corvid Reserved keys", name);
      QDVP_DisplayValidationMessage(62, name);
      return nullptr;
    }
  }
  auto *appl = QDV0_New<ApplEntry>();
  if (appl == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR,
             "Unable to obtain storage for ApplicationEntry for Application <%s>, errno: %d", name,
             errno);
    return nullptr;
  }
  if (help != nullptr && help[0] != '\0') {
    size_t n = strnlen(help, QDVP_HELP_MAX);
    appl->pApplHelp = static_cast<char *>(QDV0_GetStorage(n + 1));
    if (appl->pApplHelp != nullptr) memcpy(appl->pApplHelp, help, n);
  }
  size_t length = strlen(name);
  memcpy(appl->ApplName, name,
         length > static_cast<size_t>(QDVP_APPL_NAME_MAX) ? static_cast<size_t>(QDVP_APPL_NAME_MAX)
                                                          : length);
  QDV0_SubValidNameCharacter(appl->ApplName);
  if (length > static_cast<size_t>(QDVP_APPL_NAME_MAX))
    QDVP_DisplayValidationMessage(32, appl->ApplName);
  OSV1_InitializeLock(&appl->TableListLock);
  OSV1_InitializeLock(&appl->NameLock);
  if (anchor != nullptr) {
    OSV1_Guard list(&anchor->ApplListLock);
    ApplEntry **link = &anchor->pApplList;
    while (*link != nullptr) link = &(*link)->pNext;
    *link = appl;
  }
  QDVP_TRC(trk, TRK1_DETAIL, "Application entry @%p <%s> created", static_cast<void *>(appl),
           appl->ApplName);
  QDVP_TRC_EXIT(trk, 0);
  return appl;
}

// The walk of QDVP_LocateApplicationByName, with the application list lock held.
static ApplEntry *FindApplication(DPAB *anchor, const char *name, int length)
    QDVP_REQUIRES(anchor->ApplListLock) {
  for (ApplEntry *appl = anchor->pApplList; appl != nullptr; appl = appl->pNext) {
    char upper[QDVP_APPL_NAME_MAX + 1];
    {
      OSV1_Guard nameLock(&appl->NameLock);
      CopyUpper(upper, appl->ApplName, sizeof(upper));
    }
    // The first length bytes of the upper-cased name, or the stored name exactly.
    size_t n = static_cast<size_t>(length);
    if (strncmp(upper, name, n) == 0 || strcmp(appl->ApplName, name) == 0) return appl;
  }
  return nullptr;
}

ApplEntry *QDVP_LocateApplicationByName(DPAB *anchor, const char *name, int length) {
  if (anchor == nullptr || name == nullptr || length < 0) return nullptr;
  OSV1_Guard list(&anchor->ApplListLock);
  return FindApplication(anchor, name, length);
}

SourceEntry *QDVP_HoldTableSource(DPAB *anchor, const char *applName, int applLength,
                                  const char *tableName, int tableLength, ApplEntry **appl,
                                  TableEntry **table) {
  *appl = nullptr;
  *table = nullptr;
  if (anchor == nullptr || applName == nullptr || applLength < 0) return nullptr;
  // A listed application is not freed before it is unlinked under this lock.
  OSV1_Guard list(&anchor->ApplListLock);
  *appl = FindApplication(anchor, applName, applLength);
  if (*appl == nullptr) return nullptr;
  if (tableName != nullptr) {
    *table = QDVP_LocateTableByName(*appl, tableName, tableLength);
  } else {
    OSV1_Guard tables(&(*appl)->TableListLock);
    *table = (*appl)->pTableList;
  }
  if (*table == nullptr) return nullptr;
  OSV1_Guard sources(&(*table)->SourceListLock);
  SourceEntry *source = (*table)->pSourceList;
  if (source == nullptr || !OSV1_TakeHold(&source->Holds)) return nullptr;
  return source;
}

char *QDVP_LocateAttributeByOID(DPAB *anchor, const char *oidText) {
  if (anchor == nullptr || oidText == nullptr) return nullptr;
  // An OID whose last part begins with 0 also matches the attribute without that part.
  const char *lastDot = strrchr(oidText, '.');
  size_t shortLength =
      (lastDot != nullptr && lastDot[1] == '0') ? static_cast<size_t>(lastDot - oidText) : 0;
  OSV1_Guard list(&anchor->ApplListLock);
  for (ApplEntry *appl = anchor->pApplList; appl != nullptr; appl = appl->pNext) {
    if (!appl->SNMPappl || appl->pEnterpriseOID == nullptr) continue;
    if (strstr(oidText, appl->pEnterpriseOID) == nullptr) continue;
    OSV1_Guard tables(&appl->TableListLock);
    for (TableEntry *table = appl->pTableList; table != nullptr; table = table->pNext) {
      SourceEntry *source = QDVP_FirstSourceOf(table);
      if (source == nullptr) continue;
      OSV1_Guard attrs(&source->AttrLock);
      for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
        if (a->pOID == nullptr) continue;
        if (strcmp(a->pOID, oidText) == 0) return a->Name;
        if (shortLength > 0 && strlen(a->pOID) == shortLength &&
            strncmp(a->pOID, oidText, shortLength) == 0)
          return a->Name;
      }
    }
  }
  return nullptr;
}

// The blank-delimited word after keyword in text, copied into word (size bytes).
static bool WordAfter(const char *text, const char *keyword, char *word, size_t size) {
  const char *p = strstr(text, keyword);
  if (p == nullptr) return false;
  p += strlen(keyword);
  while (*p == ' ') p++;
  size_t n = 0;
  while (p[n] && p[n] != ' ' && n + 1 < size) n++;
  memcpy(word, p, n);
  word[n] = '\0';
  return n > 0;
}

AttrEntry *QDVP_LocateSetAttribute(DPAB *anchor, const char *parameterText) {
  if (anchor == nullptr || parameterText == nullptr) return nullptr;
  char applName[256], attrName[QDVP_ATTR_NAME_MAX + 1];
  if (!WordAfter(parameterText, "APPLNAME=", applName, sizeof(applName))) applName[0] = '\0';
  if (!WordAfter(parameterText, "ATTR=", attrName, sizeof(attrName))) attrName[0] = '\0';
  ApplEntry *appl =
      QDVP_LocateApplicationByName(anchor, applName, static_cast<int>(strlen(applName)));
  if (appl == nullptr || !appl->SNMPappl) {
    QDVP_TRC(trk, TRK1_ERROR, "Application not found or loaded %s %d", applName,
             static_cast<int>(strlen(applName)));
    return nullptr;
  }
  OSV1_Guard tables(&appl->TableListLock);
  for (TableEntry *table = appl->pTableList; table != nullptr; table = table->pNext) {
    SourceEntry *source = QDVP_FirstSourceOf(table);
    if (source == nullptr) continue;
    OSV1_Guard attrs(&source->AttrLock);
    for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
      if (strcmp(a->Name, attrName) == 0) return a;
    }
  }
  QDVP_TRC(trk, TRK1_ERROR, "Attribute not found %s %d", attrName,
           static_cast<int>(strlen(attrName)));
  return nullptr;
}
