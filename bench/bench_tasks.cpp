// Task hand-off: the time for a producer to queue an item to a task through its process entry
// and for the task to answer, beside the same round trip over a bare mutex and condition
// variable pair. Every row of the product crosses such hand-offs (producer to client task and
// back), so their cost bounds the row rate.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/support/qdv0.h"
#include "include/qdvp_core.h"

namespace {

// The answer a task gives to each item: a flag and a condition the producer waits on.
struct Reply {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
};

struct Request {
  WorkItem link;
  Reply *reply;
};

void EchoTask(ProcessEntry *entry) {
  entry->ThreadID = OSV1_ThreadID();
  while (!QDVP_TaskShouldEnd(entry)) {
    for (WorkItem *w = QDVP_TakeWorkQueue(entry); w;) {
      WorkItem *next = w->pNext;
      Reply *reply = reinterpret_cast<Request *>(w)->reply;
      {
        std::lock_guard<std::mutex> l(reply->m);
        reply->done = true;
      }
      reply->cv.notify_one();
      w = next;
    }
    QDVP_WaitTaskIO(entry, 0, nullptr, nullptr);
  }
  QDVP_EndTask(entry->pDPAB, entry);
}

void BM_ProcessEntryRoundTrip(benchmark::State &state) {
  setenv("QDVP_HOME", "/tmp", 1);
  DPAB *anchor = QDVP_StartupInitialization();
  ProcessEntry *task = nullptr;
  QDVP_CreateProcess(anchor, -1, nullptr, EchoTask, 0, &task);
  Reply reply;
  Request request{{nullptr}, &reply};
  for (auto _ : state) {
    reply.done = false;
    QDVP_QueueWorkItem(task, &request.link);
    std::unique_lock<std::mutex> l(reply.m);
    reply.cv.wait(l, [&] { return reply.done; });
  }
  QDVP_ShutdownCleanUp(anchor, 1);
  QDVP_ReleaseGlobalResources(anchor);
}
BENCHMARK(BM_ProcessEntryRoundTrip)->UseRealTime();

// The reference: the same request and answer over one mutex and two condition variables.
void BM_PlainConditionRoundTrip(benchmark::State &state) {
  std::mutex m;
  std::condition_variable toTask, toProducer;
  bool request = false, answer = false, stop = false;
  std::thread task([&] {
    std::unique_lock<std::mutex> l(m);
    for (;;) {
      toTask.wait(l, [&] { return request || stop; });
      if (stop) return;
      request = false;
      answer = true;
      toProducer.notify_one();
    }
  });
  for (auto _ : state) {
    std::unique_lock<std::mutex> l(m);
    request = true;
    toTask.notify_one();
    toProducer.wait(l, [&] { return answer; });
    answer = false;
  }
  {
    std::lock_guard<std::mutex> l(m);
    stop = true;
  }
  toTask.notify_one();
  task.join();
}
BENCHMARK(BM_PlainConditionRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
