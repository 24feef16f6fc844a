// Storage service: zero-filled blocks with a registry of live blocks, so that lists walked by
// several tasks can check a pointer before following it, and a fault switch for tests.
#include <stdlib.h>
#include <string.h>

#include <unordered_map>

#include "qdv0.h"

namespace {
// Guards the registry and the injected failures; nothing is taken under it.
OSV1_LOCK g_registryLock = OSV1_LOCK_INITIALIZER;
std::unordered_map<const void *, size_t> *g_live QDVP_GUARDED_BY(g_registryLock) = nullptr;
std::unordered_map<const void *, size_t> &Registry() QDVP_REQUIRES(g_registryLock) {
  if (g_live == nullptr) g_live = new std::unordered_map<const void *, size_t>();
  return *g_live;
}
// Allocations left before the injected failures begin, and how many then fail.
long g_successesLeft QDVP_GUARDED_BY(g_registryLock) = -1;
long g_failuresLeft QDVP_GUARDED_BY(g_registryLock) = 0;
}  // namespace

void *QDV0_GetStorage(size_t length) {
  OSV1_Guard lock(&g_registryLock);
  if (g_successesLeft == 0 && g_failuresLeft > 0) {
    g_failuresLeft--;
    if (g_failuresLeft == 0) g_successesLeft = -1;
    return nullptr;
  }
  if (g_successesLeft > 0) g_successesLeft--;
  void *block = calloc(1, length ? length : 1);
  if (block != nullptr) Registry()[block] = length;
  return block;
}

void QDV0_FreeStorage(void *pointer) {
  void **holder = static_cast<void **>(pointer);
  if (holder == nullptr || *holder == nullptr) return;
  {
    OSV1_Guard lock(&g_registryLock);
    Registry().erase(*holder);
  }
  free(*holder);
  *holder = nullptr;
}

int QDV0_IsValidBlockPointer(const void *block, size_t length) {
  if (block == nullptr) return 0;
  OSV1_Guard lock(&g_registryLock);
  auto it = Registry().find(block);
  return it != Registry().end() && it->second == length;
}

char *QDV0_StrDup(const char *text) {
  if (text == nullptr) return nullptr;
  size_t n = strlen(text);
  char *copy = static_cast<char *>(QDV0_GetStorage(n + 1));
  if (copy != nullptr) memcpy(copy, text, n);
  return copy;
}

size_t QDV0_LiveBlockCount(void) {
  OSV1_Guard lock(&g_registryLock);
  return Registry().size();
}

void QDV0_FailStorageAfter(long successes, long failures) {
  OSV1_Guard lock(&g_registryLock);
  g_successesLeft = failures > 0 ? successes : -1;
  g_failuresLeft = failures;
}
