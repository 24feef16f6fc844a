// The state of one metafile being read by QDVP_ConstructApplDataModel, shared by the
// statement handlers (qdvpcadm.cpp) and the attribute definitions (qdvpcatd.cpp). Private to
// the metafile folder.
#pragma once

#include <ctype.h>

#include "../include/qdvp_model.h"

enum { QDVP_MAX_TOKENS = 48 };

// The options a pre-scan found in one record; texts point into the record's own copy.
struct MetaOptions {
  const char *help;      // after '@', or null
  char *filter;          // own copy, from "+FILTER={" / "-FILTER={" to the end, or null
  char *module;          // MODULE=
  char *managedSystem;   // ManagedSystemName=
  char *dsn;             // DSN=
  char *enumText;        // ENUM{...}
  char *delimiter;       // DLM= (validated), or null
  int real;              // REAL
  int skey;              // SKEY= (-1 SUM)
  int seq;               // SEQ=
  int badFilterKeyword;  // FILTER={ without a sign
};

struct MetaParser {
  DPAB *anchor;
  const char *metafileName;
  char *fullName;
  int validate;
  int autoLoad;
  int noEcho;
  int *alreadyDefinedOut;  // the caller's flag, or null
  int limit;               // attributes per table
  ApplEntry *appl;
  TableEntry *table;
  SourceEntry *source;
  int tableSentCount;  // sent attributes of the current table
  int snmp, snmpText, enciphered, corvidSeen, firstStatement;
  int applFound, nameFound, nameWaiting, inAttrList, sourcePresent, fileSourcePresent;
  int keyFound, zDefined, rDefined, addSourceName, addTimeStamp;
  int copyFailure, rejected, bypassed, packaged;
  int stop;         // a statement ended the reading
  int lateFailure;  // refused by the final checks or the registration
  char *original;   // the record before the pre-scan (for message inserts)
  char *record;     // the record being split
  char *tokens[QDVP_MAX_TOKENS];
  int tokenCount;
  MetaOptions options;
};

// Pre-scans an attribute record for its options, cutting and blanking them out of record.
void QDVP_ScanAttributeOptions(char *record, MetaOptions *options);
// Splits parser->record at blanks into parser->tokens.
void QDVP_SplitMetaRecord(MetaParser *parser);
// Handles one attribute definition of the current source.
void QDVP_DefineMetaAttribute(MetaParser *parser);
// Adds an inserted attribute (summary, ADDSOURCENAME, ADDTIMESTAMP) to the current source and
// counts it.
AttrEntry *QDVP_AddInsertedAttribute(MetaParser *parser, const char *name, const char *type,
                                     const char *size, const char *help);

// The statements that apply to the current table (qdvpctbs.cpp). rest is the record's text
// after the keyword.
void QDVP_MetaSourceStatement(MetaParser *parser, char *rest);
void QDVP_MetaAttributesStatement(MetaParser *parser, const char *rest);
void QDVP_MetaRecordSetStatement(MetaParser *parser, const char *rest);
void QDVP_MetaConfirmStatement(MetaParser *parser, const char *rest);
void QDVP_MetaInternalStatement(MetaParser *parser);
void QDVP_MetaSummaryStatement(MetaParser *parser);
void QDVP_MetaODBCStatement(MetaParser *parser);

// Whether token, upper-cased, is word (which is written in upper case).
inline bool MetaEqualsUpper(const char *token, const char *word) {
  if (token == nullptr) return false;
  for (; *token && *word; token++, word++) {
    if (toupper(static_cast<unsigned char>(*token)) != *word) return false;
  }
  return *token == '\0' && *word == '\0';
}

// Whether token, upper-cased, begins with word.
inline bool MetaBeginsUpper(const char *token, const char *word) {
  if (token == nullptr) return false;
  for (; *word; token++, word++) {
    if (toupper(static_cast<unsigned char>(*token)) != *word) return false;
  }
  return true;
}

// Token i of the split record, or null.
inline const char *MetaToken(MetaParser *p, int i) {
  return i < p->tokenCount ? p->tokens[i] : nullptr;
}
