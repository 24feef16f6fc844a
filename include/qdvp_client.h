/* The client library for partner programs that feed a table of the data provider through its
 * client API (libqdvpclient.so, libqdvpclient.a). Plain C, usable from C and C++.
 *
 * A session is one connection (TCP) or one socket (UDP) to the data provider's API port. Each
 * call sends one request and waits for its reply, at most the session's receive timeout
 * (10 seconds unless qdvpc_set_timeout says otherwise). A session handle is used by one thread
 * at a time; different sessions are independent. Nothing here writes to standard output or
 * ends the program.
 *
 * Every call returns a status:
 *   QDVPC_OK (0)          done: the data provider answered 0;
 *   a positive number     the data provider's return code for the request (13 sequence error,
 *                         39 SETSRC without a name, 51 application not found, 52 table not
 *                         found, 53 no source for the table, 54 going online failed, 58 going
 *                         offline failed, 85 no action waits for that result, 90 wrong version,
 *                         92 a row was not taken by the agent, 93 malformed RESULT, 94 logic
 *                         error); see docs/api.md;
 *   a negative QDVPC_E_*  the request did not get an answer (below).
 * qdvpc_last_code gives the return code of the last reply, qdvpc_last_data its data (the
 * attribute delimiter after BGNINP, a take action after RCVREQ).
 */
#ifndef QDVP_CLIENT_H
#define QDVP_CLIENT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  QDVPC_OK = 0,
  QDVPC_E_ARGUMENT = -1, /* a null or empty argument, or a text with a character not allowed */
  QDVPC_E_CONNECT = -2,  /* the host is unknown, or the connection could not be made */
  QDVPC_E_SEND = -3,     /* the request could not be sent */
  QDVPC_E_TIMEOUT = -4,  /* no reply within the receive timeout */
  QDVPC_E_CLOSED = -5,   /* the data provider closed the connection */
  QDVPC_E_REPLY = -6,    /* the reply is not "rc time" or "rc time#data" */
  QDVPC_E_TOO_LONG = -7, /* the request would be longer than 4096 bytes */
  QDVPC_E_NO_MEMORY = -8,
  QDVPC_E_SMALL = -9 /* the caller's buffer is too small for the take action */
};

/* The longest request the data provider takes, header included. */
#define QDVPC_MAX_REQUEST 4096

typedef struct qdvpc_session qdvpc_session;

/* Opens a session to host (a name or dotted address) at port, over UDP when use_udp is
 * nonzero, else TCP. *session is null unless the status is QDVPC_OK. */
int qdvpc_open(const char *host, int port, int use_udp, qdvpc_session **session);
/* Sets the receive timeout in milliseconds (at least 1). */
int qdvpc_set_timeout(qdvpc_session *session, int milliseconds);
/* Begins input on table of application appl; the source then goes online. */
int qdvpc_begin_input(qdvpc_session *session, const char *appl, const char *table);
/* Sends one or more records, separated by line feeds. */
int qdvpc_send(qdvpc_session *session, const char *records);
/* Brackets the records sent in between as one set of rows (first, middle, last). */
int qdvpc_begin_row(qdvpc_session *session);
int qdvpc_end_row(qdvpc_session *session);
/* Names the source of the session's rows (the text up to its first blank). */
int qdvpc_set_source(qdvpc_session *session, const char *name);
/* Accepts take actions for the session's source (flag nonzero), whose results the data
 * provider waits wait_seconds for (0: 60 s, negative: no result expected); flag 0 refuses. */
int qdvpc_accept_requests(qdvpc_session *session, int flag, int wait_seconds);
/* The next take action for the source into buf ("ID REQ(command)PARM(parameter)", "ID
 * FILTER(ADD)PARM(...)" or "ID FILTER(DELETE)"), NUL-terminated; buf is empty when none waits. */
int qdvpc_receive_request(qdvpc_session *session, char *buf, size_t size);
/* The result text of take action id (the number the request began with). */
int qdvpc_result(qdvpc_session *session, unsigned int id, const char *text);
/* Ends input: the source goes offline. A TCP session may begin input again. */
int qdvpc_end_input(qdvpc_session *session);
/* Closes the session and frees the handle (null allowed). A TCP close ends input as well. */
int qdvpc_close(qdvpc_session *session);

/* The return code of the last reply (or -1 before any), its data (never null), and the data
 * provider's start time from it (seconds since the epoch). */
int qdvpc_last_code(const qdvpc_session *session);
const char *qdvpc_last_data(const qdvpc_session *session);
long qdvpc_start_time(const qdvpc_session *session);
/* A text for a status. */
const char *qdvpc_strerror(int status);

#ifdef __cplusplus
}
#endif

#endif /* QDVP_CLIENT_H */
