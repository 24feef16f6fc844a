// Base services: locks, sleeping, thread identity and the clock.
//
// Every shared list of the data provider is guarded by an OSV1_LOCK embedded in the record
// that owns the list, and every condition variable is paired with one. A lock is a plain
// word-sized record so that it can live inside blocks obtained from QDV0_GetStorage;
// OSV1_InitializeLock must run before first use and OSV1_DestroyLock after last use. Any thread may call any function here.
//
// Time: OSV1_Sleep and QDV0_Time (qdv0.h) go through one clock that tests may replace with a
// manual clock (QDV0_UseManualClock); production code never reads the wall clock directly for
// intervals and deadlines.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <time.h>

// Clang's thread-safety analysis (the clang preset builds with -Wthread-safety and
// -Wthread-safety-beta as errors): a field marked QDVP_GUARDED_BY(lock) may be touched only with
// that lock held, and a function marked QDVP_REQUIRES(lock) only called with it held. A lock
// marked QDVP_ACQUIRED_AFTER(other) may be taken only after other when both are held (the
// lock order, include/qdvp_anchor.h); the check sees the locks one function takes and those its
// QDVP_REQUIRES names. Other compilers ignore the marks.
#if defined(__clang__)
#define QDVP_TSA(x) __attribute__((x))
#else
#define QDVP_TSA(x)
#endif
#define QDVP_CAPABILITY(x) QDVP_TSA(capability(x))
#define QDVP_SCOPED_CAPABILITY QDVP_TSA(scoped_lockable)
#define QDVP_GUARDED_BY(x) QDVP_TSA(guarded_by(x))
#define QDVP_PT_GUARDED_BY(x) QDVP_TSA(pt_guarded_by(x))
#define QDVP_REQUIRES(...) QDVP_TSA(requires_capability(__VA_ARGS__))
#define QDVP_ACQUIRE(...) QDVP_TSA(acquire_capability(__VA_ARGS__))
#define QDVP_RELEASE(...) QDVP_TSA(release_capability(__VA_ARGS__))
#define QDVP_TRY_ACQUIRE(...) QDVP_TSA(try_acquire_capability(__VA_ARGS__))
#define QDVP_ASSERT_CAPABILITY(x) QDVP_TSA(assert_capability(x))
#define QDVP_EXCLUDES(...) QDVP_TSA(locks_excluded(__VA_ARGS__))
#define QDVP_ACQUIRED_AFTER(...) QDVP_TSA(acquired_after(__VA_ARGS__))
#define QDVP_ACQUIRED_BEFORE(...) QDVP_TSA(acquired_before(__VA_ARGS__))
#define QDVP_NO_THREAD_SAFETY_ANALYSIS QDVP_TSA(no_thread_safety_analysis)

struct QDVP_CAPABILITY("mutex") OSV1_LOCK {
  pthread_mutex_t mutex;
  int initialized;
};

struct OSV1_TIMESTAMP {
  long seconds;
  long nanoseconds;
};

int OSV1_InitializeLock(OSV1_LOCK *lock);
int OSV1_GetLock(OSV1_LOCK *lock) QDVP_ACQUIRE(lock);
int OSV1_ReleaseLock(OSV1_LOCK *lock) QDVP_RELEASE(lock);
// Tells the analysis that the caller holds a lock that a callee took for it (a task created
// to be waited for returns with its entry's mutex held).
inline void OSV1_LockIsHeld(OSV1_LOCK *lock) QDVP_ASSERT_CAPABILITY(lock) { (void)lock; }
// Takes the lock only when it is free: true when taken.
bool OSV1_TryLock(OSV1_LOCK *lock) QDVP_TRY_ACQUIRE(true, lock);
int OSV1_DestroyLock(OSV1_LOCK *lock);
// Wakes one (OSV1_Signal) or every (OSV1_Broadcast) waiter of cond, which waits with lock
// held: the wake-up is given under the lock, so a waiter between its test and its wait cannot
// miss it.
int OSV1_Signal(OSV1_LOCK *lock, pthread_cond_t *cond) QDVP_EXCLUDES(lock);
int OSV1_Broadcast(OSV1_LOCK *lock, pthread_cond_t *cond) QDVP_EXCLUDES(lock);
// A lock that is ready from the start, for a lock with static storage.
#define OSV1_LOCK_INITIALIZER {PTHREAD_MUTEX_INITIALIZER, 1}

// Sleeps for the given seconds on the system clock (a manual clock advances instead).
void OSV1_Sleep(int seconds);
// A small positive number that identifies the calling thread for as long as it lives.
uint32_t OSV1_ThreadID(void);
// Fills the pair with the current time of day and returns its seconds.
long OSV1_GetTime(OSV1_TIMESTAMP *stamp);

// Holds an OSV1 lock for the life of a scope.
class QDVP_SCOPED_CAPABILITY OSV1_Guard {
 public:
  explicit OSV1_Guard(OSV1_LOCK *lock) QDVP_ACQUIRE(lock) : lock_(lock) { OSV1_GetLock(lock_); }
  ~OSV1_Guard() QDVP_RELEASE() { OSV1_ReleaseLock(lock_); }
  OSV1_Guard(const OSV1_Guard &) = delete;
  OSV1_Guard &operator=(const OSV1_Guard &) = delete;

 private:
  OSV1_LOCK *lock_;
};
