// The validation report written after a successful validation run (one block per table and
// source, one line per attribute) and the unpack entry that writes the plain text of an
// enciphered metafile (its inverse is qdvpencf.cpp).
#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_metafile.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvprpt"};

// name with its extension replaced by extension; an extension equal to extension (any case)
// becomes "out"; a name without extension gets one appended.
static std::string ReplaceExtension(const std::string &name, const char *extension) {
  size_t slash = name.rfind('/');
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == 0 ||
      (slash != std::string::npos && dot == slash + 1)) {
    return name + "." + extension;
  }
  std::string current = name.substr(dot + 1);
  std::string upper = current;
  for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  std::string wanted = extension;
  for (char &c : wanted) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return name.substr(0, dot + 1) + (upper == wanted ? "out" : extension);
}

static const char *TypeText(char type) {
  switch (type) {
    case 'D':
      return "Display Type";
    case 'C':
      return "Counter Type";
    case 'G':
      return "Gauge Type";
    case 'A':
      return "Average Type";
    case 'S':
      return "Switch Type";
    case 'N':
      return "Numeric Type";
    case 'O':
      return "Object Type";
    case 'R':
      return "Record Type";
    case 'Z':
      return "Last Type";
    case 'K':
      return "Skip Type";
    case 'T':
      return "Time Type";
    case '?':
      return "RateChange Type";
    case '%':
      return "Rate% Type";
    case '#':
      return "RateDelta Type";
    default:
      return "Invalid Type";
  }
}

// Places text at column (1-based) of line, or right after what the line already holds when
// an earlier piece runs past that column.
static void Place(std::string *line, size_t column, const std::string &text) {
  size_t at = column - 1;
  if (line->size() < at) line->append(at - line->size(), ' ');
  line->append(text);
}

static void ReportSource(FILE *f, TableEntry *t, SourceEntry *s, bool snmp) {
  const char *name = s->pSourceName ? s->pSourceName : "";
  switch (s->Kind) {
    case 'A':
      fprintf(f, "    SOURCE is APPC %s\n", s->pLUname ? s->pLUname : "");
      break;
    case 'B':
      fprintf(f, "    SOURCE is PROGRAM API\n");
      break;
    case 'F':
      fprintf(f, "    SOURCE is FILE %s ", name);
      if (s->pIOE != nullptr && s->pIOE->TailByRecord) {
        fprintf(f, " (TailByRecord mode)\n");
      } else if (s->pIOE != nullptr && s->pIOE->FileMode == 'C') {
        fprintf(f, " (Copy mode)\n");
      } else {
        fprintf(f, " (Tail mode)\n");
      }
      break;
    case 'N':
      fprintf(f, "    SOURCE is SNMP\n");
      break;
    case 'O':
      fprintf(f, "    SOURCE is ODBC %s\n", name);
      break;
    case 'S':
      fprintf(f, "    SOURCE is SOCKET %s\n", name);
      break;
    default:
      fprintf(f, "    SOURCE is Unrecognized\n");
      break;
  }
  {
    OSV1_Guard counts(&t->TableLock);
    fprintf(f, "           Total Attributes: %d\n", t->AttrCount);
  }
  OSV1_Guard attrs(&s->AttrLock);
  const char *d = s->pDelimiter;
  if (d == nullptr) {
    fprintf(f, "           NONE attribute delimiter specified\n");
  } else if (strlen(d) >= 2) {
    fprintf(f, "           Attribute Begin delimiter is %c End delimiter is %c\n", d[0], d[1]);
  } else if (d[0] == ' ') {
    fprintf(f, "           Attribute delimiter is Space Character\n");
  } else if (d[0] == '\t') {
    fprintf(f, "           Attribute delimiter is TAB character\n");
  } else {
    fprintf(f, "           Attribute delimiter is %c character\n", d[0]);
  }
  for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext) {
    std::string line;
    Place(&line, 21, a->Name);
    Place(&line, 55, TypeText(a->Type));
    Place(&line, 71, "Size " + std::to_string(a->MaxValSize) + " ");
    if (a->AttrKey) Place(&line, 81, "KEY ");
    if (a->AttrAtomic) Place(&line, 85, "ATOMIC ");
    if (snmp && a->pOID != nullptr) Place(&line, 92, std::string("OID=") + a->pOID + " ");
    fprintf(f, "%s\n", line.c_str());
  }
  fprintf(f, "\n");
}

