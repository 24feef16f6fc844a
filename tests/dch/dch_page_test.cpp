// The page of the agent peer (--http): its JSON endpoints on both stores, what they refuse
// (hostile query strings, other methods, over-long requests), and the page itself rendered by
// headless Chromium against a peer that a file data provider feeds, with a screenshot kept in
// the build tree (test-artifacts/dch-page.png).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "include/qdvp_agentlink.h"
#include "tests/support/dchpeer.h"
#include "tests/support/dpworld.h"
#include "tests/support/pgcluster.h"

using namespace dch_test;
using qdvp_test::WaitFor;
using namespace std::chrono_literals;

namespace {

struct HttpReply {
  int status = 0;
  std::string head, body;
};

// One request on a connection of its own, read to its end.
HttpReply Http(int port, const std::string &target, const std::string &method = "GET") {
  HttpReply reply;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = qdvp_test::Loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return reply;
  }
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                        (method == "POST" ? "Content-Length: 3\r\n" : "") +
                        "Connection: close\r\n\r\n" + (method == "POST" ? "a=1" : "");
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string text;
  char buffer[8192];
  for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 5000) == 1;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  size_t end = text.find("\r\n\r\n");
  if (text.compare(0, 9, "HTTP/1.1 ") == 0) reply.status = std::stoi(text.substr(9, 3));
  reply.head = text.substr(0, end);
  if (end != std::string::npos) reply.body = text.substr(end + 4);
  return reply;
}

void Feed(int port) {
  auto c = Client::Tcp(port);
  ASSERT_TRUE(c);
  uint32_t handle = GoOnline(*c, "@$Busy,G,4, , ;Name,D,16, , ;", "s1");
  for (int n = 1; n <= 3; n++) {
    auto r = c->Call(Msg(QDVP_REQ_DP_DATA)
                         .U32(QDVP_FIELD_DCH_HANDLE, handle)
                         .U16(QDVP_FIELD_DATA_SEQUENCE, 0)
                         .Value("Busy", 'G', Be32(static_cast<uint32_t>(n * 7)))
                         .Value("Name", 'D', "<b>row" + std::to_string(n) + "</b>")
                         .Bytes());
    ASSERT_TRUE(r && r->status == 0);
  }
  auto r = c->Call(Msg(QDVP_REQ_DP_ACTION_STATUS)
                       .U32(QDVP_FIELD_ACTION_ID, 5)
                       .U32(QDVP_FIELD_STATUS, 0)
                       .Text(QDVP_FIELD_ACTION_RESULT, "done")
                       .Bytes());
  ASSERT_TRUE(r && r->status == 0);
}

TEST(dch_Page, EndpointsAnswerOnBothStoresAndRefuseHostileQueries) {
  PgCluster cluster;
  ASSERT_TRUE(cluster.Ready()) << cluster.Error();
  const std::string pg = cluster.NewDatabase("page");
  struct Store {
    const char *name;
    std::vector<std::string> options;
  };
  const Store stores[] = {{"sqlite", {}}, {"postgresql", {"--pg", pg}}};
  struct Case {
    std::string target;
    int status;
    std::string contains;
  };
  const std::string longValue(300, 'a'),
      longTarget = "/api/sources?host=" + std::string(40000, 'a');
  const Case cases[] = {
      {"/api/summary", 200, "\"host\":\"pagehost\""},
      {"/api/applications", 200, "\"tables\":[{\"name\":\"T\",\"type\":\"P\""},
      {"/api/applications?host=pagehost", 200, "\"sources_online\":1,\"sources_offline\":0"},
      {"/api/applications?host=other", 200, "{\"applications\":[]}"},
      {"/api/sources?state=online", 200, "\"source\":\"s1\""},
      {"/api/sources?state=offline", 200, "{\"sources\":[]}"},
      {"/api/rows?application=App&table=T&limit=2", 200,
       "\"attrs\":{\"Busy\":21,\"Name\":\"<b>row3</b>\"}"},
      {"/api/rows?application=App&table=T&source=nobody", 200, "{\"rows\":[]}"},
      {"/api/rate?application=App&table=T&minutes=3", 200, "\"rows\":3}]}"},
      {"/api/log?limit=5", 200, "{\"rows\":[]}"},
      {"/api/actions", 200, "\"id\":5"},
      {"/api/actions", 200, "\"result\":\"done\""},
      // Hostile or wrong: the documented errors, and nothing else happens.
      {"/api/rows?application=App", 400, "'application' and 'table' are required"},
      {"/api/rows?application=App&table=T&limit=0", 400, "'limit' must be a number from 1 to 500"},
      {"/api/rows?application=App&table=T&limit=-1", 400, "'limit' must be a number"},
      {"/api/rows?application=App&table=T&limit=99999999999999999999", 400, "'limit' must"},
      {"/api/rows?application=App&table=T&limit=1e3", 400, "'limit' must"},
      {"/api/rows?application=App'%20OR%20'1'='1&table=T", 200, "{\"rows\":[]}"},
      {"/api/rows?application=App&table=T;DROP%20TABLE%20rows", 200, "{\"rows\":[]}"},
      {"/api/rate?application=App&table=T&minutes=100000", 400, "'minutes' must be a number"},
      {"/api/sources?host=%ff%fe", 400, "'host' is not UTF-8 text"},
      {"/api/sources?host=a%00b", 400, "'host' is not UTF-8 text"},
      {"/api/sources?host=" + longValue, 400, "'host' longer than 256 bytes"},
      {"/api/sources?state=maybe", 400, "'state' must be online, offline or all"},
      {"/api/log?limit=1&limit=2", 400, "'limit' given twice"},
      {"/api/actions?%3Cscript%3E=1", 400, "unknown parameter '<script>'"},
      {"/api/summary?%zz", 400, "unknown parameter"},
      {"/api/../etc/passwd", 404, "no such page"},
      {"/etc/passwd", 404, "no such page"},
      {"/", 200, "<script src=\"/page.js\"></script>"},
      {"/page.js", 200, "REFRESH_MS"},
  };
  for (const Store &store : stores) {
    SCOPED_TRACE(store.name);
    int port = qdvp_test::FreePort();
    std::vector<std::string> options = store.options;
    options.insert(options.end(), {"--host-id", "pagehost", "--http", std::to_string(port)});
    Peer peer(options);
    ASSERT_TRUE(peer.Ready()) << peer.Stderr();
    Feed(peer.port());
    EXPECT_NE(Http(port, "/api/summary").body.find(std::string("\"store\":\"") + store.name),
              std::string::npos);
    for (const Case &c : cases) {
      SCOPED_TRACE(c.target.substr(0, 80));
      HttpReply reply = Http(port, c.target);
      EXPECT_EQ(reply.status, c.status) << reply.body;
      EXPECT_NE(reply.body.find(c.contains), std::string::npos) << reply.body;
    }
    HttpReply post = Http(port, "/api/summary", "POST");
    EXPECT_EQ(post.status, 405);
    EXPECT_NE(post.head.find("Allow: GET, HEAD"), std::string::npos);
    EXPECT_GE(Http(port, longTarget).status, 400);
    HttpReply page = Http(port, "/");
    EXPECT_NE(page.head.find("Content-Security-Policy: default-src 'self'"), std::string::npos);
    EXPECT_EQ(Http(port, "/api/summary", "HEAD").status, 200);
    // Still serving, and the rows table is untouched.
    EXPECT_EQ(Http(port, "/api/rows?application=App&table=T&limit=500").body.find("row1") !=
                  std::string::npos,
              true);
    EXPECT_EQ(peer.Stop(), 0) << peer.Stderr();
  }
}

