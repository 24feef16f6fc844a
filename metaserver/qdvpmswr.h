// The metafile server's wire, shared by its two ends: the GETMETA request the server reads,
// the names it agrees to serve, the reply it builds, and the reader that puts a reply
// together on the client from however many receives it arrives in.
//
// Request: "GETMETA " and the name, one send, no line end. The server reads at most
// QDVP_MSRV_REQUEST_MAX bytes at a time and splits them at blanks.
// Reply: "0 \n" "<count> \n" and then count records, each ending in a line feed; or "<status> \n"
// alone for a refusal (status 1: no such metafile, or one the server will not serve).
//
// Everything here is pure: no sockets, no anchor, no trace; any thread may call it. Input is
// hostile: every function bounds what it reads and never writes beyond what it was given.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

enum {
  QDVP_MSRV_REQUEST_MAX = 256,       // bytes of one request the server reads
  QDVP_MSRV_NAME_MAX = 200,          // longest name served
  QDVP_MSRV_FILE_MAX = 1024 * 1024,  // largest metafile served, in bytes
  // Largest reply a client accepts: the file cap, a line end added to each piece of a long
  // line (a piece is at least 16 bytes) and the header.
  QDVP_MSRV_REPLY_MAX = QDVP_MSRV_FILE_MAX + QDVP_MSRV_FILE_MAX / 16 + 64,
  QDVP_MSRV_RECORDS_MAX = 131072,  // most records in one reply
  QDVP_MSRV_STATUS_NOT_FOUND = 1,
  QDVP_MSRV_STATUS_TIMEOUT = 20,
  QDVP_MSRV_STATUS_LOST = -2,
  QDVP_MSRV_STATUS_BAD_REPLY = -3,
};

// What one received request is.
enum MetaRequestKind {
  QDVP_MSRV_REQ_GETMETA = 0,  // a name to look up (*name)
  QDVP_MSRV_REQ_NO_NAME = 1,  // GETMETA alone: discarded
  QDVP_MSRV_REQ_INVALID = 2,  // not a GETMETA request: discarded
  QDVP_MSRV_REQ_REFUSED = 3,  // GETMETA with a name never served (*why says why): status 1
};

// Splits length bytes of a request. A request with a NUL byte, one that fills the whole
// request buffer (QDVP_MSRV_REQUEST_MAX bytes: its name may be cut) and one whose name fails
// QDVP_MetaNameRefusal are refused; *name receives the name (up to QDVP_MSRV_NAME_MAX bytes
// of it for a refused one).
MetaRequestKind QDVP_ParseMetaRequest(const char *data, size_t length, std::string *name,
                                      const char **why);

// Null when name may be served: 1 to QDVP_MSRV_NAME_MAX bytes, no '/', no '\', no "..", not
// beginning with '.' or '&', no control character. Otherwise the reason, as text.
const char *QDVP_MetaNameRefusal(const std::string &name);

// The reply header of a success with count records, or the whole reply of a failure.
std::string QDVP_MetaReplyHeader(int count);
std::string QDVP_MetaReplyFailure(int status);

// Puts a reply together from the pieces the client receives. Feed each piece as it comes;
// the reader scans each byte once, so a reply of many small pieces costs no more than one of
// a single piece. Holds at most QDVP_MSRV_REPLY_MAX bytes.
class MetaReplyReader {
 public:
  enum State { kIncomplete, kComplete, kMalformed };
  MetaReplyReader() = default;
  MetaReplyReader(const MetaReplyReader &) = delete;
  MetaReplyReader &operator=(const MetaReplyReader &) = delete;

  // Adds length bytes; returns the state reached. Bytes after a complete reply are ignored
  // (extra() counts them); a malformed reply stays malformed.
  State Feed(const char *data, size_t length);
  State state() const { return state_; }
  // The server's status once complete: 0, or its nonzero status.
  int status() const { return status_; }
  // The records of a complete success, in order, without their line feeds.
  const std::vector<std::string> &records() const { return records_; }
  size_t extra() const { return extra_; }
  // Why a reply is malformed, as text.
  const char *why() const { return why_; }

 private:
  State Fail(const char *why);
  // A status or count line: blanks, an optional '-', 1 to 9 digits, blanks.
  static bool ParseNumberLine(const std::string &line, int *value);

  State state_ = kIncomplete;
  int lineNumber_ = 0;  // complete lines seen
  int status_ = 0;
  int count_ = 0;
  size_t total_ = 0;
  size_t extra_ = 0;
  std::string line_;  // the line being received
  std::vector<std::string> records_;
  const char *why_ = "";
};
