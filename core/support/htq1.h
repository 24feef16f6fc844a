// The HTTP client library that URL monitoring is written against: clients (a protocol version
// and options), activities (one GET of one URL), the response dictionary of the last request of
// the calling thread, and the body. Our own thin layer over libcurl (htq1curl.cpp), the only
// place that includes curl.
//
// A request never follows redirects and never reuses a connection: the caller follows each
// Location itself, so that its own limit and statuses apply, and every sample's connect time is
// measured afresh. Proxy variables of the environment are never used; only the proxy in the
// client's options is.
#pragma once

#include <stdint.h>

struct HTQ1_Client;
struct HTQ1_Activity;
typedef struct HTQ1_Client HTQ1_CLIENT;
typedef struct HTQ1_Activity HTQ1_ACTIVITY;

// Status values (32 bits; 0 is success). Those the caller tests by value come first.
enum : uint32_t {
  HTQ1_OK = 0,
  HTQ1_AUTHENTICATION_REQUIRED = 0x7C4C8017,  // 401, or 407 from the proxy
  HTQ1_CONNECTION_ABANDONED = 0x7C4C8035,     // closed without an answer, reset while sending
                                              // or receiving ("client connection has been lost")
  HTQ1_REDIRECT_PERMANENT = 0x1C4C8012,       // 301, 308
  HTQ1_REDIRECT_TEMPORARY = 0x3C4C8011,       // 302, 303, 307
  HTQ1_BAD_REDIRECT = 0x7C4C8004,             // set by the caller: a Location no longer than
                                              // "http://"
  HTQ1_TOO_MANY_REDIRECTS = 0x7C4C801B,       // set by the caller
  HTQ1_NO_CLIENT = 0x7C4C8001,                // no client, or no activity
  HTQ1_INVALID_URL = 0x7C4C8002,              // "URI is not valid"
  HTQ1_UNRESOLVED = 0x7C4C8010,               // "URI authority is not a recognized network address"
  HTQ1_CONNECT_FAILED = 0x7C4C8013,           // refused or unreachable
  HTQ1_TIMED_OUT = 0x7C4C8036,   // no complete answer within the client's time-out; its text
                                 // is that of a lost connection
  HTQ1_TLS_FAILED = 0x7C4C8040,  // handshake failed
  HTQ1_CERTIFICATE_REFUSED = 0x7C4C8041,  // the server's certificate is not trusted
  HTQ1_BUFFER_TOO_SMALL = 0x7C4C8050,     // HTQ1_Get: *size now says how much is needed
  HTQ1_ABANDONED = 0x7C4C8051,            // the caller's abandon test said stop
  HTQ1_HTTP_ERROR = 0x5C4C0000,           // + the HTTP status code of an answer 400-599 (or another
                                          // code that is neither success nor redirect nor 401/407)
  HTQ1_OTHER_FAILURE = 0x7C4C8100,        // + libcurl's code for anything else
};

// Protocol versions of HTQ1_NewClient.
enum { HTQ1_HTTP10 = 1, HTQ1_HTTP11 = 2 };

// Header codes of the response dictionary and of the headers given to HTQ1_NewActivity.
enum {
  HTQ1_HDR_OTHER = 0,           // any other response header, text "Name: value"
  HTQ1_HDR_CONTENT_TYPE = 12,   // value
  HTQ1_HDR_AUTHORIZATION = 23,  // request header "Authorization: <text>"
  HTQ1_HDR_LOCATION = 38,       // value of Location
  HTQ1_HDR_SERVER = 52,         // value of Server
  HTQ1_HDR_STATUS_LINE = 60,    // the status line, "HTTP/1.1 404 Not Found"
  HTQ1_HDR_AUTHENTICATE = 66,   // value of WWW-Authenticate or Proxy-Authenticate
};

struct HTQ1_HEADER {
  int code;
  int length;
  const char *text;  // not NUL-terminated for request headers; terminated in a dictionary
};

