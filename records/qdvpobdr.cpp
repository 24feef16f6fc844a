// Batch output and the batch log. Until batch output is built the batch log is never open.
#include "../include/qdvp_services.h"

extern "C" void QDVP_CloseBatchLog(void) {}
