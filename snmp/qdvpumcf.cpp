// The community name file and the network name file: which community each agent node expects,
// and which symbolic names stand for which networks. Each is loaded at its first use (the
// first lookup of a data provider that has not loaded it loads it) and again on the console's
// LOADCOMM or LOADNAME; a file that is missing leaves the list as it was, so a mistyped reload
// does not make every agent answer nothing. A community file line may carry a third word,
// "v2c", that has the node polled with SNMP version 2c by every start that does not name a
// version of its own.
//
// The community list is kept in ascending address order (host byte order), a later line for
// the same node after the earlier ones, so that a lookup stops at the first higher address and
// the first line read for a node wins. Each list has one lock; lookups hand out copies. Loads
// of a file are serialised by its load lock, taken before (never inside) the list lock, so
// that two first uses at once read the file once.
#include <arpa/inet.h>
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_snmp.h"
#include "qdvpsnmp.h"

static TRK1_BLOCK trk = {"qdvpumcf"};

namespace {

struct NodeCommunity {
  NodeCommunity *pNext, *pPrev;
  uint32_t Address;  // host byte order
  char *pCommunity;
  int Version;  // QDVP_SNMP_V1, or QDVP_SNMP_V2C when the line's third word says so
};

struct NetworkName {
  NetworkName *pNext;
  char *pAddress;  // completed to four parts
  char *pName;
  uint32_t Binary;  // host byte order
};

OSV1_LOCK sCommunityLock QDVP_ACQUIRED_AFTER(DPAB::StateMutex) = OSV1_LOCK_INITIALIZER;
NodeCommunity *sCommunities QDVP_GUARDED_BY(sCommunityLock) = nullptr;
OSV1_LOCK sNetworkLock QDVP_ACQUIRED_AFTER(DPAB::StateMutex) = OSV1_LOCK_INITIALIZER;
NetworkName *sNetworks QDVP_GUARDED_BY(sNetworkLock) = nullptr;
// Held for a whole load of the file; the flag says a load (or its attempt) has happened.
OSV1_LOCK sCommunityLoadLock QDVP_ACQUIRED_BEFORE(sCommunityLock) = OSV1_LOCK_INITIALIZER;
std::atomic<bool> sCommunitiesLoaded{false};
OSV1_LOCK sNetworkLoadLock QDVP_ACQUIRED_BEFORE(sNetworkLock) = OSV1_LOCK_INITIALIZER;
std::atomic<bool> sNetworksLoaded{false};

// The file of a product specification item, in the default directory unless it names one.
std::string FileOfItem(int item) {
  const char *name = QDV0_QueryProductSpec(item);
  if (name == nullptr || name[0] == '\0') return std::string();
  char *full = QDV0_QualifyFileName(nullptr, name);
  std::string text = full != nullptr ? full : name;
  QDV0_Free(full);
  return text;
}

// The first two words of a line (its end removed, leading blanks skipped), and the third in
// *third when asked for ("" without one); false without a second word.
bool TwoWords(char *line, char **first, char **second, char **third = nullptr) {
  QDV0_RemoveCRandLF(line);
  char *p = line;
  while (*p == ' ' || *p == '\t') p++;
  *first = p;
  while (*p && *p != ' ' && *p != '\t') p++;
  if (*p == '\0') return false;
  *p++ = '\0';
  while (*p == ' ' || *p == '\t') p++;
  if (*p == '\0') return false;
  *second = p;
  while (*p && *p != ' ' && *p != '\t') p++;
  bool more = *p != '\0';
  *p = '\0';
  if (third == nullptr) return true;
  *third = p;
  if (!more) return true;
  p++;
  while (*p == ' ' || *p == '\t') p++;
  *third = p;
  while (*p && *p != ' ' && *p != '\t') p++;
  *p = '\0';
  return true;
}

void FreeCommunities(NodeCommunity *list) {
  while (list != nullptr) {
    NodeCommunity *next = list->pNext;
    QDV0_Free(list->pCommunity);
    QDV0_Free(list);
    list = next;
  }
}

void FreeNetworks(NetworkName *list) {
  while (list != nullptr) {
    NetworkName *next = list->pNext;
    QDV0_Free(list->pAddress);
    QDV0_Free(list->pName);
    QDV0_Free(list);
    list = next;
  }
}

// Inserts after every entry whose address is not higher, keeping the order of equal ones.
void Insert(NodeCommunity **head, NodeCommunity *entry) {
  NodeCommunity *prev = nullptr, *at = *head;
  while (at != nullptr && at->Address <= entry->Address) prev = at, at = at->pNext;
  entry->pPrev = prev;
  entry->pNext = at;
  if (at != nullptr) at->pPrev = entry;
  if (prev != nullptr) {
    prev->pNext = entry;
  } else {
    *head = entry;
  }
}

// A dotted decimal address of one to four parts, completed with zero parts; false otherwise.
bool CompleteNetworkAddress(const char *text, std::string *full, uint32_t *binary) {
  int parts = 1;
  for (const char *c = text; *c; c++) {
    if (*c == '.') {
      parts++;
    } else if (!isdigit(static_cast<unsigned char>(*c))) {
      return false;
    }
  }
  if (parts > 4 || text[0] == '\0' || text[0] == '.' || text[strlen(text) - 1] == '.') return false;
  *full = text;
  for (int i = parts; i < 4; i++) *full += ".0";
  in_addr a;
  if (inet_pton(AF_INET, full->c_str(), &a) != 1) return false;
  *binary = ntohl(a.s_addr);
  return true;
}

int LoadCommunities() QDVP_REQUIRES(sCommunityLoadLock) {
  sCommunitiesLoaded.store(true);
  std::string file = FileOfItem(26);
  if (file.empty()) {
    QDVP_TRC(trk, TRK1_DETAIL,
             "Node community file name not defined. Load community name bypassed");
    return -1;
  }
  FILE *in = QDV0_OpenRegularFile(file.c_str());
  if (in == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "Warning: Community file %s does not exist", file.c_str());
    return -1;
  }
  NodeCommunity *list = nullptr;
  int count = 0;
  char line[1025];
  while (fgets(line, sizeof(line), in) != nullptr) {
    if (line[0] == '*') continue;
    char *node, *community, *version;
    if (!TwoWords(line, &node, &community, &version)) continue;
    // An optional third word opts the node into version 2c; any other word is the rest of the
    // line, ignored as it always was.
    int v = version[0] != '\0' ? QDVP_SNMPversionWord(version) : QDVP_SNMP_V1;
    sockaddr_in address{};
    if (QDV0_ConvertNameToAddr(node, QDVP_SNMP_PORT, &address) != 0) {
      QDVP_TRC(trk, TRK1_ERROR, "Node %s cannot be resolved to address, ignored", node);
      continue;
    }
    auto *entry = QDV0_New<NodeCommunity>();
    if (entry == nullptr) break;
    entry->Address = ntohl(address.sin_addr.s_addr);
    entry->pCommunity = QDV0_StrDup(community);
    entry->Version = v == QDVP_SNMP_V2C ? QDVP_SNMP_V2C : QDVP_SNMP_V1;
    Insert(&list, entry);
    count++;
  }
  fclose(in);
  NodeCommunity *old;
  {
    OSV1_Guard hold(&sCommunityLock);
    old = sCommunities;
    sCommunities = list;
  }
  FreeCommunities(old);
  QDVP_TRC(trk, TRK1_DETAIL, "%d community name records processed", count);
  return count;
}

