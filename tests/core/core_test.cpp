// Startup initialization: the transport letter, the time-zone offset, file names and
// directories from the environment, the product specification file, and console ports. The
// entry point: type checks, the servers each type starts, the same-type refusal, the transport
// choice, and shutdown on a host's request, each through QDVP_StartDataProvider. Tasks and
// their process entries: the chain, creation failures, the own-entry lookup, work queues,
// startup waits, and the orderly shutdown with tasks that end and one that never does. The
// support layer's services, checked against known values: time stamps, Base64, the checksum,
// the cipher, agent link fields, BER, names and paths, storage, directories, sockets, trace
// flags and the manual clock. The periodic scan's interval: doubling after idle cycles up to
// the first value at or above the maximum, halving under activity, capped by the TCP outage
// window.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/support/qdv0.h"
#include "core/support/trk1.h"
#include "core/support/zglq.h"
#include "include/qdvp_core.h"
#include "include/qdvp_model.h"
#include "include/qdvp_scan.h"
#include "tests/core/core_test_util.h"
#include "tests/support/dchpeer.h"
#include "tests/support/qdvptest.h"

namespace qdvp_test {
namespace {
using qdvp_test::EnvGuard;

class InitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QDV0_ResetProductSpec();
    for (const char *name : {"QDVP_INIT_CONFIG_PATH", "QDVP_DP_TRANSPORT", "QDVP_META_PATH",
                             "QDVP_ACTION_LOG_FILENAME", "QDVP_TRAP_DESTINATION",
                             "QDVP_PRODUCT_SPEC", "QDVP_DPCONSOLE_PORT"}) {
      env_.Set(name, std::nullopt);
    }
    env_.Set("QDVP_HOME", dir_.path());
  }
  void TearDown() override {
    QDV0_UseSystemClock();
    QDV0_ResetProductSpec();
  }
  // A fresh initialization, released when the test ends or the next one is made.
  DPAB *Init() {
    QDV0_ResetProductSpec();
    anchor_.reset(QDVP_StartupInitialization());
    return anchor_.get();
  }

  struct Release {
    void operator()(DPAB *anchor) const { QDVP_ReleaseGlobalResources(anchor); }
  };
  TempDir dir_;
  EnvGuard env_;
  std::unique_ptr<DPAB, Release> anchor_;
};

