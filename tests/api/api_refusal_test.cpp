// Rows the agent does not take, over the client API: qdvp-dch refuses the first row it gets
// (`--fail data:9:1:0`), on a link with the window and without it (`--no-window`), over TCP and
// over UDP. The client is told with 92, once, and the session and the server go on: the next
// rows are stored, ENDINP ends the session, and a silent UDP session expires. The DP log of
// these worlds is off, so that the agent's first data request is the client's first row; the
// operator's lines (DP log 90 among them) are read from standard error.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/apisession.h"
#include "tests/support/dpworld.h"

namespace {

using namespace std::chrono_literals;
using qdvp_test::WaitFor;

const char kMetafile[] =
    "//APPL Feed\n//NAME Lines E@TTL@\n//SOURCE SOCK 127.0.0.1\n"
    "//ATTRIBUTES ','\nHost D 16\nStatus D 4\nTime D 8\n";

using qdvp_test::ApiSession;

std::string Req(const std::string &name, const std::string &data = "") {
  return qdvp_test::ApiRequest(name, data);
}

// window, udp
class ApiRefusal : public qdvp_test::DataProviderWorld,
                   public testing::WithParamInterface<std::tuple<bool, bool>> {
 protected:
  bool window() const { return std::get<0>(GetParam()); }
  bool udp() const { return std::get<1>(GetParam()); }
  Strings PeerArgs() const override {
    Strings args = {"--fail", "data:9:1:0"};
    if (!window()) args.push_back("--no-window");
    return args;
  }
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_API_DPAPI_PORT", std::to_string(port_)},
            {"QDVP_PRODUCT_SPEC", File("qdvpspec.txt")}};
  }
  void Start(const std::string &ttl = "") {
    std::string text = kMetafile;
    text.replace(text.find("@TTL@"), 5, ttl);
    Metafile("feed", text);
    dir_.Write("qdvpspec.txt", "ENABLE_DPLOG=N\n");
    Launch("apis");
    ASSERT_TRUE(
        WaitOperator("Socket API Server DP started. Listening on port " + std::to_string(port_)))
        << qdvp_->Stderr();
  }
  // How often the operator was told a line holding text.
  int Told(const std::string &text) const { return qdvp_test::Occurrences(qdvp_->Stderr(), text); }
  bool WaitOperator(const std::string &text, std::chrono::milliseconds deadline = 20s) {
    return WaitFor([&] { return Told(text) >= 1; }, deadline);
  }
  std::vector<std::string> Hosts() const {
    std::vector<std::string> hosts = Values("Lines", "Host");
    std::sort(hosts.begin(), hosts.end());
    return hosts;
  }
  int port_ = qdvp_test::FreePort();
};

// DP log 90, as the operator reads it (the source's name between the two).
const char kNotTakenRow[] = "A row of application Feed attribute group Lines from ";
const char kNotTakenStatus[] = "was not taken by the agent, status 9. The row is not stored.";

