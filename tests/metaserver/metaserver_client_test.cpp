// The metafile server's wire: how a request is split and which names are refused, and how the
// client's reader puts a reply together whatever pieces it arrives in. The client task against
// a scripted server: a reply in one-byte pieces is put together by its record count, and every
// failure (the server's own status, no complete reply in time, a reply out of form, the server
// gone mid-reply) reaches the loading task as its status with no records, never as part of a
// metafile.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp_metafile.h"
#include "include/qdvp_sockets.h"
#include "metaserver/qdvpmsrv.h"
#include "metaserver/qdvpmswr.h"
#include "tests/metafile/metafile_testing.h"
#include "tests/support/linkclient.h"

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

TEST(MetaRequest, IsSplitAtBlanksAndRefusesNamesThatCouldLeaveTheDirectory) {
  struct Case {
    std::string request;
    MetaRequestKind kind;
    std::string name;
  } cases[] = {
      {"GETMETA app.mdl", QDVP_MSRV_REQ_GETMETA, "app.mdl"},
      {"  GETMETA\tapp.mdl  extra\n", QDVP_MSRV_REQ_GETMETA, "app.mdl"},
      {"GETMETA", QDVP_MSRV_REQ_NO_NAME, ""},
      {"GETMETA   ", QDVP_MSRV_REQ_NO_NAME, ""},
      {"getmeta app", QDVP_MSRV_REQ_INVALID, ""},
      {"", QDVP_MSRV_REQ_INVALID, ""},
      {"GETMETAX app", QDVP_MSRV_REQ_INVALID, ""},
      {"GETMETA ../app", QDVP_MSRV_REQ_REFUSED, "../app"},
      {"GETMETA a..b", QDVP_MSRV_REQ_REFUSED, "a..b"},
      {"GETMETA /etc/passwd", QDVP_MSRV_REQ_REFUSED, "/etc/passwd"},
      {"GETMETA sub/app", QDVP_MSRV_REQ_REFUSED, "sub/app"},
      {"GETMETA sub\\app", QDVP_MSRV_REQ_REFUSED, "sub\\app"},
      {"GETMETA .hidden", QDVP_MSRV_REQ_REFUSED, ".hidden"},
      {"GETMETA &memory", QDVP_MSRV_REQ_REFUSED, "&memory"},
      {"GETMETA a\x01" "b", QDVP_MSRV_REQ_REFUSED, "a\x01" "b"},
      {std::string("GETMETA ab\0/../x", 16), QDVP_MSRV_REQ_REFUSED, "ab"},
      {"GETMETA " + std::string(201, 'a'), QDVP_MSRV_REQ_REFUSED, std::string(200, 'a')},
      {"GETMETA " + std::string(248, 'a'), QDVP_MSRV_REQ_REFUSED, std::string(200, 'a')},
      {"GETMETA " + std::string(200, 'a'), QDVP_MSRV_REQ_GETMETA, std::string(200, 'a')},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.request.substr(0, 40));
    std::string name;
    const char *why = nullptr;
    EXPECT_EQ(QDVP_ParseMetaRequest(c.request.data(), c.request.size(), &name, &why), c.kind);
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(c.kind == QDVP_MSRV_REQ_REFUSED, why != nullptr && why[0] != '\0');
  }
}

// A reply as its pieces arrive, complete or not; every case is fed whole, byte by byte and in
// pieces of seven bytes, with the same outcome.
TEST(MetaReplyReader, PutsAReplyTogetherByItsRecordCount) {
  struct Case {
    std::string reply;
    MetaReplyReader::State state;
    int status;
    Strings records;
  } cases[] = {
      {"0 \n2 \n//APPL A\nx D 8\n", MetaReplyReader::kComplete, 0, {"//APPL A", "x D 8"}},
      {"0 \n2 \n//APPL A\nx D 8\nextra", MetaReplyReader::kComplete, 0, {"//APPL A", "x D 8"}},
      {"0 \n2 \n\n\n", MetaReplyReader::kComplete, 0, {"", ""}},
      {"0 \n2 \n//APPL A\nx D 8", MetaReplyReader::kIncomplete, 0, {}},
      {"0 \n2 \n//APPL A\n", MetaReplyReader::kIncomplete, 0, {}},
      {"0 \n", MetaReplyReader::kIncomplete, 0, {}},
      {"", MetaReplyReader::kIncomplete, 0, {}},
      {"1 \n", MetaReplyReader::kComplete, 1, {}},
      {"1 \n0 \nrest", MetaReplyReader::kComplete, 1, {}},
      {"-7\n", MetaReplyReader::kComplete, -7, {}},
      {"0 \n0 \n", MetaReplyReader::kMalformed, 0, {}},
      {"0 \n-1 \n", MetaReplyReader::kMalformed, 0, {}},
      {"0 \n\n", MetaReplyReader::kMalformed, 0, {}},
      {"0 \n2x\n", MetaReplyReader::kMalformed, 0, {}},
      {"0 \n9999999999 \n", MetaReplyReader::kMalformed, 0, {}},
      {"0 \n999999 \n", MetaReplyReader::kMalformed, 0, {}},
      {"ok\n", MetaReplyReader::kMalformed, 0, {}},
      {" \n", MetaReplyReader::kMalformed, 0, {}},
      {std::string(40, '0'), MetaReplyReader::kMalformed, 0, {}},
  };
  for (const Case &c : cases) {
    for (size_t piece : {c.reply.size() + 1, size_t{1}, size_t{7}}) {
      SCOPED_TRACE(c.reply.substr(0, 30) + " in pieces of " + std::to_string(piece));
      MetaReplyReader reader;
      for (size_t at = 0; at < c.reply.size(); at += piece) {
        reader.Feed(c.reply.data() + at, std::min(piece, c.reply.size() - at));
      }
      EXPECT_EQ(reader.state(), c.state);
      if (c.state != MetaReplyReader::kComplete) continue;
      EXPECT_EQ(reader.status(), c.status);
      EXPECT_EQ(reader.records(), c.records);
    }
  }
}

