// Batch output: a batch application writes each row it sends as one comma-separated line
// (time stamp, application, table, then the attribute values) to its batch output file, opened
// on the first row and closed with the application. Values are written as they are: no quoting,
// so a comma in a text value shifts the columns (the file is read by the site's own scripts),
// but line ends and other control characters in a value are escaped (QDV0_AppendLogText), so
// that a row is always one line and no record can add a row of its own making.
// The batch log lines about the output files go through the data provider log's batch log.
#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpobdr"};

enum { kBatchRecordSize = 4064 };

namespace {

int SummaryOnlyRead = 0;
int SummaryOutputOnly = 0;

bool IsIntegerType(char type) { return type != '\0' && strchr("AGCS?%#", type) != nullptr; }

void AppendInteger(std::string *line, const AttrEntry *a) {
  auto *v = reinterpret_cast<const unsigned char *>(a->Value);
  char text[24];
  if (a->MaxValSize == 2) {
    uint16_t u = static_cast<uint16_t>((v[0] << 8) | v[1]);
    if (a->Type == 'G')
      snprintf(text, sizeof(text), "%d,", static_cast<int16_t>(u));
    else
      snprintf(text, sizeof(text), "%u,", static_cast<unsigned>(u));
  } else if (a->MaxValSize == 8) {
    uint64_t u = 0;
    for (int i = 0; i < 8; i++) u = (u << 8) | v[i];
    if (a->Type == 'G')
      snprintf(text, sizeof(text), "%lld,", static_cast<long long>(u));
    else
      snprintf(text, sizeof(text), "%llu,", static_cast<unsigned long long>(u));
  } else {
    uint32_t u = (static_cast<uint32_t>(v[0]) << 24) | (static_cast<uint32_t>(v[1]) << 16) |
                 (static_cast<uint32_t>(v[2]) << 8) | v[3];
    if (a->Type == 'G')
      snprintf(text, sizeof(text), "%d,", static_cast<int32_t>(u));
    else
      snprintf(text, sizeof(text), "%u,", u);
  }
  *line += text;
}

// Formats one batch log line.
__attribute__((format(printf, 1, 2))) void BatchLog(const char *format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  QDVP_WriteBatchLog(text);
}

}  // namespace

void QDVP_ResetBatchSettings(void) { SummaryOnlyRead = 0; }

int QDVP_OutputBatchDataRecord(SourceEntry *s) {
  if (s == nullptr || s->pTable == nullptr || s->pTable->pAppl == nullptr ||
      s->pAttrList == nullptr)
    return 0;
  ApplEntry *appl = s->pTable->pAppl;
  if (appl->pBatchFileName == nullptr) return 0;
  if (!SummaryOnlyRead) {
    SummaryOnlyRead = 1;
    SummaryOutputOnly = QDV0_IsFlagSet(QDV0_GetEnv("QDVP_BATCH_SUMMARY_OUTPUT_ONLY", "N")) ? 1 : 0;
  }
  if (appl->pBatchFile == nullptr) {
    appl->pBatchFile = fopen(appl->pBatchFileName, "w");
    appl->BatchRecordCount = 0;
    if (appl->pBatchFile == nullptr) {
      BatchLog("Batch application %s data output file %s opened failed. Errno %s", appl->ApplName,
               appl->pBatchFileName, strerror(errno));
      return 0;
    }
    BatchLog("Batch application %s data output file %s opened successfully", appl->ApplName,
             appl->pBatchFileName);
  }
  bool summaryRow = s->SummaryOutput != 0;
  AttrEntry *first = nullptr;
  if (summaryRow) {
    first = s->pOrderList;
  } else {
    for (AttrEntry *a = s->pAttrList; a != nullptr && first == nullptr; a = a->pNext) {
      if (strcmp(a->Name, "_LocalTimeStamp") == 0 || strcmp(a->Name, "LocalTimeStamp") == 0)
        first = a;
    }
  }
  std::string line;
  line.reserve(kBatchRecordSize);
  AttrEntry *stamp = first;
  if (summaryRow) {
    stamp = nullptr;
    for (AttrEntry *a = s->pOrderList; a != nullptr && stamp == nullptr; a = a->pOrderNext) {
      if (strcmp(a->Name, "_LocalTimeStamp") == 0 || strcmp(a->Name, "LocalTimeStamp") == 0)
        stamp = a;
    }
  }
  if (stamp != nullptr && (stamp->Type == 'D' || stamp->Type == 'T') &&
      stamp->ActualValSize == 16) {
    line.append(stamp->Value, 16);
  } else {
    char now[17];
    QDV0_GetCorvidTime(now);
    line.append(now, 16);
    QDVP_TRC(trk, TRK1_DETAIL,
             "-----Error: expected timestamp attribute not present. Current timestamp being used");
  }
  line += ",";
  line += appl->ApplName;
  line += ",";
  line += s->pTable->TableName;
  line += ",";
  AttrEntry *a = summaryRow ? s->pOrderList : s->pAttrList;
  for (; a != nullptr; a = summaryRow ? a->pOrderNext : a->pNext) {
    if (a->Type == 'K' || !QDVP_AttrAccessible(s, a)) continue;
    if (a->ActualValSize > 0) {
      if (IsIntegerType(a->Type)) {
        AppendInteger(&line, a);
      } else {
        int n = a->ActualValSize < a->MaxValSize ? a->ActualValSize : a->MaxValSize;
        while (n > 0 && a->Value[n - 1] == ' ') n--;
        QDV0_AppendLogText(&line, a->Value, static_cast<size_t>(n));
        line += ",";
      }
    } else if (strcmp(a->Name, "_DataSourceName") == 0) {
      line += QDV0_EscapeLogText(s->pSourceNodeName);
      line += ",";
    } else if (strcmp(a->Name, "_LocalTimeStamp") == 0) {
      char now[17];
      QDV0_GetCorvidTime(now);
      line.append(now, 16);
      line += ",";
    } else if (IsIntegerType(a->Type)) {
      line += "0,";
    } else {
      line += " ,";
    }
    if (!appl->SNMPappl) a->ActualValSize = 0;
  }
  if (line.size() > kBatchRecordSize - 2) line.resize(kBatchRecordSize - 2);
  line += "\n";
  if (SummaryOutputOnly && !summaryRow) {
    QDVP_TRC(trk, TRK1_DETAIL, "Summary Batch Output Only! Batch output bypassed. {%s}",
             line.c_str());
    return 0;
  }
  fwrite(line.data(), 1, line.size(), appl->pBatchFile);
  fflush(appl->pBatchFile);
  appl->BatchRecordCount++;
  QDVP_TRC(trk, TRK1_DETAIL, "Batch output %ld Length(%d) {%s}", appl->BatchRecordCount,
           static_cast<int>(line.size()), line.c_str());
  return 1;
}

void QDVP_CloseBatchOutputFile(ApplEntry *appl) {
  if (appl == nullptr || appl->pBatchFile == nullptr) return;
  fclose(appl->pBatchFile);
  appl->pBatchFile = nullptr;
  BatchLog("Total %d batch data records output to file %s",
           static_cast<int>(appl->BatchRecordCount),
           appl->pBatchFileName ? appl->pBatchFileName : "");
}
