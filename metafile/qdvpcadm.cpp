// The metafile statement language. Until it is built, only the attribute limit per group is
// set up at start-up.
#include <stdlib.h>

#include "../core/support/qdv0.h"
#include "../include/qdvp_services.h"

extern "C" int QDVP_DetermineMaxAttributesPerGroup(void) {
  const char *text = QDV0_GetEnv("WTB_MAXCOLS", nullptr);
  int n = text ? atoi(text) : 0;
  return n > 0 ? n : 100;
}
