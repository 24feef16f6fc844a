// The command of a take action, run through the shell (actions/qdvpexec.cpp).
#pragma once

#include <string>
#include <vector>

struct ActionEntry;

// The environment a command is started with (actions/qdvpaenv.cpp): PATH, HOME, LANG and TZ,
// and the variables named by QDVP_ACTION_PASS_ENV, as the data provider has them now; no other.
// pointers is the null-ended list for posix_spawn, pointing into entries.
struct QDVP_ActionEnvironment {
  std::vector<std::string> entries;
  std::vector<char *> pointers;
};
void QDVP_BuildActionEnvironment(QDVP_ActionEnvironment *environment);

// Runs the command of a take action (its name, a blank and its parameter when it has one) and
// leaves its status and result in the entry, replacing any earlier result. The result size and
// the time limit come from QDVP_ACTION_RESULT_SIZE and QDVP_ACTION_TIMEOUT, read once. Returns
// the status.
int QDVP_ExecuteActionCommand(ActionEntry *entry);

// Runs line through /bin/sh -c with explicit limits: the result (a new text from
// QDV0_GetStorage, or null when empty) holds at most resultSize - 1 bytes, and the command is
// ended after timeoutSeconds. result and resultLength may be null. Returns the status: 0, the
// negated exit status of the shell, -(128 + n) for a shell ended by signal n,
// QDVP_ACTION_STATUS_NO_SHELL or QDVP_ACTION_STATUS_TIMEOUT.
// When stop is given, the command is also ended (as on a time-out, status 12) once
// stop->ShouldStop(stop->pContext) is true; it is asked about once a second.
struct QDVP_ActionStop {
  bool (*ShouldStop)(const void *context);
  const void *pContext;
};
int QDVP_RunActionCommandLine(const char *line, int resultSize, int timeoutSeconds, char **result,
                              int *resultLength, const QDVP_ActionStop *stop = nullptr);
