// Reading a monitored file record by record: a record is one line, or several lines joined
// with the attribute delimiter (lines per record, an end-of-input text, or a RECORDSET rule
// that marks the first or the last line of a record). Also the decoding of the RECORDSET rule
// text of a table. The file server calls these on its own file; nothing here is shared.
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_filemon.h"

static TRK1_BLOCK trk = {"qdvprmfr"};

// Drops the rest of a line that did not fit: reads up to its line end (or the end of the file).
// False when the line ended right after what was read (it fitted after all).
static bool SkipRestOfLine(FILE *file) {
  int ch = getc(file);
  if (ch == '\n' || ch == EOF) return false;
  while (ch != '\n' && ch != EOF) ch = getc(file);
  return true;
}

// QDVP_ReadMonitorLine, also saying how many bytes it took from the stream: known when the line
// ended with its line feed (nothing before it was a NUL byte then, as fgets stops after the
// first line feed and strlen at the first NUL), -1 otherwise (the last line without its line
// end, a line with a NUL byte, a long line whose rest was skipped, a read error).
static int ReadCountedLine(FILE *file, char *buffer, int size, int *cut, long *taken) {
  if (cut) *cut = 0;
  *taken = 0;
  if (fgets(buffer, size, file) == nullptr) {
    if (ferror(file)) *taken = -1;
    return 0;
  }
  size_t n = strlen(buffer);
  *taken = n > 0 && buffer[n - 1] == '\n' ? static_cast<long>(n) : -1;
  // A NUL byte inside a line also ends strlen early: only a full buffer is a long line.
  if ((n == 0 || buffer[n - 1] != '\n') && n + 1 >= static_cast<size_t>(size) &&
      SkipRestOfLine(file) && cut) {
    *cut = 1;
  }
  return 1;
}

int QDVP_ReadMonitorLine(FILE *file, char *buffer, int size, int *cut) {
  long taken = 0;
  return ReadCountedLine(file, buffer, size, cut, &taken);
}

long QDVP_MonitorReadPosition(FILE *file, MonitorReadControl *c) {
  if (c->Position < 0) c->Position = ftell(file);
  return c->Position;
}

// Reads one physical line into the read buffer; counts it. Returns the buffer, or null at the
// end of the file. A line longer than the buffer is cut: *cut is set and the rest of it, up to
// its line end, is read and dropped, so that the next read starts at the next line.
static char *ReadLine(FILE *file, MonitorReadControl *c, int *lineCount, bool *cut) {
  *cut = false;
  if (c->StopAt >= 0 && QDVP_MonitorReadPosition(file, c) >= c->StopAt) return nullptr;
  int longLine = 0;
  long taken = 0;
  int read = ReadCountedLine(file, c->pReadBuffer, c->ReadSize, &longLine, &taken);
  // The position follows the lines by their lengths; ftell finds it after any other line.
  c->Position = c->Position >= 0 && taken >= 0 ? c->Position + taken : -1;
  if (!read) return nullptr;
  (*lineCount)++;
  *cut = longLine != 0;
  return c->pReadBuffer;
}

// The character that separates the tokens of a line: a 1-character delimiter as it is, a
// begin/end pair by its end character; 0 without a delimiter.
static char TokenCharacter(const char *delimiter) {
  if (delimiter == nullptr || delimiter[0] == '\0') return 0;
  return delimiter[1] != '\0' ? delimiter[1] : delimiter[0];
}

static int CountTokens(const char *line, char separator) {
  if (separator == 0) return 0;
  int count = 0;
  bool inToken = false;
  for (const char *p = line; *p; p++) {
    if (*p == separator) {
      inToken = false;
    } else if (!inToken) {
      inToken = true;
      count++;
    }
  }
  return count;
}

