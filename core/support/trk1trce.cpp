// Trace library: flags from QDVP_TRACE, lines to QDVP_TRACE_FILE or to a test's sink.
//
// A line reads "time thread component(line) text", the text escaped as every log line is
// (QDV0_AppendLogText). Writing is serialized by one lock; the flags are a single word so that
// a disabled trace point costs a load and a test.
#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include "../../include/osv1.h"
#include "qdv0.h"
#include "trk1.h"

std::atomic<unsigned> TRK1_GlobalFlags{0};

namespace {
// Guards the trace file and the sink; nothing is taken under it.
OSV1_LOCK g_traceMutex = OSV1_LOCK_INITIALIZER;
FILE *g_traceFile QDVP_GUARDED_BY(g_traceMutex) = nullptr;
bool g_fileOpened QDVP_GUARDED_BY(g_traceMutex) = false;
TRK1_SINK g_sink QDVP_GUARDED_BY(g_traceMutex) = nullptr;
void *g_sinkContext QDVP_GUARDED_BY(g_traceMutex) = nullptr;

// Reads QDVP_TRACE before main runs, so that tracing is on from the first call.
struct TraceInit {
  TraceInit() { TRK1_SetFlags(-1); }
} g_traceInit;

void WriteLine(const char *component, int line, const char *text) {
  OSV1_Guard lock(&g_traceMutex);
  if (g_sink != nullptr) {
    g_sink(component, text, g_sinkContext);
    return;
  }
  if (!g_fileOpened) {
    g_fileOpened = true;
    const char *path = getenv("QDVP_TRACE_FILE");
    if (path != nullptr && path[0] != '\0') g_traceFile = fopen(path, "a");
  }
  if (g_traceFile == nullptr) return;
  OSV1_TIMESTAMP now;
  OSV1_GetTime(&now);
  time_t seconds = now.seconds;
  struct tm local;
  localtime_r(&seconds, &local);
  // A traced text may hold what a partner sent: escaped, it stays on its own line.
  fprintf(g_traceFile, "%04d-%02d-%02d %02d:%02d:%02d.%03ld %08X %s(%d) %s\n", local.tm_year + 1900,
          local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
          now.nanoseconds / 1000000, OSV1_ThreadID(), component, line,
          QDV0_EscapeLogText(text).c_str());
  fflush(g_traceFile);
}
}  // namespace

unsigned TRK1_ParseFlags(const char *text) {
  if (text == nullptr) return 0;
  if (isdigit(static_cast<unsigned char>(text[0])))
    return static_cast<unsigned>(strtoul(text, nullptr, 0));
  unsigned flags = 0;
  char word[32];
  const char *p = text;
  while (*p) {
    while (*p && (*p == ',' || *p == ' ' || *p == '|')) p++;
    size_t n = 0;
    while (p[n] && p[n] != ',' && p[n] != ' ' && p[n] != '|' && n < sizeof(word) - 1) n++;
    if (n == 0) break;
    memcpy(word, p, n);
    word[n] = '\0';
    p += n;
    if (strcasecmp(word, "error") == 0)
      flags |= TRK1_ERROR;
    else if (strcasecmp(word, "detail") == 0)
      flags |= TRK1_DETAIL | TRK1_ERROR;
    else if (strcasecmp(word, "storage") == 0)
      flags |= TRK1_STORAGE;
    else if (strcasecmp(word, "flow") == 0)
      flags |= TRK1_FLOW;
    else if (strcasecmp(word, "all") == 0)
      flags |= TRK1_ERROR | TRK1_DETAIL | TRK1_STORAGE | TRK1_FLOW;
  }
  return flags;
}

unsigned TRK1_Sync(TRK1_BLOCK *) { return TRK1_GlobalFlags.load(std::memory_order_relaxed); }

void TRK1_SetFlags(int flags) {
  unsigned value = flags < 0 ? TRK1_ParseFlags(getenv("QDVP_TRACE")) : static_cast<unsigned>(flags);
  TRK1_GlobalFlags.store(value, std::memory_order_relaxed);
}

void TRK1_SetSink(TRK1_SINK sink, void *context) {
  OSV1_Guard lock(&g_traceMutex);
  g_sink = sink;
  g_sinkContext = context;
}

void TRK1_Event(TRK1_BLOCK *block, int line, const char *function, int exit, long result) {
  char text[256];
  if (exit) {
    snprintf(text, sizeof(text), "Exit %s rc %ld", function, result);
  } else {
    snprintf(text, sizeof(text), "Entry %s", function);
  }
  WriteLine(block->component, line, text);
}

void TRK1_Printf(TRK1_BLOCK *block, int line, const char *format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  WriteLine(block->component, line, text);
}

void TRK1_Dump(TRK1_BLOCK *block, int line, const void *data, size_t length, const char *title) {
  const unsigned char *bytes = static_cast<const unsigned char *>(data);
  char text[128];
  snprintf(text, sizeof(text), "%s: %zu bytes", title ? title : "dump", length);
  WriteLine(block->component, line, text);
  for (size_t offset = 0; offset < length; offset += 16) {
    int n = snprintf(text, sizeof(text), "%06zX ", offset);
    for (size_t i = offset; i < offset + 16 && i < length; i++) {
      n += snprintf(text + n, sizeof(text) - n, "%02X", bytes[i]);
    }
    WriteLine(block->component, line, text);
  }
}
