// The metafile server task, shared with its tests. One task plays one of two roles, chosen at
// its start: the server, which answers GETMETA requests with the records of the regular files
// of its metafile directory, or the client, which fetches for the metafile input
// (metafile/qdvpmsio.cpp) a metafile that exists nowhere locally. The wire is in qdvpmswr.h.
//
// The server is one task serving every partner from one poll loop, without blocking on any:
// each partner has at most one reply on its way, and one that does not take its reply within
// QDVP_META_IO_WAIT seconds is dropped. A partner with no reply on its way is idle: one idle
// for QDVP_META_IDLE_WAIT seconds is closed, and when every place is taken a new partner takes
// the place of the one idle longest, so connections that say nothing can never lock clients
// out; only when every partner has a reply on its way is a new one closed at once. The client is
// one task too; the loading task and it meet through the anchor's metafile record block (handshake
// in include/qdvp_metafile.h).
#pragma once

#include "../include/qdvp_anchor.h"

enum {
  QDVP_MSRV_MAX_PARTNERS = 64,                  // connections served at once; more are closed
  QDVP_MSRV_PENDING_BUDGET = 16 * 1024 * 1024,  // reply bytes on their way, for all partners
  QDVP_MSRV_SEND_BUFFER = 64 * 1024,            // a partner's socket send buffer
  QDVP_MSRV_CONNECT_WAIT = 5,                   // seconds a connection attempt may take
  QDVP_MSRV_RETRY_WAIT = 60,                    // seconds between connection attempts
  QDVP_MSRV_LOST_WAIT = 10,                     // seconds before reconnecting after a loss
  QDVP_MSRV_DEFAULT_IO_WAIT = 30,               // QDVP_META_IO_WAIT default, seconds
  QDVP_MSRV_DEFAULT_IDLE_WAIT = 60,             // QDVP_META_IDLE_WAIT default, seconds
};

// 1 when the metafile server port is taken on this host (a server runs), 0 otherwise.
int QDVP_IsMetaServerActive(char transportLetter);
// The two roles. Each signals its creator once it has started and returns 1 when the task
// was asked to end; 0 when it could not start, without signalling (the task does that).
int QDVP_MetaServerSockServerRoutine(DPAB *anchor, ProcessEntry *entry);
int QDVP_MetaServerSockClientRoutine(DPAB *anchor, ProcessEntry *entry);
// QDVP_META_IO_WAIT in seconds (default 30, at least 1).
int QDVP_MetaIOWait(void);
// QDVP_META_IDLE_WAIT in seconds (default 60, at least 1): how long the server keeps a
// connection that has no reply on its way and sends no request.
int QDVP_MetaIdleWait(void);
// Signals the creator's startup wait (the entry's TaskIOmutex and condition).
void QDVP_SignalMetaServerStartup(ProcessEntry *entry);
