// The qdvp console command: one console command sent to a running data provider over UDP.
#pragma once

#include <string>

namespace qdvp_host {

struct ConsoleOptions {
  int type = -1;  // -1: FILE, unless port is given
  int port = -1;  // -1: the console port of the type
  std::string host = "127.0.0.1";
  bool raw = false;
  std::string command;
  std::string operand;
};

// Runs one console command; returns the exit status: 0 for result 0, 1 for another result, 2
// when no data provider answered or a setting that names the port is bad. The settings of the
// installed data provider of the type (host/qdvpsett.h) fill in what the environment lacks.
int RunConsoleCommand(ConsoleOptions options);

}  // namespace qdvp_host
