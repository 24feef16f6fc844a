// The statements of a metafile that apply to the current table: //SOURCE (kinds, quoted names,
// copy and tail modes, code types), //ATTRIBUTES (default source, delimiter, summary
// attributes), //RECORDSET, //CONFIRM, //INTERNAL, //SUMMARY and //ODBC. Each handler is
// called by the statement loop in qdvpcadm.cpp once the order rules have let the statement
// through; each writes its own validation messages and leaves the table unchanged when it
// refuses the statement.
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"
#include "qdvpcadm.h"

static TRK1_BLOCK trk = {"qdvpctbs"};

static const char kIntervalHelp[] =
    "Omnivar inserted attribute that shows the defined input data summarization interval in "
    "seconds.";
static const char kOccurrencesHelp[] =
    "Omnivar inserted attribute that shows the input data occurrences count per defined "
    "summarization interval.";
// Parses "//SOURCE kind [name] [option] ..." (the name may be quoted and contain blanks).
void QDVP_MetaSourceStatement(MetaParser *p, char *rest) {
  TableEntry *table = p->table;
  const char *kind = MetaToken(p, 1);
  char name[1024] = "";
  const char *option = nullptr;
  const char *afterOption = nullptr;
  char *quote = strchr(rest, '"');
  char *restTokens[QDVP_MAX_TOKENS];
  int restCount = 0;
  if (quote != nullptr) {
    char *start = quote + 1;
    while (*start == ' ') start++;
    char *end = strchr(start, '"');
    char *after;
    if (end != nullptr) {
      snprintf(name, sizeof(name), "%.*s", static_cast<int>(end - start), start);
      after = end + 1;
    } else {
      snprintf(name, sizeof(name), "%s", start);
      char *lastBlank = strrchr(name, ' ');
      after = nullptr;
      if (lastBlank != nullptr) {
        option = start + (lastBlank - name) + 1;
        *lastBlank = '\0';
      }
    }
    if (after != nullptr) {
      for (char *t = QDV0_strtok(after, " "); t && restCount < QDVP_MAX_TOKENS;
           t = QDV0_strtok(nullptr, " "))
        restTokens[restCount++] = t;
      option = restCount > 0 ? restTokens[0] : nullptr;
      afterOption = restCount > 1 ? restTokens[1] : nullptr;
    }
  } else {
    if (MetaToken(p, 2) != nullptr) snprintf(name, sizeof(name), "%s", MetaToken(p, 2));
    int i = 3;
    option = MetaToken(p, i);
    if (option != nullptr && option[0] == '[') {
      size_t n = strlen(name);
      snprintf(name + n, sizeof(name) - n, "%s", option);
      option = MetaToken(p, ++i);
    }
    afterOption = MetaToken(p, i + 1);
  }
  SourceEntry *source = QDVP_InitializeSourceEntry(p->anchor, table, kind, name[0] ? name : nullptr,
                                                   p->options.managedSystem, &p->fileSourcePresent);
  if (source == nullptr) return;
  if (source->Kind == 'F' && option != nullptr) {
    char upper[32];
    snprintf(upper, sizeof(upper), "%s", option);
    QDV0_ConvertStringToUpper(upper, 0);
    if (upper[0] == 'C') {
      if (table->Type == 'E') {
        QDVP_DisplayValidationMessage(47, nullptr);
      } else {
        source->pIOE->FileMode = 'C';
        if (afterOption != nullptr && (afterOption[0] == 'C' || afterOption[0] == 'c')) {
          source->pIOE->ClearAfterCopy = 1;
        }
      }
    } else if (strcmp(upper, "TAILBYRECORD") == 0) {
      source->pIOE->TailByRecord = 1;
    }
  } else if (source->Kind == 'S') {
    int code = 'A';
    if (option != nullptr && !(strlen(option) > 1 && (strstr(option, "ManagedSystemName=") ||
                                                      strstr(option, "MANAGEDSYSTEMNAME=") ||
                                                      strstr(option, "managedsystemname=")))) {
      code = toupper(static_cast<unsigned char>(option[0]));
      if (code != 'A' && code != 'E') {
        QDVP_DisplayValidationMessage(49, nullptr);
        code = 'A';
      }
    }
    source->CodeConversion = QDV0_CheckCodeConversion(code);
  }
  {
    OSV1_Guard lock(&table->TableLock);
    table->SourceCount++;
  }
  p->source = source;
  p->sourcePresent = 1;
  p->inAttrList = 0;
}

