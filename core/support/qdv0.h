// Common support library: storage, environment, product specification, threads, strings,
// names and paths, hosts and sockets, Corvid time stamps, codes and the operator console.
//
// These are the services the data provider relies on; each keeps the contract the rest of the
// system was written against (status codes, null for a failed allocation or lookup, no
// exceptions). Every function may be called from any thread unless its comment says otherwise.
#pragma once

#include <netinet/in.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <new>
#include <string>
#include <type_traits>

#include "../../include/osv1.h"

// ---- Storage ---------------------------------------------------------------------------
// A block of at least length bytes cleared to zero, or null when storage is exhausted.
void *QDV0_GetStorage(size_t length);
// Releases the block held by *pointer (which may be null) and clears *pointer.
void QDV0_FreeStorage(void *pointer);
// The block's holder is what is passed, never the block itself: a block passed by mistake would
// have its first field freed instead.
template <class T>
inline void QDV0_FreeStorage(T **pointer) {
  QDV0_FreeStorage(static_cast<void *>(pointer));
}
template <class T>
void QDV0_FreeStorage(T *pointer) = delete;
// Nonzero when block is a live block obtained with exactly this length.
int QDV0_IsValidBlockPointer(const void *block, size_t length);
// A new copy of text from QDV0_GetStorage, or null.
char *QDV0_StrDup(const char *text);
// Tests: after `successes` more allocations, make the next `failures` fail (0 ends the fault).
void QDV0_FailStorageAfter(long successes, long failures);
// The number of live blocks (tests use it to find leaks).
size_t QDV0_LiveBlockCount(void);

// A record of type T constructed in a cleared block from QDV0_GetStorage (so that its atomic
// fields are constructed and the block is still known to QDV0_IsValidBlockPointer with
// sizeof(T)), or null when storage is exhausted.
template <typename T>
T *QDV0_New() {
  void *block = QDV0_GetStorage(sizeof(T));
  return block == nullptr ? nullptr : new (block) T();
}
// Destroys and releases a record made by QDV0_New (or any block of T), and clears the pointer.
template <typename T>
void QDV0_Free(T *&record) {
  if (record == nullptr) return;
  if constexpr (!std::is_void_v<T>) record->~T();
  QDV0_FreeStorage(&record);
}
// Owns a scratch block from QDV0_GetStorage for the life of a scope, so that every exit path
// releases it.
template <typename T = char>
class QDV0_Scratch {
 public:
  explicit QDV0_Scratch(size_t length) : block_(static_cast<T *>(QDV0_GetStorage(length))) {}
  // Takes over a block that another call obtained from QDV0_GetStorage (null allowed).
  explicit QDV0_Scratch(T *block) : block_(block) {}
  ~QDV0_Scratch() { QDV0_FreeStorage(&block_); }
  QDV0_Scratch(const QDV0_Scratch &) = delete;
  QDV0_Scratch &operator=(const QDV0_Scratch &) = delete;
  QDV0_Scratch(QDV0_Scratch &&other) noexcept : block_(other.release()) {}
  QDV0_Scratch &operator=(QDV0_Scratch &&other) noexcept {
    if (this != &other) {
      QDV0_FreeStorage(&block_);
      block_ = other.release();
    }
    return *this;
  }
  T *get() const { return block_; }
  explicit operator bool() const { return block_ != nullptr; }
  // Gives the block to the caller, who releases it from now on.
  T *release() {
    T *block = block_;
    block_ = nullptr;
    return block;
  }

 private:
  T *block_;
};

// ---- Environment and product specification --------------------------------------------
// The variable's value, or defaultValue when it is unset or empty.
const char *QDV0_GetEnv(const char *name, const char *defaultValue);
// Flags count as set when their value begins with Y or y.
int QDV0_IsFlagSet(const char *value);

