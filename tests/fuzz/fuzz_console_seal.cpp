// libFuzzer target for the seal in front of a console datagram: each input is a datagram as
// the console I/O task receives it, opened with a fixed key. Whatever the bytes, the command
// offset stays within the datagram; nothing unsealed opens as GOOD. The input sealed as a
// command with the key opens GOOD again, with the same stamp, nonce and command text.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "include/qdvp_consauth.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const unsigned char key[QDVP_CONSOLE_KEY_SIZE] = {1, 2, 3, 4, 5, 6, 7, 8};
  const char *datagram = reinterpret_cast<const char *>(data);
  long stamp = 0;
  char nonce[QDVP_CONSOLE_NONCE_DIGITS + 1];
  size_t command = 0;
  int status = QDVP_OpenConsoleSeal(key, 7701, datagram, size, &stamp, nonce, &command);
  if (command > size) abort();
  if (status == QDVP_SEAL_GOOD) abort();  // a forged digest
  if (status == QDVP_SEAL_NONE && command != 0) abort();

  const char kNonce[] = "0123456789abcdef";
  std::string sealed(size + QDVP_CONSOLE_SEAL_MAX, '\0');
  size_t n = QDVP_SealConsoleCommand(key, 7701, 1764970000, kNonce, datagram, size, sealed.data(),
                                     sealed.size());
  if (n == 0) abort();
  if (QDVP_OpenConsoleSeal(key, 7701, sealed.data(), n, &stamp, nonce, &command) !=
          QDVP_SEAL_GOOD ||
      stamp != 1764970000 || strcmp(nonce, kNonce) != 0 || n - command != size ||
      memcmp(sealed.data() + command, datagram, size) != 0) {
    abort();
  }
  return 0;
}