TEST_F(InitTest, NamesFromTheEnvironmentOrTheirDefaults) {
  const std::string d = dir_.path();
  const struct {
    std::optional<std::string> meta, actionLog, initPath;  // unset when nullopt
    std::string wantMeta, wantActionLog, wantInitConfig;
    std::string product = "";  // the product specification file, none when empty
  } cases[] = {
      {std::nullopt, std::nullopt, std::nullopt, "./metafiles", d + "/DPACTLOG",
       d + "/qdvpinit.cfg"},
      {d + "/meta//", "/var/tmp/actions.log", d + "/cfg/", d + "/meta", "/var/tmp/actions.log",
       d + "/cfg/qdvpinit.cfg"},
      // A startup configuration named by an absolute path is that file, wherever the
      // directory is.
      {d + "/meta", std::nullopt, d + "/cfg/", d + "/meta", d + "/DPACTLOG", d + "/site/init.cfg",
       "INITCNFG_FILE_NAME=" + d + "/site/init.cfg\n"},
      {d + "/meta", std::nullopt, std::nullopt, d + "/meta", d + "/DPACTLOG", d + "/site.cfg",
       "INITCNFG_FILE_NAME=site.cfg\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.wantInitConfig);
    env_.Set("QDVP_META_PATH", c.meta);
    env_.Set("QDVP_ACTION_LOG_FILENAME", c.actionLog);
    env_.Set("QDVP_INIT_CONFIG_PATH", c.initPath);
    env_.Set("QDVP_PRODUCT_SPEC",
             c.product.empty() ? std::nullopt
                               : std::optional<std::string>(dir_.Write("product.cfg", c.product)));
    TraceCapture trace;
    ASSERT_NE(Init(), nullptr);
    EXPECT_EQ(std::string(anchor_->pMetaPath), c.wantMeta);
    EXPECT_EQ(std::string(anchor_->pActionLogFile), c.wantActionLog);
    EXPECT_EQ(std::string(anchor_->pInitConfigFile), c.wantInitConfig);
    EXPECT_TRUE(trace.Contains("Current metafile directory " + c.wantMeta));
    EXPECT_EQ(Main_DPAB, nullptr) << "initialization alone does not publish the anchor";
  }
}

// The first letter, upper-cased, when it is I or R, else I; R chooses the RPC operations.
TEST_F(InitTest, TransportLetterChoosesTheOperationTable) {
  const struct {
    const char *value;
    char letter;
    bool invalidTraced;
  } cases[] = {{nullptr, 'I', false}, {"", 'I', false},    {"ip", 'I', false}, {"I", 'I', false},
               {"R", 'R', false},     {"rpc", 'R', false}, {"x", 'I', true},   {"TCP", 'I', false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.value ? c.value : "unset");
    EXPECT_EQ(QDVP_ValidateTransportType(c.value), c.letter);
    env_.Set("QDVP_DP_TRANSPORT", c.value ? std::optional<std::string>(c.value) : std::nullopt);
    TraceCapture trace;
    ASSERT_NE(Init(), nullptr);
    EXPECT_EQ(anchor_->pDSFT, c.letter == 'R' ? &RPC_DSFT : &TCPIP_DSFT);
    EXPECT_EQ(trace.Contains("*** Invalid DCH transport type X, TCPIP type assumed"),
              c.invalidTraced);
  }
}

// Dates compare by year and day of the year, not month, across the turn of a (leap) year.
TEST_F(InitTest, TimeZoneOffsetFromTheClockAndTheZone) {
  const struct {
    const char *zone;
    time_t now;
    int offset;
  } cases[] = {
      {"XST-2", 1772400600, 2},    // 1 March 2026 21:30 GMT is 23:30 local two hours ahead
      {"XST-2", 1772406000, 2},    // 1 March 23:00 GMT is 01:00 on 2 March local
      {"XST-2", 1767222000, 2},    // 31 December 2025 23:00 GMT is 1 January 01:00 local
      {"YST5", 1767229200, -5},    // 1 January 2026 01:00 GMT is 31 December 20:00 local
      {"YST5", 1772416800, -5},    // 2 March 02:00 GMT is 1 March 21:00 local
      {"ZST-10", 1735686000, 10},  // 31 December 2024 (day 366) 23:00 GMT is 1 January 09:00
      {"UTC0", 1772400600, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.now);
    env_.Set("TZ", c.zone);
    tzset();
    QDV0_UseManualClock(c.now);
    ASSERT_NE(Init(), nullptr);
    EXPECT_EQ(anchor_->TZoffset, c.offset);
    EXPECT_EQ(anchor_->StartTime, c.now);
  }
  env_.Set("TZ", std::nullopt);
  tzset();
}

// Items by the file's lines, or built in without a file. Flags are set only by a value that
// begins with Y or y; an empty value makes any item absent.
TEST_F(InitTest, ProductSpecificationItems) {
  const struct {
    const char *file;  // null: no file
    int item;
    const char *value;  // null: absent
  } cases[] = {
      {nullptr, 22, "7900"},
      {nullptr, 23, "0"},
      {nullptr, 15, "Y"},
      {nullptr, 16, "Y"},
      {nullptr, 24, "qdvpinit.cfg"},
      {nullptr, 0, nullptr},
      {nullptr, -1, nullptr},
      {nullptr, 34, nullptr},
      {"# site settings\nDP_PORT_OFFSET=5\n", 23, "5"},
      {"  INITCNFG_FILE_NAME = site.cfg  \n", 24, "site.cfg"},
      {"0=packaged\n", 0, "packaged"},
      {"DP_PORT_OFFSET=5\n", 22, "7900"},
      {"ENABLE_DPLOG=\n", 15, nullptr},
      {"ENABLE_DPLOG=N\n", 15, nullptr},
      {"ENABLE_DPLOG=no\n", 15, nullptr},
      {"ENABLE_METAFILE_COMMANDS=0\n", 16, nullptr},
      {"ENABLE_DPLOG=yes\n", 15, "yes"},
      {"ENABLE_SNMP_TRAP=Y\n", 10, "Y"},
      {"ENABLE_SNMP_TRAP=n\n", 10, nullptr},
      {"NODE_TYPE=N\n", 2, "N"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.file ? c.file : "no file");
    env_.Set("QDVP_PRODUCT_SPEC",
             c.file ? std::optional<std::string>(dir_.Write("p.cfg", c.file)) : std::nullopt);
    ASSERT_NE(Init(), nullptr);
    EXPECT_STREQ(QDV0_QueryProductSpec(c.item), c.value) << "item " << c.item;
  }
}

// Malformed lines of the product file are reported and skipped; a product file that cannot be
// read, or no storage for the anchor, fails the initialization.
TEST_F(InitTest, MalformedProductLinesAreSkippedAndAnUnreadableProductFileFails) {
  TraceCapture trace;
  env_.Set(
      "QDVP_PRODUCT_SPEC",
      dir_.Write("product.cfg", "DP_PORT_OFFSET=5\nthis line is not an item\nUNKNOWN_ITEM=1\n"));
  StreamCapture err(STDERR_FILENO);
  ASSERT_NE(Init(), nullptr);
  std::string text = err.Take();
  EXPECT_NE(text.find("line 2 ignored: this line is not an item"), std::string::npos) << text;
  EXPECT_NE(text.find("line 3 ignored: UNKNOWN_ITEM=1"), std::string::npos) << text;
  EXPECT_EQ(std::string(anchor_->pInitConfigFile), dir_.path() + "/qdvpinit.cfg");
  // Console ports: base 7700 + offset + type, or the variable's base + type.
  EXPECT_EQ(QDVP_ConsolePortOfType(QDVP_TYPE_FILE), 7706);
  env_.Set("QDVP_DPCONSOLE_PORT", "9000");
  EXPECT_EQ(QDVP_ConsolePortOfType(QDVP_TYPE_FILE), 9001);

  env_.Set("QDVP_PRODUCT_SPEC", dir_.File("absent-product.cfg"));
  StreamCapture absent(STDERR_FILENO);
  EXPECT_EQ(Init(), nullptr);
  EXPECT_NE(absent.Take().find("cannot be read"), std::string::npos);
  EXPECT_TRUE(trace.Contains("*****Product specification initialization unsuccessful"));
  env_.Set("QDVP_PRODUCT_SPEC", std::nullopt);
  QDV0_FailStorageAfter(0, 1);
  EXPECT_EQ(Init(), nullptr);
  QDV0_FailStorageAfter(0, 0);
  EXPECT_TRUE(trace.Contains("***** Unable to acquire DP_Anchor storage"));
}

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

TEST_F(EntryTest, TypeOutOfRangeOrUnreadableProductSpecificationReturnsZeroAtOnceAsDoesAShutdown) {
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
  // A host's shutdown without a data provider does nothing; the program start mark.
  QDVP_ImmediateDPshutdown();
  EXPECT_EQ(PublishedAnchor(), nullptr);
  EXPECT_EQ(QDVP_IsIndependentDPenvironment(), DPpgmStart);
  QDVP_SetDPprogramStart();
  EXPECT_EQ(QDVP_IsIndependentDPenvironment(), 1);
  EXPECT_EQ(QDV0_GetDPstartMode(), 1);
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
  })) << "tasks never reached "
      << c.tasks;
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
    ::testing::Values(
        TypeCase{0, "Input DP Type is API", 6}, TypeCase{1, "Input DP Type is FILE", 5},
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
       "QDVPV89E Same type DP is already active in the system. DP startup ended.\n",
       "<3>qdvp: the console port " + std::to_string(consolePort_) +
           "/udp on 127.0.0.1 is in use: a FILE data provider, or another program, holds it",
       "***** Same Type DP <FILE> already running on this system."},
      {"foreign bind address", nullptr, "192.0.2.1", false, "",
       "<3>qdvp: the console port " + std::to_string(consolePort_) +
           " cannot be bound on 192.0.2.1 (QDVP_BIND_ADDRESS): Cannot assign requested address",
       "cannot be bound on 192.0.2.1"},
      {"RPC transport", "R", nullptr, false, "", "", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    auto value = [](const char *v) { return v ? std::optional<std::string>(v) : std::nullopt; };
    EnvGuard env(
        {{"QDVP_DP_TRANSPORT", value(c.transport)}, {"QDVP_BIND_ADDRESS", value(c.bindAddress)}});
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
    EXPECT_EQ(c.err.empty(), errText.find("<3>qdvp: the console port") == std::string::npos)
        << errText;
    EXPECT_EQ(entry.exitWord(), 1);
    EXPECT_TRUE(trace.Contains(c.trace));
    EXPECT_FALSE(trace.Contains("DCH client process started"));
    EXPECT_EQ(PublishedAnchor(), nullptr);
    EXPECT_EQ(QDV0_LiveBlockCount(), blocks);
  }
}