// A reply is held to QDVP_MSRV_REPLY_MAX bytes, whatever its count line promises.
TEST(MetaReplyReader, RefusesAReplyLongerThanItsBound) {
  MetaReplyReader reader;
  std::string header = "0 \n100000 \n", line(4096, 'x');
  line.back() = '\n';
  reader.Feed(header.data(), header.size());
  size_t fed = header.size();
  while (reader.state() == MetaReplyReader::kIncomplete && fed < 2 * QDVP_MSRV_REPLY_MAX) {
    reader.Feed(line.data(), line.size());
    fed += line.size();
  }
  EXPECT_EQ(reader.state(), MetaReplyReader::kMalformed);
  EXPECT_LE(fed, QDVP_MSRV_REPLY_MAX + line.size());
  EXPECT_TRUE(reader.records().empty());
}

// A stand-in server on a private port (stream and datagram, so that the task finds the port
// taken and becomes a client). Each request it receives is answered by the next script:
// its pieces, one send each, then a pause, then the connection is closed or kept.
class ScriptedServer {
 public:
  struct Script {
    Strings pieces;
    std::chrono::milliseconds pauseAfter{0};
    bool close = false;
  };
  ScriptedServer() : port_(qdvp_test::FreePort()) {
    sockaddr_in a = qdvp_test::Loopback(port_);
    udp_ = socket(AF_INET, SOCK_DGRAM, 0);
    tcp_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(tcp_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    bound_ = bind(udp_, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 &&
             bind(tcp_, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 && listen(tcp_, 4) == 0;
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    thread_.join();
    close(udp_);
    close(tcp_);
  }
  bool bound() const { return bound_; }
  int port() const { return port_; }
  void Next(const Script &s) {
    std::lock_guard<std::mutex> lock(mutex_);
    scripts_.push_back(s);
  }
  Strings Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  bool Readable(int fd) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 20) == 1;
  }
  void Run() {
    int conn = -1;
    while (!stop_) {
      if (conn < 0) {
        if (Readable(tcp_)) conn = accept(tcp_, nullptr, nullptr);
        continue;
      }
      if (!Readable(conn)) continue;
      char buffer[512];
      ssize_t n = recv(conn, buffer, sizeof(buffer), 0);
      if (n <= 0) {
        close(conn);
        conn = -1;
        continue;
      }
      Script s;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.emplace_back(buffer, static_cast<size_t>(n));
        if (scripts_.empty()) continue;
        s = scripts_.front();
        scripts_.erase(scripts_.begin());
      }
      for (const std::string &piece : s.pieces) {
        send(conn, piece.data(), piece.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(1ms);  // one piece per receive on the other side
      }
      std::this_thread::sleep_for(s.pauseAfter);
      if (s.close) {
        close(conn);
        conn = -1;
      }
    }
    if (conn >= 0) close(conn);
  }

  int port_;
  int udp_ = -1, tcp_ = -1;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Script> scripts_;
  Strings requests_;
  std::thread thread_;
};

Strings Bytes(const std::string &text) {
  Strings pieces;
  for (char c : text) pieces.emplace_back(1, c);
  return pieces;
}

class MetaClient : public metafile_test::WithAnchor {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.bound());
    env_.Set("QDVP_META_SERVER_PORT", std::to_string(server_.port()));
    env_.Set("QDVP_META_IO_WAIT", "1");
    env_.Set("QDVP_META_TRANSPORT", std::nullopt);
    WithAnchor::SetUp();
  }
  // Starts the task as the data provider's start-up does and waits for its start signal.
  void StartTask() {
    ProcessEntry *entry = nullptr;
    ASSERT_TRUE(QDVP_CreateProcess(anchor_, QDVP_COMMON_TASK, const_cast<char *>("127.0.0.1"),
                                   QDVP_MetaServerTask, 1, &entry));
    QDV0_ConditionWait(&entry->TaskIOcond, &entry->TaskIOmutex);
    ASSERT_NE(entry->Terminate.load(), 1);
    OSV1_ReleaseLock(&entry->TaskIOmutex);
    ASSERT_NE(anchor_->pMemMetafile, nullptr);
  }
  // Opens name as a loading task does: the records when it came, and the block's status.
  int Fetch(const std::string &name, Strings *records) {
    records->clear();
    void *handle = nullptr;
    metafile_test::Stdout([&] { handle = QDVP_OpenMetaFile(anchor_, name.c_str(), 0); });
    if (handle == nullptr) {
      EXPECT_EQ(anchor_->pMemMetafile->pHead, nullptr);
      return anchor_->pMemMetafile->Status;
    }
    char line[4096];
    while (QDVP_ReadMetaFile(anchor_, handle, line, sizeof(line)) != nullptr) {
      records->push_back(line);
    }
    QDVP_CloseMetaFile(anchor_, handle);
    return 0;
  }
  ScriptedServer server_;
};

