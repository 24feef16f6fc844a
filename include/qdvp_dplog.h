// The data provider log: numbered operator messages, their queue to the log server task, the
// DP log report application (tables DPLOG and ACTION) and the batch job log.
//
// Any task may report a message with QDVP_SendDPlogMessage (include/qdvp_model.h); it only
// takes DPlogQueueLock (held alone) to link the entry. Completion and delivery run in the log
// server task, or in the reporting task in stand-alone mode.
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
