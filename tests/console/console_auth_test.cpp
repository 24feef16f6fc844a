// The console's authentication end to end: a FILE data provider refuses the commands that
// change it unless their datagram is sealed with its console key, in time and only once;
// anyone local still gets the open ones; the key file is made private and a key file others
// could read is not used; and a flood of datagrams leaves the console answering within
// moments of its end. Also the seal itself against the HMAC of its documented text.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "include/qdvp_consauth.h"
#include "tests/console/console_world.h"

namespace qdvp_test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;
using Key = std::vector<unsigned char>;

// A UDP socket on one loopback address (127.0.0.1, 127.0.0.2, ...), as any local process may
// open one.
struct Sender : UdpSocket {
  explicit Sender(const char *address) { Bind(0, address); }
};

Key ReadKey(const std::string &path) {
  Key key(QDVP_CONSOLE_KEY_SIZE);
  EXPECT_EQ(QDVP_LoadConsoleKey(path.c_str(), 0, key.data()), QDVP_KEY_OK) << path;
  return key;
}

std::string Seal(const Key &key, int port, long stamp, const std::string &command,
                 const char *nonce = nullptr) {
  char fresh[QDVP_CONSOLE_NONCE_DIGITS + 1];
  if (nonce == nullptr) {
    EXPECT_TRUE(QDVP_NewConsoleNonce(fresh));
    nonce = fresh;
  }
  std::string datagram = SealWith(key.data(), port, stamp, nonce, command);
  EXPECT_FALSE(datagram.empty());
  return datagram;
}

long Now() { return static_cast<long>(time(nullptr)); }

class ConsoleAuth : public ConsoleWorld {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ConsoleWorld::SetUp());
    ASSERT_EQ(Start(), "");
    dir_.Write("metafiles/a.mdl", LinesMetafile("ConA", File("a.log")));
    ConsoleResult r = Console({"IMPORT", "a.mdl"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    listed_ = "0 " + Listed("a.mdl") + " ";
  }
  // The data provider is still there, with its application and configuration.
  void ExpectUnchanged(const std::string &config) {
    EXPECT_TRUE(qdvp_->Running());
    EXPECT_EQ(Exchange("LIST"), Strings{listed_});
    EXPECT_EQ(StartupConfig(), config);
  }

  std::string listed_;  // the LIST reply with a.mdl imported
};

using ConsoleKeyFile = ConsoleWorld;

// Unsealed, anyone local gets the open commands and is refused the others (each refusal a DP
// log message); sealed, only the key, in time and once, opens the seal.
TEST_F(ConsoleAuth, OnlyTheOperatorsSealInTimeAndOnceOpensTheCommandsThatChange) {
  std::string secret = dir_.Write("secret.mdl", LinesMetafile("Secret", "/etc/shadow"));
  std::string config = StartupConfig();
  const int port = port_;
  const Key key = ReadKey(KeyFile());
  const Key other(QDVP_CONSOLE_KEY_SIZE, 0x5a);
  std::string changed = Seal(key, port, Now(), "DELETE b.mdl");
  changed.replace(changed.size() - 5, 1, "a");
  const struct {
    const char *from;
    std::string datagram;
    std::string reply;
    // The command named by the DP log message; null when none is refused, or for a sealed
    // datagram (the refusals are logged ten a minute: only the unsealed ones are counted).
    const char *word;
  } cases[] = {
      {"127.0.0.1", "SHUTDOWN", "14 no authentication", "SHUTDOWN"},
      {"127.0.0.2", "SHUTDOWN", "14 no authentication", "SHUTDOWN"},
      {"127.0.0.1", "DELETE a.mdl", "14 no authentication", "DELETE"},
      {"127.0.0.2", "delete ConA", "14 no authentication", "DELETE"},
      {"127.0.0.1", "IMPORT " + secret, "14 no authentication", "IMPORT"},
      {"127.0.0.2", "IMPORT " + secret, "14 no authentication", "IMPORT"},
      {"127.0.0.2", "QDVPAUTH1 1 2 3 SHUTDOWN", "14 malformed authentication", "QDVPAUTH1"},
      {"127.0.0.2", "LIST", listed_, nullptr},
      {"127.0.0.2", "GETPORT", "0 1 " + std::to_string(port), nullptr},
      {"127.0.0.2", "CHECK a.mdl", "4 ", nullptr},
      {"127.0.0.2", "NOSUCH", "1 ", nullptr},
      // another key, another console port, a changed command
      {"127.0.0.1", Seal(other, port, Now(), "DELETE a.mdl"), "14 wrong key or changed text",
       nullptr},
      {"127.0.0.1", Seal(key, port + 1, Now(), "DELETE a.mdl"), "14 wrong key or changed text",
       nullptr},
      {"127.0.0.1", changed, "14 wrong key or changed text", nullptr},
      // stamps two minutes old and ahead, a stamp cut short
      {"127.0.0.1", Seal(key, port, Now() - 120, "DELETE a.mdl"),
       "14 time stamp outside the window", nullptr},
      {"127.0.0.1", Seal(key, port, Now() + 120, "DELETE a.mdl"),
       "14 time stamp outside the window", nullptr},
      {"127.0.0.1", Seal(key, port, Now(), "DELETE a.mdl").substr(0, 40),
       "14 malformed authentication", nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.from) + " " + c.datagram);
    Sender sender(c.from);
    EXPECT_EQ(sender.Exchange(port, c.datagram), c.reply);
    if (c.word == nullptr) continue;
    std::string message = std::string("Console command ") + c.word + " from address " + c.from +
                          " port " + std::to_string(sender.port()) + " refused: " +
                          c.reply.substr(3) + ".";
    EXPECT_TRUE(WaitFor([&] { return Logged(message) == 1; })) << message;
  }
  ExpectUnchanged(config);
  ConsoleResult r = Console({"SHOW", "Secret"});
  EXPECT_EQ(r.status, 1) << r.out;

  // The operator's sealed datagram works once; captured and sent again, from anywhere, it is
  // refused.
  std::string captured = Seal(key, port, Now(), "DELETE a.mdl");
  EXPECT_EQ(Sender("127.0.0.1").Exchange(port, captured), "0 ");
  for (const char *from : {"127.0.0.1", "127.0.0.2"}) {
    EXPECT_EQ(Sender(from).Exchange(port, captured), "14 replayed") << from;
  }
  EXPECT_EQ(Exchange("LIST"), std::vector<std::string>{"2 "});
  EXPECT_EQ(StartupConfig().find("a.mdl"), std::string::npos);
  EXPECT_TRUE(qdvp_->Running());
}

