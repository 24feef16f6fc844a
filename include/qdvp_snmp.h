// SNMP version 1 and 2c messages for MIB collection: building a get, get-next or get-bulk
// request, sending it and waiting for its answer, checking the answer, and turning one
// variable binding into an attribute value. Any task may call these; each caller owns its buffers
// and socket. The adaptive response wait counters are process-wide, under one lock
// (snmp/qdvpssrp.cpp).
//
// Everything read here comes from the network and is hostile: every length is checked against
// the datagram before it is used, and a message that fails a check is refused with a trace.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "qdvp_model.h"

enum : int {
  QDVP_SNMP_GET = 0xA0,
  QDVP_SNMP_GETNEXT = 0xA1,
  QDVP_SNMP_RESPONSE = 0xA2,
  QDVP_SNMP_SET = 0xA3,
  QDVP_SNMP_TRAP = 0xA4,
  // Application types of SNMP values.
  QDVP_SNMP_IPADDRESS = 0x40,
  QDVP_SNMP_COUNTER = 0x41,
  QDVP_SNMP_GAUGE = 0x42,
  QDVP_SNMP_TIMETICKS = 0x43,
  QDVP_SNMP_OPAQUE = 0x44,
  QDVP_SNMP_COUNTER64 = 0x46,
  QDVP_SNMP_GETBULK = 0xA5,  // version 2c only
  // The exceptions a version 2c agent puts in place of a value.
  QDVP_SNMP_NOSUCHOBJECT = 0x80,
  QDVP_SNMP_NOSUCHINSTANCE = 0x81,
  QDVP_SNMP_ENDOFMIBVIEW = 0x82,
  QDVP_SNMP_MESSAGE_SIZE = 1600,  // the buffer of a set request and of the test agents
  QDVP_SNMP_PORT = 161,
  // The version field of a message.
  QDVP_SNMP_V1 = 0,
  QDVP_SNMP_V2C = 1,
};

// The largest answer a poll reads (QDVP_SNMP_MAX_MESSAGE_SIZE, 65535 by default, at least 484
// bytes): a longer datagram is refused whole, never read in part.
size_t QDVP_SNMPmaxMessageSize();

// The error-status texts, by error status 0 to 5.
extern const char *const SNMPerrorStatusText[6];

// Builds SEQUENCE { version 0, community, pduType { requestId, 0, 0, SEQUENCE OF { SEQUENCE {
// oid, value } } } } in buffer (cleared first): oid is a complete encoded OID field, value a
// complete encoded value field or null for NULL. Returns the message length, 0 when it does
// not fit.
size_t QDVP_SNMPconstructPDUbuffer(unsigned char *buffer, size_t bufferSize, int pduType,
                                   const unsigned char *oid, size_t oidLength,
                                   const unsigned char *value, size_t valueLength,
                                   int32_t requestId, const char *community);

// Sends the message (unless receiveOnly) to agent and waits for an answer from that address
// and port (5 s, 10 s when receiveOnly; answers from elsewhere are ignored and the wait goes
// on). Returns the bytes received, 0 on time-out (which may raise SendPDUwait), -1 when the
// send failed.
int QDVP_SNMPsendAndReceivePDU(int socket, unsigned char *buffer, size_t length, size_t bufferSize,
                               const struct sockaddr_in *agent, int receiveOnly);
// The wait of one answer, in milliseconds (-1: QDVP_SNMP_RESPONSE_WAIT seconds); tests only.
void TEST_QDVP_SetSNMPwaitMs(int normalMs, int receiveOnlyMs);
// The adaptive wait counters: SendPDUwait (seconds, 5 up to 25), sends and answers so far.
void QDVP_SNMPwaitCounters(int *sendPDUwait, int *sendCount, int *receiveCount);

// Checks an answer of length bytes to requestId: version 0, a get-response, the same request
// identifier, then error status and index (*errorStatus and *errorIndex). Returns the position
// of the variable-binding list, or 0 (also when the error status is not 0).
size_t QDVP_SNMPverifyResponsePDU(const unsigned char *buffer, size_t length, int32_t requestId,
                                  int *errorStatus, int *errorIndex, int version = QDVP_SNMP_V1);

// Builds a request of the given version into *out: one binding per OID text, each with a NULL
// value. For QDVP_SNMP_GETBULK the two fields after the request identifier are nonRepeaters and
// maxRepetitions, for the other PDUs 0. False when a text is no OID.
bool QDVP_SNMPbuildRequest(std::vector<unsigned char> *out, int version,
                           const std::string &community, int pdu, int32_t requestId,
                           const std::vector<std::string> &oids, int nonRepeaters = 0,
                           int maxRepetitions = 0);
// The request identifier of a message of any version and PDU, read as far as the message goes
// (the head of a datagram too long to read whole is enough); false when it has none.
bool QDVP_SNMPpeekRequestID(const unsigned char *buffer, size_t length, int32_t *requestId);
// One variable binding of an answer: its bytes (the whole SEQUENCE, which
// QDVP_SNMPloadAttributeFromBER reads at position 0), its OID in dotted form and its value's tag.
struct SNMPbinding {
  std::string Bytes;
  std::string OID;
  int Tag = 0;
};
// The bindings of the list at position (as QDVP_SNMPverifyResponsePDU returned it); false for a
// list that is malformed (what was read before stays in *bindings).
bool QDVP_SNMPreadBindings(const unsigned char *buffer, size_t length, size_t position,
                           std::vector<SNMPbinding> *bindings);

