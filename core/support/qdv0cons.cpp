// The operator message console: one line on standard error per message, with its category
// and severity, so that an operator watching the data provider's terminal or its service log
// sees action results and warnings.
#include <stdio.h>

#include "qdv0.h"

void QDV0_OQconsoleMessage(const char *category, int severity, const char *text) {
  static OSV1_LOCK lines = OSV1_LOCK_INITIALIZER;
  OSV1_Guard hold(&lines);
  fprintf(stderr, "QDVP %s %s: %s\n", category ? category : "GENERAL",
          severity == QDV0_OQ_WARNING ? "WARNING" : "INFO", text ? text : "");
  fflush(stderr);
}
