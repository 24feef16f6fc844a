// Attribute entries: the builder that turns a type letter and size into value size and
// maximum, files the help text into the table's group help buffer, checks the name and parses
// the +FILTER/-FILTER conditions; the fixed table of derive functions; and the limit of sent
// attributes per table (WTB_MAXCOLS).
#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpiate"};

static std::atomic<int> g_maxAttributes{0};

const DeriveFunction DerivedFunctionName[5] = {{"CORVIDTIMESTAMP"},
                                               {"IPADDRESSTONAME"},
                                               {"NETWARETIMETOTEXT"},
                                               {"UTCTOLOCALTIME"},
                                               {"UTCTOGMT"}};

int QDVP_DetermineMaxAttributesPerGroup(void) {
  if (g_maxAttributes.load() != 0) return g_maxAttributes.load();
  const char *text = QDV0_GetEnv("WTB_MAXCOLS", nullptr);
  int limit = 63;
  if (text != nullptr) {
    long n = strtol(text, nullptr, 10);
    if (n > 127) {
      QDVP_TRC(trk, TRK1_DETAIL,
               "Maximum attribute per table specification too large. Change from %ld to %d", n,
               127);
      n = 127;
    }
    if (n > 0) limit = static_cast<int>(n);
  }
  g_maxAttributes.store(limit);
  QDVP_TRC(trk, TRK1_DETAIL, "Maximum attributes per table limit is %d", limit);
  return limit;
}

int QDVP_MaxAttributesPerGroup(void) { return g_maxAttributes.load(); }
void QDVP_ResetMaxAttributesPerGroup(void) { g_maxAttributes.store(0); }

int QDVP_CheckDeriveFunctionSpec(const char *name, const DeriveFunction **reference) {
  if (name == nullptr) return 0;
  char upper[32];
  size_t n = strlen(name);
  if (n >= sizeof(upper)) return 0;
  for (size_t i = 0; i <= n; i++)
    upper[i] = static_cast<char>(toupper(static_cast<unsigned char>(name[i])));
  for (const DeriveFunction &f : DerivedFunctionName) {
    if (strcmp(upper, f.Name) == 0) {
      if (reference != nullptr) *reference = &f;
      return 1;
    }
  }
  return 0;
}

int QDVP_IsDeriveFunction(const void *reference) {
  for (const DeriveFunction &f : DerivedFunctionName) {
    if (reference == &f) return 1;
  }
  return 0;
}

static bool IsNumericType(char type) { return strchr("GCAIL?%#", type) != nullptr && type != '\0'; }

