// SNMP data collection hooks used while an SNMP metafile is loaded. The MIB collection itself
// comes with the SNMP subsystem; until then an SNMP table gets no extra key attributes and
// bringing an application online has nothing to start.
#include "../include/qdvp_model.h"

extern "C" int QDVP_CheckSNMPtabularKey(TableEntry *) { return 0; }

extern "C" void QDVP_SNMPapplOnline(DPAB *, ApplEntry *) {}
