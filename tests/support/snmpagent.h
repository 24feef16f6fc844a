// Simulated SNMP agents for the benchmarks and tests that need many agents or a misbehaving
// one: answers are built with the data provider's own encoder.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdlib.h>

#include <atomic>
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

// SNMP agents on loopback, one UDP socket each, served by one thread: a get is answered with a
// value for the OID asked (the instance in the table's first column, a Counter in the others, a
// text elsewhere), a get-next inside the
// table with the next instance of the column (past the last row, the next column's first).
class SimulatedAgents {
 public:
  // circular: every get-next is answered with the column's first instance, as a broken agent
  // might, so that a walk would never end.
  SimulatedAgents(int count, int rows, std::string table, bool circular = false)
      : rows_(rows), table_(std::move(table)), circular_(circular) {
    for (int i = 0; i < count; i++) {
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
  std::string List() const {
    std::string list = "(";
    for (size_t i = 0; i < ports_.size(); i++) {
      list += (i ? "," : "") + std::string("127.0.0.1:") + std::to_string(ports_[i]);
    }
    return list + ")";
  }

 private:
  void Serve() {
    std::vector<pollfd> fds;
    for (int s : sockets_) fds.push_back({s, POLLIN, 0});
    while (!stop_) {
      if (poll(fds.data(), fds.size(), 100) <= 0) continue;
      for (pollfd &f : fds) {
        if (f.revents & POLLIN) Answer(f.fd);
      }
    }
  }
  // The request's PDU type, identifier and first OID (dotted); false for anything else.
  static bool Parse(const unsigned char *b, size_t n, int *pdu, long *id, std::string *oid) {
    int tag;
    const unsigned char *c;
    size_t cl;
    if (QDV0_ExtractBERfield(b, n, 0, &tag, &c, &cl) == 0) return false;
    size_t at = static_cast<size_t>(c - b);
    at = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl);                    // version
    if (at != 0) at = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl);       // community
    if (at == 0 || QDV0_ExtractBERfield(b, n, at, pdu, &c, &cl) == 0) return false;
    at = static_cast<size_t>(c - b);
    if ((at = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl)) == 0) return false;
    QDV0_ExtractBERinteger(c, cl, id);
    at = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl);                    // error status
    if (at != 0) at = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl);       // error index
    if (at == 0 || QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl) == 0) return false;  // list
    if (QDV0_ExtractBERfield(b, n, static_cast<size_t>(c - b), &tag, &c, &cl) == 0) return false;
    if (QDV0_ExtractBERfield(b, n, static_cast<size_t>(c - b), &tag, &c, &cl) == 0) return false;
    char text[256];
    if (tag != QDV0_BER_OID || QDV0_DecodeOIDfromBER(c, cl, text, sizeof(text)) != 0) return false;
    *oid = text;
    return true;
  }
  void Answer(int s) {
    unsigned char in[QDVP_SNMP_MESSAGE_SIZE], out[QDVP_SNMP_MESSAGE_SIZE], oid[128], value[128];
    sockaddr_in from{};
    socklen_t len = sizeof(from);
    ssize_t n = recvfrom(s, in, sizeof(in), 0, reinterpret_cast<sockaddr *>(&from), &len);
    int pdu;
    long id;
    std::string name;
    if (n <= 0 || !Parse(in, static_cast<size_t>(n), &pdu, &id, &name)) return;
    const std::string &table = table_;
    size_t v;
    if (pdu == QDVP_SNMP_GETNEXT && name.compare(0, table.size(), table) == 0) {
      // kTable.C or kTable.C.I -> kTable.C.(I+1), past the last row kTable.(C+1).1
      std::string rest = name.substr(table.size() + 1);
      int column = atoi(rest.c_str()), instance = 0;
      size_t dot = rest.find('.');
      if (dot != std::string::npos) instance = atoi(rest.c_str() + dot + 1);
      if (circular_) instance = 0;
      if (++instance > rows_) column++, instance = 1;
      name = table + "." + std::to_string(column) + "." + std::to_string(instance);
      v = QDV0_FormatBERintegerType(QDV0_BER_INTEGER, instance, value, sizeof(value));
    } else if (name.compare(0, table.size() + 3, table + ".1.") == 0) {
      // the first column is the index: its value is the instance
      v = QDV0_FormatBERintegerType(QDV0_BER_INTEGER, atol(name.c_str() + table.size() + 3),
                                    value, sizeof(value));
    } else if (name.compare(0, table.size(), table) == 0) {
      v = QDV0_FormatBERintegerType(QDVP_SNMP_COUNTER, static_cast<long>(name.size()) * 1000,
                                    value, sizeof(value));
    } else {
      std::string text = "simulated agent " + name;
      v = QDV0_FormatBERoctetstringType(QDV0_BER_OCTETSTRING, text.data(), text.size(), value,
                                        sizeof(value));
    }
    size_t o = QDV0_FormatOIDfromString(name.c_str(), oid, sizeof(oid));
    size_t m = QDVP_SNMPconstructPDUbuffer(out, sizeof(out), QDVP_SNMP_RESPONSE, oid, o, value, v,
                                           static_cast<int32_t>(id), "public");
    sendto(s, out, m, 0, reinterpret_cast<sockaddr *>(&from), len);
  }

  int rows_;
  std::string table_;
  bool circular_;
  std::vector<int> sockets_;
  std::vector<int> ports_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace qdvp_test
