// libFuzzer target for the metafile server's wire. The first byte chooses the side: even, the
// input is a GETMETA request as the server splits it, and a name it accepts must be one that
// cannot leave the metafile directory; odd, the rest is a reply as the client receives it,
// cut into receives at each 0xFF byte, and however it is cut the reader must reach the same
// state, status and records as from the whole, within its bound.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "metaserver/qdvpmswr.h"

namespace {

void Request(const char *data, size_t size) {
  std::string name;
  const char *why = nullptr;
  MetaRequestKind kind = QDVP_ParseMetaRequest(data, size, &name, &why);
  if (why == nullptr || name.size() > QDVP_MSRV_NAME_MAX) abort();
  if (kind != QDVP_MSRV_REQ_GETMETA) return;
  if (name.empty() || name[0] == '.' || name[0] == '&' || name.find('/') != std::string::npos ||
      name.find("..") != std::string::npos || memchr(data, '\0', size) != nullptr ||
      QDVP_MetaNameRefusal(name) != nullptr) {
    abort();
  }
}

void Reply(const char *data, size_t size) {
  MetaReplyReader whole, pieces;
  std::string joined;
  size_t at = 0;
  while (at <= size) {
    size_t cut = at;
    while (cut < size && static_cast<unsigned char>(data[cut]) != 0xFF) cut++;
    pieces.Feed(data + at, cut - at);
    joined.append(data + at, cut - at);
    at = cut + 1;
  }
  whole.Feed(joined.data(), joined.size());
  if (whole.state() != pieces.state()) abort();
  if (whole.state() != MetaReplyReader::kComplete) {
    if (!whole.records().empty() && whole.state() == MetaReplyReader::kMalformed) abort();
    return;
  }
  if (whole.status() != pieces.status() || whole.records() != pieces.records()) abort();
  size_t bytes = 0;
  for (const std::string &r : whole.records()) {
    if (r.find('\n') != std::string::npos) abort();
    bytes += r.size() + 1;
  }
  if (bytes > QDVP_MSRV_REPLY_MAX || whole.records().size() > QDVP_MSRV_RECORDS_MAX) abort();
  if (whole.status() != 0 && !whole.records().empty()) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const char *text = reinterpret_cast<const char *>(data) + 1;
  if (data[0] % 2 == 0) {
    Request(text, size - 1);
  } else {
    Reply(text, size - 1);
  }
  return 0;
}