TEST_F(MetaClient, EveryReplyReachesTheLoaderAsItsStatusAndOnlyACompleteOneAsRecords) {
  StartTask();
  const std::string good = "0 \n3 \n//APPL Remote\n//NAME T E\nA D 8\n";
  struct Case {
    const char *what;
    ScriptedServer::Script script;
    int status;
    Strings records;
  } cases[] = {
      {"one piece", {{good}}, 0, {"//APPL Remote", "//NAME T E", "A D 8"}},
      {"one byte per send", {Bytes(good)}, 0, {"//APPL Remote", "//NAME T E", "A D 8"}},
      {"no such metafile", {{"1 \n"}}, 1, {}},
      {"another status", {Bytes("7 \n")}, 7, {}},
      {"count missing", {{"0 \n\n"}}, -3, {}},
      {"count zero", {{"0 \n0 \n"}}, -3, {}},
      {"status out of form", {{"OK\n"}}, -3, {}},
      {"pause mid-reply", {{"0 \n3 \n//APPL Remote\n"}, 1200ms}, 20, {}},
      {"nothing at all", {{}, 1200ms}, 20, {}},
      {"good after a reconnection", {{good}}, 0, {"//APPL Remote", "//NAME T E", "A D 8"}},
      // Last: after a lost connection the client waits before it connects again.
      {"server gone mid-reply", {{"0 \n3 \n//APPL Remote\n"}, 0ms, true}, -2, {}},
      {"no connection yet", {{good}}, -2, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    server_.Next(c.script);
    Strings records;
    EXPECT_EQ(Fetch("remote.mdl", &records), c.status);
    EXPECT_EQ(records, c.records);
  }
  Strings requests = server_.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0], "GETMETA remote.mdl");
}

// A metafile fetched from the server becomes an application like a local one.
TEST_F(MetaClient, FetchedMetafileBuildsItsApplication) {
  StartTask();
  qdvp_test::LinkClient link(anchor_, true);
  server_.Next({{"0 \n4 \n//APPL Remote\n//NAME T E\n//ATTRIBUTES\nA D 8\n"}});
  ApplEntry *appl = nullptr;
  metafile_test::Stdout([&] {
    appl = QDVP_ConstructApplDataModel(anchor_, "remote.mdl", 0, nullptr, nullptr, 0, 0);
  });
  EXPECT_NE(appl, nullptr);
  if (appl != nullptr) {
    EXPECT_STREQ(appl->ApplName, "Remote");
  }
  QDVP_SignalProcessTermination(anchor_);  // both tasks end before the link client goes
}

// Server and client take the same port: 7800 + DP_PORT_OFFSET, or QDVP_META_SERVER_PORT; the
// port is taken while a server holds it.
TEST_F(MetaClient, PortIsTheSameForBothRolesAndTakenWhileAServerHoldsIt) {
  EXPECT_EQ(QDVP_IsMetaServerActive('I'), 1);
  EXPECT_EQ(QDVP_IsMetaServerActive('R'), 0);
  EXPECT_EQ(QDVP_ServerPort('M'), server_.port());
  env_.Set("QDVP_META_SERVER_PORT", std::nullopt);
  env_.Set("QDVP_PRODUCT_SPEC", dir_.Write("product.cfg", "DP_PORT_OFFSET=5\n"));
  QDV0_ResetProductSpec();
  ASSERT_TRUE(QDV0_InitializeProductSpec());
  EXPECT_EQ(QDVP_ServerPort('M'), 7805);
  env_.Set("QDVP_PRODUCT_SPEC", std::nullopt);
  QDV0_ResetProductSpec();
  ASSERT_TRUE(QDV0_InitializeProductSpec());
  EXPECT_EQ(QDVP_ServerPort('M'), 7800);
}

}  // namespace
