// qdvp: the data provider's host program and the operator's command line.
//
//   qdvp start TYPE        run a data provider of TYPE until SIGINT/SIGTERM or shutdown
//   qdvp validate METAFILE check a metafile and print its validation messages
//   qdvp unpack METAFILE   write the readable text of a metafile beside it
//   qdvp encipher IN OUT   write an enciphered copy of a plain metafile
//   qdvp console ...       send a console command to a running data provider
//   qdvp post ...          post a message to a POST data provider
//   qdvp version           print the release identifier
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "host/qdvpcons.h"
#include "host/qdvppost.h"
#include "host/qdvphost.h"
#include "include/qdvp_metafile.h"

namespace {

const char kReleaseId[] = "QDV350 (SR1-14114611) 02-08-2002";

const char kUsage[] =
    "usage: qdvp COMMAND [ARGUMENTS]\n"
    "\n"
    "Commands:\n"
    "  start TYPE          run a data provider of TYPE until it is shut down (SIGINT or\n"
    "                      SIGTERM asks for a clean shutdown). TYPE is a name in any case or\n"
    "                      its number: APIS 0, FILE 1, SOCK 2, ASFS 3, POST 4, SNMP 5,\n"
    "                      APPC 6, ODBC 7, HTTP 8. HTTP monitors the URLs of\n"
    "                      qdvpurls.cfg in QDVP_HOME (see docs/http.md).\n"
    "  validate METAFILE   check a metafile and print its validation messages; exit status 0\n"
    "                      when it is valid\n"
    "  unpack METAFILE     write the readable text of an enciphered metafile beside it\n"
    "                      (the extension becomes .txt)\n"
    "  encipher IN OUT     write an enciphered copy of the plain metafile IN to OUT; a data\n"
    "                      provider loads, validates and unpacks it like the plain one\n"
    "  console [--type TYPE | --port PORT] [--host HOST] [--raw] COMMAND [OPERAND]\n"
    "                      send one console command to a running data provider (default\n"
    "                      type FILE, host 127.0.0.1) and print its reply; COMMAND is one of\n"
    "                      LIST, SHOW, CHECK, IMPORT, REFRESH, DELETE, ACCEPT, SHUTDOWN,\n"
    "                      GETPORT, PING, STATS, TRAPCNFG, LOADCOMM, LOADNAME, LOADLIST. Exit\n"
    "                      status 0 for result 0, 1 for another result, 2 when no data\n"
    "                      provider answers. --raw prints the reply datagrams as received.\n"
    "                      Commands that change the data provider are authenticated with\n"
    "                      the key the data provider writes at its first start (the file\n"
    "                      QDVP_CONSOLE_KEY_FILE, else qdvpcons.key beside the startup\n"
    "                      configuration; see docs/console.md)\n"
    "  post [--host HOST] [--port PORT] [--udp] [--category C] TEXT...\n"
    "                      post a message to a POST data provider and print its\n"
    "                      acknowledgement stamp (TEXT - reads standard input); exit status 0\n"
    "                      when posted, 1 when refused or unanswered within 5 s, 2 for a bad\n"
    "                      command line\n"
    "  version             print the release identifier\n"
    "  help, --help, -h    print this text\n"
    "\n"
    "The library libqdvp.so is loaded from QDVP_LIBRARY, else from beside this program, else\n"
    "from ../lib/qdvp (where the package installs it).\n"
    "Configuration is read from the environment; see docs/configuration.md.\n";

int Usage(FILE *out, int status) {
  fputs(kUsage, out);
  return status;
}

bool Load(qdvp_host::Library *library) {
  std::string error;
  if (qdvp_host::LoadLibrary(library, &error)) return true;
  fprintf(stderr, "qdvp: cannot load the data provider library: %s\n", error.c_str());
  return false;
}

// Runs a validation with the library's standard output going to a temporary file, then
// copies it to our standard output. The metafile is valid when the library wrote message 0;
// the entry's own result only says that a validation ran.
int Validate(const qdvp_host::Library &library, const char *name) {
  fflush(stdout);
  FILE *capture = tmpfile();
  int saved = capture ? dup(STDOUT_FILENO) : -1;
  if (saved < 0 || dup2(fileno(capture), STDOUT_FILENO) < 0) {
    fprintf(stderr, "qdvp: cannot capture the validation messages\n");
    if (capture) fclose(capture);
    if (saved >= 0) close(saved);
    return 1;
  }
  int rc = library.ValidateMetaFile(name);
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  rewind(capture);
  bool valid = false;
  char line[8192];
  bool lineStart = true;
  while (fgets(line, sizeof(line), capture) != nullptr) {
    if (lineStart && strncmp(line, "QDVPV00I", 8) == 0) valid = true;
    lineStart = strchr(line, '\n') != nullptr;
    fputs(line, stdout);
  }
  fclose(capture);
  fflush(stdout);
  return rc == 0 && valid ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return Usage(stderr, 2);
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") return Usage(stdout, 0);
  if (command == "version" || command == "--version") {
    printf("%s\n", kReleaseId);
    return 0;
  }
  if (command == "start") {
    if (argc != 3) {
      fprintf(stderr, "qdvp: start needs one TYPE\n");
      return Usage(stderr, 2);
    }
    int type = qdvp_host::ParseType(argv[2]);
    if (type < 0) {
      fprintf(stderr, "qdvp: unknown data provider type '%s'\n", argv[2]);
      return 2;
    }
    qdvp_host::Library library;
    if (!Load(&library)) return 1;
    return qdvp_host::RunDataProvider(library, type);
  }
  if (command == "validate" || command == "unpack") {
    if (argc != 3) {
      fprintf(stderr, "qdvp: %s needs one METAFILE\n", command.c_str());
      return Usage(stderr, 2);
    }
    qdvp_host::Library library;
    if (!Load(&library)) return 1;
    if (command == "validate") return Validate(library, argv[2]);
    int rc = library.UnpackMetafileToText(argv[2]);
    fflush(stdout);
    return rc == 0 ? 0 : 1;
  }
  if (command == "console") return qdvp_host::RunConsoleCommand(argc, argv, 2);
  if (command == "post") return qdvp_host::RunPostCommand(argc, argv, 2);
  if (command == "encipher") {
    if (argc != 4) {
      fprintf(stderr, "qdvp: encipher needs IN and OUT\n");
      return Usage(stderr, 2);
    }
    if (QDVP_EncipherMetafileToFile(argv[2], argv[3]) != 0) {
      fprintf(stderr, "qdvp: cannot encipher %s into %s\n", argv[2], argv[3]);
      return 1;
    }
    return 0;
  }
  fprintf(stderr, "qdvp: unknown command '%s'\n", command.c_str());
  return Usage(stderr, 2);
}
