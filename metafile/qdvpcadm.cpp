// Model construction: QDVP_ConstructApplDataModel reads a metafile record by record, applies
// the order rules of the statement language (//SNMP and //CORVID first, then //APPL, then
// //NAME groups with their //SOURCE, //ATTRIBUTES, //RECORDSET, //CONFIRM, //INTERNAL,
// //SUMMARY and //ODBC statements), builds the application with its tables and sources,
// finishes each table, runs the final checks and, outside validation runs, registers the
// application with the agent. The table statements are handled in qdvpctbs.cpp, attribute
// definitions in qdvpcatd.cpp.
#include "qdvpcadm.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_agentlink.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_metafile.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_request.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpcadm"};

static const char kSourceNameHelp[] =
    "Omnivar inserted attribute per metafile keyword AddSourceName specification. It contains "
    "the data source origin node host name.";
static const char kTimeStampHelp[] =
    "Omnivar inserted attribute per metafile keyword AddTimeStamp specification. It is the "
    "16-byte Corvid timestamp when the data arrived.";

// The text after option (one of its spellings) up to the next blank, blanked out of record;
// null when the record has none.
static char *TakeWordOption(char *record, const char *const *spellings) {
  for (int i = 0; spellings[i] != nullptr; i++) {
    char *at = strstr(record, spellings[i]);
    if (at == nullptr) continue;
    char *value = at + strlen(spellings[i]);
    while (*value == ' ') value++;
    size_t n = strcspn(value, " ");
    char *text = static_cast<char *>(QDV0_GetStorage(n + 1));
    if (text != nullptr) memcpy(text, value, n);
    memset(at, ' ', static_cast<size_t>(value + n - at));
    return text;
  }
  return nullptr;
}

// The help text of an //APPL or //NAME record: after its last '@', which ends the record.
static const char *TakeHelp(char *record) {
  char *at = strrchr(record, '@');
  if (at == nullptr) return nullptr;
  *at = '\0';
  char *help = at + 1;
  while (*help == ' ') help++;
  return *help ? help : nullptr;
}

static void FreeOptions(MetaOptions *o) {
  QDV0_Free(o->module);
  QDV0_Free(o->managedSystem);
  QDV0_Free(o->dsn);
  QDV0_Free(o->enumText);
  QDV0_Free(o->delimiter);
  QDV0_Free(o->filter);
  memset(o, 0, sizeof(*o));
}

void QDVP_SplitMetaRecord(MetaParser *p) {
  p->tokenCount = 0;
  for (char *t = QDV0_strtok(p->record, " "); t != nullptr && p->tokenCount < QDVP_MAX_TOKENS;
       t = QDV0_strtok(nullptr, " ")) {
    p->tokens[p->tokenCount++] = t;
  }
}

AttrEntry *QDVP_AddInsertedAttribute(MetaParser *p, const char *name, const char *type,
                                     const char *size, const char *help) {
  if (p->source == nullptr || p->table == nullptr) return nullptr;
  char typeToken[4];
  snprintf(typeToken, sizeof(typeToken), "%s", type);
  AttrEntry *a = QDVP_InitializeAttrEntry(p->source, name, typeToken, size, 0, 0, help, nullptr);
  if (a == nullptr) return nullptr;
  {
    OSV1_Guard lock(&p->table->TableLock);
    p->table->AttrCount++;
    p->table->AttrNoOperandCount++;
    p->table->AttrSentCount++;
  }
  p->tableSentCount++;
  return a;
}

// Finishes the current table: inserted attributes, SNMP keys, copies of the attribute list to
// the table's other sources, the summary definition and the default key of a K table.
static void FinishTable(MetaParser *p) {
  TableEntry *table = p->table;
  if (table == nullptr) return;
  if (p->addSourceName) {
    QDVP_AddInsertedAttribute(p, "_DataSourceName", "D", "32", kSourceNameHelp);
    p->addSourceName = 0;
  }
  if (p->addTimeStamp) {
    QDVP_AddInsertedAttribute(p, "_LocalTimeStamp", "T", "16", kTimeStampHelp);
    p->addTimeStamp = 0;
  }
  if (p->inAttrList && (p->snmp || p->packaged))
    p->tableSentCount += QDVP_CheckSNMPtabularKey(table);
  if (p->sourcePresent && p->inAttrList && p->source != nullptr) {
    if (QDVP_CheckCopySourceAttributes(table, p->source) != 0) p->copyFailure = 1;
  }
  if (table->pSMB != nullptr) QDVP_CompleteSummaryTableDefinition(table, 1);
  if (p->inAttrList && table->Type == 'K' && !p->keyFound) {
    OSV1_Guard sources(&table->SourceListLock);
    for (SourceEntry *s = table->pSourceList; s != nullptr; s = s->pNext) {
      OSV1_Guard attrs(&s->AttrLock);
      if (s->pAttrList != nullptr) {
        s->pAttrList->AttrKey = 1;
        QDVP_TRC(trk, TRK1_DETAIL, "Setting AttrKey to YES for attribute <%s>", s->pAttrList->Name);
      }
    }
  }
}