enum {
  QDV0_ITEM_COUNT = 34,
};
// Loads the product specification from QDVP_PRODUCT_SPEC over the built-in defaults.
// Returns 1 on success, 0 when the named file cannot be read. Malformed lines are reported
// on standard error and skipped. Repeated calls keep what was loaded first.
int QDV0_InitializeProductSpec(void);
// The item's text, or null when the item is absent.
const char *QDV0_QueryProductSpec(int item);
// The item number of an item name ("DCH_PORT_NUMBER"), or -1.
int QDV0_ProductSpecItemNumber(const char *name);
// Tests: forget what was loaded so that the next initialization reads the file again.
void QDV0_ResetProductSpec(void);
void QDV0_SetDPstartMode(int flag);
int QDV0_GetDPstartMode(void);

// ---- Clock -----------------------------------------------------------------------------
// The one clock of the system: seconds since 1970.
time_t QDV0_Time(void);
// Tests: from now on QDV0_Time returns a manual time that only moves when advanced, sleeps
// advance it instead of waiting, and timed waits count their whole interval as passed after
// a short real wait.
void QDV0_UseManualClock(time_t start);
void QDV0_AdvanceClock(int seconds);
void QDV0_UseSystemClock(void);
int QDV0_IsManualClock(void);
// Milliseconds of the monotonic clock, for intervals and deadlines that must not move when
// the time of day is set; the manual clock of the tests does not change it.
int64_t QDV0_MonotonicMs(void);
// A random 32-bit word from the system's generator (identifiers that must not repeat across
// runs of the data provider).
uint32_t QDV0_RandomWord(void);

// ---- Threads and waiting ---------------------------------------------------------------
typedef void *(*QDV0_THREAD_ROUTINE)(void *);
// Starts a detached thread running function(argument); 0 on success, nonzero with errno set.
int QDV0_CreateThread(QDV0_THREAD_ROUTINE function, void *argument, int options,
                      unsigned long *threadId);
// A condition (OSV1_COND, osv1.h) is always paired with an OSV1 lock, which the waiter holds
// around its wait and the waker around its change (OSV1_Signal and OSV1_Broadcast take it for
// the wake-up). These are the only waits on a condition. The bounded ones measure their bound
// on the monotonic clock and hand that clock to the wait (pthread_cond_clockwait), whatever
// clock the condition was made with.
// Waits on cond with lock held until signalled.
int QDV0_ConditionWait(OSV1_COND *cond, OSV1_LOCK *lock) QDVP_REQUIRES(lock);
// Waits on cond with lock held for at most seconds; 0 when signalled, nonzero on time-out.
int QDV0_ConditionTimedWait(OSV1_COND *cond, OSV1_LOCK *lock, int seconds) QDVP_REQUIRES(lock);
// The same with a bound in milliseconds.
int QDV0_ConditionTimedWaitMs(OSV1_COND *cond, OSV1_LOCK *lock, long ms) QDVP_REQUIRES(lock);
// Waits at most ms of real time for another task to finish work the caller waits for; the
// bound only makes the caller look at its condition again. Unlike the timed waits above it
// never moves the manual clock: a task that is merely slow must not age every time-driven
// thing (an interval, a time to live) by the whole bound.
int QDV0_ConditionWaitForTask(OSV1_COND *cond, OSV1_LOCK *lock, long ms) QDVP_REQUIRES(lock);
// Looks for at most micros microseconds until done(what) holds, when QDVP_SPIN_WAIT_US asks for
// it ("Y": micros; a number: that bound instead; unset: no look at all). Used before a condition
// wait where the answer usually comes within a loopback round trip, so the waiter picks it up
// without a sleep and a wake-up. Returns 1 when it came.
int QDV0_SpinUntil(bool (*done)(const void *what), const void *what, long micros);

