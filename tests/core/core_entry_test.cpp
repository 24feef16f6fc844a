// The entry point: type checks, the servers each type starts, the same-type refusal, the
// transport choice, and shutdown on a host's request, each through QDVP_StartDataProvider.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <optional>
#include <string>

#include "core/support/qdv0.h"
#include "include/qdvp_core.h"
#include "tests/core/core_test_util.h"
#include "tests/support/qdvptest.h"

namespace qdvp_test {
namespace {

class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QDV0_ResetProductSpec();
    consolePort_ = FreePort();
    env_.Set("QDVP_PRODUCT_SPEC", std::nullopt);
    env_.Set("QDVP_DP_TRANSPORT", std::nullopt);
    env_.Set("QDVP_META_SERVER", std::nullopt);
    env_.Set("QDVP_HOME", dir_.path());
    env_.Set("QDVP_META_PATH", dir_.path());
    env_.Set("QDVP_INIT_CONFIG_PATH", dir_.path());
    // No agent listens: the agent link falls back to UDP and gives up within a second.
    env_.Set("QDVP_DCH_HOST", "127.0.0.1");
    env_.Set("QDVA_DCH_PORT", std::to_string(FreePort()));
    env_.Set("QDVP_DCH_REPLY_WAIT", "1");
  }
  void TearDown() override { QDV0_ResetProductSpec(); }

  // Console ports are base + type: make the type's probe port the free one.
  void UseConsolePortFor(int type) {
    env_.Set("QDVP_DPCONSOLE_PORT", std::to_string(consolePort_ - type));
  }

  TempDir dir_;
  EnvGuard env_;
  int consolePort_ = 0;
};

TEST_F(EntryTest, TypeOutOfRangeOrUnreadableProductSpecificationReturnsZeroAtOnce) {
  TraceCapture trace;
  for (int type : {-1, 9, 12, 100, INT_MIN, INT_MAX}) {
    SCOPED_TRACE(type);
    size_t blocks = QDV0_LiveBlockCount();
    EntryThread entry(type);
    ASSERT_TRUE(entry.Join(5));
    EXPECT_TRUE(entry.returned());
    EXPECT_EQ(entry.rc(), 0);
    EXPECT_EQ(PublishedAnchor(), nullptr);
    EXPECT_EQ(QDV0_LiveBlockCount(), blocks);
    EXPECT_TRUE(trace.Contains("*****Invalid input DP type " + std::to_string(type) + ", Exit!"));
  }
  EXPECT_FALSE(trace.Contains("Input DP Type is"));
  EXPECT_EQ(QDVP_StartDataProvider(nullptr), 0);
  env_.Set("QDVP_PRODUCT_SPEC", dir_.File("missing-product.cfg"));
  EntryThread entry(QDVP_TYPE_FILE);
  ASSERT_TRUE(entry.Join(5));
  EXPECT_TRUE(entry.returned());
  EXPECT_EQ(entry.rc(), 0);
  EXPECT_TRUE(trace.Contains("*****Product specification initialization unsuccessful"));
  EXPECT_TRUE(trace.Contains("QDVP_StartupInitialization failed"));
}

struct TypeCase {
  int type;
  const char *entryLine;
  int tasks;  // common tasks (DCH client, scan, DP log, automation), the type's servers and the
             // console I/O task
};

void PrintTo(const TypeCase &c, std::ostream *os) { *os << "type " << c.type; }

class EveryTypeTest : public EntryTest, public ::testing::WithParamInterface<TypeCase> {};

// Each type probes only its own console port: the port of the type before it is in use (by
// this socket, or by another when the bind fails).
TEST_P(EveryTypeTest, StartsItsTasksServesAndShutsDownOnHostRequest) {
  const TypeCase &c = GetParam();
  UseConsolePortFor(c.type);
  UdpSocket before;
  before.Bind(consolePort_ - 1);
  TraceCapture trace;
  size_t blocks = QDV0_LiveBlockCount();
  EntryThread entry(c.type);
  ASSERT_TRUE(WaitFor([&] {
    DPAB *anchor = PublishedAnchor();
    return anchor != nullptr && ActiveTasks(anchor) == c.tasks &&
           trace.Contains("Console service waits for console commands");
  })) << "tasks never reached " << c.tasks;
  DPAB *anchor = PublishedAnchor();
  EXPECT_EQ(anchor->DPtype, c.type);
  EXPECT_EQ(anchor->TransportType, 'I');
  EXPECT_TRUE(anchor->DPlogReady);

  QDVP_ImmediateDPshutdown();
  ASSERT_TRUE(entry.Join(20));
  EXPECT_FALSE(entry.returned()) << "a started data provider ends its thread, not returns";
  EXPECT_EQ(entry.exitWord(), 0);
  EXPECT_EQ(PublishedAnchor(), nullptr);
  EXPECT_TRUE(trace.Contains(c.entryLine));
  // The host's request and then the console's orderly shutdown each signal the running tasks.
  EXPECT_GE(trace.Count("Signal process termination. Thread:"), static_cast<size_t>(c.tasks));
  // Every task has released its entry; nothing of the anchor is left.
  ASSERT_TRUE(WaitFor([&] { return QDV0_LiveBlockCount() == blocks; }));
}