void QDVP_MetaAttributesStatement(MetaParser *p, const char *rest) {
  TableEntry *table = p->table;
  if (p->source == nullptr) {
    SourceEntry *source = QDVP_InitializeSourceEntry(p->anchor, table, p->snmp ? "SNMP" : "BASE",
                                                     nullptr, nullptr, &p->fileSourcePresent);
    if (source == nullptr) return;
    OSV1_Guard lock(&table->TableLock);
    table->SourceCount++;
    p->source = source;
  }
  const char *quote = strchr(rest, '\'');
  char *delimiter = QDVP_CheckAttributeDelimiter(quote ? quote : MetaToken(p, 1));
  {
    OSV1_Guard attrs(&p->source->AttrLock);
    QDV0_Free(p->source->pDelimiter);
    p->source->pDelimiter = delimiter;
  }
  p->inAttrList = 1;
  p->nameWaiting = 0;
  if (table->pSMB != nullptr) {
    QDVP_AddInsertedAttribute(p, "_Interval_Unit", "C", "99999999", kIntervalHelp);
    QDVP_AddInsertedAttribute(p, "_Interval", "C", "99999999", kIntervalHelp);
    QDVP_AddInsertedAttribute(p, "_Occurrences", "C", "99999999", kOccurrencesHelp);
  }
}

void QDVP_MetaRecordSetStatement(MetaParser *p, const char *rest) {
  TableEntry *table = p->table;
  const char *first = strchr(rest, '\'');
  if (first != nullptr) {
    const char *last = strrchr(rest, '\'');
    if (last > first) {
      QDV0_Free(table->pRecordSetDelimiter);
      size_t n = static_cast<size_t>(last - first - 1);
      table->pRecordSetDelimiter = static_cast<char *>(QDV0_GetStorage(n + 1));
      if (table->pRecordSetDelimiter) memcpy(table->pRecordSetDelimiter, first + 1, n);
    }
    return;
  }
  const char *operand = MetaToken(p, 1);
  if (operand == nullptr) return;
  int count = atoi(operand);
  if (count < 2) {
    QDVP_TRC(trk, TRK1_ERROR, "***** RECORDSET input invalid. SetCount: %d <%s>", count, rest);
    return;
  }
  table->RecordSetCount = count;
  const char *at = strstr(rest, operand);
  const char *after = at != nullptr ? at + strlen(operand) : "";
  while (*after == ' ') after++;
  size_t n = strcspn(after, ")");
  if (n > 0) {
    QDV0_Free(table->pRecordSetRule);
    table->pRecordSetRule = static_cast<char *>(QDV0_GetStorage(n + 1));
    if (table->pRecordSetRule) memcpy(table->pRecordSetRule, after, n);
  }
}

