// The escape of text written to log files: the action log, the batch job log, a stand-alone
// run's batch output file, the URL statistics file, the trace and the DP log lines on standard
// output all take texts that partners wrote (an API client's result, a record's values, a web
// page's title, a command's parameter). Each line of such a file is one event; escaping line
// ends and control characters keeps it so, whatever a text holds.
#include <string.h>

#include "qdv0.h"

void QDV0_AppendLogText(std::string *out, const char *text, size_t length) {
  static const char kHex[] = "0123456789ABCDEF";
  if (text == nullptr) return;
  size_t plain = 0;  // start of the run of bytes copied as they are
  for (size_t i = 0; i < length; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != 0x7F && c != '\\') continue;
    out->append(text + plain, i - plain);
    plain = i + 1;
    switch (c) {
      case '\\':
        out->append("\\\\");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      default: {
        char escaped[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
        out->append(escaped, 4);
      }
    }
  }
  out->append(text + plain, length - plain);
}

std::string QDV0_EscapeLogText(const char *text) {
  std::string out;
  if (text != nullptr) QDV0_AppendLogText(&out, text, strlen(text));
  return out;
}

int QDV0_WriteLogLine(FILE *file, const char *text) {
  std::string line = QDV0_EscapeLogText(text);
  line.push_back('\n');
  return fputs(line.c_str(), file);
}
