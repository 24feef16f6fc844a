// SNMP trap destinations. Until trap emission is built there are none.
#include "../include/qdvp_services.h"

TrapDest *QDVP_ConstructTrapDestinationArray(const char *, int *count) {
  if (count) *count = 0;
  return nullptr;
}

void QDVP_ReleaseTrapDestinationArray(TrapDest *) {}

