// The socket data server: records from remote partner programs over TCP and UDP on one port,
// each sender bound to the I/O entry (the partner) of a table's SOCK source, and handed to
// record processing and the agent exactly as file records are.
//
// One task runs the server (QDVP_SocketServer, started for the SOCK and ASFS types). Its loop
// holds the anchor's SelectLock except while it waits for input, so a task that changes the
// partner list (application deletion) takes the select lock, changes it and wakes the loop
// with QDVP_SendSelectInterrupt; the periodic scan ends silent UDP sessions and tests TCP
// partners through the calls below, under the partner list lock.
//
// Locks: the select lock, the partner list lock (ApplIOLock of the socket kind), a partner's
// IOLock (its binding), in the order of include/qdvp_anchor.h. A partner's IOLock is not held
// while its record goes to the agent; the select lock is (the partner stays bound meanwhile).
//
// A partner is hostile input: every byte stream, datagram and association record is checked
// before it is used; a bad one is logged and dropped, never fatal to the loop, and a metafile
// named by a partner is taken only from the metafile directory.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

#include <string>

#include "qdvp_model.h"
#include "qdvp_services.h"

// Texts compared byte for byte.
// SelectShutDownMsg (at shutdown) and SelectDeleteMsg (after a partner or application goes)
// are the wake-up datagrams, declared with the services the core calls.
extern const char SockTransEndMsg[];     // a partner's end of transmission (14 bytes compared)
extern const char ExplicitMarkASCII[];   // "//": an application association record follows
extern const char ExplicitMarkEBCDIC[];  // the same two characters as EBCDIC bytes

enum {
  QDVP_SOCK_BUFFER_SIZE = 4096,        // one receive, and the longest record of a partner
  QDVP_SOCK_FIRST_DATA_WAIT = 5,       // seconds a dynamic TCP partner has for its first bytes
  QDVP_SOCK_MAX_UNBOUND = 64,          // accepted TCP connections still waiting for first bytes
  QDVP_SOCK_ACCEPT_REST_MS = 500,      // the listening socket's rest after an accept that failed
  QDVP_SOCK_LIMIT_REPORT_PERIOD = 60,  // seconds between two reports of the open-file limit
  // Seconds a UDP session (a socket partner's or a client API session's) lasts without a
  // datagram at most, whatever its table's time to live: QDVP_UDP_SESSION_IDLE.
  QDVP_UDP_SESSION_IDLE_DEFAULT = 300,
  QDVP_SOCK_DATA_PORT_BASE = 7500,  // + DP_PORT_OFFSET, or QDVP_DP_PORT
  QDVP_SOCK_API_PORT_BASE = 7600,   // + DP_PORT_OFFSET, or QDVP_API_DPAPI_PORT
  QDVP_META_SERVER_PORT_BASE = 7800,
  QDVP_POST_PORT_DEFAULT = 7575,  // or QDVP_POST_DP_PORT
};

// The loop of the socket data server and the client API server (port in host byte order); the
// process entry's type word chooses the mode: 0 the client API, else socket data.
void QDVP_CommonSocketServer(DPAB *anchor, ProcessEntry *pe, int port);

// The port (host byte order) of the server of kind: 'S' socket data, 'A' client API, 'M'
// metafile server, 'P' POST.
int QDVP_ServerPort(char kind);

// QDVP_SendSelectInterrupt(type, text) sends text as one datagram to the local servers of the
// data provider type (2 and 3 the socket data port, 0 and 3 the API port, 99 the metafile
// server, 4 POST); other types are refused.
int QDVP_SendSelectMessage(int socket, const char *text, const struct sockaddr_in *address);

// Sends the table's confirmation for a received buffer of length bytes back to the partner; to
// a datagram's sender instead, on the UDP socket, when to is given (a datagram the partner took
// beside the session it is bound to).
void QDVP_SendReceivedDataAck(IOEntry *partner, int length, const struct sockaddr_in *to = nullptr,
                              int socket = -1);

// The partner to bind to a sender at peer, within application when given; null for none, also
// when two configured entries match the sender equally.
IOEntry *QDVP_LookUpPartnerByAddr(DPAB *anchor, const struct sockaddr_in *peer,
                                  ApplEntry *application);

// The partner of a UDP datagram (buffer, length bytes, NUL-terminated) from peer; builds the
// application of an association record. Null when the datagram cannot be bound.
IOEntry *QDVP_CheckExistUDPpartner(DPAB *anchor, ProcessEntry *pe, const struct sockaddr_in *peer,
                                   int socket, char *buffer, int length)
    QDVP_REQUIRES(anchor->SelectLock);

// Binds an accepted TCP connection whose first bytes (length of them, in buffer) are known:
// a configured partner, or a dynamic one named by the association record in them. Returns the
// partner bound, or null after the connection was refused and closed.
IOEntry *QDVP_BindTCPpartner(DPAB *anchor, ProcessEntry *pe, int socket,
                             const struct sockaddr_in *peer, IOEntry *configured, char *buffer,
                             int length) QDVP_REQUIRES(anchor->SelectLock);

// A partner's record path by its source's state: goes online, parses the buffer's lines into
// rows and sends them, or takes the source offline (length below 1 after a disconnect, or a
// source made Inactive). Called without the partner's IOLock. Returns the API return code (0).
int QDVP_ProcessSockRequestByState(DPAB *anchor, ProcessEntry *pe, IOEntry *partner, int length,
                                   char *buffer);