static void DoSNMP(MetaParser *p) {
  if (!p->firstStatement || p->snmp) {
    QDVP_DisplayValidationMessage(17, nullptr);
    return;
  }
  p->snmp = 1;
  if (MetaEqualsUpper(MetaToken(p, 1), "TEXT")) {
    p->snmpText = 1;
  } else {
    p->enciphered = 1;
  }
}

static void DoCORVID(MetaParser *p) {
  if (!p->firstStatement || p->corvidSeen) {
    QDVP_DisplayValidationMessage(65, nullptr);
    return;
  }
  p->corvidSeen = 1;
  p->enciphered = 1;
}

static void DoAPPL(MetaParser *p, const char *help) {
  if (p->applFound) {
    QDVP_DisplayValidationMessage(2, p->metafileName);
    p->stop = 1;
    return;
  }
  if (!p->packaged && (p->anchor->DPtype == QDVP_TYPE_SNMP) != (p->snmp != 0)) {
    if (p->snmp && !p->validate) {
      QDVP_TRC(trk, TRK1_DETAIL, "SNMP metafile %s bypassed for non-SNMP DP", p->metafileName);
      p->bypassed = 1;
      p->stop = 1;
      return;
    }
    if (!p->snmp) {
      QDVP_TRC(trk, TRK1_DETAIL, "Non-SNMP metafile %s bypassed for SNMP DP", p->metafileName);
      p->bypassed = 1;
      p->stop = 1;
      return;
    }
  }
  const char *name = MetaToken(p, 1);
  if (name != nullptr && QDVP_CheckApplicationExistence(p->anchor, name) != nullptr) {
    if (p->alreadyDefinedOut != nullptr) *p->alreadyDefinedOut = 1;
    QDVP_DisplayValidationMessage(78, name);
    p->stop = 1;
    return;
  }
  ApplEntry *appl = QDVP_InitializeApplicationEntry(p->anchor, name, p->packaged, help);
  if (appl == nullptr) return;
  appl->pMetafileFullName = QDV0_StrDup(p->fullName ? p->fullName : p->metafileName);
  appl->pMetafileName = QDV0_ConvertStringToUpper(appl->pMetafileFullName, 1);
  if (p->snmp || p->packaged) {
    appl->SNMPappl = 1;
    appl->pEnterpriseName = QDV0_StrDup(MetaToken(p, 2) ? MetaToken(p, 2) : appl->ApplName);
    if (MetaToken(p, 3) != nullptr) appl->pEnterpriseOID = QDV0_StrDup(MetaToken(p, 3));
  }
  p->appl = appl;
  p->applFound = 1;
  p->nameFound = p->nameWaiting = p->inAttrList = p->sourcePresent = 0;
  p->table = nullptr;
  p->source = nullptr;
  appl->TableCount = 0;
}