// Sleeps while *word holds expected, for at most ms milliseconds of real time or until
// QDV0_WakeWord on the word; returns at once when the word holds something else. The caller
// looks at the word again in every case. For a hand-off where the waker must not touch the
// waiter's own records after its change: the word lies in a record the waker holds.
void QDV0_WaitWord(std::atomic<int> *word, int expected, long ms);
// Wakes every thread sleeping on the word in QDV0_WaitWord.
void QDV0_WakeWord(std::atomic<int> *word);

// ---- Strings and names -----------------------------------------------------------------
// flag 0: upper-cases string in place and returns it; flag 1: returns a new upper-case copy.
char *QDV0_ConvertStringToUpper(char *string, int flag);
// strtok with a per-thread scan position.
char *QDV0_strtok(char *string, const char *delimiters);
// Strips trailing carriage returns and line feeds; returns the new length.
size_t QDV0_RemoveCRandLF(char *string);
// Replaces characters not allowed in application, table and attribute names by '_'.
char *QDV0_SubValidNameCharacter(char *name);
// A new string joining directory (the default directory when null) and name.
char *QDV0_ConstructFullyQualifiedName(const char *directory, const char *name);
// Nonzero when name already carries a directory part.
int QDV0_IsThisFullyQualifiedName(const char *name);
// A new string naming the file: name itself when it carries a directory part (an absolute
// path stays as written), else name joined to directory (the default directory when null).
// Null for a null name or without storage.
char *QDV0_QualifyFileName(const char *directory, const char *name);
// Opens path for reading only when it is a regular file, without waiting on the way: a FIFO
// without a writer or a device is not waited for. Null with errno set otherwise (EINVAL for
// something that is not a regular file, EISDIR for a directory).
FILE *QDV0_OpenRegularFile(const char *path);
// The path made usable as a directory name (trailing separators removed): the given text
// itself when nothing had to change, a new string otherwise, null for a null or empty path
// or one that names something other than a directory.
char *QDV0_CheckPathSpec(const char *path);
// The default directory: QDVP_HOME when set, the current working directory otherwise.
const char *QDV0_DefaultDirectory(void);

// ---- Log lines ---------------------------------------------------------------------------
// Appends length bytes of text to *out as they may stand in one line of a log file: a
// backslash becomes "\\", line feed, carriage return and tab become "\n", "\r" and "\t", and
// every other control character (below 0x20, and DEL) becomes "\xHH". Nothing a partner sends
// can then end a line of a log or begin a forged one, and the original bytes can be read back.
// Bytes from 0x80 up (UTF-8) are kept as they are.
void QDV0_AppendLogText(std::string *out, const char *text, size_t length);
// The same for a whole text (null: empty).
std::string QDV0_EscapeLogText(const char *text);
// Writes text, escaped, then a line feed, to file. Returns what fputs returned.
int QDV0_WriteLogLine(FILE *file, const char *text);

