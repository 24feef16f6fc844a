// Codes: agent link fields, the checksum, Base64, the metafile cipher and the (here trivial)
// conversions between local and network text representation.
#include <string.h>

#include "../../include/qdvp_wire.h"
#include "qdv0.h"

// The cipher's alphabet: the 96 characters from blank to DEL, permuted. A record is enciphered
// by moving each character of the alphabet forward in this table by an amount that depends on
// the record's key and the character's position, so that equal lines encipher differently.
const char cipher_table[97] =
    "kQ7#zB0 xW^3mT(Ea9]vL+hN=rC~5uY{gK,dS!pF8)jZ/tM1'wH?bX_2oJ<eR[4sG;yD}6nU@iP%lV>cA&qI.f"
    "O$\\*:`|\x7f-\"";

namespace {
int g_position[128];
bool BuildPositions() {
  for (int &p : g_position) p = -1;
  for (int i = 0; i < 96; i++) g_position[static_cast<unsigned char>(cipher_table[i])] = i;
  return true;
}
const bool g_positionsBuilt = BuildPositions();

int Shift(long key, size_t index) {
  unsigned long k = static_cast<unsigned long>(key < 0 ? -key : key);
  return static_cast<int>((k * 7 + index * 13 + 5) % 96);
}

void Transform(char *record, long key, int direction) {
  (void)g_positionsBuilt;
  for (size_t i = 0; record[i] != '\0'; i++) {
    unsigned char c = static_cast<unsigned char>(record[i]);
    if (c >= 128 || g_position[c] < 0) continue;  // line ends and other bytes pass unchanged
    int p = (g_position[c] + direction * Shift(key, i) + 96 * 2) % 96;
    record[i] = cipher_table[p];
  }
}
}  // namespace

void QDV0_DecipherMetaRecord(char *record, long key) {
  if (record != nullptr) Transform(record, key, -1);
}

void QDV0_EncipherMetaRecord(char *record, long key) {
  if (record != nullptr) Transform(record, key, +1);
}

size_t QDV0_FormatDataField(unsigned char *message, size_t capacity, size_t position, int fieldCode,
                            const void *data, size_t length, int type) {
  return QDVP_WireFormatField(message, capacity, position, static_cast<uint16_t>(fieldCode), data,
                              length, static_cast<char>(type));
}

int QDV0_ExtractDataField(const unsigned char *message, size_t messageLength, size_t *position,
                          int *fieldCode, const unsigned char **data, size_t *length) {
  QDVP_WireField field;
  int rc = QDVP_WireNextField(message, messageLength, position, &field);
  if (rc == 1) {
    if (fieldCode) *fieldCode = field.code;
    if (data) *data = field.data;
    if (length) *length = field.length;
  }
  return rc;
}

uint32_t QDV0_ComputeCheckSum(const void *data, size_t length) {
  // CRC-32 (the polynomial of zlib and Ethernet).
  static uint32_t table[256];
  static const bool built = [] {
    for (uint32_t i = 0; i < 256; i++) {
      uint32_t c = i;
      for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    return true;
  }();
  (void)built;
  const unsigned char *p = static_cast<const unsigned char *>(data);
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; i++) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

size_t QDV0_EncodeBase64Bytes(const void *input, size_t length, char *output) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const unsigned char *in = static_cast<const unsigned char *>(input);
  size_t o = 0;
  for (size_t i = 0; i < length; i += 3) {
    uint32_t v = in[i] << 16;
    if (i + 1 < length) v |= in[i + 1] << 8;
    if (i + 2 < length) v |= in[i + 2];
    output[o++] = alphabet[(v >> 18) & 63];
    output[o++] = alphabet[(v >> 12) & 63];
    output[o++] = i + 1 < length ? alphabet[(v >> 6) & 63] : '=';
    output[o++] = i + 2 < length ? alphabet[v & 63] : '=';
  }
  output[o] = '\0';
  return o;
}

size_t QDV0_EncodeBase64(const char *input, char *output) {
  return QDV0_EncodeBase64Bytes(input, input ? strlen(input) : 0, output);
}

void QDV0_ConvertDataToNetwork(char *, size_t) {}
void QDV0_ConvertDataToLocal(char *, size_t) {}

void QDV0_ConvertEBCDICtoASCII(char *buffer, size_t length) {
  // Digits, upper and lower case letters and blank: enough for the identifiers hosts send.
  for (size_t i = 0; i < length; i++) {
    unsigned char c = static_cast<unsigned char>(buffer[i]);
    if (c >= 0xF0 && c <= 0xF9)
      buffer[i] = static_cast<char>('0' + (c - 0xF0));
    else if (c >= 0xC1 && c <= 0xC9)
      buffer[i] = static_cast<char>('A' + (c - 0xC1));
    else if (c >= 0xD1 && c <= 0xD9)
      buffer[i] = static_cast<char>('J' + (c - 0xD1));
    else if (c >= 0xE2 && c <= 0xE9)
      buffer[i] = static_cast<char>('S' + (c - 0xE2));
    else if (c >= 0x81 && c <= 0x89)
      buffer[i] = static_cast<char>('a' + (c - 0x81));
    else if (c >= 0x91 && c <= 0x99)
      buffer[i] = static_cast<char>('j' + (c - 0x91));
    else if (c >= 0xA2 && c <= 0xA9)
      buffer[i] = static_cast<char>('s' + (c - 0xA2));
    else if (c == 0x40)
      buffer[i] = ' ';
  }
}

int QDV0_CheckCodeConversion(int) { return 0; }
