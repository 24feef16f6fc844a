// The console end to end: a data provider (FILE unless said otherwise) and its agent peer on
// private ports, commands sent by the qdvp console program and as raw datagrams, and what they
// change: the replies, the startup configuration, the process, the peer's database. And the
// console commands of take actions, with the data provider in this process; and the pieces that
// need no data provider: the splitting of a command buffer, the console messages and which
// message explains which result. (Command words are matched whole and upper-cased: see the
// datagram and take-action tests.) The console's authentication: a FILE data provider refuses
// the commands that change it unless their datagram is sealed with its console key, in time and
// only once; anyone local still gets the open ones; the key file is made private and a key file
// others could read is not used; and a flood of datagrams leaves the console answering within
// moments of its end. Also the seal itself against the HMAC of its documented text.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "include/qdvp_consauth.h"
#include "include/qdvp_console.h"
#include "include/qdvp_model.h"
#include "tests/console/console_world.h"
#include "tests/core/core_test_util.h"

namespace qdvp_test {
namespace {

using Clock = std::chrono::steady_clock;
using Key = std::vector<unsigned char>;

// A command buffer splits at blanks, tabs and line ends; a message's insert fills its '$' or
// '#', and each result of a command has its message.
TEST(ConsoleBuffer, SplitsAtBlanksTabsAndLineEndsAndMessagesTakeTheirInserts) {
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
  const struct {
    int command, rc, message;
  } results[] = {
      {QDVP_CMD_DELETE, 0, 17},    {QDVP_CMD_DELETE, 3, 13},   {QDVP_CMD_DELETE, 5, 14},
      {QDVP_CMD_IMPORT, 0, 20},    {QDVP_CMD_IMPORT, 4, 21},   {QDVP_CMD_IMPORT, 5, 34},
      {QDVP_CMD_IMPORT, 6, 35},    {QDVP_CMD_IMPORT, 8, 43},   {QDVP_CMD_IMPORT, 12, 50},
      {QDVP_CMD_IMPORT, 1, 22},    {QDVP_CMD_REFRESH, 3, 23},  {QDVP_CMD_REFRESH, 0, 27},
      {QDVP_CMD_REFRESH, 9, 24},   {QDVP_CMD_TRAPCNFG, 0, 45}, {QDVP_CMD_TRAPCNFG, 10, 44},
      {QDVP_CMD_TRAPCNFG, 11, 47}, {QDVP_CMD_TRAPCNFG, 1, 46}, {QDVP_CMD_LOADCOMM, 10, 51},
      {QDVP_CMD_LOADCOMM, 11, 53}, {QDVP_CMD_LOADNAME, 0, 55}, {QDVP_CMD_LOADLIST, 60, 60},
      {QDVP_CMD_LOADLIST, 10, 57}, {QDVP_CMD_LIST, 0, 26},     {QDVP_CMD_LIST, 2, 2},
      {QDVP_CMD_SHOW, 0, 31},      {QDVP_CMD_CHECK, 4, 25},    {QDVP_CMD_CHECK, 3, 3},
      {QDVP_CMD_CHECK, 13, 15},    {QDVP_CMD_SHUTDOWN, 0, 19}, {QDVP_CMD_COUNT, 1, 1},
      {QDVP_CMD_LIST, 7, 7},       {QDVP_CMD_PING, 9, 9},      {QDVP_CMD_LIST, 99, 11},
      {QDVP_CMD_LIST, 42, 16},
  };
  for (const auto &c : results) {
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
  WriteMetafile(
      "small.mdl",
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

TEST_F(ConsoleE2E, ListDeleteImportAndRefreshFollowTheApplicationsAndTheStartupConfig) {
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

  // REFRESH loads the changed metafile again (a.mdl is as it was written above).
  Import("a.mdl");
  WriteMetafile("a.mdl", LinesMetafile("ConA", File("a.log"), "Extra D 8\n"));
  ExpectConsole({"REFRESH", "a.mdl"}, 0, "result 0: Application refreshed: a.mdl\n");
  Strings show = Exchange("SHOW a.mdl");
  ASSERT_EQ(show.size(), 1u);
  EXPECT_TRUE(Has(show[0], "4;Extra;Display Type Max Size 8;")) << show[0];
  EXPECT_EQ(StartupConfig(), "* console test\ngood.mdl\na.mdl\n");

  ExpectConsole({"REFRESH", "nope.mdl"}, 1,
                "result 3: Application not defined, not refreshed: nope.mdl\n");

  // A metafile broken since: the application is gone, its configuration line stays.
  WriteMetafile("a.mdl", "//NAME Orphan\n//ATTRIBUTES\nWord D 8\n");
  ExpectConsole({"REFRESH", "a.mdl"}, 1,
                "result 5: Metafile definition error: the metafile was read but no "
                "application resulted.\n");
  EXPECT_EQ(Exchange("LIST"), Strings{"0 " + Listed("good.mdl") + " "});
  EXPECT_EQ(StartupConfig(), "* console test\ngood.mdl\na.mdl\n");
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

TEST_F(ConsoleE2E, CommandsThatArriveWhileOneRunsAreRejectedAndShutdownEndsTheDataProvider) {
  // IMPORT while the agent is away waits for the agent to register the application: a command
  // that runs until the test starts the agent again (within the reply wait, 30 s).
  WriteMetafile("slow.mdl", LinesMetafile("ConSlow", File("slow.log")));
  StopPeer();
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

  ASSERT_NO_FATAL_FAILURE(StartPeer());
  EXPECT_EQ(importer.Receive(seconds(10)).value_or("(none)"), "0 ");
  EXPECT_EQ(Exchange("LIST"), Strings{"0 " + Listed("slow.mdl") + " "});
  EXPECT_TRUE(qdvp_->Running());

  // SHUTDOWN ends the data provider.
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
  // The startup configuration keeps the applications for the next start.
  EXPECT_EQ(StartupConfig(), "* console test\nslow.mdl\na.mdl\n");
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

class ConsoleAuth : public ConsoleE2E {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ConsoleE2E::SetUp());
    WriteMetafile("a.mdl", LinesMetafile("ConA", File("a.log")));
    ASSERT_NO_FATAL_FAILURE(Import("a.mdl"));
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
                          " port " + std::to_string(sender.port()) +
                          " refused: " + c.reply.substr(3) + ".";
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
  EXPECT_EQ(Sender("127.0.0.1").Exchange(port_, before), "14 time stamp outside the window");
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
    EXPECT_NE(qdvp_->Stderr().find("Console key file " + KeyFile() + " " + c.why),
              std::string::npos)
        << qdvp_->Stderr();
    // Not even the key the file holds opens a seal.
    EXPECT_EQ(Sender("127.0.0.1").Exchange(port_, Seal(key, port_, Now(), "SHUTDOWN")),
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
    EXPECT_EQ(QDVP_OpenConsoleSeal(key.data(), c.port, c.datagram.data(), c.datagram.size(), &stamp,
                                   nonce, &command),
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