// Option set 400 of HTQ1_ClientOptions.
enum { HTQ1_OPTION_SET_REQUEST = 400 };
enum {
  HTQ1_OPT_FRESH_CONNECTION = 1,  // a new connection for every request (always in effect)
  HTQ1_OPT_VERIFY_PEER = 4,       // verify the server's certificate and name (on by default)
  HTQ1_OPT_TIMINGS = 8,           // keep the phase times and the certificate's expiry
};
struct HTQ1_OPTIONS {
  int flags;
  char userAgent[128];
  int timeoutSeconds;  // whole request, connect included; 0: 45
  long maxBodyBytes;   // bytes of the body kept; the rest is counted and dropped; 0: 4 MB
  char proxy[256];     // "host:port", "" for none
  char proxyUser[64];  // for the proxy's own Basic authentication
  char proxyPassword[64];
  char caFile[1024];  // extra CA bundle (PEM) trusted for HTTPS, "" for none
};

// The response dictionary of the calling thread's last request, with the code and text of the
// status asked about. Valid until the thread's next request.
enum { HTQ1_QUERY_RESPONSE = 24, HTQ1_MAX_HEADERS = 48 };
struct HTQ1_DICTIONARY {
  int code;        // the HTTP code for HTQ1_HTTP_ERROR + code and for an answer, else 0
  char text[256];  // the status's text: the reason phrase, or the failure's description
  int count;
  HTQ1_HEADER headers[HTQ1_MAX_HEADERS];
};

// Phase times of an activity's request, microseconds from its start (libcurl's *_TIME_T
// values); -1 when unknown. certificateDays: whole days until the server certificate expires,
// negative when expired, -9999 for no certificate.
struct HTQ1_TIMES {
  long long nameLookup, connect, appConnect, preTransfer, startTransfer, total;
  long certificateDays;
};

#ifdef __cplusplus
extern "C" {
#endif

// Once per process, before the first client (safe to call again).
uint32_t HTQ1_Initialize(void);
uint32_t HTQ1_NewClient(HTQ1_CLIENT **client, int version, int reserved1, int reserved2);
// Reads the option set into *get (when not null), then replaces it with *set (when not null).
uint32_t HTQ1_ClientOptions(HTQ1_CLIENT *client, int set, HTQ1_OPTIONS *get,
                            const HTQ1_OPTIONS *newOptions);
uint32_t HTQ1_DeleteClient(HTQ1_CLIENT *client, int reserved);
uint32_t HTQ1_NewActivity(HTQ1_CLIENT *client, HTQ1_ACTIVITY **activity, const char *url,
                          int urlLength, int reserved, int headerCount, const HTQ1_HEADER *headers);
// Performs the GET; the result is one of the statuses above.
uint32_t HTQ1_RequestActivity(HTQ1_ACTIVITY *activity, int reserved);
// From now on the activity's requests ask abandon(context) about once a second while they
// wait, and more often while bytes come; a nonzero answer ends the request at once with
// HTQ1_ABANDONED (whose owner no longer wants it: its URL was removed, or the data provider
// ends). Null abandons nothing.
uint32_t HTQ1_AbandonWhen(HTQ1_ACTIVITY *activity, int (*abandon)(void *context), void *context);
uint32_t HTQ1_QueryStatus(int set, HTQ1_DICTIONARY **dictionary, uint32_t status);
// The body of a request that answered: 0 when there is one to read.
uint32_t HTQ1_OpenEntity(HTQ1_ACTIVITY *activity, int reserved);
// Copies the kept body into buffer, which holds *size bytes; *size becomes the body's kept
// length and *total (when not null) every byte the server sent. HTQ1_BUFFER_TOO_SMALL, nothing
// copied, when the buffer is smaller than the kept body.
uint32_t HTQ1_Get(HTQ1_ACTIVITY *activity, char *buffer, long *size, long *total);
uint32_t HTQ1_QueryTimes(HTQ1_ACTIVITY *activity, HTQ1_TIMES *times);
uint32_t HTQ1_DeleteActivity(HTQ1_ACTIVITY *activity);
// The text of a status for a row or a trace (no dictionary needed, any thread).
const char *HTQ1_StatusText(uint32_t status, int *code);

#ifdef __cplusplus
}
#endif