int LoadNetworks() QDVP_REQUIRES(sNetworkLoadLock);

// The first lookup of a list that was never loaded loads its file.
void CommunitiesAtFirstUse() {
  if (sCommunitiesLoaded.load()) return;
  OSV1_Guard load(&sCommunityLoadLock);
  if (!sCommunitiesLoaded.load()) LoadCommunities();
}

void NetworksAtFirstUse() {
  if (sNetworksLoaded.load()) return;
  OSV1_Guard load(&sNetworkLoadLock);
  if (!sNetworksLoaded.load()) LoadNetworks();
}

}  // namespace

int QDVP_LoadSNMPcommunityName() {
  OSV1_Guard load(&sCommunityLoadLock);
  return LoadCommunities();
}

void QDVP_FreeSNMPcommunityNameList() {
  NodeCommunity *old;
  {
    OSV1_Guard hold(&sCommunityLock);
    old = sCommunities;
    sCommunities = nullptr;
  }
  FreeCommunities(old);
}

char *QDVP_LocateSNMPnodeCommunityName(const struct in_addr *address) {
  CommunitiesAtFirstUse();
  uint32_t wanted = ntohl(address->s_addr);
  OSV1_Guard hold(&sCommunityLock);
  for (NodeCommunity *e = sCommunities; e != nullptr && e->Address <= wanted; e = e->pNext) {
    if (e->Address == wanted) return QDV0_StrDup(e->pCommunity);
  }
  return nullptr;
}

