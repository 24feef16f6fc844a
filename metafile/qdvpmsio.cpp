// Metafile input. Until the metafile reader is built, a validation run reports that no
// metafile name was given or that it cannot be processed.
#include "../include/qdvp.h"
#include "../include/qdvp_services.h"

extern "C" int QDVP_ValidateMetaFile(const char *name) {
  if (name == nullptr || name[0] == '\0') {
    QDVP_DisplayValidationMessage(22, nullptr);
    return -1;
  }
  QDVP_DisplayValidationMessage(88, nullptr);
  return 0;
}