TEST_F(ConsoleKeyFile, IsCreatedPrivateAtTheFirstStartAndAFloodLeavesTheOperatorAnswered) {
  ASSERT_EQ(Start(), "");
  struct stat st;
  ASSERT_EQ(lstat(KeyFile().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, geteuid());
  std::string text = ReadFile(KeyFile());
  ASSERT_EQ(text.size(), 2u * QDVP_CONSOLE_KEY_SIZE + 1) << text;
  EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), 2u * QDVP_CONSOLE_KEY_SIZE);
  // A flood of datagrams leaves the operator answered within seconds of its end.
  const std::string datagrams[] = {"GETPORT", "SHUTDOWN", "LIST", "QDVPAUTH1 x"};
  Sender flooder("127.0.0.2");
  long sent = 0;
  for (auto end = Clock::now() + seconds(3); Clock::now() < end; sent++) {
    flooder.SendTo(port_, datagrams[sent % 4]);
  }
  auto floodEnd = Clock::now();
  ConsoleResult r = Console({"GETPORT"});
  auto took = Clock::now() - floodEnd;
  EXPECT_EQ(r.status, 0) << sent << " datagrams sent; " << r.out << r.err;
  EXPECT_LT(took, seconds(5)) << sent << " datagrams sent";
  ExpectConsole({"LIST"}, 1, "result 2: No application is defined.\n");
  EXPECT_TRUE(qdvp_->Running());
  // The refusals of the flood are logged ten a minute, not one each.
  int logged = Logged("Console command");
  EXPECT_GE(logged, 1);
  EXPECT_LE(logged, 10);
  // The operator's program uses the key without being told: SHUTDOWN works.
  ExpectConsole({"SHUTDOWN"}, 0, "result 0: Data provider shut down.\n");
  Stop();
  // The next start keeps the key, and refuses what was sealed before it started.
  std::string before = Sealed("STATS");
  long sealedAt = Now();
  ASSERT_TRUE(WaitFor([&] { return Now() > sealedAt + 1; }));
  ASSERT_EQ(Start(), "");
  EXPECT_EQ(ReadFile(KeyFile()), text);
  EXPECT_EQ(Sender("127.0.0.1").Exchange(port_, before),
            "14 time stamp outside the window");
  EXPECT_EQ(Exchange("STATS").at(0).substr(0, 2), "0 ");
  Stop();
}

