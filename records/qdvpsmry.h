// Helpers shared by the summary files of records/ (collecting and sending summary rows).
#pragma once

#include "../include/qdvp_model.h"

namespace qdvp_summary {
// The value of n decimal digits (non-digits count as 0).
int Digits(const char *text, int n);
// The integer value of an attribute (2 bytes sign-extended, else 4 bytes, else 0).
long IntegerValue(const AttrEntry *a);
// Stores value in the attribute's 2 or 4 bytes, most significant first.
void StoreInteger(AttrEntry *a, long value);
bool IsStamp(const AttrEntry *a);
// The time stamp attribute of a summarized source, or null.
AttrEntry *StampAttribute(SourceEntry *s) QDVP_REQUIRES(s->AttrLock);
// The key attributes in key order (at most max); their count.
int KeyAttributes(SourceEntry *s, AttrEntry **keys, int max) QDVP_REQUIRES(s->AttrLock);
// The second of the day at which an interval begun at currTime in hour ends.
int EndOfInterval(const SMBlock *b, int currTime, int hour);
// Takes a row's 16-digit stamp as the block's current record stamp.
void DecodeCurrent(SMBlock *b, const char *stamp) QDVP_REQUIRES(b->Lock);
// Begins a new interval at the current record.
void BeginFromCurrent(SMBlock *b) QDVP_REQUIRES(b->Lock);
}  // namespace qdvp_summary