// ---- Hosts and sockets -----------------------------------------------------------------
int QDV0_WinSockInitialization(int version);
// Fills address from a host name or dotted address and a port in host byte order; 0 on
// success.
int QDV0_ConvertNameToAddr(const char *host, int port, struct sockaddr_in *address);
// Host name of the address into name (size bytes); 0 on success. This is the lookup itself and
// may take seconds: only the resolver's threads call it (qdv0rslv.cpp).
int QDV0_ConvertAddrToName(const struct sockaddr_in *address, char *name, size_t size);
// Host name text of an address as the resolver's cache knows it, or its dotted form when it is
// not known yet or has no name (static per thread). Never waits for a lookup.
const char *QDV0_ResolveAddressToName(const struct sockaddr_in *address);
// The name resolver: reverse lookups on a few threads of their own, answered from a bounded
// cache, so that no caller waits for a slow resolver. Any thread may call it.
enum {
  QDV0_NAME_CACHE_ENTRIES = 512,  // addresses kept; the least recently used makes room
  QDV0_NAME_TTL = 600,            // seconds a name is kept before it is looked up again
  QDV0_NO_NAME_TTL = 60,          // the same for an address that has no name
  QDV0_NAME_QUEUE = 64,           // lookups that may wait; more are not queued
  QDV0_NAME_THREADS = 2,          // lookups in progress at once
  QDV0_NAME_WAIT_MS = 50,         // what a partner's binding may wait for an idle resolver
};
// The host name of address into name (size bytes): 1 when it is a host name, 0 when it is the
// dotted address (not looked up yet, being looked up, or without a name), -1 for bad arguments.
// An address the cache does not know, or knows only from an old answer (which is still given),
// is queued for a lookup. With waitMs > 0 a new address may wait up to waitMs for its answer,
// but only when no other lookup is queued or in progress. 0.0.0.0 and 255.255.255.255 are never
// looked up.
int QDV0_CachedAddressName(const struct sockaddr_in *address, char *name, size_t size, long waitMs);
// Tests: every lookup goes through fn instead of the system's (null: the system's again); the
// cache and the queue are emptied, and answers of lookups already running are dropped.
typedef int (*QDV0_NAME_LOOKUP)(const struct sockaddr_in *address, char *name, size_t size);
void TEST_QDV0_SetNameLookup(QDV0_NAME_LOOKUP fn);
struct QDV0_ResolverCounts {
  long lookups;  // lookups done since the last TEST_QDV0_SetNameLookup
  long dropped;  // addresses not queued because the queue was full
  int cached;    // entries in the cache
  int queued;    // lookups waiting
  int running;   // lookups in progress
};
QDV0_ResolverCounts TEST_QDV0_GetResolverCounts(void);
int QDV0_IsThisAddressString(const char *text);
const char *QDV0_LocalHostNameString(void);
int QDV0_IsOwnHostName(const char *name);
const char *QDV0_GetLocalDomainName(void);
// The address servers bind to: QDVP_BIND_ADDRESS, 127.0.0.1 by default (network order).
in_addr_t QDV0_BindAddress(void);
// A socket of kind 1 (datagram) or 2 (stream) bound to port (network byte order, 0 for an
// ephemeral one) on the bind address; the bound address is stored in *address. -1 on failure.
// On failure errno tells why (EADDRINUSE: another socket holds the port).
int QDV0_OpenLocalSocket(int kind, uint16_t port, struct sockaddr_in *address, int reuse);
// Writes to standard error (and the error trace) that what (e.g. "console") could not bind
// port (host byte order) on the bind address, with the system error err.
void QDV0_ReportBindFailure(const char *what, int port, int err);
int QDV0_CloseTheSocket(int socket);
int QDV0_SetSocketIoctl(int socket, unsigned long request, int *argument);

// ---- Corvid time stamps ----------------------------------------------------------------
enum { QDV0_CORVID_TIME_LEN = 16 };
// Writes the current local time stamp and a NUL (17 bytes) and returns buffer.
char *QDV0_GetCorvidTime(char *buffer);
// Converts time (local time) into the stamp (17 bytes with the NUL) and returns stamp.
char *QDV0_ConvertTimeToCorvidTime(time_t time, char *stamp);
// Display form "MM/DD/YY HH:MM:SS" of a stamp; text holds at least 18 bytes.
char *QDV0_CorvidTimeToString(const char *stamp, char *text);
// Day of the week of a stamp, 0 Sunday to 6 Saturday, -1 for a stamp that is no date.
int QDV0_CorvidTimeToWeekDay(const char *stamp);
// Converts a time text ("MM/DD/YY HH:MM:SS", "YYYY-MM-DD HH:MM:SS", "YYYY/MM/DD ...", with or
// without the time) in place into the 16-digit stamp; returns text, which must hold 17 bytes.
// A text that is no time becomes sixteen zeros.
char *QDV0_StringToCorvidTime(char *text);
// The seconds since 1970 (local time) of a stamp, or -1.
time_t QDV0_CorvidTimeToTime(const char *stamp);

