// The operator message console: one line on standard error per message, with its category
// and severity (and the syslog priority of the severity), so that an operator watching the data
// provider's terminal or its service log sees action results and warnings.
#include "qdv0.h"
#include "qdv0chck.h"

// The line carries the syslog priority of its severity, like every operator line.
void QDV0_OQconsoleMessage(const char *category, int severity, const char *text) {
  bool warning = severity == QDV0_OQ_WARNING;
  QDV0_OperatorLine(warning ? QDV0_PRIORITY_WARNING : QDV0_PRIORITY_INFO, "QDVP %s %s: %s",
                    category ? category : "GENERAL", warning ? "WARNING" : "INFO",
                    text ? text : "");
}
