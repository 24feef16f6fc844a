// The console end to end: a FILE data provider and its agent peer on private ports, commands
// sent by the qdvp console program and as raw datagrams, and what they change: the replies,
// the startup configuration, the process, the peer's database.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/console/console_peer.h"

namespace qdvp_test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), ::toupper);
  return text;
}

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// How many lines of text are exactly line.
size_t Lines(const std::string &text, const std::string &line) {
  std::istringstream in(text);
  size_t count = 0;
  for (std::string each; std::getline(in, each);) count += each == line;
  return count;
}

// A metafile of one event table fed by one file.
std::string Metafile(const std::string &appl, const std::string &logFile,
                     const std::string &moreAttributes = "") {
  return "* console test application\n//APPL " + appl + " @console test\n//NAME Lines E\n" +
         "//SOURCE FILE " + logFile + "\n//ATTRIBUTES ' '\nWord D 32\nCount C 999\n" +
         moreAttributes;
}

class ConsoleE2E : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(world_.Start(), ""); }
  void TearDown() override {
    if (world_.dataProvider() != nullptr && world_.dataProvider()->Running()) {
      EXPECT_EQ(world_.StopDataProvider(), 0) << world_.dataProvider()->Stderr();
    }
  }
  std::string WriteMetafile(const std::string &name, const std::string &text) {
    return world_.dir().Write("metafiles/" + name, text);
  }
  // The name LIST and SHOW give a metafile of the metafile directory.
  std::string Listed(const std::string &name) {
    return Upper(world_.MetafileDir() + "/" + name);
  }
  void Import(const std::string &name) {
    ConsoleResult r = world_.Console({"IMPORT", name});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }

  ConsoleWorld world_;
};

TEST_F(ConsoleE2E, ImportAnswersByWhatTheMetafileHolds) {
  WriteMetafile("good.mdl", Metafile("Good", world_.dir().File("good.log")));
  WriteMetafile("broken.mdl", "//NAME Orphan\n//ATTRIBUTES\nWord D 8\n");
  const struct {
    const char *name;
    int status;
    const char *out;
  } cases[] = {
      {"good.mdl", 0, "result 0: Application imported: good.mdl\n"},
      {"missing.mdl", 1, "result 8: Metafile not found.\n"},
      {"broken.mdl", 1,
       "result 5: Metafile definition error: the metafile was read but no application "
       "resulted.\n"},
      {"good.mdl", 1, "result 4: Application already defined: good.mdl\n"},
  };
  for (const auto &c : cases) world_.ExpectConsole({"IMPORT", c.name}, c.status, c.out);
  // Only the metafile that became an application joins the startup configuration, once.
  std::string config = world_.StartupConfig();
  EXPECT_EQ(Lines(config, "good.mdl"), 1u) << config;
  EXPECT_FALSE(Has(config, "missing.mdl")) << config;
  EXPECT_FALSE(Has(config, "broken.mdl")) << config;
  EXPECT_EQ(world_.Exchange("LIST"), std::vector<std::string>{"0 " + Listed("good.mdl") + " "});
  // CHECK finds an application by metafile or application name.
  const std::pair<const char *, const char *> checks[] = {
      {"CHECK good.mdl", "4 "}, {"check Good", "4 "}, {"CHECK ", "3 "}, {"CHECK broken.mdl", "3 "}};
  for (const auto &[datagram, reply] : checks) {
    EXPECT_EQ(world_.Exchange(datagram), std::vector<std::string>{reply}) << datagram;
  }
  world_.ExpectConsole({"CHECK", "good.mdl"}, 1, "result 4: good.mdl is defined.\n");
  EXPECT_TRUE(WaitFor([&] {
    return world_.PeerQuery("SELECT COUNT(*) FROM applications WHERE name = 'Good' AND "
                            "registered_at IS NOT NULL") == "1";
  })) << "the peer did not see Good registered";
}

// A metafile whose SHOW reply needs several datagrams: 60 attributes with long names.
std::string LargeMetafile(const std::string &logFile) {
  std::string text = "//APPL ConBig\n//NAME Big P 120\n//SOURCE FILE " + logFile +
                     "\n//ATTRIBUTES ','\n";
  for (int i = 0; i < 60; i++) {
    char line[80];
    snprintf(line, sizeof(line), "Attribute_number_%02d_with_a_long_name D 28\n", i);
    text += line;
  }
  return text;
}

