// What the files of the socket data server share: binding senders to partners, building the
// application named by an association record, and the dynamic partners made for it. Private to
// the sockets folder; every call here runs in the server task with the select lock held.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

#include "../include/qdvp_sockets.h"

enum {
  // Most sources a table gets from partners that named it in an association record: a sender
  // that keeps changing its port cannot make the data provider grow without bound.
  QDVP_SOCK_MAX_DYNAMIC_SOURCES = 256,
};

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

// Binds partner to a session from peer on socket (tcp: the accepted connection, else -1).
void QDVP_BindPartner(IOEntry *partner, ProcessEntry *pe, int socket, int tcp,
                      const struct sockaddr_in *peer, int translate);

// A TCP partner's received bytes: lines that end go to the record path, an end marker line
// takes the source offline (the next line starts a new session), and a line that has not
// ended is held back until it does (a line longer than the receive buffer goes on as it is).
// end set: the connection closed, so what is held back is the last line.
void QDVP_HandleTCPdata(DPAB *anchor, ProcessEntry *pe, IOEntry *partner, const char *data,
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
