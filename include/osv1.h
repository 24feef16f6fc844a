// Base services: locks, sleeping, thread identity and the clock.
//
// Every shared list of the data provider is guarded by an OSV1_LOCK embedded in the record
// that owns the list. A lock is a plain word-sized record so that it can live inside blocks
// obtained from QDV0_GetStorage; OSV1_InitializeLock must run before first use and
// OSV1_DestroyLock after last use. Any thread may call any function here.
//
// Time: OSV1_Sleep and QDV0_Time (qdv0.h) go through one clock that tests may replace with a
// manual clock (QDV0_UseManualClock); production code never reads the wall clock directly for
// intervals and deadlines.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <time.h>

extern "C" {

struct OSV1_LOCK {
  pthread_mutex_t mutex;
  int initialized;
};

struct OSV1_TIMESTAMP {
  long seconds;
  long nanoseconds;
};

int OSV1_InitializeLock(OSV1_LOCK *lock);
int OSV1_GetLock(OSV1_LOCK *lock);
int OSV1_ReleaseLock(OSV1_LOCK *lock);
int OSV1_DestroyLock(OSV1_LOCK *lock);

// Sleeps for the given seconds on the system clock (a manual clock advances instead).
void OSV1_Sleep(int seconds);
// A small positive number that identifies the calling thread for as long as it lives.
uint32_t OSV1_ThreadID(void);
// Fills the pair with the current time of day and returns its seconds.
long OSV1_GetTime(OSV1_TIMESTAMP *stamp);
}

// Holds an OSV1 lock for the life of a scope.
class OSV1_Guard {
 public:
  explicit OSV1_Guard(OSV1_LOCK *lock) : lock_(lock) { OSV1_GetLock(lock_); }
  ~OSV1_Guard() { OSV1_ReleaseLock(lock_); }
  OSV1_Guard(const OSV1_Guard &) = delete;
  OSV1_Guard &operator=(const OSV1_Guard &) = delete;

 private:
  OSV1_LOCK *lock_;
};
