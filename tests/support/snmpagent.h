// Simulated SNMP agents for the benchmarks and tests that need many agents or a misbehaving
// one: answers are built with the data provider's own encoder.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp_snmp.h"

namespace qdvp_test {

// A UDP socket bound to an ephemeral port on loopback; *address gets its address.
inline int BoundLoopbackUdp(sockaddr_in *address) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  *address = sockaddr_in{};
  address->sin_family = AF_INET;
  address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr *>(address), sizeof(*address));
  socklen_t n = sizeof(*address);
  getsockname(s, reinterpret_cast<sockaddr *>(address), &n);
  return s;
}

// The encoding of answers of any version with any number of bindings (the data provider's
// encoder builds version 1 answers of one binding only).
inline std::string BerField(int tag, const std::string &contents) {
  std::string out(1, static_cast<char>(tag));
  size_t n = contents.size();
  if (n < 128) {
    out += static_cast<char>(n);
  } else if (n < 256) {
    out += "\x81", out += static_cast<char>(n);
  } else {
    out += "\x82", out += static_cast<char>(n >> 8), out += static_cast<char>(n & 0xff);
  }
  return out + contents;
}
// A signed INTEGER, or with an unsigned tag an unsigned number (a leading zero byte when its
// top bit is set), in the fewest bytes.
inline std::string BerNumber(int tag, unsigned long long value, bool isSigned = false) {
  std::string bytes;
  for (int i = 7; i >= 0; i--) bytes += static_cast<char>(value >> (8 * i));
  auto top = [&](size_t k) { return (static_cast<unsigned char>(bytes[k]) & 0x80) != 0; };
  size_t k = 0;
  while (k + 1 < bytes.size() &&
         ((bytes[k] == 0 && !top(k + 1)) || (isSigned && bytes[k] == '\xff' && top(k + 1)))) {
    k++;
  }
  bytes = bytes.substr(k);
  if (!isSigned && top(0)) bytes.insert(bytes.begin(), '\0');
  return BerField(tag, bytes);
}
inline std::string BerOid(const std::string &dotted) {
  unsigned char oid[160];
  size_t n = QDV0_FormatOIDfromString(dotted.c_str(), oid, sizeof(oid));
  return std::string(reinterpret_cast<char *>(oid), n);  // the whole field, tag and length
}

