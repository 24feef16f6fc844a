// The registration message of a metafile's application, as an exported service. It needs the
// metafile reader and the message builders; until they exist it builds nothing.
#include "../include/qdvp.h"

extern "C" int QDVP_ConstructDPregisterBuffer(const char *, unsigned char **message) {
  if (message) *message = nullptr;
  return 0;
}
