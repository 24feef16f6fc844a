// The HTTP client layer through its calls: statuses, the response dictionary, the body, the
// phase times and the certificate, against a private nginx and servers played by the test.
#include "core/support/htq1.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/qdvptest.h"
#include "tests/support/webserver.h"

namespace {

using qdvp_test::CannedServer;
using qdvp_test::EnvGuard;
using qdvp_test::Nginx;

const char kAgent[] = "qdvp-test/1.0";
const char kBasic[] = "Basic cWR2cDpzZWNyZXQ=";  // qdvp:secret

// What one request gave: its status, the thread's dictionary for that status, the body and the
// times.
struct Result {
  uint32_t status = 0;
  int code = -1;
  std::string text;
  std::vector<std::pair<int, std::string>> headers;
  uint32_t open = 0;
  std::string body;
  long total = -1;
  HTQ1_TIMES times{};

  std::string Header(int wanted) const {
    for (const auto &[code, text] : headers) {
      if (code == wanted) return text;
    }
    return "(none)";
  }
};

using Adjust = std::function<void(HTQ1_OPTIONS *)>;

// One GET through a client of its own; examine sees the activity before it is deleted.
Result Fetch(const std::string &url, int version = HTQ1_HTTP11, const Adjust &adjust = {},
             const std::string &authorization = "",
             const std::function<void(HTQ1_ACTIVITY *)> &examine = {}) {
  Result r;
  HTQ1_CLIENT *client = nullptr;
  EXPECT_EQ(HTQ1_NewClient(&client, version, 0, 0), HTQ1_OK);
  HTQ1_OPTIONS o;
  HTQ1_ClientOptions(client, HTQ1_OPTION_SET_REQUEST, &o, nullptr);
  o.flags |= HTQ1_OPT_TIMINGS;
  snprintf(o.userAgent, sizeof(o.userAgent), "%s", kAgent);
  o.timeoutSeconds = 10;
  if (adjust) adjust(&o);
  HTQ1_ClientOptions(client, HTQ1_OPTION_SET_REQUEST, nullptr, &o);
  HTQ1_HEADER header = {HTQ1_HDR_AUTHORIZATION, static_cast<int>(authorization.size()),
                        authorization.c_str()};
  HTQ1_ACTIVITY *activity = nullptr;
  EXPECT_EQ(HTQ1_NewActivity(client, &activity, url.c_str(), static_cast<int>(url.size()), 0,
                             authorization.empty() ? 0 : 1, &header),
            HTQ1_OK);
  r.status = HTQ1_RequestActivity(activity, 0);
  HTQ1_DICTIONARY *dict = nullptr;
  EXPECT_EQ(HTQ1_QueryStatus(HTQ1_QUERY_RESPONSE, &dict, r.status), HTQ1_OK);
  r.code = dict->code;
  r.text = dict->text;
  for (int i = 0; i < dict->count; i++) {
    r.headers.emplace_back(dict->headers[i].code, dict->headers[i].text);
    EXPECT_EQ(static_cast<size_t>(dict->headers[i].length), strlen(dict->headers[i].text));
  }
  r.open = HTQ1_OpenEntity(activity, 0);
  if (r.open == HTQ1_OK) {
    long size = 0;
    if (HTQ1_Get(activity, nullptr, &size, &r.total) == HTQ1_BUFFER_TOO_SMALL) {
      r.body.resize(static_cast<size_t>(size));
      EXPECT_EQ(HTQ1_Get(activity, r.body.data(), &size, &r.total), HTQ1_OK);
    }
  }
  EXPECT_EQ(HTQ1_QueryTimes(activity, &r.times), HTQ1_OK);
  if (examine) examine(activity);
  EXPECT_EQ(HTQ1_DeleteActivity(activity), HTQ1_OK);
  EXPECT_EQ(HTQ1_DeleteClient(client, 0), HTQ1_OK);
  return r;
}

class http_Client : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(HTQ1_Initialize(), HTQ1_OK);
    std::string many;
    for (int i = 0; i < 60; i++) many += " add_header X-Many-" + std::to_string(i) + " " + "v;";
    web_ = new Nginx("    location = /headers { add_header X-Qdvp one; return 200 'x'; }\n" +
                     ("    location = /many {" + many + " return 200 'x'; }\n"));
    web_->WriteFile("big.bin", std::string(40 * 1024, 'b'));
    web_->WriteFile("small.html", std::string(64, 'm'));
    if (!web_->Start()) {
      ADD_FAILURE() << web_->Problem();
      delete web_;
      web_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete web_;
    web_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(web_, nullptr); }