// True when the line matches the rule's compare text at its offset, under its operator.
static bool RuleMatches(const RecordSetCompareRule *rule, const char *line) {
  size_t n = strlen(line);
  bool equal = n >= static_cast<size_t>(rule->Offset + rule->CompareLength) &&
               memcmp(line + rule->Offset, rule->pCompareText, rule->CompareLength) == 0;
  return rule->Operator == QDVP_RULE_EQ ? equal : !equal;
}

// Appends text to the record at *length, never reaching size; false when it did not fit.
static bool Append(char *record, int size, int *length, const char *text, size_t n) {
  size_t room = static_cast<size_t>(size - 1 - *length);
  bool fits = n <= room;
  if (!fits) n = room;
  memcpy(record + *length, text, n);
  *length += static_cast<int>(n);
  record[*length] = '\0';
  return fits;
}

// Assembles the next record. Empty lines are skipped; a record ends by the end-of-input text
// (the line is not kept), by a NEW rule line (kept for the next record), by an END rule line
// (kept), by the field count or by the lines per record. At the end of the file the rule's
// end-of-file flag is set, and the record read so far is returned. A record that outgrows the
// record size (one long line, or many lines) keeps what fitted; the rest of its text is
// dropped, the lines after it are read as usual, and RecordsCut counts it.
char *ReadMonitorFileRecord(FILE *file, char *record, int recordSize, int *lineCount,
                            MonitorReadControl *c) {
  RecordSetCompareRule *rule = c->pRule;
  if (rule != nullptr && rule->EndOfFile) {
    QDVP_TRC(trk, TRK1_DETAIL, "File read bypassed. EOF already reached");
    return nullptr;
  }
  memset(record, 0, static_cast<size_t>(recordSize));
  int length = 0, lines = 0, tokens = 0;
  bool anyLine = false, cut = false, full = false;
  char separator = TokenCharacter(c->pDelimiter);
  bool pair = c->pDelimiter != nullptr && c->pDelimiter[0] != '\0' && c->pDelimiter[1] != '\0';
  int linesPerRecord = c->LinesPerRecord > 0 ? c->LinesPerRecord : 1;

  char *line;
  if (rule != nullptr && rule->pPendingLine != nullptr) {
    snprintf(c->pReadBuffer, static_cast<size_t>(c->ReadSize), "%s", rule->pPendingLine);
    QDV0_Free(rule->pPendingLine);
    line = c->pReadBuffer;
  } else {
    line = ReadLine(file, c, lineCount, &cut);
  }
  while (line != nullptr) {
    anyLine = true;
    QDV0_RemoveCRandLF(line);
    if (line[0] != '\0') {
      if (c->pEndText != nullptr && c->EndTextLength > 0 &&
          strncmp(line, c->pEndText, static_cast<size_t>(c->EndTextLength)) == 0) {
        return record;
      }
      if (rule != nullptr && rule->RuleType == QDVP_RULE_NEW && lines > 0 &&
          RuleMatches(rule, line)) {
        rule->pPendingLine = QDV0_StrDup(line);
        return record;
      }
      bool fits = !full;
      if (fits && lines > 0 && separator != 0) {
        if (!pair) {
          if (length == 0 || record[length - 1] != separator) {
            fits = Append(record, recordSize, &length, &separator, 1);
          }
        } else {
          if (length == 0 || record[length - 1] != c->pDelimiter[1]) {
            fits = Append(record, recordSize, &length, &c->pDelimiter[1], 1);
          }
          if (fits && line[0] != c->pDelimiter[0]) {
            fits = Append(record, recordSize, &length, &c->pDelimiter[0], 1);
          }
        }
      }
      if (fits) fits = Append(record, recordSize, &length, line, strlen(line)) && !cut;
      lines++;
      tokens += CountTokens(line, separator);
      if (!fits && !full) {
        QDVP_TRC(trk, TRK1_ERROR,
                 "***** Total record size %d exceeded defined record size %d. Record cut to the "
                 "record size",
                 length + 1, recordSize);
        full = true;
        c->RecordsCut++;
      } else if (!fits) {
        QDVP_TRC(trk, TRK1_ERROR, "***** File record line discarded");
      }
      if (rule != nullptr && rule->RuleType == QDVP_RULE_END && lines > 1 &&
          RuleMatches(rule, line)) {
        return record;
      }
      if (c->pEndText == nullptr || c->EndTextLength == 0) {
        if (c->FieldsPerRecord > 0 && tokens >= c->FieldsPerRecord) return record;
        if (lines >= linesPerRecord) return record;
      }
    }
    line = ReadLine(file, c, lineCount, &cut);
  }
  if (rule != nullptr) {
    rule->EndOfFile = 1;
    QDVP_TRC(trk, TRK1_DETAIL, "File EOF switch set");
  }
  return anyLine ? record : nullptr;
}

