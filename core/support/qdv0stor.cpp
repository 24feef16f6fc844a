// Storage service: zero-filled blocks with a registry of live blocks, so that lists walked by
// several tasks can check a pointer before following it, and a fault switch for tests.
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <unordered_map>

#include "qdv0.h"

namespace {
std::mutex &RegistryMutex() {
  static std::mutex m;
  return m;
}
std::unordered_map<const void *, size_t> &Registry() {
  static auto *live = new std::unordered_map<const void *, size_t>();
  return *live;
}
// Allocations left before the injected failures begin, and how many then fail.
long g_successesLeft = -1;
long g_failuresLeft = 0;
}  // namespace

void *QDV0_GetStorage(size_t length) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
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
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Registry().erase(*holder);
  }
  free(*holder);
  *holder = nullptr;
}

int QDV0_IsValidBlockPointer(const void *block, size_t length) {
  if (block == nullptr) return 0;
  std::lock_guard<std::mutex> lock(RegistryMutex());
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
  std::lock_guard<std::mutex> lock(RegistryMutex());
  return Registry().size();
}

void QDV0_FailStorageAfter(long successes, long failures) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  g_successesLeft = failures > 0 ? successes : -1;
  g_failuresLeft = failures;
}

