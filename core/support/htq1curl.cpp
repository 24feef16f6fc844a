// The HTTP client layer over libcurl's easy interface: one easy handle per activity, one GET
// per request, never a redirect followed nor a connection reused, and the proxy only from the
// client's options. The response headers of a request land in the calling thread's dictionary;
// the certificate's days to expiry come from the certificate curl keeps for the transfer.
#include <curl/curl.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "htq1.h"

namespace {

constexpr int kDefaultTimeoutSeconds = 45;
constexpr long kDefaultMaxBodyBytes = 4L * 1024 * 1024;
constexpr long kNoCertificate = -9999;

struct Header {
  int code;
  std::string text;
};

}  // namespace

struct HTQ1_Client {
  int version;
  HTQ1_OPTIONS options;
};

struct HTQ1_Activity {
  int version;
  HTQ1_OPTIONS options;  // the client's when the activity was made, zeros replaced by defaults
  std::string url;
  std::vector<std::string> requestHeaders;
  CURL *easy = nullptr;
  int (*abandon)(void *) = nullptr;  // HTQ1_AbandonWhen
  void *abandonContext = nullptr;

  // The last request's outcome.
  bool performed = false;
  uint32_t status = 0;
  bool answered = false;  // a complete answer came back
  long httpCode = 0;
  std::string body;
  long long bodyTotal = 0;
  std::vector<Header> headers;
  bool headersFull = false;
  HTQ1_TIMES times{};
};