// SNMP agents on loopback, one UDP socket each, served by one thread, of version 1 and 2c. A
// get is answered with a value for each OID asked: in the table's columns the instance in the
// first, a Counter in the second to fourth, a text "row I" in the fifth and in the sixth a
// Counter64 of 2^64 - 1 - I (version 2c; a version 1 request of it gets noSuchName); elsewhere
// a text "simulated agent OID". A get-next inside the table gives the next instance of the
// column (past the last row, the next column's first), a get-bulk that many times over.
//
// Each agent behaves as its kind says: it answers, it never answers, it sends three answers
// with other request identifiers before the right one, or its texts are 3,000 bytes long (an
// answer larger than the 1,600 bytes agents were once thought to send).
class SimulatedAgents {
 public:
  enum Kind { Answers, Silent, StaleFirst, Large };
  // circular: every get-next is answered with the column's first instance, as a broken agent
  // might, so that a walk would never end.
  SimulatedAgents(int count, int rows, std::string table, bool circular = false)
      : SimulatedAgents(std::vector<Kind>(static_cast<size_t>(count), Answers), rows,
                        std::move(table), circular) {}
  SimulatedAgents(std::vector<Kind> kinds, int rows, std::string table, bool circular = false)
      : rows_(rows), table_(std::move(table)), circular_(circular), kinds_(std::move(kinds)) {
    for (size_t i = 0; i < kinds_.size(); i++) {
      sockaddr_in a;
      sockets_.push_back(BoundLoopbackUdp(&a));
      ports_.push_back(ntohs(a.sin_port));
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~SimulatedAgents() {
    stop_ = true;
    thread_.join();
    for (int s : sockets_) close(s);
  }
  std::string Address(size_t i) const { return "127.0.0.1:" + std::to_string(ports_[i]); }
  // The agents from first on (count of them, all by default) as an AGENTINFO list; a
  // community given names each agent's own community and version ({host community v2c}).
  std::string List(size_t first = 0, size_t count = SIZE_MAX, const std::string &community = "",
                   const std::string &version = "") const {
    std::string list = "(";
    for (size_t i = first; i < ports_.size() && i - first < count; i++) {
      std::string entry = Address(i);
      if (!community.empty()) {
        entry = "{" + entry + " " + community + (version.empty() ? "" : " " + version) + "}";
      }
      list += (i > first ? "," : "") + entry;
    }
    return list + ")";
  }
  // Requests each agent received.
  int Requests(size_t i) const { return requests_[i].load(); }

 private:
  struct Request {
    long version = 0, id = 0, repetitions = 0;
    int pdu = 0;
    std::string community;
    std::vector<std::string> oids;
  };
  void Serve() {
    std::vector<pollfd> fds;
    for (int s : sockets_) fds.push_back({s, POLLIN, 0});
    while (!stop_) {
      if (poll(fds.data(), fds.size(), 100) <= 0) continue;
      for (size_t i = 0; i < fds.size(); i++) {
        if (fds[i].revents & POLLIN) Answer(i);
      }
    }
  }
  // The request's version, community, PDU type, identifier, repetitions (of a get-bulk) and
  // OIDs (dotted); false for anything else.
  static bool Parse(const unsigned char *b, size_t n, Request *r) {
    int tag;
    const unsigned char *c;
    size_t cl;
    if (QDV0_ExtractBERfield(b, n, 0, &tag, &c, &cl) == 0) return false;
    size_t at = static_cast<size_t>(c - b);
    if ((at = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl)) == 0) return false;  // version
    QDV0_ExtractBERinteger(c, cl, &r->version);
    if ((at = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl)) == 0) return false;  // community
    r->community.assign(reinterpret_cast<const char *>(c), cl);
    if (QDV0_ExtractBERfield(b, n, at, &r->pdu, &c, &cl) == 0) return false;
    at = static_cast<size_t>(c - b);
    if ((at = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl)) == 0) return false;
    QDV0_ExtractBERinteger(c, cl, &r->id);
    if ((at = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl)) == 0) return false;  // status
    if ((at = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl)) == 0) return false;  // index
    QDV0_ExtractBERinteger(c, cl, &r->repetitions);
    size_t listEnd = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl);
    if (listEnd == 0) return false;
    for (size_t item = static_cast<size_t>(c - b); item < listEnd;) {
      const unsigned char *bc;
      size_t bl;
      size_t after = QDV0_ExtractBERfield(b, n, item, &tag, &bc, &bl);
      if (after == 0 || QDV0_ExtractBERfield(b, n, static_cast<size_t>(bc - b), &tag, &c, &cl) == 0)
        return false;
      char text[256];
      if (tag != QDV0_BER_OID || QDV0_DecodeOIDfromBER(c, cl, text, sizeof(text)) != 0)
        return false;
      r->oids.push_back(text);
      item = after;
    }
    return !r->oids.empty();
  }
  // The OID a get-next of name answers (name itself when it is none of the table's).
  std::string Next(const std::string &name) const {
    if (name.compare(0, table_.size(), table_) != 0) return name;
    // kTable.C or kTable.C.I -> kTable.C.(I+1), past the last row kTable.(C+1).1
    std::string rest = name.substr(table_.size() + 1);
    int column = atoi(rest.c_str()), instance = 0;
    size_t dot = rest.find('.');
    if (dot != std::string::npos) instance = atoi(rest.c_str() + dot + 1);
    if (circular_) instance = 0;
    if (++instance > rows_) column++, instance = 1;
    return table_ + "." + std::to_string(column) + "." + std::to_string(instance);
  }
  // The encoded value of name; "" when a version 1 agent has none (noSuchName).
  std::string Value(const std::string &name, long version, Kind kind) const {
    std::string pad = kind == Large ? " " + std::string(3000, 'x') : "";
    if (name.compare(0, table_.size() + 1, table_ + ".") == 0) {
      std::string rest = name.substr(table_.size() + 1);
      int column = atoi(rest.c_str());
      size_t dot = rest.find('.');
      long instance = dot == std::string::npos ? 0 : atol(rest.c_str() + dot + 1);
      if (column == 1)
        return BerNumber(QDV0_BER_INTEGER, static_cast<unsigned long long>(instance), true);
      if (column == 5)
        return BerField(QDV0_BER_OCTETSTRING, "row " + std::to_string(instance) + pad);
      if (column == 6) {
        if (version == QDVP_SNMP_V1) return "";
        return BerNumber(QDVP_SNMP_COUNTER64, ~0ULL - static_cast<unsigned long long>(instance));
      }
      return BerNumber(QDVP_SNMP_COUNTER, name.size() * 1000);
    }
    return BerField(QDV0_BER_OCTETSTRING, "simulated agent " + name + pad);
  }
  void Answer(size_t agent) {
    int s = sockets_[agent];
    unsigned char in[QDVP_SNMP_MESSAGE_SIZE];
    sockaddr_in from{};
    socklen_t len = sizeof(from);
    ssize_t n = recvfrom(s, in, sizeof(in), 0, reinterpret_cast<sockaddr *>(&from), &len);
    Request r;
    if (n <= 0 || !Parse(in, static_cast<size_t>(n), &r)) return;
    requests_[agent]++;
    Kind kind = kinds_[agent];
    if (kind == Silent) return;
    std::string list;
    long status = 0, index = 0;
    auto bind = [&](const std::string &name, const std::string &value) {
      list += BerField(0x30, BerOid(name) + value);
    };
    if (r.pdu == QDVP_SNMP_GETBULK) {
      std::string name = r.oids[0];
      for (long k = 0; k < std::max(1L, r.repetitions); k++) {
        name = Next(name);
        bind(name, Value(name, r.version, kind));
      }
    } else {
      for (size_t k = 0; k < r.oids.size(); k++) {
        std::string name = r.pdu == QDVP_SNMP_GETNEXT ? Next(r.oids[k]) : r.oids[k];
        std::string value = Value(name, r.version, kind);
        if (value.empty()) {
          status = 2, index = static_cast<long>(k) + 1;
          value = BerField(0x05, "");
        }
        bind(name, value);
      }
    }
    auto message = [&](long id) {
      std::string pdu = BerNumber(QDV0_BER_INTEGER, static_cast<unsigned long long>(id), true) +
                        BerNumber(QDV0_BER_INTEGER, static_cast<unsigned long long>(status), true) +
                        BerNumber(QDV0_BER_INTEGER, static_cast<unsigned long long>(index), true) +
                        BerField(0x30, list);
      return BerField(
          0x30, BerNumber(QDV0_BER_INTEGER, static_cast<unsigned long long>(r.version), true) +
                    BerField(QDV0_BER_OCTETSTRING, r.community) +
                    BerField(QDVP_SNMP_RESPONSE, pdu));
    };
    if (kind == StaleFirst) {
      for (long stale = 1; stale <= 3; stale++) {
        std::string old = message(r.id + 1000 * stale);
        sendto(s, old.data(), old.size(), 0, reinterpret_cast<sockaddr *>(&from), len);
      }
    }
    std::string out = message(r.id);
    sendto(s, out.data(), out.size(), 0, reinterpret_cast<sockaddr *>(&from), len);
  }

  int rows_;
  std::string table_;
  bool circular_;
  std::vector<Kind> kinds_;
  std::vector<int> sockets_;
  std::vector<int> ports_;
  std::vector<std::atomic<int>> requests_ = std::vector<std::atomic<int>>(kinds_.size());
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace qdvp_test