INSTANTIATE_TEST_SUITE_P(
    Types, EveryTypeTest,
    ::testing::Values(TypeCase{0, "Input DP Type is API", 6}, TypeCase{1, "Input DP Type is FILE", 5},
                      TypeCase{2, "Input DP Type is SOCK", 6}, TypeCase{3, "Input DP Type is ASFS", 7},
                      TypeCase{4, "Input DP Type is POST", 6}, TypeCase{5, "Input DP Type is SNMP", 5},
                      TypeCase{6, "Input DP Type is APPC", 5}, TypeCase{7, "Input DP Type is ODBC", 5},
                      TypeCase{8, "Input DP Type is HTTP", 11}),  // manager, update, client, 3 subtasks
    [](const ::testing::TestParamInfo<TypeCase> &info) { return std::to_string(info.param.type); });

// Each refusal ends the entry's thread with 1 after releasing the anchor, and says why: only
// a console port in use is message 89.
TEST_F(EntryTest, RefusedStartSaysWhyAndReleasesTheAnchor) {
  const struct {
    const char *what, *transport, *bindAddress;
    bool holdPort;
    std::string out, err, trace;
  } cases[] = {
      {"port in use", nullptr, nullptr, true,
       "QDVPV89E Same type DP is already active in the system. DP startup ended.\n", "",
       "***** Same Type DP <FILE> already running on this system."},
      {"foreign bind address", nullptr, "192.0.2.1", false, "",
       "QDVP console port " + std::to_string(consolePort_) +
           " cannot be bound on 192.0.2.1 (QDVP_BIND_ADDRESS): Cannot assign requested address",
       "cannot be bound on 192.0.2.1"},
      {"RPC transport", "R", nullptr, false, "", "", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    auto value = [](const char *v) { return v ? std::optional<std::string>(v) : std::nullopt; };
    EnvGuard env({{"QDVP_DP_TRANSPORT", value(c.transport)},
                  {"QDVP_BIND_ADDRESS", value(c.bindAddress)}});
    UseConsolePortFor(QDVP_TYPE_FILE);
    UdpSocket held;  // as a running data provider's console holds its port
    if (c.holdPort) {
      ASSERT_TRUE(held.Bind(consolePort_));
    }
    TraceCapture trace;
    size_t blocks = QDV0_LiveBlockCount();
    StreamCapture out(STDOUT_FILENO), err(STDERR_FILENO);
    EntryThread entry(QDVP_TYPE_FILE);
    ASSERT_TRUE(entry.Join(10));
    std::string errText = err.Take();
    EXPECT_EQ(out.Take(), c.out);
    EXPECT_NE(errText.find(c.err), std::string::npos) << errText;
    EXPECT_EQ(c.err.empty(), errText.find("cannot be bound") == std::string::npos) << errText;
    EXPECT_EQ(entry.exitWord(), 1);
    EXPECT_TRUE(trace.Contains(c.trace));
    EXPECT_FALSE(trace.Contains("DCH client process started"));
    EXPECT_EQ(PublishedAnchor(), nullptr);
    EXPECT_EQ(QDV0_LiveBlockCount(), blocks);
  }
}

TEST_F(EntryTest, ShutdownWithoutDataProviderAndProgramStartMark) {
  ASSERT_EQ(PublishedAnchor(), nullptr);
  QDVP_ImmediateDPshutdown();
  EXPECT_EQ(PublishedAnchor(), nullptr);
  EXPECT_EQ(QDVP_IsIndependentDPenvironment(), DPpgmStart);
  QDVP_SetDPprogramStart();
  EXPECT_EQ(QDVP_IsIndependentDPenvironment(), 1);
  EXPECT_EQ(QDV0_GetDPstartMode(), 1);
}

}  // namespace
}  // namespace qdvp_test