namespace {

std::once_flag globalOnce;
CURLcode globalResult = CURLE_OK;

// The calling thread's last response: the headers' texts and the dictionary pointing at them.
struct Response {
  std::vector<Header> headers;
  long httpCode = 0;
  HTQ1_DICTIONARY dictionary{};
};
thread_local Response lastResponse;

uint32_t Other(CURLcode rc) { return HTQ1_OTHER_FAILURE + (static_cast<uint32_t>(rc) & 0xFF); }
uint32_t OutOfMemory() { return Other(CURLE_OUT_OF_MEMORY); }

void Terminate(char *text, size_t size) { text[size - 1] = '\0'; }

void DefaultOptions(HTQ1_OPTIONS *o) {
  memset(o, 0, sizeof(*o));
  o->flags = HTQ1_OPT_VERIFY_PEER | HTQ1_OPT_FRESH_CONNECTION;
  o->timeoutSeconds = kDefaultTimeoutSeconds;
  o->maxBodyBytes = kDefaultMaxBodyBytes;
}

// The standard reason phrases of HTTP status codes.
constexpr struct {
  int code;
  const char *phrase;
} kReasonPhrases[] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {307, "Temporary Redirect"},
    {308, "Permanent Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Payload Too Large"},
    {414, "URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {421, "Misdirected Request"},
    {422, "Unprocessable Entity"},
    {423, "Locked"},
    {424, "Failed Dependency"},
    {425, "Too Early"},
    {426, "Upgrade Required"},
    {428, "Precondition Required"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {451, "Unavailable For Legal Reasons"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
    {506, "Variant Also Negotiates"},
    {507, "Insufficient Storage"},
    {508, "Loop Detected"},
    {510, "Not Extended"},
    {511, "Network Authentication Required"},
};

// The standard reason phrase of an HTTP status code, or null for a code without one.
const char *ReasonPhrase(int code) {
  for (const auto &r : kReasonPhrases) {
    if (r.code == code) return r.phrase;
  }
  return nullptr;
}

bool IsHttpError(uint32_t status) { return (status & 0xFFFF0000u) == HTQ1_HTTP_ERROR; }
bool IsOtherFailure(uint32_t status) { return (status & 0xFFFFFF00u) == HTQ1_OTHER_FAILURE; }

uint32_t StatusOfAnswer(long code) {
  if (code >= 200 && code <= 299) return HTQ1_OK;
  if (code == 301 || code == 308) return HTQ1_REDIRECT_PERMANENT;
  if (code == 302 || code == 303 || code == 307) return HTQ1_REDIRECT_TEMPORARY;
  if (code == 401 || code == 407) return HTQ1_AUTHENTICATION_REQUIRED;
  return HTQ1_HTTP_ERROR + static_cast<uint32_t>(code & 0xFFFF);
}

uint32_t StatusOfFailure(CURLcode rc) {
  if (rc == CURLE_PEER_FAILED_VERIFICATION) return HTQ1_CERTIFICATE_REFUSED;
#ifdef CURLE_SSL_CACERT
  if (rc == CURLE_SSL_CACERT) return HTQ1_CERTIFICATE_REFUSED;  // older curls' own code
#endif
  switch (rc) {
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
      return HTQ1_CONNECTION_ABANDONED;
    case CURLE_OPERATION_TIMEDOUT:
      return HTQ1_TIMED_OUT;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return HTQ1_INVALID_URL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return HTQ1_UNRESOLVED;
    case CURLE_COULDNT_CONNECT:
      return HTQ1_CONNECT_FAILED;
    case CURLE_SSL_CONNECT_ERROR:
      return HTQ1_TLS_FAILED;
    case CURLE_ABORTED_BY_CALLBACK:
      return HTQ1_ABANDONED;
    default:
      return Other(rc);
  }
}

// The reason phrase of a status line "HTTP/1.1 404 Not Found", or "" when it has none.
std::string ReasonOfStatusLine(const std::string &line) {
  size_t first = line.find(' ');
  if (first == std::string::npos) return "";
  size_t second = line.find(' ', first + 1);
  if (second == std::string::npos) return "";
  return line.substr(second + 1);
}

size_t KeepBody(char *data, size_t size, size_t count, void *user) {
  auto *a = static_cast<HTQ1_Activity *>(user);
  size_t n = size * count;
  try {
    a->bodyTotal += static_cast<long long>(n);
    size_t room = static_cast<size_t>(a->options.maxBodyBytes) > a->body.size()
                      ? static_cast<size_t>(a->options.maxBodyBytes) - a->body.size()
                      : 0;
    a->body.append(data, n < room ? n : room);
  } catch (...) {
    return 0;  // aborts the transfer: a write error
  }
  return n;
}

// One header line of the answer; a status line starts the set over, so that only the final
// answer's headers remain (not those of a 100 Continue nor of the proxy's CONNECT answer).
size_t KeepHeader(char *data, size_t size, size_t count, void *user) {
  auto *a = static_cast<HTQ1_Activity *>(user);
  size_t n = size * count;
  try {
    std::string line(data, n);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.empty()) return n;
    if (line.compare(0, 5, "HTTP/") == 0) {
      a->headers.clear();
      a->headersFull = false;
      a->headers.push_back({HTQ1_HDR_STATUS_LINE, line});
      return n;
    }
    if (line[0] == ' ' || line[0] == '\t') {  // a folded continuation of the previous header
      if (!a->headers.empty() && !a->headersFull) {
        size_t start = line.find_first_not_of(" \t");
        if (start != std::string::npos) a->headers.back().text += " " + line.substr(start);
      }
      return n;
    }
    if (a->headers.size() >= HTQ1_MAX_HEADERS) {
      a->headersFull = true;
      return n;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos) return n;
    std::string name = line.substr(0, colon);
    size_t start = line.find_first_not_of(" \t", colon + 1);
    std::string value = start == std::string::npos ? "" : line.substr(start);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    auto is = [&name](const char *wanted) { return strcasecmp(name.c_str(), wanted) == 0; };
    if (is("Content-Type")) {
      a->headers.push_back({HTQ1_HDR_CONTENT_TYPE, value});
    } else if (is("Location")) {
      a->headers.push_back({HTQ1_HDR_LOCATION, value});
    } else if (is("Server")) {
      a->headers.push_back({HTQ1_HDR_SERVER, value});
    } else if (is("WWW-Authenticate") || is("Proxy-Authenticate")) {
      a->headers.push_back({HTQ1_HDR_AUTHENTICATE, value});
    } else {
      a->headers.push_back({HTQ1_HDR_OTHER, name + ": " + value});
    }
  } catch (...) {
    return 0;
  }
  return n;
}

// Adds the PEM certificates of the activity's CA file to the trust curl has already set up, so
// that a private CA is trusted besides the system's.
CURLcode AddCaFile(CURL *, void *sslCtx, void *user) {
  auto *a = static_cast<HTQ1_Activity *>(user);
  X509_STORE *store = SSL_CTX_get_cert_store(static_cast<SSL_CTX *>(sslCtx));
  if (store == nullptr) return CURLE_SSL_CACERT_BADFILE;
  BIO *bio = BIO_new_file(a->options.caFile, "r");
  if (bio == nullptr) return CURLE_SSL_CACERT_BADFILE;
  int added = 0;
  while (X509 *cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    if (X509_STORE_add_cert(store, cert) == 1) added++;
    X509_free(cert);
  }
  ERR_clear_error();  // the end of the file is reported as an error
  BIO_free(bio);
  return added > 0 ? CURLE_OK : CURLE_SSL_CACERT_BADFILE;
}

long DaysUntil(const ASN1_TIME *notAfter) {
  int days = 0, seconds = 0;
  if (notAfter == nullptr || ASN1_TIME_diff(&days, &seconds, nullptr, notAfter) != 1) {
    return kNoCertificate;
  }
  if (days <= 0 && seconds < 0) days--;  // expired: a part of a day counts as a whole one
  return days;
}

// The days to expiry of the first certificate of the transfer's chain.
long CertificateDays(CURL *easy) {
  struct curl_certinfo *info = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_CERTINFO, &info) != CURLE_OK || info == nullptr ||
      info->num_of_certs < 1 || info->certinfo == nullptr) {
    return kNoCertificate;
  }
  const char *pem = nullptr;
  const char *expire = nullptr;
  for (curl_slist *item = info->certinfo[0]; item != nullptr; item = item->next) {
    if (strncmp(item->data, "Cert:", 5) == 0) pem = item->data + 5;
    if (strncmp(item->data, "Expire date:", 12) == 0) expire = item->data + 12;
  }
  if (pem != nullptr) {
    BIO *bio = BIO_new_mem_buf(pem, -1);
    X509 *cert = bio != nullptr ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    long days = cert != nullptr ? DaysUntil(X509_get0_notAfter(cert)) : kNoCertificate;
    X509_free(cert);
    BIO_free(bio);
    if (days != kNoCertificate) return days;
  }
  if (expire != nullptr) {  // "Jan  7 03:40:00 2027 GMT"
    struct tm when {};
    if (strptime(expire, "%b %d %H:%M:%S %Y", &when) != nullptr) {
      time_t end = timegm(&when);
      double seconds = difftime(end, time(nullptr));
      long days = static_cast<long>(seconds / 86400);
      if (seconds < 0 && days == 0) days = -1;
      return days;
    }
  }
  return kNoCertificate;
}

