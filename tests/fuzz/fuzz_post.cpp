// libFuzzer target for a posted message as the POST server makes it into a row of the
// built-in posting table: any bytes, with or without ';', NULs, far beyond every attribute.
// The stamp is always 26 characters.
#include <arpa/inet.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "include/qdvp_core.h"
#include "include/qdvp_sockets.h"

namespace {
DPAB *g_anchor = nullptr;
SourceEntry *g_source = nullptr;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (g_anchor == nullptr) {
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    g_anchor = QDVP_StartupInitialization();
    ApplEntry *appl = g_anchor ? QDVP_DefineDPpostApplication(g_anchor) : nullptr;
    g_source = appl && appl->pTableList ? appl->pTableList->pSourceList : nullptr;
    if (g_source == nullptr) abort();
  }
  struct sockaddr_in sender {};
  sender.sin_family = AF_INET;
  sender.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string stamp = QDVP_FillPostRow(g_source, &sender, reinterpret_cast<const char *>(data),
                                       static_cast<int>(size > 4096 ? 4096 : size));
  if (stamp.size() != 26) abort();
  return 0;
}
