// Runs the command of a take action through /bin/sh -c and turns its standard output into the
// action's result text.
//
// The shell writes to a pipe rather than to a file in the current directory: nothing is left
// behind, two workers never share a file, and the worker reads while the command runs, so a
// command with a lot of output never blocks on a full pipe. At most about the result size is
// held in storage; once the result is complete the rest of the output is read and discarded.
//
// The command is done when the shell exits, not when the pipe reaches its end: a command that
// starts a daemon leaves a background child holding the write end, perhaps forever. After the
// shell exits only what the pipe holds at that moment is read.
//
// The shell is started with posix_spawn, which is safe in a threaded process, in a process
// group of its own so that a command past its time limit can be ended with everything it
// started. Every descriptor above 2 is closed in the child so that it inherits no socket of the
// data provider (a listening socket held by a command would keep its port busy after the data
// provider ends). Nor does it inherit the data provider's environment, which holds its secrets:
// it gets PATH, HOME, LANG, TZ and what the operator lists (qdvpaenv.cpp).
#include "qdvpexec.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_actions.h"

static TRK1_BLOCK trk = {"qdvpexec"};

namespace {

constexpr int kMinResultSize = 16;
constexpr int kMaxResultSize = 1 << 20;
constexpr int kDefaultTimeout = 300;
constexpr int kKillGraceMs = 2000;
constexpr int kPollStepMs = 100;        // without a pidfd, how often the shell is looked at
constexpr size_t kReadSlice = 1 << 20;  // bytes read before the shell and the clock are checked

// Collects the output into the result: lines without carriage returns and line feeds, empty
// lines skipped, joined by ';', and "..." where the result is cut at resultSize - 4 bytes.
class ResultText {
 public:
  ResultText(int resultSize, bool discard)
      : limit_(resultSize - 4), text_(resultSize), line_(resultSize), done_(discard) {}
  bool ok() const { return text_ && line_; }
  void Add(const char *data, size_t length) {
    for (size_t i = 0; i < length && !done_; i++) {
      char c = data[i];
      if (c == '\r') continue;
      if (c == '\n') {
        EndLine();
      } else if (lineLength_ == limit_) {
        Truncate();  // a line this long fits nowhere; only its start is kept, if first
      } else {
        line_.get()[lineLength_++] = c;
      }
    }
  }
  // The last line need not end with a line feed.
  void Finish() {
    if (!done_) EndLine();
  }
  const char *text() const { return text_.get(); }
  size_t length() const { return textLength_; }

 private:
  void EndLine() {
    if (lineLength_ == 0) return;
    size_t separator = textLength_ > 0 ? 1 : 0;
    if (textLength_ + separator + lineLength_ > limit_) {
      Truncate();
      return;
    }
    if (separator) text_.get()[textLength_++] = ';';
    memcpy(text_.get() + textLength_, line_.get(), lineLength_);
    textLength_ += lineLength_;
    text_.get()[textLength_] = '\0';
    lineLength_ = 0;
  }
  // Ends the result with "..."; a first line that alone is too long is cut to fit.
  void Truncate() {
    if (textLength_ == 0) {
      memcpy(text_.get(), line_.get(), lineLength_);
      textLength_ = lineLength_;
    }
    memcpy(text_.get() + textLength_, "...", 4);
    textLength_ += 3;
    done_ = true;
    QDVP_TRC(trk, TRK1_ERROR, "***** Action result <%s> too large, truncated", text_.get());
  }
  size_t limit_;
  QDV0_Scratch<char> text_;
  QDV0_Scratch<char> line_;
  size_t textLength_ = 0;
  size_t lineLength_ = 0;
  bool done_;
};

// The running shell: its process (and process group) id, a pidfd that becomes readable when it
// exits (-1 where the kernel has none) and the read end of its output pipe (-1 once closed).
struct Shell {
  pid_t pid = -1;
  int pidfd = -1;
  int output = -1;
};

int64_t NowMs() { return QDV0_MonotonicMs(); }

// An environment variable as a number, or defaultValue when it is unset or no number.
long NumberFromEnv(const char *name, long defaultValue) {
  const char *text = QDV0_GetEnv(name, nullptr);
  if (text == nullptr) return defaultValue;
  char *end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE) return defaultValue;
  return value;
}