// The periodic scan's QDVP_ExpireUDPpartners ends UDP sessions whose expiry time has passed
// (DP log 32); QDVP_TestTCPpartners connects to every TCP partner's address and port and ends
// the sessions of partners whose host is gone (DP log 74). Both take the select lock.

// Application deletion: ends the session of a socket source's partner and takes the source
// offline, with waiter (or the borrowed statistics entry) waiting for the agent.
void QDVP_EndSocketPartner(DPAB *anchor, SourceEntry *source, ProcessEntry *waiter)
    QDVP_REQUIRES(anchor->SelectLock);

// Resets a partner to unbound: inactive, new session, no socket, no address, nothing held back.
void QDVP_ResetPartner(IOEntry *partner) QDVP_REQUIRES(partner->IOLock);

// The POST server (qdvpspst.cpp): the posting application (a QDVPOST metafile, or the
// built-in one), one message made into a row and sent (waiting while the agent is away), and
// the acknowledgement stamp a TCP sender gets: the sender's address in 8 hex digits, YYMMDDHHMMSS,
// the category key and the text's 16-bit checksum in 5 digits.
ApplEntry *QDVP_DefineDPpostApplication(DPAB *anchor);
// Fills the posting source's attributes from one message and returns its stamp; sends nothing.
std::string QDVP_FillPostRow(SourceEntry *source, const struct sockaddr_in *sender,
                             const char *buffer, int length);
std::string QDVP_LoadPostAttributeData(DPAB *anchor, ProcessEntry *pe, SourceEntry *source,
                                       const struct sockaddr_in *sender, char *buffer, int length);
std::string QDVP_PostAckStamp(const struct sockaddr_in *sender, const char *corvidTime, char key,
                              const std::string &text);
// Back to the ten categories every POST data provider starts with (QDVP_POST_CATEGORY then
// changes them when the server starts).
void QDVP_ResetPostCategories();

// The client API protocol (qdvpapi.cpp). A request is one buffer: the version (10 bytes), the
// request name (6 bytes, APIrequestString by call type), then its data. The reply is "rc time"
// or "rc time#data", time being the data provider's start (seconds since the epoch).
enum {
  QDVP_API_NAME_AT = 10,
  QDVP_API_DATA_AT = 16,
  QDVP_API_CALL_TYPES = 10,
  QDVP_API_MAX_SESSIONS = 256,  // TCP clients at once; a further connection is closed at once
  // Longest an ENDROW waits for the statuses of its set's rows sent on a window.
  QDVP_API_SETTLE_SECONDS = 5,
};
enum APIcallType {
  QDVP_API_NONE = 0,
  QDVP_API_BGNINP = 1,  // application, a blank, table
  QDVP_API_ENDINP = 2,
  QDVP_API_BGNROW = 3,
  QDVP_API_ENDROW = 4,
  QDVP_API_SNDDTA = 5,  // records separated by line feeds
  QDVP_API_ACCREQ = 6,  // flag ";" wait seconds
  QDVP_API_RCVREQ = 7,
  QDVP_API_RESULT = 8,  // action number ";" result text
  QDVP_API_SETSRC = 9,  // source name
};
extern const char *const APIrequestString[QDVP_API_CALL_TYPES];
extern const char QDVP_API_VERSION[];  // "QDVPAPI300"
bool QDVP_ValidateAPIversion(const char *buffer);
// True when the request name is name; *dataAt is then the data's offset. Counts the call.
bool QDVP_ValidateAPIrequest(const char *name, const char *buffer, int *dataAt);
// The call type of a request of length bytes, 0 when its name is none of APIrequestString.
int QDVP_ExtractAPIcallType(const char *buffer, int length);
// Sends the reply on socket: to address for UDP, on the connection for TCP (address null).
int QDVP_SendAPIreply(DPAB *anchor, int socket, const struct sockaddr_in *address, int rc,
                      const char *data, int length);
// ACCREQ: "1;wait" accepts take actions (wait 0 or none: 60 s, negative: -1), else refuses them.
void QDVP_SetAcceptRequestOptions(SourceEntry *source, const char *buffer);
// SETSRC: the source's node name becomes the data up to its first blank; false when empty.
bool QDVP_SaveAPIsourceName(SourceEntry *source, const char *buffer);

// Take actions handed to an API client that asked for them (qdvpareq.cpp), under the source's
// SourceLock: the text of the oldest queued request of the source (a RCVREQ reply's data; the
// caller frees it with QDV0_FreeStorage), or null when none waits; the client's RESULT for an
// action (0, or 85 when no request with that number waits for a result); and, after the RCVREQ
// reply is sent, the hand-over of the delivered request to its waiting worker.
char *QDVP_CheckOutstandingActionRequest(SourceEntry *source);
int QDVP_PostActionRequestCompletion(DPAB *anchor, SourceEntry *source, uint32_t id,
                                     const char *text);
void QDVP_CheckActionRequestCompletion(DPAB *anchor, SourceEntry *source);
// When a client session ends, every action still on its source's request queue is let go: its
// worker reports it with status 8 and the result "Client session ended before a result was
// received".
void QDVP_AbandonActionRequests(DPAB *anchor, SourceEntry *source);
// The worker's half: puts an action on the source's request queue (remote state 1), and takes
// it off again when the worker stops waiting for it (no result in time, shutdown).
void QDVP_QueueActionRequest(DPAB *anchor, SourceEntry *source, ActionEntry *entry);
void QDVP_WithdrawActionRequest(DPAB *anchor, ActionEntry *entry);
