// Attribute definitions of a metafile's attribute list: the pre-scan of the options an
// attribute record may carry (filters, help, ENUM, DLM=, SKEY=, SEQ=, REAL), the limit and
// order rules (sent-attribute limit, nothing after type R or Z), KEY and ATOMIC, SNMP OIDs,
// and derived attributes "name (operand1 operator operand2)".
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"
#include "qdvpcadm.h"

static TRK1_BLOCK trk = {"qdvpcatd"};

// The longest encoded OID kept for an attribute: 128 arcs of up to 5 bytes and its header.
constexpr size_t QDVP_ENCODED_OID_MAX = 128 * 5 + 4;

static char *FindEither(char *record, const char *upper, const char *lower) {
  char *a = strstr(record, upper);
  return a != nullptr ? a : strstr(record, lower);
}

static void Blank(char *from, const char *to) {
  while (from < to && *from) *from++ = ' ';
}

// Whole-word REAL/real; blanked out of the record.
static int TakeReal(char *record) {
  for (char *at = record; (at = FindEither(at, "REAL", "real")) != nullptr; at += 4) {
    bool startOk = at == record || at[-1] == ' ' || at[-1] == ')';
    bool endOk = at[4] == '\0' || at[4] == ' ' || at[4] == '@';
    if (startOk && endOk) {
      Blank(at, at + 4);
      return 1;
    }
  }
  return 0;
}

void QDVP_ScanAttributeOptions(char *record, MetaOptions *o) {
  // A filter runs to the end of the record; the help text, if any, follows its first '}'.
  char *filter = FindEither(record, "+FILTER={", "-FILTER={");
  char *unsigned_ = nullptr;
  if (filter == nullptr) {
    unsigned_ = FindEither(record, "FILTER={", "filter={");
    if (unsigned_ == nullptr) unsigned_ = strstr(record, "-filter={");
    if (unsigned_ == nullptr) unsigned_ = strstr(record, "+filter={");
  }
  if (filter == nullptr && unsigned_ != nullptr) {
    if (unsigned_ > record && (unsigned_[-1] == '+' || unsigned_[-1] == '-')) unsigned_--;
    QDVP_DisplayValidationMessage(66, nullptr);
    o->badFilterKeyword = 1;
    char *brace = strchr(unsigned_, '}');
    char *at = brace ? strchr(brace, '@') : nullptr;
    if (at != nullptr) {
      char *help = at + 1;
      while (*help == ' ') help++;
      o->help = *help ? help : nullptr;
    }
    *unsigned_ = '\0';
  } else if (filter != nullptr) {
    char *brace = strchr(filter, '}');
    char *at = brace ? strchr(brace, '@') : nullptr;
    if (at != nullptr) {
      *at = '\0';
      char *help = at + 1;
      while (*help == ' ') help++;
      o->help = *help ? help : nullptr;
    }
    o->filter = QDV0_StrDup(filter);
    *filter = '\0';
  } else {
    char *at = strrchr(record, '@');
    if (at != nullptr) {
      *at = '\0';
      char *help = at + 1;
      while (*help == ' ') help++;
      o->help = *help ? help : nullptr;
    }
  }
  char *enumAt = FindEither(record, "ENUM{", "enum{");
  if (enumAt != nullptr) {
    char *close = strchr(enumAt, '}');
    if (close == nullptr) {
      QDVP_TRC(trk, TRK1_DETAIL, "Incomplete ENUM specification ignored <%s>", enumAt);
    } else {
      size_t n = static_cast<size_t>(close - enumAt + 1);
      o->enumText = static_cast<char *>(QDV0_GetStorage(n + 1));
      if (o->enumText != nullptr) memcpy(o->enumText, enumAt, n);
      close[1] = '\0';
      Blank(enumAt, close + 1);
    }
  }
  char *dlm = FindEither(record, "DLM=", "dlm=");
  if (dlm != nullptr) {
    char *value = dlm + 4;
    char *end;
    char text[64];
    if (*value == '\'' || *value == '"') {
      char *last = strrchr(value + 1, *value);
      if (last == nullptr) last = value + 1 + strcspn(value + 1, " ");
      snprintf(text, sizeof(text), "%.*s", static_cast<int>(last - value - 1), value + 1);
      end = *last ? last + 1 : last;
    } else {
      size_t n = strcspn(value, " ");
      snprintf(text, sizeof(text), "%.*s", static_cast<int>(n), value);
      end = value + n;
    }
    size_t n = strlen(text);
    if (n == 1 || n == 2) {
      o->delimiter = QDV0_StrDup(text);
    } else {
      // The insert is the record from the '=' on, as the author wrote it.
      QDVP_DisplayValidationMessage(82, value - 1);
    }
    Blank(dlm, end);
  }
  char *skey = FindEither(record, "SKEY=", "skey=");
  if (skey != nullptr) {
    char *value = skey + 5;
    while (*value == ' ') value++;
    o->skey = (strncmp(value, "SUM", 3) == 0 || strncmp(value, "sum", 3) == 0)
                  ? -1
                  : static_cast<int>(strtol(value, nullptr, 10));
    Blank(skey, value + strcspn(value, " "));
  }
  char *seq = FindEither(record, "SEQ=", "seq=");
  if (seq != nullptr) {
    char *value = seq + 4;
    while (*value == ' ') value++;
    o->seq = (strncmp(value, "SUM", 3) == 0 || strncmp(value, "sum", 3) == 0)
                 ? 0
                 : static_cast<int>(strtol(value, nullptr, 10));
    Blank(seq, value + strcspn(value, " "));
  }
  if (strchr(record, '(') != nullptr) o->real = TakeReal(record);
}