// ---- Codes -----------------------------------------------------------------------------
// Text payload conversions between local and network representation (both ASCII here).
void QDV0_ConvertDataToNetwork(char *buffer, size_t length);
void QDV0_ConvertDataToLocal(char *buffer, size_t length);
void QDV0_ConvertEBCDICtoASCII(char *buffer, size_t length);
int QDV0_CheckCodeConversion(int code);
// A checksum of the bytes; callers use its low 16 bits.
uint32_t QDV0_ComputeCheckSum(const void *data, size_t length);
// Base64 of input (NUL-terminated) into output, which holds 4*ceil(n/3)+1 bytes; returns the
// encoded length.
size_t QDV0_EncodeBase64(const char *input, char *output);
size_t QDV0_EncodeBase64Bytes(const void *input, size_t length, char *output);
// Deciphers an enciphered metafile record in place; key is the record's length times the
// number of records read before it.
void QDV0_DecipherMetaRecord(char *record, long key);
// The inverse of QDV0_DecipherMetaRecord, used to make enciphered metafiles.
void QDV0_EncipherMetaRecord(char *record, long key);
extern const char cipher_table[97];

// ---- Operator console -------------------------------------------------------------------
enum { QDV0_OQ_INFO = 0, QDV0_OQ_WARNING = 1 };
// Sends text to the operator message console (standard error, one line, with category).
void QDV0_OQconsoleMessage(const char *category, int severity, const char *text);

// ---- Agent link fields -----------------------------------------------------------------
// Writes one field at position of a message buffer of capacity bytes and keeps the length
// word current; returns the number of bytes written, 0 when it does not fit. type is the
// attribute type letter for attribute value fields, 0 otherwise.
size_t QDV0_FormatDataField(unsigned char *message, size_t capacity, size_t position, int fieldCode,
                            const void *data, size_t length, int type);
// Reads the field at *position; returns 1 and its code, data and length, 0 at the end of the
// message, -1 for a field that runs past the end.
int QDV0_ExtractDataField(const unsigned char *message, size_t messageLength, size_t *position,
                          int *fieldCode, const unsigned char **data, size_t *length);

// ---- ASN.1 Basic Encoding Rules (SNMP) --------------------------------------------------
enum {
  QDV0_BER_INTEGER = 0x02,
  QDV0_BER_OCTETSTRING = 0x04,
  QDV0_BER_NULL = 0x05,
  QDV0_BER_OID = 0x06,
  QDV0_BER_SEQUENCE = 0x30,
};
// Each Format call writes tag, length and contents at out (capacity bytes) and returns the
// bytes written, or 0 when they do not fit.
size_t QDV0_FormatBERintegerType(int tag, long value, unsigned char *out, size_t capacity);
size_t QDV0_FormatBERnullType(int tag, unsigned char *out, size_t capacity);
size_t QDV0_FormatBERoctetstringType(int tag, const void *data, size_t length, unsigned char *out,
                                     size_t capacity);
// Encodes a dotted OID text ("1.3.6.1.2.1.1.1.0") as a complete OID field; 0 when the text
// is no OID or does not fit.
size_t QDV0_FormatOIDfromString(const char *text, unsigned char *out, size_t capacity);
// Writes a tag and a length header (for a constructed type whose contents follow); returns
// the header's size.
size_t QDV0_FormatBERheader(int tag, size_t length, unsigned char *out, size_t capacity);
// Reads the field at position: its tag, contents and contents length. Returns the position
// after the field, or 0 for a field that runs past the end or has a malformed length.
size_t QDV0_ExtractBERfield(const unsigned char *buffer, size_t length, size_t position, int *tag,
                            const unsigned char **contents, size_t *contentLength);
// Decodes integer contents (at most 8 bytes, two's complement); 0 on success.
int QDV0_ExtractBERinteger(const unsigned char *contents, size_t length, long *value);
// Decodes OID contents into dotted text (size bytes); 0 on success.
int QDV0_DecodeOIDfromBER(const unsigned char *contents, size_t length, char *text, size_t size);