// Parses the conditions of a filter text ("+FILTER={COND(off,value) AND ...}") into the
// attribute. The first error ends the list; the conditions accepted so far stay.
static void ParseFilters(AttrEntry *attr, const char *filterText) {
  if (filterText[0] == '+') {
    attr->FilterAccept = 1;
  } else if (filterText[0] == '-') {
    attr->FilterAccept = 0;
  } else {
    attr->FilterAccept = 1;
    QDVP_TRC(trk, TRK1_ERROR, "*****Invalid filter for attribute <%s>, assume accept filter",
             attr->Name);
  }
  char *copy = QDV0_StrDup(filterText);
  if (copy == nullptr) return;
  char *close = strchr(copy, '}');
  if (close != nullptr) *close = '\0';
  char *p = strchr(copy, '{');
  if (p == nullptr) {
    QDVP_DisplayValidationMessage(67, filterText);
    QDV0_Free(copy);
    return;
  }
  p++;
  attr->FilterLogic = ' ';
  char firstLogic = 0;
  int count = 0;
  bool numeric = IsNumericType(attr->Type);
  while (count < QDVP_MAX_FILTERS) {
    while (*p == ' ') p++;
    if (*p == '\0') break;
    char *open = strchr(p, '(');
    char *end = strchr(p, ')');
    if (open == nullptr || end == nullptr || end < open) {
      QDVP_DisplayValidationMessage(68, p);
      break;
    }
    *open = '\0';
    *end = '\0';
    char name[16];
    size_t nameLength = strlen(p);
    while (nameLength > 0 && p[nameLength - 1] == ' ') nameLength--;
    if (nameLength >= sizeof(name)) nameLength = sizeof(name) - 1;
    for (size_t i = 0; i < nameLength; i++)
      name[i] = static_cast<char>(toupper(static_cast<unsigned char>(p[i])));
    name[nameLength] = '\0';
    static const char *const kNames[] = {"SCAN",    "MATCH",    "NUMBER=", "NUMBER>",
                                         "NUMBER<", "NUMBER>=", "NUMBER<="};
    static const char kLetters[] = "SMN><GL";
    int which = -1;
    for (int i = 0; i < 7; i++) {
      if (strcmp(name, kNames[i]) == 0) which = i;
    }
    if (which < 0) {
      QDVP_DisplayValidationMessage(69, p);
      break;
    }
    char *arguments = open + 1;
    char *comma = strchr(arguments, ',');
    if (comma == nullptr) {
      QDVP_DisplayValidationMessage(70, arguments);
      break;
    }
    *comma = '\0';
    long offset = strtol(arguments, nullptr, 10);
    char *value = comma + 1;
    while (*value == ' ') value++;
    char insert[128];
    if (numeric) {
      if (which < 2) {
        QDVP_DisplayValidationMessage(76, nullptr);
        break;
      }
      long number = strtol(value, nullptr, 10);
      if (number > attr->MaxSize) {
        snprintf(insert, sizeof(insert), "filter value %ld defined attribute max value %ld", number,
                 attr->MaxSize);
        QDVP_DisplayValidationMessage(72, insert);
        break;
      }
      attr->FilterOffset[count] = 0;
      attr->FilterValue[count] = number;
    } else {
      if (which >= 2) {
        QDVP_DisplayValidationMessage(77, nullptr);
        break;
      }
      if (offset > attr->MaxValSize) {
        snprintf(insert, sizeof(insert), "offset %ld defined attribute value size %d", offset,
                 attr->MaxValSize);
        QDVP_DisplayValidationMessage(71, insert);
        break;
      }
      size_t length = strlen(value);
      if (length > static_cast<size_t>(attr->MaxValSize)) {
        snprintf(insert, sizeof(insert), "string size %d defined attribute value size %d",
                 static_cast<int>(length), attr->MaxValSize);
        QDVP_DisplayValidationMessage(72, insert);
        break;
      }
      attr->pFilterString[count] = QDV0_StrDup(value);
      if (attr->pFilterString[count] == nullptr) break;
      attr->FilterOffset[count] = static_cast<int>(offset < 0 ? 0 : offset);
    }
    attr->FilterType[count] = kLetters[which];
    count++;
    // The logic word between this condition and the next.
    p = end + 1;
    while (*p == ' ') p++;
    if (*p == '\0') break;
    char *word = p;
    while (*p && *p != ' ') p++;
    if (*p == '\0') break;  // a logic word with nothing after it ends the list
    *p++ = '\0';
    if (count >= QDVP_MAX_FILTERS) break;
    char logic;
    char upper[8];
    snprintf(upper, sizeof(upper), "%s", word);
    for (char *c = upper; *c; c++) *c = static_cast<char>(toupper(static_cast<unsigned char>(*c)));
    if (strcmp(upper, "AND") == 0 || strcmp(upper, "&") == 0) {
      logic = '&';
    } else if (strcmp(upper, "OR") == 0 || strcmp(upper, "|") == 0) {
      logic = '|';
    } else {
      QDVP_DisplayValidationMessage(74, word);
      logic = '|';
    }
    if (firstLogic == 0) {
      firstLogic = logic;
      attr->FilterLogic = logic;
    } else if (logic != firstLogic) {
      QDVP_DisplayValidationMessage(75, nullptr);
      attr->FilterLogic = '|';
    }
  }
  if (count == 1) attr->FilterLogic = ' ';
  attr->FilterCount = count;
  QDVP_TRC(trk, TRK1_DETAIL, "Total of %d attribute filter(s) defined", count);
  QDV0_Free(copy);
}

