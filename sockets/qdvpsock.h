// What the files of the socket data server share: binding senders to partners, building the
// application named by an association record, and the dynamic partners made for it; and what
// the socket and POST servers do at the open-file limit. Private to the sockets folder; every
// call here runs in the server task, with the select lock held unless it says otherwise.
#pragma once

#include <netinet/in.h>
#include <time.h>

#include <chrono>
#include <string>
#include <vector>

#include "../include/qdvp_sockets.h"

enum {
  // Most sources a table gets from partners that named it in an association record: a sender
  // that keeps changing its port cannot make the data provider grow without bound.
  QDVP_SOCK_MAX_DYNAMIC_SOURCES = 256,
  // A refused sender's DP log message (56, 30) is reported at most once in this many seconds
  // per sender address and message (qdvpsrfl.cpp).
  QDVP_SOCK_REFUSAL_LOG_SECONDS = 10,
};

// A listening socket at the open-file limit: a descriptor kept in reserve, given up for a
// moment to accept and close the connections that wait; the time the listening socket rests
// until (a monotonic clock, for a pause shorter than a second); and the report of the limit,
// once a period. Used by one server task; no lock.
struct QDVP_AcceptLimit {
  int spare = -1;
  std::chrono::steady_clock::time_point restUntil{};
  time_t reportedAt = 0;
  int closedUnserved = 0;
};
// Opens the spare descriptor when it is not held (at start, and when it could not be had again
// after the last time it was used).
void QDVP_KeepAcceptSpare(QDVP_AcceptLimit *limit);
void QDVP_ReleaseAcceptSpare(QDVP_AcceptLimit *limit);
// True while the listening socket rests: it is not polled then.
bool QDVP_AcceptResting(const QDVP_AcceptLimit *limit);
// Milliseconds until the rest ends (at least 1), for the server's poll timeout.
int QDVP_AcceptRestMs(const QDVP_AcceptLimit *limit);
// accept on tcp failed with err, which waiting does not cure (no descriptor left, most often).
// At the descriptor limit the spare descriptor is given up so that the connections that wait
// can be accepted and closed at once: their senders learn it, and they are not taken again and
// again. Then the listening socket rests, so that the server cannot spin on a connection it
// cannot take. The trace and DP log 96 (server names it) say it once a period, with the
// connections closed unserved. No lock needed.
void QDVP_AcceptFailed(DPAB *anchor, int tcp, QDVP_AcceptLimit *limit, int err, const char *server);

// True when the DP log message number about refusing peer is due now; false while one was
// reported for that address within QDVP_SOCK_REFUSAL_LOG_SECONDS (it is counted instead).
bool QDVP_RefusalLogDue(int number, const struct sockaddr_in *peer);

// The dotted address of peer into text (INET_ADDRSTRLEN bytes).
void QDVP_DottedAddress(const struct sockaddr_in *peer, char *text);
// The name a partner is known by: its host name, or its dotted address with '-' for '.'.
void QDVP_PartnerNodeName(const struct sockaddr_in *peer, char *name, size_t size);

// The metafile an association record ("//NAME ...", mark first, record cut at its line end)
// names, copied into name (size bytes). False for a name that could reach outside the metafile
// directory or is no plain metafile name.
bool QDVP_AssociationName(const char *record, char *name, size_t size);

// The application built from the metafile name (already built, or built now: *built is then
// true). Null when it cannot be built.
ApplEntry *QDVP_BuildAssociatedApplication(DPAB *anchor, const char *name, bool *built);

// A new SOCK source for peer in the application's only table, with the attributes of the
// table's first source, Ready; its I/O entry is the partner. Null when the application has
// more than one table or the table has reached its dynamic source limit.
IOEntry *QDVP_CreateDynamicPartner(DPAB *anchor, ApplEntry *application,
                                   const struct sockaddr_in *peer, int translate);

// True when the partner's source was made by this server for one sender's session (a dynamic
// partner): it goes offline at once when the session ends, and is released then.
bool QDVP_DynamicPartner(IOEntry *partner);
// A dynamic partner whose session has ended: its source leaves its table and is freed once no
// task holds it. True when it was released (the partner is gone then); false for any other.
bool QDVP_ReleaseDynamicPartner(DPAB *anchor, ProcessEntry *pe, IOEntry *partner);