  static Nginx *web_;
};
Nginx *http_Client::web_ = nullptr;

// How a case's request is made: to nginx over HTTP/1.1 (kHttp), over HTTP/1.0, with the
// credentials of /private/, over TLS without and with nginx's certificate trusted; to a URL as
// written; to a port nobody listens on.
enum How { kHttp, kHttp10, kHttpAuth, kHttps, kHttpsTrusted, kLiteral, kRefused };
struct Case {
  const char *name;
  How how;
  const char *target;  // a path, or the whole URL for kLiteral
  uint32_t status;
  int code;
  const char *text;
  int header;         // a header expected in the dictionary, 0 for none
  const char *value;  // its text; a leading '@' stands for http://127.0.0.1:PORT
};

const char kLost[] = "client connection has been lost";
const Case kCases[] = {
    {"Page", kHttp, "/index.html", HTQ1_OK, 200, "OK", HTQ1_HDR_CONTENT_TYPE, "text/html"},
    {"PageStatusLine", kHttp, "/", HTQ1_OK, 200, "OK", HTQ1_HDR_STATUS_LINE, "HTTP/1.1 200 OK"},
    {"OtherHeader", kHttp, "/headers", HTQ1_OK, 200, "OK", HTQ1_HDR_OTHER, "X-Qdvp: one"},
    {"Missing", kHttp, "/missing", HTQ1_HTTP_ERROR + 404, 404, "Not Found", HTQ1_HDR_STATUS_LINE,
     "HTTP/1.1 404 Not Found"},
    // nginx's own reason phrase
    {"Busy", kHttp, "/busy", HTQ1_HTTP_ERROR + 503, 503, "Service Temporarily Unavailable", 0, ""},
    {"Redirect", kHttp, "/chain/0", HTQ1_REDIRECT_TEMPORARY, 302, "Moved Temporarily",
     HTQ1_HDR_LOCATION, "@/index.html"},
    {"RelativeRedirect", kHttp, "/relative", HTQ1_REDIRECT_TEMPORARY, 302, "Moved Temporarily",
     HTQ1_HDR_LOCATION, "/index.html"},
    {"Dropped", kHttp, "/drop", HTQ1_CONNECTION_ABANDONED, 0, kLost, 0, ""},
    {"OldOver11", kHttp, "/old", HTQ1_CONNECTION_ABANDONED, 0, kLost, 0, ""},
    {"OldOver10", kHttp10, "/old", HTQ1_OK, 200, "OK", HTQ1_HDR_CONTENT_TYPE, "text/html"},
    {"PrivateNoAuth", kHttp, "/private/", HTQ1_AUTHENTICATION_REQUIRED, 401, "Unauthorized",
     HTQ1_HDR_AUTHENTICATE, "Basic realm=\"qdvp\""},
    {"PrivateAuth", kHttpAuth, "/private/", HTQ1_OK, 200, "OK", 0, ""},
    {"TlsUntrusted", kHttps, "/index.html", HTQ1_CERTIFICATE_REFUSED, 0,
     "server certificate is not trusted", 0, ""},
    {"TlsTrusted", kHttpsTrusted, "/index.html", HTQ1_OK, 200, "OK", HTQ1_HDR_CONTENT_TYPE,
     "text/html"},
    {"Unresolved", kLiteral, "http://no-such-host.invalid/", HTQ1_UNRESOLVED, 0,
     "URI authority is not a recognized network address", 0, ""},
    {"BadUrl", kLiteral, "http://exa mple/", HTQ1_INVALID_URL, 0, "URI is not valid", 0, ""},
    {"OtherScheme", kLiteral, "ftp://127.0.0.1/", HTQ1_INVALID_URL, 0, "URI is not valid", 0, ""},
    {"Refused", kRefused, "/", HTQ1_CONNECT_FAILED, 0, "connection to the server failed", 0, ""},
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class http_Case : public http_Client, public testing::WithParamInterface<Case> {};

TEST_P(http_Case, StatusAndDictionary) {
  const Case &c = GetParam();
  bool tls = c.how == kHttps || c.how == kHttpsTrusted;
  std::string url = tls                 ? web_->TlsUrl(c.target)
                    : c.how == kLiteral ? c.target
                    : c.how == kRefused
                        ? "http://127.0.0.1:" + std::to_string(qdvp_test::FreePort()) + c.target
                        : web_->Url(c.target);
  std::string ca = c.how == kHttpsTrusted ? web_->CaFile() : "";
  Result r = Fetch(
      url, c.how == kHttp10 ? HTQ1_HTTP10 : HTQ1_HTTP11,
      [&](HTQ1_OPTIONS *o) { snprintf(o->caFile, sizeof(o->caFile), "%s", ca.c_str()); },
      c.how == kHttpAuth ? kBasic : "");
  EXPECT_EQ(r.status, c.status) << std::hex << r.status << " " << HTQ1_StatusText(r.status, 0);
  EXPECT_EQ(r.code, c.code);
  EXPECT_EQ(r.text, c.text);
  if (c.header != 0) {
    std::string value = c.value;
    if (!value.empty() && value[0] == '@') value = web_->Url(value.substr(1));
    EXPECT_EQ(r.Header(c.header), value);
  }
  bool answered = c.code != 0;
  EXPECT_EQ(r.open == HTQ1_OK, answered);
  if (c.status == HTQ1_OK) {
    EXPECT_FALSE(r.body.empty());
  }
  if (!tls || !answered) {
    EXPECT_EQ(r.times.certificateDays, -9999);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, http_Case, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case> &info) {
                           return std::string(info.param.name);
                         });

void ExpectOrdered(const HTQ1_TIMES &t) {
  EXPECT_GE(t.nameLookup, 0);
  EXPECT_LE(t.nameLookup, t.connect);
  EXPECT_LE(t.connect, t.appConnect);
  EXPECT_LE(t.appConnect, t.preTransfer);
  EXPECT_LE(t.preTransfer, t.startTransfer);
  EXPECT_LE(t.startTransfer, t.total);
  EXPECT_GT(t.total, 0);
}

TEST_F(http_Client, PhaseTimesAndCertificateDays) {
  std::string ca = web_->CaFile();
  Result tls = Fetch(web_->TlsUrl("/index.html"), HTQ1_HTTP11, [&](HTQ1_OPTIONS *o) {
    snprintf(o->caFile, sizeof(o->caFile), "%s", ca.c_str());
  });
  ASSERT_EQ(tls.status, HTQ1_OK);
  ExpectOrdered(tls.times);
  EXPECT_GT(tls.times.appConnect, tls.times.connect);
  EXPECT_TRUE(tls.times.certificateDays == 29 || tls.times.certificateDays == 30)
      << tls.times.certificateDays;

  Result plain = Fetch(web_->Url("/index.html"));
  ASSERT_EQ(plain.status, HTQ1_OK);
  ExpectOrdered(plain.times);
  EXPECT_EQ(plain.times.appConnect, plain.times.connect);
  EXPECT_EQ(plain.times.certificateDays, -9999);

  Result untimed = Fetch(web_->Url("/index.html"), HTQ1_HTTP11,
                         [](HTQ1_OPTIONS *o) { o->flags &= ~HTQ1_OPT_TIMINGS; });
  EXPECT_EQ(untimed.times.total, -1);
  EXPECT_EQ(untimed.times.certificateDays, -9999);

  Result failed = Fetch("http://127.0.0.1:" + std::to_string(qdvp_test::FreePort()) + "/");
  EXPECT_EQ(failed.times.startTransfer, 0);
  EXPECT_EQ(failed.times.preTransfer, 0);
}

TEST_F(http_Client, TimeOutsAndResets) {
  qdvp_test::SilentListener silent;
  auto start = std::chrono::steady_clock::now();
  Result r = Fetch("http://127.0.0.1:" + std::to_string(silent.Port()) + "/", HTQ1_HTTP11,
                   [](HTQ1_OPTIONS *o) { o->timeoutSeconds = 1; });
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.status, HTQ1_TIMED_OUT);
  EXPECT_EQ(r.text, "client connection has been lost");
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 3.0);

  r = Fetch(web_->Url("/slow.bin"), HTQ1_HTTP11, [](HTQ1_OPTIONS *o) { o->timeoutSeconds = 1; });
  EXPECT_EQ(r.status, HTQ1_TIMED_OUT);

  qdvp_test::ResettingServer resetting;
  r = Fetch("http://127.0.0.1:" + std::to_string(resetting.Port()) + "/");
  EXPECT_EQ(r.status, HTQ1_CONNECTION_ABANDONED) << std::hex << r.status;
  EXPECT_NE(r.open, HTQ1_OK);
  EXPECT_EQ(resetting.Requests().size(), 1u);
}

