// No one sender stalls a server, end to end: while other addresses (127.0.0.100 and up, whose
// name lookups take seconds through QDVP_TEST_SLOW_LOOKUP) open connections or post, a client
// API partner's round trips and `qdvp post` stay fast; and a TCP poster that never reads its
// acknowledgement stamps is dropped with DP log 94 while UDP and TCP posts of others go on.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "include/qdvp_client.h"
#include "tests/support/dpworld.h"
#include "tests/support/qdvptest.h"

namespace {

using namespace std::chrono_literals;
using qdvp_test::BinDir;
using qdvp_test::FreePort;
using qdvp_test::WaitFor;
using Clock = std::chrono::steady_clock;

// Lookups of these addresses take this long and find no name; 0.0.0.0 (the address of a
// partner whose session has ended) too, should anything ask for its name.
const char kSlowLookups[] = "127.0.0.100-127.0.0.250:3000,0.0.0.0:3000";

// A socket to the loopback port from a local address of its own, or -1.
int Connect(int port, bool udp, const char *from, int receiveBuffer = 0) {
  int fd = socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(int));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, from, &local.sin_addr);
  sockaddr_in to = qdvp_test::Loopback(port);
  if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof(local)) != 0 ||
      connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof(to)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

class Stall : public qdvp_test::DataProviderWorld {
 protected:
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_API_DPAPI_PORT", std::to_string(port_)},
            {"QDVP_DP_PORT", std::to_string(port_)},
            {"QDVP_POST_DP_PORT", std::to_string(port_)},
            {"QDVP_TEST_SLOW_LOOKUP", kSlowLookups}};
  }
  void TearDown() override {
    StopBackground();
    DataProviderWorld::TearDown();
  }
  // Ends what Background started and waits for it.
  void StopBackground() {
    stop_ = true;
    for (std::thread &t : threads_) t.join();
    threads_.clear();
  }
  // qdvp post ARGS against the private port: its exit status, *out its output.
  int Post(std::vector<std::string> args, std::string *out = nullptr) {
    args.insert(args.begin(), {BinDir() + "/qdvp", "post", "--port", std::to_string(port_)});
    std::string output;
    int rc = qdvp_test::Run(args, {}, &output);
    if (out) *out = output;
    return rc;
  }
  // Runs body on a thread of its own until the test ends.
  void Background(std::function<void()> body) { threads_.emplace_back(std::move(body)); }

  int port_ = FreePort();
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

// The socket data server: a configured partner's lines are confirmed at once while other
// addresses send junk datagrams at 200 a second, refused by their addresses (DP log 56, once
// in ten seconds for each sender and 64 times in all).
TEST_F(Stall, ConfirmationsStayFastWhileOtherAddressesSendJunk) {
  Metafile("web",
           "//APPL WebApp\n//NAME Web E\n//SOURCE SOCK 127.0.0.1\n//CONFIRM SEQ\n"
           "//ATTRIBUTES ','\nHost D 16\nStatus D 4\n");
  Launch("sock");
  ASSERT_TRUE(WaitLogged("Socket DP started. Listening on port " + std::to_string(port_)))
      << Trace();
  auto p = dch_test::Client::Tcp(port_);
  ASSERT_TRUE(p && p->Send("web0,200\n"));
  ASSERT_EQ(p->Read(4), dch_test::Be32(1));
  std::atomic<int> junk{0};
  Background([&] {
    std::vector<int> senders;
    for (int i = 0; i < 150; i++) {
      senders.push_back(Connect(port_, true, ("127.0.0." + std::to_string(100 + i)).c_str()));
    }
    for (int i = 0; !stop_ && i < 1000; i++) {
      int fd = senders[static_cast<size_t>(i) % senders.size()];
      if (fd >= 0 && send(fd, "junk\n", 5, 0) == 5) junk++;
      std::this_thread::sleep_for(5ms);
    }
    for (int fd : senders) close(fd);
  });
  Clock::duration longest{};
  uint32_t sequence = 1;
  auto end = Clock::now() + 5s;
  while (Clock::now() < end) {
    auto start = Clock::now();
    ASSERT_TRUE(p->Send("web" + std::to_string(sequence) + ",200\n"));
    ASSERT_EQ(p->Read(4), dch_test::Be32(++sequence)) << Trace().substr(0, 2000);
    longest = std::max(longest, Clock::now() - start);
  }
  EXPECT_GT(junk.load(), 200);
  EXPECT_LT(longest, 1s) << sequence << " lines";
  EXPECT_TRUE(WaitLogged("UDP connection from 127.0.0.10", 10));
  ASSERT_TRUE(WaitRows("Web", static_cast<int>(sequence)));
  // Each junk sender's refusal is reported once in its period, not once a datagram.
  EXPECT_LE(Logged("No Explicit Application Association record found"), 64);
  EXPECT_EQ(Logged("UDP connection from 127.0.0.100 rejected"), 1);
}