int ClampResultSize(long size) {
  if (size < kMinResultSize) return kMinResultSize;
  return size > kMaxResultSize ? kMaxResultSize : static_cast<int>(size);
}

// A time limit of 0 or less means the default one.
int CheckTimeout(long seconds) {
  if (seconds <= 0) return kDefaultTimeout;
  return seconds > INT32_MAX ? INT32_MAX : static_cast<int>(seconds);
}

// Starts /bin/sh -c line with its standard output on a pipe and its standard input on
// /dev/null, in a process group of its own. False when it could not be started.
bool StartShell(const char *line, Shell *shell) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Action command pipe failed, errno %d", errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  for (int n : {SIGPIPE, SIGCHLD, SIGTERM, SIGINT}) sigaddset(&signals, n);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  char *argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>(line),
                  nullptr};
  QDVP_ActionEnvironment environment;
  QDVP_BuildActionEnvironment(&environment);
  int rc =
      posix_spawn(&shell->pid, "/bin/sh", &actions, &attributes, argv, environment.pointers.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    QDVP_TRC(trk, TRK1_ERROR, "***** Action command shell not started, rc %d", rc);
    return false;
  }
  shell->output = fds[0];
  fcntl(shell->output, F_SETFL, fcntl(shell->output, F_GETFL) | O_NONBLOCK);
#ifdef SYS_pidfd_open
  shell->pidfd = static_cast<int>(syscall(SYS_pidfd_open, shell->pid, 0));
#endif
  return true;
}

// Reads at most limit bytes of what the pipe holds now; closes it at its end.
void ReadOutput(Shell *shell, ResultText *result, size_t limit) {
  char buffer[16384];
  for (size_t total = 0; shell->output >= 0 && total < limit;) {
    ssize_t n = read(shell->output, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      close(shell->output);
      shell->output = -1;
      return;
    }
    result->Add(buffer, n);
    total += n;
  }
}

// True once the shell has exited. The shell is not reaped here, so that its process group id
// cannot be taken by another process before the group is signalled.
bool ShellExited(pid_t pid) {
  siginfo_t info;
  for (;;) {
    info.si_pid = 0;
    if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0) return info.si_pid == pid;
    if (errno != EINTR) return true;  // ECHILD: reaped by someone else (SIGCHLD ignored)
  }
}

// Reads the output until the shell exits, deadline passes or the caller asks to stop; true
// when it exited.
bool WaitForShell(Shell *shell, ResultText *result, int64_t deadline,
                  const QDVP_ActionStop *stop = nullptr) {
  for (;;) {
    if (ShellExited(shell->pid)) return true;
    int64_t remaining = deadline - NowMs();
    if (remaining <= 0) return false;
    if (stop != nullptr && stop->ShouldStop(stop->pContext)) return false;
    pollfd fds[2];
    nfds_t count = 0;
    if (shell->output >= 0) fds[count++] = {shell->output, POLLIN, 0};
    if (shell->pidfd >= 0) fds[count++] = {shell->pidfd, POLLIN, 0};
    int64_t step = stop != nullptr ? 1000 : shell->pidfd >= 0 ? 60000 : kPollStepMs;
    if (poll(fds, count, static_cast<int>(remaining < step ? remaining : step)) < 0 &&
        errno != EINTR) {
      poll(nullptr, 0, kPollStepMs);
    }
    if (shell->output >= 0 && fds[0].revents != 0) ReadOutput(shell, result, kReadSlice);
  }
}

// Reaps the shell and returns its exit status as an action status.
int ReapShell(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return QDVP_ACTION_STATUS_DONE;
  }
  if (WIFSIGNALED(status)) return -(128 + WTERMSIG(status));
  return WIFEXITED(status) ? -WEXITSTATUS(status) : QDVP_ACTION_STATUS_DONE;
}

}  // namespace