int QDVP_LoadSNMPNetworkName() {
  OSV1_Guard load(&sNetworkLoadLock);
  return LoadNetworks();
}

namespace {
int LoadNetworks() {
  sNetworksLoaded.store(true);
  std::string file = FileOfItem(28);
  if (file.empty()) {
    QDVP_TRC(trk, TRK1_DETAIL, "Network symbolic file name not defined");
    return -1;
  }
  FILE *in = QDV0_OpenRegularFile(file.c_str());
  if (in == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "Network symbolic name file %s does not exit", file.c_str());
    return -1;
  }
  NetworkName *list = nullptr, **tail = &list;
  int count = 0, record = 0;
  char line[1025];
  while (fgets(line, sizeof(line), in) != nullptr) {
    QDVP_TRC(trk, TRK1_DETAIL, "Network Name Rec %d ->%s", ++record, line);
    char *address, *name;
    if (line[0] == '*' || !TwoWords(line, &address, &name)) continue;
    std::string full;
    uint32_t binary = 0;
    if (!CompleteNetworkAddress(address, &full, &binary)) {
      QDVP_TRC(trk, TRK1_ERROR, "***** input is not an ip address, ignored");
      continue;
    }
    auto *entry = QDV0_New<NetworkName>();
    if (entry == nullptr) break;
    entry->pAddress = QDV0_StrDup(full.c_str());
    entry->pName = QDV0_StrDup(name);
    entry->Binary = binary;
    *tail = entry;
    tail = &entry->pNext;
    count++;
  }
  fclose(in);
  NetworkName *old;
  {
    OSV1_Guard hold(&sNetworkLock);
    old = sNetworks;
    sNetworks = list;
  }
  FreeNetworks(old);
  QDVP_TRC(trk, TRK1_DETAIL, "%d network symbolic name records processed", count);
  return count;
}
}  // namespace

void QDVP_FreeSNMPNetworkNameList() {
  NetworkName *old;
  {
    OSV1_Guard hold(&sNetworkLock);
    old = sNetworks;
    sNetworks = nullptr;
  }
  FreeNetworks(old);
}

char *QDVP_LocateNetworkBySymbolicName(const char *name) {
  if (name == nullptr) return nullptr;
  NetworksAtFirstUse();
  OSV1_Guard hold(&sNetworkLock);
  for (NetworkName *e = sNetworks; e != nullptr; e = e->pNext) {
    if (strcmp(e->pName, name) == 0) return QDV0_StrDup(e->pAddress);
  }
  return nullptr;
}

char *QDVP_LocateSNMPnetworkSymbolicName(const struct in_addr *address) {
  NetworksAtFirstUse();
  uint32_t wanted = ntohl(address->s_addr);
  OSV1_Guard hold(&sNetworkLock);
  for (NetworkName *e = sNetworks; e != nullptr; e = e->pNext) {
    if (e->Binary == wanted) return QDV0_StrDup(e->pName);
  }
  return nullptr;
}

// The managed node list: the nodes known in each network, for agent lists that name a network.
// The file (the LOADLIST operand, in the default directory unless it names one) has one node a
// line, a host name or dotted address as its first word; "*" starts a comment. A load replaces
// the list; a file that cannot be read keeps it.
namespace {

OSV1_LOCK sNodeListLock QDVP_ACQUIRED_AFTER(DPAB::StateMutex) = OSV1_LOCK_INITIALIZER;  // a leaf
std::vector<uint32_t> sManagedNodes QDVP_GUARDED_BY(sNodeListLock);  // host order, ascending

// The network mask of an address's class (A, B, C).
uint32_t ClassMask(uint32_t address) {
  if ((address >> 31) == 0) return 0xff000000u;
  if ((address >> 30) == 2) return 0xffff0000u;
  return 0xffffff00u;
}

}  // namespace

