// The state of one metafile being read by QDVP_ConstructApplDataModel, shared by the
// statement handlers (qdvpcadm.cpp) and the attribute definitions (qdvpcatd.cpp). Private to
// the metafile folder.
#pragma once

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