TEST_F(ConsoleE2E, ShowSendsALargeApplicationInSeveralParts) {
  WriteMetafile("big.mdl", LargeMetafile(world_.dir().File("big.log")));
  Import("big.mdl");
  std::vector<std::string> parts = world_.Exchange("SHOW big.mdl");
  ASSERT_GE(parts.size(), 3u);
  EXPECT_EQ(parts.front().substr(0, 4), "0 1 ");
  for (size_t i = 1; i + 1 < parts.size(); i++) EXPECT_EQ(parts[i].substr(0, 2), "0 ") << i;
  EXPECT_EQ(parts.back().substr(0, 2), "3 ");
  std::string joined = parts.front().substr(4);
  for (size_t i = 1; i < parts.size(); i++) {
    EXPECT_LE(parts[i].size(), 1600u);
    joined += parts[i].substr(2);
  }
  std::string head = "0;" + Listed("big.mdl") + ";1;ConBig;2;Big;";
  EXPECT_EQ(joined.substr(0, head.size()), head);
  EXPECT_TRUE(Has(joined, "2;Big;Poll Data TTL=120;3;FILE;" + world_.dir().File("big.log") + ";"))
      << joined;
  for (int i = 0; i < 60; i++) {
    char item[80];
    snprintf(item, sizeof(item), "4;Attribute_number_%02d_with_a_long_name;Display Type Max Size 28;", i);
    EXPECT_TRUE(Has(joined, item)) << item;
  }

  // The console program puts the parts together into an outline.
  ConsoleResult r = world_.Console({"SHOW", "big.mdl"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "result 0: Definition of the application:\nApplication ConBig  (metafile " +
                             Listed("big.mdl") + ")\n  Table Big: Poll Data TTL=120\n    Source FILE " +
                             world_.dir().File("big.log") + "\n"))
      << r.out;
  EXPECT_EQ(Lines(r.out, "      Attribute Attribute_number_59_with_a_long_name: Display Type Max Size 28"), 1u)
      << r.out;
  // --raw: the datagrams as they came.
  r = world_.Console({"--raw", "SHOW", "big.mdl"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, 4), "0 1 ");
  EXPECT_TRUE(Has(r.out, "\n3 ")) << r.out;

  EXPECT_EQ(world_.Exchange("SHOW nope.mdl"), std::vector<std::string>{"3 "});
  world_.ExpectConsole({"SHOW", "nope.mdl"}, 1,
                       "result 3: nope.mdl is not defined (neither an application nor a metafile "
                       "of one).\n");
}

TEST_F(ConsoleE2E, ShowOfASmallApplicationMatchesTheGoldenReply) {
  std::string text =
      "//APPL ConSmall\n//NAME Events E\n//SOURCE FILE /var/log/small.log\n//ATTRIBUTES ' '\n"
      "Host D 30 ATOMIC\nLevel S\nCount C 999\nLoad G\nMean A\nStamp T\nObj O 12\n"
      "-Skip K 3\nRest Z 100\n//NAME Keys K 60\n//ATTRIBUTES ','\nKey D 8 KEY\nValue G 50\n";
  WriteMetafile("small.mdl", text);
  Import("small.mdl");
  std::vector<std::string> reply = world_.Exchange("SHOW small.mdl");
  ASSERT_EQ(reply.size(), 1u);
  std::string golden = ReadFile(SourceDir() + "/tests/console/golden/show_small.txt");
  std::string expected = golden.substr(0, golden.find('\n'));
  expected.replace(expected.find("<DIR>"), 5, Upper(world_.MetafileDir()));
  EXPECT_EQ(reply[0], expected);
}

