// qdvp: the data provider's host program and the operator's command line. One subcommand per
// task (start, check, validate, unpack, encipher, console, post, version), each with its own
// --help; the parsing is CLI11's, as in qdvp-dch.
//
// Exit status: what the subcommand says (see each), and 2 for a bad command line.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "config/qdvpcchk.h"
#include "core/support/qdv0chck.h"
#include "host/qdvpcons.h"
#include "host/qdvphost.h"
#include "host/qdvppost.h"
#include "host/qdvpsett.h"
#include "include/qdvp_metafile.h"

namespace {

const char kDescription[] =
    "qdvp: the data provider host program and operator command line. It runs a data provider\n"
    "of one type (qdvp start TYPE), checks its configuration and metafiles, and sends console\n"
    "commands and posted messages to a running one.";

const char kTypes[] =
    "TYPE is a name in any case or its number: APIS 0, FILE 1, SOCK 2, ASFS 3, POST 4, SNMP 5,\n"
    "APPC 6, ODBC 7, HTTP 8.";

const char kFooter[] =
    "TYPE is a name in any case or its number: APIS 0, FILE 1, SOCK 2, ASFS 3, POST 4, SNMP 5,\n"
    "APPC 6, ODBC 7, HTTP 8. 'qdvp COMMAND --help' describes a command.\n"
    "The library libqdvp.so is loaded from QDVP_LIBRARY, else from beside this program, else\n"
    "from ../lib/qdvp (where the package installs it). Configuration is read from the\n"
    "environment (docs/configuration.md); 'qdvp console', 'qdvp post' and 'qdvp check' also\n"
    "read the installed service's settings, /etc/qdvp/qdvp.env and /etc/qdvp/TYPE.env, for what\n"
    "the environment does not set (QDVP_CONFIG_DIR names another directory).\n"
    "Exit status 2 for a bad command line; each command gives its other statuses.";

// The type names and numbers qdvp start and friends take.
std::string CheckType(const std::string &text) {
  if (qdvp_host::ParseType(text) >= 0) return "";
  return "unknown data provider type '" + text +
         "' (APIS, FILE, SOCK, ASFS, POST, SNMP, APPC, "
         "ODBC, HTTP or 0 to 8)";
}

bool Load(qdvp_host::Library *library) {
  std::string error;
  if (qdvp_host::LoadLibrary(library, &error)) return true;
  fprintf(stderr, "qdvp: cannot load the data provider library: %s\n", error.c_str());
  return false;
}

// The metafile directory as the library will see it, for the messages.
std::string MetafileDirectory() {
  const char *dir = getenv("QDVP_META_PATH");
  return dir != nullptr && dir[0] != '\0' ? dir : "./metafiles";
}

// Runs a validation with the library's standard output going to a temporary file, then copies
// it to our standard output. The metafile is valid when the library wrote message 0; the
// entry's own result only says that a validation ran.
int Validate(const qdvp_host::Library &library, const std::string &typed, std::string reportDir) {
  // A name that exists as typed is that file; any other is looked for in the metafile
  // directory by the library (and fetched from a metafile server when one is configured).
  std::string name = typed;
  char resolved[PATH_MAX];
  struct stat st;
  bool existsAsTyped = stat(typed.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  if (existsAsTyped && realpath(typed.c_str(), resolved) != nullptr) name = resolved;
  // Installed files (under /usr, read-only by convention) keep no report beside them: it goes
  // to the current directory instead.
  if (reportDir.empty() && existsAsTyped && name.rfind("/usr/", 0) == 0) reportDir = ".";
  if (!reportDir.empty()) setenv("QDVP_REPORT_DIR", reportDir.c_str(), 1);

  fflush(stdout);
  FILE *capture = tmpfile();
  int saved = capture ? dup(STDOUT_FILENO) : -1;
  if (saved < 0 || dup2(fileno(capture), STDOUT_FILENO) < 0) {
    fprintf(stderr, "qdvp validate: cannot capture the validation messages\n");
    if (capture) fclose(capture);
    if (saved >= 0) close(saved);
    return 1;
  }
  int rc = library.ValidateMetaFile(name.c_str());
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  rewind(capture);
  bool valid = false, notFound = false;
  char line[8192];
  bool lineStart = true;
  while (fgets(line, sizeof(line), capture) != nullptr) {
    if (lineStart && strncmp(line, "QDVPV00I", 8) == 0) valid = true;
    if (lineStart && strncmp(line, "QDVPV01E", 8) == 0) notFound = true;
    lineStart = strchr(line, '\n') != nullptr;
    fputs(line, stdout);
  }
  fclose(capture);
  fflush(stdout);
  if (notFound && !existsAsTyped) {
    fprintf(stderr,
            "qdvp validate: %s is no file here, nor in the metafile directory %s "
            "(QDVP_META_PATH)\n",
            typed.c_str(), MetafileDirectory().c_str());
  }
  return rc == 0 && valid ? 0 : 1;
}

// The check runs in this process on the library's own code, linked in from the static library
// (it is no entry point of libqdvp.so), so no data provider is loaded.
int Check(int type, const std::vector<std::string> &files) {
  for (const std::string &file : files) printf("ok      settings read from %s\n", file.c_str());
  fflush(stdout);
  int errors = QDVP_CheckConfiguration(type);
  fflush(stdout);
  return errors == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{kDescription, "qdvp"};
  app.footer(kFooter);
  app.set_version_flag("--version", "qdvp " QDVP_PACKAGE_VERSION);
  app.require_subcommand(1);
  app.failure_message([](const CLI::App *, const CLI::Error &e) {
    return std::string("qdvp: ") + e.what() + "\nRun 'qdvp --help' or 'qdvp COMMAND --help'.\n";
  });
  auto typeValidator = CLI::Validator(CheckType, "TYPE", "TYPE");

  std::string startType;
  CLI::App *start =
      app.add_subcommand("start", "run a data provider of TYPE until it is shut down");
  start->footer(
      "SIGINT or SIGTERM asks for a clean shutdown, bounded in time. The data provider's\n"
      "messages for the operator go to standard error, each line beginning with its syslog\n"
      "priority (<3> error, <4> warning, <6> information), as journald reads them.\n"
      "Exit status 0 after a clean shutdown, 1 when the data provider could not start (a bad\n"
      "setting, named on standard error; its console port in use), 2 for a bad command line.\n" +
      std::string(kTypes));
  start->add_option("TYPE", startType, "the data provider type")->required()->check(typeValidator);

  std::string checkType = "FILE";
  CLI::App *check =
      app.add_subcommand("check", "check what a start of TYPE (default FILE) would read");
  check->footer(
      "Looks at the environment values, the product specification, the metafile directory, the\n"
      "startup configuration and every metafile it names, the directories the data provider\n"
      "writes, the ports the type binds and whether the agent takes a connection, with the\n"
      "installed service's settings for what the environment does not set. One line per\n"
      "finding: ok, warning or error. Writes no file. Exit status 0 without errors, 1 with any,\n"
      "2 for a bad command line.\n" +
      std::string(kTypes));
  check->add_option("TYPE", checkType, "the data provider type")->check(typeValidator);

  std::string metafile, reportDir;
  CLI::App *validate =
      app.add_subcommand("validate", "check a metafile and print its validation messages");
  validate->footer(
      "A METAFILE that exists as typed is that file; another name is looked for in the\n"
      "metafile directory (QDVP_META_PATH). The report is written beside the metafile, or into\n"
      "DIR; the report of an installed metafile (under /usr) goes to the current directory.\n"
      "Exit status 0 when the metafile is valid, 1 otherwise, 2 for a bad command line.");
  validate->add_option("METAFILE", metafile, "the metafile")->required();
  validate->add_option("--report-dir", reportDir, "the directory of the report")->type_name("DIR");

  std::string unpackName;
  CLI::App *unpack =
      app.add_subcommand("unpack", "write the readable text of an enciphered metafile");
  unpack->footer(
      "The text goes beside the metafile, its extension .txt. Its first line is the enciphered\n"
      "file's //CORVID mark: remove that line before using the text as a plain metafile (with\n"
      "it, the text validates as a garbled enciphered one). Exit status 0 or 1.");
  unpack->add_option("METAFILE", unpackName, "the metafile")->required();

  std::string encipherIn, encipherOut;
  CLI::App *encipher =
      app.add_subcommand("encipher", "write an enciphered copy of a plain metafile");
  encipher->footer(
      "A data provider loads, validates and unpacks OUT like the plain IN. Exit status 0 or 1.");
  encipher->add_option("IN", encipherIn, "the plain metafile")->required();
  encipher->add_option("OUT", encipherOut, "the enciphered copy")->required();

  qdvp_host::ConsoleOptions console;
  std::string consoleType;
  CLI::App *consoleCommand =
      app.add_subcommand("console", "send one console command to a running data provider");
  consoleCommand->footer(
      "The data provider is the one of --type (default FILE) on this host, or the one at\n"
      "--host and --port. COMMAND is one of LIST, SHOW, CHECK, IMPORT, REFRESH, DELETE, ACCEPT,\n"
      "SHUTDOWN, GETPORT, PING, STATS, TRAPCNFG, LOADCOMM, LOADNAME, LOADLIST. Commands that\n"
      "change the data provider are authenticated with the key it writes at its first start\n"
      "(QDVP_CONSOLE_KEY_FILE, else qdvpcons.key beside the startup configuration). The\n"
      "installed service's settings fill in what the environment does not set.\n"
      "Exit status 0 for result 0, 1 for another result, 2 when no data provider answers, a\n"
      "setting is bad or the command line is.\n" +
      std::string(kTypes));
  auto *typeOption = consoleCommand->add_option("--type", consoleType, "the data provider type")
                         ->check(typeValidator)
                         ->type_name("TYPE");
  consoleCommand->add_option("--port", console.port, "the console port")
      ->check(CLI::Range(1, 65535))
      ->type_name("PORT")
      ->excludes(typeOption);
  consoleCommand->add_option("--host", console.host, "the data provider's host")->type_name("HOST");
  consoleCommand->add_flag("--raw", console.raw, "print the reply datagrams as received");
  consoleCommand->add_option("COMMAND", console.command, "the console command")->required();
  consoleCommand->add_option("OPERAND", console.operand,
                             "its operand (a metafile, an "
                             "application)");

  qdvp_host::PostOptions post;
  CLI::App *postCommand = app.add_subcommand("post", "post a message to a POST data provider");
  postCommand->footer(
      "The data provider is at --host (default 127.0.0.1) and --port (default QDVP_POST_DP_PORT\n"
      "or 7575); the acknowledgement stamp it answers is printed. TEXT is the words joined by\n"
      "blanks; - alone reads it from standard input. C is a category key (I, O, P, S, N, A, C,\n"
      "W, R, D, or one set by QDVP_POST_CATEGORY).\n"
      "Exit status 0 when posted, 1 when refused or unanswered within 5 seconds, 2 for a bad\n"
      "command line or setting.");
  postCommand->add_option("--host", post.host, "the data provider's host")->type_name("HOST");
  postCommand->add_option("--port", post.port, "its POST port")
      ->check(CLI::Range(1, 65535))
      ->type_name("PORT");
  postCommand->add_flag("--udp", post.udp, "send one datagram (no acknowledgement)");
  postCommand->add_option("--category", post.category, "the category key")->type_name("C");
  postCommand->add_option("TEXT", post.text, "the message")->required();

  CLI::App *version = app.add_subcommand("version", "print the package version (as --version)");
  CLI::App *help = app.add_subcommand("help", "print this text");

  // A first word that is no option names a command: one that does not exist is said so (the
  // parser only says that a command is required).
  if (argc > 1 && argv[1][0] != '-') {
    bool known = false;
    for (const CLI::App *sub : app.get_subcommands([](const CLI::App *) { return true; })) {
      known = known || sub->get_name() == argv[1];
    }
    if (!known) {
      fprintf(stderr, "qdvp: unknown command '%s'\nRun 'qdvp --help'.\n", argv[1]);
      return 2;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    int rc = app.exit(e);
    return rc == 0 ? 0 : 2;
  }

  if (*help) {
    printf("%s", app.get_formatter()->make_help(&app, "", CLI::AppFormatMode::Normal).c_str());
    return 0;
  }
  if (*version) {
    printf("qdvp %s\n", QDVP_PACKAGE_VERSION);
    return 0;
  }
  if (*start) {
    qdvp_host::Library library;
    if (!Load(&library)) return 1;
    return qdvp_host::RunDataProvider(library, qdvp_host::ParseType(startType));
  }
  if (*check) {
    int type = qdvp_host::ParseType(checkType);
    std::vector<std::string> files = qdvp_host::LoadInstalledSettings(type);
    return Check(type, files);
  }
  if (*validate || *unpack) {
    qdvp_host::Library library;
    if (!Load(&library)) return 1;
    if (*validate) return Validate(library, metafile, reportDir);
    int rc = library.UnpackMetafileToText(unpackName.c_str());
    fflush(stdout);
    return rc == 0 ? 0 : 1;
  }
  if (*encipher) {
    if (QDVP_EncipherMetafileToFile(encipherIn.c_str(), encipherOut.c_str()) != 0) {
      fprintf(stderr, "qdvp encipher: cannot encipher %s into %s\n", encipherIn.c_str(),
              encipherOut.c_str());
      return 1;
    }
    return 0;
  }
  if (*consoleCommand) {
    if (!consoleType.empty()) console.type = qdvp_host::ParseType(consoleType);
    qdvp_host::LoadInstalledSettings(console.type >= 0 ? console.type
                                                       : qdvp_host::ParseType("FILE"));
    return qdvp_host::RunConsoleCommand(console);
  }
  if (*postCommand) {
    qdvp_host::LoadInstalledSettings(qdvp_host::ParseType("POST"));
    return qdvp_host::RunPostCommand(post);
  }
  return 2;
}