static bool IsNumericType(char type) { return type != '\0' && strchr("ACGIL?#%", type) != nullptr; }

static AttrEntry *FindAttribute(SourceEntry *source, const char *name) {
  if (source == nullptr || name == nullptr) return nullptr;
  OSV1_Guard attrs(&source->AttrLock);
  for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
    if (strcmp(a->Name, name) == 0) return a;
  }
  return nullptr;
}

static bool IsOperandType(const AttrEntry *a) {
  return a->Type == 'C' || a->Type == 'G' || a->Type == 'D';
}

// "name (op1 operator op2)": checks the operands and creates the attribute with the type and
// size its formula yields. Returns the attribute or null (message 63 written).
static AttrEntry *DefineDerived(MetaParser *p, const char *name) {
  int i = 1;
  char op1[QDVP_ATTR_NAME_MAX + 1] = "";
  const char *t = p->tokens[i] + 1;
  while (*t == ' ') t++;
  if (*t == '\0' && i + 1 < p->tokenCount) t = p->tokens[++i];
  snprintf(op1, sizeof(op1), "%.*s", static_cast<int>(strcspn(t, " ")), t);
  char oper = 0;
  char op2[QDVP_ATTR_NAME_MAX + 1] = "";
  if (i + 1 < p->tokenCount) {
    const char *o = p->tokens[++i];
    if (strchr("+-*/%=", o[0]) != nullptr) oper = o[0];
  }
  if (oper == 0) {
    QDVP_TRC(trk, TRK1_ERROR,
             "Error: No derived attribute operator was found in <%s>. Possibly missing blank "
             "delimiters around operator character.",
             name);
  } else if (i + 1 < p->tokenCount) {
    const char *o2 = p->tokens[++i];
    snprintf(op2, sizeof(op2), "%.*s", static_cast<int>(strcspn(o2, ")")), o2);
    op2[strcspn(op2, " ")] = '\0';
  }
  if (oper != 0 && op2[0] == '\0') {
    QDVP_TRC(trk, TRK1_ERROR,
             "Error: No second operand was found in derived attribute formula for <%s>. Possibly "
             "missing blank delimiters around operator character.",
             name);
  }
  const DeriveFunction *function = nullptr;
  AttrEntry *a1 = nullptr;
  bool isFunction = QDVP_CheckDeriveFunctionSpec(op1, &function) != 0;
  if (!isFunction) a1 = FindAttribute(p->source, op1);
  AttrEntry *a2 = FindAttribute(p->source, op2);
  bool valid = oper != 0 && a2 != nullptr && (isFunction || (a1 != nullptr && IsOperandType(a1)));
  if (valid && !isFunction) {
    if (!IsOperandType(a2)) valid = false;
    bool d1 = a1->Type == 'D', d2 = a2->Type == 'D';
    if (d1 != d2) valid = false;
    if (d1 && d2 && oper != '+') valid = false;
  }
  if (!valid) {
    QDVP_DisplayValidationMessage(63, name);
    return nullptr;
  }
  char type[4] = "G";
  char size[24] = "";
  const char *sizeToken = nullptr;
  if (p->options.real) {
    strcpy(type, "D");
    strcpy(size, "20");
  } else if (isFunction) {
    int index = static_cast<int>(function - DerivedFunctionName);
    static const char *const kTypes[] = {"T", "D", "D", "T", "T"};
    static const char *const kSizes[] = {"16", "256", "24", "17", "17"};
    strcpy(type, kTypes[index]);
    strcpy(size, kSizes[index]);
  } else if (a1->Type == 'D' && a2->Type == 'D') {
    strcpy(type, "D");
    snprintf(size, sizeof(size), "%d", a1->MaxValSize + a2->MaxValSize);
  }
  if (size[0] != '\0') sizeToken = size;
  AttrEntry *attr = QDVP_InitializeAttrEntry(p->source, name, type, sizeToken, 0, 0,
                                             p->options.help, p->options.filter);
  if (attr == nullptr) return nullptr;
  attr->pOperand1 = isFunction ? const_cast<DeriveFunction *>(function) : static_cast<void *>(a1);
  attr->pOperand2 = a2;
  attr->Operator = oper;
  attr->Real = p->options.real;
  QDVP_TRC(trk, TRK1_DETAIL, "AttrOper1 @%p AttrOper2 @%p", attr->pOperand1,
           static_cast<void *>(attr->pOperand2));
  return attr;
}