// A body beyond the limit is counted, not kept; at most HTQ1_MAX_HEADERS headers are kept; a Get
// into a small buffer says what is needed.
TEST_F(http_Client, BodyHeadersAndBuffersHaveTheirLimits) {
  Result r =
      Fetch(web_->Url("/big.bin"), HTQ1_HTTP11, [](HTQ1_OPTIONS *o) { o->maxBodyBytes = 100; });
  ASSERT_EQ(r.status, HTQ1_OK);
  EXPECT_EQ(r.body, std::string(100, 'b'));
  EXPECT_EQ(r.total, 40 * 1024);
  r = Fetch(web_->Url("/big.bin"), HTQ1_HTTP11, [](HTQ1_OPTIONS *o) { o->maxBodyBytes = 0; });
  EXPECT_EQ(r.body.size(), 40u * 1024);  // 0: the default limit, 4 MB

  r = Fetch(web_->Url("/many"));
  ASSERT_EQ(r.status, HTQ1_OK);
  ASSERT_EQ(r.headers.size(), static_cast<size_t>(HTQ1_MAX_HEADERS));
  EXPECT_EQ(r.headers[0].first, HTQ1_HDR_STATUS_LINE);

  Fetch(web_->Url("/small.html"), HTQ1_HTTP11, {}, "", [](HTQ1_ACTIVITY *activity) {
    char buffer[80] = {};
    long size = 10, total = 0;
    EXPECT_EQ(HTQ1_Get(activity, buffer, &size, &total), HTQ1_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 64);
    EXPECT_EQ(buffer[0], '\0');
    size = sizeof(buffer);
    EXPECT_EQ(HTQ1_Get(activity, buffer, &size, &total), HTQ1_OK);
    EXPECT_EQ(size, 64);
    EXPECT_EQ(total, 64);
    EXPECT_EQ(std::string(buffer, 64), std::string(64, 'm'));
  });
}