static void DoNAME(MetaParser *p, const char *help) {
  if (p->nameWaiting) {
    QDVP_TRC(trk, TRK1_ERROR, "***** NAME statement without attributes for previous NAME");
    QDVP_DisplayValidationMessage(55, nullptr);
    p->addSourceName = p->addTimeStamp = 0;
    return;
  }
  if (p->table != nullptr) {
    FinishTable(p);
    if (p->copyFailure) {
      p->stop = 1;
      return;
    }
  }
  int addSource = 0, addTime = 0;
  auto look = [&](const char *t) {
    if (MetaEqualsUpper(t, "ADDSOURCENAME")) addSource = 1;
    if (MetaEqualsUpper(t, "ADDTIMESTAMP")) addTime = 1;
  };
  look(MetaToken(p, 2));
  look(MetaToken(p, 3));
  int next = 4;
  if (MetaToken(p, 3) != nullptr && !addSource) look(MetaToken(p, next++));
  if (!(addSource && addTime)) look(MetaToken(p, next));
  TableEntry *table =
      QDVP_InitializeTableEntry(p->appl, MetaToken(p, 1), MetaToken(p, 2), MetaToken(p, 3), help);
  p->table = table;
  p->source = nullptr;
  p->inAttrList = 0;
  // A refused //NAME leaves no current table: its statements are bypassed until the next
  // //NAME, and the table finished before stays the last one counted.
  if (table == nullptr) return;
  p->sourcePresent = p->fileSourcePresent = p->keyFound = p->zDefined = p->rDefined = 0;
  p->tableSentCount = 0;
  if (p->options.module != nullptr) {
    table->pModuleName = p->options.module;
    p->options.module = nullptr;
  }
  p->appl->TableCount++;
  p->nameFound = 1;
  p->nameWaiting = 1;
  p->addSourceName = addSource;
  p->addTimeStamp = addTime;
}

// True when the first statement of a file is one a metafile begins with: //APPL, //SNMP or
// //CORVID, in any case, after blanks.
static bool OpensMetafile(const char *record) {
  record += strspn(record, " \t");
  for (const char *keyword : {"//APPL", "//SNMP", "//CORVID"}) {
    size_t n = strlen(keyword);
    if (strncasecmp(record, keyword, n) == 0 &&
        (record[n] == '\0' || record[n] == ' ' || record[n] == '\t')) {
      return true;
    }
  }
  return false;
}

// One record after comments, tabs and empty records have been dealt with.
static void HandleRecord(MetaParser *p, char *record) {
  char keyword[16] = "";
  size_t lead = strspn(record, " ");
  snprintf(keyword, sizeof(keyword), "%.*s", static_cast<int>(strcspn(record + lead, " ")),
           record + lead);
  QDV0_ConvertStringToUpper(keyword, 0);
  static const char *const kKeywords[] = {"//APPL",      "//NAME",    "//SOURCE",   "//ATTRIBUTES",
                                          "//RECORDSET", "//CONFIRM", "//INTERNAL", "//SUMMARY",
                                          "//ODBC",      "//SNMP",    "//CORVID"};
  int statement = -1;
  for (int i = 0; i < 11; i++) {
    if (strcmp(keyword, kKeywords[i]) == 0) statement = i;
  }
  p->original = record;
  // The record that is split: a copy, so that the original stays whole for message inserts.
  char *work = QDV0_StrDup(record);
  if (work == nullptr) return;
  p->record = work;
  FreeOptions(&p->options);
  const char *help = nullptr;
  static const char *const kModule[] = {"MODULE=", "module=", nullptr};
  static const char *const kManaged[] = {
      "ManagedSystemName=", "MANAGEDSYSTEMNAME=", "managedsystemname=", nullptr};
  static const char *const kDSN[] = {"DSN=", "dsn=", nullptr};
  if (statement == 0 || statement == 1) help = TakeHelp(work);
  if (statement == 1) p->options.module = TakeWordOption(work, kModule);
  if (statement < 0 && p->inAttrList) {
    QDVP_ScanAttributeOptions(work, &p->options);
  } else if (!p->inAttrList || statement >= 0) {
    p->options.managedSystem = TakeWordOption(work, kManaged);
    p->options.dsn = TakeWordOption(work, kDSN);
  }
  // The text after the keyword, for statements whose operands may hold blanks.
  char *rest = work + lead + strlen(keyword);
  char *restCopy = QDV0_StrDup(*rest ? rest + 1 : rest);
  QDVP_SplitMetaRecord(p);

  if (statement == 9) {
    DoSNMP(p);
  } else if (statement == 10) {
    DoCORVID(p);
  } else {
    p->firstStatement = 0;
    if (!p->applFound && statement != 0) {
      QDVP_TRC(trk, TRK1_DETAIL, "Input statement discarded. No APPL Statement encountered");
      QDVP_DisplayValidationMessage(34, p->original);
    } else if (statement == 0) {
      DoAPPL(p, help);
    } else if (statement == 1) {
      DoNAME(p, help);
    } else if (statement > 1 && p->table == nullptr) {
      QDVP_TRC(trk, TRK1_DETAIL, "Input statement discarded. No NAME Statement encountered in <%s>",
               p->metafileName);
      QDVP_DisplayValidationMessage(33, p->original);
    } else if (statement == 2) {
      QDVP_MetaSourceStatement(p, restCopy ? restCopy : rest);
    } else if (statement == 3) {
      QDVP_MetaAttributesStatement(p, restCopy ? restCopy : "");
    } else if (statement == 4) {
      QDVP_MetaRecordSetStatement(p, restCopy ? restCopy : "");
    } else if (statement == 5) {
      QDVP_MetaConfirmStatement(p, restCopy ? restCopy : "");
    } else if (statement == 6) {
      QDVP_MetaInternalStatement(p);
    } else if (statement == 7) {
      QDVP_MetaSummaryStatement(p);
    } else if (statement == 8) {
      QDVP_MetaODBCStatement(p);
    } else if (p->inAttrList && p->tokenCount > 0) {
      QDVP_DefineMetaAttribute(p);
    }
  }
  QDV0_Free(restCopy);
  FreeOptions(&p->options);
  QDV0_Free(work);
  p->record = nullptr;
}

