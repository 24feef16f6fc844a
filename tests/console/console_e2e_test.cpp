// The console end to end: a data provider (FILE unless said otherwise) and its agent peer on
// private ports, commands sent by the qdvp console program and as raw datagrams, and what they
// change: the replies, the startup configuration, the process, the peer's database. And the
// console commands of take actions, with the data provider in this process; and the pieces that
// need no data provider: the splitting of a command buffer, the console messages and which
// message explains which result. (Command words are matched whole and upper-cased: see the
// datagram and take-action tests.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "include/qdvp_console.h"
#include "include/qdvp_model.h"
#include "tests/core/core_test_util.h"
#include "tests/console/console_world.h"

namespace qdvp_test {
namespace {

TEST(ConsoleBuffer, SplitsAtBlanksTabsAndLineEnds) {
  const struct {
    const char *buffer;
    const char *word;
    const char *operand;
  } cases[] = {
      {"LIST", "LIST", nullptr},
      {"list\n", "list", nullptr},
      {"  IMPORT   app.mdl  ", "IMPORT", "app.mdl"},
      {"SHOW\tapp extra words", "SHOW", "app"},
      {"DELETE app\r\n", "DELETE", "app"},
      {"", nullptr, nullptr},
      {" \t\r\n ", nullptr, nullptr},
  };
  for (const auto &c : cases) {
    std::string buffer = c.buffer;
    char *operand = reinterpret_cast<char *>(1);
    char *word = QDVP_SplitConsoleBuffer(buffer.data(), &operand);
    EXPECT_STREQ(word, c.word) << c.buffer;
    EXPECT_STREQ(operand, c.operand) << c.buffer;
  }
}

TEST(ConsoleMessages, InsertsFillDollarAndHash) {
  char text[300];
  // '$' first: the insert goes in front and the '$' becomes a blank.
  EXPECT_STREQ(QDVP_FormatConsoleMessage(3, "app.mdl", text, sizeof(text)),
               "app.mdl is not defined (neither an application nor a metafile of one).");
  // '#': the insert is written from there on.
  EXPECT_STREQ(QDVP_FormatConsoleMessage(20, "app.mdl", text, sizeof(text)),
               "Application imported: app.mdl");
  // Without an insert the text is unchanged.
  EXPECT_STREQ(QDVP_FormatConsoleMessage(20, nullptr, text, sizeof(text)),
               "Application imported: #");
  EXPECT_STREQ(QDVP_FormatConsoleMessage(99, nullptr, text, sizeof(text)), "Console message 99");
  std::string longInsert(400, 'x');
  EXPECT_LE(strlen(QDVP_FormatConsoleMessage(20, longInsert.c_str(), text, sizeof(text))), 256u);
}

TEST(ConsoleMessages, EachResultHasItsMessage) {
  const struct {
    int command, rc, message;
  } cases[] = {
      {QDVP_CMD_DELETE, 0, 17},   {QDVP_CMD_DELETE, 3, 13},   {QDVP_CMD_DELETE, 5, 14},
      {QDVP_CMD_IMPORT, 0, 20},   {QDVP_CMD_IMPORT, 4, 21},   {QDVP_CMD_IMPORT, 5, 34},
      {QDVP_CMD_IMPORT, 6, 35},   {QDVP_CMD_IMPORT, 8, 43},   {QDVP_CMD_IMPORT, 12, 50},
      {QDVP_CMD_IMPORT, 1, 22},   {QDVP_CMD_REFRESH, 3, 23},  {QDVP_CMD_REFRESH, 0, 27},
      {QDVP_CMD_REFRESH, 9, 24},  {QDVP_CMD_TRAPCNFG, 0, 45}, {QDVP_CMD_TRAPCNFG, 10, 44},
      {QDVP_CMD_TRAPCNFG, 11, 47}, {QDVP_CMD_TRAPCNFG, 1, 46}, {QDVP_CMD_LOADCOMM, 10, 51},
      {QDVP_CMD_LOADCOMM, 11, 53}, {QDVP_CMD_LOADNAME, 0, 55}, {QDVP_CMD_LOADLIST, 60, 60},
      {QDVP_CMD_LOADLIST, 10, 57}, {QDVP_CMD_LIST, 0, 26},     {QDVP_CMD_LIST, 2, 2},
      {QDVP_CMD_SHOW, 0, 31},     {QDVP_CMD_CHECK, 4, 25},    {QDVP_CMD_CHECK, 3, 3},
      {QDVP_CMD_CHECK, 13, 15},   {QDVP_CMD_SHUTDOWN, 0, 19}, {QDVP_CMD_COUNT, 1, 1},
      {QDVP_CMD_LIST, 7, 7},      {QDVP_CMD_PING, 9, 9},      {QDVP_CMD_LIST, 99, 11},
      {QDVP_CMD_LIST, 42, 16},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(QDVP_ConsoleResultMessage(c.command, c.rc), c.message)
        << "command " << c.command << " result " << c.rc;
  }
}

// How many lines of text are exactly line.
size_t Lines(const std::string &text, const std::string &line) {
  std::istringstream in(text);
  size_t count = 0;
  for (std::string each; std::getline(in, each);) count += each == line;
  return count;
}


class ConsoleE2E : public ConsoleWorld {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ConsoleWorld::SetUp());
    ASSERT_EQ(Start(), "");
  }
};

