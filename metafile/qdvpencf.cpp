// Enciphering a plain metafile for distribution: the inverse of what the loader and the unpack
// entry do. Records up to the first statement (comments, empty lines) stay plain; a //CORVID
// statement is placed before the first statement unless the metafile already starts with
// //CORVID or with an enciphered //SNMP; every record after it is enciphered with the key the
// loader deciphers it with: its length times the number of records read before it.
//
// The file depends on nothing but the support library's cipher and the C library, so that
// the qdvp host program can compile it in and encipher without loading the data provider.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "../core/support/qdv0.h"
#include "../include/qdvp_metafile.h"

// Whether a record is the statement after which a metafile's records are enciphered.
static bool StartsCipher(const char *record) {
  if (strncmp(record, "//CORVID", 8) == 0) return true;
  return strncmp(record, "//SNMP", 6) == 0 && strstr(record, " TEXT") == nullptr;
}

// The record size the loader reads with (QDVP_META_MAX_RECORD_SIZE), so that a long line is
// cut into the same pieces here and there.
static int RecordSize() {
  const char *text = getenv("QDVP_META_MAX_RECORD_SIZE");
  long n = text && *text ? strtol(text, nullptr, 10) : 4096;
  if (n <= 0) n = 4096;
  if (n < 16) n = 16;
  if (n > 1024 * 1024) n = 1024 * 1024;
  return static_cast<int>(n);
}

int QDVP_EncipherMetafileToFile(const char *in, const char *out) {
  if (in == nullptr || out == nullptr || strcmp(in, out) == 0) return -1;
  FILE *input = fopen(in, "r");
  if (input == nullptr) return -1;
  FILE *output = fopen(out, "w");
  if (output == nullptr) {
    fclose(input);
    return -1;
  }
  int size = RecordSize();
  std::string line(static_cast<size_t>(size) + 1, '\0');
  long written = 0;  // records the loader will have read before the next one
  bool enciphering = false;
  while (fgets(line.data(), size, input) != nullptr) {
    char *record = line.data();
    if (!enciphering) {
      const char *p = record + strspn(record, " \t");
      bool comment = record[0] == '*' || strncmp(record, "//*", 3) == 0 || *p == '\n' ||
                     *p == '\r' || *p == '\0';
      if (comment) {
        fputs(record, output);
        written++;
        continue;
      }
      if (StartsCipher(record)) {
        fputs(record, output);
        written++;
        enciphering = true;
        continue;
      }
      // //SNMP TEXT stays plain; the //CORVID after it starts the cipher.
      bool snmpText = strncmp(record, "//SNMP", 6) == 0;
      if (snmpText) {
        fputs(record, output);
        written++;
      }
      fputs("//CORVID\n", output);
      written++;
      enciphering = true;
      if (snmpText) continue;
    }
    QDV0_EncipherMetaRecord(record, static_cast<long>(strlen(record)) * written);
    fputs(record, output);
    written++;
  }
  fclose(input);
  return fclose(output) == 0 ? 0 : -1;
}