long long TimeOf(CURL *easy, CURLINFO what) {
  curl_off_t value = 0;
  if (curl_easy_getinfo(easy, what, &value) != CURLE_OK) return -1;
  return static_cast<long long>(value);
}

void NoteTimes(HTQ1_Activity *a, bool https) {
  HTQ1_TIMES &t = a->times;
  t.certificateDays = kNoCertificate;
  if ((a->options.flags & HTQ1_OPT_TIMINGS) == 0) {
    t.nameLookup = t.connect = t.appConnect = t.preTransfer = t.startTransfer = t.total = -1;
    return;
  }
  t.nameLookup = TimeOf(a->easy, CURLINFO_NAMELOOKUP_TIME_T);
  t.connect = TimeOf(a->easy, CURLINFO_CONNECT_TIME_T);
  t.appConnect = TimeOf(a->easy, CURLINFO_APPCONNECT_TIME_T);
  t.preTransfer = TimeOf(a->easy, CURLINFO_PRETRANSFER_TIME_T);
  t.startTransfer = TimeOf(a->easy, CURLINFO_STARTTRANSFER_TIME_T);
  t.total = TimeOf(a->easy, CURLINFO_TOTAL_TIME_T);
  // Without TLS there is no handshake: it ends where the connection does.
  if (t.appConnect == 0 && t.preTransfer > 0) t.appConnect = t.connect;
  if (https) t.certificateDays = CertificateDays(a->easy);
}