// The client API: a session from this host sets its source name over and over while other
// addresses open and close sessions, and another client of this host sends rows in sessions it
// closes; no round trip waits for a name.
TEST_F(Stall, ApiRoundTripsStayFastWhileOtherAddressesComeAndGo) {
  Metafile("feed",
           "//APPL Feed\n//NAME Lines E\n//SOURCE SOCK 127.0.0.1\n//ATTRIBUTES ','\n"
           "Host D 16\n");
  Launch("apis");
  ASSERT_TRUE(
      WaitLogged("Socket API Server DP started. Listening on port " + std::to_string(port_)))
      << Trace();
  qdvpc_session *s = nullptr;
  ASSERT_EQ(qdvpc_open("127.0.0.1", port_, 0, &s), QDVPC_OK);
  ASSERT_EQ(qdvpc_set_source(s, "first"), QDVPC_OK);
  std::atomic<int> opened{0};
  Background([&] {
    for (int i = 0; !stop_ && i < 150; i++) {
      std::string from = "127.0.0." + std::to_string(100 + i);
      int fd = Connect(port_, false, from.c_str());
      if (fd >= 0) opened++;
      std::this_thread::sleep_for(10ms);
      if (fd >= 0) close(fd);
    }
  });
  std::atomic<int> fed{0};
  Background([&] {
    for (int i = 0; !stop_ && i < 20; i++) {
      qdvpc_session *feeder = nullptr;
      if (qdvpc_open("127.0.0.1", port_, 0, &feeder) != QDVPC_OK) continue;
      if (qdvpc_begin_input(feeder, "Feed", "Lines") == QDVPC_OK &&
          qdvpc_send(feeder, ("fed" + std::to_string(i) + "\n").c_str()) == QDVPC_OK) {
        fed++;
      }
      qdvpc_close(feeder);
      std::this_thread::sleep_for(200ms);
    }
  });
  Clock::duration longest{};
  int trips = 0;
  auto end = Clock::now() + 6s;
  while (Clock::now() < end) {
    auto start = Clock::now();
    ASSERT_EQ(qdvpc_set_source(s, ("name" + std::to_string(trips)).c_str()), QDVPC_OK);
    longest = std::max(longest, Clock::now() - start);
    trips++;
  }
  EXPECT_GT(opened.load(), 20);
  EXPECT_GT(fed.load(), 10);
  EXPECT_LT(longest, 1s) << trips << " round trips";
  qdvpc_close(s);
  // The sessions of the slow addresses were served, named by their addresses.
  EXPECT_TRUE(WaitLogged("dp_OpenSession completed from location 127.0.0.10", 10));
  EXPECT_TRUE(WaitLogged("dp_CloseSession completed for location 127.0.0.10", 10));
  EXPECT_EQ(Logged("location 0.0.0.0"), 0);
}