// Ready once the test ends, to let parked task threads finish without touching their entries.
std::shared_future<void> g_gate;
std::atomic<int> g_parked{0};

// Records its thread, then parks until the gate opens and ends without releasing its entry
// (the test releases it). It ignores termination requests, like a task stuck in a system call.
void ParkedTask(ProcessEntry *entry) {
  entry->ThreadID = OSV1_ThreadID();
  g_parked++;
  g_gate.wait();
  g_parked--;
}

// A well-behaved task: waits for TaskIO until asked to end, then releases itself.
void IdleTask(ProcessEntry *entry) {
  QDVP_RunIdleTask(entry, "idle %X", "idle waits", "idle woke rc %d errno %d");
}

class TaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QDV0_ResetProductSpec();
    env_.Set("QDVP_HOME", dir_.path());
    env_.Set("QDVP_PRODUCT_SPEC", std::nullopt);
    anchor_ = QDVP_StartupInitialization();
    ASSERT_NE(anchor_, nullptr);
    g_gate = open_.get_future().share();
    g_parked = 0;
  }
  void TearDown() override {
    open_.set_value();
    WaitFor([] { return g_parked == 0; });
    QDV0_UseSystemClock();
    if (anchor_) {
      QDVP_ShutdownCleanUp(anchor_, 1);
      QDVP_ReleaseGlobalResources(anchor_);
    }
    QDV0_ResetProductSpec();
  }
  ProcessEntry *Create(QDVP_TASK_ROUTINE routine) {
    ProcessEntry *entry = nullptr;
    EXPECT_EQ(QDVP_CreateProcess(anchor_, -1, nullptr, routine, 0, &entry), 1);
    return entry;
  }

  TempDir dir_;
  EnvGuard env_;
  DPAB *anchor_ = nullptr;
  std::promise<void> open_;
};

// A creation that finds no storage returns 0 and leaves the chain as it was.
TEST_F(TaskTest, ChainKeepsCreationOrderAndReleaseUnlinksAnyPosition) {
  ProcessEntry *t1 = Create(ParkedTask);
  ProcessEntry *t2 = Create(ParkedTask);
  ProcessEntry *t3 = Create(ParkedTask);
  ASSERT_TRUE(WaitFor([] { return g_parked == 3; }));
  TraceCapture trace;
  QDV0_FailStorageAfter(0, 1);
  ProcessEntry *entry = reinterpret_cast<ProcessEntry *>(0x1);
  EXPECT_EQ(QDVP_CreateProcess(anchor_, -1, nullptr, IdleTask, 0, &entry), 0);
  QDV0_FailStorageAfter(0, 0);
  EXPECT_EQ(entry, nullptr);
  EXPECT_TRUE(trace.Contains("***** Unable to obtain storage for process entry"));
  EXPECT_EQ(Chain(anchor_), (std::vector<ProcessEntry *>{t1, t2, t3}));
  EXPECT_EQ(ActiveTasks(anchor_), 3);
  QDVP_ReleaseProcessResources(anchor_, t2);
  EXPECT_EQ(Chain(anchor_), (std::vector<ProcessEntry *>{t1, t3}));
  QDVP_ReleaseProcessResources(anchor_, t1);
  EXPECT_EQ(Chain(anchor_), (std::vector<ProcessEntry *>{t3}));
  EXPECT_EQ(anchor_->pProcessList, t3);
  QDVP_ReleaseProcessResources(anchor_, t3);
  EXPECT_TRUE(Chain(anchor_).empty());
  EXPECT_EQ(ActiveTasks(anchor_), 0);
}

struct Item {
  WorkItem link;
  int value;
};
std::vector<int> *g_seen = nullptr;
std::mutex g_seenMutex;
std::atomic<ProcessEntry *> g_found{nullptr};
// Looks up its own entry, then takes the items of its queue until asked to end.
void WorkerTask(ProcessEntry *entry) {
  entry->ThreadID = OSV1_ThreadID();
  g_found = QDVP_LocateOwnProcessEntry(entry->pDPAB);
  while (!QDVP_TaskShouldEnd(entry)) {
    for (WorkItem *w = QDVP_TakeWorkQueue(entry); w;) {
      WorkItem *next = w->pNext;
      std::lock_guard<std::mutex> l(g_seenMutex);
      g_seen->push_back(reinterpret_cast<Item *>(w)->value);
      w = next;
    }
    QDVP_WaitTaskIO(entry, 0, nullptr, nullptr);
  }
  QDVP_EndTask(entry->pDPAB, entry);
}

// The own-entry lookup finds the worker's entry behind others, and none from the host thread.
TEST_F(TaskTest, TaskFindsItsOwnEntryGetsItsWorkInOrderAndEndsOnTerminationRequest) {
  std::vector<int> seen;
  g_seen = &seen;
  g_found = nullptr;
  for (int i = 0; i < 3; i++) Create(IdleTask);
  ProcessEntry *worker = Create(WorkerTask);
  EXPECT_EQ(QDVP_LocateOwnProcessEntry(anchor_), nullptr);
  ASSERT_TRUE(WaitFor([] { return g_found.load() != nullptr; }));
  EXPECT_EQ(g_found.load(), worker);
  std::vector<Item> items(200);
  for (int i = 0; i < 200; i++) {
    items[i].value = i;
    QDVP_QueueWorkItem(worker, &items[i].link);
  }
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> l(g_seenMutex);
    return seen.size() == 200;
  }));
  for (int i = 0; i < 200; i++) EXPECT_EQ(seen[i], i);
  TraceCapture trace;
  QDVP_SignalProcessTermination(anchor_);
  ASSERT_TRUE(WaitFor([&] { return ActiveTasks(anchor_) == 0; }));
  EXPECT_EQ(trace.Count("Signal process termination. Thread:"), 4u);
  EXPECT_EQ(trace.Count("Freeing process entry @"), 4u);
  EXPECT_FALSE(anchor_->ShutdownRequested);
}