// The final checks of a metafile that has been read; returns the application or null (the
// application released).
static ApplEntry *CheckModel(MetaParser *p) {
  char insert[64];
  if (!p->applFound) {
    if (!p->bypassed) {
      QDVP_TRC(trk, TRK1_ERROR, "*** No valid APPL statement found in data definition metafile: %s",
               p->metafileName);
      QDVP_DisplayValidationMessage(3, p->metafileName);
    }
    return nullptr;
  }
  ApplEntry *appl = p->appl;
  int releaseFlag = p->validate;
  if (!p->nameFound) {
    QDVP_TRC(trk, TRK1_ERROR,
             "*****Error: No NAME statement found for defined APPL statement in metafile <%s>",
             p->metafileName);
    QDVP_DisplayValidationMessage(4, p->metafileName);
    QDVP_ReleaseApplResources(p->anchor, appl, releaseFlag);
    return nullptr;
  }
  if (p->tableSentCount == 0) {
    QDVP_TRC(trk, TRK1_ERROR,
             "*****Error: No attributes found for defined APPL statement in metafile <%s>",
             p->metafileName);
    QDVP_DisplayValidationMessage(5, p->metafileName);
    QDVP_ReleaseApplResources(p->anchor, appl, releaseFlag);
    return nullptr;
  }
  if (p->copyFailure) {
    QDVP_DisplayValidationMessage(6, p->metafileName);
    QDVP_ReleaseApplResources(p->anchor, appl, releaseFlag);
    return nullptr;
  }
  {
    OSV1_Guard tables(&appl->TableListLock);
    for (TableEntry *t = appl->pTableList; t != nullptr && !p->packaged; t = t->pNext) {
      OSV1_Guard counts(&t->TableLock);
      if (t->AttrSentCount > p->limit) {
        QDVP_TRC(trk, TRK1_ERROR, "Total number of attributes %d in table <%s> exceeds maximum: %d",
                 t->AttrSentCount, t->TableName, p->limit);
        p->rejected = 1;
      }
    }
  }
  if (p->rejected) {
    QDVP_TRC(trk, TRK1_ERROR, "*****Error: Metafile application rejected flag set for <%s>",
             p->metafileName);
    QDVP_ReleaseApplResources(p->anchor, appl, releaseFlag);
    return nullptr;
  }
  QDVP_CheckDuplicateAttributes(appl);
  for (TableEntry *t : QDVP_TablesOf(appl)) {
    int row = 0;
    if (SourceEntry *s = QDVP_FirstSourceOf(t)) {
      OSV1_Guard attrs(&s->AttrLock);
      for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext) {
        if (a->Sent) row += a->MaxValSize;
        if (appl->SNMPappl && a->pOID != nullptr) t->SNMPattrCount++;
      }
    }
    if (row > QDVP_MAX_ROW_SIZE) {
      QDVP_TRC(trk, TRK1_ERROR, "Total row count: %d exceeds maximum allowed: %d", row,
               QDVP_MAX_ROW_SIZE);
      QDVP_DisplayValidationMessage(57, t->TableName);
      p->lateFailure = 1;
      QDVP_ReleaseApplResources(p->anchor, appl, 1);
      return nullptr;
    }
  }
  if (p->snmp && !p->packaged) {
    for (TableEntry *t : QDVP_TablesOf(appl)) {
      bool agentFirst = false;
      if (SourceEntry *s = QDVP_FirstSourceOf(t)) {
        OSV1_Guard attrs(&s->AttrLock);
        AttrEntry *a = s->pAttrList;
        agentFirst = a != nullptr && strcmp(a->Name, "Agent_Info") == 0 && a->pNext != nullptr &&
                     strcmp(a->pNext->Name, "Agent_Name") == 0;
      }
      if (!agentFirst) {
        QDVP_TRC(trk, TRK1_ERROR,
                 "*****Error: SNMP attribute group <%s> requires Agent_Info and Agent_Name "
                 "attributes not present",
                 t->TableName);
        QDVP_DisplayValidationMessage(96, t->TableName);
        p->lateFailure = 1;
        QDVP_ReleaseApplResources(p->anchor, appl, releaseFlag);
        return nullptr;
      }
    }
  }
  QDVP_ConstructAttributeOrderLinkList(appl, nullptr);
  (void)insert;
  return appl;
}