TEST_F(ConsoleE2E, ListAndDeleteFollowTheApplicationsAndTheStartupConfig) {
  world_.ExpectConsole({"LIST"}, 1, "result 2: No application is defined.\n");
  WriteMetafile("a.mdl", Metafile("ConA", world_.dir().File("a.log")));
  WriteMetafile("b.mdl", Metafile("ConB", world_.dir().File("b.log")));
  Import("a.mdl");
  Import("b.mdl");
  world_.ExpectConsole({"list"}, 0,
                       "result 0: Applications defined (metafile names):\n  " + Listed("a.mdl") +
                       "\n  " + Listed("b.mdl") + "\n");
  EXPECT_EQ(world_.Exchange("list"),
            std::vector<std::string>{"0 " + Listed("a.mdl") + " " + Listed("b.mdl") + " "});
  world_.ExpectConsole({"DELETE", "a.mdl"}, 0, "result 0: Application deleted: a.mdl\n");
  std::string config = world_.StartupConfig();
  EXPECT_FALSE(Has(config, "a.mdl")) << config;
  EXPECT_TRUE(Has(config, "b.mdl")) << config;
  EXPECT_EQ(world_.Exchange("LIST"), std::vector<std::string>{"0 " + Listed("b.mdl") + " "});
  world_.ExpectConsole({"DELETE", "a.mdl"}, 1, "result 3: Application not defined: a.mdl\n");
  // By application name as well.
  world_.ExpectConsole({"DELETE", "ConB"}, 0, "result 0: Application deleted: ConB\n");
  EXPECT_EQ(world_.Exchange("LIST"), std::vector<std::string>{"2 "});
  EXPECT_TRUE(WaitFor([&] {
    return world_.PeerQuery("SELECT COUNT(*) FROM applications WHERE name = 'ConA' AND "
                            "unregistered_at IS NOT NULL") == "1";
  })) << "the peer did not see ConA unregistered";
  EXPECT_EQ(world_.PeerQuery("SELECT COUNT(*) FROM sources WHERE application = 'ConA' AND "
                             "offline_at IS NULL"),
            "0");
}

TEST_F(ConsoleE2E, RefreshLoadsTheChangedMetafileAgain) {
  std::string path = WriteMetafile("a.mdl", Metafile("ConA", world_.dir().File("a.log")));
  Import("a.mdl");
  WriteMetafile("a.mdl", Metafile("ConA", world_.dir().File("a.log"), "Extra D 8\n"));
  world_.ExpectConsole({"REFRESH", "a.mdl"}, 0, "result 0: Application refreshed: a.mdl\n");
  std::vector<std::string> show = world_.Exchange("SHOW a.mdl");
  ASSERT_EQ(show.size(), 1u);
  EXPECT_TRUE(Has(show[0], "4;Extra;Display Type Max Size 8;")) << show[0];
  EXPECT_EQ(Lines(world_.StartupConfig(), "a.mdl"), 1u) << world_.StartupConfig();

  world_.ExpectConsole({"REFRESH", "nope.mdl"}, 1,
                       "result 3: Application not defined, not refreshed: nope.mdl\n");

  // A metafile broken since: the application is gone, its configuration line stays.
  WriteMetafile("a.mdl", "//NAME Orphan\n//ATTRIBUTES\nWord D 8\n");
  world_.ExpectConsole({"REFRESH", "a.mdl"}, 1,
                       "result 5: Metafile definition error: the metafile was read but no "
                       "application resulted.\n");
  EXPECT_EQ(world_.Exchange("LIST"), std::vector<std::string>{"2 "});
  EXPECT_EQ(Lines(world_.StartupConfig(), "a.mdl"), 1u);
}