int QDVP_RunActionCommandLine(const char *line, int resultSize, int timeoutSeconds, char **result,
                              int *resultLength, const QDVP_ActionStop *stop) {
  if (result != nullptr) *result = nullptr;
  if (resultLength != nullptr) *resultLength = 0;
  if (line == nullptr) return QDVP_ACTION_STATUS_NO_SHELL;
  resultSize = ClampResultSize(resultSize);
  timeoutSeconds = CheckTimeout(timeoutSeconds);
  // A command that redirects its output itself has no result.
  ResultText text(resultSize, strchr(line, '>') != nullptr);
  Shell shell;
  if (!text.ok()) {
    QDVP_TRC(trk, TRK1_ERROR, "***** No storage for the result of action command <%s>", line);
    return QDVP_ACTION_STATUS_NO_SHELL;
  }
  if (!StartShell(line, &shell)) return QDVP_ACTION_STATUS_NO_SHELL;
  QDVP_TRC(trk, TRK1_DETAIL, "Action command <%s> started, process group %d", line, shell.pid);
  int status;
  if (WaitForShell(&shell, &text, NowMs() + int64_t{timeoutSeconds} * 1000, stop)) {
    ReadOutput(&shell, &text, kReadSlice);
    status = ReapShell(shell.pid);
  } else {
    // The whole group is ended: what the command started in the background goes with it.
    kill(-shell.pid, SIGTERM);
    WaitForShell(&shell, &text, NowMs() + kKillGraceMs);
    kill(-shell.pid, SIGKILL);
    ReadOutput(&shell, &text, kReadSlice);
    ReapShell(shell.pid);
    status = QDVP_ACTION_STATUS_TIMEOUT;
    if (stop != nullptr && stop->ShouldStop(stop->pContext)) {
      QDVP_TRC(trk, TRK1_ERROR, "***** Action command ended at shutdown, process group %d",
               shell.pid);
    } else {
      QDVP_TRC(trk, TRK1_ERROR,
               "***** Action command timed out after %d seconds, process group %d ended",
               timeoutSeconds, shell.pid);
    }
  }
  if (shell.output >= 0) close(shell.output);
  if (shell.pidfd >= 0) close(shell.pidfd);
  text.Finish();
  QDVP_TRC(trk, TRK1_DETAIL, "Action command <%s> ended, status %d", line, status);
  if (text.length() > 0 && result != nullptr) {
    *result = QDV0_StrDup(text.text());
    if (*result != nullptr && resultLength != nullptr) *resultLength = text.length();
  }
  return status;
}

int QDVP_ExecuteActionCommand(ActionEntry *entry) {
  struct Limits {
    int resultSize;
    int timeoutSeconds;
  };
  static const Limits limits = {
      ClampResultSize(NumberFromEnv("QDVP_ACTION_RESULT_SIZE", 256)),
      CheckTimeout(NumberFromEnv("QDVP_ACTION_TIMEOUT", kDefaultTimeout))};
  const char *name = entry->pName != nullptr ? entry->pName : "";
  const char *parm = entry->pParm != nullptr ? entry->pParm : "";
  size_t nameLength = strlen(name);
  size_t parmLength = strlen(parm);
  char *result = nullptr;
  int resultLength = 0;
  int status = QDVP_ACTION_STATUS_NO_SHELL;
  QDV0_Scratch<char> line(nameLength + parmLength + 2);
  if (line) {
    memcpy(line.get(), name, nameLength);
    if (parmLength > 0) {
      line.get()[nameLength] = ' ';
      memcpy(line.get() + nameLength + 1, parm, parmLength + 1);
    }
    // A worker told to end at shutdown ends its command as if it had run out of time.
    QDVP_ActionStop stop = {[](const void *w) {
                              auto *worker = static_cast<const WorkerEntry *>(w);
                              return worker->Status.load() == QDVP_WORKER_SHUTDOWN ||
                                     worker->pDPAB->ShutdownRequested.load() != 0;
                            },
                            entry->pWorker};
    status =
        QDVP_RunActionCommandLine(line.get(), limits.resultSize, limits.timeoutSeconds, &result,
                                  &resultLength, entry->pWorker != nullptr ? &stop : nullptr);
  } else {
    QDVP_TRC(trk, TRK1_ERROR, "***** No storage for action command <%s>", name);
  }
  QDV0_Free(entry->pResult);
  entry->pResult = result;
  entry->ResultLength = resultLength;
  entry->Status = status;
  return status;
}