std::atomic<int> g_failStartup{0};
void StartupTask(ProcessEntry *entry) {
  entry->ThreadID = OSV1_ThreadID();
  const bool fail = g_failStartup;
  OSV1_GetLock(&entry->TaskIOmutex);
  if (fail) entry->Terminate = 1;
  OSV1_WakeOne(&entry->TaskIOcond, &entry->TaskIOmutex);
  OSV1_ReleaseLock(&entry->TaskIOmutex);
  if (fail) pthread_exit(&QDVP_ThreadRC);  // the creator releases the entry
  QDVP_RunIdleTask(entry, "started %X", nullptr, nullptr);
}

TEST_F(TaskTest, StartupWaitSeesSuccessOrFailureOfTheNewTask) {
  for (int fail : {0, 1}) {
    SCOPED_TRACE(fail);
    g_failStartup = fail;
    ProcessEntry *entry = nullptr;
    ASSERT_EQ(QDVP_CreateProcess(anchor_, -1, nullptr, StartupTask, 1, &entry), 1);
    // The creator holds the mutex from before the thread starts, so the signal cannot be lost.
    QDV0_ConditionWait(&entry->TaskIOcond, &entry->TaskIOmutex);
    int failed = entry->Terminate;
    OSV1_ReleaseLock(&entry->TaskIOmutex);
    EXPECT_EQ(failed, fail);
    if (failed) QDVP_ReleaseProcessResources(anchor_, entry);
    EXPECT_EQ(ActiveTasks(anchor_), 1);  // the successful one keeps running
  }
}

// The shutdown signals every task, waits for those that end and, for one that never does, only
// until the bound, then releases the data model.
TEST_F(TaskTest, OrderlyShutdownEndsTasksThenReleasesTheDataModel) {
  for (int i = 0; i < 3; i++) Create(IdleTask);
  Create(ParkedTask);
  ASSERT_TRUE(WaitFor([] { return g_parked == 1; }));
  for (int i = 0; i < 2; i++) {
    auto *appl = QDV0_New<ApplEntry>();
    appl->pNext = anchor_->pApplList;
    anchor_->pApplList = appl;
    auto *io = QDV0_New<IOEntry>();
    io->pNext = anchor_->pIOEList[0];
    anchor_->pIOEList[0] = io;
  }
  auto *irb = QDV0_New<IRBlock>();
  irb->pBuffer = static_cast<char *>(QDV0_GetStorage(64));
  anchor_->pIRBList = irb;
  const time_t start = 1000000;
  QDV0_UseManualClock(start);
  TraceCapture trace;
  QDVP_ShutdownCleanUp(anchor_, 1);
  time_t waited = QDV0_Time() - start;
  QDV0_UseSystemClock();
  // 180 seconds in steps of 5: 36 waits, each announced, then the release goes on.
  EXPECT_GE(waited, 180);
  EXPECT_LT(waited, 190);
  EXPECT_GE(trace.Count(">>>>>Waiting for all processes to end - "), 36u);
  EXPECT_GE(trace.Count(">>>>>Waiting for all processes to end - 1"), 30u);
  EXPECT_EQ(trace.Count("Signal process termination. Thread:"), 4u);
  EXPECT_EQ(ActiveTasks(anchor_), 1);  // only the stuck one
  EXPECT_EQ(anchor_->pApplList, nullptr);
  EXPECT_EQ(anchor_->pIOEList[0], nullptr);
  EXPECT_EQ(anchor_->pIRBList, nullptr);
  // The stuck task's entry is still chained; release it for the test's own teardown.
  for (ProcessEntry *pe : Chain(anchor_)) QDVP_ReleaseProcessResources(anchor_, pe);
}

TEST_F(TaskTest, WaitForSignalGivesUpTheBlockLockWhileWaiting) {
  QDVP_SignalBlock block;
  OSV1_InitializeLock(&block.Lock);
  OSV1_InitializeLock(&block.Mutex);
  std::atomic<bool> waiting{false}, woke{false};
  std::thread waiter([&] {
    OSV1_GetLock(&block.Lock);
    waiting = true;
    QDVP_WaitForSignal(&block);
    woke = true;
    OSV1_ReleaseLock(&block.Lock);
  });
  ASSERT_TRUE(WaitFor([&] { return waiting.load(); }));
  // The waiter released the block's lock, so this thread can take it and signal.
  ASSERT_TRUE(WaitFor([&] {
    OSV1_GetLock(&block.Lock);
    OSV1_Signal(&block.Mutex, &block.Cond);
    OSV1_ReleaseLock(&block.Lock);
    return woke.load();
  }));
  waiter.join();
}

std::string Hex(const unsigned char *p, size_t n) {
  return dch_test::Hex(std::string(reinterpret_cast<const char *>(p), n));
}

// In the UTC zone (only non-fatal checks, so the zone is always set back).
TEST(UtcZone, CorvidStampsOfTimesAndOfTimeTexts) {
  EnvGuard env;
  env.Set("TZ", "UTC0");
  tzset();
  char stamp[17];
  EXPECT_STREQ(QDV0_ConvertTimeToCorvidTime(0, stamp), "0700101000000000");
  EXPECT_STREQ(QDV0_ConvertTimeToCorvidTime(1772400600, stamp), "1260301213000000");
  EXPECT_EQ(QDV0_CorvidTimeToTime("1260301213000000"), 1772400600);
  char text[18];
  EXPECT_STREQ(QDV0_CorvidTimeToString("1260301213005000", text), "03/01/26 21:30:05");
  EXPECT_STREQ(QDV0_CorvidTimeToString("garbage", text), "00/00/00 00:00:00");
  EXPECT_EQ(QDV0_CorvidTimeToWeekDay("1260301213000000"), 0);  // a Sunday
  EXPECT_EQ(QDV0_CorvidTimeToWeekDay("1261305000000000"), -1);
  QDV0_UseManualClock(1772400600);
  char now[17];
  EXPECT_STREQ(QDV0_GetCorvidTime(now), "1260301213000000");
  QDV0_UseSystemClock();
  // Time texts become stamps, or sixteen zeros.
  struct {
    const char *text;
    const char *stamp;
  } cases[] = {
      {"03/01/26 21:30:05", "1260301213005000"},   {"03/01/2026 21:30:05", "1260301213005000"},
      {"2026-03-01 21:30:05", "1260301213005000"}, {"2026/03/01", "1260301000000000"},
      {"12/31/99 23:59:59", "0991231235959000"},   {"13/01/26 00:00:00", "0000000000000000"},
      {"not a time", "0000000000000000"},          {"", "0000000000000000"},
      {"2026-03-01 25:00:00", "0000000000000000"},
  };
  for (const auto &c : cases) {
    char buffer[64];
    snprintf(buffer, sizeof(buffer), "%s", c.text);
    EXPECT_STREQ(QDV0_StringToCorvidTime(buffer), c.stamp) << c.text;
  }
  env.Set("TZ", std::nullopt);
  tzset();
}