// The name of attribute i of the large metafile.
std::string LongName(int i) {
  return "Attribute_number_" + std::string(i < 10 ? "0" : "") + std::to_string(i) +
         "_with_a_long_name";
}

// A metafile whose SHOW reply needs several datagrams: 60 attributes with long names; one whose
// reply is one datagram, compared with the golden reply.
TEST_F(ConsoleE2E, ShowSendsALargeApplicationInSeveralPartsAndASmallOneAsTheGoldenReply) {
  std::string text =
      "//APPL ConBig\n//NAME Big P 120\n//SOURCE FILE " + File("big.log") + "\n//ATTRIBUTES ','\n";
  for (int i = 0; i < 60; i++) text += LongName(i) + " D 28\n";
  WriteMetafile("big.mdl", text);
  Import("big.mdl");
  Strings parts = Exchange("SHOW big.mdl");
  ASSERT_GE(parts.size(), 3u);
  EXPECT_EQ(parts.front().substr(0, 4), "0 1 ");
  std::string joined = parts.front().substr(4);
  // The parts between begin "0 ", the last "3 ".
  for (size_t i = 1; i < parts.size(); i++) {
    EXPECT_EQ(parts[i].substr(0, 2), i + 1 < parts.size() ? "0 " : "3 ") << i;
    EXPECT_LE(parts[i].size(), 1600u);
    joined += parts[i].substr(2);
  }
  std::string head = "0;" + Listed("big.mdl") + ";1;ConBig;2;Big;";
  EXPECT_EQ(joined.substr(0, head.size()), head);
  EXPECT_TRUE(Has(joined, "2;Big;Poll Data TTL=120;3;FILE;" + File("big.log") + ";")) << joined;
  for (int i = 0; i < 60; i++) {
    EXPECT_TRUE(Has(joined, "4;" + LongName(i) + ";Display Type Max Size 28;")) << i;
  }

  // The console program puts the parts together into an outline.
  ConsoleResult r = Console({"SHOW", "big.mdl"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(
      Has(r.out, "result 0: Definition of the application:\nApplication ConBig  (metafile " +
                     Listed("big.mdl") + ")\n  Table Big: Poll Data TTL=120\n" +
                     "    Source FILE " + File("big.log") + "\n"))
      << r.out;
  EXPECT_EQ(Lines(r.out, "      Attribute " + LongName(59) + ": Display Type Max Size 28"), 1u)
      << r.out;
  // --raw: the datagrams as they came.
  r = Console({"--raw", "SHOW", "big.mdl"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, 4), "0 1 ");
  EXPECT_TRUE(Has(r.out, "\n3 ")) << r.out;

  EXPECT_EQ(Exchange("SHOW nope.mdl"), Strings{"3 "});
  ExpectConsole({"SHOW", "nope.mdl"}, 1,
                "result 3: nope.mdl is not defined (neither an application nor a metafile of "
                "one).\n");

  // A small application's reply is one datagram, the golden reply.
  WriteMetafile("small.mdl",
      "//APPL ConSmall\n//NAME Events E\n//SOURCE FILE /var/log/small.log\n//ATTRIBUTES ' '\n"
      "Host D 30 ATOMIC\nLevel S\nCount C 999\nLoad G\nMean A\nStamp T\nObj O 12\n"
      "-Skip K 3\nRest Z 100\n//NAME Keys K 60\n//ATTRIBUTES ','\nKey D 8 KEY\nValue G 50\n");
  Import("small.mdl");
  Strings reply = Exchange("SHOW small.mdl");
  ASSERT_EQ(reply.size(), 1u);
  std::string golden = ReadFile(SourceDir() + "/tests/console/golden/show_small.txt");
  std::string expected = golden.substr(0, golden.find('\n'));
  expected.replace(expected.find("<DIR>"), 5, Upper(File("metafiles")));
  EXPECT_EQ(reply[0], expected);
}

TEST_F(ConsoleE2E, ListDeleteAndImportFollowTheApplicationsAndTheStartupConfig) {
  ExpectConsole({"LIST"}, 1, "result 2: No application is defined.\n");
  WriteMetafile("a.mdl", LinesMetafile("ConA", File("a.log")));
  WriteMetafile("b.mdl", LinesMetafile("ConB", File("b.log")));
  Import("a.mdl");
  Import("b.mdl");
  ExpectConsole({"list"}, 0,
                "result 0: Applications defined (metafile names):\n  " + Listed("a.mdl") + "\n  " +
                    Listed("b.mdl") + "\n");
  EXPECT_EQ(Exchange("list"), Strings{"0 " + Listed("a.mdl") + " " + Listed("b.mdl") + " "});
  ExpectConsole({"DELETE", "a.mdl"}, 0, "result 0: Application deleted: a.mdl\n");
  EXPECT_EQ(StartupConfig(), "* console test\nb.mdl\n");
  EXPECT_EQ(Exchange("LIST"), Strings{"0 " + Listed("b.mdl") + " "});
  ExpectConsole({"DELETE", "a.mdl"}, 1, "result 3: Application not defined: a.mdl\n");
  // By application name as well.
  ExpectConsole({"DELETE", "ConB"}, 0, "result 0: Application deleted: ConB\n");
  EXPECT_EQ(Exchange("LIST"), Strings{"2 "});
  EXPECT_TRUE(
      WaitPeer("SELECT COUNT(*) FROM applications WHERE name = 'ConA' AND "
               "unregistered_at IS NOT NULL",
               "1"))
      << "the peer did not see ConA unregistered";
  EXPECT_EQ(PeerQuery("SELECT COUNT(*) FROM sources WHERE application = 'ConA' AND "
                      "offline_at IS NULL"),
            "0");

  // With no application left, IMPORT answers by what the metafile holds.
  WriteMetafile("good.mdl", LinesMetafile("Good", File("good.log")));
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
  for (const auto &c : cases) ExpectConsole({"IMPORT", c.name}, c.status, c.out);
  // Only the metafile that became an application joins the startup configuration, once.
  EXPECT_EQ(StartupConfig(), "* console test\ngood.mdl\n");
  EXPECT_EQ(Exchange("LIST"), Strings{"0 " + Listed("good.mdl") + " "});
  // CHECK finds an application by metafile or application name.
  const std::pair<const char *, const char *> checks[] = {
      {"CHECK good.mdl", "4 "}, {"check Good", "4 "}, {"CHECK ", "3 "}, {"CHECK broken.mdl", "3 "}};
  for (const auto &[datagram, reply] : checks) {
    EXPECT_EQ(Exchange(datagram), Strings{reply}) << datagram;
  }
  ExpectConsole({"CHECK", "good.mdl"}, 1, "result 4: good.mdl is defined.\n");
  EXPECT_TRUE(
      WaitPeer("SELECT COUNT(*) FROM applications WHERE name = 'Good' AND "
               "registered_at IS NOT NULL",
               "1"))
      << "the peer did not see Good registered";
}

TEST_F(ConsoleE2E, RefreshLoadsTheChangedMetafileAgain) {
  WriteMetafile("a.mdl", LinesMetafile("ConA", File("a.log")));
  Import("a.mdl");
  WriteMetafile("a.mdl", LinesMetafile("ConA", File("a.log"), "Extra D 8\n"));
  ExpectConsole({"REFRESH", "a.mdl"}, 0, "result 0: Application refreshed: a.mdl\n");
  Strings show = Exchange("SHOW a.mdl");
  ASSERT_EQ(show.size(), 1u);
  EXPECT_TRUE(Has(show[0], "4;Extra;Display Type Max Size 8;")) << show[0];
  EXPECT_EQ(StartupConfig(), "* console test\na.mdl\n");

  ExpectConsole({"REFRESH", "nope.mdl"}, 1,
                "result 3: Application not defined, not refreshed: nope.mdl\n");

  // A metafile broken since: the application is gone, its configuration line stays.
  WriteMetafile("a.mdl", "//NAME Orphan\n//ATTRIBUTES\nWord D 8\n");
  ExpectConsole({"REFRESH", "a.mdl"}, 1,
                "result 5: Metafile definition error: the metafile was read but no "
                "application resulted.\n");
  EXPECT_EQ(Exchange("LIST"), Strings{"2 "});
  EXPECT_EQ(StartupConfig(), "* console test\na.mdl\n");
}

// Commands a FILE data provider does not carry out, and datagrams that are no command, are
// answered (or not) at once and leave the console free for the next; a second start of the
// type is refused and leaves the first running.
TEST_F(ConsoleE2E, CommandsOutsideWhatAFileDataProviderDoesBadDatagramsAndASecondStart) {
  // The replies, and the datagrams that get them; PING is answered by API data providers only.
  const std::pair<Strings, Strings> cases[] = {
      {{"1 "},
       {"LISTS", "LIS", "frobnicate now", "SET x", "validate a.mdl", "UNPACK a.mdl",
        std::string(1599, 'X'), std::string(1600, 'X'), std::string(5000, 'Y'),
        "\x01\x02\xff\xfe\x7f binary"}},
      {{"10 "}, {"TRAPCNFG", "LOADCOMM", "loadname", "LOADLIST nodes.cfg"}},
      {{"3 "}, {"ACCEPT nope.mdl"}},
      {{"0 1 " + std::to_string(port_)}, {"GETPORT"}},
      {{}, {"", " \t\r\n", std::string("\0LIST", 5), "PING"}},
      {{"2 "}, {std::string("LIST\0garbage", 12)}},
  };
  for (const auto &[replies, datagrams] : cases) {
    for (const std::string &datagram : datagrams) {
      EXPECT_EQ(Exchange(datagram, replies.empty() ? milliseconds(1500) : seconds(3)), replies)
          << datagram.substr(0, 20) << " (" << datagram.size() << " bytes)";
    }
  }
  // A second start of the type is refused while the first runs.
  std::string out, err;
  int status = qdvp_test::Run({BinDir() + "/qdvp", "start", "file"}, Env(), &out, &err);
  EXPECT_EQ(status, 1) << err;
  EXPECT_EQ(out, "QDVPV89E Same type DP is already active in the system. DP startup ended.\n");
  EXPECT_NE(err.find("ended during start-up"), std::string::npos) << err;
  EXPECT_EQ(Exchange("LIST"), Strings{"2 "});
  EXPECT_TRUE(qdvp_->Running());

  ConsoleResult r = Console({"frobnicate"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.out, "result 1: Invalid command")) << r.out;
  ExpectConsole({"PING"}, 1, "result 9: Command sent; the data provider sends no reply to it.\n");
  ExpectConsole({"LOADCOMM"}, 1, "result 10: LOADCOMM rejected: not an SNMP data provider.\n");
  // The program finds the port from the type and QDVP_DPCONSOLE_PORT.
  status = qdvp_test::Run({BinDir() + "/qdvp", "console", "--type", "file", "getport"},
                              {{"QDVP_DPCONSOLE_PORT", std::to_string(port_ - 1)}}, &out, &err);
  EXPECT_EQ(status, 0) << err;
  EXPECT_TRUE(Has(out, "type FILE (1), console port " + std::to_string(port_))) << out;
}

TEST_F(ConsoleE2E, CommandsThatArriveWhileOneRunsAreRejected) {
  // IMPORT of a FIFO blocks until the test writes the metafile into it: a command that runs
  // as long as the test wants.
  std::string fifo = File("metafiles/slow.mdl");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  UdpSocket importer;
  importer.SendTo(port_, Sealed("IMPORT slow.mdl"));
  ASSERT_TRUE(WaitFor([&] { return Has(Trace(), "Console command IMPORT Parameter slow.mdl"); }));
  for (const char *burst : {"LIST", "SHOW slow.mdl", "SHUTDOWN", "LIST"}) {
    EXPECT_EQ(Exchange(burst), Strings{"7 3"}) << burst;
  }
  ExpectConsole({"LIST"}, 1,
                "result 7: Command rejected: another console command is in progress, code 3\n");
  // The waiting requester hears every 15 seconds that its command still runs.
  EXPECT_EQ(importer.Receive(seconds(20)).value_or("(none)"), "99 ");

  int fd = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  std::string text = LinesMetafile("ConSlow", File("slow.log"));
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  EXPECT_EQ(importer.Receive(seconds(10)).value_or("(none)"), "0 ");
  EXPECT_EQ(Exchange("LIST"), Strings{"0 " + Listed("slow.mdl") + " "});
  EXPECT_TRUE(qdvp_->Running());
}

TEST_F(ConsoleE2E, ShutdownEndsTheDataProvider) {
  std::string log = dir_.Write("a.log", "");
  WriteMetafile("a.mdl", LinesMetafile("ConA", log));
  Import("a.mdl");
  // The imported application's file is followed: its rows reach the peer, its source is
  // online there, and the shutdown takes it offline.
  int line = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        std::ofstream(log, std::ios::app) << "word" << line++ << " 7\n";
        return PeerQuery("SELECT COUNT(*) FROM rows WHERE application = 'ConA'") != "0";
      },
      seconds(30)))
      << "no row of ConA at the peer";
  const std::string online =
      "SELECT COUNT(*) FROM sources WHERE application = 'ConA' AND offline_at IS NULL";
  EXPECT_NE(PeerQuery(online), "0");
  ExpectConsole({"SHUTDOWN"}, 0, "result 0: Data provider shut down.\n");
  EXPECT_EQ(qdvp_->Wait(seconds(20)), 0) << qdvp_->Stderr();
  EXPECT_TRUE(UdpSocket().Bind(port_)) << "the console port is still held";
  // The startup configuration keeps the application for the next start.
  EXPECT_EQ(StartupConfig(), "* console test\na.mdl\n");
  EXPECT_TRUE(WaitPeer(online, "0")) << "the peer did not see ConA's source go offline";
  ConsoleResult r = Console({"LIST"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Has(r.err, "No data provider answered on 127.0.0.1 port")) << r.err;
}

