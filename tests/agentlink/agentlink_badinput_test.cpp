// The receive task against a scripted agent that misbehaves on the wire: a reply split over
// two writes, a zero length word, a length beyond 1 MiB, and a reply that never completes.
// The data provider must neither crash nor hang: broken framing drops the connection (made
// again before the next request), an incomplete reply ends the request after the reply wait.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/support/qdv0.h"
#include "include/qdvp_core.h"
#include "include/qdvp_dchcomm.h"
#include "include/qdvp_model.h"
#include "include/qdvp_services.h"
#include "tests/support/dchpeer.h"
#include "tests/support/linkclient.h"
#include "tests/support/qdvptest.h"

namespace {

using dch_test::Be32;
using qdvp_test::EnvGuard;
using qdvp_test::TempDir;
using qdvp_test::WaitFor;

// A TCP listener on loopback playing the agent by hand.
class ScriptedAgent {
 public:
  ScriptedAgent() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    socklen_t n = sizeof(a);
    getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &n);
    port_ = ntohs(a.sin_port);
    listen(listener_, 4);
  }
  ~ScriptedAgent() {
    if (conn_ >= 0) close(conn_);
    close(listener_);
  }
  int port() const { return port_; }
  // Accepts the next connection within 10 seconds.
  bool Accept() {
    pollfd p = {listener_, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return false;
    if (conn_ >= 0) close(conn_);
    conn_ = accept(listener_, nullptr, nullptr);
    return conn_ >= 0;
  }
  // Reads one whole request; nullopt on end of stream or time-out.
  std::optional<std::string> Read() {
    std::string m;
    if (!ReadN(4, &m)) return std::nullopt;
    uint32_t n = QDVP_WireGet32(reinterpret_cast<const unsigned char *>(m.data()));
    if (n < 4 || !ReadN(n - 4, &m)) return std::nullopt;
    return m;
  }
  bool Write(const std::string &bytes) {
    return write(conn_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // True when the data provider closed the connection.
  bool Closed() {
    std::string m;
    return !ReadN(1, &m);
  }

 private:
  bool ReadN(size_t n, std::string *out) {
    while (n > 0) {
      pollfd p = {conn_, POLLIN, 0};
      if (poll(&p, 1, 10000) != 1) return false;
      char buffer[4096];
      ssize_t r = read(conn_, buffer, n < sizeof(buffer) ? n : sizeof(buffer));
      if (r <= 0) return false;
      out->append(buffer, static_cast<size_t>(r));
      n -= static_cast<size_t>(r);
    }
    return true;
  }
  int listener_ = -1, conn_ = -1, port_ = 0;
};

class BadInput : public testing::Test {
 protected:
  void SetUp() override {
    env_.Set("QDVA_DCH_PORT", std::to_string(agent_.port()));
    env_.Set("QDVP_DCH_HOST", "127.0.0.1");
    env_.Set("QDVP_DCH_REPLY_WAIT", "1");
    env_.Set("QDVP_META_PATH", dir_.path());
    env_.Set("QDVP_PRODUCT_SPEC", std::nullopt);
    anchor_ = QDVP_StartupInitialization();
    ASSERT_NE(anchor_, nullptr);
    // The client connects while it starts; the agent accepts in parallel.
    std::thread accept([&] { accepted_ = agent_.Accept(); });
    link_ = std::make_unique<qdvp_test::LinkClient>(anchor_);
    accept.join();
    ASSERT_TRUE(accepted_);
  }
  void TearDown() override {
    link_.reset();
    QDVP_ShutdownCleanUp(anchor_, 1);
    QDVP_ReleaseGlobalResources(anchor_);
  }
  DCHcomm *Comm() { return anchor_->pDCHcomm; }

  TempDir dir_;
  EnvGuard env_;
  ScriptedAgent agent_;
  bool accepted_ = false;
  DPAB *anchor_ = nullptr;
  std::unique_ptr<qdvp_test::LinkClient> link_;
};

TEST_F(BadInput, BrokenLengthWordsDropTheConnection) {
  const std::string streams[] = {Be32(0) + "garbage!", Be32(3), Be32(2u * 1024 * 1024) + "big"};
  for (const auto &bytes : streams) {
    ASSERT_TRUE(agent_.Write(bytes));
    EXPECT_TRUE(agent_.Closed()) << dch_test::Hex(bytes);
    EXPECT_TRUE(WaitFor([&] { return Comm()->Socket.load() == 0; }));
    // The next request connects again first; it gets an answer split over two writes.
    dir_.Write("m.mdl", "//APPL Again\n//NAME T E\n//ATTRIBUTES\nA D 8\n");
    std::thread agent([&] {
      if (!agent_.Accept()) return;
      auto request = agent_.Read();
      if (!request) return;
      std::string reply = dch_test::Msg::Status(0).Bytes();
      agent_.Write(reply.substr(0, 5));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      agent_.Write(reply.substr(5));
      // Unregister at the end of the test (or at the next round's reload) is answered too.
    });
    testing::internal::CaptureStdout();
    ApplEntry *appl = QDVP_ConstructApplDataModel(anchor_, "m.mdl", 0, nullptr, nullptr, 0, 1);
    testing::internal::GetCapturedStdout();
    agent.join();
    ASSERT_NE(appl, nullptr);
    EXPECT_EQ(appl->pTableList->pSourceList->State, QDVP_Ready);
    QDVP_ReleaseApplResources(anchor_, appl, 1);
  }
}

TEST_F(BadInput, AReplyThatNeverCompletesEndsTheRequestAfterTheReplyWait) {
  dir_.Write("m.mdl", "//APPL Stuck\n//NAME T E\n//ATTRIBUTES\nA D 8\n");
  std::thread agent([&] {
    auto request = agent_.Read();
    if (!request) return;
    agent_.Write(Be32(100) + "only a part");
  });
  auto start = std::chrono::steady_clock::now();
  testing::internal::CaptureStdout();
  ApplEntry *appl = QDVP_ConstructApplDataModel(anchor_, "m.mdl", 0, nullptr, nullptr, 0, 1);
  testing::internal::GetCapturedStdout();
  agent.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // No status within the reply wait: the registration is deferred (Pending).
  ASSERT_NE(appl, nullptr);
  EXPECT_EQ(appl->pTableList->pSourceList->State, QDVP_Pending);
  QDVP_ReleaseApplResources(anchor_, appl, 1);
}

}  // namespace