// POST: while another address posts 100 datagrams a second, `qdvp post` from this host gets its
// stamp at once every time, and every datagram is a row named by its sender's address.
TEST_F(Stall, PostsGoThroughWhileAnotherAddressFloods) {
  Launch("post");
  ASSERT_TRUE(WaitLogged("POST DP started. Listening on port " + std::to_string(port_))) << Trace();
  std::atomic<int> sent{0};
  Background([&] {
    int fd = Connect(port_, true, "127.0.0.101");
    for (int i = 0; !stop_ && fd >= 0 && i < 400; i++) {
      std::string text = "flood " + std::to_string(i) + ";I";
      if (send(fd, text.data(), text.size(), 0) > 0) sent++;
      std::this_thread::sleep_for(10ms);
    }
    if (fd >= 0) close(fd);
  });
  ASSERT_TRUE(WaitFor([&] { return sent.load() > 20; }, 10s));
  for (int i = 0; i < 4; i++) {
    auto start = Clock::now();
    std::string stamp;
    EXPECT_EQ(Post({"mine", std::to_string(i)}, &stamp), 0) << Trace();
    EXPECT_EQ(stamp.substr(0, 8), "7F000001");
    EXPECT_LT(Clock::now() - start, 2s);
  }
  StopBackground();
  ASSERT_TRUE(WaitFor([&] { return Count("dpPost") >= sent.load() + 4; }, 30s))
      << Count("dpPost") << " of " << sent.load() + 4;
  std::vector<std::string> origins = Values("dpPost", "Post_Origin");
  EXPECT_EQ(std::count(origins.begin(), origins.end(), "127.0.0.101"), sent.load());
}

// A TCP poster that writes and never reads: the stamps it leaves unread are bounded (here by
// 4 KiB, QDVP_POST_ACK_LIMIT), it is dropped with DP log 94, and meanwhile UDP posts of another
// client become rows; after it, a TCP post gets its stamp.
TEST_F(Stall, APosterThatNeverReadsIsDroppedAndOthersGoOn) {
  extraEnv_["QDVP_POST_ACK_LIMIT"] = "4096";
  Launch("post");
  ASSERT_TRUE(WaitLogged("POST DP started. Listening on port " + std::to_string(port_))) << Trace();
  int stuck = Connect(port_, false, "127.0.0.5", 4096);
  ASSERT_GE(stuck, 0);
  fcntl(stuck, F_SETFL, fcntl(stuck, F_GETFL) | O_NONBLOCK);
  std::atomic<int> posted{0};
  std::atomic<bool> refused{false};
  Background([&] {
    // Messages of one receive each; it writes while the server takes them, and never reads.
    std::string message(4096, 'x');
    message.replace(0, 6, "stuck;");
    size_t at = 0;
    auto idleSince = Clock::now();
    while (!stop_ && posted.load() < 100000 && Clock::now() - idleSince < 15s) {
      ssize_t n = send(stuck, message.data() + at, message.size() - at, MSG_NOSIGNAL);
      if (n > 0) {
        idleSince = Clock::now();
        at += static_cast<size_t>(n);
        if (at == message.size()) {
          at = 0;
          posted++;
        }
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd p = {stuck, POLLOUT, 0};
        poll(&p, 1, 100);
      } else {
        refused = true;
        break;
      }
    }
  });
  // Others while the poster writes.
  ASSERT_TRUE(WaitFor([&] { return posted.load() > 100; }, 20s));
  for (int i = 0; i < 3; i++) EXPECT_EQ(Post({"--udp", "by datagram " + std::to_string(i)}), 0);
  ASSERT_TRUE(WaitFor(
      [&] {
        std::vector<std::string> texts = Values("dpPost", "Post_Text");
        return std::count(texts.begin(), texts.end(), "by datagram 2") == 1;
      },
      30s))
      << Trace().substr(0, 2000);
  ASSERT_TRUE(WaitLogged("POST sender 127.0.0.5 port", 1, 60s)) << posted.load() << " posted";
  EXPECT_TRUE(WaitLogged("dropped: it does not read its acknowledgement stamps"));
  EXPECT_TRUE(WaitFor([&] { return refused.load(); }, 20s)) << posted.load() << " posted";
  EXPECT_LT(posted.load(), 100000);
  std::string stamp;
  EXPECT_EQ(Post({"after", "the", "stuck", "one"}, &stamp), 0);
  EXPECT_EQ(stamp.size(), 27u) << stamp;
  EXPECT_TRUE(WaitFor(
      [&] {
        std::vector<std::string> texts = Values("dpPost", "Post_Text");
        return !texts.empty() && texts.back() == "after the stuck one";
      },
      20s));
  StopBackground();
  close(stuck);
  EXPECT_TRUE(qdvp_->Running());
}

}  // namespace