// Commands a FILE data provider does not carry out, and datagrams that are no command, are
// answered (or not) at once and leave the console free for the next.
TEST_F(ConsoleE2E, CommandsOutsideWhatAFileDataProviderDoesAndBadDatagrams) {
  const struct {
    std::string datagram;
    std::vector<std::string> replies;
  } cases[] = {
      {"LISTS", {"1 "}},
      {"LIS", {"1 "}},
      {"frobnicate now", {"1 "}},
      {"SET x", {"1 "}},
      {"validate a.mdl", {"1 "}},
      {"UNPACK a.mdl", {"1 "}},
      {"TRAPCNFG", {"10 "}},
      {"LOADCOMM", {"10 "}},
      {"loadname", {"10 "}},
      {"LOADLIST nodes.cfg", {"10 "}},
      {"ACCEPT nope.mdl", {"3 "}},
      {"GETPORT", {"0 1 " + std::to_string(world_.consolePort())}},
      {"", {}},
      {" \t\r\n", {}},
      {std::string("\0LIST", 5), {}},
      {std::string(1599, 'X'), {"1 "}},
      {std::string(1600, 'X'), {"1 "}},
      {std::string(5000, 'Y'), {"1 "}},
      {"\x01\x02\xff\xfe\x7f binary", {"1 "}},
      {std::string("LIST\0garbage", 12), {"2 "}},
      // PING is answered by API data providers only.
      {"PING", {}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(world_.Exchange(c.datagram, c.replies.empty() ? milliseconds(1500) : seconds(3)),
              c.replies)
        << c.datagram.substr(0, 20) << " (" << c.datagram.size() << " bytes)";
  }
  EXPECT_EQ(world_.Exchange("LIST"), std::vector<std::string>{"2 "});
  EXPECT_TRUE(world_.dataProvider()->Running());

  ConsoleResult r = world_.Console({"frobnicate"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.out, "result 1: Invalid command")) << r.out;
  world_.ExpectConsole({"PING"}, 1,
                       "result 9: Command sent; the data provider sends no reply to it.\n");
  world_.ExpectConsole({"LOADCOMM"}, 1,
                       "result 10: LOADCOMM rejected: not an SNMP data provider.\n");
  // The program finds the port from the type and QDVP_DPCONSOLE_PORT.
  std::string out, err;
  int status = qdvp_test::Run({BinDir() + "/qdvp", "console", "--type", "file", "getport"},
                   {{"QDVP_DPCONSOLE_PORT", std::to_string(world_.consolePort() - 1)}}, &out, &err);
  EXPECT_EQ(status, 0) << err;
  EXPECT_TRUE(Has(out, "type FILE (1), console port " + std::to_string(world_.consolePort())))
      << out;
}

TEST_F(ConsoleE2E, CommandsThatArriveWhileOneRunsAreRejected) {
  // IMPORT of a FIFO blocks until the test writes the metafile into it: a command that runs
  // as long as the test wants.
  std::string fifo = world_.MetafileDir() + "/slow.mdl";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  UdpSocket importer;
  importer.SendTo(world_.consolePort(), world_.Sealed("IMPORT slow.mdl"));
  ASSERT_TRUE(WaitFor([&] {
    return Has(ReadFile(world_.dir().File("trace.log")), "Console command IMPORT Parameter slow.mdl");
  }));
  for (const char *burst : {"LIST", "SHOW slow.mdl", "SHUTDOWN", "LIST"}) {
    EXPECT_EQ(world_.Exchange(burst), std::vector<std::string>{"7 3"}) << burst;
  }
  world_.ExpectConsole(
      {"LIST"}, 1, "result 7: Command rejected: another console command is in progress, code 3\n");
  // The waiting requester hears every 15 seconds that its command still runs.
  EXPECT_EQ(importer.Receive(seconds(20)).value_or("(none)"), "99 ");

  int fd = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  std::string text = Metafile("ConSlow", world_.dir().File("slow.log"));
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  EXPECT_EQ(importer.Receive(seconds(10)).value_or("(none)"), "0 ");
  EXPECT_EQ(world_.Exchange("LIST"), std::vector<std::string>{"0 " + Listed("slow.mdl") + " "});
  EXPECT_TRUE(world_.dataProvider()->Running());
}

TEST_F(ConsoleE2E, SecondStartOfTheTypeIsRefusedWhileTheFirstRuns) {
  std::string out, err;
  int status = qdvp_test::Run({BinDir() + "/qdvp", "start", "file"}, world_.Env(), &out, &err);
  EXPECT_EQ(status, 1) << err;
  EXPECT_EQ(out, "QDVPV89E Same type DP is already active in the system. DP startup ended.\n");
  EXPECT_NE(err.find("ended during start-up"), std::string::npos) << err;
  EXPECT_TRUE(world_.dataProvider()->Running());
  EXPECT_EQ(world_.Exchange("LIST"), std::vector<std::string>{"2 "});
}

TEST_F(ConsoleE2E, ShutdownEndsTheDataProvider) {
  std::string log = world_.dir().Write("a.log", "");
  WriteMetafile("a.mdl", Metafile("ConA", log));
  Import("a.mdl");
  // The imported application's file is followed: its rows reach the peer, its source is
  // online there, and the shutdown takes it offline.
  int line = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        std::ofstream(log, std::ios::app) << "word" << line++ << " 7\n";
        return world_.PeerQuery("SELECT COUNT(*) FROM rows WHERE application = 'ConA'") != "0";
      },
      seconds(30)))
      << "no row of ConA at the peer";
  EXPECT_NE(world_.PeerQuery("SELECT COUNT(*) FROM sources WHERE application = 'ConA' AND "
                             "offline_at IS NULL"), "0");
  world_.ExpectConsole({"SHUTDOWN"}, 0, "result 0: Data provider shut down.\n");
  EXPECT_EQ(world_.dataProvider()->Wait(seconds(20)), 0) << world_.dataProvider()->Stderr();
  EXPECT_TRUE(UdpSocket().Bind(world_.consolePort())) << "the console port is still held";
  // The startup configuration keeps the application for the next start.
  EXPECT_TRUE(Has(world_.StartupConfig(), "a.mdl"));
  EXPECT_TRUE(WaitFor([&] {
    return world_.PeerQuery("SELECT COUNT(*) FROM sources WHERE application = 'ConA' AND "
                            "offline_at IS NULL") == "0";
  })) << "the peer did not see ConA's source go offline at the shutdown";
  ConsoleResult r = world_.Console({"LIST"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Has(r.err, "No data provider answered on 127.0.0.1 port")) << r.err;
}

