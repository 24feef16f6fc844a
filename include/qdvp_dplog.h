// The data provider log: numbered operator messages, their queue to the log server task, the
// DP log report application (tables DPLOG and ACTION) and the batch job log.
//
// Any task may report a message with QDVP_SendDPlogMessage (include/qdvp_model.h): it takes
// DPlogQueueLock to link the entry and, after it, the log server's TaskIO mutex to wake it,
// so it may be called under any lock that comes before those in the order
// (include/qdvp_anchor.h). Outside stand-alone mode the reporting task also writes the
// completed message to standard error at once, one line with the syslog priority of its
// category, whether or not the agent is there to take the row. Completion and delivery run in
// the log server task, or in the reporting task in stand-alone mode.
#pragma once

#include <stddef.h>

#include "qdvp_anchor.h"

enum {
  QDVP_DPLOG_MESSAGES = 115,
  QDVP_DPLOG_CATEGORY_COLUMN = 9,
  QDVP_DPLOG_TEXT_SIZE = 512,
};

extern const char *const DP_Log_Message[QDVP_DPLOG_MESSAGES];
extern const char NoParameterProvided[];

// Completes template number with parms (null ones shown as "?") into out (size bytes, cut to
// fit); returns the text's length.
int QDVP_FormatDPlogText(int number, const char *const parms[5], char *out, size_t size);
// The syslog priority of a message's standard error line, by its category: 3 for ERROR, 4 for
// WARNING, 6 for SYSTEM, INFO and the other categories (SOCKCOMM, APICOMM, APIINFO, METACOMM,
// METAINFO, ACTINFO, SNMPINFO, APPCINFO).
int QDVP_DPlogPriority(int number);
// Copies text into out cut to maxSize characters, the last three of a cut text being "...".
void QDVP_CutDPlogText(const char *text, int maxSize, char *out);
void QDVP_DispatchDPlogMessage(DPAB *anchor, int number, const char *p1, const char *p2,
                               const char *p3, const char *p4, const char *p5,
                               const char *timeStamp);
void QDVP_EnqueueDPlogRequest(DPAB *anchor, WorkItem *entry);
WorkItem *QDVP_GetNextDPlogRequest(DPAB *anchor);
// Dispatches (when dispatch is nonzero) and frees one queued entry.
void QDVP_DispatchQueuedDPlogEntry(DPAB *anchor, WorkItem *entry, int dispatch);
// The process entry on whose behalf the DP log report's requests are made.
ProcessEntry *QDVP_DPlogRequester(DPAB *anchor);
void QDVP_OpenBatchLog(DPAB *anchor, const char *fileName);
void QDVP_WriteBatchLog(const char *text);

// No-data status (logs/qdvpndsr.cpp). The MIB collection reports each change of a table at an
// agent: hasDataAgain 0 when it returned nothing, 1 when it returns rows again. The report
// folds the changes per agent (QDVP_UpdateAgentNoDataStatus, agentKey the 128-byte blank-padded
// agent and identification) and sends each agent's list (QDVP_OutputNoDataStatusToDCH, rowFlag
// -1 for the first agent, 1 for the last, 0 otherwise).
void QDVP_EnqueueNoDataStatus(const char *agentName, const char *identification,
                              const char *tableName, int hasDataAgain);
void QDVP_UpdateAgentNoDataStatus(const char *agentKey, const char *tableList);
void QDVP_OutputNoDataStatusToDCH(DPAB *anchor, const char *agentKey, const char *tableList,
                                  int rowFlag, int *rowCount);
void QDVP_AllocateNoDataStatusArray(void);
void QDVP_ReleaseNoDataStatusArray(void);

// One row of SNMP-MANAGER's MIBSTATUS table (logs/qdvpndsr.cpp): the enterprise (application),
// the table, the agent list, the interval and the time of the last completed poll, as texts.
void QDVP_OutputMIBstatusToDCH(DPAB *anchor, const char *const values[5]);
