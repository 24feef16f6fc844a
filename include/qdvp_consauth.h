// The console's authentication: the key file both ends read, and the seal an operator's
// command datagram carries. Shared by the data provider (console/qdvpcmdk.cpp opens seals,
// console/qdvpsrcc.cpp refuses what needs one and has none) and by `qdvp console`
// (host/qdvpcons.cpp puts seals on). The functions live in console/qdvpcaut.cpp; they keep no
// state, may be called from any thread and throw nothing.
//
// The key: 32 random bytes, written once as 64 lowercase hexadecimal digits and a line end to
// a file only the data provider's user may read (mode 0600). The data provider creates it at
// its first start when it does not exist; `qdvp console` run by the same user (or root) reads
// it. Where it is: QDVP_CONSOLE_KEY_FILE, else qdvpcons.key in QDVP_INIT_CONFIG_PATH, else in
// QDVP_HOME, else in the current directory (the directory of the startup configuration).
//
// The seal, in front of the command text, fields separated by one blank:
//
//   QDVPAUTH1 <stamp> <nonce> <digest> <command text>
//
// stamp: the sender's time, decimal seconds since 1970; nonce: 16 lowercase hexadecimal digits,
// new for every datagram; digest: 64 lowercase hexadecimal digits, the HMAC-SHA256 under the key
// of "QDVPAUTH1 <port> <stamp> <nonce> <command text>", port being the decimal console port the
// datagram is sent to (so that a datagram for one data provider is no command for another).
// A data provider that predates seals answers a sealed command "1 " (no such command word).
#pragma once

#include <stddef.h>

enum {
  QDVP_CONSOLE_KEY_SIZE = 32,       // key bytes
  QDVP_CONSOLE_NONCE_DIGITS = 16,   // hexadecimal digits of a nonce
  QDVP_CONSOLE_DIGEST_DIGITS = 64,  // hexadecimal digits of a digest
  QDVP_CONSOLE_SEAL_MAX = 128,      // bytes a seal puts in front of the command, at most
  QDVP_CONSOLE_AUTH_WINDOW = 30,    // seconds a stamp may differ from the receiver's clock
};

// The word that opens a sealed datagram.
extern const char QDVP_CONSOLE_SEAL_WORD[];  // "QDVPAUTH1"

// What reading the key file found.
enum ConsoleKeyStatus {
  QDVP_KEY_OK = 0,
  QDVP_KEY_CREATED = 1,      // there was none: a new key was written
  QDVP_KEY_MISSING = 2,      // there is none (and none was to be made)
  QDVP_KEY_NOT_PRIVATE = 3,  // group or others may read or write it
  QDVP_KEY_NOT_OWNER = 4,    // it belongs to another user
  QDVP_KEY_NOT_FILE = 5,     // a symbolic link, a directory, a FIFO, ...
  QDVP_KEY_BAD_TEXT = 6,     // not 64 hexadecimal digits
  QDVP_KEY_IO_ERROR = 7,     // it could not be opened, read or written (errno says why)
};

// The key file's name into path (size bytes); 0 when it does not fit.
int QDVP_ConsoleKeyPath(char *path, size_t size);

// Reads the key file into key. create nonzero (the data provider): a missing file is created
// with a new random key, O_EXCL and O_NOFOLLOW, mode 0600, and never half-written (it is
// written beside and linked into place); the file must belong to this process's user.
// create 0 (qdvp console): a missing file stays missing; root may read another user's file.
// Either way a file that group or others may read or write, that is no regular file, or whose
// text is no key is refused and key is left cleared.
int QDVP_LoadConsoleKey(const char *path, int create, unsigned char key[QDVP_CONSOLE_KEY_SIZE]);

// A short text for a key status ("readable by group or others", ...).
const char *QDVP_ConsoleKeyStatusText(int status);

// Fills nonce with QDVP_CONSOLE_NONCE_DIGITS random hexadecimal digits and a NUL; 0 when no
// randomness could be had.
int QDVP_NewConsoleNonce(char nonce[QDVP_CONSOLE_NONCE_DIGITS + 1]);

// Writes the sealed datagram for command (length bytes) to port with stamp and nonce into out
// (size bytes, not NUL-terminated); returns its length, or 0 when it does not fit.
size_t QDVP_SealConsoleCommand(const unsigned char key[QDVP_CONSOLE_KEY_SIZE], int port, long stamp,
                               const char *nonce, const char *command, size_t length, char *out,
                               size_t size);

// What opening a datagram's seal found.
enum ConsoleSealStatus {
  QDVP_SEAL_NONE = 0,       // the datagram carries no seal: a plain command
  QDVP_SEAL_GOOD = 1,       // the digest matches the key
  QDVP_SEAL_MALFORMED = 2,  // it starts with the seal word but its fields are wrong
  QDVP_SEAL_WRONG = 3,      // the digest does not match (another key, or a changed text)
};

// Opens the seal of datagram (length bytes, which need no NUL) received on port. For GOOD,
// WRONG and MALFORMED *command is the offset of the command text (length for a malformed
// seal); for GOOD and WRONG *stamp and nonce (17 bytes) are filled. key null: no key, so
// every seal is WRONG. The digest is compared in constant time.
int QDVP_OpenConsoleSeal(const unsigned char *key, int port, const char *datagram, size_t length,
                         long *stamp, char nonce[QDVP_CONSOLE_NONCE_DIGITS + 1], size_t *command);