TEST_F(http_Client, ProxyFromTheOptionsOnly) {
  CannedServer proxy("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false);
  std::string where = "127.0.0.1:" + std::to_string(proxy.Port());
  Result r = Fetch("http://example.invalid/x", HTQ1_HTTP11, [&](HTQ1_OPTIONS *o) {
    snprintf(o->proxy, sizeof(o->proxy), "%s", where.c_str());
    snprintf(o->proxyUser, sizeof(o->proxyUser), "qdvp");
    snprintf(o->proxyPassword, sizeof(o->proxyPassword), "secret");
  });
  EXPECT_EQ(r.status, HTQ1_OK) << std::hex << r.status;
  EXPECT_EQ(r.body, "ok");
  r = Fetch("http://example.invalid/y", HTQ1_HTTP11,
            [&](HTQ1_OPTIONS *o) { snprintf(o->proxy, sizeof(o->proxy), "%s", where.c_str()); });
  EXPECT_EQ(r.status, HTQ1_OK);
  std::vector<std::string> requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].rfind("GET http://example.invalid/x HTTP/1.1\r\n", 0), 0u) << requests[0];
  EXPECT_NE(requests[0].find("\r\nProxy-Authorization: " + std::string(kBasic) + "\r\n"),
            std::string::npos)
      << requests[0];
  EXPECT_EQ(requests[1].find("Proxy-Authorization"), std::string::npos) << requests[1];

  // The environment's proxy variables are never used.
  EnvGuard env({{"http_proxy", "http://" + where},
                {"HTTPS_PROXY", "http://" + where},
                {"ALL_PROXY", "http://" + where}});
  EXPECT_EQ(Fetch(web_->Url("/index.html")).status, HTQ1_OK);
  EXPECT_EQ(proxy.Requests().size(), 2u);
}