// Binds partner to a session from peer on socket (tcp: the accepted connection, else -1).
void QDVP_BindPartner(IOEntry *partner, ProcessEntry *pe, int socket, int tcp,
                      const struct sockaddr_in *peer, int translate);

// A TCP partner's received bytes: lines that end go to the record path, an end marker line
// takes the source offline (the next line starts a new session), and a line that has not
// ended is held back until it does (a line longer than the receive buffer goes on as it is).
// end set: the connection closed, so what is held back is the last line. True when every line
// was taken by the record path (or held back): only then is the partner acknowledged.
bool QDVP_HandleTCPdata(DPAB *anchor, ProcessEntry *pe, IOEntry *partner, const char *data,
                        int length, bool end = false);

// How a TCP partner's bytes (what was held back, then what came) divide: pieces of whole lines
// and end marker lines, in order, and what is held back for the next receive (a line without
// its line feed; nothing when end is set or the line has grown beyond the receive buffer).
// The pieces and what is held back together are the bytes, in order.
struct PartnerPiece {
  bool endMarker;
  std::string text;
};
void QDVP_SplitPartnerBytes(const std::string &work, bool end, std::vector<PartnerPiece> *pieces,
                            std::string *held);

// Ready: brings a partner's source online (its buffers large enough for any receive). True when
// the source is Input afterwards; else the partner is inactive with a new session.
bool QDVP_BringPartnerOnline(DPAB *anchor, ProcessEntry *pe, IOEntry *partner);

// The call type of a partner's request is noted before the dispatcher runs: an ENDINP makes
// a source that is in a session (joined to its table) Inactive, whatever its state, so that
// a session always ends.
void QDVP_NoteAPIcallType(IOEntry *partner, int call);

// The client API's side of QDVP_ProcessSockRequestByState, for a partner of a base source:
// the request's step by the source's state, then the reply (none for length below 1).
int QDVP_ProcessAPIrequestByState(DPAB *anchor, ProcessEntry *pe, IOEntry *partner, int length,
                                  char *buffer);

// Client API sessions (qdvpapis.cpp); the I/O entries of base sources are the API partners.
// A base source joins table (its list, its count, the attributes of its first source with
// attributes): 0, or 53 when the table has reached its dynamic source limit.
int QDVP_AttachAPIsource(DPAB *anchor, SourceEntry *source, TableEntry *table);
// A source made for one session leaves its table again (offline): no table, no attributes.
// Takes a session's own source off its table's source list (and its count); the caller then
// releases it by the lifetime rule.
void QDVP_UnlinkSourceFromTable(SourceEntry *source);
void QDVP_DetachAPIsource(SourceEntry *source);
// The partner of a datagram (translated, NUL-terminated) from peer on the UDP socket: the one
// its session is bound to, or, for a BGNINP, a base source of the named table bound now. Null
// after the sender was answered with the reason (90, 13, 51, 52, 53).
IOEntry *QDVP_CheckExistAPIpartner(DPAB *anchor, ProcessEntry *pe, const struct sockaddr_in *peer,
                                   int socket, char *buffer, int length);
// After a datagram: a session that ended (ENDINP, or online refused) frees its partner, and a
// source made for it is released.
void QDVP_EndAPIdatagramSession(DPAB *anchor, ProcessEntry *pe, IOEntry *partner);
// An accepted connection becomes a session on a new "BASE" source (DP log 25); null when it
// was refused and closed.
IOEntry *QDVP_OpenAPIsession(DPAB *anchor, ProcessEntry *pe, int socket,
                             const struct sockaddr_in *peer);
// The client closed its connection (or it failed): the source goes offline (DP log 26) and is
// released with its partner.
void QDVP_CloseAPIsession(DPAB *anchor, ProcessEntry *pe, IOEntry *partner, int err);
// Shutdown: the session's source, already offline, is released when it was made for it.
void QDVP_ReleaseAPIsessionSource(DPAB *anchor, ProcessEntry *pe, IOEntry *partner);
