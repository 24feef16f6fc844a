// The console key file and the seal of an operator's command (include/qdvp_consauth.h): both
// the data provider and `qdvp console` compile this file in. The digest is OpenSSL's HMAC with
// SHA-256 (libcrypto is linked already, for the HTTP client layer's certificates); the key and
// the nonces come from OpenSSL's random generator.
//
// Why the key file is made the way it is: a local user who can make the data provider read a
// key of theirs, or read the data provider's key, can command it. So the file is created
// beside (O_CREAT | O_EXCL | O_NOFOLLOW, mode 0600, written and flushed) and linked into
// place: link() never follows a symbolic link and fails when the name exists, so a planted
// link or file is never written through, and no reader sees half a key. A file found in place
// is opened with O_NOFOLLOW and checked on its descriptor: a regular file, this user's, mode
// without any group or other bit; otherwise it is refused, not repaired.
#include <errno.h>
#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../include/qdvp_consauth.h"

const char QDVP_CONSOLE_SEAL_WORD[] = "QDVPAUTH1";

namespace {

const char kKeyFileName[] = "qdvpcons.key";
const char kHex[] = "0123456789abcdef";
constexpr size_t kSealWordLength = sizeof(QDVP_CONSOLE_SEAL_WORD) - 1;
// The longest decimal stamp accepted (more digits are no time of ours).
constexpr size_t kStampDigits = 12;

const char *Setting(const char *name) {
  const char *value = getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void ToHex(const unsigned char *bytes, size_t n, char *out) {
  for (size_t i = 0; i < n; i++) {
    out[2 * i] = kHex[bytes[i] >> 4];
    out[2 * i + 1] = kHex[bytes[i] & 15];
  }
  out[2 * n] = '\0';
}

// The key in text: exactly the hexadecimal digits of the key, then at most a line end.
int ParseKey(const char *text, size_t n, unsigned char key[QDVP_CONSOLE_KEY_SIZE]) {
  const size_t digits = 2 * QDVP_CONSOLE_KEY_SIZE;
  if (n < digits) return 0;
  const char *rest = text + digits;
  size_t restLength = n - digits;
  if (!(restLength == 0 || (restLength == 1 && rest[0] == '\n') ||
        (restLength == 2 && rest[0] == '\r' && rest[1] == '\n'))) {
    return 0;
  }
  for (size_t i = 0; i < QDVP_CONSOLE_KEY_SIZE; i++) {
    int high = HexValue(text[2 * i]), low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return 0;
    key[i] = static_cast<unsigned char>(high * 16 + low);
  }
  return 1;
}

// Checks the open key file and reads its key.
int ReadKey(int fd, int mustOwn, unsigned char key[QDVP_CONSOLE_KEY_SIZE]) {
  struct stat st;
  if (fstat(fd, &st) != 0) return QDVP_KEY_IO_ERROR;
  if (!S_ISREG(st.st_mode)) return QDVP_KEY_NOT_FILE;
  uid_t me = geteuid();
  if (st.st_uid != me && (mustOwn || me != 0)) return QDVP_KEY_NOT_OWNER;
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) return QDVP_KEY_NOT_PRIVATE;
  char text[2 * QDVP_CONSOLE_KEY_SIZE + 4];
  size_t n = 0;
  while (n < sizeof(text)) {
    ssize_t got = read(fd, text + n, sizeof(text) - n);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return QDVP_KEY_IO_ERROR;
    if (got == 0) break;
    n += static_cast<size_t>(got);
  }
  int ok = ParseKey(text, n, key);
  OPENSSL_cleanse(text, sizeof(text));
  return ok ? QDVP_KEY_OK : QDVP_KEY_BAD_TEXT;
}

int WriteAll(int fd, const char *text, size_t n) {
  while (n > 0) {
    ssize_t put = write(fd, text, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return 0;
    text += put;
    n -= static_cast<size_t>(put);
  }
  return 1;
}

// Writes a new key beside path and links it into place. Returns CREATED, IO_ERROR, or OK
// when another process linked its key first (the caller then reads that one).
int CreateKey(const char *path, unsigned char key[QDVP_CONSOLE_KEY_SIZE]) {
  char temp[4200];
  int n = snprintf(temp, sizeof(temp), "%s.new%ld", path, static_cast<long>(getpid()));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(temp)) {
    errno = ENAMETOOLONG;
    return QDVP_KEY_IO_ERROR;
  }
  if (RAND_bytes(key, QDVP_CONSOLE_KEY_SIZE) != 1) {
    errno = EIO;
    return QDVP_KEY_IO_ERROR;
  }
  char text[2 * QDVP_CONSOLE_KEY_SIZE + 2];
  ToHex(key, QDVP_CONSOLE_KEY_SIZE, text);
  text[2 * QDVP_CONSOLE_KEY_SIZE] = '\n';
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(temp, flags, 0600);
  if (fd < 0 && errno == EEXIST) {
    // Left by an earlier process of the same number that did not get to remove it.
    unlink(temp);
    fd = open(temp, flags, 0600);
  }
  if (fd < 0) {
    OPENSSL_cleanse(text, sizeof(text));
    return QDVP_KEY_IO_ERROR;
  }
  int written = WriteAll(fd, text, 2 * QDVP_CONSOLE_KEY_SIZE + 1) && fsync(fd) == 0;
  int err = errno;
  OPENSSL_cleanse(text, sizeof(text));
  close(fd);
  int linked = written && link(temp, path) == 0;
  if (written && !linked) err = errno;
  unlink(temp);
  if (linked) return QDVP_KEY_CREATED;
  OPENSSL_cleanse(key, QDVP_CONSOLE_KEY_SIZE);
  errno = err;
  return written && err == EEXIST ? QDVP_KEY_OK : QDVP_KEY_IO_ERROR;
}

// The HMAC-SHA256 under key of the seal word, port, stamp and nonce, then the command.
int Digest(const unsigned char *key, int port, long stamp, const char *nonce, const char *command,
           size_t length, unsigned char out[32]) {
  char head[96];
  int h = snprintf(head, sizeof(head), "%s %d %ld %s ", QDVP_CONSOLE_SEAL_WORD, port, stamp, nonce);
  if (h <= 0 || static_cast<size_t>(h) >= sizeof(head)) return 0;
  EVP_MAC *mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX *context = mac != nullptr ? EVP_MAC_CTX_new(mac) : nullptr;
  char digestName[] = "SHA256";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digestName, 0),
                         OSSL_PARAM_construct_end()};
  size_t outLength = 0;
  int ok = context != nullptr && EVP_MAC_init(context, key, QDVP_CONSOLE_KEY_SIZE, params) == 1 &&
           EVP_MAC_update(context, reinterpret_cast<const unsigned char *>(head),
                          static_cast<size_t>(h)) == 1 &&
           EVP_MAC_update(context, reinterpret_cast<const unsigned char *>(command), length) == 1 &&
           EVP_MAC_final(context, out, &outLength, 32) == 1 && outLength == 32;
  EVP_MAC_CTX_free(context);
  EVP_MAC_free(mac);
  return ok;
}

