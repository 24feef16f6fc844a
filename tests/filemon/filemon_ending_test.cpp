// How file servers end, end to end: the console's DELETE of an application and the shutdown
// end its servers at once, whether they wait for their file or scan it, with the source taken
// offline at the agent and DP log message 17 as usual. Same fixture as filemon_e2e_test.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "tests/filemon/filemon_fixture.h"

namespace {

using namespace filemon_test;
using Clock = std::chrono::steady_clock;

// Runs `qdvp console` against the data provider of the fixture (its console port is the
// configured base plus the FILE type, 1).
int ConsoleCommand(int consoleBase, const std::vector<std::string> &words, std::string *out) {
  std::vector<std::string> argv = {BinDir() + "/qdvp", "console", "--port",
                                   std::to_string(consoleBase + 1)};
  argv.insert(argv.end(), words.begin(), words.end());
  return qdvp_test::Run(argv, {}, out);
}

TEST_F(FileMonitoring, DeleteEndsWaitingAndScanningServersAtOnce) {
  Replace(File("tail.log"), "old 1\n");
  Metafile("tail", kTail);
  Metafile("absent", "//APPL AbsentApp\n//NAME Missing E\n//SOURCE FILE @DIR@/absent.log\n"
                     "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000\n");
  Start(2);
  ASSERT_TRUE(WaitPositioned());
  ASSERT_TRUE(WaitLogged("File " + File("absent.log") + " does not exist"));
  Append(File("tail.log"), "new 2\n");
  ASSERT_TRUE(WaitRows("Lines", 1));
  std::string out;
  ASSERT_TRUE(WaitFor([&] { return ConsoleCommand(consolePort_, {"LIST"}, &out) == 0; }, 20s))
      << out;
  for (const char *metafile : {"absent.mdl", "tail.mdl"}) {
    Clock::time_point begin = Clock::now();
    EXPECT_EQ(ConsoleCommand(consolePort_, {"DELETE", metafile}, &out), 0) << out;
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
    std::cout << "DELETE " << metafile << ": " << took.count() << " ms\n";
    EXPECT_LT(took, 10s);
  }
  EXPECT_EQ(Logged("Monitoring for file " + File("absent.log") + " completed"), 1);
  EXPECT_EQ(Logged("Monitoring for file " + File("tail.log") + " completed"), 1);
  // The scanned source went offline at the agent before its application was unregistered.
  EXPECT_TRUE(WaitFor([&] {
    return QueryOne(peer_->Db(), "select count(*) from sources where attribute_group='Lines' "
                                 "and offline_at is null") == "0";
  }, 10s));
  Append(File("tail.log"), "late 3\n");
  EXPECT_EQ(Count("Lines"), 1);
}

TEST_F(FileMonitoring, ShutdownEndsAServerWaitingForItsFileAtOnce) {
  Metafile("absent", "//APPL AbsentApp\n//NAME Missing E\n//SOURCE FILE @DIR@/absent.log\n"
                     "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000\n");
  Start(1);
  ASSERT_TRUE(WaitLogged("File " + File("absent.log") + " does not exist"));
  Clock::time_point begin = Clock::now();
  Stop();
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
  std::cout << "shutdown: " << took.count() << " ms\n";
  EXPECT_LT(took, 10s);
  // The server reports its end once; the DP log drops what is still queued when fewer than
  // four tasks are left, so on a slow machine the report may not make it.
  EXPECT_LE(Logged("Monitoring for file " + File("absent.log") + " completed"), 1);
}

}  // namespace