bool IsHttps(const std::string &url) { return strncasecmp(url.c_str(), "https:", 6) == 0; }

// libcurl's progress callback: a nonzero return ends the transfer (CURLE_ABORTED_BY_CALLBACK).
int AskAbandon(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto *a = static_cast<HTQ1_Activity *>(user);
  return a->abandon != nullptr && a->abandon(a->abandonContext) != 0 ? 1 : 0;
}

// Sets the easy handle up for the activity's GET.
CURLcode Prepare(HTQ1_Activity *a, curl_slist **requestHeaders) {
  CURL *e = a->easy;
  const HTQ1_OPTIONS &o = a->options;
  curl_easy_reset(e);
  CURLcode rc = CURLE_OK;
  auto set = [&rc](CURLcode result) {
    if (rc == CURLE_OK && result != CURLE_OK) rc = result;
  };
  set(curl_easy_setopt(e, CURLOPT_URL, a->url.c_str()));
  set(curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https"));
  set(curl_easy_setopt(e, CURLOPT_HTTPGET, 1L));
  set(curl_easy_setopt(e, CURLOPT_HTTP_VERSION,
                       a->version == HTQ1_HTTP10 ? static_cast<long>(CURL_HTTP_VERSION_1_0)
                                                 : static_cast<long>(CURL_HTTP_VERSION_1_1)));
  set(curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L));
  set(curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L));
  set(curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L));
  set(curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L));
  // Always set, so that "" keeps the environment's proxy variables out.
  set(curl_easy_setopt(e, CURLOPT_PROXY, o.proxy));
  if (o.proxy[0] != '\0' && o.proxyUser[0] != '\0') {
    set(curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, o.proxyUser));
    set(curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, o.proxyPassword));
  }
  set(curl_easy_setopt(e, CURLOPT_TIMEOUT, static_cast<long>(o.timeoutSeconds)));
  if (o.userAgent[0] != '\0') set(curl_easy_setopt(e, CURLOPT_USERAGENT, o.userAgent));
  long verify = (o.flags & HTQ1_OPT_VERIFY_PEER) != 0 ? 1L : 0L;
  set(curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, verify));
  set(curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, verify * 2));
  if (o.caFile[0] != '\0' && IsHttps(a->url)) {
    set(curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, AddCaFile));
    set(curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, a));
  }
  if ((o.flags & HTQ1_OPT_TIMINGS) != 0 && IsHttps(a->url)) {
    set(curl_easy_setopt(e, CURLOPT_CERTINFO, 1L));
  }
  set(curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, KeepBody));
  set(curl_easy_setopt(e, CURLOPT_WRITEDATA, a));
  set(curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, KeepHeader));
  set(curl_easy_setopt(e, CURLOPT_HEADERDATA, a));
  if (a->abandon != nullptr) {
    set(curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, AskAbandon));
    set(curl_easy_setopt(e, CURLOPT_XFERINFODATA, a));
    set(curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L));
  }
  for (const std::string &h : a->requestHeaders) {
    curl_slist *more = curl_slist_append(*requestHeaders, h.c_str());
    if (more == nullptr) return CURLE_OUT_OF_MEMORY;
    *requestHeaders = more;
  }
  if (*requestHeaders != nullptr) set(curl_easy_setopt(e, CURLOPT_HTTPHEADER, *requestHeaders));
  return rc;
}

