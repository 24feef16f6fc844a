// Tasks and their process entries: the chain, creation failures, the own-entry lookup, work
// queues, startup waits, and the orderly shutdown with tasks that end and one that never does.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp_core.h"
#include "include/qdvp_model.h"
#include "tests/core/core_test_util.h"
#include "tests/support/qdvptest.h"

namespace qdvp_test {
namespace {

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
  pthread_cond_signal(&entry->TaskIOcond);
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
  QDV0_InitializeCondVar(&block.Cond);
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

}  // namespace
}  // namespace qdvp_test
