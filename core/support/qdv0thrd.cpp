// Threads, locks, conditions and their waits, holds on records, and the system's one clock.
//
// The clock is the system clock unless a test installs the manual clock; then time moves only
// when advanced, a sleep advances it at once, and a timed wait that is not signalled within a
// short real slice counts its whole interval as passed. That lets tests drive hours of
// scheduling in milliseconds without changing any interval in the product.
#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "../../include/osv1.h"
#include "qdv0.h"
#include "trk1.h"

static TRK1_BLOCK trk = {"qdv0thrd"};

// The support layer's way into a condition: nothing else names its pthread condition.
struct OSV1_CondAccess {
  static pthread_cond_t *Of(OSV1_COND *cond) { return &cond->cond_; }
};

namespace {
std::atomic<bool> g_manual{false};
std::atomic<long long> g_manualNow{0};
// Real time a timed wait under the manual clock gives a signal before it counts as expired.
constexpr long kManualWaitSliceMs = 5;

timespec RealDeadline(long ms) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += ms / 1000;
  ts.tv_nsec += (ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec++;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}
}  // namespace

// ---- Locks ----------------------------------------------------------------------------
int OSV1_InitializeLock(OSV1_LOCK *lock) {
  int rc = pthread_mutex_init(&lock->mutex, nullptr);
  lock->initialized = rc == 0;
  return rc;
}
int OSV1_GetLock(OSV1_LOCK *lock) QDVP_NO_THREAD_SAFETY_ANALYSIS {
  return pthread_mutex_lock(&lock->mutex);
}
int OSV1_ReleaseLock(OSV1_LOCK *lock) QDVP_NO_THREAD_SAFETY_ANALYSIS {
  return pthread_mutex_unlock(&lock->mutex);
}

// ---- Conditions -----------------------------------------------------------------------
// Made for the monotonic clock. The waits below name that clock themselves, so the attribute
// only matters to a wait that did not come through them, and there is none.
OSV1_COND::OSV1_COND() noexcept {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&cond_, &attr);
  pthread_condattr_destroy(&attr);
}
OSV1_COND::~OSV1_COND() { pthread_cond_destroy(&cond_); }

int OSV1_Signal(OSV1_LOCK *lock, OSV1_COND *cond) {
  OSV1_Guard hold(lock);
  return pthread_cond_signal(OSV1_CondAccess::Of(cond));
}
int OSV1_Broadcast(OSV1_LOCK *lock, OSV1_COND *cond) {
  OSV1_Guard hold(lock);
  return pthread_cond_broadcast(OSV1_CondAccess::Of(cond));
}
int OSV1_WakeOne(OSV1_COND *cond, OSV1_LOCK *) {
  return pthread_cond_signal(OSV1_CondAccess::Of(cond));
}
int OSV1_WakeAll(OSV1_COND *cond, OSV1_LOCK *) {
  return pthread_cond_broadcast(OSV1_CondAccess::Of(cond));
}
int OSV1_WakeOneAfter(OSV1_COND *cond, OSV1_LOCK *) {
  return pthread_cond_signal(OSV1_CondAccess::Of(cond));
}
int OSV1_WakeAllAfter(OSV1_COND *cond, OSV1_LOCK *) {
  return pthread_cond_broadcast(OSV1_CondAccess::Of(cond));
}
bool OSV1_TryLock(OSV1_LOCK *lock) QDVP_NO_THREAD_SAFETY_ANALYSIS {
  return pthread_mutex_trylock(&lock->mutex) == 0;
}
int OSV1_DestroyLock(OSV1_LOCK *lock) {
  if (!lock->initialized) return 0;
  lock->initialized = 0;
  return pthread_mutex_destroy(&lock->mutex);
}

// ---- Clock ----------------------------------------------------------------------------
time_t QDV0_Time(void) {
  if (g_manual.load()) return static_cast<time_t>(g_manualNow.load());
  return time(nullptr);
}
void QDV0_UseManualClock(time_t start) {
  g_manualNow = start;
  g_manual = true;
}
void QDV0_AdvanceClock(int seconds) { g_manualNow += seconds; }
void QDV0_UseSystemClock(void) { g_manual = false; }
int QDV0_IsManualClock(void) { return g_manual.load(); }

int64_t QDV0_MonotonicMs(void) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void OSV1_Sleep(int seconds) {
  if (g_manual.load()) {
    g_manualNow += seconds;
    usleep(1000);
    return;
  }
  timespec ts{seconds, 0};
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

// The kernel's thread identifier, asked for on every call: a thread_local copy in this loaded
// library lives in dynamic TLS, which glibc frees from whichever thread later reuses a finished
// thread's stack, and ThreadSanitizer reports that as a race with the finished thread's reads.
uint32_t OSV1_ThreadID(void) { return static_cast<uint32_t>(syscall(SYS_gettid)); }

long OSV1_GetTime(OSV1_TIMESTAMP *stamp) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  if (stamp) {
    stamp->seconds = ts.tv_sec;
    stamp->nanoseconds = ts.tv_nsec;
  }
  return ts.tv_sec;
}

// ---- Threads and waits ----------------------------------------------------------------
int QDV0_CreateThread(QDV0_THREAD_ROUTINE function, void *argument, int /*options*/,
                      unsigned long *threadId) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, function, argument);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    errno = rc;
    return rc;
  }
  if (threadId) *threadId = static_cast<unsigned long>(thread);
  return 0;
}

int QDV0_ConditionWait(OSV1_COND *cond, OSV1_LOCK *lock) {
  return pthread_cond_wait(OSV1_CondAccess::Of(cond), &lock->mutex);
}