void QDVP_MetaConfirmStatement(MetaParser *p, const char *rest) {
  TableEntry *table = p->table;
  while (*rest == ' ') rest++;
  char data[1024] = "";
  int type = QDVP_CONFIRM_NONE;
  const char *first = strchr(rest, '"');
  if (first == nullptr) first = strchr(rest, '\'');
  if (first != nullptr) {
    const char *last = strrchr(rest, *first);
    type = QDVP_CONFIRM_MSG;
    snprintf(data, sizeof(data), "%.*s", static_cast<int>(last > first ? last - first - 1 : 0),
             first + 1);
  } else if (rest[0] == 'X' || rest[0] == 'x') {
    type = QDVP_CONFIRM_CHAR;
    data[0] = static_cast<char>(strtoul(rest + 1, nullptr, 16) & 0xFF);
    data[1] = '\0';
  } else {
    char word[16];
    snprintf(word, sizeof(word), "%.*s", static_cast<int>(strcspn(rest, " ")), rest);
    if (MetaEqualsUpper(word, "SIZE")) type = QDVP_CONFIRM_SIZE;
    if (MetaEqualsUpper(word, "SEQ")) type = QDVP_CONFIRM_SEQ;
  }
  if (type == QDVP_CONFIRM_NONE) {
    QDVP_DisplayValidationMessage(64, rest);
    return;
  }
  table->ConfirmType = type;
  QDV0_Free(table->pConfirmData);
  if (type == QDVP_CONFIRM_MSG || type == QDVP_CONFIRM_CHAR) {
    size_t n = type == QDVP_CONFIRM_CHAR ? 1 : strlen(data);
    table->pConfirmData = static_cast<char *>(QDV0_GetStorage(n + 1));
    if (table->pConfirmData) memcpy(table->pConfirmData, data, n);
  }
}

void QDVP_MetaInternalStatement(MetaParser *p) {
  TableEntry *table = p->table;
  const char *type = MetaToken(p, 1);
  const char *name = MetaToken(p, 2);
  if (type == nullptr || name == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR,
             "*****Error: incomplete INTERNAL statement specification - IRB_Type @%p IRB_Name @%p",
             static_cast<const void *>(type), static_cast<const void *>(name));
    QDVP_DisplayValidationMessage(85, nullptr);
    return;
  }
  bool output = MetaEqualsUpper(type, "OUTPUT");
  if (!output && !MetaEqualsUpper(type, "INPUT")) {
    QDVP_DisplayValidationMessage(84, type);
    return;
  }
  IRBlock *block = QDVP_CreateInternalRoutingBlock(p->anchor, name);
  if (block == nullptr) return;
  OSV1_Guard lock(&block->Lock);
  if (output) {
    if (block->pOutputTable != nullptr) {
      QDVP_DisplayValidationMessage(83, name);
      return;
    }
    block->pOutputTable = table;
    table->pIRB = block;
  } else {
    TableEntry **link = &block->pInputList;
    while (*link != nullptr) link = &(*link)->pNextInput;
    *link = table;
    table->pNextInput = nullptr;
    block->InputCount++;
  }
}

void QDVP_MetaSummaryStatement(MetaParser *p) {
  int interval = 0, batch = 0;
  for (int i = 1; i <= 2; i++) {
    const char *t = MetaToken(p, i);
    if (t == nullptr) break;
    if (isdigit(static_cast<unsigned char>(t[0]))) {
      long n = strtol(t, nullptr, 10);
      if (n > QDVP_MAX_SUMMARY_INTERVAL) {
        QDVP_DisplayValidationMessage(93, t);
        n = QDVP_MAX_SUMMARY_INTERVAL;
      }
      interval = static_cast<int>(n);
    } else if (MetaBeginsUpper(t, "BATCH")) {
      batch = 1;
    }
  }
  SMBlock *block = QDVP_CreateSummaryManagementBlock(interval, batch);
  if (block == nullptr) return;
  QDVP_ReleaseSummaryManagementBlock(p->table->pSMB);
  p->table->pSMB = block;
}

void QDVP_MetaODBCStatement(MetaParser *p) {
  const char *type = MetaToken(p, 1);
  std::string specification;
  if (p->options.dsn != nullptr && p->options.dsn[0] != '\0')
    specification = std::string("DSN=") + p->options.dsn;
  OMBlock *block =
      QDVP_InitializeOMB(p->anchor, type, specification.empty() ? nullptr : specification.c_str());
  if (block == nullptr) return;
  QDVP_ReleaseOMB(p->anchor, p->table->pOMB);
  p->table->pOMB = block;
}
