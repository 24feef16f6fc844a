// The page's HTTP server on libmicrohttpd: request line and query string come decoded from the
// library; every answer comes from DchAnswer.
//
// Why libmicrohttpd: a small C library from Debian, maintained by GNU for many years and fuzzed,
// which parses requests defensively (limits on memory per connection, on connections and on
// idle time) without exceptions, and runs its own thread, so the peer's single-threaded loop
// and its store stay as they are.
#include "tools/dch/dchpage.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <string.h>

#include <vector>

namespace qdvp_dch {

namespace {

using Query = std::vector<std::pair<std::string, std::string>>;

MHD_Result CollectArgument(void *cls, MHD_ValueKind, const char *key, size_t keySize,
                           const char *value, size_t valueSize) {
  auto *query = static_cast<Query *>(cls);
  query->emplace_back(std::string(key, keySize),
                      value ? std::string(value, valueSize) : std::string());
  return MHD_YES;
}

MHD_Result Answer(void *cls, MHD_Connection *connection, const char *url, const char *method,
                  const char *, const char *, size_t *uploadSize, void **) {
  auto *page = static_cast<DchPage *>(cls);
  DchHttpAnswer answer;
  bool head = strcmp(method, "HEAD") == 0;
  if (strcmp(method, "GET") != 0 && !head) {
    answer = {405, "application/json", "{\"error\":\"only GET and HEAD are answered\"}"};
    *uploadSize = 0;
  } else {
    Query query;
    MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, CollectArgument, &query);
    answer = DchAnswer(page->Db(), page->Host(), url, query);
  }
  // The library leaves the body out of an answer to HEAD, keeping its length.
  MHD_Response *response = MHD_create_response_from_buffer(answer.body.size(), answer.body.data(),
                                                           MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, "Content-Type", answer.contentType.c_str());
  MHD_add_response_header(response, "Cache-Control", "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Content-Security-Policy",
                          "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
  if (answer.status == 405) MHD_add_response_header(response, "Allow", "GET, HEAD");
  MHD_Result rc = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
  MHD_destroy_response(response);
  return rc;
}

}  // namespace

DchPage::DchPage(std::unique_ptr<DchViewDb> db, std::string host)
    : db_(std::move(db)), host_(std::move(host)) {}

DchPage::~DchPage() { Stop(); }

bool DchPage::Start(const std::string &address, std::string *error) {
  std::string host = "127.0.0.1", port = address;
  size_t colon = address.rfind(':');
  if (colon != std::string::npos) {
    host = address.substr(0, colon);
    port = address.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
      host = host.substr(1, host.size() - 2);
    }
  }
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
    *error = "bad port in " + address + " (ADDR:PORT or PORT)";
    return false;
  }
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
    *error = "bad address " + host + " (a numeric IPv4 or IPv6 address)";
    return false;
  }
  sockaddr_storage sa{};
  memcpy(&sa, found->ai_addr, found->ai_addrlen);
  bool v6 = found->ai_family == AF_INET6;
  freeaddrinfo(found);
  unsigned flags = MHD_USE_AUTO | MHD_USE_INTERNAL_POLLING_THREAD | (v6 ? MHD_USE_IPv6 : 0);
  daemon_ = MHD_start_daemon(
      flags, static_cast<uint16_t>(std::stoi(port)), nullptr, nullptr, &Answer, this,
      MHD_OPTION_SOCK_ADDR, &sa, MHD_OPTION_CONNECTION_LIMIT, 32u, MHD_OPTION_CONNECTION_TIMEOUT,
      10u, MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(16384), MHD_OPTION_END);
  if (!daemon_) {
    *error = "cannot listen on " + address + ": " + strerror(errno);
    return false;
  }
  const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info ? info->port : std::stoi(port);
  url_ = "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port_) + "/";
  return true;
}

void DchPage::Stop() {
  if (daemon_) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

}  // namespace qdvp_dch
