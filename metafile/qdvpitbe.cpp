// Table entries (attribute groups): the builder that decides a table's name, data type and
// time to live from the //NAME operands and gives it its group help buffer, and the lookup
// of a table by name within an application.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpitbe"};

TableEntry *QDVP_InitializeTableEntry(ApplEntry *application, const char *name,
                                      const char *typeToken, const char *ttlToken,
                                      const char *help) {
  QDVP_TRC_ENTRY(trk);
  if (name == nullptr || name[0] == '\0') {
    QDVP_TRC(trk, TRK1_ERROR, "***** No table name provided");
    QDVP_DisplayValidationMessage(43, nullptr);
    return nullptr;
  }
  auto *table = QDV0_New<TableEntry>();
  if (table == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Unable to obtain storage for TableEntry, errno: %d", errno);
    return nullptr;
  }
  size_t length = strlen(name);
  memcpy(table->TableName, name,
         length > static_cast<size_t>(QDVP_TABLE_NAME_MAX)
             ? static_cast<size_t>(QDVP_TABLE_NAME_MAX)
             : length);
  // A table whose name begins with '~' is invisible to the agent; the mark itself stays.
  QDV0_SubValidNameCharacter(table->TableName[0] == '~' ? table->TableName + 1 : table->TableName);
  if (length > static_cast<size_t>(QDVP_TABLE_NAME_MAX))
    QDVP_DisplayValidationMessage(44, table->TableName);

  // A numeric second operand without a third is the time to live of a poll table.
  if (typeToken != nullptr && ttlToken == nullptr &&
      isdigit(static_cast<unsigned char>(typeToken[0]))) {
    ttlToken = typeToken;
    typeToken = nullptr;
    table->Type = 'P';
  } else if (typeToken != nullptr && typeToken[0] != '\0') {
    char type = static_cast<char>(toupper(static_cast<unsigned char>(typeToken[0])));
    if (type != 'P' && type != 'E' && type != 'S' && type != 'K') {
      QDVP_TRC(trk, TRK1_ERROR, "***** Invalid data type %c, Poll data assumed", type);
      QDVP_DisplayValidationMessage(45, nullptr);
      type = 'P';
    }
    table->Type = type;
  } else {
    QDVP_TRC(trk, TRK1_DETAIL, "Data type not specified, Poll data assumed");
    table->Type = 'P';
  }
  if (ttlToken != nullptr && isdigit(static_cast<unsigned char>(ttlToken[0]))) {
    table->TTL = static_cast<int>(strtol(ttlToken, nullptr, 10));
  } else if (table->Type != 'E') {
    table->TTL = QDVP_DEFAULT_TTL;
    char insert[16];
    snprintf(insert, sizeof(insert), "%d", QDVP_DEFAULT_TTL);
    QDVP_DisplayValidationMessage(46, insert);
  }
  table->RecordSetCount = 1;
  table->pAppl = application;

  int limit = QDVP_MaxAttributesPerGroup();
  if (limit <= 0) limit = 63;
  table->GroupHelpSize = (limit + 1) * QDVP_HELP_SLOT;
  table->pGroupHelp =
      static_cast<char *>(QDV0_GetStorage(static_cast<size_t>(table->GroupHelpSize)));
  if (table->pGroupHelp != nullptr && help != nullptr && help[0] != '\0') {
    size_t n = strnlen(help, QDVP_HELP_MAX);
    memcpy(table->pGroupHelp, help, n);
    table->pTableHelp = table->pGroupHelp;
    table->GroupHelpNext = static_cast<int>(n + 1);
  }
  OSV1_InitializeLock(&table->SourceListLock);
  OSV1_InitializeLock(&table->TableLock);
  if (application != nullptr) {
    OSV1_Guard tables(&application->TableListLock);
    TableEntry **link = &application->pTableList;
    while (*link != nullptr) link = &(*link)->pNext;
    *link = table;
  }
  QDVP_TRC(trk, TRK1_DETAIL, "Table <%s> type %c TTL %d created", table->TableName, table->Type,
           table->TTL);
  QDVP_TRC_EXIT(trk, 0);
  return table;
}

TableEntry *QDVP_LocateTableByName(ApplEntry *application, const char *name, int length) {
  if (application == nullptr || name == nullptr || length < 0) return nullptr;
  size_t n = static_cast<size_t>(length);
  OSV1_Guard tables(&application->TableListLock);
  for (TableEntry *table = application->pTableList; table != nullptr; table = table->pNext) {
    char stored[QDVP_TABLE_NAME_MAX + 1], upper[QDVP_TABLE_NAME_MAX + 1];
    {
      OSV1_Guard lock(&table->TableLock);
      memcpy(stored, table->TableName, sizeof(stored));
    }
    for (size_t i = 0; i < sizeof(upper); i++) {
      upper[i] = static_cast<char>(toupper(static_cast<unsigned char>(stored[i])));
    }
    if (strncmp(stored, name, n) == 0 || strncmp(upper, name, n) == 0) return table;
  }
  return nullptr;
}

SourceEntry *QDVP_DefineBuiltInTable(DPAB *anchor, ApplEntry *appl, const char *name,
                                     const char *type, const char *ttl, const char *help,
                                     const BuiltInAttribute *attrs, int count,
                                     const char *nodeName) {
  TableEntry *table = QDVP_InitializeTableEntry(appl, name, type, ttl, help);
  if (table == nullptr) return nullptr;
  int fileSource = 0;
  SourceEntry *source =
      QDVP_InitializeSourceEntry(anchor, table, "BASE", nullptr, nullptr, &fileSource);
  if (source == nullptr) return nullptr;
  if (nodeName != nullptr) {
    OSV1_Guard attrs(&source->AttrLock);
    QDV0_Free(source->pSourceNodeName);
    source->pSourceNodeName = QDV0_StrDup(nodeName);
    QDVP_TRC(trk, TRK1_DETAIL, "Set pSourceNodeName <%s> SEptr @%p", nodeName, (void *)source);
  }
  for (int i = 0; i < count; i++) {
    char typeToken[4];
    snprintf(typeToken, sizeof(typeToken), "%s", attrs[i].type);
    if (QDVP_InitializeAttrEntry(source, attrs[i].name, typeToken, attrs[i].size, 0, 0,
                                 attrs[i].help, nullptr) == nullptr) {
      return nullptr;
    }
    OSV1_Guard lock(&table->TableLock);
    table->AttrCount++;
    table->AttrSentCount++;
    table->AttrNoOperandCount++;
  }
  return source;
}
