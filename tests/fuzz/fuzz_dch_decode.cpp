// libFuzzer target for the agent peer's message decoding: any byte stream, cut into reads at
// places the input chooses, goes through reassembly, and every complete message through the
// decoder and the JSON conversion (a data request also through the decoder in place, which must
// agree); the attribute descriptions parser gets the raw bytes too.
// Nothing may crash, read out of bounds, or throw.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "include/qdvp_wire.h"
#include "tools/dch/dchdecode.h"
#include "tools/dch/dchframe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the read size, so that messages are split and joined in many ways.
  size_t chunk = 1 + data[0] % 64;
  data++;
  size--;

  std::vector<std::string> problems;
  qdvp_dch::DchParseAttributeDescriptions(std::string(reinterpret_cast<const char *>(data), size),
                                          &problems);

  qdvp_dch::DchMessage whole;
  qdvp_dch::DchDecodeMessage(data, size, &whole);
  qdvp_dch::DchJsonText(qdvp_dch::DchMessageToJson(whole));

  qdvp_dch::DchReassembler reassembler(QDVP_WIRE_MAX_MESSAGE);
  std::string problem;
  for (size_t at = 0; at < size; at += chunk) {
    size_t n = size - at < chunk ? size - at : chunk;
    int status = reassembler.Feed(
        data + at, n,
        [](const unsigned char *message, size_t length) {
          qdvp_dch::DchMessage m;
          qdvp_dch::DchDecodeMessage(message, length, &m);
          qdvp_dch::DchJsonText(qdvp_dch::DchMessageToJson(m));
          // The rows table's text is the JSON library's, however the row was written.
          if (qdvp_dch::DchRowAttrsText(m) !=
              qdvp_dch::DchJsonText(qdvp_dch::DchRowAttrsToJson(m))) {
            abort();
          }
          // A row decoded in place is the row the full decoder gives, without a remark.
          qdvp_dch::DchRowView row;
          if (qdvp_dch::DchDecodeRow(message, length, &row)) {
            std::string text;
            qdvp_dch::DchRowAttrsText(row.attributes, &text);
            if (!m.problems.empty() || !m.unknown.empty() || m.handle != row.handle ||
                m.dataSequence != row.dataSequence || m.rowStream != row.rowStream ||
                m.rowNumber != row.rowNumber || text != qdvp_dch::DchRowAttrsText(m)) {
              abort();
            }
          }
          return true;
        },
        &problem);
    if (status != qdvp_dch::kFrameOk) break;
  }
  return 0;
}
