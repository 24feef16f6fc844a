// The periodic scan task's clock: the scan interval that adapts to the work found.
//
// The task (core/qdvpscan.cpp) sleeps for the interval, counts units of activity in each cycle
// (a kicked DCH client, handed-over DCH work, a delayed offline, a batch of file wake-ups, ...)
// and then asks QDVP_ScanNextInterval for the next interval: after QDVP_SCAN_DELAY_CYCLES idle
// cycles the interval doubles while it is below QDVP_SCAN_MAX_INTERVAL; a cycle that brings
// the activity count to QDVP_ACTIVITY_DELAY_CYCLES halves it. Only the scan task touches its
// ScanClock; tests drive one directly.
#pragma once

#include "qdvp_anchor.h"

struct ScanClock {
  int Interval;       // seconds, starting at 1
  int Activity;       // units of activity since the last change
  int IdleCycles;     // cycles since the last change
  int DelayCycles;    // QDVP_SCAN_DELAY_CYCLES
  int MaxInterval;    // QDVP_SCAN_MAX_INTERVAL
  int ActivityDelay;  // QDVP_ACTIVITY_DELAY_CYCLES
  int OutageWindow;   // QDVP_TCP_OUTAGE_WINDOW; caps the interval when positive
};

// Reads the settings into a clock at interval 1.
void QDVP_InitializeScanClock(ScanClock *clock);
// Adjusts the interval after a cycle (ending: the task is asked to end) and returns it.
int QDVP_ScanNextInterval(ScanClock *clock, int ending);
