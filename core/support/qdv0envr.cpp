// Environment variables and the product specification: named items read from the file that
// QDVP_PRODUCT_SPEC names, over built-in defaults.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "qdv0.h"
#include "qdv0chck.h"
#include "trk1.h"

static TRK1_BLOCK trk = {"qdv0envr"};

namespace {
const char *const ItemName[QDV0_ITEM_COUNT] = {
    "",
    "PRODUCT_CODE",
    "NODE_TYPE",
    "PRODUCT_NAME",
    "AGENT_AFF_NAME",
    "",
    "SUBNODE_AFF_NAME",
    "",
    "SUBNODE_AFF_FEAT",
    "REGISTER_OMNIVAR",
    "ENABLE_SNMP_TRAP",
    "ENABLE_SNMP_DISCOVERY",
    "ENABLE_SNMP_MIBSTATUS",
    "ENABLE_CORVIDAGENT_DISCOVERY",
    "ENABLE_DISCOVERY_DATA_UPDATE",
    "ENABLE_DPLOG",
    "ENABLE_METAFILE_COMMANDS",
    "MANAGED_NETWORK_MS",
    "DP_TO_START",
    "METAFILES_TO_LOAD",
    "SNMP_HOTLIST_TO_LOAD",
    "SNMP_HOTLIST_TABLENAME",
    "DCH_PORT_NUMBER",
    "DP_PORT_OFFSET",
    "INITCNFG_FILE_NAME",
    "TRAPCNFG_FILE_NAME",
    "SNMPCOMM_FILE_NAME",
    "SNMPLIST_FILE_NAME",
    "SNMPNAME_FILE_NAME",
    "SNMPNETS_FILE_NAME",
    "SNMPROUT_FILE_NAME",
    "SNMPMIBI_FILE_NAME",
    "QDVATBLS_FILE_NAME",
    "QDVPURLS_FILE_NAME",
};

struct Default {
  int item;
  const char *value;
};
const Default Defaults[] = {
    {1, "DV"},
    {3, "Universal Data Provider"},
    {15, "Y"},
    {16, "Y"},
    {22, "7900"},
    {23, "0"},
    {24, "qdvpinit.cfg"},
    {25, "qdvptrap.cfg"},
    {26, "qdvpcomm.cfg"},
    {27, "qdvplist.cfg"},
    {28, "qdvpname.cfg"},
    {29, "qdvpnets.cfg"},
    {30, "qdvprout.cfg"},
    {31, "qdvpmibi.cfg"},
    {32, "qdvatbls.cfg"},
    {33, "qdvpurls.cfg"},
};

OSV1_LOCK g_specMutex = OSV1_LOCK_INITIALIZER;
bool g_loaded QDVP_GUARDED_BY(g_specMutex) = false;
// Item texts; an empty text means the item is absent. Written only under g_specMutex before
// g_loaded is set, and only read afterwards.
std::string g_items[QDV0_ITEM_COUNT] QDVP_GUARDED_BY(g_specMutex);
int g_startMode = 0;

std::string Trim(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && isspace(static_cast<unsigned char>(s[b]))) b++;
  while (e > b && isspace(static_cast<unsigned char>(s[e - 1]))) e--;
  return s.substr(b, e - b);
}

// Reads NAME=value lines; returns false when the file cannot be opened or a value breaks its
// item's rule (each bad value is reported to the operator).
bool LoadFile(const char *path) QDVP_REQUIRES(g_specMutex) {
  FILE *f = QDV0_OpenRegularFile(path);
  if (f == nullptr) {
    QDV0_OperatorLine(QDV0_PRIORITY_ERROR,
                      "qdvp: the product specification %s (QDVP_PRODUCT_SPEC) cannot be read: %s",
                      path, strerror(errno));
    return false;
  }
  bool good = true;
  char line[1024];
  int number = 0;
  while (fgets(line, sizeof(line), f) != nullptr) {
    number++;
    std::string text = Trim(line);
    if (text.empty() || text[0] == '#') continue;
    size_t eq = text.find('=');
    int item = -1;
    if (eq != std::string::npos) {
      std::string name = Trim(text.substr(0, eq));
      item = QDV0_ProductSpecItemNumber(name.c_str());
    }
    if (item < 0) {
      QDV0_OperatorLine(QDV0_PRIORITY_WARNING,
                        "qdvp: product specification %s line %d ignored: %s (no such item)", path,
                        number, text.c_str());
      QDVP_TRC(trk, TRK1_ERROR, "Product specification %s line %d ignored: %s", path, number,
               text.c_str());
      continue;
    }
    std::string value = Trim(text.substr(eq + 1));
    std::string problem;
    if (!QDV0_CheckProductSpecItem(ItemName[item], value.c_str(), &problem)) {
      QDV0_OperatorLine(QDV0_PRIORITY_ERROR, "qdvp: product specification %s line %d: %s", path,
                        number, problem.c_str());
      good = false;
    }
    // A flag follows the rule of every flag here: set when its value begins with Y or y. One
    // that is not set is stored absent, so a query (non-null for set) reads it the same way.
    if (strncmp(ItemName[item], "ENABLE_", 7) == 0 && !QDV0_IsFlagSet(value.c_str())) {
      value.clear();
    }
    g_items[item] = value;
  }
  fclose(f);
  return good;
}
}  // namespace

const char *QDV0_GetEnv(const char *name, const char *defaultValue) {
  const char *value = getenv(name);
  if (value == nullptr || value[0] == '\0') return defaultValue;
  return value;
}

int QDV0_IsFlagSet(const char *value) { return value && (value[0] == 'Y' || value[0] == 'y'); }

int QDV0_ProductSpecItemNumber(const char *name) {
  if (name == nullptr || name[0] == '\0') return -1;
  bool digits = true;
  for (const char *p = name; *p; p++) digits = digits && isdigit(static_cast<unsigned char>(*p));
  if (digits) {
    int n = atoi(name);
    return n >= 0 && n < QDV0_ITEM_COUNT ? n : -1;
  }
  for (int i = 0; i < QDV0_ITEM_COUNT; i++) {
    if (ItemName[i][0] != '\0' && strcasecmp(name, ItemName[i]) == 0) return i;
  }
  return -1;
}

int QDV0_InitializeProductSpec(void) {
  OSV1_Guard lock(&g_specMutex);
  if (g_loaded) return 1;
  for (auto &item : g_items) item.clear();
  for (const Default &d : Defaults) g_items[d.item] = d.value;
  const char *path = QDV0_GetEnv("QDVP_PRODUCT_SPEC", nullptr);
  if (path != nullptr && !LoadFile(path)) {
    QDVP_TRC(trk, TRK1_ERROR, "Product specification %s cannot be read or has bad values", path);
    return 0;
  }
  g_loaded = true;
  return 1;
}

const char *QDV0_QueryProductSpec(int item) {
  if (item < 0 || item >= QDV0_ITEM_COUNT) return nullptr;
  OSV1_Guard lock(&g_specMutex);
  if (!g_loaded || g_items[item].empty()) return nullptr;
  return g_items[item].c_str();
}

void QDV0_ResetProductSpec(void) {
  OSV1_Guard lock(&g_specMutex);
  g_loaded = false;
}

void QDV0_SetDPstartMode(int flag) { g_startMode = flag; }
int QDV0_GetDPstartMode(void) { return g_startMode; }
