// Loads libqdvp.so and runs one data provider in a thread of its own. Signals are received by
// a dedicated thread, which turns SIGINT and SIGTERM into the library's immediate shutdown
// request; the host then waits a bounded time for the data provider's thread to end.
#include "qdvphost.h"

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "core/support/qdv0chck.h"

namespace qdvp_host {
namespace {

const char *const kTypeNames[] = {"APIS", "FILE", "SOCK", "ASFS", "POST",
                                  "SNMP", "APPC", "ODBC", "HTTP"};
constexpr int kTypeCount = 9;
// The data provider's own shutdown waits up to 180 seconds for its tasks; the host gives it a
// little longer before it ends the process anyway.
constexpr int kShutdownBoundSeconds = 200;

std::string ProgramDirectory() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  char *slash = strrchr(path, '/');
  if (slash == nullptr) return ".";
  *slash = '\0';
  return path;
}

struct RunState {
  const Library *library;
  int type;
  bool returned = false;  // the entry returned instead of ending its thread: it did not start
  int rc = 0;
};

void *DataProviderThread(void *argument) {
  auto *state = static_cast<RunState *>(argument);
  int type = state->type;
  state->rc = state->library->StartDataProvider(&type);
  state->returned = true;
  return nullptr;
}

struct SignalState {
  const Library *library;
  sigset_t set;
  std::atomic<int> received{0};  // written by the signal thread, read by the waiting host
};

void *SignalThread(void *argument) {
  auto *state = static_cast<SignalState *>(argument);
  int signal = 0;
  while (sigwait(&state->set, &signal) == 0) {
    if (signal == SIGUSR2) break;  // the host's own wake-up: the data provider has ended
    QDV0_OperatorLine(QDV0_PRIORITY_NOTICE, "qdvp: %s received, shutting down", strsignal(signal));
    state->received = signal;
    state->library->ImmediateDPshutdown();
  }
  return nullptr;
}

}  // namespace

bool LoadLibrary(Library *library, std::string *error) {
  const char *configured = getenv("QDVP_LIBRARY");
  std::string path = configured && configured[0] ? configured : ProgramDirectory() + "/libqdvp.so";
  // Installed, the library lives in its own directory: PREFIX/lib/qdvp beside PREFIX/bin.
  if (!(configured && configured[0]) && access(path.c_str(), F_OK) != 0) {
    path = ProgramDirectory() + "/../lib/qdvp/libqdvp.so";
  }
  library->handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library->handle == nullptr) {
    *error = dlerror();
    return false;
  }
  auto resolve = [&](const char *name) { return dlsym(library->handle, name); };
  library->StartDataProvider = reinterpret_cast<int (*)(int *)>(resolve("QDVP_StartDataProvider"));
  library->SetDPprogramStart = reinterpret_cast<void (*)()>(resolve("QDVP_SetDPprogramStart"));
  library->ImmediateDPshutdown = reinterpret_cast<void (*)()>(resolve("QDVP_ImmediateDPshutdown"));
  library->ValidateMetaFile =
      reinterpret_cast<int (*)(const char *)>(resolve("QDVP_ValidateMetaFile"));
  library->UnpackMetafileToText =
      reinterpret_cast<int (*)(const char *)>(resolve("QDVP_UnpackMetafileToText"));
  if (!library->StartDataProvider || !library->SetDPprogramStart || !library->ImmediateDPshutdown ||
      !library->ValidateMetaFile || !library->UnpackMetafileToText) {
    *error = path + ": an entry point is missing";
    return false;
  }
  return true;
}

int ParseType(const std::string &text) {
  if (text.empty()) return -1;
  char *end = nullptr;
  long n = strtol(text.c_str(), &end, 10);
  if (*end == '\0') return n >= 0 && n < kTypeCount ? static_cast<int>(n) : -1;
  for (int i = 0; i < kTypeCount; i++) {
    if (strcasecmp(text.c_str(), kTypeNames[i]) == 0) return i;
  }
  return -1;
}

const char *TypeName(int type) { return type >= 0 && type < kTypeCount ? kTypeNames[type] : "?"; }

int RunDataProvider(const Library &library, int type) {
  SignalState signals;
  signals.library = &library;
  sigemptyset(&signals.set);
  sigaddset(&signals.set, SIGINT);
  sigaddset(&signals.set, SIGTERM);
  sigaddset(&signals.set, SIGUSR2);
  // Every thread the library starts inherits this mask, so the signals reach only sigwait.
  pthread_sigmask(SIG_BLOCK, &signals.set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  pthread_t signalThread;
  pthread_create(&signalThread, nullptr, SignalThread, &signals);

  library.SetDPprogramStart();
  RunState state;
  state.library = &library;
  state.type = type;
  pthread_t dpThread;
  if (pthread_create(&dpThread, nullptr, DataProviderThread, &state) != 0) {
    QDV0_OperatorLine(QDV0_PRIORITY_ERROR, "qdvp: cannot start the data provider thread: %s",
                      strerror(errno));
    return 1;
  }
  void *threadResult = nullptr;
  // Wait for the data provider; once a signal has asked it to stop, wait a bounded time.
  for (;;) {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 1;
    if (pthread_timedjoin_np(dpThread, &threadResult, &deadline) == 0) break;
    static time_t stopAsked = 0;
    if (signals.received && stopAsked == 0) stopAsked = time(nullptr);
    if (stopAsked && time(nullptr) - stopAsked > kShutdownBoundSeconds) {
      QDV0_OperatorLine(QDV0_PRIORITY_ERROR, "qdvp: data provider did not end within %d seconds",
                        kShutdownBoundSeconds);
      _exit(3);
    }
  }
  pthread_kill(signalThread, SIGUSR2);
  pthread_join(signalThread, nullptr);
  if (state.returned) {
    QDV0_OperatorLine(QDV0_PRIORITY_ERROR, "qdvp: data provider type %s did not start",
                      TypeName(type));
    return 1;
  }
  // The data provider's thread ends with the address of its result word: nonzero when its
  // environment could not be started (another data provider of the type runs, for example).
  if (threadResult != nullptr && threadResult != PTHREAD_CANCELED &&
      *static_cast<int *>(threadResult) != 0) {
    QDV0_OperatorLine(QDV0_PRIORITY_ERROR, "qdvp: data provider type %s ended during start-up",
                      TypeName(type));
    return 1;
  }
  return 0;
}

}  // namespace qdvp_host