void QDVP_ReportDataModel(ApplEntry *appl) {
  if (appl == nullptr || appl->pMetafileFullName == nullptr) return;
  std::string name = ReplaceExtension(appl->pMetafileFullName, "rpt");
  // The full name already lies in the metafile directory when it was joined to it; only a name
  // that was not (a "./name" as the operator wrote it, an in-memory "&NAME") is placed there.
  std::string directory = QDV0_GetEnv("QDVP_META_PATH", "./");
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  std::string path;
  // QDVP_REPORT_DIR (set by qdvp validate --report-dir, and for installed metafiles) puts the
  // report there under its own name, whatever directory the metafile is in.
  const char *reportDir = QDV0_GetEnv("QDVP_REPORT_DIR", nullptr);
  if (reportDir != nullptr) {
    size_t slash = name.find_last_of('/');
    path =
        std::string(reportDir) + "/" + (slash == std::string::npos ? name : name.substr(slash + 1));
  } else if (name.compare(0, directory.size() + 1, directory + "/") == 0 ||
             (name[0] != '.' && QDV0_IsThisFullyQualifiedName(name.c_str()))) {
    path = name;
  } else if (name[0] == '.') {
    path = directory + name.substr(1);
  } else {
    path = directory + "/" + name;
  }
  FILE *f = fopen(path.c_str(), "w");
  if (f == nullptr) {
    int err = errno;
    QDVP_TRC(trk, TRK1_ERROR, "*****Unable to open report file %s", path.c_str());
    // The author is told, beside the validation messages, that no report was saved.
    printf("*****Unable to open report file %s - ErrorText <%s>\n", path.c_str(), strerror(err));
    fflush(stdout);
    return;
  }
  fprintf(f, "\n\nApplication Name: %s; Definition Metafile Name: %s\n\n", appl->ApplName,
          appl->pMetafileName ? appl->pMetafileName : "");
  int tables = 0;
  OSV1_Guard list(&appl->TableListLock);
  for (TableEntry *t = appl->pTableList; t != nullptr; t = t->pNext) {
    tables++;
    fprintf(f, "  Attribute Group: %s\n", t->TableName);
    switch (t->Type) {
      case 'E':
        if (t->TTL < 1) {
          fprintf(f, "           Type: Event data   ");
        } else {
          fprintf(f, "           Type: Event data  TTL = %d   ", t->TTL);
        }
        break;
      case 'K':
        fprintf(f, "           Type: Key data  TTL = %d   ", t->TTL);
        break;
      case 'P':
        fprintf(f, "           Type: Poll data  TTL = %d   ", t->TTL);
        break;
      case 'S':
        fprintf(f, "           Type: Sample data  TTL = %d   ", t->TTL);
        break;
      default:
        fprintf(f, "           Type: Unknown   ");
        break;
    }
    {
      OSV1_Guard counts(&t->TableLock);
      fprintf(f, "Total Number of SOURCEs: %d\n\n", t->SourceCount);
    }
    OSV1_Guard sources(&t->SourceListLock);
    for (SourceEntry *s = t->pSourceList; s != nullptr; s = s->pNext) {
      ReportSource(f, t, s, appl->SNMPappl != 0);
    }
  }
  if (tables > 0) fprintf(f, " Total Attribute Groups: %d\n", tables);
  fprintf(f, "\n\n");
  fclose(f);
  QDVP_DisplayValidationMessage(90, path.c_str());
}

// Whether a record is the statement that makes the rest of a metafile enciphered.
static bool StartsCipher(const char *record) {
  if (strncmp(record, "//CORVID", 8) == 0) return true;
  return strncmp(record, "//SNMP", 6) == 0 && strstr(record, " TEXT") == nullptr;
}

int QDVP_UnpackMetafileToText(const char *metafileName) {
  DPAB *anchor = QDVP_BeginStandAloneRun(metafileName);
  if (anchor == nullptr) return -1;
  int result = -1;
  int size = QDVP_MetaRecordSize();
  char *record = static_cast<char *>(QDV0_GetStorage(static_cast<size_t>(size) + 2));
  char *full = QDVP_MetafileFullName(anchor, metafileName);
  void *handle = record && full ? QDVP_OpenMetaFile(anchor, metafileName, 1) : nullptr;
  if (handle != nullptr) {
    std::string outName = ReplaceExtension(full, "txt");
    FILE *out = nullptr;
    bool deciphering = false, failed = false;
    long before = 0;
    while (QDVP_ReadMetaFile(anchor, handle, record, size) != nullptr) {
      long n = before++;
      if (deciphering) {
        QDV0_DecipherMetaRecord(record, static_cast<long>(strlen(record)) * n);
      } else if (strncmp(record, "//SNMP", 6) == 0 || strncmp(record, "//CORVID", 8) == 0) {
        deciphering = StartsCipher(record) || strncmp(record, "//CORVID", 8) == 0;
        if (strncmp(record, "//SNMP", 6) == 0 && strstr(record, " TEXT") == nullptr) {
          snprintf(record, static_cast<size_t>(size), "//SNMP TEXT\n");
          QDVP_TRC(trk, TRK1_DETAIL, "TEXT keyword inserted");
        }
        char mode[32];
        snprintf(mode, sizeof(mode), "w,recfm=v,lrecl=%.4d", size);
        out = fopen(outName.c_str(), "w");
        if (out == nullptr) {
          QDVP_TRC(trk, TRK1_ERROR, "***** Text Metafile %s open failed. Errno %s", outName.c_str(),
                   strerror(errno));
          failed = true;
          break;
        }
      }
      if (out != nullptr) {
        fputs(record, out);
        size_t length = strlen(record);
        if (length == 0 || record[length - 1] != '\n') fputc('\n', out);
      }
    }
    QDVP_CloseMetaFile(anchor, handle);
    if (out != nullptr) {
      fclose(out);
      QDVP_DisplayValidationMessage(94, outName.c_str());
      result = 0;
    }
    (void)failed;
  }
  QDV0_Free(record);
  QDV0_Free(full);
  QDVP_EndStandAloneRun(anchor);
  if (result == -1) QDVP_DisplayValidationMessage(95, nullptr);
  fflush(stdout);
  return result;
}
