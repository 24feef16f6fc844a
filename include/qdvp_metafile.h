// Metafile input: finding a metafile by name (metafile directory, ".mdl"/".MDL" extensions,
// in-memory "&NAME" texts, a remote metafile server), reading it record by record, the record
// buffers the metafile server sends, the stand-alone validation and unpack entries.
//
// A metafile handle is either a FILE* or the anchor's metafile record block; every read and
// close compares the handle with anchor->pMemMetafile to tell which. Only one metafile is
// read through the block at a time: a remote retrieval holds the block's Lock from the
// request until the last record has been read.
#pragma once

#include <stdio.h>

#include "qdvp_anchor.h"

struct MetaRecordNode {
  MetaRecordNode *pNext;
  char *pText;
  int Length;
  // A node built from a local file carries its text here, line end and a NUL included.
};

// The anchor's metafile record block.
//
// Remote retrieval handshake: the task that needs a metafile takes Lock, then, holding its own
// TaskIOmutex, posts pName, pPE and Status -1 under the client task's TaskIOmutex and signals
// the client's condition; it then waits on its own condition until Status is no longer -1.
// The client fills pHead and RecordCount and answers by setting Status (0 success, other
// values failure) under the waiting task's TaskIOmutex and signalling its condition; it must
// not hold its own TaskIOmutex while it does so. The orderly shutdown wakes pPE, the task waiting
// for a remote metafile, so that field comes first. (struct MemMetafile lives with the anchor, in
// qdvp_anchor.h.)

// The request the metafile server fills with a local metafile's records.
struct MetaRecordRequest {
  const char *pName;
  int RecordCount;
  MetaRecordNode *pHead;
};

enum { QDVP_MEM_CREATED = -4, QDVP_MEM_BORROWED = -5 };

// The record buffer size: QDVP_META_MAX_RECORD_SIZE, default 4096 (at least 16).
int QDVP_MetaRecordSize(void);
void *QDVP_OpenMetaFile(DPAB *anchor, const char *name, int validate);
char *QDVP_ReadMetaFile(DPAB *anchor, void *handle, char *buffer, int size);
int QDVP_CloseMetaFile(DPAB *anchor, void *handle);
MemMetafile *QDVP_ConstructMemoryMetafile(DPAB *anchor, const char *text);
void QDVP_ConstructMetaFileRecordBuffers(DPAB *anchor, MetaRecordRequest *request);
void QDVP_FreeMetaRecordList(MetaRecordNode *head);
// The full name of a metafile as the loader forms it: the name when fully qualified,
// otherwise joined to the metafile directory. New storage, or null.
char *QDVP_MetafileFullName(DPAB *anchor, const char *name);
// Enciphers the plain metafile in into out (another file) so that the loader deciphers it;
// 0 or -1 (qdvpencf.cpp, also compiled into the qdvp host program).
int QDVP_EncipherMetafileToFile(const char *in, const char *out);
// 1 when the last validation run of this process wrote message 0.
int QDVP_LastValidationSucceeded(void);
// A stand-alone run (validation, unpack) on a temporary anchor: messages 22 (no name) and 21
// (start-up failed) and null when it cannot begin; the end shuts the anchor down again.
DPAB *QDVP_BeginStandAloneRun(const char *name);
void QDVP_EndStandAloneRun(DPAB *anchor);
