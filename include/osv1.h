// Base services: locks, conditions, holds on records, sleeping, thread identity and the clock.
//
// Every shared list of the data provider is guarded by an OSV1_LOCK embedded in the record
// that owns the list, and every condition (OSV1_COND) is paired with one. A lock is a plain
// word-sized record so that it can live inside blocks obtained from QDV0_GetStorage;
// OSV1_InitializeLock must run before first use and OSV1_DestroyLock after last use. Any
// thread may call any function here.
//
// Conditions: there is one way to make a condition (its constructor) and one family of waits
// (QDV0_ConditionWait and QDV0_ConditionTimedWait[Ms], qdv0.h), which measure their deadline
// on the monotonic clock and name that clock to the wait itself. A condition's own clock
// attribute therefore never decides how long a wait lasts: a condition in cleared storage waits
// exactly as long as a constructed one. The pthread condition inside is private to the support
// layer; it is woken with OSV1_Signal / OSV1_Broadcast (which take the paired lock) or
// OSV1_WakeOne / OSV1_WakeAll (whose caller holds it).
//
// Holds (OSV1_HOLDS): the one lifetime rule for records that tasks keep using outside the lock
// of the list they were found in (docs/architecture.md, "Lifetimes").
//
// Time: OSV1_Sleep and QDV0_Time (qdv0.h) go through one clock that tests may replace with a
// manual clock (QDV0_UseManualClock); production code never reads the wall clock directly for
// intervals and deadlines.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

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
// A lock that is ready from the start, for a lock with static storage.
#define OSV1_LOCK_INITIALIZER \
  { PTHREAD_MUTEX_INITIALIZER, 1 }

// A condition, always waited on with its paired lock held, through the waits of qdv0.h. It can
// be neither copied nor made any other way than by its constructor (or found cleared in a
// block of QDV0_GetStorage, which is the same condition).
class OSV1_COND {
 public:
  OSV1_COND() noexcept;
  ~OSV1_COND();
  OSV1_COND(const OSV1_COND &) = delete;
  OSV1_COND &operator=(const OSV1_COND &) = delete;

 private:
  friend struct OSV1_CondAccess;  // the support layer's waits and wake-ups (core/support)
  pthread_cond_t cond_;
};

// Wakes one (OSV1_Signal) or every (OSV1_Broadcast) waiter of cond, which waits with lock
// held: the wake-up is given under the lock, so a waiter between its test and its wait cannot
// miss it.
int OSV1_Signal(OSV1_LOCK *lock, OSV1_COND *cond) QDVP_EXCLUDES(lock);
int OSV1_Broadcast(OSV1_LOCK *lock, OSV1_COND *cond) QDVP_EXCLUDES(lock);
// The same for a caller that already holds the paired lock (it changed what the waiters test
// under that lock).
int OSV1_WakeOne(OSV1_COND *cond, OSV1_LOCK *lock) QDVP_REQUIRES(lock);
int OSV1_WakeAll(OSV1_COND *cond, OSV1_LOCK *lock) QDVP_REQUIRES(lock);
// The same for a waker that changed what the waiters test under the paired lock and has let
// it go since: a waiter that runs at once then finds the lock free instead of sleeping on it
// again until the waker lets go. Only where the condition outlives the call (it lies in a
// record the waker still holds or owns).
int OSV1_WakeOneAfter(OSV1_COND *cond, OSV1_LOCK *lock) QDVP_EXCLUDES(lock);
int OSV1_WakeAllAfter(OSV1_COND *cond, OSV1_LOCK *lock) QDVP_EXCLUDES(lock);

// The holds on one record: how many tasks use it outside the lock of the list it is found in,
// and whether it is being deleted.
//   - A task takes a hold (OSV1_TakeHold) where it finds the record, under the list's lock or
//     from a task that holds it already; a closed record refuses new holds.
//   - A holder looks at OSV1_HoldsClosed where it can stop, and lets go (OSV1_LetGo) when it is
//     done. Letting go frees nothing and may be done under any lock.
//   - The one task that deletes the record unchains it (no one finds it any more), tells the
//     holders to stop, and waits in OSV1_AwaitLetGo until the last has let go: no time bounds
//     that wait, so it cannot end while a holder still uses the record. Only then does it free
//     the record. It waits holding no lock that a holder needs to let go.
// Cleared storage is a valid, open record without holds.
struct OSV1_HOLDS {
  OSV1_LOCK lock = OSV1_LOCK_INITIALIZER;
  OSV1_COND gone;  // broadcast when the count falls to 0
  int count QDVP_GUARDED_BY(lock) = 0;
  std::atomic<bool> closed{false};
};
// True when the hold was taken; false when the record is closed (being deleted).
bool OSV1_TakeHold(OSV1_HOLDS *holds) QDVP_EXCLUDES(holds->lock);
void OSV1_LetGo(OSV1_HOLDS *holds) QDVP_EXCLUDES(holds->lock);
// A holder (or the deleter, for its own last requests) gives another task a hold of its own,
// counted whether or not the record is closed: the giver still holds it or waits for it.
void OSV1_AddHold(OSV1_HOLDS *holds) QDVP_EXCLUDES(holds->lock);
inline bool OSV1_HoldsClosed(const OSV1_HOLDS *holds) { return holds->closed.load(); }
// Refuses new holds from now on (the first step of a delete).
inline void OSV1_CloseHolds(OSV1_HOLDS *holds) { holds->closed.store(true); }
// Closes the record and waits until every holder has let go. what names the record in the
// trace line written every 10 seconds while the wait goes on.
void OSV1_AwaitLetGo(OSV1_HOLDS *holds, const char *what) QDVP_EXCLUDES(holds->lock);
// The number of holds now (a snapshot).
int OSV1_HoldCount(OSV1_HOLDS *holds) QDVP_EXCLUDES(holds->lock);

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
