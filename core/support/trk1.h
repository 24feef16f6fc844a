// Trace library: per-source-file trace control blocks and the calls that write trace lines.
//
// Each source file owns one static TRK1_BLOCK naming its component. The trace flags come from
// QDVP_TRACE (a number, or the words error, detail, storage, flow separated by commas or
// blanks) and are read once; trace lines go to the file named by QDVP_TRACE_FILE, and nowhere
// when it is unset, unless a test installs a sink. With tracing off, a QDVP_TRC line costs one
// load and one test. Safe from any thread.
#pragma once

#include <stddef.h>

#include <atomic>

enum {
  TRK1_STORAGE = 2,
  TRK1_DETAIL = 16,
  TRK1_FLOW = 64,
  TRK1_ERROR = 128,
};

struct TRK1_BLOCK {
  const char *component;
};

// The flags in force for the block's component.
unsigned TRK1_Sync(TRK1_BLOCK *block);
void TRK1_Event(TRK1_BLOCK *block, int line, const char *function, int exit, long result);
void TRK1_Printf(TRK1_BLOCK *block, int line, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void TRK1_Dump(TRK1_BLOCK *block, int line, const void *data, size_t length, const char *title);

// Sets the flags from now on (tests and the host); -1 re-reads QDVP_TRACE.
void TRK1_SetFlags(int flags);
// Parses a QDVP_TRACE value into flags.
unsigned TRK1_ParseFlags(const char *text);
// Routes every trace line to fn (tests); null restores the trace file.
typedef void (*TRK1_SINK)(const char *component, const char *line, void *context);
void TRK1_SetSink(TRK1_SINK sink, void *context);

// Current global flags; cheap enough to test on every trace line.
extern std::atomic<unsigned> TRK1_GlobalFlags;

#define QDVP_TRC(block, bit, ...)                                   \
  do {                                                              \
    if (TRK1_GlobalFlags.load(std::memory_order_relaxed) & (bit)) { \
      TRK1_Printf(&(block), __LINE__, __VA_ARGS__);                 \
    }                                                               \
  } while (0)

#define QDVP_TRC_ENTRY(block)                                         \
  do {                                                                \
    if (TRK1_GlobalFlags.load(std::memory_order_relaxed) & TRK1_FLOW) \
      TRK1_Event(&(block), __LINE__, __func__, 0, 0);                 \
  } while (0)
#define QDVP_TRC_EXIT(block, rc)                                      \
  do {                                                                \
    if (TRK1_GlobalFlags.load(std::memory_order_relaxed) & TRK1_FLOW) \
      TRK1_Event(&(block), __LINE__, __func__, 1, (long)(rc));        \
  } while (0)