// Decodes the variable binding at position (a SEQUENCE of an OID and a value) into attr: its
// OID as dotted text into oid (oidSize bytes), its value by the value's type and the
// attribute's form (an 8-byte numeric attribute holds a Counter64 whole; a 4-byte one its low
// 32 bits; the version 2c exceptions store nothing). *next gets the position after the binding.
// Returns 1 when a value was stored, 0 otherwise (no value, a type that stores nothing, or a
// malformed binding, for which *next is 0).
int QDVP_SNMPloadAttributeFromBER(const unsigned char *buffer, size_t length, size_t position,
                                  AttrEntry *attr, char *oid, size_t oidSize, size_t *next);

// The community name file (product specification item 26) and the network name file (item
// 28), snmp/qdvpumcf.cpp. Each load reads its file anew and returns the number of entries, or
// -1 when the item is not set or the file does not exist (the list then stays as it was). The
// lookups return a new copy (QDV0_Free it), or null: a node's community (the first line read
// for it), a symbolic name's network address (completed to four parts), an address's
// symbolic name.
int QDVP_LoadSNMPcommunityName();
void QDVP_FreeSNMPcommunityNameList();
char *QDVP_LocateSNMPnodeCommunityName(const struct in_addr *address);
int QDVP_LoadSNMPNetworkName();
void QDVP_FreeSNMPNetworkNameList();
char *QDVP_LocateNetworkBySymbolicName(const char *name);
char *QDVP_LocateSNMPnetworkSymbolicName(const struct in_addr *address);

// The community of an agent with none of its own and none in the community file:
// QDVP_SNMP_NET_COMMUNITY, else "vesper".
std::string QDVP_SNMPdefaultCommunity();

// The managed node list (console LOADLIST, snmp/qdvpumcf.cpp): loads the named file, one node
// a line; returns the nodes loaded, -1 when the file cannot be read (the list then stays).
int QDVP_LoadSNMPManagedNodeList(DPAB *anchor, const char *fileName);

// After a LOADCOMM: the agents being polled without a community of their own take the
// reloaded file's community for their address (snmp/qdvpsmmt.cpp).
void QDVP_UpdateMonitorNodeCommunity(DPAB *anchor);

// The task of an SNMP worker (snmp/qdvpswkt.cpp), made by the automation server for SNMP take
// actions in an SNMP data provider: SNMPSTARTGET (answered at once, then the table is polled on
// this task until the collection stops) and SNMPSTOPGET.
void QDVP_SNMPWorkerTask(ProcessEntry *);

// Take actions on the SNMP world (snmp/qdvpscmd.cpp): an action of type SNMP named "SNMP
// Control" is rewritten into SNMPSET, SNMPSTARTGET, SNMPSTOPGET or SNMPMANAGE; returns 1 when
// the action is an SNMP action (the internal names count as well), 0 otherwise. A request the
// translation refuses keeps its name and fails on the SNMP worker with its syntax error.
int QDVP_CheckSNMPtakeAction(DPAB *anchor, ActionEntry *entry);
// Network management requests (SNMPMANAGE): the network joins or leaves the managed networks;
// returns 22 when monitoring was scheduled, 23 when it was stopped.
int QDVP_EnqueueNetManageToServer(DPAB *anchor, const char *network, int pollSeconds,
                                  const char *option);
// One SNMP set request of an SNMPSET action (snmp/qdvpsset.cpp), for the attribute the
// parameter's APPLNAME= and ATTR= name; leaves the status and result in the entry.
void QDVP_DoSNMPsetRequest(ActionEntry *entry, AttrEntry *attribute);

// Traps (snmp/qdvpemit.cpp). The enterprise prefix E is 1.3.6.1.4.1 and the private enterprise
// number of QDVP_TRAP_ENTERPRISE_NUMBER (32473 by default).
std::string QDVP_TrapEnterprisePrefix();
extern const char *const TrapSeverityName[6];
extern const char *const TrapCategoryName[10];
// Sends the trap of a TRAPEMIT action to its DEST( destinations or the default ones.
void QDVP_EmitSNMPtrap(DPAB *anchor, ActionEntry *entry);

// The MIB interest file and the MIBSTATUS rows (snmp/qdvpmibi.cpp). The rewrite writes one
// record per running collection (and keeps the records of MIBs not loaded now, unless their
// application was deleted); the auto start dispatches each record, or only those of one
// application, as an SNMPSTARTGET owned by SNMPAUTOINIT.
void InitializeMIBinterestFiles();
void QDVP_UpdateMIBinterestExt(DPAB *anchor);
void QDVP_DoAutoStartMIBmonitorTasks(DPAB *anchor, const char *applicationName);
ActionEntry *QDVP_AllocateAutoStartActionEntry(DPAB *anchor);
// The operator deleted the application: its records leave the file at the next rewrite.
void QDVP_MIBinterestApplicationDeleted(const char *applicationName);
void QDVP_MIBinterestApplicationLoaded(const char *applicationName);
// The MIB interest file's names: active, backup (last character X) and new (N).
void QDVP_MIBinterestFileNames(std::string *active, std::string *backup, std::string *fresh);