// Registers a checked application with the agent; returns it, or null after releasing it.
static ApplEntry *RegisterApplication(MetaParser *p, ApplEntry *appl) {
  DPAB *anchor = p->anchor;
  SourceEntry *source = QDVP_FirstSourceOfApplication(appl);
  ApplEntry *result = appl;
  if (source != nullptr) {
    DCHresult reg =
        QDVP_Request(anchor, source, QDVP_VERB_REGISTER, QDVP_LocateOwnProcessEntry(anchor));
    bool known = reg.outcome == DCHoutcome::Taken && reg.status == QDVP_DCH_STATUS_ALREADY_KNOWN;
    // No answer defers the registration (the periodic scan registers it again).
    bool registered =
        !known && (reg.outcome == DCHoutcome::Taken || reg.outcome == DCHoutcome::NoAnswer ||
                   reg.outcome == DCHoutcome::LinkLost);
    if (registered) {
      // registered
    } else if (reg.outcome == DCHoutcome::Ending) {
      // The data provider ends while the request waits (for an agent that is not there, say).
      QDVP_TRC(trk, TRK1_DETAIL, "Registration of <%s> abandoned: the data provider ends",
               appl->ApplName);
      QDVP_ReleaseApplResources(anchor, appl, 1);
      result = nullptr;
    } else if (known) {
      QDVP_TRC(trk, TRK1_ERROR, "*** dp_register failed for <%s>. Application already registered",
               appl->ApplName);
      QDVP_DisplayValidationMessage(10, nullptr);
      if (p->autoLoad) {
        QDVP_SendDPlogMessage(anchor, 57, p->metafileName, appl->ApplName);
        QDVP_ReleaseApplResources(anchor, appl, 1);
        result = nullptr;
      } else {
        for (TableEntry *t : QDVP_TablesOf(appl)) {
          OSV1_Guard sources(&t->SourceListLock);
          for (SourceEntry *s = t->pSourceList; s != nullptr; s = s->pNext) {
            QDVP_UpdateSourceEntryState(s, QDVP_Ready);
          }
        }
        QDVP_ReleaseApplGroupHelp(appl);
      }
    } else {
      QDVP_TRC(trk, TRK1_ERROR, "*** dp_register failed for <%s>", appl->ApplName);
      QDVP_DisplayValidationMessage(8, p->metafileName);
      QDVP_ReleaseApplResources(anchor, appl, 1);
      result = nullptr;
    }
    if (result != nullptr && appl->SNMPappl && source->State == QDVP_Ready) {
      QDVP_SNMPapplOnline(anchor, appl);
    }
  }
  if (result != nullptr) QDVP_SendDPlogMessage(anchor, 4, p->metafileName, appl->ApplName);
  return result;
}