TEST_F(ConsoleKeyFile, OneOthersCouldReadOrThatIsNoFileIsNotUsed) {
  const std::string keyText(2 * QDVP_CONSOLE_KEY_SIZE, 'a');
  const Key key(QDVP_CONSOLE_KEY_SIZE, 0xaa);
  const struct {
    const char *what;
    mode_t mode;
    bool symlink;
    std::string text;
    const char *why;
  } cases[] = {
      {"group-readable", 0640, false, keyText + "\n", "may be read or written by group or others"},
      {"world-readable", 0604, false, keyText + "\n", "may be read or written by group or others"},
      {"group-writable", 0620, false, keyText + "\n", "may be read or written by group or others"},
      {"a symbolic link", 0600, true, keyText + "\n", "is not a regular file"},
      {"no key", 0600, false, "secret\n", "holds no key"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    unlink(KeyFile().c_str());
    std::string target = dir_.Write(c.symlink ? "elsewhere.key" : "qdvpcons.key", c.text);
    ASSERT_EQ(chmod(target.c_str(), c.mode), 0);
    if (c.symlink) {
      ASSERT_EQ(symlink(target.c_str(), KeyFile().c_str()), 0);
    }
    ASSERT_EQ(Start(), "");
    EXPECT_NE(qdvp_->Stderr().find("Console key file " + KeyFile() + " " +
                                                  c.why),
              std::string::npos)
        << qdvp_->Stderr();
    // Not even the key the file holds opens a seal.
    EXPECT_EQ(Sender("127.0.0.1").Exchange(port_,
                                           Seal(key, port_, Now(), "SHUTDOWN")),
              "14 the data provider has no console key");
    EXPECT_TRUE(qdvp_->Running());
    struct stat st;
    ASSERT_EQ(lstat(KeyFile().c_str(), &st), 0);
    EXPECT_EQ(S_ISLNK(st.st_mode), c.symlink);
    EXPECT_EQ(ReadFile(target), c.text);
    Stop();
  }
}

// The seal is the documented text with the HMAC-SHA256 of "QDVPAUTH1 port stamp nonce
// command"; opening it finds each kind of damage.
TEST(ConsoleSeal, IsTheHmacOfItsDocumentedText) {
  Key key(QDVP_CONSOLE_KEY_SIZE);
  for (size_t i = 0; i < key.size(); i++) key[i] = static_cast<unsigned char>(i);
  const std::string signedText = "QDVPAUTH1 7701 1764970000 0123456789abcdef DELETE a.mdl";
  unsigned char mac[32];
  unsigned int macLength = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char *>(signedText.data()), signedText.size(), mac,
       &macLength);
  ASSERT_EQ(macLength, 32u);
  std::string hex;
  for (unsigned char b : mac) {
    char two[3];
    snprintf(two, sizeof(two), "%02x", b);
    hex += two;
  }
  const std::string sealed = "QDVPAUTH1 1764970000 0123456789abcdef " + hex + " DELETE a.mdl";
  EXPECT_EQ(Seal(key, 7701, 1764970000, "DELETE a.mdl", "0123456789abcdef"), sealed);

  std::string flipped = sealed;
  flipped[40] = flipped[40] == '0' ? '1' : '0';
  const struct {
    std::string datagram;
    int port;
    int status;
  } cases[] = {
      {sealed, 7701, QDVP_SEAL_GOOD},
      {sealed, 7702, QDVP_SEAL_WRONG},
      {flipped, 7701, QDVP_SEAL_WRONG},
      {sealed + "x", 7701, QDVP_SEAL_WRONG},
      {"DELETE a.mdl", 7701, QDVP_SEAL_NONE},
      {"QDVPAUTH1X DELETE", 7701, QDVP_SEAL_NONE},
      {"QDVPAUTH1", 7701, QDVP_SEAL_MALFORMED},
      {"QDVPAUTH1 ", 7701, QDVP_SEAL_MALFORMED},
      {"QDVPAUTH1 12x 0123456789abcdef " + hex + " LIST", 7701, QDVP_SEAL_MALFORMED},
      {"QDVPAUTH1 1 0123456789ABCDEF " + hex + " LIST", 7701, QDVP_SEAL_MALFORMED},
      {"QDVPAUTH1 1 0123456789abcdef " + hex.substr(1) + " LIST", 7701, QDVP_SEAL_MALFORMED},
      {"QDVPAUTH1 1 0123456789abcdef " + hex, 7701, QDVP_SEAL_MALFORMED},
      {"QDVPAUTH1 1234567890123 0123456789abcdef " + hex + " LIST", 7701, QDVP_SEAL_MALFORMED},
  };
  for (const auto &c : cases) {
    long stamp = -1;
    char nonce[QDVP_CONSOLE_NONCE_DIGITS + 1];
    size_t command = 0;
    EXPECT_EQ(QDVP_OpenConsoleSeal(key.data(), c.port, c.datagram.data(), c.datagram.size(),
                                   &stamp, nonce, &command),
              c.status)
        << c.datagram;
    if (c.status == QDVP_SEAL_GOOD) {
      EXPECT_EQ(stamp, 1764970000);
      EXPECT_STREQ(nonce, "0123456789abcdef");
      EXPECT_EQ(c.datagram.substr(command), "DELETE a.mdl");
    }
  }
}

}  // namespace
}  // namespace qdvp_test