int QDV0_ConditionTimedWaitMs(OSV1_COND *cond, OSV1_LOCK *lock, long ms) {
  bool manual = g_manual.load();
  timespec deadline = RealDeadline(manual && ms > kManualWaitSliceMs ? kManualWaitSliceMs : ms);
  // The deadline is on the monotonic clock, and the wait is told so: no condition can be
  // waited on against another clock than its deadline's.
  int rc =
      pthread_cond_clockwait(OSV1_CondAccess::Of(cond), &lock->mutex, CLOCK_MONOTONIC, &deadline);
  if (rc == ETIMEDOUT && manual) g_manualNow += (ms + 999) / 1000;
  return rc;
}

int QDV0_ConditionTimedWait(OSV1_COND *cond, OSV1_LOCK *lock, int seconds) {
  return QDV0_ConditionTimedWaitMs(cond, lock, seconds * 1000L);
}

// A real wait in every case: its bound is not time the system lets pass, so the manual clock
// stays where the test put it however long the other task takes.
int QDV0_ConditionWaitForTask(OSV1_COND *cond, OSV1_LOCK *lock, long ms) {
  timespec deadline = RealDeadline(ms);
  return pthread_cond_clockwait(OSV1_CondAccess::Of(cond), &lock->mutex, CLOCK_MONOTONIC,
                                &deadline);
}

// ---- Holds on records -------------------------------------------------------------------
bool OSV1_TakeHold(OSV1_HOLDS *holds) {
  OSV1_Guard hold(&holds->lock);
  if (holds->closed.load()) return false;
  holds->count++;
  return true;
}

void OSV1_AddHold(OSV1_HOLDS *holds) {
  OSV1_Guard hold(&holds->lock);
  holds->count++;
}

void OSV1_LetGo(OSV1_HOLDS *holds) {
  OSV1_Guard hold(&holds->lock);
  if (holds->count > 0 && --holds->count == 0) OSV1_WakeAll(&holds->gone, &holds->lock);
}

int OSV1_HoldCount(OSV1_HOLDS *holds) {
  OSV1_Guard hold(&holds->lock);
  return holds->count;
}

// The wait of a delete: it ends when the count is 0 and at no other time. The steps of 10 real
// seconds (not of a test's manual clock, which they would move) only let it say, now and then,
// that it still waits and for how many holders.
void OSV1_AwaitLetGo(OSV1_HOLDS *holds, const char *what) {
  holds->closed.store(true);
  OSV1_Guard hold(&holds->lock);
  for (int waited = 0; holds->count > 0;) {
    timespec step = RealDeadline(10000);
    int rc = pthread_cond_clockwait(OSV1_CondAccess::Of(&holds->gone), &holds->lock.mutex,
                                    CLOCK_MONOTONIC, &step);
    if (rc == ETIMEDOUT && holds->count > 0) {
      waited += 10;
      QDVP_TRC(trk, TRK1_ERROR, "***** %s still held by %d task(s) after %d seconds",
               what != nullptr ? what : "record", holds->count, waited);
    }
  }
}

namespace {
// The spin budget, from QDVP_SPIN_WAIT_US, read once: unset or 0, no spin (a data provider is a
// guest on the host it watches and must not burn a core while a row is in flight); "Y", the
// caller's own bound; a number of microseconds, that bound for every caller.
long SpinSetting() {
  static const long setting = [] {
    const char *text = getenv("QDVP_SPIN_WAIT_US");
    if (text == nullptr || *text == '\0') return 0L;
    if (*text == 'Y' || *text == 'y') return -1L;
    return atol(text) > 0 ? atol(text) : 0L;
  }();
  return setting;
}

// One short pause of the processor inside a spin: on a virtual machine a system call (even
// sched_yield) costs more than the wait it would save.
inline void CpuPause() {
#if defined(__x86_64__) || defined(__i386__)
  for (int i = 0; i < 20; i++) __builtin_ia32_pause();
#elif defined(__aarch64__)
  for (int i = 0; i < 20; i++) asm volatile("yield");
#endif
}

template <class Done>
int SpinUntil(Done done, long micros) {
  if (SpinSetting() >= 0) micros = SpinSetting();  // -1: the caller's bound stands
  if (micros <= 0) return done() ? 1 : 0;
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    for (int i = 0; i < 16; i++) {
      if (done()) return 1;
      CpuPause();
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long elapsed = (now.tv_sec - start.tv_sec) * 1000000L + (now.tv_nsec - start.tv_nsec) / 1000;
    if (elapsed >= micros) return done() ? 1 : 0;
  }
}
}  // namespace

void QDV0_WaitWord(std::atomic<int> *word, int expected, long ms) {
  static_assert(sizeof(std::atomic<int>) == sizeof(int), "a word the system can wait on");
  timespec bound{ms / 1000, (ms % 1000) * 1000000L};
  // FUTEX_WAIT sleeps only while the word still holds expected (the system compares and sleeps
  // in one step), so a wake-up given after the change cannot be missed.
  syscall(SYS_futex, reinterpret_cast<int *>(word), FUTEX_WAIT_PRIVATE, expected, &bound, nullptr,
          0);
}

void QDV0_WakeWord(std::atomic<int> *word) {
  syscall(SYS_futex, reinterpret_cast<int *>(word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr,
          0);
}

int QDV0_SpinUntil(bool (*done)(const void *what), const void *what, long micros) {
  return SpinUntil([&] { return done(what); }, micros);
}
