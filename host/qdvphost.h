// The host side of the data provider: loading libqdvp.so and running a data provider type in
// a thread of its own until it ends or a signal asks it to stop.
#pragma once

#include <string>

namespace qdvp_host {

// The entry points the host uses, resolved from the loaded library.
struct Library {
  void *handle = nullptr;
  int (*StartDataProvider)(int *) = nullptr;
  void (*SetDPprogramStart)() = nullptr;
  void (*ImmediateDPshutdown)() = nullptr;
  int (*ValidateMetaFile)(const char *) = nullptr;
  int (*UnpackMetafileToText)(const char *) = nullptr;
  int (*CheckConfiguration)(int) = nullptr;
};

// Loads the library from QDVP_LIBRARY or from beside this program; on failure returns false
// with the reason in error.
bool LoadLibrary(Library *library, std::string *error);

// The type number of a type name (any case) or number text, or -1.
int ParseType(const std::string &text);
const char *TypeName(int type);

// Runs a data provider of the type until it ends; SIGINT and SIGTERM ask it to shut down.
// Returns the process exit status.
int RunDataProvider(const Library &library, int type);

}  // namespace qdvp_host