// SNMP data providers answer the reloads, each reading its file once it exists; API data
// providers answer PING with their start time; a packaged product refuses CHECK. One world,
// a data provider of each kind in turn.
TEST_F(ConsoleWorld, SnmpReloadsApiPingAndAPackagedProductsCheck) {
  ASSERT_EQ(Start(5), "");
  const struct {
    const char *datagram;
    std::string reply;
  } cases[] = {
      {"TRAPCNFG", "11 "},  // no trap configuration file
      {"LOADCOMM", "11 "},           {"LOADNAME", "11 "},
      {"LOADLIST nodes.cfg", "60 "}, {"GETPORT", "0 5 " + std::to_string(port_)},
  };
  for (const auto &c : cases) EXPECT_EQ(Exchange(c.datagram), Strings{c.reply}) << c.datagram;
  ExpectConsole({"LOADCOMM"}, 1, "result 11: SNMP community name reload failed.\n");
  dir_.Write("qdvpcomm.cfg", "127.0.0.1 secret\n");
  dir_.Write("qdvpname.cfg", "10.1 lab\n");
  EXPECT_EQ(Exchange("LOADCOMM"), Strings{"0 "});
  EXPECT_EQ(Exchange("LOADNAME"), Strings{"0 "});
  Stop();

  ASSERT_EQ(Start(0), "");
  Strings reply = Exchange("PING");
  ASSERT_EQ(reply.size(), 1u);
  long start = atol(reply[0].substr(2).c_str());
  EXPECT_EQ(reply[0], "0 " + std::to_string(start));
  EXPECT_LE(std::abs(time(nullptr) - start), 60);
  ConsoleResult r = Console({"ping"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r.out, "result 0: Data provider start time (seconds since 1970): " +
                             std::to_string(start) + "\n  started "))
      << r.out;
  Stop();

  extraEnv_["QDVP_PRODUCT_SPEC"] = dir_.Write("product.cfg", "ENABLE_METAFILE_COMMANDS=\n");
  ASSERT_EQ(Start(), "");
  ExpectConsole({"CHECK", "a.mdl"}, 1,
                "result 13: Command not supported for a packaged product configuration.\n");
}