TEST(Base64, PublishedTestVectorsAndTheCheckSumIsCrc32) {
  struct {
    const char *in, *out;
  } cases[] = {{"", ""},
               {"f", "Zg=="},
               {"fo", "Zm8="},
               {"foo", "Zm9v"},
               {"foob", "Zm9vYg=="},
               {"fooba", "Zm9vYmE="},
               {"foobar", "Zm9vYmFy"},
               {"user:pass", "dXNlcjpwYXNz"}};
  for (const auto &c : cases) {
    char out[64];
    EXPECT_EQ(QDV0_EncodeBase64(c.in, out), strlen(c.out));
    EXPECT_STREQ(out, c.out);
  }
  EXPECT_EQ(QDV0_ComputeCheckSum("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(QDV0_ComputeCheckSum("", 0), 0u);
  EXPECT_NE(QDV0_ComputeCheckSum("line one\n", 9) & 0xFFFF,
            QDV0_ComputeCheckSum("line two\n", 9) & 0xFFFF);
}

TEST(Cipher, TableIsAPermutationAndRecordsRoundTrip) {
  std::set<char> chars(cipher_table, cipher_table + 96);
  EXPECT_EQ(chars.size(), 96u);
  for (int c = 0x20; c < 0x80; c++) EXPECT_TRUE(chars.count(static_cast<char>(c))) << c;
  const char *records[] = {"//NAME Access K 300\n", "client D 64 ' ' @Client address\n", "",
                           "#{}[]~\x7f\"'\\", "bytes \x01\xff pass"};
  for (long key : {0L, 1L, 20L * 7, 123456789L, -5L}) {
    for (const char *r : records) {
      std::string text = r;
      std::vector<char> buffer(text.begin(), text.end());
      buffer.push_back('\0');
      QDV0_EncipherMetaRecord(buffer.data(), key);
      if (!text.empty() && key != 0) {
        EXPECT_NE(std::string(buffer.data()), text);
      }
      EXPECT_EQ(strlen(buffer.data()), text.size()) << "no NUL is ever produced";
      QDV0_DecipherMetaRecord(buffer.data(), key);
      EXPECT_EQ(std::string(buffer.data()), text) << key;
    }
  }
  // Line ends are kept, so enciphered metafiles stay line-oriented.
  char line[] = "APPL\n";
  QDV0_EncipherMetaRecord(line, 99);
  EXPECT_EQ(line[4], '\n');
}

TEST(AgentLinkFields, FormatKeepsTheLengthWordAndExtractWalksFields) {
  unsigned char message[64] = {0};
  size_t pos = 4;
  uint16_t request = htons(0x1030);
  pos += QDV0_FormatDataField(message, sizeof(message), pos, 0x0010, &request, 2, 0);
  pos += QDV0_FormatDataField(message, sizeof(message), pos, 0x0050, "Bytes", 5, 0);
  unsigned char value[2] = {0x01, 0x2C};  // 300
  pos += QDV0_FormatDataField(message, sizeof(message), pos, 0x0051, value, 2, 'C');
  EXPECT_EQ(pos, 4u + 8 + 11 + 9);
  EXPECT_EQ(Hex(message, pos),
            "00000020"
            "0010000000021030"
            "0050000000054279746573"
            "00510000000343012c");
  size_t at = 0;
  int code;
  const unsigned char *data;
  size_t length;
  std::vector<int> codes;
  while (QDV0_ExtractDataField(message, pos, &at, &code, &data, &length) == 1)
    codes.push_back(code);
  EXPECT_EQ(codes, (std::vector<int>{0x10, 0x50, 0x51}));
  // A field that does not fit is refused; one that claims more than remains is an error.
  EXPECT_EQ(QDV0_FormatDataField(message, sizeof(message), pos, 0x0130, "x", 40, 0), 0u);
  message[pos - 6] = 0x7F;  // the last field's length now runs past the end
  at = 4;
  int rc;
  while ((rc = QDV0_ExtractDataField(message, pos, &at, &code, &data, &length)) == 1) {
  }
  EXPECT_EQ(rc, -1);
}

TEST(Ber, IntegersNullStringsAndOids) {
  struct {
    long value;
    const char *hex;
  } ints[] = {
      {0, "020100"},    {127, "02017f"},    {128, "02020080"}, {-1, "0201ff"},
      {-128, "020180"}, {-129, "0202ff7f"}, {256, "02020100"}, {2147483647L, "02047fffffff"}};
  for (const auto &c : ints) {
    unsigned char out[16];
    size_t n = QDV0_FormatBERintegerType(QDV0_BER_INTEGER, c.value, out, sizeof(out));
    EXPECT_EQ(Hex(out, n), c.hex) << c.value;
    int tag;
    const unsigned char *contents;
    size_t clen;
    ASSERT_EQ(QDV0_ExtractBERfield(out, n, 0, &tag, &contents, &clen), n);
    long back;
    ASSERT_EQ(QDV0_ExtractBERinteger(contents, clen, &back), 0);
    EXPECT_EQ(back, c.value);
  }
  unsigned char out[320];
  EXPECT_EQ(Hex(out, QDV0_FormatBERnullType(QDV0_BER_NULL, out, sizeof(out))), "0500");
  // Octet strings with the short length form and the long forms of one and two bytes.
  for (const auto &[text, head] : {std::pair<std::string, std::string>{"public", "0406"},
                                   {std::string(200, 'a'), "0481c8"},
                                   {std::string(300, 'b'), "0482012c"}}) {
    size_t n = QDV0_FormatBERoctetstringType(QDV0_BER_OCTETSTRING, text.data(), text.size(), out,
                                             sizeof(out));
    EXPECT_EQ(Hex(out, n), head + dch_test::Hex(text));
  }
  // Round trips, also at the edges: the largest 32-bit arc, a first group above 127 (2.999),
  // arcs that need every byte count.
  struct {
    const char *oid, *hex;
  } oids[] = {{"1.3.6.1.2.1.1.1.0", "06082b06010201010100"},
              {"1.3.6.1.4.1.2021.10.1.3.1", "060b2b060104018f650a010301"},
              {"1.3.6.1.4.1.4294967295", "060a2b06010401 8fffffff7f"},
              {"2.999.3", "0603883703"},
              {"0.0", "060100"},
              {"1.3.128.16383.16384", "06082b8100 ff7f818000"}};
  char text[128];
  for (const auto &c : oids) {
    SCOPED_TRACE(c.oid);
    std::string want = c.hex;
    want.erase(std::remove(want.begin(), want.end(), ' '), want.end());
    size_t n = QDV0_FormatOIDfromString(c.oid, out, sizeof(out));
    EXPECT_EQ(Hex(out, n), want);
    ASSERT_EQ(QDV0_DecodeOIDfromBER(out + 2, n - 2, text, sizeof(text)), 0);
    EXPECT_STREQ(text, c.oid);
  }
  for (const char *bad : {"", "1", "1.", "1.3.x", "3.1", "1.40", "1.3.6.4294967296", "1.3..6",
                          "1.3.6.", "1.3.6.99999999999999999999999"}) {
    EXPECT_EQ(QDV0_FormatOIDfromString(bad, out, sizeof(out)), 0u) << bad;
  }
  // A 33-bit arc, and an arc whose last byte still says "more", are no OID.
  const unsigned char wide[] = {0x2b, 0x90, 0x80, 0x80, 0x80, 0x00};
  EXPECT_NE(QDV0_DecodeOIDfromBER(wide, sizeof(wide), text, sizeof(text)), 0);
  const unsigned char open[] = {0x2b, 0x86};
  EXPECT_NE(QDV0_DecodeOIDfromBER(open, sizeof(open), text, sizeof(text)), 0);
  // Every long length form is read, and a length beyond the buffer is refused.
  const unsigned char forms[][8] = {{0x04, 0x02, 'a', 'b'},
                                    {0x04, 0x81, 0x02, 'a', 'b'},
                                    {0x04, 0x82, 0x00, 0x02, 'a', 'b'},
                                    {0x04, 0x84, 0x00, 0x00, 0x00, 0x02, 'a', 'b'}};
  const size_t sizes[] = {4, 5, 6, 8};
  for (size_t i = 0; i < 4; i++) {
    const unsigned char *contents = nullptr;
    size_t clen = 0;
    EXPECT_EQ(QDV0_ExtractBERfield(forms[i], sizes[i], 0, nullptr, &contents, &clen), sizes[i]);
    EXPECT_EQ(clen, 2u);
    EXPECT_EQ(QDV0_ExtractBERfield(forms[i], sizes[i] - 1, 0, nullptr, nullptr, nullptr), 0u);
  }
  const unsigned char truncated[] = {0x04, 0x05, 'a', 'b'};
  EXPECT_EQ(QDV0_ExtractBERfield(truncated, sizeof(truncated), 0, nullptr, nullptr, nullptr), 0u);
  const unsigned char hugeLength[] = {0x04, 0x85, 1, 2, 3, 4, 5};
  EXPECT_EQ(QDV0_ExtractBERfield(hugeLength, sizeof(hugeLength), 0, nullptr, nullptr, nullptr), 0u);
}

TEST(Names, JoinCheckCleanTokenizeAndListTheDirectoryAVariableNames) {
  EnvGuard env;
  env.Set("QDVP_HOME", "/home/qdvp");
  auto joined = [](const char *d, const char *n) {
    char *s = QDV0_ConstructFullyQualifiedName(d, n);
    std::string r = s;
    QDV0_FreeStorage(&s);
    return r;
  };
  EXPECT_EQ(joined("/etc/qdvp", "a.cfg"), "/etc/qdvp/a.cfg");
  EXPECT_EQ(joined("/etc/qdvp/", "a.cfg"), "/etc/qdvp/a.cfg");
  EXPECT_EQ(joined(nullptr, "DPACTLOG"), "/home/qdvp/DPACTLOG");
  for (const char *name : {"./x", "/a/b"}) EXPECT_TRUE(QDV0_IsThisFullyQualifiedName(name)) << name;
  for (const char *name : {"DPACTLOG", static_cast<const char *>(nullptr)})
    EXPECT_FALSE(QDV0_IsThisFullyQualifiedName(name)) << (name ? name : "(null)");

  TempDir dir;
  std::string file = dir.Write("plain", "x");
  EXPECT_EQ(QDV0_CheckPathSpec(nullptr), nullptr);
  EXPECT_EQ(QDV0_CheckPathSpec(""), nullptr);
  EXPECT_EQ(QDV0_CheckPathSpec(file.c_str()), nullptr) << "a file is no directory";
  const char *same = dir.path().c_str();
  EXPECT_EQ(QDV0_CheckPathSpec(same), same);
  std::string slashed = dir.path() + "//";
  char *trimmed = QDV0_CheckPathSpec(slashed.c_str());
  EXPECT_EQ(std::string(trimmed), dir.path());
  QDV0_FreeStorage(&trimmed);
  EXPECT_STREQ(QDV0_CheckPathSpec("/"), "/");

  char upper[] = "MixedCase1";
  EXPECT_STREQ(QDV0_ConvertStringToUpper(upper, 0), "MIXEDCASE1");
  char *copy = QDV0_ConvertStringToUpper(const_cast<char *>("abc"), 1);
  EXPECT_STREQ(copy, "ABC");
  QDV0_FreeStorage(&copy);
  char name[] = "Disk Usage-%/1";
  EXPECT_STREQ(QDV0_SubValidNameCharacter(name), "Disk_Usage___1");
  char line[] = "text\r\n\n";
  EXPECT_EQ(QDV0_RemoveCRandLF(line), 4u);
  EXPECT_STREQ(line, "text");
  char a[] = "a b c";
  EXPECT_STREQ(QDV0_strtok(a, " "), "a");
  std::string other;
  std::thread t([&] {
    char b[] = "x,y";
    other = QDV0_strtok(b, ",");
    other += QDV0_strtok(nullptr, ",");
  });
  t.join();
  EXPECT_EQ(other, "xy");
  EXPECT_STREQ(QDV0_strtok(nullptr, " "), "b");
  EXPECT_STREQ(QDV0_strtok(nullptr, " "), "c");
  EXPECT_EQ(QDV0_strtok(nullptr, " "), nullptr);

  dir.Write("one.mdl", "x");
  dir.Write("two.mdl", "y");
  env.Set("QDVP_TEST_DIR", dir.path());
  int rc = -1;
  ZGLQ_DIR *handle = zglqpopd("QDVP_TEST_DIR", &rc);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(rc, 0);
  std::vector<std::string> names;
  char entry[256];
  while (zglqprdd(handle, entry, sizeof(entry)) == 0) names.push_back(entry);
  EXPECT_EQ(zglqpcld(handle), 0);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"one.mdl", "plain", "two.mdl"}));
  EXPECT_EQ(zglqpopd("QDVP_TEST_UNSET_DIR", &rc), nullptr);
  EXPECT_EQ(rc, -1);
}