// The page in a browser: a file data provider writes a line, and the page's table of its
// table shows it.
class dch_PageBrowser : public qdvp_test::DataProviderWorld {
 protected:
  Strings PeerArgs() const override { return {"--http", std::to_string(httpPort_)}; }
  std::map<std::string, std::string> KindEnv() const override { return {{"QDVP_DP_EVENT", "1"}}; }
  // Runs Chromium headless on the page with a fresh profile; its standard output.
  std::string Chromium(const std::vector<std::string> &what) {
    qdvp_test::TempDir profile;
    std::vector<std::string> argv = {"/usr/bin/chromium",
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--user-data-dir=" + profile.path(),
                                     "--virtual-time-budget=8000",
                                     "--window-size=1280,1400"};
    argv.insert(argv.end(), what.begin(), what.end());
    argv.push_back("http://127.0.0.1:" + std::to_string(httpPort_) + "/");
    qdvp_test::Child browser(argv, {{"HOME", profile.path()}}, profile.path());
    EXPECT_EQ(browser.Wait(90s), 0) << browser.Stderr();
    return browser.Stdout();
  }
  int httpPort_ = qdvp_test::FreePort();
};

TEST_F(dch_PageBrowser, ChromiumShowsTheRowADataProviderHasJustWritten) {
  const std::string tail = File("tail.log");
  std::ofstream(tail) << "start 0\n";
  Metafile("tail",
           "//APPL TailApp\n//NAME Lines E\n//SOURCE FILE @DIR@/tail.log\n//ATTRIBUTES ' '\n"
           "Word D 32\nNumber C 1000000\n");
  Launch("file");
  ASSERT_TRUE(
      WaitFor([&] { return Trace().find("Initial file record count") != std::string::npos; }, 20s))
      << qdvp_->Stderr();
  std::ofstream(tail, std::ios::app) << "justwritten 4242\n";
  ASSERT_TRUE(WaitRows("Lines", 1));
  std::string dom = Chromium({"--dump-dom"});
  EXPECT_NE(dom.find("data-loaded=\"yes\""), std::string::npos) << dom.substr(0, 2000);
  EXPECT_NE(dom.find("<td>justwritten</td><td>4242</td>"), std::string::npos)
      << dom.substr(0, 4000);
  EXPECT_NE(dom.find("TailApp / Lines"), std::string::npos);
  const std::string artifacts = qdvp_test::BinDir() + "/../test-artifacts";
  std::filesystem::create_directories(artifacts);
  const std::string png = artifacts + "/dch-page.png";
  std::filesystem::remove(png);
  Chromium({"--screenshot=" + png, "--hide-scrollbars"});
  ASSERT_TRUE(std::filesystem::exists(png));
  EXPECT_GT(std::filesystem::file_size(png), 10000u);
}

}  // namespace