ApplEntry *QDVP_ConstructApplDataModel(DPAB *anchor, const char *metafileName, int validate,
                                       int *openedOut, int *alreadyDefinedOut, int autoLoad,
                                       int noEcho) {
  QDVP_TRC_ENTRY(trk);
  if (openedOut != nullptr) *openedOut = 0;
  if (anchor == nullptr || metafileName == nullptr || metafileName[0] == '\0') return nullptr;
  MetaParser parser;
  memset(&parser, 0, sizeof(parser));
  MetaParser *p = &parser;
  p->anchor = anchor;
  p->metafileName = metafileName;
  p->validate = validate;
  p->autoLoad = autoLoad;
  p->noEcho = noEcho;
  p->packaged = QDV0_QueryProductSpec(0) != nullptr;
  p->firstStatement = 1;
  p->limit = QDVP_DetermineMaxAttributesPerGroup();
  int size = QDVP_MetaRecordSize();
  QDV0_Scratch<char> record(static_cast<size_t>(size) + 1);
  QDV0_Scratch<char> echo(validate ? static_cast<size_t>(size) + 80 : 1);
  if (!record || !echo) return nullptr;
  char *buffer = record.get(), *message = echo.get();
  QDVP_TRC(trk, TRK1_DETAIL, "Metafile buffer size %d in effect for <%s>", size, metafileName);
  QDV0_Scratch<char> fullName(static_cast<char *>(nullptr));
  if (metafileName[0] == '&') {
    // An in-memory metafile is known by its first line, "&NAME".
    size_t n = strcspn(metafileName, "\n");
    fullName = QDV0_Scratch<char>(n + 1);
    if (fullName) memcpy(fullName.get(), metafileName, n);
  } else {
    fullName = QDV0_Scratch<char>(QDVP_MetafileFullName(anchor, metafileName));
  }
  p->fullName = fullName.get();

  if (alreadyDefinedOut != nullptr) *alreadyDefinedOut = 0;
  p->alreadyDefinedOut = alreadyDefinedOut;
  ApplEntry *existing = QDVP_CheckApplicationExistence(anchor, metafileName);
  if (existing == nullptr && p->fullName != nullptr)
    existing = QDVP_CheckApplicationExistence(anchor, p->fullName);
  if (existing != nullptr) {
    QDVP_DisplayValidationMessage(35, metafileName);
    if (alreadyDefinedOut != nullptr) *alreadyDefinedOut = 1;
    return existing;
  }
  void *handle = QDVP_OpenMetaFile(anchor, metafileName, validate);
  if (handle == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "*** Unable to open MetaFile <%s>", metafileName);
    return nullptr;
  }
  if (openedOut != nullptr) *openedOut = 1;
  int number = 0;
  // Until the first statement shows that the file is a metafile, its records are not echoed:
  // a file that is not one (a password file named by mistake, or on purpose) is refused
  // without a line of it in any message.
  bool isMetafile = false;
  std::vector<std::string> held;
  while (!p->stop && QDVP_ReadMetaFile(anchor, handle, buffer, size) != nullptr) {
    long before = number++;
    if (p->enciphered) {
      QDV0_DecipherMetaRecord(buffer, static_cast<long>(strlen(buffer)) * before);
    }
    QDV0_RemoveCRandLF(buffer);
    bool comment = buffer[0] == '*' || (strlen(buffer) > 2 && strncmp(buffer, "//*", 3) == 0);
    if (!isMetafile && !comment && buffer[strspn(buffer, " \t")] != '\0') {
      if (!OpensMetafile(buffer)) {
        QDVP_TRC(trk, TRK1_ERROR, "*** <%s> does not begin as a metafile; refused", metafileName);
        break;
      }
      isMetafile = true;
      for (const std::string &line : held) QDVP_DisplayValidationMessage(26, line.c_str());
      held.clear();
    }
    if (validate && !noEcho) {
      snprintf(message, static_cast<size_t>(size) + 80, "%04d -> %s", number, buffer);
      if (isMetafile) {
        QDVP_DisplayValidationMessage(26, message);
      } else {
        held.emplace_back(message);
      }
    }
    if (comment) continue;
    for (char *c = buffer; *c; c++) {
      if (*c == '\t') *c = ' ';
    }
    if (buffer[0] == '\0') {
      QDVP_TRC(trk, TRK1_DETAIL, "Blank record skipped");
      if (validate) QDVP_DisplayValidationMessage(27, nullptr);
      continue;
    }
    if (buffer[strspn(buffer, " ")] == '\0') continue;
    HandleRecord(p, buffer);
  }
  QDVP_CloseMetaFile(anchor, handle);
  if (p->applFound && p->table != nullptr && !p->nameWaiting) FinishTable(p);
  ApplEntry *appl = CheckModel(p);
  if (appl != nullptr && !validate) {
    appl = RegisterApplication(p, appl);
    if (appl == nullptr) p->lateFailure = 1;
  }
  // The operator hears of a metafile that was read whole but then refused (row size, SNMP
  // attributes, registration); earlier refusals are the author's, in the validation messages.
  if (p->lateFailure && !validate && !autoLoad) QDVP_SendDPlogMessage(anchor, 5, metafileName);
  QDVP_TRC_EXIT(trk, appl != nullptr);
  return appl;
}
