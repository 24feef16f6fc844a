// A row the agent does not take, from a partner of the socket data server: qdvp-dch refuses the
// first row it gets (`--fail data:9:1:0`), on a link with the window and without it
// (`--no-window`). The operator is told (DP log 90) and the partner's next lines are stored,
// over TCP and over UDP. The DP log of these worlds is off, so that the agent's first data
// request is the partner's first line; the operator's lines are read from standard error.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "tests/support/dpworld.h"

namespace {

using dch_test::Client;
using qdvp_test::WaitFor;
using namespace std::chrono_literals;

// window, udp
class SocketRefusal : public qdvp_test::DataProviderWorld,
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
    return {{"QDVP_DP_PORT", std::to_string(port_)}, {"QDVP_PRODUCT_SPEC", File("qdvpspec.txt")}};
  }
  void SetUp() override {
    DataProviderWorld::SetUp();
    Metafile("web",
             "//APPL WebApp\n//NAME Web E\n//SOURCE SOCK 127.0.0.1\n"
             "//ATTRIBUTES ','\nHost D 16\nStatus D 4\nTime D 8\n");
    dir_.Write("qdvpspec.txt", "ENABLE_DPLOG=N\n");
    Launch("sock");
    ASSERT_TRUE(WaitFor([&] { return Told("Socket DP started. Listening on port") == 1; }, 20s))
        << qdvp_->Stderr();
  }
  int Told(const std::string &text) const { return qdvp_test::Occurrences(qdvp_->Stderr(), text); }
  int port_ = qdvp_test::FreePort();
};

// Five lines in one buffer, the first refused: the other four are stored, in order, and the
// refusal is told once; a later buffer is stored too.
TEST_P(SocketRefusal, ThePartnersNextLinesAreStored) {
  auto p = udp() ? Client::Udp(port_) : Client::Tcp(port_);
  ASSERT_TRUE(p);
  ASSERT_TRUE(p->Send("web1,200,1\nweb2,200,2\nweb3,200,3\nweb4,200,4\nweb5,200,5\n"));
  ASSERT_TRUE(WaitRows("Web", 4)) << qdvp_->Stderr();
  EXPECT_EQ(Values("Web", "Host"), (Strings{"web2", "web3", "web4", "web5"}));
  ASSERT_TRUE(WaitFor([&] { return Told("was not taken by the agent, status 9.") == 1; }, 10s))
      << qdvp_->Stderr();
  EXPECT_EQ(Told("A row of application WebApp attribute group Web from "), 1);
  ASSERT_TRUE(p->Send("web6,200,6\n"));
  ASSERT_TRUE(WaitRows("Web", 5)) << qdvp_->Stderr();
  EXPECT_EQ(Values("Web", "Host").back(), "web6");
  EXPECT_EQ(Told("was not taken by the agent"), 1);
}

// Posted messages: the first message's row is refused; the operator is told, and the next
// messages are stored. With the window the sender's stamp goes back before the status comes.
class PostRefusal : public SocketRefusal {
 protected:
  void SetUp() override {
    DataProviderWorld::SetUp();
    extraEnv_["QDVP_POST_DP_PORT"] = std::to_string(port_);
    dir_.Write("qdvpspec.txt", "ENABLE_DPLOG=N\n");
    Launch("post");
    ASSERT_TRUE(WaitFor([&] { return Told("POST DP started. Listening on port") == 1; }, 20s))
        << qdvp_->Stderr();
  }
  int Post(const std::string &text) {
    return qdvp_test::Run(
        {qdvp_test::BinDir() + "/qdvp", "post", "--port", std::to_string(port_), text}, {}, nullptr,
        nullptr);
  }
};

TEST_P(PostRefusal, TheOperatorIsToldAndTheNextMessagesAreStored) {
  int first = Post("refused one");
  // Without the window the sender waits for the status: its message was not stored.
  if (window()) {
    EXPECT_EQ(first, 0);
  }
  ASSERT_TRUE(WaitFor([&] { return Told("was not taken by the agent, status 9.") == 1; }, 20s))
      << qdvp_->Stderr();
  EXPECT_EQ(Told("A row of application MAS attribute group dpPost from "), 1);
  EXPECT_EQ(Post("stored two"), 0);
  EXPECT_EQ(Post("stored three"), 0);
  ASSERT_TRUE(WaitRows("dpPost", 2)) << qdvp_->Stderr();
  EXPECT_EQ(Values("dpPost", "Post_Text"), (Strings{"stored two", "stored three"}));
  EXPECT_EQ(Told("was not taken by the agent"), 1);
}

INSTANTIATE_TEST_SUITE_P(Window, PostRefusal,
                         testing::Combine(testing::Bool(), testing::Values(false)),
                         [](const auto &info) {
                           return std::string(std::get<0>(info.param) ? "Window" : "NoWindow");
                         });

INSTANTIATE_TEST_SUITE_P(WindowAndTransport, SocketRefusal,
                         testing::Combine(testing::Bool(), testing::Bool()), [](const auto &info) {
                           return std::string(std::get<0>(info.param) ? "Window" : "NoWindow") +
                                  (std::get<1>(info.param) ? "Udp" : "Tcp");
                         });

}  // namespace