TEST(ConsolePackaged, CheckIsRefusedWhenMetafileCommandsAreDisabled) {
  ConsoleWorld world;
  std::string productFile = world.dir().Write("product.cfg", "ENABLE_METAFILE_COMMANDS=\n");
  ASSERT_EQ(world.Start({{"QDVP_PRODUCT_SPEC", productFile}}), "");
  world.ExpectConsole({"CHECK", "a.mdl"}, 1,
                      "result 13: Command not supported for a packaged product configuration.\n");
  EXPECT_EQ(world.StopDataProvider(), 0);
}

// SNMP and API data providers answer the commands that are theirs.
TEST(ConsoleOtherTypes, SnmpReloadsAndApiPing) {
  {
    ConsoleWorld world;
    ASSERT_EQ(world.Start({}, 5), "");
    const struct {
      const char *datagram;
      std::string reply;
    } cases[] = {
        {"TRAPCNFG", "11 "},  // no trap configuration file
        {"LOADCOMM", "11 "},
        {"LOADNAME", "11 "},
        {"LOADLIST nodes.cfg", "60 "},
        {"GETPORT", "0 5 " + std::to_string(world.consolePort())},
    };
    for (const auto &c : cases) {
      EXPECT_EQ(world.Exchange(c.datagram), std::vector<std::string>{c.reply}) << c.datagram;
    }
    world.ExpectConsole({"LOADCOMM"}, 1, "result 11: SNMP community name reload failed.\n");
    // Once the files exist the reloads read them.
    world.dir().Write("qdvpcomm.cfg", "127.0.0.1 secret\n");
    world.dir().Write("qdvpname.cfg", "10.1 lab\n");
    EXPECT_EQ(world.Exchange("LOADCOMM"), std::vector<std::string>{"0 "});
    EXPECT_EQ(world.Exchange("LOADNAME"), std::vector<std::string>{"0 "});
    EXPECT_EQ(world.StopDataProvider(), 0);
  }
  {
    ConsoleWorld world;
    ASSERT_EQ(world.Start({}, 0), "");
    std::vector<std::string> reply = world.Exchange("PING");
    ASSERT_EQ(reply.size(), 1u);
    long start = atol(reply[0].substr(2).c_str());
    EXPECT_EQ(reply[0], "0 " + std::to_string(start));
    EXPECT_LE(std::abs(time(nullptr) - start), 60);
    ConsoleResult r = world.Console({"ping"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r.out, "result 0: Data provider start time (seconds since 1970): " +
                               std::to_string(start) + "\n  started "))
        << r.out;
    EXPECT_EQ(world.StopDataProvider(), 0);
  }
}

}  // namespace
}  // namespace qdvp_test
