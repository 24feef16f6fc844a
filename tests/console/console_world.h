// The console world of the end-to-end tests: a data provider (FILE unless said otherwise) and
// its agent peer on private ports, the qdvp console program run as the operator (who can read
// the console key), and raw datagrams sealed with that key as the program seals them.
#pragma once

#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "include/qdvp_consauth.h"
#include "tests/support/dpworld.h"

namespace qdvp_test {

using std::chrono::milliseconds;
using std::chrono::seconds;

inline std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), ::toupper);
  return text;
}

inline bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// A metafile of one event table fed by one file.
inline std::string LinesMetafile(const std::string &appl, const std::string &logFile,
                                 const std::string &moreAttributes = "") {
  return "* console test application\n//APPL " + appl + " @console test\n//NAME Lines E\n" +
         "//SOURCE FILE " + logFile + "\n//ATTRIBUTES ' '\nWord D 32\nCount C 999\n" +
         moreAttributes;
}

// A datagram of command sealed with key for a console port, as qdvp console seals it.
inline std::string SealWith(const unsigned char *key, int port, long stamp, const char *nonce,
                            const std::string &command) {
  std::string datagram(command.size() + QDVP_CONSOLE_SEAL_MAX, '\0');
  datagram.resize(QDVP_SealConsoleCommand(key, port, stamp, nonce, command.data(), command.size(),
                                          datagram.data(), datagram.size()));
  return datagram;
}

// What the console program printed and how it ended.
struct ConsoleResult {
  int status = -1;
  std::string out;
  std::string err;
};

// A data provider whose console listens on a port that was free, with a startup configuration:
// the metafile directory is not loaded whole, and IMPORT and DELETE keep the file up to date.
class ConsoleWorld : public DataProviderWorld {
 protected:
  // Starts `qdvp start TYPE` and waits until it has started; returns "" or why not.
  std::string Start(int type = 1) {
    static const char *const kNames[] = {"APIS", "FILE", "SOCK", "ASFS", "POST",
                                         "SNMP", "APPC", "ODBC", "HTTP"};
    config_ = "* console test\n";
    consolePort_ = port_ - type;  // the console listens on QDVP_DPCONSOLE_PORT plus the type
    Launch(std::to_string(type));
    std::string active = kNames[type];
    active += " DP Active! Initialization completed successfully.";
    WaitFor([&] { return Has(qdvp_->Stderr(), active) || !qdvp_->Running(); });
    if (!Has(qdvp_->Stderr(), active) || !qdvp_->Running()) {
      return "the data provider did not start: " + qdvp_->Stderr() + qdvp_->Stdout();
    }
    return "";
  }
  // Runs "qdvp console --port P words...".
  ConsoleResult Console(const Strings &words) const {
    Strings argv = {BinDir() + "/qdvp", "console", "--port", std::to_string(port_)};
    argv.insert(argv.end(), words.begin(), words.end());
    ConsoleResult r;
    r.status = qdvp_test::Run(argv, {}, &r.out, &r.err);
    return r;
  }
  // Runs it and expects the exit status and the whole standard output.
  void ExpectConsole(const Strings &words, int status, const std::string &out) const {
    ConsoleResult r = Console(words);
    std::string command = words[0] + (words.size() > 1 ? " " + words[1] : "");
    EXPECT_EQ(r.status, status) << command << ": " << r.err;
    EXPECT_EQ(r.out, out) << command;
  }
  void Import(const std::string &name) {
    ConsoleResult r = Console({"IMPORT", name});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }
  // The data provider's console key file, which it writes at its first start.
  std::string KeyFile() const { return File("qdvpcons.key"); }
  // A datagram of command sealed with the key of KeyFile(), as qdvp console seals it (the
  // command as it is while there is no key).
  std::string Sealed(const std::string &command) const {
    unsigned char key[QDVP_CONSOLE_KEY_SIZE];
    char nonce[QDVP_CONSOLE_NONCE_DIGITS + 1];
    if (QDVP_LoadConsoleKey(KeyFile().c_str(), 0, key) != QDVP_KEY_OK ||
        !QDVP_NewConsoleNonce(nonce)) {
      return command;
    }
    return SealWith(key, port_, static_cast<long>(time(nullptr)), nonce, command);
  }
  // Sends one datagram, sealed as the operator's, from a fresh socket and collects the reply
  // datagrams: until the last part of a multi-part reply, else the first one, else nothing
  // within quiet.
  Strings Exchange(const std::string &datagram, milliseconds quiet = seconds(3)) const {
    UdpSocket socket;
    socket.SendTo(port_, Sealed(datagram));
    Strings replies;
    // A multi-part reply begins "0 1 " and ends with a part that begins "3 ".
    while (auto reply = socket.Receive(quiet)) {
      replies.push_back(*reply);
      if (replies[0].compare(0, 4, "0 1 ") != 0) break;
      if (replies.size() > 1 && reply->compare(0, 2, "3 ") == 0) break;
    }
    return replies;
  }
  std::string WriteMetafile(const std::string &name, const std::string &text) {
    return dir_.Write("metafiles/" + name, text);
  }
  // The name LIST and SHOW give a metafile of the metafile directory.
  std::string Listed(const std::string &name) const {
    return Upper(File("metafiles") + "/" + name);
  }
  std::string StartupConfig() const { return ReadFile(File("qdvpinit.cfg")); }
  // One value of a query of the peer's database, "" when there is no row.
  std::string PeerQuery(const std::string &sql) const {
    return dch_test::QueryOne(peer_->Db(), sql);
  }
  bool WaitPeer(const std::string &sql, const std::string &value) const {
    return WaitFor([&] { return PeerQuery(sql) == value; });
  }

  const int port_ = FreePort();
};

}  // namespace qdvp_test
