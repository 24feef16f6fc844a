// Data provider log messages. Sending a numbered message to the log server task (its text
// table, inserts and the DPLOG rows) comes with the data provider log; until then a message
// is only traced by its number so that callers already report their events in place.
#include <stdarg.h>

#include "../core/support/trk1.h"
#include "../include/qdvp_model.h"

static TRK1_BLOCK trk = {"qdvplmsg"};

extern "C" void QDVP_SendDPlogMessage(DPAB *, int number, ...) {
  QDVP_TRC(trk, TRK1_DETAIL, "DP log message %d", number);
}
