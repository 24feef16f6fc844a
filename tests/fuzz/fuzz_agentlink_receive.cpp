// libFuzzer target for the data provider's receive side of the agent link: any byte stream,
// cut into receives at places the input chooses, goes through the message reassembly and the
// decoder. Nothing may crash, read out of bounds, or keep more than one incomplete message;
// a stream the decoder calls broken is dropped and a fresh one started, as the receive task
// does.
#include <stddef.h>
#include <stdint.h>

#include <cstdlib>

#include "include/qdvp_dchcomm.h"

namespace {

void Check(const DCHdecoded *m, void *context) {
  auto *count = static_cast<size_t *>(context);
  ++*count;
  // Every text the decoder points at lies inside the message it was given.
  if (m->Kind == 2 && m->ActionFieldCount < 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  size_t chunk = 1 + data[0] % 97;
  data++;
  size--;
  DCHdecoded whole;
  QDVP_DecodeDCHmessage(data, size, &whole);
  DCHstream stream = {nullptr, 0, 0};
  size_t messages = 0;
  for (size_t at = 0; at < size; at += chunk) {
    size_t n = size - at < chunk ? size - at : chunk;
    if (QDVP_DecodeDCHstream(&stream, data + at, n, Check, &messages) != 0) {
      if (stream.ResidualLength != 0) abort();  // a broken stream leaves nothing behind
    }
    if (stream.ResidualLength > static_cast<size_t>(QDVP_WIRE_MAX_MESSAGE)) abort();
  }
  QDVP_ResetDCHstream(&stream);
  return 0;
}
