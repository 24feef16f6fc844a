// Helpers for the core tests: running the entry in a thread of its own, as a host does, and
// reading the anchor's task chain.
#pragma once

#include <pthread.h>

#include <atomic>
#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp_core.h"
#include "tests/support/qdvptest.h"

namespace qdvp_test {

// Runs QDVP_StartDataProvider(type) in a thread; records whether the entry returned and with
// what, or ended its thread with which result word.
class EntryThread {
 public:
  explicit EntryThread(int type) : type_(type) {
    pthread_create(&thread_, nullptr, &EntryThread::Run, this);
  }
  ~EntryThread() {
    if (!joined_) Join();
  }
  // Joins the thread; returns false when it has not ended within the deadline.
  bool Join(int seconds = 20) {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += seconds;
    void *result = nullptr;
    if (pthread_timedjoin_np(thread_, &result, &deadline) != 0) return false;
    joined_ = true;
    exitWord_ = result ? *static_cast<int *>(result) : -1;
    return true;
  }
  bool returned() const { return returned_; }
  int rc() const { return rc_; }
  int exitWord() const { return exitWord_; }

 private:
  static void *Run(void *self) {
    auto *t = static_cast<EntryThread *>(self);
    int type = t->type_;
    t->rc_ = QDVP_StartDataProvider(&type);
    t->returned_ = true;
    return nullptr;
  }
  int type_;
  pthread_t thread_{};
  bool joined_ = false;
  std::atomic<bool> returned_{false};
  int rc_ = -1;
  int exitWord_ = -1;
};

inline int ActiveTasks(DPAB *anchor) {
  OSV1_Guard chain(&anchor->ProcessListLock);
  return anchor->ActiveTasks;
}

inline std::vector<ProcessEntry *> Chain(DPAB *anchor) {
  OSV1_Guard chain(&anchor->ProcessListLock);
  std::vector<ProcessEntry *> entries;
  for (ProcessEntry *pe = anchor->pProcessList; pe; pe = pe->pNext) entries.push_back(pe);
  return entries;
}

inline DPAB *PublishedAnchor() {
  OSV1_GetLock(&QDVP_MainAnchorMutex);
  DPAB *anchor = Main_DPAB;
  OSV1_ReleaseLock(&QDVP_MainAnchorMutex);
  return anchor;
}

}  // namespace qdvp_test
