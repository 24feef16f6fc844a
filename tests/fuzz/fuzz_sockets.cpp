// libFuzzer target for a TCP partner's bytes as the socket data server divides them into
// lines, end markers and what it holds back: the input is cut into receives at each 0xFF byte,
// and every division must give back the bytes in order, hold back no more than one receive
// buffer and never hold back a line feed.
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "sockets/qdvpsock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string held, all, seen;
  size_t at = 0;
  while (at <= size) {
    size_t cut = at;
    while (cut < size && data[cut] != 0xFF) cut++;
    std::string received(reinterpret_cast<const char *>(data) + at, cut - at);
    all += received;
    bool end = cut >= size;
    std::vector<PartnerPiece> pieces;
    std::string work = held + received, next;
    QDVP_SplitPartnerBytes(work, end, &pieces, &next);
    std::string back;
    for (const PartnerPiece &p : pieces) back += p.text;
    if (back + next != work) abort();
    if (next.size() > QDVP_SOCK_BUFFER_SIZE || next.find('\n') != std::string::npos) abort();
    if (end && !next.empty()) abort();
    seen += back;
    held = next;
    at = cut + 1;
  }
  if (seen != all) abort();
  return 0;
}
