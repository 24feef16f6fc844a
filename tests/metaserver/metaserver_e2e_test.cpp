// The metafile server end to end: a FILE data provider serves its metafile directory, a
// second one fetches a metafile that its startup configuration names and that it lacks, and
// the fetched application's rows reach qdvp-dch. Against the serving data provider directly:
// the requests it refuses, a thousand clients at once, and a client that never reads. The
// wire: how a request is split and which names are refused, and how the client's reader puts a
// reply together whatever pieces it arrives in. Idle connections: the one idle longest makes
// room, every one is closed after the idle wait, and a client whose connection the server
// closed connects again at once. The client task against a scripted server: a
// reply in one-byte pieces is put together by its record count, and every failure (the
// server's own status, no complete reply in time, a reply out of form, the server gone
// mid-reply) reaches the loading task as its status with no records, never as part of a
// metafile.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
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
#include "tests/support/dpworld.h"
#include "tests/support/linkclient.h"

namespace {

using namespace std::chrono_literals;
using qdvp_test::Child;
using qdvp_test::WaitFor;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

// The shared application: a word and a number per line of shared.log in the test directory.
const char kShared[] =
    "//APPL SharedApp\n//NAME Shared E\n//SOURCE FILE @DIR@/shared.log\n//ATTRIBUTES ' '\n"
    "Word D 32\nNumber C 1000000\n";
const char kLocal[] =
    "//APPL LocalApp\n//NAME Local E\n//SOURCE FILE @DIR@/local.log\n//ATTRIBUTES ' '\n"
    "Word D 32\n";

int Connect(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = qdvp_test::Loopback(port);
  if (s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// The reply on connection s within the wait: the bytes of a complete reply, or what came
// before the connection ended or the wait passed.
std::string ReadReply(int s, std::chrono::milliseconds wait) {
  MetaReplyReader reader;
  std::string bytes;
  Clock::time_point deadline = Clock::now() + wait;
  while (reader.state() == MetaReplyReader::kIncomplete && Clock::now() < deadline) {
    pollfd p = {s, POLLIN, 0};
    if (poll(&p, 1, 50) != 1) continue;
    char piece[65536];
    ssize_t n = recv(s, piece, sizeof(piece), 0);
    if (n <= 0) break;
    bytes.append(piece, static_cast<size_t>(n));
    reader.Feed(piece, static_cast<size_t>(n));
  }
  return bytes;
}

class MetafileServer : public qdvp_test::DataProviderWorld {
 protected:
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_META_SERVER", "127.0.0.1"},
            {"QDVP_META_SERVER_PORT", std::to_string(metaPort_)},
            {"QDVP_META_IO_WAIT", "2"},
            {"QDVP_DP_EVENT", "1"},
            {"QDVP_DP_SAMPLE_FACTOR", "2"}};
  }
  // The serving data provider, with the shared metafile in its directory but not loaded.
  void StartServer() {
    Metafile("Shared", kShared, false);
    Metafile("local", kLocal);
    Launch("file");
    ASSERT_TRUE(WaitLogged("DP metafile server initialization successful")) << Trace();
  }
  // One request on a connection of its own; the reply, or what came of it.
  std::string Ask(const std::string &request, std::chrono::milliseconds wait = 5s) {
    int s = Connect(metaPort_);
    if (s < 0) return "no connection";
    send(s, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply = ReadReply(s, wait);
    close(s);
    return reply;
  }
  int metaPort_ = qdvp_test::FreePort();
};

// The fetching data provider: its own directory holds no metafile, its startup configuration
// names the shared one, and it reports to the same agent.
TEST_F(MetafileServer, SecondDataProviderFetchesTheMetafileItLacksAndItsRowsReachTheAgent) {
  StartServer();
  dir_.Write("shared.log", "zero 0\n");  // read before the start: not sent
  qdvp_test::TempDir other;
  mkdir(other.File("metafiles").c_str(), 0755);
  other.Write("qdvpinit.cfg", "Shared.mdl\n");
  auto env = Env();
  env["QDVP_HOME"] = other.path();
  env["QDVP_META_PATH"] = other.File("metafiles");
  env["QDVP_INIT_CONFIG_PATH"] = other.path();
  env["QDVP_DPCONSOLE_PORT"] = std::to_string(qdvp_test::FreePort());
  env["QDVP_TRACE_FILE"] = other.File("trace.log");
  Child fetcher({qdvp_test::BinDir() + "/qdvp", "start", "file"}, env, other.path());
  auto trace = [&] { return qdvp_test::ReadFile(other.File("trace.log")); };
  ASSERT_TRUE(
      WaitFor([&] { return trace().find("Initial file record count") != std::string::npos; }, 20s))
      << trace();
  EXPECT_NE(trace().find("Metafile Shared.mdl successfully retrieved from remote server. Record "
                         "count 6"),
            std::string::npos);
  EXPECT_NE(trace().find("Metafile service client successfully connected"), std::string::npos);
  std::ofstream(File("shared.log"), std::ios::app) << "alpha 1\nbeta 2\n";
  ASSERT_TRUE(WaitRows("Shared", 2)) << trace();
  EXPECT_EQ(Values("Shared", "Word"), (Strings{"alpha", "beta"}));
  EXPECT_EQ(Logged("Metafile Shared.mdl request successfully completed. 6 records sent"), 1);
  fetcher.Signal(SIGTERM);
  EXPECT_EQ(fetcher.Wait(30s), 0) << fetcher.Stderr();
  ASSERT_TRUE(WaitLogged("disconnected from metafile server"));
}

// Requests the server refuses with status 1 (and message 45), requests it discards, and the
// ones it serves; the server goes on after each.
TEST_F(MetafileServer, RefusesEveryNameOutsideItsRegularFilesAndGoesOn) {
  const std::string dir = File("metafiles");
  mkdir((dir + "/sub").c_str(), 0755);
  mkdir((dir + "/adir.mdl").c_str(), 0755);
  dir_.Write("metafiles/sub/x.mdl", kLocal);
  dir_.Write("outside.mdl", kLocal);
  ASSERT_EQ(symlink((File("outside.mdl")).c_str(), (dir + "/out.mdl").c_str()), 0);
  ASSERT_EQ(symlink("/etc/passwd", (dir + "/passwd").c_str()), 0);
  ASSERT_EQ(symlink("/dev/zero", (dir + "/zero").c_str()), 0);
  ASSERT_EQ(symlink("Shared.mdl", (dir + "/inside.mdl").c_str()), 0);
  ASSERT_EQ(mkfifo((dir + "/pipe").c_str(), 0644), 0);
  dir_.Write("metafiles/big.mdl", std::string(QDVP_MSRV_FILE_MAX, '#') + "\n");
  StartServer();
  const std::string refused = "1 \n";
  std::string shared = kShared;
  shared.replace(shared.find("@DIR@"), 5, dir_.path());
  // The names refused, then the requests discarded and those served, with their replies.
  const std::string names[] = {std::string(10000, 'a'),
                               std::string("Shared\0/../../x", 15),
                               "../metafiles/Shared.mdl",
                               "..",
                               File("metafiles/Shared.mdl"),
                               "/etc/passwd",
                               "sub/x.mdl",
                               "sub",
                               "adir",
                               "out",
                               "passwd",
                               "zero",
                               "pipe",
                               "big",
                               "missing",
                               ".Shared.mdl",
                               "&Shared"};
  std::vector<std::pair<std::string, std::string>> cases;
  for (const std::string &name : names) cases.emplace_back("GETMETA " + name, refused);
  cases.insert(cases.end(), {{"GETMETA", ""},
                             {"HELLO Shared", ""},
                             {"GETMETA Shared", "0 \n6 \n" + shared},
                             {"GETMETA inside", "0 \n6 \n" + shared}});
  for (const auto &[request, reply] : cases) {
    SCOPED_TRACE(request.substr(0, 40));
    EXPECT_EQ(Ask(request, reply.empty() ? 500ms : 5s), reply);
  }
  EXPECT_EQ(Logged("failed. File not found."), static_cast<int>(std::size(names)));
  EXPECT_NE(Trace().find("refused: a symbolic link out of the metafile directory"),
            std::string::npos);
  EXPECT_NE(Trace().find("refused: larger than the 1 MiB"), std::string::npos);
  EXPECT_TRUE(qdvp_->Running());
}

// A thousand clients at once: at most QDVP_MSRV_MAX_PARTNERS are served at a time, and each
// served one, idle once it has its reply, makes room for the next, so every one is served and
// the server goes on.
TEST_F(MetafileServer, AThousandClientsAtOnceAreServedInTurnAndTheServerGoesOn) {
  rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 1200 && limit.rlim_max >= 1200) {
    limit.rlim_cur = 1200;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur < 1100) GTEST_SKIP() << "this test needs 1100 descriptors";
  StartServer();
  std::vector<int> clients;
  const std::string request = "GETMETA Shared";
  for (int i = 0; i < 1000; i++) {
    int s = Connect(metaPort_);
    ASSERT_GE(s, 0) << i;
    send(s, request.data(), request.size(), MSG_NOSIGNAL);
    clients.push_back(s);
  }
  int served = 0;
  for (int s : clients) {
    served += ReadReply(s, 200ms).rfind("0 \n6 \n", 0) == 0;
    close(s);
  }
  EXPECT_EQ(served, 1000);
  // The places were all taken: the later clients took those of served ones.
  EXPECT_GT(qdvp_test::Occurrences(Trace(), "idle: its place is taken by"), 0);
  EXPECT_EQ(Ask(request).rfind("0 \n6 \n", 0), 0u);
}

// A client that asks for a large metafile and never reads holds only its own reply: another
// client is served meanwhile, and the reader is dropped after QDVP_META_IO_WAIT seconds.
TEST_F(MetafileServer, ClientThatNeverReadsIsDroppedAfterTheIOWaitWhileOthersAreServed) {
  std::string big;
  while (big.size() < QDVP_MSRV_FILE_MAX - 200) big += "* a comment line that fills the file\n";
  dir_.Write("metafiles/large.mdl", big);
  StartServer();
  int stuck = socket(AF_INET, SOCK_STREAM, 0);
  int small = 4096;
  setsockopt(stuck, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  sockaddr_in a = qdvp_test::Loopback(metaPort_);
  ASSERT_EQ(connect(stuck, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
  const std::string request = "GETMETA large";
  send(stuck, request.data(), request.size(), MSG_NOSIGNAL);
  Clock::time_point asked = Clock::now();
  EXPECT_EQ(Ask("GETMETA Shared", 1s).rfind("0 \n6 \n", 0), 0u);
  EXPECT_LT(Clock::now() - asked, 2s);
  ASSERT_TRUE(WaitFor(
      [&] {
        return Trace().find(
                   "did not take its reply of large within 2 "
                   "seconds. Dropped") != std::string::npos;
      },
      15s));
  EXPECT_GE(Clock::now() - asked, 2s);
  // The DP log message of the drop follows its trace line.
  WaitFor([&] { return Logged("disconnected from metafile server") >= 2; });
  EXPECT_EQ(Logged("disconnected from metafile server"), 2);  // the other client and this one
  close(stuck);
  EXPECT_EQ(Ask("GETMETA Shared").rfind("0 \n6 \n", 0), 0u);
}

// Connections that never ask for anything cannot lock clients out: with every place taken
// by them, the one idle longest makes room for a new client at once, and every idle one is
// closed after QDVP_META_IDLE_WAIT seconds.
TEST_F(MetafileServer, IdleClientsMakeRoomForANewOneAndAreClosedAfterTheIdleWait) {
  extraEnv_["QDVP_META_IDLE_WAIT"] = "3";
  StartServer();
  std::vector<int> idle;
  for (int i = 0; i < QDVP_MSRV_MAX_PARTNERS; i++) {
    int s = Connect(metaPort_);
    ASSERT_GE(s, 0) << i;
    idle.push_back(s);
  }
  ASSERT_TRUE(WaitLogged("New DP client connection accepted", QDVP_MSRV_MAX_PARTNERS)) << Trace();
  Clock::time_point opened = Clock::now();
  EXPECT_EQ(Ask("GETMETA Shared").rfind("0 \n6 \n", 0), 0u) << Trace();
  EXPECT_NE(Trace().find("idle: its place is taken by 127.0.0.1"), std::string::npos);
  // The first one made room; the others are closed once they have been idle 3 seconds.
  auto closed = [](int s) {
    char byte;
    return recv(s, &byte, 1, MSG_DONTWAIT) == 0;
  };
  EXPECT_TRUE(closed(idle[0]));
  EXPECT_FALSE(closed(idle.back()));
  EXPECT_TRUE(WaitFor(
      [&] {
        for (int s : idle) {
          if (!closed(s)) return false;
        }
        return true;
      },
      15s));
  EXPECT_GE(Clock::now() - opened, 2s);
  EXPECT_EQ(qdvp_test::Occurrences(Trace(), "idle for 3 seconds. Closed"),
            QDVP_MSRV_MAX_PARTNERS - 1);
  for (int s : idle) close(s);
  EXPECT_EQ(Ask("GETMETA Shared").rfind("0 \n6 \n", 0), 0u);
}

TEST(MetaRequest, IsSplitAtBlanksAndRefusesNamesThatCouldLeaveTheDirectory) {
  struct Case {
    std::string request;
    MetaRequestKind kind;
    std::string name;
  };
  std::vector<Case> cases = {
      {"GETMETA app.mdl", QDVP_MSRV_REQ_GETMETA, "app.mdl"},
      {"  GETMETA\tapp.mdl  extra\n", QDVP_MSRV_REQ_GETMETA, "app.mdl"},
      {"GETMETA", QDVP_MSRV_REQ_NO_NAME, ""},
      {"GETMETA   ", QDVP_MSRV_REQ_NO_NAME, ""},
      {"getmeta app", QDVP_MSRV_REQ_INVALID, ""},
      {"", QDVP_MSRV_REQ_INVALID, ""},
      {"GETMETAX app", QDVP_MSRV_REQ_INVALID, ""},
      {std::string("GETMETA ab\0/../x", 16), QDVP_MSRV_REQ_REFUSED, "ab"},
      {"GETMETA " + std::string(201, 'a'), QDVP_MSRV_REQ_REFUSED, std::string(200, 'a')},
      {"GETMETA " + std::string(248, 'a'), QDVP_MSRV_REQ_REFUSED, std::string(200, 'a')},
      {"GETMETA " + std::string(200, 'a'), QDVP_MSRV_REQ_GETMETA, std::string(200, 'a')},
  };
  // Names refused as they stand.
  for (const char *name :
       {"../app", "a..b", "/etc/passwd", "sub/app", "sub\\app", ".hidden", "&memory",
        "a\x01"
        "b"}) {
    cases.push_back({std::string("GETMETA ") + name, QDVP_MSRV_REQ_REFUSED, name});
  }
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
TEST(MetaReplyReader, PutsAReplyTogetherByItsRecordCountUpToItsBound) {
  struct Case {
    std::string reply;
    MetaReplyReader::State state;
    int status;
    Strings records;
  };
  std::vector<Case> cases = {
      {"0 \n2 \n//APPL A\nx D 8\n", MetaReplyReader::kComplete, 0, {"//APPL A", "x D 8"}},
      {"0 \n2 \n//APPL A\nx D 8\nextra", MetaReplyReader::kComplete, 0, {"//APPL A", "x D 8"}},
      {"0 \n2 \n\n\n", MetaReplyReader::kComplete, 0, {"", ""}},
      {"1 \n", MetaReplyReader::kComplete, 1, {}},
      {"1 \n0 \nrest", MetaReplyReader::kComplete, 1, {}},
      {"-7\n", MetaReplyReader::kComplete, -7, {}},
  };
  // Replies that are not complete yet, and replies out of form.
  for (const char *reply : {"0 \n2 \n//APPL A\nx D 8", "0 \n2 \n//APPL A\n", "0 \n", ""})
    cases.push_back({reply, MetaReplyReader::kIncomplete, 0, {}});
  const std::string malformed[] = {"0 \n0 \n",          "0 \n-1 \n",     "0 \n\n", "0 \n2x\n",
                                   "0 \n9999999999 \n", "0 \n999999 \n", "ok\n",   " \n",
                                   std::string(40, '0')};
  for (const std::string &reply : malformed)
    cases.push_back({reply, MetaReplyReader::kMalformed, 0, {}});
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
  // A reply is held to QDVP_MSRV_REPLY_MAX bytes, whatever its count line promises.
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
      EXPECT_EQ(anchor_->pMemMetafile.load()->pHead, nullptr);
      return anchor_->pMemMetafile.load()->Status;
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
      // A server closes a connection that stays idle: the next request connects again at once.
      {"good, then closed as idle",
       {{good}, 0ms, true},
       0,
       {"//APPL Remote", "//NAME T E", "A D 8"}},
      {"good on a new connection", {{good}}, 0, {"//APPL Remote", "//NAME T E", "A D 8"}},
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
TEST_F(MetaClient, FetchedMetafileBuildsItsApplicationAndThePortIsTheSameForBothRoles) {
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
  // Server and client take the same port: 7800 + DP_PORT_OFFSET, or QDVP_META_SERVER_PORT; the
  // port is taken while a server holds it.
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
