// Console commands of take actions: a data provider runs in this process, and the commands go
// through the console service as a take-action worker hands them over, with their result
// codes and texts.
#include <gtest/gtest.h>

#include <string>

#include "include/qdvp_console.h"
#include "include/qdvp_model.h"
#include "tests/core/core_test_util.h"
#include "tests/support/dpworld.h"

namespace qdvp_test {
namespace {

// The agent peer runs, the data provider in this process, with a startup configuration that
// lists no metafile.
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