// What stands in a line of a log file for a text: printable bytes and UTF-8 as they are,
// backslashes doubled, line ends, tabs and every other control character escaped; a trace
// line whose text holds a line end is still one line of the trace file.
TEST(LogLines, ControlCharactersAndBackslashesAreEscapedAndNothingElse) {
  const struct {
    std::string text, line;
  } cases[] = {
      {"plain text [42]", "plain text [42]"},
      {"a\nb\r\nc\td", "a\\nb\\r\\nc\\td"},
      {"back\\slash \\n", "back\\\\slash \\\\n"},
      {std::string("nul\0esc\x1b"
                   "del\x7f"
                   "\x01",
                   13),
       "nul\\x00esc\\x1Bdel\\x7F\\x01"},
      {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
      {"", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.line);
    std::string out = "kept:";
    QDV0_AppendLogText(&out, c.text.data(), c.text.size());
    EXPECT_EQ(out, "kept:" + c.line);
  }
  EXPECT_EQ(QDV0_EscapeLogText("x\ny"), "x\\ny");
  EXPECT_EQ(QDV0_EscapeLogText(nullptr), "");
}

TEST(Storage, BlocksAreZeroedTrackedAndFreedOnce) {
  size_t before = QDV0_LiveBlockCount();
  auto *block = static_cast<unsigned char *>(QDV0_GetStorage(100));
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(std::all_of(block, block + 100, [](unsigned char c) { return c == 0; }));
  EXPECT_TRUE(QDV0_IsValidBlockPointer(block, 100));
  EXPECT_FALSE(QDV0_IsValidBlockPointer(block, 99));
  EXPECT_FALSE(QDV0_IsValidBlockPointer(nullptr, 100));
  EXPECT_EQ(QDV0_LiveBlockCount(), before + 1);
  void *keep = block;
  QDV0_FreeStorage(&block);
  EXPECT_EQ(block, nullptr);
  EXPECT_FALSE(QDV0_IsValidBlockPointer(keep, 100));
  QDV0_FreeStorage(&block);  // already null: nothing happens
  EXPECT_EQ(QDV0_LiveBlockCount(), before);
  QDV0_FailStorageAfter(1, 2);
  void *first = QDV0_GetStorage(8);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(QDV0_GetStorage(8), nullptr);
  EXPECT_EQ(QDV0_GetStorage(8), nullptr);
  void *after = QDV0_GetStorage(8);
  EXPECT_NE(after, nullptr);
  QDV0_FreeStorage(&first);
  QDV0_FreeStorage(&after);
}

// A bounded wait lasts its bound whatever the condition: one of static storage, one in a
// record made by QDV0_New, one in cleared storage nobody constructed. (A condition made for the
// real-time clock, as PTHREAD_COND_INITIALIZER makes it, once ended a monotonic deadline's
// wait at once.) A signal still ends the wait early.
OSV1_COND gStaticCondition;
TEST(Conditions, EveryConditionWaitsItsWholeBoundHoweverItWasMade) {
  struct Record {
    OSV1_COND cond;
  };
  Record *made = QDV0_New<Record>();
  void *cleared = QDV0_GetStorage(sizeof(OSV1_COND));
  struct Case {
    const char *name;
    OSV1_COND *cond;
  } cases[] = {{"static", &gStaticCondition},
               {"made", &made->cond},
               {"cleared storage", static_cast<OSV1_COND *>(cleared)}};
  OSV1_LOCK lock = OSV1_LOCK_INITIALIZER;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    auto begin = std::chrono::steady_clock::now();
    OSV1_GetLock(&lock);
    EXPECT_NE(QDV0_ConditionTimedWaitMs(c.cond, &lock, 150), 0);
    OSV1_ReleaseLock(&lock);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(140));
    std::atomic<bool> woken{false};
    std::thread waker([&] {
      while (!woken) {
        OSV1_Broadcast(&lock, c.cond);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    begin = std::chrono::steady_clock::now();
    OSV1_GetLock(&lock);
    EXPECT_EQ(QDV0_ConditionTimedWaitMs(c.cond, &lock, 10000), 0);
    OSV1_ReleaseLock(&lock);
    woken = true;
    waker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  }
  QDV0_Free(made);
  QDV0_FreeStorage(&cleared);
}

// The one lifetime rule's record: holds are refused once it is closed (except one a holder
// passes on), and the deleter's wait ends with the last let-go, not before.
TEST(Holds, TheDeletersWaitEndsWithTheLastHolderAndAClosedRecordRefusesNewOnes) {
  OSV1_HOLDS holds;
  ASSERT_TRUE(OSV1_TakeHold(&holds));
  ASSERT_TRUE(OSV1_TakeHold(&holds));
  EXPECT_EQ(OSV1_HoldCount(&holds), 2);
  std::atomic<bool> freed{false};
  std::thread deleter([&] {
    OSV1_AwaitLetGo(&holds, "test record");
    freed = true;
  });
  ASSERT_TRUE(WaitFor([&] { return OSV1_HoldsClosed(&holds); }));
  EXPECT_FALSE(OSV1_TakeHold(&holds));
  OSV1_AddHold(&holds);  // a holder passes one on: counted although closed
  OSV1_LetGo(&holds);
  OSV1_LetGo(&holds);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(freed.load()) << "the wait ended while a task still held the record";
  OSV1_LetGo(&holds);
  deleter.join();
  EXPECT_TRUE(freed.load());
  EXPECT_EQ(OSV1_HoldCount(&holds), 0);
  // Cleared storage is an open record without holds.
  void *cleared = QDV0_GetStorage(sizeof(OSV1_HOLDS));
  auto *fresh = static_cast<OSV1_HOLDS *>(cleared);
  EXPECT_FALSE(OSV1_HoldsClosed(fresh));
  EXPECT_TRUE(OSV1_TakeHold(fresh));
  OSV1_LetGo(fresh);
  OSV1_AwaitLetGo(fresh, "cleared");
  QDV0_FreeStorage(&cleared);
}

TEST(Sockets, BindToLoopbackUnlessConfiguredAndDatagramPortsAreExclusive) {
  sockaddr_in bound{};
  int s = QDV0_OpenLocalSocket(1, 0, &bound, 1);
  ASSERT_GE(s, 0);
  EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  sockaddr_in again{};
  EXPECT_EQ(QDV0_OpenLocalSocket(1, bound.sin_port, &again, 1), -1);
  QDV0_CloseTheSocket(s);
  {
    EnvGuard env;
    env.Set("QDVP_BIND_ADDRESS", "0.0.0.0");
    int any = QDV0_OpenLocalSocket(2, 0, &bound, 1);
    ASSERT_GE(any, 0);
    EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_ANY));
    QDV0_CloseTheSocket(any);
  }
  sockaddr_in address{};
  EXPECT_EQ(QDV0_ConvertNameToAddr("127.0.0.1", 7900, &address), 0);
  EXPECT_EQ(ntohs(address.sin_port), 7900);
  EXPECT_EQ(QDV0_ConvertNameToAddr("localhost", 1, &address), 0);
  EXPECT_TRUE(QDV0_IsThisAddressString("10.1.2.3"));
  EXPECT_FALSE(QDV0_IsThisAddressString("host.example"));
  EXPECT_FALSE(QDV0_IsThisAddressString("1.2.3"));
  EXPECT_TRUE(QDV0_IsOwnHostName("localhost"));
  EXPECT_TRUE(QDV0_IsOwnHostName(QDV0_LocalHostNameString()));
  EXPECT_FALSE(QDV0_IsOwnHostName("some-other-host.example"));
}