// Decodes "NEW(offset,==,text" or "END(offset,!=,text" (a closing parenthesis is allowed).
RecordSetCompareRule *QDVP_FormatRecordSetRule(const char *text) {
  if (text == nullptr) return nullptr;
  while (*text == ' ') text++;
  const char *open = strchr(text, '(');
  const char *comma1 = open ? strchr(open + 1, ',') : nullptr;
  const char *comma2 = comma1 ? strchr(comma1 + 1, ',') : nullptr;
  int type = 0, op = 0, offset = -1;
  if (comma2 != nullptr) {
    char keyword[8] = "";
    size_t n = static_cast<size_t>(open - text);
    while (n > 0 && text[n - 1] == ' ') n--;
    if (n < sizeof(keyword)) {
      for (size_t i = 0; i < n; i++) {
        keyword[i] = static_cast<char>(toupper(static_cast<unsigned char>(text[i])));
      }
      keyword[n] = '\0';
    }
    type = strcmp(keyword, "NEW") == 0 ? QDVP_RULE_NEW : strcmp(keyword, "END") == 0 ? 2 : 0;
    const char *p = open + 1;
    while (*p == ' ') p++;
    if (isdigit(static_cast<unsigned char>(*p))) {
      char *end = nullptr;
      long value = strtol(p, &end, 10);
      while (end != nullptr && *end == ' ') end++;
      if (end == comma1 && value < 100000) offset = static_cast<int>(value);
    }
    p = comma1 + 1;
    while (*p == ' ') p++;
    if (strncmp(p, "==", 2) == 0) op = QDVP_RULE_EQ;
    if (strncmp(p, "!=", 2) == 0) op = QDVP_RULE_NE;
    if (op != 0) {
      p += 2;
      while (*p == ' ') p++;
      if (p != comma2) op = 0;
    }
  }
  size_t compareLength = 0;
  const char *compare = comma2 ? comma2 + 1 : "";
  compareLength = strlen(compare);
  if (compareLength > 0 && compare[compareLength - 1] == ')') compareLength--;
  if (type == 0 || op == 0 || offset < 0 || compareLength == 0) {
    QDVP_TRC(trk, TRK1_ERROR, "*****File RECORDSET rule specification error");
    return nullptr;
  }
  auto *rule = QDV0_New<RecordSetCompareRule>();
  if (rule == nullptr) return nullptr;
  rule->pCompareText = static_cast<char *>(QDV0_GetStorage(compareLength + 1));
  if (rule->pCompareText == nullptr) {
    QDV0_Free(rule);
    return nullptr;
  }
  memcpy(rule->pCompareText, compare, compareLength);
  rule->CompareLength = static_cast<int>(compareLength);
  rule->RuleType = type;
  rule->Operator = op;
  rule->Offset = offset;
  QDVP_TRC(trk, TRK1_DETAIL, "File RECORDSET rule is %d offset %d operator %d compare{%s}", type,
           offset, op, rule->pCompareText);
  return rule;
}

void QDVP_ReleaseRecordSetRule(RecordSetCompareRule *rule) {
  if (rule == nullptr) return;
  QDV0_Free(rule->pPendingLine);
  QDV0_Free(rule->pCompareText);
  QDV0_Free(rule);
}
