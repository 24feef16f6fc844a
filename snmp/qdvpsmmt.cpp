// SNMP data collection hooks used while an SNMP metafile is loaded. The MIB collection itself
// comes with the SNMP subsystem; until then an SNMP table gets no extra key attributes and
// bringing an application online has nothing to start.
#include "../include/qdvp_model.h"

int QDVP_CheckSNMPtabularKey(TableEntry *) { return 0; }

void QDVP_SNMPapplOnline(DPAB *, ApplEntry *) {}