int QDVP_LoadSNMPManagedNodeList(DPAB *, const char *fileName) {
  if (fileName == nullptr || fileName[0] == '\0') return -1;
  char *full = QDV0_QualifyFileName(nullptr, fileName);
  std::string path = full != nullptr ? full : fileName;
  QDV0_Free(full);
  FILE *file = QDV0_OpenRegularFile(path.c_str());
  if (file == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Managed node list <%s> cannot be opened", path.c_str());
    return -1;
  }
  std::vector<uint32_t> nodes;
  char line[512];
  while (fgets(line, sizeof(line), file) != nullptr) {
    QDV0_RemoveCRandLF(line);
    char *word = line;
    while (*word == ' ' || *word == '\t') word++;
    if (*word == '*' || *word == '\0') continue;
    char *end = word;
    while (*end && *end != ' ' && *end != '\t') end++;
    *end = '\0';
    sockaddr_in address;
    if (QDV0_ConvertNameToAddr(word, QDVP_SNMP_PORT, &address) != 0) {
      QDVP_TRC(trk, TRK1_ERROR, "*****Managed node <%s> unresolved, ignored", word);
      continue;
    }
    nodes.push_back(ntohl(address.sin_addr.s_addr));
  }
  fclose(file);
  std::sort(nodes.begin(), nodes.end());
  nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
  OSV1_Guard list(&sNodeListLock);
  sManagedNodes = nodes;
  QDVP_TRC(trk, TRK1_DETAIL, "Managed node list <%s> loaded: %d nodes", path.c_str(),
           static_cast<int>(nodes.size()));
  return static_cast<int>(nodes.size());
}

int QDVP_ConstructNetworkNodeList(const struct in_addr *network, std::vector<in_addr> *nodes) {
  uint32_t net = ntohl(network->s_addr), mask = ClassMask(net);
  {
    OSV1_Guard list(&sNodeListLock);
    for (uint32_t node : sManagedNodes) {
      if ((node & mask) != (net & mask)) continue;
      in_addr a;
      a.s_addr = htonl(node);
      nodes->push_back(a);
    }
  }
  if (!nodes->empty()) return static_cast<int>(nodes->size());
  if (mask != 0xffffff00u) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>>Input address undiscovered network and not class C. Bypassed");
    return 0;
  }
  // An undiscovered class C network: each of its 254 host addresses.
  for (uint32_t host = 1; host < 255; host++) {
    in_addr a;
    a.s_addr = htonl((net & mask) | host);
    nodes->push_back(a);
  }
  return static_cast<int>(nodes->size());
}

std::string QDVP_SNMPdefaultCommunity() {
  const char *c = QDV0_GetEnv("QDVP_SNMP_NET_COMMUNITY", nullptr);
  return c != nullptr && c[0] ? c : "vesper";
}

int QDVP_SNMPnodeVersion(const struct in_addr &address) {
  CommunitiesAtFirstUse();
  uint32_t wanted = ntohl(address.s_addr);
  OSV1_Guard hold(&sCommunityLock);
  for (NodeCommunity *e = sCommunities; e != nullptr && e->Address <= wanted; e = e->pNext) {
    if (e->Address == wanted) return e->Version;
  }
  return QDVP_SNMP_V1;
}

int QDVP_SNMPversionWord(const std::string &word) {
  std::string w;
  for (char c : word) w += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (w == "v1" || w == "1") return QDVP_SNMP_V1;
  if (w == "v2c" || w == "2c" || w == "2") return QDVP_SNMP_V2C;
  return -1;
}

std::string QDVP_SNMPnodeCommunity(const struct in_addr &address) {
  char *filed = QDVP_LocateSNMPnodeCommunityName(&address);
  std::string community = filed != nullptr ? filed : QDVP_SNMPdefaultCommunity();
  QDV0_Free(filed);
  return community;
}

bool QDVP_SNMPhostPort(const std::string &name, int defaultPort, std::string *host, int *port) {
  size_t colon = name.rfind(':');
  *host = name.substr(0, colon);
  *port = defaultPort;
  if (colon == std::string::npos) return true;
  *port = atoi(name.c_str() + colon + 1);
  return *port > 0 && *port <= 65535;
}