// The first set's first row is refused: one of the set's replies is 92 (at once without the
// window; with it, when the status is known, at the latest at ENDROW), every other is 0; the
// next set is stored whole, and ENDINP ends the session.
TEST_P(ApiRefusal, TheClientIsToldOnceAndTheSessionGoesOn) {
  Start();
  ApiSession s(port_, udp());
  ASSERT_TRUE(s.connected());
  ASSERT_EQ(s.Call(Req("BGNINP", "Feed Lines")), 0);
  ASSERT_EQ(s.Call(Req("BGNROW")), 0);
  std::vector<int> set = {s.Call(Req("SNDDTA", "a,ok,1\n")), s.Call(Req("SNDDTA", "b,ok,2\n")),
                          s.Call(Req("SNDDTA", "c,ok,3\n")), s.Call(Req("ENDROW"))};
  EXPECT_EQ(std::count(set.begin(), set.end(), 92), 1) << testing::PrintToString(set);
  EXPECT_EQ(std::count(set.begin(), set.end(), 0), 3) << testing::PrintToString(set);
  if (!window()) {
    EXPECT_EQ(set[0], 92);
  }
  EXPECT_EQ(s.Call(Req("BGNROW")), 0);
  EXPECT_EQ(s.Call(Req("SNDDTA", "d,ok,4\n")), 0);
  EXPECT_EQ(s.Call(Req("ENDROW")), 0);
  EXPECT_EQ(s.Call(Req("ENDINP")), 0);
  ASSERT_TRUE(WaitOperator("dp_EndInput completed for application Feed attribute group Lines"))
      << qdvp_->Stderr();
  ASSERT_TRUE(WaitRows("Lines", 3)) << qdvp_->Stderr();
  EXPECT_EQ(Hosts(), (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_TRUE(WaitFor([&] { return OnlineSources("Lines") == 0; }, 10s));
  EXPECT_EQ(Told(kNotTakenRow), 1) << qdvp_->Stderr();
  EXPECT_EQ(Told(kNotTakenStatus), 1) << qdvp_->Stderr();
  // The server goes on: a new session is served as ever.
  ApiSession next(port_, udp());
  ASSERT_EQ(next.Call(Req("BGNINP", "Feed Lines")), 0);
  EXPECT_EQ(next.Call(Req("SNDDTA", "e,ok,5\n")), 0);
  EXPECT_EQ(next.Call(Req("ENDINP")), 0);
  ASSERT_TRUE(WaitRows("Lines", 4));
}

// The only row, held back until ENDINP, is refused: ENDINP answers 92 (on the window too: the
// offline goes out once the row has its status) and ends the session all the same.
TEST_P(ApiRefusal, ARowRefusedAtEndInputIsToldByItsReply) {
  Start();
  ApiSession s(port_, udp());
  ASSERT_TRUE(s.connected());
  ASSERT_EQ(s.Call(Req("BGNINP", "Feed Lines")), 0);
  ASSERT_EQ(s.Call(Req("SNDDTA", "a,ok,1\n")), 0);  // held back
  EXPECT_EQ(s.Call(Req("ENDINP")), 92);
  ASSERT_TRUE(WaitOperator("dp_EndInput completed for application Feed attribute group Lines"))
      << qdvp_->Stderr();
  EXPECT_TRUE(WaitFor([&] { return OnlineSources("Lines") == 0; }, 10s));
  EXPECT_EQ(Count("Lines"), 0);
  ApiSession next(port_, udp());
  ASSERT_EQ(next.Call(Req("BGNINP", "Feed Lines")), 0);
  EXPECT_EQ(next.Call(Req("SNDDTA", "b,ok,2\n")), 0);
  EXPECT_EQ(next.Call(Req("ENDINP")), 0);
  ASSERT_TRUE(WaitRows("Lines", 1));
  EXPECT_EQ(Hosts(), (std::vector<std::string>{"b"}));
}

INSTANTIATE_TEST_SUITE_P(WindowAndTransport, ApiRefusal,
                         testing::Combine(testing::Bool(), testing::Bool()), [](const auto &info) {
                           return std::string(std::get<0>(info.param) ? "Window" : "NoWindow") +
                                  (std::get<1>(info.param) ? "Udp" : "Tcp");
                         });

// UDP sessions alone expire.
class ApiRefusalExpiry : public ApiRefusal {};

// A UDP client whose row was refused and that then falls silent: its session expires all the
// same (DP log 32), its held row is stored and its source goes offline at the agent.
TEST_P(ApiRefusalExpiry, ASilentUdpSessionExpiresAfterARefusal) {
  extraEnv_["QDVP_DP_EXPIRE_FACTOR"] = "2";
  Start(" 1");
  ApiSession s(port_, true);
  ASSERT_EQ(s.Call(Req("BGNINP", "Feed Lines")), 0);
  ASSERT_EQ(s.Call(Req("SNDDTA", "a,ok,1\n")), 0);  // held back
  int rc = s.Call(Req("SNDDTA", "b,ok,2\n"));       // sends a, which is refused
  EXPECT_TRUE(rc == 92 || (window() && rc == 0)) << rc;
  ASSERT_TRUE(WaitOperator("UDP inactivity time expired")) << qdvp_->Stderr();
  ASSERT_TRUE(WaitRows("Lines", 1)) << qdvp_->Stderr();
  EXPECT_EQ(Hosts(), (std::vector<std::string>{"b"}));
  EXPECT_TRUE(WaitFor([&] { return OnlineSources("Lines") == 0; }, 10s));
}

INSTANTIATE_TEST_SUITE_P(Window, ApiRefusalExpiry,
                         testing::Combine(testing::Bool(), testing::Values(true)),
                         [](const auto &info) {
                           return std::string(std::get<0>(info.param) ? "Window" : "NoWindow");
                         });

}  // namespace