TEST(Trace, FlagsFromNumbersAndWordsTheLinesTheyLetThroughAndTheManualClock) {
  struct {
    const char *text;
    unsigned flags;
  } cases[] = {{nullptr, 0},
               {"", 0},
               {"128", TRK1_ERROR},
               {"0x50", TRK1_DETAIL | TRK1_FLOW},
               {"error", TRK1_ERROR},
               {"detail", TRK1_DETAIL | TRK1_ERROR},
               {"storage,flow", TRK1_STORAGE | TRK1_FLOW},
               {"error detail storage flow", TRK1_ERROR | TRK1_DETAIL | TRK1_STORAGE | TRK1_FLOW},
               {"nonsense", 0}};
  for (const auto &c : cases) EXPECT_EQ(TRK1_ParseFlags(c.text), c.flags) << (c.text ? c.text : "");
  // Lines go to the file only when their bit is set.
  TraceCapture trace;
  static TRK1_BLOCK block = {"unit"};
  TRK1_SetFlags(TRK1_ERROR);
  QDVP_TRC(block, TRK1_DETAIL, "detail %d", 1);
  QDVP_TRC(block, TRK1_ERROR, "error %d", 2);
  EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"error 2"}));
  QDV0_UseManualClock(5000);
  EXPECT_EQ(QDV0_Time(), 5000);
  QDV0_AdvanceClock(10);
  EXPECT_EQ(QDV0_Time(), 5010);
  OSV1_Sleep(60);
  EXPECT_EQ(QDV0_Time(), 5070);
  OSV1_LOCK m;
  OSV1_COND c;
  OSV1_InitializeLock(&m);
  OSV1_GetLock(&m);
  EXPECT_NE(QDV0_ConditionTimedWait(&c, &m, 30), 0);
  OSV1_ReleaseLock(&m);
  EXPECT_EQ(QDV0_Time(), 5100);
  QDV0_UseSystemClock();
  EXPECT_GT(QDV0_Time(), 1700000000);
}

