// The qdvp console command: one console command sent to a running data provider over UDP.
#pragma once

namespace qdvp_host {

// Runs "qdvp console [options] COMMAND [OPERAND]" with the words from argv[first] on; returns
// the exit status: 0 for result 0, 1 for another result, 2 when no data provider answered or
// the command line is wrong.
int RunConsoleCommand(int argc, char **argv, int first);
const char *ConsoleUsage();

}  // namespace qdvp_host