// The length of the run of characters at text (at most limit) that pass test.
template <typename Test>
size_t Span(const char *text, size_t limit, Test test) {
  size_t n = 0;
  while (n < limit && test(text[n])) n++;
  return n;
}

}  // namespace

int QDVP_ConsoleKeyPath(char *path, size_t size) {
  if (path == nullptr || size == 0) return 0;
  path[0] = '\0';
  int n;
  const char *file = Setting("QDVP_CONSOLE_KEY_FILE");
  if (file != nullptr) {
    n = snprintf(path, size, "%s", file);
  } else {
    const char *dir = Setting("QDVP_INIT_CONFIG_PATH");
    if (dir == nullptr) dir = Setting("QDVP_HOME");
    char cwd[4096];
    if (dir == nullptr) {
      if (getcwd(cwd, sizeof(cwd)) == nullptr) return 0;
      dir = cwd;
    }
    size_t d = strlen(dir);
    n = snprintf(path, size, "%s%s%s", dir, d > 0 && dir[d - 1] == '/' ? "" : "/", kKeyFileName);
  }
  if (n <= 0 || static_cast<size_t>(n) >= size) {
    path[0] = '\0';
    return 0;
  }
  return 1;
}

int QDVP_LoadConsoleKey(const char *path, int create, unsigned char key[QDVP_CONSOLE_KEY_SIZE]) {
  memset(key, 0, QDVP_CONSOLE_KEY_SIZE);
  if (path == nullptr || path[0] == '\0') return QDVP_KEY_MISSING;
  // Twice at most: a file created by another process while this one looked is read the second
  // time.
  for (int attempt = 0; attempt < 2; attempt++) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      int status = ReadKey(fd, create, key);
      close(fd);
      if (status != QDVP_KEY_OK) OPENSSL_cleanse(key, QDVP_CONSOLE_KEY_SIZE);
      return status;
    }
    if (errno == ELOOP || errno == ENXIO) return QDVP_KEY_NOT_FILE;
    if (errno != ENOENT) return QDVP_KEY_IO_ERROR;
    if (!create) return QDVP_KEY_MISSING;
    int status = CreateKey(path, key);
    if (status != QDVP_KEY_OK) return status;
  }
  return QDVP_KEY_IO_ERROR;
}