// Runs idle cycles as the task does (adjust, sleep, count the cycle); the interval after each.
std::vector<int> IdleRun(ScanClock *clock, int cycles) {
  std::vector<int> intervals;
  for (int i = 0; i < cycles; i++) {
    intervals.push_back(QDVP_ScanNextInterval(clock, 0));
    clock->IdleCycles++;
  }
  return intervals;
}

// The distinct intervals of 250 idle cycles, from the settings (unset: their defaults).
TEST(ScanInterval, IdleCyclesDoubleItUpToTheMaximumAndTheOutageWindowActivityHalvesIt) {
  const std::optional<std::string> unset;
  const struct {
    std::optional<std::string> delay, max, window;
    std::vector<int> distinct;
    int firstChange;  // cycle at which the interval first doubles
  } cases[] = {
      {unset, unset, unset, {1, 2, 4, 8, 16, 32, 64}, 30},
      {"2", unset, "20", {1, 2, 4, 8, 16, 20}, 2},
      {"1", "4", "0", {1, 2, 4}, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.distinct.back());
    EnvGuard env({{"QDVP_SCAN_DELAY_CYCLES", c.delay},
                  {"QDVP_SCAN_MAX_INTERVAL", c.max},
                  {"QDVP_ACTIVITY_DELAY_CYCLES", unset},
                  {"QDVP_TCP_OUTAGE_WINDOW", c.window}});
    ScanClock clock;
    QDVP_InitializeScanClock(&clock);
    std::vector<int> seen = IdleRun(&clock, 250), distinct;
    for (int v : seen) {
      if (distinct.empty() || distinct.back() != v) distinct.push_back(v);
    }
    EXPECT_EQ(distinct, c.distinct);
    EXPECT_EQ(seen[c.firstChange - 1], 1);
    EXPECT_EQ(seen[c.firstChange], 2);
  }
  EnvGuard env({{"QDVP_SCAN_DELAY_CYCLES", "1"}, {"QDVP_ACTIVITY_DELAY_CYCLES", std::nullopt}});
  ScanClock c;
  QDVP_InitializeScanClock(&c);
  IdleRun(&c, 4);
  ASSERT_EQ(c.Interval, 8);
  c.Activity += 3;  // the default threshold, e.g. one UDP partner expiry
  EXPECT_EQ(QDVP_ScanNextInterval(&c, 0), 4);
  c.Activity += 2;  // below the threshold: no change
  EXPECT_EQ(QDVP_ScanNextInterval(&c, 0), 4);
  c.Activity += 1;
  EXPECT_EQ(QDVP_ScanNextInterval(&c, 0), 2);
  EXPECT_EQ(QDVP_ScanNextInterval(&c, 1), 1) << "an ending task counts as busy";
  EXPECT_EQ(QDVP_ScanNextInterval(&c, 1), 1);
}

}  // namespace
}  // namespace qdvp_test
