// qdvp-dch: the agent peer of the data provider. Parses the command line, opens the store
// (SQLite, or PostgreSQL with --pg) and the message log, starts the page when --http asks for
// it, and runs the server until SIGINT or SIGTERM.
//
// Exit status: 0 after a clean stop, 1 when the final commit failed, 2 for a bad command line
// or when the database, the log or the port cannot be opened.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "tools/dch/dchagent.h"
#include "tools/dch/dchnet.h"
#include "tools/dch/dchpage.h"
#include "tools/dch/dchpg.h"
#include "tools/dch/dchsqlite.h"

namespace {

const char *kDescription =
    "qdvp-dch: the agent peer of the data provider. Listens for the agent link on TCP and UDP,\n"
    "answers every request as an agent does (status 0, a handle for each online), stores\n"
    "registrations, sources and rows in SQLite (or PostgreSQL, for many hosts in one\n"
    "database) and logs every message as JSON lines. --http serves a read-only page.\n"
    "Fault options make it refuse, delay or ignore requests, or drop connections.";

const char *kFooter =
    "KIND is one of register, online, data, offline, unregister, wait, action (action status\n"
    "and result). COUNT is a number or 'all'. Fault options may be repeated; counted rules of\n"
    "one kind are used up in the order given. A refused request (nonzero STATUS) is not\n"
    "stored; a request whose reply is withheld is.\n"
    "Action lines (--action, --action-file): "
    "{\"node\":\"host1\",\"type\":1,\"name\":\"echo\",\"parameter\":\"hi\","
    "\"owner\":\"Sit1\",\"id\":7}\n"
    "(only name is required); each is sent to the data provider that asked for actions for\n"
    "that node (for a subnode name node:APPLTABLEnn, the part before the colon).\n"
    "Once listening, one line on standard error: qdvp-dch listening on ADDR:PORT (tcp+udp).\n"
    "SIGINT or SIGTERM commits everything received and exits with 0.";

int Main(int argc, char **argv) {
  CLI::App app{kDescription, "qdvp-dch"};
  app.footer(kFooter);
  app.set_version_flag("--version", "qdvp-dch " QDVP_PACKAGE_VERSION);
  qdvp_dch::DchServerOptions options;
  std::string db = "dch.db", jsonl, pg, hostId, http;
  std::string pgRows = "copy";
  std::vector<std::string> fails, delays, noReplies, actions;
  int64_t dropAfter = 0;
  app.add_option("--port", options.port, "TCP and UDP port (0: an ephemeral port, printed)")
      ->default_val(7900)
      ->check(CLI::Range(0, 65535));
  app.add_option("--listen", options.listen, "address to listen on (IPv4 or IPv6)")
      ->default_val("127.0.0.1")
      ->type_name("ADDR");
  app.add_flag("--udp-only", options.udpOnly, "listen on UDP only, leave TCP closed");
  app.add_option("--db", db, "SQLite database, created when missing")
      ->default_val("dch.db")
      ->type_name("PATH");
  auto *pgOption =
      app.add_option("--pg", pg,
                     "store in PostgreSQL instead of SQLite (a libpq connection string or "
                     "URI); --db is then not used")
          ->type_name("CONNINFO");
  app.add_option("--pg-rows", pgRows,
                 "with --pg: how a turn's rows go in, copy (COPY, the default) or insert "
                 "(multi-row INSERTs)")
      ->check(CLI::IsMember({"copy", "insert"}))
      ->needs(pgOption)
      ->type_name("MODE");
  app.add_option("--host-id", hostId,
                 "the host the rows are stored under in PostgreSQL (default: this host's name)")
      ->type_name("NAME");
  app.add_option("--http", http,
                 "serve a read-only page on ADDR:PORT (PORT alone: 127.0.0.1; port 0 picks one)")
      ->type_name("ADDR:PORT");
  app.add_option("--jsonl", jsonl, "write every message as a JSON line to PATH ('-': stdout)")
      ->type_name("PATH");
  app.add_option("--ready-file", options.readyFile, "write the port to PATH once listening")
      ->type_name("PATH");
  app.add_option("--action-file", options.actionFile,
                 "follow PATH for take actions, one action line each")
      ->type_name("PATH");
  app.add_option("--action", actions, "queue a take action (an action line, see below) at startup")
      ->type_name("JSON");
  app.add_option("--fail", fails,
                 "answer COUNT (default 1) KIND requests with STATUS, after AFTER (default 0) "
                 "that pass")
      ->type_name("KIND:STATUS[:COUNT[:AFTER]]");
  app.add_option("--delay", delays, "answer every KIND request MS milliseconds late")
      ->type_name("KIND:MS");
  app.add_option("--no-reply", noReplies, "do not answer the next COUNT (default 1) KIND requests")
      ->type_name("KIND[:COUNT]");
  app.add_option("--drop-after", dropAfter,
                 "close each TCP connection after answering its Nth data request")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--crash-before-commit", options.crashBeforeCommit,
                 "kill this program (SIGKILL) just before it commits the Nth turn that stored "
                 "rows, as a crash between receiving and committing")
      ->check(CLI::PositiveNumber)
      ->type_name("N");
  app.add_option("--commit-ms", options.commitMs,
                 "let replies wait up to MS for a shared commit (0: each round of reads is "
                 "committed, then answered)")
      ->default_val(0)
      ->check(CLI::Range(0, 600000));
  app.add_option("--partial-timeout-ms", options.partialTimeoutMs,
                 "drop a connection whose message stays incomplete this long")
      ->default_val(30000)
      ->check(CLI::Range(1, 3600000));
  app.add_option("--max-connections", options.maxConnections,
                 "most TCP connections, and most UDP senders, at a time")
      ->default_val(64)
      ->check(CLI::Range(1, 10000));
  bool noWindow = false;
  app.add_flag("--no-window", noWindow,
               "answer no data provider's window: every source has one row in flight at a time");
  uint32_t windowAnswer = 0;
  auto *windowOption =
      app.add_option("--window", windowAnswer,
                     "answer this window to every registration that asks for one, even above "
                     "what it asked (default: what it asks, up to 4096)")
          ->check(CLI::Range(1u, 1000000u))
          ->excludes("--no-window");
  app.add_option("--idle-limit-ms", options.idleLimitMs,
                 "when every slot is taken, a new connection replaces one silent this long "
                 "(an anonymous one while one is open, before a data provider's)")
      ->default_val(60000)
      ->check(CLI::Range(0, 86400000));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    int rc = app.exit(e);
    return rc == 0 ? 0 : 2;
  }

  qdvp_dch::DchFaultPlan faults;
  std::string error;
  for (const auto &f : fails) {
    if (!faults.AddFail(f, &error)) {
      fprintf(stderr, "qdvp-dch: --fail %s: %s\n", f.c_str(), error.c_str());
      return 2;
    }
  }
  for (const auto &d : delays) {
    if (!faults.AddDelay(d, &error)) {
      fprintf(stderr, "qdvp-dch: --delay %s: %s\n", d.c_str(), error.c_str());
      return 2;
    }
  }
  for (const auto &n : noReplies) {
    if (!faults.AddNoReply(n, &error)) {
      fprintf(stderr, "qdvp-dch: --no-reply %s: %s\n", n.c_str(), error.c_str());
      return 2;
    }
  }
  faults.SetDropAfter(dropAfter);

  if (hostId.empty()) {
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    hostId = name[0] ? name : "localhost";
  }
  std::unique_ptr<qdvp_dch::DchStore> store;
  std::unique_ptr<qdvp_dch::DchViewDb> view;
  if (!pg.empty()) {
    auto pgStore = std::make_unique<qdvp_dch::DchPgStore>(pg, hostId);
    pgStore->SetCopyRows(pgRows == "copy");
    if (pgStore->Open() != 0) {
      fprintf(stderr, "qdvp-dch: cannot open PostgreSQL database: %s\n",
              pgStore->LastError().c_str());
      return 2;
    }
    fprintf(stderr, "qdvp-dch: storing into PostgreSQL as host %s\n", pgStore->Host().c_str());
    store = std::move(pgStore);
    if (!http.empty()) view = qdvp_dch::DchOpenPgView(pg);
  } else {
    auto sqlite = std::make_unique<qdvp_dch::DchSqliteStore>();
    if (sqlite->Open(db) != 0) {
      fprintf(stderr, "qdvp-dch: cannot open database %s: %s\n", db.c_str(),
              sqlite->LastError().c_str());
      return 2;
    }
    store = std::move(sqlite);
    if (!http.empty()) view = qdvp_dch::DchOpenSqliteView(db, hostId);
  }
  std::unique_ptr<qdvp_dch::DchPage> page;
  if (!http.empty()) {
    page = std::make_unique<qdvp_dch::DchPage>(std::move(view), hostId);
    if (!page->Start(http, &error)) {
      fprintf(stderr, "qdvp-dch: --http %s: %s\n", http.c_str(), error.c_str());
      return 2;
    }
    fprintf(stderr, "qdvp-dch page on %s\n", page->Url().c_str());
  }
  qdvp_dch::DchJsonl log;
  if (!jsonl.empty()) {
    int rc = log.Open(jsonl);
    if (rc != 0) {
      fprintf(stderr, "qdvp-dch: cannot open %s: %s\n", jsonl.c_str(), strerror(rc));
      return 2;
    }
  }
  qdvp_dch::DchAgent agent(store.get(), &log, &faults);
  if (noWindow) agent.SetWindowLimit(0);
  if (*windowOption) agent.SetWindowLimit(windowAnswer, true);
  for (const auto &line : actions) {
    qdvp_dch::DchAction action;
    if (!qdvp_dch::DchParseAction(line, agent.NextActionId(), &action, &error)) {
      fprintf(stderr, "qdvp-dch: --action %s: %s\n", line.c_str(), error.c_str());
      return 2;
    }
    agent.QueueAction(std::move(action));
  }
  qdvp_dch::DchServer server(options, &agent, store.get(), &log);
  int status = server.Run();
  if (page) page->Stop();
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return Main(argc, argv);
  } catch (const std::exception &e) {
    fprintf(stderr, "qdvp-dch: %s\n", e.what());
  } catch (...) {
    fprintf(stderr, "qdvp-dch: unexpected failure\n");
  }
  return 2;
}