void QDVP_DefineMetaAttribute(MetaParser *p) {
  const char *name = p->tokens[0];
  TableEntry *table = p->table;
  if (p->rDefined || (p->tableSentCount >= p->limit && !p->packaged)) {
    QDVP_TRC(trk, TRK1_ERROR,
             "***** attribute specification <%s> discarded. Total attributes %d in table <%s> "
             "exceeds maximum allowed: %d",
             name, p->tableSentCount, table->TableName, p->limit);
    QDVP_DisplayValidationMessage(31, name);
    if (!p->rDefined) p->rejected = 1;
    return;
  }
  if (p->tokenCount < 2) {
    QDVP_TRC(trk, TRK1_ERROR,
             "***** attribute name is missing. attribute specification for <%s> is incomplete, "
             "ignored",
             name);
    QDVP_DisplayValidationMessage(7, name);
    return;
  }
  char *type = p->tokens[1];
  type[0] = static_cast<char>(toupper(static_cast<unsigned char>(type[0])));
  bool derived = type[0] == '(';
  int next = 2;
  const char *size = nullptr;
  if (!derived) {
    const char *candidate = next < p->tokenCount ? p->tokens[next] : nullptr;
    bool sizeRequired = strchr("DORZK", type[0]) != nullptr;
    // An optional size that is not a number is no size: the word is the next operand (KEY,
    // ATOMIC, or the OID of an SNMP attribute, which a dot tells from a size).
    bool number = candidate != nullptr && isdigit(static_cast<unsigned char>(candidate[0])) &&
                  strchr(candidate, '.') == nullptr;
    if (candidate != nullptr && (sizeRequired || number)) {
      size = candidate;
      next++;
    }
    if (size == nullptr && sizeRequired) {
      QDVP_TRC(trk, TRK1_ERROR, "***** attribute specification for <%s> is incomplete, ignored",
               name);
      QDVP_DisplayValidationMessage(7, name);
      return;
    }
  }
  if (p->zDefined) {
    QDVP_TRC(trk, TRK1_ERROR, "*****attribute <%s> found after Last type Z attribute, ignored",
             name);
    QDVP_DisplayValidationMessage(19, name);
    return;
  }
  int key = 0, atomic = 0;
  const char *operand = nullptr;
  if (!derived) {
    bool keySeen = false, atomicSeen = false;
    while (next < p->tokenCount && strchr(p->tokens[next], ')') == nullptr) {
      const char *t = p->tokens[next];
      char upper[8];
      snprintf(upper, sizeof(upper), "%s", t);
      QDV0_ConvertStringToUpper(upper, 0);
      if (!keySeen && strncmp(upper, "KEY", 3) == 0) {
        keySeen = true;
        if (table->Type == 'K') {
          key = 1;
          p->keyFound = 1;
          next++;
          continue;
        }
        QDVP_DisplayValidationMessage(59, nullptr);
        break;  // the KEY word stays the next operand
      }
      if (!atomicSeen && strncmp(upper, "ATOMIC", 6) == 0) {
        atomicSeen = true;
        if (IsNumericType(type[0])) {
          QDVP_DisplayValidationMessage(61, nullptr);
        } else {
          atomic = 1;
        }
        next++;
        continue;
      }
      break;
    }
    operand = next < p->tokenCount ? p->tokens[next] : nullptr;
  }
  AttrEntry *attr = derived ? DefineDerived(p, name)
                            : QDVP_InitializeAttrEntry(p->source, name, type, size, key, atomic,
                                                       p->options.help, p->options.filter);
  if (attr == nullptr) return;
  if (p->appl->SNMPappl && !derived) {
    if (operand == nullptr) {
      if (!p->packaged) {
        QDVP_TRC(trk, TRK1_ERROR, "SNMP attribute <%s> ignored. No ObjectID specified.", name);
        QDVP_DisplayValidationMessage(18, nullptr);
        QDVP_ReleaseAttributeEntry(p->source, attr);
        return;
      }
    } else if (isdigit(static_cast<unsigned char>(operand[0]))) {
      // Any other word in the OID's place (such as a KEY outside a K table) means no OID.
      attr->pOID = QDV0_StrDup(operand);
      const char *last = strrchr(operand, '.');
      if (last != nullptr && last[1] == '0') {
        // An OID instance ending in 0 is kept in its encoded form (tag, length and arcs) for
        // SNMP, encoded as the support layer encodes every OID of a request.
        unsigned char encoded[QDVP_ENCODED_OID_MAX];
        size_t length = QDV0_FormatOIDfromString(operand, encoded, sizeof(encoded));
        if (length > 0) {
          attr->pEncodedOID = static_cast<unsigned char *>(QDV0_GetStorage(length));
          if (attr->pEncodedOID != nullptr) memcpy(attr->pEncodedOID, encoded, length);
        }
        if (attr->pEncodedOID == nullptr) {
          QDVP_TRC(trk, TRK1_ERROR, "SNMP MIB attribute OID <%s> is invalid or unsupported",
                   operand);
          QDVP_DisplayValidationMessage(60, operand);
          QDVP_ReleaseAttributeEntry(p->source, attr);
          return;
        }
        attr->EncodedOIDlen = static_cast<int>(length);
      }
    }
  }
  if (p->options.seq != 0) attr->OrderSeq = p->options.seq;
  if (p->options.skey != 0) {
    attr->AttrSortKey = p->options.skey;
    if (attr->AttrSortKey == -1 && attr->Type != 'C' && attr->Type != 'G') {
      attr->AttrSortKey = 0;
      QDVP_TRC(trk, TRK1_ERROR, "Summary by total specified for non-numeric attribute");
      QDVP_DisplayValidationMessage(92, nullptr);
    }
  }
  if (p->options.delimiter != nullptr) {
    attr->pDelimiter = p->options.delimiter;
    p->options.delimiter = nullptr;
    QDVP_TRC(trk, TRK1_DETAIL, "Attribute <%s> delimiter override <%s> in effect", attr->Name,
             attr->pDelimiter);
  }
  if (p->options.enumText != nullptr) {
    attr->pEnum = p->options.enumText;
    p->options.enumText = nullptr;
  }
  {
    OSV1_Guard lock(&table->TableLock);
    table->AttrCount++;
    if (attr->pOperand1 == nullptr && attr->pOperand2 == nullptr) table->AttrNoOperandCount++;
    if (attr->Sent && attr->Type != 'K') {
      table->AttrSentCount++;
      p->tableSentCount++;
    }
  }
  if (attr->Type == 'Z') p->zDefined = 1;
  if (type[0] == 'R') p->rDefined = 1;
}