AttrEntry *QDVP_InitializeAttrEntry(SourceEntry *source, const char *name, char *typeToken,
                                    const char *sizeToken, int key, int atomic, const char *help,
                                    const char *filterText) {
  QDVP_TRC_ENTRY(trk);
  if (name == nullptr || name[0] == '\0' || typeToken == nullptr || typeToken[0] == '\0') {
    QDVP_TRC(trk, TRK1_ERROR, "***** Incomplete attribute specification, ignored");
    QDVP_DisplayValidationMessage(39, nullptr);
    return nullptr;
  }
  char type = static_cast<char>(toupper(static_cast<unsigned char>(typeToken[0])));
  bool delimited = false;
  if (source != nullptr) {
    OSV1_Guard attrs(&source->AttrLock);
    delimited = source->pDelimiter != nullptr;
  }
  if ((type == 'I' || type == 'L') && delimited) {
    QDVP_TRC(trk, TRK1_ERROR,
             "***** Short or long type valid only without delimiter, attribute <%s> ignored", name);
    QDVP_DisplayValidationMessage(48, nullptr);
    return nullptr;
  }
  if (strchr("SGCDOTANILRZK?%#", type) == nullptr || type == '\0') {
    QDVP_TRC(trk, TRK1_ERROR, "***** invalid attribute type %c specified, attribute <%s> ignored",
             type, name);
    char insert[2] = {typeToken[0], '\0'};
    QDVP_DisplayValidationMessage(40, insert);
    return nullptr;
  }
  bool hasSize = sizeToken != nullptr && isdigit(static_cast<unsigned char>(sizeToken[0]));
  long size = hasSize ? strtol(sizeToken, nullptr, 10) : 0;
  if (size < 0) size = 0;
  // The size as written, for the message; what is computed with is held to 31 bits, which no
  // attribute reaches, so that rounding it up cannot overflow.
  long givenSize = size;
  if (size > 2147483647L) size = 2147483647L;
  if (!hasSize && strchr("DNRZOKIL?%#", type) != nullptr) {
    QDVP_TRC(trk, TRK1_ERROR,
             "***** data size not specified for Display, Record, or Last attribute type, "
             "attribute <%s> ignored",
             name);
    QDVP_DisplayValidationMessage(41, nullptr);
    return nullptr;
  }
  long valueSize = 0, maximum = 0;
  bool textTooLong = false;
  switch (type) {
    case 'D':
    case 'N':
      valueSize = (size + 3) / 4 * 4;
      maximum = size;
      break;
    case 'R':
    case 'Z':
    case 'O':
    case 'K':
      valueSize = size;
      maximum = size;
      break;
    case 'T':
      valueSize = 16;
      maximum = size;
      break;
    case 'S':
      valueSize = 2;
      maximum = hasSize ? size : 1;
      break;
    case 'G':
    case 'C':
    case 'A':
      maximum = hasSize ? (size > 2147483647L ? 2147483647L : size) : 2147483647L;
      valueSize = maximum < 32768 ? 2 : 4;
      // Our addition: a Counter or Gauge of an SNMP table whose maximum does not fit 32 bits
      // (a 64-bit counter, declared C 18446744073709551615) holds 8 bytes, sent to the agent
      // whole. Other tables keep 4 bytes, the most the agent is told of elsewhere.
      if (type != 'A' && hasSize && givenSize > 4294967295L && source != nullptr &&
          source->Kind == 'N') {
        maximum = givenSize;
        valueSize = 8;
      }
      break;
    case 'I':
      valueSize = 2;
      maximum = 32767;
      typeToken[0] = 'G';
      type = 'G';
      break;
    case 'L':
      valueSize = 4;
      maximum = 2147483647L;
      typeToken[0] = 'G';
      type = 'G';
      break;
    default:  // rate types
      valueSize = 4;
      maximum = size;
      break;
  }
  if (strchr("DNRZOK", type) != nullptr && size > QDVP_MAX_TEXT_VALUE) {
    valueSize = QDVP_MAX_TEXT_VALUE;
    textTooLong = true;
  }
  auto *attr =
      static_cast<AttrEntry *>(QDV0_GetStorage(QDVP_AttrEntrySize(static_cast<int>(valueSize))));
  if (attr == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR,
             "***** Unable to obtain storage for AttributeEntry <%s>, Type %c, Size %ld", name,
             type, size);
    return nullptr;
  }
  if (textTooLong) {
    char insert[24];
    snprintf(insert, sizeof(insert), "%ld", givenSize);
    QDVP_DisplayValidationMessage(54, insert);
  }
  attr->AttrKey = key ? 1 : 0;
  attr->AttrAtomic = atomic ? 1 : 0;
  TableEntry *table = source ? source->pTable : nullptr;

  if (help != nullptr && help[0] != '\0' && table != nullptr && table->pGroupHelp != nullptr) {
    size_t n = strnlen(help, QDVP_HELP_MAX);
    // A packaged solution may define more attributes than the buffer has slots for; their help
    // texts are dropped rather than written past its end.
    if (table->GroupHelpNext + static_cast<int>(n) + 1 <= table->GroupHelpSize) {
      char *slot = table->pGroupHelp + table->GroupHelpNext;
      memcpy(slot, help, n);
      slot[n] = '\0';
      for (char *c = slot; *c; c++) {
        if (*c == ';') *c = '.';
      }
      attr->pHelp = slot;
      table->GroupHelpNext += static_cast<int>(n) + 1;
    }
  }

  size_t length = strlen(name);
  bool cut = length > static_cast<size_t>(QDVP_ATTR_NAME_MAX);
  memcpy(attr->Name, name, cut ? static_cast<size_t>(QDVP_ATTR_NAME_MAX) : length);
  if (cut) {
    char insert[8];
    snprintf(insert, sizeof(insert), "%d", QDVP_ATTR_NAME_MAX);
    QDVP_DisplayValidationMessage(29, insert);
  }
  // A leading '-' marks an input-only attribute; it is not a name character to replace.
  char before[QDVP_ATTR_NAME_MAX + 1];
  memcpy(before, attr->Name, sizeof(before));
  QDV0_SubValidNameCharacter(attr->Name[0] == '-' ? attr->Name + 1 : attr->Name);
  if (!cut && strcmp(before, attr->Name) != 0) QDVP_DisplayValidationMessage(28, nullptr);
  if (attr->Name[0] == '-') {
    attr->Sent = 0;
    memmove(attr->Name, attr->Name + 1, strlen(attr->Name));
  } else {
    attr->Sent = 1;
  }

  attr->MaxValSize = static_cast<int>(valueSize);
  attr->ActualValSize = 0;
  attr->MaxSize = maximum;
  attr->PrevSampleValue = -4294967296.0;
  attr->PrevSampleTime = QDV0_Time();
  attr->Type = type;
  attr->LeftTruncate = (typeToken[1] == 'L' || typeToken[1] == 'l') ? 1 : 0;
  attr->FilterLogic = ' ';
  if (table != nullptr) {
    OSV1_Guard lock(&table->TableLock);
    if (type == '?' || type == '#' || type == '%') table->RateFlag = 1;
    if (type == 'Z') table->LastType = 1;
  }
  if (filterText != nullptr && filterText[0] != '\0') ParseFilters(attr, filterText);
  if (source != nullptr) {
    OSV1_Guard attrs(&source->AttrLock);
    AttrEntry **link = &source->pAttrList;
    while (*link != nullptr) link = &(*link)->pNext;
    *link = attr;
  }
  QDVP_TRC(trk, TRK1_DETAIL, "Attribute <%s> type %c value size %d maximum %ld", attr->Name,
           attr->Type, attr->MaxValSize, attr->MaxSize);
  QDVP_TRC_EXIT(trk, 0);
  return attr;
}