const char *QDVP_ConsoleKeyStatusText(int status) {
  switch (status) {
    case QDVP_KEY_OK:
      return "read";
    case QDVP_KEY_CREATED:
      return "created";
    case QDVP_KEY_MISSING:
      return "does not exist";
    case QDVP_KEY_NOT_PRIVATE:
      return "may be read or written by group or others (mode must be 0600)";
    case QDVP_KEY_NOT_OWNER:
      return "belongs to another user";
    case QDVP_KEY_NOT_FILE:
      return "is not a regular file (a symbolic link, a directory, ...)";
    case QDVP_KEY_BAD_TEXT:
      return "holds no key (64 hexadecimal digits)";
    default:
      return "cannot be opened, read or written";
  }
}

int QDVP_NewConsoleNonce(char nonce[QDVP_CONSOLE_NONCE_DIGITS + 1]) {
  unsigned char bytes[QDVP_CONSOLE_NONCE_DIGITS / 2];
  nonce[0] = '\0';
  if (RAND_bytes(bytes, sizeof(bytes)) != 1) return 0;
  ToHex(bytes, sizeof(bytes), nonce);
  return 1;
}

size_t QDVP_SealConsoleCommand(const unsigned char key[QDVP_CONSOLE_KEY_SIZE], int port, long stamp,
                               const char *nonce, const char *command, size_t length, char *out,
                               size_t size) {
  unsigned char digest[32];
  if (nonce == nullptr || strlen(nonce) != QDVP_CONSOLE_NONCE_DIGITS) return 0;
  if (!Digest(key, port, stamp, nonce, command, length, digest)) return 0;
  char hex[QDVP_CONSOLE_DIGEST_DIGITS + 1];
  ToHex(digest, sizeof(digest), hex);
  char head[QDVP_CONSOLE_SEAL_MAX];
  int h = snprintf(head, sizeof(head), "%s %ld %s %s ", QDVP_CONSOLE_SEAL_WORD, stamp, nonce, hex);
  if (h <= 0 || static_cast<size_t>(h) >= sizeof(head)) return 0;
  if (static_cast<size_t>(h) + length > size) return 0;
  memcpy(out, head, static_cast<size_t>(h));
  memcpy(out + h, command, length);
  return static_cast<size_t>(h) + length;
}

int QDVP_OpenConsoleSeal(const unsigned char *key, int port, const char *datagram, size_t length,
                         long *stamp, char nonce[QDVP_CONSOLE_NONCE_DIGITS + 1], size_t *command) {
  *stamp = 0;
  nonce[0] = '\0';
  *command = length;
  if (length <= kSealWordLength || memcmp(datagram, QDVP_CONSOLE_SEAL_WORD, kSealWordLength) != 0 ||
      datagram[kSealWordLength] != ' ') {
    // Only the word itself, blank-ended, opens a seal; "QDVPAUTH1X" is an unknown command.
    if (length == kSealWordLength && memcmp(datagram, QDVP_CONSOLE_SEAL_WORD, length) == 0) {
      return QDVP_SEAL_MALFORMED;
    }
    *command = 0;
    return QDVP_SEAL_NONE;
  }
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  auto isHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  size_t at = kSealWordLength + 1;
  size_t n = Span(datagram + at, length - at, isDigit);
  if (n == 0 || n > kStampDigits || at + n >= length || datagram[at + n] != ' ') {
    return QDVP_SEAL_MALFORMED;
  }
  char stampText[kStampDigits + 1];
  memcpy(stampText, datagram + at, n);
  stampText[n] = '\0';
  long when = strtol(stampText, nullptr, 10);
  at += n + 1;
  n = Span(datagram + at, length - at, isHex);
  if (n != QDVP_CONSOLE_NONCE_DIGITS || at + n >= length || datagram[at + n] != ' ') {
    return QDVP_SEAL_MALFORMED;
  }
  char nonceText[QDVP_CONSOLE_NONCE_DIGITS + 1];
  memcpy(nonceText, datagram + at, n);
  nonceText[n] = '\0';
  at += n + 1;
  n = Span(datagram + at, length - at, isHex);
  if (n != QDVP_CONSOLE_DIGEST_DIGITS || at + n >= length || datagram[at + n] != ' ') {
    return QDVP_SEAL_MALFORMED;
  }
  const char *given = datagram + at;
  size_t text = at + n + 1;
  *stamp = when;
  memcpy(nonce, nonceText, sizeof(nonceText));
  *command = text;
  if (key == nullptr) return QDVP_SEAL_WRONG;
  unsigned char digest[32];
  if (!Digest(key, port, when, nonceText, datagram + text, length - text, digest)) {
    return QDVP_SEAL_WRONG;
  }
  char hex[QDVP_CONSOLE_DIGEST_DIGITS + 1];
  ToHex(digest, sizeof(digest), hex);
  return CRYPTO_memcmp(hex, given, QDVP_CONSOLE_DIGEST_DIGITS) == 0 ? QDVP_SEAL_GOOD
                                                                    : QDVP_SEAL_WRONG;
}