// Makes the activity's headers the calling thread's last response.
void Publish(HTQ1_Activity *a) {
  Response &r = lastResponse;
  r.headers = a->headers;
  r.httpCode = a->httpCode;
  HTQ1_DICTIONARY &d = r.dictionary;
  d.count = 0;
  for (const Header &h : r.headers) {
    if (d.count >= HTQ1_MAX_HEADERS) break;
    d.headers[d.count++] = {h.code, static_cast<int>(h.text.size()), h.text.c_str()};
  }
}

void CopyText(char *to, size_t size, const char *from) {
  size_t n = strlen(from);
  if (n >= size) n = size - 1;
  memcpy(to, from, n);
  to[n] = '\0';
}

}  // namespace

extern "C" {

uint32_t HTQ1_Initialize(void) {
  try {
    std::call_once(globalOnce, [] { globalResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
  } catch (...) {
    return Other(CURLE_FAILED_INIT);
  }
  return globalResult == CURLE_OK ? HTQ1_OK : StatusOfFailure(globalResult);
}

uint32_t HTQ1_NewClient(HTQ1_CLIENT **client, int version, int, int) {
  if (client == nullptr) return HTQ1_NO_CLIENT;
  *client = nullptr;
  uint32_t init = HTQ1_Initialize();
  if (init != HTQ1_OK) return init;
  auto *c = new (std::nothrow) HTQ1_Client;
  if (c == nullptr) return OutOfMemory();
  c->version = version == HTQ1_HTTP10 ? HTQ1_HTTP10 : HTQ1_HTTP11;
  DefaultOptions(&c->options);
  *client = c;
  return HTQ1_OK;
}

uint32_t HTQ1_ClientOptions(HTQ1_CLIENT *client, int set, HTQ1_OPTIONS *get,
                            const HTQ1_OPTIONS *newOptions) {
  if (client == nullptr) return HTQ1_NO_CLIENT;
  if (set != HTQ1_OPTION_SET_REQUEST) return Other(CURLE_UNKNOWN_OPTION);
  if (get != nullptr) *get = client->options;
  if (newOptions != nullptr) {
    client->options = *newOptions;
    HTQ1_OPTIONS &o = client->options;
    o.flags |= HTQ1_OPT_FRESH_CONNECTION;
    Terminate(o.userAgent, sizeof(o.userAgent));
    Terminate(o.proxy, sizeof(o.proxy));
    Terminate(o.proxyUser, sizeof(o.proxyUser));
    Terminate(o.proxyPassword, sizeof(o.proxyPassword));
    Terminate(o.caFile, sizeof(o.caFile));
  }
  return HTQ1_OK;
}

uint32_t HTQ1_DeleteClient(HTQ1_CLIENT *client, int) {
  if (client == nullptr) return HTQ1_NO_CLIENT;
  delete client;
  return HTQ1_OK;
}

uint32_t HTQ1_NewActivity(HTQ1_CLIENT *client, HTQ1_ACTIVITY **activity, const char *url,
                          int urlLength, int, int headerCount, const HTQ1_HEADER *headers) {
  if (activity == nullptr) return HTQ1_NO_CLIENT;
  *activity = nullptr;
  if (client == nullptr) return HTQ1_NO_CLIENT;
  if (url == nullptr) return HTQ1_INVALID_URL;
  try {
    auto *a = new HTQ1_Activity;
    a->version = client->version;
    a->options = client->options;
    if (a->options.timeoutSeconds <= 0) a->options.timeoutSeconds = kDefaultTimeoutSeconds;
    if (a->options.maxBodyBytes <= 0) a->options.maxBodyBytes = kDefaultMaxBodyBytes;
    a->url.assign(url, urlLength > 0 ? static_cast<size_t>(urlLength) : strlen(url));
    for (int i = 0; headers != nullptr && i < headerCount; i++) {
      const HTQ1_HEADER &h = headers[i];
      if (h.text == nullptr || h.length < 0) continue;
      std::string text(h.text, static_cast<size_t>(h.length));
      if (h.code == HTQ1_HDR_AUTHORIZATION) {
        a->requestHeaders.push_back("Authorization: " + text);
      } else if (h.code == HTQ1_HDR_OTHER) {
        a->requestHeaders.push_back(text);
      }
    }
    a->easy = curl_easy_init();
    if (a->easy == nullptr) {
      delete a;
      return Other(CURLE_FAILED_INIT);
    }
    *activity = a;
  } catch (const std::bad_alloc &) {
    return OutOfMemory();
  } catch (...) {
    return Other(CURLE_FAILED_INIT);
  }
  return HTQ1_OK;
}

uint32_t HTQ1_RequestActivity(HTQ1_ACTIVITY *activity, int) {
  if (activity == nullptr) return HTQ1_NO_CLIENT;
  HTQ1_Activity *a = activity;
  curl_slist *requestHeaders = nullptr;
  try {
    a->performed = true;
    a->answered = false;
    a->httpCode = 0;
    a->body.clear();
    a->bodyTotal = 0;
    a->headers.clear();
    a->headersFull = false;
    a->times = HTQ1_TIMES{-1, -1, -1, -1, -1, -1, kNoCertificate};
    CURLcode rc = Prepare(a, &requestHeaders);
    if (rc == CURLE_OK) rc = curl_easy_perform(a->easy);
    curl_easy_getinfo(a->easy, CURLINFO_RESPONSE_CODE, &a->httpCode);
    if (rc == CURLE_OK && a->httpCode > 0) {
      a->answered = true;
      a->status = StatusOfAnswer(a->httpCode);
    } else {
      a->status = StatusOfFailure(rc == CURLE_OK ? CURLE_WEIRD_SERVER_REPLY : rc);
    }
    NoteTimes(a, IsHttps(a->url));
    Publish(a);
  } catch (const std::bad_alloc &) {
    a->status = OutOfMemory();
  } catch (...) {
    a->status = Other(CURLE_FAILED_INIT);
  }
  curl_slist_free_all(requestHeaders);
  // The handle keeps pointers to the list just freed; nothing uses them until the next Prepare
  // resets it.
  curl_easy_setopt(a->easy, CURLOPT_HTTPHEADER, static_cast<curl_slist *>(nullptr));
  return a->status;
}

uint32_t HTQ1_AbandonWhen(HTQ1_ACTIVITY *activity, int (*abandon)(void *), void *context) {
  if (activity == nullptr) return HTQ1_NO_CLIENT;
  activity->abandon = abandon;
  activity->abandonContext = context;
  return HTQ1_OK;
}

uint32_t HTQ1_QueryStatus(int set, HTQ1_DICTIONARY **dictionary, uint32_t status) {
  if (dictionary == nullptr) return HTQ1_NO_CLIENT;
  *dictionary = nullptr;
  if (set != HTQ1_QUERY_RESPONSE) return Other(CURLE_UNKNOWN_OPTION);
  try {
    Response &r = lastResponse;
    HTQ1_DICTIONARY &d = r.dictionary;
    std::string statusLine;
    for (const Header &h : r.headers) {
      if (h.code == HTQ1_HDR_STATUS_LINE) statusLine = h.text;
    }
    bool ofAnswer = status == HTQ1_OK || status == HTQ1_REDIRECT_PERMANENT ||
                    status == HTQ1_REDIRECT_TEMPORARY || status == HTQ1_AUTHENTICATION_REQUIRED;
    int code = 0;
    std::string text;
    if (IsHttpError(status) || (ofAnswer && r.httpCode > 0)) {
      code = IsHttpError(status) ? static_cast<int>(status & 0xFFFF) : static_cast<int>(r.httpCode);
      if (code == r.httpCode) text = ReasonOfStatusLine(statusLine);
      if (text.empty()) {
        const char *standard = ReasonPhrase(code);
        text = standard != nullptr ? standard : HTQ1_StatusText(status, nullptr);
      }
    } else {
      text = HTQ1_StatusText(status, nullptr);
    }
    d.code = code;
    CopyText(d.text, sizeof(d.text), text.c_str());
    *dictionary = &d;
  } catch (...) {
    return OutOfMemory();
  }
  return HTQ1_OK;
}

uint32_t HTQ1_OpenEntity(HTQ1_ACTIVITY *activity, int) {
  if (activity == nullptr) return HTQ1_NO_CLIENT;
  if (!activity->performed) return HTQ1_NO_CLIENT;
  if (!activity->answered) return activity->status != 0 ? activity->status : HTQ1_NO_CLIENT;
  return HTQ1_OK;
}

uint32_t HTQ1_Get(HTQ1_ACTIVITY *activity, char *buffer, long *size, long *total) {
  if (activity == nullptr || size == nullptr) return HTQ1_NO_CLIENT;
  uint32_t open = HTQ1_OpenEntity(activity, 0);
  if (open != HTQ1_OK) return open;
  long kept = static_cast<long>(activity->body.size());
  if (total != nullptr) *total = static_cast<long>(activity->bodyTotal);
  if (*size < kept || (buffer == nullptr && kept > 0)) {
    *size = kept;
    return HTQ1_BUFFER_TOO_SMALL;
  }
  if (kept > 0) memcpy(buffer, activity->body.data(), static_cast<size_t>(kept));
  *size = kept;
  return HTQ1_OK;
}

uint32_t HTQ1_QueryTimes(HTQ1_ACTIVITY *activity, HTQ1_TIMES *times) {
  if (activity == nullptr || times == nullptr) return HTQ1_NO_CLIENT;
  if (!activity->performed) {
    *times = HTQ1_TIMES{-1, -1, -1, -1, -1, -1, kNoCertificate};
  } else {
    *times = activity->times;
  }
  return HTQ1_OK;
}

uint32_t HTQ1_DeleteActivity(HTQ1_ACTIVITY *activity) {
  if (activity == nullptr) return HTQ1_NO_CLIENT;
  if (activity->easy != nullptr) curl_easy_cleanup(activity->easy);
  delete activity;
  return HTQ1_OK;
}

const char *HTQ1_StatusText(uint32_t status, int *code) {
  if (code != nullptr) *code = 0;
  if (IsHttpError(status)) {
    int n = static_cast<int>(status & 0xFFFF);
    if (code != nullptr) *code = n;
    const char *phrase = ReasonPhrase(n);
    return phrase != nullptr ? phrase : "HTTP error";
  }
  if (IsOtherFailure(status)) {
    return curl_easy_strerror(static_cast<CURLcode>(status - HTQ1_OTHER_FAILURE));
  }
  switch (status) {
    case HTQ1_OK:
      return "OK";
    case HTQ1_AUTHENTICATION_REQUIRED:
      return "authentication is required";
    case HTQ1_CONNECTION_ABANDONED:
    case HTQ1_TIMED_OUT:
      return "client connection has been lost";
    case HTQ1_REDIRECT_PERMANENT:
      return "the resource has moved permanently";
    case HTQ1_REDIRECT_TEMPORARY:
      return "the resource has moved temporarily";
    case HTQ1_BAD_REDIRECT:
      return "redirect location is not valid";
    case HTQ1_TOO_MANY_REDIRECTS:
      return "too many redirects";
    case HTQ1_NO_CLIENT:
      return "no client or activity";
    case HTQ1_INVALID_URL:
      return "URI is not valid";
    case HTQ1_UNRESOLVED:
      return "URI authority is not a recognized network address";
    case HTQ1_CONNECT_FAILED:
      return "connection to the server failed";
    case HTQ1_TLS_FAILED:
      return "secure connection handshake failed";
    case HTQ1_CERTIFICATE_REFUSED:
      return "server certificate is not trusted";
    case HTQ1_BUFFER_TOO_SMALL:
      return "buffer is too small";
    case HTQ1_ABANDONED:
      return "request abandoned";
    default:
      return "unknown status";
  }
}

}  // extern "C"