TEST_F(http_Client, DictionaryBelongsToTheCallingThread) {
  EXPECT_EQ(Fetch(web_->Url("/missing")).status, HTQ1_HTTP_ERROR + 404);
  std::thread other([] { EXPECT_EQ(Fetch(web_->Url("/index.html")).status, HTQ1_OK); });
  other.join();
  HTQ1_DICTIONARY *dict = nullptr;
  ASSERT_EQ(HTQ1_QueryStatus(HTQ1_QUERY_RESPONSE, &dict, HTQ1_HTTP_ERROR + 404), HTQ1_OK);
  EXPECT_EQ(dict->code, 404);
  ASSERT_GT(dict->count, 0);
  EXPECT_STREQ(dict->headers[0].text, "HTTP/1.1 404 Not Found");
}

TEST(http_Calls, NullSafeAndDefaults) {
  ASSERT_EQ(HTQ1_Initialize(), HTQ1_OK);
  EXPECT_EQ(HTQ1_NewClient(nullptr, HTQ1_HTTP11, 0, 0), HTQ1_NO_CLIENT);
  HTQ1_ACTIVITY *activity = nullptr;
  EXPECT_EQ(HTQ1_NewActivity(nullptr, &activity, "http://x/", 9, 0, 0, nullptr), HTQ1_NO_CLIENT);
  EXPECT_EQ(activity, nullptr);
  EXPECT_EQ(HTQ1_RequestActivity(nullptr, 0), HTQ1_NO_CLIENT);
  EXPECT_EQ(HTQ1_OpenEntity(nullptr, 0), HTQ1_NO_CLIENT);
  long size = 0;
  EXPECT_EQ(HTQ1_Get(nullptr, nullptr, &size, nullptr), HTQ1_NO_CLIENT);
  HTQ1_TIMES times;
  EXPECT_EQ(HTQ1_QueryTimes(nullptr, &times), HTQ1_NO_CLIENT);
  EXPECT_EQ(HTQ1_DeleteActivity(nullptr), HTQ1_NO_CLIENT);
  EXPECT_EQ(HTQ1_DeleteClient(nullptr, 0), HTQ1_NO_CLIENT);
  EXPECT_EQ(HTQ1_ClientOptions(nullptr, HTQ1_OPTION_SET_REQUEST, nullptr, nullptr), HTQ1_NO_CLIENT);
  EXPECT_EQ(HTQ1_QueryStatus(HTQ1_QUERY_RESPONSE, nullptr, 0), HTQ1_NO_CLIENT);

  HTQ1_CLIENT *client = nullptr;
  ASSERT_EQ(HTQ1_NewClient(&client, HTQ1_HTTP10, 0, 0), HTQ1_OK);
  HTQ1_OPTIONS o;
  ASSERT_EQ(HTQ1_ClientOptions(client, HTQ1_OPTION_SET_REQUEST, &o, nullptr), HTQ1_OK);
  EXPECT_EQ(o.flags, HTQ1_OPT_VERIFY_PEER | HTQ1_OPT_FRESH_CONNECTION);
  EXPECT_EQ(o.timeoutSeconds, 45);
  EXPECT_EQ(o.maxBodyBytes, 4L * 1024 * 1024);
  EXPECT_STREQ(o.proxy, "");
  EXPECT_STREQ(o.caFile, "");
  HTQ1_DeleteClient(client, 0);
}

}  // namespace