// Console commands of take actions: the agent peer runs, the data provider in this process,
// with a startup configuration that lists no metafile, and the commands go through the console
// service as a take-action worker hands them over, with their result codes and texts.
using ConsoleTakeAction = DataProviderWorld;

TEST_F(ConsoleTakeAction, CommandsRunThroughTheConsoleService) {
  EnvGuard env;
  for (const auto &[name, value] : Env()) env.Set(name, value);
  env.Set("QDVP_PRODUCT_SPEC", std::nullopt);
  QDV0_ResetProductSpec();
  QDVP_ResetStartUpConfigState();
  dir_.Write("qdvpinit.cfg", "* console test\n");
  dir_.Write("metafiles/a.mdl", "//APPL ConAct\n//NAME Lines E\n//SOURCE FILE " + File("a.log") +
                                    "\n//ATTRIBUTES ' '\nWord D 32\n");
  TraceCapture trace;
  EntryThread entry(QDVP_TYPE_FILE);
  ASSERT_TRUE(
      WaitFor([&] { return trace.Contains("Console service waits for console commands"); }));
  DPAB *anchor = PublishedAnchor();
  ASSERT_NE(anchor, nullptr);

  const struct {
    const char *command;
    int rc;
    const char *text;
  } cases[] = {
      {"LIST", -1, "TakeAction console command not supported or invalid: LIST"},
      {"show a.mdl", -1, "TakeAction console command not supported or invalid: SHOW"},
      {"frob", -1, "TakeAction console command not supported or invalid: FROB"},
      {"lis", -1, "TakeAction console command not supported or invalid: LIS"},
      {"", -1, "TakeAction console command not supported or invalid: -"},
      {"IMPORT", -1, "Required input parameter file name not specified"},
      {"LOADLIST", -1, "Required input parameter file name not specified"},
      {"DELETE nope.mdl", 3, "Application not defined: nope.mdl"},
      {"REFRESH nope.mdl", 3, "Application not defined, not refreshed: nope.mdl"},
      {"IMPORT a.mdl", 0, "Application imported: a.mdl"},
      {"IMPORT a.mdl", 0, "Application already defined: a.mdl"},
      {"CHECK a.mdl", 4, "a.mdl is defined."},
      {"LOADCOMM", 10, "LOADCOMM rejected: not an SNMP data provider."},
      {"REFRESH ConAct", 0, "Application refreshed: ConAct"},
      {"DELETE a.mdl", 0, "Application deleted: a.mdl"},
      {"IMPORT missing.mdl", 8, "Metafile not found."},
      {"SHUTDOWN", 0, "Data provider shutdown requested."},
  };
  for (const auto &c : cases) {
    char text[300];
    EXPECT_EQ(QDVP_RunConsoleCommandForAction(anchor, c.command, text, sizeof(text)), c.rc)
        << c.command;
    EXPECT_STREQ(text, c.text) << c.command;
  }
  // The console took the commands one at a time, and was free for each up to the shutdown.
  EXPECT_TRUE(trace.Contains("Console command IMPORT Parameter a.mdl"));
  EXPECT_EQ(ReadFile(File("qdvpinit.cfg")), "* console test\n");
  ASSERT_TRUE(entry.Join(30));
  EXPECT_EQ(entry.exitWord(), 0);
  EXPECT_EQ(PublishedAnchor(), nullptr);
}

}  // namespace
}  // namespace qdvp_test
