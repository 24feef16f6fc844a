// The metafile server end to end: a FILE data provider serves its metafile directory, a
// second one fetches a metafile that its startup configuration names and that it lacks, and
// the fetched application's rows reach qdvp-dch. Against the serving data provider directly:
// the requests it refuses, a thousand clients at once, and a client that never reads.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "metaserver/qdvpmsrv.h"
#include "metaserver/qdvpmswr.h"
#include "tests/support/dpworld.h"

namespace {

using namespace std::chrono_literals;
using qdvp_test::Child;
using qdvp_test::WaitFor;
using Clock = std::chrono::steady_clock;

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
  ASSERT_TRUE(WaitFor([&] { return trace().find("Initial file record count") != std::string::npos; },
                      20s))
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
  struct Case {
    std::string request, reply;
  } cases[] = {
      {"GETMETA " + std::string(10000, 'a'), refused},
      {std::string("GETMETA Shared\0/../../x", 23), refused},
      {"GETMETA ../metafiles/Shared.mdl", refused},
      {"GETMETA ..", refused},
      {"GETMETA " + File("metafiles/Shared.mdl"), refused},
      {"GETMETA /etc/passwd", refused},
      {"GETMETA sub/x.mdl", refused},
      {"GETMETA sub", refused},
      {"GETMETA adir", refused},
      {"GETMETA out", refused},
      {"GETMETA passwd", refused},
      {"GETMETA zero", refused},
      {"GETMETA pipe", refused},
      {"GETMETA big", refused},
      {"GETMETA missing", refused},
      {"GETMETA .Shared.mdl", refused},
      {"GETMETA &Shared", refused},
      {"GETMETA", ""},
      {"HELLO Shared", ""},
      {"GETMETA Shared", "0 \n6 \n" + shared},
      {"GETMETA inside", "0 \n6 \n" + shared},
  };
  int refusals = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.request.substr(0, 40));
    EXPECT_EQ(Ask(c.request, c.reply.empty() ? 500ms : 5s), c.reply);
    refusals += c.reply == refused;
  }
  EXPECT_EQ(Logged("failed. File not found."), refusals);
  EXPECT_NE(Trace().find("refused: a symbolic link out of the metafile directory"),
            std::string::npos);
  EXPECT_NE(Trace().find("refused: larger than the 1 MiB"), std::string::npos);
  EXPECT_TRUE(qdvp_->Running());
}

// A thousand clients at once: the first QDVP_MSRV_MAX_PARTNERS are served, the others closed,
// and the server serves the next client once they have gone.
TEST_F(MetafileServer, AThousandClientsAtOnceAreServedOrClosedAndTheServerGoesOn) {
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
  // Slots freed as clients go are taken by those still waiting to be accepted.
  EXPECT_GE(served, QDVP_MSRV_MAX_PARTNERS);
  EXPECT_LT(served, 1000);
  EXPECT_GT(qdvp_test::Occurrences(Trace(), "refused: 64 clients connected"), 0);
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
  ASSERT_TRUE(WaitFor([&] { return Trace().find("did not take its reply of large within 2 "
                                                "seconds. Dropped") != std::string::npos; },
                      15s));
  EXPECT_GE(Clock::now() - asked, 2s);
  // The DP log message of the drop follows its trace line.
  WaitFor([&] { return Logged("disconnected from metafile server") >= 2; });
  EXPECT_EQ(Logged("disconnected from metafile server"), 2);  // the other client and this one
  close(stuck);
  EXPECT_EQ(Ask("GETMETA Shared").rfind("0 \n6 \n", 0), 0u);
}

}  // namespace
